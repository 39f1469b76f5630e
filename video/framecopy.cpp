#include "video/framecopy.h"


int dm365mmap_open()
{
    return 0;
}

void dm365mmap_close()
{
}
