// mDNS responder driven by a fake clock: probing and announcing times, answers with known-answer
// suppression and legacy unicast, conflicts, the cache; and the announcer's TXT coder.
#include "core/param.h"
#include "services/mdns.h"
#include "services/mdns_daemon.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

int64_t fake_now;

void fake_clock(struct timeval *tv)
{
    tv->tv_sec = (time_t)(fake_now / 1000000);
    tv->tv_usec = (suseconds_t)(fake_now % 1000000);
}

uint32_t ip4(const char *text)
{
    in_addr a;
    inet_pton(AF_INET, text, &a);
    return a.s_addr;
}

struct Conflicts {
    std::vector<std::string> names;
    std::vector<int> types;
};

void on_conflict(const char *name, int type, void *arg)
{
    auto *c = static_cast<Conflicts *>(arg);
    c->names.push_back(name);
    c->types.push_back(type);
}

// One message sent by the responder, parsed back as a peer would read it.
struct Sent {
    bool any = false;
    uint32_t ip = 0;
    uint16_t port = 0;
    std::unique_ptr<dns_message> msg = std::make_unique<dns_message>();
};

class Responder : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake_now = 1000 * 1000000LL;
        d = mdnsd_create(DNS_CLASS_IN, 1000);
        ASSERT_NE(d, nullptr);
        mdnsd_set_clock(d, fake_clock);
        out = std::make_unique<dns_message>();
        in = std::make_unique<dns_message>();
        mdns_log_level(MDNS_LOG_NONE);
    }
    void TearDown() override { mdnsd_destroy(d); }

    Sent take()
    {
        Sent s;
        if (mdnsd_out(d, out.get(), &s.ip, &s.port) == 0)
            return s;
        s.any = true;
        const uint8_t *p = dns_message_header(out.get());
        EXPECT_EQ(dns_message_parse(s.msg.get(), p, (size_t)dns_message_length(out.get())), 0);
        return s;
    }
    // Everything due now; the messages in order.
    std::vector<Sent> drain()
    {
        std::vector<Sent> all;
        for (int i = 0; i < 20; i++) {
            Sent s = take();
            if (!s.any)
                break;
            all.push_back(std::move(s));
        }
        mdnsd_end_pass(d);
        return all;
    }
    int64_t sleep_us()
    {
        struct timeval tv = mdnsd_sleep(d);
        return (int64_t)tv.tv_sec * 1000000 + tv.tv_usec;
    }
    void feed(dns_message *m, uint32_t from, uint16_t port)
    {
        const uint8_t *p = dns_message_header(m);
        ASSERT_EQ(dns_message_parse(in.get(), p, (size_t)dns_message_length(m)), 0);
        mdnsd_in(d, in.get(), from, port);
    }
    mdns_record *publish_a(const char *name, const char *addr, Conflicts *c)
    {
        mdns_record *r = mdnsd_publish_unique(d, name, DNS_TYPE_A, 600, on_conflict, c);
        mdnsd_set_rdata_ipv4(d, r, ip4(addr));
        return r;
    }
    // Runs probing through to the first announcement.
    void past_probing()
    {
        for (int i = 0; i < 4; i++) {
            drain();
            fake_now += 250000;
        }
        drain();
    }

    mdns_daemon *d = nullptr;
    std::unique_ptr<dns_message> out, in;
};

std::unique_ptr<dns_message> query(const char *name, uint16_t type, uint16_t id = 0)
{
    auto m = std::make_unique<dns_message>();
    dns_message_reset(m.get());
    m->id = id;
    dns_message_qd(m.get(), name, type, DNS_CLASS_IN);
    return m;
}

} // namespace

