// Overlay blitters against a reference that expands the run-length bytes pixel by pixel. Frames
// are allocated to their exact size, so any write past an edge shows under ASan.
#include "video/image.h"
#include "video/overlay.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

namespace {
struct Rle {
    std::vector<uint8_t> bytes;
    std::vector<uint8_t> codes;   // one per image pixel
};

// Random runs (short, long and row-crossing) over a w x h image.
Rle make_rle(int w, int h, unsigned seed)
{
    std::mt19937 rng(seed);
    Rle r;
    size_t total = (size_t)w * h;
    while (r.codes.size() < total) {
        uint8_t code = rng() % 16;
        size_t len = rng() % 4 == 0 ? 16 + rng() % 256 : 1 + rng() % 15;
        len = std::min(len, total - r.codes.size());
        if (len < 16)
            r.bytes.push_back((uint8_t)(code << 4 | len));
        else {
            r.bytes.push_back((uint8_t)(code << 4));
            r.bytes.push_back((uint8_t)(len - 16));
        }
        r.codes.insert(r.codes.end(), len, code);
    }
    return r;
}

OverlayItem item_for(const Rle &r, int x, int y, int w, int h, uint32_t kind = OVERLAY_SHADE)
{
    OverlayItem it{};
    it.data = r.bytes.data();
    it.size = (uint32_t)r.bytes.size();
    it.x = x;
    it.y = y;
    it.width = w;
    it.height = h;
    it.kind = kind;
    it.opacity = 5;
    return it;
}

// The expected frame: every visible image pixel with its code applied by fn.
template <typename Fn>
void reference(const Rle &r, int x, int y, int w, int h, int fw, int fh, Fn fn)
{
    for (int iy = 0; iy < h; iy++)
        for (int ix = 0; ix < w; ix++) {
            int fx = x + ix, fy = y + iy;
            if (fx < 0 || fy < 0 || fx >= fw || fy >= fh)
                continue;
            fn(r.codes[(size_t)iy * w + ix], fx, fy);
        }
}

std::vector<uint8_t> pattern(size_t n)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; i++)
        v[i] = (uint8_t)(i * 7 + 3);
    return v;
}

struct Placement {
    int x, y;
};
// Inside, clipped at every edge and corner, and wholly outside.
const Placement placements[] = {{5, 4},   {-10, 3}, {50, 2},  {7, -6},   {9, 30},   {-13, -9},
                                {60, 35}, {-40, 0}, {0, -30}, {100, 10}, {0, 100}, {0, 0}};
const int FW = 64, FH = 40, IW = 23, IH = 17;
} // namespace

