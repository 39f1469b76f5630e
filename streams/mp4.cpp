// MP4 writer (file mode for recordings, stream buffer mode for consumers) and buffered reader.
#include "streams/mp4.h"

#include "core/log.h"
#include "streams/annexb.h"
#include "streams/mp4_box.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdio_ext.h>
#include <sys/stat.h>
#include <unistd.h>

#define FCC(t) (char)((t) >> 24), (char)((t) >> 16), (char)((t) >> 8), (char)(t)
#define T(a, b, c, d) MP4_FOURCC(a, b, c, d)

static const uint32_t MOVIE_TIMESCALE = 90000;
static const int32_t unity_matrix[9] = {0x00010000, 0, 0, 0, 0x00010000, 0, 0, 0, 0x40000000};

static char compressor_name[32] = "Kelvane 7150";

static const char *const error_text[] = {
    nullptr,
    "seek out of range",
    "failed to allocate memory",
    "bad input",
    "cannot write null box",
    "recursion limit reached",
    "buffer overflow",
    "remux failed to find mdat",
    "write failed",
    "maximum size limit reached",
    "file open failed",
    "duration too big",
};

void mp4_set_compressor_name(const char *name)
{
    if (!name)
        return;
    memset(compressor_name, 0, sizeof compressor_name);
    size_t n = strlen(name);
    memcpy(compressor_name, name, n < sizeof compressor_name ? n : sizeof compressor_name);
}

mp4_muxer *mp4_new()
{
    mp4_muxer *m = (mp4_muxer *)calloc(1, sizeof(mp4_muxer));
    if (!m)
        return nullptr;
    m->fd = -1;
    m->next_track_id = 1;
    return m;
}

mp4_muxer *mp4_new_reader()
{
    mp4_muxer *m = mp4_new();
    if (m)
        m->mode |= MP4_MODE_READER;
    return m;
}

mp4_muxer *mp4_new_qt()
{
    mp4_muxer *m = mp4_new();
    if (m)
        m->mode |= MP4_MODE_QT;
    return m;
}

void mp4_set_file(mp4_muxer *m, FILE *f)
{
    if (!m)
        return;
    if (m->child)
        m = m->child;
    m->file = f;
    m->pos = f ? (uint64_t)(ftello(f) > 0 ? ftello(f) : 0) : 0;
}

void mp4_set_fd(mp4_muxer *m, int fd)
{
    if (!m)
        return;
    if (m->child)
        m = m->child;
    m->fd = fd;
}

int mp4_open_file(mp4_muxer *m, const char *path)
{
    if (!m)
        return -1;
    bool reader = mp4_is_reader(m) && !m->child;
    mp4_muxer *target = m->child ? m->child : m;
    FILE *f = fopen(path, reader ? "rb" : "w+b");
    if (!f) {
        log_printf("%s: %s: %s\n", "mp4_open_file", path, strerror(errno));
        mp4_error(m, MP4_ERR_OPEN);
        return -1;
    }
    target->file = f;
    target->owns_file = 1;
    target->pos = 0;
    return 0;
}

void mp4_set_verbose(mp4_muxer *m, int on)
{
    if (!m)
        return;
    if (m->child)
        m = m->child;
    if (on)
        m->mode |= MP4_MODE_VERBOSE;
    else
        m->mode &= (uint8_t)~MP4_MODE_VERBOSE;
}

void mp4_set_error(mp4_muxer *m, int code)
{
    if (m)
        m->error = (uint8_t)code;
}

// A remux handle's output settings belong to its child, as with the file setters.
void mp4_set_interleave(mp4_muxer *m, uint32_t period)
{
    if (m && m->child)
        m = m->child;
    if (m)
        m->interleave = period;
}

void mp4_set_max_size(mp4_muxer *m, uint64_t bytes)
{
    if (m && m->child)
        m = m->child;
    if (m)
        m->max_size = bytes;
}

int mp4_get_error(const mp4_muxer *m)
{
    for (; m; m = m->child)
        if (m->error)
            return m->error;
    return 0;
}

int mp4_has_error(const mp4_muxer *m) { return mp4_get_error(m) != 0; }

const char *mp4_strerror(const mp4_muxer *m)
{
    int e = mp4_get_error(m);
    if (e <= 0 || e >= (int)(sizeof error_text / sizeof error_text[0]))
        return nullptr;
    return error_text[e];
}

// ---- tracks and the movie tree ----

static mp4_track *track_of(mp4_muxer *m, uint32_t id)
{
    if (!m || id == 0 || id >= m->next_track_id || !m->track)
        return nullptr;
    return &m->track[id - 1];
}

static int sampling_index(uint32_t rate)
{
    static const uint32_t rates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                     22050, 16000, 12000, 11025, 8000,  7350};
    for (int i = 0; i < 13; i++)
        if (rates[i] == rate)
            return i;
    return 15;
}

static mp4_box *child(mp4_box *parent, uint32_t type)
{
    mp4_box *b = new_box(type);
    box_append_child(parent, b);
    return b;
}

static mp4_box *make_table(mp4_box *parent, uint32_t type, int fields)
{
    mp4_box *b = child(parent, type);
    b->fields = (uint8_t)fields;
    return b;
}

static void fill_avcc(mp4_box *avcc, const mp4_muxer *m)
{
    avcc->avc_version = 1;
    avcc->avc_profile = m->profile;
    avcc->avc_level = m->level;
    avcc->length_size_minus_one = 3;
    avcc->sps_len = m->sps_len;
    memcpy(avcc->sps, m->sps, m->sps_len);
    avcc->pps_len = m->pps_len;
    memcpy(avcc->pps, m->pps, m->pps_len);
    if (m->sps_len >= 4) {
        avcc->avc_profile = m->sps[1];
        avcc->avc_level = m->sps[3];
    }
}

// fragmented: the init movie of a fragmented stream (no tables filled, no pasp/btrt/sgpd).
static mp4_box *build_trak(mp4_muxer *m, uint32_t id, bool fragmented)
{
    mp4_track *t = &m->track[id - 1];
    bool video = t->handler_type == T('v', 'i', 'd', 'e');
    bool subp = t->handler_type == T('s', 'u', 'b', 'p');
    bool qt = m->mode & MP4_MODE_QT;
    bool pcm = t->fourcc == T('t', 'w', 'o', 's') || t->fourcc == T('s', 'o', 'w', 't');
    mp4_box *trak = new_box(T('t', 'r', 'a', 'k'));
    mp4_box *tkhd = child(trak, T('t', 'k', 'h', 'd'));
    tkhd->flags = fragmented || subp ? 7 : 3;
    tkhd->track_id = id;
    memcpy(tkhd->matrix, unity_matrix, sizeof unity_matrix);
    if (!video && !subp) {
        tkhd->alternate_group = 1;
        tkhd->volume = 0x0100;
    }
    tkhd->width = t->width << 16;
    tkhd->height = t->height << 16;
    if (!fragmented) {
        mp4_box *edts = child(trak, T('e', 'd', 't', 's'));
        make_table(edts, T('e', 'l', 's', 't'), 3);
    } else if (t->edit) {
        child(trak, T('e', 'd', 't', 's'));
    }
    mp4_box *mdia = child(trak, T('m', 'd', 'i', 'a'));
    mp4_box *mdhd = child(mdia, T('m', 'd', 'h', 'd'));
    mdhd->timescale = pcm ? t->sample_rate : t->timescale;
    mdhd->language = 0x55C4;
    mp4_box *hdlr = child(mdia, T('h', 'd', 'l', 'r'));
    hdlr->handler_type = t->handler_type;
    hdlr->name = strdup(t->handler_name);
    mp4_box *minf = child(mdia, T('m', 'i', 'n', 'f'));
    if (video) {
        mp4_box *vmhd = child(minf, T('v', 'm', 'h', 'd'));
        vmhd->flags = 1;
    } else if (subp) {
        child(minf, T('n', 'm', 'h', 'd'));
    } else {
        child(minf, T('s', 'm', 'h', 'd'));
    }
    if (qt) {
        mp4_box *dhlr = child(minf, T('h', 'd', 'l', 'r'));
        dhlr->handler_type = T('a', 'l', 'i', 's');
        dhlr->name = strdup("Alias Data Handler");
    }
    mp4_box *dref = child(child(minf, T('d', 'i', 'n', 'f')), T('d', 'r', 'e', 'f'));
    dref->entry_count = 1;
    child(dref, qt ? T('a', 'l', 'i', 's') : T('u', 'r', 'l', ' '))->flags = 1;
    mp4_box *stbl = child(minf, T('s', 't', 'b', 'l'));
    mp4_box *stsd = child(stbl, T('s', 't', 's', 'd'));
    stsd->entry_count = 1;
    mp4_box *entry = child(stsd, t->fourcc);
    entry->data_reference_index = 1;
    if (video) {
        entry->se_width = (uint16_t)t->width;
        entry->se_height = (uint16_t)t->height;
        entry->hres = entry->vres = 0x00480000;
        entry->frame_count = 1;
        memcpy(entry->compressorname, compressor_name, 32);
        entry->depth = 24;
        if (t->fourcc == T('a', 'v', 'c', '1')) {
            fill_avcc(child(entry, T('a', 'v', 'c', 'C')), m);
            if (!fragmented) {
                mp4_box *pasp = child(entry, T('p', 'a', 's', 'p'));
                pasp->hspacing = pasp->vspacing = 1;
                child(entry, T('b', 't', 'r', 't'));
            }
        } else if (t->fourcc == T('m', 'p', '4', 'v')) {
            mp4_box *esds = child(entry, T('e', 's', 'd', 's'));
            esds->es.object_type = 0x20;
            esds->es.stream_type = 0x13;
            esds->es.es_flags = 0x1F;
            esds->es.buffer_size_db = 192000;
            esds->es.max_bitrate = esds->es.avg_bitrate = 2000000;
            esds->es.has_dsi = 1;
            esds->es.dsi_len = m->sps_len;
            memcpy(esds->es.dsi, m->sps, m->sps_len);
            esds->es.sl_predefined = 2;
        }
    } else if (subp) {
        mp4_box *esds = child(entry, T('e', 's', 'd', 's'));
        esds->es.object_type = 0xE0;
        esds->es.stream_type = 0x38 << 2 | 1;
        esds->es.has_dsi = 1;
        esds->es.dsi_len = sizeof t->palette;
        memcpy(esds->es.dsi, t->palette, sizeof t->palette);
        esds->es.sl_predefined = 2;
    } else if (pcm) {
        entry->sd_version = 1;
        entry->channelcount = 2;
        entry->samplesize = 16;
        entry->compression_id = -1;
        entry->samplerate = t->sample_rate << 16;
        entry->samples_per_packet = 1;
        entry->bytes_per_packet = 2;
        entry->bytes_per_frame = 4;
        entry->bytes_per_sample = 2;
        child(entry, T('c', 'h', 'a', 'n'))->layout_tag = 0x00650002;
    } else {
        entry->channelcount = fragmented ? (uint16_t)t->channels : 2;
        entry->samplesize = 16;
        entry->samplerate = t->sample_rate << 16;
        mp4_box *esds = child(entry, T('e', 's', 'd', 's'));
        esds->es.es_id = fragmented ? 1 : 0;
        esds->es.buffer_size_db = 15000;
        esds->es.max_bitrate = 1500000;
        esds->es.sl_predefined = 2;
        if (t->mpeg_audio) {
            esds->es.object_type = 0x6B;
            esds->es.stream_type = 0x15;
        } else {
            esds->es.object_type = 0x40;
            esds->es.stream_type = fragmented ? 0x17 : 0x15;
            int idx = fragmented ? 3 : sampling_index(t->sample_rate);
            esds->es.has_dsi = 1;
            esds->es.dsi_len = 2;
            esds->es.dsi[0] = (uint8_t)(2 << 3 | idx >> 1);
            esds->es.dsi[1] = (uint8_t)((idx & 1) << 7 | (t->channels & 15) << 3);
        }
        if (!fragmented)
            child(entry, T('b', 't', 'r', 't'));
    }
    make_table(stbl, T('s', 't', 't', 's'), 2);
    if (video)
        make_table(stbl, T('s', 't', 's', 's'), 1);
    make_table(stbl, T('s', 't', 's', 'c'), 3);
    mp4_box *stsz = make_table(stbl, T('s', 't', 's', 'z'), 1);
    if (pcm)
        stsz->sample_size = 1;
    make_table(stbl, T('s', 't', 'c', 'o'), 1);
    if (!video && !subp && !fragmented) {
        mp4_box *sgpd = make_table(stbl, T('s', 'g', 'p', 'd'), 1);
        sgpd->version = 1;
        sgpd->grouping_type = T('r', 'o', 'l', 'l');
        sgpd->default_length = 2;
        uint64_t roll = (uint16_t)-1;
        box_table_append(sgpd, &roll);
        mp4_box *sbgp = make_table(stbl, T('s', 'b', 'g', 'p'), 2);
        sbgp->grouping_type = T('r', 'o', 'l', 'l');
        uint64_t e[2] = {0, 1};
        box_table_append(sbgp, e);
    }
    return trak;
}

