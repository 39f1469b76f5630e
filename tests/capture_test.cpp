// The capture thread against the simulated decoder, CCDC and resizer. The test plays both
// encoders (and the display where needed). Each case runs the thread once, so each needs a
// process of its own, as ctest gives it.
#include "core/log.h"
#include "core/param.h"
#include "core/param_table.h"
#include "core/quit.h"
#include "core/threads.h"
#include "platform/capture_dma.h"
#include "platform/capture_sim.h"
#include "platform/platform.h"
#include "testutil.h"
#include "video/capture.h"

#include <cmath>
#include <csignal>
#include <cstring>
#include <gtest/gtest.h>
#include <poll.h>
#include <string>
#include <vector>

namespace {

struct Harness {
    ParamBlock params = {};
    CaptureEnv env = {};
    pthread_t thread = {};
    bool running = false;

    Harness()
    {
        platform_init();
        log_init();
        signal(SIGALRM, alarm_handler);
        params.Capture.Brightness = 128;
        params.Capture.Saturation = 128;
        params.Capture.Contrast = 128;
        params.Capture_AutoGain = 1;
        params.Capture_AutoBrightness = 1;
        env.name = "capture";
        env.hRendezvousInit = Rendezvous_create(2);
        env.hRendezvousCleanup = Rendezvous_create(2);
        env.hToVideoA = Fifo_create(&Fifo_Attrs_DEFAULT);
        env.hFromVideoA = Fifo_create(&Fifo_Attrs_DEFAULT);
        env.hToVideoB = Fifo_create(&Fifo_Attrs_DEFAULT);
        env.hFromVideoB = Fifo_create(&Fifo_Attrs_DEFAULT);
        env.params = &params;
    }
    void start()
    {
        ASSERT_EQ(quit_requested(), 0) << "run each case in a process of its own (ctest does)";
        ASSERT_EQ(pthread_create(&thread, nullptr, captureThrFxn, &env), 0);
        running = true;
        Rendezvous_meet(env.hRendezvousInit);
    }
    ~Harness()
    {
        if (running) {
            quit_set(QUIT_QUIT, false);
            Rendezvous_meet(env.hRendezvousCleanup);
            pthread_join(thread, nullptr);
        }
        Rendezvous_delete(env.hRendezvousInit);
        Rendezvous_delete(env.hRendezvousCleanup);
        for (Fifo_Handle f : {env.hToVideoA, env.hFromVideoA, env.hToVideoB, env.hFromVideoB})
            Fifo_delete(f);
    }
};

FrameMessage *get(Fifo_Handle f, int timeout_ms = 3000)
{
    struct pollfd pfd = {Fifo_getFd(f), POLLIN, 0};
    if (poll(&pfd, 1, timeout_ms) <= 0)
        return nullptr;
    void *m = nullptr;
    if (Fifo_get_nonblocking(f, &m) != Dmai_EOK)
        return nullptr;
    return static_cast<FrameMessage *>(m);
}

// Waits for a log line holding text, from the log position `from` on.
bool wait_log(const std::string &text, int timeout_ms = 5000, uint32_t from = 0)
{
    for (int waited = 0; waited <= timeout_ms; waited += 20) {
        std::string all(LOG_RING_SIZE, '\0');
        uint32_t n = log_ring_read(log_ring_tail(), all.data(), LOG_RING_SIZE);
        all.resize(n);
        if (all.find(text, from) != std::string::npos)
            return true;
        poll(nullptr, 0, 20);
    }
    return false;
}

size_t log_size()
{
    return log_ring_used();
}

void retag(FrameMessage *m, int w, int h, int line, ColorSpace_Type cs)
{
    BufferGfx_Dimensions d = {0, 0, w, h, line};
    BufferGfx_setColorSpace(m->frame, cs);
    ASSERT_EQ(BufferGfx_setDimensions(m->frame, &d), Dmai_EOK);
}

// Plays an encoder that asks for w x h in cs: returns every buffer re-tagged until a picture of
// that size arrives, which it keeps and returns.
FrameMessage *picture_of_size(Harness &h, bool chB, int w, int hgt, int line, ColorSpace_Type cs)
{
    Fifo_Handle to = chB ? h.env.hToVideoB : h.env.hToVideoA, from = chB ? h.env.hFromVideoB : h.env.hFromVideoA;
    for (int i = 0; i < 200; i++) {
        FrameMessage *m = get(to);
        if (!m)
            return nullptr;
        BufferGfx_Dimensions d;
        BufferGfx_getDimensions(m->frame, &d);
        if (m->sequence > 0 && d.width == w && d.height == hgt && BufferGfx_getColorSpace(m->frame) == cs &&
            Buffer_getNumBytesUsed(m->frame) > 0)
            return m;
        retag(m, w, hgt, line, cs);
        Fifo_put(from, m);
    }
    return nullptr;
}

// Bilinear UYVY -> planes, the reference the resizer output is held against.
double sample(const std::vector<uint8_t> &src, int sw, int sh, int comp, double fx, double fy)
{
    // comp 0 luma, 1 U, 2 V; chroma sampled at pixel pairs.
    int cw = comp ? sw / 2 : sw;
    fx = fx < 0 ? 0 : fx > cw - 1 ? cw - 1 : fx;
    fy = fy < 0 ? 0 : fy > sh - 1 ? sh - 1 : fy;
    int x0 = (int)fx, y0 = (int)fy, x1 = x0 + 1 < cw ? x0 + 1 : x0, y1 = y0 + 1 < sh ? y0 + 1 : y0;
    double ax = fx - x0, ay = fy - y0;
    auto at = [&](int x, int y) {
        const uint8_t *row = &src[(size_t)y * sw * 2];
        return comp == 0 ? row[2 * x + 1] : row[4 * x + (comp == 1 ? 0 : 2)];
    };
    return (at(x0, y0) * (1 - ax) + at(x1, y0) * ax) * (1 - ay) + (at(x0, y1) * (1 - ax) + at(x1, y1) * ax) * ay;
}

// Mean absolute difference of luma and chroma against the reference scaling of frame n.
void compare_to_reference(FrameMessage *m, int sw, int sh, double *luma_err, double *chroma_err)
{
    BufferGfx_Dimensions d;
    BufferGfx_getDimensions(m->frame, &d);
    bool uyvy = BufferGfx_getColorSpace(m->frame) == ColorSpace_UYVY;
    const uint8_t *p = Buffer_getUserPtr(m->frame);
    int64_t n = capture_picture_frame_number(uyvy ? p + 1 : p, d.width, d.height, d.lineLength, uyvy ? 2 : 1);
    ASSERT_GE(n, 0) << "frame number code unreadable";
    std::vector<uint8_t> ref((size_t)sw * sh * 2);
    capture_picture_draw(ref.data(), sw, sh, sw * 2, (uint32_t)n);
    double le = 0, ce = 0;
    long ln = 0, cn = 0;
    double sx = (double)sw / d.width, sy = (double)sh / d.height;
    for (int y = 0; y < d.height; y++)
        for (int x = 0; x < d.width; x++) {
            double ry = (y + 0.5) * sy - 0.5, rx = (x + 0.5) * sx - 0.5;
            int l = uyvy ? p[(size_t)y * d.lineLength + 2 * x + 1] : p[(size_t)y * d.lineLength + x];
            le += std::fabs(l - sample(ref, sw, sh, 0, rx, ry));
            ln++;
        }
    for (int y = 0; y < d.height / (uyvy ? 1 : 2); y++)
        for (int x = 0; x < d.width / 2; x++) {
            double cy = uyvy ? (y + 0.5) * sy - 0.5 : (y + 0.5) * 2 * sy - 0.5;
            double cx = (x + 0.5) * sx - 0.5;
            const uint8_t *c = uyvy ? p + (size_t)y * d.lineLength + 4 * x
                                    : p + (size_t)d.lineLength * d.height + (size_t)y * d.lineLength + 2 * x;
            int u = uyvy ? c[0] : c[0], v = uyvy ? c[2] : c[1];
            ce += std::fabs(u - sample(ref, sw, sh, 1, cx, cy)) + std::fabs(v - sample(ref, sw, sh, 2, cx, cy));
            cn += 2;
        }
    *luma_err = le / ln;
    *chroma_err = ce / cn;
}

void detects(const char *input, const char *line, uint32_t w, uint32_t h, uint32_t rate)
{
    platform_init();
    ASSERT_EQ(platform_capture_set_input(input), 0);
    Harness hs;
    hs.start();
    EXPECT_TRUE(wait_log(line)) << line;
    EXPECT_TRUE(wait_log("set_capture_lock_status: 1"));
    FrameMessage *m = get(hs.env.hToVideoA);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(capture_width, w);
    EXPECT_EQ(capture_height, h);
    EXPECT_EQ(capture_frame_rate, rate);
    EXPECT_EQ(capture_field_mode, 0);
    Fifo_put(hs.env.hFromVideoA, m);
}

std::vector<uint32_t> timestamps(Harness &hs, int count)
{
    std::vector<uint32_t> ts;
    while ((int)ts.size() < count) {
        FrameMessage *m = get(hs.env.hToVideoA);
        if (!m)
            break;
        if (m->sequence > 2)
            ts.push_back(m->timestamp);
        Fifo_put(hs.env.hFromVideoA, m);
    }
    return ts;
}

void cadence(const char *input, uint32_t period)
{
    platform_init();
    ASSERT_EQ(platform_capture_set_input(input), 0);
    Harness hs;
    hs.start();
    std::vector<uint32_t> ts = timestamps(hs, 25);
    ASSERT_EQ(ts.size(), 25u);
    int exact = 0;
    for (size_t i = 1; i < ts.size(); i++) {
        uint32_t d = ts[i] - ts[i - 1];
        EXPECT_EQ(d % period, 0u) << "step " << d;
        EXPECT_GT(d, 0u);
        exact += d == period;
    }
    EXPECT_GE(exact, 12) << "most frames follow each other directly";
}

} // namespace

