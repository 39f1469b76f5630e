#include "core/mtd.h"
#include "platform/platform.h"
#include "testutil.h"

#include <cstring>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <vector>

class Mtd : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform_init();
        ASSERT_EQ(mtd_open(), 0);
    }
};

TEST_F(Mtd, NewBoardHasFactoryWordsAndOldLoaderVersion)
{
    uint32_t words[4];
    ASSERT_EQ(mtd_read_factory(words), 0);
    EXPECT_EQ(words[0], 7160u);
    EXPECT_NE(words[3], 0xFFFFFFFFu);
    EXPECT_EQ(bootloader_version(), 0x10000u);   // 0xE3A0C000 reads as 1.0.0
}

TEST_F(Mtd, WriteWithoutEraseReadsBackTheAnd)
{
    const uint32_t off = 0x300000;
    ASSERT_EQ(mtd_erase_block(off, 16), 0);
    uint8_t a[4] = {0xF0, 0x0F, 0xAA, 0xFF};
    uint8_t b[4] = {0x3C, 0xFF, 0x55, 0x81};
    ASSERT_EQ(mtd_write(a, off, 4), 4);
    ASSERT_EQ(mtd_write(b, off, 4), 4);
    uint8_t got[4];
    ASSERT_EQ(mtd_read(got, off, 4), 4);
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(got[i], (uint8_t)(a[i] & b[i])) << i;
    ASSERT_EQ(mtd_erase_block(off, 4), 0);
    ASSERT_EQ(mtd_write(b, off, 4), 4);
    ASSERT_EQ(mtd_read(got, off, 4), 4);
    EXPECT_EQ(memcmp(got, b, 4), 0);
}

TEST_F(Mtd, EraseCoversWholeBlocksAroundTheRange)
{
    std::vector<uint8_t> zeros(0x60000, 0);
    ASSERT_EQ(mtd_write(zeros.data(), 0x100000, zeros.size()), (ssize_t)zeros.size());
    // 0x1000 bytes at 0x121000 lie in the block 0x120000-0x13FFFF only.
    ASSERT_EQ(mtd_erase_block(0x121000, 0x1000), 0);
    std::vector<uint8_t> got(0x60000);
    ASSERT_EQ(mtd_read(got.data(), 0x100000, got.size()), (ssize_t)got.size());
    EXPECT_EQ(got[0x1FFFF], 0);
    EXPECT_EQ(got[0x20000], 0xFF);
    EXPECT_EQ(got[0x3FFFF], 0xFF);
    EXPECT_EQ(got[0x40000], 0);
    // A range crossing a boundary takes both blocks.
    ASSERT_EQ(mtd_erase_block(0x11FFFE, 4), 0);
    ASSERT_EQ(mtd_read(got.data(), 0x100000, 1), 1);
    EXPECT_EQ(got[0], 0xFF);
}

TEST(Flash, StandInRefusesUnalignedEraseAndWritesPastTheEnd)
{
    int fd = platform_flash_open("/dev/mtd0");
    ASSERT_GE(fd, 0);
    EXPECT_NE(platform_flash_erase(fd, 0x1000, 0x20000), 0);
    EXPECT_NE(platform_flash_erase(fd, 0x20000, 0x1000), 0);
    uint8_t b[8] = {};
    EXPECT_LT(platform_flash_pwrite(fd, b, sizeof b, PLATFORM_FLASH_SIZE - 4), 0);
    platform_flash_close(fd);
}

TEST(Flash, WrongSizeFileIsRefusedAndLeftAlone)
{
    std::string path = test_board_path("/dev/short");
    platform_init();
    FILE *f = fopen(path.c_str(), "w");
    ASSERT_TRUE(f);
    fputs("not a flash image", f);
    fclose(f);
    EXPECT_LT(platform_flash_open("/dev/short"), 0);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 17);
}
