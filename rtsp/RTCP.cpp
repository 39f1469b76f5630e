#include "rtsp/RTCP.h"

#include <cstring>
#include <sys/random.h>
#include <unistd.h>

#include "core/log.h"

enum { RTCP_SR = 200, RTCP_RR = 201, RTCP_SDES = 202, RTCP_BYE = 203, RTCP_APP = 204 };
enum { RTCP_MAX_PACKET = 1500 };

static void put32(uint8_t *p, uint32_t v)
{
    p[0] = (uint8_t)(v >> 24), p[1] = (uint8_t)(v >> 16), p[2] = (uint8_t)(v >> 8), p[3] = (uint8_t)v;
}

RTCPInstance *RTCPInstance::createNew(UsageEnvironment &env, Groupsock *RTCPgs, unsigned totSessionBW, const unsigned char *cname,
                                      RTPSink *sink, RTPSource *source, bool isSSMTransmitter)
{
    if (source != nullptr) {
        env.setResultMsg("RTCPInstance: receiving RTP is not supported");
        return nullptr;
    }
    return new RTCPInstance(env, RTCPgs, totSessionBW, cname, sink);
}

RTCPInstance::RTCPInstance(UsageEnvironment &env, Groupsock *RTCPgs, unsigned totSessionBW, const unsigned char *cname, RTPSink *sink)
    : Medium(env), fGS(RTCPgs), fRTCPInterface(this, RTCPgs), fSink(sink), fTotSessionBW(totSessionBW ? totSessionBW : 500)
{
    if (cname && cname[0]) {
        fCNAME.assign((const char *)cname, strnlen((const char *)cname, 255));
    } else {
        char host[256] = "";
        gethostname(host, sizeof host - 1);
        fCNAME = host;
    }
    if (fGS && fGS->isValid())
        env.taskScheduler().turnOnBackgroundReadHandling(fGS->socketNum(), incomingReportHandler, this);
    if (fSink)
        fSink->setReceiverStartFunc(onReceiverStart, this);
    schedule(true);
}

RTCPInstance::~RTCPInstance()
{
    if (fSink)
        fSink->setReceiverStartFunc(nullptr, nullptr);
    sendBYE();
    if (fGS && fGS->isValid())
        envir().taskScheduler().turnOffBackgroundReadHandling(fGS->socketNum());
}

void RTCPInstance::schedule(bool initial)
{
    // RFC 3550 6.3: senders get a quarter of the 5% RTCP share; at least 5 s (2.5 s at first),
    // randomised by 0.5..1.5 and divided by e - 3/2.
    double rtcpBW = fTotSessionBW * 1000.0 / 8 * 0.05 * 0.25;
    double t = fAveRTCPSize / rtcpBW;
    double tmin = initial ? 2.5 : 5.0;
    if (t < tmin)
        t = tmin;
    uint16_t r = 0;
    if (getrandom(&r, sizeof r, GRND_NONBLOCK) != sizeof r)
        r = 32768;
    t = t * (0.5 + r / 65535.0) / 1.21828;
    envir().taskScheduler().unscheduleDelayedTask(nextTask());
    nextTask() = envir().taskScheduler().scheduleDelayedTask((int64_t)(t * 1e6), onExpire, this);
}

void RTCPInstance::onExpire(void *clientData)
{
    RTCPInstance *r = static_cast<RTCPInstance *>(clientData);
    r->nextTask() = nullptr;
    r->sendReport();
    r->schedule(false);
}

unsigned RTCPInstance::buildReport(uint8_t *buf, unsigned size, bool withBye)
{
    uint32_t ssrc = fSink ? fSink->SSRC() : 0;
    unsigned n = 0;
    if (fSink && fSink->packetCount() > 0) {
        struct timeval now;
        gettimeofday(&now, nullptr);
        put32(buf, 0x80000000u | RTCP_SR << 16 | 6);
        put32(buf + 4, ssrc);
        put32(buf + 8, (uint32_t)now.tv_sec + 2208988800u);
        put32(buf + 12, (uint32_t)(((uint64_t)now.tv_usec << 32) / 1000000));
        put32(buf + 16, fSink->convertToRTPTimestamp(now));
        put32(buf + 20, fSink->packetCount());
        put32(buf + 24, fSink->octetCount());
        n = 28;
    } else {
        put32(buf, 0x80000000u | RTCP_RR << 16 | 1);
        put32(buf + 4, ssrc);
        n = 8;
    }
    // SDES with the CNAME item, ended by a null item and padded to a 32-bit boundary.
    unsigned cnameLen = (unsigned)fCNAME.size();
    if (cnameLen > 255)
        cnameLen = 255;
    unsigned chunk = 4 + 2 + cnameLen + 1;
    unsigned padded = (chunk + 3) & ~3u;
    if (n + 4 + padded + (withBye ? 8 : 0) > size)
        return n;
    uint8_t *s = buf + n;
    put32(s, 0x81000000u | RTCP_SDES << 16 | (padded / 4));
    put32(s + 4, ssrc);
    s[8] = 1;
    s[9] = (uint8_t)cnameLen;
    memcpy(s + 10, fCNAME.data(), cnameLen);
    memset(s + 10 + cnameLen, 0, padded - (6 + cnameLen));
    n += 4 + padded;
    if (withBye) {
        put32(buf + n, 0x81000000u | RTCP_BYE << 16 | 1);
        put32(buf + n + 4, ssrc);
        n += 8;
    }
    return n;
}

