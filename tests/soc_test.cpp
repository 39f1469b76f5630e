#include "core/soc.h"
#include "platform/platform.h"

#include <gtest/gtest.h>

TEST(Clock90k, ElapsedAcrossTheWrap)
{
    EXPECT_EQ(ts_elapsed(0xFFFFFFF0u, 0x10u), 0x20u);
    EXPECT_EQ(ts_elapsed(0x10u, 0xFFFFFFF0u), 0xFFFFFFE1u);
    EXPECT_EQ(ts_diff(0x10u, 0xFFFFFFF0u), 0x20);
    EXPECT_EQ(ts_diff(0xFFFFFFF0u, 0x10u), -0x20);
    EXPECT_EQ(ts_add(0xFFFFFFFFu, 2u), 2u);   // the wrapped sum gains one
    EXPECT_EQ(ts_add(1u, 2u), 3u);
}

TEST(Clock90k, CounterRunsThroughTheWrap)
{
    devmem_map();
    platform_clock90k_set(0xFFFFFFFFu - 90);   // about a millisecond before the wrap
    uint32_t start = hw_clock_90khz();
    uint32_t now = start;
    for (int i = 0; i < 2000 && now >= start; i++) {
        struct timespec ts = {0, 1000000};
        nanosleep(&ts, nullptr);
        now = hw_clock_90khz();
    }
    EXPECT_LT(now, start) << "counter did not wrap";
    EXPECT_LT(ts_elapsed(start, now), 90000u * 5);
    EXPECT_EQ(hw_clock_check(), 0);
}

TEST(Registers, OutsideTheWindowReadsMarkerAndDropsWrites)
{
    devmem_map();
    EXPECT_EQ(reg_read(0x01000000u), 0xDEADBEEFu);
    reg_write(0x01000000u, 5);
    EXPECT_EQ(reg_read(0x01000000u), 0xDEADBEEFu);
    reg_write(0x01C70004u, 0x1234u);
    EXPECT_EQ(reg_read(0x01C70004u), 0x1234u);
    reg_write_field(0x01C70004u, 4, 8, 0xAB);
    EXPECT_EQ(reg_read(0x01C70004u), 0x1AB4u);
    vpss_reset();   // saves and restores the VPSS registers around the reset
    EXPECT_EQ(reg_read(0x01C70004u), 0x1AB4u);
}
