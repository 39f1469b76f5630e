// RTMP chunk stream: reassembly of received chunks, the AMF0 reader, the commands of a playing
// client and their replies, and the chunk headers of everything sent.
#include "streaming/rtmp.h"

#include "core/log.h"
#include "core/param.h"
#include "core/param_table.h"
#include "core/soc.h"
#include "streams/stream_mode.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>

namespace {

void put16(uint8_t *p, uint32_t v)
{
    p[0] = (uint8_t)(v >> 8);
    p[1] = (uint8_t)v;
}

void put24(uint8_t *p, uint32_t v)
{
    p[0] = (uint8_t)(v >> 16);
    p[1] = (uint8_t)(v >> 8);
    p[2] = (uint8_t)v;
}

void put32(uint8_t *p, uint32_t v)
{
    p[0] = (uint8_t)(v >> 24);
    p[1] = (uint8_t)(v >> 16);
    p[2] = (uint8_t)(v >> 8);
    p[3] = (uint8_t)v;
}

void put_double(uint8_t *p, double d)
{
    uint64_t v;
    memcpy(&v, &d, sizeof v);
    for (int i = 0; i < 8; i++)
        p[i] = (uint8_t)(v >> (56 - 8 * i));
}

uint32_t get24(const uint8_t *p)
{
    return (uint32_t)p[0] << 16 | (uint32_t)p[1] << 8 | p[2];
}

void amf_begin(AmfParser *p, const uint8_t *data, uint32_t length)
{
    memset(p, 0, sizeof *p);
    p->buf = data;
    p->end = length;
}

// Moves past n bytes; false (and the parser stopped) when the message holds fewer.
bool amf_skip(AmfParser *p, uint32_t n)
{
    if (p->error || p->bit || p->end - p->pos < n) {
        if (!p->error)
            p->error = AMF_ERR_SHORT;
        return false;
    }
    p->pos += n;
    return true;
}

void slot_reset(RtmpChunkStream *cs)
{
    free(cs->buffer);
    cs->buffer = nullptr;
    cs->assembled = 0;
}

// The slot of a chunk stream id; format 0 or an unknown id takes the first slot, from the
// second on, that has this id or is free. -1 when all are taken.
int slot_for(RtmpConnection *c, uint32_t id)
{
    for (int k = 1; k < (int)RTMP_CHUNK_STREAMS; k++)
        if (c->cs[k].id == id || c->cs[k].id == 0)
            return k;
    return -1;
}

int slot_find(RtmpConnection *c, uint32_t id)
{
    for (int k = 1; k < (int)RTMP_CHUNK_STREAMS; k++)
        if (c->cs[k].id == id)
            return k;
    return -1;
}

int handle_complete(RtmpConnection *c, RtmpChunkStream *cs, const uint8_t *data)
{
    int rc = rtmp_handle_message(c, cs, data);
    if (rc < 0)
        c->fault = 1;
    return rc;
}

RtmpChunkStream reply_stream(uint32_t id, uint32_t type, uint32_t stream_id = 0)
{
    RtmpChunkStream cs{};
    cs.id = id;
    cs.type = type;
    cs.stream_id = stream_id;
    return cs;
}

// A play's statuses and metadata go on the stream the media use: rtmp2src waits for them there
// and ignores what comes on stream 0.
RtmpChunkStream play_stream(const RtmpConnection *c, uint32_t type)
{
    return reply_stream(RTMP_CS_AUDIO, type, c->stream_id);
}

// The play of `stream` refused: logged, a failed status naming the reason, the session ends.
int play_failed(RtmpConnection *c, const char *stream, const char *why, const char *description)
{
    log_printf("rtmp: play %s refused: %s\n", log_text(stream).text, why);
    RtmpChunkStream st = play_stream(c, RTMP_MSG_COMMAND);
    sendpacket(c, &st, "sn0{sss}", "onStatus", 0, "level", "error", "code", "NetStream.Play.Failed", "description",
               description);
    return -1;
}

} // namespace

int rtmp_stream_channel(const char *stream)
{
    // Names without ".m3u8" too: VLC takes any name ending so for a playlist.
    static const char *const names[2][4] = {{"liveA", "streamA", "liveA.m3u8", "streamA.m3u8"},
                                            {"liveB", "streamB", "liveB.m3u8", "streamB.m3u8"}};
    for (int ch = 0; ch < 2; ch++)
        for (const char *n : names[ch])
            if (strcmp(stream, n) == 0)
                return ch;
    return -1;
}

