// DNS message codec: byte-exact building with compression, and parsing that refuses whatever
// reaches outside the datagram or loops.
#include "services/dns.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

std::unique_ptr<dns_message> new_message()
{
    auto m = std::make_unique<dns_message>();
    dns_message_reset(m.get());
    return m;
}

std::vector<uint8_t> packet_of(dns_message *m)
{
    const uint8_t *p = dns_message_header(m);
    return std::vector<uint8_t>(p, p + dns_message_length(m));
}

uint32_t ip4(const char *text)
{
    in_addr a;
    inet_pton(AF_INET, text, &a);
    return a.s_addr;
}

// A header with the given counts.
std::vector<uint8_t> header(uint16_t qd, uint16_t an, uint16_t ns = 0, uint16_t ar = 0)
{
    return {0x12, 0x34, 0x84, 0x00, (uint8_t)(qd >> 8), (uint8_t)qd, (uint8_t)(an >> 8), (uint8_t)an,
            (uint8_t)(ns >> 8), (uint8_t)ns, (uint8_t)(ar >> 8), (uint8_t)ar};
}

void append(std::vector<uint8_t> &v, std::initializer_list<uint8_t> bytes)
{
    v.insert(v.end(), bytes);
}

} // namespace

TEST(DnsBuild, NameEndingInAnEarlierOneIsCompressedExactly)
{
    auto m = new_message();
    m->id = 0x1234;
    m->qr = 1;
    m->aa = 1;
    dns_message_an(m.get(), "cam1.local.", DNS_TYPE_A, DNS_CLASS_IN | DNS_CLASS_FLUSH, 600);
    dns_message_rdata_ipv4(m.get(), ip4("127.0.0.1"));
    dns_message_an(m.get(), "www.cam1.local.", DNS_TYPE_PTR, DNS_CLASS_IN, 120);
    dns_message_rdata_name(m.get(), "cam1.local.");
    std::vector<uint8_t> want = {0x12, 0x34, 0x84, 0x00, 0, 0, 0, 2, 0, 0, 0, 0,
                                 // cam1.local. A IN|flush 600 127.0.0.1
                                 4, 'c', 'a', 'm', '1', 5, 'l', 'o', 'c', 'a', 'l', 0, 0, 1, 0x80, 1, 0, 0, 2, 0x58,
                                 0, 4, 127, 0, 0, 1,
                                 // www + pointer to cam1.local. at 12
                                 3, 'w', 'w', 'w', 0xC0, 12, 0, 12, 0, 1, 0, 0, 0, 120,
                                 // rdata: the whole name is a pointer
                                 0, 2, 0xC0, 12};
    EXPECT_EQ(packet_of(m.get()), want);
}

TEST(DnsBuild, FinalDotIsOptionalAndSuffixesPointIntoEarlierNames)
{
    auto a = new_message();
    auto b = new_message();
    dns_message_qd(a.get(), "printer.local.", DNS_TYPE_A, DNS_CLASS_IN);
    dns_message_qd(b.get(), "printer.local", DNS_TYPE_A, DNS_CLASS_IN);
    EXPECT_EQ(packet_of(a.get()), packet_of(b.get()));

    // A second name sharing only "local." points at the label inside the first one.
    dns_message_qd(a.get(), "scanner.local.", DNS_TYPE_A, DNS_CLASS_IN);
    std::vector<uint8_t> p = packet_of(a.get());
    std::vector<uint8_t> tail = {7, 's', 'c', 'a', 'n', 'n', 'e', 'r', 0xC0, 12 + 8, 0, 1, 0, 1};
    ASSERT_GE(p.size(), tail.size());
    EXPECT_EQ(std::vector<uint8_t>(p.end() - tail.size(), p.end()), tail);
}

TEST(DnsBuild, OverlongAndEmptyLabelsAreRefusedAndLeaveNothingBehind)
{
    auto m = new_message();
    dns_message_an(m.get(), "ok.local.", DNS_TYPE_A, DNS_CLASS_IN, 1);
    dns_message_rdata_ipv4(m.get(), ip4("127.0.0.1"));
    std::vector<uint8_t> before = packet_of(m.get());
    std::string long_name = std::string(64, 'x') + ".local.";
    const char *bad[] = {"a..local.", ".local.", "..", long_name.c_str()};
    for (const char *name : bad) {
        dns_message_an(m.get(), name, DNS_TYPE_A, DNS_CLASS_IN, 1);
        dns_message_rdata_ipv4(m.get(), ip4("127.0.0.1"));
        dns_message_qd(m.get(), name, DNS_TYPE_A, DNS_CLASS_IN);
        EXPECT_EQ(packet_of(m.get()), before) << name;
    }
    // A bad target takes its record head back too.
    dns_message_an(m.get(), "p.local.", DNS_TYPE_PTR, DNS_CLASS_IN, 1);
    dns_message_rdata_name(m.get(), "x..local.");
    EXPECT_EQ(packet_of(m.get()), before);
    EXPECT_EQ(m->failed, 1);
    std::string label63(63, 'y');
    dns_message_qd(m.get(), (label63 + ".local.").c_str(), DNS_TYPE_A, DNS_CLASS_IN);
    EXPECT_EQ(m->qdcount, 1);
}

