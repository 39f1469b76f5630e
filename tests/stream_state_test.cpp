#include "streams/stream_state.h"

#include "core/log.h"
#include "fakeproducer.h"
#include "stream_testutil.h"
#include "streams/stream_mode.h"
#include "streams/stream_mux.h"

#include <atomic>
#include <cstring>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

// A muxer double: each frame becomes {kind, pts, duration, keyframe, header, length} and its bytes.
struct MuxRecord {
    char kind;
    uint32_t pts, duration;
    int keyframe, header;
    uint32_t length;
    int discontinuity;
};

std::atomic<int> mux_created{0}, mux_destroyed{0};
std::vector<MuxRecord> mux_log;   // every frame given to any test muxer, in order
bool mux_fail_video;

void *test_create(const StreamMuxSetup *setup)
{
    mux_created++;
    return new StreamMuxSetup(*setup);
}

void test_destroy(void *mux)
{
    mux_destroyed++;
    delete static_cast<StreamMuxSetup *>(mux);
}

int test_put(char kind, const StreamMuxFrame *f, uint8_t *out, uint32_t capacity, uint32_t *used)
{
    if (kind == 'V' && mux_fail_video)
        return -1;
    mux_log.push_back({kind, f->pts, f->duration, f->keyframe, f->header, f->length, f->discontinuity});
    if (!out)
        return 0;   // MP4 file mode
    if (*used + 1 + f->length > capacity)
        return -1;
    out[(*used)++] = (uint8_t)kind;
    memcpy(out + *used, f->data, f->length);
    *used += f->length;
    return 0;
}

int test_put_video(void *, const StreamMuxFrame *f, uint8_t *out, uint32_t cap, uint32_t *used)
{
    return test_put('V', f, out, cap, used);
}

int test_put_audio(void *, const StreamMuxFrame *f, uint8_t *out, uint32_t cap, uint32_t *used)
{
    return test_put('A', f, out, cap, used);
}

const StreamMuxOps test_ops = {test_create, test_destroy, test_put_video, test_put_audio, nullptr};

class Consumer : public ::testing::Test {
protected:
    void SetUp() override
    {
        mux_log.clear();
        mux_created = mux_destroyed = 0;
        mux_fail_video = false;
    }
    void TearDown() override
    {
        stream_mux_register(STREAM_MUX_TS, &ts_mux_ops);
        stream_mux_register(STREAM_MUX_FLV, &flv_mux_ops);
        stream_mux_register(STREAM_MUX_MP4, &mp4_mux_ops);
    }
    void with_muxers()
    {
        stream_mux_register(STREAM_MUX_TS, &test_ops);
        stream_mux_register(STREAM_MUX_FLV, &test_ops);
        stream_mux_register(STREAM_MUX_MP4, &test_ops);
    }
};

std::string log_tail()
{
    static char buf[LOG_RING_SIZE];
    uint32_t n = log_ring_read(log_ring_tail(), buf, sizeof buf - 1);
    return std::string(buf, n);
}

} // namespace

TEST_F(Consumer, ElementaryReadPointsIntoTheRingWithFlags)
{
    TestQueue t(VIDEO_STREAM1, 8192, 16);
    StreamState s{};
    stream_state_attach(t.id, StreamMode_H264_ES, &s);
    ASSERT_EQ(t.put(100, 5000, RB_FLAG_KEYFRAME | RB_FLAG_8), 0);
    ASSERT_EQ(t.put(50, 6000, RB_FLAG_2 | RB_FLAG_4 | RB_FLAG_PASSTHROUGH, 0x11), 0);
    stream_queue_add_time_offset(&t.q, 100);
    StreamBuffer *b = stream_state_dequeue(&s);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(Buffer_getUserPtr(b->buf), t.q.data + t.entry(0).offset);   // no copy
    EXPECT_EQ(Buffer_getNumBytesUsed(b->buf), 100u);
    EXPECT_EQ(b->timestamp, 5000u);   // as stored
    EXPECT_EQ(b->seq, 0u);
    EXPECT_EQ(b->flags, SB_KEYFRAME | SB_FLAG_8);
    b = stream_state_dequeue_es(&s);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->timestamp, 5900u);   // the elementary read without waiting takes the offset off
    EXPECT_EQ(b->flags, SB_FLAG_2 | SB_FLAG_4 | SB_PASSTHROUGH);
    EXPECT_EQ(Buffer_getUserPtr(b->buf)[0], 0x11);
    EXPECT_EQ(stream_state_dequeue_es(&s), nullptr);   // nothing more: no wait
    EXPECT_EQ(s.current, nullptr);
    stream_state_detach(&s);
}

