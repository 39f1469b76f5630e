// The display thread against the simulated video output, with the test standing for the output
// thread (feeder) and the playback thread. Each case runs the thread once and ends it with the
// process-wide quit, so each needs a process of its own, as ctest gives it.
#include "core/log.h"
#include "core/param.h"
#include "core/quit.h"
#include "core/soc.h"
#include "core/threads.h"
#include "platform/platform.h"
#include "platform/video_out.h"
#include "testutil.h"
#include "video/capture.h"
#include "video/display.h"
#include "video/framecopy.h"
#include "video/osd.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <gtest/gtest.h>
#include <poll.h>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t)
{
    return std::chrono::duration<double>(Clock::now() - t).count();
}

struct Harness {
    ParamBlock params = {};
    DisplayEnv env = {};
    PlaybackEnv playback = {};
    pthread_t thread = {};
    bool running = false;
    std::vector<Buffer_Handle> pictures;

    Harness()
    {
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
        env.hFromCapture = Fifo_create(&Fifo_Attrs_DEFAULT);
        env.hToCapture = Fifo_create(&Fifo_Attrs_DEFAULT);
        env.hRaw = Fifo_create(&Fifo_Attrs_DEFAULT);
        env.hToOutput = Fifo_create(&Fifo_Attrs_DEFAULT);
        playback.fifos[0] = Fifo_create(&Fifo_Attrs_DEFAULT);
        playback.fifos[1] = Fifo_create(&Fifo_Attrs_DEFAULT);
        env.playback = &playback;
    }
    void start()
    {
        ASSERT_EQ(quit_requested(), 0) << "run each case in a process of its own (ctest does)";
        ASSERT_EQ(pthread_create(&thread, nullptr, displayThrFxn, &env), 0);
        running = true;
        Rendezvous_meet(env.hRendezvousInit);
    }
    // Ends the thread; the time it took.
    double stop()
    {
        auto t = Clock::now();
        quit_set(QUIT_QUIT, false);
        Rendezvous_meet(env.hRendezvousCleanup);
        pthread_join(thread, nullptr);
        running = false;
        return seconds_since(t);
    }
    ~Harness()
    {
        if (running)
            stop();
        for (Buffer_Handle b : pictures)
            Buffer_delete(b);
        Rendezvous_delete(env.hRendezvousInit);
        Rendezvous_delete(env.hRendezvousCleanup);
        for (Fifo_Handle f : {env.hFromCapture, env.hToCapture, env.hRaw, env.hToOutput, playback.fifos[0],
                              playback.fifos[1]})
            Fifo_delete(f);
    }
    // A decoded picture as the output thread hands it over.
    Buffer_Handle picture(int w, int h, uint32_t word)
    {
        Buffer_Attrs a = BufferGfx_Attrs_DEFAULT;
        a.colorSpace = ColorSpace_UYVY;
        a.dim = {0, 0, w, h, 2 * w};
        Buffer_Handle b = Buffer_create((size_t)w * h * 2, &a);
        uint32_t *p = reinterpret_cast<uint32_t *>(Buffer_getUserPtr(b));
        for (int i = 0; i < w * h / 2; i++)
            p[i] = word;
        Buffer_setNumBytesUsed(b, (size_t)w * h * 2);
        pictures.push_back(b);
        return b;
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

bool wait_log(const std::string &text, int timeout_ms = 5000, size_t from = 0)
{
    for (int waited = 0; waited <= timeout_ms; waited += 10) {
        if (test_log_text().find(text, from) != std::string::npos)
            return true;
        poll(nullptr, 0, 10);
    }
    return false;
}

size_t count_of(const std::string &text)
{
    std::string all = test_log_text();
    size_t n = 0;
    for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1))
        n++;
    return n;
}

int entries(Fifo_Handle f)
{
    return Fifo_getNumEntries(f);
}

void give(Harness &h, FrameMessage *m, Buffer_Handle pic, uint32_t ts, uint32_t seq)
{
    m->frame = pic;
    m->timestamp = ts;
    m->sequence = seq;
    m->flags = 0;
    Buffer_setUseMask(pic, 2);
    ASSERT_EQ(Fifo_put(h.env.hFromCapture, m), Dmai_EOK);
}

