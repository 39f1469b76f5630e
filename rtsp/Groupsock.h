// UDP sockets for RTP and RTCP: a bound socket with a list of destinations (the unicast clients
// of a shared stream, or one multicast group).
#pragma once
#include <cstdint>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <vector>

#include "rtsp/UsageEnvironment.h"

typedef uint16_t portNumBits;

class Port {
public:
    Port(portNumBits num = 0) : fPortNum(htons(num)) {}   // host order in
    portNumBits num() const { return fPortNum; }          // network order out
    portNumBits hostOrder() const { return ntohs(fPortNum); }

private:
    portNumBits fPortNum;
};

class Groupsock {
public:
    // Sends to groupAddr:port (multicast or unicast) with the given TTL; bound to the same port
    // on every interface so that receivers' RTCP reaches it (any free port when that one is taken).
    Groupsock(UsageEnvironment &env, const struct sockaddr_storage &groupAddr, Port port, uint8_t ttl);
    Groupsock(UsageEnvironment &env, const struct in_addr &groupAddr, Port port, uint8_t ttl);
    // A socket bound to port (0: any) without destinations, for on-demand unicast streams.
    Groupsock(UsageEnvironment &env, Port port);
    ~Groupsock();

    int socketNum() const { return fSocket; }
    bool isValid() const { return fSocket >= 0; }
    Port port() const { return fPort; }                     // the port bound here
    const struct sockaddr_in &groupAddress() const { return fGroupAddr; }
    uint8_t ttl() const { return fTTL; }
    bool isSSM() const { return false; }

    // Points the group destination elsewhere; an all-zero address keeps the old one.
    void changeDestinationParameters(const struct sockaddr_storage &newDestAddr, Port newDestPort, int newDestTTL);
    // Sending only: datagrams arriving at the socket are not wanted.
    void multicastSendOnly() { fSendOnly = true; }
    bool sendOnly() const { return fSendOnly; }

    // waitForSyncPoint: the destination gets nothing before a packet that starts a sync point.
    void addDestination(const struct sockaddr_in &addr, unsigned sessionId, bool waitForSyncPoint = false);
    void removeDestinations(unsigned sessionId);
    bool hasDestinations() const { return !fDests.empty(); }
    size_t numDestinations() const { return fDests.size(); }

    // Called just before a destination gets its first datagram: a client session's, or the
    // group's (sessionId 0).
    typedef void(FirstSendFunc)(void *clientData, unsigned sessionId);
    void setFirstSendFunc(FirstSendFunc *func, void *clientData) { fFirstSendFunc = func, fFirstSendData = clientData; }
    // Every destination counts as not yet sent to.
    void resetFirstSends();

    // Sends one datagram to every destination. False when every send failed.
    bool output(UsageEnvironment &env, const uint8_t *buffer, unsigned bufferSize, bool syncPoint = true);
    // Sends one datagram to the destinations of one client session only (0: the group).
    bool outputTo(unsigned sessionId, const uint8_t *buffer, unsigned bufferSize);
    // Sends n datagrams to every destination in one sendmmsg each; a destination that waits for a
    // sync point starts at the first datagram that is one. False when every send failed.
    bool outputBatch(UsageEnvironment &env, const struct iovec *datagrams, const uint8_t *syncPoints, unsigned n);

private:
    struct Destination {
        struct sockaddr_in addr;
        unsigned sessionId;   // 0 for the group destination
        bool waitSync;
        bool started = false; // has had a datagram
    };
    void noteSendError(const Destination &d);
    void noteFirstSend(Destination &d);
    void openSocket(UsageEnvironment &env, portNumBits hostPort, bool fallbackToAny);
    void setTTL(uint8_t ttl);

    int fSocket = -1;
    Port fPort;
    struct sockaddr_in fGroupAddr = {};
    uint8_t fTTL = 255;
    bool fSendOnly = false;
    unsigned fSendErrors = 0;
    std::vector<Destination> fDests;
    std::vector<struct mmsghdr> fMsgs;   // kept between batches: no allocation per frame
    FirstSendFunc *fFirstSendFunc = nullptr;
    void *fFirstSendData = nullptr;
};

// True for 224.0.0.0/4.
bool rtsp_is_multicast(const struct in_addr &addr);
