#include "streams/mp4.h"
#include "streams/annexb.h"
#include "streams/mp4_box.h"
#include "core/log.h"
#include "testutil.h"

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <map>
#include <signal.h>
#include <string>
#include <sys/resource.h>
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

std::string run(const std::string &cmd)
{
    return test_run(cmd);
}

Bytes read_file(const std::string &path)
{
    return test_read_file(path);
}

// Test media made by ffmpeg at test time: H.264 access units (Annex B, no B-frames) and ADTS AAC frames.
struct Media {
    std::vector<Bytes> video;
    std::vector<Bytes> audio;
};

// One slice per frame (-threads 1): a frame ends where the unit after its slice begins.
std::vector<Bytes> split_access_units(const Bytes &d)
{
    return test_split_access_units(d);
}

std::vector<Bytes> split_adts(const Bytes &d)
{
    std::vector<Bytes> frames;
    size_t i = 0;
    while (i + 7 <= d.size() && d[i] == 0xFF && (d[i + 1] & 0xF0) == 0xF0) {
        size_t len = (size_t)(d[i + 3] & 3) << 11 | d[i + 4] << 3 | d[i + 5] >> 5;
        if (len < 7 || i + len > d.size())
            break;
        frames.emplace_back(d.begin() + i, d.begin() + i + len);
        i += len;
    }
    return frames;
}

const Media &media()
{
    static Media m;
    if (m.video.empty()) {
        std::string v = path_of("src.h264"), a = path_of("src.aac");
        run("ffmpeg -v error -y -f lavfi -i testsrc=size=320x240:rate=30000/1001 -frames:v 90 -c:v libx264 "
            "-bf 0 -g 30 -threads 1 -pix_fmt yuv420p -f h264 '" + v + "' 2>&1");
        run("ffmpeg -v error -y -f lavfi -i sine=frequency=440:sample_rate=48000 -t 3.1 -ac 2 -c:a aac "
            "-f adts '" + a + "' 2>&1");
        m.video = split_access_units(read_file(v));
        m.audio = split_adts(read_file(a));
    }
    return m;
}

// Writes the media the way the recording does: video track 1, AAC track 2, interleave 0.5 s.
mp4_muxer *recording_writer(FILE *f)
{
    mp4_muxer *m = mp4_new();
    EXPECT_EQ(1u, mp4_video_track_create(m, MP4_FOURCC('a', 'v', 'c', '1'), 90000, 3003, 0, 320, 240, 66, 30));
    EXPECT_EQ(2u, mp4_audio_track_create(m, MP4_FOURCC('m', 'p', '4', 'a'), 90000, 1920, 0, 48000, 2));
    mp4_set_interleave(m, 45000);
    mp4_set_file(m, f);
    return m;
}

// Feeds frames in timestamp order; returns how many video frames went in before an error.
int feed(mp4_muxer *m, const Media &md, int loops = 1)
{
    size_t ai = 0;
    uint64_t audio_ts = 0;
    int frames = 0;
    for (int loop = 0; loop < loops; loop++) {
        for (size_t vi = 0; vi < md.video.size(); vi++) {
            uint64_t video_ts = (uint64_t)frames * 3003;
            if (mp4_write_track(m, 1, md.video[vi].data(), (uint32_t)md.video[vi].size(), 3003) < 0 ||
                mp4_has_error(m))
                return frames;
            frames++;
            while (audio_ts <= video_ts) {
                const Bytes &a = md.audio[ai++ % md.audio.size()];
                if (mp4_write_track(m, 2, a.data(), (uint32_t)a.size(), 1920) < 0 || mp4_has_error(m))
                    return frames;
                audio_ts += 1920;
            }
        }
    }
    return frames;
}

std::string probe(const std::string &path, const std::string &what)
{
    return run("ffprobe -v error " + what + " -of default=nw=1 '" + path + "' 2>&1");
}

// Reads the moov of a finished file with the module's own reader.
mp4_box *read_moov(FILE *f)
{
    mp4_muxer *r = mp4_new_reader();
    r->file = f;
    fseeko(f, 0, SEEK_SET);
    mp4_box *moov = nullptr;
    while (mp4_box *b = rwBox(r, nullptr)) {
        if (b->type == MP4_FOURCC('m', 'o', 'o', 'v')) {
            moov = b;
            break;
        }
        box_free(b);
    }
    r->file = nullptr;
    mp4_delete(r);
    return moov;
}

mp4_box *trak_n(mp4_box *moov, int n)
{
    for (mp4_box *c = moov ? moov->child : nullptr; c; c = c->next)
        if (c->type == MP4_FOURCC('t', 'r', 'a', 'k') && --n == 0)
            return c;
    return nullptr;
}

