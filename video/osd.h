#pragma once

struct ParamBlock;
int osd_init(ParamBlock *params);