TEST(DnsBuild, PacketNeverGrowsPastItsLimit)
{
    auto m = new_message();
    std::vector<uint8_t> big(1000, 7);
    for (int i = 0; i < 10; i++) {
        dns_message_an(m.get(), "big.local.", DNS_TYPE_TXT, DNS_CLASS_IN, 1);
        dns_message_rdata_raw(m.get(), big.data(), (uint16_t)big.size());
    }
    EXPECT_LE(dns_message_length(m.get()), DNS_BUILD_MAX);
    EXPECT_EQ(m->ancount, 4);
    auto p = new_message();
    std::vector<uint8_t> pkt = packet_of(m.get());
    ASSERT_EQ(dns_message_parse(p.get(), pkt.data(), pkt.size()), 0);
    EXPECT_EQ(p->ancount, 4);
}

TEST(DnsParse, RoundTripGivesDecodedForms)
{
    auto m = new_message();
    m->id = 77;
    m->qr = 1;
    dns_message_qd(m.get(), "_http._tcp.local.", DNS_TYPE_PTR, DNS_CLASS_IN);
    dns_message_an(m.get(), "_http._tcp.local.", DNS_TYPE_PTR, DNS_CLASS_IN, 120);
    dns_message_rdata_name(m.get(), "cam1._http._tcp.local.");
    dns_message_ns(m.get(), "cam1._http._tcp.local.", DNS_TYPE_SRV, DNS_CLASS_IN | DNS_CLASS_FLUSH, 600);
    dns_message_rdata_srv(m.get(), 1, 2, 80, "cam1.local.");
    const uint8_t txt[] = {15, 'p', 'a', 't', 'h', '=', '/', 'i', 'n', 'd', 'e', 'x', '.', 'h', 't', 'm'};
    dns_message_ar(m.get(), "cam1._http._tcp.local.", DNS_TYPE_TXT, DNS_CLASS_IN, 600);
    dns_message_rdata_raw(m.get(), txt, sizeof txt);
    dns_message_ar(m.get(), "cam1.local", DNS_TYPE_A, DNS_CLASS_IN, 600);
    dns_message_rdata_ipv4(m.get(), ip4("127.0.0.1"));
    std::vector<uint8_t> pkt = packet_of(m.get());

    auto p = new_message();
    ASSERT_EQ(dns_message_parse(p.get(), pkt.data(), pkt.size()), 0);
    EXPECT_EQ(p->id, 77);
    EXPECT_EQ(p->qr, 1);
    ASSERT_EQ(p->qdcount, 1);
    EXPECT_STREQ(p->qd[0].name, "_http._tcp.local.");
    ASSERT_EQ(p->ancount, 1);
    EXPECT_STREQ(p->an[0].rdname, "cam1._http._tcp.local.");
    EXPECT_EQ(p->an[0].rdlength, 0);
    ASSERT_EQ(p->nscount, 1);
    EXPECT_EQ(p->ns[0].clazz, DNS_CLASS_IN | DNS_CLASS_FLUSH);
    EXPECT_EQ(p->ns[0].priority, 1);
    EXPECT_EQ(p->ns[0].weight, 2);
    EXPECT_EQ(p->ns[0].port, 80);
    EXPECT_STREQ(p->ns[0].rdname, "cam1.local.");
    ASSERT_EQ(p->arcount, 2);
    ASSERT_EQ(p->ar[0].rdlength, sizeof txt);
    EXPECT_EQ(memcmp(p->ar[0].rdata, txt, sizeof txt), 0);
    // A: both the number and the text.
    EXPECT_EQ(p->ar[1].ip, ip4("127.0.0.1"));
    EXPECT_STREQ(p->ar[1].ipstr, "127.0.0.1");
    EXPECT_EQ(p->ar[1].ttl, 600u);
    // Equal names share one stored copy.
    EXPECT_EQ(p->ns[0].name, p->ar[0].name);

    // Every cut of the packet is malformed, never read past.
    for (size_t len = 0; len < pkt.size(); len++) {
        std::vector<uint8_t> cut(pkt.begin(), pkt.begin() + len);
        EXPECT_EQ(dns_message_parse(p.get(), cut.data(), cut.size()), 1) << len;
    }
}

