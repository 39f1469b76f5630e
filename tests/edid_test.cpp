// EDID blocks built by hand with computed checksums: the mode list, the printed fields beside
// what Debian's edid-decode reads from the same bytes, and damaged blocks.
#include "testutil.h"
#include "video/edid.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {
void put(std::vector<uint8_t> &b, size_t at, std::initializer_list<int> bytes)
{
    for (int v : bytes)
        b[at++] = (uint8_t)v;
}

void put_text(std::vector<uint8_t> &b, size_t at, int tag, const char *text)
{
    put(b, at, {0, 0, 0, tag, 0});
    size_t n = strlen(text);
    for (size_t i = 0; i < 13; i++)
        b[at + 5 + i] = i < n ? (uint8_t)text[i] : i == n ? 0x0a : 0x20;
}

void seal(std::vector<uint8_t> &b, size_t block)
{
    unsigned sum = 0;
    for (size_t i = 0; i < 127; i++)
        sum += b[block + i];
    b[block + 127] = (uint8_t)(256 - sum % 256);
}

const std::initializer_list<int> dtd_1080p = {0x02, 0x3A, 0x80, 0x18, 0x71, 0x38, 0x2D, 0x40, 0x58,
                                              0x2C, 0x45, 0x00, 0x58, 0x54, 0x21, 0, 0, 0x1E};
const std::initializer_list<int> dtd_720p = {0x01, 0x1D, 0x00, 0x72, 0x51, 0xD0, 0x1E, 0x20, 0x6E,
                                             0x28, 0x55, 0x00, 0xC4, 0x8E, 0x21, 0, 0, 0x1E};
const std::initializer_list<int> dtd_576p = {0x8C, 0x0A, 0xD0, 0x90, 0x20, 0x40, 0x31, 0x20, 0x0C,
                                             0x40, 0x55, 0x00, 0xC4, 0x8E, 0x21, 0, 0, 0x18};

// A monitor: established and standard timings, a preferred 1080p timing, range limits, a name
// and a serial number.
std::vector<uint8_t> monitor()
{
    std::vector<uint8_t> b(128);
    put(b, 0, {0, 255, 255, 255, 255, 255, 255, 0, 0x04, 0x43, 0x34, 0x12, 1, 0, 0, 0, 10, 30, 1, 4});
    put(b, 20, {0xA5, 60, 34, 120, 0x0A, 0xEE, 0x91, 0xA3, 0x54, 0x4C, 0x99, 0x26, 0x0F, 0x50, 0x54});
    put(b, 35, {0x21, 0x18, 0x00, 0x81, 0x80, 0xD1, 0xC0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1});
    put(b, 54, dtd_1080p);
    put(b, 72, {0, 0, 0, 0xFD, 0, 0x38, 0x4C, 0x1E, 0x53, 0x0F, 0, 0x0A, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20});
    put_text(b, 90, 0xFC, "K7160 TEST");
    put_text(b, 108, 0xFF, "SN12345");
    seal(b, 0);
    return b;
}

// A TV: a 720p preferred timing and a CEA extension with audio, video, vendor and speaker
// blocks and one more detailed timing.
std::vector<uint8_t> tv()
{
    std::vector<uint8_t> b(256);
    put(b, 0, {0, 255, 255, 255, 255, 255, 255, 0, 0x04, 0x43, 0x78, 0x56, 7, 0, 0, 0, 1, 25, 1, 3});
    put(b, 20, {0x80, 100, 56, 120, 0x0A, 0xEE, 0x91, 0xA3, 0x54, 0x4C, 0x99, 0x26, 0x0F, 0x50, 0x54});
    put(b, 35, {0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1});
    put(b, 54, dtd_720p);
    put_text(b, 72, 0xFC, "K7160 TV");
    put(b, 90, {0, 0, 0, 0xFD, 0, 0x31, 0x3D, 0x0F, 0x2E, 0x08, 0, 0x0A, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20});
    put_text(b, 108, 0xFE, "HELLO");
    b[126] = 1;
    seal(b, 0);
    // Extension: audio (LPCM 2 ch), video (VIC 16 native, 4, 17), vendor (HDMI), speakers.
    const std::initializer_list<int> blocks = {0x23, 0x09, 0x07, 0x07,  0x43, 0x90, 0x04, 0x11,
                                               0x67, 0x03, 0x0C, 0x00, 0x10, 0x00, 0x80, 0x3C,
                                               0x83, 0x01, 0x00, 0x00};
    put(b, 128, {0x02, 0x03, 4 + 20, 0x71});
    put(b, 132, blocks);
    put(b, 128 + 24, dtd_576p);
    seal(b, 128);
    return b;
}

std::string dump(const std::vector<uint8_t> &b, size_t len = 0)
{
    char *text = nullptr;
    size_t size = 0;
    FILE *f = open_memstream(&text, &size);
    edid_set_output(f);
    edid_dump(b.data(), len ? len : b.size());
    edid_set_output(nullptr);
    fclose(f);
    std::string s(text, size);
    free(text);
    return s;
}