static mp4_box *build_mvhd(mp4_box *moov, mp4_muxer *m)
{
    mp4_box *mvhd = child(moov, T('m', 'v', 'h', 'd'));
    mvhd->timescale = MOVIE_TIMESCALE;
    mvhd->rate = 0x00010000;
    mvhd->volume = 0x0100;
    memcpy(mvhd->matrix, unity_matrix, sizeof unity_matrix);
    mvhd->next_track_id = m->next_track_id;
    return mvhd;
}

static void attach_trak(mp4_muxer *m, uint32_t id)
{
    mp4_box *trak = build_trak(m, id, false);
    box_append_child(m->moov, trak);
    m->track[id - 1].trak = trak;
}

static uint32_t track_create(mp4_muxer *m, uint32_t handler, const char *name, uint32_t fourcc, uint32_t timescale,
                             uint32_t duration, int edit)
{
    if (!m)
        return 0;
    uint32_t id = m->next_track_id;
    mp4_track *grown = (mp4_track *)realloc(m->track, sizeof(mp4_track) * id);
    if (!grown) {
        log_printf("%s: track realloc failed\n", "mp4_track_create");
        mp4_error(m, MP4_ERR_NOMEM);
        return 0;
    }
    m->track = grown;
    mp4_track *t = &m->track[id - 1];
    memset(t, 0, sizeof *t);
    t->handler_type = handler;
    t->handler_name = name;
    t->fourcc = fourcc;
    t->timescale = timescale;
    t->sample_duration = duration;
    t->edit = edit;
    m->next_track_id = id + 1;
    return id;
}

uint32_t mp4_video_track_create(mp4_muxer *m, uint32_t fourcc, uint32_t timescale, uint32_t duration, int edit,
                                uint32_t width, uint32_t height, uint8_t profile, uint8_t level)
{
    uint32_t id = track_create(m, T('v', 'i', 'd', 'e'), "Video", fourcc, timescale, duration, edit);
    if (!id)
        return 0;
    m->track[id - 1].width = width;
    m->track[id - 1].height = height;
    m->profile = profile;
    m->level = level;
    if (m->moov && width && height) {
        box_find_child(m->moov, T('m', 'v', 'h', 'd'))->next_track_id = m->next_track_id;
        attach_trak(m, id);
    }
    return id;
}

uint32_t mp4_audio_track_create(mp4_muxer *m, uint32_t fourcc, uint32_t timescale, uint32_t duration, int edit,
                                uint32_t sample_rate, uint32_t channels)
{
    uint32_t id = track_create(m, T('s', 'o', 'u', 'n'), "Audio", fourcc, timescale, duration, edit);
    if (!id)
        return 0;
    m->track[id - 1].sample_rate = sample_rate;
    m->track[id - 1].channels = channels;
    if (m->moov) {
        box_find_child(m->moov, T('m', 'v', 'h', 'd'))->next_track_id = m->next_track_id;
        attach_trak(m, id);
    }
    return id;
}

uint32_t mp4_mpeg_audio_track_create(mp4_muxer *m, uint32_t timescale, uint32_t duration, int edit,
                                     uint32_t sample_rate, uint32_t channels)
{
    uint32_t id = mp4_audio_track_create(m, T('m', 'p', '4', 'a'), timescale, duration, edit, sample_rate, channels);
    if (!id)
        return 0;
    m->track[id - 1].mpeg_audio = 1;
    if (m->track[id - 1].trak) {
        // the tree was built before the flag was known
        box_free(m->track[id - 1].trak);
        attach_trak(m, id);
    }
    return id;
}

uint32_t mp4_subpicture_track_create(mp4_muxer *m, uint32_t timescale, uint32_t duration, const uint32_t palette[16])
{
    uint32_t id = track_create(m, T('s', 'u', 'b', 'p'), "SubPicture", T('m', 'p', '4', 's'), timescale, duration, 0);
    if (!id)
        return 0;
    mp4_track *t = &m->track[id - 1];
    for (int i = 0; palette && i < 16; i++) {
        t->palette[i * 4] = (uint8_t)(palette[i] >> 24);
        t->palette[i * 4 + 1] = (uint8_t)(palette[i] >> 16);
        t->palette[i * 4 + 2] = (uint8_t)(palette[i] >> 8);
        t->palette[i * 4 + 3] = (uint8_t)palette[i];
    }
    if (m->moov) {
        box_find_child(m->moov, T('m', 'v', 'h', 'd'))->next_track_id = m->next_track_id;
        attach_trak(m, id);
    }
    return id;
}

// ---- writing ----

static void write_ftyp(mp4_muxer *m)
{
    if (m->pos != 0)
        log_printf("%s: warning: FTYP needs to be first in file\n", "write_ftyp");
    mp4_box *ftyp = new_box(T('f', 't', 'y', 'p'));
    ftyp->fields = 1;
    if (m->mode & MP4_MODE_QT) {
        ftyp->major_brand = T('q', 't', ' ', ' ');
        ftyp->minor_version = 0x20050300;
        uint64_t b = T('q', 't', ' ', ' ');
        box_table_append(ftyp, &b);
        rwBox(m, ftyp);
        box_free(ftyp);
        return;
    }
    ftyp->major_brand = T('m', 'p', '4', '2');
    ftyp->minor_version = 0x00000200;
    bool mp4v = false;
    for (uint32_t i = 0; i < 2 && i + 1 < m->next_track_id; i++)
        mp4v |= m->track[i].fourcc == T('m', 'p', '4', 'v');
    uint64_t brands[4] = {mp4v ? T('m', 'p', '4', '1') : T('m', 'p', '4', '2'), T('i', 's', 'o', '2'),
                          T('a', 'v', 'c', '1'), T('m', 'p', '4', '1')};
    for (uint64_t b : brands)
        box_table_append(ftyp, &b);
    rwBox(m, ftyp);
    box_free(ftyp);
}

static void setup_moov_at_start(mp4_muxer *m);

int mp4_write_file_start(mp4_muxer *m)
{
    if (m->high_water == 0)
        write_ftyp(m);
    if (m->moov_reserve || m->moov_max_minutes)
        setup_moov_at_start(m);
    mp4_box *placeholder = new_box((m->mode & MP4_MODE_QT) ? T('w', 'i', 'd', 'e') : T('f', 'r', 'e', 'e'));
    rwBox(m, placeholder);
    box_free(placeholder);
    m->mdat = new_box(T('m', 'd', 'a', 't'));
    rwBox(m, m->mdat);
    m->mode |= MP4_MODE_NEW_CHUNK;
    return m->error ? -1 : 0;
}

static int start_file(mp4_muxer *m)
{
    m->moov = new_box(T('m', 'o', 'o', 'v'));
    build_mvhd(m->moov, m);
    for (uint32_t id = 1; id < m->next_track_id; id++) {
        mp4_track *t = &m->track[id - 1];
        if (t->handler_type == T('v', 'i', 'd', 'e') && (!t->width || !t->height))
            continue;
        attach_trak(m, id);
    }
    return mp4_write_file_start(m);
}

