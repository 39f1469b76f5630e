// Consumers: a cursor on one stream's queue (and its paired audio queue) that hands out one
// frame in place, or one piece of muxed output, per dequeue.
#pragma once
#include "platform/dmai.h"
#include "streams/ringbuffer.h"
#include "streams/stream_mux.h"

#include <cstddef>
#include <cstdint>

// Flag bits of a StreamBuffer, taken from the ring entry's flags.
enum : uint8_t {
    SB_FLAG_4 = 0x04,             // entry 0x04
    SB_FLAG_8 = 0x10,             // entry 0x08
    SB_KEYFRAME = 0x20,           // entry 0x01
    SB_FLAG_2 = 0x40,             // entry 0x02
    SB_PASSTHROUGH = 0x80,        // entry 0x10
};

struct StreamBuffer {
    Buffer_Handle buf;            // user pointer and bytes used
    uint32_t timestamp;           // 90 kHz
    uint32_t seq;
    uint8_t flags;
};

// StreamState.flags
enum : uint8_t {
    SS_WAIT_KEYFRAME = 0x01,
    SS_FLV_HEADER = 0x02,
    SS_START_AT_KEYFRAME = 0x04,  // set by the consumer before attaching
    SS_LAST_KEYFRAME = 0x08,
    SS_RESTARTED = 0x10,          // an end marker was passed: the next muxed frame marks the restart
};

enum : uint32_t { STREAM_ES_BUF_SIZE = 0x100000, STREAM_ES_BUF2_SIZE = 4096, STREAM_MUX_BUF_SIZE = 0xd8000 };

struct StreamState {              // zeroed by the consumer before the first attach
    StreamQueue *streamq;
    StreamQueue *streamq2;
    uint32_t seq;
    uint32_t seq2;
    StreamBuffer *current;
    StreamBuffer *muxBuf;
    void *mux;
    uint32_t startTS;
    uint32_t videoTS;
    uint32_t audioTS;
    uint32_t videoFrameDuration;  // 90 kHz ticks, set by the consumer
    uint32_t audioFrameDuration;
    uint8_t mux_type;
    uint8_t flags;
    StreamBuffer internalBuf;
    StreamBuffer internalBuf2;
    const StreamMuxOps *muxOps;   // operations of `mux`
    int streamId;
};

void stream_state_attach(int id, int mode, StreamState *state);
StreamBuffer *stream_state_dequeue_timeout(StreamState *state, int timeout_ms);
StreamBuffer *stream_state_dequeue(StreamState *state);
StreamBuffer *stream_state_dequeue_es(StreamState *state);
StreamBuffer *stream_state_dequeue2(StreamState *state);
StreamBuffer *streamQueue_dqBuf(StreamQueue *q, uint32_t *seq, StreamBuffer *sb, const struct timespec *deadline);
void stream_state_detach(StreamState *state);
void stream_state_close_muxer(StreamState *state);
int stream_state_fill_percent(StreamState *state);
uint32_t stream_state_latency(StreamState *state);

uint8_t stream_buffer_flags(uint32_t entry_flags);

// Latency statistics of muxed ("latency_ts_a", "latency_ts_b") and elementary ("latency_rtsp_a",
// "latency_rtsp_b") reads of stream ids 1 and 2.
enum { LATENCY_TS_A = 0, LATENCY_TS_B = 1, LATENCY_RTSP_A = 2, LATENCY_RTSP_B = 3, LATENCY_COUNT = 4 };
void stream_latency_add(int which, uint32_t timestamp);
uint32_t latency_stats_add(int which, uint32_t timestamp);
// "min:%d max:%d avg:%d (ms)" into buf, then resets the record; returns the printed length.
int stream_latency_print(int which, char *buf, size_t size);
