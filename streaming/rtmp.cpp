// RTMP listener on port 1935 and its session threads: one detached thread per player, the
// handshake with its digests, then media and commands until the player leaves or we quit.
#include "streaming/rtmp.h"

#include "core/evict.h"
#include "core/log.h"
#include "core/util.h"
#include "core/param.h"
#include "core/quit.h"
#include "core/sha256.h"
#include "core/soc.h"
#include "core/threads.h"
#include "streams/ringbuffer.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>
#include <vector>

#ifndef SO_ORIGINAL_DST
#define SO_ORIGINAL_DST 80
#endif

ParamBlock *rtmp_params;

// The key players sign C1 with, and the one we sign S1 with; the last 32 bytes of the server
// key take part only in the key of S2. These are the values players check against.
const uint8_t rtmp_client_key[30] = {'G', 'e', 'n', 'u', 'i', 'n', 'e', ' ', 'A', 'd', 'o', 'b', 'e', ' ', 'F',
                                     'l', 'a', 's', 'h', ' ', 'P', 'l', 'a', 'y', 'e', 'r', ' ', '0', '0', '1'};
const uint8_t rtmp_server_key[68] = {
    'G',  'e',  'n',  'u',  'i',  'n',  'e',  ' ',  'A',  'd',  'o',  'b',  'e',  ' ',  'F',  'l',  'a',
    's',  'h',  ' ',  'M',  'e',  'd',  'i',  'a',  ' ',  'S',  'e',  'r',  'v',  'e',  'r',  ' ',  '0',
    '0',  '1',  0xF0, 0xEE, 0xC2, 0x4A, 0x80, 0x68, 0xBE, 0xE8, 0x2E, 0x00, 0xD0, 0xD1, 0x02, 0x9E, 0x7E,
    0x57, 0x6E, 0xEC, 0x5D, 0x2D, 0x29, 0x80, 0x6F, 0xAB, 0x93, 0xB8, 0xE6, 0x36, 0xCF, 0xEB, 0x31, 0xAE,
};

