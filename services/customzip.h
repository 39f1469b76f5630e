// Custom web content: one zip archive in a reserved flash block, unpacked over the web root at
// every start.
#pragma once
#include <cstddef>
#include <cstdint>

enum : uint32_t { CUSTOMZIP_OFFSET = 0xFE0000u, CUSTOMZIP_BLOCK = 0x20000u };
// What the web root takes from an archive: bytes unpacked and files in all.
enum : uint32_t { CUSTOMZIP_MAX_UNPACKED = 16u << 20, CUSTOMZIP_MAX_ENTRIES = 1024 };
// An archive that unpacks to more than the web root takes; one unzip does not unpack cleanly
// (truncated, damaged, or unzip warns about it).
enum { CUSTOMZIP_REFUSED = -2, CUSTOMZIP_DAMAGED = -3 };

// Unpacks the stored archive; the listing command's status, 0 when none is stored, -1 on errors,
// CUSTOMZIP_REFUSED when it unpacks to more than the web root takes (nothing is unpacked). One
// that does not unpack cleanly (stored by an older build) is served as far as unzip unpacked it.
int customzip_load();
// `data`: the length word followed by the archive, `size` bytes in all. Stores and unpacks it:
// what customzip_load returns, -1, or CUSTOMZIP_REFUSED or CUSTOMZIP_DAMAGED (the stored archive
// and its flash block stay as they were). For CUSTOMZIP_DAMAGED, `why` gets the reason as a line.
int customzip_save(const void *data, size_t size, const char **why = nullptr);
// From the archive's own directory: 0 when it fits the web root, else CUSTOMZIP_REFUSED (logged).
int customzip_check(const void *zip, size_t size);
void customzip_erase();
// The length word last read; -1 after an erase.
int customzip_stored_size();
// Stores the archive in a file: 0 stored, 1 empty (erased), 2 too large, 3 failure.
int customzip_store_file(const char *path);