PlatformVideoOut out_state()
{
    PlatformVideoOut s;
    platform_video_out_state(&s);
    return s;
}

bool wait_shown(uint64_t more_than, int timeout_ms = 3000)
{
    for (int waited = 0; waited <= timeout_ms; waited += 10) {
        if (out_state().shown > more_than)
            return true;
        poll(nullptr, 0, 10);
    }
    return false;
}

// The frame on screen, read back through the output's dump hook.
std::vector<uint8_t> screen()
{
    if (platform_video_out_dump() != 0)
        return {};
    return test_read_file(test_board_path("video/display_frame.raw"));
}

uint32_t word_at(const std::vector<uint8_t> &f, int x, int y, int line)
{
    uint32_t w;
    memcpy(&w, f.data() + (size_t)y * line + 2 * x, 4);
    return w;
}

TEST(Display, DecodedPictureDueHalfASecondAheadIsHeldThatLong)
{
    Harness h;
    h.env.mode = DISPLAY_DECODED;   // set by the output thread before the display starts
    h.env.pacing = 1;
    h.start();
    // The display's five records come back to the output thread while it has nothing to show.
    std::vector<FrameMessage *> free_records;
    for (int i = 0; i < DISPLAY_MESSAGES; i++) {
        FrameMessage *m = get(h.env.hToOutput);
        ASSERT_NE(m, nullptr);
        free_records.push_back(m);
    }
    display_clock_base = 0;
    uint32_t now = hw_clock_90khz();
    uint64_t queued = out_state().queued;
    auto t = Clock::now();
    give(h, free_records[0], h.picture(352, 240, 0x80a080a0), now + 3003 + 45000, 1);
    give(h, free_records[1], h.picture(352, 240, 0x80a080a0), now + 3003, 2);
    FrameMessage *first = get(h.env.hToOutput);
    double first_back = seconds_since(t);
    bool queued_before_first_back = out_state().queued != queued;
    FrameMessage *second = get(h.env.hToOutput);
    double second_back = seconds_since(t);
    ASSERT_EQ(first, free_records[0]);
    ASSERT_EQ(second, free_records[1]);
    // Back before the picture went to the screen, by the output's own count: a busy machine
    // can delay this thread's look past the wait, but then the look was quick.
    EXPECT_TRUE(!queued_before_first_back || first_back < 0.2) << "the message goes back before the wait";
    EXPECT_GT(second_back, 0.4) << "the next picture waits until the first is shown";
    // Not held twice as long, with room for a busy machine's late wake-up.
    EXPECT_LT(second_back, 1.0);
    EXPECT_EQ(Buffer_getUseMask(h.pictures[0]) & 2, 0) << "released to the decoder";
    // Two pictures due at once, as the measure of this machine for the next step.
    t = Clock::now();
    give(h, first, h.picture(352, 240, 0x80a080a0), hw_clock_90khz() + 3003, 3);
    give(h, second, h.picture(352, 240, 0x80a080a0), hw_clock_90khz() + 3003, 4);
    first = get(h.env.hToOutput);
    second = get(h.env.hToOutput);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    double due_now = seconds_since(t);
    // A lead far beyond a second is a discontinuity: shown at once, no long sleep.
    t = Clock::now();
    give(h, first, h.picture(352, 240, 0x80a080a0), hw_clock_90khz() + 3003 + 20 * 90000, 5);
    give(h, second, h.picture(352, 240, 0x80a080a0), hw_clock_90khz() + 3003, 6);
    ASSERT_NE(get(h.env.hToOutput), nullptr);
    ASSERT_NE(get(h.env.hToOutput), nullptr);
    EXPECT_LT(seconds_since(t), due_now + 0.3);
    double took = h.stop();
    EXPECT_LT(took, 2.0);
}

