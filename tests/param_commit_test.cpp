#include "core/log.h"
#include "core/param.h"
#include "core/param_commit.h"
#include "core/quit.h"
#include "core/threads.h"
#include "platform/platform.h"
#include "streams/stream.h"
#include "testutil.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <string>
#include <vector>

namespace {

// A small settings table standing in for the parameter table.
std::map<std::string, std::string> values;
std::vector<std::string> calls;
int save_result;

int fake_get(const char *name, char *buf, size_t size)
{
    auto it = values.find(name);
    if (it == values.end())
        return -1;
    return snprintf(buf, size, "%s", it->second.c_str());
}

const char *fake_set(const char *name, const char *text, size_t length)
{
    if (!values.count(name))
        return "No such parameter";
    values[name] = std::string(text, length);
    calls.push_back(std::string("set ") + name);
    return nullptr;
}

int fake_save()
{
    calls.push_back("save");
    return save_result;
}

void fake_check_users()
{
    calls.push_back("check_users");
}

const char *const rows[] = {"Video[0].GOPSize", "NetworkMACAddr", "Video[0].OSD.Message", "CPULoad", nullptr};

const char *fake_row_name(int i)
{
    return rows[i];
}

int fake_row_is_function(int i)
{
    return strcmp(rows[i], "CPULoad") == 0;
}

int fake_row_format(int i, char *buf, size_t size)
{
    return fake_get(rows[i], buf, size);
}

const ParamAccess fake = {fake_get, fake_set, nullptr, nullptr, nullptr, nullptr, fake_save, fake_check_users,
                          fake_row_name, fake_row_is_function, fake_row_format};

class ParamCommit : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform_init();
        values = {{"Video[0].GOPSize", "30"},   {"NetworkMACAddr", "00:11:22:33:44:55"},
                  {"Video[0].OSD.Message", ""}, {"NetworkMode", "0"},
                  {"Net[0].Addr", "10.0.0.5"},  {"Net[1].Addr", "10.0.1.5"},
                  {"Display.Standard", "6"},    {"Display.DisplayMode", "3"}};
        calls.clear();
        save_result = 0;
        param_access_install(&fake);
        param_take_changed();
        global_quit.rtsp_control = 0;
        network_redirect_host[0] = 0;
        log_ring_reset();
    }
    void TearDown() override { param_access_install(nullptr); }

    std::string log_text()
    {
        std::string s(LOG_RING_SIZE, 0);
        s.resize(log_ring_read(LOG_RING_SIZE, s.data(), LOG_RING_SIZE));
        return s;
    }

    std::string write_file(const std::string &text)
    {
        std::string path = test_board_path("config.txt");
        std::ofstream(path) << text;
        return path;
    }
};

} // namespace

TEST_F(ParamCommit, StreamGroupsActInAscendingOrderAndTheMaskClears)
{
    param_mark_changed(9);
    param_mark_changed(1);
    param_apply_changes();
    std::string log = log_text();
    size_t one = log.find("i=1\n"), nine = log.find("i=9\n");
    ASSERT_NE(one, std::string::npos);
    ASSERT_NE(nine, std::string::npos);
    EXPECT_LT(one, nine);
    EXPECT_EQ(param_pending(), 0u);
}

// The RTMP push groups follow the start mode: a stopped consumer starts, a running one stops,
// and a running one whose mode stays 1 is restarted.
TEST_F(ParamCommit, RtmpPushGroupsFollowTheStartMode)
{
    StreamRunState rs{};
    stream_register(&rs, nullptr, RTMP_STREAM2);
    values["RTMP[1].StartMode"] = "1";
    param_mark_changed(11);
    param_apply_changes();
    EXPECT_EQ(stream_get_state_by_id(RTMP_STREAM2), 1);
    EXPECT_EQ(stream_wait_start(&rs), 1);
    param_mark_changed(11);
    param_apply_changes();
    EXPECT_EQ(rs.flags & (RUN_START_PENDING | RUN_STOP_PENDING), RUN_START_PENDING | RUN_STOP_PENDING)
        << "a restart";
    values["RTMP[1].StartMode"] = "0";
    param_mark_changed(11);
    param_apply_changes();
    EXPECT_EQ(stream_get_state_by_id(RTMP_STREAM2), 0);
    EXPECT_NE(log_text().find("i=11\n"), std::string::npos);
    stream_register(nullptr, nullptr, RTMP_STREAM2);
}

