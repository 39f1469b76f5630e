#include "core/log.h"
#include "core/mtd.h"
#include "core/param.h"
#include "core/param_table.h"
#include "platform/platform.h"
#include "web/auth.h"
#include "web/httpd.h"
#include "web/pages.h"
#include "testutil.h"
#include "web_client.h"

#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

struct Limits {
    int32_t min, max, step;
};
std::map<std::string, Limits> fake_limits;

int fake_param_limits(const char *name, int32_t *min, int32_t *max, int32_t *step)
{
    auto it = fake_limits.find(name);
    if (it != fake_limits.end()) {
        *min = it->second.min;
        *max = it->second.max;
        *step = it->second.step;
    }
    return 0;
}

void write_page(const std::string &name, const std::string &text)
{
    std::ofstream(test_board_path("/usr/html/" + name)) << text;
}

class Pages : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform_init();
        static bool loaded = (mtd_open(), init_param(&param_block), true);
        (void)loaded;
        fake_settings_reset();
        fake_params["Flag"] = {"1", 1, 4};
        fake_params["NetworkHostname"] = {"dev<1>", 5, 5};
        fake_params["Video[0].StreamMode"] = {"0", 1, 4};
        fake_params["Video[1].StreamMode"] = {"3", 1, 4};
        fake_params["Secret"] = {"hidden", 5, 5};
        fake_limits = {{"Video[0].BitRate", {100000, 20000000, 100000}},
                       {"Capture.Hue", {-127, 127, 1}},
                       {"Status", {0, 0, 0}}};
        pages_set_limits(fake_param_limits);
        auth_reset();
        log_ring_reset();
        ASSERT_EQ(httpd_start(0, nullptr), 0);
        port = httpd_port();
    }
    void TearDown() override
    {
        httpd_stop();
        pages_set_limits(nullptr);
        param_access_install(nullptr);
    }
    // Renders a template text at a level without a connection.
    std::string render(const std::string &text, int level = 5, int *rc = nullptr)
    {
        HttpRequest req = {};
        req.level = level;
        req.url = "/t.htm";
        DynBuf b = {};
        b.req = &req;
        UrlEntry row = {"t", text.c_str(), render_page, nullptr, 0};
        int r = render_template(&b, &row);
        if (rc)
            *rc = r;
        std::string out = b.data ? std::string(b.data, b.length) : "";
        dynbuf_free(&b);
        return out;
    }
    WebReply get(const std::string &path, const std::vector<std::string> &h = {})
    {
        return web_request(port, "GET", path, h);
    }
    uint16_t port = 0;
};

} // namespace

