#include "rtsp/ServerMediaSession.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>

#include "core/log.h"

ServerMediaSession *ServerMediaSession::createNew(UsageEnvironment &env, const char *streamName, const char *info,
                                                  const char *description, bool isSSM, const char *miscSDPLines)
{
    if (streamName == nullptr) {
        env.setResultMsg("ServerMediaSession: no stream name");
        return nullptr;
    }
    return new ServerMediaSession(env, streamName, info, description, isSSM, miscSDPLines);
}

ServerMediaSession::ServerMediaSession(UsageEnvironment &env, const char *streamName, const char *info, const char *description,
                                       bool isSSM, const char *miscSDPLines)
    : Medium(env), fStreamName(streamName), fInfo(info ? info : streamName), fDescription(description ? description : ""),
      fMiscSDPLines(miscSDPLines ? miscSDPLines : ""), fIsSSM(isSSM)
{
    gettimeofday(&fCreationTime, nullptr);
}

ServerMediaSession::~ServerMediaSession()
{
    for (auto *s : fSubsessions)
        Medium::close(s);
}

bool ServerMediaSession::addSubsession(ServerMediaSubsession *subsession)
{
    if (subsession == nullptr || subsession->fTrackNumber != 0)
        return false;
    fSubsessions.push_back(subsession);
    subsession->fTrackNumber = (unsigned)fSubsessions.size();
    subsession->fTrackId = "track" + std::to_string(subsession->fTrackNumber);
    return true;
}

ServerMediaSubsession *ServerMediaSession::lookupByTrackId(const std::string &trackId) const
{
    for (auto *s : fSubsessions)
        if (trackId == s->trackId())
            return s;
    return nullptr;
}

// SDP text fields end at the line end: a stray CR or LF in a name must not start a new line.
static std::string sdp_text(const std::string &s)
{
    std::string out = s;
    for (auto &c : out)
        if (c == '\r' || c == '\n')
            c = ' ';
    return out;
}

std::string ServerMediaSession::generateSDPDescription(const struct in_addr &serverAddr)
{
    std::string media;
    for (auto *s : fSubsessions) {
        std::string lines = s->sdpLines();
        if (lines.empty())
            return "";
        media += lines;
    }
    char ip[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &serverAddr, ip, sizeof ip);
    char head[512];
    snprintf(head, sizeof head, "v=0\r\no=- %ld%06ld 1 IN IP4 %s\r\n", (long)fCreationTime.tv_sec, (long)fCreationTime.tv_usec, ip);
    std::string sdp = head;
    sdp += "s=" + sdp_text(fDescription.empty() ? fStreamName : fDescription) + "\r\n";
    sdp += "i=" + sdp_text(fInfo) + "\r\n";
    sdp += "t=0 0\r\na=tool:k7160 rtsp\r\na=type:broadcast\r\na=control:*\r\n";
    if (fIsSSM) {
        sdp += std::string("a=source-filter: incl IN IP4 * ") + ip + "\r\na=rtcp-unicast: reflection\r\n";
    }
    sdp += "a=range:npt=0-\r\n";
    sdp += "a=x-qt-text-nam:" + sdp_text(fDescription) + "\r\n";
    sdp += "a=x-qt-text-inf:" + sdp_text(fInfo) + "\r\n";
    sdp += fMiscSDPLines;
    sdp += media;
    return sdp;
}

std::string ServerMediaSubsession::rangeAndControlLines() const
{
    return std::string("a=control:") + trackId() + "\r\n";
}

// ---- on-demand ----

struct OnDemandServerMediaSubsession::Destination {
    unsigned sessionId;
    ClientDestination dest;
    bool active;
};

struct OnDemandServerMediaSubsession::StreamState {
    OnDemandServerMediaSubsession *master;
    FramedSource *source = nullptr;
    RTPSink *sink = nullptr;
    RTCPInstance *rtcp = nullptr;
    Groupsock *rtpGS = nullptr, *rtcpGS = nullptr;
    unsigned estBitrate = 0;
    unsigned refCount = 0;
    bool playing = false;
    bool ended = false;
    TaskToken startTask = nullptr;
    std::vector<Destination> dests;
};

struct OnDemandServerMediaSubsession::ClientStream {
    StreamState *state;
    unsigned sessionId;
};

