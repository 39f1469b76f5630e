// Box layer of the MP4 module: byte I/O of the handle, box nodes and rwBox.
#include "streams/mp4_box.h"

#include "core/log.h"

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

static const uint32_t T_FREE = MP4_FOURCC('f', 'r', 'e', 'e');
static const uint32_t T_WIDE = MP4_FOURCC('w', 'i', 'd', 'e');
static const uint32_t T_MDAT = MP4_FOURCC('m', 'd', 'a', 't');

#define FCC(t) (char)((t) >> 24), (char)((t) >> 16), (char)((t) >> 8), (char)(t)

void mp4_error(mp4_muxer *m, int code)
{
    if (m && !m->error)
        m->error = (uint8_t)code;
}

int mp4_is_reader(const mp4_muxer *m) { return m && (m->mode & MP4_MODE_READER); }

// ---- byte layer ----

static void note_write_failure(mp4_muxer *m, const char *what, uint64_t n)
{
    perror(what);
    long fpos = -1;
    if (m->fd >= 0)
        fpos = (long)lseek(m->fd, 0, SEEK_CUR);
    else if (m->file)
        fpos = (long)ftello(m->file);
    log_printf("%s: n=%d pos=%llu %ld\n", "write_n", (int)n, (unsigned long long)m->pos, fpos);
    mp4_error(m, MP4_ERR_WRITE);
    if (fpos >= 0)
        m->pos = (uint64_t)fpos;
}

int mp4_flush_file(mp4_muxer *m)
{
    if (!m->file || ferror(m->file))
        return m->file ? -1 : 0;
    if (fflush(m->file) != 0) {
        note_write_failure(m, "fflush", 0);
        return -1;
    }
    return 0;
}

static void buffer_write(mp4_muxer *m, const uint8_t *data, uint64_t n)
{
    uint64_t off = m->pos - m->buf_attach_pos;
    uint64_t space = off < m->buf_size ? m->buf_size - off : 0;
    uint64_t fit = n < space ? n : space;
    if (fit) {
        if (data)
            memcpy(m->buf + off, data, fit);
        else
            memset(m->buf + off, 0, fit);
    }
    if (fit < n) {
        // Bytes past the caller's buffer are only counted: nothing would ever deliver them.
        if (!m->overflow_warned) {
            log_printf("warning: buffer overflowed pos=%d space=%d n=%d\n", (int)off, (int)space, (int)n);
            m->overflow_warned = 1;
            usleep(1000000);   // give the reader of this stream time to catch up
        }
        mp4_error(m, MP4_ERR_OVERFLOW);
    }
}

int write_n(mp4_muxer *m, const void *data, uint64_t n)
{
    static const uint8_t zeros[4096] = {};
    if ((int64_t)n < 0) {
        log_printf("%s: n=%d (bad seek?)\n", "write_n", (int)n);
        mp4_error(m, MP4_ERR_SEEK);
        return -1;
    }
    if (n == 0)
        return 0;
    if (m->fd >= 0) {
        uint64_t done = 0;
        while (done < n) {
            const void *src = data ? (const uint8_t *)data + done : zeros;
            size_t chunk = data ? (size_t)(n - done) : (size_t)(n - done < sizeof zeros ? n - done : sizeof zeros);
            ssize_t r = write(m->fd, src, chunk);
            if (r < 0 && errno == EINTR)
                continue;
            if (r <= 0) {
                note_write_failure(m, "write", n);
                return -1;
            }
            done += (uint64_t)r;
        }
    } else if (m->file) {
        if (ferror(m->file)) {
            if (!m->error)
                mp4_error(m, MP4_ERR_WRITE);   // a flush failed where nobody looked
            return -1;
        }
        uint64_t done = 0;
        while (done < n) {
            size_t chunk = data ? (size_t)(n - done) : (size_t)(n - done < sizeof zeros ? n - done : sizeof zeros);
            const void *src = data ? (const uint8_t *)data + done : zeros;
            size_t w = fwrite(src, 1, chunk, m->file);
            if (m->mirror)
                fwrite(src, 1, chunk, m->mirror);
            if (w != chunk) {
                note_write_failure(m, "fwrite", n);
                return -1;
            }
            done += w;
        }
    } else if (m->buf) {
        buffer_write(m, (const uint8_t *)data, n);
    }
    m->pos += n;
    if (m->pos > m->high_water)
        m->high_water = m->pos;
    return 0;
}

int read_n(mp4_muxer *m, void *dst, uint64_t n)
{
    if (m->buf) {
        uint64_t off = m->pos - m->buf_attach_pos;
        if (off > m->buf_size || n > m->buf_size - off) {
            m->mode |= MP4_MODE_EOF;
            return -1;
        }
        memcpy(dst, m->buf + off, n);
        m->pos += n;
        return 0;
    }
    if (m->fd >= 0) {
        uint64_t done = 0;
        while (done < n) {
            ssize_t r = read(m->fd, (uint8_t *)dst + done, n - done);
            if (r < 0 && errno == EINTR)
                continue;
            if (r <= 0)
                break;
            done += (uint64_t)r;
        }
        m->pos += done;
        if (done < n) {
            m->mode |= MP4_MODE_EOF;
            return -1;
        }
        return 0;
    }
    if (m->file) {
        size_t r = fread(dst, 1, n, m->file);
        m->pos += r;
        if (r < n) {
            m->mode |= MP4_MODE_EOF;
            return -1;
        }
        return 0;
    }
    m->mode |= MP4_MODE_EOF;
    return -1;
}

int muxer_seek(mp4_muxer *m, uint64_t position)
{
    if (position == m->pos)
        return 0;
    if (m->fd >= 0) {
        if (lseek(m->fd, (off_t)position, SEEK_SET) < 0) {
            perror("lseek");
            log_printf("off=%llu\n", (unsigned long long)position);
            mp4_error(m, MP4_ERR_SEEK);
            return -1;
        }
        m->pos = position;
        return 0;
    }
    if (m->file) {
        // The seek writes out what stdio holds first: on a full medium that is the failed
        // write, and it must be reported as one so the file is finished in the room it has.
        if (fflush(m->file) != 0 || (m->mirror && fflush(m->mirror) != 0)) {
            note_write_failure(m, "fflush", 0);
            return -1;
        }
        if (fseeko(m->file, (off_t)position, SEEK_SET) != 0) {
            perror("fseeko");
            log_printf("off=%llu\n", (unsigned long long)position);
            mp4_error(m, MP4_ERR_SEEK);
            return -1;
        }
        if (m->mirror && fseeko(m->mirror, (off_t)position, SEEK_SET) != 0) {
            perror("fseeko 2");
            log_printf("off=%llu\n", (unsigned long long)position);
            mp4_error(m, MP4_ERR_SEEK);
            return -1;
        }
        m->pos = position;
        return 0;
    }
    if (m->buf && mp4_is_reader(m)) {
        if (position < m->buf_attach_pos || position > m->buf_attach_pos + m->buf_size) {
            log_printf("%s: dangerous seek outside of buffer\n", "muxer_seek");
            log_printf("%s: seek pos %llu buffer: %llu..%llu\n", "muxer_seek", (unsigned long long)position,
                       (unsigned long long)m->buf_attach_pos,
                       (unsigned long long)(m->buf_attach_pos + m->buf_size));
            mp4_error(m, MP4_ERR_SEEK);
            return -1;
        }
        m->pos = position;
        return 0;
    }
    if (m->buf) {
        if (position > m->high_water) {
            m->pos = m->high_water;
            return write_n(m, nullptr, position - m->high_water);
        }
        if (position >= m->buf_attach_pos) {
            m->pos = position;
            return 0;
        }
        log_printf("%s: dangerous seek %llu outside of any buffer!\n", "muxer_seek", (unsigned long long)position);
        mp4_error(m, MP4_ERR_SEEK);
        return -1;
    }
    m->pos = position;   // counting only
    return 0;
}

