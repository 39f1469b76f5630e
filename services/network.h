// Network configuration of "eth0" from the settings: link, address or DHCP, routes, name
// servers, the mDNS announcer, the UDP log and the time client. Also the UDP log itself and the
// IP learning started by the button.
#pragma once
#include <cstddef>
#include <cstdint>
#include <pthread.h>
#include <sys/types.h>

struct ParamBlock;

// Held while interfaces are reconfigured (and by the web server's restart).
extern pthread_mutex_t net_config_mutex;

int init_network(ParamBlock *params);
// init_network on a thread of its own, after a change. Asked for while a run is in progress, it
// follows that run once, however often it was asked meanwhile. 0, or -1 when no thread started.
int network_reinit_request(ParamBlock *params);
void restart_ntpd(ParamBlock *params);   // null: only stop it
void stop_network_services();
int format_mac(char *buf, size_t size, const uint8_t *bytes);
int format_ipv4(char *buf, size_t size, const uint8_t *bytes);
void request_httpd_restart();
// A configuration tool as a child: path, arguments, a null end. Returns its pid or -1.
pid_t spawn_child(const char *path, ...);
int wait_child(pid_t pid);

// The mDNS announcer, started and stopped by the configuration (installed by its module).
struct NetworkAnnouncer {
    void (*stop)();
    bool (*running)();
    void (*start)(ParamBlock *params);
};
void network_set_announcer(const NetworkAnnouncer *ops);

// UDP log: every log line also as one datagram to "LogUDPAddr", port 7160.
void init_log_udp(ParamBlock *params);
int log_udp(const char *text, int length);

// IP learning: after a button press, the first frame sent to the special MAC gives the address.
extern volatile int ip_config_enabled;
void start_ip_config(ParamBlock *params);
// A learnt address must come from a whole IPv4 header with a usable destination. Returns the
// destination (network order) or 0.
uint32_t ip_learn_frame(const uint8_t *frame, size_t len, const uint8_t special_mac[6]);
