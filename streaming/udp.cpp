#include "streaming/udp.h"

#include "core/log.h"
#include "core/param.h"
#include "core/param_commit.h"
#include "core/param_table.h"
#include "core/quit.h"
#include "core/soc.h"
#include "core/threads.h"
#include "core/util.h"
#include "platform/platform.h"
#include "streaming/multicast.h"
#include "streams/stream.h"
#include "streams/stream_mode.h"
#include "streams/stream_state.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace {
pthread_mutex_t status_mutex = PTHREAD_MUTEX_INITIALIZER;
char udp_status_text[2][100];

// How long a TCP connect or a write that makes no progress may take before the connection is
// given up; a stop or quit is looked at every tick meanwhile.
const int tcp_stall_ms = 3000;
const int tick_ms = 200;
// The longest wait for a frame before the stop flag is looked at again.
const int frame_wait_ms = 500;

struct ResolutionCode {
    uint16_t width, height;
    uint8_t code;
};
const ResolutionCode resolution_code_table[15] = {
    {720, 480, 0},    {352, 240, 1},     {160, 112, 2},     {720, 576, 3},    {352, 288, 4},
    {176, 144, 5},    {176, 120, 6},     {640, 480, 192},   {640, 480, 64},   {1280, 720, 65},
    {1280, 900, 66},  {1280, 1024, 67},  {1920, 1080, 68},  {320, 240, 70},   {160, 120, 71},
};

void put32(uint8_t *p, uint32_t v)
{
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
    p[2] = (uint8_t)(v >> 16);
    p[3] = (uint8_t)(v >> 24);
}

bool should_stop(StreamRunState *rs)
{
    return quit_requested() || stream_stop_pending(rs);
}

// Connects a socket without blocking for longer than tcp_stall_ms (a silent host), looking at
// stop and quit meanwhile. 0 or -1 with errno set.
int connect_bounded(int sock, const struct sockaddr_in *dest, StreamRunState *rs)
{
    int fl = fcntl(sock, F_GETFL);
    fcntl(sock, F_SETFL, fl | O_NONBLOCK);
    int rc = connect(sock, (const struct sockaddr *)dest, sizeof *dest);
    if (rc < 0 && errno == EINPROGRESS) {
        rc = -1;
        errno = ETIMEDOUT;
        for (int waited = 0; waited < tcp_stall_ms && !should_stop(rs); waited += tick_ms) {
            struct pollfd p = {sock, POLLOUT, 0};
            if (poll(&p, 1, tick_ms) > 0) {
                int err = 0;
                socklen_t l = sizeof err;
                getsockopt(sock, SOL_SOCKET, SO_ERROR, &err, &l);
                errno = err;
                rc = err ? -1 : 0;
                break;
            }
        }
    }
    fcntl(sock, F_SETFL, fl);
    return rc;
}

