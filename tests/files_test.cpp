#include "web/files.h"

#include "core/log.h"
#include "core/mtd.h"
#include "core/param.h"
#include "platform/platform.h"
#include "storage/filesys.h"
#include "testutil.h"
#include "web/auth.h"
#include "web/httpd.h"
#include "web/live.h"
#include "web_client.h"

#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

void put_file(const std::string &rel, const std::string &content = "x")
{
    std::ofstream(test_board_path(rel)) << content;
}

struct Files : ::testing::Test {
    ParamBlock params{};
    uint16_t port = 0;
    void SetUp() override
    {
        web_test_fresh_device();
        test_run("rm -rf '" + test_board_path("/media/mmc/DCIM") + "'");
        filesys_reset();
        put_file("/dev/mmcblk0p1", "");
        fileSysTick(&params);
        ASSERT_TRUE(filesys_is_mounted(0));
        mkdir(test_board_path("/media/mmc/DCIM").c_str(), 0755);
        log_ring_reset();
        ASSERT_EQ(httpd_start(0, nullptr), 0);
        port = httpd_port();
    }
    void TearDown() override
    {
        files_hold_lists(false);
        httpd_stop();
        param_access_install(nullptr);
        unlink(test_board_path("/dev/mmcblk0p1").c_str());
        fileSysTick(&params);
    }
    void many(int n)
    {
        for (int i = 0; i < n; i++)
            put_file("/media/mmc/DCIM/clip" + std::to_string(i) + ".mp4");
    }
    std::string list(const std::string &query = "")
    {
        WebReply r = web_request(port, "GET", "/filelist_mmc" + query);
        EXPECT_EQ(r.status, 200);
        return r.body;
    }
    const UrlEntry *row() { return url_lookup("filelist_mmc"); }
};

} // namespace

TEST(FilesSort, NaturalOrderComparesDigitRunsAsNumbers)
{
    EXPECT_GT(files_natural_compare("clip10.mp4", "clip9.mp4"), 0);
    EXPECT_LT(files_natural_compare("clip", "clip1"), 0);   // a prefix sorts first
    EXPECT_EQ(files_natural_compare("a007", "a7"), 0);
    EXPECT_LT(files_natural_compare("B", "a"), 0);          // by code
}

TEST_F(Files, NewestFirstSubdirectoriesBeforeTopLevel)
{
    mkdir(test_board_path("/media/mmc/DCIM/100MEDIA").c_str(), 0755);
    mkdir(test_board_path("/media/mmc/DCIM/101MEDIA").c_str(), 0755);
    mkdir(test_board_path("/media/mmc/DCIM/other").c_str(), 0755);
    put_file("/media/mmc/DCIM/100MEDIA/clip9.mp4");
    put_file("/media/mmc/DCIM/100MEDIA/clip10.mp4");
    put_file("/media/mmc/DCIM/101MEDIA/a.ts");
    put_file("/media/mmc/DCIM/other/hidden.mp4");
    put_file("/media/mmc/DCIM/top.JPG");
    put_file("/media/mmc/DCIM/notes.txt");
    std::string b = list();
    size_t a = b.find(">101MEDIA/a.ts<"), c10 = b.find(">100MEDIA/clip10.mp4<"), c9 = b.find(">100MEDIA/clip9.mp4<"),
           top = b.find(">top.JPG<");
    ASSERT_NE(a, std::string::npos) << b;
    ASSERT_NE(c10, std::string::npos);
    ASSERT_NE(c9, std::string::npos);
    ASSERT_NE(top, std::string::npos);
    EXPECT_LT(a, c10);
    EXPECT_LT(c10, c9);
    EXPECT_LT(c9, top);
    EXPECT_EQ(b.find("hidden.mp4"), std::string::npos);
    EXPECT_EQ(b.find("notes.txt"), std::string::npos);
    EXPECT_NE(b.find("action='delete_files_mmc'"), std::string::npos);
    // Every container the recorder names its files by is listed.
    for (const char *name : {"ves.h264", "ves.m4v", "pics.mjpg", "live.flv"}) {
        put_file(std::string("/media/mmc/DCIM/") + name);
        EXPECT_NE(list().find(std::string(">") + name + "<"), std::string::npos) << name;
    }
}

