#include "services/mdns_daemon.h"

#include <arpa/inet.h>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <syslog.h>

namespace {

enum { CACHE_BUCKETS = 1009, RECORD_BUCKETS = 108, QUERY_BUCKETS = 108 };
enum { L_PROBE, L_NOW, L_PAUSE, L_PUBLISH, L_COUNT };
const int64_t SECOND = 1000000;
const char *const SD_NAME = "_services._dns-sd._udp.local.";

std::atomic<int> log_level{5};
std::atomic<bool> log_syslog{false};

} // namespace

struct mdns_record {
    char *name;
    uint16_t type;
    uint32_t ttl;
    uint8_t *rdata;
    uint16_t rdlen;
    uint32_t ip;
    bool has_ip;
    char *rdname;
    uint16_t priority, weight, port;
    int unique;     // 0 shared, 1..4 probes done, 5 probed
    int tries;      // announcements sent
    mdns_conflict_fn conflict;
    void *arg;
    int64_t last_sent;
    mdns_record *next;
    mdns_record *link[L_COUNT];
    uint8_t on;     // bit per send list
};

struct mdns_query {
    char *name;
    uint16_t type;
    int64_t nexttry;
    int tries;
    mdns_answer_fn answer;
    void *arg;
    mdns_query *next;   // hash chain
    mdns_query *list;   // all queries
};

struct mdns_daemon {
    uint16_t clazz;
    int frame;
    mdns_clock_fn clock;
    int64_t now;
    int64_t expireall, checkqlist, pause, probe, publish;
    bool shutdown;
    bool sd;
    mdns_cached *cache[CACHE_BUCKETS];
    int cached;
    size_t cached_bytes;
    mdns_record *published[RECORD_BUCKETS];
    mdns_query *queries[QUERY_BUCKETS];
    mdns_query *qlist;
    mdns_record *list[L_COUNT];
    struct {
        uint16_t id;
        uint32_t to;
        uint16_t port;
        mdns_record *r;
    } uni[MDNS_UNICAST_MAX];
    int nuni;
    mdns_hook_fn hook;
    void *hook_arg;
    dns_message *step_msg;   // for mdnsd_step, taken on first use
};

namespace {

void monotonic_clock(struct timeval *tv)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    tv->tv_sec = ts.tv_sec;
    tv->tv_usec = ts.tv_nsec / 1000;
}

void refresh(mdns_daemon *d)
{
    struct timeval tv;
    d->clock(&tv);
    d->now = (int64_t)tv.tv_sec * SECOND + tv.tv_usec;
}

// ELF hash of the name, case folded: DNS names compare without case.
unsigned name_hash(const char *s)
{
    unsigned long h = 0;
    while (*s) {
        h = (h << 4) + (unsigned char)tolower((unsigned char)*s++);
        unsigned long g = h & 0xF0000000UL;
        if (g)
            h ^= g >> 24;
        h &= ~g;
    }
    return (unsigned)h;
}

bool name_eq(const char *a, const char *b)
{
    return a && b && strcasecmp(a, b) == 0;
}

char *dup_text(const char *s)
{
    return s ? strdup(s) : nullptr;
}

// Send lists: a record is on each list at most once.
void list_push(mdns_daemon *d, int l, mdns_record *r)
{
    if (r->on & (1 << l))
        return;
    r->on |= (uint8_t)(1 << l);
    r->link[l] = nullptr;
    mdns_record **pp = &d->list[l];
    while (*pp)
        pp = &(*pp)->link[l];
    *pp = r;
}

void list_remove(mdns_daemon *d, int l, mdns_record *r)
{
    if (!(r->on & (1 << l)))
        return;
    for (mdns_record **pp = &d->list[l]; *pp; pp = &(*pp)->link[l]) {
        if (*pp == r) {
            *pp = r->link[l];
            break;
        }
    }
    r->on &= (uint8_t)~(1 << l);
    r->link[l] = nullptr;
}

mdns_record *next_record(mdns_daemon *d, mdns_record *r, const char *name, uint16_t type)
{
    r = r ? r->next : d->published[name_hash(name) % RECORD_BUCKETS];
    for (; r; r = r->next)
        if ((type == DNS_TYPE_ANY || r->type == type) && name_eq(r->name, name))
            return r;
    return nullptr;
}

void record_free(mdns_daemon *d, mdns_record *r)
{
    for (int l = 0; l < L_COUNT; l++)
        list_remove(d, l, r);
    for (mdns_record **pp = &d->published[name_hash(r->name) % RECORD_BUCKETS]; *pp; pp = &(*pp)->next) {
        if (*pp == r) {
            *pp = r->next;
            break;
        }
    }
    int k = 0;
    for (int i = 0; i < d->nuni; i++)
        if (d->uni[i].r != r)
            d->uni[k++] = d->uni[i];
    d->nuni = k;
    free(r->name);
    free(r->rdata);
    free(r->rdname);
    free(r);
}

