#include "video/encoder.h"

#include "core/log.h"
#include "core/param.h"
#include "core/quit.h"
#include "core/soc.h"
#include "core/threads.h"
#include "core/util.h"
#include "streams/annexb.h"
#include "streams/stream.h"
#include "streams/stream_mode.h"
#include "video/capture.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <poll.h>
#include <pthread.h>

namespace {

enum : uint32_t {
    FOURCC_NV12 = 0x3231564e,   // "NV12"
    FOURCC_UYVY = 0x59565955,   // "UYVY"
};
enum { VIDEO_QUEUE_BYTES = 0x654000, VIDEO_QUEUE_ENTRIES = 512, VIDEO_QUEUE_ALIGN = 32,
       SIDE_BUF_SIZE = 800, MAX_ENCODED = 0x100000, JPEG_MAX_AGE = 45000,
       JPEG_QUALITY_MIN = 2, JPEG_QUALITY_MAX = 97, JPEG_QUALITY_STEP = 3, JPEG_BAD_RETRIES = 3,
       PICTURE_WAIT_MS = 100 };

// Taken inside codec_mutex by the JPEG paths only.
pthread_mutex_t jpeg_codec_mutex = PTHREAD_MUTEX_INITIALIZER;

const char *fourcc_name(uint32_t f)
{
    return f == FOURCC_UYVY ? "UYVY" : "NV12";
}

struct ErrName {
    int code;
    const char *name;
};

const char *lookup(const ErrName *table, size_t n, int code, char *fallback, size_t size, const char *prefix)
{
    for (size_t i = 0; i < n; i++) {
        if (table[i].code == code)
            return table[i].name;
    }
    snprintf(fallback, size, "%s_ERR_0x%08x", prefix, (unsigned)code);
    return fallback;
}

uint64_t now_us()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (uint64_t)t.tv_sec * 1000000 + t.tv_nsec / 1000;
}

const ParamVideo &video_settings(const VideoEnv *env)
{
    return env->params->Video[env->channel];
}

} // namespace

// --- error names ---

const char *jpeg_error_name(int code)
{
    static const char *const names[] = {
        nullptr, "DM365_JPEGENC_INVALID_MAXWIDTH", "DM365_JPEGENC_INVALID_MAXHEIGHT",
        "DM365_JPEGENC_INVALID_MAXSCANS", "DM365_JPEGENC_INVALID_DATAENDIANNESS",
        "DM365_JPEGENC_INVALID_FORCECHROMAFORMAT", "DM365_JPEGENC_INVALID_NUMAU",
        "DM365_JPEGENC_INVALID_INPUTCHROMAFORMAT", "DM365_JPEGENC_INVALID_INPUTHEIGHT",
        "DM365_JPEGENC_INVALID_INPUTWIDTH", "DM365_JPEGENC_INVALID_CAPTUREWIDTH",
        "DM365_JPEGENC_INVALID_GENERATEHEADER", "DM365_JPEGENC_INVALID_QVALUE",
        "DM365_JPEGENC_INVALID_RSTINTERVAL", "DM365_JPEGENC_INVALID_ROTATION",
        "DM365_JPEGENC_INVALID_DISABLEEOI",
    };
    static char fallback[32];
    int low = code & 0xff;
    if (low >= 1 && low <= 15)
        return names[low];
    snprintf(fallback, sizeof fallback, "JPEG_ERR_0x%08x", (unsigned)code);
    return fallback;
}

const char *mpeg4_error_name(int code)
{
    static const ErrName table[] = {
        {MPEG4VENC_ERR_MAXWIDTH, "MPEG4VENC_ERR_MAXWIDTH"},
        {MPEG4VENC_ERR_MAXHEIGHT, "MPEG4VENC_ERR_MAXHEIGHT"},
        {MPEG4VENC_ERR_INPUTCHROMAFORMAT, "MPEG4VENC_ERR_INPUTCHROMAFORMAT"},
        {MPEG4VENC_ERR_INPUTWIDTH, "MPEG4VENC_ERR_INPUTWIDTH"},
        {MPEG4VENC_ERR_INPUTHEIGHT, "MPEG4VENC_ERR_INPUTHEIGHT"},
        {MPEG4VENC_ERR_CAPTUREWIDTH, "MPEG4VENC_ERR_CAPTUREWIDTH"},
        {MPEG4VENC_ERR_TARGETFRAMERATE, "MPEG4VENC_ERR_TARGETFRAMERATE"},
        {MPEG4VENC_ERR_TARGETBITRATE, "MPEG4VENC_ERR_TARGETBITRATE"},
        {MPEG4VENC_ERR_QPRANGE, "MPEG4VENC_ERR_QPRANGE"},
        {MPEG4VENC_ERR_RATECONTROL, "MPEG4VENC_ERR_RATECONTROL"},
        {MPEG4VENC_ERR_INPUTBUF, "MPEG4VENC_ERR_INPUTBUF"},
        {MPEG4VENC_ERR_OUTPUTBUF, "MPEG4VENC_ERR_OUTPUTBUF"},
        {MPEG4VENC_ERR_CODEC, "MPEG4VENC_ERR_CODEC"},
    };
    static char fallback[32];
    return lookup(table, sizeof table / sizeof table[0], code, fallback, sizeof fallback, "MPEG4");
}

const char *h264_error_name(int code)
{
    static const ErrName table[] = {
        {IH264VENC_ERR_MAXWIDTH, "IH264VENC_ERR_MAXWIDTH"},
        {IH264VENC_ERR_MAXHEIGHT, "IH264VENC_ERR_MAXHEIGHT"},
        {IH264VENC_ERR_INPUTCHROMAFORMAT, "IH264VENC_ERR_INPUTCHROMAFORMAT"},
        {IH264VENC_ERR_PROFILEIDC, "IH264VENC_ERR_PROFILEIDC"},
        {IH264VENC_ERR_LEVELIDC, "IH264VENC_ERR_LEVELIDC"},
        {IH264VENC_ERR_ENTROPYMODE, "IH264VENC_ERR_ENTROPYMODE"},
        {IH264VENC_ERR_INPUTWIDTH, "IH264VENC_ERR_INPUTWIDTH"},
        {IH264VENC_ERR_INPUTHEIGHT, "IH264VENC_ERR_INPUTHEIGHT"},
        {IH264VENC_ERR_CAPTUREWIDTH, "IH264VENC_ERR_CAPTUREWIDTH"},
        {IH264VENC_ERR_TARGETFRAMERATE, "IH264VENC_ERR_TARGETFRAMERATE"},
        {IH264VENC_ERR_TARGETBITRATE, "IH264VENC_ERR_TARGETBITRATE"},
        {IH264VENC_ERR_RCALGO, "IH264VENC_ERR_RCALGO"},
        {IH264VENC_ERR_QPRANGE, "IH264VENC_ERR_QPRANGE"},
        {IH264VENC_ERR_INPUTBUF, "IH264VENC_ERR_INPUTBUF"},
        {IH264VENC_ERR_OUTPUTBUF, "IH264VENC_ERR_OUTPUTBUF"},
        {IH264VENC_ERR_CODEC, "IH264VENC_ERR_CODEC"},
        {IH264VENC_WARN_LEVELIDC, "IH264VENC_WARN_LEVELIDC"},
    };
    static char fallback[32];
    return lookup(table, sizeof table / sizeof table[0], code & 0xff, fallback, sizeof fallback, "H264");
}

// --- sizes and settings ---

void scale_to_fit(int *width, int *height)
{
    if (*width <= 768 && *height <= 576)
        return;
    // 1920x1080 must halve to 960x540, so a height within 1536 halves as well.
    if (*width <= 1536 || *height <= 1536) {
        *width /= 2;
        *height /= 2;
    } else if (*height <= 2304) {
        *width /= 3;
        *height /= 3;
    } else {
        *width = 640;
        *height = 480;
    }
}