namespace {

enum { WAIT_MS = 5000, DIGEST_AREA = 1504, RTMP_BACKLOG = 64, ACCEPT_BACKOFF_MS = 50, ACCEPT_BACKOFF_MAX_MS = 1000 };
// Sessions put out for newcomers whose threads have not ended yet: beyond this many the total
// holds as a hard limit, so a flood of newcomers cannot pile up threads.
enum { EVICTED_SLACK = 16 };

const RtmpLimits DEFAULT_LIMITS = {RTMP_SESSIONS, RTMP_SESSIONS_PER_ADDRESS, RTMP_IDLE_SECONDS, RTMP_SEND_SECONDS};
RtmpLimits limits = DEFAULT_LIMITS;

// A line at most once a second; what was held back meanwhile is counted on the next one.
enum { GATE_PERIOD_MS = 1000 };

// The live sessions with their client addresses: the limits count them, a newcomer may take an
// idle one's place, and a quit can cut a session out of a blocked send.
struct SessionEntry {
    int sock;
    EvictEntry ev;                    // gone: shut down for a newcomer, its thread still ending
    EvictFlow flow;                   // the player's media: offered by its stream, taken by its socket
};
std::mutex session_mutex;
std::vector<SessionEntry> sessions;
EvictState evict_state;               // under session_mutex
RateGate refusal_gate;                // under session_mutex
RateGate evict_gate;                  // under session_mutex

// Only the listener thread (or a test standing in for it) accepts.
RateGate accept_gate;
int accept_backoff_ms;

struct SessionArg {
    int sock;
};

void session_remove_and_close(int sock)
{
    std::lock_guard<std::mutex> l(session_mutex);
    sessions.erase(std::remove_if(sessions.begin(), sessions.end(), [sock](const SessionEntry &e) { return e.sock == sock; }),
                   sessions.end());
    close(sock);
}

void session_shutdown_all()
{
    std::lock_guard<std::mutex> l(session_mutex);
    for (const SessionEntry &e : sessions)
        shutdown(e.sock, SHUT_RDWR);
}

// The session began or stopped playing: what a newcomer may take the place of.
void session_mark_playing(int sock, bool playing)
{
    std::lock_guard<std::mutex> l(session_mutex);
    for (SessionEntry &e : sessions)
        if (e.sock == sock) {
            e.ev.playing = playing;
            e.ev.active_us = monotonic_ms() * 1000;
            evict_flow_reset(&e.flow);
        }
}

// The handshake began (its first byte came) or is whole: a slow one gives way to a newcomer.
void session_mark_head(int sock, bool arriving)
{
    std::lock_guard<std::mutex> l(session_mutex);
    for (SessionEntry &e : sessions)
        if (e.sock == sock)
            e.ev.arriving_since_us = arriving ? monotonic_ms() * 1000 : 0;
}

// What the playing session's stream offered and what its socket took, in running totals.
void session_note_flow(int sock, uint64_t offered, uint64_t taken)
{
    std::lock_guard<std::mutex> l(session_mutex);
    for (SessionEntry &e : sessions)
        if (e.sock == sock)
            evict_flow_note(&e.flow, offered, taken, monotonic_ms() * 1000);
}

// A full server makes room for a connection from `addr` by the one eviction rule; the chosen
// session is shut down and its thread sees the end and leaves. Caller holds session_mutex.
const SessionEntry *session_evict_for(uint32_t addr, int64_t *idle_us)
{
    std::vector<EvictEntry *> list;
    list.reserve(sessions.size());
    for (SessionEntry &e : sessions) {
        e.ev.flow = &e.flow;
        list.push_back(&e.ev);
    }
    int i = evict_choose(&evict_state, list.data(), list.size(), addr, monotonic_ms() * 1000);
    if (i < 0)
        return nullptr;
    SessionEntry *victim = &sessions[(size_t)i];
    *idle_us = evict_idle_age(&victim->ev, monotonic_ms() * 1000);   // before it is gone
    victim->ev.gone = true;
    shutdown(victim->sock, SHUT_RDWR);
    return victim;
}

// 1 readable (or closed), 0 nothing within ms, -1 failure or quit.
int rtmp_wait_readable(int sock, int ms)
{
    while (ms > 0) {
        if (quit_requested())
            return -1;
        int slice = ms < 1000 ? ms : 1000;
        struct pollfd p = {sock, POLLIN, 0};
        int r = poll(&p, 1, slice);
        if (r > 0)
            return 1;
        if (r < 0 && errno != EINTR)
            return -1;
        ms -= slice;
    }
    return 0;
}

// Milliseconds the session may still spend without playing; 0 when its time is up. While the
// server is crowded one past its time waits on as any other does, for a newcomer to take it.
int idle_left_ms(const RtmpConnection *c)
{
    int64_t left = c->idle_since_ms + (int64_t)limits.idle_seconds * 1000 - monotonic_ms();
    if (left <= 0)
        return evict_keep_late((unsigned)rtmp_session_count(), limits.sessions) ? WAIT_MS : 0;
    return left > WAIT_MS ? WAIT_MS : (int)left;
}

uint32_t digest_offset(const uint8_t *b, int at, uint32_t base)
{
    return (uint32_t)(b[at] + b[at + 1] + b[at + 2] + b[at + 3]) % 728 + base;
}

// HMAC of the 1536-byte packet without the 32 bytes at `offset`.
void packet_digest(const uint8_t *packet, uint32_t offset, const uint8_t *key, size_t key_len, uint8_t *out)
{
    uint8_t work[DIGEST_AREA];
    memcpy(work, packet, offset);
    memcpy(work + offset, packet + offset + 32, RTMP_HANDSHAKE_SIZE - offset - 32);
    hmac_sha256(work, sizeof work, out, key, key_len);
}

bool digest_matches(const uint8_t *c1, uint32_t offset)
{
    uint8_t d[32];
    packet_digest(c1, offset, rtmp_client_key, sizeof rtmp_client_key, d);
    return memcmp(d, c1 + offset, 32) == 0;
}

void address_text(const struct sockaddr_in *a, char *out, size_t size)
{
    char ip[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &a->sin_addr, ip, sizeof ip);
    snprintf(out, size, "%s:%u", ip, (unsigned)ntohs(a->sin_port));
}

void peer_text(int sock, char *out, size_t size)
{
    struct sockaddr_in a = {};
    socklen_t len = sizeof a;
    if (getpeername(sock, (struct sockaddr *)&a, &len) == 0 && a.sin_family == AF_INET)
        address_text(&a, out, size);
    else
        snprintf(out, size, "?");
}

void *serverThread(void *arg)
{
    int sock = static_cast<SessionArg *>(arg)->sock;
    free(arg);
    // RTMP brings no credentials: all a session logs is charged to clients without them.
    log_origin_swap(log_origin_client(nullptr, false));
    log_printf("%s: started\n", "serverThread");
    pthread_setname_np(pthread_self(), "rtmpSession");   // per-thread CPU figures (top -H, bench)
    RtmpConnection *c = static_cast<RtmpConnection *>(malloc(sizeof(RtmpConnection)));
    if (c) {
        rtmp_connection_init(c, sock);
        rtmp_session_run(c);
        rtmp_connection_free(c);
        free(c);
    }
    session_remove_and_close(sock);
    log_printf("%s: exiting\n", "serverThread");
    return nullptr;
}

} // namespace

