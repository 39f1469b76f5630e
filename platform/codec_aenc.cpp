// "aacenc" over libavcodec's native AAC encoder: AAC LC, mono or stereo, 16-bit interleaved in,
// one ADTS frame (7-byte header, no CRC) out per period once the encoder has primed.
#include "platform/codec_audio.h"
#include "platform/codec_internal.h"

#include <cstring>
#include <new>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
}

namespace {

constexpr int AAC_FRAME = 1024;
constexpr int ADTS_HEADER = 7;
constexpr int ADTS_RATES[16] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050,
                                16000, 12000, 11025, 8000, 7350, 0, 0, 0};

int rate_index(int rate)
{
    for (int i = 0; ADTS_RATES[i]; i++)
        if (ADTS_RATES[i] == rate)
            return i;
    return -1;
}

} // namespace

const AUDENC1_Params Aenc1_Params_DEFAULT = {
    sizeof(AUDENC1_Params), 44100, 64000, IAUDIO_2_0, XDM_BYTE, IAUDIO_CBR, IAUDIO_INTERLEAVED, 16, 192000, 0, 0, 0, 0,
};
const AUDENC1_DynamicParams Aenc1_DynamicParams_DEFAULT = {
    sizeof(AUDENC1_DynamicParams), 64000, 44100, IAUDIO_2_0, 0, 0, 16,
};

struct AUDENC1_Object {
    Engine_Handle engine;
    int sampleRate;
    int channels;
    int bitRate;
    int maxBitRate;
    bool adts;
    AVCodecContext *ctx;
    AVFrame *frame;
    AVPacket *pkt;
    int64_t pts;
};

struct Aenc1_Object {
    AUDENC1_Object visa;
};

namespace {

void aenc_close(AUDENC1_Object *h)
{
    avcodec_free_context(&h->ctx);
    av_frame_free(&h->frame);
    av_packet_free(&h->pkt);
}

int aenc_open(AUDENC1_Object *h)
{
    const AVCodec *codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
    if (!codec)
        return -1;
    AVCodecContext *ctx = avcodec_alloc_context3(codec);
    if (!ctx)
        return -1;
    ctx->sample_fmt = AV_SAMPLE_FMT_FLTP;
    ctx->sample_rate = h->sampleRate;
    av_channel_layout_default(&ctx->ch_layout, h->channels);
    ctx->bit_rate = h->bitRate;
    ctx->profile = FF_PROFILE_AAC_LOW;
    ctx->time_base = AVRational{1, h->sampleRate};
    h->ctx = ctx;
    if (avcodec_open2(ctx, codec, nullptr) < 0 || ctx->frame_size != AAC_FRAME)
        return -1;
    h->frame = av_frame_alloc();
    h->pkt = av_packet_alloc();
    if (!h->frame || !h->pkt)
        return -1;
    h->frame->format = AV_SAMPLE_FMT_FLTP;
    h->frame->nb_samples = AAC_FRAME;
    h->frame->sample_rate = h->sampleRate;
    if (av_channel_layout_copy(&h->frame->ch_layout, &ctx->ch_layout) < 0 || av_frame_get_buffer(h->frame, 0) < 0)
        return -1;
    return 0;
}

void adts_header(uint8_t *p, int rateIndex, int channels, int frameLength)
{
    p[0] = 0xFF;
    p[1] = 0xF1;                                            // MPEG-4, layer 0, no CRC
    p[2] = (uint8_t)((1 << 6) | (rateIndex << 2) | (channels >> 2));  // profile LC
    p[3] = (uint8_t)(((channels & 3) << 6) | (frameLength >> 11));
    p[4] = (uint8_t)(frameLength >> 3);
    p[5] = (uint8_t)(((frameLength & 7) << 5) | 0x1F);      // buffer fullness 0x7FF: variable
    p[6] = 0xFC;
}

} // namespace

Aenc1_Handle Aenc1_create(Engine_Handle e, const char *name, const AUDENC1_Params *params,
                          const AUDENC1_DynamicParams *dynParams)
{
    CodecAlgKind kind = codec_engine_find(e, name);
    if (kind != CODEC_ALG_AACENC) {
        if (kind != CODEC_ALG_NONE)
            codec_engine_set_error(e, Engine_ECODECCREATE);
        return nullptr;
    }
    const AUDENC1_Params *p = params ? params : &Aenc1_Params_DEFAULT;
    int channels = p->channelMode == IAUDIO_1_0 ? 1 : p->channelMode == IAUDIO_2_0 ? 2 : 0;
    bool adts = p->size >= (XDAS_Int32)sizeof(IAACENC_Params) &&
                reinterpret_cast<const IAACENC_Params *>(p)->useADTS != 0;
    int bitRate = dynParams ? dynParams->bitRate : p->bitRate;
    // The encoder's own rates are 44.1 and 48 kHz; 16-bit interleaved input only.
    if (p->size < (XDAS_Int32)sizeof(AUDENC1_Params) || channels == 0 ||
        (p->sampleRate != 44100 && p->sampleRate != 48000) || p->inputFormat != IAUDIO_INTERLEAVED ||
        p->inputBitsPerSample != 16 || bitRate <= 0 || (p->maxBitRate > 0 && bitRate > p->maxBitRate)) {
        codec_engine_set_error(e, Engine_ECODECCREATE);
        return nullptr;
    }
    Aenc1_Object *h = new (std::nothrow) Aenc1_Object();
    if (!h) {
        codec_engine_set_error(e, Engine_ENOMEM);
        return nullptr;
    }
    AUDENC1_Object &v = h->visa;
    v.engine = e;
    v.sampleRate = p->sampleRate;
    v.channels = channels;
    v.bitRate = bitRate;
    v.maxBitRate = p->maxBitRate;
    v.adts = adts;
    codec_av_init();
    if (aenc_open(&v) < 0) {
        aenc_close(&v);
        delete h;
        codec_engine_set_error(e, Engine_ECODECCREATE);
        return nullptr;
    }
    return h;
}

