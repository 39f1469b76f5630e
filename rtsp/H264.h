// H.264 over RTP: a framer that passes NAL units one by one and remembers the parameter sets,
// and the sink that sends them as single NAL unit packets or FU-A fragments
// (packetization-mode 1).
#pragma once
#include <cstdint>
#include <vector>

#include "rtsp/RTPSink.h"

class H264VideoStreamFramer : public FramedFilter {
public:
    bool isH264VideoStreamFramer() const override { return true; }
    // The newest SPS and PPS seen (or given); sizes 0 when none yet.
    void getSPSandPPS(const uint8_t *&sps, unsigned &spsSize, const uint8_t *&pps, unsigned &ppsSize) const;
    void setSPSandPPS(const uint8_t *sps, unsigned spsSize, const uint8_t *pps, unsigned ppsSize);
    // True when the NAL unit delivered last ends a picture (a coded slice).
    bool pictureEndMarker() const { return fPictureEndMarker; }

protected:
    H264VideoStreamFramer(UsageEnvironment &env, FramedSource *inputSource) : FramedFilter(env, inputSource) {}
    std::vector<uint8_t> fSPS, fPPS;
    bool fPictureEndMarker = false;
};

// Takes one NAL unit per delivery from its input (a leading start code is removed).
class H264VideoStreamDiscreteFramer : public H264VideoStreamFramer {
public:
    // Start codes in the output and inserted access-unit delimiters are not offered: the flags
    // must be false, or no framer is created.
    static H264VideoStreamDiscreteFramer *createNew(UsageEnvironment &env, FramedSource *inputSource,
                                                    bool includeStartCodeInOutput = false,
                                                    bool insertAccessUnitDelimiters = false);

protected:
    H264VideoStreamDiscreteFramer(UsageEnvironment &env, FramedSource *inputSource) : H264VideoStreamFramer(env, inputSource) {}
    void doGetNextFrame() override;

private:
    static void afterGettingFrame(void *clientData, unsigned frameSize, unsigned numTruncatedBytes, struct timeval presentationTime,
                                  unsigned durationInMicroseconds);
    void afterGettingFrame1(unsigned frameSize, unsigned numTruncatedBytes, struct timeval presentationTime,
                            unsigned durationInMicroseconds);
};

class H264Fragmenter;

class H264VideoRTPSink : public MultiFramedRTPSink {
public:
    static H264VideoRTPSink *createNew(UsageEnvironment &env, Groupsock *RTPgs, unsigned char rtpPayloadFormat,
                                       const uint8_t *sps = nullptr, unsigned spsSize = 0, const uint8_t *pps = nullptr,
                                       unsigned ppsSize = 0);
    const char *sdpMediaType() const override { return "video"; }
    // "a=fmtp:<pt> packetization-mode=1;profile-level-id=...;sprop-parameter-sets=..." once an SPS
    // and a PPS are known; null before.
    const char *auxSDPLine() override;
    void stopPlaying() override;
    // Called with every NAL unit on its way out.
    void noteNALUnit(const uint8_t *nal, unsigned size);
    const std::vector<uint8_t> &sps() const { return fSPS; }
    const std::vector<uint8_t> &pps() const { return fPPS; }
    bool joinersWaitForSyncPoint() const override { return true; }

protected:
    H264VideoRTPSink(UsageEnvironment &env, Groupsock *RTPgs, unsigned char rtpPayloadFormat);
    ~H264VideoRTPSink() override;
    bool sourceIsCompatibleWithUs(MediaSource &source) override;
    bool continuePlaying() override;
    void doSpecialFrameHandling(unsigned fragmentationOffset, unsigned char *frameStart, unsigned numBytesInFrame,
                                struct timeval framePresentationTime, unsigned numRemainingBytes) override;
    bool frameCanAppearAfterPacketStart(const unsigned char *frameStart, unsigned numBytesInFrame) const override { return false; }

private:
    void dropFragmenter();
    H264Fragmenter *fFragmenter = nullptr;
    std::vector<uint8_t> fSPS, fPPS;
    std::string fFmtpSDPLine;
};