TEST(Display, DecodedPictureIsCentredAndTheOldOsdBoxIsCleared)
{
    Harness h;
    h.params.Display.Standard = 6;
    OsdSettings &o = h.params.Display.OSD;
    o.Enabled = 1;
    o.Transparent = 0;
    o.X = 0;
    o.Y = 10;                   // on the black border above the picture, where no copy reaches
    snprintf(o.Message, sizeof o.Message, "WWWWWWWWWW");
    h.env.mode = DISPLAY_DECODED;
    h.start();
    ASSERT_TRUE(wait_log("display PAL 720x576 (1440) 422"));
    std::vector<FrameMessage *> recs;
    for (int i = 0; i < DISPLAY_MESSAGES; i++)
        recs.push_back(get(h.env.hToOutput));
    ASSERT_NE(recs.back(), nullptr);
    Buffer_Handle pic = h.picture(352, 288, 0x80a080a0);
    auto show = [&](int n, uint32_t seq0) {
        for (int i = 0; i < n; i++) {
            FrameMessage *m = i < (int)recs.size() ? recs[i] : nullptr;
            give(h, m, pic, hw_clock_90khz(), seq0 + i);
            recs[i] = get(h.env.hToOutput);
            ASSERT_EQ(recs[i], m);
        }
    };
    show(5, 1);
    ASSERT_TRUE(wait_shown(2));
    std::vector<uint8_t> f = screen();
    ASSERT_EQ(f.size(), 720u * 576 * 2);
    EXPECT_EQ(word_at(f, 184, 200, 1440), 0x80a080a0u) << "picture starts at x 184";
    EXPECT_EQ(word_at(f, 182, 200, 1440), 0x00800080u) << "black left of it";
    EXPECT_EQ(word_at(f, 400, 144, 1440), 0x80a080a0u) << "picture starts at y 144";
    EXPECT_EQ(word_at(f, 400, 143, 1440), 0x00800080u) << "black above it";
    EXPECT_EQ(f[(size_t)10 * 1440 + 2 * 40 + 1], 0x10) << "the OSD box's background";
    // A shorter text: the part of the old box it no longer covers is black again.
    snprintf(o.Message, sizeof o.Message, "W");
    uint64_t shown = out_state().shown;
    show(5, 10);
    ASSERT_TRUE(wait_shown(shown + 3));
    f = screen();
    ASSERT_EQ(f.size(), 720u * 576 * 2);
    EXPECT_EQ(word_at(f, 40, 10, 1440), 0x00800080u) << "old box painted black";
    EXPECT_EQ(f[(size_t)10 * 1440 + 2 * 4 + 1], 0x10) << "the new text's box is there";
    h.stop();
}

TEST(Display, RawModeWithoutFeederShutsDownWithinSeconds)
{
    Harness h;
    h.params.Display.DisplayMode = DISPLAY_RAW;
    h.start();
    FrameMessage *m = get(h.env.hRaw);
    ASSERT_NE(m, nullptr);
    EXPECT_NE(m->frame, nullptr) << "an empty display buffer to decode into";
    ASSERT_TRUE(wait_log("output raw started"));
    ASSERT_EQ(Fifo_put(h.env.hRaw, m), Dmai_EOK);
    poll(nullptr, 0, 300);
    double took = h.stop();
    EXPECT_LT(took, 3.0);
    // Every message it took went back to a fifo.
    EXPECT_EQ(entries(h.env.hRaw) + entries(h.env.hToOutput) + entries(h.env.hFromCapture) + entries(h.env.hToCapture),
              DISPLAY_MESSAGES);
}

TEST(Display, RawBuffersFilledByTheDecoderAreShownInTurn)
{
    Harness h;
    h.env.mode = DISPLAY_RAW;
    h.start();
    std::vector<Buffer_Handle> seen;
    for (int i = 0; i < 12; i++) {
        FrameMessage *m = get(h.env.hRaw);
        ASSERT_NE(m, nullptr) << "buffer " << i;
        ASSERT_NE(m->frame, nullptr);
        uint32_t *p = reinterpret_cast<uint32_t *>(Buffer_getUserPtr(m->frame));
        for (int k = 0; k < 720 * 480 / 2; k++)
            p[k] = 0x80c080c0;
        if (std::find(seen.begin(), seen.end(), m->frame) == seen.end())
            seen.push_back(m->frame);
        ASSERT_EQ(Fifo_put(h.env.hFromCapture, m), Dmai_EOK);   // filled: back to the display
    }
    EXPECT_EQ(seen.size(), (size_t)DISPLAY_BUFFERS) << "all three display buffers go round";
    ASSERT_TRUE(wait_shown(3));
    std::vector<uint8_t> f = screen();
    ASSERT_FALSE(f.empty());
    EXPECT_EQ(word_at(f, 360, 240, 1440), 0x80c080c0u);
    h.stop();
}

