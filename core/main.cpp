// The resident program: prepares the board and the settings, starts the worker threads,
// waits for the quit state and takes the system down in order.
#include "audio/playback.h"
#include "audio/sound.h"
#include "core/board.h"
#include "core/log.h"
#include "core/mtd.h"
#include "core/param.h"
#include "core/proc.h"
#include "core/quit.h"
#include "core/soc.h"
#include "core/threads.h"
#include "core/util.h"
#include "core/version.h"
#include "platform/dmai.h"
#include "platform/platform.h"
#include "services/customzip.h"
#include "services/mdns.h"
#include "services/network.h"
#include "services/serial.h"
#include "storage/filesys.h"
#include "storage/record.h"
#include "streaming/rtmp.h"
#include "streaming/rtp.h"
#include "streaming/udp.h"
#include "streams/stream.h"
#include "video/capture.h"
#include "video/display.h"
#include "video/encoder.h"
#include "video/framecopy.h"
#include "video/osd.h"
#include "video/output.h"
#include "web/httpd.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mcheck.h>
#include <pthread.h>
#include <sched.h>
#include <vector>

namespace {

const char *const ENGINE_NAME = "encode";

struct MainState {
    const char *name;
    pthread_t self;
    uint32_t factory[4];
    uint32_t serial;
    int capture_probe;
    int failed;
} m;

pthread_attr_t attr;
bool attr_ready;
bool use_fifo;
int last_priority_offset = -1;
Rendezvous_Handle hRendezvousInit, hRendezvousCleanup;
std::vector<pthread_t> started;

void read_subdev_names()
{
    char name[81];
    read_file_line("/sys/class/video4linux/v4l-subdev0/name", name, sizeof name);
    log_printf("v4l-subdev0 is %s\n", name);
    if (strcmp(name, "DAVINCI CCDC") != 0) {
        m.capture_probe = 0;
        return;
    }
    char path[80];
    for (int i = 1; i <= 6; i++) {
        snprintf(path, sizeof path, "/sys/class/video4linux/v4l-subdev%d/name", i);
        read_file_line(path, name, sizeof name);
        log_printf("v4l-subdev%d is %s\n", i, name);
    }
    for (int i = 0; i <= 7; i++) {
        snprintf(path, sizeof path, "/sys/class/video4linux/video%d/name", i);
        read_file_line(path, name, sizeof name);
        log_printf("video%d is %s\n", i, name);
    }
    m.capture_probe = -1;
}

bool set_priority(int offset)
{
    if (!use_fifo || offset == last_priority_offset)
        return true;
    struct sched_param sp = {};
    sp.sched_priority = sched_get_priority_max(SCHED_FIFO) - offset;
    if (pthread_attr_setschedparam(&attr, &sp) != 0)
        return false;
    last_priority_offset = offset;
    return true;
}

// Starts one thread; false (after the log line) when it could not be created.
bool start_thread(const char *failure, int offset, void *(*fn)(void *), void *env, ThreadSlot slot)
{
    if (!set_priority(offset)) {
        log_error("%s %d: Failed to set scheduler parameters\n", m.name, __LINE__);
        return false;
    }
    pthread_t t;
    int r = pthread_create(&t, use_fifo ? &attr : nullptr, fn, env);
    if (r == EPERM && use_fifo) {
        // The machine refuses real-time scheduling: run every thread with normal priority.
        log_printf("%s: FIFO scheduling refused, threads run with normal scheduling\n", m.name);
        use_fifo = false;
        r = pthread_create(&t, nullptr, fn, env);
    }
    if (r != 0) {
        log_error("%s %d: %s\n", m.name, __LINE__, failure);
        return false;
    }
    started.push_back(t);
    if (slot != TH_SLOTS)
        thread_set_id(slot, t);
    return true;
}

Fifo_Handle new_fifo()
{
    return Fifo_create(&Fifo_Attrs_DEFAULT);
}

void fill_audio_env(AudioEnv *a, const char *name, int source, int instance)
{
    a->name = name;
    a->hRendezvousInit = hRendezvousInit;
    a->hRendezvousCleanup = hRendezvousCleanup;
    a->source = source;
    stream_set_state(&a->runState, STREAM_STOP);
    a->bitRate = 192000;
    a->sampleRate = 48000;
    a->channels = 2;
    a->engineName = ENGINE_NAME;
    a->params = &param_block;
    a->instance = instance;
}

int start_threads()
{
    ParamBlock *params = &param_block;
    captureEnv = {};
    captureEnv.name = "capture";
    captureEnv.hRendezvousInit = hRendezvousInit;
    captureEnv.hRendezvousCleanup = hRendezvousCleanup;
    captureEnv.hToVideoA = new_fifo();
    captureEnv.hFromVideoA = new_fifo();
    captureEnv.hToVideoB = new_fifo();
    captureEnv.hFromVideoB = new_fifo();
    if (!captureEnv.hToVideoA || !captureEnv.hFromVideoA || !captureEnv.hToVideoB || !captureEnv.hFromVideoB) {
        log_error("%s %d: Failed to open capture fifos\n", m.name, __LINE__);
        return -1;
    }
    captureEnv.videoA = &videoEnvA;
    captureEnv.videoB = &videoEnvB;
    captureEnv.display = &displayEnv;
    captureEnv.params = params;

    VideoEnv *venv[2] = {&videoEnvA, &videoEnvB};
    for (int ch = 0; ch < 2; ch++) {
        VideoEnv *v = venv[ch];
        *v = {};
        v->name = ch ? "videoB" : "videoA";
        v->params = params;
        v->channel = ch;
        v->hRendezvousInit = hRendezvousInit;
        v->hRendezvousCleanup = hRendezvousCleanup;
        v->status = 0;
        v->hToCapture = ch ? captureEnv.hFromVideoB : captureEnv.hFromVideoA;
        v->hFromCapture = ch ? captureEnv.hToVideoB : captureEnv.hToVideoA;
        v->engineName = ENGINE_NAME;
        v->decimate = 1;
    }

    if (!start_thread("Failed to create capture thread", 3, captureThrFxn, &captureEnv, TH_CAPTURE))
        return -1;
    if (!start_thread("Failed to create video thread", 1, videoThrFxn, &videoEnvA, TH_VIDEOA))
        return -1;
    if (!start_thread("Failed to create image thread", 1, videoThrFxn, &videoEnvB, TH_VIDEOB))
        return -1;

    playbackEnv = {};
    playbackEnv.fifos[0] = new_fifo();
    playbackEnv.fifos[1] = new_fifo();
    displayEnv = {};
    displayEnv.name = "display";
    displayEnv.params = params;
    displayEnv.hRendezvousInit = hRendezvousInit;
    displayEnv.hRendezvousCleanup = hRendezvousCleanup;
    displayEnv.mode = 1;
    displayEnv.colorSpace = 2;
    displayEnv.hFromCapture = new_fifo();
    displayEnv.hToCapture = new_fifo();
    displayEnv.hRaw = new_fifo();
    displayEnv.hToOutput = new_fifo();
    displayEnv.playback = &playbackEnv;
    if (!displayEnv.hFromCapture || !displayEnv.hToCapture || !displayEnv.hRaw || !displayEnv.hToOutput) {
        log_error("%s %d: Failed to open display fifos\n", m.name, __LINE__);
        return -1;
    }
    captureEnv.hToDisplay = displayEnv.hFromCapture;
    captureEnv.hFromDisplay = displayEnv.hToCapture;
    if (!start_thread("Failed to create display thread", 6, displayThrFxn, &displayEnv, TH_DISPLAY))
        return -1;

    httpdEnv = {};
    httpdEnv.name = "httpd";
    httpdEnv.params = params;
    httpdEnv.hRendezvousInit = hRendezvousInit;
    httpdEnv.hRendezvousCleanup = hRendezvousCleanup;
    if (!start_thread("Failed to create httpd thread", 12, httpdThrFxn, &httpdEnv, TH_HTTPD))
        return -1;

    AudioEnv *aenv[4] = {&audioEnvA, &audioEnvB, &audioEnvC, &audioEnvD};
    for (AudioEnv *a : aenv) {
        *a = {};
        for (int i = 0; i < 4; i++)
            a->fifos[i] = (a == &audioEnvD && i >= 2) ? playbackEnv.fifos[i - 2] : new_fifo();
        for (int i = 0; i < 4; i++) {
            if (!a->fifos[i]) {
                log_error("%s %d: Failed to open audio fifo\n", m.name, __LINE__);
                return -1;
            }
        }
    }
    fill_audio_env(&audioEnvA, "audioA", 1, 0);
    fill_audio_env(&audioEnvB, "audioB", 1, 1);
    fill_audio_env(&audioEnvC, "audioC", 3, 2);
    fill_audio_env(&audioEnvD, "audioD", 3, 3);
    audioEnvD.bitRate = 0;

    soundEnv = {};
    soundEnv.name = "sound";
    soundEnv.params = params;
    soundEnv.hRendezvousInit = hRendezvousInit;
    soundEnv.hRendezvousCleanup = hRendezvousCleanup;
    soundEnv.engineName = ENGINE_NAME;
    soundEnv.sampleRate = 48000;
    soundEnv.channels = 2;
    soundEnv.audioA = &audioEnvA;
    soundEnv.audioB = &audioEnvB;
    soundEnv.audioC = &audioEnvC;
    soundEnv.flag0 = soundEnv.flag1 = 1;
    soundEnv.hPlaybackFifo1 = playbackEnv.fifos[1];
    soundEnv.hPlaybackFifo0 = playbackEnv.fifos[0];
    if (!start_thread("Failed to create sound thread", 8, soundThrFxn, &soundEnv, TH_SOUND))
        return -1;

    if (!playbackEnv.fifos[0] || !playbackEnv.fifos[1]) {
        log_error("%s %d: Failed to open sound playback fifos\n", m.name, __LINE__);
        return -1;
    }
    playbackEnv.hPause = Pause_create();
    if (!playbackEnv.hPause) {
        log_error("%s %d: Failed to create pause object\n", m.name, __LINE__);
        return -1;
    }
    playbackEnv.name = "playback";
    playbackEnv.params = params;
    playbackEnv.hRendezvousInit = hRendezvousInit;
    playbackEnv.hRendezvousCleanup = hRendezvousCleanup;
    playbackEnv.engineName = ENGINE_NAME;
    playbackEnv.sampleRate = 48000;
    playbackEnv.marker = 0x7f7f;
    if (!start_thread("Failed to create sound playback thread", 8, soundPlaybackThrFxn, &playbackEnv, TH_PLAYBACK))
        return -1;

    gpioEnv = {};
    gpioEnv.name = "gpio";
    gpioEnv.params = params;
    gpioEnv.hRendezvousInit = hRendezvousInit;
    gpioEnv.hRendezvousCleanup = hRendezvousCleanup;
    gpioEnv.hEventFifo = new_fifo();
    if (!start_thread("Failed to create gpio thread", 4, gpioThrFxn, &gpioEnv, TH_SLOTS))
        return -1;

    outputEnv = {};
    outputEnv.name = "output";
    outputEnv.params = params;
    outputEnv.hRendezvousInit = hRendezvousInit;
    outputEnv.hRendezvousCleanup = hRendezvousCleanup;
    outputEnv.hPause = playbackEnv.hPause;
    outputEnv.engineName = ENGINE_NAME;
    outputEnv.flag = 1;
    outputEnv.playback = &playbackEnv;
    outputEnv.display = &displayEnv;
    if (!start_thread("Failed to create output thread", 14, outputThrFxn, &outputEnv, TH_OUTPUT))
        return -1;

    rtpEnv = {};
    rtpEnv.name = "rtp";
    rtpEnv.hRendezvousInit = hRendezvousInit;
    rtpEnv.hRendezvousCleanup = hRendezvousCleanup;
    rtpEnv.params = params;
    rtpEnv.audioA = &audioEnvA;
    rtpEnv.audioB = &audioEnvB;
    rtpEnv.audioC = &audioEnvC;
    rtpEnv.videoA = &videoEnvA;
    rtpEnv.videoB = &videoEnvB;
    if (!start_thread("Failed to create RTP thread", 7, rtpThrFxn, &rtpEnv, TH_SLOTS))
        return -1;

    struct {
        SenderEnv *env;
        const char *name;
        int instance;
        void *(*fn)(void *);
        const char *failure;
    } senders[] = {
        {&udpEnvA, "udpA", 0, udpThrFxn, "Failed to create udp thread"},
        {&udpEnvB, "udpB", 1, udpThrFxn, "Failed to create udp thread"},
        {&rtmpEnvA, "rtmpA", 0, rtmpThrFxn, "Failed to create rtmp thread"},
        {&rtmpEnvB, "rtmpB", 1, rtmpThrFxn, "Failed to create rtmp thread"},
        {&rtmpEnvC, "rtmpC", -1, rtmpServerThrFxn, "Failed to create rtmp thread"},
    };
    for (auto &s : senders) {
        *s.env = {};
        s.env->name = s.name;
        s.env->hRendezvousInit = hRendezvousInit;
        s.env->hRendezvousCleanup = hRendezvousCleanup;
        s.env->params = params;
        s.env->instance = s.instance;
        if (!start_thread(s.failure, 7, s.fn, s.env, TH_SLOTS))
            return -1;
    }

    recordEnv = {};
    recordEnv.name = "record";
    recordEnv.params = params;
    recordEnv.hRendezvousInit = hRendezvousInit;
    recordEnv.hRendezvousCleanup = hRendezvousCleanup;
    recordEnv.runStateId = 13;
    if (!start_thread("Failed to create record thread", 10, recordThrFxn, &recordEnv, TH_RECORD))
        return -1;

    serialEnv = {};
    serialEnv.name = "serial";
    serialEnv.hRendezvousInit = hRendezvousInit;
    serialEnv.hRendezvousCleanup = hRendezvousCleanup;
    serialEnv.params = params;
    if (!start_thread("Failed to create serial thread", 2, serialThrFxn, &serialEnv, TH_SLOTS))
        return -1;
    return 0;
}

void install_signals()
{
    signal(SIGINT, global_quit_handler);
    signal(SIGTERM, global_quit_handler);
    signal(SIGBUS, bus_error_handler);
    signal(SIGALRM, alarm_handler);
    signal(SIGPIPE, SIG_IGN);   // a vanished peer is an error result, never a process exit
    struct sigaction sa = {};
    sa.sa_sigaction = crash_handler;
    sa.sa_flags = SA_SIGINFO;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGSEGV, &sa, nullptr);
    sigaction(SIGFPE, &sa, nullptr);
}

