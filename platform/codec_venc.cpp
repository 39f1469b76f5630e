// "h264enc" (x264 through libavcodec) and "mpeg4enc" (libavcodec's MPEG-4 part 2), shaped to
// look like the board's encoders: one coded picture per call, nothing held back.
#include "platform/codec_internal.h"
#include "streams/annexb.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
}

namespace {

enum RcMode { RC_CBR, RC_VBR, RC_FIXED_QP };

struct VencConfig {             // what the libav encoder is opened with
    int width, height, pitch;
    int fps;                    // frames per 1000 s
    int bitrate, maxBitrate, delayMs;
    RcMode rc;
    int gop;
    int qpI, qpP, qMin, qMax;
    int profile, level, entropy, transform8x8, scaling;
    int sarW, sarH;
    int useVos;
    int vuiUnits, vuiScale, vuiFixed;   // H.264 SPS timing from the caller's VUI record; 0: none
    int picTiming;                      // H.264: picture timing SEI in every access unit
};

} // namespace

struct VIDENC1_Object {
    Engine_Handle engine;
    CodecAlgKind kind;
    VIDENC1_Params params;
    IH264VENC_Params h264;      // valid when the caller gave the extended record
    IMPEG4VENC_Params mpeg4;
    bool extended;
    bool configured;
    VencConfig cfg;
    int forceFrame;
    AVCodecContext *ctx;
    AVFrame *frame;
    AVPacket *pkt;
    int64_t pts;
    bool headerDone;            // MPEG-4: the VOS/VOL went out since the last reset
};

