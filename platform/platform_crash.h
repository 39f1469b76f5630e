// The machine-specific half of the crash report.
#pragma once
#include <cstddef>

// Formats the saved registers of a signal context as the board's report lays them out.
void platform_crash_format_registers(const void *context, char *out, size_t size);
// The sound thread's known fault: on the board a register of the context holds -1; clears it
// and returns true when the thread may resume. Never on the PC.
bool platform_crash_resume_sound(void *context);