std::string edid_decode(const std::vector<uint8_t> &b, const char *name)
{
    std::string path = test_board_path(name);
    test_run("mkdir -p " + test_board_dir());
    std::ofstream(path, std::ios::binary).write((const char *)b.data(), (std::streamsize)b.size());
    return test_run("edid-decode " + path + " 2>&1");
}

bool has(const std::string &text, const std::string &what)
{
    return text.find(what) != std::string::npos;
}

std::vector<std::string> modes()
{
    std::vector<std::string> v;
    for (const EdidMode &m : edid_modes)
        if (m.width)
            v.push_back(std::to_string(m.width) + "x" + std::to_string(m.height) + (m.flags & 1 ? "i" : "p") +
                        std::to_string(m.refresh));
    return v;
}
} // namespace

TEST(Edid, MonitorFieldsAgreeWithEdidDecodeAndThePreferredModeComesFirst)
{
    std::vector<uint8_t> b = monitor();
    std::string ours = dump(b);
    std::string theirs = edid_decode(b, "monitor.bin");
    EXPECT_TRUE(has(ours, "eisa id: ABC\n")) << ours;
    EXPECT_TRUE(has(theirs, "Manufacturer: ABC")) << theirs;
    EXPECT_TRUE(has(ours, "product code: 1234\n"));
    EXPECT_TRUE(has(theirs, "Model: 4660"));   // 0x1234
    EXPECT_TRUE(has(ours, "week of manufacture: 10\n") && has(ours, "year of manufacture: 2020\n"));
    EXPECT_TRUE(has(theirs, "Made in: week 10 of 2020"));
    EXPECT_TRUE(has(ours, "EDID version: 1.4\n"));
    EXPECT_TRUE(has(theirs, "Version & Revision: 1.4"));
    EXPECT_TRUE(has(ours, " Bit depth: 2 = 8\n") && has(ours, " Video interface: 5 = DisplayPort\n"));
    EXPECT_TRUE(has(theirs, "Bits per primary color channel: 8") && has(theirs, "DisplayPort interface"));
    EXPECT_TRUE(has(ours, "Maximum horizontal image size 60 cm\n") && has(ours, "Display gamma 2.20\n"));
    EXPECT_TRUE(has(theirs, "Maximum image size: 60 cm x 34 cm") && has(theirs, "Gamma: 2.20"));
    EXPECT_TRUE(has(ours, " Pixel clock: 148500 kHz\n") && has(ours, " Calculated FPS: 60\n"));
    EXPECT_TRUE(has(theirs, "DTD 1:  1920x1080   60.000000 Hz"));
    EXPECT_TRUE(has(ours, " Display size: 600 mm x 340 mm\n"));
    EXPECT_TRUE(has(theirs, "(600 mm x 340 mm)"));
    EXPECT_TRUE(has(ours, "Mode 1: X resolution: 1280x1024  X:Y pixel ratio: 5:4  Vertical frequency: 60\n"));
    EXPECT_TRUE(has(theirs, "1280x1024   60.019740 Hz   5:4"));
    EXPECT_TRUE(has(ours, "2: EDID Monitor range limits descriptor\n"));
    EXPECT_TRUE(has(ours, " Minimum vertical rate: 56 Hz\n") && has(ours, " Maximum horizontal rate: 83 kHz\n"));
    EXPECT_TRUE(has(theirs, "56-76 Hz V, 30-83 kHz H, max dotclock 150 MHz"));
    EXPECT_TRUE(has(ours, "3: Monitor name: K7160 TEST\n"));
    EXPECT_TRUE(has(theirs, "Display Product Name: 'K7160 TEST'"));
    EXPECT_TRUE(has(ours, "4: Monitor serial number: SN12345\n"));
    EXPECT_TRUE(has(ours, "Checksum 0x" ) && has(ours, ", correct\n"));
    EXPECT_FALSE(has(theirs, "Checksum: 0x") && has(theirs, "(should be"));
    // Established 640x480, 800x600 and 1024x768 at 60 (87 Hz interlaced is not added), the two
    // standard timings, and the preferred timing in front; unused standard slots add nothing.
    std::vector<std::string> want = {"1920x1080p60", "640x480p60", "800x600p60", "1024x768p60", "1280x1024p60",
                                     "1920x1080p60"};
    EXPECT_EQ(modes(), want);
    EXPECT_EQ(edid_find_mode(1920, 1080, 60, 0), 0);
    EXPECT_EQ(edid_find_mode(800, 0, 0, -1), 2);
    EXPECT_EQ(edid_find_mode(1024, 768, 87, -1), -1);
    EXPECT_EQ(edid_range.max_clock_10mhz, 15);
}

