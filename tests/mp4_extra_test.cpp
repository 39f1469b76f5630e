#include "streams/mp4.h"
#include "streams/annexb.h"
#include "core/log.h"
#include "testutil.h"

#include <algorithm>
#include <cstring>
#include <gtest/gtest.h>
#include <signal.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

typedef std::vector<uint8_t> Bytes;

std::string path_of(const std::string &name)
{
    mkdir(test_board_dir().c_str(), 0755);
    return test_board_path(name);
}

std::string run(const std::string &cmd) { return test_run(cmd); }

std::string log_since(uint32_t from)
{
    std::vector<char> buf(LOG_RING_SIZE);
    uint32_t n = log_ring_read(from, buf.data(), (uint32_t)buf.size());
    return std::string(buf.data(), n);
}

// H.264 access units (one slice each) and ADTS frames made by ffmpeg.
struct Media {
    std::vector<Bytes> video, audio;
};

std::vector<Bytes> split_access_units(const Bytes &d)
{
    return test_split_access_units(d);
}

// ADTS and MPEG audio frames alike: the length comes from a callback per header.
std::vector<Bytes> split_frames(const Bytes &d, size_t (*len_of)(const uint8_t *))
{
    std::vector<Bytes> frames;
    size_t i = 0;
    while (i + 7 <= d.size() && d[i] == 0xFF && (d[i + 1] & 0xE0) == 0xE0) {
        size_t len = len_of(&d[i]);
        if (len < 7 || i + len > d.size())
            break;
        frames.emplace_back(d.begin() + i, d.begin() + i + len);
        i += len;
    }
    return frames;
}

size_t adts_len(const uint8_t *h) { return (size_t)(h[3] & 3) << 11 | h[4] << 3 | h[5] >> 5; }

// MPEG-1 layer III at 48 kHz: 144 x bitrate / rate (+ padding)
size_t mp3_len(const uint8_t *h)
{
    static const int kbps[] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0};
    return (size_t)(144 * kbps[h[2] >> 4] * 1000 / 48000 + ((h[2] >> 1) & 1));
}

const Media &media()
{
    static Media m;
    if (m.video.empty()) {
        std::string v = path_of("src.h264"), a = path_of("src.aac");
        run("ffmpeg -v error -y -f lavfi -i testsrc=size=160x120:rate=30000/1001 -frames:v 90 -c:v libx264 "
            "-bf 0 -g 30 -threads 1 -pix_fmt yuv420p -f h264 '" + v + "' 2>&1");
        run("ffmpeg -v error -y -f lavfi -i sine=frequency=440:sample_rate=48000 -t 3.1 -ac 2 -c:a aac "
            "-f adts '" + a + "' 2>&1");
        m.video = split_access_units(test_read_file(v));
        m.audio = split_frames(test_read_file(a), adts_len);
    }
    return m;
}

mp4_muxer *add_tracks(mp4_muxer *m)
{
    EXPECT_EQ(1u, mp4_video_track_create(m, MP4_FOURCC('a', 'v', 'c', '1'), 90000, 3003, 0, 160, 120, 66, 30));
    EXPECT_EQ(2u, mp4_audio_track_create(m, MP4_FOURCC('m', 'p', '4', 'a'), 90000, 1920, 0, 48000, 2));
    mp4_set_interleave(m, 45000);
    return m;
}

// Feeds the media in timestamp order the way the recording does.
void feed(mp4_muxer *m, const Media &md, void (*after_video)(int frames) = nullptr)
{
    size_t ai = 0;
    uint64_t audio_ts = 0;
    for (size_t vi = 0; vi < md.video.size(); vi++) {
        ASSERT_EQ(0, mp4_write_track(m, 1, md.video[vi].data(), (uint32_t)md.video[vi].size(), 3003));
        while (audio_ts <= vi * 3003 && ai < md.audio.size()) {
            ASSERT_EQ(0, mp4_write_track(m, 2, md.audio[ai].data(), (uint32_t)md.audio[ai].size(), 1920));
            ai++;
            audio_ts += 1920;
        }
        if (after_video)
            after_video((int)vi + 1);
    }
}

