// Shared between the platform's own files only.
#pragma once
#include <cstddef>
#include <cstdint>

void platform_log(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void platform_clock_init();
// Virtual address of len bytes of contiguous memory at a physical address; null unless the
// whole range lies inside one block.
void *platform_cmem_virt(uint32_t phys, size_t len);

#include <string>
#include <vector>
// mount and umount as the board's tools answer them: true when the command was one of them,
// with its output and wait status.
bool platform_storage_command(const std::vector<std::string> &words, std::string *out, int *status);
// What "mount" lists.
std::string platform_storage_table();
