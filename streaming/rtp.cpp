#include "streaming/rtp.h"
#include "streaming/multicast.h"

#include <cstring>
#include <pthread.h>

#include "core/log.h"
#include "core/param_table.h"
#include "core/quit.h"
#include "core/threads.h"
#include "rtsp/liveMedia.h"
#include "streaming/subsessions.h"
#include "streams/stream.h"
#include "streams/stream_mode.h"

ParamBlock *rtsp_params;

ParamBlock *rtsp_param_block()
{
    return rtsp_params ? rtsp_params : get_param_block();
}

namespace {

const char SESSION_DESCRIPTION[] = "Session streamed by \"Kelvane Model 7160\"";

enum Track { H264_A, H264_B, AAC, PCM, TS_A, TS_B, VTS_A, VTS_B, NO_TRACK };

struct SessionEntry {
    const char *name;
    Track tracks[2];
};

const SessionEntry session_table[] = {
    {"streamA.h264", {H264_A, NO_TRACK}},     {"streamB.h264", {H264_B, NO_TRACK}},
    {"streamC.aac", {AAC, NO_TRACK}},         {"streamC.pcm", {PCM, NO_TRACK}},
    {"streamA.h264_aac", {H264_A, AAC}},      {"streamB.h264_aac", {H264_B, AAC}},
    {"streamA.h264_pcm", {H264_A, PCM}},      {"streamB.h264_pcm", {H264_B, PCM}},
    {"streamA.ts", {TS_A, NO_TRACK}},         {"streamB.ts", {TS_B, NO_TRACK}},
    {"vstreamA.ts", {VTS_A, NO_TRACK}},       {"vstreamB.ts", {VTS_B, NO_TRACK}},
};

ServerMediaSubsession *make_subsession(UsageEnvironment &env, Track t)
{
    switch (t) {
    case H264_A:
        return H264VideoFrameServerMediaSubsession::createNew(env, VIDEO_STREAM1, StreamMode_H264_ES, true);
    case H264_B:
        return H264VideoFrameServerMediaSubsession::createNew(env, VIDEO_STREAM2, StreamMode_H264_ES, true);
    case AAC:
        return ADTSAudioServerMediaSubsession::createNew(env, AAC_STREAM, StreamMode_Audio_AAC, true);
    case PCM:
        return PCMAudioServerMediaSubsession::createNew(env, PCM_STREAM, StreamMode_Audio_PCM, true);
    case TS_A:
        return MPEG2TransportStreamServerMediaSubsession::createNew(env, VIDEO_STREAM1, StreamMode_H264_AAC_TS, true);
    case TS_B:
        return MPEG2TransportStreamServerMediaSubsession::createNew(env, VIDEO_STREAM2, StreamMode_H264_AAC_TS, true);
    case VTS_A:
        return MPEG2TransportStreamServerMediaSubsession::createNew(env, VIDEO_STREAM1, StreamMode_H264_TS, true);
    case VTS_B:
        return MPEG2TransportStreamServerMediaSubsession::createNew(env, VIDEO_STREAM2, StreamMode_H264_TS, true);
    case NO_TRACK:
        break;
    }
    return nullptr;
}

ServerMediaSession *new_session(UsageEnvironment &env, const char *name)
{
    return ServerMediaSession::createNew(env, name, name, SESSION_DESCRIPTION, false, nullptr);
}

} // namespace

