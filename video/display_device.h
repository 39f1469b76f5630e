// The display thread's output device and standards, shared by its two files.
#pragma once
#include "platform/dmai.h"

#include <cstdint>

// A standard number of Display.Standard as the output takes it.
struct DisplayStandard {
    const char *name;
    uint32_t preset;            // DV preset; 0 for the analogue standards and those without a mode
    int32_t width, height;
    char scan;                  // 'i' or 'p'
    int rate;
};
DisplayStandard display_standard(int n);
bool display_has_output_mode(int n);

struct DisplayDevice {
    int fd;                     // -1 when none is open
    BufTab_Handle tab;          // the buffers queued on it
    int queued;                 // buffers queued since it was made, up to count
    int count;
};

// Opens and sets up the output for the standard and colour space (2 UYVY, 0 420SP) with frames
// of width x height and the given line length. S_OUTPUT and REQBUFS failures are retried every
// 100 ms until quit. 0, or -1 on a fatal error.
int display_device_create(DisplayDevice *d, int std, int cs, int32_t width, int32_t height, int32_t line);
// VIDIOC_QBUF of one of the table's buffers; the queue that fills the table starts streaming.
int display_queue_buffer(DisplayDevice *d, Buffer_Handle b);
int Display_delete(DisplayDevice *d);