TEST_F(Consumer, StartsAtRecentKeyframeWhenAskedElseAtTheNextFrame)
{
    TestQueue t(VIDEO_STREAM1, 8192, 16);
    ASSERT_EQ(t.put_now(10, RB_FLAG_KEYFRAME), 0);
    ASSERT_EQ(t.put_now(10, 0), 0);
    StreamState at_key{}, next{};
    at_key.flags = SS_START_AT_KEYFRAME;
    stream_state_attach(t.id, StreamMode_H264_ES, &at_key);
    stream_state_attach(t.id, StreamMode_H264_ES, &next);
    EXPECT_EQ(at_key.seq, 0u);
    EXPECT_EQ(at_key.startTS, t.entry(0).timestamp);
    EXPECT_FALSE(at_key.flags & SS_WAIT_KEYFRAME);
    EXPECT_EQ(next.seq, 2u);
    EXPECT_TRUE(next.flags & SS_WAIT_KEYFRAME);
    stream_state_detach(&at_key);
    stream_state_detach(&next);

    TestQueue old(VIDEO_STREAM2, 8192, 16);
    ASSERT_EQ(old.put(10, hw_clock_90khz() - 95000, RB_FLAG_KEYFRAME), 0);
    StreamState late{};
    late.flags = SS_START_AT_KEYFRAME;
    stream_state_attach(old.id, StreamMode_H264_ES, &late);
    EXPECT_EQ(late.seq, 1u);
    EXPECT_TRUE(late.flags & SS_WAIT_KEYFRAME);
    stream_state_detach(&late);
}

TEST_F(Consumer, DequeueTimesOutAndDetachedStateGivesNull)
{
    TestQueue t(VIDEO_STREAM1, 8192, 16);
    StreamState s{};
    EXPECT_EQ(stream_state_dequeue_timeout(&s, 10), nullptr);
    stream_state_attach(t.id, StreamMode_H264_ES, &s);
    EXPECT_EQ(stream_state_dequeue_timeout(&s, 20), nullptr);
    EXPECT_EQ(s.seq, 0u);
    stream_state_detach(&s);
    EXPECT_EQ(s.streamq, nullptr);
    EXPECT_EQ(s.internalBuf.buf, nullptr);
}

TEST_F(Consumer, MuxedModeWithoutItsMuxerPassesElementaryFrames)
{
    stream_mux_register(STREAM_MUX_TS, nullptr);
    TestQueue t(VIDEO_STREAM1, 8192, 16);
    StreamState s{};
    stream_state_attach(t.id, StreamMode_H264_TS, &s);
    EXPECT_NE(log_tail().find("muxer not available"), std::string::npos);
    EXPECT_EQ(s.mux, nullptr);
    ASSERT_EQ(t.put_now(10, 0), 0);   // no keyframe needed for elementary frames
    StreamBuffer *b = stream_state_dequeue_timeout(&s, 1000);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b, &s.internalBuf);
    stream_state_detach(&s);
}