uint64_t muxer_pos(mp4_muxer *m)
{
    if (m->error == MP4_ERR_WRITE) {
        int64_t fpos = -1;
        if (m->fd >= 0)
            fpos = lseek(m->fd, 0, SEEK_CUR);
        else if (m->file)
            fpos = ftello(m->file);
        if (fpos >= 0 && (uint64_t)fpos != m->pos) {
            log_printf("%s: warning ftell %llu != current_pos %llu\n", "muxer_pos", (unsigned long long)fpos,
                       (unsigned long long)m->pos);
            m->pos = (uint64_t)fpos;
        }
    }
    return m->pos;
}

static void put32(uint8_t *p, uint32_t v)
{
    p[0] = (uint8_t)(v >> 24);
    p[1] = (uint8_t)(v >> 16);
    p[2] = (uint8_t)(v >> 8);
    p[3] = (uint8_t)v;
}

static int read_back(mp4_muxer *m, uint64_t at, uint8_t *dst, size_t n)
{
    if (m->fd >= 0)
        return pread(m->fd, dst, n, (off_t)at) == (ssize_t)n ? 0 : -1;
    if (m->file) {
        if (muxer_seek(m, at) < 0)
            return -1;
        size_t r = fread(dst, 1, n, m->file);
        // re-sync the stream for writing whatever happened
        fseeko(m->file, (off_t)at, SEEK_SET);
        clearerr(m->file);
        return r == n ? 0 : -1;
    }
    if (m->buf && at >= m->buf_attach_pos && at + n <= m->buf_attach_pos + m->buf_size) {
        memcpy(dst, m->buf + (at - m->buf_attach_pos), n);
        return 0;
    }
    return -1;
}

int updateBoxSize(mp4_muxer *m, mp4_box *box)
{
    if (mp4_is_reader(m)) {
        log_printf("%s: Can't update box size when reading!\n", "updateBoxSize");
        return -1;
    }
    uint64_t back = m->pos;
    uint64_t start = box->payload_pos - box->header_size;
    uint8_t hdr[16];
    if (box->header_size == 16) {
        put32(hdr, (uint32_t)(box->size >> 32));
        put32(hdr + 4, (uint32_t)box->size);
        if (muxer_seek(m, start + 8) < 0 || write_n(m, hdr, 8) < 0)
            return -1;
    } else if (box->size <= 0xFFFFFFFFull) {
        put32(hdr, (uint32_t)box->size);
        if (muxer_seek(m, start) < 0 || write_n(m, hdr, 4) < 0)
            return -1;
    } else {
        uint32_t placeholder = (m->mode & MP4_MODE_QT) ? T_WIDE : T_FREE;
        uint8_t front[8];
        if (start < 8)
            goto fail;
        if (read_back(m, start - 8, front, 8) < 0) {
            log_printf("%s: mp4 output file is not \"w+\"\n", "updateBoxSize");
            put32(front, 8);
            put32(front + 4, placeholder);
        }
        if (front[0] || front[1] || front[2] || front[3] != 8 ||
            (uint32_t)(front[4] << 24 | front[5] << 16 | front[6] << 8 | front[7]) != placeholder)
            goto fail;
        box->size += 8;
        box->header_size = 16;
        start -= 8;
        put32(hdr, 1);
        put32(hdr + 4, box->type);
        put32(hdr + 8, (uint32_t)(box->size >> 32));
        put32(hdr + 12, (uint32_t)box->size);
        if (muxer_seek(m, start) < 0 || write_n(m, hdr, 16) < 0)
            return -1;
    }
    return muxer_seek(m, back);
fail:
    log_printf("%s: 64-bit failed  (size=%d type=%c%c%c%c)\n", "updateBoxSize", (int)box->size, FCC(box->type));
    muxer_seek(m, back);
    return -1;
}

// ---- nodes ----

void *(*mp4_box_realloc)(void *, size_t) = realloc;

mp4_box *new_box(uint32_t type)
{
    mp4_box *b = (mp4_box *)calloc(1, sizeof(mp4_box));
    if (!b) {
        fprintf(stderr, "Fatal: out of memory\n");
        exit(1);
    }
    b->type = type;
    b->size = 8;
    b->header_size = 8;
    b->node_flags = BOX_HEAP | BOX_OWNS | BOX_RESIZABLE;
    return b;
}

void box_append_child(mp4_box *parent, mp4_box *child)
{
    child->parent = parent;
    child->next = nullptr;
    if (!parent->child) {
        parent->child = child;
    } else {
        mp4_box *c = parent->child;
        while (c->next)
            c = c->next;
        c->next = child;
    }
    for (mp4_box *p = parent; p; p = p->parent)
        p->size += child->size;
}

static void box_free_tree(mp4_box *b)
{
    while (b) {
        mp4_box *next = b->next;
        box_free_tree(b->child);
        if (b->node_flags & BOX_OWNS) {
            free(b->table);
            free(b->name);
        }
        if (b->node_flags & BOX_HEAP)
            free(b);
        b = next;
    }
}

void box_free(mp4_box *box)
{
    if (!box)
        return;
    if (box->parent) {
        mp4_box **link = &box->parent->child;
        while (*link && *link != box)
            link = &(*link)->next;
        if (*link)
            *link = box->next;
        for (mp4_box *p = box->parent; p; p = p->parent)
            p->size -= box->size;
    }
    box->next = nullptr;
    box_free_tree(box);
}

mp4_box *box_find_child(mp4_box *node, uint32_t type)
{
    if (!node)
        return nullptr;
    for (mp4_box *c = node->child; c; c = c->next)
        if (c->type == type)
            return c;
    return nullptr;
}

mp4_box *box_find_path(mp4_box *node, const char *path)
{
    while (node && *path) {
        uint32_t t = MP4_FOURCC(path[0], path[1], path[2], path[3]);
        node = box_find_child(node, t);
        path += 4;
        if (*path == '/')
            path++;
    }
    return node;
}

static size_t grow_capacity(size_t bytes)
{
    if (bytes == 0)
        return 0;
    if (bytes <= 0xFFFFF) {
        size_t c = 1;
        while (c < bytes)
            c <<= 1;
        return c;
    }
    return (bytes + 0xFFFFF) & ~(size_t)0xFFFFF;
}

int array_grow(void **array, uint32_t old_count, uint32_t new_count, size_t entry_size)
{
    size_t old_cap = grow_capacity((size_t)old_count * entry_size);
    size_t new_cap = grow_capacity((size_t)new_count * entry_size);
    if (old_cap == new_cap && (*array || new_cap == 0))
        return 0;
    void *p = realloc(*array, new_cap ? new_cap : 1);
    if (!p) {
        log_printf("failed to allocate %u bytes\n", (unsigned)new_cap);
        return 1;
    }
    *array = p;
    return 0;
}

int box_table_resize(mp4_box *box, uint32_t count)
{
    if (array_grow((void **)&box->table, box->count, count, sizeof(uint64_t) * box->fields))
        return -1;
    box->count = count;
    return 0;
}

