#include "rtsp/RTPSink.h"

#include <algorithm>
#include <cstring>
#include <sys/random.h>

#include "core/log.h"

static uint32_t random32()
{
    uint32_t v = 0;
    if (getrandom(&v, sizeof v, GRND_NONBLOCK) != sizeof v) {
        struct timeval tv;
        gettimeofday(&tv, nullptr);
        v = (uint32_t)(tv.tv_usec * 2654435761u) ^ (uint32_t)tv.tv_sec;
    }
    return v;
}

uint32_t rtsp_random32() { return random32(); }

namespace {
// A frame's packets go to the interleaved clients together; a batch that grows past these
// (a source far behind) is handed over early.
constexpr size_t BATCH_FLUSH_BYTES = 512 * 1024;
constexpr size_t BATCH_FLUSH_PACKETS = 1024;
// Packets the sink sends in one go before it lets the scheduler run other work.
constexpr unsigned MAX_PACKETS_PER_PASS = 1024;
// A client whose oldest unwritten RTP is older than about one interval between sync points
// (a GOP) skips to the next one; the interval is taken within these bounds.
constexpr int64_t LAG_LIMIT_MIN_US = 500000, LAG_LIMIT_MAX_US = 5000000, LAG_LIMIT_DEFAULT_US = 2000000;
// Batches kept for reuse: enough for the frames a client a little behind still holds.
constexpr size_t MAX_SPARE_BATCHES = 16;
} // namespace

bool RTPStreamConnection::sendBatch(uint8_t channelId, const RTPPacketBatchRef &batch, unsigned first, unsigned end)
{
    bool ok = false;
    for (unsigned i = first; i < end; i++)
        ok |= sendInterleaved(channelId, batch->packet(i), batch->packets[i].size);
    return ok;
}

bool RTPInterface::queuePacket(const unsigned char *packet, unsigned packetSize, bool syncPoint)
{
    bool udp = fGS && fGS->hasDestinations();
    if (fStreams.empty() && !udp)
        return true;
    if (!fBatch)
        fBatch = spareBatch();
    RTPPacketBatch &b = *fBatch;
    if (b.packets.empty())
        b.channel = fStreams.empty() ? 0 : fStreams[0].channelId;
    const uint8_t framing[4] = {'$', b.channel, (uint8_t)(packetSize >> 8), (uint8_t)packetSize};
    b.data.insert(b.data.end(), framing, framing + 4);
    b.packets.push_back(RTPPacketBatch::Packet{(uint32_t)b.data.size(), (uint16_t)packetSize, syncPoint});
    b.data.insert(b.data.end(), packet, packet + packetSize);
    fBatchHasSync |= syncPoint;
    if (b.data.size() >= BATCH_FLUSH_BYTES || b.packets.size() >= BATCH_FLUSH_PACKETS)
        flush();
    return true;
}

// A batch no connection holds any more is cleared and filled again: in steady state a frame
// costs no allocation, whatever the number of clients.
std::shared_ptr<RTPPacketBatch> RTPInterface::spareBatch()
{
    for (auto &b : fSpares)
        if (b.use_count() == 1) {
            b->data.clear();
            b->packets.clear();
            return b;
        }
    auto b = std::make_shared<RTPPacketBatch>();
    b->data.reserve(64 * 1024);
    b->packets.reserve(64);
    if (fSpares.size() < MAX_SPARE_BATCHES)
        fSpares.push_back(b);
    return b;
}

