#include "video/encoder.h"

#include "core/threads.h"

void *videoThrFxn(void *arg)
{
    VideoEnv *env = static_cast<VideoEnv *>(arg);
    thread_idle_until_quit(env->name, env->hRendezvousInit, env->hRendezvousCleanup);
    return nullptr;
}
