// Recording files over the web: lists, downloads and deletion.
#pragma once
#include "web/httpd.h"

#include <cstddef>

// List threads at once; more requests are answered 503 until one ends.
enum { FILES_JOBS_MAX = 4 };

// True for the rows whose GET lists the files of a source ("filelist", "filelist_int", ...).
bool files_is_list_row(const UrlEntry *row);
// Reads the list options ("p") of the request into req->page, req->detailed and req->fast.
void files_list_options(HttpRequest *req);
// Writes the list of the row's source, as a page includes it in place; the delete controls only
// for a `level` the source's delete row accepts. Returns 0, or -1 when out of memory.
int files_render_list(DynBuf *out, const UrlEntry *row, int page, int detailed, int fast, int level);

// GET of a list row: the list is made on a thread of its own while the connection waits.
int files_list_func(HttpRequest *req);
int files_jobs_running();
// Tests: list threads wait before rendering while held.
void files_hold_lists(bool hold);
// GET "download?s=<source>&f=<item>".
int files_download_func(HttpRequest *req);
// POST of a "delete_files_*" row: each "delete_file" value is removed from the row's source.
int post_delete_files_func(PostContext *ctx, const char *data, size_t size);

// Runs of digits compare as numbers, other bytes by their code; a prefix sorts first.
int files_natural_compare(const char *a, const char *b);
// Percent-encodes all but unreserved characters and '/'.
size_t files_url_encode(const char *in, char *out, size_t size);
