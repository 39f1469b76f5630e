#include "rtsp/MPEG4GenericRTPSink.h"

#include <cstring>
#include <strings.h>

MPEG4GenericRTPSink *MPEG4GenericRTPSink::createNew(UsageEnvironment &env, Groupsock *RTPgs, unsigned char rtpPayloadFormat,
                                                    uint32_t rtpTimestampFrequency, const char *sdpMediaTypeString,
                                                    const char *mpeg4Mode, const char *configString, unsigned numChannels)
{
    if (mpeg4Mode == nullptr || strcasecmp(mpeg4Mode, "AAC-hbr") != 0) {
        env.setResultMsg("MPEG4GenericRTPSink: only the AAC-hbr mode is supported");
        return nullptr;
    }
    if (configString == nullptr || strlen(configString) > 64 || strspn(configString, "0123456789abcdefABCDEF") != strlen(configString)) {
        env.setResultMsg("MPEG4GenericRTPSink: bad configuration string");
        return nullptr;
    }
    return new MPEG4GenericRTPSink(env, RTPgs, rtpPayloadFormat, rtpTimestampFrequency, sdpMediaTypeString, mpeg4Mode,
                                   configString, numChannels);
}

MPEG4GenericRTPSink::MPEG4GenericRTPSink(UsageEnvironment &env, Groupsock *RTPgs, unsigned char rtpPayloadFormat,
                                         uint32_t rtpTimestampFrequency, const char *sdpMediaTypeString, const char *mpeg4Mode,
                                         const char *configString, unsigned numChannels)
    : MultiFramedRTPSink(env, RTPgs, rtpPayloadFormat, rtpTimestampFrequency, "MPEG4-GENERIC", numChannels),
      fSDPMediaTypeString(sdpMediaTypeString ? sdpMediaTypeString : "audio")
{
    int streamType = fSDPMediaTypeString == "video" ? 4 : 5;
    char line[200];
    snprintf(line, sizeof line,
             "a=fmtp:%u streamtype=%d;profile-level-id=1;mode=%s;sizelength=13;indexlength=3;indexdeltalength=3;config=%s\r\n",
             rtpPayloadFormat, streamType, mpeg4Mode, configString);
    fFmtpSDPLine = line;
}

unsigned MPEG4GenericRTPSink::adjustNewFrame(unsigned char *frameStart, unsigned frameSize)
{
    // The payload carries raw access units; a frame that still has its ADTS header loses it here,
    // or every receiver would decode the header as audio data.
    if (frameSize < 7 || frameStart[0] != 0xff || (frameStart[1] & 0xf6) != 0xf0)
        return frameSize;
    unsigned headerSize = (frameStart[1] & 0x01) ? 7 : 9;
    unsigned adtsLength = ((unsigned)(frameStart[3] & 0x03) << 11) | ((unsigned)frameStart[4] << 3) | (frameStart[5] >> 5);
    if (adtsLength < headerSize || adtsLength > frameSize)
        return frameSize;
    memmove(frameStart, frameStart + headerSize, adtsLength - headerSize);
    return adtsLength - headerSize;
}

void MPEG4GenericRTPSink::doSpecialFrameHandling(unsigned fragmentationOffset, unsigned char *frameStart, unsigned numBytesInFrame,
                                                 struct timeval framePresentationTime, unsigned numRemainingBytes)
{
    // AU-headers-length 16 bits, then AU-size (13 bits, the whole unit even when fragmented) and
    // AU-Index 0.
    unsigned auSize = fragmentationOffset + numBytesInFrame + numRemainingBytes;
    if (auSize > 0x1fff)
        auSize = 0x1fff;
    setSpecialHeaderWord((16u << 16) | (auSize << 3));
    if (numRemainingBytes == 0)
        setMarkerBit();
    MultiFramedRTPSink::doSpecialFrameHandling(fragmentationOffset, frameStart, numBytesInFrame, framePresentationTime,
                                               numRemainingBytes);
}
