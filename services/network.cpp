#include "services/network.h"

#include "core/log.h"
#include "core/param.h"
#include "core/quit.h"
#include "core/util.h"
#include "platform/platform.h"
#include "web/httpd.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

pthread_mutex_t net_config_mutex = PTHREAD_MUTEX_INITIALIZER;

namespace {
// Whole runs of init_network, one at a time: a commit, the IP learning and main may all start
// one, and two at once would join the announcer twice or start two time clients.
pthread_mutex_t init_lock = PTHREAD_MUTEX_INITIALIZER;
pid_t ntpd_pid = -1;

// Re-initialisations asked for by changes: one runs at a time and at most one waits behind it,
// so a burst of changes costs two runs (and two web server restarts), not one each.
struct Reinit {
    pthread_mutex_t mutex;
    bool running;       // the worker thread exists
    bool pending;       // a run is asked for that has not begun yet
    ParamBlock *params;
};
Reinit reinit = {PTHREAD_MUTEX_INITIALIZER, false, false, nullptr};

void *reinit_thread(void *)
{
    pthread_mutex_lock(&reinit.mutex);
    // Quit: the shutdown stops the network services, and no run may start them again after it.
    while (reinit.pending && !quit_requested()) {
        reinit.pending = false;
        ParamBlock *p = reinit.params;
        pthread_mutex_unlock(&reinit.mutex);
        init_network(p);
        pthread_mutex_lock(&reinit.mutex);
    }
    reinit.pending = false;
    reinit.running = false;
    pthread_mutex_unlock(&reinit.mutex);
    return nullptr;
}

const NetworkAnnouncer *announcer;

void announcer_stop()
{
    if (announcer && announcer->stop)
        announcer->stop();
}

// Logs the command line ("cmd: ..."), starts the child; its pid or -1.
pid_t spawn_argv(const char *path, std::vector<const char *> args)
{
    args.insert(args.begin(), path);
    args.push_back(nullptr);
    char line[512];
    int n = snprintf(line, sizeof line, "cmd: %s", path);
    for (size_t i = 1; i + 1 < args.size() && n < (int)sizeof line; i++)
        n += snprintf(line + n, sizeof line - (size_t)n, " %s", args[i]);
    log_printf("%s\n", line);
    pid_t pid = platform_spawn_child(path, const_cast<char *const *>(args.data()));
    if (pid < 0)
        log_printf("fork: %s\n", strerror(errno));
    return pid;
}

void run_and_wait(const char *path, std::vector<const char *> args)
{
    wait_child(spawn_argv(path, std::move(args)));
}

void ethtool_step(const ParamBlock *p)
{
    int s = p->NetworkSpeed;
    int speed = (s == 1 || s == 2) ? 10 : 100;
    int full = !(s == 1 || s == 3);
    if (platform_ethtool_set(speed, full, s == 0) < 0)
        log_printf("SIOCETHTOOL SSET: %s\n", strerror(errno));
}

void write_resolv_conf(const ParamNet &net)
{
    char path[512];
    platform_path("/etc/resolv.conf", path, sizeof path);
    char dir[512];
    snprintf(dir, sizeof dir, "%s", path);
    if (char *slash = strrchr(dir, '/')) {
        *slash = 0;
        mkdir(dir, 0755);   // a fresh board directory has no /etc yet
    }
    FILE *f = fopen(path, "w");
    if (!f) {
        log_printf("/etc/resolv.conf: %s\n", strerror(errno));
        return;
    }
    char ip[20];
    if (net.DNS1) {
        format_ipv4(ip, sizeof ip, (const uint8_t *)&net.DNS1);
        fprintf(f, "nameserver %s\n", ip);
    }
    if (net.DNS2) {
        format_ipv4(ip, sizeof ip, (const uint8_t *)&net.DNS2);
        fprintf(f, "nameserver %s\n", ip);
    }
    fclose(f);
}

void configure_interface(const ParamBlock *p, const char *mac)
{
    int mode = p->NetworkMode;
    log_printf("setting network mode %d\n", mode);
    platform_signal_children("/sbin/udhcpc", SIGTERM);
    ethtool_step(p);
    if (mode == 1 || mode == 2) {
        const ParamNet &net = p->Net[mode - 1];
        char addr[20], mask[20], gw[20];
        format_ipv4(addr, sizeof addr, (const uint8_t *)&net.Addr);
        format_ipv4(mask, sizeof mask, (const uint8_t *)&net.Mask);
        format_ipv4(gw, sizeof gw, (const uint8_t *)&net.Gateway);
        log_printf("addr %s mask %s\n", addr, mask);
        run_and_wait("/sbin/ifconfig", {"eth0", addr, "netmask", mask, "hw", "ether", mac, "up"});
        write_resolv_conf(net);
        run_and_wait("/sbin/route", {"del", "default", "gw", "0.0.0.0", "dev", "eth0"});
        if (net.Gateway)
            run_and_wait("/sbin/route", {"add", "default", "gw", gw, "dev", "eth0", "metric", "0"});
        else
            run_and_wait("/sbin/route", {"add", "-net", "224.0.0.0/3", "dev", "eth0"});
        return;
    }
    run_and_wait("/sbin/ifconfig", {"eth0", "0.0.0.0", "hw", "ether", mac, "up"});
    char host[sizeof p->NetworkHostname + 1];
    memcpy(host, p->NetworkHostname, sizeof p->NetworkHostname);
    host[sizeof p->NetworkHostname] = 0;
    spawn_argv("/sbin/udhcpc", {"-s", "/etc/init.d/dhcp.sh", "-h", host});   // left running
}
} // namespace

