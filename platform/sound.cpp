// The sound card seam: each call goes to real ALSA when PLATFORM_SOUND=alsa asks for it, to the
// simulated card otherwise. Mixer elements of both back ends are walked through one small
// element record, so the mixer logic above cannot tell them apart.
#include "platform/sound.h"
#include "platform/sound_sim.h"

#include <alsa/asoundlib.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

namespace {

std::once_flag backend_once;
bool use_alsa;
int trace_mask = PLATFORM_TRACE_ERROR;

void read_switches()
{
    const char *s = getenv("PLATFORM_SOUND");
    use_alsa = s && strcmp(s, "alsa") == 0;
    const char *t = getenv("PLATFORM_TRACE");
    if (t && *t)
        trace_mask = (int)strtol(t, nullptr, 0);
}

bool alsa()
{
    std::call_once(backend_once, read_switches);
    return use_alsa;
}

} // namespace

bool platform_trace_on(int bit)
{
    alsa();
    return (trace_mask & bit) != 0;
}

void platform_trace(int bit, const char *fmt, ...)
{
    if (!platform_trace_on(bit))
        return;
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
}

const char *platform_sound_strerror(int err)
{
    return snd_strerror(err);
}

void platform_sound_free_config()
{
    if (alsa())
        snd_config_update_free_global();
}

// --- PCM ---

struct PlatformPcm {
    snd_pcm_t *alsa;
    SimPcm *sim;
};
struct PlatformPcmHw {
    snd_pcm_hw_params_t *alsa;
    SimHw sim;
};
struct PlatformPcmSw {
    snd_pcm_sw_params_t *alsa;
    SimSw sim;
};

int platform_pcm_open(PlatformPcm **out, const char *name, PlatformPcmStream stream)
{
    *out = nullptr;
    PlatformPcm *p = new (std::nothrow) PlatformPcm();
    if (!p)
        return -ENOMEM;
    int r = alsa() ? snd_pcm_open(&p->alsa, name,
                                  stream == PLATFORM_PCM_CAPTURE ? SND_PCM_STREAM_CAPTURE : SND_PCM_STREAM_PLAYBACK, 0)
                   : sim_pcm_open(&p->sim, name, stream);
    if (r < 0) {
        delete p;
        return r;
    }
    *out = p;
    return 0;
}

int platform_pcm_close(PlatformPcm *pcm)
{
    if (!pcm)
        return -EINVAL;
    int r = pcm->alsa ? snd_pcm_close(pcm->alsa) : sim_pcm_close(pcm->sim);
    delete pcm;
    return r;
}

int platform_pcm_hw_malloc(PlatformPcmHw **out)
{
    *out = nullptr;
    PlatformPcmHw *h = new (std::nothrow) PlatformPcmHw();
    if (!h)
        return -ENOMEM;
    if (alsa()) {
        int r = snd_pcm_hw_params_malloc(&h->alsa);
        if (r < 0) {
            delete h;
            return r;
        }
    }
    *out = h;
    return 0;
}

void platform_pcm_hw_free(PlatformPcmHw *hw)
{
    if (!hw)
        return;
    if (hw->alsa)
        snd_pcm_hw_params_free(hw->alsa);
    delete hw;
}

int platform_pcm_hw_any(PlatformPcm *pcm, PlatformPcmHw *hw)
{
    if (pcm->alsa)
        return snd_pcm_hw_params_any(pcm->alsa, hw->alsa);
    sim_hw_any(&hw->sim);
    return 0;
}

int platform_pcm_hw_set_access_interleaved(PlatformPcm *pcm, PlatformPcmHw *hw)
{
    if (pcm->alsa)
        return snd_pcm_hw_params_set_access(pcm->alsa, hw->alsa, SND_PCM_ACCESS_RW_INTERLEAVED);
    hw->sim.access = true;
    return 0;
}

int platform_pcm_hw_set_format_s16le(PlatformPcm *pcm, PlatformPcmHw *hw)
{
    if (pcm->alsa)
        return snd_pcm_hw_params_set_format(pcm->alsa, hw->alsa, SND_PCM_FORMAT_S16_LE);
    hw->sim.format = true;
    return 0;
}

int platform_pcm_hw_set_rate_near(PlatformPcm *pcm, PlatformPcmHw *hw, unsigned *rate)
{
    if (pcm->alsa)
        return snd_pcm_hw_params_set_rate_near(pcm->alsa, hw->alsa, rate, nullptr);
    return sim_hw_set_rate_near(&hw->sim, rate);
}

int platform_pcm_hw_set_channels(PlatformPcm *pcm, PlatformPcmHw *hw, unsigned channels)
{
    if (pcm->alsa)
        return snd_pcm_hw_params_set_channels(pcm->alsa, hw->alsa, channels);
    return sim_hw_set_channels(&hw->sim, channels);
}

