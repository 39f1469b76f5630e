// The on-screen text: tags and the date and time formats against an injected clock and time
// zone, layout clamping with write-back, the UYVY pixel-pair rules of the six styles, and
// drawing that never leaves the frame (buffers sized to the frame, so ASan sees any overrun).
#include "core/param.h"
#include "video/osd.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

namespace {

time_t fixed_secs;
long fixed_usec;

int fixed_clock(struct timeval *tv)
{
    tv->tv_sec = fixed_secs;
    tv->tv_usec = fixed_usec;
    return 0;
}

time_t utc(int y, int mon, int d, int h, int m, int s)
{
    struct tm t = {};
    t.tm_year = y - 1900;
    t.tm_mon = mon - 1;
    t.tm_mday = d;
    t.tm_hour = h;
    t.tm_min = m;
    t.tm_sec = s;
    return timegm(&t);
}

struct Frame {
    Buffer_Handle buf;
    uint32_t width, height, line;
    bool uyvy;
    Frame(uint32_t w, uint32_t h, bool u, uint8_t fill) : width(w), height(h), line(u ? 2 * w : w), uyvy(u)
    {
        Buffer_Attrs a = BufferGfx_Attrs_DEFAULT;
        a.colorSpace = u ? ColorSpace_UYVY : ColorSpace_GRAY;
        buf = Buffer_create((size_t)line * h, &a);   // exactly the frame: ASan sees any overrun
        memset(Buffer_getUserPtr(buf), fill, (size_t)line * h);
    }
    ~Frame() { Buffer_delete(buf); }
    uint8_t *p() { return Buffer_getUserPtr(buf); }
    uint8_t at(uint32_t x, uint32_t y) { return p()[(size_t)y * line + x]; }
};

class Osd : public ::testing::Test {
protected:
    ParamBlock *block;
    OsdSettings *s;

    void SetUp() override
    {
        block = static_cast<ParamBlock *>(calloc(1, sizeof(ParamBlock)));
        osd_init(block);
        s = &block->Video[0].OSD;
        osd_clock = fixed_clock;
        setenv("TZ", "UTC", 1);
        tzset();
        fixed_secs = utc(2024, 3, 7, 0, 5, 9);
        fixed_usec = 123456;
    }
    void TearDown() override { free(block); }