TEST_F(Files, PagesClampAndNavigate)
{
    many(120);
    std::string p9 = list("?p=9");
    EXPECT_EQ(test_count(p9, "name=\"delete_file\""), 20u);   // page 3 of 3
    EXPECT_NE(p9.find("<span style=\"font-weight:bold\">3</span>"), std::string::npos);
    std::string p0 = list("?p=0");
    EXPECT_EQ(test_count(p0, "name=\"delete_file\""), 50u);
    EXPECT_NE(p0.find(">clip119.mp4<"), std::string::npos);   // newest first
    EXPECT_NE(p0.find("download.htm?p=all_fast"), std::string::npos);

    DynBuf b = {};
    many(600);   // 600 files: 12 pages
    ASSERT_EQ(files_render_list(&b, row(), 11, 0, 0, WEB_LEVEL_ADMIN), 0);
    std::string t(b.data, b.length);
    dynbuf_free(&b);
    EXPECT_NE(t.find("<span style=\"font-weight:bold\">11</span>"), std::string::npos);
    EXPECT_NE(t.find("download.htm?p=12\">12<"), std::string::npos);
    EXPECT_NE(t.find("download.htm?p=1\">&lt;&lt;<"), std::string::npos);
    EXPECT_EQ(t.find("&gt;&gt;"), std::string::npos);
    EXPECT_EQ(t.find("download.htm?p=10\""), std::string::npos);
}

TEST_F(Files, DetailedAndFastViews)
{
    many(700);
    std::string all = list("?p=all");
    EXPECT_EQ(test_count(all, "name=\"delete_file\""), 500u);
    EXPECT_EQ(test_count(all, ">1 B<"), 500u);
    EXPECT_NE(all.find("&larr; Back to Paginated Mode"), std::string::npos);
    std::string fast = list("?p=all_fast");
    EXPECT_EQ(test_count(fast, "name=\"delete_file\""), 700u);
    EXPECT_EQ(test_count(fast, ">---<"), 700u);
}

TEST_F(Files, NamesAreEscapedAndEncoded)
{
    put_file("/media/mmc/DCIM/a\"<b>&x y.mp4");
    std::string b = list();
    EXPECT_EQ(b.find("a\"<b>"), std::string::npos) << b;
    EXPECT_NE(b.find("value=\"a&quot;&lt;b&gt;&amp;x y.mp4\""), std::string::npos) << b;
    EXPECT_NE(b.find("f=a%22%3Cb%3E%26x%20y.mp4\""), std::string::npos) << b;
}

TEST_F(Files, NoMediumAndNoFiles)
{
    EXPECT_NE(list().find("<p>No files to display.</p>"), std::string::npos);
    EXPECT_EQ(web_request(port, "GET", "/filelist_ext").body, "<p>No storage device.</p>\n");
}

TEST_F(Files, GuestAtLevelNoneIsChallenged)
{
    fake_guest_level = 0;
    put_file("/media/mmc/DCIM/a.mp4");
    EXPECT_EQ(web_request(port, "GET", "/filelist_mmc").status, 401);
    EXPECT_EQ(web_request(port, "GET", "/download?s=0&f=a.mp4").status, 401);
}

TEST_F(Files, ListJobsAreCapped)
{
    files_hold_lists(true);
    std::vector<std::thread> waiting;
    std::vector<int> status(FILES_JOBS_MAX);
    for (int i = 0; i < FILES_JOBS_MAX; i++)
        waiting.emplace_back([&, i] { status[i] = web_request(port, "GET", "/filelist_mmc").status; });
    for (int i = 0; i < 500 && files_jobs_running() < FILES_JOBS_MAX; i++)
        usleep(10000);
    ASSERT_EQ(files_jobs_running(), FILES_JOBS_MAX);
    EXPECT_EQ(web_request(port, "GET", "/filelist_mmc").status, 503);
    EXPECT_EQ(web_request(port, "GET", "/").status, 303);   // the server is not held meanwhile
    files_hold_lists(false);
    for (auto &t : waiting)
        t.join();
    for (int s : status)
        EXPECT_EQ(s, 200);
    EXPECT_EQ(web_request(port, "GET", "/filelist_mmc").status, 200);
}

