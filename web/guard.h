// Every rule a web request must pass before a handler acts on it: the site it came from, where
// it may be sent back to, how long it may take to arrive and how many connections one address
// holds.
#pragma once
#include <cstddef>
#include <cstdint>
#include <microhttpd.h>

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
