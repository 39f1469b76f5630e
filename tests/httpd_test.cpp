#include "core/log.h"
#include "core/mtd.h"
#include "core/param.h"
#include "platform/platform.h"
#include "web/accesslog.h"
#include "web/auth.h"
#include "web/guard.h"
#include "web/httpd.h"
#include "testutil.h"
#include "web_client.h"

#include <chrono>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <set>

namespace {

MHD_Connection *parked_connection;

// "/park" parks its connection as a handler that hands work to another thread does.
MHD_Result test_handler(void *cls, MHD_Connection *c, const char *url, const char *method, const char *version,
                        const char *upload, size_t *upload_size, void **con_cls)
{
    if (strcmp(url, "/park") == 0) {
        // The per-connection pointer belongs to the server: handlers keep their own state.
        if (parked_connection != c) {
            parked_connection = c;
            httpd_park(c);
            return MHD_YES;
        }
        return http_text(c, MHD_HTTP_OK, "text/plain", "resumed", 7);
    }
    return answer_to_connection(cls, c, url, method, version, upload, upload_size, con_cls);
}

class Httpd : public WebServerTest {
protected:
    Httpd() : WebServerTest(test_handler) {}
};

// What the settings form rows prefix to their keys, and a key each can write at level 4.
struct FormRow {
    const char *row, *key, *param;
};
const FormRow form_rows[] = {
    {"controls", "Video[0].BitRate", "Video[0].BitRate"},
    {"streamA_controls", "BitRate", "Video[0].BitRate"},
    {"streamB_controls", "BitRate", "Video[1].BitRate"},
    {"streamA_controls_no_save", "BitRate", "Video[0].BitRate"},
    {"streamB_controls_no_save", "BitRate", "Video[1].BitRate"},
    {"display_controls", "Standard", "Display.Standard"},
    {"display_controls_no_save", "Standard", "Display.Standard"},
    {"udpA_controls", "Port", "UDP[0].Port"},
    {"udpB_controls", "Port", "UDP[1].Port"},
};

} // namespace

TEST(HttpdTable, HasEveryRowOnceInOrder)
{
    EXPECT_EQ(url_table_size, 109);
    std::set<std::string> names;
    for (int i = 0; i < url_table_size; i++)
        EXPECT_TRUE(names.insert(url_table[i].name).second) << url_table[i].name;
    EXPECT_STREQ(url_table[0].name, "");
    EXPECT_STREQ(url_table[url_table_size - 1].name, "save_params");
    EXPECT_EQ(url_lookup("streamB9.ts") - url_table, 107);
    EXPECT_EQ(url_lookup("StreamA.ts"), nullptr);   // names compare exactly
}

TEST(HttpdMime, TypesByEndingWithoutCase)
{
    EXPECT_STREQ(get_mime_type("a/PIC.JPG"), "image/jpeg");
    EXPECT_STREQ(get_mime_type("x.m3u8"), "application/x-mpegURL");
    EXPECT_STREQ(get_mime_type("seg.ts"), "video/MP2T");
    EXPECT_EQ(get_mime_type("pic.bmp"), nullptr);
}

TEST(HttpdEscape, MarkupIsEscapedAndCut)
{
    char out[64];
    html_escape("\"><script>alert('x')&", out, sizeof out);
    EXPECT_STREQ(out, "&quot;&gt;&lt;script&gt;alert(&#39;x&#39;)&amp;");
    char small[8];
    html_escape("a<b<c", small, sizeof small);
    EXPECT_STREQ(small, "a&lt;b");   // never half an entity
}

TEST_F(Httpd, RootRedirectsToIndex)
{
    WebReply r = get("/");
    EXPECT_EQ(r.status, 303);
    EXPECT_EQ(r.header("location"), "/index.htm");
    EXPECT_EQ(r.header("cache-control"), "no-cache");
    EXPECT_EQ(r.body, "");
}

