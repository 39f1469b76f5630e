#include "streams/stream_mux.h"
#include "streams/annexb.h"

#include "stream_testutil.h"
#include "streams/mp4.h"
#include "streams/mp4_box.h"
#include "streams/stream_mode.h"
#include "streams/stream_state.h"
#include "testutil.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

typedef std::vector<uint8_t> Bytes;

std::string path_of(const std::string &name)
{
    mkdir(test_board_dir().c_str(), 0755);
    return test_board_path(name);
}

std::string run(const std::string &cmd)
{
    return test_run(cmd);
}

Bytes read_file(const std::string &path)
{
    return test_read_file(path);
}

// H.264 frames (one slice each, no B-frames) and ADTS AAC frames made by ffmpeg.
struct Media {
    std::vector<Bytes> video, audio;
};

const Media &media()
{
    static Media m;
    if (!m.video.empty())
        return m;
    std::string v = path_of("mux.h264"), a = path_of("mux.aac");
    run("ffmpeg -v error -y -f lavfi -i testsrc=size=320x240:rate=30000/1001 -frames:v 30 -c:v libx264 -bf 0 "
        "-g 15 -threads 1 -pix_fmt yuv420p -f h264 '" + v + "' 2>&1");
    run("ffmpeg -v error -y -f lavfi -i sine=sample_rate=48000 -t 1.2 -ac 2 -c:a aac -f adts '" + a + "' 2>&1");
    Bytes d = read_file(v);
    size_t start = 0;
    bool slice = false;
    for (size_t i = annexb_find_start_code(d.data(), d.size(), 0); i + 3 < d.size();
         i = annexb_find_start_code(d.data(), d.size(), i + 3)) {
        size_t code = annexb_code_begin(d.data(), 0, i);
        if (slice && code > start) {
            m.video.emplace_back(d.begin() + start, d.begin() + code);
            start = code;
            slice = false;
        }
        int type = d[i + 3] & 0x1F;
        slice |= type == 1 || type == 5;
    }
    m.video.emplace_back(d.begin() + start, d.end());
    d = read_file(a);
    for (size_t i = 0; i + 7 <= d.size();) {
        size_t len = (size_t)(d[i + 3] & 3) << 11 | d[i + 4] << 3 | d[i + 5] >> 5;
        if (len < 7 || i + len > d.size())
            break;
        m.audio.emplace_back(d.begin() + i, d.begin() + i + len);
        i += len;
    }
    return m;
}

class Mp4Consumer : public ::testing::Test {
protected:
    void SetUp() override { stream_mux_register(STREAM_MUX_MP4, &mp4_mux_ops); }
    void TearDown() override { stream_mux_register(STREAM_MUX_MP4, &mp4_mux_ops); }
};

const uint32_t start_ts = 900000;

// Queues video frame i at its 29.97 fps time and the audio frames up to it.
void produce(TestQueue &v, TestQueue &a, const Media &md, size_t from, size_t to, size_t *audio_next)
{
    for (size_t i = from; i < to; i++) {
        uint32_t ts = start_ts + (uint32_t)i * 3003;
        while (*audio_next < md.audio.size() && *audio_next * 1920 <= i * 3003) {
            const Bytes &f = md.audio[*audio_next];
            ASSERT_EQ(0, a.put((uint32_t)f.size(), start_ts + (uint32_t)*audio_next * 1920, RB_FLAG_KEYFRAME, 0,
                               f.data()));
            (*audio_next)++;
        }
        const Bytes &f = md.video[i];
        ASSERT_EQ(0, v.put((uint32_t)f.size(), ts, i % 15 == 0 ? (uint32_t)RB_FLAG_KEYFRAME : 0u, 0, f.data()));
    }
}

} // namespace

