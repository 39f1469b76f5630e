// The engine's decoders: one unit per call with the bytes it took, pictures in the caller's
// buffers, streams from our encoders and from libavcodec's, damaged and oversized input.
#include "platform/codec_audio.h"
#include "platform/codec_dec.h"
#include "platform/sound.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/opt.h>
}

namespace {

struct Engine {
    Engine_Handle e = Engine_open("encode", nullptr, nullptr);
    ~Engine() { Engine_close(e); }
};

struct Buf {
    Buffer_Handle b;
    explicit Buf(size_t n, bool gfx = false) { b = Buffer_create(n, gfx ? &BufferGfx_Attrs_DEFAULT : &Buffer_Attrs_DEFAULT); }
    ~Buf() { Buffer_delete(b); }
};

Buffer_Handle make_ref()
{
    Buffer_Attrs a = Buffer_Attrs_DEFAULT;
    a.reference = true;
    return Buffer_create(1, &a);
}

void point(Buffer_Handle ref, const uint8_t *p, size_t n)
{
    Buffer_setUserPtr(ref, const_cast<uint8_t *>(p));
    Buffer_setSize(ref, n);
    Buffer_setNumBytesUsed(ref, n);
}

// A YUV 4:2:0 test picture that moves with n.
AVFrame *picture(int w, int h, int n, AVPixelFormat fmt = AV_PIX_FMT_YUV420P)
{
    AVFrame *f = av_frame_alloc();
    f->width = w;
    f->height = h;
    f->format = fmt;
    av_frame_get_buffer(f, 0);
    int cw = fmt == AV_PIX_FMT_YUVJ422P ? w / 2 : w / 2, ch = fmt == AV_PIX_FMT_YUVJ422P ? h : h / 2;
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++)
            f->data[0][y * f->linesize[0] + x] = (uint8_t)(16 + ((x + 3 * n) / 4 * 9 + y / 4 * 5) % 200);
    for (int y = 0; y < ch; y++)
        for (int x = 0; x < cw; x++) {
            f->data[1][y * f->linesize[1] + x] = (uint8_t)(64 + ((x + n) & 63));
            f->data[2][y * f->linesize[2] + x] = (uint8_t)(96 + (y & 63));
        }
    f->pts = n;
    return f;
}

// Encodes `count` pictures with a libavcodec encoder into one elementary stream; the offsets at
// which each packet begins go to *starts.
std::vector<uint8_t> av_encode(const char *name, int w, int h, int count, std::vector<size_t> *starts,
                               AVPixelFormat fmt = AV_PIX_FMT_YUV420P)
{
    const AVCodec *c = avcodec_find_encoder_by_name(name);
    EXPECT_NE(c, nullptr) << name;
    if (!c)
        return {};
    AVCodecContext *ctx = avcodec_alloc_context3(c);
    ctx->width = w;
    ctx->height = h;
    ctx->pix_fmt = fmt;
    ctx->time_base = AVRational{1, 25};
    ctx->gop_size = 5;
    ctx->max_b_frames = 0;
    ctx->bit_rate = 2000000;
    if (strcmp(name, "libx264") == 0)
        av_opt_set(ctx->priv_data, "preset", "ultrafast", 0);
    EXPECT_EQ(avcodec_open2(ctx, c, nullptr), 0);
    std::vector<uint8_t> out;
    AVPacket *pkt = av_packet_alloc();
    auto drain = [&] {
        while (avcodec_receive_packet(ctx, pkt) == 0) {
            if (starts)
                starts->push_back(out.size());
            out.insert(out.end(), pkt->data, pkt->data + pkt->size);
            av_packet_unref(pkt);
        }
    };
    for (int n = 0; n < count; n++) {
        AVFrame *f = picture(w, h, n, fmt);
        avcodec_send_frame(ctx, f);
        av_frame_free(&f);
        drain();
    }
    avcodec_send_frame(ctx, nullptr);
    drain();
    av_packet_free(&pkt);
    avcodec_free_context(&ctx);
    return out;
}

