// A stand-in for the video encoder and the sound thread in tests: replays an H.264 elementary
// stream into queue 1 and ADTS AAC into queue 5 at real-time pace, stamped with the 90 kHz clock,
// started and stopped by the queues' run states like the real producers.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct FakeMediaFrame {
    uint32_t offset;      // into FakeMedia::video or ::audio
    uint32_t length;
    bool keyframe;
};

struct FakeMedia {
    std::vector<uint8_t> video;         // H.264 Annex B, no B-frames
    std::vector<uint8_t> audio;         // ADTS AAC, 48 kHz stereo
    std::vector<FakeMediaFrame> video_frames;   // one access unit each
    std::vector<FakeMediaFrame> audio_frames;   // one ADTS frame each
    int fps;
};

// Generates (once per process, with ffmpeg from its test sources) and splits the media.
// Null when ffmpeg fails.
const FakeMedia *fakeproducer_media();

struct FakeProducerOptions {
    bool video = true;    // queue 1 (VIDEO_STREAM1)
    bool audio = true;    // queue 5 (AAC_STREAM)
    // A scripted video stream when set: frame n of a start (from 0) goes out `video_period_ns`
    // after the one before, stamped the start's first stamp + stamp(n) and flagged a keyframe
    // when key(n).
    std::function<uint32_t(uint32_t)> stamp;
    std::function<bool(uint32_t)> key;
    uint32_t video_period_ns = 0;
};

struct FakeProducer;
// Registers the queues and starts the producer threads; they encode (replay) only while the
// stream is started. Null when the media cannot be made.
FakeProducer *fakeproducer_start(const FakeProducerOptions &options = FakeProducerOptions());
// Stops the threads and unregisters the queues. Consumers must have detached.
void fakeproducer_stop(FakeProducer *fp);
// Number of times the video (1) or audio (5) producer took a start, and frames it put.
int fakeproducer_starts(FakeProducer *fp, int id);
uint32_t fakeproducer_frames(FakeProducer *fp, int id);

// Splitters, exposed for their own tests.
std::vector<FakeMediaFrame> fakeproducer_split_h264(const std::vector<uint8_t> &es);
std::vector<FakeMediaFrame> fakeproducer_split_adts(const std::vector<uint8_t> &adts);
