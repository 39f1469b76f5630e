#include "web/guard.h"

#include "core/evict.h"
#include "core/log.h"
#include "core/util.h"
#include "core/param_commit.h"
#include "services/firmware.h"
#include "web/accesslog.h"
#include "web/auth.h"
#include "web/httpd.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <string>
#include <vector>

// --- the name the request was sent to -----------------------------------------------------------

namespace {

// ":" and 1 to 5 digits, or nothing.
bool port_ok(const char *p)
{
    if (!*p)
        return true;
    if (*p++ != ':')
        return false;
    size_t n = strspn(p, "0123456789");
    return n >= 1 && n <= 5 && !p[n];
}

} // namespace

bool guard_host_is_device(const char *host, const char *hostname)
{
    char name[256];
    if (!host || !*host || strlen(host) >= sizeof name)
        return false;
    if (host[0] == '[') {
        const char *end = strchr(host, ']');
        if (!end || !port_ok(end + 1))
            return false;
        snprintf(name, sizeof name, "%.*s", (int)(end - host - 1), host + 1);
        in6_addr a6;
        return inet_pton(AF_INET6, name, &a6) == 1;
    }
    size_t n = strcspn(host, ":");
    if (!port_ok(host + n))
        return false;
    snprintf(name, sizeof name, "%.*s", (int)n, host);
    // A fully qualified name may end in a dot.
    if (n > 1 && name[n - 1] == '.')
        name[--n] = 0;
    in_addr a4;
    if (inet_pton(AF_INET, name, &a4) == 1 || strcasecmp(name, "localhost") == 0)
        return true;
    size_t h = hostname ? strlen(hostname) : 0;
    return h && strncasecmp(name, hostname, h) == 0 && (!name[h] || strcasecmp(name + h, ".local") == 0);
}

bool guard_host_trusted(MHD_Connection *c)
{
    const char *host = MHD_lookup_connection_value(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_HOST);
    if (!host)
        return true;
    char hostname[64];
    if (param_access_get("NetworkHostname", hostname, sizeof hostname) < 0)
        hostname[0] = 0;
    return guard_host_is_device(host, hostname);
}

MHD_Result guard_answer_foreign_host(MHD_Connection *connection, const char *method, const char *url)
{
    log_printf("%s: %s %s for Host %s refused: no guest rights under a name that is not the device's\n",
               "answer_to_connection", method, log_text(url).text,
               log_text(MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_HOST)).text);
    return queue_auth_fail(connection, 0);
}

// --- the site it came from and where it goes back to ----------------------------------------------

bool guard_local_target(const char *target)
{
    if (!target || !*target)
        return false;
    // "//host" is another host to a browser, and so is "/\host"; browsers also drop blanks and
    // control characters around and inside a URL, so " //host" is another host too. None of
    // them belongs in a path of ours.
    if (target[0] == '/' && target[1] == '/')
        return false;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(target); *p; p++)
        if (*p <= 0x20 || *p >= 0x7f || *p == '\\')
            return false;
    // A scheme ("http:", "javascript:") comes before any '/', '?' or '#'.
    size_t head = strcspn(target, "/?#");
    return memchr(target, ':', head) == nullptr;
}

namespace {

enum UrlKind { URL_RELATIVE, URL_ABSOLUTE, URL_BAD };

// The host (and port) an absolute URL names, without user information, and where its path
// begins. A URL with neither scheme nor "//" is relative; a scheme without a host ("null",
// "about:blank") names no host of ours.
UrlKind url_host(const char *url, char *host, size_t size, const char **path)
{
    const char *p = url;
    while (isalnum((unsigned char)*p) || *p == '+' || *p == '-' || *p == '.')
        p++;
    bool scheme = p > url && *p == ':';
    if (scheme)
        p++;
    else
        p = url;
    if (p[0] != '/' || p[1] != '/')
        return scheme || strcmp(url, "null") == 0 ? URL_BAD : URL_RELATIVE;
    p += 2;
    size_t n = strcspn(p, "/?#\\");
    *path = p + n;
    for (size_t i = n; i > 0; i--)
        if (p[i - 1] == '@') {
            p += i;
            n -= i;
            break;
        }
    if (n == 0 || n >= size)
        return URL_BAD;
    memcpy(host, p, n);
    host[n] = 0;
    // Port 80 may be written or left out.
    if (n > 3 && strcmp(host + n - 3, ":80") == 0)
        host[n - 3] = 0;
    return URL_ABSOLUTE;
}

// Whether an absolute URL names the host this request was sent to (its Host header).
bool url_is_ours(MHD_Connection *c, const char *url, const char **path)
{
    char host[256], ours[256];
    if (url_host(url, host, sizeof host, path) != URL_ABSOLUTE)
        return false;
    const char *h = MHD_lookup_connection_value(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_HOST);
    if (!h || !*h)
        return false;
    size_t n = strlen(h);
    if (n >= sizeof ours)
        return false;
    memcpy(ours, h, n + 1);
    if (n > 3 && strcmp(ours + n - 3, ":80") == 0)
        ours[n - 3] = 0;
    return strcasecmp(host, ours) == 0;
}

} // namespace