TEST_F(Httpd, EveryRowAnswersGetAsItsHandlerSays)
{
    std::map<std::string, std::pair<int, std::string>> expect = {
        {"", {303, "/index.htm"}},
        {"streamA_controls", {303, "setup_streama.htm"}},
        {"streamB_controls", {303, "setup_streamb.htm"}},
        {"capture_controls", {303, "setup_video.htm"}},
        {"display_controls", {303, "setup_output.htm"}},
        {"udpA_controls", {303, "control_streama.htm"}},
        {"udpB_controls", {303, "control_streamb.htm"}},
        {"delete_files_int", {303, "download.htm"}},
        {"delete_files_ext", {303, "download.htm"}},
        {"delete_files_mmc", {303, "download.htm"}},
        {"admin_update_status.htm", {303, "admin_update.htm"}},
        {"load_default_params", {405, ""}},
        {"log.txt", {200, ""}},
        {"debuglog.txt", {200, ""}},
        {"dmesg.txt", {200, ""}},
        {"mixer_settings", {200, ""}},
        {"login.htm", {401, ""}},
        {"logout.htm", {303, "/index.htm"}},
        {"unauthorized.htm", {200, ""}},
        {"debug.htm", {200, ""}},
        {"config.txt", {200, ""}},
        {"view_streama.htm", {303, "invalid_stream.htm"}},
        {"view_streamb.htm", {303, "invalid_stream.htm"}},
    };
    for (const char *generator : {"capture_input_options", "display_output_options", "resolutionA_options",
                                  "resolutionB_options", "frame_rate_options", "permission_options", "users_table",
                                  "nav_bar", "username", "referer", "audio_input_options", "rtsp_streams",
                                  "stream_mode_options"})
        expect[generator] = {200, ""};
    for (int level = 0; level <= 6; level++) {
        fake_guest_level = level;
        for (int i = 0; i < url_table_size; i++) {
            std::string name = url_table[i].name;
            WebReply r = get("/" + name);
            auto it = expect.find(name);
            // Rows whose pages are built elsewhere fall through to "not found", and so do the
            // "_no_save" form targets, whose ending names no page.
            int status = it == expect.end() ? 404 : it->second.first;
            // Live rows with no queue registered here: a guest at level None is challenged; the
            // streams find nothing to attach to, a segment or a first playlist cannot come, the
            // lists answer pages, a download without its values gives no response. Channel B
            // makes JPEG: its HLS rows are refused as its other H.264 rows are.
            bool live = name.rfind("stream", 0) == 0 && (name.find('.') != std::string::npos) &&
                        name.find("_controls") == std::string::npos;
            bool files = name.rfind("filelist", 0) == 0 || name == "download";
            if (live || files) {
                bool segment = name.size() == 11 && isdigit((unsigned char)name[7]);
                if (level == 0)
                    status = 401;
                else if (name.rfind("filelist", 0) == 0)
                    status = 200;
                else if ((segment || name.find(".m3u8") != std::string::npos) && name[6] == 'A')
                    status = 503;
                else
                    status = 404;
            }
            // The logs need Admin.
            if (name == "log.txt" || name == "debuglog.txt" || name == "dmesg.txt")
                status = level >= 5 ? 200 : 401;
            EXPECT_EQ(r.status, status) << name << " at level " << level;
            if (it != expect.end() && status == 303) {
                EXPECT_EQ(r.header("location"), it->second.second) << name;
            }
        }
    }
}

TEST_F(Httpd, ParameterReadsFollowTheReadLevel)
{
    for (int level = 0; level <= 6; level++) {
        fake_guest_level = level;
        WebReply r = get("/Video[0].BitRate");
        if (level >= 1) {
            EXPECT_EQ(r.status, 200) << level;
            EXPECT_EQ(r.body, "2000000");
            EXPECT_EQ(r.header("content-type"), "text/plain");
        } else {
            EXPECT_EQ(r.status, 401) << level;
            EXPECT_NE(r.header("www-authenticate").find("realm=\"7160\""), std::string::npos);
        }
        r = get("/GuestPermission");
        EXPECT_EQ(r.status, level >= 5 ? 200 : 401) << level;
    }
    EXPECT_EQ(get("/NoSuchThing").status, 404);
    EXPECT_EQ(get("/video[0].BitRate").status, 404);   // the fake table is case-sensitive
}