int box_table_append(mp4_box *box, const uint64_t *entry)
{
    if (box_table_resize(box, box->count + 1) < 0)
        return -1;
    memcpy(box->table + (size_t)(box->count - 1) * box->fields, entry, sizeof(uint64_t) * box->fields);
    return 0;
}

uint32_t box_handler_type(const mp4_box *node)
{
    for (const mp4_box *p = node; p; p = p->parent) {
        if (p->type == MP4_FOURCC('m', 'd', 'i', 'a')) {
            mp4_box *h = box_find_child((mp4_box *)p, MP4_FOURCC('h', 'd', 'l', 'r'));
            return h ? h->handler_type : 0;
        }
    }
    return 0;
}

// ---- sizes ----

static int container(uint32_t t)
{
    switch (t) {
    case MP4_FOURCC('m', 'o', 'o', 'v'): case MP4_FOURCC('t', 'r', 'a', 'k'): case MP4_FOURCC('m', 'd', 'i', 'a'):
    case MP4_FOURCC('m', 'i', 'n', 'f'): case MP4_FOURCC('d', 'i', 'n', 'f'): case MP4_FOURCC('s', 't', 'b', 'l'):
    case MP4_FOURCC('e', 'd', 't', 's'): case MP4_FOURCC('m', 'v', 'e', 'x'): case MP4_FOURCC('m', 'o', 'o', 'f'):
    case MP4_FOURCC('t', 'r', 'a', 'f'): case MP4_FOURCC('u', 'd', 't', 'a'): case MP4_FOURCC('i', 'l', 's', 't'):
    case MP4_FOURCC('m', 'f', 'r', 'a'): case MP4_FOURCC('r', 'm', 'r', 'a'): case MP4_FOURCC('r', 'm', 'd', 'a'):
        return 1;
    }
    return 0;
}

static int is_visual_entry(uint32_t t)
{
    return t == MP4_FOURCC('a', 'v', 'c', '1') || t == MP4_FOURCC('m', 'p', '4', 'v') ||
           t == MP4_FOURCC('j', 'p', 'e', 'g') || t == MP4_FOURCC('m', 'p', '2', 'v');
}

static int long_times(const mp4_box *b)
{
    switch (b->type) {
    case MP4_FOURCC('m', 'v', 'h', 'd'): case MP4_FOURCC('t', 'k', 'h', 'd'): case MP4_FOURCC('m', 'd', 'h', 'd'):
    case MP4_FOURCC('m', 'e', 'h', 'd'):
        return b->creation_time > 0xFFFFFFFFull || b->modification_time > 0xFFFFFFFFull ||
               b->duration > 0xFFFFFFFFull;
    case MP4_FOURCC('e', 'l', 's', 't'):
        for (uint32_t i = 0; i < b->count; i++) {
            int64_t mt = (int64_t)b->table[i * 3 + 1];
            if (b->table[i * 3] > 0xFFFFFFFFull || mt > INT32_MAX || mt < INT32_MIN)
                return 1;
        }
        return 0;
    }
    return 0;
}

static uint32_t len_bytes(uint32_t len)
{
    return len < 0x80 ? 1 : len < 0x4000 ? 2 : len < 0x200000 ? 3 : 4;
}

static uint32_t desc_size(uint32_t payload) { return 1 + len_bytes(payload) + payload; }

static uint32_t dcd_payload(const mp4_es *es) { return 13 + (es->has_dsi ? desc_size(es->dsi_len) : 0); }

static uint32_t es_payload(const mp4_es *es) { return 3 + desc_size(dcd_payload(es)) + desc_size(1); }

uint32_t mp4_esds_size(const mp4_es *es) { return 12 + desc_size(es_payload(es)); }

static uint64_t payload_size(const mp4_box *b, int *known)
{
    uint32_t t = b->type;
    int v1 = long_times(b);
    *known = 1;
    if (container(t))
        return 0;
    switch (t) {
    case MP4_FOURCC('f', 't', 'y', 'p'): return 8 + 4ull * b->count;
    case MP4_FOURCC('m', 'v', 'h', 'd'): return v1 ? 112 : 100;
    case MP4_FOURCC('t', 'k', 'h', 'd'): return v1 ? 96 : 84;
    case MP4_FOURCC('m', 'd', 'h', 'd'): return v1 ? 36 : 24;
    case MP4_FOURCC('m', 'e', 'h', 'd'): return v1 ? 12 : 8;
    case MP4_FOURCC('h', 'd', 'l', 'r'): return 24 + (b->name ? strlen(b->name) : 0) + 1;
    case MP4_FOURCC('v', 'm', 'h', 'd'): return 12;
    case MP4_FOURCC('s', 'm', 'h', 'd'): return 8;
    case MP4_FOURCC('n', 'm', 'h', 'd'): return 4;
    case MP4_FOURCC('d', 'r', 'e', 'f'): return 8;
    case MP4_FOURCC('u', 'r', 'l', ' '): case MP4_FOURCC('a', 'l', 'i', 's'): return 4;
    case MP4_FOURCC('s', 't', 's', 'd'): return 8;
    case MP4_FOURCC('a', 'v', 'c', 'C'): return 11ull + b->sps_len + b->pps_len;
    case MP4_FOURCC('p', 'a', 's', 'p'): return 8;
    case MP4_FOURCC('b', 't', 'r', 't'): return 12;
    case MP4_FOURCC('e', 's', 'd', 's'): return mp4_esds_size(&b->es) - 8;
    case MP4_FOURCC('i', 'o', 'd', 's'): return 4 + desc_size(7);
    case MP4_FOURCC('c', 'h', 'a', 'n'): return 16;
    case MP4_FOURCC('s', 't', 't', 's'): case MP4_FOURCC('c', 't', 't', 's'): return 8 + 8ull * b->count;
    case MP4_FOURCC('s', 't', 's', 's'): case MP4_FOURCC('s', 't', 'c', 'o'): return 8 + 4ull * b->count;
    case MP4_FOURCC('c', 'o', '6', '4'): return 8 + 8ull * b->count;
    case MP4_FOURCC('s', 't', 's', 'c'): return 8 + 12ull * b->count;
    case MP4_FOURCC('s', 't', 's', 'z'): return 12 + (b->sample_size ? 0 : 4ull * b->count);
    case MP4_FOURCC('e', 'l', 's', 't'): return 8 + (v1 ? 20ull : 12ull) * b->count;
    case MP4_FOURCC('s', 'g', 'p', 'd'): return (b->version >= 1 ? 16 : 12) + 2ull * b->count;
    case MP4_FOURCC('s', 'b', 'g', 'p'): return 12 + 8ull * b->count;
    case MP4_FOURCC('t', 'r', 'e', 'x'): return 24;
    case MP4_FOURCC('m', 'f', 'h', 'd'): return 8;
    }
    if (is_visual_entry(t) || box_handler_type(b) == MP4_FOURCC('v', 'i', 'd', 'e'))
        return 78;
    if (t == MP4_FOURCC('m', 'p', '4', 'a') || t == MP4_FOURCC('t', 'w', 'o', 's') ||
        t == MP4_FOURCC('s', 'o', 'w', 't'))
        return b->sd_version == 1 ? 44 : 28;
    if (b->parent && b->parent->type == MP4_FOURCC('s', 't', 's', 'd')) {
        uint32_t h = box_handler_type(b);
        if (h == MP4_FOURCC('s', 'o', 'u', 'n'))
            return b->sd_version == 1 ? 44 : 28;
        if (h == MP4_FOURCC('h', 'i', 'n', 't') || h == MP4_FOURCC('s', 'u', 'b', 'p') ||
            h == MP4_FOURCC('m', 'e', 't', 'a'))
            return 8;
        *known = -1;
        return b->size > b->header_size ? b->size - b->header_size : 0;
    }
    *known = 0;
    return b->size > b->header_size ? b->size - b->header_size : 0;
}

