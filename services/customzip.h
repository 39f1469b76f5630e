// Custom web content: one zip archive in a reserved flash block, unpacked over the web root at
// every start.
#pragma once
#include <cstddef>
#include <cstdint>

enum : uint32_t { CUSTOMZIP_OFFSET = 0xFE0000u, CUSTOMZIP_BLOCK = 0x20000u };

// Unpacks the stored archive; the listing command's status, 0 when none is stored, -1 on errors.
int customzip_load();
// `data`: the length word followed by the archive, `size` bytes in all.
int customzip_save(const void *data, size_t size);
void customzip_erase();
// The length word last read; -1 after an erase.
int customzip_stored_size();
// Stores the archive in a file: 0 stored, 1 empty (erased), 2 too large, 3 failure.
int customzip_store_file(const char *path);
