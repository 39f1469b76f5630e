// Shared muxed output: every reader of one (stream id, mode) row reads the same transport stream
// or FLV, muxed once per frame into a bounded ring of units, each reader with its own cursor.
// The share is made with its first reader and freed with its last; a reader holds no buffer.
#pragma once
#include "streams/stream_state.h"

#include <cstdint>
#include <pthread.h>

// The ring holds seconds of output at the highest rate; a reader more than half of it behind
// skips to the newest keyframe unit, at a unit boundary, long before the bytes it reads are reused.
enum : uint32_t { STREAM_SHARE_RING_SIZE = 0x400000, STREAM_SHARE_UNITS = 1024, STREAM_SHARE_HEAD_MAX = 512 };

struct StreamShare {
    StreamShare *next;            // registry link
    int id;
    int mode;
    int readers;                  // guarded by the registry lock
    pthread_mutex_t mutex;        // one muxing run at a time
    StreamState state;            // the row's one consumer of its queues: muxer and its buffer
    StreamQueue ring;             // muxed units; a keyframe unit opens with PAT and PMT
    Buffer_Handle ring_buf;
    bool resync;                  // a unit was lost: nothing is published before the next keyframe
    uint32_t head_len;
    uint8_t head[STREAM_SHARE_HEAD_MAX];   // FLV: file header and AAC config every reader starts with
};

struct StreamShareReader {
    StreamShare *share;
    uint32_t seq;                 // next unit of the ring
    bool started;                 // past its first keyframe unit
};

// Control: joins the row's share, making it first; null when the queue or the muxer is missing.
// A new reader starts at the next keyframe unit.
StreamShare *stream_share_join(int id, int mode, StreamShareReader *r);
// Frees the reader; the last one frees the share with its muxer.
void stream_share_leave(StreamShareReader *r);
int stream_share_count();

// Muxes every frame the queues hold into the ring; returns the units published.
int stream_share_pump(StreamShare *sh);

// Reader side: 1 with the next unit (in place in the ring), 0 none yet, -1 the producer's end
// marker (the reader stays before it). A lapped or far-behind reader moves to a keyframe unit.
int stream_share_next(StreamShareReader *r, const uint8_t **data, uint32_t *len, uint32_t *seq);
// Unit `seq` is still held: bytes copied from it were not overwritten.
bool stream_share_held(StreamShare *sh, uint32_t seq);
