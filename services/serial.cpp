#include "services/serial.h"

#include "core/log.h"
#include "core/param.h"
#include "core/proc.h"
#include "core/quit.h"
#include "core/threads.h"
#include "platform/dmai.h"
#include "platform/serial_port.h"
#include "streams/stream.h"
#include "streams/stream_mode.h"
#include "streams/stream_state.h"

#include <arpa/inet.h>
#include <atomic>
#include <cstdarg>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <ctime>
#include <unistd.h>

namespace {

const char *const NAME = "serial";
const char *const PORT_PATH = "/dev/ttyS0";
enum { RELAY_CHUNK = 1024, SEND_STALL_MS = 2000, RESTART_WAIT_MS = 5000, CONNECT_RETRY_MS = 5000 };

StreamRunState serial_run_state;
ParamBlock *params;

// Made once for the thread's life and never closed: the run state and the quit path write to
// it from other threads, so closing it could let them write into a reused descriptor.
int event_fd = -1;
// What a wake-up meant beyond stop and quit (an eventfd adds up what is written).
std::atomic<bool> restart_asked{false};

pthread_mutex_t status_mutex = PTHREAD_MUTEX_INITIALIZER;
char status_text[80] = "Stopped";
unsigned long long rx_bytes, tx_bytes;

void set_status(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void set_status(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    pthread_mutex_lock(&status_mutex);
    vsnprintf(status_text, sizeof status_text, fmt, ap);
    pthread_mutex_unlock(&status_mutex);
    va_end(ap);
}

void count_status()
{
    set_status("Streaming, rx:%llu tx:%llu", rx_bytes, tx_bytes);
}

bool stopping()
{
    return quit_requested() || stream_stop_pending(&serial_run_state);
}

struct BaudEntry {
    uint32_t rate;
    speed_t speed;
};
const BaudEntry baud_table[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
    {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
    {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921000, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

// Waits up to ms on the event descriptor; true when the service is to stop or restart.
bool wait_event(int ms)
{
    struct timespec now, end;
    clock_gettime(CLOCK_MONOTONIC, &end);
    long long deadline = end.tv_sec * 1000LL + end.tv_nsec / 1000000;
    deadline += ms;
    for (;;) {
        if (stopping() || restart_asked.load())
            return true;
        clock_gettime(CLOCK_MONOTONIC, &now);
        long long left = deadline - (now.tv_sec * 1000LL + now.tv_nsec / 1000000);
        if (left <= 0)
            return false;
        // Other wake-ups (a start while running) do not cut the wait short.
        struct pollfd p = {event_fd, POLLIN, 0};
        if (poll(&p, 1, (int)left) > 0)
            serial_drain_fd(event_fd);
    }
}

// Waits for a start of the run state; 0 when quitting instead.
int wait_start()
{
    StreamRunState *rs = &serial_run_state;
    pthread_mutex_lock(&rs->mutex);
    while (!(rs->flags & RUN_START_PENDING)) {
        pthread_mutex_unlock(&rs->mutex);
        if (quit_requested())
            return 0;
        struct pollfd p = {event_fd, POLLIN, 0};
        if (poll(&p, 1, 500) > 0)
            serial_drain_fd(event_fd);
        pthread_mutex_lock(&rs->mutex);
    }
    rs->flags &= (uint8_t) ~(RUN_START_PENDING | RUN_STOP_PENDING);
    pthread_mutex_unlock(&rs->mutex);
    restart_asked = false;
    return 1;
}

// Writes all of data unless it cannot progress for SEND_STALL_MS; false then or on an error.
bool write_bounded(int fd, const uint8_t *data, size_t len, bool sock)
{
    while (len > 0) {
        ssize_t n = sock ? send(fd, data, len, MSG_NOSIGNAL | MSG_DONTWAIT) : write(fd, data, len);
        if (n > 0) {
            data += n;
            len -= (size_t)n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return false;
        // A stop or quit during the wait ends it too.
        struct pollfd p[2] = {{fd, POLLOUT, 0}, {event_fd, POLLIN, 0}};
        if (poll(p, event_fd >= 0 ? 2 : 1, SEND_STALL_MS) <= 0)
            return false;
        if ((p[1].revents & POLLIN) && (stopping() || restart_asked.load()))
            return false;
    }
    return true;
}

void addr_text(const struct sockaddr_in *a, char *out, size_t size)
{
    char ip[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &a->sin_addr, ip, sizeof ip);
    snprintf(out, size, "%s:%d", ip, ntohs(a->sin_port));
}

struct sockaddr_in peer_addr()
{
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    memcpy(&a.sin_addr.s_addr, &params->Serial_TCPAddr, 4);
    a.sin_port = htons((uint16_t)params->Serial.TCPPort);
    return a;
}

// A bound socket for the mode; -1 after logging the failing call.
int make_socket(int mode)
{
    int s = socket(AF_INET, (mode == 5 ? SOCK_DGRAM : SOCK_STREAM) | SOCK_CLOEXEC, 0);
    if (s < 0) {
        log_error("socket: %s\n", strerror(errno));
        return -1;
    }
    int one = 1;
    const char *fail = nullptr;
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    a.sin_port = htons((uint16_t)params->Serial.TCPPort);
    if (setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) < 0)
        fail = "setsockopt SO_REUSEADDR";
    else if (bind(s, (struct sockaddr *)&a, sizeof a) < 0)
        fail = "bind";
    else if (mode == 3 && listen(s, 10) < 0)
        fail = "listen";
    if (!fail && mode == 5) {
        int ttl = params->UDP_TTL;
        int tos = params->UDP_DSCP_ECN;
        if (ttl) {
            log_printf("setting ttl to %d\n", ttl);
            if (setsockopt(s, IPPROTO_IP, IP_TTL, &ttl, sizeof ttl) < 0)
                fail = "setsockopt IP_TTL";
            else if (setsockopt(s, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) < 0)
                fail = "setsockopt IP_MULTICAST_TTL";
        }
        if (!fail && setsockopt(s, IPPROTO_IP, IP_TOS, &tos, sizeof tos) < 0)
            fail = "setsockopt IP_TOS";
    }
    if (fail) {
        log_error("%s: %s\n", fail, strerror(errno));
        close(s);
        return -1;
    }
    return s;
}

enum RelayEnd { RELAY_CLOSED, RELAY_STOP, RELAY_RESTART };

// Moves bytes between the connection and the port until one side ends or an event arrives.
RelayEnd relay(int mode, int conn, int tty, int listener)
{
    uint8_t buf[RELAY_CHUNK];
    const struct sockaddr_in peer = peer_addr();
    for (;;) {
        struct pollfd p[4] = {{conn, POLLIN, 0}, {tty, POLLIN, 0}, {event_fd, POLLIN, 0}, {listener, POLLIN, 0}};
        int n = poll(p, listener >= 0 ? 4 : 3, -1);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return RELAY_CLOSED;
        }
        if (p[2].revents & POLLIN) {
            serial_read_event(event_fd);
            serial_drain_fd(event_fd);
            if (stopping())
                return RELAY_STOP;
            if (restart_asked.exchange(false)) {
                stream_set_state(&serial_run_state, STREAM_STOP);
                return RELAY_RESTART;
            }
            // a start while running: nothing to do
        }
        if (p[0].revents & POLLERR) {
            if (mode == 5) {
                // An ICMP error from the peer: cleared, the datagram bridge goes on.
                int err = 0;
                socklen_t el = sizeof err;
                getsockopt(conn, SOL_SOCKET, SO_ERROR, &err, &el);
            } else {
                log_printf("POLLERR\n");
                return RELAY_CLOSED;
            }
        }
        if (p[0].revents & (POLLIN | POLLHUP)) {
            ssize_t got;
            if (mode == 5) {
                struct sockaddr_in from = {};
                socklen_t fl = sizeof from;
                got = recvfrom(conn, buf, sizeof buf, MSG_DONTWAIT, (struct sockaddr *)&from, &fl);
                if (got >= 0 && (from.sin_addr.s_addr != peer.sin_addr.s_addr || from.sin_port != peer.sin_port))
                    got = -2;   // from a stranger: dropped
                else if (got < 0 && (errno == EAGAIN || errno == ECONNREFUSED))
                    got = -2;
            } else {
                got = recv(conn, buf, sizeof buf, MSG_DONTWAIT);
                if (got < 0 && (errno == EAGAIN || errno == EINTR))
                    got = -2;
                else if (got <= 0)
                    return RELAY_CLOSED;
            }
            if (got > 0) {
                // A port that stops draining loses what it cannot take rather than stalling the relay.
                if (!write_bounded(tty, buf, (size_t)got, false))
                    log_printf("serial write: %s\n", strerror(errno));
                tx_bytes += (unsigned long long)got;
                count_status();
            }
        }
        if (p[1].revents & (POLLIN | POLLHUP | POLLERR)) {
            ssize_t got = read(tty, buf, sizeof buf);
            if (got < 0 && (errno == EAGAIN || errno == EINTR))
                got = -2;
            else if (got <= 0) {
                if (got < 0)
                    log_printf("serial read: %s\n", strerror(errno));
                return RELAY_CLOSED;
            }
            if (got > 0) {
                rx_bytes += (unsigned long long)got;
                count_status();
                bool sent;
                if (mode == 5)
                    sent = sendto(conn, buf, (size_t)got, MSG_NOSIGNAL | MSG_DONTWAIT, (const struct sockaddr *)&peer, sizeof peer) == got;
                else
                    sent = write_bounded(conn, buf, (size_t)got, true);
                if (!sent && mode != 5) {
                    log_printf("serial: send stalled or failed, closing the connection\n");
                    return RELAY_CLOSED;
                }
            }
        }
        if (listener >= 0 && (p[3].revents & POLLIN))
            return RELAY_CLOSED;   // a new client replaces this one
    }
}

// Key frames of video stream id (1 or 2) to the port, one each Serial.Interval at least.
void send_keyframes(int tty, int id)
{
    int mode = stream_mode_build(stream_mode_video_codec(stream_mode_setting(params, id - 1)), AUDIO_TYPE_NONE,
                                 STREAM_MUX_ES);
    StreamState ss = {};
    ss.flags = SS_START_AT_KEYFRAME;
    stream_state_attach(id, mode, &ss);
    log_printf("%s: attached to stream; seq %d\n", NAME, (int)ss.seq);
    bool written = false;
    uint32_t last = 0;
    while (!stopping() && !restart_asked.load()) {
        StreamBuffer *sb = stream_state_dequeue_timeout(&ss, 500);
        if (event_fd >= 0) {
            struct pollfd p = {event_fd, POLLIN, 0};
            if (poll(&p, 1, 0) > 0)
                serial_drain_fd(event_fd);
        }
        if (!sb || !(sb->flags & SB_KEYFRAME))
            continue;
        if (written && (uint32_t)(sb->timestamp - last) / 90 < params->Serial.Interval)
            continue;
        if (!write_bounded(tty, Buffer_getUserPtr(sb->buf), Buffer_getNumBytesUsed(sb->buf), false))
            log_printf("serial write: %s\n", strerror(errno));
        written = true;
        last = sb->timestamp;
    }
    stream_state_detach(&ss);
}

// Makes the event descriptor and hands it to the run state and the quit path, each under its lock.
bool make_event_fd()
{
    event_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (event_fd < 0) {
        log_error("%s: eventfd: %s\n", NAME, strerror(errno));
        return false;
    }
    pthread_mutex_lock(&serial_run_state.mutex);
    serial_run_state.eventfd = event_fd;
    pthread_mutex_unlock(&serial_run_state.mutex);
    pthread_mutex_lock(&global_quit.mutex);
    quit_eventfd = event_fd;
    pthread_mutex_unlock(&global_quit.mutex);
    return true;
}

// Opens and configures the port; -1 after logging why.
int open_port(struct termios *saved, speed_t speed, uint32_t rate)
{
    int tty = platform_serial_open(PORT_PATH, O_RDWR | O_NOCTTY | O_SYNC);
    if (tty < 0) {
        log_error("%s: %s\n", PORT_PATH, strerror(errno));
        return -1;
    }
    if (tcgetattr(tty, saved) != 0) {
        log_error("tcgetattr: %s\n", strerror(errno));
        close(tty);
        return -1;
    }
    log_printf("%s baudrate=%d speed=%d\n", NAME, (int)rate, (int)speed);
    struct termios t = *saved;
    if (cfsetospeed(&t, speed) != 0)
        log_error("cfsetospeed: %s\n", strerror(errno));
    if (cfsetispeed(&t, speed) != 0)
        log_error("cfsetispeed: %s\n", strerror(errno));
    serial_make_raw(&t, params->Serial_Parity);
    tcflush(tty, TCIFLUSH);
    if (platform_serial_tcsetattr(tty, TCSANOW, &t) != 0) {
        log_error("tcsetattr TCSANOW: %s\n", strerror(errno));
        close(tty);
        return -1;
    }
    // Writes are bounded by poll: a port nobody drains must not hold up a stop.
    fcntl(tty, F_SETFL, fcntl(tty, F_GETFL) | O_NONBLOCK);
    return tty;
}

} // namespace

unsigned serial_baud_speed(uint32_t rate)
{
    for (const BaudEntry &e : baud_table)
        if (e.rate == rate)
            return e.speed;
    return 0;
}

void serial_make_raw(struct termios *t, int parity)
{
    t->c_oflag &= ~(tcflag_t)OPOST;
    t->c_lflag &= ~(tcflag_t)(ICANON | ECHO | ECHOE | ECHONL | ISIG | IEXTEN);
    t->c_cflag &= ~(tcflag_t)(CSIZE | CSTOPB | CRTSCTS | PARENB | PARODD | CMSPAR);
    t->c_cflag |= CS8 | CREAD | CLOCAL;
    switch (parity) {
    case 1: t->c_cflag |= PARENB | PARODD; break;
    case 2: t->c_cflag |= PARENB; break;
    case 3: t->c_cflag |= PARENB | PARODD | CMSPAR; break;
    case 4: t->c_cflag |= PARENB | CMSPAR; break;
    default: break;
    }
    t->c_iflag &= ~(tcflag_t)(IGNBRK | BRKINT | ICRNL | INLCR | IGNCR | IXON | IXOFF | IXANY | ISTRIP | PARMRK);
    t->c_cc[VMIN] = 1;
    t->c_cc[VTIME] = 1;
}

int serial_status_get(char *buf, size_t size)
{
    pthread_mutex_lock(&status_mutex);
    int n = snprintf(buf, size, "%s", status_text);
    pthread_mutex_unlock(&status_mutex);
    return n;
}

int serial_read_event(int fd)
{
    uint64_t v = 0;
    if (read(fd, &v, sizeof v) != (ssize_t)sizeof v)
        return 0;
    int val = v == 1 || v == 2 ? (int)v : 0;
    log_printf("%s: val=%d\n", NAME, (int)v);
    return val;
}

void serial_drain_fd(int fd)
{
    uint64_t v;
    while (read(fd, &v, sizeof v) == (ssize_t)sizeof v) {
    }
}

void serial_send_response(int fd, const void *data, size_t length)
{
    if (write(fd, data, length) < 0)
        log_printf("serial_send_response write: %s\n", strerror(errno));
}

void serial_change_protocol(int id)
{
    if (!params)
        return;
    params->Serial.StreamID = (uint8_t)id;
    log_printf("%s: protocol=%d baudrate=%d val=%d\n", NAME, id, (int)params->Serial.BaudRate, 3);
    restart_asked = true;
    if (event_fd >= 0) {
        uint64_t v = 3;
        if (write(event_fd, &v, sizeof v) < 0) {
        }
    }
}

void serial_change_baudrate(int rate)
{
    if (!params)
        return;
    params->Serial.BaudRate = (uint32_t)rate;
    log_printf("%s: baudrate=%d val=%d\n", NAME, rate, 2);
    restart_asked = true;
    if (event_fd >= 0) {
        uint64_t v = 2;
        if (write(event_fd, &v, sizeof v) < 0) {
        }
    }
}

void serial_global_quit()
{
    log_printf("%s: hi\n", NAME);
    pthread_mutex_lock(&global_quit.mutex);
    int fd = quit_eventfd;
    pthread_mutex_unlock(&global_quit.mutex);
    if (fd >= 0 && fd == event_fd) {
        uint64_t one = 1;
        if (write(fd, &one, sizeof one) < 0) {
        }
    }
}

int serial_tcp_server(int tty, int efd)
{
    (void)efd;   // the thread's one event descriptor
    log_printf("%s: started\n", NAME);
    const int mode = params->Serial.StreamID;
    rx_bytes = tx_bytes = 0;
    int listener = -1, result = 0;
    while (!stopping()) {
        int conn = -1;
        char who[64] = "";
        if (mode == 3) {
            if (listener < 0 && (listener = make_socket(mode)) < 0)
                return -1;
            set_status("Streaming, waiting for connection");
            struct pollfd p[2] = {{listener, POLLIN, 0}, {event_fd, POLLIN, 0}};
            if (poll(p, 2, 1000) <= 0 || !(p[0].revents & POLLIN)) {
                if (p[1].revents & POLLIN)
                    serial_drain_fd(event_fd);
                if (restart_asked.exchange(false)) {
                    stream_set_state(&serial_run_state, STREAM_STOP);
                    result = 1;
                    break;
                }
                continue;
            }
            struct sockaddr_in from = {}, local = {};
            socklen_t fl = sizeof from, ll = sizeof local;
            conn = accept4(listener, (struct sockaddr *)&from, &fl, SOCK_CLOEXEC);
            if (conn < 0) {
                log_printf("accept: %s\n", strerror(errno));
                continue;
            }
            getsockname(conn, (struct sockaddr *)&local, &ll);
            char to[64];
            addr_text(&from, who, sizeof who);
            addr_text(&local, to, sizeof to);
            log_printf("Serial TCP accepted connection from %s to %s\n", who, to);
            set_status("Streaming, accepted from %s", who);
        } else {
            if ((conn = make_socket(mode)) < 0)
                return -1;
            struct sockaddr_in peer = peer_addr();
            if (connect(conn, (struct sockaddr *)&peer, sizeof peer) < 0) {
                log_printf("connect: %s\n", strerror(errno));
                close(conn);
                if (wait_event(CONNECT_RETRY_MS) && restart_asked.exchange(false) && !stopping()) {
                    stream_set_state(&serial_run_state, STREAM_STOP);
                    result = 1;
                    break;
                }
                continue;
            }
            addr_text(&peer, who, sizeof who);
            log_printf("Connected to %s\n", who);
            set_status("Streaming, connected to %s", who);
        }
        if (mode != 5) {
            int one = 1;
            setsockopt(conn, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        }
        RelayEnd end = relay(mode, conn, tty, listener);
        close(conn);
        log_printf("Serial connection closed\n");
        if (end == RELAY_STOP)
            break;
        if (end == RELAY_RESTART) {
            result = 1;
            break;
        }
    }
    if (listener >= 0)
        close(listener);
    return result;
}

void *serialThrFxn(void *arg)
{
    SerialEnv *env = static_cast<SerialEnv *>(arg);
    params = env->params ? env->params : get_param_block();
    thread_init_begin(env->name);
    stream_register(&serial_run_state, nullptr, SERIAL_STREAM);
    bool have_event = make_event_fd();
    thread_init_end(env->name);
    rendezvous_meet(env->hRendezvousInit, env->name);
    if (params->Serial.StartMode == 1)
        stream_set_state(&serial_run_state, STREAM_START);

    while (have_event && !quit_requested()) {
        set_status("Stopped");
        if (!wait_start())
            break;
        serial_drain_fd(event_fd);
        const int id = params->Serial.StreamID;
        log_printf("%s: started, StreamID=%d\n", NAME, id);
        if (id != 1 && id != 2 && id != 3 && id != 4 && id != 5 && id != 8) {
            // Stopped before the line is out, so a start that follows it is not lost.
            stream_set_state(&serial_run_state, STREAM_STOP);
            log_error("%s: StreamID %d is not a serial mode\n", NAME, id);
            continue;
        }
        const uint32_t rate = params->Serial.BaudRate;
        speed_t speed = serial_baud_speed(rate);
        if (!speed) {
            log_error("%s: baud rate %u is not supported, service ends\n", NAME, (unsigned)rate);
            break;
        }
        struct termios saved;
        int tty = open_port(&saved, speed, rate);
        if (tty < 0) {
            log_error("%s: the port cannot be used, service ends\n", NAME);
            break;
        }
        int result = 0;
        if (id == 8) {
            serial_drain_fd(event_fd);
            if (platform_serial_set_console(tty) != 0)
                log_error("setconsole TIOCCONS: %s\n", strerror(errno));
            tcflush(tty, TCIFLUSH);
            platform_serial_tcsetattr(tty, TCSANOW, &saved);
            close(tty);
            tty = -1;
            spawn_detached("/sbin/getty", "-n", "-l", "/bin/sh", "115200", PORT_PATH, nullptr);
            while (!wait_event(1000)) {
            }
            if (restart_asked.exchange(false) && !stopping()) {
                stream_set_state(&serial_run_state, STREAM_STOP);
                result = 1;
            }
        } else if (id >= 3) {
            serial_drain_fd(event_fd);
            result = serial_tcp_server(tty, event_fd);
        } else {
            send_keyframes(tty, id);
            if (restart_asked.exchange(false) && !quit_requested()) {
                stream_set_state(&serial_run_state, STREAM_STOP);
                result = 1;
            }
        }
        if (result != 0 && params->Serial.StartMode == 1 && !quit_requested()) {
            // After a socket failure wait before trying again, so a taken port is no busy loop.
            if (result < 0) {
                log_printf("%s: restarting in %d s\n", NAME, RESTART_WAIT_MS / 1000);
                set_status("Stopped");
                if (!wait_event(RESTART_WAIT_MS) || !stopping())
                    stream_set_state(&serial_run_state, STREAM_START);
            } else {
                stream_set_state(&serial_run_state, STREAM_START);
            }
        }
        if (result < 0 && params->Serial.StartMode != 1)
            stream_set_state(&serial_run_state, STREAM_STOP);
        if (tty >= 0) {
            tcflush(tty, TCIFLUSH);
            platform_serial_tcsetattr(tty, TCSANOW, &saved);
            close(tty);
        }
        log_printf("%s: stopped\n", NAME);
    }
    set_status("Stopped");
    stream_set_state(&serial_run_state, STREAM_STOP);
    myRendezvousCleanup(env->hRendezvousCleanup, env->name);
    return nullptr;
}
