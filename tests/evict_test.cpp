#include "core/evict.h"
#include "core/util.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

const int64_t NOW = 1000000000;   // µs

struct Crowd {
    std::vector<EvictEntry> entries;
    std::vector<EvictEntry *> list;
    EvictState state;
    Crowd()
    {
        entries.reserve(64);   // the pointers add() hands out stay valid
        evict_init(&state, EVICT_IDLE_MS);
    }
    // `idle_s` seconds since its last activity.
    EvictEntry *add(uint32_t addr, int idle_s)
    {
        entries.push_back({addr, -1, NOW - idle_s * 1000000LL, false, false, false, nullptr});
        return &entries.back();
    }
    int choose(uint32_t newcomer, int64_t now = NOW)
    {
        list.clear();
        for (EvictEntry &e : entries)
            list.push_back(&e);
        int i = evict_choose(&state, list.data(), list.size(), newcomer, now);
        if (i >= 0)
            entries[i].gone = true;
        return i;
    }
};

} // namespace

TEST(Evict, LongIdleGivesWayToAnyAddressLongestFirst)
{
    // One connection per address, so the address rule alone never takes any.
    Crowd c;
    c.add(1, 12);
    c.add(2, 30);
    c.add(3, 11);
    c.add(4, 2);
    EXPECT_EQ(c.choose(9), 1);
    EXPECT_EQ(c.choose(9), 0);
    EXPECT_EQ(c.choose(9), 2);
    EXPECT_EQ(c.choose(9), -1);   // idle 2 s, its address holds no more than the newcomer's
}

TEST(Evict, ACrowdsRedialTakesNoPlaceByAgeAFreshAddressDoes)
{
    // Each address of the crowd holds one place and dials again for a second: its redial finds
    // long idle places, but only at addresses holding no more than its own.
    Crowd c;
    for (uint32_t a = 1; a <= 8; a++)
        c.add(a, 20);
    EXPECT_EQ(c.choose(3), -1);
    EXPECT_EQ(c.choose(100), 0);   // an address holding none: the longest idle of the crowd's
}

TEST(Evict, ShortIdleGoesOnlyUnderTheAddressRule)
{
    Crowd c;
    c.add(1, 5);
    c.add(1, 6);
    c.add(2, 8);
    EXPECT_EQ(c.choose(1), -1);   // never the newcomer's own address while short idle
    EXPECT_EQ(c.choose(2), -1);   // address 1 holds 2, not two more than address 2's 1
    EXPECT_EQ(c.choose(3), 1);    // two more than none: the longer idle of address 1
    EXPECT_EQ(c.choose(3), -1);   // address 1 now holds one
}

TEST(Evict, BusyAndUnreadNeverGo)
{
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    ASSERT_EQ(write(sv[1], "G", 1), 1);   // a request arriving, not yet read
    Crowd c;
    c.add(1, 60)->busy = true;            // an answer or an upload in progress
    c.add(2, 50)->fd = sv[0];
    for (int i = 0; i < 4; i++)
        c.add(5, 40)->busy = true;        // an address holding many, each busy
    EXPECT_EQ(c.choose(9), -1);
    c.add(3, 3);
    EXPECT_EQ(c.choose(9), -1);
    close(sv[0]);
    close(sv[1]);
}

TEST(Evict, SlowHeadGivesWayFreshHeadAndUploadNever)
{
    // Each address holds two places (a slowloris crowd); none reaches the idle limit before the
    // request deadline, so only the head's age can free one for a fresh address.
    Crowd c;
    c.add(1, 4)->arriving_since_us = NOW - 3000000;   // a head trickling for 3 s
    c.add(1, 1)->arriving_since_us = NOW - 500000;    // a head begun half a second ago
    EvictEntry *upload = c.add(2, 5);                 // an upload body after a whole head
    upload->busy = true;
    c.add(2, 4)->arriving_since_us = NOW - 1000000;
    c.add(3, 9)->arriving_since_us = NOW - 8000000;
    c.add(3, 9)->arriving_since_us = NOW - EVICT_SLOW_HEAD_MS * 1000LL + 1;
    EXPECT_EQ(evict_idle_age(&c.entries[0], NOW), 3000000);   // idle from its first byte
    EXPECT_LT(evict_idle_age(&c.entries[1], NOW), 0);
    EXPECT_EQ(c.choose(9), 4);    // the longest slow head, at an address holding more than none
    EXPECT_EQ(c.choose(8), 0);
    EXPECT_EQ(c.choose(7), -1);   // fresh heads and the upload stay however full the server
    // A slow head is old only for a newcomer whose address holds fewer: the crowd's own redial
    // (address 1, holding one) takes no place of an address holding one.
    c.add(4, 0)->arriving_since_us = NOW - 5000000;
    EXPECT_EQ(c.choose(1), -1);
    EXPECT_EQ(c.choose(9), 6);
}

TEST(Evict, PlayerKeepingUpNeverGoesTrickleReaderCountsAsIdle)
{
    Crowd c;
    EvictFlow good = {}, slow = {};
    for (int64_t t = NOW - 25000000, sent = 0; t <= NOW; t += 1000000, sent += 100000) {
        evict_flow_note(&good, (uint64_t)sent, (uint64_t)sent, t);
        evict_flow_note(&slow, (uint64_t)sent, (uint64_t)sent / 20, t);   // 5 KB of 100 KB a second
    }
    // The player's address holds eight: without the rule it would be the one chosen.
    EvictEntry *player = c.add(1, 100);
    player->playing = true;
    player->flow = &good;
    for (int i = 0; i < 7; i++)
        c.add(1, 1)->playing = true;
    EXPECT_EQ(c.choose(9), -1);
    EXPECT_LT(evict_idle_age(player, NOW), 0);
    EvictEntry *trickle = c.add(2, 0);
    trickle->playing = true;
    trickle->flow = &slow;
    EXPECT_GE(evict_idle_age(trickle, NOW), EVICT_FLOW_WINDOW_MS * 1000);
    EXPECT_EQ(c.choose(9), 8);
}

