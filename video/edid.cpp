#include "video/edid.h"

#include <cstdarg>
#include <cstring>

EdidMode edid_modes[EDID_MODES];
EdidRange edid_range;

namespace {
FILE *out_stream;
const uint8_t *in_data;
size_t in_length;
size_t bit_pos;
bool header_ok;

void say(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void say(const char *fmt, ...)
{
    if (!out_stream)
        return;
    va_list ap;
    va_start(ap, fmt);
    vfprintf(out_stream, fmt, ap);
    va_end(ap);
}

// A byte of the input, 0 past its end.
unsigned at(size_t i)
{
    return i < in_length ? in_data[i] : 0;
}

unsigned le16(size_t i)
{
    return at(i) | at(i + 1) << 8;
}

struct Vic {
    const char *text;
    uint16_t width, height;
    uint8_t refresh;
    char scan;
};

// CEA-861 video identification codes 1..63.
const Vic vic_table[63] = {
    {" 1 DMT0659   4:3                640x480p @ 59.94/60Hz", 640, 480, 60, 'p'},
    {" 2 480p      4:3                720x480p @ 59.94/60Hz", 720, 480, 60, 'p'},
    {" 3 480pH    16:9                720x480p @ 59.94/60Hz", 720, 480, 60, 'p'},
    {" 4 720p     16:9               1280x720p @ 59.94/60Hz", 1280, 720, 60, 'p'},
    {" 5 1080i    16:9              1920x1080i @ 59.94/60Hz", 1920, 1080, 60, 'i'},
    {" 6 480i      4:3          720(1440)x480i @ 59.94/60Hz", 1440, 480, 60, 'i'},
    {" 7 480iH    16:9          720(1440)x480i @ 59.94/60Hz", 1440, 480, 60, 'i'},
    {" 8 240p      4:3          720(1440)x240p @ 59.94/60Hz", 1440, 240, 60, 'p'},
    {" 9 240pH    16:9          720(1440)x240p @ 59.94/60Hz", 1440, 240, 60, 'p'},
    {"10 480i4x    4:3             (2880)x480i @ 59.94/60Hz", 2880, 480, 60, 'i'},
    {"11 480i4xH  16:9             (2880)x480i @ 59.94/60Hz", 2880, 480, 60, 'i'},
    {"12 240p4x    4:3             (2880)x240p @ 59.94/60Hz", 2880, 240, 60, 'p'},
    {"13 240p4xH  16:9             (2880)x240p @ 59.94/60Hz", 2880, 240, 60, 'p'},
    {"14 480p2x    4:3               1440x480p @ 59.94/60Hz", 1440, 480, 60, 'p'},
    {"15 480p2xH  16:9               1440x480p @ 59.94/60Hz", 1440, 480, 60, 'p'},
    {"16 1080p    16:9              1920x1080p @ 59.94/60Hz", 1920, 1080, 60, 'p'},
    {"17 576p      4:3                720x576p @ 50Hz", 720, 576, 50, 'p'},
    {"18 576pH    16:9                720x576p @ 50Hz", 720, 576, 50, 'p'},
    {"19 720p50   16:9               1280x720p @ 50Hz", 1280, 720, 50, 'p'},
    {"20 1080i25  16:9              1920x1080i @ 50Hz", 1920, 1080, 50, 'i'},
    {"21 576i      4:3          720(1440)x576i @ 50Hz", 1440, 576, 50, 'i'},
    {"22 576iH    16:9          720(1440)x576i @ 50Hz", 1440, 576, 50, 'i'},
    {"23 288p      4:3          720(1440)x288p @ 50Hz", 1440, 288, 50, 'p'},
    {"24 288pH    16:9          720(1440)x288p @ 50Hz", 1440, 288, 50, 'p'},
    {"25 576i4x    4:3             (2880)x576i @ 50Hz", 2880, 576, 50, 'i'},
    {"26 576i4xH  16:9             (2880)x576i @ 50Hz", 2880, 576, 50, 'i'},
    {"27 288p4x    4:3             (2880)x288p @ 50Hz", 2880, 288, 50, 'p'},
    {"28 288p4xH  16:9             (2880)x288p @ 50Hz", 2880, 288, 50, 'p'},
    {"29 576p2x    4:3               1440x576p @ 50Hz", 1440, 576, 50, 'p'},
    {"30 576p2xH  16:9               1440x576p @ 50Hz", 1440, 576, 50, 'p'},
    {"31 1080p50  16:9              1920x1080p @ 50Hz", 1920, 1080, 50, 'p'},
    {"32 1080p24  16:9              1920x1080p @ 23.98/24Hz", 1920, 1080, 24, 'p'},
    {"33 1080p25  16:9              1920x1080p @ 25Hz", 1920, 1080, 25, 'p'},
    {"34 1080p30  16:9              1920x1080p @ 29.97/30Hz", 1920, 1080, 30, 'p'},
    {"35 480p4x    4:3             (2880)x480p @ 59.94/60Hz", 2880, 480, 60, 'p'},
    {"36 480p4xH  16:9             (2880)x480p @ 59.94/60Hz", 2880, 480, 60, 'p'},
    {"37 576p4x    4:3             (2880)x576p @ 50Hz", 2880, 576, 50, 'p'},
    {"38 576p4xH  16:9             (2880)x576p @ 50Hz", 2880, 576, 50, 'p'},
    {"39 1080i25  16:9  1920x1080(1250 Total)i @ 50Hz", 1920, 1080, 50, 'i'},
    {"40 1080i50  16:9              1920x1080i @ 100Hz", 1920, 1080, 100, 'i'},
    {"41 720p100  16:9               1280x720p @ 100Hz", 1280, 720, 100, 'p'},
    {"42 576p100   4:3                720x576p @ 100Hz", 720, 576, 100, 'p'},
    {"43 576p100H 16:9                720x576p @ 100Hz", 720, 576, 100, 'p'},
    {"44 576i50    4:3          720(1440)x576i @ 100Hz", 1440, 576, 100, 'i'},
    {"45 576i50H  16:9          720(1440)x576i @ 100Hz", 1440, 576, 100, 'i'},
    {"46 1080i60  16:9              1920x1080i @ 119.88/120Hz", 1920, 1080, 120, 'i'},
    {"47 720p120  16:9               1280x720p @ 119.88/120Hz", 1280, 720, 120, 'p'},
    {"48 480p119   4:3                720x480p @ 119.88/120Hz", 720, 480, 120, 'p'},
    {"49 480p119H 16:9                720x480p @ 119.88/120Hz", 720, 480, 120, 'p'},
    {"50 480i59    4:3          720(1440)x480i @ 119.88/120Hz", 1440, 480, 120, 'i'},
    {"51 480i59H  16:9          720(1440)x480i @ 119.88/120Hz", 1440, 480, 120, 'i'},
    {"52 576p200   4:3                720x576p @ 200Hz", 720, 576, 200, 'p'},
    {"53 576p200H 16:9                720x576p @ 200Hz", 720, 576, 200, 'p'},
    {"54 576i100   4:3          720(1440)x576i @ 200Hz", 1440, 576, 200, 'i'},
    {"55 576i100H 16:9          720(1440)x576i @ 200Hz", 1440, 576, 200, 'i'},
    {"56 480p239   4:3                720x480p @ 239.76/240Hz", 720, 480, 240, 'p'},
    {"57 480p239H 16:9                720x480p @ 239.76/240Hz", 720, 480, 240, 'p'},
    {"58 480i119   4:3          720(1440)x480i @ 239.76/240Hz", 1440, 480, 240, 'i'},
    {"59 480i119H 16:9          720(1440)x480i @ 239.76/240Hz", 1440, 480, 240, 'i'},
    {"60 720p24   16:9               1280x720p @ 23.98/24Hz", 1280, 720, 24, 'p'},
    {"61 720p25   16:9               1280x720p @ 25Hz", 1280, 720, 25, 'p'},
    {"62 720p30   16:9               1280x720p @ 29.97/30Hz", 1280, 720, 30, 'p'},
    {"63 1080p120 16:9              1920x1080p @ 119.88/120Hz", 1920, 1080, 120, 'p'},
};

const char *const established[17] = {
    "720x400 70Hz", "720x400 88Hz", "640x480 60Hz", "640x480 67Hz", "640x480 72Hz", "640x480 75Hz",
    "800x600 56Hz", "800x600 60Hz", "800x600 72Hz", "800x600 75Hz", "832x624 75Hz", "1024x768 87Hz",
    "1024x768 60Hz", "1024x768 70Hz", "1024x768 75Hz", "1280x1024 75Hz", "1152x870 75Hz",
};
const uint16_t established_mode[17][3] = {
    {720, 400, 70},  {720, 400, 88},  {640, 480, 60},   {640, 480, 67},   {640, 480, 72},  {640, 480, 75},
    {800, 600, 56},  {800, 600, 60},  {800, 600, 72},   {800, 600, 75},   {832, 624, 75},  {1024, 768, 87},
    {1024, 768, 60}, {1024, 768, 70}, {1024, 768, 75},  {1280, 1024, 75}, {1152, 870, 75},
};

const char *const audio_formats[16] = {
    "Reserved", "Linear PCM", "AC-3", "MPEG1 (Layers 1 & 2)", "MPEG1 Layer 3 (MP3)", "MPEG2 (multichannel)",
    "AAC", "DTS", "ATRAC", "One-bit audio", "Dolby Digital +", "DTS-HD", "MAT (MLP)", "DST", "WMA Pro",
    "Reserved",
};

// One 18-byte detailed timing at offset p. Adds its mode; at the front when preferred.
void detailed_timing(size_t p, int number, int preferred)
{
    unsigned clock = le16(p);
    unsigned hactive = at(p + 2) | (at(p + 4) >> 4) << 8;
    unsigned hblank = at(p + 3) | (at(p + 4) & 15) << 8;
    unsigned vactive = at(p + 5) | (at(p + 7) >> 4) << 8;
    unsigned vblank = at(p + 6) | (at(p + 7) & 15) << 8;
    unsigned hsync_off = at(p + 8) | (at(p + 11) >> 6) << 8;
    unsigned hsync_pw = at(p + 9) | (at(p + 11) >> 4 & 3) << 8;
    unsigned vsync_off = (at(p + 10) >> 4) | (at(p + 11) >> 2 & 3) << 4;
    unsigned vsync_pw = (at(p + 10) & 15) | (at(p + 11) & 3) << 4;
    unsigned hmm = at(p + 12) | (at(p + 14) >> 4) << 8;
    unsigned vmm = at(p + 13) | (at(p + 14) & 15) << 8;
    unsigned flags = at(p + 17);
    int interlaced = flags >> 7 & 1;
    say("%d: Detailed Timing Descriptor\n", number);
    say(" Pixel clock: %d kHz\n", clock * 10);
    say("            Active  Blanking  Sync offset  Sync pulse  Border\n");
    say(" Horizontal %6u  %8u  %11u  %10u  %6u\n", hactive, hblank, hsync_off, hsync_pw, at(p + 15));
    say(" Vertical   %6u  %8u  %11u  %10u  %6u\n", vactive, vblank, vsync_off, vsync_pw, at(p + 16));
    say(" Display size: %d mm x %d mm\n", hmm, vmm);
    unsigned long total = (unsigned long)(hactive + hblank) * (vactive + vblank);
    double fps = total ? clock * 10000.0 / total : 0.0;
    say(" Calculated FPS: %g\n", fps);
    say(" Interlaced: %d\n", interlaced);
    static const char *const stereo[8] = {
        "No stereo", "No stereo", "Field sequential, right during stereo sync",
        "Field sequential, left during stereo sync", "2-way interleaved, right image on even lines",
        "2-way interleaved, left image on even lines", "4-way interleaved", "Side-by-side interleaved",
    };
    say(" Stereo mode: %s\n", stereo[(flags >> 4 & 6) | (flags & 1)]);
    static const char *const sync[4] = {"Analog composite", "Bipolar analog composite", "Digital composite",
                                        "Digital separate"};
    say(" Sync type: %s\n", sync[flags >> 3 & 3]);
    say(" Sync flag 1: %d\n", flags >> 2 & 1);
    say(" Sync flag 2: %d\n", flags >> 1 & 1);
    if (total && hactive && vactive)
        edid_add_mode(hactive, vactive, (unsigned)(fps + 0.5), interlaced, preferred);
}

void display_descriptor(size_t p, int number)
{
    unsigned tag = at(p + 3);
    if (tag == 0xfd) {
        unsigned f = at(p + 4);
        edid_range.min_v_hz = (int)(at(p + 5) | (f & 1) << 8);
        edid_range.max_v_hz = (int)(at(p + 6) | (f >> 1 & 1) << 8);
        edid_range.min_h_khz = (int)(at(p + 7) | (f >> 2 & 1) << 8);
        edid_range.max_h_khz = (int)(at(p + 8) | (f >> 3 & 1) << 8);
        edid_range.max_clock_10mhz = (int)at(p + 9);
        say("%d: EDID Monitor range limits descriptor\n", number);
        say(" Minimum vertical rate: %d Hz\n", edid_range.min_v_hz);
        say(" Maximum vertical rate: %d Hz\n", edid_range.max_v_hz);
        say(" Minimum horizontal rate: %d kHz\n", edid_range.min_h_khz);
        say(" Maximum horizontal rate: %d kHz\n", edid_range.max_h_khz);
        say(" Maximum pixel clock: %d MHz\n", edid_range.max_clock_10mhz * 10);
        unsigned type = at(p + 10);
        say(" Extended timing information type: %d\n", type);
        if (type == 2) {
            say("Start frequency for secondary curve: %d kHz\n", at(p + 12) * 2);
            say("GTF C value: %.1f\n", at(p + 13) / 2.0);
            say("GTF M value: %d\n", le16(p + 14));
            say("GTF K value: %d\n", at(p + 16));
            say("GTF J value: %.1f\n", at(p + 17) / 2.0);
        }
        return;
    }
    const char *name = tag == 0xff ? "Monitor serial number"
                       : tag == 0xfe ? "Unspecified text"
                       : tag == 0xfc ? "Monitor name"
                                     : nullptr;
    if (!name) {
        say("%d: Unknown descriptor type 0x%02x\n", number, tag);
        return;
    }
    char text[14];
    size_t n = 0;
    for (; n < 13 && at(p + 5 + n) >= 32; n++)
        text[n] = (char)at(p + 5 + n);
    text[n] = 0;
    say("%d: %s: %s\n", number, name, text);
}

void standard_timing(size_t p, int number)
{
    unsigned b0 = at(p), b1 = at(p + 1);
    if ((b0 == 1 && b1 == 1) || (b0 == 0 && b1 == 0)) {
        say("Mode %d: unused\n", number);
        return;
    }
    static const unsigned aspect[4][2] = {{16, 10}, {4, 3}, {5, 4}, {16, 9}};
    unsigned width = (b0 + 31) * 8;
    const unsigned *a = aspect[b1 >> 6];
    unsigned height = width * a[1] / a[0];
    unsigned refresh = (b1 & 63) + 60;
    say("Mode %d: X resolution: %4dx%d  ", number, width, height);
    say("X:Y pixel ratio: %d:%d  ", a[0], a[1]);
    say("Vertical frequency: %d\n", refresh);
    edid_add_mode(width, height, refresh, 0, 0);
}

void extension_block(size_t base)
{
    say("pos %d %d\n", (int)(bit_pos / 8), (int)(bit_pos % 8));
    unsigned dtd_offset = at(base + 2);
    unsigned f = at(base + 3);
    say("Extension tag: %d\n", at(base));
    say("Revision number: %d\n", at(base + 1));
    say("DTDs offset: %d\n", dtd_offset);
    say("Underscan: %d\n", f >> 7 & 1);
    say("Audio: %d\n", f >> 6 & 1);
    say("YCbCr 4:4:4: %d\n", f >> 5 & 1);
    say("YCbCr 4:2:2: %d\n", f >> 4 & 1);
    say("Number of DTDs: %d\n", f & 15);
    // Data blocks lie between byte 4 and the DTDs; none may run past that (or the block).
    size_t end = dtd_offset >= 4 && dtd_offset <= 127 ? dtd_offset : 4;
    size_t p = 4;
    while (p < end) {
        unsigned tag = at(base + p) >> 5, size = at(base + p) & 31;
        say("tag: %d size: %d\n", tag, size);
        if (p + 1 + size > end) {
            say("data block runs past the DTDs\n");
            break;
        }
        size_t d = base + p + 1;
        if (tag == 1) {
            for (unsigned i = 0; i + 3 <= size; i += 3) {
                unsigned fmt = at(d + i) >> 3 & 15;
                say("Audio format: %s\n", audio_formats[fmt]);
                say("    Channels: %d\n", (at(d + i) & 7) + 1);
                static const int rates[7] = {192, 176, 96, 88, 48, 44, 32};
                for (int r = 0; r < 7; r++)
                    say("    %d kHz: %d\n", rates[r], at(d + i + 1) >> (6 - r) & 1);
                if (fmt == 1) {
                    say("    24 bit: %d\n", at(d + i + 2) >> 2 & 1);
                    say("    20 bit: %d\n", at(d + i + 2) >> 1 & 1);
                    say("    16 bit: %d\n", at(d + i + 2) & 1);
                } else {
                    say("    Bit rate: %d kbps\n", at(d + i + 2) * 8);
                }
            }
        } else if (tag == 2) {
            say("Short Video Descriptors\n");
            for (unsigned i = 0; i < size; i++) {
                unsigned code = at(d + i) & 0x7f;
                if (code < 1 || code > 63) {
                    say("Reserved\n");
                    continue;
                }
                const Vic &v = vic_table[code - 1];
                say("%s\n", v.text);
                say(" %s %dx%d%c%d \n", v.scan == 'i' ? "interlaced" : "progressive", v.width, v.height, v.scan,
                    v.refresh);
                edid_add_mode(v.width, v.height, v.refresh, v.scan == 'i', 0);
            }
        } else if (tag == 3) {
            say("Vendor Specific Data Block\n");
            say(" IEEE Registration Identifier: %02x-%02x-%02x\n", at(d + 2), at(d + 1), at(d));
            say("@%02x\n", (unsigned)(d - base));
            if (size >= 5)
                say(" Physical address: %d.%d.%d.%d\n", at(d + 3) >> 4, at(d + 3) & 15, at(d + 4) >> 4,
                    at(d + 4) & 15);
            if (size >= 6) {
                unsigned b = at(d + 5);
                say(" Supports AI: %d\n", b >> 7);
                say("    DC_48bit: %d\n", b >> 6 & 1);
                say("    DC_36bit: %d\n", b >> 5 & 1);
                say("    DC_30bit: %d\n", b >> 4 & 1);
                say("     DC_Y444: %d\n", b >> 3 & 1);
                say(" DVI Dual Link: %d\n", b & 1);
            }
            if (size >= 7)
                say(" Max TMDS Frequency: %d MHz\n", at(d + 6) * 5);
            if (size >= 8) {
                unsigned b = at(d + 7);
                int lat = b >> 7 & 1, ilat = b >> 6 & 1;
                say(" Latency fields present: %d\n", lat);
                say(" Interlaced latency fields present: %d\n", ilat);
                if (lat && size >= 10) {
                    say(" Video latency: %d ms\n", ((int)at(d + 8) - 1) * 2);
                    say(" Audio latency: %d ms\n", ((int)at(d + 9) - 1) * 2);
                }
                if (lat && ilat && size >= 12) {
                    say(" Interlaced video latency: %d ms\n", ((int)at(d + 10) - 1) * 2);
                    say(" Interlaced audio latency: %d ms\n", ((int)at(d + 11) - 1) * 2);
                }
            }
        } else if (tag == 4) {
            unsigned b = size >= 1 ? at(d) : 0;
            say(" Rear center left/right: %d\n", b >> 6 & 1);
            say(" Front center left/right: %d\n", b >> 5 & 1);
            say(" Rear center: %d\n", b >> 4 & 1);
            say(" Rear left/right: %d\n", b >> 3 & 1);
            say(" Front center: %d\n", b >> 2 & 1);
            say(" LFE: %d\n", b >> 1 & 1);
            say(" Front left/right: %d\n", b & 1);
        } else {
            for (unsigned i = 0; i < size; i++)
                say(" Byte 0x%02x\n", at(d + i));
        }
        p += 1 + size;
    }
    if (dtd_offset >= 4) {
        say("dtd_pos=%d\n", dtd_offset);
        int number = 1;
        for (size_t q = dtd_offset; q + 18 <= 127 && le16(base + q) != 0; q += 18)
            detailed_timing(base + q, number++, 0);
    }
    say("Checksum: 0x%x, %s\n", at(base + 127), edid_checksum_text(in_data + base, 128));
}
} // namespace

void edid_set_output(FILE *stream)
{
    out_stream = stream;
}

void edid_set_input(const uint8_t *edid, size_t length)
{
    in_data = edid;
    in_length = edid ? length : 0;
    bit_pos = 0;
}

unsigned long edid_read_bits(int n)
{
    unsigned long v = 0;
    for (int i = 0; i < n; i++, bit_pos++) {
        size_t byte = bit_pos / 8;
        unsigned bit = byte < in_length ? in_data[byte] >> (7 - bit_pos % 8) & 1 : 0;
        v = v << 1 | bit;
    }
    return v;
}

int edid_check_bits(int n, unsigned long expected)
{
    size_t at_pos = bit_pos;
    unsigned long v = edid_read_bits(n);
    if (v != expected) {
        say("reserved bits mismatch: 0x%lu != 0x%lu  @%d.%d\n", v, expected, (int)(at_pos / 8), (int)(at_pos % 8));
        return -1;
    }
    return 0;
}

const char *edid_checksum_text(const uint8_t *block, size_t length)
{
    static thread_local char text[40];
    unsigned sum = 0;
    for (size_t i = 0; block && i < length; i++)
        sum += block[i];
    if (sum % 256 == 0 || !block || length == 0)
        return "correct";
    snprintf(text, sizeof text, "incorrect, should be 0x%02x\n", (unsigned)(block[length - 1] - sum) & 0xff);
    return text;
}

void edid_clear_modes()
{
    memset(edid_modes, 0, sizeof edid_modes);
}

int edid_find_mode(int width, int height, int refresh, int interlaced)
{
    for (int i = 0; i < EDID_MODES; i++) {
        const EdidMode &m = edid_modes[i];
        if (m.width == 0)
            continue;
        if ((width <= 0 || m.width == width) && (height <= 0 || m.height == height) &&
            (refresh <= 0 || m.refresh == refresh) && (interlaced < 0 || (m.flags & 1) == (interlaced ? 1 : 0)))
            return i;
    }
    return -1;
}

void edid_add_mode(unsigned width, unsigned height, unsigned refresh, int interlaced, int preferred)
{
    EdidMode m = {(uint16_t)width, (uint16_t)height, (uint8_t)refresh, (uint8_t)(interlaced ? 1 : 0)};
    if (width == 0 || height == 0)
        return;
    if (preferred) {
        memmove(edid_modes + 1, edid_modes, sizeof edid_modes - sizeof edid_modes[0]);
        edid_modes[0] = m;
        return;
    }
    for (int i = 0; i < EDID_MODES; i++) {
        EdidMode &e = edid_modes[i];
        if (e.width == 0 ||
            (e.width == m.width && e.height == m.height && e.refresh == m.refresh && e.flags == m.flags)) {
            e = m;
            return;
        }
    }
    say("edid modes list is full: %u %u %u\n", width, height, refresh);
}

int edid_dump(const uint8_t *edid, size_t length)
{
    edid_clear_modes();
    memset(&edid_range, 0, sizeof edid_range);
    edid_set_input(edid, length);
    if (!edid || length < 128) {
        say("EDID too short: %u bytes\n", (unsigned)length);
        return -1;
    }
    header_ok = true;
    if (edid[0] != 0 || edid[7] != 0)
        header_ok = false;
    bit_pos = 64;
    say("header: %s\n", header_ok ? "ok" : "bad");
    edid_check_bits(1, 0);
    char eisa[4];
    for (int i = 0; i < 3; i++)
        eisa[i] = (char)(edid_read_bits(5) + 64);
    eisa[3] = 0;
    say("eisa id: %s\n", eisa);
    say("product code: %x\n", le16(10));
    say("serial number: %d\n", (int)(le16(12) | (uint32_t)le16(14) << 16));
    say("week of manufacture: %d\n", at(16));
    say("year of manufacture: %d\n", at(17) + 1990);
    say("EDID version: %d", at(18));
    say(".%d\n", at(19));

    unsigned vi = at(20);
    if (vi & 0x80) {
        static const char *const depth[8] = {"undefined", "6", "8", "10", "12", "14", "16", "reserved"};
        // Interface 1 is DVI in the EDID layout; without it every later name would be one off.
        static const char *const iface[7] = {"undefined", "DVI", "HDMIa", "HDMIb", "MDDI", "DisplayPort", "other"};
        unsigned d = vi >> 4 & 7, itf = vi & 15;
        say("Digital Input\n");
        say(" Bit depth: %d = %s\n", d, depth[d]);
        say(" Video interface: %d = %s\n", itf, iface[itf < 6 ? itf : 6]);
    } else {
        static const char *const levels[4] = {"+0.7/-0.3 V", "+0.714/-0.286 V", "+1.0/-0.4 V", "+0.7/0 V"};
        say("Analog Input\n");
        say(" White and sync levels: %s\n", levels[vi >> 5 & 3]);
        say(" Blank-to-black setup: %d\n", vi >> 4 & 1);
        say(" Separate sync: %d\n", vi >> 3 & 1);
        say(" Composite sync: %d\n", vi >> 2 & 1);
        say(" Sync on green: %d\n", vi >> 1 & 1);
        say(" VSync serrated: %d\n", vi & 1);
    }
    say("Maximum horizontal image size %d cm\n", at(21));
    say("Maximum vertical image size %d cm\n", at(22));
    say("Display gamma %.2f\n", (at(23) + 100) / 100.0);
    unsigned feat = at(24);
    say("DPMS standby: %d\n", feat >> 7 & 1);
    say("DPMS suspend: %d\n", feat >> 6 & 1);
    say("DPMS active-off: %d\n", feat >> 5 & 1);
    static const char *const types[4] = {"monochrome or grayscale", "RGB color", "non-RGB color", "undefined"};
    say("Display type: %s\n", types[feat >> 3 & 3]);
    say("Standard sRGB color space: %d\n", feat >> 2 & 1);
    say("Preferred timing in descriptor block 1: %d\n", feat >> 1 & 1);
    say("GTF support: %d\n", feat & 1);

    say("CIE xy coordinates:\n");
    say(" low bits: %02x %02x\n", at(25), at(26));
    static const char *const cie[8] = {"Red x", "Red y", "Green x", "Green y", "Blue x", "Blue y", "White x", "White y"};
    for (int i = 0; i < 8; i++)
        say(" %s: %d\n", cie[i], at(27 + i));

    uint32_t est = at(35) << 16 | at(36) << 8 | at(37);
    for (int i = 0; i < 17; i++) {
        int set = est >> (23 - i) & 1;
        say("%s: %d\n", established[i], set);
        if (set && i != 11)
            edid_add_mode(established_mode[i][0], established_mode[i][1], established_mode[i][2], 0, 0);
    }
    say("others: %d %d %d %d %d %d %d\n", est >> 6 & 1, est >> 5 & 1, est >> 4 & 1, est >> 3 & 1, est >> 2 & 1,
        est >> 1 & 1, est & 1);

    for (int i = 0; i < 8; i++)
        standard_timing(38 + i * 2, i + 1);

    for (int i = 0; i < 4; i++) {
        size_t p = 54 + i * 18;
        if (le16(p) != 0)
            detailed_timing(p, i + 1, i == 0);
        else
            display_descriptor(p, i + 1);
    }

    unsigned ext = at(126);
    say("Number of extensions: %d\n", ext);
    say("Checksum 0x%x, %s\n", at(127), edid_checksum_text(edid, 128));
    if (ext > 0) {
        if (length < 256)
            say("extension block missing: %u bytes\n", (unsigned)length);
        else {
            bit_pos = 128 * 8;
            extension_block(128);
        }
    }
    return 0;
}
