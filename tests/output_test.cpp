// The output thread's consume step with stub decoders: units found in any conforming elementary
// stream, garbage and overlong units skipped, the first keyframe awaited, transport-stream PES
// copies bounded by their destinations.
#include "video/output.h"

#include "streams/mp4.h"
#include "streams/stream_mode.h"
#include "streams/tsmux.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Stub {
    std::vector<std::vector<uint8_t>> units;
    std::vector<uint32_t> unitTs;
    std::vector<int> created;
    std::vector<std::vector<uint8_t>> audio;
    std::vector<uint8_t> record = std::vector<uint8_t>(4096);
    int audioStarts = 0;
    int flushes = 0;
    int jpegs = 0;
    bool recordFree = true;
    bool held = false;
};

Stub *stub;

int create_video(void *, int codec, bool)
{
    stub->created.push_back(codec);
    return codec == 16 ? -1 : 0;
}
int decode_video(void *, uint8_t *u, size_t n, uint32_t ts)
{
    if (n == 0) {
        stub->flushes++;
        return 0;
    }
    stub->units.emplace_back(u, u + n);
    stub->unitTs.push_back(ts);
    return (int)n;
}
int decode_jpeg(void *, uint8_t *u, size_t n)
{
    stub->jpegs++;
    stub->units.emplace_back(u, u + n);
    return 0;
}
void audio_start(void *, int)
{
    stub->audioStarts++;
}
uint8_t *audio_get(void *, size_t *cap)
{
    if (!stub->recordFree || stub->held)
        return nullptr;
    stub->held = true;
    *cap = stub->record.size();
    return stub->record.data();
}
int audio_put(void *, size_t n, uint32_t)
{
    EXPECT_TRUE(stub->held);
    stub->held = false;
    if (n)
        stub->audio.emplace_back(stub->record.begin(), stub->record.begin() + (long)n);
    return 0;
}
bool no_clock(void *, uint32_t *)
{
    return false;
}
bool never(void *)
{
    return false;
}
const OutputSink SINK = {nullptr, create_video, decode_video, decode_jpeg, audio_start,
                         audio_get, audio_put, no_clock, never};

typedef std::vector<uint8_t> Bytes;

Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// NAL units with 3- or 4-byte start codes; first_mb 0 when first is set.
Bytes nal(uint8_t header, bool four = false, bool first = true, size_t body = 20)
{
    Bytes b = four ? Bytes{0, 0, 0, 1, header} : Bytes{0, 0, 1, header};
    int type = header & 0x1f;
    if (type == 1 || type == 5)
        b.push_back(first ? 0x88 : 0x08);
    for (size_t i = 0; i < body; i++)
        b.push_back((uint8_t)(0x11 + i));
    return b;
}

struct Feeder {
    Stub s;
    OutputConsumer c;
    Bytes buf;
    size_t fill = 0;
    Feeder(int format, size_t cap = 1 << 16) : buf(cap)
    {
        stub = &s;
        EXPECT_EQ(output_consumer_init(&c, &SINK, format, false), 0);
    }
    ~Feeder() { output_consumer_done(&c); }
    // Feeds bytes in chunks, consuming after each as the thread does.
    void feed(const Bytes &d, size_t chunk = 1 << 20, bool last = false)
    {
        for (size_t off = 0; off < d.size();) {
            size_t n = std::min(chunk, d.size() - off);
            n = std::min(n, buf.size() - fill);
            std::copy(d.begin() + (long)off, d.begin() + (long)(off + n), buf.begin() + (long)fill);
            fill += n;
            off += n;
            bool end = last && off == d.size();
            size_t used = output_consume(&c, buf.data(), fill, buf.size(), end);
            ASSERT_LE(used, fill);
            std::copy(buf.begin() + (long)used, buf.begin() + (long)fill, buf.begin());
            fill -= used;
            if (n == 0 && used == 0)
                FAIL() << "stalled with " << fill << " bytes";
        }
    }
};

} // namespace