TEST_F(Httpd, EveryPostRowAtEveryLevel)
{
    // Rows that take a POST, and the level their own check needs (0: none of their own).
    std::map<std::string, int> post_rows;
    for (int i = 0; i < url_table_size; i++)
        if (url_table[i].post_handler)
            post_rows[url_table[i].name] = url_table[i].post_level;
    EXPECT_EQ(post_rows["delete_files_int"], 4);
    EXPECT_EQ(post_rows["mixer_settings"], 4);
    EXPECT_EQ(post_rows["clear_log"], 5);
    // The uploads check the level themselves: a logged-in user below Admin gets the usual
    // answer, a guest below Admin the challenge.
    EXPECT_EQ(post_rows["firmware"], 0);
    EXPECT_EQ(post_rows["customzip"], 0);

    for (int level = 0; level <= 6; level++) {
        fake_guest_level = level;
        for (int i = 0; i < url_table_size; i++) {
            const UrlEntry &row = url_table[i];
            std::string name = row.name;
            WebReply r = post("/" + name, "nothing=1");
            if (!row.post_handler) {
                EXPECT_EQ(r.status, 405) << name << ": a row without POST is answered";
                EXPECT_EQ(r.header("allow"), "GET, HEAD") << name;
                continue;
            }
            int needed = name == "firmware" || name == "customzip" ? 5 : row.post_level;
            bool allowed = needed == 0 || (level != 6 && level >= needed);
            if (name == "auth_controls")
                allowed = false;   // the guest is always challenged there
            // A settings form is challenged when the level may write none of the settings it
            // reaches (Capture.Hue at 2, the others at 4 and up).
            if (url_is_settings_form(&row) || name.find("_no_save") != std::string::npos) {
                std::string prefix = row.arg ? row.arg : "";
                bool writes_any = level != 6 && level >= (prefix.empty() || prefix == "Capture." ? 2 : 4);
                allowed = allowed && writes_any;
            }
            // A body that is no archive is refused with unzip's reason.
            bool not_a_zip = allowed && name == "customzip";
            EXPECT_EQ(r.status, not_a_zip ? 422 : allowed ? 303 : 401) << name << " at level " << level;
            if (allowed && !not_a_zip) {
                EXPECT_EQ(r.header("location"), "/back.htm") << name;
            }
        }
    }
}

TEST_F(Httpd, FormWritesFollowTheWriteLevel)
{
    for (const FormRow &f : form_rows) {
        for (int level = 0; level <= 6; level++) {
            fake_settings_reset();
            fake_guest_level = level;
            WebReply r = post(std::string("/") + f.row, std::string(f.key) + "=3000000");
            bool allowed = level >= 4 && level != 6;
            EXPECT_EQ(r.status, allowed ? 303 : 401) << f.row << " at level " << level;
            EXPECT_EQ(fake_params[f.param].value == "3000000", allowed) << f.row << " at level " << level;
        }
    }
    // A lower write level is honoured per parameter.
    fake_settings_reset();
    fake_guest_level = 2;
    EXPECT_EQ(post("/capture_controls", "Hue=7").status, 303);
    EXPECT_EQ(fake_params["Capture.Hue"].value, "7");
}

// A form is acted on whole or not at all: one field asking for a change the user may not make
// refuses it wherever it stands; a field left as the page showed it is no change.
TEST_F(Httpd, ARefusedFieldRefusesTheWholeFormAndAnUntouchedOneIsNoChange)
{
    fake_guest_level = 2;   // may write Capture.Hue only
    EXPECT_EQ(post("/controls", "Capture.Hue=7&UDP%5B0%5D.Port=6000").status, 401);
    EXPECT_EQ(post("/controls", "UDP%5B0%5D.Port=6000&Capture.Hue=7").status, 401);
    EXPECT_EQ(fake_params["Capture.Hue"].value, "0");
    EXPECT_EQ(fake_params["UDP[0].Port"].value, "5000");
    // Posted as it is stored, or set back by the last of repeated keys: taken.
    EXPECT_EQ(post("/controls", "UDP%5B0%5D.Port=5000&Capture.Hue=7").status, 303);
    EXPECT_EQ(post("/controls", "UDP%5B0%5D.Port=1&UDP%5B0%5D.Port=5000&Capture.Hue=8").status, 303);
    EXPECT_EQ(fake_params["Capture.Hue"].value, "8");
    EXPECT_EQ(fake_params["UDP[0].Port"].value, "5000");
    // A setting the level may not read is refused even when the guess is right.
    EXPECT_EQ(post("/controls", "GuestPermission=5&Capture.Hue=9").status, 401);
    EXPECT_EQ(fake_params["Capture.Hue"].value, "8");
    // More fields than any page has: refused with its reason, nothing applied.
    fake_guest_level = 5;
    std::string many = "Capture.Hue=3";
    for (int i = 0; i < 300; i++)
        many += "&x" + std::to_string(i) + "=1";
    WebReply r = post("/controls", many);
    EXPECT_EQ(r.status, 400);
    EXPECT_NE(r.body.find("too many fields"), std::string::npos) << r.body;
    EXPECT_EQ(fake_params["Capture.Hue"].value, "8");
}

