// EDID reader: walks a base block and one CEA-861 extension, prints every field in readable
// form and collects the video modes it finds. A diagnostic tool: the display takes its standard
// from the settings. The bytes come from a monitor, so every read is bounded by the given
// length and by its block.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

struct EdidMode {
    uint16_t width, height;
    uint8_t refresh;       // Hz
    uint8_t flags;         // bit 0 interlaced
};
enum { EDID_MODES = 64 };
extern EdidMode edid_modes[EDID_MODES];

struct EdidRange {
    int min_v_hz, max_v_hz, min_h_khz, max_h_khz;
    int max_clock_10mhz;
};
extern EdidRange edid_range;

// Nothing is printed until a stream is set; the mode list is filled all the same.
void edid_set_output(FILE *stream);
// Clears the mode list, prints the decode and fills the list. 0, or -1 for input shorter than a
// base block.
int edid_dump(const uint8_t *edid, size_t length);
int edid_find_mode(int width, int height, int refresh, int interlaced);
void edid_add_mode(unsigned width, unsigned height, unsigned refresh, int interlaced, int preferred);
void edid_clear_modes();

// Bit cursor over the input of the running dump (most significant bit first).
void edid_set_input(const uint8_t *edid, size_t length);
unsigned long edid_read_bits(int n);
int edid_check_bits(int n, unsigned long expected);

// "correct", or "incorrect, should be 0x%02x\n" with the byte that would make the sum 0.
const char *edid_checksum_text(const uint8_t *block, size_t length);
