#include "platform/codec.h"
#include "streams/annexb.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sys/stat.h>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace {

const int W = 720, H = 480, PITCH = 736;

// NV12 picture with texture and a box that moves with n, so that inter coding has work.
void make_nv12(int n, std::vector<uint8_t> *luma, std::vector<uint8_t> *chroma, int w = W, int h = H,
               int pitch = PITCH)
{
    luma->assign((size_t)pitch * h, 0);
    chroma->assign((size_t)pitch * h / 2, 128);
    uint32_t seed = 12345u;
    for (int y = 0; y < h; y++) {
        for (int x = 0; x < w; x++) {
            seed = seed * 1664525u + 1013904223u;
            int v = ((x + 4 * n) / 8 * 13 + (y + 2 * n) / 8 * 7) % 200 + (int)(seed >> 29);
            bool box = x >= (40 + 6 * n) % (w - 100) && x < (40 + 6 * n) % (w - 100) + 80 && y > 100 && y < 220;
            (*luma)[(size_t)y * pitch + x] = box ? 235 : (uint8_t)(16 + v);
        }
    }
    for (int y = 0; y < h / 2; y++) {
        for (int x = 0; x < w / 2; x++) {
            (*chroma)[(size_t)y * pitch + 2 * x] = (uint8_t)(64 + ((x + n) & 127));
            (*chroma)[(size_t)y * pitch + 2 * x + 1] = (uint8_t)(64 + ((y * 2 + n) & 127));
        }
    }
}

struct Engine {
    Engine_Handle e = nullptr;
    Engine() { e = Engine_open("encode", nullptr, nullptr); }
    ~Engine() { Engine_close(e); }
};

struct VencSetup {
    IH264VENC_Params hp{};
    IH264VENC_DynamicParams hd{};
    IH264VENC_VUIParams vui{};
    IMPEG4VENC_Params mp{};
    IMPEG4VENC_DynamicParams md{};
};

void base_params(VIDENC1_Params *p, int size)
{
    p->size = size;
    p->encodingPreset = 3;
    p->rateControlPreset = IVIDEO_USER_DEFINED;
    p->maxHeight = 600;
    p->maxWidth = 800;
    p->maxFrameRate = 60000;
    p->maxBitRate = 50000000;
    p->dataEndianness = XDM_BYTE;
    p->maxInterFrameInterval = 1;
    p->inputChromaFormat = XDM_YUV_420SP;
    p->reconChromaFormat = XDM_YUV_420SP;
}

void base_dyn(VIDENC1_DynamicParams *d, int size, int bitrate, int gop)
{
    d->size = size;
    d->inputHeight = H;
    d->inputWidth = W;
    d->refFrameRate = d->targetFrameRate = 29970;
    d->targetBitRate = bitrate;
    d->intraFrameInterval = gop;
    d->captureWidth = PITCH;
    d->forceFrame = -1;
    d->interFrameInterval = 1;
}

VIDENC1_Handle make_h264(Engine_Handle e, VencSetup *s, int profile, int level, int bitrate, int gop, int rcAlgo)
{
    base_params(&s->hp.videncParams, sizeof s->hp);
    s->hp.profileIdc = profile;
    s->hp.levelIdc = level;
    s->hp.entropyMode = profile != 66;
    s->hp.seqScalingFlag = profile == 100;
    s->hp.encQuality = 3;
    s->hp.outputDataMode = 1;
    s->hp.sliceFormat = 1;
    VIDENC1_Handle h = VIDENC1_create(e, "h264enc", &s->hp.videncParams);
    if (!h)
        return nullptr;
    base_dyn(&s->hd.videncDynamicParams, sizeof s->hd, bitrate, gop);
    s->hd.idrFrameInterval = gop;
    s->hd.intraFrameQP = s->hd.interPFrameQP = 28;
    s->hd.initQ = -1;
    s->hd.rcQMax = s->hd.rcQMaxI = 51;
    s->hd.rcAlgo = rcAlgo;
    s->hd.maxDelay = 1000;
    s->hd.aspectRatioX = s->hd.aspectRatioY = 1;
    s->hd.maxBitrateCVBR = bitrate * 110 / 100;
    s->hd.VUI_Buffer = &s->vui;
    VIDENC1_Status st{};
    st.size = sizeof st;
    if (VIDENC1_control(h, XDM_SETPARAMS, &s->hd.videncDynamicParams, &st) != XDM_EOK) {
        VIDENC1_delete(h);
        return nullptr;
    }
    return h;
}

