#include "streaming/subsessions.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/log.h"
#include "core/param_table.h"
#include "core/quit.h"
#include "streaming/rtp.h"
#include "streaming/rtp_sinks.h"
#include "streaming/stream_source.h"
#include "streams/stream.h"

namespace {

constexpr unsigned INITIAL_SERVER_PORT = 6970;
constexpr unsigned H264_OUT_BUFFER_SIZE = 1000000;

const unsigned aac_sample_rates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000, 7350};

} // namespace

bool aac_config_text(unsigned sampleRate, unsigned channels, char out[5])
{
    for (unsigned i = 0; i < sizeof aac_sample_rates / sizeof aac_sample_rates[0]; i++) {
        if (aac_sample_rates[i] != sampleRate)
            continue;
        unsigned cfg = 2u << 11 | i << 7 | (channels & 0xf) << 3;
        snprintf(out, 5, "%02x%02x", cfg >> 8, cfg & 0xff);
        return true;
    }
    return false;
}

void rtp_sink_apply_packet_size(MultiFramedRTPSink *sink)
{
    unsigned size = rtp_packet_size(rtsp_param_block());
    if (sink && size)
        sink->setPacketSizes(size, size);
}

// ---- H.264 ----

unsigned H264VideoFrameServerMediaSubsession::probeTimeoutUs = 5000000;

H264VideoFrameServerMediaSubsession *H264VideoFrameServerMediaSubsession::createNew(UsageEnvironment &env, int streamId, int streamMode,
                                                                                    bool reuseFirstSource)
{
    return new H264VideoFrameServerMediaSubsession(env, streamId, streamMode, reuseFirstSource);
}

H264VideoFrameServerMediaSubsession::H264VideoFrameServerMediaSubsession(UsageEnvironment &env, int streamId, int streamMode,
                                                                         bool reuseFirstSource)
    : OnDemandServerMediaSubsession(env, reuseFirstSource, INITIAL_SERVER_PORT, false), fStreamId(streamId), fStreamMode(streamMode)
{
    pthread_mutex_init(&fMutex, nullptr);
}

H264VideoFrameServerMediaSubsession::~H264VideoFrameServerMediaSubsession()
{
    envir().taskScheduler().unscheduleDelayedTask(fPollTask);
    free(fAuxSDPLine);
    pthread_mutex_destroy(&fMutex);
    log_printf("~H264VideoFrameServerMediaSubsession\n");
}

FramedSource *H264VideoFrameServerMediaSubsession::createNewStreamSource(unsigned, unsigned &estBitrate)
{
    estBitrate = stream_bitrate(fStreamId, fStreamMode) / 1000;
    log_printf("H264Video estBitrate=%d kbps\n", (int)estBitrate);
    StreamDeviceSource *source = StreamDeviceSource::createNew(envir(), fStreamId, fStreamMode, rtp_video_h264);
    return H264VideoStreamDiscreteFramer::createNew(envir(), source, false, false);
}

RTPSink *H264VideoFrameServerMediaSubsession::createNewRTPSink(Groupsock *rtpGroupsock, unsigned char rtpPayloadTypeIfDynamic,
                                                              FramedSource *)
{
    OutPacketBuffer::maxSize = H264_OUT_BUFFER_SIZE;
    H264VideoRTPSink *sink = H264VideoRTPSink::createNew(envir(), rtpGroupsock, rtpPayloadTypeIfDynamic);
    ParamBlock *p = rtsp_param_block();
    rtp_sink_apply_packet_size(sink);
    log_printf("setting H264 packet size to %u\n", p ? (unsigned)p->UDPPacketSize : 0u);
    return sink;
}

void H264VideoFrameServerMediaSubsession::afterPlayingProbe(void *clientData)
{
    H264VideoFrameServerMediaSubsession *s = static_cast<H264VideoFrameServerMediaSubsession *>(clientData);
    s->envir().taskScheduler().unscheduleDelayedTask(s->fPollTask);
    s->fDoneFlag = 0xff;
}