static uint32_t h264_header_length(const uint8_t *d, uint32_t len)
{
    if (len < 5 || !(d[0] == 0 && d[1] == 0 && d[2] == 0 && d[3] == 1) || (d[4] & 0x1F) == 1)
        return 0;
    for (size_t i = annexb_find_start_code(d, len, 4); i + 3 < len; i = annexb_find_start_code(d, len, i + 3)) {
        uint32_t type = d[i + 3] & 0x1F;
        if (type == 5 || type == 1)
            return (uint32_t)annexb_code_begin(d, 0, i);
    }
    return len;
}

static uint32_t header_length(const mp4_track *t, const uint8_t *d, uint32_t len)
{
    if (t->fourcc == T('a', 'v', 'c', '1'))
        return h264_header_length(d, len);
    if (t->fourcc == T('m', 'p', '4', 'v')) {
        if (len < 5 || !(d[0] == 0 && d[1] == 0 && d[2] == 1 && d[3] == 0xB0))
            return 0;
        // within the first 128 bytes
        uint32_t n = len < 131 ? len : 131;
        size_t vop = annexb_find_code(d, n, 0, 0xB6);
        return vop < n ? (uint32_t)vop : 0;
    }
    if (t->fourcc == T('m', 'p', '4', 'a') && !t->mpeg_audio && len >= 2 && d[0] == 0xFF && d[1] >= 0xF0) {
        uint32_t h = (d[1] & 1) ? 7 : 9;
        return h <= len ? h : len;
    }
    return 0;
}

static void update_config_boxes(mp4_muxer *m)
{
    for (uint32_t id = 1; id <= 2 && id < m->next_track_id; id++) {
        mp4_box *entry = box_find_path(m->track[id - 1].trak, "mdia/minf/stbl/stsd");
        entry = entry ? entry->child : nullptr;
        if (!entry)
            continue;
        if (mp4_box *avcc = box_find_child(entry, T('a', 'v', 'c', 'C'))) {
            if (avcc->sps_len != m->sps_len) {
                avcc->sps_len = m->sps_len;
                memcpy(avcc->sps, m->sps, m->sps_len);
                if (m->sps_len >= 4) {
                    avcc->avc_profile = m->sps[1];
                    avcc->avc_level = m->sps[3];
                }
            }
            if (avcc->pps_len != m->pps_len) {
                avcc->pps_len = m->pps_len;
                memcpy(avcc->pps, m->pps, m->pps_len);
            }
        } else if (entry->type == T('m', 'p', '4', 'v')) {
            if (mp4_box *esds = box_find_child(entry, T('e', 's', 'd', 's'))) {
                esds->es.has_dsi = 1;
                esds->es.dsi_len = m->sps_len;
                memcpy(esds->es.dsi, m->sps, m->sps_len);
            }
        }
    }
}

int mp4_set_parameter_data(mp4_muxer *m, const uint8_t *d, uint32_t len)
{
    if (!m || !d)
        return -1;
    if (len >= 4 && d[0] == 0 && d[1] == 0 && d[2] == 0 && d[3] == 1) {
        uint32_t i = 4;
        while (i < len) {
            uint32_t next = len, next_start = len;   // end of this unit, start of the next unit
            size_t k = annexb_find_start_code(d, len, i);
            if (k < len) {
                next = (uint32_t)annexb_code_begin(d, i, k);
                next_start = (uint32_t)k + 3;
            }
            uint32_t type = d[i] & 0x1F;
            uint32_t unit = next - i;
            if (type == 5 || type == 1)
                break;
            if (type == 7) {
                if (unit + m->pps_len > MP4_PARAM_MAX) {
                    log_printf("sequenceParameterDataLength overflow\n");
                    m->sps_len = 0;
                } else {
                    memcpy(m->sps, d + i, unit);
                    m->sps_len = (uint16_t)unit;
                }
            } else if (type == 8) {
                if (unit + m->sps_len > MP4_PARAM_MAX) {
                    log_printf("pictureParameterDataLength overflow\n");
                    m->pps_len = 0;
                } else {
                    memcpy(m->pps, d + i, unit);
                    m->pps_len = (uint16_t)unit;
                }
            }
            i = next_start;
        }
    } else if (len >= 4 && d[0] == 0 && d[1] == 0 && d[2] == 1 && d[3] == 0xB0) {
        uint32_t n = (uint32_t)annexb_find_code(d, len, 0, 0xB6);
        if (n > MP4_PARAM_MAX)
            n = MP4_PARAM_MAX;
        memcpy(m->sps, d, n);
        m->sps_len = (uint16_t)n;
        m->pps_len = 0;
    } else {
        uint8_t b[8] = {};
        memcpy(b, d, len < 8 ? len : 8);
        log_printf("%s: no sync marker: %02x %02x %02x %02x %02x %02x %02x %02x\n", "mp4_set_parameter_data",
                   b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7]);
        return -1;
    }
    update_config_boxes(m);
    return 0;
}

struct TrakTables {
    mp4_box *mdhd, *stts, *stss, *stsc, *stsz, *stco;
};

static TrakTables tables_of(mp4_box *trak)
{
    TrakTables tt;
    mp4_box *stbl = box_find_path(trak, "mdia/minf/stbl");
    tt.mdhd = box_find_path(trak, "mdia/mdhd");
    tt.stts = box_find_child(stbl, T('s', 't', 't', 's'));
    tt.stss = box_find_child(stbl, T('s', 't', 's', 's'));
    tt.stsc = box_find_child(stbl, T('s', 't', 's', 'c'));
    tt.stsz = box_find_child(stbl, T('s', 't', 's', 'z'));
    tt.stco = box_find_child(stbl, T('s', 't', 'c', 'o'));
    if (!tt.stco)
        tt.stco = box_find_child(stbl, T('c', 'o', '6', '4'));
    return tt;
}

static bool is_sync(const mp4_track *t, const uint8_t *d, uint32_t len)
{
    if (t->fourcc == T('a', 'v', 'c', '1')) {
        uint32_t at = (len >= 3 && d[0] == 0 && d[1] == 0 && d[2] == 1) ? 3 : 4;
        if (len <= at)
            return false;
        uint32_t type = d[at] & 0x1F;
        return type == 5 || type == 7;
    }
    if (!(len >= 4 && d[0] == 0 && d[1] == 0 && d[2] == 1))
        return len > 4 && ((d[4] & 0x1F) == 5 || (d[4] & 0x1F) == 7);
    uint32_t p = 0;
    static const struct { uint8_t code; uint32_t skip; } steps[] = {{0xB0, 5}, {0xB5, 6}, {0x00, 3}, {0x20, 25}};
    for (auto s : steps)
        if (p + 3 < len && d[p + 3] == s.code)
            p += s.skip;
    return p + 4 < len && d[p + 3] == 0xB6 && (d[p + 4] & 0xC0) == 0;
}

static int write_sample_bytes(mp4_muxer *m, const mp4_track *t, const uint8_t *d, uint32_t len, uint32_t *written)
{
    bool annexb = len >= 3 && d[0] == 0 && d[1] == 0 && (d[2] == 1 || (len >= 4 && d[2] == 0 && d[3] == 1));
    if (t->fourcc != T('a', 'v', 'c', '1')) {
        *written = len;
        return write_n(m, d, len);
    }
    if (!annexb) {
        for (uint64_t off = 0; off < len;) {
            if (len - off < 4) {
                log_printf("invalid NAL length %u at offset %u\n", (unsigned)(len - off), (unsigned)off);
                return 1;
            }
            uint32_t n = (uint32_t)d[off] << 24 | d[off + 1] << 16 | d[off + 2] << 8 | d[off + 3];
            if (n > len - off - 4) {
                log_printf("invalid NAL length %u at offset %u\n", n, (unsigned)off);
                return 1;
            }
            off += 4ull + n;
        }
        *written = len;
        return write_n(m, d, len);
    }
    // Annex B to length-prefixed: each unit between start codes gets a 32-bit length
    uint32_t total = 0;
    uint32_t i = d[2] == 1 ? 3 : 4;
    while (i < len) {
        uint32_t end = len, next = len;
        size_t k = annexb_find_start_code(d, len, i);
        if (k < len) {
            end = (uint32_t)annexb_code_begin(d, i, k);
            next = (uint32_t)k + 3;
        }
        uint32_t n = end - i;
        uint8_t be[4] = {(uint8_t)(n >> 24), (uint8_t)(n >> 16), (uint8_t)(n >> 8), (uint8_t)n};
        if (write_n(m, be, 4) < 0 || write_n(m, d + i, n) < 0)
            return -1;
        total += 4 + n;
        i = next;
    }
    *written = total;
    return 0;
}

// Returns the sample's callback flags: 1 sync sample, 2 a track without sync table.
static int add_to_tables(mp4_muxer *m, mp4_track *t, uint64_t sample_pos, uint32_t len, uint32_t duration,
                         const uint8_t *data, int sync)
{
    TrakTables tt = tables_of(t->trak);
    if (tt.mdhd)
        tt.mdhd->duration += duration;
    if (!tt.stts || !tt.stsz || !tt.stsc || !tt.stco || len == 0)
        return tt.stss ? 0 : 2;
    int flags = tt.stss ? 0 : 2;
    bool pcm = t->fourcc == T('t', 'w', 'o', 's') || t->fourcc == T('s', 'o', 'w', 't');
    uint32_t count = pcm ? duration : 1;
    uint32_t delta = pcm ? 1 : duration;
    bool fail = false;
    if (tt.stts->count && tt.stts->table[(tt.stts->count - 1) * 2 + 1] == delta) {
        tt.stts->table[(tt.stts->count - 1) * 2] += count;
    } else {
        uint64_t e[2] = {count, delta};
        fail |= box_table_append(tt.stts, e) < 0;
    }
    bool new_chunk = t->chunks == 0 || sample_pos != t->last_end;
    uint32_t samples_before = tt.stsz->sample_size ? tt.stsz->sample_count : tt.stsz->count;
    if (tt.stsz->sample_size) {
        tt.stsz->sample_count += count;
    } else {
        uint64_t e = len;
        fail |= box_table_append(tt.stsz, &e) < 0;
        tt.stsz->sample_count = tt.stsz->count;
    }
    if (tt.stss && (sync < 0 ? is_sync(t, data, len) : sync)) {
        uint64_t e = samples_before + 1;
        fail |= box_table_append(tt.stss, &e) < 0;
        flags = 1;
    }
    if (new_chunk) {
        t->chunks++;
        if (sample_pos > 0xFFFFFFFFull && tt.stco->type == T('s', 't', 'c', 'o'))
            tt.stco->type = T('c', 'o', '6', '4');   // entries are already held as 64-bit values
        uint64_t e = sample_pos;
        fail |= box_table_append(tt.stco, &e) < 0;
    }
    uint64_t *last = tt.stsc->count ? tt.stsc->table + (tt.stsc->count - 1) * 3 : nullptr;
    if (new_chunk) {
        if (!last || last[0] != t->chunks) {
            uint64_t e[3] = {t->chunks, 0, 1};
            fail |= box_table_append(tt.stsc, e) < 0;
        }
    } else if (last && last[0] != t->chunks) {
        uint64_t e[3] = {t->chunks, last[1], 1};
        fail |= box_table_append(tt.stsc, e) < 0;
    }
    if (tt.stsc->count) {
        uint64_t *l = tt.stsc->table + (tt.stsc->count - 1) * 3;
        l[1] += count;
        if (tt.stsc->count >= 2 && l[1] == l[-2] && l[2] == l[-1])
            tt.stsc->count--;
    }
    if (fail)
        mp4_error(m, MP4_ERR_NOMEM);
    t->last_end = sample_pos + len;
    m->mode &= (uint8_t)~MP4_MODE_NEW_CHUNK;
    return flags;
}

