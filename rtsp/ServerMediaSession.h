// Named sessions the RTSP server offers, each a list of subsessions (one per RTP stream): the
// SDP that describes them and the streams that clients set up and play.
#pragma once
#include <netinet/in.h>
#include <string>
#include <vector>

#include "rtsp/RTCP.h"
#include "rtsp/RTPSink.h"

class ServerMediaSubsession;

class ServerMediaSession : public Medium {
public:
    static ServerMediaSession *createNew(UsageEnvironment &env, const char *streamName, const char *info = nullptr,
                                         const char *description = nullptr, bool isSSM = false, const char *miscSDPLines = nullptr);
    bool isServerMediaSession() const override { return true; }
    // Takes ownership; the subsession gets the next track number (track1, track2, ...).
    bool addSubsession(ServerMediaSubsession *subsession);
    const char *streamName() const { return fStreamName.c_str(); }
    unsigned numSubsessions() const { return (unsigned)fSubsessions.size(); }
    ServerMediaSubsession *subsession(unsigned i) const { return i < fSubsessions.size() ? fSubsessions[i] : nullptr; }
    ServerMediaSubsession *lookupByTrackId(const std::string &trackId) const;
    bool isSSM() const { return fIsSSM; }
    // The whole SDP; serverAddr is the address the client reached us on. Empty when a
    // subsession cannot describe itself.
    std::string generateSDPDescription(const struct in_addr &serverAddr);

protected:
    ServerMediaSession(UsageEnvironment &env, const char *streamName, const char *info, const char *description, bool isSSM,
                       const char *miscSDPLines);
    ~ServerMediaSession() override;

private:
    std::string fStreamName, fInfo, fDescription, fMiscSDPLines;
    bool fIsSSM;
    struct timeval fCreationTime;
    std::vector<ServerMediaSubsession *> fSubsessions;
};

// Where a client wants a stream sent; filled by the server from SETUP.
struct ClientDestination {
    bool tcp = false;
    RTPStreamConnection *conn = nullptr;   // tcp: the connection carrying it
    uint8_t rtpChannel = 0, rtcpChannel = 1;
    struct sockaddr_in clientAddr = {};    // udp: the client's address
    uint16_t clientRTPPort = 0, clientRTCPPort = 0;
    // Called when the client's RTCP shows it is alive.
    void (*livenessFunc)(void *clientData) = nullptr;
    void *livenessClientData = nullptr;
};

// What SETUP answers.
struct StreamParameters {
    uint16_t serverRTPPort = 0, serverRTCPPort = 0;
    bool multicast = false;
    struct in_addr destination = {};
    uint16_t multicastRTPPort = 0, multicastRTCPPort = 0;
    uint8_t ttl = 255;
};

class ServerMediaSubsession : public Medium {
public:
    unsigned trackNumber() const { return fTrackNumber; }
    const char *trackId() const { return fTrackId.c_str(); }
    // The media-level SDP lines ("m=", "c=", "a=control:..."); empty on failure.
    virtual std::string sdpLines() = 0;
    // Prepares a stream for one client session; streamToken identifies it later.
    virtual bool getStreamParameters(unsigned clientSessionId, const ClientDestination &dest, StreamParameters &params,
                                     void *&streamToken) = 0;
    virtual void startStream(unsigned clientSessionId, void *streamToken, uint16_t &rtpSeqNum, uint32_t &rtpTimestamp) = 0;
    virtual void pauseStream(unsigned clientSessionId, void *streamToken) {}
    virtual void deleteStream(unsigned clientSessionId, void *&streamToken) = 0;

protected:
    explicit ServerMediaSubsession(UsageEnvironment &env) : Medium(env) {}
    std::string rangeAndControlLines() const;

private:
    friend class ServerMediaSession;
    unsigned fTrackNumber = 0;
    std::string fTrackId;
};

// Streams made on request for unicast clients. With reuseFirstSource all clients share one
// source and one sink (one live encoder, many viewers); otherwise each gets its own.
class OnDemandServerMediaSubsession : public ServerMediaSubsession {
public:
    std::string sdpLines() override;
    bool getStreamParameters(unsigned clientSessionId, const ClientDestination &dest, StreamParameters &params,
                             void *&streamToken) override;
    void startStream(unsigned clientSessionId, void *streamToken, uint16_t &rtpSeqNum, uint32_t &rtpTimestamp) override;
    void pauseStream(unsigned clientSessionId, void *streamToken) override;
    void deleteStream(unsigned clientSessionId, void *&streamToken) override;

protected:
    // RTCP is always on its own port: multiplexRTCPWithRTP must be false.
    OnDemandServerMediaSubsession(UsageEnvironment &env, bool reuseFirstSource, portNumBits initialPortNum = 6970,
                                  bool multiplexRTCPWithRTP = false);
    ~OnDemandServerMediaSubsession() override;

    virtual FramedSource *createNewStreamSource(unsigned clientSessionId, unsigned &estBitrate) = 0;
    virtual RTPSink *createNewRTPSink(Groupsock *rtpGroupsock, unsigned char rtpPayloadTypeIfDynamic, FramedSource *inputSource) = 0;
    // The "a=fmtp:" line; may play the sink for a while to learn it. Default: the sink's own.
    virtual const char *getAuxSDPLine(RTPSink *rtpSink, FramedSource *inputSource);
    // Whether lines learned once hold for later DESCRIBEs while no stream runs. A live encoder's
    // parameter sets change with its settings, so such a subsession learns them afresh.
    virtual bool sdpLinesCacheable() { return true; }
    virtual void closeStreamSource(FramedSource *inputSource) { Medium::close(inputSource); }

private:
    struct Destination;
    struct StreamState;
    struct ClientStream;
    static void afterPlaying(void *clientData);
    static void startPlaying(void *clientData);
    static void onRTCPReport(void *clientData, const struct sockaddr_in *fromAddr, RTPStreamConnection *fromConn, bool isBye);
    void closeStreamState(StreamState *state);
    void lingerSource(FramedSource *source);
    static void endLinger(void *clientData);
    void removeDestination(StreamState *state, ClientStream *cs);

    bool fReuseFirstSource;
    portNumBits fInitialPortNum;
    StreamState *fShared = nullptr;
    std::string fSDPLines;
    // The source a DESCRIBE probed, kept a while so that the SETUP and PLAY that follow get the
    // very stream (for a live encoder: the run) that the SDP describes.
    FramedSource *fLingerSource = nullptr;
    TaskToken fLingerTask = nullptr;
};

// Describes a stream that is sent anyway (multicast); SETUP only tells the client where it goes.
class PassiveServerMediaSubsession : public ServerMediaSubsession {
public:
    static PassiveServerMediaSubsession *createNew(RTPSink &rtpSink, RTCPInstance *rtcpInstance = nullptr);
    std::string sdpLines() override;
    bool getStreamParameters(unsigned clientSessionId, const ClientDestination &dest, StreamParameters &params,
                             void *&streamToken) override;
    void startStream(unsigned clientSessionId, void *streamToken, uint16_t &rtpSeqNum, uint32_t &rtpTimestamp) override;
    void deleteStream(unsigned clientSessionId, void *&streamToken) override { streamToken = nullptr; }

protected:
    PassiveServerMediaSubsession(RTPSink &rtpSink, RTCPInstance *rtcpInstance);

private:
    RTPSink &fRTPSink;
    RTCPInstance *fRTCPInstance;
};
