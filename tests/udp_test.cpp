// The UDP sender's packet layouts, payload sizes, time stamps and audio summary, and
// waitConnection against real sockets on loopback.
#include "streaming/udp.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <vector>

namespace {
std::vector<std::vector<uint8_t>> packets;

int collect(void *, const uint8_t *p, size_t n)
{
    packets.emplace_back(p, p + n);
    return 0;
}

uint32_t le32(const uint8_t *p)
{
    return p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24;
}

std::vector<uint8_t> frame(size_t n)
{
    std::vector<uint8_t> f(n);
    for (size_t i = 0; i < n; i++)
        f[i] = (uint8_t)(i * 13 + 1);
    return f;
}

// The frame bytes carried by the packets, headers taken off.
std::vector<uint8_t> payload(size_t first_head, size_t head)
{
    std::vector<uint8_t> out;
    for (size_t i = 0; i < packets.size(); i++)
        out.insert(out.end(), packets[i].begin() + (i ? head : first_head), packets[i].end());
    return out;
}
} // namespace

TEST(Udp, PayloadSizesKeepDatagramsWithinThePacketSize)
{
    EXPECT_EQ(udp_payload_size(0, 1460), 1432u);
    EXPECT_EQ(udp_payload_size(1, 1460), 1432u);
    EXPECT_EQ(udp_payload_size(4, 1500), 1472u);
    EXPECT_EQ(udp_payload_size(2, 100), 1472u);
    // Too small for any payload, or for mode 1's counter: the default.
    EXPECT_EQ(udp_payload_size(0, 1), 1400u);
    EXPECT_EQ(udp_payload_size(0, 28), 1400u);
    EXPECT_EQ(udp_payload_size(0, 29), 1u);
    EXPECT_EQ(udp_payload_size(1, 29), 1400u);
    EXPECT_EQ(udp_payload_size(1, 30), 1400u);
    EXPECT_EQ(udp_payload_size(1, 31), 3u);
}

// A transport stream goes out in whole 188-byte packets: seven at the usual 1460, one where the
// setting leaves less, after mode 1's counter alike.
TEST(Udp, TransportStreamDatagramsCarryWholePackets)
{
    EXPECT_EQ(udp_payload_size(0, 1460, true), 1316u);
    EXPECT_EQ(udp_payload_size(1, 1460, true), 2u + 1316);
    EXPECT_EQ(udp_payload_size(0, 100, true), 188u);
    EXPECT_EQ(udp_payload_size(1, 1, true), 2u + 7 * 188);
    std::vector<uint8_t> ts(40 * 188);
    for (size_t i = 0; i < ts.size(); i += 188)
        ts[i] = 0x47;
    UdpFrameInfo info = {7, 0, 0, 0, 30};
    for (int mode : {0, 1}) {
        size_t s = udp_payload_size(mode, 1460, true), head = mode == 1 ? 2 : 0;
        std::vector<uint8_t> scratch(s);
        packets.clear();
        ASSERT_EQ(udp_packetize(mode, ts.data(), ts.size(), s, &info, scratch.data(), collect, nullptr), 0);
        EXPECT_EQ(packets.size(), 6u) << mode;   // 40 packets: five datagrams of seven, one of five
        for (auto &p : packets) {
            EXPECT_EQ((p.size() - head) % 188, 0u) << mode;
            EXPECT_EQ(p[head], 0x47) << mode;
        }
        EXPECT_EQ(payload(head, head), ts) << mode;
    }
}

TEST(Udp, PlainAndCountedPackets)
{
    std::vector<uint8_t> f = frame(5000);
    UdpFrameInfo info = {0x1234 + 0x10000, 0, 0, 0, 30};
    packets.clear();
    ASSERT_EQ(udp_packetize(0, f.data(), f.size(), 1432, &info, nullptr, collect, nullptr), 0);
    ASSERT_EQ(packets.size(), 4u);
    EXPECT_EQ(packets[0].size(), 1432u);
    EXPECT_EQ(packets[3].size(), 5000u - 3 * 1432);
    EXPECT_EQ(payload(0, 0), f);

    std::vector<uint8_t> scratch(1432);
    packets.clear();
    ASSERT_EQ(udp_packetize(1, f.data(), f.size(), 1432, &info, scratch.data(), collect, nullptr), 0);
    ASSERT_EQ(packets.size(), 4u);
    for (auto &p : packets) {
        EXPECT_LE(p.size(), 1432u);
        EXPECT_EQ(p[0], 0x34);   // counter's low 16 bits, little-endian
        EXPECT_EQ(p[1], 0x12);
    }
    EXPECT_EQ(packets[0].size(), 1432u);
    EXPECT_EQ(payload(2, 2), f);
    // A payload of 3 bytes still makes progress: one frame byte a packet.
    std::vector<uint8_t> small(3);
    packets.clear();
    ASSERT_EQ(udp_packetize(1, f.data(), 10, 3, &info, small.data(), collect, nullptr), 0);
    EXPECT_EQ(packets.size(), 10u);
}