OnDemandServerMediaSubsession::OnDemandServerMediaSubsession(UsageEnvironment &env, bool reuseFirstSource, portNumBits initialPortNum,
                                                             bool multiplexRTCPWithRTP)
    : ServerMediaSubsession(env), fReuseFirstSource(reuseFirstSource), fInitialPortNum((portNumBits)(initialPortNum & ~1))
{
    if (multiplexRTCPWithRTP)
        log_error("OnDemandServerMediaSubsession: RTCP multiplexing is not supported; RTCP gets its own port\n");
    if (fInitialPortNum == 0)
        fInitialPortNum = 6970;
}

OnDemandServerMediaSubsession::~OnDemandServerMediaSubsession()
{
    // The server deletes client sessions before their subsessions; anything left is orphaned.
    if (fShared && fShared->refCount == 0)
        closeStreamState(fShared);
    endLinger(this);
}

enum { PROBE_LINGER_US = 5000000 };

void OnDemandServerMediaSubsession::lingerSource(FramedSource *source)
{
    endLinger(this);
    fLingerSource = source;
    fLingerTask = envir().taskScheduler().scheduleDelayedTask(PROBE_LINGER_US, endLinger, this);
}

void OnDemandServerMediaSubsession::endLinger(void *clientData)
{
    OnDemandServerMediaSubsession *s = static_cast<OnDemandServerMediaSubsession *>(clientData);
    s->envir().taskScheduler().unscheduleDelayedTask(s->fLingerTask);
    FramedSource *source = s->fLingerSource;
    s->fLingerSource = nullptr;
    if (source)
        s->closeStreamSource(source);
}

const char *OnDemandServerMediaSubsession::getAuxSDPLine(RTPSink *rtpSink, FramedSource *inputSource)
{
    return rtpSink ? rtpSink->auxSDPLine() : nullptr;
}

std::string OnDemandServerMediaSubsession::sdpLines()
{
    // A running stream describes itself as it is now (its parameter sets change with the
    // encoder's settings).
    bool live = fShared && fShared->sink && !fShared->ended;
    if (!live && !fSDPLines.empty() && sdpLinesCacheable())
        return fSDPLines;
    unsigned char pt = (unsigned char)(96 + trackNumber() - 1);
    RTPSink *sink;
    FramedSource *source;
    unsigned bitrate = 0;
    std::string aux;
    bool probe = false;
    Groupsock *gs = nullptr;
    if (live) {
        sink = fShared->sink;
        source = fShared->source;
        bitrate = fShared->estBitrate;
        const char *a = sink->auxSDPLine();
        if (a)
            aux = a;
    } else {
        // Make a stream that sends nowhere just to learn its parameters.
        source = createNewStreamSource(0, bitrate);
        if (source == nullptr)
            return "";
        gs = new Groupsock(envir(), Port(0));
        sink = createNewRTPSink(gs, pt, source);
        if (sink == nullptr) {
            closeStreamSource(source);
            delete gs;
            return "";
        }
        probe = true;
        const char *a = getAuxSDPLine(sink, source);
        if (a)
            aux = a;
    }
    char m[160];
    snprintf(m, sizeof m, "m=%s 0 RTP/AVP %u\r\nc=IN IP4 0.0.0.0\r\nb=AS:%u\r\n", sink->sdpMediaType(), sink->rtpPayloadType(),
             bitrate ? bitrate : 500);
    std::string lines = m + sink->rtpmapLine() + aux + rangeAndControlLines();
    bool complete = !aux.empty() || strcmp(sink->rtpPayloadFormatName(), "H264") != 0;
    if (probe) {
        sink->stopPlaying();
        Medium::close(sink);
        if (complete)
            lingerSource(source);
        else
            closeStreamSource(source);   // nothing to describe: let go of the producer
        delete gs;
    }
    if (complete)
        fSDPLines = lines;   // an H.264 line without parameter sets is tried again next time
    return lines;
}