TEST(Mp4Writer, RecordingOfH264AndAacPlaysInFfmpeg)
{
    const Media &md = media();
    ASSERT_EQ(90u, md.video.size());
    ASSERT_GT(md.audio.size(), 140u);
    std::string path = path_of("rec.mp4");
    FILE *f = fopen(path.c_str(), "w+b");
    mp4_muxer *m = recording_writer(f);
    EXPECT_EQ(90, feed(m, md));
    EXPECT_EQ(0, mp4_finish(m));
    EXPECT_EQ(nullptr, mp4_strerror(m));
    mp4_delete(m);
    fclose(f);

    std::string streams = probe(path, "-count_frames -show_entries stream=codec_tag_string,nb_read_frames,duration");
    EXPECT_NE(std::string::npos, streams.find("codec_tag_string=avc1")) << streams;
    EXPECT_NE(std::string::npos, streams.find("codec_tag_string=mp4a")) << streams;
    EXPECT_NE(std::string::npos, streams.find("nb_read_frames=90")) << streams;
    EXPECT_NE(std::string::npos, streams.find("duration=3.003000")) << streams;
    EXPECT_EQ("", run("ffmpeg -v error -xerror -i '" + path + "' -f null - 2>&1"));

    FILE *rf = fopen(path.c_str(), "rb");
    mp4_box *moov = read_moov(rf);
    ASSERT_NE(nullptr, moov);
    // AAC at 48 kHz with 0.5 s interleave: the first chunk holds 24 frames
    mp4_box *stsc = box_find_path(trak_n(moov, 2), "mdia/minf/stbl/stsc");
    ASSERT_NE(nullptr, stsc);
    ASSERT_GT(stsc->count, 0u);
    EXPECT_EQ(24u, stsc->table[1]);
    // every video keyframe (one per 30 frames) is a sync sample
    mp4_box *stss = box_find_path(trak_n(moov, 1), "mdia/minf/stbl/stss");
    ASSERT_NE(nullptr, stss);
    EXPECT_EQ(3u, stss->count);
    box_free(moov);
    mp4_muxer *check = mp4_new_reader();
    check->file = rf;
    fseeko(rf, 0, SEEK_SET);
    EXPECT_EQ(0, mp4_check_complete(check));
    mp4_delete(check);
    fclose(rf);
}

TEST(Mp4Writer, ParameterSetsAloneSetConfigurationAndWriteNothing)
{
    const Media &md = media();
    const Bytes &key = md.video[0];
    uint32_t header = 0;   // bytes before the IDR slice's start code
    for (size_t i = annexb_find_start_code(key.data(), key.size(), 4); i + 3 < key.size();
         i = annexb_find_start_code(key.data(), key.size(), i + 3))
        if ((key[i + 3] & 0x1F) == 5) {
            header = (uint32_t)annexb_code_begin(key.data(), 0, i);
            break;
        }
    ASSERT_GT(header, 0u);
    std::string path = path_of("params.mp4");
    FILE *f = fopen(path.c_str(), "w+b");
    mp4_muxer *m = mp4_new();
    mp4_video_track_create(m, MP4_FOURCC('a', 'v', 'c', '1'), 90000, 3003, 0, 320, 240, 66, 30);
    mp4_set_file(m, f);
    mp4_write_track(m, 1, key.data(), header, 3003);
    EXPECT_EQ(48u, m->pos);   // ftyp, free, mdat header: no sample bytes
    EXPECT_GT(m->sps_len, 0u);
    EXPECT_GT(m->pps_len, 0u);
    mp4_box *avcc = box_find_path(m->track[0].trak, "mdia/minf/stbl/stsd/avc1/avcC");
    ASSERT_NE(nullptr, avcc);
    EXPECT_EQ(m->sps_len, avcc->sps_len);
    EXPECT_EQ(0, memcmp(avcc->sps, key.data() + 4, avcc->sps_len));
    mp4_finish(m);
    mp4_delete(m);
    fclose(f);
}

TEST(Mp4Writer, EsdsSizesFollowTheirDescriptors)
{
    std::string path = path_of("esds.mp4");
    FILE *f = fopen(path.c_str(), "w+b");
    mp4_muxer *m = mp4_new();
    mp4_video_track_create(m, MP4_FOURCC('m', 'p', '4', 'v'), 90000, 3600, 0, 320, 240, 0, 0);
    mp4_audio_track_create(m, MP4_FOURCC('m', 'p', '4', 'a'), 90000, 2000, 0, 46000, 1);
    mp4_set_file(m, f);
    uint8_t vop[200] = {0, 0, 1, 0xB0, 1, 0, 0, 1, 0xB5, 9};
    const uint32_t header = 110;   // the ES descriptor's length then needs two bytes
    vop[header] = 0;
    vop[header + 1] = 0;
    vop[header + 2] = 1;
    vop[header + 3] = 0xB6;
    mp4_write_track(m, 1, vop, sizeof vop, 3600);
    uint8_t aac[10] = {0x21, 1, 2, 3};
    mp4_write_track(m, 2, aac, sizeof aac, 2000);
    EXPECT_EQ(0, mp4_finish(m));
    mp4_delete(m);
    fseeko(f, 0, SEEK_SET);
    mp4_box *moov = read_moov(f);
    fclose(f);
    ASSERT_NE(nullptr, moov);
    mp4_box *vesds = box_find_path(trak_n(moov, 1), "mdia/minf/stbl/stsd/mp4v/esds");
    ASSERT_NE(nullptr, vesds);
    EXPECT_EQ(header, vesds->es.dsi_len);
    EXPECT_EQ(0, memcmp(vesds->es.dsi, vop, header));
    EXPECT_EQ(mp4_esds_size(&vesds->es), vesds->size);
    EXPECT_EQ(37u + header + 1, vesds->size);
    mp4_box *aesds = box_find_path(trak_n(moov, 2), "mdia/minf/stbl/stsd/mp4a/esds");
    ASSERT_NE(nullptr, aesds);
    EXPECT_EQ(39u, aesds->size);
    ASSERT_EQ(2u, aesds->es.dsi_len);
    // 46 kHz is not in the table: frequency index 15, one channel
    EXPECT_EQ(15, (aesds->es.dsi[0] & 7) << 1 | aesds->es.dsi[1] >> 7);
    EXPECT_EQ(1, (aesds->es.dsi[1] >> 3) & 15);
    box_free(moov);
}

TEST(Mp4Writer, SizeLimitStopsWithItsError)
{
    const Media &md = media();
    std::string path = path_of("limit.mp4");
    FILE *f = fopen(path.c_str(), "w+b");
    mp4_muxer *m = recording_writer(f);
    mp4_set_max_size(m, 60000);
    int frames = feed(m, md);
    EXPECT_LT(frames, 90);
    EXPECT_EQ(MP4_ERR_MAX_SIZE, mp4_get_error(m));
    EXPECT_STREQ("maximum size limit reached", mp4_strerror(m));
    mp4_finish(m);
    mp4_delete(m);
    fclose(f);
    struct stat st;
    ASSERT_EQ(0, stat(path.c_str(), &st));
    EXPECT_LE(st.st_size, 60000);
    EXPECT_EQ("", run("ffmpeg -v error -i '" + path + "' -f null - 2>&1"));
}

