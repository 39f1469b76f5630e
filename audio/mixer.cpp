// Mixer of the board's audio codec (card "hw:0"): output volume and input routing per board
// model for the sound threads, and the web interface's mixer page.
#include "audio/mixer.h"
#include "audio/sound.h"

#include "core/log.h"
#include "platform/sound.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <strings.h>

namespace {

const char MIXER_CARD[] = "hw:0";

const char *const MUX_NAMES[MIXER_MUX_COUNT] = {"Left Line1L Mux", "Right Line1R Mux", "Right Line1L Mux",
                                                "Left Line1R Mux"};
enum { MUX_LEFT_LINE1L, MUX_RIGHT_LINE1R, MUX_RIGHT_LINE1L, MUX_LEFT_LINE1R };
const char *const PGA_SWITCH_NAMES[MIXER_PGA_SWITCH_COUNT] = {
    "Left PGA Mixer Line1L",  "Left PGA Mixer Line1R",  "Left PGA Mixer Line2L", "Left PGA Mixer Mic3L",
    "Left PGA Mixer Mic3R",   "Right PGA Mixer Line1R", "Right PGA Mixer Line1L", "Right PGA Mixer Line2R",
    "Right PGA Mixer Mic3R",  "Right PGA Mixer Mic3L",
};
enum { SW_L_LINE1L, SW_L_LINE1R, SW_L_LINE2L, SW_L_MIC3L, SW_L_MIC3R, SW_R_LINE1R, SW_R_LINE1L, SW_R_LINE2R,
       SW_R_MIC3R, SW_R_MIC3L };

// setMixerVolume runs on the capture and the playback thread over one handle and element
// table; without a lock one thread's scan could hand the other half-found elements.
std::mutex volume_mutex;
bool volume_open_failed_for_good;   // opened, then attach/register/load failed: nothing known

std::mutex apply_mutex;
PlatformMixer *apply_mixer;

// Opens, attaches, registers and loads; traces the failing step. *m stays null when the open
// call itself failed.
int mixer_open(PlatformMixer **m)
{
    *m = nullptr;
    int r = platform_mixer_open(m);
    if (r < 0) {
        platform_trace(PLATFORM_TRACE_ERROR, "[Sound] Failed to open mixer on %s (%s)\n", MIXER_CARD,
                       platform_sound_strerror(r));
        *m = nullptr;
        return r;
    }
    if ((r = platform_mixer_attach(*m, MIXER_CARD)) < 0) {
        platform_trace(PLATFORM_TRACE_ERROR, "[Sound] Failed to attach mixer on %s (%s)\n", MIXER_CARD,
                       platform_sound_strerror(r));
        return r;
    }
    if ((r = platform_mixer_register(*m)) < 0) {
        platform_trace(PLATFORM_TRACE_ERROR, "[Sound] Failed to register mixer on %s (%s)\n", MIXER_CARD,
                       platform_sound_strerror(r));
        return r;
    }
    if ((r = platform_mixer_load(*m)) < 0) {
        platform_trace(PLATFORM_TRACE_ERROR, "[Sound] Failed to load mixer on %s (%s)\n", MIXER_CARD,
                       platform_sound_strerror(r));
        return r;
    }
    return 0;
}

bool named(const char *name, const char *a, const char *b = nullptr)
{
    return strcmp(name, a) == 0 || (b && strcmp(name, b) == 0);
}

void set(PlatformMixerElem *e, PlatformMixerCap control, int channel, long value)
{
    if (e)
        platform_mixer_elem_set(e, control, channel, value);
}

// One-time settings of the output path for elements the routing does not keep.
void preset_element(PlatformMixerElem *e, const char *name)
{
    if (named(name, "HP_Pwr", "HPCOM_Pwr") || named(name, "Mono_Pwr")) {
        set(e, MIXER_PLAYBACK_SWITCH, 0, 0);
        set(e, MIXER_PLAYBACK_SWITCH, 1, 0);
    } else if (named(name, "Line_Pwr", "Line")) {
        set(e, MIXER_PLAYBACK_SWITCH, 0, 1);
        set(e, MIXER_PLAYBACK_SWITCH, 1, 1);
    } else if (named(name, "Left Line Mixer DACL1", "Right Line Mixer DACR1")) {
        set(e, MIXER_PLAYBACK_SWITCH, 0, 1);
    } else if (named(name, "Left Line Mixer DACR1", "Right Line Mixer DACL1")) {
        set(e, MIXER_PLAYBACK_SWITCH, 0, 0);
        set(e, MIXER_PLAYBACK_VOLUME, 0, 0);
    } else if (named(name, "Left Line Mixer Line2L Bypass", "Left Line Mixer PGAL Bypass") ||
               named(name, "Right Line Mixer Line2R Bypass", "Right Line Mixer PGAR Bypass")) {
        set(e, MIXER_PLAYBACK_SWITCH, 0, 0);
    } else if (named(name, "Left Line Mixer Line2R Bypass", "Left Line Mixer PGAR Bypass") ||
               named(name, "Right Line Mixer Line2L Bypass", "Right Line Mixer PGAL Bypass")) {
        set(e, MIXER_CAPTURE_VOLUME, 0, 0);
        set(e, MIXER_PLAYBACK_VOLUME, 0, 0);
        set(e, MIXER_PLAYBACK_SWITCH, 0, 0);
    } else if (strncasecmp(name, "Left HP Mixer ", 14) == 0 || strncasecmp(name, "Right HP Mixer ", 15) == 0 ||
               strncasecmp(name, "Left HPCOM Mixer ", 17) == 0 || strncasecmp(name, "Right HPCOM Mixer ", 18) == 0) {
        set(e, MIXER_PLAYBACK_SWITCH, 0, 0);
    }
}

bool both_channels(PlatformMixerElem *e, bool capture)
{
    return platform_mixer_elem_has_channel(e, capture, 0) && platform_mixer_elem_has_channel(e, capture, 1);
}

// Finds the kept elements once, and presets every other element with a playback switch.
void scan_elements(PlatformMixer *m)
{
    AudioStatus &st = audio_status;
    for (PlatformMixerElem *e = platform_mixer_first(m); e; e = platform_mixer_next(e)) {
        const char *name = platform_mixer_elem_name(e);
        bool kept = false;
        if (platform_mixer_elem_has(e, MIXER_PLAYBACK_VOLUME) && named(name, "Master", "PCM") && both_channels(e, false)) {
            st.outputVolume = e;
            kept = true;
        } else if (platform_mixer_elem_has(e, MIXER_CAPTURE_VOLUME) && named(name, "Capture", "PGA") &&
                   both_channels(e, true)) {
            st.captureVolume = e;
            kept = true;
        } else if (platform_mixer_elem_has(e, MIXER_PLAYBACK_SWITCH) && named(name, "AGC")) {
            st.agc = e;
            kept = true;
        } else if (named(name, "Line DAC")) {
            st.lineDac = e;
            kept = true;
        } else if (named(name, "LINE1")) {
            st.line1 = e;
            kept = true;
        }
        if (!kept && platform_mixer_elem_is_enumerated(e)) {
            for (int i = 0; i < MIXER_MUX_COUNT; i++)
                if (named(name, MUX_NAMES[i])) {
                    st.mux[i] = e;
                    kept = true;
                }
        }
        if (!kept) {
            for (int i = 0; i < MIXER_PGA_SWITCH_COUNT; i++)
                if (named(name, PGA_SWITCH_NAMES[i])) {
                    st.pgaSwitch[i] = e;
                    kept = true;
                }
        }
        if (!kept && platform_mixer_elem_has(e, MIXER_PLAYBACK_SWITCH))
            preset_element(e, name);
    }
    bool missing = !st.outputVolume || !st.captureVolume || !st.agc || !st.lineDac || !st.line1;
    for (PlatformMixerElem *e : st.mux)
        missing = missing || !e;
    for (PlatformMixerElem *e : st.pgaSwitch)
        missing = missing || !e;
    if (missing)
        log_printf("*** Missing essential PGA Mixer or Mux element ***\n");
}

void forget_elements()
{
    AudioStatus &st = audio_status;
    st.outputVolume = st.captureVolume = st.agc = st.lineDac = st.line1 = nullptr;
    for (PlatformMixerElem *&e : st.mux)
        e = nullptr;
    for (PlatformMixerElem *&e : st.pgaSwitch)
        e = nullptr;
}

void set_mux(int i, unsigned item)
{
    if (audio_status.mux[i])
        platform_mixer_elem_set_enum_item(audio_status.mux[i], 0, item);
}

void set_switch(int i, int on)
{
    set(audio_status.pgaSwitch[i], MIXER_PLAYBACK_SWITCH, 0, on);
}

void apply_capture(const SoundAttrs *a, int mute)
{
    PlatformMixerElem *e = audio_status.captureVolume;
    set(e, MIXER_CAPTURE_VOLUME, 0, a->leftGain);
    set(e, MIXER_CAPTURE_VOLUME, 1, a->rightGain);
    set(e, MIXER_CAPTURE_SWITCH, 0, !(mute & 1));
    set(e, MIXER_CAPTURE_SWITCH, 1, !(mute & 2));
}

void apply_agc(const SoundAttrs *a, int agc)
{
    PlatformMixerElem *e = audio_status.agc;
    set(e, MIXER_PLAYBACK_SWITCH, 0, agc & 1);
    set(e, MIXER_PLAYBACK_SWITCH, 1, (agc >> 1) & 1);
    set(e, MIXER_PLAYBACK_VOLUME, 0, a->leftGain / 15);
    set(e, MIXER_PLAYBACK_VOLUME, 1, a->leftGain / 15);
}

int set_mixer_volume_locked(const SoundAttrs *attrs, int agc, int mute)
{
    AudioStatus &st = audio_status;
    if (st.AudioModel == 7172)
        return 0;
    if (!st.mixer) {
        if (volume_open_failed_for_good)
            return -1;
        PlatformMixer *m = nullptr;
        if (mixer_open(&m) < 0) {
            if (m) {
                platform_mixer_close(m);
                volume_open_failed_for_good = true;
            }
            return -1;
        }
        st.mixer = m;
        scan_elements(m);
    }

    if (attrs->mode == SOUND_MODE_OUTPUT || attrs->mode == SOUND_MODE_BOTH) {
        set(st.lineDac, MIXER_PLAYBACK_VOLUME, 0, 118);
        set(st.lineDac, MIXER_PLAYBACK_VOLUME, 1, 118);
        set(st.outputVolume, MIXER_PLAYBACK_VOLUME, 0, attrs->leftGain * 127 / 100);
        set(st.outputVolume, MIXER_PLAYBACK_VOLUME, 1, attrs->rightGain * 127 / 100);
    }
    if (attrs->mode != SOUND_MODE_INPUT && attrs->mode != SOUND_MODE_BOTH)
        return 0;

    int model = st.AudioModel;
    if (model == 7341 || model == 7377 || model == 7441 || model == 7477) {
        int l = attrs->input == SOUND_INPUT_MIC ? 1 : 0;
        int mic3 = attrs->input == SOUND_INPUT_LINE ? 1 : 0;
        log_printf("%s: xx41/xx77/7423 audio mode %s mute=%d agc=%d %ld %ld\n", "setMixerVolume",
                   attrs->input == 0 ? "MIC" : attrs->input == 1 ? "LINE" : "ERROR", mute, agc,
                   (long)attrs->leftGain, (long)attrs->rightGain);
        set_mux(MUX_LEFT_LINE1L, l);
        set_mux(MUX_RIGHT_LINE1L, l);
        set_mux(MUX_LEFT_LINE1R, 0);
        set_mux(MUX_RIGHT_LINE1R, 0);
        set_switch(SW_L_LINE1L, l);
        set_switch(SW_L_LINE1R, 0);
        set_switch(SW_L_LINE2L, 0);
        set_switch(SW_L_MIC3L, mic3);
        set_switch(SW_L_MIC3R, 0);
        set_switch(SW_R_LINE1R, 0);
        set_switch(SW_R_LINE1L, l);
        set_switch(SW_R_LINE2R, 0);
        set_switch(SW_R_MIC3R, mic3);
        set_switch(SW_R_MIC3L, 0);
        apply_agc(attrs, agc);
        apply_capture(attrs, mute);
    } else {
        if (model != 7160)
            log_print_raw("%s: UNKNOWN AudioModel %d\n", "setMixerVolume", model);
        apply_capture(attrs, mute);
        apply_agc(attrs, agc);
        int mic = !(agc & 4) && attrs->input == SOUND_INPUT_MIC;
        int line = !(agc & 8) && attrs->input == SOUND_INPUT_LINE;
        log_printf("%s: 7160/xx83/xx84 audio mode %s mute=%d agc=%d %ld %ld\n", "setMixerVolume",
                   mic ? "MIC" : line ? "LINE" : "NONE", mute, agc, (long)attrs->leftGain, (long)attrs->rightGain);
        set_switch(SW_L_MIC3L, mic);
        set_switch(SW_R_MIC3R, mic);
        set_switch(SW_L_LINE1L, line);
        set_switch(SW_R_LINE1R, line);
    }
    return 0;
}

// The page text with a running length, cut at the end of the caller's buffer.
struct PageOut {
    char *buf;
    size_t size;
    size_t len;
};

void page_add(PageOut *p, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void page_add(PageOut *p, const char *fmt, ...)
{
    if (p->size == 0 || p->len + 1 >= p->size)
        return;
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(p->buf + p->len, p->size - p->len, fmt, ap);
    va_end(ap);
    if (n < 0)
        return;
    p->len += (size_t)n;
    if (p->len > p->size - 1)
        p->len = p->size - 1;
}

const char PAGE_HEAD[] =
    "<html><style>table.ref {\n border: 1px solid rgb(195,195,195);\n border-collapse: collapse;\n}\n"
    "table.ref td {\n border: 1px solid rgb(195,195,195);\n border-collapse: collapse;\n}\n"
    "</style><body><form method='POST' action='/mixer_settings'><table class='ref'>\n";

const char *element_kind(PlatformMixerElem *e)
{
    bool pv = platform_mixer_elem_has(e, MIXER_PLAYBACK_VOLUME), ps = platform_mixer_elem_has(e, MIXER_PLAYBACK_SWITCH);
    if (pv && ps)
        return "Playback Volume/Switch";
    if (pv)
        return "Playback Volume";
    if (platform_mixer_elem_has(e, MIXER_CAPTURE_VOLUME))
        return "Capture Volume";
    if (platform_mixer_elem_has(e, MIXER_COMMON_VOLUME))
        return "Common Volume";
    if (ps)
        return "Playback Switch";
    if (platform_mixer_elem_has(e, MIXER_CAPTURE_SWITCH))
        return "Capture Switch";
    if (platform_mixer_elem_has(e, MIXER_COMMON_SWITCH))
        return "Common Switch";
    return "Other mixer";
}

void page_control(PageOut *p, PlatformMixerElem *e, const char *name, PlatformMixerCap control, int ch)
{
    bool capture = control == MIXER_CAPTURE_VOLUME || control == MIXER_CAPTURE_SWITCH;
    if (!platform_mixer_elem_has(e, control) || !platform_mixer_elem_has_channel(e, capture, ch))
        return;
    long v = 0;
    platform_mixer_elem_get(e, control, ch, &v);
    if (control == MIXER_CAPTURE_VOLUME || control == MIXER_PLAYBACK_VOLUME)
        page_add(p, "<td>vol%d<input type='text' name='%s_%d_vol' value='%d' size=4></td>\n", ch, name, ch, (int)v);
    else
        page_add(p, "<td>sw%d<input type='text' name='%s_%d_sw' value='%d' size=4></td>\n", ch, name, ch, (int)v);
}

// A posted value: decimal digits with an optional sign, nothing else. A text that is no number
// must not turn into 0 (which would mute or silence a channel).
bool parse_value(const char *value, size_t length, int *out)
{
    char text[16];
    if (!value || length == 0 || length >= sizeof text)
        return false;
    memcpy(text, value, length);
    text[length] = 0;
    char *end = nullptr;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (errno || end == text || *end || v < -100000 || v > 100000)
        return false;
    *out = (int)v;
    return true;
}

void apply_control(PlatformMixerElem *e, PlatformMixerCap control, int ch, const char *name, int value)
{
    bool capture = control == MIXER_CAPTURE_VOLUME || control == MIXER_CAPTURE_SWITCH;
    if (!platform_mixer_elem_has(e, control) || !platform_mixer_elem_has_channel(e, capture, ch))
        return;
    long cur = 0;
    if (platform_mixer_elem_get(e, control, ch, &cur) < 0)
        return;
    bool sw = control == MIXER_CAPTURE_SWITCH || control == MIXER_PLAYBACK_SWITCH;
    if (sw ? (cur != 0) == (value != 0) : cur == value)
        return;
    log_print_raw("setting %s to %d\n", name, value);
    platform_mixer_elem_set(e, control, ch, value);
}

} // namespace

int setMixerVolume(const SoundAttrs *attrs, int agc, int mute)
{
    if (!attrs)
        return -1;
    std::lock_guard<std::mutex> g(volume_mutex);
    return set_mixer_volume_locked(attrs, agc, mute);
}

size_t mixer_page_render(char *buffer, size_t size)
{
    if (!buffer || size == 0)
        return 0;
    buffer[0] = 0;
    PlatformMixer *m = nullptr;
    if (mixer_open(&m) < 0) {
        platform_mixer_close(m);
        return 0;
    }
    PageOut p = {buffer, size, 0};
    page_add(&p, "%s", PAGE_HEAD);
    for (PlatformMixerElem *e = platform_mixer_first(m); e; e = platform_mixer_next(e)) {
        if (!platform_mixer_elem_is_active(e))
            continue;
        const char *name = platform_mixer_elem_name(e);
        page_add(&p, "<tr><td>");
        page_add(&p, "%s</td><td>%s\n", element_kind(e), name);
        page_add(&p, "</td>");
        for (int ch = 0; ch <= MIXER_CHANNEL_LAST; ch++) {
            page_control(&p, e, name, MIXER_CAPTURE_VOLUME, ch);
            page_control(&p, e, name, MIXER_CAPTURE_SWITCH, ch);
            page_control(&p, e, name, MIXER_PLAYBACK_VOLUME, ch);
            page_control(&p, e, name, MIXER_PLAYBACK_SWITCH, ch);
        }
        page_add(&p, "</tr>\n");
    }
    page_add(&p, "</table><input type='submit'></form></body></html>\n");
    platform_mixer_close(m);
    return p.len;
}

void mixer_setting_apply(const char *name, const char *value, size_t length)
{
    if (!name)
        return;
    std::lock_guard<std::mutex> g(apply_mutex);
    if (!apply_mixer) {
        PlatformMixer *m = nullptr;
        if (mixer_open(&m) < 0) {
            platform_mixer_close(m);
            return;
        }
        apply_mixer = m;
    }
    for (PlatformMixerElem *e = platform_mixer_first(apply_mixer); e; e = platform_mixer_next(e)) {
        if (!platform_mixer_elem_is_active(e))
            continue;
        const char *ename = platform_mixer_elem_name(e);
        for (int ch = 0; ch <= MIXER_CHANNEL_LAST; ch++) {
            char key[160];
            snprintf(key, sizeof key, "%s_%d_vol", ename, ch);
            bool vol = strcmp(name, key) == 0;
            snprintf(key, sizeof key, "%s_%d_sw", ename, ch);
            bool sw = strcmp(name, key) == 0;
            if (!vol && !sw)
                continue;
            int v = 0;
            if (!parse_value(value, length, &v)) {
                log_printf("%s: ignored value for %s\n", "mixer_setting_apply", name);
                return;
            }
            if (vol) {
                apply_control(e, MIXER_CAPTURE_VOLUME, ch, name, v);
                apply_control(e, MIXER_PLAYBACK_VOLUME, ch, name, v);
            } else {
                apply_control(e, MIXER_CAPTURE_SWITCH, ch, name, v);
                apply_control(e, MIXER_PLAYBACK_SWITCH, ch, name, v);
            }
        }
    }
}

void mixer_reset()
{
    {
        std::lock_guard<std::mutex> g(volume_mutex);
        platform_mixer_close(audio_status.mixer);
        audio_status.mixer = nullptr;
        volume_open_failed_for_good = false;
        forget_elements();
    }
    std::lock_guard<std::mutex> g(apply_mutex);
    platform_mixer_close(apply_mixer);
    apply_mixer = nullptr;
}
