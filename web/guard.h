// Every rule a web request must pass before a handler acts on it: the name it was sent to, the
// site it came from, where it may be sent back to, what a GET may read, what a POST may change,
// who may upload and how much, how long a request may take to arrive, how many connections one
// address holds, and how often a client may make the device write to flash or start a process.
// The server's file applies them in their order.
#pragma once
#include "core/log.h"

#include <cstddef>
#include <cstdint>
#include <microhttpd.h>
#include <sys/socket.h>

struct HttpRequest;
struct PostContext;
struct UrlEntry;

// --- the name the request was sent to -----------------------------------------------------------

// Whether a Host header names this device in a way no other site can: an IPv4 or IPv6 address
// (with or without a port), "localhost", the device's host name or that name with ".local".
// A page served from some other name that resolves here (DNS rebinding) names its own.
bool guard_host_is_device(const char *host, const char *hostname);
// The same for a request, with the device's current host name. A request without a Host header
// (HTTP/1.0; browsers always send one) names no other site either.
bool guard_host_trusted(MHD_Connection *c);
// A guest's request sent under a name that is not the device's gets no guest rights: a page of
// another site whose name was made to resolve here would act as the guest. The challenge lets a
// person who reached the device by such a name still log in.
MHD_Result guard_answer_foreign_host(MHD_Connection *connection, const char *method, const char *url);

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
// A page of ours posts with our own host in its Origin and Referer; a form or a script on
// another site names its own, and browsers send an Origin with every cross-site POST: 403.
MHD_Result guard_answer_cross_site(MHD_Connection *connection, const char *url, const char *header);

// --- what a GET may read -------------------------------------------------------------------------

// The logs name users and addresses and show the program's inner workings: they need the level of
// the page that links to them, Admin. Below it the challenge answers: true, the library's result
// in *answer.
bool guard_logs_refused(HttpRequest *req, MHD_Result *answer);
// Pictures and recordings (live streams, snapshots, HLS, recording lists and downloads) need a
// level above None; a guest at None gets the challenge, so a person can log in.
bool guard_view_refused(HttpRequest *req, MHD_Result *answer);

// --- what a POST may change -----------------------------------------------------------------------

// While a firmware update arrives or flashes, no POST is taken: the client is sent to the
// update's status page. True when so answered, with the library's result in *answer.
bool guard_update_refused(MHD_Connection *connection, const char *url, MHD_Result *answer);
// Until a named Admin exists the device is open: the guest is Admin and creates the first user
// through the users' row. True for a guest's post there once it is no longer open; the guest
// gets the challenge before anything is read.
bool guard_open_device_only(const UrlEntry *entry, const char *user);
// Whether the caller could change anything through the row (`settings`: a settings form, whose
// keys each need their own level). One who can't gets the challenge before the body is read: a
// client that sends credentials only when challenged (curl --digest first posts without a body)
// then logs in, and no body is read for nothing.
bool guard_post_may_change(const UrlEntry *entry, const PostContext *ctx, bool settings);
// Whether some setting whose name begins with `prefix` (any setting for null or "") may be
// written at `level`; true when the settings can't be listed.
bool guard_level_writes_any(const char *prefix, int level);
// True when the request declares an empty body.
bool guard_empty_body(MHD_Connection *c);

// --- uploads -------------------------------------------------------------------------------------

// Firmware and custom web content replace what the device runs and serves: only an Admin uploads
// them (Demo neither).
bool guard_may_upload(const PostContext *ctx);
// The length a Content-Length value declares when it is more than `max_body`, else 0. No value,
// or one that is no number, declares nothing.
uint64_t guard_length_over(const char *length, uint64_t max_body);
// On an upload's first call: a body that will be refused is answered before it is read. Below
// Admin the usual answer, a guest the challenge (so it can log in and post again); declared longer
// than `max_body`, 413 with `too_large`. True when refused; `ctx` holds the answer.
bool guard_upload_refused(PostContext *ctx, uint64_t max_body, const char *too_large);

// --- connections: deadlines and per-address limits ------------------------------------------------