TEST_F(Consumer, MuxedStreamStartsAtTheFirstKeyframe)
{
    with_muxers();
    TestQueue t(VIDEO_STREAM1, 8192, 16);
    StreamState s{};
    stream_state_attach(t.id, StreamMode_H264_TS, &s);
    ASSERT_NE(s.mux, nullptr);
    ASSERT_NE(s.muxBuf, nullptr);
    ASSERT_EQ(t.put(10, 1000, 0, 1), 0);
    ASSERT_EQ(t.put(10, 4000, 0, 2), 0);
    ASSERT_EQ(t.put(20, 7000, RB_FLAG_KEYFRAME, 3), 0);
    ASSERT_EQ(t.put(30, 10000, 0, 4), 0);
    StreamBuffer *b = stream_state_dequeue_timeout(&s, 1000);
    ASSERT_EQ(b, s.muxBuf);
    EXPECT_EQ(s.startTS, 7000u);
    EXPECT_EQ(b->seq, 2u);
    EXPECT_TRUE(b->flags & SB_KEYFRAME);
    EXPECT_TRUE(s.flags & SS_LAST_KEYFRAME);
    ASSERT_EQ(Buffer_getNumBytesUsed(b->buf), 21u);
    EXPECT_EQ(Buffer_getUserPtr(b->buf)[0], 'V');
    EXPECT_EQ(Buffer_getUserPtr(b->buf)[1], 3);
    ASSERT_EQ(mux_log.size(), 1u);
    EXPECT_EQ(mux_log[0].pts, 0u);
    b = stream_state_dequeue_timeout(&s, 1000);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(mux_log.back().pts, 3000u);
    EXPECT_FALSE(s.flags & SS_LAST_KEYFRAME);
    stream_state_detach(&s);
}

TEST_F(Consumer, JpegOnMuxedStateIsRefusedAndSkipped)
{
    with_muxers();
    TestQueue t(VIDEO_STREAM1, 8192, 16);
    StreamState s{};
    stream_state_attach(t.id, StreamMode_H264_TS, &s);
    uint8_t jpeg[8] = {0xFF, 0xD8, 0xFF, 0xE0};
    ASSERT_EQ(t.put(8, 1000, RB_FLAG_KEYFRAME, 0, jpeg), 0);
    EXPECT_EQ(stream_state_dequeue_timeout(&s, 1000), nullptr);
    EXPECT_EQ(s.seq, 1u);
    EXPECT_TRUE(mux_log.empty());
    stream_state_detach(&s);
}

TEST_F(Consumer, PassThroughFrameIsCopiedWithinTheMuxBufferOrDropped)
{
    with_muxers();
    TestQueue t(VIDEO_STREAM1, 0x200000, 16);
    StreamState s{};
    stream_state_attach(t.id, StreamMode_H264_TS, &s);
    ASSERT_EQ(t.put(64, 1000, RB_FLAG_PASSTHROUGH, 0x5A), 0);
    ASSERT_EQ(t.put(STREAM_MUX_BUF_SIZE + 1, 2000, RB_FLAG_PASSTHROUGH, 0x5B), 0);
    StreamBuffer *b = stream_state_dequeue_timeout(&s, 1000);
    ASSERT_EQ(b, s.muxBuf);
    EXPECT_EQ(Buffer_getNumBytesUsed(b->buf), 64u);
    EXPECT_EQ(Buffer_getUserPtr(b->buf)[63], 0x5A);
    EXPECT_TRUE(b->flags & SB_PASSTHROUGH);
    EXPECT_EQ(stream_state_dequeue_timeout(&s, 1000), nullptr);   // too big: dropped
    EXPECT_NE(log_tail().find("exceeds buffer"), std::string::npos);
    EXPECT_EQ(s.seq, 2u);
    stream_state_detach(&s);
}

TEST_F(Consumer, FrameTheMuxerCannotFitIsDroppedWithALogLine)
{
    with_muxers();
    TestQueue t(VIDEO_STREAM1, 0x200000, 16);
    StreamState s{};
    stream_state_attach(t.id, StreamMode_H264_TS, &s);
    ASSERT_EQ(t.put(STREAM_MUX_BUF_SIZE, 1000, RB_FLAG_KEYFRAME), 0);
    EXPECT_EQ(stream_state_dequeue_timeout(&s, 1000), nullptr);
    EXPECT_NE(log_tail().find("does not fit the muxer buffer"), std::string::npos);
    stream_state_detach(&s);
}

