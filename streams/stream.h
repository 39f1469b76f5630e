// The stream registry: a queue and/or a run state per stream id, the start of a producer on its
// first consumer and its stop after the last, and the run-state switches of the services.
#pragma once
#include "streams/ringbuffer.h"

#include <cstdint>
#include <pthread.h>

enum StreamId {
    VIDEO_STREAM1 = 1,
    VIDEO_STREAM2 = 2,
    OUTPUT_STREAM = 3,
    PCM_STREAM = 4,
    AAC_STREAM = 5,
    CAPTURE_STREAM1 = 6,
    CAPTURE_STREAM2 = 7,
    UDP_STREAM1 = 8,
    UDP_STREAM2 = 9,
    RTMP_STREAM1 = 10,
    RTMP_STREAM2 = 11,
    PLAYBACK_STREAM = 12,
    RECORD_STREAM = 13,
    SERIAL_STREAM = 15,
    STREAM_ID_COUNT = 16,
};

enum { STREAM_STOP = 0, STREAM_START = 1 };
enum : uint8_t { RUN_START_PENDING = 0x01, RUN_STOP_PENDING = 0x02, RUN_STOPPED = 0x04 };

struct StreamRunState {
    pthread_mutex_t mutex;
    pthread_cond_t cond;
    uint8_t flags;
    int32_t eventfd;      // > 0: written with 1 on every change (set by the owner after registering)
};

extern StreamQueue *stream_queue_table[STREAM_ID_COUNT];
extern StreamRunState *stream_run_state_table[STREAM_ID_COUNT];

void stream_register(StreamRunState *rs, StreamQueue *q, int id);
StreamQueue *get_stream_queue(int id);
const char *stream_queue_name(const StreamQueue *q);

// Producer side.
int stream_wait_start(StreamRunState *rs);
int stream_stop_pending(StreamRunState *rs);

// Consumer side.
int stream_recent_keyframe(StreamQueue *q, uint32_t *timestamp, uint32_t *seq);
void stream_use(int id);
void stream_release(StreamQueue *q);
void stream_add_callback(int id, StreamCallback *node);
void stream_remove_callback(int id, StreamCallback *node);
int stream_users_by_id(int id);

// Run-state control.
int stream_set_state(StreamRunState *rs, int state);
int stream_set_state(int id, int state);   // by id, as main calls it
int stream_set_state_by_id(int id, int state);
int stream_get_state_by_id(int id);
void stream_restart(int id);
// Stops every run state (the serial service only when quitting); returns the ids that ran
// without consumers, for stream_resume_all.
uint32_t stream_stop_all();
// Undoes stream_stop_all when the reason for it fell through: starts the ids it returned and
// every stream that still has consumers. Nothing while quitting.
void stream_resume_all(uint32_t held);
void stream_wait_state_change(StreamRunState *rs);

// Called after every state change of the recording's id, so the web server refreshes its
// storage state at once (the web server installs its one-second tick here).
void stream_set_record_notify(void (*fn)());