void rtmp_connection_init(RtmpConnection *c, int sock)
{
    memset(c, 0, sizeof *c);
    c->sock = sock;
    c->out_chunk_size = RTMP_OUT_CHUNK_SIZE;
    c->in_chunk_size = RTMP_OUT_CHUNK_SIZE;
    c->stream_id = 1;
    c->chunk_slot = -1;
    c->idle_since_ms = monotonic_ms();
    rtmp_timestamp_reset(c, hw_clock_90khz());
    c->out_video.id = RTMP_CS_VIDEO;
    c->out_video.type = RTMP_MSG_VIDEO;
    c->out_video.stream_id = 1;
    c->out_audio.id = RTMP_CS_AUDIO;
    c->out_audio.type = RTMP_MSG_AUDIO;
    c->out_audio.stream_id = 1;
}

void rtmp_connection_free(RtmpConnection *c)
{
    rtmp_media_detach(c);
    rtmp_share_free(c);
    for (RtmpChunkStream &cs : c->cs) {
        free(cs.buffer);
        cs.buffer = nullptr;
        cs.assembled = 0;
    }
    free(c->out);
    free(c->body);
    c->out = c->body = nullptr;
    c->out_size = c->body_size = 0;
}

int rtmp_recv_exact(RtmpConnection *c, uint8_t *buf, size_t n)
{
    size_t got = 0;
    while (got < n) {
        // A peer sending a byte now and then must not hold the session past the idle limit.
        int w = rtmp_wait_readable(c->sock, idle_left_ms(c));
        if (w <= 0) {
            log_printf("select: %s\n", w == 0 ? "timed out" : "failed");
            return -1;
        }
        ssize_t r = recv(c->sock, buf + got, n - got, 0);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return -1;
        got += (size_t)r;
    }
    return (int)n;
}

