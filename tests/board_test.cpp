#include "core/board.h"
#include "core/log.h"
#include "core/param.h"
#include "core/param_table.h"
#include "core/soc.h"
#include "core/threads.h"
#include "platform/dmai.h"
#include "platform/platform.h"
#include "testutil.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

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
    // Holds the input for n rounds.
    void hold(int active, int rounds)
    {
        alarm_input(active);
        for (int i = 0; i < rounds; i++)
            gpio_round(&st, &p, events);
    }
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

TEST_F(Gpio, EveryNewEdgeToTheTriggerLevelFiresAgain)
{
    for (int out_default = 0; out_default <= 1; out_default++) {
        p.GpioOutDefault = (uint8_t)out_default;
        p.AlarmTimeout = 0;
        gpio_state_init(&st, &p);
        for (int alarm = 0; alarm < 3; alarm++) {
            hold(0, 3);
            hold(1, 3);
            EXPECT_EQ(Fifo_getNumEntries(events), alarm + 1) << "default " << out_default;
        }
        hold(1, 10);   // a steady level fires once
        EXPECT_EQ(Fifo_getNumEntries(events), 3);
        void *ev;
        while (Fifo_getNumEntries(events))
            Fifo_get(events, &ev);
    }
    // Trigger level 0: rest is 1, and an input at 0 from the start fires once.
    p.GpioInTrigLevel = 0;
    gpio_state_init(&st, &p);
    hold(0, 3);
    EXPECT_EQ(Fifo_getNumEntries(events), 1);
    // A trigger level no input can have never fires.
    p.GpioInTrigLevel = 7;
    gpio_state_init(&st, &p);
    hold(0, 3);
    hold(1, 3);
    EXPECT_EQ(Fifo_getNumEntries(events), 1);
}

TEST_F(Gpio, AlarmOutputGoesBackOnceAndLeavesGpioOutAlone)
{
    p.AlarmTimeout = 0;
    hold(0, 1);
    hold(1, 3);
    EXPECT_EQ(platform_gpio_output(GPIO_ALARM_OUT), 0);
    // Driven by GPIO.out after the alarm: the thread does not take it back.
    EXPECT_EQ(param_set("GPIO.out", "1", 1), nullptr);
    hold(1, 5);
    EXPECT_EQ(platform_gpio_output(GPIO_ALARM_OUT), 1);
    char buf[8];
    param_get("GPIO.out", buf, sizeof buf);
    EXPECT_STREQ(buf, "1");
    // Disabling the input while an alarm is active ends it at the default.
    p.AlarmTimeout = 3600;
    hold(0, 3);
    hold(1, 3);
    EXPECT_EQ(platform_gpio_output(GPIO_ALARM_OUT), 1);
    p.GpioAlarmEnabled = 0;
    gpio_round(&st, &p, events);
    EXPECT_EQ(platform_gpio_output(GPIO_ALARM_OUT), 0);
    EXPECT_EQ(st.alarm_active, 0);
}

TEST_F(Gpio, GpioOutTakesExactlyZeroOrOne)
{
    EXPECT_EQ(param_set("GPIO.out", "1", 1), nullptr);
    for (const char *bad : {"2", "01", "", "1 ", "x", "-1"})
        EXPECT_NE(param_set("GPIO.out", bad, strlen(bad)), nullptr) << bad;
    EXPECT_EQ(platform_gpio_output(GPIO_ALARM_OUT), 1);
    EXPECT_EQ(param_set("GPIO.out", "0", 1), nullptr);
    EXPECT_EQ(platform_gpio_output(GPIO_ALARM_OUT), 0);
    platform_gpio_set_input(GPIO_ALARM_IN, 1);
    char buf[8];
    param_get("GPIO.in", buf, sizeof buf);
    EXPECT_STREQ(buf, "1");
}

TEST_F(Gpio, UnreadEventsNeverPileUpOrBlock)
{
    p.AlarmTimeout = 0;
    int dropped = gpio_events_dropped();
    for (int i = 0; i < 3 * GPIO_EVENTS_MAX; i++) {
        hold(0, 3);
        hold(1, 3);
    }
    EXPECT_EQ(Fifo_getNumEntries(events), GPIO_EVENTS_MAX);
    EXPECT_EQ(gpio_events_dropped() - dropped, 2 * GPIO_EVENTS_MAX);
}

TEST_F(Gpio, BlinkAlternatesThreeHundredOnAndOneHundredOff)
{
    p.GpioAlarmEnabled = 0;
    gpio_blink_xled(1);
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(gpio_thread_step(&st, &p, events), 300);
        EXPECT_EQ(platform_gpio_output(GPIO_LED_ACTIVITY), 1);
        EXPECT_EQ(gpio_thread_step(&st, &p, events), 100);
        EXPECT_EQ(platform_gpio_output(GPIO_LED_ACTIVITY), 0);
    }
    gpio_blink_xled(0);
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(gpio_thread_step(&st, &p, events), 100);
        EXPECT_EQ(platform_gpio_output(GPIO_LED_ACTIVITY), 0);
    }
}

