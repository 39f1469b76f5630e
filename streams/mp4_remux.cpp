// Remuxing of the MP4 module: a fragmented file (moov, then moof + mdat pairs) becomes a plain
// file with one mdat and full sample tables. The reader walks the input; each trun sample that
// lies inside an mdat goes through the fragment-sample callback into the writer.
#include "core/log.h"
#include "streams/mp4.h"
#include "streams/mp4_box.h"

#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#define T(a, b, c, d) MP4_FOURCC(a, b, c, d)
#define FCC(t) (char)((t) >> 24), (char)((t) >> 16), (char)((t) >> 8), (char)(t)

namespace {

const uint32_t MDAT_SEARCH_LIMIT = 500;
const uint32_t MAX_TRACKS = 256;
const int MISS_LOG_LIMIT = 20;

struct MdatRange {
    uint64_t start, end;
};

} // namespace

struct mp4_remux_state {
    mp4_muxer *reader, *writer;
    MdatRange *mdats;
    uint32_t mdat_count;
    mp4_box *pending;        // moof whose mdat has not been read yet
    bool moov_samples;       // the moov itself holds a first fragment, waiting for its mdat
    uint32_t table_track;    // track whose moov samples are being copied
    uint64_t file_size;
    uint8_t *buf;
    uint32_t buf_size;
    int misses;
    bool stop;
};

