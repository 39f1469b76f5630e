// A full-frame 720x576 shade image blitted into each frame layout, once per frame.
#include "video/overlay.h"

#include <benchmark/benchmark.h>

#include <random>
#include <vector>

namespace {
const int W = 720, H = 576;

// Runs of mixed lengths and codes covering the whole frame, as a logo mask would.
std::vector<uint8_t> full_frame_rle()
{
    std::mt19937 rng(1);
    std::vector<uint8_t> v;
    size_t left = (size_t)W * H;
    while (left) {
        size_t len = std::min<size_t>(left, 1 + rng() % 200);
        uint8_t code = 1 + rng() % 15;
        if (len < 16)
            v.push_back((uint8_t)(code << 4 | len));
        else {
            v.push_back((uint8_t)(code << 4));
            v.push_back((uint8_t)(len - 16));
        }
        left -= len;
    }
    return v;
}

void blit(benchmark::State &state, int format, int bpp)
{
    static std::vector<uint8_t> rle = full_frame_rle();
    OverlayItem it{};
    it.data = rle.data();
    it.size = (uint32_t)rle.size();
    it.width = W;
    it.height = H;
    it.kind = OVERLAY_SHADE;
    std::vector<uint8_t> frame((size_t)W * bpp * H, 128);
    for (auto _ : state) {
        overlay_draw_item(&it, format, frame.data(), W * bpp, H);
        benchmark::DoNotOptimize(frame.data());
    }
    state.SetItemsProcessed(state.iterations());
}
} // namespace

BENCHMARK_CAPTURE(blit, luma_plane, 0, 1)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(blit, uyvy, 2, 2)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(blit, rgb24, 3, 3)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(blit, rgb565, 4, 2)->Unit(benchmark::kMicrosecond);
