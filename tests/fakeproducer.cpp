#include "fakeproducer.h"
#include "streams/annexb.h"

#include "core/soc.h"
#include "platform/dmai.h"
#include "streams/stream.h"
#include "testutil.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <mutex>
#include <pthread.h>

namespace {

bool read_file(const std::string &path, std::vector<uint8_t> &out)
{
    std::ifstream f(path, std::ios::binary);
    if (!f)
        return false;
    out.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    return !out.empty();
}

FakeMedia *generate()
{
    const int fps = 30;
    std::string dir = test_board_path("fakemedia");
    std::string cmd;
    cmd = "mkdir -p '" + dir + "' && ffmpeg -nostdin -loglevel error -y "
          "-f lavfi -i testsrc=size=320x240:rate=30 "
          "-f lavfi -i sine=frequency=1000:sample_rate=48000 "
          "-map 0:v -t 4 -c:v libx264 -preset ultrafast -bf 0 -g 30 -keyint_min 30 -sc_threshold 0 "
          "-pix_fmt yuv420p -f h264 '" + dir + "/video.h264' "
          "-map 1:a -t 4 -ac 2 -c:a aac -b:a 128k -f adts '" + dir + "/audio.aac'";
    if (system(cmd.c_str()) != 0)
        return nullptr;
    FakeMedia *m = new FakeMedia();
    m->fps = fps;
    if (!read_file(dir + "/video.h264", m->video) || !read_file(dir + "/audio.aac", m->audio)) {
        delete m;
        return nullptr;
    }
    m->video_frames = fakeproducer_split_h264(m->video);
    m->audio_frames = fakeproducer_split_adts(m->audio);
    if (m->video_frames.empty() || m->audio_frames.empty()) {
        delete m;
        return nullptr;
    }
    return m;
}

struct Producer {
    FakeProducer *owner;
    int id;
    StreamQueue queue;
    StreamRunState run;
    Buffer_Handle buffer;
    const std::vector<uint8_t> *data;
    const std::vector<FakeMediaFrame> *frames;
    uint32_t period_ns;
    std::function<uint32_t(uint32_t)> stamp;
    std::function<bool(uint32_t)> key;
    pthread_t thread;
    bool running;
    std::atomic<int> starts{0};
    std::atomic<uint32_t> frames_put{0};
};

void next_tick(struct timespec *t, uint32_t ns)
{
    t->tv_nsec += ns;
    while (t->tv_nsec >= 1000000000) {
        t->tv_nsec -= 1000000000;
        t->tv_sec++;
    }
}

} // namespace

struct FakeProducer {
    std::atomic<bool> quit{false};
    Producer video, audio;
    bool has_video, has_audio;
};

namespace {

void *producer_thread(void *arg)
{
    Producer *p = static_cast<Producer *>(arg);
    size_t index = 0;
    while (!p->owner->quit.load()) {
        if (!stream_wait_start(&p->run))
            continue;
        p->starts++;
        struct timespec next;
        clock_gettime(CLOCK_MONOTONIC, &next);
        // A new start begins with a keyframe, as an encoder set up afresh does.
        index = 0;
        uint32_t first = hw_clock_90khz(), n = 0;
        while (!p->owner->quit.load() && !stream_stop_pending(&p->run)) {
            const FakeMediaFrame &f = (*p->frames)[index];
            int off = ringbuffer_preallocate(&p->queue, f.length);
            if (off >= 0) {
                memcpy(p->queue.data + off, p->data->data() + f.offset, f.length);
                uint32_t ts = p->stamp ? first + p->stamp(n) : hw_clock_90khz();
                bool key = p->key ? p->key(n) : f.keyframe;
                ringbuffer_put(&p->queue, f.length, ts, key ? (uint32_t)RB_FLAG_KEYFRAME : 0u);
                p->frames_put++;
            }
            n++;
            index = (index + 1) % p->frames->size();
            next_tick(&next, p->period_ns);
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
        }
        ringbuffer_put(&p->queue, 0, 0, 0);   // end marker
    }
    return nullptr;
}

bool producer_start(FakeProducer *fp, Producer *p, int id, uint32_t size, uint32_t entries,
                    const std::vector<uint8_t> *data, const std::vector<FakeMediaFrame> *frames, uint32_t period_ns)
{
    p->owner = fp;
    p->id = id;
    p->data = data;
    p->frames = frames;
    p->period_ns = period_ns;
    p->buffer = Buffer_create(size, &Buffer_Attrs_DEFAULT);
    if (!p->buffer)
        return false;
    stream_register(&p->run, &p->queue, id);
    ringbuffer_init(&p->queue, p->buffer, entries, 32);
    p->running = pthread_create(&p->thread, nullptr, producer_thread, p) == 0;
    return p->running;
}

void producer_stop(FakeProducer *fp, Producer *p)
{
    // A start wakes a thread waiting for one whatever the order; it then sees the quit flag.
    stream_set_state(&p->run, STREAM_START);
    if (p->running)
        pthread_join(p->thread, nullptr);
    stream_register(nullptr, nullptr, p->id);
    ringbuffer_free(&p->queue);
    Buffer_delete(p->buffer);
}

} // namespace

