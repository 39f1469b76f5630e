#include "core/evict.h"
#include "core/log.h"
#include "core/mtd.h"
#include "core/param.h"
#include "platform/platform.h"
#include "web/accesslog.h"
#include "web/auth.h"
#include "web/guard.h"
#include "web/httpd.h"
#include "testutil.h"
#include "web_client.h"

#include <arpa/inet.h>
#include <atomic>

#include <gtest/gtest.h>

#include <poll.h>
#include <thread>

namespace {

class Guard : public WebServerTest {};

} // namespace

// --- the name a request was sent to ----------------------------------------------------------------

TEST(GuardHost, OnlyAddressesAndTheDevicesOwnNamesAreTheDevice)
{
    for (const char *ok : {"127.0.0.1", "127.0.0.1:80", "192.0.2.7:8080", "[::1]", "[::1]:80", "[fe80::1]",
                           "localhost", "LocalHost:80", "cam-1", "CAM-1.local", "cam-1.local.", "cam-1:80"})
        EXPECT_TRUE(guard_host_is_device(ok, "cam-1")) << ok;
    for (const char *bad : {"evil.example", "evil.example:80", "cam-1.evil.example", "cam-1.local.evil.example",
                            "127.0.0.1.evil.example", "cam-10", "xcam-1", "localhost.evil.example", "[::1",
                            "[::1]x", "[evil.example]", "127.0.0.1:", "127.0.0.1:123456", "127.0.0.1:8a", "",
                            "::1"})
        EXPECT_FALSE(guard_host_is_device(bad, "cam-1")) << bad;
    EXPECT_FALSE(guard_host_is_device("local", ""));
    EXPECT_FALSE(guard_host_is_device(".local", ""));
    EXPECT_FALSE(guard_host_is_device(nullptr, "cam-1"));
}

// A page of another site whose name resolves to the device (DNS rebinding) acts as the guest
// no more; a person with credentials works under any name.
TEST_F(Guard, GuestRightsOnlyUnderTheDevicesOwnNames)
{
    fake_params["NetworkHostname"] = {"cam-1", 1, 5};
    const std::string evil = "Host: evil.example";
    WebReply r = get("/Video[0].BitRate", {evil});
    EXPECT_EQ(r.status, 401);
    EXPECT_NE(r.header("www-authenticate").find("realm=\"7160\""), std::string::npos);
    EXPECT_EQ(get("/config.txt", {evil}).status, 401);
    EXPECT_NE(test_log_text().find("GET /Video[0].BitRate for Host evil.example refused"), std::string::npos);
    // Its own page's post names its own origin, which the cross-site check alone let through.
    EXPECT_EQ(post("/streamA_controls", "BitRate=300000", {evil, "Origin: http://evil.example"}).status, 401);
    EXPECT_EQ(post("/controls", "create_user_name=x&create_user_perm=5", {evil}).status, 401);
    EXPECT_EQ(fake_params["Video[0].BitRate"].value, "2000000");
    EXPECT_EQ(fake_params.count("User[1].Name"), 0u);

    EXPECT_EQ(get("/Video[0].BitRate", {evil, web_basic("admin", "adminpw")}).status, 200);
    EXPECT_EQ(post("/streamA_controls", "BitRate=300000", {evil, web_basic("cfg", "cfgpw")}).status, 303);
    EXPECT_EQ(fake_params["Video[0].BitRate"].value, "300000");
    for (const char *host : {"Host: 127.0.0.1:80", "Host: [::1]", "Host: localhost", "Host: cam-1.local"})
        EXPECT_EQ(get("/Video[0].BitRate", {host}).status, 200) << host;
}

// --- what a POST may change -----------------------------------------------------------------------

// A caller who may change nothing through a row is challenged before the body is read: curl
// --digest posts without a body first and sends credentials only when challenged.
TEST_F(Guard, PostThatCanChangeNothingIsChallengedBeforeItsBody)
{
    auto head_only = [&](const std::string &row, const std::string &length, const std::string &extra = "") {
        int fd = web_connect(port);
        web_send_all(fd, "POST /" + row + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extra +
                             "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " + length +
                             "\r\n\r\n");
        WebReply r = web_read_reply(fd);   // the body never comes: only an early answer arrives
        close(fd);
        return r.status;
    };
    fake_guest_level = 0;
    for (const char *row : {"controls", "streamA_controls", "streamB_controls_no_save", "display_controls_no_save",
                            "mixer_settings", "clear_log", "delete_files_int", "load_default_params"})
        EXPECT_EQ(head_only(row, "1000"), 401) << row;
    EXPECT_EQ(head_only("streamA_controls", "1000", web_basic("view", "viewpw") + "\r\n"), 401);
    // Capture.Hue is written at level 2, Video[0] only at 4.
    fake_guest_level = 2;
    EXPECT_EQ(head_only("streamA_controls", "1000"), 401);
    EXPECT_EQ(post("/capture_controls", "Hue=9").status, 303);
    EXPECT_EQ(fake_params["Capture.Hue"].value, "9");
    // A guest's empty body changes nothing: challenged once an Admin exists to log in as.
    fake_guest_level = 5;
    EXPECT_EQ(head_only("controls", "0"), 401);
    EXPECT_EQ(head_only("controls", "0", web_basic("admin", "adminpw") + "\r\n"), 200);
    fake_params.erase("User[0].Name");
    EXPECT_EQ(head_only("controls", "0"), 200);
}

