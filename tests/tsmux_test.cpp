#include "streams/tsmux.h"

#include "core/crc32.h"
#include "testutil.h"
#include "ts_media.h"

#include <gtest/gtest.h>
#include <algorithm>
#include <sstream>

namespace {

struct Pkt {
    const uint8_t *p;
    uint16_t pid() const { return ((p[1] & 0x1F) << 8) | p[2]; }
    bool start() const { return p[1] & 0x40; }
    int afc() const { return (p[3] >> 4) & 3; }
    int cc() const { return p[3] & 0x0F; }
    const uint8_t *payload() const { return afc() & 2 ? p + 5 + p[4] : p + 4; }
    bool has_pcr() const { return (afc() & 2) && p[4] > 0 && (p[5] & 0x10); }
};

std::vector<Pkt> packets(const uint8_t *b, size_t n)
{
    std::vector<Pkt> v;
    for (size_t i = 0; i + 188 <= n; i += 188)
        v.push_back({b + i});
    return v;
}

struct TsOut {
    std::vector<uint8_t> bytes;
    uint32_t start = 0;
    size_t video_units = 0;
};

// The consumer's dequeue loop: a video frame, then the audio up to its time.
TsOut mux_all(TsContext *ctx, const TestMedia &m, const std::vector<MediaFrame> *audio)
{
    TsOut out;
    std::vector<uint8_t> buf(0xd8000);
    size_t ai = 0;
    bool started = false;
    for (const MediaFrame &v : m.video) {
        if (!started) {
            if (!v.key)
                continue;
            started = true;
            out.start = v.ts;
        }
        int n = tsmux_write_video(ctx, buf.data(), buf.size(), v.data.data(), v.data.size(), v.ts - out.start, v.key);
        EXPECT_GT(n, 0);
        size_t pos = n > 0 ? size_t(n) : 0;
        out.video_units++;
        while (audio && ai < audio->size() && int32_t(v.ts - (*audio)[ai].ts) >= 0) {
            const MediaFrame &a = (*audio)[ai++];
            if (v.ts == out.start && int32_t(out.start - a.ts) > 1000)
                continue;
            int k = tsmux_write_audio(ctx, buf.data() + pos, buf.size() - pos, a.data.data(), a.data.size(),
                                      a.ts - out.start);
            EXPECT_GE(k, 0);
            pos += k > 0 ? size_t(k) : 0;
        }
        out.bytes.insert(out.bytes.end(), buf.begin(), buf.begin() + pos);
    }
    return out;
}

std::string run_capture(const std::string &cmd)
{
    std::string out;
    FILE *f = popen(cmd.c_str(), "r");
    if (!f)
        return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        out.append(buf, n);
    pclose(f);
    return out;
}

// Non-empty lines; ffprobe lists each stream again under its program, so repeats are dropped.
std::vector<std::string> lines(const std::string &s, bool unique = false)
{
    std::vector<std::string> v;
    std::istringstream in(s);
    std::string l;
    while (std::getline(in, l))
        if (!l.empty() && !(unique && std::find(v.begin(), v.end(), l) != v.end()))
            v.push_back(l);
    return v;
}

uint64_t pts_of(const uint8_t *t)
{
    return (uint64_t((t[0] >> 1) & 7) << 30) | (uint32_t(t[1]) << 22) | (uint32_t(t[2] >> 1) << 15) |
           (uint32_t(t[3]) << 7) | (t[4] >> 1);
}

TsContext *make(int audio)
{
    TsContext *ctx = tsmux_new();
    tsmux_configure(ctx, TS_TYPE_H264, audio);
    return ctx;
}

const uint8_t idr[] = {0, 0, 0, 1, 0x67, 0x64, 0, 40, 0, 0, 0, 1, 0x68, 0xEE, 0, 0, 0, 1, 0x65, 0x88, 0x84};

TEST(TsMux, PatPmtOnFirstUnitThenOnlyAfter100ms)
{
    TsContext *ctx = make(TSMUX_AUDIO_AAC);
    uint8_t buf[4096];
    int n = tsmux_write_video(ctx, buf, sizeof buf, idr, sizeof idr, 0, true);
    ASSERT_EQ(n, 4 * 188);   // PAT, PMT, PCR, one PES packet
    auto pk = packets(buf, n);
    EXPECT_EQ(pk[0].pid(), 0);
    EXPECT_EQ(pk[1].pid(), TS_PMT_PID);
    EXPECT_EQ(pk[2].pid(), TS_PCR_PID);
    EXPECT_EQ(pk[3].pid(), TS_VIDEO_PID);

    EXPECT_EQ(tsmux_write_video(ctx, buf, sizeof buf, idr, sizeof idr, 9000, false), 2 * 188);   // exactly 100 ms: no PSI
    EXPECT_EQ(tsmux_write_video(ctx, buf, sizeof buf, idr, sizeof idr, 9001, false), 4 * 188);
    EXPECT_EQ(packets(buf, 188)[0].cc(), 1);   // second PAT
    tsmux_free(ctx);
}

TEST(TsMux, PatAndPmtSectionsAreWellFormed)
{
    TsContext *ctx = make(TSMUX_AUDIO_PCM);
    uint8_t buf[4096];
    ASSERT_GT(tsmux_write_video(ctx, buf, sizeof buf, idr, sizeof idr, 0, true), 0);
    const uint8_t pat[] = {0x47, 0x40, 0x00, 0x10, 0x00, 0x00, 0xB0, 17,   0x00, 0x00, 0xC1, 0x00,
                           0x00, 0x00, 0x01, 0xE1, 0x00, 0x00, 0x00, 0xE0, 0x1F};
    EXPECT_EQ(0, memcmp(buf, pat, sizeof pat));
    EXPECT_EQ(crc32_mpeg2(buf + 5, 16 + 4), 0u);   // a section with its CRC checks to zero
    EXPECT_EQ(buf[25], 0xFF);

    const uint8_t *pmt = buf + 188;
    size_t sl = ((pmt[6] & 0x0F) << 8) | pmt[7];
    EXPECT_EQ(crc32_mpeg2(pmt + 5, 3 + sl), 0u);
    std::string body(reinterpret_cast<const char *>(pmt + 5), 3 + sl);
    EXPECT_NE(body.find("\x05\x04HDMV"), std::string::npos);
    EXPECT_NE(body.find(std::string("\x1B\xF0\x11\xF0\x14\x05\x08HDMV\xFF\x1B\x44\x3F\x28\x04\x64\x00\x28\x3F\x2A\x02\x7E\xFF", 25)),
              std::string::npos);
    EXPECT_NE(body.find(std::string("\x06\xE1\x01\xF0\x0C\x05\x04" "BSSD\x0A\x04und\x00", 17)), std::string::npos);
    EXPECT_EQ(((pmt[13] & 0x1F) << 8) | pmt[14], TS_PCR_PID);
    tsmux_free(ctx);
}

TEST(TsMux, StuffedPacketsSignalAdaptationAndPayload)
{
    TsContext *ctx = make(TSMUX_AUDIO_AAC);
    uint8_t buf[4096];
    std::vector<uint8_t> data(400, 0xAB);
    int n = tsmux_write_audio(ctx, buf, sizeof buf, data.data(), data.size(), 100);
    ASSERT_GT(n, 0);
    auto pk = packets(buf, n);
    // PAT, PMT (audio brings no PCR), then the PES: 14 header bytes + 400 = 184 + 184 + 46
    ASSERT_EQ(pk.size(), 5u);
    EXPECT_EQ(pk[2].afc(), 1);
    EXPECT_EQ(pk[3].afc(), 1);
    EXPECT_EQ(pk[4].afc(), 3);
    EXPECT_EQ(pk[4].p[4], 183 - 46);
    EXPECT_EQ(pk[4].p[5], 0);

    // 183 bytes of PES: a one-byte adaptation field of length 0; 184: none.
    std::vector<uint8_t> d183(183 - 14, 1), d184(184 - 14, 1);
    n = tsmux_write_audio(ctx, buf, sizeof buf, d183.data(), d183.size(), 200);
    ASSERT_EQ(n, 188);
    EXPECT_EQ(packets(buf, n)[0].afc(), 3);
    EXPECT_EQ(buf[4], 0);
    EXPECT_EQ(buf[5], 0);   // PES start right after
    n = tsmux_write_audio(ctx, buf, sizeof buf, d184.data(), d184.size(), 300);
    ASSERT_EQ(n, 188);
    EXPECT_EQ(packets(buf, n)[0].afc(), 1);
    tsmux_free(ctx);
}

TEST(TsMux, PesHeadersCarryStreamIdsLengthsAndAud)
{
    TsContext *ctx = make(TSMUX_AUDIO_AAC);
    std::vector<uint8_t> buf(200000);
    uint8_t adts[64] = {0xFF, 0xF1};
    int n = tsmux_write_audio(ctx, buf.data(), buf.size(), adts, sizeof adts, 0);
    auto pk = packets(buf.data(), n);
    const uint8_t *pes = pk.back().payload();
    EXPECT_EQ(pes[3], 0xC0);   // MPEG audio stream id for AAC
    EXPECT_EQ((pes[4] << 8) | pes[5], 3 + 5 + 64);

    // A P slice gets an AUD with primary_pic_type 1; PES longer than 65535 has length 0.
    std::vector<uint8_t> big(70000, 0x11);
    big[0] = big[1] = big[2] = 0;
    big[3] = 1;
    big[4] = 0x41;
    n = tsmux_write_video(ctx, buf.data(), buf.size(), big.data(), big.size(), 3003, false);
    ASSERT_GT(n, 0);
    for (auto &p : packets(buf.data(), n))
        if (p.pid() == TS_VIDEO_PID && p.start()) {
            const uint8_t *v = p.payload();
            EXPECT_EQ(v[3], 0xE0);
            EXPECT_EQ(v[4], 0);
            EXPECT_EQ(v[5], 0);
            EXPECT_EQ(0, memcmp(v + 14, "\x00\x00\x00\x01\x09\x30\x00\x00\x00\x01\x41", 11));
            EXPECT_FALSE(p.p[1] & 0x20);   // not a keyframe: no transport priority
        }
    tsmux_free(ctx);
}

TEST(TsMux, OnePcrPerVideoFrameAndNoneForAudio)
{
    TsContext *ctx = make(TSMUX_AUDIO_AAC);
    uint8_t buf[8192], adts[100] = {0xFF, 0xF1};
    int pcrs = 0;
    for (int i = 0; i < 30; i++) {
        int n = tsmux_write_video(ctx, buf, sizeof buf, idr, sizeof idr, i * 3003, i == 0);
        for (auto &p : packets(buf, n))
            if (p.has_pcr()) {
                pcrs++;
                EXPECT_EQ(p.pid(), TS_PCR_PID);
                uint64_t base = (uint64_t(p.p[6]) << 25) | (p.p[7] << 17) | (p.p[8] << 9) | (p.p[9] << 1) | (p.p[10] >> 7);
                EXPECT_EQ(base, uint64_t(i * 3003 + 900));
            }
        n = tsmux_write_audio(ctx, buf, sizeof buf, adts, sizeof adts, i * 3003 + 10);
        for (auto &p : packets(buf, n))
            EXPECT_FALSE(p.has_pcr());
    }
    EXPECT_EQ(pcrs, 30);
    tsmux_free(ctx);
}

TEST(TsMux, PtsWrapSetsBit32AndNextWrapClearsIt)
{
    TsContext *ctx = make(TSMUX_AUDIO_AAC);
    uint8_t buf[4096];
    auto pts_written = [&](uint32_t pts) {
        int n = tsmux_write_video(ctx, buf, sizeof buf, idr, sizeof idr, pts, false);
        for (auto &p : packets(buf, n))
            if (p.pid() == TS_VIDEO_PID && p.start())
                return pts_of(p.payload() + 9);
        return uint64_t(~0ull);
    };
    EXPECT_EQ(pts_written(0), 0ull);
    EXPECT_EQ(pts_written(0x70000000u), 0x70000000ull);
    EXPECT_EQ(pts_written(0xE0000000u), 0xE0000000ull);
    EXPECT_EQ(pts_written(0x00000100u), 0x100000100ull);
    EXPECT_EQ(pts_written(0x70000000u), 0x170000000ull);
    EXPECT_EQ(pts_written(0xE0000000u), 0x1E0000000ull);
    EXPECT_EQ(pts_written(0x00000200u), 0x000000200ull);
    tsmux_free(ctx);
}

TEST(TsMux, AudioJustBeforeTheFirstKeyframeDoesNotBlockLaterAudio)
{
    TsContext *ctx = make(TSMUX_AUDIO_AAC);
    uint8_t buf[4096], adts[50] = {0xFF, 0xF1};
    auto audio_pts = [&](uint32_t pts) {
        int n = tsmux_write_audio(ctx, buf, sizeof buf, adts, sizeof adts, pts);
        for (auto &p : packets(buf, n > 0 ? n : 0))
            if (p.pid() == TS_AAC_PID && p.start())
                return int64_t(pts_of(p.payload() + 9));
        return int64_t(-1);
    };
    EXPECT_EQ(audio_pts(uint32_t(-500)), (int64_t(1) << 33) - 500);   // 33-bit modular, just before 0
    EXPECT_EQ(audio_pts(1420), 1420);
    EXPECT_EQ(audio_pts(1420), -1);   // not after the last one: skipped
    EXPECT_EQ(audio_pts(3340), 3340);
    tsmux_free(ctx);
}

TEST(TsMux, RefusesOutputThatDoesNotFitAndWritesNothing)
{
    TsContext *ctx = make(TSMUX_AUDIO_PCM);
    std::vector<uint8_t> pcm(4096, 0x55);
    std::vector<uint8_t> buf(8 * 188 + 16, 0xEE);
    EXPECT_LT(tsmux_write_audio(ctx, buf.data(), 8 * 188, pcm.data(), pcm.size(), 0), 0);
    for (uint8_t b : buf)
        ASSERT_EQ(b, 0xEE);
    EXPECT_EQ(tsmux_write(ctx, TS_PCM_PID, nullptr, 100, pcm.data(), 10), 0);
    // The refused unit left no trace: the next one starts with PAT/PMT and counter 0.
    std::vector<uint8_t> big(tsmux_max_output(pcm.size()));
    int n = tsmux_write_audio(ctx, big.data(), big.size(), pcm.data(), pcm.size(), 0);
    ASSERT_GT(n, 0);
    EXPECT_EQ(packets(big.data(), n)[0].pid(), 0);
    EXPECT_EQ(packets(big.data(), n)[0].cc(), 0);
    EXPECT_EQ(packets(big.data(), n)[2].pid(), TS_PCM_PID);
    EXPECT_EQ(packets(big.data(), n)[2].cc(), 0);
    tsmux_free(ctx);
}

TEST(TsMux, S302mFramesCarryAes3HeaderAndFramingBit)
{
    TsContext *ctx = make(TSMUX_AUDIO_PCM);
    std::vector<uint8_t> pcm(200 * 4), out(200 * 5 + 4);
    for (size_t i = 0; i < pcm.size(); i++)
        pcm[i] = uint8_t(i * 37);
    ASSERT_EQ(s302m_write_packet(ctx, out.data(), pcm.data(), pcm.size()), 1004u);
    EXPECT_EQ((out[0] << 8) | out[1], 1000);
    EXPECT_EQ(out[2], 0);
    EXPECT_EQ(out[3], 0);
    for (int f = 0; f < 200; f++)
        EXPECT_EQ(out[4 + f * 5 + 2] & 0x10, (f == 0 || f == 192) ? 0x10 : 0) << f;
    // The 192-frame block runs on across calls.
    s302m_write_packet(ctx, out.data(), pcm.data(), 185 * 4);
    EXPECT_EQ(out[4 + 2] & 0x10, 0);
    EXPECT_EQ(out[4 + 184 * 5 + 2] & 0x10, 0x10);
    tsmux_free(ctx);
}

class TsMuxMedia : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        dir = test_board_path("tsmedia");
        media_run("mkdir -p " + dir);
        ok = media_generate(dir, &media, 2.0, 0xFFFE0000u, 800);   // crosses the 32-bit wrap
    }
    static std::string dir;
    static TestMedia media;
    static bool ok;
};
std::string TsMuxMedia::dir;
TestMedia TsMuxMedia::media;
bool TsMuxMedia::ok;

