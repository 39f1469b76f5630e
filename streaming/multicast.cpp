#include "streaming/multicast.h"

#include "core/log.h"
#include "core/param.h"
#include "core/param_table.h"
#include "core/quit.h"
#include "core/util.h"
#include "platform/platform.h"
#include "streaming/rtp.h"
#include "streaming/stream_source.h"
#include "streaming/subsessions.h"
#include "streams/stream.h"
#include "streams/stream_mode.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ctime>

namespace {
const char *const session_info = "test.264";
const char *const session_description = "Session streamed by \"Kelvane Model 7160\"";

// Everything below is guarded by mc_mutex; the objects themselves are touched only on the
// RTSP thread.
pthread_mutex_t mc_mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t mc_cond = PTHREAD_COND_INITIALIZER;
Multicaster *multicaster_table[2];
bool mc_want[2];          // what the sender threads ask for
bool mc_playing[2];       // what the RTSP thread has done
TaskScheduler *mc_scheduler;
EventTriggerId mc_trigger;

struct timespec in_200ms()
{
    struct timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    t.tv_nsec += 200 * 1000000L;
    if (t.tv_nsec >= 1000000000L) {
        t.tv_sec++;
        t.tv_nsec -= 1000000000L;
    }
    return t;
}

// On the RTSP thread: brings each instance to the state its sender asks for.
void apply_requests(void *)
{
    pthread_mutex_lock(&mc_mutex);
    for (int n = 0; n < 2; n++) {
        Multicaster *m = multicaster_table[n];
        if (!m)
            continue;
        bool want = mc_want[n];
        pthread_mutex_unlock(&mc_mutex);
        if (want && !m->isPlaying())
            m->startPlaying();
        else if (!want && m->isPlaying())
            m->stopPlaying();
        pthread_mutex_lock(&mc_mutex);
        mc_playing[n] = m->isPlaying();
    }
    pthread_cond_broadcast(&mc_cond);
    pthread_mutex_unlock(&mc_mutex);
}

// Asks the RTSP thread for a change and waits until it is done, or quit.
void request(int n, bool play)
{
    pthread_mutex_lock(&mc_mutex);
    mc_want[n] = play;
    if (mc_scheduler)
        mc_scheduler->triggerEvent(mc_trigger, nullptr);
    while (mc_playing[n] != play && multicaster_table[n] && !quit_requested_nolock()) {
        struct timespec t = in_200ms();
        pthread_cond_timedwait(&mc_cond, &mc_mutex, &t);
    }
    pthread_mutex_unlock(&mc_mutex);
}

struct sockaddr_storage ipv4(uint32_t addr_net)
{
    struct sockaddr_storage ss = {};
    struct sockaddr_in *in = (struct sockaddr_in *)&ss;
    in->sin_family = AF_INET;
    in->sin_addr.s_addr = addr_net;
    return ss;
}
} // namespace

Multicaster *Multicaster::createNew(UsageEnvironment &env, RTSPServer *server, int channel)
{
    return new Multicaster(env, server, channel);
}