bool record_probing(const mdns_record *r)
{
    return r->unique > 0 && r->unique < 5;
}

// Whether an answer heard carries the same data as our record.
bool same_data(const dns_rr *a, const mdns_record *r)
{
    if (!name_eq(a->name, r->name) || a->type != r->type)
        return false;
    switch (r->type) {
    case DNS_TYPE_SRV:
        return name_eq(a->rdname, r->rdname) && a->port == r->port && a->weight == r->weight &&
               a->priority == r->priority;
    case DNS_TYPE_PTR:
    case DNS_TYPE_NS:
    case DNS_TYPE_CNAME:
        return name_eq(a->rdname, r->rdname);
    case DNS_TYPE_A:
        return a->rdlength == 4 && a->ip == r->ip;
    default:
        return a->rdlength == r->rdlen && (r->rdlen == 0 || memcmp(a->rdata, r->rdata, r->rdlen) == 0);
    }
}

bool cached_same_data(const mdns_cached *c, const dns_rr *a)
{
    if (!name_eq(c->name, a->name) || c->type != a->type)
        return false;
    switch (a->type) {
    case DNS_TYPE_SRV:
        return name_eq(c->rdname, a->rdname) && c->port == a->port && c->weight == a->weight &&
               c->priority == a->priority;
    case DNS_TYPE_PTR:
    case DNS_TYPE_NS:
    case DNS_TYPE_CNAME:
        return name_eq(c->rdname, a->rdname);
    default:
        return c->rdlen == a->rdlength && (a->rdlength == 0 || memcmp(c->rdata, a->rdata, a->rdlength) == 0);
    }
}

void withdraw(mdns_daemon *d, mdns_record *r);

void conflict(mdns_daemon *d, mdns_record *r)
{
    if (r->conflict)
        r->conflict(r->name, r->type, r->arg);
    withdraw(d, r);
}

void withdraw(mdns_daemon *d, mdns_record *r)
{
    // A name still being probed was never claimed: no goodbye for it.
    if (record_probing(r)) {
        record_free(d, r);
        return;
    }
    r->ttl = 0;
    list_remove(d, L_PUBLISH, r);
    list_remove(d, L_PAUSE, r);
    list_push(d, L_NOW, r);
}

void mark_publish(mdns_daemon *d, mdns_record *r)
{
    if (record_probing(r))
        return;   // published when probing ends
    r->tries = 0;
    list_push(d, L_PUBLISH, r);
    d->publish = d->now;
}

void queue_answer(mdns_daemon *d, mdns_record *r)
{
    if (r->tries > 3) {
        if (r->unique) {
            list_push(d, L_NOW, r);
        } else {
            list_push(d, L_PAUSE, r);
            d->pause = d->now + 20 + d->now % SECOND % 100;
        }
        return;
    }
    list_push(d, L_PUBLISH, r);
    d->publish = d->now;
}

// ---- the cache ----

size_t cached_size(const dns_rr *a)
{
    return sizeof(mdns_cached) + strlen(a->name) + 1 + a->rdlength + (a->rdname ? strlen(a->rdname) + 1 : 0);
}

void query_end(mdns_daemon *d, mdns_query *q);

void cached_free(mdns_daemon *d, mdns_cached *c)
{
    d->cached--;
    d->cached_bytes -= sizeof(mdns_cached) + strlen(c->name) + 1 + c->rdlen + (c->rdname ? strlen(c->rdname) + 1 : 0);
    free(c->name);
    free(c->rdata);
    free(c->rdname);
    free(c);
}

void fill_ttl(const mdns_daemon *d, mdns_cached *c)
{
    c->ttl = c->expire > d->now ? (uint32_t)((c->expire - d->now) / SECOND) : 0;
}

// Removes the expired entries of a bucket, telling their query.
void cache_clean(mdns_daemon *d, unsigned bucket)
{
    mdns_cached **pp = &d->cache[bucket];
    while (*pp) {
        mdns_cached *c = *pp;
        if (c->expire > d->now) {
            pp = &c->next;
            continue;
        }
        *pp = c->next;
        if (c->query) {
            mdns_query *q = c->query;
            c->ttl = 0;
            if (q->answer && q->answer(c, q->arg) == -1)
                query_end(d, q);
        }
        cached_free(d, c);
    }
}

mdns_query *query_find(mdns_daemon *d, const char *name, uint16_t type)
{
    for (mdns_query *q = d->queries[name_hash(name) % QUERY_BUCKETS]; q; q = q->next)
        if (q->type == type && name_eq(q->name, name))
            return q;
    return nullptr;
}

