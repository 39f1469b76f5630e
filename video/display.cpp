#include "video/display.h"
#include "video/display_device.h"

#include "core/log.h"
#include "core/param.h"
#include "core/quit.h"
#include "core/soc.h"
#include "core/threads.h"
#include "platform/platform.h"
#include "platform/v4l2.h"
#include "video/capture.h"
#include "video/framecopy.h"
#include "video/osd.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <linux/videodev2.h>

volatile uint32_t display_clock_base;

namespace {

const char *const DEVICE = "/dev/video6";
const char *const SUBDEV = "/dev/v4l-subdev6";
pthread_mutex_t wake_mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t wake_cond = PTHREAD_COND_INITIALIZER;

struct BufInfo {
    int32_t picW, picH;                 // picture last copied in, 0 when none
    int32_t osdX, osdY, osdW, osdH;     // OSD box last drawn over it
};

struct Display {
    DisplayEnv *env;
    int subdevFd = -1;
    BufTab_Handle tab = nullptr;
    size_t bufSize = 0;
    Buffer_Handle ref = nullptr;        // idle, bars, flash picture
    Buffer_Handle window = nullptr;     // a display buffer's picture window
    Buffer_Handle source = nullptr;     // the part of a picture that is shown
    Framecopy_Handle copy = nullptr;
    FrameMessage msgs[DISPLAY_MESSAGES] = {};
    BufInfo info[DISPLAY_BUFFERS] = {};
    DisplayDevice dev = {-1, nullptr, 0, DISPLAY_BUFFERS};
    int fresh = 0;                      // buffers taken from the table since then, never dequeued
    // Applied state.
    int requestedStd = -1;              // the request the output was made for
    int std = -1;                       // the standard it shows
    int cs = -1;
    int mode = -1;
    int32_t width = 0, height = 0, line = 0;
    uint32_t period = 3003;
    Buffer_Handle held = nullptr;       // the display buffer the next picture goes into
    Buffer_Handle rawBuf = nullptr;     // a display buffer with the decoder (raw mode)
    uint32_t lastQueue = 0;
    // Paced pictures of the current decoded stream: video time less the audio time heard when
    // each appears (90 kHz).
    int64_t avSum = 0;
    int32_t avWorst = 0;
    uint32_t avCount = 0;
    int lastRefusedStd = -1;
    // Tables replaced by larger ones: a buffer of theirs may still be with the decoder.
    BufTab_Handle retired[4] = {};
};

void report(const char *what)
{
    log_printf("%s: %s\n", what, strerror(errno));
}

bool sleep_ms(int ms)
{
    struct timespec ts = {ms / 1000, (long)(ms % 1000) * 1000000l};
    nanosleep(&ts, nullptr);
    return quit_requested() == 0;
}

int buffer_index(Display *d, Buffer_Handle b)
{
    for (int i = 0; i < DISPLAY_BUFFERS; i++)
        if (BufTab_getBuf(d->tab, i) == b)
            return i;
    return -1;
}

// Waits up to ms for a message on the fifo; null on time-out, quit or a flushed fifo.
FrameMessage *fifo_take(Fifo_Handle f, int ms)
{
    void *m = nullptr;
    if (Fifo_get_nonblocking(f, &m) == Dmai_EOK && m)
        return static_cast<FrameMessage *>(m);
    struct pollfd p = {Fifo_getFd(f), POLLIN, 0};
    if (poll(&p, 1, ms) <= 0)
        return nullptr;
    m = nullptr;
    if (Fifo_get_nonblocking(f, &m) != Dmai_EOK)
        return nullptr;
    return static_cast<FrameMessage *>(m);
}

void fill_words(uint8_t *row, int words, uint32_t w)
{
    uint32_t *p = reinterpret_cast<uint32_t *>(row);
    for (int i = 0; i < words; i++)
        p[i] = w;
}

// Replicates the buffer's first line over the others.
int replicate_first_line(Framecopy_Handle copy, Buffer_Handle buf, int32_t bytes)
{
    BufferGfx_Dimensions dim;
    BufferGfx_getDimensions(buf, &dim);
    if (dim.height < 2)
        return 0;
    uint8_t *p = Buffer_getUserPtr(buf);
    BufferGfx_Dimensions fill = {0, 0, bytes, dim.height - 1, dim.lineLength};
    return copy_engine_fill_lines(copy, &fill, p, p + dim.lineLength);
}

void make_bars(Display *d)
{
    static const uint32_t BARS[8] = {0xea80ea80, 0xa78aa731, 0x8a318a9a, 0x793e794c,
                                     0x60c360b4, 0x4fcf4f66, 0x327332ce, 0x22802280};
    BufferGfx_Dimensions dim;
    BufferGfx_getDimensions(d->ref, &dim);
    uint8_t *row = Buffer_getUserPtr(d->ref);
    int bar = dim.width / 8 / 2;   // words a bar
    for (int i = 0; i < 8; i++)
        fill_words(row + 4 * bar * i, bar, BARS[i]);
    fill_words(row + 4 * bar * 8, dim.width / 2 - bar * 8, BARS[7]);
    replicate_first_line(d->copy, d->ref, dim.width * 2);
}

void make_white(Display *d)
{
    BufferGfx_Dimensions dim;
    BufferGfx_getDimensions(d->ref, &dim);
    fill_words(Buffer_getUserPtr(d->ref), dim.width / 2, 0xff80ff80);
    replicate_first_line(d->copy, d->ref, dim.width * 2);
}

// Bytes of a frame: UYVY lines, or 4:2:0 luma lines and half as many chroma lines.
size_t frame_bytes(int32_t height, int32_t line, int cs)
{
    size_t luma = (size_t)height * line;
    return cs == ColorSpace_UYVY ? luma : luma * 3 / 2;
}

// Sizes the buffers for the frame; false when they cannot be had (the standard is refused).
bool fit_buffers(Display *d, size_t need)
{
    if (need <= d->bufSize)
        return true;
    Buffer_Attrs a = BufferGfx_Attrs_DEFAULT;
    a.colorSpace = ColorSpace_UYVY;
    a.dim = {0, 0, 720, 576, 1440};
    BufTab_Handle tab = BufTab_create(DISPLAY_BUFFERS, need, &a);
    Buffer_Handle ref = Buffer_create(need, &a);
    if (!tab || !ref) {
        BufTab_delete(tab);
        Buffer_delete(ref);
        return false;
    }
    log_printf("%s: display buffers grow to %zu bytes\n", d->env->name, need);
    for (BufTab_Handle &r : d->retired)
        if (!r) {
            r = d->tab;
            d->tab = nullptr;
            break;
        }
    BufTab_delete(d->tab);
    Buffer_delete(d->ref);
    d->tab = tab;
    d->ref = ref;
    d->bufSize = need;
    return true;
}

// The standard actually shown for a request: AUTO follows the capture input, a number without
// an output mode falls back to NTSC.
int resolve_standard(Display *d, int want)
{
    if (display_has_output_mode(want))
        return want;
    if (want == 0)
        return capture_height == 576 ? 6 : 5;
    if (want != d->lastRefusedStd)
        log_printf("%s: Display.Standard %d (%s) has no output mode, using NTSC\n", d->env->name, want,
                   display_standard(want).name);
    d->lastRefusedStd = want;
    return 5;
}

int recreate_output(Display *d, int want, int cs)
{
    DisplayEnv *env = d->env;
    int std = resolve_standard(d, want);
    Display_delete(&d->dev);
    BufTab_freeAll(d->tab);
    d->held = nullptr;
    d->rawBuf = nullptr;   // if it comes back, it is only one of ours
    for (BufInfo &i : d->info)
        i = {};
    DisplayStandard s = display_standard(std);
    int32_t line = ((cs == ColorSpace_UYVY ? 2 * s.width : s.width) + 31) & ~31;
    size_t need = frame_bytes(s.height, line, cs);
    size_t refNeed = frame_bytes(s.height, (2 * s.width + 31) & ~31, ColorSpace_UYVY);
    if (!fit_buffers(d, need > refNeed ? need : refNeed)) {
        log_error("%s %d: no display buffers of %zu bytes for %s, using NTSC\n", env->name, __LINE__, need, s.name);
        std = 5;
        s = display_standard(std);
        line = ((cs == ColorSpace_UYVY ? 2 * s.width : s.width) + 31) & ~31;
    }
    d->width = s.width;
    d->height = s.height;
    d->line = line;
    d->period = std == 5 ? 3003 : 3600;
    log_printf("display %s %dx%d (%d) %s\n", s.name, s.width, s.height, line, cs == ColorSpace_UYVY ? "422" : "420sp");
    BufferGfx_Dimensions dim = {0, 0, s.width, s.height, line};
    for (int i = 0; i < DISPLAY_BUFFERS; i++) {
        Buffer_Handle b = BufTab_getBuf(d->tab, i);
        BufferGfx_setColorSpace(b, (ColorSpace_Type)cs);
        BufferGfx_setDimensions(b, &dim);
        Buffer_setNumBytesUsed(b, frame_bytes(s.height, line, cs));
    }
    BufferGfx_Dimensions rdim = {0, 0, s.width, s.height, ((2 * s.width) + 31) & ~31};
    BufferGfx_setColorSpace(d->ref, ColorSpace_UYVY);
    BufferGfx_setDimensions(d->ref, &rdim);
    d->dev.tab = d->tab;
    if (display_device_create(&d->dev, std, cs, s.width, s.height, line) < 0) {
        log_error("%s %d: Failed to create display device %s\n", env->name, __LINE__, DEVICE);
        platform_system("ps -o pid,user,time,comm,ppid");
        env->status = -1;
        return -1;
    }
    d->fresh = 0;
    log_printf("display gfxAttrs %ldx%ld %ld\n", (long)s.width, (long)s.height, (long)line);
    osd_set_frame_size(2, (uint32_t)s.width, (uint32_t)s.height, cs, (uint32_t)line);
    d->requestedStd = want;
    d->std = std;
    d->cs = cs;
    d->mode = -1;
    return 0;
}

// --- modes ---

// true when the output is UYVY; otherwise asks for it and forgets the mode.
bool need_uyvy(Display *d)
{
    if (d->cs == ColorSpace_UYVY)
        return true;
    d->env->colorSpace = ColorSpace_UYVY;
    d->mode = -1;
    return false;
}

void enter_mode(Display *d, int want)
{
    DisplayEnv *env = d->env;
    if (d->mode == DISPLAY_DECODED && d->avCount) {
        log_printf("%s: A/V offset over %u paced pictures: mean %+d ms, worst %+d ms\n", env->name, d->avCount,
                   (int)(d->avSum / d->avCount / 90), d->avWorst / 90);
        d->avSum = 0;
        d->avWorst = 0;
        d->avCount = 0;
    }
    switch (want) {
    case DISPLAY_IDLE: {
        log_printf("setting output idle\n");
        // Idle keeps the colour space the output runs at (decoded video leaves it at 4:2:0):
        // the black picture is laid out like the buffers it is copied into.
        int32_t line = d->cs == ColorSpace_UYVY ? ((2 * d->width) + 31) & ~31 : d->line;
        BufferGfx_Dimensions dim = {0, 0, d->width, d->height, line};
        BufferGfx_setColorSpace(d->ref, (ColorSpace_Type)d->cs);
        BufferGfx_setDimensions(d->ref, &dim);
        Frame_blackFill(d->copy, d->ref);
        break;
    }
    case DISPLAY_PASSTHRU: {
        if (!need_uyvy(d))
            return;
        log_printf("%s: passthru stream started, cap=%d in=%d out=%d\n", env->name, Fifo_getNumEntries(env->hToCapture),
                   Fifo_getNumEntries(env->hFromCapture), Fifo_getNumEntries(env->hToOutput));
        while (FrameMessage *m = fifo_take(env->hToOutput, 0))
            Fifo_put(env->hToCapture, m);
        break;
    }
    case DISPLAY_COLORBARS:
        if (!need_uyvy(d))
            return;
        log_printf("setting output colorbars\n");
        make_bars(d);
        break;
    case DISPLAY_FLASH:
        if (!need_uyvy(d))
            return;
        make_white(d);
        break;
    case DISPLAY_DECODED:
        log_printf("%s: output stream started, mode=%d\n", env->name, want);
        break;
    case DISPLAY_RAW:
        log_printf("%s: output raw started hDisBuf=%p\n", env->name, (void *)d->held);
        if (d->held && display_queue_buffer(&d->dev, d->held) == 0)
            d->held = nullptr;
        break;
    default:
        // 6, and the 7 and 8 of the VPSS reset and power-off, are not modes of this output.
        if (d->mode < 0) {
            log_printf("%s: display mode %d refused, output idle\n", env->name, want);
            env->mode = DISPLAY_IDLE;
        } else {
            log_printf("%s: display mode %d refused, mode %d stays\n", env->name, want, d->mode);
            env->mode = d->mode;
        }
        return;
    }
    d->mode = want;
}

// The beep of a flash: one silent and one square-wave buffer on the playback fifos, taken
// without waiting; with no free buffer there is no beep.
void flash_beep(Display *d)
{
    PlaybackEnv *pb = d->env->playback;
    if (!pb || !pb->fifos[0] || !pb->fifos[1])
        return;
    for (int k = 0; k < 2; k++) {
        FrameMessage *m = fifo_take(pb->fifos[1], 0);
        if (!m)
            return;
        if (!m->frame || Buffer_getSize(m->frame) < 4096) {
            Fifo_put(pb->fifos[1], m);
            return;
        }
        uint32_t *w = reinterpret_cast<uint32_t *>(Buffer_getUserPtr(m->frame));
        for (int i = 0; i < 1024; i++)
            w[i] = k == 0 ? 0 : (i & 0x10) == 0 ? 0x7fff7fffu : 0x80008000u;
        Buffer_setNumBytesUsed(m->frame, 4096);
        m->flags |= 1;   // PCM to play as it is
        if (Fifo_put(pb->fifos[0], m) != Dmai_EOK)
            Fifo_put(pb->fifos[1], m);
    }
}

void paint_box_black(Display *d, Buffer_Handle b, const BufInfo &in)
{
    uint8_t *p = Buffer_getUserPtr(b);
    int32_t x = in.osdX, y = in.osdY, w = in.osdW, h = in.osdH;
    if (x < 0 || y < 0 || w <= 0 || h <= 0 || x >= d->width || y >= d->height)
        return;
    w = x + w > d->width ? d->width - x : w;
    h = y + h > d->height ? d->height - y : h;
    if (d->cs == ColorSpace_UYVY) {
        int32_t x0 = x & ~3, x1 = (x + w + 1) & ~1;
        x1 = x1 > d->width ? d->width & ~1 : x1;
        for (int32_t r = 0; r < h; r++)
            fill_words(p + (size_t)(y + r) * d->line + 2 * x0, (x1 - x0) / 2, 0x00800080);
    } else {
        for (int32_t r = 0; r < h; r++)
            memset(p + (size_t)(y + r) * d->line + x, 0, (size_t)w);
        uint8_t *chroma = p + (size_t)d->line * d->height;
        int32_t cx = x & ~1, cw = ((x + w + 1) & ~1) - cx;
        cw = cx + cw > d->width ? d->width - cx : cw;
        for (int32_t r = 0; r < (h + (y & 1) + 1) / 2; r++)
            if (y / 2 + r < d->height / 2)
                memset(chroma + (size_t)(y / 2 + r) * d->line + cx, 128, (size_t)cw);
    }
}

// One plane window by the copy engine: rows lines of bytes bytes, from (x bytes, y) of the source
// plane to (x bytes, y) of the destination plane. The windows are grey views that start at
// their first byte, so the engine moves exactly that rectangle and nothing around it.
bool copy_plane(Display *d, uint8_t *src, int32_t sx, int32_t sy, int32_t sline, uint8_t *dst, int32_t dx, int32_t dy,
                int32_t dline, int32_t bytes, int32_t rows)
{
    if (bytes <= 0 || rows <= 0)
        return true;
    struct View {
        Buffer_Handle b;
        uint8_t *at;
        int32_t line;
    } views[2] = {{d->source, src + (size_t)sy * sline + sx, sline}, {d->window, dst + (size_t)dy * dline + dx, dline}};
    for (const View &v : views) {
        Buffer_setUserPtr(v.b, v.at);
        Buffer_setSize(v.b, (size_t)v.line * rows);
        BufferGfx_setColorSpace(v.b, ColorSpace_GRAY);
        BufferGfx_Dimensions dim = {0, 0, bytes, rows, v.line};
        BufferGfx_setDimensions(v.b, &dim);
    }
    if (Framecopy_config(d->copy, d->source, d->window) < 0) {
        log_error("%s %d: Failed to configure framecopy to display\n", d->env->name, __LINE__);
        return false;
    }
    if (Framecopy_execute(d->copy, d->source, d->window) < 0) {
        log_error("%s %d: Failed to execute framecopy to display\n", d->env->name, __LINE__);
        return false;
    }
    return true;
}

// Copies the picture centred into the held display buffer; a picture larger than the output
// is cropped around its centre. true when it was copied.
bool copy_picture(Display *d, FrameMessage *m)
{
    Buffer_Handle pic = m->frame;
    Buffer_Handle dst = d->held;
    int idx = buffer_index(d, dst);
    BufferGfx_Dimensions pd;
    BufferGfx_getDimensions(pic, &pd);
    ColorSpace_Type pcs = BufferGfx_getColorSpace(pic);
    bool planar = pcs == ColorSpace_YUV420PSEMI;
    int32_t cw = pd.width < d->width ? pd.width : d->width;
    int32_t ch = pd.height < d->height ? pd.height : d->height;
    int32_t sx = pd.x + (pd.width - cw) / 2, sy = pd.y + (pd.height - ch) / 2;
    int32_t dx = (d->width - cw) / 2, dy = (d->height - ch) / 2;
    sx &= ~1;
    dx &= ~1;
    if (planar) {
        // 4:2:0 chroma rows pair luma rows: windows start on even rows.
        sy &= ~1;
        dy &= ~1;
        ch &= ~1;
    }
    BufInfo &in = d->info[idx];
    if (in.picW == pd.width && in.picH == pd.height) {
        if (in.osdW > 0 && in.osdH > 0)
            paint_box_black(d, dst, in);
    } else {
        log_printf("clearing display buf %d   %ldx%ld -> %ldx%ld id=%d cap=%d seq=%u\n", idx, (long)in.picW,
                   (long)in.picH, (long)pd.width, (long)pd.height, Buffer_getId(pic), (m->flags & FRAME_FLAG_PASSTHROUGH) ? 1 : 0,
                   m->sequence);
        Frame_blackFill(d->copy, dst);
        in.picW = pd.width;
        in.picH = pd.height;
    }
    in.osdW = in.osdH = 0;
    if (pcs != d->cs || (pcs != ColorSpace_UYVY && !planar)) {
        log_error("%s %d: Failed to configure framecopy to display\n", d->env->name, __LINE__);
        log_printf("%d %d\n", pcs, d->cs);
        return false;
    }
    int32_t bpp = planar ? 1 : 2;
    uint8_t *sp = Buffer_getUserPtr(pic), *dp = Buffer_getUserPtr(dst);
    bool ok = copy_plane(d, sp, sx * bpp, sy, pd.lineLength, dp, dx * bpp, dy, d->line, cw * bpp, ch);
    if (ok && planar)
        ok = copy_plane(d, sp + (size_t)pd.lineLength * pd.height, sx, sy / 2, pd.lineLength,
                        dp + (size_t)d->line * d->height, dx, dy / 2, d->line, cw, ch / 2);
    if (!ok)
        return false;
    Buffer_setNumBytesUsed(dst, frame_bytes(d->height, d->line, d->cs));
    return true;
}

// Holds a decoded picture until its time. false: drop it (late, and one was shown within the
// last period).
bool pace(Display *d, uint32_t ts)
{
    uint32_t now = hw_clock_90khz();
    int32_t lead = ts_diff(ts - d->period, now - display_clock_base);
    if (lead > 0 && lead <= 90000) {
        // Slices, so that quit is seen; a lead beyond a second is a discontinuity, shown at once.
        while (lead > 0 && quit_requested() == 0) {
            int32_t slice = lead > 9000 ? 9000 : lead;
            struct timespec ts_sleep = {slice / 90000, (long)(slice % 90000) * 11111l};
            nanosleep(&ts_sleep, nullptr);
            lead -= slice;
        }
        now = hw_clock_90khz();
    } else if (lead < -(int32_t)d->period && ts_diff(now, d->lastQueue) < (int32_t)d->period) {
        return false;
    }
    d->lastQueue = now;
    return true;
}

bool is_own(Display *d, Buffer_Handle b)
{
    BufTab_Handle t = b ? Buffer_getBufTab(b) : nullptr;
    if (!t)
        return false;
    if (t == d->tab)
        return true;
    for (BufTab_Handle r : d->retired)
        if (r == t)
            return true;
    return false;
}

// A message that carries one of the display's own buffers: the one the decoder had is shown
// (as decoded in raw mode, black otherwise, as after the decoder gave it back on a stop); the
// message is kept for the next hand-out. false when the message carries something else.
bool own_buffer_back(Display *d, FrameMessage *m)
{
    if (!is_own(d, m->frame))
        return false;
    if (m->frame == d->rawBuf) {
        d->rawBuf = nullptr;
        if (d->mode != DISPLAY_RAW) {
            Frame_blackFill(d->copy, m->frame);
            d->info[buffer_index(d, m->frame)] = {};
        }
        if (display_queue_buffer(&d->dev, m->frame) < 0 && !d->held)
            d->held = m->frame;
    }
    m->frame = nullptr;
    Fifo_put(d->env->hFromCapture, m);
    return true;
}

// 1 got one (held), 0 none yet, -1 fatal.
int get_display_buffer(Display *d)
{
    if (d->held)
        return 1;
    if (d->fresh < DISPLAY_BUFFERS) {
        d->held = BufTab_getBuf(d->tab, d->fresh++);
        return 1;
    }
    if (d->dev.queued < DISPLAY_BUFFERS) {
        // Not streaming yet and the last buffer is with the decoder: wait for it to come back.
        if (FrameMessage *m = fifo_take(d->env->hFromCapture, 20))
            if (!own_buffer_back(d, m))
                Fifo_put(d->env->hFromCapture, m);
        return 0;
    }
    int r = platform_v4l2_poll(d->dev.fd, 100);
    if (r == 0)
        return 0;
    v4l2_buffer vb = {};
    vb.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    vb.memory = V4L2_MEMORY_USERPTR;
    if (r < 0 || platform_v4l2_ioctl(d->dev.fd, VIDIOC_DQBUF, &vb) < 0) {
        if (r > 0 && errno == EAGAIN)
            return 0;
        report("VIDIOC_DQBUF");
        log_error("%s %d: Failed to get display buffer\n", d->env->name, __LINE__);
        d->env->status = -1;
        return -1;
    }
    d->held = BufTab_getBuf(d->tab, (int)vb.index);
    return d->held ? 1 : 0;
}

void release_picture(FrameMessage *m)
{
    if (m->frame)
        Buffer_freeUseMask(m->frame, 2);
}

// Idle, bars and flash: the reference picture with the OSD.
int show_reference(Display *d)
{
    DisplayEnv *env = d->env;
    if (d->mode == DISPLAY_FLASH)
        env->mode = DISPLAY_IDLE;   // exactly one flash frame
    Buffer_Handle dst = d->held;
    if (Framecopy_config(d->copy, d->ref, dst) < 0) {
        log_error("%s %d: Failed to configure framecopy for colorbar or idle %d %d\n", env->name, __LINE__,
                  BufferGfx_getColorSpace(d->ref), BufferGfx_getColorSpace(dst));
        env->colorSpace = BufferGfx_getColorSpace(d->ref);
        return 0;
    }
    Framecopy_accel_execute2(d->copy, d->ref, dst);
    d->info[buffer_index(d, dst)] = {};
    osd_update(2, dst);
    if (d->mode == DISPLAY_FLASH) {
        flash_beep(d);
        log_printf("%s: Flash at %ld\n", env->name, (long)hw_clock_90khz());
    }
    if (display_queue_buffer(&d->dev, dst) == 0)
        d->held = nullptr;
    else
        sleep_ms(40);
    if (FrameMessage *m = fifo_take(env->hFromCapture, 0)) {
        if (own_buffer_back(d, m)) {
        } else if (m->frame && (Buffer_getUseMask(m->frame) & 2)) {
            log_printf("display freeing buf %d\n", Buffer_getId(m->frame));
            release_picture(m);
            m->frame = nullptr;
            if (Fifo_put(env->hToOutput, m) != Dmai_EOK)
                Fifo_put(env->hFromCapture, m);
        } else {
            Fifo_put(env->hFromCapture, m);
        }
    }
    return 0;
}

// Pass-through and decoded pictures.
int show_picture(Display *d)
{
    DisplayEnv *env = d->env;
    bool passthru = d->mode == DISPLAY_PASSTHRU;
    FrameMessage *m = fifo_take(env->hFromCapture, 10);
    if (!m || own_buffer_back(d, m))
        return 0;
    Buffer_Handle pic = m->frame;
    bool copied = false;
    if (!pic) {
        // An empty message: nothing to show.
    } else if (Buffer_getType(pic) != Buffer_Type_GRAPHICS || Buffer_getNumBytesUsed(pic) == 0) {
        log_printf("%s: buffer %d is not a picture (type %d, %zu bytes)\n", env->name, Buffer_getId(pic),
                   Buffer_getType(pic), Buffer_getNumBytesUsed(pic));
        release_picture(m);
    } else if (((m->flags & FRAME_FLAG_PASSTHROUGH) != 0) != passthru ||
               (passthru && Fifo_getNumEntries(env->hFromCapture) > 0)) {
        release_picture(m);
    } else {
        copied = copy_picture(d, m);
        release_picture(m);
    }
    Fifo_Handle back = passthru ? env->hToCapture : env->hToOutput;
    if (!passthru && m->sequence % 30 == 0 && pic)
        log_printf("decode seq %d\n", m->sequence);
    uint32_t ts = m->timestamp;
    if (Fifo_put(back, m) != Dmai_EOK) {
        log_error("%s %d: error putting capture display fifo\n", env->name, __LINE__);
        env->status = -1;
        return -1;
    }
    if (!copied)
        return 0;
    Buffer_Handle dst = d->held;
    osd_update(2, dst);
    BufInfo &in = d->info[buffer_index(d, dst)];
    osd_text_extent(2, &in.osdX, &in.osdY, &in.osdW, &in.osdH);
    if (!passthru && env->pacing) {
        if (!pace(d, ts))
            return 0;   // too late: the buffer takes the next picture
        // The picture appears a period after it is queued.
        uint32_t heard = d->lastQueue - display_clock_base + d->period;
        int32_t av = ts_diff(ts, heard);
        osd_avsync_ts[0] = ts;
        osd_avsync_ts[1] = heard;
        d->avSum += av;
        if ((av < 0 ? -av : av) > (d->avWorst < 0 ? -d->avWorst : d->avWorst))
            d->avWorst = av;
        d->avCount++;
    }
    if (display_queue_buffer(&d->dev, dst) == 0)
        d->held = nullptr;
    else
        sleep_ms(40);
    return 0;
}

int raw_hand_out(Display *d)
{
    DisplayEnv *env = d->env;
    int idx = buffer_index(d, d->held);
    if (d->info[idx].picW || d->info[idx].picH) {
        Frame_blackFill(d->copy, d->held);
        d->info[idx] = {};
    }
    FrameMessage *m = fifo_take(env->hFromCapture, 100);
    if (!m)
        return 0;
    release_picture(m);
    m->frame = d->held;
    m->flags = 0;
    log_printf("display thread sending raw buffer\n");
    if (Fifo_put(env->hRaw, m) != Dmai_EOK) {
        log_error("%s %d: error putting fifo\n", env->name, __LINE__);
        env->status = -1;
        return -1;
    }
    d->rawBuf = d->held;
    d->held = nullptr;
    return 0;
}

int raw_take_back(Display *d)
{
    DisplayEnv *env = d->env;
    FrameMessage *m = fifo_take(env->hFromCapture, 100);
    if (!m || own_buffer_back(d, m))
        return 0;   // a filled buffer is queued; its message goes out with the next one
    release_picture(m);
    m->frame = nullptr;
    if (Fifo_put(env->hToOutput, m) != Dmai_EOK) {
        log_error("%s %d: error putting fifo\n", env->name, __LINE__);
        env->status = -1;
        return -1;
    }
    return 0;
}

int start(Display *d)
{
    DisplayEnv *env = d->env;
    ParamBlock *p = env->params;
    log_printf("%s: starting up\n", env->name);
    d->subdevFd = platform_v4l2_open(SUBDEV, O_RDWR);
    if (p->Display.Standard > 20) {
        log_printf("Invalid Display.Standard %d\n", p->Display.Standard);
        p->Display.Standard = 5;
    }
    env->standard = p->Display.Standard;
    if (env->mode != DISPLAY_DECODED && env->mode != DISPLAY_RAW)
        env->mode = p->Display.DisplayMode;
    Buffer_Attrs a = BufferGfx_Attrs_DEFAULT;
    a.colorSpace = ColorSpace_UYVY;
    a.dim = {0, 0, 720, 576, 1440};
    d->tab = BufTab_create(DISPLAY_BUFFERS, DISPLAY_BUFFER_SIZE, &a);
    if (!d->tab) {
        log_error("%s %d: Failed to allocate display buffers\n", env->name, __LINE__);
        return -1;
    }
    d->bufSize = DISPLAY_BUFFER_SIZE;
    Buffer_Attrs r = a;
    r.reference = true;
    d->window = Buffer_create(0, &r);
    d->source = Buffer_create(0, &r);
    d->ref = Buffer_create(DISPLAY_BUFFER_SIZE, &a);
    if (!d->window || !d->source) {
        log_error("%s %d: Failed to create colorbar buffer\n", env->name, __LINE__);
        return -1;
    }
    if (!d->ref) {
        log_error("%s %d: Failed to create reference buffer\n", env->name, __LINE__);
        return -1;
    }
    Framecopy_Attrs fa = {true};
    d->copy = Framecopy_create(&fa);
    if (!d->copy) {
        log_error("%s %d: Failed to allocate display buffers\n", env->name, __LINE__);
        return -1;
    }
    for (FrameMessage &m : d->msgs) {
        m = {};
        if (Fifo_put(env->hFromCapture, &m) != Dmai_EOK) {
            log_error("%s %d: Failed to put fifo in display buf\n", env->name, __LINE__);
            return -1;
        }
    }
    return 0;
}

int loop_pass(Display *d)
{
    DisplayEnv *env = d->env;
    ParamBlock *p = env->params;
    int want = env->standard;
    if (d->mode == DISPLAY_PASSTHRU && (p->Capture.Standard == 5 || p->Capture.Standard == 6) &&
        p->Capture.Standard != want) {
        want = p->Capture.Standard;
        env->standard = want;
        log_printf("display std changed to %s\n", want == 5 ? "NTSC" : "PAL");
    }
    int cs = env->colorSpace;
    if (cs != ColorSpace_UYVY && cs != ColorSpace_YUV420PSEMI) {
        log_printf("%s: unsupported colorSpace\n", env->name);
        cs = ColorSpace_UYVY;
        env->colorSpace = cs;
    }
    if (d->dev.fd < 0 || want != d->requestedStd || cs != d->cs || (want == 0 && resolve_standard(d, 0) != d->std)) {
        if (recreate_output(d, want, cs) < 0)
            return -1;
    }
    int mode = env->mode;
    if (mode != d->mode) {
        enter_mode(d, mode);
        if (d->mode < 0)
            return 0;   // the output is made again first
    }
    if (d->mode < 0)
        return 0;
    if (d->mode == DISPLAY_RAW) {
        // One buffer at a time is with the decoder.
        if (!d->rawBuf) {
            int r = get_display_buffer(d);
            if (r <= 0)
                return r;
            return raw_hand_out(d);
        }
        return raw_take_back(d);
    }
    int r = get_display_buffer(d);
    if (r <= 0)
        return r;
    switch (d->mode) {
    case DISPLAY_IDLE:
    case DISPLAY_COLORBARS:
    case DISPLAY_FLASH:
        return show_reference(d);
    case DISPLAY_PASSTHRU:
    case DISPLAY_DECODED:
        return show_picture(d);
    default:
        return 0;
    }
}

} // namespace

void *displayThrFxn(void *arg)
{
    DisplayEnv *env = static_cast<DisplayEnv *>(arg);
    static Display disp;
    Display *d = &disp;
    *d = Display{};
    d->env = env;
    env->status = 0;
    thread_init_begin(env->name);
    int rc = start(d);
    if (rc < 0)
        env->status = -1;
    thread_init_end(env->name);
    rendezvous_meet(env->hRendezvousInit, env->name);
    while (rc == 0 && quit_requested() == 0)
        rc = loop_pass(d);
    myRendezvousCleanup(env->hRendezvousCleanup, env->name);
    Display_delete(&d->dev);
    BufTab_delete(d->tab);
    for (BufTab_Handle r : d->retired)
        BufTab_delete(r);
    Buffer_delete(d->ref);
    Buffer_delete(d->window);
    Buffer_delete(d->source);
    Framecopy_delete(d->copy);
    if (d->subdevFd >= 0)
        platform_v4l2_close(d->subdevFd);
    d->tab = nullptr;
    return nullptr;
}

void display_wake()
{
    pthread_mutex_lock(&wake_mutex);
    pthread_cond_signal(&wake_cond);
    pthread_mutex_unlock(&wake_mutex);
}