TEST_F(Mp4Consumer, StreamReadGivesOneMdatPerSampleThatTheReaderTakesBack)
{
    const Media &md = media();
    ASSERT_EQ(30u, md.video.size());
    TestQueue v(VIDEO_STREAM1, 1 << 20, 128), a(AAC_STREAM, 1 << 18, 128);
    StreamState s{};
    s.videoFrameDuration = 3003;
    s.audioFrameDuration = 1920;
    stream_state_attach(v.id, StreamMode_H264_AAC_MP4, &s);
    ASSERT_NE(nullptr, s.mux);
    ASSERT_NE(nullptr, s.muxBuf);
    mp4_muxer *w = static_cast<mp4_muxer *>(s.mux);
    mp4_video_track_create(w, MP4_FOURCC('a', 'v', 'c', '1'), 90000, 3003, 0, 320, 240, 66, 30);
    mp4_audio_track_create(w, MP4_FOURCC('m', 'p', '4', 'a'), 90000, 1920, 0, 48000, 2);
    size_t audio_next = 0;
    produce(v, a, md, 0, 10, &audio_next);

    mp4_muxer *r = mp4_new_reader();
    r->next_track_id = 3;   // the init movie comes at the end of this stream: count by hand
    int video = 0, audio = 0;
    for (int i = 0; i < 9; i++) {
        StreamBuffer *b = stream_state_dequeue_timeout(&s, 1000);
        ASSERT_NE(nullptr, b);
        uint8_t *out = (uint8_t *)Buffer_getUserPtr(b->buf);
        uint32_t n = (uint32_t)Buffer_getNumBytesUsed(b->buf);
        mp4_buf_put(r, out, n);
        const uint8_t *payload;
        uint32_t len;
        while (mp4_get_mdat(r, &payload, &len)) {
            if (payload[0] == 0) {
                // the first start code went out as the first unit's length
                const Bytes &f = md.video[video];
                EXPECT_EQ(0, memcmp(payload + 4, f.data() + (f.size() - len) + 4, len - 4)) << video;
                video++;
            } else {
                EXPECT_EQ(md.audio[audio].size(), len);
                EXPECT_EQ(0, memcmp(payload, md.audio[audio].data(), len));
                audio++;
            }
        }
        EXPECT_EQ(n, mp4_buf_drain(r));
    }
    EXPECT_EQ(9, video);
    EXPECT_GE(audio, 13);
    EXPECT_FALSE(mp4_has_error(w));
    mp4_delete(r);
    stream_state_detach(&s);
    EXPECT_EQ(nullptr, s.mux);   // a streaming consumer's muxer goes with its detach
}

TEST_F(Mp4Consumer, RecordingWithoutMuxBufferWritesAPlayableFile)
{
    const Media &md = media();
    TestQueue v(VIDEO_STREAM1, 1 << 20, 128), a(AAC_STREAM, 1 << 18, 128);
    StreamState s{};
    s.videoFrameDuration = 3003;
    s.audioFrameDuration = 1920;
    stream_state_attach(v.id, StreamMode_H264_AAC_MP4, &s);
    mp4_muxer *w = static_cast<mp4_muxer *>(s.mux);
    ASSERT_NE(nullptr, w);
    mp4_video_track_create(w, MP4_FOURCC('a', 'v', 'c', '1'), 90000, 3003, 0, 320, 240, 66, 30);
    mp4_audio_track_create(w, MP4_FOURCC('m', 'p', '4', 'a'), 90000, 1920, 0, 48000, 2);
    // the recording drops the consumer's buffer so the writer goes straight to its file
    free(Buffer_getUserPtr(s.muxBuf->buf));
    Buffer_delete(s.muxBuf->buf);
    free(s.muxBuf);
    s.muxBuf = nullptr;
    mp4_set_interleave(w, 45000);
    std::string path = path_of("consumer.mp4");
    FILE *f = fopen(path.c_str(), "w+b");
    mp4_set_file(w, f);

    size_t audio_next = 0;
    produce(v, a, md, 0, 30, &audio_next);
    for (int i = 0; i < 20; i++) {
        EXPECT_EQ(nullptr, stream_state_dequeue_timeout(&s, 1000));
        EXPECT_EQ((uint32_t)i + 1, s.seq);
    }
    ASSERT_EQ(0, v.put(4, start_ts + 31 * 3003, 0));   // the producer's end marker stays unread
    stream_state_detach(&s);
    EXPECT_EQ(30u, s.seq);
    EXPECT_FALSE(mp4_has_error(w));
    stream_state_close_muxer(&s);
    fclose(f);

    std::string streams = run("ffprobe -v error -count_frames -show_entries stream=codec_tag_string,nb_read_frames "
                              "-of default=nw=1 '" + path + "' 2>&1");
    EXPECT_NE(std::string::npos, streams.find("codec_tag_string=avc1\nnb_read_frames=30")) << streams;
    EXPECT_NE(std::string::npos, streams.find("codec_tag_string=mp4a")) << streams;
    EXPECT_EQ("", run("ffmpeg -v error -xerror -i '" + path + "' -f null - 2>&1"));
}
