// Audio playback: the thread that plays AAC frames handed over by the output thread (or the
// live PCM stream in pass-through) on the sound card, and keeps the audio clock the video
// output follows.
#pragma once
#include <cstddef>
#include <cstdint>

struct PlaybackEnv;
struct FrameMessage;

// The playback's own records: fifos[1] of the env holds the free ones, fifos[0] the filled.
enum { PLAYBACK_RECORDS = 12, PLAYBACK_RECORD_SIZE = 4096 };
enum { PLAYBACK_FLAG_PCM = 1 };                 // record flag: PCM to play as it is; clear = AAC
enum { PLAYBACK_CONTAINER_MP4 = 0,              // env container word: raw AAC frames
       PLAYBACK_CONTAINER_TS = 1 };             // ADTS frames

// --- the output thread's side ---
// A free record, waiting at most timeout_ms; null when none came in time (the caller drops
// that audio) or the fifo was flushed. Its buffer holds PLAYBACK_RECORD_SIZE bytes.
FrameMessage *playback_take_record(PlaybackEnv *env, int timeout_ms);
// Hands a record filled with AAC (its buffer's bytes used set, at most the buffer's size) to
// the playback thread with the frame's 90 kHz timestamp. 0, or -1 when the fifo refused it
// (the record is then back among the free ones).
int playback_put_aac(PlaybackEnv *env, FrameMessage *m, uint32_t ts);
// Gives an unused record back.
void playback_return_record(PlaybackEnv *env, FrameMessage *m);
// Opens the gate: audio of a stream may play. The gate is closed when the thread starts.
void playback_release(PlaybackEnv *env);
// True once audio of the current stream has been played: *av_offset (when not null) is then
// the A/V offset, so (clock now - offset) is the stream time being heard. Display pacing waits
// for this.
bool playback_clock(uint32_t *av_offset);
// A new stream: the clock counts again only after its audio is played.
void playback_clock_reset();

// --- helpers of the thread, for tests ---
struct AdtsHeader {
    int headerLength;           // 7, or 9 with CRC
    int frameLength;            // header and payload
    int sampleRate;             // 0 for a reserved index
    int rateIndex;
    int channels;
};
// Parses the ADTS header at p; false when there is none (sync word missing or fewer than 7
// bytes). frameLength is as the header says: callers check it against what they hold.
bool playback_adts_header(const uint8_t *p, size_t n, AdtsHeader *h);
// Output delay in 90 kHz ticks from the card's delay in frames: the period being played does
// not count.
int32_t playback_output_delay(long delay_frames, int rate);
// Whether a received rate may be stored in "Audio.SampleRate" (within its limits and steps).
bool playback_rate_storable(int rate);

// The platform's sound output wrapper: the card's playback stream at attrs' rate (ALSA
// implementation only); released with Sound_delete. Sound_write plays the buffer's bytes used,
// starting the card again after an underrun: 0 or a negative errno.
struct SoundAttrs;
struct SoundAlsaObject;
struct Buffer_Object;
SoundAlsaObject *Sound_create(SoundAttrs *attrs);
int Sound_write(SoundAlsaObject *s, Buffer_Object *b);

void *soundPlaybackThrFxn(void *arg);
