// Requests with arbitrary credentials, cookies, query texts and form bodies against the web
// server: the digest, basic and cookie parsing, the login pages and the form handling, with
// urlencoded and multipart bodies whose parts may have no name.
#include "core/param_commit.h"
#include "web/auth.h"
#include "web/httpd.h"

#include <arpa/inet.h>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

std::string store = "2000000";

int fz_get(const char *name, char *buf, size_t size)
{
    return strcmp(name, "Video[0].BitRate") == 0 ? snprintf(buf, size, "%s", store.c_str()) : -1;
}
const char *fz_set(const char *name, const char *text, size_t length)
{
    if (strcmp(name, "Video[0].BitRate") != 0)
        return "No such parameter";
    store.assign(text, length);
    return nullptr;
}
int fz_read(const char *name, int level)
{
    return strcmp(name, "Video[0].BitRate") == 0 ? level >= 1 : -1;
}
int fz_write(const char *name, int level)
{
    return strcmp(name, "Video[0].BitRate") == 0 ? level >= 4 && level != 6 : -1;
}
const char *fz_password(const char *user)
{
    return strcmp(user, "admin") == 0 ? "pw" : nullptr;
}
int fz_level(const char *user)
{
    return !user || !*user ? 1 : strcmp(user, "admin") == 0 ? 5 : 0;
}
int fz_save()
{
    return 0;
}
const ParamAccess fz_access = {fz_get, fz_set, fz_read, fz_write, fz_password, fz_level, fz_save,
                               nullptr, nullptr, nullptr, nullptr};

const char *const paths[] = {"/", "/login.htm", "/logout.htm", "/controls", "/auth_controls",
                             "/streamA_controls", "/streamA_controls_no_save", "/clear_log",
                             "/Video[0].BitRate", "/log.txt", "/redirect", "/nowhere",
                             "/udpA_controls", "/firmware", "/load_default_params", "/streamA.h264"};

// Parts separated by 0xfe; a part whose first byte is odd has a name (up to '='), else none.
std::string multipart_body(const std::string &spec)
{
    std::string body;
    size_t start = 0;
    while (start <= spec.size()) {
        size_t end = spec.find('\xfe', start);
        if (end == std::string::npos)
            end = spec.size();
        std::string piece = spec.substr(start, end - start);
        start = end + 1;
        body += "--XyZ\r\nContent-Disposition: form-data";
        if (!piece.empty() && (piece[0] & 1)) {
            size_t eq = piece.find('=');
            std::string name = piece.substr(1, eq == std::string::npos ? std::string::npos : eq - 1);
            body += "; name=\"" + name + "\"";
            piece = eq == std::string::npos ? "" : piece.substr(eq + 1);
        } else if (!piece.empty()) {
            piece = piece.substr(1);
        }
        body += "\r\n\r\n" + piece + "\r\n";
    }
    return body + "--XyZ--\r\n";
}

uint16_t server_port()
{
    static uint16_t port = [] {
        param_access_install(&fz_access);
        httpd_start(0, nullptr);
        return httpd_port();
    }();
    return port;
}

std::string clean(const uint8_t *p, size_t n)
{
    std::string s;
    for (size_t i = 0; i < n; i++)
        if (p[i] != '\r' && p[i] != '\n' && p[i] != 0)
            s += (char)p[i];
    return s;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    uint16_t port = server_port();
    std::string path = paths[data[0] % (sizeof paths / sizeof paths[0])];
    bool post = data[1] & 1;
    bool multipart = data[1] & 2;
    bool raw_multipart = data[1] & 4;   // the fuzzer writes the multipart text itself
    // The rest: Authorization, Cookie, query, body; separated by 0xff bytes.
    std::string parts[4];
    size_t part = 0, start = 2;
    for (size_t i = 2; i <= size && part < 4; i++) {
        if (i == size || data[i] == 0xff) {
            parts[part++] = part < 3 ? clean(data + start, i - start) : std::string((const char *)data + start, i - start);
            start = i + 1;
        }
    }
    std::string q;
    for (char c : parts[2])
        if (c != ' ' && c != '#')
            q += c;
    std::string req = std::string(post ? "POST " : "GET ") + path + (q.empty() ? "" : "?" + q) +
                      " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n";
    if (!parts[0].empty())
        req += "Authorization: " + parts[0] + "\r\n";
    if (!parts[1].empty())
        req += "Cookie: " + parts[1] + "\r\n";
    std::string body = parts[3];
    if (post && multipart && !raw_multipart)
        body = multipart_body(parts[3]);
    if (post)
        req += std::string("Content-Type: ") +
               (multipart ? "multipart/form-data; boundary=XyZ" : "application/x-www-form-urlencoded") +
               "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
    req += "\r\n" + (post ? body : "");

    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) {
        send(fd, req.data(), req.size(), MSG_NOSIGNAL);
        char buf[4096];
        for (;;) {
            pollfd p = {fd, POLLIN, 0};
            if (poll(&p, 1, 2000) <= 0 || recv(fd, buf, sizeof buf, 0) <= 0)
                break;
        }
    }
    close(fd);
    return 0;
}
