// The on-demand subsessions of the RTSP sessions: each makes a stream device source over one
// queue and the RTP sink for its payload.
#pragma once
#include <pthread.h>

#include "rtsp/liveMedia.h"

class H264VideoFrameServerMediaSubsession : public OnDemandServerMediaSubsession {
public:
    static H264VideoFrameServerMediaSubsession *createNew(UsageEnvironment &env, int streamId, int streamMode, bool reuseFirstSource);
    // How long a DESCRIBE waits for the encoder's SPS and PPS (µs).
    static unsigned probeTimeoutUs;

protected:
    H264VideoFrameServerMediaSubsession(UsageEnvironment &env, int streamId, int streamMode, bool reuseFirstSource);
    ~H264VideoFrameServerMediaSubsession() override;
    FramedSource *createNewStreamSource(unsigned clientSessionId, unsigned &estBitrate) override;
    RTPSink *createNewRTPSink(Groupsock *rtpGroupsock, unsigned char rtpPayloadTypeIfDynamic, FramedSource *inputSource) override;
    const char *getAuxSDPLine(RTPSink *rtpSink, FramedSource *inputSource) override;
    bool sdpLinesCacheable() override { return false; }

private:
    static void afterPlayingProbe(void *clientData);
    static void pollAuxSDPLine(void *clientData);
    void pollAuxSDPLine1();

    int fStreamId, fStreamMode;
    char *fAuxSDPLine = nullptr;   // the line learned last; stands in when a probe learns none
    bool fLearned = false;         // by the probe under way
    volatile uint8_t fDoneFlag = 0;
    RTPSink *fProbeSink = nullptr;
    pthread_mutex_t fMutex;
    TaskToken fPollTask = nullptr;
    int64_t fProbeDeadline = 0;
};

class MPEG2TransportStreamServerMediaSubsession : public OnDemandServerMediaSubsession {
public:
    static MPEG2TransportStreamServerMediaSubsession *createNew(UsageEnvironment &env, int streamId, int streamMode,
                                                                bool reuseFirstSource);

protected:
    MPEG2TransportStreamServerMediaSubsession(UsageEnvironment &env, int streamId, int streamMode, bool reuseFirstSource);
    ~MPEG2TransportStreamServerMediaSubsession() override;
    FramedSource *createNewStreamSource(unsigned clientSessionId, unsigned &estBitrate) override;
    RTPSink *createNewRTPSink(Groupsock *rtpGroupsock, unsigned char rtpPayloadTypeIfDynamic, FramedSource *inputSource) override;

private:
    int fStreamId, fStreamMode;
};

class PCMAudioServerMediaSubsession : public OnDemandServerMediaSubsession {
public:
    static PCMAudioServerMediaSubsession *createNew(UsageEnvironment &env, int streamId, int streamMode, bool reuseFirstSource);

protected:
    PCMAudioServerMediaSubsession(UsageEnvironment &env, int streamId, int streamMode, bool reuseFirstSource);
    ~PCMAudioServerMediaSubsession() override;
    FramedSource *createNewStreamSource(unsigned clientSessionId, unsigned &estBitrate) override;
    RTPSink *createNewRTPSink(Groupsock *rtpGroupsock, unsigned char rtpPayloadTypeIfDynamic, FramedSource *inputSource) override;

private:
    int fStreamId, fStreamMode;
};

class ADTSAudioServerMediaSubsession : public OnDemandServerMediaSubsession {
public:
    static ADTSAudioServerMediaSubsession *createNew(UsageEnvironment &env, int streamId, int streamMode, bool reuseFirstSource);

protected:
    ADTSAudioServerMediaSubsession(UsageEnvironment &env, int streamId, int streamMode, bool reuseFirstSource);
    ~ADTSAudioServerMediaSubsession() override;
    FramedSource *createNewStreamSource(unsigned clientSessionId, unsigned &estBitrate) override;
    RTPSink *createNewRTPSink(Groupsock *rtpGroupsock, unsigned char rtpPayloadTypeIfDynamic, FramedSource *inputSource) override;

private:
    int fStreamId, fStreamMode;
};

// The AudioSpecificConfig text of AAC LC at the given rate and channels ("1190" for 48 kHz
// stereo); false when the rate has no index.
bool aac_config_text(unsigned sampleRate, unsigned channels, char out[5]);
// Applies the "UDPPacketSize" rule to a library sink.
void rtp_sink_apply_packet_size(MultiFramedRTPSink *sink);
