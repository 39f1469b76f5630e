#include "core/board.h"
#include "core/log.h"
#include "core/param.h"
#include "platform/dmai.h"
#include "platform/platform.h"
#include "testutil.h"

#include <cstdio>
#include <gtest/gtest.h>

class Gpio : public ::testing::Test {
protected:
    ParamBlock p{};
    Fifo_Handle events = nullptr;
    GpioState st{};

    void SetUp() override
    {
        platform_init();
        board_gpio_init();
        events = Fifo_create(&Fifo_Attrs_DEFAULT);
        p.GpioAlarmEnabled = 1;
        p.GpioInTrigLevel = 1;
        p.GpioOutDefault = 0;
        p.AlarmTimeout = 60;
        gpio_state_init(&st, &p);
    }
    void TearDown() override { Fifo_delete(events); }
    void alarm_input(int active) { platform_gpio_set_input(GPIO_ALARM_IN, active); }
    void set_standard(const char *s)
    {
        FILE *f = fopen(test_board_path("video/standard").c_str(), "w");
        if (f) {
            fputs(s, f);
            fclose(f);
        }
    }
};

TEST_F(Gpio, ShortAlarmPulseFiresNothing)
{
    alarm_input(0);
    gpio_round(&st, &p, events);
    alarm_input(1);
    gpio_round(&st, &p, events);
    gpio_round(&st, &p, events);   // two reads of the pulse only
    alarm_input(0);
    for (int i = 0; i < 5; i++)
        gpio_round(&st, &p, events);
    EXPECT_EQ(Fifo_getNumEntries(events), 0);
    EXPECT_EQ(platform_gpio_output(GPIO_ALARM_OUT), 0);
}

TEST_F(Gpio, SteadyAlarmFiresOnceOnTheThirdReadAndSetsTheOutput)
{
    alarm_input(0);
    gpio_round(&st, &p, events);
    alarm_input(1);
    gpio_round(&st, &p, events);
    gpio_round(&st, &p, events);
    EXPECT_EQ(Fifo_getNumEntries(events), 0);
    gpio_round(&st, &p, events);
    ASSERT_EQ(Fifo_getNumEntries(events), 1);
    void *ev;
    Fifo_get(events, &ev);
    EXPECT_EQ(*static_cast<int *>(ev), GPIO_EVENT_ALARM);
    EXPECT_EQ(platform_gpio_output(GPIO_ALARM_OUT), 1);
    for (int i = 0; i < 5; i++)
        gpio_round(&st, &p, events);
    EXPECT_EQ(Fifo_getNumEntries(events), 0);
}

TEST_F(Gpio, ZeroTimeoutReturnsTheOutputInTheSameRound)
{
    p.AlarmTimeout = 0;
    alarm_input(0);
    gpio_round(&st, &p, events);
    alarm_input(1);
    for (int i = 0; i < 3; i++)
        gpio_round(&st, &p, events);
    EXPECT_EQ(Fifo_getNumEntries(events), 1);
    EXPECT_EQ(platform_gpio_output(GPIO_ALARM_OUT), 0);
}

TEST_F(Gpio, VideoLockEventAfterThresholdRoundsAndNeverWithZero)
{
    p.GpioAlarmEnabled = 0;
    p.VlockAlarmEnabled = 1;
    p.VlockThreshold = 3;
    set_standard("ntsc");
    for (int i = 0; i < 3; i++) {
        gpio_round(&st, &p, events);
        EXPECT_EQ(Fifo_getNumEntries(events), 0) << "round " << i;
    }
    gpio_round(&st, &p, events);
    EXPECT_EQ(Fifo_getNumEntries(events), 1);

    GpioState st0;
    p.VlockThreshold = 0;
    gpio_state_init(&st0, &p);
    Fifo_Handle none = Fifo_create(&Fifo_Attrs_DEFAULT);
    for (int i = 0; i < 10; i++)
        gpio_round(&st0, &p, none);
    EXPECT_EQ(Fifo_getNumEntries(none), 0);
    Fifo_delete(none);
}

TEST_F(Gpio, ButtonPressCountsOncePerPress)
{
    p.GpioAlarmEnabled = 0;
    platform_gpio_set_input(GPIO_BUTTON, 0);
    gpio_round(&st, &p, events);
    platform_gpio_set_input(GPIO_BUTTON, 1);
    for (int i = 0; i < 4; i++)
        gpio_round(&st, &p, events);
    EXPECT_EQ(st.button_presses, 1);
    platform_gpio_set_input(GPIO_BUTTON, 0);
    gpio_round(&st, &p, events);
    platform_gpio_set_input(GPIO_BUTTON, 1);
    gpio_round(&st, &p, events);
    EXPECT_EQ(st.button_presses, 2);
}

TEST(Leds, ErrorLineLightsTheErrorLed)
{
    platform_init();
    board_gpio_init();
    EXPECT_EQ(platform_gpio_output(GPIO_LED_ERROR), 0);
    log_error("%s %d: Failed to open codec engine %s\n", "test", __LINE__, "encode");
    EXPECT_EQ(platform_gpio_output(GPIO_LED_ERROR), 1);
}