void video_set_decimate(VideoEnv *env, int value)
{
    pthread_mutex_lock(&env->lock);
    env->decimate = value < 1 ? 1 : value;
    pthread_mutex_unlock(&env->lock);
}

int video_get_decimate(VideoEnv *env)
{
    pthread_mutex_lock(&env->lock);
    int d = env->decimate;
    pthread_mutex_unlock(&env->lock);
    return d;
}

void video_request_recreate_locked(VideoEnv *env)
{
    env->recreate = 1;
}

void getVideoParameters(VideoEnv *env)
{
    const ParamVideo &v = video_settings(env);
    log_printf("%s: idx=%d %dx%d StreamMode=%d Interlaced=%d JPEGQ=%d fdec=%d\n", env->name, env->channel, v.Width,
               v.Height, v.StreamMode, v.Interlaced, v.JPEGQuality, v.FrameRate);
    int width = v.Width, height = v.Height;
    int codec = stream_mode_video_codec(v.StreamMode);
    pthread_mutex_lock(&env->lock);
    env->h264Profile = v.H264Profile;
    env->h264Level = v.H264Level;
    env->aspectRatio = v.AspectRatio;
    env->bitRate = (int)v.BitRate;
    env->rateMode = v.RateMode;
    env->jpegQuality = v.JPEGQuality;
    env->gopSize = v.GOPSize;
    env->decimate = v.FrameRate ? v.FrameRate : 1;
    env->sliceLines = 0;
    env->videoCodec = codec;
    if (codec == VIDEO_CODEC_JPEG)
        env->flip = v.Flip & 4;
    else if (width > 720 || height > 576 || codec == StreamMode_UYVY)
        env->flip = 0;
    else
        env->flip = v.Flip;
    pthread_mutex_unlock(&env->lock);

    while (width == 0 || height == 0) {
        if (capture_width && capture_height) {
            width = (int)capture_width;
            height = (int)capture_height;
            if (env->channel == 1)
                scale_to_fit(&width, &height);
            break;
        }
        if (quit_wait(100))
            return;
    }
    env->width = width;
    env->height = height;
    bool uyvy = codec == VIDEO_CODEC_JPEG || codec == StreamMode_UYVY;
    env->colorFormat = uyvy ? FOURCC_UYVY : FOURCC_NV12;
    env->lineLength = ((uyvy ? width * 2 : width) + 31) & ~31;

    bool captureInterlaced = capture_field_mode != 0;
    int mode = 1;
    if (captureInterlaced) {
        int s = v.Interlaced;
        if (s >= 10) {
            log_printf("Unknown param->Interlaced=%d\n", s);
            s = 0;
        }
        if (s == 0)
            mode = height <= 576 ? 1 : 2;
        else if (s == 1 || s == 4)
            mode = 4;
        else
            mode = s;
    }
    env->interlaceMode = mode;
    env->interlacedEncoding = mode == 7;
    int rate = (int)capture_frame_rate;
    if (captureInterlaced && mode != 7)
        rate /= 2;
    pthread_mutex_lock(&env->lock);
    if (rate > 30500 && width >= 1920 && height >= 1080 && env->decimate < 2)
        env->decimate = 2;
    env->frameRate = rate / env->decimate;
    pthread_mutex_unlock(&env->lock);
}

void get_video_size(int index, int *width, int *height)
{
    VideoEnv *env = video_env_get(index);
    *width = *height = 0;
    if (!env || !env->params)
        return;
    // Worked out on a scratch record: the live one belongs to its running encoder.
    static VideoEnv scratch[2];
    static pthread_mutex_t scratch_mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_mutex_lock(&scratch_mutex);
    VideoEnv *v = &scratch[index];
    v->name = env->name;
    v->params = env->params;
    v->channel = env->channel;
    getVideoParameters(v);
    *width = v->width;
    *height = v->height;
    pthread_mutex_unlock(&scratch_mutex);
}

// --- H.264 level and timing ---

int h264_needed_level(int width, int height, int interlaced, int framesPer1000s, int bitRate, int profile)
{
    struct LevelLimit {
        int level;
        long mbps;      // macroblocks per second
        long fs;        // macroblocks per picture
        long br;        // kbit/s, baseline and main
        long brHigh;    // kbit/s, high
    };
    static const LevelLimit limits[] = {
        {10, 1485, 99, 64, 80},           {9, 1485, 99, 128, 160},          {11, 3000, 396, 192, 240},
        {12, 6000, 396, 384, 480},        {13, 11880, 396, 768, 960},       {20, 11880, 396, 2000, 2500},
        {21, 19800, 792, 4000, 5000},     {22, 20250, 1620, 4000, 5000},    {30, 40500, 1620, 10000, 12500},
        {31, 108000, 3600, 14000, 17500}, {32, 216000, 5120, 20000, 25000}, {40, 245760, 8192, 20000, 25000},
        {41, 245760, 8192, 50000, 62500}, {42, 522240, 8704, 50000, 62500}, {50, 589824, 22080, 135000, 168750},
        {51, 983040, 36864, 240000, 300000},
    };
    long mbs = (long)((height + 15) / (interlaced ? 32 : 16)) * ((width + 15) / 16);
    long rate = mbs * framesPer1000s / 1000;
    long kbps = bitRate / 1000;
    for (const LevelLimit &l : limits) {
        if (rate <= l.mbps && mbs <= l.fs && kbps <= (profile == 100 ? l.brHigh : l.br))
            return l.level;
    }
    return 10;
}

