// The stream device source over a real queue: NAL splitting, presentation times across a
// clock wrap, transport-stream units carried between frames, PCM byte order, ADTS removal.
#include <gtest/gtest.h>

#include <vector>

#include "core/param.h"
#include "stream_testutil.h"
#include "streaming/rtp_sinks.h"
#include "streaming/stream_source.h"
#include "streams/stream_mode.h"

namespace {

struct Delivery {
    std::vector<uint8_t> data;
    struct timeval pt;
};

// Pulls units from a source the way a sink does, one request at a time.
struct Puller {
    BasicTaskScheduler *sched = BasicTaskScheduler::createNew(10000);
    UsageEnvironment *env = BasicUsageEnvironment::createNew(*sched);
    FramedSource *source = nullptr;
    std::vector<uint8_t> buf = std::vector<uint8_t>(100000);
    std::vector<Delivery> got;
    unsigned maxSize = 100000;
    bool closed = false;

    ~Puller()
    {
        Medium::close(source);
        env->reclaim();
        delete sched;
    }
    static void after(void *p, unsigned size, unsigned, struct timeval pt, unsigned)
    {
        Puller *self = static_cast<Puller *>(p);
        self->got.push_back(Delivery{std::vector<uint8_t>(self->buf.begin(), self->buf.begin() + size), pt});
    }
    static void onClose(void *p) { static_cast<Puller *>(p)->closed = true; }
    void request() { source->getNextFrame(buf.data(), maxSize, after, this, onClose, this); }
    // Requests and steps the loop until n units came or 2 s passed.
    bool pull(size_t n)
    {
        int64_t end = rtsp_monotonic_us() + 2000000;
        while (got.size() < n && !closed && rtsp_monotonic_us() < end) {
            if (!source->isCurrentlyAwaitingData())
                request();
            sched->SingleStep(1000);
        }
        return got.size() >= n;
    }
    // Steps for a while and says whether anything came.
    bool quiet(int ms = 100)
    {
        size_t before = got.size();
        int64_t end = rtsp_monotonic_us() + ms * 1000;
        while (rtsp_monotonic_us() < end) {
            if (!source->isCurrentlyAwaitingData())
                request();
            sched->SingleStep(1000);
        }
        return got.size() == before;
    }
};

const uint8_t SPS[] = {0, 0, 0, 1, 0x67, 0x64, 0x00, 0x28, 0xac};
const uint8_t PPS[] = {0, 0, 0, 1, 0x68, 0xee, 0x3c, 0x80};
const uint8_t IDR[] = {0, 0, 0, 1, 0x65, 0x88, 0x84, 0x00, 0x00, 0x00, 0x01, 0x21};   // a start code inside a slice stays

std::vector<uint8_t> cat(std::initializer_list<std::pair<const uint8_t *, size_t>> parts)
{
    std::vector<uint8_t> v;
    for (auto &p : parts)
        v.insert(v.end(), p.first, p.first + p.second);
    return v;
}

int64_t us(const struct timeval &t) { return (int64_t)t.tv_sec * 1000000 + t.tv_usec; }

} // namespace

TEST(StreamSource, KeyframeSplitsIntoNalUnitsWithOnePresentationTime)
{
    TestQueue q(VIDEO_STREAM1, 65536, 16);
    Puller p;
    p.source = StreamDeviceSource::createNew(*p.env, VIDEO_STREAM1, StreamMode_H264_ES, rtp_video_h264);
    std::vector<uint8_t> f = cat({{SPS, sizeof SPS}, {PPS, sizeof PPS}, {IDR, sizeof IDR}});
    ASSERT_EQ(q.put((uint32_t)f.size(), 1000, RB_FLAG_KEYFRAME, 0, f.data()), 0);
    ASSERT_TRUE(p.pull(3));
    EXPECT_EQ(p.got[0].data, std::vector<uint8_t>(SPS + 4, SPS + sizeof SPS));
    EXPECT_EQ(p.got[1].data, std::vector<uint8_t>(PPS + 4, PPS + sizeof PPS));
    EXPECT_EQ(p.got[2].data, std::vector<uint8_t>(IDR + 4, IDR + sizeof IDR));
    EXPECT_EQ(us(p.got[0].pt), us(p.got[2].pt));
    EXPECT_EQ(us(p.got[1].pt), us(p.got[2].pt));
}

