// Turning a one-hour fragmented MP4 (H.264 25 fps with keyframes every 2 s, AAC 48 kHz, one
// fragment per keyframe as ffmpeg's frag_keyframe+empty_moov writes it) into a plain file: our
// remuxer against `ffmpeg -c copy` of the same file, both writing to a file on the same disk.
// The hour is one minute of a tiny test source, encoded once and looped with -c copy.
#include "streams/mp4.h"

#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct Input {
    std::string dir, hour, out;
    bool ok = false;
};

bool sh(const std::string &cmd) { return system(cmd.c_str()) == 0; }

char temp_dir[64];

void cleanup()
{
    if (temp_dir[0])
        sh(std::string("rm -rf '") + temp_dir + "'");
}

const Input &input()
{
    static Input in = [] {
        Input in;
        char tmpl[] = "/tmp/k7160-bench-XXXXXX";
        if (!mkdtemp(tmpl))
            return in;
        in.dir = tmpl;
        snprintf(temp_dir, sizeof temp_dir, "%s", tmpl);
        atexit(cleanup);
        in.hour = in.dir + "/hour.mp4";
        in.out = in.dir + "/out.mp4";
        std::string minute = in.dir + "/minute.mp4";
        in.ok = sh("ffmpeg -v error -y -f lavfi -i testsrc=size=160x120:rate=25 -f lavfi -i sine=sample_rate=48000 "
                   "-t 60 -c:v libx264 -preset ultrafast -bf 0 -g 50 -c:a aac '" + minute + "'") &&
                sh("ffmpeg -v error -y -stream_loop 59 -i '" + minute + "' -c copy "
                   "-movflags frag_keyframe+empty_moov '" + in.hour + "'");
        return in;
    }();
    return in;
}

void BM_RemuxHourOurs(benchmark::State &state)
{
    const Input &in = input();
    if (!in.ok) {
        state.SkipWithError("could not make the input with ffmpeg");
        return;
    }
    for (auto _ : state) {
        mp4_muxer *h = mp4_new_defrag_reader();
        FILE *f = fopen(in.hour.c_str(), "rb");
        if (mp4_open_file(h, in.out.c_str()) < 0 || !f || mp4_remux(h, f) < 0 || mp4_finish(h) < 0) {
            state.SkipWithError("remux failed");
        }
        mp4_delete(h);
        if (f)
            fclose(f);
    }
    struct stat st;
    if (stat(in.hour.c_str(), &st) == 0)
        state.SetBytesProcessed((int64_t)state.iterations() * st.st_size);
}

void BM_RemuxHourFfmpegCopy(benchmark::State &state)
{
    const Input &in = input();
    if (!in.ok) {
        state.SkipWithError("could not make the input with ffmpeg");
        return;
    }
    for (auto _ : state) {
        if (!sh("ffmpeg -v error -y -i '" + in.hour + "' -c copy -map 0 '" + in.out + "'"))
            state.SkipWithError("ffmpeg failed");
    }
    struct stat st;
    if (stat(in.hour.c_str(), &st) == 0)
        state.SetBytesProcessed((int64_t)state.iterations() * st.st_size);
}

} // namespace

BENCHMARK(BM_RemuxHourOurs)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_RemuxHourFfmpegCopy)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
