// AAC over RTP in the high bit-rate mode (RFC 3640): one access unit per packet behind a
// 4-byte AU header section, long units split over several packets.
#pragma once
#include <string>

#include "rtsp/RTPSink.h"

class MPEG4GenericRTPSink : public MultiFramedRTPSink {
public:
    // mpeg4Mode must be "AAC-hbr"; configString is the AudioSpecificConfig in hex ("1190").
    static MPEG4GenericRTPSink *createNew(UsageEnvironment &env, Groupsock *RTPgs, unsigned char rtpPayloadFormat,
                                          uint32_t rtpTimestampFrequency, const char *sdpMediaTypeString,
                                          const char *mpeg4Mode, const char *configString, unsigned numChannels = 1);
    const char *sdpMediaType() const override { return fSDPMediaTypeString.c_str(); }
    const char *auxSDPLine() override { return fFmtpSDPLine.c_str(); }

protected:
    MPEG4GenericRTPSink(UsageEnvironment &env, Groupsock *RTPgs, unsigned char rtpPayloadFormat, uint32_t rtpTimestampFrequency,
                        const char *sdpMediaTypeString, const char *mpeg4Mode, const char *configString, unsigned numChannels);
    bool frameCanAppearAfterPacketStart(const unsigned char *frameStart, unsigned numBytesInFrame) const override { return false; }
    unsigned specialHeaderSize() const override { return 4; }
    void doSpecialFrameHandling(unsigned fragmentationOffset, unsigned char *frameStart, unsigned numBytesInFrame,
                                struct timeval framePresentationTime, unsigned numRemainingBytes) override;
    unsigned adjustNewFrame(unsigned char *frameStart, unsigned frameSize) override;

private:
    std::string fSDPMediaTypeString;
    std::string fFmtpSDPLine;
};