// ---- Receive ----

int rtmp_process(RtmpConnection *c, size_t n)
{
    static const uint32_t header_bytes[4] = {11, 7, 3, 0};
    uint8_t *b = c->rbuf;
    uint32_t end = c->held + (uint32_t)n;
    uint32_t pos = 0;
    while (pos < end && !c->fault) {
        if (c->chunk_left > 0) {
            RtmpChunkStream *cs = &c->cs[c->chunk_slot];
            uint32_t take = c->chunk_left < end - pos ? c->chunk_left : end - pos;
            memcpy(cs->buffer + cs->assembled, b + pos, take);
            cs->assembled += take;
            c->chunk_left -= take;
            pos += take;
            if (cs->assembled == cs->length) {
                c->chunk_slot = -1;
                handle_complete(c, cs, cs->buffer);
                slot_reset(cs);
            }
            continue;
        }

        uint32_t start = pos;
        int format = b[pos] >> 6;
        uint32_t id = b[pos] & 0x3f;
        uint32_t basic = id == 0 ? 2 : id == 1 ? 3 : 1;
        if (end - pos < basic + header_bytes[format])
            break;
        if (id == 0)
            id = 64 + b[pos + 1];
        else if (id == 1)
            id = 64 + b[pos + 1] + b[pos + 2] * 256u;
        pos += basic;

        int found = format == 0 ? -1 : slot_find(c, id);
        uint32_t length = 0, type = 0, stream_id = 0, extended = 0;
        if (found >= 0) {
            length = c->cs[found].length;
            type = c->cs[found].type;
            stream_id = c->cs[found].stream_id;
            extended = c->cs[found].extended;
        }
        const uint8_t *h = b + pos;
        uint32_t ts_field = 0;
        if (format <= 2)
            ts_field = get24(h);
        if (format <= 1) {
            length = get24(h + 3);
            type = h[6];
        }
        if (format == 0)
            stream_id = (uint32_t)h[7] | (uint32_t)h[8] << 8 | (uint32_t)h[9] << 16 | (uint32_t)h[10] << 24;
        pos += header_bytes[format];
        // The extended timestamp follows a 0xFFFFFF field, and is repeated in the message's
        // continuation chunks; it is read and not used.
        if (format <= 2)
            extended = ts_field == 0xFFFFFF;
        if (extended) {
            if (end - pos < 4) {
                pos = start;
                break;
            }
            pos += 4;
        }

        int k = found >= 0 ? found : slot_for(c, id);
        if (k < 0) {
            log_printf("rtmp: no room for chunk stream %u\n", id);
            c->fault = 1;
            break;
        }
        RtmpChunkStream *cs = &c->cs[k];
        if (format <= 2 && cs->assembled > 0)
            slot_reset(cs);   // a new message header abandons a half-received one
        cs->id = id;
        cs->type = type;
        cs->stream_id = stream_id;
        cs->length = length;
        cs->extended = (uint8_t)extended;
        if (length > RTMP_MAX_MESSAGE) {
            log_printf("rtmp: message of %u bytes refused\n", length);
            c->fault = 1;
            break;
        }
        uint32_t chunk = length - cs->assembled;
        if (chunk > c->in_chunk_size)
            chunk = c->in_chunk_size;
        if (cs->assembled == 0 && chunk == length && end - pos >= length) {
            handle_complete(c, cs, b + pos);   // whole message in this read: in place
            pos += length;
            continue;
        }
        if (!cs->buffer) {
            cs->buffer = (uint8_t *)malloc(length);
            if (!cs->buffer) {
                log_printf("failed to allocate %lu bytes for rtmp packet\n", (unsigned long)length);
                c->fault = 1;
                break;
            }
        }
        c->chunk_slot = k;
        c->chunk_left = chunk;
    }
    if (pos < end)
        memmove(b, b + pos, end - pos);
    c->held = end - pos;
    return c->fault ? -1 : 0;
}