// --- uploads -------------------------------------------------------------------------------------

// The cap is on what the header declares, so the answer comes before a byte of the body.
TEST(GuardUpload, DeclaredLengthOverTheCapIsRefusedAndTheCapItselfTaken)
{
    EXPECT_EQ(guard_length_over("1000", 1000), 0u);
    EXPECT_EQ(guard_length_over("1001", 1000), 1001u);
    EXPECT_EQ(guard_length_over("0", 0), 0u);
    // Past what 64 bits hold reads as the most there is, still over any cap.
    EXPECT_EQ(guard_length_over("99999999999999999999999", 1000), UINT64_MAX);
    for (const char *none : {(const char *)nullptr, "", "abc"})
        EXPECT_EQ(guard_length_over(none, 0), 0u) << (none ? none : "(none)");
}

// --- the site a request came from and where it goes back to --------------------------------------

TEST(GuardRedirect, OnlyPathsOnThisDeviceAreLocal)
{
    for (const char *ok : {"/index.htm", "setup_streama.htm", "/a/b.htm?x=http://y", "/x#http:z", "/"})
        EXPECT_TRUE(guard_local_target(ok)) << ok;
    for (const char *bad : {"http://other.host/", "HTTPS://other.host", "//other.host/x", "/\\other.host",
                            "\\\\other.host", "javascript:alert(1)", "http:other.host", "/\t/other.host",
                            "/x\r\nSet-Cookie: a=b", "", " http://x"})
        EXPECT_FALSE(guard_local_target(bad)) << bad;
    EXPECT_FALSE(guard_local_target(nullptr));
}

TEST_F(Guard, RedirectsElsewhereFallBackAsIfNoneWereGiven)
{
    WebReply r = post("/streamA_controls", "redirect=http%3A%2F%2Fother.host%2F&BitRate=300000");
    EXPECT_EQ(r.status, 303);
    EXPECT_EQ(r.header("location"), "/back.htm");   // the referer
    EXPECT_EQ(fake_params["Video[0].BitRate"].value, "300000");
    EXPECT_EQ(post("/controls", "redirect=%2F%2Fother.host").header("location"), "/back.htm");
    EXPECT_EQ(post("/controls", "redirect=%2Fok.htm%00http%3A%2F%2Fx").header("location"), "/back.htm");
    EXPECT_EQ(post("/controls", "redirect=%2Fok.htm").header("location"), "/ok.htm");
    r = web_request(port, "POST", "/controls", {}, "redirect=http%3A%2F%2Fother.host%2F");
    EXPECT_EQ(r.status, 200);   // no referer either
    EXPECT_EQ(r.header("location"), "");

    EXPECT_EQ(get("/logout.htm?redirect=http://other.host/", {"Referer: /r.htm"}).header("location"), "/r.htm");
    EXPECT_EQ(get("/logout.htm?redirect=//other.host/").header("location"), "/index.htm");
    r = get("/login.htm?redirect=http://other.host/");
    EXPECT_EQ(r.status, 401);
    EXPECT_EQ(r.body.find("other.host"), std::string::npos);   // nor in the refresh of the challenge page
}

TEST_F(Guard, OnlyAPathOnThisDeviceBecomesALocation)
{
    // Leading white space: a browser drops it and reads "//other.host" as a host.
    EXPECT_EQ(post("/controls", "redirect=%20%2F%2Fother.host%2F").header("location"), "/back.htm");
    EXPECT_EQ(post("/controls", "redirect=%09%2F%2Fother.host%2F").header("location"), "/back.htm");
    EXPECT_EQ(get("/logout.htm?redirect=%20//other.host/").header("location"), "/index.htm");
    EXPECT_EQ(get("/logout.htm?redirect=%0a//other.host/").header("location"), "/index.htm");
    // A Referer naming another site is no way back; one naming this device gives its path.
    auto from = [&](const std::string &path, const std::string &referer) {
        return web_request(port, "GET", path, {"Referer: " + referer}).header("location");
    };
    EXPECT_EQ(from("/logout.htm", "http://other.host/x.htm"), "/index.htm");
    EXPECT_EQ(from("/logout.htm", "http://127.0.0.1.other.host/x.htm"), "/index.htm");
    EXPECT_EQ(from("/logout.htm", "http://127.0.0.1@other.host/x.htm"), "/index.htm");
    EXPECT_EQ(from("/logout.htm", "http://127.0.0.1/x.htm?p=2"), "/x.htm?p=2");
    EXPECT_EQ(from("/logout.htm", "http://127.0.0.1:80/x.htm"), "/x.htm");
    EXPECT_EQ(from("/logout.htm", "http://127.0.0.1"), "/");
    EXPECT_EQ(from("/logout.htm", "//other.host/x.htm"), "/index.htm");
    EXPECT_EQ(from("/logout.htm?redirect=/r.htm", "http://other.host/x.htm"), "/r.htm");
    WebReply r = web_request(port, "GET", "/login.htm", {"Referer: http://other.host/"});
    EXPECT_EQ(r.status, 401);
    EXPECT_EQ(r.body.find("other.host"), std::string::npos);
    // A form post with no redirect of its own: back to this device's page, or no Location.
    r = web_request(port, "POST", "/controls", {"Referer: http://127.0.0.1/setup.htm"}, "x=1");
    EXPECT_EQ(r.header("location"), "/setup.htm");
    r = web_request(port, "POST", "/controls", {"Referer: http://127.0.0.1/%0d%0aSet-Cookie:x"}, "x=1");
    EXPECT_EQ(r.header("location"), "/%0d%0aSet-Cookie:x");   // escaped, so still one path
}

