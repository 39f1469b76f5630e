// Pacing of decoded pictures by the display thread: each picture is due 50 ms ahead; the error
// is how late (negative: early) it reaches the output's queue. Reports p50 and p99 in
// microseconds.
#include "core/log.h"
#include "core/param.h"
#include "core/soc.h"
#include "core/threads.h"
#include "platform/platform.h"
#include "platform/video_out.h"
#include "video/capture.h"
#include "video/display.h"
#include "video/framecopy.h"
#include "video/osd.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <poll.h>
#include <time.h>
#include <vector>

namespace {

FrameMessage *take(Fifo_Handle f)
{
    struct pollfd p = {Fifo_getFd(f), POLLIN, 0};
    if (poll(&p, 1, 3000) <= 0)
        return nullptr;
    void *m = nullptr;
    Fifo_get_nonblocking(f, &m);
    return static_cast<FrameMessage *>(m);
}

void BM_DisplayPacing(benchmark::State &state)
{
    static ParamBlock params = {};
    static DisplayEnv env = {};
    platform_init();
    log_init();
    dm365mmap_open();
    params.Display.Standard = 5;
    osd_init(&params);
    env.name = "display";
    env.params = &params;
    env.hRendezvousInit = Rendezvous_create(2);
    env.hRendezvousCleanup = Rendezvous_create(2);
    env.colorSpace = ColorSpace_UYVY;
    env.mode = DISPLAY_DECODED;
    env.pacing = 1;
    env.hFromCapture = Fifo_create(&Fifo_Attrs_DEFAULT);
    env.hToCapture = Fifo_create(&Fifo_Attrs_DEFAULT);
    env.hRaw = Fifo_create(&Fifo_Attrs_DEFAULT);
    env.hToOutput = Fifo_create(&Fifo_Attrs_DEFAULT);
    pthread_t t;
    pthread_create(&t, nullptr, displayThrFxn, &env);
    pthread_detach(t);
    Rendezvous_meet(env.hRendezvousInit);
    std::vector<FrameMessage *> recs;
    for (int i = 0; i < DISPLAY_MESSAGES; i++)
        recs.push_back(take(env.hToOutput));
    Buffer_Attrs a = BufferGfx_Attrs_DEFAULT;
    a.dim = {0, 0, 352, 240, 704};
    Buffer_Handle pic = Buffer_create(704 * 240, &a);
    Buffer_setNumBytesUsed(pic, 704 * 240);
    display_clock_base = 0;
    std::vector<double> errors;
    for (auto _ : state) {
        PlatformVideoOut before;
        platform_video_out_state(&before);
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        int64_t due_ns = (int64_t)now.tv_sec * 1000000000ll + now.tv_nsec + 50000000;
        FrameMessage *m = recs[0];
        m->frame = pic;
        m->timestamp = hw_clock_90khz() + 4500 + 3003;
        m->flags = 0;
        Buffer_setUseMask(pic, 2);
        Fifo_put(env.hFromCapture, m);
        recs[0] = take(env.hToOutput);
        PlatformVideoOut after = before;
        for (int i = 0; i < 20000 && after.queued == before.queued; i++) {
            struct timespec ts = {0, 50000};
            nanosleep(&ts, nullptr);
            platform_video_out_state(&after);
        }
        errors.push_back((double)(after.lastQueueNs - due_ns) / 1000.0);
    }
    // The first pictures fill the output's queue before it streams: not pacing.
    errors.erase(errors.begin(), errors.begin() + 5);
    std::sort(errors.begin(), errors.end());
    state.counters["p50_us"] = errors[errors.size() / 2];
    state.counters["p99_us"] = errors[errors.size() * 99 / 100];
}
BENCHMARK(BM_DisplayPacing)->Iterations(100)->Unit(benchmark::kMillisecond);

} // namespace
