#include "core/param.h"
#include "core/param_table.h"

#include <benchmark/benchmark.h>
#include <cstring>

static void BM_ParamGetByName(benchmark::State &state)
{
    memcpy(&param_block, &param_defaults, sizeof param_block);
    char buf[128];
    for (auto _ : state)
        benchmark::DoNotOptimize(param_get("RTSP_CustomStreamMode", buf, sizeof buf));
}
BENCHMARK(BM_ParamGetByName)->Unit(benchmark::kMicrosecond);

// The configuration dump: every stored row by index.
static void BM_ParamFormatAllRows(benchmark::State &state)
{
    memcpy(&param_block, &param_defaults, sizeof param_block);
    char buf[256];
    int n = param_count();
    for (auto _ : state) {
        for (int i = 0; i < n; i++) {
            if (param_is_function(i))
                continue;
            benchmark::DoNotOptimize(param_format(i, buf, sizeof buf));
        }
    }
}
BENCHMARK(BM_ParamFormatAllRows)->Unit(benchmark::kMicrosecond);

static void BM_ParamSetByName(benchmark::State &state)
{
    memcpy(&param_block, &param_defaults, sizeof param_block);
    for (auto _ : state)
        benchmark::DoNotOptimize(param_set_text("Video[1].BitRate", "3000000"));
}
BENCHMARK(BM_ParamSetByName)->Unit(benchmark::kMicrosecond);
