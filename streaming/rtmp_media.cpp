// RTMP media: the session's millisecond clock, video and audio messages built from the queues'
// access units and ADTS frames, the media step of a playing session, and the push consumers.
#include "streaming/rtmp.h"
#include "streams/annexb.h"

#include "core/log.h"
#include "core/param.h"
#include "core/param_table.h"
#include "core/quit.h"
#include "core/soc.h"
#include "core/threads.h"
#include "streams/stream_mode.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <time.h>

StreamRunState rtmp_push_run_state[2];

namespace {

enum : uint32_t {
    WRAP_MS = 47721859,            // 2^32 / 90, rounded up
    LATE_TICKS = 90001,            // a frame this far behind sends the session into catch-up
    AUDIO_WINDOW = 9600,           // audio older than the next video frame by more is dropped
};

bool ensure(uint8_t **buf, size_t *size, size_t need)
{
    if (need <= *size)
        return true;
    uint8_t *grown = (uint8_t *)realloc(*buf, need);
    if (!grown)
        return false;
    *buf = grown;
    *size = need;
    return true;
}

void put32(uint8_t *p, uint32_t v)
{
    p[0] = (uint8_t)(v >> 24);
    p[1] = (uint8_t)(v >> 16);
    p[2] = (uint8_t)(v >> 8);
    p[3] = (uint8_t)v;
}

bool is_annexb(const uint8_t *d, size_t len)
{
    return (len >= 4 && d[0] == 0 && d[1] == 0 && d[2] == 0 && d[3] == 1) ||
           (len >= 3 && d[0] == 0 && d[1] == 0 && d[2] == 1);
}

struct Nal {
    const uint8_t *data;
    size_t len;
};

// The next NAL unit from *pos (at a start code); false at the end.
bool next_nal(const uint8_t *d, size_t len, size_t *pos, Nal *nal)
{
    return annexb_next_nal(d, len, pos, &nal->data, &nal->len);
}

// Body bytes: header, then each remaining NAL unit with its own 4-byte length.
int send_nal_units(RtmpConnection *c, RtmpChunkStream *cs, uint8_t frame_byte, const uint8_t *d, size_t len,
                   size_t pos)
{
    if (!ensure(&c->body, &c->body_size, 2 * len + 16))
        return -1;
    uint8_t *b = c->body;
    size_t n = 0;
    b[n++] = frame_byte;
    b[n++] = 1;
    b[n++] = 0;
    b[n++] = 0;
    b[n++] = 0;
    Nal nal;
    size_t units = 0;
    while (next_nal(d, len, &pos, &nal)) {
        if (nal.len == 0)
            continue;
        put32(b + n, (uint32_t)nal.len);
        memcpy(b + n + 4, nal.data, nal.len);
        n += 4 + nal.len;
        units++;
    }
    if (units == 0)
        return 0;
    return rtmp_send_message(c, cs, b, n);
}

int send_sequence_header(RtmpConnection *c, RtmpChunkStream *cs, const uint8_t *record, size_t len)
{
    if (!ensure(&c->body, &c->body_size, len + 5))
        return -1;
    uint8_t *b = c->body;
    b[0] = 0x17;
    b[1] = 0;
    b[2] = b[3] = b[4] = 0;
    memcpy(b + 5, record, len);
    return rtmp_send_message(c, cs, b, len + 5);
}

bool socket_readable(int sock)
{
    struct pollfd p = {sock, POLLIN, 0};
    // Data, a closed peer or an error all wake poll; a failed look (a signal) is not data, and
    // taking it for data would hold the session in a blocking receive until the player spoke.
    return poll(&p, 1, 0) > 0;
}

void sleep_ms(int ms)
{
    struct timespec t = {ms / 1000, (long)(ms % 1000) * 1000000};
    nanosleep(&t, nullptr);
}

// A second behind the newest frame of the queue, not behind the clock: when the encoder itself
// runs late (a loaded machine), a player reading its newest frames is keeping up. A frame less
// than a second old by the clock cannot be a second behind, and spares the look at the queue.
bool late(RtmpConnection *c, const StreamBuffer *sb)
{
    if ((int32_t)(hw_clock_90khz() - sb->timestamp) < (int32_t)LATE_TICKS)
        return false;
    uint32_t newest;
    if (ringbuffer_newest_timestamp(c->video.streamq, &newest) < 0)
        return false;
    return (int32_t)(newest - sb->timestamp) >= (int32_t)LATE_TICKS;
}

int send_audio_frame(RtmpConnection *c, const uint8_t *data, size_t len, uint32_t stamp, uint32_t seq)
{
    // A frame raised to a picture's stamp may be followed by one that arrived later but was
    // captured before that picture: players refuse audio going back in time.
    if (c->has_last_audio && (int32_t)(stamp - c->last_audio_ts) < 0)
        stamp = c->last_audio_ts;
    c->last_audio_ts = stamp;
    c->has_last_audio = 1;
    c->out_audio.timestamp = rtmp_timestamp_ms(c, stamp);
    if (rtmp_share_audio(c, data, len, seq) < 0) {
        log_printf("rtmp audio send: %s\n", strerror(errno));
        return -1;
    }
    return 0;
}

} // namespace

