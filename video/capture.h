// The capture thread: analogue input, standard detection, one picture per encoder channel and
// the pass-through picture for the display, handed over as FrameMessage records on fifo pairs.
#pragma once
#include "platform/dmai.h"

#include <cstdint>

enum : uint8_t {
    FRAME_FLAG_PASSTHROUGH = 0x10,   // a capture frame for the display
    FRAME_FLAG_CAPTURE = 0x20,       // the message was made by the capture thread
};

// The 24-byte record on every video and playback fifo. A consumer gives the same record back on
// its return fifo; frame is null in an empty message.
struct FrameMessage {
    Buffer_Handle frame;
    Fifo_Handle returnFifo;     // set by capture to the fifo from encoder A; nobody reads it
    uint32_t timestamp;         // 90 kHz
    uint32_t sequence;          // capture frame counter
    uint32_t spare;
    uint8_t flags;
};

// Published capture state.
extern uint32_t capture_width, capture_height;
extern uint32_t capture_frame_rate;      // frames per 1000 s
extern int32_t capture_field_mode;       // -1 until the first set-up pass, then 0
extern uint32_t capture_lock;            // 0 no signal, 1 locked
extern volatile uint32_t resizer_busy;

enum { CAPTURE_BUFFER_SIZE = 720 * 576 * 2, CAPTURE_BUFFERS = 3, CHANNEL_BUFFERS = 5 };

void *captureThrFxn(void *arg);
void set_capture_lock_status(uint32_t locked);
// Decoder registers over I2C address 0x5c, also used by "DebugData".
int capture_dbg_set_register(uint32_t reg, uint32_t value);
uint32_t capture_dbg_get_register(uint32_t reg);
