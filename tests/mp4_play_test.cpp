#include "streams/mp4.h"
#include "core/log.h"
#include "testutil.h"

#include <algorithm>
#include <cstring>
#include <gtest/gtest.h>
#include <map>
#include <sstream>
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

std::string log_since(uint32_t from)
{
    std::vector<char> buf(LOG_RING_SIZE);
    uint32_t n = log_ring_read(from, buf.data(), (uint32_t)buf.size());
    return std::string(buf.data(), n);
}

struct Sample {
    int stream;   // as ffprobe numbers them, found by the sample's offset
    uint64_t pos, time;
    uint32_t size;
    int flags;
    bool operator==(const Sample &o) const
    {
        return stream == o.stream && pos == o.pos && time == o.time && size == o.size;
    }
};

std::ostream &operator<<(std::ostream &os, const Sample &s)
{
    return os << "{" << s.stream << " pos " << s.pos << " t " << s.time << " size " << s.size << "}";
}

// ffprobe's packets in file order, raw decode times (edit lists left out as the player does)
std::vector<Sample> ffprobe_packets(const std::string &path, const std::string &extra = "")
{
    std::string out = test_run("ffprobe -v error -ignore_editlist 1 " + extra +
                               " -show_entries packet=stream_index,dts,size,pos,flags -of csv=p=0 '" + path + "'");
    std::vector<Sample> v;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        Sample s = {};
        char flags[8] = {};
        unsigned long long dts, pos;
        unsigned size;
        if (sscanf(line.c_str(), "%d,%llu,%u,%llu,%7s", &s.stream, &dts, &size, &pos, flags) == 5) {
            s.time = dts;
            s.pos = pos;
            s.size = size;
            s.flags = flags[0] == 'K';
            v.push_back(s);
        }
    }
    return v;
}

// A file ffmpeg made: H.264 without B-frames and AAC, both counted in 48 kHz ticks.
const std::string &ffmpeg_file()
{
    static std::string path;
    if (path.empty()) {
        path = path_of("play.mp4");
        test_run("ffmpeg -v error -y -f lavfi -i testsrc=size=160x120:rate=25 -f lavfi -i "
                 "sine=frequency=440:sample_rate=48000 -t 4 -c:v libx264 -bf 0 -g 25 -c:a aac "
                 "-video_track_timescale 48000 '" + path + "' 2>&1");
    }
    return path;
}

struct Player {
    mp4_muxer *m = nullptr;
    std::map<uint64_t, int> stream_at;   // offset -> ffprobe stream index
    std::vector<Sample> got;
    explicit Player(const std::string &path, const std::vector<Sample> &probe)
    {
        for (const Sample &s : probe)
            stream_at[s.pos] = s.stream;
        m = mp4_new_reader();
        EXPECT_EQ(0, mp4_open_file(m, path.c_str()));
        mp4_set_sample_callback(m, on_sample, this);
    }
    ~Player() { mp4_delete(m); }
    static void on_sample(void *user, uint64_t offset, uint64_t time, uint32_t len, int flags)
    {
        Player *p = (Player *)user;
        auto it = p->stream_at.find(offset);
        p->got.push_back({it == p->stream_at.end() ? -1 : it->second, offset, time, len, flags});
    }
    // plays to the end; the result of the last call
    int all(int (*step)(mp4_muxer *))
    {
        int r = 0;
        for (int guard = 0; guard < 100000 && (r = step(m)) == 0; guard++) {
        }
        return r;
    }
};

std::vector<Sample> of_stream(const std::vector<Sample> &v, int stream)
{
    std::vector<Sample> out;
    for (const Sample &s : v)
        if (s.stream == stream)
            out.push_back(s);
    return out;
}

