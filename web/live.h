// Live streams over HTTP: endless responses fed from the stream queues (elementary, TS, FLV,
// audio, back-to-back and multipart JPEG) and JPEG snapshots, with the connection suspended while
// it waits, so the server's one polling thread never sleeps on a queue.
#pragma once
#include "streams/stream_state.h"
#include "web/httpd.h"

#include <cstdint>
#include <sys/types.h>

// How long a reader waits for its next unit before the response ends with an error.
enum { LIVE_UNIT_WAIT_MS = 3000, LIVE_STREAM_BLOCK = 0x10000, LIVE_JPEG_BLOCK = 0x100000 };

// A connection suspended until its data is ready or its time is up; one registry for the live
// streams, the snapshots, the HLS segments and the file lists.
enum LiveWaitKind { LIVE_WAIT_STREAM = 1, LIVE_WAIT_SNAPSHOT, LIVE_WAIT_SEGMENT, LIVE_WAIT_FILELIST };

struct LiveWait {
    MHD_Connection *connection;
    int kind;
    void *owner;                // what the waker names (an HLS channel, a job)
    int64_t deadline_ms;        // monotonic; 0 waits without limit
    int64_t woken_ms;
    bool parked;
    bool timed_out;
    bool gone;                  // the server let the connection go: nobody comes back for it
    void (*release)(LiveWait *w);   // frees a wait nobody comes back for; null: the owner does
    LiveWait *next;
};

// Registers (when new) and suspends the connection with a time limit.
void live_wait_park(LiveWait *w, int timeout_ms);
// Resumes it when parked; returns 1 when it was.
int live_wait_wake(LiveWait *w);
// Wakes every parked wait of that kind and owner.
int live_wait_wake_owner(int kind, const void *owner);
// On the handler's call after a resume: the wait of this connection, out of the registry and
// owned by the caller. Null when this is the request's first call.
LiveWait *live_wait_take(MHD_Connection *c, int kind);
// Parks unless *done is already set (then answers in place): 1 parked, 0 not. The worker sets
// *done through live_wait_finish, so the two never miss each other.
int live_wait_park_unless(LiveWait *w, int timeout_ms, const bool *done);
void live_wait_finish(LiveWait *w, bool *done);
// Takes a wait out of the registry (a stream's free callback).
void live_wait_remove(LiveWait *w);
int live_wait_count();
int64_t live_now_ms();

struct HttpStream {
    StreamState state;
    uint32_t offset;            // read offset within the current unit
    uint32_t frame_skip;
    int id;
    int mode;
    int multipart;
    const char *content_type;
    LiveWait wait;
    StreamCallback callback;
    bool current;
    uint32_t unit_seq;
    uint32_t unit_len;
    const uint8_t *unit;
    bool unit_in_ring;          // points into the queue: checked after each copy
    uint32_t parts;
    char header[160];
    uint32_t header_len, header_off;
};

HttpStream *http_stream_open(int id, int mode, const char *content_type, int multipart);
ssize_t http_stream_read(void *cls, uint64_t position, char *buffer, size_t max);
void chunked_free_callback(void *cls);
// Whether the channel still produces what the stream needs: video rows need their codec in the
// channel's stream mode, audio rows always go on.
bool http_stream_produced(const HttpStream *s);

int get_stream_func(HttpRequest *req);
int jpeg_stream_handler(HttpRequest *req);
