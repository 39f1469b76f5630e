// The two video encoder threads: each waits for its stream to be started, encodes the pictures
// the capture thread hands it (H.264, MPEG-4 or JPEG) straight into its stream queue, and puts
// an end marker when the stream stops.
#pragma once
#include <cstddef>
#include <cstdint>

struct VideoEnv;
struct FrameMessage;

void *videoThrFxn(void *arg);

// Loads the channel's settings into the record: only by the record's own encoder thread.
void getVideoParameters(VideoEnv *env);
// The size channel `index` encodes at with the current settings; any thread, the encoder's
// record is left alone.
void get_video_size(int index, int *width, int *height);
// Creates or re-uses the codec and applies the parameters: 0 or -1.
int setup_encoder(VideoEnv *env, const char *engineName);
// Re-tags the pictures waiting from capture for stream mode 5 (UYVY) or 6 (NV12).
void capture_setformat(VideoEnv *env, int mode);
// Encodes the picture as JPEG into the queue; while it does not fit, the quality drops by 3
// down to 2, below which the picture is dropped. Returns the bytes put, 0 for none.
uint32_t jpeg_encode_picture(VideoEnv *env, FrameMessage *msg);
// Keyframe test of one encoded unit of the given video codec; nothing past `length` is read.
int is_keyframe(const uint8_t *data, int videoCodec, size_t length = SIZE_MAX);
void scale_to_fit(int *width, int *height);

// The codec's extended error code as the codec's own name.
const char *jpeg_error_name(int code);
const char *mpeg4_error_name(int code);
const char *h264_error_name(int code);

// Setters for other threads; the encoder reads these between pictures.
void video_set_decimate(VideoEnv *env, int value);
int video_get_decimate(VideoEnv *env);
// Caller holds codec_mutex (the VPSS reset does): the codec is re-created at the next start.
void video_request_recreate_locked(VideoEnv *env);

// Annex A level limits: the lowest level whose limits fit, 10 when none does.
int h264_needed_level(int width, int height, int interlaced, int framesPer1000s, int bitRate, int profile);
