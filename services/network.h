#pragma once

struct ParamBlock;
int init_network(ParamBlock *params);
void stop_network_services();