// What libavcodec itself decodes from the encoder's packets, one luma plane per picture.
std::vector<std::vector<uint8_t>> reference_luma(AVCodecID id, const std::vector<uint8_t> &es,
                                                 const std::vector<size_t> &starts)
{
    std::vector<std::vector<uint8_t>> pics;
    const AVCodec *c = avcodec_find_decoder(id);
    AVCodecContext *ctx = avcodec_alloc_context3(c);
    ctx->thread_count = 1;
    avcodec_open2(ctx, c, nullptr);
    AVPacket *pkt = av_packet_alloc();
    AVFrame *f = av_frame_alloc();
    auto take = [&] {
        while (avcodec_receive_frame(ctx, f) == 0) {
            std::vector<uint8_t> y((size_t)f->width * f->height);
            for (int r = 0; r < f->height; r++)
                memcpy(&y[(size_t)r * f->width], f->data[0] + (size_t)r * f->linesize[0], (size_t)f->width);
            pics.push_back(y);
            av_frame_unref(f);
        }
    };
    for (size_t i = 0; i < starts.size(); i++) {
        size_t end = i + 1 < starts.size() ? starts[i + 1] : es.size();
        std::vector<uint8_t> unit(es.begin() + starts[i], es.begin() + end);
        unit.resize(unit.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
        pkt->data = unit.data();
        pkt->size = (int)(end - starts[i]);
        avcodec_send_packet(ctx, pkt);
        take();
    }
    avcodec_send_packet(ctx, nullptr);
    take();
    av_frame_free(&f);
    av_packet_free(&pkt);
    avcodec_free_context(&ctx);
    return pics;
}

struct VideoDecode {
    std::vector<size_t> consumed;
    std::vector<std::vector<uint8_t>> luma;
    std::vector<int> results;
};

// Feeds the whole stream, each call from where the previous one stopped, as the output thread
// does with its receive buffer.
VideoDecode vdec_stream(Vdec2_Handle d, const std::vector<uint8_t> &es, int w, int h)
{
    VideoDecode r;
    Buffer_Handle ref = make_ref();
    Buf dst(0xbd000, true);
    size_t pos = 0;
    while (pos < es.size() && r.consumed.size() < 1000) {
        point(ref, es.data() + pos, es.size() - pos);
        Buffer_setUseMask(dst.b, 1);
        int rc = Vdec2_process(d, ref, dst.b);
        r.results.push_back(rc);
        size_t c = Buffer_getNumBytesUsed(ref);
        r.consumed.push_back(c);
        if (Buffer_Handle disp = Vdec2_getDisplayBuf(d)) {
            EXPECT_EQ(disp, dst.b);
            BufferGfx_Dimensions dim;
            BufferGfx_getDimensions(disp, &dim);
            EXPECT_EQ(dim.width, w);
            EXPECT_EQ(dim.height, h);
            EXPECT_EQ(BufferGfx_getColorSpace(disp), ColorSpace_YUV420PSEMI);
            EXPECT_EQ(Buffer_getNumBytesUsed(disp), (size_t)dim.lineLength * h * 3 / 2);
            std::vector<uint8_t> y((size_t)w * h);
            for (int row = 0; row < h; row++)
                memcpy(&y[(size_t)row * w], Buffer_getUserPtr(disp) + (size_t)row * dim.lineLength, (size_t)w);
            r.luma.push_back(y);
        }
        EXPECT_EQ(Vdec2_getDisplayBuf(d), nullptr);
        EXPECT_EQ(Vdec2_getFreeBuf(d), dst.b) << "the decoder keeps no caller buffer";
        EXPECT_EQ(Vdec2_getFreeBuf(d), nullptr);
        if (c == 0)
            break;
        pos += c;
    }
    Buffer_delete(ref);
    return r;
}

Vdec2_Handle make_vdec(Engine_Handle e, const char *name, int maxW = 720, int maxH = 576)
{
    IH264VDEC_Params p = {};
    p.viddecParams = Vdec2_Params_DEFAULT;
    p.viddecParams.size = strcmp(name, "h264dec") == 0 ? sizeof p : sizeof p.viddecParams;
    p.viddecParams.maxWidth = maxW;
    p.viddecParams.maxHeight = maxH;
    p.levelLimit = 42;
    p.seiParsing = p.vuiParsing = 1;
    VIDDEC2_DynamicParams dyn = Vdec2_DynamicParams_DEFAULT;
    return Vdec2_create(e, name, &p.viddecParams, &dyn);
}

TEST(VideoDecoder, EngineCarriesH264AndMpeg4ButNoMpeg2)
{
    Engine eng;
    Vdec2_Handle m2 = make_vdec(eng.e, "mpeg2dec");
    EXPECT_EQ(m2, nullptr);
    EXPECT_EQ(Engine_getLastError(eng.e), Engine_ENOTFOUND);
    for (const char *name : {"h264dec", "mpeg4dec"}) {
        Vdec2_Handle d = make_vdec(eng.e, name);
        ASSERT_NE(d, nullptr) << name;
        // Before a picture: what the create's maximum needs.
        EXPECT_EQ(Vdec2_getOutBufSize(d), 720 * 576 * 3 / 2);
        EXPECT_GE(Vdec2_getMinOutBufs(d), 1);
        Vdec2_delete(d);
    }
}

// Units are cut by the parser whatever the start-code layout: libx264 writes 3-byte start
// codes inside an access unit, several NAL units per picture.
TEST(VideoDecoder, StreamsFromLibavcodecDecodeUnitByUnitAsLibavcodecDoes)
{
    struct Case {
        const char *enc, *dec;
        AVCodecID id;
    };
    for (const Case &c : {Case{"libx264", "h264dec", AV_CODEC_ID_H264}, Case{"mpeg4", "mpeg4dec", AV_CODEC_ID_MPEG4}}) {
        SCOPED_TRACE(c.enc);
        std::vector<size_t> starts;
        std::vector<uint8_t> es = av_encode(c.enc, 352, 288, 12, &starts);
        ASSERT_FALSE(es.empty());
        Engine eng;
        Vdec2_Handle d = make_vdec(eng.e, c.dec);
        ASSERT_NE(d, nullptr);
        VideoDecode r = vdec_stream(d, es, 352, 288);
        // One encoder packet per call.
        ASSERT_EQ(r.consumed.size(), starts.size());
        for (size_t i = 0; i < starts.size(); i++) {
            size_t end = i + 1 < starts.size() ? starts[i + 1] : es.size();
            EXPECT_EQ(r.consumed[i], end - starts[i]) << "unit " << i;
            EXPECT_EQ(r.results[i], Dmai_EOK) << "unit " << i;
        }
        std::vector<std::vector<uint8_t>> ref = reference_luma(c.id, es, starts);
        ASSERT_EQ(r.luma.size(), ref.size());
        for (size_t i = 0; i < ref.size(); i++)
            EXPECT_EQ(r.luma[i], ref[i]) << "picture " << i;
        EXPECT_EQ(Vdec2_getOutBufSize(d), 352 * 288 * 3 / 2);
        Vdec2_delete(d);
    }
}

TEST(VideoDecoder, OurH264EncoderRoundTrips)
{
    Engine eng;
    IH264VENC_Params hp = {};
    VIDENC1_Params &p = hp.videncParams;
    p.size = sizeof hp;
    p.encodingPreset = 3;
    p.rateControlPreset = IVIDEO_USER_DEFINED;
    p.maxHeight = 576;
    p.maxWidth = 720;
    p.maxFrameRate = 30000;
    p.maxBitRate = 20000000;
    p.dataEndianness = XDM_BYTE;
    p.maxInterFrameInterval = 1;
    p.inputChromaFormat = XDM_YUV_420SP;
    p.reconChromaFormat = XDM_YUV_420SP;
    hp.profileIdc = 66;
    hp.levelIdc = 30;
    VIDENC1_Handle enc = VIDENC1_create(eng.e, "h264enc", &p);
    ASSERT_NE(enc, nullptr);
    IH264VENC_DynamicParams hd = {};
    VIDENC1_DynamicParams &dp = hd.videncDynamicParams;
    dp.size = sizeof hd;
    dp.inputWidth = 320;
    dp.inputHeight = 240;
    dp.refFrameRate = dp.targetFrameRate = 30000;
    dp.targetBitRate = 4000000;
    dp.intraFrameInterval = 10;
    dp.captureWidth = 320;
    dp.forceFrame = -1;
    dp.interFrameInterval = 1;
    hd.idrFrameInterval = 10;
    hd.intraFrameQP = hd.interPFrameQP = 20;
    hd.initQ = -1;
    hd.rcQMax = hd.rcQMaxI = 51;
    hd.maxDelay = 1000;
    hd.aspectRatioX = hd.aspectRatioY = 1;
    VIDENC1_Status st = {};
    st.size = sizeof st;
    ASSERT_EQ(VIDENC1_control(enc, XDM_SETPARAMS, &dp, &st), XDM_EOK);

    std::vector<uint8_t> es, source;
    std::vector<size_t> sizes;
    std::vector<uint8_t> luma(320 * 240), chroma(320 * 120);
    for (int n = 0; n < 8; n++) {
        AVFrame *f = picture(320, 240, n);
        for (int y = 0; y < 240; y++)
            memcpy(&luma[y * 320], f->data[0] + y * f->linesize[0], 320);
        for (int y = 0; y < 120; y++)
            for (int x = 0; x < 160; x++) {
                chroma[y * 320 + 2 * x] = f->data[1][y * f->linesize[1] + x];
                chroma[y * 320 + 2 * x + 1] = f->data[2][y * f->linesize[2] + x];
            }
        av_frame_free(&f);
        if (n == 7)
            source = luma;
        IVIDEO1_BufDescIn in = {};
        in.numBufs = 2;
        in.frameWidth = 320;
        in.frameHeight = 240;
        in.framePitch = 320;
        in.bufDesc[0] = {luma.data(), (XDAS_Int32)luma.size(), 0};
        in.bufDesc[1] = {chroma.data(), (XDAS_Int32)chroma.size(), 0};
        std::vector<uint8_t> out(400000);
        uint8_t side[800];
        uint8_t *bufs[2] = {out.data(), side};
        XDAS_Int32 bs[2] = {(XDAS_Int32)out.size(), 800};
        XDM_BufDesc ob{bufs, 2, bs};
        VIDENC1_InArgs ia{sizeof ia, 1, 1};
        VIDENC1_OutArgs oa{};
        oa.size = sizeof oa;
        ASSERT_EQ(VIDENC1_process(enc, &in, &ob, &ia, &oa), XDM_EOK);
        es.insert(es.end(), out.begin(), out.begin() + oa.bytesGenerated);
        sizes.push_back((size_t)oa.bytesGenerated);
    }
    VIDENC1_delete(enc);

    Vdec2_Handle d = make_vdec(eng.e, "h264dec");
    ASSERT_NE(d, nullptr);
    VideoDecode r = vdec_stream(d, es, 320, 240);
    ASSERT_EQ(r.consumed, sizes);
    ASSERT_EQ(r.luma.size(), 8u) << "one picture per unit, none held back";
    double err = 0;
    for (size_t i = 0; i < source.size(); i++)
        err += std::fabs((double)source[i] - r.luma[7][i]);
    EXPECT_LT(err / source.size(), 3.0) << "mean luma error of the last picture";
    Vdec2_delete(d);
}

TEST(VideoDecoder, RefusesPicturesBeyondItsMaximumAndSurvivesDamage)
{
    std::vector<size_t> starts;
    std::vector<uint8_t> es = av_encode("libx264", 352, 288, 3, &starts);
    ASSERT_FALSE(es.empty());
    Engine eng;
    Vdec2_Handle small = make_vdec(eng.e, "h264dec", 320, 240);
    ASSERT_NE(small, nullptr);
    Buffer_Handle ref = make_ref();
    Buf dst(0xbd000, true);
    memset(Buffer_getUserPtr(dst.b), 0x5a, 0xbd000);
    point(ref, es.data(), starts[1]);
    EXPECT_EQ(Vdec2_process(small, ref, dst.b), Dmai_EFAIL);
    EXPECT_EQ(Vdec2_getDisplayBuf(small), nullptr);
    EXPECT_EQ(Buffer_getUserPtr(dst.b)[0], 0x5a) << "nothing written for a refused picture";
    Vdec2_delete(small);

    // Noise behind a start code: consumed, no picture, and the next real stream decodes.
    Vdec2_Handle d = make_vdec(eng.e, "h264dec");
    std::vector<uint8_t> noise = {0, 0, 0, 1, 0x65};
    uint32_t seed = 7;
    for (int i = 0; i < 3000; i++) {
        seed = seed * 1103515245u + 12345u;
        noise.push_back((uint8_t)(seed >> 16));
    }
    point(ref, noise.data(), noise.size());
    int rc = Vdec2_process(d, ref, dst.b);
    EXPECT_TRUE(rc == Dmai_EOK || rc == Dmai_EBITERROR) << rc;
    EXPECT_GT(Buffer_getNumBytesUsed(ref), 0u);
    EXPECT_EQ(Vdec2_getDisplayBuf(d), nullptr);
    VideoDecode r = vdec_stream(d, es, 352, 288);
    EXPECT_EQ(r.luma.size(), 3u);

    // An empty input after a flush gives nothing more and the decoder stays usable.
    EXPECT_EQ(Vdec2_flush(d), Dmai_EOK);
    Buffer_setNumBytesUsed(ref, 1);
    EXPECT_EQ(Vdec2_process(d, ref, dst.b), Dmai_EOK);
    EXPECT_EQ(Vdec2_getDisplayBuf(d), nullptr);
    r = vdec_stream(d, es, 352, 288);
    EXPECT_EQ(r.luma.size(), 3u);
    Vdec2_delete(d);
    Buffer_delete(ref);
}

#if defined(__SANITIZE_ADDRESS__)
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*)(const volatile void *, size_t),
                                                         void (*)(const volatile void *));
