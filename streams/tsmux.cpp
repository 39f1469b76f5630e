#include "streams/tsmux.h"

#include "core/crc32.h"
#include "core/log.h"

#include <cstdlib>
#include <cstring>

namespace {

// The first access unit after attach carries PAT/PMT: the unsigned distance from this is large.
constexpr uint32_t PSI_NEVER = 0x100000;
constexpr uint32_t PSI_INTERVAL = 9000;        // 100 ms
constexpr uint32_t PRIVATE_INTERVAL = 90000;   // 1 s
constexpr size_t PES_HEADER_MAX = 64;

struct BitReverse {
    uint8_t t[256];
    BitReverse()
    {
        for (int i = 0; i < 256; i++) {
            uint8_t r = 0;
            for (int b = 0; b < 8; b++)
                if (i & (1 << b))
                    r |= 0x80 >> b;
            t[i] = r;
        }
    }
};
const BitReverse bitrev;

void put_pid_header(uint8_t *p, uint16_t pid, bool start, uint8_t *cc)
{
    p[0] = 0x47;
    p[1] = (start ? 0x40 : 0) | ((pid >> 8) & 0x1F);
    p[2] = pid & 0xFF;
    p[3] = 0x10 | (*cc & 0x0F);
    *cc = (*cc + 1) & 0x0F;
}

// Ends a section that starts at `table` with `len` bytes before the CRC; pads the packet.
void finish_section(uint8_t *pkt, uint8_t *table, size_t len)
{
    uint32_t crc = crc32_mpeg2(table, len);
    uint8_t *p = table + len;
    p[0] = crc >> 24;
    p[1] = crc >> 16;
    p[2] = crc >> 8;
    p[3] = crc;
    p += 4;
    memset(p, 0xFF, TS_PACKET_SIZE - (p - pkt));
}

void write_pat(TsContext *ctx, uint8_t *pkt)
{
    uint16_t pmt = ctx->pmt_pid ? ctx->pmt_pid : uint16_t(TS_PMT_PID);
    put_pid_header(pkt, 0, true, &ctx->pat_cc);
    pkt[4] = 0;   // pointer_field
    uint8_t *t = pkt + 5;
    const uint8_t sec[] = {0x00, 0xB0, 17, 0x00, 0x00, 0xC1, 0x00, 0x00,
                           0x00, 0x01, uint8_t(0xE0 | (pmt >> 8)), uint8_t(pmt & 0xFF),
                           0x00, 0x00, 0xE0, TS_PRIVATE_PID};
    memcpy(t, sec, sizeof sec);
    finish_section(pkt, t, sizeof sec);
}

uint8_t *put_es(uint8_t *p, uint8_t type, uint16_t pid)
{
    p[0] = type;
    p[1] = 0xE0 | (pid >> 8);
    p[2] = pid & 0xFF;
    return p + 5;   // ES_info_length filled by the caller
}

void put_es_info_length(uint8_t *es, uint8_t *end)
{
    size_t n = end - (es + 5);
    es[3] = 0xF0 | (n >> 8);
    es[4] = n & 0xFF;
}

void write_pmt(TsContext *ctx, uint8_t *pkt)
{
    uint16_t pmt = ctx->pmt_pid ? ctx->pmt_pid : uint16_t(TS_PMT_PID);
    put_pid_header(pkt, pmt, true, &ctx->pmt_cc);
    pkt[4] = 0;
    uint8_t *t = pkt + 5;
    uint8_t *p = t;
    *p++ = 0x02;
    p += 2;   // section_length below
    *p++ = 0x00;
    *p++ = 0x01;   // program_number 1
    *p++ = 0xC1;
    *p++ = 0x00;
    *p++ = 0x00;
    *p++ = 0xE0 | (ctx->pcr_pid >> 8);
    *p++ = ctx->pcr_pid & 0xFF;
    *p++ = 0xF0;
    *p++ = 6;
    memcpy(p, "\x05\x04HDMV", 6);
    p += 6;

    const TsStream &v = ctx->video;
    if (v.pid) {
        uint8_t *es = p;
        p = put_es(p, v.stream_type, v.pid);
        memcpy(p, "\x05\x08HDMV\xFF\x1B\x44\x3F", 10);
        p += 10;
        if (v.stream_type == TS_TYPE_H264) {
            const uint8_t avc[] = {0x28, 0x04, v.avc_profile, 0x00, v.avc_level, 0x3F, 0x2A, 0x02, 0x7E, 0xFF};
            memcpy(p, avc, sizeof avc);
            p += sizeof avc;
        } else if (v.stream_type == TS_TYPE_MPEG4_VIDEO) {
            *p++ = 0x1B;
            *p++ = 0x01;
            *p++ = v.avc_level;
        } else if (v.stream_type == TS_TYPE_MPEG2_VIDEO) {
            *p++ = 0x02;
            *p++ = 0x01;
            *p++ = v.avc_level;
        }
        put_es_info_length(es, p);
    }
    const TsStream &a = ctx->audio;
    if (a.pid) {
        uint8_t *es = p;
        p = put_es(p, a.stream_type, a.pid);
        if (a.stream_type == TS_TYPE_PRIVATE_PES && a.s302m) {
            *p++ = 0x05;
            *p++ = 0x04;
            memcpy(p, a.registration, 4);
            p += 4;
        }
        memcpy(p, a.s302m ? "\x0A\x04und\x00" : "\x0A\x04" "eng\x00", 6);
        p += 6;
        put_es_info_length(es, p);
    }
    if (ctx->third.pid) {
        uint8_t *es = p;
        p = put_es(p, 0xBD, ctx->third.pid);
        put_es_info_length(es, p);
    }
    size_t section_length = (p - (t + 3)) + 4;
    t[1] = 0xB0 | (section_length >> 8);
    t[2] = section_length & 0xFF;
    finish_section(pkt, t, p - t);
}

void write_private(TsContext *ctx, uint8_t *pkt)
{
    put_pid_header(pkt, TS_PRIVATE_PID, true, &ctx->private_cc);
    pkt[4] = 0;
    uint8_t *t = pkt + 5;
    const uint8_t sec[] = {0x7F, 0xF0, 17, 0xFF, 0xFF, 0xC1, 0x00, 0x00,
                           'k', 'e', 'l', 'v', '7', '1', '5', '0'};
    memcpy(t, sec, sizeof sec);
    finish_section(pkt, t, sizeof sec);
}

// Bit 32 of a 33-bit time stamp that moved from prev to ts by the shorter way round: it flips
// when the 32-bit value wraps forwards, and back when it steps backwards across the wrap (audio
// up to 1000 ticks older than the first keyframe has a negative PTS).
uint8_t next_bit32(uint32_t prev, uint8_t bit32, uint32_t ts)
{
    int32_t step = int32_t(ts - prev);
    if ((step > 0 && ts < prev) || (step < 0 && ts > prev))
        bit32 ^= 1;
    return bit32 & 1;
}

void write_pcr(TsContext *ctx, uint8_t *pkt)
{
    ctx->pcr_bit32 = next_bit32(ctx->pcr_last, ctx->pcr_bit32, ctx->pcr);
    ctx->pcr_last = ctx->pcr;
    uint64_t base = (uint64_t(ctx->pcr_bit32) << 32) | ctx->pcr;
    pkt[0] = 0x47;
    pkt[1] = (ctx->pcr_pid >> 8) & 0x1F;
    pkt[2] = ctx->pcr_pid & 0xFF;
    pkt[3] = 0x20 | (ctx->pcr_cc & 0x0F);   // adaptation only: the counter does not advance
    pkt[4] = 183;
    pkt[5] = 0x10 | (ctx->discontinuity ? 0x80 : 0);
    pkt[6] = base >> 25;
    pkt[7] = base >> 17;
    pkt[8] = base >> 9;
    pkt[9] = base >> 1;
    pkt[10] = ((base & 1) << 7) | 0x7E;
    pkt[11] = 0x00;
    memset(pkt + 12, 0xFF, TS_PACKET_SIZE - 12);
}

uint8_t *put_timestamp(uint8_t *p, uint8_t prefix, uint8_t bit32, uint32_t ts)
{
    uint64_t v = (uint64_t(bit32 & 1) << 32) | ts;
    p[0] = (prefix << 4) | (((v >> 30) & 7) << 1) | 1;
    p[1] = v >> 22;
    p[2] = (((v >> 15) & 0x7F) << 1) | 1;
    p[3] = v >> 7;
    p[4] = ((v & 0x7F) << 1) | 1;
    return p + 5;
}

TsStream *stream_of(TsContext *ctx, uint16_t pid)
{
    if (pid == 0)
        return nullptr;
    if (pid == ctx->video.pid)
        return &ctx->video;
    if (pid == ctx->audio.pid)
        return &ctx->audio;
    if (pid == ctx->third.pid)
        return &ctx->third;
    return nullptr;
}

} // namespace

