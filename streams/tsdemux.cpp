// Transport-stream demuxer of received streams: finds complete PES packets of the video and audio
// PIDs named by the PMT. Input comes from the network, so every read is checked against the
// packet and buffer bounds.
#include "streams/tsmux.h"

#include "core/log.h"

#include <cstring>

namespace {

struct TsPacket {
    bool     start;        // payload_unit_start_indicator
    uint16_t pid;
    uint8_t  cc;
    bool     has_payload;
    bool     has_pcr;
    bool     discontinuity;
    uint64_t pcr_base;
    const uint8_t *payload;
    size_t   payload_len;
};

// False for a packet whose adaptation field overruns it.
bool packet_parse(const uint8_t *pkt, TsPacket *p)
{
    p->start = pkt[1] & 0x40;
    p->pid = ((pkt[1] & 0x1F) << 8) | pkt[2];
    uint8_t afc = (pkt[3] >> 4) & 3;
    p->cc = pkt[3] & 0x0F;
    p->has_pcr = false;
    p->discontinuity = false;
    size_t off = 4;
    if (afc & 2) {
        size_t aflen = pkt[4];
        if (aflen > 183)
            return false;
        if (aflen > 0) {
            uint8_t flags = pkt[5];
            p->discontinuity = flags & 0x80;
            if ((flags & 0x10) && aflen >= 7) {
                p->has_pcr = true;
                p->pcr_base = (uint64_t(pkt[6]) << 25) | (uint32_t(pkt[7]) << 17) | (uint32_t(pkt[8]) << 9) |
                              (uint32_t(pkt[9]) << 1) | (pkt[10] >> 7);
            }
        }
        off = 5 + aflen;
    }
    p->has_payload = (afc & 1) && off < TS_PACKET_SIZE;
    p->payload = pkt + off;
    p->payload_len = p->has_payload ? TS_PACKET_SIZE - off : 0;
    return true;
}

// A packet is taken where 0x47 is followed by another 0x47 one packet later, so a 0x47 inside
// a payload does not pass for a packet start. The last packet of the data is taken as it is.
enum { SYNC_SKIP, SYNC_OK, SYNC_WAIT };
int sync_at(const uint8_t *data, size_t pos, size_t length, bool at_end)
{
    if (data[pos] != 0x47)
        return SYNC_SKIP;
    if (pos + TS_PACKET_SIZE < length)
        return data[pos + TS_PACKET_SIZE] == 0x47 ? SYNC_OK : SYNC_SKIP;
    return at_end ? SYNC_OK : SYNC_WAIT;
}

TsStream *demux_stream(TsContext *ctx, uint16_t pid)
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

void verify_cc(uint16_t pid, uint8_t *expected, uint8_t *valid, uint32_t *errors, const TsPacket &p)
{
    if (!p.has_payload)
        return;
    if (*valid && p.cc != *expected) {
        log_printf("%s: PID=%x expected cc=%d actual=%d\n", "verify_cc", pid, *expected, p.cc);
        (*errors)++;
    }
    *expected = (p.cc + 1) & 0x0F;
    *valid = 1;
}

// The section of a PSI packet, or null; *len is its size including the CRC.
const uint8_t *section_of(const TsPacket &p, uint8_t table_id, size_t *len)
{
    if (!p.start || p.payload_len < 1)
        return nullptr;
    size_t ptr = p.payload[0];
    if (1 + ptr + 3 > p.payload_len)
        return nullptr;
    const uint8_t *s = p.payload + 1 + ptr;
    size_t avail = p.payload_len - 1 - ptr;
    if (s[0] != table_id)
        return nullptr;
    size_t sl = ((s[1] & 0x0F) << 8) | s[2];
    if (3 + sl > avail || sl < 9)
        return nullptr;   // sections spanning packets are not used by our peers
    *len = 3 + sl;
    return s;
}

void parse_pat(TsContext *ctx, const TsPacket &p)
{
    size_t len;
    const uint8_t *s = section_of(p, 0x00, &len);
    if (!s)
        return;
    for (size_t i = 8; i + 4 <= len - 4; i += 4) {
        uint16_t program = (s[i] << 8) | s[i + 1];
        if (program == 0)
            continue;
        ctx->pmt_pid = ((s[i + 2] & 0x1F) << 8) | s[i + 3];
        return;
    }
}

void parse_pmt(TsContext *ctx, const TsPacket &p)
{
    size_t len;
    const uint8_t *s = section_of(p, 0x02, &len);
    if (!s || len < 16)
        return;
    uint32_t crc = (s[len - 4] << 24) | (s[len - 3] << 16) | (s[len - 2] << 8) | s[len - 1];
    if (ctx->pmt_seen && crc == ctx->pmt_crc)
        return;   // repeated table: nothing new, and no repeated messages
    ctx->pmt_seen = 1;
    ctx->pmt_crc = crc;
    ctx->pcr_pid = ((s[8] & 0x1F) << 8) | s[9];
    size_t pi_len = ((s[10] & 0x0F) << 8) | s[11];
    size_t i = 12 + pi_len;
    size_t end = len - 4;
    while (i + 5 <= end) {
        uint8_t type = s[i];
        uint16_t pid = ((s[i + 1] & 0x1F) << 8) | s[i + 2];
        size_t es_len = ((s[i + 3] & 0x0F) << 8) | s[i + 4];
        const uint8_t *d = s + i + 5;
        if (i + 5 + es_len > end)
            break;
        TsStream *st = nullptr;
        switch (type) {
        case TS_TYPE_MPEG2_VIDEO:
        case TS_TYPE_MPEG4_VIDEO:
        case TS_TYPE_H264:
            st = &ctx->video;
            break;
        case TS_TYPE_MPEG1_AUDIO:
        case TS_TYPE_AAC:
        case TS_TYPE_PRIVATE_PES:
            st = &ctx->audio;
            break;
        default:
            log_printf("unhandled stream_type=0x%lx\n", (unsigned long)type);
            break;
        }
        if (st) {
            if (st->pid != pid) {
                st->pes_pos = -1;
                st->pes_got = 0;
                st->cc_valid = 0;
            }
            st->pid = pid;
            st->stream_type = type;
            for (size_t k = 0; k + 2 <= es_len;) {
                uint8_t tag = d[k], dl = d[k + 1];
                if (k + 2 + dl > es_len)
                    break;
                if (tag == 0x28 && dl >= 4) {
                    st->avc_profile = d[k + 2];
                    st->avc_level = d[k + 4];
                } else if (tag == 0x05 && dl >= 4) {
                    memcpy(st->registration, d + k + 2, 4);
                    st->s302m = memcmp(st->registration, "BSSD", 4) == 0;
                }
                k += 2 + dl;
            }
        }
        i += 5 + es_len;
    }
}

// PES header length (up to the payload) and its PTS; 0 when the header is not usable.
size_t pes_header(const uint8_t *b, size_t n, uint32_t *pes_len, uint32_t *pts, uint8_t *pts_bit32, bool *has_pts)
{
    if (n < 6 || b[0] != 0 || b[1] != 0 || b[2] != 1)
        return 0;
    uint8_t sid = b[3];
    uint32_t plen = (b[4] << 8) | b[5];
    *has_pts = false;
    size_t hlen = 6;
    bool no_header = sid == 0xBC || sid == 0xBE || sid == 0xBF || (sid >= 0xF0 && sid <= 0xF2) || sid == 0xF8 ||
                     sid == 0xFF;
    if (!no_header) {
        if (n < 9)
            return 0;
        hlen = 9 + b[8];
        if (hlen > n)
            return 0;
        if ((b[7] & 0x80) && b[8] >= 5) {
            const uint8_t *t = b + 9;
            uint64_t v = (uint64_t((t[0] >> 1) & 7) << 30) | (uint32_t(t[1]) << 22) | (uint32_t(t[2] >> 1) << 15) |
                         (uint32_t(t[3]) << 7) | (t[4] >> 1);
            *pts = uint32_t(v);
            *pts_bit32 = (v >> 32) & 1;
            *has_pts = true;
        }
    }
    if (plen) {
        if (plen < hlen - 6)
            return 0;
        *pes_len = plen - (hlen - 6);
    } else {
        *pes_len = 0;
    }
    return hlen;
}

void make_ready(TsContext *ctx, TsStream *st, uint32_t len)
{
    ctx->ready_pid = st->pid;
    ctx->ready_len = len;
    ctx->ready_pos = st->pes_pos;
    ctx->ready_pts = st->pes_pts;
    ctx->ready_pts_bit32 = st->pes_pts_bit32;
    ctx->ready_parsed = 0;
    st->pes_pos = -1;
    st->pes_got = 0;
    st->pes_len = 0;
}

} // namespace

