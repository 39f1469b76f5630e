// Encoder throughput at 720x480 per codec, and both channels at once under codec_mutex as the
// encoder threads run them, with each thread's CPU share.
#include "core/threads.h"
#include "platform/codec.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <ctime>
#include <pthread.h>
#include <thread>
#include <vector>

namespace {

const int W = 720, H = 480, PITCH = 736, PICTURES = 30;

struct Pictures {
    std::vector<std::vector<uint8_t>> nv12, uyvy;
    Pictures()
    {
        for (int n = 0; n < PICTURES; n++) {
            std::vector<uint8_t> p((size_t)PITCH * H * 3 / 2), u((size_t)W * 2 * H);
            for (int y = 0; y < H; y++) {
                for (int x = 0; x < W; x++) {
                    int v = ((x + 4 * n) / 8 * 13 + (y + 2 * n) / 8 * 7) % 200 + ((x * 7 + y * 13) & 3);
                    bool box = x >= 40 + 6 * n && x < 120 + 6 * n && y > 100 && y < 220;
                    p[(size_t)y * PITCH + x] = (uint8_t)(box ? 235 : 16 + v);
                    u[(size_t)y * W * 2 + 2 * x + 1] = (uint8_t)(box ? 235 : 16 + v);
                    u[(size_t)y * W * 2 + 2 * x] = (uint8_t)(100 + (x + n) % 50);
                }
            }
            memset(p.data() + (size_t)PITCH * H, 128, (size_t)PITCH * H / 2);
            nv12.push_back(std::move(p));
            uyvy.push_back(std::move(u));
        }
    }
};

const Pictures &pictures()
{
    static Pictures p;
    return p;
}

struct Video {
    Engine_Handle engine = Engine_open("encode", nullptr, nullptr);
    VIDENC1_Handle h = nullptr;
    std::vector<uint8_t> out = std::vector<uint8_t>(0x100000);
    int n = 0;