namespace {

void reduce_ratio(int *a, int *b)
{
    for (int f = 2; *a >= f && *b >= f; f++) {
        while (*a % f == 0 && *b % f == 0 && *a >= f && *b >= f) {
            *a /= f;
            *b /= f;
        }
    }
}

// Pixel aspect ratio for the display aspect ratio setting (1 4:3, 2 16:9); false for none.
bool pixel_aspect(const VideoEnv *env, int *parW, int *parH, int *darW, int *darH)
{
    if (env->aspectRatio != 1 && env->aspectRatio != 2)
        return false;
    *darW = env->aspectRatio == 1 ? 4 : 16;
    *darH = env->aspectRatio == 1 ? 3 : 9;
    *parW = *darW * env->height;
    *parH = *darH * env->width;
    reduce_ratio(parW, parH);
    return true;
}

void print_h264_params(const IH264VENC_Params &s, const IH264VENC_DynamicParams &d)
{
    const VIDENC1_Params &b = s.videncParams;
    const VIDENC1_DynamicParams &v = d.videncDynamicParams;
    log_printf("encodingPreset=%d rateControlPreset=%d maxHeight=%d maxWidth=%d maxFrameRate=%d maxBitRate=%d "
               "dataEndianness=%d maxInterFrameInterval=%d inputChromaFormat=%d inputContentType=%d "
               "reconChromaFormat=%d\n",
               b.encodingPreset, b.rateControlPreset, b.maxHeight, b.maxWidth, b.maxFrameRate, b.maxBitRate,
               b.dataEndianness, b.maxInterFrameInterval, b.inputChromaFormat, b.inputContentType,
               b.reconChromaFormat);
    log_printf("profileIdc=%d levelIdc=%d entropyMode=%d transform8x8FlagIntraFrame=%d "
               "transform8x8FlagInterFrame=%d seqScalingFlag=%d encQuality=%d meAlgo=%d enableVUIparams=%d "
               "sliceMode=%d outputDataMode=%d sliceFormat=%d\n",
               s.profileIdc, s.levelIdc, s.entropyMode, s.transform8x8FlagIntraFrame, s.transform8x8FlagInterFrame,
               s.seqScalingFlag, s.encQuality, s.meAlgo, s.enableVUIparams, s.sliceMode, s.outputDataMode,
               s.sliceFormat);
    log_printf("inputHeight=%d inputWidth=%d refFrameRate=%d targetFrameRate=%d targetBitRate=%d "
               "intraFrameInterval=%d generateHeader=%d captureWidth=%d forceFrame=%d interFrameInterval=%d "
               "mbDataFlag=%d\n",
               v.inputHeight, v.inputWidth, v.refFrameRate, v.targetFrameRate, v.targetBitRate,
               v.intraFrameInterval, v.generateHeader, v.captureWidth, v.forceFrame, v.interFrameInterval,
               v.mbDataFlag);
    log_printf("intraFrameQP=%d interPFrameQP=%d initQ=%d rcQMax=%d rcQMin=%d rcQMaxI=%d rcQMinI=%d rcAlgo=%d "
               "maxDelay=%d idrFrameInterval=%d aspectRatioX=%d aspectRatioY=%d enablePicTimSEI=%d "
               "resetHDVICPeveryFrame=%d maxBitrateCVBR=%d interlaceRefMode=%d enableGDR=%d GDRduration=%d "
               "GDRinterval=%d CVBRminbitrate=%d\n",
               d.intraFrameQP, d.interPFrameQP, d.initQ, d.rcQMax, d.rcQMin, d.rcQMaxI, d.rcQMinI, d.rcAlgo,
               d.maxDelay, d.idrFrameInterval, d.aspectRatioX, d.aspectRatioY, d.enablePicTimSEI,
               d.resetHDVICPeveryFrame, d.maxBitrateCVBR, d.interlaceRefMode, d.enableGDR, d.GDRduration,
               d.GDRinterval, d.CVBRminbitrate);
}

struct VideoSetup {     // what setup_encoder builds for H.264 and MPEG-4
    IH264VENC_Params h264;
    IMPEG4VENC_Params mpeg4;
    IH264VENC_VUIParams vui;
};

// The channel's VUI record stays alive with the dynamic parameters that point at it.
IH264VENC_VUIParams channel_vui[2];
// What each channel's codec was created with: those values are fixed until it is created again.
VideoSetup channel_created[2];

int h264_fill(VideoEnv *env, IH264VENC_Params *s, IH264VENC_DynamicParams *d)
{
    VIDENC1_Params &b = s->videncParams;
    b.size = sizeof *s;
    b.encodingPreset = 3;
    b.rateControlPreset = IVIDEO_USER_DEFINED;
    b.maxFrameRate = 60000;
    b.maxBitRate = 50000000;
    b.dataEndianness = XDM_BYTE;
    b.maxInterFrameInterval = 1;
    b.inputChromaFormat = XDM_YUV_420SP;
    b.reconChromaFormat = XDM_YUV_420SP;
    b.inputContentType = env->interlacedEncoding ? IVIDEO_INTERLACED : IVIDEO_PROGRESSIVE;
    s->profileIdc = env->h264Profile;
    s->levelIdc = env->h264Level;
    s->entropyMode = env->h264Profile != 66;
    s->seqScalingFlag = env->h264Profile == 100;
    s->encQuality = 3;
    s->enableVUIparams = 4;
    s->sliceMode = env->sliceLines ? 3 : 0;
    s->outputDataMode = env->sliceLines ? 0 : 1;
    s->sliceFormat = 1;

    static const int rcq[7][4] = {{51, 0, 51, 0},   {45, 0, 42, 0},   {51, 0, 51, 0},  {45, 10, 42, 8},
                                  {45, 20, 42, 15}, {51, 30, 51, 23}, {51, 40, 51, 30}};
    if (env->rateMode >= 7)
        env->rateMode = 0;
    VIDENC1_DynamicParams &v = d->videncDynamicParams;
    v.size = sizeof *d;
    v.targetBitRate = env->bitRate;
    v.intraFrameInterval = env->gopSize;
    d->idrFrameInterval = env->gopSize;
    v.generateHeader = 0;
    v.forceFrame = -1;
    v.interFrameInterval = 1;
    d->intraFrameQP = 28;
    d->interPFrameQP = 28;
    d->initQ = -1;
    d->rcQMax = rcq[env->rateMode][0];
    d->rcQMin = rcq[env->rateMode][1];
    d->rcQMaxI = rcq[env->rateMode][2];
    d->rcQMinI = rcq[env->rateMode][3];
    d->rcAlgo = env->rateMode == 0 ? 6 : env->rateMode == 2 ? 2 : 1;
    d->maxDelay = 1000;
    d->aspectRatioX = d->aspectRatioY = 1;
    d->enablePicTimSEI = env->interlacedEncoding;
    d->resetHDVICPeveryFrame = 1;
    d->maxBitrateCVBR = (int)((int64_t)env->bitRate * 110 / 100);
    d->interlaceRefMode = env->interlacedEncoding;
    d->enableGDR = 0;
    d->GDRduration = 5;
    d->GDRinterval = 30;
    d->CVBRminbitrate = 216;
    IH264VENC_VUIParams *vui = &channel_vui[env->channel];
    *vui = {};
    d->VUI_Buffer = vui;
    d->putDataGetSpaceFxn = nullptr;   // slice mode is never used
    d->dataSyncHandle = env;

    int needed = h264_needed_level(env->width, env->height, env->interlacedEncoding, env->frameRate, env->bitRate,
                                   env->h264Profile);
    if (s->levelIdc < needed || (needed == 9 && s->levelIdc == 10)) {
        s->levelIdc = needed;
        log_printf("h264Params.levelIdc set to %u\n", (unsigned)needed);
    }
    if (env->interlacedEncoding)
        s->levelIdc = s->levelIdc < 21 ? 21 : s->levelIdc > 41 ? 41 : s->levelIdc;

    int dec = env->decimate;
    int full = env->frameRate * dec;
    int timeScale, units;
    // A tick is a field: a frame lasts two ticks, progressive or not, so the 1000/1001 rates
    // take the field clock too (30000 would announce half the rate the stamps have).
    if (full == 29970) {
        timeScale = 60000 / dec;
        units = 1001;
    } else if (full == 59940) {
        timeScale = 120000 / dec;
        units = 1001;
    } else {
        units = 500;
        timeScale = env->frameRate;
    }
    int target = env->frameRate;
    if (env->interlacedEncoding) {
        units *= 2;
        target /= 2;
    }
    target = (target + 499) / 500 * 500;
    if (target > 60000)
        target = 60000;
    log_printf("frameRate=%d\n", target);
    v.targetFrameRate = target;
    vui->timingInfoPresentFlag = 1;
    vui->timeScale = timeScale;
    vui->numUnitsInTicks = units;
    vui->fixedFrameRateFlag = 1;
    log_printf("h264 frameRate=%d timeScale=%d numUnitsInTicks=%d interlaced=%d fdec=%d\n", target, timeScale, units,
               env->interlacedEncoding, dec);
    log_printf("  bitrate=%ld intraFrameQP=%ld interPFrameQP=%ld rcQ=%ld:%ld I=%ld:%ld\n", (long)v.targetBitRate,
               (long)d->intraFrameQP, (long)d->interPFrameQP, (long)d->rcQMin, (long)d->rcQMax, (long)d->rcQMinI,
               (long)d->rcQMaxI);
    int parW, parH, darW, darH;
    if (pixel_aspect(env, &parW, &parH, &darW, &darH)) {
        d->aspectRatioX = parW;
        d->aspectRatioY = parH;
        vui->aspectRatioInfoPresentFlag = 1;
        vui->sarWidth = parW;
        vui->sarHeight = parH;
        log_printf("h264 PAR %d:%d DAR %d:%d\n", parW, parH, darW, darH);
    }
    log_printf("h264 level=%d profile=%d quality=%d IDR=%d rcAlgo=%d interlaced=%d \n", s->levelIdc, s->profileIdc,
               s->encQuality, d->idrFrameInterval, d->rcAlgo, env->interlacedEncoding);
    return 0;
}

void mpeg4_fill(VideoEnv *env, IMPEG4VENC_Params *s, IMPEG4VENC_DynamicParams *d)
{
    VIDENC1_Params &b = s->videncParams;
    b.size = sizeof *s;
    b.encodingPreset = 2;
    b.maxBitRate = 20000000;
    b.dataEndianness = XDM_BYTE;
    int code = 1, parW, parH, darW, darH;
    if (pixel_aspect(env, &parW, &parH, &darW, &darH)) {
        if (parW == 12 && parH == 11)
            code = 2;
        else if (parW == 10 && parH == 11)
            code = 3;
        else if (parW == 16 && parH == 11)
            code = 4;
        else if (parW == 40 && parH == 33)
            code = 5;
        log_printf("MPEG4 PAR %d:%d DAR %d:%d\n", parW, parH, darW, darH);
    }
    s->aspectRatioCode = code;
    VIDENC1_DynamicParams &v = d->videncDynamicParams;
    v = {sizeof *d, 720, 1280, 30000, 30000, 6000000, 30, 0, 0, -1, 1, 0};
    v.intraFrameInterval = env->gopSize;
    const XDAS_Int32 ext[15] = {0, 0, 8, 8, 0, 0, 0, 8, 31, 2, 1000, 8, 0, 1, 0};
    memcpy(&d->mvDataEnable, ext, sizeof ext);
}

// Dynamic parameters are kept (on the heap) for the later bit-rate changes.
void keep_dyn_params(VideoEnv *env, const void *dyn, size_t size)
{
    free(env->dynParams);
    env->dynParams = malloc(size);
    if (env->dynParams)
        memcpy(env->dynParams, dyn, size);
}

void close_video_codec(VideoEnv *env)
{
    if (env->codec) {
        VIDENC1_delete(env->codec);
        env->codec = nullptr;
        env->codecName = nullptr;
    }
}

int setup_video(VideoEnv *env)
{
    bool h264 = env->videoCodec == VIDEO_CODEC_H264;
    const char *alg = h264 ? "h264enc" : "mpeg4enc";
    VideoSetup su{};
    IH264VENC_DynamicParams hd{};
    IMPEG4VENC_DynamicParams md{};
    VIDENC1_Params *b = h264 ? &su.h264.videncParams : &su.mpeg4.videncParams;
    VIDENC1_DynamicParams *v = h264 ? &hd.videncDynamicParams : &md.videncDynamicParams;
    if (h264)
        h264_fill(env, &su.h264, &hd);
    else
        mpeg4_fill(env, &su.mpeg4, &md);

    b->maxWidth = env->maxWidth;
    b->maxHeight = env->maxHeight;
    if (!h264) {
        b->encodingPreset = 2;
        b->maxFrameRate = 30000;
        b->maxInterFrameInterval = 1;
        b->inputChromaFormat = XDM_YUV_420SP;
        b->inputContentType = IVIDEO_PROGRESSIVE;
        b->reconChromaFormat = XDM_YUV_420SP;
        v->targetFrameRate = env->frameRate;
        log_printf("params maxWidth=%ld maxHeight=%ld encodingPreset=%ld inputChromaFormat=%ld reconChromaFormat=%ld "
                   "maxFrameRate=%ld maxInterFrameInterval=%ld inputContentType=%ld\n",
                   (long)b->maxWidth, (long)b->maxHeight, (long)b->encodingPreset, (long)b->inputChromaFormat,
                   (long)b->reconChromaFormat, (long)b->maxFrameRate, (long)b->maxInterFrameInterval,
                   (long)b->inputContentType);
    }
    v->targetBitRate = env->bitRate;
    v->interFrameInterval = 0;
    if (env->bitRate == 0) {
        b->rateControlPreset = IVIDEO_NONE;
        b->maxBitRate = 0;
    } else if (!h264) {
        b->rateControlPreset = env->rateMode == 0 ? IVIDEO_LOW_DELAY : IVIDEO_STORAGE;
    }
    if (v->targetBitRate > b->maxBitRate)
        v->targetBitRate = b->maxBitRate;
    if (v->targetBitRate < 100000)
        v->targetBitRate = 100000;
    v->inputHeight = env->height;
    v->inputWidth = env->width;
    v->refFrameRate = v->targetFrameRate;
    v->captureWidth = env->lineLength;
    log_printf("%s %dx%d (%d) TBR=%d MBR=%d TFR=%d RFR=%d MFR=%d GOP=%d\n", alg, env->width, env->height,
               env->lineLength, v->targetBitRate, b->maxBitRate, v->targetFrameRate, v->refFrameRate, b->maxFrameRate,
               v->intraFrameInterval);

    VIDENC1_Status st{};
    st.size = sizeof st;
    if (env->codec && env->codecName && strcmp(env->codecName, alg) != 0)
        close_video_codec(env);
    VideoSetup &created = channel_created[env->channel];
    bool same = h264 ? memcmp(&created.h264, &su.h264, sizeof su.h264) == 0
                     : memcmp(&created.mpeg4, &su.mpeg4, sizeof su.mpeg4) == 0;
    if (env->codec && !same) {
        // Profile, level, entropy coding and the limits are fixed when the codec is made.
        log_printf("%s: %s creation parameters changed, creating it again\n", env->name, alg);
        close_video_codec(env);
    }
    if (env->codec) {
        log_printf("reusing existing VIDENC1_Handle\n");
        VIDENC1_control(env->codec, XDM_RESET, v, &st);
    } else {
        env->codec = VIDENC1_create(env->engine, alg, b);
        if (!env->codec) {
            Engine_Error err = Engine_getLastError(env->engine);
            log_printf("%s %d: Failed to open video encode algorithm: %s (0x%x)\n", env->name, __LINE__, alg,
                       (unsigned)err);
            return -1;
        }
        env->codecName = alg;
        created = su;
    }
    if (VIDENC1_control(env->codec, XDM_SETPARAMS, v, &st) != XDM_EOK) {
        log_printf("%s %d: XDM_SETPARAMS failed, status=%d extendedError=%x %s\n", env->name, __LINE__, -1,
                   (unsigned)st.extendedError,
                   h264 ? h264_error_name(st.extendedError) : mpeg4_error_name(st.extendedError));
        if (h264)
            print_h264_params(su.h264, hd);
        close_video_codec(env);
        return -1;
    }
    if (VIDENC1_control(env->codec, XDM_GETBUFINFO, v, &st) != XDM_EOK) {
        log_printf("%s %d: XDM_GETBUFINFO control failed, status=%d, extendedError=%x\n", env->name, __LINE__, -1,
                   (unsigned)st.extendedError);
        close_video_codec(env);
        return -1;
    }
    env->maxEncodedSize = st.bufInfo.minOutBufSize[0] < MAX_ENCODED ? st.bufInfo.minOutBufSize[0] : MAX_ENCODED;
    env->inBufSize[0] = st.bufInfo.minInBufSize[0];
    env->inBufSize[1] = st.bufInfo.minInBufSize[1];
    log_printf("inbufsize %ld %ld %ld outbufsize %ld %ld %ld\n", (long)st.bufInfo.minInBufSize[0],
               (long)st.bufInfo.minInBufSize[1], (long)st.bufInfo.minInBufSize[2], (long)st.bufInfo.minOutBufSize[0],
               (long)st.bufInfo.minOutBufSize[1], (long)st.bufInfo.minOutBufSize[2]);
    if (h264)
        keep_dyn_params(env, &hd, sizeof hd);
    else
        keep_dyn_params(env, &md, sizeof md);
    return 0;
}

int jpeg_apply(VideoEnv *env)
{
    IMGENC1_Status st{};
    st.size = sizeof st;
    if (IMGENC1_control(env->jpeg, XDM_SETPARAMS, &env->jpegParams.imgencDynamicParams, &st) != XDM_EOK) {
        log_printf("%s %d: XDM_SETPARAMS failed, status=%d extendedError=%x (%s)\n", env->name, __LINE__, -1,
                   (unsigned)st.extendedError, jpeg_error_name(st.extendedError));
        return -1;
    }
    return 0;
}

int setup_jpeg(VideoEnv *env)
{
    bool uyvy = env->colorFormat == FOURCC_UYVY;
    IMGENC1_DynamicParams &d = env->jpegParams.imgencDynamicParams;
    env->jpegParams = {};
    d.size = sizeof env->jpegParams;
    d.inputChromaFormat = uyvy ? XDM_YUV_422ILE : XDM_YUV_420SP;
    d.inputHeight = env->height;
    d.inputWidth = env->width;
    d.captureWidth = uyvy ? env->lineLength / 2 : env->lineLength;
    d.generateHeader = 0;
    d.qValue = env->jpegQuality;
    env->jpegParams.rotation = env->flip & 4 ? 90 : 0;
    log_printf("creating JPEG image encoder max %dx%d %dx%d (%d), q %d, rot %d\n", env->maxWidth, env->maxHeight,
               env->width, env->height, env->lineLength, d.qValue, env->jpegParams.rotation);
    pthread_mutex_lock(&jpeg_codec_mutex);
    int rc = 0;
    if (env->jpeg) {
        log_printf("reusing existing IMGENC1_Handle\n");
        IMGENC1_Status st{};
        st.size = sizeof st;
        if (IMGENC1_control(env->jpeg, XDM_RESET, &d, &st) != XDM_EOK) {
            log_printf("%s %d: XDM_RESET control failed\n", env->name, __LINE__);
            rc = -1;
        }
    } else {
        IMGENC1_Params p{sizeof p, env->maxHeight, env->maxWidth, 0, XDM_BYTE, XDM_YUV_422P};
        env->jpeg = IMGENC1_create(env->engine, "jpegenc", &p);
        if (!env->jpeg) {
            log_printf("%s %d: Can't open imaging encode algorithm\n", env->name, __LINE__);
            rc = -1;
        }
    }
    if (rc == 0 && jpeg_apply(env) < 0)
        rc = -1;
    if (rc == 0) {
        IMGENC1_Status st{};
        st.size = sizeof st;
        if (IMGENC1_control(env->jpeg, XDM_GETBUFINFO, &d, &st) != XDM_EOK) {
            log_printf("%s %d: XDM_GETBUFINFO failed, status=%d\n", env->name, __LINE__, -1);
            rc = -1;
        } else {
            env->maxEncodedSize =
                st.bufInfo.minOutBufSize[0] < MAX_ENCODED ? st.bufInfo.minOutBufSize[0] : MAX_ENCODED;
            env->inBufSize[0] = st.bufInfo.minInBufSize[0];
            env->inBufSize[1] = st.bufInfo.minInBufSize[1];
            log_printf("%s: jpeg in %ld %ld out %ld\n", env->name, (long)env->inBufSize[0], (long)env->inBufSize[1],
                       (long)env->maxEncodedSize);
        }
    }
    pthread_mutex_unlock(&jpeg_codec_mutex);
    return rc;
}

} // namespace

