#include "streams/stream.h"
#include "core/version.h"

#include "core/log.h"
#include "core/quit.h"
#include "core/soc.h"
#include "streams/stream_mux.h"
#include "video/display.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

StreamQueue *stream_queue_table[STREAM_ID_COUNT];
StreamRunState *stream_run_state_table[STREAM_ID_COUNT];

namespace {

void (*record_notify)();

bool valid_id(int id)
{
    return id >= 0 && id < STREAM_ID_COUNT;
}

int queue_id(const StreamQueue *q)
{
    for (int id = 1; id < STREAM_ID_COUNT; id++)
        if (__atomic_load_n(&stream_queue_table[id], __ATOMIC_ACQUIRE) == q)
            return id;
    return -1;
}

void notify_eventfd(StreamRunState *rs)
{
    if (rs->eventfd > 0) {
        uint64_t one = 1;
        if (write(rs->eventfd, &one, sizeof one) != (ssize_t)sizeof one)
            log_printf("stream_set_state event_fd write: %s\n", strerror(errno));
    }
}

// The run-state half of a change; the caller wakes the queue's readers afterwards (a queue's
// lock may be held around this, never taken inside it).
void run_state_change(StreamRunState *rs, int state)
{
    pthread_mutex_lock(&rs->mutex);
    if (state)
        rs->flags = (uint8_t)((rs->flags & ~(RUN_START_PENDING | RUN_STOPPED)) | RUN_START_PENDING);
    else
        rs->flags = (uint8_t)((rs->flags & ~7) | RUN_STOP_PENDING | RUN_STOPPED);
    pthread_cond_signal(&rs->cond);
    pthread_mutex_unlock(&rs->mutex);
    notify_eventfd(rs);
}

int run_state_id(const StreamRunState *rs)
{
    for (int id = 1; id < STREAM_ID_COUNT; id++)
        if (__atomic_load_n(&stream_run_state_table[id], __ATOMIC_ACQUIRE) == rs)
            return id;
    return -1;
}

void wake_readers(int id)
{
    StreamQueue *q = id > 0 ? __atomic_load_n(&stream_queue_table[id], __ATOMIC_ACQUIRE) : nullptr;
    if (!q)
        return;
    pthread_mutex_lock(&q->mutex);
    ringbuffer_wake(q);
    pthread_mutex_unlock(&q->mutex);
}

} // namespace

void stream_register(StreamRunState *rs, StreamQueue *q, int id)
{
    if (id < 1 || id >= STREAM_ID_COUNT) {
        log_printf("%s: invalid streamid %d\n", "stream_register", id);
        return;
    }
    if (rs) {
        pthread_mutex_init(&rs->mutex, nullptr);
        pthread_cond_init(&rs->cond, nullptr);
        rs->flags = 0;
        rs->eventfd = 0;
        run_state_change(rs, STREAM_STOP);
    }
    if (q) {
        // Every frame wakes all of a queue's readers at once, and each holds the lock for a few
        // instructions: a short spin beats sleeping in the kernel to be woken again.
        pthread_mutexattr_t attr;
        pthread_mutexattr_init(&attr);
        pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ADAPTIVE_NP);
        pthread_mutex_init(&q->mutex, &attr);
        pthread_mutexattr_destroy(&attr);
        pthread_mutex_init(&q->callback_mutex, nullptr);
    }
    // Producers register during their own set-up while main and other threads look entries up.
    __atomic_store_n(&stream_queue_table[id], q, __ATOMIC_RELEASE);
    __atomic_store_n(&stream_run_state_table[id], rs, __ATOMIC_RELEASE);

    char name[32];
    snprintf(name, sizeof name, "Kelvane %d FW%d", (int)MODEL_NUMBER, (int)FIRMWARE_BUILD);
    stream_mux_set_compressor_name(name);
}

StreamQueue *get_stream_queue(int id)
{
    if (!valid_id(id) || !__atomic_load_n(&stream_queue_table[id], __ATOMIC_ACQUIRE)) {
        log_printf("%s: invalid streamid %d\n", "get_stream_queue", id);
        return nullptr;
    }
    return __atomic_load_n(&stream_queue_table[id], __ATOMIC_ACQUIRE);
}

const char *stream_queue_name(const StreamQueue *q)
{
    static const struct {
        int id;
        const char *name;
    } names[] = {{VIDEO_STREAM1, "VIDEO_STREAM1"},     {VIDEO_STREAM2, "VIDEO_STREAM2"},
                 {OUTPUT_STREAM, "OUTPUT_STREAM"},     {CAPTURE_STREAM1, "CAPTURE_STREAM1"},
                 {CAPTURE_STREAM2, "CAPTURE_STREAM2"}, {PCM_STREAM, "PCM_STREAM"},
                 {AAC_STREAM, "AAC_STREAM"}};
    for (const auto &n : names)
        if (q && __atomic_load_n(&stream_queue_table[n.id], __ATOMIC_ACQUIRE) == q)
            return n.name;
    return "unknown stream";
}

