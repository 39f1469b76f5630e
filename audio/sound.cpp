// The sound thread: captures 16-bit stereo PCM from "hw:0,0" in periods of 1024 frames, stamps
// each period in the 90 kHz clock, appends it to PCM_STREAM and, while somebody consumes AAC,
// encodes it with "aacenc" into AAC_STREAM. Audio settings are applied while it runs.
#include "audio/sound.h"
#include "audio/mixer.h"

#include "core/board.h"
#include "core/log.h"
#include "core/param.h"
#include "core/quit.h"
#include "core/soc.h"
#include "core/threads.h"
#include "platform/codec_audio.h"
#include "platform/dmai.h"
#include "platform/sound.h"
#include "streams/ringbuffer.h"
#include "streams/stream.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <pthread.h>

AudioStatus audio_status;
volatile int32_t audio_power_down;

const int adts_sample_rates[16] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050,
                                   16000, 12000, 11025, 8000,  7350,  0,     0,     0};

int adts_rate_index(int rate)
{
    int i = 0;
    while (i < 16 && adts_sample_rates[i] != 0 && adts_sample_rates[i] != rate)
        i++;
    return i;
}

void sound_make_mono(const int16_t *stereo, int16_t *mono, int frames, int monoMode)
{
    for (int i = 0; i < frames; i++) {
        int l = stereo[2 * i], r = stereo[2 * i + 1];
        mono[i] = (int16_t)(monoMode == 1 ? r : monoMode == 2 ? l : (l + r) >> 1);
    }
}

