// The memory-to-memory scaling of the simulated resizer.
#pragma once
#include <cstdint>

struct SwsContext;

struct ResizerScaler {
    SwsContext *ctx;
};

// Scales a UYVY picture (sw x sh, spitch bytes a line) into NV12 (luma lines of dline bytes,
// chroma plane right after dline x dh bytes) or UYVY. Flips mirror the output. 0 or -1.
int resizer_scale(ResizerScaler *s, const uint8_t *src, int sw, int sh, int spitch, uint8_t *dst, int dw,
                  int dh, int dline, bool nv12, bool hflip, bool vflip);
void resizer_scaler_free(ResizerScaler *s);
