// The sound card: PCM streams and the simple mixer of the board's audio codec, as the sound
// threads and the mixer page call them. The calls mirror ALSA's, one for one, so the system
// code reads the same on both back ends: the simulated card (the default on the PC) and real
// ALSA (PLATFORM_SOUND=alsa). PLATFORM_SOUND=none takes the card away.
//
// The simulated card captures a steady tone per channel (left SOUND_SIM_TONE_LEFT Hz, right
// SOUND_SIM_TONE_RIGHT Hz, amplitude SOUND_SIM_AMPLITUDE), paced by CLOCK_MONOTONIC in
// periods; a reader late by more than the buffer gets -EPIPE until it prepares the stream again.
// Its timestamp's tv_sec is the 90 kHz clock at the last period boundary (tv_nsec 0).
// Its playback stream starts at the start threshold, plays in real time (snd_pcm_delay answers
// the frames not yet played) and appends what was written to "audio/" SOUND_SIM_WAV_FILE in
// the board directory (16-bit PCM WAV; a new rate or channel count starts the file anew).
#pragma once
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <sys/types.h>

enum { SOUND_SIM_TONE_LEFT = 440, SOUND_SIM_TONE_RIGHT = 1000, SOUND_SIM_AMPLITUDE = 8000 };
#define SOUND_SIM_WAV_FILE "playback.wav"

