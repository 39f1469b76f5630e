#include "video/netinput.h"

#include "core/log.h"
#include "core/param.h"
#include "core/quit.h"
#include "streams/stream.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#ifndef SO_ORIGINAL_DST
#define SO_ORIGINAL_DST 80
#endif

char decoder_status_text[100];

namespace {

void report(const char *what)
{
    log_printf("%s: %s\n", what, strerror(errno));
}

void set_status(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void set_status(const char *fmt, ...)
{
    char text[sizeof decoder_status_text];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    // Read by the parameter getter without a lock: never leave the text unterminated.
    memcpy(decoder_status_text, text, sizeof text);
}

// The input failed or the client went away: stream 3 goes to stopped so "Display.Status"
// reads so and the thread waits for the next start instead of spinning.
void input_failed(OutputReceiveState *rs, const char *what)
{
    report(what);
    output_close_input(rs);
    stream_set_state_by_id(OUTPUT_STREAM, STREAM_STOP);
}

// A receive round waits while the consume step decodes what came before; the socket holds what
// arrives meanwhile: two seconds at the decoder's highest bit rate (the kernel adds its own
// bookkeeping of each datagram on top).
enum { UDP_RECEIVE_BUFFER = 0xa00000 / 8 * 2 };

void size_receive_buffer(int s)
{
    int want = UDP_RECEIVE_BUFFER, got = 0;
    socklen_t len = sizeof got;
    if (setsockopt(s, SOL_SOCKET, SO_RCVBUF, &want, sizeof want) < 0)
        report("setsockopt SO_RCVBUF");
    // The system's cap may be lower than a stream needs; the resident program may raise it.
    if (getsockopt(s, SOL_SOCKET, SO_RCVBUF, &got, &len) == 0 && got < want &&
        setsockopt(s, SOL_SOCKET, SO_RCVBUFFORCE, &want, sizeof want) < 0)
        log_printf("UDP receive buffer %d bytes, wanted %d\n", got, want);
}

void connection_ended(OutputReceiveState *rs, int rc, int timeout, int revents)
{
    output_close_input(rs);
    // The pending stop ends this stream; the pending start reopens the input at once.
    stream_set_state_by_id(OUTPUT_STREAM, STREAM_STOP);
    stream_set_state_by_id(OUTPUT_STREAM, STREAM_START);
    log_printf("closing stream rc=%d timeout=%d revents=0x%x\n", rc, timeout, revents);
}

} // namespace

void output_receive_init(OutputReceiveState *rs, Buffer_Handle hBuf)
{
    rs->sock = -1;
    pthread_mutex_init(&rs->mutex, nullptr);
    rs->hBuf = hBuf;
    rs->data = hBuf ? Buffer_getUserPtr(hBuf) : nullptr;
    rs->size = hBuf ? Buffer_getSize(hBuf) : 0;
    rs->fill = 0;
    rs->drain = false;
    rs->lastpacket = false;
    rs->transportIsTcp = false;
    rs->lowLatency = false;
    rs->sourceFilter = 0;
    rs->bytesReceived = 0;
    rs->peer[0] = 0;
}

void output_close_input(OutputReceiveState *rs)
{
    if (rs->sock >= 0)
        close(rs->sock);
    rs->sock = -1;
}

int output_open_input(OutputReceiveState *rs, const ParamBlock *p, StreamRunState *run)
{
    char url[sizeof p->Display.URL + 1];
    memcpy(url, p->Display.URL, sizeof p->Display.URL);
    url[sizeof p->Display.URL] = 0;
    output_close_input(rs);
    rs->fill = 0;
    if (rs->hBuf)
        Buffer_setNumBytesUsed(rs->hBuf, 0);
    rs->peer[0] = 0;
    rs->sourceFilter = 0;
    if (strcasecmp(url, "lltcp") == 0) {
        rs->transportIsTcp = true;
        rs->lowLatency = true;
    } else if (strcasecmp(url, "tcp") == 0) {
        rs->transportIsTcp = true;
        rs->lowLatency = false;
    } else {
        rs->transportIsTcp = false;
        rs->lowLatency = true;
    }
    int s = rs->transportIsTcp ? socket(AF_INET, SOCK_STREAM, IPPROTO_TCP) : socket(AF_INET, SOCK_DGRAM, 0);
    if (s < 0) {
        input_failed(rs, "socket");
        return -1;
    }
    rs->sock = s;
    int one = 1;
    if (setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) < 0)
        report("setsockopt SO_REUSEADDR");
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_ANY);
    sa.sin_port = htons(p->Display.UDPPort);
    if (bind(s, reinterpret_cast<sockaddr *>(&sa), sizeof sa) < 0) {
        input_failed(rs, "bind");
        return -1;
    }
    if (!rs->transportIsTcp) {
        size_receive_buffer(s);
        in_addr a;
        if (inet_aton(url, &a)) {
            if ((ntohl(a.s_addr) >> 28) == 0xE) {
                ip_mreq m = {};
                m.imr_multiaddr = a;
                m.imr_interface.s_addr = htonl(INADDR_ANY);
                if (setsockopt(s, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m) < 0)
                    report("setsockopt IP_ADD_MEMBERSHIP");
            } else {
                rs->sourceFilter = a.s_addr;
            }
        }
    }
    // The status says listening only once a sender can connect.
    if (rs->transportIsTcp && listen(s, 10) < 0) {
        input_failed(rs, "listen");
        return -1;
    }
    set_status("Listening... %s %s", rs->transportIsTcp ? "TCP" : "UDP", rs->lowLatency ? "(low-latency)" : "");
    if (!rs->transportIsTcp)
        return 0;
    while (true) {
        if (quit_requested() || stream_stop_pending(run)) {
            output_close_input(rs);
            return -1;
        }
        pollfd pf = {s, POLLIN, 0};
        int r = poll(&pf, 1, 1000);
        if (r < 0 && errno != EINTR) {
            input_failed(rs, "poll");
            return -1;
        }
        if (r > 0 && (pf.revents & POLLIN))
            break;
    }
    sockaddr_in peer = {};
    socklen_t plen = sizeof peer;
    int c = accept(s, reinterpret_cast<sockaddr *>(&peer), &plen);
    if (c < 0) {
        input_failed(rs, "accept");
        return -1;
    }
    sockaddr_in dest = {};
    socklen_t dlen = sizeof dest;
    if (getsockopt(c, SOL_IP, SO_ORIGINAL_DST, &dest, &dlen) != 0) {
        // Not a redirected connection: the address it reached is our own.
        dlen = sizeof dest;
        getsockname(c, reinterpret_cast<sockaddr *>(&dest), &dlen);
    }
    char from[INET_ADDRSTRLEN] = "", to[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &peer.sin_addr, from, sizeof from);
    inet_ntop(AF_INET, &dest.sin_addr, to, sizeof to);
    log_printf("Output TCP accepted connection from %s to %s\n", from, to);
    snprintf(rs->peer, sizeof rs->peer, "%s", from);
    set_status("Accepted client %s", from);
    close(s);
    rs->sock = c;
    return 0;
}

