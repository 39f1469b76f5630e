#include "core/board.h"
#include "core/crc32.h"
#include "core/mtd.h"
#include "core/quit.h"
#include "platform/platform.h"
#include "services/customzip.h"
#include "services/firmware.h"
#include "testutil.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

void put_be32(uint8_t *p, uint32_t v)
{
    p[0] = v >> 24;
    p[1] = v >> 16;
    p[2] = v >> 8;
    p[3] = v;
}

// A boot-loader image: header with magic, time, data size, data CRC and name; pseudo-random data.
std::vector<uint8_t> make_image(uint32_t data_size, uint32_t stamp, uint32_t seed = 1)
{
    std::vector<uint8_t> img(64 + data_size);
    uint32_t x = seed;
    for (uint32_t i = 0; i < data_size; i++) {
        x = x * 1103515245u + 12345u;
        img[64 + i] = x >> 16;
    }
    put_be32(&img[0], FIRMWARE_MAGIC);
    put_be32(&img[8], stamp);
    put_be32(&img[12], data_size);
    put_be32(&img[24], crc32_yield(img.data() + 64, data_size, nullptr));
    memcpy(&img[32], "test image", 10);
    return img;
}

std::string take()
{
    const char *m = firmware_take_message();
    return m ? m : "";
}

std::vector<uint8_t> flash_bytes(uint32_t off, size_t n)
{
    std::vector<uint8_t> b(n);
    EXPECT_EQ(mtd_read(b.data(), off, n), (ssize_t)n);
    return b;
}

class Firmware : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform_init();
        ASSERT_EQ(mtd_open(), 0);
        take();
    }
};

TEST_F(Firmware, CorruptedByteRefusedFlashUntouchedThenWrittenAndNoUpdateNeeded)
{
    std::vector<uint8_t> img = make_image(300000, 1765000000);
    std::vector<uint8_t> before = flash_bytes(FIRMWARE_MAIN_OFFSET, img.size());
    std::vector<uint8_t> bad = img;
    bad[64 + 1234] ^= 0x01;
    EXPECT_FALSE(firmware_flash_image(bad.data(), bad.size()));
    EXPECT_EQ(take(), "not a valid firmware file");
    EXPECT_EQ(flash_bytes(FIRMWARE_MAIN_OFFSET, img.size()), before);

    ASSERT_TRUE(firmware_flash_image(img.data(), img.size()));
    EXPECT_EQ(take(), "Restarting");
    EXPECT_EQ(flash_bytes(FIRMWARE_MAIN_OFFSET, img.size()), img);

    EXPECT_FALSE(firmware_flash_image(img.data(), img.size()));
    EXPECT_EQ(take(), "No update needed");

    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_EQ(firmware_image_time(), 1765000000u);
    EXPECT_STREQ(firmware_date_text(), "2025 1206 0546");
}

TEST_F(Firmware, SafeBootAsksForAPowerCycleAndDatesTheSafeImage)
{
    std::vector<uint8_t> img = make_image(50000, 1765300000, 5);
    safe_boot = 1;
    EXPECT_TRUE(firmware_flash_image(img.data(), img.size()));
    EXPECT_EQ(take(), "Update complete, cycle power to restart");
    uint8_t safe_stamp[4] = {0x12, 0x34, 0x56, 0x78};
    ASSERT_EQ(mtd_erase_block(FIRMWARE_SAFE_OFFSET, MTD_ERASE_SIZE), 0);
    ASSERT_EQ(mtd_write(safe_stamp, FIRMWARE_SAFE_OFFSET + 8, 4), 4);
    EXPECT_EQ(firmware_image_time(), 0x12345678u);
    safe_boot = 0;
    EXPECT_EQ(firmware_image_time(), 1765300000u);
}