// Writes all of a frame to a TCP receiver; a receiver that takes nothing for tcp_stall_ms, or
// a stop, ends the connection. 0 or -1 with errno set.
int tcp_write_all(int sock, const uint8_t *p, size_t len, StreamRunState *rs)
{
    int stalled = 0;
    while (len > 0) {
        ssize_t n = send(sock, p, len, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            p += n;
            len -= (size_t)n;
            stalled = 0;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return -1;
        if (should_stop(rs) || stalled >= tcp_stall_ms) {
            errno = ETIMEDOUT;
            return -1;
        }
        struct pollfd pf = {sock, POLLOUT, 0};
        poll(&pf, 1, tick_ms);
        stalled += tick_ms;
    }
    return 0;
}

struct Sender {
    int channel;
    const char *name;
    int sock;
    int retry_timeout;
    int failed;                  // a write ended the connection
    uint64_t bytes;
};

// One datagram; a refusal counts as sent when no retry time-out is set.
int send_datagram(void *ctx, const uint8_t *packet, size_t len)
{
    Sender *s = (Sender *)ctx;
    if (send(s->sock, packet, len, MSG_NOSIGNAL) >= 0)
        return 0;
    if (errno == ECONNREFUSED) {
        if (s->retry_timeout == 0)
            return 0;
        log_printf("%s: connection refused\n", s->name);
    } else {
        log_printf("UDP write: %s\n", strerror(errno));
    }
    s->failed = 1;
    return -1;
}

struct SummaryCtx {
    Sender *sender;
    UdpTimeBase *base;
    uint32_t frame_stamp;
    int sample_rate;
};

int emit_summary(void *ctx, const int16_t *values, int end_pair, uint32_t counter)
{
    SummaryCtx *c = (SummaryCtx *)ctx;
    // The window's first sample: its last pair's place in the frame, less the 64 ms it spans.
    uint32_t stamp = c->frame_stamp + (uint32_t)((int64_t)end_pair * 90000 / c->sample_rate) - 5760;
    uint32_t sec, usec;
    udp_time_of(c->base, stamp, &sec, &usec);
    uint8_t packet[UDP_SUMMARY_PACKET];
    udp_summary_packet(packet, counter, sec, usec, values);
    return send_datagram(c->sender, packet, sizeof packet);
}

int attach_mode(const ParamBlock *p, int stream_id)
{
    if (stream_id == PCM_STREAM)
        return StreamMode_Audio_PCM;
    if (stream_id == AAC_STREAM)
        return StreamMode_Audio_AAC;
    int mode = stream_mode_setting(p, stream_id - 1);
    int audio = stream_mode_audio_type(mode);
    // Without a sound queue the channel goes out with its video alone.
    if (audio != AUDIO_TYPE_NONE && !get_stream_queue(audio == AUDIO_TYPE_PCM ? PCM_STREAM : AAC_STREAM)) {
        int video_only = stream_mode_build(stream_mode_video_codec(mode), AUDIO_TYPE_NONE, stream_mode_mux_type(mode));
        if (video_only != StreamMode_None) {
            log_printf("udp: no audio queue, sending %s\n", stream_mode_name(video_only));
            return video_only;
        }
    }
    return mode;
}

void set_ttl_tos(int sock, const ParamBlock *p)
{
    if (p->UDP_TTL) {
        int ttl = p->UDP_TTL;
        log_printf("setting ttl to %d\n", ttl);
        if (setsockopt(sock, IPPROTO_IP, IP_TTL, &ttl, sizeof ttl) < 0)
            log_printf("setsockopt IP_TTL: %s\n", strerror(errno));
        if (setsockopt(sock, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) < 0)
            log_printf("setsockopt IP_MULTICAST_TTL: %s\n", strerror(errno));
    }
    int tos = p->UDP_DSCP_ECN;
    if (setsockopt(sock, IPPROTO_IP, IP_TOS, &tos, sizeof tos) < 0)
        log_printf("setsockopt IP_TOS: %s\n", strerror(errno));
}

// One connection: from the socket to its end. Counters that live for the thread's whole life
// come in by reference.
void run_connection(SenderEnv *env, StreamRunState *rs, uint32_t *frames, uint32_t *summaries)
{
    const int n = env->instance;
    ParamBlock *p = env->params;
    const ParamUdp &u = p->UDP[n];
    const int mode = u.StreamMode;
    const bool tcp = mode == 4;
    Sender s = {n, env->name, -1, u.RetryTimeout, 0, 0};
    struct sockaddr_in dest = {};
    dest.sin_family = AF_INET;
    memcpy(&dest.sin_addr, &u.Addr, 4);
    dest.sin_port = htons(u.Port);
    char addr_text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &dest.sin_addr, addr_text, sizeof addr_text);

    int stream_id = u.StreamID;
    if (stream_id == OUTPUT_STREAM || stream_id < 1 || stream_id > AAC_STREAM) {
        // The output stream carries no queue to send from.
        log_printf("%s: stream %d cannot be sent\n", env->name, stream_id);
        udp_set_status(n, "Stream %d cannot be sent", stream_id);
        stream_set_state(rs, STREAM_STOP);
        return;
    }

    udp_set_status(n, "Connecting... %s", tcp ? "TCP" : "UDP");
    s.sock = socket(AF_INET, tcp ? SOCK_STREAM : SOCK_DGRAM, 0);
    if (s.sock >= 0 && !tcp)
        platform_set_multicast_if(s.sock);
    int rc = s.sock < 0 ? -1 : tcp ? connect_bounded(s.sock, &dest, rs) : connect(s.sock, (struct sockaddr *)&dest, sizeof dest);
    if (rc < 0) {
        int err = errno;
        log_printf("connect: %s\n", strerror(err));
        log_printf("Socket Open Connect\n");
        udp_set_status(n, "%s (connect)", strerror(err));
        log_printf("%s error %s\n", env->name, strerror(err));
        if (s.sock >= 0)
            close(s.sock);
        return;
    }
    log_printf("%s starting, mode %d\n", env->name, mode);
    if (!tcp) {
        int w = waitConnection(s.sock, &dest, u.RetryTimeout);
        const char *what = w == 1 ? "destination host timeout" : w == 2 ? "destination port timeout" : "network error";
        if (w != 0) {
            log_printf("%s: %s\n", env->name, what);
            udp_set_status(n, "%s", w == 1 ? "Destination host timeout" : w == 2 ? "Destination port timeout" : "Network error");
            stream_set_state(rs, STREAM_STOP);
            close(s.sock);
            return;
        }
        set_ttl_tos(s.sock, p);
    }

    int attach = attach_mode(p, stream_id);
    size_t payload = udp_payload_size(mode, (int)p->UDPPacketSize, stream_mode_mux_type(attach) == 1);
    StreamState video = {}, audio = {};
    UdpTimeBase vbase = {}, abase = {};
    UdpSummary summary = {};
    summary.packets = *summaries;
    if (mode == 2) {
        // The elementary form of the channel's video: the codec numbers are its modes.
        if (stream_mode_video_codec(attach) != VIDEO_CODEC_NONE)
            attach = stream_mode_video_codec(attach);
        struct timeval tv;
        gettimeofday(&tv, nullptr);
        vbase.stamp = hw_clock_90khz();
        vbase.second = tv.tv_sec;
        abase = vbase;
    }
    uint8_t *scratch = (mode == 1 || mode == 2) ? (uint8_t *)malloc(payload) : nullptr;
    if ((mode == 1 || mode == 2) && !scratch) {
        log_printf("%s: out of memory\n", env->name);
        close(s.sock);
        return;
    }
    video.flags = SS_START_AT_KEYFRAME;
    stream_state_attach(stream_id, attach, &video);
    if (mode == 2)
        stream_state_attach(stream_id, StreamMode_Audio_PCM, &audio);
    log_printf("%s: attached to stream %d; seq %d\n", env->name, stream_id, (int)video.seq);

    const bool pal = p->Capture.Standard == 6;
    // The receiver reads the picture size of this sender's own channel, whatever stream it sends.
    const int res_code = stream_resolution_code(n);
    const int sample_rate = p->Audio.SampleRate ? (int)p->Audio.SampleRate : 48000;
    while (!should_stop(rs)) {
        StreamBuffer *sb = stream_state_dequeue_timeout(&video, frame_wait_ms);
        if (!sb)
            continue;
        ++*frames;
        size_t len = Buffer_getNumBytesUsed(sb->buf);
        if (len == 0)
            break;   // the producer ended its stream
        const uint8_t *data = (const uint8_t *)Buffer_getUserPtr(sb->buf);
        s.bytes += len;
        if (tcp) {
            udp_set_status(n, "Streaming TCP %llu bytes sent", (unsigned long long)s.bytes);
            if (tcp_write_all(s.sock, data, len, rs) < 0) {
                udp_set_status(n, "%s (write)", strerror(errno));
                log_printf("TCP write: %s\n", strerror(errno));
                break;
            }
            continue;
        }
        udp_set_status(n, "Streaming UDP %llu bytes sent", (unsigned long long)s.bytes);
        UdpFrameInfo info = {*frames, 0, 0, (uint8_t)res_code, (uint8_t)(pal ? 25 : 30)};
        if (mode == 2)
            udp_time_of(&vbase, sb->timestamp, &info.seconds, &info.usec);
        if (udp_packetize(mode, data, len, payload, &info, scratch, send_datagram, &s) < 0)
            break;
        if (mode == 2) {
            StreamBuffer *pcm;
            while (!s.failed && (pcm = stream_state_dequeue2(&audio)) != nullptr) {
                SummaryCtx ctx = {&s, &abase, pcm->timestamp, sample_rate};
                int r = udp_summary_feed(&summary, (const uint8_t *)Buffer_getUserPtr(pcm->buf),
                                         Buffer_getNumBytesUsed(pcm->buf), emit_summary, &ctx);
                if (r == -1) {
                    log_printf("not pcm audio?\n");
                    break;
                }
            }
            if (s.failed)
                break;
        }
    }
    *summaries = summary.packets;
    log_printf("%s: stopped\n", env->name);
    stream_state_detach(&video);
    if (mode == 2)
        stream_state_detach(&audio);
    close(s.sock);
    free(scratch);
}
} // namespace

