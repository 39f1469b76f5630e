// Live streams over HTTP: endless responses fed from the stream queues (elementary, TS, FLV,
// audio, back-to-back and multipart JPEG) and JPEG snapshots, with the connection suspended while
// it waits, so the server's one polling thread never sleeps on a queue.
#pragma once
#include "streams/stream_share.h"
#include "streams/stream_state.h"
#include "web/httpd.h"

#include <cstdint>
#include <sys/types.h>

// How long a reader waits for its next unit before the response ends with an error.
enum { LIVE_UNIT_WAIT_MS = 3000, LIVE_STREAM_BLOCK = 0x10000, LIVE_JPEG_BLOCK = 0x100000 };
// The multipart MJPEG boundary as the header names it; each part begins with "--" and it.
#define LIVE_BOUNDARY "multipart_boundary"

// A connection suspended until its data is ready or its time is up; one registry for the live
// streams, the snapshots, the HLS segments and the file lists. A stream's reader is resumed
// and reads on; the others are answered by whoever has their data (or, when the time is up, by
// `on_timeout`) while still suspended, and released afterwards by the registry.
enum LiveWaitKind { LIVE_WAIT_STREAM = 1, LIVE_WAIT_SNAPSHOT, LIVE_WAIT_SEGMENT, LIVE_WAIT_FILELIST };

struct LiveWait {
    MHD_Connection *connection;
    int kind;
    void *owner;                // what the waker names (an HLS channel, a job)
    int arg;                    // the waker's (a segment's slot)
    int64_t deadline_ms;        // monotonic; 0 waits without limit
    bool parked;
    bool timed_out;             // a resumed reader's time was up
    bool answered;              // the answer went out (or the server let the connection go)
    // The answer when the time is up; null: the connection is resumed instead.
    MHD_Response *(*on_timeout)(LiveWait *w, unsigned *status);
    void (*release)(LiveWait *w);   // frees an answered wait; null: the owner does
    LiveWait *next;
};

// Registers (when new) and suspends the connection with a time limit; -1 while the server
// stops (nothing registered).
int live_wait_park(LiveWait *w, int timeout_ms);
// Parks unless *done is already set (then the caller answers in place): 1 parked, 0 not, -1
// the server stops.
int live_wait_park_unless(LiveWait *w, int timeout_ms, const bool *done);
// Sets *done; when the connection waits, answers it with what `build` makes.
void live_wait_finish(LiveWait *w, bool *done, MHD_Response *(*build)(LiveWait *w, unsigned *status));
// Until live_wait_finish has set *done (the worker no longer touches its job).
void live_wait_until_done(const bool *done);
// Answers a parked wait; the response is released either way. 0 when it went out.
int live_wait_answer(LiveWait *w, unsigned status, MHD_Response *response);
// Offers each parked wait of that kind and owner to `fn`, which gives its answer or null.
int live_wait_answer_owner(int kind, const void *owner, MHD_Response *(*fn)(LiveWait *w, unsigned *status, void *arg),
                           void *arg);
// Resumes a parked reader; returns 1 when it was parked.
int live_wait_wake(LiveWait *w);
// Takes a wait out of the registry (a stream's free callback).
void live_wait_remove(LiveWait *w);
int live_wait_count();

struct HttpStream {
    StreamState state;          // elementary rows: in place from the queue
    StreamShareReader share;    // TS and FLV rows: a reader of the row's one muxed output
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
    bool unit_in_ring;          // points into the queue or the share: checked after each copy
    bool delivered;             // a unit has been taken from the queue
    uint32_t attach_seq;        // elementary rows: the queue's newest entry when the reader came
    uint32_t parts;
    char header[192];           // a multipart part's header, or the fill closing a cut TS packet
    uint32_t header_len, header_off;
    int sock;                   // shared rows served: units go to this socket from the ring; -1 none
    bool riding;                // parked and fed by another reader of the row (guarded by the wait lock)
    bool failed;                // its socket failed while another reader fed it
    HttpStream *ride_next;
    LogOrigin origin;           // the client it was opened for
};

HttpStream *http_stream_open(int id, int mode, const char *content_type, int multipart);
ssize_t http_stream_read(void *cls, uint64_t position, char *buffer, size_t max);
void chunked_free_callback(void *cls);
// Whether the channel still produces what the stream needs: video rows need their codec in the
// channel's stream mode, audio rows always go on.
bool http_stream_produced(const HttpStream *s);

// "Video[id-1].StreamMode"; StreamMode_None without settings.
int live_channel_mode(int id);
// 404 with the one-line reason (stream_mode_serves's) for a row the channel's mode does not
// serve, logged as `handler`'s.
int live_refuse(HttpRequest *req, const char *handler, const char *why);

int get_stream_func(HttpRequest *req);
int jpeg_stream_handler(HttpRequest *req);