namespace {

XDAS_Int32 fail(XDAS_Int32 *ext, int bits, int code)
{
    // MPEG-4 codes carry their own XDM bits; H.264 ones are the low byte.
    if (ext)
        *ext = code >= 0x8000 ? code | (bits & (1 << XDM_INSUFFICIENTDATA)) : bits | code;
    return XDM_EFAIL;
}

void venc_close_codec(VIDENC1_Object *h)
{
    avcodec_free_context(&h->ctx);
    av_frame_free(&h->frame);
    av_packet_free(&h->pkt);
}

const char *x264_preset(int encodingPreset)
{
    // The board trades quality for speed with the preset; x264 presets are the same trade.
    switch (encodingPreset) {
    case 1: return "fast";
    case 2: return "faster";
    default: return "veryfast";
    }
}

int venc_open_h264(VIDENC1_Object *h)
{
    const VencConfig &c = h->cfg;
    const AVCodec *codec = avcodec_find_encoder_by_name("libx264");
    if (!codec)
        return -1;
    AVCodecContext *ctx = avcodec_alloc_context3(codec);
    if (!ctx)
        return -1;
    ctx->width = c.width;
    ctx->height = c.height;
    ctx->pix_fmt = AV_PIX_FMT_NV12;
    if (c.vuiUnits > 0 && c.vuiScale > 0) {
        // A frame lasts two ticks: rate control budgets by the rate the SPS announces.
        av_reduce(&ctx->time_base.num, &ctx->time_base.den, 2LL * c.vuiUnits, c.vuiScale, 1 << 30);
    } else {
        ctx->time_base = codec_time_base(c.fps);
    }
    ctx->framerate = av_inv_q(ctx->time_base);
    ctx->gop_size = c.gop > 0 ? c.gop : (1 << 30);
    ctx->keyint_min = c.gop > 0 ? c.gop : 1 << 30;
    ctx->max_b_frames = 0;
    ctx->thread_count = 1;      // one slice, and no frame threads that would delay output
    ctx->level = c.level;
    ctx->sample_aspect_ratio = AVRational{c.sarW, c.sarH};
    ctx->qmin = c.qMin;
    ctx->qmax = c.qMax;
    AVDictionary *opts = nullptr;
    av_dict_set(&opts, "preset", x264_preset(h->params.encodingPreset), 0);
    av_dict_set(&opts, "tune", "zerolatency", 0);
    av_dict_set(&opts, "profile", c.profile == 66 ? "baseline" : c.profile == 77 ? "main" : "high", 0);
    av_dict_set(&opts, "forced-idr", "1", 0);
    switch (c.rc) {
    case RC_CBR:
        ctx->bit_rate = c.bitrate;
        ctx->rc_max_rate = c.bitrate;
        ctx->rc_buffer_size = (int)((int64_t)c.bitrate * c.delayMs / 1000);
        break;
    case RC_VBR:
        ctx->bit_rate = c.bitrate;
        ctx->rc_max_rate = c.maxBitrate > c.bitrate ? c.maxBitrate : 0;
        ctx->rc_buffer_size = ctx->rc_max_rate ? (int)((int64_t)c.maxBitrate * 2) : 0;
        break;
    case RC_FIXED_QP: {
        char qp[16];
        snprintf(qp, sizeof qp, "%d", c.qpP);
        av_dict_set(&opts, "qp", qp, 0);
        ctx->i_quant_factor = (float)(1.0 / pow(2.0, (c.qpP - c.qpI) / 6.0));
        break;
    }
    }
    // High profile needs a High tool: the scaling lists the board signals, else 8x8 transforms.
    bool high = c.profile == 100;
    // An access unit holds only SPS, PPS (before an IDR), the picture timing SEI when asked for,
    // and the slice last: no HRD buffering SEI, no filler (CBR may undershoot on easy pictures).
    char x264opts[200];
    snprintf(x264opts, sizeof x264opts,
             "scenecut=0:repeat-headers=1:annexb=1:aud=0:sliced-threads=0:nal-hrd=none:filler=0:cabac=%d:"
             "8x8dct=%d:cqm=%s%s",
             c.profile == 66 ? 0 : c.entropy ? 1 : 0, high && (c.transform8x8 || !c.scaling) ? 1 : 0,
             high && c.scaling ? "jvt" : "flat", c.picTiming ? ":pic-struct=1" : "");
    av_dict_set(&opts, "x264-params", x264opts, 0);
    int rc = avcodec_open2(ctx, codec, &opts);
    av_dict_free(&opts);
    if (rc < 0) {
        avcodec_free_context(&ctx);
        return -1;
    }
    h->ctx = ctx;
    return 0;
}

int venc_open_mpeg4(VIDENC1_Object *h)
{
    const VencConfig &c = h->cfg;
    const AVCodec *codec = avcodec_find_encoder(AV_CODEC_ID_MPEG4);
    if (!codec)
        return -1;
    AVCodecContext *ctx = avcodec_alloc_context3(codec);
    if (!ctx)
        return -1;
    ctx->width = c.width;
    ctx->height = c.height;
    ctx->pix_fmt = AV_PIX_FMT_YUV420P;
    ctx->time_base = codec_time_base(c.fps);
    ctx->framerate = av_inv_q(ctx->time_base);
    ctx->gop_size = c.gop > 0 ? c.gop : 600;
    ctx->max_b_frames = 0;
    ctx->thread_count = 1;
    ctx->flags |= AV_CODEC_FLAG_BITEXACT;   // no encoder banner in the header
    ctx->sample_aspect_ratio = AVRational{c.sarW, c.sarH};
    ctx->qmin = c.qMin;
    ctx->qmax = c.qMax;
    switch (c.rc) {
    case RC_CBR:
        // the minimum rate makes the encoder stuff easy pictures up to the rate
        ctx->bit_rate = c.bitrate;
        ctx->rc_max_rate = c.bitrate;
        ctx->rc_min_rate = c.bitrate;
        ctx->rc_buffer_size = (int)((int64_t)c.bitrate * c.delayMs / 1000);
        break;
    case RC_VBR:
        ctx->bit_rate = c.bitrate;
        ctx->bit_rate_tolerance = c.bitrate;
        break;
    case RC_FIXED_QP:
        ctx->flags |= AV_CODEC_FLAG_QSCALE;
        ctx->global_quality = c.qpP * FF_QP2LAMBDA;
        break;
    }
    if (avcodec_open2(ctx, codec, nullptr) < 0) {
        avcodec_free_context(&ctx);
        return -1;
    }
    h->ctx = ctx;
    return 0;
}

int venc_open(VIDENC1_Object *h)
{
    int rc = h->kind == CODEC_ALG_H264ENC ? venc_open_h264(h) : venc_open_mpeg4(h);
    if (rc < 0)
        return -1;
    h->frame = av_frame_alloc();
    h->pkt = av_packet_alloc();
    if (!h->frame || !h->pkt) {
        venc_close_codec(h);
        return -1;
    }
    h->frame->format = h->ctx->pix_fmt;
    h->frame->width = h->cfg.width;
    h->frame->height = h->cfg.height;
    if (h->kind == CODEC_ALG_MPEG4ENC && av_frame_get_buffer(h->frame, 32) < 0) {
        venc_close_codec(h);
        return -1;
    }
    h->pts = 0;
    h->headerDone = false;
    return 0;
}

bool valid_level(int level)
{
    static const int levels[] = {9, 10, 11, 12, 13, 20, 21, 22, 30, 31, 32, 40, 41, 42, 50, 51};
    for (int l : levels) {
        if (l == level)
            return true;
    }
    return false;
}

// Checks the dynamic parameters against the static ones and builds the encoder's set-up.
// Returns 0 or the codec's error code.
int venc_make_config(VIDENC1_Object *h, const VIDENC1_DynamicParams *d, VencConfig *c, int *forceFrame)
{
    bool h264 = h->kind == CODEC_ALG_H264ENC;
    const VIDENC1_Params &p = h->params;
    const IH264VENC_DynamicParams *hx = nullptr;
    const IMPEG4VENC_DynamicParams *mx = nullptr;
    if (h264 && d->size == (int)sizeof(IH264VENC_DynamicParams))
        hx = reinterpret_cast<const IH264VENC_DynamicParams *>(d);
    else if (!h264 && d->size == (int)sizeof(IMPEG4VENC_DynamicParams))
        mx = reinterpret_cast<const IMPEG4VENC_DynamicParams *>(d);
    else if (d->size != (int)sizeof(VIDENC1_DynamicParams))
        return h264 ? (int)IH264VENC_ERR_CODEC : (int)MPEG4VENC_ERR_CODEC;

    *c = {};
    c->width = d->inputWidth;
    c->height = d->inputHeight;
    c->pitch = d->captureWidth ? d->captureWidth : d->inputWidth;
    if (c->width < 16 || c->width > p.maxWidth || (c->width & 1))
        return h264 ? (int)IH264VENC_ERR_INPUTWIDTH : (int)MPEG4VENC_ERR_INPUTWIDTH;
    if (c->height < 16 || c->height > p.maxHeight || (c->height & 1))
        return h264 ? (int)IH264VENC_ERR_INPUTHEIGHT : (int)MPEG4VENC_ERR_INPUTHEIGHT;
    if (c->pitch < c->width)
        return h264 ? (int)IH264VENC_ERR_CAPTUREWIDTH : (int)MPEG4VENC_ERR_CAPTUREWIDTH;
    c->fps = d->targetFrameRate;
    if (c->fps < 1000 || c->fps > p.maxFrameRate)
        return h264 ? (int)IH264VENC_ERR_TARGETFRAMERATE : (int)MPEG4VENC_ERR_TARGETFRAMERATE;
    c->gop = d->intraFrameInterval;
    c->bitrate = d->targetBitRate;
    c->maxBitrate = p.maxBitRate;
    c->delayMs = 1000;
    c->sarW = c->sarH = 1;
    c->profile = 100;
    c->level = 40;
    c->entropy = 1;
    c->qpI = c->qpP = h264 ? 28 : 8;
    c->qMin = h264 ? 0 : 2;
    c->qMax = h264 ? 51 : 31;

    int preset = p.rateControlPreset;
    c->rc = preset == IVIDEO_NONE ? RC_FIXED_QP : preset == IVIDEO_STORAGE ? RC_VBR : RC_CBR;
    if (h264 && h->extended) {
        c->profile = h->h264.profileIdc;
        c->level = h->h264.levelIdc;
        c->entropy = h->h264.entropyMode;
        c->transform8x8 = h->h264.transform8x8FlagIntraFrame || h->h264.transform8x8FlagInterFrame;
        c->scaling = h->h264.seqScalingFlag;
    }
    if (hx) {
        if (hx->idrFrameInterval > 0)
            c->gop = hx->idrFrameInterval;
        c->qpI = hx->intraFrameQP;
        c->qpP = hx->interPFrameQP;
        c->qMin = std::min(hx->rcQMin, hx->rcQMinI);
        c->qMax = std::max(hx->rcQMax, hx->rcQMaxI);
        if (hx->maxDelay > 0)
            c->delayMs = hx->maxDelay;
        if (hx->aspectRatioX > 0 && hx->aspectRatioY > 0) {
            c->sarW = hx->aspectRatioX;
            c->sarH = hx->aspectRatioY;
        }
        const IH264VENC_VUIParams *vui = hx->VUI_Buffer;
        if (vui && vui->timingInfoPresentFlag && vui->numUnitsInTicks > 0 && vui->timeScale > 0) {
            c->vuiUnits = vui->numUnitsInTicks;
            c->vuiScale = vui->timeScale;
            c->vuiFixed = vui->fixedFrameRateFlag ? 1 : 0;
        }
        c->picTiming = hx->enablePicTimSEI ? 1 : 0;
        if (preset == IVIDEO_USER_DEFINED) {
            switch (hx->rcAlgo) {
            case IH264VENC_RC_CBR: case IH264VENC_RC_FIXED_RC: case IH264VENC_RC_CBR_LOW_DELAY:
            case IH264VENC_RC_CBR_STRICT:
                c->rc = RC_CBR;
                break;
            case IH264VENC_RC_VBR: case IH264VENC_RC_CVBR:
                c->rc = RC_VBR;
                c->maxBitrate = hx->maxBitrateCVBR;
                break;
            case IH264VENC_RC_FIXED_QP:
                c->rc = RC_FIXED_QP;
                break;
            default:
                return IH264VENC_ERR_RCALGO;
            }
        }
    }
    if (mx) {
        c->qpI = mx->intraFrameQP;
        c->qpP = mx->interPFrameQP;
        c->qMin = mx->rcQMin;
        c->qMax = mx->rcQMax;
        if (mx->maxDelay > 0)
            c->delayMs = mx->maxDelay;
        c->useVos = mx->useVos;
    } else if (!h264) {
        c->useVos = 1;
    }
    if (!h264 && h->extended) {
        // ISO 14496-2 pixel aspect ratio codes
        static const int par[6][2] = {{1, 1}, {1, 1}, {12, 11}, {10, 11}, {16, 11}, {40, 33}};
        int code = h->mpeg4.aspectRatioCode;
        if (code >= 1 && code <= 5) {
            c->sarW = par[code][0];
            c->sarH = par[code][1];
        }
    }

    if (h264) {
        if (c->profile != 66 && c->profile != 77 && c->profile != 100)
            return IH264VENC_ERR_PROFILEIDC;
        if (!valid_level(c->level))
            return IH264VENC_ERR_LEVELIDC;
        if (c->level == 9)
            c->level = 11;  // 1b: x264 signals it through level 11 with the constraint flag
    }
    int qLimit = h264 ? 51 : 31;
    int qFloor = h264 ? 0 : 1;
    if (c->qMin < qFloor || c->qMax > qLimit || c->qMin > c->qMax || c->qpP < qFloor || c->qpP > qLimit ||
        c->qpI < qFloor || c->qpI > qLimit)
        return h264 ? (int)IH264VENC_ERR_QPRANGE : (int)MPEG4VENC_ERR_QPRANGE;
    if (c->rc != RC_FIXED_QP && (c->bitrate <= 0 || (p.maxBitRate > 0 && c->bitrate > p.maxBitRate)))
        return h264 ? (int)IH264VENC_ERR_TARGETBITRATE : (int)MPEG4VENC_ERR_TARGETBITRATE;
    *forceFrame = d->forceFrame;
    return 0;
}

bool same_apart_from_rate(const VencConfig &a, const VencConfig &b)
{
    VencConfig x = a, y = b;
    x.bitrate = y.bitrate = 0;
    x.maxBitrate = y.maxBitrate = 0;
    return memcmp(&x, &y, sizeof x) == 0;
}

XDAS_Int32 venc_setparams(VIDENC1_Object *h, VIDENC1_DynamicParams *d, XDAS_Int32 *ext)
{
    VencConfig c;
    int force = -1;
    int err = venc_make_config(h, d, &c, &force);
    if (err)
        return fail(ext, 1 << XDM_UNSUPPORTEDPARAM, err);
    h->forceFrame = force;
    if (h->ctx && same_apart_from_rate(c, h->cfg)) {
        if (h->kind == CODEC_ALG_H264ENC) {
            // x264 takes new rates between pictures without a new IDR.
            h->cfg = c;
            if (c.rc != RC_FIXED_QP) {
                h->ctx->bit_rate = c.bitrate;
                if (h->ctx->rc_max_rate)
                    h->ctx->rc_max_rate = c.rc == RC_CBR ? c.bitrate : c.maxBitrate;
                if (c.rc == RC_CBR)
                    h->ctx->rc_buffer_size = (int)((int64_t)c.bitrate * c.delayMs / 1000);
            }
            h->configured = true;
            return XDM_EOK;
        }
        if (c.bitrate == h->cfg.bitrate && c.maxBitrate == h->cfg.maxBitrate) {
            h->configured = true;
            return XDM_EOK;
        }
    }
    venc_close_codec(h);
    h->cfg = c;
    if (venc_open(h) < 0) {
        h->configured = false;
        return fail(ext, 1 << XDM_FATALERROR,
                    h->kind == CODEC_ALG_H264ENC ? (int)IH264VENC_ERR_CODEC : (int)MPEG4VENC_ERR_CODEC);
    }
    h->configured = true;
    return XDM_EOK;
}

// Annex B with 4-byte start codes throughout, without the encoder's own banner (an SEI of
// unregistered user data), the SPS timing as the caller's VUI record has it.
size_t h264_shape(const VencConfig &c, const uint8_t *in, size_t n, uint8_t *out, size_t cap, bool *fits)
{
    std::vector<uint8_t> sps;
    size_t used = 0;
    *fits = true;
    size_t i = 0;
    auto next_start = [&](size_t from, size_t *scLen) -> size_t {
        size_t k = annexb_find_start_code(in, n, from);
        if (k >= n) {
            *scLen = 0;
            return n;
        }
        size_t begin = annexb_code_begin(in, from, k);
        *scLen = k + 3 - begin;
        return begin;
    };
    size_t sc;
    i = next_start(0, &sc);
    while (i < n) {
        size_t body = i + sc;
        size_t sc2;
        size_t end = next_start(body, &sc2);
        int type = body < n ? in[body] & 0x1f : 0;
        bool banner = type == 6 && body + 1 < n && in[body + 1] == 5;
        if (!banner && end > body) {
            size_t len = end - body;
            const uint8_t *unit = in + body;
            if (type == 7 && c.vuiUnits > 0 &&
                codec_sps_set_timing(unit, len, (uint32_t)c.vuiUnits, (uint32_t)c.vuiScale, c.vuiFixed, &sps)) {
                unit = sps.data();
                len = sps.size();
            }
            if (used + 4 + len <= cap) {
                static const uint8_t start[4] = {0, 0, 0, 1};
                memcpy(out + used, start, 4);
                memcpy(out + used + 4, unit, len);
            } else {
                *fits = false;
            }
            used += 4 + len;
        }
        i = end;
        sc = sc2;
    }
    return used;
}

// The board's MPEG-4 encoder sends VOS, VO and VOL once, in front of the first picture;
// libavcodec repeats them with a GOV before every I-VOP.
size_t mpeg4_shape(VIDENC1_Object *h, const uint8_t *in, size_t n, uint8_t *out, size_t cap, bool *fits)
{
    size_t vop = annexb_find_code(in, n, 0, 0xb6);
    size_t used = 0;
    *fits = true;
    auto emit = [&](const uint8_t *p, size_t len) {
        if (used + len <= cap)
            memcpy(out + used, p, len);
        else
            *fits = false;
        used += len;
    };
    if (!h->headerDone && h->cfg.useVos) {
        // keep VOS (B0), VO (B5), video object (00-1F) and VOL (20-2F); drop user data and GOV
        size_t k = 0;
        while (k + 4 <= vop) {
            size_t e = annexb_find_start_code(in, vop, k + 4);
            uint8_t code = in[k + 3];
            if (code == 0xb0 || code == 0xb5 || code <= 0x2f)
                emit(in + k, e - k);
            k = e;
        }
    }
    h->headerDone = true;
    emit(in + vop, n - vop);
    return used;
}

XDAS_Int32 venc_fill_frame(VIDENC1_Object *h, const IVIDEO1_BufDescIn *in)
{
    const VencConfig &c = h->cfg;
    size_t lumaSize = (size_t)c.pitch * c.height;
    if (!in || in->numBufs < 2 || !in->bufDesc[0].buf || !in->bufDesc[1].buf ||
        in->bufDesc[0].bufSize < (int64_t)lumaSize || in->bufDesc[1].bufSize < (int64_t)lumaSize / 2)
        return -1;
    AVFrame *f = h->frame;
    if (h->kind == CODEC_ALG_H264ENC) {
        // x264 copies the picture itself; point it at the caller's planes.
        f->data[0] = in->bufDesc[0].buf;
        f->data[1] = in->bufDesc[1].buf;
        f->linesize[0] = c.pitch;
        f->linesize[1] = c.pitch;
        return 0;
    }
    if (av_frame_make_writable(f) < 0)
        return -1;
    for (int y = 0; y < c.height; y++)
        memcpy(f->data[0] + (size_t)y * f->linesize[0], in->bufDesc[0].buf + (size_t)y * c.pitch, c.width);
    for (int y = 0; y < c.height / 2; y++) {
        const uint8_t *s = in->bufDesc[1].buf + (size_t)y * c.pitch;
        uint8_t *u = f->data[1] + (size_t)y * f->linesize[1];
        uint8_t *v = f->data[2] + (size_t)y * f->linesize[2];
        for (int x = 0; x < c.width / 2; x++) {
            u[x] = s[2 * x];
            v[x] = s[2 * x + 1];
        }
    }
    return 0;
}

} // namespace

