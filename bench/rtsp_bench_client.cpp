// N RTSP clients over TCP interleaved on one live channel, H.264 or a transport stream (MP2T), in
// one thread on epoll, so that the client costs well under the server it measures (loopback only).
//
// The measured window opens once every client has its first picture (a client waiting for a
// keyframe is sent nothing) and lasts SECONDS. Per run it prints: frames and packets lost per
// client (RTP sequence gaps; frames from the RTP timestamps, or an MP2T stream's video PTS, seen
// by the best client in the common span), timestamps that step back, capture-to-receive latency
// p50/p99 of every H.264 picture's last packet (the RTCP sender report maps RTP time to the
// capture wall clock, on the same host), the time from PLAY to the first whole IDR (MP2T: first
// picture), the bit rate each client received on the wire in the window (mean over clients),
// the pictures all clients completed in the window (client_frames), for MP2T the transport
// packets out of order by continuity counter, and the client's own CPU, how many clients were
// served (playing through the window, a picture in its last second), how many got everything,
// and for a failed run each cause apart: pictures the worst client missed, packets it lost,
// timestamps that stepped back, clients with no first picture. With SERVER_PID the server's CPU
// time over the window in nanoseconds (bench/server_cpu.h): the whole (process_cpu_ns, from
// COUNTER: the cgroup the bench put the server in, else /proc/PID/stat), which holds every thread
// that ran in the window, ended ones included, and the serving part (threads_cpu_ns): the whole
// less the threads THREADS does not name (comma-separated name prefixes; "!" before one names
// the threads left out instead), each read from its own schedstat. Exit status 0 when every
// client got every packet (and, for MP2T, every transport packet in order) and a picture in the
// window's last second. The track to SETUP comes from the DESCRIBE answer, so any RTSP server can
// be measured. BENCH_THROTTLE=1 makes one client stop reading halfway through the window, to
// show that such a run fails.
//
// usage: rtsp_bench_client URL CLIENTS SECONDS [SERVER_PID [THREADS [COUNTER]]]   (URL rtsp://127.0.0.1:PORT/NAME)
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <netinet/in.h>
#include <netinet/tcp.h>
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

double now_s()
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return tv.tv_sec + tv.tv_usec / 1e6;
}

struct Client {
    int fd = -1;
    std::string in;
    std::string session;
    int step = 0;                 // 0 DESCRIBE, 1 SETUP, 2 PLAY, 3 playing
    double tPlay = 0, firstIdr = -1;   // an MP2T stream's first picture stands for its first IDR
    bool idrParts = false, haveSeq = false;
    uint16_t lastSeq = 0;
    uint32_t lastTs = 0;
    uint64_t packets = 0, lostPackets = 0, tsBackwards = 0;
    uint64_t windowBytes = 0;     // received in the measured window, framing included
    uint64_t windowFrames = 0;    // pictures completed in the measured window
    TsCheck ts;                   // an MP2T stream's packets
    bool playingAtStart = false;  // playing when the measured window began
    double lastPicture = 0;       // when its last picture arrived
    bool failed = false;
    std::set<uint32_t> frameTs;   // RTP timestamps of whole pictures
    bool haveSR = false;
    double srWall = 0;
    uint32_t srRtp = 0;
    std::vector<std::pair<uint32_t, double>> pending;   // (timestamp, arrival) before the first SR
    std::vector<double> latencies;
};

std::string g_url;
std::string g_track;              // the URL SETUP names, from the first DESCRIBE answer
bool g_mp2t = false;              // the track carries a transport stream (RTP payload type 33)
bool g_inWindow = false;          // the measured window is open

bool send_all(int fd, const std::string &s)
{
    size_t off = 0;
    while (off < s.size()) {
        ssize_t r = send(fd, s.data() + off, s.size() - off, MSG_NOSIGNAL);
        if (r <= 0)
            return false;
        off += (size_t)r;
    }
    return true;
}