TEST(CaptureDetect, NtscGives480LinesAt29970)
{
    detects("ntsc", "video standard is b000 NTSC, 720x480@29970", 720, 480, 29970);
}

TEST(CaptureDetect, PalGives576LinesAt25000)
{
    detects("pal", "video standard is ff PAL, 720x576@25000", 720, 576, 25000);
}

TEST(CaptureDetect, PalMGives480LinesLoggedAsPal)
{
    detects("palm", "video standard is 100 PAL, 720x480@29970", 720, 480, 29970);
}

TEST(CaptureDetect, UnknownStandardSettingIsResetAndDetected)
{
    platform_init();
    ASSERT_EQ(platform_capture_set_input("pal"), 0);
    Harness hs;
    hs.params.Capture.Standard = 3;
    hs.start();
    EXPECT_TRUE(wait_log("fixing Capture.Standard = 3"));
    EXPECT_TRUE(wait_log("video standard is ff PAL, 720x576@25000"));
    EXPECT_EQ(hs.params.Capture.Standard, 0);
}

TEST(CaptureDetect, ForcedStandardFollowsTheSetting)
{
    platform_init();
    ASSERT_EQ(platform_capture_set_input("ntsc"), 0);
    Harness hs;
    hs.start();
    ASSERT_TRUE(wait_log("video standard is b000 NTSC"));
    ASSERT_EQ(platform_capture_set_input("pal"), 0);
    hs.params.Capture.Standard = 6;
    EXPECT_TRUE(wait_log("video standard is ff PAL, 720x576@25000"));
    FrameMessage *m = picture_of_size(hs, false, 720, 576, 736, ColorSpace_YUV420PSEMI);
    ASSERT_NE(m, nullptr) << "576-line pictures after the restart";
}

