// The simulated resizer's scaling: flips mirror the picture exactly.
#include "platform/capture_sim.h"
#include "platform/resizer_scale.h"

#include <cstring>
#include <gtest/gtest.h>
#include <vector>

namespace {
struct Scaler {
    ResizerScaler s = {};
    ~Scaler() { resizer_scaler_free(&s); }
};
} // namespace

TEST(Resizer, HorizontalFlipMirrorsUyvyPairs)
{
    std::vector<uint8_t> src(720 * 480 * 2), plain(src.size()), flipped(src.size());
    capture_picture_draw(src.data(), 720, 480, 1440, 77);
    Scaler a, b;
    ASSERT_EQ(resizer_scale(&a.s, src.data(), 720, 480, 1440, plain.data(), 720, 480, 1440, false, false, false), 0);
    ASSERT_EQ(resizer_scale(&b.s, src.data(), 720, 480, 1440, flipped.data(), 720, 480, 1440, false, true, false), 0);
    for (int y = 0; y < 480; y += 7)
        for (int x = 0; x < 720; x++)
            ASSERT_EQ(flipped[y * 1440 + 2 * x + 1], plain[y * 1440 + 2 * (719 - x) + 1]) << x << "," << y;
}

TEST(Resizer, VerticalFlipTurnsNv12Upside)
{
    std::vector<uint8_t> src(720 * 480 * 2);
    capture_picture_draw(src.data(), 720, 480, 1440, 1234);
    std::vector<uint8_t> plain(368 * 240 * 3 / 2), flipped(plain.size());
    Scaler a, b;
    ASSERT_EQ(resizer_scale(&a.s, src.data(), 720, 480, 1440, plain.data(), 360, 240, 368, true, false, false), 0);
    ASSERT_EQ(resizer_scale(&b.s, src.data(), 720, 480, 1440, flipped.data(), 360, 240, 368, true, false, true), 0);
    EXPECT_EQ(capture_picture_frame_number(plain.data(), 360, 240, 368, 1), 1234);
    for (int y = 0; y < 240; y++)
        ASSERT_EQ(0, memcmp(&flipped[y * 368], &plain[(239 - y) * 368], 360)) << y;
    for (int y = 0; y < 120; y++)
        ASSERT_EQ(0, memcmp(&flipped[368 * 240 + y * 368], &plain[368 * 240 + (119 - y) * 368], 360)) << y;
}
