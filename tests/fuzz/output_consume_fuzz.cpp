// Received streams are untrusted: the output thread's consume step must stay inside the receive
// buffer and every destination (playback records, the PES assembly buffer) on all three paths,
// however the bytes are cut into receive rounds; so must the ADTS walk over a playback record.
#include "audio/playback.h"
#include "streams/stream_mode.h"
#include "video/output.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

std::vector<uint8_t> record;
bool held;
volatile uint32_t sink_sum;

// The stubs touch every byte they are given, so a unit running past the buffer shows.
uint32_t touch(const uint8_t *p, size_t n)
{
    uint32_t s = 0;
    for (size_t i = 0; i < n; i++)
        s += p[i];
    return s;
}
int create_video(void *, int codec, bool)
{
    return codec == 16 ? -1 : 0;
}
int decode_video(void *, uint8_t *u, size_t n, uint32_t)
{
    sink_sum += touch(u, n);
    return n > 7 && u[7] == 0x5a ? 0 : (int)n;   // sometimes "nothing decoded": a fresh decoder
}
int decode_jpeg(void *, uint8_t *u, size_t n)
{
    sink_sum += touch(u, n);
    return 0;
}
void audio_start(void *, int) {}
uint8_t *audio_get(void *, size_t *cap)
{
    if (held)
        __builtin_trap();   // a record taken twice without a hand-over
    held = true;
    *cap = record.size();
    return record.data();
}
int audio_put(void *, size_t n, uint32_t)
{
    if (!held || n > record.size())
        __builtin_trap();
    held = false;
    // The playback side: walk the ADTS frames of the record as the playback thread does.
    size_t pos = 0;
    while (pos + 8 < n) {
        AdtsHeader h;
        size_t payload = n;
        if (playback_adts_header(record.data() + pos, n - pos, &h)) {
            if (h.frameLength <= h.headerLength)
                break;
            pos += (size_t)h.headerLength;
            payload = (size_t)(h.frameLength - h.headerLength);
        } else {
            payload = n - pos;
        }
        payload = std::min(payload, n - pos);
        sink_sum += touch(record.data() + pos, payload);
        pos += payload;
    }
    return 0;
}
bool heard(void *, uint32_t *t)
{
    *t = 12345;
    return true;
}
bool never(void *)
{
    return false;
}
const OutputSink SINK = {nullptr, create_video, decode_video, decode_jpeg, audio_start,
                         audio_get, audio_put, heard, never};

const int FORMATS[] = {StreamMode_H264_AAC_TS, StreamMode_MPEG4_TS, StreamMode_H264_ES, StreamMode_MPEG4_ES,
                       StreamMode_JPEG, StreamMode_H264_AAC_MP4, StreamMode_MPEG4_AAC_MP4, StreamMode_H264_AAC_FLV};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 4)
        return 0;
    int format = FORMATS[data[0] % (sizeof FORMATS / sizeof FORMATS[0])];
    bool low = data[0] & 0x80;
    size_t chunk = 1 + data[1] * 29;
    size_t cap = 2048 + data[2] * 512;
    record.assign(1 + data[3] * 17, 0);
    held = false;
    data += 4;
    size -= 4;

    OutputConsumer c;
    if (output_consumer_init(&c, &SINK, format, low) < 0)
        return 0;
    std::vector<uint8_t> buf(cap);
    size_t fill = 0, off = 0;
    for (int round = 0; round < 100000 && !c.failed; round++) {
        size_t n = std::min(chunk, size - off);
        // The receive round reads nothing when too little room is left.
        if (cap - fill <= OUTPUT_RECEIVE_RESERVE)
            n = 0;
        n = std::min(n, cap - fill);
        memcpy(buf.data() + fill, data + off, n);
        fill += n;
        off += n;
        bool last = off == size;
        size_t used = output_consume(&c, buf.data(), fill, cap, last);
        if (used > fill)
            __builtin_trap();
        memmove(buf.data(), buf.data() + used, fill - used);
        fill -= used;
        if (last)
            break;
        if (n == 0 && used == 0)
            __builtin_trap();   // a full buffer that nothing empties: a stall
    }
    output_consumer_done(&c);
    return 0;
}