int ts_demux_feed(TsContext *ctx, const uint8_t *data, size_t length)
{
    if (!ctx || !data)
        return -1;
    ctx->ready_pid = 0;
    ctx->ready_pos = -1;
    ctx->ready_len = 0;
    if (ctx->scan_pos < 0)
        ctx->scan_pos = 0;
    size_t pos = size_t(ctx->scan_pos);
    while (pos + TS_PACKET_SIZE <= length) {
        const uint8_t *pkt = data + pos;
        TsPacket p;
        int sync = sync_at(data, pos, length, ctx->flush);
        if (sync == SYNC_WAIT)
            break;
        if (sync == SYNC_SKIP || !packet_parse(pkt, &p)) {
            pos++;
            continue;
        }
        if (p.has_pcr) {
            ctx->pcr = uint32_t(p.pcr_base);
            ctx->pcr_bit32 = (p.pcr_base >> 32) & 1;
        }
        if (p.discontinuity)
            ctx->discontinuity = 1;

        if (p.pid == 0) {
            verify_cc(p.pid, &ctx->pat_cc_rx, &ctx->pat_cc_valid, &ctx->pat_cc_errors, p);
            parse_pat(ctx, p);
        } else if (ctx->pmt_pid && p.pid == ctx->pmt_pid) {
            verify_cc(p.pid, &ctx->pmt_cc_rx, &ctx->pmt_cc_valid, &ctx->pmt_cc_errors, p);
            parse_pmt(ctx, p);
        } else if (TsStream *st = demux_stream(ctx, p.pid)) {
            if (p.start && p.has_payload && st->pes_pos >= 0 && st->pes_got > 0 && st->pes_len == 0) {
                // A new PES ends the one of unknown length; this packet is looked at again next time.
                make_ready(ctx, st, st->pes_got);
                ctx->scan_pos = int64_t(pos);
                return st->pid;
            }
            verify_cc(p.pid, &st->cc, &st->cc_valid, &st->cc_errors, p);
            if (p.has_payload) {
                if (p.start) {
                    if (st->pes_pos >= 0 && st->pes_len)
                        log_printf("%s: PID=%x PES cut short at %u of %u bytes\n", __func__, p.pid, st->pes_got,
                                   st->pes_len);
                    uint32_t plen = 0, pts = 0;
                    uint8_t bit32 = 0;
                    bool has_pts = false;
                    size_t h = pes_header(p.payload, p.payload_len, &plen, &pts, &bit32, &has_pts);
                    if (h) {
                        st->pes_pos = int64_t(pos);
                        st->pes_len = plen;
                        st->pes_got = uint32_t(p.payload_len - h);
                        if (has_pts) {
                            st->pes_pts = pts;
                            st->pes_pts_bit32 = bit32;
                        }
                    } else {
                        st->pes_pos = -1;
                        st->pes_got = 0;
                        st->pes_len = 0;
                    }
                } else if (st->pes_pos >= 0) {
                    st->pes_got += uint32_t(p.payload_len);
                }
                if (st->pes_pos >= 0 && st->pes_len && st->pes_got >= st->pes_len) {
                    make_ready(ctx, st, st->pes_len);
                    ctx->scan_pos = int64_t(pos + TS_PACKET_SIZE);
                    return st->pid;
                }
            }
        }
        pos += TS_PACKET_SIZE;
    }
    ctx->scan_pos = int64_t(pos);
    if (ctx->flush && ctx->video.pes_pos >= 0 && ctx->video.pes_got > 0) {
        make_ready(ctx, &ctx->video, ctx->video.pes_got);
        return ctx->video.pid;
    }
    return 0;
}

