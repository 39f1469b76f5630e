// HTTP Live Streaming: the worker cuts the channel's transport stream into segments at keyframes
// into ten rotating slots; segment and first playlist requests wait suspended until there is
// something to give them.
#include "web/hls.h"

#include "core/log.h"
#include "core/param.h"
#include "core/quit.h"
#include "core/threads.h"
#include "core/util.h"
#include "streams/stream.h"
#include "streams/stream_mode.h"
#include "web/guard.h"
#include "web/live.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

HlsChannel hls_channels[HLS_CHANNELS] = {
    {PTHREAD_MUTEX_INITIALIZER, false, {}, {}, 0, 0, 0, 0, 0},
    {PTHREAD_MUTEX_INITIALIZER, false, {}, {}, 0, 0, 0, 0, 1},
};

namespace {

const char segment_missing[] = "Segment not available\n";

MHD_Response *segment_unavailable_response(unsigned *status)
{
    *status = MHD_HTTP_SERVICE_UNAVAILABLE;
    MHD_Response *r = MHD_create_response_from_buffer(sizeof segment_missing - 1, (void *)segment_missing,
                                                      MHD_RESPMEM_PERSISTENT);
    if (r) {
        http_no_cache(r);
        http_set_type(r, "text/plain");
    }
    return r;
}

// A wait's arg: a segment's slot, or this for a playlist waiting for its first segment.
constexpr int PLAYLIST_WAIT = -1;

MHD_Response *segment_timeout(LiveWait *w, unsigned *status)
{
    if (w->arg == PLAYLIST_WAIT)
        log_printf("%s: no segment in %d ms\n", "hls_playlist_func", HLS_SEGMENT_WAIT_MS);
    else
        log_printf("%s: segment %d did not come in %d ms\n", "hls_segment_func", w->arg, HLS_SEGMENT_WAIT_MS);
    return segment_unavailable_response(status);
}

void segment_release(LiveWait *w)
{
    free(w);
}

// A copy of a ready slot: the worker refills it five segments later. Caller holds the channel's lock.
MHD_Response *slot_response(HlsChannel *ch, int d)
{
    HlsSlot &slot = ch->slots[d];
    MHD_Response *r = MHD_create_response_from_buffer(slot.length, slot.data, MHD_RESPMEM_MUST_COPY);
    if (r) {
        http_no_cache(r);
        http_set_type(r, "video/MP2T");
    }
    return r;
}

int render_locked(HlsChannel *ch, DynBuf *out);

// The playlist answer, null when there is no segment to name yet. Caller holds the channel's lock.
MHD_Response *playlist_response(HlsChannel *ch)
{
    DynBuf b = {};
    if (render_locked(ch, &b) != 0 || !b.data) {
        dynbuf_free(&b);
        return nullptr;
    }
    MHD_Response *r = MHD_create_response_from_buffer(b.length, b.data, MHD_RESPMEM_MUST_FREE);
    if (!r) {
        dynbuf_free(&b);
        return nullptr;
    }
    http_no_cache(r);
    http_set_type(r, "application/x-mpegURL");
    return r;
}

// Worker's thread with the channel's lock: waits whose slot (or first playlist) is now ready.
MHD_Response *segment_ready(LiveWait *w, unsigned *status, void *arg)
{
    HlsChannel *ch = static_cast<HlsChannel *>(arg);
    if (w->arg == PLAYLIST_WAIT) {
        *status = MHD_HTTP_OK;
        return playlist_response(ch);
    }
    if (!ch->slots[w->arg].length)
        return nullptr;
    *status = MHD_HTTP_OK;
    return slot_response(ch, w->arg);
}

// The worker ends: nothing more comes for anyone.
MHD_Response *segment_gone(LiveWait *w, unsigned *status, void *)
{
    if (w->arg == PLAYLIST_WAIT)
        log_printf("%s: no segment will come for the playlist\n", "hls_thread");
    else
        log_printf("%s: segment %d will not come\n", "hls_thread", w->arg);
    return segment_unavailable_response(status);
}

HlsChannel *channel_of(const char *name)
{
    const char *p = strstr(name, "stream");
    return &hls_channels[p && p[6] == 'B' ? 1 : 0];
}

// Why not, in `why` when given.
bool channel_h264(const HlsChannel *ch, char *why = nullptr, size_t size = 0)
{
    return stream_mode_serves(ch->index, live_channel_mode(ch->index + 1), StreamMode_H264_AAC_TS, "HLS", why, size);
}

// Caller holds the channel's lock.
bool worker_start_locked(HlsChannel *ch)
{
    if (ch->running)
        return true;
    pthread_t t;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    ch->running = true;
    if (pthread_create(&t, &attr, hls_thread, ch) != 0) {
        log_printf("%s: failed to start hls thread\n", "hls_get_func");
        ch->running = false;
    }
    pthread_attr_destroy(&attr);
    return ch->running;
}

MHD_Result segment_unavailable(HttpRequest *req)
{
    unsigned status;
    MHD_Response *r = segment_unavailable_response(&status);
    return r ? http_queue(req->connection, status, r) : MHD_NO;
}

// Starts the worker when none runs and parks the request until `segment_ready` or
// `segment_gone` answers it. Caller holds the channel's lock.
int park_for_worker(HttpRequest *req, HlsChannel *ch, int arg)
{
    if (!worker_start_locked(ch))
        return segment_unavailable(req);
    LiveWait *w = static_cast<LiveWait *>(calloc(1, sizeof(LiveWait)));
    if (!w)
        return MHD_NO;
    w->connection = req->connection;
    w->kind = LIVE_WAIT_SEGMENT;
    w->owner = ch;
    w->arg = arg;
    w->on_timeout = segment_timeout;
    w->release = segment_release;
    // Under the channel's lock: the worker cannot complete the slot or end before the wait is
    // registered.
    if (live_wait_park(w, HLS_SEGMENT_WAIT_MS) != 0) {
        free(w);
        return MHD_NO;
    }
    return MHD_YES;
}

// The newest run of held segments: HLS_LISTED of them, more when a long one makes those last
// under three target durations, but never the oldest held (a player may still be fetching it).
// First seq and count. Caller holds the channel's lock.
uint32_t listed_locked(const HlsChannel *ch, uint32_t *first)
{
    uint32_t n = 0;
    uint64_t ticks = 0, want = (uint64_t)ch->target * 3 * 90000;
    for (uint32_t seq = ch->completed; n < HLS_SLOTS - 2 && seq > 0; seq--, n++) {
        if (n >= HLS_LISTED && ticks >= want)
            break;
        const HlsSlot &s = ch->slots[(seq - 1) % HLS_SLOTS];
        if (!s.length || s.seq != seq - 1)
            break;
        ticks += s.duration;
    }
    *first = ch->completed - n;
    return n;
}

int render_locked(HlsChannel *ch, DynBuf *out)
{
    uint32_t first, n = listed_locked(ch, &first);
    if (n == 0)
        return 1;
    const HlsSlot &head = ch->slots[first % HLS_SLOTS];
    int r = dynbuf_printf(out,
                          "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:%u\n#EXT-X-MEDIA-SEQUENCE:%u\n"
                          "#EXT-X-DISCONTINUITY-SEQUENCE:%u\n",
                          ch->target, first, head.discontinuity);
    for (uint32_t seq = first; seq < first + n && r == 0; seq++) {
        const HlsSlot &s = ch->slots[seq % HLS_SLOTS];
        // Timestamps start again after a worker restart.
        if (seq != first && s.discontinuity != ch->slots[(seq - 1) % HLS_SLOTS].discontinuity)
            r = dynbuf_printf(out, "#EXT-X-DISCONTINUITY\n");
        if (r == 0)
            r = dynbuf_printf(out, "#EXTINF:%u.%03u,\nstream%c%u.ts\n", s.duration / 90000, s.duration % 90000 / 90,
                              ch->index ? 'B' : 'A', seq % HLS_SLOTS);
    }
    ch->last_playlist = ch->completed;
    return r < 0 ? -1 : 0;
}

// Next unit of the worker's stream: 1 a unit (sb set), 0 none yet, -1 failed, 2 the producer's
// end marker was passed (it restarted, or an earlier run ended just before this worker
// attached): what was cut so far does not go on into what follows.
int worker_next(HlsChannel *ch, StreamBuffer **out)
{
    StreamState *st = &ch->state;
    timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += 1;
    uint32_t seq = st->seq, off, len, ts, fl;
    if (ringbuffer_wait_seq(st->streamq, &seq, &off, &len, &ts, &fl, 1, &deadline) < 0)
        return 0;
    if (len == 0) {
        log_printf("%s: stream %d restarts\n", "hls_thread", ch->index + 1);
        st->seq = seq + 1;
        st->startTS = 0;        // the next run begins at its own keyframe
        return 2;
    }
    if (st->startTS == 0 && !(fl & RB_FLAG_KEYFRAME)) {
        st->seq = seq + 1;      // a segment begins at a keyframe
        return 0;
    }
    *out = stream_state_dequeue_timeout(st, 1);
    if (!*out) {
        log_printf("%s: dequeue failed on stream %d\n", "hls_thread", ch->index + 1);
        return -1;
    }
    return 1;
}

// Seconds no segment of the channel lasts longer than, fixed before its first segment (players
// hold the playlist's target duration for the life of the playlist). A segment ends at the first
// keyframe past HLS_SEGMENT_UNITS pictures, so it usually holds the first whole number of GOPs
// past that at the encoder's rate; a quarter more, at least half a second, covers pictures that
// come late.
uint32_t target_seconds(int channel)
{
    int gop = 0, rate = 0;
    if (VideoEnv *env = video_env_get(channel)) {
        pthread_mutex_lock(&env->lock);
        gop = env->gopSize;
        rate = env->frameRate;
        pthread_mutex_unlock(&env->lock);
    }
    if (gop < 1)
        gop = get_param_block()->Video[channel].GOPSize;
    if (gop < 1)
        gop = 1;
    if (rate <= 0)
        rate = 30000;
    uint64_t pictures = (uint64_t)gop * (HLS_SEGMENT_UNITS / gop + 1);
    uint64_t ms = pictures * 1000000 / (uint64_t)rate;
    uint64_t limit = std::max(ms * 5 / 4, ms + 500);
    return (uint32_t)std::min<uint64_t>((limit + 999) / 1000, 3600);
}

// Where the segment being cut ends, apart from its bytes.
struct Cutter {
    uint32_t limit;             // 90 kHz ticks no segment may exceed
    uint32_t length;            // bytes of the segment being cut; 0 before its first keyframe
    uint32_t units;
    uint32_t start_ts, last_ts, step;   // its first and newest unit's stamps, the step to the newest
    uint32_t key_off, key_ts, key_units;    // its newest keyframe after the first (key_off 0: none)
};

// What to do with a unit: the first `cut` bytes complete a segment of `duration` ticks (0:
// none), what follows them begins the next; `gap` when units are dropped after it. Then append
// the unit (`take`), or ask again with the same unit (`again`).
struct Cut {
    uint32_t cut, duration;
    bool gap, take, again;
};

Cut cut_next(Cutter *c, uint32_t ts, bool key, uint32_t bytes)
{
    Cut r = {};
    if (c->length == 0) {
        if (!key)
            return r;           // a segment begins at a keyframe
        *c = {c->limit, bytes, 1, ts, ts, 0, 0, 0, 0};
        r.take = true;
        return r;
    }
    uint32_t d = ts - c->start_ts;
    if (d > c->limit) {
        r.again = true;
        if (c->key_off) {
            // The newest keyframe inside came within the limit: the segment ends there.
            r.cut = c->key_off;
            r.duration = c->key_ts - c->start_ts;
            c->length -= c->key_off;
            c->units -= c->key_units;
            c->start_ts = c->key_ts;
            c->key_off = 0;
            return r;
        }
        // One GOP longer than the limit (pictures lost or late): the segment ends with its last
        // picture and the rest of the GOP is dropped.
        r.cut = c->length;
        r.duration = c->units > 1 ? std::min(c->last_ts - c->start_ts + c->step, c->limit) : c->limit;
        r.gap = true;
        c->length = 0;
        return r;
    }
    if (key && c->units > HLS_SEGMENT_UNITS) {
        r.cut = c->length;
        r.duration = d;
        r.again = true;
        c->length = 0;
        return r;
    }
    if (key) {
        c->key_off = c->length;
        c->key_ts = ts;
        c->key_units = c->units;
    }
    c->step = ts - c->last_ts;
    c->last_ts = ts;
    c->length += bytes;
    c->units++;
    r.take = true;
    return r;
}

// Room for `need` bytes in the segment buffer; false when it cannot grow.
bool reserve(uint8_t **data, uint32_t *capacity, uint32_t need)
{
    if (need <= *capacity)
        return true;
    uint32_t want = (need / HLS_GROW + 1) * HLS_GROW;
    uint8_t *p = static_cast<uint8_t *>(realloc(*data, want));
    if (!p) {
        log_printf("%s: failed to realloc %u bytes\n", "hls_thread", want);
        return false;
    }
    *data = p;
    *capacity = want;
    return true;
}

} // namespace

