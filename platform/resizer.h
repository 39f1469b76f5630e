// The DM365 resizer driver's private channel configuration, as exchanged through its get and
// set calls on the resizer subdevice. Only the fields the system writes are named; the others
// belong to the driver and are passed back as read.
#pragma once
#include <cstdint>
#include <linux/ioctl.h>

enum { RSZ_PIX_FMT_UYVY = 5, RSZ_PIX_FMT_NV12 = 9 };

struct rsz_output_spec {
    uint8_t enable;
    uint8_t pix_fmt;
    uint8_t h_flip;
    uint8_t v_flip;
    uint32_t width;
    uint32_t height;
    uint32_t vst_y;             // driver's
    uint32_t vst_c;             // driver's
    uint32_t h_typ_y;
    uint32_t h_typ_c;
    uint32_t v_typ_y;
    uint32_t v_typ_c;
    uint8_t en_down_scale;
    uint8_t reserved[3];
    uint32_t h_avg_size;
    uint32_t v_avg_size;
    uint32_t line_length;
    uint32_t crop_x, crop_y, crop_width, crop_height;
};

struct rsz_single_shot_config {
    uint32_t image_width;
    uint32_t image_height;
    uint32_t line_pitch;
    uint32_t line_pitch_c;      // 0: chroma follows the luma pitch
    uint32_t ppln;
    uint32_t lpfr;
    uint8_t clk_div_n;
    uint8_t clk_div_m;
    uint8_t reserved[2];
    uint32_t chroma_sample_even;
    uint32_t pix_fmt;
    rsz_output_spec output1;
    rsz_output_spec output2;
    uint32_t driver_private[16];  // ranges, chroma positions, filters: the driver's
};
static_assert(sizeof(rsz_single_shot_config) == 236, "resizer record size");

struct rsz_channel_config {
    uint8_t oper_mode;          // 0 one-shot
    uint8_t chain;
    uint16_t len;               // 0 loads the driver's defaults
    void *config;
};

#define RSZ_S_CONFIG _IOWR('R', 2, struct rsz_channel_config)
#define RSZ_G_CONFIG _IOWR('R', 3, struct rsz_channel_config)
