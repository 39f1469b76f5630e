// One minute of recording at channel A's maximum bit rate (20 Mbit/s H.264 640x480 with AAC) into
// its transport stream ("ts_" counters), then one minute into MP4 files ("mp4_"), in 10 s
// segments on the simulated SD card: the record thread's CPU time, the bytes the process wrote
// (the MP4 writer's moov rewrites come on top of the files), the decimation events, and the
// frames lost per segment switch; then the same bytes written with a plain 1 MiB-buffered stdio
// write, for the CPU time of the write alone.
#include "core/log.h"
#include "core/param.h"
#include "core/soc.h"
#include "core/threads.h"
#include "platform/dmai.h"
#include "platform/platform.h"
#include "storage/filesys.h"
#include "storage/record.h"
#include "streams/stream.h"

#include "../tests/ts_media.h"

#include <atomic>
#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <pthread.h>
#include <string>
#include <unistd.h>

namespace {

constexpr int RUN_SECONDS = 60;
constexpr int SEGMENT_SECONDS = 10;

struct Queue {
    StreamQueue q{};
    StreamRunState rs{};
    Buffer_Handle buf = nullptr;
};

struct Feeder {
    const TestMedia *media;
    Queue *video, *audio;
    std::atomic<bool> stop{false};
    std::atomic<uint32_t> fed{0};
};

void put(Queue &q, const MediaFrame &f, uint32_t ts)
{
    int off = ringbuffer_preallocate(&q.q, (uint32_t)f.data.size());
    if (off < 0)
        return;
    memcpy(q.q.data + off, f.data.data(), f.data.size());
    ringbuffer_put(&q.q, (uint32_t)f.data.size(), ts, f.key ? (uint32_t)RB_FLAG_KEYFRAME : 0u);
}

// Real-time pace: a video frame every 3003 ticks, the audio up to the same time.
void *feed(void *arg)
{
    Feeder *fd = static_cast<Feeder *>(arg);
    const TestMedia &m = *fd->media;
    uint32_t start = hw_clock_90khz();
    size_t vi = 0, ai = 0;
    uint64_t n = 0;
    while (!fd->stop) {
        uint32_t ts = start + (uint32_t)(n * 3003);
        while ((int32_t)(hw_clock_90khz() - ts) < 0)
            usleep(1000);
        // Loops of the clip keep a keyframe first.
        if (vi == m.video.size())
            vi = 0;
        put(*fd->video, m.video[vi++], ts);
        fd->fed++;
        uint64_t audio_until = n * 3003;
        while ((uint64_t)ai * 1920 <= audio_until) {
            put(*fd->audio, m.aac[ai % m.aac.size()], start + (uint32_t)(ai * 1920ull));
            ai++;
        }
        n++;
    }
    return nullptr;
}

void register_queue(Queue &q, int id, uint32_t bytes, uint32_t entries)
{
    q.buf = Buffer_create(bytes, &Buffer_Attrs_DEFAULT);
    stream_register(&q.rs, &q.q, id);
    ringbuffer_init(&q.q, q.buf, entries, 32);
}

std::string log_all()
{
    static char buf[LOG_RING_SIZE];
    return std::string(buf, log_ring_read(log_ring_tail(), buf, sizeof buf - 1));
}

size_t count(const std::string &text, const char *what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

long thread_cpu_us()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1000000L + ts.tv_nsec / 1000;
}

// Bytes this process has handed to write() so far.
long long process_wchar()
{
    FILE *f = fopen("/proc/self/io", "r");
    char line[128];
    long long v = -1;
    while (f && fgets(line, sizeof line, f))
        if (sscanf(line, "wchar: %lld", &v) == 1)
            break;
    if (f)
        fclose(f);
    return v;
}

void BM_RecordOneMinuteAtMaxBitRate(benchmark::State &state)
{
    char tmpl[] = "/tmp/k7160-recbench-XXXXXX";
    if (!mkdtemp(tmpl)) {
        state.SkipWithError("no temp dir");
        return;
    }
    std::string dir = tmpl;
    setenv("PLATFORM_BOARD_DIR", (dir + "/board").c_str(), 1);
    platform_init();
    hw_clock_90khz();
    TestMedia media;
    if (!media_generate(dir, &media, 10.0, 0, 0, "640x480",
                        "-b:v 20M -minrate 20M -maxrate 20M -bufsize 20M -x264-params nal-hrd=cbr") ||
        media.video.empty() || media.aac.empty()) {
        state.SkipWithError("ffmpeg could not make the clip");
        return;
    }
    ParamBlock *p = get_param_block();
    *p = param_defaults;
    p->Video[0].StreamMode = 0;   // H.264 and AAC in a transport stream
    p->Recording.DurationMode = 1;
    p->Recording.Duration = SEGMENT_SECONDS;
    p->Recording.Segments = RUN_SECONDS / SEGMENT_SECONDS;
    videoEnvA.params = p;

    FILE *dev = fopen((dir + "/board/dev/mmcblk0p1").c_str(), "w");
    if (dev)
        fclose(dev);
    fileSysTick(p);

    Queue video, audio;
    register_queue(video, VIDEO_STREAM1, 16 << 20, 1024);
    register_queue(audio, AAC_STREAM, 512 << 10, 512);
    recordEnv = {};
    recordEnv.name = "record";
    recordEnv.params = p;
    recordEnv.runStateId = RECORD_STREAM;
    pthread_t rec, feeder;
    pthread_create(&rec, nullptr, recordThrFxn, &recordEnv);
    while (stream_get_state_by_id(RECORD_STREAM) < 0)
        usleep(10000);
    Feeder fd;
    fd.media = &media;
    fd.video = &video;
    fd.audio = &audio;
    pthread_create(&feeder, nullptr, feed, &fd);

    for (auto _ : state) {
        for (int format : {0, 1}) {
            const std::string ext = format ? "mp4" : "ts", pre = ext + "_";
            p->Recording.Format = (uint8_t)format;
            snprintf(p->Recording.Filename, sizeof p->Recording.Filename, "bench^c.%s", ext.c_str());
            log_ring_reset();
            long cpu0 = thread_cpu_time_us(rec);
            long long wchar0 = process_wchar();
            uint32_t fed0 = fd.fed;
            stream_set_state_by_id(RECORD_STREAM, STREAM_START);
            for (int i = 0; i < (RUN_SECONDS + 20) * 10 && count(log_all(), "safe to remove") == 0; i++)
                usleep(100000);
            uint32_t fed = fd.fed - fed0;
            long cpu = thread_cpu_time_us(rec) - cpu0;
            long long written = process_wchar() - wchar0;

            std::string files = dir + "/board/media/mmc/DCIM/bench*." + ext;
            {
                FILE *f = popen(("for f in " + files + "; do ffprobe -v error -select_streams v -count_packets "
                                 "-show_entries stream=nb_read_packets -of csv=p=0 $f | head -n 1; done").c_str(), "r");
                char line[64];
                long recorded = 0, segments = 0;
                while (f && fgets(line, sizeof line, f))
                    recorded += atol(line), segments++;
                if (f)
                    pclose(f);
                state.counters[pre + "segments"] = (double)segments;
                state.counters[pre + "frames_fed"] = fed;
                state.counters[pre + "frames_lost_per_switch"] =
                    segments > 1 ? (double)((long)fed - recorded) / (double)segments : (double)((long)fed - recorded);
            }
            std::string log = log_all();
            state.counters[pre + "decimation_events"] = (double)count(log, "setVideoDecimate: 1 -> 2") +
                                                  (double)count(log, "-> 3");
            state.counters[pre + "record_cpu_ms"] = (double)cpu / 1000.0;

            // The same bytes through a plain buffered write.
            std::string all = dir + "/all." + ext;
            std::string plain = dir + "/plain." + ext;
            if (system(("cat " + files + " > " + all).c_str()) != 0)
                state.SkipWithError("cat failed");
            FILE *in = fopen(all.c_str(), "rb");
            FILE *o = fopen(plain.c_str(), "wb");
            std::vector<char> obuf(1 << 20), chunk(188 * 1024);
            setvbuf(o, obuf.data(), _IOFBF, obuf.size());
            std::vector<char> bytes;
            size_t n;
            while ((n = fread(chunk.data(), 1, chunk.size(), in)) > 0)
                bytes.insert(bytes.end(), chunk.begin(), chunk.begin() + (long)n);
            fclose(in);
            long w0 = thread_cpu_us();
            for (size_t at = 0; at < bytes.size(); at += 188 * 64)
                fwrite(bytes.data() + at, 1, std::min<size_t>(188 * 64, bytes.size() - at), o);
            fflush(o);
            fdatasync(fileno(o));
            fclose(o);
            state.counters[pre + "plain_write_cpu_ms"] = (double)(thread_cpu_us() - w0) / 1000.0;
            state.counters[pre + "bytes_MB"] = (double)bytes.size() / 1e6;
            state.counters[pre + "written_MB"] = (double)written / 1e6;
        }
    }

    fd.stop = true;
    pthread_join(feeder, nullptr);
    media_run("rm -rf " + dir);
}

BENCHMARK(BM_RecordOneMinuteAtMaxBitRate)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

} // namespace
