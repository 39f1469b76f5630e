// HTTP Live Streaming: a playlist and five rotating transport-stream segments per channel, cut
// by a worker that runs while players keep fetching playlists.
#pragma once
#include "streams/stream_state.h"
#include "web/httpd.h"

#include <cstdint>
#include <pthread.h>

enum { HLS_CHANNELS = 2, HLS_SLOTS = 5, HLS_SEGMENT_UNITS = 30, HLS_GROW = 0x10000 };
// A segment request waits at most this long; a worker that sees no unit this long stops.
enum { HLS_SEGMENT_WAIT_MS = 20000, HLS_STALL_MS = 10000 };

struct HlsSlot {
    uint8_t *data;
    uint32_t length;            // 0 = not ready
    uint32_t capacity;
};

struct HlsChannel {
    pthread_mutex_t mutex;
    bool running;               // a worker runs (it clears this itself when it ends)
    StreamState state;
    HlsSlot slots[HLS_SLOTS];
    uint32_t completed;         // segments completed since the worker started
    uint32_t last_playlist;     // `completed` at the last playlist request
    int index;                  // 0 A, 1 B
};

extern HlsChannel hls_channels[HLS_CHANNELS];

// The playlist and segment rows.
int hls_get_func(HttpRequest *req);
int hls_playlist_func(HttpRequest *req);
int hls_segment_func(HttpRequest *req);
void *hls_thread(void *arg);

// The playlist text for a channel in its current state (and marks the request).
int hls_playlist_render(HlsChannel *ch, DynBuf *out);
// Whether a worker runs on the channel (tests).
bool hls_running(int channel);