TEST_F(Consumer, AudioInterleaveDropsStaleAudioAndKeepsNewerForTheNextRead)
{
    with_muxers();
    TestQueue v(VIDEO_STREAM1, 8192, 16), a(AAC_STREAM, 8192, 16);
    StreamState s{};
    stream_state_attach(v.id, StreamMode_H264_AAC_TS, &s);
    ASSERT_EQ(s.streamq2, &a.q);
    ASSERT_EQ(a.put(8, 100000 - 5000, RB_FLAG_KEYFRAME), 0);   // long before the start: dropped
    ASSERT_EQ(a.put(8, 100000 - 500, RB_FLAG_KEYFRAME), 0);    // just before it: a negative PTS, dropped
    ASSERT_EQ(a.put(8, 100000, RB_FLAG_KEYFRAME), 0);          // with the keyframe: kept
    ASSERT_EQ(a.put(8, 100000 + 1000, RB_FLAG_KEYFRAME), 0);   // newer than the video frame
    ASSERT_EQ(v.put(20, 100000, RB_FLAG_KEYFRAME), 0);
    ASSERT_NE(stream_state_dequeue_timeout(&s, 1000), nullptr);
    ASSERT_EQ(mux_log.size(), 2u);
    EXPECT_EQ(mux_log[1].kind, 'A');
    EXPECT_EQ(mux_log[1].pts, 0u);
    EXPECT_EQ(s.seq2, 3u);
    ASSERT_EQ(v.put(20, 103000, 0), 0);
    ASSERT_NE(stream_state_dequeue_timeout(&s, 1000), nullptr);
    ASSERT_EQ(mux_log.size(), 4u);
    EXPECT_EQ(mux_log[3].kind, 'A');
    EXPECT_EQ(mux_log[3].pts, 1000u);
    for (const MuxRecord &r : mux_log)
        EXPECT_LT(r.pts, 0x80000000u) << r.kind;   // nothing stamped before the start
    stream_state_detach(&s);
    EXPECT_EQ(stream_get_state_by_id(AAC_STREAM), 0);
}

// A consumer attaching while a captured picture is still being encoded: the sound stamped since
// that picture is already queued and belongs in the stream beside it.
TEST_F(Consumer, AudioQueuedSinceTheNewestPictureIsKeptAtAttach)
{
    with_muxers();
    TestQueue v(VIDEO_STREAM1, 8192, 16), a(AAC_STREAM, 8192, 16);
    ASSERT_EQ(v.put(20, 200000 - 3003, 0), 0);                 // the newest picture encoded so far
    ASSERT_EQ(a.put(8, 200000 - 5000, RB_FLAG_KEYFRAME), 0);   // older than it: not wanted
    ASSERT_EQ(a.put(8, 200000 - 1080, RB_FLAG_KEYFRAME), 0);   // since then: queued before the attach
    ASSERT_EQ(a.put(8, 200000 + 840, RB_FLAG_KEYFRAME), 0);
    StreamState s{};
    stream_state_attach(v.id, StreamMode_H264_AAC_TS, &s);
    EXPECT_EQ(s.seq2, 1u) << "the reader starts with the sound since the newest picture";
    ASSERT_EQ(v.put(20, 200000, RB_FLAG_KEYFRAME), 0);         // the picture being encoded at attach
    ASSERT_NE(stream_state_dequeue_timeout(&s, 1000), nullptr);
    ASSERT_EQ(mux_log.size(), 1u) << "nothing from before the first keyframe";
    ASSERT_EQ(v.put(20, 203003, 0), 0);
    ASSERT_NE(stream_state_dequeue_timeout(&s, 1000), nullptr);
    ASSERT_EQ(mux_log.size(), 3u);
    EXPECT_EQ(mux_log[2].kind, 'A');
    EXPECT_EQ(mux_log[2].pts, 840u) << "the sound queued before the attach goes out";
    stream_state_detach(&s);
}

TEST_F(Consumer, Mp4DurationsFollowTimestampsAndNegativeOnesGetHalfAFrame)
{
    with_muxers();
    TestQueue v(VIDEO_STREAM1, 8192, 16);
    StreamState s{};
    s.videoFrameDuration = 3000;
    stream_state_attach(v.id, StreamMode_H264_MP4, &s);
    ASSERT_EQ(v.put(10, 50000, RB_FLAG_KEYFRAME), 0);
    ASSERT_EQ(v.put(10, 53000, 0), 0);
    ASSERT_EQ(v.put(10, 52000, 0), 0);   // stamped before the previous frame
    for (int i = 0; i < 3; i++)
        ASSERT_NE(stream_state_dequeue_timeout(&s, 1000), nullptr);
    ASSERT_EQ(mux_log.size(), 3u);
    EXPECT_EQ(mux_log[0].duration, 3000u);   // from startTS - frame duration
    EXPECT_EQ(mux_log[1].duration, 3000u);
    EXPECT_EQ(mux_log[2].duration, 1500u);
    EXPECT_EQ(mux_log[2].pts, 4500u);
    EXPECT_EQ(s.videoTS, 54500u);
    stream_state_detach(&s);
}