// Platform trace output: "[Sound] ..." lines on stderr for the bits set in PLATFORM_TRACE
// (default: errors only).
enum { PLATFORM_TRACE_ERROR = 1, PLATFORM_TRACE_DEBUG = 2 };
bool platform_trace_on(int bit);
void platform_trace(int bit, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

const char *platform_sound_strerror(int err);
// Frees the sound library's global configuration cache (after a device is released).
void platform_sound_free_config();

// --- PCM ---
enum PlatformPcmStream { PLATFORM_PCM_PLAYBACK = 0, PLATFORM_PCM_CAPTURE = 1 };
struct PlatformPcm;
struct PlatformPcmHw;
struct PlatformPcmSw;

// Results: 0 (or a count) on success, a negative errno on failure, as from ALSA.
int platform_pcm_open(PlatformPcm **pcm, const char *name, PlatformPcmStream stream);
int platform_pcm_close(PlatformPcm *pcm);

int platform_pcm_hw_malloc(PlatformPcmHw **hw);
void platform_pcm_hw_free(PlatformPcmHw *hw);
int platform_pcm_hw_any(PlatformPcm *pcm, PlatformPcmHw *hw);
int platform_pcm_hw_set_access_interleaved(PlatformPcm *pcm, PlatformPcmHw *hw);
int platform_pcm_hw_set_format_s16le(PlatformPcm *pcm, PlatformPcmHw *hw);
int platform_pcm_hw_set_rate_near(PlatformPcm *pcm, PlatformPcmHw *hw, unsigned *rate);
int platform_pcm_hw_set_channels(PlatformPcm *pcm, PlatformPcmHw *hw, unsigned channels);
int platform_pcm_hw_set_period_size_near(PlatformPcm *pcm, PlatformPcmHw *hw, unsigned long *frames);
int platform_pcm_hw_get_buffer_time_max(PlatformPcmHw *hw, unsigned *us);
int platform_pcm_hw_set_buffer_time_near(PlatformPcm *pcm, PlatformPcmHw *hw, unsigned *us);
int platform_pcm_hw_params(PlatformPcm *pcm, PlatformPcmHw *hw);
int platform_pcm_hw_get_period_size(PlatformPcmHw *hw, unsigned long *frames);
int platform_pcm_hw_get_buffer_size(PlatformPcmHw *hw, unsigned long *frames);

int platform_pcm_sw_malloc(PlatformPcmSw **sw);
void platform_pcm_sw_free(PlatformPcmSw *sw);
int platform_pcm_sw_current(PlatformPcm *pcm, PlatformPcmSw *sw);
int platform_pcm_sw_set_avail_min(PlatformPcm *pcm, PlatformPcmSw *sw, unsigned long frames);
int platform_pcm_sw_get_start_threshold(PlatformPcmSw *sw, unsigned long *frames);
int platform_pcm_sw_get_stop_threshold(PlatformPcmSw *sw, unsigned long *frames);
int platform_pcm_sw_set_start_threshold(PlatformPcm *pcm, PlatformPcmSw *sw, unsigned long frames);
int platform_pcm_sw_set_stop_threshold(PlatformPcm *pcm, PlatformPcmSw *sw, unsigned long frames);
int platform_pcm_sw_params(PlatformPcm *pcm, PlatformPcmSw *sw);
// The set-up in ALSA's dump format, to stderr.
void platform_pcm_dump(PlatformPcm *pcm);

int platform_pcm_start(PlatformPcm *pcm);
int platform_pcm_prepare(PlatformPcm *pcm);
// Blocks until all frames are read: frames read, or -EPIPE (overrun), -EAGAIN, another error.
long platform_pcm_readi(PlatformPcm *pcm, void *buf, unsigned long frames);
long platform_pcm_writei(PlatformPcm *pcm, const void *buf, unsigned long frames);
int platform_pcm_htimestamp(PlatformPcm *pcm, unsigned long *avail, struct timespec *ts);
int platform_pcm_delay(PlatformPcm *pcm, long *frames);

// --- simple mixer ---
struct PlatformMixer;
struct PlatformMixerElem;
enum PlatformMixerCap {
    MIXER_PLAYBACK_VOLUME = 1, MIXER_CAPTURE_VOLUME = 2, MIXER_COMMON_VOLUME = 4,
    MIXER_PLAYBACK_SWITCH = 8, MIXER_CAPTURE_SWITCH = 16, MIXER_COMMON_SWITCH = 32,
};
enum { MIXER_CHANNEL_LAST = 30 };

int platform_mixer_open(PlatformMixer **m);
int platform_mixer_attach(PlatformMixer *m, const char *card);
int platform_mixer_register(PlatformMixer *m);
int platform_mixer_load(PlatformMixer *m);
void platform_mixer_close(PlatformMixer *m);
PlatformMixerElem *platform_mixer_first(PlatformMixer *m);
PlatformMixerElem *platform_mixer_next(PlatformMixerElem *e);

const char *platform_mixer_elem_name(PlatformMixerElem *e);
bool platform_mixer_elem_is_active(PlatformMixerElem *e);
bool platform_mixer_elem_is_enumerated(PlatformMixerElem *e);
bool platform_mixer_elem_has(PlatformMixerElem *e, PlatformMixerCap cap);
// Channel 0..30 of the playback (capture = false) or capture side.
bool platform_mixer_elem_has_channel(PlatformMixerElem *e, bool capture, int channel);
// control: one of the four playback/capture volume/switch caps.
int platform_mixer_elem_get(PlatformMixerElem *e, PlatformMixerCap control, int channel, long *value);
int platform_mixer_elem_set(PlatformMixerElem *e, PlatformMixerCap control, int channel, long value);
int platform_mixer_elem_set_enum_item(PlatformMixerElem *e, int channel, unsigned item);
int platform_mixer_elem_get_enum_item(PlatformMixerElem *e, int channel, unsigned *item);

// --- test hooks of the simulated card ---
// Takes the card away (false) or gives it back; PLATFORM_SOUND=none starts without it.
void platform_sound_sim_set_present(bool present);
// Grants this period size instead of the one asked for (0: as asked).
void platform_sound_sim_grant_period(unsigned long frames);
// Every element back to its power-on value.
void platform_sound_sim_reset_mixer();
// Mixer writes since the last reset (each set that reached an element).
long platform_sound_sim_mixer_writes();
// The sample the simulated card gives at frame `n` of a stream on channel `channel`.
int16_t platform_sound_sim_sample(uint64_t n, int channel, unsigned rate);