void send_step(Client &c)
{
    char req[512];
    if (c.step == 0)
        snprintf(req, sizeof req, "DESCRIBE %s RTSP/1.0\r\nCSeq: 1\r\nAccept: application/sdp\r\n\r\n", g_url.c_str());
    else if (c.step == 1)
        snprintf(req, sizeof req, "SETUP %s RTSP/1.0\r\nCSeq: 2\r\nTransport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n\r\n",
                 g_track.c_str());
    else {
        snprintf(req, sizeof req, "PLAY %s RTSP/1.0\r\nCSeq: 3\r\nSession: %s\r\nRange: npt=0.000-\r\n\r\n", g_url.c_str(),
                 c.session.c_str());
        c.tPlay = now_s();
    }
    send_all(c.fd, req);
}

void note_latency(Client &c, uint32_t ts, double arrival)
{
    double d = (double)(int32_t)(ts - c.srRtp) / 90000.0;
    c.latencies.push_back(arrival - (c.srWall + d));
}

void on_rtp(Client &c, const uint8_t *p, unsigned n, double t)
{
    if (n < 13)
        return;
    uint16_t seq = (uint16_t)(p[2] << 8 | p[3]);
    uint32_t ts = (uint32_t)p[4] << 24 | (uint32_t)p[5] << 16 | (uint32_t)p[6] << 8 | p[7];
    if (c.haveSeq) {
        c.lostPackets += (uint16_t)(seq - c.lastSeq - 1);
        if ((int32_t)(ts - c.lastTs) < 0)
            c.tsBackwards++;
    }
    c.haveSeq = true;
    c.lastSeq = seq;
    c.lastTs = ts;
    c.packets++;
    if (g_mp2t) {
        // Every 188-byte packet in order, by continuity counter; a picture is a video PES start.
        unsigned h = 12 + 4 * (p[0] & 15);
        if ((p[0] & 0x10) && h + 4 <= n)
            h += 4 + 4 * (p[h + 2] << 8 | p[h + 3]);
        if (h > n || (n - h) % 188) {
            c.ts.badSync++;
            return;
        }
        for (unsigned k = h; k < n; k += 188) {
            bool picture;
            int64_t pts;
            if (!ts_check_packet(c.ts, p + k, &picture, &pts) || !picture)
                continue;
            c.frameTs.insert(pts >= 0 ? (uint32_t)pts : ts);
            c.windowFrames += g_inWindow;
            c.lastPicture = t;
            if (c.firstIdr < 0)
                c.firstIdr = t - c.tPlay;
        }
        return;
    }
    unsigned nal = p[12] & 0x1f;
    if (nal == 28 && n > 13)
        nal = p[13] & 0x1f;
    if (nal == 24)   // an aggregate: any IDR unit in it
        for (unsigned k = 13; k + 2 < n; k += 2 + (p[k] << 8 | p[k + 1]))
            if ((p[k + 2] & 0x1f) == 5)
                nal = 5;
    if (nal == 5)
        c.idrParts = true;
    if (p[1] & 0x80) {   // a picture ends
        c.frameTs.insert(ts);
        c.windowFrames += g_inWindow;
        c.lastPicture = t;
        if (c.idrParts && c.firstIdr < 0)
            c.firstIdr = t - c.tPlay;
        c.idrParts = false;
        if (c.haveSR)
            note_latency(c, ts, t);
        else
            c.pending.emplace_back(ts, t);
    }
}

void on_rtcp(Client &c, const uint8_t *p, unsigned n)
{
    if (n < 20 || p[1] != 200)
        return;
    uint32_t sec = (uint32_t)p[8] << 24 | (uint32_t)p[9] << 16 | (uint32_t)p[10] << 8 | p[11];
    uint32_t frac = (uint32_t)p[12] << 24 | (uint32_t)p[13] << 16 | (uint32_t)p[14] << 8 | p[15];
    c.srRtp = (uint32_t)p[16] << 24 | (uint32_t)p[17] << 16 | (uint32_t)p[18] << 8 | p[19];
    c.srWall = (double)sec - 2208988800.0 + frac / 4294967296.0;
    c.haveSR = true;
    for (auto &pt : c.pending)
        note_latency(c, pt.first, pt.second);
    c.pending.clear();
}