static int buffer_mode_write(mp4_muxer *m, mp4_track *t, const uint8_t *data, uint32_t len, uint32_t duration)
{
    if (array_grow((void **)&t->samples, t->sample_count, t->sample_count + 1, sizeof(mp4_sample))) {
        log_printf("%s: failed to reallocate fragment buffer\n", "mp4_write_track");
        mp4_error(m, MP4_ERR_NOMEM);
        return -1;
    }
    t->samples[t->sample_count++] = {m->pos + 8, len, duration};
    if (t->handler_type == T('v', 'i', 'd', 'e')) {
        uint32_t h = header_length(t, data, len);
        data += h;
        len -= h;
    }
    uint8_t hdr[12];
    hdr[0] = (uint8_t)((len + 8) >> 24);
    hdr[1] = (uint8_t)((len + 8) >> 16);
    hdr[2] = (uint8_t)((len + 8) >> 8);
    hdr[3] = (uint8_t)(len + 8);
    memcpy(hdr + 4, "mdat", 4);
    uint32_t skip = 0;
    if (t->handler_type == T('v', 'i', 'd', 'e') && len >= 4 && data[0] == 0 && data[1] == 0 && data[2] == 0 &&
        data[3] == 1) {
        // the first start code becomes the first unit's length; the caller's data stays as it is
        uint32_t n = len - 4;
        hdr[8] = (uint8_t)(n >> 24);
        hdr[9] = (uint8_t)(n >> 16);
        hdr[10] = (uint8_t)(n >> 8);
        hdr[11] = (uint8_t)n;
        skip = 4;
    }
    if (write_n(m, hdr, 8 + skip) < 0 || write_n(m, data + skip, len - skip) < 0)
        return -1;
    t->running_time += duration;
    return 0;
}

// ---- reserved moov ----

void mp4_set_moov_reserve(mp4_muxer *m, uint32_t bytes, uint32_t interval_ticks)
{
    if (!m)
        return;
    if (m->child)
        m = m->child;
    m->moov_reserve = bytes;
    m->moov_interval = m->moov_ticks_left = interval_ticks;
}

void mp4_set_moov_max_duration(mp4_muxer *m, uint32_t max_minutes, uint32_t interval_seconds)
{
    if (!m)
        return;
    if (m->child)
        m = m->child;
    log_printf("%s: max_minutes=%u interval_seconds=%u\n", "mp4_set_moov_max_duration", max_minutes,
               interval_seconds);
    m->moov_max_minutes = max_minutes;
    m->moov_interval = m->moov_ticks_left = interval_seconds * 90000u;
}

int mp4_moov_rewrites_stopped(const mp4_muxer *m)
{
    if (m && m->child)
        m = m->child;
    return m && m->moov_pos && m->moov_stop ? 1 : 0;
}

static bool moov_fits(uint64_t size, uint32_t reserve)
{
    // a smaller moov needs room for the free box that fills the gap
    return size == reserve || size + 8 <= reserve;
}

static int write_moov_into_reserve(mp4_muxer *m)
{
    uint64_t back = m->pos;
    uint64_t saved = m->moov->size;
    uint8_t flags = m->moov->node_flags;
    if (muxer_seek(m, m->moov_pos) < 0)
        return -1;
    m->moov->size = m->moov_reserve;
    m->moov->node_flags &= (uint8_t)~BOX_RESIZABLE;
    m->sparse_gaps = 1;
    rwBox(m, m->moov);
    m->sparse_gaps = 0;
    m->moov->size = saved;
    m->moov->node_flags = flags;
    return muxer_seek(m, back);
}

static void setup_moov_at_start(mp4_muxer *m)
{
    if (m->moov_max_minutes) {
        uint64_t minutes = m->moov_max_minutes;
        uint64_t video_frames = 90000ull * 60 * minutes / 1501, audio_frames = 90000ull * 60 * minutes / 1920;
        uint32_t video_dur = 0, audio_dur = 0;
        for (uint32_t id = 1; id < m->next_track_id; id++) {
            mp4_track *t = &m->track[id - 1];
            if (!t->sample_duration)
                continue;
            uint64_t frames = (uint64_t)t->timescale * 60 * minutes / t->sample_duration;
            if (t->handler_type == T('v', 'i', 'd', 'e') && !video_dur) {
                video_dur = t->sample_duration;
                video_frames = frames;
                log_printf("video_dur=%u timescale=%u track=%d\n", video_dur, t->timescale, (int)id);
            } else if (t->handler_type == T('s', 'o', 'u', 'n') && !audio_dur) {
                audio_dur = t->sample_duration;
                audio_frames = frames;
                log_printf("audio_dur=%u timescale=%u track=%d\n", audio_dur, t->timescale, (int)id);
            }
        }
        log_printf("%s: max_minutes=%u video_dur=%u audio_dur=%u next_track_id=%u\n", "setup_moov_at_start",
                   m->moov_max_minutes, video_dur, audio_dur, m->next_track_id);
        uint64_t est = (10 * audio_frames + 12 * video_frames + 65535) / 32768 * 32768;
        if (est > 0x7FFFFFFF)
            est = 0x7FFF8000;
        log_printf("%s: video_frames=%u audio_frames=%u est_size=%u\n", "setup_moov_at_start",
                   (unsigned)video_frames, (unsigned)audio_frames, (unsigned)est);
        if (!m->moov_reserve)
            m->moov_reserve = (uint32_t)est;
    }
    m->moov_pos = m->pos;
    if (m->moov_reserve >= 8 && moov_fits(checkBoxSize(m->moov), m->moov_reserve)) {
        mp4_box *moov = m->moov;
        uint64_t saved = moov->size;
        uint8_t flags = moov->node_flags;
        moov->size = m->moov_reserve;
        moov->node_flags &= (uint8_t)~BOX_RESIZABLE;
        m->sparse_gaps = 1;
        rwBox(m, moov);
        m->sparse_gaps = 0;
        moov->size = saved;
        moov->node_flags = flags;
        return;
    }
    log_printf("%s: empty moov of %llu bytes does not fit a reserve of %u\n", "setup_moov_at_start",
               (unsigned long long)checkBoxSize(m->moov), m->moov_reserve);
    m->moov_stop = 1;
    if (m->moov_reserve >= 8) {
        mp4_box *gap = new_box((m->mode & MP4_MODE_QT) ? T('w', 'i', 'd', 'e') : T('f', 'r', 'e', 'e'));
        gap->size = m->moov_reserve;
        m->sparse_gaps = 1;
        rwBox(m, gap);
        m->sparse_gaps = 0;
        box_free(gap);
    } else {
        m->moov_pos = 0;
    }
}

// Durations as far as the samples written so far reach, so a moov written now plays.
static void interim_durations(mp4_muxer *m)
{
    mp4_box *mvhd = box_find_child(m->moov, T('m', 'v', 'h', 'd'));
    uint64_t movie = 0;
    for (mp4_box *trak = m->moov->child; trak; trak = trak->next) {
        mp4_box *tkhd = box_find_child(trak, T('t', 'k', 'h', 'd'));
        mp4_box *mdhd = box_find_path(trak, "mdia/mdhd");
        mp4_box *elst = box_find_path(trak, "edts/elst");
        if (!tkhd || !mdhd || !mdhd->timescale)
            continue;
        tkhd->duration = mdhd->duration * MOVIE_TIMESCALE / mdhd->timescale;
        movie = tkhd->duration > movie ? tkhd->duration : movie;
        if (elst) {
            // finishing starts the edit list afresh: an entry with media time 0 is not kept
            uint64_t e[3] = {tkhd->duration, 0, 0x00010000};
            elst->count = 0;
            box_table_append(elst, e);
        }
    }
    if (mvhd)
        mvhd->duration = movie;
}

static void rewrite_moov(mp4_muxer *m)
{
    interim_durations(m);
    uint64_t size = checkBoxSize(m->moov);
    if (!moov_fits(size, m->moov_reserve)) {
        // Not an error: the moov still goes to the end of the file when the recording ends.
        log_printf("%s: moov of %llu bytes outgrew the reserve of %u; it goes to the end of the file\n",
                   "rewrite_moov", (unsigned long long)size, m->moov_reserve);
        m->moov_stop = 1;
        return;
    }
    // every sample the moov names must be on disk before the moov is
    if (mp4_flush_file(m) < 0 || updateBoxSize(m, m->mdat) < 0 || write_moov_into_reserve(m) < 0 ||
        mp4_flush_file(m) < 0)
        return;
    if (10ull * (m->moov_reserve - size) < m->moov_interval) {
        log_printf("%s: %llu bytes left in the moov reserve, rewrites stop\n", "rewrite_moov",
                   (unsigned long long)(m->moov_reserve - size));
        m->moov_stop = 1;
    }
}

