// Image codecs for overlay pictures: BMP and PNG readers over bytes in memory, the shade
// run-length encoder, the overlay-image run-length coder (RGB565 colour plus a 4-bit alpha
// class per pixel) and a TIFF header for raw NV12 frames. Every input here is a file from
// outside, so every read is bounded by the given length.
#pragma once
#include "video/overlay.h"

#include <cstddef>
#include <cstdint>

// Where row readers deliver: rows come top-down, RGB (3 bytes a pixel) or RGBA (4) with the
// alpha already flattened over the background.
struct ImageRowTarget {
    uint16_t background;   // RGB565
    int32_t width, height; // set by the reader before the first row
    void *user;
};
typedef void (*ImageRowFn)(ImageRowTarget *target, const uint8_t *row, int bytes_per_pixel);

int bmp_read_rows(const uint8_t *data, size_t length, ImageRowTarget *target, ImageRowFn fn);
int png_read_rows(const uint8_t *data, size_t length, ImageRowTarget *target, ImageRowFn fn);

// Flattens one RGBA pixel in place over an RGB565 background (alpha 255: unchanged).
void image_flatten_rgba(uint8_t *px, uint16_t background);

// A shade image in the overlay items' run-length format.
struct ShadeRleImage {
    uint8_t *data;
    uint32_t size, capacity;
    int32_t width, height;
    uint8_t code;          // current run
    uint32_t run;
    uint32_t mode;         // 2: grey levels with transparency; else shade mode
};
int shade_begin(ShadeRleImage *img, int32_t width, int32_t height);
int shade_put_rgba_row(ShadeRleImage *img, const uint8_t *row);
int shade_put_rgb_row(ShadeRleImage *img, const uint8_t *row);
int shade_finish(ShadeRleImage *img);
void shade_free(ShadeRleImage *img);
// The shade code of one pixel.
uint8_t shade_code_rgba(const uint8_t *px, uint32_t mode);
uint8_t shade_code_rgb(const uint8_t *px);

int bmp_to_shade(const uint8_t *data, size_t length, ShadeRleImage *img);
int png_to_shade(const uint8_t *data, size_t length, ShadeRleImage *img);

// A colour-plus-attribute picture: RGB565 a pixel, and 4 bits a pixel (first pixel of a pair in
// the high nibble), (width + 1) / 2 bytes a row.
struct OverlayImage {
    int32_t width, height;
    uint16_t *colour;
    uint8_t *attr;
    uint8_t *rle;
    uint32_t rle_len, rle_cap;
};
OverlayImage *overlay_image_new(int32_t width, int32_t height);
void overlay_image_free(OverlayImage *img);
uint32_t overlay_attr_line(int32_t width);
uint8_t overlay_attr_get(const OverlayImage *img, int32_t x, int32_t y);

// Where a picture goes: x and y in, the drawn width and height out.
struct OverlayRect {
    int32_t x, y;
    int32_t width, height;
};
int bmp_to_overlay(const uint8_t *data, size_t length, OverlayImage *picture, OverlayRect *rect);
int png_to_overlay(const uint8_t *data, size_t length, OverlayImage *picture, OverlayRect *rect);

// Codes the ARGB pixels (alpha in the top byte) against the image's buffers, which it updates
// as a decoder would; the bytes go to img->rle. 0, or -1 when memory is short.
int overlay_rle_encode(OverlayImage *img, const uint32_t *argb);

struct OverlayRleState {
    OverlayImage *img;
    uint64_t pos;          // pixel position
    uint8_t cls;           // alpha class of paint runs
    bool done;             // end code seen
    bool bad;              // a run went past the image
};
void overlay_rle_state_init(OverlayRleState *st, OverlayImage *img);
// Decodes what is whole of the bytes; returns the bytes used.
size_t overlay_rle_decode(const uint8_t *data, size_t length, OverlayRleState *st);
// Decodes img's run-length bytes afresh and compares with the reference's buffers. 0 or -1.
int overlay_rle_check(const OverlayImage *img, const OverlayImage *reference);
long overlay_rle_write(const OverlayImage *img, int fd);

// TIFF around one NV12 frame: header, pixel area at tiff_data_offset(), values and directory.
// Returns the total length, or -1 (other pixel formats, or a buffer too small).
long tiff_write_header(uint8_t *buffer, size_t capacity, uint32_t width, uint32_t height, uint32_t fourcc);
size_t tiff_file_size(uint32_t width, uint32_t height);
size_t tiff_data_offset();