int stream_wait_start(StreamRunState *rs)
{
    pthread_mutex_lock(&rs->mutex);
    // Quit is read under this lock: shutdown sets quit and then stops every run state under it,
    // so a stop that lands after the caller's own quit check either finds the caller waiting
    // here or is seen here as quit; it is never lost.
    if ((rs->flags & (RUN_START_PENDING | RUN_STOPPED)) == RUN_STOPPED && !quit_requested_nolock())
        pthread_cond_wait(&rs->cond, &rs->mutex);
    int started = rs->flags & RUN_START_PENDING;
    rs->flags &= (uint8_t)~(RUN_START_PENDING | RUN_STOP_PENDING);
    pthread_mutex_unlock(&rs->mutex);
    return started;
}

int stream_stop_pending(StreamRunState *rs)
{
    pthread_mutex_lock(&rs->mutex);
    int pending = rs->flags & (RUN_STOP_PENDING | RUN_STOPPED);
    pthread_mutex_unlock(&rs->mutex);
    return pending;
}

int stream_recent_keyframe(StreamQueue *q, uint32_t *timestamp, uint32_t *seq)
{
    pthread_mutex_lock(&q->mutex);
    uint32_t k = 0, ts = 0;
    int found;
    if (timestamp && seq) {
        found = ringbuffer_find_keyframe(q, 1, &k, &ts);
        pthread_mutex_unlock(&q->mutex);
        if (!found)
            return 0;
        int32_t age = (int32_t)(hw_clock_90khz() - ts);
        if (age > 89999) {
            log_printf("%s: frame %u too old %u ms\n", "stream_recent_keyframe", k, (uint32_t)age / 90);
            return 0;
        }
        *timestamp = ts;
        *seq = k;
        return 1;
    }
    found = ringbuffer_find_keyframe(q, 0, &k, nullptr);
    pthread_mutex_unlock(&q->mutex);
    return found ? (int)k : 0;
}

void stream_use(int id)
{
    StreamQueue *q = get_stream_queue(id);
    if (!q)
        return;
    pthread_mutex_lock(&q->mutex);
    // Started under the queue's lock, so a concurrent last release cannot come in between.
    if (q->users++ == 0 && __atomic_load_n(&stream_run_state_table[id], __ATOMIC_ACQUIRE))
        run_state_change(__atomic_load_n(&stream_run_state_table[id], __ATOMIC_ACQUIRE), STREAM_START);
    pthread_mutex_unlock(&q->mutex);
}

void stream_release(StreamQueue *q)
{
    if (!q)
        return;
    pthread_mutex_lock(&q->mutex);
    if (--q->users == 0) {
        // Stopped before the lock is dropped: a new attach in between would otherwise see its
        // start undone by this stop and hang with the producer stopped.
        int id = queue_id(q);
        if (id > 0 && __atomic_load_n(&stream_run_state_table[id], __ATOMIC_ACQUIRE))
            run_state_change(__atomic_load_n(&stream_run_state_table[id], __ATOMIC_ACQUIRE), STREAM_STOP);
        q->time_offset = 0;
        ringbuffer_wake(q);
    }
    if (q->users < 0) {
        log_printf("%s: %s released more often than used\n", "stream_release", stream_queue_name(q));
        q->users = 0;
    }
    pthread_mutex_unlock(&q->mutex);
}

void stream_add_callback(int id, StreamCallback *node)
{
    StreamQueue *q = get_stream_queue(id);
    if (!q || !node)
        return;
    pthread_mutex_lock(&q->callback_mutex);
    for (StreamCallback *cb = q->callbacks; cb; cb = cb->next) {
        if (cb == node) {
            log_printf("%s: callback %p is already attached!!!\n", "stream_add_callback", (void *)node);
            pthread_mutex_unlock(&q->callback_mutex);
            return;
        }
    }
    node->next = q->callbacks;
    q->callbacks = node;
    pthread_mutex_unlock(&q->callback_mutex);
}

void stream_remove_callback(int id, StreamCallback *node)
{
    StreamQueue *q = get_stream_queue(id);
    if (!q || !node)
        return;
    // Waits for a walk in progress: once this returns the producer no longer touches the node.
    pthread_mutex_lock(&q->callback_mutex);
    for (StreamCallback **p = &q->callbacks; *p; p = &(*p)->next) {
        if (*p == node) {
            *p = node->next;
            break;
        }
    }
    node->next = nullptr;
    pthread_mutex_unlock(&q->callback_mutex);
}

int stream_users_by_id(int id)
{
    StreamQueue *q = get_stream_queue(id);
    if (!q)
        return -1;
    pthread_mutex_lock(&q->mutex);
    int n = q->users;
    pthread_mutex_unlock(&q->mutex);
    return n;
}

int stream_set_state(StreamRunState *rs, int state)
{
    if (!rs)
        return -1;
    run_state_change(rs, state);
    if (!state)
        wake_readers(run_state_id(rs));
    return 0;
}

