#include "streams/ringbuffer.h"

#include "core/soc.h"
#include "stream_testutil.h"

#include <atomic>
#include <chrono>
#include <ctime>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

namespace {

struct Calls {
    std::vector<uint32_t> seqs;
};

void record_call(void *user, uint32_t seq)
{
    static_cast<Calls *>(user)->seqs.push_back(seq);
}

// True when no two held frames share a byte of the data area.
bool held_frames_disjoint(TestQueue &t)
{
    std::vector<std::pair<uint32_t, uint32_t>> ranges;
    for (uint32_t i = t.q.tail; i != t.q.head; i = (i + 1) & t.q.mask)
        if (t.q.entries[i].length)
            ranges.push_back({t.q.entries[i].offset, t.q.entries[i].offset + t.q.entries[i].length});
    for (size_t a = 0; a < ranges.size(); a++)
        for (size_t b = a + 1; b < ranges.size(); b++)
            if (ranges[a].first < ranges[b].second && ranges[b].first < ranges[a].second)
                return false;
    return true;
}

} // namespace

TEST(Ringbuffer, HoldsAtMostEntriesMinusOneFrames)
{
    TestQueue t(VIDEO_STREAM2, 4096, 8);
    for (int i = 0; i < 7; i++)
        ASSERT_EQ(t.put(10, 1000 + i, 0), 0);
    EXPECT_TRUE(t.held(0));
    ASSERT_EQ(t.put(10, 2000, 0), 0);   // the 8th put drops the oldest
    EXPECT_FALSE(t.held(0));
    EXPECT_TRUE(t.held(1));
    EXPECT_TRUE(t.held(7));
    EXPECT_FALSE(t.held(8));   // not written yet
    pthread_mutex_lock(&t.q.mutex);
    EXPECT_EQ(ringbuffer_count(&t.q), 7);
    pthread_mutex_unlock(&t.q.mutex);
}

TEST(Ringbuffer, FrameThatDoesNotFitGoesToStartAndDropsWhatItOverlaps)
{
    TestQueue t(VIDEO_STREAM2, 1000, 16);
    ASSERT_EQ(t.put(300, 1, 0), 0);   // [0,300)
    ASSERT_EQ(t.put(300, 2, 0), 0);   // [320,620)
    ASSERT_EQ(t.put(300, 3, 0), 0);   // [640,940)
    EXPECT_EQ(ringbuffer_preallocate(&t.q, 100), 0);
    EXPECT_FALSE(t.held(0));
    EXPECT_TRUE(t.held(1));           // free slots do not save an overlapped frame, nor drop others
    ASSERT_EQ(ringbuffer_put(&t.q, 100, 4, 0), 0);
    EXPECT_EQ(t.entry(3).offset, 0u);
    EXPECT_EQ(t.q.write_offset, 128u);   // rounded up to the alignment
    EXPECT_TRUE(held_frames_disjoint(t));
}

TEST(Ringbuffer, OverlapScanLooksPastEndMarkers)
{
    TestQueue t(VIDEO_STREAM2, 1024, 16);
    ASSERT_EQ(t.put(512, 1, 0), 0);      // seq 0 [0,512)
    ASSERT_EQ(t.put(0, 0, 0), 0);        // seq 1 end marker at 512
    ASSERT_EQ(t.put(256, 2, 0), 0);      // seq 2 [512,768)
    ASSERT_EQ(t.put(256, 3, 0), 0);      // seq 3 [768,1024)
    ASSERT_EQ(t.put(512, 4, 0), 0);      // seq 4 wraps to [0,512), drops seq 0
    EXPECT_TRUE(t.held(1));
    // [512,768) misses the marker at 512 but meets seq 2 behind it.
    ASSERT_EQ(t.put(256, 5, 0), 0);
    EXPECT_FALSE(t.held(2));
    EXPECT_TRUE(t.held(3));
    EXPECT_TRUE(held_frames_disjoint(t));
}

TEST(Ringbuffer, WrapDropsNewerFramesItOverlapsBehindAnOlderOneItMisses)
{
    TestQueue t(VIDEO_STREAM2, 1024, 16);
    ASSERT_EQ(t.put(640, 1, 0), 0);   // seq 0 [0,640)
    ASSERT_EQ(t.put(160, 2, 0), 0);   // seq 1 [640,800)
    ASSERT_EQ(t.put(192, 3, 0), 0);   // seq 2 [800,992)
    ASSERT_EQ(t.put(64, 4, 0), 0);    // seq 3 wraps: [0,64), drops seq 0
    ASSERT_EQ(t.put(576, 5, 0), 0);   // seq 4 [64,640)
    EXPECT_TRUE(t.held(1));
    // The oldest frame (seq 1, at 640) is clear of [0,400), but seq 3 and 4 behind it are not.
    ASSERT_EQ(t.put(400, 6, 0), 0);
    EXPECT_FALSE(t.held(3));
    EXPECT_FALSE(t.held(4));
    EXPECT_TRUE(held_frames_disjoint(t));
}

