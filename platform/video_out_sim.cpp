// The simulated video output of the PC board. One output with analogue standards and DV
// presets, UYVY and NV12 user-pointer buffers. Queued buffers go on screen one per vsync of the
// set standard on CLOCK_MONOTONIC, in queue order; a buffer comes back from VIDIOC_DQBUF once
// the next one has replaced it on screen, so DQBUF paces its caller to the output frame rate.
#include "platform/video_out.h"
#include "platform/platform.h"
#include "platform/platform_internal.h"
#include "platform/video_out_internal.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <set>
#include <string>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <linux/videodev2.h>

namespace {

const char *const OUT_PATH = "/dev/video6";
const char *const SUBDEV_PATH = "/dev/v4l-subdev6";
enum { MAX_BUFS = 8 };

struct Mode {
    uint32_t width, height;
    bool interlaced;
    int64_t period_ns;          // one frame
};

struct OutBuf {
    unsigned long userptr;
    uint32_t length, bytesused;
    int state;                  // 0 with the caller, 1 queued, 2 on screen, 3 done
    int64_t shown_ns;
    uint32_t sequence;
};

struct Out {
    std::mutex mutex;
    std::condition_variable cond;
    std::set<int> fds, subdev_fds;
    std::set<int> nonblocking;
    int output = 0;
    uint64_t std = V4L2_STD_NTSC;
    uint32_t preset = 0;
    Mode mode = {720, 480, true, 1001000000ll / 30};
    v4l2_pix_format fmt = {};
    uint32_t count = 0;
    OutBuf bufs[MAX_BUFS] = {};
    std::deque<uint32_t> queued, done;
    int on_screen = -1;
    bool streaming = false;
    int64_t start_ns = 0;
    int64_t vsyncs = 0;         // vsyncs handled since STREAMON
    uint64_t shown = 0;
    uint64_t queuedTotal = 0;
    int64_t lastQueueNs = 0;
    uint32_t sequence = 0;
    int64_t dump_checked_ns = 0;
} out;

int64_t now_ns()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000000ll + ts.tv_nsec;
}

int fail(int e)
{
    errno = e;
    return -1;
}

bool preset_mode(uint32_t preset, Mode *m)
{
    struct P {
        uint32_t preset, w, h;
        bool i;
        int64_t num, den;       // frame rate
    };
    static const P table[] = {
        {V4L2_DV_480P59_94, 720, 480, false, 60000, 1001}, {V4L2_DV_576P50, 720, 576, false, 50, 1},
        {V4L2_DV_720P24, 1280, 720, false, 24, 1},         {V4L2_DV_720P25, 1280, 720, false, 25, 1},
        {V4L2_DV_720P30, 1280, 720, false, 30, 1},         {V4L2_DV_720P50, 1280, 720, false, 50, 1},
        {V4L2_DV_720P59_94, 1280, 720, false, 60000, 1001}, {V4L2_DV_720P60, 1280, 720, false, 60, 1},
        {V4L2_DV_1080I29_97, 1920, 1080, true, 30000, 1001}, {V4L2_DV_1080I30, 1920, 1080, true, 30, 1},
        {V4L2_DV_1080I25, 1920, 1080, true, 25, 1},        {V4L2_DV_1080I50, 1920, 1080, true, 50, 1},
        {V4L2_DV_1080I60, 1920, 1080, true, 60, 1},        {V4L2_DV_1080P24, 1920, 1080, false, 24, 1},
        {V4L2_DV_1080P25, 1920, 1080, false, 25, 1},       {V4L2_DV_1080P30, 1920, 1080, false, 30, 1},
        {V4L2_DV_1080P50, 1920, 1080, false, 50, 1},       {V4L2_DV_1080P60, 1920, 1080, false, 60, 1},
    };
    for (const P &p : table)
        if (p.preset == preset) {
            *m = {p.w, p.h, p.i, 1000000000ll * p.den / p.num};
            return true;
        }
    return false;
}

