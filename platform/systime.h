// The wall clock as the system sets it. On the PC a set moves a private offset instead of this
// machine's clock.
#pragma once
#include <ctime>

time_t platform_time_now();
int platform_time_set(time_t t);