static void after_sample(mp4_muxer *m, mp4_track *t, uint64_t pos, uint32_t len, uint32_t duration, int flags)
{
    if (m->sample_cb) {
        mp4_flush_file(m);
        mp4_box *mdhd = box_find_path(t->trak, "mdia/mdhd");
        uint64_t start = mdhd && mdhd->duration >= duration ? mdhd->duration - duration : 0;
        m->sample_cb(m->sample_user, pos, start, len, flags);
    }
    if (m->moov_pos && !m->moov_stop && m->moov_interval && flags != 2) {
        if (m->moov_ticks_left > duration) {
            m->moov_ticks_left -= duration;
        } else {
            m->moov_ticks_left = m->moov_interval;
            rewrite_moov(m);
        }
    }
}

void mp4_set_sample_callback(mp4_muxer *m, mp4_sample_fn fn, void *user)
{
    if (!m)
        return;
    m->sample_cb = fn;
    m->sample_user = user;
}

void mp4_set_mirror_file(mp4_muxer *m, FILE *f)
{
    if (!m)
        return;
    if (m->child)
        m = m->child;
    m->mirror = f;
}

int write_skip(mp4_muxer *m, uint32_t payload_len)
{
    if (!m)
        return -1;
    if (mp4_is_reader(m) && m->child)
        m = m->child;
    if (mp4_is_reader(m))
        return -1;
    if (m->mdat) {
        // inside the open mdat it would be taken for sample data
        log_printf("%s: the mdat is already open\n", "write_skip");
        return -1;
    }
    if (m->high_water == 0)
        write_ftyp(m);
    mp4_box *skip = new_box(T('s', 'k', 'i', 'p'));
    skip->size = 8ull + payload_len;
    rwBox(m, skip);
    box_free(skip);
    return m->error ? -1 : 0;
}

static int flush_interleave(mp4_muxer *m, uint32_t id);

int mp4_write_track(mp4_muxer *m, uint32_t id, const uint8_t *data, uint32_t len, uint32_t duration)
{
    if (!m)
        return -1;
    if (mp4_is_reader(m)) {
        if (m->child)
            return mp4_write_track(m->child, id, data, len, duration);
        return 0;
    }
    mp4_track *t = track_of(m, id);
    if (!t || !data)
        return 0;
    if (m->buf)
        return buffer_mode_write(m, t, data, len, duration);
    if (!m->moov && start_file(m) < 0) {
        mp4_error(m, MP4_ERR_NOMEM);
        return -1;
    }
    if (!t->trak)
        return 0;   // a video track without a size never joined the movie
    uint32_t h = header_length(t, data, len);
    if (h && (t->fourcc == T('a', 'v', 'c', '1') || t->fourcc == T('m', 'p', '4', 'v')) &&
        (!m->sps_len || (t->fourcc == T('a', 'v', 'c', '1') && !m->pps_len)))
        mp4_set_parameter_data(m, data, h);
    bool in_interleave = m->interleave_buf && data >= m->interleave_buf && data < m->interleave_buf + m->interleave_size;
    if (m->interleave && t->handler_type == T('s', 'o', 'u', 'n') && !in_interleave) {
        while (t->running_time >= m->next_flush) {
            if (flush_interleave(m, id) < 0)
                return -1;
            m->next_flush += m->interleave;
        }
        if (m->interleave_used + len > m->interleave_size) {
            uint32_t size = m->interleave_size;
            while (m->interleave_used + len > size)
                size += 65536;
            uint8_t *p = (uint8_t *)realloc(m->interleave_buf, size);
            if (!p) {
                log_printf("%s: failed to reallocate interleave buffer\n", "track_interleave");
                mp4_error(m, MP4_ERR_NOMEM);
                return -1;
            }
            m->interleave_buf = p;
            m->interleave_size = size;
        }
        if (array_grow((void **)&t->samples, t->sample_count, t->sample_count + 1, sizeof(mp4_sample))) {
            log_printf("%s: failed to reallocate fragment buffer\n", "track_interleave");
            mp4_error(m, MP4_ERR_NOMEM);
            return -1;
        }
        memcpy(m->interleave_buf + m->interleave_used, data, len);
        t->samples[t->sample_count++] = {m->interleave_used, len, duration};
        m->interleave_used += len;
        t->running_time += duration;
        return 0;
    }
    if (!in_interleave)
        t->running_time += duration;
    // A write that already failed leaves the rest to the recovery in mp4_finish.
    if (m->error == MP4_ERR_WRITE)
        return -1;
    data += h;
    len -= h;
    if (len == 0)
        return 0;
    if (m->max_size && m->pos + checkBoxSize(m->moov) + len + 1024 > m->max_size) {
        mp4_error(m, MP4_ERR_MAX_SIZE);
        return -1;
    }
    uint64_t sample_pos = m->pos;
    uint32_t written = 0;
    int r = write_sample_bytes(m, t, data, len, &written);
    if (r > 0)
        return 0;   // dropped
    if (r < 0) {
        // keep the mdat size honest about the bytes that did go out
        m->mdat->size = m->pos - (m->mdat->payload_pos - m->mdat->header_size);
        return -1;
    }
    m->mdat->size += written;
    if (m->mdat->payload_pos - m->mdat->header_size + m->mdat->size != m->pos) {
        log_printf("inconsistent mdat size fourcc=%c%c%c%c\n", FCC(t->fourcc));
        log_printf("mdat_offset=%llu mdat_size=%llu pos=%llu\n",
                   (unsigned long long)(m->mdat->payload_pos - m->mdat->header_size),
                   (unsigned long long)m->mdat->size, (unsigned long long)m->pos);
        log_printf("offset=%llu len=%u pos=%llu\n", (unsigned long long)sample_pos, written,
                   (unsigned long long)m->pos);
        mp4_error(m, MP4_ERR_WRITE);
        return -1;
    }
    int flags = add_to_tables(m, t, sample_pos, written, duration, data, -1);
    if (m->sample_cb || m->moov_pos)
        after_sample(m, t, sample_pos, written, duration, flags);
    return 0;
}

// The track starts `ticks` (movie timescale) late: a leading edit with media time -1.
static void lead_with_empty_edit(mp4_track *t, uint64_t ticks)
{
    mp4_box *edts = box_find_child(t->trak, T('e', 'd', 't', 's'));
    if (!edts) {
        edts = new_box(T('e', 'd', 't', 's'));
        mp4_box *tkhd = box_find_child(t->trak, T('t', 'k', 'h', 'd'));
        edts->parent = t->trak;
        if (tkhd) {
            edts->next = tkhd->next;
            tkhd->next = edts;
        } else {
            edts->next = t->trak->child;
            t->trak->child = edts;
        }
    }
    mp4_box *elst = box_find_child(edts, T('e', 'l', 's', 't'));
    if (!elst)
        elst = make_table(edts, T('e', 'l', 's', 't'), 3);
    uint64_t e[3] = {ticks, (uint64_t)-1, 0x00010000};
    if (box_table_append(elst, e) < 0)
        return;
    memmove(elst->table + 3, elst->table, sizeof(uint64_t) * 3 * (elst->count - 1));
    memcpy(elst->table, e, sizeof e);
}

int mp4_write_raw_sample(mp4_muxer *m, uint32_t id, const uint8_t *data, uint32_t len, uint32_t duration, int sync,
                         int32_t cto)
{
    mp4_track *t = track_of(m, id);
    if (!t || !t->trak || !m->mdat || mp4_is_reader(m))
        return -1;
    if (m->error == MP4_ERR_WRITE)
        return -1;
    if (m->max_size && m->pos + checkBoxSize(m->moov) + len + 1024 > m->max_size) {
        mp4_error(m, MP4_ERR_MAX_SIZE);
        return -1;
    }
    uint64_t sample_pos = m->pos;
    if (len && write_n(m, data, len) < 0) {
        m->mdat->size = m->pos - (m->mdat->payload_pos - m->mdat->header_size);
        return -1;
    }
    m->mdat->size += len;
    TrakTables tt = tables_of(t->trak);
    if (len == 0 && tt.stts && !tt.stts->count) {
        t->accumulated += duration;   // lost before the first sample: becomes an empty edit
        return 0;
    }
    if (t->accumulated && tt.mdhd && tt.mdhd->timescale)
        lead_with_empty_edit(t, t->accumulated * MOVIE_TIMESCALE / tt.mdhd->timescale);
    t->accumulated = 0;
    if (len == 0) {
        // a sample without data: the previous sample lasts longer, so later ones keep their times
        if (tt.stts && tt.stts->count && duration) {
            uint64_t *last = tt.stts->table + (tt.stts->count - 1) * 2;
            uint64_t e[2] = {1, last[1] + duration};
            if (--last[0] == 0)
                tt.stts->count--;
            if (box_table_append(tt.stts, e) < 0)
                mp4_error(m, MP4_ERR_NOMEM);
            if (tt.mdhd)
                tt.mdhd->duration += duration;
        }
        return 0;
    }
    mp4_box *ctts = box_find_path(t->trak, "mdia/minf/stbl/ctts");
    if (cto && !ctts && tt.stsz) {
        mp4_box *stbl = box_find_path(t->trak, "mdia/minf/stbl");
        ctts = make_table(stbl, T('c', 't', 't', 's'), 2);
        uint64_t before = tt.stsz->sample_size ? tt.stsz->sample_count : tt.stsz->count;
        if (before) {
            uint64_t e[2] = {before, 0};
            box_table_append(ctts, e);
        }
    }
    if (ctts) {
        if (cto < 0)
            ctts->version = 1;   // signed offsets
        uint64_t *last = ctts->count ? ctts->table + (ctts->count - 1) * 2 : nullptr;
        if (last && (int32_t)last[1] == cto) {
            last[0]++;
        } else {
            uint64_t e[2] = {1, (uint64_t)(uint32_t)cto};
            if (box_table_append(ctts, e) < 0)
                mp4_error(m, MP4_ERR_NOMEM);
        }
    }
    add_to_tables(m, t, sample_pos, len, duration, data, sync);
    return 0;
}

static int flush_interleave(mp4_muxer *m, uint32_t id)
{
    mp4_track *t = &m->track[id - 1];
    int r = 0;
    for (uint32_t i = 0; i < t->sample_count && r == 0; i++)
        r = mp4_write_track(m, id, m->interleave_buf + t->samples[i].position, t->samples[i].length,
                            t->samples[i].duration);
    t->sample_count = 0;
    m->interleave_used = 0;
    return r;
}