void RTPInterface::flush()
{
    if (!fBatch)
        return;
    std::shared_ptr<RTPPacketBatch> filled = std::move(fBatch);
    fBatch.reset();
    // One clock read per batch: it stamps the batch for the lag rule and times the sync points.
    int64_t now = rtsp_monotonic_us();
    filled->createdUs = now;
    if (fBatchHasSync) {
        if (fLastSyncUs)
            fSyncIntervalUs = now - fLastSyncUs;
        fLastSyncUs = now;
        fBatchHasSync = false;
    }
    RTPPacketBatchRef batch = std::move(filled);
    unsigned n = (unsigned)batch->packets.size();
    if (fGS && fGS->hasDestinations())
        sendBatchUdp(*batch);
    int64_t limit = fSyncIntervalUs ? fSyncIntervalUs : LAG_LIMIT_DEFAULT_US;
    limit = limit < LAG_LIMIT_MIN_US ? LAG_LIMIT_MIN_US : limit > LAG_LIMIT_MAX_US ? LAG_LIMIT_MAX_US : limit;
    for (size_t k = 0; k < fStreams.size(); k++) {
        Stream &s = fStreams[k];
        s.conn->noteOffered(batch->framedBytes(0, n));
        unsigned dropped = 0;
        bool newDrop = false;
        if (!s.waitSync && s.conn->backlogAgeUs(now) > limit) {
            // Never hold the others back, nor let one client's backlog grow: it starts again
            // at the next keyframe.
            dropped = s.conn->dropBacklog(s.channelId);
            s.waitSync = s.lagging = newDrop = true;
        }
        unsigned first = 0;
        if (s.waitSync) {
            while (first < n && !batch->packets[first].syncPoint)
                first++;
            if (s.lagging)
                dropped += first;   // a joiner's wait for its first keyframe is no loss
            if (first < n)
                s.waitSync = s.lagging = false;
        }
        if (first < n && !s.started) {
            s.started = true;
            if (fReceiverStartFunc)
                fReceiverStartFunc(fReceiverStartData, s.conn, 0);
        }
        if (first < n && !s.conn->sendBatch(s.channelId, batch, first, n)) {
            dropped += n - first;
            newDrop = !s.lagging;
            s.waitSync = s.lagging = true;
        }
        fLagDroppedPackets += dropped;
        if (newDrop) {
            s.drops++;
            fLagDrops++;
            log_printf("rtsp: %s (channel %u) lags more than %lld ms: %u RTP packets dropped, skipping to the next keyframe "
                       "(drop %u)\n", s.conn->peerName(), s.channelId, (long long)(limit / 1000), dropped, s.drops);
        }
    }
}

void RTPInterface::sendBatchUdp(const RTPPacketBatch &batch)
{
    size_t n = batch.packets.size();
    if (fUdpIov.size() < n) {
        fUdpIov.resize(n);
        fUdpSync.resize(n);
    }
    for (size_t i = 0; i < n; i++) {
        fUdpIov[i] = {(void *)batch.packet((unsigned)i), batch.packets[i].size};
        fUdpSync[i] = batch.packets[i].syncPoint;
    }
    fGS->outputBatch(fOwner->envir(), fUdpIov.data(), fUdpSync.data(), (unsigned)n);
}

bool RTPInterface::sendPacket(const unsigned char *packet, unsigned packetSize)
{
    bool ok = false;
    if (fGS && fGS->hasDestinations())
        ok = fGS->output(fOwner->envir(), packet, packetSize);
    // A connection may drop itself while we send (peer gone); iterate over a copy.
    if (!fStreams.empty()) {
        std::vector<Stream> streams = fStreams;
        for (const auto &s : streams) {
            s.conn->noteOffered(4 + packetSize);
            ok |= s.conn->sendInterleaved(s.channelId, packet, packetSize);
        }
    }
    return ok || (!(fGS && fGS->hasDestinations()) && fStreams.empty());
}

bool RTPInterface::sendPacketTo(RTPStreamConnection *conn, const unsigned char *packet, unsigned packetSize)
{
    bool ok = false;
    std::vector<Stream> streams = fStreams;
    for (const auto &s : streams)
        if (s.conn == conn)
            ok |= s.conn->sendInterleaved(s.channelId, packet, packetSize);
    return ok;
}

void RTPInterface::addStreamSocket(RTPStreamConnection *conn, uint8_t channelId, bool waitForSyncPoint)
{
    for (const auto &s : fStreams)
        if (s.conn == conn && s.channelId == channelId)
            return;
    fStreams.push_back(Stream{conn, channelId, waitForSyncPoint, false, 0, false});
}

void RTPInterface::setReceiverStartFunc(ReceiverStartFunc *func, void *clientData)
{
    fReceiverStartFunc = func;
    fReceiverStartData = clientData;
    if (fGS)
        fGS->setFirstSendFunc(func ? udpReceiverStart : nullptr, this);
}

