#include "services/serial.h"

#include "core/threads.h"

void *serialThrFxn(void *arg)
{
    SerialEnv *env = static_cast<SerialEnv *>(arg);
    thread_idle_until_quit(env->name, env->hRendezvousInit, env->hRendezvousCleanup);
    return nullptr;
}

void serial_global_quit()
{
}