// A seekable, readable sink that keeps only the first and the last bytes of a huge file.
struct Sink {
    uint64_t pos = 0, size = 0;
    std::map<uint64_t, uint8_t> head;   // below keep_below
    Bytes tail;                         // from keep_from on
    uint64_t keep_below = 4096, keep_from = 0;
};

ssize_t sink_write(void *c, const char *buf, size_t n)
{
    Sink *s = (Sink *)c;
    for (size_t i = 0; i < n && s->pos + i < s->keep_below; i++)
        s->head[s->pos + i] = (uint8_t)buf[i];
    if (s->pos + n > s->keep_from) {
        uint64_t from = std::max(s->pos, s->keep_from);
        if (s->tail.size() < s->pos + n - s->keep_from)
            s->tail.resize(s->pos + n - s->keep_from);
        memcpy(s->tail.data() + (from - s->keep_from), buf + (from - s->pos), s->pos + n - from);
    }
    s->pos += n;
    s->size = std::max(s->size, s->pos);
    return (ssize_t)n;
}

ssize_t sink_read(void *c, char *buf, size_t n)
{
    Sink *s = (Sink *)c;
    size_t i = 0;
    for (; i < n && s->pos + i < s->size; i++) {
        uint64_t p = s->pos + i;
        if (p < s->keep_below)
            buf[i] = (char)(s->head.count(p) ? s->head[p] : 0);
        else if (p >= s->keep_from && p - s->keep_from < s->tail.size())
            buf[i] = (char)s->tail[p - s->keep_from];
        else
            buf[i] = 0;
    }
    s->pos += i;
    return (ssize_t)i;
}

int sink_seek(void *c, off64_t *off, int whence)
{
    Sink *s = (Sink *)c;
    int64_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? (int64_t)s->pos : (int64_t)s->size;
    s->pos = (uint64_t)(base + *off);
    *off = (off64_t)s->pos;
    return 0;
}

uint64_t be(const uint8_t *p, int n)
{
    uint64_t v = 0;
    for (int i = 0; i < n; i++)
        v = v << 8 | p[i];
    return v;
}

TEST(Mp4Writer, MdatPast4GiBTakesTheFreeBoxForA64BitHeader)
{
    Sink sink;
    sink.keep_from = 48 + (1200ull << 22) - 4096;   // keep the last sample bytes and the moov
    cookie_io_functions_t io = {sink_read, sink_write, sink_seek, nullptr};
    FILE *f = fopencookie(&sink, "w+", io);
    ASSERT_NE(nullptr, f);
    mp4_muxer *m = mp4_new();
    mp4_video_track_create(m, MP4_FOURCC('a', 'v', 'c', '1'), 90000, 3003, 0, 320, 240, 66, 30);
    mp4_set_file(m, f);
    const uint32_t len = 4u << 20;
    Bytes sample(len, 0);
    sample[0] = (uint8_t)((len - 4) >> 24);
    sample[1] = (uint8_t)((len - 4) >> 16);
    sample[2] = (uint8_t)((len - 4) >> 8);
    sample[3] = (uint8_t)(len - 4);
    sample[4] = 0x65;
    const int count = 1200;   // about 4.7 GiB
    for (int i = 0; i < count; i++)
        ASSERT_EQ(0, mp4_write_track(m, 1, sample.data(), len, 3003)) << i;
    ASSERT_EQ(0, mp4_finish(m)) << mp4_strerror(m);
    mp4_delete(m);
    fflush(f);

    uint8_t head[16];
    for (int i = 0; i < 16; i++)
        head[i] = sink.head[32 + i];
    EXPECT_EQ(1u, be(head, 4));
    EXPECT_EQ(0, memcmp(head + 4, "mdat", 4));
    uint64_t mdat_size = be(head + 8, 8);
    EXPECT_EQ(16ull + (uint64_t)count * len, mdat_size);

    mp4_box *moov = read_moov(f);
    ASSERT_NE(nullptr, moov);
    // one track writing without a break is one chunk, which starts low: 32-bit offsets suffice
    mp4_box *stco = box_find_path(trak_n(moov, 1), "mdia/minf/stbl/stco");
    ASSERT_NE(nullptr, stco);
    ASSERT_EQ(1u, stco->count);
    EXPECT_EQ(48u, stco->table[0]);
    mp4_box *stsz = box_find_path(trak_n(moov, 1), "mdia/minf/stbl/stsz");
    EXPECT_EQ((uint32_t)count, stsz->count);
    box_free(moov);
    fclose(f);
}