TEST(OutputConsume, H264UnitsHoldEveryNalOfAnAccessUnitWithEitherStartCode)
{
    Bytes idr = cat({nal(0x09, true, true, 1), nal(0x67, true), nal(0x68), nal(0x06), nal(0x65), nal(0x65, false, false)});
    Bytes p1 = cat({nal(0x41, true), nal(0x01, false, false)});
    Bytes p2 = cat({nal(0x21), nal(0x21, true, false)});
    Bytes next = nal(0x09, true, true, 1);
    Bytes stream = cat({idr, p1, p2, next});
    for (size_t chunk : {size_t(1 << 20), size_t(7), size_t(1)}) {
        Feeder r(StreamMode_H264_ES);
        r.feed(stream, chunk);
        ASSERT_EQ(r.s.units.size(), 3u) << "chunk " << chunk;
        EXPECT_EQ(r.s.units[0], idr);
        // A 4-byte start code's zero byte stays with the unit it begins.
        EXPECT_EQ(r.s.units[1], p1);
        EXPECT_EQ(r.s.units[2], p2);
    }
}

TEST(OutputConsume, H264WaitsForTheFirstIdrWhateverItsNalRefIdc)
{
    Feeder r(StreamMode_H264_ES);
    Bytes stream = cat({nal(0x41, true), nal(0x41, true), nal(0x67, true), nal(0x68, true), nal(0x05, true),
                        nal(0x01, true), nal(0x09, true, true, 1)});
    r.feed(stream);
    ASSERT_EQ(r.s.units.size(), 2u);
    EXPECT_EQ(r.s.units[0][4], 0x67);
    EXPECT_EQ(r.s.units[1][4], 0x01);
}

TEST(OutputConsume, GarbageBeforeTheFirstStartCodeAndOverlongUnitsAreSkipped)
{
    Feeder r(StreamMode_H264_ES, 4096);
    Bytes junk(1000, 0x55);
    Bytes big = nal(0x65, true, true, 6000);   // more than the whole buffer
    Bytes good = cat({nal(0x67, true), nal(0x68), nal(0x65)});
    r.feed(cat({junk, big, good, nal(0x41, true), nal(0x09, true, true, 1)}), 1000);
    ASSERT_EQ(r.s.units.size(), 2u);
    EXPECT_EQ(r.s.units[0], good);
}

TEST(OutputConsume, Mpeg4HeadersGoWithTheFirstVopAndPFramesWaitForAnIVop)
{
    Bytes vos = {0, 0, 1, 0xb0, 1};
    Bytes vo = {0, 0, 1, 0xb5, 9, 0, 0, 1, 0x00};
    Bytes vol = {0, 0, 1, 0x20, 0x11, 0x22, 0x33};
    Bytes pvop = {0, 0, 1, 0xb6, 0x40, 1, 2, 3};
    Bytes ivop = {0, 0, 1, 0xb6, 0x10, 4, 5, 6};
    Feeder r(StreamMode_MPEG4_ES);
    r.feed(cat({pvop, vos, vo, vol, ivop, pvop, pvop, vos}), 3);
    ASSERT_EQ(r.s.units.size(), 3u);
    EXPECT_EQ(r.s.units[0], cat({vos, vo, vol, ivop}));
    EXPECT_EQ(r.s.units[1], pvop);
}

TEST(OutputConsume, JpegImagesSplitAtTheNextStartOfImage)
{
    Bytes a = {0xff, 0xd8, 0xff, 0xe0, 1, 2, 3, 0xff, 0xd9};
    Bytes b = {0xff, 0xd8, 0xff, 0xdb, 4, 5, 0xff, 0xd9};
    Feeder r(StreamMode_JPEG);
    r.feed(cat({Bytes{9, 9, 9}, a, b, a}), 4);
    ASSERT_EQ(r.s.jpegs, 2);
    EXPECT_EQ(r.s.units[0], a);
    EXPECT_EQ(r.s.units[1], b);
}