TEST_F(Responder, UniqueRecordIsProbedThreeTimesThenAnnouncedFourTimes)
{
    Conflicts c;
    publish_a("cam1.local.", "127.0.0.1", &c);
    // Three probes 250 ms apart, the record in the authority section.
    for (int i = 0; i < 3; i++) {
        std::vector<Sent> s = drain();
        ASSERT_EQ(s.size(), 1u) << i;
        const dns_message *m = s[0].msg.get();
        EXPECT_EQ(m->qr, 0);
        ASSERT_EQ(m->qdcount, 1);
        EXPECT_STREQ(m->qd[0].name, "cam1.local.");
        EXPECT_EQ(m->qd[0].type, DNS_TYPE_A);
        ASSERT_EQ(m->nscount, 1);
        EXPECT_EQ(m->ns[0].ip, ip4("127.0.0.1"));
        EXPECT_EQ(m->ancount, 0);
        EXPECT_EQ(s[0].ip, ip4("224.0.0.251"));
        EXPECT_EQ(s[0].port, htons(5353));
        EXPECT_EQ(sleep_us(), 250000);
        fake_now += 100000;
        EXPECT_TRUE(drain().empty());
        fake_now += 150000;
    }
    // The fourth probing time announces, then every 2 s, four in all, with the flush bit.
    for (int i = 0; i < 4; i++) {
        std::vector<Sent> s = drain();
        ASSERT_EQ(s.size(), 1u) << i;
        const dns_message *m = s[0].msg.get();
        EXPECT_EQ(m->qr, 1);
        EXPECT_EQ(m->aa, 1);
        ASSERT_EQ(m->ancount, 1);
        EXPECT_EQ(m->an[0].clazz, DNS_CLASS_IN | DNS_CLASS_FLUSH);
        EXPECT_EQ(m->an[0].ttl, 600u);
        EXPECT_EQ(m->an[0].ip, ip4("127.0.0.1"));
        if (i < 3) {
            EXPECT_EQ(sleep_us(), 2000000);
        }
        fake_now += 1990000;
        EXPECT_TRUE(drain().empty());
        fake_now += 10000;
    }
    EXPECT_TRUE(drain().empty());
    EXPECT_TRUE(c.names.empty());
}

TEST_F(Responder, SharedRecordIsReannouncedBeforeItsTtlRunsOut)
{
    mdns_record *r = mdnsd_publish_shared(d, "_http._tcp.local.", DNS_TYPE_PTR, 120);
    mdnsd_set_rdata_host(d, r, "cam1._http._tcp.local.");
    for (int i = 0; i < 4; i++) {
        ASSERT_EQ(drain().size(), 1u);
        fake_now += 2000000;
    }
    int64_t last = fake_now - 2000000;
    EXPECT_TRUE(drain().empty());
    // Asleep until about 2 s before the 120 s run out.
    int64_t wait = sleep_us();
    EXPECT_EQ(fake_now + wait, last + 118 * 1000000LL);
    fake_now += wait;
    EXPECT_EQ(sleep_us(), 0);
    std::vector<Sent> s = drain();
    ASSERT_EQ(s.size(), 1u);
    ASSERT_EQ(s[0].msg->ancount, 1);
    EXPECT_STREQ(s[0].msg->an[0].rdname, "cam1._http._tcp.local.");
    EXPECT_EQ(s[0].msg->an[0].clazz, DNS_CLASS_IN);   // shared: no flush bit
    // And again 118 s after that.
    int64_t again = sleep_us();
    EXPECT_GT(again, 110 * 1000000LL);
    EXPECT_LE(again, 118 * 1000000LL);
}

