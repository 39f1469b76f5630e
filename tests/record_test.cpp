#include "storage/record.h"

#include "core/log.h"
#include "core/param.h"
#include "core/param_commit.h"
#include "core/param_table.h"
#include "core/quit.h"
#include "core/threads.h"
#include "platform/platform.h"
#include "storage/filesys.h"
#include "streams/stream.h"
#include "fakeproducer.h"
#include "stream_testutil.h"
#include "testutil.h"

#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include "video/encoder.h"
#include <ctime>
#include <fstream>
#include <gtest/gtest.h>
#include <pthread.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void touch(const std::string &rel)
{
    std::ofstream(test_board_path(rel)) << "x";
}

void make_dir(const std::string &rel)
{
    test_run("mkdir -p '" + test_board_path(rel) + "'");
}

struct tm fixed_time()
{
    struct tm tm{};
    tm.tm_year = 2026 - 1900;
    tm.tm_mon = 11;
    tm.tm_mday = 9;
    tm.tm_hour = 1;
    tm.tm_min = 59;
    tm.tm_sec = 59;
    return tm;
}

} // namespace

TEST(RecordNames, FieldsAreFilledAndOtherCaretsKept)
{
    struct tm tm = fixed_time();
    char name[RECORD_NAME_MAX + 1];
    record_build_name(name, "/media/mmc/DCIM", "cam_^d_^t_^c.ts", &tm, 7);
    EXPECT_STREQ(name, "/media/mmc/DCIM/cam_20261209_015959_7.ts");
    record_build_name(name, "/d", "a^xb^^c^", &tm, 3);
    EXPECT_STREQ(name, "/d/a^xb^^c^");   // "^x" and "^^" stay; a trailing "^" is copied alone
    std::string longer(150, 'n');
    record_build_name(name, "/d", longer.c_str(), &tm, 1);
    EXPECT_EQ(strlen(name), (size_t)RECORD_NAME_MAX);
}

TEST(RecordNames, CountFollowsTheLargestNumberInTheFolder)
{
    platform_init();
    make_dir("/media/n1");
    touch("/media/n1/rec7.ts");
    touch("/media/n1/rec12.ts");
    touch("/media/n1/rec99.mp4");   // another suffix
    touch("/media/n1/rex50.ts");    // another prefix
    touch("/media/n1/recX.ts");
    EXPECT_EQ(record_find_count("/media/n1", "rec^c.ts"), 13);
    char name[RECORD_NAME_MAX + 1];
    ASSERT_EQ(record_next_name(name, "/media/n1", "rec^c.ts", time(nullptr)), 0);
    EXPECT_STREQ(name, "/media/n1/rec13.ts");
    EXPECT_EQ(record_find_count("/media/none", "rec^c.ts"), 1);
    EXPECT_EQ(record_find_count("/media/n1", "plain.ts"), 1);
}

TEST(RecordNames, CollisionsMoveTheLastField)
{
    platform_init();
    make_dir("/media/n2");
    time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    char taken[RECORD_NAME_MAX + 1], name[RECORD_NAME_MAX + 1];
    record_build_name(taken, "/media/n2", "^d_^t", &tm, 1);
    touch(taken);
    ASSERT_EQ(record_next_name(name, "/media/n2", "^d_^t", now), 0);
    time_t later = now + 1;
    struct tm tm2;
    localtime_r(&later, &tm2);
    char want[RECORD_NAME_MAX + 1];
    record_build_name(want, "/media/n2", "^d_^t", &tm2, 1);
    if (tm2.tm_mday == tm.tm_mday) {   // the date stays; only the time moves on
        EXPECT_STREQ(name, want);
    }
    EXPECT_STRNE(name, taken);

    // "^t" then "^c": the count is the last field and moves.
    record_build_name(taken, "/media/n2", "x^t_^c", &tm, 1);
    touch(taken);
    ASSERT_EQ(record_next_name(name, "/media/n2", "x^t_^c", now), 0);
    record_build_name(want, "/media/n2", "x^t_^c", &tm, 2);
    EXPECT_STREQ(name, want);

    // Without a field an existing file is never reused: a number goes in before the extension.
    ASSERT_EQ(record_next_name(name, "/media/n2", "same.ts", now), 0);
    EXPECT_STREQ(name, "/media/n2/same.ts");
    touch("/media/n2/same.ts");
    ASSERT_EQ(record_next_name(name, "/media/n2", "same.ts", now), 0);
    EXPECT_STREQ(name, "/media/n2/same_2.ts");
    touch("/media/n2/same_2.ts");
    ASSERT_EQ(record_next_name(name, "/media/n2", "same.ts", now), 0);
    EXPECT_STREQ(name, "/media/n2/same_3.ts");
    touch("/media/n2/bare");
    ASSERT_EQ(record_next_name(name, "/media/n2", "bare", now), 0);
    EXPECT_STREQ(name, "/media/n2/bare_2");
}

