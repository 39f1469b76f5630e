// User creation through the web server and the real settings table: the first Admin of an
// open device, and forms that could only make a broken or a second user.
#include "core/mtd.h"
#include "core/param.h"
#include "platform/platform.h"
#include "web/auth.h"
#include "web/httpd.h"
#include "testutil.h"
#include "web_client.h"

#include <cstring>
#include <gtest/gtest.h>

namespace {

class Users : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform_init();
        static bool loaded = (mtd_open(), init_param(&param_block), true);
        (void)loaded;
        param_access_install(nullptr);
        memset(param_block.User, 0, sizeof param_block.User);
        for (UserSlot &u : param_block.User)
            u.Permission = 5;   // an empty slot's stored level
        param_block.GuestPermission = 5;
        auth_reset();
        ASSERT_EQ(httpd_start(0, nullptr), 0);
        port = httpd_port();
    }
    void TearDown() override { httpd_stop(); }
    WebReply post(const std::string &path, const std::string &body, std::vector<std::string> h = {})
    {
        h.push_back("Referer: /admin_users.htm");
        return web_request(port, "POST", path, h, body);
    }
    int used_slots()
    {
        int n = 0;
        for (const UserSlot &u : param_block.User)
            n += u.Name[0] != 0;
        return n;
    }
    uint16_t port = 0;
};

} // namespace

TEST_F(Users, TheGuestOfAnOpenDeviceCreatesTheFirstAdminAndIsAskedToLogIn)
{
    EXPECT_TRUE(auth_device_open());
    WebReply r = post("/auth_controls", "create_user_name=boss&create_user_pass=bosspw1&create_user_perm=5");
    EXPECT_EQ(r.status, 303);
    EXPECT_EQ(r.header("location"), "/login.htm?redirect=/admin_users.htm");
    EXPECT_STREQ(param_block.User[0].Name, "boss");
    EXPECT_EQ(param_block.User[0].Permission, 5u);
    EXPECT_STREQ(param_block.User[0].Password, "bosspw1");
    EXPECT_FALSE(auth_device_open());

    // The login the answer leads to: challenged without credentials, in with them.
    EXPECT_EQ(web_request(port, "GET", "/login.htm?redirect=/admin_users.htm").status, 401);
    r = web_request(port, "GET", "/login.htm?a=cookie&redirect=/admin_users.htm", {web_basic("boss", "bosspw1")});
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.header("set-cookie").rfind("Token=", 0), 0u);

    // From now on changing the users needs a logged-in Admin.
    r = post("/auth_controls", "create_user_name=eve&create_user_pass=evepw&create_user_perm=5");
    EXPECT_EQ(r.status, 401);
    EXPECT_EQ(used_slots(), 1);
    r = post("/auth_controls", "create_user_name=ann&create_user_pass=annpw&create_user_perm=3",
             {web_basic("boss", "bosspw1")});
    EXPECT_EQ(r.status, 303);
    EXPECT_EQ(r.header("location"), "/admin_users.htm");
    EXPECT_STREQ(param_block.User[1].Name, "ann");
    EXPECT_EQ(param_block.User[1].Permission, 3u);
}

TEST_F(Users, APermissionMissingOutOfRangeOrNotANumberIsRefusedWithItsReason)
{
    const struct {
        const char *body, *reason;
    } cases[] = {
        {"create_user_name=a1&create_user_pass=pw", "no permission was given"},
        {"create_user_name=a2&create_user_pass=pw&create_user_perm=", "not a level from 1 to 5"},
        {"create_user_name=a3&create_user_pass=pw&create_user_perm=0", "not a level from 1 to 5"},
        {"create_user_name=a4&create_user_pass=pw&create_user_perm=6", "not a level from 1 to 5"},
        {"create_user_name=a5&create_user_pass=pw&create_user_perm=admin", "not a level from 1 to 5"},
        {"create_user_name=a6&create_user_pass=pw&create_user_perm=5x", "not a level from 1 to 5"},
        {"create_user_perm=5&create_user_pass=pw", "no name was given"},
        {"create_user_name=&create_user_perm=5", "the name is empty"},
        {"create_user_name=abcdefghijklmnopqrstu&create_user_perm=5", "name: "},
        {"create_user_name=a7&create_user_perm=5&create_user_pass=abcdefghijklmnopqrstu", "password: "},
    };
    for (const auto &c : cases) {
        WebReply r = post("/controls", c.body);
        EXPECT_EQ(r.status, 400) << c.body;
        EXPECT_NE(r.body.find(c.reason), std::string::npos) << c.body << ": " << r.body;
        EXPECT_NE(r.body.find("href=\"/admin_users.htm\""), std::string::npos) << r.body;
        EXPECT_EQ(used_slots(), 0) << c.body;
    }
    // A level in range is taken as given.
    EXPECT_EQ(post("/controls", "create_user_name=low&create_user_perm=1&create_user_pass=pw").status, 303);
    EXPECT_EQ(param_block.User[0].Permission, 1u);
}

