// Damaged files for the MP4 player and the remuxer. The first byte picks the input: the bytes
// as they are, or a small plain or fragmented file made here and patched by the rest of the
// input (4-byte values written at chosen offsets: lying sizes, tables pointing anywhere), or the
// fragmented file behind a run of empty mdat boxes longer than the remuxer's search limit.
#include "streams/mp4.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

typedef std::vector<uint8_t> Bytes;

static Bytes read_fd(int fd)
{
    Bytes d((size_t)lseek(fd, 0, SEEK_END));
    if (!d.empty() && pread(fd, d.data(), d.size(), 0) != (ssize_t)d.size())
        d.clear();
    return d;
}

static void put32(Bytes &d, uint32_t v)
{
    for (int i = 3; i >= 0; i--)
        d.push_back((uint8_t)(v >> (8 * i)));
}

static void put_box(Bytes &d, const char *type, const Bytes &payload)
{
    put32(d, (uint32_t)payload.size() + 8);
    d.insert(d.end(), type, type + 4);
    d.insert(d.end(), payload.begin(), payload.end());
}

static Bytes frame(int i)
{
    Bytes f = {0, 0, 0, 1, (uint8_t)(i % 10 ? 0x41 : 0x65)};
    f.resize(5 + 20 + (size_t)i % 7, (uint8_t)i);
    return f;
}

static const Bytes &plain_template()
{
    static Bytes d;
    if (d.empty()) {
        int fd = memfd_create("plain", 0);
        FILE *f = fdopen(fd, "w+b");
        mp4_muxer *m = mp4_new();
        mp4_video_track_create(m, MP4_FOURCC('a', 'v', 'c', '1'), 90000, 3600, 0, 64, 48, 66, 30);
        mp4_audio_track_create(m, MP4_FOURCC('m', 'p', '4', 'a'), 90000, 3600, 0, 48000, 2);
        mp4_set_file(m, f);
        for (int i = 0; i < 24; i++) {
            Bytes v = frame(i);
            uint8_t a[12] = {0x21, (uint8_t)i};
            mp4_write_track(m, 1, v.data(), (uint32_t)v.size(), 3600);
            mp4_write_track(m, 2, a, sizeof a, 3600);
        }
        mp4_finish(m);
        mp4_delete(m);
        fflush(f);
        d = read_fd(fd);
        fclose(f);
    }
    return d;
}

// Init movie from the writer, then two moof + mdat pairs with one trun per track each.
static const Bytes &fragmented_template()
{
    static Bytes d;
    if (d.empty()) {
        int fd = memfd_create("frag", 0);
        FILE *f = fdopen(fd, "w+b");
        mp4_muxer *m = mp4_new();
        mp4_video_track_create(m, MP4_FOURCC('a', 'v', 'c', '1'), 90000, 3600, 0, 64, 48, 66, 30);
        mp4_audio_track_create(m, MP4_FOURCC('m', 'p', '4', 'a'), 90000, 3600, 0, 48000, 2);
        mp4_set_file(m, f);
        mp4_finish(m);
        mp4_delete(m);
        fflush(f);
        d = read_fd(fd);
        fclose(f);
        for (int frag = 0; frag < 2; frag++) {
            Bytes data[2];
            for (int i = 0; i < 5; i++) {
                Bytes v = frame(frag * 5 + i);
                Bytes len;
                put32(len, (uint32_t)v.size() - 4);
                data[0].insert(data[0].end(), len.begin(), len.end());
                data[0].insert(data[0].end(), v.begin() + 4, v.end());
                data[1].insert(data[1].end(), 10, (uint8_t)(0x21 + i));
            }
            Bytes moof, mfhd = {0, 0, 0, 0};
            put32(mfhd, (uint32_t)frag + 1);
            put_box(moof, "mfhd", mfhd);
            size_t offset_fields[2];
            Bytes trafs;
            for (int t = 0; t < 2; t++) {
                Bytes tfhd = {0, 0x02, 0, 0};   // default-base-is-moof
                put32(tfhd, (uint32_t)t + 1);
                Bytes trun = {0, 0, 0x03, 0x01};   // data offset, duration and size per sample
                put32(trun, 5);
                put32(trun, 0);
                for (int i = 0; i < 5; i++) {
                    put32(trun, 3600);
                    put32(trun, t ? 10 : (uint32_t)data[0].size() / 5);
                }
                Bytes traf;
                put_box(traf, "tfhd", tfhd);
                offset_fields[t] = trafs.size() + 8 + traf.size() + 8 + 8;
                put_box(traf, "trun", trun);
                put_box(trafs, "traf", traf);
            }
            moof.insert(moof.end(), trafs.begin(), trafs.end());
            Bytes box;
            put_box(box, "moof", moof);
            // data offsets count from the moof start
            uint32_t first = (uint32_t)box.size() + 8;
            uint32_t offs[2] = {first, first + (uint32_t)data[0].size()};
            for (int t = 0; t < 2; t++) {
                size_t at = 8 + 16 + offset_fields[t];
                for (int k = 0; k < 4; k++)
                    box[at + k] = (uint8_t)(offs[t] >> (24 - 8 * k));
            }
            d.insert(d.end(), box.begin(), box.end());
            Bytes payload = data[0];
            payload.insert(payload.end(), data[1].begin(), data[1].end());
            put_box(d, "mdat", payload);
        }
    }
    return d;
}

