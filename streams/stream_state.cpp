#include "streams/stream_state.h"

#include "core/log.h"
#include "core/param_table.h"
#include "core/soc.h"
#include "core/util.h"
#include "streams/stream.h"
#include "streams/stream_mode.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

namespace {

struct LatencyStat {
    int32_t min, max;
    int64_t sum;
    int32_t count;
};

std::mutex latency_mutex;
LatencyStat latency[LATENCY_COUNT] = {{9000000, 0, 0, 0}, {9000000, 0, 0, 0}, {9000000, 0, 0, 0},
                                      {9000000, 0, 0, 0}};

Buffer_Handle reference_buffer(uint32_t size)
{
    Buffer_Attrs attrs = Buffer_Attrs_DEFAULT;
    attrs.reference = true;
    return Buffer_create(size, &attrs);
}

void mux_buffer_free(StreamState *state)
{
    if (!state->muxBuf)
        return;
    if (state->muxBuf->buf) {
        free(Buffer_getUserPtr(state->muxBuf->buf));
        Buffer_delete(state->muxBuf->buf);
    }
    free(state->muxBuf);
    state->muxBuf = nullptr;
}

void mux_free(StreamState *state)
{
    if (state->mux && state->muxOps && state->muxOps->destroy)
        state->muxOps->destroy(state->mux);
    state->mux = nullptr;
    state->muxOps = nullptr;
}

void mux_buffer_create(StreamState *state)
{
    StreamBuffer *mb = static_cast<StreamBuffer *>(calloc(1, sizeof(StreamBuffer)));
    if (!mb) {
        log_printf("%s: failed to allocate muxBuf\n", "stream_state_attach");
        return;
    }
    mb->buf = reference_buffer(STREAM_MUX_BUF_SIZE);
    uint8_t *block = mb->buf ? static_cast<uint8_t *>(malloc(STREAM_MUX_BUF_SIZE)) : nullptr;
    if (!block) {
        log_printf("%s: failed to allocate muxer buf for stream\n", "stream_state_attach");
        if (mb->buf)
            Buffer_delete(mb->buf);
        free(mb);
        return;
    }
    Buffer_setUserPtr(mb->buf, block);
    state->muxBuf = mb;
}

// Makes the muxer of a muxed attach; false leaves the state elementary.
bool muxer_attach(StreamState *state, int mode, int audio_type)
{
    int mux_type = stream_mode_mux_type(mode);
    const StreamMuxOps *ops = stream_mux_ops(mux_type);
    if (!ops) {
        log_printf("%s: %s muxer not available, passing elementary frames\n", "muxer_attach", stream_mode_name(mode));
        return false;
    }
    state->mux_type = (uint8_t)mux_type;
    if (state->startTS) {
        state->videoTS = state->startTS - state->videoFrameDuration;
        state->audioTS = state->startTS - state->audioFrameDuration;
        log_printf("muxer state startTS=%u videoTS=%u audioTS=%u\n", state->startTS, state->videoTS, state->audioTS);
    }
    StreamMuxSetup setup = {(uint8_t)mux_type, stream_mode_video_codec(mode), state->streamq2 ? audio_type : 0};
    state->mux = ops->create(&setup);
    if (!state->mux) {
        log_printf("%s: failed to create muxer mux_type=%d\n", "muxer_attach", mux_type);
        return true;
    }
    state->muxOps = ops;
    if (mux_type == STREAM_MUX_FLV)
        state->flags |= SS_FLV_HEADER;
    if (!state->muxBuf)
        mux_buffer_create(state);
    return true;
}

bool set_buffer(StreamBuffer *sb, StreamQueue *q, uint32_t offset, uint32_t length, uint32_t ts, uint32_t seq,
                uint32_t flags)
{
    if (Buffer_setUserPtr(sb->buf, q->data + offset) < 0) {
        log_printf("Failed to setUserPtr on internalBuf\n");
        return false;
    }
    Buffer_setNumBytesUsed(sb->buf, length);
    sb->timestamp = ts;
    sb->seq = seq;
    sb->flags = stream_buffer_flags(flags);
    return true;
}

bool oversized(const char *where, StreamQueue *q, uint32_t seq, uint32_t length, Buffer_Handle buf)
{
    if (length <= Buffer_getSize(buf))
        return false;
    log_printf("%s: %s frame %u of %u bytes exceeds buffer of %u, dropped\n", where, stream_queue_name(q), seq, length,
               (unsigned)Buffer_getSize(buf));
    return true;
}

void interleave_audio(StreamState *state, uint32_t video_ts, uint8_t *out, uint32_t capacity, uint32_t *used)
{
    StreamQueue *aq = state->streamq2;
    int32_t time_offset = stream_queue_get_time_offset(state->streamq);
    for (;;) {
        uint32_t seq2 = state->seq2, off, len, ts, fl;
        if (ringbuffer_wait_seq(aq, &seq2, &off, &len, &ts, &fl, 0, nullptr) < 0)
            break;
        state->seq2 = seq2;   // a lapped audio reader has been moved on
        if (len == 0) {
            // The producer's end marker: what follows it is the restarted audio, so go past it.
            state->seq2++;
            continue;
        }
        uint32_t ats = ts - (uint32_t)time_offset;
        if ((int32_t)(video_ts - ats) < 0)
            break;            // newer than the video frame: for the next dequeue
        // Audio from before the first video frame has no place on the muxed timeline: its PTS
        // (audio minus startTS) would wrap to the far end of the 33-bit TS clock.
        if ((int32_t)(ats - state->startTS) < 0) {
            state->seq2++;
            continue;
        }
        StreamMuxFrame f = {aq->data + off, len, ats - state->startTS, 0, 1, 0, 0};
        if (state->mux_type == STREAM_MUX_MP4) {
            int32_t d = (int32_t)(ats - state->audioTS);
            if (d < 1) {
                state->seq2++;
                continue;
            }
            f.duration = (uint32_t)d;
        }
        int r = state->muxOps->put_audio(state->mux, &f, out, capacity, used);
        if (r < 0) {
            if (state->mux_type == STREAM_MUX_MP4) {
                log_printf("mp4 error writing audio\n");
                state->seq2++;
            } else {
                log_printf("%s: no room for audio frame %u of %u bytes, left for the next read\n",
                           "stream_state_dequeue", seq2, len);
            }
            break;
        }
        state->seq2++;
        if (r == 0 && state->mux_type == STREAM_MUX_MP4)
            state->audioTS = ats;
    }
}

} // namespace

