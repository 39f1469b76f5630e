// Box layer of the MP4 module: the handle record, box nodes, byte I/O and the one
// routine (rwBox) that writes, reads and dumps every box, so both directions share one path.
#pragma once
#include "streams/mp4.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

enum {
    MP4_MODE_READER = 0x01,
    MP4_MODE_EOF = 0x02,
    MP4_MODE_DEFRAG = 0x04,
    MP4_MODE_NEW_CHUNK = 0x08,
    MP4_MODE_VERBOSE = 0x20,
    MP4_MODE_QT = 0x40,
};

enum {
    BOX_HEAP = 0x01,
    BOX_OWNS = 0x02,
    BOX_RESIZABLE = 0x04,
    BOX_READ_TARGET = 0x08,
};

enum { MP4_DSI_MAX = 128, MP4_PARAM_MAX = 128, MP4_MAX_DEPTH = 20 };

// Descriptors of an esds or iods box.
struct mp4_es {
    uint8_t tag;              // 3 ES, 16 initial object descriptor
    uint16_t es_id;
    uint8_t es_flags;
    uint8_t object_type;
    uint8_t stream_type;      // streamType << 2 | upStream << 1 | 1
    uint32_t buffer_size_db;
    uint32_t max_bitrate;
    uint32_t avg_bitrate;
    int has_dsi;
    uint16_t dsi_len;
    uint8_t dsi[MP4_DSI_MAX];
    uint8_t sl_predefined;
    uint16_t od_id;
    uint8_t profiles[5];
};

struct mp4_box {
    uint64_t size;
    uint32_t type;
    uint64_t payload_pos;
    mp4_box *child;
    mp4_box *next;
    mp4_box *parent;
    uint8_t node_flags;
    uint8_t header_size;      // 8, or 16 with a 64-bit size

    uint8_t version;
    uint32_t flags;
    // times and identities (mvhd, tkhd, mdhd, mehd)
    uint64_t creation_time, modification_time, duration;
    uint32_t timescale, track_id, next_track_id;
    uint32_t rate;
    uint16_t volume, layer, alternate_group, language;
    int32_t matrix[9];
    uint32_t width, height;   // tkhd: 16.16 fixed point
    // ftyp
    uint32_t major_brand, minor_version;
    // hdlr
    uint32_t handler_type;
    char *name;
    // vmhd, smhd
    uint16_t graphicsmode, opcolor[3];
    int16_t balance;
    // dref, stsd
    uint32_t entry_count;
    // sample entries
    uint16_t data_reference_index;
    uint16_t se_width, se_height;
    uint32_t hres, vres;
    uint16_t frame_count;
    uint8_t compressorname[32];
    uint16_t depth;
    uint16_t sd_version, channelcount, samplesize;
    int16_t compression_id;
    uint32_t samplerate;      // 16.16
    uint32_t samples_per_packet, bytes_per_packet, bytes_per_frame, bytes_per_sample;
    // avcC
    uint8_t avc_version, avc_profile, avc_compat, avc_level, length_size_minus_one;
    uint16_t sps_len, pps_len;
    uint8_t sps[MP4_PARAM_MAX], pps[MP4_PARAM_MAX];
    // pasp, btrt
    uint32_t hspacing, vspacing;
    uint32_t buffer_size_db, max_bitrate, avg_bitrate;
    // esds, iods
    mp4_es es;
    // trex, tfhd, trun, mfhd
    uint32_t default_sdi, default_duration, default_size, default_flags;
    uint64_t base_data_offset;
    uint32_t sequence_number;
    int32_t data_offset;
    uint32_t first_sample_flags;
    // sgpd, sbgp
    uint32_t grouping_type, default_length;
    // stsz
    uint32_t sample_size, sample_count;
    // chan
    uint32_t layout_tag;
    // tables: count entries of `fields` uint64 values each (stts, stsc, stsz, stco, co64,
    // stss, elst, trun, sbgp, sgpd, ctts, ftyp brands)
    uint64_t *table;
    uint32_t count;
    uint8_t fields;
};

struct mp4_sample {
    uint64_t position;
    uint32_t length;
    uint32_t duration;
};

struct mp4_track {
    uint32_t handler_type;
    const char *handler_name;
    uint32_t fourcc;
    int mpeg_audio;
    uint32_t width, height;
    uint32_t timescale;
    uint32_t sample_duration;
    int edit;
    uint32_t sample_rate;
    uint32_t channels;
    uint8_t palette[64];      // subpicture track: its DecoderSpecificInfo
    uint32_t sample_count, sample_cap;
    mp4_sample *samples;
    uint64_t running_time;    // writer: ticks queued or written; reader: next timestamp
    uint64_t accumulated;     // reader; remuxed track: time lost before its first sample
    // writer bookkeeping
    mp4_box *trak;
    uint32_t chunks;
    uint64_t last_end;
};

