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
// The buffer attached is the last of the stream (the sender closed): a box of size 0 runs to its end.
void mp4_buf_last(mp4_muxer *m);
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

// Writer extras: none of the live paths use them.
mp4_muxer *mp4_new_qt();   // QuickTime flavour: brand "qt  ", wide placeholders, alias data handler
void mp4_set_mirror_file(mp4_muxer *m, FILE *f);   // receives a copy of every byte written
// Called after each sample written in file mode (file flushed first) and for each sample the
// player delivers. flags: 1 sync sample, 2 the track has no sync table.
typedef void (*mp4_sample_fn)(void *user, uint64_t offset, uint64_t time, uint32_t len, int flags);
void mp4_set_sample_callback(mp4_muxer *m, mp4_sample_fn fn, void *user);
// A moov reserved right after ftyp and rewritten every interval, so a recording cut short
// still plays up to the last rewrite.
void mp4_set_moov_reserve(mp4_muxer *m, uint32_t bytes, uint32_t interval_ticks);
void mp4_set_moov_max_duration(mp4_muxer *m, uint32_t max_minutes, uint32_t interval_seconds);
// 1 once a reserved moov is no longer rewritten (it outgrew the reserve): from then on a cut
// file plays only up to the last rewrite.
int mp4_moov_rewrites_stopped(const mp4_muxer *m);
uint32_t mp4_mpeg_audio_track_create(mp4_muxer *m, uint32_t timescale, uint32_t duration, int edit,
                                     uint32_t sample_rate, uint32_t channels);
// palette: 16 entries 0x00YYCrCb, as a DVD subpicture stream carries them
uint32_t mp4_subpicture_track_create(mp4_muxer *m, uint32_t timescale, uint32_t duration,
                                     const uint32_t palette[16]);
int write_skip(mp4_muxer *m, uint32_t payload_len);

// Whole-file player (reader over a file stream). mp4_play and mp4_play_reverse return 0 when
// samples were delivered, 1 at the end, -1 on error; every sample goes to the sample callback.
int mp4_read_until_moov(mp4_muxer *m);
int mp4_play(mp4_muxer *m);
int mp4_play_reverse(mp4_muxer *m);
int mp4_seek(mp4_muxer *m, uint64_t time);

// Remuxing a fragmented file into a plain one. The setters reach the child of a remux handle,
// so `other` is the stream they cannot name: the input of a defrag reader, the output of a
// remux writer. Finish the handle with mp4_finish afterwards.
mp4_muxer *mp4_new_remux_writer();
mp4_muxer *mp4_new_defrag_reader();
int mp4_remux(mp4_muxer *m, FILE *other);