int platform_pcm_hw_set_period_size_near(PlatformPcm *pcm, PlatformPcmHw *hw, unsigned long *frames)
{
    if (pcm->alsa) {
        snd_pcm_uframes_t f = *frames;
        int r = snd_pcm_hw_params_set_period_size_near(pcm->alsa, hw->alsa, &f, nullptr);
        *frames = f;
        return r;
    }
    return sim_hw_set_period_near(&hw->sim, frames);
}

int platform_pcm_hw_get_buffer_time_max(PlatformPcmHw *hw, unsigned *us)
{
    if (hw->alsa)
        return snd_pcm_hw_params_get_buffer_time_max(hw->alsa, us, nullptr);
    return sim_hw_get_buffer_time_max(&hw->sim, us);
}

int platform_pcm_hw_set_buffer_time_near(PlatformPcm *pcm, PlatformPcmHw *hw, unsigned *us)
{
    if (pcm->alsa)
        return snd_pcm_hw_params_set_buffer_time_near(pcm->alsa, hw->alsa, us, nullptr);
    return sim_hw_set_buffer_time_near(&hw->sim, us);
}

int platform_pcm_hw_params(PlatformPcm *pcm, PlatformPcmHw *hw)
{
    if (pcm->alsa)
        return snd_pcm_hw_params(pcm->alsa, hw->alsa);
    return sim_hw_params(pcm->sim, &hw->sim);
}

int platform_pcm_hw_get_period_size(PlatformPcmHw *hw, unsigned long *frames)
{
    if (hw->alsa) {
        snd_pcm_uframes_t f = 0;
        int r = snd_pcm_hw_params_get_period_size(hw->alsa, &f, nullptr);
        *frames = f;
        return r;
    }
    *frames = hw->sim.period;
    return 0;
}

int platform_pcm_hw_get_buffer_size(PlatformPcmHw *hw, unsigned long *frames)
{
    if (hw->alsa) {
        snd_pcm_uframes_t f = 0;
        int r = snd_pcm_hw_params_get_buffer_size(hw->alsa, &f);
        *frames = f;
        return r;
    }
    *frames = hw->sim.buffer;
    return 0;
}

int platform_pcm_sw_malloc(PlatformPcmSw **out)
{
    *out = nullptr;
    PlatformPcmSw *s = new (std::nothrow) PlatformPcmSw();
    if (!s)
        return -ENOMEM;
    if (alsa()) {
        int r = snd_pcm_sw_params_malloc(&s->alsa);
        if (r < 0) {
            delete s;
            return r;
        }
    }
    *out = s;
    return 0;
}

void platform_pcm_sw_free(PlatformPcmSw *sw)
{
    if (!sw)
        return;
    if (sw->alsa)
        snd_pcm_sw_params_free(sw->alsa);
    delete sw;
}

int platform_pcm_sw_current(PlatformPcm *pcm, PlatformPcmSw *sw)
{
    if (pcm->alsa)
        return snd_pcm_sw_params_current(pcm->alsa, sw->alsa);
    sim_sw_current(pcm->sim, &sw->sim);
    return 0;
}

int platform_pcm_sw_set_avail_min(PlatformPcm *pcm, PlatformPcmSw *sw, unsigned long frames)
{
    if (pcm->alsa)
        return snd_pcm_sw_params_set_avail_min(pcm->alsa, sw->alsa, frames);
    sw->sim.availMin = frames;
    return 0;
}

int platform_pcm_sw_get_start_threshold(PlatformPcmSw *sw, unsigned long *frames)
{
    if (sw->alsa) {
        snd_pcm_uframes_t f = 0;
        int r = snd_pcm_sw_params_get_start_threshold(sw->alsa, &f);
        *frames = f;
        return r;
    }
    *frames = sw->sim.startThreshold;
    return 0;
}

int platform_pcm_sw_get_stop_threshold(PlatformPcmSw *sw, unsigned long *frames)
{
    if (sw->alsa) {
        snd_pcm_uframes_t f = 0;
        int r = snd_pcm_sw_params_get_stop_threshold(sw->alsa, &f);
        *frames = f;
        return r;
    }
    *frames = sw->sim.stopThreshold;
    return 0;
}

int platform_pcm_sw_set_start_threshold(PlatformPcm *pcm, PlatformPcmSw *sw, unsigned long frames)
{
    if (pcm->alsa)
        return snd_pcm_sw_params_set_start_threshold(pcm->alsa, sw->alsa, frames);
    sw->sim.startThreshold = frames;
    return 0;
}

int platform_pcm_sw_set_stop_threshold(PlatformPcm *pcm, PlatformPcmSw *sw, unsigned long frames)
{
    if (pcm->alsa)
        return snd_pcm_sw_params_set_stop_threshold(pcm->alsa, sw->alsa, frames);
    sw->sim.stopThreshold = frames;
    return 0;
}