bool guard_return_target(MHD_Connection *c, const char *wanted, const char *fallback, char *out, size_t size)
{
    const char *t = guard_local_target(wanted) ? wanted : nullptr;
    if (!t) {
        const char *referer = MHD_lookup_connection_value(c, MHD_HEADER_KIND, "Referer");
        char host[256];
        const char *path = nullptr;
        if (referer) {
            UrlKind kind = url_host(referer, host, sizeof host, &path);
            if (kind == URL_RELATIVE)
                t = referer;
            else if (kind == URL_ABSOLUTE && url_is_ours(c, referer, &path))
                t = *path == '/' ? path : "/";
        }
        if (t && !guard_local_target(t))
            t = nullptr;
    }
    if (!t)
        t = fallback;
    if (!t)
        return false;
    snprintf(out, size, "%s", t);
    return true;
}

const char *guard_cross_site(MHD_Connection *c)
{
    static const char *const headers[] = {"Origin", "Referer"};
    for (const char *name : headers) {
        const char *v = MHD_lookup_connection_value(c, MHD_HEADER_KIND, name);
        if (!v)
            continue;
        char host[256];
        const char *path = nullptr;
        // A Referer that is a bare path names no host; an Origin always names one ("null" too).
        if (strcmp(name, "Referer") == 0 && url_host(v, host, sizeof host, &path) == URL_RELATIVE)
            continue;
        if (!url_is_ours(c, v, &path))
            return name;
    }
    return nullptr;
}

MHD_Result guard_answer_cross_site(MHD_Connection *connection, const char *url, const char *header)
{
    log_printf("%s: POST to %s from another site (%s: %s) refused\n", "answer_to_connection", log_text(url).text, header,
               log_text(MHD_lookup_connection_value(connection, MHD_HEADER_KIND, header)).text);
    static const char body[] = "Cross-site request refused\n";
    return http_text(connection, MHD_HTTP_FORBIDDEN, "text/plain", body, sizeof body - 1);
}

// --- what a GET may read -------------------------------------------------------------------------

bool guard_logs_refused(HttpRequest *req, MHD_Result *answer)
{
    if (req->level >= WEB_LEVEL_ADMIN)
        return false;
    *answer = queue_auth_fail(req->connection, 0);
    return true;
}

bool guard_view_refused(HttpRequest *req, MHD_Result *answer)
{
    if (req->level != WEB_LEVEL_NONE)
        return false;
    *answer = queue_auth_fail(req->connection, 0);
    return true;
}

// --- what a POST may change -----------------------------------------------------------------------

bool guard_update_refused(MHD_Connection *connection, const char *url, MHD_Result *answer)
{
    if (!firmware_upload_active())
        return false;
    log_printf("%s: POST to %s refused during a firmware update\n", "answer_to_connection", log_text(url).text);
    static const char body[] = "POST not allowed during firmware update\n";
    MHD_Response *r = MHD_create_response_from_buffer(sizeof body - 1, (void *)body, MHD_RESPMEM_PERSISTENT);
    if (!r) {
        *answer = MHD_NO;
        return true;
    }
    http_no_cache(r);
    http_add_header(r, "Location", "/admin_update_status.htm");
    *answer = http_queue(connection, MHD_HTTP_SEE_OTHER, r);
    return true;
}