TEST_F(Firmware, InterruptedWriteLeavesNoValidHeader)
{
    std::vector<uint8_t> img = make_image(200000, 1765100000, 7);
    // The power goes just when the data is written: the erase (8 KiB steps) and the data (256-byte
    // pages, in pieces of 4 KiB) are done, the header is not.
    long steps = 0;
    for (uint32_t off = 0; off < img.size(); off += MTD_ERASE_SIZE)
        steps += MTD_ERASE_SIZE / 8192;
    for (uint32_t off = 64; off < img.size(); off += 4096)
        steps += (std::min<uint32_t>(4096, img.size() - off) + 255) / 256;
    platform_flash_cut_after(steps);
    EXPECT_FALSE(firmware_flash_image(img.data(), img.size()));
    EXPECT_EQ(platform_flash_cut_remaining(), 0);
    platform_flash_cut_after(-1);
    EXPECT_EQ(take(), "error writing block");
    std::vector<uint8_t> head = flash_bytes(FIRMWARE_MAIN_OFFSET, 64);
    EXPECT_FALSE(firmware_header_check(head.data(), img.size()));
    EXPECT_EQ(flash_bytes(FIRMWARE_MAIN_OFFSET + 64, 1000),
              std::vector<uint8_t>(img.begin() + 64, img.begin() + 1064));
}

TEST_F(Firmware, RefusedStartsKeepTheirReasonAfterTheUploadEnds)
{
    std::vector<uint8_t> img = make_image(1000, 1);
    struct Case {
        size_t size;
        uint32_t data_size;
        bool bad_magic;
        const char *reason;
    } cases[] = {
        {10, 1000, false, "firmware file too small"},
        {63, 1000, false, "firmware file too small"},
        {64, 1000, true, "not a valid firmware file"},
        {64, FIRMWARE_MAX_SIZE - 63, false, "firmware file too large"},
        {64, 0xFFFFFFC0u, false, "firmware file too large"},   // data size + 64 would wrap to 0
        {64, 0xFFFFFFFFu, false, "firmware file too large"},
    };
    for (const Case &c : cases) {
        std::vector<uint8_t> h(img.begin(), img.begin() + 64);
        put_be32(&h[12], c.data_size);
        if (c.bad_magic)
            h[0] = 0;
        EXPECT_EQ(firmware_upload_init(h.data(), c.size), -1) << c.reason;
        EXPECT_FALSE(firmware_upload_active());
        upload_finish();
        EXPECT_EQ(take(), c.reason);
    }
    EXPECT_EQ(firmware_upload_init(img.data(), 0), -1);
    upload_finish();
    EXPECT_EQ(take(), "Firmware upload failed");
}

TEST_F(Firmware, TruncatedUploadIsDroppedAndTheNextAccepted)
{
    std::vector<uint8_t> img = make_image(5000, 2);
    ASSERT_EQ(firmware_upload_init(img.data(), 64), 0);
    EXPECT_EQ(take(), "uploading");
    firmware_upload_data(img.data(), 3000);
    EXPECT_EQ(firmware_start_flash(), -1);   // not while the image is still arriving
    EXPECT_TRUE(firmware_upload_active());
    EXPECT_EQ(firmware_upload_init(img.data(), 64), FIRMWARE_BUSY);   // one at a time
    EXPECT_EQ(take(), "");                                             // and the first's message stays
    upload_finish();
    EXPECT_FALSE(firmware_upload_active());
    EXPECT_EQ(take(), "Firmware image truncated");
    ASSERT_EQ(firmware_upload_init(img.data(), 64), 0);
    upload_finish();
    EXPECT_EQ(take(), "Firmware image truncated");
}

// Messages until no update runs any more (at most 20 s).
std::vector<std::string> messages_until_idle()
{
    std::vector<std::string> seen;
    for (int i = 0; i < 2000; i++) {
        bool active = firmware_upload_active();
        std::string m = take();
        if (!m.empty())
            seen.push_back(m);
        if (!active)
            break;
        usleep(10000);
    }
    return seen;
}

