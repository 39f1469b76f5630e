#include "video/capture.h"

#include "core/threads.h"

void *captureThrFxn(void *arg)
{
    // Placeholder until the capture pipeline exists: hands nothing to the encoders.
    CaptureEnv *env = static_cast<CaptureEnv *>(arg);
    thread_idle_until_quit(env->name, env->hRendezvousInit, env->hRendezvousCleanup);
    return nullptr;
}