int rtmp_handshake(RtmpConnection *c)
{
    uint8_t s[1 + 2 * RTMP_HANDSHAKE_SIZE];
    uint8_t c0, c1[RTMP_HANDSHAKE_SIZE], c2[RTMP_HANDSHAKE_SIZE];
    uint8_t *s1 = s + 1, *s2 = s + 1 + RTMP_HANDSHAKE_SIZE;
    s[0] = 3;
    memset(s1, 0, 8);
    for (uint32_t i = 8; i < RTMP_HANDSHAKE_SIZE; i++)
        s1[i] = (uint8_t)rand();

    if (rtmp_recv_exact(c, &c0, 1) < 0)
        return -1;
    session_mark_head(c->sock, true);
    if (rtmp_recv_exact(c, c1, sizeof c1) < 0)
        return -1;
    uint32_t off_a = digest_offset(c1, 772, 776), off_b = digest_offset(c1, 8, 12);
    bool layout_a = digest_matches(c1, off_a);
    bool layout_b = !layout_a && digest_matches(c1, off_b);
    uint32_t client_off = layout_a ? off_a : off_b;

    uint32_t server_off = layout_b ? digest_offset(s1, 8, 12) : digest_offset(s1, 772, 776);
    uint8_t digest[32];
    packet_digest(s1, server_off, rtmp_server_key, 36, digest);
    memcpy(s1 + server_off, digest, 32);

    for (uint32_t i = 0; i < DIGEST_AREA; i++)
        s2[i] = (uint8_t)rand();
    uint8_t key[32];
    hmac_sha256(c1 + client_off, 32, key, rtmp_server_key, sizeof rtmp_server_key);
    hmac_sha256(s2, DIGEST_AREA, s2 + DIGEST_AREA, key, sizeof key);

    if (rtmp_send_all(c->sock, s, sizeof s) < 0)
        return -1;
    if (rtmp_recv_exact(c, c2, sizeof c2) < 0)
        return -1;
    if (memcmp(c2 + 8, s1 + 8, RTMP_HANDSHAKE_SIZE - 8) != 0)
        return -3;
    return 0;
}

