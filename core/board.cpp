#include "core/board.h"
#include "services/network.h"

#include "core/log.h"
#include "core/param.h"
#include "core/quit.h"
#include "core/util.h"
#include "core/soc.h"
#include "core/threads.h"
#include "platform/platform.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <sched.h>

int safe_boot;
uint32_t board_model;
char board_model_string[32];

namespace {
int gpio_fd;               // 0 not opened, negative failed or closed
volatile int blink_state;  // 0 off, 1 blinking with the LED off, 2 blinking with it on
int watchdog_fd = -2;      // -2 not yet opened, -1 unavailable
time_t watchdog_last;

constexpr uint32_t PRTC_CMD = 0x01C69004u, PRTC_DATA = 0x01C69008u;

void prtc_wait()
{
    while (reg_read(PRTC_CMD) & 0x80000000u)
        sched_yield();
}
} // namespace

void board_gpio_init()
{
    snprintf(board_model_string, sizeof board_model_string, "Kelvane Model %u", board_model);
    gpio_fd = platform_gpio_open();
    if (gpio_fd < 0)
        perror("open");
    safe_boot = user_gpio_read(GPIO_SAFE_BOOT);
    user_gpio_write(GPIO_LED_ERROR, 0);
    user_gpio_write(GPIO_LED_CRASH, 0);
    user_gpio_write(GPIO_LED_ACTIVITY, safe_boot);
}

void board_gpio_close()
{
    if (gpio_fd > 0)
        platform_gpio_close(gpio_fd);
    gpio_fd = -1;
}

int user_gpio_read(int gpio)
{
    if (gpio_fd <= 0) {
        printf("Failed to read gpio%d, not open\n", gpio);
        return -1;
    }
    uint32_t raw = 0;
    if (platform_gpio_read(gpio_fd, (uint32_t)gpio, &raw) != 0) {
        perror("USER_GPIO_READ");
        printf("Failed to read gpio%d\n", gpio);
        return 0;
    }
    return raw <= 1 ? 1 - (int)raw : 0;
}

int user_gpio_write(int gpio, int value)
{
    if (gpio_fd <= 0) {
        printf("Failed to write gpio%d, not open\n", gpio);
        return -1;
    }
    if (platform_gpio_write(gpio_fd, (uint32_t)gpio, (uint32_t)value) != 0) {
        perror("USER_GPIO_WRITE");
        printf("Failed to write gpio%d\n", gpio);
        return -1;
    }
    return 0;
}

int user_gpio_poll()
{
    if (gpio_fd == 0) {
        gpio_fd = platform_gpio_open();
        if (gpio_fd < 0)
            perror("open");
    }
    return platform_gpio_poll_vlock(gpio_fd) == 0 ? 1 : 0;
}

void gpio_blink_xled(int enable)
{
    blink_state = enable;
    user_gpio_write(GPIO_LED_ACTIVITY, enable);
    printf("%s: enable=%d\n", "gpio_blink_xled", enable);
}

int gpio_blink_state()
{
    return blink_state;
}

void watchdog_kick()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (watchdog_fd == -2) {
        watchdog_fd = platform_watchdog_open();
        if (watchdog_fd < 0) {
            perror("/dev/watchdog");
            watchdog_fd = -1;
            return;
        }
        log_printf("watchdog is enabled\n");
        watchdog_last = now.tv_sec;
        platform_watchdog_feed(watchdog_fd);
        return;
    }
    if (watchdog_fd >= 0 && now.tv_sec - watchdog_last >= 4) {
        platform_watchdog_feed(watchdog_fd);
        watchdog_last = now.tv_sec;
    }
}

int prtc_read(int reg)
{
    prtc_wait();
    reg_write(PRTC_CMD, (uint32_t)reg | 0x01010000u);
    prtc_wait();
    return (int)(reg_read(PRTC_DATA) & 0xFF);
}

void prtc_write(int reg, int value)
{
    prtc_wait();
    reg_write(PRTC_CMD, ((uint32_t)reg & 0xFF) | 0x10000u);
    reg_write(PRTC_DATA, (uint32_t)value);
    prtc_wait();
}

