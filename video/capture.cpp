#include "video/capture.h"

#include "core/threads.h"

uint32_t capture_width, capture_height;
uint32_t capture_frame_rate = 59940;
int32_t capture_field_mode = -1;

void *captureThrFxn(void *arg)
{
    // Placeholder until the capture pipeline exists: hands nothing to the encoders.
    CaptureEnv *env = static_cast<CaptureEnv *>(arg);
    thread_idle_until_quit(env->name, env->hRendezvousInit, env->hRendezvousCleanup);
    return nullptr;
}
