// DNS messages on the wire (the mDNS use of the class field included): one fixed record parses
// a received datagram or builds an outgoing one. No heap; the record is reset before each use.
#pragma once
#include <cstddef>
#include <cstdint>

enum : uint16_t {
    DNS_TYPE_A = 1, DNS_TYPE_NS = 2, DNS_TYPE_CNAME = 5, DNS_TYPE_PTR = 12, DNS_TYPE_TXT = 16,
    DNS_TYPE_SRV = 33, DNS_TYPE_ANY = 255,
    DNS_CLASS_IN = 1, DNS_CLASS_FLUSH = 0x8000,   // cache-flush bit of answers, unicast bit of questions
};
enum {
    DNS_STORAGE_SIZE = 65536,
    DNS_NAMES_MAX = 512,
    DNS_NAME_TEXT_MAX = 256,   // a decoded name is shorter than this, its final dot included
    DNS_BUILD_MAX = 4096,      // an outgoing packet never grows past this
};

struct dns_question {
    char *name;
    uint16_t type;
    uint16_t clazz;
};

struct dns_rr {
    char *name;
    uint16_t type;
    uint16_t clazz;
    uint32_t ttl;
    uint16_t rdlength;   // 0 for the types kept only decoded (PTR, NS, CNAME, SRV)
    uint8_t *rdata;
    uint32_t ip;         // A: network order
    char ipstr[16];
    char *rdname;        // PTR, NS, CNAME, SRV target
    uint16_t priority, weight, port;
};

struct dns_message {
    uint16_t id;
    uint8_t qr, opcode, aa, tc, rd, ra, z, rcode;
    uint16_t qdcount, ancount, nscount, arcount;
    dns_question *qd;
    dns_rr *an, *ns, *ar;

    uint32_t used;       // parse: storage bytes taken; build: packet length
    uint32_t names;      // entries in name_at
    uint16_t name_at[DNS_NAMES_MAX];   // parse: stored names; build: label positions in the packet
    uint8_t failed;      // build: something was refused
    uint8_t rr_open;     // build: a record head waits for its rdata
    uint8_t rr_section;  // build: 1 answer, 2 authority, 3 additional
    uint16_t rr_start;   // build: where that head begins, to take it back
    alignas(8) uint8_t storage[DNS_STORAGE_SIZE];
};

void dns_message_reset(dns_message *m);

// 0 on success, 1 when the packet is malformed or too large for the storage area.
int dns_message_parse(dns_message *m, const uint8_t *packet, size_t length);

// Building. Names are dot-terminated texts ("host.local."; the final dot may be left out).
// A name or rdata that cannot be written (bad label, no room) leaves the record out entirely
// and sets `failed`.
void dns_message_qd(dns_message *m, const char *name, uint16_t type, uint16_t clazz);
void dns_message_an(dns_message *m, const char *name, uint16_t type, uint16_t clazz, uint32_t ttl);
void dns_message_ns(dns_message *m, const char *name, uint16_t type, uint16_t clazz, uint32_t ttl);
void dns_message_ar(dns_message *m, const char *name, uint16_t type, uint16_t clazz, uint32_t ttl);
void dns_message_rdata_raw(dns_message *m, const uint8_t *bytes, uint16_t length);
void dns_message_rdata_name(dns_message *m, const char *name);
void dns_message_rdata_srv(dns_message *m, uint16_t priority, uint16_t weight, uint16_t port, const char *name);
void dns_message_rdata_ipv4(dns_message *m, uint32_t address);   // network order
uint8_t *dns_message_header(dns_message *m);
int dns_message_length(const dns_message *m);
