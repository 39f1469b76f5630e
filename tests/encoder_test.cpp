// The videoA encoder thread against a fake capture thread (moving test picture through the
// fifo pair) and a test consumer on stream 1; the output is judged with ffmpeg/ffprobe.
#include "video/encoder.h"
#include "streams/annexb.h"

#include "core/log.h"
#include "core/param.h"
#include "core/quit.h"
#include "core/soc.h"
#include "core/threads.h"
#include "streams/stream.h"
#include "streams/stream_mode.h"
#include "testutil.h"
#include "video/capture.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <set>
#include <string>
#include <vector>

namespace {

struct Frame {
    std::vector<uint8_t> data;
    uint32_t timestamp;
    uint32_t flags;
};

// Draws the moving picture into each buffer in the format the encoder tagged it with.
struct FakeCapture {
    Fifo_Handle toEncoder = Fifo_create(&Fifo_Attrs_DEFAULT);
    Fifo_Handle fromEncoder = Fifo_create(&Fifo_Attrs_DEFAULT);
    Buffer_Handle bufs[CHANNEL_BUFFERS];
    FrameMessage msgs[CHANNEL_BUFFERS];
    pthread_t thread;
    std::atomic<uint32_t> delivered{0};
    std::atomic<uint32_t> frames{0};    // capture frames gone by, handed over or not
    std::atomic<uint32_t> base{hw_clock_90khz()};
    const ParamBlock *settings = nullptr;

    // Stamps from now on, so no picture looks old to the JPEG path. Only while the encoder is
    // stopped (capture then waits for buffers).
    void resync() { base = hw_clock_90khz() - frames * 3003; }

