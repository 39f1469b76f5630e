// The RTSP/RTP library: scheduler, request parsing, RTP packetisation and the server's answers
// to good and bad clients. Server tests run the event loop on the test's own thread and step it
// while the test plays the client over loopback.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <arpa/inet.h>
#include <csignal>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <poll.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern "C" {
#include <libavutil/md5.h>
}

#include "core/evict.h"
#include "core/log.h"
#include "rtsp/liveMedia.h"

namespace {

// A UDP socket on loopback at `port` (0: any), its port in *bound; -1 when it cannot bind.
int loopback_udp(unsigned port, unsigned *bound)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons((uint16_t)port);
    socklen_t len = sizeof a;
    if (fd < 0 || bind(fd, (struct sockaddr *)&a, sizeof a) != 0 || getsockname(fd, (struct sockaddr *)&a, &len) != 0) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    *bound = ntohs(a.sin_port);
    return fd;
}

struct Loop {
    BasicTaskScheduler *sched = BasicTaskScheduler::createNew(10000);
    UsageEnvironment *env = BasicUsageEnvironment::createNew(*sched);
    ~Loop()
    {
        env->reclaim();
        delete sched;
    }
    // Steps the loop until cond() holds or the time (ms) is up.
    template <class F> bool stepUntil(F cond, int ms = 3000)
    {
        int64_t end = rtsp_monotonic_us() + (int64_t)ms * 1000;
        while (!cond()) {
            if (rtsp_monotonic_us() > end)
                return false;
            sched->SingleStep(1000);
        }
        return true;
    }
};

// ---- scheduler ----

