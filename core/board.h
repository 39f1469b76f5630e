// Board discrete I/O: buttons, switches and LEDs through the GPIO driver, the watchdog, the
// PRTC bridge to the real-time-clock block, and the gpio thread that polls them.
#pragma once
#include <cstdint>

enum {
    GPIO_BUTTON = 0,
    GPIO_LED_ACTIVITY = 22,
    GPIO_SAFE_BOOT = 25,
    GPIO_ALARM_OUT = 26,
    GPIO_ALARM_IN = 27,
    GPIO_DIP_DEFAULTS = 29,
    GPIO_START_HI = 30,
    GPIO_START_LO = 31,
    GPIO_LED_CRASH = 35,
    GPIO_LED_ERROR = 37,
};

// Requests of the board's "/dev/user_gpio" driver; read and write take a UserGpioArg.
enum : unsigned long { USER_GPIO_READ = 0x4700, USER_GPIO_WRITE = 0x4701, USER_GPIO_POLL = 0x4702 };
struct UserGpioArg {
    uint32_t gpio;
    uint32_t value;
};

extern int safe_boot;
extern uint32_t board_model;
extern char board_model_string[32];

void board_gpio_init();
int user_gpio_read(int gpio);               // 1 active, 0 inactive or failed, -1 not open
int user_gpio_write(int gpio, int value);   // 0, or -1
int user_gpio_poll();                       // 1 while video is locked
int gpio_alarm_out_last();                  // the last value written to GPIO 26
void gpio_blink_xled(int enable);
int gpio_blink_state();
void watchdog_kick();
void board_gpio_close();

// PRTC: -1 when the bridge stays busy (the wait is bounded, a few milliseconds).
int prtc_read(int reg);
int prtc_write(int reg, int value);
int prtc_read_u8(int reg);
int prtc_bit_test(int bit);   // bit n of PRTC register 3

// Board utilities nothing else calls; their devices are absent on the PC.
void board_set_audio_routing(int on);
int board_audio_routing();
int read_temperature_sensor();   // 12-bit reading, or -1
int usb_hub_port_power(const char *device, int port, int on);

// Events the gpio thread puts on its event fifo.
enum { GPIO_EVENT_ALARM = 0, GPIO_EVENT_VLOCK = 1 };
// Nobody reads the events: beyond this many waiting, new ones are dropped, so the thread
// (and with it the watchdog) never waits on the fifo.
enum { GPIO_EVENTS_MAX = 16 };

struct ParamBlock;
struct Fifo_Object;

// One round of the gpio thread's input handling, kept apart so it can be driven step by step.
struct GpioState {
    int prev_alarm_in;
    int alarm_count;
    int debounced_level;   // the last level that held for three reads
    int alarm_active;
    long alarm_time;
    int vlock_state;
    int vlock_count;
    int prev_button;
    int button_presses;
    int handled_presses;
};
void gpio_state_init(GpioState *st, const ParamBlock *p);
void gpio_round(GpioState *st, const ParamBlock *p, Fifo_Object *events);
// A whole round of the thread (inputs, button action, blink, hang check, watchdog); returns
// the milliseconds the thread sleeps after it.
int gpio_thread_step(GpioState *st, const ParamBlock *p, Fifo_Object *events);
// What a press of the front button does while running.
void gpio_button_pressed();
int gpio_button_press_count();
int gpio_events_dropped();

void *gpioThrFxn(void *arg);