TEST_F(Httpd, AuthControlsNeedsAUserOnceANamedAdminExists)
{
    fake_users["admin"].level = 5;
    EXPECT_EQ(post("/auth_controls", "Video[0].BitRate=300000").status, 401);
    EXPECT_EQ(fake_params["Video[0].BitRate"].value, "2000000");
    WebReply r = post("/auth_controls", "Video[0].BitRate=300000", {web_basic("admin", "adminpw")});
    EXPECT_EQ(r.status, 303);
    EXPECT_EQ(fake_params["Video[0].BitRate"].value, "300000");
    // A named user below Admin leaves the device open: the guest posts there.
    fake_params["User[0].Permission"].value = "4";
    EXPECT_EQ(post("/auth_controls", "Video[0].BitRate=400000").status, 303);
    EXPECT_EQ(fake_params["Video[0].BitRate"].value, "400000");
    fake_params.erase("User[0].Name");
    fake_params.erase("User[0].Permission");
    EXPECT_EQ(post("/auth_controls", "Video[0].BitRate=500000").status, 303);
    EXPECT_EQ(fake_params["Video[0].BitRate"].value, "500000");
}

TEST_F(Httpd, EmptyValueReachesTheSetterAndSpecialKeysAct)
{
    WebReply r = post("/streamA_controls", "BitRate=&x=4&y=5&redirect=/done.htm");
    EXPECT_EQ(r.status, 303);
    EXPECT_EQ(r.header("location"), "/done.htm");
    EXPECT_EQ(fake_params["Video[0].BitRate"].value, "");
    // Last in the body, and as a multipart part.
    EXPECT_EQ(post("/controls", "Capture.Hue=3&UDP%5B0%5D.Port=").status, 303);
    EXPECT_EQ(fake_params["UDP[0].Port"].value, "");
    EXPECT_EQ(post("/controls", "redirect=&UDP%5B1%5D.Port=").header("location"), "/back.htm");
    EXPECT_EQ(fake_params["UDP[1].Port"].value, "");
}

WebReply post_multipart(uint16_t port, const std::string &path,
                        const std::vector<std::pair<std::string, std::string>> &parts);

TEST_F(Httpd, EmptyMultipartValueReachesTheSetter)
{
    EXPECT_EQ(post_multipart(port, "/display_controls", {{"Standard", ""}, {"x", "1"}}).status, 303);
    EXPECT_EQ(fake_params["Display.Standard"].value, "");
    EXPECT_EQ(post_multipart(port, "/udpA_controls", {{"Port", ""}}).status, 303);
    EXPECT_EQ(fake_params["UDP[0].Port"].value, "");
}

TEST_F(Httpd, NoSavePostAppliesWithoutStoringAndAnOrdinaryPostStores)
{
    uint32_t wakes = param_save_wake_count();
    EXPECT_EQ(post("/streamA_controls_no_save", "BitRate=400000").status, 303);
    EXPECT_EQ(fake_params["Video[0].BitRate"].value, "400000");
    EXPECT_EQ(param_save_wake_count(), wakes);
    EXPECT_EQ(httpd_no_save, 0);
    EXPECT_EQ(post("/controls", "Video[0].BitRate=500000&save_params=no").status, 303);
    EXPECT_EQ(param_save_wake_count(), wakes);
    EXPECT_EQ(post("/streamA_controls", "BitRate=600000").status, 303);
    EXPECT_EQ(param_save_wake_count(), wakes + 1);
}