void query_end(mdns_daemon *d, mdns_query *q)
{
    for (mdns_query **pp = &d->queries[name_hash(q->name) % QUERY_BUCKETS]; *pp; pp = &(*pp)->next)
        if (*pp == q) {
            *pp = q->next;
            break;
        }
    for (mdns_query **pp = &d->qlist; *pp; pp = &(*pp)->list)
        if (*pp == q) {
            *pp = q->list;
            break;
        }
    for (mdns_cached *c = d->cache[name_hash(q->name) % CACHE_BUCKETS]; c; c = c->next)
        if (c->query == q)
            c->query = nullptr;
    free(q->name);
    free(q);
}

int cache_answer(mdns_daemon *d, const dns_rr *a)
{
    unsigned i = name_hash(a->name) % CACHE_BUCKETS;
    if (a->clazz & DNS_CLASS_FLUSH) {
        for (mdns_cached *c = d->cache[i]; c; c = c->next)
            if (c->type == a->type && name_eq(c->name, a->name))
                c->expire = d->now;
        cache_clean(d, i);
    }
    if (a->ttl == 0) {
        for (mdns_cached *c = d->cache[i]; c; c = c->next)
            if (cached_same_data(c, a))
                c->expire = d->now;
        cache_clean(d, i);
        return 0;
    }
    int64_t expire = d->now + ((int64_t)(a->ttl / 2) + 8) * SECOND;
    for (mdns_cached *c = d->cache[i]; c; c = c->next) {
        if (c->type == a->type && name_eq(c->name, a->name) &&
            (a->type != DNS_TYPE_PTR || name_eq(c->rdname, a->rdname))) {
            c->expire = expire;
            return 0;
        }
    }
    size_t size = cached_size(a);
    if (d->cached >= MDNS_CACHE_MAX || d->cached_bytes + size > MDNS_CACHE_BYTES_MAX) {
        mdns_log(LOG_DEBUG, "%s(): cache full, %s not cached\n", "mdnsd_in", a->name);
        return 0;
    }
    mdns_cached *c = (mdns_cached *)calloc(1, sizeof *c);
    if (!c)
        return -1;
    c->name = strdup(a->name);
    c->type = a->type;
    c->expire = expire;
    c->ip = a->ip;
    c->rdname = dup_text(a->rdname);
    c->priority = a->priority;
    c->weight = a->weight;
    c->port = a->port;
    c->rdlen = a->rdlength;
    if (a->rdlength) {
        c->rdata = (uint8_t *)malloc(a->rdlength);
        if (c->rdata)
            memcpy(c->rdata, a->rdata, a->rdlength);
    }
    if (!c->name || (a->rdname && !c->rdname) || (a->rdlength && !c->rdata)) {
        free(c->name);
        free(c->rdname);
        free(c->rdata);
        free(c);
        return -1;
    }
    d->cached++;
    d->cached_bytes += size;
    c->next = d->cache[i];
    d->cache[i] = c;
    if (mdns_query *q = query_find(d, a->name, a->type)) {
        c->query = q;
        fill_ttl(d, c);
        if (q->answer && q->answer(c, q->arg) == -1)
            query_end(d, q);
    }
    return 0;
}

// ---- output ----

size_t record_size(const mdns_record *r)
{
    size_t n = 12 + strlen(r->name) + r->rdlen;
    if (r->rdname)
        n += strlen(r->rdname);
    if (r->has_ip)
        n += 4;
    if (r->type == DNS_TYPE_PTR || r->type == DNS_TYPE_SRV)
        n += 6;
    return n;
}

void put_rdata(dns_message *m, const mdns_record *r)
{
    if (r->type == DNS_TYPE_SRV)
        dns_message_rdata_srv(m, r->priority, r->weight, r->port, r->rdname ? r->rdname : "");
    else if (r->rdname)
        dns_message_rdata_name(m, r->rdname);
    else if (r->has_ip)
        dns_message_rdata_ipv4(m, r->ip);
    else
        dns_message_rdata_raw(m, r->rdata, r->rdlen);
}

// Puts a record in the answer section; a goodbye (ttl 0) is deleted once out.
int r_out(mdns_daemon *d, dns_message *m, mdns_record *r)
{
    uint16_t clazz = d->clazz;
    if (r->unique)
        clazz |= DNS_CLASS_FLUSH;
    mdns_log(LOG_DEBUG, "%s(): Appending name: %s, type %d to outbound message ...\n", "_r_out", r->name, r->type);
    dns_message_an(m, r->name, r->type, clazz, r->ttl);
    put_rdata(m, r);
    r->last_sent = d->now;
    if (r->ttl == 0)
        record_free(d, r);
    return 1;
}

bool sd_only(const mdns_daemon *d, const mdns_record *r)
{
    return !d->sd || (r->type == DNS_TYPE_PTR && name_eq(r->name, SD_NAME));
}

