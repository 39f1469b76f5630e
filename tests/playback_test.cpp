// Audio playback: ADTS headers, the delay rule, the record hand-off with its time-out, the
// simulated card's playback side, and the thread with its gate, clock and rate rules.
#include "audio/playback.h"
#include "audio/sound.h"
#include "core/log.h"
#include "core/param.h"
#include "core/quit.h"
#include "core/threads.h"
#include "platform/codec_audio.h"
#include "platform/sound.h"
#include "streams/ringbuffer.h"
#include "streams/stream.h"
#include "testutil.h"
#include "video/capture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

bool wait_for(const std::function<bool()> &cond, int ms)
{
    for (int i = 0; i < ms / 10; i++) {
        if (cond())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return cond();
}

TEST(PlaybackAdts, HeaderLengthsRateAndChannels)
{
    // 48 kHz (index 3), stereo, no CRC, 371 bytes in all.
    const uint8_t plain[7] = {0xFF, 0xF1, 0x4C, 0x80, 0x2E, 0x7F, 0xFC};
    AdtsHeader h;
    ASSERT_TRUE(playback_adts_header(plain, sizeof plain, &h));
    EXPECT_EQ(h.headerLength, 7);
    EXPECT_EQ(h.frameLength, 371);
    EXPECT_EQ(h.sampleRate, 48000);
    EXPECT_EQ(h.channels, 2);
    // The same with CRC (protection_absent 0): a 9-byte header; 44.1 kHz.
    uint8_t crc[9] = {0xFF, 0xF0, 0x50, 0x80, 0x2E, 0x7F, 0xFC, 0x12, 0x34};
    ASSERT_TRUE(playback_adts_header(crc, sizeof crc, &h));
    EXPECT_EQ(h.headerLength, 9);
    EXPECT_EQ(h.sampleRate, 44100);
    // A reserved rate index reads as no rate; no sync word or a short buffer is no header.
    uint8_t reserved[7] = {0xFF, 0xF1, 0x7C, 0x80, 0x2E, 0x7F, 0xFC};
    ASSERT_TRUE(playback_adts_header(reserved, 7, &h));
    EXPECT_EQ(h.sampleRate, 0);
    const uint8_t nosync[7] = {0xFF, 0xE1, 0x4C, 0x80, 0x2E, 0x7F, 0xFC};
    EXPECT_FALSE(playback_adts_header(nosync, 7, &h));
    EXPECT_FALSE(playback_adts_header(plain, 6, &h));
}

TEST(PlaybackClock, DelayRuleLeavesOutThePeriodBeingPlayed)
{
    EXPECT_EQ(playback_output_delay(0, 48000), 0);
    EXPECT_EQ(playback_output_delay(1024, 48000), 0);
    EXPECT_EQ(playback_output_delay(1025, 48000), 1);
    EXPECT_EQ(playback_output_delay(1024 + 48000, 48000), 90000);
    EXPECT_EQ(playback_output_delay(1024 + 44100, 44100), 90000);
    EXPECT_EQ(playback_output_delay(5000, 0), 0);
}

TEST(PlaybackRate, OnlyRatesTheSettingAllowsAreStored)
{
    EXPECT_TRUE(playback_rate_storable(44100));
    EXPECT_TRUE(playback_rate_storable(48000));
    EXPECT_FALSE(playback_rate_storable(32000));
    EXPECT_FALSE(playback_rate_storable(46000));
    EXPECT_FALSE(playback_rate_storable(96000));
}

struct Fifos {
    PlaybackEnv env = {};
    Fifos()
    {
        env.fifos[0] = Fifo_create(&Fifo_Attrs_DEFAULT);
        env.fifos[1] = Fifo_create(&Fifo_Attrs_DEFAULT);
    }
    ~Fifos()
    {
        Fifo_delete(env.fifos[0]);
        Fifo_delete(env.fifos[1]);
    }
};

TEST(PlaybackRecords, TakenWithATimeOutAndHandedOverAsAac)
{
    Fifos f;
    EXPECT_EQ(playback_take_record(&f.env, 50), nullptr) << "none free: the caller drops the audio";
    FrameMessage m = {};
    m.flags = PLAYBACK_FLAG_PCM;
    Buffer_Handle b = Buffer_create(PLAYBACK_RECORD_SIZE, &Buffer_Attrs_DEFAULT);
    m.frame = b;
    // A record that comes back while the caller waits is taken.
    std::thread later([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        Fifo_put(f.env.fifos[1], &m);
    });
    FrameMessage *got = playback_take_record(&f.env, 5000);
    later.join();
    ASSERT_EQ(got, &m);
    Buffer_setNumBytesUsed(b, 100000);   // more than the buffer: cut to it
    ASSERT_EQ(playback_put_aac(&f.env, got, 1234), 0);
    void *p = nullptr;
    ASSERT_EQ(Fifo_get_nonblocking(f.env.fifos[0], &p), Dmai_EOK);
    ASSERT_EQ(p, &m);
    EXPECT_EQ(m.timestamp, 1234u);
    EXPECT_EQ(m.flags & PLAYBACK_FLAG_PCM, 0);
    EXPECT_EQ(m.returnFifo, f.env.fifos[1]);
    EXPECT_EQ(Buffer_getNumBytesUsed(b), (size_t)PLAYBACK_RECORD_SIZE);
    playback_return_record(&f.env, &m);
    EXPECT_EQ(Fifo_getNumEntries(f.env.fifos[1]), 1);
    // A flushed fifo gives nothing, at once.
    Fifo_get_nonblocking(f.env.fifos[1], &p);
    Fifo_flush(f.env.fifos[1]);
    EXPECT_EQ(playback_take_record(&f.env, 5000), nullptr);
    Buffer_delete(b);
}

struct Wav {
    unsigned rate = 0, channels = 0;
    std::vector<int16_t> samples;
};

Wav read_wav()
{
    Wav w;
    std::vector<uint8_t> d = test_read_file(test_board_path(std::string("audio/") + SOUND_SIM_WAV_FILE));
    if (d.size() < 44 || memcmp(d.data(), "RIFF", 4) != 0)
        return w;
    w.channels = d[22] | d[23] << 8;
    w.rate = d[24] | d[25] << 8 | d[26] << 16 | (unsigned)d[27] << 24;
    uint32_t len = d[40] | d[41] << 8 | d[42] << 16 | (uint32_t)d[43] << 24;
    len = std::min<uint32_t>(len, (uint32_t)d.size() - 44);
    w.samples.resize(len / 2);
    if (!w.samples.empty())
        memcpy(w.samples.data(), d.data() + 44, w.samples.size() * 2);
    return w;
}

TEST(SoundCardPlayback, StartsAtItsThresholdPlaysInRealTimeAndKeepsAWav)
{
    platform_sound_sim_set_present(true);
    PlatformPcm *pcm = nullptr;
    ASSERT_EQ(platform_pcm_open(&pcm, "plughw:0,0", PLATFORM_PCM_PLAYBACK), 0);
    PlatformPcmHw *hw = nullptr;
    platform_pcm_hw_malloc(&hw);
    platform_pcm_hw_any(pcm, hw);
    platform_pcm_hw_set_access_interleaved(pcm, hw);
    platform_pcm_hw_set_format_s16le(pcm, hw);
    unsigned rate = 32000;
    platform_pcm_hw_set_rate_near(pcm, hw, &rate);
    platform_pcm_hw_set_channels(pcm, hw, 2);
    unsigned long period = 1024, buffer = 0;
    platform_pcm_hw_set_period_size_near(pcm, hw, &period);
    unsigned us = 0;
    platform_pcm_hw_get_buffer_time_max(hw, &us);
    platform_pcm_hw_set_buffer_time_near(pcm, hw, &us);
    ASSERT_EQ(platform_pcm_hw_params(pcm, hw), 0);
    platform_pcm_hw_get_buffer_size(hw, &buffer);
    platform_pcm_hw_free(hw);
    PlatformPcmSw *sw = nullptr;
    platform_pcm_sw_malloc(&sw);
    platform_pcm_sw_current(pcm, sw);
    platform_pcm_sw_set_start_threshold(pcm, sw, buffer);
    ASSERT_EQ(platform_pcm_sw_params(pcm, sw), 0);
    platform_pcm_sw_free(sw);

    std::vector<int16_t> period_data(2048);
    for (int i = 0; i < 2048; i++)
        period_data[i] = (int16_t)(i * 7);
    // Before the threshold nothing plays: all that was written is still to come.
    ASSERT_EQ(platform_pcm_writei(pcm, period_data.data(), 1024), 1024);
    ASSERT_EQ(platform_pcm_writei(pcm, period_data.data(), 1024), 1024);
    long delay = 0;
    ASSERT_EQ(platform_pcm_delay(pcm, &delay), 0);
    EXPECT_EQ(delay, 2048);
    // Filling the buffer starts the card; from then on the delay shrinks with time.
    for (unsigned long k = 2; k < buffer / 1024 + 1; k++)
        ASSERT_EQ(platform_pcm_writei(pcm, period_data.data(), 1024), 1024);
    ASSERT_EQ(platform_pcm_delay(pcm, &delay), 0);
    EXPECT_LE(delay, (long)buffer);
    EXPECT_TRUE(wait_for([&] { long d = 0; platform_pcm_delay(pcm, &d); return d < delay - 1024; }, 2000));
    // Left alone, it runs dry.
    EXPECT_TRUE(wait_for([&] { long d = 0; return platform_pcm_delay(pcm, &d) == -EPIPE; }, 2000));
    EXPECT_EQ(platform_pcm_writei(pcm, period_data.data(), 1024), -EPIPE);
    platform_pcm_close(pcm);

    Wav w = read_wav();
    EXPECT_EQ(w.rate, 32000u);
    EXPECT_EQ(w.channels, 2u);
    ASSERT_EQ(w.samples.size(), (buffer / 1024 + 1) * 2048);
    EXPECT_TRUE(std::equal(period_data.begin(), period_data.end(), w.samples.end() - 2048));
}

// ADTS frames of the card's tones from "aacenc"; a rate index other than the encoder's is
// written into the headers as given (the decoder then plays the same frames at that rate).
std::vector<std::vector<uint8_t>> adts_frames(int encodeRate, int count, int headerRateIndex = -1)
{
    Engine_Handle e = Engine_open("encode", nullptr, nullptr);
    IAACENC_Params p = {};
    p.audencParams = Aenc1_Params_DEFAULT;
    p.audencParams.size = sizeof p;
    p.audencParams.sampleRate = encodeRate;
    p.audencParams.bitRate = 128000;
    p.audencParams.maxBitRate = 512000;
    p.useADTS = 1;
    Aenc1_Handle h = Aenc1_create(e, "aacenc", &p.audencParams, nullptr);
    Buffer_Handle in = Buffer_create(4096, &Buffer_Attrs_DEFAULT), out = Buffer_create(4096, &Buffer_Attrs_DEFAULT);
    std::vector<std::vector<uint8_t>> frames;
    uint64_t pos = 0;
    while (h && (int)frames.size() < count) {
        int16_t *s = reinterpret_cast<int16_t *>(Buffer_getUserPtr(in));
        for (int i = 0; i < 1024; i++, pos++)
            for (int c = 0; c < 2; c++)
                s[2 * i + c] = platform_sound_sim_sample(pos, c, (unsigned)encodeRate);
        Buffer_setNumBytesUsed(in, 4096);
        Aenc1_process(h, in, out);
        size_t n = Buffer_getNumBytesUsed(out);
        if (n) {
            std::vector<uint8_t> f(Buffer_getUserPtr(out), Buffer_getUserPtr(out) + n);
            if (headerRateIndex >= 0)
                f[2] = (uint8_t)((f[2] & ~0x3C) | (headerRateIndex << 2));
            frames.push_back(f);
        }
    }
    Aenc1_delete(h);
    Buffer_delete(in);
    Buffer_delete(out);
    Engine_close(e);
    return frames;
}

struct PlaybackThread {
    ParamBlock params = param_defaults;
    PlaybackEnv env = {};
    std::thread th;
    explicit PlaybackThread(int passThrough = 0)
    {
        params.Audio.SampleRate = 48000;
        env.passThrough = passThrough;
        env.name = "playback";
        env.params = &params;
        env.hRendezvousInit = Rendezvous_create(2);
        env.hRendezvousCleanup = Rendezvous_create(2);
        env.engineName = "encode";
        env.fifos[0] = Fifo_create(&Fifo_Attrs_DEFAULT);
        env.fifos[1] = Fifo_create(&Fifo_Attrs_DEFAULT);
        env.hPause = Pause_create();
        env.container = PLAYBACK_CONTAINER_TS;
        th = std::thread(soundPlaybackThrFxn, &env);
        Rendezvous_meet(env.hRendezvousInit);
    }
    ~PlaybackThread()
    {
        quit_set(QUIT_QUIT, false);
        Fifo_flush(env.fifos[0]);
        Rendezvous_meet(env.hRendezvousCleanup);
        th.join();
        quit_set(QUIT_RUN, false);
        Rendezvous_delete(env.hRendezvousInit);
        Rendezvous_delete(env.hRendezvousCleanup);
        Fifo_delete(env.fifos[0]);
        Fifo_delete(env.fifos[1]);
        Pause_delete(env.hPause);
    }
    // Hands the frames over one per record, as the output thread does for a transport stream.
    void send(const std::vector<std::vector<uint8_t>> &frames, uint32_t ts)
    {
        for (const std::vector<uint8_t> &f : frames) {
            FrameMessage *m = playback_take_record(&env, 2000);
            ASSERT_NE(m, nullptr);
            memcpy(Buffer_getUserPtr(m->frame), f.data(), f.size());
            Buffer_setNumBytesUsed(m->frame, f.size());
            ASSERT_EQ(playback_put_aac(&env, m, ts), 0);
            ts += 1920;
        }
    }
    bool all_back(int ms)
    {
        return wait_for([&] { return Fifo_getNumEntries(env.fifos[1]) == PLAYBACK_RECORDS; }, ms);
    }
};

double rms(const int16_t *s, size_t n, int stride)
{
    double e = 0;
    for (size_t i = 0; i < n; i++)
        e += (double)s[i * stride] * s[i * stride];
    return n ? std::sqrt(e / n) : 0;
}

// The live PCM queue as the sound thread feeds it: 1024-frame periods whose samples all hold
// the period's number.
struct PcmProducer {
    StreamRunState run = {};
    StreamQueue queue = {};
    Buffer_Handle data = Buffer_create(65536, &Buffer_Attrs_DEFAULT);
    std::atomic<bool> stop{false};
    std::atomic<int> periods{0};
    std::thread th;
    PcmProducer()
    {
        stream_register(&run, &queue, PCM_STREAM);
        ringbuffer_init(&queue, data, 16, 32);
        th = std::thread([this] {
            for (int k = 1; !stop; k++) {
                int off = ringbuffer_preallocate(&queue, 4096);
                if (off >= 0) {
                    int16_t *p = reinterpret_cast<int16_t *>(queue.data + off);
                    for (int i = 0; i < 2048; i++)
                        p[i] = (int16_t)k;
                    ringbuffer_put(&queue, 4096, (uint32_t)k * 1920, 1);
                    periods = k;
                }
                // Faster than the card plays: older periods must be skipped.
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        });
    }
    ~PcmProducer()
    {
        stop = true;
        th.join();
        ringbuffer_free(&queue);
        Buffer_delete(data);
    }
};

// One thread per process (quit is for good): pass-through first, then received AAC.
TEST(PlaybackThread, PassThroughThenReceivedAacBehindTheGate)
{
    platform_sound_sim_set_present(true);
    log_ring_reset();
    PcmProducer pcm;
    PlaybackThread t(1);
    ASSERT_TRUE(wait_for([] { return test_log_text().find("Sound playback device started.") != std::string::npos; }, 5000));
    EXPECT_NE(test_log_text().find("srate=48000"), std::string::npos);

    // Pass-through: the newest live period each time. Past the card's buffer (15 periods) each
    // write waits a period while the producer makes four.
    ASSERT_TRUE(wait_for([] { return test_log_text().find("Audio passthru starting") != std::string::npos; }, 5000));
    ASSERT_TRUE(wait_for([] { return read_wav().samples.size() >= 24 * 2048; }, 5000));
    t.env.passThrough = 0;
    EXPECT_TRUE(wait_for([] { return test_log_text().find("Audio passthru stopped") != std::string::npos; }, 3000));
    Wav pw = read_wav();
    ASSERT_GE(pw.samples.size(), 24u * 2048);
    // Whole periods, in order, with the ones that fell behind left out.
    int skipped = 0;
    for (size_t k = 1; k < pw.samples.size() / 2048; k++) {
        int16_t a = pw.samples[(k - 1) * 2048], b = pw.samples[k * 2048];
        EXPECT_EQ(pw.samples[k * 2048 + 2047], b) << "period " << k << " is not whole";
        EXPECT_GT(b, a) << "period " << k;
        skipped += b > a + 1;
    }
    EXPECT_GT(skipped, 0) << "a producer faster than the card: older periods are skipped";

    // Received AAC.
    ASSERT_TRUE(t.all_back(1000)) << "every record starts free";
    playback_clock_reset();

    // The gate starts closed: a handed-over frame waits and the clock does not run.
    std::vector<std::vector<uint8_t>> f44 = adts_frames(44100, 40);
    ASSERT_EQ(f44.size(), 40u);
    t.send({f44[0]}, 90000);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(Fifo_getNumEntries(t.env.fifos[1]), PLAYBACK_RECORDS - 1);
    EXPECT_FALSE(playback_clock(nullptr));

    // Opened: a 44.1 kHz stream goes into the setting and the card reopens at that rate.
    playback_release(&t.env);
    std::vector<std::vector<uint8_t>> rest(f44.begin() + 1, f44.end());
    t.send(rest, 90000 + 1920);
    ASSERT_TRUE(t.all_back(5000));
    uint32_t offset = 0;
    EXPECT_TRUE(playback_clock(&offset)) << "audio reached the card";
    EXPECT_EQ(t.params.Audio.SampleRate, 44100u);
    EXPECT_NE(test_log_text().find("AAC samplerate changed to 44100"), std::string::npos);
    EXPECT_NE(test_log_text().find("srate=44100"), std::string::npos);
    Wav w = read_wav();
    EXPECT_EQ(w.rate, 44100u);
    ASSERT_GE(w.samples.size(), 30u * 2048);
    // The decoded left tone, past the encoder's priming.
    EXPECT_NEAR(rms(w.samples.data() + 10 * 2048, 20 * 1024, 2), (double)SOUND_SIM_AMPLITUDE / std::sqrt(2.0),
                (double)SOUND_SIM_AMPLITUDE * 0.1);

    // A new stream at 32 kHz plays at its rate; the setting does not take it.
    playback_clock_reset();
    EXPECT_FALSE(playback_clock(nullptr));
    t.send(adts_frames(48000, 10, 5), 500000);
    ASSERT_TRUE(t.all_back(5000));
    EXPECT_TRUE(playback_clock(nullptr));
    EXPECT_EQ(t.params.Audio.SampleRate, 44100u);
    EXPECT_NE(test_log_text().find("srate=32000"), std::string::npos);
    EXPECT_EQ(read_wav().rate, 32000u);

    // A frame whose header claims more than it holds is skipped; the thread goes on.
    std::vector<std::vector<uint8_t>> more = adts_frames(48000, 3, 5);
    std::vector<uint8_t> liar = more[0];
    liar.resize(liar.size() / 2);
    t.send({liar, more[1]}, 600000);
    ASSERT_TRUE(t.all_back(5000));
    EXPECT_GE(t.env.status, 0);
}

} // namespace
