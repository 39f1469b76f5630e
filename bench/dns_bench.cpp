// DNS codec rates on typical mDNS packets, beside ldns on the same bytes; and the responder's
// heap under a flood of distinct answers (the cache is capped).
#include "services/dns.h"
#include "services/mdns_daemon.h"

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <cstdlib>
#include <malloc.h>
#include <string>
#include <vector>

#ifdef HAVE_LDNS
#include <ldns/ldns.h>
#endif

namespace {

dns_message *msg = (dns_message *)malloc(sizeof(dns_message));

const uint8_t TXT[] = {15, 'p', 'a', 't', 'h', '=', '/', 'i', 'n', 'd', 'e', 'x', '.', 'h', 't', 'm'};

// The announcement the device sends: PTR, SRV, A, TXT.
void build_announcement(dns_message *m)
{
    dns_message_reset(m);
    m->qr = 1;
    m->aa = 1;
    dns_message_an(m, "_http._tcp.local.", DNS_TYPE_PTR, DNS_CLASS_IN, 120);
    dns_message_rdata_name(m, "k7160-100123._http._tcp.local.");
    dns_message_an(m, "k7160-100123._http._tcp.local.", DNS_TYPE_SRV, DNS_CLASS_IN | DNS_CLASS_FLUSH, 600);
    dns_message_rdata_srv(m, 0, 0, 80, "k7160-100123.local.");
    dns_message_an(m, "k7160-100123.local.", DNS_TYPE_A, DNS_CLASS_IN | DNS_CLASS_FLUSH, 600);
    dns_message_rdata_ipv4(m, htonl(0x7F000001));
    dns_message_an(m, "k7160-100123._http._tcp.local.", DNS_TYPE_TXT, DNS_CLASS_IN | DNS_CLASS_FLUSH, 600);
    dns_message_rdata_raw(m, TXT, sizeof TXT);
    dns_message_header(m);
}

// A browser's question with two known answers.
void build_query(dns_message *m)
{
    dns_message_reset(m);
    dns_message_qd(m, "_http._tcp.local.", DNS_TYPE_PTR, DNS_CLASS_IN);
    dns_message_an(m, "_http._tcp.local.", DNS_TYPE_PTR, DNS_CLASS_IN, 4500);
    dns_message_rdata_name(m, "printer._http._tcp.local.");
    dns_message_an(m, "_http._tcp.local.", DNS_TYPE_PTR, DNS_CLASS_IN, 4500);
    dns_message_rdata_name(m, "nas._http._tcp.local.");
    dns_message_header(m);
}

std::vector<uint8_t> packet(void (*build)(dns_message *))
{
    build(msg);
    const uint8_t *p = dns_message_header(msg);
    return std::vector<uint8_t>(p, p + dns_message_length(msg));
}

void BM_ParseAnnouncement(benchmark::State &state)
{
    std::vector<uint8_t> pkt = packet(build_announcement);
    for (auto _ : state)
        benchmark::DoNotOptimize(dns_message_parse(msg, pkt.data(), pkt.size()));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ParseAnnouncement);

void BM_ParseQuery(benchmark::State &state)
{
    std::vector<uint8_t> pkt = packet(build_query);
    for (auto _ : state)
        benchmark::DoNotOptimize(dns_message_parse(msg, pkt.data(), pkt.size()));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ParseQuery);

void BM_BuildAnnouncement(benchmark::State &state)
{
    for (auto _ : state) {
        build_announcement(msg);
        benchmark::DoNotOptimize(dns_message_length(msg));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BuildAnnouncement);

#ifdef HAVE_LDNS
void ldns_parse(benchmark::State &state, const std::vector<uint8_t> &pkt)
{
    for (auto _ : state) {
        ldns_pkt *p = nullptr;
        if (ldns_wire2pkt(&p, pkt.data(), pkt.size()) != LDNS_STATUS_OK) {
            state.SkipWithError("ldns refused the packet");
            break;
        }
        ldns_pkt_free(p);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_LdnsParseAnnouncement(benchmark::State &state)
{
    ldns_parse(state, packet(build_announcement));
}
BENCHMARK(BM_LdnsParseAnnouncement);

void BM_LdnsParseQuery(benchmark::State &state)
{
    ldns_parse(state, packet(build_query));
}
BENCHMARK(BM_LdnsParseQuery);

// ldns builds from its own records (made once, as our builder takes ready texts) and writes the
// wire form with its name compression.
void BM_LdnsBuildAnnouncement(benchmark::State &state)
{
    std::vector<uint8_t> pkt = packet(build_announcement);
    ldns_pkt *model = nullptr;
    if (ldns_wire2pkt(&model, pkt.data(), pkt.size()) != LDNS_STATUS_OK) {
        state.SkipWithError("ldns refused the packet");
        return;
    }
    ldns_rr_list *answers = ldns_pkt_answer(model);
    for (auto _ : state) {
        ldns_pkt *p = ldns_pkt_new();
        ldns_pkt_set_qr(p, true);
        ldns_pkt_set_aa(p, true);
        for (size_t i = 0; i < ldns_rr_list_rr_count(answers); i++)
            ldns_pkt_push_rr(p, LDNS_SECTION_ANSWER, ldns_rr_clone(ldns_rr_list_rr(answers, i)));
        uint8_t *wire = nullptr;
        size_t size = 0;
        ldns_pkt2wire(&wire, p, &size);
        benchmark::DoNotOptimize(size);
        free(wire);
        ldns_pkt_free(p);
    }
    ldns_pkt_free(model);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LdnsBuildAnnouncement);
#endif

int64_t fake_now = 1000000000;
void fake_clock(struct timeval *tv)
{
    tv->tv_sec = (time_t)(fake_now / 1000000);
    tv->tv_usec = (suseconds_t)(fake_now % 1000000);
}

// Heap held by the responder after `range` distinct answers with a long ttl arrived.
void BM_ResponderFloodHeap(benchmark::State &state)
{
    mdns_log_level(MDNS_LOG_NONE);
    dns_message *in = (dns_message *)malloc(sizeof(dns_message));
    std::vector<std::vector<uint8_t>> pkts;
    for (int i = 0; i < state.range(0); i++) {
        dns_message_reset(msg);
        msg->qr = 1;
        std::string name = "flood" + std::to_string(i) + ".local.";
        dns_message_an(msg, name.c_str(), DNS_TYPE_TXT, DNS_CLASS_IN, 4500);
        dns_message_rdata_raw(msg, TXT, sizeof TXT);
        const uint8_t *p = dns_message_header(msg);
        pkts.emplace_back(p, p + dns_message_length(msg));
    }
    double heap = 0;
    for (auto _ : state) {
        size_t before = mallinfo2().uordblks;
        mdns_daemon *d = mdnsd_create(DNS_CLASS_IN, 1000);
        mdnsd_set_clock(d, fake_clock);
        for (auto &p : pkts)
            if (dns_message_parse(in, p.data(), p.size()) == 0)
                mdnsd_in(d, in, htonl(0x7F000002), 5353);
        heap = (double)(mallinfo2().uordblks - before);
        mdnsd_destroy(d);
    }
    state.counters["heap_bytes"] = heap;
    state.SetItemsProcessed(state.iterations() * state.range(0));
    free(in);
}
BENCHMARK(BM_ResponderFloodHeap)->Arg(100)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond);

} // namespace