TsContext *tsmux_new()
{
    TsContext *ctx = static_cast<TsContext *>(calloc(1, sizeof(TsContext)));
    if (!ctx) {
        log_error("%s: out of memory\n", __func__);
        return nullptr;
    }
    ctx->psi_pcr = PSI_NEVER;
    ctx->private_pcr = PSI_NEVER;
    ctx->audio.pes_pos = ctx->video.pes_pos = ctx->third.pes_pos = -1;
    ctx->ready_pos = -1;
    return ctx;
}

void tsmux_free(TsContext *ctx)
{
    if (!ctx)
        return;
    free(ctx->scratch);
    free(ctx);
}

void tsmux_configure(TsContext *ctx, uint8_t video_type, int audio)
{
    ctx->pmt_pid = TS_PMT_PID;
    ctx->pcr_pid = TS_PCR_PID;
    ctx->video.pid = TS_VIDEO_PID;
    ctx->video.stream_type = video_type;
    ctx->video.avc_profile = 100;
    ctx->video.avc_level = 40;
    ctx->psi_pcr = PSI_NEVER;
    ctx->private_pcr = PSI_NEVER;
    if (audio == TSMUX_AUDIO_AAC) {
        ctx->audio.pid = TS_AAC_PID;
        ctx->audio.stream_type = TS_TYPE_AAC;
    } else if (audio == TSMUX_AUDIO_PCM) {
        ctx->audio.pid = TS_PCM_PID;
        ctx->audio.stream_type = TS_TYPE_PRIVATE_PES;
        ctx->audio.s302m = 1;
        memcpy(ctx->audio.registration, "BSSD", 4);
    }
}

