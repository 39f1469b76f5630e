// Test media for the muxer tests and benchmark: H.264 (no B-frames) and AAC made by ffmpeg at run
// time, random 16-bit stereo PCM, all cut into the frames a producer would queue.
#pragma once
extern "C" {
#include <libavformat/avformat.h>
}
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

struct MediaFrame {
    std::vector<uint8_t> data;
    uint32_t ts;   // 90 kHz
    bool key;
};

struct TestMedia {
    std::vector<MediaFrame> video, aac, pcm;
};

inline bool media_run(const std::string &cmd)
{
    return system((cmd + " >/dev/null 2>&1").c_str()) == 0;
}

inline std::vector<uint8_t> media_read_file(const std::string &path)
{
    std::vector<uint8_t> out;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        return out;
    uint8_t buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        out.insert(out.end(), buf, buf + n);
    fclose(f);
    return out;
}

inline bool media_write_file(const std::string &path, const std::vector<uint8_t> &data)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = fwrite(data.data(), 1, data.size(), f) == data.size();
    return fclose(f) == 0 && ok;
}

// Video frames i at base + i * 3003; AAC and PCM periods of 1024 samples at base + j * 1920,
// starting `audio_lead` ticks before the video.
inline bool media_generate(const std::string &dir, TestMedia *m, double seconds, uint32_t base,
                           uint32_t audio_lead = 0, const char *size = "320x240", const char *video_opts = "")
{
    std::string v = dir + "/v.h264", a = dir + "/a.aac";
    char dur[32];
    snprintf(dur, sizeof dur, "%.2f", seconds);
    if (!media_run(std::string("ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=") + size +
                   ":rate=30000/1001 -t " + dur +
                   " -c:v libx264 -bf 0 -g 15 -pix_fmt yuv420p " + video_opts + " -f h264 " + v))
        return false;
    if (!media_run(std::string("ffmpeg -nostdin -v error -y -f lavfi -i sine=frequency=440:sample_rate=48000 -t ") +
                   dur + " -ac 2 -c:a aac -b:a 128k -f adts " + a))
        return false;

    AVFormatContext *fc = nullptr;
    if (avformat_open_input(&fc, v.c_str(), av_find_input_format("h264"), nullptr) < 0)
        return false;
    AVPacket *pkt = av_packet_alloc();
    uint32_t i = 0;
    while (av_read_frame(fc, pkt) >= 0) {
        MediaFrame f;
        f.data.assign(pkt->data, pkt->data + pkt->size);
        f.key = pkt->flags & AV_PKT_FLAG_KEY;
        f.ts = base + i++ * 3003;
        m->video.push_back(std::move(f));
        av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    avformat_close_input(&fc);

    std::vector<uint8_t> adts = media_read_file(a);
    uint32_t start = base - audio_lead;
    for (size_t p = 0, j = 0; p + 7 <= adts.size(); j++) {
        size_t len = ((adts[p + 3] & 3) << 11) | (adts[p + 4] << 3) | (adts[p + 5] >> 5);
        if (adts[p] != 0xFF || len < 7 || p + len > adts.size())
            return false;
        m->aac.push_back({std::vector<uint8_t>(adts.begin() + p, adts.begin() + p + len), uint32_t(start + j * 1920), true});
        p += len;
    }

    std::mt19937 rng(7160);
    size_t periods = m->aac.size();
    for (size_t j = 0; j < periods; j++) {
        MediaFrame f;
        f.data.resize(4096);
        for (auto &b : f.data)
            b = uint8_t(rng());
        f.ts = start + uint32_t(j) * 1920;
        f.key = true;
        m->pcm.push_back(std::move(f));
    }
    return !m->video.empty() && m->video[0].key && !m->aac.empty();
}
