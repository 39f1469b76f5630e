// The output thread's network input on loopback: transports chosen by the URL, empty datagrams,
// source filtering, the end of a TCP client, failed opens stopping stream 3, and the latency
// estimator.
#include "video/netinput.h"

#include "core/param.h"
#include "streams/stream.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

StreamRunState run3;

struct Input {
    ParamBlock p = {};
    OutputReceiveState rs = {};
    std::vector<uint8_t> buf;
    Input(const char *url, uint16_t port, size_t size = OUTPUT_RECEIVE_SIZE) : buf(size)
    {
        snprintf(p.Display.URL, sizeof p.Display.URL, "%s", url);
        p.Display.UDPPort = port;
        output_receive_init(&rs, nullptr);
        rs.data = buf.data();
        rs.size = buf.size();
    }
    ~Input() { output_close_input(&rs); }
};

void registered()
{
    static bool done = false;
    if (!done)
        stream_register(&run3, nullptr, OUTPUT_STREAM);
    done = true;
    stream_set_state_by_id(OUTPUT_STREAM, STREAM_START);
    stream_wait_start(&run3);   // running, nothing pending
}

uint16_t free_port(int type)
{
    int s = socket(AF_INET, type, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a);
    socklen_t l = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr *>(&a), &l);
    close(s);
    return ntohs(a.sin_port);
}

int udp_from(const char *src, uint16_t port, const void *d, size_t n)
{
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    inet_aton(src, &a.sin_addr);
    if (bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(s);
        return -1;
    }
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    int r = (int)sendto(s, d, n, 0, reinterpret_cast<sockaddr *>(&a), sizeof a);
    close(s);
    return r;
}

int tcp_connect(uint16_t port)
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    if (connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(s);
        return -1;
    }
    return s;
}

uint8_t run_flags()
{
    pthread_mutex_lock(&run3.mutex);
    uint8_t f = run3.flags;
    pthread_mutex_unlock(&run3.mutex);
    return f;
}

} // namespace

TEST(NetInput, UrlSelectsTransportAndLatencyMode)
{
    registered();
    struct Case {
        const char *url;
        bool tcp, low;
        const char *status;
    } cases[] = {{"", false, true, "Listening... UDP (low-latency)"},
                 {"LLTCP", true, true, "Accepted client 127.0.0.1"},
                 {"tcp", true, false, "Accepted client 127.0.0.1"}};
    for (const Case &c : cases) {
        Input in(c.url, free_port(c.tcp ? SOCK_STREAM : SOCK_DGRAM));
        int client = -1;
        std::thread t;
        if (c.tcp)
            // Tries for up to 10 s: a busy machine may be slow to get to the listen.
            t = std::thread([&] {
                for (int i = 0; i < 1000 && client < 0; i++) {
                    client = tcp_connect(in.p.Display.UDPPort);
                    if (client < 0)
                        usleep(10000);
                }
            });
        int opened = output_open_input(&in.rs, &in.p, &run3);
        if (t.joinable())
            t.join();   // before any assertion ends the case, or the joinable thread aborts it
        ASSERT_EQ(opened, 0) << c.url;
        EXPECT_EQ(in.rs.transportIsTcp, c.tcp) << c.url;
        EXPECT_EQ(in.rs.lowLatency, c.low) << c.url;
        EXPECT_STREQ(decoder_status_text, c.status) << c.url;
        if (client >= 0)
            close(client);
    }
}

TEST(NetInput, EmptyDatagramEndsNothingAndFilterKeepsOneSender)
{
    registered();
    uint16_t port = free_port(SOCK_DGRAM);
    Input in("127.0.0.2", port);
    ASSERT_EQ(output_open_input(&in.rs, &in.p, &run3), 0);
    EXPECT_EQ(in.rs.sourceFilter, inet_addr("127.0.0.2"));
    ASSERT_EQ(udp_from("127.0.0.2", port, "", 0), 0);
    ASSERT_EQ(udp_from("127.0.0.3", port, "other", 5), 5);
    ASSERT_EQ(udp_from("127.0.0.2", port, "kept", 4), 4);
    long fill = output_receive(&in.rs, 7);
    EXPECT_EQ(fill, 4);
    EXPECT_EQ(std::string((char *)in.buf.data(), 4), "kept");
    EXPECT_GE(in.rs.sock, 0) << "an empty datagram closed the input";
    EXPECT_EQ(run_flags() & (RUN_STOP_PENDING | RUN_STOPPED), 0);
    EXPECT_STREQ(decoder_status_text, "7 frames decoded, 4 bytes received from 127.0.0.2");
    // A silent second on UDP is no end either.
    EXPECT_EQ(output_receive(&in.rs, 7), 4);
    EXPECT_GE(in.rs.sock, 0);
}

