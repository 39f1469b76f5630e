#include "streaming/stream_source.h"

#include <cstring>

#include "core/log.h"
#include "streams/annexb.h"
#include "core/param.h"
#include "core/quit.h"
#include "core/soc.h"
#include "streaming/rtp.h"
#include "streams/stream.h"
#include "streams/stream_mode.h"

std::atomic<int> source_refcount[STREAM_SOURCE_IDS];

namespace {

// Bounds the look at a JPEG producer that has to stop before H.264 starts (100 ms steps).
constexpr int OLD_PRODUCER_WAIT_STEPS = 30;
// L16 as the sink announces it: 48 kHz, two 16-bit channels.
constexpr int64_t PCM_RATE = 48000;
constexpr uint32_t PCM_FRAME_BYTES = 4;
// From one frame to the next the stamps move against the sample count by their jitter, a few
// ms; a capture overrun loses at least the card's buffer at once. A step of a period or more is
// sound that was never sent.
constexpr int64_t PCM_LOST_STEP = 1024;
// A keyframe younger than this (300 ms) may begin a new source's stream.
constexpr int32_t RECENT_KEYFRAME_TICKS = 27000;
// Muxed reads that may skip frames (waiting for a keyframe) before we give up for this turn.
constexpr int MAX_SKIPPED_READS = 64;

int refcount_slot(int id)
{
    return id < 0 ? 0 : id >= STREAM_SOURCE_IDS ? STREAM_SOURCE_IDS - 1 : id;
}

// True when the queue holds a frame this cursor has not read: a read then never waits.
bool queue_has_frame(StreamState *st)
{
    StreamQueue *q = st->streamq;
    if (!q)
        return false;
    pthread_mutex_lock(&q->mutex);
    bool more = (int32_t)(q->seq - st->seq) > 0;
    pthread_mutex_unlock(&q->mutex);
    return more;
}

// A JPEG channel switched to H.264 for RTP sources: it goes back to JPEG when the last of them
// ends. RTSP thread only.
struct JpegLoan {
    bool lent;
    int users;
};
JpegLoan jpeg_loans[2];

// A channel that encodes JPEG cannot feed RTP; switch its setting to H.264. True when switched.
bool switch_jpeg_to_h264(int id)
{
    if (id != VIDEO_STREAM1 && id != VIDEO_STREAM2)
        return false;
    ParamBlock *p = rtsp_param_block();
    if (!p || stream_mode_setting(p, id - 1) != StreamMode_JPEG)
        return false;
    log_printf("changing %d to H.264 from JPEG\n", id - 1);
    stream_mode_setting_set(p, id - 1, StreamMode_H264_ES);
    jpeg_loans[id - 1].lent = true;
    return true;
}

// The last source that needed H.264 on a channel set to JPEG has gone: the channel makes JPEG
// again, so the snapshot and MJPEG rows work and the setting says what the encoder makes.
void return_jpeg_loan(int id)
{
    JpegLoan &loan = jpeg_loans[id - 1];
    if (--loan.users > 0 || !loan.lent)
        return;
    loan.lent = false;
    ParamBlock *p = rtsp_param_block();
    // Somebody chose a mode meanwhile: theirs stands.
    if (!p || stream_mode_setting(p, id - 1) != StreamMode_H264_ES)
        return;
    log_printf("changing %d back to JPEG\n", id - 1);
    stream_mode_setting_set(p, id - 1, StreamMode_JPEG);
    // Other consumers keep the encoder running: it starts again in JPEG.
    if (stream_get_state_by_id(id) == 1 && stream_users_by_id(id) > 0)
        stream_restart(id);
}

// Length of the ADTS header in front of an AAC frame, 0 when there is none.
unsigned adts_header_size(const uint8_t *d, uint32_t len)
{
    if (len < 7 || d[0] != 0xff || (d[1] & 0xf6) != 0xf0)
        return 0;
    unsigned h = (d[1] & 0x01) ? 7 : 9;
    return len > h ? h : 0;
}

} // namespace

