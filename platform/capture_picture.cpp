// The simulated decoder's test picture. Every part moves or changes with the frame number, so a
// frozen, repeated or torn frame is visible in any picture made from it.
#include "platform/capture_sim.h"

#include <cstring>

namespace {
// UYVY words (bytes U, Y, V, Y) of white, yellow, cyan, green, magenta, red, blue, black.
const uint8_t BARS[8][4] = {{0x80, 0xea, 0x80, 0xea}, {0x31, 0xa7, 0x8a, 0xa7}, {0x9a, 0x8a, 0x31, 0x8a},
                            {0x4c, 0x79, 0x3e, 0x79}, {0xb4, 0x60, 0xc3, 0x60}, {0x66, 0x4f, 0xcf, 0x4f},
                            {0xce, 0x32, 0x73, 0x32}, {0x80, 0x22, 0x80, 0x22}};

// 3 x 5 digit shapes, one row a 3-bit mask.
const uint8_t DIGITS[10][5] = {{7, 5, 5, 5, 7}, {2, 6, 2, 2, 7}, {7, 1, 7, 4, 7}, {7, 1, 7, 1, 7},
                               {5, 5, 7, 1, 1}, {7, 4, 7, 1, 7}, {7, 4, 7, 5, 7}, {7, 1, 1, 1, 1},
                               {7, 5, 7, 5, 7}, {7, 5, 7, 1, 7}};

void fill(uint8_t *row, int x0, int x1, uint8_t y, uint8_t u = 0x80, uint8_t v = 0x80)
{
    for (int x = x0 & ~1; x < x1; x += 2) {
        row[2 * x] = u;
        row[2 * x + 1] = y;
        row[2 * x + 2] = v;
        row[2 * x + 3] = y;
    }
}
} // namespace

void capture_picture_draw(uint8_t *pic, int w, int h, int line, uint32_t frame)
{
    w &= ~1;
    int bars_end = h * 5 / 8, block_end = h * 3 / 4, digits_end = h * 7 / 8;
    for (int y = 0; y < bars_end; y++) {
        uint8_t *row = pic + (size_t)y * line;
        for (int x = 0; x < w; x += 2) {
            const uint8_t *c = BARS[x * 8 / w];
            memcpy(row + 2 * x, c, 4);
        }
    }
    int bw = 48 < w ? 48 : w;
    int span = w - bw > 0 ? w - bw : 1;
    int bx = (int)((frame * 8u) % (uint32_t)span) & ~1;
    for (int y = bars_end; y < block_end; y++) {
        uint8_t *row = pic + (size_t)y * line;
        fill(row, 0, w, 0x40);
        fill(row, bx, bx + bw, 0xeb);
    }
    char text[12];
    uint32_t n = frame;
    for (int i = 7; i >= 0; i--, n /= 10)
        text[i] = (char)('0' + n % 10);
    int band = digits_end - block_end;
    int s = band / 7 > 0 ? band / 7 : 1;
    for (int y = block_end; y < digits_end; y++) {
        uint8_t *row = pic + (size_t)y * line;
        fill(row, 0, w, 0x10);
        int r = (y - block_end) / s - 1;
        if (r < 0 || r > 4)
            continue;
        for (int d = 0; d < 8; d++)
            for (int c = 0; c < 3; c++)
                if (DIGITS[text[d] - '0'][r] & (4 >> c)) {
                    int x0 = s + d * 4 * s + c * s;
                    if (x0 + s <= w)
                        fill(row, x0, x0 + s, 0xeb);
                }
    }
    for (int y = digits_end; y < h; y++) {
        uint8_t *row = pic + (size_t)y * line;
        for (int i = 0; i < 32; i++)
            fill(row, i * w / 32, (i + 1) * w / 32, (frame >> (31 - i)) & 1 ? 0xeb : 0x10);
    }
}

int64_t capture_picture_frame_number(const uint8_t *luma, int w, int h, int line, int step)
{
    int y = h * 15 / 16;
    uint32_t v = 0;
    for (int i = 0; i < 32; i++) {
        int x = (2 * i + 1) * w / 64;
        int l = luma[(size_t)y * line + (size_t)x * step];
        if (l > 0x50 && l < 0xa8)
            return -1;
        v = v << 1 | (l >= 0x80 ? 1u : 0u);
    }
    return v;
}
