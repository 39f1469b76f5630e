// The recording thread: while stream id 13 runs, writes one video channel's stream to files on
// the first mounted medium, in segments named from "Recording.Filename".
#pragma once
#include <cstddef>
#include <cstdint>
#include <ctime>

void *recordThrFxn(void *arg);

// Waits up to wait_ms for the recorder to begin its next file; 0 with that file's path in
// path, else the wait's error (ETIMEDOUT) and an empty path.
int record_wait_next_file(char *path, size_t size, int wait_ms);

// "Recording.Status": the printed length.
int recording_status_text(char *buf, size_t size);

// Size (bytes) and duration (90 kHz ticks) limits of a segment from "Recording.DurationMode"
// and "Recording.Duration"; 0 = none.
void record_limits(int duration_mode, uint32_t duration, uint64_t *size_limit, uint64_t *duration_limit);

// Naming, exposed for tests. The template's "^d" is the date, "^t" the time, "^c" the count.
enum { RECORD_NAME_MAX = 99 };
// dir "/" template with the fields filled in, cut at RECORD_NAME_MAX characters.
void record_build_name(char *out, const char *dir, const char *tmpl, const struct tm *tm, int count);
// 1 + the largest count among the entries of dir that fit the template around "^c"; 1 when
// dir cannot be listed or the template has no "^c".
int record_find_count(const char *dir, const char *tmpl);
// The first free name: "^t" or "^c" moves on (the last of them in the template), a template
// without them gets "_2", "_3", ... before its extension. -1 when the search runs out.
int record_next_name(char *out, const char *dir, const char *tmpl, time_t now);
// Appends ext (".mp4") when the template's file name has no extension; an empty file name
// becomes RECORD_DEFAULT_NAME first.
#define RECORD_DEFAULT_NAME "^d_^t"
void record_add_extension(char *tmpl, size_t size, const char *ext);
// Folder number (100..999) and entry count of the newest "NNNMEDIA" folder in dir.
void record_media_dir_scan(const char *dir, int *folder, int *count);
