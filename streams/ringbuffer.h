// One producing stream's ring of encoded frames: entries in a power-of-two table, frame data in
// one contiguous platform buffer the producer writes into in place. One writer, many readers,
// each reader with its own sequence-number cursor.
#pragma once
#include "platform/dmai.h"

#include <cstdint>
#include <ctime>
#include <pthread.h>

enum : uint32_t {
    RB_FLAG_KEYFRAME = 0x01,
    RB_FLAG_2 = 0x02,
    RB_FLAG_4 = 0x04,
    RB_FLAG_8 = 0x08,
    RB_FLAG_PASSTHROUGH = 0x10,   // already in final form: handed to muxing consumers as is
};

struct RingbufferEntry {          // 16 bytes; length 0 ends every backward scan
    uint32_t offset;
    uint32_t length;
    uint32_t timestamp;           // 90 kHz; length 0 and timestamp 0 is the end marker
    uint32_t flags;
};
static_assert(sizeof(RingbufferEntry) == 16);

struct StreamCallback {           // owned and linked by a consumer
    StreamCallback *next;
    void (*fn)(void *user, uint32_t seq);
    void *user;
};

struct StreamQueue {
    int32_t users;                // attached consumers
    pthread_mutex_t mutex;        // guards everything below but the callback list
    uint32_t wake;                // bumped, and its waiters woken, on every real frame and stop
    uint8_t *data;
    uint32_t phys;
    uint32_t size;
    uint32_t head;                // slot of the next frame
    uint32_t tail;                // slot of the oldest frame held
    uint32_t seq;                 // frames ever put = sequence number of the next frame
    uint64_t bytes;               // frame bytes ever put: what a player of it was offered
    uint32_t write_offset;
    uint32_t mask;                // entries - 1
    uint32_t align_mask;
    RingbufferEntry *entries;
    int32_t time_offset;          // 90 kHz ticks a paused video channel stood still
    StreamCallback *callbacks;    // newest first
    pthread_mutex_t callback_mutex;   // held over every walk, add and remove of the list
};

void ringbuffer_init(StreamQueue *q, Buffer_Handle buf, uint32_t num_entries, uint32_t alignment);
// Frees the entry table (queues normally live as long as the process).
void ringbuffer_free(StreamQueue *q);

// Producer: where to write a frame of at most `length` bytes (held frames overlapping it are
// dropped first); negative when the frame cannot fit the data area.
int ringbuffer_preallocate(StreamQueue *q, uint32_t length);
// Publishes the frame written at the preallocated offset; length 0 and timestamp 0 is the end
// marker. Negative when the frame would run past the data area (nothing is published).
int ringbuffer_put(StreamQueue *q, uint32_t length, uint32_t timestamp, uint32_t flags);

// Caller holds q->mutex.
int ringbuffer_get_entry(StreamQueue *q, uint32_t seq, uint32_t *offset, uint32_t *length,
                         uint32_t *timestamp, uint32_t *flags);
int ringbuffer_count(StreamQueue *q);
// Caller does not hold the lock.
uint64_t ringbuffer_bytes(StreamQueue *q);

// Caller does not hold the lock. Returns 0 with the entry of *seq (a lapped reader's *seq is
// moved to the oldest held keyframe first) or -1. `deadline` is CLOCK_REALTIME, null waits
// without limit; `wait` 0 looks once.
int ringbuffer_wait_seq(StreamQueue *q, uint32_t *seq, uint32_t *offset, uint32_t *length,
                        uint32_t *timestamp, uint32_t *flags, int wait, const struct timespec *deadline);

// Caller does not hold the lock. The timestamp of the newest frame held (end markers and dropped
// entries skipped): 0, or -1 when there is none.
int ringbuffer_newest_timestamp(StreamQueue *q, uint32_t *timestamp);

// Wakes every reader waiting in ringbuffer_wait_seq; after what they wait for is published.
void ringbuffer_wake(StreamQueue *q);

void stream_queue_add_time_offset(StreamQueue *q, int32_t ticks);
int32_t stream_queue_get_time_offset(StreamQueue *q);

// Caller holds q->mutex. Keyframes that are not pass-through, from the newest back to the tail
// or the first empty entry: the oldest such (returns 1 and *seq) or, for newest_first, the newest
// (returns 1 with *seq and *timestamp). 0 when there is none.
int ringbuffer_find_keyframe(StreamQueue *q, int newest_first, uint32_t *seq, uint32_t *timestamp);