    std::string compose(const char *msg, int limit = OSD_TEXT_LIMIT)
    {
        char out[OSD_TEXT_SIZE + 64];
        memset(out, 'Z', sizeof out);
        int n = osd_compose_text(0, msg, out, limit);
        EXPECT_EQ(n, (int)strlen(out));
        return out;
    }
    // Lays channel 0 out for a frame and draws text into it.
    void draw(Frame &f, int enabled, int style, const char *msg, int x = 0, int y = 0)
    {
        s->Enabled = (uint8_t)enabled;
        s->Transparent = (uint8_t)style;
        s->X = (uint32_t)x;
        s->Y = (uint32_t)y;
        snprintf(s->Message, sizeof s->Message, "%s", msg);
        osd_set_frame_size(0, f.width, f.height, f.uyvy ? ColorSpace_UYVY : ColorSpace_GRAY, f.line);
        osd_update(0, f.buf);
    }
};

TEST_F(Osd, DateFormatsOnSeventhOfMarch2024)
{
    const char *want[16] = {"03-07-2024", "07-03-2024", "03-07-24",   "07-03-24",   "Mar-07-2024", "07-Mar-2024",
                            "Mar-07-24",  "07-Mar-24",  "Mar 7, 2024", "07Mar2024", "Mar 7, 24",   "07Mar24",
                            "20240307",   "2024Mar07",  "240307",      "24Mar07"};
    for (int v = 0; v < 16; v++) {
        s->DateFormat = (uint8_t)v;
        EXPECT_EQ(compose("^d"), want[v]) << "DateFormat " << v;
    }
}

TEST_F(Osd, TimeFormatsAndTheTwelveHourClock)
{
    const char *at0005[7] = {"00:05:09", "00:05:09.1", "00:05:09.12", "00:05:09.123", "00:05", "12:05AM", "12:05a"};
    for (int v = 0; v < 7; v++) {
        s->TimeFormat = (uint8_t)v;
        EXPECT_EQ(compose("^t"), at0005[v]) << "TimeFormat " << v;
    }
    fixed_secs = utc(2024, 3, 7, 13, 5, 0);
    s->TimeFormat = 5;
    EXPECT_EQ(compose("^t"), " 1:05PM");
    s->TimeFormat = 6;
    EXPECT_EQ(compose("^t"), " 1:05p");
    fixed_secs = utc(2024, 3, 7, 12, 0, 0);
    s->TimeFormat = 5;
    EXPECT_EQ(compose("^t"), "12:00PM");
}

TEST_F(Osd, LocalTimeFollowsTheTimeZone)
{
    fixed_secs = utc(2024, 3, 7, 2, 30, 0);
    s->TimeFormat = 4;
    s->DateFormat = 12;
    EXPECT_EQ(compose("^d ^t"), "20240307 02:30");
    setenv("TZ", "EST5", 1);
    tzset();
    EXPECT_EQ(compose("^d ^t"), "20240306 21:30");
}

TEST_F(Osd, TagsAndTheirEdges)
{
    osd_channels[0].frameCounter = 42;
    EXPECT_EQ(compose("a^cb"), "a0000042b");
    EXPECT_EQ(compose("x^ny"), "x\ny");
    EXPECT_EQ(compose("1^^2^q"), "1^2q");
    EXPECT_EQ(compose("end^"), "end");
    EXPECT_EQ(compose(""), "");
    std::string ip = compose("^i");
    int a, b, c, d;
    EXPECT_EQ(sscanf(ip.c_str(), "%d.%d.%d.%d", &a, &b, &c, &d), 4) << ip;
    // A tag's expansion is cut at the limit, and the text always ends.
    EXPECT_EQ(compose("ab^c", 5), "ab000");
    std::string msg;
    for (int i = 0; i < 53; i++)
        msg += "^d";                                // 106 characters, 530 expanded
    msg += std::string(53, 'x');                    // 159 in all
    ASSERT_EQ(msg.size(), 159u);
    std::string out = compose(msg.c_str());
    EXPECT_EQ(out.size(), 179u);
    EXPECT_EQ(out.substr(0, 10), "03-07-2024");
}

TEST_F(Osd, LayoutClampsAndWritesBack)
{
    Frame f(720, 576, false, 0);
    s->Enabled = 2;
    s->X = 700;
    s->Y = 10;
    osd_set_frame_size(0, 720, 576, ColorSpace_GRAY, 720);
    EXPECT_EQ(osd_channels[0].layout.charsPerLine, 1u);
    s->X = 9999;
    osd_set_params(0, s);
    EXPECT_EQ(osd_channels[0].layout.charsPerLine, 0u);
    EXPECT_EQ(s->X, 720u) << "stored back clamped";
    s->Enabled = 1;
    s->X = 0;
    s->Y = 576;
    osd_set_params(0, s);
    EXPECT_EQ(s->Y, 563u);
    EXPECT_EQ(osd_channels[0].layout.textOffset, 563u * 720);
    s->Y = (uint32_t)-5;   // a negative position from an old block
    osd_set_params(0, s);
    EXPECT_EQ(s->Y, 0u);
    // Someone else's settings: logged, and the channel's own are laid out.
    block->Video[1].OSD.Y = 100;
    osd_set_params(0, &block->Video[1].OSD);
    EXPECT_EQ(block->Video[1].OSD.Y, 100u);
}

TEST_F(Osd, GrayStylesZeroAndFive)
{
    Frame f(64, 16, false, 0x80);
    draw(f, 1, 0, "I");
    // 'I' in 8x13: a vertical bar in the middle of the cell.
    int fg = 0, bg = 0;
    for (uint32_t y = 0; y < 13; y++)
        for (uint32_t x = 0; x < 8; x++)
            (f.at(x, y) == 0xEF ? fg : f.at(x, y) == 0x10 ? bg : (ADD_FAILURE() << x << "," << y, fg)) += 1;
    EXPECT_GT(fg, 5);
    EXPECT_GT(bg, 50);
    EXPECT_EQ(f.at(8, 0), 0x80) << "outside the cell";
    EXPECT_EQ(f.at(0, 13), 0x80) << "below the cell";
    Frame g(64, 16, false, 0x80);
    draw(g, 1, 5, "I");
    for (uint32_t y = 0; y < 13; y++)
        for (uint32_t x = 0; x < 8; x++)
            EXPECT_EQ(g.at(x, y), f.at(x, y) == 0xEF ? 0x10 : 0xEF);
}

TEST_F(Osd, GrayStylesOneToFour)
{
    Frame ref(16, 13, false, 0x80);
    draw(ref, 1, 0, "A");
    const uint8_t want_bg[5] = {0, 0x80, 0x40, 0x20, 0x80};
    for (int style = 1; style <= 4; style++) {
        Frame f(16, 13, false, 0x80);
        draw(f, 1, style, "A");
        for (uint32_t y = 0; y < 13; y++)
            for (uint32_t x = 0; x < 8; x++) {
                bool glyph = ref.at(x, y) == 0xEF;
                uint8_t want = glyph ? (style == 4 ? 0x10 : 0xEF) : want_bg[style];
                ASSERT_EQ(f.at(x, y), want) << "style " << style << " at " << x << "," << y;
            }
    }
}

// Pixel pairs share chroma: opaque styles write whole pairs from the pair words; the others
// change only Y bytes, except pairs of two glyph pixels where the style allows a whole pair.
TEST_F(Osd, UyvyPairRules)
{
    Frame g(16, 16, false, 0x80);
    draw(g, 2, 0, "M");
    Frame g8(8, 13, false, 0x80);
    draw(g8, 1, 0, "M");
    for (int style = 0; style <= 5; style++) {
        for (int big = 0; big < 2; big++) {
            Frame f(big ? 16 : 8, big ? 16 : 13, true, 0x60);
            draw(f, big ? 2 : 1, style, "M");
            Frame &gl = big ? g : g8;
            for (uint32_t y = 0; y < f.height; y++)
                for (uint32_t px = 0; px < f.width; px += 2) {
                    bool b0 = gl.at(px, y) == 0xEF, b1 = gl.at(px + 1, y) == 0xEF;
                    const uint8_t *q = f.p() + (size_t)y * f.line + 2 * px;
                    SCOPED_TRACE("style " + std::to_string(style) + " big " + std::to_string(big) + " at " +
                                 std::to_string(px) + "," + std::to_string(y));
                    uint8_t fg = style >= 4 ? 0x10 : 0xEF, bg = style == 5 ? 0xEF : 0x10;
                    if (style == 0 || style == 5) {
                        EXPECT_EQ(q[0], 0x80);
                        EXPECT_EQ(q[2], 0x80);
                        EXPECT_EQ(q[1], b0 ? fg : bg);
                        EXPECT_EQ(q[3], b1 ? fg : bg);
                        continue;
                    }
                    bool whole = b0 && b1 && (style == 2 || style == 3 || big);
                    EXPECT_EQ(q[0], whole ? 0x80 : 0x60);
                    EXPECT_EQ(q[2], whole ? 0x80 : 0x60);
                    uint8_t dark = style == 2 ? 0x30 : style == 3 ? 0x18 : 0x60;
                    EXPECT_EQ(q[1], b0 ? fg : dark);
                    EXPECT_EQ(q[3], b1 ? fg : dark);
                }
        }
    }
}

TEST_F(Osd, UyvyTextAtAnOddPixelKeepsItsNeighbours)
{
    Frame f(32, 13, true, 0x60);
    draw(f, 1, 0, "W", 3);
    const uint8_t *row = f.p();
    EXPECT_EQ(row[2 * 2 + 1], 0x60) << "pixel 2 (the pair partner) left alone";
    EXPECT_EQ(row[2 * 2], 0x60) << "its chroma too";
    EXPECT_EQ(row[2 * 3 + 1], 0x10) << "pixel 3 is the cell's first";
    EXPECT_EQ(row[2 * 11 + 1], 0x60) << "pixel 11 is past the cell";
    EXPECT_EQ(row[2 * 10], 0x60) << "the chroma of the pair the cell ends in";
}

TEST_F(Osd, ControlCodesAreBlankAndHighBytesHaveGlyphs)
{
    Frame a(32, 13, false, 0x80), b(32, 13, false, 0x80);
    draw(a, 1, 0, "\x01\x1b\t");
    draw(b, 1, 0, "   ");
    EXPECT_EQ(memcmp(a.p(), b.p(), 32 * 13), 0);
    Frame e(8, 13, false, 0x80);
    draw(e, 1, 0, "\xe9");   // e acute
    int lit = 0;
    for (uint32_t i = 0; i < 8 * 13; i++)
        lit += e.p()[i] == 0xEF;
    EXPECT_GT(lit, 10);
}

// The text is clipped to the frame with the font in force; the extent reports what was drawn.
TEST_F(Osd, ClippingAndTheExtent)
{
    struct Case {
        const char *what;
        uint32_t w, h;
        bool uyvy;
        int enabled, style, x, y;
        int fontAfter;   // font switched without a new layout, 0 none
        const char *msg;
    } cases[] = {
        {"newlines at the bottom", 720, 576, false, 1, 0, 0, 576, 0, "abc^ndef^nghi^n^n^nxyz"},
        {"font switched to 16x16 at the right edge", 720, 480, true, 1, 0, 700, 470, 2, "0123456789^n0123456789"},
        {"frame shorter than a cell", 100, 10, false, 2, 5, 0, 0, 0, "ABCDEFGH"},
        {"uyvy frame shorter than a cell", 100, 10, true, 1, 1, 0, 0, 0, "ABCDEFGH"},
        {"beyond the right edge", 720, 576, true, 2, 0, 720, 0, 0, "nothing fits"},
        {"last row, long text", 352, 288, false, 2, 3, 1, 272, 1, "abcdefghijklmnopqrstuvwxyz0123456789^n^n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Frame f(c.w, c.h, c.uyvy, 0x55);
        s->Enabled = (uint8_t)c.enabled;
        s->Transparent = (uint8_t)c.style;
        s->X = (uint32_t)c.x;
        s->Y = (uint32_t)c.y;
        snprintf(s->Message, sizeof s->Message, "%s", c.msg);
        osd_set_frame_size(0, c.w, c.h, c.uyvy ? ColorSpace_UYVY : ColorSpace_GRAY, f.line);
        if (c.fontAfter)
            s->Enabled = (uint8_t)c.fontAfter;
        osd_update(0, f.buf);
        int32_t x, y, w, h;
        osd_text_extent(0, &x, &y, &w, &h);
        EXPECT_GE(x, 0);
        EXPECT_GE(y, 0);
        EXPECT_LE((uint32_t)(x + w), c.w);
        EXPECT_LE((uint32_t)(y + h), c.h);
        // Every changed byte lies inside the reported box (UYVY: its pixel pairs).
        uint32_t bpp = c.uyvy ? 2 : 1;
        for (uint32_t row = 0; row < c.h; row++)
            for (uint32_t b = 0; b < f.line; b++) {
                if (f.p()[(size_t)row * f.line + b] == 0x55)
                    continue;
                uint32_t px = b / bpp;
                bool inside = row >= (uint32_t)y && row < (uint32_t)(y + h) && px + (c.uyvy ? 1 : 0) >= (uint32_t)x &&
                              px < (uint32_t)(x + w);
                ASSERT_TRUE(inside) << "changed byte at row " << row << " byte " << b << "; box " << x << "," << y
                                    << " " << w << "x" << h;
            }
    }
}

TEST_F(Osd, DisabledChannelDrawsNothingAndHasNoExtent)
{
    Frame f(64, 16, false, 0x55);
    draw(f, 0, 0, "hidden");
    for (uint32_t i = 0; i < 64 * 16; i++)
        ASSERT_EQ(f.p()[i], 0x55);
    int32_t x = 1, y = 1, w = 1, h = 1;
    EXPECT_EQ(osd_text_extent(0, &x, &y, &w, &h), 0);
    EXPECT_EQ(x | y | w | h, 0);
    EXPECT_EQ(osd_channels[0].frameCounter, 1u) << "the counter runs while the text is off";
}

TEST_F(Osd, FrameCounterAndAvsyncReadout)
{
    Frame f(720, 16, false, 0);
    s->Enabled = 1;
    snprintf(s->Message, sizeof s->Message, "^c");
    osd_set_frame_size(0, 720, 16, ColorSpace_GRAY, 720);
    osd_frame_update(0, f.buf, 1234);
    EXPECT_STREQ(osd_channels[0].text, "0001234");
    EXPECT_EQ(osd_channels[0].frameCounter, 1235u);
    snprintf(s->Message, sizeof s->Message, "avsync");
    osd_update(0, f.buf);
    EXPECT_STREQ(osd_channels[0].text, "avsync") << "the readout is off until a settings change asks";
    osd_set_params(0, s);
    osd_avsync_ts[0] = 9000;
    osd_avsync_ts[1] = 18000;
    osd_update(0, f.buf);
    EXPECT_STREQ(osd_channels[0].text, "avsync -100 ms 9000 18000\n");
    osd_avsync_enabled = 0;
}

// The settings thread lays the channel out while the capture thread draws: no frame may see a
// new offset with an old characters-per-line count.
TEST_F(Osd, LayoutChangesWhileDrawingNeverWritePastTheFrame)
{
    Frame f(720, 16, false, 0);
    s->Enabled = 2;
    snprintf(s->Message, sizeof s->Message, "%s", std::string(60, 'W').c_str());
    osd_set_frame_size(0, 720, 16, ColorSpace_GRAY, 720);
    std::atomic<bool> stop{false};
    std::thread settings([&] {
        for (int i = 0; !stop; i++) {
            s->X = i & 1 ? 700 : 0;
            osd_set_params(0, s);
        }
    });
    for (int i = 0; i < 3000; i++)
        osd_update(0, f.buf);
    stop = true;
    settings.join();
}

} // namespace

// Overlay slots: drawn after the text on every update, text items with records of their own.
TEST_F(Osd, EmptySlotsChangeOnlyTheTextAndAShadeSlotIsDrawnAfterIt)
{
    Frame a(64, 32, false, 100), b(64, 32, false, 100);
    draw(a, 1, 0, "A");
    uint32_t counter = osd_get_frame_counter(0);
    // The same text again, with a shade item (code 7 paints 16) over the frame's right half.
    std::vector<uint8_t> rle;
    for (int row = 0; row < 32; row++) {
        rle.push_back(0x70 | 15);   // 15 pixels of code 7
        rle.push_back(0x70 | 15);
        rle.push_back(0x72);        // 32 a row
    }
    OverlayItem &it = osd_channels[0].items[3];
    it.data = rle.data();
    it.size = (uint32_t)rle.size();
    it.x = 32;
    it.width = 32;
    it.height = 32;
    it.kind = OVERLAY_SHADE;
    osd_set_frame_counter(0, counter - 1);
    osd_update(0, b.buf);
    EXPECT_EQ(osd_get_frame_counter(0), counter);
    for (uint32_t y = 0; y < 32; y++)
        for (uint32_t x = 0; x < 64; x++)
            ASSERT_EQ(b.at(x, y), x >= 32 ? 16 : a.at(x, y)) << x << "," << y;
    it = OverlayItem{};
}

TEST_F(Osd, TextItemsDrawWithTheirOwnSettingsAndCopiesOwnTheirRecords)
{
    Frame f(160, 64, false, 128);
    s->Enabled = 0;
    osd_set_frame_size(0, f.width, f.height, ColorSpace_GRAY, f.line);
    overlay_set_text(2, 40, 20, "HI", 1, 0);
    ASSERT_EQ(osd_channels[0].items[2].kind, (uint32_t)OVERLAY_TEXT);
    osd_update(0, f.buf);
    // Style 0 is an opaque box: the item's cells are dark or bright, the rest untouched.
    EXPECT_NE(f.at(40, 20), 128);
    EXPECT_EQ(f.at(39, 20), 128);
    EXPECT_EQ(f.at(40, 19), 128);
    EXPECT_EQ(f.at(56, 20), 128);   // two 8-pixel cells
    // The channel's own layout is as it was.
    EXPECT_EQ(osd_channels[0].layout.x, 0u);
    osd_copy_channel(0, 1);
    ASSERT_EQ(osd_channels[1].items[2].kind, (uint32_t)OVERLAY_TEXT);
    EXPECT_NE(osd_channels[1].items[2].settings, osd_channels[0].items[2].settings);
    EXPECT_STREQ(osd_channels[1].items[2].settings->Message, "HI");
    overlay_clear(2);
    EXPECT_EQ(osd_channels[0].items[2].kind, (uint32_t)OVERLAY_EMPTY);
    osd_clear_items(1);   // frees the copy: ASan would see a double free or a leak
    EXPECT_EQ(osd_channels[1].items[2].kind, (uint32_t)OVERLAY_EMPTY);
    overlay_set_text(4, 0, 0, std::string(300, 'x').c_str(), 1, 0);
    EXPECT_EQ(strlen(osd_channels[0].items[4].settings->Message), sizeof s->Message - 1);
    overlay_set_text(4, 0, 0, nullptr, 1, 0);   // null clears
    EXPECT_EQ(osd_channels[0].items[4].kind, (uint32_t)OVERLAY_EMPTY);
    s->Enabled = 1;
    overlay_clear(16);   // beyond the slots: the channel's text goes off
    EXPECT_EQ(s->Enabled, 0);
}

TEST_F(Osd, TextItemsLeaveTheChannelTextExtentAlone)
{
    // The display cleans the OSD box by the channel's extent: an item must not change it.
    Frame f(320, 64, false, 128);
    overlay_set_text(3, 0, 30, "A MUCH LONGER ITEM TEXT\nON TWO LINES", 1, 0);
    draw(f, 1, 0, "AB");
    int32_t x, y, w, h;
    EXPECT_EQ(osd_text_extent(0, &x, &y, &w, &h), 2);
    EXPECT_EQ(w, 2 * 8);
    EXPECT_EQ(h, 13);
    EXPECT_STREQ(osd_channels[0].text, "AB");
    EXPECT_NE(f.at(0, 30), 128) << "the item was drawn";
    overlay_clear(3);
}

TEST_F(Osd, ResetKeepsTheBindingAndMovesTheText)
{
    s->X = 100;
    s->Y = 50;
    osd_reset_channel(0, 320, 240, ColorSpace_GRAY, 320);
    EXPECT_EQ(osd_channels[0].settings, s);
    EXPECT_EQ(s->X, 4u);
    EXPECT_EQ(s->Y, 2u);
    EXPECT_EQ(osd_channels[0].layout.lineLength, 320u);
    Frame f(320, 240, false, 128);
    s->Enabled = 1;
    osd_draw_text_at(0, f.buf, "AB\nC");
    int32_t top, last;
    osd_text_rows(0, &top, &last);
    EXPECT_EQ(top, 2);
    EXPECT_EQ(last, 2 + 2 * 13 - 1);
}
