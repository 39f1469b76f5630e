#include "core/threads.h"

#include "core/log.h"
#include "core/param.h"
#include "core/quit.h"
#include "video/encoder.h"

#include <cstdio>
#include <ctime>
#include <mutex>
#include <sys/time.h>

CaptureEnv captureEnv;
VideoEnv videoEnvA, videoEnvB;
DisplayEnv displayEnv;
AudioEnv audioEnvA, audioEnvB, audioEnvC, audioEnvD;
SoundEnv soundEnv;
PlaybackEnv playbackEnv;
SimpleEnv httpdEnv, gpioEnv;
OutputEnv outputEnv;
RtpEnv rtpEnv;
SenderEnv udpEnvA, udpEnvB, rtmpEnvA, rtmpEnvB, rtmpEnvC;
RecordEnv recordEnv;
SerialEnv serialEnv;
Cpu_Handle cpu_handle;
pthread_mutex_t codec_mutex = PTHREAD_MUTEX_INITIALIZER;

namespace {

struct ThreadId {
    pthread_t id;
    bool set;
};
ThreadId thread_ids[TH_SLOTS];
const char *const slot_names[TH_SLOTS] = {"main", "capture", "videoA", "videoB", "sound",
                                          "playback", "record", "httpd", "display", "output"};

struct CpuClock {
    clockid_t clock;
    const char *name;
    long last_us;
};
constexpr int CPU_TABLE_SIZE = 32;
CpuClock cpu_table[CPU_TABLE_SIZE];
int cpu_table_used;
struct timeval cpu_table_ref;
std::mutex cpu_table_mutex;

long clock_us(clockid_t c)
{
    struct timespec ts;
    if (clock_gettime(c, &ts) != 0) {
        perror("clock_gettime");
        return 0;
    }
    return (long)ts.tv_sec * 1000000L + ts.tv_nsec / 1000;
}

} // namespace

void thread_set_id(ThreadSlot slot, pthread_t id)
{
    thread_ids[slot].id = id;
    thread_ids[slot].set = true;
}

const char *thread_name_of(pthread_t id)
{
    for (int i = TH_CAPTURE; i < TH_SLOTS; i++)
        if (thread_ids[i].set && pthread_equal(thread_ids[i].id, id))
            return slot_names[i];
    return "unknown";
}

const char *current_thread_name()
{
    return thread_name_of(pthread_self());
}

void rendezvous_meet(Rendezvous_Handle h, const char *name)
{
    (void)name;
    if (h)
        Rendezvous_meet(h);
}

void myRendezvousCleanup(Rendezvous_Handle h, const char *name)
{
    log_printf("%s: %s\n", "myRendezvousCleanup", name);
    if (h)
        Rendezvous_meet(h);
}

const char *thread_init_begin(const char *name) { return name; }
const char *thread_init_end(const char *name) { return name; }

void register_thread_cpu_clock(const char *name)
{
    clockid_t c;
    int r = pthread_getcpuclockid(pthread_self(), &c);
    if (r != 0) {
        perror("pthread_getcpuclockid");
        return;
    }
    std::lock_guard<std::mutex> lock(cpu_table_mutex);
    if (cpu_table_used < CPU_TABLE_SIZE)
        cpu_table[cpu_table_used++] = {c, name, clock_us(c)};
    gettimeofday(&cpu_table_ref, nullptr);
}

long thread_cpu_time_us(pthread_t thread)
{
    clockid_t c;
    if (pthread_getcpuclockid(thread, &c) != 0) {
        perror("pthread_getcpuclockid");
        return 0;
    }
    return clock_us(c);
}

void thread_cpu_time_print(pthread_t thread, const char *name)
{
    long us = thread_cpu_time_us(thread);
    log_printf("%s: %ld.%03ld\n", name, us / 1000000L, (us / 1000L) % 1000L);
}

void thread_idle_until_quit(const char *name, Rendezvous_Handle start, Rendezvous_Handle cleanup)
{
    thread_init_begin(name);
    thread_init_end(name);
    rendezvous_meet(start, name);
    while (!quit_requested())
        quit_wait(200);
    myRendezvousCleanup(cleanup, name);
}

VideoEnv *video_env_get(int index)
{
    return index == 0 ? &videoEnvA : index == 1 ? &videoEnvB : nullptr;
}

void setVideoDecimate(int value)
{
    int old = video_get_decimate(&videoEnvA);
    // The recorder's relief never lowers the rate below what the channel is set to.
    const ParamBlock *p = videoEnvA.params ? videoEnvA.params : get_param_block();
    int least = p->Video[0].FrameRate ? p->Video[0].FrameRate : 1;
    if (value < least)
        value = least;
    video_set_decimate(&videoEnvA, value);
    log_printf("%s: %d -> %d\n", "setVideoDecimate", old, value);
}

void setDisplayStandard(int standard)
{
    displayEnv.standard = standard;
    log_printf("set display std %d\n", standard);
}

void setDisplayPowerOff()
{
    displayEnv.mode = 8;
    log_printf("%s: displayEnv.mode=%d\n", "setDisplayPowerOff", displayEnv.mode);
}

void setDisplayIdle()
{
    displayEnv.mode = 0;
    log_printf("%s: displayEnv.mode=%d\n", "setDisplayIdle", displayEnv.mode);
}
