// Recording files over the web: lists of what lies on a storage source, downloads and deletion.
#pragma once
#include "web/httpd.h"

// True for the rows whose GET lists the files of a source ("filelist", "filelist_int", ...).
bool files_is_list_row(const UrlEntry *row);
// Reads the list options ("p") of the request into req->page, req->detailed and req->fast.
void files_list_options(HttpRequest *req);
// Writes the list of the row's source, as a page includes it in place. Returns 0, or -1 when
// out of memory.
int files_render_list(DynBuf *out, const UrlEntry *row, int page, int detailed, int fast);