VIDENC1_Handle make_mpeg4(Engine_Handle e, VencSetup *s, int bitrate, int gop)
{
    base_params(&s->mp.videncParams, sizeof s->mp);
    s->mp.videncParams.encodingPreset = 2;
    s->mp.videncParams.maxFrameRate = 30000;
    s->mp.videncParams.maxBitRate = 20000000;
    s->mp.videncParams.rateControlPreset = IVIDEO_LOW_DELAY;
    s->mp.aspectRatioCode = 1;
    VIDENC1_Handle h = VIDENC1_create(e, "mpeg4enc", &s->mp.videncParams);
    if (!h)
        return nullptr;
    base_dyn(&s->md.videncDynamicParams, sizeof s->md, bitrate, gop);
    const int ext[15] = {0, 0, 8, 8, 0, 0, 0, 8, 31, 2, 1000, 8, 0, 1, 0};
    memcpy(&s->md.mvDataEnable, ext, sizeof ext);
    VIDENC1_Status st{};
    st.size = sizeof st;
    if (VIDENC1_control(h, XDM_SETPARAMS, &s->md.videncDynamicParams, &st) != XDM_EOK) {
        VIDENC1_delete(h);
        return nullptr;
    }
    return h;
}

struct Encoded {
    std::vector<uint8_t> data;
    int type;
};

// Encodes one picture; the output buffer carries guard bytes that must survive.
int encode(VIDENC1_Handle h, int n, size_t cap, Encoded *out, XDAS_Int32 *ext = nullptr)
{
    std::vector<uint8_t> luma, chroma;
    make_nv12(n, &luma, &chroma);
    IVIDEO1_BufDescIn in{};
    in.numBufs = 2;
    in.frameWidth = W;
    in.frameHeight = H;
    in.framePitch = PITCH;
    in.bufDesc[0] = {luma.data(), (XDAS_Int32)luma.size(), 0};
    in.bufDesc[1] = {chroma.data(), (XDAS_Int32)chroma.size(), 0};
    std::vector<uint8_t> buf(cap + 64, 0xa5);
    uint8_t side[800];
    uint8_t *bufs[2] = {buf.data(), side};
    XDAS_Int32 sizes[2] = {(XDAS_Int32)cap, 800};
    XDM_BufDesc ob{bufs, 2, sizes};
    VIDENC1_InArgs ia{sizeof ia, 1, 1};
    VIDENC1_OutArgs oa{};
    oa.size = sizeof oa;
    int rc = VIDENC1_process(h, &in, &ob, &ia, &oa);
    for (size_t i = cap; i < cap + 64; i++)
        EXPECT_EQ(buf[i], 0xa5) << "written past the output buffer";
    if (ext)
        *ext = oa.extendedError;
    out->type = oa.encodedFrameType;
    if (rc == XDM_EOK)
        out->data.assign(buf.begin(), buf.begin() + oa.bytesGenerated);
    else
        out->data.clear();
    return rc;
}

std::vector<std::pair<size_t, int>> nal_units(const std::vector<uint8_t> &d, bool *only4)
{
    std::vector<std::pair<size_t, int>> units;
    *only4 = true;
    for (size_t i = annexb_find_start_code(d.data(), d.size(), 0); i + 3 < d.size();
         i = annexb_find_start_code(d.data(), d.size(), i + 3)) {
        if (annexb_code_begin(d.data(), 0, i) == i)
            *only4 = false;
        units.push_back({i + 3, d[i + 3] & 0x1f});
    }
    return units;
}

