#include "streams/flv.h"

#include "testutil.h"
#include "ts_media.h"

#include <algorithm>
#include <cstring>
#include <gtest/gtest.h>
#include <string>

namespace {

using Bytes = std::vector<uint8_t>;

void add(Bytes &b, std::initializer_list<uint8_t> v) { b.insert(b.end(), v); }
void add_key(Bytes &b, const char *k)
{
    size_t n = strlen(k);
    add(b, {uint8_t(n >> 8), uint8_t(n)});
    b.insert(b.end(), k, k + n);
}
void add_num(Bytes &b, double d)
{
    uint64_t u;
    memcpy(&u, &d, 8);
    b.push_back(0);
    for (int i = 7; i >= 0; i--)
        b.push_back(uint8_t(u >> (i * 8)));
}

Bytes expected_header(uint8_t flags, double w, double h, double vrate, double fps, double vcodec, double arate,
                      double srate, double ssize, uint8_t stereo, double acodec)
{
    Bytes body;
    body.push_back(2);
    add_key(body, "onMetaData");
    add(body, {8, 0, 0, 0, 11});
    const char *keys[] = {"width", "height", "videodatarate", "framerate", "videocodecid", "audiodatarate",
                          "audiosamplerate", "audiosamplesize"};
    double vals[] = {w, h, vrate, fps, vcodec, arate, srate, ssize};
    for (int i = 0; i < 8; i++) {
        add_key(body, keys[i]);
        add_num(body, vals[i]);
    }
    add_key(body, "stereo");
    add(body, {1, stereo});
    add_key(body, "audiocodecid");
    add_num(body, acodec);
    add_key(body, "duration");
    add_num(body, -1.0);
    add(body, {0, 0, 9});
    Bytes out = {'F', 'L', 'V', 1, flags, 0, 0, 0, 9, 0, 0, 0, 0, 18};
    size_t n = body.size();
    add(out, {uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n), 0, 0, 0, 0, 0, 0, 0});
    out.insert(out.end(), body.begin(), body.end());
    uint32_t prev = uint32_t(11 + n);
    add(out, {uint8_t(prev >> 24), uint8_t(prev >> 16), uint8_t(prev >> 8), uint8_t(prev)});
    return out;
}

TEST(Flv, HeaderAndMetadataBytesWithAudio)
{
    FlvMuxer *m = flv_muxer_create();
    flv_muxer_configure(m, true);
    uint8_t buf[1024];
    int n = flv_write_header_metadata(m, buf, sizeof buf);
    Bytes want = expected_header(0x05, 640, 480, 2500000.0, 29.97, 7, 200.0, 48000.0, 16, 1, 10);
    ASSERT_EQ(n, int(want.size()));
    EXPECT_TRUE(Bytes(buf, buf + n) == want);
    EXPECT_EQ(m->audio_tag_header, 0xAF);
    flv_muxer_free(m);
}

TEST(Flv, HeaderWithoutAudioListsAllElevenProperties)
{
    FlvMuxer *m = flv_muxer_create();
    flv_muxer_configure(m, false);
    uint8_t buf[1024];
    int n = flv_write_header_metadata(m, buf, sizeof buf);
    Bytes want = expected_header(0x01, 640, 480, 2500000.0, 29.97, 7, 0, 0, 0, 0, 0);
    ASSERT_EQ(n, int(want.size()));
    EXPECT_TRUE(Bytes(buf, buf + n) == want);
    EXPECT_LT(flv_write_header_metadata(m, buf, want.size() - 1), 0);
    flv_muxer_free(m);
}

TEST(Flv, KeyframeWithSeiTurnsEveryStartCodeIntoALength)
{
    FlvMuxer *m = flv_muxer_create();
    flv_muxer_configure(m, false);
    const Bytes frame = {0, 0, 0, 1, 0x67, 0x64, 0x00, 0x28, 0xAC,   // SPS
                         0, 0, 0, 1, 0x68, 0xEE, 0x3C, 0x80,         // PPS
                         0, 0, 0, 1, 0x06, 0x05, 0x01, 0x80,         // SEI
                         0, 0, 1, 0x65, 0x88, 0x84, 0x00, 0x10};     // IDR after a 3-byte start code
    uint8_t buf[512];
    int n = flv_mux_video(m, buf, sizeof buf, frame.data(), frame.size(), 90 * 40, true);
    ASSERT_GT(n, 0);
    // Sequence header tag: AVC packet type 0, configuration record with the SPS and PPS.
    const Bytes rec = {1, 100, 0, 40, 0xFF, 0xE1, 0, 5, 0x67, 0x64, 0x00, 0x28, 0xAC, 1, 0, 4, 0x68, 0xEE, 0x3C, 0x80};
    ASSERT_EQ(buf[0], 9);
    EXPECT_EQ((buf[1] << 16) | (buf[2] << 8) | buf[3], int(5 + rec.size()));
    EXPECT_EQ(buf[11], 0x17);
    EXPECT_EQ(buf[12], 0);
    EXPECT_TRUE(Bytes(buf + 16, buf + 16 + rec.size()) == rec);
    size_t t = 11 + 5 + rec.size() + 4;
    // Media tag: keyframe, NAL units, every unit length-prefixed.
    const Bytes nals = {0, 0, 0, 4, 0x06, 0x05, 0x01, 0x80, 0, 0, 0, 5, 0x65, 0x88, 0x84, 0x00, 0x10};
    EXPECT_EQ(buf[t], 9);
    EXPECT_EQ(buf[t + 4] << 16 | buf[t + 5] << 8 | buf[t + 6], 40);
    EXPECT_EQ(buf[t + 11], 0x17);
    EXPECT_EQ(buf[t + 12], 1);
    EXPECT_TRUE(Bytes(buf + t + 16, buf + t + 16 + nals.size()) == nals)
        << testing::PrintToString(Bytes(buf + t + 16, buf + t + 16 + nals.size()));
    EXPECT_EQ(size_t(n), t + 11 + 5 + nals.size() + 4);
    uint32_t prev = (buf[n - 4] << 24) | (buf[n - 3] << 16) | (buf[n - 2] << 8) | buf[n - 1];
    EXPECT_EQ(prev, 11 + 5 + nals.size());

    // A frame whose lengths no longer fit is refused rather than written past the end.
    EXPECT_LT(flv_mux_video(m, buf, t + 20, frame.data(), frame.size(), 0, true), 0);
    flv_muxer_free(m);
}

