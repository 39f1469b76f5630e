#include "web/live.h"

#include "core/log.h"
#include "core/mtd.h"
#include "core/param.h"
#include "platform/platform.h"
#include "stream_testutil.h"
#include "streams/stream_mode.h"
#include "testutil.h"
#include "web/auth.h"
#include "web/httpd.h"
#include "web_client.h"

#include <gtest/gtest.h>
#include <memory>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// A unit that passes for a JPEG picture: the SOI marker, then the fill.
std::string jpeg_like(size_t n, char fill)
{
    std::string s(n, fill);
    s[0] = (char)0xFF;
    s[1] = (char)0xD8;
    return s;
}

// An endless response read as it comes: headers, then the raw (chunked) body.
struct StreamClient {
    int fd = -1;
    std::string raw;
    bool closed = false;
    StreamClient(uint16_t port, const std::string &path)
    {
        fd = web_connect(port);
        web_send_all(fd, "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    }
    ~StreamClient()
    {
        if (fd >= 0)
            close(fd);
    }
    // Reads until `want` bytes of raw response are there, the peer closes, or 10 s pass.
    void read_until(size_t want, int limit_ms = 10000)
    {
        char buf[65536];
        while (raw.size() < want && !closed) {
            pollfd p = {fd, POLLIN, 0};
            if (poll(&p, 1, limit_ms) <= 0)
                return;
            ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n <= 0) {
                closed = true;
                return;
            }
            raw.append(buf, (size_t)n);
        }
    }
    // Reads until the body holds `n` bytes (or the peer closes, or 10 s pass).
    void read_body(size_t n)
    {
        for (int i = 0; i < 100 && body().size() < n && !closed; i++)
            read_until(raw.size() + 1, 100);
    }
    bool chunked() const
    {
        size_t end = raw.find("\r\n\r\n");
        return raw.substr(0, end).find("Transfer-Encoding: chunked") != std::string::npos;
    }
    // The body with the chunk framing taken out (a plain body as it came).
    std::string body() const
    {
        size_t at = raw.find("\r\n\r\n");
        std::string out;
        if (at == std::string::npos)
            return out;
        at += 4;
        if (!chunked())
            return raw.substr(at);
        while (at < raw.size()) {
            size_t eol = raw.find("\r\n", at);
            if (eol == std::string::npos)
                break;
            size_t n = strtoul(raw.c_str() + at, nullptr, 16);
            if (n == 0 || eol + 2 + n > raw.size())
                break;
            out += raw.substr(eol + 2, n);
            at = eol + 2 + n + 2;
        }
        return out;
    }
};

bool wait_for(const std::function<bool()> &cond, int limit_ms = 5000)
{
    for (int i = 0; i < limit_ms / 10; i++) {
        if (cond())
            return true;
        usleep(10000);
    }
    return cond();
}

struct Live : ::testing::Test {
    uint16_t port = 0;
    void SetUp() override
    {
        web_test_fresh_device();
        stream_mode_setting_set(&param_block, 0, StreamMode_H264_AAC_TS);
        param_block.Video[0].FrameRate = 1;
        log_ring_reset();
        ASSERT_EQ(httpd_start(0, nullptr), 0);
        port = httpd_port();
    }
    // Owned by the fixture, so that they outlive the web server: a stream whose client left
    // while it waited lets go of its queue only when the server stops.
    std::vector<std::unique_ptr<TestQueue>> queues;
    TestQueue &queue(int id, uint32_t size, uint32_t entries)
    {
        queues.push_back(std::make_unique<TestQueue>(id, size, entries));
        return *queues.back();
    }
    void TearDown() override
    {
        httpd_stop();
        param_access_install(nullptr);
        stream_mode_setting_set(&param_block, 0, StreamMode_H264_AAC_TS);
        param_block.Video[0].FrameRate = 1;
    }
};

} // namespace

TEST_F(Live, GuestAtLevelNoneIsChallengedOnEveryStreamRow)
{
    fake_guest_level = 0;
    for (const char *row : {"/streamA.h264", "/streamA.ts", "/streamC.pcm", "/streamA.flv", "/streamA.jpg",
                            "/streamA.mjpg", "/streamA.m3u8", "/streamA0.ts", "/streamB7.ts"})
        EXPECT_EQ(web_request(port, "GET", row).status, 401) << row;
}

TEST_F(Live, WaitingStreamIsParkedAndResumedByItsQueue)
{
    TestQueue &q = queue(VIDEO_STREAM1, 1 << 20, 64);
    StreamClient c(port, "/streamA.h264");
    c.read_until(1, 2000);   // the header goes out at once
    ASSERT_TRUE(wait_for([] { return httpd_parked_count() == 1; }));
    // The server answers others while the stream waits.
    EXPECT_EQ(web_request(port, "GET", "/").status, 303);
    ASSERT_EQ(q.put_now(1000, RB_FLAG_KEYFRAME), 0);
    ASSERT_EQ(q.put_now(500, 0), 0);
    c.read_body(1500);
    EXPECT_EQ(c.body(), std::string(1500, (char)0xAB));
    EXPECT_EQ(c.raw.find("HTTP/1.1 200"), 0u);
    EXPECT_NE(c.raw.find("Content-Type: video/h264\r\n"), std::string::npos) << c.raw.substr(0, 200);
}