TEST(DnsParse, ARecordInWireFormGivesNumberAndText)
{
    std::vector<uint8_t> pkt = header(0, 1);
    append(pkt, {4, 'c', 'a', 'm', '1', 5, 'l', 'o', 'c', 'a', 'l', 0, 0, 1, 0x80, 1, 0, 0, 0, 120, 0, 4, 10, 1, 2,
                 254});
    auto p = new_message();
    ASSERT_EQ(dns_message_parse(p.get(), pkt.data(), pkt.size()), 0);
    EXPECT_EQ(p->an[0].ip, ip4("10.1.2.254"));
    EXPECT_STREQ(p->an[0].ipstr, "10.1.2.254");
    EXPECT_EQ(p->an[0].rdlength, 4);
}

TEST(DnsParse, PointersMustGoStrictlyBackwards)
{
    auto p = new_message();
    // Name pointing at itself.
    std::vector<uint8_t> self = header(1, 0);
    append(self, {0xC0, 12, 0, 1, 0, 1});
    EXPECT_EQ(dns_message_parse(p.get(), self.data(), self.size()), 1);
    // Forward pointer.
    std::vector<uint8_t> fwd = header(1, 0);
    append(fwd, {0xC0, 14, 1, 'a', 0, 0, 1, 0, 1});
    EXPECT_EQ(dns_message_parse(p.get(), fwd.data(), fwd.size()), 1);
    // Two names pointing at each other: the second question's name at 18 points to 12, whose
    // label run ends in a pointer to 18.
    std::vector<uint8_t> loop = header(2, 0);
    append(loop, {1, 'a', 0xC0, 18, 0, 1, 0xC0, 12, 0, 1, 0, 1});
    EXPECT_EQ(dns_message_parse(p.get(), loop.data(), loop.size()), 1);
    // A label run that walks back over its own pointer.
    std::vector<uint8_t> over = header(1, 0);
    append(over, {1, 'a', 1, 'b', 0xC0, 12, 0, 1, 0, 1});
    EXPECT_EQ(dns_message_parse(p.get(), over.data(), over.size()), 1);
    // An ordinary backward chain: c -> b -> a.local.
    std::vector<uint8_t> chain = header(3, 0);
    append(chain, {1, 'a', 5, 'l', 'o', 'c', 'a', 'l', 0, 0, 1, 0, 1,    // 12: a.local.
                   1, 'b', 0xC0, 12, 0, 1, 0, 1,                         // 25: b.a.local.
                   1, 'c', 0xC0, 25, 0, 1, 0, 1});                       // c.b.a.local.
    ASSERT_EQ(dns_message_parse(p.get(), chain.data(), chain.size()), 0);
    EXPECT_STREQ(p->qd[2].name, "c.b.a.local.");
}

TEST(DnsParse, CountsAndLengthsBeyondTheDataAreRefused)
{
    auto p = new_message();
    // 3000 records cannot fit the storage, whatever the packet holds.
    std::vector<uint8_t> many = header(0, 3000);
    for (int i = 0; i < 3000; i++)
        append(many, {0, 0, 1, 0, 1, 0, 0, 0, 1, 0, 0});
    EXPECT_EQ(dns_message_parse(p.get(), many.data(), many.size()), 1);
    EXPECT_EQ(p->ancount, 0);
    // A count larger than the data.
    std::vector<uint8_t> short_pkt = header(5, 0);
    append(short_pkt, {0, 0, 1, 0, 1});
    EXPECT_EQ(dns_message_parse(p.get(), short_pkt.data(), short_pkt.size()), 1);
    // rdata running past the packet.
    std::vector<uint8_t> rd = header(0, 1);
    append(rd, {0, 0, 16, 0, 1, 0, 0, 0, 1, 0, 40, 1, 2, 3});
    EXPECT_EQ(dns_message_parse(p.get(), rd.data(), rd.size()), 1);
    // A PTR target that leaves its rdata.
    std::vector<uint8_t> ptr = header(0, 1);
    append(ptr, {0, 0, 12, 0, 1, 0, 0, 0, 1, 0, 2, 1, 'a', 0});
    EXPECT_EQ(dns_message_parse(p.get(), ptr.data(), ptr.size()), 1);
    // A name of 256 bytes of text or more.
    std::vector<uint8_t> longname = header(1, 0);
    for (int i = 0; i < 5; i++) {
        longname.push_back(63);
        longname.insert(longname.end(), 63, 'x');
    }
    append(longname, {0, 0, 1, 0, 1});
    EXPECT_EQ(dns_message_parse(p.get(), longname.data(), longname.size()), 1);
    EXPECT_EQ(dns_message_parse(p.get(), nullptr, 0), 1);
}
