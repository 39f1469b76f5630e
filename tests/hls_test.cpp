#include "web/hls.h"

#include "core/log.h"
#include "core/mtd.h"
#include "core/param.h"
#include "core/quit.h"
#include "fakeproducer.h"
#include "platform/platform.h"
#include "streams/stream.h"
#include "streams/stream_mode.h"
#include "testutil.h"
#include "web/auth.h"
#include "web/httpd.h"
#include "web/live.h"
#include "web_client.h"

#include <fstream>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>

namespace {

std::string playlist(int channel)
{
    DynBuf b = {};
    EXPECT_EQ(hls_playlist_render(&hls_channels[channel], &b), 0);
    std::string s(b.data ? b.data : "", b.length);
    dynbuf_free(&b);
    return s;
}

bool wait_for(const std::function<bool()> &cond, int limit_ms)
{
    for (int i = 0; i < limit_ms / 20; i++) {
        if (cond())
            return true;
        usleep(20000);
    }
    return cond();
}

struct Hls : ::testing::Test {
    uint16_t port = 0;
    void SetUp() override
    {
        platform_init();
        static bool loaded = (mtd_open(), init_param(&param_block), true);
        (void)loaded;
        fake_settings_reset();
        auth_reset();
        stream_mode_setting_set(&param_block, 0, StreamMode_H264_AAC_TS);
        ASSERT_EQ(httpd_start(0, nullptr), 0);
        port = httpd_port();
    }
    void TearDown() override
    {
        httpd_stop();
        param_access_install(nullptr);
        stream_mode_setting_set(&param_block, 0, StreamMode_H264_AAC_TS);
    }
};

} // namespace

TEST_F(Hls, PlaylistListsOnlyTheSegmentsHeld)
{
    ASSERT_FALSE(hls_running(0));
    EXPECT_EQ(playlist(0), "#EXTM3U\n#EXT-X-TARGETDURATION:10\n#EXT-X-MEDIA-SEQUENCE:0\n#EXTINF:1,\nstreamA0.ts\n");
    HlsChannel &ch = hls_channels[1];
    pthread_mutex_lock(&ch.mutex);
    ch.completed = 12;
    pthread_mutex_unlock(&ch.mutex);
    EXPECT_EQ(playlist(1), "#EXTM3U\n#EXT-X-TARGETDURATION:10\n#EXT-X-MEDIA-SEQUENCE:8\n"
                           "#EXTINF:1,\nstreamB3.ts\n#EXTINF:1,\nstreamB4.ts\n#EXTINF:1,\nstreamB0.ts\n"
                           "#EXTINF:1,\nstreamB1.ts\n#EXTINF:1,\nstreamB2.ts\n");
    EXPECT_EQ(ch.last_playlist, 12u);
    pthread_mutex_lock(&ch.mutex);
    ch.completed = 0;
    ch.last_playlist = 0;
    pthread_mutex_unlock(&ch.mutex);
    WebReply r = web_request(port, "GET", "/streamB.m3u8");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.header("content-type"), "application/x-mpegURL");
    EXPECT_FALSE(hls_running(1));   // a playlist does not start the worker
}

TEST_F(Hls, DigitsFiveToNineGiveAnEmptyPage)
{
    for (const char *row : {"/streamA5.ts", "/streamA9.ts", "/streamB7.ts"}) {
        WebReply r = web_request(port, "GET", row);
        EXPECT_EQ(r.status, 200) << row;
        EXPECT_EQ(r.body, "") << row;
    }
    EXPECT_FALSE(hls_running(0));
}

TEST_F(Hls, SegmentThatCannotComeIsAnsweredWithAnError)
{
    // A JPEG channel has no H.264 to cut: the worker ends and wakes the waiting request.
    stream_mode_setting_set(&param_block, 0, StreamMode_JPEG);
    WebReply r = web_request(port, "GET", "/streamA3.ts");
    EXPECT_EQ(r.status, 503);
    EXPECT_TRUE(wait_for([] { return !hls_running(0); }, 5000));
    EXPECT_TRUE(wait_for([] { return live_wait_count() == 0; }, 15000));
}

TEST_F(Hls, SegmentsStartAtKeyframesAndTheWorkerStopsUnwatched)
{
    FakeProducer *fp = fakeproducer_start();
    ASSERT_NE(fp, nullptr);
    std::thread other;
    WebReply seg;
    {
        std::thread get([&] { seg = web_request(port, "GET", "/streamA0.ts"); });
        // Pages answer while the segment request waits.
        ASSERT_TRUE(wait_for([] { return httpd_parked_count() == 1; }, 5000));
        EXPECT_EQ(web_request(port, "GET", "/").status, 303);
        get.join();
    }
    ASSERT_EQ(seg.status, 200);
    ASSERT_GT(seg.body.size(), 188u);
    EXPECT_EQ(seg.body.size() % 188, 0u);
    EXPECT_EQ((uint8_t)seg.body[0], 0x47);
    std::string path = test_board_path("/seg0.ts");
    std::ofstream(path, std::ios::binary) << seg.body;
    // The first video frame of the segment is a keyframe.
    std::string first = test_run("ffprobe -v error -select_streams v -show_frames -read_intervals '%+#1' "
                                 "-show_entries frame=key_frame -of csv=p=0 '" + path + "'");
    EXPECT_EQ(first.substr(0, 1), "1") << first;
    // Nobody asks for playlists: five more segments and the worker stops.
    EXPECT_TRUE(wait_for([] { return !hls_running(0); }, 60000));
    EXPECT_EQ(hls_channels[0].completed, 0u);
    EXPECT_TRUE(wait_for([] { return stream_users_by_id(VIDEO_STREAM1) == 0; }, 5000));
    fakeproducer_stop(fp);
}

TEST_F(Hls, ClientLeavingMidSegmentLeavesNothingBehind)
{
    FakeProducer *fp = fakeproducer_start();
    ASSERT_NE(fp, nullptr);
    int fd = web_connect(port);
    ASSERT_GE(fd, 0);
    web_send_all(fd, "GET /streamA1.ts HTTP/1.1\r\nHost: x\r\n\r\n");
    ASSERT_TRUE(wait_for([] { return httpd_parked_count() == 1; }, 5000));
    close(fd);
    // The wait ends when the slot is ready; nobody comes back for it and it is dropped.
    EXPECT_TRUE(wait_for([] { return live_wait_count() == 0; }, 40000));
    EXPECT_TRUE(wait_for([] { return !hls_running(0); }, 60000));
    EXPECT_EQ(httpd_parked_count(), 0);
    fakeproducer_stop(fp);
}

// Last: it sets the quit state, which only this test puts back.
TEST_F(Hls, WorkerEndsOnQuitAndAnswersItsWaiters)
{
    FakeProducer *fp = fakeproducer_start();
    ASSERT_NE(fp, nullptr);
    WebReply r;
    std::thread get([&] { r = web_request(port, "GET", "/streamA4.ts"); });
    ASSERT_TRUE(wait_for([] { return httpd_parked_count() == 1 && hls_running(0); }, 5000));
    quit_set(1, false);
    get.join();
    EXPECT_EQ(r.status, 503);
    EXPECT_TRUE(wait_for([] { return !hls_running(0); }, 5000));
    pthread_mutex_lock(&global_quit.mutex);
    global_quit.value = 0;
    pthread_mutex_unlock(&global_quit.mutex);
    fakeproducer_stop(fp);
}
