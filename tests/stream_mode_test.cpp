#include "streams/stream_mode.h"

#include "core/param.h"
#include "stream_testutil.h"
#include "streams/stream_mux.h"

#include <gtest/gtest.h>

TEST(StreamMode, BuildingFromTheClassificationGivesTheModeBack)
{
    for (int m = 0; m <= 20; m++) {
        if (m == StreamMode_G711)
            continue;   // no encoder: rebuilds as none
        EXPECT_EQ(stream_mode_build(stream_mode_video_codec(m), stream_mode_audio_type(m), stream_mode_mux_type(m)), m)
            << stream_mode_name(m);
    }
    EXPECT_EQ(stream_mode_build(4, 0, 0), StreamMode_None);
    EXPECT_EQ(stream_mode_build(VIDEO_CODEC_MPEG4, AUDIO_TYPE_AAC, STREAM_MUX_FLV), StreamMode_None);
}

namespace {

int other_after_override(int mode_a, int mode_b)
{
    ParamBlock p{};
    stream_mode_setting_set(&p, 0, mode_a);
    stream_mode_setting_set(&p, 1, mode_b);
    check_h264_mpeg4_conflict(&p, 0);
    EXPECT_EQ(p.Video[0].StreamMode, mode_a);
    return p.Video[1].StreamMode;
}

} // namespace

// The live rows, HLS and RTMP ask this one question before a consumer attaches.
TEST(StreamMode, AChannelServesTheRowsOfItsCodecAndAudioAlways)
{
    const int h264_rows[] = {StreamMode_H264_AAC_TS, StreamMode_H264_TS, StreamMode_H264_ES, StreamMode_H264_AAC_FLV};
    for (int row : h264_rows) {
        EXPECT_TRUE(stream_mode_serves(0, StreamMode_H264_MP4, row, nullptr, nullptr, 0)) << row;
        EXPECT_FALSE(stream_mode_serves(0, StreamMode_JPEG, row, nullptr, nullptr, 0)) << row;
        EXPECT_FALSE(stream_mode_serves(0, StreamMode_MPEG4_AAC_TS, row, nullptr, nullptr, 0)) << row;
    }
    EXPECT_TRUE(stream_mode_serves(0, StreamMode_JPEG, StreamMode_JPEG, nullptr, nullptr, 0));
    EXPECT_FALSE(stream_mode_serves(0, StreamMode_H264_AAC_FLV, StreamMode_JPEG, nullptr, nullptr, 0));
    EXPECT_TRUE(stream_mode_serves(0, StreamMode_JPEG, StreamMode_Audio_AAC, nullptr, nullptr, 0));
    EXPECT_FALSE(stream_mode_serves(0, StreamMode_None, StreamMode_H264_AAC_FLV, nullptr, nullptr, 0));

    char why[96] = "untouched";
    EXPECT_TRUE(stream_mode_serves(1, StreamMode_H264_ES, StreamMode_H264_AAC_FLV, "RTMP", why, sizeof why));
    EXPECT_STREQ(why, "untouched");
    EXPECT_FALSE(stream_mode_serves(1, StreamMode_JPEG, StreamMode_H264_AAC_FLV, "RTMP", why, sizeof why));
    EXPECT_STREQ(why, "channel B is set to MJPEG VES; RTMP carries H.264");
    EXPECT_FALSE(stream_mode_serves(0, StreamMode_H264_ES, StreamMode_JPEG, nullptr, why, sizeof why));
    EXPECT_STREQ(why, "channel A is set to H.264 VES; this stream carries JPEG pictures");
    EXPECT_FALSE(stream_mode_serves(0, StreamMode_None, StreamMode_H264_TS, "HLS", why, sizeof why));
    EXPECT_STREQ(why, "channel A is set to no stream; HLS carries H.264");
}

TEST(StreamMode, ConflictMovesTheOtherChannelToThisChannelsCodec)
{
    EXPECT_EQ(other_after_override(StreamMode_MPEG4_TS, StreamMode_H264_AAC_MP4), StreamMode_MPEG4_AAC_MP4);
    EXPECT_EQ(other_after_override(StreamMode_H264_ES, StreamMode_MPEG4_PCM_TS), StreamMode_H264_PCM_TS);
    EXPECT_EQ(other_after_override(StreamMode_MPEG4_ES, StreamMode_H264_AAC_FLV), StreamMode_None);
    // Same family, or no video on one side: left alone.
    EXPECT_EQ(other_after_override(StreamMode_H264_TS, StreamMode_H264_AAC_FLV), StreamMode_H264_AAC_FLV);
    EXPECT_EQ(other_after_override(StreamMode_MPEG4_TS, StreamMode_Audio_AAC), StreamMode_Audio_AAC);
    EXPECT_EQ(other_after_override(StreamMode_JPEG, StreamMode_MPEG4_TS), StreamMode_MPEG4_TS);
}

TEST(StreamMode, OverrideRestartsTheOtherChannelsRunningProducer)
{
    TestQueue b(VIDEO_STREAM2, 4096, 16);
    stream_use(VIDEO_STREAM2);   // a consumer keeps channel 1 running
    ASSERT_EQ(stream_wait_start(&b.rs), 1);
    ParamBlock p{};
    stream_mode_setting_set(&p, 0, StreamMode_MPEG4_TS);
    stream_mode_setting_set(&p, 1, StreamMode_H264_TS);
    check_h264_mpeg4_conflict(&p, 0);
    EXPECT_EQ(p.Video[1].StreamMode, StreamMode_MPEG4_TS);
    EXPECT_NE(stream_stop_pending(&b.rs), 0);         // leaves its loop now...
    EXPECT_EQ(stream_wait_start(&b.rs), 1);           // ...and starts again with the new mode
    stream_release(&b.q);
}
