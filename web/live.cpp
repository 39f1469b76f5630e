// Live streams over HTTP: one queue consumer per elementary response, one shared muxed output per
// TS or FLV row; a response is suspended while no unit is there and resumed from the queue's
// callback on the producer's thread.
#include "web/live.h"

#include "core/log.h"
#include "core/param.h"
#include "core/util.h"
#include "streams/stream.h"
#include "streams/stream_mode.h"
#include "streams/tsmux.h"
#include "web/guard.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <pthread.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

// One lock over every wait's state and the registry; the queue callbacks, the HLS workers, the
// list threads and the sweeper take it only briefly. Taken after an HLS channel's lock, never
// before it.
pthread_mutex_t wait_mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t wait_cond = PTHREAD_COND_INITIALIZER;
LiveWait *waits;
bool sweeper_running;

enum { LIVE_SWEEP_MS = 100 };

// The parked readers of one shared row whose sockets hold nothing of the library's: a new unit
// resumes one of them (the pilot), which sends it to all the others on the server thread, so a
// picture costs one resume per row instead of one per reader.
struct Ride {
    const StreamShare *share;
    HttpStream *riders;         // linked by ride_next
    HttpStream *pilot;          // resumed to feed the riders; null when none is
    Ride *next;
};
Ride *rides;

Ride *ride_of(const StreamShare *sh, bool create)
{
    for (Ride *r = rides; r; r = r->next)
        if (r->share == sh)
            return r;
    if (!create)
        return nullptr;
    Ride *r = static_cast<Ride *>(calloc(1, sizeof(Ride)));
    if (!r)
        return nullptr;
    r->share = sh;
    r->next = rides;
    rides = r;
    return r;
}

void ride_leave(HttpStream *s)
{
    if (!s->riding)
        return;
    s->riding = false;
    Ride *r = ride_of(s->share.share, false);
    if (!r)
        return;
    for (HttpStream **p = &r->riders; *p; p = &(*p)->ride_next)
        if (*p == s) {
            *p = s->ride_next;
            break;
        }
    s->ride_next = nullptr;
}

void wake_locked(LiveWait *w);

// A reader that is gone: no longer a rider nor the pilot; the row's record goes with its last.
void ride_forget(HttpStream *s)
{
    ride_leave(s);
    Ride *r = s->share.share ? ride_of(s->share.share, false) : nullptr;
    if (!r)
        return;
    if (r->pilot == s) {
        // Let go before it ran (its client went away): the unit it was resumed for still has to
        // reach the others.
        r->pilot = r->riders;
        if (r->pilot)
            wake_locked(&r->pilot->wait);
    }
    if (r->riders || r->pilot)
        return;
    for (Ride **p = &rides; *p; p = &(*p)->next)
        if (*p == r) {
            *p = r->next;
            break;
        }
    free(r);
}

void unlink_locked(LiveWait *w)
{
    for (LiveWait **p = &waits; *p; p = &(*p)->next)
        if (*p == w) {
            *p = w->next;
            w->next = nullptr;
            return;
        }
}

bool linked_locked(const LiveWait *w)
{
    for (LiveWait *p = waits; p; p = p->next)
        if (p == w)
            return true;
    return false;
}

void wake_locked(LiveWait *w)
{
    if (w->kind == LIVE_WAIT_STREAM)
        ride_leave(static_cast<HttpStream *>(w->owner));
    w->parked = false;
    httpd_unpark(w->connection);   // -1: the server stopped and let it go
}

int answer_locked(LiveWait *w, unsigned status, MHD_Response *response)
{
    if (!w->parked) {
        if (response)
            MHD_destroy_response(response);
        return -1;
    }
    w->parked = false;
    w->answered = true;
    if (!response)
        return httpd_unpark(w->connection);   // nothing to say: the library closes it
    return httpd_unpark_answer(w->connection, status, response);
}