void H264VideoFrameServerMediaSubsession::pollAuxSDPLine(void *clientData)
{
    H264VideoFrameServerMediaSubsession *s = static_cast<H264VideoFrameServerMediaSubsession *>(clientData);
    s->fPollTask = nullptr;
    s->pollAuxSDPLine1();
}

void H264VideoFrameServerMediaSubsession::pollAuxSDPLine1()
{
    if (fLearned) {
        fDoneFlag = 0xff;
        return;
    }
    pthread_mutex_lock(&fMutex);
    const char *line = fProbeSink ? fProbeSink->auxSDPLine() : nullptr;
    if (line) {
        free(fAuxSDPLine);
        fAuxSDPLine = strdup(line);
        fLearned = true;
        fProbeSink = nullptr;
        pthread_mutex_unlock(&fMutex);
        fDoneFlag = 0xff;
        return;
    }
    pthread_mutex_unlock(&fMutex);
    // A channel without a producer never sends its parameter sets: the DESCRIBE is answered
    // without them rather than held forever; quit and server rebuilds end the wait too.
    if (rtsp_monotonic_us() >= fProbeDeadline || quit_requested() || global_quit.rtsp_control.load()) {
        log_printf("H264VideoFrameServerMediaSubsession: no SPS/PPS from stream %d\n", fStreamId);
        fDoneFlag = 0xff;
        return;
    }
    fPollTask = envir().taskScheduler().scheduleDelayedTask(100000, pollAuxSDPLine, this);
}

const char *H264VideoFrameServerMediaSubsession::getAuxSDPLine(RTPSink *rtpSink, FramedSource *inputSource)
{
    // Asked only while no stream of this channel runs here: the encoder starts with the
    // channel's settings as they are now, and its first SPS and PPS describe it (a size or bit
    // rate changed since the last DESCRIBE changes them).
    fLearned = false;
    bool mine = false;
    pthread_mutex_lock(&fMutex);
    if (!fProbeSink) {
        fProbeSink = rtpSink;
        fDoneFlag = 0;
        mine = true;
    }
    pthread_mutex_unlock(&fMutex);
    if (mine) {
        fProbeDeadline = rtsp_monotonic_us() + probeTimeoutUs;
        rtpSink->startPlaying(*inputSource, afterPlayingProbe, this);
        pollAuxSDPLine1();
    }
    envir().taskScheduler().doEventLoop(&fDoneFlag);
    if (mine) {
        // The caller closes this sink next; nothing may keep pointing at it.
        envir().taskScheduler().unscheduleDelayedTask(fPollTask);
        pthread_mutex_lock(&fMutex);
        if (fProbeSink == rtpSink)
            fProbeSink = nullptr;
        pthread_mutex_unlock(&fMutex);
    }
    return fAuxSDPLine;
}

// ---- transport stream ----

MPEG2TransportStreamServerMediaSubsession *MPEG2TransportStreamServerMediaSubsession::createNew(UsageEnvironment &env, int streamId,
                                                                                                int streamMode, bool reuseFirstSource)
{
    return new MPEG2TransportStreamServerMediaSubsession(env, streamId, streamMode, reuseFirstSource);
}

MPEG2TransportStreamServerMediaSubsession::MPEG2TransportStreamServerMediaSubsession(UsageEnvironment &env, int streamId, int streamMode,
                                                                                     bool reuseFirstSource)
    : OnDemandServerMediaSubsession(env, reuseFirstSource, INITIAL_SERVER_PORT, false), fStreamId(streamId), fStreamMode(streamMode)
{
}

MPEG2TransportStreamServerMediaSubsession::~MPEG2TransportStreamServerMediaSubsession() {}

