// The simulated sound card, "aacenc", the mono mix and the sound thread over the two audio
// queues.
#include "audio/mixer.h"
#include "audio/sound.h"
#include "core/log.h"
#include "core/param.h"
#include "core/quit.h"
#include "core/soc.h"
#include "core/threads.h"
#include "platform/codec_audio.h"
#include "platform/sound.h"
#include "streams/stream.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <tuple>
#include <string>
#include <thread>
#include <vector>

namespace {

PlatformPcm *open_capture(unsigned rate, unsigned long period, unsigned long *buffer)
{
    PlatformPcm *pcm = nullptr;
    EXPECT_EQ(platform_pcm_open(&pcm, "hw:0,0", PLATFORM_PCM_CAPTURE), 0);
    if (!pcm)
        return nullptr;
    PlatformPcmHw *hw = nullptr;
    EXPECT_EQ(platform_pcm_hw_malloc(&hw), 0);
    EXPECT_EQ(platform_pcm_hw_any(pcm, hw), 0);
    EXPECT_EQ(platform_pcm_hw_set_access_interleaved(pcm, hw), 0);
    EXPECT_EQ(platform_pcm_hw_set_format_s16le(pcm, hw), 0);
    EXPECT_EQ(platform_pcm_hw_set_rate_near(pcm, hw, &rate), 0);
    EXPECT_EQ(platform_pcm_hw_set_channels(pcm, hw, 2), 0);
    EXPECT_EQ(platform_pcm_hw_set_period_size_near(pcm, hw, &period), 0);
    unsigned us = 0;
    EXPECT_EQ(platform_pcm_hw_get_buffer_time_max(hw, &us), 0);
    EXPECT_EQ(platform_pcm_hw_set_buffer_time_near(pcm, hw, &us), 0);
    EXPECT_EQ(platform_pcm_hw_params(pcm, hw), 0);
    platform_pcm_hw_get_buffer_size(hw, buffer);
    platform_pcm_hw_free(hw);
    return pcm;
}

uint32_t stamp_of(PlatformPcm *pcm, unsigned rate, unsigned long frames)
{
    unsigned long avail = 0;
    struct timespec ts = {};
    EXPECT_EQ(platform_pcm_htimestamp(pcm, &avail, &ts), 0);
    return (uint32_t)ts.tv_sec - (uint32_t)((avail + frames) * 90000 / rate);
}

TEST(SoundCard, CapturesContinuousTonesInStampedPeriods)
{
    platform_sound_sim_set_present(true);
    unsigned long buffer = 0;
    PlatformPcm *pcm = open_capture(48000, 1024, &buffer);
    ASSERT_NE(pcm, nullptr);
    EXPECT_EQ(buffer, 15360u);   // whole periods up to the 64 KiB of the card
    PlatformPcm *second = nullptr;
    EXPECT_EQ(platform_pcm_open(&second, "hw:0,0", PLATFORM_PCM_CAPTURE), -EBUSY);

    ASSERT_EQ(platform_pcm_start(pcm), 0);
    std::vector<int16_t> buf(1024 * 2);
    uint32_t prev = 0;
    for (int k = 0; k < 8; k++) {
        ASSERT_EQ(platform_pcm_readi(pcm, buf.data(), 1024), 1024);
        uint32_t stamp = stamp_of(pcm, 48000, 1024);
        EXPECT_LE((int32_t)(stamp - hw_clock_90khz()), 0) << "a stamp lies in the future";
        if (k > 0) {
            EXPECT_NEAR((double)(int32_t)(stamp - prev), 1920.0, 2.0) << "period " << k;
        }
        prev = stamp;
        for (int i = 0; i < 1024; i++) {
            ASSERT_EQ(buf[2 * i], platform_sound_sim_sample((uint64_t)k * 1024 + i, 0, 48000));
            ASSERT_EQ(buf[2 * i + 1], platform_sound_sim_sample((uint64_t)k * 1024 + i, 1, 48000));
        }
    }

    // Late by more than the buffer: an overrun until the stream is prepared again.
    std::this_thread::sleep_for(std::chrono::microseconds(buffer * 1000000 / 48000 + 50000));
    EXPECT_EQ(platform_pcm_readi(pcm, buf.data(), 1024), -EPIPE);
    EXPECT_EQ(platform_pcm_readi(pcm, buf.data(), 1024), -EPIPE);
    ASSERT_EQ(platform_pcm_prepare(pcm), 0);
    // The tone plays on while the card is stopped: after the restart the sound is as far on as
    // the stamps (the two tones repeat every 1200 frames; stamps and clock round to a few frames).
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(platform_pcm_readi(pcm, buf.data(), 1024), 1024);
    int64_t since = (int64_t)(int32_t)(stamp_of(pcm, 48000, 1024) - prev) * 48000 / 90000;
    int64_t expect = (7 * 1024 + since) % 1200, found = -1;
    for (int64_t n = 0; n < 1200 && found < 0; n++)
        if (buf[0] == platform_sound_sim_sample(n, 0, 48000) && buf[1] == platform_sound_sim_sample(n, 1, 48000) &&
            buf[2] == platform_sound_sim_sample(n + 1, 0, 48000) && buf[3] == platform_sound_sim_sample(n + 1, 1, 48000))
            found = n;
    int64_t off = (found - expect + 1200) % 1200;
    EXPECT_TRUE(found >= 0 && (off <= 4 || off >= 1196)) << "tone at " << found << ", stamps say " << expect;
    EXPECT_EQ(platform_pcm_close(pcm), 0);
}

TEST(SoundCard, TakenAwayCardRefusesToOpen)
{
    platform_sound_sim_set_present(false);
    PlatformPcm *pcm = nullptr;
    EXPECT_EQ(platform_pcm_open(&pcm, "hw:0,0", PLATFORM_PCM_CAPTURE), -ENODEV);
    SoundAttrs a = {48000, 2, 0, 0, SOUND_MODE_INPUT, 1, SOUND_IMPL_ALSA, 1024};
    EXPECT_EQ(Sound_alsa_create(&a), nullptr);
    platform_sound_sim_set_present(true);
    SoundAlsaObject *s = Sound_alsa_create(&a);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->periodSize, 1024);
    EXPECT_EQ(s->bufSize, 15360);
    EXPECT_NE(s->capture, nullptr);
    EXPECT_EQ(s->playback, nullptr);
    Sound_delete(s);
}