int platform_pcm_sw_params(PlatformPcm *pcm, PlatformPcmSw *sw)
{
    if (pcm->alsa)
        return snd_pcm_sw_params(pcm->alsa, sw->alsa);
    return sim_sw_params(pcm->sim, &sw->sim);
}

void platform_pcm_dump(PlatformPcm *pcm)
{
    if (!pcm->alsa) {
        sim_pcm_dump(pcm->sim);
        return;
    }
    snd_output_t *out = nullptr;
    if (snd_output_stdio_attach(&out, stderr, 0) < 0)
        return;
    snd_pcm_dump(pcm->alsa, out);
    snd_output_close(out);
}

int platform_pcm_start(PlatformPcm *pcm)
{
    return pcm->alsa ? snd_pcm_start(pcm->alsa) : sim_pcm_start(pcm->sim);
}

int platform_pcm_prepare(PlatformPcm *pcm)
{
    return pcm->alsa ? snd_pcm_prepare(pcm->alsa) : sim_pcm_prepare(pcm->sim);
}

long platform_pcm_readi(PlatformPcm *pcm, void *buf, unsigned long frames)
{
    return pcm->alsa ? (long)snd_pcm_readi(pcm->alsa, buf, frames) : sim_pcm_readi(pcm->sim, buf, frames);
}

long platform_pcm_writei(PlatformPcm *pcm, const void *buf, unsigned long frames)
{
    return pcm->alsa ? (long)snd_pcm_writei(pcm->alsa, buf, frames) : sim_pcm_writei(pcm->sim, buf, frames);
}

int platform_pcm_htimestamp(PlatformPcm *pcm, unsigned long *avail, struct timespec *ts)
{
    if (!pcm->alsa)
        return sim_pcm_htimestamp(pcm->sim, avail, ts);
    snd_pcm_uframes_t a = 0;
    int r = snd_pcm_htimestamp(pcm->alsa, &a, ts);
    *avail = a;
    return r;
}

int platform_pcm_delay(PlatformPcm *pcm, long *frames)
{
    if (!pcm->alsa)
        return sim_pcm_delay(pcm->sim, frames);
    snd_pcm_sframes_t d = 0;
    int r = snd_pcm_delay(pcm->alsa, &d);
    *frames = d;
    return r;
}

// --- mixer ---

struct PlatformMixerElem {
    PlatformMixer *mixer;
    size_t index;
    snd_mixer_elem_t *alsa;     // null: element `index` of the simulated card
};

struct PlatformMixer {
    snd_mixer_t *alsa;
    bool attached, registered;
    std::vector<PlatformMixerElem> elems;
};

int platform_mixer_open(PlatformMixer **out)
{
    *out = nullptr;
    PlatformMixer *m = new (std::nothrow) PlatformMixer();
    if (!m)
        return -ENOMEM;
    if (alsa()) {
        int r = snd_mixer_open(&m->alsa, 0);
        if (r < 0) {
            delete m;
            return r;
        }
    }
    *out = m;
    return 0;
}

int platform_mixer_attach(PlatformMixer *m, const char *card)
{
    if (m->alsa)
        return snd_mixer_attach(m->alsa, card);
    if (!sim_card_present())
        return -ENODEV;
    if (!card || (strcmp(card, "hw:0") != 0 && strcmp(card, "default") != 0))
        return -ENOENT;
    m->attached = true;
    return 0;
}

int platform_mixer_register(PlatformMixer *m)
{
    if (m->alsa)
        return snd_mixer_selem_register(m->alsa, nullptr, nullptr);
    if (!m->attached)
        return -EINVAL;
    m->registered = true;
    return 0;
}

int platform_mixer_load(PlatformMixer *m)
{
    m->elems.clear();
    if (m->alsa) {
        int r = snd_mixer_load(m->alsa);
        if (r < 0)
            return r;
        size_t i = 0;
        for (snd_mixer_elem_t *e = snd_mixer_first_elem(m->alsa); e; e = snd_mixer_elem_next(e))
            m->elems.push_back(PlatformMixerElem{m, i++, e});
        return 0;
    }
    if (!m->registered)
        return -EINVAL;
    int n = sim_mixer_count();
    for (int i = 0; i < n; i++)
        m->elems.push_back(PlatformMixerElem{m, (size_t)i, nullptr});
    return 0;
}

void platform_mixer_close(PlatformMixer *m)
{
    if (!m)
        return;
    if (m->alsa)
        snd_mixer_close(m->alsa);
    delete m;
}

PlatformMixerElem *platform_mixer_first(PlatformMixer *m)
{
    return m && !m->elems.empty() ? &m->elems[0] : nullptr;
}

