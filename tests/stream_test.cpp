#include "streams/stream.h"
#include "core/quit.h"
#include "streams/stream_mux.h"

#include "fakeproducer.h"
#include "stream_testutil.h"
#include "streams/stream_mode.h"
#include "streams/stream_state.h"

#include <atomic>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>
#include <vector>

TEST(StreamRunState, RegisteredStoppedAndSwitchedByStartAndStop)
{
    TestQueue t(VIDEO_STREAM2, 4096, 16);
    EXPECT_EQ(t.flags(), RUN_STOP_PENDING | RUN_STOPPED);
    EXPECT_EQ(stream_get_state_by_id(t.id), 0);
    EXPECT_NE(stream_stop_pending(&t.rs), 0);
    stream_set_state_by_id(t.id, STREAM_START);
    EXPECT_EQ(t.flags(), RUN_START_PENDING | RUN_STOP_PENDING);   // a pending stop is kept
    EXPECT_EQ(stream_get_state_by_id(t.id), 1);
    EXPECT_EQ(stream_wait_start(&t.rs), 1);
    EXPECT_EQ(t.flags(), 0);
    EXPECT_EQ(stream_stop_pending(&t.rs), 0);
    stream_set_state(&t.rs, STREAM_STOP);
    EXPECT_EQ(t.flags(), RUN_STOP_PENDING | RUN_STOPPED);
}

TEST(StreamRunState, EveryChangeCountsOnTheEventfd)
{
    TestQueue t(RECORD_STREAM, 4096, 16);
    int fd = eventfd(0, EFD_NONBLOCK);
    ASSERT_GT(fd, 0);
    t.rs.eventfd = fd;
    stream_set_state_by_id(t.id, STREAM_START);
    stream_set_state_by_id(t.id, STREAM_STOP);
    uint64_t count = 0;
    ASSERT_EQ(read(fd, &count, sizeof count), (ssize_t)sizeof count);
    EXPECT_EQ(count, 2u);
    t.rs.eventfd = 0;
    close(fd);
}

TEST(StreamRunState, FirstAttachStartsLastDetachStopsAndResetsTimeOffset)
{
    TestQueue t(VIDEO_STREAM2, 4096, 16);
    StreamState a{}, b{};
    stream_state_attach(t.id, StreamMode_H264_ES, &a);
    EXPECT_EQ(stream_get_state_by_id(t.id), 1);
    stream_state_attach(t.id, StreamMode_H264_ES, &b);
    EXPECT_EQ(stream_users_by_id(t.id), 2);
    stream_queue_add_time_offset(&t.q, 3000);
    stream_state_detach(&a);
    EXPECT_EQ(stream_get_state_by_id(t.id), 1);
    EXPECT_EQ(stream_queue_get_time_offset(&t.q), 3000);
    stream_state_detach(&b);
    EXPECT_EQ(stream_get_state_by_id(t.id), 0);
    EXPECT_EQ(stream_users_by_id(t.id), 0);
    EXPECT_EQ(stream_queue_get_time_offset(&t.q), 0);
}

TEST(StreamRunState, RestartOfStoppedUnusedStreamDoesNothing)
{
    TestQueue t(VIDEO_STREAM2, 4096, 16);
    stream_restart(t.id);
    EXPECT_EQ(t.flags(), RUN_STOP_PENDING | RUN_STOPPED);
    TestQueue service(UDP_STREAM1, 4096, 16, true);
    stream_set_state_by_id(UDP_STREAM1, STREAM_START);
    stream_wait_start(&service.rs);
    stream_restart(UDP_STREAM1);
    EXPECT_EQ(service.flags(), RUN_START_PENDING | RUN_STOP_PENDING);
}

// A restart is one step: nobody can see the stream stopped in its middle, so a user's stop
// that lands there is never undone by the restart's start.
TEST(StreamRunState, ARestartIsOneStepThatNobodySeesStopped)
{
    TestQueue t(UDP_STREAM2, 4096, 16, true);
    int fd = eventfd(0, EFD_NONBLOCK);
    ASSERT_GT(fd, 0);
    stream_set_state_by_id(t.id, STREAM_START);
    t.rs.eventfd = fd;
    std::atomic<bool> done{false};
    std::atomic<int> seen_stopped{0};
    std::thread watcher([&] {
        while (!done.load())
            if (stream_get_state_by_id(t.id) == 0)
                seen_stopped++;
    });
    for (int i = 0; i < 20000 && !seen_stopped.load(); i++)
        stream_restart(t.id);
    done = true;
    watcher.join();
    EXPECT_EQ(seen_stopped.load(), 0) << "a restart showed the stream stopped";
    uint64_t count = 0;
    ASSERT_EQ(read(fd, &count, sizeof count), (ssize_t)sizeof count);
    t.rs.eventfd = 0;
    close(fd);
    if (!seen_stopped.load()) {
        EXPECT_EQ(count, 20000u) << "one change per restart";
    }
    EXPECT_EQ(t.flags(), RUN_START_PENDING | RUN_STOP_PENDING);
}

