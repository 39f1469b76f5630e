// Parsing of RTSP requests (RFC 2326) and of the Transport and Authorization headers. Pure
// functions over bytes, so the fuzz target can drive them without sockets.
#pragma once
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

enum { RTSP_MAX_REQUEST_SIZE = 8192 };   // request line, headers and body together
enum { RTSP_PARSE_INCOMPLETE = 0, RTSP_PARSE_OK = 1, RTSP_PARSE_BAD = -1, RTSP_PARSE_TOO_BIG = -2 };

struct RTSPRequest {
    std::string method, url, version;
    bool hasCSeq = false;
    std::string cseq;
    std::string session;          // without ";timeout=..."
    std::string transport;
    std::string authorization;
    size_t totalSize = 0;         // bytes of the request including its body
};

// Parses one request at the start of buf. OK fills req; INCOMPLETE wants more bytes; BAD and
// TOO_BIG are not recoverable on this connection.
int rtsp_parse_request(const char *buf, size_t len, RTSPRequest &req);

struct RTSPTransport {
    bool tcp = false;             // RTP/AVP/TCP
    bool multicast = false;
    bool hasClientPort = false;
    uint16_t clientRTPPort = 0, clientRTCPPort = 0;
    bool hasInterleaved = false;
    uint8_t rtpChannel = 0, rtcpChannel = 1;
};

// Picks the first usable alternative of a Transport header; false when none is.
bool rtsp_parse_transport(const std::string &value, RTSPTransport &t);

// Splits 'Digest k="v", k2=v2' into lower-case keys and values; false when not a Digest header.
bool rtsp_parse_digest(const std::string &value, std::map<std::string, std::string> &params);

// The path of an rtsp:// URL without scheme, authority and leading '/', e.g. "streamA.h264/track1".
std::string rtsp_url_path(const std::string &url);
