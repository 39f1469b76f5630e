// A small HTTP/1.1 client over a plain socket for the web server's tests: one request per
// connection, bounded waits, digest and basic answers.
#pragma once
#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <map>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

extern "C" {
#include <libavutil/base64.h>
#include <libavutil/md5.h>
}

struct WebReply {
    int status = 0;                             // 0: closed without an answer
    std::map<std::string, std::string> headers; // names in lower case
    std::string body;
    std::string header(const std::string &name) const
    {
        auto it = headers.find(name);
        return it == headers.end() ? "" : it->second;
    }
};

// `from` picks the client's loopback address (127.0.0.x), so a test can be two browsers.
inline int web_connect(uint16_t port, const char *from = nullptr)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (from) {
        sockaddr_in src = {};
        src.sin_family = AF_INET;
        inet_pton(AF_INET, from, &src.sin_addr);
        if (bind(fd, reinterpret_cast<sockaddr *>(&src), sizeof src) != 0) {
            close(fd);
            return -1;
        }
    }
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

inline bool web_send_all(int fd, const std::string &data)
{
    size_t off = 0;
    while (off < data.size()) {
        ssize_t n = send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        off += (size_t)n;
    }
    return true;
}

inline WebReply web_read_reply(int fd)
{
    std::string raw;
    char buf[4096];
    for (;;) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 10000) <= 0)
            break;
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            break;
        raw.append(buf, (size_t)n);
    }
    WebReply r;
    size_t end = raw.find("\r\n\r\n");
    if (raw.compare(0, 5, "HTTP/") != 0 || end == std::string::npos)
        return r;
    r.status = atoi(raw.c_str() + 9);
    size_t pos = raw.find("\r\n") + 2;
    while (pos < end) {
        size_t eol = raw.find("\r\n", pos);
        std::string line = raw.substr(pos, eol - pos);
        size_t colon = line.find(':');
        if (colon != std::string::npos) {
            std::string name = line.substr(0, colon);
            for (char &c : name)
                c = (char)tolower((unsigned char)c);
            size_t v = line.find_first_not_of(' ', colon + 1);
            r.headers[name] = v == std::string::npos ? "" : line.substr(v);
        }
        pos = eol + 2;
    }
    r.body = raw.substr(end + 4);
    return r;
}

inline WebReply web_request(uint16_t port, const std::string &method, const std::string &path,
                            const std::vector<std::string> &headers = {}, const std::string &body = "",
                            const char *from = nullptr)
{
    int fd = web_connect(port, from);
    if (fd < 0)
        return {};
    std::string req = method + " " + path + " HTTP/1.1\r\nConnection: close\r\n";
    bool host = false;
    for (const auto &h : headers) {
        req += h + "\r\n";
        host |= h.compare(0, 5, "Host:") == 0;
    }
    if (!host)
        req += "Host: 127.0.0.1\r\n";
    if (method == "POST")
        req += "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " + std::to_string(body.size()) +
               "\r\n";
    req += "\r\n" + body;
    web_send_all(fd, req);
    WebReply r = web_read_reply(fd);
    close(fd);
    return r;
}

inline std::string web_basic(const std::string &user, const std::string &pass)
{
    std::string plain = user + ":" + pass;
    char out[256];
    av_base64_encode(out, sizeof out, reinterpret_cast<const uint8_t *>(plain.data()), (int)plain.size());
    return std::string("Authorization: Basic ") + out;
}

inline std::string web_md5(const std::string &s)
{
    uint8_t d[16];
    av_md5_sum(d, reinterpret_cast<const uint8_t *>(s.data()), (int)s.size());
    char hex[33];
    for (int i = 0; i < 16; i++)
        snprintf(hex + 2 * i, 3, "%02x", d[i]);
    return hex;
}

inline std::string web_param(const std::string &challenge, const std::string &key)
{
    size_t p = challenge.find(key + "=\"");
    if (p == std::string::npos)
        return "";
    p += key.size() + 2;
    return challenge.substr(p, challenge.find('"', p) - p);
}

// The Authorization header answering a digest challenge for a GET of `uri`.
inline std::string web_digest(const std::string &challenge, const std::string &user, const std::string &pass,
                              const std::string &uri, const std::string &nonce_override = "", int count = 1)
{
    std::string realm = web_param(challenge, "realm");
    std::string nonce = nonce_override.empty() ? web_param(challenge, "nonce") : nonce_override;
    std::string opaque = web_param(challenge, "opaque");
    char ncbuf[9];
    snprintf(ncbuf, sizeof ncbuf, "%08x", count);
    std::string nc = ncbuf, cnonce = "0a4f113b";
    std::string ha1 = web_md5(user + ":" + realm + ":" + pass), ha2 = web_md5("GET:" + uri);
    std::string response = web_md5(ha1 + ":" + nonce + ":" + nc + ":" + cnonce + ":auth:" + ha2);
    return "Authorization: Digest username=\"" + user + "\", realm=\"" + realm + "\", nonce=\"" + nonce +
           "\", uri=\"" + uri + "\", qop=auth, nc=" + nc + ", cnonce=\"" + cnonce + "\", response=\"" + response +
           "\", opaque=\"" + opaque + "\"";
}