uint8_t stream_buffer_flags(uint32_t e)
{
    uint8_t f = 0;
    if (e & RB_FLAG_KEYFRAME)
        f |= SB_KEYFRAME;
    if (e & RB_FLAG_2)
        f |= SB_FLAG_2;
    if (e & RB_FLAG_4)
        f |= SB_FLAG_4;
    if (e & RB_FLAG_8)
        f |= SB_FLAG_8;
    if (e & RB_FLAG_PASSTHROUGH)
        f |= SB_PASSTHROUGH;
    return f;
}

void stream_state_attach(int id, int mode, StreamState *state)
{
    int audio_type = stream_mode_audio_type(mode);
    int id2 = audio_type == AUDIO_TYPE_PCM ? PCM_STREAM : audio_type == AUDIO_TYPE_AAC ? AAC_STREAM : 0;
    StreamQueue *q = get_stream_queue(id);
    if (!q) {
        log_printf("%s: failed to attach to stream mode=0x%x id=%d id2=%d\n", "stream_state_attach", mode, id, id2);
        return;
    }
    // A muxer left from an earlier attach would otherwise leak here.
    mux_free(state);
    state->mux_type = 0;
    stream_use(id);
    state->streamq = q;
    state->streamId = id;

    uint32_t ts, seq;
    if ((state->flags & SS_START_AT_KEYFRAME) && stream_recent_keyframe(q, &ts, &seq)) {
        state->seq = seq;
        state->startTS = ts;
        state->flags &= (uint8_t)~SS_WAIT_KEYFRAME;
    } else {
        pthread_mutex_lock(&q->mutex);
        state->seq = q->seq;
        pthread_mutex_unlock(&q->mutex);
        state->startTS = 0;
        state->flags |= SS_WAIT_KEYFRAME;
    }
    state->current = nullptr;

    if (id2) {
        StreamQueue *q2 = get_stream_queue(id2);
        if (!q2) {
            log_printf("%s: failed to attach streamid=%d\n", "stream_state_attach", id2);
            return;
        }
        stream_use(id2);
        state->streamq2 = q2;
        // The first video frame was captured before it was encoded: audio stamped since then
        // is already queued, and starting at the newest entry would lose it.
        bool from_known = false;
        uint32_t from = 0;
        if (stream_mode_video_codec(mode) != VIDEO_CODEC_NONE) {
            pthread_mutex_lock(&q->mutex);
            if (!(state->flags & SS_WAIT_KEYFRAME)) {
                from = state->startTS;
                from_known = true;
            } else if (ringbuffer_get_entry(q, q->seq - 1, nullptr, nullptr, &from, nullptr) == 0) {
                from_known = true;
            }
            from += (uint32_t)q->time_offset;   // audio stamps as the muxer compares them
            pthread_mutex_unlock(&q->mutex);
        }
        pthread_mutex_lock(&q2->mutex);
        state->seq2 = q2->seq;
        for (uint32_t len = 0, ts = 0; from_known;) {
            if (ringbuffer_get_entry(q2, state->seq2 - 1, nullptr, &len, &ts, nullptr) < 0 || len == 0 ||
                (int32_t)(ts - from) < 0)
                break;
            state->seq2--;
        }
        pthread_mutex_unlock(&q2->mutex);
        log_printf("getting stream2 buf\n");
        log_printf("stream2 attach strmid=%d seq=%u seq2=%u\n", id2, state->seq, state->seq2);
    }

    if (stream_mode_mux_type(mode) != STREAM_MUX_ES && muxer_attach(state, mode, audio_type))
        return;
    if (!state->internalBuf.buf)
        state->internalBuf.buf = reference_buffer(STREAM_ES_BUF_SIZE);
    // An audio-only mode reading a paired audio queue (the UDP sender's PCM summary) needs the
    // second buffer as much as a video mode does.
    if (!state->internalBuf2.buf && (stream_mode_video_codec(mode) != VIDEO_CODEC_NONE || id2))
        state->internalBuf2.buf = reference_buffer(STREAM_ES_BUF2_SIZE);
}