Multicaster::Multicaster(UsageEnvironment &env, RTSPServer *server, int channel)
    : fEnv(env), fServer(server), fChannel(channel)
{
    const ParamBlock *p = rtsp_param_block();
    const ParamUdp &u = p->UDP[channel];
    struct in_addr addr;
    memcpy(&addr.s_addr, &u.Addr, 4);
    for (int i = 0; i < 4; i++) {
        // Ports wrap as 16-bit values: 65535 is followed by 0.
        fGroupsocks[i] = new Groupsock(env, addr, Port((uint16_t)(u.Port + i)), 255);
        platform_set_multicast_if(fGroupsocks[i]->socketNum());
    }
    OutPacketBuffer::maxSize = 1000000;
    fVideoSink = H264VideoRTPSink::createNew(env, fGroupsocks[0], 96);
    rtp_sink_apply_packet_size(fVideoSink);
    fAudioSink = MPEG4GenericRTPSink::createNew(env, fGroupsocks[2], 111, 48000, "audio", "AAC-hbr", "1190", 2);
    rtp_sink_apply_packet_size(fAudioSink);

    char custom[sizeof p->RTSP_CustomStreamName + 1];
    memcpy(custom, p->RTSP_CustomStreamName, sizeof p->RTSP_CustomStreamName);
    custom[sizeof p->RTSP_CustomStreamName] = '\0';
    if (p->RTSP_CustomStreamMode == channel + 3 && custom[0])
        snprintf(fName, sizeof fName, "%s", custom);
    else
        snprintf(fName, sizeof fName, "multicast%c.h264", 'A' + channel);
    char aac_name[sizeof fName + 8];
    snprintf(aac_name, sizeof aac_name, "%s_aac", fName);

    // The sessions describe the sinks; the RTCP instances exist only while playing, so a
    // channel that is not sending reports nothing either.
    fSessions[0] = ServerMediaSession::createNew(env, fName, session_info, session_description, true);
    fSessions[0]->addSubsession(PassiveServerMediaSubsession::createNew(*fVideoSink, nullptr));
    server->addServerMediaSession(fSessions[0]);
    fSessions[1] = ServerMediaSession::createNew(env, aac_name, session_info, session_description, true);
    fSessions[1]->addSubsession(PassiveServerMediaSubsession::createNew(*fVideoSink, nullptr));
    fSessions[1]->addSubsession(PassiveServerMediaSubsession::createNew(*fAudioSink, nullptr));
    server->addServerMediaSession(fSessions[1]);
}

Multicaster::~Multicaster()
{
    if (isPlaying())
        stopPlaying();
    for (ServerMediaSession *s : fSessions)
        if (s)
            fServer->removeServerMediaSession(s);
    Medium::close(fVideoSink);
    Medium::close(fAudioSink);
    for (Groupsock *g : fGroupsocks)
        delete g;
}

void Multicaster::pointGroupsocks()
{
    const ParamUdp &u = rtsp_param_block()->UDP[fChannel];
    uint32_t addr;
    memcpy(&addr, &u.Addr, 4);
    for (int i = 0; i < 4; i++) {
        fGroupsocks[i]->changeDestinationParameters(ipv4(addr), Port((uint16_t)(u.Port + i)), 255);
        fGroupsocks[i]->multicastSendOnly();
    }
    log_printf("setup %d destination %08x, ports %d %d %d %d, ssm %d %d %d %d\n", fChannel, ntohl(addr),
               (uint16_t)u.Port, (uint16_t)(u.Port + 1), (uint16_t)(u.Port + 2), (uint16_t)(u.Port + 3),
               fGroupsocks[0]->isSSM(), fGroupsocks[1]->isSSM(), fGroupsocks[2]->isSSM(), fGroupsocks[3]->isSSM());
}

void Multicaster::startPlaying()
{
    log_printf("%s: idx=%d\n", "void Multicaster::startPlaying()", fChannel);
    const ParamBlock *p = rtsp_param_block();
    pointGroupsocks();
    rtp_sink_apply_packet_size(fVideoSink);
    unsigned char cname[sizeof p->NetworkHostname + 1];
    memcpy(cname, p->NetworkHostname, sizeof p->NetworkHostname);
    cname[sizeof p->NetworkHostname] = 0;
    fVideoRTCP = RTCPInstance::createNew(fEnv, fGroupsocks[1], stream_bitrate(fChannel + 1, StreamMode_H264_ES) / 1000,
                                         cname, fVideoSink, nullptr, false);
    fAudioRTCP = RTCPInstance::createNew(fEnv, fGroupsocks[3], stream_bitrate(AAC_STREAM, StreamMode_Audio_AAC) / 1000,
                                         cname, fAudioSink, nullptr, false);
    fVideoSource = StreamDeviceSource::createNew(fEnv, fChannel + 1, StreamMode_H264_ES, rtp_video_h264);
    fFramer = fVideoSource ? H264VideoStreamDiscreteFramer::createNew(fEnv, fVideoSource, false, false) : nullptr;
    fAudioSource = StreamDeviceSource::createNew(fEnv, AAC_STREAM, StreamMode_Audio_AAC, rtp_audio_aac);
    fVideoSink->presetNextTimestamp();
    fAudioSink->presetNextTimestamp();
    if (fFramer)
        fVideoSink->startPlaying(*fFramer, nullptr, nullptr);
    if (fAudioSource)
        fAudioSink->startPlaying(*fAudioSource, nullptr, nullptr);
    log_printf("%s: done\n", "void Multicaster::startPlaying()");
}

