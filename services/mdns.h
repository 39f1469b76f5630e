// The mDNS announcer: "<host>.local." and the web interface as "<host>._http._tcp.local.".
// The network configuration starts it after the interface is set up and stops it before
// reconfiguring the interface and at shutdown.
#pragma once
#include <cstddef>
#include <cstdint>

struct ParamBlock;

// Stops a running announcer, then starts it again unless NetworkDisableMDNS is set or the host
// name is empty. 0, or -1 when the thread could not be started.
int mdns_restart(ParamBlock *params);
// Ends the thread within one wait (its goodbyes go out first); nothing when none runs.
void stop_mdns();
bool mdns_running();

void *mdns_thread(void *params);
int mdns_open_socket();   // descriptor, or -1
// Conflict callback of every unique record; `arg` is the caller's slot for the record, cleared
// because the responder withdraws the record.
void mdns_conflict(const char *name, int type, void *arg);

// A small string table of owned keys and values.
struct strtab;
strtab *strtab_create(int buckets);
void strtab_set(strtab *t, const char *key, const char *value);
const char *strtab_get(const strtab *t, const char *key);
void strtab_walk(const strtab *t, void (*fn)(const char *key, const char *value, void *arg), void *arg);
void strtab_free(strtab *t);

// TXT rdata from a table ("key=value" strings, the key alone for an empty value; an empty
// table gives one zero byte). Returns the length, or -1 when `size` is too small.
int txt_from_table(const strtab *t, uint8_t *out, size_t size);
// The reverse; null for malformed data.
strtab *txt_to_table(const uint8_t *txt, size_t length);

// Closes descriptors 3 to 255, in a child before it starts another program.
void close_inherited_fds();