TEST_F(Consumer, FlvHeaderIsAskedForOncePerAttach)
{
    with_muxers();
    TestQueue v(VIDEO_STREAM1, 8192, 16), a(AAC_STREAM, 8192, 16);
    StreamState s{};
    for (int round = 0; round < 2; round++) {
        stream_state_attach(v.id, StreamMode_H264_AAC_FLV, &s);
        ASSERT_EQ(v.put(10, 1000 + round, RB_FLAG_KEYFRAME), 0);
        ASSERT_EQ(v.put(10, 4000 + round, 0), 0);
        ASSERT_NE(stream_state_dequeue_timeout(&s, 1000), nullptr);
        ASSERT_NE(stream_state_dequeue_timeout(&s, 1000), nullptr);
        stream_state_detach(&s);
    }
    ASSERT_EQ(mux_log.size(), 4u);
    EXPECT_EQ(mux_log[0].header, 1);
    EXPECT_EQ(mux_log[1].header, 0);
    EXPECT_EQ(mux_log[2].header, 1);
}

TEST_F(Consumer, StreamingMuxerAndItsBufferAreFreedAtDetach)
{
    with_muxers();
    TestQueue v(VIDEO_STREAM1, 8192, 16);
    StreamState s{};
    for (int i = 0; i < 3; i++) {   // a reconnecting client
        stream_state_attach(v.id, StreamMode_H264_TS, &s);
        ASSERT_NE(s.muxBuf, nullptr);
        stream_state_detach(&s);
        EXPECT_EQ(s.mux, nullptr);
        EXPECT_EQ(s.muxBuf, nullptr);
    }
    EXPECT_EQ(mux_created.load(), 3);
    EXPECT_EQ(mux_destroyed.load(), 3);
}

TEST_F(Consumer, FileModeDetachDrainsHeldFramesButNotTheNewest)
{
    with_muxers();
    TestQueue v(VIDEO_STREAM1, 8192, 16);
    StreamState s{};
    s.videoFrameDuration = 3000;
    stream_state_attach(v.id, StreamMode_H264_MP4, &s);
    // The recording takes the buffer away to have the writer write its file.
    StreamBuffer *mb = s.muxBuf;
    s.muxBuf = nullptr;
    ASSERT_EQ(v.put(10, 1000, RB_FLAG_KEYFRAME), 0);
    ASSERT_EQ(v.put(10, 4000, 0), 0);
    ASSERT_EQ(v.put(10, 7000, 0), 0);
    ASSERT_EQ(v.put(0, 0, 0), 0);   // the producer's end marker
    EXPECT_EQ(stream_state_dequeue_timeout(&s, 1000), nullptr);   // written to the file
    stream_state_detach(&s);
    EXPECT_EQ(mux_log.size(), 3u);
    EXPECT_EQ(s.seq, 3u);
    ASSERT_NE(s.mux, nullptr);   // the owner finishes the file
    s.muxBuf = mb;
    stream_state_close_muxer(&s);
    EXPECT_EQ(s.mux, nullptr);
    EXPECT_EQ(s.muxBuf, nullptr);
    EXPECT_EQ(mux_destroyed.load(), 1);
    EXPECT_EQ(stream_users_by_id(v.id), 0);
}

TEST_F(Consumer, FillPercentCountsTheFramesNotYetRead)
{
    TestQueue v(VIDEO_STREAM1, 10240, 16);
    StreamState s{};
    stream_state_attach(v.id, StreamMode_H264_ES, &s);
    EXPECT_EQ(stream_state_fill_percent(&s), 0);
    ASSERT_EQ(v.put(1024, 1, 0), 0);
    ASSERT_EQ(v.put(1000, 2, 0), 0);   // rounded up to 1024
    EXPECT_EQ(stream_state_fill_percent(&s), 20);
    ASSERT_NE(stream_state_dequeue(&s), nullptr);
    EXPECT_EQ(stream_state_fill_percent(&s), 10);
    ASSERT_NE(stream_state_dequeue(&s), nullptr);
    EXPECT_EQ(stream_state_fill_percent(&s), 0);
    stream_state_detach(&s);
}

