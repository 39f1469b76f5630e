// Recording files over the web: lists, downloads and deletion.
#include "web/files.h"

#include <cstring>

bool files_is_list_row(const UrlEntry *row)
{
    return row && strncmp(row->name, "filelist", 8) == 0;
}

void files_list_options(HttpRequest *req)
{
    req->page = 1;
    req->detailed = 0;
    req->fast = 0;
}

int files_render_list(DynBuf *, const UrlEntry *, int, int, int)
{
    return 0;   // not built yet: lists nothing
}
