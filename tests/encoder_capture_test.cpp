// Both encoder threads behind the real capture thread on the simulated input, with a test
// consumer on each stream for ten seconds of pictures. Each case runs the threads once and ends
// with the quit state, so each needs a process of its own, as ctest gives it.
#include "core/log.h"
#include "core/param.h"
#include "core/quit.h"
#include "core/threads.h"
#include "platform/platform.h"
#include "streams/stream.h"
#include "streams/stream_mode.h"
#include "testutil.h"
#include "video/capture.h"
#include "video/encoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

namespace {

struct Frame {
    std::vector<uint8_t> data;
    uint32_t timestamp;
    uint32_t flags;
};

ParamBlock params;

void start_threads(pthread_t *threads, Rendezvous_Handle *start, Rendezvous_Handle *cleanup)
{
    platform_init();
    log_init();
    signal(SIGALRM, alarm_handler);
    params.Capture.Brightness = 128;
    params.Capture.Saturation = 128;
    params.Capture.Contrast = 128;
    params.Capture_AutoGain = 1;
    params.Capture_AutoBrightness = 1;
    *start = Rendezvous_create(4);
    *cleanup = Rendezvous_create(4);
    captureEnv = {};
    captureEnv.name = "capture";
    captureEnv.hRendezvousInit = *start;
    captureEnv.hRendezvousCleanup = *cleanup;
    captureEnv.hToVideoA = Fifo_create(&Fifo_Attrs_DEFAULT);
    captureEnv.hFromVideoA = Fifo_create(&Fifo_Attrs_DEFAULT);
    captureEnv.hToVideoB = Fifo_create(&Fifo_Attrs_DEFAULT);
    captureEnv.hFromVideoB = Fifo_create(&Fifo_Attrs_DEFAULT);
    captureEnv.videoA = &videoEnvA;
    captureEnv.videoB = &videoEnvB;
    captureEnv.params = &params;
    VideoEnv *venv[2] = {&videoEnvA, &videoEnvB};
    for (int ch = 0; ch < 2; ch++) {
        VideoEnv *v = venv[ch];
        *v = {};
        v->name = ch ? "videoB" : "videoA";
        v->params = &params;
        v->channel = ch;
        v->hRendezvousInit = *start;
        v->hRendezvousCleanup = *cleanup;
        v->hToCapture = ch ? captureEnv.hFromVideoB : captureEnv.hFromVideoA;
        v->hFromCapture = ch ? captureEnv.hToVideoB : captureEnv.hToVideoA;
        v->engineName = "encode";
        v->decimate = 1;
    }
    pthread_create(&threads[0], nullptr, captureThrFxn, &captureEnv);
    pthread_create(&threads[1], nullptr, videoThrFxn, &videoEnvA);
    pthread_create(&threads[2], nullptr, videoThrFxn, &videoEnvB);
    Rendezvous_meet(*start);
}

void stop_threads(pthread_t *threads, Rendezvous_Handle cleanup)
{
    quit_set(QUIT_QUIT, false);
    stream_stop_all();
    Fifo_flush(captureEnv.hToVideoA);
    Fifo_flush(captureEnv.hFromVideoA);
    Fifo_flush(captureEnv.hToVideoB);
    Fifo_flush(captureEnv.hFromVideoB);
    Rendezvous_meet(cleanup);
    for (int i = 0; i < 3; i++)
        pthread_join(threads[i], nullptr);
}

// First consumer of the stream: collects `count` frames, detaches, waits for the end marker.
void consume(int id, size_t count, std::vector<Frame> *frames, bool *ended)
{
    StreamQueue *q = get_stream_queue(id);
    pthread_mutex_lock(&q->mutex);
    uint32_t seq = q->seq;
    pthread_mutex_unlock(&q->mutex);
    stream_use(id);
    while (frames->size() < count) {
        timespec deadline;
        clock_gettime(CLOCK_REALTIME, &deadline);
        deadline.tv_sec += 10;
        uint32_t off, len, ts, flags;
        if (ringbuffer_wait_seq(q, &seq, &off, &len, &ts, &flags, 1, &deadline) != 0)
            break;
        seq++;
        if (len)
            frames->push_back({std::vector<uint8_t>(q->data + off, q->data + off + len), ts, flags});
    }
    stream_release(q);
    // The end marker wakes nobody: look in short steps.
    *ended = false;
    for (int i = 0; i < 100 && !*ended; i++) {
        timespec deadline;
        clock_gettime(CLOCK_REALTIME, &deadline);
        deadline.tv_nsec += 100 * 1000000;
        if (deadline.tv_nsec >= 1000000000) {
            deadline.tv_sec++;
            deadline.tv_nsec -= 1000000000;
        }
        uint32_t off, len, ts, flags;
        while (!*ended && ringbuffer_wait_seq(q, &seq, &off, &len, &ts, &flags, 1, &deadline) == 0) {
            seq++;
            *ended = len == 0 && ts == 0;
        }
    }
}

std::string write_file(const std::vector<Frame> &frames, const char *name)
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

// ffmpeg decodes every picture without a complaint; returns the distinct picture hashes.
size_t decode_distinct(const std::string &path, const char *format, size_t *pictures)
{
    std::vector<std::string> hashes = ffmpeg_frame_hashes(path, format);
    *pictures = hashes.size();
    std::sort(hashes.begin(), hashes.end());
    return (size_t)(std::unique(hashes.begin(), hashes.end()) - hashes.begin());
}

std::string probe(const std::string &path, const char *format)
{
    int status;
    std::string out = test_run(std::string("ffprobe -v error -f ") + format +
                                   " -show_entries stream=width,height,profile,level -of default=nw=1 " + path + " 2>&1",
                               &status);
    EXPECT_EQ(status, 0) << out;
    return out;
}

// Over the pictures' own durations at 29.97 per second, which is what rate control budgets;
// a machine too slow for real time (a sanitiser build) misses pictures, not bits per picture.
double kbps(const std::vector<Frame> &frames)
{
    size_t bytes = 0;
    for (size_t i = 0; i + 1 < frames.size(); i++)
        bytes += frames[i].data.size();
    double secs = (frames.size() - 1) / 29.97;
    double span = (uint32_t)(frames.back().timestamp - frames.front().timestamp) / 90000.0;
    printf("%zu pictures over %.2f s of capture, %.0f kbit/s by pictures, %.0f kbit/s by the clock\n",
           frames.size(), span, bytes * 8 / secs / 1000, bytes * 8 / span / 1000);
    return bytes * 8 / secs / 1000;
}

TEST(EncoderWithCapture, BothChannelsEncodeTenSecondsOfTheMovingPicture)
{
    ParamVideo &a = params.Video[0];
    a.StreamMode = StreamMode_H264_ES;
    a.BitRate = 2000000;
    a.GOPSize = 30;
    a.FrameRate = 1;
    a.H264Profile = 100;
    a.H264Level = 30;
    ParamVideo &b = params.Video[1];
    b.StreamMode = StreamMode_MPEG4_ES;
    b.Width = 352;
    b.Height = 240;
    b.BitRate = 1000000;
    b.GOPSize = 30;
    b.FrameRate = 1;
    pthread_t threads[3];
    Rendezvous_Handle start, cleanup;
    start_threads(threads, &start, &cleanup);

    const size_t count = 301;     // 300 intervals of 1/29.97 s
    std::vector<Frame> fa, fb;
    bool endA = false, endB = false;
    std::thread ta(consume, VIDEO_STREAM1, count, &fa, &endA);
    std::thread tb(consume, VIDEO_STREAM2, count, &fb, &endB);
    ta.join();
    tb.join();
    EXPECT_TRUE(endA && endB) << "an encoder did not put its end marker after its last consumer left";
    stop_threads(threads, cleanup);
    ASSERT_EQ(fa.size(), count);
    ASSERT_EQ(fb.size(), count);

    EXPECT_TRUE(fa[0].flags & RB_FLAG_KEYFRAME);
    EXPECT_TRUE(fb[0].flags & RB_FLAG_KEYFRAME);
    size_t pictures = 0;
    std::string pa = write_file(fa, "a.h264");
    size_t distinct = decode_distinct(pa, "h264", &pictures);
    EXPECT_EQ(pictures, count);
    EXPECT_GT(distinct, count * 9 / 10) << "the pictures do not move";
    std::string info = probe(pa, "h264");
    EXPECT_NE(info.find("width=720\nheight=480"), std::string::npos) << info;
    EXPECT_NE(info.find("profile=High"), std::string::npos) << info;
    EXPECT_NE(info.find("level=30"), std::string::npos) << info;
    // H.264 rate control holds the rate without filler: the simulated picture, mostly still,
    // comes in under it, never over.
    double ka = kbps(fa);
    EXPECT_GT(ka, 0);
    EXPECT_LE(ka, 2300);

    std::string pb = write_file(fb, "b.m4v");
    distinct = decode_distinct(pb, "m4v", &pictures);
    EXPECT_EQ(pictures, count);
    EXPECT_GT(distinct, count * 9 / 10);
    info = probe(pb, "m4v");
    EXPECT_NE(info.find("width=352\nheight=240"), std::string::npos) << info;
    EXPECT_NEAR(kbps(fb), 1000, 150);
}

TEST(EncoderWithCapture, FrameRateDivisorIsAppliedOnce)
{
    ParamVideo &a = params.Video[0];
    a.StreamMode = StreamMode_H264_ES;
    a.BitRate = 1000000;
    a.GOPSize = 10;
    a.FrameRate = 3;     // NTSC / 3: about 10 pictures per second
    a.H264Profile = 100;
    a.H264Level = 30;
    params.Video[1].StreamMode = StreamMode_H264_ES;
    params.Video[1].FrameRate = 1;
    pthread_t threads[3];
    Rendezvous_Handle start, cleanup;
    start_threads(threads, &start, &cleanup);
    std::vector<Frame> fa;
    bool endA = false;
    consume(VIDEO_STREAM1, 21, &fa, &endA);
    stop_threads(threads, cleanup);
    ASSERT_EQ(fa.size(), 21u);
    size_t steady = 0;
    uint32_t shortest = UINT32_MAX;
    for (size_t i = 1; i < fa.size(); i++) {
        uint32_t step = fa[i].timestamp - fa[i - 1].timestamp;
        steady += step == 9009;
        shortest = std::min(shortest, step);
    }
    // A slow (sanitiser) or loaded machine misses capture frames, which lengthens some steps but
    // never shortens one: the shortest is 3 capture frames, and decimated twice none would be.
    EXPECT_EQ(shortest, 9009u) << "pictures are not 3 capture frames apart";
    EXPECT_GE(steady, fa.size() / 4) << "pictures are not 3 capture frames apart";
    uint32_t span = fa.back().timestamp - fa.front().timestamp;
    EXPECT_GE(span, 20u * 9009u) << "faster than every third capture frame";
    std::string path = write_file(fa, "dec.h264");
    EXPECT_EQ(ffprobe_frame_rate(path, "h264"), "10000/1001");
    EXPECT_EQ(h264_sps_timing(path, "h264"), "1001/20000");
    std::string log = test_log_text();
    size_t at = log.find("videoA: stopped ");
    ASSERT_NE(at, std::string::npos);
    double fps = atof(log.c_str() + at + strlen("videoA: stopped "));
    // Missed capture frames only lower the rate, which the steps above judge; the log's figure
    // counts the start as well, which a busy machine makes long: half the rate the pictures came at.
    EXPECT_GT(fps, 0.5 * 20 * 90000 / span) << log.substr(at, 60);
    EXPECT_LT(fps, 11.5) << log.substr(at, 60);
}

TEST(EncoderWithCapture, ChannelBackToJpegGetsEveryPictureAgain)
{
    params.Video[0].StreamMode = StreamMode_H264_ES;
    params.Video[0].FrameRate = 1;
    ParamVideo &b = params.Video[1];
    b.StreamMode = StreamMode_H264_ES;
    b.Width = 640;
    b.Height = 480;
    b.BitRate = 1000000;
    b.GOPSize = 30;
    b.FrameRate = 1;
    b.H264Profile = 100;
    b.H264Level = 30;
    b.JPEGQuality = 80;
    pthread_t threads[3];
    Rendezvous_Handle start, cleanup;
    start_threads(threads, &start, &cleanup);
    std::vector<Frame> h264, jpeg;
    bool ended = false;
    consume(VIDEO_STREAM2, 20, &h264, &ended);
    ASSERT_TRUE(ended);
    // Buffers on their way back to the capture still carry the H.264 run's format.
    b.StreamMode = StreamMode_JPEG;
    consume(VIDEO_STREAM2, 31, &jpeg, &ended);
    stop_threads(threads, cleanup);
    ASSERT_EQ(jpeg.size(), 31u);
    for (const Frame &f : jpeg)
        ASSERT_TRUE(f.data.size() > 2 && f.data[0] == 0xff && f.data[1] == 0xd8);
    // Each buffer the capture fills in the old format costs a resizer change and a lost picture:
    // after the switch the resizer changes once, to the JPEG format, and stays.
    std::string log = test_log_text();
    size_t at = log.find("StreamMode=3");
    ASSERT_NE(at, std::string::npos);
    int changes = 0;
    for (size_t p = log.find("ResizeB changed to", at); p != std::string::npos; p = log.find("ResizeB changed to", p + 1))
        changes++;
    EXPECT_EQ(changes, 1) << log.substr(at);
}

} // namespace