TEST(RtspScheduler, DelayedTasksRunInDueOrderAndUnscheduledOnesNever)
{
    Loop l;
    std::vector<int> order;
    static std::vector<int> *o;
    o = &order;
    auto add = [](void *p) { o->push_back((int)(intptr_t)p); };
    l.sched->scheduleDelayedTask(200000, add, (void *)3);
    l.sched->scheduleDelayedTask(0, add, (void *)1);
    TaskToken t = l.sched->scheduleDelayedTask(10000, add, (void *)99);
    l.sched->scheduleDelayedTask(20000, add, (void *)2);
    l.sched->unscheduleDelayedTask(t);
    EXPECT_EQ(t, nullptr);
    ASSERT_TRUE(l.stepUntil([&] { return order.size() >= 3; }));
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(RtspScheduler, TriggerFiredFromAnotherThreadRunsWithLatestDataAndMergesRepeats)
{
    Loop l;
    static std::atomic<int> runs;
    static std::atomic<intptr_t> last;
    runs = 0, last = 0;
    EventTriggerId id = l.sched->createEventTrigger([](void *p) {
        runs++;
        last = (intptr_t)p;
    });
    ASSERT_NE(id, 0u);
    std::thread producer([&] {
        for (intptr_t i = 1; i <= 1000; i++)
            l.sched->triggerEvent(id, (void *)i);
    });
    producer.join();
    ASSERT_TRUE(l.stepUntil([&] { return last.load() == 1000; }));
    EXPECT_GE(runs.load(), 1);
    EXPECT_LT(runs.load(), 1000);   // firings before the loop ran were merged
    l.sched->deleteEventTrigger(id);
    l.sched->triggerEvent(id, (void *)5);   // a deleted trigger is ignored
    l.sched->SingleStep(1000);
    EXPECT_EQ(last.load(), 1000);
}

TEST(RtspScheduler, NestedLoopEndsOnItsOwnWatchVariableWhileOuterContinues)
{
    Loop l;
    static volatile uint8_t outer, inner;
    static BasicTaskScheduler *s;
    outer = 0;
    inner = 0;
    s = l.sched;
    l.sched->scheduleDelayedTask(0, [](void *) {
        s->scheduleDelayedTask(5000, [](void *) { inner = (uint8_t)1; }, nullptr);
        s->doEventLoop(&inner);   // nested, as a DESCRIBE that probes its source does
        outer = (uint8_t)1;
    }, nullptr);
    l.sched->doEventLoop(&outer);
    EXPECT_EQ(inner, 1);
}

// ---- request parsing ----

TEST(RtspParser, ParsesRequestLineHeadersAndBody)
{
    const char *r = "SETUP rtsp://h:8554/streamA.h264/track1 RTSP/1.0\r\nCSeq: 7\r\nsession: ABC;timeout=60\r\n"
                    "Transport: RTP/AVP;unicast;client_port=5000-5001\r\nContent-Length: 3\r\n\r\nxyzNEXT";
    RTSPRequest q;
    ASSERT_EQ(rtsp_parse_request(r, strlen(r), q), RTSP_PARSE_OK);
    EXPECT_EQ(q.method, "SETUP");
    EXPECT_EQ(q.cseq, "7");
    EXPECT_EQ(q.session, "ABC");
    EXPECT_EQ(q.totalSize, strlen(r) - 4);
    EXPECT_EQ(rtsp_url_path(q.url), "streamA.h264/track1");
    EXPECT_EQ(rtsp_parse_request(r, strlen(r) - 6, q), RTSP_PARSE_INCOMPLETE);   // body not all there
    const char *lf = "OPTIONS * RTSP/1.0\nCSeq: 1\n\n";
    EXPECT_EQ(rtsp_parse_request(lf, strlen(lf), q), RTSP_PARSE_OK);
}

TEST(RtspParser, RefusesGarbageOversizeAndFlagsMissingCSeq)
{
    RTSPRequest q;
    const char *g = "\x16\x03\x01 hello\r\n\r\n";
    EXPECT_EQ(rtsp_parse_request(g, strlen(g), q), RTSP_PARSE_BAD);
    const char *noVersion = "GET /\r\n\r\n";
    EXPECT_EQ(rtsp_parse_request(noVersion, strlen(noVersion), q), RTSP_PARSE_BAD);
    std::string big = "OPTIONS * RTSP/1.0\r\nX: " + std::string(RTSP_MAX_REQUEST_SIZE, 'a');
    EXPECT_EQ(rtsp_parse_request(big.data(), big.size(), q), RTSP_PARSE_TOO_BIG);
    std::string bigBody = "OPTIONS * RTSP/1.0\r\nCSeq: 1\r\nContent-Length: 999999\r\n\r\n";
    EXPECT_EQ(rtsp_parse_request(bigBody.data(), bigBody.size(), q), RTSP_PARSE_TOO_BIG);
    const char *noCSeq = "OPTIONS * RTSP/1.0\r\n\r\n";
    ASSERT_EQ(rtsp_parse_request(noCSeq, strlen(noCSeq), q), RTSP_PARSE_OK);
    EXPECT_FALSE(q.hasCSeq);
}

TEST(RtspParser, TransportAlternativesAndRefusals)
{
    RTSPTransport t;
    ASSERT_TRUE(rtsp_parse_transport("RTP/AVP/TCP;unicast;interleaved=4-5", t));
    EXPECT_TRUE(t.tcp);
    EXPECT_EQ(t.rtpChannel, 4);
    EXPECT_EQ(t.rtcpChannel, 5);
    ASSERT_TRUE(rtsp_parse_transport("RAW/RAW/UDP;unicast, RTP/AVP;unicast;client_port=6000-6001", t));
    EXPECT_FALSE(t.tcp);
    EXPECT_EQ(t.clientRTPPort, 6000);
    EXPECT_EQ(t.clientRTCPPort, 6001);
    EXPECT_FALSE(rtsp_parse_transport("RTP/AVP;unicast", t));   // UDP without ports
    EXPECT_FALSE(rtsp_parse_transport("RTP/AVP;client_port=70000-70001", t));
    EXPECT_FALSE(rtsp_parse_transport("", t));
}

TEST(RtspParser, DigestParameters)
{
    std::map<std::string, std::string> p;
    ASSERT_TRUE(rtsp_parse_digest("Digest username=\"u\", realm=\"r x\",nonce=abc, uri=\"rtsp://h/s\", response=\"00\"", p));
    EXPECT_EQ(p["username"], "u");
    EXPECT_EQ(p["realm"], "r x");
    EXPECT_EQ(p["nonce"], "abc");
    EXPECT_FALSE(rtsp_parse_digest("Basic dXNlcjpwYXNz", p));
    EXPECT_FALSE(rtsp_parse_digest("Digest username=\"unterminated", p));
}

TEST(RtspParser, DigestUriMustNameTheRequestOrItsAggregate)
{
    const std::string a = "rtsp://10.0.0.5:8554/streamA.h264";
    EXPECT_TRUE(rtsp_digest_uri_matches(a, a));
    EXPECT_TRUE(rtsp_digest_uri_matches("/streamA.h264", a)) << "a path-only uri names the same stream";
    EXPECT_TRUE(rtsp_digest_uri_matches(a + "/", a));
    EXPECT_TRUE(rtsp_digest_uri_matches(a, a + "/track1")) << "aggregate uri for a track's SETUP";
    EXPECT_TRUE(rtsp_digest_uri_matches(a + "/track2", a)) << "track uri for the aggregate";
    EXPECT_FALSE(rtsp_digest_uri_matches("rtsp://10.0.0.5:8554/streamB.h264", a));
    EXPECT_FALSE(rtsp_digest_uri_matches(a, "rtsp://10.0.0.5:8554/streamA.h264_aac"));
    EXPECT_FALSE(rtsp_digest_uri_matches(a + "/x", a)) << "only a track is an aggregate's child";
    EXPECT_FALSE(rtsp_digest_uri_matches("", a));
}

// ---- RTP packetisation ----

// Receives what a sink sends, as an interleaved client would.
struct Capture : RTPStreamConnection {
    std::vector<std::vector<uint8_t>> packets;
    bool sendInterleaved(uint8_t, const uint8_t *data, unsigned size) override
    {
        packets.emplace_back(data, data + size);
        return true;
    }
};

// Hands out queued units, each with its presentation time, one per request.
class QueueSource : public FramedSource {
public:
    struct Unit {
        std::vector<uint8_t> data;
        struct timeval pt;
    };
    std::deque<Unit> units;
    explicit QueueSource(UsageEnvironment &env) : FramedSource(env) {}
    ~QueueSource() override {}

protected:
    void doGetNextFrame() override
    {
        if (units.empty()) {
            handleClosure();
            return;
        }
        Unit u = units.front();
        units.pop_front();
        fFrameSize = std::min<unsigned>((unsigned)u.data.size(), fMaxSize);
        fNumTruncatedBytes = (unsigned)u.data.size() - fFrameSize;
        memcpy(fTo, u.data.data(), fFrameSize);
        fPresentationTime = u.pt;
        afterGetting(this);
    }
};

struct Rtp {
    bool marker;
    uint8_t pt;
    uint16_t seq;
    uint32_t ts;
    std::vector<uint8_t> payload;
};

Rtp parse_rtp(const std::vector<uint8_t> &p)
{
    Rtp r;
    EXPECT_GE(p.size(), 12u);
    EXPECT_EQ(p[0], 0x80);
    r.marker = p[1] & 0x80;
    r.pt = p[1] & 0x7f;
    r.seq = (uint16_t)(p[2] << 8 | p[3]);
    r.ts = (uint32_t)p[4] << 24 | p[5] << 16 | p[6] << 8 | p[7];
    r.payload.assign(p.begin() + 12, p.end());
    return r;
}

std::vector<uint8_t> nal(uint8_t header, size_t size)
{
    std::vector<uint8_t> v(size);
    v[0] = header;
    for (size_t i = 1; i < size; i++)
        v[i] = (uint8_t)(i * 7 + header);
    return v;
}

static bool g_ended;

TEST(RtspH264, PacketsStayWithinMaximumAndFUAFragmentsReassembleWithMarkerOnPictureEnd)
{
    Loop l;
    OutPacketBuffer::maxSize = 1000000;
    QueueSource *src = new QueueSource(*l.env);
    std::vector<std::vector<uint8_t>> nals = {nal(0x67, 12), nal(0x68, 4), nal(0x65, 5000), nal(0x41, 150), nal(0x41, 188)};
    struct timeval t0 = {1000, 0}, t1 = {1000, 40000}, t2 = {1000, 80000};
    struct timeval pts[] = {t0, t0, t0, t1, t2};
    for (size_t i = 0; i < nals.size(); i++) {
        std::vector<uint8_t> withStartCode = {0, 0, 0, 1};   // the framer drops it
        withStartCode.insert(withStartCode.end(), nals[i].begin(), nals[i].end());
        src->units.push_back({i == 0 ? withStartCode : nals[i], pts[i]});
    }
    H264VideoStreamDiscreteFramer *framer = H264VideoStreamDiscreteFramer::createNew(*l.env, src);
    ASSERT_NE(framer, nullptr);
    EXPECT_EQ(H264VideoStreamDiscreteFramer::createNew(*l.env, src, true), nullptr);
    H264VideoRTPSink *sink = H264VideoRTPSink::createNew(*l.env, nullptr, 96);
    sink->setPacketSizes(200, 200);
    Capture cap;
    sink->addStreamSocket(&cap, 0);
    g_ended = false;
    ASSERT_TRUE(sink->startPlaying(*framer, [](void *) { g_ended = true; }, nullptr));
    ASSERT_TRUE(l.stepUntil([] { return g_ended; }));

    std::vector<std::vector<uint8_t>> got;
    std::vector<uint32_t> gotTs;
    std::vector<uint8_t> fu;
    uint16_t seq = 0;
    for (size_t i = 0; i < cap.packets.size(); i++) {
        EXPECT_LE(cap.packets[i].size(), 200u);
        Rtp r = parse_rtp(cap.packets[i]);
        EXPECT_EQ(r.pt, 96);
        if (i > 0) {
            EXPECT_EQ(r.seq, (uint16_t)(seq + 1));
        }
        seq = r.seq;
        uint8_t type = r.payload[0] & 0x1f;
        bool nalEnds;
        if (type == 28) {
            uint8_t fuh = r.payload[1];
            if (fuh & 0x80)
                fu.assign(1, (uint8_t)((r.payload[0] & 0xe0) | (fuh & 0x1f)));
            fu.insert(fu.end(), r.payload.begin() + 2, r.payload.end());
            nalEnds = fuh & 0x40;
            if (nalEnds) {
                got.push_back(fu);
                gotTs.push_back(r.ts);
            }
        } else {
            got.push_back(r.payload);
            gotTs.push_back(r.ts);
            nalEnds = true;
        }
        uint8_t nalType = type == 28 ? (r.payload[1] & 0x1f) : type;
        EXPECT_EQ(r.marker, nalEnds && nalType >= 1 && nalType <= 5) << "packet " << i;
    }
    ASSERT_EQ(got, nals);
    EXPECT_EQ(gotTs[0], gotTs[2]);             // one picture, one timestamp
    EXPECT_EQ(gotTs[3] - gotTs[2], 3600u);     // 40 ms at 90 kHz
    EXPECT_EQ(gotTs[4] - gotTs[3], 3600u);

    const char *fmtp = sink->auxSDPLine();
    ASSERT_NE(fmtp, nullptr);
    EXPECT_NE(strstr(fmtp, "packetization-mode=1"), nullptr);
    char pli[32];
    snprintf(pli, sizeof pli, "profile-level-id=%02X%02X%02X;", nals[0][1], nals[0][2], nals[0][3]);
    EXPECT_NE(strstr(fmtp, pli), nullptr) << fmtp;
    EXPECT_NE(strstr(fmtp, "sprop-parameter-sets="), nullptr);
    Medium::close(sink);
    Medium::close(framer);
}

// Units as a live source hands them out: a unit marked `wait` comes a little later, as after
// the producer's next append, so the sink's pass ends there and the frame goes out.
class LiveQueueSource : public FramedSource {
public:
    struct Unit {
        std::vector<uint8_t> data;
        struct timeval pt;
        bool wait;
    };
    std::deque<Unit> units;
    explicit LiveQueueSource(UsageEnvironment &env) : FramedSource(env) {}
    ~LiveQueueSource() override { envir().taskScheduler().unscheduleDelayedTask(fTask); }

protected:
    void doGetNextFrame() override
    {
        if (units.empty()) {
            handleClosure();
            return;
        }
        if (units.front().wait) {
            units.front().wait = false;
            fTask = envir().taskScheduler().scheduleDelayedTask(2000, deliver0, this);
            return;
        }
        deliver();
    }

private:
    static void deliver0(void *c)
    {
        static_cast<LiveQueueSource *>(c)->fTask = nullptr;
        static_cast<LiveQueueSource *>(c)->deliver();
    }
    void deliver()
    {
        Unit u = units.front();
        units.pop_front();
        fFrameSize = std::min<unsigned>((unsigned)u.data.size(), fMaxSize);
        fNumTruncatedBytes = 0;
        memcpy(fTo, u.data.data(), fFrameSize);
        fPresentationTime = u.pt;
        afterGetting(this);
    }
    TaskToken fTask = nullptr;
};

// An interleaved client that takes what it is given, or one stuck far behind.
struct BatchCapture : RTPStreamConnection {
    std::vector<std::vector<uint8_t>> packets;
    std::vector<size_t> batchStarts;   // index in packets where each batch handed over began
    int64_t stuckUs = 0;
    unsigned drops = 0;
    bool sendInterleaved(uint8_t, const uint8_t *data, unsigned size) override
    {
        packets.emplace_back(data, data + size);
        return true;
    }
    bool sendBatch(uint8_t ch, const RTPPacketBatchRef &b, unsigned first, unsigned end) override
    {
        batchStarts.push_back(packets.size());
        return RTPStreamConnection::sendBatch(ch, b, first, end);
    }
    int64_t backlogAgeUs(int64_t) const override { return stuckUs; }
    unsigned dropBacklog(uint8_t) override
    {
        drops++;
        return 3;
    }
};

// The first NAL type a packet carries (an FU-A start counts as its NAL), 0 for an FU-A middle.
unsigned first_nal(const std::vector<uint8_t> &p)
{
    unsigned t = p[12] & 0x1f;
    if (t != 28)
        return t;
    return (p[13] & 0x80) ? (p[13] & 0x1f) : 0;
}

TEST(RtspFanout, JoinersStartAtAnSPSAndALaggingClientSkipsToTheNextKeyframeWithoutDelayingOthers)
{
    Loop l;
    OutPacketBuffer::maxSize = 1000000;
    LiveQueueSource *src = new LiveQueueSource(*l.env);
    // P P | SPS PPS IDR | P | IDR without its parameter sets | P | SPS PPS IDR, one picture per 40 ms.
    struct { uint8_t hdr; size_t size; } seq[] = {{0x41, 300}, {0x41, 300}, {0x67, 12}, {0x68, 4}, {0x65, 3000}, {0x41, 300},
                                                  {0x65, 3000}, {0x41, 300}, {0x67, 12}, {0x68, 4}, {0x65, 3000}};
    long usec = 0;
    for (auto &u : seq) {
        bool slice = (u.hdr & 0x1f) == 1 || (u.hdr & 0x1f) == 5;
        // Each picture (parameter sets with their IDR) arrives after a wait.
        bool pictureStart = src->units.empty() || (src->units.back().data[0] & 0x1f) == 1 || (src->units.back().data[0] & 0x1f) == 5;
        src->units.push_back({nal(u.hdr, u.size), {2000, usec}, pictureStart});
        if (slice)
            usec += 40000;
    }
    H264VideoStreamDiscreteFramer *framer = H264VideoStreamDiscreteFramer::createNew(*l.env, src);
    H264VideoRTPSink *sink = H264VideoRTPSink::createNew(*l.env, nullptr, 96);
    sink->setPacketSizes(1000, 1000);
    BatchCapture all, joiner, laggard;
    laggard.stuckUs = 60 * 1000000LL;
    sink->addStreamSocket(&all, 0);
    sink->addStreamSocket(&joiner, 2, true);
    sink->addStreamSocket(&laggard, 4);
    uint32_t rtptime = sink->presetNextTimestamp();
    g_ended = false;
    ASSERT_TRUE(sink->startPlaying(*framer, [](void *) { g_ended = true; }, nullptr));
    ASSERT_TRUE(l.stepUntil([] { return g_ended; }));

    ASSERT_FALSE(all.packets.empty());
    EXPECT_EQ(parse_rtp(all.packets[0]).ts, rtptime) << "the first packet carries the RTP-Info time";
    EXPECT_EQ(sink->presetNextTimestamp(), parse_rtp(all.packets.back()).ts) << "a later joiner gets nothing earlier";
    std::vector<unsigned> types;
    for (auto &p : all.packets)
        if (first_nal(p))
            types.push_back(first_nal(p));
    // The IDR that came without its parameter sets goes out behind the cached ones.
    std::vector<unsigned> want = {1, 1, 7, 8, 5, 1, 7, 8, 5, 1, 7, 8, 5};
    EXPECT_EQ(types, want);
    // One write per picture for the client that keeps up: batches are whole pictures.
    EXPECT_EQ(all.batchStarts.size(), 7u);

    ASSERT_FALSE(joiner.packets.empty());
    EXPECT_EQ(first_nal(joiner.packets[0]), 7u) << "a joiner's first unit is the SPS";
    EXPECT_EQ(all.packets.size() - joiner.packets.size(), 2u) << "it only missed the two P pictures ahead of the first SPS";

    // The stuck client drops its backlog at every look and takes up again at each keyframe only.
    EXPECT_GE(laggard.drops, 1u);
    ASSERT_FALSE(laggard.batchStarts.empty());
    for (size_t s : laggard.batchStarts)
        EXPECT_EQ(first_nal(laggard.packets[s]), 7u) << "a skip resumes at an SPS";
    EXPECT_GE(sink->rtpInterface().lagDrops(), 1u);
    EXPECT_GT(sink->rtpInterface().lagDroppedPackets(), 0u);
    Medium::close(sink);
    Medium::close(framer);
}

// `pictures` pictures of one 1200-byte slice each, 40 ms apart, an SPS/PPS/IDR every 5th and
// the first a P picture; every picture comes as a live producer delivers it.
void queue_live_pictures(LiveQueueSource *src, int pictures)
{
    for (int i = 0; i < pictures; i++) {
        struct timeval pt = {2000, 0};
        pt.tv_sec += i / 25;
        pt.tv_usec = (i % 25) * 40000;
        if (i % 5 == 1) {
            src->units.push_back({nal(0x67, 12), pt, true});
            src->units.push_back({nal(0x68, 4), pt, false});
        }
        std::vector<uint8_t> slice = nal(i % 5 == 1 ? 0x65 : 0x41, 1200);
        slice[1] = (uint8_t)i;   // every picture's bytes differ
        src->units.push_back({slice, pt, i % 5 != 1});
    }
}

// A datagram receiver on loopback; what it got, in order.
struct UdpReceiver {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in addr = {};
    std::vector<std::vector<uint8_t>> packets;
    UdpReceiver()
    {
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int big = 4 << 20;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
        bind(fd, (struct sockaddr *)&addr, sizeof addr);
        socklen_t len = sizeof addr;
        getsockname(fd, (struct sockaddr *)&addr, &len);
    }
    ~UdpReceiver() { close(fd); }
    void drain()
    {
        uint8_t b[2048];
        ssize_t n;
        while ((n = recv(fd, b, sizeof b, MSG_DONTWAIT)) > 0)
            packets.emplace_back(b, b + n);
    }
};

TEST(RtspFanout, UdpReceiversGetEveryPacketInOrderAndAJoinerStartsAtTheSPS)
{
    Loop l;
    OutPacketBuffer::maxSize = 1000000;
    LiveQueueSource *src = new LiveQueueSource(*l.env);
    queue_live_pictures(src, 12);
    H264VideoStreamDiscreteFramer *framer = H264VideoStreamDiscreteFramer::createNew(*l.env, src);
    Groupsock gs(*l.env, Port(0));
    H264VideoRTPSink *sink = H264VideoRTPSink::createNew(*l.env, &gs, 96);
    sink->setPacketSizes(500, 500);   // several packets a picture
    UdpReceiver all, joiner;
    gs.addDestination(all.addr, 1);
    gs.addDestination(joiner.addr, 2, true);
    BatchCapture tcp;
    sink->addStreamSocket(&tcp, 0);
    g_ended = false;
    ASSERT_TRUE(sink->startPlaying(*framer, [](void *) { g_ended = true; }, nullptr));
    ASSERT_TRUE(l.stepUntil([&] {
        all.drain();
        joiner.drain();
        return g_ended && all.packets.size() >= tcp.packets.size();
    }));

    // The UDP receiver gets what the interleaved one gets, packet for packet.
    ASSERT_EQ(all.packets.size(), tcp.packets.size());
    EXPECT_EQ(all.packets, tcp.packets);
    for (size_t i = 1; i < all.packets.size(); i++)
        EXPECT_EQ(parse_rtp(all.packets[i]).seq, (uint16_t)(parse_rtp(all.packets[i - 1]).seq + 1)) << "packet " << i;
    ASSERT_FALSE(joiner.packets.empty());
    EXPECT_EQ(first_nal(joiner.packets[0]), 7u) << "a joiner's first unit is the SPS";
    // Only the leading P picture (three packets) is missing for the joiner.
    ASSERT_EQ(all.packets.size() - joiner.packets.size(), 3u);
    EXPECT_TRUE(std::equal(joiner.packets.begin(), joiner.packets.end(), all.packets.begin() + 3));
    Medium::close(sink);
    Medium::close(framer);
}

// A client that keeps every other batch it is handed, as a slow reader does, and what it held
// then; the batches it lets go of may be filled again.
struct HoldingConnection : RTPStreamConnection {
    std::vector<RTPPacketBatchRef> held;
    std::vector<std::vector<uint8_t>> snapshots;
    unsigned handed = 0;
    bool sendInterleaved(uint8_t, const uint8_t *, unsigned) override { return true; }
    bool sendBatch(uint8_t, const RTPPacketBatchRef &b, unsigned, unsigned) override
    {
        if (handed++ % 2) {
            held.push_back(b);
            snapshots.push_back(b->data);
        }
        return true;
    }
};

TEST(RtspFanout, ABatchAClientStillHoldsIsNeverFilledAgain)
{
    Loop l;
    OutPacketBuffer::maxSize = 1000000;
    LiveQueueSource *src = new LiveQueueSource(*l.env);
    queue_live_pictures(src, 60);   // far more pictures than batches kept for reuse
    H264VideoStreamDiscreteFramer *framer = H264VideoStreamDiscreteFramer::createNew(*l.env, src);
    H264VideoRTPSink *sink = H264VideoRTPSink::createNew(*l.env, nullptr, 96);
    sink->setPacketSizes(500, 500);
    HoldingConnection slow;
    BatchCapture quick;
    sink->addStreamSocket(&quick, 0);
    sink->addStreamSocket(&slow, 2);
    g_ended = false;
    ASSERT_TRUE(sink->startPlaying(*framer, [](void *) { g_ended = true; }, nullptr));
    ASSERT_TRUE(l.stepUntil([] { return g_ended; }));

    ASSERT_GE(slow.held.size(), 30u);
    for (size_t i = 0; i < slow.held.size(); i++)
        EXPECT_EQ(slow.held[i]->data, slow.snapshots[i]) << "batch " << i << " changed while held";
    // Batches held nowhere are reused: the quick client's pictures still come whole and in order.
    uint16_t seq = parse_rtp(quick.packets[0]).seq;
    for (size_t i = 1; i < quick.packets.size(); i++)
        EXPECT_EQ(parse_rtp(quick.packets[i]).seq, ++seq) << "packet " << i;
    Medium::close(sink);
    Medium::close(framer);
}

TEST(RtspAac, AdtsHeaderDroppedAndLongUnitsSplitWithWholeSizeInAUHeader)
{
    Loop l;
    QueueSource *src = new QueueSource(*l.env);
    auto adts = [](size_t payload) {
        size_t len = payload + 7;
        std::vector<uint8_t> f = {0xff, 0xf1, 0x4c, (uint8_t)(0x80 | (len >> 11)), (uint8_t)(len >> 3), (uint8_t)((len & 7) << 5 | 0x1f), 0xfc};
        for (size_t i = 0; i < payload; i++)
            f.push_back((uint8_t)(i + 1));
        return f;
    };
    src->units.push_back({adts(300), {5, 0}});
    src->units.push_back({adts(700), {5, 21333}});
    MPEG4GenericRTPSink *sink = MPEG4GenericRTPSink::createNew(*l.env, nullptr, 97, 48000, "audio", "AAC-hbr", "1190", 2);
    ASSERT_NE(sink, nullptr);
    EXPECT_EQ(MPEG4GenericRTPSink::createNew(*l.env, nullptr, 97, 48000, "audio", "CELP-cbr", "1190", 2), nullptr);
    EXPECT_NE(strstr(sink->auxSDPLine(), "mode=AAC-hbr;sizelength=13;indexlength=3;indexdeltalength=3;config=1190"), nullptr);
    sink->setPacketSizes(412, 412);
    Capture cap;
    sink->addStreamSocket(&cap, 2);
    g_ended = false;
    ASSERT_TRUE(sink->startPlaying(*src, [](void *) { g_ended = true; }, nullptr));
    ASSERT_TRUE(l.stepUntil([] { return g_ended; }));
    ASSERT_EQ(cap.packets.size(), 3u);
    Rtp a = parse_rtp(cap.packets[0]);
    EXPECT_TRUE(a.marker);
    ASSERT_EQ(a.payload.size(), 304u);
    EXPECT_EQ(a.payload[0] << 8 | a.payload[1], 16);                 // AU-headers-length in bits
    EXPECT_EQ((a.payload[2] << 8 | a.payload[3]) >> 3, 300);          // AU-size
    EXPECT_EQ(a.payload[4], 1);                                       // raw data, no ADTS header
    Rtp b = parse_rtp(cap.packets[1]), c = parse_rtp(cap.packets[2]);
    EXPECT_FALSE(b.marker);
    EXPECT_TRUE(c.marker);
    EXPECT_EQ((b.payload[2] << 8 | b.payload[3]) >> 3, 700);
    EXPECT_EQ((c.payload[2] << 8 | c.payload[3]) >> 3, 700);
    EXPECT_EQ(b.payload.size() - 4 + c.payload.size() - 4, 700u);
    EXPECT_EQ(b.ts, c.ts);
    EXPECT_EQ(b.ts - a.ts, 1024u);
    Medium::close(sink);
    Medium::close(src);
}

TEST(RtspSimpleSink, PcmFragmentsNeverSplitASampleAndShortFramesShareAPacket)
{
    Loop l;
    QueueSource *src = new QueueSource(*l.env);
    src->units.push_back({std::vector<uint8_t>(1000, 1), {1, 0}});
    src->units.push_back({std::vector<uint8_t>(40, 2), {1, 5000}});
    src->units.push_back({std::vector<uint8_t>(40, 3), {1, 5500}});
    SimpleRTPSink *sink = SimpleRTPSink::createNew(*l.env, nullptr, 96, 48000, "audio", "L16", 2);
    sink->setPacketSizes(302, 302);
    Capture cap;
    sink->addStreamSocket(&cap, 0);
    g_ended = false;
    ASSERT_TRUE(sink->startPlaying(*src, [](void *) { g_ended = true; }, nullptr));
    ASSERT_TRUE(l.stepUntil([] { return g_ended; }));
    size_t total = 0;
    for (auto &p : cap.packets) {
        EXPECT_LE(p.size(), 302u);
        EXPECT_EQ((p.size() - 12) % 4, 0u);
        total += p.size() - 12;
    }
    EXPECT_EQ(total, 1080u);
    EXPECT_EQ(cap.packets.back().size(), 12u + 80u);   // the two short frames together
    Medium::close(sink);
    Medium::close(src);
}

// ---- server ----

static const uint8_t kSPS[] = {0x67, 0x42, 0xc0, 0x1e, 0xd9, 0x00, 0xa0, 0x47, 0xfe, 0xc8};
static const uint8_t kPPS[] = {0x68, 0xce, 0x3c, 0x80};

// A live stream of generated pictures, one every 40 ms: SPS, PPS and an IDR slice, then gop - 1
// P slices.
class TickSource : public FramedSource {
public:
    TickSource(UsageEnvironment &env, unsigned gop, unsigned sliceBytes) : FramedSource(env), fGop(gop), fSliceBytes(sliceBytes)
    {
        live++;
    }
    ~TickSource() override { live--; }
    static inline int live = 0;

protected:
    void doGetNextFrame() override { nextTask() = envir().taskScheduler().scheduleDelayedTask(pictureStarts() ? 40000 : 0, tick, this); }

private:
    // The next unit begins a picture: an SPS, or a P slice.
    bool pictureStarts() const { return fInGop != 0 || fUnit == 0; }
    static void tick(void *p)
    {
        TickSource *s = static_cast<TickSource *>(p);
        s->nextTask() = nullptr;
        std::vector<uint8_t> u;
        if (s->fInGop == 0 && s->fUnit == 0)
            u.assign(kSPS, kSPS + sizeof kSPS);
        else if (s->fInGop == 0 && s->fUnit == 1)
            u.assign(kPPS, kPPS + sizeof kPPS);
        else
            u = nal(s->fInGop == 0 ? 0x65 : 0x41, s->fSliceBytes);
        if (s->fInGop == 0 && s->fUnit < 2)
            s->fUnit++;
        else {
            s->fUnit = 0;
            s->fInGop = (s->fInGop + 1) % s->fGop;
        }
        s->fFrameSize = std::min<unsigned>((unsigned)u.size(), s->fMaxSize);
        memcpy(s->fTo, u.data(), s->fFrameSize);
        gettimeofday(&s->fPresentationTime, nullptr);
        afterGetting(s);
    }
    unsigned fGop, fSliceBytes;
    unsigned fInGop = 0, fUnit = 0;
};

class TickSubsession : public OnDemandServerMediaSubsession {
public:
    TickSubsession(UsageEnvironment &env, unsigned gop, unsigned sliceBytes, bool shared = true)
        : OnDemandServerMediaSubsession(env, shared, 16970), fGop(gop), fSliceBytes(sliceBytes)
    {
    }

protected:
    FramedSource *createNewStreamSource(unsigned, unsigned &estBitrate) override
    {
        estBitrate = 800;
        return H264VideoStreamDiscreteFramer::createNew(envir(), new TickSource(envir(), fGop, fSliceBytes));
    }
    RTPSink *createNewRTPSink(Groupsock *gs, unsigned char pt, FramedSource *) override
    {
        return H264VideoRTPSink::createNew(envir(), gs, pt, kSPS, sizeof kSPS, kPPS, sizeof kPPS);
    }

private:
    unsigned fGop, fSliceBytes;
};

struct ServerFixture {
    Loop l;
    RTSPServer *server;
    ServerFixture(UserAuthenticationDatabase *db = nullptr, unsigned reclaim = 65, unsigned gop = 1, unsigned sliceBytes = 3000,
                  bool shared = true)
    {
        server = RTSPServer::createNew(*l.env, Port(0), db, reclaim);
        EXPECT_NE(server, nullptr) << l.env->getResultMsg();
        ServerMediaSession *sms = ServerMediaSession::createNew(*l.env, "live.h264", "live.h264", "test session");
        sms->addSubsession(new TickSubsession(*l.env, gop, sliceBytes, shared));
        server->addServerMediaSession(sms);
    }
    ~ServerFixture() { Medium::close(server); }

    int connect(const char *from = nullptr)
    {
        int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (from) {   // any 127.x address is the loopback's own
            struct sockaddr_in b = {};
            b.sin_family = AF_INET;
            inet_pton(AF_INET, from, &b.sin_addr);
            EXPECT_EQ(bind(s, (struct sockaddr *)&b, sizeof b), 0);
        }
        struct sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(server->port());
        EXPECT_EQ(::connect(s, (struct sockaddr *)&a, sizeof a), 0);
        l.sched->SingleStep(1000);   // accept
        return s;
    }

    // Sends text and steps the server until one whole response (skipping interleaved data) or
    // the end of the connection has arrived. "" when the connection ended with nothing.
    std::string request(int s, const std::string &text, bool *closed = nullptr, unsigned untilInterleaved = 0)
    {
        if (!text.empty()) {
            EXPECT_EQ(send(s, text.data(), text.size(), MSG_NOSIGNAL), (ssize_t)text.size());
        }
        std::string in;
        bool eof = false;
        l.stepUntil([&] {
            char b[65536];
            for (;;) {
                ssize_t n = recv(s, b, sizeof b, MSG_DONTWAIT);
                if (n == 0) {
                    eof = true;
                    return true;
                }
                if (n < 0)
                    break;
                in.append(b, (size_t)n);
            }
            while (!in.empty() && in[0] == '$') {
                if (in.size() < 4)
                    return false;
                size_t len = (uint8_t)in[2] << 8 | (uint8_t)in[3];
                if (in.size() < 4 + len)
                    return false;
                interleaved++;
                in.erase(0, 4 + len);
            }
            if (untilInterleaved && interleaved >= untilInterleaved)
                return true;
            size_t end = in.find("\r\n\r\n");
            if (end == std::string::npos)
                return false;
            size_t cl = in.find("Content-Length: ");
            size_t body = cl != std::string::npos && cl < end ? (size_t)atoi(in.c_str() + cl + 16) : 0;
            return in.size() >= end + 4 + body;
        });
        if (closed)
            *closed = eof;
        size_t end = in.find("\r\n\r\n");
        if (end == std::string::npos)
            return in;
        size_t cl = in.find("Content-Length: ");
        size_t body = cl != std::string::npos && cl < end ? (size_t)atoi(in.c_str() + cl + 16) : 0;
        return in.substr(0, std::min(in.size(), end + 4 + body));
    }

    std::string url(const std::string &path = "live.h264") { return "rtsp://127.0.0.1:" + std::to_string(server->port()) + "/" + path; }
    unsigned interleaved = 0;
};

std::string status_of(const std::string &response) { return response.substr(0, response.find("\r\n")); }

std::string header_of(const std::string &response, const std::string &name)
{
    size_t p = response.find("\r\n" + name + ": ");
    if (p == std::string::npos)
        return "";
    p += name.size() + 4;
    return response.substr(p, response.find("\r\n", p) - p);
}

std::string md5_hex_of(const std::string &t)
{
    uint8_t d[16];
    av_md5_sum(d, (const uint8_t *)t.data(), t.size());
    char h[33];
    for (int i = 0; i < 16; i++)
        snprintf(h + 2 * i, 3, "%02x", d[i]);
    return std::string(h);
}

TEST(RtspServer, BadRequestsGetProperErrorsAndTheServerCarriesOn)
{
    ServerFixture f;
    int s = f.connect();
    EXPECT_EQ(status_of(f.request(s, "OPTIONS * RTSP/1.0\r\n\r\n")), "RTSP/1.0 400 Bad Request");   // no CSeq
    std::string r = f.request(s, "OPTIONS * RTSP/1.0\r\nCSeq: 2\r\n\r\n");
    EXPECT_EQ(status_of(r), "RTSP/1.0 200 OK");
    EXPECT_EQ(header_of(r, "CSeq"), "2");
    EXPECT_EQ(status_of(f.request(s, "DESCRIBE " + f.url("none") + " RTSP/1.0\r\nCSeq: 3\r\n\r\n")), "RTSP/1.0 404 Stream Not Found");
    EXPECT_EQ(status_of(f.request(s, "PLAY " + f.url() + " RTSP/1.0\r\nCSeq: 4\r\nSession: 1234\r\n\r\n")),
              "RTSP/1.0 454 Session Not Found");
    EXPECT_EQ(status_of(f.request(s, "SETUP " + f.url() + "/track1 RTSP/1.0\r\nCSeq: 5\r\nTransport: RTP/AVP;unicast\r\n\r\n")),
              "RTSP/1.0 461 Unsupported Transport");
    EXPECT_EQ(status_of(f.request(s, "RECORD " + f.url() + " RTSP/1.0\r\nCSeq: 6\r\n\r\n")), "RTSP/1.0 501 Not Implemented");
    EXPECT_EQ(status_of(f.request(s, "OPTIONS * RTSP/2.0\r\nCSeq: 7\r\n\r\n")), "RTSP/1.0 505 RTSP Version Not Supported");
    EXPECT_EQ(f.server->numClientSessions(), 0u);   // the failed SETUP left nothing behind
    bool closed = false;
    EXPECT_EQ(status_of(f.request(s, "\x01\x02garbage\r\n\r\n", &closed)), "RTSP/1.0 400 Bad Request");
    f.request(s, "", &closed);
    EXPECT_TRUE(closed);
    close(s);

    s = f.connect();
    std::string huge = "OPTIONS * RTSP/1.0\r\nCSeq: 1\r\nX-Pad: " + std::string(20000, 'x');
    EXPECT_EQ(status_of(f.request(s, huge, &closed)), "RTSP/1.0 413 Request Entity Too Large");
    close(s);

    s = f.connect();
    EXPECT_EQ(status_of(f.request(s, "OPTIONS * RTSP/1.0\r\nCSeq: 1\r\n\r\n")), "RTSP/1.0 200 OK");
    close(s);
}

TEST(RtspServer, DescribeSetupPlayTeardownOverUdp)
{
    ServerFixture f;
    int s = f.connect();
    std::string d = f.request(s, "DESCRIBE " + f.url() + " RTSP/1.0\r\nCSeq: 1\r\n\r\n");
    ASSERT_EQ(status_of(d), "RTSP/1.0 200 OK");
    EXPECT_EQ(header_of(d, "Content-Base"), f.url() + "/");
    EXPECT_NE(d.find("m=video 0 RTP/AVP 96\r\n"), std::string::npos);
    EXPECT_NE(d.find("a=control:track1\r\n"), std::string::npos);
    EXPECT_NE(d.find("sprop-parameter-sets="), std::string::npos);

    unsigned port = 0;
    int rtp = loopback_udp(0, &port);
    ASSERT_GE(rtp, 0);
    std::string r = f.request(s, "SETUP " + f.url() + "/track1 RTSP/1.0\r\nCSeq: 2\r\nTransport: RTP/AVP;unicast;client_port=" +
                                     std::to_string(port) + "-" + std::to_string(port + 1) + "\r\n\r\n");
    ASSERT_EQ(status_of(r), "RTSP/1.0 200 OK");
    EXPECT_NE(header_of(r, "Transport").find(";server_port="), std::string::npos);
    std::string session = header_of(r, "Session");
    ASSERT_NE(session.find(";timeout=65"), std::string::npos);
    session.resize(session.find(';'));
    r = f.request(s, "PLAY " + f.url() + "/ RTSP/1.0\r\nCSeq: 3\r\nSession: " + session + "\r\n\r\n");
    ASSERT_EQ(status_of(r), "RTSP/1.0 200 OK");
    EXPECT_NE(header_of(r, "RTP-Info").find("url=" + f.url() + "/track1;seq="), std::string::npos);
    uint8_t pkt[2048];
    ssize_t n = -1;
    f.l.stepUntil([&] { return (n = recv(rtp, pkt, sizeof pkt, MSG_DONTWAIT)) > 0; });
    ASSERT_GT(n, 12);
    EXPECT_EQ(pkt[1] & 0x7f, 96);
    EXPECT_EQ(f.server->numClientSessions(), 1u);
    EXPECT_EQ(status_of(f.request(s, "TEARDOWN " + f.url() + " RTSP/1.0\r\nCSeq: 4\r\nSession: " + session + "\r\n\r\n")),
              "RTSP/1.0 200 OK");
    EXPECT_EQ(f.server->numClientSessions(), 0u);
    close(rtp);
    close(s);
}

TEST(RtspServer, DigestAuthenticationAgainstTheUserDatabase)
{
    UserAuthenticationDatabase *db = new UserAuthenticationDatabase();
    db->addUserRecord("admin", "s3cret");
    ServerFixture f(db);
    int s = f.connect();
    std::string r = f.request(s, "DESCRIBE " + f.url() + " RTSP/1.0\r\nCSeq: 1\r\n\r\n");
    ASSERT_EQ(status_of(r), "RTSP/1.0 401 Unauthorized");
    std::string challenge = header_of(r, "WWW-Authenticate");
    std::map<std::string, std::string> p;
    ASSERT_TRUE(rtsp_parse_digest(challenge, p));
    EXPECT_EQ(p["realm"], db->realm());
    auto auth = [&](const std::string &user, const std::string &pass, const std::string &method) {
        std::string ha1 = md5_hex_of(user + ":" + p["realm"] + ":" + pass), ha2 = md5_hex_of(method + ":" + f.url());
        return "Authorization: Digest username=\"" + user + "\", realm=\"" + p["realm"] + "\", nonce=\"" + p["nonce"] +
               "\", uri=\"" + f.url() + "\", response=\"" + md5_hex_of(ha1 + ":" + p["nonce"] + ":" + ha2) + "\"\r\n";
    };
    r = f.request(s, "DESCRIBE " + f.url() + " RTSP/1.0\r\nCSeq: 2\r\n" + auth("admin", "wrong", "DESCRIBE") + "\r\n");
    EXPECT_EQ(status_of(r), "RTSP/1.0 401 Unauthorized");
    r = f.request(s, "DESCRIBE " + f.url() + " RTSP/1.0\r\nCSeq: 3\r\n" + auth("admin", "s3cret", "DESCRIBE") + "\r\n");
    EXPECT_EQ(status_of(r), "RTSP/1.0 200 OK");
    // SETUP is guarded as well, so nobody skips DESCRIBE to stream without a password.
    r = f.request(s, "SETUP " + f.url() + " RTSP/1.0\r\nCSeq: 4\r\nTransport: RTP/AVP/TCP;interleaved=0-1\r\n\r\n");
    EXPECT_EQ(status_of(r), "RTSP/1.0 401 Unauthorized");
    // Taking the database away opens the server.
    delete f.server->setAuthenticationDatabase(nullptr);
    r = f.request(s, "DESCRIBE " + f.url() + " RTSP/1.0\r\nCSeq: 5\r\n\r\n");
    EXPECT_EQ(status_of(r), "RTSP/1.0 200 OK");
    close(s);
}

TEST(RtspServer, InterleavedClientThatVanishesFreesItsSessionWithoutSigpipe)
{
    signal(SIGPIPE, SIG_DFL);   // a send without MSG_NOSIGNAL would end this test process
    ServerFixture f;
    int s = f.connect();
    std::string r = f.request(s, "SETUP " + f.url() + "/track1 RTSP/1.0\r\nCSeq: 1\r\nTransport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n\r\n");
    ASSERT_EQ(status_of(r), "RTSP/1.0 200 OK");
    EXPECT_NE(header_of(r, "Transport").find("interleaved=0-1"), std::string::npos);
    std::string session = header_of(r, "Session");
    session.resize(session.find(';'));
    r = f.request(s, "PLAY " + f.url() + " RTSP/1.0\r\nCSeq: 2\r\nSession: " + session + "\r\n\r\n");
    ASSERT_EQ(status_of(r), "RTSP/1.0 200 OK");
    f.request(s, "", nullptr, 3);
    EXPECT_GE(f.interleaved, 3u);
    // Keep-alive while packets flow: the response comes between whole interleaved packets.
    r = f.request(s, "GET_PARAMETER " + f.url() + " RTSP/1.0\r\nCSeq: 3\r\nSession: " + session + "\r\n\r\n");
    EXPECT_EQ(status_of(r), "RTSP/1.0 200 OK");
    EXPECT_EQ(f.server->numClientSessions(), 1u);
    struct linger lg = {1, 0};
    setsockopt(s, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);   // reset, as a crashed client does
    close(s);
    EXPECT_TRUE(f.l.stepUntil([&] { return f.server->numClientSessions() == 0; }));
    EXPECT_EQ(f.server->numClientConnections(), 0u);
}

std::string session_of(const std::string &response)
{
    std::string id = header_of(response, "Session");
    return id.substr(0, id.find(';'));
}

// An interleaved client that keeps what it reads: the answers, and the RTP of each channel.
struct InterleavedClient {
    int fd = -1;
    std::string in;
    std::vector<std::string> answers;
    std::vector<std::vector<uint8_t>> rtp[256];
    std::vector<uint8_t> arrivals;   // the channel of every '$' frame, in the order they came
    bool torn = false;   // bytes that are neither an answer nor a whole '$' frame
    void drain()
    {
        char b[65536];
        ssize_t n;
        while ((n = recv(fd, b, sizeof b, MSG_DONTWAIT)) > 0)
            in.append(b, (size_t)n);
        size_t off = 0;
        while (off < in.size() && !torn) {
            if (in[off] == '$') {
                if (in.size() - off < 4)
                    break;
                size_t len = (uint8_t)in[off + 2] << 8 | (uint8_t)in[off + 3];
                if (in.size() - off < 4 + len)
                    break;
                const uint8_t *p = (const uint8_t *)in.data() + off + 4;
                rtp[(uint8_t)in[off + 1]].emplace_back(p, p + len);
                arrivals.push_back((uint8_t)in[off + 1]);
                torn |= len < 12 || (p[0] & 0xc0) != 0x80;
                off += 4 + len;
                continue;
            }
            if (in.compare(off, 5, "RTSP/", 0, std::min<size_t>(5, in.size() - off)) != 0) {
                torn = true;
                break;
            }
            size_t end = in.find("\r\n\r\n", off);
            if (end == std::string::npos)
                break;
            answers.push_back(in.substr(off, end + 4 - off));
            off = end + 4;
        }
        in.erase(0, off);
    }
    std::string ask(ServerFixture &f, const std::string &text)
    {
        size_t had = answers.size();
        EXPECT_EQ(send(fd, text.data(), text.size(), MSG_NOSIGNAL), (ssize_t)text.size());
        f.l.stepUntil([&] {
            drain();
            return answers.size() > had;
        });
        return answers.size() > had ? answers[had] : "";
    }
    // SETUP on the given channels and PLAY; the PLAY answer.
    std::string play(ServerFixture &f, unsigned channel)
    {
        std::string r = ask(f, "SETUP " + f.url() + "/track1 RTSP/1.0\r\nCSeq: 1\r\nTransport: RTP/AVP/TCP;unicast;interleaved=" +
                                   std::to_string(channel) + "-" + std::to_string(channel + 1) + "\r\n\r\n");
        EXPECT_EQ(status_of(r), "RTSP/1.0 200 OK");
        return ask(f, "PLAY " + f.url() + " RTSP/1.0\r\nCSeq: 2\r\nSession: " + session_of(r) + "\r\n\r\n");
    }
};

unsigned long rtp_info_field(const std::string &playAnswer, const char *name)
{
    std::string info = header_of(playAnswer, "RTP-Info");
    size_t p = info.find(std::string(";") + name + "=");
    return p == std::string::npos ? 0 : strtoul(info.c_str() + p + strlen(name) + 2, nullptr, 10);
}

// Clients of one shared stream each get, from the packet their RTP-Info names on, every packet
// in order and byte for byte the same, also one on another interleaved channel than the others
// (every picture here starts with its SPS, so a joiner starts at the next packet).
TEST(RtspServer, InterleavedClientsGetEveryPacketFromTheOneTheirRtpInfoNames)
{
    ServerFixture f;
    InterleavedClient c[3];
    unsigned channel[3] = {0, 2, 0};
    std::string answer[3];
    for (int i = 0; i < 3; i++) {
        c[i].fd = f.connect();
        answer[i] = c[i].play(f, channel[i]);
        ASSERT_EQ(status_of(answer[i]), "RTSP/1.0 200 OK");
        // The next joins while the stream runs.
        ASSERT_TRUE(f.l.stepUntil([&] {
            c[0].drain();
            return c[0].rtp[0].size() >= 10u * (i + 1);
        }));
    }
    ASSERT_TRUE(f.l.stepUntil([&] {
        for (auto &x : c)
            x.drain();
        return c[2].rtp[0].size() >= 20;
    }));
    const auto &all = c[0].rtp[0];
    for (int i = 0; i < 3; i++) {
        const auto &got = c[i].rtp[channel[i]];
        EXPECT_FALSE(c[i].torn) << "client " << i;
        ASSERT_FALSE(got.empty()) << "client " << i;
        Rtp first = parse_rtp(got[0]);
        EXPECT_EQ(first.seq, (uint16_t)rtp_info_field(answer[i], "seq")) << "client " << i;
        // The first client's first packet carries the RTP-Info time; a joiner's is the next
        // picture's, never an earlier one.
        int32_t ahead = (int32_t)(first.ts - (uint32_t)rtp_info_field(answer[i], "rtptime"));
        if (i == 0)
            EXPECT_EQ(ahead, 0);
        else
            EXPECT_TRUE(ahead >= 0 && ahead <= 90000) << "client " << i << ": " << ahead;
        uint16_t off = (uint16_t)(first.seq - parse_rtp(all[0]).seq);
        for (size_t k = 0; k < got.size(); k++) {
            ASSERT_EQ(parse_rtp(got[k]).seq, (uint16_t)(first.seq + k)) << "client " << i << " packet " << k;
            if (off + k < all.size()) {
                ASSERT_EQ(got[k], all[off + k]) << "client " << i << " packet " << k;
            }
        }
    }
    for (auto &x : c)
        close(x.fd);
}

// A sender report: its wall-clock time (NTP seconds) and the RTP time it maps that to.
struct SenderReport {
    double ntp;
    uint32_t ts;
};

bool sender_report_of(const std::vector<uint8_t> &p, SenderReport &sr)
{
    if (p.size() < 28 || p[1] != 200)
        return false;
    auto be32 = [&](size_t i) { return (uint32_t)p[i] << 24 | p[i + 1] << 16 | p[i + 2] << 8 | p[i + 3]; };
    sr.ntp = be32(8) + be32(12) / 4294967296.0;
    sr.ts = be32(16);
    return true;
}

// Players that time each stream from RTP-Info until its first sender report, and from reports
// after, move the stream when that report comes: every receiver, the first one, a joiner
// waiting for its keyframe and a UDP one, has a report before its first packet, and the reports
// map alike.
TEST(RtspServer, EveryReceiverHasASenderReportBeforeItsFirstPacket)
{
    ServerFixture f(nullptr, 65, 10, 3000);   // a keyframe every 400 ms
    InterleavedClient c[2];
    SenderReport sr[2] = {};
    bool reported[2] = {};
    for (int i = 0; i < 2; i++) {
        c[i].fd = f.connect();
        ASSERT_EQ(status_of(c[i].play(f, 0)), "RTSP/1.0 200 OK");
        // The joiner comes in mid-GOP and waits for the next keyframe.
        ASSERT_TRUE(f.l.stepUntil([&] {
            c[0].drain();
            c[1].drain();
            return c[i].rtp[0].size() >= 15;
        }));
        auto &order = c[i].arrivals;
        size_t firstRtp = std::find(order.begin(), order.end(), 0) - order.begin();
        ASSERT_LT(firstRtp, order.size());
        size_t k = 0, report = order.size();
        for (size_t a = 0; a < firstRtp; a++)
            if (order[a] == 1 && sender_report_of(c[i].rtp[1][k++], sr[i])) {
                report = a;
                break;
            }
        reported[i] = report < firstRtp;
        EXPECT_TRUE(reported[i]) << "client " << i << ": no sender report before the first packet";
        if (reported[i]) {
            EXPECT_GE((int32_t)(sr[i].ts - parse_rtp(c[i].rtp[0][0]).ts), 0)
                << "client " << i << ": its first packet lies after the time the report maps";
        }
        EXPECT_FALSE(c[i].torn);
    }
    // One stream, one mapping: the two reports differ in RTP time as they do in wall-clock time.
    if (reported[0] && reported[1]) {
        double apart = (int32_t)(sr[1].ts - sr[0].ts) - (sr[1].ntp - sr[0].ntp) * 90000;
        EXPECT_LE(std::abs(apart), 2.0) << "ticks between the mappings of the two reports";
    }

    unsigned port = 0, rtcpPort = 0;
    int rtp = loopback_udp(0, &port);
    ASSERT_GE(rtp, 0);
    int rtcp = loopback_udp(port + 1, &rtcpPort);
    ASSERT_GE(rtcp, 0) << "port " << port + 1 << " taken";
    int s = f.connect();
    std::string r = f.request(s, "SETUP " + f.url() + "/track1 RTSP/1.0\r\nCSeq: 1\r\nTransport: RTP/AVP;unicast;client_port=" +
                                     std::to_string(port) + "-" + std::to_string(port + 1) + "\r\n\r\n");
    ASSERT_EQ(status_of(r), "RTSP/1.0 200 OK");
    r = f.request(s, "PLAY " + f.url() + " RTSP/1.0\r\nCSeq: 2\r\nSession: " + session_of(r) + "\r\n\r\n");
    ASSERT_EQ(status_of(r), "RTSP/1.0 200 OK");
    uint8_t pkt[2048];
    ASSERT_TRUE(f.l.stepUntil([&] {
        c[0].drain();
        c[1].drain();
        return recv(rtp, pkt, sizeof pkt, MSG_PEEK | MSG_DONTWAIT) > 0;
    }));
    // Loopback delivers in the order sent: the report is there when the first packet is.
    bool sawReport = false;
    ssize_t n;
    SenderReport udp;
    while (!sawReport && (n = recv(rtcp, pkt, sizeof pkt, MSG_DONTWAIT)) > 0)
        sawReport = sender_report_of(std::vector<uint8_t>(pkt, pkt + n), udp);
    EXPECT_TRUE(sawReport) << "the UDP receiver's first packet came without a report";
    close(rtp);
    close(rtcp);
    close(s);
    for (auto &x : c)
        close(x.fd);
}

// A client that stops reading loses whole packets only, and takes up again at a keyframe (its
// SPS); the one that reads meanwhile gets every packet.
TEST(RtspServer, StalledInterleavedClientResumesAtAKeyframeWithoutHoldingTheOtherBack)
{
    ServerFixture f(nullptr, 65, 5, 30000);   // 750 kB/s, a keyframe every 200 ms
    InterleavedClient quick, stalled;
    quick.fd = f.connect();
    stalled.fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int small = 4096;
    setsockopt(stalled.fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(f.server->port());
    ASSERT_EQ(::connect(stalled.fd, (struct sockaddr *)&a, sizeof a), 0);
    ASSERT_EQ(status_of(quick.play(f, 0)), "RTSP/1.0 200 OK");
    ASSERT_EQ(status_of(stalled.play(f, 0)), "RTSP/1.0 200 OK");
    // 2.5 s of stream while one client reads nothing: far beyond the socket buffers and the lag
    // bound (500 ms) of the other.
    int64_t end = rtsp_monotonic_us() + 2500000;
    f.l.stepUntil([&] {
        quick.drain();
        return rtsp_monotonic_us() > end;
    }, 10000);
    unsigned pictures = 0;
    for (auto &p : quick.rtp[0])
        pictures += (p[1] & 0x80) != 0;
    EXPECT_GE(pictures, 25u) << "the reading client was held back";
    // The stalled client reads again and catches up.
    size_t target = quick.rtp[0].size() + 100;
    ASSERT_TRUE(f.l.stepUntil([&] {
        quick.drain();
        stalled.drain();
        return quick.rtp[0].size() >= target;
    }, 10000));
    f.l.stepUntil([&] {
        stalled.drain();
        quick.drain();
        return false;
    }, 300);

    for (size_t k = 1; k < quick.rtp[0].size(); k++)
        ASSERT_EQ(parse_rtp(quick.rtp[0][k]).seq, (uint16_t)(parse_rtp(quick.rtp[0][k - 1]).seq + 1)) << "packet " << k;
    EXPECT_FALSE(quick.torn);
    EXPECT_FALSE(stalled.torn) << "a packet was cut";
    const auto &got = stalled.rtp[0];
    ASSERT_FALSE(got.empty());
    // What it got is what the other got, byte for byte (the quick one got every packet; it may
    // not have read the very last ones yet).
    uint16_t base = parse_rtp(quick.rtp[0][0]).seq;
    size_t compared = 0;
    for (size_t k = 0; k < got.size(); k++) {
        size_t at = (uint16_t)(parse_rtp(got[k]).seq - base);
        if (at >= quick.rtp[0].size())
            continue;
        ASSERT_EQ(got[k], quick.rtp[0][at]) << "packet " << k;
        compared++;
    }
    EXPECT_GE(compared + 50, got.size());
    unsigned skips = 0;
    for (size_t k = 1; k < got.size(); k++) {
        if (parse_rtp(got[k]).seq == (uint16_t)(parse_rtp(got[k - 1]).seq + 1))
            continue;
        skips++;
        EXPECT_EQ(first_nal(got[k]), 7u) << "the skip before packet " << k << " resumes at an SPS";
    }
    EXPECT_GE(skips, 1u);
    EXPECT_GT((int32_t)(parse_rtp(got.back()).ts - parse_rtp(got[0]).ts), 90000) << "it got the stream again after its skip";
    close(quick.fd);
    close(stalled.fd);
}

// A session id seen on the wire is no key: TEARDOWN, PLAY, PAUSE and keep-alives from another
// connection are answered 454 and logged, and the session goes on. A UDP client may come back
// on a new connection from its own address; an interleaved session belongs to its connection.
TEST(RtspServer, SessionIsControlledOnlyByItsOwnClient)
{
    ServerFixture f;
    int owner = f.connect();
    std::string r = f.request(owner, "SETUP " + f.url() + "/track1 RTSP/1.0\r\nCSeq: 1\r\nTransport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n\r\n");
    ASSERT_EQ(status_of(r), "RTSP/1.0 200 OK");
    std::string tcp = session_of(r);
    ASSERT_EQ(status_of(f.request(owner, "PLAY " + f.url() + " RTSP/1.0\r\nCSeq: 2\r\nSession: " + tcp + "\r\n\r\n")), "RTSP/1.0 200 OK");

    uint32_t tail = log_ring_head();
    int other = f.connect();   // same address, another connection
    for (const char *m : {"TEARDOWN", "PAUSE", "PLAY", "GET_PARAMETER"})
        EXPECT_EQ(status_of(f.request(other, std::string(m) + " " + f.url() + " RTSP/1.0\r\nCSeq: 3\r\nSession: " + tcp + "\r\n\r\n")),
                  "RTSP/1.0 454 Session Not Found")
            << m;
    EXPECT_EQ(status_of(f.request(other, "SETUP " + f.url() + "/track1 RTSP/1.0\r\nCSeq: 4\r\nSession: " + tcp +
                                             "\r\nTransport: RTP/AVP/TCP;unicast;interleaved=2-3\r\n\r\n")),
              "RTSP/1.0 454 Session Not Found");
    std::vector<char> text(65536);
    std::string said(text.data(), log_ring_read(tail, text.data(), (uint32_t)text.size()));
    EXPECT_NE(said.find("rtsp: TEARDOWN of session " + tcp + " from 127.0.0.1 refused: the session belongs to another connection"),
              std::string::npos)
        << said;
    EXPECT_EQ(f.server->numClientSessions(), 1u);
    unsigned before = f.interleaved;
    f.request(owner, "", nullptr, before + 3);
    EXPECT_GE(f.interleaved, before + 3) << "the session still plays";

    // UDP: the same address may come back on a new connection, another address may not.
    int udp = f.connect();
    r = f.request(udp, "SETUP " + f.url() + "/track1 RTSP/1.0\r\nCSeq: 1\r\nTransport: RTP/AVP;unicast;client_port=9-10\r\n\r\n");
    ASSERT_EQ(status_of(r), "RTSP/1.0 200 OK");
    std::string id = session_of(r);
    int stranger = f.connect("127.0.0.2");
    EXPECT_EQ(status_of(f.request(stranger, "TEARDOWN " + f.url() + " RTSP/1.0\r\nCSeq: 2\r\nSession: " + id + "\r\n\r\n")),
              "RTSP/1.0 454 Session Not Found");
    EXPECT_EQ(f.server->numClientSessions(), 2u);
    close(udp);
    int back = f.connect();
    EXPECT_EQ(status_of(f.request(back, "PLAY " + f.url() + " RTSP/1.0\r\nCSeq: 2\r\nSession: " + id + "\r\n\r\n")),
              "RTSP/1.0 200 OK");
    EXPECT_EQ(status_of(f.request(back, "TEARDOWN " + f.url() + " RTSP/1.0\r\nCSeq: 3\r\nSession: " + id + "\r\n\r\n")),
              "RTSP/1.0 200 OK");
    // The owner itself ends its interleaved session.
    EXPECT_EQ(status_of(f.request(owner, "TEARDOWN " + f.url() + " RTSP/1.0\r\nCSeq: 5\r\nSession: " + tcp + "\r\n\r\n")),
              "RTSP/1.0 200 OK");
    EXPECT_EQ(f.server->numClientSessions(), 0u);
    for (int s : {owner, other, stranger, back})
        close(s);
}

// With users, a UDP session comes back only to the user who set it up.
TEST(RtspServer, UdpSessionOnANewConnectionOnlyForItsOwnUser)
{
    UserAuthenticationDatabase *db = new UserAuthenticationDatabase();
    db->addUserRecord("alice", "a1");
    db->addUserRecord("bob", "b2");
    ServerFixture f(db);
    // Asks for a nonce on s, then answers it for method on the aggregate URL.
    auto send_as = [&](int s, const std::string &user, const std::string &pass, const std::string &method,
                       const std::string &extra) {
        std::string r = f.request(s, "DESCRIBE " + f.url() + " RTSP/1.0\r\nCSeq: 1\r\n\r\n");
        std::map<std::string, std::string> p;
        EXPECT_TRUE(rtsp_parse_digest(header_of(r, "WWW-Authenticate"), p));
        std::string ha1 = md5_hex_of(user + ":" + p["realm"] + ":" + pass), ha2 = md5_hex_of(method + ":" + f.url());
        std::string auth = "Authorization: Digest username=\"" + user + "\", realm=\"" + p["realm"] + "\", nonce=\"" +
                           p["nonce"] + "\", uri=\"" + f.url() + "\", response=\"" + md5_hex_of(ha1 + ":" + p["nonce"] + ":" + ha2) +
                           "\"\r\n";
        return f.request(s, method + " " + f.url() + " RTSP/1.0\r\nCSeq: 2\r\n" + auth + extra + "\r\n");
    };
    int a = f.connect();
    std::string r = send_as(a, "alice", "a1", "SETUP", "Transport: RTP/AVP;unicast;client_port=9-10\r\n");
    ASSERT_EQ(status_of(r), "RTSP/1.0 200 OK");
    std::string id = session_of(r);
    close(a);
    int b = f.connect();
    EXPECT_EQ(status_of(send_as(b, "bob", "b2", "TEARDOWN", "Session: " + id + "\r\n")), "RTSP/1.0 454 Session Not Found");
    EXPECT_EQ(f.server->numClientSessions(), 1u);
    int c = f.connect();
    EXPECT_EQ(status_of(f.request(c, "TEARDOWN " + f.url() + " RTSP/1.0\r\nCSeq: 1\r\nSession: " + id + "\r\n\r\n")),
              "RTSP/1.0 454 Session Not Found")
        << "nobody known on that connection";
    EXPECT_EQ(status_of(send_as(c, "alice", "a1", "TEARDOWN", "Session: " + id + "\r\n")), "RTSP/1.0 200 OK");
    EXPECT_EQ(f.server->numClientSessions(), 0u);
    close(b);
    close(c);
}

TEST(RtspServer, SilentUdpSessionIsReclaimedAfterTheTimeout)
{
    ServerFixture f(nullptr, 1);
    int s = f.connect();
    std::string r = f.request(s, "SETUP " + f.url() + " RTSP/1.0\r\nCSeq: 1\r\nTransport: RTP/AVP;unicast;client_port=9-10\r\n\r\n");
    ASSERT_EQ(status_of(r), "RTSP/1.0 200 OK");
    EXPECT_NE(header_of(r, "Session").find(";timeout=1"), std::string::npos);
    EXPECT_EQ(f.server->numClientSessions(), 1u);
    EXPECT_TRUE(f.l.stepUntil([&] { return f.server->numClientSessions() == 0; }, 5000));
    // The connection that only set it up goes too once it has been silent as long.
    EXPECT_TRUE(f.l.stepUntil([&] { return f.server->numClientConnections() == 0; }, 5000));
    bool closed = false;
    f.request(s, "", &closed);
    EXPECT_TRUE(closed);
    close(s);
}

int open_fds()
{
    int n = 0;
    for (int fd = 0; fd < 4096; fd++)
        n += fcntl(fd, F_GETFD) != -1;
    return n;
}

std::string log_since(uint32_t tail)
{
    std::vector<char> text(1 << 20);
    return std::string(text.data(), log_ring_read(tail, text.data(), (uint32_t)text.size()));
}

size_t count_of(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1))
        n++;
    return n;
}

