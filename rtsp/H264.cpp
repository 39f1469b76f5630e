#include "rtsp/H264.h"

#include <cstring>
#include <string>

extern "C" {
#include <libavutil/base64.h>
}

#include "core/log.h"

void H264VideoStreamFramer::getSPSandPPS(const uint8_t *&sps, unsigned &spsSize, const uint8_t *&pps, unsigned &ppsSize) const
{
    sps = fSPS.empty() ? nullptr : fSPS.data();
    spsSize = (unsigned)fSPS.size();
    pps = fPPS.empty() ? nullptr : fPPS.data();
    ppsSize = (unsigned)fPPS.size();
}

void H264VideoStreamFramer::setSPSandPPS(const uint8_t *sps, unsigned spsSize, const uint8_t *pps, unsigned ppsSize)
{
    fSPS.assign(sps, sps + (sps ? spsSize : 0));
    fPPS.assign(pps, pps + (pps ? ppsSize : 0));
}

H264VideoStreamDiscreteFramer *H264VideoStreamDiscreteFramer::createNew(UsageEnvironment &env, FramedSource *inputSource,
                                                                        bool includeStartCodeInOutput,
                                                                        bool insertAccessUnitDelimiters)
{
    if (includeStartCodeInOutput || insertAccessUnitDelimiters) {
        env.setResultMsg("H264VideoStreamDiscreteFramer: start codes and access unit delimiters are not supported");
        return nullptr;
    }
    if (inputSource == nullptr) {
        env.setResultMsg("H264VideoStreamDiscreteFramer: no input source");
        return nullptr;
    }
    return new H264VideoStreamDiscreteFramer(env, inputSource);
}

void H264VideoStreamDiscreteFramer::doGetNextFrame()
{
    fInputSource->getNextFrame(fTo, fMaxSize, afterGettingFrame, this, FramedSource::handleClosure, this);
}

void H264VideoStreamDiscreteFramer::afterGettingFrame(void *clientData, unsigned frameSize, unsigned numTruncatedBytes,
                                                      struct timeval presentationTime, unsigned durationInMicroseconds)
{
    static_cast<H264VideoStreamDiscreteFramer *>(clientData)->afterGettingFrame1(frameSize, numTruncatedBytes, presentationTime,
                                                                                durationInMicroseconds);
}

void H264VideoStreamDiscreteFramer::afterGettingFrame1(unsigned frameSize, unsigned numTruncatedBytes, struct timeval presentationTime,
                                                       unsigned durationInMicroseconds)
{
    // A source that hands over Annex B units still gives plain NAL units downstream.
    unsigned skip = 0;
    if (frameSize >= 4 && fTo[0] == 0 && fTo[1] == 0 && fTo[2] == 0 && fTo[3] == 1)
        skip = 4;
    else if (frameSize >= 3 && fTo[0] == 0 && fTo[1] == 0 && fTo[2] == 1)
        skip = 3;
    if (skip) {
        memmove(fTo, fTo + skip, frameSize - skip);
        frameSize -= skip;
    }
    fPictureEndMarker = false;
    if (frameSize > 0) {
        unsigned type = fTo[0] & 0x1f;
        if (type == 7 && numTruncatedBytes == 0)
            fSPS.assign(fTo, fTo + frameSize);
        else if (type == 8 && numTruncatedBytes == 0)
            fPPS.assign(fTo, fTo + frameSize);
        // The encoder puts one slice per picture, last in the access unit.
        fPictureEndMarker = type >= 1 && type <= 5;
    }
    fFrameSize = frameSize;
    fNumTruncatedBytes = numTruncatedBytes;
    fPresentationTime = presentationTime;
    fDurationInMicroseconds = durationInMicroseconds;
    afterGetting(this);
}