int mp4_buf_put(mp4_muxer *m, uint8_t *buf, uint32_t size)
{
    if (!m)
        return -1;
    if (m->buf)
        log_printf("%s: warning: buffer already exists\n", "mp4_buf_put");
    m->buf = buf;
    m->buf_size = size;
    m->buf_attach_pos = m->pos;
    m->buf_last = false;
    m->overflow_warned = 0;
    if (mp4_is_reader(m)) {
        m->mode &= (uint8_t)~MP4_MODE_EOF;
    } else {
        if (m->pos > m->high_water)
            m->high_water = m->pos;
        // The per-sample log only covers the buffer now attached, so it stays bounded.
        // (In file mode the same list is the audio interleave queue: left alone.)
        for (uint32_t id = 1; !m->moov && id < m->next_track_id; id++)
            m->track[id - 1].sample_count = 0;
    }
    return 0;
}

void mp4_buf_last(mp4_muxer *m)
{
    if (m && m->buf)
        m->buf_last = true;
}

uint32_t mp4_buf_drain(mp4_muxer *m)
{
    if (!m || !m->buf)
        return 0;
    uint64_t used = m->pos - m->buf_attach_pos;
    if (used > m->buf_size)
        used = m->buf_size;
    m->buf = nullptr;
    m->buf_size = 0;
    m->buf_last = false;
    return (uint32_t)used;
}

// ---- finishing ----

// After a failed write keep only the samples whose bytes lie before `limit`.
static void trim_track(mp4_track *t, uint64_t limit)
{
    TrakTables tt = tables_of(t->trak);
    if (!tt.stsz || !tt.stsc || !tt.stco || !tt.stts)
        return;
    uint32_t total = tt.stsz->sample_size ? tt.stsz->sample_count : tt.stsz->count;
    uint32_t kept = 0, chunks = 0;
    uint32_t entry = 0;
    for (uint32_t c = 0; c < tt.stco->count && kept < total; c++) {
        while (entry + 1 < tt.stsc->count && tt.stsc->table[(entry + 1) * 3] <= c + 1)
            entry++;
        uint32_t per = tt.stsc->count ? (uint32_t)tt.stsc->table[entry * 3 + 1] : 0;
        uint64_t off = tt.stco->table[c];
        uint32_t in_chunk = 0;
        for (; in_chunk < per && kept < total; in_chunk++) {
            uint64_t sz = tt.stsz->sample_size ? tt.stsz->sample_size : tt.stsz->table[kept];
            if (off + sz > limit)
                break;
            off += sz;
            kept++;
        }
        if (in_chunk == 0)
            break;
        chunks = c + 1;
        if (in_chunk < per) {
            // a partial last chunk needs its own stsc run
            if (tt.stsc->table[entry * 3] != chunks) {
                uint64_t e[3] = {chunks, in_chunk, 1};
                tt.stsc->count = entry + 1;
                box_table_append(tt.stsc, e);
            } else {
                tt.stsc->table[entry * 3 + 1] = in_chunk;
                tt.stsc->count = entry + 1;
            }
            break;
        }
    }
    if (kept == total)
        return;
    log_printf("%s: keeping %u of %u samples\n", "mp4_finish", kept, total);
    tt.stco->count = chunks;
    while (tt.stsc->count && tt.stsc->table[(tt.stsc->count - 1) * 3] > chunks)
        tt.stsc->count--;
    if (tt.stsz->sample_size)
        tt.stsz->sample_count = kept;
    else
        tt.stsz->count = tt.stsz->sample_count = kept;
    if (tt.stss)
        while (tt.stss->count && tt.stss->table[tt.stss->count - 1] > kept)
            tt.stss->count--;
    uint64_t left = kept, duration = 0;
    uint32_t e = 0;
    for (; e < tt.stts->count && left; e++) {
        uint64_t n = tt.stts->table[e * 2] < left ? tt.stts->table[e * 2] : left;
        tt.stts->table[e * 2] = n;
        duration += n * tt.stts->table[e * 2 + 1];
        left -= n;
    }
    tt.stts->count = e;
    if (tt.mdhd)
        tt.mdhd->duration = duration;
    t->chunks = chunks;
}

static uint32_t factor_for_delta(uint64_t d)
{
    switch (d) {
    case 1920: return 240;
    case 3003: return 3;
    case 3600: case 7200: case 10800: case 18000: return 3600;
    case 6006: return 6;
    case 9009: return 9;
    case 15015: return 15;
    }
    return 1;
}

static int finalise_moov(mp4_muxer *m)
{
    int err = 0;
    mp4_box *mvhd = box_find_child(m->moov, T('m', 'v', 'h', 'd'));
    uint64_t movie_ts = MOVIE_TIMESCALE;
    uint64_t movie_dur = 0;
    bool long_movie = false;
    for (mp4_box *trak = m->moov->child; trak; trak = trak->next) {
        if (trak->type != T('t', 'r', 'a', 'k'))
            continue;
        mp4_box *tkhd = box_find_child(trak, T('t', 'k', 'h', 'd'));
        mp4_box *mdhd = box_find_path(trak, "mdia/mdhd");
        mp4_box *elst = box_find_path(trak, "edts/elst");
        if (!tkhd || !mdhd || !mdhd->timescale)
            continue;
        uint64_t d = (mdhd->duration * MOVIE_TIMESCALE + mdhd->timescale / 2) / mdhd->timescale;
        if (elst && elst->count && (int64_t)elst->table[1] == -1)
            d += elst->table[0];
        tkhd->duration = d;
        movie_dur = d > movie_dur ? d : movie_dur;
        long_movie |= d > 0x7FFFFFFF;
    }
    if (long_movie) {
        movie_ts = 600;
        movie_dur = movie_dur * 600 / MOVIE_TIMESCALE;
    }
    if (mvhd) {
        mvhd->timescale = (uint32_t)movie_ts;
        mvhd->duration = movie_dur;
        mvhd->next_track_id = m->next_track_id;
    }
    for (mp4_box *trak = m->moov->child; trak; trak = trak->next) {
        if (trak->type != T('t', 'r', 'a', 'k'))
            continue;
        mp4_box *tkhd = box_find_child(trak, T('t', 'k', 'h', 'd'));
        TrakTables tt = tables_of(trak);
        if (!tkhd || !tt.mdhd || !tt.mdhd->timescale)
            continue;
        if (long_movie)
            tkhd->duration = tkhd->duration * 600 / MOVIE_TIMESCALE;
        mp4_box *entry = box_find_path(trak, "mdia/minf/stbl/stsd");
        entry = entry ? entry->child : nullptr;
        uint32_t fourcc = entry ? entry->type : 0;
        bool pcm = fourcc == T('t', 'w', 'o', 's') || fourcc == T('s', 'o', 'w', 't');
        uint64_t media_dur = tt.mdhd->duration;
        uint64_t samples = tt.stsz ? (tt.stsz->sample_size ? tt.stsz->sample_count : tt.stsz->count) : 0;
        if (tt.stsz && media_dur) {
            uint64_t bytes = 0;
            if (tt.stsz->sample_size)
                bytes = (uint64_t)tt.stsz->sample_size * tt.stsz->sample_count;
            else
                for (uint32_t i = 0; i < tt.stsz->count; i++)
                    bytes += tt.stsz->table[i];
            uint32_t rate = (uint32_t)((double)tt.mdhd->timescale * 8.0 * (double)bytes / (double)media_dur);
            mp4_box *btrt = box_find_child(entry, T('b', 't', 'r', 't'));
            if (btrt)
                btrt->max_bitrate = btrt->avg_bitrate = rate;
            mp4_box *esds = box_find_child(entry, T('e', 's', 'd', 's'));
            if (esds && fourcc == T('m', 'p', '4', 'a'))
                esds->es.max_bitrate = esds->es.avg_bitrate = rate;
        }
        if (mp4_box *sbgp = box_find_path(trak, "mdia/minf/stbl/sbgp"))
            if (sbgp->count)
                sbgp->table[0] = samples;
        if (mp4_box *elst = box_find_path(trak, "edts/elst")) {
            int64_t media_time = 0;   // a remuxed track keeps where its input's edit began
            for (uint32_t i = 0; m->exact_durations && i < elst->count; i++)
                if ((int64_t)elst->table[i * 3 + 1] >= 0) {
                    media_time = (int64_t)elst->table[i * 3 + 1];
                    break;
                }
            if (media_time < 0 || (uint64_t)media_time > media_dur)
                media_time = 0;
            if (elst->count && (int64_t)elst->table[1] == -1) {
                elst->table[0] = elst->table[0] * movie_ts / MOVIE_TIMESCALE;
                elst->count = 1;
            } else {
                elst->count = 0;
            }
            uint64_t e[3] = {(media_dur - (uint64_t)media_time) * movie_ts / tt.mdhd->timescale, (uint64_t)media_time,
                             0x00010000};
            if (box_table_append(elst, e) < 0) {
                log_printf("Failed to realloc elst entries\n");
                err = -1;
            }
        }
        if (m->exact_durations)
            continue;   // remuxed samples carry their own durations in their own timescale
        // durations were passed as time since the previous sample: shift them by one
        if (tt.stts && tt.stts->count > 1) {
            uint64_t delta = tt.stts->table[1];
            if (--tt.stts->table[0] == 0) {
                memmove(tt.stts->table, tt.stts->table + 2, sizeof(uint64_t) * 2 * (tt.stts->count - 1));
                tt.stts->count--;
            }
            uint64_t *last = tt.stts->table + (tt.stts->count - 1) * 2;
            if (last[1] == delta) {
                last[0]++;
            } else {
                uint64_t e[2] = {1, delta};
                if (box_table_append(tt.stts, e) < 0) {
                    log_printf("Failed to realloc stts entries\n");
                    err = -1;
                }
            }
        }
        if (pcm) {
            if (media_dur > 0x7FFFFFFF)
                log_printf("Warning: won't play in quicktime\n");
            continue;
        }
        if (tt.mdhd->timescale == movie_ts || movie_ts == 1000 || !tt.stts)
            continue;
        if (tt.stts->count == 1) {
            uint32_t fct = factor_for_delta(tt.stts->table[1]);
            if (fct > 1 && tt.mdhd->timescale % fct == 0 && tt.stts->table[1] % fct == 0 &&
                tt.mdhd->duration / fct <= 0x7FFFFFFF) {
                tt.mdhd->timescale /= fct;
                tt.mdhd->duration /= fct;
                tt.stts->table[1] /= fct;
            }
        }
        if (tt.mdhd->timescale == MOVIE_TIMESCALE) {
            uint64_t ts = tt.mdhd->timescale;
            tt.mdhd->timescale = (uint32_t)movie_ts;
            tt.mdhd->duration = tt.mdhd->duration * movie_ts / ts;
            // rebuild with each sample's end time converted; rounding carries to the next sample
            mp4_box *stts = tt.stts;
            uint64_t *old = stts->table;
            uint32_t old_count = stts->count;
            stts->table = nullptr;
            stts->count = 0;
            uint64_t end = 0, prev_new = 0;
            for (uint32_t i = 0; i < old_count && !err; i++) {
                for (uint64_t k = 0; k < old[i * 2]; k++) {
                    end += old[i * 2 + 1];
                    uint64_t now = end * movie_ts / ts;
                    uint64_t d = now - prev_new;
                    prev_new = now;
                    uint64_t *last = stts->count ? stts->table + (stts->count - 1) * 2 : nullptr;
                    if (last && last[1] == d) {
                        last[0]++;
                    } else {
                        uint64_t e[2] = {1, d};
                        if (box_table_append(stts, e) < 0) {
                            log_printf("Failed to realloc stts entries\n");
                            err = -1;
                            break;
                        }
                    }
                }
            }
            free(old);
        }
    }
    return err;
}