StreamBuffer *stream_state_dequeue_timeout(StreamState *state, int timeout_ms)
{
    StreamQueue *q = state->streamq;
    if (!q) {
        log_printf("state=%p state->streamq is NULL!  (forgot to stream_attach?)\n", (void *)state);
        return nullptr;
    }
    struct timespec deadline;
    if (timeout_ms > 0) {
        if (clock_gettime(CLOCK_REALTIME, &deadline) != 0) {
            log_printf("clock_gettime: %s\n", strerror(errno));
            return nullptr;
        }
        deadline.tv_sec += timeout_ms / 1000;
        deadline.tv_nsec += (long)(timeout_ms % 1000) * 1000000;
        if (deadline.tv_nsec >= 1000000000) {
            deadline.tv_sec++;
            deadline.tv_nsec -= 1000000000;
        }
    }
    for (;;) {
        uint32_t off, len, ts, fl;
        if (ringbuffer_wait_seq(q, &state->seq, &off, &len, &ts, &fl, 1, timeout_ms > 0 ? &deadline : nullptr) < 0)
            return nullptr;
        uint32_t seq = state->seq++;
        const uint8_t *data = q->data + off;

        if (!state->mux) {
            StreamBuffer *sb = &state->internalBuf;
            if (!sb->buf) {
                log_printf("%s: internalBuf has no buf\n", "stream_state_dequeue");
                return nullptr;
            }
            if (oversized("stream_state_dequeue", q, seq, len, sb->buf))
                return nullptr;
            if (!set_buffer(sb, q, off, len, ts, seq, fl))
                return nullptr;
            if (state->streamId == VIDEO_STREAM1 || state->streamId == VIDEO_STREAM2)
                stream_latency_add(state->streamId == VIDEO_STREAM1 ? LATENCY_RTSP_A : LATENCY_RTSP_B, ts);
            state->current = sb;
            return sb;
        }

        if (len == 0) {
            // An end marker is never muxed; the restart it stands for is marked on the next frame
            // (before the first one there is nothing to mark).
            if (state->startTS)
                state->flags |= SS_RESTARTED;
            return nullptr;
        }

        StreamBuffer *mb = state->muxBuf;
        uint8_t *out = nullptr;
        uint32_t capacity = 0;
        if (mb) {
            if (!mb->buf) {
                log_printf("%s: state->muxBuf->buf is NULL\n", "stream_state_dequeue");
                return nullptr;
            }
            out = Buffer_getUserPtr(mb->buf);
            if (!out) {
                log_printf("%s: state->muxBuf->buf UserPtr is NULL\n", "stream_state_dequeue");
                return nullptr;
            }
            capacity = (uint32_t)Buffer_getSize(mb->buf);
            state->current = mb;
            mb->seq = seq;
            mb->flags = stream_buffer_flags(fl);
            mb->timestamp = ts;
        }

        if (fl & RB_FLAG_PASSTHROUGH) {
            if (!mb)
                return nullptr;
            if (oversized("stream_state_dequeue", q, seq, len, mb->buf))
                return nullptr;
            memcpy(out, data, len);
            Buffer_setNumBytesUsed(mb->buf, len);
            return mb;
        }
        if (len >= 2 && data[0] == 0xFF && data[1] == 0xD8) {
            log_printf("attempting to mux JPEG, this is probably not what you want\n");
            return nullptr;
        }
        if (state->startTS == 0) {
            if (!(fl & RB_FLAG_KEYFRAME)) {
                log_printf("MUXED STREAM SHOULD START WITH KEYFRAME  age=%d ms seq=%u\n",
                           (int32_t)(hw_clock_90khz() - ts) / 90, seq);
                state->flags |= SS_WAIT_KEYFRAME;
                continue;
            }
            state->startTS = ts;
            state->videoTS = ts - state->videoFrameDuration;
            state->audioTS = ts - state->audioFrameDuration;
            log_printf("state startTS=%u videoTS=%u audioTS=%u\n", state->startTS, state->videoTS, state->audioTS);
        }
        if (fl & RB_FLAG_KEYFRAME)
            state->flags |= SS_LAST_KEYFRAME;
        else
            state->flags &= (uint8_t)~SS_LAST_KEYFRAME;

        StreamMuxFrame f = {data, len, ts - state->startTS, 0, (int)(fl & RB_FLAG_KEYFRAME),
                            (state->flags & SS_FLV_HEADER) ? 1 : 0, (state->flags & SS_RESTARTED) ? 1 : 0};
        if (state->mux_type == STREAM_MUX_MP4) {
            int32_t d = (int32_t)(ts - state->videoTS);
            if (d < 0) {
                log_printf("video duration is negative %d\n", d);
                d = (int32_t)(state->videoFrameDuration / 2);
                ts = state->videoTS + (uint32_t)d;
            } else if ((uint32_t)d > 90000) {
                log_printf("whoa duration=%u, started=%u\n", (uint32_t)d, ts - state->startTS);
            }
            f.duration = (uint32_t)d;
            f.pts = ts - state->startTS;
        }
        uint32_t used = 0;
        int r = state->muxOps->put_video(state->mux, &f, out, capacity, &used);
        if (r < 0) {
            if (state->mux_type == STREAM_MUX_MP4)
                return mb;   // the writer's error stays set for the owner to see
            log_printf("%s: %s frame %u of %u bytes does not fit the muxer buffer, dropped\n", "stream_state_dequeue",
                       stream_queue_name(q), seq, len);
            return nullptr;
        }
        state->flags &= (uint8_t)~(SS_FLV_HEADER | SS_RESTARTED);
        if (state->streamId == VIDEO_STREAM1 || state->streamId == VIDEO_STREAM2)
            stream_latency_add(state->streamId == VIDEO_STREAM1 ? LATENCY_TS_A : LATENCY_TS_B, ts);
        state->videoTS = ts;
        if (state->streamq2)
            interleave_audio(state, ts, out, capacity, &used);
        if (!mb)
            return nullptr;
        Buffer_setNumBytesUsed(mb->buf, used);
        return mb;
    }
}