// The PCM row's type names the samples as they are (little-endian) at the set rate, so no player
// takes them for big-endian L16 or for video.
TEST_F(Live, PcmRowNamesItsSamplesAndRate)
{
    uint32_t saved = param_block.Audio.SampleRate;
    queue(PCM_STREAM, 1 << 16, 16);
    for (uint32_t rate : {48000u, 44100u}) {
        param_block.Audio.SampleRate = rate;
        StreamClient c(port, "/streamC.pcm");
        for (int i = 0; i < 100 && c.raw.find("\r\n\r\n") == std::string::npos && !c.closed; i++)
            c.read_until(c.raw.size() + 1, 100);   // the header goes out before any sample
        EXPECT_NE(c.raw.find("Content-Type: audio/x-raw; format=S16LE; rate=" + std::to_string(rate) + "; channels=2\r\n"),
                  std::string::npos)
            << c.raw.substr(0, 200);
    }
    param_block.Audio.SampleRate = saved;
}

TEST_F(Live, StalledStreamEndsWithAnError)
{
    queue(VIDEO_STREAM1, 1 << 20, 64);
    StreamClient c(port, "/streamA.h264");
    ASSERT_TRUE(wait_for([] { return httpd_parked_count() == 1; }));
    c.read_until(1 << 20, 8000);
    EXPECT_TRUE(c.closed);
    EXPECT_EQ(c.raw.find("\r\n0\r\n"), std::string::npos);   // no normal end of the chunks
    EXPECT_NE(test_log_text().find("no unit from stream 1 in 3000 ms"), std::string::npos);
    EXPECT_TRUE(wait_for([] { return stream_users_by_id(VIDEO_STREAM1) == 0; }));
}

TEST_F(Live, FrameDividerSkipsNoUnit)
{
    param_block.Video[0].FrameRate = 3;
    TestQueue &q = queue(VIDEO_STREAM1, 1 << 20, 64);
    StreamClient c(port, "/streamA.h264");
    ASSERT_TRUE(wait_for([] { return httpd_parked_count() == 1; }));
    for (int i = 0; i < 9; i++)
        ASSERT_EQ(q.put(100, 1000 + i, i == 0 ? (uint32_t)RB_FLAG_KEYFRAME : 0u, (uint8_t)(i + 1)), 0);
    c.read_body(900);
    std::string expected;
    for (int i = 0; i < 9; i++)
        expected += std::string(100, (char)(i + 1));
    EXPECT_EQ(c.body(), expected);
}

TEST_F(Live, ProducerEndMarkerEndsNormally)
{
    TestQueue &q = queue(VIDEO_STREAM1, 1 << 20, 64);
    StreamClient c(port, "/streamA.h264");
    ASSERT_TRUE(wait_for([] { return httpd_parked_count() == 1; }));
    ASSERT_EQ(q.put_now(100, RB_FLAG_KEYFRAME), 0);
    ASSERT_EQ(q.put(0, 0, 0), 0);   // end marker: no callback, the time limit wakes the reader
    c.read_until(1 << 20, 8000);
    EXPECT_NE(c.raw.find("\r\n0\r\n\r\n"), std::string::npos);
}

TEST_F(Live, EndMarkerAheadOfAReadersFirstUnitDoesNotEndIt)
{
    // A client joins as the last one leaves: the encoder's stop lands ahead of its restart.
    TestQueue &q = queue(VIDEO_STREAM1, 1 << 20, 64);
    StreamClient c(port, "/streamA.h264");
    ASSERT_TRUE(wait_for([] { return httpd_parked_count() == 1; }));
    ASSERT_EQ(q.put(0, 0, 0), 0);
    ASSERT_EQ(q.put_now(100, RB_FLAG_KEYFRAME), 0);
    c.read_body(100);
    EXPECT_EQ(c.body().size(), 100u);
    EXPECT_EQ(c.raw.find("\r\n0\r\n\r\n"), std::string::npos);
}

TEST_F(Live, StreamOfAnotherCodecEndsNormally)
{
    TestQueue &q = queue(VIDEO_STREAM1, 1 << 20, 64);
    StreamClient c(port, "/streamA.h264");
    ASSERT_TRUE(wait_for([] { return httpd_parked_count() == 1; }));
    ASSERT_EQ(q.put_now(100, RB_FLAG_KEYFRAME), 0);
    c.read_body(100);
    stream_mode_setting_set(&param_block, 0, StreamMode_JPEG);
    ASSERT_EQ(q.put_now(100, 0), 0);
    c.read_until(1 << 20, 5000);
    EXPECT_NE(c.raw.find("\r\n0\r\n\r\n"), std::string::npos);
    EXPECT_EQ(c.body().size(), 100u);
}

TEST_F(Live, ClientLeavingMidStreamDetaches)
{
    TestQueue &q = queue(VIDEO_STREAM1, 1 << 20, 64);
    {
        StreamClient c(port, "/streamA.h264");
        ASSERT_TRUE(wait_for([] { return stream_users_by_id(VIDEO_STREAM1) == 1; }));
        ASSERT_EQ(q.put_now(1000, RB_FLAG_KEYFRAME), 0);
        c.read_until(500);
    }
    for (int i = 0; i < 50 && stream_users_by_id(VIDEO_STREAM1) != 0; i++) {
        q.put_now(60000, 0);
        usleep(20000);
    }
    EXPECT_EQ(stream_users_by_id(VIDEO_STREAM1), 0);
}