TEST_F(Files, DownloadServesTheFileWithAQuotedName)
{
    mkdir(test_board_path("/media/mmc/DCIM/100MEDIA").c_str(), 0755);
    std::string content(100000, 'q');
    put_file("/media/mmc/DCIM/100MEDIA/we\"ird.mp4", content);
    WebReply r = web_request(port, "GET", "/download?s=0&f=100MEDIA/we%22ird.mp4");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, content);
    EXPECT_EQ(r.header("content-disposition"), "attachment;filename=\"we\\\"ird.mp4\"");
    EXPECT_EQ(r.header("content-type"), "video/mp4");
}

TEST_F(Files, DownloadRefusesBadInput)
{
    put_file("/media/mmc/secret.mp4");
    EXPECT_EQ(web_request(port, "GET", "/download?s=0&f=../secret.mp4").status, 404);
    EXPECT_EQ(web_request(port, "GET", "/download?s=0&f=%2e%2e/secret.mp4").status, 404);
    EXPECT_EQ(web_request(port, "GET", "/download?s=3&f=a.mp4").status, 404);
    EXPECT_EQ(web_request(port, "GET", "/download?s=0&f=" + std::string(101, 'a')).status, 404);
    EXPECT_EQ(web_request(port, "GET", "/download?s=0").status, 404);
    EXPECT_EQ(web_request(port, "GET", "/download?s=0&f=100MEDIA").status, 404);   // not a file
    std::string log = test_log_text();
    EXPECT_NE(log.find("Bad filename: ../secret.mp4"), std::string::npos);
    EXPECT_NE(log.find("Bad source: 3"), std::string::npos);
}

// Deleting needs Stream Config: below it the list offers no ticks and no button, since the
// post would only bring a login prompt.
TEST_F(Files, DeleteControlsOnlyAtTheLevelThatMayDelete)
{
    put_file("/media/mmc/DCIM/a.mp4");
    for (int level : {WEB_LEVEL_VIEW, WEB_LEVEL_STREAM_CONTROL, WEB_LEVEL_DEMO}) {
        fake_guest_level = level;
        std::string b = list();
        EXPECT_NE(b.find(">a.mp4<"), std::string::npos) << level;
        EXPECT_EQ(b.find("delete_file"), std::string::npos) << level << b;
        EXPECT_EQ(b.find("<form"), std::string::npos) << level;
        EXPECT_EQ(b.find("type='submit'"), std::string::npos) << level;
    }
    for (int level : {WEB_LEVEL_STREAM_CONFIG, WEB_LEVEL_ADMIN}) {
        fake_guest_level = level;
        std::string b = list();
        EXPECT_EQ(test_count(b, "name=\"delete_file\""), 1u) << level;
        EXPECT_NE(b.find("action='delete_files_mmc'"), std::string::npos) << level;
    }
    // Included in a page the list follows the page's reader too.
    fake_guest_level = WEB_LEVEL_ADMIN;
    std::ofstream(test_board_path("/usr/html/t_dl.htm")) << "<include src='filelist_mmc'>";
    WebReply r = web_request(port, "GET", "/t_dl.htm", {web_basic("ctl", "ctlpw")});
    EXPECT_EQ(r.status, 200);
    EXPECT_NE(r.body.find(">a.mp4<"), std::string::npos) << r.body;
    EXPECT_EQ(r.body.find("delete_file"), std::string::npos) << r.body;
    r = web_request(port, "GET", "/t_dl.htm", {web_basic("cfg", "cfgpw")});
    EXPECT_NE(r.body.find("name=\"delete_file\""), std::string::npos) << r.body;
}

