// The playback thread: AAC frames from the output thread (decoded here) or, in pass-through,
// the live PCM stream, played on the sound card; after every buffer the audio clock (output
// delay and A/V offset) that the video output follows.
#include "audio/playback.h"

#include "audio/mixer.h"
#include "audio/sound.h"
#include "core/board.h"
#include "core/log.h"
#include "core/param.h"
#include "core/param_table.h"
#include "core/quit.h"
#include "core/soc.h"
#include "core/threads.h"
#include "core/util.h"
#include "platform/codec_dec.h"
#include "platform/dmai.h"
#include "platform/sound.h"
#include "streams/stream.h"
#include "streams/stream_mode.h"
#include "streams/stream_state.h"
#include "video/capture.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <pthread.h>

namespace {

constexpr int FIFO_WAIT_MS = 5000;

std::atomic<bool> clock_valid{false};
std::atomic<bool> new_stream{false};

struct Playback {
    PlaybackEnv *env;
    Engine_Handle engine;
    BufTab_Handle tab;
    FrameMessage records[PLAYBACK_RECORDS];
    Buffer_Handle out;          // decoded PCM
    Buffer_Handle ref;          // the frame being decoded, inside a record's buffer
    Adec1_Handle dec;
    int decRate;
    bool decRaw;
    SoundAlsaObject *snd;
    SoundAttrs attrs;
    int heldRate;               // the rate the output was opened at
    int streamRate;             // of the received ADTS frames; 0: the setting's
    bool passThrough;
    StreamState pcmState;
};

bool ended(Playback *t)
{
    return t->env->status < 0 || quit_requested() != 0;
}

int wanted_rate(Playback *t)
{
    return t->streamRate ? t->streamRate : (int)t->env->params->Audio.SampleRate;
}

void delete_decoder(Playback *t)
{
    if (t->dec)
        Adec1_delete(t->dec);
    t->dec = nullptr;
}

// Opens the output at rate; false (logged, status -1) when the card refuses.
bool open_output(Playback *t, int rate)
{
    PlaybackEnv *env = t->env;
    const ParamBlock *p = env->params;
    t->attrs.sampleRate = rate;
    t->attrs.channels = 2;
    t->attrs.leftGain = 0;
    t->attrs.rightGain = 0;
    t->attrs.mode = SOUND_MODE_OUTPUT;
    t->attrs.input = 0;
    t->attrs.impl = SOUND_IMPL_ALSA;
    t->snd = Sound_create(&t->attrs);
    if (!t->snd) {
        log_error("%s %d: Failed to create sound playback device\n", env->name, __LINE__);
        env->status = -1;
        return false;
    }
    t->attrs.periodSize = 4096;
    t->heldRate = rate;
    t->attrs.leftGain = p->Audio.OutVolumeLeft;
    t->attrs.rightGain = p->Audio.OutVolumeRight;
    setMixerVolume(&t->attrs, 0, 0);
    log_printf("Sound playback device started. left=%d right=%d srate=%d\n", (int)t->attrs.leftGain,
               (int)t->attrs.rightGain, rate);
    return true;
}

void close_output(Playback *t)
{
    if (t->snd)
        Sound_delete(t->snd);
    t->snd = nullptr;
}

// The audio clock after a buffer was written: what is heard now is the end of that buffer
// less the card's delay.
void update_clock(Playback *t, uint32_t ts, bool streamAudio)
{
    long delay = 0;
    if (!t->snd || !t->snd->playback || platform_pcm_delay(t->snd->playback, &delay) < 0)
        delay = 0;
    int32_t outDelay = playback_output_delay(delay, t->heldRate);
    audio_status.outputDelay = outDelay;
    audio_status.avOffset = (int32_t)ts_elapsed(ts, ts_add(hw_clock_90khz(), (uint32_t)outDelay));
    if (streamAudio)
        clock_valid = true;
}

// A received rate: stored in the setting when it may be, played at in any case.
bool take_stream_rate(Playback *t, int rate)
{
    if (rate <= 0 || rate == t->heldRate)
        return true;
    if (playback_rate_storable(rate) && (int)t->env->params->Audio.SampleRate != rate)
        t->env->params->Audio.SampleRate = (uint32_t)rate;
    log_print_raw("AAC samplerate changed to %ld\n", (long)rate);
    t->streamRate = rate;
    close_output(t);
    return open_output(t, rate);
}

bool ensure_decoder(Playback *t, bool raw)
{
    if (t->dec && t->decRate == t->heldRate && t->decRaw == raw)
        return true;
    delete_decoder(t);
    IAACDEC_Params params = Adec1_Params_DEFAULT;
    params.auddecParams.size = sizeof(IAACDEC_Params);
    params.downSampleSbr = 0;
    params.rawFormat = raw ? 1 : 0;
    params.rawSampleRate = t->heldRate;
    AUDDEC1_DynamicParams dyn = Adec1_DynamicParams_DEFAULT;
    t->dec = Adec1_create(t->engine, "aacdec", &params.auddecParams, &dyn);
    if (!t->dec) {
        log_error("%s %d: failed to create AAC audio decoder\n", t->env->name, __LINE__);
        t->env->status = -1;
        return false;
    }
    t->decRate = t->heldRate;
    t->decRaw = raw;
    return true;
}

int write_pcm(Playback *t, Buffer_Handle b)
{
    int rc = Sound_write(t->snd, b);
    if (rc != 0) {
        errno = -rc;
        perror("Sound_write");
        log_printf("Sound_write rc=%d\n", rc);
    }
    return rc;
}

// Walks the AAC frames of one record. -1: the output must be recreated (write error) or the
// thread ends (status).
int play_aac(Playback *t, FrameMessage *m)
{
    m->flags |= PLAYBACK_FLAG_PCM;
    uint8_t *data = Buffer_getUserPtr(m->frame);
    size_t used = Buffer_getNumBytesUsed(m->frame);
    if (used > Buffer_getSize(m->frame))
        used = Buffer_getSize(m->frame);
    size_t pos = 0;
    // A raw frame may be shorter than a header (silence): the first is always decoded.
    while (pos < used && (pos == 0 || pos + 8 < used)) {
        AdtsHeader h;
        bool adts = playback_adts_header(data + pos, used - pos, &h);
        size_t payload = adts ? (size_t)(h.frameLength > h.headerLength ? h.frameLength - h.headerLength : 0) : used;
        if (adts && !take_stream_rate(t, h.sampleRate))
            return -1;
        // Frames without a header are raw, as MP4 carries them; ADTS frames go whole to the
        // decoder, whatever container the output thread named.
        if (!ensure_decoder(t, !adts))
            return -1;
        Buffer_setUserPtr(t->ref, data + pos);
        Buffer_setSize(t->ref, used - pos);
        Buffer_setNumBytesUsed(t->ref, used - pos);
        Buffer_setNumBytesUsed(t->out, 0);
        size_t consumed = 0;
        if (Adec1_process(t->dec, t->ref, t->out) != Dmai_EOK) {
            log_printf("%s %d: Failed to decode audio buffer %d\n", t->env->name, __LINE__, (int)(used - pos));
            delete_decoder(t);
        } else {
            consumed = Buffer_getNumBytesUsed(t->ref);
        }
        size_t expect = adts ? (size_t)h.frameLength : payload;
        if (consumed < expect) {
            size_t out = Buffer_getNumBytesUsed(t->out);
            log_print_raw("%s: AAC process consumed %ld, size %d, output %ld\n", "soundPlaybackThrFxn", (long)consumed,
                          (int)payload, (long)out);
            char hex[16 * 3 + 2];
            size_t k = 0;
            for (size_t i = 0; i < 16 && pos + i < used; i++)
                k += (size_t)snprintf(hex + k, sizeof hex - k, "%02x ", data[pos + i]);
            log_print_raw("%s\n", hex);
        }
        if (consumed == 0)
            break;
        size_t out = Buffer_getNumBytesUsed(t->out);
        if (out < PLAYBACK_RECORD_SIZE)
            log_printf("%s: aac decoded buffer size %d\n", "soundPlaybackThrFxn", (int)out);
        if (out > 0 && write_pcm(t, t->out) != 0)
            return -1;
        pos += consumed;
    }
    return 0;
}

void give_back(Playback *t, FrameMessage *m)
{
    if (m->returnFifo && Fifo_put(m->returnFifo, m) != Dmai_EOK) {
        log_error("%s %d: Failed to put Audio buffer\n", t->env->name, __LINE__);
        t->env->status = -1;
    }
}

// The gate: audio of a stream waits until the output thread lets it play.
bool pass_gate(Playback *t)
{
    while (Pause_testTimeout(t->env->hPause, 100) != 0)
        if (quit_requested())
            return false;
    return true;
}

// One pass-through pass: the newest PCM period. false when nothing came.
bool pass_through(Playback *t)
{
    if (!t->passThrough) {
        log_printf("Audio passthru starting\n");
        t->pcmState = StreamState{};
        stream_state_attach(PCM_STREAM, StreamMode_Audio_PCM, &t->pcmState);
        t->passThrough = true;
        t->streamRate = 0;
    }
    StreamBuffer *sb = stream_state_dequeue_timeout(&t->pcmState, 1000);
    if (!sb)
        return false;
    // Older periods are skipped to catch up with the live input.
    while (StreamBuffer *next = stream_state_dequeue_es(&t->pcmState))
        sb = next;
    if (Buffer_getNumBytesUsed(sb->buf) == 0)
        return false;
    if (write_pcm(t, sb->buf) != 0)
        return true;
    update_clock(t, sb->timestamp, false);
    return true;
}

// One buffer; false ends the inner loop (the output is recreated or the thread ends).
bool play_one(Playback *t)
{
    PlaybackEnv *env = t->env;
    if (env->passThrough) {
        pass_through(t);
        return env->status >= 0;
    }
    if (t->passThrough) {
        log_printf("Audio passthru stopped\n");
        stream_state_detach(&t->pcmState);
        t->passThrough = false;
    }
    // Up to FIFO_WAIT_MS for a record, in slices so that a quit is not kept waiting.
    int ready = 0;
    for (int waited = 0; waited < FIFO_WAIT_MS && ready <= 0 && !quit_requested(); waited += 250)
        ready = fd_poll_in(Fifo_getFd(env->fifos[0]), 250);
    if (ready <= 0)
        return true;
    void *p = nullptr;
    int rc = Fifo_get(env->fifos[0], &p);
    if (rc == Dmai_EFLUSH)
        return false;
    if (rc != Dmai_EOK || !p) {
        log_error("%s %d: Failed to get Audio buffer\n", env->name, __LINE__);
        env->status = -1;
        return false;
    }
    FrameMessage *m = static_cast<FrameMessage *>(p);
    if (m->returnFifo == env->fifos[1]) {
        if ((m->flags & PLAYBACK_FLAG_PCM) && Fifo_getNumEntries(env->fifos[0]) > 0) {
            log_printf("dropping audio buf\n");
            give_back(t, m);
            return env->status >= 0;
        }
    } else if (!pass_gate(t)) {
        give_back(t, m);
        return false;
    }
    bool aac = !(m->flags & PLAYBACK_FLAG_PCM);
    if (aac && !pass_gate(t)) {
        give_back(t, m);
        return false;
    }
    if (new_stream.exchange(false))
        t->streamRate = 0;
    bool ok = true;
    if (!m->frame) {
        ok = true;
    } else if (aac) {
        ok = play_aac(t, m) == 0;
    } else {
        ok = write_pcm(t, m->frame) == 0;
    }
    if (ok && m->frame)
        update_clock(t, m->timestamp, aac);
    give_back(t, m);
    return ok && env->status >= 0;
}

void apply_volume(Playback *t)
{
    const ParamBlock *p = t->env->params;
    if (t->attrs.leftGain == p->Audio.OutVolumeLeft && t->attrs.rightGain == p->Audio.OutVolumeRight)
        return;
    t->attrs.leftGain = p->Audio.OutVolumeLeft;
    t->attrs.rightGain = p->Audio.OutVolumeRight;
    setMixerVolume(&t->attrs, 0, 0);
}

void run(Playback *t)
{
    PlaybackEnv *env = t->env;
    while (!ended(t)) {
        if (audio_power_down) {
            quit_wait(100);
            continue;
        }
        if (new_stream.exchange(false))
            t->streamRate = 0;
        if (!open_output(t, wanted_rate(t)))
            break;
        while (!ended(t) && !audio_power_down && wanted_rate(t) == t->heldRate) {
            apply_volume(t);
            if (!play_one(t))
                break;
        }
        close_output(t);
        // A flushed input fifo is the output thread going away: wait for the quit.
        void *p = nullptr;
        if (Fifo_get_nonblocking(env->fifos[0], &p) == Dmai_EFLUSH)
            while (!quit_requested())
                quit_wait(500);
        else if (p)
            Fifo_put(env->fifos[0], p);   // not expected: the loop only ends between records
    }
}

bool setup(Playback *t)
{
    PlaybackEnv *env = t->env;
    Engine_Error ec;
    t->engine = Engine_open(env->engineName, nullptr, &ec);
    if (!t->engine) {
        log_error("%s %d: Failed to open codec engine %s\n", env->name, __LINE__, env->engineName);
        return false;
    }
    t->tab = BufTab_create(PLAYBACK_RECORDS, PLAYBACK_RECORD_SIZE, &Buffer_Attrs_DEFAULT);
    if (!t->tab) {
        log_error("%s %d: Failed to allocate audio output buftab.\n", env->name, __LINE__);
        return false;
    }
    for (int i = 0; i < PLAYBACK_RECORDS; i++) {
        FrameMessage *m = &t->records[i];
        *m = FrameMessage{};
        m->frame = BufTab_getBuf(t->tab, i);
        m->returnFifo = env->fifos[1];
        m->flags = PLAYBACK_FLAG_PCM;
        Buffer_setNumBytesUsed(m->frame, PLAYBACK_RECORD_SIZE);
        if (Fifo_put(env->fifos[1], m) != Dmai_EOK) {
            log_error("%s %d: Failed to send buffer to audio thread\n", env->name, __LINE__);
            return false;
        }
    }
    t->out = Buffer_create(PLAYBACK_RECORD_SIZE, &Buffer_Attrs_DEFAULT);
    if (!t->out) {
        log_error("%s %d: Failed to allocate AAC decoding buffer\n", env->name, __LINE__);
        return false;
    }
    Buffer_Attrs ref = Buffer_Attrs_DEFAULT;
    ref.reference = true;
    t->ref = Buffer_create(1, &ref);
    if (!t->ref) {
        log_error("%s %d: Failed to allocate AAC reference buffer\n", env->name, __LINE__);
        return false;
    }
    return true;
}

} // namespace