TEST(Edid, TelevisionExtensionBlocks)
{
    std::vector<uint8_t> b = tv();
    std::string ours = dump(b);
    std::string theirs = edid_decode(b, "tv.bin");
    EXPECT_TRUE(has(ours, "Extension tag: 2\n") && has(ours, "Revision number: 3\n") && has(ours, "DTDs offset: 24\n"));
    EXPECT_TRUE(has(ours, "Audio: 1\n") && has(ours, "YCbCr 4:4:4: 1\n") && has(ours, "Number of DTDs: 1\n"));
    EXPECT_TRUE(has(ours, "Audio format: Linear PCM\n    Channels: 2\n"));
    EXPECT_TRUE(has(theirs, "Linear PCM:") && has(theirs, "Max channels: 2"));
    EXPECT_TRUE(has(ours, "    48 kHz: 1\n") && has(ours, "    96 kHz: 0\n") && has(ours, "    24 bit: 1\n"));
    EXPECT_TRUE(has(ours, "Short Video Descriptors\n"));
    EXPECT_TRUE(has(ours, "16 1080p    16:9              1920x1080p @ 59.94/60Hz\n"));
    EXPECT_TRUE(has(theirs, "VIC  16:  1920x1080") && has(theirs, "VIC   4:  1280x720") &&
                has(theirs, "VIC  17:   720x576"));
    EXPECT_TRUE(has(ours, " IEEE Registration Identifier: 00-0c-03\n") && has(ours, " Physical address: 1.0.0.0\n"));
    EXPECT_TRUE(has(theirs, "OUI 00-0C-03") && has(theirs, "Source physical address: 1.0.0.0"));
    EXPECT_TRUE(has(ours, " Supports AI: 1\n") && has(ours, " Max TMDS Frequency: 300 MHz\n"));
    EXPECT_TRUE(has(theirs, "Supports_AI") && has(theirs, "Maximum TMDS clock: 300 MHz"));
    EXPECT_TRUE(has(ours, " Front left/right: 1\n") && has(ours, " LFE: 0\n"));
    EXPECT_TRUE(has(theirs, "FL/FR - Front Left/Right"));
    EXPECT_TRUE(has(ours, "dtd_pos=24\n"));
    EXPECT_TRUE(has(theirs, "720x576    50.000000 Hz"));
    // The native bit is not part of the code; the preferred 720p stays in front, and modes seen
    // twice keep one entry.
    std::vector<std::string> want = {"1280x720p60", "1920x1080p60", "720x576p50"};
    EXPECT_EQ(modes(), want);
    EXPECT_TRUE(has(ours, "Checksum: 0x") && !has(ours, "incorrect"));
}

TEST(Edid, ChecksumTextSaysWhatTheLastByteShouldBe)
{
    std::vector<uint8_t> b = monitor();
    EXPECT_STREQ(edid_checksum_text(b.data(), 128), "correct");
    uint8_t good = b[127];
    b[40] += 1;
    char want[64];
    snprintf(want, sizeof want, "incorrect, should be 0x%02x\n", (uint8_t)(good - 1));
    EXPECT_STREQ(edid_checksum_text(b.data(), 128), want);
    EXPECT_TRUE(has(dump(b), want));
}

TEST(Edid, FullModeListAndSilentDumps)
{
    edid_set_output(nullptr);
    edid_dump(monitor().data(), 128);   // prints nothing, fills the list
    EXPECT_EQ(modes().size(), 6u);
    edid_clear_modes();
    char *text = nullptr;
    size_t size = 0;
    FILE *f = open_memstream(&text, &size);
    edid_set_output(f);
    for (unsigned i = 0; i < 65; i++)
        edid_add_mode(100 + i, 100, 60, 0, 0);
    edid_add_mode(1, 1, 1, 0, 1);   // preferred: the 64th falls off
    edid_set_output(nullptr);
    fclose(f);
    EXPECT_EQ(std::string(text, size), "edid modes list is full: 164 100 60\n");
    free(text);
    EXPECT_EQ(edid_modes[0].width, 1);
    EXPECT_EQ(edid_modes[63].width, 162);
    EXPECT_EQ(edid_find_mode(163, 100, 60, 0), -1);
}

TEST(Edid, DamagedBlocksStayInsideTheirBytes)
{
    std::vector<uint8_t> b = tv();
    // Too short for a base block; an extension announced but missing.
    EXPECT_EQ(edid_dump(b.data(), 100), -1);
    EXPECT_TRUE(has(dump(b, 128), "extension block missing"));
    // A DTD offset inside the data blocks, a data block running past the DTDs, zero totals.
    std::vector<uint8_t> c = b;
    c[128 + 2] = 10;
    std::string out = dump(c);
    EXPECT_TRUE(has(out, "runs past"));
    std::vector<uint8_t> d = b;
    put(d, 54, {0x01, 0x1D, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    dump(d);
    EXPECT_EQ(modes()[0], "1920x1080p60");   // the broken timing added nothing
    for (const EdidMode &m : edid_modes)
        EXPECT_TRUE(m.width == 0 || m.refresh != 0);
    // Every byte value in the DTD offset and the block headers: no read outside the input.
    for (int v = 0; v < 256; v++) {
        std::vector<uint8_t> e = b;
        e[128 + 2] = (uint8_t)v;
        e[132] = (uint8_t)v;
        std::vector<uint8_t> exact(e.begin(), e.end());   // ASan sees the exact length
        dump(exact);
    }
}