uint32_t min_line(uint32_t width, uint32_t pixfmt)
{
    return ((pixfmt == V4L2_PIX_FMT_NV12 ? width : 2 * width) + 31) & ~31u;
}

// The format the output holds for its mode: the size is the mode's, the line at least what the
// pixel format needs.
void fit_format(v4l2_pix_format *p)
{
    if (p->pixelformat != V4L2_PIX_FMT_UYVY && p->pixelformat != V4L2_PIX_FMT_NV12)
        p->pixelformat = V4L2_PIX_FMT_UYVY;
    p->width = out.mode.width;
    p->height = out.mode.height;
    uint32_t line = min_line(p->width, p->pixelformat);
    if (p->bytesperline < line || p->bytesperline > 4 * line)
        p->bytesperline = line;
    p->sizeimage = p->bytesperline * p->height;
    if (p->pixelformat == V4L2_PIX_FMT_NV12)
        p->sizeimage += p->bytesperline * p->height / 2;
    p->field = out.mode.interlaced ? V4L2_FIELD_INTERLACED : V4L2_FIELD_NONE;
    p->colorspace = out.mode.height > 576 ? V4L2_COLORSPACE_REC709 : V4L2_COLORSPACE_SMPTE170M;
}

void set_mode(const Mode &m)
{
    out.mode = m;
    fit_format(&out.fmt);
}

void write_dump_locked()
{
    if (out.on_screen < 0)
        return;
    const OutBuf &b = out.bufs[out.on_screen];
    std::string dir = std::string(platform_board_dir()) + "/video";
    mkdir(dir.c_str(), 0755);
    std::string raw = dir + "/display_frame.raw", txt = dir + "/display_frame.txt";
    if (FILE *f = fopen((raw + ".tmp").c_str(), "wb")) {
        fwrite(reinterpret_cast<const void *>(b.userptr), 1, out.fmt.sizeimage, f);
        fclose(f);
        rename((raw + ".tmp").c_str(), raw.c_str());
    }
    if (FILE *f = fopen((txt + ".tmp").c_str(), "w")) {
        char cc[5] = {(char)(out.fmt.pixelformat & 0xff), (char)(out.fmt.pixelformat >> 8 & 0xff),
                      (char)(out.fmt.pixelformat >> 16 & 0xff), (char)(out.fmt.pixelformat >> 24), 0};
        fprintf(f, "%u %u %u %s %llx %u\n", out.fmt.width, out.fmt.height, out.fmt.bytesperline, cc,
                (unsigned long long)out.std, out.preset);
        fclose(f);
        rename((txt + ".tmp").c_str(), txt.c_str());
    }
}

// Handles every vsync due by now: the next queued buffer replaces the one on screen, which is
// then done.
void advance_locked()
{
    if (!out.streaming)
        return;
    int64_t t = now_ns();
    int64_t due = (t - out.start_ns) / out.mode.period_ns;
    if (due <= out.vsyncs)
        return;
    // After a long gap (a stalled caller) only the last vsync matters.
    if (due - out.vsyncs > 4)
        out.vsyncs = due - 1;
    for (; out.vsyncs < due; out.vsyncs++) {
        out.sequence++;
        if (out.queued.empty())
            continue;   // the frame on screen stays
        uint32_t next = out.queued.front();
        out.queued.pop_front();
        if (out.on_screen >= 0) {
            out.bufs[out.on_screen].state = 3;
            out.done.push_back((uint32_t)out.on_screen);
        }
        out.on_screen = (int)next;
        OutBuf &b = out.bufs[next];
        b.state = 2;
        b.shown_ns = out.start_ns + (out.vsyncs + 1) * out.mode.period_ns;
        b.sequence = out.sequence;
        out.shown++;
    }
    out.cond.notify_all();
    if (t - out.dump_checked_ns >= 50000000) {
        out.dump_checked_ns = t;
        std::string req = std::string(platform_board_dir()) + "/video/display_dump";
        if (access(req.c_str(), F_OK) == 0) {
            write_dump_locked();
            unlink(req.c_str());
        }
    }
}