namespace {

const char SOUND_DEVICE[] = "hw:0,0";

enum {
    PCM_IN_BYTES = 8192,
    AAC_OUT_BYTES = 4096,
    MONO_BYTES = 2048,
    PCM_RING_BYTES = 65536,
    AAC_RING_BYTES = 262144,
    PCM_RING_ENTRIES = 16,
    AAC_RING_ENTRIES = 512,
    RING_ALIGN = 32,
    MAX_BUFFER_TIME_US = 500000,
    AAC_MAX_BITRATE = 512000,
};

// The queues live as long as the process: the registry points at them.
StreamQueue pcm_queue, aac_queue;
StreamRunState pcm_run, aac_run;
Buffer_Handle pcm_ring_data, aac_ring_data;

struct SoundThread {
    SoundEnv *env;
    Engine_Handle engine;
    Buffer_Handle hPcmIn;       // reference into the PCM ring
    Buffer_Handle hAacOut;      // reference into the AAC ring
    Buffer_Handle hMono;
    Aenc1_Handle aenc;
    int encChannels;
    int encRate;
    int encBitRate;             // last applied
    SoundAttrs attrs;
    int agc;
    int mute;
};

const char *input_name(int input)
{
    return input == 0 ? "Mic" : input == 1 ? "Line" : "Digital";
}

int agc_mask(const ParamBlock *p)
{
    return p->Audio.AGCLeft + 2 * p->Audio.AGCRight;
}

// Sleeps `ms` in steps of `step` ms, or less when quit comes. Returns nonzero on quit.
int sleep_steps(int ms, int step)
{
    for (int t = 0; t < ms; t += step) {
        if (quit_requested())
            return 1;
        if (quit_wait(step))
            return 1;
    }
    return quit_requested();
}

int setup_hw(SoundAlsaObject *s, PlatformPcm *pcm, PlatformPcmHw *hw, SoundAttrs *attrs)
{
    int r;
    if ((r = platform_pcm_hw_any(pcm, hw)) < 0) {
        platform_trace(PLATFORM_TRACE_ERROR, "[Sound] Failed to init ALSA hardware param structure on %s (%s)\n",
                       SOUND_DEVICE, platform_sound_strerror(r));
        return r;
    }
    if ((r = platform_pcm_hw_set_access_interleaved(pcm, hw)) < 0) {
        platform_trace(PLATFORM_TRACE_ERROR, "[Sound] Failed to set ALSA access type on %s (%s)\n", SOUND_DEVICE,
                       platform_sound_strerror(r));
        return r;
    }
    if ((r = platform_pcm_hw_set_format_s16le(pcm, hw)) < 0) {
        platform_trace(PLATFORM_TRACE_ERROR, "[Sound] Failed to set sample format on %s (%s)\n", SOUND_DEVICE,
                       platform_sound_strerror(r));
        return r;
    }
    unsigned rate = (unsigned)attrs->sampleRate;
    if ((r = platform_pcm_hw_set_rate_near(pcm, hw, &rate)) < 0) {
        platform_trace(PLATFORM_TRACE_ERROR, "[Sound] Failed to set sample rate to %d on %s (%s)\n",
                       attrs->sampleRate, SOUND_DEVICE, platform_sound_strerror(r));
        return r;
    }
    attrs->sampleRate = (int32_t)rate;
    if ((r = platform_pcm_hw_set_channels(pcm, hw, (unsigned)attrs->channels)) < 0) {
        platform_trace(PLATFORM_TRACE_ERROR, "[Sound] Failed to set channel count to %d on %s (%s)\n",
                       attrs->channels, SOUND_DEVICE, platform_sound_strerror(r));
        return r;
    }
    unsigned long period = (unsigned long)s->periodSize;
    if ((r = platform_pcm_hw_set_period_size_near(pcm, hw, &period)) < 0) {
        platform_trace(PLATFORM_TRACE_ERROR, "[Sound] Failed to set the period size to %d on %s (%s)\n",
                       s->periodSize, SOUND_DEVICE, platform_sound_strerror(r));
        return r;
    }
    if (period != (unsigned long)s->periodSize)
        platform_trace(PLATFORM_TRACE_DEBUG, "[Sound] Failed to set period size (%d) , got (%d) on %s (%s)\n",
                       s->periodSize, (int)period, SOUND_DEVICE, platform_sound_strerror(r));
    unsigned us = 0;
    if ((r = platform_pcm_hw_get_buffer_time_max(hw, &us)) < 0) {
        platform_trace(PLATFORM_TRACE_ERROR, "[Sound] Failed to get maximum buffer time on %s (%s)\n", SOUND_DEVICE,
                       platform_sound_strerror(r));
        return r;
    }
    if (us > MAX_BUFFER_TIME_US)
        us = MAX_BUFFER_TIME_US;
    if ((r = platform_pcm_hw_set_buffer_time_near(pcm, hw, &us)) < 0) {
        platform_trace(PLATFORM_TRACE_ERROR, "[Sound] Failed to set maximum buffer time on %s (%s)\n", SOUND_DEVICE,
                       platform_sound_strerror(r));
        return r;
    }
    if ((r = platform_pcm_hw_params(pcm, hw)) < 0) {
        platform_trace(PLATFORM_TRACE_ERROR, "[Sound] Failed to set ALSA parameters on %s (%s)\n", SOUND_DEVICE,
                       platform_sound_strerror(r));
        return r;
    }
    unsigned long bufSize = 0;
    platform_pcm_hw_get_period_size(hw, &period);
    platform_pcm_hw_get_buffer_size(hw, &bufSize);
    if (period == bufSize) {
        platform_trace(PLATFORM_TRACE_ERROR, "[Sound] Can't use period size equal to buf size (%d == %d)\n",
                       (int)period, (int)bufSize);
        return -EINVAL;
    }
    s->periodSize = (int32_t)period;
    s->bufSize = (int32_t)bufSize;
    return 0;
}

int setup_sw(SoundAlsaObject *s, PlatformPcm *pcm, PlatformPcmSw *sw, bool capture)
{
    int r;
    if ((r = platform_pcm_sw_current(pcm, sw)) < 0) {
        platform_trace(PLATFORM_TRACE_ERROR, "[Sound] Failed to read the current swparams on %s (%s)\n",
                       SOUND_DEVICE, platform_sound_strerror(r));
        return r;
    }
    if ((r = platform_pcm_sw_set_avail_min(pcm, sw, (unsigned long)s->periodSize)) < 0) {
        platform_trace(PLATFORM_TRACE_ERROR, "[Sound] Failed to set avail min to (%d) on %s (%s)\n", s->periodSize,
                       SOUND_DEVICE, platform_sound_strerror(r));
        return r;
    }
    unsigned long start = 0, stop = 0;
    platform_pcm_sw_get_start_threshold(sw, &start);
    platform_pcm_sw_get_stop_threshold(sw, &stop);
    log_print_raw("current start=%lu stop=%lu bufSize=%lu periodSize=%lu\n", start, stop, (unsigned long)s->bufSize,
                  (unsigned long)s->periodSize);
    unsigned long threshold = capture ? 1 : (unsigned long)s->bufSize;
    if ((r = platform_pcm_sw_set_start_threshold(pcm, sw, threshold)) < 0 ||
        (r = platform_pcm_sw_set_stop_threshold(pcm, sw, (unsigned long)s->bufSize)) < 0) {
        platform_trace(PLATFORM_TRACE_ERROR, "[Sound] Failed to set start threashold to (%d) on %s (%s)\n",
                       (int)threshold, SOUND_DEVICE, platform_sound_strerror(r));
        return r;
    }
    if ((r = platform_pcm_sw_params(pcm, sw)) < 0) {
        platform_trace(PLATFORM_TRACE_ERROR, "[Sound] Failed to set swparams on %s (%s)\n", SOUND_DEVICE,
                       platform_sound_strerror(r));
        return r;
    }
    return 0;
}

int open_stream(SoundAlsaObject *s, SoundAttrs *attrs, bool capture)
{
    PlatformPcm **pcm = capture ? &s->capture : &s->playback;
    PlatformPcmHw **hw = capture ? &s->captureHw : &s->playbackHw;
    PlatformPcmSw **sw = capture ? &s->captureSw : &s->playbackSw;
    int r = platform_pcm_open(pcm, SOUND_DEVICE, capture ? PLATFORM_PCM_CAPTURE : PLATFORM_PCM_PLAYBACK);
    if (r < 0) {
        platform_trace(PLATFORM_TRACE_ERROR,
                       capture ? "[Sound] Failed to open ALSA sound device for input %s (%s)\n"
                               : "[Sound] Failed to open ALSA sound device for output %s (%s)\n",
                       SOUND_DEVICE, platform_sound_strerror(r));
        return r;
    }
    if ((r = platform_pcm_hw_malloc(hw)) < 0) {
        platform_trace(PLATFORM_TRACE_ERROR, "[Sound] Failed to alloc hardware param structure on %s (%s)\n",
                       SOUND_DEVICE, platform_sound_strerror(r));
        return r;
    }
    if ((r = platform_pcm_sw_malloc(sw)) < 0) {
        platform_trace(PLATFORM_TRACE_ERROR, "[Sound] Failed to alloc software param structure on %s (%s)\n",
                       SOUND_DEVICE, platform_sound_strerror(r));
        return r;
    }
    if ((r = setup_hw(s, *pcm, *hw, attrs)) < 0)
        return r;
    return setup_sw(s, *pcm, *sw, capture);
}

} // namespace