void network_set_announcer(const NetworkAnnouncer *ops)
{
    announcer = ops;
}

int format_mac(char *buf, size_t size, const uint8_t *b)
{
    return snprintf(buf, size, "%02x:%02x:%02x:%02x:%02x:%02x", b[0], b[1], b[2], b[3], b[4], b[5]);
}

int format_ipv4(char *buf, size_t size, const uint8_t *b)
{
    return snprintf(buf, size, "%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
}

pid_t spawn_child(const char *path, ...)
{
    std::vector<const char *> args;
    va_list ap;
    va_start(ap, path);
    while (const char *a = va_arg(ap, const char *))
        args.push_back(a);
    va_end(ap);
    return spawn_argv(path, std::move(args));
}

int wait_child(pid_t pid)
{
    return pid > 0 ? platform_wait_child(pid) : -1;
}

void request_httpd_restart()
{
    if (httpd_restart_request == -1)
        return;
    httpd_restart_request = 1;
    for (int i = 0; i < 10 && httpd_restart_request; i++)
        sleep_ms(100);
}

void restart_ntpd(ParamBlock *p)
{
    // Only the daemon this program started: never a host process found by its name.
    if (ntpd_pid > 0) {
        platform_signal_children("/usr/sbin/ntpd", SIGTERM);
        wait_child(ntpd_pid);
        ntpd_pid = -1;
    }
    if (!p || !p->NetworkTimeServer[0])
        return;
    char server[sizeof p->NetworkTimeServer + 1];
    memcpy(server, p->NetworkTimeServer, sizeof p->NetworkTimeServer);
    server[sizeof p->NetworkTimeServer] = 0;
    ntpd_pid = spawn_child("/usr/sbin/ntpd", "-n", "-p", server, (const char *)nullptr);
}

void stop_network_services()
{
    announcer_stop();
    pthread_mutex_lock(&init_lock);
    restart_ntpd(nullptr);
    pthread_mutex_unlock(&init_lock);
}

int network_reinit_request(ParamBlock *p)
{
    pthread_mutex_lock(&reinit.mutex);
    reinit.params = p;
    // A run that has not begun reads the settings when it begins: this change rides on it.
    bool merged = reinit.pending;
    reinit.pending = true;
    int rc = 0;
    if (!reinit.running) {
        pthread_t t;
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        rc = pthread_create(&t, &attr, reinit_thread, nullptr);
        pthread_attr_destroy(&attr);
        if (rc == 0) {
            reinit.running = true;
        } else {
            reinit.pending = false;
            log_error("%s %d: Failed to create network thread: %s\n", "network_reinit_request", __LINE__,
                      strerror(rc));
            rc = -1;
        }
    } else if (!merged) {
        log_printf("%s: a run follows the one in progress\n", "network_reinit_request");
    }
    pthread_mutex_unlock(&reinit.mutex);
    return rc;
}

int init_network(ParamBlock *p)
{
    pthread_mutex_lock(&init_lock);
    log_printf("%s: start\n", "init_network");
    announcer_stop();
    pthread_mutex_lock(&net_config_mutex);
    request_httpd_restart();
    char mac[20];
    format_mac(mac, sizeof mac, p->NetworkMACAddr);
    configure_interface(p, mac);
    pthread_mutex_unlock(&net_config_mutex);
    if (announcer && announcer->start && !(announcer->running && announcer->running()) && !p->NetworkDisableMDNS &&
        p->NetworkHostname[0])
        announcer->start(p);
    init_log_udp(p);
    restart_ntpd(p);
    pthread_mutex_unlock(&init_lock);
    return 0;
}