void RTPInterface::resetReceiverStarts()
{
    for (auto &s : fStreams)
        s.started = false;
    if (fGS)
        fGS->resetFirstSends();
}

void RTPInterface::udpReceiverStart(void *clientData, unsigned sessionId)
{
    RTPInterface *i = static_cast<RTPInterface *>(clientData);
    if (i->fReceiverStartFunc)
        i->fReceiverStartFunc(i->fReceiverStartData, nullptr, sessionId);
}

void RTPInterface::removeStreamSocket(RTPStreamConnection *conn)
{
    fStreams.erase(std::remove_if(fStreams.begin(), fStreams.end(), [&](const Stream &s) { return s.conn == conn; }), fStreams.end());
}

RTPSink::RTPSink(UsageEnvironment &env, Groupsock *rtpGS, unsigned char rtpPayloadType, unsigned rtpTimestampFrequency,
                 const char *rtpPayloadFormatName, unsigned numChannels)
    : MediaSink(env), fRTPInterface(this, rtpGS), fRTPPayloadType(rtpPayloadType), fSeqNo((uint16_t)random32()),
      fSSRC(random32()), fTimestampBase(random32()), fTimestampFrequency(rtpTimestampFrequency ? rtpTimestampFrequency : 90000),
      fRTPPayloadFormatName(rtpPayloadFormatName ? rtpPayloadFormatName : "unknown"), fNumChannels(numChannels ? numChannels : 1)
{
}

RTPSink::~RTPSink() {}

std::string RTPSink::rtpmapLine() const
{
    char line[160];
    if (fNumChannels > 1)
        snprintf(line, sizeof line, "a=rtpmap:%u %s/%u/%u\r\n", fRTPPayloadType, fRTPPayloadFormatName.c_str(), fTimestampFrequency, fNumChannels);
    else
        snprintf(line, sizeof line, "a=rtpmap:%u %s/%u\r\n", fRTPPayloadType, fRTPPayloadFormatName.c_str(), fTimestampFrequency);
    return line;
}

uint32_t RTPSink::convertToRTPTimestamp(struct timeval tv) const
{
    uint64_t ticks = (uint64_t)tv.tv_sec * fTimestampFrequency + ((uint64_t)tv.tv_usec * fTimestampFrequency + 500000) / 1000000;
    return fTimestampBase + (uint32_t)ticks;
}

uint32_t RTPSink::presetNextTimestamp()
{
    // Frames leave in presentation order, so a client joining a running stream gets nothing
    // stamped before the newest packet sent.
    if (fPacketCount > 0)
        return fLastSentTimestamp;
    if (!fTimestampPreset) {
        struct timeval now;
        gettimeofday(&now, nullptr);
        fPresetTimestamp = convertToRTPTimestamp(now);
        fTimestampPreset = true;
    }
    return fPresetTimestamp;
}

uint32_t RTPSink::packetTimestamp(struct timeval tv)
{
    if (fTimestampPreset && !fTimestampAnchored)
        fTimestampBase += fPresetTimestamp - convertToRTPTimestamp(tv);
    fTimestampAnchored = true;
    return convertToRTPTimestamp(tv);
}

MultiFramedRTPSink::MultiFramedRTPSink(UsageEnvironment &env, Groupsock *rtpGS, unsigned char rtpPayloadType,
                                       unsigned rtpTimestampFrequency, const char *rtpPayloadFormatName, unsigned numChannels)
    : RTPSink(env, rtpGS, rtpPayloadType, rtpTimestampFrequency, rtpPayloadFormatName, numChannels)
{
    // 1448 keeps an RTP packet with its IP, UDP and a tunnel header within a 1500-byte MTU.
    fOutBuf = new OutPacketBuffer(1000, 1448);
    fMaxPacketSize = 1448;
}

MultiFramedRTPSink::~MultiFramedRTPSink()
{
    MultiFramedRTPSink::stopPlaying();
    delete fOutBuf;
}

