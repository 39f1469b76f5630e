#include "services/mdns.h"

#include "core/log.h"
#include "core/param.h"
#include "core/quit.h"
#include "platform/platform.h"
#include "services/mdns_daemon.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const char *const SERVICE_PATH = "/index.htm";
enum { HTTP_PORT = 80, FRAME_SIZE = 1000, RECORDS = 4 };

// Control of the running thread; guarded by control_mutex (network changes may come from
// several threads).
pthread_mutex_t control_mutex = PTHREAD_MUTEX_INITIALIZER;
int mdns_pipe[2] = {-1, -1};
pthread_t mdns_tid;
bool mdns_started;

// The IPv4 address of the interface standing for "eth0" (network order), 0 when it has none.
uint32_t eth_address()
{
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return 0;
    struct ifreq ifr = {};
    snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "%s", platform_eth());
    ifr.ifr_addr.sa_family = AF_INET;
    uint32_t addr = 0;
    if (ioctl(s, SIOCGIFADDR, &ifr) == 0)
        addr = ((struct sockaddr_in *)&ifr.ifr_addr)->sin_addr.s_addr;
    close(s);
    return addr;
}

// Waits up to `ms` for the control pipe; true when it asks the thread to end (or quit is set).
bool wait_stop(int pipe_fd, int ms)
{
    fd_set rd;
    FD_ZERO(&rd);
    FD_SET(pipe_fd, &rd);
    struct timeval tv = {ms / 1000, (ms % 1000) * 1000};
    if (select(pipe_fd + 1, &rd, nullptr, nullptr, &tv) > 0) {
        char c;
        if (read(pipe_fd, &c, 1) >= 0)
            return true;
    }
    return quit_requested() != 0;
}

bool send_message(int sock, dns_message *m, uint32_t ip, uint16_t port)
{
    struct sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = ip;
    to.sin_port = port;
    const uint8_t *pkt = dns_message_header(m);
    int len = dns_message_length(m);
    return sendto(sock, pkt, (size_t)len, 0, (struct sockaddr *)&to, sizeof to) == len;
}

} // namespace