int64_t next_vsync_ns()
{
    return out.start_ns + (out.vsyncs + 1) * out.mode.period_ns;
}

void stream_off_locked()
{
    out.streaming = false;
    out.queued.clear();
    out.done.clear();
    out.on_screen = -1;
    for (OutBuf &b : out.bufs)
        b.state = 0;
    out.cond.notify_all();
}

int out_ioctl(int fd, unsigned long req, void *arg, std::unique_lock<std::mutex> &lock)
{
    switch (req) {
    case VIDIOC_QUERYCAP: {
        v4l2_capability *c = static_cast<v4l2_capability *>(arg);
        memset(c, 0, sizeof *c);
        snprintf((char *)c->driver, sizeof c->driver, "vpbe_display");
        snprintf((char *)c->card, sizeof c->card, "DaVinci VPBE video output");
        c->capabilities = V4L2_CAP_VIDEO_OUTPUT | V4L2_CAP_STREAMING;
        c->device_caps = c->capabilities;
        return 0;
    }
    case VIDIOC_ENUMOUTPUT: {
        v4l2_output *o = static_cast<v4l2_output *>(arg);
        if (o->index != 0)
            return fail(EINVAL);
        memset(o, 0, sizeof *o);
        snprintf((char *)o->name, sizeof o->name, "DAC");
        o->type = V4L2_OUTPUT_TYPE_ANALOG;
        o->std = V4L2_STD_NTSC | V4L2_STD_PAL;
        o->capabilities = V4L2_OUT_CAP_STD | V4L2_OUT_CAP_PRESETS;
        return 0;
    }
    case VIDIOC_G_OUTPUT:
        *static_cast<int *>(arg) = out.output;
        return 0;
    case VIDIOC_S_OUTPUT:
        if (*static_cast<int *>(arg) != 0)
            return fail(EINVAL);
        if (out.streaming)
            return fail(EBUSY);
        out.output = 0;
        return 0;
    case VIDIOC_G_STD:
        if (!out.std)
            return fail(ENODATA);
        *static_cast<v4l2_std_id *>(arg) = out.std;
        return 0;
    case VIDIOC_S_STD: {
        v4l2_std_id s = *static_cast<v4l2_std_id *>(arg);
        bool ntsc = (s & V4L2_STD_525_60) != 0, pal = (s & V4L2_STD_625_50) != 0;
        if (ntsc == pal)
            return fail(EINVAL);   // none, or both line counts at once
        if (out.streaming)
            return fail(EBUSY);
        out.std = s;
        out.preset = 0;
        set_mode(ntsc ? Mode{720, 480, true, 1001000000ll / 30} : Mode{720, 576, true, 40000000});
        return 0;
    }
    case VIDIOC_G_DV_PRESET: {
        v4l2_dv_preset *p = static_cast<v4l2_dv_preset *>(arg);
        memset(p, 0, sizeof *p);
        p->preset = out.preset;
        return 0;
    }
    case VIDIOC_S_DV_PRESET: {
        v4l2_dv_preset *p = static_cast<v4l2_dv_preset *>(arg);
        Mode m;
        if (!preset_mode(p->preset, &m))
            return fail(EINVAL);
        for (uint32_t r : p->reserved)
            if (r)
                return fail(EINVAL);
        if (out.streaming)
            return fail(EBUSY);
        out.preset = p->preset;
        out.std = 0;
        set_mode(m);
        return 0;
    }
    case VIDIOC_G_FMT: {
        v4l2_format *f = static_cast<v4l2_format *>(arg);
        if (f->type != V4L2_BUF_TYPE_VIDEO_OUTPUT)
            return fail(EINVAL);
        memset(&f->fmt, 0, sizeof f->fmt);
        f->fmt.pix = out.fmt;
        return 0;
    }
    case VIDIOC_S_FMT:
    case VIDIOC_TRY_FMT: {
        v4l2_format *f = static_cast<v4l2_format *>(arg);
        if (f->type != V4L2_BUF_TYPE_VIDEO_OUTPUT)
            return fail(EINVAL);
        fit_format(&f->fmt.pix);
        if (req == VIDIOC_TRY_FMT)
            return 0;
        if (out.streaming || out.count)
            return fail(EBUSY);   // buffers are sized for the old format
        out.fmt = f->fmt.pix;
        return 0;
    }
    case VIDIOC_REQBUFS: {
        v4l2_requestbuffers *r = static_cast<v4l2_requestbuffers *>(arg);
        if (r->type != V4L2_BUF_TYPE_VIDEO_OUTPUT || r->memory != V4L2_MEMORY_USERPTR)
            return fail(EINVAL);
        if (out.streaming)
            return fail(EBUSY);
        out.count = r->count > (uint32_t)MAX_BUFS ? (uint32_t)MAX_BUFS : r->count;
        r->count = out.count;
        stream_off_locked();
        for (OutBuf &b : out.bufs)
            b = {};
        return 0;
    }
    case VIDIOC_QBUF: {
        v4l2_buffer *b = static_cast<v4l2_buffer *>(arg);
        if (b->type != V4L2_BUF_TYPE_VIDEO_OUTPUT || b->memory != V4L2_MEMORY_USERPTR || b->index >= out.count)
            return fail(EINVAL);
        OutBuf &s = out.bufs[b->index];
        if (s.state != 0 || !b->m.userptr || b->length < out.fmt.sizeimage || b->bytesused > b->length)
            return fail(EINVAL);
        s.userptr = b->m.userptr;
        s.length = b->length;
        s.bytesused = b->bytesused ? b->bytesused : out.fmt.sizeimage;
        s.state = 1;
        out.queued.push_back(b->index);
        out.queuedTotal++;
        out.lastQueueNs = now_ns();
        return 0;
    }
    case VIDIOC_DQBUF: {
        v4l2_buffer *b = static_cast<v4l2_buffer *>(arg);
        if (b->type != V4L2_BUF_TYPE_VIDEO_OUTPUT || b->memory != V4L2_MEMORY_USERPTR || !out.streaming)
            return fail(EINVAL);
        bool nonblock = out.nonblocking.count(fd) != 0;
        for (;;) {
            advance_locked();
            if (!out.done.empty())
                break;
            if (!out.streaming)
                return fail(EINVAL);
            // Nothing more can come back while nothing waits to replace the frame on screen.
            if (nonblock || out.queued.empty())
                return fail(EAGAIN);
            int64_t wait = next_vsync_ns() - now_ns();
            if (wait > 0)
                out.cond.wait_for(lock, std::chrono::nanoseconds(wait));
        }
        uint32_t i = out.done.front();
        out.done.pop_front();
        OutBuf &s = out.bufs[i];
        s.state = 0;
        memset(b, 0, sizeof *b);
        b->index = i;
        b->type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
        b->memory = V4L2_MEMORY_USERPTR;
        b->m.userptr = s.userptr;
        b->length = s.length;
        b->bytesused = s.bytesused;
        b->sequence = s.sequence;
        b->field = out.fmt.field;
        b->timestamp.tv_sec = (time_t)(s.shown_ns / 1000000000);
        b->timestamp.tv_usec = (suseconds_t)(s.shown_ns % 1000000000 / 1000);
        return 0;
    }
    case VIDIOC_STREAMON: {
        if (*static_cast<int *>(arg) != V4L2_BUF_TYPE_VIDEO_OUTPUT || out.count == 0)
            return fail(EINVAL);
        if (out.streaming)
            return 0;
        if (out.queued.empty())
            return fail(EINVAL);
        out.streaming = true;
        out.start_ns = now_ns();
        out.vsyncs = 0;
        return 0;
    }
    case VIDIOC_STREAMOFF:
        if (*static_cast<int *>(arg) != V4L2_BUF_TYPE_VIDEO_OUTPUT)
            return fail(EINVAL);
        stream_off_locked();
        return 0;
    default:
        return fail(ENOTTY);
    }
}

} // namespace

