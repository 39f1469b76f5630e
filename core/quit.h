// The one quit state of the process: 0 run, 1 quit, 2 reboot, 3 halt.
#pragma once
#include <atomic>
#include <cstdint>
#include <pthread.h>

enum { QUIT_RUN = 0, QUIT_QUIT = 1, QUIT_REBOOT = 2, QUIT_HALT = 3 };
enum { RTSP_CONTROL_NONE = 0, RTSP_CONTROL_RELOAD_USERS = 1, RTSP_CONTROL_RESTART = 2 };

struct GlobalQuit {
    int32_t value;
    pthread_mutex_t mutex;
    pthread_cond_t cond;
    // The RTSP event loop's watch variable: written by other threads, read by the loop after
    // every pass without the mutex.
    std::atomic<uint8_t> rtsp_control;
};
extern GlobalQuit global_quit;
extern int quit_eventfd;   // -1 while none exists

int quit_requested();
// Reads the value without the mutex: for signal and crash paths, and under another lock whose
// condition the quitting side signals after setting quit.
int quit_requested_nolock();
// Sets the quit state (never back to 0), wakes main, the RTSP loop and, when asked, the
// threads that sleep on quit_eventfd.
void quit_set(int value, bool wake_eventfd);
// Waits on the quit condition until the value is nonzero or the deadline (ms) passes.
// Returns the value. Test and wait happen under the mutex, so no wake-up is missed.
int quit_wait(int timeout_ms);
// Sets rtsp_control (1 reload users, 2 restart) under the mutex.
void rtsp_control_set(uint8_t value);

// The SIGINT/SIGTERM handler only records the signal; the next quit_requested() or quit_wait()
// on any thread sets the quit state and logs it.
void global_quit_handler(int sig);
bool quit_service_signals();