struct mp4_player;
struct mp4_remux_state;

struct mp4_muxer {
    int fd;
    FILE *file;
    FILE *mirror;
    int owns_file;
    uint8_t mode;
    uint8_t error;
    uint8_t depth;
    uint64_t pos;

    uint64_t buf_attach_pos;
    uint8_t *buf;
    uint32_t buf_size;
    bool buf_last;              // the attached data ends the stream: a box of size 0 ends with it
    uint32_t pending_skip;
    uint64_t overflow_pos;
    uint8_t *overflow_buffer;
    uint32_t overflow_size;
    uint64_t high_water;
    int overflow_warned;

    uint32_t next_track_id;
    mp4_track *track;

    // sample_flags as a trun gives them: 0x10000 marks a sample that is not a sync sample
    void (*fragment_cb)(void *user, uint32_t track_id, uint64_t offset, uint32_t len, uint32_t duration,
                        uint32_t sample_flags, int32_t cto);
    void *fragment_user;
    uint8_t *attach_len;

    // decoder configuration, copied so it never points into a sample that has gone
    uint8_t sps[MP4_PARAM_MAX];
    uint16_t sps_len;
    uint8_t pps[MP4_PARAM_MAX];
    uint16_t pps_len;
    uint8_t profile, level;

    mp4_box *moov;
    mp4_box *mdat;
    mp4_muxer *child;

    uint32_t interleave;
    uint8_t *interleave_buf;
    uint32_t interleave_size;
    uint32_t interleave_used;
    uint64_t next_flush;

    uint32_t moov_reserve, moov_max_minutes, moov_interval, moov_ticks_left;
    int moov_stop;
    int sparse_gaps;   // a fixed box's free gap in a file is passed over, not written

    uint64_t moov_pos;        // start of the reserved moov, 0 when none is written

    void (*sample_cb)(void *user, uint64_t offset, uint64_t time, uint32_t len, int flags);
    void *sample_user;

    uint64_t max_size;

    mp4_player *player;       // cursors of mp4_play, made on first use
    mp4_remux_state *remux;   // while mp4_remux runs
    int exact_durations;      // samples carry their own durations (remux): no stts shift at finish
};

// byte layer
int write_n(mp4_muxer *m, const void *data, uint64_t n);
int read_n(mp4_muxer *m, void *dst, uint64_t n);
int muxer_seek(mp4_muxer *m, uint64_t position);
// fflush of the file stream; a failure is a write failure (error 8).
int mp4_flush_file(mp4_muxer *m);
uint64_t muxer_pos(mp4_muxer *m);
int updateBoxSize(mp4_muxer *m, mp4_box *box);
void mp4_error(mp4_muxer *m, int code);
int mp4_is_reader(const mp4_muxer *m);

// nodes
mp4_box *new_box(uint32_t type);
// How the reader allocates and grows its nodes; tests put a failing one in its place.
extern void *(*mp4_box_realloc)(void *, size_t);
void box_append_child(mp4_box *parent, mp4_box *child);
void box_free(mp4_box *box);
mp4_box *box_find_child(mp4_box *node, uint32_t type);
mp4_box *box_find_path(mp4_box *node, const char *path);   // "mdia/minf/stbl"
int box_table_append(mp4_box *box, const uint64_t *entry);
int box_table_resize(mp4_box *box, uint32_t count);
int array_grow(void **array, uint32_t old_count, uint32_t new_count, size_t entry_size);
uint32_t box_handler_type(const mp4_box *node);

// serialisation
uint64_t checkBoxSize(const mp4_box *node);
mp4_box *rwBox(mp4_muxer *m, mp4_box *node);
uint32_t mp4_esds_size(const mp4_es *es);
int box_is_known(const mp4_box *node);   // rwBox can write it back from its fields

// shared between the writer, the player and the remuxer
void mp4_player_free(mp4_player *p);
// Walks a track's sample tables after checking them against each other, as the player does.
typedef void (*mp4_table_sample_fn)(void *user, uint64_t offset, uint32_t size, uint32_t duration, int sync);
int mp4_each_table_sample(mp4_box *trak, int sound, mp4_table_sample_fn fn, void *user);
void mp4_init_timestamps(mp4_muxer *m);
int mp4_write_file_start(mp4_muxer *m);   // ftyp when due, placeholder, open mdat
// Appends one sample's bytes as they are to the open mdat and its tables; sync -1 detects it.
int mp4_write_raw_sample(mp4_muxer *m, uint32_t id, const uint8_t *data, uint32_t len, uint32_t duration,
                         int sync, int32_t cto);
