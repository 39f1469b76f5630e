#include "streams/annexb.h"

#include <cstring>

size_t annexb_find_start_code(const uint8_t *d, size_t len, size_t from)
{
    // memchr finds the candidate zero bytes far faster than a byte loop.
    size_t i = from;
    while (i + 3 <= len) {
        const void *z = memchr(d + i, 0, len - i - 2);
        if (!z)
            return len;
        i = (size_t)((const uint8_t *)z - d);
        if (d[i + 1] == 0 && d[i + 2] == 1)
            return i;
        i++;
    }
    return len;
}

size_t annexb_find_code(const uint8_t *d, size_t len, size_t from, uint8_t code)
{
    for (size_t i = annexb_find_start_code(d, len, from); i < len; i = annexb_find_start_code(d, len, i + 3))
        if (i + 3 < len && d[i + 3] == code)
            return i;
    return len;
}

size_t annexb_code_begin(const uint8_t *d, size_t from, size_t sc)
{
    return sc > from && d[sc - 1] == 0 ? sc - 1 : sc;
}

bool annexb_next_nal(const uint8_t *d, size_t len, size_t *pos, const uint8_t **nal, size_t *nal_len)
{
    size_t s = annexb_find_start_code(d, len, *pos);
    if (s >= len)
        return false;
    size_t begin = s + 3;
    size_t e = annexb_find_start_code(d, len, begin);
    *pos = e;
    size_t end = e;
    while (end > begin && d[end - 1] == 0)
        end--;
    *nal = d + begin;
    *nal_len = end - begin;
    return true;
}
