#include "core/quit.h"

#include "core/log.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <unistd.h>

GlobalQuit global_quit = {0, PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER, 0};
int quit_eventfd = -1;

namespace {
// Set by the signal handler, looked at by every thread: a lock-free atomic is safe in both.
std::atomic<int> pending_signal{0};

void wake_eventfd()
{
    if (quit_eventfd != -1) {
        uint64_t one = 1;
        if (write(quit_eventfd, &one, sizeof one) < 0) {
            // a full counter still wakes the poller
        }
    }
}
} // namespace

int quit_requested()
{
    if (pending_signal)
        quit_service_signals();
    pthread_mutex_lock(&global_quit.mutex);
    int v = global_quit.value;
    pthread_mutex_unlock(&global_quit.mutex);
    return v;
}

int quit_requested_nolock()
{
    return __atomic_load_n(&global_quit.value, __ATOMIC_ACQUIRE) | (pending_signal ? 1 : 0);
}

void quit_set(int value, bool wake)
{
    pthread_mutex_lock(&global_quit.mutex);
    // A reboot or halt asked for earlier is not weakened by a later plain quit.
    // Stored atomically: the signal and crash paths read it without the mutex.
    if (global_quit.value == 0 || value > global_quit.value)
        __atomic_store_n(&global_quit.value, value, __ATOMIC_RELEASE);
    global_quit.rtsp_control = RTSP_CONTROL_RELOAD_USERS;
    pthread_cond_broadcast(&global_quit.cond);
    pthread_mutex_unlock(&global_quit.mutex);
    if (wake)
        wake_eventfd();
}

int quit_wait(int timeout_ms)
{
    struct timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += timeout_ms / 1000;
    deadline.tv_nsec += (long)(timeout_ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec++;
        deadline.tv_nsec -= 1000000000L;
    }
    if (pending_signal)
        quit_service_signals();
    pthread_mutex_lock(&global_quit.mutex);
    while (global_quit.value == 0) {
        if (pthread_cond_timedwait(&global_quit.cond, &global_quit.mutex, &deadline) == ETIMEDOUT)
            break;
    }
    int v = global_quit.value;
    pthread_mutex_unlock(&global_quit.mutex);
    return v;
}

void rtsp_control_set(uint8_t value)
{
    pthread_mutex_lock(&global_quit.mutex);
    global_quit.rtsp_control = value;
    pthread_mutex_unlock(&global_quit.mutex);
}

void global_quit_handler(int sig)
{
    // A second SIGINT during shutdown ends the process at once.
    signal(SIGINT, SIG_DFL);
    pending_signal.store(sig);
}

bool quit_service_signals()
{
    if (pending_signal.exchange(0) == 0)
        return false;
    // Every thread loop polls the quit state, so whichever sees the signal first acts on it.
    // Logged first: its stamp then comes before every line a thread writes on seeing the quit.
    log_printf("global set quit\n");
    quit_set(QUIT_QUIT, true);
    return true;
}