TEST_F(Guard, CrossSitePostsAreRefusedAndOurOwnPass)
{
    auto post_from = [&](const std::vector<std::string> &h) {
        return web_request(port, "POST", "/streamA_controls", h, "BitRate=300000").status;
    };
    for (const std::vector<std::string> &h : std::vector<std::vector<std::string>>{
             {"Origin: http://other.host"},
             {"Origin: null"},
             {"Origin: http://127.0.0.1:8080"},
             {"Referer: http://other.host/form.htm"},
             {"Origin: http://127.0.0.1", "Referer: http://other.host/form.htm"},
             {"Referer: http://127.0.0.1/x", "Origin: https://other.host"}}) {
        EXPECT_EQ(post_from(h), 403) << h[0];
        EXPECT_EQ(fake_params["Video[0].BitRate"].value, "2000000") << h[0];
    }
    EXPECT_NE(test_log_text().find("POST to /streamA_controls from another site (Origin: http://other.host) refused"),
              std::string::npos);
    // Uploads and the defaults are guarded alike.
    EXPECT_EQ(web_request(port, "POST", "/firmware", {"Origin: http://other.host"}, "x").status, 403);
    EXPECT_EQ(web_request(port, "POST", "/load_default_params", {"Origin: http://other.host"}, "").status, 403);
    // Our own page, a script with neither header, and a bare-path Referer pass.
    EXPECT_EQ(post_from({"Origin: http://127.0.0.1", "Referer: http://127.0.0.1/setup_streama.htm"}), 303);
    EXPECT_EQ(fake_params["Video[0].BitRate"].value, "300000");
    fake_params["Video[0].BitRate"].value = "1";
    EXPECT_EQ(post_from({}), 200);
    EXPECT_EQ(fake_params["Video[0].BitRate"].value, "300000");
    EXPECT_EQ(post_from({"Referer: /back.htm", "Origin: HTTP://127.0.0.1:80"}), 303);
    // GETs read; they are not refused.
    EXPECT_EQ(web_request(port, "GET", "/Video[0].BitRate", {"Origin: http://other.host"}).status, 200);
}

// --- connection limits ---------------------------------------------------------------------------

namespace {

// "/slow" streams 20 chunks, one every 150 ms: longer than the short limits below.
int slow_chunks;
ssize_t slow_reader(void *, uint64_t pos, char *buf, size_t max)
{
    if (slow_chunks >= 20)
        return MHD_CONTENT_READER_END_OF_STREAM;
    usleep(150000);
    slow_chunks++;
    buf[0] = 'a';
    return 1;
}

MHD_Result limits_handler(void *cls, MHD_Connection *c, const char *url, const char *method, const char *version,
                          const char *upload, size_t *upload_size, void **con_cls)
{
    if (strcmp(url, "/slow") == 0) {
        slow_chunks = 0;
        MHD_Response *r = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 1, slow_reader, nullptr, nullptr);
        return http_queue(c, MHD_HTTP_OK, r);
    }
    return answer_to_connection(cls, c, url, method, version, upload, upload_size, con_cls);
}

// True when the server closed the connection within `ms`; the sweep runs meanwhile, as the
// thread runs it. `trickle` sends one byte of a header every 300 ms.
bool closed_within(int fd, int ms, bool trickle, int *sweeps_cut = nullptr)
{
    for (int waited = 0; waited < ms; waited += 100) {
        int cut = guard_sweep();
        if (sweeps_cut)
            *sweeps_cut += cut;
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 100) > 0) {
            char b[256];
            if (recv(fd, b, sizeof b, MSG_DONTWAIT) <= 0)
                return true;
        }
        if (trickle && waited % 300 == 0 && send(fd, "X", 1, MSG_NOSIGNAL) < 0)
            return true;
    }
    return false;
}

class GuardLimitsTest : public WebServerTest {
protected:
    GuardLimitsTest() : WebServerTest(limits_handler) {}
    void SetUp() override
    {
        GuardLimits l = {2, 2, 4, 64};
        guard_set_limits(&l);
        WebServerTest::SetUp();
    }
    void TearDown() override
    {
        WebServerTest::TearDown();
        guard_set_limits(nullptr);
    }
};

} // namespace