bool hls_running(int channel)
{
    HlsChannel *ch = &hls_channels[channel];
    pthread_mutex_lock(&ch->mutex);
    bool r = ch->running;
    pthread_mutex_unlock(&ch->mutex);
    return r;
}

void *hls_thread(void *arg)
{
    pthread_setname_np(pthread_self(), "hls");   // not the name of the server thread that made it
    HlsChannel *ch = static_cast<HlsChannel *>(arg);
    int id = ch->index + 1;
    StreamState *st = &ch->state;
    *st = {};
    st->flags = SS_START_AT_KEYFRAME;
    stream_state_attach(id, StreamMode_H264_AAC_TS, st);
    log_printf("starting hls thread\n");

    pthread_mutex_lock(&ch->mutex);
    // Segments from an earlier run were listed: this run's timestamps start again, and its
    // numbers go on from the next multiple of the slot count, so that its first segment is
    // streamA0.ts as after power-up.
    if (ch->completed) {
        ch->discontinuity++;
        ch->completed += (HLS_SLOTS - ch->completed % HLS_SLOTS) % HLS_SLOTS;
        ch->last_playlist = ch->completed;
    }
    uint32_t cur = ch->completed % HLS_SLOTS;
    pthread_mutex_unlock(&ch->mutex);
    uint8_t *data = nullptr;
    uint32_t length = 0, capacity = 0;
    Cutter cutter = {};
    bool fixed = false, cut_any = false;
    int64_t last_unit = monotonic_ms();
    while (st->streamq && !quit_requested()) {
        pthread_mutex_lock(&ch->mutex);
        bool wanted = ch->completed < ch->last_playlist + HLS_UNWATCHED;
        pthread_mutex_unlock(&ch->mutex);
        if (!wanted)
            break;
        if (!channel_h264(ch)) {
            log_printf("%s: channel %d does not carry H.264\n", "hls_thread", id);
            break;
        }
        StreamBuffer *sb = nullptr;
        int r = worker_next(ch, &sb);
        if (r < 0)
            break;
        if (r == 2) {
            // A producer that stopped for good is noticed by the stall limit below.
            if (cut_any) {
                pthread_mutex_lock(&ch->mutex);
                ch->discontinuity++;
                pthread_mutex_unlock(&ch->mutex);
            }
            length = cutter.length = 0;
            fixed = false;      // the encoder may come back with other settings
            last_unit = monotonic_ms();
            continue;
        }
        if (r == 0) {
            if (monotonic_ms() - last_unit > HLS_STALL_MS) {
                log_printf("%s: no unit from stream %d in %d ms\n", "hls_thread", id, HLS_STALL_MS);
                break;
            }
            continue;
        }
        last_unit = monotonic_ms();
        uint32_t n = (uint32_t)Buffer_getNumBytesUsed(sb->buf);
        bool key = sb->flags & SB_KEYFRAME;
        if (!fixed && key) {
            // The encoder runs by now: its settings give the target duration, which the playlist
            // keeps. Other settings after a restart make it another playlist.
            uint32_t target = target_seconds(ch->index);
            pthread_mutex_lock(&ch->mutex);
            bool changed = cut_any && target != ch->target;
            if (!changed)
                ch->target = target;
            pthread_mutex_unlock(&ch->mutex);
            if (changed) {
                log_printf("%s: target duration %u s now, the playlist starts again\n", "hls_thread", target);
                break;
            }
            cutter.limit = target * 90000;
            fixed = true;
        }
        Cut k;
        do {
            k = cut_next(&cutter, sb->timestamp, key, n);
            if (!k.cut)
                continue;
            pthread_mutex_lock(&ch->mutex);
            ch->slots[cur] = {data, k.cut, capacity, ch->completed, k.duration, ch->discontinuity};
            if (k.gap)
                ch->discontinuity++;
            ch->completed++;
            cur = ch->completed % HLS_SLOTS;
            // The slot about to be refilled held a segment the playlist stopped naming
            // HLS_SLOTS - HLS_LISTED - 1 segments ago.
            uint8_t *done = data;
            data = ch->slots[cur].data;
            capacity = ch->slots[cur].capacity;
            ch->slots[cur] = {};
            live_wait_answer_owner(LIVE_WAIT_SEGMENT, ch, segment_ready, ch);
            pthread_mutex_unlock(&ch->mutex);
            cut_any = true;
            // What follows the cut begins the next segment (the worker alone writes the slots).
            uint32_t tail = length - k.cut;
            if (tail && !reserve(&data, &capacity, tail))
                tail = cutter.length = 0;   // a segment with a hole would not decode
            if (tail)
                memcpy(data, done + k.cut, tail);
            length = tail;
        } while (k.again);
        if (!k.take)
            continue;
        if (!reserve(&data, &capacity, length + n)) {
            // A segment with a hole would not decode: it starts again at the next keyframe.
            length = cutter.length = 0;
            continue;
        }
        memcpy(data + length, Buffer_getUserPtr(sb->buf), n);
        length += n;
    }
    log_printf("stopping hls thread\n");
    stream_state_detach(st);
    pthread_mutex_lock(&ch->mutex);
    free(data);
    for (HlsSlot &s : ch->slots) {
        free(s.data);
        s = {};
    }
    // `completed` stays: the next run's segments get new numbers.
    ch->last_playlist = ch->completed;
    ch->running = false;
    // Requests waiting on this worker get their answer now.
    live_wait_answer_owner(LIVE_WAIT_SEGMENT, ch, segment_gone, nullptr);
    pthread_mutex_unlock(&ch->mutex);
    return nullptr;
}

