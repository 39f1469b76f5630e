// The display thread: drives the video output "/dev/video6" in one of six modes (idle, capture
// pass-through, colour bars, one white flash frame with a beep, decoded pictures, raw decoding
// into the display buffers) and draws the display OSD channel into every frame.
#pragma once
#include "platform/dmai.h"

#include <cstdint>

struct Framecopy_Object;

enum DisplayMode { DISPLAY_IDLE = 0, DISPLAY_PASSTHRU = 1, DISPLAY_COLORBARS = 2, DISPLAY_FLASH = 3,
                   DISPLAY_DECODED = 4, DISPLAY_RAW = 5 };
enum { DISPLAY_BUFFERS = 3, DISPLAY_MESSAGES = 5, DISPLAY_BUFFER_SIZE = 768 * 576 * 2 };

// The output thread's presentation clock base (90 kHz): a decoded picture stamped ts is due
// when the clock reads ts + base.
extern volatile uint32_t display_clock_base;

void *displayThrFxn(void *arg);
void display_wake();

// Black in the buffer's colour space over its whole dimensions. 0 or -1.
int Frame_blackFill(Framecopy_Object *copy, Buffer_Handle buf);

// Name of a standard number as the thread prints it ("NTSC", "720P_60", "other").
const char *display_standard_name(int standard);
