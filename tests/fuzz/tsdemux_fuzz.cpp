// Received transport streams are untrusted: the demuxer must never read or write out of bounds,
// whatever arrives and however it is cut into receive rounds.
#include "streams/tsmux.h"

#include <cstdint>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    size_t chunk = 1 + data[0] * 37;
    size_t dest_size = 1 + data[1] * 97;
    data += 2;
    size -= 2;
    TsContext *ctx = tsmux_new();
    if (!ctx)
        return 0;
    std::vector<uint8_t> rx;
    std::vector<uint8_t> dest(dest_size);
    size_t off = 0;
    for (int round = 0; round < 10000; round++) {
        if (off < size) {
            size_t n = std::min(chunk, size - off);
            rx.insert(rx.end(), data + off, data + off + n);
            off += n;
        } else {
            ctx->flush = 1;
        }
        int pid;
        int guard = 0;
        while ((pid = ts_demux_feed(ctx, rx.data(), rx.size())) > 0 && guard++ < 100000)
            ts_demux_parse(ctx, uint16_t(pid), dest.data(), dest.size(), rx.data(), rx.size());
        size_t c = ts_demux_consumed(ctx);
        if (c > rx.size())
            __builtin_trap();
        rx.erase(rx.begin(), rx.begin() + c);
        ts_demux_discard(ctx, c);
        if (off >= size && ctx->flush)
            break;
    }
    tsmux_free(ctx);
    return 0;
}
