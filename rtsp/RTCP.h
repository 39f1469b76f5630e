// RTCP for a sender: periodic sender reports with the CNAME, one to each receiver of the sink
// just before its first packet, a BYE at the end, and the receivers' reports read back, which
// tell the server that a client is still there.
#pragma once
#include <cstdint>
#include <string>

#include "rtsp/RTPSink.h"

class RTPSource;   // receiving is not offered; pass null

// Called for every report (RR, SR, SDES, BYE...) that arrives, with where it came from: a UDP
// address, or the RTSP connection that carried it interleaved.
typedef void(RTCPReportHandler)(void *clientData, const struct sockaddr_in *fromAddr, RTPStreamConnection *fromConn, bool isBye);

class RTCPInstance : public Medium {
public:
    // totSessionBW in kbit/s (0: 500); cname null uses the host name.
    static RTCPInstance *createNew(UsageEnvironment &env, Groupsock *RTCPgs, unsigned totSessionBW, const unsigned char *cname,
                                   RTPSink *sink, RTPSource *source, bool isSSMTransmitter = false);
    bool isRTCPInstance() const override { return true; }

    void setReportHandler(RTCPReportHandler *handler, void *clientData) { fReportHandler = handler, fReportClientData = clientData; }
    // A compound packet that arrived interleaved on an RTSP connection.
    void injectReport(const uint8_t *packet, unsigned size, RTPStreamConnection *fromConn);
    void addStreamSocket(RTPStreamConnection *conn, uint8_t channelId) { fRTCPInterface.addStreamSocket(conn, channelId); }
    void removeStreamSocket(RTPStreamConnection *conn) { fRTCPInterface.removeStreamSocket(conn); }
    void sendReport();
    // The report to one receiver alone, outside the schedule: a stream connection, or (conn
    // null) the UDP destinations of a client session or, sessionId 0, the group. The sink's
    // receivers get one just before their first packet of each run.
    void sendReportTo(RTPStreamConnection *conn, unsigned sessionId);
    void sendBYE();
    Groupsock *RTCPgs() const { return fGS; }
    unsigned numReportsSent() const { return fReportsSent; }

    // Parses a compound RTCP packet; returns the number of packets in it, -1 when malformed.
    // *sawBye tells whether one of them was a BYE.
    static int parseCompound(const uint8_t *packet, unsigned size, bool *sawBye);

protected:
    RTCPInstance(UsageEnvironment &env, Groupsock *RTCPgs, unsigned totSessionBW, const unsigned char *cname, RTPSink *sink);
    ~RTCPInstance() override;

private:
    static void incomingReportHandler(void *clientData, int mask);
    static void onExpire(void *clientData);
    static void onReceiverStart(void *clientData, RTPStreamConnection *conn, unsigned sessionId);
    void schedule(bool initial);
    unsigned buildReport(uint8_t *buf, unsigned size, bool withBye);

    Groupsock *fGS;
    RTPInterface fRTCPInterface;
    RTPSink *fSink;
    unsigned fTotSessionBW;
    std::string fCNAME;
    RTCPReportHandler *fReportHandler = nullptr;
    void *fReportClientData = nullptr;
    unsigned fAveRTCPSize = 100;
    unsigned fReportsSent = 0;
    bool fByeSent = false;
};
