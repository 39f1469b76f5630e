#include "platform/codec_internal.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

extern "C" {
#include <libavutil/log.h>
}

struct Engine_Object {
    std::mutex lock;
    Engine_Error lastError;
};

namespace {

struct AlgName {
    const char *name;
    CodecAlgKind kind;
};
// Only what the board's "encode" engine is built with: no MPEG-2 decoder.
const AlgName engine_algs[] = {
    {"h264enc", CODEC_ALG_H264ENC},
    {"mpeg4enc", CODEC_ALG_MPEG4ENC},
    {"jpegenc", CODEC_ALG_JPEGENC},
    {"aacenc", CODEC_ALG_AACENC},
    {"h264dec", CODEC_ALG_H264DEC},
    {"mpeg4dec", CODEC_ALG_MPEG4DEC},
    {"jpegdec", CODEC_ALG_JPEGDEC},
    {"aacdec", CODEC_ALG_AACDEC},
};

} // namespace

Engine_Handle Engine_open(const char *name, const void *attrs, Engine_Error *ec)
{
    if (!name || strcmp(name, "encode") != 0) {
        if (ec)
            *ec = Engine_EEXIST;
        return nullptr;
    }
    Engine_Object *e = new (std::nothrow) Engine_Object();
    if (!e) {
        if (ec)
            *ec = Engine_ENOMEM;
        return nullptr;
    }
    e->lastError = Engine_EOK;
    codec_av_init();
    if (ec)
        *ec = Engine_EOK;
    return e;
}

void Engine_close(Engine_Handle e)
{
    delete e;
}

Engine_Error Engine_getLastError(Engine_Handle e)
{
    if (!e)
        return Engine_EINVAL;
    std::lock_guard<std::mutex> g(e->lock);
    return e->lastError;
}

void codec_engine_set_error(Engine_Handle e, Engine_Error err)
{
    if (!e)
        return;
    std::lock_guard<std::mutex> g(e->lock);
    e->lastError = err;
}

CodecAlgKind codec_engine_find(Engine_Handle e, const char *name)
{
    if (!e)
        return CODEC_ALG_NONE;
    if (name) {
        for (const AlgName &a : engine_algs) {
            if (strcmp(a.name, name) == 0)
                return a.kind;
        }
    }
    codec_engine_set_error(e, Engine_ENOTFOUND);
    return CODEC_ALG_NONE;
}

void codec_av_init()
{
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_ERROR); });
}

AVRational codec_time_base(int framesPer1000s)
{
    if (framesPer1000s % 1000 == 0)
        return AVRational{1, framesPer1000s / 1000};
    // 29970 and 59940 are the 1000/1001 rates; anything else is taken literally.
    long long k = (framesPer1000s * 1001LL + 500) / 1000;
    if (k % 1000 == 0 && llabs(k * 1000 / 1001 - framesPer1000s) <= 1)
        return AVRational{1001, (int)k};
    AVRational r{1000, framesPer1000s};
    av_reduce(&r.num, &r.den, r.num, r.den, 1 << 30);
    return r;
}