TEST(Mp4Writer, ChunkOffsetsPast4GiBGoTo64BitEntries)
{
    // Two tracks alternate, so every sample starts a chunk and late offsets pass 4 GiB.
    Sink sink;
    sink.keep_from = 48 + 560ull * ((8u << 20) + 8) - 4096;
    cookie_io_functions_t io = {sink_read, sink_write, sink_seek, nullptr};
    FILE *f = fopencookie(&sink, "w+", io);
    mp4_muxer *m = mp4_new();
    mp4_video_track_create(m, MP4_FOURCC('j', 'p', 'e', 'g'), 90000, 3003, 0, 320, 240, 0, 0);
    mp4_audio_track_create(m, MP4_FOURCC('m', 'p', '4', 'a'), 90000, 1920, 0, 48000, 2);
    mp4_set_file(m, f);
    const uint32_t len = 8u << 20;
    Bytes sample(len, 0x11);
    uint8_t aac[8] = {0x21, 0, 0, 0, 0, 0, 0, 0};
    for (int i = 0; i < 560; i++) {
        ASSERT_EQ(0, mp4_write_track(m, 1, sample.data(), len, 3003));
        ASSERT_EQ(0, mp4_write_track(m, 2, aac, sizeof aac, 1920));
    }
    ASSERT_EQ(0, mp4_finish(m));
    mp4_delete(m);
    fflush(f);
    mp4_box *moov = read_moov(f);
    ASSERT_NE(nullptr, moov);
    for (int n = 1; n <= 2; n++) {
        mp4_box *co64 = box_find_path(trak_n(moov, n), "mdia/minf/stbl/co64");
        ASSERT_NE(nullptr, co64) << n;
        ASSERT_EQ(560u, co64->count);
        uint64_t step = len + sizeof aac;
        uint64_t first = n == 1 ? 48 : 48 + len;
        EXPECT_EQ(first, co64->table[0]);
        EXPECT_EQ(first + 559 * step, co64->table[559]);
        EXPECT_GT(co64->table[559], 0xFFFFFFFFull);
    }
    box_free(moov);
    fclose(f);
}

// The medium fills up under a writer whose stdio buffer holds more than the room left: the
// failure comes at a sample's write or, with the moov first and rewritten every second, at a
// seek, whose flush is the first write to fail. Either way the file left plays.
void disk_full_leaves_a_playable_file(const char *name, bool moov_first)
{
    const Media &md = media();
    std::string path = path_of(name);
    const rlim_t limit = 700 * 1024;
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit rl = {limit, limit};
        setrlimit(RLIMIT_FSIZE, &rl);
        FILE *f = fopen(path.c_str(), "w+b");
        static char iobuf[1 << 20];
        setvbuf(f, iobuf, _IOFBF, sizeof iobuf);
        mp4_muxer *m = recording_writer(f);
        if (moov_first)
            mp4_set_moov_reserve(m, 64 * 1024, 90000);
        feed(m, md, 20);
        int err = mp4_get_error(m);
        mp4_finish(m);
        mp4_delete(m);
        fclose(f);
        _exit(err == MP4_ERR_WRITE ? 0 : 10 + err);
    }
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(0, WEXITSTATUS(status)) << "the failure was not reported as a failed write";
    struct stat st;
    ASSERT_EQ(0, stat(path.c_str(), &st));
    EXPECT_LE((rlim_t)st.st_size, limit);
    EXPECT_EQ("", run("ffmpeg -v error -xerror -i '" + path + "' -f null - 2>&1"));
    std::string streams = probe(path, "-count_frames -show_entries stream=codec_tag_string,nb_read_frames,nb_frames");
    EXPECT_NE(std::string::npos, streams.find("codec_tag_string=avc1")) << streams;
    // the tables list exactly the frames that decode
    size_t a = streams.find("nb_frames="), b = streams.find("nb_read_frames=");
    ASSERT_NE(std::string::npos, a);
    ASSERT_NE(std::string::npos, b);
    int listed = atoi(streams.c_str() + a + 10), decoded = atoi(streams.c_str() + b + 15);
    EXPECT_GT(listed, 30);
    EXPECT_EQ(listed, decoded) << streams;
}

TEST(Mp4Writer, DiskFullStillLeavesAPlayableFile)
{
    disk_full_leaves_a_playable_file("full.mp4", false);
    disk_full_leaves_a_playable_file("full-moov-first.mp4", true);
}

TEST(Mp4Writer, LongRecordingMovesToTimescale600)
{
    std::string path = path_of("long.mp4");
    FILE *f = fopen(path.c_str(), "w+b");
    mp4_muxer *m = mp4_new();
    mp4_video_track_create(m, MP4_FOURCC('j', 'p', 'e', 'g'), 90000, 3003, 0, 320, 240, 0, 0);
    mp4_set_file(m, f);
    uint8_t frame[16] = {0xFF, 0xD8};
    const int count = 800000;   // 7.4 hours at 29.97 frames per second
    for (int i = 0; i < count; i++)
        mp4_write_track(m, 1, frame, sizeof frame, 3003);
    EXPECT_EQ(0, mp4_finish(m));
    mp4_delete(m);
    mp4_box *moov = read_moov(f);
    fclose(f);
    ASSERT_NE(nullptr, moov);
    mp4_box *mvhd = box_find_child(moov, MP4_FOURCC('m', 'v', 'h', 'd'));
    EXPECT_EQ(600u, mvhd->timescale);
    EXPECT_EQ((uint64_t)count * 3003 * 600 / 90000, mvhd->duration);
    mp4_box *mdhd = box_find_path(trak_n(moov, 1), "mdia/mdhd");
    EXPECT_EQ(30000u, mdhd->timescale);   // 3003-tick frames: divided by 3
    EXPECT_EQ((uint64_t)count * 1001, mdhd->duration);
    mp4_box *stts = box_find_path(trak_n(moov, 1), "mdia/minf/stbl/stts");
    ASSERT_EQ(1u, stts->count);
    EXPECT_EQ(1001u, stts->table[1]);
    box_free(moov);
}