TEST(RecordNames, ANameWithoutExtensionGetsTheContainers)
{
    char t[100] = "rec0";
    record_add_extension(t, sizeof t, ".mp4");
    EXPECT_STREQ(t, "rec0.mp4");
    snprintf(t, sizeof t, "cam^c.ts");
    record_add_extension(t, sizeof t, ".mp4");
    EXPECT_STREQ(t, "cam^c.ts");   // the user's own extension stays
    snprintf(t, sizeof t, "a.b/rec^c");
    record_add_extension(t, sizeof t, ".ts");
    EXPECT_STREQ(t, "a.b/rec^c.ts");   // a dot in a folder is no extension
    t[0] = 0;
    record_add_extension(t, sizeof t, ".ts");
    EXPECT_STREQ(t, "^d_^t.ts");   // no name at all: the date and time make one
    snprintf(t, sizeof t, "cam/");
    record_add_extension(t, sizeof t, ".mp4");
    EXPECT_STREQ(t, "cam/^d_^t.mp4");
}

TEST(RecordNames, AFieldCutOffTheNameEndsTheSearch)
{
    platform_init();
    make_dir("/media/n3");
    std::string tmpl = std::string(95, 'a') + "^c.ts";   // the count falls past 99 characters
    char name[RECORD_NAME_MAX + 1];
    ASSERT_EQ(record_next_name(name, "/media/n3", tmpl.c_str(), time(nullptr)), 0);
    touch(name);
    EXPECT_EQ(record_next_name(name, "/media/n3", tmpl.c_str(), time(nullptr)), -1);
}

TEST(RecordLimits, LongSegmentsAndLargeFilesDoNotWrap)
{
    uint64_t size, ticks;
    record_limits(3, 24, &size, &ticks);
    EXPECT_EQ(ticks, 24ull * 3600 * 90000);   // past 2^32: a 24-hour segment lasts 24 hours
    EXPECT_EQ(size, 0u);
    record_limits(5, 4096, &size, &ticks);
    EXPECT_EQ(size, 4096ull << 20);
    EXPECT_EQ(ticks, 0u);
    record_limits(2, 2147483647, &size, &ticks);
    EXPECT_EQ(ticks, 2147483647ull * 5400000);
    record_limits(0, 10, &size, &ticks);
    EXPECT_EQ(size + ticks, 0u);
}