#define HAVE_MALLOC_HOOKS 1
#endif

std::atomic<bool> watching{false};
std::atomic<size_t> largest{0};

void on_malloc(const volatile void *, size_t n)
{
    if (!watching.load(std::memory_order_relaxed))
        return;
    size_t l = largest.load(std::memory_order_relaxed);
    while (n > l && !largest.compare_exchange_weak(l, n, std::memory_order_relaxed)) {
    }
}

void on_free(const volatile void *) {}

// A stream's headers can name any size; one beyond the decoder's maximum is refused before its
// picture gets memory, so hostile headers cannot make it allocate and clear huge frames.
TEST(Decoders, PicturesBeyondTheMaximumGetNoMemory)
{
#ifndef HAVE_MALLOC_HOOKS
    GTEST_SKIP() << "needs the sanitizer's allocation hooks";
#else
    static const bool hooked = __sanitizer_install_malloc_and_free_hooks(on_malloc, on_free) != 0;
    ASSERT_TRUE(hooked);
    const int w = 1280, h = 720;
    const size_t limit = (size_t)w * h / 2;   // half of one luma plane of the big picture
    std::vector<uint8_t> es = av_encode("libx264", w, h, 1, nullptr);
    std::vector<uint8_t> jpg = av_encode("mjpeg", w, h, 1, nullptr, AV_PIX_FMT_YUVJ422P);
    ASSERT_FALSE(es.empty());
    ASSERT_FALSE(jpg.empty());
    ASSERT_LT(es.size(), limit);
    ASSERT_LT(jpg.size(), limit);
    Engine eng;
    Buffer_Handle ref = make_ref();
    Buf dst(352 * 288 * 2, true);

    Vdec2_Handle d = make_vdec(eng.e, "h264dec", 352, 288);
    ASSERT_NE(d, nullptr);
    point(ref, es.data(), es.size());
    largest = 0;
    watching = true;
    int rc = Vdec2_process(d, ref, dst.b);
    watching = false;
    EXPECT_EQ(rc, Dmai_EFAIL);
    EXPECT_EQ(Buffer_getNumBytesUsed(ref), 0u);
    EXPECT_EQ(Vdec2_getDisplayBuf(d), nullptr);
    EXPECT_LT(largest.load(), limit) << "H.264";
    Vdec2_delete(d);

    IMGDEC1_Params p = Idec1_Params_DEFAULT;
    p.maxWidth = 352;
    p.maxHeight = 288;
    IMGDEC1_DynamicParams dyn = Idec1_DynamicParams_DEFAULT;
    Idec1_Handle j = Idec1_create(eng.e, "jpegdec", &p, &dyn);
    ASSERT_NE(j, nullptr);
    point(ref, jpg.data(), jpg.size());
    largest = 0;
    watching = true;
    rc = Idec1_process(j, ref, dst.b);
    watching = false;
    EXPECT_EQ(rc, Dmai_EFAIL);
    EXPECT_LT(largest.load(), limit) << "JPEG";
    Idec1_delete(j);
    Buffer_delete(ref);
#endif
}

