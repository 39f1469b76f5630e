// Feeds arbitrary bytes to one RTMP session's parser in reads of varying size: chunk headers,
// reassembly, AMF0 and the command handler must stay inside their buffers and free what they
// took. Replies go to a socket whose peer has gone, as they do for a vanished player.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sys/socket.h>
#include <unistd.h>

#include "streaming/rtmp.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0)
        return 0;
    close(sv[1]);
    RtmpConnection *c = static_cast<RtmpConnection *>(malloc(sizeof(RtmpConnection)));
    rtmp_connection_init(c, sv[0]);
    // The first byte picks the read size, so splits land everywhere.
    size_t piece = 1 + data[0] % 97 * 23;
    data++;
    size--;
    while (size > 0) {
        size_t n = size < piece ? size : piece;
        if (rtmp_feed(c, data, n) < 0)
            break;
        data += n;
        size -= n;
    }
    rtmp_connection_free(c);
    free(c);
    close(sv[0]);
    return 0;
}