bool guard_open_device_only(const UrlEntry *entry, const char *user)
{
    return !user && strcmp(entry->name, "auth_controls") == 0 && !auth_device_open();
}

bool guard_post_may_change(const UrlEntry *entry, const PostContext *ctx, bool settings)
{
    if (entry->post_level)
        return auth_write_allowed(ctx->level, entry->post_level);
    if (settings && !guard_level_writes_any(entry->arg, ctx->level))
        return false;
    // A guest's empty body changes nothing either, once there is an Admin to log in as.
    return ctx->user || !guard_empty_body(ctx->connection) || auth_device_open();
}

bool guard_level_writes_any(const char *prefix, int level)
{
    const ParamAccess *access = param_access();
    if (!access || !access->row_name)
        return true;
    size_t n = prefix ? strlen(prefix) : 0;
    for (int i = 0; const char *name = access->row_name(i); i++)
        if (strncmp(name, prefix ? prefix : "", n) == 0 && param_access_write_allowed(name, level) > 0)
            return true;
    return false;
}

bool guard_empty_body(MHD_Connection *c)
{
    const char *length = MHD_lookup_connection_value(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
    return length && strcmp(length, "0") == 0;
}

// --- uploads -------------------------------------------------------------------------------------

bool guard_may_upload(const PostContext *ctx)
{
    return ctx->level == WEB_LEVEL_ADMIN;
}

uint64_t guard_length_over(const char *length, uint64_t max_body)
{
    char *end = nullptr;
    unsigned long long declared = length ? strtoull(length, &end, 10) : 0;
    return length && end != length && declared > max_body ? declared : 0;
}

bool guard_upload_refused(PostContext *ctx, uint64_t max_body, const char *too_large)
{
    if (!guard_may_upload(ctx)) {
        if (!ctx->user)
            ctx->denied = 1;   // not logged in: the challenge, so the client can log in and post again
        log_printf("Warning: user %s does not have permission to post %s\n",
                   ctx->user ? log_text(ctx->user).text : "guest", ctx->entry->name);
        ctx->answer_early = 1;
        return true;
    }
    const char *length = MHD_lookup_connection_value(ctx->connection, MHD_HEADER_KIND,
                                                     MHD_HTTP_HEADER_CONTENT_LENGTH);
    if (uint64_t declared = guard_length_over(length, max_body)) {
        log_printf("%s: body of %llu bytes refused, at most %llu taken\n", ctx->entry->name,
                   (unsigned long long)declared, (unsigned long long)max_body);
        ctx->refusal = MHD_HTTP_CONTENT_TOO_LARGE;
        ctx->refusal_text = too_large;
        ctx->answer_early = 1;
        return true;
    }
    return false;
}

// --- connections: deadlines and per-address limits ------------------------------------------------

namespace {

// Idle connections and requests that trickle in would otherwise hold every slot: one address
// may keep only a share of them, a connection with nothing to do is closed after the idle limit,
// and a request must arrive whole within the request limit of its first byte. An answer being
// sent (a stream a client plays) is never cut here; the library's idle limit counts from the
// last byte that went out.
GuardLimits limits = {GUARD_IDLE_SECONDS, GUARD_REQUEST_SECONDS, GUARD_PER_ADDRESS, GUARD_CONNECTIONS, 0};

enum TrackPhase { TRACK_WAITING, TRACK_BODY, TRACK_ANSWERING };

struct ConnTrack {
    MHD_Connection *connection;
    int fd;
    uint32_t addr;              // the client's IPv4 address, network order; 0 for another family
    int phase;
    bool stream;                // its answer reads a stream
    bool upload;                // the body's deadline grows with what it delivered
    bool cut;
    uint64_t body_bytes;
    int64_t since_ms;           // opened, or the previous answer done
    int64_t first_ms;           // first byte of the request seen (0: not yet)
};

// Touched by the server's thread (notifications, handler) and the sweep on the httpd thread.
pthread_mutex_t track_mutex = PTHREAD_MUTEX_INITIALIZER;
std::vector<ConnTrack *> tracks;
EvictState evict_state;         // under track_mutex

ConnTrack *track_of(MHD_Connection *connection)
{
    const MHD_ConnectionInfo *info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    return info ? static_cast<ConnTrack *>(info->socket_context) : nullptr;
}

// Uploads may take long on a slow link, but only while they keep coming.
bool is_upload(const char *url)
{
    const char *path = url[0] == '/' ? url + 1 : url;
    return strcmp(path, "firmware") == 0 || strcmp(path, "customzip") == 0;
}

// When data last came in on the socket, on the monotonic clock; 0 when the kernel can't say.
int64_t last_data_ms(int fd, int64_t now)
{
    tcp_info ti = {};
    socklen_t len = sizeof ti;
    if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &ti, &len) != 0 ||
        len < offsetof(tcp_info, tcpi_last_data_recv) + sizeof ti.tcpi_last_data_recv)
        return 0;
    return now - (int64_t)ti.tcpi_last_data_recv;
}

} // namespace