// Answers the waits whose time is up, resumes the readers whose time is up, and releases the
// answered ones.
void *sweeper_thread(void *)
{
    pthread_setname_np(pthread_self(), "live-sweep");   // not the name of the server thread that made it
    pthread_mutex_lock(&wait_mutex);
    while (waits) {
        int64_t now = monotonic_ms();
        LiveWait *drop = nullptr;
        for (LiveWait **p = &waits; *p;) {
            LiveWait *w = *p;
            if (w->parked && w->deadline_ms && now >= w->deadline_ms) {
                if (w->on_timeout) {
                    unsigned status = MHD_HTTP_SERVICE_UNAVAILABLE;
                    MHD_Response *r = w->on_timeout(w, &status);
                    answer_locked(w, status, r);
                } else {
                    w->timed_out = true;
                    wake_locked(w);
                }
            }
            if (w->answered && w->release) {
                *p = w->next;
                w->next = drop;
                drop = w;
                continue;
            }
            p = &w->next;
        }
        pthread_mutex_unlock(&wait_mutex);
        while (drop) {
            LiveWait *next = drop->next;
            drop->release(drop);
            drop = next;
        }
        timespec deadline;
        clock_gettime(CLOCK_REALTIME, &deadline);
        deadline.tv_nsec += LIVE_SWEEP_MS * 1000000L;
        if (deadline.tv_nsec >= 1000000000L) {
            deadline.tv_sec++;
            deadline.tv_nsec -= 1000000000L;
        }
        pthread_mutex_lock(&wait_mutex);
        pthread_cond_timedwait(&wait_cond, &wait_mutex, &deadline);
    }
    sweeper_running = false;
    pthread_mutex_unlock(&wait_mutex);
    return nullptr;
}

void sweeper_start_locked()
{
    if (sweeper_running)
        return;
    pthread_t t;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (pthread_create(&t, &attr, sweeper_thread, nullptr) == 0)
        sweeper_running = true;
    else
        log_printf("%s: failed to start the wait sweeper\n", "live_wait_park");
    pthread_attr_destroy(&attr);
}

// -1 while the server stops: the wait is not registered.
int park_locked(LiveWait *w, int timeout_ms)
{
    if (httpd_park(w->connection) != 0) {
        unlink_locked(w);
        w->parked = false;
        return -1;
    }
    if (!linked_locked(w)) {
        w->next = waits;
        waits = w;
    }
    w->deadline_ms = timeout_ms > 0 ? monotonic_ms() + timeout_ms : 0;
    w->timed_out = false;
    w->answered = false;
    w->parked = true;
    sweeper_start_locked();
    return 0;
}

// Producer's thread, after each append: a parked reader goes on.
void stream_unit_callback(void *user, uint32_t)
{
    HttpStream *s = static_cast<HttpStream *>(user);
    pthread_mutex_lock(&wait_mutex);
    if (s->riding) {
        Ride *r = ride_of(s->share.share, false);
        if (r && !r->pilot && s->wait.parked) {
            wake_locked(&s->wait);
            r->pilot = s;
        }
    } else if (s->wait.parked) {
        wake_locked(&s->wait);
    }
    pthread_mutex_unlock(&wait_mutex);
}

// The entry of `seq` still held: its bytes were not overwritten.
bool unit_held(StreamQueue *q, uint32_t seq)
{
    pthread_mutex_lock(&q->mutex);
    int r = ringbuffer_get_entry(q, seq, nullptr, nullptr, nullptr, nullptr);
    pthread_mutex_unlock(&q->mutex);
    return r == 0;
}

// Looks at the next entry without taking it: 1 a unit, 0 the producer's end marker, -1 none yet.
int peek_unit(StreamState *st)
{
    uint32_t seq = st->seq, off, len, ts, fl;
    if (ringbuffer_wait_seq(st->streamq, &seq, &off, &len, &ts, &fl, 0, nullptr) < 0)
        return -1;
    return len == 0 ? 0 : 1;
}

bool is_jpeg(const StreamBuffer *sb)
{
    const uint8_t *d = Buffer_getUserPtr(sb->buf);
    return Buffer_getNumBytesUsed(sb->buf) >= 2 && d[0] == 0xff && d[1] == 0xd8;
}

enum NextUnit { UNIT_READY, UNIT_NONE, UNIT_END };

// The next unit of the row's shared output; a reader that finds none muxes what has come.
NextUnit next_shared_unit(HttpStream *s)
{
    const uint8_t *data;
    uint32_t len, seq;
    int r = stream_share_next(&s->share, &data, &len, &seq);
    // Only a reader that has caught up takes the mux lock; one behind reads what is published.
    if (r == 0) {
        stream_share_pump(s->share.share);
        r = stream_share_next(&s->share, &data, &len, &seq);
    }
    if (r < 0 && !s->delivered) {
        // The end of a run stopped as this reader came, ahead of anything it sent: the encoder
        // starts again for it, so the marker is not its end.
        s->share.seq++;
        r = stream_share_next(&s->share, &data, &len, &seq);
        if (r == 0) {
            stream_share_pump(s->share.share);
            r = stream_share_next(&s->share, &data, &len, &seq);
        }
    }
    if (r < 0) {
        log_printf("%s: stream %d ended\n", "http_stream_read", s->id);
        return UNIT_END;
    }
    if (r == 0)
        return UNIT_NONE;
    s->unit = data;
    s->unit_len = len;
    s->unit_seq = seq;
    s->unit_in_ring = true;
    s->offset = 0;
    s->current = true;
    s->delivered = true;
    return UNIT_READY;
}

