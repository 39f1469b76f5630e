#include "rtsp/RTSPMessage.h"

#include <cctype>
#include <cstring>
#include <strings.h>

static std::string trim(const std::string &s)
{
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t'))
        b++;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r'))
        e--;
    return s.substr(b, e - b);
}

static bool is_token(const std::string &s)
{
    if (s.empty())
        return false;
    for (unsigned char c : s)
        if (c <= ' ' || c >= 127)
            return false;
    return true;
}

int rtsp_parse_request(const char *buf, size_t len, RTSPRequest &req)
{
    // Find the blank line that ends the headers; accept bare LF line ends as well.
    size_t end = 0, bodyStart = 0;
    bool found = false;
    for (size_t i = 0; i < len; i++) {
        if (buf[i] != '\n')
            continue;
        if (i + 1 < len && buf[i + 1] == '\n') {
            end = i + 1, bodyStart = i + 2, found = true;
            break;
        }
        if (i + 2 < len && buf[i + 1] == '\r' && buf[i + 2] == '\n') {
            end = i + 1, bodyStart = i + 3, found = true;
            break;
        }
    }
    if (!found)
        return len >= RTSP_MAX_REQUEST_SIZE ? RTSP_PARSE_TOO_BIG : RTSP_PARSE_INCOMPLETE;
    if (bodyStart > RTSP_MAX_REQUEST_SIZE)
        return RTSP_PARSE_TOO_BIG;

    req = RTSPRequest();
    size_t pos = 0;
    bool first = true;
    size_t contentLength = 0;
    while (pos < end) {
        const char *nl = (const char *)memchr(buf + pos, '\n', end - pos);
        size_t lineEnd = nl ? (size_t)(nl - buf) : end;
        std::string line(buf + pos, lineEnd - pos);
        pos = lineEnd + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        for (unsigned char c : line)
            if (c == 0)
                return RTSP_PARSE_BAD;
        if (first) {
            first = false;
            size_t a = line.find(' ');
            size_t b = a == std::string::npos ? a : line.find(' ', a + 1);
            if (b == std::string::npos)
                return RTSP_PARSE_BAD;
            req.method = line.substr(0, a);
            req.url = line.substr(a + 1, b - a - 1);
            req.version = trim(line.substr(b + 1));
            if (!is_token(req.method) || !is_token(req.url) || req.version.compare(0, 5, "RTSP/") != 0)
                return RTSP_PARSE_BAD;
            for (unsigned char c : req.method)
                if (!isupper(c) && c != '_')
                    return RTSP_PARSE_BAD;
            continue;
        }
        if (line.empty())
            continue;
        size_t colon = line.find(':');
        if (colon == std::string::npos || colon == 0)
            return RTSP_PARSE_BAD;
        std::string name = trim(line.substr(0, colon));
        std::string value = trim(line.substr(colon + 1));
        if (strcasecmp(name.c_str(), "CSeq") == 0) {
            if (value.empty() || value.size() > 10 || value.find_first_not_of("0123456789") != std::string::npos)
                return RTSP_PARSE_BAD;
            req.hasCSeq = true;
            req.cseq = value;
        } else if (strcasecmp(name.c_str(), "Session") == 0) {
            req.session = trim(value.substr(0, value.find(';')));
        } else if (strcasecmp(name.c_str(), "Transport") == 0) {
            req.transport = value;
        } else if (strcasecmp(name.c_str(), "Authorization") == 0) {
            req.authorization = value;
        } else if (strcasecmp(name.c_str(), "Content-Length") == 0) {
            if (value.empty() || value.size() > 6 || value.find_first_not_of("0123456789") != std::string::npos)
                return RTSP_PARSE_BAD;
            contentLength = (size_t)atol(value.c_str());
        }
    }
    if (first)
        return RTSP_PARSE_BAD;
    if (bodyStart + contentLength > RTSP_MAX_REQUEST_SIZE)
        return RTSP_PARSE_TOO_BIG;
    if (len < bodyStart + contentLength)
        return RTSP_PARSE_INCOMPLETE;
    req.totalSize = bodyStart + contentLength;
    return RTSP_PARSE_OK;
}

static bool parse_pair(const std::string &v, unsigned &a, unsigned &b, bool &hasB)
{
    char *endp;
    const char *s = v.c_str();
    if (!isdigit((unsigned char)*s))
        return false;
    unsigned long x = strtoul(s, &endp, 10);
    if (x > 65535)
        return false;
    a = (unsigned)x;
    hasB = false;
    if (*endp == '-') {
        s = endp + 1;
        if (!isdigit((unsigned char)*s))
            return false;
        unsigned long y = strtoul(s, &endp, 10);
        if (y > 65535)
            return false;
        b = (unsigned)y;
        hasB = true;
    }
    return *endp == 0;
}

