// The sound thread at 48 kHz stereo and 192 kbit/s with an AAC consumer: its CPU share of real
// time beside ffmpeg's aac encoder on the same PCM, and the capture stamps' jitter (p99) against
// the ideal step of one period. Runs the thread once (it ends with the process's quit).
#include "audio/sound.h"
#include "core/param.h"
#include "core/quit.h"
#include "core/threads.h"
#include "platform/codec_audio.h"
#include "platform/sound.h"
#include "streams/stream.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr int SECONDS = 8;

double child_cpu_seconds()
{
    struct rusage ru;
    getrusage(RUSAGE_CHILDREN, &ru);
    return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

void BM_SoundThreadVsFfmpegAac(benchmark::State &state)
{
    static ParamBlock params = param_defaults;
    params.Audio.SampleRate = 48000;
    params.Audio.Channels = 2;
    params.Audio.BitRate = 192000;
    static AudioEnv audioA = {};
    audioA.source = 1;
    static SoundEnv env = {};
    env.name = "sound";
    env.params = &params;
    env.hRendezvousInit = Rendezvous_create(2);
    env.hRendezvousCleanup = Rendezvous_create(2);
    env.engineName = "encode";
    env.channels = 2;
    env.audioA = &audioA;

    for (auto _ : state) {
        std::thread th(soundThrFxn, &env);
        Rendezvous_meet(env.hRendezvousInit);
        StreamQueue *pcm = get_stream_queue(PCM_STREAM);
        stream_use(AAC_STREAM);
        // Past the thread's start-up second and the encoder's creation.
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        long cpu0 = thread_cpu_time_us(th.native_handle());
        auto t0 = std::chrono::steady_clock::now();
        pthread_mutex_lock(&pcm->mutex);
        uint32_t seq = pcm->seq;
        pthread_mutex_unlock(&pcm->mutex);

        std::vector<int16_t> samples;
        std::vector<uint32_t> stamps;
        while (std::chrono::steady_clock::now() - t0 < std::chrono::seconds(SECONDS)) {
            uint32_t off, len, ts, fl;
            if (ringbuffer_wait_seq(pcm, &seq, &off, &len, &ts, &fl, 1, nullptr) < 0)
                continue;
            const int16_t *p = reinterpret_cast<const int16_t *>(pcm->data + off);
            samples.insert(samples.end(), p, p + len / 2);
            stamps.push_back(ts);
            seq++;
        }
        long cpu1 = thread_cpu_time_us(th.native_handle());
        double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        quit_set(QUIT_QUIT, false);
        Rendezvous_meet(env.hRendezvousCleanup);
        th.join();

        // ffmpeg's native aac encoder on the very same PCM.
        char path[] = "/tmp/k7160-sound-bench-XXXXXX";
        int fd = mkstemp(path);
        if (fd < 0 || write(fd, samples.data(), samples.size() * 2) != (ssize_t)(samples.size() * 2)) {
            state.SkipWithError("cannot write the PCM file");
            return;
        }
        close(fd);
        double c0 = child_cpu_seconds();
        std::string cmd = std::string("ffmpeg -v error -threads 1 -f s16le -ar 48000 -ac 2 -i ") + path +
                          " -c:a aac -b:a 192k -f adts -y /dev/null";
        int rc = system(cmd.c_str());
        double c1 = child_cpu_seconds();
        unlink(path);
        if (rc != 0) {
            state.SkipWithError("ffmpeg failed");
            return;
        }
        double audioSeconds = samples.size() / 2.0 / 48000.0;

        std::vector<double> dev;
        for (size_t i = 1; i < stamps.size(); i++)
            dev.push_back(std::fabs((double)(int32_t)(stamps[i] - stamps[i - 1]) - 1920.0));
        std::sort(dev.begin(), dev.end());
        double p99 = dev.empty() ? 0 : dev[std::min(dev.size() - 1, (size_t)(dev.size() * 0.99))];

        state.counters["periods"] = (double)stamps.size();
        state.counters["thread_cpu_pct"] = (cpu1 - cpu0) / 1e4 / wall;
        state.counters["ffmpeg_aac_cpu_pct"] = (c1 - c0) * 100.0 / audioSeconds;
        state.counters["stamp_jitter_p99_ticks"] = p99;
        state.counters["stamp_jitter_max_ticks"] = dev.empty() ? 0 : dev.back();
    }
}
BENCHMARK(BM_SoundThreadVsFfmpegAac)->Iterations(1)->Unit(benchmark::kSecond);

// "aacenc" alone, one period per iteration.
void BM_AacencPeriod(benchmark::State &state)
{
    Engine_Handle engine = Engine_open("encode", nullptr, nullptr);
    IAACENC_Params p = {};
    p.audencParams = Aenc1_Params_DEFAULT;
    p.audencParams.size = sizeof p;
    p.audencParams.sampleRate = 48000;
    p.audencParams.bitRate = 192000;
    p.audencParams.maxBitRate = 512000;
    p.useADTS = 1;
    Aenc1_Handle h = Aenc1_create(engine, "aacenc", &p.audencParams, nullptr);
    Buffer_Handle in = Buffer_create(4096, &Buffer_Attrs_DEFAULT), out = Buffer_create(4096, &Buffer_Attrs_DEFAULT);
    int16_t *s = reinterpret_cast<int16_t *>(Buffer_getUserPtr(in));
    uint64_t pos = 0;
    for (auto _ : state) {
        for (int i = 0; i < 1024; i++, pos++) {
            s[2 * i] = platform_sound_sim_sample(pos, 0, 48000);
            s[2 * i + 1] = platform_sound_sim_sample(pos, 1, 48000);
        }
        Buffer_setNumBytesUsed(in, 4096);
        Aenc1_process(h, in, out);
        benchmark::DoNotOptimize(Buffer_getNumBytesUsed(out));
    }
    state.counters["realtime_x"] =
        benchmark::Counter((double)state.iterations() * 1024 / 48000, benchmark::Counter::kIsRate);
    Aenc1_delete(h);
    Buffer_delete(in);
    Buffer_delete(out);
    Engine_close(engine);
}
BENCHMARK(BM_AacencPeriod);

} // namespace
