// Transport-stream packets as a bench client receives them: continuity-counter gaps per PID and
// the starts of video PES packets (one per picture), shared by the HTTP and RTSP clients.
#pragma once

#include <algorithm>
#include <cstdint>
#include <iterator>

struct TsCheck {
    int lastCc[8192];
    int videoPid = -1;
    uint64_t ccGaps = 0, badSync = 0, packets = 0;
    TsCheck() { std::fill(std::begin(lastCc), std::end(lastCc), -1); }
};

// One 188-byte packet: false when it does not begin with the sync byte. A video PES start sets
// *pts to its PTS (or -1 without one) and *picture.
inline bool ts_check_packet(TsCheck &c, const uint8_t *k, bool *picture, int64_t *pts)
{
    *picture = false;
    *pts = -1;
    if (k[0] != 0x47) {
        c.badSync++;
        return false;
    }
    c.packets++;
    int pid = ((k[1] & 0x1f) << 8) | k[2];
    bool pusi = k[1] & 0x40;
    bool payload = k[3] & 0x10;
    int cc = k[3] & 0x0f;
    if (payload && pid != 0x1fff) {
        if (c.lastCc[pid] >= 0 && cc != ((c.lastCc[pid] + 1) & 15))
            c.ccGaps++;
        c.lastCc[pid] = cc;
    }
    if (!pusi || !payload)
        return true;
    unsigned off = 4;
    if (k[3] & 0x20)
        off += 1 + k[4];
    // A PES start with a video stream id (0xE0..0xEF).
    if (off + 4 > 188 || k[off] != 0 || k[off + 1] != 0 || k[off + 2] != 1 || (k[off + 3] & 0xf0) != 0xe0)
        return true;
    if (c.videoPid < 0)
        c.videoPid = pid;
    if (pid != c.videoPid)
        return true;
    *picture = true;
    const uint8_t *h = k + off;
    if (off + 14 <= 188 && (h[7] & 0x80))
        *pts = (int64_t)(((uint64_t)(h[9] & 0x0e) << 29) | ((uint64_t)h[10] << 22) | ((uint64_t)(h[11] & 0xfe) << 14) |
                         ((uint64_t)h[12] << 7) | (h[13] >> 1));
    return true;
}