int udp_status_get(int channel, char *buf, size_t size)
{
    if (channel < 0 || channel > 1 || size == 0)
        return 0;
    pthread_mutex_lock(&status_mutex);
    int n = snprintf(buf, size, "%s", udp_status_text[channel]);
    pthread_mutex_unlock(&status_mutex);
    return n < (int)size ? n : (int)size - 1;
}

void udp_set_status(int channel, const char *fmt, ...)
{
    if (channel < 0 || channel > 1)
        return;
    va_list ap;
    va_start(ap, fmt);
    pthread_mutex_lock(&status_mutex);
    vsnprintf(udp_status_text[channel], 99, fmt, ap);
    pthread_mutex_unlock(&status_mutex);
    va_end(ap);
}

int udp_resolution_code(int width, int height, int pal)
{
    for (const ResolutionCode &r : resolution_code_table) {
        if (r.width != width || r.height != height)
            continue;
        if (r.code == 192 && !pal)
            continue;
        return r.code;
    }
    return 255;
}

int stream_resolution_code(int channel)
{
    int w = 0, h = 0;
    if (getStreamResolution(channel, &w, &h) < 0)
        return 255;
    return udp_resolution_code(w, h, get_param_block()->Capture.Standard == 6);
}

void udp_time_of(UdpTimeBase *base, uint32_t stamp, uint32_t *seconds, uint32_t *usec)
{
    int64_t d = (int32_t)(stamp - base->stamp);
    // Whole seconds move the base, so the next frame starts from a nearby stamp.
    int64_t k = d >= 0 ? d / 90000 : -((-d + 89999) / 90000);
    base->stamp += (uint32_t)(k * 90000);
    base->second += k;
    d -= k * 90000;
    *seconds = (uint32_t)base->second;
    *usec = (uint32_t)(d / 900) * 10000;
}