int rtmp_feed(RtmpConnection *c, const uint8_t *data, size_t length)
{
    while (length > 0) {
        size_t room = sizeof c->rbuf - c->held;
        size_t n = length < room ? length : room;
        memcpy(c->rbuf + c->held, data, n);
        if (rtmp_process(c, n) < 0)
            return -1;
        data += n;
        length -= n;
    }
    return 0;
}

int rtmp_handle_message(RtmpConnection *c, RtmpChunkStream *cs, const uint8_t *data)
{
    AmfParser *p = &c->amf;
    amf_begin(p, data, cs->length);
    switch (cs->type) {
    case RTMP_MSG_SET_CHUNK_SIZE: {
        uint32_t size = amf_read_bits(p, 32);
        if (p->error)
            return 0;
        // Zero would never consume a byte of payload.
        if (size < 1 || size > RTMP_MAX_CHUNK_SIZE) {
            log_printf("rtmp: chunk size %u refused\n", size);
            return -1;
        }
        c->in_chunk_size = size;
        return 0;
    }
    case RTMP_MSG_USER_CONTROL: {
        uint32_t event = amf_read_bits(p, 16);
        if (event <= 2)
            amf_read_bits(p, 32);
        else if (event == 3) {
            amf_read_bits(p, 32);
            amf_read_bits(p, 32);
        } else if (event == 6 || event == 7)
            amf_read_bits(p, 32);
        return 0;
    }
    case RTMP_MSG_WINDOW_ACK:
        amf_read_bits(p, 32);
        return 0;
    case RTMP_MSG_PEER_BANDWIDTH:
        amf_read_bits(p, 32);
        amf_read_bits(p, 8);
        return 0;
    case RTMP_MSG_COMMAND_AMF3:
        if (!amf_skip(p, 1))   // the format byte in front of the AMF0 values
            return 0;
        return rtmp_handle_command(c, cs);
    case RTMP_MSG_COMMAND:
        return rtmp_handle_command(c, cs);
    case RTMP_MSG_DATA:
        while (p->pos < p->end && amf_parse_value(p) == 0) {
        }
        return p->error == AMF_ERR_DEPTH ? -1 : 0;
    default:
        return 0;
    }
}