std::string probe(const std::string &path, const std::string &what)
{
    return run("ffprobe -v error " + what + " -of default=nw=1:nk=1 '" + path + "' 2>&1");
}

int video_packets(const std::string &path)
{
    return atoi(probe(path, "-select_streams v -count_packets -show_entries stream=nb_read_packets").c_str());
}

std::string decode_errors(const std::string &path)
{
    return run("ffmpeg -v error -i '" + path + "' -f null - 2>&1");
}

struct TopBox {
    uint64_t pos, size;
    std::string type;
};

std::vector<TopBox> top_boxes(const Bytes &d)
{
    std::vector<TopBox> boxes;
    for (uint64_t p = 0; p + 8 <= d.size();) {
        uint64_t size = (uint64_t)d[p] << 24 | d[p + 1] << 16 | d[p + 2] << 8 | d[p + 3];
        std::string type(d.begin() + (long)p + 4, d.begin() + (long)p + 8);
        if (size == 1 && p + 16 <= d.size()) {
            size = 0;
            for (int i = 0; i < 8; i++)
                size = size << 8 | d[p + 8 + i];
        }
        boxes.push_back({p, size, type});
        if (size < 8)
            break;
        p += size;
    }
    return boxes;
}

std::string layout(const std::vector<TopBox> &boxes)
{
    std::string s;
    for (const TopBox &b : boxes)
        s += (s.empty() ? "" : " ") + b.type;
    return s;
}

TEST(Mp4ReservedMoov, WriterKilledHalfWayStillPlaysUpToTheLastRewrite)
{
    const Media &md = media();
    std::string path = path_of("killed.mp4");
    int done[2];
    ASSERT_EQ(0, pipe(done));
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        FILE *f = fopen(path.c_str(), "w+b");
        mp4_muxer *m = add_tracks(mp4_new());
        mp4_set_moov_max_duration(m, 2, 1);   // room for two minutes, rewritten every second
        mp4_set_file(m, f);
        static int fd;
        fd = done[1];
        feed(m, md, [](int frames) {
            if (frames == 75) {
                (void)!write(fd, "x", 1);
                pause();   // killed here, with no finish
            }
        });
        _exit(1);
    }
    char c;
    ASSERT_EQ(1, read(done[0], &c, 1));
    kill(child, SIGKILL);
    int status;
    waitpid(child, &status, 0);
    close(done[0]);
    close(done[1]);
    Bytes d = test_read_file(path);
    std::vector<TopBox> boxes = top_boxes(d);
    ASSERT_GE(boxes.size(), 4u);
    EXPECT_EQ("ftyp moov free mdat", layout(boxes).substr(0, 19));
    // rewrites every 30 frames: the last one came at frame 60
    EXPECT_EQ(60, video_packets(path));
    EXPECT_EQ("", decode_errors(path));
}

TEST(Mp4ReservedMoov, FinishedNormallyTheReserveHoldsTheFinalMoov)
{
    std::string path = path_of("reserved.mp4");
    FILE *f = fopen(path.c_str(), "w+b");
    mp4_muxer *m = add_tracks(mp4_new());
    uint32_t from = log_ring_head();
    mp4_set_moov_max_duration(m, 1, 1);
    mp4_set_file(m, f);
    feed(m, media());
    EXPECT_EQ(0, mp4_moov_rewrites_stopped(m));
    EXPECT_EQ(0, mp4_finish(m));
    EXPECT_EQ(0, mp4_get_error(m));
    mp4_delete(m);
    fclose(f);
    std::string log = log_since(from);
    EXPECT_NE(std::string::npos, log.find("mp4_set_moov_max_duration: max_minutes=1 interval_seconds=1"));
    // 1 minute: 1798 video frames (90000 x 60 / 3003) and 2812 audio frames; 115231 bytes rounded down
    EXPECT_NE(std::string::npos, log.find("video_frames=1798 audio_frames=2812 est_size=98304")) << log;
    Bytes d = test_read_file(path);
    std::vector<TopBox> boxes = top_boxes(d);
    EXPECT_EQ("ftyp moov free mdat", layout(boxes));
    ASSERT_EQ(4u, boxes.size());
    EXPECT_EQ(98304u, boxes[1].size);
    EXPECT_EQ(d.size(), boxes[3].pos + boxes[3].size);
    EXPECT_EQ(90, video_packets(path));
    EXPECT_EQ("", decode_errors(path));
    // the rewrites' edit lists and durations are not added to the final ones
    EXPECT_EQ("3.003000\n", probe(path, "-show_entries format=duration")) << probe(path, "-show_entries stream=duration:stream_tags");
}

