#include "storage/filesys.h"


void fileSysDone()
{
}