TEST(NetInput, UdpSocketHoldsASecondOfEightMegabitsWhileNobodyReads)
{
    // A receive round stalled by decoding: every datagram sent meanwhile must still be there.
    registered();
    uint16_t port = free_port(SOCK_DGRAM);
    Input in("udp", port);
    ASSERT_EQ(output_open_input(&in.rs, &in.p, &run3), 0);
    int tx = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    std::vector<uint8_t> d(1316, 0x47);
    const int count = 8000000 / 8 / 1316;   // one second at 8 Mbit/s
    for (int i = 0; i < count; i++)
        ASSERT_EQ(sendto(tx, d.data(), d.size(), 0, reinterpret_cast<sockaddr *>(&a), sizeof a), (ssize_t)d.size());
    close(tx);
    uint64_t expect = (uint64_t)count * d.size();
    for (int round = 0; round < 20 && in.rs.bytesReceived < expect; round++) {
        ASSERT_GE(output_receive(&in.rs, 0), 0);
        output_receive_consume(&in.rs, in.rs.fill);
    }
    EXPECT_EQ(in.rs.bytesReceived, expect);
}

TEST(NetInput, LowFreeSpaceReadsNothingAndConsumeMovesTheRest)
{
    registered();
    uint16_t port = free_port(SOCK_DGRAM);
    Input in("", port, 4000);
    ASSERT_EQ(output_open_input(&in.rs, &in.p, &run3), 0);
    std::vector<uint8_t> d(2600, 0xab);
    d[100] = 1;
    ASSERT_EQ(udp_from("127.0.0.1", port, d.data(), d.size()), 2600);
    ASSERT_EQ(udp_from("127.0.0.1", port, d.data(), 100), 100);
    // 1400 bytes free after the first datagram: the second waits for room.
    EXPECT_EQ(output_receive(&in.rs, 0), 2600);
    output_receive_consume(&in.rs, 100);
    EXPECT_EQ(in.rs.fill, 2500u);
    EXPECT_EQ(in.buf[0], 1);
    EXPECT_EQ(output_receive(&in.rs, 0), 2600);
}

TEST(NetInput, TcpClientSilentForASecondIsDroppedAndTheStreamRestarts)
{
    registered();
    uint16_t port = free_port(SOCK_STREAM);
    Input in("tcp", port);
    int client = -1;
    std::thread t([&] {
        for (int i = 0; i < 100 && client < 0; i++) {
            client = tcp_connect(port);
            if (client < 0)
                usleep(10000);
        }
        if (client >= 0)
            send(client, "abc", 3, 0);
    });
    ASSERT_EQ(output_open_input(&in.rs, &in.p, &run3), 0);
    t.join();
    EXPECT_EQ(output_receive(&in.rs, 0), 3);
    EXPECT_EQ(output_receive(&in.rs, 0), OUTPUT_RECEIVE_ENDED);
    EXPECT_LT(in.rs.sock, 0);
    // Stop then start pending: this stream ends, the next one listens again.
    EXPECT_EQ(run_flags() & (RUN_STOP_PENDING | RUN_START_PENDING), RUN_STOP_PENDING | RUN_START_PENDING);
    EXPECT_EQ(stream_wait_start(&run3), RUN_START_PENDING);
    close(client);
}