// Makes the next unit current. Caller holds wait_mutex.
NextUnit next_unit(HttpStream *s)
{
    if (s->share.share)
        return next_shared_unit(s);
    StreamState *st = &s->state;
    for (int tries = 0; tries < 64; tries++) {
        int p = peek_unit(st);
        if (p < 0)
            return UNIT_NONE;
        if (p == 0 && !s->delivered) {
            // The end of a run that a leaving client stopped as this one came: the encoder
            // starts again for this reader, so the marker is not its end.
            stream_state_dequeue_timeout(st, 1);
            continue;
        }
        if (p == 0) {
            log_printf("%s: stream %d ended\n", "http_stream_read", s->id);
            return UNIT_END;
        }
        // The entry is there: a dequeue does not wait.
        StreamBuffer *sb = stream_state_dequeue_timeout(st, 1);
        if (!sb)
            continue;
        const uint8_t *data = Buffer_getUserPtr(sb->buf);
        uint32_t len = (uint32_t)Buffer_getNumBytesUsed(sb->buf);
        s->unit_in_ring = true;
        if (len == 0)
            continue;
        if (s->mode == StreamMode_JPEG && !is_jpeg(sb))
            continue;   // the tail of the channel's H.264 run
        if ((st->flags & SS_WAIT_KEYFRAME) && stream_mode_video_codec(s->mode) == VIDEO_CODEC_H264) {
            if (!(sb->flags & SB_KEYFRAME))
                continue;
            st->flags &= (uint8_t)~SS_WAIT_KEYFRAME;
        }
        s->unit = data;
        s->unit_len = len;
        s->unit_seq = sb->seq;
        s->offset = 0;
        s->current = true;
        // Units from before the attach (a joiner's keyframe and what follows it) may belong to
        // the run a leaving client stopped: its end marker may still come.
        if ((int32_t)(sb->seq - s->attach_seq) >= 0)
            s->delivered = true;
        if (s->multipart) {
            int n = snprintf(s->header, sizeof s->header,
                             "%s--" LIVE_BOUNDARY "\r\nContent-Type: %s\r\nContent-Length: %d\r\n\r\n",
                             s->parts ? "\r\n\r\n" : "", s->content_type, (int)len);
            s->header_len = (uint32_t)n;
            s->header_off = 0;
            s->parts++;
        }
        return UNIT_READY;
    }
    return UNIT_NONE;
}

// The bytes just copied from the current unit were not overwritten meanwhile.
bool current_held(HttpStream *s)
{
    if (!s->unit_in_ring)
        return true;
    if (s->share.share)
        return stream_share_held(s->share.share, s->unit_seq);
    return unit_held(s->state.streamq, s->unit_seq);
}

enum { SEND_UNITS = 16 };