struct Decoder {
    AVCodecContext *ctx = nullptr;
    AVFrame *frame = av_frame_alloc();
    AVPacket *pkt = av_packet_alloc();
    explicit Decoder(AVCodecID id)
    {
        ctx = avcodec_alloc_context3(avcodec_find_decoder(id));
        ctx->err_recognition = AV_EF_EXPLODE | AV_EF_CRCCHECK | AV_EF_BITSTREAM;
        ctx->thread_count = 1;
        ctx->flags |= AV_CODEC_FLAG_LOW_DELAY;
        avcodec_open2(ctx, ctx->codec, nullptr);
    }
    ~Decoder()
    {
        avcodec_free_context(&ctx);
        av_frame_free(&frame);
        av_packet_free(&pkt);
    }
    // One picture in, that picture out at once; its luma is returned.
    int decode(const std::vector<uint8_t> &data, std::vector<uint8_t> *luma)
    {
        std::vector<uint8_t> padded(data);
        padded.resize(data.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
        pkt->data = padded.data();
        pkt->size = (int)data.size();
        int rc = avcodec_send_packet(ctx, pkt);
        if (rc < 0)
            return rc;
        rc = avcodec_receive_frame(ctx, frame);
        if (rc < 0)
            return rc;
        if (frame->decode_error_flags)
            return -1;
        luma->clear();
        for (int y = 0; y < frame->height; y++)
            luma->insert(luma->end(), frame->data[0] + y * frame->linesize[0],
                         frame->data[0] + y * frame->linesize[0] + frame->width);
        av_frame_unref(frame);
        return 0;
    }
};

TEST(CodecEngine, OnlyTheEncodeEngineAndItsAlgorithmsExist)
{
    Engine_Error ec = Engine_EOK;
    EXPECT_EQ(Engine_open("decode", nullptr, &ec), nullptr);
    EXPECT_EQ(ec, Engine_EEXIST);
    Engine en;
    ASSERT_NE(en.e, nullptr);
    VencSetup s;
    base_params(&s.hp.videncParams, sizeof(VIDENC1_Params));
    EXPECT_EQ(VIDENC1_create(en.e, "h263enc", &s.hp.videncParams), nullptr);
    EXPECT_EQ(Engine_getLastError(en.e), Engine_ENOTFOUND);
    EXPECT_EQ(VIDENC1_create(en.e, "jpegenc", &s.hp.videncParams), nullptr);
    IMGENC1_Params ip{sizeof ip, 600, 800, 0, XDM_BYTE, 2};
    EXPECT_EQ(IMGENC1_create(en.e, "h264enc", &ip), nullptr);
    VIDENC1_Handle h = VIDENC1_create(en.e, "h264enc", &s.hp.videncParams);
    EXPECT_NE(h, nullptr);
    VIDENC1_delete(h);
}

TEST(CodecH264, AnnexBOneOutputPerPictureWithHeadersBeforeEveryIdr)
{
    Engine en;
    VencSetup s;
    const int gop = 10;
    VIDENC1_Handle h = make_h264(en.e, &s, 100, 30, 2000000, gop, IH264VENC_RC_CBR_STRICT);
    ASSERT_NE(h, nullptr);
    Decoder dec(AV_CODEC_ID_H264);
    std::vector<uint8_t> prev;
    for (int n = 0; n < 25; n++) {
        Encoded e;
        ASSERT_EQ(encode(h, n, 0x100000, &e), XDM_EOK) << n;
        ASSERT_FALSE(e.data.empty());
        bool only4;
        auto units = nal_units(e.data, &only4);
        EXPECT_TRUE(only4) << "picture " << n;
        ASSERT_EQ(units.front().first, 4u) << "output must begin with a start code";
        bool idr = n % gop == 0;
        EXPECT_EQ(e.type, idr ? IVIDEO_IDR_FRAME : IVIDEO_P_FRAME) << n;
        // Parameter sets and the slice, nothing else (no SEI when progressive, no filler).
        int slices = 0, idrSlices = 0, headers = 0;
        for (auto &u : units) {
            slices += u.second == 1;
            idrSlices += u.second == 5;
            headers += u.second == 7 || u.second == 8;
            EXPECT_TRUE(u.second == 1 || u.second == 5 || u.second == 7 || u.second == 8)
                << "unit type " << u.second << " in picture " << n;
        }
        EXPECT_TRUE(units.back().second == 1 || units.back().second == 5) << "the slice comes last, picture " << n;
        if (idr) {
            ASSERT_GE(units.size(), 3u);
            EXPECT_EQ(units[0].second, 7);
            EXPECT_EQ(units[1].second, 8);
            EXPECT_GT(idrSlices, 0);
            EXPECT_EQ(slices, 0);
        } else {
            EXPECT_GT(slices, 0) << "P picture " << n;
            EXPECT_EQ(idrSlices + headers, 0) << "P picture " << n;
        }
        // Decodes at once: no B-frames, no reordering delay.
        std::vector<uint8_t> luma;
        ASSERT_EQ(dec.decode(e.data, &luma), 0) << "picture " << n;
        EXPECT_NE(luma, prev);
        prev = luma;
    }
    EXPECT_EQ(dec.ctx->width, W);
    EXPECT_EQ(dec.ctx->height, H);
    EXPECT_EQ(dec.ctx->profile, FF_PROFILE_H264_HIGH);
    EXPECT_EQ(dec.ctx->level, 30);
    EXPECT_EQ(dec.ctx->has_b_frames, 0);
    VIDENC1_delete(h);
}

TEST(CodecH264, ProfileAndEntropyFollowTheSettings)
{
    for (int profile : {66, 77}) {
        Engine en;
        VencSetup s;
        VIDENC1_Handle h = make_h264(en.e, &s, profile, 31, 1000000, 30, IH264VENC_RC_CBR_STRICT);
        ASSERT_NE(h, nullptr);
        Decoder dec(AV_CODEC_ID_H264);
        Encoded e;
        std::vector<uint8_t> luma;
        ASSERT_EQ(encode(h, 0, 0x100000, &e), XDM_EOK);
        ASSERT_EQ(dec.decode(e.data, &luma), 0);
        EXPECT_EQ(dec.ctx->profile & 0xff, profile);
        EXPECT_EQ(dec.ctx->level, 31);
        VIDENC1_delete(h);
    }
}

TEST(CodecH264, BitRateHeldOverTenSeconds)
{
    for (int rcAlgo : {IH264VENC_RC_CBR_STRICT, IH264VENC_RC_VBR}) {
        Engine en;
        VencSetup s;
        const int bitrate = 2000000;
        VIDENC1_Handle h = make_h264(en.e, &s, 100, 30, bitrate, 30, rcAlgo);
        ASSERT_NE(h, nullptr);
        size_t bytes = 0;
        const int pictures = 300;   // 10 s at 29.97
        for (int n = 0; n < pictures; n++) {
            Encoded e;
            ASSERT_EQ(encode(h, n, 0x100000, &e), XDM_EOK);
            bytes += e.data.size();
        }
        double kbps = bytes * 8.0 / (pictures / 29.97) / 1000;
        EXPECT_NEAR(kbps, bitrate / 1000.0, bitrate / 1000.0 * 0.15) << "rcAlgo " << rcAlgo;
        VIDENC1_delete(h);
    }
}

TEST(CodecH264, QuantiserRangeAndFixedQpAreHonoured)
{
    Engine en;
    VencSetup q20, q40;
    auto fixed = [&](VencSetup *s, int qp) {
        base_params(&s->hp.videncParams, sizeof s->hp);
        s->hp.videncParams.rateControlPreset = IVIDEO_NONE;
        s->hp.profileIdc = 100;
        s->hp.levelIdc = 30;
        s->hp.entropyMode = 1;
        VIDENC1_Handle h = VIDENC1_create(en.e, "h264enc", &s->hp.videncParams);
        base_dyn(&s->hd.videncDynamicParams, sizeof s->hd, 0, 30);
        s->hd.intraFrameQP = s->hd.interPFrameQP = qp;
        s->hd.rcQMax = s->hd.rcQMaxI = 51;
        VIDENC1_Status st{};
        st.size = sizeof st;
        EXPECT_EQ(VIDENC1_control(h, XDM_SETPARAMS, &s->hd.videncDynamicParams, &st), XDM_EOK);
        return h;
    };
    VIDENC1_Handle h20 = fixed(&q20, 20), h40 = fixed(&q40, 40);
    size_t b20 = 0, b40 = 0;
    for (int n = 0; n < 10; n++) {
        Encoded e;
        ASSERT_EQ(encode(h20, n, 0x100000, &e), XDM_EOK);
        b20 += e.data.size();
        ASSERT_EQ(encode(h40, n, 0x100000, &e), XDM_EOK);
        b40 += e.data.size();
    }
    EXPECT_GT(b20, 3 * b40);
    VIDENC1_delete(h20);
    VIDENC1_delete(h40);
}

TEST(CodecH264, BadParametersAreRefusedWithTheirCode)
{
    Engine en;
    VencSetup s;
    VIDENC1_Handle h = make_h264(en.e, &s, 100, 30, 2000000, 30, 6);
    ASSERT_NE(h, nullptr);
    VIDENC1_Status st{};
    st.size = sizeof st;
    s.hd.videncDynamicParams.inputWidth = 1280;     // above maxWidth 800
    EXPECT_EQ(VIDENC1_control(h, XDM_SETPARAMS, &s.hd.videncDynamicParams, &st), XDM_EFAIL);
    EXPECT_EQ(st.extendedError & 0xff, IH264VENC_ERR_INPUTWIDTH);
    s.hd.videncDynamicParams.inputWidth = W;
    s.hd.rcAlgo = 9;
    EXPECT_EQ(VIDENC1_control(h, XDM_SETPARAMS, &s.hd.videncDynamicParams, &st), XDM_EFAIL);
    EXPECT_EQ(st.extendedError & 0xff, IH264VENC_ERR_RCALGO);
    VIDENC1_delete(h);

    VencSetup bad;
    EXPECT_EQ(make_h264(en.e, &bad, 44, 30, 2000000, 30, 6), nullptr);
}

TEST(CodecH264, OutputThatDoesNotFitIsRefusedAndTheNextPictureIsIdr)
{
    Engine en;
    VencSetup s;
    VIDENC1_Handle h = make_h264(en.e, &s, 100, 30, 2000000, 30, IH264VENC_RC_CBR_STRICT);
    ASSERT_NE(h, nullptr);
    Encoded e;
    ASSERT_EQ(encode(h, 0, 0x100000, &e), XDM_EOK);
    ASSERT_EQ(encode(h, 1, 0x100000, &e), XDM_EOK);
    XDAS_Int32 ext = 0;
    ASSERT_EQ(encode(h, 2, 16, &e, &ext), XDM_EFAIL);
    EXPECT_TRUE(ext & (1 << XDM_INSUFFICIENTDATA));
    ASSERT_EQ(encode(h, 3, 0x100000, &e), XDM_EOK);
    EXPECT_EQ(e.type, IVIDEO_IDR_FRAME);
    VIDENC1_delete(h);
}

TEST(CodecH264, ResetStartsAgainWithAnIdr)
{
    Engine en;
    VencSetup s;
    VIDENC1_Handle h = make_h264(en.e, &s, 100, 30, 2000000, 30, IH264VENC_RC_CBR_STRICT);
    Encoded e;
    ASSERT_EQ(encode(h, 0, 0x100000, &e), XDM_EOK);
    ASSERT_EQ(encode(h, 1, 0x100000, &e), XDM_EOK);
    EXPECT_EQ(e.type, IVIDEO_P_FRAME);
    VIDENC1_Status st{};
    st.size = sizeof st;
    ASSERT_EQ(VIDENC1_control(h, XDM_RESET, nullptr, &st), XDM_EOK);
    ASSERT_EQ(encode(h, 2, 0x100000, &e), XDM_EOK);
    EXPECT_EQ(e.type, IVIDEO_IDR_FRAME);
    VIDENC1_delete(h);
}

TEST(CodecMpeg4, HeaderOnlyInFirstOutputAndEveryGopStartsWithAnIVop)
{
    Engine en;
    VencSetup s;
    const int gop = 5;
    VIDENC1_Handle h = make_mpeg4(en.e, &s, 2000000, gop);
    ASSERT_NE(h, nullptr);
    std::vector<uint8_t> header;
    Decoder dec(AV_CODEC_ID_MPEG4);
    std::vector<uint8_t> prev;
    for (int n = 0; n < 12; n++) {
        Encoded e;
        ASSERT_EQ(encode(h, n, 0x100000, &e), XDM_EOK);
        ASSERT_GT(e.data.size(), 5u);
        const uint8_t *d = e.data.data();
        std::vector<uint8_t> unit = e.data;
        if (n == 0) {
            ASSERT_TRUE(d[0] == 0 && d[1] == 0 && d[2] == 1 && d[3] == 0xb0) << "VOS first";
            size_t k = annexb_find_code(d, e.data.size(), 0, 0xb6);
            ASSERT_LT(k, e.data.size()) << "a VOP follows the headers";
            header.assign(d, d + k);
            EXPECT_LE(header.size(), 64u);
            EXPECT_EQ(e.type, IVIDEO_I_FRAME);
        } else {
            ASSERT_TRUE(d[0] == 0 && d[1] == 0 && d[2] == 1 && d[3] == 0xb6) << "only a VOP, picture " << n;
            bool iVop = d[4] < 64;
            EXPECT_EQ(iVop, n % gop == 0) << n;
            EXPECT_EQ(e.type, iVop ? IVIDEO_I_FRAME : IVIDEO_P_FRAME);
        }
        std::vector<uint8_t> luma;
        ASSERT_EQ(dec.decode(unit, &luma), 0) << n;
        EXPECT_NE(luma, prev);
        prev = luma;
    }
    EXPECT_EQ(dec.ctx->width, W);
    EXPECT_EQ(dec.ctx->height, H);
    VIDENC1_delete(h);

    // A decoder that starts at a later I-VOP needs only the kept header in front.
    VencSetup s2;
    h = make_mpeg4(en.e, &s2, 2000000, gop);
    Encoded e;
    for (int n = 0; n <= gop; n++)
        ASSERT_EQ(encode(h, n, 0x100000, &e), XDM_EOK);
    std::vector<uint8_t> joined(header);
    joined.insert(joined.end(), e.data.begin(), e.data.end());
    Decoder late(AV_CODEC_ID_MPEG4);
    std::vector<uint8_t> luma;
    EXPECT_EQ(late.decode(joined, &luma), 0);
    VIDENC1_delete(h);
}

TEST(CodecMpeg4, BitRateHeldOverTenSeconds)
{
    Engine en;
    VencSetup s;
    const int bitrate = 2000000;
    VIDENC1_Handle h = make_mpeg4(en.e, &s, bitrate, 30);
    ASSERT_NE(h, nullptr);
    size_t bytes = 0;
    for (int n = 0; n < 300; n++) {
        Encoded e;
        ASSERT_EQ(encode(h, n, 0x100000, &e), XDM_EOK);
        bytes += e.data.size();
    }
    double kbps = bytes * 8.0 / (300 / 29.97) / 1000;
    EXPECT_NEAR(kbps, bitrate / 1000.0, bitrate / 1000.0 * 0.15);
    VIDENC1_delete(h);
}

struct Jpeg {
    IMGENC1_Handle h = nullptr;
    IJPEGENC_DynamicParams dyn{};
    Jpeg(Engine_Handle e, int chroma, int w, int h_, int lineLength, int q, int rotation)
    {
        IMGENC1_Params p{sizeof p, 600, 800, 0, XDM_BYTE, 2};
        h = IMGENC1_create(e, "jpegenc", &p);
        dyn.imgencDynamicParams = {sizeof dyn, 0, chroma, h_, w, lineLength, 0, q};
        dyn.rotation = rotation;
    }
    ~Jpeg() { IMGENC1_delete(h); }
    int apply()
    {
        IMGENC1_Status st{};
        st.size = sizeof st;
        return IMGENC1_control(h, XDM_SETPARAMS, &dyn.imgencDynamicParams, &st);
    }
    int encode(uint8_t *p0, size_t s0, uint8_t *p1, size_t s1, size_t cap, std::vector<uint8_t> *out,
               IMGENC1_OutArgs *oa)
    {
        XDM1_BufDesc in{};
        in.numBufs = p1 ? 2 : 1;
        in.descs[0] = {p0, (XDAS_Int32)s0, 0};
        in.descs[1] = {p1, (XDAS_Int32)s1, 0};
        std::vector<uint8_t> buf(cap + 64, 0x5a);
        XDM1_BufDesc ob{};
        ob.numBufs = 1;
        ob.descs[0] = {buf.data(), (XDAS_Int32)cap, 0};
        IMGENC1_InArgs ia{sizeof ia};
        *oa = {};
        oa->size = sizeof *oa;
        int rc = IMGENC1_process(h, &in, &ob, &ia, oa);
        for (size_t i = cap; i < cap + 64; i++)
            EXPECT_EQ(buf[i], 0x5a) << "written past the output buffer";
        if (rc == XDM_EOK)
            out->assign(buf.begin(), buf.begin() + oa->bytesGenerated);
        return rc;
    }
};

bool jpeg_framed(const std::vector<uint8_t> &j)
{
    return j.size() > 4 && j[0] == 0xff && j[1] == 0xd8 && j[j.size() - 2] == 0xff && j.back() == 0xd9;
}

TEST(CodecJpeg, Nv12AndUyvyPicturesDecodeAtTheirSize)
{
    Engine en;
    std::vector<uint8_t> luma, chroma;
    make_nv12(3, &luma, &chroma);
    Jpeg nv(en.e, XDM_YUV_420SP, W, H, PITCH, 75, 0);
    ASSERT_EQ(nv.apply(), XDM_EOK);
    std::vector<uint8_t> out, pic;
    IMGENC1_OutArgs oa;
    ASSERT_EQ(nv.encode(luma.data(), luma.size(), chroma.data(), chroma.size(), 0x100000, &out, &oa), XDM_EOK);
    EXPECT_TRUE(jpeg_framed(out));
    Decoder d1(AV_CODEC_ID_MJPEG);
    ASSERT_EQ(d1.decode(out, &pic), 0);
    EXPECT_EQ(d1.ctx->width, W);
    EXPECT_EQ(d1.ctx->height, H);

    // UYVY with a line length wider than the picture, turned by 90 degrees.
    const int w = 352, h = 288, line = 768;
    std::vector<uint8_t> uyvy((size_t)line * h);
    for (int y = 0; y < h; y++)
        for (int x = 0; x < line; x++)
            uyvy[(size_t)y * line + x] = (uint8_t)(x % 2 ? 16 + (x + y) % 200 : 128);
    Jpeg rot(en.e, XDM_YUV_422ILE, w, h, line / 2, 75, 90);
    ASSERT_EQ(rot.apply(), XDM_EOK);
    ASSERT_EQ(rot.encode(uyvy.data(), uyvy.size(), nullptr, 0, 0x100000, &out, &oa), XDM_EOK);
    EXPECT_TRUE(jpeg_framed(out));
    Decoder d2(AV_CODEC_ID_MJPEG);
    ASSERT_EQ(d2.decode(out, &pic), 0);
    EXPECT_EQ(d2.ctx->width, h);
    EXPECT_EQ(d2.ctx->height, w);
}

TEST(CodecJpeg, LowerQualityGivesSmallerPicturesAndOversizeIsReported)
{
    Engine en;
    std::vector<uint8_t> luma, chroma, hi, lo;
    make_nv12(0, &luma, &chroma);
    Jpeg j(en.e, XDM_YUV_420SP, W, H, PITCH, 90, 0);
    ASSERT_EQ(j.apply(), XDM_EOK);
    IMGENC1_OutArgs oa;
    ASSERT_EQ(j.encode(luma.data(), luma.size(), chroma.data(), chroma.size(), 0x100000, &hi, &oa), XDM_EOK);
    j.dyn.imgencDynamicParams.qValue = 30;
    ASSERT_EQ(j.apply(), XDM_EOK);
    ASSERT_EQ(j.encode(luma.data(), luma.size(), chroma.data(), chroma.size(), 0x100000, &lo, &oa), XDM_EOK);
    EXPECT_LT(lo.size() * 2, hi.size());

    std::vector<uint8_t> none;
    EXPECT_EQ(j.encode(luma.data(), luma.size(), chroma.data(), chroma.size(), 1000, &none, &oa), XDM_EFAIL);
    EXPECT_TRUE(oa.extendedError & (1 << XDM_INSUFFICIENTDATA));
    EXPECT_EQ((size_t)oa.bytesGenerated, lo.size()) << "says how much it needed";
}

TEST(CodecJpeg, BadParametersCarryTheirErrorCode)
{
    Engine en;
    Jpeg j(en.e, 3, W, H, PITCH, 75, 0);
    IMGENC1_Status st{};
    st.size = sizeof st;
    EXPECT_EQ(IMGENC1_control(j.h, XDM_SETPARAMS, &j.dyn.imgencDynamicParams, &st), XDM_EFAIL);
    EXPECT_EQ(st.extendedError & 0xff, JPEGENC_ERR_INPUTCHROMAFORMAT);
    j.dyn.imgencDynamicParams.inputChromaFormat = XDM_YUV_420SP;
    j.dyn.imgencDynamicParams.qValue = 0;
    EXPECT_EQ(IMGENC1_control(j.h, XDM_SETPARAMS, &j.dyn.imgencDynamicParams, &st), XDM_EFAIL);
    EXPECT_EQ(st.extendedError & 0xff, JPEGENC_ERR_QVALUE);
    j.dyn.imgencDynamicParams.qValue = 50;
    j.dyn.rotation = 45;
    EXPECT_EQ(IMGENC1_control(j.h, XDM_SETPARAMS, &j.dyn.imgencDynamicParams, &st), XDM_EFAIL);
    EXPECT_EQ(st.extendedError & 0xff, JPEGENC_ERR_ROTATION);
    // Nothing configured yet: encoding fails instead of producing garbage.
    std::vector<uint8_t> luma(PITCH * H), chroma(PITCH * H / 2), out;
    IMGENC1_OutArgs oa;
    EXPECT_EQ(j.encode(luma.data(), luma.size(), chroma.data(), chroma.size(), 0x100000, &out, &oa), XDM_EFAIL);
}

} // namespace

