#include "rtsp/Groupsock.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "core/log.h"

bool rtsp_is_multicast(const struct in_addr &addr)
{
    return (ntohl(addr.s_addr) & 0xf0000000u) == 0xe0000000u;
}

static struct in_addr addr_of(const struct sockaddr_storage &ss)
{
    struct in_addr a = {};
    if (ss.ss_family == AF_INET)
        a = ((const struct sockaddr_in *)&ss)->sin_addr;
    return a;
}

Groupsock::Groupsock(UsageEnvironment &env, const struct sockaddr_storage &groupAddr, Port port, uint8_t ttl)
    : Groupsock(env, addr_of(groupAddr), port, ttl)
{
}

Groupsock::Groupsock(UsageEnvironment &env, const struct in_addr &groupAddr, Port port, uint8_t ttl)
{
    openSocket(env, port.hostOrder(), true);
    fGroupAddr.sin_family = AF_INET;
    fGroupAddr.sin_addr = groupAddr;
    fGroupAddr.sin_port = port.num();
    fDests.push_back(Destination{fGroupAddr, 0, false});
    setTTL(ttl);
}

Groupsock::Groupsock(UsageEnvironment &env, Port port)
{
    openSocket(env, port.hostOrder(), false);
    fGroupAddr.sin_family = AF_INET;
}

Groupsock::~Groupsock()
{
    if (fSocket >= 0)
        close(fSocket);
}