TEST_F(Gpio, ButtonPressRunsItsActionOncePerPress)
{
    p.GpioAlarmEnabled = 0;
    platform_gpio_set_input(GPIO_BUTTON, 1);   // held at start: not a press
    gpio_thread_step(&st, &p, events);
    EXPECT_EQ(gpio_button_press_count(), 0);
    for (int press = 1; press <= 2; press++) {
        platform_gpio_set_input(GPIO_BUTTON, 0);
        gpio_thread_step(&st, &p, events);
        platform_gpio_set_input(GPIO_BUTTON, 1);
        for (int i = 0; i < 5; i++)
            gpio_thread_step(&st, &p, events);
        EXPECT_EQ(gpio_button_press_count(), press);
    }
}

TEST_F(Gpio, WatchdogOpensOnTheFirstRoundAndIsFedAtMostEveryFourSeconds)
{
    p.GpioAlarmEnabled = 0;
    for (int i = 0; i < 50; i++)
        gpio_thread_step(&st, &p, events);
    std::ifstream feeds(test_board_path("dev/watchdog"));
    ASSERT_TRUE(feeds.good());
    int lines = 0;
    for (std::string l; std::getline(feeds, l);)
        lines++;
    EXPECT_EQ(lines, 1);
}

TEST(GpioDevice, MissingDeviceFailsEveryCallAndTheThreadEndsAtOnce)
{
    platform_init();
    platform_gpio_fail(1, 0);
    testing::internal::CaptureStdout();
    board_gpio_init();
    EXPECT_EQ(user_gpio_read(GPIO_ALARM_IN), -1);
    EXPECT_EQ(user_gpio_write(GPIO_ALARM_OUT, 1), -1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Failed to read gpio27, not open\n"), std::string::npos);
    EXPECT_NE(out.find("Failed to write gpio26, not open\n"), std::string::npos);
    EXPECT_EQ(user_gpio_poll(), 0);

    ParamBlock p{};
    SimpleEnv env{};
    env.name = "gpio";
    env.params = &p;
    unlink(test_board_path("dev/watchdog").c_str());
    auto t0 = std::chrono::steady_clock::now();
    gpioThrFxn(&env);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
    EXPECT_EQ(env.status, -1);
    EXPECT_NE(access(test_board_path("dev/watchdog").c_str(), F_OK), 0);
    platform_gpio_fail(0, 0);
}

TEST(GpioDevice, FailingRequestsReportAndReadAsInactive)
{
    platform_init();
    board_gpio_init();
    platform_gpio_fail(0, 1);
    testing::internal::CaptureStdout();
    EXPECT_EQ(user_gpio_read(GPIO_ALARM_IN), 0);
    EXPECT_EQ(user_gpio_write(GPIO_ALARM_OUT, 1), -1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Failed to read gpio27\n"), std::string::npos);
    EXPECT_NE(out.find("Failed to write gpio26\n"), std::string::npos);
    EXPECT_NE(param_set("GPIO.out", "1", 1), nullptr);
    platform_gpio_fail(0, 0);
}

TEST(Prtc, RegistersReadBackAndABusyBridgeFailsFast)
{
    devmem_map();
    EXPECT_EQ(prtc_write(5, 0xAB), 0);
    EXPECT_EQ(prtc_read(5), 0xAB);
    EXPECT_EQ(prtc_read_u8(0x10005), 0xAB);
    EXPECT_EQ(prtc_write(3, 0x04), 0);
    EXPECT_EQ(prtc_bit_test(2), 1);
    EXPECT_EQ(prtc_bit_test(1), 0);
    EXPECT_EQ(param_set("DebugAddr", "0x10005", 7), nullptr);
    char buf[32];
    param_get("DebugData", buf, sizeof buf);
    EXPECT_STREQ(buf, "0x000000ab");

    platform_prtc_hold_busy(1);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(prtc_read(5), -1);
    EXPECT_EQ(prtc_write(5, 1), -1);
    EXPECT_EQ(prtc_bit_test(0), -1);
    EXPECT_NE(param_set("DebugData", "1", 1), nullptr);
    param_get("DebugData", buf, sizeof buf);
    EXPECT_STREQ(buf, "not available");
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(500));
    platform_prtc_hold_busy(0);
    EXPECT_EQ(prtc_read(5), 0xAB);
}

TEST(BoardUtilities, AbsentDevicesReportFailure)
{
    platform_init();
    testing::internal::CaptureStdout();
    EXPECT_EQ(read_temperature_sensor(), -1);   // no /dev/i2c-1
    {
        std::ofstream f(test_board_path("dev/i2c-1"));   // not an I2C adapter
    }
    EXPECT_EQ(read_temperature_sensor(), -1);
    {
        std::ofstream f(test_board_path("dev/usbhub"), std::ios::binary);
        const char desc[18] = {18, 1, 0, 2, 0 /* class: not a hub */};
        f.write(desc, sizeof desc);
    }
    EXPECT_EQ(usb_hub_port_power("/dev/usbhub", 1, 1), -1);
    EXPECT_EQ(usb_hub_port_power("/dev/nohub", 1, 1), -1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("slave_addr = 0x48\n"), std::string::npos);
    EXPECT_NE(out.find("/dev/usbhub is not a hub\n"), std::string::npos);
}
