// A small multicast DNS responder. It owns no socket and no thread: its user feeds it parsed
// messages, asks it for the next message to send and for how long it may sleep. Unique records
// are probed before they are announced; answers heard on the network are cached (capped).
#pragma once
#include "services/dns.h"

#include <cstdint>
#include <sys/time.h>

struct mdns_daemon;
struct mdns_record;
struct mdns_query;

// One answer heard on the network, as cached.
struct mdns_cached {
    char *name;
    uint16_t type;
    uint32_t ttl;          // seconds left, filled in when handed out
    int64_t expire;        // microseconds on the responder's clock
    uint8_t *rdata;
    uint16_t rdlen;
    uint32_t ip;           // network order
    char *rdname;
    uint16_t priority, weight, port;
    mdns_query *query;
    mdns_cached *next;
};

typedef void (*mdns_conflict_fn)(const char *name, int type, void *arg);
// Called for each cached answer of a continuous query (ttl 0 when it expired); -1 ends the query.
typedef int (*mdns_answer_fn)(const mdns_cached *answer, void *arg);
typedef void (*mdns_hook_fn)(const dns_rr *answer, void *arg);
// The responder's clock; the default reads CLOCK_MONOTONIC, so a stepped wall clock moves nothing.
typedef void (*mdns_clock_fn)(struct timeval *now);

enum {
    MDNS_PORT = 5353,
    MDNS_CACHE_MAX = 512,             // cached answers at most
    MDNS_CACHE_BYTES_MAX = 256 << 10, // and their names and data at most
    MDNS_UNICAST_MAX = 32,            // pending legacy unicast replies
};

mdns_daemon *mdnsd_create(int clazz, int frame);
void mdnsd_set_clock(mdns_daemon *d, mdns_clock_fn clock);
void mdnsd_destroy(mdns_daemon *d);
void mdnsd_begin_shutdown(mdns_daemon *d);

mdns_record *mdnsd_publish_shared(mdns_daemon *d, const char *name, uint16_t type, uint32_t ttl);
mdns_record *mdnsd_publish_unique(mdns_daemon *d, const char *name, uint16_t type, uint32_t ttl,
                                  mdns_conflict_fn conflict, void *arg);
void mdnsd_withdraw(mdns_daemon *d, mdns_record *r);
void mdnsd_set_rdata_raw(mdns_daemon *d, mdns_record *r, const uint8_t *bytes, uint16_t length);
void mdnsd_set_rdata_host(mdns_daemon *d, mdns_record *r, const char *name);
void mdnsd_set_rdata_srv(mdns_daemon *d, mdns_record *r, uint16_t priority, uint16_t weight, uint16_t port,
                         const char *name);
void mdnsd_set_rdata_ipv4(mdns_daemon *d, mdns_record *r, uint32_t address);   // network order
void mdnsd_update_ip(mdns_daemon *d, uint32_t address);

// The source port in host order; the out destination in network order.
int mdnsd_in(mdns_daemon *d, const dns_message *m, uint32_t ip, uint16_t port);
int mdnsd_out(mdns_daemon *d, dns_message *m, uint32_t *ip, uint16_t *port);
struct timeval mdnsd_sleep(mdns_daemon *d);
void mdnsd_end_pass(mdns_daemon *d);

// Continuous query: starts (or, without callback, ends) asking for name and type.
void mdnsd_watch(mdns_daemon *d, const char *name, uint16_t type, mdns_answer_fn answer, void *arg);
void mdnsd_set_answer_hook(mdns_daemon *d, mdns_hook_fn hook, void *arg);
// The cached answers of name and type, one after the other (start with last = null).
const mdns_cached *mdnsd_cached(mdns_daemon *d, const char *name, uint16_t type, const mdns_cached *last);
// Reads what the socket holds (when `in`), sends what is due (when `out`) and gives the wait.
// 0, or 1 on a read error, 2 on a send error.
int mdnsd_step(mdns_daemon *d, int sock, bool in, bool out, struct timeval *wait);

// What a record holds, for the user that published it.
int mdns_record_unique_state(const mdns_record *r);   // 0 shared, 1..4 probing, 5 probed
uint32_t mdns_record_ttl(const mdns_record *r);

// Responder log: levels as syslog's; level 4 and below to the error stream, others to output.
enum { MDNS_LOG_NONE = 16 };
void mdns_log(int level, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void mdns_log_level(int level);
int mdns_log_level_get();
int mdns_log_level_by_name(const char *name);   // unknown names are read as numbers
void mdns_log_open(const char *ident);          // switch to the system log
void mdns_log_time();                           // "@HH:MM:SS"
