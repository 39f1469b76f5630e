#include "core/param.h"

#include <cstring>
#include <pthread.h>

ParamBlock param_block;
const ParamBlock param_defaults = {};

static pthread_mutex_t pending_mutex = PTHREAD_MUTEX_INITIALIZER;
static uint32_t pending_mask;

void param_mark_changed(int group)
{
    if (group <= 0 || group > 31)
        return;
    pthread_mutex_lock(&pending_mutex);
    pending_mask |= 1u << group;
    pthread_mutex_unlock(&pending_mutex);
}

uint32_t param_take_changed()
{
    pthread_mutex_lock(&pending_mutex);
    uint32_t mask = pending_mask;
    pending_mask = 0;
    pthread_mutex_unlock(&pending_mutex);
    return mask;
}

uint32_t param_pending()
{
    pthread_mutex_lock(&pending_mutex);
    uint32_t mask = pending_mask;
    pthread_mutex_unlock(&pending_mutex);
    return mask;
}

int init_param(ParamBlock *)
{
    return -1;
}

int param_developer_mode(const ParamBlock *block)
{
    return block->DeveloperMode;
}
