#include "core/crc32.h"

#include <cstring>

namespace {

// Slicing-by-8 tables, built once at start.
struct Tables {
    uint32_t msb[8][256];   // MPEG-2, non-reflected
    uint32_t lsb[8][256];   // IEEE, reflected
    Tables()
    {
        for (uint32_t i = 0; i < 256; i++) {
            uint32_t c = i << 24;
            for (int k = 0; k < 8; k++)
                c = (c & 0x80000000u) ? (c << 1) ^ 0x04C11DB7u : c << 1;
            msb[0][i] = c;
            uint32_t r = i;
            for (int k = 0; k < 8; k++)
                r = (r & 1) ? (r >> 1) ^ 0xEDB88320u : r >> 1;
            lsb[0][i] = r;
        }
        for (int t = 1; t < 8; t++) {
            for (uint32_t i = 0; i < 256; i++) {
                msb[t][i] = (msb[t - 1][i] << 8) ^ msb[0][msb[t - 1][i] >> 24];
                lsb[t][i] = (lsb[t - 1][i] >> 8) ^ lsb[0][lsb[t - 1][i] & 0xFF];
            }
        }
    }
};
const Tables tables;

inline uint32_t load_be32(const uint8_t *p)
{
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

inline uint32_t load_le32(const uint8_t *p)
{
    return (uint32_t)p[3] << 24 | (uint32_t)p[2] << 16 | (uint32_t)p[1] << 8 | p[0];
}

uint32_t lsb_update(uint32_t crc, const uint8_t *p, size_t n)
{
    const auto &T = tables.lsb;
    while (n >= 8) {
        uint32_t a = load_le32(p) ^ crc;
        uint32_t b = load_le32(p + 4);
        crc = T[7][a & 0xFF] ^ T[6][(a >> 8) & 0xFF] ^ T[5][(a >> 16) & 0xFF] ^ T[4][a >> 24] ^
              T[3][b & 0xFF] ^ T[2][(b >> 8) & 0xFF] ^ T[1][(b >> 16) & 0xFF] ^ T[0][b >> 24];
        p += 8;
        n -= 8;
    }
    while (n--)
        crc = (crc >> 8) ^ T[0][(crc ^ *p++) & 0xFF];
    return crc;
}

} // namespace

uint32_t crc32_mpeg2_update(uint32_t crc, const void *data, size_t length)
{
    const uint8_t *p = static_cast<const uint8_t *>(data);
    const auto &T = tables.msb;
    while (length >= 8) {
        uint32_t a = load_be32(p) ^ crc;
        uint32_t b = load_be32(p + 4);
        crc = T[7][a >> 24] ^ T[6][(a >> 16) & 0xFF] ^ T[5][(a >> 8) & 0xFF] ^ T[4][a & 0xFF] ^
              T[3][b >> 24] ^ T[2][(b >> 16) & 0xFF] ^ T[1][(b >> 8) & 0xFF] ^ T[0][b & 0xFF];
        p += 8;
        length -= 8;
    }
    while (length--)
        crc = (crc << 8) ^ T[0][(crc >> 24) ^ *p++];
    return crc;
}

uint32_t crc32_mpeg2(const void *data, size_t length)
{
    return crc32_mpeg2_update(0xFFFFFFFFu, data, length);
}

uint32_t crc32_yield(const void *data, size_t length, void (*yield)())
{
    const uint8_t *p = static_cast<const uint8_t *>(data);
    uint32_t crc = 0xFFFFFFFFu;
    size_t done = 0;
    while (done < length) {
        if (yield)
            yield();
        size_t n = length - done < 4096 ? length - done : 4096;
        crc = lsb_update(crc, p + done, n);
        done += n;
    }
    return crc ^ 0xFFFFFFFFu;
}