size_t tsmux_max_output(size_t length)
{
    size_t payload = PES_HEADER_MAX + length + length / 4 + 4;
    return (4 + (payload + 183) / 184) * TS_PACKET_SIZE;
}

int pes_write_header(TsContext *ctx, TsStream *st, uint8_t *hdr, const uint8_t *data, size_t length,
                     size_t payload_length)
{
    bool video = st == &ctx->video;
    bool audio = st == &ctx->audio;
    uint8_t sid = st->stream_id;
    if (!sid) {
        if (video)
            sid = 0xE0;
        else if (audio && st->stream_type != TS_TYPE_PRIVATE_PES)
            sid = 0xC0;   // MPEG audio range; AAC on type 0x0F needs it
        else
            sid = 0xBD;
    }
    st->pts_bit32 = next_bit32(st->written ? st->pts_prev : 0, st->pts_bit32, st->pts);
    st->pts_prev = st->pts;
    bool has_dts = st->dts || st->dts_bit32;
    if (has_dts) {
        st->dts_bit32 = next_bit32(st->written ? st->dts_prev : 0, st->dts_bit32, st->dts);
        st->dts_prev = st->dts;
    }
    st->written = 1;
    // P-STD buffer extension on the first PES of non-302M private audio.
    bool ext = audio && st->stream_type == TS_TYPE_PRIVATE_PES && !st->s302m && !st->ext_done;
    if (ext)
        st->ext_done = 1;

    uint8_t *p = hdr;
    p[0] = 0;
    p[1] = 0;
    p[2] = 1;
    p[3] = sid;
    p[6] = 0x81;
    p[7] = (has_dts ? 0xC0 : 0x80) | (ext ? 0x01 : 0);
    p[8] = (has_dts ? 10 : 5) + (ext ? 9 : 0);
    p += 9;
    p = put_timestamp(p, has_dts ? 3 : 2, st->pts_bit32, st->pts);
    if (has_dts)
        p = put_timestamp(p, 1, st->dts_bit32, st->dts);
    if (ext) {
        memcpy(p, "\x1E\x60\x3A\xFF\xFF\xFF\xFF\xFF\xFF", 9);
        p += 9;
    }
    if (video && st->stream_type == TS_TYPE_H264 && length > 4 && data[0] == 0 && data[1] == 0 &&
        data[2] == 0 && data[3] == 1) {
        uint8_t nal = data[4] & 0x1F;
        if (nal == 1 || nal == 7) {
            memcpy(p, "\x00\x00\x00\x01\x09", 5);
            p[5] = nal == 7 ? 0x10 : 0x30;
            p += 6;
        }
    }
    size_t pes_len = (p - hdr) - 6 + payload_length;
    if (pes_len >= 65536)
        pes_len = 0;
    hdr[4] = pes_len >> 8;
    hdr[5] = pes_len & 0xFF;
    return p - hdr;
}