TEST_F(Httpd, AbortedPostIsCleanedUpAndLaterPostsStore)
{
    int fd = web_connect(port);
    ASSERT_GE(fd, 0);
    web_send_all(fd, "POST /streamA_controls_no_save HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                     "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 200\r\n\r\nBitRate=70");
    // Wait until the server has seen the start of the post, then vanish.
    for (int i = 0; i < 500 && httpd_no_save == 0; i++)
        usleep(10000);
    ASSERT_EQ(httpd_no_save, 1);
    close(fd);
    for (int i = 0; i < 500 && httpd_no_save != 0; i++)
        usleep(10000);
    EXPECT_EQ(httpd_no_save, 0);
    EXPECT_EQ(fake_params["Video[0].BitRate"].value, "2000000");   // the half value is dropped

    uint32_t wakes = param_save_wake_count();
    EXPECT_EQ(post("/streamA_controls", "BitRate=800000").status, 303);
    EXPECT_EQ(fake_params["Video[0].BitRate"].value, "800000");
    EXPECT_EQ(param_save_wake_count(), wakes + 1);
}

TEST_F(Httpd, ClearLogNeedsAdminAndConfirmation)
{
    ASSERT_EQ(mtd_open(), 0);
    mtd_erase_block(ACCESS_LOG_OFFSET, 2 * ACCESS_LOG_PAGE_SIZE);
    access_log_scan();
    access_log_add(ACCESS_LOG_CAT_LOGIN, "someone", ACCESS_EVENT_LOGIN);
    fake_guest_level = 4;
    EXPECT_EQ(post("/clear_log", "confirm=on").status, 401);
    EXPECT_NE(get("/log.txt").body, "");
    fake_guest_level = 6;
    EXPECT_EQ(post("/clear_log", "confirm=on").status, 401);
    fake_guest_level = 5;
    EXPECT_EQ(post("/clear_log", "confirm=off").status, 303);
    EXPECT_NE(get("/log.txt").body, "");
    EXPECT_EQ(post("/clear_log", "confirm=CHECK").status, 303);
    EXPECT_EQ(get("/log.txt").body, "");
    // A blank log is cleared at no cost; a clear that would erase beyond the hour's few is refused
    // with the reason, and the records stay.
    for (int i = 0; i < 5; i++)
        EXPECT_EQ(post("/clear_log", "confirm=on").status, 303);
    for (int i = 1; i < GUARD_CLEARS; i++) {
        access_log_add(ACCESS_LOG_CAT_LOGIN, "someone", ACCESS_EVENT_LOGIN);
        EXPECT_EQ(post("/clear_log", "confirm=on").status, 303);
    }
    access_log_add(ACCESS_LOG_CAT_LOGIN, "someone", ACCESS_EVENT_LOGIN);
    WebReply r = post("/clear_log", "confirm=on");
    EXPECT_EQ(r.status, 400);
    EXPECT_NE(r.body.find("The access log was not cleared: it is erased at most 2 times an hour. Try again in 60 min."),
              std::string::npos) << r.body;
    EXPECT_NE(get("/log.txt").body, "");
    EXPECT_NE(test_log_text().find("access log not cleared"), std::string::npos);
}

TEST_F(Httpd, RequestTextIsEscapedInPages)
{
    WebReply r = get("/login.htm?redirect=%22%3E%3Cscript%3Ex%3C/script%3E");
    EXPECT_EQ(r.status, 401);
    EXPECT_EQ(r.body.find("<script>"), std::string::npos);
    EXPECT_NE(r.body.find("&quot;&gt;&lt;script&gt;"), std::string::npos);
    r = get("/Video[0].BitRate", {"Referer: <b>x</b>", "Authorization: Basic Zm9vOmJhcg=="});
    EXPECT_EQ(r.status, 401);
    EXPECT_NE(r.body.find("&lt;b&gt;x&lt;/b&gt;"), std::string::npos);
}

TEST_F(Httpd, OtherMethodsAreNotFound)
{
    EXPECT_EQ(web_request(port, "DELETE", "/").status, 404);
}

TEST_F(Httpd, DmesgIsCutAtItsLimitAndSaysWhenItCannotStart)
{
    std::string bin = test_board_path("dmesgbin"), empty = test_board_path("emptybin");
    test_run("mkdir -p '" + bin + "' '" + empty + "'");
    {
        FILE *f = fopen((bin + "/dmesg").c_str(), "w");
        ASSERT_NE(f, nullptr);
        fputs(("#!/bin/sh\necho run >>'" + bin + "/runs'\nhead -c 300000 /dev/zero | tr '\\0' k\n").c_str(), f);
        fclose(f);
    }
    chmod((bin + "/dmesg").c_str(), 0755);
    std::string path = getenv("PATH");
    setenv("PATH", (bin + ":" + path).c_str(), 1);
    usleep(1100000);   // past what an earlier test ran
    // Within a second the last run answers: asking faster starts no more processes. A run at most
    // each second from the first request on, however slowly a busy machine answers.
    auto start = std::chrono::steady_clock::now();
    WebReply big = get("/dmesg.txt");
    for (int i = 0; i < 20; i++)
        EXPECT_EQ(get("/dmesg.txt").body.size(), 0x40000u);
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count() / 1000;
    std::vector<uint8_t> runs = test_read_file(bin + "/runs");
    EXPECT_LE(test_count(std::string(runs.begin(), runs.end()), "run"), 1u + (size_t)took);
    usleep(1100000);
    setenv("PATH", empty.c_str(), 1);
    WebReply none = get("/dmesg.txt");
    setenv("PATH", path.c_str(), 1);
    EXPECT_EQ(big.status, 200);
    EXPECT_EQ(big.body, std::string(0x40000, 'k'));
    EXPECT_EQ(none.status, 200);
    EXPECT_EQ(none.body, "can't open dmesg\n");
    EXPECT_EQ(none.header("content-type"), "text/plain");
}

// The logs show user names, addresses and the program's workings: Admin only, as the page that
// links them; below that the challenge.
TEST_F(Httpd, LogsNeedAdmin)
{
    for (int level : {0, 1, 4, 5}) {
        fake_guest_level = level;
        for (const char *path : {"/log.txt", "/debuglog.txt", "/dmesg.txt"}) {
            WebReply r = get(path);
            EXPECT_EQ(r.status, level >= 5 ? 200 : 401) << path << " at level " << level;
            EXPECT_EQ(r.body.find("httpd"), std::string::npos) << path << " at level " << level;
        }
    }
    fake_guest_level = 0;
    EXPECT_EQ(get("/debuglog.txt", {web_basic("admin", "adminpw")}).status, 200);
    EXPECT_EQ(get("/log.txt", {web_basic("cfg", "cfgpw")}).status, 401);
}

TEST_F(Httpd, StoppingWithAParkedConnectionDoesNotAbort)
{
    parked_connection = nullptr;
    int fd = web_connect(port);
    ASSERT_GE(fd, 0);
    web_send_all(fd, "GET /park HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    for (int i = 0; i < 500 && httpd_parked_count() == 0; i++)
        usleep(10000);
    ASSERT_EQ(httpd_parked_count(), 1);
    httpd_stop();
    EXPECT_EQ(httpd_parked_count(), 0);
    web_read_reply(fd);   // whatever the client gets, the process lives on
    close(fd);
    ASSERT_EQ(httpd_start(0, test_handler), 0);
    EXPECT_EQ(web_request(httpd_port(), "GET", "/").status, 303);
}

TEST_F(Httpd, ParkedConnectionResumesWhenUnparked)
{
    parked_connection = nullptr;
    int fd = web_connect(port);
    ASSERT_GE(fd, 0);
    web_send_all(fd, "GET /park HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    for (int i = 0; i < 500 && httpd_parked_count() == 0; i++)
        usleep(10000);
    ASSERT_EQ(httpd_parked_count(), 1);
    EXPECT_EQ(httpd_unpark(parked_connection), 0);
    WebReply r = web_read_reply(fd);
    close(fd);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "resumed");
    EXPECT_EQ(httpd_unpark(parked_connection), -1);   // already answered
}

// A multipart/form-data POST; a part with an empty name has no "name=" at all.
WebReply post_multipart(uint16_t port, const std::string &path,
                        const std::vector<std::pair<std::string, std::string>> &parts)
{
    std::string body;
    for (const auto &p : parts) {
        body += "--XyZ\r\nContent-Disposition: form-data";
        if (!p.first.empty())
            body += "; name=\"" + p.first + "\"";
        body += "\r\n\r\n" + p.second + "\r\n";
    }
    body += "--XyZ--\r\n";
    int fd = web_connect(port);
    if (fd < 0)
        return {};
    web_send_all(fd, "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\nReferer: /back.htm\r\n"
                     "Content-Type: multipart/form-data; boundary=XyZ\r\nContent-Length: " +
                         std::to_string(body.size()) + "\r\n\r\n" + body);
    WebReply r = web_read_reply(fd);
    close(fd);
    return r;
}

namespace {

std::string log_since(uint32_t from)
{
    std::string text(LOG_RING_SIZE, 0);
    text.resize(log_ring_read(from, text.data(), LOG_RING_SIZE));
    return text;
}

size_t count_of(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1))
        n++;
    return n;
}

} // namespace