int rtmp_handle_command(RtmpConnection *c, RtmpChunkStream *cs)
{
    AmfParser *p = &c->amf;
    char name[64] = "";
    p->str = nullptr;
    amf_parse_value(p);
    if (p->str)
        snprintf(name, sizeof name, "%.*s", (int)p->str_len, (const char *)p->str);
    p->number = 0;
    amf_parse_value(p);
    double txn = p->number;

    if (strcmp(name, "connect") == 0) {
        RtmpChunkStream ctl = reply_stream(RTMP_CS_CONTROL, RTMP_MSG_WINDOW_ACK);
        sendpacket(c, &ctl, "i", 2500000);
        ctl.type = RTMP_MSG_PEER_BANDWIDTH;
        sendpacket(c, &ctl, "ic", 2500000, 2);
        ctl.type = RTMP_MSG_USER_CONTROL;
        sendpacket(c, &ctl, "xi", 0, 0);
        RtmpChunkStream cmd = reply_stream(RTMP_CS_COMMAND, RTMP_MSG_COMMAND);
        sendpacket(c, &cmd, "sd{sn}{sssn}", "_result", txn, "fmsVer", "FMS/3,0,24,53", "capabilities", 31, "level",
                   "status", "code", "NetConnection.Connect.Success", "description", "Connection succeeded",
                   "objectEncoding", 0);
        sendpacket(c, &cmd, "sn0n", "onBWDone", 0, 8192);
    } else if (strcmp(name, "createStream") == 0 || strcmp(name, "closeStream") == 0) {
        RtmpChunkStream cmd = reply_stream(RTMP_CS_COMMAND, RTMP_MSG_COMMAND);
        sendpacket(c, &cmd, "sd0n", "_result", txn, (int)c->stream_id);
        if (strcmp(name, "closeStream") == 0)
            c->playing = 0;
    } else if (strcmp(name, "getStreamLength") == 0) {
        RtmpChunkStream cmd = reply_stream(RTMP_CS_COMMAND, RTMP_MSG_COMMAND);
        sendpacket(c, &cmd, "sd0n", "_result", txn, 0);
    } else if (strcmp(name, "play") == 0) {
        p->str = nullptr;
        amf_parse_value(p);
        p->str = nullptr;
        amf_parse_value(p);
        char stream[128] = "";
        if (p->str)
            snprintf(stream, sizeof stream, "%.*s", (int)p->str_len, (const char *)p->str);
        int chosen = rtmp_stream_channel(stream);
        if (chosen >= 0)
            c->channel = (uint32_t)chosen;
        else
            log_printf("RTMP Stream Name is %s !!!!!\n", log_text(stream).text);
        if (c->channel > 1)
            c->channel = 0;
        ParamBlock *params = rtmp_params ? rtmp_params : get_param_block();
        if (params->GuestPermission < PERM_STREAM_VIEW)   // RTMP brings no credentials here
            return play_failed(c, stream, "the guest may not view streams", "Not authorized");
        // Only H.264 fits the video messages: a JPEG picture would go out as a sequence header
        // and leave the player waiting for ever.
        int mode = stream_mode_setting(params, (int)c->channel);
        char why[96];
        if (!stream_mode_serves((int)c->channel, mode, StreamMode_H264_AAC_FLV, "RTMP", why, sizeof why))
            return play_failed(c, stream, why, why);
        if (params->Video[c->channel].RTMPAudio)
            c->audio = 1;

        RtmpChunkStream ctl = reply_stream(RTMP_CS_CONTROL, RTMP_MSG_USER_CONTROL);
        sendpacket(c, &ctl, "xi", 0, 1);
        RtmpChunkStream st = play_stream(c, RTMP_MSG_COMMAND);
        sendpacket(c, &st, "sn0{sssss}", "onStatus", 0, "level", "status", "code", "NetStream.Play.Reset",
                   "description", "reset...", "details", "ts_5_4352_4113", "clientid", "9_1_39825440");
        sendpacket(c, &st, "sn0{sssss}", "onStatus", 0, "level", "status", "code", "NetStream.Play.Start",
                   "description", "start...", "details", "ts_5_4352_4113", "clientid", "9_1_39825440");
        char w[32] = "", h[32] = "";
        param_getf(w, sizeof w, "Video[%d].Width", (int)c->channel);
        param_getf(h, sizeof h, "Video[%d].Height", (int)c->channel);
        st.type = RTMP_MSG_DATA;
        // The codecs named up front let demuxers set up both tracks before the first frames.
        if (c->audio)
            sendpacket(c, &st, "s{nnsnn}", "onMetaData", "width", atoi(w), "height", atoi(h), "Server",
                       "Kelvane 7160 RTMP Server", "videocodecid", 7, "audiocodecid", 10);
        else
            sendpacket(c, &st, "s{nnsn}", "onMetaData", "width", atoi(w), "height", atoi(h), "Server",
                       "Kelvane 7160 RTMP Server", "videocodecid", 7);
        c->playing = 1;
    }
    while (p->pos < p->end && amf_parse_value(p) == 0) {
    }
    return p->error == AMF_ERR_DEPTH ? -1 : 0;
}

// ---- AMF0 ----

uint32_t amf_read_bits(AmfParser *p, int n)
{
    uint32_t v = 0;
    for (int i = 0; i < n; i++) {
        if (p->error || p->pos >= p->end) {
            p->error = p->error ? p->error : AMF_ERR_SHORT;
            return 0;
        }
        v = v << 1 | ((p->buf[p->pos] >> (7 - p->bit)) & 1);
        if (++p->bit == 8) {
            p->bit = 0;
            p->pos++;
        }
    }
    return v;
}

int amf_parse_string(AmfParser *p)
{
    uint32_t n = amf_read_bits(p, 16);
    const uint8_t *s = p->buf + p->pos;
    if (!amf_skip(p, n))
        return -1;
    p->str = s;
    p->str_len = n;
    return 0;
}

int amf_parse_property(AmfParser *p)
{
    const uint8_t *s = p->str;
    uint32_t n = p->str_len;
    if (amf_parse_string(p) < 0)
        return -1;
    // The property's name is not the last string a command looks for.
    p->str = s;
    p->str_len = n;
    return amf_parse_value(p);
}

int amf_parse_object_end(AmfParser *p)
{
    if (p->error || p->bit || p->end - p->pos < 3)
        return 0;
    const uint8_t *b = p->buf + p->pos;
    if (b[0] != 0 || b[1] != 0 || b[2] != 9)
        return 0;
    p->pos += 3;
    return 1;
}