TEST(CaptureCadence, NtscFramesAre3003TicksApart)
{
    cadence("ntsc", 3003);
}

TEST(CaptureCadence, PalFramesAre3600TicksApart)
{
    cadence("pal", 3600);
}

TEST(CaptureSignal, LostSignalResendsNewestPictureUntilItReturns)
{
    platform_init();
    ASSERT_EQ(platform_capture_set_input("ntsc"), 0);
    Harness hs;
    hs.start();
    std::vector<uint32_t> before = timestamps(hs, 5);
    ASSERT_EQ(before.size(), 5u);
    ASSERT_EQ(platform_capture_set_input("none"), 0);
    ASSERT_TRUE(wait_log("set_capture_lock_status: 0"));
    EXPECT_EQ(capture_lock, 0u);
    // Every picture now is the same frame, each with a newer time stamp.
    int64_t frozen = -1;
    uint32_t last_ts = 0;
    for (int i = 0; i < 8; i++) {
        FrameMessage *m = get(hs.env.hToVideoA);
        ASSERT_NE(m, nullptr) << "pictures keep coming without a signal";
        int64_t n = capture_picture_frame_number(Buffer_getUserPtr(m->frame), 720, 480, 736, 1);
        if (i >= 3) {   // the frames in flight when the signal went have passed
            if (frozen < 0)
                frozen = n;
            EXPECT_EQ(n, frozen);
            EXPECT_GT((int32_t)(m->timestamp - last_ts), 0);
        }
        last_ts = m->timestamp;
        Fifo_put(hs.env.hFromVideoA, m);
    }
    EXPECT_GE(frozen, 0);
    uint32_t mark = log_size();
    ASSERT_EQ(platform_capture_set_input("ntsc"), 0);
    ASSERT_TRUE(wait_log("set_capture_lock_status: 1", 5000, mark > 0 ? 0 : 0));
    bool moved = false;
    for (int i = 0; i < 10 && !moved; i++) {
        FrameMessage *m = get(hs.env.hToVideoA);
        ASSERT_NE(m, nullptr);
        moved = capture_picture_frame_number(Buffer_getUserPtr(m->frame), 720, 480, 736, 1) != frozen;
        Fifo_put(hs.env.hFromVideoA, m);
    }
    EXPECT_TRUE(moved) << "live pictures again";
    EXPECT_EQ(capture_lock, 1u);
}