TEST(OutputConsume, FormatsThatCannotBeTakenApartAreRefused)
{
    for (int f : {4, 5, 6, 7, 16, 17, 18}) {
        OutputConsumer c;
        EXPECT_EQ(output_consumer_init(&c, &SINK, f, false), -1) << f;
        output_consumer_done(&c);
    }
    OutputConsumer c;
    EXPECT_EQ(output_consumer_init(&c, &SINK, StreamMode_H264_AAC_FLV, false), 0);
    EXPECT_EQ(c.videoCodec, VIDEO_CODEC_H264);   // read as an elementary stream
    output_consumer_done(&c);
}

namespace {
Bytes ts_stream(uint8_t vtype, const std::vector<Bytes> &video, const Bytes &audio)
{
    TsContext *mux = tsmux_new();
    tsmux_configure(mux, vtype, audio.empty() ? TSMUX_AUDIO_NONE : TSMUX_AUDIO_AAC);
    Bytes out, buf(1 << 20);
    uint32_t ts = 3000;
    for (const Bytes &v : video) {
        int n = tsmux_write_video(mux, buf.data(), buf.size(), v.data(), v.size(), ts, true);
        out.insert(out.end(), buf.begin(), buf.begin() + n);
        if (!audio.empty()) {
            n = tsmux_write_audio(mux, buf.data(), buf.size(), audio.data(), audio.size(), ts);
            out.insert(out.end(), buf.begin(), buf.begin() + n);
        }
        ts += 3000;
    }
    tsmux_free(mux);
    return out;
}
} // namespace

TEST(OutputConsume, TransportStreamUnitsAndAudioWithBoundedCopies)
{
    Bytes idr = cat({nal(0x67, true), nal(0x68, true), nal(0x65, true)});
    Bytes p = nal(0x41, true, true, 300);
    Bytes aac(200, 0x21);
    aac[0] = 0xff;
    aac[1] = 0xf1;
    Bytes stream = ts_stream(TS_TYPE_H264, {p, idr, p, p, idr}, aac);
    Feeder r(StreamMode_H264_AAC_TS);
    r.feed(stream, 1316, true);
    ASSERT_EQ(r.s.created.size(), 1u);
    EXPECT_EQ(r.s.created[0], VIDEO_CODEC_H264);
    // The leading P frame waits for the keyframe; every unit carries the muxer's delimiter.
    ASSERT_GE(r.s.units.size(), 3u);
    EXPECT_TRUE(output_is_keyframe(VIDEO_CODEC_H264, r.s.units[0].data(), r.s.units[0].size()));
    EXPECT_EQ(r.s.audioStarts, 1);
    EXPECT_GE(r.s.audio.size(), 4u);
    EXPECT_EQ(r.s.audio[0], aac);

    // A playback record smaller than the PES: dropped, never overrun.
    Feeder small(StreamMode_H264_AAC_TS);
    small.s.record.resize(64);
    small.feed(stream, 1316);
    EXPECT_TRUE(small.s.audio.empty());
    EXPECT_FALSE(small.s.held);
    EXPECT_GE(small.s.units.size(), 2u);
}

TEST(OutputConsume, Mpeg2InTransportStreamFailsToCreateAndEndsTheStream)
{
    Bytes pic = {0, 0, 1, 0xb3, 1, 2, 3, 4, 0, 0, 1, 0x00, 0, 0x08, 1, 2};
    Feeder r(StreamMode_H264_TS);
    r.feed(ts_stream(TS_TYPE_MPEG2_VIDEO, {pic, pic, pic}, {}), 188 * 7);
    ASSERT_EQ(r.s.created.size(), 1u);
    EXPECT_EQ(r.s.created[0], 16);
    EXPECT_TRUE(r.c.failed);
    EXPECT_STREQ(r.c.label, "mpeg2dec");
}

TEST(OutputConsume, FullBufferOfOneTransportStreamPesIsDropped)
{
    Bytes huge(100000, 0x33);
    huge[0] = 0;
    huge[1] = 0;
    huge[2] = 0;
    huge[3] = 1;
    huge[4] = 0x65;
    Bytes small = cat({nal(0x67, true), nal(0x65, true)});
    Feeder r(StreamMode_H264_TS, 32768);
    // The muxer writes video PES without a length: only the next PES start would end it.
    r.feed(ts_stream(TS_TYPE_H264, {huge, small, small, small}, {}), 188 * 7);
    EXPECT_GE(r.s.units.size(), 1u);
    for (const Bytes &u : r.s.units)
        EXPECT_LT(u.size(), 32768u);
}

