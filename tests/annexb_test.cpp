// Splitting Annex B streams into NAL units: 3- and 4-byte start codes, zero padding, and
// data that holds no start code at all.
#include "streams/annexb.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {
std::vector<std::string> units(const std::vector<uint8_t> &d)
{
    std::vector<std::string> out;
    size_t pos = 0;
    const uint8_t *nal;
    size_t len;
    while (annexb_next_nal(d.data(), d.size(), &pos, &nal, &len))
        out.emplace_back((const char *)nal, len);
    return out;
}
} // namespace

TEST(AnnexB, SplitsUnitsAtThreeAndFourByteStartCodes)
{
    std::vector<uint8_t> d = {0, 0, 0, 1, 0x67, 'a', 0, 0, 1, 0x68, 'b', 'c', 0, 0, 0, 1, 0x65, 0, 2, 0, 0};
    std::vector<std::string> want = {"\x67" "a", "\x68" "bc", std::string("\x65\x00\x02", 3)};
    EXPECT_EQ(units(d), want);   // trailing zeros are padding, a lone 00 02 stays in the unit
    EXPECT_EQ(annexb_find_start_code(d.data(), d.size(), 0), 1u);
    EXPECT_EQ(annexb_find_start_code(d.data(), d.size(), 2), 6u);
}

TEST(AnnexB, NothingWithoutAStartCode)
{
    std::vector<uint8_t> d = {0, 0, 2, 0, 0, 0, 0};
    EXPECT_TRUE(units(d).empty());
    EXPECT_EQ(annexb_find_start_code(d.data(), d.size(), 0), d.size());
    EXPECT_EQ(annexb_find_start_code(d.data(), 2, 0), 2u);
    std::vector<uint8_t> tail = {1, 2, 0, 0, 1};   // a start code with no unit after it
    EXPECT_EQ(units(tail), std::vector<std::string>{""});
}

TEST(AnnexB, Mpeg4CodesAreFoundPastOtherStartCodes)
{
    // VOS, VOL, then a VOP: the VOP is the first 00 00 01 B6, even right after another code.
    std::vector<uint8_t> d = {0, 0, 1, 0xB0, 1, 0, 0, 1, 0x20, 0xB6, 0, 0, 1, 0, 0, 1, 0xB6, 0x10};
    EXPECT_EQ(annexb_find_code(d.data(), d.size(), 0, 0xB6), 13u);
    EXPECT_EQ(annexb_find_code(d.data(), d.size(), 0, 0xB0), 0u);
    EXPECT_EQ(annexb_find_code(d.data(), d.size(), 1, 0xB0), d.size());
    EXPECT_EQ(annexb_find_code(d.data(), 16, 0, 0xB6), 16u);   // the code byte itself must be there
}

TEST(AnnexB, AZeroInFrontMakesAFourByteStartCode)
{
    std::vector<uint8_t> d = {0x65, 0, 0, 0, 1, 0x41, 0, 0, 1, 0x41};
    size_t sc = annexb_find_start_code(d.data(), d.size(), 0);
    EXPECT_EQ(sc, 2u);
    EXPECT_EQ(annexb_code_begin(d.data(), 0, sc), 1u);
    EXPECT_EQ(annexb_code_begin(d.data(), 2, sc), 2u);   // not before where the caller's unit begins
    sc = annexb_find_start_code(d.data(), d.size(), sc + 3);
    EXPECT_EQ(sc, 6u);
    EXPECT_EQ(annexb_code_begin(d.data(), 0, sc), 6u);
}
