// Stream modes: one number per channel naming its video codec, its audio and the container a
// consumer receives.
#pragma once
#include <cstddef>
#include <cstdint>

struct ParamBlock;

enum StreamMode {
    StreamMode_H264_AAC_TS = 0,
    StreamMode_H264_TS = 1,
    StreamMode_H264_ES = 2,
    StreamMode_JPEG = 3,
    StreamMode_G711 = 4,
    StreamMode_UYVY = 5,
    StreamMode_NV12 = 6,
    StreamMode_Y8 = 7,
    StreamMode_MPEG4_AAC_TS = 8,
    StreamMode_MPEG4_TS = 9,
    StreamMode_MPEG4_ES = 10,
    StreamMode_MPEG4_AAC_MP4 = 11,
    StreamMode_MPEG4_MP4 = 12,
    StreamMode_H264_AAC_MP4 = 13,
    StreamMode_H264_MP4 = 14,
    StreamMode_H264_AAC_FLV = 15,
    StreamMode_16 = 16,
    StreamMode_Audio_AAC = 17,
    StreamMode_Audio_PCM = 18,
    StreamMode_MPEG4_PCM_TS = 19,
    StreamMode_H264_PCM_TS = 20,
    StreamMode_None = 255,
};

enum { VIDEO_CODEC_H264 = 2, VIDEO_CODEC_JPEG = 3, VIDEO_CODEC_MPEG4 = 10, VIDEO_CODEC_NONE = 255 };
enum { AUDIO_TYPE_NONE = 0, AUDIO_TYPE_AAC = 1, AUDIO_TYPE_PCM = 3 };

int stream_mode_mux_type(int mode);       // 0 elementary, 1 transport stream, 2 FLV, 3 MP4
int stream_mode_video_codec(int mode);
int stream_mode_audio_type(int mode);
const char *stream_mode_name(int mode);
// The mode with the given parts, StreamMode_None when there is none.
int stream_mode_build(int video_codec, int audio_type, int mux_type);

// A mode in the words of the Setup page's stream mode list ("MJPEG VES"): what people read.
const char *stream_mode_label(int mode);
// Whether a channel in `channel_mode` makes what a consumer of `row_mode` needs: the row's video
// codec; a row without video takes whatever the channel makes. When it doesn't and `why` is
// given, the reason for the log and the client goes there ("channel B is set to MJPEG VES; RTMP
// carries H.264"), naming the row as `row` ("RTMP"; null: "this stream"). `channel`: 0 for A,
// 1 for B.
bool stream_mode_serves(int channel, int channel_mode, int row_mode, const char *row, char *why, size_t size);

// Keeps both channels on channel a's video codec family after channel a's mode changed; the
// other channel's stream is restarted when its mode is overridden.
void check_h264_mpeg4_conflict(ParamBlock *p, int a);

// The channels' "Video[ch].StreamMode" settings.
int stream_mode_setting(const ParamBlock *p, int channel);
void stream_mode_setting_set(ParamBlock *p, int channel, int mode);
