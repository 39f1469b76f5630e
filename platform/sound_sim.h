// The simulated sound card behind platform/sound.h; shared by the platform's sound files only.
#pragma once
#include "platform/sound.h"

struct SimPcm;
struct SimHw {                  // hardware parameters as they are narrowed
    unsigned rate;
    unsigned channels;
    unsigned long period;
    unsigned long buffer;
    bool access, format;
};
struct SimSw {
    unsigned long availMin, startThreshold, stopThreshold;
};

bool sim_card_present();
int sim_pcm_open(SimPcm **pcm, const char *name, PlatformPcmStream stream);
int sim_pcm_close(SimPcm *pcm);
void sim_hw_any(SimHw *hw);
int sim_hw_set_rate_near(SimHw *hw, unsigned *rate);
int sim_hw_set_channels(SimHw *hw, unsigned channels);
int sim_hw_set_period_near(SimHw *hw, unsigned long *frames);
int sim_hw_get_buffer_time_max(SimHw *hw, unsigned *us);
int sim_hw_set_buffer_time_near(SimHw *hw, unsigned *us);
int sim_hw_params(SimPcm *pcm, SimHw *hw);
void sim_sw_current(SimPcm *pcm, SimSw *sw);
int sim_sw_params(SimPcm *pcm, const SimSw *sw);
void sim_pcm_dump(SimPcm *pcm);
int sim_pcm_start(SimPcm *pcm);
int sim_pcm_prepare(SimPcm *pcm);
long sim_pcm_readi(SimPcm *pcm, void *buf, unsigned long frames);
long sim_pcm_writei(SimPcm *pcm, const void *buf, unsigned long frames);
int sim_pcm_htimestamp(SimPcm *pcm, unsigned long *avail, struct timespec *ts);
int sim_pcm_delay(SimPcm *pcm, long *frames);

// Mixer elements of the card, by index.
int sim_mixer_count();
const char *sim_mixer_name(int index);
bool sim_mixer_active(int index);
bool sim_mixer_enumerated(int index);
bool sim_mixer_has(int index, PlatformMixerCap cap);
bool sim_mixer_has_channel(int index, bool capture, int channel);
int sim_mixer_get(int index, PlatformMixerCap control, int channel, long *value);
int sim_mixer_set(int index, PlatformMixerCap control, int channel, long value);
int sim_mixer_set_enum(int index, int channel, unsigned item);
int sim_mixer_get_enum(int index, int channel, unsigned *item);
