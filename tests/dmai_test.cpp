#include "platform/dmai.h"

#include <atomic>
#include <gtest/gtest.h>
#include <poll.h>
#include <thread>
#include <vector>

TEST(Fifo, FlushWakesABlockedGetAndStaysFlushed)
{
    Fifo_Handle f = Fifo_create(&Fifo_Attrs_DEFAULT);
    ASSERT_TRUE(f);
    std::atomic<int> result{-100};
    std::thread t([&] {
        void *p = nullptr;
        result = Fifo_get(f, &p);
    });
    Fifo_flush(f);
    t.join();
    EXPECT_EQ(result.load(), Dmai_EFLUSH);
    void *p;
    EXPECT_EQ(Fifo_get(f, &p), Dmai_EFLUSH);
    Fifo_delete(f);
}

TEST(Fifo, KeepsOrderAndItsDescriptorIsReadableWhileItemsWait)
{
    Fifo_Handle f = Fifo_create(&Fifo_Attrs_DEFAULT);
    int a, b;
    struct pollfd pfd = {Fifo_getFd(f), POLLIN, 0};
    EXPECT_EQ(poll(&pfd, 1, 0), 0);
    Fifo_put(f, &a);
    Fifo_put(f, &b);
    EXPECT_EQ(Fifo_getNumEntries(f), 2);
    EXPECT_EQ(poll(&pfd, 1, 0), 1);
    void *p;
    ASSERT_EQ(Fifo_get(f, &p), 0);
    EXPECT_EQ(p, &a);
    EXPECT_EQ(poll(&pfd, 1, 0), 1);
    ASSERT_EQ(Fifo_get_nonblocking(f, &p), 0);
    EXPECT_EQ(p, &b);
    EXPECT_EQ(poll(&pfd, 1, 0), 0);
    ASSERT_EQ(Fifo_get_nonblocking(f, &p), 0);
    EXPECT_EQ(p, nullptr);
    Fifo_delete(f);
}

TEST(Rendezvous, ReleasesAllPartiesTogether)
{
    Rendezvous_Handle r = Rendezvous_create(4);
    std::atomic<int> passed{0};
    std::vector<std::thread> ts;
    for (int i = 0; i < 3; i++)
        ts.emplace_back([&] {
            Rendezvous_meet(r);
            passed++;
        });
    Rendezvous_meet(r);
    for (auto &t : ts)
        t.join();
    EXPECT_EQ(passed.load(), 3);
    Rendezvous_delete(r);
}

TEST(Rendezvous, ForceReleasesWaitersAndLaterMeets)
{
    Rendezvous_Handle r = Rendezvous_create(18);
    std::thread t([&] { Rendezvous_meet(r); });
    Rendezvous_force(r);
    t.join();
    Rendezvous_meet(r);   // must not block after a force
    Rendezvous_delete(r);
}

TEST(Pause, TestBlocksWhileOn)
{
    Pause_Handle p = Pause_create();
    Pause_on(p);
    std::atomic<bool> through{false};
    std::thread t([&] {
        Pause_test(p);
        through = true;
    });
    EXPECT_FALSE(through.load());
    Pause_off(p);
    t.join();
    EXPECT_TRUE(through.load());
    Pause_delete(p);
}

TEST(BufTab, FreeBufferByUseMaskAndChunking)
{
    Buffer_Attrs a = BufferGfx_Attrs_DEFAULT;
    BufTab_Handle t = BufTab_create(2, 4096, &a);
    ASSERT_TRUE(t);
    Buffer_Handle b0 = BufTab_getFreeBuf(t);
    Buffer_Handle b1 = BufTab_getFreeBuf(t);
    ASSERT_TRUE(b0 && b1);
    EXPECT_NE(b0, b1);
    EXPECT_EQ(BufTab_getFreeBuf(t), nullptr);
    Buffer_freeUseMask(b1, 1);
    EXPECT_EQ(BufTab_getFreeBuf(t), b1);
    BufTab_freeAll(t);
    EXPECT_NE(Buffer_getPhysicalPtr(b0), 0u);
    EXPECT_EQ(Buffer_getPhysicalPtr(b0) % 32, 0u);
    ASSERT_EQ(BufTab_chunk(t, 4, 2048), 0);
    EXPECT_EQ(BufTab_getNumBufs(t), 4);
    EXPECT_EQ(Buffer_getUserPtr(BufTab_getBuf(t, 1)), Buffer_getUserPtr(b0) + 2048);
    EXPECT_NE(BufTab_chunk(t, 4, 2048), 0);   // already chunked
    ASSERT_EQ(BufTab_collapse(t), 0);
    EXPECT_EQ(BufTab_getNumBufs(t), 2);
    ASSERT_EQ(BufTab_expand(t, 1), 0);
    EXPECT_EQ(BufTab_getNumBufs(t), 3);
    BufTab_delete(t);
}

TEST(Buffer, DimensionsThatDoNotFitAreRefused)
{
    Buffer_Attrs a = BufferGfx_Attrs_DEFAULT;
    a.colorSpace = ColorSpace_YUV420PSEMI;
    Buffer_Handle b = Buffer_create(720 * 480 * 3 / 2, &a);
    BufferGfx_Dimensions d = {0, 0, 720, 480, 720};
    EXPECT_EQ(BufferGfx_setDimensions(b, &d), 0);
    d.height = 576;
    EXPECT_NE(BufferGfx_setDimensions(b, &d), 0);
    Buffer_delete(b);
}