bool OnDemandServerMediaSubsession::getStreamParameters(unsigned clientSessionId, const ClientDestination &dest,
                                                        StreamParameters &params, void *&streamToken)
{
    StreamState *state = (fReuseFirstSource && fShared && !fShared->ended) ? fShared : nullptr;
    if (state == nullptr) {
        state = new StreamState();
        state->master = this;
        state->source = createNewStreamSource(clientSessionId, state->estBitrate);
        endLinger(this);   // the stream now has a source of its own
        if (state->source == nullptr) {
            delete state;
            return false;
        }
        for (unsigned p = fInitialPortNum, tries = 0; tries < 1000; p += 2, tries++) {
            if (p > 65534)
                p = 1024;
            Groupsock *rtp = new Groupsock(envir(), Port((portNumBits)p));
            Groupsock *rtcp = rtp->isValid() ? new Groupsock(envir(), Port((portNumBits)(p + 1))) : nullptr;
            if (rtp->isValid() && rtcp && rtcp->isValid()) {
                state->rtpGS = rtp, state->rtcpGS = rtcp;
                break;
            }
            delete rtp;
            delete rtcp;
        }
        unsigned char pt = (unsigned char)(96 + trackNumber() - 1);
        state->sink = state->rtpGS ? createNewRTPSink(state->rtpGS, pt, state->source) : nullptr;
        if (state->sink == nullptr) {
            log_error("rtsp: no RTP sink for %s (ports from %u)\n", trackId(), fInitialPortNum);
            closeStreamSource(state->source);
            delete state->rtpGS;
            delete state->rtcpGS;
            delete state;
            return false;
        }
        state->rtcp = RTCPInstance::createNew(envir(), state->rtcpGS, state->estBitrate, nullptr, state->sink, nullptr);
        if (state->rtcp)
            state->rtcp->setReportHandler(onRTCPReport, state);
        if (fReuseFirstSource)
            fShared = state;
    }
    state->refCount++;
    state->dests.push_back(Destination{clientSessionId, dest, false});
    params.serverRTPPort = state->rtpGS->port().hostOrder();
    params.serverRTCPPort = state->rtcpGS->port().hostOrder();
    streamToken = new ClientStream{state, clientSessionId};
    return true;
}

void OnDemandServerMediaSubsession::startStream(unsigned clientSessionId, void *streamToken, uint16_t &rtpSeqNum, uint32_t &rtpTimestamp)
{
    ClientStream *cs = static_cast<ClientStream *>(streamToken);
    StreamState *st = cs->state;
    for (auto &d : st->dests) {
        if (d.sessionId != cs->sessionId || d.active)
            continue;
        d.active = true;
        // A client joining a running video stream starts at its next keyframe.
        bool waitSync = st->sink->joinersWaitForSyncPoint();
        if (d.dest.tcp) {
            st->sink->addStreamSocket(d.dest.conn, d.dest.rtpChannel, waitSync);
            if (st->rtcp)
                st->rtcp->addStreamSocket(d.dest.conn, d.dest.rtcpChannel);
        } else {
            struct sockaddr_in a = d.dest.clientAddr;
            a.sin_port = htons(d.dest.clientRTPPort);
            st->rtpGS->addDestination(a, cs->sessionId, waitSync);
            a.sin_port = htons(d.dest.clientRTCPPort);
            st->rtcpGS->addDestination(a, cs->sessionId);
        }
    }
    rtpSeqNum = st->sink->currentSeqNo();
    rtpTimestamp = st->sink->presetNextTimestamp();
    if (!st->playing && !st->ended) {
        // Start on the next pass: packets must not reach an interleaved client before the
        // PLAY response does (clients discard what comes ahead of it).
        st->playing = true;
        envir().taskScheduler().rescheduleDelayedTask(st->startTask, 0, startPlaying, st);
    }
}

void OnDemandServerMediaSubsession::startPlaying(void *clientData)
{
    StreamState *st = static_cast<StreamState *>(clientData);
    st->startTask = nullptr;
    if (!st->sink->startPlaying(*st->source, afterPlaying, st)) {
        log_error("rtsp: %s: cannot play: %s\n", st->master->trackId(), st->master->envir().getResultMsg());
        st->playing = false;
        return;
    }
}

void OnDemandServerMediaSubsession::removeDestination(StreamState *st, ClientStream *cs)
{
    for (auto &d : st->dests) {
        if (d.sessionId != cs->sessionId || !d.active)
            continue;
        d.active = false;
        if (d.dest.tcp) {
            // Other clients may share the connection's sink only through their own channels.
            st->sink->removeStreamSocket(d.dest.conn);
            if (st->rtcp)
                st->rtcp->removeStreamSocket(d.dest.conn);
        }
    }
    st->rtpGS->removeDestinations(cs->sessionId);
    st->rtcpGS->removeDestinations(cs->sessionId);
}

void OnDemandServerMediaSubsession::pauseStream(unsigned clientSessionId, void *streamToken)
{
    ClientStream *cs = static_cast<ClientStream *>(streamToken);
    removeDestination(cs->state, cs);
}

void OnDemandServerMediaSubsession::deleteStream(unsigned clientSessionId, void *&streamToken)
{
    ClientStream *cs = static_cast<ClientStream *>(streamToken);
    streamToken = nullptr;
    if (cs == nullptr)
        return;
    StreamState *st = cs->state;
    removeDestination(st, cs);
    st->dests.erase(std::remove_if(st->dests.begin(), st->dests.end(), [&](const Destination &d) { return d.sessionId == cs->sessionId; }),
                    st->dests.end());
    delete cs;
    if (--st->refCount == 0)
        closeStreamState(st);
}

