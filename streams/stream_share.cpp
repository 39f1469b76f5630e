#include "streams/stream_share.h"

#include "core/log.h"
#include "streams/flv.h"
#include "streams/stream.h"
#include "streams/stream_mode.h"

#include <cstdlib>
#include <cstring>

namespace {

pthread_mutex_t share_mutex = PTHREAD_MUTEX_INITIALIZER;
StreamShare *shares;

void share_free(StreamShare *sh)
{
    stream_state_detach(&sh->state);
    stream_state_close_muxer(&sh->state);
    ringbuffer_free(&sh->ring);
    Buffer_delete(sh->ring_buf);
    pthread_mutex_destroy(&sh->ring.callback_mutex);
    pthread_mutex_destroy(&sh->ring.mutex);
    pthread_mutex_destroy(&sh->mutex);
    free(sh);
}

StreamShare *share_create(int id, int mode)
{
    StreamShare *sh = static_cast<StreamShare *>(calloc(1, sizeof(StreamShare)));
    if (!sh)
        return nullptr;
    sh->id = id;
    sh->mode = mode;
    pthread_mutex_init(&sh->mutex, nullptr);
    pthread_mutex_init(&sh->ring.mutex, nullptr);
    pthread_mutex_init(&sh->ring.callback_mutex, nullptr);
    sh->ring_buf = Buffer_create(STREAM_SHARE_RING_SIZE, &Buffer_Attrs_DEFAULT);
    if (!sh->ring_buf) {
        log_printf("%s: no room for the shared ring of stream %d\n", "stream_share_join", id);
        pthread_mutex_destroy(&sh->ring.callback_mutex);
        pthread_mutex_destroy(&sh->ring.mutex);
        pthread_mutex_destroy(&sh->mutex);
        free(sh);
        return nullptr;
    }
    ringbuffer_init(&sh->ring, sh->ring_buf, STREAM_SHARE_UNITS, 4);
    stream_state_attach(id, mode, &sh->state);
    if (!sh->state.streamq || !sh->state.mux || !sh->state.muxBuf) {
        log_printf("%s: stream %d mode %s cannot be muxed\n", "stream_share_join", id, stream_mode_name(mode));
        share_free(sh);
        return nullptr;
    }
    // Every reader starts with the file header, not only the first: the muxer never writes it.
    if (sh->state.muxOps == &flv_mux_ops) {
        sh->state.flags &= (uint8_t)~SS_FLV_HEADER;
        int n = flv_mux_start(static_cast<FlvMuxer *>(sh->state.mux), sh->head, sizeof sh->head);
        if (n < 0) {
            share_free(sh);
            return nullptr;
        }
        sh->head_len = (uint32_t)n;
    }
    return sh;
}

// The entry of `seq` in `q` is still there.
bool entry_held(StreamQueue *q, uint32_t seq)
{
    pthread_mutex_lock(&q->mutex);
    int r = ringbuffer_get_entry(q, seq, nullptr, nullptr, nullptr, nullptr);
    pthread_mutex_unlock(&q->mutex);
    return r == 0;
}

void publish(StreamShare *sh, const StreamBuffer *sb)
{
    uint32_t len = (uint32_t)Buffer_getNumBytesUsed(sb->buf);
    bool key = (sb->flags & SB_KEYFRAME) != 0;
    if (len == 0 || (sh->resync && !key))
        return;
    int off = ringbuffer_preallocate(&sh->ring, len);
    if (off < 0) {
        sh->resync = true;
        return;
    }
    memcpy(sh->ring.data + off, Buffer_getUserPtr(sb->buf), len);
    if (ringbuffer_put(&sh->ring, len, sb->timestamp, key ? (uint32_t)RB_FLAG_KEYFRAME : 0u) < 0) {
        sh->resync = true;
        return;
    }
    sh->resync = false;
}

// A reader too far behind, or lapped, goes on at the newest keyframe unit, or waits for the next.
// Caller holds the ring's lock.
void skip_to_keyframe(StreamShareReader *r, StreamQueue *q)
{
    log_printf("%s: reader %u units behind on stream %d, skipping to a keyframe\n", "stream_share_next",
               q->seq - r->seq, r->share->id);
    uint32_t k;
    if (ringbuffer_find_keyframe(q, 1, &k, nullptr) && (int32_t)(k - r->seq) > 0) {
        r->seq = k;
    } else {
        r->seq = q->seq;
        r->started = false;
    }
}

} // namespace

