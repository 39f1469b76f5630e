// "jpegenc" over libavcodec's baseline JPEG encoder. Takes NV12 or UYVY pictures with a line
// length of their own, can turn them by 90, 180 or 270 degrees, and sets the quantiser from a
// 1..100 quality as the usual JPEG quality scale does.
#include "platform/codec_internal.h"

#include <cstring>
#include <new>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

struct IMGENC1_Object {
    Engine_Handle engine;
    IMGENC1_Params params;
    bool configured;
    int chroma;         // input: XDM_YUV_420SP or XDM_YUV_422ILE
    int width, height;  // input size
    int pitch;          // input line length in bytes
    int rotation;
    int quality;
    bool out422;
    AVCodecContext *ctx;
    AVFrame *frame;
    AVPacket *pkt;
};

namespace {

XDAS_Int32 fail(XDAS_Int32 *ext, int bits, int code)
{
    if (ext)
        *ext = bits | code;
    return XDM_EFAIL;
}

void ienc_close_codec(IMGENC1_Object *h)
{
    avcodec_free_context(&h->ctx);
    av_frame_free(&h->frame);
    av_packet_free(&h->pkt);
}

int out_width(const IMGENC1_Object *h)
{
    return h->rotation == 90 || h->rotation == 270 ? h->height : h->width;
}

int out_height(const IMGENC1_Object *h)
{
    return h->rotation == 90 || h->rotation == 270 ? h->width : h->height;
}

int ienc_open(IMGENC1_Object *h)
{
    const AVCodec *codec = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
    if (!codec)
        return -1;
    AVCodecContext *ctx = avcodec_alloc_context3(codec);
    if (!ctx)
        return -1;
    ctx->width = out_width(h);
    ctx->height = out_height(h);
    ctx->pix_fmt = h->out422 ? AV_PIX_FMT_YUVJ422P : AV_PIX_FMT_YUVJ420P;
    ctx->time_base = AVRational{1, 30};
    ctx->flags |= AV_CODEC_FLAG_QSCALE;
    ctx->qmin = 1;
    ctx->qmax = 31;
    ctx->thread_count = 1;
    if (avcodec_open2(ctx, codec, nullptr) < 0) {
        avcodec_free_context(&ctx);
        return -1;
    }
    h->ctx = ctx;
    h->frame = av_frame_alloc();
    h->pkt = av_packet_alloc();
    if (!h->frame || !h->pkt) {
        ienc_close_codec(h);
        return -1;
    }
    h->frame->format = ctx->pix_fmt;
    h->frame->width = ctx->width;
    h->frame->height = ctx->height;
    if (av_frame_get_buffer(h->frame, 32) < 0) {
        ienc_close_codec(h);
        return -1;
    }
    return 0;
}

// Quality 50 is the standard tables; the encoder scales them by qscale / 8.
int quality_to_lambda(int q)
{
    int scale = q < 50 ? 5000 / q : 200 - 2 * q;   // percent of the standard tables
    int lambda = scale * 8 * FF_QP2LAMBDA / 100;
    if (lambda < FF_QP2LAMBDA)
        lambda = FF_QP2LAMBDA;
    if (lambda > 31 * FF_QP2LAMBDA)
        lambda = 31 * FF_QP2LAMBDA;
    return lambda;
}

XDAS_Int32 ienc_setparams(IMGENC1_Object *h, IMGENC1_DynamicParams *d, XDAS_Int32 *ext)
{
    int rotation = 0;
    if (d->size == (int)sizeof(IJPEGENC_DynamicParams))
        rotation = reinterpret_cast<IJPEGENC_DynamicParams *>(d)->rotation;
    else if (d->size != (int)sizeof(IMGENC1_DynamicParams))
        return fail(ext, 1 << XDM_UNSUPPORTEDPARAM, 0);
    const int bad = 1 << XDM_UNSUPPORTEDPARAM;
    if (d->inputChromaFormat != XDM_YUV_420SP && d->inputChromaFormat != XDM_YUV_422ILE)
        return fail(ext, bad, JPEGENC_ERR_INPUTCHROMAFORMAT);
    if (d->inputWidth < 16 || d->inputWidth > h->params.maxWidth || (d->inputWidth & 1))
        return fail(ext, bad, JPEGENC_ERR_INPUTWIDTH);
    if (d->inputHeight < 16 || d->inputHeight > h->params.maxHeight || (d->inputHeight & 1))
        return fail(ext, bad, JPEGENC_ERR_INPUTHEIGHT);
    if (d->captureWidth != 0 && d->captureWidth < d->inputWidth)
        return fail(ext, bad, JPEGENC_ERR_CAPTUREWIDTH);
    if (d->qValue < 1 || d->qValue > 100)
        return fail(ext, bad, JPEGENC_ERR_QVALUE);
    if (rotation != 0 && rotation != 90 && rotation != 180 && rotation != 270)
        return fail(ext, bad, JPEGENC_ERR_ROTATION);

    int force = h->params.forceChromaFormat;
    bool out422 = force == XDM_YUV_422P || (force != XDM_YUV_420P && force != XDM_YUV_420SP &&
                                            d->inputChromaFormat == XDM_YUV_422ILE);
    int bpp = d->inputChromaFormat == XDM_YUV_422ILE ? 2 : 1;
    int pitch = (d->captureWidth ? d->captureWidth : d->inputWidth) * bpp;
    bool reopen = !h->ctx || h->width != d->inputWidth || h->height != d->inputHeight ||
                  h->rotation != rotation || h->out422 != out422;
    h->chroma = d->inputChromaFormat;
    h->width = d->inputWidth;
    h->height = d->inputHeight;
    h->pitch = pitch;
    h->rotation = rotation;
    h->out422 = out422;
    h->quality = d->qValue;
    if (reopen) {
        ienc_close_codec(h);
        if (ienc_open(h) < 0) {
            h->configured = false;
            return fail(ext, 1 << XDM_FATALERROR, 0);
        }
    }
    h->configured = true;
    return XDM_EOK;
}

// Copies the picture into the encoder's planes, turning it on the way. Chroma is taken from
// the nearest input sample, which is exact whenever no turn mixes the sub-sampled axes.
void ienc_fill(IMGENC1_Object *h, const uint8_t *luma, const uint8_t *chroma)
{
    AVFrame *f = h->frame;
    int W = h->width, H = h->height, ow = out_width(h), oh = out_height(h);
    bool uyvy = h->chroma == XDM_YUV_422ILE;
    auto src = [&](int ox, int oy, int *sx, int *sy) {
        switch (h->rotation) {
        case 90: *sx = oy; *sy = H - 1 - ox; break;
        case 180: *sx = W - 1 - ox; *sy = H - 1 - oy; break;
        case 270: *sx = W - 1 - oy; *sy = ox; break;
        default: *sx = ox; *sy = oy; break;
        }
    };
    for (int oy = 0; oy < oh; oy++) {
        uint8_t *d = f->data[0] + (size_t)oy * f->linesize[0];
        if (h->rotation == 0) {
            const uint8_t *s = luma + (size_t)oy * h->pitch;
            if (!uyvy) {
                memcpy(d, s, ow);
            } else {
                for (int x = 0; x < ow; x++)
                    d[x] = s[2 * x + 1];
            }
            continue;
        }
        for (int ox = 0; ox < ow; ox++) {
            int sx, sy;
            src(ox, oy, &sx, &sy);
            d[ox] = uyvy ? luma[(size_t)sy * h->pitch + 2 * sx + 1] : luma[(size_t)sy * h->pitch + sx];
        }
    }
    int ch = h->out422 ? oh : oh / 2;
    int cw = ow / 2;
    for (int cy = 0; cy < ch; cy++) {
        uint8_t *u = f->data[1] + (size_t)cy * f->linesize[1];
        uint8_t *v = f->data[2] + (size_t)cy * f->linesize[2];
        int oy = h->out422 ? cy : 2 * cy;
        for (int cx = 0; cx < cw; cx++) {
            int sx, sy;
            src(2 * cx, oy, &sx, &sy);
            if (uyvy) {
                const uint8_t *p = luma + (size_t)sy * h->pitch + (sx & ~1) * 2;
                u[cx] = p[0];
                v[cx] = p[2];
            } else {
                const uint8_t *p = chroma + (size_t)(sy / 2) * h->pitch + (sx & ~1);
                u[cx] = p[0];
                v[cx] = p[1];
            }
        }
    }
}

} // namespace

