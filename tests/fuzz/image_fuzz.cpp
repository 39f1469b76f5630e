// Overlay pictures arrive as files: the BMP and PNG readers, the overlay run-length decoder fed
// in pieces and the shade blitters must stay inside their inputs and outputs whatever the bytes.
#include "video/image.h"
#include "video/overlay.h"

#include <cstdint>
#include <cstring>
#include <vector>

namespace {
void sink(ImageRowTarget *t, const uint8_t *row, int bpp)
{
    // Touch every byte the reader promises.
    unsigned *sum = (unsigned *)t->user;
    for (size_t i = 0; i < (size_t)t->width * bpp; i++)
        *sum += row[i];
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 3)
        return 0;
    uint8_t what = data[0] % 4, a = data[1], b = data[2];
    data += 3;
    size -= 3;
    std::vector<uint8_t> in(data, data + size);   // exact size, so ASan sees overreads
    unsigned sum = 0;
    ImageRowTarget t{};
    t.background = (uint16_t)(a << 8 | b);
    t.user = &sum;
    switch (what) {
    case 0: {
        bmp_read_rows(in.data(), in.size(), &t, sink);
        ShadeRleImage s{};
        if (bmp_to_shade(in.data(), in.size(), &s) == 0)
            shade_free(&s);
        OverlayImage *pic = overlay_image_new(1 + a % 40, 1 + b % 40);
        OverlayRect r = {(int8_t)a, (int8_t)b, 0, 0};
        bmp_to_overlay(in.data(), in.size(), pic, &r);
        overlay_image_free(pic);
        break;
    }
    case 1: {
        png_read_rows(in.data(), in.size(), &t, sink);
        ShadeRleImage s{};
        s.mode = a & 2;
        if (png_to_shade(in.data(), in.size(), &s) == 0)
            shade_free(&s);
        OverlayImage *pic = overlay_image_new(1 + a % 40, 1 + b % 40);
        OverlayRect r = {(int8_t)a, (int8_t)b, 0, 0};
        png_to_overlay(in.data(), in.size(), pic, &r);
        overlay_image_free(pic);
        break;
    }
    case 2: {
        OverlayImage *img = overlay_image_new(1 + a % 64, 1 + b % 64);
        OverlayRleState st;
        overlay_rle_state_init(&st, img);
        size_t piece = 1 + a % 7, off = 0;
        std::vector<uint8_t> pending;
        while (off < in.size() && !st.done) {
            size_t n = std::min(piece, in.size() - off);
            pending.insert(pending.end(), in.begin() + off, in.begin() + off + n);
            off += n;
            size_t used = overlay_rle_decode(pending.data(), pending.size(), &st);
            pending.erase(pending.begin(), pending.begin() + used);
        }
        overlay_image_free(img);
        break;
    }
    default: {
        // The bytes as a shade image somewhere around a small frame of each layout.
        OverlayItem it{};
        it.data = in.data();
        it.size = (uint32_t)in.size();
        it.x = (int8_t)a;
        it.y = (int8_t)b;
        it.width = 1 + a % 50;
        it.height = 1 + b % 50;
        it.opacity = a;
        const uint32_t w = 33, h = 21;
        for (int fmt : {0, 2, 3, 4}) {
            uint32_t bpp = fmt == 0 ? 1 : fmt == 3 ? 3 : 2;
            std::vector<uint8_t> frame(w * bpp * h);
            it.kind = OVERLAY_SHADE;
            overlay_draw_item(&it, fmt, frame.data(), w * bpp, h);
            it.kind = OVERLAY_BLEND;
            overlay_draw_item(&it, fmt, frame.data(), w * bpp, h);
        }
        std::vector<uint16_t> pic(w * h);
        std::vector<uint8_t> attr((w + 1) / 2 * h);
        shade_blit_rgb565_attr(&it, pic.data(), w * 2, h, attr.data());
        break;
    }
    }
    return 0;
}
