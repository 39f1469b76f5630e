// Which connection a newcomer takes the place of when a server is full: one rule for the web
// server, RTSP and RTMP. Each server keeps an EvictEntry beside every connection (or session)
// and asks evict_choose when a newcomer finds no room.
#pragma once
#include <cstddef>
#include <cstdint>

// A connection idle this long gives way to a newcomer from any address, the longest idle first.
// Longer than the pause between a browser's pages and an HLS reader's fetches, shorter than the
// servers' own idle limits (30 s), so that a crowd of idle connections always holds some this old.
enum { EVICT_IDLE_MS = 10000 };
// A player's stream is judged over windows of this length: one that took under a tenth of what
// it was sent in the last whole window counts as idle from that window's start.
enum { EVICT_FLOW_WINDOW_MS = 10000 };
// A request head (HTTP request line and headers, RTSP request, RTMP handshake) arrives in
// milliseconds from a working client; one still arriving after this long is a slow request, held
// open to keep a place, and counts as idle from its first byte, however long the idle rule asks.
enum { EVICT_SLOW_HEAD_MS = 2000 };
// Addresses remembered as put out by idle age, see EvictState.
enum { EVICT_RECENT = 512 };

// What a player was sent and what it took, as running totals the server keeps.
// Times are in microseconds of the monotonic clock: RTSP orders its sessions by them.
struct EvictFlow {
    int64_t start_us;           // the current window's start; 0 before the first note
    uint64_t offered_at_start;  // the totals at its start
    uint64_t taken_at_start;
    int64_t slow_since_us;      // start of the first of the slow windows in a row; 0: keeping up
};
// Called as the totals grow (at least now and then while playing).
void evict_flow_note(EvictFlow *f, uint64_t offered, uint64_t taken, int64_t now_us);
// A new play starts with no history.
void evict_flow_reset(EvictFlow *f);
// What the client of TCP socket `fd` took of the `written` bytes the server wrote into it: what
// the socket still holds unsent or unacknowledged is not taken. A send buffer of hundreds of
// KiB would otherwise hide a player reading a trickle for most of a minute.
uint64_t evict_socket_taken(int fd, uint64_t written);

// One connection or session as the rule sees it; the server fills it under its own lock.
struct EvictEntry {
    uint32_t addr;              // the client's IPv4 address, network order
    int fd;                     // its socket, for bytes not read yet; -1: none of its own
    int64_t active_us;          // opened, its last request arrived or was answered, or it stopped playing
    bool busy;                  // a request being read or answered, an upload: never goes
    bool playing;               // never goes while its flow keeps up
    bool gone;                  // put out already, still closing: neither counted nor chosen
    const EvictFlow *flow;      // a player's stream; null: not measured
    int64_t arriving_since_us;  // first byte of a request head not yet whole; 0: none arriving
};

// An address whose only connection was put out by idle age does not at once take another's by
// idle age: a crowd that dials again when closed would otherwise put out all its own idle
// connections in turn, and the next newcomer would find none idle.
struct EvictState {
    int idle_ms;                // 0: EVICT_IDLE_MS
    uint32_t recent_addr[EVICT_RECENT];
    int64_t recent_us[EVICT_RECENT];
    unsigned recent_next;
};
void evict_init(EvictState *s, int idle_ms);

// Whether a server with `open` of its `places` taken keeps a connection past its request deadline
// or idle limit instead of closing it: while three quarters are taken it stays until a newcomer
// takes its place, the oldest first. Closing them all at once would let a crowd that dials again
// take every place back with connections too young to give way.
bool evict_keep_late(unsigned open, unsigned places);

// How long (µs) the entry has been idle at now_us; negative while it may not go at all (busy,
// a player keeping up, or a head arriving for less than EVICT_SLOW_HEAD_MS). A slow head is idle
// from its first byte.
int64_t evict_idle_age(const EvictEntry *e, int64_t now_us);

// The entry a newcomer from `addr` takes the place of, or -1: among those not busy, not gone,
// with no bytes unread and not players keeping up, the longest idle of those idle at least
// idle_ms or with a slow head (from any address holding more entries than the newcomer's), else
// the longest idle of those whose address holds at least two more entries than the newcomer's
// (never its own). The caller puts the chosen one out and marks it gone.
int evict_choose(EvictState *s, EvictEntry *const *entries, size_t n, uint32_t addr, int64_t now_us);
// At its address's own limit, a newcomer from `addr` may take the place of that address's longest
// idle entry (the same exceptions): a client's keep-alive connections left open must not lock out
// its next request. -1: none.
int evict_choose_own(EvictEntry *const *entries, size_t n, uint32_t addr, int64_t now_us);