static mp4_box *build_init_moov(mp4_muxer *m)
{
    mp4_box *moov = new_box(T('m', 'o', 'o', 'v'));
    mp4_box *mvhd = build_mvhd(moov, m);
    (void)mvhd;
    bool avc = false;
    for (uint32_t i = 0; i < 2 && i + 1 < m->next_track_id; i++)
        avc |= m->track[i].fourcc == T('a', 'v', 'c', '1');
    if (avc) {
        mp4_box *iods = child(moov, T('i', 'o', 'd', 's'));
        iods->es.od_id = 1;
        const uint8_t profiles[5] = {0xFF, 0xFF, 0x29, 0x15, 0xFF};
        memcpy(iods->es.profiles, profiles, 5);
    }
    mp4_box *mvex = child(moov, T('m', 'v', 'e', 'x'));
    for (uint32_t id = 1; id < m->next_track_id; id++) {
        mp4_box *trex = child(mvex, T('t', 'r', 'e', 'x'));
        trex->track_id = id;
        trex->default_sdi = 1;
        trex->default_duration = m->track[id - 1].sample_duration;
    }
    for (uint32_t id = 1; id < m->next_track_id; id++)
        box_append_child(moov, build_trak(m, id, true));
    return moov;
}

static int recover_after_write_failure(mp4_muxer *m)
{
    int fd = m->fd >= 0 ? m->fd : (m->file ? fileno(m->file) : -1);
    if (m->file) {
        // what stdio still holds never reached the disk; drop it and trust the file itself
        __fpurge(m->file);
        clearerr(m->file);
    }
    struct stat st;
    if (fd < 0 || fstat(fd, &st) < 0) {
        mp4_error(m, MP4_ERR_BAD_INPUT);
        return -1;
    }
    uint64_t file_end = (uint64_t)st.st_size;
    if (m->mirror) {
        struct stat ms;
        if (fstat(fileno(m->mirror), &ms) == 0 && (uint64_t)ms.st_size < file_end)
            file_end = (uint64_t)ms.st_size;
    }
    uint64_t mdat_start = m->mdat->payload_pos - m->mdat->header_size;
    uint64_t needed = checkBoxSize(m->moov) + 1024;
    if (file_end < needed || file_end - needed < m->mdat->payload_pos) {
        m->error = MP4_ERR_BAD_INPUT;
        return -1;
    }
    uint64_t cut = file_end - needed;
    if (cut > mdat_start + m->mdat->size)
        cut = mdat_start + m->mdat->size;
    log_printf("mdat_size=%llu moov_size=%llu pos=%llu fpos=%llu\n", (unsigned long long)m->mdat->size,
               (unsigned long long)(needed - 1024), (unsigned long long)m->pos, (unsigned long long)file_end);
    // Samples past the cut are gone from the file: the tables must not promise them.
    for (uint32_t id = 1; id < m->next_track_id; id++)
        if (m->track[id - 1].trak)
            trim_track(&m->track[id - 1], cut);
    m->mdat->size = cut - mdat_start;
    if (m->fd >= 0)
        lseek(m->fd, (off_t)cut, SEEK_SET);
    else
        fseeko(m->file, (off_t)cut, SEEK_SET);
    m->pos = cut;
    return 0;
}

int mp4_finish(mp4_muxer *m)
{
    if (!m)
        return -1;
    if (mp4_is_reader(m))
        return m->child ? mp4_finish(m->child) : 0;
    if (m->high_water == 0)
        write_ftyp(m);
    if (!m->moov) {
        mp4_box *moov = build_init_moov(m);
        rwBox(m, moov);
        box_free(moov);
        return m->error ? -1 : 0;
    }
    for (uint32_t id = 1; m->interleave && id < m->next_track_id; id++)
        if (m->track[id - 1].sample_count)
            flush_interleave(m, id);
    bool failed_write = m->error == MP4_ERR_WRITE;
    if (failed_write && recover_after_write_failure(m) < 0)
        return -1;
    uint64_t mdat_start = m->mdat->payload_pos - m->mdat->header_size;
    if (mdat_start + m->mdat->size != m->pos) {
        log_printf("inconsistent mdat size\n");
        log_printf("mdat_offset=%llu mdat_size=%llu pos=%llu\n", (unsigned long long)mdat_start,
                   (unsigned long long)m->mdat->size, (unsigned long long)m->pos);
        mp4_error(m, MP4_ERR_BAD_INPUT);
        return -1;
    }
    uint8_t saved_error = m->error;
    if (failed_write)
        m->error = 0;   // let the recovery's own writes through; the failure stays reported
    updateBoxSize(m, m->mdat);
    if (finalise_moov(m) < 0)
        mp4_error(m, MP4_ERR_NOMEM);
    bool in_reserve = false;
    if (m->moov_pos) {
        uint64_t size = checkBoxSize(m->moov);
        // After a failed write the reserve may lie in a hole the full medium cannot fill: the
        // moov goes into the room cut from the mdat instead.
        if (!m->moov_stop && !failed_write && moov_fits(size, m->moov_reserve)) {
            in_reserve = write_moov_into_reserve(m) == 0;
        } else {
            log_printf("max_moov_size=%u moov_interval=%u moov->size=%llu\n", m->moov_reserve, m->moov_interval,
                       (unsigned long long)size);
            // one moov per file: the reserve is given up as a whole
            uint64_t back = m->pos;
            mp4_box *gap = new_box((m->mode & MP4_MODE_QT) ? T('w', 'i', 'd', 'e') : T('f', 'r', 'e', 'e'));
            gap->size = m->moov_reserve;
            m->sparse_gaps = 1;
            if (muxer_seek(m, m->moov_pos) == 0)
                rwBox(m, gap);
            m->sparse_gaps = 0;
            box_free(gap);
            muxer_seek(m, back);
        }
    }
    if (!in_reserve)
        rwBox(m, m->moov);
    if (m->max_size && m->pos > m->max_size)
        log_printf("max file size exceeded %llx > %llx\n", (unsigned long long)m->pos,
                   (unsigned long long)m->max_size);
    if (failed_write) {
        int fd = m->fd;
        if (m->file) {
            fflush(m->file);
            fd = fileno(m->file);
        }
        if (fd >= 0 && ftruncate(fd, (off_t)m->pos) < 0)
            perror("ftruncate");
        m->error = saved_error;
    } else if (m->file) {
        fflush(m->file);
    }
    return m->error ? -1 : 0;
}

void mp4_delete(mp4_muxer *m)
{
    if (!m)
        return;
    if (m->buf && !mp4_is_reader(m) && m->pos > m->buf_attach_pos)
        log_printf("%s: warning: buffer is still queued with data in it\n", "mp4_delete");
    mp4_delete(m->child);
    mp4_player_free(m->player);
    box_free(m->moov);
    box_free(m->mdat);
    for (uint32_t id = 1; id < m->next_track_id && m->track; id++)
        free(m->track[id - 1].samples);
    free(m->track);
    free(m->interleave_buf);
    free(m->overflow_buffer);
    if (m->owns_file && m->file)
        fclose(m->file);
    free(m);
}

// ---- reader ----

static int not_reader(const mp4_muxer *m, const char *op)
{
    if (mp4_is_reader(m))
        return 0;
    log_printf("%s: not a reader muxer\n", op);
    return 1;
}

