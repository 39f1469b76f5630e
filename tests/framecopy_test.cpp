#include "platform/capture_dma.h"
#include "platform/platform.h"
#include "testutil.h"
#include "video/framecopy.h"

#include <cstring>
#include <gtest/gtest.h>
#include <memory>

namespace {

struct BufferDeleter {
    void operator()(Buffer_Object *b) const { Buffer_delete(b); }
};
using BufferPtr = std::unique_ptr<Buffer_Object, BufferDeleter>;
struct CopyDeleter {
    void operator()(Framecopy_Object *h) const { Framecopy_delete(h); }
};
using CopyPtr = std::unique_ptr<Framecopy_Object, CopyDeleter>;

BufferPtr picture(size_t size, ColorSpace_Type cs, BufferGfx_Dimensions dim, uint8_t seed)
{
    Buffer_Attrs attrs = BufferGfx_Attrs_DEFAULT;
    attrs.colorSpace = cs;
    BufferPtr b(Buffer_create(size, &attrs));
    uint8_t *p = Buffer_getUserPtr(b.get());
    for (size_t i = 0; i < size; i++)
        p[i] = (uint8_t)(i * 7 + seed + i / 1000);
    EXPECT_EQ(BufferGfx_setDimensions(b.get(), &dim), Dmai_EOK);
    return b;
}

CopyPtr engine(Buffer_Handle src, Buffer_Handle dst)
{
    platform_init();
    EXPECT_EQ(dm365mmap_open(), 0);
    Framecopy_Attrs attrs = {true};
    CopyPtr h(Framecopy_create(&attrs));
    EXPECT_NE(h, nullptr);
    EXPECT_EQ(Framecopy_config(h.get(), src, dst), Dmai_EOK);
    return h;
}

bool rows_equal(const uint8_t *a, int aline, const uint8_t *b, int bline, int bytes, int rows)
{
    for (int y = 0; y < rows; y++)
        if (memcmp(a + (size_t)y * aline, b + (size_t)y * bline, bytes) != 0)
            return false;
    return true;
}

} // namespace

TEST(Framecopy, UyvyPictureIsOneRequest)
{
    BufferPtr src = picture(720 * 480 * 2, ColorSpace_UYVY, {0, 0, 720, 480, 1440}, 1);
    BufferPtr dst = picture(720 * 480 * 2, ColorSpace_UYVY, {0, 0, 720, 480, 1440}, 2);
    CopyPtr h = engine(src.get(), dst.get());
    uint64_t before = platform_dm365mmap_requests();
    ASSERT_EQ(Framecopy_accel_execute2(h.get(), src.get(), dst.get()), 0);
    EXPECT_EQ(platform_dm365mmap_requests() - before, 1u);
    EXPECT_EQ(memcmp(Buffer_getUserPtr(src.get()), Buffer_getUserPtr(dst.get()), 720 * 480 * 2), 0);
    EXPECT_EQ(Buffer_getNumBytesUsed(dst.get()), 720u * 480 * 2);
}

TEST(Framecopy, Nv12PictureAddsAChromaRequest)
{
    size_t size = 736 * 480 * 3 / 2;
    BufferPtr src = picture(size, ColorSpace_YUV420PSEMI, {0, 0, 720, 480, 736}, 3);
    BufferPtr dst = picture(size, ColorSpace_YUV420PSEMI, {0, 0, 720, 480, 736}, 4);
    CopyPtr h = engine(src.get(), dst.get());
    uint64_t before = platform_dm365mmap_requests();
    ASSERT_EQ(Framecopy_accel_execute2(h.get(), src.get(), dst.get()), 0);
    EXPECT_EQ(platform_dm365mmap_requests() - before, 2u);
    const uint8_t *s = Buffer_getUserPtr(src.get()), *d = Buffer_getUserPtr(dst.get());
    EXPECT_TRUE(rows_equal(s, 736, d, 736, 720, 480)) << "luma";
    EXPECT_TRUE(rows_equal(s + 736 * 480, 736, d + 736 * 480, 736, 720, 240)) << "chroma after 736 x 480 bytes";
    EXPECT_EQ(Buffer_getNumBytesUsed(dst.get()), 720u * 480 * 3 / 2);
}

TEST(Framecopy, CopyIsClippedToASmallerDestination)
{
    BufferPtr src = picture(720 * 576 * 2, ColorSpace_UYVY, {0, 0, 720, 576, 1440}, 5);
    BufferPtr dst = picture(352 * 288 * 2, ColorSpace_UYVY, {0, 0, 352, 288, 704}, 6);
    CopyPtr h = engine(src.get(), dst.get());
    ASSERT_EQ(Framecopy_accel_execute2(h.get(), src.get(), dst.get()), 0);
    EXPECT_TRUE(rows_equal(Buffer_getUserPtr(src.get()), 1440, Buffer_getUserPtr(dst.get()), 704, 704, 288));
}