std::string setup_udp(ServerFixture &f, int s, const std::string &session = "")
{
    return f.request(s, "SETUP " + f.url() + "/track1 RTSP/1.0\r\nCSeq: 1\r\n" + (session.empty() ? "" : "Session: " + session + "\r\n") +
                            "Transport: RTP/AVP;unicast;client_port=9-10\r\n\r\n");
}

// Each session here has a source and two sockets of its own, so whatever a refused SETUP
// left behind would show.
TEST(RtspServer, SessionsOnAConnectionAreCappedAndARefusedSetupLeavesNothing)
{
    ServerFixture f(nullptr, 65, 1, 3000, false);
    int s = f.connect();
    std::vector<std::string> ids;
    for (int i = 0; i < RTSPServer::MAX_SESSIONS_PER_CONNECTION; i++) {
        std::string r = setup_udp(f, s);
        ASSERT_EQ(status_of(r), "RTSP/1.0 200 OK") << i;
        ids.push_back(session_of(r));
    }
    int sources = TickSource::live, fds = open_fds();
    uint32_t tail = log_ring_head();
    for (int i = 0; i < 2; i++)
        EXPECT_EQ(status_of(setup_udp(f, s)), "RTSP/1.0 453 Not Enough Bandwidth");
    EXPECT_EQ(f.server->numClientSessions(), (unsigned)RTSPServer::MAX_SESSIONS_PER_CONNECTION);
    EXPECT_EQ(TickSource::live, sources);
    EXPECT_EQ(open_fds(), fds);
    EXPECT_EQ(count_of(log_since(tail), "rtsp: SETUP from 127.0.0.1 refused: 4 sessions on its connection\n"), 1u)
        << "logged once per connection";
    // A session it has may still be set up again, and another connection has its own room.
    EXPECT_EQ(status_of(setup_udp(f, s, ids[0])), "RTSP/1.0 200 OK");
    int other = f.connect();
    EXPECT_EQ(status_of(setup_udp(f, other)), "RTSP/1.0 200 OK");
    // TEARDOWN makes room.
    EXPECT_EQ(status_of(f.request(s, "TEARDOWN " + f.url() + " RTSP/1.0\r\nCSeq: 2\r\nSession: " + ids[1] + "\r\n\r\n")),
              "RTSP/1.0 200 OK");
    EXPECT_EQ(TickSource::live, sources);   // one gone, one more on the other connection
    EXPECT_EQ(status_of(setup_udp(f, s)), "RTSP/1.0 200 OK");
    close(other);
    close(s);
}