uint32_t rtmp_timestamp_ms(RtmpConnection *c, uint32_t stamp)
{
    if ((int32_t)(stamp - c->ts_last) >= 0) {
        if (stamp < c->ts_last)   // the 90 kHz counter wrapped
            c->ts_offset += WRAP_MS;
        c->ts_last = stamp;
        return stamp / 90 + c->ts_offset;
    }
    // Older than the newest stamp seen (audio sent before a picture it precedes, a reply's clock
    // ahead of the media): it neither moves the clock on nor counts a wrap, and one from before
    // a wrap already counted keeps the offset of its side.
    uint32_t offset = c->ts_offset;
    if (stamp > c->ts_last)
        offset -= WRAP_MS;
    return stamp / 90 + offset;
}

void rtmp_timestamp_reset(RtmpConnection *c, uint32_t stamp)
{
    c->ts_offset = 0u - stamp / 90;
    c->ts_last = stamp;
}

int rtmp_send_video(RtmpConnection *c, RtmpChunkStream *cs, const uint8_t *data, size_t length)
{
    if (!is_annexb(data, length))
        return send_sequence_header(c, cs, data, length);

    size_t pos = 0;
    Nal first;
    if (!next_nal(data, length, &pos, &first))
        return 0;
    if (first.len == 0 || (first.data[0] & 0x1f) != 7)
        return send_nal_units(c, cs, 0x27, data, length, 0);

    // SPS, PPS: the decoder configuration; collection stops at the first other unit.
    Nal sps = first, pps = {nullptr, 0}, nal;
    size_t rest = pos;
    while (rest < length) {
        size_t p = rest;
        if (!next_nal(data, length, &p, &nal) || nal.len == 0 || ((nal.data[0] & 0x1f) != 7 && (nal.data[0] & 0x1f) != 8))
            break;
        if ((nal.data[0] & 0x1f) == 8 && !pps.data)
            pps = nal;
        rest = p;
    }
    if (sps.len >= 4 && pps.data && 11 + sps.len + 3 + pps.len <= RTMP_AVC_CONFIG_SIZE) {
        uint8_t rec[RTMP_AVC_CONFIG_SIZE];
        size_t n = 0;
        rec[n++] = 1;
        rec[n++] = sps.data[1];
        rec[n++] = sps.data[2];
        rec[n++] = sps.data[3];
        rec[n++] = 0xFF;
        rec[n++] = 0xE1;
        rec[n++] = (uint8_t)(sps.len >> 8);
        rec[n++] = (uint8_t)sps.len;
        memcpy(rec + n, sps.data, sps.len);
        n += sps.len;
        rec[n++] = 1;
        rec[n++] = (uint8_t)(pps.len >> 8);
        rec[n++] = (uint8_t)pps.len;
        memcpy(rec + n, pps.data, pps.len);
        n += pps.len;
        if (send_sequence_header(c, cs, rec, n) < 0)
            return -1;
    } else if (!pps.data) {
        log_printf("rtmp: SPS of %zu bytes without a PPS, configuration record skipped\n", sps.len);
    } else if (sps.len < 4) {
        log_printf("rtmp: SPS of %zu bytes too short for the configuration record, skipped\n", sps.len);
    } else {
        log_printf("rtmp: SPS %zu and PPS %zu bytes do not fit the configuration record, skipped\n", sps.len,
                   pps.len);
    }
    return send_nal_units(c, cs, 0x17, data, length, rest);
}