int setup_encoder(VideoEnv *env, const char *engineName)
{
    pthread_mutex_lock(&env->lock);
    env->settingsChanged = 0;
    pthread_mutex_unlock(&env->lock);
    int codec = env->videoCodec;
    if (codec == StreamMode_UYVY || codec == StreamMode_NV12 || codec == StreamMode_Y8)
        return 0;
    if (codec != VIDEO_CODEC_H264 && codec != VIDEO_CODEC_MPEG4 && codec != VIDEO_CODEC_JPEG) {
        log_printf("%s %d: unexpected video format 0x%x\n", env->name, __LINE__, (unsigned)codec);
        return -1;
    }
    // The pictures live in capture's fixed buffers; a size that does not fit them is refused.
    size_t bytes = (size_t)env->lineLength * env->height;
    if (env->colorFormat == FOURCC_NV12)
        bytes += bytes / 2;
    if (bytes > CAPTURE_BUFFER_SIZE || env->width > env->maxWidth || env->height > env->maxHeight) {
        log_printf("%s: %dx%d (%d) %s does not fit the picture buffers\n", env->name, env->width, env->height,
                   env->lineLength, fourcc_name(env->colorFormat));
        return -1;
    }
    if (!env->engine) {
        log_printf("%s %d: Failed to open codec engine %s\n", env->name, __LINE__, engineName);
        return -1;
    }
    pthread_mutex_lock(&codec_mutex);
    int rc = codec == VIDEO_CODEC_JPEG ? setup_jpeg(env) : setup_video(env);
    pthread_mutex_unlock(&codec_mutex);
    return rc;
}

