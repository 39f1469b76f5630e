// Small utilities shared by every module.
#pragma once
#include <cstddef>
#include <cstdint>

void sleep_ms(unsigned milliseconds);
int64_t monotonic_ms();   // deadlines and rates: a stepped wall clock moves nothing

// Work or lines a client can ask for as often as it likes: at most `burst` in each `period_ms`,
// what was turned away meanwhile counted for the next one let through. The caller serialises.
struct RateGate {
    int64_t start_ms;    // the period's start; 0 before the first one let through
    unsigned passed;     // let through in this period
    unsigned held;       // turned away since the last one let through
};
// True when this one may go ahead; `*held` then takes the count turned away before it.
bool rate_gate_open(RateGate *g, unsigned burst, int period_ms, unsigned *held);
// Something was turned away and its period is over: the count is due even if nothing new comes.
bool rate_gate_due(const RateGate *g, int period_ms);
// A report line at most once per period: true when one may be written now, `more` then holding
// " (N more since the last report)" for the lines held back since the last one, or "".
bool rate_gate_line(RateGate *g, int period_ms, char *more, size_t size);
int read_file_line(const char *path, char *buffer, size_t size);
int has_prefix_ci(const char *text, const char *prefix);
int has_suffix_ci(const char *text, const char *suffix);
int fd_poll_in(int fd, int timeout_ms);
int cpu_load_percent();