std::string play(ServerFixture &f, int s, const std::string &session)
{
    return status_of(f.request(s, "PLAY " + f.url() + " RTSP/1.0\r\nCSeq: 2\r\nSession: " + session + "\r\n\r\n"));
}

// Sessions from four addresses, each address filling its share, in that order (UDP sessions
// outlive the connections that set them up); played when `players`.
std::string pause(ServerFixture &f, int s, const std::string &session)
{
    return status_of(f.request(s, "PAUSE " + f.url() + " RTSP/1.0\r\nCSeq: 4\r\nSession: " + session + "\r\n\r\n"));
}

// players[a]: the sessions of 127.0.0.(a+1) play (1), play and pause (2), or are only set up (0).
std::vector<std::string> fill_sessions(ServerFixture &f, const std::vector<int> &players)
{
    const int perConn = RTSPServer::MAX_SESSIONS_PER_CONNECTION;
    std::vector<std::string> ids;
    for (int a = 1; a <= 4; a++) {
        std::string from = "127.0.0." + std::to_string(a);
        for (int c = 0; c < RTSPServer::MAX_SESSIONS_PER_ADDRESS / perConn; c++) {
            int s = f.connect(from.c_str());
            for (int i = 0; i < perConn; i++) {
                std::string r = setup_udp(f, s);
                EXPECT_EQ(status_of(r), "RTSP/1.0 200 OK") << from << " " << c << " " << i;
                ids.push_back(session_of(r));
                if (players[a - 1]) {
                    EXPECT_EQ(play(f, s, ids.back()), "RTSP/1.0 200 OK");
                }
                if (players[a - 1] == 2) {
                    EXPECT_EQ(pause(f, s, ids.back()), "RTSP/1.0 200 OK");
                }
            }
            close(s);
        }
    }
    return ids;
}

