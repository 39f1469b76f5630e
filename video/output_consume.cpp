// The consume step of the output thread: finds units in the receive buffer by the stream's
// container and hands them to the decoders. Everything here comes from the network: every read
// is bounded by the buffer, every copy by its destination.
#include "video/output.h"

#include "core/log.h"
#include "streams/annexb.h"
#include "streams/mp4.h"
#include "streams/stream_mode.h"
#include "streams/tsmux.h"

#include <cstdlib>
#include <cstring>

namespace {

enum { VIDEO_CODEC_MPEG2 = 16 };

const char *codec_label(int codec)
{
    switch (codec) {
    case VIDEO_CODEC_H264:
        return "h264dec";
    case VIDEO_CODEC_MPEG4:
        return "mpeg4dec";
    case VIDEO_CODEC_MPEG2:
        return "mpeg2dec";
    case VIDEO_CODEC_JPEG:
        return "jpegdec";
    default:
        return "none";
    }
}

// What a start code at d (00 00 01 xx, avail bytes from d) means for unit splitting.
enum { SC_OTHER, SC_HEADER, SC_PICTURE, SC_SLICE };
int start_code_kind(int codec, const uint8_t *d, size_t avail)
{
    uint8_t x = d[3];
    if (codec == VIDEO_CODEC_H264) {
        int type = x & 0x1f;
        if (type == 1 || type == 5) {
            // first_mb_in_slice 0 (ue(v) "1") starts a picture; other slices continue it.
            if (avail < 5)
                return SC_OTHER;
            return (d[4] & 0x80) ? SC_PICTURE : SC_SLICE;
        }
        if (type == 6 || type == 7 || type == 8 || type == 9 || (type >= 14 && type <= 18))
            return SC_HEADER;
        return SC_OTHER;
    }
    if (codec == VIDEO_CODEC_MPEG4) {
        if (x == 0xb6)
            return SC_PICTURE;
        if (x == 0xb0 || x == 0xb3 || x <= 0x2f)
            return SC_HEADER;   // VOS, GOV, VO, VOL
        return SC_OTHER;
    }
    if (codec == VIDEO_CODEC_MPEG2) {
        if (x == 0x00)
            return SC_PICTURE;
        if (x == 0xb3 || x == 0xb8)
            return SC_HEADER;
        return SC_OTHER;
    }
    return SC_OTHER;
}

// The unit's end: the zero byte of a 4-byte start code belongs to the next unit.
size_t unit_end(const uint8_t *buf, size_t sc, size_t begin)
{
    return (sc > begin && buf[sc - 1] == 0) ? sc - 1 : sc;
}

bool stop_requested(OutputConsumer *c)
{
    return c->sink->stop_requested && c->sink->stop_requested(c->sink->user);
}

// A decoded unit's result: 0 asks for a fresh decoder.
void video_result(OutputConsumer *c, int r, size_t len, const char *what)
{
    if (r < 0) {
        c->tsErrors++;
        log_printf("%s %d: failed to decode %s\n", "outputThrFxn", __LINE__, what);
        log_printf("len %u offset %llu  error %i \n", (unsigned)len, (unsigned long long)c->offset, r);
    } else if (r == 0 && len > 0) {
        if (c->sink->create_video(c->sink->user, c->videoCodec, true) < 0) {
            log_printf("%s %d: failed to create video decoder %s\n", "outputThrFxn", __LINE__, c->label);
            c->failed = true;
        }
    }
}

// Decodes one unit, holding back everything before the stream's first keyframe.
void decode_unit(OutputConsumer *c, uint8_t *unit, size_t len, uint32_t ts, const char *what)
{
    if (!c->keyframeSeen) {
        if (!output_is_keyframe(c->videoCodec, unit, len)) {
            size_t i = 0;
            if (len > 5 && c->videoCodec == VIDEO_CODEC_H264 && (unit[4] & 0x1f) == 9)
                i = 6;   // past an access-unit delimiter
            const uint8_t *p = unit + i;
            size_t n = len - i;
            log_printf("not an i-frame %02x %02x %02x %02x %02x %02x %02x\n", n > 0 ? p[0] : 0, n > 1 ? p[1] : 0,
                       n > 2 ? p[2] : 0, n > 3 ? p[3] : 0, n > 4 ? p[4] : 0, n > 5 ? p[5] : 0, n > 6 ? p[6] : 0);
            return;
        }
        c->keyframeSeen = true;
    }
    c->units++;
    int r = c->sink->decode_video(c->sink->user, unit, len, ts);
    video_result(c, r, len, what);
}

// ---- elementary streams ----

// Bytes to drop when the buffer holds no start code (or garbage before it): keep the last two,
// which may begin one.
size_t skip_to_start_code(OutputConsumer *c, const uint8_t *buf, size_t fill, size_t from, const char *what)
{
    size_t s = annexb_find_start_code(buf, fill, from);
    if (s >= fill) {
        size_t drop = fill > 2 ? fill - 2 : 0;
        if (drop)
            log_printf("%s: no start code in %u bytes, dropped\n", what, (unsigned)drop);
        return drop;
    }
    s = unit_end(buf, s, from);
    if (s)
        log_printf("%s: %u bytes before the next start code skipped\n", what, (unsigned)s);
    return s;
}

size_t consume_es_video(OutputConsumer *c, uint8_t *buf, size_t fill, size_t cap, bool lastpacket)
{
    size_t consumed = 0;
    while (!c->failed && !stop_requested(c)) {
        uint8_t *b = buf + consumed;
        size_t n = fill - consumed;
        if (n < 4)
            break;
        size_t first = annexb_find_start_code(b, n, 0);
        if (first != 0 && !(first == 1 && b[0] == 0)) {
            if (c->videoCodec == VIDEO_CODEC_H264)
                log_printf("h264 frame didn't start with 0 0 0 1\n");
            else
                log_printf("mpeg frame didn't start with 0 0 1: %02x %02x %02x %02x %02x %02x %02x %02x\n", b[0], b[1],
                           b[2], b[3], n > 4 ? b[4] : 0, n > 5 ? b[5] : 0, n > 6 ? b[6] : 0, n > 7 ? b[7] : 0);
            size_t drop = skip_to_start_code(c, b, n, 0, "elementary stream");
            if (!drop)
                break;
            consumed += drop;
            c->scanPos = 0;
            c->pictureSeen = false;
            continue;
        }
        // Look for the start code that begins the next unit.
        size_t pos = c->scanPos > first ? c->scanPos : first;
        size_t boundary = 0;
        bool found = false;
        while (true) {
            size_t sc = annexb_find_start_code(b, n, pos);
            if (sc + 4 > n) {
                c->scanPos = sc < n ? sc : (n > 3 ? n - 3 : 0);
                break;
            }
            int kind = start_code_kind(c->videoCodec, b + sc, n - sc);
            if (kind == SC_OTHER && c->videoCodec == VIDEO_CODEC_H264 && ((b[sc + 3] & 0x1f) == 1 || (b[sc + 3] & 0x1f) == 5) &&
                sc + 5 > n) {
                c->scanPos = sc;   // its first byte after the header is still to come
                break;
            }
            if (c->pictureSeen && (kind == SC_HEADER || kind == SC_PICTURE) && sc > first) {
                boundary = unit_end(b, sc, first);
                found = true;
                break;
            }
            if (kind == SC_PICTURE || kind == SC_SLICE)
                c->pictureSeen = true;
            pos = sc + 3;
        }
        if (!found && lastpacket && c->pictureSeen) {
            boundary = n;
            found = true;
        }
        if (!found) {
            if (consumed == 0 && fill + OUTPUT_RECEIVE_RESERVE >= cap) {
                // A full buffer without a complete unit: drop to the next start code.
                size_t drop = skip_to_start_code(c, b, n, first + 3, "elementary stream (no complete unit)");
                if (!drop)
                    drop = n;
                consumed += drop;
                c->scanPos = 0;
                c->pictureSeen = false;
                continue;
            }
            break;
        }
        decode_unit(c, b, boundary, 0, "video");
        consumed += boundary;
        c->offset += boundary;
        c->scanPos = 0;
        c->pictureSeen = false;
    }
    if (lastpacket)
        c->sink->decode_video(c->sink->user, buf + consumed, 0, 0);
    return consumed;
}

// JPEG: FF D8 FF starts an image; it runs up to the next image's start.
size_t find_soi(const uint8_t *b, size_t n, size_t from)
{
    for (size_t i = from; i + 3 < n;) {
        const void *f = memchr(b + i, 0xff, n - 3 - i);
        if (!f)
            return n;
        i = (size_t)((const uint8_t *)f - b);
        if (b[i + 1] == 0xd8 && b[i + 2] == 0xff && b[i + 3] >= 0xc0 && b[i + 3] != 0xff)
            return i;
        i++;
    }
    return n;
}

size_t consume_jpeg(OutputConsumer *c, uint8_t *buf, size_t fill, size_t cap, bool lastpacket)
{
    size_t consumed = 0;
    while (!c->failed && !stop_requested(c)) {
        uint8_t *b = buf + consumed;
        size_t n = fill - consumed;
        if (n < 4)
            break;
        if (find_soi(b, n, 0) != 0) {
            log_printf("jpeg frame didn't start with 0xff 0xd8 0xff 0xe0: %02x %02x %02x %02x %02x %02x %02x %02x \n", b[0],
                       b[1], b[2], b[3], n > 4 ? b[4] : 0, n > 5 ? b[5] : 0, n > 6 ? b[6] : 0, n > 7 ? b[7] : 0);
            size_t s = find_soi(b, n, 0);
            size_t drop = s < n ? s : n - 3;
            consumed += drop;
            c->offset += drop;
            continue;
        }
        size_t next = find_soi(b, n, c->scanPos > 4 ? c->scanPos : 4);
        if (next >= n) {
            if (lastpacket) {
                next = n;
            } else if (fill + OUTPUT_RECEIVE_RESERVE >= cap) {
                log_printf("jpeg image larger than the receive buffer, dropped\n");
                consumed += n > 3 ? n - 3 : n;
                c->scanPos = 0;
                continue;
            } else {
                c->scanPos = n > 3 ? n - 3 : 0;
                break;
            }
        }
        c->scanPos = 0;
        c->units++;
        if (c->sink->decode_jpeg(c->sink->user, b, next) < 0)
            c->failed = true;
        consumed += next;
        c->offset += next;
    }
    return consumed;
}

// ---- audio hand-off ----

// The latency check in low-latency mode; true keeps the frame.
bool audio_keep(OutputConsumer *c, uint32_t ts)
{
    bool keep = true;
    uint32_t heard = 0;
    if (c->lowLatency && c->sink->audio_heard && c->sink->audio_heard(c->sink->user, &heard)) {
        if (latency_estimate(&c->latency, heard, ts, c->prevAudioTs)) {
            keep = false;
            c->audioDropped++;
        }
    }
    c->prevAudioTs = ts;
    return keep;
}

// ---- transport stream ----

void ts_audio(OutputConsumer *c, uint8_t *buf, size_t fill)
{
    TsContext *ts = c->ts;
    if (ts->audio.stream_type != TS_TYPE_AAC)
        return;   // only AAC is played
    uint32_t pts = ts->ready_pts;
    if (!c->audioStarted) {
        c->audioStarted = true;
        c->sink->audio_start(c->sink->user, 1);
        log_printf("%s: ts audio format AAC track %d\n", "outputThrFxn", ts->audio.pid);
        log_printf("%s: ts audio initial ts=%u\n", "outputThrFxn", pts);
        latency_start(&c->latency, 1920);
        c->prevAudioTs = pts - 1920;
    }
    if (!audio_keep(c, pts))
        return;
    size_t capacity = 0;
    uint8_t *dst = c->sink->audio_get(c->sink->user, &capacity);
    if (!dst) {
        if (c->lowLatency)
            log_printf("warning: sound playback fifo is empty\n");
        c->audioDropped++;
        return;
    }
    int n = ts_demux_parse(ts, ts->audio.pid, dst, capacity, buf, fill);
    if (n <= 0) {
        c->sink->audio_put(c->sink->user, 0, 0);   // too large or cut short: dropped, logged
        return;
    }
    if (c->sink->audio_put(c->sink->user, (size_t)n, pts) < 0)
        c->failed = true;
    else
        c->audioFrames++;
}

int ts_codec_of(uint8_t type)
{
    switch (type) {
    case TS_TYPE_H264:
        return VIDEO_CODEC_H264;
    case TS_TYPE_MPEG4_VIDEO:
        return VIDEO_CODEC_MPEG4;
    case TS_TYPE_MPEG2_VIDEO:
        return VIDEO_CODEC_MPEG2;
    default:
        return -1;
    }
}

void ts_video(OutputConsumer *c, uint8_t *buf, size_t fill)
{
    TsContext *ts = c->ts;
    if (c->videoCodec == VIDEO_CODEC_NONE) {
        int codec = ts_codec_of(ts->video.stream_type);
        if (codec < 0) {
            log_printf("%s %d: unknown TS mux format: %x\n", "outputThrFxn", __LINE__, ts->video.stream_type);
            c->failed = true;
            return;
        }
        c->videoCodec = codec;
        c->label = codec_label(codec);
        log_printf("%s: MPEG-TS video format %s track %d  (%ld)\n", "outputThrFxn", c->label, ts->video.pid,
                   (long)ts->ready_pts);
        if (c->sink->create_video(c->sink->user, codec, false) < 0) {
            log_printf("%s %d: failed to create video decoder %s\n", "outputThrFxn", __LINE__, c->label);
            c->failed = true;
            return;
        }
    }
    int n = ts_demux_parse(ts, ts->video.pid, c->assembly, OUTPUT_ASSEMBLY_SIZE - OUTPUT_ASSEMBLY_PAD, buf, fill);
    if (n <= 0)
        return;   // logged by the demuxer; the PES is dropped
    memset(c->assembly + n, 0, OUTPUT_ASSEMBLY_PAD);
    decode_unit(c, c->assembly, (size_t)n, ts->ready_pts, "MPEG-TS video");
}

size_t consume_ts(OutputConsumer *c, uint8_t *buf, size_t fill, size_t cap, bool lastpacket)
{
    TsContext *ts = c->ts;
    ts->flush = lastpacket;
    while (!c->failed && !stop_requested(c)) {
        int pid = ts_demux_feed(ts, buf, fill);
        if (pid <= 0)
            break;
        if (pid == ts->audio.pid)
            ts_audio(c, buf, fill);
        else if (pid == ts->video.pid)
            ts_video(c, buf, fill);
    }
    size_t consumed = ts_demux_consumed(ts);
    if (consumed == 0 && fill + OUTPUT_RECEIVE_RESERVE >= cap) {
        // One PES fills the buffer: it cannot complete, so it goes.
        consumed = ts->scan_pos > 0 ? (size_t)ts->scan_pos : fill;
        log_printf("%s: receive buffer full without a complete PES, %u bytes dropped\n", "outputThrFxn",
                   (unsigned)consumed);
    }
    if (consumed > fill)
        consumed = fill;
    ts_demux_discard(ts, consumed);
    c->offset += consumed;
    if (lastpacket) {
        if (c->videoCodec != VIDEO_CODEC_NONE)
            c->sink->decode_video(c->sink->user, c->assembly, 0, 0);
        c->failed = true;
    }
    return consumed;
}

// ---- MP4 in stream-buffer mode ----

uint32_t to90k(uint64_t t, uint32_t scale)
{
    if (scale == 0 || scale == 90000)
        return (uint32_t)t;
    return (uint32_t)(t * 90000 / scale);
}

uint32_t find_track(mp4_muxer *m, uint32_t a, uint32_t b, uint32_t *fourcc)
{
    for (uint32_t id = 1; id < 64; id++) {
        uint32_t f = mp4_get_fourcc(m, id);
        if (f == 0)
            return 0;
        if (f == a || f == b) {
            *fourcc = f;
            return id;
        }
    }
    return 0;
}

void mp4_audio(OutputConsumer *c, const uint8_t *p, uint32_t len)
{
    if (!c->audioStarted) {
        uint32_t f = 0;
        c->audioTrack = find_track(c->mp4, MP4_FOURCC('m', 'p', '4', 'a'), MP4_FOURCC('m', 'p', '4', 'a'), &f);
        if (!c->audioTrack) {
            log_printf("%s: mp4 audio sample without an AAC track, dropped\n", "outputThrFxn");
            return;
        }
        c->audioStarted = true;
        c->audioScale = mp4_get_timescale(c->mp4, c->audioTrack);
        c->sink->audio_start(c->sink->user, 0);
        log_printf("%s: mp4 audio format AAC track %d\n", "outputThrFxn", c->audioTrack);
        uint32_t ts = to90k(mp4_track_advance_ts(c->mp4, c->audioTrack), c->audioScale);
        log_printf("%s: mp4 audio initial ts=%u\n", "outputThrFxn", ts);
        uint32_t interval = to90k(mp4_track_duration(c->mp4, c->audioTrack), c->audioScale);
        latency_start(&c->latency, interval ? interval : 1920);
        c->prevAudioTs = ts - c->latency.interval;
        if (!audio_keep(c, ts))
            return;
        size_t capacity = 0;
        uint8_t *dst = c->sink->audio_get(c->sink->user, &capacity);
        if (!dst) {
            c->audioDropped++;
            return;
        }
        size_t n = len < capacity ? len : capacity;
        memcpy(dst, p, n);
        if (c->sink->audio_put(c->sink->user, n, ts) < 0)
            c->failed = true;
        else
            c->audioFrames++;
        return;
    }
    uint32_t ts = to90k(mp4_track_advance_ts(c->mp4, c->audioTrack), c->audioScale);
    if (!audio_keep(c, ts))
        return;
    size_t capacity = 0;
    uint8_t *dst = c->sink->audio_get(c->sink->user, &capacity);
    if (!dst) {
        c->audioDropped++;
        return;
    }
    if (len > capacity)
        log_printf("%s: audio sample of %u bytes cut to %u\n", "outputThrFxn", len, (unsigned)capacity);
    size_t n = len < capacity ? len : capacity;
    memcpy(dst, p, n);
    if (c->sink->audio_put(c->sink->user, n, ts) < 0)
        c->failed = true;
    else
        c->audioFrames++;
}

uint32_t be32(const uint8_t *p)
{
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

// Length-prefixed NAL units become start codes, every one of the sample; false when a length
// runs past the sample.
bool lengths_to_start_codes(uint8_t *p, uint32_t len)
{
    uint32_t pos = 0;
    while (pos + 4 <= len) {
        uint32_t n = be32(p + pos);
        if (n > len - pos - 4)
            return false;
        p[pos] = 0;
        p[pos + 1] = 0;
        p[pos + 2] = 0;
        p[pos + 3] = 1;
        pos += 4 + n;
    }
    return pos == len;
}

bool is_video_sample(const uint8_t *p, uint32_t len)
{
    if (len >= 3 && p[0] == 0 && p[1] == 0 && p[2] == 1)
        return true;
    if (len >= 4 && p[0] == 0 && p[1] == 0 && p[2] == 0 && p[3] == 1)
        return true;
    if (len < 4)
        return false;
    // A chain of 4-byte lengths that ends exactly at the sample's end.
    uint32_t pos = 0;
    while (pos + 4 <= len) {
        uint32_t n = be32(p + pos);
        if (n == 0 || n > len - pos - 4)
            return false;
        pos += 4 + n;
    }
    return pos == len;
}

void mp4_video(OutputConsumer *c, uint8_t *buf, size_t fill, size_t cap, uint8_t *p, uint32_t len)
{
    bool first = !c->videoStarted;
    if (first) {
        uint32_t f = 0;
        c->videoTrack = find_track(c->mp4, MP4_FOURCC('a', 'v', 'c', '1'), MP4_FOURCC('m', 'p', '4', 'v'), &f);
        if (!c->videoTrack) {
            log_printf("%s %d: failed to determine mp4 video format \n", "outputThrFxn", __LINE__);
            c->failed = true;
            return;
        }
        c->videoCodec = f == MP4_FOURCC('a', 'v', 'c', '1') ? VIDEO_CODEC_H264 : VIDEO_CODEC_MPEG4;
        c->label = codec_label(c->videoCodec);
        c->videoScale = mp4_get_timescale(c->mp4, c->videoTrack);
        log_printf("%s: mp4 video format %s track %d  (%ld)\n", "outputThrFxn", c->label, c->videoTrack, 0l);
        if (c->sink->create_video(c->sink->user, c->videoCodec, false) < 0) {
            log_printf("%s %d: failed to create video decoder %s\n", "outputThrFxn", __LINE__, c->label);
            c->failed = true;
            return;
        }
        c->videoStarted = true;
    }
    uint32_t ts = to90k(mp4_track_advance_ts(c->mp4, c->videoTrack), c->videoScale);
    if (c->videoCodec == VIDEO_CODEC_H264 && !(len >= 3 && p[0] == 0 && p[1] == 0 && (p[2] == 1 || (len >= 4 && p[2] == 0 && p[3] == 1)))) {
        if (!lengths_to_start_codes(p, len)) {
            log_printf("%s: mdat error len=%d %02x %02x %02x %02x %02x %02x %02x %02x\n", "outputThrFxn", len, p[0],
                       len > 1 ? p[1] : 0, len > 2 ? p[2] : 0, len > 3 ? p[3] : 0, len > 4 ? p[4] : 0,
                       len > 5 ? p[5] : 0, len > 6 ? p[6] : 0, len > 7 ? p[7] : 0);
            return;
        }
    }
    uint8_t *unit = p;
    size_t ulen = len;
    if (!c->keyframeSeen) {
        // The decoder configuration goes in front of the first picture the decoder gets.
        uint32_t cl = mp4_get_config_length(c->mp4);
        if (cl > 0) {
            size_t room = (size_t)(p - buf);
            size_t used = fill;
            log_printf("%s: decoderData length %d, insertion space %ld (%lu)\n", "outputThrFxn", cl, (long)room,
                       (unsigned long)used);
            if (room >= cl) {
                uint8_t *tmp = static_cast<uint8_t *>(malloc(cl));
                if (tmp && mp4_get_parameter_data(c->mp4, tmp) == 0) {
                    memcpy(p - cl, tmp, cl);
                    unit = p - cl;
                    ulen = len + cl;
                }
                free(tmp);
            } else if (cl <= cap - used && len <= cap - used - cl) {
                if (mp4_get_parameter_data(c->mp4, buf + used) == 0) {
                    memmove(buf + used + cl, p, len);
                    unit = buf + used;
                    ulen = cl + len;
                }
            } else {
                log_printf("%s: no room for %u bytes of decoder configuration, sample decoded without\n", "outputThrFxn",
                           cl);
            }
        }
        if (first)
            log_printf("%s: mp4 video initial ts=%u\n", "outputThrFxn", ts);
    }
    if (!c->keyframeSeen && !output_is_keyframe(c->videoCodec, unit, ulen)) {
        log_printf("not an i-frame %02x %02x %02x %02x %02x %02x %02x\n", p[0], len > 1 ? p[1] : 0, len > 2 ? p[2] : 0,
                   len > 3 ? p[3] : 0, len > 4 ? p[4] : 0, len > 5 ? p[5] : 0, len > 6 ? p[6] : 0);
        return;
    }
    c->keyframeSeen = true;
    c->units++;
    int r = c->sink->decode_video(c->sink->user, unit, ulen, ts);
    if (r < 0) {
        log_printf("%s %d: failed to decode video\n", "outputThrFxn", __LINE__);
        c->failed = true;
    }
}

size_t consume_mp4(OutputConsumer *c, uint8_t *buf, size_t fill, size_t cap, bool lastpacket)
{
    mp4_buf_put(c->mp4, buf, (uint32_t)fill);
    if (lastpacket)
        mp4_buf_last(c->mp4);
    const uint8_t *payload = nullptr;
    uint32_t len = 0;
    while (!c->failed && !stop_requested(c) && mp4_get_mdat(c->mp4, &payload, &len)) {
        if (len == 0 || payload < buf || payload + len > buf + fill)
            continue;
        uint8_t *p = buf + (payload - buf);
        if (p[0] != 0)
            mp4_audio(c, p, len);
        else if (is_video_sample(p, len))
            mp4_video(c, buf, fill, cap, p, len);
        else
            log_printf("unknown mdat len=%d: %02x %02x %02x %02x\n", len, p[0], len > 1 ? p[1] : 0,
                       len > 2 ? p[2] : 0, len > 3 ? p[3] : 0);
    }
    size_t consumed = mp4_buf_drain(c->mp4);
    if (mp4_has_error(c->mp4)) {
        log_printf("%s: mp4 stream error: %s\n", "outputThrFxn", mp4_strerror(c->mp4));
        c->failed = true;
        return fill;
    }
    if (consumed == 0) {
        if (lastpacket) {
            if (c->videoStarted)
                c->sink->decode_video(c->sink->user, buf, 0, 0);
            c->failed = true;
        } else if (fill >= 20 && buf[0] == 0x14 && (buf[1] == 2 || buf[1] == 3)) {
            log_printf("%s: usb packet header detected in payload data\n", "outputThrFxn");
            consumed = 20;
        } else if (fill + OUTPUT_RECEIVE_RESERVE >= cap) {
            // A box larger than the whole buffer can never be read: the stream cannot go on.
            log_printf("%s: mp4 box larger than the receive buffer\n", "outputThrFxn");
            c->failed = true;
        }
    }
    c->offset += consumed;
    return consumed;
}

// ---- keyframes ----

bool h264_has_idr(const uint8_t *d, size_t len)
{
    size_t pos = 0;
    const uint8_t *nal;
    size_t n;
    while (annexb_next_nal(d, len, &pos, &nal, &n))
        if (n > 0 && (nal[0] & 0x1f) == 5)
            return true;
    return false;
}

// The first picture of the unit, after any headers.
bool picture_is_intra(int codec, const uint8_t *d, size_t len)
{
    size_t pos = 0;
    while (true) {
        size_t sc = annexb_find_start_code(d, len, pos);
        if (sc + 4 > len)
            return false;
        uint8_t x = d[sc + 3];
        if (codec == VIDEO_CODEC_MPEG4 && x == 0xb6)
            return sc + 4 < len && (d[sc + 4] >> 6) == 0;
        if (codec == VIDEO_CODEC_MPEG2 && x == 0x00)
            return sc + 5 < len && ((d[sc + 5] >> 3) & 7) == 1;
        pos = sc + 3;
    }
}

} // namespace

bool output_is_keyframe(int codec, const uint8_t *d, size_t len)
{
    if (codec == VIDEO_CODEC_H264)
        return h264_has_idr(d, len);
    if (codec == VIDEO_CODEC_MPEG4 || codec == VIDEO_CODEC_MPEG2)
        return picture_is_intra(codec, d, len);
    return true;
}

int output_consumer_init(OutputConsumer *c, const OutputSink *sink, int format, bool lowLatency)
{
    *c = OutputConsumer{};
    c->sink = sink;
    c->format = format;
    c->lowLatency = lowLatency;
    c->label = "none";
    int mux = stream_mode_mux_type(format);
    if (mux == 3 || mux == 1) {
        c->path = mux == 3 ? OUTPUT_PATH_MP4 : OUTPUT_PATH_TS;
        c->videoCodec = VIDEO_CODEC_NONE;
        c->audioType = AUDIO_TYPE_NONE;
        c->label = mux == 3 ? "MP4 no video" : "MPEG-TS no video";
        if (mux == 3) {
            c->mp4 = mp4_new_reader();
            if (!c->mp4)
                return -1;
        } else {
            c->ts = tsmux_new();
            c->assembly = static_cast<uint8_t *>(malloc(OUTPUT_ASSEMBLY_SIZE));
            if (!c->ts || !c->assembly) {
                output_consumer_done(c);
                return -1;
            }
        }
        return 0;
    }
    c->path = OUTPUT_PATH_ES;
    c->videoCodec = stream_mode_video_codec(format);
    c->audioType = stream_mode_audio_type(format);
    if (c->videoCodec != VIDEO_CODEC_H264 && c->videoCodec != VIDEO_CODEC_MPEG4 && c->videoCodec != VIDEO_CODEC_JPEG)
        return -1;
    c->label = codec_label(c->videoCodec);
    return 0;
}

void output_consumer_done(OutputConsumer *c)
{
    if (c->mp4)
        mp4_delete(c->mp4);
    if (c->ts)
        tsmux_free(c->ts);
    free(c->assembly);
    c->mp4 = nullptr;
    c->ts = nullptr;
    c->assembly = nullptr;
}

size_t output_consume(OutputConsumer *c, uint8_t *buf, size_t fill, size_t cap, bool lastpacket)
{
    if (c->failed)
        return 0;
    size_t n = 0;
    switch (c->path) {
    case OUTPUT_PATH_TS:
        n = consume_ts(c, buf, fill, cap, lastpacket);
        break;
    case OUTPUT_PATH_MP4:
        n = consume_mp4(c, buf, fill, cap, lastpacket);
        break;
    default:
        if (c->videoCodec == VIDEO_CODEC_JPEG)
            n = consume_jpeg(c, buf, fill, cap, lastpacket);
        else
            n = consume_es_video(c, buf, fill, cap, lastpacket);
        if (lastpacket)
            c->failed = true;
        break;
    }
    return n > fill ? fill : n;
}