void guard_notify_connection(void *cls, MHD_Connection *connection, void **socket_context,
                             MHD_ConnectionNotificationCode code)
{
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
        const MHD_ConnectionInfo *info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        ConnTrack *t = static_cast<ConnTrack *>(calloc(1, sizeof(ConnTrack)));
        if (!t || !info) {
            free(t);
            return;
        }
        t->connection = connection;
        t->fd = info->connect_fd;
        const MHD_ConnectionInfo *client = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
        if (client && client->client_addr && client->client_addr->sa_family == AF_INET)
            t->addr = reinterpret_cast<const sockaddr_in *>(client->client_addr)->sin_addr.s_addr;
        t->since_ms = monotonic_ms();
        // Each connection's idle limit lies in the second half of the server's: a crowd dialled at
        // once would otherwise time out at once and dial again, and for as long as the eviction
        // rule's idle age every place would be held by a connection too young to give way.
        static unsigned opened;
        unsigned spread = limits.idle_seconds / 2;
        opened++;
        if (spread)
            MHD_set_connection_option(connection, MHD_CONNECTION_OPTION_TIMEOUT,
                                      limits.idle_seconds - (opened * 7u) % (spread + 1));
        pthread_mutex_lock(&track_mutex);
        tracks.push_back(t);
        pthread_mutex_unlock(&track_mutex);
        *socket_context = t;
    } else if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
        // Called before the library closes the socket, so the sweep never touches a reused fd.
        ConnTrack *t = static_cast<ConnTrack *>(*socket_context);
        if (!t)
            return;
        pthread_mutex_lock(&track_mutex);
        tracks.erase(std::remove(tracks.begin(), tracks.end(), t), tracks.end());
        pthread_mutex_unlock(&track_mutex);
        free(t);
        *socket_context = nullptr;
    }
}

void guard_track_request(MHD_Connection *connection, const char *url, const char *method, size_t upload_size)
{
    if (ConnTrack *t = track_of(connection)) {
        pthread_mutex_lock(&track_mutex);
        if (t->phase == TRACK_WAITING) {
            // The header is whole.
            bool post = strcmp(method, MHD_HTTP_METHOD_POST) == 0;
            if (!t->first_ms)
                t->first_ms = monotonic_ms();
            t->phase = post ? TRACK_BODY : TRACK_ANSWERING;
            t->upload = post && is_upload(url);
            t->body_bytes = 0;
        } else if (t->phase == TRACK_BODY && upload_size == 0) {
            t->phase = TRACK_ANSWERING;
        } else if (t->phase == TRACK_BODY) {
            t->body_bytes += upload_size;
        }
        pthread_mutex_unlock(&track_mutex);
    }
}

void guard_request_done(MHD_Connection *connection)
{
    ConnTrack *t = track_of(connection);
    if (!t)
        return;
    pthread_mutex_lock(&track_mutex);
    t->phase = TRACK_WAITING;
    t->stream = false;
    t->since_ms = monotonic_ms();
    t->first_ms = 0;
    pthread_mutex_unlock(&track_mutex);
}

