// The transport-stream and FLV writers behind the consumer's muxing seam.
#include "streams/flv.h"
#include "streams/stream_mux.h"
#include "streams/tsmux.h"

namespace {

void *ts_create(const StreamMuxSetup *s)
{
    TsContext *c = tsmux_new();
    if (!c)
        return nullptr;
    uint8_t video = s->video_codec == 2 ? TS_TYPE_H264 : s->video_codec == 10 ? TS_TYPE_MPEG4_VIDEO : 0;
    int audio = s->audio_type == 1 ? TSMUX_AUDIO_AAC : s->audio_type == 3 ? TSMUX_AUDIO_PCM : TSMUX_AUDIO_NONE;
    tsmux_configure(c, video, audio);
    return c;
}

void ts_destroy(void *m)
{
    tsmux_free(static_cast<TsContext *>(m));
}

int ts_put_video(void *m, const StreamMuxFrame *f, uint8_t *out, uint32_t cap, uint32_t *used)
{
    TsContext *ts = static_cast<TsContext *>(m);
    // Only the PCR of this frame carries the flag.
    ts->discontinuity = f->discontinuity ? 1 : 0;
    int n = tsmux_write_video(ts, out + *used, cap - *used, f->data, f->length, f->pts, f->keyframe);
    ts->discontinuity = 0;
    if (n < 0)
        return -1;
    *used += n;
    return 0;
}

int ts_put_audio(void *m, const StreamMuxFrame *f, uint8_t *out, uint32_t cap, uint32_t *used)
{
    int n = tsmux_write_audio(static_cast<TsContext *>(m), out + *used, cap - *used, f->data, f->length, f->pts);
    if (n < 0)
        return -1;
    if (n == 0)
        return 1;   // not newer than the last audio frame
    *used += n;
    return 0;
}

void *flv_create(const StreamMuxSetup *s)
{
    FlvMuxer *m = flv_muxer_create();
    if (m)
        flv_muxer_configure(m, s->audio_type == 1);
    return m;
}

void flv_destroy(void *m)
{
    flv_muxer_free(static_cast<FlvMuxer *>(m));
}

int flv_put_video(void *m, const StreamMuxFrame *f, uint8_t *out, uint32_t cap, uint32_t *used)
{
    FlvMuxer *flv = static_cast<FlvMuxer *>(m);
    int h = 0;
    if (f->header && (h = flv_mux_start(flv, out + *used, cap - *used)) < 0)
        return -1;
    int n = flv_mux_video(flv, out + *used + h, cap - *used - h, f->data, f->length, f->pts, f->keyframe);
    if (n < 0)
        return -1;
    *used += h + n;
    return 0;
}

int flv_put_audio(void *m, const StreamMuxFrame *f, uint8_t *out, uint32_t cap, uint32_t *used)
{
    int n = flv_mux_audio(static_cast<FlvMuxer *>(m), out + *used, cap - *used, f->data, f->length, f->pts);
    if (n < 0)
        return -1;
    *used += n;
    return 0;
}

} // namespace

const StreamMuxOps ts_mux_ops = {ts_create, ts_destroy, ts_put_video, ts_put_audio, nullptr};
const StreamMuxOps flv_mux_ops = {flv_create, flv_destroy, flv_put_video, flv_put_audio, nullptr};