TEST(CodecH264, SpsTimingIsTheVuiRecordAndPictureTimingSeiOnlyWhenAsked)
{
    struct Case {
        int units, scale, picTiming;
        const char *rate;
        int profile;
    } cases[] = {{1001, 60000, 0, "30000/1001", 100}, {500, 25000, 0, "25/1", 66}, {1001, 20000, 1, "10000/1001", 77}};
    for (const Case &c : cases) {
        Engine en;
        VencSetup s;
        s.vui.timingInfoPresentFlag = 1;
        s.vui.numUnitsInTicks = c.units;
        s.vui.timeScale = c.scale;
        s.vui.fixedFrameRateFlag = 1;
        VIDENC1_Handle h = make_h264(en.e, &s, c.profile, 30, 2000000, 10, IH264VENC_RC_CBR_STRICT);
        ASSERT_NE(h, nullptr);
        s.hd.enablePicTimSEI = c.picTiming;
        VIDENC1_Status st{};
        st.size = sizeof st;
        ASSERT_EQ(VIDENC1_control(h, XDM_SETPARAMS, &s.hd.videncDynamicParams, &st), XDM_EOK);
        mkdir(test_board_dir().c_str(), 0755);
        std::string path = test_board_path("timing.h264");
        std::ofstream file(path, std::ios::binary);
        for (int n = 0; n < 12; n++) {
            Encoded e;
            ASSERT_EQ(encode(h, n, 0x100000, &e), XDM_EOK);
            file.write((const char *)e.data.data(), (std::streamsize)e.data.size());
            bool only4;
            auto units = nal_units(e.data, &only4);
            int sei = 0;
            for (auto &u : units) {
                EXPECT_NE(u.second, 12) << "filler in picture " << n;
                if (u.second != 6)
                    continue;
                sei++;
                EXPECT_EQ(e.data[u.first + 1], 1) << "an SEI other than picture timing, picture " << n;
            }
            EXPECT_EQ(sei, c.picTiming) << "picture " << n;
            EXPECT_TRUE(units.back().second == 1 || units.back().second == 5) << "picture " << n;
        }
        file.close();
        VIDENC1_delete(h);
        EXPECT_EQ(h264_sps_timing(path, "h264"), std::to_string(c.units) + "/" + std::to_string(c.scale))
            << "profile " << c.profile;
        EXPECT_EQ(ffprobe_frame_rate(path, "h264"), c.rate) << "profile " << c.profile;
        EXPECT_EQ(ffmpeg_frame_hashes(path, "h264").size(), 12u) << "profile " << c.profile;
    }
}