TEST(Framecopy, OffsetWindowIsClippedAtTheBufferEnd)
{
    BufferPtr src = picture(720 * 576 * 2, ColorSpace_UYVY, {0, 0, 720, 576, 1440}, 7);
    BufferPtr dst = picture(720 * 576 * 2, ColorSpace_UYVY, {0, 100, 720, 476, 1440}, 8);
    CopyPtr h = engine(src.get(), dst.get());
    BufferPtr before = picture(720 * 576 * 2, ColorSpace_UYVY, {0, 100, 720, 476, 1440}, 8);
    ASSERT_EQ(Framecopy_accel_execute2(h.get(), src.get(), dst.get()), 0);
    // The frame is 476 lines: rows 100..475 get the picture's first 376 lines, nothing below.
    EXPECT_TRUE(rows_equal(Buffer_getUserPtr(src.get()), 1440, Buffer_getUserPtr(dst.get()) + 100 * 1440, 1440, 1440,
                           376));
    EXPECT_EQ(memcmp(Buffer_getUserPtr(dst.get()) + 476 * 1440, Buffer_getUserPtr(before.get()) + 476 * 1440, 100 * 1440),
              0);
}

TEST(Framecopy, OddRowOffsetIn420IsCopied)
{
    size_t size = 720 * 480 * 3 / 2;
    BufferPtr src = picture(size, ColorSpace_YUV420PSEMI, {0, 1, 720, 400, 720}, 9);
    BufferPtr dst = picture(size, ColorSpace_YUV420PSEMI, {0, 3, 720, 406, 720}, 10);
    CopyPtr h = engine(src.get(), dst.get());
    ASSERT_EQ(Framecopy_accel_execute2(h.get(), src.get(), dst.get()), 0);
    const uint8_t *s = Buffer_getUserPtr(src.get()), *d = Buffer_getUserPtr(dst.get());
    EXPECT_TRUE(rows_equal(s + 720, 720, d + 3 * 720, 720, 720, 400)) << "luma at the exact rows";
    EXPECT_TRUE(rows_equal(s + 720 * 400, 720, d + 720 * 406 + 720, 720, 720, 200)) << "chroma from row y / 2";
}

TEST(Framecopy, ConfigRefusesMixedColourSpaces)
{
    BufferPtr src = picture(720 * 480 * 2, ColorSpace_UYVY, {0, 0, 720, 480, 1440}, 1);
    BufferPtr dst = picture(720 * 480 * 2, ColorSpace_YUV420PSEMI, {0, 0, 720, 480, 720}, 2);
    Framecopy_Attrs attrs = {true};
    CopyPtr h(Framecopy_create(&attrs));
    ASSERT_NE(h, nullptr);
    EXPECT_LT(Framecopy_config(h.get(), src.get(), dst.get()), 0);
}

TEST(Framecopy, FillReplicatesTheFirstLineDownwards)
{
    BufferPtr b = picture(720 * 576 * 2, ColorSpace_UYVY, {0, 0, 720, 576, 1440}, 11);
    CopyPtr h = engine(b.get(), b.get());
    uint8_t *p = Buffer_getUserPtr(b.get());
    BufferGfx_Dimensions dim = {0, 0, 1440, 575, 1440};
    ASSERT_EQ(copy_engine_fill_lines(h.get(), &dim, p, p + 1440), 0);
    for (int y = 1; y < 576; y++)
        ASSERT_EQ(memcmp(p, p + (size_t)y * 1440, 1440), 0) << "line " << y;
}

TEST(Framecopy, LongMemcpyMovesTheTailToo)
{
    platform_init();
    ASSERT_EQ(dm365mmap_open(), 0);
    BufferPtr src = picture(100000, ColorSpace_GRAY, {0, 0, 100, 100, 100}, 12);
    BufferPtr dst = picture(100000, ColorSpace_GRAY, {0, 0, 100, 100, 100}, 13);
    ASSERT_EQ(copy_engine_memcpy(Buffer_getPhysicalPtr(src.get()), Buffer_getPhysicalPtr(dst.get()), 100000), 0);
    EXPECT_EQ(memcmp(Buffer_getUserPtr(src.get()), Buffer_getUserPtr(dst.get()), 100000), 0);
    EXPECT_LT(copy_engine_memcpy(Buffer_getPhysicalPtr(src.get()), Buffer_getPhysicalPtr(dst.get()), 100001), 0)
        << "a request past the buffer is refused";
}