// The library has sent all it had: the rest of the current unit and the units ready behind it go
// to the socket in one call, from the ring, without a copy. 2 when all went and no unit is left,
// 1 when all went, 0 when the socket took only part (the current unit is then the first not sent
// whole, and the reader is moved back to the one after it), -1 when the connection failed.
// Caller holds wait_mutex.
int send_ready_units(HttpStream *s)
{
    struct Piece {
        const uint8_t *unit;
        uint32_t offset, len, seq;
        bool in_ring;
    } piece[SEND_UNITS];
    iovec iov[SEND_UNITS];
    int count = 0;
    NextUnit u = UNIT_READY;
    for (;;) {
        piece[count] = {s->unit, s->offset, s->unit_len, s->unit_seq, s->unit_in_ring};
        iov[count] = {(void *)(s->unit + s->offset), s->unit_len - s->offset};
        count++;
        s->current = false;
        if (count == SEND_UNITS || !http_stream_produced(s) || (u = next_unit(s)) != UNIT_READY)
            break;
    }
    msghdr msg = {};
    msg.msg_iov = iov;
    msg.msg_iovlen = (size_t)count;
    ssize_t w = sendmsg(s->sock, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
        return -1;   // the client went away
    size_t sent = w > 0 ? (size_t)w : 0;
    for (int i = 0; i < count; i++)
        if (piece[i].in_ring) {
            // The oldest unit in the ring was not reused while the kernel copied it, so none was.
            if (sent && !stream_share_held(s->share.share, piece[i].seq)) {
                log_printf("%s: stream %d unit %u overwritten while sent\n", "http_stream_read", s->id, piece[i].seq);
                return -1;   // what went out cannot be mended
            }
            break;
        }
    for (int i = 0; i < count; i++) {
        size_t rest = piece[i].len - piece[i].offset;
        if (sent >= rest) {
            sent -= rest;
            continue;
        }
        s->unit = piece[i].unit;
        s->offset = piece[i].offset + (uint32_t)sent;
        s->unit_len = piece[i].len;
        s->unit_seq = piece[i].seq;
        s->unit_in_ring = piece[i].in_ring;
        s->current = true;
        if (i + 1 < count) {
            // Taken from the share but not sent: read again from there.
            s->share.seq = piece[i + 1].seq;
            s->share.started = true;
        }
        return 0;
    }
    return u == UNIT_NONE ? 2 : 1;
}

// Sends the riders of s's row what has come for them. One whose socket is full, that failed or
// that reached the end is resumed to finish through the library. Caller holds wait_mutex.
void feed_riders(HttpStream *s)
{
    Ride *ride = ride_of(s->share.share, false);
    HttpStream *next;
    for (HttpStream *r = ride ? ride->riders : nullptr; r; r = next) {
        next = r->ride_next;
        int sent = 1;
        for (int rounds = 0; sent == 1 && rounds < 4; rounds++) {
            if (!r->current) {
                NextUnit u = http_stream_produced(r) ? next_unit(r) : UNIT_END;
                if (u != UNIT_READY) {
                    sent = u == UNIT_NONE ? 2 : 1;
                    break;
                }
            }
            sent = send_ready_units(r);
        }
        if (sent == 2) {
            r->wait.deadline_ms = monotonic_ms() + LIVE_UNIT_WAIT_MS;
            continue;
        }
        r->failed = sent < 0;
        wake_locked(&r->wait);
    }
}

} // namespace

int live_wait_park(LiveWait *w, int timeout_ms)
{
    pthread_mutex_lock(&wait_mutex);
    int r = park_locked(w, timeout_ms);
    pthread_mutex_unlock(&wait_mutex);
    return r;
}

int live_wait_park_unless(LiveWait *w, int timeout_ms, const bool *done)
{
    pthread_mutex_lock(&wait_mutex);
    int r = *done ? 0 : park_locked(w, timeout_ms) == 0 ? 1 : -1;
    pthread_mutex_unlock(&wait_mutex);
    return r;
}

void live_wait_finish(LiveWait *w, bool *done, MHD_Response *(*build)(LiveWait *w, unsigned *status))
{
    pthread_mutex_lock(&wait_mutex);
    *done = true;
    if (w->parked) {
        unsigned status = MHD_HTTP_OK;
        MHD_Response *r = build(w, &status);
        answer_locked(w, status, r);
    }
    pthread_mutex_unlock(&wait_mutex);
}

void live_wait_until_done(const bool *done)
{
    for (;;) {
        pthread_mutex_lock(&wait_mutex);
        bool d = *done;
        pthread_mutex_unlock(&wait_mutex);
        if (d)
            return;
        usleep(1000);
    }
}

int live_wait_answer(LiveWait *w, unsigned status, MHD_Response *response)
{
    pthread_mutex_lock(&wait_mutex);
    int r = answer_locked(w, status, response);
    pthread_mutex_unlock(&wait_mutex);
    return r;
}

int live_wait_answer_owner(int kind, const void *owner, MHD_Response *(*fn)(LiveWait *w, unsigned *status, void *arg),
                           void *arg)
{
    int n = 0;
    pthread_mutex_lock(&wait_mutex);
    for (LiveWait *w = waits; w; w = w->next) {
        if (w->kind != kind || w->owner != owner || !w->parked)
            continue;
        unsigned status = MHD_HTTP_OK;
        if (MHD_Response *r = fn(w, &status, arg)) {
            answer_locked(w, status, r);
            n++;
        }
    }
    pthread_mutex_unlock(&wait_mutex);
    return n;
}

int live_wait_wake(LiveWait *w)
{
    pthread_mutex_lock(&wait_mutex);
    int was = w->parked;
    if (was)
        wake_locked(w);
    pthread_mutex_unlock(&wait_mutex);
    return was;
}

