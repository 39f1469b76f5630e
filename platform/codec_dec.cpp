// "h264dec", "mpeg4dec" and "jpegdec" over libavcodec. A parser in front cuts one unit from the
// caller's input, so a call consumes what the hardware decoder would and says how much; the
// picture is converted into the caller's buffer (NV12 for video, UYVY or NV12 for images).
#include "platform/codec_dec.h"
#include "platform/codec_internal.h"
#include "streams/annexb.h"

#include <cstring>
#include <new>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

const VIDDEC2_Params Vdec2_Params_DEFAULT = {sizeof(VIDDEC2_Params), 576, 720, 30000, 0xa00000, XDM_BYTE,
                                             XDM_YUV_420SP};
const VIDDEC2_DynamicParams Vdec2_DynamicParams_DEFAULT = {sizeof(VIDDEC2_DynamicParams), 0, 0, 0, 0, 0, 0, {0, 0}, 1,
                                                           {0, 0, 0}};
const IMGDEC1_Params Idec1_Params_DEFAULT = {sizeof(IMGDEC1_Params), 576, 720, 1, XDM_BYTE, XDM_YUV_422ILE};
const IMGDEC1_DynamicParams Idec1_DynamicParams_DEFAULT = {sizeof(IMGDEC1_DynamicParams), 0, 0, 0};

