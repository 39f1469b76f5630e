#include "services/network.h"


int init_network(ParamBlock *)
{
    return 0;
}

void stop_network_services()
{
}