TEST_F(Responder, KnownAnswerSuppressesAndLegacyUnicastGetsItsOwnReply)
{
    Conflicts c;
    publish_a("cam1.local.", "127.0.0.1", &c);
    past_probing();
    for (int i = 0; i < 4; i++) {
        fake_now += 2000000;
        drain();
    }
    ASSERT_TRUE(drain().empty());

    // From port 5353: only the multicast answer.
    auto q = query("cam1.local.", DNS_TYPE_A, 0);
    feed(q.get(), ip4("127.0.0.9"), 5353);
    std::vector<Sent> s = drain();
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ(s[0].ip, ip4("224.0.0.251"));
    ASSERT_EQ(s[0].msg->ancount, 1);
    EXPECT_EQ(s[0].msg->an[0].ip, ip4("127.0.0.1"));

    // The same question listing our answer as known: nothing.
    auto k = query("cam1.local.", DNS_TYPE_A, 0);
    dns_message_an(k.get(), "cam1.local.", DNS_TYPE_A, DNS_CLASS_IN, 600);
    dns_message_rdata_ipv4(k.get(), ip4("127.0.0.1"));
    feed(k.get(), ip4("127.0.0.9"), 5353);
    EXPECT_TRUE(drain().empty());

    // From another port: a unicast reply with the query's id, then the multicast answer.
    auto u = query("cam1.local.", DNS_TYPE_A, 0xBEEF);
    feed(u.get(), ip4("127.0.0.9"), 40000);
    s = drain();
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s[0].ip, ip4("127.0.0.9"));
    EXPECT_EQ(s[0].port, htons(40000));
    EXPECT_EQ(s[0].msg->id, 0xBEEF);
    ASSERT_EQ(s[0].msg->qdcount, 1);
    EXPECT_STREQ(s[0].msg->qd[0].name, "cam1.local.");
    ASSERT_EQ(s[0].msg->ancount, 1);
    EXPECT_EQ(s[0].msg->an[0].clazz, DNS_CLASS_IN);
    EXPECT_EQ(s[1].ip, ip4("224.0.0.251"));

    // A question with the unicast-response bit is passed over; other names get nothing.
    auto qu = std::make_unique<dns_message>();
    dns_message_reset(qu.get());
    dns_message_qd(qu.get(), "cam1.local.", DNS_TYPE_A, DNS_CLASS_IN | DNS_CLASS_FLUSH);
    feed(qu.get(), ip4("127.0.0.9"), 5353);
    auto other = query("cam2.local.", DNS_TYPE_A);
    feed(other.get(), ip4("127.0.0.9"), 40000);
    EXPECT_TRUE(drain().empty());
}

TEST_F(Responder, PeerProbingOurNameWithOtherDataIsAConflictOurEchoIsNot)
{
    Conflicts c;
    publish_a("cam1.local.", "127.0.0.1", &c);
    std::vector<Sent> first = drain();
    ASSERT_EQ(first.size(), 1u);
    // Our own probe, echoed by the multicast loop.
    const uint8_t *p = dns_message_header(out.get());
    ASSERT_EQ(dns_message_parse(in.get(), p, (size_t)dns_message_length(out.get())), 0);
    mdnsd_in(d, in.get(), ip4("127.0.0.1"), 5353);
    EXPECT_TRUE(c.names.empty());

    // A peer's probe: its data in the authority section.
    auto peer = query("cam1.local.", DNS_TYPE_ANY);
    dns_message_ns(peer.get(), "cam1.local.", DNS_TYPE_A, DNS_CLASS_IN, 120);
    dns_message_rdata_ipv4(peer.get(), ip4("127.0.0.2"));
    feed(peer.get(), ip4("127.0.0.2"), 5353);
    ASSERT_EQ(c.names.size(), 1u);
    EXPECT_EQ(c.names[0], "cam1.local.");
    EXPECT_EQ(c.types[0], DNS_TYPE_A);
    // Withdrawn while probing: neither probes nor announcements, and no goodbye.
    for (int i = 0; i < 40; i++) {
        fake_now += 250000;
        EXPECT_TRUE(drain().empty()) << i;
    }
}