// Limits against clients that hold connections: idle time (each connection's between half of it
// and all of it), time for a request to arrive whole
// after its first byte, connections per client address and in all. An upload body may take
// longer, as long as it keeps the upload rate: it gets the request time plus a second for every
// GUARD_UPLOAD_RATE bytes it has delivered. While three quarters of the places are taken, a
// request head past its time stays until a newcomer takes its place.
enum { GUARD_IDLE_SECONDS = 30, GUARD_REQUEST_SECONDS = 10, GUARD_PER_ADDRESS = 32, GUARD_CONNECTIONS = 256 };
enum { GUARD_UPLOAD_RATE = 8192 };
struct GuardLimits {
    unsigned idle_seconds, request_seconds, per_address, connections;
    unsigned evict_idle_ms;   // a newcomer takes an idle connection's place from any address; 0: EVICT_IDLE_MS
};
void guard_set_limits(const GuardLimits *limits);   // for the next server start; null: the defaults
const GuardLimits *guard_limits();
// The server's connection notification: tracks each connection from its start to its close.
void guard_notify_connection(void *cls, MHD_Connection *connection, void **socket_context,
                             MHD_ConnectionNotificationCode code);
// The server's accept policy. With the total reached, a newcomer takes the place of a connection
// by the one eviction rule (core/evict.h): its idle time runs from its opening or its last
// answer (a header trickling in does not reset it); one whose body is being read or whose answer
// is being sent, or with bytes unread, never goes. With none to take, the newcomer is refused.
// An address at its own limit takes the place of its own longest idle connection, or is
// refused: a browser's or HLS reader's keep-alive connections must not lock out its next
// request. The server itself admits GUARD_EVICTED_SLACK more, in all and per address, for the
// connections closed for newcomers until the library has let them go.
enum { GUARD_EVICTED_SLACK = 16 };
MHD_Result guard_accept(void *cls, const struct sockaddr *addr, socklen_t addrlen);
// Whether a request that reads a stream (a live row, MJPEG, HLS) may hold its connection: stream
// readers never take the last eighth of the total, which stays for pages. On true the connection
// counts as a stream reader until its answer is done.
bool guard_stream_admit(MHD_Connection *connection);
// Called on every call of the access handler: the request's phase for the deadlines.
void guard_track_request(MHD_Connection *connection, const char *url, const char *method, size_t upload_size);
// The answer went out: the connection waits for its next request.
void guard_request_done(MHD_Connection *connection);
// Closes connections whose request is overdue; the server's thread calls it about once a second.
// Returns how many it closed.
int guard_sweep();
int guard_connection_count();

// --- how often ------------------------------------------------------------------------------------

// Records of the flash access log, each a flash write. A record of something that happened (a user
// created, a login that starts a session, a logout that ends one, ...) is written. What is held
// back: a user's LOGIN or LOGOUT record that repeats the same user's same record written less than
// GUARD_REPEAT_PERIOD_MS ago (a client asking for the login pages over and over changes nothing),
// and records without a user beyond GUARD_ANON_RECORDS in any GUARD_ANON_PERIOD_MS for all such
// clients together. A 100,000-cycle part would wear out in days under a flood. What was held back
// is counted; the count goes to flash in one record per kind (the user, the event, and the count
// in the record's spare bytes, which the listing shows) once its period is over, whether or not
// another record follows. Counts are kept for GUARD_RECORD_SLOTS kinds, the one longest unused
// giving way (its count written first).
enum { GUARD_ANON_RECORDS = 3, GUARD_ANON_PERIOD_MS = 60000, GUARD_REPEAT_PERIOD_MS = 60000,
       GUARD_RECORD_SLOTS = 32 };
// Adds an access-log record as access_log_add does (a user, or none for a null or empty one).
// Returns what access_log_add returned, 0 for a record held back.
int guard_access_log_add(uint32_t category, const char *user, uint32_t event);
// The same at a given monotonic time, for tests.
int guard_access_log_add_at(int64_t now_ms, uint32_t category, const char *user, uint32_t event);
// Writes the counts whose period is over; the web server's thread calls it about once a second.
void guard_access_log_tick();
void guard_access_log_tick_at(int64_t now_ms);
// Writes every count held, period over or not: before the program ends.
void guard_access_log_flush();
// Clearing the log erases flash: only a log that holds records is erased, and at most
// GUARD_CLEARS times in any GUARD_CLEAR_PERIOD_MS whoever asks. 0 cleared (or nothing to clear),
// 1 refused for now (the minutes until the next clear may erase in *wait_min), -1 an erase failed.
enum { GUARD_CLEARS = 2, GUARD_CLEAR_PERIOD_MS = 3600000 };
int guard_access_log_clear(int *wait_min);
int guard_access_log_clear_at(int64_t now_ms, int *wait_min);
void guard_reset();   // forgets the budgets' history and the counts held