    explicit Video(bool h264)
    {
        IH264VENC_Params hp{};
        IMPEG4VENC_Params mp{};
        VIDENC1_Params &b = h264 ? hp.videncParams : mp.videncParams;
        b.size = h264 ? sizeof hp : sizeof mp;
        b.encodingPreset = 3;
        b.rateControlPreset = h264 ? IVIDEO_USER_DEFINED : IVIDEO_LOW_DELAY;
        b.maxHeight = 600;
        b.maxWidth = 800;
        b.maxFrameRate = h264 ? 60000 : 30000;
        b.maxBitRate = h264 ? 50000000 : 20000000;
        b.dataEndianness = XDM_BYTE;
        b.maxInterFrameInterval = 1;
        b.inputChromaFormat = b.reconChromaFormat = XDM_YUV_420SP;
        hp.profileIdc = 100;
        hp.levelIdc = 30;
        hp.entropyMode = 1;
        hp.seqScalingFlag = 1;
        mp.aspectRatioCode = 1;
        h = VIDENC1_create(engine, h264 ? "h264enc" : "mpeg4enc", &b);
        IH264VENC_DynamicParams hd{};
        IMPEG4VENC_DynamicParams md{};
        VIDENC1_DynamicParams &d = h264 ? hd.videncDynamicParams : md.videncDynamicParams;
        d.size = h264 ? sizeof hd : sizeof md;
        d.inputWidth = W;
        d.inputHeight = H;
        d.refFrameRate = d.targetFrameRate = h264 ? 30000 : 29970;
        d.targetBitRate = 2000000;
        d.intraFrameInterval = 30;
        d.captureWidth = PITCH;
        d.forceFrame = -1;
        hd.idrFrameInterval = 30;
        hd.intraFrameQP = hd.interPFrameQP = 28;
        hd.rcQMax = hd.rcQMaxI = 51;
        hd.rcAlgo = IH264VENC_RC_CBR_STRICT;
        hd.maxDelay = 1000;
        const XDAS_Int32 ext[15] = {0, 0, 8, 8, 0, 0, 0, 8, 31, 2, 1000, 8, 0, 1, 0};
        memcpy(&md.mvDataEnable, ext, sizeof ext);
        VIDENC1_Status st{};
        st.size = sizeof st;
        VIDENC1_control(h, XDM_SETPARAMS, &d, &st);
    }
    ~Video()
    {
        VIDENC1_delete(h);
        Engine_close(engine);
    }
    int encode()
    {
        const std::vector<uint8_t> &p = pictures().nv12[n++ % PICTURES];
        IVIDEO1_BufDescIn in{};
        in.numBufs = 2;
        in.frameWidth = W;
        in.frameHeight = H;
        in.framePitch = PITCH;
        in.bufDesc[0] = {(uint8_t *)p.data(), PITCH * H, 0};
        in.bufDesc[1] = {(uint8_t *)p.data() + PITCH * H, PITCH * H / 2, 0};
        uint8_t *bufs[1] = {out.data()};
        XDAS_Int32 sizes[1] = {(XDAS_Int32)out.size()};
        XDM_BufDesc ob{bufs, 1, sizes};
        VIDENC1_InArgs ia{sizeof ia, 1, 1};
        VIDENC1_OutArgs oa{};
        oa.size = sizeof oa;
        return VIDENC1_process(h, &in, &ob, &ia, &oa) == XDM_EOK ? oa.bytesGenerated : -1;
    }
};

struct Jpeg {
    Engine_Handle engine = Engine_open("encode", nullptr, nullptr);
    IMGENC1_Handle h;
    std::vector<uint8_t> out = std::vector<uint8_t>(0x100000);
    int n = 0;
    Jpeg()
    {
        IMGENC1_Params p{sizeof p, 600, 800, 0, XDM_BYTE, XDM_YUV_422P};
        h = IMGENC1_create(engine, "jpegenc", &p);
        IMGENC1_DynamicParams d{sizeof d, 0, XDM_YUV_422ILE, H, W, W, 0, 75};
        IMGENC1_Status st{};
        st.size = sizeof st;
        IMGENC1_control(h, XDM_SETPARAMS, &d, &st);
    }
    ~Jpeg()
    {
        IMGENC1_delete(h);
        Engine_close(engine);
    }
    int encode()
    {
        const std::vector<uint8_t> &p = pictures().uyvy[n++ % PICTURES];
        XDM1_BufDesc in{}, ob{};
        in.numBufs = 1;
        in.descs[0] = {(uint8_t *)p.data(), (XDAS_Int32)p.size(), 0};
        ob.numBufs = 1;
        ob.descs[0] = {out.data(), (XDAS_Int32)out.size(), 0};
        IMGENC1_InArgs ia{sizeof ia};
        IMGENC1_OutArgs oa{};
        oa.size = sizeof oa;
        return IMGENC1_process(h, &in, &ob, &ia, &oa) == XDM_EOK ? oa.bytesGenerated : -1;
    }
};

template <class Enc>
void run_single(benchmark::State &state, Enc &enc)
{
    pictures();
    int64_t bytes = 0;
    for (auto _ : state) {
        int n = enc.encode();
        if (n < 0) {
            state.SkipWithError("encode failed");
            break;
        }
        bytes += n;
    }
    state.counters["fps"] = benchmark::Counter((double)state.iterations(), benchmark::Counter::kIsRate);
    state.counters["kbit_per_frame"] = state.iterations() ? bytes * 8.0 / 1000 / state.iterations() : 0;
}

void BM_H264Encode720x480(benchmark::State &state)
{
    Video v(true);
    run_single(state, v);
}
BENCHMARK(BM_H264Encode720x480)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Mpeg4Encode720x480(benchmark::State &state)
{
    Video v(false);
    run_single(state, v);
}
BENCHMARK(BM_Mpeg4Encode720x480)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_JpegEncode720x480(benchmark::State &state)
{
    Jpeg j;
    run_single(state, j);
}
BENCHMARK(BM_JpegEncode720x480)->Unit(benchmark::kMillisecond)->UseRealTime();

double thread_cpu_seconds()
{
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

double wall_seconds()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

// Both channels flat out, every encode under codec_mutex as in the encoder threads. Channel A
// H.264, channel B H.264 (arg 0) or JPEG (arg 1). The pair sustains fps_pair frames per second
// per channel; cpu_a and cpu_b are each thread's share of one core.
void BM_TwoChannels720x480(benchmark::State &state)
{
    pictures();
    const int frames = 90;
    bool jpegB = state.range(0) == 1;
    double fps = 0, cpuA = 0, cpuB = 0;
    for (auto _ : state) {
        Video a(true);
        Video bv(true);
        Jpeg bj;
        double cpu[2] = {0, 0};
        double t0 = wall_seconds();
        auto worker = [&](int ch) {
            double c0 = thread_cpu_seconds();
            for (int i = 0; i < frames; i++) {
                pthread_mutex_lock(&codec_mutex);
                if (ch == 0)
                    a.encode();
                else if (jpegB)
                    bj.encode();
                else
                    bv.encode();
                pthread_mutex_unlock(&codec_mutex);
            }
            cpu[ch] = thread_cpu_seconds() - c0;
        };
        std::thread ta(worker, 0), tb(worker, 1);
        ta.join();
        tb.join();
        double wall = wall_seconds() - t0;
        fps = frames / wall;
        cpuA = cpu[0] / wall;
        cpuB = cpu[1] / wall;
    }
    state.counters["fps_pair"] = fps;
    state.counters["cpu_a"] = cpuA;
    state.counters["cpu_b"] = cpuB;
    state.counters["cpu_a_at_29.97"] = cpuA * 29.97 / fps;
    state.counters["cpu_b_at_29.97"] = cpuB * 29.97 / fps;
}
BENCHMARK(BM_TwoChannels720x480)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);

} // namespace