static void patch(Bytes &d, const uint8_t *p, size_t n)
{
    for (; n >= 6 && !d.empty(); p += 6, n -= 6) {
        size_t at = ((size_t)p[0] << 8 | p[1]) % d.size();
        for (int k = 0; k < 4 && at + k < d.size(); k++)
            d[at + k] = p[2 + k];
    }
}

static void on_sample(void *user, uint64_t, uint64_t, uint32_t len, int)
{
    *(uint64_t *)user += len;
}

static FILE *file_of(const Bytes &d)
{
    int fd = memfd_create("in", 0);
    if (fd < 0)
        return nullptr;
    if (!d.empty() && write(fd, d.data(), d.size()) != (ssize_t)d.size()) {
        close(fd);
        return nullptr;
    }
    lseek(fd, 0, SEEK_SET);
    return fdopen(fd, "rb");
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    Bytes d;
    switch (data[0] & 3) {
    case 0:
        d.assign(data + 1, data + size);
        break;
    case 1:
        d = plain_template();
        patch(d, data + 1, size - 1);
        break;
    case 2:
        d = fragmented_template();
        patch(d, data + 1, size - 1);
        break;
    case 3: {
        // more mdat boxes in front of the fragments than one search covers
        const Bytes &t = fragmented_template();
        size_t moov_end = 0;
        while (moov_end + 8 <= t.size() && memcmp(&t[moov_end + 4], "moof", 4) != 0) {
            uint32_t s = (uint32_t)t[moov_end] << 24 | t[moov_end + 1] << 16 | t[moov_end + 2] << 8 | t[moov_end + 3];
            if (s < 8)
                break;
            moov_end += s;
        }
        d.assign(t.begin(), t.begin() + (long)moov_end);
        size_t extra = 400 + (data[0] >> 2) * 2;
        for (size_t i = 0; i < extra; i++) {
            const uint8_t empty[8] = {0, 0, 0, 8, 'm', 'd', 'a', 't'};
            d.insert(d.end(), empty, empty + 8);
        }
        d.insert(d.end(), t.begin() + (long)moov_end, t.end());
        patch(d, data + 1, size - 1);
        break;
    }
    }

    uint64_t bytes = 0;
    if (FILE *f = file_of(d)) {
        mp4_muxer *r = mp4_new_reader();
        mp4_set_file(r, f);
        mp4_set_sample_callback(r, on_sample, &bytes);
        for (int i = 0; i < 3000 && mp4_play(r) == 0; i++) {
        }
        mp4_seek(r, 7200);
        for (int i = 0; i < 3000 && mp4_play_reverse(r) == 0; i++) {
        }
        mp4_seek(r, ~0ull);
        mp4_play(r);
        mp4_delete(r);
        fclose(f);
    }
    if (FILE *f = file_of(d)) {
        // backwards from the end, across every chunk and stts run
        mp4_muxer *r = mp4_new_reader();
        mp4_set_file(r, f);
        mp4_set_sample_callback(r, on_sample, &bytes);
        for (int i = 0; i < 3000 && mp4_play_reverse(r) == 0; i++) {
        }
        mp4_delete(r);
        fclose(f);
    }
    if (FILE *f = file_of(d)) {
        int out = memfd_create("out", 0);
        FILE *o = out >= 0 ? fdopen(out, "w+b") : nullptr;
        mp4_muxer *h = mp4_new_defrag_reader();
        mp4_set_file(h, o);
        mp4_remux(h, f);
        mp4_finish(h);
        mp4_delete(h);
        if (o)
            fclose(o);
        fclose(f);
    }
    volatile uint64_t sink = bytes;
    (void)sink;
    return 0;
}
