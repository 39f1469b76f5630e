// The UDP log: every log line as one datagram to "LogUDPAddr", port 7160, and at the first
// connection after start the lines logged before it, oldest first.
#include "core/log.h"
#include "core/param.h"
#include "services/network.h"
#include "streaming/udp.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {
const uint16_t log_port = 7160;
const size_t datagram_size = 1400;
const size_t pending_limit = 64 << 10;

// The socket and what is sent on it change only under this lock, so no line is ever written
// to a descriptor that was closed (or reused) meanwhile. Nothing is logged while it is held.
pthread_mutex_t udp_mutex = PTHREAD_MUTEX_INITIALIZER;
int log_socket = -1;
bool holding;              // lines wait in pending until the catch-up has gone out
std::string pending;
bool catch_up = true;      // until the first connection after start
thread_local bool reporting;

void send_locked(const char *text, size_t len)
{
    // A refused send (nobody listens at the collector) is a failure like any other.
    if (send(log_socket, text, len, MSG_DONTWAIT | MSG_NOSIGNAL) >= 0)
        return;
    pthread_mutex_unlock(&udp_mutex);
    reporting = true;
    log_printf("%s: write failed\n", "log_udp");
    reporting = false;
    pthread_mutex_lock(&udp_mutex);
}

void hook(const char *line, int length)
{
    log_udp(line, length);
}

// The ring's text, oldest first.
std::string ring_text()
{
    uint32_t used = log_ring_used();
    std::string s(used, '\0');
    uint32_t n = used ? log_ring_read(log_ring_tail(), &s[0], used) : 0;
    s.resize(n);
    return s;
}

// Sends text in datagrams of about datagram_size bytes, each ending at a line end (a single
// longer line goes alone).
void send_in_lines(int sock, const std::string &text)
{
    size_t start = 0;
    while (start < text.size()) {
        size_t end = start;
        for (;;) {
            size_t nl = text.find('\n', end);
            size_t next = nl == std::string::npos ? text.size() : nl + 1;
            if (end > start && next - start > datagram_size)
                break;
            end = next;
            if (end >= text.size() || end - start >= datagram_size)
                break;
        }
        if (send(sock, text.data() + start, end - start, MSG_NOSIGNAL) < 0 && errno != ECONNREFUSED)
            break;
        start = end;
    }
}

// Leaves holding: the catch-up (if any) has gone out; lines logged meanwhile follow, minus
// those the catch-up already carried.
void release_pending(const std::string &sent)
{
    pthread_mutex_lock(&udp_mutex);
    size_t pos = 0;
    while (pos < pending.size()) {
        size_t nl = pending.find('\n', pos);
        size_t end = nl == std::string::npos ? pending.size() : nl + 1;
        std::string line = pending.substr(pos, end - pos);
        if (log_socket >= 0 && (sent.empty() || sent.find(line) == std::string::npos))
            send_locked(line.data(), line.size());
        pos = end;
    }
    pending.clear();
    holding = false;
    pthread_mutex_unlock(&udp_mutex);
}
} // namespace

int log_udp(const char *text, int length)
{
    if (!text || length <= 0 || reporting)
        return 0;
    pthread_mutex_lock(&udp_mutex);
    if (log_socket >= 0) {
        if (holding) {
            if (pending.size() + (size_t)length <= pending_limit)
                pending.append(text, (size_t)length);
        } else {
            send_locked(text, (size_t)length);
        }
    }
    pthread_mutex_unlock(&udp_mutex);
    return length;
}

void init_log_udp(ParamBlock *p)
{
    static bool hooked = false;
    if (!hooked) {
        log_set_line_hook(hook);
        hooked = true;
    }
    pthread_mutex_lock(&udp_mutex);
    int old = log_socket;
    log_socket = -1;
    holding = false;
    pending.clear();
    pthread_mutex_unlock(&udp_mutex);
    if (old >= 0)
        close(old);
    if (p->LogUDPAddr == 0)
        return;

    struct sockaddr_in dest = {};
    dest.sin_family = AF_INET;
    dest.sin_port = htons(log_port);
    memcpy(&dest.sin_addr, &p->LogUDPAddr, 4);
    char addr[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &dest.sin_addr, addr, sizeof addr);
    log_printf("%s: LogUDPAddr=%s\n", "init_log_udp", addr);
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        log_printf("socket: %s\n", strerror(errno));
        return;
    }
    if (connect(s, (struct sockaddr *)&dest, sizeof dest) < 0) {
        int err = errno;
        log_printf("connect: %s\n", strerror(err));
        close(s);
        log_printf("%s: %s\n", "init_log_udp", strerror(err));
        return;
    }
    std::string earlier;
    pthread_mutex_lock(&udp_mutex);
    log_socket = s;
    holding = catch_up;
    if (holding)
        earlier = ring_text();
    pthread_mutex_unlock(&udp_mutex);

    int w = waitConnection(s, &dest, 10);
    std::string sent;
    if (w == 0 && catch_up) {
        catch_up = false;
        send_in_lines(s, earlier);
        sent.swap(earlier);
    }
    release_pending(sent);
    if (w == 0)
        log_printf("%s: connected\n", "init_log_udp");
    else if (w == 1)
        log_printf("%s: host timeout\n", "init_log_udp");
    else if (w == 2)
        log_printf("%s: port timeout\n", "init_log_udp");
    else
        log_printf("%s: error\n", "init_log_udp");
}
