#include "video/overlay.h"

#include "core/log.h"

#include <algorithm>

int overlay_verbose;

namespace {
const uint8_t fill_levels[9] = {16, 43, 71, 99, 127, 155, 183, 211, 239};
const uint16_t fill_rgb565[9] = {0x0000, 0x18e3, 0x39e7, 0x5aeb, 0x7bef, 0x9cf3, 0xbdf7, 0xdefb, 0xffff};

// The shade codes as lookup tables, one row of 256 results per code.
struct ShadeTable {
    uint8_t v[16][256];
};
const ShadeTable &shade_table()
{
    static const ShadeTable table = [] {
        ShadeTable t;
        for (int c = 0; c < 16; c++)
            for (int p = 0; p < 256; p++)
                t.v[c][p] = shade_apply((uint8_t)c, (uint8_t)p);
        return t;
    }();
    return table;
}

inline uint16_t q8(uint16_t p) { return p >> 3 & 0x18e3; }
inline uint16_t q4(uint16_t p) { return p >> 2 & 0x39e7; }
inline uint16_t q2(uint16_t p) { return p >> 1 & 0x7bef; }

// Walks the run-length bytes of a shade image placed at (x, y) and calls op(code, fx, fy, n)
// for each visible, non-transparent piece of a run: n pixels starting at frame column fx on
// frame row fy. The walk ends at the last visible row, at the end of the image and at the end
// of the bytes, whichever comes first.
template <typename Op>
void shade_walk(const OverlayItem *it, int64_t frame_w, int64_t frame_h, Op op)
{
    if (!it || !it->data || it->width <= 0 || it->height <= 0 || frame_w <= 0 || frame_h <= 0)
        return;
    const int64_t w = it->width, h = it->height, x = it->x, y = it->y;
    const int64_t row_end = std::min(h, frame_h - y);   // image rows drawn: [row_begin, row_end)
    const int64_t row_begin = std::max<int64_t>(0, -y);
    const int64_t col_begin = std::max<int64_t>(0, -x);
    const int64_t col_end = std::min(w, frame_w - x);
    if (row_end <= row_begin || col_end <= col_begin)
        return;
    const uint8_t *p = it->data, *end = it->data + it->size;
    int64_t row = 0, col = 0;
    while (p < end && row < row_end) {
        uint8_t code = *p >> 4;
        int64_t len = *p & 15;
        p++;
        if (len == 0) {
            if (p >= end)
                break;
            len = *p++ + 16;
        }
        while (len > 0 && row < row_end) {
            int64_t n = std::min(len, w - col);
            if (code != 0 && row >= row_begin) {
                int64_t a = std::max(col, col_begin), b = std::min(col + n, col_end);
                if (a < b)
                    op(code, x + a, y + row, b - a);
            }
            len -= n;
            col += n;
            if (col == w) {
                col = 0;
                row++;
            }
        }
    }
}
} // namespace

uint8_t shade_apply(uint8_t code, uint8_t p)
{
    switch (code) {
    case 0: return p;
    case 1: return p - p / 8;
    case 2: return p - p / 4;
    case 3: return p / 2 + p / 8;
    case 4: return p >> 1;
    case 5: return p / 2 - p / 8;
    case 6: return p >> 2;
    default: return fill_levels[(code & 15) - 7];
    }
}

uint16_t shade_apply_rgb565(uint8_t code, uint16_t p)
{
    switch (code) {
    case 0: return p;
    case 1: return p - q8(p);
    case 2: return p - q4(p);
    case 3: return q2(p) + q8(p);
    case 4: return q2(p);
    case 5: return q2(p) - q8(p);
    case 6: return q4(p);
    default: return fill_rgb565[(code & 15) - 7];
    }
}

void shade_blit_y8(const OverlayItem *item, uint8_t *frame, uint32_t line, uint32_t height)
{
    const ShadeTable &t = shade_table();
    shade_walk(item, line, height, [&](uint8_t code, int64_t fx, int64_t fy, int64_t n) {
        uint8_t *q = frame + fy * line + fx;
        const uint8_t *lut = t.v[code];
        for (int64_t i = 0; i < n; i++)
            q[i] = lut[q[i]];
    });
}

void shade_blit_uyvy(const OverlayItem *item, uint8_t *frame, uint32_t line, uint32_t height)
{
    const ShadeTable &t = shade_table();
    shade_walk(item, line / 2, height, [&](uint8_t code, int64_t fx, int64_t fy, int64_t n) {
        uint8_t *q = frame + fy * line + fx * 2 + 1;
        const uint8_t *lut = t.v[code];
        for (int64_t i = 0; i < n; i++)
            q[i * 2] = lut[q[i * 2]];
    });
}