TEST(SoundMono, MixesByMode)
{
    const int16_t stereo[] = {3, -2, -3, 2, 32767, 32767, -32768, -32768};
    int16_t mono[4];
    sound_make_mono(stereo, mono, 4, 0);
    EXPECT_EQ(mono[0], 0);       // (3 + -2) >> 1
    EXPECT_EQ(mono[1], -1);      // arithmetic shift of -1
    EXPECT_EQ(mono[2], 32767);   // the sum does not overflow
    EXPECT_EQ(mono[3], -32768);
    sound_make_mono(stereo, mono, 2, 1);
    EXPECT_EQ(mono[0], -2);
    EXPECT_EQ(mono[1], 2);
    sound_make_mono(stereo, mono, 2, 2);
    EXPECT_EQ(mono[0], 3);
    EXPECT_EQ(mono[1], -3);
}

TEST(SoundAdts, RateIndex)
{
    EXPECT_EQ(adts_rate_index(48000), 3);
    EXPECT_EQ(adts_rate_index(44100), 4);
    EXPECT_EQ(adts_rate_index(7350), 12);
    EXPECT_EQ(adts_rate_index(12345), 13);
}

struct Adts {
    int rateIndex, channels, length;
    bool crc;
};

bool parse_adts(const uint8_t *p, size_t n, Adts *a)
{
    if (n < 7 || p[0] != 0xFF || (p[1] & 0xF0) != 0xF0)
        return false;
    a->crc = !(p[1] & 1);
    a->rateIndex = (p[2] >> 2) & 15;
    a->channels = ((p[2] & 1) << 2) | (p[3] >> 6);
    a->length = ((p[3] & 3) << 11) | (p[4] << 3) | (p[5] >> 5);
    return ((p[2] >> 6) & 3) == 1;   // AAC LC
}

