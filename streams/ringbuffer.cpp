#include "streams/ringbuffer.h"

#include "core/log.h"
#include "core/quit.h"
#include "core/threads.h"
#include "streams/stream.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

void ringbuffer_init(StreamQueue *q, Buffer_Handle buf, uint32_t num_entries, uint32_t alignment)
{
    q->users = 0;
    q->data = Buffer_getUserPtr(buf);
    q->phys = Buffer_getPhysicalPtr(buf);
    q->size = (uint32_t)Buffer_getSize(buf);
    q->seq = 0;
    q->bytes = 0;
    q->write_offset = 0;
    q->head = 0;
    q->tail = 0;
    if (num_entries == 0 || (num_entries & (num_entries - 1)) != 0) {
        log_printf("%s: num_entries must be a power of 2: %d\n", "ringbuffer_init", (int)num_entries);
        abort();
    }
    q->mask = num_entries - 1;
    q->align_mask = alignment ? alignment - 1 : 0;
    q->entries = static_cast<RingbufferEntry *>(calloc(num_entries, sizeof(RingbufferEntry)));
    if (!q->entries) {
        log_printf("%s: failed to allocate ringbuffer entries array[%d]\n", "ringbuffer_init", (int)num_entries);
        abort();
    }
    q->time_offset = 0;
    q->callbacks = nullptr;
}

void ringbuffer_free(StreamQueue *q)
{
    free(q->entries);
    q->entries = nullptr;
}

namespace {

bool overlaps(const RingbufferEntry &e, uint32_t start, uint32_t end)
{
    return e.length != 0 && e.offset < end && e.offset + e.length > start;
}

// Drops every held entry from the tail up to the newest one whose data meets [start, end).
// The whole window is looked at: after a wrap of the data area, and behind an end marker, newer
// entries can overlap while older ones do not, and a reader may be using them.
void drop_overlapping(StreamQueue *q, uint32_t start, uint32_t end)
{
    uint32_t last = q->tail;
    bool found = false;
    for (uint32_t i = q->tail; i != q->head; i = (i + 1) & q->mask) {
        if (overlaps(q->entries[i], start, end)) {
            last = i;
            found = true;
        }
    }
    if (!found)
        return;
    uint32_t stop = (last + 1) & q->mask;
    while (q->tail != stop) {
        q->entries[q->tail].length = 0;
        q->tail = (q->tail + 1) & q->mask;
    }
}

} // namespace

int ringbuffer_preallocate(StreamQueue *q, uint32_t length)
{
    pthread_mutex_lock(&q->mutex);
    if (length >= q->size) {
        log_printf("%s: %s: length %u >= buf_size %u\n", "ringbuffer_preallocate", stream_queue_name(q), length,
                   q->size);
        pthread_mutex_unlock(&q->mutex);
        return -1;
    }
    if (q->write_offset + length > q->size)
        q->write_offset = 0;   // frames never wrap around the end of the area
    uint32_t offset = q->write_offset;
    drop_overlapping(q, offset, offset + length);
    pthread_mutex_unlock(&q->mutex);
    return (int)offset;
}

int ringbuffer_put(StreamQueue *q, uint32_t length, uint32_t timestamp, uint32_t flags)
{
    pthread_mutex_lock(&q->mutex);
    uint32_t offset = q->write_offset;
    if ((uint64_t)offset + length > q->size) {
        log_printf("%s: %s: frame of %u bytes at %u does not fit buf_size %u, dropped\n", "ringbuffer_put",
                   stream_queue_name(q), length, offset, q->size);
        pthread_mutex_unlock(&q->mutex);
        return -1;
    }
    // A producer that wrote more than it preallocated must not leave readers on clobbered data.
    drop_overlapping(q, offset, offset + length);
    if (((q->head + 1) & q->mask) == q->tail) {
        q->entries[q->tail].length = 0;
        q->tail = (q->tail + 1) & q->mask;
    }
    RingbufferEntry &e = q->entries[q->head];
    e.offset = offset;
    e.length = length;
    e.timestamp = timestamp;
    e.flags = flags;
    q->head = (q->head + 1) & q->mask;
    uint32_t seq = q->seq++;
    q->bytes += length;
    q->write_offset = (offset + length + q->align_mask) & ~q->align_mask;
    if (length == 0 && timestamp == 0) {
        pthread_mutex_unlock(&q->mutex);
        return 0;
    }
    pthread_mutex_unlock(&q->mutex);
    // Past the lock, so that the readers it wakes do not find it held.
    ringbuffer_wake(q);

    pthread_mutex_lock(&q->callback_mutex);
    for (StreamCallback *cb = q->callbacks; cb; cb = cb->next)
        cb->fn(cb->user, seq);
    pthread_mutex_unlock(&q->callback_mutex);
    return 0;
}

