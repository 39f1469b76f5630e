// IP learning: after a button press the interface takes a temporary address and a special MAC
// (the vendor prefix, then FF:FF:FF) and listens to every frame; the IPv4 destination of the
// first frame sent to that MAC becomes its address, until the next network configuration.
#include "core/board.h"
#include "core/log.h"
#include "core/param.h"
#include "core/quit.h"
#include "core/util.h"
#include "platform/platform.h"
#include "services/network.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

volatile int ip_config_enabled;

namespace {
pthread_mutex_t start_mutex = PTHREAD_MUTEX_INITIALIZER;

double monotonic_seconds()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + t.tv_nsec / 1e9;
}

void flash_led(int times, int on_ms, int off_ms)
{
    for (int i = 0; i < times; i++) {
        user_gpio_write(GPIO_LED_ACTIVITY, 1);
        sleep_ms((unsigned)on_ms);
        user_gpio_write(GPIO_LED_ACTIVITY, 0);
        if (off_ms)
            sleep_ms((unsigned)off_ms);
    }
}

int open_packet_socket()
{
    int s = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL));
    if (s < 0)
        return -1;
    struct sockaddr_ll ll = {};
    ll.sll_family = AF_PACKET;
    ll.sll_protocol = htons(ETH_P_ALL);
    ll.sll_ifindex = (int)if_nametoindex(platform_eth());
    if (ll.sll_ifindex == 0 || bind(s, (struct sockaddr *)&ll, sizeof ll) < 0) {
        close(s);
        return -1;
    }
    return s;
}

void *ip_config_thread(void *arg)
{
    ParamBlock *p = static_cast<ParamBlock *>(arg);
    const double start = monotonic_seconds();
    const int window = platform_ip_learning_window();
    uint8_t special[6] = {p->NetworkMACAddr[0], p->NetworkMACAddr[1], p->NetworkMACAddr[2], 0xff, 0xff, 0xff};
    char mac[20];
    format_mac(mac, sizeof mac, special);
    int s = open_packet_socket();
    if (s < 0) {
        log_printf("socket: %s\n", strerror(errno));
        ip_config_enabled = 0;
        return nullptr;
    }
    log_printf("%s started\n", "ip_config_thread");
    wait_child(spawn_child("/sbin/ifconfig", "eth0", "192.168.24.53", "netmask", "255.255.0.0", "hw", "ether", mac, "up",
                           (const char *)nullptr));
    static uint8_t frame[65536];
    bool learnt = false;
    time_t last_flash = 0;
    while (monotonic_seconds() - start < window && !quit_requested()) {
        time_t now = time(nullptr);
        if (now != last_flash) {
            last_flash = now;
            flash_led(1, 100, 0);
        }
        struct pollfd pf = {s, POLLIN, 0};
        int r = poll(&pf, 1, 100);
        if (r < 0) {
            if (errno != EINTR)
                log_printf("poll: %s\n", strerror(errno));
            continue;
        }
        if (r == 0)
            continue;
        ssize_t n = recv(s, frame, sizeof frame - 1, 0);
        if (n < 0) {
            log_printf("recv: %s\n", strerror(errno));
            continue;
        }
        if (n < 14 || memcmp(frame, special, 6) != 0)
            continue;
        log_printf("Dest: %02x:%02x:%02x:%02x:%02x:%02x  Src: %02x:%02x:%02x:%02x:%02x:%02x  Code:%u\n", frame[0],
                   frame[1], frame[2], frame[3], frame[4], frame[5], frame[6], frame[7], frame[8], frame[9], frame[10],
                   frame[11], (unsigned)(frame[12] << 8 | frame[13]));
        uint32_t dst = ip_learn_frame(frame, (size_t)n, special);
        if (!dst)
            continue;
        const uint8_t *ip = frame + 14;
        char src_text[INET_ADDRSTRLEN], dst_text[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, ip + 12, src_text, sizeof src_text);
        inet_ntop(AF_INET, ip + 16, dst_text, sizeof dst_text);
        log_printf("ip hl=%d v=%d tos=%d len=%d id=%d ttl=%d p=%d src=%s dst=%s\n", ip[0] & 15, ip[0] >> 4, ip[1],
                   ip[2] << 8 | ip[3], ip[4] << 8 | ip[5], ip[8], ip[9], src_text, dst_text);
        pthread_mutex_lock(&net_config_mutex);
        request_httpd_restart();
        wait_child(spawn_child("/sbin/ifconfig", "eth0", dst_text, "netmask", "255.0.0.0", "hw", "ether", mac, "up",
                               (const char *)nullptr));
        pthread_mutex_unlock(&net_config_mutex);
        flash_led(10, 50, 50);
        learnt = true;
        break;
    }
    close(s);
    // On quit the shutdown owns the network; only a time-out restores the configuration.
    if (!learnt && !quit_requested())
        init_network(p);
    ip_config_enabled = 0;
    log_printf("%s finished\n", "ip_config_thread");
    return nullptr;
}
} // namespace

uint32_t ip_learn_frame(const uint8_t *frame, size_t len, const uint8_t special_mac[6])
{
    // A whole IPv4 header after the Ethernet header: 14 + 20 bytes.
    if (!frame || len < 34 || memcmp(frame, special_mac, 6) != 0)
        return 0;
    if (frame[12] != 0x08 || frame[13] != 0x00)
        return 0;
    const uint8_t *ip = frame + 14;
    if ((ip[0] >> 4) != 4 || (ip[0] & 15) == 0)
        return 0;
    uint32_t dst;
    memcpy(&dst, ip + 16, 4);
    uint32_t h = ntohl(dst);
    if (h == 0 || h == 0xffffffffu || (h >> 28) == 0xe)
        return 0;
    return dst;
}

void start_ip_config(ParamBlock *params)
{
    log_printf("ip_config_enabled=%d\n", ip_config_enabled);
    pthread_mutex_lock(&start_mutex);
    if (!ip_config_enabled) {
        ip_config_enabled = 1;
        pthread_t t;
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        if (pthread_create(&t, &attr, ip_config_thread, params) != 0) {
            log_printf("%s: cannot start: %s\n", "start_ip_config", strerror(errno));
            ip_config_enabled = 0;
        }
        pthread_attr_destroy(&attr);
    }
    pthread_mutex_unlock(&start_mutex);
}