int hls_playlist_render(HlsChannel *ch, DynBuf *out)
{
    pthread_mutex_lock(&ch->mutex);
    int r = render_locked(ch, out);
    pthread_mutex_unlock(&ch->mutex);
    return r;
}

int hls_playlist_func(HttpRequest *req)
{
    MHD_Result refused;
    if (guard_view_refused(req, &refused))
        return refused;
    HlsChannel *ch = channel_of(req->entry->name);
    // Refused before any worker starts its encoder.
    char why[96];
    if (!channel_h264(ch, why, sizeof why))
        return live_refuse(req, "hls_playlist_func", why);
    pthread_mutex_lock(&ch->mutex);
    MHD_Response *r = playlist_response(ch);
    if (r) {
        pthread_mutex_unlock(&ch->mutex);
        return http_queue(req->connection, MHD_HTTP_OK, r);
    }
    // Nothing to name yet: a player that starts with the playlist waits for the first segment
    // rather than being told of one still being cut.
    int q = park_for_worker(req, ch, PLAYLIST_WAIT);
    pthread_mutex_unlock(&ch->mutex);
    return q;
}

int hls_segment_func(HttpRequest *req)
{
    MHD_Result refused;
    if (guard_view_refused(req, &refused))
        return refused;
    const char *name = req->entry->name;
    int d = name[7] - '0';
    if (d < 0 || d >= HLS_SLOTS)
        return http_text(req->connection, MHD_HTTP_OK, "text/html", "", 0);
    HlsChannel *ch = channel_of(name);
    // Refused before any worker starts its encoder.
    char why[96];
    if (!channel_h264(ch, why, sizeof why))
        return live_refuse(req, "hls_segment_func", why);
    pthread_mutex_lock(&ch->mutex);
    if (ch->slots[d].length) {
        MHD_Response *r = slot_response(ch, d);
        pthread_mutex_unlock(&ch->mutex);
        return r ? http_queue(req->connection, MHD_HTTP_OK, r) : MHD_NO;
    }
    int q = park_for_worker(req, ch, d);
    pthread_mutex_unlock(&ch->mutex);
    return q;
}

int hls_get_func(HttpRequest *req)
{
    return has_suffix_ci(req->entry->name, ".m3u8") ? hls_playlist_func(req) : hls_segment_func(req);
}