FramedSource *MPEG2TransportStreamServerMediaSubsession::createNewStreamSource(unsigned, unsigned &estBitrate)
{
    estBitrate = stream_bitrate(fStreamId, fStreamMode) / 1000;
    log_printf("MPEG2TransportStream estBitrate=%d kbps\n", (int)estBitrate);
    StreamDeviceSource *source = StreamDeviceSource::createNew(envir(), fStreamId, fStreamMode, rtp_transport);
    return KelvMPEG2TransportStreamFramer::createNew(envir(), source);
}

RTPSink *MPEG2TransportStreamServerMediaSubsession::createNewRTPSink(Groupsock *rtpGroupsock, unsigned char, FramedSource *)
{
    return KelvSimpleRTPSink::createNew(envir(), rtpGroupsock, 33, 90000, "video", "MP2T", 1, true, false);
}

// ---- PCM ----

PCMAudioServerMediaSubsession *PCMAudioServerMediaSubsession::createNew(UsageEnvironment &env, int streamId, int streamMode,
                                                                        bool reuseFirstSource)
{
    return new PCMAudioServerMediaSubsession(env, streamId, streamMode, reuseFirstSource);
}

PCMAudioServerMediaSubsession::PCMAudioServerMediaSubsession(UsageEnvironment &env, int streamId, int streamMode, bool reuseFirstSource)
    : OnDemandServerMediaSubsession(env, reuseFirstSource, INITIAL_SERVER_PORT, false), fStreamId(streamId), fStreamMode(streamMode)
{
}

PCMAudioServerMediaSubsession::~PCMAudioServerMediaSubsession() {}

FramedSource *PCMAudioServerMediaSubsession::createNewStreamSource(unsigned, unsigned &estBitrate)
{
    estBitrate = 1536;
    log_printf("PCMAudio estBitrate=%d, streamid %d\n", (int)estBitrate, fStreamId);
    return StreamDeviceSource::createNew(envir(), fStreamId, fStreamMode, rtp_audio_pcm);
}

RTPSink *PCMAudioServerMediaSubsession::createNewRTPSink(Groupsock *rtpGroupsock, unsigned char, FramedSource *)
{
    log_printf("L16 RTP\n");
    SimpleRTPSink *sink = SimpleRTPSink::createNew(envir(), rtpGroupsock, 96, 48000, "audio", "L16", 2, true, true);
    rtp_sink_apply_packet_size(sink);
    return sink;
}

// ---- AAC ----

ADTSAudioServerMediaSubsession *ADTSAudioServerMediaSubsession::createNew(UsageEnvironment &env, int streamId, int streamMode,
                                                                          bool reuseFirstSource)
{
    return new ADTSAudioServerMediaSubsession(env, streamId, streamMode, reuseFirstSource);
}

ADTSAudioServerMediaSubsession::ADTSAudioServerMediaSubsession(UsageEnvironment &env, int streamId, int streamMode, bool reuseFirstSource)
    : OnDemandServerMediaSubsession(env, reuseFirstSource, INITIAL_SERVER_PORT, false), fStreamId(streamId), fStreamMode(streamMode)
{
}

ADTSAudioServerMediaSubsession::~ADTSAudioServerMediaSubsession() {}

FramedSource *ADTSAudioServerMediaSubsession::createNewStreamSource(unsigned, unsigned &estBitrate)
{
    estBitrate = stream_bitrate(fStreamId, fStreamMode) / 1000;
    log_printf("ADTSAudio estBitrate=%d kbps\n", (int)estBitrate);
    return StreamDeviceSource::createNew(envir(), fStreamId, fStreamMode, rtp_audio_aac);
}

RTPSink *ADTSAudioServerMediaSubsession::createNewRTPSink(Groupsock *rtpGroupsock, unsigned char rtpPayloadTypeIfDynamic, FramedSource *)
{
    char config[5];
    if (!aac_config_text(48000, 2, config))
        return nullptr;
    MPEG4GenericRTPSink *sink =
        MPEG4GenericRTPSink::createNew(envir(), rtpGroupsock, rtpPayloadTypeIfDynamic, 48000, "audio", "AAC-hbr", config, 2);
    rtp_sink_apply_packet_size(sink);
    return sink;
}