void RTCPInstance::sendReport()
{
    if (fByeSent)
        return;
    uint8_t buf[RTCP_MAX_PACKET];
    unsigned n = buildReport(buf, sizeof buf, false);
    fRTCPInterface.sendPacket(buf, n);
    fAveRTCPSize = (fAveRTCPSize * 15 + n + 28) / 16;
    fReportsSent++;
}

void RTCPInstance::sendReportTo(RTPStreamConnection *conn, unsigned sessionId)
{
    if (fByeSent)
        return;
    uint8_t buf[RTCP_MAX_PACKET];
    unsigned n = buildReport(buf, sizeof buf, false);
    if (conn)
        fRTCPInterface.sendPacketTo(conn, buf, n);
    else if (fGS)
        fGS->outputTo(sessionId, buf, n);
}

// Every receiver has the stream's wall-clock mapping before its first packet. Players time a
// stream from RTP-Info (or, joining a group, from its first packet) until its first report
// comes; the streams of one session start at frames captured at different moments, so the
// later stream would jump by that gap, back or forth.
void RTCPInstance::onReceiverStart(void *clientData, RTPStreamConnection *conn, unsigned sessionId)
{
    static_cast<RTCPInstance *>(clientData)->sendReportTo(conn, sessionId);
}

void RTCPInstance::sendBYE()
{
    if (fByeSent)
        return;
    fByeSent = true;
    uint8_t buf[RTCP_MAX_PACKET];
    unsigned n = buildReport(buf, sizeof buf, true);
    fRTCPInterface.sendPacket(buf, n);
}

int RTCPInstance::parseCompound(const uint8_t *packet, unsigned size, bool *sawBye)
{
    *sawBye = false;
    if (size < 4)
        return -1;
    // RFC 3550 A.2: the first packet is an SR or RR, every one has version 2.
    unsigned pt0 = packet[1];
    if ((packet[0] & 0xc0) != 0x80 || (pt0 != RTCP_SR && pt0 != RTCP_RR))
        return -1;
    int count = 0;
    unsigned off = 0;
    while (off < size) {
        if (size - off < 4)
            return -1;
        const uint8_t *p = packet + off;
        if ((p[0] & 0xc0) != 0x80)
            return -1;
        unsigned len = 4 * (((unsigned)p[2] << 8 | p[3]) + 1);
        if (len > size - off)
            return -1;
        unsigned pt = p[1];
        unsigned rc = p[0] & 0x1f;
        if (pt == RTCP_SR && len < 28 + 24 * rc)
            return -1;
        if (pt == RTCP_RR && len < 8 + 24 * rc)
            return -1;
        if (pt == RTCP_BYE)
            *sawBye = true;
        count++;
        off += len;
    }
    return count;
}

void RTCPInstance::injectReport(const uint8_t *packet, unsigned size, RTPStreamConnection *fromConn)
{
    bool bye;
    if (parseCompound(packet, size, &bye) <= 0)
        return;
    if (fReportHandler)
        fReportHandler(fReportClientData, nullptr, fromConn, bye);
}

void RTCPInstance::incomingReportHandler(void *clientData, int mask)
{
    RTCPInstance *r = static_cast<RTCPInstance *>(clientData);
    uint8_t buf[RTCP_MAX_PACKET];
    // Read what is queued, but bounded, so a flood cannot hold the loop.
    for (int i = 0; i < 32; i++) {
        struct sockaddr_in from = {};
        socklen_t fromLen = sizeof from;
        ssize_t n = recvfrom(r->fGS->socketNum(), buf, sizeof buf, MSG_DONTWAIT, (struct sockaddr *)&from, &fromLen);
        if (n < 0)
            return;
        if (r->fGS->sendOnly())
            continue;
        bool bye;
        if (parseCompound(buf, (unsigned)n, &bye) <= 0)
            continue;
        if (r->fReportHandler)
            r->fReportHandler(r->fReportClientData, &from, nullptr, bye);
    }
}