size_t udp_payload_size(int mode, int packet_size, bool ts)
{
    if (mode == 2)
        return 1472;
    int s = packet_size - 28;
    if (s <= 0 || (mode == 1 && s <= 2))
        s = 1400;
    if (!ts)
        return (size_t)s;
    // Whole transport packets, at least one: receivers look for the sync byte at the start of
    // each datagram, and a lost datagram takes no neighbour's packet with it.
    size_t head = mode == 1 ? 2 : 0;
    size_t packets = ((size_t)s - head) / 188;
    return head + (packets ? packets : 1) * 188;
}

int udp_packetize(int mode, const uint8_t *frame, size_t len, size_t s, const UdpFrameInfo *info,
                  uint8_t *scratch, UdpSendFn send, void *ctx)
{
    if (mode == 0) {
        for (size_t off = 0; off < len; off += s) {
            size_t n = len - off < s ? len - off : s;
            int rc = send(ctx, frame + off, n);
            if (rc < 0)
                return rc;
        }
        return 0;
    }
    if (mode == 1) {
        scratch[0] = (uint8_t)info->counter;
        scratch[1] = (uint8_t)(info->counter >> 8);
        for (size_t off = 0; off < len; off += s - 2) {
            size_t n = len - off < s - 2 ? len - off : s - 2;
            memcpy(scratch + 2, frame + off, n);
            int rc = send(ctx, scratch, n + 2);
            if (rc < 0)
                return rc;
        }
        return 0;
    }
    // Mode 2: a 16-byte header on every packet, the picture info after the first one's.
    size_t off = 0;
    for (unsigned index = 1; off < len || index == 1; index++) {
        size_t head = UDP_FRAME_HEADER + (index == 1 ? UDP_PICTURE_INFO : 0);
        size_t room = s - head;
        size_t n = len - off < room ? len - off : room;
        uint8_t *h = scratch;
        memset(h, 0, head);
        h[2] = (len - off) + head <= s ? 1 : 0;
        h[4] = (uint8_t)index;
        put32(h + 8, info->counter);
        put32(h + 12, (uint32_t)len + 44);
        if (index == 1) {
            uint8_t *pi = h + UDP_FRAME_HEADER;
            const uint8_t sync[4] = {0x00, 0x00, 0x01, 0xB2}, kind[4] = {0x01, 0x00, 0x00, 0x01};
            const uint8_t fixed[4] = {0x0C, 0x01, 0x00, 0x03};
            memcpy(pi, sync, 4);
            memcpy(pi + 4, kind, 4);
            put32(pi + 8, (uint32_t)len + 32);
            put32(pi + 12, info->seconds);
            memcpy(pi + 16, fixed, 4);
            put32(pi + 20, info->counter);
            pi[24] = info->resolution;
            pi[25] = 9;
            pi[26] = 0;
            pi[27] = info->rate;
            put32(pi + 28, info->seconds);
            put32(pi + 32, info->usec);
        }
        memcpy(h + head, frame + off, n);
        int rc = send(ctx, h, head + n);
        if (rc < 0)
            return rc;
        off += n;
    }
    return 0;
}