    void start()
    {
        for (int i = 0; i < CHANNEL_BUFFERS; i++) {
            bufs[i] = Buffer_create(CAPTURE_BUFFER_SIZE, &BufferGfx_Attrs_DEFAULT);
            BufferGfx_Dimensions dim{0, 0, 720, 480, 736};
            BufferGfx_setColorSpace(bufs[i], ColorSpace_YUV420PSEMI);
            BufferGfx_setDimensions(bufs[i], &dim);
            msgs[i] = {bufs[i], fromEncoder, 0, 0, 0, FRAME_FLAG_CAPTURE};
            Fifo_put(toEncoder, &msgs[i]);
        }
        pthread_create(&thread, nullptr, run, this);
    }
    void stop()
    {
        Fifo_flush(fromEncoder);
        pthread_join(thread, nullptr);
    }
    static void draw(Buffer_Handle b, uint32_t n)
    {
        BufferGfx_Dimensions d;
        BufferGfx_getDimensions(b, &d);
        uint8_t *p = Buffer_getUserPtr(b);
        bool uyvy = BufferGfx_getColorSpace(b) == ColorSpace_UYVY;
        int bx = (int)(20 + 5 * n) % (d.width > 120 ? d.width - 100 : 1);
        for (int y = 0; y < d.height; y++) {
            uint8_t *row = p + (size_t)y * d.lineLength;
            for (int x = 0; x < d.width; x++) {
                int v = ((x + 3 * (int)n) / 8 * 13 + (y + (int)n) / 8 * 7) % 200 + ((x * 7 + y * 13) & 3);
                if (x >= bx && x < bx + 80 && y > d.height / 4 && y < d.height / 2)
                    v = 219;
                if (uyvy) {
                    row[2 * x + 1] = (uint8_t)(16 + v);
                    row[2 * x] = (uint8_t)(100 + (x + n) % 50);   // U on even, V on odd pixels
                } else {
                    row[x] = (uint8_t)(16 + v);
                }
            }
        }
        if (!uyvy) {
            uint8_t *c = p + (size_t)d.lineLength * d.height;
            for (int y = 0; y < d.height / 2; y++)
                for (int x = 0; x < d.width; x++)
                    c[(size_t)y * d.lineLength + x] = (uint8_t)(x & 1 ? 90 + (y + n) % 60 : 110 + (x / 2 + n) % 40);
        }
        Buffer_setNumBytesUsed(b, (size_t)d.lineLength * d.height * (uyvy ? 1 : 3) / (uyvy ? 1 : 2));
    }
    static void *run(void *arg)
    {
        FakeCapture *c = static_cast<FakeCapture *>(arg);
        for (;;) {
            void *p = nullptr;
            if (Fifo_get(c->fromEncoder, &p) != 0)
                return nullptr;
            FrameMessage *m = static_cast<FrameMessage *>(p);
            // Like the capture thread, the channel gets one frame in Video[0].FrameRate.
            int every = c->settings && c->settings->Video[0].FrameRate > 1 ? c->settings->Video[0].FrameRate : 1;
            uint32_t n = c->frames;
            c->frames += every;
            c->delivered++;
            draw(m->frame, n);
            m->timestamp = c->base + n * 3003;   // 29.97 frames per second
            m->sequence = n;
            Fifo_put(c->toEncoder, m);
        }
    }
};

// Runs before the thread suite, whose teardown sets the quit state for the process.
TEST(EncoderJpeg, QualityLoweredOnOversizeStopsAtItsFloor)
{
    static VideoEnv v;      // channel B's record, driven without its thread
    static ParamBlock block;
    v = {};
    v.name = "videoB";
    v.params = &block;
    v.channel = 1;
    v.maxWidth = 800;
    v.maxHeight = 600;
    v.engine = Engine_open("encode", nullptr, nullptr);
    Buffer_Handle area = Buffer_create(0x654000, &Buffer_Attrs_DEFAULT);
    stream_register(nullptr, &v.queue, VIDEO_STREAM2);
    ringbuffer_init(&v.queue, area, 512, 32);
    v.videoCodec = VIDEO_CODEC_JPEG;
    v.width = 720;
    v.height = 480;
    v.colorFormat = 0x59565955;     // "UYVY"
    v.lineLength = 1440;
    v.jpegQuality = 10;
    ASSERT_EQ(setup_encoder(&v, "encode"), 0);
    v.maxEncodedSize = 1000;        // no 720x480 picture of noise fits this

    Buffer_Handle pic = Buffer_create(CAPTURE_BUFFER_SIZE, &BufferGfx_Attrs_DEFAULT);
    uint32_t seed = 1;
    for (size_t i = 0; i < (size_t)1440 * 480; i++) {
        seed = seed * 1664525u + 1013904223u;
        Buffer_getUserPtr(pic)[i] = (uint8_t)(seed >> 24);
    }
    FrameMessage msg{pic, nullptr, hw_clock_90khz(), 0, 0, FRAME_FLAG_CAPTURE};
    log_ring_reset();
    EXPECT_EQ(jpeg_encode_picture(&v, &msg), 0u);
    EXPECT_EQ(v.jpegQuality, 2);
    EXPECT_EQ(v.queue.seq, 0u) << "nothing put";
    static char text[65536];
    std::string log(text, log_ring_read(log_ring_tail(), text, sizeof text));
    size_t steps = 0;
    for (size_t p = 0; (p = log.find("new JPEGQuality=", p)) != std::string::npos; p++)
        steps++;
    EXPECT_EQ(steps, 3u) << "10 -> 7 -> 4 -> 2";
    EXPECT_NE(log.find("at the lowest quality 2, picture dropped"), std::string::npos);

    // A picture that fits is put as one keyframe.
    v.maxEncodedSize = 0x100000;
    EXPECT_GT(jpeg_encode_picture(&v, &msg), 0u);
    EXPECT_EQ(v.queue.seq, 1u);
    stream_register(nullptr, nullptr, VIDEO_STREAM2);
    IMGENC1_delete(v.jpeg);
    Engine_close(v.engine);
    ringbuffer_free(&v.queue);
    Buffer_delete(area);
    Buffer_delete(pic);
}

ParamBlock params;
VideoEnv *env;      // videoEnvA
FakeCapture *capture;
pthread_t encoder;
Rendezvous_Handle startRv, cleanupRv;

class EncoderThread : public ::testing::Test {
  protected:
    static void SetUpTestSuite()
    {
        capture_width = 720;
        capture_height = 480;
        capture_frame_rate = 29970;
        capture_field_mode = 0;
        memset(&params, 0, sizeof params);
        capture = new FakeCapture();
        capture->settings = &params;
        startRv = Rendezvous_create(2);
        cleanupRv = Rendezvous_create(2);
        env = &videoEnvA;
        *env = {};
        env->name = "videoA";
        env->params = &params;
        env->channel = 0;
        env->hRendezvousInit = startRv;
        env->hRendezvousCleanup = cleanupRv;
        env->hToCapture = capture->fromEncoder;
        env->hFromCapture = capture->toEncoder;
        env->engineName = "encode";
        env->decimate = 1;
        capture->start();
        pthread_create(&encoder, nullptr, videoThrFxn, env);
        Rendezvous_meet(startRv);
    }
    static void TearDownTestSuite()
    {
        quit_set(QUIT_QUIT, false);
        stream_set_state(&env->runState, STREAM_STOP);   // wakes the wait for a start
        Rendezvous_meet(cleanupRv);
        pthread_join(encoder, nullptr);
        capture->stop();
    }
    void SetUp() override
    {
        ParamVideo &v = params.Video[0];
        v = {};
        v.StreamMode = StreamMode_H264_ES;
        v.BitRate = 2000000;
        v.GOPSize = 15;
        v.FrameRate = 1;
        v.JPEGQuality = 75;
        v.H264Profile = 100;
        v.H264Level = 30;
        capture->resync();
        log_ring_reset();
    }

