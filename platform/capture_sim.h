// The simulated analogue input of the PC board: what the test picture looks like, and how tests
// switch the decoder's input standard. The board directory file "video/standard" holds "ntsc",
// "pal", "palm" or "none" (no signal); a missing file means "ntsc". While a file
// "video/resizer_fault" exists, the resizer refuses every configuration call. PLATFORM_CAPTURE_CLIP
// names a clip that replaces the test picture.
#pragma once
#include <cstdint>

// Creates the device files and the "/sys/class/video4linux/<node>/name" files of the simulated
// capture hardware in the board directory. Called by platform_init.
void platform_capture_board_init(const char *board_dir);
// Writes the board's input standard ("ntsc", "pal", "palm", "none").
int platform_capture_set_input(const char *standard);

// The moving test picture in UYVY: colour bars, a white block that moves 8 pixels a frame, the
// frame number in digits, and the frame number as a 32-bit black/white code along the bottom.
void capture_picture_draw(uint8_t *uyvy, int width, int height, int line, uint32_t frame);
// Reads the frame-number code back from a luma plane (pixel_step 1 for NV12 luma, 2 for the Y
// bytes of UYVY starting at offset 1). Returns -1 when the code cannot be read.
int64_t capture_picture_frame_number(const uint8_t *luma, int width, int height, int line, int pixel_step);

// A clip looped as the camera's picture. Open returns null (and logs why) when the file holds no
// decodable video; draw writes the next picture, scaled to width x height UYVY, and starts the
// clip again after its last picture; 0 on success.
struct CaptureClip;
CaptureClip *capture_clip_open(const char *path);
int capture_clip_draw(CaptureClip *clip, uint8_t *uyvy, int width, int height, int line);
void capture_clip_close(CaptureClip *clip);