TEST_F(GuardLimitsTest, IdleConnectionsAreClosedWithinTheIdleLimitNotAllAtOnce)
{
    // Each one's limit lies between half the idle limit (1 s) and all of it (2 s): opened
    // together, they are not closed together.
    int fd[4];
    for (int &f : fd)
        ASSERT_GE(f = web_connect(port), 0);
    int64_t start = monotonic_ms(), first = 0, last = 0;
    int open = 4;
    bool closed[4] = {};
    while (open > 0 && monotonic_ms() - start < 6000) {
        for (int i = 0; i < 4; i++) {
            if (closed[i] || !closed_within(fd[i], 100, false))
                continue;
            closed[i] = true;
            open--;
            last = monotonic_ms() - start;
            if (!first)
                first = last;
        }
    }
    EXPECT_EQ(open, 0);
    EXPECT_GE(first, 800);
    EXPECT_GE(last - first, 500) << "closed at " << first << " and " << last << " ms";
    for (int f : fd)
        close(f);
}

TEST_F(GuardLimitsTest, TricklingRequestIsClosedAtTheRequestDeadline)
{
    int fd = web_connect(port);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(web_send_all(fd, "GET / HTTP/1.1\r\nX-Slow: "));
    int cut = 0;
    // Each byte resets the idle limit; only the deadline from the first byte ends it.
    EXPECT_TRUE(closed_within(fd, 5000, true, &cut));
    EXPECT_EQ(cut, 1);
    close(fd);
    EXPECT_EQ(web_request(port, "GET", "/").status, 303);
}

TEST_F(GuardLimitsTest, SlowFormBodyIsClosedAtTheRequestDeadline)
{
    int fd = web_connect(port);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(web_send_all(fd, "POST /streamA_controls HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: "
                                 "application/x-www-form-urlencoded\r\nContent-Length: 1000\r\n\r\nBitRate=1"));
    EXPECT_TRUE(closed_within(fd, 5000, true));
    close(fd);
    EXPECT_EQ(fake_params["Video[0].BitRate"].value, "2000000");

    EXPECT_EQ(web_request(port, "GET", "/").status, 303);
}

TEST_F(GuardLimitsTest, StreamingAnswerOutlivesEveryLimit)
{
    int fd = web_connect(port);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(web_send_all(fd, "GET /slow HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"));
    std::thread sweeper([] {
        for (int i = 0; i < 40; i++) {
            guard_sweep();
            usleep(100000);
        }
    });
    WebReply r = web_read_reply(fd);
    sweeper.join();
    close(fd);
    EXPECT_EQ(r.status, 200);
    // 3 s of streaming against limits of 2 s: every chunk and the end arrived.
    EXPECT_EQ(test_count(r.body, "1\r\na\r\n"), 20u);
    EXPECT_NE(r.body.find("\r\n0\r\n\r\n"), std::string::npos);
}

TEST_F(GuardLimitsTest, OneAddressCannotTakeEverySlot)
{
    httpd_stop();
    GuardLimits l = {30, 2, 4, 64};   // no idle limit within the test
    guard_set_limits(&l);
    ASSERT_EQ(httpd_start(0, limits_handler), 0);
    port = httpd_port();
    std::vector<int> idle;
    for (int i = 0; i < 12; i++)
        idle.push_back(web_connect(port, "127.0.0.1"));
    int refused = 0;
    for (int fd : idle) {
        ASSERT_GE(fd, 0);
        pollfd p = {fd, POLLIN, 0};
        char b;
        if (poll(&p, 1, 200) > 0 && recv(fd, &b, 1, MSG_DONTWAIT) <= 0)
            refused++;
    }
    EXPECT_EQ(refused, 8);   // four per address: each newcomer took its own address's oldest's place
    WebReply r = web_request(port, "GET", "/", {}, "", "127.0.0.2");
    EXPECT_EQ(r.status, 303);
    // Its own idle connections (a client's keep-alive ones) do not lock out its next request.
    EXPECT_EQ(web_request(port, "GET", "/", {}, "", "127.0.0.1").status, 303);
    int left = 0;
    for (int fd : idle) {
        pollfd p = {fd, POLLIN, 0};
        char b;
        left += !(poll(&p, 1, 200) > 0 && recv(fd, &b, 1, MSG_DONTWAIT) <= 0);
    }
    EXPECT_EQ(left, 3) << "in place of one of them";
    for (int fd : idle)
        close(fd);
    bool served = false;
    for (int i = 0; i < 50 && !served; i++) {
        served = web_request(port, "GET", "/", {}, "", "127.0.0.1").status == 303;
        if (!served)
            usleep(20000);
    }
    EXPECT_TRUE(served);
}

