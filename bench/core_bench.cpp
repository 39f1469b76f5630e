#include "core/crc32.h"
#include "core/log.h"
#include "core/soc.h"

#include <benchmark/benchmark.h>
#include <cstdio>
#include <vector>

static void BM_Clock90kRead(benchmark::State &state)
{
    devmem_map();
    for (auto _ : state)
        benchmark::DoNotOptimize(hw_clock_90khz());
}
BENCHMARK(BM_Clock90kRead);

static void BM_Crc32Mpeg2(benchmark::State &state)
{
    std::vector<uint8_t> data(state.range(0), 0x5A);
    for (auto _ : state)
        benchmark::DoNotOptimize(crc32_mpeg2(data.data(), data.size()));
    state.SetBytesProcessed(state.iterations() * data.size());
}
BENCHMARK(BM_Crc32Mpeg2)->Arg(1704)->Arg(1 << 20);

static void BM_Crc32Ieee(benchmark::State &state)
{
    std::vector<uint8_t> data(state.range(0), 0x5A);
    for (auto _ : state)
        benchmark::DoNotOptimize(crc32_yield(data.data(), data.size(), nullptr));
    state.SetBytesProcessed(state.iterations() * data.size());
}
BENCHMARK(BM_Crc32Ieee)->Arg(1 << 20);

// Log lines per second with the seventeen threads of the process contending.
static void BM_LogContended(benchmark::State &state)
{
    if (state.thread_index() == 0)
        freopen("/dev/null", "w", stderr);
    for (auto _ : state)
        log_printf("%s %d: bench line %d\n", "videoA", __LINE__, 12345);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LogContended)->Threads(1)->Threads(17)->UseRealTime();
