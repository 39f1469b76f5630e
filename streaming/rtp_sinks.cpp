#include "streaming/rtp_sinks.h"

#include <cstring>

#include "core/log.h"
#include "core/param.h"
#include "streaming/rtp.h"

unsigned rtp_packet_size(const ParamBlock *p)
{
    uint32_t udp = p ? p->UDPPacketSize : 0;
    if (udp < RTP_IP_UDP_OVERHEAD + 1)
        return 0;
    // A tiny setting must still leave room for the RTP header and some payload.
    unsigned size = udp - RTP_IP_UDP_OVERHEAD;
    return size < (unsigned)RTP_MIN_PACKET_SIZE ? (unsigned)RTP_MIN_PACKET_SIZE : size;
}

// ---- KelvMultiFramedRTPSink ----

KelvMultiFramedRTPSink::KelvMultiFramedRTPSink(UsageEnvironment &env, Groupsock *rtpGS, unsigned char rtpPayloadType,
                                               unsigned rtpTimestampFrequency, const char *rtpPayloadFormatName,
                                               unsigned numChannels)
    : MultiFramedRTPSink(env, rtpGS, rtpPayloadType, rtpTimestampFrequency, rtpPayloadFormatName, numChannels)
{
    unsigned size = rtp_packet_size(rtsp_param_block());
    if (size == 0)
        size = RTP_DEFAULT_UDP_PACKET - RTP_IP_UDP_OVERHEAD;
    // Every packet leaves as soon as it is full: preferred and largest size are the same.
    setPacketSizes(size, size);
    // Whole transport packets, and whole PCM samples, never split across two RTP packets.
    const char *f = rtpPayloadFormatName ? rtpPayloadFormatName : "";
    unsigned ch = numChannels ? numChannels : 1;
    fGranularity = strcmp(f, "MP2T") == 0 ? 188 : strcmp(f, "L16") == 0 ? 2 * ch : strcmp(f, "L24") == 0 ? 3 * ch : 1;
}

KelvMultiFramedRTPSink::~KelvMultiFramedRTPSink() {}

// ---- KelvSimpleRTPSink ----

KelvSimpleRTPSink *KelvSimpleRTPSink::createNew(UsageEnvironment &env, Groupsock *RTPgs, unsigned char rtpPayloadFormat,
                                                unsigned rtpTimestampFrequency, const char *sdpMediaTypeString,
                                                const char *rtpPayloadFormatName, unsigned numChannels,
                                                bool allowMultipleFramesPerPacket, bool doNormalMBitRule)
{
    return new KelvSimpleRTPSink(env, RTPgs, rtpPayloadFormat, rtpTimestampFrequency, sdpMediaTypeString, rtpPayloadFormatName,
                                 numChannels, allowMultipleFramesPerPacket, doNormalMBitRule);
}

KelvSimpleRTPSink::KelvSimpleRTPSink(UsageEnvironment &env, Groupsock *RTPgs, unsigned char rtpPayloadFormat,
                                     unsigned rtpTimestampFrequency, const char *sdpMediaTypeString, const char *rtpPayloadFormatName,
                                     unsigned numChannels, bool allowMultipleFramesPerPacket, bool doNormalMBitRule)
    : KelvMultiFramedRTPSink(env, RTPgs, rtpPayloadFormat, rtpTimestampFrequency, rtpPayloadFormatName, numChannels),
      fSDPMediaTypeString(sdpMediaTypeString ? sdpMediaTypeString : "unknown"),
      fAllowMultipleFramesPerPacket(allowMultipleFramesPerPacket),
      fSetMBitOnLastFrames(fSDPMediaTypeString == "video" && doNormalMBitRule),
      fTransportStream(rtpPayloadFormatName && strcmp(rtpPayloadFormatName, "MP2T") == 0)
{
}

bool ts_keyframe_start(const unsigned char *data, unsigned size)
{
    if (size < 188 || data[0] != 0x47 || (data[1] & 0x5f) != 0x40 || data[2] != 0)
        return false;
    for (unsigned off = 188; off + 188 <= size; off += 188) {
        const unsigned char *p = data + off;
        unsigned pid = (p[1] & 0x1fu) << 8 | p[2];
        if (p[0] == 0x47 && (p[1] & 0x60) == 0x60 && pid != 0)
            return true;
    }
    return false;
}