SoundAlsaObject *Sound_alsa_create(SoundAttrs *attrs)
{
    if (!attrs) {
        log_print_raw("%s: %s: Assertion `%s' failed.\n", "sound", "Sound_alsa_create", "attrs");
        return nullptr;
    }
    SoundAlsaObject *s = static_cast<SoundAlsaObject *>(calloc(1, sizeof(SoundAlsaObject)));
    if (!s) {
        platform_trace(PLATFORM_TRACE_ERROR, "[Sound] Failed to allocate space for Sound Object\n");
        return nullptr;
    }
    s->impl = attrs->impl;
    s->sampleRate = attrs->sampleRate;
    s->channels = (int16_t)attrs->channels;
    s->periodSize = SOUND_PERIOD_FRAMES;
    bool input = attrs->mode == SOUND_MODE_INPUT || attrs->mode == SOUND_MODE_BOTH;
    bool output = attrs->mode == SOUND_MODE_OUTPUT || attrs->mode == SOUND_MODE_BOTH;
    if ((input && open_stream(s, attrs, true) < 0) || (output && open_stream(s, attrs, false) < 0)) {
        Sound_delete(s);
        return nullptr;
    }
    if (platform_trace_on(PLATFORM_TRACE_DEBUG)) {
        if (s->capture)
            platform_pcm_dump(s->capture);
        if (s->playback)
            platform_pcm_dump(s->playback);
    }
    return s;
}