TEST_F(Firmware, EndsAndStartsDuringFlashingLeaveTheImageToTheFlashThread)
{
    std::vector<uint8_t> img = make_image(6 << 20, 3, 9);
    img[64 + 100] ^= 1;   // refused after the whole CRC pass: nothing is written
    ASSERT_EQ(firmware_upload_init(img.data(), 64), 0);
    firmware_upload_data(img.data(), img.size());
    // What a second request did when it ended: it must neither free nor replace the image.
    upload_finish();
    upload_finish();
    EXPECT_EQ(firmware_upload_init(img.data(), 64), FIRMWARE_BUSY);
    EXPECT_EQ(firmware_upload_data(img.data(), 64), 0);
    std::vector<std::string> seen = messages_until_idle();
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back(), "not a valid firmware file");
    for (const std::string &m : seen)
        EXPECT_NE(m, "Firmware image truncated");
    ASSERT_EQ(firmware_upload_init(img.data(), 64), 0);   // idle again
    upload_finish();
    EXPECT_EQ(take(), "Firmware image truncated");
}

TEST_F(Firmware, ImageFileIsLoadedAndCheckedOnTheFlashThread)
{
    std::vector<uint8_t> img = make_image(40000, 4, 11);
    img[64 + 5] ^= 1;
    std::string path = test_board_path("bad.img");
    FILE *f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fwrite(img.data(), 1, img.size(), f);
    fclose(f);
    std::vector<uint8_t> before = flash_bytes(FIRMWARE_MAIN_OFFSET, img.size());
    ASSERT_EQ(firmware_flash_file(path.c_str()), 0);
    std::vector<std::string> seen = messages_until_idle();
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back(), "not a valid firmware file");
    EXPECT_EQ(flash_bytes(FIRMWARE_MAIN_OFFSET, img.size()), before);
    EXPECT_EQ(firmware_flash_file(test_board_path("missing.img").c_str()), -1);
    EXPECT_NE(test_log_text().find("firmware_upload_file: could not open"), std::string::npos);

    // While an upload arrives, a file is refused and the upload goes on.
    ASSERT_EQ(firmware_upload_init(img.data(), 64), 0);
    EXPECT_EQ(firmware_flash_file(path.c_str()), -1);
    EXPECT_EQ(firmware_upload_file(path.c_str()), -1);
    EXPECT_TRUE(firmware_upload_active());
    EXPECT_EQ(take(), "uploading");
    upload_finish();
}

// A file written from the calling thread ends as an upload does: the page gets its moment to
// read the message, then the restart.
TEST_F(Firmware, ZUploadFileWaitsForThePageThenRestarts)
{
    std::vector<uint8_t> img = make_image(60000, 1765500000, 13);
    std::string path = test_board_path("good.img");
    FILE *f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fwrite(img.data(), 1, img.size(), f);
    fclose(f);
    std::string page_saw;
    std::thread page([&] {
        for (int i = 0; i < 2000 && page_saw != "Restarting"; i++) {
            std::string m = take();
            if (!m.empty())
                page_saw = m;
            usleep(10000);
        }
    });
    EXPECT_EQ(firmware_upload_file(path.c_str()), 0);
    page.join();
    EXPECT_EQ(page_saw, "Restarting");
    EXPECT_EQ(quit_requested(), QUIT_REBOOT);
    EXPECT_EQ(flash_bytes(FIRMWARE_MAIN_OFFSET, img.size()), img);
    std::string log = test_log_text();
    EXPECT_NE(log.find("flash_thread: waiting for web page to see message"), std::string::npos);
    EXPECT_NE(log.find("flash_thread: done"), std::string::npos);
    EXPECT_FALSE(firmware_upload_active());
}