// The reader straight, without a server: its copies and headers.
TEST_F(Live, OverwrittenUnitIsNotSent)
{
    TestQueue &q = queue(VIDEO_STREAM1, 1 << 16, 16);
    HttpStream *s = http_stream_open(VIDEO_STREAM1, StreamMode_H264_ES, "video/mpeg", 0);
    ASSERT_NE(s, nullptr);
    ASSERT_EQ(q.put_now(20000, RB_FLAG_KEYFRAME), 0);
    char buf[1000];
    ASSERT_EQ(http_stream_read(s, 0, buf, sizeof buf), 1000);
    for (int i = 0; i < 4; i++)
        ASSERT_EQ(q.put(20000, 1, 0, 0xCD), 0);   // the ring wraps over the unit being read
    EXPECT_EQ(http_stream_read(s, 1000, buf, sizeof buf), MHD_CONTENT_READER_END_WITH_ERROR);
    chunked_free_callback(s);
}

TEST_F(Live, MultipartHeaderFitsTheRoomOffered)
{
    stream_mode_setting_set(&param_block, 0, StreamMode_JPEG);
    TestQueue &q = queue(VIDEO_STREAM1, 1 << 20, 64);
    HttpStream *s = http_stream_open(VIDEO_STREAM1, StreamMode_JPEG, "image/jpeg", 1);
    ASSERT_NE(s, nullptr);
    std::string a = jpeg_like(300, (char)0xAB), b = jpeg_like(200, 0x11);
    ASSERT_EQ(q.put(300, hw_clock_90khz(), RB_FLAG_KEYFRAME, 0, (const uint8_t *)a.data()), 0);
    ASSERT_EQ(q.put(200, 2, 0, 0, (const uint8_t *)b.data()), 0);
    std::string first = "--multipart_boundary\r\nContent-Type: image/jpeg\r\nContent-Length: 300\r\n\r\n";
    std::string second = "\r\n\r\n--multipart_boundary\r\nContent-Type: image/jpeg\r\nContent-Length: 200\r\n\r\n";
    std::string expected = first + a + second + b;
    std::string out;
    char buf[7];
    uint64_t pos = 0;
    for (int i = 0; i < 400; i++) {
        ssize_t n = http_stream_read(s, pos, buf, sizeof buf);
        ASSERT_GT(n, 0);
        ASSERT_LE(n, (ssize_t)sizeof buf);
        out.append(buf, (size_t)n);
        pos += (uint64_t)n;
        if (out.size() >= expected.size())
            break;
    }
    EXPECT_EQ(out, expected);
    chunked_free_callback(s);
}

TEST_F(Live, MultipartSwitchInAnyCaseAndSnapshot)
{
    stream_mode_setting_set(&param_block, 0, StreamMode_JPEG);
    TestQueue &q = queue(VIDEO_STREAM1, 1 << 20, 64);
    {
        StreamClient c(port, "/streamA.mjpg?multipart=TrUe");
        ASSERT_TRUE(wait_for([] { return httpd_parked_count() == 1; }));
        std::string a = jpeg_like(300, (char)0xAB);
        ASSERT_EQ(q.put(300, hw_clock_90khz(), RB_FLAG_KEYFRAME, 0, (const uint8_t *)a.data()), 0);
        c.read_body(300);
        // Each part begins with "--" and the boundary the header names.
        const std::string head = "multipart/x-mixed-replace; boundary=";
        size_t at = c.raw.find(head);
        ASSERT_NE(at, std::string::npos) << c.raw.substr(0, 200);
        std::string boundary = c.raw.substr(at + head.size(), c.raw.find("\r\n", at) - at - head.size());
        EXPECT_EQ(c.body().rfind("--" + boundary + "\r\nContent-Type: image/jpeg\r\n", 0), 0u) << boundary;
    }
    ASSERT_TRUE(wait_for([] { return stream_users_by_id(VIDEO_STREAM1) == 0; }));

    // The tail of an H.264 run that is still ending, and its end marker, are no snapshot: the
    // picture after them is.
    std::string pic = jpeg_like(5000, 0x5A);
    std::thread put([&] {
        wait_for([] { return httpd_parked_count() == 1; });
        q.put(400, 3, RB_FLAG_KEYFRAME, 0x00);
        q.put(0, 0, 0);
        q.put(5000, 4, RB_FLAG_KEYFRAME, 0, (const uint8_t *)pic.data());
    });
    WebReply r = web_request(port, "GET", "/streamA.jpg");
    put.join();
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, pic);
    EXPECT_EQ(r.header("content-type"), "image/jpeg");

    // A channel making H.264 refuses every JPEG row alike, saying why, and starts nothing.
    stream_mode_setting_set(&param_block, 0, StreamMode_H264_ES);
    EXPECT_TRUE(wait_for([] { return live_wait_count() == 0 && stream_users_by_id(VIDEO_STREAM1) == 0; }));
    WebReply jpg = web_request(port, "GET", "/streamA.jpg");
    EXPECT_EQ(jpg.status, 404);
    EXPECT_EQ(jpg.body, "Channel A is set to H.264 VES; this stream carries JPEG pictures.\n");
    for (const char *row : {"/streamA.mjpg", "/streamA.mjpg?multipart=true"}) {
        WebReply r2 = web_request(port, "GET", row);
        EXPECT_EQ(r2.status, 404) << row;
        EXPECT_EQ(r2.body, jpg.body) << row;
    }
    EXPECT_EQ(stream_users_by_id(VIDEO_STREAM1), 0);
    EXPECT_NE(test_log_text().find("streamA.mjpg: channel A is set to H.264 VES; this stream carries JPEG"), std::string::npos);
}