int prepare_thread_attrs()
{
    if (pthread_attr_init(&attr) != 0) {
        log_error("%s %d: Failed to initialize thread attrs\n", m.name, __LINE__);
        return -1;
    }
    attr_ready = true;
    if (pthread_attr_setinheritsched(&attr, PTHREAD_EXPLICIT_SCHED) != 0) {
        log_error("%s %d: Failed to set schedule inheritance attribute\n", m.name, __LINE__);
        return -1;
    }
    if (pthread_attr_setschedpolicy(&attr, SCHED_FIFO) != 0) {
        log_error("%s %d: Failed to set FIFO scheduling policy\n", m.name, __LINE__);
        return -1;
    }
    use_fifo = platform_realtime_allowed();
    if (!use_fifo)
        log_printf("%s: real-time scheduling not in use, threads run with normal scheduling\n", m.name);
    return 0;
}

void release_fifos()
{
    Fifo_Handle all[] = {captureEnv.hToVideoA, captureEnv.hFromVideoA, captureEnv.hToVideoB,
                         captureEnv.hFromVideoB, displayEnv.hFromCapture, displayEnv.hToCapture,
                         displayEnv.hRaw, displayEnv.hToOutput, playbackEnv.fifos[0],
                         playbackEnv.fifos[1], gpioEnv.hEventFifo};
    for (Fifo_Handle f : all)
        Fifo_delete(f);
    for (AudioEnv *a : {&audioEnvA, &audioEnvB, &audioEnvC, &audioEnvD})
        for (int i = 0; i < (a == &audioEnvD ? 2 : 4); i++)
            Fifo_delete(a->fifos[i]);
    Pause_delete(playbackEnv.hPause);
}

} // namespace