void MultiFramedRTPSink::setPacketSizes(unsigned preferredPacketSize, unsigned maxPacketSize)
{
    if (preferredPacketSize == 0 || maxPacketSize < preferredPacketSize || maxPacketSize < 12 + 16) {
        log_error("rtp sink: refused packet sizes %u/%u\n", preferredPacketSize, maxPacketSize);
        return;
    }
    if (fSource) {
        // The source may be writing into the current buffer; switch between packets.
        fPendingPreferred = preferredPacketSize;
        fPendingMax = maxPacketSize;
        return;
    }
    delete fOutBuf;
    fOutBuf = new OutPacketBuffer(preferredPacketSize, maxPacketSize);
    fMaxPacketSize = maxPacketSize;
}

void MultiFramedRTPSink::stopPlaying()
{
    fOutBuf->resetPacketStart();
    fOutBuf->resetOffset();
    fOutBuf->resetOverflowData();
    fCurFragmentationOffset = 0;
    fPreviousFrameEndedFragmentation = false;
    fNumFramesUsedSoFar = 0;
    MediaSink::stopPlaying();
}

bool MultiFramedRTPSink::continuePlaying()
{
    // A stream that stops and starts again (a multicast channel) is new to its group too.
    fRTPInterface.resetReceiverStarts();
    drive(true);
    return true;
}

void MultiFramedRTPSink::sendNext(void *firstArg)
{
    MultiFramedRTPSink *sink = static_cast<MultiFramedRTPSink *>(firstArg);
    sink->nextTask() = nullptr;
    sink->drive(false);
}

// Packets follow one another in this loop while the source has data at hand, instead of taking
// a pass of the scheduler each; the frame goes to the interleaved clients when the source has
// to wait for its producer.
void MultiFramedRTPSink::drive(bool isFirstPacket)
{
    if (fDriving) {
        fNextPacketWanted = true;
        return;
    }
    fDriving = true;
    fNextPacketWanted = true;
    unsigned n = 0;
    while (fNextPacketWanted && fSource) {
        fNextPacketWanted = false;
        if (n++ == MAX_PACKETS_PER_PASS) {
            nextTask() = envir().taskScheduler().scheduleDelayedTask(0, sendNext, this);
            break;
        }
        buildAndSendPacket(isFirstPacket);
        isFirstPacket = false;
    }
    fDriving = false;
    fRTPInterface.flush();
}

void MultiFramedRTPSink::buildAndSendPacket(bool isFirstPacket)
{
    if (fPendingMax && !fOutBuf->haveOverflowData()) {
        delete fOutBuf;
        fOutBuf = new OutPacketBuffer(fPendingPreferred, fPendingMax);
        fMaxPacketSize = fPendingMax;
        fPendingPreferred = fPendingMax = 0;
    }
    fIsFirstPacket = isFirstPacket;
    fPacketIsSyncPoint = !joinersWaitForSyncPoint();
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

void MultiFramedRTPSink::packFrame()
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
        afterGettingFrame1(size, 0, pt, dur, true);
        return;
    }
    if (fSource == nullptr)
        return;
    fSource->getNextFrame(fOutBuf->curPtr(), fOutBuf->totalBytesAvailable(), afterGettingFrame, this, ourHandleClosure, this);
}

void MultiFramedRTPSink::afterGettingFrame(void *clientData, unsigned numBytesRead, unsigned numTruncatedBytes,
                                           struct timeval presentationTime, unsigned durationInMicroseconds)
{
    static_cast<MultiFramedRTPSink *>(clientData)->afterGettingFrame1(numBytesRead, numTruncatedBytes, presentationTime,
                                                                     durationInMicroseconds, false);
}