int prtc_read_u8(int reg)
{
    return prtc_read(reg & 0xFF);
}

namespace {
const int event_codes[2] = {GPIO_EVENT_ALARM, GPIO_EVENT_VLOCK};
}

void gpio_state_init(GpioState *st, const ParamBlock *p)
{
    *st = {};
    st->prev_alarm_in = -1;
    st->reported_level = p->GpioOutDefault;
    st->prev_button = -1;
}

void gpio_round(GpioState *st, const ParamBlock *p, Fifo_Handle events)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);

    // Alarm input: three equal reads in a row before it counts.
    if (p->GpioAlarmEnabled) {
        int in = user_gpio_read(GPIO_ALARM_IN);
        if (in != st->prev_alarm_in) {
            st->prev_alarm_in = in;
            st->alarm_count = 2;
        } else if (st->alarm_count) {
            st->alarm_count--;
            if (st->alarm_count == 0 && in == p->GpioInTrigLevel && in != st->reported_level) {
                st->alarm_active = 1;
                st->alarm_time = now.tv_sec;
                if (events)
                    Fifo_put(events, (void *)&event_codes[0]);
                user_gpio_write(GPIO_ALARM_OUT, !p->GpioOutDefault);
                st->reported_level = in;
            }
        }
    }
    if (st->alarm_active) {
        if (p->GpioAlarmEnabled) {
            if (now.tv_sec - st->alarm_time >= (time_t)p->AlarmTimeout)
                user_gpio_write(GPIO_ALARM_OUT, p->GpioOutDefault);
        } else {
            user_gpio_write(GPIO_ALARM_OUT, p->GpioOutDefault);
            st->alarm_active = 0;
        }
    }

    // Video lock: an event after VlockThreshold rounds of a new, steady lock state.
    if (p->VlockAlarmEnabled) {
        int lock = user_gpio_poll();
        if (lock == 0) {
            st->vlock_state = 0;
            st->vlock_count = 0;
        } else if (lock != st->vlock_state) {
            st->vlock_state = lock;
            st->vlock_count = p->VlockThreshold;
        } else if (st->vlock_count) {
            if (st->vlock_count == 1 && events)
                Fifo_put(events, (void *)&event_codes[1]);
            st->vlock_count--;
        }
    }

    // Button: a press while running starts the address learning, once per press.
    int button = user_gpio_read(GPIO_BUTTON);
    if (st->prev_button >= 0 && st->prev_button != button && button == 1)
        st->button_presses++;
    st->prev_button = button;
}

void *gpioThrFxn(void *arg)
{
    SimpleEnv *env = static_cast<SimpleEnv *>(arg);
    const ParamBlock *p = env->params;
    register_thread_cpu_clock(env->name);
    user_gpio_write(GPIO_ALARM_OUT, p->GpioOutDefault);
    rendezvous_meet(env->hRendezvousInit, env->name);

    if (gpio_fd <= 0) {
        log_printf("Failed to open device\n");
        env->status = -1;
    } else {
        user_gpio_write(GPIO_START_LO, 0);
        user_gpio_write(GPIO_START_HI, 1);
        GpioState st;
        gpio_state_init(&st, p);
        int handled_presses = 0;
        while (!quit_requested()) {
            gpio_round(&st, p, env->hEventFifo);
            if (st.button_presses != handled_presses) {
                handled_presses = st.button_presses;
                gpio_button_pressed();
            }
            int blink = blink_state;
            if (blink == 1) {
                user_gpio_write(GPIO_LED_ACTIVITY, 1);
                blink_state = 2;
                sleep_ms(300);
            } else if (blink == 2) {
                user_gpio_write(GPIO_LED_ACTIVITY, 0);
                blink_state = 1;
                sleep_ms(100);
            } else {
                sleep_ms(100);
            }
            codec_hang_check();
            watchdog_kick();
        }
    }
    myRendezvousCleanup(env->hRendezvousCleanup, env->name);
    board_gpio_close();
    return nullptr;
}

void gpio_button_pressed()
{
    set_mac_from_serial();
    start_ip_config(get_param_block());
}
