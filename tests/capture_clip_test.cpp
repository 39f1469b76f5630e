// The clip that stands in for the camera: its pictures in order, scaled into the capture
// buffer's geometry, and again from the start after the last one.
#include "platform/capture_sim.h"
#include "testutil.h"

#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

const int CLIP_PICTURES = 10;

// A lossless clip, so that the same source picture always decodes to the same bytes.
std::string make_clip()
{
    mkdir(test_board_dir().c_str(), 0755);
    std::string path = test_board_path("clip.nut");
    int status = -1;
    test_run("ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=320x240:rate=25 -frames:v " +
                 std::to_string(CLIP_PICTURES) + " -c:v ffv1 " + path,
             &status);
    EXPECT_EQ(status, 0) << "ffmpeg could not make the clip";
    return path;
}

TEST(CaptureClip, LoopsItsPicturesScaledIntoTheBuffer)
{
    std::string path = make_clip();
    CaptureClip *clip = capture_clip_open(path.c_str());
    ASSERT_NE(clip, nullptr);
    const int w = 720, h = 480, line = 2 * w + 64;   // a line longer than the picture
    std::vector<std::vector<uint8_t>> pics;
    for (int i = 0; i < 2 * CLIP_PICTURES + 3; i++) {
        std::vector<uint8_t> pic((size_t)line * h, 0x5a);
        ASSERT_EQ(capture_clip_draw(clip, pic.data(), w, h, line), 0) << "picture " << i;
        pics.push_back(std::move(pic));
    }
    capture_clip_close(clip);
    for (int i = 0; i + 1 < CLIP_PICTURES; i++)
        EXPECT_NE(pics[i], pics[i + 1]) << "pictures " << i << " and " << i + 1 << " are the same";
    for (int i = CLIP_PICTURES; i < (int)pics.size(); i++)
        EXPECT_EQ(pics[i], pics[i - CLIP_PICTURES]) << "the loop does not restart at picture " << i;
    // Whole width filled, the bytes past it untouched, and not one flat colour.
    const std::vector<uint8_t> &p = pics[0];
    EXPECT_NE(p[(size_t)(h - 1) * line + 2 * w - 1], 0x5a);
    EXPECT_EQ(p[(size_t)(h - 1) * line + 2 * w], 0x5a);
    EXPECT_NE(p[(size_t)line * h / 2 + 1], p[(size_t)line * h / 2 + 2 * w / 3 + 1]);
}

TEST(CaptureClip, RefusesFilesWithoutVideo)
{
    mkdir(test_board_dir().c_str(), 0755);
    EXPECT_EQ(capture_clip_open(test_board_path("no-such-clip.mp4").c_str()), nullptr);
    std::string text = test_board_path("clip.txt");
    FILE *f = fopen(text.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fputs("not a clip\n", f);
    fclose(f);
    EXPECT_EQ(capture_clip_open(text.c_str()), nullptr);
}

} // namespace
