// Board discrete I/O: buttons, switches and LEDs through the GPIO driver, and the watchdog.
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

extern int safe_boot;
extern uint32_t board_model;
extern char board_model_string[32];

void board_gpio_init();
int user_gpio_read(int gpio);
int user_gpio_write(int gpio, int value);
int user_gpio_poll();
void gpio_blink_xled(int enable);
int gpio_blink_state();
void watchdog_kick();
void board_gpio_close();

int prtc_read(int reg);
void prtc_write(int reg, int value);
int prtc_read_u8(int reg);

// Events the gpio thread puts on its event fifo.
enum { GPIO_EVENT_ALARM = 0, GPIO_EVENT_VLOCK = 1 };

struct ParamBlock;
struct Fifo_Object;

// One round of the gpio thread's input handling, kept apart so it can be driven step by step.
struct GpioState {
    int prev_alarm_in;
    int alarm_count;
    int reported_level;
    int alarm_active;
    long alarm_time;
    int vlock_state;
    int vlock_count;
    int prev_button;
    int button_presses;
};
void gpio_state_init(GpioState *st, const ParamBlock *p);
void gpio_round(GpioState *st, const ParamBlock *p, Fifo_Object *events);
// What a press of the front button does while running.
void gpio_button_pressed();

void *gpioThrFxn(void *arg);