int mdns_open_socket()
{
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return -1;
    int on = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const char *eth = platform_eth();
    // Receive and send only on our interface: a run on lo keeps every packet on this machine.
    if (setsockopt(s, SOL_SOCKET, SO_BINDTODEVICE, eth, (socklen_t)strlen(eth)) != 0)
        log_printf("mdns: SO_BINDTODEVICE %s: %s\n", eth, strerror(errno));
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(MDNS_PORT);
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    struct ip_mreqn mreq = {};
    mreq.imr_multiaddr.s_addr = htonl(0xE00000FBu);
    mreq.imr_ifindex = (int)if_nametoindex(eth);
    struct ip_mreqn mif = {};
    mif.imr_ifindex = mreq.imr_ifindex;
    if (bind(s, (struct sockaddr *)&addr, sizeof addr) != 0 ||
        setsockopt(s, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq) != 0 ||
        setsockopt(s, IPPROTO_IP, IP_MULTICAST_IF, &mif, sizeof mif) != 0) {
        int e = errno;
        close(s);
        errno = e;
        return -1;
    }
    // Some stacks take the TTL as one byte, others as an int.
    unsigned char ttl8 = 255;
    int ttl = 255;
    setsockopt(s, IPPROTO_IP, IP_MULTICAST_TTL, &ttl8, sizeof ttl8);
    setsockopt(s, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
    int flags = fcntl(s, F_GETFL);
    fcntl(s, F_SETFL, flags | O_NONBLOCK);
    return s;
}

void mdns_conflict(const char *name, int type, void *arg)
{
    log_printf("conflicting name detected %s for type %d\n", log_text(name).text, type);
    if (arg)
        *(void **)arg = nullptr;
}

void *mdns_thread(void *arg)
{
    ParamBlock *params = (ParamBlock *)arg;
    int pipe_fd = mdns_pipe[0];
    char host[sizeof params->NetworkHostname + 1];
    snprintf(host, sizeof host, "%.*s", (int)sizeof params->NetworkHostname, params->NetworkHostname);
    char host_local[64], service[80];
    snprintf(host_local, sizeof host_local, "%s.local.", host);
    snprintf(service, sizeof service, "%s._http._tcp.local.", host);

    mdns_daemon *d = mdnsd_create(DNS_CLASS_IN, FRAME_SIZE);
    dns_message *m = (dns_message *)malloc(sizeof(dns_message));
    uint8_t *buf = (uint8_t *)malloc(0xFFFF);
    mdns_record *rec[RECORDS] = {};
    int sock = -1;
    uint32_t addr = 0;
    if (!d || !m || !buf) {
        log_printf("%s: out of memory\n", "mdns_thread");
        goto done;
    }
    while ((sock = mdns_open_socket()) < 0) {
        log_printf("can't create socket: %s\n", strerror(errno));
        if (wait_stop(pipe_fd, 1000))
            goto done;
    }
    while ((addr = eth_address()) == 0)
        if (wait_stop(pipe_fd, 1000))
            goto done;

    {
        // Our address as the source of what we multicast (lo's own has only host scope).
        struct ip_mreqn mif = {};
        mif.imr_address.s_addr = addr;
        mif.imr_ifindex = (int)if_nametoindex(platform_eth());
        setsockopt(sock, IPPROTO_IP, IP_MULTICAST_IF, &mif, sizeof mif);
        char addr_text[16];
        inet_ntop(AF_INET, &addr, addr_text, sizeof addr_text);
        log_printf("mDNS: Announcing .local site named '%s' to %s:%d and extra path '%s'\n", host, addr_text,
                   MDNS_PORT, SERVICE_PATH);
    }
    rec[0] = mdnsd_publish_shared(d, "_http._tcp.local.", DNS_TYPE_PTR, 120);
    if (rec[0])
        mdnsd_set_rdata_host(d, rec[0], service);
    rec[1] = mdnsd_publish_unique(d, service, DNS_TYPE_SRV, 600, mdns_conflict, &rec[1]);
    if (rec[1])
        mdnsd_set_rdata_srv(d, rec[1], 0, 0, HTTP_PORT, host_local);
    rec[2] = mdnsd_publish_unique(d, host_local, DNS_TYPE_A, 600, mdns_conflict, &rec[2]);
    if (rec[2])
        mdnsd_set_rdata_ipv4(d, rec[2], addr);
    rec[3] = mdnsd_publish_unique(d, service, DNS_TYPE_TXT, 600, mdns_conflict, &rec[3]);
    if (rec[3]) {
        strtab *t = strtab_create(11);
        uint8_t txt[256];
        int n = -1;
        if (t) {
            strtab_set(t, "path", SERVICE_PATH);
            n = txt_from_table(t, txt, sizeof txt);
            strtab_free(t);
        }
        if (n > 0)
            mdnsd_set_rdata_raw(d, rec[3], txt, (uint16_t)n);
    }

    while (!quit_requested()) {
        struct timeval tv = mdnsd_sleep(d);
        if (tv.tv_sec == 0 && tv.tv_usec == 0)
            tv.tv_usec = 50000;
        fd_set rd;
        FD_ZERO(&rd);
        FD_SET(sock, &rd);
        FD_SET(pipe_fd, &rd);
        int r = select((sock > pipe_fd ? sock : pipe_fd) + 1, &rd, nullptr, nullptr, &tv);
        if (r < 0 && errno != EINTR)
            break;
        if (r > 0 && FD_ISSET(pipe_fd, &rd)) {
            char c;
            if (read(pipe_fd, &c, 1) < 0) {
            }
            break;
        }
        bool failed = false;
        if (r > 0 && FD_ISSET(sock, &rd)) {
            for (;;) {
                struct sockaddr_in from;
                socklen_t flen = sizeof from;
                ssize_t n = recvfrom(sock, buf, 0xFFFF, 0, (struct sockaddr *)&from, &flen);
                if (n < 0) {
                    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                        log_printf("can't read from socket %d: %s\n", errno, strerror(errno));
                        failed = true;
                    }
                    break;
                }
                if (dns_message_parse(m, buf, (size_t)n) == 0)
                    mdnsd_in(d, m, from.sin_addr.s_addr, ntohs(from.sin_port));
            }
        }
        if (failed)
            break;
        uint32_t to;
        uint16_t port;
        while (mdnsd_out(d, m, &to, &port)) {
            if (!send_message(sock, m, to, port)) {
                log_printf("can't write to socket: %s\n", strerror(errno));
                failed = true;
                break;
            }
        }
        mdnsd_end_pass(d);
        if (failed)
            break;
    }

    // Goodbyes (ttl 0) for everything still claimed, so that caches forget us at once.
    for (mdns_record *r : rec)
        if (r)
            mdnsd_withdraw(d, r);
    mdnsd_begin_shutdown(d);
    if (sock >= 0) {
        uint32_t to;
        uint16_t port;
        while (mdnsd_out(d, m, &to, &port))
            if (!send_message(sock, m, to, port))
                break;
    }
done:
    mdnsd_destroy(d);
    free(m);
    free(buf);
    if (sock >= 0)
        close(sock);
    log_printf("%s: exiting\n", "mdns_thread");
    return nullptr;
}

