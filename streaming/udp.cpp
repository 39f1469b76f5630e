#include "streaming/udp.h"

#include "core/threads.h"

void *udpThrFxn(void *arg)
{
    SenderEnv *env = static_cast<SenderEnv *>(arg);
    thread_idle_until_quit(env->name, env->hRendezvousInit, env->hRendezvousCleanup);
    return nullptr;
}
