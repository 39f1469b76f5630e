// Encoder output, received streams and uploaded files all go through the start-code scan: it
// must stay inside the bytes it is given and agree with a plain byte-by-byte reading.
#include "streams/annexb.h"

#include <cstdlib>
#include <vector>

namespace {
size_t slow_find(const uint8_t *d, size_t len, size_t from)
{
    for (size_t i = from; i + 3 <= len; i++)
        if (d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 1)
            return i;
    return len;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<uint8_t> in(data, data + size);   // exact size: ASan sees any read past it
    const uint8_t *d = in.data();
    for (size_t from = 0; from <= size + 1; from += 1 + from / 8)
        if (annexb_find_start_code(d, size, from) != slow_find(d, size, from))
            abort();
    size_t vop = annexb_find_code(d, size, 0, 0xB6);
    if (vop < size && !(vop + 3 < size && d[vop + 3] == 0xB6 && slow_find(d, size, vop) == vop))
        abort();
    size_t pos = 0, units = 0;
    const uint8_t *nal;
    size_t n;
    while (annexb_next_nal(d, size, &pos, &nal, &n)) {
        if (nal < d || nal + n > d + size || ++units > size)
            abort();
        if (pos < size)
            annexb_code_begin(d, 0, pos);
    }
    return 0;
}
