// The RTSP thread's pieces: the user database from the settings, the session table with the
// custom session, the AAC configuration text, and the SPS/PPS probe of DESCRIBE, which must
// end on its own when the channel sends nothing and learn the parameter sets when it does.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/param.h"
#include "core/quit.h"
#include "fakeproducer.h"
#include "stream_testutil.h"
#include "streaming/rtp.h"
#include "streaming/subsessions.h"
#include "streams/stream_mode.h"

namespace {

struct Loop {
    BasicTaskScheduler *sched = BasicTaskScheduler::createNew(10000);
    UsageEnvironment *env = BasicUsageEnvironment::createNew(*sched);
    ~Loop()
    {
        env->reclaim();
        delete sched;
    }
};

// Saves the settings block and puts it back after the test.
struct SavedParams {
    ParamBlock saved = *rtsp_param_block();
    ~SavedParams() { *rtsp_param_block() = saved; }
    ParamBlock *p = rtsp_param_block();
};

void set_user(ParamBlock *p, int i, const char *name, uint32_t level, const char *pass)
{
    memset(&p->User[i], 0, sizeof p->User[i]);
    strncpy(p->User[i].Name, name, sizeof p->User[i].Name);
    strncpy(p->User[i].Password, pass, sizeof p->User[i].Password);
    p->User[i].Permission = level;
}

} // namespace

TEST(Rtp, UserDatabaseHoldsNamedUsersAboveLevelZero)
{
    SavedParams s;
    for (int i = 0; i < (int)PARAM_USER_COUNT; i++)
        set_user(s.p, i, "", 0, "");
    s.p->RTSP_DisableAuth = 0;
    EXPECT_EQ(rtsp_user_database_new(), nullptr) << "no users: no authentication";
    set_user(s.p, 2, "guest", 0, "x");
    EXPECT_EQ(rtsp_user_database_new(), nullptr) << "level 0 does not count";
    set_user(s.p, 9, "viewer", 1, "pass7");
    // A name that fills its slot has no terminating zero.
    set_user(s.p, 4, "abcdefghijklmnopqrst", 3, "secret");
    UserAuthenticationDatabase *db = rtsp_user_database_new();
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(db->numUsers(), 2u);
    EXPECT_STREQ(db->lookupPassword("viewer"), "pass7");
    EXPECT_STREQ(db->lookupPassword("abcdefghijklmnopqrst"), "secret");
    EXPECT_EQ(db->lookupPassword("guest"), nullptr);
    EXPECT_FALSE(db->passwordsAreMD5());
    delete db;
    s.p->RTSP_DisableAuth = 1;
    EXPECT_EQ(rtsp_user_database_new(), nullptr);
}

TEST(Rtp, SessionTableAndCustomSession)
{
    SavedParams s;
    Loop l;
    const char *names[] = {"streamA.h264",     "streamB.h264",     "streamC.aac", "streamC.pcm", "streamA.h264_aac", "streamB.h264_aac",
                           "streamA.h264_pcm", "streamB.h264_pcm", "streamA.ts",  "streamB.ts",  "vstreamA.ts",      "vstreamB.ts"};
    const unsigned tracks[] = {1, 1, 1, 1, 2, 2, 2, 2, 1, 1, 1, 1};
    struct Case {
        uint8_t mode;
        const char *name;
        bool present;
    } cases[] = {{1, "live", true}, {2, "live", true}, {1, "", false}, {3, "live", false}, {0, "live", false}};
    for (const Case &c : cases) {
        memset(s.p->RTSP_CustomStreamName, 0, sizeof s.p->RTSP_CustomStreamName);
        strcpy(s.p->RTSP_CustomStreamName, c.name);
        s.p->RTSP_CustomStreamMode = c.mode;
        RTSPServer *server = RTSPServer::createNew(*l.env, Port(0), nullptr, 65);
        ASSERT_NE(server, nullptr);
        rtsp_add_sessions(*l.env, server);
        for (size_t i = 0; i < sizeof names / sizeof names[0]; i++) {
            ServerMediaSession *sms = server->lookupServerMediaSession(names[i]);
            ASSERT_NE(sms, nullptr) << names[i];
            EXPECT_EQ(sms->numSubsessions(), tracks[i]) << names[i];
        }
        ServerMediaSession *custom = server->lookupServerMediaSession("live");
        EXPECT_EQ(custom != nullptr, c.present) << "mode " << (int)c.mode << " name '" << c.name << "'";
        Medium::close(server);
    }
}