void stream_frame_ready_callback(void *user, uint32_t)
{
    StreamDeviceSource *s = static_cast<StreamDeviceSource *>(user);
    if (!s)
        return;
    s->notePending();
}

StreamDeviceSource *StreamDeviceSource::createNew(UsageEnvironment &env, int streamId, int streamMode, int streamType)
{
    return new StreamDeviceSource(env, streamId, streamMode, streamType);
}

StreamDeviceSource::StreamDeviceSource(UsageEnvironment &env, int streamId, int streamMode, int streamType)
    : FramedSource(env), fStreamId(streamId), fStreamType(streamType), fStreamMode(streamMode)
{
    int before = source_refcount[refcount_slot(streamId)]++;
    log_printf("%s : IDX %d, streamid %d referenceCount %d\n", "StreamDeviceSource", streamId - 1, streamId, before);
    fLogOrigin = log_origin();
    memset(&fState, 0, sizeof fState);
    memset(&fCallback, 0, sizeof fCallback);
    log_printf("stream device source %d\n", streamId);
    // Every source has its own cursor, callback and trigger, so that two sessions on one
    // channel (elementary and transport stream, or unicast beside multicast) each get their
    // own stream mode and no callback outlives the source it points at.
    fEventTriggerId = envir().taskScheduler().createEventTrigger(deliverFrame0);
    if (fEventTriggerId == 0)
        log_error("StreamDeviceSource: no event trigger left for stream %d\n", streamId);
    bool switched = switch_jpeg_to_h264(streamId);
    if ((streamId == VIDEO_STREAM1 || streamId == VIDEO_STREAM2) && jpeg_loans[streamId - 1].lent) {
        jpeg_loans[streamId - 1].users++;
        fHoldsJpegLoan = true;
    }
    if (switched && stream_get_state_by_id(streamId) == 1) {
        // The JPEG producer has to stop first; look again later instead of holding up every
        // other client of this thread.
        fWaitTask = envir().taskScheduler().scheduleDelayedTask(100000, checkOldProducer, this);
        return;
    }
    attach();
}

void StreamDeviceSource::checkOldProducer(void *clientData)
{
    StreamDeviceSource *s = static_cast<StreamDeviceSource *>(clientData);
    s->fWaitTask = nullptr;
    if (stream_get_state_by_id(s->fStreamId) == 1 && ++s->fWaitSteps < OLD_PRODUCER_WAIT_STEPS && !quit_requested()) {
        s->fWaitTask = s->envir().taskScheduler().scheduleDelayedTask(100000, checkOldProducer, s);
        return;
    }
    s->attach();
    if (s->isCurrentlyAwaitingData())
        s->doGetNextFrame();
}

void StreamDeviceSource::attach()
{
    if (fStreamType == rtp_video_h264 && stream_get_state_by_id(fStreamId) == 1) {
        // The encoder already runs (another client, or the source a DESCRIBE just used): start
        // at its newest keyframe when that is only just out, so the first picture does not wait
        // for the next GOP; an older one would put the client behind live.
        StreamQueue *q = get_stream_queue(fStreamId);
        uint32_t ts, seq;
        if (q && stream_recent_keyframe(q, &ts, &seq) && (int32_t)(hw_clock_90khz() - ts) < RECENT_KEYFRAME_TICKS)
            fState.flags |= SS_START_AT_KEYFRAME;
    }
    stream_state_attach(fStreamId, fStreamMode, &fState);
    log_printf("stream attached\n");
    log_printf("%s idx=%d streamid=%d mode=%d\n", "StreamDeviceSource", fStreamId - 1, fStreamId, fStreamMode);
    fCallback.next = nullptr;
    fCallback.fn = stream_frame_ready_callback;
    fCallback.user = this;
    stream_add_callback(fStreamId, &fCallback);
    log_printf("callback attached\n");
    fPresentationBase = 0;
    fPendingCount = 0;
    fCurPtr = nullptr;
    fRemaining = 0;
    fLastStamp = 0;
    fCarryLen = 0;
    fAttached = true;
}