// Sits between the framer and the sink: hands the sink whole NAL units that fit a packet, and
// FU-A fragments (RFC 6184 5.8) of those that do not.
class H264Fragmenter : public FramedFilter {
public:
    H264Fragmenter(UsageEnvironment &env, H264VideoStreamFramer *framer, H264VideoRTPSink *sink)
        : FramedFilter(env, framer), fSink(sink), fBuf(OutPacketBuffer::maxSize)
    {
    }
    H264VideoStreamFramer *framer() const { return static_cast<H264VideoStreamFramer *>(fInputSource); }
    bool lastFragmentCompletedNALUnit() const { return fLastFragmentCompletedNALUnit; }
    bool pictureEnd() const { return fPictureEnd && !fDeliveredInjected; }

protected:
    void doGetNextFrame() override
    {
        if (fInjectPos < fInject.size()) {
            deliver();
            return;
        }
        if (fOffset >= fLength) {
            fOffset = fLength = 0;
            fInputSource->getNextFrame(fBuf.data(), (unsigned)fBuf.size(), afterGettingFrame, this, FramedSource::handleClosure, this);
            return;
        }
        deliver();
    }

private:
    static void afterGettingFrame(void *clientData, unsigned frameSize, unsigned numTruncatedBytes, struct timeval presentationTime,
                                  unsigned durationInMicroseconds)
    {
        H264Fragmenter *f = static_cast<H264Fragmenter *>(clientData);
        if (numTruncatedBytes > 0)
            log_printf("H264 NAL unit of %u bytes exceeds the %zu byte buffer; %u bytes dropped\n", frameSize + numTruncatedBytes,
                       f->fBuf.size(), numTruncatedBytes);
        f->fLength = frameSize;
        f->fOffset = 0;
        f->fNALPresentationTime = presentationTime;
        f->fNALDuration = durationInMicroseconds;
        f->fPictureEnd = f->framer()->pictureEndMarker();
        if (frameSize > 0 && numTruncatedBytes == 0)
            f->fSink->noteNALUnit(f->fBuf.data(), frameSize);
        f->noteAccessUnit();
        f->deliver();
    }

    // Every IDR goes out behind the SPS and PPS it needs, so that a client starting at any
    // keyframe (joining or skipping ahead) decodes from its first packet.
    void noteAccessUnit()
    {
        fInject.clear();
        fInjectPos = 0;
        if (fLength == 0)
            return;
        unsigned type = fBuf[0] & 0x1f;
        if (type == 7)
            fSawSPS = true;
        else if (type == 8)
            fSawPPS = true;
        else if (type == 5 && !(fSawSPS && fSawPPS) && !fSink->sps().empty() && !fSink->pps().empty()) {
            fInject.push_back(fSink->sps());
            fInject.push_back(fSink->pps());
        }
        if (type >= 1 && type <= 5 && fPictureEnd)
            fSawSPS = fSawPPS = false;
    }

    void deliver()
    {
        fDeliveredInjected = false;
        if (fInjectPos < fInject.size()) {
            const std::vector<uint8_t> &unit = fInject[fInjectPos++];
            unsigned size = unit.size() < fMaxSize ? (unsigned)unit.size() : fMaxSize;
            memcpy(fTo, unit.data(), size);
            fFrameSize = size;
            fNumTruncatedBytes = 0;
            fPresentationTime = fNALPresentationTime;
            fDurationInMicroseconds = 0;
            fLastFragmentCompletedNALUnit = true;
            fDeliveredInjected = true;
            afterGetting(this);
            return;
        }
        unsigned maxPayload = fSink->maxPacketSize() - 12;
        if (maxPayload > fMaxSize)
            maxPayload = fMaxSize;
        fPresentationTime = fNALPresentationTime;
        fDurationInMicroseconds = 0;
        fNumTruncatedBytes = 0;
        if (fLength == 0) {
            fFrameSize = 0;
            fLastFragmentCompletedNALUnit = true;
        } else if (fOffset == 0 && fLength <= maxPayload) {
            memcpy(fTo, fBuf.data(), fLength);
            fFrameSize = fLength;
            fOffset = fLength;
            fLastFragmentCompletedNALUnit = true;
        } else {
            uint8_t hdr = fBuf[0];
            bool first = fOffset == 0;
            if (first)
                fOffset = 1;   // the NAL header travels in the FU indicator and FU header
            unsigned remaining = fLength - fOffset;
            unsigned chunk = maxPayload - 2;
            bool last = remaining <= chunk;
            if (last)
                chunk = remaining;
            fTo[0] = (uint8_t)((hdr & 0xe0) | 28);
            fTo[1] = (uint8_t)((first ? 0x80 : 0) | (last ? 0x40 : 0) | (hdr & 0x1f));
            memcpy(fTo + 2, fBuf.data() + fOffset, chunk);
            fOffset += chunk;
            fFrameSize = chunk + 2;
            fLastFragmentCompletedNALUnit = last;
        }
        if (fLastFragmentCompletedNALUnit)
            fDurationInMicroseconds = fNALDuration;
        afterGetting(this);
    }

    H264VideoRTPSink *fSink;
    std::vector<uint8_t> fBuf;
    unsigned fLength = 0, fOffset = 0;
    struct timeval fNALPresentationTime = {};
    unsigned fNALDuration = 0;
    bool fLastFragmentCompletedNALUnit = true;
    bool fPictureEnd = false;
    bool fSawSPS = false, fSawPPS = false;   // in the access unit being sent
    std::vector<std::vector<uint8_t>> fInject;
    size_t fInjectPos = 0;
    bool fDeliveredInjected = false;
};