TEST_F(TsMuxMedia, H264AacPassesFfprobeWithPidsPcrAndPts)
{
    ASSERT_TRUE(ok) << "ffmpeg could not make the test media";
    TsContext *ctx = make(TSMUX_AUDIO_AAC);
    TsOut out = mux_all(ctx, media, &media.aac);
    tsmux_free(ctx);
    std::string file = dir + "/aac.ts";
    ASSERT_TRUE(media_write_file(file, out.bytes));

    int pcrs = 0;
    for (auto &p : packets(out.bytes.data(), out.bytes.size()))
        pcrs += p.has_pcr();
    EXPECT_EQ(size_t(pcrs), out.video_units);

    auto streams = lines(run_capture("ffprobe -v error -show_entries stream=id,codec_name,channels -of csv=p=0 " + file), true);
    ASSERT_EQ(streams.size(), 2u);
    EXPECT_EQ(streams[0], "h264,0x1011");
    EXPECT_EQ(streams[1], "aac,2,0x1100");

    auto pk = lines(run_capture("ffprobe -v error -show_entries packet=stream_index,pts -of csv=p=0 " + file));
    std::vector<long> vpts, apts;
    for (auto &l : pk) {
        long idx, pts;
        ASSERT_EQ(sscanf(l.c_str(), "%ld,%ld", &idx, &pts), 2) << l;
        (idx == 0 ? vpts : apts).push_back(pts);
    }
    ASSERT_EQ(vpts.size(), media.video.size());
    for (size_t i = 0; i < vpts.size(); i++)
        EXPECT_EQ(vpts[i], long(i * 3003)) << i;   // PTS = frame time - time of the first keyframe
    // Audio: the period 800 ticks before the keyframe survives, older ones are not there.
    ASSERT_GT(apts.size(), 50u);
    long first = (long(1) << 33) - 800;
    EXPECT_EQ(apts[0], first);
    for (size_t j = 1; j < apts.size(); j++)
        EXPECT_EQ(apts[j], long(j * 1920) - 800) << j;

    std::string dec = run_capture("ffmpeg -nostdin -v error -i " + file + " -f null - 2>&1; echo rc=$?");
    EXPECT_NE(dec.find("rc=0"), std::string::npos) << dec;
}