TEST_F(Live, JpegChannelRefusesEveryH264RowAndStartsNothing)
{
    stream_mode_setting_set(&param_block, 0, StreamMode_JPEG);
    queue(VIDEO_STREAM1, 1 << 20, 64);
    for (const char *row : {"/streamA.ts", "/streamA_vid.ts", "/streamA.h264", "/streamA.flv"}) {
        WebReply r = web_request(port, "GET", row);
        EXPECT_EQ(r.status, 404) << row;
        EXPECT_EQ(r.body, "Channel A is set to MJPEG VES; this stream carries H.264.\n") << row;
        EXPECT_EQ(stream_users_by_id(VIDEO_STREAM1), 0) << row;
    }
    EXPECT_NE(test_log_text().find("streamA.flv: channel A is set to MJPEG VES; this stream carries H.264"), std::string::npos);
    EXPECT_EQ(test_log_text().find("attached stream"), std::string::npos);
}

TEST_F(Live, StoppingTheServerWithAWaitingReaderDoesNotAbort)
{
    TestQueue &q = queue(VIDEO_STREAM1, 1 << 20, 64);
    for (int round = 0; round < 3; round++) {
        StreamClient c(port, "/streamA.h264");
        ASSERT_TRUE(wait_for([] { return httpd_parked_count() == 1; }));
        // A unit resumes the reader as the server stops: it sends the unit, finds no next one
        // and must not suspend itself again.
        ASSERT_EQ(q.put_now(1000, RB_FLAG_KEYFRAME), 0);
        httpd_stop();
        EXPECT_EQ(httpd_parked_count(), 0);
        EXPECT_TRUE(wait_for([] { return stream_users_by_id(VIDEO_STREAM1) == 0; }));
        ASSERT_EQ(httpd_start(0, nullptr), 0);
        port = httpd_port();
    }
    EXPECT_EQ(web_request(port, "GET", "/").status, 303);
}

// --- the shared muxed output of the TS and FLV rows ---------------------------------------------

namespace {

struct TsPacketInfo {
    uint16_t pid;
    bool start;       // payload unit start
    bool priority;    // set on every packet of a keyframe
    uint8_t cc;
    uint8_t first;    // first byte of the payload (of the PES payload on a start)
};

std::vector<TsPacketInfo> ts_packets(const std::string &d)
{
    std::vector<TsPacketInfo> out;
    for (size_t at = 0; at + 188 <= d.size(); at += 188) {
        const uint8_t *p = (const uint8_t *)d.data() + at;
        EXPECT_EQ(p[0], 0x47) << "at " << at;
        TsPacketInfo t{(uint16_t)(((p[1] & 0x1F) << 8) | p[2]), (p[1] & 0x40) != 0, (p[1] & 0x20) != 0,
                       (uint8_t)(p[3] & 0x0F), 0};
        size_t pay = 4 + ((p[3] & 0x20) ? 1 + p[4] : 0);
        if (t.start && pay + 9 < 188 && p[pay] == 0 && p[pay + 1] == 0 && p[pay + 2] == 1)
            pay += 9 + p[pay + 8];
        if (pay < 188)
            t.first = p[pay];
        out.push_back(t);
    }
    EXPECT_EQ(d.size() % 188, 0u);
    return out;
}

enum : uint16_t { TS_PAT_PID = 0, TS_PMT_PID = 0x100, TS_VIDEO_PID = 0x1011 };

// Fill bytes of the video PES starts, in order, and whether the video continuity counter ran on.
std::vector<uint8_t> video_starts(const std::vector<TsPacketInfo> &pk, bool *continuous)
{
    std::vector<uint8_t> starts;
    int cc = -1;
    *continuous = true;
    for (const TsPacketInfo &t : pk) {
        if (t.pid != TS_VIDEO_PID)
            continue;
        if (cc >= 0 && t.cc != ((cc + 1) & 0x0F))
            *continuous = false;
        cc = t.cc;
        if (t.start)
            starts.push_back(t.first);
    }
    return starts;
}

// Everything the reader has now, in one read (a reader with nothing would park).
std::string drain(HttpStream *s)
{
    static char buf[8 << 20];
    ssize_t n = http_stream_read(s, 0, buf, sizeof buf);
    EXPECT_GT(n, 0);
    return n > 0 ? std::string(buf, (size_t)n) : std::string();
}

} // namespace