int box_is_known(const mp4_box *node)
{
    if (node->type == T_MDAT || node->type == T_FREE || node->type == T_WIDE ||
        node->type == MP4_FOURCC('s', 'k', 'i', 'p') || node->type == MP4_FOURCC('m', 'e', 't', 'a'))
        return 0;
    int known;
    payload_size(node, &known);
    return known > 0;
}

uint64_t checkBoxSize(const mp4_box *node)
{
    if (!node)
        return 0;
    if (node->type == T_MDAT || node->type == T_FREE || node->type == T_WIDE ||
        node->type == MP4_FOURCC('s', 'k', 'i', 'p'))
        return node->size;
    int known;
    uint64_t n = 8 + payload_size(node, &known);
    if (known < 0) {
        uint32_t h = box_handler_type(node);
        log_printf("%s: unhandled handler_type=%c%c%c%c\n", "checkBoxSize", FCC(h));
        return node->size;
    }
    if (!known) {
        log_printf("%s: unhandled type=%c%c%c%c size=%llu\n", "checkBoxSize", FCC(node->type),
                   (unsigned long long)node->size);
        return node->size;
    }
    for (const mp4_box *c = node->child; c; c = c->next)
        n += checkBoxSize(c);
    return n;
}

// ---- rwBox ----

namespace {

struct RW {
    mp4_muxer *m;
    bool writing;
    bool fail;
    uint64_t end;          // reader: end of the box being parsed
    uint8_t stage[16384];  // writer: fields are gathered here so tables leave in large writes
    size_t staged;
};

int indent_level;   // verbose dump indentation, process-wide

void vprint(RW &rw, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void vprint(RW &rw, const char *fmt, ...)
{
    if (!(rw.m->mode & MP4_MODE_VERBOSE))
        return;
    char line[256];
    int ind = indent_level * 2 < 60 ? indent_level * 2 : 60;
    memset(line, ' ', ind);
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line + ind, sizeof line - ind, fmt, ap);
    va_end(ap);
    log_print_raw("%s", line);
}

void flush(RW &rw)
{
    if (rw.writing && rw.staged) {
        write_n(rw.m, rw.stage, rw.staged);
        rw.staged = 0;
    }
}

uint64_t cur(RW &rw) { return rw.m->pos + rw.staged; }

void put(RW &rw, const uint8_t *p, size_t n)
{
    if (rw.staged + n > sizeof rw.stage)
        flush(rw);
    if (n > sizeof rw.stage) {
        write_n(rw.m, p, n);
        return;
    }
    if (p)
        memcpy(rw.stage + rw.staged, p, n);
    else
        memset(rw.stage + rw.staged, 0, n);
    rw.staged += n;
}

// The payload of a free box.
void put_gap(RW &rw, uint64_t n)
{
    mp4_muxer *m = rw.m;
    if (m->sparse_gaps && (m->fd >= 0 || m->file)) {
        // The moov reserve: megabytes of zeros on every rewrite would cost more than the
        // recording itself; a seek leaves the bytes there (or a hole) as they are.
        flush(rw);
        muxer_seek(m, m->pos + n);
        return;
    }
    put(rw, nullptr, n);
}

bool get(RW &rw, uint8_t *p, size_t n)
{
    if (rw.fail)
        return false;
    if (rw.m->pos + n > rw.end || read_n(rw.m, p, n) < 0) {
        rw.fail = true;
        return false;
    }
    return true;
}

uint64_t rd_be(const uint8_t *p, int bytes)
{
    uint64_t v = 0;
    for (int i = 0; i < bytes; i++)
        v = v << 8 | p[i];
    return v;
}

void rw_uint(RW &rw, uint64_t &v, int bytes)
{
    uint8_t b[8];
    if (rw.writing) {
        for (int i = 0; i < bytes; i++)
            b[i] = (uint8_t)(v >> (8 * (bytes - 1 - i)));
        put(rw, b, bytes);
    } else {
        v = get(rw, b, bytes) ? rd_be(b, bytes) : 0;
    }
}

template <typename T> void f(RW &rw, T &v, int bytes)
{
    uint64_t x = (uint64_t)v;
    if (bytes < 8)
        x &= (1ull << (8 * bytes)) - 1;
    rw_uint(rw, x, bytes);
    if (!rw.writing)
        v = (T)x;
}

void fconst(RW &rw, int bits, uint32_t value)
{
    if (bits != 8 && bits != 16 && bits != 24 && bits != 32) {
        log_printf("unhandled pre_defined size %d\n", bits);
        return;
    }
    uint64_t x = value;
    rw_uint(rw, x, bits / 8);
}

void fskip(RW &rw, size_t n)
{
    if (rw.writing) {
        put(rw, nullptr, n);
    } else if (!rw.fail) {
        if (rw.m->pos + n > rw.end)
            rw.fail = true;
        else
            muxer_seek(rw.m, rw.m->pos + n);
    }
}

void fbytes(RW &rw, uint8_t *p, size_t n)
{
    if (rw.writing)
        put(rw, p, n);
    else if (!get(rw, p, n))
        memset(p, 0, n);
}

void full(RW &rw, mp4_box *b)
{
    f(rw, b->version, 1);
    f(rw, b->flags, 3);
}

void times(RW &rw, mp4_box *b, uint64_t &v)
{
    f(rw, v, b->version == 1 ? 8 : 4);
}

// Table entries are uint64 per field; widths say how each field is stored.
bool rw_table(RW &rw, mp4_box *b, uint32_t count, const int *widths, int fields)
{
    size_t entry_bytes = 0;
    for (int i = 0; i < fields; i++)
        entry_bytes += widths[i];
    if (!rw.writing) {
        // a count is believed only as far as the box really holds the entries
        if (rw.fail || (uint64_t)count * entry_bytes > rw.end - rw.m->pos) {
            rw.fail = true;
            return false;
        }
        b->fields = (uint8_t)fields;
        b->count = 0;
        if (box_table_resize(b, count) < 0) {
            mp4_error(rw.m, MP4_ERR_NOMEM);
            rw.fail = true;
            return false;
        }
    }
    for (uint32_t i = 0; i < count; i++)
        for (int k = 0; k < fields; k++)
            rw_uint(rw, b->table[(size_t)i * fields + k], widths[k]);
    return !rw.fail;
}

uint32_t rw_desc_len(RW &rw, uint32_t len)
{
    if (rw.writing) {
        uint32_t n = len_bytes(len);
        for (int i = (int)n - 1; i >= 0; i--) {
            uint8_t byte = (uint8_t)((len >> (7 * i)) & 0x7F) | (i ? 0x80 : 0);
            put(rw, &byte, 1);
        }
        return len;
    }
    uint32_t v = 0;
    for (int i = 0; i < 4; i++) {
        uint8_t byte;
        if (!get(rw, &byte, 1))
            return 0;
        v = v << 7 | (byte & 0x7F);
        if (!(byte & 0x80))
            break;
    }
    return v;
}

void rw_descriptor(RW &rw, mp4_es *es, int depth);

void read_sub_descriptors(RW &rw, mp4_es *es, uint64_t end, int depth)
{
    while (!rw.fail && rw.m->pos + 2 <= end) {
        uint64_t saved = rw.end;
        rw.end = end;
        rw_descriptor(rw, es, depth + 1);
        rw.end = saved;
    }
}

void write_descriptor(RW &rw, mp4_es *es, uint8_t tag);

void rw_descriptor(RW &rw, mp4_es *es, int depth)
{
    if (depth > 8) {
        rw.fail = true;
        return;
    }
    uint8_t tag = 0;
    f(rw, tag, 1);
    uint32_t len = rw_desc_len(rw, 0);
    if (rw.fail)
        return;
    uint64_t start = rw.m->pos;
    if (len > rw.end - start) {
        rw.fail = true;
        return;
    }
    uint64_t end = start + len;
    uint64_t saved = rw.end;
    rw.end = end;
    vprint(rw, "tag: 0x%x  length: %u\n", tag, len);
    switch (tag) {
    case 3: {
        es->tag = 3;
        f(rw, es->es_id, 2);
        f(rw, es->es_flags, 1);
        if (es->es_flags & 0x80)
            fskip(rw, 2);
        if (es->es_flags & 0x40) {
            uint8_t url_len = 0;
            f(rw, url_len, 1);
            fskip(rw, url_len);
        }
        if (es->es_flags & 0x20)
            fskip(rw, 2);
        read_sub_descriptors(rw, es, end, depth);
        break;
    }
    case 4:
        f(rw, es->object_type, 1);
        f(rw, es->stream_type, 1);
        f(rw, es->buffer_size_db, 3);
        f(rw, es->max_bitrate, 4);
        f(rw, es->avg_bitrate, 4);
        vprint(rw, "objectTypeIndication: 0x%x\n", es->object_type);
        vprint(rw, "bufferSizeDB: %d\n", (int)es->buffer_size_db);
        vprint(rw, "maxBitrate: %u\n", es->max_bitrate);
        vprint(rw, "avgBitrate: %u\n", es->avg_bitrate);
        read_sub_descriptors(rw, es, end, depth);
        break;
    case 5: {
        uint32_t keep = len;
        if (len > MP4_DSI_MAX) {
            log_printf("%s: decSpecificInfo size %d truncated\n", "rwDescriptor", (int)len);
            keep = MP4_DSI_MAX;
        }
        es->has_dsi = 1;
        es->dsi_len = (uint16_t)keep;
        fbytes(rw, es->dsi, keep);
        if (keep >= 2 && es->object_type == 0x40) {
            vprint(rw, "object type: %d\n", es->dsi[0] >> 3);
            int idx = (es->dsi[0] & 7) << 1 | es->dsi[1] >> 7;
            vprint(rw, "frequency index: %d (%d)\n", idx, idx);
            vprint(rw, "channel config: %d\n", (es->dsi[1] >> 3) & 15);
        }
        break;
    }
    case 6:
        f(rw, es->sl_predefined, 1);
        break;
    case 1: case 2: case 16: {
        es->tag = tag;
        uint16_t w = 0;
        f(rw, w, 2);
        es->od_id = w >> 6;
        if (!(w & 0x20) && tag != 1)
            fbytes(rw, es->profiles, 5);
        read_sub_descriptors(rw, es, end, depth);
        break;
    }
    default:
        break;
    }
    rw.end = saved;
    if (!rw.fail)
        muxer_seek(rw.m, end);
}

void write_descriptor(RW &rw, mp4_es *es, uint8_t tag)
{
    put(rw, &tag, 1);
    switch (tag) {
    case 3: {
        rw_desc_len(rw, es_payload(es));
        f(rw, es->es_id, 2);
        uint8_t fl = es->es_flags & 0x1F;
        f(rw, fl, 1);
        write_descriptor(rw, es, 4);
        write_descriptor(rw, es, 6);
        break;
    }
    case 4:
        rw_desc_len(rw, dcd_payload(es));
        f(rw, es->object_type, 1);
        f(rw, es->stream_type, 1);
        f(rw, es->buffer_size_db, 3);
        f(rw, es->max_bitrate, 4);
        f(rw, es->avg_bitrate, 4);
        if (es->has_dsi)
            write_descriptor(rw, es, 5);
        break;
    case 5:
        rw_desc_len(rw, es->dsi_len);
        put(rw, es->dsi, es->dsi_len);
        break;
    case 6:
        rw_desc_len(rw, 1);
        f(rw, es->sl_predefined, 1);
        break;
    case 16: {
        rw_desc_len(rw, 7);
        uint16_t w = (uint16_t)(es->od_id << 6 | 0x0F);
        f(rw, w, 2);
        put(rw, es->profiles, 5);
        break;
    }
    }
}

void rw_fields(RW &rw, mp4_box *b);

void rw_visual_entry(RW &rw, mp4_box *b)
{
    fskip(rw, 6);
    f(rw, b->data_reference_index, 2);
    fconst(rw, 16, 0);
    fconst(rw, 16, 0);
    fskip(rw, 12);
    f(rw, b->se_width, 2);
    f(rw, b->se_height, 2);
    f(rw, b->hres, 4);
    f(rw, b->vres, 4);
    fconst(rw, 32, 0);
    f(rw, b->frame_count, 2);
    fbytes(rw, b->compressorname, 32);
    f(rw, b->depth, 2);
    fconst(rw, 16, 0xFFFF);
}

void rw_audio_entry(RW &rw, mp4_box *b)
{
    fskip(rw, 6);
    f(rw, b->data_reference_index, 2);
    f(rw, b->sd_version, 2);
    fconst(rw, 16, 0);
    fconst(rw, 32, 0);
    f(rw, b->channelcount, 2);
    f(rw, b->samplesize, 2);
    f(rw, b->compression_id, 2);
    fconst(rw, 16, 0);
    f(rw, b->samplerate, 4);
    if (b->sd_version == 1) {
        f(rw, b->samples_per_packet, 4);
        f(rw, b->bytes_per_packet, 4);
        f(rw, b->bytes_per_frame, 4);
        f(rw, b->bytes_per_sample, 4);
    }
}

void rw_fields(RW &rw, mp4_box *b)
{
    static const int w4[] = {4, 4, 4, 4};
    static const int w8[] = {8};
    uint32_t t = b->type;
    switch (t) {
    case MP4_FOURCC('f', 't', 'y', 'p'): {
        f(rw, b->major_brand, 4);
        f(rw, b->minor_version, 4);
        vprint(rw, "major_brand: 0x%0x (%c%c%c%c)\n", b->major_brand, FCC(b->major_brand));
        vprint(rw, "minor_version: %x\n", b->minor_version);
        uint32_t n = rw.writing ? b->count : (uint32_t)((rw.end - rw.m->pos) / 4);
        rw_table(rw, b, n, w4, 1);
        for (uint32_t i = 0; i < b->count; i++)
            vprint(rw, "compatible_brand[%d]: 0x%0x (%c%c%c%c)\n", (int)i, (uint32_t)b->table[i],
                   FCC((uint32_t)b->table[i]));
        return;
    }
    case MP4_FOURCC('m', 'v', 'h', 'd'):
        if (rw.writing)
            b->version = long_times(b) ? 1 : 0;
        full(rw, b);
        times(rw, b, b->creation_time);
        times(rw, b, b->modification_time);
        f(rw, b->timescale, 4);
        times(rw, b, b->duration);
        f(rw, b->rate, 4);
        f(rw, b->volume, 2);
        fskip(rw, 10);
        for (int i = 0; i < 9; i++)
            f(rw, b->matrix[i], 4);
        fskip(rw, 24);
        f(rw, b->next_track_id, 4);
        vprint(rw, "creation_time: %llu\n", (unsigned long long)b->creation_time);
        vprint(rw, "timescale: %u\n", b->timescale);
        break;
    case MP4_FOURCC('t', 'k', 'h', 'd'):
        if (rw.writing)
            b->version = long_times(b) ? 1 : 0;
        full(rw, b);
        times(rw, b, b->creation_time);
        times(rw, b, b->modification_time);
        f(rw, b->track_id, 4);
        fconst(rw, 32, 0);
        times(rw, b, b->duration);
        fskip(rw, 8);
        f(rw, b->layer, 2);
        f(rw, b->alternate_group, 2);
        f(rw, b->volume, 2);
        fconst(rw, 16, 0);
        for (int i = 0; i < 9; i++)
            f(rw, b->matrix[i], 4);
        f(rw, b->width, 4);
        f(rw, b->height, 4);
        break;
    case MP4_FOURCC('m', 'd', 'h', 'd'):
        if (rw.writing)
            b->version = long_times(b) ? 1 : 0;
        full(rw, b);
        times(rw, b, b->creation_time);
        times(rw, b, b->modification_time);
        f(rw, b->timescale, 4);
        times(rw, b, b->duration);
        f(rw, b->language, 2);
        fconst(rw, 16, 0);
        vprint(rw, "timescale: %u\n", b->timescale);
        if (b->timescale) {
            uint64_t ms = b->duration * 1000 / b->timescale;
            vprint(rw, "duration: %llu (%d:%02d:%02d.%03d)\n", (unsigned long long)b->duration,
                   (int)(ms / 3600000), (int)(ms / 60000 % 60), (int)(ms / 1000 % 60), (int)(ms % 1000));
        }
        break;
    case MP4_FOURCC('m', 'e', 'h', 'd'):
        if (rw.writing)
            b->version = long_times(b) ? 1 : 0;
        full(rw, b);
        times(rw, b, b->duration);
        break;
    case MP4_FOURCC('h', 'd', 'l', 'r'): {
        full(rw, b);
        fconst(rw, 32, 0);
        f(rw, b->handler_type, 4);
        fskip(rw, 12);
        if (rw.writing) {
            put(rw, (const uint8_t *)(b->name ? b->name : ""), (b->name ? strlen(b->name) : 0) + 1);
        } else if (!rw.fail) {
            uint64_t n = rw.end - rw.m->pos;
            if (n > 255)
                n = 255;
            char *s = (char *)calloc(1, n + 1);
            if (s && get(rw, (uint8_t *)s, n)) {
                free(b->name);
                b->name = s;
            } else {
                free(s);
            }
        }
        break;
    }
    case MP4_FOURCC('v', 'm', 'h', 'd'):
        full(rw, b);
        f(rw, b->graphicsmode, 2);
        for (auto &c : b->opcolor)
            f(rw, c, 2);
        break;
    case MP4_FOURCC('s', 'm', 'h', 'd'):
        full(rw, b);
        f(rw, b->balance, 2);
        fconst(rw, 16, 0);
        break;
    case MP4_FOURCC('n', 'm', 'h', 'd'): case MP4_FOURCC('u', 'r', 'l', ' '): case MP4_FOURCC('a', 'l', 'i', 's'):
        full(rw, b);
        break;
    case MP4_FOURCC('d', 'r', 'e', 'f'): case MP4_FOURCC('s', 't', 's', 'd'):
        full(rw, b);
        f(rw, b->entry_count, 4);
        break;
    case MP4_FOURCC('a', 'v', 'c', 'C'): {
        f(rw, b->avc_version, 1);
        f(rw, b->avc_profile, 1);
        f(rw, b->avc_compat, 1);
        f(rw, b->avc_level, 1);
        uint8_t lsm = (uint8_t)(0xFC | b->length_size_minus_one);
        f(rw, lsm, 1);
        b->length_size_minus_one = lsm & 3;
        uint8_t nsps = rw.writing ? 0xE1 : 0;
        f(rw, nsps, 1);
        if (rw.writing || (nsps & 0x1F)) {
            uint16_t l = b->sps_len;
            f(rw, l, 2);
            if (!rw.writing && l > MP4_PARAM_MAX) {
                rw.fail = true;   // more than the configuration may hold
                break;
            }
            b->sps_len = l;
            fbytes(rw, b->sps, l);
            for (int i = 1; !rw.writing && i < (nsps & 0x1F) && !rw.fail; i++) {
                f(rw, l, 2);
                fskip(rw, l);
            }
        }
        uint8_t npps = rw.writing ? 1 : 0;
        f(rw, npps, 1);
        if (rw.writing || npps) {
            uint16_t l = b->pps_len;
            f(rw, l, 2);
            if (!rw.writing && (l > MP4_PARAM_MAX || l + b->sps_len > MP4_PARAM_MAX)) {
                rw.fail = true;
                break;
            }
            b->pps_len = l;
            fbytes(rw, b->pps, l);
        }
        return;
    }
    case MP4_FOURCC('p', 'a', 's', 'p'):
        f(rw, b->hspacing, 4);
        f(rw, b->vspacing, 4);
        vprint(rw, "hSpacing: %u\n", b->hspacing);
        break;
    case MP4_FOURCC('b', 't', 'r', 't'):
        f(rw, b->buffer_size_db, 4);
        f(rw, b->max_bitrate, 4);
        f(rw, b->avg_bitrate, 4);
        break;
    case MP4_FOURCC('e', 's', 'd', 's'): case MP4_FOURCC('i', 'o', 'd', 's'):
        full(rw, b);
        if (rw.writing)
            write_descriptor(rw, &b->es, t == MP4_FOURCC('e', 's', 'd', 's') ? 3 : 16);
        else
            rw_descriptor(rw, &b->es, 0);
        return;
    case MP4_FOURCC('c', 'h', 'a', 'n'):
        full(rw, b);
        f(rw, b->layout_tag, 4);
        fconst(rw, 32, 0);
        fconst(rw, 32, 0);
        break;
    case MP4_FOURCC('s', 't', 't', 's'): case MP4_FOURCC('c', 't', 't', 's'): case MP4_FOURCC('s', 't', 's', 's'):
    case MP4_FOURCC('s', 't', 'c', 'o'): case MP4_FOURCC('c', 'o', '6', '4'): case MP4_FOURCC('s', 't', 's', 'c'): {
        full(rw, b);
        uint32_t n = b->count;
        f(rw, n, 4);
        int fields = (t == MP4_FOURCC('s', 't', 't', 's') || t == MP4_FOURCC('c', 't', 't', 's')) ? 2
                     : t == MP4_FOURCC('s', 't', 's', 'c')                                        ? 3
                                                                                                   : 1;
        rw_table(rw, b, n, t == MP4_FOURCC('c', 'o', '6', '4') ? w8 : w4, fields);
        break;
    }
    case MP4_FOURCC('s', 't', 's', 'z'): {
        full(rw, b);
        f(rw, b->sample_size, 4);
        uint32_t n = b->sample_size ? b->sample_count : b->count;
        f(rw, n, 4);
        if (b->sample_size) {
            b->sample_count = n;
        } else {
            rw_table(rw, b, n, w4, 1);
            b->sample_count = b->count;
        }
        break;
    }
    case MP4_FOURCC('e', 'l', 's', 't'): {
        if (rw.writing)
            b->version = long_times(b) ? 1 : 0;
        full(rw, b);
        uint32_t n = b->count;
        f(rw, n, 4);
        static const int v0[] = {4, 4, 4};
        static const int v1[] = {8, 8, 4};
        rw_table(rw, b, n, b->version == 1 ? v1 : v0, 3);
        if (!rw.writing && b->version != 1) {
            for (uint32_t i = 0; i < b->count; i++)   // media_time is signed
                b->table[i * 3 + 1] = (uint64_t)(int64_t)(int32_t)(uint32_t)b->table[i * 3 + 1];
        }
        break;
    }
    case MP4_FOURCC('s', 'g', 'p', 'd'): {
        full(rw, b);
        f(rw, b->grouping_type, 4);
        vprint(rw, "groupingType: %c%c%c%c\n", FCC(b->grouping_type));
        if (b->version >= 1)
            f(rw, b->default_length, 4);
        uint32_t n = b->count;
        f(rw, n, 4);
        if (b->grouping_type == MP4_FOURCC('r', 'o', 'l', 'l') && (b->version == 0 || b->default_length == 2)) {
            static const int w2[] = {2};
            rw_table(rw, b, n, w2, 1);
            for (uint32_t i = 0; i < b->count; i++)
                vprint(rw, "[%d] roll: %i\n", (int)i, (int16_t)b->table[i]);
        }
        break;
    }
    case MP4_FOURCC('s', 'b', 'g', 'p'): {
        full(rw, b);
        f(rw, b->grouping_type, 4);
        if (b->version == 1)
            fconst(rw, 32, 0);
        uint32_t n = b->count;
        f(rw, n, 4);
        rw_table(rw, b, n, w4, 2);
        break;
    }
    case MP4_FOURCC('t', 'r', 'e', 'x'):
        full(rw, b);
        f(rw, b->track_id, 4);
        f(rw, b->default_sdi, 4);
        f(rw, b->default_duration, 4);
        f(rw, b->default_size, 4);
        f(rw, b->default_flags, 4);
        break;
    case MP4_FOURCC('m', 'f', 'h', 'd'):
        full(rw, b);
        f(rw, b->sequence_number, 4);
        break;
    case MP4_FOURCC('t', 'f', 'h', 'd'):
        full(rw, b);
        f(rw, b->track_id, 4);
        if (b->flags & 0x01)
            f(rw, b->base_data_offset, 8);
        if (b->flags & 0x02)
            f(rw, b->default_sdi, 4);
        if (b->flags & 0x08)
            f(rw, b->default_duration, 4);
        if (b->flags & 0x10)
            f(rw, b->default_size, 4);
        if (b->flags & 0x20)
            f(rw, b->default_flags, 4);
        break;
    case MP4_FOURCC('t', 'r', 'u', 'n'): {
        full(rw, b);
        uint32_t n = b->count;
        f(rw, n, 4);
        if (b->flags & 0x01)
            f(rw, b->data_offset, 4);
        if (b->flags & 0x04)
            f(rw, b->first_sample_flags, 4);
        if (rw.writing)
            break;   // fragments are only read
        // per-sample fields present, held as {duration, size, flags, cto}
        int per = 0;
        for (int bit = 0; bit < 4; bit++)
            if (b->flags & (0x100u << bit))
                per += 4;
        b->sample_count = n;
        b->fields = 4;
        b->count = 0;
        if (per == 0)
            break;   // every sample takes the defaults: nothing to hold
        if (rw.fail || (uint64_t)n * per > rw.end - rw.m->pos) {
            rw.fail = true;
            break;
        }
        if (box_table_resize(b, n) < 0) {
            mp4_error(rw.m, MP4_ERR_NOMEM);
            rw.fail = true;
            break;
        }
        if (n)
            memset(b->table, 0, sizeof(uint64_t) * 4 * n);
        for (uint32_t i = 0; i < n && !rw.fail; i++)
            for (int bit = 0; bit < 4; bit++)
                if (b->flags & (0x100u << bit))
                    rw_uint(rw, b->table[(size_t)i * 4 + bit], 4);
        break;
    }
    default:
        if (is_visual_entry(t) || box_handler_type(b) == MP4_FOURCC('v', 'i', 'd', 'e')) {
            if (b->parent && b->parent->type == MP4_FOURCC('s', 't', 's', 'd'))
                rw_visual_entry(rw, b);
        } else if (b->parent && b->parent->type == MP4_FOURCC('s', 't', 's', 'd')) {
            uint32_t h = box_handler_type(b);
            if (h == MP4_FOURCC('s', 'o', 'u', 'n')) {
                rw_audio_entry(rw, b);
            } else if (h == MP4_FOURCC('h', 'i', 'n', 't') || h == MP4_FOURCC('s', 'u', 'b', 'p') ||
                       h == MP4_FOURCC('m', 'e', 't', 'a')) {
                fskip(rw, 6);
                f(rw, b->data_reference_index, 2);
            } else {
                log_printf("%s: handler type not set\n", "rwBox");
                fskip(rw, rw.writing ? 0 : rw.end - rw.m->pos);
                return;
            }
        } else if (!rw.writing && !container(t)) {
            return;   // unknown or uninteresting box: skipped by the caller
        }
        break;
    }
}

bool has_children(const mp4_box *b)
{
    uint32_t t = b->type;
    if (container(t) || t == MP4_FOURCC('d', 'r', 'e', 'f') || t == MP4_FOURCC('s', 't', 's', 'd'))
        return true;
    if (b->parent && b->parent->type == MP4_FOURCC('s', 't', 's', 'd'))
        return true;   // sample entries carry avcC, esds, btrt, pasp
    return false;
}

mp4_box *read_box(RW &rw, mp4_box *parent)
{
    mp4_muxer *m = rw.m;
    uint64_t start = m->pos;
    uint8_t hdr[16];
    uint64_t outer_end = rw.end;
    if (start + 8 > outer_end || read_n(m, hdr, 8) < 0) {
        if (m->mode & MP4_MODE_VERBOSE)
            log_printf("%s: seeking back to %llu\n", "rwBox", (unsigned long long)start);
        muxer_seek(m, start);
        return nullptr;
    }
    uint64_t size = rd_be(hdr, 4);
    uint32_t type = (uint32_t)rd_be(hdr + 4, 4);
    uint8_t header = 8;
    if (size == 1) {
        if (read_n(m, hdr + 8, 8) < 0) {
            muxer_seek(m, start);
            return nullptr;
        }
        size = rd_be(hdr + 8, 8);
        header = 16;
    } else if (size == 0) {
        // The last box runs to the end of what holds it: its parent, the file, or a stream's
        // data once the sender has closed.
        uint64_t to = outer_end;
        if (!parent && m->buf) {
            if (!m->buf_last) {
                muxer_seek(m, start);   // read once the stream has ended
                return nullptr;
            }
            to = m->buf_attach_pos + m->buf_size;
        }
        if (to == UINT64_MAX || to < start + header) {
            log_printf("%s: corrupt input type:=%c%c%c%c size=0 with no end known\n", "rwBox", FCC(type));
            mp4_error(m, MP4_ERR_BAD_INPUT);
            muxer_seek(m, start);
            return nullptr;
        }
        size = to - start;
    }
    if (size < header) {
        log_printf("%s: corrupt input type:=%c%c%c%c size=%llu\n", "rwBox", FCC(type), (unsigned long long)size);
        mp4_error(m, MP4_ERR_BAD_INPUT);
        muxer_seek(m, start);
        return nullptr;
    }
    if (m->buf && size > m->buf_attach_pos + m->buf_size - start) {
        muxer_seek(m, start);   // read again once the rest has arrived
        return nullptr;
    }
    if (parent && size > outer_end - start) {
        log_printf("%s: corrupt input type:=%c%c%c%c size=%llu\n", "rwBox", FCC(type), (unsigned long long)size);
        mp4_error(m, MP4_ERR_BAD_INPUT);
        return nullptr;
    }
    // The node starts as its header and grows to the full record of its type (extendBox).
    const size_t head = offsetof(mp4_box, version);
    mp4_box *b = (mp4_box *)mp4_box_realloc(nullptr, head);
    if (!b) {
        log_printf("%s: failed to allocate memory for box %c%c%c%c\n", "rwBox", FCC(type));
        mp4_error(m, MP4_ERR_NOMEM);
        muxer_seek(m, start + size);
        return nullptr;
    }
    memset((void *)b, 0, head);
    mp4_box *grown = (mp4_box *)mp4_box_realloc(b, sizeof(mp4_box));
    if (!grown) {
        log_printf("%s: failed to realloc size=%zd\n", "extendBox", sizeof(mp4_box));
        free(b);
        mp4_error(m, MP4_ERR_NOMEM);
        muxer_seek(m, start + size);
        return nullptr;
    }
    b = grown;
    memset((char *)b + head, 0, sizeof(mp4_box) - head);
    b->type = type;
    b->size = size;
    b->header_size = header;
    b->payload_pos = start + header;
    b->node_flags = BOX_HEAP | BOX_OWNS;
    if (parent) {
        // link without touching the parent's size: it is already known from the input
        b->parent = parent;
        mp4_box **link = &parent->child;
        while (*link)
            link = &(*link)->next;
        *link = b;
    }
    vprint(rw, "%c%c%c%c  size: %llu\n", FCC(type), (unsigned long long)size);
    uint64_t end = start + size;
    if (end > outer_end)
        end = outer_end;   // never parse past what the input really holds
    rw.end = end;
    if (type != T_MDAT) {
        if (type == MP4_FOURCC('m', 'e', 't', 'a'))
            full(rw, b);
        else
            rw_fields(rw, b);
        if (!rw.fail && has_children(b)) {
            indent_level++;
            m->depth++;
            while (!rw.fail && !m->error && m->pos + 8 <= end) {
                if (m->depth >= MP4_MAX_DEPTH) {
                    log_printf("%s: recursion limit reached\n", "rwBox");
                    mp4_error(m, MP4_ERR_RECURSION);
                    break;
                }
                uint64_t child_start = m->pos;
                rw.end = end;
                mp4_box *c = read_box(rw, b);
                if (!c)
                    break;
                if (c->size < 8 || m->pos != child_start + c->size)
                    break;
            }
            m->depth--;
            indent_level--;
        }
    }
    end = start + size;
    rw.end = outer_end;
    if (rw.fail) {
        log_printf("%s: corrupt input type:=%c%c%c%c size=%llu\n", "rwBox", FCC(type), (unsigned long long)size);
        mp4_error(m, MP4_ERR_BAD_INPUT);
        rw.fail = false;
    }
    muxer_seek(m, end);
    b->node_flags &= (uint8_t)~BOX_READ_TARGET;
    return b;
}

void write_box(RW &rw, mp4_box *b)
{
    mp4_muxer *m = rw.m;
    if (m->depth >= MP4_MAX_DEPTH) {
        log_printf("%s: recursion limit reached\n", "rwBox");
        mp4_error(m, MP4_ERR_RECURSION);
        return;
    }
    uint64_t start = cur(rw);
    uint64_t declared = b->size;
    bool fixed = !(b->node_flags & BOX_RESIZABLE);
    uint64_t size = fixed ? declared : checkBoxSize(b);
    b->size = size;
    b->header_size = size > 0xFFFFFFFFull ? 16 : 8;
    uint64_t v = b->header_size == 16 ? 1 : size;
    rw_uint(rw, v, 4);
    v = b->type;
    rw_uint(rw, v, 4);
    if (b->header_size == 16)
        rw_uint(rw, size, 8);
    b->payload_pos = cur(rw);
    vprint(rw, "%c%c%c%c  size: %llu\n", FCC(b->type), (unsigned long long)size);
    if (b->type == T_MDAT)
        return;   // payload follows sample by sample
    if (b->type == T_FREE || b->type == T_WIDE || b->type == MP4_FOURCC('s', 'k', 'i', 'p')) {
        if (size > b->header_size)
            put_gap(rw, size - b->header_size);
        return;
    }
    if (b->type == MP4_FOURCC('m', 'e', 't', 'a'))
        full(rw, b);
    else
        rw_fields(rw, b);
    indent_level++;
    m->depth++;
    for (mp4_box *c = b->child; c; c = c->next)
        write_box(rw, c);
    m->depth--;
    indent_level--;
    uint64_t actual = cur(rw) - start;
    if (actual != size) {
        if (!fixed) {
            flush(rw);
            b->size = actual;
            if (m->mode & MP4_MODE_VERBOSE)
                log_printf("(actual %c%c%c%c box size %llu)\n", FCC(b->type), (unsigned long long)actual);
            updateBoxSize(m, b);
        } else if (actual < size && size - actual >= 8) {
            uint64_t gap = size - actual;
            uint64_t hv = gap;
            rw_uint(rw, hv, 4);
            hv = (m->mode & MP4_MODE_QT) ? T_WIDE : T_FREE;
            rw_uint(rw, hv, 4);
            put_gap(rw, gap - 8);
        }
    }
}

} // namespace