namespace {

// "/hold" stands for a live row: it asks to read a stream, then sends bytes until the end of the test.
std::atomic<bool> holding;
ssize_t hold_reader(void *, uint64_t, char *buf, size_t max)
{
    if (!holding)
        return MHD_CONTENT_READER_END_OF_STREAM;
    size_t n = std::min<size_t>(max, 1024);
    memset(buf, 'h', n);
    return (ssize_t)n;
}

// "/block" holds the server's one thread in the handler until `blocking` is cleared (at most 5 s):
// meanwhile nothing is read from any connection.
std::atomic<bool> blocking, blocked;

MHD_Result hold_handler(void *cls, MHD_Connection *c, const char *url, const char *method, const char *version,
                        const char *upload, size_t *upload_size, void **con_cls)
{
    if (strcmp(url, "/block") == 0) {
        blocked = true;
        for (int i = 0; i < 500 && blocking; i++)
            usleep(10000);
        return http_text(c, MHD_HTTP_OK, "text/plain", "done\n", 5);
    }
    if (strcmp(url, "/hold") != 0)
        return answer_to_connection(cls, c, url, method, version, upload, upload_size, con_cls);
    if (!guard_stream_admit(c))
        return http_text(c, MHD_HTTP_SERVICE_UNAVAILABLE, "text/plain", "busy\n", 5);
    MHD_Response *r = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 1024, hold_reader, nullptr, nullptr);
    return http_queue(c, MHD_HTTP_OK, r);
}

// The status of the answer to a GET sent on `fd` (its head only; a stream goes on), 0 for none.
int status_on(int fd, const char *path)
{
    if (!web_send_all(fd, std::string("GET ") + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"))
        return 0;
    std::string in;
    char b[4096];
    while (in.find("\r\n\r\n") == std::string::npos) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 5000) <= 0)
            return 0;
        ssize_t n = recv(fd, b, in.empty() ? 12 : 1, 0);   // the head, and nothing of the body
        if (n <= 0)
            return 0;
        in.append(b, (size_t)n);
    }
    return atoi(in.c_str() + 9);
}

bool tracked(int n)
{
    for (int i = 0; i < 200 && guard_connection_count() != n; i++)
        usleep(10000);
    return guard_connection_count() == n;
}

// Bytes still arriving on a stream reader's connection.
bool flowing(int fd)
{
    char b[65536];
    pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, 2000) > 0 && recv(fd, b, sizeof b, MSG_DONTWAIT) > 0;
}

} // namespace

// A newcomer to a full server takes the place of the connection that has waited longest for a
// request, from an address holding two more than its own; stream readers are never closed for
// it, and they cannot take the last eighth of the total, which stays for pages.
TEST_F(GuardLimitsTest, NewcomerTakesTheLongestIdlePlaceAndStreamsLeaveRoomForPages)
{
    httpd_stop();
    GuardLimits l = {30, 10, 4, 16};   // 14 may read streams
    guard_set_limits(&l);
    holding = true;
    ASSERT_EQ(httpd_start(0, hold_handler), 0);
    port = httpd_port();
    std::vector<int> readers;
    for (const char *from : {"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5"})
        for (int i = 0; i < (strcmp(from, "127.0.0.5") ? 4 : 2); i++) {
            readers.push_back(web_connect(port, from));
            ASSERT_EQ(status_on(readers.back(), "/hold"), 200) << from << " " << i;
        }
    int refused = web_connect(port, "127.0.0.5");
    EXPECT_EQ(status_on(refused, "/hold"), 503) << "the last two connections stay for pages";
    close(refused);
    ASSERT_TRUE(tracked(14));
    int oldest = web_connect(port, "127.0.0.5");
    ASSERT_TRUE(tracked(15));
    int silent = web_connect(port, "127.0.0.5");
    ASSERT_TRUE(tracked(16));

    // Full: the page is served in place of the connection idle longest.
    EXPECT_EQ(web_request(port, "GET", "/", {}, "", "127.0.0.6").status, 303);
    EXPECT_TRUE(closed_within(oldest, 2000, false));
    EXPECT_FALSE(closed_within(silent, 200, false));
    int six = web_connect(port, "127.0.0.6");
    ASSERT_TRUE(tracked(16));
    // 127.0.0.5 coming back may not put out another address's connection in turn.
    int back = web_connect(port, "127.0.0.5");
    EXPECT_TRUE(closed_within(back, 2000, false));
    EXPECT_FALSE(closed_within(six, 200, false));
    EXPECT_EQ(web_request(port, "GET", "/", {}, "", "127.0.0.7").status, 303);
    EXPECT_TRUE(closed_within(silent, 2000, false));
    for (size_t i = 0; i < readers.size(); i++)
        EXPECT_TRUE(flowing(readers[i])) << "reader " << i << " reads on";
    std::string log = test_log_text();
    EXPECT_NE(log.find("httpd: stream for 127.0.0.5 refused: 14 connections read streams"), std::string::npos) << log;
    EXPECT_NE(log.find("httpd: connection from 127.0.0.5 idle for "), std::string::npos) << log;
    EXPECT_NE(log.find(" s closed for a connection from 127.0.0.6"), std::string::npos) << log;
    holding = false;
    for (int fd : readers)
        close(fd);
    for (int fd : {oldest, silent, six, back})
        close(fd);
}