TEST(Evict, FlowJudgesWholeWindowsAndForgetsOnceKeepingUp)
{
    EvictFlow f = {};
    const int64_t S = 1000000;
    evict_flow_note(&f, 0, 0, 1 * S);
    evict_flow_note(&f, 1000000, 50000, 11 * S - 1);
    EXPECT_EQ(f.slow_since_us, 0);                    // the window is not whole yet
    evict_flow_note(&f, 1000000, 50000, 11 * S);
    EXPECT_EQ(f.slow_since_us, 1 * S);                // a twentieth: slow since its start
    evict_flow_note(&f, 2000000, 150000, 21 * S);     // a tenth: keeping up
    EXPECT_EQ(f.slow_since_us, 0);
    evict_flow_note(&f, 2000000, 150000, 31 * S);     // nothing sent is not slow
    EXPECT_EQ(f.slow_since_us, 0);
}

// What a player took is what left its socket, not what was written into it: a reader that
// stops leaves the send buffer full, and the flow rule judges it slow.
TEST(Evict, SocketTakenLeavesOutWhatTheSocketStillHolds)
{
    int ls = socket(AF_INET, SOCK_STREAM, 0), rd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(bind(ls, (struct sockaddr *)&a, sizeof a), 0);
    ASSERT_EQ(listen(ls, 1), 0);
    ASSERT_EQ(getsockname(ls, (struct sockaddr *)&a, &len), 0);
    int small = 8192;
    setsockopt(rd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    ASSERT_EQ(connect(rd, (struct sockaddr *)&a, sizeof a), 0);
    int wr = accept(ls, nullptr, nullptr);
    ASSERT_GE(wr, 0);
    int rcvbuf = 0;
    len = sizeof rcvbuf;
    getsockopt(rd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, &len);

    std::vector<char> chunk(65536, 'x');
    uint64_t written = 0;
    for (ssize_t n; (n = send(wr, chunk.data(), chunk.size(), MSG_DONTWAIT)) > 0;)
        written += (uint64_t)n;
    ASSERT_GT(written, 4u * (uint64_t)rcvbuf);
    uint64_t taken = evict_socket_taken(wr, written);
    EXPECT_LE(taken, (uint64_t)rcvbuf) << "no more than the reader's buffer holds, of " << written;
    EvictFlow f = {};
    evict_flow_note(&f, 0, 0, NOW);
    evict_flow_note(&f, written, taken, NOW + EVICT_FLOW_WINDOW_MS * 1000LL);
    EXPECT_EQ(f.slow_since_us, NOW);

    // Once the reader has read everything, all of it was taken.
    uint64_t got = 0;
    for (int i = 0; i < 200 && (got < written || evict_socket_taken(wr, written) < written); i++) {
        ssize_t n;
        while ((n = recv(rd, chunk.data(), chunk.size(), MSG_DONTWAIT)) > 0)
            got += (uint64_t)n;
        usleep(10000);
    }
    EXPECT_EQ(got, written);
    EXPECT_EQ(evict_socket_taken(wr, written), written);
    EXPECT_EQ(evict_socket_taken(-1, 1234), 1234u) << "no socket: what was written";
    close(wr);
    close(rd);
    close(ls);
}

TEST(Evict, AddressPutOutByAgeTakesNoneByAgeAtOnce)
{
    // A crowd of one idle connection per address that dials again when closed.
    Crowd c;
    for (uint32_t a = 1; a <= 8; a++)
        c.add(a, 20 + (int)a);
    EXPECT_EQ(c.choose(100), 7);                      // a newcomer takes the longest idle
    EXPECT_EQ(c.choose(8), -1);                       // its address back at once takes nothing
    EXPECT_EQ(c.choose(101), 6);                      // the next newcomer still finds one idle
    EXPECT_EQ(c.choose(8, NOW + EVICT_IDLE_MS * 1000), 5);   // later it is a newcomer again
}

TEST(Evict, AtItsOwnLimitAnAddressTakesItsOwnLongestIdle)
{
    Crowd c;
    c.add(2, 60);
    c.add(1, 5)->busy = true;
    c.add(1, 3);
    c.add(1, 4);
    c.list.clear();
    for (EvictEntry &e : c.entries)
        c.list.push_back(&e);
    EXPECT_EQ(evict_choose_own(c.list.data(), c.list.size(), 1, NOW), 3);
    EXPECT_EQ(evict_choose_own(c.list.data(), c.list.size(), 3, NOW), -1);
}

TEST(Evict, ReportLineCountsWhatWasHeld)
{
    RateGate g = {};
    char more[64];
    EXPECT_TRUE(rate_gate_line(&g, 60000, more, sizeof more));
    EXPECT_STREQ(more, "");
    EXPECT_FALSE(rate_gate_line(&g, 60000, more, sizeof more));
    EXPECT_FALSE(rate_gate_line(&g, 60000, more, sizeof more));
    g.start_ms -= 60000;
    EXPECT_TRUE(rate_gate_line(&g, 60000, more, sizeof more));
    EXPECT_STREQ(more, " (2 more since the last report)");
}