// A settings table standing in for the parameter table: values with read and write levels, and
// the users.
#include "core/param_commit.h"

struct FakeParam {
    std::string value;
    int read, write;
};
struct FakeUser {
    std::string password;
    int level;
};
inline std::map<std::string, FakeParam> fake_params;
inline std::map<std::string, FakeUser> fake_users;
inline int fake_guest_level = 5;
inline int fake_saves;

inline int fake_param_get(const char *name, char *buf, size_t size)
{
    auto it = fake_params.find(name);
    return it == fake_params.end() ? -1 : snprintf(buf, size, "%s", it->second.value.c_str());
}
inline const char *fake_param_set(const char *name, const char *text, size_t length)
{
    auto it = fake_params.find(name);
    if (it == fake_params.end())
        return "No such parameter";
    it->second.value.assign(text, length);
    return nullptr;
}
inline int fake_read_allowed(const char *name, int level)
{
    auto it = fake_params.find(name);
    return it == fake_params.end() ? -1 : level >= it->second.read;
}
inline int fake_write_allowed(const char *name, int level)
{
    auto it = fake_params.find(name);
    return it == fake_params.end() ? -1 : level != 6 && level >= it->second.write;
}
inline const char *fake_user_password(const char *user)
{
    auto it = fake_users.find(user);
    return it == fake_users.end() ? nullptr : it->second.password.c_str();
}
inline int fake_user_level(const char *user)
{
    if (!user || !*user)
        return fake_guest_level;
    auto it = fake_users.find(user);
    return it == fake_users.end() ? 0 : it->second.level;
}
inline int fake_save()
{
    fake_saves++;
    return 0;
}
inline const char *fake_row_name(int index)
{
    auto it = fake_params.begin();
    for (int i = 0; i < index && it != fake_params.end(); i++)
        ++it;
    return it == fake_params.end() ? nullptr : it->first.c_str();
}
inline const ParamAccess fake_access = {fake_param_get,     fake_param_set,  fake_read_allowed, fake_write_allowed,
                                        fake_user_password, fake_user_level, fake_save,         nullptr,
                                        fake_row_name,      nullptr,         nullptr};

inline void fake_settings_reset()
{
    fake_params = {
        {"Video[0].BitRate", {"2000000", 1, 4}}, {"Video[1].BitRate", {"1000000", 1, 4}},
        {"Capture.Hue", {"0", 1, 2}},            {"Display.Standard", {"5", 1, 4}},
        {"UDP[0].Port", {"5000", 1, 4}},         {"UDP[1].Port", {"5002", 1, 4}},
        {"GuestPermission", {"5", 5, 5}},        {"Status", {"ok", 0, 7}},
        // The named Admin that makes the device no longer open.
        {"User[0].Name", {"admin", 5, 5}},       {"User[0].Permission", {"5", 5, 5}},
    };
    fake_users = {{"admin", {"adminpw", 5}}, {"cfg", {"cfgpw", 4}}, {"ctl", {"ctlpw", 3}},
                  {"view", {"viewpw", 1}},   {"demo", {"demopw", 6}}};
    fake_guest_level = 5;
    fake_saves = 0;
    param_access_install(&fake_access);
}

// The web server on a free port over the fake settings, for the tests of its modules; `handler`
// null answers every request as the device does.
#include "core/mtd.h"
#include "core/param.h"
#include "platform/platform.h"
#include "web/auth.h"
#include "web/httpd.h"
#include <gtest/gtest.h>

// Platform, settings and users as on a fresh device; the settings block is loaded once a program.
inline void web_test_fresh_device()
{
    platform_init();
    static bool loaded = (mtd_open(), init_param(&param_block), true);
    (void)loaded;
    fake_settings_reset();
    auth_reset();
}

class WebServerTest : public ::testing::Test {
protected:
    explicit WebServerTest(MHD_AccessHandlerCallback handler = nullptr) : handler_(handler) {}
    void SetUp() override
    {
        web_test_fresh_device();
        httpd_no_save = 0;
        ASSERT_EQ(httpd_start(0, handler_), 0);
        port = httpd_port();
        ASSERT_NE(port, 0);
    }
    void TearDown() override
    {
        httpd_stop();
        param_access_install(nullptr);
    }
    WebReply get(const std::string &path, const std::vector<std::string> &h = {})
    {
        return web_request(port, "GET", path, h);
    }
    WebReply post(const std::string &path, const std::string &body, std::vector<std::string> h = {})
    {
        h.push_back("Referer: /back.htm");
        return web_request(port, "POST", path, h, body);
    }
    MHD_AccessHandlerCallback handler_;
    uint16_t port = 0;
};