void rtmp_session_run(RtmpConnection *c)
{
    // A player that stops reading fails our send instead of holding the thread for ever.
    struct timeval tv = {10, 0};
    setsockopt(c->sock, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    int rc = rtmp_handshake(c);
    session_mark_head(c->sock, false);
    if (rc != 0) {
        log_printf("RTMP handshake error %d\n", rc);
        return;
    }
    bool listed_playing = false;
    while (!quit_requested()) {
        if ((c->playing != 0) != listed_playing) {
            listed_playing = c->playing != 0;
            session_mark_playing(c->sock, listed_playing);
        }
        if (c->playing) {
            c->idle_since_ms = monotonic_ms();
            int r = rtmp_media_step(c);
            rtmp_note_flow(c);
            if (r < 0)
                break;
            if (r == 0)
                continue;
        } else {
            rtmp_media_detach(c);
            int left = idle_left_ms(c);
            if (left == 0) {
                char from[40];
                peer_text(c->sock, from, sizeof from);
                log_printf("rtmp: session from %s closed: not playing for %u s\n", from, limits.idle_seconds);
                break;
            }
            int r = rtmp_wait_readable(c->sock, left);
            if (r == 0)
                continue;
            if (r < 0) {
                if (!quit_requested())
                    log_printf("select: %s\n", strerror(errno));
                break;
            }
        }
        ssize_t n = recv(c->sock, c->rbuf + c->held, sizeof c->rbuf - c->held, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            log_printf("recv: %s\n", strerror(errno));
        if (n <= 0)
            break;
        if (rtmp_process(c, (size_t)n) < 0)
            break;
    }
}

int rtmp_session_count()
{
    std::lock_guard<std::mutex> l(session_mutex);
    return (int)sessions.size();
}

void rtmp_set_limits(const RtmpLimits *l)
{
    limits = l ? *l : DEFAULT_LIMITS;
    std::lock_guard<std::mutex> lock(session_mutex);
    evict_init(&evict_state, (int)limits.evict_idle_ms);
}

const RtmpLimits *rtmp_limits()
{
    return &limits;
}

void rtmp_note_flow(RtmpConnection *c)
{
    // The ring's running total: frames skipped for a lagging player count as offered.
    if (c->video.streamq)
        session_note_flow(c->sock, ringbuffer_bytes(c->video.streamq), evict_socket_taken(c->sock, c->sent_bytes));
}

int rtmp_wait_writable(int sock, int64_t deadline_ms)
{
    for (;;) {
        if (quit_requested())
            return -1;
        int64_t left = deadline_ms - monotonic_ms();
        if (left <= 0)
            return 0;
        struct pollfd p = {sock, POLLOUT, 0};
        int r = poll(&p, 1, left < 1000 ? (int)left : 1000);
        if (r > 0)
            return 1;
        if (r < 0 && errno != EINTR)
            return -1;
    }
}

int rtmp_session_start(int sock, const struct sockaddr_in *peer)
{
    char from[40];
    address_text(peer, from, sizeof from);
    {
        std::lock_guard<std::mutex> l(session_mutex);
        unsigned from_peer = 0, open = 0;
        for (const SessionEntry &e : sessions) {
            open += !e.ev.gone;
            from_peer += e.ev.addr == peer->sin_addr.s_addr && !e.ev.gone;
        }
        const char *why = nullptr;
        unsigned limit = 0;
        if (from_peer >= limits.per_address) {
            why = "sessions from that address";
            limit = limits.per_address;
        } else if (open >= limits.sessions) {
            int64_t idle_us = 0;
            const SessionEntry *victim = sessions.size() < limits.sessions + EVICTED_SLACK
                                             ? session_evict_for(peer->sin_addr.s_addr, &idle_us)
                                             : nullptr;
            if (victim) {
                char more[64];
                if (rate_gate_line(&evict_gate, GATE_PERIOD_MS, more, sizeof more)) {
                    char was[INET_ADDRSTRLEN] = "?";
                    inet_ntop(AF_INET, &victim->ev.addr, was, sizeof was);
                    log_printf("rtmp: session from %s %s for %lld s closed for a connection from %s%s\n", was,
                               victim->ev.playing            ? "taking under a tenth of its stream"
                               : victim->ev.arriving_since_us ? "handshaking slowly"
                                                              : "not playing",
                               (long long)idle_us / 1000000, from, more);
                }
            } else {
                why = "sessions open";
                limit = limits.sessions;
            }
        }
        if (why) {
            char more[64];
            if (rate_gate_line(&refusal_gate, GATE_PERIOD_MS, more, sizeof more))
                log_printf("rtmp: connection from %s refused: %u %s%s\n", from, limit, why, more);
            close(sock);
            return -1;
        }
        SessionEntry e = {};
        e.sock = sock;
        e.ev = {peer->sin_addr.s_addr, sock, monotonic_ms() * 1000, false, false, false, nullptr, 0};
        sessions.push_back(e);
    }
    struct sockaddr_in dest = {};
    socklen_t dlen = sizeof dest;
    if (getsockopt(sock, SOL_IP, SO_ORIGINAL_DST, &dest, &dlen) != 0) {
        dlen = sizeof dest;   // not redirected: the address it reached us on
        getsockname(sock, (struct sockaddr *)&dest, &dlen);
    }
    char to[40];
    address_text(&dest, to, sizeof to);
    LogOrigin system = log_origin_swap(log_origin_client(nullptr, false));
    log_printf("RTMP accepted connection from %s to %s\n", from, to);
    log_origin_swap(system);

    SessionArg *arg = static_cast<SessionArg *>(malloc(sizeof(SessionArg)));
    if (!arg) {
        log_printf("Failed to allocate RTMP server\n");
        session_remove_and_close(sock);
        return -1;
    }
    arg->sock = sock;
    system = log_origin_swap(log_origin_client(nullptr, false));
    log_printf("created server %p\n", (void *)arg);
    log_origin_swap(system);
    pthread_t t;
    if (pthread_create(&t, nullptr, serverThread, arg) != 0) {
        log_printf("Failed to start RTMP server thread\n");
        free(arg);
        session_remove_and_close(sock);
        return -1;
    }
    pthread_detach(t);
    return 0;
}

namespace {

// What the gates held back is reported once a second, also when nothing new comes.
// Something held back and the second over: asking the gate while it is shut would count a line
// that was never held back.
void report_held()
{
    unsigned held;
    if (rate_gate_due(&accept_gate, GATE_PERIOD_MS) && rate_gate_open(&accept_gate, 1, GATE_PERIOD_MS, &held))
        log_printf("accept: %u more failures since the last report\n", held);
    std::lock_guard<std::mutex> l(session_mutex);
    if (rate_gate_due(&refusal_gate, GATE_PERIOD_MS) && rate_gate_open(&refusal_gate, 1, GATE_PERIOD_MS, &held))
        log_printf("rtmp: %u more connections refused since the last report\n", held);
    if (rate_gate_due(&evict_gate, GATE_PERIOD_MS) && rate_gate_open(&evict_gate, 1, GATE_PERIOD_MS, &held))
        log_printf("rtmp: %u more idle sessions closed for new connections since the last report\n", held);
}

} // namespace

void rtmp_listener_step(int ls)
{
    report_held();
    struct pollfd p = {ls, POLLIN, 0};
    if (poll(&p, 1, 1000) <= 0)
        return;
    struct sockaddr_in peer = {};
    socklen_t plen = sizeof peer;
    int s = accept4(ls, (struct sockaddr *)&peer, &plen, SOCK_CLOEXEC);
    if (s < 0) {
        // Gone before we took it, or taken already: nothing failed.
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED)
            return;
        char more[64];
        if (rate_gate_line(&accept_gate, GATE_PERIOD_MS, more, sizeof more))
            log_printf("accept: %s%s\n", strerror(errno), more);
        // Out of descriptors the connection stays queued and poll wakes at once: wait, longer each
        // time, for some to be freed.
        accept_backoff_ms = accept_backoff_ms ? std::min(2 * accept_backoff_ms, (int)ACCEPT_BACKOFF_MAX_MS)
                                              : (int)ACCEPT_BACKOFF_MS;
        struct timespec t = {accept_backoff_ms / 1000, (long)(accept_backoff_ms % 1000) * 1000000};
        nanosleep(&t, nullptr);
        return;
    }
    accept_backoff_ms = 0;
    rtmp_session_start(s, &peer);
}

void *rtmpServerThrFxn(void *arg)
{
    SenderEnv *env = static_cast<SenderEnv *>(arg);
    thread_init_begin(env->name);
    rtmp_params = env->params ? env->params : get_param_block();
    thread_init_end(env->name);
    rendezvous_meet(env->hRendezvousInit, env->name);

    int one = 1;
    struct sockaddr_in addr = {};
    // Non-blocking: a connection that goes between poll and accept must not hold the listener.
    int ls = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (ls < 0) {
        log_printf("socket: %s\n", strerror(errno));
        env->status = -1;
        myRendezvousCleanup(env->hRendezvousCleanup, env->name);
        return nullptr;
    }
    setsockopt(ls, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(RTMP_PORT);
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    const char *failed = nullptr;
    if (bind(ls, (struct sockaddr *)&addr, sizeof addr) < 0)
        failed = "bind";
    // A backlog as RTSP's: with one of 10, a crowd connecting at once had every eleventh
    // connection (a new player's too) wait a second for its SYN to be sent again.
    else if (listen(ls, RTMP_BACKLOG) < 0)
        failed = "listen";
    if (failed) {
        log_printf("%s: %s\n", failed, strerror(errno));
        env->status = -1;
        close(ls);
        myRendezvousCleanup(env->hRendezvousCleanup, env->name);
        return nullptr;
    }
    log_printf("RTMP server listening on port %u\n", (unsigned)RTMP_PORT);

    while (!quit_requested())
        rtmp_listener_step(ls);

    close(ls);
    // Sessions must be gone before the process frees what they read.
    session_shutdown_all();
    for (int i = 0; i < 100 && rtmp_session_count() > 0; i++) {
        struct timespec t = {0, 50 * 1000000};
        nanosleep(&t, nullptr);
    }
    if (rtmp_session_count() > 0)
        log_printf("%s: %d sessions still open\n", env->name, rtmp_session_count());
    myRendezvousCleanup(env->hRendezvousCleanup, env->name);
    return nullptr;
}
