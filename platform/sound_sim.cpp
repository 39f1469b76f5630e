// The simulated sound card of the PC board: a capture stream that delivers a steady tone per
// channel in whole periods at the pace of CLOCK_MONOTONIC, a playback stream that plays samples
// at the same pace once its start threshold is reached (so its delay answers like a card's) and
// writes what it played to a WAV file in the board directory, and the board codec's mixer elements with their channels, ranges and
// enumerations. Like the hardware, each stream can be opened once at a time.
#include "platform/platform.h"
#include "platform/sound_sim.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <sys/stat.h>

namespace {

constexpr unsigned long SIM_MAX_BUFFER = 16384;       // frames: 64 KiB of 16-bit stereo
constexpr unsigned SIM_RATES[] = {8000, 11025, 16000, 22050, 32000, 44100, 48000};

std::atomic<int> present{-1};                           // -1: not read from the environment yet
std::atomic<unsigned long> grant_period{0};
std::mutex open_mutex;
bool stream_open[2];

uint64_t now_ns()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000000ull + (uint64_t)ts.tv_nsec;
}

void sleep_until_ns(uint64_t t)
{
    struct timespec ts = {(time_t)(t / 1000000000ull), (long)(t % 1000000000ull)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

} // namespace

namespace {

// What the playback stream played, as 16-bit PCM WAV; a new rate or channel count starts the
// file anew, since one file holds one format. The header is kept current after every write so
// the file can be read while the card plays.
struct SimWav {
    std::mutex mutex;
    FILE *f = nullptr;
    unsigned rate = 0, channels = 0;
    uint64_t bytes = 0;
} wav;

void put_le(uint8_t *p, uint32_t v, int n)
{
    for (int i = 0; i < n; i++)
        p[i] = (uint8_t)(v >> (8 * i));
}

void wav_header_locked()
{
    uint8_t h[44];
    uint32_t data = wav.bytes > 0xFFFFFFD3ull ? 0xFFFFFFD3u : (uint32_t)wav.bytes;
    memcpy(h, "RIFF", 4);
    put_le(h + 4, 36 + data, 4);
    memcpy(h + 8, "WAVEfmt ", 8);
    put_le(h + 16, 16, 4);
    put_le(h + 20, 1, 2);
    put_le(h + 22, wav.channels, 2);
    put_le(h + 24, wav.rate, 4);
    put_le(h + 28, wav.rate * wav.channels * 2, 4);
    put_le(h + 32, wav.channels * 2, 2);
    put_le(h + 34, 16, 2);
    memcpy(h + 36, "data", 4);
    put_le(h + 40, data, 4);
    fseek(wav.f, 0, SEEK_SET);
    fwrite(h, 1, sizeof h, wav.f);
    fseek(wav.f, 0, SEEK_END);
    fflush(wav.f);
}

void wav_format(unsigned rate, unsigned channels)
{
    std::lock_guard<std::mutex> g(wav.mutex);
    if (wav.f && wav.rate == rate && wav.channels == channels)
        return;
    if (wav.f)
        fclose(wav.f);
    std::string dir = std::string(platform_board_dir()) + "/audio";
    mkdir(dir.c_str(), 0755);
    wav.f = fopen((dir + "/" + SOUND_SIM_WAV_FILE).c_str(), "wb");
    wav.rate = rate;
    wav.channels = channels;
    wav.bytes = 0;
    if (wav.f)
        wav_header_locked();
}

void wav_append(const void *buf, size_t n)
{
    std::lock_guard<std::mutex> g(wav.mutex);
    if (!wav.f || !buf || n == 0)
        return;
    fwrite(buf, 1, n, wav.f);
    wav.bytes += n;
    wav_header_locked();
}

} // namespace

enum SimState { SIM_OPEN, SIM_SETUP, SIM_PREPARED, SIM_RUNNING, SIM_XRUN };

struct SimPcm {
    PlatformPcmStream stream;
    SimState state;
    unsigned rate, channels;
    unsigned long period, buffer;
    SimSw sw;
    uint64_t t0;                // CLOCK_MONOTONIC ns when the stream started running
    uint64_t toneBase;          // tone position (frames) at t0: time keeps running across restarts
    uint64_t origin;            // t0 of the first run, where the tone began
    uint64_t appl;              // frames read or written since t0
};

bool sim_card_present()
{
    int p = present.load();
    if (p < 0) {
        const char *s = getenv("PLATFORM_SOUND");
        p = (s && strcmp(s, "none") == 0) ? 0 : 1;
        int expected = -1;
        present.compare_exchange_strong(expected, p);
        p = present.load();
    }
    return p == 1;
}

void platform_sound_sim_set_present(bool on)
{
    present.store(on ? 1 : 0);
}

void platform_sound_sim_grant_period(unsigned long frames)
{
    grant_period.store(frames);
}

int16_t platform_sound_sim_sample(uint64_t n, int channel, unsigned rate)
{
    if (rate == 0)
        return 0;
    uint64_t f = channel ? SOUND_SIM_TONE_RIGHT : SOUND_SIM_TONE_LEFT;
    // The phase as a whole fraction of the rate: no drift however long the stream runs.
    uint64_t k = (n % rate) * f % rate;
    return (int16_t)lround((double)SOUND_SIM_AMPLITUDE * sin(2.0 * M_PI * (double)k / rate));
}

int sim_pcm_open(SimPcm **out, const char *name, PlatformPcmStream stream)
{
    *out = nullptr;
    if (!sim_card_present())
        return -ENODEV;
    if (!name || (strcmp(name, "hw:0,0") != 0 && strcmp(name, "plughw:0,0") != 0 && strcmp(name, "default") != 0))
        return -ENOENT;
    std::lock_guard<std::mutex> g(open_mutex);
    if (stream_open[stream])
        return -EBUSY;
    SimPcm *p = new (std::nothrow) SimPcm();
    if (!p)
        return -ENOMEM;
    p->stream = stream;
    p->state = SIM_OPEN;
    stream_open[stream] = true;
    *out = p;
    return 0;
}

int sim_pcm_close(SimPcm *pcm)
{
    if (!pcm)
        return -EINVAL;
    {
        std::lock_guard<std::mutex> g(open_mutex);
        stream_open[pcm->stream] = false;
    }
    delete pcm;
    return 0;
}

void sim_hw_any(SimHw *hw)
{
    *hw = SimHw{};
}

int sim_hw_set_rate_near(SimHw *hw, unsigned *rate)
{
    unsigned best = SIM_RATES[0];
    for (unsigned r : SIM_RATES)
        if (labs((long)r - (long)*rate) < labs((long)best - (long)*rate))
            best = r;
    hw->rate = best;
    *rate = best;
    return 0;
}

int sim_hw_set_channels(SimHw *hw, unsigned channels)
{
    if (channels < 1 || channels > 2)
        return -EINVAL;
    hw->channels = channels;
    return 0;
}

int sim_hw_set_period_near(SimHw *hw, unsigned long *frames)
{
    unsigned long g = grant_period.load();
    unsigned long p = g ? g : std::clamp(*frames, 32ul, 8192ul);
    hw->period = p;
    *frames = p;
    return 0;
}

int sim_hw_get_buffer_time_max(SimHw *hw, unsigned *us)
{
    if (!hw->rate)
        return -EINVAL;
    *us = (unsigned)(SIM_MAX_BUFFER * 1000000ull / hw->rate);
    return 0;
}

int sim_hw_set_buffer_time_near(SimHw *hw, unsigned *us)
{
    if (!hw->rate || !hw->period)
        return -EINVAL;
    unsigned long frames = (unsigned long)((uint64_t)*us * hw->rate / 1000000ull);
    frames = std::min(frames, SIM_MAX_BUFFER);
    frames = frames / hw->period * hw->period;
    if (frames < 2 * hw->period)
        frames = 2 * hw->period;
    hw->buffer = frames;
    *us = (unsigned)((uint64_t)frames * 1000000ull / hw->rate);
    return 0;
}

int sim_hw_params(SimPcm *pcm, SimHw *hw)
{
    if (!hw->access || !hw->format || !hw->rate || !hw->channels || !hw->period)
        return -EINVAL;
    if (!hw->buffer)
        hw->buffer = std::max(2 * hw->period, SIM_MAX_BUFFER / hw->period * hw->period);
    pcm->rate = hw->rate;
    pcm->channels = hw->channels;
    pcm->period = hw->period;
    pcm->buffer = hw->buffer;
    pcm->sw = SimSw{hw->period, 1, hw->buffer};
    pcm->state = SIM_PREPARED;
    pcm->appl = 0;
    if (pcm->stream == PLATFORM_PCM_PLAYBACK)
        wav_format(pcm->rate, pcm->channels);
    return 0;
}

void sim_sw_current(SimPcm *pcm, SimSw *sw)
{
    *sw = pcm->sw;
}

int sim_sw_params(SimPcm *pcm, const SimSw *sw)
{
    if (pcm->state == SIM_OPEN)
        return -EBADFD;
    pcm->sw = *sw;
    return 0;
}

void sim_pcm_dump(SimPcm *pcm)
{
    fprintf(stderr, "Simulated %s PCM hw:0,0\n  rate %u channels %u period_size %lu buffer_size %lu\n"
                    "  avail_min %lu start_threshold %lu stop_threshold %lu\n",
            pcm->stream == PLATFORM_PCM_CAPTURE ? "capture" : "playback", pcm->rate, pcm->channels,
            pcm->period, pcm->buffer, pcm->sw.availMin, pcm->sw.startThreshold, pcm->sw.stopThreshold);
}

namespace {

// Frames the card has moved since t0: whole periods, as the DMA interrupt reports them.
uint64_t hw_frames(const SimPcm *p, uint64_t now)
{
    uint64_t frames = (now - p->t0) * p->rate / 1000000000ull;
    return frames / p->period * p->period;
}

uint64_t frames_to_ns(const SimPcm *p, uint64_t frames)
{
    return frames * 1000000000ull / p->rate;
}

void run(SimPcm *p)
{
    p->state = SIM_RUNNING;
    p->t0 = now_ns();
    p->appl = 0;
    // The tone plays on while the card is stopped, as a source at the input would: what a
    // restart lost is as long in the sound as on the clock.
    if (!p->origin)
        p->origin = p->t0;
    p->toneBase = (p->t0 - p->origin) * p->rate / 1000000000ull;
}

} // namespace

int sim_pcm_start(SimPcm *pcm)
{
    if (pcm->state != SIM_PREPARED)
        return -EBADFD;
    run(pcm);
    return 0;
}

int sim_pcm_prepare(SimPcm *pcm)
{
    if (pcm->state == SIM_OPEN)
        return -EBADFD;
    pcm->state = SIM_PREPARED;
    pcm->appl = 0;
    return 0;
}

long sim_pcm_readi(SimPcm *pcm, void *buf, unsigned long frames)
{
    if (pcm->stream != PLATFORM_PCM_CAPTURE)
        return -EINVAL;
    if (pcm->state == SIM_XRUN)
        return -EPIPE;
    if (pcm->state == SIM_PREPARED && frames >= pcm->sw.startThreshold)
        run(pcm);
    if (pcm->state != SIM_RUNNING)
        return -EBADFD;
    int16_t *out = static_cast<int16_t *>(buf);
    unsigned long done = 0;
    while (done < frames) {
        uint64_t now = now_ns();
        uint64_t hw = hw_frames(pcm, now);
        uint64_t avail = hw - pcm->appl;
        if (avail >= pcm->sw.stopThreshold) {
            pcm->state = SIM_XRUN;
            return done ? (long)done : -EPIPE;
        }
        if (avail == 0) {
            sleep_until_ns(pcm->t0 + frames_to_ns(pcm, hw + pcm->period));
            continue;
        }
        unsigned long n = (unsigned long)std::min<uint64_t>(avail, frames - done);
        for (unsigned long i = 0; i < n; i++) {
            uint64_t pos = pcm->toneBase + pcm->appl + i;
            for (unsigned c = 0; c < pcm->channels; c++)
                *out++ = platform_sound_sim_sample(pos, (int)c, pcm->rate);
        }
        pcm->appl += n;
        done += n;
    }
    return (long)done;
}

long sim_pcm_writei(SimPcm *pcm, const void *buf, unsigned long frames)
{
    if (pcm->stream != PLATFORM_PCM_PLAYBACK)
        return -EINVAL;
    if (pcm->state == SIM_XRUN)
        return -EPIPE;
    if (pcm->state != SIM_RUNNING && pcm->state != SIM_PREPARED)
        return -EBADFD;
    if (pcm->state == SIM_PREPARED) {
        // Frames wait in the buffer until the start threshold (or a full buffer) starts the
        // card; the wait for room below then plays them.
        if (pcm->appl + frames < pcm->sw.startThreshold && pcm->appl + frames <= pcm->buffer) {
            pcm->appl += frames;
            wav_append(buf, frames * pcm->channels * 2);
            return (long)frames;
        }
        uint64_t queued = pcm->appl;
        run(pcm);
        pcm->appl = queued;
    }
    uint64_t now = now_ns();
    uint64_t played = (now - pcm->t0) * pcm->rate / 1000000000ull;
    if (played > pcm->appl) {       // the card ran dry: underrun
        pcm->state = SIM_XRUN;
        return -EPIPE;
    }
    // Wait until the frames fit into the buffer.
    if (pcm->appl + frames > played + pcm->buffer)
        sleep_until_ns(pcm->t0 + frames_to_ns(pcm, pcm->appl + frames - pcm->buffer));
    pcm->appl += frames;
    wav_append(buf, frames * pcm->channels * 2);
    return (long)frames;
}

int sim_pcm_htimestamp(SimPcm *pcm, unsigned long *avail, struct timespec *ts)
{
    *avail = 0;
    ts->tv_sec = 0;
    ts->tv_nsec = 0;
    if (pcm->state != SIM_RUNNING && pcm->state != SIM_XRUN)
        return 0;
    // The counter and the monotonic clock are read apart: a preemption between the two
    // reads would skew the stamp, so read again until both fall within one tick.
    uint64_t now = 0;
    uint32_t clock = 0;
    for (int tries = 0; tries < 8; tries++) {
        uint32_t before = platform_reg_read(PLATFORM_REG_TIMER90K);
        now = now_ns();
        clock = platform_reg_read(PLATFORM_REG_TIMER90K);
        if (clock - before <= 1)
            break;
    }
    uint64_t hw = hw_frames(pcm, now);
    uint64_t boundary = pcm->t0 + frames_to_ns(pcm, hw);
    // The driver stamps each period boundary with the 90 kHz counter.
    ts->tv_sec = (time_t)(uint32_t)(clock - (uint32_t)((now - boundary) * 9 / 100000));
    *avail = pcm->stream == PLATFORM_PCM_CAPTURE ? (unsigned long)(hw - pcm->appl) : 0;
    return 0;
}

int sim_pcm_delay(SimPcm *pcm, long *frames)
{
    *frames = 0;
    if (pcm->state == SIM_PREPARED && pcm->stream == PLATFORM_PCM_PLAYBACK) {
        *frames = (long)pcm->appl;  // all still to be played
        return 0;
    }
    if (pcm->state != SIM_RUNNING)
        return pcm->state == SIM_XRUN ? -EPIPE : 0;
    uint64_t now = now_ns();
    if (pcm->stream == PLATFORM_PCM_CAPTURE) {
        *frames = (long)(hw_frames(pcm, now) - pcm->appl);
    } else {
        uint64_t played = (now - pcm->t0) * pcm->rate / 1000000000ull;
        if (played >= pcm->appl) {  // ran dry: an underrun, as the next write will hear
            pcm->state = SIM_XRUN;
            return -EPIPE;
        }
        *frames = (long)(pcm->appl - played);
    }
    return 0;
}

// --- mixer ---

namespace {

struct SimElemDesc {
    const char *name;
    unsigned caps;              // PlatformMixerCap bits
    int channels;               // 1 mono, 2 stereo
    long vmin, vmax;            // of the volume controls
    long vinit;
    int swinit;
    const char *const *items;   // enumerated: the item names, null-terminated
    bool active;
};

const char *const LINE_MUX_ITEMS[] = {"single-ended", "differential", nullptr};
constexpr unsigned PV = MIXER_PLAYBACK_VOLUME, CV = MIXER_CAPTURE_VOLUME, PS = MIXER_PLAYBACK_SWITCH,
                   CS = MIXER_CAPTURE_SWITCH;

// The board codec's simple-mixer elements as the driver presents them.
const SimElemDesc sim_elems[] = {
    {"PCM", PV, 2, 0, 127, 127, 0, nullptr, true},
    {"Line DAC", PV, 2, 0, 118, 0, 0, nullptr, true},
    {"Line", PS, 2, 0, 0, 0, 0, nullptr, true},
    {"PGA", CV | CS, 2, 0, 119, 0, 1, nullptr, true},
    {"AGC", PV | PS, 2, 0, 7, 0, 0, nullptr, true},
    {"Left Line1L Mux", 0, 1, 0, 0, 0, 0, LINE_MUX_ITEMS, true},
    {"Right Line1R Mux", 0, 1, 0, 0, 0, 0, LINE_MUX_ITEMS, true},
    {"Right Line1L Mux", 0, 1, 0, 0, 0, 0, LINE_MUX_ITEMS, true},
    {"Left Line1R Mux", 0, 1, 0, 0, 0, 0, LINE_MUX_ITEMS, true},
    {"Left PGA Mixer Line1L", PS, 1, 0, 0, 0, 0, nullptr, true},
    {"Left PGA Mixer Line1R", PS, 1, 0, 0, 0, 0, nullptr, true},
    {"Left PGA Mixer Line2L", PS, 1, 0, 0, 0, 0, nullptr, true},
    {"Left PGA Mixer Mic3L", PS, 1, 0, 0, 0, 0, nullptr, true},
    {"Left PGA Mixer Mic3R", PS, 1, 0, 0, 0, 0, nullptr, true},
    {"Right PGA Mixer Line1R", PS, 1, 0, 0, 0, 0, nullptr, true},
    {"Right PGA Mixer Line1L", PS, 1, 0, 0, 0, 0, nullptr, true},
    {"Right PGA Mixer Line2R", PS, 1, 0, 0, 0, 0, nullptr, true},
    {"Right PGA Mixer Mic3R", PS, 1, 0, 0, 0, 0, nullptr, true},
    {"Right PGA Mixer Mic3L", PS, 1, 0, 0, 0, 0, nullptr, true},
    {"LINE1", PS, 1, 0, 0, 0, 1, nullptr, true},
    {"HP_Pwr", PS, 2, 0, 0, 0, 1, nullptr, true},
    {"HPCOM_Pwr", PS, 2, 0, 0, 0, 1, nullptr, true},
    {"Mono_Pwr", PS, 2, 0, 0, 0, 1, nullptr, true},
    {"Line_Pwr", PS, 2, 0, 0, 0, 0, nullptr, true},
    {"Left Line Mixer DACL1", PS, 1, 0, 0, 0, 0, nullptr, true},
    {"Right Line Mixer DACR1", PS, 1, 0, 0, 0, 0, nullptr, true},
    {"Left Line Mixer DACR1", PV | PS, 1, 0, 118, 60, 1, nullptr, true},
    {"Right Line Mixer DACL1", PV | PS, 1, 0, 118, 60, 1, nullptr, true},
    {"Left Line Mixer Line2L Bypass", PS, 1, 0, 0, 0, 1, nullptr, true},
    {"Left Line Mixer PGAL Bypass", PS, 1, 0, 0, 0, 1, nullptr, true},
    {"Right Line Mixer Line2R Bypass", PS, 1, 0, 0, 0, 1, nullptr, true},
    {"Right Line Mixer PGAR Bypass", PS, 1, 0, 0, 0, 1, nullptr, true},
    {"Left Line Mixer Line2R Bypass", PV | PS, 1, 0, 118, 40, 1, nullptr, true},
    {"Left Line Mixer PGAR Bypass", PV | PS, 1, 0, 118, 40, 1, nullptr, true},
    {"Right Line Mixer Line2L Bypass", PV | PS, 1, 0, 118, 40, 1, nullptr, true},
    {"Right Line Mixer PGAL Bypass", PV | PS, 1, 0, 118, 40, 1, nullptr, true},
    {"Left HP Mixer DACL1", PS, 1, 0, 0, 0, 1, nullptr, true},
    {"Right HP Mixer DACR1", PS, 1, 0, 0, 0, 1, nullptr, true},
    {"Left HPCOM Mixer DACL1", PS, 1, 0, 0, 0, 1, nullptr, true},
    {"Right HPCOM Mixer DACR1", PS, 1, 0, 0, 0, 1, nullptr, true},
    {"Mic3L Bias", CS, 2, 0, 0, 0, 0, nullptr, true},
    {"Digital Loopback", PS, 1, 0, 0, 0, 0, nullptr, false},   // present, never active here
};
constexpr int SIM_ELEMS = sizeof sim_elems / sizeof sim_elems[0];

struct SimElemValue {
    long pvol[2], cvol[2];
    int psw[2], csw[2];
    unsigned item[2];
};

std::mutex mixer_mutex;
SimElemValue values[SIM_ELEMS];
bool values_ready;
long mixer_writes;

void reset_values()
{
    for (int i = 0; i < SIM_ELEMS; i++) {
        const SimElemDesc &d = sim_elems[i];
        for (int c = 0; c < 2; c++) {
            values[i].pvol[c] = values[i].cvol[c] = d.vinit;
            values[i].psw[c] = values[i].csw[c] = d.swinit;
            values[i].item[c] = 0;
        }
    }
    values_ready = true;
    mixer_writes = 0;
}

bool valid(int i)
{
    return i >= 0 && i < SIM_ELEMS;
}

} // namespace

void platform_sound_sim_reset_mixer()
{
    std::lock_guard<std::mutex> g(mixer_mutex);
    reset_values();
}

long platform_sound_sim_mixer_writes()
{
    std::lock_guard<std::mutex> g(mixer_mutex);
    return mixer_writes;
}

int sim_mixer_count()
{
    std::lock_guard<std::mutex> g(mixer_mutex);
    if (!values_ready)
        reset_values();
    return SIM_ELEMS;
}

const char *sim_mixer_name(int i)
{
    return valid(i) ? sim_elems[i].name : "";
}

bool sim_mixer_active(int i)
{
    return valid(i) && sim_elems[i].active;
}

bool sim_mixer_enumerated(int i)
{
    return valid(i) && sim_elems[i].items;
}

bool sim_mixer_has(int i, PlatformMixerCap cap)
{
    return valid(i) && (sim_elems[i].caps & cap);
}

bool sim_mixer_has_channel(int i, bool capture, int channel)
{
    if (!valid(i) || channel < 0)
        return false;
    const SimElemDesc &d = sim_elems[i];
    unsigned side = capture ? (CV | CS) : (PV | PS);
    if (!(d.caps & side) && !(d.items && !capture))
        return false;
    return channel < d.channels;
}

int sim_mixer_get(int i, PlatformMixerCap control, int channel, long *value)
{
    if (!valid(i) || !(sim_elems[i].caps & control))
        return -EINVAL;
    const SimElemDesc &d = sim_elems[i];
    // A mono control answers for every channel, as ALSA's simple mixer does.
    int c = channel >= 0 && channel < d.channels ? channel : 0;
    std::lock_guard<std::mutex> g(mixer_mutex);
    if (!values_ready)
        reset_values();
    const SimElemValue &v = values[i];
    switch (control) {
    case MIXER_PLAYBACK_VOLUME: *value = v.pvol[c]; break;
    case MIXER_CAPTURE_VOLUME: *value = v.cvol[c]; break;
    case MIXER_PLAYBACK_SWITCH: *value = v.psw[c]; break;
    case MIXER_CAPTURE_SWITCH: *value = v.csw[c]; break;
    default: return -EINVAL;
    }
    return 0;
}

int sim_mixer_set(int i, PlatformMixerCap control, int channel, long value)
{
    if (!valid(i) || !(sim_elems[i].caps & control))
        return -EINVAL;
    const SimElemDesc &d = sim_elems[i];
    if (channel < 0 || channel >= d.channels)
        return 0;               // no such channel: nothing to change
    bool volume = control == MIXER_PLAYBACK_VOLUME || control == MIXER_CAPTURE_VOLUME;
    if (volume && (value < d.vmin || value > d.vmax))
        return 0;               // out of range is ignored, as ALSA's simple mixer does
    std::lock_guard<std::mutex> g(mixer_mutex);
    if (!values_ready)
        reset_values();
    SimElemValue &v = values[i];
    switch (control) {
    case MIXER_PLAYBACK_VOLUME: v.pvol[channel] = value; break;
    case MIXER_CAPTURE_VOLUME: v.cvol[channel] = value; break;
    case MIXER_PLAYBACK_SWITCH: v.psw[channel] = value ? 1 : 0; break;
    case MIXER_CAPTURE_SWITCH: v.csw[channel] = value ? 1 : 0; break;
    default: return -EINVAL;
    }
    mixer_writes++;
    return 0;
}

int sim_mixer_set_enum(int i, int channel, unsigned item)
{
    if (!valid(i) || !sim_elems[i].items)
        return -EINVAL;
    unsigned n = 0;
    while (sim_elems[i].items[n])
        n++;
    if (item >= n || channel < 0 || channel >= sim_elems[i].channels)
        return -EINVAL;
    std::lock_guard<std::mutex> g(mixer_mutex);
    if (!values_ready)
        reset_values();
    values[i].item[channel] = item;
    mixer_writes++;
    return 0;
}

int sim_mixer_get_enum(int i, int channel, unsigned *item)
{
    if (!valid(i) || !sim_elems[i].items || channel < 0 || channel >= sim_elems[i].channels)
        return -EINVAL;
    std::lock_guard<std::mutex> g(mixer_mutex);
    if (!values_ready)
        reset_values();
    *item = values[i].item[channel];
    return 0;
}
