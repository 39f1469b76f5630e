#include "core/crc32.h"
#include "core/log.h"
#include "core/mtd.h"
#include "core/param.h"
#include "platform/platform.h"
#include "services/customzip.h"
#include "services/firmware.h"
#include "web/auth.h"
#include "web/httpd.h"
#include "testutil.h"
#include "web_client.h"
#include "stream_testutil.h"

#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>

namespace {

void put_be32(uint8_t *p, uint32_t v)
{
    p[0] = v >> 24;
    p[1] = v >> 16;
    p[2] = v >> 8;
    p[3] = v;
}

// A boot-loader image whose data CRC is wrong: the flash thread checks it and writes nothing, so
// the test process is not asked to restart.
std::string bad_image(uint32_t data_size)
{
    std::string img(64 + data_size, '\0');
    uint8_t *p = reinterpret_cast<uint8_t *>(&img[0]);
    for (uint32_t i = 0; i < data_size; i++)
        p[64 + i] = (uint8_t)(i * 131 + 7);
    put_be32(p, FIRMWARE_MAGIC);
    put_be32(p + 12, data_size);
    put_be32(p + 24, crc32_yield(p + 64, data_size, nullptr) ^ 1);
    return img;
}

std::string upload_head(const std::string &row, const std::vector<std::string> &headers, unsigned long long length)
{
    std::string req = "POST /" + row + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
                      "Referer: /admin_update.htm\r\nContent-Type: application/octet-stream\r\n";
    for (const auto &h : headers)
        req += h + "\r\n";
    return req + "Content-Length: " + std::to_string(length) + "\r\n\r\n";
}

// Every status message until the update is over (or 20 s).
std::vector<std::string> messages_until_idle()
{
    std::vector<std::string> seen;
    for (int i = 0; i < 2000; i++) {
        bool active = firmware_upload_active();
        if (const char *m = firmware_take_message())
            seen.push_back(m);
        if (!active)
            break;
        usleep(10000);
    }
    return seen;
}

bool contains(const std::vector<std::string> &v, const std::string &what)
{
    return std::find(v.begin(), v.end(), what) != v.end();
}

class Upload : public ::testing::Test {
protected:
    void SetUp() override
    {
        web_test_fresh_device();
        firmware_take_message();
        ASSERT_EQ(httpd_start(0, nullptr), 0);
        port = httpd_port();
    }
    void TearDown() override
    {
        httpd_stop();
        param_access_install(nullptr);
        if (!saved_path.empty())
            setenv("PATH", saved_path.c_str(), 1);
    }
    WebReply upload(const std::string &row, const std::string &body, const std::vector<std::string> &headers)
    {
        int fd = web_connect(port);
        if (fd < 0)
            return {};
        web_send_all(fd, upload_head(row, headers, body.size()) + body);
        WebReply r = web_read_reply(fd);
        close(fd);
        return r;
    }
    // Puts an unzip first on the path that waits for the returned file to exist (up to 10 s).
    std::string hold_unzip()
    {
        std::string bin = test_board_path("slowbin"), go = test_board_path("go");
        unlink(go.c_str());
        mkdir(bin.c_str(), 0755);
        std::string real = test_run("command -v unzip");
        real.erase(real.find_last_not_of("\n") + 1);
        EXPECT_FALSE(real.empty());
        {
            std::ofstream s(bin + "/unzip");
            s << "#!/bin/sh\nfor i in $(seq 1 100); do [ -e '" << go << "' ] && break; sleep 0.1; done\nexec '"
              << real << "' \"$@\"\n";
        }
        chmod((bin + "/unzip").c_str(), 0755);
        saved_path = getenv("PATH");
        setenv("PATH", (bin + ":" + saved_path).c_str(), 1);
        return go;
    }
    std::vector<uint8_t> small_zip(const std::string &entry)
    {
        std::string zip_path = test_board_path("c.zip");
        int status = -1;
        test_run("python3 -c 'import zipfile,sys\nz=zipfile.ZipFile(sys.argv[1],\"w\")\n"
                 "z.writestr(\"" + entry + "\", \"deferred page\")\nz.close()' " + zip_path,
                 &status);
        EXPECT_EQ(status, 0);
        return test_read_file(zip_path);
    }
    std::string admin = web_basic("admin", "adminpw");
    uint16_t port = 0;
    std::string saved_path;
};

} // namespace

