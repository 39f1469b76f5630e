#include "streams/mp4.h"
#include "core/log.h"
#include "testutil.h"

#include <algorithm>
#include <cstring>
#include <gtest/gtest.h>
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

std::string run(const std::string &cmd) { return test_run(cmd); }

std::string log_since(uint32_t from)
{
    std::vector<char> buf(LOG_RING_SIZE);
    uint32_t n = log_ring_read(from, buf.data(), (uint32_t)buf.size());
    return std::string(buf.data(), n);
}

std::string fragmented(const std::string &name, const std::string &video_opts, const std::string &flags = "")
{
    std::string path = path_of(name);
    run("ffmpeg -v error -y -f lavfi -i testsrc=size=160x120:rate=25 -f lavfi -i sine=frequency=440:sample_rate=48000 "
        "-t 6 -c:v libx264 " + video_opts + " -g 25 -c:a aac -movflags frag_keyframe+empty_moov" + flags + " '" +
        path + "' 2>&1");
    return path;
}

// Every packet as ffprobe reads it, per stream in decode order (file order differs between layouts).
std::string packets(const std::string &path)
{
    // durations left out: a fragment's demuxer derives the first and last ones differently
    std::string out = run("ffprobe -v error -show_entries packet=stream_index,pts,dts,size,flags "
                          "-show_data_hash adler32 -show_entries packet=data_hash -of csv=p=0 '" + path + "'");
    std::vector<std::string> lines[2];
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line))
        if (!line.empty() && (line[0] == '0' || line[0] == '1'))
            lines[line[0] - '0'].push_back(line);
    std::string all;
    for (auto &l : lines)
        for (auto &s : l)
            all += s + "\n";
    return all;
}

std::string layout(const Bytes &d)
{
    std::string s;
    for (uint64_t p = 0; p + 8 <= d.size();) {
        uint64_t size = (uint64_t)d[p] << 24 | d[p + 1] << 16 | d[p + 2] << 8 | d[p + 3];
        s += (s.empty() ? "" : " ") + std::string(d.begin() + (long)p + 4, d.begin() + (long)p + 8);
        if (size < 8)
            break;
        p += size;
    }
    return s;
}

int defrag(const std::string &in, const std::string &out)
{
    mp4_muxer *h = mp4_new_defrag_reader();
    EXPECT_EQ(0, mp4_open_file(h, out.c_str()));
    FILE *f = fopen(in.c_str(), "rb");
    int r = mp4_remux(h, f);
    if (mp4_finish(h) < 0)
        r = -1;
    if (mp4_get_error(h))
        r = -mp4_get_error(h);
    mp4_delete(h);
    fclose(f);
    return r;
}

TEST(Mp4Remux, FragmentedFfmpegFileBecomesAPlainFileWithTheSamePackets)
{
    for (std::string opts : {"-bf 0", "-bf 2"}) {
        std::string in = fragmented("frag.mp4", opts), out = path_of("plain.mp4");
        std::string want = packets(in);
        ASSERT_GT(want.size(), 1000u);
        EXPECT_EQ(0, defrag(in, out)) << opts;
        EXPECT_EQ("ftyp free mdat moov", layout(test_read_file(out)));
        std::string got = packets(out);
        EXPECT_TRUE(want == got) << opts << ": " << want.size() << " vs " << got.size() << " bytes of packet list";
        EXPECT_EQ("", run("ffmpeg -v error -xerror -i '" + out + "' -f null - 2>&1")) << opts;
    }
}

TEST(Mp4Remux, RemuxWriterTakesItsInputThroughTheSetters)
{
    std::string in = fragmented("frag_w.mp4", "-bf 0"), out = path_of("plain_w.mp4");
    mp4_muxer *h = mp4_new_remux_writer();
    FILE *fi = fopen(in.c_str(), "rb"), *fo = fopen(out.c_str(), "w+b");
    mp4_set_file(h, fi);   // reaches the reader child
    EXPECT_EQ(0, mp4_remux(h, fo));
    EXPECT_EQ(0, mp4_finish(h));
    mp4_delete(h);
    fclose(fi);
    fclose(fo);
    EXPECT_EQ(packets(in), packets(out));
}

TEST(Mp4Remux, OnlyRemuxHandlesRemux)
{
    mp4_muxer *w = mp4_new(), *r = mp4_new_reader();
    uint32_t from = log_ring_head();
    EXPECT_EQ(-1, mp4_remux(w, nullptr));
    EXPECT_EQ(-1, mp4_remux(r, nullptr));
    EXPECT_NE(std::string::npos, log_since(from).find("mp4_remux: not a remuxable handle"));
    mp4_delete(w);
    mp4_delete(r);
}

uint32_t be32(const uint8_t *p) { return (uint32_t)p[0] << 24 | p[1] << 16 | p[2] << 8 | p[3]; }