H264VideoRTPSink *H264VideoRTPSink::createNew(UsageEnvironment &env, Groupsock *RTPgs, unsigned char rtpPayloadFormat,
                                              const uint8_t *sps, unsigned spsSize, const uint8_t *pps, unsigned ppsSize)
{
    H264VideoRTPSink *sink = new H264VideoRTPSink(env, RTPgs, rtpPayloadFormat);
    if (sps && spsSize)
        sink->fSPS.assign(sps, sps + spsSize);
    if (pps && ppsSize)
        sink->fPPS.assign(pps, pps + ppsSize);
    return sink;
}

H264VideoRTPSink::H264VideoRTPSink(UsageEnvironment &env, Groupsock *RTPgs, unsigned char rtpPayloadFormat)
    : MultiFramedRTPSink(env, RTPgs, rtpPayloadFormat, 90000, "H264")
{
}

H264VideoRTPSink::~H264VideoRTPSink()
{
    H264VideoRTPSink::stopPlaying();
    dropFragmenter();
}

bool H264VideoRTPSink::sourceIsCompatibleWithUs(MediaSource &source)
{
    return source.isFramedSource() && static_cast<FramedSource &>(source).isH264VideoStreamFramer();
}

void H264VideoRTPSink::dropFragmenter()
{
    if (fFragmenter) {
        fFragmenter->detachInputSource();   // the framer belongs to whoever started us
        Medium::close(fFragmenter);
        fFragmenter = nullptr;
    }
}

bool H264VideoRTPSink::continuePlaying()
{
    H264VideoStreamFramer *framer = static_cast<H264VideoStreamFramer *>(fSource);
    if (fFragmenter == nullptr || fFragmenter->framer() != framer) {
        dropFragmenter();
        fFragmenter = new H264Fragmenter(envir(), framer, this);
    }
    fSource = fFragmenter;
    return MultiFramedRTPSink::continuePlaying();
}

void H264VideoRTPSink::stopPlaying()
{
    MultiFramedRTPSink::stopPlaying();
    dropFragmenter();
}

void H264VideoRTPSink::noteNALUnit(const uint8_t *nal, unsigned size)
{
    // Parameter sets are kept as they pass, so the SDP can describe the stream even after its
    // source has gone.
    unsigned type = nal[0] & 0x1f;
    if (type == 7)
        fSPS.assign(nal, nal + size);
    else if (type == 8)
        fPPS.assign(nal, nal + size);
}

void H264VideoRTPSink::doSpecialFrameHandling(unsigned fragmentationOffset, unsigned char *frameStart, unsigned numBytesInFrame,
                                              struct timeval framePresentationTime, unsigned numRemainingBytes)
{
    // A client may start at an SPS (an IDR follows it); before any SPS is known, at an IDR.
    if (numBytesInFrame > 0) {
        unsigned type = frameStart[0] & 0x1f;
        bool idrStart = type == 5 || (type == 28 && numBytesInFrame > 1 && (frameStart[1] & 0x80) && (frameStart[1] & 0x1f) == 5);
        if (type == 7 || (idrStart && fSPS.empty()))
            fPacketIsSyncPoint = true;
    }
    if (fFragmenter && fFragmenter->lastFragmentCompletedNALUnit() && fFragmenter->pictureEnd() && numRemainingBytes == 0)
        setMarkerBit();
    setTimestamp(framePresentationTime);
}

static std::string base64_of(const uint8_t *data, unsigned size)
{
    std::string out(AV_BASE64_SIZE(size), '\0');
    if (!av_base64_encode(out.data(), (int)out.size(), data, (int)size))
        return "";
    out.resize(strlen(out.c_str()));
    return out;
}

const char *H264VideoRTPSink::auxSDPLine()
{
    const uint8_t *sps = fSPS.empty() ? nullptr : fSPS.data(), *pps = fPPS.empty() ? nullptr : fPPS.data();
    unsigned spsSize = (unsigned)fSPS.size(), ppsSize = (unsigned)fPPS.size();
    if (!sps || !pps || spsSize < 4 || ppsSize < 1)
        return nullptr;
    char line[128];
    snprintf(line, sizeof line, "a=fmtp:%u packetization-mode=1;profile-level-id=%02X%02X%02X;sprop-parameter-sets=",
             rtpPayloadType(), sps[1], sps[2], sps[3]);
    fFmtpSDPLine = line + base64_of(sps, spsSize) + "," + base64_of(pps, ppsSize) + "\r\n";
    return fFmtpSDPLine.c_str();
}
