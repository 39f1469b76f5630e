// MP4 (ISO base media) writer and buffered reader over one handle type.
// Failures set a sticky error code on the handle; callers poll mp4_has_error / mp4_get_error.
#pragma once
#include <cstdint>
#include <cstdio>

#define MP4_FOURCC(a, b, c, d) \
    ((uint32_t)(uint8_t)(a) << 24 | (uint32_t)(uint8_t)(b) << 16 | (uint32_t)(uint8_t)(c) << 8 | (uint32_t)(uint8_t)(d))

enum {
    MP4_ERR_NONE = 0,
    MP4_ERR_SEEK = 1,
    MP4_ERR_NOMEM = 2,
    MP4_ERR_BAD_INPUT = 3,
    MP4_ERR_NULL_BOX = 4,
    MP4_ERR_RECURSION = 5,
    MP4_ERR_OVERFLOW = 6,
    MP4_ERR_REMUX = 7,
    MP4_ERR_WRITE = 8,
    MP4_ERR_MAX_SIZE = 9,
    MP4_ERR_OPEN = 10,
    MP4_ERR_DURATION = 11,
};

struct mp4_muxer;

// Writer
mp4_muxer *mp4_new();
void mp4_set_file(mp4_muxer *m, FILE *f);
void mp4_set_interleave(mp4_muxer *m, uint32_t period_ticks);
void mp4_set_max_size(mp4_muxer *m, uint64_t bytes);
uint32_t mp4_video_track_create(mp4_muxer *m, uint32_t fourcc, uint32_t timescale, uint32_t duration,
                                int edit, uint32_t width, uint32_t height, uint8_t profile, uint8_t level);
uint32_t mp4_audio_track_create(mp4_muxer *m, uint32_t fourcc, uint32_t timescale, uint32_t duration,
                                int edit, uint32_t sample_rate, uint32_t channels);
int mp4_write_track(mp4_muxer *m, uint32_t id, const uint8_t *data, uint32_t len, uint32_t duration);
int mp4_set_parameter_data(mp4_muxer *m, const uint8_t *data, uint32_t len);
int mp4_buf_put(mp4_muxer *m, uint8_t *buf, uint32_t size);
uint32_t mp4_buf_drain(mp4_muxer *m);
int mp4_finish(mp4_muxer *m);
void mp4_delete(mp4_muxer *m);
int mp4_get_error(const mp4_muxer *m);
int mp4_has_error(const mp4_muxer *m);
const char *mp4_strerror(const mp4_muxer *m);
void mp4_set_compressor_name(const char *name);

// Small setters
int mp4_open_file(mp4_muxer *m, const char *path);
void mp4_set_fd(mp4_muxer *m, int fd);
void mp4_set_verbose(mp4_muxer *m, int on);
void mp4_set_error(mp4_muxer *m, int code);
int mp4_check_complete(mp4_muxer *m);

// Buffered reader (the decoder's MP4 stream input)
mp4_muxer *mp4_new_reader();
int mp4_get_mdat(mp4_muxer *m, const uint8_t **payload, uint32_t *len);
uint32_t mp4_get_fourcc(mp4_muxer *m, uint32_t track_id);
uint32_t mp4_get_config_length(mp4_muxer *m);
int mp4_get_parameter_data(mp4_muxer *m, uint8_t *dst);
uint64_t mp4_track_advance_ts(mp4_muxer *m, uint32_t track_id);
uint32_t mp4_track_duration(mp4_muxer *m, uint32_t track_id);
uint32_t mp4_get_samplerate(mp4_muxer *m, uint32_t track_id);
uint32_t mp4_get_timescale(mp4_muxer *m, uint32_t track_id);