TEST(Udp, HeadedPacketsCarryThePictureInfoFirst)
{
    UdpFrameInfo info = {7, 1700000000, 330000, 192, 25};
    std::vector<uint8_t> scratch(1472);
    std::vector<uint8_t> f = frame(100);
    packets.clear();
    ASSERT_EQ(udp_packetize(2, f.data(), f.size(), 1472, &info, scratch.data(), collect, nullptr), 0);
    ASSERT_EQ(packets.size(), 1u);
    const uint8_t *p = packets[0].data();
    EXPECT_EQ(packets[0].size(), 160u);
    EXPECT_EQ(p[0], 0);
    EXPECT_EQ(p[1], 0);
    EXPECT_EQ(p[2], 1);
    EXPECT_EQ(p[4], 1);
    EXPECT_EQ(le32(p + 8), 7u);
    EXPECT_EQ(le32(p + 12), 144u);
    const uint8_t *pi = p + 16;
    const uint8_t head[8] = {0, 0, 1, 0xB2, 1, 0, 0, 1}, fixed[4] = {0x0C, 1, 0, 3};
    EXPECT_EQ(memcmp(pi, head, 8), 0);
    EXPECT_EQ(le32(pi + 8), 132u);
    EXPECT_EQ(le32(pi + 12), 1700000000u);
    EXPECT_EQ(memcmp(pi + 16, fixed, 4), 0);
    EXPECT_EQ(le32(pi + 20), 7u);
    EXPECT_EQ(pi[24], 192);
    EXPECT_EQ(pi[25], 9);
    EXPECT_EQ(pi[27], 25);
    EXPECT_EQ(le32(pi + 28), 1700000000u);
    EXPECT_EQ(le32(pi + 32), 330000u);
    EXPECT_EQ(std::vector<uint8_t>(p + 60, p + 160), f);

    f = frame(1500);
    packets.clear();
    ASSERT_EQ(udp_packetize(2, f.data(), f.size(), 1472, &info, scratch.data(), collect, nullptr), 0);
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(packets[0].size(), 1472u);
    EXPECT_EQ(packets[0][2], 0);
    EXPECT_EQ(packets[1].size(), 104u);
    EXPECT_EQ(packets[1][2], 1);
    EXPECT_EQ(packets[1][4], 2);
    EXPECT_EQ(le32(packets[1].data() + 12), 1544u);
    EXPECT_EQ(payload(60, 16), f);
}

TEST(Udp, ResolutionCodes)
{
    EXPECT_EQ(udp_resolution_code(640, 480, 1), 192);
    EXPECT_EQ(udp_resolution_code(640, 480, 0), 64);
    EXPECT_EQ(udp_resolution_code(720, 576, 0), 3);
    EXPECT_EQ(udp_resolution_code(160, 120, 1), 71);
    EXPECT_EQ(udp_resolution_code(641, 480, 0), 255);
}

TEST(Udp, StampsBecomeSecondsAndHundredthsAcrossTheClockWrap)
{
    UdpTimeBase b = {0xFFFFF000u, 1000};
    uint32_t s, us;
    udp_time_of(&b, 0xFFFFF000u + 45000, &s, &us);
    EXPECT_EQ(s, 1000u);
    EXPECT_EQ(us, 500000u);
    udp_time_of(&b, 0xFFFFF000u + 90000 * 3 + 899, &s, &us);   // past the 32-bit wrap
    EXPECT_EQ(s, 1003u);
    EXPECT_EQ(us, 0u);
    udp_time_of(&b, 0xFFFFF000u + 90000 * 2 + 90, &s, &us);    // earlier than the moved base
    EXPECT_EQ(s, 1002u);
    EXPECT_EQ(us, 0u);
    udp_time_of(&b, 0xFFFFF000u + 90000 * 2 - 900, &s, &us);
    EXPECT_EQ(s, 1001u);
    EXPECT_EQ(us, 990000u);
}

