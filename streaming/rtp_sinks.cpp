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
    : RTPSink(env, rtpGS, rtpPayloadType, rtpTimestampFrequency, rtpPayloadFormatName, numChannels)
{
    unsigned size = rtp_packet_size(rtsp_param_block());
    if (size == 0)
        size = RTP_DEFAULT_UDP_PACKET - RTP_IP_UDP_OVERHEAD;
    fOutBuf = new OutPacketBuffer(size, size, OutPacketBuffer::maxSize);
    fMaxPacketSize = size;
    fMP2T = rtpPayloadFormatName && strcmp(rtpPayloadFormatName, "MP2T") == 0;
}

KelvMultiFramedRTPSink::~KelvMultiFramedRTPSink()
{
    KelvMultiFramedRTPSink::stopPlaying();
    delete fOutBuf;
}

void KelvMultiFramedRTPSink::stopPlaying()
{
    fOutBuf->resetPacketStart();
    fOutBuf->resetOffset();
    fOutBuf->resetOverflowData();
    fCurFragmentationOffset = 0;
    fPreviousFrameEndedFragmentation = false;
    fNumFramesUsedSoFar = 0;
    MediaSink::stopPlaying();
}

unsigned KelvMultiFramedRTPSink::computeOverflowForNewFrame(unsigned newFrameSize) const
{
    unsigned overflow = fOutBuf->numOverflowBytes(newFrameSize);
    // A transport packet split over two RTP packets is lost to the receiver.
    if (fMP2T && overflow > 0 && overflow < newFrameSize) {
        unsigned use = newFrameSize - overflow;
        if (use >= 188)
            overflow += use % 188;
    }
    return overflow;
}

bool KelvMultiFramedRTPSink::continuePlaying()
{
    buildAndSendPacket(true);
    return true;
}

void KelvMultiFramedRTPSink::sendNext(void *firstArg)
{
    KelvMultiFramedRTPSink *sink = static_cast<KelvMultiFramedRTPSink *>(firstArg);
    sink->nextTask() = nullptr;
    sink->buildAndSendPacket(false);
}

void KelvMultiFramedRTPSink::buildAndSendPacket(bool isFirstPacket)
{
    fIsFirstPacket = isFirstPacket;
    fOutBuf->enqueueWord(0x80000000u | (uint32_t)(fRTPPayloadType & 0x7f) << 16 | fSeqNo);
    fTimestampPosition = fOutBuf->curPacketSize();
    fOutBuf->skipBytes(4);
    fOutBuf->enqueueWord(fSSRC);
    fSpecialHeaderPosition = fOutBuf->curPacketSize();
    fSpecialHeaderSize = specialHeaderSize();
    fOutBuf->skipBytes(fSpecialHeaderSize);
    fTotalFrameSpecificHeaderSizes = 0;
    fNoFramesLeft = false;
    fNumFramesUsedSoFar = 0;
    packFrame();
}

void KelvMultiFramedRTPSink::packFrame()
{
    fCurFrameSpecificHeaderPosition = fOutBuf->curPacketSize();
    fCurFrameSpecificHeaderSize = frameSpecificHeaderSize();
    fOutBuf->skipBytes(fCurFrameSpecificHeaderSize);
    fTotalFrameSpecificHeaderSizes += fCurFrameSpecificHeaderSize;
    if (fOutBuf->haveOverflowData()) {
        unsigned size = fOutBuf->overflowDataSize();
        struct timeval pt = fOutBuf->overflowPresentationTime();
        unsigned dur = fOutBuf->overflowDurationInMicroseconds();
        fOutBuf->useOverflowData();
        afterGettingFrame1(size, 0, pt, dur);
        return;
    }
    if (fSource == nullptr)
        return;
    fSource->getNextFrame(fOutBuf->curPtr(), fOutBuf->totalBytesAvailable(), afterGettingFrame, this, ourHandleClosure, this);
}

void KelvMultiFramedRTPSink::afterGettingFrame(void *clientData, unsigned numBytesRead, unsigned numTruncatedBytes,
                                               struct timeval presentationTime, unsigned durationInMicroseconds)
{
    static_cast<KelvMultiFramedRTPSink *>(clientData)->afterGettingFrame1(numBytesRead, numTruncatedBytes, presentationTime,
                                                                         durationInMicroseconds);
}