void live_wait_remove(LiveWait *w)
{
    pthread_mutex_lock(&wait_mutex);
    unlink_locked(w);
    pthread_mutex_unlock(&wait_mutex);
}

int live_wait_count()
{
    pthread_mutex_lock(&wait_mutex);
    int n = 0;
    for (LiveWait *w = waits; w; w = w->next)
        n++;
    pthread_mutex_unlock(&wait_mutex);
    return n;
}

// --- endless responses --------------------------------------------------------------------------

int live_channel_mode(int id)
{
    const ParamBlock *p = get_param_block();
    return p ? stream_mode_setting(p, id - 1) : StreamMode_None;
}

int live_refuse(HttpRequest *req, const char *handler, const char *why)
{
    char text[128];
    log_printf("%s: %s: %s\n", handler, req->entry->name, why);
    // The client reads it as a sentence.
    int n = snprintf(text, sizeof text, "%c%s.\n", toupper((unsigned char)why[0]), why + 1);
    return http_text(req->connection, MHD_HTTP_NOT_FOUND, "text/plain", text, std::min((size_t)n, sizeof text - 1));
}

bool http_stream_produced(const HttpStream *s)
{
    if (s->id != VIDEO_STREAM1 && s->id != VIDEO_STREAM2)
        return true;
    return get_param_block() && stream_mode_serves(s->id - 1, live_channel_mode(s->id), s->mode, nullptr, nullptr, 0);
}

HttpStream *http_stream_open(int id, int mode, const char *content_type, int multipart)
{
    HttpStream *s = static_cast<HttpStream *>(calloc(1, sizeof(HttpStream)));
    if (!s)
        return nullptr;
    int mux = stream_mode_mux_type(mode);
    uint32_t seq;
    if (mux == STREAM_MUX_TS || mux == STREAM_MUX_FLV) {
        // Every client of the row reads one muxed output instead of muxing its own copy.
        StreamShare *sh = stream_share_join(id, mode, &s->share);
        if (!sh) {
            free(s);
            return nullptr;
        }
        if (sh->head_len) {
            s->unit = sh->head;
            s->unit_len = sh->head_len;
            s->current = true;
        }
        seq = s->share.seq;
    } else {
        // A raw H.264 client starts at a keyframe, whose unit carries the parameter sets: slices
        // that refer to pictures it never got would not decode.
        if (stream_mode_video_codec(mode) == VIDEO_CODEC_H264)
            s->state.flags = SS_START_AT_KEYFRAME;
        stream_state_attach(id, mode, &s->state);
        if (!s->state.streamq) {
            stream_state_detach(&s->state);
            free(s);
            return nullptr;
        }
        seq = s->state.seq;
        pthread_mutex_lock(&s->state.streamq->mutex);
        s->attach_seq = s->state.streamq->seq;
        pthread_mutex_unlock(&s->state.streamq->mutex);
    }
    s->id = id;
    s->mode = mode;
    s->origin = log_origin();
    s->sock = -1;
    s->multipart = multipart;
    s->content_type = content_type;
    // The capture already hands each channel only every n-th frame; skipping here as well would
    // thin the stream twice and cut P-frames out of H.264, TS and FLV.
    s->frame_skip = 0;
    s->wait.kind = LIVE_WAIT_STREAM;
    s->wait.owner = s;
    s->callback.fn = stream_unit_callback;
    s->callback.user = s;
    stream_add_callback(id, &s->callback);
    log_printf("attached stream %d seq=%u frame_skip=%u\n", id, seq, s->frame_skip);
    return s;
}

