// The decoder/output thread: takes the received stream apart (transport stream, MP4 in
// stream-buffer mode, or an elementary H.264, MPEG-4 or JPEG stream), decodes the video in place
// in the receive buffer and hands pictures to the display and AAC frames to playback.
#pragma once
#include "video/netinput.h"

#include <cstddef>
#include <cstdint>

struct TsContext;
struct mp4_muxer;

void *outputThrFxn(void *arg);

// What the consume step drives: the thread's decoders and hand-offs, or a test's stubs.
struct OutputSink {
    void *user;
    // Makes the video decoder for codec 2, 10 or 16 (a fresh one when recreate): 0 or -1.
    int (*create_video)(void *user, int codec, bool recreate);
    // One unit, decoded where it lies: bytes consumed (> 0), 0 nothing decoded, negative failure.
    // An empty unit flushes the decoder.
    int (*decode_video)(void *user, uint8_t *unit, size_t len, uint32_t ts);
    // One JPEG image: 0, or -1 when the stream is to stop.
    int (*decode_jpeg)(void *user, uint8_t *image, size_t len);
    // The first audio frame of the stream: container 0 MP4, 1 transport stream.
    void (*audio_start)(void *user, int container);
    // A free playback buffer (waited for a bounded time) and its size; null when none is free.
    uint8_t *(*audio_get)(void *user, size_t *capacity);
    // Hands the buffer of the last audio_get over with len bytes (0 gives it back unused).
    int (*audio_put)(void *user, size_t len, uint32_t ts);
    // The stream timestamp now being heard (90 kHz); false while no audio has been played.
    bool (*audio_heard)(void *user, uint32_t *heard);
    // A stop or quit is pending: long loops end early.
    bool (*stop_requested)(void *user);
};

enum { OUTPUT_PATH_ES = 0, OUTPUT_PATH_TS = 1, OUTPUT_PATH_MP4 = 3 };
enum { OUTPUT_ASSEMBLY_SIZE = 0xbd000, OUTPUT_ASSEMBLY_PAD = 8 };

// The consume step's state for one run of the stream.
struct OutputConsumer {
    const OutputSink *sink;
    int format;                 // Display.StreamFormat
    int path;                   // OUTPUT_PATH_*
    int videoCodec;             // 2, 3, 10, 16; 255 until the container names it
    int audioType;
    bool lowLatency;
    bool failed;                // the stream is to stop
    const char *label;          // decoder name, or what is missing
    TsContext *ts;
    mp4_muxer *mp4;
    uint8_t *assembly;          // one transport-stream video PES, zero padded
    size_t scanPos;             // elementary streams: next start code to look at
    bool pictureSeen;           // the unit being scanned holds a picture
    bool keyframeSeen;          // a keyframe went to the decoder
    bool audioStarted;
    bool videoStarted;
    uint32_t audioTrack, videoTrack;
    uint32_t audioScale, videoScale;   // MP4 track timescales
    uint32_t prevAudioTs;
    LatencyEstimator latency;
    uint64_t offset;            // stream offset of the receive buffer's first byte
    uint32_t tsErrors;
    uint32_t units;             // units handed to the decoder
    uint32_t audioFrames;       // audio frames handed to playback
    uint32_t audioDropped;
};

// 0, or -1 for a format the thread cannot take apart ("invalid format" logged by the caller).
int output_consumer_init(OutputConsumer *c, const OutputSink *sink, int format, bool lowLatency);
void output_consumer_done(OutputConsumer *c);
// Consumes what it can of the fill bytes of buf (capacity cap); returns the bytes to drop from
// the front. lastpacket decodes what is left and ends the stream.
size_t output_consume(OutputConsumer *c, uint8_t *buf, size_t fill, size_t cap, bool lastpacket);

// Keyframe test over every unit of a decoded stream's access unit.
bool output_is_keyframe(int codec, const uint8_t *d, size_t len);
