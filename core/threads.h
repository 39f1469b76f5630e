// Threads of the process: the environment records main fills, the common thread pattern
// helpers, and thread names for log lines and crash reports.
#pragma once
#include "platform/dmai.h"

#include <cstdint>
#include <pthread.h>

struct ParamBlock;

enum { THREAD_PARTIES = 18 };

struct VideoEnv;
struct DisplayEnv;
struct PlaybackEnv;

struct CaptureEnv {
    const char *name;
    Rendezvous_Handle hRendezvousInit;
    Rendezvous_Handle hRendezvousCleanup;
    int status;
    int spare0;
    VideoEnv *videoA;
    Fifo_Handle hToVideoA;
    Fifo_Handle hFromVideoA;
    VideoEnv *videoB;
    Fifo_Handle hToVideoB;
    Fifo_Handle hFromVideoB;
    DisplayEnv *display;
    Fifo_Handle hFromDisplay;   // copies of the display's own handles; the thread uses the display env's
    Fifo_Handle hToDisplay;
    int spare1;
    ParamBlock *params;
};

struct VideoEnv {
    const char *name;
    ParamBlock *params;
    int channel;
    Rendezvous_Handle hRendezvousInit;
    Rendezvous_Handle hRendezvousCleanup;
    int status;
    Fifo_Handle hToCapture;     // empty pictures back to capture
    Fifo_Handle hFromCapture;   // filled pictures from capture
    const char *engineName;
    int decimate;               // frame decimation (1 = every frame)
    int restart;                // set by the VPSS recovery
};

struct DisplayEnv {
    const char *name;
    ParamBlock *params;
    Rendezvous_Handle hRendezvousInit;
    Rendezvous_Handle hRendezvousCleanup;
    int status;
    int mode;                   // requested mode: 0 idle, 1 pass-through, 7 recovery, 8 power off
    int colorSpace;             // requested colour space
    int standard;
    int displayMode;
    Fifo_Handle hFromCapture;
    Fifo_Handle hToCapture;
    Fifo_Handle hFromOutput;
    Fifo_Handle hToOutput;
    PlaybackEnv *playback;
};

struct AudioEnv {
    const char *name;
    Rendezvous_Handle hRendezvousInit;
    Rendezvous_Handle hRendezvousCleanup;
    Fifo_Handle fifos[4];
    int source;
    int runStateId;
    int bitRate;
    int sampleRate;
    int channels;
    const char *engineName;
    ParamBlock *params;
    int instance;
};

struct SoundEnv {
    const char *name;
    ParamBlock *params;
    Rendezvous_Handle hRendezvousInit;
    Rendezvous_Handle hRendezvousCleanup;
    const char *engineName;
    int sampleRate;
    int channels;
    AudioEnv *audioA;
    AudioEnv *audioB;
    AudioEnv *audioC;
    int words[4];
    int flag0;
    int flag1;
    Fifo_Handle hPlaybackFifo1;
    Fifo_Handle hPlaybackFifo0;
};

struct PlaybackEnv {
    const char *name;
    ParamBlock *params;
    Rendezvous_Handle hRendezvousInit;
    Rendezvous_Handle hRendezvousCleanup;
    const char *engineName;
    int sampleRate;
    Fifo_Handle fifos[2];
    Pause_Handle hPause;
    int words[3];
    int marker;                 // 0x7f7f
};

struct SimpleEnv {              // httpd, gpio
    const char *name;
    ParamBlock *params;
    Rendezvous_Handle hRendezvousInit;
    Rendezvous_Handle hRendezvousCleanup;
    int status;
    int words[2];
    Fifo_Handle hEventFifo;     // gpio only
};

struct OutputEnv {
    const char *name;
    ParamBlock *params;
    Rendezvous_Handle hRendezvousInit;
    Rendezvous_Handle hRendezvousCleanup;
    Pause_Handle hPause;
    int word;
    const char *engineName;
    int flag;
    int status;
    PlaybackEnv *playback;
    DisplayEnv *display;
};

struct RtpEnv {
    const char *name;
    Rendezvous_Handle hRendezvousInit;
    Rendezvous_Handle hRendezvousCleanup;
    ParamBlock *params;
    AudioEnv *audioA;
    AudioEnv *audioB;
    AudioEnv *audioC;
    VideoEnv *videoA;
    VideoEnv *videoB;
    int status;
};

struct SenderEnv {              // udpA, udpB, rtmpA, rtmpB, rtmpC
    const char *name;
    Rendezvous_Handle hRendezvousInit;
    Rendezvous_Handle hRendezvousCleanup;
    int status;
    ParamBlock *params;
    int instance;
};

struct RecordEnv {
    const char *name;
    ParamBlock *params;
    int status;
    Rendezvous_Handle hRendezvousInit;
    Rendezvous_Handle hRendezvousCleanup;
    int runStateId;             // 13
};

struct SerialEnv {
    const char *name;
    Rendezvous_Handle hRendezvousInit;
    Rendezvous_Handle hRendezvousCleanup;
    int status;
    ParamBlock *params;
};

// Process-wide records filled by main.
extern CaptureEnv captureEnv;
extern VideoEnv videoEnvA, videoEnvB;
extern DisplayEnv displayEnv;
extern AudioEnv audioEnvA, audioEnvB, audioEnvC, audioEnvD;
extern SoundEnv soundEnv;
extern PlaybackEnv playbackEnv;
extern SimpleEnv httpdEnv, gpioEnv;
extern OutputEnv outputEnv;
extern RtpEnv rtpEnv;
extern SenderEnv udpEnvA, udpEnvB, rtmpEnvA, rtmpEnvB, rtmpEnvC;
extern RecordEnv recordEnv;
extern SerialEnv serialEnv;
extern Cpu_Handle cpu_handle;

// The thread ids main records as it starts each thread, for thread_name_of.
enum ThreadSlot { TH_MAIN, TH_CAPTURE, TH_VIDEOA, TH_VIDEOB, TH_SOUND, TH_PLAYBACK, TH_RECORD, TH_HTTPD,
                  TH_DISPLAY, TH_OUTPUT, TH_SLOTS };
void thread_set_id(ThreadSlot slot, pthread_t id);
const char *thread_name_of(pthread_t id);
const char *current_thread_name();

void rendezvous_meet(Rendezvous_Handle h, const char *name);
void myRendezvousCleanup(Rendezvous_Handle h, const char *name);
const char *thread_init_begin(const char *name);
const char *thread_init_end(const char *name);

void register_thread_cpu_clock(const char *name);
void thread_cpu_time_print(pthread_t thread, const char *name);
long thread_cpu_time_us(pthread_t thread);

// The pattern of a thread whose work is not there yet: set-up, start rendezvous, idle until
// quit, cleanup rendezvous.
void thread_idle_until_quit(const char *name, Rendezvous_Handle start, Rendezvous_Handle cleanup);

VideoEnv *video_env_get(int index);
void setVideoDecimate(int value);
void setDisplayStandard(int standard);
void setDisplayPowerOff();
void setDisplayIdle();

// Serialises every codec create, reset, parameter change, encode and decode call.
extern pthread_mutex_t codec_mutex;
