#include "video/display.h"

#include "core/quit.h"
#include "core/threads.h"

#include <poll.h>

void *displayThrFxn(void *arg)
{
    // Placeholder until the display exists: pass-through pictures go straight back to capture.
    DisplayEnv *env = static_cast<DisplayEnv *>(arg);
    thread_init_begin(env->name);
    thread_init_end(env->name);
    rendezvous_meet(env->hRendezvousInit, env->name);
    while (!quit_requested()) {
        struct pollfd pfd = {Fifo_getFd(env->hFromCapture), POLLIN, 0};
        if (poll(&pfd, 1, 200) <= 0)
            continue;
        void *msg = nullptr;
        if (Fifo_get_nonblocking(env->hFromCapture, &msg) != Dmai_EOK)
            break;
        if (msg)
            Fifo_put(env->hToCapture, msg);
    }
    while (!quit_requested())
        quit_wait(200);
    myRendezvousCleanup(env->hRendezvousCleanup, env->name);
    return nullptr;
}

void display_wake()
{
}