TEST(ImageDecoder, JpegToUyvyConsumingOneImage)
{
    std::vector<size_t> starts;
    std::vector<uint8_t> jpg = av_encode("mjpeg", 64, 48, 2, &starts, AV_PIX_FMT_YUVJ422P);
    ASSERT_EQ(starts.size(), 2u);
    Engine eng;
    IMGDEC1_Params p = Idec1_Params_DEFAULT;
    IMGDEC1_DynamicParams dyn = Idec1_DynamicParams_DEFAULT;
    Idec1_Handle d = Idec1_create(eng.e, "jpegdec", &p, &dyn);
    ASSERT_NE(d, nullptr);
    Buffer_Handle ref = make_ref();
    Buf dst(0xbd000, true);
    point(ref, jpg.data(), jpg.size());
    ASSERT_EQ(Idec1_process(d, ref, dst.b), Dmai_EOK);
    EXPECT_EQ(Buffer_getNumBytesUsed(ref), starts[1]) << "the first image only";
    BufferGfx_Dimensions dim;
    BufferGfx_getDimensions(dst.b, &dim);
    EXPECT_EQ(dim.width, 64);
    EXPECT_EQ(dim.height, 48);
    EXPECT_EQ(dim.lineLength, 128);
    EXPECT_EQ(BufferGfx_getColorSpace(dst.b), ColorSpace_UYVY);
    EXPECT_EQ(Buffer_getNumBytesUsed(dst.b), 128u * 48);
    // Luma of UYVY sits in the odd bytes.
    AVFrame *f = picture(64, 48, 0, AV_PIX_FMT_YUVJ422P);
    double err = 0;
    for (int y = 0; y < 48; y++)
        for (int x = 0; x < 64; x++) {
            double full = f->data[0][y * f->linesize[0] + x];
            err += std::fabs(16 + full * 219 / 255 - Buffer_getUserPtr(dst.b)[y * 128 + 2 * x + 1]);
        }
    av_frame_free(&f);
    EXPECT_LT(err / (64 * 48), 4.0);

    // An EXIF segment holding a thumbnail's EOI does not end the image.
    std::vector<uint8_t> exif(jpg.begin(), jpg.begin() + (long)starts[1]);
    const uint8_t app1[] = {0xFF, 0xE1, 0x00, 0x0C, 'E', 'x', 'i', 'f', 0, 0, 0xFF, 0xD8, 0xFF, 0xD9};
    exif.insert(exif.begin() + 2, app1, app1 + sizeof app1);
    size_t whole = exif.size();
    exif.insert(exif.end(), jpg.begin() + (long)starts[1], jpg.end());
    point(ref, exif.data(), exif.size());
    EXPECT_EQ(Idec1_process(d, ref, dst.b), Dmai_EOK);
    EXPECT_EQ(Buffer_getNumBytesUsed(ref), whole);

    std::vector<uint8_t> cut(jpg.begin(), jpg.begin() + 20);
    point(ref, cut.data(), cut.size());
    EXPECT_EQ(Idec1_process(d, ref, dst.b), Dmai_EFAIL);
    EXPECT_EQ(Buffer_getNumBytesUsed(ref), 0u);
    Idec1_delete(d);
    Buffer_delete(ref);
}