StreamDeviceSource::~StreamDeviceSource()
{
    int before = source_refcount[refcount_slot(fStreamId)]--;
    LogOrigin was = log_origin_swap(fLogOrigin);
    log_printf("%s idx=%d streamid=%d refcount=%d\n", "~StreamDeviceSource", fStreamId - 1, fStreamId, before);
    envir().taskScheduler().unscheduleDelayedTask(fWaitTask);
    if (fAttached) {
        // Removal waits for a callback walk in progress: after it no producer touches us.
        stream_remove_callback(fStreamId, &fCallback);
        stream_state_detach(&fState);
        log_printf("stream detached\n");
    }
    if (fHoldsJpegLoan)
        return_jpeg_loan(fStreamId);
    fCurPtr = nullptr;
    if (fEventTriggerId)
        envir().taskScheduler().deleteEventTrigger(fEventTriggerId);
    log_origin_swap(was);
}

void StreamDeviceSource::notePending()
{
    fPendingCount++;
    if (fEventTriggerId)
        envir().taskScheduler().triggerEvent(fEventTriggerId, this);
}

void StreamDeviceSource::deliverFrame0(void *clientData)
{
    static_cast<StreamDeviceSource *>(clientData)->deliverFrame();
}

void StreamDeviceSource::deliverFrame()
{
    if (!fAttached)
        return;
    fDurationInMicroseconds = 0;
    switch (fStreamType) {
    case rtp_transport:
        deliverFrameMPEGTS(1);
        break;
    case rtp_video_h264:
        deliverFrameH264();
        break;
    case rtp_audio_aac:
    case rtp_audio_pcm:
        if (fPendingCount != 0)
            deliverFrameAudio();
        else
            log_printf("deliverFrame no frame available\n");
        break;
    }
}

void StreamDeviceSource::doGetNextFrame()
{
    if (!fAttached)
        return;   // the attach delivers once the old producer has stopped
    switch (fStreamType) {
    case rtp_transport:
        if (fCarryLen + fRemaining >= TS_UNIT_SIZE || fPendingCount != 0)
            deliverFrameMPEGTS(0);
        break;
    case rtp_video_h264:
        // The queue itself says whether a frame waits: a cursor that began at a keyframe behind
        // the head has frames no callback announced, and must catch up rather than stay behind.
        if (fRemaining > 0 || fPendingCount != 0 || queue_has_frame(&fState))
            deliverFrameH264();
        break;
    default:
        if (fPendingCount != 0)
            deliverFrameAudio();
        break;
    }
}

void StreamDeviceSource::deliverFrameMPEGTS(int)
{
    if (!isCurrentlyAwaitingData())
        return;
    unsigned size = TS_UNIT_SIZE;
    if (fMaxSize < size) {
        if (fMaxSize == 0)
            return;
        // The framer asks for just the bytes it needs to realign.
        size = fMaxSize;
    }
    while (fCarryLen + fRemaining < size) {
        // Keep what is left of the frame in our own buffer: the next read reuses the frame's.
        if (fRemaining > 0) {
            memcpy(fCarry + fCarryLen, fCurPtr, fRemaining);
            fCarryLen += fRemaining;
            fCurPtr = nullptr;
            fRemaining = 0;
        }
        StreamBuffer *sb = nullptr;
        for (int i = 0; i < MAX_SKIPPED_READS && !sb && queue_has_frame(&fState); i++)
            sb = stream_state_dequeue_timeout(&fState, 1);
        if (!sb) {
            fPendingCount = 0;
            return;   // the next append wakes us
        }
        if (fPendingCount > 0)
            fPendingCount--;
        const uint8_t *data = Buffer_getUserPtr(sb->buf);
        uint32_t len = (uint32_t)Buffer_getNumBytesUsed(sb->buf);
        if (len == 0 || !data)
            continue;
        if (data[0] != 0x47) {
            log_printf("non-TS data received, stopping stream\n");
            handleClosure();
            return;
        }
        fCurPtr = data;
        fRemaining = len;
        setPresentationTime(sb->timestamp);
        // A keyframe (it opens with the tables) begins a unit of its own, where a joining
        // client can start: what is carried goes out short first.
        if ((sb->flags & SB_KEYFRAME) && fCarryLen > 0) {
            size = fCarryLen;
            break;
        }
    }
    unsigned n = fCarryLen < size ? fCarryLen : size;
    memcpy(fTo, fCarry, n);
    if (n < fCarryLen)
        memmove(fCarry, fCarry + n, fCarryLen - n);
    fCarryLen -= n;
    unsigned rest = size - n;
    if (rest > 0) {
        memcpy(fTo + n, fCurPtr, rest);
        fCurPtr += rest;
        fRemaining -= rest;
        if (fRemaining == 0)
            fCurPtr = nullptr;
    }
    fFrameSize = size;
    fNumTruncatedBytes = 0;
    FramedSource::afterGetting(this);
}