struct Encoder {
    Engine_Handle engine = nullptr;
    Aenc1_Handle h = nullptr;
    Buffer_Handle in = nullptr, out = nullptr;
    uint64_t pos = 0;
    int channels = 2, rate = 48000;

    Encoder(int ch, int r, int bitRate, int adts = 1) : channels(ch), rate(r)
    {
        Engine_Error ec;
        engine = Engine_open("encode", nullptr, &ec);
        IAACENC_Params p = {};
        p.audencParams = Aenc1_Params_DEFAULT;
        p.audencParams.size = sizeof p;
        p.audencParams.sampleRate = r;
        p.audencParams.bitRate = bitRate;
        p.audencParams.channelMode = ch == 1 ? IAUDIO_1_0 : IAUDIO_2_0;
        p.audencParams.maxBitRate = 512000;
        p.useADTS = adts;
        h = Aenc1_create(engine, "aacenc", &p.audencParams, nullptr);
        in = Buffer_create(4096, &Buffer_Attrs_DEFAULT);
        out = Buffer_create(4096, &Buffer_Attrs_DEFAULT);
    }
    ~Encoder()
    {
        Aenc1_delete(h);
        Buffer_delete(in);
        Buffer_delete(out);
        Engine_close(engine);
    }
    // One period of the card's tones; the bytes produced.
    int encode()
    {
        int16_t *s = reinterpret_cast<int16_t *>(Buffer_getUserPtr(in));
        for (int i = 0; i < 1024; i++, pos++)
            for (int c = 0; c < channels; c++)
                s[i * channels + c] = platform_sound_sim_sample(pos, c, rate);
        Buffer_setNumBytesUsed(in, 1024 * channels * 2);
        EXPECT_EQ(Aenc1_process(h, in, out), 0);
        return (int)Buffer_getNumBytesUsed(out);
    }
};

TEST(AacEncoder, OneAdtsFramePerPeriodAfterPriming)
{
    for (auto [ch, rate, idx] : {std::tuple{2, 48000, 3}, std::tuple{1, 44100, 4}}) {
        SCOPED_TRACE(ch);
        Encoder e(ch, rate, 128000);
        ASSERT_NE(e.h, nullptr);
        EXPECT_EQ(Aenc1_getInBufSize(e.h), 1024 * ch * 2);
        EXPECT_EQ(e.encode(), 0) << "the priming call gives nothing";
        for (int k = 0; k < 20; k++) {
            int n = e.encode();
            ASSERT_GT(n, 7);
            ASSERT_LE(n, Aenc1_getOutBufSize(e.h));
            Adts a;
            ASSERT_TRUE(parse_adts(Buffer_getUserPtr(e.out), n, &a));
            EXPECT_FALSE(a.crc);
            EXPECT_EQ(a.rateIndex, idx);
            EXPECT_EQ(a.channels, ch);
            EXPECT_EQ(a.length, n);
        }
    }
    Encoder raw(2, 48000, 128000, 0);
    raw.encode();
    int n = raw.encode();
    Adts a;
    EXPECT_GT(n, 0);
    EXPECT_FALSE(parse_adts(Buffer_getUserPtr(raw.out), n, &a));
}