TEST(Rtp, AacConfigText)
{
    char t[5];
    ASSERT_TRUE(aac_config_text(48000, 2, t));
    EXPECT_STREQ(t, "1190");
    ASSERT_TRUE(aac_config_text(44100, 1, t));
    EXPECT_STREQ(t, "1208");
    EXPECT_FALSE(aac_config_text(47000, 2, t));
}

TEST(Rtp, DescribeWithoutProducerEndsAfterTheProbeBound)
{
    TestQueue q(VIDEO_STREAM1, 65536, 16);
    Loop l;
    unsigned saved = H264VideoFrameServerMediaSubsession::probeTimeoutUs;
    H264VideoFrameServerMediaSubsession::probeTimeoutUs = 300000;
    ServerMediaSession *sms = ServerMediaSession::createNew(*l.env, "streamA.h264");
    sms->addSubsession(H264VideoFrameServerMediaSubsession::createNew(*l.env, VIDEO_STREAM1, StreamMode_H264_ES, true));
    std::string lines = sms->subsession(0)->sdpLines();
    EXPECT_NE(lines.find("H264/90000"), std::string::npos) << lines;
    EXPECT_EQ(lines.find("sprop-parameter-sets"), std::string::npos) << lines;
    EXPECT_EQ(stream_users_by_id(VIDEO_STREAM1), 0) << "the probe's source let go of the stream";
    Medium::close(sms);
    H264VideoFrameServerMediaSubsession::probeTimeoutUs = saved;
}

TEST(Rtp, DescribeEndsOnARebuildRequest)
{
    TestQueue q(VIDEO_STREAM1, 65536, 16);
    Loop l;
    ServerMediaSession *sms = ServerMediaSession::createNew(*l.env, "streamA.h264");
    sms->addSubsession(H264VideoFrameServerMediaSubsession::createNew(*l.env, VIDEO_STREAM1, StreamMode_H264_ES, true));
    // Without the request the probe would outlast the test's time limit.
    unsigned saved = H264VideoFrameServerMediaSubsession::probeTimeoutUs;
    H264VideoFrameServerMediaSubsession::probeTimeoutUs = 3600u * 1000000u;
    rtsp_control_set(RTSP_CONTROL_RESTART);
    std::string lines = sms->subsession(0)->sdpLines();
    EXPECT_EQ(lines.find("sprop-parameter-sets"), std::string::npos) << lines;
    global_quit.rtsp_control = RTSP_CONTROL_NONE;
    H264VideoFrameServerMediaSubsession::probeTimeoutUs = saved;
    Medium::close(sms);
}

TEST(Rtp, DescribeLearnsTheParameterSetsFromTheEncoder)
{
    FakeProducerOptions o;
    o.audio = false;
    FakeProducer *fp = fakeproducer_start(o);
    ASSERT_NE(fp, nullptr);
    {
        Loop l;
        ServerMediaSession *sms = ServerMediaSession::createNew(*l.env, "streamA.h264");
        sms->addSubsession(H264VideoFrameServerMediaSubsession::createNew(*l.env, VIDEO_STREAM1, StreamMode_H264_ES, true));
        std::string lines = sms->subsession(0)->sdpLines();
        EXPECT_NE(lines.find("packetization-mode=1"), std::string::npos) << lines;
        EXPECT_NE(lines.find("sprop-parameter-sets="), std::string::npos) << lines;
        Medium::close(sms);
    }
    fakeproducer_stop(fp);
}
