#include "audio/sound.h"

#include "core/threads.h"

void *soundThrFxn(void *arg)
{
    SoundEnv *env = static_cast<SoundEnv *>(arg);
    thread_idle_until_quit(env->name, env->hRendezvousInit, env->hRendezvousCleanup);
    return nullptr;
}
