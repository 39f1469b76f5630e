#include "platform/systime.h"

#include "platform/platform_internal.h"

#include <atomic>

namespace {
std::atomic<long long> offset_s;
}

time_t platform_time_now()
{
    return time(nullptr) + (time_t)offset_s.load();
}

int platform_time_set(time_t t)
{
    offset_s.store((long long)(t - time(nullptr)));
    platform_log("simulated: system time set to %lld\n", (long long)t);
    return 0;
}
