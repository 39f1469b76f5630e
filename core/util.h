// Small utilities shared by every module.
#pragma once
#include <cstddef>
#include <cstdint>

void sleep_ms(unsigned milliseconds);
int64_t monotonic_ms();   // deadlines and rates: a stepped wall clock moves nothing
int read_file_line(const char *path, char *buffer, size_t size);
int has_prefix_ci(const char *text, const char *prefix);
int has_suffix_ci(const char *text, const char *suffix);
int fd_poll_in(int fd, int timeout_ms);
int cpu_load_percent();