VIDENC1_Handle VIDENC1_create(Engine_Handle e, const char *name, const VIDENC1_Params *params)
{
    CodecAlgKind kind = codec_engine_find(e, name);
    if (kind != CODEC_ALG_H264ENC && kind != CODEC_ALG_MPEG4ENC) {
        if (kind != CODEC_ALG_NONE)
            codec_engine_set_error(e, Engine_ENOTFOUND);
        return nullptr;
    }
    if (!params || (params->size != (int)sizeof(VIDENC1_Params) &&
                    params->size != (int)(kind == CODEC_ALG_H264ENC ? sizeof(IH264VENC_Params)
                                                                     : sizeof(IMPEG4VENC_Params))) ||
        params->maxWidth < 16 || params->maxHeight < 16 || params->maxWidth > 1920 || params->maxHeight > 1088 ||
        params->inputChromaFormat != XDM_YUV_420SP || params->maxInterFrameInterval > 1) {
        codec_engine_set_error(e, Engine_ECODECCREATE);
        return nullptr;
    }
    VIDENC1_Object *h = new (std::nothrow) VIDENC1_Object();
    if (!h) {
        codec_engine_set_error(e, Engine_ENOMEM);
        return nullptr;
    }
    h->engine = e;
    h->kind = kind;
    h->params = *params;
    h->extended = params->size != (int)sizeof(VIDENC1_Params);
    if (h->extended && kind == CODEC_ALG_H264ENC)
        h->h264 = *reinterpret_cast<const IH264VENC_Params *>(params);
    if (h->extended && kind == CODEC_ALG_MPEG4ENC)
        h->mpeg4 = *reinterpret_cast<const IMPEG4VENC_Params *>(params);
    h->forceFrame = -1;
    return h;
}