TEST(NetInput, TcpClientThatClosesEndsTheConnection)
{
    // Without bytes held the end is at once; with bytes held they are read first as the last
    // packet, and then the sender is ended as a clean end is.
    for (const char *sent : {"", "abc"}) {
        registered();
        uint16_t port = free_port(SOCK_STREAM);
        Input in("tcp", port);
        std::thread t([&] {
            int c = -1;
            for (int i = 0; i < 100 && c < 0; i++) {
                c = tcp_connect(port);
                if (c < 0)
                    usleep(10000);
            }
            if (c >= 0) {
                send(c, sent, strlen(sent), 0);
                close(c);
            }
        });
        ASSERT_EQ(output_open_input(&in.rs, &in.p, &run3), 0);
        t.join();
        long r = 0;
        for (int i = 0; i < 10 && r == 0 && !in.rs.lastpacket; i++)
            r = output_receive(&in.rs, 0);
        if (!*sent) {
            EXPECT_EQ(r, OUTPUT_RECEIVE_ENDED);
        } else {
            EXPECT_EQ(r, 3);
            EXPECT_TRUE(in.rs.lastpacket);
            EXPECT_LT(in.rs.sock, 0);
            EXPECT_EQ(run_flags() & RUN_STOP_PENDING, 0);
            output_end_sender(&in.rs, "end of its data");
        }
        EXPECT_EQ(run_flags() & (RUN_STOP_PENDING | RUN_START_PENDING), RUN_STOP_PENDING | RUN_START_PENDING) << sent;
        EXPECT_EQ(stream_wait_start(&run3), RUN_START_PENDING);
    }
}

TEST(NetInput, FailedBindStopsStreamThree)
{
    registered();
    uint16_t port = free_port(SOCK_STREAM);
    int holder = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ASSERT_EQ(listen(holder, 1), 0);
    Input in("tcp", port);
    EXPECT_EQ(output_open_input(&in.rs, &in.p, &run3), -1);
    EXPECT_LT(in.rs.sock, 0);
    // Stopped: the status reads so and the thread's next wait blocks rather than spins.
    EXPECT_EQ(run_flags() & RUN_STOPPED, RUN_STOPPED);
    EXPECT_EQ(stream_get_state_by_id(OUTPUT_STREAM), 0);
    close(holder);
}

TEST(NetInput, StopWhileListeningReturns)
{
    registered();
    Input in("tcp", free_port(SOCK_STREAM));
    std::thread t([] {
        usleep(50000);
        stream_set_state_by_id(OUTPUT_STREAM, STREAM_STOP);
    });
    EXPECT_EQ(output_open_input(&in.rs, &in.p, &run3), -1);
    t.join();
}

TEST(LatencyEstimate, SteadyLeadOfTenThousandTicksDropsUntilWithinTwoIntervals)
{
    // Lead settled at 10000 ticks, no variance, frames 1920 ticks apart.
    LatencyEstimator e;
    latency_start(&e, 1920);
    e.lead = 10000;
    uint32_t heard = 500000, t = heard + 10000, prev = t - 1920;
    int drops = 0;
    for (int i = 0; i < 20; i++) {
        int d = latency_estimate(&e, heard, t, prev);
        drops += d;
        if (!d)
            break;
        // A dropped frame brings the next one a frame closer to what is heard.
        prev = t;
        t += 1920;
        heard += 3840;
    }
    EXPECT_GE(drops, 3);
    EXPECT_LE(e.lead, (int32_t)(2 * e.interval + 1920));
}

TEST(LatencyEstimate, OneStepFollowsTheFormulas)
{
    LatencyEstimator e;
    latency_start(&e, 1920);
    e.lead = 10000;
    // sample 10000: lead stays, variance 0, limit (10000 - 3840) / 3 = 2053: dropped.
    EXPECT_EQ(latency_estimate(&e, 90000, 100000, 100000 - 1920), 1);
    EXPECT_EQ(e.interval, 1920u);
    EXPECT_EQ(e.variance, 0u);
    EXPECT_EQ(e.lead, 10000 - 1920);
    // Behind what is heard: never dropped; the negative sample is rounded up by one.
    latency_start(&e, 1920);
    EXPECT_EQ(latency_estimate(&e, 100000, 90000, 90000 - 1920), 0);
    EXPECT_EQ(e.lead, (-10000 + 1) / 32);
    // Near live: kept.
    latency_start(&e, 1920);
    EXPECT_EQ(latency_estimate(&e, 100000, 101000, 99080), 0);
    // Noisy lead: the variance holds the drop back.
    latency_start(&e, 1920);
    e.lead = 10000;
    e.variance = 5000000;
    EXPECT_EQ(latency_estimate(&e, 90000, 100000, 98080), 0);
}