void shade_blit_rgb24(const OverlayItem *item, uint8_t *frame, uint32_t line, uint32_t height)
{
    const ShadeTable &t = shade_table();
    shade_walk(item, line / 3, height, [&](uint8_t code, int64_t fx, int64_t fy, int64_t n) {
        uint8_t *q = frame + fy * line + fx * 3;
        const uint8_t *lut = t.v[code];
        for (int64_t i = 0; i < n * 3; i++)
            q[i] = lut[q[i]];
    });
}

void shade_blit_rgb565(const OverlayItem *item, uint8_t *frame, uint32_t line, uint32_t height)
{
    shade_walk(item, line / 2, height, [&](uint8_t code, int64_t fx, int64_t fy, int64_t n) {
        uint8_t *q = frame + fy * line + fx * 2;
        for (int64_t i = 0; i < n; i++) {
            uint16_t p = (uint16_t)(q[i * 2] | q[i * 2 + 1] << 8);
            p = shade_apply_rgb565(code, p);
            q[i * 2] = (uint8_t)p;
            q[i * 2 + 1] = (uint8_t)(p >> 8);
        }
    });
}

namespace {
inline uint8_t blend(uint8_t code, uint8_t p, unsigned opacity)
{
    return (uint8_t)(((code * 16u) * opacity + p * (8u - opacity)) >> 3);
}
} // namespace

void blend_blit_y8(const OverlayItem *item, uint8_t *frame, uint32_t line, uint32_t height)
{
    unsigned op = std::min<unsigned>(item ? item->opacity : 0, 8);
    shade_walk(item, line, height, [&](uint8_t code, int64_t fx, int64_t fy, int64_t n) {
        uint8_t *q = frame + fy * line + fx;
        for (int64_t i = 0; i < n; i++)
            q[i] = blend(code, q[i], op);
    });
}

void blend_blit_uyvy(const OverlayItem *item, uint8_t *frame, uint32_t line, uint32_t height)
{
    unsigned op = std::min<unsigned>(item ? item->opacity : 0, 8);
    shade_walk(item, line / 2, height, [&](uint8_t code, int64_t fx, int64_t fy, int64_t n) {
        uint8_t *q = frame + fy * line + fx * 2 + 1;
        for (int64_t i = 0; i < n; i++)
            q[i * 2] = blend(code, q[i * 2], op);
    });
}

int overlay_draw_item(const OverlayItem *item, int pixel_format, uint8_t *frame, uint32_t line, uint32_t height)
{
    if (!item || !frame)
        return 0;
    bool one_byte = pixel_format != 2 && pixel_format != 3 && pixel_format != 4;
    if (item->kind == OVERLAY_SHADE) {
        if (one_byte)
            shade_blit_y8(item, frame, line, height);
        else if (pixel_format == 2)
            shade_blit_uyvy(item, frame, line, height);
        else if (pixel_format == 3)
            shade_blit_rgb24(item, frame, line, height);
        else
            shade_blit_rgb565(item, frame, line, height);
        return 1;
    }
    if (item->kind == OVERLAY_BLEND) {
        if (one_byte)
            blend_blit_y8(item, frame, line, height);
        else if (pixel_format == 2)
            blend_blit_uyvy(item, frame, line, height);
        else
            return 0;   // no blend on RGB frames
        return 1;
    }
    return 0;
}

void shade_blit_rgb565_attr(const OverlayItem *item, uint16_t *picture, uint32_t line, uint32_t height,
                            uint8_t *attr)
{
    if (!item || !picture || !attr)
        return;
    const uint32_t width = line / 2;
    const uint32_t attr_line = (width + 1) / 2;
    const uint16_t c = item->opacity;
    const uint16_t scaled[8] = {q8(c), q4(c), (uint16_t)(q2(c) - q4(c)), q2(c), (uint16_t)(q2(c) + q4(c)),
                                (uint16_t)(c - q4(c)), (uint16_t)(c - q8(c)), c};
    int64_t last_row = -1;
    shade_walk(item, width, height, [&](uint8_t code, int64_t fx, int64_t fy, int64_t n) {
        if (fy != last_row) {
            if (last_row >= 0 && overlay_verbose)
                log_printf("%d %d %d %d\n", (int)fx, (int)fy, (int)n, (int)last_row);
            last_row = fy;
        }
        uint16_t colour = code < 8 ? 0 : scaled[code - 8];
        uint8_t a = code < 8 ? code : 7;
        for (int64_t i = 0; i < n; i++) {
            int64_t px = fx + i;
            picture[fy * width + px] = colour;
            uint8_t &b = attr[fy * attr_line + px / 2];
            b = (px & 1) ? (uint8_t)((b & 0xf0) | a) : (uint8_t)((b & 0x0f) | a << 4);
        }
    });
}
