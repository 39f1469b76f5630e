#include "services/own_ip.h"

#include "platform/platform.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

namespace {
std::mutex own_ip_mutex;
char own_ip[16] = "0.0.0.0";
time_t own_ip_asked;
bool own_ip_valid;

void query()
{
    strcpy(own_ip, "0.0.0.0");
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        perror("socket");
        return;
    }
    struct ifreq ifr = {};
    snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "%s", platform_eth());
    ifr.ifr_addr.sa_family = AF_INET;
    if (ioctl(fd, SIOCGIFADDR, &ifr) < 0) {
        perror("SIOCGIFADDR");
    } else {
        const sockaddr_in *sin = reinterpret_cast<const sockaddr_in *>(&ifr.ifr_addr);
        inet_ntop(AF_INET, &sin->sin_addr, own_ip, sizeof own_ip);
    }
    close(fd);
}
} // namespace

const char *own_ip_text(char *buf, size_t size)
{
    std::lock_guard<std::mutex> lock(own_ip_mutex);
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    // Every frame may ask; the kernel is asked at most every 5 seconds.
    if (!own_ip_valid || now.tv_sec - own_ip_asked >= 5) {
        query();
        own_ip_asked = now.tv_sec;
        own_ip_valid = true;
    }
    if (size)
        snprintf(buf, size, "%s", own_ip);
    return buf;
}
