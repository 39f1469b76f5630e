// Append-to-wake latency through the queue's condition variable and through a callback, and
// elementary dequeue throughput with several consumers (reads are in place: no copy).
#include "core/soc.h"
#include "platform/dmai.h"
#include "streams/stream.h"
#include "streams/stream_mode.h"
#include "streams/stream_state.h"

#include <algorithm>
#include <atomic>
#include <benchmark/benchmark.h>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct BenchQueue {
    StreamQueue q{};
    StreamRunState rs{};
    Buffer_Handle buf;
    BenchQueue(uint32_t size, uint32_t entries)
    {
        buf = Buffer_create(size, &Buffer_Attrs_DEFAULT);
        stream_register(&rs, &q, VIDEO_STREAM1);
        ringbuffer_init(&q, buf, entries, 32);
    }
    ~BenchQueue()
    {
        stream_register(nullptr, nullptr, VIDEO_STREAM1);
        ringbuffer_free(&q);
        Buffer_delete(buf);
    }
    void put(uint32_t len, uint32_t flags)
    {
        int off = ringbuffer_preallocate(&q, len);
        memset(q.data + off, 0x42, 64);
        ringbuffer_put(&q, len, 0x1000, flags);
    }
};

void report_percentiles(benchmark::State &state, std::vector<double> &ns)
{
    if (ns.empty())
        return;
    std::sort(ns.begin(), ns.end());
    state.counters["p50_us"] = ns[ns.size() / 2] / 1000.0;
    state.counters["p99_us"] = ns[ns.size() * 99 / 100] / 1000.0;
}

// One consumer blocked in dequeue; the time from before the put to its wake-up.
void BM_AppendToWakeCondition(benchmark::State &state)
{
    hw_clock_90khz();
    BenchQueue bq(1 << 20, 512);
    StreamState s{};
    stream_state_attach(VIDEO_STREAM1, StreamMode_H264_ES, &s);
    std::atomic<int64_t> put_at{0}, woke_at{0};
    std::atomic<bool> stop{false}, ready{false};
    std::thread consumer([&] {
        while (!stop) {
            ready = true;
            StreamBuffer *b = stream_state_dequeue_timeout(&s, 200);
            if (b && !stop)
                woke_at = Clock::now().time_since_epoch().count();
        }
    });
    std::vector<double> samples;
    for (auto _ : state) {
        while (!ready)
            std::this_thread::yield();
        ready = false;
        woke_at = 0;
        int64_t t0 = Clock::now().time_since_epoch().count();
        put_at = t0;
        bq.put(1000, RB_FLAG_KEYFRAME);
        while (woke_at == 0)
            std::this_thread::yield();
        samples.push_back((double)(woke_at - t0));
    }
    stop = true;
    bq.put(10, 0);
    consumer.join();
    stream_state_detach(&s);
    report_percentiles(state, samples);
}
BENCHMARK(BM_AppendToWakeCondition)->Iterations(5000)->UseRealTime();

// The same hand-off through a queue callback (how the RTSP source learns of a frame).
void BM_AppendToWakeCallback(benchmark::State &state)
{
    BenchQueue bq(1 << 20, 512);
    std::atomic<int64_t> called_at{0};
    StreamCallback node = {nullptr,
                           [](void *u, uint32_t) {
                               static_cast<std::atomic<int64_t> *>(u)->store(
                                   Clock::now().time_since_epoch().count());
                           },
                           &called_at};
    stream_add_callback(VIDEO_STREAM1, &node);
    std::vector<double> samples;
    for (auto _ : state) {
        called_at = 0;
        int64_t t0 = Clock::now().time_since_epoch().count();
        bq.put(1000, RB_FLAG_KEYFRAME);
        samples.push_back((double)(called_at - t0));
    }
    stream_remove_callback(VIDEO_STREAM1, &node);
    report_percentiles(state, samples);
}
BENCHMARK(BM_AppendToWakeCallback)->Iterations(20000);

// Consumers read every frame in place and touch its first and last byte.
void BM_ElementaryDequeueThroughput(benchmark::State &state)
{
    hw_clock_90khz();
    const int consumers = (int)state.range(0);
    const uint32_t frame = 64 * 1024;
    BenchQueue bq(0x654000, 512);
    int64_t bytes = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<StreamState> states(consumers);
        for (auto &s : states)
            stream_state_attach(VIDEO_STREAM1, StreamMode_H264_ES, &s);
        // Fill the ring, then let every consumer drain it at once.
        for (int i = 0; i < 96; i++)
            bq.put(frame, i % 30 == 0 ? (uint32_t)RB_FLAG_KEYFRAME : 0u);
        std::atomic<bool> go{false};
        std::atomic<int64_t> total{0};
        std::vector<std::thread> threads;
        for (auto &s : states) {
            threads.emplace_back([&s, &total, &go] {
                while (!go)
                    std::this_thread::yield();
                int64_t n = 0;
                unsigned sink = 0;
                while (StreamBuffer *b = stream_state_dequeue_es(&s)) {
                    size_t len = Buffer_getNumBytesUsed(b->buf);
                    const uint8_t *p = Buffer_getUserPtr(b->buf);
                    sink += p[0] + p[len - 1];
                    n += (int64_t)len;
                }
                benchmark::DoNotOptimize(sink);
                total += n;
            });
        }
        state.ResumeTiming();
        go = true;
        for (auto &t : threads)
            t.join();
        state.PauseTiming();
        for (auto &s : states)
            stream_state_detach(&s);
        bytes += total;
        state.ResumeTiming();
    }
    state.SetBytesProcessed(bytes);
}
BENCHMARK(BM_ElementaryDequeueThroughput)->Arg(1)->Arg(4)->Arg(16)->UseRealTime();

} // namespace