TEST_F(Httpd, MultipartPartsWithoutANameAreSkippedOncePerRequest)
{
    for (const char *path : {"/streamA_controls", "/controls", "/clear_log", "/auth_controls"}) {
        SCOPED_TRACE(path);
        fake_settings_reset();
        uint32_t from = log_ring_head();
        std::string key = strcmp(path, "/controls") == 0 ? "Video[0].BitRate" : "BitRate";
        WebReply r = post_multipart(port, path, {{"", "1"}, {key, "700000"}, {"", "2"}, {"", "3"}});
        EXPECT_EQ(r.status, strcmp(path, "/auth_controls") == 0 ? 401 : 303);
        if (strcmp(path, "/controls") == 0 || strcmp(path, "/streamA_controls") == 0) {
            EXPECT_EQ(fake_params["Video[0].BitRate"].value, "700000");   // named parts still count
        }
        std::string log = log_since(from);
        if (strcmp(path, "/auth_controls") != 0) {
            EXPECT_EQ(count_of(log, "form part without a name skipped"), 1u) << log;
        }
        EXPECT_EQ(get("/").status, 303);   // still serving
    }
    // Only nameless parts: nothing changes.
    fake_settings_reset();
    EXPECT_EQ(post_multipart(port, "/streamA_controls", {{"", "900000"}}).status, 303);
    EXPECT_EQ(fake_params["Video[0].BitRate"].value, "2000000");
}

