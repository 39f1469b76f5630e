#include "core/util.h"

#include "core/threads.h"
#include "platform/dmai.h"
#include "platform/platform.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <strings.h>

void sleep_ms(unsigned ms)
{
    struct timespec ts = {(time_t)(ms / 1000), (long)(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR)
        ;
}

int64_t monotonic_ms()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (int64_t)t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

bool rate_gate_open(RateGate *g, unsigned burst, int period_ms, unsigned *held)
{
    int64_t now = monotonic_ms();
    if (g->start_ms == 0 || now - g->start_ms >= period_ms) {
        g->start_ms = now ? now : 1;
        g->passed = 0;
    }
    if (g->passed >= burst) {
        g->held++;
        return false;
    }
    g->passed++;
    *held = g->held;
    g->held = 0;
    return true;
}

bool rate_gate_due(const RateGate *g, int period_ms)
{
    return g->held && monotonic_ms() - g->start_ms >= period_ms;
}

bool rate_gate_line(RateGate *g, int period_ms, char *more, size_t size)
{
    unsigned held = 0;
    if (size)
        more[0] = 0;
    if (!rate_gate_open(g, 1, period_ms, &held))
        return false;
    if (held && size)
        snprintf(more, size, " (%u more since the last report)", held);
    return true;
}

int read_file_line(const char *path, char *buffer, size_t size)
{
    if (size == 0)
        return -1;
    buffer[0] = 0;
    char real[4096];
    FILE *f = fopen(platform_path(path, real, sizeof real), "r");
    if (!f)
        return -1;
    if (!fgets(buffer, (int)size, f)) {
        fclose(f);
        buffer[0] = 0;
        return -1;
    }
    fclose(f);
    size_t n = strlen(buffer);
    if (n && buffer[n - 1] == '\n')
        buffer[n - 1] = 0;
    return 0;
}

int has_prefix_ci(const char *text, const char *prefix)
{
    return strncasecmp(text, prefix, strlen(prefix)) == 0 ? 1 : 0;
}

int has_suffix_ci(const char *text, const char *suffix)
{
    size_t t = strlen(text), s = strlen(suffix);
    return s <= t && strcasecmp(text + t - s, suffix) == 0 ? 1 : 0;
}

int fd_poll_in(int fd, int timeout_ms)
{
    struct pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, timeout_ms);
}

int cpu_load_percent()
{
    int load = 0;
    if (cpu_handle)
        Cpu_getLoad(cpu_handle, &load);
    return load;
}
