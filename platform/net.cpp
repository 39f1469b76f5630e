// Network requests on the interface standing for "eth0".
#include "platform/platform.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ifaddrs.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

namespace {
bool is_local(uint32_t addr_net)
{
    if ((ntohl(addr_net) >> 24) == 127)
        return true;
    struct ifaddrs *list = nullptr;
    if (getifaddrs(&list) < 0)
        return false;
    bool found = false;
    for (struct ifaddrs *i = list; i && !found; i = i->ifa_next)
        if (i->ifa_addr && i->ifa_addr->sa_family == AF_INET &&
            ((struct sockaddr_in *)i->ifa_addr)->sin_addr.s_addr == addr_net)
            found = true;
    freeifaddrs(list);
    return found;
}
} // namespace

int platform_arp_lookup(int sock, uint32_t addr_net, uint8_t mac[6])
{
    if (is_local(addr_net)) {
        memset(mac, 0, 6);
        return 1;
    }
    struct arpreq req = {};
    struct sockaddr_in *pa = (struct sockaddr_in *)&req.arp_pa;
    pa->sin_family = AF_INET;
    pa->sin_addr.s_addr = addr_net;
    snprintf(req.arp_dev, sizeof req.arp_dev, "%s", platform_eth());
    if (ioctl(sock, SIOCGARP, &req) < 0)
        return errno == ENXIO ? 0 : -1;
    if (!(req.arp_flags & ATF_COM))
        return 0;
    memcpy(mac, req.arp_ha.sa_data, 6);
    return 1;
}

int platform_set_multicast_if(int sock)
{
    struct ip_mreqn m = {};
    m.imr_ifindex = (int)if_nametoindex(platform_eth());
    if (m.imr_ifindex == 0)
        return -1;
    return setsockopt(sock, IPPROTO_IP, IP_MULTICAST_IF, &m, sizeof m);
}