TEST(Flv, TimestampTopByteGoesToTheExtension)
{
    FlvMuxer *m = flv_muxer_create();
    flv_muxer_configure(m, true);
    uint8_t hdr[512], buf[64];
    flv_write_header_metadata(m, hdr, sizeof hdr);
    const uint8_t p[] = {0, 0, 0, 1, 0x41, 0x9A};
    ASSERT_GT(flv_mux_video(m, buf, sizeof buf, p, sizeof p, 0x01234567u * 90u, false), 0);
    EXPECT_EQ(buf[4], 0x23);
    EXPECT_EQ(buf[5], 0x45);
    EXPECT_EQ(buf[6], 0x67);
    EXPECT_EQ(buf[7], 0x01);
    EXPECT_EQ(buf[11], 0x27);
    // Audio a little older than the first keyframe is stamped 0, not 2^32 / 90.
    const uint8_t adts[] = {0xFF, 0xF1, 0x4C, 0x80, 0x01, 0x3F, 0xFC, 0x21, 0x10};
    int n = flv_mux_audio(m, buf, sizeof buf, adts, sizeof adts, uint32_t(-500));
    ASSERT_EQ(n, 11 + 2 + 2 + 4);   // the ADTS header does not go into the tag
    EXPECT_EQ(buf[4] | buf[5] | buf[6] | buf[7], 0);
    EXPECT_EQ(buf[11], 0xAF);
    EXPECT_EQ(buf[12], 1);
    EXPECT_EQ(buf[13], 0x21);
    flv_muxer_free(m);
}

TEST(Flv, StreamFromRealMediaParsesAndDecodesInFfmpeg)
{
    std::string dir = test_board_path("flv");
    media_run("mkdir -p " + dir);
    TestMedia media;
    ASSERT_TRUE(media_generate(dir, &media, 2.0, 0xFFFF0000u, 500)) << "ffmpeg could not make the test media";

    FlvMuxer *m = flv_muxer_create();
    flv_muxer_configure(m, true);
    Bytes file, buf(0xd8000);
    int n = flv_mux_start(m, buf.data(), buf.size());
    ASSERT_GT(n, 0);
    file.insert(file.end(), buf.begin(), buf.begin() + n);
    Bytes want = expected_header(0x05, 640, 480, 2500000.0, 29.97, 7, 200.0, 48000.0, 16, 1, 10);
    EXPECT_TRUE(Bytes(file.begin(), file.begin() + want.size()) == want);

    uint32_t start = media.video[0].ts;
    size_t ai = 0, audio_fed = 0;
    for (auto &v : media.video) {
        n = flv_mux_video(m, buf.data(), buf.size(), v.data.data(), v.data.size(), v.ts - start, v.key);
        ASSERT_GT(n, 0);
        size_t pos = n;
        while (ai < media.aac.size() && int32_t(v.ts - media.aac[ai].ts) >= 0) {
            auto &a = media.aac[ai++];
            if (v.ts == start && int32_t(start - a.ts) > 1000)
                continue;
            n = flv_mux_audio(m, buf.data() + pos, buf.size() - pos, a.data.data(), a.data.size(), a.ts - start);
            ASSERT_GT(n, 0);
            pos += n;
            audio_fed++;
        }
        file.insert(file.end(), buf.begin(), buf.begin() + pos);
    }
    flv_muxer_free(m);
    std::string path = dir + "/out.flv";
    ASSERT_TRUE(media_write_file(path, file));

    FILE *f = popen(("ffprobe -v error -count_frames -show_entries stream=codec_name,nb_read_frames -of csv=p=0 " +
                     path + " 2>&1").c_str(), "r");
    ASSERT_NE(f, nullptr);
    char line[256];
    std::vector<std::string> got;
    while (fgets(line, sizeof line, f))
        got.emplace_back(line);
    pclose(f);
    std::sort(got.begin(), got.end());
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], "aac," + std::to_string(audio_fed) + "\n");
    EXPECT_EQ(got[1], "h264," + std::to_string(media.video.size()) + "\n");

    std::string errs;
    f = popen(("ffmpeg -nostdin -v error -i " + path + " -f null - 2>&1").c_str(), "r");
    ASSERT_NE(f, nullptr);
    while (fgets(line, sizeof line, f))
        errs += line;
    EXPECT_EQ(pclose(f), 0);
    EXPECT_EQ(errs, "");
}

} // namespace