TEST_F(Pages, TagRules)
{
    struct Case {
        const char *name, *in, *out;
    } cases[] = {
        {"text and other tags are copied", "a <b>bold</b> <div id='x'>z</div> < 3", "a <b>bold</b> <div id='x'>z</div> < 3"},
        {"form prefix fills value and limits",
         "<form name='f' method='POST' action='streamA_controls'><input type='number' name='BitRate' value='1'></form>",
         "<form name='f' method='POST' action='streamA_controls'><input type='number' name='BitRate' value='2000000'"
         " min=\"100000\" max=\"20000000\" step=\"100000\"></form>"},
        {"prefix ends with the form",
         "<form action='streamA_controls'></form><input type='text' name='BitRate' value='x'>",
         "<form action='streamA_controls'></form><input type='text' name='BitRate' value='x'>"},
        {"a form that is no settings form has no prefix",
         "<form action='firmware'><input type='text' name='BitRate' value='x'></form>",
         "<form action='firmware'><input type='text' name='BitRate' value='x'></form>"},
        {"leading slash of a name dropped", "<input type='text' name='/Video[0].BitRate' value=''>",
         "<input type='text' name='/Video[0].BitRate' value='2000000'>"},
        {"misplaced attributes are copied", "<input value='1' name='Video[0].BitRate' type='text'>",
         "<input value='1' name='Video[0].BitRate' type='text'>"},
        {"the hidden zero before a checkbox is left", "<input type='hidden' value='0' name='Flag'>",
         "<input type='hidden' value='0' name='Flag'>"},
        {"checkbox checked by the setting", "<input type='checkbox' name='Flag' value='1' checked='x'>",
         "<input type='checkbox' name='Flag' value='1' checked>"},
        {"checkbox unchecked by the setting", "<input type='checkbox' name='Flag' value='0' checked>",
         "<input type='checkbox' name='Flag' value='0'>"},
        {"existing limits replaced, step 1 not added", "<input type='range' name='Capture.Hue' value='' min='0' max='9'>",
         "<input type='range' name='Capture.Hue' value='0' min=\"-127\" max=\"127\">"},
        {"no limits from a row without a range", "<input type='number' name='Status' value=''>",
         "<input type='number' name='Status' value='ok'>"},
        {"unquoted values end at the tag's end", "<input type=number name=Video[0].BitRate>x",
         "<input type=number name=Video[0].BitRate min=\"100000\" max=\"20000000\" step=\"100000\">x"},
        {"unquoted value replaced in quotes", "<input type=text name=Video[0].BitRate value=5 size=3>",
         "<input type=text name=Video[0].BitRate value=\"2000000\" size=3>"},
        {"escaped quote inside a value", "<input type='text' name='Vid\\'x' value='a'>",
         "<input type='text' name='Vid\\'x' value='a'>"},
        {"a setting the level may not read is not shown", "<input type='text' name='Secret' value='x'>",
         "<input type='text' name='Secret' value='x'>"},
        {"select and options", "<select id='s' name='Display.Standard'><option value='5'>N</option>"
                               "<option value='6' selected>P</option></select>",
         "<select id='s' name='Display.Standard'><option value='5' selected >N</option>"
         "<option value='6'>P</option></select>"},
        {"select without a name selects nothing", "<select id='s'><option value='5' selected>N</option></select>",
         "<select id='s'><option value='5'>N</option></select>"},
        {"include of a setting", "[<include src='Video[0].BitRate'>]", "[2000000]"},
        {"include of a row that answers by itself inserts nothing", "[<include src='login.htm'>]", "[]"},
        {"include of a missing file inserts nothing", "[<include src='nothing_here.htm'>]", "[]"},
        {"include without a source is dropped", "[<include title='x'>]", "[]"},
        {"include of a path out of the web root", "[<include src='../dev/mtd0'>]", "[]"},
        {"require met is removed", "<require permission='Stream Config'>ok", "ok"},
        {"unterminated tag", "x<input type='text' name='Flag", "x<input type='text' name='Flag"},
        {"unterminated include", "x<include src='Video[0].BitRate", "x2000000"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(render(c.in, 4), c.out) << c.name;
    // At level 5 the setting is readable.
    EXPECT_EQ(render("<input type='text' name='Secret' value='x'>", 5), "<input type='text' name='Secret' value='hidden'>");
}

TEST_F(Pages, ValuesAreEscaped)
{
    fake_params["Status"].value = "\"><script>x</script>";
    EXPECT_EQ(render("<input type='text' name='Status' value=''>"),
              "<input type='text' name='Status' value='&quot;&gt;&lt;script&gt;x&lt;/script&gt;'>");
    EXPECT_EQ(render("<include src='Status'>"), "&quot;&gt;&lt;script&gt;x&lt;/script&gt;");
    // User names in the users table.
    fake_params["User[0].Name"] = {"<b>'x'", 5, 5};
    fake_params["User[0].Permission"] = {"3", 5, 5};
    std::string users = render("<include src='users_table'>");
    EXPECT_EQ(users.find("<b>"), std::string::npos);
    EXPECT_NE(users.find("value='&lt;b&gt;&#39;x&#39;'"), std::string::npos);
    EXPECT_NE(users.find("<option value='3' selected>Stream Control</option>"), std::string::npos);
    EXPECT_NE(users.find("<select name='GuestPermission'>"), std::string::npos);
    EXPECT_NE(users.find("<option value='5' selected>Admin</option>"), std::string::npos);
}

TEST_F(Pages, IncludesOfRowsAndFiles)
{
    write_page("t_head.htm", "<html><title>Old</title>HEAD");
    EXPECT_EQ(render("<include src='t_head.htm' title='Page'>|"), "<html><title>dev&lt;1&gt; - Page</title>HEAD|");
    // Without a title attribute the title stays.
    EXPECT_EQ(render("<include src='t_head.htm'>"), "<html><title>Old</title>HEAD");
    // A generator: the menu by level.
    std::string menu = render("<include src='nav_bar'>", 5);
    EXPECT_NE(menu.find("<h6>Admin</h6>"), std::string::npos);
    EXPECT_NE(menu.find("<p><a href='setup_streama.htm'>Stream&nbsp;A</a></p>\n"), std::string::npos);
    menu = render("<include src='nav_bar'>", 3);
    EXPECT_NE(menu.find("<h6>Control</h6>"), std::string::npos);
    EXPECT_EQ(menu.find("<h6>Configure</h6>"), std::string::npos);
    EXPECT_EQ(menu.find("<h6>Admin</h6>"), std::string::npos);
    EXPECT_NE(menu.find("action='login.htm'"), std::string::npos);
    // A row holding a template text.
    write_page("header.htm", "<title>H</title>");
    write_page("footer.htm", "F");
    std::string un = render("<include src='unauthorized.htm'>");
    EXPECT_NE(un.find("<h1>Unauthorized</h1>"), std::string::npos);
    EXPECT_NE(un.find("dev&lt;1&gt; - Unauthorized"), std::string::npos);
    // Option generators select the current value of prefix + name.
    std::string modes = render("<form action='streamB_controls'><include src='stream_mode_options'></form>");
    EXPECT_NE(modes.find("<option value='3' selected>MJPEG VES</option>"), std::string::npos);
    EXPECT_EQ(test_count(modes, "selected"), 1u);
}

// One body file serves both channels: the form around the include gives its fields their
// prefix, and the body's own forms end inside it.
TEST_F(Pages, IncludedBodyTakesThePrefixOfTheFormAroundIt)
{
    write_page("t_body.htm", "<input type='text' name='BitRate' value=''>"
                             "<form action='udpA_controls'><input type='text' name='Port' value=''></form>");
    EXPECT_EQ(render("<form action='streamA_controls'><include src='t_body.htm'>"
                     "<input type='text' name='BitRate' value=''></form>"),
              "<form action='streamA_controls'><input type='text' name='BitRate' value='2000000'>"
              "<form action='udpA_controls'><input type='text' name='Port' value='5000'></form>"
              "<input type='text' name='BitRate' value='2000000'></form>");
    EXPECT_EQ(render("<form action='streamB_controls'><include src='t_body.htm'></form>"),
              "<form action='streamB_controls'><input type='text' name='BitRate' value='1000000'>"
              "<form action='udpA_controls'><input type='text' name='Port' value='5000'></form></form>");
    // Outside any form the body's fields stay as written.
    EXPECT_EQ(render("<include src='t_body.htm'>").find("name='BitRate' value=''>"), 19u);
}

// Only the plain settings rows give a form's fields their prefix: a save-less or log-clearing
// form leaves its fields as the page wrote them.
TEST_F(Pages, OnlyPlainSettingsFormsPrefixTheirFields)
{
    EXPECT_EQ(render("<form action='streamA_controls_no_save'><input type='text' name='BitRate' value='k'></form>"),
              "<form action='streamA_controls_no_save'><input type='text' name='BitRate' value='k'></form>");
    EXPECT_EQ(render("<form action='display_controls_no_save'><select name='Standard'><option value='5'>N</option>"
                     "</select></form>"),
              "<form action='display_controls_no_save'><select name='Standard'><option value='5'>N</option>"
              "</select></form>");
    EXPECT_EQ(render("<form action='clear_log'><input type='text' name='Video[0].BitRate' value='k'></form>"),
              "<form action='clear_log'><input type='text' name='Video[0].BitRate' value='2000000'></form>");
    EXPECT_EQ(render("<form action='udpB_controls'><input type='text' name='Port' value='k'></form>"),
              "<form action='udpB_controls'><input type='text' name='Port' value='5002'></form>");
}

TEST_F(Pages, SelfIncludeStopsAtTheDepthLimit)
{
    write_page("self.htm", "A<include src='self.htm'>B");
    int rc = -2;
    std::string out = render("<include src='self.htm'>", 5, &rc);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(test_count(out, "A"), test_count(out, "B"));
    EXPECT_GE(test_count(out, "A"), 2u);
    EXPECT_LE(test_count(out, "A"), (size_t)PAGES_INCLUDE_DEPTH + 1);
    EXPECT_NE(test_log_text().find("failed to include resource self.htm"), std::string::npos);
}

TEST_F(Pages, RequireBelowTheLevelShowsOnlyTheUnauthorizedPage)
{
    write_page("header.htm", "<title>H</title>");
    write_page("footer.htm", "F");
    std::string out = render("before<require permission='Stream Config'>after", 3);
    EXPECT_EQ(out.find("before"), std::string::npos);
    EXPECT_EQ(out.find("after"), std::string::npos);
    EXPECT_NE(out.find("<h1>Unauthorized</h1>"), std::string::npos);
    // Reached through an include, the whole page is replaced as well.
    write_page("protected.htm", "inner<require permission='Admin'>secret");
    out = render("outer<include src='protected.htm'>tail", 4);
    EXPECT_EQ(out.find("outer"), std::string::npos);
    EXPECT_EQ(out.find("tail"), std::string::npos);
    EXPECT_EQ(out.find("secret"), std::string::npos);
    EXPECT_NE(out.find("<h1>Unauthorized</h1>"), std::string::npos);
}

TEST_F(Pages, RequireWithAnUnknownLevelNameGuardsLikeAdmin)
{
    write_page("header.htm", "<title>H</title>");
    write_page("footer.htm", "F");
    EXPECT_EQ(render("<require permission='Stream Confg'>ok", 5), "ok");
    EXPECT_NE(render("<require permission='Stream Confg'>ok", 4).find("<h1>Unauthorized</h1>"), std::string::npos);
    EXPECT_NE(render("<require>ok", 4).find("<h1>Unauthorized</h1>"), std::string::npos);
    EXPECT_EQ(render("<require permission=\"stream view\">ok", 1), "ok");
}

TEST_F(Pages, HeaderThatRequiresMoreStopsTheUnauthorizedPage)
{
    write_page("header.htm", "<require permission='Admin'><title>H</title>");
    write_page("footer.htm", "F");
    int rc = -2;
    std::string out = render("<require permission='Admin'>SECRET", 1, &rc);
    EXPECT_EQ(out.find("SECRET"), std::string::npos);
    EXPECT_NE(out.find("<h1>Unauthorized</h1>"), std::string::npos);
    EXPECT_NE(test_log_text().find("failed to include resource header.htm"), std::string::npos);
}

TEST_F(Pages, RequireFromTheLogoutPageRedirectsHome)
{
    write_page("t_req.htm", "x<require permission='Admin'>y");
    write_page("header.htm", "<title>H</title>");
    write_page("footer.htm", "F");
    fake_guest_level = 1;
    WebReply r = get("/t_req.htm", {"Referer: http://dev/logout.htm"});
    EXPECT_EQ(r.status, 303);
    EXPECT_EQ(r.header("location"), "/index.htm");
    r = get("/t_req.htm", {"Referer: http://dev/index.htm"});
    EXPECT_EQ(r.status, 200);
    EXPECT_NE(r.body.find("<h1>Unauthorized</h1>"), std::string::npos);
    EXPECT_EQ(r.body.find('y'), std::string::npos);
    fake_guest_level = 5;
    r = get("/t_req.htm", {"Referer: http://dev/logout.htm"});
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "xy");
}

TEST_F(Pages, ServeFileOnlyRegularFilesInsideTheRoot)
{
    write_page("t.css", "body{}");
    write_page("t.bmp", "BM");
    mkdir(test_board_path("/usr/html/adir").c_str(), 0755);
    mkdir(test_board_path("/usr/html/adir.css").c_str(), 0755);
    std::string long_name(68, 'x');
    write_page(long_name + ".css", "long");
    write_page(std::string(60, 'y') + ".css", "short enough");
    WebReply r = get("/t.css");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "body{}");
    EXPECT_EQ(r.header("content-type"), "text/css");
    r = get("/t.bmp");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.header("content-type"), "");
    EXPECT_EQ(get("/adir").status, 404);
    EXPECT_EQ(get("/adir.css").status, 404);
    EXPECT_EQ(get("/adir/../t.css").status, 404);
    EXPECT_EQ(get("/../dev/mtd0").status, 404);
    EXPECT_EQ(get("/" + long_name + ".css").status, 404);
    EXPECT_EQ(get("/" + std::string(60, 'y') + ".css").status, 200);
    EXPECT_EQ(get("/missing.css").status, 404);
}