// --- capture hand-off ---

namespace {

// The capture fills a buffer in the size and colour space it is tagged with.
void tag_for_encoder(VideoEnv *env, Buffer_Handle frame, ColorSpace_Type cs)
{
    BufferGfx_setColorSpace(frame, cs);
    BufferGfx_Dimensions dim{0, 0, env->width, env->height, env->lineLength};
    BufferGfx_setDimensions(frame, &dim);
}

} // namespace

void capture_setformat(VideoEnv *env, int mode)
{
    ColorSpace_Type cs;
    if (mode == StreamMode_UYVY) {
        cs = ColorSpace_UYVY;
    } else if (mode == StreamMode_NV12) {
        cs = ColorSpace_YUV420PSEMI;
    } else {
        log_printf("unhandled colorspace mode=%x\n", (unsigned)mode);
        return;
    }
    log_printf("%s: CaptureOutFifo=%d CaptureInFifo=%d\n", env->name, Fifo_getNumEntries(env->hFromCapture),
               Fifo_getNumEntries(env->hToCapture));
    for (int n = Fifo_getNumEntries(env->hFromCapture); n > 0; n--) {
        void *p = nullptr;
        if (Fifo_get(env->hFromCapture, &p) != 0) {
            log_printf("%s: Fifo_get capture out fifo failed\n", env->name);
            return;
        }
        FrameMessage *m = static_cast<FrameMessage *>(p);
        if (m && m->frame) {
            tag_for_encoder(env, m->frame, cs);
            log_printf("set format on buffer %d, %ldx%ld (%ld) %s\n", Buffer_getId(m->frame), (long)env->width,
                       (long)env->height, (long)env->lineLength, cs == ColorSpace_UYVY ? "UYVY" : "NV12");
        }
        Fifo_put(env->hToCapture, p);
    }
}