// A raw H.264 client that comes while another reads starts at the newest keyframe (its unit
// carries the parameter sets), or, when that one is too old, waits for the next.
TEST_F(Live, RawH264JoinerStartsAtAKeyframe)
{
    TestQueue &q = queue(VIDEO_STREAM1, 1 << 20, 64);
    HttpStream *a = http_stream_open(VIDEO_STREAM1, StreamMode_H264_ES, "video/mpeg", 0);
    ASSERT_NE(a, nullptr);
    uint32_t ts = hw_clock_90khz();
    ASSERT_EQ(q.put(300, ts, RB_FLAG_KEYFRAME, 0x10), 0);
    ASSERT_EQ(q.put(100, ts + 3003, 0, 0x11), 0);
    ASSERT_EQ(q.put(100, ts + 2 * 3003, 0, 0x12), 0);
    std::string got_a = drain(a);
    HttpStream *b = http_stream_open(VIDEO_STREAM1, StreamMode_H264_ES, "video/mpeg", 0);
    ASSERT_NE(b, nullptr);
    ASSERT_EQ(q.put(100, ts + 3 * 3003, 0, 0x13), 0);
    got_a += drain(a);
    std::string got_b = drain(b);
    EXPECT_EQ(got_b, got_a) << "from the keyframe on, not from the newest slice";
    EXPECT_EQ(got_b.substr(0, 300), std::string(300, '\x10'));

    // The newest keyframe is over a second old: the next one is where a joiner starts.
    ASSERT_EQ(q.put(300, ts - 200000, RB_FLAG_KEYFRAME, 0x20), 0);
    ASSERT_EQ(q.put(100, ts + 4 * 3003, 0, 0x21), 0);
    HttpStream *c = http_stream_open(VIDEO_STREAM1, StreamMode_H264_ES, "video/mpeg", 0);
    ASSERT_NE(c, nullptr);
    ASSERT_EQ(q.put(100, ts + 5 * 3003, 0, 0x22), 0);
    ASSERT_EQ(q.put(300, ts + 6 * 3003, RB_FLAG_KEYFRAME, 0x30), 0);
    ASSERT_EQ(q.put(100, ts + 7 * 3003, 0, 0x31), 0);
    EXPECT_EQ(drain(c), std::string(300, '\x30') + std::string(100, '\x31'));
    chunked_free_callback(a);
    chunked_free_callback(b);
    chunked_free_callback(c);

    // One joining as the last one left starts in the stopped run: that run's end marker, coming
    // after it, is not its end.
    HttpStream *d = http_stream_open(VIDEO_STREAM1, StreamMode_H264_ES, "video/mpeg", 0);
    ASSERT_NE(d, nullptr);
    ASSERT_EQ(q.put(0, 0, 0), 0);
    ASSERT_EQ(q.put(300, ts + 8 * 3003, RB_FLAG_KEYFRAME, 0x40), 0);
    EXPECT_EQ(drain(d), std::string(300, '\x30') + std::string(100, '\x31') + std::string(300, '\x40'));
    chunked_free_callback(d);
}

TEST_F(Live, LateJoinerReadsTheSameBytesFromTablesAndAKeyframe)
{
    TestQueue &q = queue(VIDEO_STREAM1, 1 << 20, 64);
    HttpStream *a = http_stream_open(VIDEO_STREAM1, StreamMode_H264_TS, "video/MP2T", 0);
    ASSERT_NE(a, nullptr);
    uint32_t ts = hw_clock_90khz();
    ASSERT_EQ(q.put(3000, ts, RB_FLAG_KEYFRAME, 0x10), 0);
    ASSERT_EQ(q.put(1000, ts + 3003, 0, 0x11), 0);
    std::string got_a = drain(a);
    HttpStream *b = http_stream_open(VIDEO_STREAM1, StreamMode_H264_TS, "video/MP2T", 0);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(stream_share_count(), 1);
    EXPECT_EQ(stream_users_by_id(VIDEO_STREAM1), 1);   // one consumer of the queue for the row
    ASSERT_EQ(q.put(1000, ts + 2 * 3003, 0, 0x12), 0);   // before b's first keyframe
    got_a += drain(a);
    size_t joined = got_a.size();
    ASSERT_EQ(q.put(3000, ts + 3 * 3003, RB_FLAG_KEYFRAME, 0x20), 0);
    ASSERT_EQ(q.put(1000, ts + 4 * 3003, 0, 0x21), 0);
    got_a += drain(a);
    std::string got_b = drain(b);

    // b starts at the keyframe's unit and from there reads a's very bytes: same PTS, same counters.
    ASSERT_GT(got_a.size(), joined);
    EXPECT_EQ(got_b, got_a.substr(joined));
    std::vector<TsPacketInfo> pb = ts_packets(got_b);
    ASSERT_GE(pb.size(), 3u);
    EXPECT_EQ(pb[0].pid, TS_PAT_PID);
    EXPECT_EQ(pb[1].pid, TS_PMT_PID);
    bool continuous;
    std::vector<uint8_t> starts = video_starts(pb, &continuous);
    EXPECT_EQ(starts, (std::vector<uint8_t>{0x20, 0x21}));
    for (const TsPacketInfo &t : pb)
        if (t.pid == TS_VIDEO_PID) {
            EXPECT_TRUE(t.start && t.priority) << "the first video packet opens the keyframe";
            break;
        }
    chunked_free_callback(a);
    EXPECT_EQ(stream_share_count(), 1);
    chunked_free_callback(b);
    // The last reader frees the row's muxer and ring (the leak check sees any left).
    EXPECT_EQ(stream_share_count(), 0);
    EXPECT_EQ(stream_users_by_id(VIDEO_STREAM1), 0);
}