int Sound_write(SoundAlsaObject *s, Buffer_Handle b)
{
    if (!s || !s->playback || !b || s->channels <= 0)
        return -EINVAL;
    const uint8_t *p = Buffer_getUserPtr(b);
    unsigned long frames = (unsigned long)(Buffer_getNumBytesUsed(b) / ((size_t)s->channels * 2));
    bool recovered = false;
    while (frames > 0) {
        long r = platform_pcm_writei(s->playback, p, frames);
        if (r == -EPIPE && !recovered) {
            // An underrun: the card starts again from an empty buffer.
            recovered = true;
            platform_pcm_prepare(s->playback);
            continue;
        }
        if (r <= 0)
            return r < 0 ? (int)r : -EIO;
        p += (size_t)r * (size_t)s->channels * 2;
        frames -= (unsigned long)r;
    }
    return 0;
}

SoundAlsaObject *Sound_create(SoundAttrs *attrs)
{
    if (!attrs || attrs->impl != SOUND_IMPL_ALSA)
        return nullptr;
    return Sound_alsa_create(attrs);
}

FrameMessage *playback_take_record(PlaybackEnv *env, int timeout_ms)
{
    if (!env || !env->fifos[1])
        return nullptr;
    void *m = nullptr;
    if (Fifo_get_nonblocking(env->fifos[1], &m) != Dmai_EOK)
        return nullptr;
    if (!m && fd_poll_in(Fifo_getFd(env->fifos[1]), timeout_ms) > 0 &&
        Fifo_get_nonblocking(env->fifos[1], &m) != Dmai_EOK)
        return nullptr;
    return static_cast<FrameMessage *>(m);
}

