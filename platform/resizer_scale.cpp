#include "platform/resizer_scale.h"

#include <algorithm>
#include <cstring>
extern "C" {
#include <libswscale/swscale.h>
}

namespace {
void mirror_rows(uint8_t *base, int rows, int line, int bytes, int unit)
{
    for (int r = 0; r < rows; r++) {
        uint8_t *row = base + (size_t)r * line;
        for (int a = 0, b = bytes - unit; a < b; a += unit, b -= unit)
            for (int k = 0; k < unit; k++)
                std::swap(row[a + k], row[b + k]);
    }
}

// UYVY pairs: mirror the macropixels, then swap the two lumas inside each.
void mirror_uyvy(uint8_t *base, int rows, int line, int width)
{
    mirror_rows(base, rows, line, (width & ~1) * 2, 4);
    for (int r = 0; r < rows; r++) {
        uint8_t *row = base + (size_t)r * line;
        for (int x = 0; x + 1 < width; x += 2)
            std::swap(row[2 * x + 1], row[2 * x + 3]);
    }
}
} // namespace

int resizer_scale(ResizerScaler *s, const uint8_t *src, int sw, int sh, int spitch, uint8_t *dst, int dw,
                  int dh, int dline, bool nv12, bool hflip, bool vflip)
{
    if (sw < 2 || sh < 1 || dw < 2 || dh < 2)
        return -1;
    AVPixelFormat out = nv12 ? AV_PIX_FMT_NV12 : AV_PIX_FMT_UYVY422;
    s->ctx = sws_getCachedContext(s->ctx, sw, sh, AV_PIX_FMT_UYVY422, dw, dh, out, SWS_BILINEAR, nullptr,
                                  nullptr, nullptr);
    if (!s->ctx)
        return -1;
    // A vertical flip reads the source bottom up.
    const uint8_t *in[4] = {vflip ? src + (size_t)(sh - 1) * spitch : src, nullptr, nullptr, nullptr};
    int in_stride[4] = {vflip ? -spitch : spitch, 0, 0, 0};
    uint8_t *outp[4] = {dst, nv12 ? dst + (size_t)dline * dh : nullptr, nullptr, nullptr};
    int out_stride[4] = {dline, nv12 ? dline : 0, 0, 0};
    if (sws_scale(s->ctx, in, in_stride, 0, sh, outp, out_stride) != dh)
        return -1;
    if (hflip) {
        if (nv12) {
            mirror_rows(dst, dh, dline, dw, 1);
            mirror_rows(dst + (size_t)dline * dh, dh / 2, dline, dw & ~1, 2);
        } else {
            mirror_uyvy(dst, dh, dline, dw);
        }
    }
    return 0;
}

void resizer_scaler_free(ResizerScaler *s)
{
    sws_freeContext(s->ctx);
    s->ctx = nullptr;
}
