// Work the capture loop does per frame at 720 x 480: both resizes and the copy-engine copy.
// Compare the time per iteration with the NTSC frame interval of 33.4 ms.
#include "platform/capture_sim.h"
#include "platform/dmai.h"
#include "platform/platform.h"
#include "platform/resizer_scale.h"
#include "video/framecopy.h"

#include <benchmark/benchmark.h>

namespace {

Buffer_Handle picture(size_t size, ColorSpace_Type cs, BufferGfx_Dimensions dim)
{
    Buffer_Attrs attrs = BufferGfx_Attrs_DEFAULT;
    attrs.colorSpace = cs;
    Buffer_Handle b = Buffer_create(size, &attrs);
    BufferGfx_setDimensions(b, &dim);
    return b;
}

void BM_CaptureFrame(benchmark::State &state)
{
    platform_init();
    dm365mmap_open();
    const size_t size = 720 * 576 * 2;
    Buffer_Handle cap = picture(size, ColorSpace_UYVY, {0, 0, 720, 480, 1440});
    Buffer_Handle a = picture(size, ColorSpace_YUV420PSEMI, {0, 0, 720, 480, 736});
    Buffer_Handle b = picture(size, ColorSpace_YUV420PSEMI, {0, 0, 352, 240, 352});
    Buffer_Handle c = picture(size, ColorSpace_UYVY, {0, 0, 720, 480, 1440});
    capture_picture_draw(Buffer_getUserPtr(cap), 720, 480, 1440, 1);
    Framecopy_Attrs attrs = {true};
    Framecopy_Handle fc = Framecopy_create(&attrs);
    Framecopy_config(fc, cap, c);
    ResizerScaler sa = {}, sb = {};
    for (auto _ : state) {
        resizer_scale(&sa, Buffer_getUserPtr(cap), 720, 480, 1440, Buffer_getUserPtr(a), 720, 480, 736, true, false, false);
        resizer_scale(&sb, Buffer_getUserPtr(cap), 720, 480, 1440, Buffer_getUserPtr(b), 352, 240, 352, true, false, false);
        Framecopy_accel_execute2(fc, cap, c);
        benchmark::ClobberMemory();
    }
    resizer_scaler_free(&sa);
    resizer_scaler_free(&sb);
    Framecopy_delete(fc);
    for (Buffer_Handle x : {cap, a, b, c})
        Buffer_delete(x);
}
BENCHMARK(BM_CaptureFrame)->Unit(benchmark::kMillisecond);

} // namespace