TEST(Overlay, ShadeAndBlendBlitsMatchTheReferenceAtEveryClip)
{
    Rle r = make_rle(IW, IH, 11);
    for (const Placement &p : placements) {
        SCOPED_TRACE(testing::Message() << "at " << p.x << "," << p.y);
        OverlayItem it = item_for(r, p.x, p.y, IW, IH);

        std::vector<uint8_t> y8 = pattern(FW * FH), want = y8;
        shade_blit_y8(&it, y8.data(), FW, FH);
        reference(r, p.x, p.y, IW, IH, FW, FH, [&](uint8_t c, int fx, int fy) {
            want[fy * FW + fx] = shade_apply(c, want[fy * FW + fx]);
        });
        EXPECT_EQ(y8, want);

        std::vector<uint8_t> uyvy = pattern(FW * 2 * FH), want2 = uyvy;
        shade_blit_uyvy(&it, uyvy.data(), FW * 2, FH);
        reference(r, p.x, p.y, IW, IH, FW, FH, [&](uint8_t c, int fx, int fy) {
            uint8_t &b = want2[fy * FW * 2 + fx * 2 + 1];
            b = shade_apply(c, b);
        });
        EXPECT_EQ(uyvy, want2);

        std::vector<uint8_t> rgb = pattern(FW * 3 * FH), want3 = rgb;
        shade_blit_rgb24(&it, rgb.data(), FW * 3, FH);
        reference(r, p.x, p.y, IW, IH, FW, FH, [&](uint8_t c, int fx, int fy) {
            for (int k = 0; k < 3; k++)
                want3[fy * FW * 3 + fx * 3 + k] = shade_apply(c, want3[fy * FW * 3 + fx * 3 + k]);
        });
        EXPECT_EQ(rgb, want3);

        std::vector<uint8_t> r565 = pattern(FW * 2 * FH), want4 = r565;
        shade_blit_rgb565(&it, r565.data(), FW * 2, FH);
        reference(r, p.x, p.y, IW, IH, FW, FH, [&](uint8_t c, int fx, int fy) {
            uint8_t *q = &want4[fy * FW * 2 + fx * 2];
            uint16_t v = shade_apply_rgb565(c, (uint16_t)(q[0] | q[1] << 8));
            q[0] = (uint8_t)v;
            q[1] = (uint8_t)(v >> 8);
        });
        EXPECT_EQ(r565, want4);

        it.kind = OVERLAY_BLEND;
        std::vector<uint8_t> by = pattern(FW * FH), wantb = by;
        blend_blit_y8(&it, by.data(), FW, FH);
        reference(r, p.x, p.y, IW, IH, FW, FH, [&](uint8_t c, int fx, int fy) {
            uint8_t &b = wantb[fy * FW + fx];
            if (c)
                b = (uint8_t)(((c * 16) * 5 + b * 3) >> 3);
        });
        EXPECT_EQ(by, wantb);

        std::vector<uint8_t> bu = pattern(FW * 2 * FH), wantu = bu;
        blend_blit_uyvy(&it, bu.data(), FW * 2, FH);
        reference(r, p.x, p.y, IW, IH, FW, FH, [&](uint8_t c, int fx, int fy) {
            uint8_t &b = wantu[fy * FW * 2 + fx * 2 + 1];
            if (c)
                b = (uint8_t)(((c * 16) * 5 + b * 3) >> 3);
        });
        EXPECT_EQ(bu, wantu);
    }
}

TEST(Overlay, ShadeCodesAndRgb565Masks)
{
    EXPECT_EQ(shade_apply(0, 200), 200);
    EXPECT_EQ(shade_apply(1, 200), 175);
    EXPECT_EQ(shade_apply(2, 200), 150);
    EXPECT_EQ(shade_apply(3, 200), 125);
    EXPECT_EQ(shade_apply(4, 200), 100);
    EXPECT_EQ(shade_apply(5, 200), 75);
    EXPECT_EQ(shade_apply(6, 200), 50);
    EXPECT_EQ(shade_apply(7, 200), 16);
    EXPECT_EQ(shade_apply(15, 0), 239);
    EXPECT_EQ(shade_apply_rgb565(4, 0xffff), 0x7bef);
    EXPECT_EQ(shade_apply_rgb565(7, 0x1234), 0x0000);
    EXPECT_EQ(shade_apply_rgb565(15, 0x1234), 0xffff);
    // Halving white never lets a component borrow from its neighbour.
    EXPECT_EQ(shade_apply_rgb565(6, 0xffff), 0x39e7);
}

TEST(Overlay, ImageLeftOfTheFrameDrawsOnlyItsVisibleColumns)
{
    // One row of 40 pixels, all code 7 (set to 16): at x = -10 only columns 10..39 land.
    std::vector<uint8_t> bytes = {0x70, 40 - 16};
    OverlayItem it{};
    it.data = bytes.data();
    it.size = (uint32_t)bytes.size();
    it.x = -10;
    it.width = 40;
    it.height = 1;
    it.kind = OVERLAY_SHADE;
    std::vector<uint8_t> frame(50, 200);
    shade_blit_y8(&it, frame.data(), 50, 1);
    for (int i = 0; i < 50; i++)
        EXPECT_EQ(frame[i], i < 30 ? 16 : 200) << i;
}

