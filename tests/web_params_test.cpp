// Every row of the parameter table at every permission level, through the web server: reads
// over GET and writes in a form are allowed or refused as the row says.
#include "core/mtd.h"
#include "core/param.h"
#include "core/param_table.h"
#include "platform/platform.h"
#include "web/auth.h"
#include "web/httpd.h"
#include "testutil.h"
#include "web_client.h"

#include <gtest/gtest.h>
#include <strings.h>

namespace {

class WebParams : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform_init();
        static bool loaded = (mtd_open(), init_param(&param_block), true);
        (void)loaded;
        param_access_install(nullptr);
        auth_reset();
        ASSERT_EQ(httpd_start(0, nullptr), 0);
        port = httpd_port();
    }
    void TearDown() override { httpd_stop(); }
    uint16_t port = 0;
};

// The first row of each name answers to it.
bool first_of_its_name(int i)
{
    for (int j = 0; j < i; j++)
        if (strcasecmp(param_table[j].name, param_table[i].name) == 0)
            return false;
    return true;
}

std::string form_encode(const std::string &s)
{
    std::string out;
    char hex[4];
    for (unsigned char c : s) {
        if (isalnum(c) || c == '.' || c == '_' || c == '-') {
            out += (char)c;
        } else {
            snprintf(hex, sizeof hex, "%%%02X", c);
            out += hex;
        }
    }
    return out;
}

} // namespace

TEST_F(WebParams, ReadsFollowEachRowsReadLevel)
{
    ASSERT_GT(param_count(), 200);
    for (int i = 0; i < param_count(); i++) {
        const ParamDesc &d = param_table[i];
        if (!first_of_its_name(i))
            continue;
        char value[128];
        bool readable = param_get(d.name, value, sizeof value) >= 0;
        for (uint32_t level = 0; level <= 6; level++) {
            param_block.GuestPermission = level;
            WebReply r = web_request(port, "GET", std::string("/") + d.name);
            int want = level < d.read_level ? 401 : readable ? 200 : 404;
            EXPECT_EQ(r.status, want) << d.name << " at level " << level;
        }
    }
    param_block.GuestPermission = 5;
}

TEST_F(WebParams, WritesFollowEachRowsWriteLevelAndDemoNeverWrites)
{
    int written = 0;
    for (int i = 0; i < param_count(); i++) {
        const ParamDesc &d = param_table[i];
        // Function rows act on the device (reboot, telnet, flash); stored rows are written
        // back with their own value.
        if (!first_of_its_name(i) || d.type == PARAM_FUNCTION)
            continue;
        char value[128];
        int n = param_get(d.name, value, sizeof value);
        if (n <= 0)
            continue;   // an empty value is ignored whoever sends it
        written++;
        for (uint32_t level = 0; level <= 6; level++) {
            param_block.GuestPermission = level;
            bool allowed = level != 6 && level >= d.write_level;
            // A value left as it is is no change; a refusal is seen with one that differs.
            std::string sent = allowed ? value : std::string(value) + "9";
            std::string body = form_encode(d.name) + "=" + form_encode(sent);
            WebReply r = web_request(port, "POST", "/controls", {"Referer: /back.htm"}, body);
            EXPECT_EQ(r.status, allowed ? 303 : 401) << d.name << "=" << sent << " at level " << level;
            char after[128];
            param_get(d.name, after, sizeof after);
            if (strcmp(d.name, "GuestPermission") != 0)   // the loop's own
                EXPECT_STREQ(after, value) << d.name << " at level " << level;
        }
    }
    EXPECT_GT(written, 100);
    param_block.GuestPermission = 5;
}
