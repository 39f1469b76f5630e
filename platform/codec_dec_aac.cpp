// "aacdec" over libavcodec's AAC decoder: one frame per call, ADTS (header checked against what
// the caller holds, so a lying length consumes nothing) or raw frames with a configuration
// built from AAC LC, the given rate and two channels; 16-bit interleaved stereo out.
#include "platform/codec_dec.h"
#include "platform/codec_audio.h"
#include "platform/codec_internal.h"

#include <cmath>
#include <cstring>
#include <new>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/mem.h>
}

const IAACDEC_Params Adec1_Params_DEFAULT = {{sizeof(IAACDEC_Params), 16, IAUDIO_INTERLEAVED, XDM_BYTE}, 0, 0, 48000,
                                             {0, 0, 0, 0, 0, 0}};
const AUDDEC1_DynamicParams Adec1_DynamicParams_DEFAULT = {sizeof(AUDDEC1_DynamicParams), 0};

namespace {

constexpr int ADEC_IN_BUF = 4096;        // an ADTS frame is at most 8191 bytes; ours far less
constexpr int ADEC_OUT_BUF = AAC_FRAME_SAMPLES * 2 * 2;
constexpr int RATES[16] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050,
                           16000, 12000, 11025, 8000, 7350, 0, 0, 0};

int nearest_rate_index(int rate)
{
    int best = 3;
    for (int i = 0; RATES[i]; i++)
        if (std::abs(RATES[i] - rate) < std::abs(RATES[best] - rate))
            best = i;
    return best;
}

int16_t to_s16(float v)
{
    float s = v * 32768.0f;
    if (s >= 32767.0f)
        return 32767;
    if (s <= -32768.0f)
        return -32768;
    return (int16_t)lrintf(s);
}

// Sample i of channel c of a decoded frame, as float.
float sample_at(const AVFrame *f, int c, int i)
{
    switch (f->format) {
    case AV_SAMPLE_FMT_FLTP: return reinterpret_cast<const float *>(f->extended_data[c])[i];
    case AV_SAMPLE_FMT_FLT: return reinterpret_cast<const float *>(f->extended_data[0])[i * f->ch_layout.nb_channels + c];
    case AV_SAMPLE_FMT_S16P: return reinterpret_cast<const int16_t *>(f->extended_data[c])[i] / 32768.0f;
    case AV_SAMPLE_FMT_S16:
        return reinterpret_cast<const int16_t *>(f->extended_data[0])[i * f->ch_layout.nb_channels + c] / 32768.0f;
    default: return 0.0f;
    }
}

} // namespace

struct Adec1_Object {
    Engine_Handle engine;
    bool raw;
    int rate;                   // of the last frame, the configured one before
    AVCodecContext *ctx;
    AVPacket *pkt;
    AVFrame *frame;
    std::vector<uint8_t> unit;
};

namespace {

void adec_close(Adec1_Object *h)
{
    avcodec_free_context(&h->ctx);
    av_packet_free(&h->pkt);
    av_frame_free(&h->frame);
}

int adec_open(Adec1_Object *h, int rawRate)
{
    const AVCodec *codec = avcodec_find_decoder(AV_CODEC_ID_AAC);
    if (!codec)
        return -1;
    h->ctx = avcodec_alloc_context3(codec);
    h->pkt = av_packet_alloc();
    h->frame = av_frame_alloc();
    if (!h->ctx || !h->pkt || !h->frame)
        return -1;
    if (h->raw) {
        // AudioSpecificConfig: object type 2 (LC), the rate's index, channel configuration 2.
        int idx = nearest_rate_index(rawRate);
        h->ctx->extradata = static_cast<uint8_t *>(av_mallocz(2 + AV_INPUT_BUFFER_PADDING_SIZE));
        if (!h->ctx->extradata)
            return -1;
        h->ctx->extradata[0] = (uint8_t)((2 << 3) | (idx >> 1));
        h->ctx->extradata[1] = (uint8_t)(((idx & 1) << 7) | (2 << 3));
        h->ctx->extradata_size = 2;
        h->rate = RATES[idx];
    }
    return avcodec_open2(h->ctx, codec, nullptr) < 0 ? -1 : 0;
}

// Length of the ADTS frame at the start of p when all of it is there, else 0.
size_t adts_frame(const uint8_t *p, size_t n)
{
    if (n < 7 || p[0] != 0xFF || (p[1] & 0xF6) != 0xF0)
        return 0;
    size_t header = (p[1] & 1) ? 7 : 9;
    size_t len = ((size_t)(p[3] & 3) << 11) | ((size_t)p[4] << 3) | (p[5] >> 5);
    if (len <= header || len > n || RATES[(p[2] >> 2) & 15] == 0)
        return 0;
    return len;
}

} // namespace