// The video track's control URL: absolute, or relative to Content-Base (else the request URL).
std::string track_url(const std::string &head, const std::string &sdp)
{
    std::string base = g_url;
    size_t cb = head.find("Content-Base:");
    if (cb != std::string::npos) {
        cb += 13;
        while (head[cb] == ' ')
            cb++;
        base = head.substr(cb, head.find('\r', cb) - cb);
    }
    size_t m = sdp.find("m=video");
    size_t a = sdp.find("a=control:", m == std::string::npos ? 0 : m);
    if (a == std::string::npos)
        return base;
    a += 10;
    std::string ctl = sdp.substr(a, sdp.find_first_of("\r\n", a) - a);
    if (ctl == "*")
        return base;
    if (ctl.compare(0, 7, "rtsp://") == 0)
        return ctl;
    if (!base.empty() && base.back() != '/')
        base += '/';
    return base + ctl;
}

// Consumes what it can of c.in; false when the connection is unusable.
bool parse(Client &c, double t)
{
    size_t off = 0;
    while (off < c.in.size()) {
        const uint8_t *b = (const uint8_t *)c.in.data() + off;
        size_t left = c.in.size() - off;
        if (b[0] == '$') {
            if (left < 4)
                break;
            unsigned n = b[2] << 8 | b[3];
            if (left < 4 + n)
                break;
            if (b[1] == 0)
                on_rtp(c, b + 4, n, t);
            else if (b[1] == 1)
                on_rtcp(c, b + 4, n);
            off += 4 + n;
            continue;
        }
        size_t end = c.in.find("\r\n\r\n", off);
        if (end == std::string::npos)
            break;
        std::string head = c.in.substr(off, end + 4 - off);
        size_t body = 0;
        size_t cl = head.find("Content-Length:");
        if (cl != std::string::npos)
            body = strtoul(head.c_str() + cl + 15, nullptr, 10);
        if (c.in.size() < end + 4 + body)
            break;
        off = end + 4 + body;
        if (head.compare(0, 12, "RTSP/1.0 200") != 0) {
            fprintf(stderr, "client: %s", head.c_str());
            return false;
        }
        if (c.step == 0 && g_track.empty()) {
            std::string sdp = c.in.substr(end + 4, body);
            g_track = track_url(head, sdp);
            g_mp2t = sdp.find("MP2T/90000") != std::string::npos;
        }
        if (c.step == 1) {
            size_t s = head.find("Session:");
            if (s == std::string::npos)
                return false;
            s += 8;
            while (head[s] == ' ')
                s++;
            c.session = head.substr(s, head.find_first_of(";\r", s) - s);
        }
        if (c.step < 3) {
            c.step++;
            if (c.step < 3)
                send_step(c);
        }
    }
    c.in.erase(0, off);
    return true;
}