// UDP sessions outlive the connection that set them up, so one address cannot fill the server
// by reconnecting; the server as a whole is bounded too: a full house of players is its capacity.
TEST(RtspServer, SessionsAreCappedPerAddressAndInAll)
{
    ServerFixture f;
    const int perConn = RTSPServer::MAX_SESSIONS_PER_CONNECTION;
    std::string last;
    for (int a = 1; a <= 4; a++) {
        std::string from = "127.0.0." + std::to_string(a);
        for (int c = 0; c < RTSPServer::MAX_SESSIONS_PER_ADDRESS / perConn; c++) {
            int s = f.connect(from.c_str());
            for (int i = 0; i < perConn; i++) {
                std::string r = setup_udp(f, s);
                ASSERT_EQ(status_of(r), "RTSP/1.0 200 OK") << from << " " << c << " " << i;
                last = session_of(r);
                ASSERT_EQ(play(f, s, last), "RTSP/1.0 200 OK");
            }
            close(s);
        }
        uint32_t tail = log_ring_head();
        int s = f.connect(from.c_str());
        EXPECT_EQ(status_of(setup_udp(f, s)), "RTSP/1.0 453 Not Enough Bandwidth") << from;
        EXPECT_NE(log_since(tail).find("rtsp: SETUP from " + from + " refused: 64 sessions from that address"), std::string::npos);
        close(s);
    }
    ASSERT_EQ(f.server->numClientSessions(), (unsigned)RTSPServer::MAX_SESSIONS);
    uint32_t tail = log_ring_head();
    int s = f.connect("127.0.0.5");
    EXPECT_EQ(status_of(setup_udp(f, s)), "RTSP/1.0 453 Not Enough Bandwidth");
    EXPECT_NE(log_since(tail).find("rtsp: SETUP from 127.0.0.5 refused: 256 sessions open"), std::string::npos);
    int owner = f.connect("127.0.0.4");
    EXPECT_EQ(status_of(f.request(owner, "TEARDOWN " + f.url() + " RTSP/1.0\r\nCSeq: 2\r\nSession: " + last + "\r\n\r\n")),
              "RTSP/1.0 200 OK");
    EXPECT_EQ(status_of(setup_udp(f, s)), "RTSP/1.0 200 OK");
    close(owner);
    close(s);
}