Adec1_Handle Adec1_create(Engine_Handle e, const char *name, const AUDDEC1_Params *params,
                          const AUDDEC1_DynamicParams *dynParams)
{
    CodecAlgKind kind = codec_engine_find(e, name);
    if (kind != CODEC_ALG_AACDEC) {
        if (kind != CODEC_ALG_NONE)
            codec_engine_set_error(e, Engine_ECODECCREATE);
        return nullptr;
    }
    const AUDDEC1_Params *p = params ? params : &Adec1_Params_DEFAULT.auddecParams;
    const IAACDEC_Params *x = p->size >= (XDAS_Int32)sizeof(IAACDEC_Params) ? reinterpret_cast<const IAACDEC_Params *>(p)
                                                                           : nullptr;
    if (p->size < (XDAS_Int32)sizeof(AUDDEC1_Params) || (p->outputPCMWidth != 16 && p->outputPCMWidth != 0)) {
        codec_engine_set_error(e, Engine_ECODECCREATE);
        return nullptr;
    }
    Adec1_Object *h = new (std::nothrow) Adec1_Object();
    if (!h) {
        codec_engine_set_error(e, Engine_ENOMEM);
        return nullptr;
    }
    h->engine = e;
    h->raw = x && x->rawFormat;
    h->rate = x && x->rawSampleRate > 0 ? x->rawSampleRate : 48000;
    codec_av_init();
    if (adec_open(h, h->rate) < 0) {
        adec_close(h);
        delete h;
        codec_engine_set_error(e, Engine_ECODECCREATE);
        return nullptr;
    }
    return h;
}

int Adec1_process(Adec1_Handle h, Buffer_Handle hInBuf, Buffer_Handle hOutBuf)
{
    if (!h || !hInBuf || !hOutBuf)
        return Dmai_EFAIL;
    const uint8_t *in = Buffer_getUserPtr(hInBuf);
    size_t n = Buffer_getNumBytesUsed(hInBuf);
    Buffer_setNumBytesUsed(hInBuf, 0);
    Buffer_setNumBytesUsed(hOutBuf, 0);
    size_t len = h->raw ? n : adts_frame(in, n);
    if (!in || len == 0)
        return Dmai_EFAIL;
    h->unit.assign(in, in + len);
    h->unit.resize(len + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    av_packet_unref(h->pkt);
    h->pkt->data = h->unit.data();
    h->pkt->size = (int)len;
    if (avcodec_send_packet(h->ctx, h->pkt) < 0) {
        avcodec_flush_buffers(h->ctx);
        return Dmai_EFAIL;
    }
    int r = avcodec_receive_frame(h->ctx, h->frame);
    if (r < 0) {
        // No frame for this unit: it fed the decoder's state, nothing to play.
        if (r != AVERROR(EAGAIN)) {
            avcodec_flush_buffers(h->ctx);
            return Dmai_EFAIL;
        }
        Buffer_setNumBytesUsed(hInBuf, len);
        return Dmai_EOK;
    }
    const AVFrame *f = h->frame;
    int channels = f->ch_layout.nb_channels;
    size_t bytes = (size_t)f->nb_samples * 4;
    if (channels < 1 || bytes > Buffer_getSize(hOutBuf)) {
        av_frame_unref(h->frame);
        return Dmai_EFAIL;
    }
    int16_t *out = reinterpret_cast<int16_t *>(Buffer_getUserPtr(hOutBuf));
    for (int i = 0; i < f->nb_samples; i++) {
        out[2 * i] = to_s16(sample_at(f, 0, i));
        out[2 * i + 1] = to_s16(sample_at(f, channels > 1 ? 1 : 0, i));
    }
    h->rate = f->sample_rate;
    av_frame_unref(h->frame);
    Buffer_setNumBytesUsed(hOutBuf, bytes);
    Buffer_setNumBytesUsed(hInBuf, len);
    return Dmai_EOK;
}

int Adec1_getInBufSize(Adec1_Handle h)
{
    return h ? ADEC_IN_BUF : -1;
}

int Adec1_getOutBufSize(Adec1_Handle h)
{
    return h ? ADEC_OUT_BUF : -1;
}

int Adec1_getSampleRate(Adec1_Handle h)
{
    return h ? h->rate : 0;
}

int Adec1_delete(Adec1_Handle h)
{
    if (!h)
        return Dmai_EOK;
    adec_close(h);
    delete h;
    return Dmai_EOK;
}
