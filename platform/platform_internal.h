// Shared between the platform's own files only.
#pragma once
#include <cstdint>

void platform_log(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void platform_clock_init();