// The input with `extra` empty mdat boxes after its moov and the first trun's data sent far away
// (its fragments count their data from the moof, so the boxes in front move nothing).
std::string damaged(const std::string &in, int extra)
{
    Bytes d = test_read_file(in);
    size_t moov = 0;
    while (moov + 8 <= d.size() && memcmp(&d[moov + 4], "moov", 4) != 0)
        moov += be32(&d[moov]);
    size_t after = moov + be32(&d[moov]);
    Bytes out(d.begin(), d.begin() + (long)after);
    for (int i = 0; i < extra; i++) {
        const uint8_t empty[8] = {0, 0, 0, 8, 'm', 'd', 'a', 't'};
        out.insert(out.end(), empty, empty + 8);
    }
    out.insert(out.end(), d.begin() + (long)after, d.end());
    auto trun = std::search(out.begin(), out.end(), "trun", "trun" + 4) - out.begin();
    // version/flags, sample count, then the data offset
    out[trun + 12] = 0x40;
    std::string path = in + ".damaged";
    FILE *f = fopen(path.c_str(), "wb");
    fwrite(out.data(), 1, out.size(), f);
    fclose(f);
    return path;
}

TEST(Mp4Remux, SampleInNoMdatKeepsItsDurationOrFailsPastTheSearchLimit)
{
    std::string in = fragmented("frag_d.mp4", "-bf 0", "+default_base_moof");
    std::string out = path_of("plain_d.mp4");
    uint32_t from = log_ring_head();
    // a few mdat boxes: the lost samples only give up their data
    EXPECT_EQ(0, defrag(damaged(in, 3), out));
    EXPECT_NE(std::string::npos, log_since(from).find("failed to find a MDAT containing referenced track data"));
    // the first fragment's video is gone; the rest keeps its times: the output starts where the
    // input's second key frame is
    std::string keys = run("ffprobe -v error -select_streams v -show_entries packet=pts_time,flags -of csv=p=0 '" +
                           in + "' | grep K | head -2 | tail -1");
    std::string first = run("ffprobe -v error -select_streams v -show_entries packet=pts_time,flags -of csv=p=0 '" +
                            out + "' | head -1");
    EXPECT_EQ(keys, first);
    EXPECT_NE("", first);
    EXPECT_EQ("", run("ffmpeg -v error -i '" + out + "' -f null - 2>&1 | head -5"));
    // more mdat boxes than a search may cover: error 7
    EXPECT_EQ(-7, defrag(damaged(in, 501), path_of("plain_d7.mp4")));
}

} // namespace

namespace {

TEST(Mp4Remux, OutputSettersReachTheChildWriter)
{
    std::string in = fragmented("frag_s.mp4", "-bf 0"), out = path_of("plain_s.mp4");
    mp4_muxer *h = mp4_new_defrag_reader();
    ASSERT_EQ(0, mp4_open_file(h, out.c_str()));
    mp4_set_max_size(h, 40000);
    FILE *f = fopen(in.c_str(), "rb");
    EXPECT_EQ(-1, mp4_remux(h, f));
    EXPECT_EQ(9, mp4_get_error(h));
    EXPECT_STREQ("maximum size limit reached", mp4_strerror(h));
    mp4_finish(h);
    mp4_delete(h);
    fclose(f);
    struct stat st;
    ASSERT_EQ(0, stat(out.c_str(), &st));
    EXPECT_LE(st.st_size, 40000);
    // what went in before the limit still plays
    EXPECT_EQ("", run("ffmpeg -v error -i '" + out + "' -f null - 2>&1"));
    int packets = atoi(run("ffprobe -v error -count_packets -select_streams v -show_entries stream=nb_read_packets "
                           "-of csv=p=0 '" + out + "'").c_str());
    EXPECT_GT(packets, 10);
    EXPECT_LT(packets, 150);
}

} // namespace

namespace {

TEST(Mp4Remux, FirstFragmentHeldByTheMoovIsKept)
{
    std::string in = path_of("frag_moov.mp4"), out = path_of("plain_moov.mp4");
    run("ffmpeg -v error -y -f lavfi -i testsrc=size=160x120:rate=25 -f lavfi -i sine=sample_rate=48000 -t 4 "
        "-c:v libx264 -bf 0 -g 25 -c:a aac -movflags frag_keyframe '" + in + "' 2>&1");
    std::string want = packets(in);
    ASSERT_GT(want.size(), 1000u);
    EXPECT_EQ(0, defrag(in, out));
    std::string got = packets(out);
    EXPECT_TRUE(want == got) << want.size() << " vs " << got.size() << " bytes of packet list";
    EXPECT_EQ("", run("ffmpeg -v error -xerror -i '" + out + "' -f null - 2>&1"));
}

} // namespace
