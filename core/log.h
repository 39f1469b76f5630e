// One logging path: time-stamped lines to standard error, the in-memory ring and the UDP log.
#pragma once
#include <csignal>
#include <cstddef>
#include <cstdint>

#include "core/util.h"

enum : uint32_t { LOG_RING_SIZE = 0x80000 };
enum { LOG_LINE_MAX = 255, STATUS_LINE_SIZE = 80, LAST_ERROR_SIZE = 160 };

void log_init();
int log_printf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
int log_print_raw(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
int log_error(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void log_it(const char *text, size_t length);

// Text a client chose, fit for a log line: bytes below 0x20, DEL, the backslash, the C1 controls and
// U+2028/U+2029 in UTF-8 and bytes that are not UTF-8 become \xNN, so no client begins a line of
// its own or sends the reader's terminal a control sequence. Cut to what a line holds.
struct LogText {
    char text[LOG_LINE_MAX + 1];
};
LogText log_text(const char *text);                      // null gives "(null)"
LogText log_text_n(const char *text, size_t length);

// Who caused the lines a thread writes: a server marks the request or session it serves, and
// every line written meanwhile, by whichever function, is charged to that client. A client with
// no credentials or a user who is not an Admin gets LOG_ORIGIN_WINDOW_LINES in each
// LOG_ORIGIN_WINDOW_MS (room for a session's start) and, over the long term, a line every
// LOG_ORIGIN_LINE_MS after a burst of LOG_ORIGIN_BURST, so that no steady trickle washes the
// ring; what is held back is counted on one line by log_origins_report.
// The system's lines and an Admin's are never held back.
enum { LOG_ORIGIN_WINDOW_LINES = 100, LOG_ORIGIN_WINDOW_MS = 10000, LOG_ORIGIN_BURST = 300, LOG_ORIGIN_LINE_MS = 10000 };
enum LogOriginKind : uint8_t { LOG_ORIGIN_SYSTEM, LOG_ORIGIN_ANONYMOUS, LOG_ORIGIN_USER, LOG_ORIGIN_ADMIN };
struct LogOrigin {
    LogOriginKind kind;
    char user[33];   // for LOG_ORIGIN_USER and LOG_ORIGIN_ADMIN
};
// user null or empty: no credentials; admin: with Admin rights (a guest may have them).
LogOrigin log_origin_client(const char *user, bool admin);
LogOrigin log_origin();                                      // this thread's; the system's unless marked
LogOrigin log_origin_swap(const LogOrigin &origin);         // marks this thread, gives the mark before
void log_origins_report();   // called every second or so
void log_set_clock(int64_t (*now_ms)());   // the budget's clock; null: the monotonic one (tests)

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