const FakeMedia *fakeproducer_media()
{
    static std::once_flag once;
    static FakeMedia *media;
    std::call_once(once, [] { media = generate(); });
    return media;
}

std::vector<FakeMediaFrame> fakeproducer_split_h264(const std::vector<uint8_t> &es)
{
    // NAL unit starts (at their start code).
    std::vector<std::pair<uint32_t, uint32_t>> nals;   // {start code offset, header offset}
    for (size_t i = annexb_find_start_code(es.data(), es.size(), 0); i + 3 < es.size();
         i = annexb_find_start_code(es.data(), es.size(), i + 3))
        nals.push_back({(uint32_t)annexb_code_begin(es.data(), 0, i), (uint32_t)i + 3});
    std::vector<FakeMediaFrame> frames;
    uint32_t au_start = nals.empty() ? 0 : nals[0].first;
    bool key = false;
    for (size_t n = 0; n < nals.size(); n++) {
        uint32_t end = n + 1 < nals.size() ? nals[n + 1].first : (uint32_t)es.size();
        int type = es[nals[n].second] & 0x1f;
        if (type == 5)
            key = true;
        // One slice per picture: the access unit ends with its slice.
        if (type == 1 || type == 5) {
            frames.push_back({au_start, end - au_start, key});
            au_start = end;
            key = false;
        }
    }
    return frames;
}

std::vector<FakeMediaFrame> fakeproducer_split_adts(const std::vector<uint8_t> &a)
{
    std::vector<FakeMediaFrame> frames;
    size_t i = 0;
    while (i + 7 <= a.size() && a[i] == 0xFF && (a[i + 1] & 0xF0) == 0xF0) {
        uint32_t len = ((a[i + 3] & 3u) << 11) | ((uint32_t)a[i + 4] << 3) | (a[i + 5] >> 5);
        if (len < 7 || i + len > a.size())
            break;
        frames.push_back({(uint32_t)i, len, true});
        i += len;
    }
    return frames;
}

FakeProducer *fakeproducer_start(const FakeProducerOptions &options)
{
    const FakeMedia *m = fakeproducer_media();
    if (!m)
        return nullptr;
    hw_clock_90khz();   // maps the registers before the producer threads read the clock
    FakeProducer *fp = new FakeProducer();
    fp->has_video = options.video;
    fp->has_audio = options.audio;
    bool ok = true;
    fp->video.stamp = options.stamp;
    fp->video.key = options.key;
    if (fp->has_video)
        ok = producer_start(fp, &fp->video, VIDEO_STREAM1, 0x654000, 512, &m->video, &m->video_frames,
                            options.video_period_ns ? options.video_period_ns : 1000000000u / (uint32_t)m->fps);
    if (ok && fp->has_audio)
        ok = producer_start(fp, &fp->audio, AAC_STREAM, 256 * 1024, 512, &m->audio, &m->audio_frames,
                            (uint32_t)(1024ull * 1000000000ull / 48000));
    if (!ok) {
        fakeproducer_stop(fp);
        return nullptr;
    }
    return fp;
}

void fakeproducer_stop(FakeProducer *fp)
{
    if (!fp)
        return;
    fp->quit = true;
    if (fp->has_video && fp->video.buffer)
        producer_stop(fp, &fp->video);
    if (fp->has_audio && fp->audio.buffer)
        producer_stop(fp, &fp->audio);
    delete fp;
}

int fakeproducer_starts(FakeProducer *fp, int id)
{
    return id == AAC_STREAM ? fp->audio.starts.load() : fp->video.starts.load();
}

uint32_t fakeproducer_frames(FakeProducer *fp, int id)
{
    return id == AAC_STREAM ? fp->audio.frames_put.load() : fp->video.frames_put.load();
}
