// Decode rate of "h264dec" (unit cutting, decode, NV12 store into the caller's buffer) against
// libavcodec decoding the same packets on its own, for a 720x576 stream at 2 and 8 Mbit/s.
#include "platform/codec_dec.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/opt.h>
}

namespace {

constexpr int W = 720, H = 576, FRAMES = 100;

struct Stream {
    std::vector<uint8_t> es;
    std::vector<size_t> starts;
};

const Stream &stream(int kbps)
{
    static Stream s2, s8;
    Stream &s = kbps <= 2000 ? s2 : s8;
    if (!s.es.empty())
        return s;
    const AVCodec *c = avcodec_find_encoder_by_name("libx264");
    AVCodecContext *ctx = avcodec_alloc_context3(c);
    ctx->width = W;
    ctx->height = H;
    ctx->pix_fmt = AV_PIX_FMT_YUV420P;
    ctx->time_base = AVRational{1, 25};
    ctx->gop_size = 25;
    ctx->max_b_frames = 0;
    ctx->bit_rate = kbps * 1000;
    av_opt_set(ctx->priv_data, "preset", "veryfast", 0);
    avcodec_open2(ctx, c, nullptr);
    AVFrame *f = av_frame_alloc();
    f->width = W;
    f->height = H;
    f->format = AV_PIX_FMT_YUV420P;
    av_frame_get_buffer(f, 0);
    AVPacket *pkt = av_packet_alloc();
    uint32_t seed = 1;
    auto drain = [&] {
        while (avcodec_receive_packet(ctx, pkt) == 0) {
            s.starts.push_back(s.es.size());
            s.es.insert(s.es.end(), pkt->data, pkt->data + pkt->size);
            av_packet_unref(pkt);
        }
    };
    for (int n = 0; n < FRAMES; n++) {
        av_frame_make_writable(f);
        for (int y = 0; y < H; y++)
            for (int x = 0; x < W; x++) {
                seed = seed * 1664525u + 1013904223u;
                f->data[0][y * f->linesize[0] + x] = (uint8_t)(((x + 4 * n) / 8 * 13 + y / 8 * 7) % 200 + (seed >> 29));
            }
        for (int p = 1; p < 3; p++)
            for (int y = 0; y < H / 2; y++)
                memset(f->data[p] + y * f->linesize[p], 128 + ((y + n) & 15), W / 2);
        f->pts = n;
        avcodec_send_frame(ctx, f);
        drain();
    }
    avcodec_send_frame(ctx, nullptr);
    drain();
    av_packet_free(&pkt);
    av_frame_free(&f);
    avcodec_free_context(&ctx);
    return s;
}

void BM_Vdec2H264(benchmark::State &state)
{
    const Stream &s = stream((int)state.range(0));
    Engine_Handle e = Engine_open("encode", nullptr, nullptr);
    Vdec2_Handle d = Vdec2_create(e, "h264dec", &Vdec2_Params_DEFAULT, &Vdec2_DynamicParams_DEFAULT);
    Buffer_Attrs ra = Buffer_Attrs_DEFAULT;
    ra.reference = true;
    Buffer_Handle ref = Buffer_create(1, &ra), dst = Buffer_create(0xbd000, &BufferGfx_Attrs_DEFAULT);
    int64_t frames = 0;
    for (auto _ : state) {
        size_t pos = 0;
        while (pos < s.es.size()) {
            Buffer_setUserPtr(ref, const_cast<uint8_t *>(s.es.data()) + pos);
            Buffer_setSize(ref, s.es.size() - pos);
            Buffer_setNumBytesUsed(ref, s.es.size() - pos);
            Vdec2_process(d, ref, dst);
            frames += Vdec2_getDisplayBuf(d) != nullptr;
            Vdec2_getFreeBuf(d);
            size_t used = Buffer_getNumBytesUsed(ref);
            if (!used)
                break;
            pos += used;
        }
    }
    state.counters["fps"] = benchmark::Counter((double)frames, benchmark::Counter::kIsRate);
    Buffer_delete(ref);
    Buffer_delete(dst);
    Vdec2_delete(d);
    Engine_close(e);
}

void BM_LibavcodecH264(benchmark::State &state)
{
    const Stream &s = stream((int)state.range(0));
    const AVCodec *c = avcodec_find_decoder(AV_CODEC_ID_H264);
    AVCodecContext *ctx = avcodec_alloc_context3(c);
    ctx->thread_count = 1;
    avcodec_open2(ctx, c, nullptr);
    AVPacket *pkt = av_packet_alloc();
    AVFrame *f = av_frame_alloc();
    std::vector<uint8_t> padded(s.es);
    padded.resize(s.es.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    int64_t frames = 0;
    for (auto _ : state) {
        for (size_t i = 0; i < s.starts.size(); i++) {
            size_t end = i + 1 < s.starts.size() ? s.starts[i + 1] : s.es.size();
            pkt->data = padded.data() + s.starts[i];
            pkt->size = (int)(end - s.starts[i]);
            avcodec_send_packet(ctx, pkt);
            while (avcodec_receive_frame(ctx, f) == 0) {
                frames++;
                av_frame_unref(f);
            }
        }
    }
    state.counters["fps"] = benchmark::Counter((double)frames, benchmark::Counter::kIsRate);
    av_frame_free(&f);
    av_packet_free(&pkt);
    avcodec_free_context(&ctx);
}

} // namespace

BENCHMARK(BM_Vdec2H264)->Arg(2000)->Arg(8000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LibavcodecH264)->Arg(2000)->Arg(8000)->Unit(benchmark::kMillisecond);
