#include "streaming/rtmp.h"

#include "core/threads.h"

void *rtmpThrFxn(void *arg)
{
    SenderEnv *env = static_cast<SenderEnv *>(arg);
    thread_idle_until_quit(env->name, env->hRendezvousInit, env->hRendezvousCleanup);
    return nullptr;
}

void *rtmpServerThrFxn(void *arg)
{
    SenderEnv *env = static_cast<SenderEnv *>(arg);
    thread_idle_until_quit(env->name, env->hRendezvousInit, env->hRendezvousCleanup);
    return nullptr;
}