int rtmp_send_audio(RtmpConnection *c, RtmpChunkStream *cs, const uint8_t *data, size_t length)
{
    bool adts = length >= 7 && data[0] == 0xFF && data[1] >= 0xF0;
    if (c->aac_tag == 0) {
        if (!adts)   // nothing to learn the configuration from
            return 0;
        uint32_t profile = data[2] >> 6;
        uint32_t rate = (data[2] >> 2) & 0x0F;
        uint32_t channels = (data[2] & 1) << 2 | data[3] >> 6;
        uint8_t tag = channels > 1 ? 0xAF : 0xAE;
        uint32_t asc = (profile + 1) << 11 | rate << 7 | channels << 3;
        uint8_t body[4] = {tag, 0, (uint8_t)(asc >> 8), (uint8_t)asc};
        if (rtmp_send_message(c, cs, body, sizeof body) < 0)
            return -1;
        c->aac_tag = tag;
    }
    const uint8_t *payload = data;
    size_t n = length;
    if (adts) {
        size_t header = (data[1] & 1) ? 7 : 9;
        size_t frame = (size_t)(data[3] & 3) << 11 | (size_t)data[4] << 3 | data[5] >> 5;
        if (frame > length)   // a lying length reads no further than the frame we hold
            frame = length;
        if (frame <= header)
            return 0;
        payload = data + header;
        n = frame - header;
    }
    if (!ensure(&c->body, &c->body_size, n + 2))
        return -1;
    c->body[0] = c->aac_tag;
    c->body[1] = 1;
    memcpy(c->body + 2, payload, n);
    return rtmp_send_message(c, cs, c->body, n + 2);
}

void rtmp_media_detach(RtmpConnection *c)
{
    if (c->video.streamq)
        stream_state_detach(&c->video);
    if (c->audio_state.streamq)
        stream_state_detach(&c->audio_state);
    c->has_pending_audio = 0;
}

int rtmp_media_step(RtmpConnection *c)
{
    if (!c->video.streamq) {
        stream_state_attach((int)c->channel + 1, StreamMode_H264_ES, &c->video);
        if (!c->video.streamq)
            return -1;
        if (c->audio) {
            if (stream_queue_table[AAC_STREAM])
                stream_state_attach(AAC_STREAM, StreamMode_Audio_AAC, &c->audio_state);
            if (!c->audio_state.streamq) {
                log_printf("rtmp: no audio stream, playing video only\n");
                c->audio = 0;
            }
        }
        c->first_frame = 1;
        c->has_pending_audio = 0;
        c->has_last_audio = 0;
    }

    StreamBuffer *sb;
    const uint8_t *data;
    size_t len;
    for (;;) {
        sb = stream_state_dequeue_timeout(&c->video, 1000);
        if (!sb) {
            if (quit_requested())
                return -1;
            return socket_readable(c->sock) ? 1 : 0;
        }
        data = sb->buf ? Buffer_getUserPtr(sb->buf) : nullptr;
        len = sb->buf ? (size_t)Buffer_getNumBytesUsed(sb->buf) : 0;
        // The end of a run that stopped as this player came, ahead of anything it was sent:
        // the encoder starts again for it, so the mark is not its end.
        if (c->first_frame && (!data || len == 0))
            continue;
        bool key = sb->flags & SB_KEYFRAME;
        // A player joining in the middle of a GOP cannot decode anything before the next
        // keyframe, which also brings the decoder configuration: wait for it.
        if (c->first_frame && !key && !c->catch_up && data && len > 0) {
            log_printf("first packet is not a keyframe!!! seq=%u\n", sb->seq);
            c->catch_up = 1;
        }
        if (c->catch_up) {
            if (!key) {
                while (c->audio) {
                    StreamBuffer *ab = stream_state_dequeue_es(&c->audio_state);
                    if (!ab || (int32_t)(sb->timestamp - ab->timestamp) <= 0)
                        break;
                }
                continue;
            }
            c->catch_up = 0;
        }
        if (!data || len == 0) {
            log_printf("rtmp video buffer size 0 buf=%p\n", (void *)sb->buf);
            for (int i = 0; i < 20 && !quit_requested(); i++)
                sleep_ms(100);
            log_printf("rtmp video buffer size 0 done\n");
            return -1;
        }
        if (late(c, sb)) {
            log_printf("catching up\n");
            c->catch_up = 1;
            continue;
        }
        break;
    }
    uint32_t vts = sb->timestamp;

    if (c->audio && !c->has_pending_audio) {
        for (;;) {
            StreamBuffer *ab = stream_state_dequeue_es(&c->audio_state);
            if (!ab)
                break;
            const uint8_t *ad = Buffer_getUserPtr(ab->buf);
            size_t al = (size_t)Buffer_getNumBytesUsed(ab->buf);
            int32_t older = (int32_t)(vts - ab->timestamp);
            if (older <= 0) {
                c->pending_audio = ad;
                c->pending_audio_len = al;
                c->pending_audio_ts = ab->timestamp;
                c->pending_audio_seq = ab->seq;
                c->has_pending_audio = 1;
                break;
            }
            if (older > (int32_t)AUDIO_WINDOW)
                continue;
            // Captured before the picture the clock started from, yet arriving only now: it
            // would go out stamped before 0.
            if (!c->first_frame && !c->has_last_audio && (int32_t)(ab->timestamp - c->clock_origin) < 0)
                continue;
            if (c->first_frame) {
                rtmp_timestamp_reset(c, ab->timestamp);
                c->first_frame = 0;
            }
            if (send_audio_frame(c, ad, al, ab->timestamp, ab->seq) < 0)
                break;
        }
    }

    if (c->first_frame) {
        rtmp_timestamp_reset(c, vts);
        c->clock_origin = vts;
    }
    c->out_video.timestamp = rtmp_timestamp_ms(c, vts);
    if (rtmp_share_video(c, sb) < 0) {
        log_printf("rtmp video send: %s\n", strerror(errno));
        return -1;
    }

    if (c->audio) {
        for (;;) {
            const uint8_t *ad;
            size_t al;
            uint32_t ats, aseq;
            if (c->has_pending_audio) {
                ad = c->pending_audio;
                al = c->pending_audio_len;
                ats = c->pending_audio_ts;
                aseq = c->pending_audio_seq;
                c->has_pending_audio = 0;
            } else {
                StreamBuffer *ab = stream_state_dequeue_es(&c->audio_state);
                if (!ab)
                    break;
                ad = Buffer_getUserPtr(ab->buf);
                al = (size_t)Buffer_getNumBytesUsed(ab->buf);
                ats = ab->timestamp;
                aseq = ab->seq;
            }
            if ((int32_t)(ats - vts) < 0)
                ats = vts;
            if (send_audio_frame(c, ad, al, ats, aseq) < 0)
                break;
        }
    }
    // The picture and its audio in one write.
    if (rtmp_share_flush(c) < 0) {
        log_printf("rtmp video send: %s\n", strerror(errno));
        return -1;
    }
    c->first_frame = 0;
    return socket_readable(c->sock) ? 1 : 0;
}

