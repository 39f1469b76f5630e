#include "streams/tsmux.h"

#include "testutil.h"
#include "ts_media.h"

#include <cstring>
#include <gtest/gtest.h>

namespace {

struct Pes {
    uint16_t pid;
    std::vector<uint8_t> data;
    uint32_t pts;
};

// The output thread's receive loop: data arrives in chunks, complete PES are copied out, and the
// bytes no PES needs any more are removed from the front of the buffer.
std::vector<Pes> demux_all(TsContext *ctx, const std::vector<uint8_t> &in, size_t chunk, size_t *max_buffered = nullptr)
{
    std::vector<Pes> out;
    std::vector<uint8_t> rx;
    size_t off = 0;
    for (;;) {
        if (off < in.size()) {
            size_t n = std::min(chunk, in.size() - off);
            rx.insert(rx.end(), in.begin() + off, in.begin() + off + n);
            off += n;
        } else {
            ctx->flush = 1;
        }
        if (max_buffered)
            *max_buffered = std::max(*max_buffered, rx.size());
        int pid;
        while ((pid = ts_demux_feed(ctx, rx.data(), rx.size())) > 0) {
            Pes p{uint16_t(pid), std::vector<uint8_t>(ctx->ready_len), ctx->ready_pts};
            int n = ts_demux_parse(ctx, p.pid, p.data.data(), p.data.size(), rx.data(), rx.size());
            EXPECT_EQ(n, int(p.data.size()));
            out.push_back(std::move(p));
        }
        EXPECT_EQ(pid, 0);
        size_t c = ts_demux_consumed(ctx);
        rx.erase(rx.begin(), rx.begin() + c);
        ts_demux_discard(ctx, c);
        if (off >= in.size() && ctx->flush)
            break;
    }
    return out;
}

std::vector<uint8_t> strip_aud(const std::vector<uint8_t> &d)
{
    if (d.size() > 6 && memcmp(d.data(), "\x00\x00\x00\x01\x09", 5) == 0)
        return std::vector<uint8_t>(d.begin() + 6, d.end());
    return d;
}

class TsDemux : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        dir = test_board_path("demux");
        media_run("mkdir -p " + dir);
        ok = media_generate(dir, &media, 2.0, 1000000, 0);
        if (!ok)
            return;
        // Our own stream, muxed as a transport-stream consumer would.
        TsContext *mux = tsmux_new();
        tsmux_configure(mux, TS_TYPE_H264, TSMUX_AUDIO_AAC);
        std::vector<uint8_t> buf(0xd8000);
        size_t ai = 0;
        uint32_t start = media.video[0].ts;
        for (auto &v : media.video) {
            int n = tsmux_write_video(mux, buf.data(), buf.size(), v.data.data(), v.data.size(), v.ts - start, v.key);
            ours.insert(ours.end(), buf.begin(), buf.begin() + n);
            while (ai < media.aac.size() && int32_t(v.ts - media.aac[ai].ts) >= 0) {
                auto &a = media.aac[ai++];
                n = tsmux_write_audio(mux, buf.data(), buf.size(), a.data.data(), a.data.size(), a.ts - start);
                ours.insert(ours.end(), buf.begin(), buf.begin() + n);
                audio_fed++;
            }
        }
        tsmux_free(mux);
    }
    static std::string dir;
    static TestMedia media;
    static bool ok;
    static std::vector<uint8_t> ours;
    static size_t audio_fed;
};
std::string TsDemux::dir;
TestMedia TsDemux::media;
bool TsDemux::ok;
std::vector<uint8_t> TsDemux::ours;
size_t TsDemux::audio_fed;

TEST_F(TsDemux, ReadsBackOurMuxerOutputFrameForFrame)
{
    ASSERT_TRUE(ok);
    for (size_t chunk : {size_t(1316), size_t(7000), size_t(100000)}) {
        TsContext *ctx = tsmux_new();
        std::vector<Pes> pes = demux_all(ctx, ours, chunk);
        EXPECT_EQ(ctx->video.pid, TS_VIDEO_PID);
        EXPECT_EQ(ctx->audio.pid, TS_AAC_PID);
        EXPECT_EQ(ctx->video.stream_type, TS_TYPE_H264);
        EXPECT_EQ(ctx->video.avc_profile, 100);
        EXPECT_EQ(ctx->video.avc_level, 40);
        size_t vi = 0, ai = 0;
        uint32_t start = media.video[0].ts;
        for (auto &p : pes) {
            if (p.pid == TS_VIDEO_PID) {
                ASSERT_LT(vi, media.video.size());
                EXPECT_TRUE(strip_aud(p.data) == media.video[vi].data) << "video " << vi << " chunk " << chunk;
                EXPECT_EQ(p.pts, media.video[vi].ts - start);
                vi++;
            } else {
                ASSERT_EQ(p.pid, TS_AAC_PID);
                EXPECT_TRUE(p.data == media.aac[ai].data) << "audio " << ai;
                EXPECT_EQ(p.pts, media.aac[ai].ts - start);
                ai++;
            }
        }
        EXPECT_EQ(vi, media.video.size());
        EXPECT_EQ(ai, audio_fed);
        EXPECT_EQ(ctx->video.cc_errors + ctx->audio.cc_errors + ctx->pat_cc_errors + ctx->pmt_cc_errors, 0u);
        tsmux_free(ctx);
    }
}

