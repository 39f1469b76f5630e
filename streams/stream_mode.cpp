#include "streams/stream_mode.h"

#include "core/log.h"
#include "core/param.h"
#include "streams/stream.h"

#include <cstdio>

namespace {

struct ModeInfo {
    const char *name;
    uint8_t mux;
    uint8_t video;
    uint8_t audio;
};

const ModeInfo modes[21] = {
    {"StreamMode_H264_AAC_TS", 1, 2, 1},   {"StreamMode_H264_TS", 1, 2, 0},
    {"StreamMode_H264_ES", 0, 2, 0},       {"StreamMode_JPEG", 0, 3, 0},
    {"StreamMode_G711", 0, 4, 0},          {"StreamMode_UYVY", 0, 5, 0},
    {"StreamMode_NV12", 0, 6, 0},          {"StreamMode_Y8", 0, 7, 0},
    {"StreamMode_MPEG4_AAC_TS", 1, 10, 1}, {"StreamMode_MPEG4_TS", 1, 10, 0},
    {"StreamMode_MPEG4_ES", 0, 10, 0},     {"StreamMode_MPEG4_AAC_MP4", 3, 10, 1},
    {"StreamMode_MPEG4_MP4", 3, 10, 0},    {"StreamMode_H264_AAC_MP4", 3, 2, 1},
    {"StreamMode_H264_MP4", 3, 2, 0},      {"StreamMode_H264_AAC_FLV", 2, 2, 1},
    {"unknown", 0, 16, 0},                 {"StreamMode_Audio_AAC", 0, 255, 1},
    {"StreamMode_Audio_PCM", 0, 255, 3},   {"StreamMode_MPEG4_PCM_TS", 1, 10, 3},
    {"StreamMode_H264_PCM_TS", 1, 2, 3},
};

bool known(int mode)
{
    return mode >= 0 && mode <= 20;
}

} // namespace

int stream_mode_mux_type(int mode)
{
    return known(mode) ? modes[mode].mux : 0;
}

int stream_mode_video_codec(int mode)
{
    return known(mode) ? modes[mode].video : mode;
}

int stream_mode_audio_type(int mode)
{
    return known(mode) ? modes[mode].audio : 0;
}

const char *stream_mode_name(int mode)
{
    if (mode == StreamMode_None)
        return "StreamMode_None";
    return known(mode) ? modes[mode].name : "unknown";
}

int stream_mode_build(int video_codec, int audio_type, int mux_type)
{
    switch (video_codec) {
    case 3:
    case 5:
    case 6:
    case 7:
    case 16:
        return (audio_type == 0 && mux_type == 0) ? video_codec : StreamMode_None;
    case VIDEO_CODEC_NONE:
        if (mux_type == 0 && audio_type == AUDIO_TYPE_AAC)
            return StreamMode_Audio_AAC;
        if (mux_type == 0 && audio_type == AUDIO_TYPE_PCM)
            return StreamMode_Audio_PCM;
        return StreamMode_None;
    case VIDEO_CODEC_H264:
    case VIDEO_CODEC_MPEG4:
        // The first 21 modes hold every H.264/MPEG-4 combination there is.
        for (int m = 0; m <= 20; m++)
            if (modes[m].video == video_codec && modes[m].audio == audio_type && modes[m].mux == mux_type)
                return m;
        return StreamMode_None;
    default:
        return StreamMode_None;
    }
}

const char *stream_mode_label(int mode)
{
    switch (mode) {
    case StreamMode_H264_AAC_TS:
        return "H.264+AAC MPEG-TS";
    case StreamMode_H264_TS:
        return "H.264 MPEG-TS";
    case StreamMode_H264_ES:
        return "H.264 VES";
    case StreamMode_MPEG4_AAC_TS:
        return "MPEG4+AAC MPEG-TS";
    case StreamMode_MPEG4_TS:
        return "MPEG4 MPEG-TS";
    case StreamMode_MPEG4_ES:
        return "MPEG4 VES";
    case StreamMode_JPEG:
        return "MJPEG VES";
    case StreamMode_H264_PCM_TS:
        return "H.264+PCM MPEG-TS";
    case StreamMode_MPEG4_PCM_TS:
        return "MPEG4+PCM MPEG-TS";
    case StreamMode_None:
        return "no stream";
    default:
        return "a mode of its own";
    }
}

bool stream_mode_serves(int channel, int channel_mode, int row_mode, const char *row, char *why, size_t size)
{
    int wanted = stream_mode_video_codec(row_mode);
    if (wanted == VIDEO_CODEC_NONE || stream_mode_video_codec(channel_mode) == wanted)
        return true;
    if (why && size)
        snprintf(why, size, "channel %c is set to %s; %s carries %s", 'A' + channel, stream_mode_label(channel_mode),
                 row ? row : "this stream",
                 wanted == VIDEO_CODEC_JPEG ? "JPEG pictures" : wanted == VIDEO_CODEC_MPEG4 ? "MPEG4" : "H.264");
    return false;
}

void check_h264_mpeg4_conflict(ParamBlock *p, int a)
{
    int b = 1 - a;
    int mode_a = stream_mode_setting(p, a);
    int mode_b = stream_mode_setting(p, b);
    log_printf("%s: Video[%d].StreamMode=%s test Video[%d].StreamMode=%s\n", "check_h264_mpeg4_conflict", a,
               stream_mode_name(mode_a), b, stream_mode_name(mode_b));
    int va = stream_mode_video_codec(mode_a);
    int vb = stream_mode_video_codec(mode_b);
    bool conflict = (va == VIDEO_CODEC_MPEG4 && vb == VIDEO_CODEC_H264) ||
                    (va == VIDEO_CODEC_H264 && vb == VIDEO_CODEC_MPEG4);
    if (!conflict)
        return;
    int mode = stream_mode_build(va, stream_mode_audio_type(mode_b), stream_mode_mux_type(mode_b));
    stream_mode_setting_set(p, b, mode);
    log_printf("%s: Video[%d].StreamMode=%s override Video[%d].StreamMode=%s\n", "check_h264_mpeg4_conflict", a,
               stream_mode_name(mode_a), b, stream_mode_name(mode));
    // The other encoder copies its mode at start: restart it so the conflict ends now, not at
    // its next start.
    if (__atomic_load_n(&stream_run_state_table[VIDEO_STREAM1 + b], __ATOMIC_ACQUIRE))
        stream_restart(VIDEO_STREAM1 + b);
}

int stream_mode_setting(const ParamBlock *p, int channel)
{
    return p->Video[channel & 1].StreamMode;
}

void stream_mode_setting_set(ParamBlock *p, int channel, int mode)
{
    p->Video[channel & 1].StreamMode = (uint8_t)mode;
}