int ts_demux_parse(TsContext *ctx, uint16_t pid, uint8_t *dest, size_t dest_size, const uint8_t *data, size_t length)
{
    if (!ctx || !dest || !data)
        return -1;
    if (pid == 0 || pid != ctx->ready_pid || ctx->ready_pos < 0) {
        log_printf("%s: no complete PES on PID 0x%x\n", __func__, pid);
        return -1;
    }
    if (ctx->ready_len > dest_size) {
        log_printf("error: dump_len=%u > len=%u\n", ctx->ready_len, unsigned(dest_size));
        ctx->ready_parsed = 1;
        return -1;
    }
    size_t pos = size_t(ctx->ready_pos);
    size_t copied = 0;
    bool first = true;
    while (copied < ctx->ready_len && pos + TS_PACKET_SIZE <= length) {
        const uint8_t *pkt = data + pos;
        TsPacket p;
        if (sync_at(data, pos, length, true) != SYNC_OK || !packet_parse(pkt, &p)) {
            pos++;
            continue;
        }
        pos += TS_PACKET_SIZE;
        if (p.pid != pid || !p.has_payload)
            continue;
        const uint8_t *src = p.payload;
        size_t n = p.payload_len;
        if (first) {
            uint32_t plen, pts;
            uint8_t bit32;
            bool has_pts;
            size_t h = pes_header(src, n, &plen, &pts, &bit32, &has_pts);
            if (!p.start || !h)
                break;
            src += h;
            n -= h;
            first = false;
        } else if (p.start) {
            break;
        }
        if (n > ctx->ready_len - copied)
            n = ctx->ready_len - copied;
        memcpy(dest + copied, src, n);
        copied += n;
    }
    ctx->ready_parsed = 1;
    if (copied < ctx->ready_len) {
        log_printf("error: dump_len=%u > len=%u\n", ctx->ready_len, unsigned(copied));
        return -1;
    }
    return int(copied);
}