XDAS_Int32 VIDENC1_control(VIDENC1_Handle h, XDM_CmdId cmd, VIDENC1_DynamicParams *dyn, VIDENC1_Status *status)
{
    if (!h || !status)
        return XDM_EFAIL;
    status->extendedError = 0;
    switch (cmd) {
    case XDM_SETPARAMS:
        if (!dyn)
            return fail(&status->extendedError, 1 << XDM_UNSUPPORTEDPARAM, 0);
        return venc_setparams(h, dyn, &status->extendedError);
    case XDM_RESET:
        // back to the first picture: an IDR/I with its headers
        if (h->configured) {
            venc_close_codec(h);
            if (venc_open(h) < 0) {
                h->configured = false;
                return fail(&status->extendedError, 1 << XDM_FATALERROR,
                            h->kind == CODEC_ALG_H264ENC ? (int)IH264VENC_ERR_CODEC : (int)MPEG4VENC_ERR_CODEC);
            }
        }
        return XDM_EOK;
    case XDM_GETBUFINFO: {
        if (!h->configured)
            return fail(&status->extendedError, 1 << XDM_UNSUPPORTEDPARAM, 0);
        XDM_AlgBufInfo &b = status->bufInfo;
        b = {};
        b.minNumInBufs = 2;
        b.minNumOutBufs = 1;
        b.minInBufSize[0] = h->cfg.pitch * h->cfg.height;
        b.minInBufSize[1] = h->cfg.pitch * h->cfg.height / 2;
        b.minOutBufSize[0] = h->cfg.width * h->cfg.height * 3 / 2;
        return XDM_EOK;
    }
    case XDM_GETSTATUS: case XDM_SETDEFAULT: case XDM_FLUSH:
        return XDM_EOK;
    }
    return XDM_EUNSUPPORTED;
}

