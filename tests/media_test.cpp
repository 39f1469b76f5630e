// Media graph, input standard and resizer configuration against the simulated board.
#include "core/log.h"
#include "platform/capture_sim.h"
#include "platform/platform.h"
#include "platform/v4l2.h"
#include "testutil.h"
#include "video/media.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

std::vector<media_link_desc> links_of(int fd, const media_entity_desc &e)
{
    std::vector<media_link_desc> links(e.links);
    std::vector<media_pad_desc> pads(e.pads);
    media_links_enum le = {};
    le.entity = e.id;
    le.links = links.data();
    le.pads = pads.data();
    EXPECT_EQ(platform_v4l2_ioctl(fd, MEDIA_IOC_ENUM_LINKS, &le), 0);
    return links;
}

// Enabled links into the named entity, as "source:pad".
std::vector<std::string> enabled_into(const char *name)
{
    int fd = platform_v4l2_open("/dev/media0", O_RDWR);
    std::vector<media_entity_desc> all;
    media_entity_desc e = {};
    e.id = MEDIA_ENT_ID_FLAG_NEXT;
    while (platform_v4l2_ioctl(fd, MEDIA_IOC_ENUM_ENTITIES, &e) == 0) {
        all.push_back(e);
        e.id |= MEDIA_ENT_ID_FLAG_NEXT;
    }
    uint32_t target = 0;
    for (const media_entity_desc &x : all)
        if (std::string(x.name) == name)
            target = x.id;
    std::vector<std::string> out;
    for (const media_entity_desc &x : all)
        for (const media_link_desc &l : links_of(fd, x))
            if (l.sink.entity == target && (l.flags & MEDIA_LNK_FL_ENABLED))
                out.push_back(std::string(x.name) + ":" + std::to_string(l.source.index));
    platform_v4l2_close(fd);
    return out;
}

struct MediaTest : ::testing::Test {
    void SetUp() override
    {
        platform_init();
        log_init();
    }
    void TearDown() override
    {
        for (MediaNode *n : {&media_capture, &media_ccdc, &media_decoder, &media_rsz_a, &media_rsz_b,
                             &media_resizer, &media_rsz_input})
            media_node_close(n);
    }
};

} // namespace

TEST_F(MediaTest, ChainSetupTakesOverPadsFromThePreviewer)
{
    ASSERT_EQ(enabled_into("DAVINCI RESIZER"), std::vector<std::string>{"DAVINCI PREVIEWER:1"});
    ASSERT_EQ(media_setup_chain(&media_capture), 0);
    ASSERT_EQ(media_setup_chain(&media_rsz_a), 0);
    ASSERT_EQ(media_setup_chain(&media_rsz_b), 0);
    EXPECT_EQ(enabled_into("DAVINCI RESIZER"), std::vector<std::string>{"DAVINCI VIDEO RSZ input:0"});
    EXPECT_EQ(enabled_into("DAVINCI PREVIEWER"), std::vector<std::string>{});
    EXPECT_EQ(enabled_into("DAVINCI VIDEO CCDC output"), std::vector<std::string>{"DAVINCI CCDC:1"});
    EXPECT_EQ(enabled_into("DAVINCI VIDEO RSZB output"), std::vector<std::string>{"DAVINCI RESIZER:2"});
    EXPECT_EQ(media_rsz_b.sourcePad, 2);
    EXPECT_STREQ(media_capture.devpath, "/dev/video0");
    EXPECT_GE(media_capture.fd, 0);
    EXPECT_GE(media_decoder.fd, 0);
    // A second pass over the same graph converges and keeps the handles.
    int fd = media_capture.fd;
    EXPECT_EQ(media_setup_chain(&media_capture), 0);
    EXPECT_EQ(media_capture.fd, fd);
    EXPECT_EQ(enabled_into("DAVINCI CCDC"), std::vector<std::string>{"tvp5150:0"});
}

TEST_F(MediaTest, StandardDetectionNormalisesWholeLineSets)
{
    ASSERT_EQ(media_setup_chain(&media_capture), 0);
    v4l2_std_id s = V4L2_STD_525_60;
    ASSERT_EQ(video_input_setup(media_capture.fd, 0, &s), 0);
    EXPECT_EQ(s, V4L2_STD_NTSC);
    s = V4L2_STD_625_50;
    ASSERT_EQ(video_input_setup(media_capture.fd, 0, &s), 0);
    EXPECT_EQ(s, V4L2_STD_PAL);
    s = V4L2_STD_PAL_M;
    ASSERT_EQ(video_input_setup(media_capture.fd, 0, &s), 0);
    EXPECT_EQ(s, V4L2_STD_PAL_M) << "a single standard is set unchanged";
    ASSERT_EQ(platform_capture_set_input("pal"), 0);
    s = 0;
    ASSERT_EQ(video_input_setup(media_capture.fd, 0, &s), 0);
    EXPECT_EQ(s, V4L2_STD_PAL) << "0 asks the decoder";
}