// A successful upload asks the process to reboot (each test runs in a process of its own).
TEST_F(Firmware, ZFullUploadCutsExtraBytesFlashesAndAsksForReboot)
{
    std::vector<uint8_t> img = make_image(100000, 1765200000, 3);
    std::vector<uint8_t> body = img;
    body.insert(body.end(), 500, 0xAB);   // beyond the announced size
    ASSERT_EQ(firmware_upload_init(body.data(), 64), 0);
    for (size_t off = 0; off < body.size(); off += 7000)
        firmware_upload_data(body.data() + off, std::min<size_t>(7000, body.size() - off));
    upload_finish();
    std::vector<std::string> seen;
    for (int i = 0; i < 200 && quit_requested() == 0; i++) {
        std::string m = take();
        if (!m.empty())
            seen.push_back(m);
        usleep(20000);
    }
    EXPECT_EQ(quit_requested(), QUIT_REBOOT);
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back(), "Restarting");
    EXPECT_EQ(flash_bytes(FIRMWARE_MAIN_OFFSET, img.size()), img);
    for (int i = 0; i < 100 && firmware_upload_active(); i++)
        usleep(10000);
    EXPECT_FALSE(firmware_upload_active());
}

std::string board(const char *rel)
{
    return test_board_path(rel);
}

bool exists(const std::string &p)
{
    struct stat st;
    return lstat(p.c_str(), &st) == 0;
}

// Makes a zip in the board directory with python3; `script` adds the entries to z.
std::vector<uint8_t> make_zip(const std::string &script)
{
    std::string path = board("made.zip");
    int status = -1;
    test_run("python3 -c 'import zipfile,sys\nz=zipfile.ZipFile(sys.argv[1],\"w\")\n" + script +
                 "\nz.close()' " + path,
             &status);
    EXPECT_EQ(status, 0);
    std::vector<uint8_t> data = test_read_file(path);
    unlink(path.c_str());
    return data;
}

std::vector<uint8_t> block_of(const std::vector<uint8_t> &zip)
{
    std::vector<uint8_t> b(4 + zip.size());
    int32_t n = (int32_t)zip.size();
    memcpy(b.data(), &n, 4);
    memcpy(b.data() + 4, zip.data(), zip.size());
    return b;
}

class CustomZip : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform_init();
        ASSERT_EQ(mtd_open(), 0);
        customzip_erase();
    }
};

TEST_F(CustomZip, ErasedBlockMeansNoArchive)
{
    EXPECT_EQ(customzip_load(), 0);
    EXPECT_EQ(customzip_stored_size(), -1);
}

TEST_F(CustomZip, SavedArchiveIsUnpackedListedAndBackAfterLoad)
{
    std::vector<uint8_t> zip = make_zip("z.writestr(\"custom/hello.txt\", \"hello world\")");
    std::vector<uint8_t> block = block_of(zip);
    EXPECT_EQ(customzip_save(block.data(), block.size()), 0);
    EXPECT_EQ(customzip_stored_size(), (int)zip.size());
    std::vector<uint8_t> got = test_read_file(board("usr/html/custom/hello.txt"));
    EXPECT_EQ(std::string(got.begin(), got.end()), "hello world");
    std::vector<uint8_t> listing = test_read_file(board("usr/html/customzip.txt"));
    EXPECT_NE(std::string(listing.begin(), listing.end()).find("custom/hello.txt"), std::string::npos);
    EXPECT_FALSE(exists(board("custom.zip")));

    unlink(board("usr/html/custom/hello.txt").c_str());
    EXPECT_EQ(customzip_load(), 0);
    EXPECT_TRUE(exists(board("usr/html/custom/hello.txt")));

    // A length word that disagrees with the data keeps the old archive.
    std::vector<uint8_t> other = block_of(make_zip("z.writestr(\"b.txt\", \"b\")"));
    int32_t wrong = (int32_t)other.size();
    memcpy(other.data(), &wrong, 4);
    EXPECT_EQ(customzip_save(other.data(), other.size()), -1);
    EXPECT_EQ(customzip_stored_size(), (int)zip.size());

    customzip_erase();
    EXPECT_EQ(customzip_stored_size(), -1);
    EXPECT_FALSE(exists(board("usr/html/customzip.txt")));
    EXPECT_EQ(customzip_load(), 0);
}