TEST(StreamRunState, StopAllLeavesTheSerialServiceRunningWhileNotQuitting)
{
    StreamRunState serial{}, udp{};
    stream_register(&serial, nullptr, SERIAL_STREAM);
    stream_register(&udp, nullptr, UDP_STREAM2);
    stream_set_state_by_id(SERIAL_STREAM, STREAM_START);
    stream_set_state_by_id(UDP_STREAM2, STREAM_START);
    stream_stop_all();
    EXPECT_EQ(stream_get_state_by_id(SERIAL_STREAM), 1);
    EXPECT_EQ(stream_get_state_by_id(UDP_STREAM2), 0);
    stream_register(nullptr, nullptr, SERIAL_STREAM);
    stream_register(nullptr, nullptr, UDP_STREAM2);
}

namespace {

// Reads `count` frames; false on a time-out.
bool read_frames(StreamState *s, int count)
{
    for (int i = 0; i < count; i++)
        if (!stream_state_dequeue_timeout(s, 3000))
            return false;
    return true;
}

} // namespace

TEST(FakeProducer, ReplaysAccessUnitsAndAdtsFrames)
{
    const FakeMedia *m = fakeproducer_media();
    ASSERT_NE(m, nullptr);
    ASSERT_GT(m->video_frames.size(), 60u);
    EXPECT_TRUE(m->video_frames[0].keyframe);
    EXPECT_TRUE(m->video_frames[30].keyframe);
    EXPECT_FALSE(m->video_frames[1].keyframe);
    size_t keyframes = 0;
    for (const auto &f : m->video_frames)
        keyframes += f.keyframe;
    EXPECT_EQ(keyframes, (m->video_frames.size() + 29) / 30);
    ASSERT_GT(m->audio_frames.size(), 100u);
    const auto &last = m->audio_frames.back();
    EXPECT_EQ(last.offset + last.length, m->audio.size());   // the frames tile the file
}

TEST(FakeProducer, RestartKeepsConsumersAttachedAndProducerStartsAgain)
{
    stream_mux_register(STREAM_MUX_TS, nullptr);   // elementary frames, so the marker shows
    FakeProducer *fp = fakeproducer_start();
    ASSERT_NE(fp, nullptr);
    StreamState s{};
    stream_state_attach(VIDEO_STREAM1, StreamMode_H264_AAC_TS, &s);
    ASSERT_NE(s.streamq2, nullptr);
    ASSERT_TRUE(read_frames(&s, 5));
    EXPECT_EQ(fakeproducer_starts(fp, VIDEO_STREAM1), 1);
    EXPECT_GE(fakeproducer_starts(fp, AAC_STREAM), 1);
    // Wait for the end marker of the restart, then for frames of the new start.
    stream_restart(VIDEO_STREAM1);
    bool marker = false;
    for (int i = 0; i < 100 && !marker; i++) {
        StreamBuffer *b = stream_state_dequeue_timeout(&s, 3000);
        ASSERT_NE(b, nullptr);
        marker = Buffer_getNumBytesUsed(b->buf) == 0 && b->timestamp == 0;
    }
    EXPECT_TRUE(marker);
    StreamBuffer *first = stream_state_dequeue_timeout(&s, 3000);
    ASSERT_NE(first, nullptr);
    EXPECT_TRUE(first->flags & SB_KEYFRAME);   // a new start begins at a keyframe
    EXPECT_EQ(fakeproducer_starts(fp, VIDEO_STREAM1), 2);
    EXPECT_EQ(stream_users_by_id(VIDEO_STREAM1), 1);
    EXPECT_NE(stream_state_dequeue2(&s), nullptr);   // audio flows alongside
    stream_state_detach(&s);
    EXPECT_EQ(stream_get_state_by_id(VIDEO_STREAM1), 0);
    EXPECT_EQ(stream_get_state_by_id(AAC_STREAM), 0);
    fakeproducer_stop(fp);
    stream_mux_register(STREAM_MUX_TS, &ts_mux_ops);
}

TEST(FakeProducer, ElementaryFramesAreAnnexBAccessUnits)
{
    FakeProducer *fp = fakeproducer_start(FakeProducerOptions{true, false});
    ASSERT_NE(fp, nullptr);
    StreamState s{};
    stream_state_attach(VIDEO_STREAM1, StreamMode_H264_ES, &s);
    uint32_t last_ts = 0, last_seq = 0;
    for (int i = 0; i < 10; i++) {
        StreamBuffer *b = stream_state_dequeue_timeout(&s, 3000);
        ASSERT_NE(b, nullptr);
        const uint8_t *p = Buffer_getUserPtr(b->buf);
        ASSERT_GE(Buffer_getNumBytesUsed(b->buf), 5u);
        EXPECT_TRUE((p[0] == 0 && p[1] == 0 && p[2] == 1) || (p[0] == 0 && p[1] == 0 && p[2] == 0 && p[3] == 1));
        if (i > 0) {
            EXPECT_EQ(b->seq, last_seq + 1);
            EXPECT_GT((int32_t)(b->timestamp - last_ts), 0);
        }
        last_ts = b->timestamp;
        last_seq = b->seq;
    }
    stream_state_detach(&s);
    fakeproducer_stop(fp);
}