TEST(CaptureChannels, PicturesMatchTheReferenceScaling)
{
    platform_init();
    ASSERT_EQ(platform_capture_set_input("ntsc"), 0);
    Harness hs;
    hs.start();
    FrameMessage *a = picture_of_size(hs, false, 352, 240, 352, ColorSpace_YUV420PSEMI);
    FrameMessage *b = picture_of_size(hs, true, 640, 360, 1280, ColorSpace_UYVY);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    double le, ce;
    compare_to_reference(a, 720, 480, &le, &ce);
    EXPECT_LT(le, 6.0);
    EXPECT_LT(ce, 6.0);
    EXPECT_EQ(Buffer_getNumBytesUsed(a->frame), 352u * 240 * 3 / 2);
    compare_to_reference(b, 720, 480, &le, &ce);
    EXPECT_LT(le, 6.0);
    EXPECT_LT(ce, 6.0);
    EXPECT_EQ(Buffer_getNumBytesUsed(b->frame), 1280u * 360);
    EXPECT_TRUE(wait_log("ResizeB changed to 640x360 (1280) UYVY"));
    Fifo_put(hs.env.hFromVideoA, a);
    Fifo_put(hs.env.hFromVideoB, b);
}

TEST(CaptureChannels, FullSizeUyvyIsCopiedByTheCopyEngine)
{
    platform_init();
    ASSERT_EQ(platform_capture_set_input("ntsc"), 0);
    Harness hs;
    hs.start();
    uint64_t before = platform_dm365mmap_requests();
    FrameMessage *b = picture_of_size(hs, true, 720, 480, 1440, ColorSpace_UYVY);
    ASSERT_NE(b, nullptr);
    EXPECT_TRUE(wait_log("using dma framecopy"));
    EXPECT_GT(platform_dm365mmap_requests(), before);
    const uint8_t *p = Buffer_getUserPtr(b->frame);
    int64_t n = capture_picture_frame_number(p + 1, 720, 480, 1440, 2);
    ASSERT_GE(n, 0);
    std::vector<uint8_t> ref(720 * 480 * 2);
    capture_picture_draw(ref.data(), 720, 480, 1440, (uint32_t)n);
    EXPECT_EQ(memcmp(ref.data(), p, ref.size()), 0) << "an exact copy of the capture frame";
    Fifo_put(hs.env.hFromVideoB, b);
}