TEST_F(Live, SlowReaderSkipsToAKeyframeWhileTheFastOneLosesNothing)
{
    // Two GOPs leave the slow reader more than half the shared ring behind; four lap it.
    for (int gops : {2, 4}) {
        SCOPED_TRACE(gops);
        log_ring_reset();
        TestQueue &q = queue(VIDEO_STREAM1, 1 << 20, 64);
        HttpStream *fast = http_stream_open(VIDEO_STREAM1, StreamMode_H264_TS, "video/MP2T", 0);
        HttpStream *slow = http_stream_open(VIDEO_STREAM1, StreamMode_H264_TS, "video/MP2T", 0);
        ASSERT_NE(fast, nullptr);
        ASSERT_NE(slow, nullptr);
        uint32_t ts = hw_clock_90khz();
        std::vector<uint8_t> put;
        uint8_t fill = 0x01;
        auto frame = [&](uint32_t len, bool key) {
            ASSERT_EQ(q.put(len, ts, key ? RB_FLAG_KEYFRAME : 0u, fill), 0);
            put.push_back(fill);
            fill = (uint8_t)(fill % 0xFE + 1);
            ts += 3003;
        };
        std::string got_fast, got_slow;
        frame(40000, true);
        got_fast += drain(fast);
        got_slow += drain(slow);
        // The slow reader sends nothing while the fast one reads every frame.
        uint8_t last_key = 0;
        for (int gop = 0; gop < gops; gop++) {
            last_key = fill;
            frame(40000, true);
            got_fast += drain(fast);
            for (int i = 0; i < 29; i++) {
                frame(40000, false);
                got_fast += drain(fast);
            }
        }
        got_slow += drain(slow);

        bool continuous;
        EXPECT_EQ(video_starts(ts_packets(got_fast), &continuous), put);
        EXPECT_TRUE(continuous);
        // The slow one goes on at the newest keyframe's tables, never in the middle of a picture.
        std::vector<TsPacketInfo> ps = ts_packets(got_slow);
        std::vector<uint8_t> starts = video_starts(ps, &continuous);
        ASSERT_GE(starts.size(), 2u);
        EXPECT_EQ(starts[0], put[0]);
        EXPECT_EQ(starts[1], last_key);
        EXPECT_EQ(starts.size(), 31u);
        EXPECT_EQ(starts.back(), put.back());
        size_t second_pat = 0;
        for (size_t i = 1; i < ps.size() && !second_pat; i++)
            if (ps[i].pid == TS_PAT_PID && ps[i - 1].pid == TS_VIDEO_PID)
                second_pat = i;
        ASSERT_GT(second_pat, 0u);
        EXPECT_EQ(ps[second_pat + 1].pid, TS_PMT_PID);
        EXPECT_NE(test_log_text().find("skipping to a keyframe"), std::string::npos);
        chunked_free_callback(slow);
        chunked_free_callback(fast);
        EXPECT_EQ(stream_share_count(), 0);
    }
}

TEST_F(Live, StalledReaderCutInAPacketClosesItAndGoesOnAtAKeyframe)
{
    TestQueue &q = queue(VIDEO_STREAM1, 1 << 20, 64);
    HttpStream *fast = http_stream_open(VIDEO_STREAM1, StreamMode_H264_TS, "video/MP2T", 0);
    HttpStream *stalled = http_stream_open(VIDEO_STREAM1, StreamMode_H264_TS, "video/MP2T", 0);
    ASSERT_NE(fast, nullptr);
    ASSERT_NE(stalled, nullptr);
    uint32_t ts = hw_clock_90khz();
    ASSERT_EQ(q.put(40000, ts, RB_FLAG_KEYFRAME, 0x01), 0);
    drain(fast);
    char part[1000];   // 1000 bytes: five packets and 60 bytes of the sixth
    ASSERT_EQ(http_stream_read(stalled, 0, part, sizeof part), (ssize_t)sizeof part);
    // Meanwhile the fast reader laps the whole shared ring.
    uint8_t fill = 0x02, last_key = 0;
    for (int i = 0; i < 150; i++) {
        ts += 3003;
        if (i % 30 == 0)
            last_key = fill;
        ASSERT_EQ(q.put(40000, ts, i % 30 == 0 ? (uint32_t)RB_FLAG_KEYFRAME : 0u, fill), 0);
        fill = (uint8_t)(fill % 0xFE + 1);
        drain(fast);
    }
    std::string rest = drain(stalled);
    ASSERT_GT(rest.size(), 128u);
    EXPECT_EQ(rest.substr(0, 128), std::string(128, (char)0xFF));
    // The cut packet is closed: the output stays in 188-byte packets.
    std::vector<TsPacketInfo> pk = ts_packets(std::string(part, sizeof part) + rest);
    ASSERT_GT(pk.size(), 8u);
    EXPECT_EQ(pk[6].pid, TS_PAT_PID);
    EXPECT_EQ(pk[7].pid, TS_PMT_PID);
    bool continuous;
    std::vector<uint8_t> starts = video_starts(std::vector<TsPacketInfo>(pk.begin() + 6, pk.end()), &continuous);
    ASSERT_FALSE(starts.empty());
    EXPECT_EQ(starts[0], last_key);
    EXPECT_TRUE(continuous);
    chunked_free_callback(stalled);
    chunked_free_callback(fast);
}