TEST(Overlay, BlittersStopAtTheByteCount)
{
    // The item says it holds 2 bytes of a longer stream: only the first run is drawn.
    std::vector<uint8_t> bytes = {0x73, 0x75, 0x7f, 0x7f};
    OverlayItem it{};
    it.data = bytes.data();
    it.size = 1;
    it.width = 20;
    it.height = 1;
    it.kind = OVERLAY_SHADE;
    std::vector<uint8_t> frame(20, 200);
    shade_blit_y8(&it, frame.data(), 20, 1);
    EXPECT_EQ(std::count(frame.begin(), frame.end(), 16), 3);
    // A long-run code cut after its first byte draws nothing further.
    std::vector<uint8_t> cut = {0x70};
    it.data = cut.data();
    it.size = 1;
    std::vector<uint8_t> frame2(20, 200);
    shade_blit_y8(&it, frame2.data(), 20, 1);
    EXPECT_EQ(std::count(frame2.begin(), frame2.end(), 200), 20);
}

TEST(Overlay, BlendDrawsNothingOnRgbFramesAndItemsDispatchByFormat)
{
    std::vector<uint8_t> bytes = {0x9f, 0x9f};
    OverlayItem it{};
    it.data = bytes.data();
    it.size = 2;
    it.width = 10;
    it.height = 3;
    it.kind = OVERLAY_BLEND;
    it.opacity = 8;
    std::vector<uint8_t> rgb(10 * 3 * 3, 50), before = rgb;
    EXPECT_EQ(overlay_draw_item(&it, 3, rgb.data(), 30, 3), 0);
    EXPECT_EQ(overlay_draw_item(&it, 4, rgb.data(), 20, 3), 0);
    EXPECT_EQ(rgb, before);
    std::vector<uint8_t> grey(30, 50);
    EXPECT_EQ(overlay_draw_item(&it, 9, grey.data(), 10, 3), 1);
    EXPECT_EQ(grey[0], 9 * 16);   // full opacity takes the code's level
    it.kind = OVERLAY_EMPTY;
    EXPECT_EQ(overlay_draw_item(&it, 0, grey.data(), 10, 3), 0);
}

TEST(Overlay, Rgb565AttributeBlitAtOddWidthsStaysInsideItsPlanes)
{
    // A 7-pixel-wide picture: 4 attribute bytes a row, the last holding one pixel.
    const int W = 7, H = 3;
    std::vector<uint8_t> bytes = {0x35, 0x94, 0xfc};   // 5 x code 3, 4 x code 9, 12 x code 15
    OverlayItem it{};
    it.data = bytes.data();
    it.size = (uint32_t)bytes.size();
    it.width = W;
    it.height = H;
    it.opacity = 0xf81f;   // magenta: the colour is 16 bits wide
    std::vector<uint16_t> pic(W * H, 0x1111);
    std::vector<uint8_t> attr((W + 1) / 2 * H, 0);
    shade_blit_rgb565_attr(&it, pic.data(), W * 2, H, attr.data());
    EXPECT_EQ(pic[0], 0);
    EXPECT_EQ(attr[0] >> 4, 3);
    EXPECT_EQ(pic[5], 0xf81f >> 2 & 0x39e7);   // code 9
    EXPECT_EQ(pic[W * H - 1], 0xf81f);          // code 15
    EXPECT_EQ(attr[attr.size() - 1] >> 4, 7);
    EXPECT_EQ(attr[attr.size() - 1] & 15, 0);   // the spare nibble is untouched
}

TEST(Overlay, ShadeEncoderCodesLongRunsInTwoBytesAndSplitsBeyond271)
{
    ShadeRleImage img{};
    ASSERT_EQ(shade_begin(&img, 600, 1), 0);
    std::vector<uint8_t> row(600 * 3, 255);
    ASSERT_EQ(shade_put_rgb_row(&img, row.data()), 0);
    ASSERT_EQ(shade_finish(&img), 0);
    // 600 = 271 + 271 + 58
    uint8_t c = shade_code_rgb(row.data()) << 4;
    std::vector<uint8_t> want = {c, 255, c, 255, c, 58 - 16};
    EXPECT_EQ(std::vector<uint8_t>(img.data, img.data + img.size), want);
    shade_free(&img);
}