TEST_F(Responder, AnnouncedRecordConflictsWithADifferentAnswerAndSaysGoodbye)
{
    Conflicts c;
    publish_a("cam1.local.", "127.0.0.1", &c);
    past_probing();
    // Our own announcement echoed back is no conflict.
    auto echo = std::make_unique<dns_message>();
    dns_message_reset(echo.get());
    echo->qr = 1;
    dns_message_an(echo.get(), "cam1.local.", DNS_TYPE_A, DNS_CLASS_IN | DNS_CLASS_FLUSH, 600);
    dns_message_rdata_ipv4(echo.get(), ip4("127.0.0.1"));
    feed(echo.get(), ip4("127.0.0.1"), 5353);
    EXPECT_TRUE(c.names.empty());

    auto other = std::make_unique<dns_message>();
    dns_message_reset(other.get());
    other->qr = 1;
    dns_message_an(other.get(), "cam1.local.", DNS_TYPE_A, DNS_CLASS_IN | DNS_CLASS_FLUSH, 600);
    dns_message_rdata_ipv4(other.get(), ip4("127.0.0.2"));
    feed(other.get(), ip4("127.0.0.2"), 5353);
    ASSERT_EQ(c.names.size(), 1u);
    std::vector<Sent> s = drain();
    ASSERT_EQ(s.size(), 1u);
    ASSERT_EQ(s[0].msg->ancount, 1);
    EXPECT_EQ(s[0].msg->an[0].ttl, 0u);
    EXPECT_EQ(s[0].msg->an[0].ip, ip4("127.0.0.1"));
    for (int i = 0; i < 10; i++) {
        fake_now += 2000000;
        EXPECT_TRUE(drain().empty());
    }
}

TEST_F(Responder, CacheKeepsAnswersUntilTtlZeroOrFlush)
{
    auto r = std::make_unique<dns_message>();
    dns_message_reset(r.get());
    r->qr = 1;
    dns_message_an(r.get(), "printer.local.", DNS_TYPE_A, DNS_CLASS_IN, 120);
    dns_message_rdata_ipv4(r.get(), ip4("127.0.0.5"));
    feed(r.get(), ip4("127.0.0.5"), 5353);
    const mdns_cached *c = mdnsd_cached(d, "printer.local.", DNS_TYPE_A, nullptr);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->ip, ip4("127.0.0.5"));
    EXPECT_EQ(c->ttl, 68u);   // half the ttl and 8 s

    // Goodbye (ttl 0) with the same data clears it.
    auto bye = std::make_unique<dns_message>();
    dns_message_reset(bye.get());
    bye->qr = 1;
    dns_message_an(bye.get(), "printer.local.", DNS_TYPE_A, DNS_CLASS_IN, 0);
    dns_message_rdata_ipv4(bye.get(), ip4("127.0.0.5"));
    feed(bye.get(), ip4("127.0.0.5"), 5353);
    EXPECT_EQ(mdnsd_cached(d, "printer.local.", DNS_TYPE_A, nullptr), nullptr);

    // The flush bit replaces the old address.
    feed(r.get(), ip4("127.0.0.5"), 5353);
    auto flush = std::make_unique<dns_message>();
    dns_message_reset(flush.get());
    flush->qr = 1;
    dns_message_an(flush.get(), "printer.local.", DNS_TYPE_A, DNS_CLASS_IN | DNS_CLASS_FLUSH, 120);
    dns_message_rdata_ipv4(flush.get(), ip4("127.0.0.6"));
    feed(flush.get(), ip4("127.0.0.6"), 5353);
    c = mdnsd_cached(d, "printer.local.", DNS_TYPE_A, nullptr);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->ip, ip4("127.0.0.6"));
    EXPECT_EQ(mdnsd_cached(d, "printer.local.", DNS_TYPE_A, c), nullptr);

    // Expiry on the responder's clock.
    fake_now += 69 * 1000000LL;
    EXPECT_EQ(mdnsd_cached(d, "printer.local.", DNS_TYPE_A, nullptr), nullptr);
}

TEST_F(Responder, CacheIsCappedUnderAFloodOfDistinctAnswers)
{
    auto r = std::make_unique<dns_message>();
    for (int i = 0; i < 3 * MDNS_CACHE_MAX; i++) {
        dns_message_reset(r.get());
        r->qr = 1;
        std::string name = "h" + std::to_string(i) + ".local.";
        dns_message_an(r.get(), name.c_str(), DNS_TYPE_A, DNS_CLASS_IN, 4500);
        dns_message_rdata_ipv4(r.get(), ip4("127.0.0.5"));
        feed(r.get(), ip4("127.0.0.5"), 5353);
    }
    int held = 0;
    for (int i = 0; i < 3 * MDNS_CACHE_MAX; i++) {
        std::string name = "h" + std::to_string(i) + ".local.";
        held += mdnsd_cached(d, name.c_str(), DNS_TYPE_A, nullptr) != nullptr;
    }
    EXPECT_EQ(held, MDNS_CACHE_MAX);
}