TEST(Latency, ReadBeforeAnySampleIsAValidText)
{
    char buf[64];
    stream_latency_print(LATENCY_TS_B, buf, sizeof buf);
    EXPECT_STREQ(buf, "min:0 max:0 avg:0 (ms)");
}

TEST(Latency, SamplesGiveMinMaxAverageInMillisecondsAndReset)
{
    char buf[64];
    stream_latency_print(LATENCY_RTSP_A, buf, sizeof buf);
    uint32_t now = hw_clock_90khz();
    stream_latency_add(LATENCY_RTSP_A, now - 9000);     // about 100 ms
    stream_latency_add(LATENCY_RTSP_A, now - 27000);    // about 300 ms
    stream_latency_print(LATENCY_RTSP_A, buf, sizeof buf);
    int mn, mx, avg;
    ASSERT_EQ(sscanf(buf, "min:%d max:%d avg:%d (ms)", &mn, &mx, &avg), 3) << buf;
    EXPECT_GE(mn, 100);
    EXPECT_LT(mn, mx);
    EXPECT_GE(mx, 300);
    EXPECT_GE(avg, 200);
    EXPECT_LT(avg, mx);
    stream_latency_print(LATENCY_RTSP_A, buf, sizeof buf);
    EXPECT_STREQ(buf, "min:0 max:0 avg:0 (ms)");
}

// --- concurrency ---

namespace {

uint32_t checksum(const uint8_t *p, uint32_t n)
{
    uint32_t h = 2166136261u;
    for (uint32_t i = 0; i < n; i++)
        h = (h ^ p[i]) * 16777619u;
    return h;
}

// Frame layout: seq, length, checksum of the rest, payload.
void make_frame(uint8_t *p, uint32_t seq, uint32_t len, std::mt19937 &rng)
{
    for (uint32_t i = 12; i < len; i++)
        p[i] = (uint8_t)rng();
    uint32_t sum = checksum(p + 12, len - 12);
    memcpy(p, &seq, 4);
    memcpy(p + 4, &len, 4);
    memcpy(p + 8, &sum, 4);
}

} // namespace

TEST(Concurrency, SixteenConsumersReceiveIntactFramesInOrderAndResumeLappedAtKeyframes)
{
    // The data area is large against the entry count, so a frame's bytes stay put for several
    // laps of the entry table after it drops out: readers can be lapped without being torn.
    TestQueue t(VIDEO_STREAM2, 4 << 20, 64);
    const uint32_t frames = 4000;
    std::atomic<bool> done{false};
    std::atomic<int> corrupt{0}, out_of_order{0}, bad_resume{0}, laps{0}, received{0};

    auto consumer = [&](int index) {
        std::mt19937 rng(index);
        StreamState s{};
        stream_state_attach(t.id, StreamMode_H264_ES, &s);
        bool have_last = false;
        uint32_t last = 0;
        std::vector<uint8_t> copy;
        while (!done.load()) {
            StreamBuffer *b = stream_state_dequeue_timeout(&s, 50);
            if (!b)
                continue;
            uint32_t len = (uint32_t)Buffer_getNumBytesUsed(b->buf);
            const uint8_t *p = Buffer_getUserPtr(b->buf);
            copy.assign(p, p + len);
            uint32_t fseq, flen, sum;
            memcpy(&fseq, copy.data(), 4);
            memcpy(&flen, copy.data() + 4, 4);
            memcpy(&sum, copy.data() + 8, 4);
            if (fseq != b->seq || flen != len || checksum(copy.data() + 12, len - 12) != sum)
                corrupt++;
            if (have_last && (int32_t)(b->seq - last) <= 0)
                out_of_order++;
            if (have_last && b->seq != last + 1) {
                laps++;
                if (!(b->flags & SB_KEYFRAME))
                    bad_resume++;
            }
            have_last = true;
            last = b->seq;
            received++;
            // Most readers keep up; some doze off long enough to be lapped.
            int r = (int)(rng() % 100);
            if (index % 4 == 0 && r < 3)
                usleep(40000);
            else if (r < 30)
                usleep(rng() % 300);
        }
        stream_state_detach(&s);
    };
    std::vector<std::thread> consumers;
    for (int i = 0; i < 16; i++)
        consumers.emplace_back(consumer, i);

    std::mt19937 rng(1234);
    for (uint32_t seq = 0; seq < frames; seq++) {
        uint32_t len = 16 + rng() % 4000;
        int off = ringbuffer_preallocate(&t.q, len);
        ASSERT_GE(off, 0);
        make_frame(t.q.data + off, seq, len, rng);
        ASSERT_EQ(ringbuffer_put(&t.q, len, seq * 3000, seq % 16 == 0 ? (uint32_t)RB_FLAG_KEYFRAME : 0u), 0);
        usleep(200);
    }
    done = true;
    for (auto &c : consumers)
        c.join();
    EXPECT_EQ(corrupt.load(), 0);
    EXPECT_EQ(out_of_order.load(), 0);
    EXPECT_EQ(bad_resume.load(), 0);
    EXPECT_GT(laps.load(), 0);
    EXPECT_GT(received.load(), (int)frames);
    EXPECT_EQ(stream_users_by_id(t.id), 0);
}

