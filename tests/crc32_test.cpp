#include "core/crc32.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

uint32_t bitwise_mpeg2(const uint8_t *p, size_t n)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; i++) {
        crc ^= (uint32_t)p[i] << 24;
        for (int k = 0; k < 8; k++)
            crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    }
    return crc;
}

int yields;
void count_yield() { yields++; }

} // namespace

TEST(Crc32, CheckValuesOfBothVariants)
{
    const char *s = "123456789";
    EXPECT_EQ(crc32_mpeg2(s, 9), 0x0376E6E7u);
    EXPECT_EQ(crc32_yield(s, 9, nullptr), 0xCBF43926u);
    EXPECT_EQ(crc32_mpeg2("", 0), 0xFFFFFFFFu);
    EXPECT_EQ(crc32_yield("", 0, nullptr), 0u);
}

TEST(Crc32, SlicedMatchesBitwiseAtEveryLengthAndAlignment)
{
    std::vector<uint8_t> data(300);
    for (size_t i = 0; i < data.size(); i++)
        data[i] = (uint8_t)(i * 131 + 7);
    for (size_t off = 0; off < 8; off++)
        for (size_t len = 0; len + off <= data.size(); len += 13)
            ASSERT_EQ(crc32_mpeg2(data.data() + off, len), bitwise_mpeg2(data.data() + off, len))
                << "off " << off << " len " << len;
}

TEST(Crc32, UpdateInPiecesEqualsWhole)
{
    std::string s(10000, 'x');
    for (size_t i = 0; i < s.size(); i++)
        s[i] = (char)(i ^ (i >> 3));
    uint32_t part = crc32_mpeg2_update(0xFFFFFFFFu, s.data(), 4097);
    part = crc32_mpeg2_update(part, s.data() + 4097, s.size() - 4097);
    EXPECT_EQ(part, crc32_mpeg2(s.data(), s.size()));
}

TEST(Crc32, YieldCalledBeforeEvery4KiB)
{
    std::vector<uint8_t> data(4096 * 3 + 1, 0xA5);
    yields = 0;
    uint32_t with = crc32_yield(data.data(), data.size(), count_yield);
    EXPECT_EQ(yields, 4);   // before bytes 0, 4096, 8192 and 12288
    EXPECT_EQ(with, crc32_yield(data.data(), data.size(), nullptr));
}