// A body the form processor can't take (another content type) is refused, not answered with
// the redirect that tells a browser the files went.
TEST_F(Files, DeletePostThatCannotBeParsedIsRefused)
{
    put_file("/media/mmc/DCIM/a.mp4");
    int fd = web_connect(port, nullptr);
    ASSERT_GE(fd, 0);
    web_send_all(fd, "POST /delete_files_mmc HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
                     "Referer: /download.htm\r\nContent-Type: text/plain\r\nContent-Length: 17\r\n\r\n"
                     "delete_file=a.mp4");
    WebReply r = web_read_reply(fd);
    close(fd);
    EXPECT_NE(r.status, 303);
    EXPECT_EQ(file_size("/media/mmc/DCIM/a.mp4"), 1);
    EXPECT_NE(test_log_text().find("post_delete_files_func: Failed to create post processor"), std::string::npos);
}

TEST_F(Files, DeletePostRemovesTickedFilesAndRefusesDotDot)
{
    put_file("/media/mmc/DCIM/a.mp4");
    put_file("/media/mmc/DCIM/b.mp4");
    put_file("/media/mmc/DCIM/c.mp4");
    put_file("/media/mmc/keep.mp4");
    WebReply r = web_request(port, "POST", "/delete_files_mmc", {"Referer: /download.htm"},
                             "delete_file=a.mp4&delete_file=c.mp4&delete_file=..%2Fkeep.mp4&delete_file=");
    EXPECT_EQ(r.status, 303);
    EXPECT_EQ(file_size("/media/mmc/DCIM/a.mp4"), -1);
    EXPECT_EQ(file_size("/media/mmc/DCIM/c.mp4"), -1);
    EXPECT_EQ(file_size("/media/mmc/DCIM/b.mp4"), 1);
    EXPECT_EQ(file_size("/media/mmc/keep.mp4"), 1);
    EXPECT_NE(test_log_text().find("Bad filename: ../keep.mp4"), std::string::npos);
    char o[64] = "";
    ASSERT_TRUE(platform_storage_mount_options("/media/mmc", o, sizeof o));
    EXPECT_STREQ(o, "ro,usefree");
}

// A prepared card: links to files and folders outside, a FIFO. None is listed, served or
// deleted, and a folder that is itself a link shows nothing.
TEST_F(Files, LinksOnTheMediumAreNeitherListedServedNorDeleted)
{
    std::string outside = test_board_path("/outside");
    mkdir(outside.c_str(), 0755);
    put_file("/outside/secret.mp4", "secret");
    mkdir(test_board_path("/media/mmc/DCIM/100MEDIA").c_str(), 0755);
    put_file("/media/mmc/DCIM/100MEDIA/clip.mp4", "clip");
    ASSERT_EQ(symlink((outside + "/secret.mp4").c_str(), test_board_path("/media/mmc/DCIM/link.mp4").c_str()), 0);
    ASSERT_EQ(symlink((outside + "/secret.mp4").c_str(), test_board_path("/media/mmc/DCIM/100MEDIA/in.mp4").c_str()), 0);
    ASSERT_EQ(symlink(outside.c_str(), test_board_path("/media/mmc/DCIM/200MEDIA").c_str()), 0);
    ASSERT_EQ(mkfifo(test_board_path("/media/mmc/DCIM/pipe.mp4").c_str(), 0644), 0);

    std::string b = list();
    EXPECT_NE(b.find(">100MEDIA/clip.mp4<"), std::string::npos) << b;
    for (const char *name : {"link.mp4", "in.mp4", "200MEDIA", "secret", "pipe.mp4"})
        EXPECT_EQ(b.find(name), std::string::npos) << name << " listed";

    for (const char *item : {"link.mp4", "100MEDIA/in.mp4", "200MEDIA/secret.mp4", "pipe.mp4"}) {
        WebReply r = web_request(port, "GET", std::string("/download?s=0&f=") + item);
        EXPECT_EQ(r.status, 404) << item;
        EXPECT_EQ(r.body.find("secret"), std::string::npos) << item;
    }
    EXPECT_EQ(web_request(port, "GET", "/download?s=0&f=100MEDIA/clip.mp4").body, "clip");

    web_request(port, "POST", "/delete_files_mmc", {"Referer: /download.htm"},
                "delete_file=link.mp4&delete_file=100MEDIA%2Fin.mp4&delete_file=200MEDIA%2Fsecret.mp4&delete_file=pipe.mp4");
    struct stat st;
    EXPECT_EQ(file_size("/outside/secret.mp4"), 6) << "deleted through a link";
    EXPECT_EQ(lstat(test_board_path("/media/mmc/DCIM/pipe.mp4").c_str(), &st), 0) << "a FIFO deleted";

    // The folder itself a link to elsewhere: nothing there is ours.
    test_run("rm -rf '" + test_board_path("/media/mmc/DCIM") + "'");
    ASSERT_EQ(symlink(outside.c_str(), test_board_path("/media/mmc/DCIM").c_str()), 0);
    EXPECT_EQ(list().find("secret.mp4"), std::string::npos);
    EXPECT_EQ(web_request(port, "GET", "/download?s=0&f=secret.mp4").status, 404);
    web_request(port, "POST", "/delete_files_mmc", {"Referer: /download.htm"}, "delete_file=secret.mp4");
    EXPECT_EQ(file_size("/outside/secret.mp4"), 6);
    unlink(test_board_path("/media/mmc/DCIM").c_str());
    test_run("rm -rf '" + outside + "'");
}