void rtsp_add_sessions(UsageEnvironment &env, RTSPServer *server)
{
    for (const SessionEntry &e : session_table) {
        ServerMediaSession *sms = new_session(env, e.name);
        for (Track t : e.tracks)
            if (t != NO_TRACK)
                sms->addSubsession(make_subsession(env, t));
        server->addServerMediaSession(sms);
    }
    const ParamBlock *p = rtsp_param_block();
    char name[sizeof p->RTSP_CustomStreamName + 1];
    memcpy(name, p->RTSP_CustomStreamName, sizeof p->RTSP_CustomStreamName);
    name[sizeof p->RTSP_CustomStreamName] = '\0';
    int mode = p->RTSP_CustomStreamMode;
    if ((mode == 1 || mode == 2) && name[0]) {
        ServerMediaSession *sms = new_session(env, name);
        sms->addSubsession(H264VideoFrameServerMediaSubsession::createNew(env, mode == 1 ? VIDEO_STREAM1 : VIDEO_STREAM2,
                                                                         StreamMode_H264_ES, true));
        server->addServerMediaSession(sms);
    }
}

UserAuthenticationDatabase *rtsp_user_database_new()
{
    const ParamBlock *p = rtsp_param_block();
    if (p->RTSP_DisableAuth)
        return nullptr;
    UserAuthenticationDatabase *db = new UserAuthenticationDatabase(nullptr, false);
    for (const UserSlot &u : p->User) {
        char name[sizeof u.Name + 1], pass[sizeof u.Password + 1];
        memcpy(name, u.Name, sizeof u.Name);
        name[sizeof u.Name] = '\0';
        memcpy(pass, u.Password, sizeof u.Password);
        pass[sizeof u.Password] = '\0';
        if (name[0] && u.Permission > 0)
            db->addUserRecord(name, pass, u.Permission == PERM_ADMIN);
    }
    if (db->numUsers() == 0) {
        delete db;
        return nullptr;
    }
    return db;
}

void *rtpThrFxn(void *arg)
{
    RtpEnv *env = static_cast<RtpEnv *>(arg);
    thread_init_begin(env->name);
    pthread_setname_np(pthread_self(), env->name);   // for per-thread CPU figures (top -H, bench)
    rtsp_params = env->params;
    thread_init_end(env->name);
    rendezvous_meet(env->hRendezvousInit, env->name);

    BasicTaskScheduler *scheduler = BasicTaskScheduler::createNew(10000);
    UsageEnvironment *uenv = scheduler ? BasicUsageEnvironment::createNew(*scheduler) : nullptr;
    RTSPServer *server = nullptr;
    if (!uenv) {
        log_error("%s %d: no task scheduler\n", env->name, __LINE__);
        env->status = -1;
    }
    while (uenv && !quit_requested()) {
        const ParamBlock *p = rtsp_param_block();
        if (p->RTSP_Disable) {
            quit_wait(1000);
            continue;
        }
        global_quit.rtsp_control = RTSP_CONTROL_NONE;
        server = RTSPServer::createNew(*uenv, Port(p->RTSP_Port), rtsp_user_database_new(), 65);
        if (!server) {
            log_printf("Failed to create RTSP server: %s\n", uenv->getResultMsg());
            quit_wait(10000);
            continue;
        }
        log_printf("RTSP server created on port %u\n", (unsigned)p->RTSP_Port);
        rtsp_add_sessions(*uenv, server);
        multicast_build(*uenv, server);

        bool rebuild = false;
        while (!quit_requested() && !rebuild) {
            scheduler->doEventLoop(&global_quit.rtsp_control);
            if (quit_requested())
                break;
            // Taken and cleared in one step: a request set meanwhile is not lost.
            uint8_t request = global_quit.rtsp_control.exchange(RTSP_CONTROL_NONE);
            if (request == RTSP_CONTROL_RESTART) {
                log_printf("rtp restart\n");
                multicast_teardown();
                Medium::close(server);
                server = nullptr;
                rebuild = true;
            } else {
                log_printf("rtp reload users\n");
                delete server->setAuthenticationDatabase(rtsp_user_database_new());
            }
        }
    }

    // Sources detach from the queues here, while their producers still exist.
    multicast_teardown();
    Medium::close(server);
    myRendezvousCleanup(env->hRendezvousCleanup, env->name);
    if (uenv)
        uenv->reclaim();
    delete scheduler;
    return nullptr;
}