// A request that has arrived but not been read yet is a connection at work: the newcomer takes
// the next idle one's place, though the busy one has waited longer.
TEST_F(GuardLimitsTest, AConnectionWithUnreadBytesIsNeverTaken)
{
    httpd_stop();
    GuardLimits l = {30, 10, 4, 16, 600000};   // the address rule alone
    guard_set_limits(&l);
    ASSERT_EQ(httpd_start(0, hold_handler), 0);
    port = httpd_port();
    std::vector<int> fds;
    int oldest = web_connect(port, "127.0.0.5");
    ASSERT_TRUE(tracked(1));
    int second = web_connect(port, "127.0.0.5");
    for (const char *from : {"127.0.0.2", "127.0.0.3", "127.0.0.4"})
        for (int i = 0; i < 4; i++)
            fds.push_back(web_connect(port, from));
    int blocker = web_connect(port, "127.0.0.6");
    fds.push_back(web_connect(port, "127.0.0.6"));
    ASSERT_TRUE(tracked(16));
    blocking = true;
    blocked = false;
    ASSERT_TRUE(web_send_all(blocker, "GET /block HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
    for (int i = 0; i < 500 && !blocked; i++)
        usleep(10000);
    ASSERT_TRUE(blocked);
    ASSERT_TRUE(web_send_all(oldest, "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
    usleep(50000);
    sockaddr_in newcomer = {};
    newcomer.sin_family = AF_INET;
    inet_pton(AF_INET, "127.0.0.7", &newcomer.sin_addr);
    EXPECT_EQ(guard_accept(nullptr, (const sockaddr *)&newcomer, sizeof newcomer), MHD_YES);
    blocking = false;
    EXPECT_TRUE(closed_within(second, 2000, false)) << "the next oldest idle one";
    char b[16] = {};
    pollfd p = {oldest, POLLIN, 0};
    ASSERT_GT(poll(&p, 1, 5000), 0);
    EXPECT_EQ(recv(oldest, b, 12, 0), 12);
    EXPECT_STREQ(b, "HTTP/1.1 303") << "the request arriving is answered";
    for (int fd : fds)
        close(fd);
    for (int fd : {oldest, second, blocker})
        close(fd);
}

// Connections idle past the eviction age give way to a newcomer from any address, though each
// address holds one; an address just put out takes no other's place at once.
TEST_F(GuardLimitsTest, LongIdleConnectionsGiveWayToAnyNewcomer)
{
    httpd_stop();
    GuardLimits l = {30, 10, 4, 4, 300};
    guard_set_limits(&l);
    ASSERT_EQ(httpd_start(0, hold_handler), 0);
    port = httpd_port();
    std::vector<int> idle;
    for (const char *from : {"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5"}) {
        idle.push_back(web_connect(port, from));
        ASSERT_TRUE(tracked((int)idle.size()));
    }
    EXPECT_EQ(web_request(port, "GET", "/", {}, "", "127.0.0.6").status, 0) << "idle less than the age";
    usleep(400000);
    idle.push_back(web_connect(port, "127.0.0.6"));
    EXPECT_EQ(status_on(idle.back(), "/"), 303);   // and the connection stays for the next
    EXPECT_TRUE(closed_within(idle[0], 2000, false)) << "the longest idle";
    EXPECT_EQ(web_request(port, "GET", "/", {}, "", "127.0.0.2").status, 0) << "put out just now";
    EXPECT_FALSE(closed_within(idle[1], 100, false));
    for (int fd : idle)
        close(fd);
}

// A request head still arriving after a couple of seconds gives way to a newcomer from an
// address holding fewer, long before the idle age or the request deadline; a fresh one does not.
TEST_F(GuardLimitsTest, SlowRequestHeadGivesWayFreshOneDoesNot)
{
    httpd_stop();
    GuardLimits l = {30, 10, 4, 4, 600000};   // no connection reaches the idle age
    guard_set_limits(&l);
    ASSERT_EQ(httpd_start(0, hold_handler), 0);
    port = httpd_port();
    std::vector<int> fds;
    for (const char *from : {"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5"}) {
        fds.push_back(web_connect(port, from));
        ASSERT_TRUE(tracked((int)fds.size()));
    }
    usleep(200000);
    ASSERT_TRUE(web_send_all(fds[0], "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n"));
    sockaddr_in newcomer = {};
    newcomer.sin_family = AF_INET;
    inet_pton(AF_INET, "127.0.0.6", &newcomer.sin_addr);
    EXPECT_FALSE(closed_within(fds[0], 300, true));
    EXPECT_EQ(guard_accept(nullptr, (const sockaddr *)&newcomer, sizeof newcomer), MHD_NO) << "a fresh head";
    EXPECT_FALSE(closed_within(fds[0], EVICT_SLOW_HEAD_MS, true));
    EXPECT_EQ(guard_accept(nullptr, (const sockaddr *)&newcomer, sizeof newcomer), MHD_YES) << "a slow head";
    EXPECT_TRUE(closed_within(fds[0], 2000, false));
    for (size_t i = 1; i < fds.size(); i++)
        EXPECT_FALSE(closed_within(fds[i], 100, false)) << "idle for less than the age";
    for (int fd : fds)
        close(fd);
}

// An upload keeps its connection while it delivers at least the upload rate; a trickle is cut
// at the request deadline like any other slow request.
TEST_F(GuardLimitsTest, SlowUploadIsClosedAndASteadyOneIsNot)
{
    std::string head = "POST /customzip HTTP/1.1\r\nHost: x\r\n" + web_basic("admin", "adminpw") +
                       "\r\nContent-Type: application/octet-stream\r\nContent-Length: 120000\r\n\r\n";
    int slow = web_connect(port);
    ASSERT_GE(slow, 0);
    ASSERT_TRUE(web_send_all(slow, head + "PK"));
    int cut = 0;
    EXPECT_TRUE(closed_within(slow, 6000, true, &cut));
    EXPECT_EQ(cut, 1);
    close(slow);
    EXPECT_NE(test_log_text().find("httpd: closed 1 upload(s) slower than 8192 bytes/s"), std::string::npos);

    // 40 KB/s for about 3 s against a 2 s deadline.
    int steady = web_connect(port);
    ASSERT_GE(steady, 0);
    ASSERT_TRUE(web_send_all(steady, head));
    bool closed = false;
    std::string chunk(4000, 'z');
    for (int i = 0; i < 29 && !closed; i++) {   // the body never completes
        guard_sweep();
        pollfd p = {steady, POLLIN, 0};
        char b;
        closed = (poll(&p, 1, 0) > 0 && recv(steady, &b, 1, MSG_DONTWAIT) <= 0) || !web_send_all(steady, chunk);
        usleep(100000);
    }
    EXPECT_FALSE(closed);
    close(steady);
}

// --- writes to flash by clients without credentials -------------------------------------------------

class GuardFlash : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform_init();
        ASSERT_EQ(mtd_open(), 0);
        ASSERT_EQ(mtd_erase_block(ACCESS_LOG_OFFSET, 2 * ACCESS_LOG_PAGE_SIZE), 0);
        access_log_scan();
        guard_reset();
    }
    std::string listing()
    {
        char *text = get_user_data_log(100, 0x7fffffff);
        std::string s = text ? text : "";
        free(text);
        return s;
    }
};

TEST_F(GuardFlash, RecordsWithoutAUserComeAFewAMinuteAndTheHeldAreCountedInTime)
{
    for (int i = 0; i < 4400; i++)
        EXPECT_EQ(guard_access_log_add_at(1000 + i, ACCESS_LOG_CAT_USER, nullptr, ACCESS_EVENT_USER_CREATED), 0);
    EXPECT_EQ(access_log_current_index(), GUARD_ANON_RECORDS);
    // A user's records are not held back by those without one.
    EXPECT_EQ(guard_access_log_add_at(2000, ACCESS_LOG_CAT_LOGIN, "admin", ACCESS_EVENT_LOGIN), 0);
    EXPECT_EQ(access_log_current_index(), GUARD_ANON_RECORDS + 1);
    // A minute after the first held, its count goes to flash though no record follows.
    guard_access_log_tick_at(1000 + GUARD_ANON_RECORDS + GUARD_ANON_PERIOD_MS - 1);
    EXPECT_EQ(access_log_current_index(), GUARD_ANON_RECORDS + 1);
    guard_access_log_tick_at(1000 + GUARD_ANON_RECORDS + GUARD_ANON_PERIOD_MS);
    EXPECT_EQ(access_log_current_index(), GUARD_ANON_RECORDS + 2);
    std::string log = listing();
    EXPECT_EQ(log.find("Guest               USER CREATED (4397 repeats held back)\n"), 25u) << log;
    EXPECT_EQ(test_count(log, "Guest               USER CREATED\n"), (size_t)GUARD_ANON_RECORDS);
    guard_access_log_tick_at(1000 + 10 * GUARD_ANON_PERIOD_MS);   // written once
    EXPECT_EQ(access_log_current_index(), GUARD_ANON_RECORDS + 2);
}

// An Admin's actions within a minute are all written; only a user's repeated logins and
// logouts are held back: 10,000 of them cost a record of each and a count of each, no erase
// (flash steps are counted by the power-cut hook: a record is one program step, an erase 16).
TEST_F(GuardFlash, ActionsAreAllWrittenAndOnlyRepeatedLoginsAreCounted)
{
    const int64_t t = 500;
    EXPECT_EQ(guard_access_log_add_at(t, ACCESS_LOG_CAT_LOGIN, "admin", ACCESS_EVENT_LOGIN), 0);
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(guard_access_log_add_at(t + 10 + i, ACCESS_LOG_CAT_USER, "admin", ACCESS_EVENT_USER_CREATED), 0);
    EXPECT_EQ(guard_access_log_add_at(t + 20, ACCESS_LOG_CAT_LOGIN, "admin", ACCESS_EVENT_LOGOUT), 0);
    EXPECT_EQ(access_log_current_index(), 6);
    std::string log = listing();
    EXPECT_EQ(test_count(log, "admin               USER CREATED\n"), 4u) << log;
    EXPECT_EQ(log.find("admin               LOGOUT\n"), 25u) << log;

    const long steps = 1000000;
    platform_flash_cut_after(steps);
    for (int i = 0; i < 10000; i++) {
        EXPECT_EQ(guard_access_log_add_at(1000 + i * 3, ACCESS_LOG_CAT_LOGIN, "viewer",
                                          i % 2 ? ACCESS_EVENT_LOGOUT : ACCESS_EVENT_LOGIN), 0);
        guard_access_log_tick_at(1000 + i * 3);
    }
    EXPECT_EQ(steps - platform_flash_cut_remaining(), 2);
    // Another user's records pass meanwhile; the admin's next login is no repeat a minute on.
    EXPECT_EQ(guard_access_log_add_at(31000, ACCESS_LOG_CAT_LOGIN, "cfg", ACCESS_EVENT_LOGIN), 0);
    EXPECT_EQ(guard_access_log_add_at(t + GUARD_REPEAT_PERIOD_MS, ACCESS_LOG_CAT_LOGIN, "admin", ACCESS_EVENT_LOGIN), 0);
    EXPECT_EQ(access_log_current_index(), 10);
    // The counts come due a minute after each kind's record, with no record after them.
    guard_access_log_tick_at(1000 + GUARD_REPEAT_PERIOD_MS);
    guard_access_log_tick_at(1003 + GUARD_REPEAT_PERIOD_MS);
    long used = steps - platform_flash_cut_remaining();
    platform_flash_cut_after(-1);
    EXPECT_EQ(used, 6);   // no erase
    log = listing();
    EXPECT_EQ(log.find("viewer              LOGOUT (4999 repeats held back)\n"), 25u) << log;
    EXPECT_NE(log.find("viewer              LOGIN (4999 repeats held back)\n"), std::string::npos) << log;
    EXPECT_EQ(test_count(log, "viewer "), 4u) << log;
    // Logged once per run of repeats, not per record.
    EXPECT_EQ(test_count(test_log_text(), "records of user viewer come too fast"), 2u);
}

// A count held for a kind whose slot is taken by another goes to flash at once, not with it.
TEST_F(GuardFlash, ASlotGivingWayWritesItsCount)
{
    ASSERT_EQ(guard_access_log_add_at(1000, ACCESS_LOG_CAT_LOGIN, "first", ACCESS_EVENT_LOGIN), 0);
    for (int i = 0; i < 7; i++)
        ASSERT_EQ(guard_access_log_add_at(1001 + i, ACCESS_LOG_CAT_LOGIN, "first", ACCESS_EVENT_LOGIN), 0);
    for (int i = 0; i < GUARD_RECORD_SLOTS; i++)
        ASSERT_EQ(guard_access_log_add_at(2000 + i, ACCESS_LOG_CAT_LOGIN, ("u" + std::to_string(i)).c_str(),
                                          ACCESS_EVENT_LOGOUT), 0);
    EXPECT_EQ(access_log_current_index(), 2 + GUARD_RECORD_SLOTS);
    guard_access_log_flush();
    EXPECT_NE(listing().find("first               LOGIN (7 repeats held back)\n"), std::string::npos) << listing();
}

// Clearing erases only what holds records, and at most a few times an hour whoever asks.
TEST_F(GuardFlash, ClearsEraseOnlyWhatHoldsRecordsAndAFewTimesAnHour)
{
    const long steps = 1000000;
    platform_flash_cut_after(steps);
    for (int i = 0; i < 300; i++)
        ASSERT_EQ(guard_access_log_clear_at(1000 + i, nullptr), 0);
    EXPECT_EQ(steps - platform_flash_cut_remaining(), 0) << "a blank log is not erased";
    int64_t t = 2000;
    int refused = 0, wait_min = 0;
    for (int i = 0; i < 300; i++, t += 1000) {
        ASSERT_EQ(access_log_add(ACCESS_LOG_CAT_LOGIN, "admin", ACCESS_EVENT_LOGIN), 0);
        int rc = guard_access_log_clear_at(t, &wait_min);
        ASSERT_TRUE(rc == 0 || rc == 1) << rc;
        refused += rc;
    }
    long used = steps - platform_flash_cut_remaining();
    // A record each, and for each clear that erased one block of 16 steps.
    EXPECT_EQ(used, 300 + GUARD_CLEARS * 16);
    EXPECT_EQ(refused, 300 - GUARD_CLEARS);
    EXPECT_EQ(wait_min, 56);   // the first clear at 2 s, the last refused at 301 s
    EXPECT_FALSE(listing().empty());
    // An hour after the first, the log may be cleared again.
    EXPECT_EQ(guard_access_log_clear_at(2000 + GUARD_CLEAR_PERIOD_MS, nullptr), 0);
    platform_flash_cut_after(-1);
    EXPECT_TRUE(listing().empty());
}