TEST_F(Responder, ContinuousQueryAsksAndHearsItsAnswers)
{
    int heard = 0;
    mdnsd_watch(d, "printer.local.", DNS_TYPE_A,
                [](const mdns_cached *, void *arg) {
                    ++*static_cast<int *>(arg);
                    return 0;
                },
                &heard);
    std::vector<Sent> s = drain();
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ(s[0].msg->qr, 0);
    ASSERT_EQ(s[0].msg->qdcount, 1);
    EXPECT_STREQ(s[0].msg->qd[0].name, "printer.local.");
    auto r = std::make_unique<dns_message>();
    dns_message_reset(r.get());
    r->qr = 1;
    dns_message_an(r.get(), "printer.local.", DNS_TYPE_A, DNS_CLASS_IN, 120);
    dns_message_rdata_ipv4(r.get(), ip4("127.0.0.5"));
    feed(r.get(), ip4("127.0.0.5"), 5353);
    EXPECT_EQ(heard, 1);
    // The next question lists the answer as known.
    fake_now += 1000000;
    s = drain();
    ASSERT_EQ(s.size(), 1u);
    ASSERT_EQ(s[0].msg->ancount, 1);
    EXPECT_EQ(s[0].msg->an[0].ip, ip4("127.0.0.5"));
    mdnsd_watch(d, "printer.local.", DNS_TYPE_A, nullptr, nullptr);
}

TEST_F(Responder, ShutdownSendsGoodbyesForAnnouncedRecordsOnly)
{
    Conflicts c;
    mdns_record *ptr = mdnsd_publish_shared(d, "_http._tcp.local.", DNS_TYPE_PTR, 120);
    mdnsd_set_rdata_host(d, ptr, "cam1._http._tcp.local.");
    publish_a("cam1.local.", "127.0.0.1", &c);
    drain();   // PTR announced, A probing
    mdnsd_withdraw(d, ptr);
    mdnsd_begin_shutdown(d);
    std::vector<Sent> s = drain();
    ASSERT_EQ(s.size(), 1u);
    ASSERT_EQ(s[0].msg->ancount, 1);
    EXPECT_EQ(s[0].msg->an[0].type, DNS_TYPE_PTR);
    EXPECT_EQ(s[0].msg->an[0].ttl, 0u);
    EXPECT_TRUE(drain().empty());
    // Input is ignored while shutting down.
    auto q = query("_http._tcp.local.", DNS_TYPE_PTR);
    feed(q.get(), ip4("127.0.0.9"), 40000);
    EXPECT_TRUE(drain().empty());
}

TEST_F(Responder, NewAddressIsAnnouncedAndEveryAnswerReachesTheHook)
{
    Conflicts c;
    publish_a("cam1.local.", "127.0.0.1", &c);
    past_probing();
    for (int i = 0; i < 4; i++) {
        fake_now += 2000000;
        drain();
    }
    mdnsd_update_ip(d, ip4("127.0.0.3"));
    std::vector<Sent> s = drain();
    ASSERT_EQ(s.size(), 1u);
    ASSERT_EQ(s[0].msg->ancount, 1);
    EXPECT_EQ(s[0].msg->an[0].ip, ip4("127.0.0.3"));
    mdnsd_update_ip(d, ip4("127.0.0.3"));   // unchanged: nothing new
    fake_now += 2000000;
    EXPECT_EQ(drain().size(), 1u);          // the second of the four announcements only

    std::vector<std::string> heard;
    mdnsd_set_answer_hook(d, [](const dns_rr *a, void *arg) {
        static_cast<std::vector<std::string> *>(arg)->push_back(a->name);
    }, &heard);
    auto r = std::make_unique<dns_message>();
    dns_message_reset(r.get());
    r->qr = 1;
    dns_message_an(r.get(), "a.local.", DNS_TYPE_A, DNS_CLASS_IN, 120);
    dns_message_rdata_ipv4(r.get(), ip4("127.0.0.7"));
    dns_message_an(r.get(), "b.local.", DNS_TYPE_A, DNS_CLASS_IN, 0);
    dns_message_rdata_ipv4(r.get(), ip4("127.0.0.8"));
    feed(r.get(), ip4("127.0.0.7"), 5353);
    EXPECT_EQ(heard, (std::vector<std::string>{"a.local.", "b.local."}));
}