TEST(RecordFolders, NewestFolderAndRollOverAtFiveHundred)
{
    platform_init();
    make_dir("/media/f1/DCIM/100MEDIA");
    for (const char *lookalike : {"99MEDIA", "1000MEDIA", "100media", "150MEDIAX", "x150MEDIA"})
        make_dir(std::string("/media/f1/DCIM/") + lookalike);
    int folder, count;
    record_media_dir_scan("/media/f1/DCIM", &folder, &count);
    EXPECT_EQ(folder, 100);
    EXPECT_EQ(count, 0);
    for (int i = 0; i < 500; i++)
        touch("/media/f1/DCIM/100MEDIA/f" + std::to_string(i));
    touch("/media/f1/DCIM/100MEDIA/.hidden");
    record_media_dir_scan("/media/f1/DCIM", &folder, &count);
    EXPECT_EQ(folder, 101);
    EXPECT_EQ(count, 0);
    make_dir("/media/f1/DCIM/250MEDIA");
    touch("/media/f1/DCIM/250MEDIA/a");
    touch("/media/f1/DCIM/250MEDIA/.b");
    record_media_dir_scan("/media/f1/DCIM", &folder, &count);
    EXPECT_EQ(folder, 250);
    EXPECT_EQ(count, 1);
    log_ring_reset();
    record_media_dir_scan("/media/f1/NODCIM", &folder, &count);
    EXPECT_EQ(folder, 100);
    EXPECT_EQ(count, 0);
    EXPECT_NE(test_log_text().find("failed dcim"), std::string::npos);
}

// The thread itself over the fake producer: stream id 13 started and stopped as the web does.
// One thread serves every case (the quit state of a process never goes back to run).
struct Recorder : ::testing::Test {
    FakeProducer *fp = nullptr;
    ParamBlock *p = nullptr;

    void SetUp() override
    {
        platform_init();
        p = get_param_block();
        *p = param_defaults;
        p->Video[0].Width = 320;   // the fake producer's pictures
        p->Video[0].Height = 240;
        filesys_reset();
        unlink(test_board_path("/mtab").c_str());
        touch("/dev/mmcblk0p1");
        fileSysTick(p);
        ASSERT_EQ(filesys_is_mounted(0), 1);
        static pthread_t thread = [this] {
            pthread_t t{};
            recordEnv = {};
            recordEnv.name = "record";
            recordEnv.params = p;
            recordEnv.runStateId = RECORD_STREAM;
            pthread_create(&t, nullptr, recordThrFxn, &recordEnv);
            pthread_detach(t);
            return t;
        }();
        (void)thread;
        for (int i = 0; i < 100 && stream_get_state_by_id(RECORD_STREAM) < 0; i++)
            usleep(10000);
        ASSERT_EQ(stream_get_state_by_id(RECORD_STREAM), 0);
    }
    void TearDown() override
    {
        if (fp)
            fakeproducer_stop(fp);
        fileSysDone();
    }
    std::string status()
    {
        char text[100];
        recording_status_text(text, sizeof text);
        return text;
    }
    bool wait_log(const char *text, int ms)
    {
        for (int i = 0; i < ms / 20; i++, usleep(20000))
            if (test_log_text().find(text) != std::string::npos)
                return true;
        return false;
    }
    void run_for(int ms)
    {
        log_ring_reset();
        stream_set_state_by_id(RECORD_STREAM, STREAM_START);
        usleep(ms * 1000);
        stream_set_state_by_id(RECORD_STREAM, STREAM_STOP);
        ASSERT_TRUE(wait_log("rw 0 0 0", 10000)) << test_log_text();
    }
};

TEST_F(Recorder, Mp4WithAacHasBothTracksAndEveryFrameDecodes)
{
    fp = fakeproducer_start();
    ASSERT_TRUE(fp);
    snprintf(p->Recording.Filename, sizeof p->Recording.Filename, "av^c.mp4");
    p->Recording.Format = 1;
    p->Recording.DurationMode = 0;
    p->Recording.Source = 1;
    run_for(4000);
    std::string path = test_board_path("/media/mmc/DCIM/av1.mp4");
    int st = 0;
    std::string streams = test_run("ffprobe -v error -show_entries stream=codec_name,duration -of csv=p=0 '" + path + "'", &st);
    ASSERT_EQ(st, 0) << streams;
    EXPECT_NE(streams.find("h264"), std::string::npos) << streams;
    EXPECT_NE(streams.find("aac"), std::string::npos) << streams;
    double vd = 0, ad = 0;
    for (size_t at = 0; at < streams.size();) {
        size_t nl = streams.find('\n', at);
        std::string line = streams.substr(at, nl - at);
        if (line.rfind("h264,", 0) == 0)
            vd = atof(line.c_str() + 5);
        if (line.rfind("aac,", 0) == 0)
            ad = atof(line.c_str() + 4);
        at = nl == std::string::npos ? streams.size() : nl + 1;
    }
    EXPECT_GT(vd, 3.0);
    EXPECT_NEAR(ad, vd, 0.6) << streams;
    std::vector<std::string> frames = ffmpeg_frame_hashes(path, "mp4");
    EXPECT_GT(frames.size(), 90u);
    EXPECT_EQ(status(), "Stopped");
}