TEST(Mp4Player, ForwardPlayDeliversFfprobesPacketsWithAudioNotLaterFirst)
{
    std::vector<Sample> probe = ffprobe_packets(ffmpeg_file());
    ASSERT_GT(probe.size(), 250u);
    Player p(ffmpeg_file(), probe);
    EXPECT_EQ(1, p.all(mp4_play));
    EXPECT_EQ(of_stream(probe, 0), of_stream(p.got, 0));
    EXPECT_EQ(of_stream(probe, 1), of_stream(p.got, 1));
    ASSERT_EQ(probe.size(), p.got.size());
    // each video sample comes after every audio sample not later than it, and before the rest
    for (size_t i = 0; i < p.got.size(); i++) {
        if (p.got[i].stream != 0)
            continue;
        for (size_t k = 0; k < p.got.size(); k++) {
            if (p.got[k].stream == 1) {
                EXPECT_EQ(k < i, p.got[k].time <= p.got[i].time) << p.got[i] << " vs " << p.got[k];
            }
        }
    }
    for (const Sample &s : of_stream(p.got, 0))
        EXPECT_EQ(s.time % 48000 == 0 ? 1 : 0, s.flags) << s;   // a keyframe every 25 frames
    for (const Sample &s : of_stream(p.got, 1))
        EXPECT_EQ(2, s.flags);
}

TEST(Mp4Player, ReversePlayIsForwardPlayBackwards)
{
    std::vector<Sample> probe = ffprobe_packets(ffmpeg_file());
    Player fwd(ffmpeg_file(), probe), rev(ffmpeg_file(), probe);
    EXPECT_EQ(1, fwd.all(mp4_play));
    EXPECT_EQ(1, rev.all(mp4_play_reverse));
    std::reverse(rev.got.begin(), rev.got.end());
    EXPECT_EQ(fwd.got, rev.got);
    // and forward again from the start after reverse reached it
    rev.got.clear();
    EXPECT_EQ(0, mp4_play(rev.m));
    ASSERT_FALSE(rev.got.empty());
    EXPECT_EQ(fwd.got[0], rev.got[0]);
}

TEST(Mp4Player, SeekLandsWhereFfprobeDoes)
{
    std::vector<Sample> probe = ffprobe_packets(ffmpeg_file());
    for (double secs : {0.0, 1.3, 2.5, 3.99}) {
        char iv[64];
        snprintf(iv, sizeof iv, "-read_intervals %.2f%%+#12", secs);
        std::vector<Sample> after = ffprobe_packets(ffmpeg_file(), iv);
        ASSERT_FALSE(after.empty());
        Player p(ffmpeg_file(), probe);
        ASSERT_EQ(0, mp4_seek(p.m, (uint64_t)(secs * 48000)));
        for (int i = 0; i < 4; i++)
            mp4_play(p.m);
        ASSERT_FALSE(of_stream(p.got, 0).empty());
        ASSERT_FALSE(of_stream(p.got, 1).empty());
        EXPECT_EQ(of_stream(after, 0)[0], of_stream(p.got, 0)[0]) << secs;
        EXPECT_EQ(of_stream(after, 1)[0], of_stream(p.got, 1)[0]) << secs;
    }
}

TEST(Mp4Player, TracksOfDifferentTimescalesAreRefused)
{
    std::string path = path_of("ts.mp4");
    test_run("ffmpeg -v error -y -f lavfi -i testsrc=size=160x120:rate=25 -f lavfi -i sine=sample_rate=48000 -t 1 "
             "-c:v libx264 -bf 0 -c:a aac -video_track_timescale 12800 '" + path + "' 2>&1");
    uint32_t from = log_ring_head();
    Player p(path, {});
    EXPECT_EQ(-1, mp4_play(p.m));
    EXPECT_EQ(-1, mp4_play_reverse(p.m));
    EXPECT_EQ(-1, mp4_seek(p.m, 0));
    EXPECT_TRUE(p.got.empty());
    EXPECT_NE(std::string::npos, log_since(from).find("can't handle different track timescales"));
}

TEST(Mp4Player, WriterHandleIsNoPlayer)
{
    mp4_muxer *w = mp4_new();
    uint32_t from = log_ring_head();
    EXPECT_EQ(-1, mp4_play(w));
    EXPECT_NE(std::string::npos, log_since(from).find("mp4_play: not a reader muxer"));
    mp4_delete(w);
}

// ---- damaged tables ----

uint32_t be32(const uint8_t *p) { return (uint32_t)p[0] << 24 | p[1] << 16 | p[2] << 8 | p[3]; }
void put_be32(uint8_t *p, uint32_t v)
{
    p[0] = (uint8_t)(v >> 24);
    p[1] = (uint8_t)(v >> 16);
    p[2] = (uint8_t)(v >> 8);
    p[3] = (uint8_t)v;
}

