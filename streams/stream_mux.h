// The seam between a consumer's dequeue and the container writers (transport stream, FLV, MP4).
// Each container module registers one table of operations; a consumer attaching with a mode of
// an unregistered container gets elementary frames instead.
#pragma once
#include <cstdint>

enum { STREAM_MUX_ES = 0, STREAM_MUX_TS = 1, STREAM_MUX_FLV = 2, STREAM_MUX_MP4 = 3, STREAM_MUX_TYPES = 4 };

struct StreamMuxSetup {
    uint8_t mux_type;
    int video_codec;       // stream-mode video codec: 2 H.264, 10 MPEG-4
    int audio_type;        // 0 none, 1 AAC, 3 PCM (0 when no audio queue is attached)
};

struct StreamMuxFrame {
    const uint8_t *data;
    uint32_t length;
    uint32_t pts;          // 90 kHz ticks since the keyframe muxing started at
    uint32_t duration;     // MP4 only: 90 kHz ticks this sample lasts
    int keyframe;
    int header;            // FLV: write the file header (and AAC sequence header) first
    int discontinuity;     // TS: the producer restarted before this frame; its PCR says so
};

struct StreamMuxOps {
    // Null when the muxer cannot be made.
    void *(*create)(const StreamMuxSetup *setup);
    void (*destroy)(void *mux);
    // Append one frame at out + *used, never past out + capacity, and advance *used. `out` is
    // null for an MP4 writer that writes its own file. 0 written, 1 skipped (an audio frame not
    // newer than the last one), negative failure (no room, writer error).
    int (*put_video)(void *mux, const StreamMuxFrame *f, uint8_t *out, uint32_t capacity, uint32_t *used);
    int (*put_audio)(void *mux, const StreamMuxFrame *f, uint8_t *out, uint32_t capacity, uint32_t *used);
    // MP4: the compressor name written into video sample entries (may be null).
    void (*set_compressor_name)(const char *name);
};

// The writers built into the program; MP4 registers its own.
extern const StreamMuxOps ts_mux_ops;
extern const StreamMuxOps flv_mux_ops;
extern const StreamMuxOps mp4_mux_ops;

// Installs the operations of one container (null removes them).
void stream_mux_register(int mux_type, const StreamMuxOps *ops);
const StreamMuxOps *stream_mux_ops(int mux_type);
void stream_mux_set_compressor_name(const char *name);
const char *stream_mux_compressor_name();