int ringbuffer_get_entry(StreamQueue *q, uint32_t seq, uint32_t *offset, uint32_t *length, uint32_t *timestamp,
                         uint32_t *flags)
{
    uint32_t behind = q->seq - seq;
    uint32_t held = (q->head - q->tail) & q->mask;
    if (behind < 1 || behind > held)
        return -1;
    const RingbufferEntry &e = q->entries[(q->head - behind) & q->mask];
    if (offset)
        *offset = e.offset;
    if (length)
        *length = e.length;
    if (timestamp)
        *timestamp = e.timestamp;
    if (flags)
        *flags = e.flags;
    return 0;
}

int ringbuffer_count(StreamQueue *q)
{
    int n = 0;
    for (uint32_t i = q->head; i != q->tail;) {
        i = (i - 1) & q->mask;
        if (q->entries[i].length == 0)
            break;
        n++;
    }
    return n;
}

int ringbuffer_find_keyframe(StreamQueue *q, int newest_first, uint32_t *seq, uint32_t *timestamp)
{
    int found = 0;
    uint32_t s = q->seq;
    for (uint32_t i = q->head; i != q->tail;) {
        i = (i - 1) & q->mask;
        s--;
        const RingbufferEntry &e = q->entries[i];
        if (e.length == 0)
            break;
        if ((e.flags & (RB_FLAG_KEYFRAME | RB_FLAG_PASSTHROUGH)) != RB_FLAG_KEYFRAME)
            continue;
        *seq = s;
        if (timestamp)
            *timestamp = e.timestamp;
        found = 1;
        if (newest_first)
            break;
    }
    return found;
}

int ringbuffer_wait_seq(StreamQueue *q, uint32_t *seq, uint32_t *offset, uint32_t *length, uint32_t *timestamp,
                        uint32_t *flags, int wait, const struct timespec *deadline)
{
    int result = -1;
    pthread_mutex_lock(&q->mutex);
    for (;;) {
        if (ringbuffer_get_entry(q, *seq, offset, length, timestamp, flags) == 0) {
            result = 0;
            break;
        }
        // A reader that has caught up is the common case: it waits without walking the held
        // entries (hundreds, under the lock every reader and the producer need).
        int c = (int32_t)(q->seq - *seq) > 0 ? ringbuffer_count(q) : 0;
        if (c != 0 && (int32_t)(q->seq - *seq) > c) {
            log_printf("%s: seq %u was lost, next seq is %u count=%d head=%d tail=%d (%s)\n", stream_queue_name(q),
                       *seq, q->seq, c, (int)q->head, (int)q->tail, current_thread_name());
            uint32_t k;
            if (ringbuffer_find_keyframe(q, 0, &k, nullptr) &&
                ringbuffer_get_entry(q, k, offset, length, timestamp, flags) == 0) {
                *seq = k;
                result = 0;
            }
            break;
        }
        if (!wait || quit_requested_nolock() != 0)
            break;
        // Readers sleep on the wake count, not on a condition variable: every reader of a
        // queue wakes for each frame, and one woken from a condition variable takes the lock
        // back marked as contended, so each in turn paid a system call to wake the next.
        uint32_t seen = __atomic_load_n(&q->wake, __ATOMIC_RELAXED);
        pthread_mutex_unlock(&q->mutex);
        long r = syscall(SYS_futex, &q->wake, FUTEX_WAIT_BITSET | FUTEX_PRIVATE_FLAG | FUTEX_CLOCK_REALTIME, seen,
                         deadline, nullptr, FUTEX_BITSET_MATCH_ANY);
        if (r < 0 && errno == ETIMEDOUT)
            wait = 0;   // one more look, then give up
        pthread_mutex_lock(&q->mutex);
    }
    pthread_mutex_unlock(&q->mutex);
    return result;
}

void ringbuffer_wake(StreamQueue *q)
{
    __atomic_add_fetch(&q->wake, 1, __ATOMIC_RELAXED);
    syscall(SYS_futex, &q->wake, FUTEX_WAKE | FUTEX_PRIVATE_FLAG, INT_MAX, nullptr, nullptr, 0);
}

int ringbuffer_newest_timestamp(StreamQueue *q, uint32_t *timestamp)
{
    int result = -1;
    pthread_mutex_lock(&q->mutex);
    for (uint32_t i = q->head; i != q->tail;) {
        i = (i - 1) & q->mask;
        if (q->entries[i].length != 0) {
            *timestamp = q->entries[i].timestamp;
            result = 0;
            break;
        }
    }
    pthread_mutex_unlock(&q->mutex);
    return result;
}

void stream_queue_add_time_offset(StreamQueue *q, int32_t ticks)
{
    pthread_mutex_lock(&q->mutex);
    q->time_offset += ticks;
    pthread_mutex_unlock(&q->mutex);
}

int32_t stream_queue_get_time_offset(StreamQueue *q)
{
    pthread_mutex_lock(&q->mutex);
    int32_t t = q->time_offset;
    pthread_mutex_unlock(&q->mutex);
    return t;
}

uint64_t ringbuffer_bytes(StreamQueue *q)
{
    pthread_mutex_lock(&q->mutex);
    uint64_t n = q->bytes;
    pthread_mutex_unlock(&q->mutex);
    return n;
}