namespace {
struct Emitted {
    std::vector<std::vector<int16_t>> windows;
    std::vector<int> ends;
    std::vector<uint32_t> counters;
    int fail_at = -1;
};

int emit(void *ctx, const int16_t *values, int end_pair, uint32_t counter)
{
    Emitted *e = (Emitted *)ctx;
    if ((int)e->windows.size() == e->fail_at)
        return -1;
    e->windows.emplace_back(values, values + 512);
    e->ends.push_back(end_pair);
    e->counters.push_back(counter);
    return 0;
}
} // namespace

TEST(Udp, AudioSummaryAveragesTwelveSamples)
{
    // Sample k (interleaved) is k % 1000 - 500, over three frames of 2048 samples.
    std::vector<int16_t> all;
    UdpSummary s = {};
    Emitted e;
    for (int f = 0; f < 3; f++) {
        std::vector<uint8_t> pcm(4096);
        for (int i = 0; i < 2048; i++) {
            int16_t v = (int16_t)((f * 2048 + i) % 1000 - 500);
            all.push_back(v);
            pcm[i * 2] = (uint8_t)v;
            pcm[i * 2 + 1] = (uint8_t)((uint16_t)v >> 8);
        }
        ASSERT_EQ(udp_summary_feed(&s, pcm.data(), pcm.size(), emit, &e), 0);
    }
    // 6144 samples make exactly one window of 512 means, completed at the last pair.
    ASSERT_EQ(e.windows.size(), 1u);
    EXPECT_EQ(e.ends[0], 1023);
    EXPECT_EQ(e.counters[0], 0u);
    EXPECT_EQ(s.packets, 1u);
    for (int v = 0; v < 512; v++) {
        int sum = 0;
        for (int k = 0; k < 12; k++)
            sum += all[v * 12 + k];
        ASSERT_EQ(e.windows[0][v], sum / 12) << v;
    }
    std::vector<uint8_t> odd(4000);
    EXPECT_EQ(udp_summary_feed(&s, odd.data(), odd.size(), emit, &e), -1);

    uint8_t packet[UDP_SUMMARY_PACKET];
    udp_summary_packet(packet, 9, 100, 20000, e.windows[0].data());
    EXPECT_EQ(packet[1], 1);
    EXPECT_EQ(packet[2], 1);
    EXPECT_EQ(packet[4], 1);
    EXPECT_EQ(le32(packet + 8), 9u);
    EXPECT_EQ(le32(packet + 12), 1052u);
    EXPECT_EQ(packet[20], 2);
    EXPECT_EQ(le32(packet + 24), 1040u);
    EXPECT_EQ(le32(packet + 28), 100u);
    EXPECT_EQ(le32(packet + 32), 20000u);
    EXPECT_EQ((int16_t)(packet[44] | packet[45] << 8), e.windows[0][0]);
    EXPECT_EQ((int16_t)(packet[1066] | packet[1067] << 8), e.windows[0][511]);

    // A failed send drops the window and says so.
    UdpSummary s2 = {};
    Emitted bad;
    bad.fail_at = 0;
    std::vector<uint8_t> pcm(4096);
    int rc = 0;
    for (int f = 0; f < 3 && rc == 0; f++)
        rc = udp_summary_feed(&s2, pcm.data(), pcm.size(), emit, &bad);
    EXPECT_EQ(rc, -2);
    EXPECT_EQ(s2.packets, 0u);
}

TEST(Udp, WaitConnectionSeesListenersAndRefusals)
{
    int listener = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, (struct sockaddr *)&a, sizeof a), 0);
    socklen_t l = sizeof a;
    getsockname(listener, (struct sockaddr *)&a, &l);

    int s = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_EQ(connect(s, (struct sockaddr *)&a, sizeof a), 0);
    EXPECT_EQ(waitConnection(s, &a, 0), 0);
    EXPECT_EQ(waitConnection(s, &a, 2), 0);
    close(listener);
    // Nobody there any more: a second of refusals, then "port timeout".
    EXPECT_EQ(waitConnection(s, &a, 1), 2);
    close(s);
}
