#include "audio/playback.h"

#include "core/threads.h"
#include "video/capture.h"

FrameMessage *playback_take_record(PlaybackEnv *, int) { return nullptr; }
int playback_put_aac(PlaybackEnv *, FrameMessage *, uint32_t) { return -1; }
void playback_return_record(PlaybackEnv *, FrameMessage *) {}
void playback_release(PlaybackEnv *env) { Pause_off(env->hPause); }
bool playback_clock(uint32_t *) { return false; }
void playback_clock_reset() {}
bool playback_adts_header(const uint8_t *, size_t, AdtsHeader *) { return false; }
int32_t playback_output_delay(long, int) { return 0; }
bool playback_rate_storable(int) { return false; }

void *soundPlaybackThrFxn(void *arg)
{
    PlaybackEnv *env = static_cast<PlaybackEnv *>(arg);
    thread_idle_until_quit(env->name, env->hRendezvousInit, env->hRendezvousCleanup);
    return nullptr;
}