namespace {

ssize_t stream_read(void *cls, char *buffer, size_t max)
{
    HttpStream *s = static_cast<HttpStream *>(cls);
    size_t n = 0;
    pthread_mutex_lock(&wait_mutex);
    bool timed_out = s->wait.timed_out;
    s->wait.timed_out = false;
    ssize_t result = 0;
    ride_leave(s);   // resumed without a wake: the server stops
    if (s->failed) {
        pthread_mutex_unlock(&wait_mutex);
        return MHD_CONTENT_READER_END_WITH_ERROR;
    }
    bool drained = false;   // everything there was went to the socket just now
    while (n < max) {
        if (s->header_off < s->header_len) {
            size_t k = std::min<size_t>(s->header_len - s->header_off, max - n);
            memcpy(buffer + n, s->header + s->header_off, k);
            s->header_off += (uint32_t)k;
            n += k;
            continue;
        }
        if (!s->current) {
            if (!http_stream_produced(s)) {
                log_printf("%s: stream %d no longer carries %s\n", "http_stream_read", s->id,
                           stream_mode_name(s->mode));
                result = MHD_CONTENT_READER_END_OF_STREAM;
                break;
            }
            NextUnit u = drained ? UNIT_NONE : next_unit(s);
            if (u == UNIT_END) {
                result = MHD_CONTENT_READER_END_OF_STREAM;
                break;
            }
            if (u == UNIT_NONE) {
                if (n)
                    break;
                if (timed_out) {
                    log_printf("%s: no unit from stream %d in %d ms\n", "http_stream_read", s->id, LIVE_UNIT_WAIT_MS);
                    result = MHD_CONTENT_READER_END_WITH_ERROR;
                    break;
                }
                if (s->sock >= 0) {
                    // Whatever this reader muxed goes to the riders of its row, and it joins them.
                    feed_riders(s);
                    Ride *ride = ride_of(s->share.share, true);
                    if (ride && park_locked(&s->wait, LIVE_UNIT_WAIT_MS) == 0) {
                        if (ride->pilot == s)
                            ride->pilot = nullptr;
                        s->riding = true;
                        s->ride_next = ride->riders;
                        ride->riders = s;
                        break;
                    }
                }
                // Resumed from the queue callback, or by the sweeper when the time is up.
                if (park_locked(&s->wait, LIVE_UNIT_WAIT_MS) != 0)
                    result = MHD_CONTENT_READER_END_WITH_ERROR;   // the server stops
                break;
            }
            continue;
        }
        // A unit begun in an earlier call may have been reused since: nothing more of it goes out.
        bool lost = s->offset && !current_held(s);
        if (!lost && n == 0 && s->sock >= 0) {
            int r = send_ready_units(s);
            if (r < 0) {
                result = MHD_CONTENT_READER_END_WITH_ERROR;
                break;
            }
            drained = r == 2;
            if (r > 0)
                continue;
            // The socket is full: the rest waits in the library's buffer for room.
        }
        size_t k = std::min<size_t>(s->unit_len - s->offset, max - n);
        if (!lost)
            memcpy(buffer + n, s->unit + s->offset, k);
        if (lost || !current_held(s)) {
            log_printf("%s: stream %d unit %u overwritten while read\n", "http_stream_read", s->id, s->unit_seq);
            if (s->share.share && stream_mode_mux_type(s->mode) == STREAM_MUX_TS) {
                // A stalled TS client goes on at a keyframe: the packet it was cut in is closed
                // with fill, so its demuxer keeps the 188-byte framing.
                uint32_t pad = (TS_PACKET_SIZE - s->offset % TS_PACKET_SIZE) % TS_PACKET_SIZE;
                memset(s->header, 0xFF, pad);
                s->header_len = pad;
                s->header_off = 0;
                s->current = false;
                s->share.started = false;
                continue;
            }
            result = MHD_CONTENT_READER_END_WITH_ERROR;
            break;
        }
        s->offset += (uint32_t)k;
        n += k;
        if (s->offset == s->unit_len)
            s->current = false;
    }
    if (s->sock >= 0 && !s->riding) {
        // A pilot that does not park (its own socket is full, or it ended) still feeds the riders.
        Ride *ride = ride_of(s->share.share, false);
        if (ride && ride->pilot == s) {
            feed_riders(s);
            ride->pilot = nullptr;
        }
    }
    pthread_mutex_unlock(&wait_mutex);
    if (result < 0 && result != MHD_CONTENT_READER_END_WITH_ERROR && n)
        return (ssize_t)n;   // what was copied goes out; the end comes on the next call
    if (result == MHD_CONTENT_READER_END_WITH_ERROR)
        return result;
    return n ? (ssize_t)n : result;
}

} // namespace

// What reading and the end log is charged to the client the stream is for.
ssize_t http_stream_read(void *cls, uint64_t, char *buffer, size_t max)
{
    LogOrigin was = log_origin_swap(static_cast<HttpStream *>(cls)->origin);
    ssize_t n = stream_read(cls, buffer, max);
    log_origin_swap(was);
    return n;
}

void chunked_free_callback(void *cls)
{
    HttpStream *s = static_cast<HttpStream *>(cls);
    LogOrigin was = log_origin_swap(s->origin);
    log_printf("%s: content_type=%s\n", "chunked_free_callback", s->content_type);
    stream_remove_callback(s->id, &s->callback);   // no callback runs for it after this
    pthread_mutex_lock(&wait_mutex);
    ride_forget(s);
    pthread_mutex_unlock(&wait_mutex);
    live_wait_remove(&s->wait);
    if (s->share.share)
        stream_share_leave(&s->share);
    else
        stream_state_detach(&s->state);
    free(s);
    log_origin_swap(was);
}

