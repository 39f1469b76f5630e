// A recorded clip standing in for the camera: the simulated decoder takes its pictures from any
// file libavformat reads, one decoded picture a captured frame, from the start again at the end.
// The test picture compresses to almost nothing; a clip with detail and grain makes the encoders
// work at the bit rates they are set to.
#include "platform/capture_sim.h"
#include "platform/platform_internal.h"

#include <cstring>
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

struct CaptureClip {
    AVFormatContext *fmt;
    AVCodecContext *dec;
    AVPacket *pkt;
    AVFrame *frame;
    SwsContext *sws;
    int stream;
};

namespace {

void clip_free(CaptureClip *c)
{
    sws_freeContext(c->sws);
    av_frame_free(&c->frame);
    av_packet_free(&c->pkt);
    avcodec_free_context(&c->dec);
    avformat_close_input(&c->fmt);
    delete c;
}

struct ClipDeleter {
    void operator()(CaptureClip *c) const { clip_free(c); }
};

// The next picture of the stream into c->frame; 0 got one, AVERROR_EOF at the end, <0 error.
int clip_decode(CaptureClip *c)
{
    for (;;) {
        int r = avcodec_receive_frame(c->dec, c->frame);
        if (r != AVERROR(EAGAIN))
            return r;
        r = av_read_frame(c->fmt, c->pkt);
        if (r == AVERROR_EOF) {
            avcodec_send_packet(c->dec, nullptr);
            continue;
        }
        if (r < 0)
            return r;
        if (c->pkt->stream_index == c->stream)
            r = avcodec_send_packet(c->dec, c->pkt);
        av_packet_unref(c->pkt);
        if (r < 0 && r != AVERROR(EAGAIN) && r != AVERROR_INVALIDDATA)
            return r;
    }
}

int clip_rewind(CaptureClip *c)
{
    if (av_seek_frame(c->fmt, c->stream, 0, AVSEEK_FLAG_BACKWARD) < 0 &&
        avformat_seek_file(c->fmt, -1, INT64_MIN, 0, 0, 0) < 0)
        return -1;
    avcodec_flush_buffers(c->dec);
    return 0;
}

} // namespace

CaptureClip *capture_clip_open(const char *path)
{
    std::unique_ptr<CaptureClip, ClipDeleter> c(new CaptureClip{});
    if (avformat_open_input(&c->fmt, path, nullptr, nullptr) < 0) {
        platform_log("capture clip %s: cannot open\n", path);
        return nullptr;
    }
    if (avformat_find_stream_info(c->fmt, nullptr) < 0) {
        platform_log("capture clip %s: no stream information\n", path);
        return nullptr;
    }
    const AVCodec *codec = nullptr;
    c->stream = av_find_best_stream(c->fmt, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
    if (c->stream < 0 || !codec) {
        platform_log("capture clip %s: no video stream\n", path);
        return nullptr;
    }
    c->dec = avcodec_alloc_context3(codec);
    c->pkt = av_packet_alloc();
    c->frame = av_frame_alloc();
    if (!c->dec || !c->pkt || !c->frame ||
        avcodec_parameters_to_context(c->dec, c->fmt->streams[c->stream]->codecpar) < 0 ||
        avcodec_open2(c->dec, codec, nullptr) < 0) {
        platform_log("capture clip %s: cannot open its decoder\n", path);
        return nullptr;
    }
    if (clip_decode(c.get()) != 0 || clip_rewind(c.get()) != 0) {
        platform_log("capture clip %s: no picture\n", path);
        return nullptr;
    }
    return c.release();
}

int capture_clip_draw(CaptureClip *c, uint8_t *uyvy, int width, int height, int line)
{
    int r = clip_decode(c);
    if (r == AVERROR_EOF) {
        if (clip_rewind(c) != 0)
            return -1;
        r = clip_decode(c);
    }
    if (r != 0)
        return -1;
    AVFrame *f = c->frame;
    c->sws = sws_getCachedContext(c->sws, f->width, f->height, (AVPixelFormat)f->format, width, height,
                                  AV_PIX_FMT_UYVY422, SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (!c->sws)
        return -1;
    uint8_t *dst[4] = {uyvy, nullptr, nullptr, nullptr};
    int stride[4] = {line, 0, 0, 0};
    sws_scale(c->sws, f->data, f->linesize, 0, f->height, dst, stride);
    av_frame_unref(f);
    return 0;
}

void capture_clip_close(CaptureClip *c)
{
    if (c)
        clip_free(c);
}