// Sends from an answer list while the frame has room; the records stay off the list once out.
int send_list(mdns_daemon *d, dns_message *m, int l)
{
    int ret = 0;
    mdns_record *r = d->list[l];
    while (r) {
        mdns_record *next = r->link[l];
        if (!sd_only(d, r)) {
            r = next;
            continue;
        }
        if (dns_message_length(m) > 12 && dns_message_length(m) + record_size(r) >= (size_t)d->frame)
            break;
        list_remove(d, l, r);
        ret += r_out(d, m, r);
        r = next;
    }
    return ret;
}

int send_publish(mdns_daemon *d, dns_message *m)
{
    int ret = 0;
    bool left_out = false;
    mdns_record *r = d->list[L_PUBLISH];
    while (r) {
        mdns_record *next = r->link[L_PUBLISH];
        if (!sd_only(d, r)) {
            r = next;
            continue;
        }
        if (dns_message_length(m) > 12 && dns_message_length(m) + record_size(r) >= (size_t)d->frame) {
            left_out = true;
            break;
        }
        if (r->type == DNS_TYPE_SRV)
            mdns_log(LOG_DEBUG, "%s(): Send Publish SRV: Name: %s, rdlen: %d, rdata: %s, rdname: %s, port: %d, prio: %d, weight: %d\n",
                     "mdnsd_out", r->name, r->rdlen, r->rdata ? "raw" : "", r->rdname ? r->rdname : "", r->port,
                     r->priority, r->weight);
        else if (r->type == DNS_TYPE_PTR)
            mdns_log(LOG_DEBUG, "%s(): Send Publish PTR: Name: %s, rdlen: %d, rdata: %s, rdname: %s\n", "mdnsd_out",
                     r->name, r->rdlen, r->rdata ? "raw" : "", r->rdname ? r->rdname : "");
        else
            mdns_log(LOG_DEBUG, "%s(): Send Publish: Name: %s, Type: %d, rdname: %s\n", "mdnsd_out", r->name, r->type,
                     r->rdname ? r->rdname : "");
        r->tries++;
        bool gone = r->ttl == 0;
        if (!gone && r->tries > 3)
            list_remove(d, L_PUBLISH, r);
        ret += r_out(d, m, r);
        r = next;
    }
    if (d->list[L_PUBLISH])
        d->publish = left_out ? d->now : d->now + 2 * SECOND;
    return ret;
}

int send_probes(mdns_daemon *d, dns_message *m, bool *finished)
{
    int ret = 0;
    for (mdns_record *r = d->list[L_PROBE], *next; r; r = next) {
        next = r->link[L_PROBE];
        if (r->unique >= 4) {
            r->unique = 5;
            list_remove(d, L_PROBE, r);
            mark_publish(d, r);
            *finished = true;
            continue;
        }
        mdns_log(LOG_DEBUG, "%s(): Send Probing: Name: %s, Type: %d\n", "mdnsd_out", r->name, r->type);
        dns_message_qd(m, r->name, r->type, d->clazz);
        ret++;
    }
    for (mdns_record *r = d->list[L_PROBE]; r; r = r->link[L_PROBE]) {
        r->unique++;
        mdns_log(LOG_DEBUG, "%s(): Send Answer in Probe: Name: %s, Type: %d\n", "mdnsd_out", r->name, r->type);
        dns_message_ns(m, r->name, r->type, d->clazz, r->ttl);
        put_rdata(m, r);
    }
    return ret;
}

int send_queries(mdns_daemon *d, dns_message *m)
{
    int ret = 0;
    for (mdns_query *q = d->qlist; q; q = q->list) {
        if (q->nexttry > 0 && q->nexttry <= d->now && q->tries < 3) {
            dns_message_qd(m, q->name, q->type, d->clazz);
            ret++;
        }
    }
    int64_t nextbest = 0;
    for (mdns_query *q = d->qlist, *next; q; q = next) {
        next = q->list;
        if (q->nexttry == 0 || q->nexttry > d->now) {
            if (q->nexttry && (!nextbest || q->nexttry < nextbest))
                nextbest = q->nexttry;
            continue;
        }
        if (q->tries >= 3) {
            unsigned i = name_hash(q->name) % CACHE_BUCKETS;
            cache_clean(d, i);
            // The query may have ended in its callback.
            bool alive = false;
            for (mdns_query *k = d->qlist; k; k = k->list)
                alive |= k == q;
            if (!alive)
                continue;
            q->tries = 0;
            q->nexttry = 0;
            for (mdns_cached *c = d->cache[i]; c; c = c->next)
                if (c->query == q && (!q->nexttry || c->expire - 7 * SECOND < q->nexttry))
                    q->nexttry = c->expire - 7 * SECOND;
        } else {
            q->tries++;
            q->nexttry = d->now + q->tries * SECOND;
            for (mdns_cached *c = d->cache[name_hash(q->name) % CACHE_BUCKETS]; c; c = c->next) {
                if (c->query != q || c->expire - d->now <= 8 * SECOND)
                    continue;
                mdns_log(LOG_DEBUG, "%s(): Add known answer: Name: %s, Type: %d\n", "mdnsd_out", c->name, c->type);
                dns_message_an(m, c->name, c->type, d->clazz, (uint32_t)((c->expire - d->now) / SECOND));
                if (c->type == DNS_TYPE_SRV)
                    dns_message_rdata_srv(m, c->priority, c->weight, c->port, c->rdname ? c->rdname : "");
                else if (c->rdname)
                    dns_message_rdata_name(m, c->rdname);
                else
                    dns_message_rdata_raw(m, c->rdata, c->rdlen);
            }
        }
        if (q->nexttry && (!nextbest || q->nexttry < nextbest))
            nextbest = q->nexttry;
    }
    d->checkqlist = nextbest;
    return ret;
}

