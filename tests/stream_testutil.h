// A registered queue with its run state for the stream tests, and frame helpers.
#pragma once
#include "core/soc.h"
#include "platform/dmai.h"
#include "streams/stream.h"

#include <cstring>
#include <gtest/gtest.h>

struct TestQueue {
    StreamQueue q{};
    StreamRunState rs{};
    Buffer_Handle buf;
    int id;

    TestQueue(int stream_id, uint32_t size, uint32_t entries, bool run_state = true) : id(stream_id)
    {
        hw_clock_90khz();   // maps the registers before any test thread reads the clock
        buf = Buffer_create(size, &Buffer_Attrs_DEFAULT);
        stream_register(run_state ? &rs : nullptr, &q, id);
        ringbuffer_init(&q, buf, entries, 32);
    }
    ~TestQueue()
    {
        stream_register(nullptr, nullptr, id);
        ringbuffer_free(&q);
        Buffer_delete(buf);
    }
    // Writes `len` bytes of `fill` (or of data) as one frame; returns the put's result.
    int put(uint32_t len, uint32_t ts, uint32_t flags, uint8_t fill = 0xAB, const uint8_t *data = nullptr)
    {
        int off = ringbuffer_preallocate(&q, len);
        if (off < 0)
            return off;
        if (data)
            memcpy(q.data + off, data, len);
        else
            memset(q.data + off, fill, len);
        return ringbuffer_put(&q, len, ts, flags);
    }
    int put_now(uint32_t len, uint32_t flags) { return put(len, hw_clock_90khz(), flags); }
    uint32_t seq()
    {
        pthread_mutex_lock(&q.mutex);
        uint32_t s = q.seq;
        pthread_mutex_unlock(&q.mutex);
        return s;
    }
    bool held(uint32_t s)
    {
        pthread_mutex_lock(&q.mutex);
        int r = ringbuffer_get_entry(&q, s, nullptr, nullptr, nullptr, nullptr);
        pthread_mutex_unlock(&q.mutex);
        return r == 0;
    }
    RingbufferEntry entry(uint32_t s)
    {
        RingbufferEntry e{};
        pthread_mutex_lock(&q.mutex);
        EXPECT_EQ(ringbuffer_get_entry(&q, s, &e.offset, &e.length, &e.timestamp, &e.flags), 0) << "seq " << s;
        pthread_mutex_unlock(&q.mutex);
        return e;
    }
    uint8_t flags() { return rs.flags; }
};
