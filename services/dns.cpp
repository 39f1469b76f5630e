#include "services/dns.h"

#include <cstddef>
#include <cstdio>
#include <cstring>

namespace {

enum { HEADER_SIZE = 12, POINTER_HOPS_MAX = 64 };

uint16_t get16(const uint8_t *p)
{
    return (uint16_t)(p[0] << 8 | p[1]);
}

uint32_t get32(const uint8_t *p)
{
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

void put16(uint8_t *p, uint16_t v)
{
    p[0] = (uint8_t)(v >> 8);
    p[1] = (uint8_t)v;
}

void put32(uint8_t *p, uint32_t v)
{
    p[0] = (uint8_t)(v >> 24);
    p[1] = (uint8_t)(v >> 16);
    p[2] = (uint8_t)(v >> 8);
    p[3] = (uint8_t)v;
}

// Every piece of a parsed message comes from the storage area, bounded by its size.
void *take(dns_message *m, size_t size, size_t align)
{
    size_t off = (m->used + align - 1) & ~(align - 1);
    if (off > DNS_STORAGE_SIZE || size > DNS_STORAGE_SIZE - off)
        return nullptr;
    m->used = (uint32_t)(off + size);
    return m->storage + off;
}

// Decodes the name at `pos`. Labels written in place must end before `end` (the record's
// rdata end, or the packet's); pointers must go strictly backwards, each before the previous
// target, so no chain can loop. `next` is the position after the name as written in place.
int read_name(dns_message *m, const uint8_t *pkt, size_t length, size_t end, size_t pos, size_t *next,
              char **out)
{
    char text[DNS_NAME_TEXT_MAX];
    size_t tlen = 0;
    size_t bound = length;   // a pointer's target must lie before this
    size_t limit = end;
    int hops = 0;
    *next = 0;
    for (;;) {
        if (pos >= limit)
            return -1;
        uint8_t c = pkt[pos];
        if ((c & 0xC0) == 0xC0) {
            if (pos + 1 >= limit || ++hops > POINTER_HOPS_MAX)
                return -1;
            size_t target = (size_t)(c & 0x3F) << 8 | pkt[pos + 1];
            if (!*next)
                *next = pos + 2;
            if (target >= pos || target >= bound)
                return -1;
            bound = target;
            pos = target;
            limit = length;
            continue;
        }
        if (c & 0xC0)
            return -1;   // the extended label types are not used
        if (c == 0) {
            if (!*next)
                *next = pos + 1;
            break;
        }
        if (pos + 1 + c > limit || tlen + c + 1 >= sizeof text)
            return -1;
        memcpy(text + tlen, pkt + pos + 1, c);
        tlen += c;
        text[tlen++] = '.';
        pos += 1 + c;
    }
    text[tlen] = 0;
    for (uint32_t i = 0; i < m->names; i++) {
        char *known = (char *)m->storage + m->name_at[i];
        if (strcmp(known, text) == 0) {
            *out = known;
            return 0;
        }
    }
    char *copy = (char *)take(m, tlen + 1, 1);
    if (!copy)
        return -1;
    memcpy(copy, text, tlen + 1);
    if (m->names < DNS_NAMES_MAX)
        m->name_at[m->names++] = (uint16_t)(copy - (char *)m->storage);
    *out = copy;
    return 0;
}

int read_record(dns_message *m, const uint8_t *pkt, size_t length, size_t *pos, dns_rr *rr)
{
    size_t p;
    if (read_name(m, pkt, length, length, *pos, &p, &rr->name) != 0 || p + 10 > length)
        return -1;
    rr->type = get16(pkt + p);
    rr->clazz = get16(pkt + p + 2);
    rr->ttl = get32(pkt + p + 4);
    uint16_t rdlength = get16(pkt + p + 8);
    p += 10;
    if (rdlength > length - p)
        return -1;
    size_t end = p + rdlength;
    size_t after;
    switch (rr->type) {
    case DNS_TYPE_PTR:
    case DNS_TYPE_NS:
    case DNS_TYPE_CNAME:
        if (read_name(m, pkt, length, end, p, &after, &rr->rdname) != 0)
            return -1;
        break;
    case DNS_TYPE_SRV:
        if (rdlength < 7)
            return -1;
        rr->priority = get16(pkt + p);
        rr->weight = get16(pkt + p + 2);
        rr->port = get16(pkt + p + 4);
        if (read_name(m, pkt, length, end, p + 6, &after, &rr->rdname) != 0)
            return -1;
        break;
    default:
        rr->rdlength = rdlength;
        rr->rdata = (uint8_t *)take(m, rdlength ? rdlength : 1, 1);
        if (!rr->rdata)
            return -1;
        memcpy(rr->rdata, pkt + p, rdlength);
        if (rr->type == DNS_TYPE_A && rdlength == 4) {
            memcpy(&rr->ip, pkt + p, 4);
            snprintf(rr->ipstr, sizeof rr->ipstr, "%d.%d.%d.%d", pkt[p], pkt[p + 1], pkt[p + 2], pkt[p + 3]);
        }
        break;
    }
    *pos = end;
    return 0;
}

// Takes an array for `count` entries; a count that cannot fit the packet or the storage is
// set to 0 and fails the parse.
template <typename T> int take_array(dns_message *m, uint16_t *count, T **array, size_t min_wire, size_t left)
{
    if (*count == 0)
        return 0;
    if ((size_t)*count * min_wire > left || !(*array = (T *)take(m, (size_t)*count * sizeof(T), 8))) {
        *count = 0;
        return -1;
    }
    memset(*array, 0, (size_t)*count * sizeof(T));
    return 0;
}

// Turns a name text into uncompressed labels. -1 for an empty or over-long label or name.
int encode_labels(const char *name, uint8_t *out)
{
    size_t n = strlen(name);
    if (n >= DNS_NAME_TEXT_MAX)
        return -1;
    if (n && name[n - 1] == '.')
        n--;
    size_t o = 0;
    size_t i = 0;
    while (i < n) {
        const char *dot = (const char *)memchr(name + i, '.', n - i);
        size_t len = dot ? (size_t)(dot - (name + i)) : n - i;
        if (len == 0 || len > 63 || o + 1 + len + 1 > 255)
            return -1;
        out[o++] = (uint8_t)len;
        memcpy(out + o, name + i, len);
        o += len;
        i += len + 1;
        if (dot && i == n)
            return -1;   // "a..": the dot before the end left an empty label
    }
    out[o++] = 0;
    return (int)o;
}

// Whether the uncompressed labels `w` equal the name written at `p` in our own packet.
bool same_labels(const uint8_t *w, const uint8_t *pkt, size_t length, size_t p)
{
    for (int hops = 0; hops <= POINTER_HOPS_MAX;) {
        if (p >= length)
            return false;
        uint8_t c = pkt[p];
        if ((c & 0xC0) == 0xC0) {
            if (p + 1 >= length)
                return false;
            p = (size_t)(c & 0x3F) << 8 | pkt[p + 1];
            hops++;
            continue;
        }
        if (c != w[0])
            return false;
        if (c == 0)
            return true;
        if (p + 1 + c > length || memcmp(w + 1, pkt + p + 1, c) != 0)
            return false;
        w += 1 + c;
        p += 1 + c;
    }
    return false;
}

// Encodes `name` into `out` with compression against the names already in the packet, which
// starts at m->storage and is to receive `out` at position `at`. Returns the encoded length
// or -1. The label positions are recorded only by commit_name, once the bytes are written.
int compress_name(dns_message *m, const char *name, uint8_t *out, int *full)
{
    uint8_t w[256];
    int n = encode_labels(name, w);
    if (n < 0)
        return -1;
    for (int i = 0; w[i]; i += 1 + w[i]) {
        for (uint32_t k = 0; k < m->names; k++) {
            if (same_labels(w + i, m->storage, m->used, m->name_at[k])) {
                memcpy(out, w, i);
                put16(out + i, (uint16_t)(0xC000 | m->name_at[k]));
                *full = i;
                return i + 2;
            }
        }
    }
    memcpy(out, w, n);
    *full = n - 1;
    return n;
}

// Records the positions of the labels written in full at `at` (bytes 0..full of the name).
void commit_name(dns_message *m, const uint8_t *enc, int full, uint32_t at)
{
    for (int i = 0; i < full && m->names < DNS_NAMES_MAX; i += 1 + enc[i]) {
        if (at + i >= 0x4000)
            break;
        m->name_at[m->names++] = (uint16_t)(at + i);
    }
}

void build_start(dns_message *m)
{
    if (m->used < HEADER_SIZE)
        m->used = HEADER_SIZE;
}

// Appends a name followed by `tail` bytes; false (nothing written) when it does not fit.
bool put_name(dns_message *m, const char *name, const uint8_t *tail, size_t tail_len)
{
    build_start(m);
    uint8_t enc[258];
    int full;
    int n = compress_name(m, name, enc, &full);
    if (n < 0 || m->used + n + tail_len > DNS_BUILD_MAX) {
        m->failed = 1;
        return false;
    }
    memcpy(m->storage + m->used, enc, n);
    commit_name(m, enc, full, m->used);
    m->used += n;
    if (tail_len)
        memcpy(m->storage + m->used, tail, tail_len);
    m->used += (uint32_t)tail_len;
    return true;
}

uint16_t *section_count(dns_message *m, int section)
{
    return section == 1 ? &m->ancount : section == 2 ? &m->nscount : &m->arcount;
}

void rr_drop(dns_message *m);

void rr_head(dns_message *m, int section, const char *name, uint16_t type, uint16_t clazz, uint32_t ttl)
{
    build_start(m);
    if (m->rr_open)
        rr_drop(m);   // a head left without rdata is taken back, not sent broken
    uint8_t tail[8];
    put16(tail, type);
    put16(tail + 2, clazz);
    put32(tail + 4, ttl);
    uint32_t start = m->used;
    if (!put_name(m, name, tail, sizeof tail))
        return;
    m->rr_open = 1;
    m->rr_section = (uint8_t)section;
    m->rr_start = (uint16_t)start;
    (*section_count(m, section))++;
}

// Takes back the open record head after its rdata was refused.
void rr_drop(dns_message *m)
{
    if (!m->rr_open)
        return;
    m->used = m->rr_start;
    // Label positions recorded beyond the cut would point at bytes no longer there.
    while (m->names && m->name_at[m->names - 1] >= m->used)
        m->names--;
    (*section_count(m, m->rr_section))--;
    m->rr_open = 0;
    m->failed = 1;
}

} // namespace

void dns_message_reset(dns_message *m)
{
    // The storage is written before it is read (arrays are cleared as they are taken), so only
    // the fields ahead of it need clearing: 64 KiB less to touch per datagram.
    memset(m, 0, offsetof(dns_message, storage));
}

int dns_message_parse(dns_message *m, const uint8_t *pkt, size_t length)
{
    dns_message_reset(m);
    if (!pkt || length < HEADER_SIZE || length > 0xFFFF)
        return 1;
    m->id = get16(pkt);
    m->qr = pkt[2] >> 7;
    m->opcode = (pkt[2] >> 3) & 15;
    m->aa = (pkt[2] >> 2) & 1;
    m->tc = (pkt[2] >> 1) & 1;
    m->rd = pkt[2] & 1;
    m->ra = pkt[3] >> 7;
    m->z = (pkt[3] >> 4) & 7;
    m->rcode = pkt[3] & 15;
    m->qdcount = get16(pkt + 4);
    m->ancount = get16(pkt + 6);
    m->nscount = get16(pkt + 8);
    m->arcount = get16(pkt + 10);

    // Smallest wire forms: a question 5 bytes, a record 11.
    size_t left = length - HEADER_SIZE;
    int bad = take_array(m, &m->qdcount, &m->qd, 5, left);
    bad |= take_array(m, &m->ancount, &m->an, 11, left);
    bad |= take_array(m, &m->nscount, &m->ns, 11, left);
    bad |= take_array(m, &m->arcount, &m->ar, 11, left);
    if (bad)
        return 1;

    size_t pos = HEADER_SIZE;
    for (uint16_t i = 0; i < m->qdcount; i++) {
        size_t p;
        if (read_name(m, pkt, length, length, pos, &p, &m->qd[i].name) != 0 || p + 4 > length)
            return 1;
        m->qd[i].type = get16(pkt + p);
        m->qd[i].clazz = get16(pkt + p + 2);
        pos = p + 4;
    }
    struct {
        uint16_t count;
        dns_rr *rr;
    } sections[] = {{m->ancount, m->an}, {m->nscount, m->ns}, {m->arcount, m->ar}};
    for (auto &s : sections)
        for (uint16_t i = 0; i < s.count; i++)
            if (read_record(m, pkt, length, &pos, &s.rr[i]) != 0)
                return 1;
    return 0;
}

void dns_message_qd(dns_message *m, const char *name, uint16_t type, uint16_t clazz)
{
    build_start(m);
    if (m->rr_open)
        rr_drop(m);
    uint8_t tail[4];
    put16(tail, type);
    put16(tail + 2, clazz);
    if (put_name(m, name, tail, sizeof tail))
        m->qdcount++;
}

void dns_message_an(dns_message *m, const char *name, uint16_t type, uint16_t clazz, uint32_t ttl)
{
    rr_head(m, 1, name, type, clazz, ttl);
}

void dns_message_ns(dns_message *m, const char *name, uint16_t type, uint16_t clazz, uint32_t ttl)
{
    rr_head(m, 2, name, type, clazz, ttl);
}

void dns_message_ar(dns_message *m, const char *name, uint16_t type, uint16_t clazz, uint32_t ttl)
{
    rr_head(m, 3, name, type, clazz, ttl);
}

void dns_message_rdata_raw(dns_message *m, const uint8_t *bytes, uint16_t length)
{
    if (!m->rr_open)
        return;
    if (m->used + 2 + (size_t)length > DNS_BUILD_MAX) {
        rr_drop(m);
        return;
    }
    put16(m->storage + m->used, length);
    if (length)
        memcpy(m->storage + m->used + 2, bytes, length);
    m->used += 2 + length;
    m->rr_open = 0;
}

void dns_message_rdata_name(dns_message *m, const char *name)
{
    if (!m->rr_open)
        return;
    uint32_t len_at = m->used;
    m->used += 2;
    if (m->used > DNS_BUILD_MAX || !put_name(m, name, nullptr, 0)) {
        m->used = len_at;
        rr_drop(m);
        return;
    }
    put16(m->storage + len_at, (uint16_t)(m->used - len_at - 2));
    m->rr_open = 0;
}

void dns_message_rdata_srv(dns_message *m, uint16_t priority, uint16_t weight, uint16_t port, const char *name)
{
    if (!m->rr_open)
        return;
    uint32_t len_at = m->used;
    if (m->used + 8 > DNS_BUILD_MAX) {
        rr_drop(m);
        return;
    }
    put16(m->storage + len_at + 2, priority);
    put16(m->storage + len_at + 4, weight);
    put16(m->storage + len_at + 6, port);
    m->used += 8;
    if (!put_name(m, name, nullptr, 0)) {
        m->used = len_at;
        rr_drop(m);
        return;
    }
    put16(m->storage + len_at, (uint16_t)(m->used - len_at - 2));
    m->rr_open = 0;
}

void dns_message_rdata_ipv4(dns_message *m, uint32_t address)
{
    uint8_t b[4];
    memcpy(b, &address, 4);
    dns_message_rdata_raw(m, b, 4);
}

uint8_t *dns_message_header(dns_message *m)
{
    build_start(m);
    if (m->rr_open)
        rr_drop(m);
    uint8_t *p = m->storage;
    put16(p, m->id);
    p[2] = (uint8_t)((m->qr & 1) << 7 | (m->opcode & 15) << 3 | (m->aa & 1) << 2 | (m->tc & 1) << 1 | (m->rd & 1));
    p[3] = (uint8_t)((m->ra & 1) << 7 | (m->z & 7) << 4 | (m->rcode & 15));
    put16(p + 4, m->qdcount);
    put16(p + 6, m->ancount);
    put16(p + 8, m->nscount);
    put16(p + 10, m->arcount);
    return p;
}

int dns_message_length(const dns_message *m)
{
    return m->used < HEADER_SIZE ? HEADER_SIZE : (int)m->used;
}