int amf_last_string_equals(const AmfParser *p, const char *text)
{
    size_t n = strlen(text);
    return p->str && p->str_len == n && memcmp(p->str, text, n) == 0;
}

int amf_parse_value(AmfParser *p)
{
    if (p->error)
        return -1;
    if (p->depth >= (int)AMF_MAX_DEPTH) {
        p->error = AMF_ERR_DEPTH;
        log_printf("rtmp: AMF nesting deeper than %u\n", (unsigned)AMF_MAX_DEPTH);
        return -1;
    }
    uint32_t marker = amf_read_bits(p, 8);
    if (p->error)
        return -1;
    switch (marker) {
    case 0: {
        uint64_t v = (uint64_t)amf_read_bits(p, 32) << 32;
        v |= amf_read_bits(p, 32);
        if (!p->error)
            memcpy(&p->number, &v, sizeof v);
        break;
    }
    case 1:
        amf_skip(p, 1);
        break;
    case 2:
        amf_parse_string(p);
        break;
    case 3:
        p->depth++;
        while (!p->error && !amf_parse_object_end(p))
            amf_parse_property(p);
        p->depth--;
        break;
    case 8: {
        uint32_t count = amf_read_bits(p, 32);
        p->depth++;
        for (uint32_t i = 0; i < count && !p->error; i++)
            amf_parse_property(p);
        p->depth--;
        amf_parse_object_end(p);
        break;
    }
    case 9:
        amf_parse_object_end(p);
        break;
    case 10: {
        uint32_t count = amf_read_bits(p, 32);
        p->depth++;
        for (uint32_t i = 0; i < count && !p->error; i++)
            amf_parse_value(p);
        p->depth--;
        break;
    }
    case 12: {
        uint32_t n = amf_read_bits(p, 32);
        const uint8_t *s = p->buf + p->pos;
        if (amf_skip(p, n)) {
            p->str = s;
            p->str_len = n;
        }
        break;
    }
    default:   // MovieClip, null, undefined, reference, date and the rest: nothing follows
        break;
    }
    return p->error ? -1 : 0;
}

// ---- Send ----

int rtmp_chunk_header_size(int format, const RtmpChunkStream *cs)
{
    static const int sizes[4] = {12, 8, 4, 1};
    return sizes[format & 3] + (format <= 2 && cs->timestamp > 0xFFFFFE ? 4 : 0);
}

int rtmp_write_chunk_header(int format, const RtmpChunkStream *cs, uint8_t *out)
{
    format &= 3;
    out[0] = (uint8_t)(format << 6 | (cs->id & 0x3f));
    int n = 1;
    bool extended = cs->timestamp > 0xFFFFFE;
    if (format <= 2) {
        put24(out + n, extended ? 0xFFFFFF : cs->timestamp);
        n += 3;
    }
    if (format <= 1) {
        put24(out + n, cs->length);
        out[n + 3] = (uint8_t)cs->type;
        n += 4;
    }
    if (format == 0) {
        uint32_t s = cs->stream_id;
        out[n] = (uint8_t)s;
        out[n + 1] = (uint8_t)(s >> 8);
        out[n + 2] = (uint8_t)(s >> 16);
        out[n + 3] = (uint8_t)(s >> 24);
        n += 4;
    }
    if (format <= 2 && extended) {
        put32(out + n, cs->timestamp);
        n += 4;
    }
    return n;
}