double pct(std::vector<double> v, double p)
{
    if (v.empty())
        return NAN;
    std::sort(v.begin(), v.end());
    size_t i = (size_t)(v.size() * p);
    return v[i >= v.size() ? v.size() - 1 : i] * 1000;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 4 || argc > 7) {
        fprintf(stderr, "usage: %s URL CLIENTS SECONDS [SERVER_PID [THREADS [COUNTER]]]\n", argv[0]);
        return 2;
    }
    g_url = argv[1];
    int clients = atoi(argv[2]);
    double seconds = atof(argv[3]);
    int serverPid = argc >= 5 ? atoi(argv[4]) : 0;
    ServerCpu server;
    server.pid = serverPid;
    if (argc >= 6)
        server.filter = argv[5];
    if (argc == 7)
        server.counter = argv[6];
    unsigned port = 0;
    if (sscanf(argv[1], "rtsp://127.0.0.1:%u/", &port) != 1 || clients < 1 || clients > 64 || seconds <= 0 || seconds > 30) {
        fprintf(stderr, "loopback URLs, at most 64 clients and 30 s only\n");
        return 2;
    }
    int ep = epoll_create1(0);
    std::vector<Client> cs(clients);
    for (int i = 0; i < clients; i++) {
        Client &c = cs[i];
        c.fd = socket(AF_INET, SOCK_STREAM, 0);
        // Spread over four loopback addresses, as clients on a network would come from several.
        struct sockaddr_in src = {};
        src.sin_family = AF_INET;
        src.sin_addr.s_addr = htonl(0x7f000001u + (uint32_t)(i % 4));
        bind(c.fd, (struct sockaddr *)&src, sizeof src);
        struct sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_port = htons((uint16_t)port);
        a.sin_addr.s_addr = htonl(0x7f000001u);
        if (connect(c.fd, (struct sockaddr *)&a, sizeof a) < 0) {
            perror("connect");
            return 2;
        }
        int big = 4 << 20;
        setsockopt(c.fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
        struct epoll_event e = {};
        e.events = EPOLLIN;
        e.data.u32 = (uint32_t)i;
        epoll_ctl(ep, EPOLL_CTL_ADD, c.fd, &e);
        send_step(c);
    }
    struct rusage r0;
    getrusage(RUSAGE_SELF, &r0);
    // Clients a server cannot take in this time are counted as not served; the window runs anyway.
    double t0 = now_s(), setupEnd = t0 + 10;
    double playStart = 0, playEnd = 0;
    const bool throttle = getenv("BENCH_THROTTLE") && strcmp(getenv("BENCH_THROTTLE"), "1") == 0;
    bool throttled = false;
    std::vector<char> buf(1 << 20);
    int failed = 0, served = 0;
    while (true) {
        double t = now_s();
        // The window opens once every client has its first picture: a wait for a keyframe, in
        // which the server sends nothing, is no client-second served.
        bool allPlaying = true;
        for (auto &c : cs)
            allPlaying &= c.failed || (c.step == 3 && c.firstIdr >= 0);
        if ((allPlaying || t >= setupEnd) && playEnd == 0) {
            playStart = t;
            playEnd = t + seconds;
            g_inWindow = true;
            if (serverPid)
                server_cpu_start(server, t);
            for (auto &c : cs)
                c.playingAtStart = c.step == 3;
        }
        if (playEnd && t >= playEnd) {
            if (serverPid)
                server_cpu_look(server, t, true);
            g_inWindow = false;
            break;
        }
        if (playEnd && serverPid)
            server_cpu_look(server, t);
        // The throttled client stops reading (its connection stays open).
        if (throttle && !throttled && playEnd && t >= playStart + seconds / 2) {
            epoll_ctl(ep, EPOLL_CTL_DEL, cs[0].fd, nullptr);
            throttled = true;
        }
        struct epoll_event ev[64];
        int n = epoll_wait(ep, ev, 64, 100);
        t = now_s();
        for (int k = 0; k < n; k++) {
            Client &c = cs[ev[k].data.u32];
            ssize_t r = recv(c.fd, buf.data(), buf.size(), MSG_DONTWAIT);
            if (r <= 0) {
                if (r == 0 || (errno != EAGAIN && errno != EINTR)) {
                    epoll_ctl(ep, EPOLL_CTL_DEL, c.fd, nullptr);
                    c.failed = true;
                    failed++;
                }
                continue;
            }
            if (g_inWindow)
                c.windowBytes += (size_t)r;
            c.in.append(buf.data(), (size_t)r);
            if (!parse(c, t)) {
                epoll_ctl(ep, EPOLL_CTL_DEL, c.fd, nullptr);
                c.failed = true;
                failed++;
            }
        }
    }
    double wall = now_s() - t0;
    struct rusage r1;
    getrusage(RUSAGE_SELF, &r1);
    double cpu = (r1.ru_utime.tv_sec - r0.ru_utime.tv_sec) + (r1.ru_utime.tv_usec - r0.ru_utime.tv_usec) / 1e6 +
                 (r1.ru_stime.tv_sec - r0.ru_stime.tv_sec) + (r1.ru_stime.tv_usec - r0.ru_stime.tv_usec) / 1e6;
    for (auto &c : cs) {
        char req[256];
        snprintf(req, sizeof req, "TEARDOWN %s RTSP/1.0\r\nCSeq: 4\r\nSession: %s\r\n\r\n", g_url.c_str(), c.session.c_str());
        send_all(c.fd, req);
        close(c.fd);
    }
    close(ep);

    // Frames in the window every client covered, by RTP timestamp (the stream is shared).
    uint32_t lo = 0, hi = 0;
    bool first = true;
    for (auto &c : cs) {
        if (c.frameTs.empty())
            continue;
        uint32_t a = *c.frameTs.begin(), b = *c.frameTs.rbegin();
        if (first || (int32_t)(a - lo) > 0)
            lo = a;
        if (first || (int32_t)(b - hi) < 0)
            hi = b;
        first = false;
    }
    size_t best = 0;
    std::vector<size_t> inWindow;
    for (auto &c : cs) {
        size_t k = 0;
        for (uint32_t ts : c.frameTs)
            k += (int32_t)(ts - lo) >= 0 && (int32_t)(hi - ts) >= 0;
        inWindow.push_back(k);
        best = std::max(best, k);
    }
    int complete = 0;
    for (size_t i = 0; i < cs.size(); i++) {
        const Client &c = cs[i];
        // Playing at both ends of the window: a client that stopped getting pictures did not.
        bool playedThrough = c.playingAtStart && !c.failed && c.lastPicture >= playEnd - 1;
        served += playedThrough;
        complete += playedThrough && c.lostPackets == 0 && c.tsBackwards == 0 && c.firstIdr >= 0 && inWindow[i] == best &&
                    c.ts.ccGaps == 0 && c.ts.badSync == 0;
    }
    double lostFrames = 0, lostPackets = 0;
    uint64_t backwards = 0, packets = 0, windowFrames = 0, ccGaps = 0, worstMissed = 0, worstLost = 0;
    int noPicture = 0;
    std::vector<double> lat, firstPic;
    double bps = 0;
    for (size_t i = 0; i < cs.size(); i++) {
        if (playEnd > playStart)
            bps += cs[i].windowBytes * 8.0 / (playEnd - playStart) / clients;
        windowFrames += cs[i].windowFrames;
        ccGaps += cs[i].ts.ccGaps + cs[i].ts.badSync;
        lostFrames += best - inWindow[i];
        lostPackets += cs[i].lostPackets;
        worstMissed = std::max<uint64_t>(worstMissed, best - inWindow[i]);
        worstLost = std::max<uint64_t>(worstLost, cs[i].lostPackets);
        noPicture += cs[i].firstIdr < 0;
        backwards += cs[i].tsBackwards;
        packets += cs[i].packets;
        lat.insert(lat.end(), cs[i].latencies.begin(), cs[i].latencies.end());
        if (cs[i].firstIdr >= 0)
            firstPic.push_back(cs[i].firstIdr);
    }
    printf("clients=%d frames=%zu packets=%llu frames_lost_per_client=%.2f packets_lost_per_client=%.2f ts_backwards=%llu "
           "latency_ms_p50=%.1f latency_ms_p99=%.1f play_to_picture_ms_max=%.0f failed=%d client_cpu=%.1f%% measured_bps=%.0f\n",
           clients, best, (unsigned long long)packets, lostFrames / clients, lostPackets / clients, (unsigned long long)backwards,
           pct(lat, 0.5), pct(lat, 0.99), pct(firstPic, 1.0), failed, 100.0 * cpu / wall, bps);
    printf("served=%d complete=%d window_s=%.3f client_frames=%llu worst_client_missed=%llu worst_client_lost_packets=%llu "
           "no_first_picture=%d",
           served, complete, playEnd - playStart, (unsigned long long)windowFrames, (unsigned long long)worstMissed,
           (unsigned long long)worstLost, noPicture);
    if (g_mp2t)
        printf(" mp2t_cc_gaps=%llu", (unsigned long long)ccGaps);
    if (throttled)
        printf(" throttled=client_0_stopped_reading_halfway");
    if (serverPid)
        server_cpu_print(server);
    printf("\n");
    return complete == clients ? 0 : 1;
}