TEST_F(Upload, RefusedBodiesAreAnsweredBeforeTheyAreRead)
{
    struct Case {
        const char *row;
        std::string auth;
        int guest_level;
        unsigned long long length;
        int status;
    } cases[] = {
        {"firmware", "", 0, 100000000ull, 401},                     // a guest who may not upload
        {"customzip", "", 0, 100000000ull, 401},
        {"firmware", web_basic("cfg", "cfgpw"), 5, 100000000ull, 303},   // below Admin: the usual answer
        {"customzip", web_basic("cfg", "cfgpw"), 5, 1000ull, 303},
        {"firmware", admin, 5, FIRMWARE_MAX_SIZE + 1ull, 413},       // more than an image can be
        {"customzip", admin, 5, CUSTOMZIP_BLOCK - 3ull, 413},
    };
    for (const Case &c : cases) {
        fake_guest_level = c.guest_level;
        int fd = web_connect(port);
        ASSERT_GE(fd, 0);
        std::vector<std::string> h;
        if (!c.auth.empty())
            h.push_back(c.auth);
        // Only the header goes out: the answer must not wait for the body.
        ASSERT_TRUE(web_send_all(fd, upload_head(c.row, h, c.length)));
        WebReply r = web_read_reply(fd);
        close(fd);
        EXPECT_EQ(r.status, c.status) << c.row << " " << c.length;
        if (c.status == 303) {
            EXPECT_EQ(r.header("location"), "/admin_update.htm");
        }
    }
    EXPECT_FALSE(firmware_upload_active());
    EXPECT_EQ(firmware_take_message(), nullptr);
    std::string log = test_log_text();
    EXPECT_NE(log.find("firmware: body of 7864321 bytes refused"), std::string::npos);
    EXPECT_NE(log.find("Warning: user cfg does not have permission to post firmware"), std::string::npos);
}

TEST_F(Upload, SecondFirmwareUploadWhileOneArrivesIsRefusedAndTheFirstGoesOn)
{
    std::string img = bad_image(300000);
    // The second request is under way before the first one's image begins, so the server's
    // "update running" answer cannot stop it.
    int second = web_connect(port);
    ASSERT_GE(second, 0);
    ASSERT_TRUE(web_send_all(second, upload_head("firmware", {admin}, img.size())));
    usleep(100000);
    int first = web_connect(port);
    ASSERT_GE(first, 0);
    ASSERT_TRUE(web_send_all(first, upload_head("firmware", {admin}, img.size()) + img.substr(0, 100000)));
    for (int i = 0; i < 500 && !firmware_upload_active(); i++)
        usleep(10000);
    ASSERT_TRUE(firmware_upload_active());

    ASSERT_TRUE(web_send_all(second, img));
    WebReply refused = web_read_reply(second);
    close(second);
    EXPECT_EQ(refused.status, 409);
    EXPECT_EQ(refused.body, "Another firmware update is in progress\n");
    EXPECT_NE(test_log_text().find("post_firmware_func: another update is in progress, upload refused"),
              std::string::npos);
    EXPECT_TRUE(firmware_upload_active());
    EXPECT_STREQ(firmware_take_message(), "uploading");   // the first one's, untouched

    // One begun later gets the answer every post gets during an update, and a log line.
    WebReply later = upload("firmware", img, {admin});
    EXPECT_EQ(later.status, 303);
    EXPECT_EQ(later.header("location"), "/admin_update_status.htm");
    EXPECT_NE(test_log_text().find("POST to /firmware refused during a firmware update"), std::string::npos);

    ASSERT_TRUE(web_send_all(first, img.substr(100000)));
    WebReply r = web_read_reply(first);
    close(first);
    EXPECT_EQ(r.status, 303);
    std::vector<std::string> seen = messages_until_idle();
    EXPECT_TRUE(contains(seen, "not a valid firmware file"));   // the first image was checked whole
    EXPECT_FALSE(contains(seen, "Firmware image truncated"));
    EXPECT_FALSE(firmware_upload_active());
}

