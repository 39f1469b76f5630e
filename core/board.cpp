#include "core/board.h"
#include "services/network.h"

#include "core/log.h"
#include "core/param.h"
#include "core/quit.h"
#include "core/soc.h"
#include "core/threads.h"
#include "core/util.h"
#include "platform/platform.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <linux/usbdevice_fs.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <unistd.h>

int safe_boot;
uint32_t board_model;
char board_model_string[32];

namespace {

int gpio_fd;                     // 0 not opened, negative failed or closed
volatile int blink_state;        // 0 off, 1 blinking with the LED off, 2 blinking with it on
std::atomic<int> alarm_out_last; // the last value written to GPIO 26
int watchdog_fd = -2;            // -2 not yet opened, -1 unavailable
long long watchdog_last_ms;   // monotonic time of the last feed, 0 none yet
std::atomic<int> button_presses;
std::atomic<int> events_dropped;
volatile int audio_routing;

constexpr uint32_t PRTC_CMD = 0x01C69004u, PRTC_DATA = 0x01C69008u;
constexpr long PRTC_WAIT_NS = 5 * 1000 * 1000;

const int event_codes[2] = {GPIO_EVENT_ALARM, GPIO_EVENT_VLOCK};

long monotonic_seconds()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long)now.tv_sec;
}

// The bridge answers within microseconds; one that stays busy must not hang the caller (the
// web thread reads it through DebugData).
int prtc_wait(const char *who)
{
    struct timespec start, now;
    clock_gettime(CLOCK_MONOTONIC, &start);
    while (reg_read(PRTC_CMD) & 0x80000000u) {
        clock_gettime(CLOCK_MONOTONIC, &now);
        if ((now.tv_sec - start.tv_sec) * 1000000000L + (now.tv_nsec - start.tv_nsec) > PRTC_WAIT_NS) {
            log_printf("%s: PRTC busy\n", who);
            return -1;
        }
        sched_yield();
    }
    return 0;
}

