// The OSD's built-in fonts, one glyph for each character code 32..255 in code order, most
// significant bit = leftmost pixel, top row first.
#pragma once
#include <cstdint>

enum { OSD_FONT_FIRST = 32, OSD_FONT_GLYPHS = 224 };

extern const uint8_t osd_font_8x13[OSD_FONT_GLYPHS][13];    // one byte a row
extern const uint8_t osd_font_16x16[OSD_FONT_GLYPHS][32];   // 16-bit little-endian rows
