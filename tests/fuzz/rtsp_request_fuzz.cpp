// Feeds arbitrary bytes to everything the RTSP server parses from a client: the request, the
// Transport and Authorization headers, the URL, and RTCP packets.
#include <cstddef>
#include <cstdint>
#include <string>

#include "rtsp/RTCP.h"
#include "rtsp/RTSPMessage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const char *text = (const char *)data;
    RTSPRequest req;
    // Every prefix, as a request arrives in pieces.
    size_t step = size > 64 ? size / 16 : 1;
    for (size_t n = 0; n <= size; n += step) {
        int r = rtsp_parse_request(text, n, req);
        if (r == RTSP_PARSE_OK) {
            if (req.totalSize > n || req.totalSize == 0)
                __builtin_trap();   // a parsed request must lie within what was given
            RTSPTransport t;
            rtsp_parse_transport(req.transport, t);
            std::map<std::string, std::string> p;
            rtsp_parse_digest(req.authorization, p);
            rtsp_url_path(req.url);
        }
    }
    std::string all(text, size);
    RTSPTransport t;
    rtsp_parse_transport(all, t);
    std::map<std::string, std::string> p;
    rtsp_parse_digest(all, p);
    rtsp_url_path(all);
    bool bye;
    RTCPInstance::parseCompound(data, (unsigned)size, &bye);
    return 0;
}