TEST_F(CustomZip, LinksAndPathsOutsideTheWebRootAreNotUnpacked)
{
    // An entry that unzip restores as a link to "/": unpacked, but not as a link.
    std::vector<uint8_t> zip = make_zip(
        "i=zipfile.ZipInfo(\"link\")\ni.create_system=3\ni.external_attr=(0o120777<<16)\n"
        "z.writestr(i, \"/\")\n"
        "z.writestr(\"ok.txt\", \"fine\")");
    std::vector<uint8_t> block = block_of(zip);
    EXPECT_EQ(customzip_save(block.data(), block.size()), 0);
    EXPECT_TRUE(exists(board("usr/html/ok.txt")));
    struct stat st;
    if (lstat(board("usr/html/link").c_str(), &st) == 0) {
        EXPECT_FALSE(S_ISLNK(st.st_mode));
    }
    // A file written through the link and paths outside the web root: unzip complains, and the
    // archive is refused whole.
    std::vector<uint8_t> escaping = block_of(make_zip(
        "i=zipfile.ZipInfo(\"link\")\ni.create_system=3\ni.external_attr=(0o120777<<16)\n"
        "z.writestr(i, \"/\")\n"
        "z.writestr(\"link/through.txt\", \"x\")\n"
        "z.writestr(\"../escape.txt\", \"x\")\n"
        "z.writestr(\"/abs.txt\", \"y\")\n"
        "z.writestr(\"ok2.txt\", \"fine\")"));
    EXPECT_EQ(customzip_save(escaping.data(), escaping.size()), CUSTOMZIP_DAMAGED);
    EXPECT_EQ(customzip_stored_size(), (int)zip.size());
    EXPECT_FALSE(exists(board("usr/escape.txt")));
    EXPECT_FALSE(exists(board("escape.txt")));
    EXPECT_FALSE(exists(board("through.txt")));
    EXPECT_FALSE(exists(board("usr/html/ok2.txt")));
}

// An archive unzip cannot unpack cleanly is refused with its reason before the flash is touched:
// the stored archive, its block and what it unpacked stay as they were.
TEST_F(CustomZip, DamagedArchiveIsRefusedAndTheStoredOneStays)
{
    std::vector<uint8_t> good = block_of(make_zip("z.writestr(\"page.htm\", \"the good page\")"));
    ASSERT_EQ(customzip_save(good.data(), good.size()), 0);
    std::vector<uint8_t> listing = test_read_file(board("usr/html/customzip.txt"));
    std::vector<uint8_t> flash(CUSTOMZIP_BLOCK);
    ASSERT_EQ(mtd_read(flash.data(), CUSTOMZIP_OFFSET, flash.size()), (ssize_t)flash.size());

    std::vector<uint8_t> whole = make_zip("z.writestr(\"new/page.htm\", \"new \" * 4000, zipfile.ZIP_DEFLATED)\n"
                                          "z.writestr(\"new/other.htm\", \"other\")");
    std::vector<uint8_t> junk(5000);
    for (size_t i = 0; i < junk.size(); i++)
        junk[i] = (uint8_t)(i * 37 + 11);
    std::vector<uint8_t> bad_crc = whole;
    bad_crc[60] ^= 0xFF;   // inside the first entry's data
    struct Case {
        const char *what;
        std::vector<uint8_t> zip;
        const char *why;
    } cases[] = {
        {"truncated", std::vector<uint8_t>(whole.begin(), whole.begin() + (long)whole.size() / 2),
         "customzip: archive refused: it is truncated or not a zip archive\n"},
        {"its last bytes cut", std::vector<uint8_t>(whole.begin(), whole.end() - 10),
         "customzip: archive refused: it is truncated or not a zip archive\n"},
        {"not a zip", junk, "customzip: archive refused: it is truncated or not a zip archive\n"},
        {"an entry's data damaged", bad_crc, "customzip: archive refused: it is damaged\n"},
        {"empty", make_zip(""),
         "customzip: archive refused: unzip warns about it (empty, or entries it would not unpack as named)\n"},
    };
    for (const Case &c : cases) {
        std::vector<uint8_t> block = block_of(c.zip);
        const char *why = nullptr;
        EXPECT_EQ(customzip_save(block.data(), block.size(), &why), CUSTOMZIP_DAMAGED) << c.what;
        EXPECT_STREQ(why, c.why) << c.what;
        EXPECT_EQ(customzip_stored_size(), (int)good.size() - 4) << c.what;
        std::vector<uint8_t> now(CUSTOMZIP_BLOCK);
        ASSERT_EQ(mtd_read(now.data(), CUSTOMZIP_OFFSET, now.size()), (ssize_t)now.size());
        EXPECT_TRUE(now == flash) << c.what << ": the flash block changed";
        EXPECT_EQ(test_read_file(board("usr/html/customzip.txt")), listing) << c.what;
        EXPECT_FALSE(exists(board("usr/html/new/other.htm"))) << c.what;
        EXPECT_FALSE(exists(board("custom.zip"))) << c.what;
        EXPECT_FALSE(exists(board("custom.unzip"))) << c.what;
    }
    EXPECT_NE(test_log_text().find("customzip: unzip exit status 9: it is truncated or not a zip archive"),
              std::string::npos);
    // After a restart the good archive is what is unpacked.
    unlink(board("usr/html/page.htm").c_str());
    EXPECT_EQ(customzip_load(), 0);
    std::vector<uint8_t> page = test_read_file(board("usr/html/page.htm"));
    EXPECT_EQ(std::string(page.begin(), page.end()), "the good page");
}

