#include "core/mtd.h"
#include "core/param.h"
#include "platform/platform.h"
#include "web/accesslog.h"
#include "web/auth.h"
#include "web/httpd.h"
#include "testutil.h"
#include "web_client.h"

#include <gtest/gtest.h>
#include <set>
#include <thread>

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

class Httpd : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform_init();
        static bool loaded = (mtd_open(), init_param(&param_block), true);
        (void)loaded;
        fake_settings_reset();
        auth_reset();
        httpd_no_save = 0;
        ASSERT_EQ(httpd_start(0, test_handler), 0);
        port = httpd_port();
        ASSERT_NE(port, 0);
    }
    void TearDown() override
    {
        httpd_stop();
        param_access_install(nullptr);
    }
    WebReply get(const std::string &path, const std::vector<std::string> &h = {})
    {
        return web_request(port, "GET", path, h);
    }
    WebReply post(const std::string &path, const std::string &body, std::vector<std::string> h = {})
    {
        h.push_back("Referer: /back.htm");
        return web_request(port, "POST", path, h, body);
    }
    uint16_t port = 0;
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
        {"load_default_params", {303, "/index.htm"}},
        {"log.txt", {200, ""}},
        {"debuglog.txt", {200, ""}},
        {"dmesg.txt", {200, ""}},
        {"mixer_settings", {200, ""}},
        {"login.htm", {401, ""}},
        {"logout.htm", {303, "/index.htm"}},
    };
    for (int level = 0; level <= 6; level++) {
        fake_guest_level = level;
        for (int i = 0; i < url_table_size; i++) {
            std::string name = url_table[i].name;
            WebReply r = get("/" + name);
            auto it = expect.find(name);
            // Rows whose pages are built elsewhere fall through to "not found", and so do the
            // "_no_save" form targets, whose ending names no page.
            int status = it == expect.end() ? 404 : it->second.first;
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
    EXPECT_EQ(post_rows["firmware"], 5);

    for (int level = 0; level <= 6; level++) {
        fake_guest_level = level;
        for (int i = 0; i < url_table_size; i++) {
            const UrlEntry &row = url_table[i];
            std::string name = row.name;
            WebReply r = post("/" + name, "nothing=1");
            if (!row.post_handler) {
                EXPECT_EQ(r.status, 0) << name << ": a row without POST closes the connection";
                continue;
            }
            bool allowed = row.post_level == 0 || (level != 6 && level >= row.post_level);
            if (name == "auth_controls")
                allowed = false;   // the guest is always challenged there
            EXPECT_EQ(r.status, allowed ? 303 : 401) << name << " at level " << level;
            if (allowed) {
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

TEST_F(Httpd, AuthControlsNeedsAUser)
{
    fake_users["admin"].level = 5;
    EXPECT_EQ(post("/auth_controls", "Video[0].BitRate=300000").status, 401);
    EXPECT_EQ(fake_params["Video[0].BitRate"].value, "2000000");
    WebReply r = post("/auth_controls", "Video[0].BitRate=300000", {web_basic("admin", "adminpw")});
    EXPECT_EQ(r.status, 303);
    EXPECT_EQ(fake_params["Video[0].BitRate"].value, "300000");
}

TEST_F(Httpd, EmptyValueLeavesTheSettingAndSpecialKeysAct)
{
    WebReply r = post("/streamA_controls", "BitRate=&x=4&y=5&redirect=/done.htm");
    EXPECT_EQ(r.status, 303);
    EXPECT_EQ(r.header("location"), "/done.htm");
    EXPECT_EQ(fake_params["Video[0].BitRate"].value, "2000000");
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
    web_send_all(fd, "POST /streamA_controls_no_save HTTP/1.1\r\nHost: x\r\n"
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

TEST_F(Httpd, StoppingWithAParkedConnectionDoesNotAbort)
{
    parked_connection = nullptr;
    int fd = web_connect(port);
    ASSERT_GE(fd, 0);
    web_send_all(fd, "GET /park HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
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
    web_send_all(fd, "GET /park HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
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