IMGENC1_Handle IMGENC1_create(Engine_Handle e, const char *name, const IMGENC1_Params *params)
{
    CodecAlgKind kind = codec_engine_find(e, name);
    if (kind != CODEC_ALG_JPEGENC) {
        if (kind != CODEC_ALG_NONE)
            codec_engine_set_error(e, Engine_ENOTFOUND);
        return nullptr;
    }
    if (!params || params->size != (int)sizeof(IMGENC1_Params) || params->maxWidth < 16 ||
        params->maxHeight < 16 || params->maxWidth > 4096 || params->maxHeight > 4096 || params->maxScans < 0 ||
        params->dataEndianness != XDM_BYTE) {
        codec_engine_set_error(e, Engine_ECODECCREATE);
        return nullptr;
    }
    IMGENC1_Object *h = new (std::nothrow) IMGENC1_Object();
    if (!h) {
        codec_engine_set_error(e, Engine_ENOMEM);
        return nullptr;
    }
    h->engine = e;
    h->params = *params;
    return h;
}

XDAS_Int32 IMGENC1_control(IMGENC1_Handle h, XDM_CmdId cmd, IMGENC1_DynamicParams *dyn, IMGENC1_Status *status)
{
    if (!h || !status)
        return XDM_EFAIL;
    status->extendedError = 0;
    switch (cmd) {
    case XDM_SETPARAMS:
        if (!dyn)
            return fail(&status->extendedError, 1 << XDM_UNSUPPORTEDPARAM, 0);
        return ienc_setparams(h, dyn, &status->extendedError);
    case XDM_GETBUFINFO: {
        if (!h->configured)
            return fail(&status->extendedError, 1 << XDM_UNSUPPORTEDPARAM, 0);
        XDM_AlgBufInfo &b = status->bufInfo;
        b = {};
        bool uyvy = h->chroma == XDM_YUV_422ILE;
        b.minNumInBufs = uyvy ? 1 : 2;
        b.minNumOutBufs = 1;
        b.minInBufSize[0] = h->pitch * h->height;
        b.minInBufSize[1] = uyvy ? 0 : h->pitch * h->height / 2;
        b.minOutBufSize[0] = h->width * h->height * 2;
        return XDM_EOK;
    }
    case XDM_RESET: case XDM_GETSTATUS: case XDM_SETDEFAULT: case XDM_FLUSH:
        return XDM_EOK;
    }
    return XDM_EUNSUPPORTED;
}