TEST_F(Pages, ReflectedRequestTextIsEscaped)
{
    // The request URL in the menu's form.
    write_page("q'<b>.htm", "<include src='nav_bar'>");
    WebReply r = get("/q%27%3Cb%3E.htm");
    EXPECT_EQ(r.status, 200);
    EXPECT_NE(r.body.find("value='/q&#39;&lt;b&gt;.htm'"), std::string::npos);
    EXPECT_EQ(r.body.find("<b>"), std::string::npos);
    // The user name in the menu.
    fake_users["<i>"] = {"pw", 5};
    r = get("/nav_bar", {web_basic("<i>", "pw")});
    EXPECT_EQ(r.status, 200);
    EXPECT_NE(r.body.find("User:&nbsp;&lt;i&gt;</h6>"), std::string::npos);
    EXPECT_NE(r.body.find("action='logout.htm'"), std::string::npos);
    // Query values, keys and headers on the debug page.
    r = get("/debug.htm?user=%3Cu%3E&%3Ck%3E=%3Cv%3E", {"X-Test: <h>"});
    EXPECT_EQ(r.status, 200);
    for (const char *raw : {"<u>", "<k>", "<v>", "<h>"})
        EXPECT_EQ(r.body.find(raw), std::string::npos) << raw;
    EXPECT_NE(r.body.find("<pre>User: &lt;u&gt; ("), std::string::npos);
    EXPECT_NE(r.body.find("<pre>&lt;k&gt;: &lt;v&gt;</pre>"), std::string::npos);
    EXPECT_NE(r.body.find("<pre>X-Test: &lt;h&gt;</pre>"), std::string::npos);
    // The referer generator.
    r = get("/referer", {"Referer: '><s>"});
    EXPECT_EQ(r.body, "&#39;&gt;&lt;s&gt;");
    r = get("/referer?redirect=%3Cr%3E", {"Referer: other"});
    EXPECT_EQ(r.body, "&lt;r&gt;");
}

