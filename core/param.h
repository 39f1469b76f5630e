// The settings block. Its full layout comes with the settings store.
#pragma once
#include <cstdint>

struct ParamBlock {
    uint8_t raw[1704];
};

extern ParamBlock param_block;
int init_param(ParamBlock *block);
int param_developer_mode(const ParamBlock *block);
