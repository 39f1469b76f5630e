// Every rule a web request must pass before a handler acts on it: the name it was sent to, the
// site it came from, where it may be sent back to, what a POST may change, how long a request
// may take to arrive, how many connections one address holds, and how often a client may make
// the device write to flash or start a process.
#pragma once
#include <cstddef>
#include <cstdint>
#include <microhttpd.h>

// --- the name the request was sent to -----------------------------------------------------------

// Whether a Host header names this device in a way no other site can: an IPv4 or IPv6 address
// (with or without a port), "localhost", the device's host name or that name with ".local".
// A page served from some other name that resolves here (DNS rebinding) names its own.
bool guard_host_is_device(const char *host, const char *hostname);
// The same for a request, with the device's current host name. A request without a Host header
// (HTTP/1.0; browsers always send one) names no other site either.
bool guard_host_trusted(MHD_Connection *c);

// --- the site it came from and where it goes back to ----------------------------------------------

// A redirect target that stays on this device: a path, never a scheme or another host.
bool guard_local_target(const char *target);
// Where to send a client back to: `wanted` when it stays on this device, else the page the
// client came from (its Referer) as a path when that page is on this device, else `fallback`.
// False when none of them applies (fallback null).
bool guard_return_target(MHD_Connection *c, const char *wanted, const char *fallback, char *out, size_t size);
// The header ("Origin" or "Referer") that names a host other than the one the request was sent
// to, or null. A request with neither header names none.
const char *guard_cross_site(MHD_Connection *c);

// --- what a POST may change -----------------------------------------------------------------------

// Whether some setting whose name begins with `prefix` (any setting for null or "") may be
// written at `level`; true when the settings can't be listed.
bool guard_level_writes_any(const char *prefix, int level);
// True when the request declares an empty body.
bool guard_empty_body(MHD_Connection *c);

// --- connections: deadlines and per-address limits ------------------------------------------------

// Limits against clients that hold connections: idle time, time for a request to arrive whole
// after its first byte, connections per client address and in all. An upload body may take
// longer, as long as it keeps the upload rate: it gets the request time plus a second for every
// GUARD_UPLOAD_RATE bytes it has delivered.
enum { GUARD_IDLE_SECONDS = 30, GUARD_REQUEST_SECONDS = 10, GUARD_PER_ADDRESS = 32, GUARD_CONNECTIONS = 256 };
enum { GUARD_UPLOAD_RATE = 8192 };
struct GuardLimits {
    unsigned idle_seconds, request_seconds, per_address, connections;
};
void guard_set_limits(const GuardLimits *limits);   // for the next server start; null: the defaults
const GuardLimits *guard_limits();
// The server's connection notification: tracks each connection from its start to its close.
void guard_notify_connection(void *cls, MHD_Connection *connection, void **socket_context,
                             MHD_ConnectionNotificationCode code);
// Called on every call of the access handler: the request's phase for the deadlines.
void guard_track_request(MHD_Connection *connection, const char *url, const char *method, size_t upload_size);
// The answer went out: the connection waits for its next request.
void guard_request_done(MHD_Connection *connection);
// Closes connections whose request is overdue; the server's thread calls it about once a second.
// Returns how many it closed.
int guard_sweep();
int guard_connection_count();

// --- how often ------------------------------------------------------------------------------------

// Records of the flash access log that clients without credentials cause: at most
// GUARD_ANON_RECORDS in any GUARD_ANON_PERIOD_MS. A 100,000-cycle part would wear out in days
// under a flood.
enum { GUARD_ANON_RECORDS = 3, GUARD_ANON_PERIOD_MS = 60000 };
// Adds an access-log record as access_log_add does. A record without a user (null or empty)
// passes the limit above; one that doesn't is dropped and counted, and the count goes to flash in
// one record (user "<n> dropped") beside the next one that passes. Returns what access_log_add
// returned, 0 for a dropped record.
int guard_access_log_add(uint32_t category, const char *user, uint32_t event);
// The same at a given monotonic time, for tests.
int guard_access_log_add_at(int64_t now_ms, uint32_t category, const char *user, uint32_t event);
void guard_reset();   // forgets the limit's history and the dropped count
