#include "audio/playback.h"

#include "core/threads.h"

void *soundPlaybackThrFxn(void *arg)
{
    PlaybackEnv *env = static_cast<PlaybackEnv *>(arg);
    thread_idle_until_quit(env->name, env->hRendezvousInit, env->hRendezvousCleanup);
    return nullptr;
}
