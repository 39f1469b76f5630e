// Shared between the platform's own files only.
#pragma once
#include <cstddef>
#include <cstdint>

void platform_log(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void platform_clock_init();
// Virtual address of len bytes of contiguous memory at a physical address; null unless the
// whole range lies inside one block.
void *platform_cmem_virt(uint32_t phys, size_t len);