PlatformMixerElem *platform_mixer_next(PlatformMixerElem *e)
{
    if (!e || e->index + 1 >= e->mixer->elems.size())
        return nullptr;
    return &e->mixer->elems[e->index + 1];
}

const char *platform_mixer_elem_name(PlatformMixerElem *e)
{
    return e->alsa ? snd_mixer_selem_get_name(e->alsa) : sim_mixer_name((int)e->index);
}

bool platform_mixer_elem_is_active(PlatformMixerElem *e)
{
    return e->alsa ? snd_mixer_selem_is_active(e->alsa) : sim_mixer_active((int)e->index);
}

bool platform_mixer_elem_is_enumerated(PlatformMixerElem *e)
{
    return e->alsa ? snd_mixer_selem_is_enumerated(e->alsa) : sim_mixer_enumerated((int)e->index);
}

bool platform_mixer_elem_has(PlatformMixerElem *e, PlatformMixerCap cap)
{
    if (!e->alsa)
        return sim_mixer_has((int)e->index, cap);
    switch (cap) {
    case MIXER_PLAYBACK_VOLUME: return snd_mixer_selem_has_playback_volume(e->alsa);
    case MIXER_CAPTURE_VOLUME: return snd_mixer_selem_has_capture_volume(e->alsa);
    case MIXER_COMMON_VOLUME: return snd_mixer_selem_has_common_volume(e->alsa);
    case MIXER_PLAYBACK_SWITCH: return snd_mixer_selem_has_playback_switch(e->alsa);
    case MIXER_CAPTURE_SWITCH: return snd_mixer_selem_has_capture_switch(e->alsa);
    case MIXER_COMMON_SWITCH: return snd_mixer_selem_has_common_switch(e->alsa);
    }
    return false;
}

bool platform_mixer_elem_has_channel(PlatformMixerElem *e, bool capture, int channel)
{
    if (!e->alsa)
        return sim_mixer_has_channel((int)e->index, capture, channel);
    snd_mixer_selem_channel_id_t c = (snd_mixer_selem_channel_id_t)channel;
    return capture ? snd_mixer_selem_has_capture_channel(e->alsa, c) : snd_mixer_selem_has_playback_channel(e->alsa, c);
}

int platform_mixer_elem_get(PlatformMixerElem *e, PlatformMixerCap control, int channel, long *value)
{
    if (!e->alsa)
        return sim_mixer_get((int)e->index, control, channel, value);
    snd_mixer_selem_channel_id_t c = (snd_mixer_selem_channel_id_t)channel;
    int sw = 0, r;
    switch (control) {
    case MIXER_PLAYBACK_VOLUME: return snd_mixer_selem_get_playback_volume(e->alsa, c, value);
    case MIXER_CAPTURE_VOLUME: return snd_mixer_selem_get_capture_volume(e->alsa, c, value);
    case MIXER_PLAYBACK_SWITCH:
        r = snd_mixer_selem_get_playback_switch(e->alsa, c, &sw);
        *value = sw;
        return r;
    case MIXER_CAPTURE_SWITCH:
        r = snd_mixer_selem_get_capture_switch(e->alsa, c, &sw);
        *value = sw;
        return r;
    default: return -EINVAL;
    }
}

int platform_mixer_elem_set(PlatformMixerElem *e, PlatformMixerCap control, int channel, long value)
{
    if (!e->alsa)
        return sim_mixer_set((int)e->index, control, channel, value);
    snd_mixer_selem_channel_id_t c = (snd_mixer_selem_channel_id_t)channel;
    switch (control) {
    case MIXER_PLAYBACK_VOLUME: return snd_mixer_selem_set_playback_volume(e->alsa, c, value);
    case MIXER_CAPTURE_VOLUME: return snd_mixer_selem_set_capture_volume(e->alsa, c, value);
    case MIXER_PLAYBACK_SWITCH: return snd_mixer_selem_set_playback_switch(e->alsa, c, (int)value);
    case MIXER_CAPTURE_SWITCH: return snd_mixer_selem_set_capture_switch(e->alsa, c, (int)value);
    default: return -EINVAL;
    }
}

int platform_mixer_elem_set_enum_item(PlatformMixerElem *e, int channel, unsigned item)
{
    if (!e->alsa)
        return sim_mixer_set_enum((int)e->index, channel, item);
    return snd_mixer_selem_set_enum_item(e->alsa, (snd_mixer_selem_channel_id_t)channel, item);
}

int platform_mixer_elem_get_enum_item(PlatformMixerElem *e, int channel, unsigned *item)
{
    if (!e->alsa)
        return sim_mixer_get_enum((int)e->index, channel, item);
    return snd_mixer_selem_get_enum_item(e->alsa, (snd_mixer_selem_channel_id_t)channel, item);
}