namespace {

int input_fd(mp4_muxer *r) { return r->fd >= 0 ? r->fd : (r->file ? fileno(r->file) : -1); }

// Copies the boxes rwBox can write back; a copy's size follows its contents when written.
mp4_box *clone(const mp4_box *src)
{
    uint32_t t = src->type;
    if (t == T('m', 'v', 'e', 'x') || t == T('u', 'd', 't', 'a') || t == T('m', 'e', 't', 'a') ||
        t == T('c', 't', 't', 's'))
        return nullptr;
    if (!box_is_known(src))
        return nullptr;
    mp4_box *b = (mp4_box *)malloc(sizeof(mp4_box));
    if (!b)
        return nullptr;
    memcpy((void *)b, src, sizeof(mp4_box));
    b->child = b->next = b->parent = nullptr;
    b->node_flags = BOX_HEAP | BOX_OWNS | BOX_RESIZABLE;
    b->size = 8;
    b->header_size = 8;
    b->table = nullptr;
    b->name = src->name ? strdup(src->name) : nullptr;
    if (src->table && src->count && src->fields) {
        size_t bytes = sizeof(uint64_t) * src->fields * src->count;
        b->count = 0;
        if (array_grow((void **)&b->table, 0, src->count, sizeof(uint64_t) * src->fields) == 0) {
            memcpy(b->table, src->table, bytes);
            b->count = src->count;
        }
    } else {
        b->count = 0;
    }
    for (const mp4_box *c = src->child; c; c = c->next)
        if (mp4_box *cc = clone(c))
            box_append_child(b, cc);
    return b;
}

mp4_box *trex_of(mp4_box *moov, uint32_t id)
{
    mp4_box *mvex = box_find_child(moov, T('m', 'v', 'e', 'x'));
    for (mp4_box *c = mvex ? mvex->child : nullptr; c; c = c->next)
        if (c->type == T('t', 'r', 'e', 'x') && c->track_id == id)
            return c;
    return nullptr;
}

void empty_tables(mp4_box *trak, uint64_t in_movie_ts)
{
    mp4_box *stbl = box_find_path(trak, "mdia/minf/stbl");
    for (mp4_box *c = stbl ? stbl->child : nullptr; c; c = c->next) {
        c->count = 0;
        if (c->type == T('s', 't', 's', 'z')) {
            c->sample_count = 0;
            c->fields = 1;
        }
    }
    mp4_box *stsd = box_find_child(stbl, T('s', 't', 's', 'd'));
    uint32_t fourcc = stsd && stsd->child ? stsd->child->type : 0;
    if (mp4_box *stsz = box_find_child(stbl, T('s', 't', 's', 'z')))
        stsz->sample_size = fourcc == T('t', 'w', 'o', 's') || fourcc == T('s', 'o', 'w', 't') ? 1 : 0;
    if (mp4_box *mdhd = box_find_path(trak, "mdia/mdhd"))
        mdhd->duration = 0;
    if (mp4_box *tkhd = box_find_child(trak, T('t', 'k', 'h', 'd')))
        tkhd->duration = 0;
    // edit durations count in the movie timescale, which the writer sets to 90 kHz
    if (mp4_box *elst = box_find_path(trak, "edts/elst")) {
        for (uint32_t i = 0; i < elst->count; i++)
            elst->table[(size_t)i * 3] = in_movie_ts ? elst->table[(size_t)i * 3] * 90000 / in_movie_ts : 0;
    }
}

int copy_moov(mp4_remux_state *x, mp4_box *moov)
{
    mp4_muxer *w = x->writer;
    mp4_box *mvhd_in = box_find_child(moov, T('m', 'v', 'h', 'd'));
    if (!mvhd_in) {
        log_printf("%s: moov without mvhd\n", "mp4_remux");
        return -1;
    }
    mp4_box *copy = new_box(T('m', 'o', 'o', 'v'));
    uint32_t max_id = 0;
    for (mp4_box *c = moov->child; c; c = c->next) {
        if (c->type == T('t', 'r', 'a', 'k')) {
            mp4_box *tkhd = box_find_child(c, T('t', 'k', 'h', 'd'));
            mp4_box *hdlr = box_find_path(c, "mdia/hdlr");
            uint32_t h = hdlr ? hdlr->handler_type : 0;
            if (h != T('v', 'i', 'd', 'e') && h != T('s', 'o', 'u', 'n') && h != T('s', 'u', 'b', 'p')) {
                log_printf("unknown handler type: %c%c%c%c\n", FCC(h));
                continue;
            }
            if (!tkhd || tkhd->track_id == 0 || tkhd->track_id > MAX_TRACKS || !box_find_path(c, "mdia/mdhd") ||
                !box_find_path(c, "mdia/minf/stbl/stsd")) {
                log_printf("%s: track without usable header skipped\n", "mp4_remux");
                continue;
            }
            bool taken = false;
            for (mp4_box *k = copy->child; k; k = k->next) {
                mp4_box *kt = box_find_child(k, T('t', 'k', 'h', 'd'));
                taken |= kt && kt->track_id == tkhd->track_id;
            }
            if (taken)
                continue;
            max_id = tkhd->track_id > max_id ? tkhd->track_id : max_id;
        }
        if (mp4_box *cc = clone(c))
            box_append_child(copy, cc);
    }
    mp4_box *mvhd = box_find_child(copy, T('m', 'v', 'h', 'd'));
    if (!mvhd || max_id == 0) {
        log_printf("%s: no track to remux\n", "mp4_remux");
        box_free(copy);
        return -1;
    }
    w->track = (mp4_track *)calloc(max_id, sizeof(mp4_track));
    if (!w->track) {
        box_free(copy);
        mp4_error(w, MP4_ERR_NOMEM);
        return -1;
    }
    w->next_track_id = max_id + 1;
    mvhd->next_track_id = max_id + 1;
    for (mp4_box *trak = copy->child; trak; trak = trak->next) {
        if (trak->type != T('t', 'r', 'a', 'k'))
            continue;
        uint32_t id = box_find_child(trak, T('t', 'k', 'h', 'd'))->track_id;
        mp4_track *t = &w->track[id - 1];
        empty_tables(trak, mvhd_in->timescale);
        t->trak = trak;
        t->handler_type = box_find_path(trak, "mdia/hdlr")->handler_type;
        mp4_box *stsd = box_find_path(trak, "mdia/minf/stbl/stsd");
        t->fourcc = stsd && stsd->child ? stsd->child->type : 0;
        t->timescale = box_find_path(trak, "mdia/mdhd")->timescale;
        if (mp4_box *trex = trex_of(moov, id))
            t->sample_duration = trex->default_duration;
        mp4_box *stbl = box_find_path(trak, "mdia/minf/stbl");
        if (t->handler_type == T('v', 'i', 'd', 'e') && stbl && !box_find_child(stbl, T('s', 't', 's', 's'))) {
            mp4_box *stss = new_box(T('s', 't', 's', 's'));
            stss->fields = 1;
            box_append_child(stbl, stss);
        }
    }
    w->moov = copy;
    w->exact_durations = 1;
    return mp4_write_file_start(w);
}

void add_mdat(mp4_remux_state *x, const mp4_box *b)
{
    if (array_grow((void **)&x->mdats, x->mdat_count, x->mdat_count + 1, sizeof(MdatRange))) {
        mp4_error(x->reader, MP4_ERR_NOMEM);
        x->stop = true;
        return;
    }
    uint64_t end = b->payload_pos - b->header_size + b->size;
    x->mdats[x->mdat_count++] = {b->payload_pos, end < x->file_size ? end : x->file_size};
}

// 1 found, 0 not in any mdat read so far, -1 not found within the search limit
int locate(mp4_remux_state *x, uint64_t pos, uint32_t len)
{
    uint32_t searched = 0;
    for (uint32_t i = x->mdat_count; i-- > 0 && searched < MDAT_SEARCH_LIMIT; searched++)
        if (pos >= x->mdats[i].start && pos <= x->mdats[i].end && len <= x->mdats[i].end - pos)
            return 1;
    return x->mdat_count > MDAT_SEARCH_LIMIT ? -1 : 0;
}

void process_moof(mp4_remux_state *x, mp4_box *moof)
{
    mp4_muxer *r = x->reader;
    uint64_t moof_start = moof->payload_pos - moof->header_size;
    uint64_t traf_end = moof_start;
    bool first_traf = true;
    for (mp4_box *traf = moof->child; traf && !x->stop; traf = traf->next) {
        if (traf->type != T('t', 'r', 'a', 'f'))
            continue;
        mp4_box *tfhd = box_find_child(traf, T('t', 'f', 'h', 'd'));
        if (!tfhd)
            continue;
        mp4_box *trex = trex_of(r->moov, tfhd->track_id);
        uint32_t def_duration = (tfhd->flags & 0x08) ? tfhd->default_duration : trex ? trex->default_duration : 0;
        uint32_t def_size = (tfhd->flags & 0x10) ? tfhd->default_size : trex ? trex->default_size : 0;
        uint32_t def_flags = (tfhd->flags & 0x20) ? tfhd->default_flags : trex ? trex->default_flags : 0;
        uint64_t base = (tfhd->flags & 0x01)                        ? tfhd->base_data_offset
                        : ((tfhd->flags & 0x20000) || first_traf) ? moof_start
                                                                  : traf_end;
        first_traf = false;
        uint64_t pos = base;
        for (mp4_box *trun = traf->child; trun && !x->stop; trun = trun->next) {
            if (trun->type != T('t', 'r', 'u', 'n'))
                continue;
            if (trun->flags & 0x01)
                pos = base + (uint64_t)(int64_t)trun->data_offset;
            uint32_t n = trun->sample_count;
            bool per_sample = trun->count == n && n && trun->table;
            if (!per_sample && n > (x->file_size / (def_size ? def_size : 1)) + 1) {
                log_printf("%s: trun of %u samples in a file of %llu bytes\n", "mp4_remux", n,
                           (unsigned long long)x->file_size);
                mp4_error(r, MP4_ERR_BAD_INPUT);
                x->stop = true;
                break;
            }
            for (uint32_t i = 0; i < n && !x->stop; i++) {
                const uint64_t *e = per_sample ? trun->table + (size_t)i * 4 : nullptr;
                uint32_t duration = (trun->flags & 0x100) && e ? (uint32_t)e[0] : def_duration;
                uint32_t size = (trun->flags & 0x200) && e ? (uint32_t)e[1] : def_size;
                uint32_t flags = (trun->flags & 0x400) && e ? (uint32_t)e[2]
                                 : (i == 0 && (trun->flags & 0x04)) ? trun->first_sample_flags
                                                                    : def_flags;
                int32_t cto = (trun->flags & 0x800) && e ? (int32_t)(uint32_t)e[3] : 0;
                int found = locate(x, pos, size);
                if (found < 0) {
                    log_printf("%s: failed to find a MDAT containing referenced track data at offset %llu len=%u\n",
                               "mp4_remux", (unsigned long long)pos, size);
                    mp4_error(r, MP4_ERR_REMUX);
                    x->stop = true;
                    break;
                }
                if (found == 0 && x->misses++ < MISS_LOG_LIMIT)
                    log_printf("%s: failed to find a MDAT containing referenced track data at offset %llu len=%u\n",
                               "mp4_remux", (unsigned long long)pos, size);
                // a sample without data still carries its duration
                if (r->fragment_cb)
                    r->fragment_cb(r->fragment_user, tfhd->track_id, pos, found ? size : 0, duration, flags, cto);
                pos += size;
            }
            traf_end = pos;
        }
    }
}

void table_sample(void *user, uint64_t offset, uint32_t size, uint32_t duration, int sync)
{
    mp4_remux_state *x = (mp4_remux_state *)user;
    mp4_muxer *r = x->reader;
    if (x->stop)
        return;
    int found = locate(x, offset, size);
    if (found < 0) {
        log_printf("%s: failed to find a MDAT containing referenced track data at offset %llu len=%u\n", "mp4_remux",
                   (unsigned long long)offset, size);
        mp4_error(r, MP4_ERR_REMUX);
        x->stop = true;
        return;
    }
    if (found == 0 && x->misses++ < MISS_LOG_LIMIT)
        log_printf("%s: failed to find a MDAT containing referenced track data at offset %llu len=%u\n", "mp4_remux",
                   (unsigned long long)offset, size);
    if (r->fragment_cb)
        r->fragment_cb(r->fragment_user, x->table_track, offset, found ? size : 0, duration, sync ? 0 : 0x10000, 0);
}

// Samples the moov's own tables name (a fragmented file whose first fragment is in the moov).
void process_moov_samples(mp4_remux_state *x)
{
    x->moov_samples = false;
    for (mp4_box *trak = x->reader->moov->child; trak && !x->stop; trak = trak->next) {
        mp4_box *tkhd = trak->type == T('t', 'r', 'a', 'k') ? box_find_child(trak, T('t', 'k', 'h', 'd')) : nullptr;
        mp4_box *hdlr = box_find_path(trak, "mdia/hdlr");
        if (!tkhd || !hdlr)
            continue;
        x->table_track = tkhd->track_id;
        if (mp4_each_table_sample(trak, hdlr->handler_type != T('v', 'i', 'd', 'e'), table_sample, x) < 0)
            log_printf("%s: sample tables of track %u do not hold together\n", "mp4_remux", tkhd->track_id);
    }
}

bool has_table_samples(mp4_box *moov)
{
    for (mp4_box *trak = moov->child; trak; trak = trak->next) {
        mp4_box *stsz = trak->type == T('t', 'r', 'a', 'k') ? box_find_path(trak, "mdia/minf/stbl/stsz") : nullptr;
        if (stsz && (stsz->sample_size ? stsz->sample_count : stsz->count))
            return true;
    }
    return false;
}

void process_pending(mp4_remux_state *x)
{
    if (x->moov_samples && !x->stop)
        process_moov_samples(x);
    if (!x->pending)
        return;
    process_moof(x, x->pending);
    box_free(x->pending);
    x->pending = nullptr;
}

void defrag_callback(void *user, uint32_t id, uint64_t offset, uint32_t len, uint32_t duration, uint32_t flags,
                     int32_t cto)
{
    mp4_muxer *r = (mp4_muxer *)user;
    mp4_remux_state *x = r->remux;
    if (!x)
        return;
    mp4_muxer *w = x->writer;
    if (!w->track || id == 0 || id >= w->next_track_id || !w->track[id - 1].trak)
        return;
    if (len > x->buf_size) {
        uint8_t *p = (uint8_t *)realloc(x->buf, len);
        if (!p) {
            mp4_error(r, MP4_ERR_NOMEM);
            x->stop = true;
            return;
        }
        x->buf = p;
        x->buf_size = len;
    }
    if (len && pread(input_fd(r), x->buf, len, (off_t)offset) != (ssize_t)len) {
        log_printf("%s: short read of %u bytes at %llu\n", "mp4_remux", len, (unsigned long long)offset);
        len = 0;
    }
    int sync = !(flags & 0x10000);
    if (mp4_write_raw_sample(w, id, x->buf, len, duration, sync, cto) < 0 && mp4_has_error(w))
        x->stop = true;
}

int run(mp4_muxer *r, mp4_muxer *w)
{
    if (input_fd(r) < 0 || (w->fd < 0 && !w->file)) {
        log_printf("%s: needs an input and an output file\n", "mp4_remux");
        return -1;
    }
    if (w->moov || r->remux) {
        log_printf("%s: the handle has been used\n", "mp4_remux");
        return -1;
    }
    mp4_remux_state x = {};
    x.reader = r;
    x.writer = w;
    struct stat st;
    if (fstat(input_fd(r), &st) == 0)
        x.file_size = (uint64_t)st.st_size;
    r->remux = &x;
    bool have_moov = false;
    while (!x.stop) {
        mp4_box *b = rwBox(r, nullptr);
        if (!b)
            break;
        if (b->type == T('m', 'o', 'o', 'v') && !have_moov) {
            box_free(r->moov);
            r->moov = b;
            have_moov = true;
            mp4_init_timestamps(r);
            if (copy_moov(&x, b) < 0)
                x.stop = true;
            x.moov_samples = has_table_samples(b);
            continue;
        }
        if (b->type == T('m', 'o', 'o', 'f') && have_moov) {
            process_pending(&x);
            x.pending = b;
            continue;
        }
        if (b->type == T('m', 'd', 'a', 't')) {
            add_mdat(&x, b);
            process_pending(&x);
        }
        box_free(b);
    }
    process_pending(&x);
    if (!have_moov)
        log_printf("%s: no moov in the input\n", "mp4_remux");
    free(x.mdats);
    free(x.buf);
    r->remux = nullptr;
    return have_moov && !mp4_has_error(r) && !mp4_has_error(w) ? 0 : -1;
}

} // namespace