TEST(Ringbuffer, OversizedFrameIsRefusedNotWrittenPastTheArea)
{
    TestQueue t(VIDEO_STREAM2, 1024, 16);
    ASSERT_EQ(t.put(100, 1, 0), 0);
    EXPECT_LT(ringbuffer_preallocate(&t.q, 1024), 0);
    EXPECT_LT(ringbuffer_preallocate(&t.q, 5000), 0);
    // A producer that puts more than fits after its preallocation publishes nothing.
    int off = ringbuffer_preallocate(&t.q, 100);
    ASSERT_GE(off, 0);
    EXPECT_LT(ringbuffer_put(&t.q, 1024, 2, 0), 0);
    EXPECT_EQ(t.seq(), 1u);
    EXPECT_TRUE(t.held(0));
}

TEST(Ringbuffer, EndMarkerWakesNobodyRunsNoCallbackAndReadsAsEmptyFrame)
{
    TestQueue t(VIDEO_STREAM2, 4096, 16);
    Calls calls;
    StreamCallback node = {nullptr, record_call, &calls};
    stream_add_callback(t.id, &node);
    ASSERT_EQ(t.put(10, 5, RB_FLAG_KEYFRAME), 0);
    ASSERT_EQ(t.put(0, 0, 0), 0);
    ASSERT_EQ(t.put(10, 6, 0), 0);
    stream_remove_callback(t.id, &node);
    EXPECT_EQ(calls.seqs, (std::vector<uint32_t>{0, 2}));
    uint32_t seq = 1, off, len = 99, ts = 99, fl;
    ASSERT_EQ(ringbuffer_wait_seq(&t.q, &seq, &off, &len, &ts, &fl, 0, nullptr), 0);
    EXPECT_EQ(len, 0u);
    EXPECT_EQ(ts, 0u);
    pthread_mutex_lock(&t.q.mutex);
    EXPECT_EQ(ringbuffer_count(&t.q), 1);   // counting stops at the marker
    pthread_mutex_unlock(&t.q.mutex);
}

TEST(Ringbuffer, CallbacksRunNewestFirstAndAreNotLinkedTwice)
{
    TestQueue t(VIDEO_STREAM2, 4096, 16);
    std::vector<int> order;
    struct Tag {
        std::vector<int> *order;
        int n;
    } a{&order, 1}, b{&order, 2};
    auto fn = [](void *u, uint32_t) { static_cast<Tag *>(u)->order->push_back(static_cast<Tag *>(u)->n); };
    StreamCallback na = {nullptr, fn, &a}, nb = {nullptr, fn, &b};
    stream_add_callback(t.id, &na);
    stream_add_callback(t.id, &nb);
    stream_add_callback(t.id, &na);   // already linked: nothing changes
    ASSERT_EQ(t.put(10, 5, 0), 0);
    EXPECT_EQ(order, (std::vector<int>{2, 1}));
    stream_remove_callback(t.id, &nb);
    EXPECT_EQ(nb.next, nullptr);
    ASSERT_EQ(t.put(10, 6, 0), 0);
    EXPECT_EQ(order, (std::vector<int>{2, 1, 1}));
    stream_remove_callback(t.id, &na);
}

TEST(Ringbuffer, LappedReaderResumesAtOldestHeldKeyframe)
{
    TestQueue t(VIDEO_STREAM2, 8192, 8);
    for (int i = 0; i < 20; i++)   // keyframes at 0, 5, 10, 15
        ASSERT_EQ(t.put(10, 100 + i, i % 5 == 0 ? (uint8_t)RB_FLAG_KEYFRAME : (uint8_t)0), 0);
    // Held: 13..19; the oldest keyframe among them is 15.
    uint32_t seq = 2, off, len, ts, fl;
    ASSERT_EQ(ringbuffer_wait_seq(&t.q, &seq, &off, &len, &ts, &fl, 1, nullptr), 0);
    EXPECT_EQ(seq, 15u);
    EXPECT_EQ(ts, 115u);
    EXPECT_TRUE(fl & RB_FLAG_KEYFRAME);
}

TEST(Ringbuffer, LappedReaderWithoutHeldKeyframeGetsNothing)
{
    TestQueue t(VIDEO_STREAM2, 8192, 8);
    for (int i = 0; i < 20; i++)
        ASSERT_EQ(t.put(10, 100 + i, i == 0 ? RB_FLAG_KEYFRAME : RB_FLAG_PASSTHROUGH | RB_FLAG_KEYFRAME), 0);
    uint32_t seq = 2, off, len, ts, fl;
    EXPECT_EQ(ringbuffer_wait_seq(&t.q, &seq, &off, &len, &ts, &fl, 1, nullptr), -1);
    EXPECT_EQ(seq, 2u);
}

TEST(Ringbuffer, ReaderAtTheHeadTimesOutAtItsDeadline)
{
    TestQueue t(VIDEO_STREAM2, 4096, 16);
    ASSERT_EQ(t.put(10, 1, 0), 0);
    struct timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_nsec += 20 * 1000000;
    if (deadline.tv_nsec >= 1000000000) {
        deadline.tv_sec++;
        deadline.tv_nsec -= 1000000000;
    }
    uint32_t seq = 1, off, len, ts, fl;
    EXPECT_EQ(ringbuffer_wait_seq(&t.q, &seq, &off, &len, &ts, &fl, 1, &deadline), -1);
    EXPECT_EQ(seq, 1u);
}

