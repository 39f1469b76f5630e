#include "streams/stream_share.h"

#include "stream_testutil.h"
#include "streams/stream_mode.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>
#include <vector>

// Readers on threads of their own join, read and leave one row's share while the producer puts
// frames: every unit they get is whole packets, each reader's first unit opens with the PAT, and
// the last one to leave frees the share.
TEST(Concurrency, ReadersJoiningAndLeavingAShareGetWholeUnits)
{
    TestQueue q(VIDEO_STREAM1, 1 << 20, 64);
    std::atomic<bool> done{false};
    std::atomic<int> units{0}, torn{0}, bad_start{0}, failed_join{0};

    auto reader = [&](int rounds) {
        std::vector<uint8_t> copy;
        for (int r = 0; r < rounds && !done.load(); r++) {
            StreamShareReader rd{};
            StreamShare *sh = stream_share_join(VIDEO_STREAM1, StreamMode_H264_TS, &rd);
            if (!sh) {
                failed_join++;
                return;
            }
            bool first = true;
            for (int got = 0; got < 20 && !done.load();) {
                stream_share_pump(sh);
                const uint8_t *d;
                uint32_t len, seq;
                if (stream_share_next(&rd, &d, &len, &seq) <= 0) {
                    usleep(500);
                    continue;
                }
                copy.assign(d, d + len);
                if (!stream_share_held(sh, seq))
                    continue;
                if (len % 188 != 0 || copy[0] != 0x47)
                    torn++;
                if (first && (((copy[1] & 0x1F) << 8) | copy[2]) != 0)
                    bad_start++;
                first = false;
                got++;
                units++;
            }
            stream_share_leave(&rd);
        }
    };
    std::vector<std::thread> readers;
    for (int i = 0; i < 4; i++)
        readers.emplace_back(reader, 3);

    uint32_t ts = 90000;
    for (int i = 0; i < 3000 && units.load() < 4 * 3 * 20; i++) {
        ASSERT_EQ(q.put(1000 + (uint32_t)(i % 7) * 300, ts, i % 10 == 0 ? (uint32_t)RB_FLAG_KEYFRAME : 0u,
                        (uint8_t)i),
                  0);
        ts += 3003;
        usleep(1000);
    }
    done = true;
    for (std::thread &t : readers)
        t.join();
    EXPECT_EQ(failed_join.load(), 0);
    EXPECT_EQ(units.load(), 4 * 3 * 20);
    EXPECT_EQ(torn.load(), 0);
    EXPECT_EQ(bad_start.load(), 0);
    EXPECT_EQ(stream_share_count(), 0);
    EXPECT_EQ(stream_users_by_id(VIDEO_STREAM1), 0);
}