int stream_set_state(int id, int state)
{
    return stream_set_state_by_id(id, state);
}

int stream_set_state_by_id(int id, int state)
{
    if (!valid_id(id) || !__atomic_load_n(&stream_run_state_table[id], __ATOMIC_ACQUIRE)) {
        log_printf("%s: invalid streamid %d\n", "stream_set_state_by_id", id);
        return -1;
    }
    stream_set_state(__atomic_load_n(&stream_run_state_table[id], __ATOMIC_ACQUIRE), state);
    if (id == RECORD_STREAM && record_notify)
        record_notify();
    return 0;
}

int stream_get_state_by_id(int id)
{
    if (!valid_id(id) || !__atomic_load_n(&stream_run_state_table[id], __ATOMIC_ACQUIRE)) {
        log_printf("%s: invalid streamid %d\n", "stream_get_state_by_id", id);
        return -1;
    }
    StreamRunState *rs = __atomic_load_n(&stream_run_state_table[id], __ATOMIC_ACQUIRE);
    pthread_mutex_lock(&rs->mutex);
    int running = (rs->flags & RUN_STOPPED) ? 0 : 1;
    pthread_mutex_unlock(&rs->mutex);
    return running;
}

void stream_restart(int id)
{
    if (!valid_id(id) || !__atomic_load_n(&stream_run_state_table[id], __ATOMIC_ACQUIRE)) {
        log_printf("%s: invalid streamid %d\n", "stream_restart", id);
        return;
    }
    StreamRunState *rs = __atomic_load_n(&stream_run_state_table[id], __ATOMIC_ACQUIRE);
    StreamQueue *q = __atomic_load_n(&stream_queue_table[id], __ATOMIC_ACQUIRE);
    // Under the queue's lock so a last release cannot interleave and leave it started unused.
    if (q)
        pthread_mutex_lock(&q->mutex);
    bool unused = !q || q->users == 0;
    // One step under the run state's lock: a stop landing between a look and a stop-then-start
    // would be undone by the start.
    pthread_mutex_lock(&rs->mutex);
    bool changed = !(unused && (rs->flags & RUN_STOPPED));
    if (changed) {
        rs->flags = (uint8_t)((rs->flags & ~7) | RUN_STOP_PENDING | RUN_START_PENDING);
        pthread_cond_signal(&rs->cond);
    }
    pthread_mutex_unlock(&rs->mutex);
    if (changed) {
        notify_eventfd(rs);
        if (q)
            ringbuffer_wake(q);
    }
    if (q)
        pthread_mutex_unlock(&q->mutex);
}

uint32_t stream_stop_all()
{
    log_printf("stopping all streams\n");
    uint32_t held = 0;
    for (int id = 1; id < STREAM_ID_COUNT; id++) {
        StreamRunState *rs = __atomic_load_n(&stream_run_state_table[id], __ATOMIC_ACQUIRE);
        if (!rs)
            continue;
        if (id == SERIAL_STREAM && quit_requested() == 0)
            continue;
        // A stream with consumers follows them on resume; only one run by a setting or a
        // command is remembered here.
        StreamQueue *q = __atomic_load_n(&stream_queue_table[id], __ATOMIC_ACQUIRE);
        if (!q || stream_users_by_id(id) == 0) {
            pthread_mutex_lock(&rs->mutex);
            if (!(rs->flags & RUN_STOPPED))
                held |= 1u << id;
            pthread_mutex_unlock(&rs->mutex);
        }
        stream_set_state(rs, STREAM_STOP);
    }
    display_wake();
    return held;
}

void stream_resume_all(uint32_t held)
{
    if (quit_requested())
        return;
    log_printf("resuming all streams\n");
    for (int id = 1; id < STREAM_ID_COUNT; id++) {
        StreamRunState *rs = __atomic_load_n(&stream_run_state_table[id], __ATOMIC_ACQUIRE);
        if (!rs)
            continue;
        StreamQueue *q = __atomic_load_n(&stream_queue_table[id], __ATOMIC_ACQUIRE);
        // Under the queue's lock, as stream_use starts: a last release cannot come in between.
        if (q)
            pthread_mutex_lock(&q->mutex);
        bool wanted = (held & (1u << id)) || (q && q->users > 0);
        pthread_mutex_lock(&rs->mutex);
        bool stopped = rs->flags & RUN_STOPPED;
        pthread_mutex_unlock(&rs->mutex);
        if (wanted && stopped)
            run_state_change(rs, STREAM_START);
        if (q)
            pthread_mutex_unlock(&q->mutex);
    }
    display_wake();
}

void stream_wait_state_change(StreamRunState *rs)
{
    pthread_mutex_lock(&rs->mutex);
    pthread_cond_wait(&rs->cond, &rs->mutex);
    pthread_mutex_unlock(&rs->mutex);
}

void stream_set_record_notify(void (*fn)())
{
    record_notify = fn;
}