void set_rdata_common(mdns_daemon *d, mdns_record *r)
{
    refresh(d);
    mark_publish(d, r);
}

mdns_record *publish(mdns_daemon *d, const char *name, uint16_t type, uint32_t ttl)
{
    mdns_record *r = (mdns_record *)calloc(1, sizeof *r);
    if (!r)
        return nullptr;
    r->name = strdup(name);
    if (!r->name) {
        free(r);
        return nullptr;
    }
    r->type = type;
    r->ttl = ttl;
    unsigned i = name_hash(name) % RECORD_BUCKETS;
    r->next = d->published[i];
    d->published[i] = r;
    return r;
}

} // namespace

// ---- log ----

void mdns_log(int level, const char *fmt, ...)
{
    if (level > log_level.load() || log_level.load() >= MDNS_LOG_NONE)
        return;
    va_list ap;
    va_start(ap, fmt);
    if (log_syslog.load())
        vsyslog(level, fmt, ap);
    else
        vfprintf(level <= 4 ? stderr : stdout, fmt, ap);
    va_end(ap);
    if (!log_syslog.load() && level > 4)
        fflush(stdout);
}

void mdns_log_level(int level)
{
    log_level = level;
    if (log_syslog.load())
        setlogmask(LOG_UPTO(level & 7));
}

int mdns_log_level_get()
{
    return log_level.load();
}

int mdns_log_level_by_name(const char *name)
{
    static const struct {
        const char *name;
        int level;
    } names[] = {{"alert", 1}, {"crit", 2},  {"debug", 7},  {"emerg", 0},  {"err", 3},   {"error", 3},
                 {"info", 6},  {"none", 16}, {"notice", 5}, {"panic", 0},  {"warn", 4},  {"warning", 4}};
    for (auto &n : names)
        if (strcasecmp(n.name, name) == 0)
            return n.level;
    return atoi(name);
}

void mdns_log_open(const char *ident)
{
    openlog(ident, LOG_PID | LOG_NDELAY, LOG_DAEMON);
    setlogmask(LOG_UPTO(log_level.load() & 7));
    log_syslog = true;
}

void mdns_log_time()
{
    char buf[16];
    time_t t = time(nullptr);
    struct tm tm;
    localtime_r(&t, &tm);
    strftime(buf, sizeof buf, "%H:%M:%S", &tm);
    mdns_log(LOG_DEBUG, "@%s\n", buf);
}

// ---- the responder ----

mdns_daemon *mdnsd_create(int clazz, int frame)
{
    mdns_daemon *d = (mdns_daemon *)calloc(1, sizeof *d);
    if (!d)
        return nullptr;
    d->clazz = (uint16_t)clazz;
    d->frame = frame;
    d->clock = monotonic_clock;
    refresh(d);
    d->expireall = d->now + 86400 * SECOND;
    return d;
}

void mdnsd_set_clock(mdns_daemon *d, mdns_clock_fn clock)
{
    d->clock = clock ? clock : monotonic_clock;
    refresh(d);
    d->expireall = d->now + 86400 * SECOND;
}

void mdnsd_begin_shutdown(mdns_daemon *d)
{
    refresh(d);
    for (int i = 0; i < RECORD_BUCKETS; i++) {
        for (mdns_record *r = d->published[i], *next; r; r = next) {
            next = r->next;
            if (r->ttl != 0 || !(r->on & (1 << L_NOW)))
                withdraw(d, r);
        }
    }
    d->shutdown = true;
}