int main()
{
    // A quit asked for during start-up waits until its handler is in place, instead of
    // ending the process by the default action.
    sigset_t quit_signals;
    sigemptyset(&quit_signals);
    sigaddset(&quit_signals, SIGINT);
    sigaddset(&quit_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &quit_signals, nullptr);
    platform_init();
    stop_old_instance();

    m = {};
    m.name = "main";
    m.self = pthread_self();
    thread_set_id(TH_MAIN, m.self);
    log_init();

    if (mtd_open() == 0 && mtd_read_factory(m.factory) == 0) {
        board_model = m.factory[0];
        m.serial = m.factory[3] == 0xFFFFFFFFu ? 0 : m.factory[3];
    }
    mtrace();
    devmem_map();
    read_subdev_names();
    board_gpio_init();
    customzip_load();
    init_param(&param_block);
    osd_init(&param_block);

    if (param_developer_mode(&param_block) || m.capture_probe) {
        if (kill_by_cmdline("getty", 0) < 0)
            spawn_detached("/sbin/getty", "-n", "-l", "/bin/sh", "115200", "/dev/ttyS0", (char *)nullptr);
        else
            log_printf("getty already started\n");
    }
    // The network configuration stops and starts the announcer with every change.
    static const NetworkAnnouncer announcer = {stop_mdns, mdns_running,
                                               [](ParamBlock *p) { mdns_restart(p); }};
    network_set_announcer(&announcer);
    init_network(&param_block);
    if (param_developer_mode(&param_block))
        spawn_detached("/usr/sbin/telnetd", "-l", "/bin/sh", (char *)nullptr);

    log_printf("%s, Serial #%u, Firmware %d build %d, safe_boot=%d\n", board_model_string, m.serial,
               MODEL_NUMBER, FIRMWARE_BUILD, safe_boot);

    platform_set_nice(-20);
    CERuntime_init();
    Dmai_init();
    cpu_handle = Cpu_create();
    dm365mmap_open();
    install_signals();
    pthread_sigmask(SIG_UNBLOCK, &quit_signals, nullptr);

    int created = 0;
    if (prepare_thread_attrs() != 0) {
        m.failed = 1;
    } else {
        hRendezvousInit = Rendezvous_create(THREAD_PARTIES);
        hRendezvousCleanup = Rendezvous_create(THREAD_PARTIES);
        if (!hRendezvousInit || !hRendezvousCleanup) {
            log_error("%s %d: Failed to create rendezvous\n", m.name, __LINE__);
            m.failed = 1;
        } else if (start_threads() != 0) {
            m.failed = 1;
        }
        created = (int)started.size();
    }

    if (!m.failed) {
        hw_clock_90khz();
        log_printf("%s: rendezvous %d\n", m.name, THREAD_PARTIES);
        rendezvous_meet(hRendezvousInit, m.name);
        log_printf("main rendezvous met\n");
        if (hw_clock_check())
            log_printf("WARNING: timestamp counter check failed!\n");
        while (quit_requested() == 0) {
            quit_wait(500);
            log_origins_report();
        }
    }

    // Shutdown, in order.
    stream_stop_all();
    display_wake();
    if (hRendezvousInit)
        Rendezvous_force(hRendezvousInit);
    Fifo_Handle capture_fifos[] = {captureEnv.hToVideoA, captureEnv.hFromVideoA, captureEnv.hToVideoB,
                                   captureEnv.hFromVideoB};
    for (Fifo_Handle f : capture_fifos)
        if (f)
            Fifo_flush(f);
    serial_global_quit();
    log_printf("Before main rendezvousCleanup (waiting for %d threads)\n", THREAD_PARTIES);
    if (created < THREAD_PARTIES - 1 && hRendezvousCleanup) {
        // Threads that were never created cannot meet: release the ones that were.
        quit_set(QUIT_QUIT, true);
        Rendezvous_force(hRendezvousCleanup);
    }
    myRendezvousCleanup(hRendezvousCleanup, m.name);
    for (pthread_t t : started)
        pthread_join(t, nullptr);
    log_printf("main cleanup rendezvous met (soundThreadCrashes=%d)\n", sound_thread_crashes());
    fileSysDone();
    if (cpu_handle) {
        Cpu_delete(cpu_handle);
        cpu_handle = nullptr;
    }
    pthread_mutex_lock(&codec_mutex);
    CERuntime_exit();
    pthread_mutex_unlock(&codec_mutex);

    release_fifos();
    Rendezvous_delete(hRendezvousInit);
    Rendezvous_delete(hRendezvousCleanup);
    if (attr_ready)
        pthread_attr_destroy(&attr);
    dm365mmap_close();
    board_gpio_close();
    mtd_close();
    stop_mdns();
    shutdown_system();
    return m.failed ? 1 : 0;
}