// Periods of the card's tones through "aacenc", ADTS or raw.
std::vector<std::vector<uint8_t>> aac_frames(int rate, bool adts, int count)
{
    Engine eng;
    IAACENC_Params p = {};
    p.audencParams = Aenc1_Params_DEFAULT;
    p.audencParams.size = sizeof p;
    p.audencParams.sampleRate = rate;
    p.audencParams.bitRate = 128000;
    p.audencParams.maxBitRate = 512000;
    p.useADTS = adts;
    Aenc1_Handle h = Aenc1_create(eng.e, "aacenc", &p.audencParams, nullptr);
    EXPECT_NE(h, nullptr);
    Buf in(4096), out(4096);
    std::vector<std::vector<uint8_t>> frames;
    uint64_t pos = 0;
    while (h && (int)frames.size() < count) {
        int16_t *s = reinterpret_cast<int16_t *>(Buffer_getUserPtr(in.b));
        for (int i = 0; i < 1024; i++, pos++)
            for (int c = 0; c < 2; c++)
                s[2 * i + c] = platform_sound_sim_sample(pos, c, (unsigned)rate);
        Buffer_setNumBytesUsed(in.b, 4096);
        EXPECT_EQ(Aenc1_process(h, in.b, out.b), 0);
        size_t n = Buffer_getNumBytesUsed(out.b);
        if (n)
            frames.emplace_back(Buffer_getUserPtr(out.b), Buffer_getUserPtr(out.b) + n);
    }
    Aenc1_delete(h);
    return frames;
}