namespace {

enum PictureWait { PICTURE_GOT, PICTURE_STOP, PICTURE_FAILED };

// Waits for the next picture from capture in short steps, so a stop or quit is seen even when
// capture hands nothing over.
PictureWait next_picture(VideoEnv *env, FrameMessage **msg)
{
    int fd = Fifo_getFd(env->hFromCapture);
    for (;;) {
        if (quit_requested() || stream_stop_pending(&env->runState))
            return PICTURE_STOP;
        void *p = nullptr;
        int rc = Fifo_get_nonblocking(env->hFromCapture, &p);
        if (rc != 0) {
            log_printf("%s: Fifo_get capture out fifo failed\n", env->name);
            return PICTURE_FAILED;
        }
        if (p) {
            *msg = static_cast<FrameMessage *>(p);
            return PICTURE_GOT;
        }
        pollfd pfd{fd, POLLIN, 0};
        poll(&pfd, 1, PICTURE_WAIT_MS);
    }
}

void give_back(VideoEnv *env, FrameMessage *msg)
{
    Fifo_put(env->hToCapture, msg);
}

// A buffer still tagged for the channel's previous mode (it was on its way back to the capture
// when the mode changed) is retagged, or the capture keeps filling it in the old format.
void give_back_retagged(VideoEnv *env, FrameMessage *msg)
{
    tag_for_encoder(env, msg->frame, env->colorFormat == FOURCC_UYVY ? ColorSpace_UYVY : ColorSpace_YUV420PSEMI);
    give_back(env, msg);
}

// A picture we can read as asked: the capture tags it with what we set in capture_setformat.
bool picture_usable(VideoEnv *env, Buffer_Handle frame, size_t needed)
{
    BufferGfx_Dimensions dim;
    BufferGfx_getDimensions(frame, &dim);
    ColorSpace_Type want = env->colorFormat == FOURCC_UYVY ? ColorSpace_UYVY : ColorSpace_YUV420PSEMI;
    return BufferGfx_getColorSpace(frame) == want && dim.width == env->width && dim.height == env->height &&
           dim.lineLength == env->lineLength && Buffer_getSize(frame) >= needed && Buffer_getUserPtr(frame);
}

// Counts pictures; true for the one that is encoded. The capture thread already hands this
// channel one picture in Video[n].FrameRate: only a decimation beyond that one is ours.
bool decimation_take(VideoEnv *env, int *count)
{
    int captured = video_settings(env).FrameRate;
    if (captured < 1)
        captured = 1;
    int d = video_get_decimate(env) / captured;
    if (++*count < d)
        return false;
    *count = 0;
    return true;
}

bool paused(VideoEnv *env, FrameMessage *msg, uint32_t *lastTs)
{
    pthread_mutex_lock(&env->lock);
    int p = env->pause;
    pthread_mutex_unlock(&env->lock);
    if (!p)
        return false;
    stream_queue_add_time_offset(&env->queue, (int32_t)ts_diff(msg->timestamp, *lastTs));
    *lastTs = msg->timestamp;
    return true;
}

bool take_settings_changed(VideoEnv *env)
{
    pthread_mutex_lock(&env->lock);
    int c = env->settingsChanged;
    env->settingsChanged = 0;
    pthread_mutex_unlock(&env->lock);
    return c != 0;
}

// The first MPEG-4 output carries VOS/VOL; it is kept and put in front of every later I-VOP,
// so a consumer joining at any I-VOP can decode.
uint32_t mpeg4_header_fixup(VideoEnv *env, uint8_t *out, uint32_t len)
{
    if (len <= 4)
        return len;
    static const uint8_t vos[4] = {0, 0, 1, 0xb0};
    if (env->mpeg4HeaderLen == 0 && memcmp(out, vos, 4) == 0) {
        uint32_t k = (uint32_t)annexb_find_code(out, len, 0, 0xb6);
        if (k + 4 > len || k > sizeof env->mpeg4Header)
            log_printf("%s: MPEG-4 header of %u bytes not kept\n", env->name, k);
        else {
            memcpy(env->mpeg4Header, out, k);
            env->mpeg4HeaderLen = (int)k;
        }
        return len;
    }
    if (env->mpeg4HeaderLen > 0 && out[0] == 0 && out[1] == 0 && out[2] == 1 && out[3] == 0xb6 && out[4] < 64) {
        memmove(out + env->mpeg4HeaderLen, out, len);
        memcpy(out, env->mpeg4Header, env->mpeg4HeaderLen);
        return len + env->mpeg4HeaderLen;
    }
    return len;
}

int video_encoder_main_loop(VideoEnv *env)
{
    bool h264 = env->videoCodec == VIDEO_CODEC_H264;
    if (env->colorFormat != FOURCC_NV12) {
        log_printf("%s: invalid pixelformat %x for format %d\n", env->name, env->colorFormat, env->videoCodec);
        return -1;
    }
    if (!h264 && env->videoCodec != VIDEO_CODEC_MPEG4) {
        log_printf("%s: invalid format %d\n", env->name, env->videoCodec);
        return -1;
    }
    log_printf("%s: idx=%d snapshot=%d\n", env->name, env->channel, env->snapshot);
    size_t luma = (size_t)env->lineLength * env->height;
    size_t chromaOffset = env->interlacedEncoding ? luma / 2 : luma;
    size_t needed = luma + luma / 2;
    // MPEG-4 I-VOPs grow by the kept header after encoding; reserve room for it.
    uint32_t reserve = (uint32_t)env->maxEncodedSize + (h264 ? 0 : sizeof env->mpeg4Header);
    int count = 0;
    uint32_t lastTs = 0;
    bool warned = false;
    for (;;) {
        FrameMessage *msg = nullptr;
        PictureWait w = next_picture(env, &msg);
        if (w == PICTURE_STOP)
            return 0;
        if (w == PICTURE_FAILED)
            return -1;
        if (!msg->frame) {
            give_back(env, msg);
            continue;
        }
        if (paused(env, msg, &lastTs) || !decimation_take(env, &count)) {
            give_back(env, msg);
            continue;
        }
        lastTs = msg->timestamp;
        if (!picture_usable(env, msg->frame, needed)) {
            if (!warned)
                log_printf("%s: picture not in the format set, skipped\n", env->name);
            warned = true;
            give_back_retagged(env, msg);
            continue;
        }
        env->timestamp = msg->timestamp;
        int off = ringbuffer_preallocate(&env->queue, reserve);
        if (off < 0) {
            give_back(env, msg);
            continue;
        }
        uint8_t *pic = Buffer_getUserPtr(msg->frame);
        IVIDEO1_BufDescIn in{};
        in.numBufs = 2;
        in.frameWidth = env->width;
        in.frameHeight = env->height;
        in.framePitch = env->lineLength;
        in.bufDesc[0] = {pic, (XDAS_Int32)luma, 0};
        in.bufDesc[1] = {pic + chromaOffset, (XDAS_Int32)(luma / 2), 0};
        uint8_t *outPtrs[2] = {env->queue.data + off, Buffer_getUserPtr(env->hSideBuf)};
        XDAS_Int32 outSizes[2] = {env->maxEncodedSize, SIDE_BUF_SIZE};
        XDM_BufDesc out{outPtrs, 2, outSizes};
        VIDENC1_InArgs inArgs{sizeof inArgs, 1, 1};
        VIDENC1_OutArgs outArgs{};
        outArgs.size = sizeof outArgs;

        pthread_mutex_lock(&codec_mutex);
        if (take_settings_changed(env) && env->dynParams) {
            VIDENC1_DynamicParams *d = static_cast<VIDENC1_DynamicParams *>(env->dynParams);
            pthread_mutex_lock(&env->lock);
            d->targetBitRate = env->bitRate;
            pthread_mutex_unlock(&env->lock);
            if (h264) {
                IH264VENC_DynamicParams *hd = static_cast<IH264VENC_DynamicParams *>(env->dynParams);
                log_printf("bitrate=%ld intraFrameQP=%ld interPFrameQP=%ld rcQ=%ld:%ld I=%ld:%ld\n",
                           (long)d->targetBitRate, (long)hd->intraFrameQP, (long)hd->interPFrameQP, (long)hd->rcQMin,
                           (long)hd->rcQMax, (long)hd->rcQMinI, (long)hd->rcQMaxI);
            }
            VIDENC1_Status st{};
            st.size = sizeof st;
            if (VIDENC1_control(env->codec, XDM_SETPARAMS, d, &st) != XDM_EOK)
                log_printf("%s %d: XDM_SETPARAMS failed, status=%d extendedError=%x %s\n", env->name, __LINE__, -1,
                           (unsigned)st.extendedError,
                           h264 ? h264_error_name(st.extendedError) : mpeg4_error_name(st.extendedError));
        }
        int rc = VIDENC1_process(env->codec, &in, &out, &inArgs, &outArgs);
        pthread_mutex_unlock(&codec_mutex);
        env->lastStatus = rc;

        if (rc != XDM_EOK) {
            log_printf("VIDENC1_process() failed with error (%d ext: 0x%x %s)\n", rc, (unsigned)outArgs.extendedError,
                       h264 ? h264_error_name(outArgs.extendedError) : mpeg4_error_name(outArgs.extendedError));
            if (h264) {
                log_printf("inArgs: size=%ld inputID=%ld topFieldFirstFlag=%ld timeStamp=%ld insertUserData=%ld "
                           "lengthUserData=%ld numOutputDataUnits=%ld\n",
                           (long)inArgs.size, (long)inArgs.inputID, (long)inArgs.topFieldFirstFlag, 0L, 0L, 0L, 0L);
            }
            char bufs[LOG_LINE_MAX + 1];
            int used = 0;
            for (int i = 0; i < out.numBufs && used < (int)sizeof bufs; i++)
                used += snprintf(bufs + used, sizeof bufs - used, " %p,%ld", (void *)out.bufs[i], (long)out.bufSizes[i]);
            bufs[used < (int)sizeof bufs ? used : 0] = 0;
            log_printf("outBufs: %ld%s\n", (long)out.numBufs, bufs);
        } else {
            uint32_t len = (uint32_t)outArgs.bytesGenerated;
            if (!h264)
                len = mpeg4_header_fixup(env, env->queue.data + off, len);
            bool key = outArgs.encodedFrameType == IVIDEO_I_FRAME || outArgs.encodedFrameType == IVIDEO_IDR_FRAME;
            uint32_t ts = msg->timestamp - (uint32_t)stream_queue_get_time_offset(&env->queue);
            if (ringbuffer_put(&env->queue, len, ts, key ? (uint32_t)RB_FLAG_KEYFRAME : 0u) == 0)
                env->totalBytes += len;
        }
        env->frameCount++;
        give_back(env, msg);
    }
}

} // namespace

