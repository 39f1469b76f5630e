#include "storage/record.h"

#include "core/threads.h"

void *recordThrFxn(void *arg)
{
    RecordEnv *env = static_cast<RecordEnv *>(arg);
    thread_idle_until_quit(env->name, env->hRendezvousInit, env->hRendezvousCleanup);
    return nullptr;
}