void stop_mdns()
{
    pthread_mutex_lock(&control_mutex);
    if (mdns_started) {
        log_printf("mdns: stopping\n");
        char c = 1;
        if (write(mdns_pipe[1], &c, 1) != 1)
            log_printf("mdns: %s\n", strerror(errno));
        pthread_join(mdns_tid, nullptr);
        mdns_started = false;
    }
    for (int &fd : mdns_pipe) {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
    pthread_mutex_unlock(&control_mutex);
}

int mdns_restart(ParamBlock *params)
{
    stop_mdns();
    if (!params || params->NetworkDisableMDNS || params->NetworkHostname[0] == 0)
        return 0;
    pthread_mutex_lock(&control_mutex);
    int ret = 0;
    if (mdns_started) {
        // Another network change started it meanwhile.
    } else if (pipe2(mdns_pipe, O_CLOEXEC) != 0) {
        perror("mdns_pipe");
        mdns_pipe[0] = mdns_pipe[1] = -1;
        ret = -1;
    } else if (pthread_create(&mdns_tid, nullptr, mdns_thread, params) != 0) {
        log_error("%s %d: Failed to create mdns thread\n", "mdns_restart", __LINE__);
        for (int &fd : mdns_pipe) {
            close(fd);
            fd = -1;
        }
        ret = -1;
    } else {
        mdns_started = true;
    }
    pthread_mutex_unlock(&control_mutex);
    return ret;
}

bool mdns_running()
{
    pthread_mutex_lock(&control_mutex);
    bool r = mdns_started;
    pthread_mutex_unlock(&control_mutex);
    return r;
}

// ---- string table ----

struct strtab_entry {
    char *key;
    char *value;
    strtab_entry *next;
};

struct strtab {
    int size;
    strtab_entry *slots;   // the first entry of each bucket lives here, the rest in its chain
};

namespace {

unsigned elf_hash(const char *s)
{
    unsigned long h = 0;
    while (*s) {
        h = (h << 4) + (unsigned char)*s++;
        unsigned long g = h & 0xF0000000UL;
        if (g)
            h ^= g >> 24;
        h &= ~g;
    }
    return (unsigned)h;
}

strtab_entry *strtab_find(const strtab *t, const char *key)
{
    for (strtab_entry *e = &t->slots[elf_hash(key) % t->size]; e && e->key; e = e->next)
        if (strcmp(e->key, key) == 0)
            return e;
    return nullptr;
}

} // namespace

strtab *strtab_create(int buckets)
{
    if (buckets <= 0)
        return nullptr;
    strtab *t = (strtab *)calloc(1, sizeof *t);
    if (!t)
        return nullptr;
    t->size = buckets;
    t->slots = (strtab_entry *)calloc((size_t)buckets, sizeof *t->slots);
    if (!t->slots) {
        free(t);
        return nullptr;
    }
    return t;
}

void strtab_set(strtab *t, const char *key, const char *value)
{
    if (!t || !key)
        return;
    char *v = strdup(value ? value : "");
    if (!v)
        return;
    if (strtab_entry *e = strtab_find(t, key)) {
        free(e->value);
        e->value = v;
        return;
    }
    char *k = strdup(key);
    if (!k) {
        free(v);
        return;
    }
    strtab_entry *slot = &t->slots[elf_hash(key) % t->size];
    if (!slot->key) {
        slot->key = k;
        slot->value = v;
        return;
    }
    strtab_entry *e = (strtab_entry *)calloc(1, sizeof *e);
    if (!e) {
        free(k);
        free(v);
        return;
    }
    e->key = k;
    e->value = v;
    e->next = slot->next;
    slot->next = e;
}

const char *strtab_get(const strtab *t, const char *key)
{
    strtab_entry *e = t && key ? strtab_find(t, key) : nullptr;
    return e ? e->value : nullptr;
}

void strtab_walk(const strtab *t, void (*fn)(const char *, const char *, void *), void *arg)
{
    if (!t)
        return;
    for (int i = 0; i < t->size; i++)
        for (strtab_entry *e = &t->slots[i]; e && e->key; e = e->next)
            fn(e->key, e->value, arg);
}

void strtab_free(strtab *t)
{
    if (!t)
        return;
    for (int i = 0; i < t->size; i++) {
        strtab_entry *e = t->slots[i].next;
        while (e) {
            strtab_entry *next = e->next;
            free(e->key);
            free(e->value);
            free(e);
            e = next;
        }
        free(t->slots[i].key);
        free(t->slots[i].value);
    }
    free(t->slots);
    free(t);
}

// ---- TXT rdata ----

namespace {

struct TxtOut {
    uint8_t *out;
    size_t size;
    size_t len;
    bool overflow;
};

void txt_put(const char *key, const char *value, void *arg)
{
    TxtOut *o = (TxtOut *)arg;
    size_t klen = strlen(key);
    size_t vlen = strlen(value);
    size_t n = klen + (vlen ? 1 + vlen : 0);
    if (n > 255 || o->len + 1 + n > o->size) {
        o->overflow = true;
        return;
    }
    o->out[o->len++] = (uint8_t)n;
    memcpy(o->out + o->len, key, klen);
    o->len += klen;
    if (vlen) {
        o->out[o->len++] = '=';
        memcpy(o->out + o->len, value, vlen);
        o->len += vlen;
    }
}

} // namespace

int txt_from_table(const strtab *t, uint8_t *out, size_t size)
{
    TxtOut o = {out, size, 0, false};
    strtab_walk(t, txt_put, &o);
    if (o.overflow)
        return -1;
    if (o.len == 0) {
        if (size < 1)
            return -1;
        out[0] = 0;
        return 1;
    }
    return (int)o.len;
}

strtab *txt_to_table(const uint8_t *txt, size_t length)
{
    strtab *t = strtab_create(11);
    if (!t)
        return nullptr;
    size_t i = 0;
    while (i < length) {
        size_t n = txt[i++];
        if (n > length - i) {
            strtab_free(t);
            return nullptr;
        }
        if (n) {
            char item[256];
            memcpy(item, txt + i, n);
            item[n] = 0;
            char *eq = strchr(item, '=');
            if (eq)
                *eq = 0;
            if (item[0])
                strtab_set(t, item, eq ? eq + 1 : "");
        }
        i += n;
    }
    return t;
}

void close_inherited_fds()
{
    for (int fd = 3; fd < 256; fd++)
        close(fd);
}