void OnDemandServerMediaSubsession::closeStreamState(StreamState *st)
{
    if (fShared == st)
        fShared = nullptr;
    envir().taskScheduler().unscheduleDelayedTask(st->startTask);
    if (st->sink)
        st->sink->stopPlaying();
    Medium::close(st->rtcp);
    Medium::close(st->sink);
    if (st->source)
        closeStreamSource(st->source);
    delete st->rtpGS;
    delete st->rtcpGS;
    delete st;
}

void OnDemandServerMediaSubsession::afterPlaying(void *clientData)
{
    // The source ended (bad data, producer gone): say goodbye and let the next client start
    // afresh instead of joining a dead stream.
    StreamState *st = static_cast<StreamState *>(clientData);
    st->playing = false;
    st->ended = true;
    if (st->rtcp)
        st->rtcp->sendBYE();
    if (st->master->fShared == st)
        st->master->fShared = nullptr;
    log_printf("rtsp: %s: source ended\n", st->master->trackId());
}

void OnDemandServerMediaSubsession::onRTCPReport(void *clientData, const struct sockaddr_in *fromAddr, RTPStreamConnection *fromConn,
                                                 bool isBye)
{
    StreamState *st = static_cast<StreamState *>(clientData);
    for (auto &d : st->dests) {
        bool match = fromConn ? (d.dest.tcp && d.dest.conn == fromConn)
                              : (!d.dest.tcp && d.dest.clientAddr.sin_addr.s_addr == fromAddr->sin_addr.s_addr &&
                                 ntohs(fromAddr->sin_port) == d.dest.clientRTCPPort);
        if (match && d.dest.livenessFunc)
            d.dest.livenessFunc(d.dest.livenessClientData);
    }
}

// ---- passive ----

PassiveServerMediaSubsession *PassiveServerMediaSubsession::createNew(RTPSink &rtpSink, RTCPInstance *rtcpInstance)
{
    return new PassiveServerMediaSubsession(rtpSink, rtcpInstance);
}

PassiveServerMediaSubsession::PassiveServerMediaSubsession(RTPSink &rtpSink, RTCPInstance *rtcpInstance)
    : ServerMediaSubsession(rtpSink.envir()), fRTPSink(rtpSink), fRTCPInstance(rtcpInstance)
{
}

std::string PassiveServerMediaSubsession::sdpLines()
{
    Groupsock *gs = fRTPSink.groupsockBeingUsed();
    if (gs == nullptr)
        return "";
    char ip[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &gs->groupAddress().sin_addr, ip, sizeof ip);
    char m[200];
    snprintf(m, sizeof m, "m=%s %u RTP/AVP %u\r\nc=IN IP4 %s/%u\r\nb=AS:%u\r\n", fRTPSink.sdpMediaType(),
             ntohs(gs->groupAddress().sin_port), fRTPSink.rtpPayloadType(), ip, gs->ttl(), 500u);
    const char *aux = fRTPSink.auxSDPLine();
    return m + fRTPSink.rtpmapLine() + (aux ? aux : "") + rangeAndControlLines();
}

bool PassiveServerMediaSubsession::getStreamParameters(unsigned clientSessionId, const ClientDestination &dest,
                                                       StreamParameters &params, void *&streamToken)
{
    Groupsock *gs = fRTPSink.groupsockBeingUsed();
    if (gs == nullptr)
        return false;
    params.multicast = true;
    params.destination = gs->groupAddress().sin_addr;
    params.multicastRTPPort = ntohs(gs->groupAddress().sin_port);
    Groupsock *rtcpGS = fRTCPInstance ? fRTCPInstance->RTCPgs() : nullptr;
    params.multicastRTCPPort = rtcpGS ? ntohs(rtcpGS->groupAddress().sin_port) : (uint16_t)(params.multicastRTPPort + 1);
    params.ttl = gs->ttl();
    params.serverRTPPort = gs->port().hostOrder();
    params.serverRTCPPort = rtcpGS ? rtcpGS->port().hostOrder() : 0;
    streamToken = this;
    return true;
}

void PassiveServerMediaSubsession::startStream(unsigned clientSessionId, void *streamToken, uint16_t &rtpSeqNum, uint32_t &rtpTimestamp)
{
    rtpSeqNum = fRTPSink.currentSeqNo();
    rtpTimestamp = fRTPSink.presetNextTimestamp();
}
