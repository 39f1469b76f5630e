#include "web/hls.h"

#include "core/log.h"
#include "core/util.h"
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
#include <memory>
#include <set>
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

void forget_segments(HlsChannel &ch)
{
    pthread_mutex_lock(&ch.mutex);
    for (HlsSlot &s : ch.slots) {
        free(s.data);
        s = {};
    }
    ch.completed = ch.last_playlist = ch.target = ch.discontinuity = 0;
    pthread_mutex_unlock(&ch.mutex);
}

struct Hls : ::testing::Test {
    uint16_t port = 0;
    void SetUp() override
    {
        web_test_fresh_device();
        stream_mode_setting_set(&param_block, 0, StreamMode_H264_AAC_TS);
        // The channels outlive a test: each starts as after power-up, whichever ran before it in
        // this program.
        for (HlsChannel &ch : hls_channels)
            forget_segments(ch);
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


// Fills slots as a worker would have: segments first..completed-1 held, each `ticks` long.
void hold_segments(HlsChannel &ch, uint32_t first, uint32_t completed, uint32_t ticks)
{
    pthread_mutex_lock(&ch.mutex);
    for (HlsSlot &s : ch.slots) {
        free(s.data);
        s = {};
    }
    for (uint32_t seq = first; seq < completed; seq++) {
        uint8_t *d = static_cast<uint8_t *>(calloc(1, 188));
        d[0] = 0x47;
        ch.slots[seq % HLS_SLOTS] = {d, 188, 188, seq, ticks, 0};
    }
    ch.completed = completed;
    ch.target = (ticks + 89999) / 90000;
    pthread_mutex_unlock(&ch.mutex);
}

} // namespace

TEST_F(Hls, PlaylistNamesTheNewestCompletedSegmentsWithTheirDurations)
{
    HlsChannel &ch = hls_channels[1];
    // Nothing completed: nothing to name, and no segment still being cut is named.
    DynBuf none = {};
    EXPECT_EQ(hls_playlist_render(&ch, &none), 1);
    dynbuf_free(&none);
    // Twelve completed segments of 2.036 s, ten held: the newest five are named, numbered on.
    hold_segments(ch, 2, 12, 183240);
    EXPECT_EQ(playlist(1), "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:3\n#EXT-X-MEDIA-SEQUENCE:7\n"
                           "#EXT-X-DISCONTINUITY-SEQUENCE:0\n"
                           "#EXTINF:2.036,\nstreamB7.ts\n#EXTINF:2.036,\nstreamB8.ts\n#EXTINF:2.036,\nstreamB9.ts\n"
                           "#EXTINF:2.036,\nstreamB0.ts\n#EXTINF:2.036,\nstreamB1.ts\n");
    EXPECT_EQ(ch.last_playlist, 12u);
    // A segment of 7 s makes the target 7: the playlist names enough to last 21 s, while the
    // slots allow.
    hold_segments(ch, 2, 12, 183240);
    pthread_mutex_lock(&ch.mutex);
    ch.slots[11 % HLS_SLOTS].duration = 630000;
    ch.target = 7;
    pthread_mutex_unlock(&ch.mutex);
    std::string longer = playlist(1);
    EXPECT_NE(longer.find("#EXT-X-MEDIA-SEQUENCE:4\n"), std::string::npos) << longer;
    EXPECT_EQ(test_count(longer, "#EXTINF:"), 8u) << longer;
    // After a restart only this run's segments are named, and their numbers do not go back.
    hold_segments(ch, 30, 32, 90000);
    pthread_mutex_lock(&ch.mutex);
    ch.slots[30 % HLS_SLOTS].discontinuity = ch.slots[31 % HLS_SLOTS].discontinuity = 1;
    pthread_mutex_unlock(&ch.mutex);
    EXPECT_EQ(playlist(1), "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:1\n#EXT-X-MEDIA-SEQUENCE:30\n"
                           "#EXT-X-DISCONTINUITY-SEQUENCE:1\n"
                           "#EXTINF:1.000,\nstreamB0.ts\n#EXTINF:1.000,\nstreamB1.ts\n");
    forget_segments(ch);
}

TEST_F(Hls, EveryRowNamesASlot)
{
    HlsChannel &ch = hls_channels[0];
    hold_segments(ch, 0, 10, 90000);
    for (int d = 0; d < HLS_SLOTS; d++) {
        WebReply r = web_request(port, "GET", "/streamA" + std::to_string(d) + ".ts");
        EXPECT_EQ(r.status, 200) << d;
        EXPECT_EQ(r.body.size(), 188u) << d;
    }
    forget_segments(ch);
    EXPECT_FALSE(hls_running(0));
}

TEST_F(Hls, PlayerStartingWithThePlaylistGetsAPlayingStream)
{
    FakeProducer *fp = fakeproducer_start();
    ASSERT_NE(fp, nullptr);
    // The playlist comes once a segment is complete, and names only what can be fetched now.
    WebReply pl = web_request(port, "GET", "/streamA.m3u8");
    ASSERT_EQ(pl.status, 200);
    EXPECT_EQ(pl.header("content-type"), "application/x-mpegURL");
    EXPECT_TRUE(hls_running(0));
    size_t at = pl.body.find("#EXTINF:");
    ASSERT_NE(at, std::string::npos) << pl.body;
    double dur = atof(pl.body.c_str() + at + 8);
    EXPECT_GT(dur, 0.5) << pl.body;   // the replayed stream has a keyframe a second
    EXPECT_LT(dur, 2.5) << pl.body;
    size_t name = pl.body.find("streamA", at);
    ASSERT_NE(name, std::string::npos);
    std::string first = "/" + pl.body.substr(name, pl.body.find('\n', name) - name);
    int64_t t0 = monotonic_ms();
    WebReply seg = web_request(port, "GET", first);
    EXPECT_LT(monotonic_ms() - t0, 500) << "a listed segment is there already";
    ASSERT_EQ(seg.status, 200);
    // It starts with the tables and then the keyframe.
    ASSERT_GE(seg.body.size(), 3 * 188u);
    EXPECT_EQ((uint8_t)seg.body[0], 0x47);
    EXPECT_EQ(((uint8_t)seg.body[1] & 0x1f) << 8 | (uint8_t)seg.body[2], 0) << "PAT first";
    EXPECT_TRUE(wait_for([] { return !hls_running(0); }, 60000));
    fakeproducer_stop(fp);
}

// Keyframes from a third of a second to over three seconds apart and a 1.2 s gap in the stamps:
// the playlist keeps the target duration it began with, and no segment lasts longer.
TEST_F(Hls, TargetDurationHoldsOverIrregularKeyframes)
{
    const uint32_t gops[] = {30, 30, 45, 20, 70, 20, 75, 30, 95, 30, 30, 10, 10, 50, 30, 30, 20, 72};
    auto keys = std::make_shared<std::vector<bool>>();
    auto stamps = std::make_shared<std::vector<uint32_t>>();
    uint32_t ts = 0;
    for (size_t g = 0; keys->size() < 3000; g++) {
        for (uint32_t i = 0; i < gops[g % std::size(gops)]; i++) {
            keys->push_back(i == 0);
            stamps->push_back(ts);
            ts += keys->size() % 700 == 400 ? 3000 + 108000 : 3000;
        }
    }
    FakeProducerOptions o;
    o.video_period_ns = 1000000000u / 150;   // five times the stamps' pace
    o.stamp = [stamps](uint32_t n) { return n < stamps->size() ? (*stamps)[n] : stamps->back() + 3000 * n; };
    o.key = [keys](uint32_t n) { return n < keys->size() ? (bool)(*keys)[n] : n % 30 == 0; };
    FakeProducer *fp = fakeproducer_start(o);
    ASSERT_NE(fp, nullptr);
    ASSERT_EQ(web_request(port, "GET", "/streamA.m3u8").status, 200) << test_log_text();
    HlsChannel &ch = hls_channels[0];
    std::set<int> targets;
    std::string over;
    uint32_t completed = 0;
    bool discontinuity = false;
    for (int64_t t0 = monotonic_ms(); completed < 24 && monotonic_ms() - t0 < 60000; usleep(30000)) {
        std::string text = playlist(0);     // a player's reload: the worker goes on
        size_t at = text.find("#EXT-X-TARGETDURATION:");
        ASSERT_NE(at, std::string::npos) << text;
        int target = atoi(text.c_str() + at + 22);
        targets.insert(target);
        for (at = text.find("#EXTINF:"); at != std::string::npos; at = text.find("#EXTINF:", at + 1)) {
            double d = atof(text.c_str() + at + 8);
            if (d > target || d <= 0)
                over += text.substr(at, text.find('\n', at) - at) + " over " + std::to_string(target) + "; ";
        }
        discontinuity |= text.find("#EXT-X-DISCONTINUITY\n") != std::string::npos;
        pthread_mutex_lock(&ch.mutex);
        completed = ch.completed;
        pthread_mutex_unlock(&ch.mutex);
    }
    EXPECT_GE(completed, 24u);
    std::string seen;
    for (int t : targets)
        seen += std::to_string(t) + " ";
    // The settings' GOP of 30 at 30 pictures a second makes segments of 2 s: 3 s leaves room.
    EXPECT_EQ(seen, "3 ") << "target durations seen";
    EXPECT_EQ(over, "");
    // The GOP of 3.17 s could not fit: dropped, and the playlist says that time jumps there.
    EXPECT_TRUE(discontinuity);
    EXPECT_TRUE(wait_for([] { return !hls_running(0); }, 60000));
    fakeproducer_stop(fp);
    forget_segments(ch);
}

TEST_F(Hls, SequenceGoesOnAcrossAWorkerRestart)
{
    FakeProducer *fp = fakeproducer_start();
    ASSERT_NE(fp, nullptr);
    WebReply pl = web_request(port, "GET", "/streamA.m3u8");
    ASSERT_EQ(pl.status, 200);
    // Unwatched, the worker stops; the next playlist starts it again with new numbers.
    ASSERT_TRUE(wait_for([] { return !hls_running(0); }, 60000));
    uint32_t stopped_at = hls_channels[0].completed;
    EXPECT_GE(stopped_at, (uint32_t)HLS_UNWATCHED);
    WebReply again = web_request(port, "GET", "/streamA.m3u8");
    ASSERT_EQ(again.status, 200);
    // The new run goes on from the next multiple of the slot count: its first is streamA0.ts.
    uint32_t next = (stopped_at + HLS_SLOTS - 1) / HLS_SLOTS * HLS_SLOTS;
    EXPECT_NE(again.body.find("#EXT-X-MEDIA-SEQUENCE:" + std::to_string(next) + "\n"), std::string::npos)
        << again.body;
    EXPECT_NE(again.body.find("\nstreamA0.ts\n"), std::string::npos) << again.body;
    EXPECT_NE(again.body.find("#EXT-X-DISCONTINUITY-SEQUENCE:1\n"), std::string::npos) << again.body;
    EXPECT_TRUE(wait_for([] { return !hls_running(0); }, 60000));
    fakeproducer_stop(fp);
    forget_segments(hls_channels[0]);
}

TEST_F(Hls, SegmentThatCannotComeIsAnsweredWithAnError)
{
    // The channel turns to JPEG while a request waits: the worker ends and wakes it.
    std::thread turn([] {
        wait_for([] { return live_wait_count() == 1; }, 5000);
        stream_mode_setting_set(&param_block, 0, StreamMode_JPEG);
    });
    WebReply r = web_request(port, "GET", "/streamA3.ts");
    turn.join();
    EXPECT_EQ(r.status, 503);
    EXPECT_TRUE(wait_for([] { return !hls_running(0); }, 5000));
    EXPECT_TRUE(wait_for([] { return live_wait_count() == 0; }, 15000));

    // A JPEG channel is refused up front, saying why, and no worker starts its encoder.
    log_ring_reset();
    for (const char *row : {"/streamA.m3u8", "/streamA3.ts"}) {
        WebReply refused = web_request(port, "GET", row);
        EXPECT_EQ(refused.status, 404) << row;
        EXPECT_EQ(refused.body, "Channel A is set to MJPEG VES; HLS carries H.264.\n") << row;
    }
    EXPECT_EQ(test_log_text().find("starting hls thread"), std::string::npos);
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
    for (const HlsSlot &s : hls_channels[0].slots)
        EXPECT_EQ(s.data, nullptr);
    EXPECT_TRUE(wait_for([] { return stream_users_by_id(VIDEO_STREAM1) == 0; }, 5000));
    fakeproducer_stop(fp);
}

TEST_F(Hls, ClientLeavingMidSegmentLeavesNothingBehind)
{
    FakeProducer *fp = fakeproducer_start();
    ASSERT_NE(fp, nullptr);
    int fd = web_connect(port);
    ASSERT_GE(fd, 0);
    web_send_all(fd, "GET /streamA1.ts HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
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