TEST(Mp4ReservedMoov, MoovOutgrowingTheReserveGoesToTheEndWithoutAnError)
{
    std::string path = path_of("outgrown.mp4");
    FILE *f = fopen(path.c_str(), "w+b");
    mp4_muxer *m = add_tracks(mp4_new());
    mp4_set_moov_reserve(m, 2048, 1);   // rewritten after every frame until it no longer fits
    mp4_set_file(m, f);
    uint32_t from = log_ring_head();
    EXPECT_EQ(0, mp4_moov_rewrites_stopped(m));
    feed(m, media());
    EXPECT_EQ(1, mp4_moov_rewrites_stopped(m));   // the recorder begins its next file here
    EXPECT_EQ(0, mp4_get_error(m));   // the recording goes on: callers stop at the first error
    EXPECT_EQ(0, mp4_finish(m));
    EXPECT_EQ(0, mp4_get_error(m));
    mp4_delete(m);
    fclose(f);
    std::string log = log_since(from);
    EXPECT_NE(std::string::npos, log.find("outgrew the reserve of 2048")) << log;
    EXPECT_NE(std::string::npos, log.find("max_moov_size=2048 moov_interval=1")) << log;
    Bytes d = test_read_file(path);
    std::vector<TopBox> boxes = top_boxes(d);
    EXPECT_EQ("ftyp free free mdat moov", layout(boxes));
    ASSERT_EQ(5u, boxes.size());
    EXPECT_EQ(2048u, boxes[1].size);
    EXPECT_EQ(90, video_packets(path));
    EXPECT_EQ("", decode_errors(path));
}

TEST(Mp4Extras, QuickTimeFlavourParsesWithItsBrand)
{
    std::string path = path_of("qt.mov");
    FILE *f = fopen(path.c_str(), "w+b");
    mp4_muxer *m = add_tracks(mp4_new_qt());
    mp4_set_file(m, f);
    feed(m, media());
    EXPECT_EQ(0, mp4_finish(m));
    mp4_delete(m);
    fclose(f);
    EXPECT_EQ("qt  \n", probe(path, "-show_entries format_tags=major_brand"));
    EXPECT_EQ("537199360\n", probe(path, "-show_entries format_tags=minor_version"));
    Bytes d = test_read_file(path);
    EXPECT_EQ("ftyp wide mdat moov", layout(top_boxes(d)));
    EXPECT_NE(d.end(), std::search(d.begin(), d.end(), std::begin("Alias Data Handler"),
                                   std::end("Alias Data Handler") - 1));
    EXPECT_EQ(90, video_packets(path));
    EXPECT_EQ("", decode_errors(path));
}

struct Seen {
    uint64_t pos, time;
    uint32_t len;
    int flags;
};

TEST(Mp4Extras, MirrorGetsEveryByteAndTheCallbackEverySample)
{
    std::string path = path_of("main.mp4"), mirror = path_of("mirror.mp4");
    FILE *f = fopen(path.c_str(), "w+b"), *g = fopen(mirror.c_str(), "w+b");
    mp4_muxer *m = add_tracks(mp4_new());
    static std::vector<Seen> seen;
    seen.clear();
    mp4_set_sample_callback(m, [](void *, uint64_t pos, uint64_t time, uint32_t len, int flags) {
        seen.push_back({pos, time, len, flags});
    }, nullptr);
    mp4_set_file(m, f);
    mp4_set_mirror_file(m, g);
    feed(m, media());
    EXPECT_EQ(0, mp4_finish(m));
    mp4_delete(m);
    fclose(f);
    fclose(g);
    EXPECT_EQ(test_read_file(path), test_read_file(mirror));
    // each sample as ffprobe finds it: offset, size, and key frames as sync samples
    std::string packets = run("ffprobe -v error -show_entries packet=stream_index,pos,size,flags -of csv=p=0 '" +
                              path + "'");
    std::string mine;
    int vframes = 0;
    for (const Seen &s : seen) {
        bool video = s.flags != 2;
        mine += std::to_string(video ? 0 : 1) + "," + std::to_string(s.len) + "," + std::to_string(s.pos) + "," +
                (video ? (s.flags ? "K_" : "__") : "K_") + "\n";
        if (video) {
            EXPECT_EQ(3003u * vframes++, s.time);
        }
    }
    EXPECT_EQ(packets, mine);
}

