// N HTTP clients on one live transport-stream row, in one thread on epoll, so that the client
// costs well under the server it measures (loopback only).
//
// The measured window opens once every client has its first picture (a client joining a live row
// waits for a keyframe) and lasts SECONDS; the clients read on for a second after it. The
// pictures of the window are those (video PES starts, known by PTS) that any client got inside
// it; a client has everything when it got every one of them by then and a picture after the
// window's end, so a client that falls more than a second behind, stops or is cut misses some
// (when no client played past the window's end to show them, one that stopped inside it missed
// at least what it would have got at its own rate).
// Per run it prints the pictures of the window, clients with everything, the pictures the worst
// client missed and the mean per client, clients that stopped inside the window,
// continuity-counter gaps, bytes per client, the bit rate each client received in the window
// (mean), and the client's own CPU. With SERVER_PID the server's CPU time over the window in
// nanoseconds, the whole and the serving part that THREADS names, from COUNTER (as
// rtsp_bench_client's). Exit status 0 when every client got every picture of the window,
// with no gap and no early close. Chunked (our server) and plain (a file server) bodies alike.
// BENCH_THROTTLE=1 makes one client stop reading halfway through the window, to show that such
// a run fails.
//
// usage: http_stream_client PORT PATH CLIENTS SECONDS [SERVER_PID [THREADS [COUNTER]]]
#include <algorithm>
#include <cmath>
#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <set>
#include <string>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#include <vector>

#include "server_cpu.h"
#include "ts_check.h"