// As an older build stored it: served as far as unzip unpacks it, as it was.
TEST_F(CustomZip, StoredArchiveThatDoesNotUnpackCleanlyIsServedAsBefore)
{
    std::vector<uint8_t> block = block_of(make_zip("z.writestr(\"ok.txt\", \"fine\")\nz.writestr(\"/abs.txt\", \"x\")"));
    ASSERT_EQ(mtd_write(block.data(), CUSTOMZIP_OFFSET, block.size()), (ssize_t)block.size());
    EXPECT_EQ(customzip_load(), 0);
    EXPECT_TRUE(exists(board("usr/html/ok.txt")));
    EXPECT_FALSE(exists(board("abs.txt")));
    EXPECT_NE(test_log_text().find("customzip: the stored archive does not unpack cleanly; serving what it unpacked"),
              std::string::npos);
}

TEST_F(CustomZip, LengthBeyondTheBlockIsRefusedAtLoad)
{
    int32_t huge = (int32_t)CUSTOMZIP_BLOCK;
    ASSERT_EQ(mtd_write(&huge, CUSTOMZIP_OFFSET, 4), 4);
    EXPECT_EQ(customzip_load(), -1);
}

TEST_F(CustomZip, ArchiveFillingTheBlockIsStoredWhole)
{
    // A stored (uncompressed) entry padded so that the archive is exactly block - 4 bytes.
    std::vector<uint8_t> probe = make_zip("z.writestr(\"fill.bin\", b\"\")");
    size_t pad = CUSTOMZIP_BLOCK - 4 - probe.size();
    std::vector<uint8_t> zip =
        make_zip("z.writestr(\"fill.bin\", b\"A\"*" + std::to_string(pad) + ", zipfile.ZIP_STORED)");
    ASSERT_EQ(zip.size(), CUSTOMZIP_BLOCK - 4);
    std::vector<uint8_t> block = block_of(zip);
    EXPECT_EQ(customzip_save(block.data(), block.size()), 0);
    EXPECT_EQ(customzip_stored_size(), (int)(CUSTOMZIP_BLOCK - 4));
    EXPECT_EQ(test_read_file(board("usr/html/fill.bin")).size(), pad);
    std::vector<uint8_t> over = block;
    over.push_back(0);
    EXPECT_EQ(customzip_save(over.data(), over.size()), -1);
}

} // namespace

