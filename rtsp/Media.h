// The media object bases: sources hand frames to sinks on request, filters sit between them.
// Objects are created through createNew and deleted only through Medium::close.
#pragma once
#include <cstdint>
#include <sys/time.h>

#include "rtsp/UsageEnvironment.h"

class Medium {
public:
    static void close(Medium *medium);   // null is allowed
    UsageEnvironment &envir() const { return fEnviron; }
    TaskToken &nextTask() { return fNextTask; }

    virtual bool isSource() const { return false; }
    virtual bool isSink() const { return false; }
    virtual bool isRTCPInstance() const { return false; }
    virtual bool isRTSPServer() const { return false; }
    virtual bool isServerMediaSession() const { return false; }

protected:
    explicit Medium(UsageEnvironment &env) : fEnviron(env) {}
    virtual ~Medium();

private:
    UsageEnvironment &fEnviron;
    TaskToken fNextTask = nullptr;
};

class MediaSource : public Medium {
public:
    bool isSource() const override { return true; }
    virtual bool isFramedSource() const { return false; }

protected:
    explicit MediaSource(UsageEnvironment &env) : Medium(env) {}
};

class FramedSource : public MediaSource {
public:
    typedef void(afterGettingFunc)(void *clientData, unsigned frameSize, unsigned numTruncatedBytes,
                                   struct timeval presentationTime, unsigned durationInMicroseconds);
    typedef void(onCloseFunc)(void *clientData);

    // Asks for one frame into to[0..maxSize). afterGettingFunc runs once it is there (possibly
    // before this returns); onCloseFunc runs instead when the source has ended.
    void getNextFrame(unsigned char *to, unsigned maxSize, afterGettingFunc *afterGettingFunc, void *afterGettingClientData,
                      onCloseFunc *onCloseFunc, void *onCloseClientData);
    // Ends a request that is still waiting.
    void stopGettingFrames();
    bool isCurrentlyAwaitingData() const { return fIsCurrentlyAwaitingData; }
    bool isFramedSource() const override { return true; }
    virtual bool isH264VideoStreamFramer() const { return false; }
    virtual unsigned maxFrameSize() const { return 0; }   // 0: no limit of its own

    // Completes a request: fFrameSize, fNumTruncatedBytes, fPresentationTime and
    // fDurationInMicroseconds must be set first.
    static void afterGetting(FramedSource *source);
    // Reports that no more frames will come.
    static void handleClosure(void *clientData);
    void handleClosure();

protected:
    explicit FramedSource(UsageEnvironment &env) : MediaSource(env) {}
    ~FramedSource() override;
    virtual void doGetNextFrame() = 0;
    virtual void doStopGettingFrames();

    unsigned char *fTo = nullptr;
    unsigned fMaxSize = 0;
    unsigned fFrameSize = 0;
    unsigned fNumTruncatedBytes = 0;
    struct timeval fPresentationTime = {};
    unsigned fDurationInMicroseconds = 0;

private:
    afterGettingFunc *fAfterGettingFunc = nullptr;
    void *fAfterGettingClientData = nullptr;
    onCloseFunc *fOnCloseFunc = nullptr;
    void *fOnCloseClientData = nullptr;
    bool fIsCurrentlyAwaitingData = false;
};

// A source that reads another; closing the filter closes its input.
class FramedFilter : public FramedSource {
public:
    FramedSource *inputSource() const { return fInputSource; }
    // Gives up the input without closing it (for swapping the chain).
    void detachInputSource() { fInputSource = nullptr; }

protected:
    FramedFilter(UsageEnvironment &env, FramedSource *inputSource) : FramedSource(env), fInputSource(inputSource) {}
    ~FramedFilter() override;
    void doStopGettingFrames() override;
    FramedSource *fInputSource;
};

