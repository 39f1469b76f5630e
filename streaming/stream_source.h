// The RTP source over one stream queue: a consumer cursor woken by the queue's append callback
// through an event trigger, handing out one transport-stream unit, H.264 NAL unit or audio
// frame per request.
#pragma once
#include <atomic>
#include <cstdint>

#include "core/log.h"
#include "rtsp/liveMedia.h"
#include "streams/ringbuffer.h"
#include "streams/stream_state.h"

enum StreamSourceType { rtp_transport = 0, rtp_video_h264 = 1, rtp_audio_aac = 2, rtp_audio_pcm = 3 };

enum { TS_UNIT_SIZE = 1316, STREAM_SOURCE_IDS = 16 };

// Live sources per stream id (ids above 15 count in entry 15).
extern std::atomic<int> source_refcount[STREAM_SOURCE_IDS];

// Queue callback, on the producer's thread: counts the frame and wakes the RTSP thread.
void stream_frame_ready_callback(void *user, uint32_t seq);

class StreamDeviceSource : public FramedSource {
public:
    static StreamDeviceSource *createNew(UsageEnvironment &env, int streamId, int streamMode, int streamType);
    int streamId() const { return fStreamId; }
    bool attached() const { return fAttached; }

    void deliverFrame();
    void deliverFrameMPEGTS(int fromTrigger);
    void deliverFrameH264();
    void deliverFrameAudio();
    void setPresentationTime(uint32_t stamp);
    // L16: the time of the first sample of a frame of `samples` samples from queue entry `seq`.
    void setPcmPresentationTime(uint32_t stamp, uint32_t seq, uint32_t samples);
    void notePending();
    struct timeval presentationTime() const { return fPresentationTime; }

protected:
    StreamDeviceSource(UsageEnvironment &env, int streamId, int streamMode, int streamType);
    ~StreamDeviceSource() override;
    void doGetNextFrame() override;

private:
    static void deliverFrame0(void *clientData);
    static void checkOldProducer(void *clientData);
    void attach();

    EventTriggerId fEventTriggerId = 0;
    int fStreamId;
    StreamState fState;
    StreamCallback fCallback;
    uint32_t fLastStamp = 0;
    uint64_t fPresentationBase = 0;
    const uint8_t *fCurPtr = nullptr;
    uint32_t fRemaining = 0;
    int fStreamType;
    std::atomic<int> fPendingCount{0};
    int fStreamMode;
    bool fAttached = false;
    uint8_t fCarry[TS_UNIT_SIZE];   // transport bytes of a used-up frame, ahead of the next one
    unsigned fCarryLen = 0;
    int fWaitSteps = 0;          // 100 ms looks at a JPEG producer that has to stop first
    uint64_t fPcmNext = 0;       // 48 kHz sample clock of the next L16 frame (0: not started)
    uint32_t fPcmSeq = 0;        // queue entry expected next
    int64_t fPcmDrift = 0;       // samples the last frame's stamp lay ahead of the count
    bool fHoldsJpegLoan = false; // counted among the sources that keep a JPEG channel in H.264
    TaskToken fWaitTask = nullptr;
    LogOrigin fLogOrigin = {};   // the client it was made for: its end is charged to it too
};
