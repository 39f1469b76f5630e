#include "web/httpd.h"

#include "core/threads.h"

void *httpdThrFxn(void *arg)
{
    SimpleEnv *env = static_cast<SimpleEnv *>(arg);
    thread_idle_until_quit(env->name, env->hRendezvousInit, env->hRendezvousCleanup);
    return nullptr;
}