TEST(AacEncoder, BitRateChangeReachesTheLivingEncoder)
{
    Encoder e(2, 48000, 256000);
    ASSERT_NE(e.h, nullptr);
    long high = 0, low = 0;
    for (int k = 0; k < 150; k++)
        high += k >= 50 ? e.encode() : (e.encode(), 0);
    AUDENC1_DynamicParams dyn = Aenc1_DynamicParams_DEFAULT;
    dyn.bitRate = 64000;
    dyn.sampleRate = 48000;
    AUDENC1_Status st = {};
    st.size = sizeof st;
    ASSERT_EQ(AUDENC1_control(Aenc1_getVisaHandle(e.h), XDM_SETPARAMS, &dyn, &st), XDM_EOK);
    for (int k = 0; k < 150; k++)
        low += k >= 50 ? e.encode() : (e.encode(), 0);
    double kbHigh = high * 8.0 * 48000 / 1024 / 100 / 1000, kbLow = low * 8.0 * 48000 / 1024 / 100 / 1000;
    printf("256k -> %.1f kbit/s, 64k -> %.1f kbit/s\n", kbHigh, kbLow);
    EXPECT_LT(kbLow, kbHigh * 0.6);
    EXPECT_NEAR(kbLow, 64, 64 * 0.35);

    dyn.bitRate = 600000;   // beyond the encoder's maximum
    EXPECT_EQ(AUDENC1_control(Aenc1_getVisaHandle(e.h), XDM_SETPARAMS, &dyn, &st), XDM_EFAIL);
}

TEST(AacEncoder, RefusesWhatItCannotDo)
{
    Engine_Error ec;
    Engine_Handle engine = Engine_open("encode", nullptr, &ec);
    AUDENC1_Params p = Aenc1_Params_DEFAULT;
    EXPECT_EQ(Aenc1_create(engine, "mp3enc", &p, nullptr), nullptr);
    EXPECT_EQ(Engine_getLastError(engine), Engine_ENOTFOUND);
    p.sampleRate = 32000;
    EXPECT_EQ(Aenc1_create(engine, "aacenc", &p, nullptr), nullptr);
    p = Aenc1_Params_DEFAULT;
    p.channelMode = 7;
    EXPECT_EQ(Aenc1_create(engine, "aacenc", &p, nullptr), nullptr);
    Engine_close(engine);

    // Output bigger than the caller's buffer is not written past it; a short input is refused.
    Encoder e(2, 48000, 320000);
    Buffer_Attrs ref = Buffer_Attrs_DEFAULT;
    ref.reference = true;
    Buffer_Handle small = Buffer_create(16, &ref);
    std::vector<uint8_t> mem(64, 0xAB);
    Buffer_setUserPtr(small, mem.data());
    e.encode();
    std::swap(e.out, small);
    int16_t *s = reinterpret_cast<int16_t *>(Buffer_getUserPtr(e.in));
    for (int i = 0; i < 2048; i++)
        s[i] = (int16_t)(i * 7919);   // noise: a large frame
    Buffer_setNumBytesUsed(e.in, 4096);
    EXPECT_EQ(Aenc1_process(e.h, e.in, e.out), Dmai_EFAIL);
    EXPECT_EQ(Buffer_getNumBytesUsed(e.out), 0u);
    for (int i = 0; i < 64; i++)
        ASSERT_EQ(mem[i], 0xAB);
    std::swap(e.out, small);
    Buffer_delete(small);
    Buffer_setNumBytesUsed(e.in, 2048);
    EXPECT_EQ(Aenc1_process(e.h, e.in, e.out), Dmai_EFAIL);
}

// --- the thread ---

int count_of(const std::string &text)
{
    std::string log = test_log_text();
    int n = 0;
    for (size_t p = log.find(text); p != std::string::npos; p = log.find(text, p + 1))
        n++;
    return n;
}

