// The two CRC-32 variants of the system.
#pragma once
#include <cstddef>
#include <cstdint>

// CRC-32/MPEG-2: polynomial 0x04C11DB7, MSB first, init 0xFFFFFFFF, no final XOR.
uint32_t crc32_mpeg2(const void *data, size_t length);
// Continues an MPEG-2 CRC from an earlier value (start with 0xFFFFFFFF).
uint32_t crc32_mpeg2_update(uint32_t crc, const void *data, size_t length);
// The reflected CRC-32 of IEEE 802.3 and zlib. When `yield` is set it is called before bytes
// 0, 4096, 8192, ... so a long check gives other threads the processor.
uint32_t crc32_yield(const void *data, size_t length, void (*yield)());