long output_receive(OutputReceiveState *rs, uint32_t framesDecoded)
{
    if (rs->sock < 0)
        return OUTPUT_RECEIVE_ENDED;
    size_t before = rs->fill;
    bool got = false;
    while (true) {
        int timeout = got ? 0 : 1000;
        pollfd pf = {rs->sock, POLLIN, 0};
        int r = poll(&pf, 1, timeout);
        if (r < 0) {
            if (errno != EINTR)
                report("poll");
            break;
        }
        if (r == 0) {
            if (!got && rs->transportIsTcp) {
                // A TCP sender silent for a second is gone; the next one may connect.
                connection_ended(rs, r, timeout, pf.revents);
                return OUTPUT_RECEIVE_ENDED;
            }
            break;
        }
        if ((pf.revents & POLLERR) && !(pf.revents & POLLIN)) {
            connection_ended(rs, r, timeout, pf.revents);
            return OUTPUT_RECEIVE_ENDED;
        }
        if (!(pf.revents & POLLIN)) {
            if (pf.revents & (POLLHUP | POLLNVAL)) {
                connection_ended(rs, r, timeout, pf.revents);
                return OUTPUT_RECEIVE_ENDED;
            }
            got = true;   // poll again without waiting
            continue;
        }
        size_t space = rs->size - rs->fill;
        if (space <= OUTPUT_RECEIVE_RESERVE) {
            log_printf("ringbuffer free space low: %ld\n", (long)space);
            break;
        }
        sockaddr_in from = {};
        socklen_t flen = sizeof from;
        ssize_t n = recvfrom(rs->sock, rs->data + rs->fill, space, MSG_DONTWAIT, reinterpret_cast<sockaddr *>(&from),
                             &flen);
        got = true;
        if (n < 0)
            continue;
        if (n == 0) {
            // Only a stream socket reports its end this way; an empty datagram is just empty.
            if (rs->transportIsTcp) {
                if (rs->fill == 0) {
                    connection_ended(rs, 0, timeout, pf.revents);
                    return OUTPUT_RECEIVE_ENDED;
                }
                // What it sent last is still to be read: a box of size 0 runs to here.
                output_close_input(rs);
                rs->lastpacket = true;
                break;
            }
            continue;
        }
        if (rs->transportIsTcp || rs->sourceFilter == 0 || from.sin_addr.s_addr == rs->sourceFilter) {
            rs->fill += (size_t)n;
            rs->bytesReceived += (uint64_t)n;
            if (!rs->transportIsTcp)
                inet_ntop(AF_INET, &from.sin_addr, rs->peer, sizeof rs->peer);
        }
        set_status("%lu frames decoded, %llu bytes received from %s", (unsigned long)framesDecoded,
                   (unsigned long long)rs->bytesReceived, rs->peer);
    }
    if (rs->fill != before && rs->hBuf) {
        Buffer_setNumBytesUsed(rs->hBuf, rs->fill);
        CMEM_cacheWb(rs->data + before, rs->fill - before);
    }
    return (long)rs->fill;
}