namespace {

MHD_Result stream_response(HttpRequest *req, HttpStream *s, size_t block, const char *type, bool close)
{
    MHD_Response *r = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, block, http_stream_read, s,
                                                        chunked_free_callback);
    if (!r) {
        chunked_free_callback(s);
        return MHD_NO;
    }
    s->wait.connection = req->connection;
    if (s->share.share) {
        // A plain body, not chunked: a unit written to the socket straight from the shared ring
        // needs no framing, and whatever part of it the socket refuses can follow through the
        // library. The connection closes at the end, as an endless response's would anyway.
        const MHD_ConnectionInfo *ci = MHD_get_connection_info(req->connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        if (ci && MHD_set_response_options(r, MHD_RF_HTTP_1_0_COMPATIBLE_STRICT, MHD_RO_END) == MHD_YES)
            s->sock = ci->connect_fd;
    }
    http_no_cache(r);
    http_set_type(r, type);
    if (close)
        http_add_header(r, MHD_HTTP_HEADER_CONNECTION, "close");
    return http_queue(req->connection, MHD_HTTP_OK, r);
}

// A snapshot being waited for: the consumer, and the connection parked until a unit comes.
struct SnapshotWait {
    LiveWait wait;
    StreamState state;
    StreamCallback callback;
    int id;
};

const char snapshot_missing[] = "<html><head><title>Not found</title></head><body>No picture.</body></html>";

MHD_Response *snapshot_timeout(LiveWait *, unsigned *status)
{
    *status = MHD_HTTP_NOT_FOUND;
    MHD_Response *r = MHD_create_response_from_buffer(sizeof snapshot_missing - 1, (void *)snapshot_missing,
                                                      MHD_RESPMEM_PERSISTENT);
    if (r) {
        http_no_cache(r);
        http_set_type(r, "text/html");
    }
    return r;
}

// A copy of the next unit; the ring entry must survive the copy. Caller holds wait_mutex.
MHD_Response *snapshot_copy(SnapshotWait *w)
{
    StreamBuffer *sb = nullptr;
    // Pictures the channel's last H.264 run put after we attached are not snapshots, and that
    // run's end marker is not the end of the wait.
    while (!sb || !is_jpeg(sb)) {
        if (peek_unit(&w->state) < 0)
            return nullptr;
        sb = stream_state_dequeue_timeout(&w->state, 1);
        if (!sb)
            return nullptr;
    }
    uint32_t len = (uint32_t)Buffer_getNumBytesUsed(sb->buf);
    void *copy = len ? malloc(len) : nullptr;
    if (!copy)
        return nullptr;
    memcpy(copy, Buffer_getUserPtr(sb->buf), len);
    if (!unit_held(w->state.streamq, sb->seq)) {
        log_printf("%s: snapshot overwritten while copied\n", "jpeg_stream_handler");
        free(copy);
        return nullptr;
    }
    MHD_Response *r = MHD_create_response_from_buffer(len, copy, MHD_RESPMEM_MUST_FREE);
    if (!r) {
        free(copy);
        return nullptr;
    }
    http_no_cache(r);
    http_set_type(r, "image/jpeg");
    return r;
}

// Producer's thread after each append, or the handler: answers once a whole unit is there.
void snapshot_try(SnapshotWait *w)
{
    pthread_mutex_lock(&wait_mutex);
    if (w->wait.parked)
        if (MHD_Response *r = snapshot_copy(w))
            answer_locked(&w->wait, MHD_HTTP_OK, r);
    pthread_mutex_unlock(&wait_mutex);
}

void snapshot_callback(void *user, uint32_t)
{
    snapshot_try(static_cast<SnapshotWait *>(user));
}

// On the sweeper's thread, never inside the queue's callback walk.
void snapshot_release(LiveWait *lw)
{
    SnapshotWait *w = reinterpret_cast<SnapshotWait *>(lw);
    stream_remove_callback(w->id, &w->callback);
    stream_state_detach(&w->state);
    free(w);
}

int snapshot(HttpRequest *req, int id)
{
    SnapshotWait *w = static_cast<SnapshotWait *>(calloc(1, sizeof(SnapshotWait)));
    if (!w)
        return MHD_NO;
    stream_state_attach(id, StreamMode_JPEG, &w->state);
    if (!w->state.streamq) {
        stream_state_detach(&w->state);
        free(w);
        return HTTP_NO_RESPONSE;
    }
    w->id = id;
    w->wait.connection = req->connection;
    w->wait.kind = LIVE_WAIT_SNAPSHOT;
    w->wait.on_timeout = snapshot_timeout;
    w->wait.release = snapshot_release;
    w->callback.fn = snapshot_callback;
    w->callback.user = w;
    // Parked before the callback can fire, so no unit is missed.
    if (live_wait_park(&w->wait, LIVE_UNIT_WAIT_MS) != 0) {
        stream_state_detach(&w->state);
        free(w);
        return MHD_NO;
    }
    stream_add_callback(id, &w->callback);
    snapshot_try(w);
    return MHD_YES;
}

// The card's samples as captured: 16-bit little-endian, two channels, the set rate. There is no
// registered name for little-endian raw sound ("audio/L16" is big-endian and players would make
// noise of these bytes), so the type names each property; players are told the format by hand.
const char *pcm_type()
{
    const ParamBlock *p = get_param_block();
    if (p && p->Audio.SampleRate == 44100)
        return "audio/x-raw; format=S16LE; rate=44100; channels=2";
    return "audio/x-raw; format=S16LE; rate=48000; channels=2";
}

} // namespace

