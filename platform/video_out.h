// The video output "/dev/video6" (the SoC's video processing back end with its DAC) and its
// subdevice "/dev/v4l-subdev6", reached through the V4L2 seam of platform/v4l2.h. Analogue
// standards are set with VIDIOC_S_STD, the HD ones with the DV-preset requests of the board's
// kernel, which current kernel headers no longer carry: they are defined here.
#pragma once
#include <cstdint>
#include <linux/ioctl.h>

struct v4l2_dv_preset {
    uint32_t preset;
    uint32_t reserved[4];
};

#define VIDIOC_S_DV_PRESET _IOWR('V', 83, struct v4l2_dv_preset)
#define VIDIOC_G_DV_PRESET _IOWR('V', 84, struct v4l2_dv_preset)

enum : uint32_t {
    V4L2_DV_INVALID = 0,
    V4L2_DV_480P59_94 = 1,
    V4L2_DV_576P50 = 2,
    V4L2_DV_720P24 = 3,
    V4L2_DV_720P25 = 4,
    V4L2_DV_720P30 = 5,
    V4L2_DV_720P50 = 6,
    V4L2_DV_720P59_94 = 7,
    V4L2_DV_720P60 = 8,
    V4L2_DV_1080I29_97 = 9,
    V4L2_DV_1080I30 = 10,
    V4L2_DV_1080I25 = 11,
    V4L2_DV_1080I50 = 12,
    V4L2_DV_1080I60 = 13,
    V4L2_DV_1080P24 = 14,
    V4L2_DV_1080P25 = 15,
    V4L2_DV_1080P30 = 16,
    V4L2_DV_1080P50 = 17,
    V4L2_DV_1080P60 = 18,
};

// The output capability of this board's kernel: the output takes DV presets.
enum : uint32_t { V4L2_OUT_CAP_PRESETS = 0x00000001 };

// --- test hooks of the simulated output ---
struct PlatformVideoOut {
    int streaming;
    uint32_t width, height, bytesperline, pixelformat;
    uint64_t std;               // the analogue standard set last, 0 for a preset
    uint32_t preset;            // the DV preset set last, 0 for an analogue standard
    uint64_t shown;             // frames put on screen since the process started
    uint64_t queued;            // buffers queued since the process started
    int64_t lastQueueNs;        // CLOCK_MONOTONIC time of the last VIDIOC_QBUF
};
void platform_video_out_state(PlatformVideoOut *state);
// Writes the frame on screen to <board>/video/display_frame.raw and its geometry line
// ("<width> <height> <bytesperline> <fourcc> <std hex> <preset>") to display_frame.txt.
// 0, or -1 when nothing is on screen. The same happens at the next vsync whenever the file
// <board>/video/display_dump exists, which is then removed.
int platform_video_out_dump();