// Nobody reads the events; a full fifo drops the new one rather than stop the thread.
void put_event(Fifo_Handle events, int code)
{
    if (!events)
        return;
    if (Fifo_getNumEntries(events) >= GPIO_EVENTS_MAX) {
        events_dropped++;
        return;
    }
    Fifo_put(events, (void *)&event_codes[code]);
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

// The messages go to standard output as the driver's users always printed them; flushed at
// once so they sit in order with the log lines.
int user_gpio_read(int gpio)
{
    if (gpio_fd <= 0) {
        printf("Failed to read gpio%d, not open\n", gpio);
        fflush(stdout);
        return -1;
    }
    UserGpioArg a = {(uint32_t)gpio, 0};
    if (platform_gpio_ioctl(gpio_fd, USER_GPIO_READ, &a) != 0) {
        perror("USER_GPIO_READ");
        printf("Failed to read gpio%d\n", gpio);
        fflush(stdout);
        return 0;
    }
    return a.value <= 1 ? 1 - (int)a.value : 0;
}

int user_gpio_write(int gpio, int value)
{
    if (gpio_fd <= 0) {
        printf("Failed to write gpio%d, not open\n", gpio);
        fflush(stdout);
        return -1;
    }
    UserGpioArg a = {(uint32_t)gpio, (uint32_t)value};
    if (platform_gpio_ioctl(gpio_fd, USER_GPIO_WRITE, &a) != 0) {
        perror("USER_GPIO_WRITE");
        printf("Failed to write gpio%d\n", gpio);
        fflush(stdout);
        return -1;
    }
    if (gpio == GPIO_ALARM_OUT)
        alarm_out_last = value;
    return 0;
}

int user_gpio_poll()
{
    if (gpio_fd == 0) {
        gpio_fd = platform_gpio_open();
        if (gpio_fd < 0)
            perror("open");
    }
    return platform_gpio_ioctl(gpio_fd, USER_GPIO_POLL, nullptr) == 0 ? 1 : 0;
}

int gpio_alarm_out_last()
{
    return alarm_out_last.load();
}

void gpio_blink_xled(int enable)
{
    blink_state = enable;
    user_gpio_write(GPIO_LED_ACTIVITY, enable);
    printf("%s: enable=%d\n", "gpio_blink_xled", enable);
    fflush(stdout);
}

int gpio_blink_state()
{
    return blink_state;
}

void watchdog_kick()
{
    if (watchdog_fd == -2) {
        watchdog_fd = platform_watchdog_open();
        if (watchdog_fd < 0) {
            perror("/dev/watchdog");
            watchdog_fd = -1;
            return;
        }
        log_printf("watchdog is enabled\n");
        return;
    }
    // Whole seconds would let two feeds come barely three seconds apart.
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    long long now = (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
    if (watchdog_fd >= 0 && (watchdog_last_ms == 0 || now - watchdog_last_ms >= 4000)) {
        platform_watchdog_feed(watchdog_fd);
        watchdog_last_ms = now;
    }
}

int prtc_read(int reg)
{
    if (prtc_wait("prtc_read") != 0)
        return -1;
    reg_write(PRTC_CMD, (uint32_t)reg | 0x01010000u);
    if (prtc_wait("prtc_read") != 0)
        return -1;
    return (int)(reg_read(PRTC_DATA) & 0xFF);
}

int prtc_write(int reg, int value)
{
    if (prtc_wait("prtc_write") != 0)
        return -1;
    reg_write(PRTC_CMD, ((uint32_t)reg & 0xFF) | 0x10000u);
    reg_write(PRTC_DATA, (uint32_t)value);
    return prtc_wait("prtc_write");
}

int prtc_read_u8(int reg)
{
    return prtc_read(reg & 0xFF);
}

int prtc_bit_test(int bit)
{
    int v = prtc_read(3);
    return v < 0 ? -1 : (v >> (bit & 7)) & 1;
}

void board_set_audio_routing(int on)
{
    audio_routing = on ? 1 : 0;
    psc_enable_modules(on);
}

int board_audio_routing()
{
    return audio_routing;
}

int read_temperature_sensor()
{
    const int slave = 0x48;
    char path[256];
    int fd = open(platform_path("/dev/i2c-1", path, sizeof path), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        perror("/dev/i2c-1");
        return -1;
    }
    if (ioctl(fd, I2C_SLAVE, slave) < 0) {
        perror("I2C_SLAVE");
        printf("slave_addr = 0x%02x\n", slave);
        fflush(stdout);
        close(fd);
        return -1;
    }
    union i2c_smbus_data data = {};
    struct i2c_smbus_ioctl_data args = {I2C_SMBUS_READ, 0, I2C_SMBUS_WORD_DATA, &data};
    int ret = ioctl(fd, I2C_SMBUS, &args);
    close(fd);
    if (ret < 0) {
        perror("I2C_SMBUS_READ I2C_SMBUS_WORD_DATA");
        printf("%s: ret=%d\n", "read_temperature_sensor", ret);
        fflush(stdout);
        return -1;
    }
    // The sensor sends its high byte first; SMBus words arrive low byte first.
    int first = data.word & 0xFF, second = data.word >> 8;
    return ((first << 8) | second) >> 4;
}

int usb_hub_port_power(const char *device, int port, int on)
{
    char path[256];
    int fd = open(platform_path(device, path, sizeof path), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        perror(device);
        return -1;
    }
    uint8_t desc[18];
    if (read(fd, desc, sizeof desc) != (ssize_t)sizeof desc || desc[4] != 9) {
        printf("%s is not a hub\n", device);
        fflush(stdout);
        close(fd);
        return -1;
    }
    uint8_t hub[16] = {};
    struct usbdevfs_ctrltransfer get_hub = {0xA0, 6, 0x2900, 0, sizeof hub, 1000, hub};
    if (ioctl(fd, USBDEVFS_CONTROL, &get_hub) < 0) {
        perror("USBDEVFS_CONTROL hub descriptor");
        close(fd);
        return -1;
    }
    if (port < 1 || port > hub[2]) {
        printf("%s: no port %d\n", device, port);
        fflush(stdout);
        close(fd);
        return -1;
    }
    struct usbdevfs_ctrltransfer feature = {0x23, (uint8_t)(on ? 3 : 1), 8, (uint16_t)port, 0, 1000, nullptr};
    uint8_t st[4] = {};
    struct usbdevfs_ctrltransfer status = {0xA3, 0, 0, (uint16_t)port, sizeof st, 1000, st};
    if (ioctl(fd, USBDEVFS_CONTROL, &feature) < 0 || ioctl(fd, USBDEVFS_CONTROL, &status) < 0) {
        perror("USBDEVFS_CONTROL port power");
        close(fd);
        return -1;
    }
    close(fd);
    unsigned s = st[0] | st[1] << 8;
    char line[200];
    int n = snprintf(line, sizeof line, "Port %2d status: %04x ", port, s);
    static const struct {
        unsigned bit;
        const char *name;
    } bits[] = {{0x1000, " Indicator"}, {0x0800, " Test-Mode"}, {0x0400, " High-Speed"}, {0x0200, " Low-Speed"},
                {0x0010, " Resetting"}, {0x0008, " Overcurrent"}, {0x0004, " Suspended"}, {0x0002, " Enabled"},
                {0x0001, " Connected"}};
    for (auto &b : bits) {
        if (b.bit == 0x0010)
            n += snprintf(line + n, sizeof line - n, "%s", (s & 0x0100) ? " Power-On" : " Power-Off");
        if (s & b.bit)
            n += snprintf(line + n, sizeof line - n, "%s", b.name);
    }
    printf("%s\n", line);
    fflush(stdout);
    return 0;
}

void gpio_state_init(GpioState *st, const ParamBlock *p)
{
    *st = {};
    st->prev_alarm_in = -1;
    // Starting from the level that is not the trigger, an input already at the trigger level
    // at start fires, and every later edge to it fires once.
    st->debounced_level = p->GpioInTrigLevel == 0 ? 1 : 0;
    st->prev_button = -1;
}

void gpio_round(GpioState *st, const ParamBlock *p, Fifo_Handle events)
{
    long now = monotonic_seconds();

    // Alarm input: a level counts after three equal reads in a row.
    if (p->GpioAlarmEnabled) {
        int in = user_gpio_read(GPIO_ALARM_IN);
        if (in != st->prev_alarm_in) {
            st->prev_alarm_in = in;
            st->alarm_count = 2;
        } else if (st->alarm_count) {
            st->alarm_count--;
            if (st->alarm_count == 0) {
                if (in == p->GpioInTrigLevel && in != st->debounced_level) {
                    st->alarm_active = 1;
                    st->alarm_time = now;
                    put_event(events, GPIO_EVENT_ALARM);
                    user_gpio_write(GPIO_ALARM_OUT, !p->GpioOutDefault);
                }
                st->debounced_level = in;
            }
        }
    }
    if (st->alarm_active) {
        // Back to rest once: the output stays free for GPIO.out afterwards.
        if (!p->GpioAlarmEnabled || now - st->alarm_time >= (long)p->AlarmTimeout) {
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
            if (st->vlock_count == 1)
                put_event(events, GPIO_EVENT_VLOCK);
            st->vlock_count--;
        }
    }

    // Button: a press while running starts the address learning, once per press.
    int button = user_gpio_read(GPIO_BUTTON);
    if (st->prev_button >= 0 && st->prev_button != button && button == 1)
        st->button_presses++;
    st->prev_button = button;
}

int gpio_thread_step(GpioState *st, const ParamBlock *p, Fifo_Handle events)
{
    gpio_round(st, p, events);
    if (st->button_presses != st->handled_presses) {
        st->handled_presses = st->button_presses;
        gpio_button_pressed();
    }
    int ms;
    int blink = blink_state;
    if (blink == 1) {
        user_gpio_write(GPIO_LED_ACTIVITY, 1);
        blink_state = 2;
        ms = 300;
    } else if (blink == 2) {
        user_gpio_write(GPIO_LED_ACTIVITY, 0);
        blink_state = 1;
        ms = 100;
    } else {
        ms = 100;
    }
    codec_hang_check();
    watchdog_kick();
    return ms;
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
        while (!quit_requested())
            sleep_ms(gpio_thread_step(&st, p, env->hEventFifo));
    }
    myRendezvousCleanup(env->hRendezvousCleanup, env->name);
    board_gpio_close();
    return nullptr;
}

void gpio_button_pressed()
{
    button_presses++;
    set_mac_from_serial();
    log_printf("%s: button pressed (%d)\n", "gpio", button_presses.load());
    start_ip_config(get_param_block());
}

int gpio_button_press_count()
{
    return button_presses.load();
}

int gpio_events_dropped()
{
    return events_dropped.load();
}