XDAS_Int32 IMGENC1_process(IMGENC1_Handle h, XDM1_BufDesc *inBufs, XDM1_BufDesc *outBufs, IMGENC1_InArgs *inArgs,
                           IMGENC1_OutArgs *outArgs)
{
    if (!h || !outArgs)
        return XDM_EFAIL;
    outArgs->extendedError = 0;
    outArgs->bytesGenerated = 0;
    outArgs->currentAU = 0;
    if (!h->configured || !h->ctx)
        return fail(&outArgs->extendedError, 1 << XDM_FATALERROR, 0);
    bool uyvy = h->chroma == XDM_YUV_422ILE;
    int64_t planeSize = (int64_t)h->pitch * h->height;
    if (!inBufs || inBufs->numBufs < (uyvy ? 1 : 2) || !inBufs->descs[0].buf || inBufs->descs[0].bufSize < planeSize ||
        (!uyvy && (!inBufs->descs[1].buf || inBufs->descs[1].bufSize < planeSize / 2)))
        return fail(&outArgs->extendedError, 1 << XDM_UNSUPPORTEDINPUT, 0);
    if (!outBufs || outBufs->numBufs < 1 || !outBufs->descs[0].buf || outBufs->descs[0].bufSize <= 0)
        return fail(&outArgs->extendedError, 1 << XDM_UNSUPPORTEDINPUT, 0);

    if (av_frame_make_writable(h->frame) < 0)
        return fail(&outArgs->extendedError, 1 << XDM_FATALERROR, 0);
    ienc_fill(h, inBufs->descs[0].buf, uyvy ? nullptr : inBufs->descs[1].buf);
    h->frame->quality = quality_to_lambda(h->quality);
    h->frame->pts++;
    int rc = avcodec_send_frame(h->ctx, h->frame);
    if (rc >= 0)
        rc = avcodec_receive_packet(h->ctx, h->pkt);
    if (rc < 0)
        return fail(&outArgs->extendedError, 1 << XDM_FATALERROR, 0);
    int n = h->pkt->size;
    outArgs->bytesGenerated = n;
    if (n > outBufs->descs[0].bufSize) {
        av_packet_unref(h->pkt);
        return fail(&outArgs->extendedError, 1 << XDM_INSUFFICIENTDATA, 0);
    }
    memcpy(outBufs->descs[0].buf, h->pkt->data, n);
    av_packet_unref(h->pkt);
    outArgs->currentAU = 1;
    return XDM_EOK;
}

void IMGENC1_delete(IMGENC1_Handle h)
{
    if (!h)
        return;
    ienc_close_codec(h);
    delete h;
}
