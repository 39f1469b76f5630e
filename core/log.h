// One logging path: time-stamped lines to standard error, the in-memory ring and the UDP log.
#pragma once
#include <csignal>
#include <cstddef>
#include <cstdint>

enum : uint32_t { LOG_RING_SIZE = 0x80000 };
enum { LOG_LINE_MAX = 255, STATUS_LINE_SIZE = 80, LAST_ERROR_SIZE = 160 };

void log_init();
int log_printf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
int log_print_raw(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
int log_error(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void log_it(const char *text, size_t length);

// Receives every time-stamped line after the ring (the UDP log installs itself here).
typedef void (*log_line_hook_fn)(const char *line, int length);
void log_set_line_hook(log_line_hook_fn hook);

void set_last_error(int level, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void set_status_line(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
const char *status_line();
const char *last_error_text();
void print_status_line();
void exitHandler();

// Unbounded formatting into a caller's buffer, for short fixed texts.
int format_into(char *buf, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

uint32_t log_ring_read(uint32_t position, char *buffer, uint32_t size);
uint32_t log_ring_head();
uint32_t log_ring_tail();
uint32_t log_ring_used();
int log_ring_dump(const char *path);
void log_ring_reset();   // empties the ring; for tests

void crash_handler(int sig, siginfo_t *info, void *context);
void bus_error_handler(int sig);
void alarm_handler(int sig);
void codec_hang_check();
int sound_thread_crashes();
int alarm_count();