namespace {

// `script` as for make_zip, then every entry's unpacked size (local and central) set to `claim`.
std::vector<uint8_t> make_lying_zip(const std::string &script, uint32_t claim)
{
    std::vector<uint8_t> zip = make_zip(script);
    auto put_le32 = [&](size_t at) {
        for (int i = 0; i < 4; i++)
            zip[at + i] = (uint8_t)(claim >> (8 * i));
    };
    for (size_t i = 0; i + 46 <= zip.size(); i++) {
        if (zip[i] == 'P' && zip[i + 1] == 'K' && zip[i + 2] == 3 && zip[i + 3] == 4)
            put_le32(i + 22);
        if (zip[i] == 'P' && zip[i + 1] == 'K' && zip[i + 2] == 1 && zip[i + 3] == 2)
            put_le32(i + 24);
    }
    return zip;
}

TEST_F(CustomZip, ArchivesBeyondTheWebRootAreRefusedAndTheStoredOneStays)
{
    std::vector<uint8_t> good = block_of(make_zip("z.writestr(\"keep.txt\", \"kept\")"));
    ASSERT_EQ(customzip_save(good.data(), good.size()), 0);
    std::vector<uint8_t> listing = test_read_file(board("usr/html/customzip.txt"));

    struct Case {
        const char *what;
        std::vector<uint8_t> zip;
    } cases[] = {
        {"40 MB of zeros", make_zip("z.writestr(\"zeros.bin\", bytes(40<<20), zipfile.ZIP_DEFLATED)")},
        {"1100 files", make_zip("for i in range(1100): z.writestr(\"f%d\" % i, \"\")")},
        // The directory says 1000 bytes; unzip would write all 40 MB.
        {"understated sizes", make_lying_zip("z.writestr(\"zeros.bin\", bytes(40<<20), zipfile.ZIP_DEFLATED)", 1000)},
    };
    for (const Case &c : cases) {
        ASSERT_LE(c.zip.size(), CUSTOMZIP_BLOCK - 4) << c.what;
        std::vector<uint8_t> block = block_of(c.zip);
        EXPECT_EQ(customzip_save(block.data(), block.size()), CUSTOMZIP_REFUSED) << c.what;
        EXPECT_EQ(customzip_stored_size(), (int)good.size() - 4) << c.what;
        EXPECT_FALSE(exists(board("usr/html/zeros.bin"))) << c.what;
        EXPECT_FALSE(exists(board("usr/html/f0"))) << c.what;
        EXPECT_FALSE(exists(board("custom.unzip"))) << c.what;
        EXPECT_EQ(test_read_file(board("usr/html/customzip.txt")), listing) << c.what;
    }
    std::string log = test_log_text();
    EXPECT_NE(log.find("more than the web root takes (16777216 bytes, 1024 files)"), std::string::npos);
    EXPECT_NE(log.find("customzip: unpacking stopped beyond 16777216 bytes"), std::string::npos);
    unlink(board("usr/html/keep.txt").c_str());
    EXPECT_EQ(customzip_load(), 0);
    EXPECT_TRUE(exists(board("usr/html/keep.txt")));
}

TEST_F(CustomZip, StoredArchiveBeyondTheWebRootIsLeftPackedAtLoad)
{
    // As an older build stored it: straight into the block.
    std::vector<uint8_t> block =
        block_of(make_lying_zip("z.writestr(\"zeros.bin\", bytes(40<<20), zipfile.ZIP_DEFLATED)", 1000));
    ASSERT_EQ(mtd_write(block.data(), CUSTOMZIP_OFFSET, block.size()), (ssize_t)block.size());
    EXPECT_EQ(customzip_load(), CUSTOMZIP_REFUSED);
    EXPECT_FALSE(exists(board("usr/html/zeros.bin")));
    EXPECT_FALSE(exists(board("custom.unzip")));
    EXPECT_FALSE(exists(board("custom.zip")));
    EXPECT_NE(test_log_text().find("customzip: stored archive left packed"), std::string::npos);
}

} // namespace