// With the table full, a SETUP from a newcomer ends the session whose client has been silent
// longest, among those not playing, of an address holding at least two more than the newcomer's.
// A paused session keeps its place as a player's does (for its timeout).
TEST(RtspServer, NewcomersSetupEndsTheLongestSilentSessionNeverAPlayer)
{
  for (int mode : {1, 2}) {
    SCOPED_TRACE(mode == 1 ? "playing" : "paused");
    ServerFixture f;
    f.server->setEvictionAge(600000);   // the address rule alone
    // 127.0.0.1 plays (or paused), and its sessions are the oldest; the other three only set up.
    std::vector<std::string> ids = fill_sessions(f, {mode, 0, 0, 0});
    ASSERT_EQ(f.server->numClientSessions(), (unsigned)RTSPServer::MAX_SESSIONS);
    const size_t second = RTSPServer::MAX_SESSIONS_PER_ADDRESS;   // 127.0.0.2's first
    uint32_t tail = log_ring_head();
    int fresh = f.connect("127.0.0.5");
    EXPECT_EQ(status_of(setup_udp(f, fresh)), "RTSP/1.0 200 OK");
    EXPECT_EQ(f.server->numClientSessions(), (unsigned)RTSPServer::MAX_SESSIONS);
    std::string log = log_since(tail);
    EXPECT_NE(log.find("rtsp: session from 127.0.0.2 silent for "), std::string::npos) << log;
    EXPECT_NE(log.find(" s ended for a SETUP from 127.0.0.5\n"), std::string::npos) << log;
    int two = f.connect("127.0.0.2");
    EXPECT_EQ(play(f, two, ids[second]), "RTSP/1.0 454 Session Not Found") << "the longest silent one ended";
    EXPECT_EQ(play(f, two, ids[second + 1]), "RTSP/1.0 200 OK") << "the next one did not";
    // 127.0.0.2 coming back may not end another address's session in turn.
    EXPECT_EQ(status_of(setup_udp(f, two)), "RTSP/1.0 453 Not Enough Bandwidth");
    int one = f.connect("127.0.0.1");
    for (size_t i = 0; i < second; i++)
        ASSERT_EQ(play(f, one, ids[i]), "RTSP/1.0 200 OK") << "every player plays on " << i;
    close(one);
    close(two);
    close(fresh);
  }
}