TEST(Display, FlashShowsOneFrameBeepsWithoutWaitingAndFallsBackToIdle)
{
    Harness h;
    std::vector<Buffer_Handle> audio;
    FrameMessage records[2] = {};
    for (FrameMessage &r : records) {
        audio.push_back(Buffer_create(4096, nullptr));
        memset(Buffer_getUserPtr(audio.back()), 0x55, 4096);
        r.frame = audio.back();
        Fifo_put(h.playback.fifos[1], &r);
    }
    h.start();
    ASSERT_TRUE(wait_log("display streamon"));
    h.env.mode = DISPLAY_FLASH;
    ASSERT_TRUE(wait_log("Flash at"));
    ASSERT_TRUE(wait_log("setting output idle", 2000, test_log_text().find("Flash at")));
    EXPECT_EQ(h.env.mode, DISPLAY_IDLE);
    FrameMessage *silent = get(h.playback.fifos[0], 1000), *square = get(h.playback.fifos[0], 1000);
    ASSERT_NE(silent, nullptr);
    ASSERT_NE(square, nullptr);
    const uint32_t *s = reinterpret_cast<const uint32_t *>(Buffer_getUserPtr(silent->frame));
    const uint32_t *q = reinterpret_cast<const uint32_t *>(Buffer_getUserPtr(square->frame));
    EXPECT_EQ(s[0] | s[1023], 0u);
    EXPECT_EQ(q[0], 0x7fff7fffu);
    EXPECT_EQ(q[0x10], 0x80008000u);
    EXPECT_EQ(q[0x20], 0x7fff7fffu);
    EXPECT_EQ(Buffer_getNumBytesUsed(square->frame), 4096u);
    // No free playback buffer: the flash is shown all the same, silently, without a stall.
    auto t = Clock::now();
    h.env.mode = DISPLAY_FLASH;
    for (int i = 0; i < 200 && count_of("Flash at") < 2; i++)
        poll(nullptr, 0, 10);
    EXPECT_EQ(count_of("Flash at"), 2u);
    EXPECT_LT(seconds_since(t), 1.0);
    EXPECT_EQ(entries(h.playback.fifos[0]), 0);
    h.stop();
    for (Buffer_Handle b : audio)
        Buffer_delete(b);
}

TEST(Display, BarsOnA420OutputRemakeItInUyvy)
{
    Harness h;
    h.env.colorSpace = ColorSpace_YUV420PSEMI;
    h.start();
    ASSERT_TRUE(wait_log("display NTSC 720x480 (736) 420sp"));
    h.env.mode = DISPLAY_COLORBARS;
    ASSERT_TRUE(wait_log("setting output colorbars"));
    std::string all = test_log_text();
    EXPECT_LT(all.find("display NTSC 720x480 (1440) 422"), all.find("setting output colorbars"));
    const uint32_t bars[8] = {0xea80ea80, 0xa78aa731, 0x8a318a9a, 0x793e794c,
                              0x60c360b4, 0x4fcf4f66, 0x327332ce, 0x22802280};
    // Buffers queued before the bars were drawn are still shown first: wait until the last bar
    // reaches the screen.
    std::vector<uint8_t> f;
    for (int tries = 0; tries < 300; tries++) {
        f = screen();
        if (f.size() == 720u * 480 * 2 && word_at(f, 90 * 7 + 88, 479, 1440) == bars[7])
            break;
        poll(nullptr, 0, 10);
    }
    ASSERT_EQ(f.size(), 720u * 480 * 2);
    for (int i = 0; i < 8; i++) {
        EXPECT_EQ(word_at(f, 90 * i, 0, 1440), bars[i]) << "bar " << i << " in the first line";
        EXPECT_EQ(word_at(f, 90 * i + 88, 479, 1440), bars[i]) << "bar " << i << " in the last line";
    }
    h.stop();
}