TEST_F(Httpd, LoadingTheDefaultsTakesAnAdminsPost)
{
    uint32_t from = log_ring_head();
    WebReply r = get("/load_default_params?redirect=/index.htm");
    EXPECT_EQ(r.status, 405);
    EXPECT_EQ(r.header("allow"), "POST");
    EXPECT_EQ(log_since(from).find("Loading default params"), std::string::npos);
    for (int level : {4, 6}) {
        fake_guest_level = level;
        EXPECT_EQ(post("/load_default_params", "redirect=admin_update.htm").status, 401) << level;
        EXPECT_EQ(log_since(from).find("Loading default params"), std::string::npos) << level;
    }
    fake_guest_level = 5;
    r = post("/load_default_params", "redirect=admin_update.htm");
    EXPECT_EQ(r.status, 303);
    EXPECT_EQ(r.header("location"), "admin_update.htm");
    EXPECT_NE(log_since(from).find("Loading default params from internal table"), std::string::npos);
}

// A body that no form processor can read (not a form's content type) is refused: the old
// answer, the usual redirect, told the browser its settings were taken.
TEST_F(Httpd, FormBodyThatCannotBeParsedIsRefused)
{
    for (const char *path : {"/controls", "/streamA_controls", "/streamA_controls_no_save", "/mixer_settings",
                             "/clear_log"}) {
        uint32_t from = log_ring_head();
        int fd = web_connect(port, nullptr);
        ASSERT_GE(fd, 0);
        web_send_all(fd, std::string("POST ") + path +
                             " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\nReferer: /back.htm\r\n"
                             "Content-Type: text/plain\r\nContent-Length: 16\r\n\r\nBitRate=300000&x");
        WebReply r = web_read_reply(fd);
        close(fd);
        EXPECT_NE(r.status, 303) << path;
        EXPECT_NE(r.status, 200) << path;
        EXPECT_NE(log_since(from).find("Failed to create post processor"), std::string::npos) << path;
    }
    EXPECT_EQ(fake_params["Video[0].BitRate"].value, "2000000");
    EXPECT_EQ(post("/streamA_controls", "BitRate=300000").status, 303);   // a form still goes through
    EXPECT_EQ(fake_params["Video[0].BitRate"].value, "300000");
}

TEST_F(Httpd, PostWithoutAHandlerIsAnsweredAndLogged)
{
    uint32_t from = log_ring_head();
    WebReply r = post("/log.txt", "x=1");
    EXPECT_EQ(r.status, 405);
    EXPECT_NE(log_since(from).find("POST to /log.txt not allowed"), std::string::npos);
    EXPECT_EQ(post("/", "x=1").status, 405);
    EXPECT_EQ(post("/streamA.h264", "").status, 405);
    r = post("/no_such_page.htm", "x=1");
    EXPECT_EQ(r.status, 404);
    EXPECT_NE(r.body.find("could not be found"), std::string::npos);
    EXPECT_EQ(get("/").status, 303);
}