TEST_F(TsDemux, ReadsTransportStreamMadeByFfmpeg)
{
    ASSERT_TRUE(ok);
    std::string ts = dir + "/ff.ts";
    ASSERT_TRUE(media_run("ffmpeg -nostdin -v error -y -f h264 -r 30000/1001 -i " + dir + "/v.h264 -i " + dir +
                          "/a.aac -c copy -f mpegts " + ts));
    std::vector<uint8_t> in = media_read_file(ts);
    TsContext *ctx = tsmux_new();
    std::vector<Pes> pes = demux_all(ctx, in, 4096);
    ASSERT_NE(ctx->video.pid, 0);
    ASSERT_NE(ctx->audio.pid, 0);
    EXPECT_EQ(ctx->audio.stream_type, TS_TYPE_AAC);
    std::vector<uint8_t> video, audio;
    size_t vcount = 0;
    for (auto &p : pes) {
        // The feed's result is the PID the caller compares with.
        ASSERT_TRUE(p.pid == ctx->video.pid || p.pid == ctx->audio.pid);
        auto &dst = p.pid == ctx->video.pid ? video : audio;
        vcount += p.pid == ctx->video.pid;
        dst.insert(dst.end(), p.data.begin(), p.data.end());
    }
    EXPECT_EQ(vcount, media.video.size());
    EXPECT_TRUE(audio == media_read_file(dir + "/a.aac"));
    // Video: the same NAL units, ffmpeg adds access-unit delimiters.
    std::vector<uint8_t> frames;
    for (auto &v : media.video)
        frames.insert(frames.end(), v.data.begin(), v.data.end());
    EXPECT_GE(video.size(), frames.size());
    EXPECT_EQ(ctx->video.cc_errors + ctx->audio.cc_errors, 0u);
    tsmux_free(ctx);
}

TEST_F(TsDemux, LostPacketCountsContinuityErrorAndCutsThatPesOnly)
{
    ASSERT_TRUE(ok);
    std::vector<uint8_t> in = ours;
    // Remove the second packet of the 10th video frame.
    size_t seen = 0, cut = 0;
    for (size_t i = 0; i + 188 <= in.size() && !cut; i += 188) {
        uint16_t pid = ((in[i + 1] & 0x1F) << 8) | in[i + 2];
        if (pid == TS_VIDEO_PID && (in[i + 1] & 0x40))
            seen++;
        else if (pid == TS_VIDEO_PID && seen == 10)
            cut = i;
    }
    ASSERT_NE(cut, 0u);
    in.erase(in.begin() + cut, in.begin() + cut + 188);
    TsContext *ctx = tsmux_new();
    std::vector<Pes> pes = demux_all(ctx, in, 5000);
    EXPECT_EQ(ctx->video.cc_errors, 1u);
    size_t videos = 0;
    for (auto &p : pes)
        videos += p.pid == TS_VIDEO_PID;
    // The PES with its declared length can't complete before the next one starts; the rest are intact.
    EXPECT_EQ(videos, media.video.size() - 1);
    tsmux_free(ctx);
}

TEST_F(TsDemux, ResynchronisesAfterGarbage)
{
    ASSERT_TRUE(ok);
    std::vector<uint8_t> in(333, 0x47);
    in.insert(in.end(), ours.begin(), ours.end());
    TsContext *ctx = tsmux_new();
    std::vector<Pes> pes = demux_all(ctx, in, 9000);
    size_t videos = 0;
    for (auto &p : pes)
        videos += p.pid == TS_VIDEO_PID;
    EXPECT_EQ(videos, media.video.size());
    tsmux_free(ctx);
}

TEST_F(TsDemux, ParseIsBoundedByTheDestination)
{
    ASSERT_TRUE(ok);
    TsContext *ctx = tsmux_new();
    int pid;
    while ((pid = ts_demux_feed(ctx, ours.data(), ours.size())) == TS_AAC_PID)
        ;
    ASSERT_EQ(pid, TS_VIDEO_PID);
    ASSERT_GT(ctx->ready_len, 64u);
    std::vector<uint8_t> dest(ctx->ready_len + 16, 0xEE);
    EXPECT_LT(ts_demux_parse(ctx, pid, dest.data(), 64, ours.data(), ours.size()), 0);
    for (uint8_t b : dest)
        ASSERT_EQ(b, 0xEE);
    // A PID other than the ready one copies nothing.
    EXPECT_LT(ts_demux_parse(ctx, TS_AAC_PID, dest.data(), dest.size(), ours.data(), ours.size()), 0);
    // Data shorter than the PES: an error, never a read past it.
    ctx->ready_parsed = 0;
    EXPECT_LT(ts_demux_parse(ctx, pid, dest.data(), dest.size(), ours.data(), 188 * 3), 0);
    tsmux_free(ctx);
}

} // namespace