// Encodes one picture as JPEG into the ring, lowering the quality (never below the floor) while
// the result does not fit. Returns the length put, 0 when nothing was put.
uint32_t jpeg_encode_picture(VideoEnv *env, FrameMessage *msg)
{
    bool uyvy = env->colorFormat == FOURCC_UYVY;
    size_t plane = (size_t)env->lineLength * env->height;
    int off = ringbuffer_preallocate(&env->queue, (uint32_t)env->maxEncodedSize);
    if (off < 0)
        return 0;
    uint8_t *pic = Buffer_getUserPtr(msg->frame);
    XDM1_BufDesc in{};
    in.numBufs = uyvy ? 1 : 2;
    in.descs[0] = {pic, (XDAS_Int32)plane, 0};
    if (!uyvy)
        in.descs[1] = {pic + plane, (XDAS_Int32)(plane / 2), 0};
    XDM1_BufDesc out{};
    out.numBufs = 1;
    out.descs[0] = {env->queue.data + off, env->maxEncodedSize, 0};
    IMGENC1_InArgs inArgs{sizeof inArgs};
    int badOutputs = 0;
    for (;;) {
        IMGENC1_OutArgs outArgs{};
        outArgs.size = sizeof outArgs;
        pthread_mutex_lock(&codec_mutex);
        pthread_mutex_lock(&jpeg_codec_mutex);
        if (take_settings_changed(env)) {
            pthread_mutex_lock(&env->lock);
            int q = env->jpegQuality;
            pthread_mutex_unlock(&env->lock);
            q = q < JPEG_QUALITY_MIN ? JPEG_QUALITY_MIN : q > JPEG_QUALITY_MAX ? JPEG_QUALITY_MAX : q;
            env->jpegParams.imgencDynamicParams.qValue = q;
            log_printf("JPEG quality = %ld\n", (long)q);
            IMGENC1_Status st{};
            st.size = sizeof st;
            if (IMGENC1_control(env->jpeg, XDM_SETPARAMS, &env->jpegParams.imgencDynamicParams, &st) != XDM_EOK)
                log_printf("%s %d: XDM_SETPARAMS failed, status=%d\n", env->name, __LINE__, -1);
        }
        int rc = IMGENC1_process(env->jpeg, &in, &out, &inArgs, &outArgs);
        pthread_mutex_unlock(&jpeg_codec_mutex);
        pthread_mutex_unlock(&codec_mutex);
        env->lastStatus = rc;
        int n = outArgs.bytesGenerated;
        IMGENC1_DynamicParams &d = env->jpegParams.imgencDynamicParams;
        if (n > env->maxEncodedSize && !quit_requested()) {
            if (d.qValue <= JPEG_QUALITY_MIN) {
                log_printf("%s: jpeg bytesGenerated=%d at the lowest quality %d, picture dropped\n", env->name, n,
                           (int)d.qValue);
                return 0;
            }
            d.qValue = d.qValue - JPEG_QUALITY_STEP < JPEG_QUALITY_MIN ? JPEG_QUALITY_MIN : d.qValue - JPEG_QUALITY_STEP;
            pthread_mutex_lock(&env->lock);
            env->jpegQuality = d.qValue;
            pthread_mutex_unlock(&env->lock);
            log_printf("%s: jpeg bytesGenerated=%d new JPEGQuality=%d ext=0x%x\n", env->name, n, (int)d.qValue,
                       (unsigned)outArgs.extendedError);
            pthread_mutex_lock(&codec_mutex);
            pthread_mutex_lock(&jpeg_codec_mutex);
            jpeg_apply(env);
            pthread_mutex_unlock(&jpeg_codec_mutex);
            pthread_mutex_unlock(&codec_mutex);
            continue;
        }
        if (rc != XDM_EOK) {
            log_printf("IMGENC1_process() failed with error (%d ext: 0x%x)\n", rc, (unsigned)outArgs.extendedError);
            return 0;
        }
        const uint8_t *j = env->queue.data + off;
        if (n < 4 || j[0] != 0xff || j[1] != 0xd8 || j[n - 2] != 0xff || j[n - 1] != 0xd9) {
            log_printf("%s: jpeg bytesGenerated=%d  %02x %02x  %02x %02x qValue=%d ext=0x%x\n", env->name, n,
                       n > 1 ? j[0] : 0, n > 1 ? j[1] : 0, n > 1 ? j[n - 2] : 0, n > 1 ? j[n - 1] : 0, (int)d.qValue,
                       (unsigned)outArgs.extendedError);
            if (++badOutputs >= JPEG_BAD_RETRIES || quit_requested())
                return 0;
            continue;
        }
        uint32_t ts = msg->timestamp - (uint32_t)stream_queue_get_time_offset(&env->queue);
        if (ringbuffer_put(&env->queue, (uint32_t)n, ts, RB_FLAG_KEYFRAME) != 0)
            return 0;
        return (uint32_t)n;
    }
}

