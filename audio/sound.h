// Sound capture and encoding: the thread that feeds PCM_STREAM and AAC_STREAM from the sound
// card, and the audio subsystem's shared status record.
#pragma once
#include <cstdint>

struct PlatformMixer;
struct PlatformMixerElem;
struct PlatformPcm;
struct PlatformPcmHw;
struct PlatformPcmSw;

enum { SOUND_PERIOD_FRAMES = 1024 };
enum { SOUND_MODE_OUTPUT = 0, SOUND_MODE_INPUT = 1, SOUND_MODE_BOTH = 2 };
enum { SOUND_IMPL_ALSA = 1 };
enum { SOUND_INPUT_MIC = 0, SOUND_INPUT_LINE = 1, SOUND_INPUT_DIGITAL = 2 };

struct SoundAttrs {
    int32_t sampleRate;
    int32_t channels;
    int32_t leftGain;
    int32_t rightGain;
    int32_t mode;               // SOUND_MODE_*
    int32_t input;              // SOUND_INPUT_*
    int32_t impl;               // SOUND_IMPL_ALSA
    int32_t periodSize;         // frames
};

struct SoundAlsaObject {
    int32_t impl;
    PlatformPcm *capture;
    PlatformPcm *playback;
    int32_t sampleRate;         // as requested
    int16_t channels;
    int32_t periodSize;         // frames, as granted
    int32_t bufSize;            // frames, as granted
    PlatformPcmHw *captureHw;
    PlatformPcmHw *playbackHw;
    PlatformPcmSw *captureSw;
    PlatformPcmSw *playbackSw;
};

// The mixer elements setMixerVolume keeps (null: missing on this card).
enum { MIXER_MUX_COUNT = 4, MIXER_PGA_SWITCH_COUNT = 10 };
struct AudioStatus {
    PlatformMixer *mixer;
    PlatformMixerElem *outputVolume;
    PlatformMixerElem *captureVolume;
    PlatformMixerElem *agc;
    PlatformMixerElem *mux[MIXER_MUX_COUNT];
    PlatformMixerElem *pgaSwitch[MIXER_PGA_SWITCH_COUNT];
    PlatformMixerElem *lineDac;
    PlatformMixerElem *line1;
    // Plain 32-bit stores, read by the video output and the on-screen display without a lock.
    volatile uint16_t AudioModel;
    volatile uint32_t captureStamp;     // 90 kHz, of the period last captured
    volatile uint32_t lastCaptureStamp;
    volatile uint32_t overruns;
    volatile uint32_t adtsIndex;        // ADTS sampling-frequency index of the encoder's rate
    volatile int32_t outputDelay;       // playback
    volatile int32_t avOffset;          // playback
    volatile int32_t playbackReleased;  // playback has let go of the digital input
};
extern AudioStatus audio_status;

// Board I/O: while nonzero no audio device stays open.
extern volatile int32_t audio_power_down;

extern const int adts_sample_rates[16];
// The first table position equal to the rate, scanning up to the first 0 entry (13 when absent).
int adts_rate_index(int rate);

// Capture device (mode 1 or 2) and/or playback device (mode 0 or 2) of "hw:0,0".
SoundAlsaObject *Sound_alsa_create(SoundAttrs *attrs);
void Sound_delete(SoundAlsaObject *s);

// Mono sample from one interleaved stereo frame: MonoMode 0 the mean, 1 right, 2 left.
void sound_make_mono(const int16_t *stereo, int16_t *mono, int frames, int monoMode);

void *soundThrFxn(void *arg);