int get_stream_func(HttpRequest *req)
{
    MHD_Result refused;
    if (guard_view_refused(req, &refused))
        return refused;
    unsigned selector = (unsigned)strtoul(req->entry->arg, nullptr, 0);
    int id = (int)(selector >> 8), mode = (int)(selector & 0xff);
    // Refused before anything attaches: an attach would start the encoder for nothing.
    if (id == VIDEO_STREAM1 || id == VIDEO_STREAM2) {
        char why[96];
        if (!stream_mode_serves(id - 1, live_channel_mode(id), mode, nullptr, why, sizeof why))
            return live_refuse(req, "get_stream_func", why);
    }
    // Players pick their demuxer by these names: each says what the bytes are.
    const char *type;
    int mux = stream_mode_mux_type(mode);
    if (mux == 2)
        type = "video/x-flv";
    else if (mux == 1)
        type = "video/MP2T";
    else if (mode == StreamMode_Audio_AAC)
        type = "audio/aac";
    else if (mode == StreamMode_Audio_PCM)
        type = pcm_type();
    else
        type = "video/h264";
    HttpStream *s = http_stream_open(id, mode, type, 0);
    if (!s)
        return HTTP_NO_RESPONSE;
    log_printf("%s: %s content_type=%s\n", "get_stream_func", req->entry->name, type);
    return stream_response(req, s, LIVE_STREAM_BLOCK, type, false);
}

int jpeg_stream_handler(HttpRequest *req)
{
    MHD_Result refused;
    if (guard_view_refused(req, &refused))
        return refused;
    const char *name = req->entry->name;
    const char *letter = strstr(name, "stream");
    int id = letter && letter[6] == 'B' ? VIDEO_STREAM2 : VIDEO_STREAM1;
    char why[96];
    if (!stream_mode_serves(id - 1, live_channel_mode(id), StreamMode_JPEG, nullptr, why, sizeof why))
        return live_refuse(req, "jpeg_stream_handler", why);
    const char *mp = MHD_lookup_connection_value(req->connection, MHD_GET_ARGUMENT_KIND, "multipart");
    if (mp && strcasecmp(mp, "true") == 0) {
        HttpStream *s = http_stream_open(id, StreamMode_JPEG, "image/jpeg", 1);
        if (!s)
            return HTTP_NO_RESPONSE;
        log_printf("%s: %s content_type=%s\n", "jpeg_stream_handler", name, "multipart");
        return stream_response(req, s, LIVE_JPEG_BLOCK, "multipart/x-mixed-replace; boundary=" LIVE_BOUNDARY, true);
    }
    if (has_suffix_ci(name, ".mjpg")) {
        // Pictures back to back are a motion JPEG stream: named as one picture, players show
        // the first and stop.
        const char *type = "video/x-motion-jpeg";
        HttpStream *s = http_stream_open(id, StreamMode_JPEG, type, 0);
        if (!s)
            return HTTP_NO_RESPONSE;
        log_printf("%s: %s content_type=%s\n", "jpeg_stream_handler", name, type);
        return stream_response(req, s, LIVE_JPEG_BLOCK, type, false);
    }
    return snapshot(req, id);
}