size_t ts_make_packet(uint8_t *pkt, uint16_t pid, uint8_t *cc, uint8_t priority, const uint8_t *hdr,
                      size_t hdr_len, const uint8_t *data, size_t length)
{
    size_t room = 184 - hdr_len;
    size_t take = length < room ? length : room;
    size_t payload = hdr_len + take;
    pkt[0] = 0x47;
    pkt[1] = (hdr_len ? 0x40 : 0) | (priority ? 0x20 : 0) | ((pid >> 8) & 0x1F);
    pkt[2] = pid & 0xFF;
    uint8_t *p;
    if (payload < 184) {
        // Stuffing goes into an adaptation field, so the control bits say "adaptation and payload".
        size_t af = 183 - payload;
        pkt[3] = 0x30 | (*cc & 0x0F);
        pkt[4] = af;
        if (af) {
            pkt[5] = 0;
            memset(pkt + 6, 0xFF, af - 1);
        }
        p = pkt + 5 + af;
    } else {
        pkt[3] = 0x10 | (*cc & 0x0F);
        p = pkt + 4;
    }
    *cc = (*cc + 1) & 0x0F;
    if (hdr_len)
        memcpy(p, hdr, hdr_len);
    memcpy(p + hdr_len, data, take);
    return take;
}

size_t s302m_write_packet(TsContext *ctx, uint8_t *out, const uint8_t *pcm, size_t length)
{
    size_t frames = length / 4;
    size_t bytes = frames * 5;
    // AES3 header: audio_packet_size, 2 channels, channel id 0, 16 bits, alignment 0.
    out[0] = bytes >> 8;
    out[1] = bytes & 0xFF;
    out[2] = 0;
    out[3] = 0;
    uint8_t *o = out + 4;
    const uint8_t *rev = bitrev.t;
    uint32_t fc = ctx->s302m_frame;
    for (size_t i = 0; i < frames; i++, pcm += 4, o += 5) {
        uint16_t l = pcm[0] | (pcm[1] << 8);
        uint16_t r = pcm[2] | (pcm[3] << 8);
        o[0] = rev[l & 0xFF];
        o[1] = rev[l >> 8];
        o[2] = rev[(r & 0x0F) << 4] | (fc == 0 ? 0x10 : 0);   // F bit opens each 192-frame block
        o[3] = rev[(r >> 4) & 0xFF];
        o[4] = rev[r >> 12];
        if (++fc == 192)
            fc = 0;
    }
    ctx->s302m_frame = fc;
    return bytes + 4;
}