TEST(CaptureChannels, OversizedRequestIsShrunkToFitItsBuffer)
{
    platform_init();
    ASSERT_EQ(platform_capture_set_input("ntsc"), 0);
    Harness hs;
    hs.start();
    FrameMessage *m = nullptr;
    for (int i = 0; i < 100 && !m; i++) {
        FrameMessage *x = get(hs.env.hToVideoA);
        ASSERT_NE(x, nullptr);
        BufferGfx_Dimensions d;
        BufferGfx_getDimensions(x->frame, &d);
        if (x->sequence > 0 && d.height < 576 && d.lineLength == 1440) {
            m = x;
            break;
        }
        // Tags the buffer cannot hold: sized for UYVY, then asked for as 4:2:0.
        retag(x, 720, 576, 1440, ColorSpace_UYVY);
        BufferGfx_setColorSpace(x->frame, ColorSpace_YUV420PSEMI);
        Fifo_put(hs.env.hFromVideoA, x);
    }
    ASSERT_NE(m, nullptr);
    EXPECT_TRUE(wait_log("does not fit a 829440-byte buffer"));
    BufferGfx_Dimensions d;
    BufferGfx_getDimensions(m->frame, &d);
    EXPECT_LE((size_t)d.lineLength * d.height * 3 / 2, Buffer_getSize(m->frame));
    EXPECT_GT(d.height, 0);
    Fifo_put(hs.env.hFromVideoA, m);
}

TEST(CaptureChannels, FrameRateDivisorServesEveryThirdFrame)
{
    platform_init();
    ASSERT_EQ(platform_capture_set_input("ntsc"), 0);
    Harness hs;
    hs.params.Video[0].FrameRate = 3;
    hs.params.Video[1].FrameRate = 1;
    hs.start();
    std::vector<uint32_t> a, b;
    while (a.size() < 10) {
        FrameMessage *m = get(hs.env.hToVideoA);
        ASSERT_NE(m, nullptr);
        a.push_back(m->sequence);
        Fifo_put(hs.env.hFromVideoA, m);
        while (FrameMessage *mb = get(hs.env.hToVideoB, 0)) {
            b.push_back(mb->sequence);
            Fifo_put(hs.env.hFromVideoB, mb);
        }
    }
    for (size_t i = 6; i < a.size(); i++)
        EXPECT_EQ((a[i] - a[i - 1]) % 3, 0u) << a[i - 1] << " -> " << a[i];
    int ones = 0;
    for (size_t i = 6; i < b.size(); i++)
        ones += b[i] - b[i - 1] == 1;
    EXPECT_GE(ones, 5) << "channel B at the full rate";
}

TEST(CaptureChannels, StalledChannelDoesNotHoldUpTheOther)
{
    platform_init();
    ASSERT_EQ(platform_capture_set_input("ntsc"), 0);
    Harness hs;
    hs.start();
    std::vector<FrameMessage *> held;
    std::vector<uint32_t> seq;
    while (seq.size() < 40) {
        FrameMessage *m = get(hs.env.hToVideoB);
        ASSERT_NE(m, nullptr) << "channel B starved";
        seq.push_back(m->sequence);
        Fifo_put(hs.env.hFromVideoB, m);
        while (FrameMessage *a = get(hs.env.hToVideoA, 0))
            held.push_back(a);   // channel A never gives anything back
    }
    EXPECT_EQ(held.size(), (size_t)CHANNEL_BUFFERS);
    int consecutive = 0;
    for (size_t i = 10; i < seq.size(); i++)
        consecutive += seq[i] - seq[i - 1] == 1;
    EXPECT_GE(consecutive, 25) << "B is served on (nearly) every frame";
    for (FrameMessage *a : held)
        Fifo_put(hs.env.hFromVideoA, a);
}

TEST(CaptureChannels, VideoCounterSetsTheNextSequence)
{
    platform_init();
    ASSERT_EQ(platform_capture_set_input("ntsc"), 0);
    Harness hs;
    hs.start();
    FrameMessage *m = get(hs.env.hToVideoA);
    ASSERT_NE(m, nullptr);
    ASSERT_EQ(param_set_text("VideoCounter", "1000"), nullptr);
    Fifo_put(hs.env.hFromVideoA, m);
    bool seen = false;
    for (int i = 0; i < 20 && !seen; i++) {
        m = get(hs.env.hToVideoA);
        ASSERT_NE(m, nullptr);
        seen = m->sequence >= 1000 && m->sequence < 1010;
        EXPECT_LT(m->sequence, 1010u);
        Fifo_put(hs.env.hFromVideoA, m);
    }
    EXPECT_TRUE(seen);
}