TEST_F(Upload, SecondUploadEndingWhileTheFirstIsCheckedLeavesItsImageAlone)
{
    // The second request is under way before the first ends, so the server's "update running"
    // answer cannot stop it; it ends while the flash thread reads the first image.
    std::string img = bad_image(6 << 20);
    std::string small = bad_image(1000);
    int second = web_connect(port);
    ASSERT_GE(second, 0);
    ASSERT_TRUE(web_send_all(second, upload_head("firmware", {admin}, small.size())));
    usleep(100000);
    WebReply r = upload("firmware", img, {admin});
    EXPECT_EQ(r.status, 303);
    EXPECT_TRUE(firmware_upload_active());
    ASSERT_TRUE(web_send_all(second, small));
    WebReply refused = web_read_reply(second);
    close(second);
    EXPECT_EQ(refused.status, 409);
    std::vector<std::string> seen = messages_until_idle();
    EXPECT_TRUE(contains(seen, "not a valid firmware file"));
    EXPECT_FALSE(contains(seen, "Firmware upload failed"));
}

// An upload stops the streams; one that fails gives them back as they were: a stream with a
// consumer and a service that was started run again, a stopped service stays stopped.
TEST_F(Upload, FailedFirmwareUploadsGiveTheStreamsBack)
{
    TestQueue video(VIDEO_STREAM1, 4096, 16);
    stream_use(VIDEO_STREAM1);
    StreamRunState started{}, idle{};
    stream_register(&started, nullptr, UDP_STREAM1);
    stream_register(&idle, nullptr, UDP_STREAM2);
    stream_set_state_by_id(UDP_STREAM1, STREAM_START);
    auto as_before = [] {
        return stream_get_state_by_id(VIDEO_STREAM1) == 1 && stream_get_state_by_id(UDP_STREAM1) == 1 &&
               stream_get_state_by_id(UDP_STREAM2) == 0;
    };
    std::string img = bad_image(300000);

    // Cut off mid-body: stopped while it arrives, back when the connection is gone.
    int fd = web_connect(port);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(web_send_all(fd, upload_head("firmware", {admin}, img.size()) + img.substr(0, 100000)));
    for (int i = 0; i < 500 && !firmware_upload_active(); i++)
        usleep(10000);
    ASSERT_TRUE(firmware_upload_active());
    EXPECT_EQ(stream_get_state_by_id(VIDEO_STREAM1), 0);
    EXPECT_EQ(stream_get_state_by_id(UDP_STREAM1), 0);
    close(fd);
    EXPECT_TRUE(contains(messages_until_idle(), "Firmware image truncated"));
    EXPECT_TRUE(as_before()) << "after a cut-off upload";

    // Whole, with a wrong CRC: back once the flash thread refused it.
    EXPECT_EQ(upload("firmware", img, {admin}).status, 303);
    EXPECT_TRUE(contains(messages_until_idle(), "not a valid firmware file"));
    EXPECT_TRUE(as_before()) << "after a refused image";

    // A refused header stops nothing.
    std::string junk = img;
    junk[0] = 0;
    EXPECT_EQ(upload("firmware", junk, {admin}).status, 303);
    EXPECT_STREQ(firmware_take_message(), "not a valid firmware file");
    EXPECT_TRUE(as_before()) << "after a refused header";

    stream_release(&video.q);
    stream_register(nullptr, nullptr, UDP_STREAM1);
    stream_register(nullptr, nullptr, UDP_STREAM2);
}

TEST_F(Upload, ZipIsUnpackedOffTheServingThreadAndAnsweredWhenInPlace)
{
    std::string go = hold_unzip();
    std::vector<uint8_t> zip = small_zip("deferred/page.htm");
    int fd = web_connect(port);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(web_send_all(fd, upload_head("customzip", {admin}, zip.size()) + std::string(zip.begin(), zip.end())));
    for (int i = 0; i < 500 && httpd_parked_count() == 0; i++)
        usleep(10000);
    ASSERT_EQ(httpd_parked_count(), 1);                     // the upload waits for its job
    EXPECT_EQ(web_request(port, "GET", "/").status, 303);   // served while unzip waits
    pollfd p = {fd, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 0), 0);                           // the upload is not answered yet
    { std::ofstream(go.c_str()) << "go"; }
    WebReply r = web_read_reply(fd);
    close(fd);
    EXPECT_EQ(r.status, 303);
    std::vector<uint8_t> page = test_read_file(test_board_path("usr/html/deferred/page.htm"));
    EXPECT_EQ(std::string(page.begin(), page.end()), "deferred page");   // in place when answered
    EXPECT_EQ(customzip_stored_size(), (int)zip.size());
}