mp4_muxer *mp4_new_remux_writer()
{
    mp4_muxer *w = mp4_new();
    if (!w)
        return nullptr;
    w->child = mp4_new_reader();
    if (!w->child) {
        mp4_delete(w);
        return nullptr;
    }
    w->child->fragment_cb = defrag_callback;
    w->child->fragment_user = w->child;
    return w;
}

mp4_muxer *mp4_new_defrag_reader()
{
    mp4_muxer *r = mp4_new_reader();
    if (!r)
        return nullptr;
    r->mode |= MP4_MODE_DEFRAG;
    r->child = mp4_new();
    if (!r->child) {
        mp4_delete(r);
        return nullptr;
    }
    r->fragment_cb = defrag_callback;
    r->fragment_user = r;
    return r;
}

int mp4_remux(mp4_muxer *m, FILE *other)
{
    if (!m || !m->child || mp4_is_reader(m) == mp4_is_reader(m->child)) {
        log_printf("%s: not a remuxable handle\n", "mp4_remux");
        return -1;
    }
    mp4_muxer *r = mp4_is_reader(m) ? m : m->child;
    mp4_muxer *w = mp4_is_reader(m) ? m->child : m;
    if (other) {
        // the one stream the forwarding setters cannot reach
        mp4_muxer *own = m;
        own->file = other;
        own->pos = (uint64_t)(ftello(other) > 0 ? ftello(other) : 0);
    }
    return run(r, w);
}