TEST_F(TsMuxMedia, PcmAs302mDecodesToExactlyThePcmFedIn)
{
    ASSERT_TRUE(ok) << "ffmpeg could not make the test media";
    TsContext *ctx = make(TSMUX_AUDIO_PCM);
    TsOut out = mux_all(ctx, media, &media.pcm);
    tsmux_free(ctx);
    std::string file = dir + "/pcm.ts", raw = dir + "/pcm.raw";
    ASSERT_TRUE(media_write_file(file, out.bytes));

    auto streams = lines(run_capture("ffprobe -v error -show_entries stream=id,codec_name,sample_rate,channels -of csv=p=0 " + file), true);
    ASSERT_EQ(streams.size(), 2u);
    EXPECT_EQ(streams[0], "h264,0x1011");
    EXPECT_EQ(streams[1], "s302m,48000,2,0x101");

    ASSERT_TRUE(media_run("ffmpeg -nostdin -v error -y -i " + file + " -map 0:a -c:a pcm_s16le -f s16le " + raw));
    std::vector<uint8_t> decoded = media_read_file(raw), fed;
    // What the consumer fed: the periods up to the last video frame, none older than 1000 ticks before it.
    uint32_t start = media.video[0].ts;
    for (auto &a : media.pcm)
        if (int32_t(start - a.ts) <= 1000 && int32_t(media.video.back().ts - a.ts) >= 0)
            fed.insert(fed.end(), a.data.begin(), a.data.end());
    ASSERT_FALSE(fed.empty());
    ASSERT_EQ(decoded.size(), fed.size());
    EXPECT_TRUE(decoded == fed);
}

} // namespace
