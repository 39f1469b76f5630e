// Whole-file player of the MP4 module: walks the sample tables of the last video and the last
// sound track, forwards, backwards or from a seek point, and hands each sample to the sample
// callback. Tables come from media and are checked against each other and the file before use.
#include "core/log.h"
#include "streams/mp4.h"
#include "streams/mp4_box.h"

#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

#define T(a, b, c, d) MP4_FOURCC(a, b, c, d)

namespace {

struct Cursor {
    mp4_box *stts, *stsc, *stsz, *stco, *stss;
    uint32_t count;        // samples in the track
    uint32_t fixed_size;   // stsz sample_size, 0 when every sample has its own
    int sound;
    // state of sample `index`; index == count is the end
    uint32_t index;
    uint32_t stts_e;
    uint64_t stts_k;
    uint32_t stsc_e;
    uint32_t chunk, in_chunk;
    uint64_t offset, time;
};

} // namespace

struct mp4_player {
    Cursor track[2];   // 0 video, 1 sound
    bool have[2];
    uint64_t file_size;
    uint64_t mdat_start, mdat_end;
    bool started;
};

void mp4_player_free(mp4_player *p) { free(p); }

namespace {

uint64_t sample_size(const Cursor &c, uint32_t i) { return c.fixed_size ? c.fixed_size : c.stsz->table[i]; }
uint64_t spc(const Cursor &c) { return c.stsc->table[(size_t)c.stsc_e * 3 + 1]; }
uint64_t first_chunk(const Cursor &c, uint32_t e) { return c.stsc->table[(size_t)e * 3]; }

void skip_empty_stts(Cursor &c)
{
    while (c.stts_e < c.stts->count && c.stts->table[(size_t)c.stts_e * 2] == 0)
        c.stts_e++;
}

void reset(Cursor &c)
{
    c.index = 0;
    c.stts_e = 0;
    c.stts_k = 0;
    skip_empty_stts(c);
    c.stsc_e = 0;
    c.chunk = 0;
    c.in_chunk = 0;
    c.time = 0;
    c.offset = c.stco->count ? c.stco->table[0] : 0;
}

int next(Cursor &c)
{
    if (c.index >= c.count || c.stts_e >= c.stts->count)
        return -1;
    c.time += c.stts->table[(size_t)c.stts_e * 2 + 1];
    if (++c.stts_k >= c.stts->table[(size_t)c.stts_e * 2]) {
        c.stts_e++;
        c.stts_k = 0;
        skip_empty_stts(c);
    }
    c.offset += sample_size(c, c.index);
    c.index++;
    c.in_chunk++;
    if (c.index < c.count && c.in_chunk >= spc(c)) {
        c.chunk++;
        c.in_chunk = 0;
        if (c.stsc_e + 1 < c.stsc->count && c.chunk + 1 >= first_chunk(c, c.stsc_e + 1))
            c.stsc_e++;
        if (c.chunk >= c.stco->count) {
            log_printf("%s: sample %u lies in chunk %u of %u\n", "mp4_play", c.index + 1, c.chunk + 1,
                       c.stco->count);
            return -1;
        }
        c.offset = c.stco->table[c.chunk];
    }
    return 0;
}

int prev(Cursor &c)
{
    if (c.index == 0)
        return -1;
    if (c.stts_k > 0) {
        c.stts_k--;
    } else {
        do {
            if (c.stts_e == 0)
                return -1;
            c.stts_e--;
        } while (c.stts->table[(size_t)c.stts_e * 2] == 0);
        c.stts_k = c.stts->table[(size_t)c.stts_e * 2] - 1;
    }
    c.time -= c.stts->table[(size_t)c.stts_e * 2 + 1];
    c.index--;
    if (c.in_chunk > 0) {
        c.in_chunk--;
        c.offset -= sample_size(c, c.index);
        return 0;
    }
    if (c.chunk == 0)
        return -1;
    c.chunk--;
    if (c.stsc_e > 0 && first_chunk(c, c.stsc_e) > c.chunk + 1)
        c.stsc_e--;
    uint64_t in = spc(c) - 1;
    if (in > c.index)
        return -1;
    c.in_chunk = (uint32_t)in;
    c.offset = c.stco->table[c.chunk];
    for (uint32_t i = c.index - c.in_chunk; i < c.index; i++)
        c.offset += sample_size(c, i);
    return 0;
}

bool is_sync(const Cursor &c, uint32_t index)
{
    uint64_t want = (uint64_t)index + 1;
    uint32_t lo = 0, hi = c.stss->count;
    while (lo < hi) {
        uint32_t mid = lo + (hi - lo) / 2;
        if (c.stss->table[mid] < want)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo < c.stss->count && c.stss->table[lo] == want;
}

int flags_of(const Cursor &c)
{
    if (c.sound || !c.stss)
        return 2;
    return is_sync(c, c.index) ? 1 : 0;
}

// The tables of a track must agree with each other before any of them is indexed.
int setup_track(Cursor &c, mp4_box *trak, bool sound)
{
    memset(&c, 0, sizeof c);
    mp4_box *stbl = box_find_path(trak, "mdia/minf/stbl");
    c.stts = box_find_child(stbl, T('s', 't', 't', 's'));
    c.stsc = box_find_child(stbl, T('s', 't', 's', 'c'));
    c.stsz = box_find_child(stbl, T('s', 't', 's', 'z'));
    c.stco = box_find_child(stbl, T('s', 't', 'c', 'o'));
    if (!c.stco)
        c.stco = box_find_child(stbl, T('c', 'o', '6', '4'));
    c.stss = sound ? nullptr : box_find_child(stbl, T('s', 't', 's', 's'));
    c.sound = sound;
    if (!c.stts || !c.stsc || !c.stsz || !c.stco) {
        log_printf("%s: track without a complete sample table\n", "mp4_play");
        return -1;
    }
    c.fixed_size = c.stsz->sample_size;
    c.count = c.fixed_size ? c.stsz->sample_count : c.stsz->count;
    uint64_t timed = 0;
    for (uint32_t i = 0; i < c.stts->count; i++)
        timed += c.stts->table[(size_t)i * 2];
    if (timed < c.count) {
        log_printf("%s: stts covers %llu of %u samples\n", "mp4_play", (unsigned long long)timed, c.count);
        return -1;
    }
    uint64_t placed = 0;
    for (uint32_t i = 0; i < c.stsc->count; i++) {
        uint64_t first = c.stsc->table[(size_t)i * 3], per = c.stsc->table[(size_t)i * 3 + 1];
        uint64_t end = i + 1 < c.stsc->count ? c.stsc->table[(size_t)(i + 1) * 3] : (uint64_t)c.stco->count + 1;
        if (first == 0 || first > c.stco->count || end <= first || end > (uint64_t)c.stco->count + 1 || per == 0) {
            log_printf("%s: stsc run %u names chunks %llu.. of %u\n", "mp4_play", i + 1, (unsigned long long)first,
                       c.stco->count);
            return -1;
        }
        placed += (end - first) * per;
    }
    if (c.count && (c.stsc->count == 0 || c.stsc->table[0] != 1 || placed < c.count)) {
        log_printf("%s: chunks hold %llu of %u samples\n", "mp4_play", (unsigned long long)placed, c.count);
        return -1;
    }
    for (uint32_t i = 0; c.stss && i < c.stss->count; i++) {
        uint64_t s = c.stss->table[i];
        if (s == 0 || s > c.count || (i && s <= c.stss->table[i - 1])) {
            log_printf("%s: stss entry %llu past the last sample %u\n", "mp4_play", (unsigned long long)s, c.count);
            return -1;
        }
    }
    reset(c);
    return 0;
}

uint64_t file_size_of(mp4_muxer *m)
{
    struct stat st;
    int fd = m->fd >= 0 ? m->fd : (m->file ? fileno(m->file) : -1);
    if (fd < 0 || fstat(fd, &st) < 0)
        return 0;
    return (uint64_t)st.st_size;
}

mp4_player *player_of(mp4_muxer *m, const char *op)
{
    if (!m)
        return nullptr;
    if (!mp4_is_reader(m)) {
        log_printf("%s: not a reader muxer\n", op);
        return nullptr;
    }
    if (m->player)
        return m->player;
    if (!m->track && mp4_read_until_moov(m) < 0)
        return nullptr;
    mp4_box *video = nullptr, *sound = nullptr;
    for (mp4_box *c = m->moov ? m->moov->child : nullptr; c; c = c->next) {
        mp4_box *hdlr = c->type == T('t', 'r', 'a', 'k') ? box_find_path(c, "mdia/hdlr") : nullptr;
        if (hdlr && hdlr->handler_type == T('v', 'i', 'd', 'e'))
            video = c;
        else if (hdlr && hdlr->handler_type == T('s', 'o', 'u', 'n'))
            sound = c;
    }
    if (!video && !sound) {
        log_printf("%s: no video or sound track\n", op);
        return nullptr;
    }
    mp4_box *vm = box_find_path(video, "mdia/mdhd"), *sm = box_find_path(sound, "mdia/mdhd");
    if (video && sound && (!vm || !sm || vm->timescale != sm->timescale)) {
        log_printf("can't handle different track timescales\n");
        return nullptr;
    }
    mp4_player *p = (mp4_player *)calloc(1, sizeof(mp4_player));
    if (!p) {
        mp4_error(m, MP4_ERR_NOMEM);
        return nullptr;
    }
    if ((video && setup_track(p->track[0], video, false) < 0) || (sound && setup_track(p->track[1], sound, true) < 0)) {
        free(p);
        return nullptr;
    }
    p->have[0] = video != nullptr;
    p->have[1] = sound != nullptr;
    p->file_size = file_size_of(m);
    if (m->mdat) {
        p->mdat_start = m->mdat->payload_pos;
        p->mdat_end = m->mdat->payload_pos - m->mdat->header_size + m->mdat->size;
        if (p->mdat_end > p->file_size)
            p->mdat_end = p->file_size;
    }
    m->player = p;
    return p;
}

// Hands one sample to the callback; a sample past the end of the file stops play.
int deliver(mp4_muxer *m, const mp4_player *p, const Cursor &c)
{
    uint64_t size = sample_size(c, c.index);
    if (c.offset > p->file_size || size > p->file_size - c.offset) {
        log_printf("%s: sample %u at %llu,%llu lies past the end of the file (%llu)\n", "mp4_play", c.index + 1,
                   (unsigned long long)c.offset, (unsigned long long)size, (unsigned long long)p->file_size);
        return -1;
    }
    if (c.offset < p->mdat_start || c.offset + size > p->mdat_end) {
        log_printf("mp4 ignoring sample offset %llu,%u outside of mdat %llu\n", (unsigned long long)c.offset,
                   (unsigned)size, (unsigned long long)p->mdat_start);
        return 0;
    }
    if (m->sample_cb)
        m->sample_cb(m->sample_user, c.offset, c.time, (uint32_t)size, flags_of(c));
    return 0;
}

int play_step(mp4_muxer *m, mp4_player *p, Cursor &c)
{
    if (deliver(m, p, c) < 0 || next(c) < 0)
        return -1;
    return 0;
}

} // namespace

int mp4_play(mp4_muxer *m)
{
    mp4_player *p = player_of(m, "mp4_play");
    if (!p)
        return -1;
    p->started = true;
    Cursor &v = p->track[0], &a = p->track[1];
    bool more_video = p->have[0] && v.index < v.count;
    while (p->have[1] && a.index < a.count && (!more_video || a.time <= v.time)) {
        if (play_step(m, p, a) < 0)
            return -1;
        if (!more_video)
            return 0;   // sound alone: one sample per call
    }
    if (more_video)
        return play_step(m, p, v);
    return 1;
}

int mp4_play_reverse(mp4_muxer *m)
{
    mp4_player *p = player_of(m, "mp4_play_reverse");
    if (!p)
        return -1;
    Cursor &v = p->track[0], &a = p->track[1];
    if (!p->started) {
        p->started = true;
        for (int i = 0; i < 2; i++)
            while (p->have[i] && p->track[i].index < p->track[i].count)
                if (next(p->track[i]) < 0)
                    return -1;
    }
    bool more_video = p->have[0] && v.index > 0;
    if (more_video && prev(v) < 0)
        return -1;
    // the sound that forward play gives after this video sample comes first backwards
    while (p->have[1] && a.index > 0) {
        Cursor before = a;
        if (prev(a) < 0)
            return -1;
        if (more_video && a.time <= v.time) {
            a = before;
            break;
        }
        if (deliver(m, p, a) < 0)
            return -1;
        if (!more_video)
            return 0;
    }
    if (more_video)
        return deliver(m, p, v);
    return 1;
}

int mp4_seek(mp4_muxer *m, uint64_t time)
{
    mp4_player *p = player_of(m, "mp4_seek");
    if (!p)
        return -1;
    p->started = true;
    uint64_t landed = time;
    if (p->have[0]) {
        Cursor &v = p->track[0];
        reset(v);
        Cursor best = v;
        // the last sync sample not later than the time
        while (v.index < v.count && v.time <= time) {
            if (flags_of(v) != 0)
                best = v;
            if (next(v) < 0)
                return -1;
        }
        v = best;
        landed = v.time;
    }
    if (p->have[1]) {
        Cursor &a = p->track[1];
        reset(a);
        while (a.index + 1 < a.count) {
            Cursor ahead = a;
            if (next(ahead) < 0)
                return -1;
            if (ahead.time > landed)
                break;
            a = ahead;
        }
    }
    return 0;
}

int mp4_each_table_sample(mp4_box *trak, int sound, mp4_table_sample_fn fn, void *user)
{
    Cursor c;
    if (setup_track(c, trak, sound) < 0)
        return -1;
    while (c.index < c.count) {
        uint32_t delta = (uint32_t)c.stts->table[(size_t)c.stts_e * 2 + 1];
        fn(user, c.offset, (uint32_t)sample_size(c, c.index), delta, flags_of(c) != 0);
        if (next(c) < 0)
            return -1;
    }
    return 0;
}