// Bad input: every standard number up to 25 and every mode word; the thread goes on, clamps
// or refuses, logs, and never writes outside a frame.
TEST(Display, EveryStandardAndModeNumberIsClampedOrRefused)
{
    Harness h;
    h.params.Display.Standard = 25;
    h.params.Display.DisplayMode = 6;
    h.start();
    ASSERT_TRUE(wait_log("Invalid Display.Standard 25"));
    EXPECT_EQ(h.params.Display.Standard, 5);
    ASSERT_TRUE(wait_log("display mode 6 refused"));
    EXPECT_EQ(h.env.mode, DISPLAY_IDLE);
    ASSERT_TRUE(wait_log("display NTSC 720x480"));
    for (int n = 0; n <= 25; n++) {
        size_t from = test_log_text().size();
        h.env.standard = n;
        h.env.mode = n % 3 == 0 ? DISPLAY_COLORBARS : DISPLAY_IDLE;
        // Each standard makes the output again, then sets its mode: wait for that, not a time.
        ASSERT_TRUE(wait_log("Display_create:", 5000, from)) << "standard " << n;
        ASSERT_TRUE(wait_log("setting output", 5000, test_log_text().find("Display_create:", from)))
            << "standard " << n;
        ASSERT_EQ(h.env.status, 0) << "standard " << n;
        PlatformVideoOut s = out_state();
        if (n == 9) {
            EXPECT_TRUE(s.preset == V4L2_DV_720P60 && s.width == 1280 && s.height == 720) << "720P_60";
        }
        if (n == 17 || n == 20 || n == 25 || (n >= 1 && n <= 4)) {
            EXPECT_TRUE(s.std == 0xb000 && s.width == 720 && s.height == 480) << "standard " << n << " shows NTSC";
        }
        if (n == 0) {
            EXPECT_EQ(s.height, 480u) << "AUTO follows the NTSC capture";
        }
    }
    EXPECT_TRUE(wait_log("Display.Standard 17 (other) has no output mode, using NTSC"));
    h.env.standard = 5;
    h.env.mode = DISPLAY_COLORBARS;
    ASSERT_TRUE(wait_log("setting output colorbars", 3000, test_log_text().rfind("display NTSC")));
    for (int mode : {6, 7, 8, -1, 1000}) {
        h.env.mode = mode;
        for (int i = 0; i < 100 && h.env.mode == mode; i++)
            poll(nullptr, 0, 10);
        EXPECT_EQ(h.env.mode, DISPLAY_COLORBARS) << "mode " << mode << " refused, the applied one written back";
    }
    uint64_t shown = out_state().shown;
    EXPECT_TRUE(wait_shown(shown + 3)) << "still showing";
    EXPECT_EQ(h.env.status, 0);
    h.stop();
}

// A picture larger than the output is cropped around its centre, never written past a buffer:
// a 576-line 4:2:0 picture on a 480-line output shows its lines 48 to 527.
TEST(Display, LargerPictureIsCroppedAroundItsCentre)
{
    Harness h;
    h.env.colorSpace = ColorSpace_YUV420PSEMI;
    h.env.mode = DISPLAY_DECODED;
    h.start();
    std::vector<FrameMessage *> recs;
    for (int i = 0; i < DISPLAY_MESSAGES; i++)
        recs.push_back(get(h.env.hToOutput));
    ASSERT_NE(recs.back(), nullptr);
    Buffer_Attrs a = BufferGfx_Attrs_DEFAULT;
    a.colorSpace = ColorSpace_YUV420PSEMI;
    a.dim = {0, 0, 720, 576, 736};
    Buffer_Handle pic = Buffer_create((size_t)736 * 576 * 3 / 2, &a);
    h.pictures.push_back(pic);
    uint8_t *p = Buffer_getUserPtr(pic);
    for (int r = 0; r < 576; r++)
        memset(p + (size_t)r * 736, r & 0xff, 736);
    for (int r = 0; r < 288; r++)
        memset(p + (size_t)736 * 576 + (size_t)r * 736, 100 + (r & 0x7f), 736);
    Buffer_setNumBytesUsed(pic, (size_t)736 * 576 * 3 / 2);
    for (int i = 0; i < 5; i++) {
        give(h, recs[i], pic, hw_clock_90khz(), (uint32_t)i);
        ASSERT_EQ(get(h.env.hToOutput), recs[i]);
    }
    ASSERT_TRUE(wait_shown(2));
    std::vector<uint8_t> f = screen();
    ASSERT_EQ(f.size(), (size_t)736 * 480 * 3 / 2);
    EXPECT_EQ(f[0], 48) << "output line 0 is picture line 48";
    EXPECT_EQ(f[(size_t)479 * 736 + 719], (527 & 0xff));
    EXPECT_EQ(f[(size_t)736 * 480], 100 + 24) << "chroma line 0 is picture chroma line 24";
    EXPECT_EQ(f[(size_t)736 * 480 + (size_t)239 * 736 + 700], 100 + ((24 + 239) & 0x7f));
    h.stop();
}