TEST(Mp4BufferMode, EachSampleIsOneMdatWithTheFirstStartCodeAsLength)
{
    const Media &md = media();
    mp4_muxer *m = mp4_new();
    mp4_video_track_create(m, MP4_FOURCC('a', 'v', 'c', '1'), 90000, 3003, 0, 320, 240, 66, 30);
    mp4_audio_track_create(m, MP4_FOURCC('m', 'p', '4', 'a'), 90000, 1920, 0, 48000, 2);
    Bytes out(0xd8000);
    const Bytes &p = md.video[1];   // a P frame: one slice, nothing to strip
    mp4_buf_put(m, out.data(), (uint32_t)out.size());
    ASSERT_EQ(0, mp4_write_track(m, 1, p.data(), (uint32_t)p.size(), 3003));
    ASSERT_EQ(0, mp4_write_track(m, 2, md.audio[0].data(), (uint32_t)md.audio[0].size(), 1920));
    uint32_t n = mp4_buf_drain(m);
    ASSERT_EQ(p.size() + 8 + md.audio[0].size() + 8, n);
    EXPECT_EQ(p.size() + 8, be(out.data(), 4));
    EXPECT_EQ(0, memcmp(out.data() + 4, "mdat", 4));
    EXPECT_EQ(p.size() - 4, be(out.data() + 8, 4));
    EXPECT_EQ(0, memcmp(out.data() + 12, p.data() + 4, p.size() - 4));
    EXPECT_EQ(0, memcmp(out.data() + p.size() + 16, md.audio[0].data(), md.audio[0].size()));   // ADTS kept
    EXPECT_EQ(0u, p[0] | p[1] | p[2]);   // the caller's frame is left as it was
    EXPECT_EQ(1u, p[3]);
    EXPECT_FALSE(mp4_has_error(m));
    mp4_delete(m);
}

TEST(Mp4BufferMode, SampleLogStaysBoundedAcrossBuffers)
{
    mp4_muxer *m = mp4_new();
    mp4_video_track_create(m, MP4_FOURCC('a', 'v', 'c', '1'), 90000, 3003, 0, 320, 240, 66, 30);
    Bytes out(4096);
    uint8_t frame[64] = {0, 0, 0, 1, 0x41};
    for (int i = 0; i < 10000; i++) {
        mp4_buf_put(m, out.data(), (uint32_t)out.size());
        mp4_write_track(m, 1, frame, sizeof frame, 3003);
        EXPECT_EQ(72u, mp4_buf_drain(m));
    }
    EXPECT_LE(m->track[0].sample_count, 1u);
    mp4_delete(m);
}

TEST(Mp4BufferMode, OverflowDeliversWhatFitsAndSetsError6)
{
    mp4_muxer *m = mp4_new();
    mp4_video_track_create(m, MP4_FOURCC('a', 'v', 'c', '1'), 90000, 3003, 0, 320, 240, 66, 30);
    Bytes out(100);
    Bytes frame(300, 0x5A);
    frame[0] = frame[1] = frame[2] = 0;
    frame[3] = 1;
    frame[4] = 0x41;
    mp4_buf_put(m, out.data(), (uint32_t)out.size());
    mp4_write_track(m, 1, frame.data(), (uint32_t)frame.size(), 3003);
    EXPECT_EQ(MP4_ERR_OVERFLOW, mp4_get_error(m));
    EXPECT_EQ(100u, mp4_buf_drain(m));
    EXPECT_EQ(0x5A, out[99]);
    mp4_delete(m);
}

TEST(Mp4BufferMode, StreamReadsBackThroughTheBufferedReader)
{
    const Media &md = media();
    mp4_muxer *w = mp4_new();
    mp4_video_track_create(w, MP4_FOURCC('a', 'v', 'c', '1'), 90000, 3003, 0, 320, 240, 66, 30);
    mp4_audio_track_create(w, MP4_FOURCC('m', 'p', '4', 'a'), 90000, 1920, 0, 48000, 2);
    Bytes stream;
    Bytes out(0xd8000);
    mp4_buf_put(w, out.data(), (uint32_t)out.size());
    EXPECT_EQ(0, mp4_finish(w));   // init movie first, as a peer needs it before samples
    stream.insert(stream.end(), out.begin(), out.begin() + mp4_buf_drain(w));
    for (int i = 1; i < 6; i++) {
        mp4_buf_put(w, out.data(), (uint32_t)out.size());
        mp4_write_track(w, 1, md.video[i].data(), (uint32_t)md.video[i].size(), 3003);
        mp4_write_track(w, 2, md.audio[i].data(), (uint32_t)md.audio[i].size(), 1920);
        stream.insert(stream.end(), out.begin(), out.begin() + mp4_buf_drain(w));
    }
    EXPECT_FALSE(mp4_has_error(w));
    mp4_delete(w);

    // deliver in pieces that split boxes anywhere
    mp4_muxer *r = mp4_new_reader();
    size_t consumed = 0, piece = 777;
    int video = 0, audio = 0;
    while (consumed < stream.size()) {
        size_t avail = std::min(stream.size() - consumed, piece);
        Bytes chunk(stream.begin() + consumed, stream.begin() + consumed + avail);
        mp4_buf_put(r, chunk.data(), (uint32_t)chunk.size());
        const uint8_t *payload;
        uint32_t len;
        while (mp4_get_mdat(r, &payload, &len)) {
            if (payload[0] == 0) {
                EXPECT_EQ((uint64_t)video * 3003, mp4_track_advance_ts(r, 1));
                EXPECT_EQ(md.video[video + 1].size(), len);
                video++;
            } else {
                EXPECT_EQ((uint64_t)audio * 1920, mp4_track_advance_ts(r, 2));
                EXPECT_EQ(0, memcmp(payload, md.audio[audio + 1].data(), len));
                audio++;
            }
        }
        uint32_t used = mp4_buf_drain(r);
        if (used == 0)
            piece *= 2;   // the next box is larger than the piece
        consumed += used;
        if (piece > stream.size() * 2)
            break;
    }
    EXPECT_EQ(stream.size(), consumed);
    EXPECT_EQ(5, video);
    EXPECT_EQ(5, audio);
    EXPECT_EQ(MP4_FOURCC('a', 'v', 'c', '1'), mp4_get_fourcc(r, 1));
    EXPECT_EQ(MP4_FOURCC('m', 'p', '4', 'a'), mp4_get_fourcc(r, 2));
    EXPECT_EQ(3003u, mp4_track_duration(r, 1));
    EXPECT_EQ(0u, mp4_track_duration(r, 3));
    EXPECT_FALSE(mp4_has_error(r));
    mp4_delete(r);
}