namespace {

// Lines about newcomers at most once a second; what was held back meanwhile is counted on the next.
RateGate evict_log, refuse_log, stream_log;   // under track_mutex

std::string address_text(uint32_t addr)
{
    char text[INET_ADDRSTRLEN] = "?";
    in_addr a = {addr};
    inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

} // namespace

MHD_Result guard_accept(void *, const struct sockaddr *addr, socklen_t addrlen)
{
    uint32_t from = addr && addrlen >= sizeof(sockaddr_in) && addr->sa_family == AF_INET
                        ? reinterpret_cast<const sockaddr_in *>(addr)->sin_addr.s_addr
                        : 0;
    char more[64];
    pthread_mutex_lock(&track_mutex);
    unsigned open = 0, from_peer = 0;
    for (const ConnTrack *t : tracks) {
        open += !t->cut;
        from_peer += !t->cut && t->addr == from;
    }
    bool own = from_peer >= limits.per_address;
    if (!own && open < limits.connections) {
        pthread_mutex_unlock(&track_mutex);
        return MHD_YES;
    }
    std::vector<EvictEntry> entries;
    std::vector<EvictEntry *> list;
    entries.reserve(tracks.size());
    int64_t now_us = monotonic_ms() * 1000;
    for (const ConnTrack *t : tracks) {
        // A request head arriving: known from the sweep, or from bytes since the sweep last looked.
        int64_t head_ms = 0;
        if (t->phase == TRACK_WAITING) {
            int64_t at = t->first_ms ? t->first_ms : last_data_ms(t->fd, now_us / 1000);
            head_ms = at > t->since_ms + 50 || t->first_ms ? at : 0;
        }
        entries.push_back({t->addr, t->fd, t->since_ms * 1000, t->phase != TRACK_WAITING, false, t->cut, nullptr,
                           head_ms * 1000});
    }
    for (EvictEntry &e : entries)
        list.push_back(&e);
    int chosen = own ? evict_choose_own(list.data(), list.size(), from, now_us)
                     : evict_choose(&evict_state, list.data(), list.size(), from, now_us);
    ConnTrack *victim = chosen >= 0 ? tracks[(size_t)chosen] : nullptr;
    if (victim) {
        // The library sees the end of the connection and closes it on its own thread.
        shutdown(victim->fd, SHUT_RDWR);
        victim->cut = true;
        if (rate_gate_line(&evict_log, 1000, more, sizeof more))
            log_printf("%s: connection from %s %s for %lld s closed for a connection from %s%s\n", "httpd",
                       address_text(victim->addr).c_str(),
                       entries[(size_t)chosen].arriving_since_us ? "sending its request slowly" : "idle",
                       (long long)evict_idle_age(list[(size_t)chosen], now_us) / 1000000,
                       address_text(from).c_str(), more);
    } else if (rate_gate_line(&refuse_log, 1000, more, sizeof more)) {
        log_printf("%s: connection from %s refused: %u connections %s%s\n", "httpd", address_text(from).c_str(),
                   own ? limits.per_address : limits.connections, own ? "from that address" : "open", more);
    }
    pthread_mutex_unlock(&track_mutex);
    return victim ? MHD_YES : MHD_NO;
}

bool guard_stream_admit(MHD_Connection *connection)
{
    ConnTrack *t = track_of(connection);
    if (!t)
        return true;
    char more[64];
    pthread_mutex_lock(&track_mutex);
    unsigned readers = 0;
    for (const ConnTrack *o : tracks)
        readers += o->stream && !o->cut && o != t;
    unsigned room = limits.connections - limits.connections / 8;
    bool admit = t->stream || readers < room;
    if (admit)
        t->stream = true;
    else if (rate_gate_line(&stream_log, 1000, more, sizeof more))
        log_printf("%s: stream for %s refused: %u connections read streams, the rest stay for pages%s\n", "httpd",
                   address_text(t->addr).c_str(), readers, more);
    pthread_mutex_unlock(&track_mutex);
    return admit;
}


void guard_set_limits(const GuardLimits *l)
{
    limits = l ? *l : GuardLimits{GUARD_IDLE_SECONDS, GUARD_REQUEST_SECONDS, GUARD_PER_ADDRESS, GUARD_CONNECTIONS, 0};
    pthread_mutex_lock(&track_mutex);
    evict_init(&evict_state, (int)limits.evict_idle_ms);
    pthread_mutex_unlock(&track_mutex);
}

const GuardLimits *guard_limits()
{
    return &limits;
}

int guard_sweep()
{
    int cut = 0, slow_uploads = 0;
    int64_t now = monotonic_ms(), limit = (int64_t)limits.request_seconds * 1000;
    pthread_mutex_lock(&track_mutex);
    unsigned open = 0;
    for (const ConnTrack *t : tracks)
        open += !t->cut;
    bool keep_heads = evict_keep_late(open, limits.connections);
    for (ConnTrack *t : tracks) {
        if (t->phase == TRACK_ANSWERING || t->cut)
            continue;
        if (t->phase == TRACK_WAITING && !t->first_ms) {
            // Bytes since the connection opened or the last answer: a request has begun. The
            // sweep runs about once a second, so its start is known to about a second.
            // The kernel keeps that time in clock ticks: a margin keeps the connection's own
            // handshake from counting.
            int64_t at = last_data_ms(t->fd, now);
            if (at > t->since_ms + 50)
                t->first_ms = at;
            continue;
        }
        if (t->phase == TRACK_WAITING && keep_heads)
            continue;
        bool upload = t->phase == TRACK_BODY && t->upload;
        int64_t allowed = limit + (upload ? (int64_t)(t->body_bytes * 1000 / GUARD_UPLOAD_RATE) : 0);
        if (now - t->first_ms < allowed)
            continue;
        // The library sees the end of the connection and closes it on its own thread.
        shutdown(t->fd, SHUT_RDWR);
        t->cut = true;
        if (upload)
            slow_uploads++;
        else
            cut++;
    }
    pthread_mutex_unlock(&track_mutex);
    if (cut)
        log_printf("%s: closed %d connection(s) whose request was not whole within %u s\n", "httpd", cut,
                   limits.request_seconds);
    if (slow_uploads)
        log_printf("%s: closed %d upload(s) slower than %u bytes/s\n", "httpd", slow_uploads,
                   (unsigned)GUARD_UPLOAD_RATE);
    return cut + slow_uploads;
}

int guard_connection_count()
{
    pthread_mutex_lock(&track_mutex);
    int n = (int)tracks.size();
    pthread_mutex_unlock(&track_mutex);
    return n;
}

namespace {

// One kind of record: a user's LOGIN or LOGOUT, or a kind of record without a user; what of it
// is held back and when that count is due in flash.
struct RecordSlot {
    bool used;
    char user[21];              // "" without a user
    uint32_t category, event;
    bool written;               // a record of the kind went to flash at written_ms
    int64_t written_ms;
    int64_t used_ms;            // last asked for: the slot longest unused gives way
    uint32_t held;
    int64_t due_ms;             // when the count of the held goes to flash
};

pthread_mutex_t budget_mutex = PTHREAD_MUTEX_INITIALIZER;
int64_t anon_times[GUARD_ANON_RECORDS];   // the last records without a user, oldest first
int anon_written;
RecordSlot slots[GUARD_RECORD_SLOTS];
int64_t clear_times[GUARD_CLEARS];        // the last clears that erased, oldest first
int clears;

void slot_flush(RecordSlot *s)
{
    if (!s->held)
        return;
    // Kept for the next tick when the write fails: the count is not lost.
    if (access_log_add_held(s->category, s->user, s->event, s->held) == 0)
        s->held = 0;
}

RecordSlot *slot_of(const char *user, uint32_t category, uint32_t event, int64_t now_ms)
{
    RecordSlot *spare = &slots[0];
    for (RecordSlot &s : slots) {
        if (s.used && s.category == category && s.event == event && strncmp(s.user, user, 20) == 0) {
            s.used_ms = now_ms;
            return &s;
        }
        if (spare->used && (!s.used || s.used_ms < spare->used_ms))
            spare = &s;
    }
    // The slot giving way takes its count to flash first.
    if (spare->used)
        slot_flush(spare);
    memset(spare, 0, sizeof *spare);
    spare->used = true;
    snprintf(spare->user, sizeof spare->user, "%.20s", user);
    spare->category = category;
    spare->event = event;
    spare->used_ms = now_ms;
    return spare;
}

void slot_hold(RecordSlot *s, int64_t due_ms)
{
    if (s->held++ == 0) {
        s->due_ms = due_ms;
        log_printf("%s: records of %s%s come too fast; counted until the minute is over\n", "access_log",
                   s->user[0] ? "user " : "clients without a user", s->user);
    }
}

// True when a record without a user may go to flash now.
bool anon_take(int64_t now_ms)
{
    if (anon_written == GUARD_ANON_RECORDS && now_ms - anon_times[0] < GUARD_ANON_PERIOD_MS)
        return false;
    if (anon_written == GUARD_ANON_RECORDS)
        memmove(anon_times, anon_times + 1, sizeof anon_times[0] * (GUARD_ANON_RECORDS - 1));
    else
        anon_written++;
    anon_times[anon_written - 1] = now_ms;
    return true;
}

} // namespace

int guard_access_log_add_at(int64_t now_ms, uint32_t category, const char *user, uint32_t event)
{
    bool named = user && *user;
    pthread_mutex_lock(&budget_mutex);
    int rc = 0;
    if (!named) {
        if (anon_take(now_ms))
            rc = access_log_add(category, user, event);
        else
            slot_hold(slot_of("", category, event, now_ms), now_ms + GUARD_ANON_PERIOD_MS);
    } else if (event != ACCESS_EVENT_LOGIN && event != ACCESS_EVENT_LOGOUT) {
        // Something that changed the device: never held back.
        rc = access_log_add(category, user, event);
    } else {
        RecordSlot *s = slot_of(user, category, event, now_ms);
        if (s->written && now_ms - s->written_ms < GUARD_REPEAT_PERIOD_MS) {
            slot_hold(s, s->written_ms + GUARD_REPEAT_PERIOD_MS);
        } else {
            slot_flush(s);
            rc = access_log_add(category, user, event);
            s->written = true;
            s->written_ms = now_ms;
        }
    }
    pthread_mutex_unlock(&budget_mutex);
    return rc;
}

int guard_access_log_add(uint32_t category, const char *user, uint32_t event)
{
    return guard_access_log_add_at(monotonic_ms(), category, user, event);
}

void guard_access_log_tick_at(int64_t now_ms)
{
    pthread_mutex_lock(&budget_mutex);
    for (RecordSlot &s : slots)
        if (s.used && s.held && now_ms >= s.due_ms)
            slot_flush(&s);
    pthread_mutex_unlock(&budget_mutex);
}

void guard_access_log_tick()
{
    guard_access_log_tick_at(monotonic_ms());
}

void guard_access_log_flush()
{
    pthread_mutex_lock(&budget_mutex);
    for (RecordSlot &s : slots)
        if (s.used)
            slot_flush(&s);
    pthread_mutex_unlock(&budget_mutex);
}

int guard_access_log_clear_at(int64_t now_ms, int *wait_min)
{
    // A blank log needs no erase and costs nothing.
    if (access_log_empty())
        return 0;
    pthread_mutex_lock(&budget_mutex);
    if (clears == GUARD_CLEARS && now_ms - clear_times[0] < GUARD_CLEAR_PERIOD_MS) {
        if (wait_min)
            *wait_min = (int)((clear_times[0] + GUARD_CLEAR_PERIOD_MS - now_ms + 59999) / 60000);
        pthread_mutex_unlock(&budget_mutex);
        return 1;
    }
    if (clears == GUARD_CLEARS)
        memmove(clear_times, clear_times + 1, sizeof clear_times[0] * (GUARD_CLEARS - 1));
    else
        clears++;
    clear_times[clears - 1] = now_ms;
    pthread_mutex_unlock(&budget_mutex);
    return access_log_clear();
}

int guard_access_log_clear(int *wait_min)
{
    return guard_access_log_clear_at(monotonic_ms(), wait_min);
}

void guard_reset()
{
    pthread_mutex_lock(&budget_mutex);
    anon_written = 0;
    memset(anon_times, 0, sizeof anon_times);
    memset(slots, 0, sizeof slots);
    clears = 0;
    memset(clear_times, 0, sizeof clear_times);
    pthread_mutex_unlock(&budget_mutex);
}