void Groupsock::openSocket(UsageEnvironment &env, portNumBits hostPort, bool fallbackToAny)
{
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (s < 0) {
        env.setResultErrMsg("socket() failed: ");
        return;
    }
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    a.sin_port = htons(hostPort);
    if (bind(s, (struct sockaddr *)&a, sizeof a) < 0) {
        if (!fallbackToAny || hostPort == 0) {
            env.setResultErrMsg("bind() failed: ");
            close(s);
            return;
        }
        a.sin_port = 0;
        if (bind(s, (struct sockaddr *)&a, sizeof a) < 0) {
            env.setResultErrMsg("bind() failed: ");
            close(s);
            return;
        }
    }
    socklen_t len = sizeof a;
    getsockname(s, (struct sockaddr *)&a, &len);
    fPort = Port(ntohs(a.sin_port));
    // Video bursts of a keyframe go out back to back.
    int sndbuf = 1 << 20;
    setsockopt(s, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
    fSocket = s;
}

void Groupsock::setTTL(uint8_t ttl)
{
    fTTL = ttl;
    if (fSocket < 0)
        return;
    int v = ttl;
    setsockopt(fSocket, IPPROTO_IP, IP_MULTICAST_TTL, &v, sizeof v);
    setsockopt(fSocket, IPPROTO_IP, IP_TTL, &v, sizeof v);
}

void Groupsock::changeDestinationParameters(const struct sockaddr_storage &newDestAddr, Port newDestPort, int newDestTTL)
{
    struct in_addr a = addr_of(newDestAddr);
    if (a.s_addr != 0)
        fGroupAddr.sin_addr = a;
    fGroupAddr.sin_port = newDestPort.num();
    fGroupAddr.sin_family = AF_INET;
    bool found = false;
    for (auto &d : fDests)
        if (d.sessionId == 0) {
            d.addr = fGroupAddr;
            found = true;
        }
    if (!found)
        fDests.insert(fDests.begin(), Destination{fGroupAddr, 0, false});
    if (newDestTTL >= 0)
        setTTL((uint8_t)newDestTTL);
}

void Groupsock::addDestination(const struct sockaddr_in &addr, unsigned sessionId, bool waitForSyncPoint)
{
    for (auto &d : fDests)
        if (d.sessionId == sessionId && d.addr.sin_addr.s_addr == addr.sin_addr.s_addr && d.addr.sin_port == addr.sin_port)
            return;
    fDests.push_back(Destination{addr, sessionId, waitForSyncPoint});
}

void Groupsock::removeDestinations(unsigned sessionId)
{
    fDests.erase(std::remove_if(fDests.begin(), fDests.end(), [&](const Destination &d) { return d.sessionId == sessionId; }),
                 fDests.end());
}

bool Groupsock::output(UsageEnvironment &env, const uint8_t *buffer, unsigned bufferSize, bool syncPoint)
{
    if (fSocket < 0)
        return false;
    bool any = fDests.empty();
    for (auto &d : fDests) {
        if (d.addr.sin_port == 0 || d.addr.sin_addr.s_addr == 0)
            continue;
        if (d.waitSync && !syncPoint) {
            any = true;
            continue;
        }
        d.waitSync = false;
        noteFirstSend(d);
        ssize_t r = sendto(fSocket, buffer, bufferSize, MSG_NOSIGNAL, (const struct sockaddr *)&d.addr, sizeof d.addr);
        if (r == (ssize_t)bufferSize) {
            any = true;
            continue;
        }
        noteSendError(d);
    }
    return any;
}

bool Groupsock::outputTo(unsigned sessionId, const uint8_t *buffer, unsigned bufferSize)
{
    bool any = false;
    for (auto &d : fDests) {
        if (fSocket < 0 || d.sessionId != sessionId || d.addr.sin_port == 0 || d.addr.sin_addr.s_addr == 0)
            continue;
        if (sendto(fSocket, buffer, bufferSize, MSG_NOSIGNAL, (const struct sockaddr *)&d.addr, sizeof d.addr) == (ssize_t)bufferSize)
            any = true;
        else
            noteSendError(d);
    }
    return any;
}

void Groupsock::noteFirstSend(Destination &d)
{
    if (d.started)
        return;
    d.started = true;
    if (fFirstSendFunc)
        fFirstSendFunc(fFirstSendData, d.sessionId);
}

void Groupsock::resetFirstSends()
{
    for (auto &d : fDests)
        d.started = false;
}

// A vanished receiver or a full queue: report now and then, not per packet.
void Groupsock::noteSendError(const Destination &d)
{
    if (fSendErrors++ % 1000 == 0) {
        char ip[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &d.addr.sin_addr, ip, sizeof ip);
        log_printf("rtp send to %s:%u failed: %s (%u failures)\n", ip, ntohs(d.addr.sin_port), strerror(errno), fSendErrors);
    }
}

bool Groupsock::outputBatch(UsageEnvironment &env, const struct iovec *datagrams, const uint8_t *syncPoints, unsigned n)
{
    if (fSocket < 0)
        return false;
    bool any = fDests.empty();
    if (fMsgs.size() < n)
        fMsgs.resize(n);
    for (auto &d : fDests) {
        if (d.addr.sin_port == 0 || d.addr.sin_addr.s_addr == 0)
            continue;
        unsigned first = 0;
        if (d.waitSync) {
            while (first < n && !syncPoints[first])
                first++;
            any = true;
            if (first == n)
                continue;
            d.waitSync = false;
        }
        noteFirstSend(d);
        for (unsigned i = first; i < n; i++) {
            struct msghdr &h = fMsgs[i].msg_hdr;
            h = {};
            h.msg_name = &d.addr;
            h.msg_namelen = sizeof d.addr;
            h.msg_iov = const_cast<struct iovec *>(&datagrams[i]);
            h.msg_iovlen = 1;
        }
        // A datagram the kernel refuses is lost to this receiver alone; the rest still go.
        unsigned sent = first;
        while (sent < n) {
            int r = sendmmsg(fSocket, &fMsgs[sent], n - sent, MSG_NOSIGNAL);
            if (r > 0) {
                sent += (unsigned)r;
                any = true;
                continue;
            }
            if (r < 0 && errno == EINTR)
                continue;
            noteSendError(d);
            sent++;
        }
    }
    return any;
}