static bool parse_one_transport(const std::string &spec, RTSPTransport &t)
{
    t = RTSPTransport();
    size_t pos = 0;
    bool firstField = true;
    while (pos <= spec.size()) {
        size_t semi = spec.find(';', pos);
        if (semi == std::string::npos)
            semi = spec.size();
        std::string field = trim(spec.substr(pos, semi - pos));
        pos = semi + 1;
        if (firstField) {
            firstField = false;
            if (strcasecmp(field.c_str(), "RTP/AVP") == 0 || strcasecmp(field.c_str(), "RTP/AVP/UDP") == 0)
                t.tcp = false;
            else if (strcasecmp(field.c_str(), "RTP/AVP/TCP") == 0)
                t.tcp = true;
            else
                return false;
            continue;
        }
        if (strcasecmp(field.c_str(), "multicast") == 0) {
            t.multicast = true;
        } else if (strcasecmp(field.c_str(), "unicast") == 0) {
            t.multicast = false;
        } else if (strncasecmp(field.c_str(), "client_port=", 12) == 0) {
            unsigned a, b = 0;
            bool hasB;
            if (!parse_pair(field.substr(12), a, b, hasB) || a == 0)
                return false;
            t.hasClientPort = true;
            t.clientRTPPort = (uint16_t)a;
            t.clientRTCPPort = (uint16_t)(hasB ? b : a + 1);
        } else if (strncasecmp(field.c_str(), "interleaved=", 12) == 0) {
            unsigned a, b = 0;
            bool hasB;
            if (!parse_pair(field.substr(12), a, b, hasB) || a > 255 || (hasB && b > 255))
                return false;
            t.hasInterleaved = true;
            t.rtpChannel = (uint8_t)a;
            t.rtcpChannel = (uint8_t)(hasB ? b : (a + 1) & 0xff);
        }
        // Other parameters (destination, ttl, mode, ssrc) are not honoured: RTP only ever goes
        // back to the address the request came from.
    }
    if (!t.tcp && !t.multicast && !t.hasClientPort)
        return false;
    return true;
}

bool rtsp_parse_transport(const std::string &value, RTSPTransport &t)
{
    if (value.size() > 1024)
        return false;
    size_t pos = 0;
    while (pos <= value.size()) {
        size_t comma = value.find(',', pos);
        if (comma == std::string::npos)
            comma = value.size();
        if (parse_one_transport(value.substr(pos, comma - pos), t))
            return true;
        pos = comma + 1;
    }
    return false;
}

bool rtsp_parse_digest(const std::string &value, std::map<std::string, std::string> &params)
{
    params.clear();
    if (strncasecmp(value.c_str(), "Digest ", 7) != 0 || value.size() > 2048)
        return false;
    size_t i = 7, n = value.size();
    while (i < n) {
        while (i < n && (value[i] == ' ' || value[i] == ',' || value[i] == '\t'))
            i++;
        size_t keyStart = i;
        while (i < n && value[i] != '=' && value[i] != ',' && value[i] != ' ')
            i++;
        std::string key = value.substr(keyStart, i - keyStart);
        for (auto &c : key)
            c = (char)tolower((unsigned char)c);
        if (i >= n || value[i] != '=') {
            if (key.empty())
                break;
            return false;
        }
        i++;
        std::string v;
        if (i < n && value[i] == '"') {
            i++;
            while (i < n && value[i] != '"') {
                if (value[i] == '\\' && i + 1 < n)
                    i++;
                v += value[i++];
            }
            if (i >= n)
                return false;   // unterminated quote
            i++;
        } else {
            size_t vs = i;
            while (i < n && value[i] != ',' && value[i] != ' ')
                i++;
            v = value.substr(vs, i - vs);
        }
        if (!key.empty())
            params[key] = v;
    }
    return true;
}

std::string rtsp_url_path(const std::string &url)
{
    size_t p = 0;
    if (strncasecmp(url.c_str(), "rtsp://", 7) == 0 || strncasecmp(url.c_str(), "rtspu://", 8) == 0) {
        p = url.find("//") + 2;
        p = url.find('/', p);
        if (p == std::string::npos)
            return "";
    }
    while (p < url.size() && url[p] == '/')
        p++;
    std::string path = url.substr(p);
    size_t q = path.find('?');
    if (q != std::string::npos)
        path.resize(q);
    while (!path.empty() && path.back() == '/')
        path.pop_back();
    return path;
}