TEST(StreamSource, ClockWrapAdvancesByTheSmallDifference)
{
    TestQueue q(VIDEO_STREAM1, 65536, 16);
    Puller p;
    p.source = StreamDeviceSource::createNew(*p.env, VIDEO_STREAM1, StreamMode_H264_ES, rtp_video_h264);
    ASSERT_EQ(q.put(sizeof IDR, 0xFFFFFF00u, RB_FLAG_KEYFRAME, 0, IDR), 0);
    ASSERT_TRUE(p.pull(1));
    ASSERT_EQ(q.put(sizeof IDR, 0x00000100u, 0, 0, IDR), 0);
    ASSERT_TRUE(p.pull(2));
    EXPECT_NEAR(us(p.got[1].pt) - us(p.got[0].pt), 0x200 * 100 / 9, 1);   // microseconds truncate
    // A frame stamped before the previous one keeps the previous time.
    ASSERT_EQ(q.put(sizeof IDR, 0x00000080u, 0, 0, IDR), 0);
    ASSERT_TRUE(p.pull(3));
    EXPECT_EQ(us(p.got[2].pt), us(p.got[1].pt));
}

TEST(StreamSource, NonH264DataEndsTheStream)
{
    TestQueue q(VIDEO_STREAM1, 65536, 16);
    Puller p;
    p.source = StreamDeviceSource::createNew(*p.env, VIDEO_STREAM1, StreamMode_H264_ES, rtp_video_h264);
    const uint8_t jpeg[] = {0xff, 0xd8, 0xff, 0xe0, 1, 2, 3};
    ASSERT_EQ(q.put(sizeof jpeg, 1000, RB_FLAG_KEYFRAME, 0, jpeg), 0);
    p.pull(1);
    EXPECT_TRUE(p.closed);
    EXPECT_TRUE(p.got.empty());
}

TEST(StreamSource, TransportBytesCarriedOverIntoTheNextUnit)
{
    TestQueue q(VIDEO_STREAM1, 65536, 16);
    Puller p;
    p.source = StreamDeviceSource::createNew(*p.env, VIDEO_STREAM1, StreamMode_H264_TS, rtp_transport);
    std::vector<uint8_t> a(400), b(2000);
    for (size_t i = 0; i < a.size(); i++)
        a[i] = (uint8_t)(i * 7);
    for (size_t i = 0; i < b.size(); i++)
        b[i] = (uint8_t)(i * 13 + 1);
    a[0] = b[0] = 0x47;
    ASSERT_EQ(q.put((uint32_t)a.size(), 1000, RB_FLAG_KEYFRAME | RB_FLAG_PASSTHROUGH, 0, a.data()), 0);
    EXPECT_TRUE(p.quiet()) << "a 400-byte frame alone makes no unit";
    // The library's buffer moves between requests: the carried bytes must not live there.
    p.buf.assign(p.buf.size(), 0xEE);
    ASSERT_EQ(q.put((uint32_t)b.size(), 4000, RB_FLAG_PASSTHROUGH, 0, b.data()), 0);
    ASSERT_TRUE(p.pull(1));
    std::vector<uint8_t> want(a);
    want.insert(want.end(), b.begin(), b.begin() + 916);
    EXPECT_EQ(p.got[0].data, want);
    EXPECT_TRUE(p.quiet()) << "the last 1084 bytes wait for more";
    std::vector<uint8_t> c(300, 0x47);
    ASSERT_EQ(q.put((uint32_t)c.size(), 7000, RB_FLAG_PASSTHROUGH, 0, c.data()), 0);
    ASSERT_TRUE(p.pull(2));
    std::vector<uint8_t> want2(b.begin() + 916, b.end());
    want2.insert(want2.end(), c.begin(), c.begin() + 232);
    EXPECT_EQ(p.got[1].data, want2);
}

TEST(StreamSource, PcmSamplesSwappedToNetworkOrder)
{
    TestQueue q(PCM_STREAM, 65536, 16);
    Puller p;
    p.source = StreamDeviceSource::createNew(*p.env, PCM_STREAM, StreamMode_Audio_PCM, rtp_audio_pcm);
    const uint8_t pcm[] = {0x01, 0x02, 0x03, 0x04, 0x05};
    ASSERT_EQ(q.put(sizeof pcm, 1000, 0, 0, pcm), 0);
    ASSERT_TRUE(p.pull(1));
    EXPECT_EQ(p.got[0].data, (std::vector<uint8_t>{0x02, 0x01, 0x04, 0x03}));
}