// ---- Push consumers ----

void *rtmpThrFxn(void *arg)
{
    SenderEnv *env = static_cast<SenderEnv *>(arg);
    int n = env->instance == 1 ? 1 : 0;
    thread_init_begin(env->name);
    StreamRunState *rs = &rtmp_push_run_state[n];
    stream_register(rs, nullptr, RTMP_STREAM1 + n);
    ParamBlock *params = env->params ? env->params : get_param_block();
    if (params->RTMP[n].StartMode == 1)
        stream_set_state(rs, STREAM_START);
    thread_init_end(env->name);
    rendezvous_meet(env->hRendezvousInit, env->name);

    while (!quit_requested()) {
        // A bounded wait, so a quit that comes before the wait is not missed.
        pthread_mutex_lock(&rs->mutex);
        if (!(rs->flags & RUN_START_PENDING)) {
            struct timespec deadline;
            clock_gettime(CLOCK_REALTIME, &deadline);
            deadline.tv_sec += 1;
            pthread_cond_timedwait(&rs->cond, &rs->mutex, &deadline);
        }
        bool pending = rs->flags & RUN_START_PENDING;
        pthread_mutex_unlock(&rs->mutex);
        if (!pending || !stream_wait_start(rs))
            continue;

        char url[sizeof params->RTMP[n].URL + 1];
        snprintf(url, sizeof url, "%.*s", (int)sizeof params->RTMP[n].URL, params->RTMP[n].URL);
        log_printf("streaming to %s\n", url);
        StreamState state;
        memset(&state, 0, sizeof state);
        // Until the sound thread registers the AAC queue, the channel's FLV muxing cannot
        // start; the plain stream still keeps the encoder running.
        int mode = stream_queue_table[AAC_STREAM] ? StreamMode_H264_AAC_FLV : StreamMode_H264_ES;
        stream_state_attach(n + 1, mode, &state);
        if (!state.streamq) {
            stream_set_state(rs, STREAM_STOP);
            continue;
        }
        log_printf("%s: attached to stream; seq %d\n", env->name, (int)state.seq);
        while (!quit_requested() && !stream_stop_pending(rs))
            stream_state_dequeue_timeout(&state, 500);
        stream_state_detach(&state);
        stream_state_close_muxer(&state);
    }
    myRendezvousCleanup(env->hRendezvousCleanup, env->name);
    return nullptr;
}