TEST_F(Pages, RtspLinksUseTheHostHeaderAndPort)
{
    fake_params["RTSP_Port"] = {"0", 1, 4};
    WebReply r = get("/rtsp_streams");
    EXPECT_NE(r.body.find("rtsp://127.0.0.1:8554/streamA.h264_aac"), std::string::npos);
    fake_params["RTSP_Port"].value = "554";
    fake_params["RTSP_CustomStreamMode"] = {"1", 1, 4};
    fake_params["RTSP_CustomStreamName"] = {"my'cam", 1, 4};
    r = get("/rtsp_streams");
    EXPECT_NE(r.body.find("<table id='params'>\n"), std::string::npos);
    EXPECT_NE(r.body.find("'rtsp://127.0.0.1:554/streamB.ts'>Stream B</a>"), std::string::npos);
    EXPECT_NE(r.body.find("'rtsp://127.0.0.1:554/my&#39;cam'>Custom Stream</a>"), std::string::npos);
    EXPECT_NE(r.body.find("'rtsp://127.0.0.1:554/streamC.pcm'>Stream PCM</a>"), std::string::npos);
}

TEST_F(Pages, ViewPagesRedirectByCodec)
{
    EXPECT_EQ(get("/view_streama.htm").header("location"), "rtmp_streama.htm");
    EXPECT_EQ(get("/view_streamb.htm").header("location"), "jpeg_streamb.htm");
    fake_params["Video[0].StreamMode"].value = "9";
    EXPECT_EQ(get("/view_streama.htm").header("location"), "invalid_stream.htm");
}

TEST_F(Pages, ConfigListsEveryFormattableRowInOrder)
{
    param_access_install(nullptr);
    WebReply r = get("/config.txt");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.header("content-type"), "text/plain");
    std::string expect;
    char value[512];
    for (int i = 0; param_name(i); i++) {
        if (param_is_function(i) || param_format(i, value, sizeof value) < 0)
            continue;
        expect += std::string(param_name(i)) + " = " + value + "\n";
    }
    EXPECT_EQ(r.body, expect);
    EXPECT_NE(r.body.find("Video[0].BitRate = "), std::string::npos);
}