void mdnsd_destroy(mdns_daemon *d)
{
    if (!d)
        return;
    for (int i = 0; i < RECORD_BUCKETS; i++)
        while (d->published[i])
            record_free(d, d->published[i]);
    while (d->qlist)
        query_end(d, d->qlist);
    for (int i = 0; i < CACHE_BUCKETS; i++) {
        while (mdns_cached *c = d->cache[i]) {
            d->cache[i] = c->next;
            cached_free(d, c);
        }
    }
    free(d->step_msg);
    free(d);
}

mdns_record *mdnsd_publish_shared(mdns_daemon *d, const char *name, uint16_t type, uint32_t ttl)
{
    refresh(d);
    return publish(d, name, type, ttl);
}

mdns_record *mdnsd_publish_unique(mdns_daemon *d, const char *name, uint16_t type, uint32_t ttl,
                                  mdns_conflict_fn conflict_fn, void *arg)
{
    refresh(d);
    mdns_record *r = publish(d, name, type, ttl);
    if (!r)
        return nullptr;
    r->unique = 1;
    r->conflict = conflict_fn;
    r->arg = arg;
    list_push(d, L_PROBE, r);
    d->probe = d->now;
    return r;
}

void mdnsd_withdraw(mdns_daemon *d, mdns_record *r)
{
    if (!r)
        return;
    refresh(d);
    withdraw(d, r);
}

void mdnsd_set_rdata_raw(mdns_daemon *d, mdns_record *r, const uint8_t *bytes, uint16_t length)
{
    free(r->rdata);
    r->rdata = nullptr;
    r->rdlen = 0;
    if (length && (r->rdata = (uint8_t *)malloc(length))) {
        memcpy(r->rdata, bytes, length);
        r->rdlen = length;
    }
    set_rdata_common(d, r);
}

void mdnsd_set_rdata_host(mdns_daemon *d, mdns_record *r, const char *name)
{
    free(r->rdname);
    r->rdname = dup_text(name);
    set_rdata_common(d, r);
}

void mdnsd_set_rdata_srv(mdns_daemon *d, mdns_record *r, uint16_t priority, uint16_t weight, uint16_t port,
                         const char *name)
{
    r->priority = priority;
    r->weight = weight;
    r->port = port;
    free(r->rdname);
    r->rdname = dup_text(name);
    set_rdata_common(d, r);
}

void mdnsd_set_rdata_ipv4(mdns_daemon *d, mdns_record *r, uint32_t address)
{
    r->ip = address;
    r->has_ip = true;
    set_rdata_common(d, r);
}

void mdnsd_update_ip(mdns_daemon *d, uint32_t address)
{
    for (int i = 0; i < RECORD_BUCKETS; i++)
        for (mdns_record *r = d->published[i]; r; r = r->next)
            if (r->type == DNS_TYPE_A && r->ttl && (!r->has_ip || r->ip != address))
                mdnsd_set_rdata_ipv4(d, r, address);
}

int mdns_record_unique_state(const mdns_record *r)
{
    return r->unique;
}

uint32_t mdns_record_ttl(const mdns_record *r)
{
    return r->ttl;
}

int mdnsd_in(mdns_daemon *d, const dns_message *m, uint32_t ip, uint16_t port)
{
    if (d->shutdown)
        return 1;
    refresh(d);
    if (m->qr) {
        for (int i = 0; i < m->ancount; i++) {
            const dns_rr *a = &m->an[i];
            if (!a->name) {
                mdns_log(LOG_ERR, "Got answer with NULL name at %p. Type: %d, TTL: %ld, skipping\n", (const void *)a,
                         a->type, (long)a->ttl);
                continue;
            }
            mdns_log(LOG_DEBUG, "%s(): Got Answer: Name: %s, Type: %d\n", "mdnsd_in", a->name, a->type);
            // Our own answers come back through the multicast loop: only other data conflicts.
            for (mdns_record *r = next_record(d, nullptr, a->name, a->type), *next; r; r = next) {
                next = next_record(d, r, a->name, a->type);
                if (r->unique && r->ttl && !same_data(a, r))
                    conflict(d, r);
            }
            if (d->hook)
                d->hook(a, d->hook_arg);
            if (cache_answer(d, a) != 0)
                mdns_log(LOG_ERR, "Failed caching answer, possibly too long packet, skipping.\n");
        }
        return 0;
    }

    for (int i = 0; i < m->qdcount; i++) {
        const dns_question *q = &m->qd[i];
        if (!q->name || q->clazz != d->clazz)
            continue;
        mdns_log(LOG_DEBUG, "%s(): Query for %s of type %d ...\n", "mdnsd_in", q->name, q->type);
        if (name_eq(q->name, SD_NAME)) {
            d->sd = true;
            for (mdns_record *r = next_record(d, nullptr, q->name, DNS_TYPE_PTR); r;
                 r = next_record(d, r, q->name, DNS_TYPE_PTR))
                queue_answer(d, r);
            continue;
        }
        bool conflicted = false;
        mdns_record *first = nullptr;
        for (mdns_record *r = next_record(d, nullptr, q->name, q->type), *next; r; r = next) {
            next = next_record(d, r, q->name, q->type);
            mdns_log(LOG_DEBUG, "%s(): Local record: %s, type: %d, rdname: %s\n", "mdnsd_in", r->name, r->type,
                     r->rdname ? r->rdname : "");
            if (record_probing(r)) {
                // Another host probing for the same name proposes its data in the authority section.
                for (int k = 0; k < m->nscount; k++) {
                    const dns_rr *ns = &m->ns[k];
                    if (ns->type == r->type && name_eq(ns->name, r->name) && !same_data(ns, r)) {
                        conflicted = true;
                        conflict(d, r);
                        break;
                    }
                }
                continue;
            }
            if (r->ttl == 0)
                continue;   // a goodbye on its way out
            int j;
            for (j = 0; j < m->ancount; j++)
                if (same_data(&m->an[j], r))
                    break;
            mdns_log(LOG_DEBUG, "%s(): Should we send answer? j: %d, m->ancount: %d\n", "mdnsd_in", j, m->ancount);
            if (j < m->ancount)
                continue;   // the querier knows it already
            mdns_log(LOG_DEBUG, "%s(): Yes we should, enquing %s for outbound\n", "mdnsd_in", r->name);
            queue_answer(d, r);
            if (!first)
                first = r;
        }
        if (!conflicted && first && port != MDNS_PORT && d->nuni < MDNS_UNICAST_MAX) {
            d->uni[d->nuni].id = m->id;
            d->uni[d->nuni].to = ip;
            d->uni[d->nuni].port = port;
            d->uni[d->nuni].r = first;
            d->nuni++;
        }
    }
    return 0;
}