uint32_t adler32(const uint8_t *d, size_t n)
{
    uint32_t a = 1, b = 0;
    for (size_t i = 0; i < n; i++) {
        a = (a + d[i]) % 65521;
        b = (b + a) % 65521;
    }
    return b << 16 | a;
}

TEST(Mp4Reader, ReadsAnFfmpegFragmentedFileSampleBySample)
{
    std::string path = path_of("frag.mp4");
    run("ffmpeg -v error -y -f lavfi -i testsrc=size=160x120:rate=25 -frames:v 60 -c:v libx264 -bf 0 -g 25 "
        "-threads 1 -movflags empty_moov+frag_every_frame -video_track_timescale 90000 '" + path + "' 2>&1");
    std::string packets = run("ffprobe -v error -show_entries packet=pts,size,data_hash -show_data_hash adler32 "
                              "-of csv=p=0 '" + path + "'");
    Bytes file = read_file(path);
    ASSERT_FALSE(file.empty());

    mp4_muxer *r = mp4_new_reader();
    mp4_buf_put(r, file.data(), (uint32_t)file.size());
    std::string mine;
    const uint8_t *payload;
    uint32_t len;
    while (mp4_get_mdat(r, &payload, &len)) {
        char line[80];
        snprintf(line, sizeof line, "%llu,%u,adler32:%08x\n", (unsigned long long)mp4_track_advance_ts(r, 1), len,
                 adler32(payload, len));
        mine += line;
    }
    EXPECT_EQ(file.size(), mp4_buf_drain(r));
    EXPECT_FALSE(mp4_has_error(r));
    EXPECT_EQ(MP4_FOURCC('a', 'v', 'c', '1'), mp4_get_fourcc(r, 1));
    EXPECT_EQ(90000u, mp4_get_timescale(r, 1));
    uint32_t cl = mp4_get_config_length(r);
    ASSERT_GT(cl, 8u);
    Bytes config(cl);
    EXPECT_EQ(0, mp4_get_parameter_data(r, config.data()));
    EXPECT_EQ(0x67, config[4] & 0x7F);   // SPS after the first start code
    mp4_delete(r);
    EXPECT_EQ(60, (int)std::count(packets.begin(), packets.end(), '\n'));
    EXPECT_EQ(packets, mine);
}