bool wait_for(const std::function<bool()> &cond, int ms)
{
    for (int i = 0; i < ms / 10; i++) {
        if (cond())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return cond();
}

struct Entry {
    uint32_t seq, length, stamp;
    std::vector<uint8_t> data;
};

// The entry `seq` of a queue (copied while the producer cannot reach it: the ring is far ahead).
bool get_entry(StreamQueue *q, uint32_t seq, Entry *e)
{
    uint32_t off, len, ts, flags;
    pthread_mutex_lock(&q->mutex);
    int r = ringbuffer_get_entry(q, seq, &off, &len, &ts, &flags);
    if (r == 0)
        e->data.assign(q->data + off, q->data + off + len);
    pthread_mutex_unlock(&q->mutex);
    e->seq = seq;
    e->length = len;
    e->stamp = ts;
    return r == 0;
}

uint32_t queue_seq(StreamQueue *q)
{
    pthread_mutex_lock(&q->mutex);
    uint32_t s = q->seq;
    pthread_mutex_unlock(&q->mutex);
    return s;
}

// Waits for and returns the next `count` entries from `from` on.
std::vector<Entry> next_entries(StreamQueue *q, uint32_t from, int count)
{
    std::vector<Entry> out;
    for (uint32_t s = from; (int)out.size() < count; s++) {
        EXPECT_TRUE(wait_for([&] { return queue_seq(q) > s; }, 3000));
        Entry e;
        EXPECT_TRUE(get_entry(q, s, &e)) << "entry " << s << " lost";
        out.push_back(e);
    }
    return out;
}

// The card's frame position of a PCM period, found from its first frames (the joint pattern of
// the two tones repeats every 1200 frames at 48 kHz).
long tone_position(const Entry &e, unsigned rate, unsigned period)
{
    const int16_t *s = reinterpret_cast<const int16_t *>(e.data.data());
    for (unsigned n = 0; n < period; n++) {
        bool ok = true;
        for (int i = 0; i < 16 && ok; i++)
            ok = s[2 * i] == platform_sound_sim_sample(n + i, 0, rate) &&
                 s[2 * i + 1] == platform_sound_sim_sample(n + i, 1, rate);
        if (ok)
            return n;
    }
    return -1;
}

bool holds_tones_from(const Entry &e, uint64_t pos, unsigned rate)
{
    const int16_t *s = reinterpret_cast<const int16_t *>(e.data.data());
    for (int i = 0; i < 1024; i++)
        if (s[2 * i] != platform_sound_sim_sample(pos + i, 0, rate) ||
            s[2 * i + 1] != platform_sound_sim_sample(pos + i, 1, rate))
            return false;
    return true;
}

int adts_channels(const Entry &e)
{
    Adts a;
    return parse_adts(e.data.data(), e.data.size(), &a) ? a.channels : -1;
}

// One run of the thread: the queues, the settings it follows while running, and its end.
TEST(SoundThread, FeedsPcmAlwaysAndAacWhileConsumedFollowingTheSettings)
{
    platform_sound_sim_set_present(true);
    // A device that grants a period of another size: each pass still reads 1024 frames.
    platform_sound_sim_grant_period(1000);
    log_ring_reset();
    static ParamBlock params;
    params = param_defaults;
    params.Audio.Channels = 2;
    params.Audio.SampleRate = 48000;
    params.Audio.BitRate = 192000;
    AudioEnv audioA = {};
    audioA.source = 1;
    SoundEnv env = {};
    env.name = "sound";
    env.params = &params;
    env.hRendezvousInit = Rendezvous_create(2);
    env.hRendezvousCleanup = Rendezvous_create(2);
    env.engineName = "encode";
    env.sampleRate = 48000;
    env.channels = 2;
    env.audioA = &audioA;
    std::thread th(soundThrFxn, &env);
    Rendezvous_meet(env.hRendezvousInit);
    StreamQueue *pcm = get_stream_queue(PCM_STREAM);
    StreamQueue *aac = get_stream_queue(AAC_STREAM);
    ASSERT_NE(pcm, nullptr);
    ASSERT_NE(aac, nullptr);

    // Without an AAC consumer only the PCM queue grows.
    std::vector<Entry> p = next_entries(pcm, 0, 24);
    EXPECT_EQ(queue_seq(aac), 0u);
    long pos = tone_position(p[0], 48000, 1200);
    ASSERT_GE(pos, 0);
    for (size_t k = 0; k < p.size(); k++) {
        ASSERT_EQ(p[k].length, 4096u);
        EXPECT_TRUE(holds_tones_from(p[k], pos + 1024 * k, 48000)) << "period " << k << " has a gap or repeat";
        if (k) {
            EXPECT_NEAR((double)(int32_t)(p[k].stamp - p[k - 1].stamp), 1920.0, 2.0);
        }
    }
    EXPECT_NE(test_log_text().find("sound: input=Line, left=0 right=0 agc=0 mute=0"), std::string::npos);

    // Held up longer than the device buffer: one overrun, counted, and the pass still appends
    // its whole period of continuous signal; the device stays open.
    uint32_t before = queue_seq(pcm);
    pthread_mutex_lock(&pcm->mutex);
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    pthread_mutex_unlock(&pcm->mutex);
    EXPECT_TRUE(wait_for([] { return audio_status.overruns == 1; }, 2000));
    for (const Entry &e : next_entries(pcm, before, 6)) {
        ASSERT_EQ(e.length, 4096u);
        long at = tone_position(e, 48000, 1200);
        EXPECT_TRUE(at >= 0 && holds_tones_from(e, at, 48000)) << "entry " << e.seq;
    }
    EXPECT_EQ(audio_status.overruns, 1u);
    EXPECT_EQ(count_of("overrun!!! last capture was"), 1);
    EXPECT_EQ(count_of("sound: input="), 1);

    // A consumer: one ADTS frame per period, never an empty entry, stamped as its PCM period.
    stream_use(AAC_STREAM);
    std::vector<Entry> a = next_entries(aac, 0, 20);
    for (const Entry &e : a) {
        ASSERT_GT(e.length, 7u) << "entry " << e.seq;
        EXPECT_EQ(adts_channels(e), 2);
    }
    uint32_t pcmNow = queue_seq(pcm);
    bool found = false;
    for (uint32_t s = pcmNow - 10; s < pcmNow && !found; s++) {
        Entry e;
        found = get_entry(pcm, s, &e) && e.stamp == a.back().stamp;
    }
    EXPECT_TRUE(found) << "the AAC stamp is the stamp of a PCM period";
    EXPECT_EQ(count_of("aac: ADTS=1 ch=2 in=4096 out=1543 rate=48000 48000"), 1);

    // A new bit rate reaches the running encoder: no new device, no new encoder.
    params.Audio.BitRate = 64000;
    EXPECT_TRUE(wait_for([] { return count_of("sound: AAC bitrate 64000") == 1; }, 2000));
    EXPECT_EQ(count_of("aac: ADTS="), 1);
    EXPECT_EQ(count_of("sound: input="), 1);

    // Mono from the next period on, without reopening the device.
    params.Audio.Channels = 1;
    EXPECT_TRUE(wait_for([] { return count_of("aac: ADTS=1 ch=1 in=2048") == 1; }, 2000));
    std::vector<Entry> m = next_entries(aac, queue_seq(aac), 5);
    for (const Entry &e : m)
        EXPECT_EQ(adts_channels(e), 1);
    EXPECT_EQ(count_of("sound: input="), 1);

    // A new rate reopens the device and the encoder follows.
    params.Audio.SampleRate = 44100;
    EXPECT_TRUE(wait_for([] { return count_of("rate=44100 AudioModel=") == 1; }, 3000));
    EXPECT_NE(test_log_text().find("sound sample rate 48000 44100 or channels changed 2 2"), std::string::npos);
    EXPECT_TRUE(wait_for([] { return count_of("aac: ADTS=1 ch=1 in=2048 out=775 rate=44100 44100") == 1; }, 3000));
    EXPECT_EQ(audio_status.adtsIndex, 4u);
    std::vector<Entry> q = next_entries(pcm, queue_seq(pcm), 3);
    pos = -1;
    for (unsigned n = 0; n < 44100 && pos < 0; n += 1) {   // the 44.1 kHz pattern is longer
        const int16_t *s = reinterpret_cast<const int16_t *>(q[0].data.data());
        if (s[0] == platform_sound_sim_sample(n, 0, 44100) && s[1] == platform_sound_sim_sample(n, 1, 44100) &&
            s[2] == platform_sound_sim_sample(n + 1, 0, 44100) && s[3] == platform_sound_sim_sample(n + 1, 1, 44100) &&
            holds_tones_from(q[0], n, 44100))
            pos = n;
    }
    ASSERT_GE(pos, 0);
    EXPECT_TRUE(holds_tones_from(q[1], pos + 1024, 44100));
    EXPECT_TRUE(holds_tones_from(q[2], pos + 2048, 44100));

    // No consumer: the encoder idles, PCM goes on.
    StreamQueue *aq = get_stream_queue(AAC_STREAM);
    stream_release(aq);
    uint32_t aacStop = queue_seq(aac) + 1;   // a pass in progress may still put one
    uint32_t pcmStop = queue_seq(pcm);
    next_entries(pcm, pcmStop, 5);
    EXPECT_LE(queue_seq(aac), aacStop);

    // A mixer setting reaches the card while the device stays open.
    params.Audio.VolumeLeft = 77;
    EXPECT_TRUE(wait_for([] {
        PlatformMixer *mx = nullptr;
        platform_mixer_open(&mx);
        platform_mixer_attach(mx, "hw:0");
        platform_mixer_register(mx);
        platform_mixer_load(mx);
        long v = -1;
        for (PlatformMixerElem *e = platform_mixer_first(mx); e; e = platform_mixer_next(e))
            if (strcmp(platform_mixer_elem_name(e), "PGA") == 0)
                platform_mixer_elem_get(e, MIXER_CAPTURE_VOLUME, 0, &v);
        platform_mixer_close(mx);
        return v == 77;
    }, 2000));
    EXPECT_EQ(count_of("sound: input="), 2);
    EXPECT_EQ(env.status, 0);
    EXPECT_EQ(audio_status.overruns, 1u);

    // The ends of the ranges: the most the encoder takes, in mono, keeps it encoding.
    stream_use(AAC_STREAM);
    params.Audio.BitRate = 512000;
    EXPECT_TRUE(wait_for([] { return count_of("sound: AAC bitrate 512000") == 1; }, 2000));
    for (const Entry &e : next_entries(aac, queue_seq(aac), 5))
        EXPECT_GT(e.length, 7u);
    // A rate the encoder cannot take: the failure is logged, and nothing is retried (no device
    // opened and closed each period) until a setting changes.
    params.Audio.SampleRate = 32000;
    EXPECT_TRUE(wait_for([] { return count_of("Failed to create audio encoder: aacenc") > 0; }, 3000));
    int failures = count_of("Failed to create audio encoder: aacenc");
    int opens = count_of("sound: input=");
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(count_of("Failed to create audio encoder: aacenc"), failures);
    EXPECT_EQ(count_of("sound: input="), opens);
    EXPECT_EQ(env.status, -1);
    params.Audio.SampleRate = 48000;
    EXPECT_TRUE(wait_for([&] { return count_of("sound: input=") == opens + 1; }, 3000));
    uint32_t from = queue_seq(aac);
    for (const Entry &e : next_entries(aac, from, 3))
        EXPECT_EQ(adts_channels(e), 1);
    stream_release(aq);

    quit_set(QUIT_QUIT, false);
    Rendezvous_meet(env.hRendezvousCleanup);
    th.join();
    Rendezvous_delete(env.hRendezvousInit);
    Rendezvous_delete(env.hRendezvousCleanup);
    platform_sound_sim_grant_period(0);
    mixer_reset();
}

} // namespace