TEST(CaptureChannels, FlipChangeReconfiguresTheResizer)
{
    platform_init();
    ASSERT_EQ(platform_capture_set_input("ntsc"), 0);
    Harness hs;
    hs.start();
    FrameMessage *b = picture_of_size(hs, true, 360, 240, 720, ColorSpace_UYVY);
    ASSERT_NE(b, nullptr);
    EXPECT_GE(capture_picture_frame_number(Buffer_getUserPtr(b->frame) + 1, 360, 240, 720, 2), 0);
    Fifo_put(hs.env.hFromVideoB, b);
    hs.params.Video[1].Flip = 1;   // upside down
    bool flipped = false;
    for (int i = 0; i < 30 && !flipped; i++) {
        b = get(hs.env.hToVideoB);
        ASSERT_NE(b, nullptr);
        // Read the picture bottom up: the frame-number code must be there.
        std::vector<uint8_t> rows(720 * 240);
        for (int y = 0; y < 240; y++)
            memcpy(&rows[(size_t)y * 720], Buffer_getUserPtr(b->frame) + (size_t)(239 - y) * 720, 720);
        flipped = capture_picture_frame_number(rows.data() + 1, 360, 240, 720, 2) >= 0 &&
                  capture_picture_frame_number(Buffer_getUserPtr(b->frame) + 1, 360, 240, 720, 2) < 0;
        Fifo_put(hs.env.hFromVideoB, b);
    }
    EXPECT_TRUE(flipped);
}

TEST(CaptureControls, SettingsReachDecoderControlsAndRegisters)
{
    platform_init();
    ASSERT_EQ(platform_capture_set_input("ntsc"), 0);
    Harness hs;
    hs.start();
    ASSERT_TRUE(wait_log("video standard is"));
    hs.params.Capture_ChromaFilter = 5;
    hs.params.Capture.Brightness = 150;
    EXPECT_TRUE(wait_log("brightness 150"));
    for (int i = 0; i < 100 && (capture_dbg_get_register(27) & 7) != 5; i++)
        poll(nullptr, 0, 20);
    EXPECT_EQ(capture_dbg_get_register(27) & 7, 5u);
    EXPECT_EQ(capture_dbg_get_register(27) & ~7u, 0x14u & ~7u) << "other bits kept";
}

TEST(CaptureDisplay, PassThroughFramesGoToTheDisplay)
{
    platform_init();
    ASSERT_EQ(platform_capture_set_input("ntsc"), 0);
    // Declared first, so it outlives the capture thread.
    struct DisplayFifos {
        DisplayEnv env = {};
        DisplayFifos()
        {
            env.hFromCapture = Fifo_create(&Fifo_Attrs_DEFAULT);
            env.hToCapture = Fifo_create(&Fifo_Attrs_DEFAULT);
            env.hToOutput = Fifo_create(&Fifo_Attrs_DEFAULT);
        }
        ~DisplayFifos()
        {
            for (Fifo_Handle f : {env.hFromCapture, env.hToCapture, env.hToOutput})
                Fifo_delete(f);
        }
    } display;
    DisplayEnv &d = display.env;
    Harness hs;
    d.mode = 1;
    hs.env.display = &d;
    FrameMessage msg = {};
    Fifo_put(d.hToCapture, &msg);
    hs.start();
    FrameMessage *m = get(d.hFromCapture);
    ASSERT_EQ(m, &msg);
    EXPECT_TRUE(m->flags & FRAME_FLAG_PASSTHROUGH);
    ASSERT_NE(m->frame, nullptr);
    EXPECT_EQ(Buffer_getNumBytesUsed(m->frame), 720u * 480 * 2);
    EXPECT_EQ(Buffer_getUseMask(m->frame), 2);
    d.mode = 0;
    m->frame = nullptr;
    Fifo_put(d.hToCapture, m);
    EXPECT_EQ(get(d.hToOutput), &msg) << "idle display: the message goes on toward the decoder";

}

TEST(CaptureFailure, ResizerThatCannotBeSetUpAsksForAReboot)
{
    platform_init();
    ASSERT_EQ(platform_capture_set_input("ntsc"), 0);
    FILE *f = fopen(test_board_path("video/resizer_fault").c_str(), "w");
    ASSERT_NE(f, nullptr);
    fclose(f);
    Harness hs;
    hs.start();
    EXPECT_TRUE(wait_log("resizeSetup failed"));
    EXPECT_EQ(quit_wait(5000), QUIT_REBOOT);
    EXPECT_EQ(hs.env.status, -1);
}
