// Feeds arbitrary bytes to the buffered MP4 reader, delivered in two pieces so that boxes
// split across buffers are exercised, and to the completeness check over a file stream.
#include "streams/mp4.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    size_t split = data[0] % (size);   // first byte chooses where the first buffer ends
    std::vector<uint8_t> in(data + 1, data + size);

    mp4_muxer *r = mp4_new_reader();
    size_t consumed = 0;
    size_t ends[2] = {split < in.size() ? split : in.size(), in.size()};
    for (size_t end : ends) {
        if (end <= consumed)
            continue;
        // a copy of exactly the bytes available, so any overread shows under ASan
        std::vector<uint8_t> piece(in.begin() + consumed, in.begin() + end);
        mp4_buf_put(r, piece.data(), (uint32_t)piece.size());
        const uint8_t *payload;
        uint32_t len;
        int guard = 0;
        while (mp4_get_mdat(r, &payload, &len) && guard++ < 10000) {
            volatile uint8_t sink = len ? payload[0] ^ payload[len - 1] : 0;
            (void)sink;
            mp4_track_advance_ts(r, payload && len && payload[0] ? 2 : 1);
        }
        consumed += mp4_buf_drain(r);
    }
    uint32_t cl = mp4_get_config_length(r);
    if (cl) {
        std::vector<uint8_t> config(cl);
        mp4_get_parameter_data(r, config.data());
    }
    for (uint32_t id = 0; id < 4; id++) {
        mp4_get_fourcc(r, id);
        mp4_track_duration(r, id);
        mp4_get_samplerate(r, id);
        mp4_get_timescale(r, id);
    }
    mp4_delete(r);

    FILE *f = fmemopen((void *)in.data(), in.size() ? in.size() : 1, "rb");
    if (f) {
        mp4_muxer *c = mp4_new_reader();
        mp4_set_file(c, f);
        mp4_check_complete(c);
        mp4_delete(c);
        fclose(f);
    }
    return 0;
}