// Names with ".." inside a name or longer than 100 characters: every listed link downloads
// the file and every listed checkbox deletes it.
TEST_F(Files, WhateverIsListedCanBeDownloadedAndDeleted)
{
    mkdir(test_board_path("/media/mmc/DCIM/100MEDIA").c_str(), 0755);
    std::string long_name = std::string(200, 'L') + ".mp4";
    std::vector<std::string> items = {"..mp4", "a..b.ts", "100MEDIA/" + long_name, "100MEDIA/...mp4"};
    for (const std::string &i : items)
        put_file("/media/mmc/DCIM/" + i, "content of " + i);
    std::string b = list();
    for (const std::string &i : items) {
        char enc[4096];
        files_url_encode(i.c_str(), enc, sizeof enc);
        ASSERT_NE(b.find("/download?s=0&f=" + std::string(enc) + "\""), std::string::npos) << i << " not listed\n" << b;
        WebReply r = web_request(port, "GET", "/download?s=0&f=" + std::string(enc));
        EXPECT_EQ(r.status, 200) << i;
        EXPECT_EQ(r.body, "content of " + i);
    }
    std::string form;
    for (const std::string &i : items) {
        char enc[4096];
        files_url_encode(i.c_str(), enc, sizeof enc);
        form += std::string(form.empty() ? "" : "&") + "delete_file=" + enc;
    }
    EXPECT_EQ(web_request(port, "POST", "/delete_files_mmc", {"Referer: /download.htm"}, form).status, 303);
    for (const std::string &i : items)
        EXPECT_EQ(file_size(("/media/mmc/DCIM/" + i).c_str()), -1) << i << " still there";
    // A ".." part is still no item.
    put_file("/media/mmc/keep.mp4");
    EXPECT_EQ(web_request(port, "GET", "/download?s=0&f=100MEDIA/../../keep.mp4").status, 404);
    EXPECT_EQ(web_request(port, "GET", "/download?s=0&f=./100MEDIA").status, 404);
}

// The list is answered while the connection waits: a digest answer, good once, is not checked
// a second time.
TEST_F(Files, DigestUserGetsTheList)
{
    fake_guest_level = 0;
    put_file("/media/mmc/DCIM/a.mp4");
    WebReply c = web_request(port, "GET", "/filelist_mmc");
    ASSERT_EQ(c.status, 401);
    std::string auth = web_digest(c.header("www-authenticate"), "admin", "adminpw", "/filelist_mmc");
    WebReply r = web_request(port, "GET", "/filelist_mmc", {auth});
    EXPECT_EQ(r.status, 200);
    EXPECT_NE(r.body.find(">a.mp4<"), std::string::npos);
}