void mp4_init_timestamps(mp4_muxer *m)
{
    if (!m->moov) {
        log_printf("%s: failed to find moov\n", "init_timestamps");
        return;
    }
    mp4_box *mvhd = box_find_child(m->moov, T('m', 'v', 'h', 'd'));
    if (!mvhd) {
        log_printf("%s: failed to find mvhd\n", "init_timestamps");
        return;
    }
    if (!m->track) {
        // next_track_ID comes from the input: believe it only as far as its tracks go
        uint32_t n = 0;
        for (mp4_box *c = m->moov->child; c; c = c->next) {
            mp4_box *tkhd = c->type == T('t', 'r', 'a', 'k') ? box_find_child(c, T('t', 'k', 'h', 'd')) : nullptr;
            if (tkhd && tkhd->track_id > n && tkhd->track_id <= 256)
                n = tkhd->track_id;
        }
        if (mvhd->next_track_id >= 2 && mvhd->next_track_id - 1 <= 256 && mvhd->next_track_id - 1 > n)
            n = mvhd->next_track_id - 1;
        if (n == 0)
            return;
        m->track = (mp4_track *)calloc(n, sizeof(mp4_track));
        if (!m->track) {
            log_printf("%s: failed to alloc mux->track for %d tracks\n", "init_timestamps", (int)n);
            mp4_error(m, MP4_ERR_NOMEM);
            return;
        }
        m->next_track_id = n + 1;
    }
    for (mp4_box *c = box_find_child(m->moov, T('m', 'v', 'e', 'x')) ? box_find_child(m->moov, T('m', 'v', 'e', 'x'))->child : nullptr;
         c; c = c->next)
        if (c->type == T('t', 'r', 'e', 'x') && track_of(m, c->track_id))
            track_of(m, c->track_id)->sample_duration = c->default_duration;
    for (mp4_box *c = m->moov->child; c; c = c->next) {
        if (c->type != T('t', 'r', 'a', 'k'))
            continue;
        mp4_box *tkhd = box_find_child(c, T('t', 'k', 'h', 'd'));
        mp4_track *t = tkhd ? track_of(m, tkhd->track_id) : nullptr;
        if (!t)
            continue;
        mp4_box *mdhd = box_find_path(c, "mdia/mdhd");
        mp4_box *hdlr = box_find_path(c, "mdia/hdlr");
        if (mdhd)
            t->timescale = mdhd->timescale;
        if (hdlr)
            t->handler_type = hdlr->handler_type;
        mp4_box *elst = box_find_path(c, "edts/elst");
        if (elst && elst->count && (int64_t)elst->table[1] == -1)
            t->running_time = t->accumulated = elst->table[0];
    }
}

int mp4_read_until_moov(mp4_muxer *m)
{
    if (!m || not_reader(m, "mp4_read_until_moov"))
        return -1;
    if (m->buf) {
        log_printf("%s: needs a file\n", "mp4_read_until_moov");
        return -1;
    }
    while (!m->moov) {
        mp4_box *b = rwBox(m, nullptr);
        if (!b) {
            log_printf("%s: no moov in the input\n", "mp4_read_until_moov");
            return -1;
        }
        if (b->type == T('m', 'd', 'a', 't') && !m->mdat) {
            m->mdat = b;
        } else if (b->type == T('m', 'o', 'o', 'v')) {
            m->moov = b;
            mp4_init_timestamps(m);
        } else {
            box_free(b);
        }
    }
    // a moov in front of its data: the mdat follows
    for (int boxes = 0; !m->mdat && boxes < 500; boxes++) {
        mp4_box *b = rwBox(m, nullptr);
        if (!b)
            break;
        if (b->type == T('m', 'd', 'a', 't'))
            m->mdat = b;
        else
            box_free(b);
    }
    return m->track ? 0 : -1;
}

static void apply_moof(mp4_muxer *m, mp4_box *moof)
{
    if (!m->track)
        return;
    for (mp4_box *traf = moof->child; traf; traf = traf->next) {
        if (traf->type != T('t', 'r', 'a', 'f'))
            continue;
        mp4_box *tfhd = box_find_child(traf, T('t', 'f', 'h', 'd'));
        mp4_track *t = tfhd ? track_of(m, tfhd->track_id) : nullptr;
        if (!t)
            continue;
        uint32_t def = (tfhd->flags & 0x08) ? tfhd->default_duration : t->sample_duration;
        // the fragment's samples start at the time reached so far
        t->running_time = t->accumulated;
        for (mp4_box *trun = traf->child; trun; trun = trun->next) {
            if (trun->type != T('t', 'r', 'u', 'n'))
                continue;
            if (trun->flags & 0x100)
                for (uint32_t i = 0; i < trun->count; i++)
                    t->accumulated += trun->table[i * 4];
            else
                t->accumulated += (uint64_t)def * trun->sample_count;
        }
        if (tfhd->flags & 0x08)
            t->sample_duration = def;
    }
}

int mp4_get_mdat(mp4_muxer *m, const uint8_t **payload, uint32_t *len)
{
    if (!m || !mp4_is_reader(m) || !m->buf) {
        log_printf("%s: src is not a buffered reader muxer\n", "mp4_get_mdat");
        return 0;
    }
    while (true) {
        mp4_box *b = rwBox(m, nullptr);
        if (!b)
            return 0;
        if (b->type == T('m', 'o', 'o', 'v')) {
            box_free(m->moov);
            m->moov = b;
            mp4_init_timestamps(m);
            continue;
        }
        if (b->type == T('m', 'd', 'a', 't')) {
            *payload = m->buf + (b->payload_pos - m->buf_attach_pos);
            *len = (uint32_t)(m->pos - b->payload_pos);
            box_free(b);
            return 1;
        }
        if (b->type == T('m', 'o', 'o', 'f'))
            apply_moof(m, b);
        box_free(b);
    }
}

static mp4_box *trak_by_id(mp4_muxer *m, uint32_t id)
{
    for (mp4_box *c = m->moov ? m->moov->child : nullptr; c; c = c->next) {
        mp4_box *tkhd = c->type == T('t', 'r', 'a', 'k') ? box_find_child(c, T('t', 'k', 'h', 'd')) : nullptr;
        if (tkhd && tkhd->track_id == id)
            return c;
    }
    return nullptr;
}

static mp4_box *sample_entry(mp4_box *trak)
{
    mp4_box *stsd = box_find_path(trak, "mdia/minf/stbl/stsd");
    return stsd ? stsd->child : nullptr;
}

uint32_t mp4_get_fourcc(mp4_muxer *m, uint32_t id)
{
    if (!m || not_reader(m, "mp4_get_fourcc"))
        return 0;
    mp4_box *e = sample_entry(trak_by_id(m, id));
    return e ? e->type : 0;
}

static mp4_box *config_box(mp4_muxer *m)
{
    for (mp4_box *c = m->moov ? m->moov->child : nullptr; c; c = c->next) {
        mp4_box *e = c->type == T('t', 'r', 'a', 'k') ? sample_entry(c) : nullptr;
        if (!e)
            continue;
        if (e->type == T('a', 'v', 'c', '1'))
            if (mp4_box *avcc = box_find_child(e, T('a', 'v', 'c', 'C')))
                return avcc;
        if (e->type == T('m', 'p', '4', 'v'))
            if (mp4_box *esds = box_find_child(e, T('e', 's', 'd', 's')))
                return esds;
    }
    return nullptr;
}

uint32_t mp4_get_config_length(mp4_muxer *m)
{
    mp4_box *b = m ? config_box(m) : nullptr;
    if (!b)
        return 0;
    if (b->type == T('e', 's', 'd', 's'))
        return b->es.dsi_len;
    return b->sps_len + b->pps_len + 8u;
}

int mp4_get_parameter_data(mp4_muxer *m, uint8_t *dst)
{
    mp4_box *b = m ? config_box(m) : nullptr;
    if (!b || !dst)
        return -1;
    if (b->type == T('e', 's', 'd', 's')) {
        memcpy(dst, b->es.dsi, b->es.dsi_len);
        return 0;
    }
    static const uint8_t sc[4] = {0, 0, 0, 1};
    memcpy(dst, sc, 4);
    memcpy(dst + 4, b->sps, b->sps_len);
    memcpy(dst + 4 + b->sps_len, sc, 4);
    memcpy(dst + 8 + b->sps_len, b->pps, b->pps_len);
    return 0;
}

uint64_t mp4_track_advance_ts(mp4_muxer *m, uint32_t id)
{
    mp4_track *t = track_of(m, id);
    if (!t)
        return 0;
    uint64_t ts = t->running_time;
    t->running_time += t->sample_duration;
    return ts;
}

uint32_t mp4_track_duration(mp4_muxer *m, uint32_t id)
{
    mp4_track *t = track_of(m, id);
    return t ? t->sample_duration : 0;
}

uint32_t mp4_get_samplerate(mp4_muxer *m, uint32_t id)
{
    if (!m || not_reader(m, "mp4_get_samplerate"))
        return 0;
    mp4_box *e = sample_entry(trak_by_id(m, id));
    return e && box_handler_type(e) == T('s', 'o', 'u', 'n') ? e->samplerate >> 16 : 0;
}

uint32_t mp4_get_timescale(mp4_muxer *m, uint32_t id)
{
    if (!m || not_reader(m, "mp4_get_timescale"))
        return 0;
    mp4_box *mdhd = box_find_path(trak_by_id(m, id), "mdia/mdhd");
    return mdhd ? mdhd->timescale : 0;
}

int mp4_check_complete(mp4_muxer *m)
{
    if (!m || !mp4_is_reader(m) || m->buf)
        return -1;
    uint64_t start = m->pos;
    int result = -1;
    mp4_box *b = rwBox(m, nullptr);
    mp4_box *moov = nullptr;
    if (b && b->type == T('f', 't', 'y', 'p')) {
        box_free(b);
        while ((b = rwBox(m, nullptr)) != nullptr) {
            if (b->type == T('m', 'o', 'o', 'v')) {
                moov = b;
                break;
            }
            box_free(b);
        }
    } else {
        box_free(b);
    }
    if (moov) {
        result = 1;
        for (mp4_box *trak = moov->child; trak; trak = trak->next) {
            if (trak->type != T('t', 'r', 'a', 'k'))
                continue;
            mp4_box *tkhd = box_find_child(trak, T('t', 'k', 'h', 'd'));
            mp4_box *stbl = box_find_path(trak, "mdia/minf/stbl");
            mp4_box *stsd = box_find_child(stbl, T('s', 't', 's', 'd'));
            mp4_box *stts = box_find_child(stbl, T('s', 't', 't', 's'));
            mp4_box *stsc = box_find_child(stbl, T('s', 't', 's', 'c'));
            mp4_box *stsz = box_find_child(stbl, T('s', 't', 's', 'z'));
            bool offsets = box_find_child(stbl, T('s', 't', 'c', 'o')) || box_find_child(stbl, T('c', 'o', '6', '4'));
            if (tkhd && tkhd->track_id && box_find_path(trak, "mdia/mdhd") && box_find_path(trak, "mdia/hdlr") &&
                stsd && stsd->child && stts && stts->count && stsc && stsc->count && stsz && stsz->sample_count &&
                offsets) {
                result = 0;
                break;
            }
        }
        box_free(moov);
    }
    m->mode &= (uint8_t)~MP4_MODE_EOF;
    if (m->file)
        clearerr(m->file);
    muxer_seek(m, start);
    return result;
}