TEST(Mp4Reader, BoxSplitAcrossBuffersIsReadOnceWhole)
{
    uint8_t box[20] = {0, 0, 0, 20, 'm', 'd', 'a', 't', 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    mp4_muxer *r = mp4_new_reader();
    const uint8_t *p;
    uint32_t len = 99;
    for (uint32_t cut : {3u, 8u, 19u}) {
        mp4_buf_put(r, box, cut);
        EXPECT_EQ(0, mp4_get_mdat(r, &p, &len)) << cut;
        EXPECT_EQ(0u, mp4_buf_drain(r));
    }
    EXPECT_EQ(99u, len);
    mp4_buf_put(r, box, sizeof box);
    ASSERT_EQ(1, mp4_get_mdat(r, &p, &len));
    EXPECT_EQ(12u, len);
    EXPECT_EQ(box + 8, p);
    EXPECT_EQ(20u, mp4_buf_drain(r));
    EXPECT_FALSE(mp4_has_error(r));
    mp4_delete(r);
}

TEST(Mp4Reader, BoxSmallerThanItsHeaderIsCorruptInput)
{
    // 1 is a 64-bit size, here 7; 0 runs to the end (below).
    for (uint8_t size = 1; size < 8; size++) {
        uint8_t box[16] = {0, 0, 0, size, 'm', 'o', 'o', 'v', 0, 0, 0, 0, 0, 0, 0, 7};
        mp4_muxer *r = mp4_new_reader();
        mp4_buf_put(r, box, sizeof box);
        const uint8_t *p;
        uint32_t len;
        EXPECT_EQ(0, mp4_get_mdat(r, &p, &len));
        EXPECT_EQ(MP4_ERR_BAD_INPUT, mp4_get_error(r)) << (int)size;
        EXPECT_STREQ("bad input", mp4_strerror(r));
        mp4_delete(r);
    }
}

TEST(Mp4Reader, BoxOfSizeZeroRunsToTheEndOfTheStream)
{
    uint8_t data[40] = {0, 0, 0, 16, 'f', 'r', 'e', 'e', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 'm', 'd', 'a', 't'};
    for (int i = 24; i < 40; i++)
        data[i] = (uint8_t)i;
    mp4_muxer *r = mp4_new_reader();
    const uint8_t *p = nullptr;
    uint32_t len = 0;
    // While the sender may still send, its end is not known: the box waits.
    mp4_buf_put(r, data, sizeof data);
    EXPECT_EQ(0, mp4_get_mdat(r, &p, &len));
    EXPECT_EQ(16u, mp4_buf_drain(r));
    EXPECT_FALSE(mp4_has_error(r));
    mp4_buf_put(r, data + 16, sizeof data - 16);
    mp4_buf_last(r);
    ASSERT_EQ(1, mp4_get_mdat(r, &p, &len));
    EXPECT_EQ(data + 24, p);
    EXPECT_EQ(16u, len);
    EXPECT_EQ(0, mp4_get_mdat(r, &p, &len));
    EXPECT_EQ(24u, mp4_buf_drain(r));
    EXPECT_FALSE(mp4_has_error(r)) << mp4_strerror(r);
    mp4_delete(r);
}

// moov { trak { tkhd, mdia { minf { stbl { <table> } } } } } with the table box given
Bytes movie_with(const Bytes &table)
{
    auto wrap = [](const char *type, const Bytes &payload) {
        Bytes b(8);
        uint32_t n = (uint32_t)payload.size() + 8;
        b[0] = (uint8_t)(n >> 24); b[1] = (uint8_t)(n >> 16); b[2] = (uint8_t)(n >> 8); b[3] = (uint8_t)n;
        memcpy(b.data() + 4, type, 4);
        b.insert(b.end(), payload.begin(), payload.end());
        return b;
    };
    Bytes mvhd(100, 0);
    mvhd[99] = 2;
    return wrap("moov", [&] {
        Bytes m = wrap("mvhd", mvhd);
        Bytes t = wrap("trak", wrap("mdia", wrap("minf", wrap("stbl", table))));
        m.insert(m.end(), t.begin(), t.end());
        return m;
    }());
}

TEST(Mp4Reader, CountsBeyondTheDataAreRejected)
{
    const char *tables[] = {"stts", "stsz", "stsc", "stco", "co64", "stss", "elst", "trun", "sbgp", "ftyp"};
    for (const char *type : tables) {
        // a count of 0x10000000 entries in a box that holds one
        Bytes payload = {0, 0, 0, 0, 0, 0, 0, 0, 0x10, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 1};
        Bytes box = {0, 0, 0, (uint8_t)(payload.size() + 8), (uint8_t)type[0], (uint8_t)type[1], (uint8_t)type[2],
                     (uint8_t)type[3]};
        if (std::string(type) != "stsz")
            payload.erase(payload.begin() + 4, payload.begin() + 8);   // no sample_size field
        if (std::string(type) == "trun")
            payload[2] = 0x01;   // per-sample durations present
        box[3] = (uint8_t)(payload.size() + 8);
        box.insert(box.end(), payload.begin(), payload.end());
        Bytes movie = movie_with(box);
        mp4_muxer *r = mp4_new_reader();
        mp4_buf_put(r, movie.data(), (uint32_t)movie.size());
        const uint8_t *p;
        uint32_t len;
        EXPECT_EQ(0, mp4_get_mdat(r, &p, &len));
        if (std::string(type) != "ftyp") {
            EXPECT_EQ(MP4_ERR_BAD_INPUT, mp4_get_error(r)) << type;
        }
        EXPECT_EQ(movie.size(), mp4_buf_drain(r)) << type;
        mp4_delete(r);
    }
}

TEST(Mp4Reader, DescriptorLongerThanItsBoxIsRejected)
{
    // esds whose DecoderConfigDescriptor claims far more bytes than the box holds
    Bytes esds = {0, 0, 0, 0, 3, 0x80, 0x80, 0x80, 0x7F, 0, 1, 0};
    Bytes box = {0, 0, 0, (uint8_t)(esds.size() + 8), 'e', 's', 'd', 's'};
    box.insert(box.end(), esds.begin(), esds.end());
    mp4_muxer *r = mp4_new_reader();
    mp4_buf_put(r, box.data(), (uint32_t)box.size());
    const uint8_t *p;
    uint32_t len;
    EXPECT_EQ(0, mp4_get_mdat(r, &p, &len));
    EXPECT_EQ(MP4_ERR_BAD_INPUT, mp4_get_error(r));
    mp4_delete(r);
}

TEST(Mp4Reader, LongDecoderSpecificInfoKeepsItsFirst128Bytes)
{
    // esds { ES(3) { DecoderConfig(4) { DSI(5) of 200 bytes } SL(6) } }
    Bytes dsi(200);
    for (size_t i = 0; i < dsi.size(); i++)
        dsi[i] = (uint8_t)i;
    Bytes d5 = {5, 0x81, 0x48};   // 200 in two length bytes
    d5.insert(d5.end(), dsi.begin(), dsi.end());
    Bytes d4 = {4, 0x81, (uint8_t)(13 + d5.size() - 128), 0x40, 0x15, 0, 0x3A, 0x98, 0, 0, 0, 0, 0, 0, 0, 0};
    d4.insert(d4.end(), d5.begin(), d5.end());
    Bytes d3 = {3, 0x81, (uint8_t)(3 + d4.size() + 3 - 128), 0, 1, 0};
    d3.insert(d3.end(), d4.begin(), d4.end());
    d3.insert(d3.end(), {6, 1, 2});
    Bytes box = {0, 0, 0, 0, 'e', 's', 'd', 's', 0, 0, 0, 0};
    box.insert(box.end(), d3.begin(), d3.end());
    box[2] = (uint8_t)(box.size() >> 8);
    box[3] = (uint8_t)box.size();
    mp4_muxer *r = mp4_new_reader();
    mp4_buf_put(r, box.data(), (uint32_t)box.size());
    mp4_box *esds = rwBox(r, nullptr);
    ASSERT_NE(nullptr, esds);
    EXPECT_FALSE(mp4_has_error(r));
    EXPECT_EQ(0x40, esds->es.object_type);
    EXPECT_EQ(15000u, esds->es.buffer_size_db);
    ASSERT_EQ(128u, esds->es.dsi_len);
    EXPECT_EQ(0, memcmp(esds->es.dsi, dsi.data(), 128));
    EXPECT_EQ(2, esds->es.sl_predefined);   // the rest of the long one is skipped, not misread
    EXPECT_EQ(box.size(), mp4_buf_drain(r));
    box_free(esds);
    mp4_delete(r);
}

TEST(Mp4Writer, FixedSizeBoxWrittenShortIsPaddedWithFree)
{
    Bytes out(64, 0xEE);
    mp4_muxer *w = mp4_new();
    mp4_buf_put(w, out.data(), (uint32_t)out.size());
    mp4_box *udta = new_box(MP4_FOURCC('u', 'd', 't', 'a'));
    udta->node_flags &= (uint8_t)~BOX_RESIZABLE;
    udta->size = 40;   // reserved room, only the header is used
    rwBox(w, udta);
    EXPECT_EQ(40u, mp4_buf_drain(w));
    EXPECT_EQ(40u, be(out.data(), 4));
    EXPECT_EQ(32u, be(out.data() + 8, 4));
    EXPECT_EQ(0, memcmp(out.data() + 12, "free", 4));
    EXPECT_EQ(0xEE, out[40]);
    box_free(udta);
    mp4_delete(w);
}

TEST(Mp4Handle, SettersAndChecks)
{
    mp4_muxer *m = mp4_new();
    EXPECT_EQ(-1, mp4_open_file(m, path_of("no/such/dir/x.mp4").c_str()));
    EXPECT_EQ(MP4_ERR_OPEN, mp4_get_error(m));
    EXPECT_STREQ("file open failed", mp4_strerror(m));
    mp4_set_error(m, MP4_ERR_SEEK);
    EXPECT_EQ(MP4_ERR_SEEK, mp4_get_error(m));
    EXPECT_EQ(-1, mp4_check_complete(m));   // not a reader
    mp4_delete(m);
    mp4_delete(nullptr);
    EXPECT_EQ(nullptr, box_find_child(nullptr, MP4_FOURCC('m', 'o', 'o', 'v')));

    // a recording cut before its moov is not complete
    const Media &md = media();
    std::string path = path_of("cut.mp4");
    FILE *f = fopen(path.c_str(), "w+b");
    mp4_muxer *w = recording_writer(f);
    feed(w, md);
    fflush(f);
    mp4_muxer *r = mp4_new_reader();
    r->file = f;
    fseeko(f, 0, SEEK_SET);
    EXPECT_EQ(-1, mp4_check_complete(r));
    r->file = nullptr;
    mp4_delete(r);
    mp4_delete(w);
    fclose(f);

    // a file descriptor target writes the same bytes as a stream
    std::string fdpath = path_of("fd.mp4");
    int fd = open(fdpath.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    w = mp4_new();
    mp4_video_track_create(w, MP4_FOURCC('a', 'v', 'c', '1'), 90000, 3003, 0, 320, 240, 66, 30);
    mp4_set_fd(w, fd);
    mp4_set_verbose(w, 1);
    for (int i = 0; i < 30; i++)
        mp4_write_track(w, 1, md.video[i].data(), (uint32_t)md.video[i].size(), 3003);
    EXPECT_EQ(0, mp4_finish(w));
    mp4_delete(w);
    close(fd);
    r = mp4_new_reader();
    ASSERT_EQ(0, mp4_open_file(r, fdpath.c_str()));
    EXPECT_EQ(0, mp4_check_complete(r));
    mp4_delete(r);
    EXPECT_EQ("", run("ffmpeg -v error -xerror -i '" + fdpath + "' -f null - 2>&1"));
}

} // namespace

namespace {

std::string log_since(uint32_t from)
{
    std::vector<char> buf(LOG_RING_SIZE);
    uint32_t n = log_ring_read(from, buf.data(), (uint32_t)buf.size());
    return std::string(buf.data(), n);
}

int allocs_left;
void *failing_realloc(void *p, size_t n)
{
    if (allocs_left-- <= 0)
        return nullptr;
    return realloc(p, n);
}

// Reads one 20-byte mdat with the reader's node allocation failing after `ok` calls.
std::string read_with_allocs(int ok, int *error)
{
    uint8_t box[20] = {0, 0, 0, 20, 'm', 'd', 'a', 't'};
    mp4_muxer *r = mp4_new_reader();
    mp4_buf_put(r, box, sizeof box);
    uint32_t from = log_ring_head();
    allocs_left = ok;
    mp4_box_realloc = failing_realloc;
    const uint8_t *p;
    uint32_t len = 0;
    EXPECT_EQ(0, mp4_get_mdat(r, &p, &len));
    mp4_box_realloc = realloc;
    *error = mp4_get_error(r);
    mp4_delete(r);
    return log_since(from);
}

} // namespace

TEST(Mp4Box, NodeAllocationFailuresAreNamedAndSetError2)
{
    int error = 0;
    std::string log = read_with_allocs(0, &error);
    EXPECT_NE(log.find("rwBox: failed to allocate memory for box mdat\n"), std::string::npos) << log;
    EXPECT_EQ(MP4_ERR_NOMEM, error);
    log = read_with_allocs(1, &error);
    EXPECT_NE(log.find("extendBox: failed to realloc size="), std::string::npos) << log;
    EXPECT_EQ(MP4_ERR_NOMEM, error);
}

TEST(Mp4Box, SampleEntryOfAnUnknownHandlerIsNamedBySize)
{
    auto box = [](mp4_box *parent, const char *type) {
        mp4_box *b = new_box(MP4_FOURCC(type[0], type[1], type[2], type[3]));
        if (parent)
            box_append_child(parent, b);
        return b;
    };
    mp4_box *mdia = box(nullptr, "mdia");
    mp4_box *hdlr = box(mdia, "hdlr");
    hdlr->handler_type = MP4_FOURCC('t', 'e', 'x', 't');
    mp4_box *stsd = box(box(box(mdia, "minf"), "stbl"), "stsd");
    mp4_box *entry = box(stsd, "tx3g");
    uint32_t from = log_ring_head();
    checkBoxSize(entry);
    std::string log = log_since(from);
    EXPECT_NE(log.find("checkBoxSize: unhandled handler_type=text\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("unhandled type="), std::string::npos) << log;
    // a hint track's entry is a plain sample entry: 8 bytes after the header
    hdlr->handler_type = MP4_FOURCC('h', 'i', 'n', 't');
    from = log_ring_head();
    EXPECT_EQ(16u, checkBoxSize(entry));
    EXPECT_EQ(log_since(from), "");
    box_free(mdia);
}
