#include "core/param.h"

ParamBlock param_block;

int init_param(ParamBlock *)
{
    return -1;
}

int param_developer_mode(const ParamBlock *)
{
    return 0;
}