StreamBuffer *stream_state_dequeue(StreamState *state)
{
    return stream_state_dequeue_timeout(state, 0);
}

StreamBuffer *streamQueue_dqBuf(StreamQueue *q, uint32_t *seq, StreamBuffer *sb, const struct timespec *deadline)
{
    if (!sb->buf) {
        log_printf("%s: %s state->internalBuf->buf is NULL\n", "streamQueue_dqBuf", stream_queue_name(q));
        return nullptr;
    }
    uint32_t off, len, ts, fl;
    if (ringbuffer_wait_seq(q, seq, &off, &len, &ts, &fl, deadline != nullptr, deadline) < 0)
        return nullptr;
    uint32_t s = (*seq)++;
    if (oversized("streamQueue_dqBuf", q, s, len, sb->buf))
        return nullptr;
    if (!set_buffer(sb, q, off, len, ts - (uint32_t)stream_queue_get_time_offset(q), s, fl))
        return nullptr;
    return sb;
}

StreamBuffer *stream_state_dequeue_es(StreamState *state)
{
    if (!state->streamq)
        return nullptr;
    state->current = streamQueue_dqBuf(state->streamq, &state->seq, &state->internalBuf, nullptr);
    return state->current;
}

StreamBuffer *stream_state_dequeue2(StreamState *state)
{
    if (!state->streamq2)
        return nullptr;
    state->current = streamQueue_dqBuf(state->streamq2, &state->seq2, &state->internalBuf2, nullptr);
    return state->current;
}