int playback_put_aac(PlaybackEnv *env, FrameMessage *m, uint32_t ts)
{
    if (!env || !m)
        return -1;
    if (m->frame && Buffer_getNumBytesUsed(m->frame) > Buffer_getSize(m->frame))
        Buffer_setNumBytesUsed(m->frame, Buffer_getSize(m->frame));
    m->timestamp = ts;
    m->flags &= (uint8_t)~PLAYBACK_FLAG_PCM;
    m->returnFifo = env->fifos[1];
    if (Fifo_put(env->fifos[0], m) != Dmai_EOK) {
        playback_return_record(env, m);
        return -1;
    }
    return 0;
}

void playback_return_record(PlaybackEnv *env, FrameMessage *m)
{
    if (env && m) {
        m->flags |= PLAYBACK_FLAG_PCM;
        Fifo_put(env->fifos[1], m);
    }
}

void playback_release(PlaybackEnv *env)
{
    if (env && env->hPause)
        Pause_off(env->hPause);
}

bool playback_clock(uint32_t *av_offset)
{
    if (!clock_valid)
        return false;
    if (av_offset)
        *av_offset = (uint32_t)audio_status.avOffset;
    return true;
}

void playback_clock_reset()
{
    clock_valid = false;
    new_stream = true;
}

bool playback_adts_header(const uint8_t *p, size_t n, AdtsHeader *h)
{
    if (!p || n < 7 || p[0] != 0xFF || (p[1] & 0xF0) != 0xF0)
        return false;
    h->headerLength = (p[1] & 1) ? 7 : 9;
    h->frameLength = ((p[3] & 3) << 11) | (p[4] << 3) | (p[5] >> 5);
    h->rateIndex = (p[2] >> 2) & 15;
    h->sampleRate = adts_sample_rates[h->rateIndex];
    h->channels = ((p[2] & 1) << 2) | (p[3] >> 6);
    return true;
}