double rms_left(const int16_t *s, int frames)
{
    double e = 0;
    for (int i = 0; i < frames; i++)
        e += (double)s[2 * i] * s[2 * i];
    return std::sqrt(e / frames);
}

Adec1_Handle make_adec(Engine_Handle e, bool raw, int rate)
{
    IAACDEC_Params p = Adec1_Params_DEFAULT;
    p.rawFormat = raw;
    p.rawSampleRate = rate;
    AUDDEC1_DynamicParams dyn = Adec1_DynamicParams_DEFAULT;
    return Adec1_create(e, "aacdec", &p.auddecParams, &dyn);
}

TEST(AudioDecoder, AdtsAndRawFramesOfOurEncoderDecodeToTheTones)
{
    for (bool raw : {false, true}) {
        SCOPED_TRACE(raw ? "raw" : "ADTS");
        std::vector<std::vector<uint8_t>> frames = aac_frames(44100, !raw, 12);
        ASSERT_EQ(frames.size(), 12u);
        Engine eng;
        Adec1_Handle d = make_adec(eng.e, raw, 44100);
        ASSERT_NE(d, nullptr);
        Buffer_Handle ref = make_ref();
        Buf out(4096);
        for (size_t k = 0; k < frames.size(); k++) {
            // Two frames back to back: one call takes the first only (ADTS).
            std::vector<uint8_t> two = frames[k];
            if (!raw && k + 1 < frames.size())
                two.insert(two.end(), frames[k + 1].begin(), frames[k + 1].end());
            point(ref, two.data(), two.size());
            ASSERT_EQ(Adec1_process(d, ref, out.b), Dmai_EOK) << "frame " << k;
            EXPECT_EQ(Buffer_getNumBytesUsed(ref), frames[k].size());
            ASSERT_EQ(Buffer_getNumBytesUsed(out.b), 4096u);
            if (k >= 4) {
                double level = rms_left(reinterpret_cast<int16_t *>(Buffer_getUserPtr(out.b)), 1024);
                EXPECT_NEAR(level, (double)SOUND_SIM_AMPLITUDE / std::sqrt(2.0), (double)SOUND_SIM_AMPLITUDE * 0.1) << "frame " << k;
            }
        }
        EXPECT_EQ(Adec1_getSampleRate(d), 44100);
        Adec1_delete(d);
        Buffer_delete(ref);
    }
}

