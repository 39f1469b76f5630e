// The sizes the settings accept for a video channel against the sizes the encoders take: a size
// stored that the encoder refuses would stop the channel at every start.
#include "core/param.h"
#include "core/param_table.h"
#include "platform/codec.h"
#include "testutil.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>

namespace {

// An H.264 and an MPEG-4 encoder set up as the encoder threads set them up (maximum 800x600).
struct Encoders {
    Engine_Handle engine = Engine_open("encode", nullptr, nullptr);
    IH264VENC_Params hp{};
    IMPEG4VENC_Params mp{};
    VIDENC1_Handle h264 = nullptr, mpeg4 = nullptr;
    Encoders()
    {
        for (VIDENC1_Params *p : {&hp.videncParams, &mp.videncParams}) {
            p->encodingPreset = 3;
            p->rateControlPreset = IVIDEO_USER_DEFINED;
            p->maxHeight = 600;
            p->maxWidth = 800;
            p->maxFrameRate = 60000;
            p->maxBitRate = 50000000;
            p->dataEndianness = XDM_BYTE;
            p->maxInterFrameInterval = 1;
            p->inputChromaFormat = XDM_YUV_420SP;
            p->reconChromaFormat = XDM_YUV_420SP;
        }
        hp.videncParams.size = sizeof hp;
        hp.profileIdc = 100;
        hp.levelIdc = 40;
        hp.entropyMode = 1;
        hp.encQuality = 3;
        hp.outputDataMode = 1;
        hp.sliceFormat = 1;
        mp.videncParams.size = sizeof mp;
        h264 = VIDENC1_create(engine, "h264enc", &hp.videncParams);
        mpeg4 = VIDENC1_create(engine, "mpeg4enc", &mp.videncParams);
    }
    ~Encoders()
    {
        VIDENC1_delete(h264);
        VIDENC1_delete(mpeg4);
        Engine_close(engine);
    }
    // Whether both encoders take the size, as the encoder thread hands it over.
    bool take(int w, int h)
    {
        bool ok = true;
        for (VIDENC1_Handle e : {h264, mpeg4}) {
            VIDENC1_DynamicParams d{};
            d.size = sizeof d;
            d.inputWidth = w;
            d.inputHeight = h;
            d.refFrameRate = d.targetFrameRate = 25000;
            d.targetBitRate = 2000000;
            d.intraFrameInterval = 30;
            d.captureWidth = (w + 31) & ~31;
            d.forceFrame = -1;
            d.interFrameInterval = 1;
            VIDENC1_Status st{};
            st.size = sizeof st;
            ok = ok && VIDENC1_control(e, XDM_SETPARAMS, &d, &st) == XDM_EOK;
        }
        return ok;
    }
};

} // namespace

TEST(VideoSize, EverySizeTheSettingsAcceptTheEncodersTake)
{
    test_board_dir();
    memcpy(&param_block, &param_defaults, sizeof param_block);
    Encoders enc;
    ASSERT_NE(enc.h264, nullptr);
    ASSERT_NE(enc.mpeg4, nullptr);
    int accepted = 0;
    for (int w = 1; w <= 1000; w++) {
        std::string v = std::to_string(w);
        bool set = param_set_text("Video[0].Width", v.c_str()) == nullptr;
        accepted += set;
        if (set) {
            EXPECT_TRUE(enc.take(w, 480)) << "width " << w;
        } else if (w >= 160) {
            EXPECT_FALSE(enc.take(w, 480)) << "width " << w << " refused though the encoders take it";
        }
    }
    EXPECT_EQ(accepted, (800 - 160) / 2 + 1);
    for (int h = 1; h <= 800; h++) {
        std::string v = "640x" + std::to_string(h);
        bool set = param_set_text("Video[1].Resolution", v.c_str()) == nullptr;
        if (set) {
            EXPECT_TRUE(enc.take(640, h)) << "height " << h;
        } else if (h >= 120) {
            EXPECT_FALSE(enc.take(640, h)) << "height " << h << " refused though the encoders take it";
        }
    }
}