// Offset of the payload of the first box of that type (the video track's come first).
size_t find_box(const Bytes &d, const char *type)
{
    for (size_t i = 4; i + 4 <= d.size(); i++)
        if (memcmp(&d[i], type, 4) == 0)
            return i + 4;
    return 0;
}

// Plays a copy of the ffmpeg file damaged by `damage`; returns the last result and the samples seen.
int play_damaged(const char *name, void (*damage)(Bytes &), size_t *delivered, int (*step)(mp4_muxer *) = mp4_play)
{
    Bytes d = test_read_file(ffmpeg_file());
    damage(d);
    std::string path = path_of(name);
    FILE *f = fopen(path.c_str(), "wb");
    fwrite(d.data(), 1, d.size(), f);
    fclose(f);
    Player p(path, {});
    int r = p.all(step);
    *delivered = p.got.size();
    for (const Sample &s : p.got)
        EXPECT_LE(s.pos + s.size, d.size());
    return r;
}

TEST(Mp4Player, DamagedTablesStopPlayWithAnError)
{
    size_t n = 0;
    // stsc runs that name chunks beyond stco
    EXPECT_EQ(-1, play_damaged("stsc.mp4", [](Bytes &d) {
        size_t p = find_box(d, "stsc");
        uint32_t entries = be32(&d[p + 4]);
        put_be32(&d[p + 8 + (entries - 1) * 12], 100000);
    }, &n));
    EXPECT_EQ(0u, n);
    // every chunk said to hold many more samples than stco has room for
    EXPECT_EQ(-1, play_damaged("stsc2.mp4", [](Bytes &d) {
        size_t p = find_box(d, "stsc");
        put_be32(&d[p + 8 + 4], 1);
        put_be32(&d[p + 4], 1);
        size_t s = find_box(d, "stco");
        put_be32(&d[s + 4], 2);   // two chunks left
    }, &n));
    // stts covering fewer samples than stsz
    EXPECT_EQ(-1, play_damaged("stts.mp4", [](Bytes &d) {
        size_t p = find_box(d, "stts");
        put_be32(&d[p + 8], be32(&d[p + 8]) - 10);
    }, &n));
    EXPECT_EQ(0u, n);
    // stss entries past the last sample
    EXPECT_EQ(-1, play_damaged("stss.mp4", [](Bytes &d) {
        size_t p = find_box(d, "stss");
        uint32_t entries = be32(&d[p + 4]);
        put_be32(&d[p + 8 + (entries - 1) * 4], 0x7FFFFFF0);
    }, &n, mp4_play_reverse));
    EXPECT_EQ(0u, n);
    // a chunk offset past the end of the file: play stops there
    EXPECT_EQ(-1, play_damaged("stco.mp4", [](Bytes &d) {
        size_t p = find_box(d, "stco");
        uint32_t entries = be32(&d[p + 4]);
        put_be32(&d[p + 8 + (entries / 2) * 4], (uint32_t)d.size() + 100);
    }, &n));
    EXPECT_GT(n, 0u);
    size_t reverse_n = 0;
    EXPECT_EQ(-1, play_damaged("stco_rev.mp4", [](Bytes &d) {
        size_t p = find_box(d, "stco");
        uint32_t entries = be32(&d[p + 4]);
        put_be32(&d[p + 8 + (entries / 2) * 4], 0xFFFFFFF0);
    }, &reverse_n, mp4_play_reverse));
    EXPECT_GT(reverse_n, 0u);
}

TEST(Mp4Player, SampleOutsideTheMdatIsSkippedNotDelivered)
{
    size_t n = 0;
    uint32_t from = log_ring_head();
    // the first video chunk moved into the ftyp: inside the file, outside the mdat
    EXPECT_EQ(1, play_damaged("outside.mp4", [](Bytes &d) {
        size_t p = find_box(d, "stco");
        put_be32(&d[p + 8], 8);
    }, &n));
    std::vector<Sample> probe = ffprobe_packets(ffmpeg_file());
    EXPECT_EQ(probe.size() - 1, n);
    EXPECT_NE(std::string::npos, log_since(from).find("mp4 ignoring sample offset 8,"));
}

} // namespace