TEST(StreamSource, AacLosesItsAdtsHeader)
{
    TestQueue q(AAC_STREAM, 65536, 16);
    Puller p;
    p.source = StreamDeviceSource::createNew(*p.env, AAC_STREAM, StreamMode_Audio_AAC, rtp_audio_aac);
    const uint8_t adts[] = {0xff, 0xf1, 0x4c, 0x80, 0x01, 0x3f, 0xfc, 0xaa, 0xbb};
    ASSERT_EQ(q.put(sizeof adts, 1000, 0, 0, adts), 0);
    ASSERT_TRUE(p.pull(1));
    EXPECT_EQ(p.got[0].data, (std::vector<uint8_t>{0xaa, 0xbb}));
}

TEST(StreamSource, EverySourceHasItsOwnCursor)
{
    TestQueue q(VIDEO_STREAM1, 65536, 16);
    Puller a, b;
    a.source = StreamDeviceSource::createNew(*a.env, VIDEO_STREAM1, StreamMode_H264_ES, rtp_video_h264);
    b.source = StreamDeviceSource::createNew(*b.env, VIDEO_STREAM1, StreamMode_H264_ES, rtp_video_h264);
    ASSERT_EQ(q.put(sizeof IDR, 1000, RB_FLAG_KEYFRAME, 0, IDR), 0);
    EXPECT_TRUE(a.pull(1));
    EXPECT_TRUE(b.pull(1));
    Medium::close(b.source);
    b.source = StreamDeviceSource::createNew(*b.env, VIDEO_STREAM1, StreamMode_H264_ES, rtp_video_h264);
    ASSERT_EQ(q.put(sizeof IDR, 4000, 0, 0, IDR), 0);
    EXPECT_TRUE(a.pull(2)) << "closing one source leaves the other's callback in place";
}

TEST(StreamSource, JpegChannelSwitchesToH264WithoutHoldingTheLoop)
{
    TestQueue q(VIDEO_STREAM1, 65536, 16);
    ParamBlock *params = get_param_block();
    int saved = stream_mode_setting(params, 0);
    stream_mode_setting_set(params, 0, StreamMode_JPEG);
    stream_set_state_by_id(VIDEO_STREAM1, 1);   // the JPEG producer still runs
    Puller p;
    StreamDeviceSource *s = StreamDeviceSource::createNew(*p.env, VIDEO_STREAM1, StreamMode_H264_ES, rtp_video_h264);
    p.source = s;
    EXPECT_EQ(stream_mode_setting(params, 0), StreamMode_H264_ES);
    EXPECT_FALSE(s->attached()) << "the source waits for the old producer in the loop, not in the constructor";
    EXPECT_EQ(stream_users_by_id(VIDEO_STREAM1), 0);
    // The old producer stops; the source attaches and delivers what comes next.
    stream_set_state_by_id(VIDEO_STREAM1, 0);
    p.request();
    int64_t end = rtsp_monotonic_us() + 5000000;
    while (!s->attached() && rtsp_monotonic_us() < end)
        p.sched->SingleStep(10000);
    ASSERT_TRUE(s->attached());
    ASSERT_EQ(q.put(sizeof IDR, 1000, RB_FLAG_KEYFRAME, 0, IDR), 0);
    EXPECT_TRUE(p.pull(1));
    stream_mode_setting_set(params, 0, saved);
}

TEST(StreamSource, JpegChannelGoesBackToJpegWhenItsLastRtpSourceEnds)
{
    TestQueue q(VIDEO_STREAM1, 65536, 16);
    ParamBlock *params = get_param_block();
    int saved = stream_mode_setting(params, 0);
    stream_mode_setting_set(params, 0, StreamMode_JPEG);
    {
        Puller a, b;
        a.source = StreamDeviceSource::createNew(*a.env, VIDEO_STREAM1, StreamMode_H264_ES, rtp_video_h264);
        b.source = StreamDeviceSource::createNew(*b.env, VIDEO_STREAM1, StreamMode_H264_AAC_TS, rtp_transport);
        EXPECT_EQ(stream_mode_setting(params, 0), StreamMode_H264_ES);
        Medium::close(a.source);
        a.source = nullptr;
        EXPECT_EQ(stream_mode_setting(params, 0), StreamMode_H264_ES) << "the transport stream still needs H.264";
    }
    EXPECT_EQ(stream_mode_setting(params, 0), StreamMode_JPEG);
    // A mode chosen while the loan ran is the one that stays.
    {
        Puller a;
        a.source = StreamDeviceSource::createNew(*a.env, VIDEO_STREAM1, StreamMode_H264_ES, rtp_video_h264);
        stream_mode_setting_set(params, 0, StreamMode_MPEG4_ES);
    }
    EXPECT_EQ(stream_mode_setting(params, 0), StreamMode_MPEG4_ES);
    stream_mode_setting_set(params, 0, saved);
}