void Multicaster::stopPlaying()
{
    log_printf("%s: idx=%d\n", "void Multicaster::stopPlaying()", fChannel);
    fVideoSink->stopPlaying();
    fAudioSink->stopPlaying();
    if (fFramer)
        Medium::close(fFramer);   // closes the video source with it
    else
        Medium::close(fVideoSource);
    Medium::close(fAudioSource);
    fFramer = nullptr;
    fVideoSource = nullptr;
    fAudioSource = nullptr;
    Medium::close(fVideoRTCP);
    Medium::close(fAudioRTCP);
    fVideoRTCP = fAudioRTCP = nullptr;
    log_printf("%s: done\n", "void Multicaster::stopPlaying()");
}

void multicast_build(UsageEnvironment &env, RTSPServer *server)
{
    Multicaster *made[2];
    for (int n = 0; n < 2; n++)
        made[n] = Multicaster::createNew(env, server, n);
    pthread_mutex_lock(&mc_mutex);
    mc_scheduler = &env.taskScheduler();
    mc_trigger = mc_scheduler->createEventTrigger(apply_requests);
    for (int n = 0; n < 2; n++) {
        multicaster_table[n] = made[n];
        mc_playing[n] = false;
    }
    pthread_mutex_unlock(&mc_mutex);
    // A channel that was playing on the old server plays on again.
    apply_requests(nullptr);
}

void multicast_teardown()
{
    Multicaster *old[2];
    pthread_mutex_lock(&mc_mutex);
    for (int n = 0; n < 2; n++) {
        old[n] = multicaster_table[n];
        multicaster_table[n] = nullptr;
        mc_playing[n] = false;
    }
    if (mc_scheduler)
        mc_scheduler->deleteEventTrigger(mc_trigger);
    mc_scheduler = nullptr;
    pthread_cond_broadcast(&mc_cond);
    pthread_mutex_unlock(&mc_mutex);
    for (Multicaster *m : old)
        delete m;
}

int multicast_run(int channel, ParamBlock *, StreamRunState *rs)
{
    for (;;) {
        pthread_mutex_lock(&mc_mutex);
        bool there = multicaster_table[channel] != nullptr;
        pthread_mutex_unlock(&mc_mutex);
        if (there)
            break;
        if (quit_requested())
            return 1;
        if (stream_stop_pending(rs))
            return 0;
        sleep_ms(1000);
    }
    request(channel, true);
    log_printf("multicast rstp streaming %d started\n", channel);
    // Bounded waits: a stop (or a restart) is seen within one wake-up, quit within a tick.
    pthread_mutex_lock(&rs->mutex);
    while (!(rs->flags & (RUN_STOP_PENDING | RUN_STOPPED)) && !quit_requested_nolock()) {
        struct timespec t = in_200ms();
        pthread_cond_timedwait(&rs->cond, &rs->mutex, &t);
    }
    pthread_mutex_unlock(&rs->mutex);
    request(channel, false);
    log_printf("multicast rstp streaming %d finished\n", channel);
    return 0;
}
