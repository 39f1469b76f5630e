#include "video/display.h"

#include "core/threads.h"

void *displayThrFxn(void *arg)
{
    DisplayEnv *env = static_cast<DisplayEnv *>(arg);
    thread_idle_until_quit(env->name, env->hRendezvousInit, env->hRendezvousCleanup);
    return nullptr;
}

void display_wake()
{
}
