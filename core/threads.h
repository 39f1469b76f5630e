// Threads of the process: the environment records main fills, the common thread pattern
// helpers, and thread names for log lines and crash reports.
#pragma once
#include "platform/codec.h"
#include "platform/dmai.h"
#include "streams/stream.h"

#include <cstdint>
#include <pthread.h>

struct ParamBlock;

enum { THREAD_PARTIES = 18 };

struct VideoEnv;
struct StreamState;
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
    int channel;                // 0 or 1; stream id = channel + 1
    Rendezvous_Handle hRendezvousInit;
    Rendezvous_Handle hRendezvousCleanup;
    int status;                 // 0 idle, 1 encoding, -1 failed
    Fifo_Handle hToCapture;     // empty pictures back to capture
    Fifo_Handle hFromCapture;   // filled pictures from capture
    const char *engineName;
    int32_t maxEncodedSize;     // from the codec, at most 0x100000; -1 until known
    int32_t inBufSize[2];       // luma and chroma plane sizes from the codec
    int frameRate;              // frames per 1000 s, after decimation
    int maxWidth;
    int maxHeight;
    StreamRunState runState;
    StreamQueue queue;
    StreamState *captureState;  // capture stamps for the slice-mode unit callback (never used)
    uint64_t totalBytes;
    int width;
    int height;
    int lineLength;             // bytes
    int interlacedEncoding;
    uint32_t colorFormat;       // four-character code "NV12" or "UYVY"
    int interlaceMode;          // 1..9
    int sliceLines;             // always 0
    uint32_t timestamp;         // of the picture being encoded
    // Fields from here to `recreate` may be written by other threads: only under `lock`
    // (`recreate` under codec_mutex), through the video_* setters of video/encoder.h.
    int snapshot;
    int pause;
    int videoCodec;             // 2 H.264, 10 MPEG-4, 3 JPEG, or the stream mode itself
    int h264Profile;
    int h264Level;
    int jpegQuality;
    int aspectRatio;
    int gopSize;
    int decimate;               // frame decimation (1 = every frame)
    int rateMode;
    int flip;
    int settingsChanged;
    int recreate;               // close the codec at the next start (after a VPSS reset)
    int bitRate;
    uint32_t frameCount;
    int lastStatus;             // of the last encode call
    VIDENC1_Handle codec;
    void *dynParams;            // heap copy of the dynamic parameters last set
    Buffer_Handle hSideBuf;     // 800-byte second output buffer of the codec
    // Owned by the thread.
    pthread_mutex_t lock;
    Engine_Handle engine;
    Buffer_Handle hDataBuf;     // the queue's data area
    const char *codecName;      // algorithm of `codec`
    IMGENC1_Handle jpeg;
    IJPEGENC_DynamicParams jpegParams;
    uint8_t mpeg4Header[64];    // VOS/VOL put in front of every I-VOP
    int mpeg4HeaderLen;
};

struct DisplayEnv {
    const char *name;
    ParamBlock *params;
    Rendezvous_Handle hRendezvousInit;
    Rendezvous_Handle hRendezvousCleanup;
    int status;
    // Requested by other threads, read by the display once a pass.
    volatile int mode;          // 0 idle, 1 pass-through, 2 bars, 3 flash, 4 decoded, 5 raw (7, 8 refused)
    volatile int colorSpace;    // 2 UYVY, 0 420SP
    volatile int standard;      // standard number of Display.Standard
    volatile int pacing;        // decoded pictures are shown at their time stamps
    Fifo_Handle hFromCapture;   // input: pictures to show, and the display's empty messages
    Fifo_Handle hToCapture;     // empty messages capture may fill (pass-through)
    Fifo_Handle hRaw;           // messages carrying an empty display buffer to decode into
    Fifo_Handle hToOutput;      // messages given back to the output thread
    PlaybackEnv *playback;
};

struct AudioEnv {
    const char *name;
    Rendezvous_Handle hRendezvousInit;
    Rendezvous_Handle hRendezvousCleanup;
    Fifo_Handle fifos[4];
    int source;
    StreamRunState runState;    // put into the stopped state by main
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
    int status;                 // 0 while well, -1 after a failure
    int words[3];
    int flag0;                  // pass-through (only printed)
    int flag1;
    Fifo_Handle hPlaybackFifo1; // flushed when the thread ends
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
    int status;                 // -1 after a failure
    int passThrough;            // nonzero: play PCM_STREAM
    volatile int container;     // written by the output thread: PLAYBACK_CONTAINER_*
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