void stream_state_detach(StreamState *state)
{
    StreamQueue *q = state->streamq;
    stream_release(q);
    stream_release(state->streamq2);
    if (q && state->mux && !state->muxBuf) {
        // MP4 file mode: write what is still held; the newest entry (the end marker) stays.
        pthread_mutex_lock(&q->mutex);
        uint32_t last = q->seq - 1;
        uint32_t held = (q->head - q->tail) & q->mask;
        pthread_mutex_unlock(&q->mutex);
        log_printf("flush rel=%d  (mux=%p, buf=%p) \n", (int)(last - state->seq), state->mux, (void *)nullptr);
        for (uint32_t n = 0; (int32_t)(last - state->seq) > 0 && n <= held; n++)
            stream_state_dequeue_timeout(state, 100);
    }
    Buffer_delete(state->internalBuf.buf);
    state->internalBuf.buf = nullptr;
    Buffer_delete(state->internalBuf2.buf);
    state->internalBuf2.buf = nullptr;
    // A streaming consumer's muxer and its buffer go with it; only the file writer (no muxBuf)
    // outlives the detach, for its owner to finish with stream_state_close_muxer.
    if (state->muxBuf) {
        mux_free(state);
        mux_buffer_free(state);
    }
    state->streamq = nullptr;
    state->streamq2 = nullptr;
    state->current = nullptr;
}

void stream_state_close_muxer(StreamState *state)
{
    if (!state->mux)
        return;
    sleep_ms(10);
    mux_free(state);
    mux_buffer_free(state);
}

int stream_state_fill_percent(StreamState *state)
{
    StreamQueue *q = state->streamq;
    if (!q || q->size == 0)
        return 0;
    uint64_t sum = 0;
    pthread_mutex_lock(&q->mutex);
    uint32_t s = q->seq;
    for (uint32_t i = q->head; i != q->tail;) {
        i = (i - 1) & q->mask;
        s--;
        const RingbufferEntry &e = q->entries[i];
        if (e.length == 0 || (int32_t)(s - state->seq) < 0)
            break;
        sum += (e.length + q->align_mask) & ~q->align_mask;
    }
    pthread_mutex_unlock(&q->mutex);
    return (int)(sum * 100 / q->size);
}

uint32_t stream_state_latency(StreamState *state)
{
    if (!state->streamq || state->startTS == 0)
        return 0;
    return hw_clock_90khz() - (uint32_t)stream_queue_get_time_offset(state->streamq) - state->startTS;
}

void stream_latency_add(int which, uint32_t timestamp)
{
    latency_stats_add(which, timestamp);
}

uint32_t latency_stats_add(int which, uint32_t timestamp)
{
    if (which < 0 || which >= LATENCY_COUNT)
        return 0;
    int32_t d = (int32_t)(hw_clock_90khz() - timestamp);
    std::lock_guard<std::mutex> lock(latency_mutex);
    LatencyStat &s = latency[which];
    s.sum += d;
    if (d < s.min)
        s.min = d;
    if (d > s.max)
        s.max = d;
    s.count++;
    return (uint32_t)d;
}

int stream_latency_print(int which, char *buf, size_t size)
{
    if (which < 0 || which >= LATENCY_COUNT)
        return -1;
    LatencyStat s;
    {
        std::lock_guard<std::mutex> lock(latency_mutex);
        s = latency[which];
        latency[which] = {9000000, 0, 0, 0};
    }
    if (s.count == 0)   // nothing measured since the last read
        return snprintf(buf, size, "min:%d max:%d avg:%d (ms)", 0, 0, 0);
    return snprintf(buf, size, "min:%d max:%d avg:%d (ms)", s.min / 90, s.max / 90, (int)(s.sum / s.count / 90));
}