TEST_F(MediaTest, InterlacedPalRecordReadsEveryOtherLine)
{
    ASSERT_EQ(media_setup_chain(&media_rsz_a), 0);
    ResizeInputSpec in = {720, 576, V4L2_PIX_FMT_UYVY, V4L2_FIELD_NONE, 1440};
    ResizeOutputSpec a = {352, 288, V4L2_PIX_FMT_NV12, V4L2_FIELD_NONE, 352};
    ASSERT_EQ(rsz_setup(media_resizer.fd, &in, &a, nullptr, 3, 0, 1), 0);
    rsz_single_shot_config cfg = {};
    rsz_channel_config req = {0, 0, sizeof cfg, &cfg};
    ASSERT_EQ(platform_v4l2_ioctl(media_resizer.fd, RSZ_G_CONFIG, &req), 0);
    EXPECT_EQ(cfg.image_width, 720u);
    EXPECT_EQ(cfg.image_height, 288u);
    EXPECT_EQ(cfg.line_pitch, 2880u);
    EXPECT_EQ(cfg.ppln, 728u);
    EXPECT_EQ(cfg.lpfr, 586u);
    EXPECT_EQ(cfg.clk_div_n, 1);
    EXPECT_EQ(cfg.clk_div_m, 17);
    EXPECT_EQ(cfg.pix_fmt, (uint32_t)RSZ_PIX_FMT_UYVY);
    EXPECT_EQ(cfg.output1.enable, 1);
    EXPECT_EQ(cfg.output1.pix_fmt, RSZ_PIX_FMT_NV12);
    EXPECT_EQ(cfg.output1.h_flip, 1);
    EXPECT_EQ(cfg.output1.v_flip, 1);
    EXPECT_EQ(cfg.output1.line_length, 352u);
    EXPECT_EQ(cfg.output2.enable, 0);
    EXPECT_EQ(cfg.driver_private[0], 0x5a5a5a5au) << "driver fields pass through";
}

TEST_F(MediaTest, WideSecondOutputWarnsAndIsStillConfigured)
{
    ASSERT_EQ(media_setup_chain(&media_rsz_b), 0);
    uint32_t mark = log_ring_head();
    ResizeInputSpec in = {720, 480, V4L2_PIX_FMT_UYVY, V4L2_FIELD_NONE, 1440};
    ResizeOutputSpec b = {1280, 480, V4L2_PIX_FMT_UYVY, V4L2_FIELD_NONE, 2560};
    ASSERT_EQ(rsz_setup(media_resizer.fd, &in, nullptr, &b, 0, 4, 0), 0);
    std::string log(LOG_RING_SIZE, '\0');
    log.resize(log_ring_read(mark, log.data(), LOG_RING_SIZE));
    EXPECT_NE(log.find("WARNING: resize output2 width 1280 > max 544 (downscale=1)"), std::string::npos) << log;
    rsz_single_shot_config cfg = {};
    rsz_channel_config req = {0, 0, sizeof cfg, &cfg};
    ASSERT_EQ(platform_v4l2_ioctl(media_resizer.fd, RSZ_G_CONFIG, &req), 0);
    EXPECT_EQ(cfg.output2.enable, 1);
    EXPECT_EQ(cfg.output2.width, 1280u);
    EXPECT_EQ(cfg.output2.en_down_scale, 1);
    EXPECT_EQ(cfg.clk_div_m, 12) << "345600 input pixels";
}

TEST_F(MediaTest, FormatSetupUsesTheDriversLineAndSize)
{
    ASSERT_EQ(media_setup_chain(&media_rsz_a), 0);
    ASSERT_EQ(format_setup(&media_rsz_a, 720, 480, V4L2_PIX_FMT_NV12, 0, V4L2_FIELD_NONE), 0);
    EXPECT_EQ(media_rsz_a.fmt.fmt.pix.bytesperline, 736u);
    EXPECT_EQ(media_rsz_a.bufSize, 736u * 480 * 3 / 2);
    EXPECT_EQ(buffer_setup(&media_rsz_a, nullptr, 1), 0);
    EXPECT_EQ(media_rsz_a.bufCount, 1u);
}

TEST_F(MediaTest, CaptureRefusesToStreamWithMismatchedPads)
{
    ASSERT_EQ(platform_capture_set_input("ntsc"), 0);
    ASSERT_EQ(media_setup_chain(&media_capture), 0);
    v4l2_std_id s = V4L2_STD_NTSC;
    ASSERT_EQ(video_input_setup(media_capture.fd, 0, &s), 0);
    v4l2_mbus_framefmt f = {};
    f.width = 720;
    f.height = 576;   // not what an NTSC decoder gives
    f.code = MBUS_YUYV8_2X8;
    ASSERT_EQ(subdev_set_pad_formats(&media_ccdc, &f, &f), 0);
    ASSERT_EQ(subdev_set_pad_formats(&media_capture, nullptr, &f), 0);
    ASSERT_EQ(format_setup(&media_capture, 720, 576, V4L2_PIX_FMT_UYVY, 0, V4L2_FIELD_NONE), 0);
    ASSERT_EQ(buffer_setup(&media_capture, nullptr, 3), 0);
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    EXPECT_LT(platform_v4l2_ioctl(media_capture.fd, VIDIOC_STREAMON, &type), 0);
    EXPECT_EQ(errno, EPIPE);
}
