// One hour of 29.97 fps H.264 640x480 with AAC 48 kHz stereo written as an MP4 file by our writer
// and by libavformat's mov muxer, from the same frames held in memory (ten seconds of frames
// repeated with running timestamps), both into a seekable sink that drops the bytes.
#include "streams/mp4.h"

#include "../tests/ts_media.h"

#include <benchmark/benchmark.h>
#include <cstring>
#include <unistd.h>

extern "C" {
#include <libavformat/avio.h>
}

namespace {

const size_t HOUR_FRAMES = 107892;   // 3600 s at 30000/1001

struct Input {
    TestMedia media;
    std::vector<MediaFrame> raw_aac;   // ADTS headers removed, as libavformat's mov muxer wants
    std::vector<uint8_t> sps_pps;
    bool ok = false;
};

const Input &input()
{
    static Input in = [] {
        Input in;
        av_log_set_level(AV_LOG_ERROR);
        char tmpl[] = "/tmp/k7160-bench-XXXXXX";
        if (!mkdtemp(tmpl))
            return in;
        std::string dir = tmpl;
        in.ok = media_generate(dir, &in.media, 10.0, 0, 0, "640x480", "-b:v 2500k -maxrate 2500k -bufsize 2500k");
        media_run("rm -rf " + dir);
        if (!in.ok || in.media.video.empty() || in.media.aac.empty())
            return in.ok = false, in;
        for (auto &a : in.media.aac) {
            size_t h = (a.data[1] & 1) ? 7 : 9;
            in.raw_aac.push_back({std::vector<uint8_t>(a.data.begin() + h, a.data.end()), a.ts, true});
        }
        const auto &f = in.media.video[0].data;
        size_t end = f.size();
        for (size_t i = 4; i + 4 < f.size(); i++)
            if (f[i] == 0 && f[i + 1] == 0 && f[i + 2] == 1 && (f[i + 3] & 0x1F) != 7 && (f[i + 3] & 0x1F) != 8) {
                end = f[i - 1] == 0 ? i - 1 : i;
                break;
            }
        in.sps_pps.assign(f.begin(), f.begin() + end);
        return in;
    }();
    return in;
}

// An hour of frames in consumer order: each video frame, then the audio up to its time.
template <typename Video, typename Audio>
void hour(const std::vector<MediaFrame> &video, const std::vector<MediaFrame> &audio, Video v, Audio a)
{
    uint64_t ats = 0;
    size_t ai = 0;
    for (size_t i = 0; i < HOUR_FRAMES; i++) {
        uint64_t vts = (uint64_t)i * 3003;
        v(video[i % video.size()], vts);
        for (; ats <= vts; ats += 1920)
            a(audio[ai++ % audio.size()], ats);
    }
}

struct Sink {
    uint64_t pos = 0, size = 0;
};

ssize_t sink_write(void *c, const char *, size_t n)
{
    Sink *s = (Sink *)c;
    s->pos += n;
    if (s->pos > s->size)
        s->size = s->pos;
    return (ssize_t)n;
}

int sink_seek(void *c, off64_t *off, int whence)
{
    Sink *s = (Sink *)c;
    s->pos = (uint64_t)((whence == SEEK_SET ? 0 : whence == SEEK_CUR ? (int64_t)s->pos : (int64_t)s->size) + *off);
    *off = (off64_t)s->pos;
    return 0;
}

void BM_Mp4HourOurs(benchmark::State &state)
{
    const Input &in = input();
    if (!in.ok) {
        state.SkipWithError("ffmpeg could not make the media");
        return;
    }
    uint64_t samples = 0;
    for (auto _ : state) {
        Sink sink;
        cookie_io_functions_t io = {nullptr, sink_write, sink_seek, nullptr};
        FILE *f = fopencookie(&sink, "w", io);
        static char iobuf[1 << 20];
        setvbuf(f, iobuf, _IOFBF, sizeof iobuf);
        mp4_muxer *m = mp4_new();
        mp4_video_track_create(m, MP4_FOURCC('a', 'v', 'c', '1'), 90000, 3003, 0, 640, 480, 66, 30);
        mp4_audio_track_create(m, MP4_FOURCC('m', 'p', '4', 'a'), 90000, 1920, 0, 48000, 2);
        mp4_set_interleave(m, 45000);
        mp4_set_file(m, f);
        hour(
            in.media.video, in.media.aac,
            [&](const MediaFrame &v, uint64_t) { mp4_write_track(m, 1, v.data.data(), (uint32_t)v.data.size(), 3003); },
            [&](const MediaFrame &a, uint64_t) { mp4_write_track(m, 2, a.data.data(), (uint32_t)a.data.size(), 1920); });
        mp4_finish(m);
        if (mp4_has_error(m))
            state.SkipWithError(mp4_strerror(m));
        mp4_delete(m);
        fclose(f);
        state.counters["file_MB"] = double(sink.size) / 1e6;
        samples = HOUR_FRAMES + HOUR_FRAMES * 3003 / 1920;
    }
    state.SetItemsProcessed(int64_t(state.iterations() * samples));
}

int drop_packet(void *opaque, uint8_t *, int size)
{
    Sink *s = (Sink *)opaque;
    s->pos += (uint64_t)size;
    if (s->pos > s->size)
        s->size = s->pos;
    return size;
}

int64_t seek_packet(void *opaque, int64_t offset, int whence)
{
    Sink *s = (Sink *)opaque;
    if (whence == AVSEEK_SIZE)
        return (int64_t)s->size;
    s->pos = (uint64_t)((whence == SEEK_SET ? 0 : whence == SEEK_CUR ? (int64_t)s->pos : (int64_t)s->size) + offset);
    return (int64_t)s->pos;
}

void BM_Mp4HourLibavformat(benchmark::State &state)
{
    const Input &in = input();
    if (!in.ok) {
        state.SkipWithError("ffmpeg could not make the media");
        return;
    }
    AVPacket *pkt = av_packet_alloc();
    uint64_t samples = 0;
    for (auto _ : state) {
        Sink sink;
        AVFormatContext *oc = nullptr;
        avformat_alloc_output_context2(&oc, nullptr, "mp4", nullptr);
        const size_t io_size = 1 << 20;
        uint8_t *io_buf = static_cast<uint8_t *>(av_malloc(io_size));
        oc->pb = avio_alloc_context(io_buf, io_size, 1, &sink, nullptr, drop_packet, seek_packet);
        AVStream *vs = avformat_new_stream(oc, nullptr);
        vs->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
        vs->codecpar->codec_id = AV_CODEC_ID_H264;
        vs->codecpar->width = 640;
        vs->codecpar->height = 480;
        vs->time_base = {1, 90000};
        vs->codecpar->extradata = static_cast<uint8_t *>(av_mallocz(in.sps_pps.size() + AV_INPUT_BUFFER_PADDING_SIZE));
        memcpy(vs->codecpar->extradata, in.sps_pps.data(), in.sps_pps.size());
        vs->codecpar->extradata_size = int(in.sps_pps.size());
        AVStream *as = avformat_new_stream(oc, nullptr);
        as->codecpar->codec_type = AVMEDIA_TYPE_AUDIO;
        as->codecpar->codec_id = AV_CODEC_ID_AAC;
        as->codecpar->sample_rate = 48000;
        as->codecpar->frame_size = 1024;
        av_channel_layout_default(&as->codecpar->ch_layout, 2);
        as->time_base = {1, 90000};
        as->codecpar->extradata = static_cast<uint8_t *>(av_mallocz(2 + AV_INPUT_BUFFER_PADDING_SIZE));
        as->codecpar->extradata[0] = 0x11;
        as->codecpar->extradata[1] = 0x90;
        as->codecpar->extradata_size = 2;
        if (avformat_write_header(oc, nullptr) < 0) {
            state.SkipWithError("avformat_write_header failed");
            break;
        }
        auto write = [&](AVStream *st, const MediaFrame &f, uint64_t ts) {
            pkt->data = const_cast<uint8_t *>(f.data.data());
            pkt->size = int(f.data.size());
            pkt->stream_index = st->index;
            pkt->pts = pkt->dts = av_rescale_q((int64_t)ts, {1, 90000}, st->time_base);
            pkt->duration = 0;
            pkt->flags = f.key ? AV_PKT_FLAG_KEY : 0;
            av_write_frame(oc, pkt);
        };
        hour(
            in.media.video, in.raw_aac, [&](const MediaFrame &f, uint64_t ts) { write(vs, f, ts); },
            [&](const MediaFrame &f, uint64_t ts) { write(as, f, ts); });
        av_write_trailer(oc);
        state.counters["file_MB"] = double(sink.size) / 1e6;
        av_freep(&oc->pb->buffer);
        avio_context_free(&oc->pb);
        avformat_free_context(oc);
        samples = HOUR_FRAMES + HOUR_FRAMES * 3003 / 1920;
    }
    av_packet_free(&pkt);
    state.SetItemsProcessed(int64_t(state.iterations() * samples));
}

BENCHMARK(BM_Mp4HourOurs)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Mp4HourLibavformat)->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace
