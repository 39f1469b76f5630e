#include "core/board.h"

#include "core/log.h"
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

void *gpioThrFxn(void *arg)
{
    SimpleEnv *env = static_cast<SimpleEnv *>(arg);
    thread_idle_until_quit(env->name, env->hRendezvousInit, env->hRendezvousCleanup);
    return nullptr;
}