int mdnsd_out(mdns_daemon *d, dns_message *m, uint32_t *ip, uint16_t *port)
{
    refresh(d);
    dns_message_reset(m);
    *ip = htonl(0xE00000FBu);   // 224.0.0.251
    *port = htons(MDNS_PORT);
    m->qr = 1;
    m->aa = 1;

    if (d->nuni) {
        mdns_record *r = d->uni[0].r;
        m->id = d->uni[0].id;
        *ip = d->uni[0].to;
        *port = htons(d->uni[0].port);
        memmove(&d->uni[0], &d->uni[1], (size_t)(d->nuni - 1) * sizeof d->uni[0]);
        d->nuni--;
        mdns_log(LOG_DEBUG, "%s(): Send Unicast Answer: Name: %s, Type: %d\n", "mdnsd_out", r->name, r->type);
        dns_message_qd(m, r->name, r->type, d->clazz);
        dns_message_an(m, r->name, r->type, d->clazz, r->ttl);
        put_rdata(m, r);
        return 1;
    }

    int ret = send_list(d, m, L_NOW);
    if (d->list[L_PUBLISH] && d->publish <= d->now)
        ret += send_publish(d, m);
    if (!d->shutdown && d->list[L_PAUSE] && d->pause && d->pause <= d->now) {
        ret += send_list(d, m, L_PAUSE);
        if (!d->list[L_PAUSE])
            d->pause = 0;
    }
    if (ret || d->shutdown)
        return ret;

    m->qr = 0;
    m->aa = 0;
    if (d->list[L_PROBE] && d->probe <= d->now) {
        bool finished = false;
        ret = send_probes(d, m, &finished);
        if (ret) {
            d->probe = d->now + 250000;
            return ret;
        }
        if (finished)
            return mdnsd_out(d, m, ip, port);   // announce at this probing time
    }
    if (d->qlist && d->checkqlist && d->checkqlist <= d->now) {
        ret = send_queries(d, m);
        if (ret)
            return ret;
    }
    if (d->expireall <= d->now) {
        for (unsigned i = 0; i < CACHE_BUCKETS; i++)
            cache_clean(d, i);
        d->expireall = d->now + 86400 * SECOND;
    }
    return 0;
}

struct timeval mdnsd_sleep(mdns_daemon *d)
{
    refresh(d);
    struct timeval tv = {0, 0};
    if (d->nuni || d->list[L_NOW])
        return tv;
    int64_t t;
    if (d->list[L_PAUSE] && d->pause)
        t = d->pause - d->now;
    else if (d->list[L_PROBE])
        t = d->probe - d->now;
    else if (d->list[L_PUBLISH])
        t = d->publish - d->now;
    else if (d->qlist && d->checkqlist)
        t = d->checkqlist - d->now;
    else {
        t = d->expireall - d->now;
        for (int i = 0; i < RECORD_BUCKETS; i++) {
            for (mdns_record *r = d->published[i]; r; r = r->next) {
                if (!r->ttl || !r->last_sent || record_probing(r) || r->on)
                    continue;
                int64_t left = r->last_sent + (int64_t)r->ttl * SECOND - d->now;
                if (left <= 2 * SECOND) {
                    mdns_log(LOG_DEBUG, "%s(): Republish %s before TTL expires ...\n", "mdnsd_sleep", r->name);
                    list_push(d, L_PAUSE, r);
                }
                if (left < t)
                    t = left;
            }
        }
        t = t < 3 * SECOND ? 0 : t - 2 * SECOND;
        d->pause = d->now + t;
    }
    if (t < 0)
        t = 0;
    tv.tv_sec = (time_t)(t / SECOND);
    tv.tv_usec = (suseconds_t)(t % SECOND);
    return tv;
}

