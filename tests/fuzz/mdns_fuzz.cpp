// Whatever arrives on 5353 is untrusted: the parser must stay inside the datagram, the responder
// must survive any parsed message, and our own packets echoed back never conflict with us.
#include "services/dns.h"
#include "services/mdns_daemon.h"

#include <arpa/inet.h>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

int64_t now_us = 1000000000;
int conflicts;

void clock_fn(struct timeval *tv)
{
    tv->tv_sec = (time_t)(now_us / 1000000);
    tv->tv_usec = (suseconds_t)(now_us % 1000000);
}

void on_conflict(const char *, int, void *arg)
{
    conflicts++;
    *(mdns_record **)arg = nullptr;
}

dns_message *msg_in = (dns_message *)malloc(sizeof(dns_message));
dns_message *msg_out = (dns_message *)malloc(sizeof(dns_message));
dns_message *msg_echo = (dns_message *)malloc(sizeof(dns_message));

// Sends what is due and feeds each message straight back, as the multicast loop does.
void send_and_echo(mdns_daemon *d)
{
    uint32_t ip;
    uint16_t port;
    for (int i = 0; i < 16 && mdnsd_out(d, msg_out, &ip, &port); i++) {
        const uint8_t *p = dns_message_header(msg_out);
        size_t len = (size_t)dns_message_length(msg_out);
        if (dns_message_parse(msg_echo, p, len) != 0)
            abort();   // we must be able to read what we write
        mdnsd_in(d, msg_echo, htonl(0x7F000001), 5353);
    }
    mdnsd_end_pass(d);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    mdns_log_level(MDNS_LOG_NONE);
    mdns_daemon *d = mdnsd_create(DNS_CLASS_IN, 1000);
    mdnsd_set_clock(d, clock_fn);
    static mdns_record *rec[4];
    rec[0] = mdnsd_publish_shared(d, "_http._tcp.local.", DNS_TYPE_PTR, 120);
    mdnsd_set_rdata_host(d, rec[0], "cam1._http._tcp.local.");
    rec[1] = mdnsd_publish_unique(d, "cam1._http._tcp.local.", DNS_TYPE_SRV, 600, on_conflict, &rec[1]);
    mdnsd_set_rdata_srv(d, rec[1], 0, 0, 80, "cam1.local.");
    rec[2] = mdnsd_publish_unique(d, "cam1.local.", DNS_TYPE_A, 600, on_conflict, &rec[2]);
    mdnsd_set_rdata_ipv4(d, rec[2], htonl(0x7F000001));
    rec[3] = mdnsd_publish_unique(d, "cam1._http._tcp.local.", DNS_TYPE_TXT, 600, on_conflict, &rec[3]);
    const uint8_t txt[] = {4, 'p', 'a', 't', 'h'};
    mdnsd_set_rdata_raw(d, rec[3], txt, sizeof txt);
    conflicts = 0;

    // Datagrams separated by a length prefix; each followed by a clock step and a send round.
    size_t off = 0;
    int rounds = 0;
    while (off + 3 <= size && rounds++ < 32) {
        size_t len = (size_t)data[off] << 8 | data[off + 1];
        uint8_t step = data[off + 2];
        off += 3;
        len = len > size - off ? size - off : len;
        std::vector<uint8_t> pkt(data + off, data + off + len);   // exact size: overreads show
        off += len;
        int echoed = conflicts;
        send_and_echo(d);
        if (conflicts != echoed)
            abort();   // a conflict with ourselves
        if (dns_message_parse(msg_in, pkt.data(), pkt.size()) == 0)
            mdnsd_in(d, msg_in, htonl(0x7F000002), (step & 1) ? 5353 : 40000);
        now_us += (int64_t)step * 20000;
        mdnsd_sleep(d);
    }
    send_and_echo(d);
    mdnsd_begin_shutdown(d);
    send_and_echo(d);
    mdnsd_destroy(d);
    return 0;
}