void StreamDeviceSource::deliverFrameH264()
{
    if (!isCurrentlyAwaitingData())
        return;
    bool dequeued = false;
    uint32_t stamp = 0;
    while (fRemaining == 0) {
        StreamBuffer *sb = stream_state_dequeue_es(&fState);
        if (!sb) {
            fPendingCount = 0;
            return;
        }
        if (fPendingCount > 0)
            fPendingCount--;
        const uint8_t *data = Buffer_getUserPtr(sb->buf);
        uint32_t len = (uint32_t)Buffer_getNumBytesUsed(sb->buf);
        if (len <= 3 || !data) {
            log_printf("tslen=%d\n", (int)len);
            continue;
        }
        if (!(data[0] == 0 && data[1] == 0 && data[2] == 0 && data[3] == 1)) {
            log_printf("non-h264 data received, stopping stream\n");
            if (switch_jpeg_to_h264(fStreamId) && !fHoldsJpegLoan) {
                jpeg_loans[fStreamId - 1].users++;
                fHoldsJpegLoan = true;
            }
            handleClosure();
            return;
        }
        fCurPtr = data;
        fRemaining = len;
        stamp = sb->timestamp;
        dequeued = true;
    }
    if (fRemaining >= 4 && fCurPtr[0] == 0 && fCurPtr[1] == 0 && fCurPtr[2] == 0 && fCurPtr[3] == 1) {
        fCurPtr += 4;
        fRemaining -= 4;
    }
    uint32_t nal = fRemaining;
    if (fRemaining > 0) {
        unsigned type = fCurPtr[0] & 0x1f;
        if (type != 1 && type != 5) {
            // Parameter sets and the like: up to the next 4-byte start code.
            for (size_t k = annexb_find_start_code(fCurPtr, fRemaining, 4); k < fRemaining;
                 k = annexb_find_start_code(fCurPtr, fRemaining, k + 3)) {
                if (fCurPtr[k - 1] == 0) {
                    nal = (uint32_t)k - 1;
                    break;
                }
            }
        }
    }
    unsigned size = nal;
    fNumTruncatedBytes = 0;
    if (size > fMaxSize) {
        log_printf("truncated video newFrameSize=%d fMaxSize=%d\n", (int)size, (int)fMaxSize);
        fNumTruncatedBytes = size - fMaxSize;
        size = fMaxSize;
    }
    memcpy(fTo, fCurPtr, size);
    fCurPtr += size;
    fRemaining -= size;
    if (fRemaining == 0)
        fCurPtr = nullptr;
    fFrameSize = size;
    if (dequeued) {
        setPresentationTime(stamp);
        int32_t age = (int32_t)(hw_clock_90khz() - stamp);
        if (age > 20000)
            log_printf("latency %f qcount=%d tslen=%d\n", age / 90000.0, fPendingCount.load(), (int)fRemaining);
    }
    FramedSource::afterGetting(this);
}