// --- concurrency ---

TEST(Concurrency, LastDetachRacingAttachNeverLeavesAttachedStreamStopped)
{
    TestQueue t(VIDEO_STREAM2, 4096, 16);
    std::atomic<int> stopped_while_attached{0};
    auto worker = [&] {
        for (int i = 0; i < 20000; i++) {
            StreamState s{};
            stream_state_attach(t.id, StreamMode_H264_ES, &s);
            for (int k = 0; k < 3; k++)
                if (stream_get_state_by_id(t.id) != 1)
                    stopped_while_attached++;
            stream_state_detach(&s);
        }
    };
    std::thread a(worker), b(worker);
    a.join();
    b.join();
    EXPECT_EQ(stopped_while_attached.load(), 0);
    EXPECT_EQ(stream_get_state_by_id(t.id), 0);
    EXPECT_EQ(stream_users_by_id(t.id), 0);
}

namespace {

// Runs fn on a thread and reports whether it returned within the bound; a thread still stuck
// is released with `rescue` so the test ends either way.
template <class Fn, class Rescue> bool returns_within(int ms, Fn fn, Rescue rescue)
{
    std::atomic<bool> done{false};
    std::thread t([&] {
        fn();
        done = true;
    });
    for (int waited = 0; !done && waited < ms; waited += 5)
        usleep(5000);
    bool ok = done;
    while (!done) {
        rescue();
        usleep(5000);
    }
    t.join();
    return ok;
}

void quit_clear()
{
    pthread_mutex_lock(&global_quit.mutex);
    global_quit.value = 0;
    pthread_mutex_unlock(&global_quit.mutex);
}

} // namespace

// Shutdown sets quit, then stops every run state. A producer that checked quit just before and
// reaches its wait after that stop must still come back, or shutdown hangs at the rendezvous.
TEST(Concurrency, StopAtQuitBeforeTheWaitIsNeverLost)
{
    TestQueue t(UDP_STREAM1, 4096, 16, true);
    auto rescue = [&] { stream_set_state(&t.rs, STREAM_START); };

    // The stop lands between the producer's quit check and its wait.
    quit_set(QUIT_QUIT, false);
    stream_set_state(&t.rs, STREAM_STOP);
    int started = -1;
    EXPECT_TRUE(returns_within(5000, [&] { started = stream_wait_start(&t.rs); }, rescue))
        << "a producer waited on past the stop of shutdown";
    EXPECT_EQ(started, 0);
    quit_clear();

    // A producer loop as the senders and the output thread run it, racing shutdown.
    for (int round = 0; round < 300; round++) {
        stream_set_state(&t.rs, STREAM_STOP);
        std::atomic<int> starts{0};
        std::atomic<bool> go{false};
        bool ended = returns_within(
            5000,
            [&] {
                std::thread producer([&] {
                    go = true;
                    while (!quit_requested())
                        if (stream_wait_start(&t.rs))
                            starts++;
                });
                while (!go)
                    ;
                for (int spin = round * 7 % 300; spin > 0; spin--)
                    std::atomic_signal_fence(std::memory_order_seq_cst);
                quit_set(QUIT_QUIT, false);
                stream_set_state(&t.rs, STREAM_STOP);
                producer.join();
            },
            rescue);
        quit_clear();
        ASSERT_TRUE(ended) << "round " << round << ": the producer missed the stop";
    }
}

namespace {

struct CountingNode {
    StreamCallback cb;
    std::atomic<bool> removed{false};
    std::atomic<int> *late_calls;
};

void counting_call(void *user, uint32_t)
{
    CountingNode *n = static_cast<CountingNode *>(user);
    if (n->removed.load())
        (*n->late_calls)++;
}

} // namespace

TEST(Concurrency, CallbackRemovedWhileProducerWalksIsNeverCalledAfterRemoval)
{
    TestQueue t(VIDEO_STREAM2, 1 << 16, 64);
    std::atomic<bool> done{false};
    std::atomic<int> late_calls{0};
    std::thread producer([&] {
        while (!done)
            t.put(16, 1, 0);
    });
    std::vector<std::thread> consumers;
    for (int c = 0; c < 4; c++) {
        consumers.emplace_back([&] {
            for (int i = 0; i < 2000; i++) {
                CountingNode *n = new CountingNode();
                n->cb = {nullptr, counting_call, n};
                n->late_calls = &late_calls;
                stream_add_callback(t.id, &n->cb);
                stream_remove_callback(t.id, &n->cb);
                n->removed = true;
                delete n;   // a walk still holding it would be a use after free
            }
        });
    }
    for (auto &c : consumers)
        c.join();
    done = true;
    producer.join();
    EXPECT_EQ(late_calls.load(), 0);
    EXPECT_EQ(t.q.callbacks, nullptr);
}