TEST(StreamSource, PcmTimestampsRiseByTheSamplesCarriedWhateverTheStamps)
{
    TestQueue q(PCM_STREAM, 1 << 20, 64);
    Puller p;
    p.source = StreamDeviceSource::createNew(*p.env, PCM_STREAM, StreamMode_Audio_PCM, rtp_audio_pcm);
    // 1024 stereo samples a frame (1920 ticks at 90 kHz), stamped with up to 6 ms of jitter.
    std::vector<uint8_t> frame(1024 * 4, 0x11);
    const int jitter[] = {0, 540, -300, 90, -540, 270, 0, -90, 450, -450};
    const int n = 10;
    for (int i = 0; i < n; i++)
        ASSERT_EQ(q.put(frame.size(), 100000 + (uint32_t)(i * 1920 + jitter[i]), 0, 0, frame.data()), 0);
    ASSERT_TRUE(p.pull(n));
    // What the sink turns into the RTP timestamp: the presentation time on a 48 kHz clock.
    auto rtp = [](const struct timeval &t) {
        return (uint64_t)t.tv_sec * 48000 + ((uint64_t)t.tv_usec * 48000 + 500000) / 1000000;
    };
    for (int i = 1; i < n; i++)
        EXPECT_EQ(rtp(p.got[i].pt) - rtp(p.got[i - 1].pt), 1024u) << "frame " << i;
}

TEST(StreamSource, PcmTimestampsJumpOverSoundTheCardDropped)
{
    TestQueue q(PCM_STREAM, 1 << 20, 64);
    Puller p;
    p.source = StreamDeviceSource::createNew(*p.env, PCM_STREAM, StreamMode_Audio_PCM, rtp_audio_pcm);
    // An overrun: the entries follow one another, but the stamps say 0.4 s of sound (19200
    // samples, less than the card's buffer could ever hold back) was lost before frame 3.
    std::vector<uint8_t> frame(1024 * 4, 0x11);
    const uint32_t stamps[] = {100000, 101920, 103840, 105760 + 36000, 107680 + 36000, 109600 + 36000};
    for (uint32_t s : stamps)
        ASSERT_EQ(q.put(frame.size(), s, 0, 0, frame.data()), 0);
    ASSERT_TRUE(p.pull(6));
    auto rtp = [](const struct timeval &t) {
        return (uint64_t)t.tv_sec * 48000 + ((uint64_t)t.tv_usec * 48000 + 500000) / 1000000;
    };
    const uint64_t rises[] = {1024, 1024, 1024 + 19200, 1024, 1024};
    for (int i = 1; i < 6; i++)
        EXPECT_EQ(rtp(p.got[i].pt) - rtp(p.got[i - 1].pt), rises[i - 1]) << "frame " << i;
}

namespace {
int64_t source_clock_ms = 5000000;
int64_t source_clock() { return source_clock_ms; }
}

// A source made for a client ends charged to that client, whichever thread or task ends it: a
// flood of anonymous DESCRIBEs can't wash the log with the ends of its sources.
TEST(StreamSource, EndIsChargedToTheClientItWasMadeFor)
{
    TestQueue q(VIDEO_STREAM1, 65536, 16);
    log_set_clock(source_clock);
    log_ring_reset();
    Puller p;
    LogOrigin system = log_origin_swap(log_origin_client(nullptr, false));
    p.source = StreamDeviceSource::createNew(*p.env, VIDEO_STREAM1, StreamMode_H264_ES, rtp_video_h264);
    for (int i = 0; i < LOG_ORIGIN_BURST + LOG_ORIGIN_WINDOW_LINES; i++) {   // the client's budget is spent
        if (i % LOG_ORIGIN_WINDOW_LINES == 0)
            source_clock_ms += LOG_ORIGIN_WINDOW_MS;
        log_printf("anonymous line %d\n", i);
    }
    log_origin_swap(system);
    Medium::close(p.source);
    p.source = nullptr;
    log_printf("a line of the system\n");
    std::vector<char> buf(LOG_RING_SIZE);
    std::string s(buf.data(), log_ring_read(log_ring_tail(), buf.data(), (uint32_t)buf.size()));
    log_set_clock(nullptr);
    EXPECT_NE(s.find("StreamDeviceSource : IDX 0"), std::string::npos) << "made within the budget";
    EXPECT_EQ(s.find("~StreamDeviceSource"), std::string::npos) << "its end is the client's";
    EXPECT_EQ(s.find("stream detached"), std::string::npos);
    EXPECT_NE(s.find("a line of the system"), std::string::npos);
}