XDAS_Int32 VIDENC1_process(VIDENC1_Handle h, IVIDEO1_BufDescIn *inBufs, XDM_BufDesc *outBufs,
                           VIDENC1_InArgs *inArgs, VIDENC1_OutArgs *outArgs)
{
    if (!h || !outArgs)
        return XDM_EFAIL;
    bool h264 = h->kind == CODEC_ALG_H264ENC;
    outArgs->extendedError = 0;
    outArgs->bytesGenerated = 0;
    outArgs->encodedFrameType = IVIDEO_NA_FRAME;
    outArgs->inputFrameSkip = 0;
    outArgs->outputID = inArgs ? inArgs->inputID : 0;
    if (!h->configured || !h->ctx)
        return fail(&outArgs->extendedError, 1 << XDM_FATALERROR, h264 ? (int)IH264VENC_ERR_CODEC : (int)MPEG4VENC_ERR_CODEC);
    if (venc_fill_frame(h, inBufs) < 0)
        return fail(&outArgs->extendedError, 1 << XDM_UNSUPPORTEDINPUT,
                    h264 ? (int)IH264VENC_ERR_INPUTBUF : (int)MPEG4VENC_ERR_INPUTBUF);
    if (!outBufs || outBufs->numBufs < 1 || !outBufs->bufs || !outBufs->bufSizes || !outBufs->bufs[0] ||
        outBufs->bufSizes[0] <= 0)
        return fail(&outArgs->extendedError, 1 << XDM_UNSUPPORTEDINPUT,
                    h264 ? (int)IH264VENC_ERR_OUTPUTBUF : (int)MPEG4VENC_ERR_OUTPUTBUF);

    AVFrame *f = h->frame;
    f->pts = h->pts++;
    bool forceKey = h->forceFrame == IVIDEO_I_FRAME || h->forceFrame == IVIDEO_IDR_FRAME;
    f->pict_type = forceKey ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    if (h->cfg.rc == RC_FIXED_QP && !h264)
        f->quality = h->ctx->global_quality;
    int rc = avcodec_send_frame(h->ctx, f);
    if (h264) {
        f->data[0] = f->data[1] = nullptr;  // the caller's planes are not ours to keep
    }
    if (rc >= 0)
        rc = avcodec_receive_packet(h->ctx, h->pkt);
    if (rc < 0)     // EAGAIN included: a held-back picture would break one-in-one-out
        return fail(&outArgs->extendedError, 1 << XDM_FATALERROR, h264 ? (int)IH264VENC_ERR_CODEC : (int)MPEG4VENC_ERR_CODEC);

    bool key = h->pkt->flags & AV_PKT_FLAG_KEY;
    bool fits;
    size_t n = h264 ? h264_shape(h->cfg, h->pkt->data, h->pkt->size, outBufs->bufs[0], outBufs->bufSizes[0], &fits)
                    : mpeg4_shape(h, h->pkt->data, h->pkt->size, outBufs->bufs[0], outBufs->bufSizes[0], &fits);
    av_packet_unref(h->pkt);
    outArgs->bytesGenerated = (XDAS_Int32)n;
    outArgs->encodedFrameType = key ? (h264 ? IVIDEO_IDR_FRAME : IVIDEO_I_FRAME) : IVIDEO_P_FRAME;
    if (!fits) {
        // The picture is lost; the next one must not depend on it, so start over with a key.
        h->forceFrame = IVIDEO_IDR_FRAME;
        return fail(&outArgs->extendedError, 1 << XDM_INSUFFICIENTDATA,
                    h264 ? (int)IH264VENC_ERR_OUTPUTBUF : (int)MPEG4VENC_ERR_OUTPUTBUF);
    }
    if (forceKey)
        h->forceFrame = -1;     // a forced type applies to one picture

    return XDM_EOK;
}

void VIDENC1_delete(VIDENC1_Handle h)
{
    if (!h)
        return;
    venc_close_codec(h);
    delete h;
}