bool video_out_path(const char *path)
{
    return path && (strcmp(path, OUT_PATH) == 0 || strcmp(path, SUBDEV_PATH) == 0);
}

bool video_out_fd(int fd)
{
    std::lock_guard<std::mutex> lock(out.mutex);
    return out.fds.count(fd) || out.subdev_fds.count(fd);
}

int video_out_open(const char *path, int flags)
{
    int fd = eventfd(0, 0);
    if (fd < 0)
        return -1;
    std::lock_guard<std::mutex> lock(out.mutex);
    if (strcmp(path, SUBDEV_PATH) == 0) {
        out.subdev_fds.insert(fd);
        return fd;
    }
    if (out.fmt.width == 0) {
        out.fmt.pixelformat = V4L2_PIX_FMT_UYVY;
        fit_format(&out.fmt);
    }
    out.fds.insert(fd);
    if (flags & O_NONBLOCK)
        out.nonblocking.insert(fd);
    return fd;
}

int video_out_ioctl(int fd, unsigned long request, void *arg)
{
    std::unique_lock<std::mutex> lock(out.mutex);
    if (out.subdev_fds.count(fd))
        return fail(ENOTTY);   // opened and held by the system, never asked anything
    if (!out.fds.count(fd))
        return fail(EBADF);
    return out_ioctl(fd, request, arg, lock);
}

