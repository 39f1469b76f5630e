// Overlay items drawn after the OSD text: shade images (run-length coded masks that darken or
// paint the picture), blended grey images and extra text items. The run-length bytes come from
// outside the drawing code, so every blitter stops at the item's byte count and at the frame.
#pragma once
#include <cstddef>
#include <cstdint>

struct OsdSettings;

enum OverlayKind : uint32_t {
    OVERLAY_EMPTY = 0,
    OVERLAY_SHADE = 1,
    OVERLAY_BLEND = 2,
    OVERLAY_TEXT = 4,
};

struct OverlayItem {
    const uint8_t *data;    // shade run-length bytes (kinds 1 and 2)
    OsdSettings *settings;  // kind 4: a record of the slot's own
    uint32_t size;          // bytes of run-length data behind data
    int32_t x, y;           // top-left pixel in the frame; may be negative
    int32_t width, height;
    uint16_t opacity;       // 0..8 for kind 2; the RGB565 colour for the attribute blit
    uint32_t kind;
};

enum { OVERLAY_SLOTS = 16 };

// Shade codes 0..15 applied to one pixel value (one byte).
uint8_t shade_apply(uint8_t code, uint8_t p);
// The same for an RGB565 word.
uint16_t shade_apply_rgb565(uint8_t code, uint16_t p);

// Blitters: (item, frame, line length in bytes, frame height in lines).
void shade_blit_y8(const OverlayItem *item, uint8_t *frame, uint32_t line, uint32_t height);
void shade_blit_uyvy(const OverlayItem *item, uint8_t *frame, uint32_t line, uint32_t height);
void shade_blit_rgb24(const OverlayItem *item, uint8_t *frame, uint32_t line, uint32_t height);
void shade_blit_rgb565(const OverlayItem *item, uint8_t *frame, uint32_t line, uint32_t height);
void blend_blit_y8(const OverlayItem *item, uint8_t *frame, uint32_t line, uint32_t height);
void blend_blit_uyvy(const OverlayItem *item, uint8_t *frame, uint32_t line, uint32_t height);

// Draws one non-text item by the frame's pixel format (0 or 9 one byte a pixel, 2 UYVY,
// 3 RGB24, 4 RGB565). Returns 1 when something was drawn.
int overlay_draw_item(const OverlayItem *item, int pixel_format, uint8_t *frame, uint32_t line, uint32_t height);

// Row counters of the attribute blit are printed only while this is set.
extern int overlay_verbose;

// Shade image into an RGB565 picture and its attribute plane (4 bits a pixel, two pixels a
// byte, (width + 1) / 2 bytes a row): codes 1..7 paint black with that attribute, 8..15 the
// item's colour (in opacity) scaled, with attribute 7.
void shade_blit_rgb565_attr(const OverlayItem *item, uint16_t *picture, uint32_t line, uint32_t height,
                            uint8_t *attr);