size_t ts_demux_consumed(const TsContext *ctx)
{
    int64_t m = ctx->scan_pos;
    const TsStream *streams[] = {&ctx->video, &ctx->audio, &ctx->third};
    for (const TsStream *st : streams)
        if (st->pes_pos >= 0 && st->pes_pos < m)
            m = st->pes_pos;
    if (ctx->ready_pos >= 0 && !ctx->ready_parsed && ctx->ready_pos < m)
        m = ctx->ready_pos;
    return m > 0 ? size_t(m) : 0;
}

void ts_demux_discard(TsContext *ctx, size_t bytes)
{
    int64_t n = int64_t(bytes);
    ctx->scan_pos = ctx->scan_pos > n ? ctx->scan_pos - n : 0;
    TsStream *streams[] = {&ctx->video, &ctx->audio, &ctx->third};
    for (TsStream *st : streams) {
        if (st->pes_pos < 0)
            continue;
        if (st->pes_pos < n) {
            log_printf("%s: PID=%x PES dropped with its data\n", __func__, st->pid);
            st->pes_pos = -1;
            st->pes_got = 0;
            st->pes_len = 0;
        } else {
            st->pes_pos -= n;
        }
    }
    if (ctx->ready_pos >= 0)
        ctx->ready_pos = ctx->ready_pos >= n ? ctx->ready_pos - n : -1;
}
