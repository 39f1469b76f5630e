// Any OSD settings (position, font, style, formats, a message of any bytes) on any small frame
// geometry in luma or UYVY: drawing stays inside a buffer of exactly the frame's size and the
// reported box lies inside the frame.
#include "core/param.h"
#include "video/osd.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 12)
        return 0;
    static ParamBlock *block = static_cast<ParamBlock *>(calloc(1, sizeof(ParamBlock)));
    osd_init(block);
    OsdSettings &s = block->Video[1].OSD;
    s.Enabled = data[0] % 4;
    s.Transparent = data[1];
    s.DateFormat = data[2];
    s.TimeFormat = data[3];
    int32_t x, y;
    memcpy(&x, data + 4, 2);
    memcpy(&y, data + 6, 2);
    s.X = (uint32_t)(int16_t)x;
    s.Y = (uint32_t)(int16_t)y;
    bool uyvy = data[8] & 1;
    uint32_t w = 1 + data[9] * 3u, h = 1 + data[10];
    uint32_t line = (uyvy ? 2 * w : w) + (data[11] & 3);
    size_t n = size - 12 < sizeof s.Message ? size - 12 : sizeof s.Message;
    memcpy(s.Message, data + 12, n);
    if (n < sizeof s.Message)
        s.Message[n] = 0;
    Buffer_Attrs a = BufferGfx_Attrs_DEFAULT;
    a.colorSpace = uyvy ? ColorSpace_UYVY : ColorSpace_GRAY;
    Buffer_Handle frame = Buffer_create((size_t)line * h, &a);
    osd_set_frame_size(1, w, h, a.colorSpace, line);
    s.Enabled = data[0] >> 2 & 3;   // a font switched after the layout
    osd_update(1, frame);
    int32_t bx, by, bw, bh;
    osd_text_extent(1, &bx, &by, &bw, &bh);
    uint32_t width = uyvy ? line / 2 : line;
    if (bx < 0 || by < 0 || bw < 0 || bh < 0 || (uint32_t)(bx + bw) > width || (uint32_t)(by + bh) > h)
        abort();
    Buffer_delete(frame);
    return 0;
}