TEST(OutputConsume, Mp4FromOurStreamBufferWriterDecodesWithItsConfigurationInFront)
{
    Bytes sps = nal(0x67, true, true, 8), pps = nal(0x68, true, true, 4);
    Bytes idr = cat({sps, pps, nal(0x65, true), nal(0x65, true, false)});
    Bytes p = nal(0x41, true, true, 40);
    Bytes aac(120, 0x21);
    mp4_muxer *w = mp4_new();
    mp4_video_track_create(w, MP4_FOURCC('a', 'v', 'c', '1'), 90000, 3600, 0, 352, 288, 66, 30);
    mp4_audio_track_create(w, MP4_FOURCC('m', 'p', '4', 'a'), 90000, 1920, 0, 48000, 2);
    ASSERT_EQ(mp4_set_parameter_data(w, idr.data(), (uint32_t)(sps.size() + pps.size())), 0);
    Bytes stream, out(1 << 20);
    mp4_buf_put(w, out.data(), (uint32_t)out.size());
    ASSERT_EQ(mp4_finish(w), 0);   // the init movie first
    stream.insert(stream.end(), out.begin(), out.begin() + mp4_buf_drain(w));
    for (const Bytes *f : {&p, &idr, &p, &p}) {
        mp4_buf_put(w, out.data(), (uint32_t)out.size());
        mp4_write_track(w, 1, f->data(), (uint32_t)f->size(), 3600);
        mp4_write_track(w, 2, aac.data(), (uint32_t)aac.size(), 1920);
        stream.insert(stream.end(), out.begin(), out.begin() + mp4_buf_drain(w));
    }
    ASSERT_FALSE(mp4_has_error(w));
    mp4_delete(w);

    for (size_t chunk : {size_t(1 << 20), size_t(333)}) {
        Feeder r(StreamMode_H264_AAC_MP4);
        r.feed(stream, chunk);
        ASSERT_EQ(r.s.units.size(), 3u) << "chunk " << chunk;   // the leading P frame waits
        // Annex B again, the stream's SPS and PPS in front of the first picture.
        EXPECT_EQ(r.s.units[0], idr);
        EXPECT_EQ(r.s.units[1], p);
        EXPECT_EQ(r.s.unitTs[1], 2u * 3600);
        EXPECT_EQ(r.s.audioStarts, 1);
        ASSERT_EQ(r.s.audio.size(), 4u);
        EXPECT_EQ(r.s.audio[0], aac);
    }
    // The last mdat with size 0 runs to the end of what the sender sent.
    std::string text(stream.begin(), stream.end());
    size_t at = text.rfind("mdat");
    ASSERT_NE(at, std::string::npos);
    std::fill(stream.begin() + (long)at - 4, stream.begin() + (long)at, 0);
    Feeder r(StreamMode_H264_AAC_MP4);
    r.feed(stream, 1 << 20, true);
    EXPECT_FALSE(r.c.failed);
    EXPECT_EQ(r.s.units.size(), 3u);
    ASSERT_EQ(r.s.audio.size(), 4u);
    EXPECT_EQ(r.s.audio[3], aac);
}

TEST(OutputConsume, NoFreePlaybackRecordDropsAudioAndVideoGoesOn)
{
    Bytes idr = cat({nal(0x67, true), nal(0x68, true), nal(0x65, true)});
    Bytes aac(200, 0x21);
    Feeder r(StreamMode_H264_AAC_TS);
    r.s.recordFree = false;
    r.feed(ts_stream(TS_TYPE_H264, {idr, idr, idr, idr}, aac), 1316, true);
    EXPECT_TRUE(r.s.audio.empty());
    EXPECT_EQ(r.c.audioDropped, 4u);
    EXPECT_EQ(r.s.units.size(), 4u);
}
