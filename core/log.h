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

// Lines that clients without credentials cause, one gate per kind: at most `lines` in each
// `period_ms` (0: LOG_GATE_LINES in LOG_GATE_PERIOD_MS), the ones held back counted on one line of
// their own before the kind's next line, or by log_gates_report once the kind has gone quiet.
enum { LOG_GATE_LINES = 10, LOG_GATE_PERIOD_MS = 10000 };
struct LogGate {
    const char *kind;     // names what was held back: "<kind>: N more held back"
    unsigned lines;
    int period_ms;
    RateGate rate;        // under the gates' own lock
    LogGate *next;        // on the report's list once used
    bool listed;
};
// A null gate writes the line as log_printf does (a line an authenticated user caused); a line
// with a gate of its own is written by that gate's count alone, also inside a held back event.
int log_gated(LogGate *gate, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
// Everything this thread logs until log_gate_end is one event of the gate's kind: written whole,
// or held back whole and counted as one. An event that logs nothing costs nothing.
void log_gate_begin(LogGate *gate);
void log_gate_end();
// A record made inside a held back event holds back its later lines (its teardown) too:
// log_held says whether this thread's lines are held back now, log_hold sets it and gives the
// state before, to be restored.
bool log_held();
bool log_hold(bool held);
void log_gates_report();   // called every second or so

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
