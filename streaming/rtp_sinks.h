// The transport stream over RTP: a sink that sends each packet as soon as it is full, its
// MP2T flavour for the SDP, and a framer that hands out whole, aligned 188-byte packets.
#pragma once
#include <string>

#include "rtsp/liveMedia.h"

struct ParamBlock;

enum { RTP_IP_UDP_OVERHEAD = 28, RTP_HEADER_SIZE = 12, RTP_MIN_PACKET_SIZE = RTP_HEADER_SIZE + 188,
       RTP_DEFAULT_UDP_PACKET = 1400 };

// RTP packet size for "UDPPacketSize": the datagram less its IP and UDP headers, never below
// one header plus a transport packet. 0 when the setting is too small to use (below 29).
unsigned rtp_packet_size(const ParamBlock *p);

// The library's packer, sized from "UDPPacketSize"; a transport packet never straddles two RTP
// packets.
class KelvMultiFramedRTPSink : public MultiFramedRTPSink {
protected:
    KelvMultiFramedRTPSink(UsageEnvironment &env, Groupsock *rtpGS, unsigned char rtpPayloadType, unsigned rtpTimestampFrequency,
                           const char *rtpPayloadFormatName, unsigned numChannels);
    ~KelvMultiFramedRTPSink() override;
    unsigned fragmentGranularity() const override { return fGranularity; }

private:
    unsigned fGranularity = 1;
};

class KelvSimpleRTPSink : public KelvMultiFramedRTPSink {
public:
    static KelvSimpleRTPSink *createNew(UsageEnvironment &env, Groupsock *RTPgs, unsigned char rtpPayloadFormat,
                                        unsigned rtpTimestampFrequency, const char *sdpMediaTypeString,
                                        const char *rtpPayloadFormatName, unsigned numChannels = 1,
                                        bool allowMultipleFramesPerPacket = true, bool doNormalMBitRule = true);
    const char *sdpMediaType() const override { return fSDPMediaTypeString.c_str(); }
    // MP2T: a client joining the running stream starts at a packet that begins with the tables
    // in front of a keyframe.
    bool joinersWaitForSyncPoint() const override { return fTransportStream; }

protected:
    KelvSimpleRTPSink(UsageEnvironment &env, Groupsock *RTPgs, unsigned char rtpPayloadFormat, unsigned rtpTimestampFrequency,
                      const char *sdpMediaTypeString, const char *rtpPayloadFormatName, unsigned numChannels,
                      bool allowMultipleFramesPerPacket, bool doNormalMBitRule);
    ~KelvSimpleRTPSink() override;
    void doSpecialFrameHandling(unsigned fragmentationOffset, unsigned char *frameStart, unsigned numBytesInFrame,
                                struct timeval framePresentationTime, unsigned numRemainingBytes) override;
    bool frameCanAppearAfterPacketStart(const unsigned char *frameStart, unsigned numBytesInFrame) const override;

private:
    std::string fSDPMediaTypeString;
    bool fAllowMultipleFramesPerPacket;
    bool fSetMBitOnLastFrames;
    bool fTransportStream;
};

// Whether transport packets begin with a PAT and hold the first packet of a keyframe's PES
// (marked with the transport priority bit): a player can start decoding there.
bool ts_keyframe_start(const unsigned char *data, unsigned size);

class KelvMPEG2TransportStreamFramer : public FramedFilter {
public:
    static KelvMPEG2TransportStreamFramer *createNew(UsageEnvironment &env, FramedSource *inputSource);

protected:
    KelvMPEG2TransportStreamFramer(UsageEnvironment &env, FramedSource *inputSource);
    ~KelvMPEG2TransportStreamFramer() override;
    void doGetNextFrame() override;
    void doStopGettingFrames() override;

private:
    static void afterGettingFrame(void *clientData, unsigned frameSize, unsigned numTruncatedBytes, struct timeval presentationTime,
                                  unsigned durationInMicroseconds);
    void afterGettingFrame1(unsigned frameSize, struct timeval presentationTime);
    unsigned fFrameSize2 = 0;   // gathered so far
};