namespace {

// Pictures in flight between the decoder, the caller and the display.
constexpr int VDEC_MIN_OUT_BUFS = 4;

struct Picture {                // one libav* decoder with its packet and frame
    AVCodecContext *ctx = nullptr;
    AVPacket *pkt = nullptr;
    AVFrame *frame = nullptr;
    SwsContext *sws = nullptr;
    std::vector<uint8_t> unit;  // the unit with the padding libavcodec reads past its end
    int maxWidth = 0, maxHeight = 0;
    bool tooBig = false;        // a picture beyond the maximum was refused its memory
};

void picture_close(Picture *p)
{
    avcodec_free_context(&p->ctx);
    av_packet_free(&p->pkt);
    av_frame_free(&p->frame);
    sws_freeContext(p->sws);
    p->sws = nullptr;
}

// A stream's headers can name any size: a picture beyond the maximum gets no memory, as the
// hardware would refuse it, so a hostile stream cannot make us allocate and clear huge frames.
int picture_get_buffer(AVCodecContext *ctx, AVFrame *f, int flags)
{
    Picture *p = static_cast<Picture *>(ctx->opaque);
    if (ctx->width > p->maxWidth || ctx->height > p->maxHeight) {
        p->tooBig = true;
        return AVERROR(EINVAL);
    }
    return avcodec_default_get_buffer2(ctx, f, flags);
}

int picture_open(Picture *p, AVCodecID id, int maxWidth, int maxHeight)
{
    const AVCodec *codec = avcodec_find_decoder(id);
    if (!codec)
        return -1;
    p->ctx = avcodec_alloc_context3(codec);
    p->pkt = av_packet_alloc();
    p->frame = av_frame_alloc();
    if (!p->ctx || !p->pkt || !p->frame)
        return -1;
    // One thread: frame threads would hold pictures back by a frame each.
    p->ctx->thread_count = 1;
    p->maxWidth = maxWidth;
    p->maxHeight = maxHeight;
    p->ctx->opaque = p;
    p->ctx->get_buffer2 = picture_get_buffer;
    // Far beyond the maximum libavcodec refuses the headers themselves, which also bounds the
    // tables it keeps per macroblock before any picture gets memory.
    p->ctx->max_pixels = 16 * (int64_t)maxWidth * maxHeight;
    return avcodec_open2(p->ctx, codec, nullptr) < 0 ? -1 : 0;
}

// Sends one unit; false when the decoder refused it as damaged.
bool picture_send(Picture *p, const uint8_t *data, size_t n)
{
    p->unit.assign(data, data + n);
    p->unit.resize(n + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    av_packet_unref(p->pkt);
    p->pkt->data = p->unit.data();
    p->pkt->size = (int)n;
    return avcodec_send_packet(p->ctx, p->pkt) == 0;
}

// Writes the decoded frame into dst as NV12 or UYVY: 0, or -1 when it does not fit.
int picture_store(Picture *p, const AVFrame *f, Buffer_Handle dst, ColorSpace_Type cs, int maxW, int maxH)
{
    int w = f->width, h = f->height;
    if (w <= 0 || h <= 0 || w > maxW || h > maxH)
        return -1;
    int32_t line = BufferGfx_calcLineLength(w, cs);
    size_t need = cs == ColorSpace_UYVY ? (size_t)line * h : (size_t)line * h + (size_t)line * ((h + 1) / 2);
    if (line <= 0 || need > Buffer_getSize(dst))
        return -1;
    uint8_t *out = Buffer_getUserPtr(dst);
    AVPixelFormat fmt = (AVPixelFormat)f->format;
    if (cs == ColorSpace_YUV420PSEMI && (fmt == AV_PIX_FMT_YUV420P || fmt == AV_PIX_FMT_YUVJ420P)) {
        for (int y = 0; y < h; y++)
            memcpy(out + (size_t)y * line, f->data[0] + (size_t)y * f->linesize[0], (size_t)w);
        uint8_t *uv = out + (size_t)line * h;
        for (int y = 0; y < (h + 1) / 2; y++) {
            const uint8_t *u = f->data[1] + (size_t)y * f->linesize[1];
            const uint8_t *v = f->data[2] + (size_t)y * f->linesize[2];
            uint8_t *d = uv + (size_t)y * line;
            for (int x = 0; x < (w + 1) / 2 && 2 * x + 1 < line; x++) {
                d[2 * x] = u[x];
                d[2 * x + 1] = v[x];
            }
        }
    } else {
        AVPixelFormat want = cs == ColorSpace_UYVY ? AV_PIX_FMT_UYVY422 : AV_PIX_FMT_NV12;
        p->sws = sws_getCachedContext(p->sws, w, h, fmt, w, h, want, SWS_BILINEAR, nullptr, nullptr, nullptr);
        if (!p->sws)
            return -1;
        uint8_t *planes[4] = {out, cs == ColorSpace_UYVY ? nullptr : out + (size_t)line * h, nullptr, nullptr};
        int strides[4] = {line, cs == ColorSpace_UYVY ? 0 : line, 0, 0};
        if (sws_scale(p->sws, f->data, f->linesize, 0, h, planes, strides) != h)
            return -1;
    }
    BufferGfx_Dimensions dim = {0, 0, w, h, line};
    BufferGfx_setDimensions(dst, &dim);
    BufferGfx_setColorSpace(dst, cs);
    Buffer_setNumBytesUsed(dst, need);
    return 0;
}

// The length of the first H.264 access unit in data: it ends where, after a slice, an access
// unit delimiter, SEI, SPS, PPS or a slice with first_mb_in_slice 0 begins. Our own cut, as
// libavcodec's parser complains about every slice whose parameter sets it has not seen.
size_t h264_first_unit(const uint8_t *d, size_t n)
{
    bool slice = false;
    size_t sc = annexb_find_start_code(d, n, 0);
    while (sc < n) {
        size_t nal = sc + 3;
        if (nal >= n)
            break;
        int type = d[nal] & 0x1f;
        bool vcl = type >= 1 && type <= 5;
        bool starts = type == 6 || type == 7 || type == 8 || type == 9 || (type >= 14 && type <= 18);
        if (vcl && nal + 1 < n && (d[nal + 1] & 0x80))
            starts = true;      // first_mb_in_slice = 0: a new picture
        if (slice && starts) {
            size_t end = sc;
            while (end > 0 && d[end - 1] == 0)
                end--;          // the zero byte of a 4-byte start code belongs to the next unit
            return end;
        }
        slice = slice || vcl;
        sc = annexb_find_start_code(d, n, nal);
    }
    return n;
}

// The length of the first unit in data: what the codec's parser cuts as one packet, or all of
// it when no second unit begins inside.
size_t first_unit(AVCodecContext *ctx, AVCodecID id, const uint8_t *data, size_t n)
{
    if (id == AV_CODEC_ID_H264)
        return h264_first_unit(data, n);
    AVCodecParserContext *parser = av_parser_init(id);
    if (!parser)
        return n;
    size_t pos = 0, unit = n;
    while (pos < n) {
        uint8_t *out = nullptr;
        int outSize = 0;
        int c = av_parser_parse2(parser, ctx, &out, &outSize, data + pos, (int)(n - pos), AV_NOPTS_VALUE,
                                 AV_NOPTS_VALUE, 0);
        if (c < 0)
            break;
        pos += (size_t)c;
        if (outSize > 0) {
            unit = pos;
            break;
        }
        if (c == 0)
            break;
    }
    av_parser_close(parser);
    return unit == 0 ? n : unit;
}

// Length of the JPEG image at the start of d, up to and with its EOI, found by walking the
// marker segments (an EXIF thumbnail carries an EOI of its own); n when the walk runs out.
size_t jpeg_image_length(const uint8_t *d, size_t n)
{
    size_t pos = 2;
    while (pos + 1 < n) {
        if (d[pos] != 0xFF)
            return n;
        uint8_t m = d[pos + 1];
        if (m == 0xFF) {        // fill byte
            pos++;
            continue;
        }
        if (m == 0xD9)
            return pos + 2;
        if (m == 0x01 || (m >= 0xD0 && m <= 0xD7)) {
            pos += 2;
            continue;
        }
        if (pos + 3 >= n)
            return n;
        pos += 2 + ((size_t)d[pos + 2] << 8 | d[pos + 3]);
        if (m != 0xDA)
            continue;
        // Entropy-coded data runs to the first marker that is neither a stuffed zero nor a restart.
        while (pos + 1 < n && !(d[pos] == 0xFF && d[pos + 1] != 0 && (d[pos + 1] < 0xD0 || d[pos + 1] > 0xD7)))
            pos++;
    }
    return n;
}

} // namespace

// --- video ---

struct Vdec2_Object {
    Engine_Handle engine;
    AVCodecID id;
    int maxWidth, maxHeight;
    Picture pic;
    BufTab_Handle tab;
    int width, height;          // of the last picture, 0 before the first
    bool flushing;
    bool flushSent;
    Buffer_Handle display, freed;
};

Vdec2_Handle Vdec2_create(Engine_Handle e, const char *name, const VIDDEC2_Params *params,
                          const VIDDEC2_DynamicParams *dynParams)
{
    CodecAlgKind kind = codec_engine_find(e, name);
    if (kind != CODEC_ALG_H264DEC && kind != CODEC_ALG_MPEG4DEC) {
        if (kind != CODEC_ALG_NONE)
            codec_engine_set_error(e, Engine_ECODECCREATE);
        return nullptr;
    }
    const VIDDEC2_Params *p = params ? params : &Vdec2_Params_DEFAULT;
    if (p->size < (XDAS_Int32)sizeof(VIDDEC2_Params) || p->maxWidth <= 0 || p->maxHeight <= 0 ||
        (p->forceChromaFormat != XDM_YUV_420SP && p->forceChromaFormat != 0)) {
        codec_engine_set_error(e, Engine_ECODECCREATE);
        return nullptr;
    }
    Vdec2_Object *h = new (std::nothrow) Vdec2_Object();
    if (!h) {
        codec_engine_set_error(e, Engine_ENOMEM);
        return nullptr;
    }
    h->engine = e;
    h->id = kind == CODEC_ALG_H264DEC ? AV_CODEC_ID_H264 : AV_CODEC_ID_MPEG4;
    h->maxWidth = p->maxWidth;
    h->maxHeight = p->maxHeight;
    codec_av_init();
    if (picture_open(&h->pic, h->id, h->maxWidth, h->maxHeight) < 0) {
        picture_close(&h->pic);
        delete h;
        codec_engine_set_error(e, Engine_ECODECCREATE);
        return nullptr;
    }
    return h;
}

int Vdec2_process(Vdec2_Handle h, Buffer_Handle hInBuf, Buffer_Handle hDstBuf)
{
    if (!h || !hInBuf || !hDstBuf)
        return Dmai_EFAIL;
    h->display = nullptr;
    h->freed = hDstBuf;
    const uint8_t *in = Buffer_getUserPtr(hInBuf);
    size_t n = Buffer_getNumBytesUsed(hInBuf);
    if (!in && n)
        return Dmai_EFAIL;
    AVCodecContext *ctx = h->pic.ctx;
    bool damaged = false;
    size_t consumed = n;
    h->pic.tooBig = false;
    if (h->flushing) {
        if (!h->flushSent)
            avcodec_send_packet(ctx, nullptr);
        h->flushSent = true;
    } else if (n > 0) {
        consumed = first_unit(ctx, h->id, in, n);
        damaged = !picture_send(&h->pic, in, consumed);
    }
    bool stored = false;
    for (;;) {
        int r = avcodec_receive_frame(ctx, h->pic.frame);
        if (r == AVERROR(EAGAIN))
            break;
        if (r == AVERROR_EOF) {
            // Drained: ready for a new stream.
            avcodec_flush_buffers(ctx);
            h->flushing = h->flushSent = false;
            break;
        }
        if (r < 0) {
            damaged = true;
            break;
        }
        // Pictures that would not fit are what the hardware refuses at its limits.
        if (!stored) {
            if (picture_store(&h->pic, h->pic.frame, hDstBuf, ColorSpace_YUV420PSEMI, h->maxWidth, h->maxHeight) < 0) {
                av_frame_unref(h->pic.frame);
                Buffer_setNumBytesUsed(hInBuf, 0);
                return Dmai_EFAIL;
            }
            stored = true;
            h->width = h->pic.frame->width;
            h->height = h->pic.frame->height;
            h->display = hDstBuf;
        }
        av_frame_unref(h->pic.frame);
        if (h->flushing)
            break;      // one picture per call while draining
    }
    if (h->pic.tooBig && !stored) {
        Buffer_setNumBytesUsed(hInBuf, 0);
        return Dmai_EFAIL;
    }
    Buffer_setNumBytesUsed(hInBuf, consumed);
    return damaged ? (int)Dmai_EBITERROR : (int)Dmai_EOK;
}

int Vdec2_flush(Vdec2_Handle h)
{
    if (!h)
        return Dmai_EFAIL;
    h->flushing = true;
    h->flushSent = false;
    return Dmai_EOK;
}

Buffer_Handle Vdec2_getDisplayBuf(Vdec2_Handle h)
{
    if (!h)
        return nullptr;
    Buffer_Handle b = h->display;
    h->display = nullptr;
    return b;
}

Buffer_Handle Vdec2_getFreeBuf(Vdec2_Handle h)
{
    if (!h)
        return nullptr;
    Buffer_Handle b = h->freed;
    h->freed = nullptr;
    return b;
}

int Vdec2_getMinOutBufs(Vdec2_Handle h)
{
    return h ? VDEC_MIN_OUT_BUFS : -1;
}

int32_t Vdec2_getOutBufSize(Vdec2_Handle h)
{
    if (!h)
        return -1;
    int w = h->width ? h->width : h->maxWidth, ht = h->height ? h->height : h->maxHeight;
    return w * ht + w * ((ht + 1) / 2);
}

void Vdec2_setBufTab(Vdec2_Handle h, BufTab_Handle t)
{
    if (h)
        h->tab = t;
}

BufTab_Handle Vdec2_getBufTab(Vdec2_Handle h)
{
    return h ? h->tab : nullptr;
}

int Vdec2_delete(Vdec2_Handle h)
{
    if (!h)
        return Dmai_EOK;
    picture_close(&h->pic);
    delete h;
    return Dmai_EOK;
}

// --- images ---

struct Idec1_Object {
    Engine_Handle engine;
    int maxWidth, maxHeight;
    ColorSpace_Type cs;
    Picture pic;
};

Idec1_Handle Idec1_create(Engine_Handle e, const char *name, const IMGDEC1_Params *params,
                          const IMGDEC1_DynamicParams *dynParams)
{
    CodecAlgKind kind = codec_engine_find(e, name);
    if (kind != CODEC_ALG_JPEGDEC) {
        if (kind != CODEC_ALG_NONE)
            codec_engine_set_error(e, Engine_ECODECCREATE);
        return nullptr;
    }
    const IMGDEC1_Params *p = params ? params : &Idec1_Params_DEFAULT;
    if (p->size < (XDAS_Int32)sizeof(IMGDEC1_Params) || p->maxWidth <= 0 || p->maxHeight <= 0 ||
        (p->forceChromaFormat != XDM_YUV_422ILE && p->forceChromaFormat != XDM_YUV_420SP)) {
        codec_engine_set_error(e, Engine_ECODECCREATE);
        return nullptr;
    }
    Idec1_Object *h = new (std::nothrow) Idec1_Object();
    if (!h) {
        codec_engine_set_error(e, Engine_ENOMEM);
        return nullptr;
    }
    h->engine = e;
    h->maxWidth = p->maxWidth;
    h->maxHeight = p->maxHeight;
    h->cs = p->forceChromaFormat == XDM_YUV_422ILE ? ColorSpace_UYVY : ColorSpace_YUV420PSEMI;
    codec_av_init();
    if (picture_open(&h->pic, AV_CODEC_ID_MJPEG, h->maxWidth, h->maxHeight) < 0) {
        picture_close(&h->pic);
        delete h;
        codec_engine_set_error(e, Engine_ECODECCREATE);
        return nullptr;
    }
    return h;
}

int Idec1_process(Idec1_Handle h, Buffer_Handle hInBuf, Buffer_Handle hDstBuf)
{
    if (!h || !hInBuf || !hDstBuf)
        return Dmai_EFAIL;
    const uint8_t *in = Buffer_getUserPtr(hInBuf);
    size_t n = Buffer_getNumBytesUsed(hInBuf);
    size_t len = in ? jpeg_image_length(in, n) : n;
    if (!in || len < 4 || in[0] != 0xFF || in[1] != 0xD8) {
        Buffer_setNumBytesUsed(hInBuf, 0);
        return Dmai_EFAIL;
    }
    int rc = Dmai_EFAIL;
    if (picture_send(&h->pic, in, len) && avcodec_receive_frame(h->pic.ctx, h->pic.frame) == 0) {
        if (picture_store(&h->pic, h->pic.frame, hDstBuf, h->cs, h->maxWidth, h->maxHeight) == 0)
            rc = Dmai_EOK;
        av_frame_unref(h->pic.frame);
    }
    // A damaged image leaves nothing behind for the next one.
    if (rc != Dmai_EOK)
        avcodec_flush_buffers(h->pic.ctx);
    Buffer_setNumBytesUsed(hInBuf, rc == Dmai_EOK ? len : 0);
    return rc;
}

int32_t Idec1_getOutBufSize(Idec1_Handle h)
{
    if (!h)
        return -1;
    return h->cs == ColorSpace_UYVY ? h->maxWidth * 2 * h->maxHeight
                                    : h->maxWidth * h->maxHeight + h->maxWidth * ((h->maxHeight + 1) / 2);
}

int Idec1_delete(Idec1_Handle h)
{
    if (!h)
        return Dmai_EOK;
    picture_close(&h->pic);
    delete h;
    return Dmai_EOK;
}