TEST_F(Recorder, TransportStreamOfTheChannelCarriesH264AndAac)
{
    fp = fakeproducer_start();
    ASSERT_TRUE(fp);
    snprintf(p->Recording.Filename, sizeof p->Recording.Filename, "ts^c.ts");
    p->Recording.Format = 0;
    p->Video[0].StreamMode = 0;   // H.264 and AAC in a transport stream
    run_for(3000);
    std::string path = test_board_path("/media/mmc/DCIM/ts1.ts");
    int st = 0;
    std::string streams = test_run("ffprobe -v error -show_entries stream=codec_name -of csv=p=0 '" + path + "'", &st);
    ASSERT_EQ(st, 0) << streams;
    EXPECT_NE(streams.find("h264\n"), std::string::npos) << streams;
    EXPECT_NE(streams.find("aac\n"), std::string::npos) << streams;
    EXPECT_GT(ffmpeg_frame_hashes(path, "mpegts").size(), 60u);
}

// The recorder falls behind on channel B: channel B's encoder is throttled, channel A's is not,
// and the throttle goes when the run ends. A pipe put in place of the file's descriptor holds
// the recorder up at will.
TEST_F(Recorder, DecimationThrottlesTheRecordedChannelAndIsUndoneAtTheEnd)
{
    snprintf(p->Recording.Filename, sizeof p->Recording.Filename, "slow.h264");
    p->Recording.Format = 0;
    p->Recording.Source = 2;
    p->Video[1].StreamMode = 2;   // elementary H.264: the file gets the frames as they are
    videoEnvB.params = p;
    video_set_decimate(&videoEnvB, 1);
    video_set_decimate(&videoEnvA, 5);   // a throttle of channel A would log "5 -> "
    TestQueue q(VIDEO_STREAM2, 2 << 20, 256);
    log_ring_reset();
    stream_set_state_by_id(RECORD_STREAM, STREAM_START);
    ASSERT_TRUE(wait_log("i=0 mnt=/media/mmc filename=slow.h264", 3000));
    for (int i = 0; i < 100 && stream_users_by_id(VIDEO_STREAM2) < 1; i++)
        usleep(10000);
    int file_fd = -1;   // the recorder's descriptor of slow.h264, open before it attached
    for (int fd = 3; fd < 1024 && file_fd < 0; fd++) {
        char link[4096];
        ssize_t n = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), link, sizeof link - 1);
        if (n > 0 && std::string(link, (size_t)n).find("/DCIM/slow.h264") != std::string::npos)
            file_fd = fd;
    }
    ASSERT_GE(file_fd, 0);
    int pipe_fds[2];
    ASSERT_EQ(pipe2(pipe_fds, O_CLOEXEC), 0);
    ASSERT_EQ(dup2(pipe_fds[1], file_fd), file_fd);
    close(pipe_fds[1]);
    int rd = pipe_fds[0];
    fcntl(rd, F_SETFL, O_NONBLOCK);
    std::vector<uint8_t> frame(32 << 10, 0x11);
    for (int i = 0; i < 40; i++)   // past the 1 MiB file buffer: the write into the pipe blocks
        q.put((uint32_t)frame.size(), hw_clock_90khz(), RB_FLAG_KEYFRAME, 0x11);
    usleep(200000);
    for (int i = 0; i < 45; i++)   // meanwhile the queue fills up behind the recorder
        q.put((uint32_t)frame.size(), hw_clock_90khz(), RB_FLAG_KEYFRAME, 0x11);
    auto drain_until = [&](const char *text, int ms) {
        std::vector<char> sink(1 << 16);
        for (int i = 0; i < ms / 10; i++) {
            while (read(rd, sink.data(), sink.size()) > 0) {
            }
            if (test_log_text().find(text) != std::string::npos)
                return true;
            usleep(10000);
        }
        return false;
    };
    EXPECT_TRUE(drain_until("setVideoDecimate: 1 -> 3", 5000)) << test_log_text();
    stream_set_state_by_id(RECORD_STREAM, STREAM_STOP);
    EXPECT_TRUE(drain_until("rw 0 0 0", 5000)) << test_log_text();
    close(rd);
    EXPECT_EQ(video_get_decimate(&videoEnvB), 1) << "the throttle outlived the run";
    EXPECT_EQ(video_get_decimate(&videoEnvA), 5) << "channel A is not recorded";
    EXPECT_EQ(test_log_text().find("setVideoDecimate: 5 -> "), std::string::npos);
}