StreamShare *stream_share_join(int id, int mode, StreamShareReader *r)
{
    pthread_mutex_lock(&share_mutex);
    StreamShare *sh = shares;
    while (sh && (sh->id != id || sh->mode != mode))
        sh = sh->next;
    if (!sh) {
        sh = share_create(id, mode);
        if (!sh) {
            pthread_mutex_unlock(&share_mutex);
            return nullptr;
        }
        sh->next = shares;
        shares = sh;
    }
    sh->readers++;
    pthread_mutex_lock(&sh->ring.mutex);
    r->seq = sh->ring.seq;
    pthread_mutex_unlock(&sh->ring.mutex);
    r->started = false;
    r->share = sh;
    pthread_mutex_unlock(&share_mutex);
    return sh;
}

void stream_share_leave(StreamShareReader *r)
{
    StreamShare *sh = r->share;
    if (!sh)
        return;
    r->share = nullptr;
    pthread_mutex_lock(&share_mutex);
    if (--sh->readers > 0) {
        pthread_mutex_unlock(&share_mutex);
        return;
    }
    for (StreamShare **p = &shares; *p; p = &(*p)->next)
        if (*p == sh) {
            *p = sh->next;
            break;
        }
    pthread_mutex_unlock(&share_mutex);
    share_free(sh);
}

int stream_share_count()
{
    pthread_mutex_lock(&share_mutex);
    int n = 0;
    for (StreamShare *sh = shares; sh; sh = sh->next)
        n++;
    pthread_mutex_unlock(&share_mutex);
    return n;
}

int stream_share_pump(StreamShare *sh)
{
    int published = 0;
    pthread_mutex_lock(&sh->mutex);
    StreamState *st = &sh->state;
    // Bounded: a producer faster than the muxer must not keep one reader's call here for ever.
    for (uint32_t n = 0; n < STREAM_SHARE_UNITS; n++) {
        uint32_t seq = st->seq, off, len, ts, fl;
        if (ringbuffer_wait_seq(st->streamq, &seq, &off, &len, &ts, &fl, 0, nullptr) < 0)
            break;
        if (len == 0) {
            // The producer stopped: its readers end here, and later joiners start after it.
            stream_state_dequeue_timeout(st, 1);
            if (ringbuffer_preallocate(&sh->ring, 0) >= 0)
                ringbuffer_put(&sh->ring, 0, 0, 0);
            sh->resync = false;
            continue;
        }
        StreamBuffer *sb = stream_state_dequeue_timeout(st, 1);
        if (!sb)
            continue;   // waiting for the first keyframe, or a frame that cannot be muxed
        if (!entry_held(st->streamq, sb->seq)) {
            // The producer reused the frame while it was muxed: its output is not sent.
            log_printf("%s: stream %d frame %u overwritten while muxed\n", "stream_share_pump", sh->id, sb->seq);
            sh->resync = true;
            continue;
        }
        uint32_t before = sh->ring.seq;
        publish(sh, sb);
        published += (int)(sh->ring.seq - before);
    }
    pthread_mutex_unlock(&sh->mutex);
    return published;
}

int stream_share_next(StreamShareReader *r, const uint8_t **data, uint32_t *len, uint32_t *seq)
{
    StreamQueue *q = &r->share->ring;
    int result = 0;
    pthread_mutex_lock(&q->mutex);
    for (uint32_t tries = 0; tries <= STREAM_SHARE_UNITS; tries++) {
        uint32_t off, l, ts, fl;
        if (ringbuffer_get_entry(q, r->seq, &off, &l, &ts, &fl) < 0) {
            if ((int32_t)(q->seq - r->seq) <= 0)
                break;   // none yet
            skip_to_keyframe(r, q);
            r->started = false;
            continue;
        }
        if (l == 0 && ts == 0) {
            result = -1;
            break;
        }
        uint32_t behind = (q->write_offset + q->size - off) % q->size;
        if (behind == 0)
            behind = q->size;   // the next unit goes where this one is
        if (r->started && behind > q->size / 2) {
            skip_to_keyframe(r, q);
            continue;
        }
        if (!r->started && !(fl & RB_FLAG_KEYFRAME)) {
            r->seq++;
            continue;
        }
        r->started = true;
        *data = q->data + off;
        *len = l;
        *seq = r->seq++;
        result = 1;
        break;
    }
    pthread_mutex_unlock(&q->mutex);
    return result;
}

bool stream_share_held(StreamShare *sh, uint32_t seq)
{
    return entry_held(&sh->ring, seq);
}