TEST_F(Live, EveryFlvReaderStartsWithTheFileHeader)
{
    TestQueue &q = queue(VIDEO_STREAM1, 1 << 20, 64);
    queue(AAC_STREAM, 1 << 16, 64);
    std::string key = std::string("\x00\x00\x00\x01\x65", 5) + std::string(500, 0x33);
    std::string inter = std::string("\x00\x00\x00\x01\x41", 5) + std::string(200, 0x44);
    HttpStream *a = http_stream_open(VIDEO_STREAM1, StreamMode_H264_AAC_FLV, "video/x-flv", 0);
    ASSERT_NE(a, nullptr);
    uint32_t ts = hw_clock_90khz();
    ASSERT_EQ(q.put((uint32_t)key.size(), ts, RB_FLAG_KEYFRAME, 0, (const uint8_t *)key.data()), 0);
    ASSERT_EQ(q.put((uint32_t)inter.size(), ts + 3003, 0, 0, (const uint8_t *)inter.data()), 0);
    std::string got_a = drain(a);
    HttpStream *b = http_stream_open(VIDEO_STREAM1, StreamMode_H264_AAC_FLV, "video/x-flv", 0);
    ASSERT_NE(b, nullptr);
    ASSERT_EQ(q.put((uint32_t)inter.size(), ts + 2 * 3003, 0, 0, (const uint8_t *)inter.data()), 0);
    ASSERT_EQ(q.put((uint32_t)key.size(), ts + 3 * 3003, RB_FLAG_KEYFRAME, 0, (const uint8_t *)key.data()), 0);
    got_a += drain(a);
    std::string got_b = drain(b);
    ASSERT_EQ(got_a.rfind("FLV\x01", 0), 0u);
    ASSERT_EQ(got_b.rfind("FLV\x01", 0), 0u);
    EXPECT_EQ(got_a.find("FLV\x01", 1), std::string::npos);   // one header per reader
    // Header, script tag and AAC config are the same for both; b's first video tag is a keyframe.
    size_t at = 13;
    std::vector<uint8_t> video_frames;
    while (at + 11 < got_b.size()) {
        uint8_t type = (uint8_t)got_b[at];
        size_t size = ((uint8_t)got_b[at + 1] << 16) | ((uint8_t)got_b[at + 2] << 8) | (uint8_t)got_b[at + 3];
        if (type == 9)
            video_frames.push_back((uint8_t)got_b[at + 11] >> 4);
        at += 11 + size + 4;
    }
    EXPECT_EQ(at, got_b.size());
    ASSERT_FALSE(video_frames.empty());
    EXPECT_EQ(video_frames[0], 1);
    EXPECT_EQ(got_b.substr(got_b.size() - 200), got_a.substr(got_a.size() - 200));
    chunked_free_callback(a);
    chunked_free_callback(b);
    EXPECT_EQ(stream_share_count(), 0);
}

TEST_F(Live, SharedRowGoesOutPlainWithTheBytesEveryReaderGets)
{
    TestQueue &q = queue(VIDEO_STREAM1, 4 << 20, 64);
    StreamClient c(port, "/streamA_vid.ts");
    c.read_until(1, 2000);
    ASSERT_TRUE(wait_for([] { return httpd_parked_count() == 1; }));
    HttpStream *ref = http_stream_open(VIDEO_STREAM1, StreamMode_H264_TS, "video/MP2T", 0);
    ASSERT_NE(ref, nullptr);
    uint32_t ts = hw_clock_90khz();
    // A keyframe several times the block the library offers, then pictures around it.
    ASSERT_EQ(q.put(300000, ts, RB_FLAG_KEYFRAME, 0x10), 0);
    for (int i = 1; i < 6; i++)
        ASSERT_EQ(q.put(i % 2 ? 70000 : 900, ts + i * 3003, 0, (uint8_t)(0x10 + i)), 0);
    std::string want = drain(ref);
    c.read_body(want.size());
    EXPECT_FALSE(c.chunked());
    EXPECT_EQ(c.raw.find("HTTP/1.1 200"), 0u);
    ASSERT_EQ(c.body().size(), want.size());
    EXPECT_TRUE(c.body() == want) << "the client's bytes differ from a reader's of the same row";
    chunked_free_callback(ref);
}

TEST_F(Live, UnitsTheSocketRefusesFollowThroughTheLibrarysBufferInOrder)
{
    TestQueue &q = queue(VIDEO_STREAM1, 4 << 20, 64);
    HttpStream *a = http_stream_open(VIDEO_STREAM1, StreamMode_H264_TS, "video/MP2T", 0);
    HttpStream *ref = http_stream_open(VIDEO_STREAM1, StreamMode_H264_TS, "video/MP2T", 0);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(ref, nullptr);
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    int small = 8192;
    setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    a->sock = sv[0];
    uint32_t ts = hw_clock_90khz();
    // Many units ready at once: one send takes the first of them in part, the rest come later.
    ASSERT_EQ(q.put(3000, ts, RB_FLAG_KEYFRAME, 0x20), 0);
    for (int i = 1; i < 12; i++)
        ASSERT_EQ(q.put(20000, ts + i * 3003, 0, (uint8_t)(0x20 + i)), 0);
    ASSERT_EQ(q.put(0, 0, 0), 0);   // the end: a reader that lost units ends instead of waiting
    std::string want = drain(ref);
    std::string got;
    static char buf[65536];
    auto take_socket = [&] {
        char in[65536];
        ssize_t k;
        while ((k = recv(sv[1], in, sizeof in, MSG_DONTWAIT)) > 0)
            got.append(in, (size_t)k);
    };
    int calls = 0, buffered = 0;
    // Each call's own bytes go out after what it wrote to the socket.
    while (got.size() < want.size() && calls++ < 1000) {
        ssize_t n = http_stream_read(a, 0, buf, sizeof buf);
        take_socket();
        ASSERT_GT(n, 0) << "ended after " << got.size() << " of " << want.size() << " bytes";
        got.append(buf, (size_t)n);
        buffered++;
    }
    take_socket();
    EXPECT_GT(buffered, 1);
    ASSERT_EQ(got.size(), want.size());
    EXPECT_TRUE(got == want) << "units lost or out of order after a refused send";
    bool continuous;
    std::vector<uint8_t> starts = video_starts(ts_packets(got), &continuous);
    EXPECT_EQ(starts.size(), 12u);
    EXPECT_TRUE(continuous);
    chunked_free_callback(a);
    chunked_free_callback(ref);
    close(sv[0]);
    close(sv[1]);
}