TEST_F(Recorder, ARecordingSettingCommittedDuringARunRestartsIt)
{
    fp = fakeproducer_start();
    ASSERT_TRUE(fp);
    snprintf(p->Recording.Filename, sizeof p->Recording.Filename, "re^c.ts");
    p->Recording.Format = 0;
    log_ring_reset();
    stream_set_state_by_id(RECORD_STREAM, STREAM_START);
    ASSERT_TRUE(wait_log("filename=re^c.ts", 3000));
    usleep(500000);
    ASSERT_EQ(param_set_text("Recording.Duration", "7"), nullptr);
    param_apply_changes();
    EXPECT_TRUE(wait_log("i=13\n", 1000));
    EXPECT_TRUE(wait_log("safe to remove", 3000)) << "the old run ends";
    for (int i = 0; i < 150 && !path_exists("/media/mmc/DCIM/re2.ts"); i++)
        usleep(20000);
    EXPECT_EQ(path_exists("/media/mmc/DCIM/re2.ts"), 1) << "and a new one begins";
    EXPECT_EQ(stream_get_state_by_id(RECORD_STREAM), 1);
    stream_set_state_by_id(RECORD_STREAM, STREAM_STOP);
    EXPECT_TRUE(wait_log("rw 0 0 0", 5000));
}

TEST_F(Recorder, ABareNameRecordedTwiceGivesTwoFilesWithTheContainersExtension)
{
    fp = fakeproducer_start();
    ASSERT_TRUE(fp);
    snprintf(p->Recording.Filename, sizeof p->Recording.Filename, "twice");
    p->Recording.Format = 1;
    p->Recording.DurationMode = 0;
    run_for(1500);
    run_for(1500);
    std::string dir = test_board_path("/media/mmc/DCIM/");
    struct stat a, b;
    ASSERT_EQ(stat((dir + "twice.mp4").c_str(), &a), 0);
    ASSERT_EQ(stat((dir + "twice_2.mp4").c_str(), &b), 0);
    EXPECT_NE(a.st_ino, b.st_ino);
    for (const char *f : {"twice.mp4", "twice_2.mp4"}) {
        int st = 0;
        std::string out = test_run("ffprobe -v error -show_entries stream=codec_name -of csv=p=0 '" + dir + f + "'", &st);
        EXPECT_EQ(st, 0) << f << ": " << out;
        EXPECT_NE(out.find("h264"), std::string::npos) << f << ": " << out;
    }
}