class MediaSink : public Medium {
public:
    typedef void(afterPlayingFunc)(void *clientData);
    // Starts pulling frames from source; afterFunc runs when the source ends.
    bool startPlaying(MediaSource &source, afterPlayingFunc *afterFunc, void *afterClientData);
    virtual void stopPlaying();
    bool isSink() const override { return true; }
    virtual bool isRTPSink() const { return false; }
    FramedSource *source() const { return fSource; }

protected:
    explicit MediaSink(UsageEnvironment &env) : Medium(env) {}
    ~MediaSink() override;
    virtual bool sourceIsCompatibleWithUs(MediaSource &source);
    virtual bool continuePlaying() = 0;
    static void onSourceClosure(void *clientData);
    void onSourceClosure();

    FramedSource *fSource = nullptr;

private:
    afterPlayingFunc *fAfterFunc = nullptr;
    void *fAfterClientData = nullptr;
};

// The packet being built by an RTP sink, inside a buffer large enough for the biggest frame a
// source may deliver; the part of a frame that does not fit a packet stays behind as overflow.
class OutPacketBuffer {
public:
    // Size of the buffers created from now on (process-wide; 60000 at start).
    static unsigned maxSize;

    OutPacketBuffer(unsigned preferredPacketSize, unsigned maxPacketSize, unsigned maxBufferSize = 0);
    ~OutPacketBuffer();
    OutPacketBuffer(const OutPacketBuffer &) = delete;
    OutPacketBuffer &operator=(const OutPacketBuffer &) = delete;

    unsigned char *curPtr() const { return fBuf + fPacketStart + fCurOffset; }
    unsigned totalBytesAvailable() const { return fLimit - (fPacketStart + fCurOffset); }
    unsigned totalBufferSize() const { return fLimit; }
    unsigned char *packet() const { return fBuf + fPacketStart; }
    unsigned curPacketSize() const { return fCurOffset; }
    unsigned preferredPacketSize() const { return fPreferred; }
    unsigned maxPacketSize() const { return fMax; }

    void increment(unsigned numBytes);
    void enqueue(const unsigned char *from, unsigned numBytes);
    void enqueueWord(uint32_t word);   // network order
    void insert(const unsigned char *from, unsigned numBytes, unsigned toPosition);
    void insertWord(uint32_t word, unsigned toPosition);
    void extract(unsigned char *to, unsigned numBytes, unsigned fromPosition) const;
    uint32_t extractWord(unsigned fromPosition) const;
    void skipBytes(unsigned numBytes);

    bool isPreferredSize() const { return fCurOffset >= fPreferred; }
    bool wouldOverflow(unsigned numBytes) const { return fCurOffset + numBytes > fMax; }
    unsigned numOverflowBytes(unsigned numBytes) const { return fCurOffset + numBytes > fMax ? fCurOffset + numBytes - fMax : 0; }
    bool isTooBigForAPacket(unsigned numBytes) const { return numBytes > fMax; }

    // overflowDataOffset is relative to the packet start.
    void setOverflowData(unsigned overflowDataOffset, unsigned overflowDataSize, struct timeval const &presentationTime,
                         unsigned durationInMicroseconds);
    unsigned overflowDataSize() const { return fOverflowDataSize; }
    unsigned overflowDataOffset() const { return fOverflowDataOffset; }
    struct timeval overflowPresentationTime() const { return fOverflowPresentationTime; }
    unsigned overflowDurationInMicroseconds() const { return fOverflowDurationInMicroseconds; }
    bool haveOverflowData() const { return fOverflowDataSize > 0; }
    // Moves the overflow bytes to curPtr() (not counted in the packet yet) and forgets them.
    void useOverflowData();

    // Moves the packet start forward by numBytes, so that the next packet can be built in front
    // of the waiting overflow data without copying it.
    void adjustPacketStart(unsigned numBytes);
    void resetPacketStart();
    void resetOffset() { fCurOffset = 0; }
    void resetOverflowData() { fOverflowDataOffset = fOverflowDataSize = 0; }

private:
    unsigned char *fBuf;
    unsigned fLimit, fPreferred, fMax;
    unsigned fPacketStart = 0, fCurOffset = 0;
    unsigned fOverflowDataOffset = 0, fOverflowDataSize = 0;
    struct timeval fOverflowPresentationTime = {};
    unsigned fOverflowDurationInMicroseconds = 0;
};