void output_end_sender(OutputReceiveState *rs, const char *why)
{
    log_printf("Output TCP sender %s ended: %s\n", rs->peer, why);
    output_close_input(rs);
    stream_set_state_by_id(OUTPUT_STREAM, STREAM_STOP);
    stream_set_state_by_id(OUTPUT_STREAM, STREAM_START);
}

void output_receive_consume(OutputReceiveState *rs, size_t n)
{
    if (n == 0)
        return;
    if (n > rs->fill)
        n = rs->fill;
    memmove(rs->data, rs->data + n, rs->fill - n);
    rs->fill -= n;
    if (rs->hBuf) {
        CMEM_cacheWb(rs->data, rs->fill);
        Buffer_setNumBytesUsed(rs->hBuf, rs->fill);
    }
}

void latency_start(LatencyEstimator *e, uint32_t interval)
{
    e->lead = 0;
    e->variance = 0;
    e->interval = interval;
}

int latency_estimate(LatencyEstimator *e, uint32_t heard, uint32_t t, uint32_t prev)
{
    int32_t sample = (int32_t)(t - heard);
    if (sample < 0)
        sample += 1;
    int32_t lead = (int32_t)(((int64_t)31 * e->lead + sample) / 32);
    uint32_t dev = (uint32_t)(lead - sample);
    uint32_t variance = (31u * e->variance + dev * dev) >> 5;
    uint32_t interval = (31u * e->interval + (t - prev)) >> 5;
    e->lead = lead;
    e->variance = variance;
    e->interval = interval;
    int32_t twice = (int32_t)(2 * interval);
    if (lead > twice) {
        int32_t limit = (lead - twice) / 3;
        if ((uint32_t)limit * (uint32_t)limit > variance) {
            e->lead = lead - (int32_t)interval;
            return 1;
        }
    }
    return 0;
}