int tsmux_write(TsContext *ctx, uint16_t pid, uint8_t *dest, size_t dest_size, const uint8_t *data, size_t length)
{
    if (!ctx || !dest || !data) {
        log_printf("%s: dest=%p src=%p len=%u\n", __func__, (void *)dest, (const void *)data, unsigned(length));
        return 0;
    }
    if (ctx->program_stream) {
        log_printf("%s: program stream output is not supported\n", __func__);
        return -1;
    }
    TsStream *st = stream_of(ctx, pid);
    if (!st) {
        log_printf("%s: no stream on PID 0x%x\n", __func__, pid);
        return 0;
    }
    if (length > 0x4000000) {
        log_printf("%s: access unit of %zu bytes refused\n", __func__, length);
        return -1;
    }
    size_t need = tsmux_max_output(length);
    if (need > dest_size) {
        log_printf("%s: PID 0x%x unit of %zu bytes needs %zu, buffer has %zu\n", __func__, pid, length, need,
                   dest_size);
        return -1;
    }

    uint8_t *out = dest;
    // A keyframe carries the tables too: an HLS segment or a late joiner starting there can
    // decode from its first byte.
    if (ctx->pcr - ctx->psi_pcr > PSI_INTERVAL || (st == &ctx->video && st->priority)) {
        ctx->psi_pcr = ctx->pcr;
        write_pat(ctx, out);
        write_pmt(ctx, out + TS_PACKET_SIZE);
        out += 2 * TS_PACKET_SIZE;
    }
    if (ctx->private_section && ctx->pcr - ctx->private_pcr > PRIVATE_INTERVAL) {
        ctx->private_pcr = ctx->pcr;
        write_private(ctx, out);
        out += TS_PACKET_SIZE;
    }
    if (ctx->pcr != ctx->pcr_last) {
        write_pcr(ctx, out);
        out += TS_PACKET_SIZE;
    }

    const uint8_t *payload = data;
    size_t payload_len = length;
    if (st == &ctx->audio && st->stream_type == TS_TYPE_PRIVATE_PES && st->s302m) {
        size_t n = length + length / 4 + 4;
        if (n > ctx->scratch_size) {
            uint8_t *s = static_cast<uint8_t *>(realloc(ctx->scratch, n));
            if (!s) {
                log_error("%s: out of memory for %zu bytes\n", __func__, n);
                return -1;
            }
            ctx->scratch = s;
            ctx->scratch_size = n;
        }
        payload_len = s302m_write_packet(ctx, ctx->scratch, data, length);
        payload = ctx->scratch;
    }

    uint8_t hdr[PES_HEADER_MAX];
    size_t hdr_len = pes_write_header(ctx, st, hdr, payload, payload_len, payload_len);
    size_t pos = ts_make_packet(out, pid, &st->cc, st->priority, hdr, hdr_len, payload, payload_len);
    out += TS_PACKET_SIZE;
    while (pos < payload_len) {
        pos += ts_make_packet(out, pid, &st->cc, st->priority, nullptr, 0, payload + pos, payload_len - pos);
        out += TS_PACKET_SIZE;
    }
    return int(out - dest);
}

int tsmux_write_video(TsContext *ctx, uint8_t *dest, size_t dest_size, const uint8_t *data, size_t length,
                      uint32_t pts, bool keyframe)
{
    ctx->video.priority = keyframe ? 1 : 0;
    ctx->pcr = pts + 900;
    ctx->video.pts = pts;
    return tsmux_write(ctx, ctx->video.pid, dest, dest_size, data, length);
}

int tsmux_write_audio(TsContext *ctx, uint8_t *dest, size_t dest_size, const uint8_t *data, size_t length,
                      uint32_t pts)
{
    if (ctx->audio.written && int32_t(pts - ctx->audio.pts_prev) <= 0)
        return 0;
    ctx->audio.pts = pts;
    return tsmux_write(ctx, ctx->audio.pid, dest, dest_size, data, length);
}
