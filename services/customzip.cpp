#include "services/customzip.h"


int customzip_load()
{
    return 0;
}