TEST(Ringbuffer, EveryReaderWaitingAtTheHeadIsWokenForEveryFrame)
{
    TestQueue t(VIDEO_STREAM2, 1 << 16, 256);
    const int readers = 8, frames = 200;
    std::atomic<int> waiting{0}, asleep_to_deadline{0};
    std::vector<std::vector<uint32_t>> got(readers);
    std::vector<std::thread> threads;
    for (int r = 0; r < readers; r++)
        threads.emplace_back([&, r] {
            uint32_t seq = 0, off, len, ts, fl;
            waiting++;
            for (int i = 0; i < frames; i++) {
                // A missed wake-up leaves the reader asleep until its deadline, far beyond the
                // next frame; it then finds the frame in its last look.
                struct timespec deadline, now;
                clock_gettime(CLOCK_REALTIME, &deadline);
                deadline.tv_sec += 10;
                if (ringbuffer_wait_seq(&t.q, &seq, &off, &len, &ts, &fl, 1, &deadline) < 0)
                    return;
                clock_gettime(CLOCK_REALTIME, &now);
                if (now.tv_sec >= deadline.tv_sec)
                    asleep_to_deadline++;
                got[r].push_back(ts);
                seq++;
            }
        });
    while (waiting < readers)
        std::this_thread::yield();
    std::vector<uint32_t> put;
    for (int i = 0; i < frames; i++) {
        ASSERT_EQ(t.put(16, 1000 + i, i % 30 == 0 ? (uint32_t)RB_FLAG_KEYFRAME : 0u), 0);
        put.push_back(1000 + i);
        // Paced like an encoder, so that the readers are asleep at the head for most frames.
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    for (std::thread &th : threads)
        th.join();
    for (int r = 0; r < readers; r++)
        EXPECT_EQ(got[r], put) << "reader " << r;
    EXPECT_EQ(asleep_to_deadline, 0) << "readers not woken by a frame";
}

TEST(Ringbuffer, RecentKeyframeIsTheNewestWithinASecond)
{
    TestQueue t(VIDEO_STREAM2, 8192, 16);
    uint32_t now = hw_clock_90khz();
    ASSERT_EQ(t.put(10, now - 80000, RB_FLAG_KEYFRAME), 0);
    ASSERT_EQ(t.put(10, now - 70000, RB_FLAG_KEYFRAME | RB_FLAG_PASSTHROUGH), 0);   // never a start point
    ASSERT_EQ(t.put(10, now - 60000, 0), 0);
    uint32_t ts = 0, seq = 99;
    ASSERT_EQ(stream_recent_keyframe(&t.q, &ts, &seq), 1);
    EXPECT_EQ(seq, 0u);
    EXPECT_EQ(ts, now - 80000);

    TestQueue old(VIDEO_STREAM1, 8192, 16);
    ASSERT_EQ(old.put(10, hw_clock_90khz() - 91000, RB_FLAG_KEYFRAME), 0);
    EXPECT_EQ(stream_recent_keyframe(&old.q, &ts, &seq), 0);
    ASSERT_EQ(old.put(10, hw_clock_90khz() + 900, RB_FLAG_KEYFRAME), 0);   // stamped ahead: counts
    EXPECT_EQ(stream_recent_keyframe(&old.q, &ts, &seq), 1);
    EXPECT_EQ(seq, 1u);
    EXPECT_EQ(stream_recent_keyframe(&old.q, nullptr, nullptr), 0);   // the oldest keyframe: seq 0
    ASSERT_EQ(old.put(0, 0, 0), 0);
    ASSERT_EQ(old.put(10, 1, RB_FLAG_KEYFRAME), 0);
    ASSERT_EQ(old.put(10, 2, RB_FLAG_KEYFRAME), 0);
    EXPECT_EQ(stream_recent_keyframe(&old.q, nullptr, nullptr), 3);   // the scan stops at the marker
}

TEST(Ringbuffer, NewestTimestampIsTheNewestFrameHeldPastAnEndMarker)
{
    TestQueue t(VIDEO_STREAM2, 4096, 8);
    uint32_t ts = 7;
    EXPECT_EQ(ringbuffer_newest_timestamp(&t.q, &ts), -1) << "nothing held";
    EXPECT_EQ(ts, 7u);
    ASSERT_EQ(t.put(10, 1000, RB_FLAG_KEYFRAME), 0);
    ASSERT_EQ(t.put(10, 4000, 0), 0);
    ASSERT_EQ(ringbuffer_newest_timestamp(&t.q, &ts), 0);
    EXPECT_EQ(ts, 4000u);
    ASSERT_EQ(t.put(0, 0, 0), 0);   // the encoder stopped
    ASSERT_EQ(ringbuffer_newest_timestamp(&t.q, &ts), 0);
    EXPECT_EQ(ts, 4000u);
}