TEST_F(Consumer, EndMarkerIsNeverMuxedAndTheNextFrameCarriesTheRestart)
{
    with_muxers();
    TestQueue v(VIDEO_STREAM1, 8192, 16), a(AAC_STREAM, 8192, 16);
    StreamState s{};
    stream_state_attach(v.id, StreamMode_H264_AAC_TS, &s);
    ASSERT_EQ(v.put(0, 0, 0), 0);   // a stop before muxing began: nothing to mark
    EXPECT_EQ(stream_state_dequeue_timeout(&s, 1000), nullptr);
    ASSERT_EQ(v.put(10, 1000, RB_FLAG_KEYFRAME), 0);
    ASSERT_NE(stream_state_dequeue_timeout(&s, 1000), nullptr);
    ASSERT_EQ(v.put(0, 0, 0), 0);   // the producer restarts
    ASSERT_EQ(a.put(0, 0, 0), 0);
    EXPECT_EQ(stream_state_dequeue_timeout(&s, 1000), nullptr);
    ASSERT_EQ(a.put(8, 40000, RB_FLAG_KEYFRAME), 0);
    ASSERT_EQ(v.put(10, 40000, RB_FLAG_KEYFRAME), 0);
    ASSERT_EQ(v.put(10, 43003, 0), 0);
    ASSERT_NE(stream_state_dequeue_timeout(&s, 1000), nullptr);
    ASSERT_NE(stream_state_dequeue_timeout(&s, 1000), nullptr);
    stream_state_detach(&s);
    ASSERT_EQ(mux_log.size(), 4u);
    for (const MuxRecord &r : mux_log)
        EXPECT_GT(r.length, 0u) << r.kind << " pts " << r.pts;
    EXPECT_EQ(mux_log[0].discontinuity, 0);
    EXPECT_EQ(mux_log[1].kind, 'V');
    EXPECT_EQ(mux_log[1].pts, 39000u);
    EXPECT_EQ(mux_log[1].discontinuity, 1);
    EXPECT_EQ(mux_log[2].kind, 'A');   // the audio after its end marker is muxed
    EXPECT_EQ(mux_log[2].pts, 39000u);
    EXPECT_EQ(mux_log[3].discontinuity, 0);
}

