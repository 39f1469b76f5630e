#include "video/output.h"

#include "core/threads.h"

void *outputThrFxn(void *arg)
{
    OutputEnv *env = static_cast<OutputEnv *>(arg);
    thread_idle_until_quit(env->name, env->hRendezvousInit, env->hRendezvousCleanup);
    return nullptr;
}
