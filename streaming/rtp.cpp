#include "streaming/rtp.h"

#include "core/threads.h"

void *rtpThrFxn(void *arg)
{
    RtpEnv *env = static_cast<RtpEnv *>(arg);
    thread_idle_until_quit(env->name, env->hRendezvousInit, env->hRendezvousCleanup);
    return nullptr;
}