int Aenc1_delete(Aenc1_Handle h)
{
    if (!h)
        return Dmai_EINVAL;
    aenc_close(&h->visa);
    delete h;
    return Dmai_EOK;
}

int Aenc1_getInBufSize(Aenc1_Handle h)
{
    return h ? AAC_FRAME * h->visa.channels * 2 : 0;
}

int Aenc1_getOutBufSize(Aenc1_Handle h)
{
    // A raw AAC frame never exceeds 6144 bits per channel.
    return h ? 768 * h->visa.channels + ADTS_HEADER : 0;
}

AUDENC1_Handle Aenc1_getVisaHandle(Aenc1_Handle h)
{
    return h ? &h->visa : nullptr;
}

XDAS_Int32 AUDENC1_control(AUDENC1_Handle h, XDM_CmdId cmd, AUDENC1_DynamicParams *dyn, AUDENC1_Status *status)
{
    if (!h)
        return XDM_EFAIL;
    if (status && status->size >= (XDAS_Int32)(3 * sizeof(XDAS_Int32)))
        status->extendedError = 0;
    switch (cmd) {
    case XDM_SETPARAMS:
        if (!dyn || dyn->size < (XDAS_Int32)sizeof(AUDENC1_DynamicParams) || dyn->bitRate <= 0 ||
            (h->maxBitRate > 0 && dyn->bitRate > h->maxBitRate)) {
            if (status)
                status->extendedError = 1 << XDM_UNSUPPORTEDPARAM;
            return XDM_EFAIL;
        }
        // Rate and channels are fixed at create; the bit rate steers the living encoder's
        // rate control from its next frame on.
        h->bitRate = dyn->bitRate;
        h->ctx->bit_rate = dyn->bitRate;
        return XDM_EOK;
    case XDM_GETSTATUS:
        if (status && status->size >= (XDAS_Int32)sizeof(AUDENC1_Status)) {
            status->bitRate = h->bitRate;
            status->sampleRate = h->sampleRate;
            status->channelMode = h->channels == 1 ? IAUDIO_1_0 : IAUDIO_2_0;
        }
        return XDM_EOK;
    case XDM_SETDEFAULT:
    case XDM_RESET:
    case XDM_FLUSH:
    case XDM_GETBUFINFO:
        return XDM_EOK;
    }
    return XDM_EFAIL;
}

int Aenc1_process(Aenc1_Handle h, Buffer_Handle hInBuf, Buffer_Handle hOutBuf)
{
    if (!h || !hInBuf || !hOutBuf)
        return Dmai_EINVAL;
    AUDENC1_Object &v = h->visa;
    Buffer_setNumBytesUsed(hOutBuf, 0);
    if ((int)Buffer_getNumBytesUsed(hInBuf) != Aenc1_getInBufSize(h))
        return Dmai_EFAIL;
    const int16_t *in = reinterpret_cast<const int16_t *>(Buffer_getUserPtr(hInBuf));
    if (av_frame_make_writable(v.frame) < 0)
        return Dmai_EFAIL;
    for (int c = 0; c < v.channels; c++) {
        float *dst = reinterpret_cast<float *>(v.frame->data[c]);
        for (int i = 0; i < AAC_FRAME; i++)
            dst[i] = in[i * v.channels + c] * (1.0f / 32768.0f);
    }
    v.frame->pts = v.pts;
    v.pts += AAC_FRAME;
    if (avcodec_send_frame(v.ctx, v.frame) < 0)
        return Dmai_EFAIL;
    int r = avcodec_receive_packet(v.ctx, v.pkt);
    if (r == AVERROR(EAGAIN))
        return Dmai_EOK;        // still priming: nothing out this time
    if (r < 0)
        return Dmai_EFAIL;
    int header = v.adts ? ADTS_HEADER : 0;
    int len = v.pkt->size + header;
    int ret = Dmai_EOK;
    if (len > (int)Buffer_getSize(hOutBuf) || len > 0x1FFF) {
        ret = Dmai_EFAIL;       // never written past the caller's buffer
    } else {
        uint8_t *out = Buffer_getUserPtr(hOutBuf);
        if (header)
            adts_header(out, rate_index(v.sampleRate), v.channels, len);
        memcpy(out + header, v.pkt->data, v.pkt->size);
        Buffer_setNumBytesUsed(hOutBuf, len);
    }
    av_packet_unref(v.pkt);
    // The encoder gives at most one frame per period; anything more would pile up behind.
    while (avcodec_receive_packet(v.ctx, v.pkt) == 0)
        av_packet_unref(v.pkt);
    return ret;
}
