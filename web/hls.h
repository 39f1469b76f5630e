// HTTP Live Streaming: a playlist and ten rotating transport-stream segments per channel, cut
// by a worker that runs while players keep fetching playlists.
#pragma once
#include "streams/stream_state.h"
#include "web/httpd.h"

#include <cstdint>
#include <pthread.h>

// The playlist names the newest HLS_LISTED segments (over three target durations); the slots
// keep the ones it no longer names a while longer for players still fetching them. The ten
// slots are the rows streamA0.ts to streamA9.ts.
enum { HLS_CHANNELS = 2, HLS_SLOTS = 10, HLS_LISTED = 5, HLS_SEGMENT_UNITS = 30, HLS_GROW = 0x10000 };
// The worker stops when this many segments complete without a playlist request.
enum { HLS_UNWATCHED = 5 };
// A segment request waits at most this long; a worker that sees no unit this long stops.
enum { HLS_SEGMENT_WAIT_MS = 20000, HLS_STALL_MS = 10000 };

struct HlsSlot {
    uint8_t *data;
    uint32_t length;            // 0 = not ready
    uint32_t capacity;
    uint32_t seq;               // media sequence number of the segment held
    uint32_t duration;          // 90 kHz ticks
    uint32_t discontinuity;     // discontinuity sequence number of the segment held
};

struct HlsChannel {
    pthread_mutex_t mutex;
    bool running;               // a worker runs (it clears this itself when it ends)
    StreamState state;
    HlsSlot slots[HLS_SLOTS];
    // Segments completed on this channel, the media sequence number of the next one: it goes on
    // counting over worker restarts, so a player holding old numbers never sees them reused.
    uint32_t completed;
    uint32_t last_playlist;     // `completed` at the last playlist request
    uint32_t target;            // seconds, set before a run's first segment: none lasts longer
    uint32_t discontinuity;     // worker restarts that followed earlier segments
    int index;                  // 0 A, 1 B
};

extern HlsChannel hls_channels[HLS_CHANNELS];

// The playlist and segment rows.
int hls_get_func(HttpRequest *req);
int hls_playlist_func(HttpRequest *req);
int hls_segment_func(HttpRequest *req);
void *hls_thread(void *arg);

// The playlist text for a channel in its current state (and marks the request): 0 written,
// 1 no segment to list yet, -1 out of memory.
int hls_playlist_render(HlsChannel *ch, DynBuf *out);
// Whether a worker runs on the channel (tests).
bool hls_running(int channel);