TEST(MdnsTxt, TableAndTxtBothWays)
{
    strtab *t = strtab_create(11);
    strtab_set(t, "path", "/index.htm");
    uint8_t buf[64];
    int n = txt_from_table(t, buf, sizeof buf);
    const uint8_t want[] = {15, 'p', 'a', 't', 'h', '=', '/', 'i', 'n', 'd', 'e', 'x', '.', 'h', 't', 'm'};
    ASSERT_EQ(n, (int)sizeof want);
    EXPECT_EQ(memcmp(buf, want, sizeof want), 0);
    EXPECT_EQ(txt_from_table(t, buf, 8), -1);
    strtab_free(t);

    strtab *empty = strtab_create(11);
    ASSERT_EQ(txt_from_table(empty, buf, sizeof buf), 1);
    EXPECT_EQ(buf[0], 0);
    strtab_free(empty);

    const uint8_t txt[] = {6, 'a', '=', 'b', '=', 'c', 'd', 4, 'f', 'l', 'a', 'g', 0};
    strtab *back = txt_to_table(txt, sizeof txt);
    ASSERT_NE(back, nullptr);
    EXPECT_STREQ(strtab_get(back, "a"), "b=cd");
    EXPECT_STREQ(strtab_get(back, "flag"), "");
    EXPECT_EQ(strtab_get(back, "x"), nullptr);
    strtab_free(back);
    const uint8_t bad[] = {9, 'a'};
    EXPECT_EQ(txt_to_table(bad, sizeof bad), nullptr);

    // Many keys in few buckets: every one is kept and found.
    strtab *many = strtab_create(3);
    for (int i = 0; i < 50; i++)
        strtab_set(many, ("k" + std::to_string(i)).c_str(), std::to_string(i).c_str());
    strtab_set(many, "k7", "seven");
    int count = 0;
    strtab_walk(many, [](const char *, const char *, void *arg) { ++*static_cast<int *>(arg); }, &count);
    EXPECT_EQ(count, 50);
    EXPECT_STREQ(strtab_get(many, "k7"), "seven");
    EXPECT_STREQ(strtab_get(many, "k49"), "49");
    strtab_free(many);
}

TEST(MdnsLog, LevelNames)
{
    EXPECT_EQ(mdns_log_level_by_name("notice"), 5);
    EXPECT_EQ(mdns_log_level_by_name("warning"), 4);
    EXPECT_EQ(mdns_log_level_by_name("none"), 16);
    EXPECT_EQ(mdns_log_level_by_name("panic"), 0);
    EXPECT_EQ(mdns_log_level_by_name("6"), 6);
}

TEST(MdnsAnnouncer, DisabledOrNamelessDeviceStartsNoThread)
{
    auto p = std::make_unique<ParamBlock>();
    memset(p.get(), 0, sizeof *p);
    EXPECT_EQ(mdns_restart(p.get()), 0);   // no host name
    EXPECT_FALSE(mdns_running());
    snprintf(p->NetworkHostname, sizeof p->NetworkHostname, "cam1");
    p->NetworkDisableMDNS = 1;
    EXPECT_EQ(mdns_restart(p.get()), 0);
    EXPECT_FALSE(mdns_running());
    stop_mdns();   // nothing to stop: harmless
    EXPECT_FALSE(mdns_running());
}