bool KelvSimpleRTPSink::frameCanAppearAfterPacketStart(const unsigned char *frameStart, unsigned numBytesInFrame) const
{
    // A keyframe's start opens a packet of its own, so that a joiner gets nothing before it.
    if (fTransportStream && ts_keyframe_start(frameStart, numBytesInFrame))
        return false;
    return fAllowMultipleFramesPerPacket;
}

KelvSimpleRTPSink::~KelvSimpleRTPSink() {}

void KelvSimpleRTPSink::doSpecialFrameHandling(unsigned fragmentationOffset, unsigned char *frameStart, unsigned numBytesInFrame,
                                               struct timeval framePresentationTime, unsigned numRemainingBytes)
{
    if (numRemainingBytes == 0 && fSetMBitOnLastFrames)
        setMarkerBit();
    if (fTransportStream && isFirstFrameInPacket() && fragmentationOffset == 0 &&
        ts_keyframe_start(frameStart, numBytesInFrame))
        fPacketIsSyncPoint = true;
    KelvMultiFramedRTPSink::doSpecialFrameHandling(fragmentationOffset, frameStart, numBytesInFrame, framePresentationTime,
                                                   numRemainingBytes);
}

// ---- KelvMPEG2TransportStreamFramer ----

enum { TS_PACKET_SIZE = 188 };

KelvMPEG2TransportStreamFramer *KelvMPEG2TransportStreamFramer::createNew(UsageEnvironment &env, FramedSource *inputSource)
{
    return inputSource ? new KelvMPEG2TransportStreamFramer(env, inputSource) : nullptr;
}

KelvMPEG2TransportStreamFramer::KelvMPEG2TransportStreamFramer(UsageEnvironment &env, FramedSource *inputSource)
    : FramedFilter(env, inputSource)
{
}

KelvMPEG2TransportStreamFramer::~KelvMPEG2TransportStreamFramer() {}

void KelvMPEG2TransportStreamFramer::doGetNextFrame()
{
    fFrameSize2 = 0;
    fInputSource->getNextFrame(fTo, fMaxSize, afterGettingFrame, this, FramedSource::handleClosure, this);
}

void KelvMPEG2TransportStreamFramer::doStopGettingFrames()
{
    FramedFilter::doStopGettingFrames();
    fFrameSize2 = 0;
}

void KelvMPEG2TransportStreamFramer::afterGettingFrame(void *clientData, unsigned frameSize, unsigned, struct timeval presentationTime,
                                                       unsigned)
{
    static_cast<KelvMPEG2TransportStreamFramer *>(clientData)->afterGettingFrame1(frameSize, presentationTime);
}

void KelvMPEG2TransportStreamFramer::afterGettingFrame1(unsigned frameSize, struct timeval presentationTime)
{
    fFrameSize2 += frameSize;
    unsigned count = fFrameSize2 / TS_PACKET_SIZE;
    fFrameSize2 = count * TS_PACKET_SIZE;
    if (count == 0) {
        log_printf("%s:%d\n", "afterGettingFrame1", 258);
        handleClosure();
        return;
    }
    unsigned p = 0;
    while (p < fFrameSize2 && fTo[p] != 0x47)
        p++;
    if (p == fFrameSize2) {
        envir().setResultMsg("No Transport Stream sync byte in data.");
        log_printf("%s:%d\n", "afterGettingFrame1", 270);
        handleClosure();
        return;
    }
    if (p > 0) {
        // Realign: the missing tail of the last packet comes from the input.
        memmove(fTo, fTo + p, fFrameSize2 - p);
        fFrameSize2 -= p;
        fInputSource->getNextFrame(fTo + fFrameSize2, p, afterGettingFrame, this, FramedSource::handleClosure, this);
        return;
    }
    fFrameSize = fFrameSize2;
    fNumTruncatedBytes = 0;
    fPresentationTime = presentationTime;
    fDurationInMicroseconds = 0;
    FramedSource::afterGetting(this);
}