int udp_summary_feed(UdpSummary *s, const uint8_t *pcm, size_t len, UdpSummaryFn emit, void *ctx)
{
    if (len != 4096)
        return -1;
    for (size_t i = 0; i < 2048; i++) {
        s->sum += (int16_t)(pcm[i * 2] | pcm[i * 2 + 1] << 8);
        if (++s->samples < 12)
            continue;
        s->values[s->count++] = (int16_t)(s->sum / 12);
        s->sum = 0;
        s->samples = 0;
        if (s->count == 512) {
            s->count = 0;
            // Values of a window that could not be sent are dropped with it.
            int rc = emit(ctx, s->values, (int)(i / 2), s->packets);
            if (rc < 0)
                return -2;
            s->packets++;
        }
    }
    return 0;
}

void udp_summary_packet(uint8_t *out, uint32_t counter, uint32_t seconds, uint32_t usec, const int16_t *values)
{
    memset(out, 0, UDP_SUMMARY_PACKET);
    out[1] = 1;
    out[2] = 1;
    out[4] = 1;
    put32(out + 8, counter);
    put32(out + 12, 1052);
    const uint8_t sync[4] = {0x00, 0x00, 0x01, 0xB2}, kind[4] = {0x02, 0x00, 0x00, 0x01};
    memcpy(out + 16, sync, 4);
    memcpy(out + 20, kind, 4);
    put32(out + 24, 1040);
    put32(out + 28, seconds);
    put32(out + 32, usec);
    for (int i = 0; i < 512; i++) {
        out[44 + i * 2] = (uint8_t)values[i];
        out[45 + i * 2] = (uint8_t)((uint16_t)values[i] >> 8);
    }
}