void KelvMultiFramedRTPSink::afterGettingFrame1(unsigned frameSize, unsigned numTruncatedBytes, struct timeval presentationTime,
                                                unsigned durationInMicroseconds)
{
    if (fIsFirstPacket)
        gettimeofday(&fNextSendTime, nullptr);
    if (numTruncatedBytes > 0)
        log_printf("KelvMultiFramedRTPSink::afterGettingFrame1(): The input frame data was too large for our buffer size (%u).  "
                   "%u bytes of trailing data was dropped!  Correct this by increasing \"OutPacketBuffer::maxSize\" to at "
                   "least %u, *before* creating this 'RTPSink'.  (Current value is %u.)\n",
                   fOutBuf->totalBytesAvailable(), numTruncatedBytes, OutPacketBuffer::maxSize + numTruncatedBytes,
                   OutPacketBuffer::maxSize);
    if (frameSize > fOutBuf->totalBytesAvailable())
        frameSize = fOutBuf->totalBytesAvailable();

    unsigned curFragmentationOffset = fCurFragmentationOffset;
    unsigned numFrameBytesToUse = frameSize;
    unsigned overflowBytes = 0;

    if (fNumFramesUsedSoFar > 0) {
        if ((fPreviousFrameEndedFragmentation && !allowOtherFramesAfterLastFragment()) ||
            !frameCanAppearAfterPacketStart(fOutBuf->curPtr(), frameSize)) {
            numFrameBytesToUse = 0;
            fOutBuf->setOverflowData(fOutBuf->curPacketSize(), frameSize, presentationTime, durationInMicroseconds);
        }
    }
    fPreviousFrameEndedFragmentation = false;

    if (numFrameBytesToUse > 0) {
        if (fOutBuf->wouldOverflow(frameSize)) {
            // The first frame of a packet is always split: keeping it whole would never send.
            if (fNumFramesUsedSoFar == 0 || (fOutBuf->isTooBigForAPacket(frameSize) && allowFragmentationAfterStart())) {
                overflowBytes = computeOverflowForNewFrame(frameSize);
                numFrameBytesToUse -= overflowBytes;
                fCurFragmentationOffset += numFrameBytesToUse;
            } else {
                overflowBytes = frameSize;
                numFrameBytesToUse = 0;
            }
            fOutBuf->setOverflowData(fOutBuf->curPacketSize() + numFrameBytesToUse, overflowBytes, presentationTime,
                                     durationInMicroseconds);
        } else if (fCurFragmentationOffset > 0) {
            fCurFragmentationOffset = 0;
            fPreviousFrameEndedFragmentation = true;
        }
    }

    if (numFrameBytesToUse == 0 && frameSize > 0) {
        sendPacketIfNecessary();
        return;
    }

    unsigned char *frameStart = fOutBuf->curPtr();
    fOutBuf->increment(numFrameBytesToUse);
    doSpecialFrameHandling(curFragmentationOffset, frameStart, numFrameBytesToUse, presentationTime, overflowBytes);
    ++fNumFramesUsedSoFar;
    if (overflowBytes == 0) {
        fNextSendTime.tv_usec += durationInMicroseconds;
        fNextSendTime.tv_sec += fNextSendTime.tv_usec / 1000000;
        fNextSendTime.tv_usec %= 1000000;
    }

    // An empty frame (nothing left to say) ends the packet too, so that we never spin on it.
    if (frameSize == 0 || fOutBuf->isPreferredSize() || fOutBuf->wouldOverflow(numFrameBytesToUse) || overflowBytes > 0 ||
        (fPreviousFrameEndedFragmentation && !allowOtherFramesAfterLastFragment()) ||
        !frameCanAppearAfterPacketStart(frameStart, numFrameBytesToUse))
        sendPacketIfNecessary();
    else
        packFrame();
}

void KelvMultiFramedRTPSink::ourHandleClosure(void *clientData)
{
    KelvMultiFramedRTPSink *sink = static_cast<KelvMultiFramedRTPSink *>(clientData);
    sink->fNoFramesLeft = true;
    sink->sendPacketIfNecessary();
}

void KelvMultiFramedRTPSink::sendPacketIfNecessary()
{
    if (fNumFramesUsedSoFar > 0 && fOutBuf->curPacketSize() > RTP_HEADER_SIZE + fSpecialHeaderSize + fTotalFrameSpecificHeaderSizes) {
        // A failed send counts as sent: the live stream goes on.
        if (!fRTPInterface.sendPacket(fOutBuf->packet(), fOutBuf->curPacketSize()) && fOnSendErrorFunc)
            fOnSendErrorFunc(fOnSendErrorData);
        ++fPacketCount;
        fOctetCount += fOutBuf->curPacketSize() - RTP_HEADER_SIZE - fSpecialHeaderSize - fTotalFrameSpecificHeaderSizes;
        fLastSentTimestamp = fOutBuf->extractWord(fTimestampPosition);
        ++fSeqNo;
    }
    unsigned headers = RTP_HEADER_SIZE + specialHeaderSize() + frameSpecificHeaderSize();
    if (fOutBuf->haveOverflowData() && fOutBuf->overflowDataOffset() > headers &&
        fOutBuf->totalBytesAvailable() > fOutBuf->totalBufferSize() / 2)
        fOutBuf->adjustPacketStart(fOutBuf->overflowDataOffset() - headers);
    else
        fOutBuf->resetPacketStart();
    fOutBuf->resetOffset();
    fNumFramesUsedSoFar = 0;

    if (fNoFramesLeft) {
        fOutBuf->resetOverflowData();
        onSourceClosure();
        return;
    }
    nextTask() = envir().taskScheduler().scheduleDelayedTask(0, sendNext, this);
}

void KelvMultiFramedRTPSink::doSpecialFrameHandling(unsigned, unsigned char *, unsigned, struct timeval framePresentationTime, unsigned)
{
    if (isFirstFrameInPacket())
        setTimestamp(framePresentationTime);
}

void KelvMultiFramedRTPSink::setMarkerBit()
{
    fOutBuf->insertWord(fOutBuf->extractWord(0) | 0x00800000u, 0);
}

void KelvMultiFramedRTPSink::setTimestamp(struct timeval framePresentationTime)
{
    fOutBuf->insertWord(convertToRTPTimestamp(framePresentationTime), fTimestampPosition);
}

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
      fSetMBitOnLastFrames(fSDPMediaTypeString == "video" && doNormalMBitRule)
{
}

KelvSimpleRTPSink::~KelvSimpleRTPSink() {}

void KelvSimpleRTPSink::doSpecialFrameHandling(unsigned fragmentationOffset, unsigned char *frameStart, unsigned numBytesInFrame,
                                               struct timeval framePresentationTime, unsigned numRemainingBytes)
{
    if (numRemainingBytes == 0 && fSetMBitOnLastFrames)
        setMarkerBit();
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