// The status counts the frames' 90 kHz stamps, not the wall clock: frames stamped an hour
// apart, put in a moment, read as an hour.
TEST_F(Recorder, StatusTimeComesFromTheFramesStamps)
{
    TestQueue q(VIDEO_STREAM1, 1 << 20, 64);
    snprintf(p->Recording.Filename, sizeof p->Recording.Filename, "stamps^c.h264");
    p->Recording.Format = 0;
    p->Video[0].StreamMode = 2;   // elementary H.264: every frame goes to the file as it is
    log_ring_reset();
    stream_set_state_by_id(RECORD_STREAM, STREAM_START);
    ASSERT_TRUE(wait_log("filename=stamps^c.h264", 3000));
    for (int i = 0; i < 100 && stream_users_by_id(VIDEO_STREAM1) < 1; i++)
        usleep(10000);
    uint32_t t0 = 0xFFFF0000u;   // and across the 32-bit wrap
    const uint32_t steps[] = {0, 90000u * 60, 90000u * 3723};
    for (uint32_t s : steps)
        q.put(1000, t0 + s, RB_FLAG_KEYFRAME, 0x22);
    std::string st;
    for (int i = 0; i < 200 && (st = status()) != "Recording 1:02:03"; i++)
        usleep(10000);
    EXPECT_EQ(st, "Recording 1:02:03");
    stream_set_state_by_id(RECORD_STREAM, STREAM_STOP);
    EXPECT_TRUE(wait_log("rw 0 0 0", 5000)) << test_log_text();
}

TEST_F(Recorder, AParentFolderNameIsRefusedAndNothingIsWritten)
{
    fp = fakeproducer_start();
    ASSERT_TRUE(fp);
    snprintf(p->Recording.Filename, sizeof p->Recording.Filename, "../../evil^c.ts");
    p->Recording.Format = 0;
    run_for(300);
    EXPECT_NE(test_log_text().find("error: recording filename contains /../"), std::string::npos);
    EXPECT_NE(test_log_text().find("record: Filename invalid"), std::string::npos);
    std::string found = test_run("find '" + test_board_dir() + "' -name 'evil*'");
    EXPECT_EQ(found, "");
    EXPECT_EQ(stream_get_state_by_id(RECORD_STREAM), 0);
    std::string st;
    for (int i = 0; i < 300 && (st = status()) != "Stopped: file name invalid"; i++)
        usleep(10000);
    EXPECT_EQ(st, "Stopped: file name invalid");   // the page says why it did not record
}

TEST_F(Recorder, NoStorageStopsTheRunWithItsMessage)
{
    unlink(test_board_path("/dev/mmcblk0p1").c_str());
    fileSysTick(p);
    ASSERT_EQ(filesys_is_mounted(0), 0);
    log_ring_reset();
    stream_set_state_by_id(RECORD_STREAM, STREAM_START);
    EXPECT_TRUE(wait_log("record: Storage not present", 3000)) << test_log_text();
    EXPECT_TRUE(wait_log("error: can't start recording, no storage device", 100));
    EXPECT_EQ(stream_get_state_by_id(RECORD_STREAM), 0);
}

TEST_F(Recorder, AStopIsSeenWhileTheProducerStalls)
{
    // The queue is there but nothing comes.
    TestQueue q(VIDEO_STREAM1, 1 << 20, 64);
    snprintf(p->Recording.Filename, sizeof p->Recording.Filename, "stall^c.ts");
    p->Recording.Format = 0;
    log_ring_reset();
    stream_set_state_by_id(RECORD_STREAM, STREAM_START);
    ASSERT_TRUE(wait_log("i=0 mnt=/media/mmc filename=stall^c.ts", 3000));
    struct timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    stream_set_state_by_id(RECORD_STREAM, STREAM_STOP);
    EXPECT_TRUE(wait_log("rw 0 0 0", 5000)) << test_log_text();
    clock_gettime(CLOCK_MONOTONIC, &t1);
    EXPECT_LT(t1.tv_sec - t0.tv_sec, 3);
}
