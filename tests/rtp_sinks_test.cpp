// The transport-stream sink and framer: packet sizes from "UDPPacketSize", no marker bit,
// realignment on a sync byte, whole transport packets per RTP packet.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <poll.h>
#include <unistd.h>
#include <vector>

#include "core/param.h"
#include "streaming/rtp.h"
#include "streaming/rtp_sinks.h"

namespace {

// Hands out prepared chunks, one per request.
class ChunkSource : public FramedSource {
public:
    ChunkSource(UsageEnvironment &env, std::vector<std::vector<uint8_t>> chunks) : FramedSource(env), fChunks(std::move(chunks)) {}
    std::vector<unsigned> asked;

protected:
    void doGetNextFrame() override
    {
        asked.push_back(fMaxSize);
        if (fNext >= fChunks.size()) {
            handleClosure();
            return;
        }
        auto &c = fChunks[fNext];
        unsigned n = c.size() - fOff < fMaxSize ? (unsigned)(c.size() - fOff) : fMaxSize;
        memcpy(fTo, c.data() + fOff, n);
        fOff += n;
        if (fOff == c.size())
            fNext++, fOff = 0;
        fFrameSize = n;
        gettimeofday(&fPresentationTime, nullptr);
        FramedSource::afterGetting(this);
    }

private:
    std::vector<std::vector<uint8_t>> fChunks;
    size_t fNext = 0, fOff = 0;
};

struct Env {
    BasicTaskScheduler *sched = BasicTaskScheduler::createNew(10000);
    UsageEnvironment *env = BasicUsageEnvironment::createNew(*sched);
    ~Env()
    {
        env->reclaim();
        delete sched;
    }
};

std::vector<uint8_t> ts_packets(unsigned n, uint8_t tag)
{
    std::vector<uint8_t> v(188 * n, tag);
    for (unsigned i = 0; i < n; i++)
        v[188 * i] = 0x47;
    return v;
}

struct Received {
    int fd;
    std::vector<std::vector<uint8_t>> packets;
};

// A UDP receiver on loopback that the sink sends to.
Received receiver(Groupsock &gs, UsageEnvironment &env)
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, (struct sockaddr *)&a, sizeof a);
    socklen_t l = sizeof a;
    getsockname(fd, (struct sockaddr *)&a, &l);
    gs.addDestination(a, 1);
    return Received{fd, {}};
}

void drain(Received &r, Env &e, size_t want)
{
    int64_t end = rtsp_monotonic_us() + 2000000;
    while (r.packets.size() < want && rtsp_monotonic_us() < end) {
        e.sched->SingleStep(1000);
        uint8_t buf[65536];
        ssize_t n;
        while ((n = recv(r.fd, buf, sizeof buf, MSG_DONTWAIT)) > 0)
            r.packets.emplace_back(buf, buf + n);
    }
}

} // namespace

TEST(RtpSinks, PacketSizeFollowsUdpPacketSize)
{
    ParamBlock p{};
    p.UDPPacketSize = 1460;
    EXPECT_EQ(rtp_packet_size(&p), 1432u);
    p.UDPPacketSize = 28;
    EXPECT_EQ(rtp_packet_size(&p), 0u);
    // Tiny settings still leave a header and a transport packet.
    for (uint32_t s : {29u, 40u, 100u}) {
        p.UDPPacketSize = s;
        EXPECT_GE(rtp_packet_size(&p), (unsigned)(12 + 188)) << s;
    }
}

TEST(RtpSinks, TransportStreamPacketsWholeAndWithoutMarker)
{
    Env e;
    ParamBlock *p = rtsp_param_block();
    uint32_t saved = p->UDPPacketSize;
    p->UDPPacketSize = 1460;
    Groupsock gs(*e.env, Port(0));
    Received r = receiver(gs, *e.env);
    auto *src = new ChunkSource(*e.env, {ts_packets(7, 1), ts_packets(7, 2), ts_packets(7, 3)});
    KelvMPEG2TransportStreamFramer *framer = KelvMPEG2TransportStreamFramer::createNew(*e.env, src);
    KelvSimpleRTPSink *sink = KelvSimpleRTPSink::createNew(*e.env, &gs, 33, 90000, "video", "MP2T", 1, true, false);
    EXPECT_EQ(sink->maxPacketSize(), 1432u);
    sink->startPlaying(*framer, nullptr, nullptr);
    drain(r, e, 3);
    ASSERT_GE(r.packets.size(), 3u);
    for (auto &pk : r.packets) {
        EXPECT_LE(pk.size(), 1432u);
        EXPECT_EQ((pk.size() - 12) % 188, 0u);
        EXPECT_EQ(pk[1] & 0x80, 0) << "no marker bit";
        EXPECT_EQ(pk[1] & 0x7f, 33);
        EXPECT_EQ(pk[12], 0x47);
    }
    Medium::close(sink);
    Medium::close(framer);
    close(r.fd);
    p->UDPPacketSize = saved;
}