// With the table full, a newcomer's connection takes the place of the one whose last request is
// oldest, of an address holding at least two more than the newcomer's; a connection carrying a
// player is never closed for it.
TEST(RtspServer, NewcomerTakesTheLongestIdleConnectionsPlaceNeverAPlayers)
{
    ServerFixture f;
    f.server->setEvictionAge(600000);   // the address rule alone
    int player = f.connect("127.0.0.1");
    std::string r = f.request(player, "SETUP " + f.url() + "/track1 RTSP/1.0\r\nCSeq: 1\r\nTransport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n\r\n");
    ASSERT_EQ(play(f, player, session_of(r)), "RTSP/1.0 200 OK");
    std::vector<int> held;
    const int perAddress = 64, total = 256;
    for (int i = 1; i < total; i++) {
        std::string from = "127.0.0." + std::to_string(1 + i / perAddress);
        held.push_back(f.connect(from.c_str()));
        ASSERT_EQ(status_of(f.request(held.back(), "OPTIONS * RTSP/1.0\r\nCSeq: 1\r\n\r\n")), "RTSP/1.0 200 OK") << i;
    }
    ASSERT_EQ(f.server->numClientConnections(), (unsigned)total);
    uint32_t tail = log_ring_head();
    // The oldest idle one has a request arriving, not read yet when the newcomer is accepted:
    // the newcomer is ready first, so the server's pass takes it before reading the request.
    int fresh = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, "127.0.0.5", &a.sin_addr);
    ASSERT_EQ(bind(fresh, (struct sockaddr *)&a, sizeof a), 0);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(f.server->port());
    ASSERT_EQ(::connect(fresh, (struct sockaddr *)&a, sizeof a), 0);
    std::string options = "OPTIONS * RTSP/1.0\r\nCSeq: 2\r\n\r\n";
    ASSERT_EQ(send(held[0], options.data(), options.size(), 0), (ssize_t)options.size());
    f.l.sched->SingleStep(1000);
    EXPECT_EQ(status_of(f.request(fresh, "OPTIONS * RTSP/1.0\r\nCSeq: 1\r\n\r\n")), "RTSP/1.0 200 OK");
    bool closed = false;
    EXPECT_EQ(status_of(f.request(held[0], "", &closed)), "RTSP/1.0 200 OK") << "the one with a request arriving stays";
    EXPECT_FALSE(closed);
    f.request(held[1], "", &closed);
    EXPECT_TRUE(closed) << "127.0.0.1's next oldest idle connection, not the older player's";
    std::string log = log_since(tail);
    EXPECT_NE(log.find("rtsp: connection from 127.0.0.1 idle for "), std::string::npos) << log;
    EXPECT_NE(log.find(" s closed for a connection from 127.0.0.5\n"), std::string::npos) << log;
    // 127.0.0.1 coming back does not put out another address's connection.
    int back = f.connect("127.0.0.1");
    EXPECT_EQ(f.request(back, "OPTIONS * RTSP/1.0\r\nCSeq: 1\r\n\r\n", &closed), "");
    EXPECT_TRUE(closed);
    EXPECT_EQ(f.server->numClientConnections(), (unsigned)total);
    unsigned before = f.interleaved;
    f.request(player, "", nullptr, before + 5);
    EXPECT_GE(f.interleaved, before + 5) << "the player plays on";
    for (int s : held)
        close(s);
    close(back);
    close(fresh);
    close(player);
}