int32_t playback_output_delay(long delay_frames, int rate)
{
    if (rate <= 0 || delay_frames <= SOUND_PERIOD_FRAMES)
        return 0;
    return (int32_t)((int64_t)(delay_frames - SOUND_PERIOD_FRAMES) * 90000 / rate);
}

bool playback_rate_storable(int rate)
{
    int32_t min = 0, max = 0, step = 0;
    if (param_limits("Audio.SampleRate", &min, &max, &step) != 0)
        return false;
    return rate >= min && rate <= max && (step <= 0 || (rate - min) % step == 0);
}

void *soundPlaybackThrFxn(void *arg)
{
    PlaybackEnv *env = static_cast<PlaybackEnv *>(arg);
    Playback t = {};
    t.env = env;
    thread_init_begin(env->name);
    register_thread_cpu_clock(env->name);
    // Audio of a received stream waits until the output thread opens the gate.
    if (env->hPause)
        Pause_on(env->hPause);
    bool ok = setup(&t);
    if (!ok)
        env->status = -1;
    thread_init_end(env->name);
    rendezvous_meet(env->hRendezvousInit, env->name);

    if (board_model == 7172 || board_model == 7183) {
        log_printf("No audio output\n");
        env->status = 0;
    } else if (ok && quit_wait(1000) == 0) {
        run(&t);
    }
    if (!quit_requested())
        audio_status.playbackReleased = 1;
    while (!quit_requested())
        quit_wait(500);

    audio_status.playbackReleased = 1;
    myRendezvousCleanup(env->hRendezvousCleanup, env->name);
    close_output(&t);
    if (t.passThrough)
        stream_state_detach(&t.pcmState);
    if (t.tab)
        BufTab_delete(t.tab);
    if (t.out)
        Buffer_delete(t.out);
    if (t.ref)
        Buffer_delete(t.ref);
    delete_decoder(&t);
    if (t.engine)
        Engine_close(t.engine);
    thread_cpu_time_print(pthread_self(), env->name);
    return nullptr;
}