namespace {

bool g_inWindow = false;          // the measured window is open

double now_s()
{
    timeval tv;
    gettimeofday(&tv, nullptr);
    return tv.tv_sec + tv.tv_usec / 1e6;
}

struct Client {
    int fd = -1;
    bool header_done = false;
    std::string head;
    // Chunked transfer: bytes left in the current chunk, or reading a size line.
    size_t chunk_left = 0;
    std::string line;
    bool in_line = true;
    int crlf_skip = 0;
    std::string ts;               // transport-stream bytes not yet parsed (less than a packet)
    uint64_t bytes = 0, pictures = 0;
    uint64_t windowBytes = 0;     // transport-stream bytes received in the measured window
    TsCheck check;
    bool closed = false;
    bool chunked = false;
    std::vector<std::pair<uint64_t, double>> pts;   // PTS and arrival of each picture
};

double g_now = 0;                 // when the data being parsed arrived

void parse_ts(Client &c, const uint8_t *p, size_t n)
{
    c.ts.append(reinterpret_cast<const char *>(p), n);
    size_t at = 0;
    while (c.ts.size() - at >= 188) {
        bool picture;
        int64_t pts;
        if (!ts_check_packet(c.check, reinterpret_cast<const uint8_t *>(c.ts.data()) + at, &picture, &pts)) {
            at++;
            continue;
        }
        c.pictures += picture;
        if (pts >= 0)
            c.pts.emplace_back((uint64_t)pts, g_now);
        at += 188;
    }
    c.ts.erase(0, at);
}

// Takes the chunk framing out of what arrived.
void feed(Client &c, const uint8_t *p, size_t n)
{
    if (!c.chunked) {
        parse_ts(c, p, n);
        c.bytes += n;
        c.windowBytes += g_inWindow ? n : 0;
        return;
    }
    while (n) {
        if (c.crlf_skip) {
            c.crlf_skip--;
            p++;
            n--;
            continue;
        }
        if (c.in_line) {
            char ch = (char)*p++;
            n--;
            if (ch == '\n') {
                c.chunk_left = strtoul(c.line.c_str(), nullptr, 16);
                c.line.clear();
                c.in_line = c.chunk_left == 0;
                if (c.chunk_left == 0)
                    c.closed = true;
            } else if (ch != '\r') {
                c.line += ch;
            }
            continue;
        }
        size_t k = std::min(n, c.chunk_left);
        parse_ts(c, p, k);
        c.bytes += k;
        c.windowBytes += g_inWindow ? k : 0;
        c.chunk_left -= k;
        p += k;
        n -= k;
        if (c.chunk_left == 0) {
            c.in_line = true;
            c.crlf_skip = 2;
        }
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 5 || argc > 8) {
        fprintf(stderr, "usage: %s PORT PATH CLIENTS SECONDS [SERVER_PID [THREADS [COUNTER]]]\n", argv[0]);
        return 2;
    }
    int port = atoi(argv[1]);
    std::string path = argv[2];
    int n = atoi(argv[3]);
    double seconds = atof(argv[4]);
    ServerCpu server;
    server.pid = argc >= 6 ? atoi(argv[5]) : 0;
    if (argc >= 7)
        server.filter = argv[6];
    if (argc == 8)
        server.counter = argv[7];
    if (n < 1 || n > 64 || seconds <= 0 || seconds > 30) {
        fprintf(stderr, "at most 64 clients and 30 s only\n");
        return 2;
    }
    int ep = epoll_create1(0);
    std::vector<Client> clients(n);
    for (int i = 0; i < n; i++) {
        Client &c = clients[i];
        c.fd = socket(AF_INET, SOCK_STREAM, 0);
        // The server keeps a share of its connections per address: 16 clients per loopback address.
        sockaddr_in src = {};
        src.sin_family = AF_INET;
        src.sin_addr.s_addr = htonl(INADDR_LOOPBACK + 1 + (uint32_t)(i / 16));
        if (bind(c.fd, reinterpret_cast<sockaddr *>(&src), sizeof src) != 0) {
            perror("bind");
            return 2;
        }
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_port = htons((uint16_t)port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(c.fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
            perror("connect");
            return 2;
        }
        std::string req = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        if (send(c.fd, req.data(), req.size(), MSG_NOSIGNAL) != (ssize_t)req.size())
            return 2;
        epoll_event ev = {};
        ev.events = EPOLLIN;
        ev.data.u32 = (uint32_t)i;
        epoll_ctl(ep, EPOLL_CTL_ADD, c.fd, &ev);
    }
    // The window opens once every client has its first picture (a joining client waits for a
    // keyframe, and is sent nothing meanwhile), or after 10 s, and lasts SECONDS; the clients
    // read on for a second after it, so that a picture in flight at its end is not counted missed.
    bool throttle_stopped = false;
    const bool throttle = getenv("BENCH_THROTTLE") && strcmp(getenv("BENCH_THROTTLE"), "1") == 0;
    double t0 = now_s(), setupEnd = t0 + 10, winStart = 0, winEnd = 0;
    std::vector<uint8_t> buf(1 << 16);
    epoll_event evs[64];
    while (true) {
        double t = now_s();
        if (winEnd == 0) {
            bool all = true;
            for (const Client &c : clients)
                all &= c.closed || c.pictures > 0;
            if (all || t >= setupEnd) {
                winStart = t;
                winEnd = t + seconds;
                g_inWindow = true;
                if (server.pid)
                    server_cpu_start(server, t);
            }
        }
        if (winEnd && server.pid && g_inWindow)
            server_cpu_look(server, t, t >= winEnd);
        if (winEnd && t >= winEnd)
            g_inWindow = false;
        if (winEnd && t >= winEnd + 1)
            break;
        // The throttled client stops reading (its connection stays open).
        if (throttle && !throttle_stopped && winEnd && t >= winStart + seconds / 2 && !clients[0].closed) {
            epoll_ctl(ep, EPOLL_CTL_DEL, clients[0].fd, nullptr);
            throttle_stopped = true;
        }
        int k = epoll_wait(ep, evs, 64, 100);
        g_now = now_s();
        for (int e = 0; e < k; e++) {
            Client &c = clients[evs[e].data.u32];
            ssize_t r = recv(c.fd, buf.data(), buf.size(), 0);
            if (r <= 0) {
                c.closed = true;
                epoll_ctl(ep, EPOLL_CTL_DEL, c.fd, nullptr);
                continue;
            }
            const uint8_t *p = buf.data();
            size_t len = (size_t)r;
            if (!c.header_done) {
                c.head.append(reinterpret_cast<const char *>(p), len);
                size_t h = c.head.find("\r\n\r\n");
                if (h == std::string::npos)
                    continue;
                c.header_done = true;
                std::string lower = c.head.substr(0, h);
                std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char ch) { return std::tolower(ch); });
                c.chunked = lower.find("transfer-encoding: chunked") != std::string::npos;
                std::string rest = c.head.substr(h + 4);
                feed(c, reinterpret_cast<const uint8_t *>(rest.data()), rest.size());
                continue;
            }
            feed(c, p, len);
        }
    }
    // The pictures of the window: those any client got inside it.
    std::set<uint64_t> window;
    for (const Client &c : clients)
        for (const auto &pt : c.pts)
            if (pt.second >= winStart && pt.second <= winEnd)
                window.insert(pt.first);
    uint64_t gaps = 0, bytes = 0, windowBytes = 0, missedSum = 0, worst = 0, minInWindow = UINT64_MAX;
    int closed = 0, complete = 0, stoppedInside = 0;
    bool anyPast = false;   // a client that got a picture after the window's end
    for (const Client &c : clients)
        anyPast |= !c.pts.empty() && c.pts.back().second >= winEnd;
    for (Client &c : clients) {
        gaps += c.check.ccGaps;
        bytes += c.bytes;
        windowBytes += c.windowBytes;
        closed += c.closed;
        std::set<uint64_t> have;
        uint64_t inWindow = 0;
        for (const auto &pt : c.pts) {
            have.insert(pt.first);
            inWindow += pt.second >= winStart && pt.second <= winEnd;
        }
        uint64_t missed = 0;
        for (uint64_t p : window)
            missed += have.count(p) == 0;
        // A client whose last picture came before the window's end stopped inside it; when no
        // client played past the end to show what it missed, it missed at least what it would
        // have got at its own rate (a lone client, or all stopped).
        double last = c.pts.empty() ? 0 : c.pts.back().second;
        stoppedInside += last < winEnd;
        if (last < winEnd && !anyPast) {
            double first = 0;
            uint64_t k = 0;
            for (const auto &pt : c.pts)
                if (pt.second >= winStart && pt.second <= last && k++ == 0)
                    first = pt.second;
            uint64_t own = k > 1 && last > first ? (uint64_t)llround((winEnd - std::max(last, winStart)) * (k - 1) / (last - first))
                                                 : std::max<uint64_t>(window.size(), 1);
            missed = std::max(missed, own);
        }
        missedSum += missed;
        worst = std::max(worst, missed);
        minInWindow = std::min(minInWindow, inWindow);
        complete += missed == 0 && !window.empty() && !c.closed && c.check.ccGaps == 0;
        close(c.fd);
    }
    rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    double cpu = ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    printf("clients=%d window_pictures=%zu pictures_min=%llu clients_with_everything=%d/%d worst_client_missed=%llu "
           "pictures_missed_per_client=%.2f stopped_inside_window=%d cc_gaps=%llu kbytes_per_client=%.0f closed_early=%d client_cpu=%.1f%% "
           "measured_bps=%.0f window_s=%.3f",
           n, window.size(), (unsigned long long)minInWindow, complete, n, (unsigned long long)worst, (double)missedSum / n,
           stoppedInside, (unsigned long long)gaps, bytes / 1000.0 / n, closed, cpu * 100 / (now_s() - t0),
           windowBytes * 8.0 / (winEnd - winStart) / n, winEnd - winStart);
    if (throttle_stopped)
        printf(" throttled=client_0_stopped_reading_halfway");
    if (server.pid)
        server_cpu_print(server);
    printf("\n");
    return complete == n ? 0 : 1;
}