mp4_box *rwBox(mp4_muxer *m, mp4_box *node)
{
    if (!m)
        return nullptr;
    RW *rw = (RW *)malloc(sizeof(RW));
    if (!rw) {
        mp4_error(m, MP4_ERR_NOMEM);
        return nullptr;
    }
    rw->m = m;
    rw->writing = !mp4_is_reader(m);
    rw->fail = false;
    rw->staged = 0;
    mp4_box *result = nullptr;
    if (rw->writing) {
        if (!node) {
            log_printf("%s: attempting to write NULL box\n", "rwBox");
            mp4_error(m, MP4_ERR_NULL_BOX);
        } else {
            write_box(*rw, node);
            flush(*rw);
            result = node;
        }
    } else if (m->depth >= MP4_MAX_DEPTH) {
        log_printf("%s: recursion limit reached\n", "rwBox");
        mp4_error(m, MP4_ERR_RECURSION);
    } else {
        rw->end = UINT64_MAX;
        if (!m->buf) {
            // a file's boxes are believed only as far as the file reaches
            struct stat st;
            if (m->fd >= 0) {
                if (fstat(m->fd, &st) == 0 && S_ISREG(st.st_mode))
                    rw->end = (uint64_t)st.st_size;
            } else if (m->file) {
                off_t here = ftello(m->file);
                if (here >= 0 && fseeko(m->file, 0, SEEK_END) == 0) {
                    off_t size = ftello(m->file);
                    if (size >= 0)
                        rw->end = (uint64_t)size;
                    fseeko(m->file, here, SEEK_SET);
                }
            }
        }
        result = read_box(*rw, nullptr);
        if (result && node) {
            box_append_child(node, result);
        }
    }
    free(rw);
    return result;
}