void MultiFramedRTPSink::afterGettingFrame1(unsigned frameSize, unsigned numTruncatedBytes, struct timeval presentationTime,
                                            unsigned durationInMicroseconds, bool fromOverflow)
{
    if (fIsFirstPacket)
        gettimeofday(&fNextSendTime, nullptr);
    if (numTruncatedBytes > 0)
        log_printf("MultiFramedRTPSink::afterGettingFrame1(): The input frame data was too large for our buffer size (%u).  "
                   "%u bytes of trailing data was dropped!  Correct this by increasing \"OutPacketBuffer::maxSize\" to at "
                   "least %u, *before* creating this 'RTPSink'.  (Current value is %u.)\n",
                   fOutBuf->totalBytesAvailable(), numTruncatedBytes, OutPacketBuffer::maxSize + numTruncatedBytes,
                   OutPacketBuffer::maxSize);
    if (frameSize > fOutBuf->totalBytesAvailable())
        frameSize = fOutBuf->totalBytesAvailable();
    if (!fromOverflow)
        frameSize = adjustNewFrame(fOutBuf->curPtr(), frameSize);

    if (frameSize == 0 && !fromOverflow) {
        // Nothing to carry; do not spin on a source that keeps handing out empty frames.
        if (fNumFramesUsedSoFar > 0) {
            sendPacketIfNecessary();
        } else {
            fOutBuf->resetOffset();
            fOutBuf->resetPacketStart();
            drive(false);
        }
        return;
    }

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
            // A frame that cannot fit even an empty packet is split when allowed here; one that
            // merely does not fit behind the frames already packed starts the next packet.
            if (fNumFramesUsedSoFar == 0 || (fOutBuf->isTooBigForAPacket(frameSize) && allowFragmentationAfterStart())) {
                overflowBytes = computeOverflowForNewFrame(frameSize);
                unsigned g = fragmentGranularity();
                unsigned use = frameSize - overflowBytes;
                if (g > 1 && use > g && use % g) {
                    overflowBytes += use % g;
                    use -= use % g;
                }
                numFrameBytesToUse = use;
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
        // Nothing of this frame fits here; it starts the next packet.
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

    if (fOutBuf->isPreferredSize() || fOutBuf->wouldOverflow(numFrameBytesToUse + frameSpecificHeaderSize()) ||
        overflowBytes > 0 || (fPreviousFrameEndedFragmentation && !allowOtherFramesAfterLastFragment()) ||
        !frameCanAppearAfterPacketStart(frameStart, numFrameBytesToUse))
        sendPacketIfNecessary();
    else
        packFrame();
}

void MultiFramedRTPSink::ourHandleClosure(void *clientData)
{
    MultiFramedRTPSink *sink = static_cast<MultiFramedRTPSink *>(clientData);
    sink->fNoFramesLeft = true;
    sink->sendPacketIfNecessary();
}

void MultiFramedRTPSink::sendPacketIfNecessary()
{
    if (fNumFramesUsedSoFar > 0) {
        if (!fRTPInterface.queuePacket(fOutBuf->packet(), fOutBuf->curPacketSize(), fPacketIsSyncPoint)) {
            if (fOnSendErrorFunc)
                fOnSendErrorFunc(fOnSendErrorData);
        }
        ++fPacketCount;
        unsigned headers = 12 + fSpecialHeaderSize + fTotalFrameSpecificHeaderSizes;
        if (fOutBuf->curPacketSize() > headers)
            fOctetCount += fOutBuf->curPacketSize() - headers;
        fLastSentTimestamp = fOutBuf->extractWord(fTimestampPosition);
        ++fSeqNo;
    }
    unsigned headers = 12 + specialHeaderSize() + frameSpecificHeaderSize();
    if (fOutBuf->haveOverflowData() && fOutBuf->overflowDataOffset() > headers &&
        fOutBuf->totalBytesAvailable() > fOutBuf->totalBufferSize() / 2)
        fOutBuf->adjustPacketStart(fOutBuf->overflowDataOffset() - headers);
    else
        fOutBuf->resetPacketStart();
    fOutBuf->resetOffset();
    fNumFramesUsedSoFar = 0;

    if (fNoFramesLeft) {
        fOutBuf->resetOverflowData();
        fRTPInterface.flush();
        onSourceClosure();
        return;
    }
    drive(false);
}

void MultiFramedRTPSink::doSpecialFrameHandling(unsigned fragmentationOffset, unsigned char *frameStart, unsigned numBytesInFrame,
                                                struct timeval framePresentationTime, unsigned numRemainingBytes)
{
    if (isFirstFrameInPacket())
        setTimestamp(framePresentationTime);
}

void MultiFramedRTPSink::setMarkerBit()
{
    uint32_t w = fOutBuf->extractWord(0);
    fOutBuf->insertWord(w | 0x00800000u, 0);
}

void MultiFramedRTPSink::setTimestamp(struct timeval framePresentationTime, uint32_t ticksIntoFrame)
{
    fOutBuf->insertWord(packetTimestamp(framePresentationTime) + ticksIntoFrame, fTimestampPosition);
}

void MultiFramedRTPSink::setSpecialHeaderWord(uint32_t word, unsigned wordPosition)
{
    fOutBuf->insertWord(word, fSpecialHeaderPosition + 4 * wordPosition);
}

void MultiFramedRTPSink::setSpecialHeaderBytes(const unsigned char *bytes, unsigned numBytes, unsigned bytePosition)
{
    fOutBuf->insert(bytes, numBytes, fSpecialHeaderPosition + bytePosition);
}

void MultiFramedRTPSink::setFrameSpecificHeaderWord(uint32_t word, unsigned wordPosition)
{
    fOutBuf->insertWord(word, fCurFrameSpecificHeaderPosition + 4 * wordPosition);
}

SimpleRTPSink *SimpleRTPSink::createNew(UsageEnvironment &env, Groupsock *RTPgs, unsigned char rtpPayloadFormat,
                                        unsigned rtpTimestampFrequency, const char *sdpMediaTypeString,
                                        const char *rtpPayloadFormatName, unsigned numChannels,
                                        bool allowMultipleFramesPerPacket, bool doNormalMBitRule)
{
    return new SimpleRTPSink(env, RTPgs, rtpPayloadFormat, rtpTimestampFrequency, sdpMediaTypeString, rtpPayloadFormatName,
                             numChannels, allowMultipleFramesPerPacket, doNormalMBitRule);
}

SimpleRTPSink::SimpleRTPSink(UsageEnvironment &env, Groupsock *RTPgs, unsigned char rtpPayloadFormat, unsigned rtpTimestampFrequency,
                             const char *sdpMediaTypeString, const char *rtpPayloadFormatName, unsigned numChannels,
                             bool allowMultipleFramesPerPacket, bool doNormalMBitRule)
    : MultiFramedRTPSink(env, RTPgs, rtpPayloadFormat, rtpTimestampFrequency, rtpPayloadFormatName, numChannels),
      fSDPMediaTypeString(sdpMediaTypeString ? sdpMediaTypeString : "unknown"),
      fAllowMultipleFramesPerPacket(allowMultipleFramesPerPacket)
{
    bool video = fSDPMediaTypeString == "video";
    fSetMBitOnLastFrames = doNormalMBitRule && video;
    fSetMBitOnNextPacket = doNormalMBitRule && !video;   // audio: the first packet starts a talk spurt
    const char *fmt = rtpPayloadFormatName ? rtpPayloadFormatName : "";
    // Never split a sample or a transport packet between two RTP packets.
    if (strcmp(fmt, "L16") == 0)
        fGranularity = fSampleBytes = 2 * this->numChannels();
    else if (strcmp(fmt, "L24") == 0)
        fGranularity = fSampleBytes = 3 * this->numChannels();
    else if (strcmp(fmt, "L8") == 0)
        fGranularity = fSampleBytes = this->numChannels();
    else if (strcmp(fmt, "MP2T") == 0)
        fGranularity = 188;
}

void SimpleRTPSink::doSpecialFrameHandling(unsigned fragmentationOffset, unsigned char *frameStart, unsigned numBytesInFrame,
                                           struct timeval framePresentationTime, unsigned numRemainingBytes)
{
    if (numRemainingBytes == 0 && fSetMBitOnLastFrames)
        setMarkerBit();
    if (fSetMBitOnNextPacket) {
        setMarkerBit();
        fSetMBitOnNextPacket = false;
    }
    // Linear PCM (RFC 3551): a packet is stamped with its first sample, also when it carries a
    // later part of a frame; counted in samples, so no rounding through microseconds.
    if (fSampleBytes && fragmentationOffset > 0) {
        if (isFirstFrameInPacket())
            setTimestamp(framePresentationTime, fragmentationOffset / fSampleBytes);
        return;
    }
    MultiFramedRTPSink::doSpecialFrameHandling(fragmentationOffset, frameStart, numBytesInFrame, framePresentationTime,
                                               numRemainingBytes);
}