namespace {

int image_encoder_main_loop(VideoEnv *env)
{
    bool uyvy = env->colorFormat == FOURCC_UYVY;
    const char *aspect = env->aspectRatio == 0 ? "None" : env->aspectRatio == 1 ? "4:3"
                         : env->aspectRatio == 2 ? "16:9" : "err";
    const IMGENC1_DynamicParams &d = env->jpegParams.imgencDynamicParams;
    log_printf("%ldx%ld %s q=%ld in %ld %ld out %ld\n", (long)env->width, (long)env->height,
               d.inputChromaFormat == XDM_YUV_420SP ? "420SP" : "UYVY", (long)d.qValue, (long)env->inBufSize[0],
               (long)env->inBufSize[1], (long)env->maxEncodedSize);
    log_printf("%s: start idx=%d %s\n", env->name, env->channel, aspect);
    size_t plane = (size_t)env->lineLength * env->height;
    size_t needed = uyvy ? plane : plane + plane / 2;
    int count = 0;
    uint32_t lastTs = 0;
    bool warned = false;
    for (;;) {
        FrameMessage *msg = nullptr;
        PictureWait w = next_picture(env, &msg);
        if (w == PICTURE_STOP)
            return 0;
        if (w == PICTURE_FAILED)
            return -1;
        if (!msg->frame) {
            give_back(env, msg);
            continue;
        }
        // A slow encoder must not fall further behind: old pictures are not worth encoding.
        if ((int32_t)ts_diff(hw_clock_90khz(), msg->timestamp) > JPEG_MAX_AGE || paused(env, msg, &lastTs) ||
            !decimation_take(env, &count)) {
            give_back(env, msg);
            continue;
        }
        lastTs = msg->timestamp;
        if (!picture_usable(env, msg->frame, needed)) {
            if (!warned)
                log_printf("%s: picture not in the format set, skipped\n", env->name);
            warned = true;
            give_back_retagged(env, msg);
            continue;
        }
        env->timestamp = msg->timestamp;
        uint32_t n = jpeg_encode_picture(env, msg);
        env->totalBytes += n;
        env->frameCount++;
        give_back(env, msg);
    }
}

// Raw modes have no encoder: nothing to do until the stream stops, but without spinning.
void raw_mode_idle(VideoEnv *env)
{
    while (!quit_requested() && !stream_stop_pending(&env->runState))
        quit_wait(PICTURE_WAIT_MS);
}

void video_thread_cleanup(VideoEnv *env)
{
    pthread_mutex_lock(&codec_mutex);
    close_video_codec(env);
    if (env->jpeg) {
        pthread_mutex_lock(&jpeg_codec_mutex);
        IMGENC1_delete(env->jpeg);
        env->jpeg = nullptr;
        pthread_mutex_unlock(&jpeg_codec_mutex);
    }
    pthread_mutex_unlock(&codec_mutex);
    free(env->dynParams);
    env->dynParams = nullptr;
    if (env->hSideBuf)
        Buffer_delete(env->hSideBuf);
    env->hSideBuf = nullptr;
    // The queue stays registered for consumers still holding it; its data area stays too.
    if (env->engine)
        Engine_close(env->engine);
    env->engine = nullptr;
}

} // namespace

int is_keyframe(const uint8_t *data, int videoCodec, size_t length)
{
    auto at = [&](size_t i, std::initializer_list<uint8_t> bytes) {
        if (i + bytes.size() > length)
            return false;
        for (uint8_t b : bytes) {
            if (data[i++] != b)
                return false;
        }
        return true;
    };
    if (videoCodec == VIDEO_CODEC_H264) {
        size_t i = 0;
        if (at(0, {0, 0, 0, 1}) && length > 4 && (data[4] & 0x1f) == 9)
            i = 6;      // access unit delimiter
        if (!at(i, {0, 0, 0, 1}) || i + 4 >= length)
            return 0;
        int type = data[i + 4] & 0x1f;
        return type == 5 || type == 7;
    }
    if (videoCodec == VIDEO_CODEC_MPEG4 || videoCodec == StreamMode_16) {
        size_t i = 0;
        if (at(i, {0, 0, 1, 0xb0}))
            i += 5;
        if (at(i, {0, 0, 1, 0xb5}))
            i += 6;
        if (at(i, {0, 0, 1, 0x00, 0, 0, 1}) && i + 7 < length && (data[i + 7] & 0xf0) == 0x20) {
            // the VOL runs up to the next start code
            i += 8;
            while (i + 3 <= length && !at(i, {0, 0, 1}))
                i++;
        }
        return at(i, {0, 0, 1, 0xb6}) && i + 4 < length && data[i + 4] < 64;
    }
    return 1;
}

void *videoThrFxn(void *arg)
{
    VideoEnv *env = static_cast<VideoEnv *>(arg);
    thread_init_begin(env->name);
    register_thread_cpu_clock(env->name);
    env->maxWidth = 800;
    env->maxHeight = 600;
    env->maxEncodedSize = -1;
    log_printf("%s: starting up\n", env->name);
    Engine_Error ec = Engine_EOK;
    env->engine = Engine_open(env->engineName, nullptr, &ec);
    if (!env->engine) {
        log_printf("%s %d: Failed to open codec engine %s\n", env->name, __LINE__, env->engineName);
        env->status = -1;
    }
    bool registered = false;
    if (!env->hDataBuf)
        env->hDataBuf = Buffer_create(VIDEO_QUEUE_BYTES, &Buffer_Attrs_DEFAULT);
    env->hSideBuf = Buffer_create(SIDE_BUF_SIZE, &Buffer_Attrs_DEFAULT);
    if (!env->hDataBuf || !env->hSideBuf) {
        log_printf("%s %d: Failed to allocate buffers %s\n", env->name, __LINE__, env->engineName);
        env->status = -1;
    } else {
        log_printf("%s: buffer size %d\n", env->name, VIDEO_QUEUE_BYTES);
        stream_register(&env->runState, &env->queue, env->channel + 1);
        ringbuffer_init(&env->queue, env->hDataBuf, VIDEO_QUEUE_ENTRIES, VIDEO_QUEUE_ALIGN);
        registered = true;
    }
    thread_init_end(env->name);
    rendezvous_meet(env->hRendezvousInit, env->name);

    while (registered && !quit_requested()) {
        env->status = 0;
        if (!stream_wait_start(&env->runState)) {
            log_printf("%s not started\n", env->name);
            continue;
        }
        env->status = 1;
        getVideoParameters(env);
        env->totalBytes = 0;
        env->frameCount = 0;
        env->mpeg4HeaderLen = 0;
        pthread_mutex_lock(&env->queue.mutex);
        env->queue.time_offset = 0;
        pthread_mutex_unlock(&env->queue.mutex);
        pthread_mutex_lock(&codec_mutex);
        if (env->recreate) {
            close_video_codec(env);
            env->recreate = 0;
        }
        pthread_mutex_unlock(&codec_mutex);

        uint64_t start = now_us();
        int rc = setup_encoder(env, env->engineName);
        if (rc == 0) {
            int codec = env->videoCodec;
            if (codec == VIDEO_CODEC_JPEG) {
                capture_setformat(env, env->colorFormat == FOURCC_UYVY ? StreamMode_UYVY : StreamMode_NV12);
                rc = image_encoder_main_loop(env);
            } else if (codec == VIDEO_CODEC_H264 || codec == VIDEO_CODEC_MPEG4) {
                capture_setformat(env, StreamMode_NV12);
                rc = video_encoder_main_loop(env);
            } else {
                raw_mode_idle(env);
            }
        }
        // A stream whose encoder cannot run is stopped, so its consumers see the end rather
        // than the thread spinning on a start it cannot serve.
        if (rc < 0 && !quit_requested()) {
            env->status = -1;
            stream_set_state(&env->runState, STREAM_STOP);
        }
        double secs = (now_us() - start) / 1e6;
        if (secs <= 0)
            secs = 1e-6;
        log_printf("%s: stopped %g fps, %g kbps\n", env->name, env->frameCount / secs,
                   env->totalBytes * 8 / 1024.0 / secs);
        log_printf("%s: snapshot=%d\n", "videoThrFxn", env->snapshot);
        ringbuffer_put(&env->queue, 0, 0, 0);
        log_printf("%s: fully stopped\n", env->name);
    }

    video_thread_cleanup(env);
    myRendezvousCleanup(env->hRendezvousCleanup, env->name);
    return nullptr;
}