TEST_F(Users, ANameInUseIsRefusedAndTheRefusalStopsTheRestOfTheForm)
{
    ASSERT_EQ(post("/controls", "create_user_name=ann&create_user_perm=3&create_user_pass=pw1").status, 303);
    uint8_t gop = param_block.Video[0].GOPSize;
    uint8_t other = gop == 40 ? 41 : 40;
    WebReply r = post("/controls", "create_user_name=ann&create_user_perm=5&create_user_pass=pw2&Video%5B0%5D.GOPSize=" +
                                       std::to_string(other));
    EXPECT_EQ(r.status, 400);
    EXPECT_NE(r.body.find("already in use"), std::string::npos) << r.body;
    EXPECT_EQ(used_slots(), 1);
    EXPECT_EQ(param_block.User[0].Permission, 3u);
    EXPECT_STREQ(param_block.User[0].Password, "pw1");
    EXPECT_EQ(param_block.Video[0].GOPSize, gop);   // the key after the refused one was not acted on
    // A refused permission first: nothing after it either, and no half-made user.
    r = post("/controls", "create_user_perm=9&create_user_name=bob&create_user_pass=pw");
    EXPECT_EQ(r.status, 400);
    EXPECT_EQ(used_slots(), 1);
    // Below Admin a user cannot create one; the rest of the form is not acted on.
    param_block.GuestPermission = 4;
    r = post("/controls", "create_user_name=cy&create_user_perm=1&Video%5B0%5D.GOPSize=" + std::to_string(other));
    EXPECT_EQ(r.status, 401);
    EXPECT_EQ(used_slots(), 1);
    EXPECT_EQ(param_block.Video[0].GOPSize, gop);
    param_block.GuestPermission = 5;
}

TEST_F(Users, AnEmptyValueClearsATextSetting)
{
    for (const char *name : {"Recording.Filename", "Display.URL"}) {
        std::string key = name;
        std::string encoded;
        for (char c : key)
            encoded += c == '[' ? "%5B" : c == ']' ? "%5D" : std::string(1, c);
        ASSERT_EQ(post("/controls", encoded + "=something").status, 303) << name;
        EXPECT_EQ(web_request(port, "GET", "/" + key).body, "something") << name;
        ASSERT_EQ(post("/controls", encoded + "=").status, 303) << name;
        EXPECT_EQ(web_request(port, "GET", "/" + key).body, "") << name;
    }
}

// The note beside the guest's permission names what an anonymous client can change at that
// level, and the server agrees: what it names is taken without credentials, the rest refused.
TEST_F(Users, TheGuestNoteNamesWhatTheGuestsLevelMayChange)
{
    snprintf(param_block.User[0].Name, sizeof param_block.User[0].Name, "boss");
    snprintf(param_block.User[0].Password, sizeof param_block.User[0].Password, "bosspw1");
    param_block.User[0].Permission = 5;
    auto note = [&](int level) {
        param_block.GuestPermission = (uint32_t)level;
        std::string body = web_request(port, "GET", "/users_table", {web_basic("boss", "bosspw1")}).body;
        size_t at = body.find("id='guestnote'>");
        return at == std::string::npos ? body : body.substr(at + 15, body.find("</td>", at) - at - 15);
    };
    auto anonymous = [&](const std::string &form) { return post("/controls", form).status; };
    const std::string gop = "Video%5B0%5D.GOPSize=" + std::to_string(param_block.Video[0].GOPSize + 1);

    std::string n = note(1);
    EXPECT_NE(n.find("Stream View permission: anyone who reaches the device may start and stop the UDP/TCP "
                     "outputs and start and stop the video output without logging in, and change nothing else"),
              std::string::npos) << n;
    EXPECT_EQ(anonymous("UDP%5B1%5D.State=stop"), 303);
    EXPECT_EQ(anonymous("Display.State=stop"), 303);
    EXPECT_EQ(anonymous("Recording.State=stop"), 401);
    EXPECT_EQ(anonymous(gop), 401);

    n = note(3);
    EXPECT_NE(n.find("may start and stop the UDP/TCP outputs, start and stop the video output, start and stop "
                     "recording, start and stop the serial port and set the GPIO output without logging in"),
              std::string::npos) << n;
    EXPECT_EQ(anonymous("Recording.State=stop"), 303);
    EXPECT_EQ(anonymous(gop), 401);

    n = note(4);
    EXPECT_NE(n.find("Stream Config permission: anyone who reaches the device may change "), std::string::npos) << n;
    EXPECT_NE(n.find(" settings, start and stop the UDP/TCP outputs"), std::string::npos) << n;
    EXPECT_EQ(anonymous(gop), 303);

    EXPECT_NE(note(5).find("may change its settings and create users"), std::string::npos);
    EXPECT_EQ(note(0), "The guest has no permission: everyone must log in.");
    EXPECT_EQ(note(6), "The guest may change no setting: only users who log in may.");
    EXPECT_EQ(anonymous("UDP%5B1%5D.State=stop"), 401);
    param_block.GuestPermission = 5;
}