TEST_F(Upload, ServerStoppingWhileAZipIsUnpackedLetsTheJobFinish)
{
    std::string go = hold_unzip();
    std::vector<uint8_t> zip = small_zip("stopped/page.htm");
    int fd = web_connect(port);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(web_send_all(fd, upload_head("customzip", {admin}, zip.size()) + std::string(zip.begin(), zip.end())));
    for (int i = 0; i < 500 && httpd_parked_count() == 0; i++)
        usleep(10000);
    ASSERT_EQ(httpd_parked_count(), 1);
    httpd_stop();   // with the job's connection parked
    close(fd);
    { std::ofstream(go.c_str()) << "go"; }
    struct stat st;
    for (int i = 0; i < 1000 && stat(test_board_path("usr/html/stopped/page.htm").c_str(), &st) != 0; i++)
        usleep(10000);
    EXPECT_EQ(stat(test_board_path("usr/html/stopped/page.htm").c_str(), &st), 0);
    EXPECT_EQ(customzip_stored_size(), (int)zip.size());
}

TEST_F(Upload, ZipUnpackingBeyondTheWebRootIsRefusedWithItsStatus)
{
    std::string zip_path = test_board_path("bomb.zip");
    int status = -1;
    test_run("python3 -c 'import zipfile,sys\nz=zipfile.ZipFile(sys.argv[1],\"w\",zipfile.ZIP_DEFLATED)\n"
             "z.writestr(\"zeros.bin\", bytes(40<<20))\nz.close()' " + zip_path,
             &status);
    ASSERT_EQ(status, 0);
    std::vector<uint8_t> zip = test_read_file(zip_path);
    ASSERT_LT(zip.size(), CUSTOMZIP_BLOCK - 4u);
    int before = customzip_stored_size();
    WebReply r = upload("customzip", std::string(zip.begin(), zip.end()), {admin});
    EXPECT_EQ(r.status, 413);
    EXPECT_EQ(r.body, "customzip: archive unpacks to more than the web root takes\n");
    EXPECT_EQ(customzip_stored_size(), before);
    struct stat st;
    EXPECT_NE(stat(test_board_path("usr/html/zeros.bin").c_str(), &st), 0);
}

// A truncated archive is answered with unzip's reason, and the stored one and its block stay.
TEST_F(Upload, ZipUnzipCannotUnpackIsRefusedWithItsReason)
{
    std::vector<uint8_t> good = small_zip("kept/page.htm");
    ASSERT_EQ(upload("customzip", std::string(good.begin(), good.end()), {admin}).status, 303);
    ASSERT_EQ(customzip_stored_size(), (int)good.size());
    std::vector<uint8_t> block(CUSTOMZIP_BLOCK), now(CUSTOMZIP_BLOCK);
    ASSERT_EQ(mtd_read(block.data(), CUSTOMZIP_OFFSET, block.size()), (ssize_t)block.size());
    std::vector<uint8_t> zip = small_zip("cut/page.htm");
    WebReply r = upload("customzip", std::string(zip.begin(), zip.begin() + (long)zip.size() / 2), {admin});
    EXPECT_EQ(r.status, 422);
    EXPECT_EQ(r.body, "customzip: archive refused: it is truncated or not a zip archive\n");
    EXPECT_EQ(customzip_stored_size(), (int)good.size());
    ASSERT_EQ(mtd_read(now.data(), CUSTOMZIP_OFFSET, now.size()), (ssize_t)now.size());
    EXPECT_TRUE(now == block);
    std::vector<uint8_t> page = test_read_file(test_board_path("usr/html/kept/page.htm"));
    EXPECT_EQ(std::string(page.begin(), page.end()), "deferred page");
    struct stat st;
    EXPECT_NE(stat(test_board_path("usr/html/cut").c_str(), &st), 0);
    EXPECT_NE(test_log_text().find("customzip: archive refused: it is truncated or not a zip archive"),
              std::string::npos);
    // Without unzip nothing can be checked: not stored, and not answered as stored.
    std::string empty = test_board_path("nobin");
    mkdir(empty.c_str(), 0755);
    saved_path = getenv("PATH");
    setenv("PATH", empty.c_str(), 1);
    r = upload("customzip", std::string(zip.begin(), zip.end()), {admin});
    EXPECT_EQ(r.status, 500);
    EXPECT_EQ(r.body, "customzip: the archive was not stored\n");
    EXPECT_EQ(customzip_stored_size(), (int)good.size());
}