int waitConnection(int sock, const struct sockaddr_in *dest, int seconds)
{
    if (seconds <= 0)
        return 0;
    char addr[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &dest->sin_addr, addr, sizeof addr);
    uint8_t mac[6];
    for (int waited = 0;; waited++) {
        if (send(sock, "", 0, MSG_NOSIGNAL) < 0 && errno != ECONNREFUSED) {
            log_printf("UDP: waitConnection ARP: %s\n", strerror(errno));
            return -1;
        }
        int found = platform_arp_lookup(sock, dest->sin_addr.s_addr, mac);
        if (found < 0) {
            log_printf("UDP ioctl: %s\n", strerror(errno));
            return -1;
        }
        if (found)
            break;
        if (waited >= seconds)
            return 1;
        if (quit_requested())
            return -1;
        sleep_ms(1000);
    }
    log_printf("%s -> %02X:%02X:%02X:%02X:%02X:%02X\n", addr, mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
    for (int left = seconds; left > 0; left--) {
        log_printf("UDP: %s: %d seconds left\n", "waitConnection", left);
        int refused = 0;
        for (int i = 0; i < 100; i++) {
            if (send(sock, "", 0, MSG_NOSIGNAL) < 0) {
                if (errno != ECONNREFUSED) {
                    log_printf("UDP: waitConnection: %s\n", strerror(errno));
                    return -1;
                }
                refused++;
            }
            sleep_ms(10);
        }
        if (refused == 0)
            return 0;
        if (quit_requested())
            return -1;
    }
    return 2;
}

namespace {
// A form that starts the sender and changes its settings sets the start first and commits the
// settings after, and the commit restarts the sender: a connection opened in between would be
// closed before any data went out, and a listening player takes that one for the stream. So
// the start waits for the commit (briefly: settings are committed at the end of the request)
// and takes a restart it brought as part of this start.
void await_posted_settings(int n, StreamRunState *rs)
{
    const uint32_t group = 1u << (UDP_STREAM1 + n);
    for (int waited = 0; (param_pending() & group) && waited < 2000 && !quit_requested(); waited += 20)
        sleep_ms(20);
    // The commit restarts under the settings lock: once it is free, its restart has landed.
    param_lock();
    param_unlock();
    pthread_mutex_lock(&rs->mutex);
    const uint8_t restart = RUN_STOP_PENDING | RUN_START_PENDING;
    bool restarted = (rs->flags & restart) == restart;
    pthread_mutex_unlock(&rs->mutex);
    if (restarted)
        stream_wait_start(rs);
}
} // namespace

void *udpThrFxn(void *arg)
{
    static StreamRunState run_state[2];
    SenderEnv *env = static_cast<SenderEnv *>(arg);
    const int n = env->instance;
    StreamRunState *rs = &run_state[n];
    thread_init_begin(env->name);
    prctl(PR_SET_NAME, env->name);   // so its CPU can be told apart in /proc
    stream_register(rs, nullptr, UDP_STREAM1 + n);
    udp_set_status(n, "Stopped");
    if (env->params->UDP[n].StartMode == 1)
        stream_set_state(rs, STREAM_START);
    thread_init_end(env->name);
    rendezvous_meet(env->hRendezvousInit, env->name);

    uint32_t frames = 0, summaries = 0;
    while (!quit_requested()) {
        if (stream_stop_pending(rs)) {
            udp_set_status(n, "Stopped");
            if (!stream_wait_start(rs))
                continue;
            await_posted_settings(n, rs);
        } else {
            // Back from a connection that ended by itself (or started at boot): try again.
            log_printf("UDP %d not stopped\n", n);
            sleep_ms(1000);
            if (stream_stop_pending(rs) || quit_requested())
                continue;
        }
        const ParamUdp &u = env->params->UDP[n];
        if (u.StreamMode == 3) {
            struct in_addr a;
            memcpy(&a, &u.Addr, 4);
            char text[INET_ADDRSTRLEN];
            inet_ntop(AF_INET, &a, text, sizeof text);
            uint8_t first = ((const uint8_t *)&u.Addr)[0];
            if (first >= 224 && first <= 239) {
                udp_set_status(n, "Streaming Multicast RTP");
            } else {
                log_printf("invalid multicast address %s\n", text);
                udp_set_status(n, "Invalid Multicast Address %s", text);
            }
            multicast_run(n, env->params, rs);
            // A restart asked for meanwhile (a changed address or port) stays pending.
            pthread_mutex_lock(&rs->mutex);
            bool restart = rs->flags & RUN_START_PENDING;
            pthread_mutex_unlock(&rs->mutex);
            if (!restart)
                stream_set_state(rs, STREAM_STOP);
            continue;
        }
        run_connection(env, rs, &frames, &summaries);
    }
    myRendezvousCleanup(env->hRendezvousCleanup, env->name);
    return nullptr;
}