int video_out_poll(int fd, int timeout_ms)
{
    std::unique_lock<std::mutex> lock(out.mutex);
    if (!out.fds.count(fd))
        return fail(EBADF);
    int64_t deadline = now_ns() + (int64_t)timeout_ms * 1000000ll;
    for (;;) {
        advance_locked();
        if (!out.done.empty())
            return 1;
        int64_t t = now_ns();
        if (t >= deadline || !out.streaming)
            return 0;
        int64_t wait = next_vsync_ns() - t;
        wait = wait > deadline - t ? deadline - t : wait;
        out.cond.wait_for(lock, std::chrono::nanoseconds(wait > 100000 ? wait : 100000));
    }
}

int video_out_close(int fd)
{
    {
        std::lock_guard<std::mutex> lock(out.mutex);
        if (out.subdev_fds.erase(fd) == 0) {
            if (out.fds.erase(fd) == 0)
                return fail(EBADF);
            out.nonblocking.erase(fd);
            if (out.fds.empty()) {
                // The last close stops the output and frees its buffers, as the driver does.
                stream_off_locked();
                out.count = 0;
            }
        }
    }
    return close(fd);
}

void video_out_board_init(const char *board_dir)
{
    std::string board = board_dir;
    mkdir((board + "/dev").c_str(), 0755);
    struct Node {
        const char *path, *sysname, *name;
    } nodes[] = {{OUT_PATH, "video6", "vpbe-display"}, {SUBDEV_PATH, "v4l-subdev6", "vpbe-venc"}};
    for (const Node &n : nodes) {
        std::string dev = board + n.path;
        if (access(dev.c_str(), F_OK) != 0)
            if (FILE *f = fopen(dev.c_str(), "w"))
                fclose(f);
        std::string dir = board + "/sys/class/video4linux/" + n.sysname;
        mkdir(dir.c_str(), 0755);
        if (FILE *f = fopen((dir + "/name").c_str(), "w")) {
            fprintf(f, "%s\n", n.name);
            fclose(f);
        }
    }
}

void platform_video_out_state(PlatformVideoOut *s)
{
    std::lock_guard<std::mutex> lock(out.mutex);
    s->streaming = out.streaming;
    s->width = out.fmt.width;
    s->height = out.fmt.height;
    s->bytesperline = out.fmt.bytesperline;
    s->pixelformat = out.fmt.pixelformat;
    s->std = out.std;
    s->preset = out.preset;
    s->shown = out.shown;
    s->queued = out.queuedTotal;
    s->lastQueueNs = out.lastQueueNs;
}

int platform_video_out_dump()
{
    std::lock_guard<std::mutex> lock(out.mutex);
    if (out.on_screen < 0)
        return -1;
    write_dump_locked();
    return 0;
}