TEST_F(Live, ReaderWhoseClientWentAwayEnds)
{
    TestQueue &q = queue(VIDEO_STREAM1, 1 << 20, 64);
    HttpStream *a = http_stream_open(VIDEO_STREAM1, StreamMode_H264_TS, "video/MP2T", 0);
    ASSERT_NE(a, nullptr);
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    a->sock = sv[0];
    close(sv[1]);
    ASSERT_EQ(q.put(3000, hw_clock_90khz(), RB_FLAG_KEYFRAME, 0x30), 0);
    char buf[4096];
    EXPECT_EQ(http_stream_read(a, 0, buf, sizeof buf), MHD_CONTENT_READER_END_WITH_ERROR);
    chunked_free_callback(a);
    close(sv[0]);
}

namespace {

// Clients of the TS row, each parked with its header read.
std::vector<std::unique_ptr<StreamClient>> ts_clients(uint16_t port, int n)
{
    std::vector<std::unique_ptr<StreamClient>> cs;
    for (int i = 0; i < n; i++) {
        cs.push_back(std::make_unique<StreamClient>(port, "/streamA_vid.ts"));
        cs.back()->read_until(1, 2000);
    }
    EXPECT_TRUE(wait_for([n] { return httpd_parked_count() == n; }));
    return cs;
}

} // namespace

TEST_F(Live, ReadersParkedOnARowAreFedTogetherAndOneThatLeftDoesNotStopTheOthers)
{
    TestQueue &q = queue(VIDEO_STREAM1, 4 << 20, 64);
    auto cs = ts_clients(port, 4);
    HttpStream *ref = http_stream_open(VIDEO_STREAM1, StreamMode_H264_TS, "video/MP2T", 0);
    ASSERT_NE(ref, nullptr);
    uint32_t ts = hw_clock_90khz();
    std::string want;
    for (int i = 0; i < 20; i++) {
        if (i == 10) {
            // One client goes away while parked: a unit sent to it fails, and it is let go.
            close(cs[3]->fd);
            cs[3]->fd = -1;
        }
        ASSERT_EQ(q.put(i % 10 ? 9000 : 30000, ts + i * 3003, i % 10 ? 0u : (uint32_t)RB_FLAG_KEYFRAME,
                        (uint8_t)(0x40 + i)), 0);
        want += drain(ref);
        // The unit reached every parked reader before the one that fed them parked again, long
        // before a reader left waiting would be resumed for its time limit.
        ASSERT_TRUE(wait_for([] { return httpd_parked_count() == live_wait_count(); })) << "unit " << i;
        for (int k = 0; k < 3; k++) {
            size_t head = cs[k]->raw.find("\r\n\r\n") + 4;
            cs[k]->read_until(head + want.size(), 500);
            ASSERT_EQ(cs[k]->body().size(), want.size()) << "client " << k << " unit " << i;
        }
    }
    EXPECT_TRUE(wait_for([] { return live_wait_count() == 3; }));
    for (int k = 0; k < 3; k++)
        EXPECT_TRUE(cs[k]->body() == want) << "client " << k;
    chunked_free_callback(ref);
}

TEST_F(Live, ReadersFedWhileTheirClientsReadNothingGetEveryByteInOrder)
{
    TestQueue &q = queue(VIDEO_STREAM1, 4 << 20, 256);
    auto cs = ts_clients(port, 3);
    HttpStream *ref = http_stream_open(VIDEO_STREAM1, StreamMode_H264_TS, "video/MP2T", 0);
    ASSERT_NE(ref, nullptr);
    uint32_t ts = hw_clock_90khz();
    std::string want;
    // Units pile up in the sockets while nobody reads, under what makes a reader skip.
    for (int i = 0; i < 40; i++) {
        ASSERT_EQ(q.put(i % 10 ? 40000 : 60000, ts + i * 3003, i % 10 ? 0u : (uint32_t)RB_FLAG_KEYFRAME,
                        (uint8_t)(0x60 + i)), 0);
        want += drain(ref);
    }
    for (int k = 0; k < 3; k++) {
        cs[k]->read_until(cs[k]->raw.find("\r\n\r\n") + 4 + want.size());
        ASSERT_EQ(cs[k]->body().size(), want.size()) << "client " << k;
        EXPECT_TRUE(cs[k]->body() == want) << "client " << k;
    }
    // Caught up again, they wait parked for the next unit.
    EXPECT_TRUE(wait_for([] { return httpd_parked_count() == 3; }));
    chunked_free_callback(ref);
}

TEST_F(Live, EndMarkerAheadOfASharedReadersFirstUnitDoesNotEndIt)
{
    // A client comes as the row's last one leaves: the encoder's stop reaches the row's output
    // after it joined, ahead of the run its coming starts.
    TestQueue &q = queue(VIDEO_STREAM1, 1 << 20, 64);
    HttpStream *a = http_stream_open(VIDEO_STREAM1, StreamMode_H264_TS, "video/MP2T", 0);
    ASSERT_NE(a, nullptr);
    StreamQueue *ring = &a->share.share->ring;
    ASSERT_GE(ringbuffer_preallocate(ring, 0), 0);
    ASSERT_EQ(ringbuffer_put(ring, 0, 0, 0), 0);
    ASSERT_EQ(q.put(3000, hw_clock_90khz(), RB_FLAG_KEYFRAME, 0x51), 0);
    std::string got = drain(a);
    bool continuous;
    EXPECT_EQ(video_starts(ts_packets(got), &continuous), std::vector<uint8_t>{0x51});
    EXPECT_EQ(test_log_text().find("stream 1 ended"), std::string::npos);
    chunked_free_callback(a);
}