void StreamDeviceSource::deliverFrameAudio()
{
    if (!isCurrentlyAwaitingData())
        return;
    StreamBuffer *sb = stream_state_dequeue_es(&fState);
    if (!sb) {
        log_printf("no tsBuf\n");
        fPendingCount = 0;
        return;
    }
    if (fPendingCount == 0)
        log_printf("qcount is already 0\n");
    else
        fPendingCount--;
    const uint8_t *data = Buffer_getUserPtr(sb->buf);
    uint32_t len = (uint32_t)Buffer_getNumBytesUsed(sb->buf);
    if (len == 0 || !data) {
        log_printf("newFramesSize is 0\n");
        return;
    }
    if (fStreamType == rtp_audio_aac) {
        // RTP carries raw access units.
        unsigned h = adts_header_size(data, len);
        data += h;
        len -= h;
    }
    fNumTruncatedBytes = 0;
    if (len > fMaxSize) {
        log_printf("truncated audio newFrameSize=%d fMaxSize=%d\n", (int)len, (int)fMaxSize);
        fNumTruncatedBytes = len - fMaxSize;
        len = fMaxSize;
    }
    if (fStreamType == rtp_audio_pcm) {
        len &= ~(uint32_t)(PCM_FRAME_BYTES - 1);
        setPcmPresentationTime(sb->timestamp, sb->seq, len / PCM_FRAME_BYTES);
        // Queue order is little-endian; L16 on the wire is big-endian.
        for (uint32_t i = 0; i < len; i += 2) {
            fTo[i] = data[i + 1];
            fTo[i + 1] = data[i];
        }
    } else {
        setPresentationTime(sb->timestamp);
        memcpy(fTo, data, len);
    }
    fFrameSize = len;
    FramedSource::afterGetting(this);
}

void StreamDeviceSource::setPcmPresentationTime(uint32_t stamp, uint32_t seq, uint32_t samples)
{
    // The capture stamps jitter; the RTP clock must rise by exactly the samples sent, so frames
    // that follow one another are placed by count. A lost frame, sound the card dropped in an
    // overrun (the entries still follow one another) or a clock that has run away takes the
    // stamp again.
    setPresentationTime(stamp);
    uint64_t at = (uint64_t)fPresentationTime.tv_sec * PCM_RATE + ((uint64_t)fPresentationTime.tv_usec * PCM_RATE + 500000) / 1000000;
    int64_t drift = (int64_t)(at - fPcmNext);
    if (fPcmNext == 0 || seq != fPcmSeq || drift > PCM_RATE / 2 || drift < -PCM_RATE / 2 ||
        drift - fPcmDrift >= PCM_LOST_STEP) {
        fPcmNext = at;
        drift = 0;
    } else {
        at = fPcmNext;
    }
    fPcmDrift = drift;
    fPresentationTime.tv_sec = (time_t)(at / PCM_RATE);
    fPresentationTime.tv_usec = (suseconds_t)(((at % PCM_RATE) * 1000000 + PCM_RATE / 2) / PCM_RATE);
    fPcmNext = at + samples;
    fPcmSeq = seq + 1;
}

void StreamDeviceSource::setPresentationTime(uint32_t stamp)
{
    if (fPresentationBase == 0) {
        struct timeval now;
        gettimeofday(&now, nullptr);
        fPresentationBase = (uint64_t)now.tv_sec * 90000 + (uint64_t)now.tv_usec * 9 / 100 - hw_clock_90khz();
        fLastStamp = stamp;
    }
    if ((int32_t)(stamp - fLastStamp) > 0) {
        if (stamp < fLastStamp)
            fPresentationBase += 1ull << 32;
        fLastStamp = stamp;
    }
    uint64_t total = fPresentationBase + fLastStamp;
    fPresentationTime.tv_sec = (time_t)(total / 90000);
    fPresentationTime.tv_usec = (suseconds_t)((total % 90000) * 100 / 9);
}
