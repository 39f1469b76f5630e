#include "video/osd.h"


int osd_init(ParamBlock *)
{
    return 0;
}