    static std::string log_text()
    {
        static char buf[LOG_RING_SIZE];
        uint32_t n = log_ring_read(log_ring_tail(), buf, sizeof buf - 1);
        return std::string(buf, n);
    }

    // Attaches as the first consumer, collects `count` frames from the next one on, detaches
    // and waits for the end marker.
    // With `cursor`, reading goes on from there and no new attach is made; the cursor is left
    // after the last frame read.
    static std::vector<Frame> consume(size_t count, bool detach = true, uint32_t *cursor = nullptr)
    {
        StreamQueue *q = &env->queue;
        uint32_t seq;
        if (cursor && *cursor != UINT32_MAX) {
            seq = *cursor;
        } else {
            pthread_mutex_lock(&q->mutex);
            seq = q->seq;
            pthread_mutex_unlock(&q->mutex);
            stream_use(VIDEO_STREAM1);
        }
        std::vector<Frame> frames;
        while (frames.size() < count) {
            timespec deadline;
            clock_gettime(CLOCK_REALTIME, &deadline);
            deadline.tv_sec += 10;
            uint32_t off, len, ts, flags;
            if (ringbuffer_wait_seq(q, &seq, &off, &len, &ts, &flags, 1, &deadline) != 0) {
                ADD_FAILURE() << "no frame within 10 s after " << frames.size();
                break;
            }
            seq++;
            if (len == 0)
                continue;   // an earlier end marker
            frames.push_back({std::vector<uint8_t>(q->data + off, q->data + off + len), ts, flags});
        }
        if (cursor)
            *cursor = seq;
        if (detach)
            stop_and_wait_end(seq);
        return frames;
    }

    static void stop_and_wait_end(uint32_t seq)
    {
        stream_release(&env->queue);
        EXPECT_TRUE(wait_end_marker(seq)) << "no end marker after the last consumer left";
    }

    static bool wait_end_marker(uint32_t seq)
    {
        StreamQueue *q = &env->queue;
        for (int i = 0; i < 100; i++) {
            timespec deadline;
            clock_gettime(CLOCK_REALTIME, &deadline);
            deadline.tv_nsec += 100 * 1000000;
            if (deadline.tv_nsec >= 1000000000) {
                deadline.tv_sec++;
                deadline.tv_nsec -= 1000000000;
            }
            uint32_t off, len, ts, flags;
            while (ringbuffer_wait_seq(q, &seq, &off, &len, &ts, &flags, 1, &deadline) == 0) {
                seq++;
                if (len == 0 && ts == 0)
                    return true;
            }
        }
        return false;
    }

    static std::string write_file(const std::vector<Frame> &frames, const char *name)
    {
        std::string dir = test_board_dir() + "/media";
        mkdir(test_board_dir().c_str(), 0755);
        mkdir(dir.c_str(), 0755);
        std::string path = dir + "/" + name;
        std::ofstream f(path, std::ios::binary);
        for (const Frame &fr : frames)
            f.write((const char *)fr.data.data(), (std::streamsize)fr.data.size());
        return path;
    }