TEST(RtpSinks, SmallUdpPacketSizeStillCarriesWholeTransportPackets)
{
    Env e;
    ParamBlock *p = rtsp_param_block();
    uint32_t saved = p->UDPPacketSize;
    p->UDPPacketSize = 30;
    Groupsock gs(*e.env, Port(0));
    Received r = receiver(gs, *e.env);
    auto *src = new ChunkSource(*e.env, {ts_packets(7, 1)});
    KelvMPEG2TransportStreamFramer *framer = KelvMPEG2TransportStreamFramer::createNew(*e.env, src);
    KelvSimpleRTPSink *sink = KelvSimpleRTPSink::createNew(*e.env, &gs, 33, 90000, "video", "MP2T", 1, true, false);
    sink->startPlaying(*framer, nullptr, nullptr);
    drain(r, e, 7);
    ASSERT_EQ(r.packets.size(), 7u);
    for (auto &pk : r.packets) {
        EXPECT_EQ(pk.size(), 12u + 188u);
        EXPECT_EQ(pk[12], 0x47);
    }
    Medium::close(sink);
    Medium::close(framer);
    close(r.fd);
    p->UDPPacketSize = saved;
}

TEST(RtpSinks, PcmFramesSplitOnlyBetweenSamples)
{
    Env e;
    ParamBlock *p = rtsp_param_block();
    uint32_t saved = p->UDPPacketSize;
    p->UDPPacketSize = 28 + 12 + 203;   // room for 203 bytes: not a whole number of stereo samples
    Groupsock gs(*e.env, Port(0));
    Received r = receiver(gs, *e.env);
    std::vector<uint8_t> pcm(1000);
    for (size_t i = 0; i < pcm.size(); i++)
        pcm[i] = (uint8_t)i;
    auto *src = new ChunkSource(*e.env, {pcm});
    KelvSimpleRTPSink *sink = KelvSimpleRTPSink::createNew(*e.env, &gs, 97, 48000, "audio", "L16", 2, true, false);
    sink->startPlaying(*src, nullptr, nullptr);
    drain(r, e, 5);
    ASSERT_GE(r.packets.size(), 5u);
    size_t total = 0;
    for (auto &pk : r.packets) {
        ASSERT_GT(pk.size(), 12u);
        EXPECT_EQ((pk.size() - 12) % 4, 0u) << "a stereo 16-bit sample was cut";
        total += pk.size() - 12;
    }
    EXPECT_EQ(total, pcm.size());
    Medium::close(sink);
    Medium::close(src);
    close(r.fd);
    p->UDPPacketSize = saved;
}

TEST(RtpSinks, FramerRealignsOnTheSyncByte)
{
    Env e;
    std::vector<uint8_t> d = ts_packets(8, 5);
    // The input starts 5 bytes into a packet.
    std::vector<uint8_t> first(d.begin() + 183, d.begin() + 183 + 1316), rest(d.begin() + 183 + 1316, d.end());
    auto *src = new ChunkSource(*e.env, {first, rest});
    KelvMPEG2TransportStreamFramer *framer = KelvMPEG2TransportStreamFramer::createNew(*e.env, src);
    std::vector<uint8_t> out(1316);
    unsigned got = 0;
    framer->getNextFrame(out.data(), (unsigned)out.size(),
                         [](void *c, unsigned size, unsigned, struct timeval, unsigned) { *static_cast<unsigned *>(c) = size; },
                         &got, nullptr, nullptr);
    EXPECT_EQ(got, 1316u);
    EXPECT_EQ(out[0], 0x47);
    EXPECT_EQ(out[188], 0x47);
    EXPECT_EQ(out[1128], 0x47);
    ASSERT_EQ(src->asked.size(), 2u);
    EXPECT_EQ(src->asked[1], 5u) << "the missing bytes are read from the input";
    Medium::close(framer);
}

TEST(RtpSinks, PcmFragmentsStampedWithTheirFirstSample)
{
    Env e;
    Groupsock gs(*e.env, Port(0));
    Received r = receiver(gs, *e.env);
    // One frame of 2000 stereo samples goes out in several packets.
    std::vector<uint8_t> pcm(8000, 0x5a);
    auto *src = new ChunkSource(*e.env, {pcm});
    SimpleRTPSink *sink = SimpleRTPSink::createNew(*e.env, &gs, 96, 48000, "audio", "L16", 2, true, true);
    sink->startPlaying(*src, nullptr, nullptr);
    drain(r, e, 6);
    ASSERT_GE(r.packets.size(), 6u);
    size_t total = 0;
    for (size_t i = 0; i + 1 < r.packets.size(); i++) {
        uint32_t a, b;
        memcpy(&a, r.packets[i].data() + 4, 4);
        memcpy(&b, r.packets[i + 1].data() + 4, 4);
        EXPECT_EQ(ntohl(b) - ntohl(a), (r.packets[i].size() - 12) / 4) << "packet " << i;
        total += r.packets[i].size() - 12;
    }
    EXPECT_EQ(total + r.packets.back().size() - 12, pcm.size());
    Medium::close(sink);
    Medium::close(src);
    close(r.fd);
}