TEST(Mp4Extras, MpegAudioAndSubpictureTracks)
{
    std::string a = path_of("src.mp3");
    run("ffmpeg -v error -y -f lavfi -i sine=sample_rate=48000 -t 1 -c:a libmp3lame -b:a 128k -write_xing 0 -id3v2_version 0 -f mp3 '" +
        a + "' 2>&1");
    std::vector<Bytes> frames = split_frames(test_read_file(a), mp3_len);
    ASSERT_GT(frames.size(), 30u);
    std::string path = path_of("mpeg_audio.mp4");
    FILE *f = fopen(path.c_str(), "w+b");
    mp4_muxer *m = mp4_new();
    uint32_t id = mp4_mpeg_audio_track_create(m, 90000, 2160, 0, 48000, 2);   // 1152 samples
    uint32_t palette[16];
    for (int i = 0; i < 16; i++)
        palette[i] = 0x00108080u + (uint32_t)i * 0x0F0000u;
    uint32_t sub = mp4_subpicture_track_create(m, 90000, 90000, palette);
    EXPECT_EQ(1u, id);
    EXPECT_EQ(2u, sub);
    mp4_set_file(m, f);
    for (const Bytes &fr : frames)
        ASSERT_EQ(0, mp4_write_track(m, id, fr.data(), (uint32_t)fr.size(), 2160));
    const uint8_t spu[] = {0x00, 0x0C, 0x00, 0x08, 0x00, 0x00, 0x00, 0x08, 0x01, 0xFF, 0x00, 0x00};
    ASSERT_EQ(0, mp4_write_track(m, sub, spu, sizeof spu, 90000));
    EXPECT_EQ(0, mp4_finish(m));
    mp4_delete(m);
    fclose(f);
    EXPECT_EQ("mp3\ndvd_subtitle\n", probe(path, "-show_entries stream=codec_name"));
    EXPECT_EQ(std::to_string(frames.size()) + "\n",
              probe(path, "-select_streams a -count_packets -show_entries stream=nb_read_packets"));
    // the palette travels as the subpicture's 64-byte decoder configuration
    Bytes d = test_read_file(path);
    uint8_t want[64];
    for (int i = 0; i < 16; i++)
        for (int k = 0; k < 4; k++)
            want[i * 4 + k] = (uint8_t)(palette[i] >> (24 - 8 * k));
    EXPECT_NE(d.end(), std::search(d.begin(), d.end(), want, want + 64));
    EXPECT_EQ("", run("ffmpeg -v error -i '" + path + "' -map 0:a -f null - 2>&1"));
}

TEST(Mp4Extras, SkipBoxGoesBeforeTheMdatOnly)
{
    std::string path = path_of("skip.mp4");
    FILE *f = fopen(path.c_str(), "w+b");
    mp4_muxer *m = add_tracks(mp4_new());
    mp4_set_file(m, f);
    EXPECT_EQ(0, write_skip(m, 100));
    feed(m, media());
    uint32_t from = log_ring_head();
    EXPECT_EQ(-1, write_skip(m, 100));
    EXPECT_NE(std::string::npos, log_since(from).find("write_skip: the mdat is already open"));
    EXPECT_EQ(0, mp4_finish(m));
    mp4_delete(m);
    fclose(f);
    std::vector<TopBox> boxes = top_boxes(test_read_file(path));
    EXPECT_EQ("ftyp skip free mdat moov", layout(boxes));
    ASSERT_GE(boxes.size(), 2u);
    EXPECT_EQ(108u, boxes[1].size);
    EXPECT_EQ(90, video_packets(path));
}

} // namespace