namespace {

struct TsScan {
    std::vector<uint32_t> pcr;          // 32 low bits of each PCR base, in order
    std::vector<bool> pcr_discontinuity;
    std::vector<uint32_t> video_pts;
    int audio_pes = 0;
};

uint32_t pes_pts(const uint8_t *p)
{
    return (uint32_t)(((uint64_t)(p[0] & 0x0E) << 29) | (p[1] << 22) | ((p[2] & 0xFE) << 14) | (p[3] << 7) |
                      (p[4] >> 1));
}

void ts_scan(const uint8_t *d, size_t n, TsScan *out)
{
    for (size_t i = 0; i + 188 <= n; i += 188) {
        const uint8_t *p = d + i;
        ASSERT_EQ(p[0], 0x47);
        int pid = ((p[1] & 0x1F) << 8) | p[2];
        bool start = p[1] & 0x40;
        int afc = (p[3] >> 4) & 3;
        size_t pay = 4;
        if (afc & 2) {
            if (p[4] > 0 && (p[5] & 0x10)) {
                uint64_t base = ((uint64_t)p[6] << 25) | (p[7] << 17) | (p[8] << 9) | (p[9] << 1) | (p[10] >> 7);
                out->pcr.push_back((uint32_t)base);
                out->pcr_discontinuity.push_back(p[5] & 0x80);
            }
            pay = 5 + p[4];
        }
        if (!(afc & 1) || !start || pay + 14 > 188)
            continue;
        const uint8_t *pes = p + pay;
        if (pid == 0x1011 && (pes[7] & 0x80))
            out->video_pts.push_back(pes_pts(pes + 9));
        if (pid == 0x1100)
            out->audio_pes++;
    }
}

// Appends the consumer's outputs until `frames` muxed outputs were read; false on a time-out.
bool read_ts(StreamState *s, int frames, TsScan *scan)
{
    for (int got = 0, tries = 0; got < frames && tries < frames * 4; tries++) {
        StreamBuffer *b = stream_state_dequeue_timeout(s, 3000);
        if (!b)
            continue;   // an end marker passed, or nothing yet
        ts_scan(Buffer_getUserPtr(b->buf), Buffer_getNumBytesUsed(b->buf), scan);
        got++;
    }
    return true;
}

} // namespace

TEST(ConsumerWithProducer, TransportStreamAcrossAProducerRestartMarksItsPcrAndNeverStepsBack)
{
    FakeProducer *fp = fakeproducer_start();
    ASSERT_NE(fp, nullptr);
    StreamState s{};
    stream_state_attach(VIDEO_STREAM1, StreamMode_H264_AAC_TS, &s);
    TsScan scan;
    read_ts(&s, 10, &scan);
    stream_restart(VIDEO_STREAM1);
    for (int i = 0; i < 50 && fakeproducer_starts(fp, VIDEO_STREAM1) < 2; i++)
        read_ts(&s, 1, &scan);
    read_ts(&s, 10, &scan);
    stream_state_detach(&s);
    int starts = fakeproducer_starts(fp, VIDEO_STREAM1);
    fakeproducer_stop(fp);
    EXPECT_EQ(starts, 2);
    ASSERT_GE(scan.video_pts.size(), 20u);
    for (size_t i = 1; i < scan.video_pts.size(); i++)
        EXPECT_GT((int32_t)(scan.video_pts[i] - scan.video_pts[i - 1]), 0) << "video PTS steps back at " << i;
    for (size_t i = 1; i < scan.pcr.size(); i++)
        EXPECT_GT((int32_t)(scan.pcr[i] - scan.pcr[i - 1]), 0) << "PCR steps back at " << i;
    int flagged = 0;
    for (bool d : scan.pcr_discontinuity)
        flagged += d;
    EXPECT_EQ(flagged, 1);
    EXPECT_FALSE(scan.pcr_discontinuity.front());
}

TEST(ConsumerWithProducer, QuickReattachGoesPastTheAudioEndMarker)
{
    FakeProducer *fp = fakeproducer_start();
    ASSERT_NE(fp, nullptr);
    StreamState first{};
    stream_state_attach(VIDEO_STREAM1, StreamMode_H264_AAC_TS, &first);
    TsScan a;
    for (int i = 0; i < 60 && a.audio_pes == 0; i++)
        read_ts(&first, 1, &a);
    ASSERT_GT(a.audio_pes, 0);
    // The next client comes before the producers have put their end markers.
    stream_state_detach(&first);
    StreamState second{};
    stream_state_attach(VIDEO_STREAM1, StreamMode_H264_AAC_TS, &second);
    TsScan early, late;
    read_ts(&second, 40, &early);   // through the first keyframe of the new start
    read_ts(&second, 20, &late);
    stream_state_detach(&second);
    int starts = fakeproducer_starts(fp, AAC_STREAM);
    fakeproducer_stop(fp);
    EXPECT_GE(starts, 2);
    EXPECT_GT(late.audio_pes, 10) << "no audio after the re-attach";
}