int rtmp_send_all(int sock, const uint8_t *data, size_t length)
{
    while (length > 0) {
        ssize_t n = send(sock, data, length, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        data += n;
        length -= (size_t)n;
    }
    return 0;
}

size_t rtmp_chunked_size(const RtmpChunkStream *cs, size_t length, size_t chunk)
{
    size_t pieces = length ? (length - 1) / chunk : 0;
    // Players read the extended timestamp again in every continuation chunk of the message.
    return (size_t)rtmp_chunk_header_size(0, cs) + length + pieces * (cs->timestamp > 0xFFFFFE ? 5 : 1);
}

size_t rtmp_chunk_message(const RtmpChunkStream *cs, size_t chunk, const uint8_t *body, size_t length, uint8_t *o)
{
    bool extended = cs->timestamp > 0xFFFFFE;
    size_t n = (size_t)rtmp_write_chunk_header(0, cs, o);
    for (size_t done = 0; done < length;) {
        if (done > 0) {
            o[n++] = (uint8_t)(0xC0 | (cs->id & 0x3f));
            if (extended) {
                put32(o + n, cs->timestamp);
                n += 4;
            }
        }
        size_t take = length - done < chunk ? length - done : chunk;
        memcpy(o + n, body + done, take);
        n += take;
        done += take;
    }
    return n;
}

int rtmp_send_message(RtmpConnection *c, RtmpChunkStream *cs, const uint8_t *body, size_t length)
{
    cs->length = (uint32_t)length;
    size_t chunk = c->out_chunk_size ? c->out_chunk_size : RTMP_OUT_CHUNK_SIZE;
    if (c->collect)
        return rtmp_share_append(c->collect, cs, chunk, body, length);
    size_t need = rtmp_chunked_size(cs, length, chunk);
    if (need > c->out_size) {
        uint8_t *grown = (uint8_t *)realloc(c->out, need);
        if (!grown)
            return -1;
        c->out = grown;
        c->out_size = need;
    }
    size_t n = rtmp_chunk_message(cs, chunk, body, length, c->out);
    return rtmp_send_all(c->sock, c->out, n);
}

int sendpacket(RtmpConnection *c, RtmpChunkStream *cs, const char *format, ...)
{
    uint8_t body[RTMP_PACKET_BODY];
    size_t n = 0;
    bool in_object = false, overflow = false;
    va_list ap;
    va_start(ap, format);
    auto room = [&](size_t k) {
        if (n + k > sizeof body)
            overflow = true;
        return !overflow;
    };
    for (const char *f = format; *f && !overflow; f++) {
        if (in_object && *f != '}') {
            const char *key = va_arg(ap, const char *);
            size_t k = strlen(key);
            if (!room(2 + k))
                break;
            put16(body + n, (uint32_t)k);
            memcpy(body + n + 2, key, k);
            n += 2 + k;
        }
        switch (*f) {
        case 'i':
            if (room(4))
                put32(body + n, (uint32_t)va_arg(ap, int)), n += 4;
            break;
        case 'x':
            if (room(2))
                put16(body + n, (uint32_t)va_arg(ap, int)), n += 2;
            break;
        case 'c':
            if (room(1))
                body[n++] = (uint8_t)va_arg(ap, int);
            break;
        case 's': {
            const char *s = va_arg(ap, const char *);
            if (!s) {
                if (room(1))
                    body[n++] = 5;
                break;
            }
            size_t k = strlen(s);
            if (k < 65536) {
                if (room(3 + k)) {
                    body[n] = 2;
                    put16(body + n + 1, (uint32_t)k);
                    memcpy(body + n + 3, s, k);
                    n += 3 + k;
                }
            } else {
                overflow = true;   // a long string (marker 12) never fits the body
            }
            break;
        }
        case 'n':
            if (room(9)) {
                body[n] = 0;
                put_double(body + n + 1, (double)va_arg(ap, int));
                n += 9;
            }
            break;
        case 'd':
            if (room(9)) {
                body[n] = 0;
                put_double(body + n + 1, va_arg(ap, double));
                n += 9;
            }
            break;
        case '0':
            if (room(1))
                body[n++] = 5;
            break;
        case '{':
            if (room(1))
                body[n++] = 3;
            in_object = true;
            break;
        case '}':
            if (room(3)) {
                body[n] = 0;
                body[n + 1] = 0;
                body[n + 2] = 9;
                n += 3;
            }
            in_object = false;
            break;
        default:
            break;
        }
    }
    va_end(ap);
    if (overflow) {
        log_printf("rtmp packet too large for its buffer\n");
        return -1;
    }
    // Data messages (the metadata) describe the media from its start: stamped later than the
    // media that follows, demuxers take them for a timed track that holds a player's clock back.
    cs->timestamp = cs->type == RTMP_MSG_DATA ? 0 : rtmp_timestamp_ms(c, hw_clock_90khz());
    if (rtmp_send_message(c, cs, body, n) < 0) {
        log_printf("rtmp packet send: %s\n", strerror(errno));
        return -1;
    }
    return 0;
}