void mdnsd_end_pass(mdns_daemon *d)
{
    d->sd = false;
}

void mdnsd_watch(mdns_daemon *d, const char *name, uint16_t type, mdns_answer_fn answer, void *arg)
{
    refresh(d);
    mdns_query *q = query_find(d, name, type);
    if (!answer) {
        if (q)
            query_end(d, q);
        return;
    }
    if (!q) {
        q = (mdns_query *)calloc(1, sizeof *q);
        if (!q || !(q->name = strdup(name))) {
            free(q);
            return;
        }
        q->type = type;
        unsigned i = name_hash(name) % QUERY_BUCKETS;
        q->next = d->queries[i];
        d->queries[i] = q;
        q->list = d->qlist;
        d->qlist = q;
    }
    q->answer = answer;
    q->arg = arg;
    q->tries = 0;
    q->nexttry = d->now;
    if (!d->checkqlist || d->checkqlist > d->now)
        d->checkqlist = d->now;
    for (mdns_cached *c = d->cache[name_hash(name) % CACHE_BUCKETS], *next; c; c = next) {
        next = c->next;
        if (c->type != type || !name_eq(c->name, name) || c->expire <= d->now)
            continue;
        c->query = q;
        fill_ttl(d, c);
        if (answer(c, arg) == -1) {
            query_end(d, q);
            return;
        }
    }
}

void mdnsd_set_answer_hook(mdns_daemon *d, mdns_hook_fn hook, void *arg)
{
    d->hook = hook;
    d->hook_arg = arg;
}

const mdns_cached *mdnsd_cached(mdns_daemon *d, const char *name, uint16_t type, const mdns_cached *last)
{
    refresh(d);
    mdns_cached *c = last ? last->next : d->cache[name_hash(name) % CACHE_BUCKETS];
    for (; c; c = c->next) {
        if (c->expire > d->now && (type == DNS_TYPE_ANY || c->type == type) && name_eq(c->name, name)) {
            fill_ttl(d, c);
            return c;
        }
    }
    return nullptr;
}

namespace {

void hex_dump(const char *what, const uint8_t *p, size_t n)
{
    if (mdns_log_level_get() < LOG_DEBUG)
        return;
    mdns_log(LOG_DEBUG, "%s\n", what);
    for (size_t i = 0; i < n; i += 16) {
        char line[80];
        int o = 0;
        for (size_t k = i; k < n && k < i + 16; k++)
            o += snprintf(line + o, sizeof line - o, "%02x ", p[k]);
        mdns_log(LOG_DEBUG, "%s\n", line);
    }
}

} // namespace

int mdnsd_step(mdns_daemon *d, int sock, bool in, bool out, struct timeval *wait)
{
    if (!d->step_msg && !(d->step_msg = (dns_message *)malloc(sizeof(dns_message))))
        return 1;
    dns_message *m = d->step_msg;
    if (in) {
        static thread_local uint8_t buf[0xFFFF];
        for (;;) {
            struct sockaddr_in from = {};
            socklen_t len = sizeof from;
            ssize_t n = recvfrom(sock, buf, sizeof buf, 0, (struct sockaddr *)&from, &len);
            if (n < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK)
                    break;
                return 1;
            }
            hex_dump("Got Data:", buf, (size_t)n);
            if (dns_message_parse(m, buf, (size_t)n) == 0)
                mdnsd_in(d, m, from.sin_addr.s_addr, ntohs(from.sin_port));
        }
    }
    if (out) {
        uint32_t ip;
        uint16_t port;
        while (mdnsd_out(d, m, &ip, &port)) {
            struct sockaddr_in to = {};
            to.sin_family = AF_INET;
            to.sin_addr.s_addr = ip;
            to.sin_port = port;
            const uint8_t *pkt = dns_message_header(m);
            int len = dns_message_length(m);
            hex_dump("Send Data:", pkt, (size_t)len);
            if (sendto(sock, pkt, (size_t)len, 0, (struct sockaddr *)&to, sizeof to) != len)
                return 2;
        }
    }
    mdnsd_end_pass(d);
    *wait = mdnsd_sleep(d);
    return 0;
}
