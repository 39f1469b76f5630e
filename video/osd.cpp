#include "video/osd.h"

#include "core/log.h"
#include "core/param.h"
#include "services/own_ip.h"
#include "video/osd_font.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

OsdChannel osd_channels[OSD_CHANNELS];
volatile int osd_avsync_enabled;
volatile uint32_t osd_avsync_ts[2];
int (*osd_clock)(struct timeval *tv) = [](struct timeval *tv) { return gettimeofday(tv, nullptr); };

namespace {

const char *const MONTHS[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

std::mutex layout_locks[OSD_CHANNELS];

struct Cell {
    int w, h;
};

Cell cell_of(int enabled)
{
    return enabled == 2 ? Cell{16, 16} : Cell{8, 13};
}

bool valid(int channel)
{
    return channel >= 0 && channel < OSD_CHANNELS;
}

OsdLayout layout_of(int channel)
{
    std::lock_guard<std::mutex> lock(layout_locks[channel]);
    return osd_channels[channel].layout;
}

uint32_t width_of(const OsdLayout &l)
{
    return l.pixelFormat == ColorSpace_UYVY ? l.lineLength / 2 : l.lineLength;
}

// Appends at most the room left; returns the new length.
int append(char *out, int len, int limit, const char *text)
{
    while (*text && len < limit)
        out[len++] = *text++;
    return len;
}

void format_date(char *buf, size_t size, int v, const struct tm &t)
{
    v &= 15;
    int key = 2 * (v >> 2) + (v & 1);
    char year[16];
    if (v & 2)
        snprintf(year, sizeof year, "%02d", (t.tm_year + 1900) % 100);
    else
        snprintf(year, sizeof year, "%4d", t.tm_year + 1900);
    int mon = t.tm_mon, day = t.tm_mday;
    const char *name = MONTHS[mon < 0 || mon > 11 ? 0 : mon];
    switch (key) {
    case 0: snprintf(buf, size, "%02d-%02d-%s", mon + 1, day, year); break;
    case 1: snprintf(buf, size, "%02d-%02d-%s", day, mon + 1, year); break;
    case 2: snprintf(buf, size, "%s-%02d-%s", name, day, year); break;
    case 3: snprintf(buf, size, "%02d-%s-%s", day, name, year); break;
    case 4: snprintf(buf, size, "%s %d, %s", name, day, year); break;
    case 5: snprintf(buf, size, "%02d%s%s", day, name, year); break;
    case 6: snprintf(buf, size, "%s%02d%02d", year, mon + 1, day); break;
    default: snprintf(buf, size, "%s%s%02d", year, name, day); break;
    }
}

void format_time(char *buf, size_t size, int v, const struct tm &t, long usec)
{
    int h = t.tm_hour, m = t.tm_min, s = t.tm_sec;
    int h12 = (h + 11) % 12 + 1;
    switch (v) {
    case 1: snprintf(buf, size, "%02d:%02d:%02d.%1d", h, m, s, (int)(usec / 100000)); break;
    case 2: snprintf(buf, size, "%02d:%02d:%02d.%02d", h, m, s, (int)(usec / 10000)); break;
    case 3: snprintf(buf, size, "%02d:%02d:%02d.%03d", h, m, s, (int)(usec / 1000)); break;
    case 4: snprintf(buf, size, "%02d:%02d", h, m); break;
    // Hours padded to two places with a space (12:05AM, " 1:05PM"); a sign blank would make " 12".
    case 5: snprintf(buf, size, "%2d:%02d%s", h12, m, h < 12 ? "AM" : "PM"); break;
    case 6: snprintf(buf, size, "%2d:%02d%s", h12, m, h < 12 ? "a" : "p"); break;
    default: snprintf(buf, size, "%02d:%02d:%02d", h, m, s); break;
    }
}

// --- drawing of one pixel row of a text line ---
// bits[i] is 1 where pixel i of the span belongs to a glyph.

const uint8_t LUMA_FG = 0xEF, LUMA_BG = 0x10;

void row_gray(uint8_t *p, const uint8_t *bits, int n, int style)
{
    switch (style) {
    case 0: for (int i = 0; i < n; i++) p[i] = bits[i] ? LUMA_FG : LUMA_BG; break;
    // Styles 1 and 4 select by mask: a branch per pixel costs more than the pixel.
    case 1: for (int i = 0; i < n; i++) p[i] = (uint8_t)((p[i] & ~-bits[i]) | (LUMA_FG & -bits[i])); break;
    case 2: for (int i = 0; i < n; i++) p[i] = bits[i] ? LUMA_FG : (uint8_t)(p[i] >> 1); break;
    case 3: for (int i = 0; i < n; i++) p[i] = bits[i] ? LUMA_FG : (uint8_t)(p[i] >> 2); break;
    case 4: for (int i = 0; i < n; i++) p[i] = (uint8_t)((p[i] & ~-bits[i]) | (LUMA_BG & -bits[i])); break;
    default: for (int i = 0; i < n; i++) p[i] = bits[i] ? LUMA_BG : LUMA_FG; break;
    }
}

// UYVY: row points at the frame line; the span covers pixels x0 .. x0 + n - 1. Pixel pairs
// share their chroma, so whole pairs are written only when both pixels lie in the span.
void row_uyvy(uint8_t *row, int x0, const uint8_t *bits, int n, int style, bool big)
{
    bool opaque = style == 0 || style == 5;
    uint8_t fg = style >= 4 ? LUMA_BG : LUMA_FG;
    uint8_t bg = style == 5 ? LUMA_FG : LUMA_BG;
    bool whole = style == 2 || style == 3 || ((style == 1 || style == 4) && big);
    int end = x0 + n;
    for (int px = x0 & ~1; px < end; px += 2) {
        uint8_t *q = row + 2 * px;   // U Y0 V Y1
        bool in0 = px >= x0, in1 = px + 1 < end;
        int b0 = in0 ? bits[px - x0] : 0, b1 = in1 ? bits[px + 1 - x0] : 0;
        if (in0 && in1 && (opaque || (whole && b0 && b1))) {
            q[0] = 0x80;
            q[1] = opaque ? (b0 ? fg : bg) : fg;
            q[2] = 0x80;
            q[3] = opaque ? (b1 ? fg : bg) : fg;
            continue;
        }
        for (int k = 0; k < 2; k++) {
            if (!(k ? in1 : in0))
                continue;
            uint8_t &y = q[1 + 2 * k];
            int b = k ? b1 : b0;
            if (opaque)
                y = b ? fg : bg;
            else if (b)
                y = fg;
            else if (style == 2)
                y = (uint8_t)(y >> 1);
            else if (style == 3)
                y = (uint8_t)(y >> 2);
        }
    }
}

// Glyph bits of one cell row, MSB = leftmost pixel. Codes below 32 are blank cells.
uint32_t glyph_row(unsigned char ch, bool big, int r)
{
    if (ch < OSD_FONT_FIRST)
        return 0;
    int g = ch - OSD_FONT_FIRST;
    if (big)
        return (uint32_t)osd_font_16x16[g][2 * r] | (uint32_t)osd_font_16x16[g][2 * r + 1] << 8;
    return osd_font_8x13[g][r];
}

// The text as drawn: lines that start inside the frame, characters that fit the line.
struct Geometry {
    OsdLayout l;
    Cell cell;
    uint32_t width;             // frame width in pixels
    uint32_t rows;              // frame lines that exist in the buffer
    uint32_t cpl;               // characters per line with the font in force
};

Geometry geometry(int channel, int enabled, size_t bufSize)
{
    Geometry g;
    g.l = layout_of(channel);
    g.cell = cell_of(enabled);
    g.width = width_of(g.l);
    g.rows = g.l.height;
    if (g.l.lineLength && bufSize / g.l.lineLength < g.rows)
        g.rows = (uint32_t)(bufSize / g.l.lineLength);
    // The layout may be older than a font switch: clip with the font in force.
    uint32_t room = g.width > g.l.x ? (g.width - g.l.x) / (uint32_t)g.cell.w : 0;
    g.cpl = g.l.charsPerLine < room ? g.l.charsPerLine : room;
    return g;
}

void free_item(OverlayItem &it)
{
    if (it.kind == OVERLAY_TEXT)
        delete it.settings;
    it = OverlayItem{};
}

void draw_items(int channel, Buffer_Handle frame)
{
    if (!frame || !Buffer_getUserPtr(frame))
        return;
    OsdChannel &c = osd_channels[channel];
    OsdLayout l = layout_of(channel);
    if (!l.lineLength)
        return;
    uint32_t rows = l.height;
    if (Buffer_getSize(frame) / l.lineLength < rows)
        rows = (uint32_t)(Buffer_getSize(frame) / l.lineLength);
    for (OverlayItem &it : c.items) {
        if (it.kind == OVERLAY_EMPTY)
            continue;
        if (it.kind == OVERLAY_TEXT) {
            int f = l.pixelFormat;
            if (it.settings && f != 3 && f != 4)   // no text on RGB frames
                osd_draw_text_item(channel, frame, it.settings);
            continue;
        }
        overlay_draw_item(&it, l.pixelFormat, Buffer_getUserPtr(frame), l.lineLength, rows);
    }
}

} // namespace

int osd_init(ParamBlock *params)
{
    OsdSettings *own[OSD_CHANNELS] = {&params->Video[0].OSD, &params->Video[1].OSD, &params->Display.OSD,
                                      &params->Video[0].OSD};
    for (int i = 0; i < OSD_CHANNELS; i++) {
        OsdChannel &c = osd_channels[i];
        c.settings = own[i];
        c.layout = {};
        memset(c.text, 0, sizeof c.text);
        c.frameCounter = 0;
        memset(c.items, 0, sizeof c.items);
    }
    return 0;
}

void osd_set_frame_size(int channel, uint32_t width, uint32_t height, int pixelFormat, uint32_t lineLength)
{
    if (!valid(channel))
        return;
    OsdChannel &c = osd_channels[channel];
    {
        std::lock_guard<std::mutex> lock(layout_locks[channel]);
        c.layout.lineLength = lineLength;
        c.layout.height = height;
        c.layout.pixelFormat = pixelFormat;
    }
    if (c.settings)
        osd_layout(channel, c.settings);
}

void osd_layout(int channel, OsdSettings *s)
{
    if (!valid(channel) || !s)
        return;
    OsdChannel &c = osd_channels[channel];
    std::lock_guard<std::mutex> lock(layout_locks[channel]);
    OsdLayout l = c.layout;
    if (l.lineLength && l.height) {
        Cell cell = cell_of(s->Enabled);
        uint32_t width = width_of(l);
        int32_t X = (int32_t)s->X, Y = (int32_t)s->Y;
        uint32_t x = X < 0 ? 0 : (uint32_t)X < width ? (uint32_t)X : width;
        int32_t ymax = (int32_t)l.height - cell.h;
        int32_t y = Y < 0 ? 0 : Y < ymax ? Y : ymax;
        if (y < 0)
            y = 0;   // a frame shorter than a cell: nothing fits, drawing clips
        l.x = x;
        l.y = (uint32_t)y;
        l.charsPerLine = (width - x) / (uint32_t)cell.w;
        l.textOffset = x * (l.pixelFormat == ColorSpace_UYVY ? 2 : 1) + l.y * l.lineLength;
        c.layout = l;
        if (s->X != x || s->Y != l.y) {
            log_printf("osd ch=%d position %d,%d clamped to %u,%u\n", channel, X, Y, x, l.y);
            s->X = x;
            s->Y = l.y;
        }
    }
}

void osd_set_params(int channel, OsdSettings *settings)
{
    if (!valid(channel) || !settings)
        return;
    OsdChannel &c = osd_channels[channel];
    if (settings != c.settings)
        log_printf("wrong osd parameter for ch=%d\n", channel);
    if (strncmp(settings->Message, "avsync", sizeof settings->Message) == 0)
        osd_avsync_enabled = 1;
    osd_layout(channel, c.settings);
}

int osd_compose_text(int channel, const char *message, char *out, int limit)
{
    if (!out)
        return 0;
    if (limit < 0)
        limit = 0;
    int len = 0;
    out[0] = 0;
    if (!valid(channel) || !message)
        return 0;
    OsdChannel &c = osd_channels[channel];
    const OsdSettings *s = c.settings;
    struct timeval tv = {};
    osd_clock(&tv);
    time_t secs = tv.tv_sec;
    struct tm t = {};
    localtime_r(&secs, &t);
    char buf[48];
    // The settings may be rewritten while we read: never past the message field.
    size_t max = s && message == s->Message ? sizeof s->Message : (size_t)-1;
    for (size_t i = 0; i < max && message[i] && len < limit; i++) {
        char ch = message[i];
        if (ch != '^') {
            out[len++] = ch;
            continue;
        }
        if (i + 1 >= max || !message[i + 1])
            break;   // a "^" at the end ends the text
        char tag = message[++i];
        switch (tag) {
        case 'c': snprintf(buf, sizeof buf, "%07u", c.frameCounter); break;
        case 'd': format_date(buf, sizeof buf, s ? s->DateFormat : 0, t); break;
        case 'i': own_ip_text(buf, sizeof buf); break;
        case 'n': strcpy(buf, "\n"); break;
        case 't': format_time(buf, sizeof buf, s ? s->TimeFormat : 0, t, (long)tv.tv_usec); break;
        default: buf[0] = tag; buf[1] = 0; break;
        }
        len = append(out, len, limit, buf);
    }
    out[len] = 0;
    return len;
}

namespace {

void draw_text(int channel, const OsdSettings *s, Buffer_Handle frame, const char *composed)
{
    if (!valid(channel) || !s || !frame || !Buffer_getUserPtr(frame))
        return;
    Geometry g = geometry(channel, s->Enabled, Buffer_getSize(frame));
    if (!g.l.lineLength || !g.cpl || g.rows <= g.l.y)
        return;
    bool big = s->Enabled == 2;
    bool uyvy = g.l.pixelFormat == ColorSpace_UYVY;
    int style = s->Transparent > 5 ? 5 : s->Transparent;
    uint8_t *base = Buffer_getUserPtr(frame);
    uint8_t bits[OSD_TEXT_SIZE * 16];
    const unsigned char *text = reinterpret_cast<const unsigned char *>(composed);
    uint32_t top = g.l.y;
    while (*text && top < g.rows) {
        const unsigned char *line = text;
        uint32_t n = 0;
        while (text[n] && text[n] != '\n')
            n++;
        text += n;
        if (*text == '\n')
            text++;
        uint32_t chars = n < g.cpl ? n : g.cpl;
        int span = (int)chars * g.cell.w;
        for (int r = 0; r < g.cell.h && top + (uint32_t)r < g.rows && chars; r++) {
            for (uint32_t k = 0; k < chars; k++) {
                uint32_t v = glyph_row(line[k], big, r);
                uint8_t *b = bits + k * g.cell.w;
                for (int px = 0; px < g.cell.w; px++)
                    b[px] = (uint8_t)((v >> (g.cell.w - 1 - px)) & 1);
            }
            uint8_t *row = base + (size_t)(top + r) * g.l.lineLength;
            if (uyvy)
                row_uyvy(row, (int)g.l.x, bits, span, style, big);
            else
                row_gray(row + g.l.x, bits, span, style);
        }
        top += (uint32_t)g.cell.h;
    }
}

} // namespace

void osd_draw_text(int channel, const OsdSettings *s, Buffer_Handle frame)
{
    if (valid(channel))
        draw_text(channel, s, frame, osd_channels[channel].text);
}

void osd_update(int channel, Buffer_Handle frame)
{
    if (!valid(channel))
        return;
    OsdChannel &c = osd_channels[channel];
    const OsdSettings *s = c.settings;
    if (s && s->Enabled) {
        if (osd_avsync_enabled && strncmp(s->Message, "avsync", sizeof s->Message) == 0) {
            uint32_t a = osd_avsync_ts[0], b = osd_avsync_ts[1];
            snprintf(c.text, sizeof c.text, "avsync %+d ms %u %u\n", (int32_t)(a - b) / 90, a, b);
        } else {
            osd_compose_text(channel, s->Message, c.text, OSD_TEXT_LIMIT);
        }
        osd_draw_text(channel, s, frame);
    }
    draw_items(channel, frame);
    c.frameCounter++;
}

void osd_frame_update(int channel, Buffer_Handle frame, uint32_t counter)
{
    if (!valid(channel))
        return;
    osd_channels[channel].frameCounter = counter;
    osd_update(channel, frame);
}

int osd_text_extent(int channel, int32_t *x, int32_t *y, int32_t *width, int32_t *height)
{
    int32_t bx = 0, by = 0, bw = 0, bh = 0;
    int len = 0;
    if (valid(channel) && osd_channels[channel].settings && osd_channels[channel].settings->Enabled) {
        OsdChannel &c = osd_channels[channel];
        Geometry g = geometry(channel, c.settings->Enabled, (size_t)-1);
        len = (int)strnlen(c.text, sizeof c.text);
        uint32_t widest = 0, cur = 0, lines = 1;
        for (int i = 0; i < len; i++) {
            if (c.text[i] == '\n') {
                lines++;
                cur = 0;
            } else if (++cur > widest) {
                widest = cur;
            }
        }
        if (widest > g.cpl)
            widest = g.cpl;
        uint32_t h = lines * (uint32_t)g.cell.h;
        uint32_t room = g.rows > g.l.y ? g.rows - g.l.y : 0;
        bx = (int32_t)g.l.x;
        by = (int32_t)g.l.y;
        bw = (int32_t)(widest * (uint32_t)g.cell.w);
        bh = (int32_t)(h < room ? h : room);
        if (!bw)
            bh = 0;
    }
    if (x) *x = bx;
    if (y) *y = by;
    if (width) *width = bw;
    if (height) *height = bh;
    return len;
}

void osd_draw_text_item(int channel, Buffer_Handle frame, OsdSettings *settings)
{
    if (!valid(channel) || !settings)
        return;
    OsdChannel &c = osd_channels[channel];
    OsdLayout saved = layout_of(channel);
    osd_layout(channel, settings);
    // The channel's text stays what it composed: the display measures it to clean its box.
    char text[OSD_TEXT_SIZE];
    osd_compose_text(channel, settings->Message, text, OSD_TEXT_LIMIT);
    draw_text(channel, settings, frame, text);
    std::lock_guard<std::mutex> lock(layout_locks[channel]);
    c.layout.textOffset = saved.textOffset;
    c.layout.charsPerLine = saved.charsPerLine;
    c.layout.x = saved.x;
    c.layout.y = saved.y;
}

void overlay_set_text(int slot, int x, int y, const char *message, int enabled, int transparent)
{
    OsdChannel &c = osd_channels[0];
    if (slot < 0)
        return;
    if (slot >= OVERLAY_SLOTS) {
        osd_layout(0, c.settings);
        return;
    }
    OverlayItem &it = c.items[slot];
    free_item(it);
    if (!message)
        return;
    OsdSettings *s = new OsdSettings{};
    s->Enabled = (uint8_t)enabled;
    s->Transparent = (uint8_t)transparent;
    s->X = x;
    s->Y = y;
    snprintf(s->Message, sizeof s->Message, "%s", message);
    it.settings = s;
    it.x = x;
    it.y = y;
    it.kind = OVERLAY_TEXT;
}

void overlay_clear(int slot)
{
    if (slot < 0)
        return;
    if (slot >= OVERLAY_SLOTS) {
        if (osd_channels[0].settings)
            osd_channels[0].settings->Enabled = 0;
        return;
    }
    free_item(osd_channels[0].items[slot]);
}

void osd_clear_items(int channel)
{
    if (!valid(channel))
        return;
    OsdChannel &c = osd_channels[channel];
    for (OverlayItem &it : c.items)
        free_item(it);
    if (c.settings)
        c.settings->Enabled = 0;
}

void osd_copy_channel(int from, int to)
{
    if (!valid(from) || !valid(to) || from == to)
        return;
    OsdChannel &a = osd_channels[from], &b = osd_channels[to];
    for (int i = 0; i < OVERLAY_SLOTS; i++) {
        free_item(b.items[i]);
        b.items[i] = a.items[i];
        // A text item's record is owned by its slot: the copy gets its own.
        if (a.items[i].kind == OVERLAY_TEXT && a.items[i].settings)
            b.items[i].settings = new OsdSettings(*a.items[i].settings);
    }
    if (a.settings && b.settings && a.settings != b.settings)
        memcpy(b.settings, a.settings, sizeof *b.settings);
}

void osd_reset_channel(int channel, uint32_t width, uint32_t height, int pixelFormat, uint32_t lineLength)
{
    if (!valid(channel))
        return;
    OsdChannel &c = osd_channels[channel];
    {
        std::lock_guard<std::mutex> lock(layout_locks[channel]);
        c.layout = {};
    }
    memset(c.text, 0, sizeof c.text);
    for (OverlayItem &it : c.items)
        free_item(it);
    if (c.settings) {
        c.settings->Y = 2;
        c.settings->X = 4;
    }
    osd_set_frame_size(channel, width, height, pixelFormat, lineLength);
}

void osd_draw_text_at(int channel, Buffer_Handle frame, const char *text)
{
    if (!valid(channel) || !text)
        return;
    OsdChannel &c = osd_channels[channel];
    snprintf(c.text, sizeof c.text, "%s", text);
    osd_draw_text(channel, c.settings, frame);
}

void osd_text_rows(int channel, int32_t *top, int32_t *last)
{
    int32_t x, y, w, h;
    if (osd_text_extent(channel, &x, &y, &w, &h) <= 0 || h <= 0) {
        *top = *last = 0;
        return;
    }
    *top = y;
    *last = y + h - 1;
}

uint32_t osd_get_frame_counter(int channel)
{
    return valid(channel) ? osd_channels[channel].frameCounter : 0;
}

void osd_set_frame_counter(int channel, uint32_t counter)
{
    if (valid(channel))
        osd_channels[channel].frameCounter = counter;
}
