// On-screen text: four channels bound to the OSD settings sub-blocks, drawn into the luma of
// 8-bit planes (NV12, grey) or into UYVY frames. Channels 0 and 1 are drawn by the capture
// thread into the encoder pictures, channel 2 by the display thread; channel 3 is laid out for
// the capture frame but never drawn.
#pragma once
#include "platform/dmai.h"
#include "video/overlay.h"

#include <cstdint>
#include <sys/time.h>

struct ParamBlock;
struct OsdSettings;

enum { OSD_CHANNELS = 4, OSD_TEXT_SIZE = 180, OSD_TEXT_LIMIT = 179 };

// Where the text goes in a frame. Written and read as a whole under a per-channel lock, so a
// drawing thread never sees a new offset with an old characters-per-line count.
struct OsdLayout {
    uint32_t textOffset;        // byte offset of the text's top-left pixel
    uint32_t lineLength;        // bytes
    uint32_t height;            // lines
    int pixelFormat;            // platform colour space: 2 UYVY, anything else one byte a pixel
    uint32_t charsPerLine;
    uint32_t x, y;              // pixel position of textOffset
};

struct OsdChannel {
    OsdSettings *settings;
    OsdLayout layout;
    char text[OSD_TEXT_SIZE];   // composed text, owned by the drawing thread
    uint32_t frameCounter;      // "^c"; touched only by the drawing thread
    OverlayItem items[OVERLAY_SLOTS];   // drawn after the text, in slot order
};

extern OsdChannel osd_channels[OSD_CHANNELS];

// A/V-sync readout: on once a channel's message is "avsync" at a settings change.
extern volatile int osd_avsync_enabled;
extern volatile uint32_t osd_avsync_ts[2];

// Wall clock used for "^d" and "^t"; tests replace it.
extern int (*osd_clock)(struct timeval *tv);

int osd_init(ParamBlock *params);
void osd_set_frame_size(int channel, uint32_t width, uint32_t height, int pixelFormat, uint32_t lineLength);
void osd_layout(int channel, OsdSettings *settings);
void osd_set_params(int channel, OsdSettings *settings);

// Expands the tags of message into out (at most limit characters and a NUL).
int osd_compose_text(int channel, const char *message, char *out, int limit);
void osd_draw_text(int channel, const OsdSettings *settings, Buffer_Handle frame);
void osd_update(int channel, Buffer_Handle frame);
void osd_frame_update(int channel, Buffer_Handle frame, uint32_t counter);
// The box the last composed text covers in the frame, clipped to it; returns the text length,
// 0 (and a zero box) when the channel is off.
int osd_text_extent(int channel, int32_t *x, int32_t *y, int32_t *width, int32_t *height);

// Overlay slots. Nothing in the running system fills them; these are for tools and tests.
// A text item owns its settings record; copies get records of their own.
void osd_draw_text_item(int channel, Buffer_Handle frame, OsdSettings *settings);
// Channel 0's slot as a text item (message cut to 160 bytes; null clears the slot); a slot
// above 15 only lays channel 0 out again.
void overlay_set_text(int slot, int x, int y, const char *message, int enabled, int transparent);
// Frees the slot's record and empties it; a slot above 15 turns channel 0's text off.
void overlay_clear(int slot);
void osd_clear_items(int channel);
void osd_copy_channel(int from, int to);
void osd_reset_channel(int channel, uint32_t width, uint32_t height, int pixelFormat, uint32_t lineLength);
void osd_draw_text_at(int channel, Buffer_Handle frame, const char *text);
// First and last frame line the channel's composed text covers (clipped to the frame).
void osd_text_rows(int channel, int32_t *top, int32_t *last);
uint32_t osd_get_frame_counter(int channel);
void osd_set_frame_counter(int channel, uint32_t counter);