TEST_F(ParamCommit, SerialAndPictureGroupsClearWithoutAction)
{
    param_mark_changed(15);
    param_mark_changed(24);
    param_apply_changes();
    EXPECT_EQ(log_text().find("i="), std::string::npos);
    EXPECT_EQ(param_pending(), 0u);
    EXPECT_EQ(global_quit.rtsp_control, 0);
}

TEST_F(ParamCommit, UsersReloadAndRtspRestartWins)
{
    param_mark_changed(PARAM_GROUP_USERS);
    param_apply_changes();
    EXPECT_EQ(calls, std::vector<std::string>{"check_users"});
    EXPECT_EQ(global_quit.rtsp_control, RTSP_CONTROL_RELOAD_USERS);

    global_quit.rtsp_control = 0;
    param_mark_changed(PARAM_GROUP_USERS);
    param_mark_changed(PARAM_GROUP_RTSP);
    param_apply_changes();
    EXPECT_EQ(global_quit.rtsp_control, RTSP_CONTROL_RESTART);
}

TEST_F(ParamCommit, NetworkChangeRedirectsToTheAddressTheModeSelects)
{
    values["NetworkMode"] = "2";
    param_mark_changed(PARAM_GROUP_NETWORK);
    param_apply_changes();
    EXPECT_STREQ(network_redirect_host, "10.0.1.5");

    network_redirect_host[0] = 0;
    values["NetworkMode"] = "0";   // DHCP: the address is not known here
    param_mark_changed(PARAM_GROUP_NETWORK);
    param_apply_changes();
    EXPECT_STREQ(network_redirect_host, "");
}

TEST_F(ParamCommit, DisplayModeCopiesStandardAndModeToTheDisplayThread)
{
    displayEnv.standard = 0;
    displayEnv.mode = 0;
    param_mark_changed(PARAM_GROUP_DISPLAY_MODE);
    param_apply_changes();
    EXPECT_EQ(displayEnv.standard, 6);
    EXPECT_EQ(displayEnv.mode, 3);
}

TEST_F(ParamCommit, CommitSavesFirstThenAppliesEvenWhenTheSaveFails)
{
    param_mark_changed(PARAM_GROUP_USERS);
    param_commit();
    EXPECT_EQ(calls, (std::vector<std::string>{"save", "check_users"}));

    calls.clear();
    save_result = -5;
    param_mark_changed(PARAM_GROUP_USERS);
    param_commit();
    EXPECT_EQ(calls, (std::vector<std::string>{"save", "check_users"}));
    EXPECT_NE(log_text().find("save_param_block returned -5\n"), std::string::npos);
}

TEST_F(ParamCommit, ConfigFileLinesAreAppliedOrLogged)
{
    std::string path = write_file("Video[0].GOPSize=60\n"
                                  "#comment\n"
                                  "1abc = 5\n"
                                  "Video[0].OSD.Message = hello world  \r\n"
                                  "Nope = 1\n"
                                  "\n");
    ASSERT_EQ(param_load_file(path.c_str()), 0);
    EXPECT_EQ(values["Video[0].GOPSize"], "60");
    EXPECT_EQ(values["Video[0].OSD.Message"], "hello world");
    std::string log = log_text();
    EXPECT_NE(log.find("can't set '#comment' to '' (rc=1)"), std::string::npos);
    EXPECT_NE(log.find("can't set '1abc' to '5' (rc=3)"), std::string::npos);
    EXPECT_NE(log.find("can't set 'Nope' to '1' (No such parameter)"), std::string::npos);
}

TEST_F(ParamCommit, ConfigFileOpenFailures)
{
    EXPECT_EQ(param_load_file(nullptr), -1);
    EXPECT_EQ(param_load_file(test_board_path("missing.txt").c_str()), -1);
}

TEST_F(ParamCommit, SavedFileLoadsBackAndLeavesOutIdentityAndFunctions)
{
    values["Video[0].OSD.Message"] = "two words";
    std::string path = test_board_path("saved.txt");
    ASSERT_EQ(param_save_file(path.c_str()), 0);
    std::ifstream in(path);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "Video[0].GOPSize = 30\r\nVideo[0].OSD.Message = two words\r\n");
    values["Video[0].GOPSize"] = "1";
    values["Video[0].OSD.Message"] = "";
    ASSERT_EQ(param_load_file(path.c_str()), 0);
    EXPECT_EQ(values["Video[0].GOPSize"], "30");
    EXPECT_EQ(values["Video[0].OSD.Message"], "two words");
}
