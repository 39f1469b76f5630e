// Our transport-stream and FLV muxers against libavformat's mpegts and flv muxers on the same
// frames held in memory (H.264 640x480 at 2.5 Mbit/s without B-frames, AAC 48 kHz stereo).
// Rates are MB of muxer input per CPU-second.
#include "streams/flv.h"
#include "streams/tsmux.h"

#include "../tests/ts_media.h"

#include <benchmark/benchmark.h>
#include <cstring>
#include <unistd.h>

extern "C" {
#include <libavformat/avio.h>
}

namespace {

struct Input {
    TestMedia media;
    std::vector<MediaFrame> raw_aac;   // ADTS headers removed, for libavformat's FLV muxer
    std::vector<uint8_t> sps_pps;      // Annex B, for libavformat's FLV extradata
    size_t bytes = 0, raw_bytes = 0;
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
        in.ok = media_generate(dir, &in.media, 4.0, 1000, 0, "640x480", "-vf noise=alls=30:allf=t+u -b:v 2500k -maxrate 2500k -bufsize 2500k");
        media_run("rm -rf " + dir);
        if (!in.ok)
            return in;
        for (auto &v : in.media.video)
            in.bytes += v.data.size();
        in.raw_bytes = in.bytes;
        for (auto &a : in.media.aac) {
            in.bytes += a.data.size();
            size_t h = (a.data[1] & 1) ? 7 : 9;
            in.raw_aac.push_back({std::vector<uint8_t>(a.data.begin() + h, a.data.end()), a.ts, true});
            in.raw_bytes += a.data.size() - h;
        }
        // SPS and PPS: everything before the first slice or SEI of the first frame.
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

// Frames in the order a consumer muxes them: each video frame, then the audio up to its time.
template <typename Video, typename Audio>
void interleave(const std::vector<MediaFrame> &video, const std::vector<MediaFrame> &audio, Video v, Audio a)
{
    size_t ai = 0;
    for (auto &f : video) {
        v(f);
        while (ai < audio.size() && int32_t(f.ts - audio[ai].ts) >= 0)
            a(audio[ai++]);
    }
}

void BM_TsMux_Ours(benchmark::State &state)
{
    const Input &in = input();
    if (!in.ok) {
        state.SkipWithError("ffmpeg could not make the media");
        return;
    }
    std::vector<uint8_t> buf(0xd8000);
    uint32_t start = in.media.video[0].ts;
    size_t out = 0;
    for (auto _ : state) {
        TsContext *ctx = tsmux_new();
        tsmux_configure(ctx, TS_TYPE_H264, TSMUX_AUDIO_AAC);
        interleave(
            in.media.video, in.media.aac,
            [&](const MediaFrame &f) {
                out += tsmux_write_video(ctx, buf.data(), buf.size(), f.data.data(), f.data.size(), f.ts - start, f.key);
            },
            [&](const MediaFrame &f) {
                out += tsmux_write_audio(ctx, buf.data(), buf.size(), f.data.data(), f.data.size(), f.ts - start);
            });
        benchmark::DoNotOptimize(buf.data());
        tsmux_free(ctx);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(in.bytes));
    state.counters["input_kB"] = double(in.bytes) / 1000;
}

void BM_FlvMux_Ours(benchmark::State &state)
{
    const Input &in = input();
    if (!in.ok) {
        state.SkipWithError("ffmpeg could not make the media");
        return;
    }
    std::vector<uint8_t> buf(0xd8000);
    uint32_t start = in.media.video[0].ts;
    for (auto _ : state) {
        FlvMuxer *m = flv_muxer_create();
        flv_muxer_configure(m, true);
        flv_mux_start(m, buf.data(), buf.size());
        interleave(
            in.media.video, in.media.aac,
            [&](const MediaFrame &f) {
                flv_mux_video(m, buf.data(), buf.size(), f.data.data(), f.data.size(), f.ts - start, f.key);
            },
            [&](const MediaFrame &f) {
                flv_mux_audio(m, buf.data(), buf.size(), f.data.data(), f.data.size(), f.ts - start);
            });
        benchmark::DoNotOptimize(buf.data());
        flv_muxer_free(m);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(in.bytes));
}

int discard_packet(void *opaque, uint8_t *buf, int size)
{
    *static_cast<size_t *>(opaque) += size;
    return size;
}

// libavformat's muxer through its API, writing into a callback that drops the output.
void run_libav(benchmark::State &state, const char *format, const std::vector<MediaFrame> &audio, bool flv)
{
    const Input &in = input();
    if (!in.ok) {
        state.SkipWithError("ffmpeg could not make the media");
        return;
    }
    uint32_t start = in.media.video[0].ts;
    size_t out = 0;
    AVPacket *pkt = av_packet_alloc();
    for (auto _ : state) {
        AVFormatContext *oc = nullptr;
        avformat_alloc_output_context2(&oc, nullptr, format, nullptr);
        const size_t io_size = 65536;
        uint8_t *io_buf = static_cast<uint8_t *>(av_malloc(io_size));
        oc->pb = avio_alloc_context(io_buf, io_size, 1, &out, nullptr, discard_packet, nullptr);
        AVStream *vs = avformat_new_stream(oc, nullptr);
        vs->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
        vs->codecpar->codec_id = AV_CODEC_ID_H264;
        vs->codecpar->width = 640;
        vs->codecpar->height = 480;
        vs->time_base = {1, 90000};
        AVStream *as = avformat_new_stream(oc, nullptr);
        as->codecpar->codec_type = AVMEDIA_TYPE_AUDIO;
        as->codecpar->codec_id = AV_CODEC_ID_AAC;
        as->codecpar->sample_rate = 48000;
        av_channel_layout_default(&as->codecpar->ch_layout, 2);
        as->time_base = {1, 90000};
        if (flv) {
            vs->codecpar->extradata = static_cast<uint8_t *>(av_mallocz(in.sps_pps.size() + AV_INPUT_BUFFER_PADDING_SIZE));
            memcpy(vs->codecpar->extradata, in.sps_pps.data(), in.sps_pps.size());
            vs->codecpar->extradata_size = int(in.sps_pps.size());
            as->codecpar->extradata = static_cast<uint8_t *>(av_mallocz(2 + AV_INPUT_BUFFER_PADDING_SIZE));
            as->codecpar->extradata[0] = 0x11;
            as->codecpar->extradata[1] = 0x90;
            as->codecpar->extradata_size = 2;
        }
        AVDictionary *opts = nullptr;
        if (flv)
            av_dict_set(&opts, "flvflags", "no_duration_filesize", 0);   // the output cannot seek
        int rc = avformat_write_header(oc, &opts);
        av_dict_free(&opts);
        if (rc < 0) {
            state.SkipWithError("avformat_write_header failed");
            break;
        }
        auto write = [&](AVStream *st, const MediaFrame &f) {
            pkt->data = const_cast<uint8_t *>(f.data.data());
            pkt->size = int(f.data.size());
            pkt->stream_index = st->index;
            int64_t t = av_rescale_q(int32_t(f.ts - start), {1, 90000}, st->time_base);
            pkt->pts = pkt->dts = t;
            pkt->flags = f.key ? AV_PKT_FLAG_KEY : 0;
            av_write_frame(oc, pkt);
        };
        interleave(
            in.media.video, audio, [&](const MediaFrame &f) { write(vs, f); }, [&](const MediaFrame &f) { write(as, f); });
        av_write_trailer(oc);
        av_freep(&oc->pb->buffer);
        avio_context_free(&oc->pb);
        avformat_free_context(oc);
    }
    av_packet_free(&pkt);
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(flv ? in.raw_bytes : in.bytes));
}

void BM_TsMux_Libavformat(benchmark::State &state) { run_libav(state, "mpegts", input().media.aac, false); }
void BM_FlvMux_Libavformat(benchmark::State &state) { run_libav(state, "flv", input().raw_aac, true); }

BENCHMARK(BM_TsMux_Ours)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TsMux_Libavformat)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FlvMux_Ours)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FlvMux_Libavformat)->Unit(benchmark::kMillisecond);

} // namespace