TEST(Display, LargerUyvyPictureIsCroppedAroundItsCentre)
{
    Harness h;
    h.env.mode = DISPLAY_DECODED;
    h.start();
    std::vector<FrameMessage *> recs;
    for (int i = 0; i < DISPLAY_MESSAGES; i++)
        recs.push_back(get(h.env.hToOutput));
    ASSERT_NE(recs.back(), nullptr);
    Buffer_Handle pic = h.picture(800, 576, 0);
    uint32_t *p = reinterpret_cast<uint32_t *>(Buffer_getUserPtr(pic));
    for (int r = 0; r < 576; r++)
        for (int x = 0; x < 400; x++)
            p[r * 400 + x] = (uint32_t)(r & 0xff) << 24 | 0x800000 | (uint32_t)(x & 0xff) << 8 | 0x80;
    for (int i = 0; i < 5; i++) {
        give(h, recs[i], pic, hw_clock_90khz(), (uint32_t)i);
        ASSERT_EQ(get(h.env.hToOutput), recs[i]);
    }
    ASSERT_TRUE(wait_shown(2));
    std::vector<uint8_t> f = screen();
    ASSERT_EQ(f.size(), 1440u * 480);
    // 800 wide on 720: pairs 20..379 of the picture; 576 lines on 480: lines 48..527.
    EXPECT_EQ(word_at(f, 0, 0, 1440), 48u << 24 | 0x800000 | 20u << 8 | 0x80);
    EXPECT_EQ(word_at(f, 718, 479, 1440), (527u & 0xff) << 24 | 0x800000 | (379u & 0xff) << 8 | 0x80);
    h.stop();
}

// The output thread's stop in raw mode: it sets the mode to idle and gives the display buffer
// it held back on the input fifo. The display takes it back (black) and goes on with all three.
TEST(Display, RawBufferGivenBackOnStopReturnsToTheOutput)
{
    Harness h;
    h.env.mode = DISPLAY_RAW;
    h.start();
    FrameMessage *m = get(h.env.hRaw);
    ASSERT_NE(m, nullptr);
    ASSERT_NE(m->frame, nullptr);
    memset(Buffer_getUserPtr(m->frame), 0x77, 1440 * 480);
    h.env.mode = DISPLAY_IDLE;
    ASSERT_TRUE(wait_log("setting output idle"));
    ASSERT_EQ(Fifo_put(h.env.hFromCapture, m), Dmai_EOK);
    uint64_t shown = out_state().shown;
    ASSERT_TRUE(wait_shown(shown + 6));
    std::vector<uint8_t> f = screen();
    ASSERT_EQ(f.size(), 1440u * 480);
    for (size_t i = 0; i < f.size(); i += 4)
        ASSERT_EQ(word_at(f, (int)(i % 1440) / 2, (int)(i / 1440), 1440), 0x00800080u) << "byte " << i;
    h.stop();
    EXPECT_EQ(entries(h.env.hRaw) + entries(h.env.hToOutput) + entries(h.env.hFromCapture) + entries(h.env.hToCapture),
              DISPLAY_MESSAGES);
}

} // namespace