TEST(AudioDecoder, LyingAdtsLengthsConsumeNothing)
{
    std::vector<std::vector<uint8_t>> frames = aac_frames(48000, true, 3);
    ASSERT_EQ(frames.size(), 3u);
    Engine eng;
    Adec1_Handle d = make_adec(eng.e, false, 48000);
    Buffer_Handle ref = make_ref();
    Buf out(4096);
    std::vector<uint8_t> f = frames[2];
    // Longer than what is there.
    std::vector<uint8_t> cut(f.begin(), f.end() - 10);
    point(ref, cut.data(), cut.size());
    EXPECT_EQ(Adec1_process(d, ref, out.b), Dmai_EFAIL);
    EXPECT_EQ(Buffer_getNumBytesUsed(ref), 0u);
    // Shorter than its own header.
    std::vector<uint8_t> tiny = f;
    tiny[3] &= 0xFC;
    tiny[4] = 0;
    tiny[5] = (uint8_t)((5 << 5) | (tiny[5] & 0x1F));
    point(ref, tiny.data(), tiny.size());
    EXPECT_EQ(Adec1_process(d, ref, out.b), Dmai_EFAIL);
    EXPECT_EQ(Buffer_getNumBytesUsed(ref), 0u);
    // No sync word.
    std::vector<uint8_t> junk(64, 0x11);
    point(ref, junk.data(), junk.size());
    EXPECT_EQ(Adec1_process(d, ref, out.b), Dmai_EFAIL);
    // The decoder still takes good frames.
    point(ref, frames[0].data(), frames[0].size());
    EXPECT_EQ(Adec1_process(d, ref, out.b), Dmai_EOK);
    EXPECT_EQ(Buffer_getNumBytesUsed(ref), frames[0].size());
    Adec1_delete(d);
    Buffer_delete(ref);
}

} // namespace