    static std::string probe(const std::string &path, const char *format, const char *entries)
    {
        int status;
        std::string out = test_run(std::string("ffprobe -v error -f ") + format + " -show_entries stream=" + entries +
                                       " -of default=nw=1 " + path + " 2>&1",
                              &status);
        EXPECT_EQ(status, 0) << out;
        return out;
    }
};

void expect_all_differ(const std::vector<std::string> &hashes, size_t want)
{
    EXPECT_EQ(hashes.size(), want);
    for (size_t i = 1; i < hashes.size(); i++)
        EXPECT_NE(hashes[i], hashes[i - 1]) << "picture " << i << " repeats the one before";
}

TEST_F(EncoderThread, H264DecodesAtChannelSizeWithProfileLevelAndGop)
{
    std::vector<Frame> frames = consume(46);
    ASSERT_EQ(frames.size(), 46u);
    EXPECT_TRUE(frames[0].flags & RB_FLAG_KEYFRAME) << "a stream starts with an IDR";
    for (size_t i = 0; i < frames.size(); i++) {
        bool key = frames[i].flags & RB_FLAG_KEYFRAME;
        EXPECT_EQ(key, i % 15 == 0) << i;
        EXPECT_EQ(is_keyframe(frames[i].data.data(), VIDEO_CODEC_H264, frames[i].data.size()), key) << i;
        if (i) {
            EXPECT_EQ(frames[i].timestamp - frames[i - 1].timestamp, 3003u) << "capture stamps pass through";
        }
    }
    std::string path = write_file(frames, "a.h264");
    expect_all_differ(ffmpeg_frame_hashes(path, "h264"), frames.size());
    std::string info = probe(path, "h264", "width,height,profile,level,has_b_frames");
    EXPECT_NE(info.find("width=720\nheight=480"), std::string::npos) << info;
    EXPECT_NE(info.find("profile=High"), std::string::npos) << info;
    EXPECT_NE(info.find("level=30"), std::string::npos) << info;
    EXPECT_NE(info.find("has_b_frames=0"), std::string::npos) << info;
    EXPECT_NE(log_text().find("videoA: fully stopped"), std::string::npos);
}

TEST_F(EncoderThread, Mpeg4CarriesItsHeaderInFrontOfEveryIVop)
{
    params.Video[0].StreamMode = StreamMode_MPEG4_ES;
    params.Video[0].GOPSize = 10;
    std::vector<Frame> frames = consume(25);
    ASSERT_EQ(frames.size(), 25u);
    for (size_t i = 0; i < frames.size(); i++) {
        const uint8_t *d = frames[i].data.data();
        bool key = frames[i].flags & RB_FLAG_KEYFRAME;
        EXPECT_EQ(key, i % 10 == 0) << i;
        bool vos = d[0] == 0 && d[1] == 0 && d[2] == 1 && d[3] == 0xb0;
        EXPECT_EQ(vos, key) << "picture " << i;
        EXPECT_EQ(is_keyframe(d, VIDEO_CODEC_MPEG4, frames[i].data.size()), key) << i;
    }
    // A consumer that joins at the second I-VOP decodes from there.
    std::vector<Frame> late(frames.begin() + 10, frames.end());
    std::string path = write_file(late, "late.m4v");
    expect_all_differ(ffmpeg_frame_hashes(path, "m4v"), late.size());
    std::string info = probe(path, "m4v", "width,height");
    EXPECT_NE(info.find("width=720\nheight=480"), std::string::npos) << info;
}

TEST_F(EncoderThread, JpegPicturesAreWholeKeyframesAtChannelSize)
{
    params.Video[0].StreamMode = StreamMode_JPEG;
    params.Video[0].Width = 640;
    params.Video[0].Height = 360;
    std::vector<Frame> frames = consume(8);
    ASSERT_EQ(frames.size(), 8u);
    for (const Frame &f : frames) {
        EXPECT_TRUE(f.flags & RB_FLAG_KEYFRAME);
        ASSERT_GT(f.data.size(), 4u);
        EXPECT_TRUE(f.data[0] == 0xff && f.data[1] == 0xd8 && f.data[f.data.size() - 2] == 0xff &&
                    f.data.back() == 0xd9);
    }
    std::string path = write_file(frames, "a.mjpeg");
    expect_all_differ(ffmpeg_frame_hashes(path, "mjpeg"), frames.size());
    std::string info = probe(path, "mjpeg", "width,height");
    EXPECT_NE(info.find("width=640\nheight=360"), std::string::npos) << info;
    EXPECT_NE(log_text().find("set format on buffer"), std::string::npos) << "pictures re-tagged as UYVY";
}

TEST_F(EncoderThread, RestartWithNewSettingsReachesTheEncoder)
{
    StreamQueue *q = &env->queue;
    std::vector<Frame> first = consume(3, false);
    ASSERT_EQ(first.size(), 3u);
    // Two consumers, one leaves: the encoder keeps running.
    stream_use(VIDEO_STREAM1);
    stream_release(q);
    EXPECT_EQ(stream_get_state_by_id(VIDEO_STREAM1), 1);

    params.Video[0].Width = 352;
    params.Video[0].Height = 240;
    pthread_mutex_lock(&q->mutex);
    uint32_t seq = q->seq;
    pthread_mutex_unlock(&q->mutex);
    stream_restart(VIDEO_STREAM1);
    EXPECT_TRUE(wait_end_marker(seq)) << "a restart passes through the end marker";
    std::vector<Frame> after;
    while (after.size() < 5) {
        timespec deadline;
        clock_gettime(CLOCK_REALTIME, &deadline);
        deadline.tv_sec += 10;
        uint32_t off, len, ts, flags;
        ASSERT_EQ(ringbuffer_wait_seq(q, &seq, &off, &len, &ts, &flags, 1, &deadline), 0);
        seq++;
        if (len) {
            after.push_back({std::vector<uint8_t>(q->data + off, q->data + off + len), ts, flags});
        }
    }
    // From the first IDR after the restart on.
    size_t k = 0;
    while (k < after.size() && !(after[k].flags & RB_FLAG_KEYFRAME))
        k++;
    ASSERT_LT(k, after.size());
    std::vector<Frame> tail(after.begin() + (long)k, after.end());
    std::string info = probe(write_file(tail, "b.h264"), "h264", "width,height");
    EXPECT_NE(info.find("width=352\nheight=240"), std::string::npos) << info;
    stop_and_wait_end(seq);
    EXPECT_EQ(stream_get_state_by_id(VIDEO_STREAM1), 0);
    EXPECT_EQ(env->status, 0);
}

TEST_F(EncoderThread, BitRateWithinFifteenPercentOverTenSeconds)
{
    params.Video[0].GOPSize = 30;
    std::vector<Frame> frames = consume(301);
    ASSERT_EQ(frames.size(), 301u);
    size_t bytes = 0;
    for (size_t i = 0; i < 300; i++)
        bytes += frames[i].data.size();
    double secs = (frames[300].timestamp - frames[0].timestamp) / 90000.0;
    double kbps = bytes * 8 / secs / 1000;
    EXPECT_NEAR(kbps, 2000, 300) << "over " << secs << " s";
}

TEST_F(EncoderThread, DecimationIsTheCapturesAloneAndTheSpsSaysItsRate)
{
    params.Video[0].FrameRate = 3;
    std::vector<Frame> frames = consume(12);
    ASSERT_EQ(frames.size(), 12u);
    for (size_t i = 1; i < frames.size(); i++)
        EXPECT_EQ(frames[i].timestamp - frames[i - 1].timestamp, 3u * 3003u) << "every picture capture hands over";
    std::string path = write_file(frames, "dec3.h264");
    EXPECT_EQ(h264_sps_timing(path, "h264"), "1001/20000");
    EXPECT_EQ(ffprobe_frame_rate(path, "h264"), "10000/1001");
    EXPECT_NE(log_text().find("timeScale=20000 numUnitsInTicks=1001"), std::string::npos);
}

TEST_F(EncoderThread, H264PicturesHoldOnlyTheirUnitsAndTheSpsHasTheStampsRate)
{
    std::vector<Frame> frames = consume(20);
    ASSERT_EQ(frames.size(), 20u);
    for (size_t i = 0; i < frames.size(); i++) {
        const std::vector<uint8_t> &d = frames[i].data;
        std::vector<int> types;
        for (size_t k = annexb_find_start_code(d.data(), d.size(), 0); k + 3 < d.size();
             k = annexb_find_start_code(d.data(), d.size(), k + 3))
            types.push_back(d[k + 3] & 0x1f);
        std::vector<int> want = i % 15 == 0 ? std::vector<int>{7, 8, 5} : std::vector<int>{1};
        EXPECT_EQ(types, want) << "picture " << i << ": start codes inside the slice, SEI or filler";
        EXPECT_EQ(frames[i].timestamp - frames[0].timestamp, i * 3003u);
    }
    std::string path = write_file(frames, "timing.h264");
    EXPECT_EQ(h264_sps_timing(path, "h264"), "1001/60000");
    EXPECT_EQ(ffprobe_frame_rate(path, "h264"), "30000/1001");
}

TEST_F(EncoderThread, ProfileLevelAndEntropyChangesReachTheReusedEncoder)
{
    std::vector<Frame> first = consume(2);
    ASSERT_EQ(first.size(), 2u);
    std::string info = probe(write_file(first, "high.h264"), "h264", "profile,level");
    EXPECT_NE(info.find("profile=High\nlevel=30"), std::string::npos) << info;
    params.Video[0].H264Profile = 66;
    params.Video[0].H264Level = 31;
    log_ring_reset();
    std::vector<Frame> second = consume(2);
    ASSERT_EQ(second.size(), 2u);
    std::string path = write_file(second, "base.h264");
    info = probe(path, "h264", "profile,level");
    EXPECT_NE(info.find("Baseline\nlevel=31"), std::string::npos) << info;
    std::string trace = test_run("ffmpeg -nostdin -v trace -f h264 -i " + path +
                                 " -c copy -bsf:v trace_headers -frames:v 1 -f null - 2>&1");
    EXPECT_NE(trace.find("entropy_coding_mode_flag                                    0 = 0"), std::string::npos)
        << "CABAC left on";
    std::string log = log_text();
    EXPECT_NE(log.find("h264 level=31 profile=66"), std::string::npos) << log;
    EXPECT_NE(log.find("creation parameters changed"), std::string::npos) << log;
    EXPECT_EQ(log.find("reusing existing VIDENC1_Handle"), std::string::npos) << log;
}


TEST_F(EncoderThread, UnknownModeFailsSetupAndStopsItsStream)
{
    params.Video[0].StreamMode = StreamMode_16;
    StreamQueue *q = &env->queue;
    pthread_mutex_lock(&q->mutex);
    uint32_t seq = q->seq;
    pthread_mutex_unlock(&q->mutex);
    stream_use(VIDEO_STREAM1);
    EXPECT_TRUE(wait_end_marker(seq));
    EXPECT_EQ(stream_get_state_by_id(VIDEO_STREAM1), 0) << "the failed stream is stopped";
    EXPECT_NE(log_text().find("unexpected video format 0x10"), std::string::npos);
    stream_release(q);
}

TEST_F(EncoderThread, RawModeWaitsForTheStopWithoutSpinning)
{
    params.Video[0].StreamMode = StreamMode_NV12;
    StreamQueue *q = &env->queue;
    pthread_mutex_lock(&q->mutex);
    uint32_t seq = q->seq;
    pthread_mutex_unlock(&q->mutex);
    stream_use(VIDEO_STREAM1);
    // The thread has taken the start once it has logged the settings.
    for (int i = 0; i < 100 && log_text().find("StreamMode=6") == std::string::npos; i++)
        quit_wait(20);
    ASSERT_NE(log_text().find("StreamMode=6"), std::string::npos);
    quit_wait(300);     // a window in which a spinning thread would go round its loop many times
    std::string text = log_text();
    EXPECT_EQ(text.find("videoA not started"), std::string::npos) << "the thread went round its loop";
    EXPECT_EQ(text.find("videoA: stopped"), std::string::npos) << "stopped while its consumer is attached";
    EXPECT_EQ(stream_get_state_by_id(VIDEO_STREAM1), 1);
    stop_and_wait_end(seq);
}

TEST_F(EncoderThread, SizeQueryOfAnotherThreadLeavesTheRunningEncoderAlone)
{
    uint32_t cursor = UINT32_MAX;
    std::vector<Frame> first = consume(2, false, &cursor);
    ASSERT_EQ(first.size(), 2u);
    params.Video[0].Width = 352;
    params.Video[0].Height = 240;
    int w = 0, h = 0;
    get_video_size(0, &w, &h);
    EXPECT_EQ(w, 352);
    EXPECT_EQ(h, 240);
    EXPECT_EQ(env->width, 720) << "the query wrote into the encoder's record";
    EXPECT_EQ(env->lineLength, 736);
    std::vector<Frame> more = consume(3, true, &cursor);
    std::vector<Frame> all(first);
    all.insert(all.end(), more.begin(), more.end());
    std::string info = probe(write_file(all, "c.h264"), "h264", "width,height");
    EXPECT_NE(info.find("width=720\nheight=480"), std::string::npos) << info;
}

TEST_F(EncoderThread, DecimationSetterTakesTheLockAndNeverGoesBelowTheSetting)
{
    params.Video[0].FrameRate = 2;
    setVideoDecimate(1);
    EXPECT_EQ(video_get_decimate(env), 2);
    setVideoDecimate(4);
    EXPECT_EQ(video_get_decimate(env), 4);
}

TEST(EncoderRules, ScaleToFit)
{
    int w = 1920, h = 1080;
    scale_to_fit(&w, &h);
    EXPECT_EQ(w, 960);
    EXPECT_EQ(h, 540);
    w = 2000, h = 2304;
    scale_to_fit(&w, &h);
    EXPECT_EQ(w, 666);
    EXPECT_EQ(h, 768);
    w = 2000, h = 2305;
    scale_to_fit(&w, &h);
    EXPECT_EQ(w, 640);
    EXPECT_EQ(h, 480);
    w = 768, h = 576;
    scale_to_fit(&w, &h);
    EXPECT_EQ(w, 768);
    EXPECT_EQ(h, 576);
}

TEST(EncoderRules, NeededH264Level)
{
    EXPECT_EQ(h264_needed_level(720, 480, 0, 29970, 2000000, 100), 30);
    EXPECT_EQ(h264_needed_level(720, 576, 0, 25000, 12000000, 100), 30) << "High allows 12.5 Mbit/s at 3.0";
    EXPECT_EQ(h264_needed_level(720, 576, 0, 25000, 12000000, 77), 31);
    EXPECT_EQ(h264_needed_level(176, 144, 0, 15000, 100000, 66), 9) << "1b";
    EXPECT_EQ(h264_needed_level(1920, 1080, 0, 29970, 8000000, 100), 40);
}

TEST(EncoderRules, KeyframeTests)
{
    const uint8_t idr[] = {0, 0, 0, 1, 0x65, 0x88};
    const uint8_t sps[] = {0, 0, 0, 1, 0x09, 0x10, 0, 0, 0, 1, 0x67, 0x64};
    const uint8_t p[] = {0, 0, 0, 1, 0x41, 0x9a};
    EXPECT_TRUE(is_keyframe(idr, VIDEO_CODEC_H264));
    EXPECT_TRUE(is_keyframe(sps, VIDEO_CODEC_H264));
    EXPECT_FALSE(is_keyframe(p, VIDEO_CODEC_H264));
    const uint8_t ivop[] = {0, 0, 1, 0xb6, 0x10, 0};
    const uint8_t pvop[] = {0, 0, 1, 0xb6, 0x50, 0};
    EXPECT_TRUE(is_keyframe(ivop, VIDEO_CODEC_MPEG4));
    EXPECT_FALSE(is_keyframe(pvop, VIDEO_CODEC_MPEG4));
    EXPECT_TRUE(is_keyframe(p, VIDEO_CODEC_JPEG));
    // A unit cut short is no keyframe, and nothing past it is read.
    EXPECT_FALSE(is_keyframe(idr, VIDEO_CODEC_H264, 4));
    EXPECT_FALSE(is_keyframe(sps, VIDEO_CODEC_H264, 10));
    EXPECT_FALSE(is_keyframe(ivop, VIDEO_CODEC_MPEG4, 4));
    const uint8_t vosOnly[] = {0, 0, 1, 0xb0, 0x01};
    EXPECT_FALSE(is_keyframe(vosOnly, VIDEO_CODEC_MPEG4, sizeof vosOnly));
}

TEST(EncoderRules, ErrorNames)
{
    EXPECT_STREQ(jpeg_error_name(0x4000 | 12), "DM365_JPEGENC_INVALID_QVALUE");
    EXPECT_STREQ(jpeg_error_name(0x40), "JPEG_ERR_0x00000040");
    EXPECT_STREQ(mpeg4_error_name(MPEG4VENC_ERR_TARGETBITRATE), "MPEG4VENC_ERR_TARGETBITRATE");
    EXPECT_STREQ(mpeg4_error_name(0x1234), "MPEG4_ERR_0x00001234");
    EXPECT_STREQ(h264_error_name(0x4000 | IH264VENC_ERR_RCALGO), "IH264VENC_ERR_RCALGO");
}

} // namespace