void Sound_delete(SoundAlsaObject *s)
{
    if (!s)
        return;
    if (s->capture)
        platform_pcm_close(s->capture);
    if (s->playback)
        platform_pcm_close(s->playback);
    platform_pcm_hw_free(s->captureHw);
    platform_pcm_hw_free(s->playbackHw);
    platform_pcm_sw_free(s->captureSw);
    platform_pcm_sw_free(s->playbackSw);
    free(s);
    platform_sound_free_config();
}

namespace {

// Reads one period of 1024 frames to `dst` and gives its capture stamp. Whatever period the
// device granted, exactly the 1024 frames the caller reserved room for are read.
int Sound_alsa_read_ts(SoundAlsaObject *s, uint8_t *dst, uint32_t *stamp)
{
    const unsigned long frames = SOUND_PERIOD_FRAMES;
    const size_t frameBytes = (size_t)s->channels * 2;
    unsigned long done = 0;
    while (done < frames) {
        long r = platform_pcm_readi(s->capture, dst + done * frameBytes, frames - done);
        if (r > 0) {
            done += (unsigned long)r;
        } else if (r == -EPIPE) {
            platform_pcm_prepare(s->capture);
            int load = 0;
            if (cpu_handle)
                Cpu_getLoad(cpu_handle, &load);
            log_print_raw("overrun!!! last capture was %d ms ago (cpu %d)\n",
                          (int)((hw_clock_90khz() - audio_status.lastCaptureStamp) / 90), load);
            audio_status.overruns = audio_status.overruns + 1;
        } else if (r == -EAGAIN) {
            platform_trace(PLATFORM_TRACE_ERROR, "[Sound] Device not ready %s\n", SOUND_DEVICE);
            return -1;
        } else {
            return -1;
        }
    }
    unsigned long avail = 0;
    struct timespec ts = {0, 0};
    if (platform_pcm_htimestamp(s->capture, &avail, &ts) < 0)
        log_print_raw("error snd_pcm_htimestamp\n");
    // The driver's timestamp carries the 90 kHz clock in its seconds word.
    *stamp = (uint32_t)ts.tv_sec - (uint32_t)((avail + frames) * 90000u / (uint32_t)s->sampleRate);
    return 0;
}

void fill_attrs(SoundThread *t)
{
    const ParamBlock *p = t->env->params;
    t->attrs.sampleRate = (int32_t)p->Audio.SampleRate;
    t->attrs.channels = t->env->channels;
    t->attrs.leftGain = p->Audio.VolumeLeft;
    t->attrs.rightGain = p->Audio.VolumeRight;
    t->attrs.mode = SOUND_MODE_INPUT;
    t->attrs.input = p->Audio.Input;
    t->attrs.impl = SOUND_IMPL_ALSA;
    t->attrs.periodSize = SOUND_PERIOD_FRAMES;
    t->agc = agc_mask(p);
    t->mute = p->Audio.Mute;
}

void delete_encoder(SoundThread *t)
{
    if (t->aenc)
        Aenc1_delete(t->aenc);
    t->aenc = nullptr;
}

int create_encoder(SoundThread *t, int channels, int rate)
{
    SoundEnv *env = t->env;
    const ParamBlock *p = env->params;
    delete_encoder(t);
    IAACENC_Params params = {};
    params.audencParams = Aenc1_Params_DEFAULT;
    params.audencParams.size = sizeof params;
    params.audencParams.sampleRate = rate;
    params.audencParams.bitRate = (int32_t)p->Audio.BitRate;
    params.audencParams.channelMode = channels == 1 ? IAUDIO_1_0 : IAUDIO_2_0;
    params.audencParams.inputFormat = IAUDIO_INTERLEAVED;
    params.audencParams.maxBitRate = AAC_MAX_BITRATE;
    params.useADTS = env->audioA ? env->audioA->source : 1;
    AUDENC1_DynamicParams dyn = Aenc1_DynamicParams_DEFAULT;
    dyn.bitRate = params.audencParams.bitRate;
    dyn.sampleRate = rate;
    dyn.channelMode = params.audencParams.channelMode;
    t->aenc = Aenc1_create(t->engine, "aacenc", &params.audencParams, &dyn);
    if (!t->aenc)
        return -1;
    t->encChannels = channels;
    t->encRate = rate;
    t->encBitRate = (int)p->Audio.BitRate;
    log_printf("aac: ADTS=%d ch=%d in=%d out=%d rate=%d %d\n", params.useADTS, channels, Aenc1_getInBufSize(t->aenc),
               Aenc1_getOutBufSize(t->aenc), rate, rate);
    audio_status.adtsIndex = (uint32_t)adts_rate_index(rate);
    return 0;
}

void set_bitrate(SoundThread *t, int bitRate)
{
    AUDENC1_DynamicParams dyn = {};
    dyn.size = sizeof dyn;
    dyn.bitRate = bitRate;
    dyn.sampleRate = t->encRate;
    dyn.channelMode = t->encChannels == 1 ? IAUDIO_1_0 : IAUDIO_2_0;
    dyn.lfeFlag = 0;
    dyn.dualMonoMode = 0;
    dyn.inputBitsPerSample = 16;
    AUDENC1_Status status = {};
    status.size = sizeof status;
    if (AUDENC1_control(Aenc1_getVisaHandle(t->aenc), XDM_SETPARAMS, &dyn, &status) != XDM_EOK)
        log_error("%s %d: Failed to set AAC param bitRate\n", t->env->name, __LINE__);
    else
        log_printf("%s: AAC bitrate %d\n", t->env->name, bitRate);
    t->encBitRate = bitRate;
}

// A failed encoder set-up is not retried until a setting it depends on changes: the device
// would otherwise be opened and closed again every period at real-time priority.
void wait_encoder_settings(SoundThread *t)
{
    const ParamBlock *p = t->env->params;
    uint32_t rate = p->Audio.SampleRate, bitRate = p->Audio.BitRate;
    uint8_t channels = p->Audio.Channels;
    while (!quit_requested() && !audio_power_down && p->Audio.SampleRate == rate && p->Audio.BitRate == bitRate &&
           p->Audio.Channels == channels)
        quit_wait(1000);
}

// The encoder's part of a pass: nothing while no one consumes AAC.
void encode_period(SoundThread *t, SoundAlsaObject *s, uint32_t stamp, bool *failed)
{
    SoundEnv *env = t->env;
    const ParamBlock *p = env->params;
    if (stream_get_state_by_id(AAC_STREAM) != 1)
        return;
    int off = ringbuffer_preallocate(&aac_queue, AAC_OUT_BYTES);
    if (off < 0)
        return;
    Buffer_setUserPtr(t->hAacOut, aac_queue.data + off);
    Buffer_setNumBytesUsed(t->hAacOut, 0);

    int channels = p->Audio.Channels == 1 || s->channels == 1 ? 1 : 2;
    if (!t->aenc || channels != t->encChannels || s->sampleRate != t->encRate) {
        if (create_encoder(t, channels, s->sampleRate) < 0) {
            log_error("%s %d: Failed to create audio encoder: aacenc\n", env->name, __LINE__);
            env->status = -1;
            *failed = true;
            return;
        }
    }
    if ((int)p->Audio.BitRate != t->encBitRate)
        set_bitrate(t, (int)p->Audio.BitRate);

    Buffer_Handle in = t->hPcmIn;
    if (channels == 1 && s->channels == 2) {
        sound_make_mono(reinterpret_cast<const int16_t *>(Buffer_getUserPtr(t->hPcmIn)),
                        reinterpret_cast<int16_t *>(Buffer_getUserPtr(t->hMono)), SOUND_PERIOD_FRAMES,
                        p->Audio.MonoMode);
        Buffer_setNumBytesUsed(t->hMono, MONO_BYTES);
        in = t->hMono;
    }
    int r = Aenc1_process(t->aenc, in, t->hAacOut);
    if (r < 0)
        log_printf("%s %d: Aenc1_process returned %d\n", env->name, __LINE__, r);
    size_t used = Buffer_getNumBytesUsed(t->hAacOut);
    if (used == 0) {
        // An empty entry would stop every muxing reader's audio and end the queue's backward
        // scans: the priming call of the encoder only shows here.
        log_print_raw("aac %p %u %ld\n", (void *)Buffer_getUserPtr(t->hAacOut), (unsigned)stamp, (long)used);
        return;
    }
    ringbuffer_put(&aac_queue, (uint32_t)used, stamp, RB_FLAG_KEYFRAME);
}

// The inner loop: one pass per period until the device has to be closed. Returns -1 after a
// read failure.
int capture_loop(SoundThread *t, SoundAlsaObject *s)
{
    SoundEnv *env = t->env;
    const ParamBlock *p = env->params;
    while (true) {
        if (quit_requested())
            return 0;
        if (audio_power_down) {
            log_print_raw("sound powering down\n");
            return 0;
        }
        if ((int)p->Audio.SampleRate != s->sampleRate || env->channels != s->channels) {
            log_print_raw("sound sample rate %ld %d or channels changed %d %d\n", (long)s->sampleRate,
                          (int)p->Audio.SampleRate, env->channels, (int)s->channels);
            return 0;
        }
        int agc = agc_mask(p);
        if (p->Audio.Input != t->attrs.input || p->Audio.VolumeLeft != t->attrs.leftGain ||
            p->Audio.VolumeRight != t->attrs.rightGain || agc != t->agc || p->Audio.Mute != t->mute) {
            bool inputChanged = p->Audio.Input != t->attrs.input;
            t->attrs.input = p->Audio.Input;
            t->attrs.leftGain = p->Audio.VolumeLeft;
            t->attrs.rightGain = p->Audio.VolumeRight;
            t->agc = agc;
            t->mute = p->Audio.Mute;
            if (inputChanged)
                log_printf("set sound input: %s, left=%d right=%d agc=%d mute=%d\n",
                           t->attrs.input == 0   ? "Mic"
                           : t->attrs.input == 1 ? "Line"
                           : t->attrs.input == 2 ? "Digital Audio"
                                                 : "other",
                           t->attrs.leftGain, t->attrs.rightGain, t->agc, t->mute);
            setMixerVolume(&t->attrs, t->agc, t->mute);
        }

        const uint32_t bytes = SOUND_PERIOD_FRAMES * (uint32_t)s->channels * 2;
        int off = ringbuffer_preallocate(&pcm_queue, bytes);
        if (off < 0)
            return -1;
        Buffer_setUserPtr(t->hPcmIn, pcm_queue.data + off);
        uint32_t stamp = 0;
        if (Sound_alsa_read_ts(s, pcm_queue.data + off, &stamp) < 0)
            return -1;
        Buffer_setNumBytesUsed(t->hPcmIn, bytes);
        audio_status.lastCaptureStamp = stamp;
        audio_status.captureStamp = stamp;
        ringbuffer_put(&pcm_queue, bytes, stamp, RB_FLAG_KEYFRAME);

        bool failed = false;
        encode_period(t, s, stamp, &failed);
        if (failed) {
            wait_encoder_settings(t);
            return 0;
        }
    }
}

bool thread_setup(SoundThread *t)
{
    SoundEnv *env = t->env;
    Engine_Error ec = Engine_EOK;
    t->engine = Engine_open(env->engineName, nullptr, &ec);
    if (!t->engine) {
        log_error("%s %d: Failed to open codec engine %s\n", env->name, __LINE__, env->engineName);
        env->status = -1;
        return false;
    }
    Buffer_Attrs ref = Buffer_Attrs_DEFAULT;
    ref.reference = true;
    if (!(t->hPcmIn = Buffer_create(PCM_IN_BYTES, &ref))) {
        log_error("%s %d: Failed to allocate PCM input buffer.\n", env->name, __LINE__);
        env->status = -1;
        return false;
    }
    if (!(t->hAacOut = Buffer_create(AAC_OUT_BYTES, &ref))) {
        log_error("%s %d: Failed to allocate AAC output buffer.\n", env->name, __LINE__);
        env->status = -1;
        return false;
    }
    if (!(t->hMono = Buffer_create(MONO_BYTES, &Buffer_Attrs_DEFAULT))) {
        log_error("%s %d: Failed to allocate mono conversion buffer.\n", env->name, __LINE__);
        env->status = -1;
        return false;
    }
    if (!(pcm_ring_data = Buffer_create(PCM_RING_BYTES, &Buffer_Attrs_DEFAULT))) {
        log_error("%s %d: Failed to allocate PCM ring buffer.\n", env->name, __LINE__);
        env->status = -1;
        return false;
    }
    if (!(aac_ring_data = Buffer_create(AAC_RING_BYTES, &Buffer_Attrs_DEFAULT))) {
        log_error("%s %d: Failed to allocate AAC ring buffer.\n", env->name, __LINE__);
        env->status = -1;
        return false;
    }
    stream_register(&pcm_run, &pcm_queue, PCM_STREAM);
    ringbuffer_init(&pcm_queue, pcm_ring_data, PCM_RING_ENTRIES, RING_ALIGN);
    stream_register(&aac_run, &aac_queue, AAC_STREAM);
    ringbuffer_init(&aac_queue, aac_ring_data, AAC_RING_ENTRIES, RING_ALIGN);
    return true;
}

void run(SoundThread *t)
{
    SoundEnv *env = t->env;
    const ParamBlock *p = env->params;
    while (!quit_requested()) {
        if (audio_power_down) {
            quit_wait(500);
            continue;
        }
        fill_attrs(t);
        if (t->attrs.input == SOUND_INPUT_DIGITAL) {
            // The digital input is shared with playback, which lets go of it when it ends.
            while (!audio_status.playbackReleased && !quit_requested())
                quit_wait(20);
            if (quit_requested())
                break;
        }
        SoundAlsaObject *s = Sound_alsa_create(&t->attrs);
        if (!s) {
            log_error("%s %d: Failed to create sound capture device\n", env->name, __LINE__);
            uint8_t input = p->Audio.Input;
            while (!quit_requested() && p->Audio.Input == input)
                quit_wait(100);
            continue;
        }
        log_printf("%s: input=%s, left=%ld right=%ld agc=%d mute=%d passthru=%d bufsize=%ld rate=%ld AudioModel=%d\n",
                   env->name, input_name(t->attrs.input), (long)t->attrs.leftGain, (long)t->attrs.rightGain, t->agc,
                   t->mute, env->flag0, (long)s->bufSize, (long)s->sampleRate, (int)audio_status.AudioModel);
        setMixerVolume(&t->attrs, t->agc, t->mute);
        platform_pcm_start(s->capture);
        audio_status.captureStamp = hw_clock_90khz() - 1920;
        if (capture_loop(t, s) < 0) {
            log_error("%s %d: Failed to read audio buffer\n", env->name, __LINE__);
            env->status = -1;
            uint8_t input = p->Audio.Input;
            while (!quit_requested() && p->Audio.Input == input)
                quit_wait(1000);
        }
        Sound_delete(s);
    }
}

} // namespace

void *soundThrFxn(void *arg)
{
    SoundEnv *env = static_cast<SoundEnv *>(arg);
    SoundThread t = {};
    t.env = env;
    thread_init_begin(env->name);
    register_thread_cpu_clock(env->name);
    bool ok = thread_setup(&t);
    thread_init_end(env->name);
    rendezvous_meet(env->hRendezvousInit, env->name);
    audio_status.AudioModel = (uint16_t)board_model;

    if (ok) {
        if (!sleep_steps(1000, 100))
            run(&t);
    } else {
        // Without its buffers the thread must not capture; it waits for the end with the rest.
        while (!quit_requested())
            quit_wait(500);
    }

    if (env->hPlaybackFifo1)
        Fifo_flush(env->hPlaybackFifo1);
    myRendezvousCleanup(env->hRendezvousCleanup, env->name);
    if (t.hPcmIn)
        Buffer_delete(t.hPcmIn);
    if (t.hMono)
        Buffer_delete(t.hMono);
    if (t.engine)
        Engine_close(t.engine);
    if (t.hAacOut)
        Buffer_delete(t.hAacOut);
    delete_encoder(&t);
    thread_cpu_time_print(pthread_self(), env->name);
    return nullptr;
}