// With every place held by one connection per address, a request still arriving after a couple of
// seconds gives way to a newcomer long before the request deadline; a fresh one does not.
TEST(RtspServer, SlowRequestGivesWayFreshOneDoesNot)
{
    ServerFixture f;
    f.server->setEvictionAge(600000);   // no connection reaches the idle age
    std::vector<int> held;
    for (int i = 0; i < 256; i++)
        held.push_back(f.connect(("127.0.1." + std::to_string(i)).c_str()));
    ASSERT_EQ(f.server->numClientConnections(), 256u);
    std::string head = "OPTIONS * RTSP/1.0\r\nCSeq: 1\r\n";
    ASSERT_EQ(send(held[5], head.data(), head.size(), 0), (ssize_t)head.size());
    f.l.stepUntil([] { return false; }, 200);
    bool closed = false;
    int early = f.connect("127.0.0.5");
    EXPECT_EQ(f.request(early, "OPTIONS * RTSP/1.0\r\nCSeq: 1\r\n\r\n", &closed), "") << "a fresh head stays";
    EXPECT_TRUE(closed);
    close(early);
    f.l.stepUntil([] { return false; }, EVICT_SLOW_HEAD_MS);
    uint32_t tail = log_ring_head();
    int fresh = f.connect("127.0.0.6");
    EXPECT_EQ(status_of(f.request(fresh, "OPTIONS * RTSP/1.0\r\nCSeq: 1\r\n\r\n")), "RTSP/1.0 200 OK");
    f.request(held[5], "", &closed);
    EXPECT_TRUE(closed) << "the slow one";
    EXPECT_NE(log_since(tail).find("rtsp: connection from 127.0.1.5 sending its request slowly for 2 s closed"),
              std::string::npos);
    for (int s : held)
        close(s);
    close(fresh);
}

// A viewer who paused, on an address holding three connections (a NAT, or a second player), is
// the oldest there and its address holds the most; newcomers still put out the others, and the
// viewer resumes.
TEST(RtspServer, APausedViewersConnectionKeepsItsPlace)
{
    ServerFixture f;
    f.server->setEvictionAge(600000);   // the address rule alone: the paused one would go first
    int viewer = f.connect("127.0.0.1");
    std::string id = session_of(setup_udp(f, viewer));
    ASSERT_EQ(play(f, viewer, id), "RTSP/1.0 200 OK");
    ASSERT_EQ(pause(f, viewer, id), "RTSP/1.0 200 OK");
    std::vector<int> held;
    const int total = 256;
    for (int i = 1; i < total; i++) {
        std::string from = i < 3 ? "127.0.0.1" : "127.0.1." + std::to_string(i);
        held.push_back(f.connect(from.c_str()));
        ASSERT_EQ(status_of(f.request(held.back(), "OPTIONS * RTSP/1.0\r\nCSeq: 1\r\n\r\n")), "RTSP/1.0 200 OK") << i;
    }
    ASSERT_EQ(f.server->numClientConnections(), (unsigned)total);
    std::vector<int> fresh;
    for (int i = 0; i < 2; i++) {
        fresh.push_back(f.connect(("127.0.0." + std::to_string(5 + i)).c_str()));
        EXPECT_EQ(status_of(f.request(fresh.back(), "OPTIONS * RTSP/1.0\r\nCSeq: 1\r\n\r\n")), "RTSP/1.0 200 OK");
    }
    bool closed = false;
    f.request(held[0], "", &closed);
    EXPECT_TRUE(closed) << "the viewer's address's other connections go";
    EXPECT_EQ(play(f, viewer, id), "RTSP/1.0 200 OK") << "the viewer resumes";
    for (int s : held)
        close(s);
    for (int s : fresh)
        close(s);
    close(viewer);
}

} // namespace

namespace {

TEST(RtspServer, PassiveSessionDescribesTheGroupAndSetupPointsThere)
{
    ServerFixture f;
    // A unicast loopback "group" keeps the test on this machine.
    struct sockaddr_storage group = {};
    struct sockaddr_in *g = (struct sockaddr_in *)&group;
    g->sin_family = AF_INET;
    g->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    Groupsock rtpGS(*f.l.env, group, Port(0), 255), rtcpGS(*f.l.env, group, Port(0), 255);
    rtpGS.changeDestinationParameters(group, Port(23456), 7);
    rtcpGS.changeDestinationParameters(group, Port(23457), 7);
    rtpGS.multicastSendOnly();
    H264VideoRTPSink *sink = H264VideoRTPSink::createNew(*f.l.env, &rtpGS, 96, kSPS, sizeof kSPS, kPPS, sizeof kPPS);
    RTCPInstance *rtcp = RTCPInstance::createNew(*f.l.env, &rtcpGS, 1000, (const unsigned char *)"cam", sink, nullptr);
    ServerMediaSession *sms = ServerMediaSession::createNew(*f.l.env, "multicastA.h264", "test.264", "d", true);
    sms->addSubsession(PassiveServerMediaSubsession::createNew(*sink, rtcp));
    f.server->addServerMediaSession(sms);

    int s = f.connect();
    std::string d = f.request(s, "DESCRIBE " + f.url("multicastA.h264") + " RTSP/1.0\r\nCSeq: 1\r\n\r\n");
    ASSERT_EQ(status_of(d), "RTSP/1.0 200 OK");
    EXPECT_NE(d.find("m=video 23456 RTP/AVP 96\r\nc=IN IP4 127.0.0.1/7\r\n"), std::string::npos) << d;
    EXPECT_NE(d.find("a=source-filter: incl IN IP4 * 127.0.0.1\r\n"), std::string::npos);
    std::string r = f.request(s, "SETUP " + f.url("multicastA.h264") +
                                     "/track1 RTSP/1.0\r\nCSeq: 2\r\nTransport: RTP/AVP;unicast;client_port=5000-5001\r\n\r\n");
    ASSERT_EQ(status_of(r), "RTSP/1.0 200 OK");
    EXPECT_NE(header_of(r, "Transport").find("RTP/AVP;multicast;destination=127.0.0.1;"), std::string::npos);
    EXPECT_NE(header_of(r, "Transport").find(";port=23456-23457;ttl=7"), std::string::npos);
    close(s);
    f.server->removeServerMediaSession(sms);
    EXPECT_EQ(f.server->numClientSessions(), 0u);
    Medium::close(rtcp);
    Medium::close(sink);
}

// A receiver joining a group times each stream from its first packet until its first sender
// report. Both group ports lead to one socket here, so what it holds is in the order sent: each
// run of the channel, the first and the one after a restart, has a report ahead of its first
// packet, and the report maps wall-clock time to RTP time as the packets do.
TEST(RtspMulticast, EveryRunSendsTheGroupASenderReportBeforeItsFirstPacket)
{
    Loop l;
    OutPacketBuffer::maxSize = 1000000;
    unsigned port = 0;
    int fd = loopback_udp(0, &port);
    ASSERT_GE(fd, 0);
    struct sockaddr_storage group = {};
    struct sockaddr_in *g = (struct sockaddr_in *)&group;
    g->sin_family = AF_INET;
    g->sin_addr.s_addr = htonl(INADDR_LOOPBACK);   // a unicast "group" keeps the test on this machine
    Groupsock rtpGS(*l.env, group, Port(0), 255), rtcpGS(*l.env, group, Port(0), 255);
    rtpGS.changeDestinationParameters(group, Port((uint16_t)port), 255);
    rtcpGS.changeDestinationParameters(group, Port((uint16_t)port), 255);
    rtpGS.multicastSendOnly();
    rtcpGS.multicastSendOnly();
    H264VideoRTPSink *sink = H264VideoRTPSink::createNew(*l.env, &rtpGS, 96);
    auto drain = [&] {
        std::vector<std::vector<uint8_t>> got;
        uint8_t b[2048];
        ssize_t n;
        while ((n = recv(fd, b, sizeof b, MSG_DONTWAIT)) > 0)
            got.emplace_back(b, b + n);
        return got;
    };

    for (int run = 0; run < 2; run++) {
        SCOPED_TRACE(run == 0 ? "first run" : "after a restart");
        // As the multicast channel plays: a new RTCP instance and source each run, RTP-Info preset.
        RTCPInstance *rtcp = RTCPInstance::createNew(*l.env, &rtcpGS, 1000, (const unsigned char *)"cam", sink, nullptr);
        LiveQueueSource *src = new LiveQueueSource(*l.env);
        // Pictures captured a second before they reach the sink, as a queued encoder's are: the
        // first packet moves the RTP time base onto them, so a mapping taken before it is off.
        struct timeval t0;
        gettimeofday(&t0, nullptr);
        t0.tv_sec -= 1;
        for (int i = 0; i < 5; i++) {
            struct timeval pt = {t0.tv_sec, t0.tv_usec + i * 40000};
            pt.tv_sec += pt.tv_usec / 1000000;
            pt.tv_usec %= 1000000;
            if (i == 0) {
                src->units.push_back({nal(0x67, 12), pt, false});
                src->units.push_back({nal(0x68, 4), pt, false});
            }
            src->units.push_back({nal(i == 0 ? 0x65 : 0x41, 3000), pt, i != 0});
        }
        H264VideoStreamDiscreteFramer *framer = H264VideoStreamDiscreteFramer::createNew(*l.env, src);
        sink->presetNextTimestamp();
        g_ended = false;
        ASSERT_TRUE(sink->startPlaying(*framer, [](void *) { g_ended = true; }, nullptr));
        std::vector<std::vector<uint8_t>> got;
        ASSERT_TRUE(l.stepUntil([&] {
            for (auto &p : drain())
                got.push_back(p);
            return g_ended;
        }));
        for (auto &p : drain())
            got.push_back(p);

        // RTCP packet types are 200 and up; these RTP packets have type 96, with or without marker.
        auto isRtcp = [](const std::vector<uint8_t> &p) { return p.size() >= 2 && p[1] >= 200 && p[1] <= 204; };
        size_t firstRtp = std::find_if(got.begin(), got.end(), [&](const std::vector<uint8_t> &p) { return !isRtcp(p); }) - got.begin();
        ASSERT_LT(firstRtp, got.size()) << "no RTP packet reached the group";
        SenderReport sr = {};
        bool reported = false;
        for (size_t k = 0; k < firstRtp && !reported; k++)
            reported = sender_report_of(got[k], sr);
        ASSERT_TRUE(reported) << "the group's first packet came without a sender report";
        // The first packet carries the first picture: the report puts it at the time it was captured.
        double ntp0 = t0.tv_sec + 2208988800.0 + t0.tv_usec / 1e6;
        double ticks = (int32_t)(parse_rtp(got[firstRtp]).ts - sr.ts) - (ntp0 - sr.ntp) * 90000;
        EXPECT_LE(std::abs(ticks), 2.0) << "ticks between the report's mapping and the packets'";
        size_t rtpPackets = 0;
        for (auto &p : got)
            rtpPackets += !isRtcp(p);
        EXPECT_GE(rtpPackets, 5u);

        sink->stopPlaying();
        Medium::close(framer);
        Medium::close(rtcp);   // its goodbye is not the next run's report
        drain();
    }
    Medium::close(sink);
    close(fd);
}

} // namespace

namespace {
int64_t frozen_clock() { return 7000000; }
}

// A connection's end is charged to the client that sent its last request, as its requests are:
// SETUPs without credentials, each on a connection of its own, write their budget and no more.
TEST(RtspServer, ConnectionEndsAreChargedToTheirClient)
{
    log_set_clock(frozen_clock);   // no budget comes back meanwhile
    ServerFixture f;
    uint32_t tail = log_ring_head();
    const int n = LOG_ORIGIN_WINDOW_LINES + 50;
    for (int i = 0; i < n; i++) {
        int s = f.connect();
        std::string r = f.request(s, "SETUP rtsp://127.0.0.1/live.h264/track1 RTSP/1.0\r\nCSeq: 1\r\n"
                                     "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n\r\n");
        ASSERT_EQ(status_of(r), "RTSP/1.0 200 OK") << i;
        close(s);
        ASSERT_TRUE(f.l.stepUntil([&] { return f.server->numClientSessions() == 0; })) << i;
    }
    log_printf("a line of the system\n");
    std::string said = log_since(tail);
    log_origins_report();
    log_set_clock(nullptr);
    size_t ended = count_of(said, "closed, 1 session(s) ended");
    EXPECT_GT(ended, 0u);
    EXPECT_LE(ended, (size_t)LOG_ORIGIN_WINDOW_LINES);
    EXPECT_NE(said.find("a line of the system"), std::string::npos);
}
