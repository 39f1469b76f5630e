#include "video/capture.h"

#include "core/log.h"
#include "core/param.h"
#include "core/param_table.h"
#include "core/quit.h"
#include "core/soc.h"
#include "core/threads.h"
#include "platform/v4l2.h"
#include "video/framecopy.h"
#include "video/media.h"
#include "video/osd.h"

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cerrno>
#include <cstring>
#include <unistd.h>

uint32_t capture_width = 720, capture_height = 480;
uint32_t capture_frame_rate = 59940;
int32_t capture_field_mode = -1;
uint32_t capture_lock;
volatile uint32_t resizer_busy;

namespace {

// --- settings, read in place ---
int setting_standard(const ParamBlock *p) { return p->Capture.Standard; }
void setting_clear_standard(ParamBlock *p) { p->Capture.Standard = 0; }
int setting_interpolate(const ParamBlock *p) { return p->Capture.Interpolate; }
int setting_brightness(const ParamBlock *p) { return p->Capture.Brightness; }
int setting_saturation(const ParamBlock *p) { return p->Capture.Saturation; }
int setting_hue(const ParamBlock *p) { return p->Capture.Hue; }
int setting_contrast(const ParamBlock *p) { return p->Capture.Contrast; }
int setting_flip(const ParamBlock *p, int ch) { return p->Video[ch].Flip; }
int setting_frame_rate(const ParamBlock *p, int ch) { return p->Video[ch].FrameRate; }
uint8_t setting_u8(const ParamBlock *p, size_t offset) { return reinterpret_cast<const uint8_t *>(p)[offset]; }

struct RegisterSetting {
    size_t offset;          // in the settings block
    uint32_t reg;
    uint32_t mask;
    int shift;
    uint32_t first;         // value assumed applied at start
};
const RegisterSetting REGISTER_SETTINGS[] = {
    {offsetof(ParamBlock, Capture_ChromaFilter), 27, 0x07, 0, 0},
    {offsetof(ParamBlock, Capture_LumaFilter), 14, 0x03, 0, 0},
    {offsetof(ParamBlock, Capture_CombFilter), 26, 0x0c, 2, 0},
    {offsetof(ParamBlock, Capture_AutoGain), 1, 0x03, 0, 1},
    {offsetof(ParamBlock, Capture_AutoBrightness), 1, 0x0c, 2, 1},
    {offsetof(ParamBlock, Capture_ColorKiller), 6, 0x60, 5, 0},
};
constexpr int REGISTER_SETTING_COUNT = sizeof REGISTER_SETTINGS / sizeof REGISTER_SETTINGS[0];

struct Channel {
    const char *label;          // "A", "B"
    Fifo_Handle to, from;
    MediaNode *node;
    ResizeOutputSpec spec;      // what the resizer makes
    uint32_t code;              // media-bus code of spec
    uint32_t wantW, wantH, wantLine;   // what the encoder's buffer tags last asked for
    ColorSpace_Type wantCs;
    int counter;
    FrameMessage *msg;          // the buffer held for this frame
    bool streaming;
};

struct Capture {
    CaptureEnv *env;
    CmemBuffer capMem[CAPTURE_BUFFERS], aMem[CHANNEL_BUFFERS], bMem[CHANNEL_BUFFERS];
    BufTab_Handle capTab, aTab, bTab;
    FrameMessage msgs[2 * CHANNEL_BUFFERS];
    Channel ch[2];
    v4l2_std_id std;
    uint32_t w, h, rate;
    uint32_t capCode;
    ResizeInputSpec in;
    int flips[2];
    int interpolate;            // used by the last resizer configuration
    bool reconfig;
    int lastSet;
    bool inStreaming;
    int timeout;
    uint32_t nextIndex;
    int lastIndex;              // newest dequeued buffer, -1 before the first
    uint32_t seq;
    int controls[4];            // brightness, saturation, hue, contrast as last applied
    uint32_t regs[REGISTER_SETTING_COUNT];
};

int dbg_fd = -1;
Framecopy_Handle copy_handles[2];

const char *cs_label(ColorSpace_Type cs)
{
    return cs == ColorSpace_UYVY ? "UYVY" : cs == ColorSpace_GRAY ? "GRAY" : "420SP";
}

void report(const char *what)
{
    log_printf("%s: %s\n", what, strerror(errno));
}

int fail(Capture *c, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
int fail(Capture *c, const char *fmt, ...)
{
    char line[LOG_LINE_MAX];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    log_error("%s", line);
    c->env->status = -1;
    return -1;
}

BufTab_Handle make_table(const CmemBuffer *mem, int count)
{
    Buffer_Attrs attrs = BufferGfx_Attrs_DEFAULT;
    attrs.reference = true;
    BufTab_Handle t = BufTab_create(count, CAPTURE_BUFFER_SIZE, &attrs);
    for (int i = 0; t && i < count; i++)
        Buffer_setUserPtr(BufTab_getBuf(t, i), mem[i].virt);
    return t;
}

void tag(Buffer_Handle b, uint32_t w, uint32_t h, uint32_t line, ColorSpace_Type cs)
{
    BufferGfx_Dimensions d = {0, 0, (int32_t)w, (int32_t)h, (int32_t)line};
    BufferGfx_setColorSpace(b, cs);
    BufferGfx_setDimensions(b, &d);
}

int start(Capture *c)
{
    CaptureEnv *env = c->env;
    if (cmem_alloc_buffers(CAPTURE_BUFFER_SIZE, c->capMem, CAPTURE_BUFFERS) < 0)
        return fail(c, "failed to allocate capture buffers\n");
    if (cmem_alloc_buffers(CAPTURE_BUFFER_SIZE, c->aMem, CHANNEL_BUFFERS) < 0)
        return fail(c, "failed to allocate videoA buffers\n");
    if (cmem_alloc_buffers(CAPTURE_BUFFER_SIZE, c->bMem, CHANNEL_BUFFERS) < 0)
        return fail(c, "failed to allocate videoB buffers\n");
    c->capTab = make_table(c->capMem, CAPTURE_BUFFERS);
    c->aTab = make_table(c->aMem, CHANNEL_BUFFERS);
    c->bTab = make_table(c->bMem, CHANNEL_BUFFERS);
    if (!c->capTab || !c->aTab || !c->bTab)
        return fail(c, "failed to allocate buftab\n");
    // Black until the first frame, so a picture sent without signal is never stale memory.
    for (const CmemBuffer &m : c->capMem)
        for (uint32_t i = 0; i < CAPTURE_BUFFER_SIZE; i += 2) {
            m.virt[i] = 0x80;
            m.virt[i + 1] = 0x10;
        }
    for (int i = 0; i < CAPTURE_BUFFERS; i++)
        tag(BufTab_getBuf(c->capTab, i), 720, 480, 1440, ColorSpace_UYVY);
    c->ch[0] = {"A", env->hToVideoA, env->hFromVideoA, &media_rsz_a};
    c->ch[1] = {"B", env->hToVideoB, env->hFromVideoB, &media_rsz_b};
    for (int i = 0; i < CHANNEL_BUFFERS; i++) {
        Buffer_Handle a = BufTab_getBuf(c->aTab, i), b = BufTab_getBuf(c->bTab, i);
        tag(a, 720, 480, (720 + 31) & ~31, ColorSpace_YUV420PSEMI);
        tag(b, 720, 480, 1440, ColorSpace_UYVY);
        c->msgs[i] = {a, env->hFromVideoA, 0, 0, 0, FRAME_FLAG_CAPTURE};
        c->msgs[CHANNEL_BUFFERS + i] = {b, env->hFromVideoA, 0, 0, 0, FRAME_FLAG_CAPTURE};
    }
    for (int i = 0; i < CHANNEL_BUFFERS; i++) {
        Fifo_put(env->hToVideoA, &c->msgs[i]);
        Fifo_put(env->hToVideoB, &c->msgs[CHANNEL_BUFFERS + i]);
    }
    for (int i = 0; i < REGISTER_SETTING_COUNT; i++)
        c->regs[i] = REGISTER_SETTINGS[i].first;
    c->lastIndex = -1;
    return 0;
}

int setup_pass(Capture *c)
{
    ParamBlock *p = c->env->params;
    media_node_close(&media_rsz_input);
    media_node_close(&media_rsz_a);
    media_node_close(&media_rsz_b);
    media_node_close(&media_capture);
    if (media_setup_chain(&media_capture) < 0)
        return fail(c, "media setup video failed\n");
    if (media_setup_chain(&media_rsz_a) < 0)
        return fail(c, "media setup resize failed\n");
    if (media_setup_chain(&media_rsz_b) < 0)
        return fail(c, "media setup resizeb failed\n");

    int want = setting_standard(p);
    v4l2_std_id std = 0;
    if (want == 5) {
        std = V4L2_STD_NTSC;
    } else if (want == 6) {
        std = V4L2_STD_PAL;
    } else if (want != 0) {
        log_printf("fixing Capture.Standard = %d\n", want);
        setting_clear_standard(p);
    }
    if (video_input_setup(media_capture.fd, 0, &std) < 0)
        return fail(c, "video setup failed\n");
    c->std = std;
    bool is525 = (std & 0xf900) != 0;
    c->w = 720;
    c->h = is525 ? 480 : 576;
    c->rate = is525 ? 29970 : 25000;
    capture_width = c->w;
    capture_height = c->h;
    capture_frame_rate = c->rate;
    capture_field_mode = 0;
    param_capture_size_report((int)c->w, (int)c->h);
    log_printf("video standard is %x %s, %dx%d@%d\n", (unsigned)std, std == V4L2_STD_NTSC ? "NTSC" : "PAL", c->w,
               c->h, c->rate);
    set_capture_lock_status(1);

    c->capCode = MBUS_YUYV8_2X8;
    v4l2_mbus_framefmt fmt = {};
    fmt.width = c->w;
    fmt.height = c->h;
    fmt.code = c->capCode;
    fmt.field = V4L2_FIELD_INTERLACED;
    fmt.colorspace = V4L2_COLORSPACE_SMPTE170M;
    if (subdev_set_pad_formats(&media_ccdc, &fmt, &fmt) < 0)
        return fail(c, "subdev setup ccdc failed\n");
    if (subdev_set_pad_formats(&media_capture, nullptr, &fmt) < 0)
        return fail(c, "subdev setup %s failed\n", media_decoder.name);
    if (format_setup(&media_capture, c->w, c->h, V4L2_PIX_FMT_UYVY, 0, V4L2_FIELD_NONE) < 0)
        return fail(c, "format setup video failed\n");
    if (buffer_setup(&media_capture, c->capMem, CAPTURE_BUFFERS) < 0)
        return fail(c, "buffer setup video failed\n");
    for (int i = 0; i < CAPTURE_BUFFERS; i++)
        tag(BufTab_getBuf(c->capTab, i), c->w, c->h, 2 * c->w, ColorSpace_UYVY);

    c->in = {c->w, c->h, V4L2_PIX_FMT_UYVY, V4L2_FIELD_NONE, 0};
    for (Channel &ch : c->ch) {
        ch.spec = {c->w, c->h, V4L2_PIX_FMT_NV12, V4L2_FIELD_NONE, (c->w + 31) & ~31u};
        ch.code = MBUS_NV12_1X20;
        ch.wantW = ch.spec.width;
        ch.wantH = ch.spec.height;
        ch.wantLine = ch.spec.lineLength;
        ch.wantCs = ColorSpace_YUV420PSEMI;
    }
    v4l2_mbus_framefmt inFmt = fmt, aFmt = fmt, bFmt = fmt;
    inFmt.field = aFmt.field = bFmt.field = V4L2_FIELD_NONE;
    aFmt.code = bFmt.code = MBUS_NV12_1X20;
    c->flips[0] = setting_flip(p, 0);
    c->flips[1] = setting_flip(p, 1);
    c->interpolate = setting_interpolate(p);
    if (resize_chain_setup(&media_rsz_input, &media_resizer, &media_rsz_a, &media_rsz_b, &inFmt, &aFmt, &bFmt,
                           &c->ch[0].spec, &c->ch[1].spec, c->flips[0], c->flips[1], c->interpolate) < 0) {
        log_error("resizeSetup failed\n");
        quit_set(QUIT_REBOOT, true);
        c->env->status = -1;
        return -1;
    }
    for (int i = 0; i < 2; i++)
        osd_set_frame_size(i, c->ch[i].spec.width, c->ch[i].spec.height, ColorSpace_YUV420PSEMI,
                           c->ch[i].spec.lineLength);
    osd_set_frame_size(3, c->w, c->h, ColorSpace_UYVY, 2 * c->w);
    dbg_fd = media_decoder.fd;
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (platform_v4l2_ioctl(media_capture.fd, VIDIOC_STREAMON, &type) < 0) {
        report("video STREAMON");
        c->env->status = -1;
        return -1;
    }
    static const uint32_t ids[4] = {V4L2_CID_BRIGHTNESS, V4L2_CID_SATURATION, V4L2_CID_HUE, V4L2_CID_CONTRAST};
    static const char *const names[4] = {"VIDIOC_G_CTRL brightness", "VIDIOC_G_CTRL saturation", "VIDIOC_G_CTRL hue",
                                         "VIDIOC_G_CTRL contrast"};
    for (int i = 0; i < 4; i++) {
        v4l2_control ctl = {ids[i], 0};
        if (platform_v4l2_ioctl(media_capture.fd, VIDIOC_G_CTRL, &ctl) < 0)
            report(names[i]);
        c->controls[i] = ctl.value;
    }
    c->ch[0].counter = c->ch[1].counter = 0;
    c->ch[0].streaming = c->ch[1].streaming = false;
    c->inStreaming = false;
    c->lastSet = 0;
    c->timeout = 150;
    c->nextIndex = 0;
    c->lastIndex = -1;
    return 0;
}

void apply_controls(Capture *c)
{
    ParamBlock *p = c->env->params;
    int want[4] = {setting_brightness(p), setting_saturation(p), setting_hue(p), setting_contrast(p)};
    static const uint32_t ids[4] = {V4L2_CID_BRIGHTNESS, V4L2_CID_SATURATION, V4L2_CID_HUE, V4L2_CID_CONTRAST};
    static const char *const logs[4] = {"brightness %d\n", "saturation %d\n", "hue %d\n", "contrast %d\n"};
    static const char *const names[4] = {"VIDIOC_S_CTRL brightness", "VIDIOC_S_CTRL saturation", "VIDIOC_S_CTRL hue",
                                         "VIDIOC_S_CTRL contrast"};
    for (int i = 0; i < 4; i++) {
        if (want[i] == c->controls[i])
            continue;
        log_printf(logs[i], want[i]);
        v4l2_control ctl = {ids[i], want[i]};
        if (platform_v4l2_ioctl(media_capture.fd, VIDIOC_S_CTRL, &ctl) < 0)
            report(names[i]);
        c->controls[i] = want[i];
    }
    for (int i = 0; i < REGISTER_SETTING_COUNT; i++) {
        const RegisterSetting &r = REGISTER_SETTINGS[i];
        uint32_t v = setting_u8(p, r.offset);
        if (v == c->regs[i])
            continue;
        uint32_t old = capture_dbg_get_register(r.reg);
        capture_dbg_set_register(r.reg, (old & ~r.mask) | ((v << r.shift) & r.mask));
        c->regs[i] = v;
    }
}

// Adopts the size and colour space the encoder tagged its buffer with. A picture that would not
// fit the buffer is made smaller, never written past its end.
void follow_request(Capture *c, Channel &ch, int index, Buffer_Handle buf)
{
    BufferGfx_Dimensions d;
    BufferGfx_getDimensions(buf, &d);
    ColorSpace_Type cs = BufferGfx_getColorSpace(buf);
    bool uyvy = cs == ColorSpace_UYVY;
    if ((uint32_t)d.width == ch.wantW && (uint32_t)d.height == ch.wantH && (uint32_t)d.lineLength == ch.wantLine &&
        cs == ch.wantCs)
        return;
    ch.wantW = d.width;
    ch.wantH = d.height;
    ch.wantLine = d.lineLength;
    ch.wantCs = cs;
    log_printf("Resize%s changed to %ldx%ld (%d) %s\n", ch.label, (long)d.width, (long)d.height, d.lineLength,
               cs_label(cs));
    uint32_t w = d.width >= 16 ? (uint32_t)d.width & ~1u : c->w;
    uint32_t h = d.height >= 2 ? (uint32_t)d.height : c->h;
    uint32_t maxw = index == 0 ? 2176 : 1088;
    w = w > maxw ? maxw : w;
    uint32_t minLine = uyvy ? 2 * w : w;
    uint32_t line = (uint32_t)d.lineLength >= minLine ? (uint32_t)d.lineLength : minLine;
    size_t size = Buffer_getSize(buf);
    uint64_t need = uyvy ? (uint64_t)line * h : (uint64_t)line * h + (uint64_t)line * ((h + 1) / 2);
    if (need > size) {
        if (line > size / 2) {
            line = minLine = uyvy ? 2 * 720 : 736;
            w = 720;
        }
        uint32_t fit = uyvy ? (uint32_t)(size / line) : (uint32_t)(size * 2 / 3 / line);
        fit &= ~1u;
        log_error("%s %d: Resize%s %ldx%ld does not fit a %zu-byte buffer, using %ux%u\n", c->env->name, __LINE__,
                  ch.label, (long)d.width, (long)d.height, size, w, fit);
        h = fit;
    }
    ch.spec = {w, h, uyvy ? V4L2_PIX_FMT_UYVY : V4L2_PIX_FMT_NV12, V4L2_FIELD_NONE, line};
    ch.code = uyvy ? MBUS_YUYV8_2X8 : MBUS_NV12_1X20;
    osd_set_frame_size(index, w, h, uyvy ? ColorSpace_UYVY : ColorSpace_YUV420PSEMI, line);
    c->reconfig = true;
}

// Takes the channel's buffer for this frame, when it is its turn and one is waiting.
int take_buffer(Capture *c, int index)
{
    Channel &ch = c->ch[index];
    ParamBlock *p = c->env->params;
    ch.msg = nullptr;
    int n = Fifo_getNumEntries(ch.from);
    if (n < 0)
        return fail(c, "%s %d: Failed to read fifo from video thread\n", c->env->name, __LINE__);
    bool taken = false;
    if (ch.counter == 0 && n > 0) {
        FrameMessage *m = nullptr;
        int rc = Fifo_get(ch.from, (void **)&m);
        if (rc < 0)
            return fail(c, "%s %d: Failed to get buffer from video thread\n", c->env->name, __LINE__);
        if (rc == Dmai_EOK) {
            if (!m || !m->frame) {
                // An empty message from a consumer: dropped, capture goes on.
                log_error("%s %d: hBuf%s->buf missing\n", c->env->name, __LINE__, ch.label);
            } else {
                taken = true;
                ch.msg = m;
                follow_request(c, ch, index, m->frame);
            }
        }
    }
    int rate = setting_frame_rate(p, index);
    if (taken || ch.counter)
        ch.counter = ch.counter + 1 < rate ? ch.counter + 1 : 0;
    return 0;
}

void hand_over(Capture *c, Channel &ch, uint32_t ts)
{
    FrameMessage *m = ch.msg;
    tag(m->frame, ch.spec.width, ch.spec.height, ch.spec.lineLength,
        ch.spec.pixelformat == V4L2_PIX_FMT_UYVY ? ColorSpace_UYVY : ColorSpace_YUV420PSEMI);
    osd_frame_update((int)(&ch - c->ch), m->frame, c->seq);
    m->timestamp = ts;
    m->sequence = c->seq;
    m->flags |= FRAME_FLAG_CAPTURE;
    Fifo_put(ch.to, m);
    ch.msg = nullptr;
}

// Copy engine instead of the resizer when the encoder wants the capture picture as it is.
void direct_copy(Capture *c, int index, Buffer_Handle frame, uint32_t ts)
{
    Channel &ch = c->ch[index];
    ParamBlock *p = c->env->params;
    if (!ch.msg || setting_interpolate(p) || setting_flip(p, index) || ch.spec.width != c->w ||
        ch.spec.height != c->h || ch.spec.pixelformat != V4L2_PIX_FMT_UYVY)
        return;
    Buffer_Handle dst = ch.msg->frame;
    tag(dst, ch.spec.width, ch.spec.height, ch.spec.lineLength, ColorSpace_UYVY);
    if (!copy_handles[index]) {
        Framecopy_Attrs attrs = {true};
        Framecopy_Handle h = Framecopy_create(&attrs);
        if (!h || Framecopy_config(h, frame, dst) < 0) {
            log_printf("Framecopy %s config failed\n", ch.label);
            Framecopy_delete(h);
            return;
        }
        copy_handles[index] = h;
        if (index == 0)
            log_printf("using dma framecopy %p\n", (void *)h);
        else
            log_printf("using dma framecopy %p %ld %ld\n", (void *)h, (long)(2 * c->w), (long)ch.spec.lineLength);
    }
    if (Framecopy_accel_execute2(copy_handles[index], frame, dst) < 0)
        return;   // the resizer serves it instead
    hand_over(c, ch, ts);
}

int resize_pass(Capture *c, Buffer_Handle frame, uint32_t ts)
{
    ParamBlock *p = c->env->params;
    Channel &a = c->ch[0], &b = c->ch[1];
    int set = (a.msg ? 1 : 0) | (b.msg ? 2 : 0);
    if (!set)
        return 0;
    int interp = setting_interpolate(p);
    if (set != c->lastSet || c->reconfig) {
        log_printf("interpolate=%d 2nd-overlay=%d interp=%d\n", interp, 0, 0);
        if (rsz_setup(media_resizer.fd, &c->in, a.msg ? &a.spec : nullptr, b.msg ? &b.spec : nullptr, c->flips[0],
                      c->flips[1], interp) < 0)
            log_printf("rsz setup failed\n");
        c->interpolate = interp;
        c->lastSet = set;
        resizer_busy = 1;
    }
    auto queue_out = [&](Channel &ch, const char *what) {
        v4l2_buffer qb = {};
        qb.index = 0;
        qb.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        qb.memory = V4L2_MEMORY_USERPTR;
        qb.m.userptr = (unsigned long)Buffer_getUserPtr(ch.msg->frame);
        // The buffer's real size: the driver must never be told of room that is not there.
        qb.length = (uint32_t)Buffer_getSize(ch.msg->frame);
        if (platform_v4l2_ioctl(ch.node->fd, VIDIOC_QBUF, &qb) < 0) {
            report(what);
            c->env->status = -1;
            return -1;
        }
        return 0;
    };
    if (a.msg && queue_out(a, "rsza VIDIOC_QBUF") < 0)
        return -1;
    if (set == 3 && queue_out(b, "rszb VIDIOC_QBUF") < 0)
        return -1;
    v4l2_buffer ib = {};
    ib.index = 0;
    ib.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    ib.memory = V4L2_MEMORY_USERPTR;
    ib.m.userptr = (unsigned long)Buffer_getUserPtr(frame);
    ib.length = CAPTURE_BUFFER_SIZE;
    ib.bytesused = 2 * c->w * c->h;
    ib.timestamp.tv_sec = ts;
    if (platform_v4l2_ioctl(media_rsz_input.fd, VIDIOC_QBUF, &ib) < 0) {
        report("rsz_in VIDIOC_QBUF");
        log_printf("buf length=%d bytesused=%d\n", ib.length, ib.bytesused);
        c->env->status = -1;
        return -1;
    }
    if (set == 2 && queue_out(b, "rszb VIDIOC_QBUF") < 0)
        return -1;
    if (resizer_busy)
        alarm(1);
    int otype = V4L2_BUF_TYPE_VIDEO_OUTPUT, ctype = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (!c->inStreaming) {
        if (platform_v4l2_ioctl(media_rsz_input.fd, VIDIOC_STREAMON, &otype) < 0) {
            report("rsz_out STREAMON");
            c->env->status = -1;
            return -1;
        }
        c->inStreaming = true;
    }
    for (int i : {1, 0}) {
        Channel &ch = c->ch[i];
        if (!ch.msg || ch.streaming)
            continue;
        if (platform_v4l2_ioctl(ch.node->fd, VIDIOC_STREAMON, &ctype) < 0) {
            report(i ? "rszb_out STREAMON" : "rsz_out STREAMON");
            c->env->status = -1;
            return -1;
        }
        ch.streaming = true;
    }
    for (int i : {0, 1}) {
        Channel &ch = c->ch[i];
        if (!ch.msg)
            continue;
        v4l2_buffer db = {};
        db.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        db.memory = V4L2_MEMORY_USERPTR;
        if (platform_v4l2_ioctl(ch.node->fd, VIDIOC_DQBUF, &db) < 0) {
            report(i ? "rszb VIDIOC_DQBUF" : "rsza VIDIOC_DQBUF");
            // Take the buffer back from the driver and keep it for a later frame: a picture
            // the resizer did not make must not reach the encoder.
            platform_v4l2_ioctl(ch.node->fd, VIDIOC_STREAMOFF, &ctype);
            ch.streaming = false;
            c->lastSet = 0;
            Fifo_put(ch.from, ch.msg);
            ch.msg = nullptr;
            continue;
        }
        Buffer_setNumBytesUsed(ch.msg->frame, db.bytesused);
    }
    for (int i : {0, 1})
        if (c->ch[i].msg)
            hand_over(c, c->ch[i], ts);
    v4l2_buffer db = {};
    db.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    db.memory = V4L2_MEMORY_USERPTR;
    if (platform_v4l2_ioctl(media_rsz_input.fd, VIDIOC_DQBUF, &db) < 0) {
        report("rsz_in VIDIOC_DQBUF");
        platform_v4l2_ioctl(media_rsz_input.fd, VIDIOC_STREAMOFF, &otype);
        c->inStreaming = false;
    }
    resizer_busy = 0;
    alarm(0);
    c->reconfig = false;
    return 0;
}

// The frame loop. 1: set up again (standard changed), 0: quit, -1: fatal.
int frame_loop(Capture *c)
{
    CaptureEnv *env = c->env;
    ParamBlock *p = env->params;
    while (quit_requested() == 0) {
        int want = setting_standard(p);
        if ((want == 5 && c->std != V4L2_STD_NTSC) || (want == 6 && c->std != V4L2_STD_PAL)) {
            int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            if (platform_v4l2_ioctl(media_capture.fd, VIDIOC_STREAMOFF, &type) < 0) {
                report("video STREAMOFF");
                env->status = -1;
                return -1;
            }
            return 1;
        }
        apply_controls(c);
        int flips[2] = {setting_flip(p, 0), setting_flip(p, 1)};
        if (setting_interpolate(p) != c->interpolate || flips[0] != c->flips[0] || flips[1] != c->flips[1]) {
            c->flips[0] = flips[0];
            c->flips[1] = flips[1];
            c->interpolate = setting_interpolate(p);
            c->reconfig = true;
        }

        int r = platform_v4l2_poll(media_capture.fd, c->timeout);
        int index;
        bool dequeued = false;
        uint32_t ts;
        if (r > 0) {
            v4l2_buffer b = {};
            b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            b.memory = V4L2_MEMORY_USERPTR;
            if (platform_v4l2_ioctl(media_capture.fd, VIDIOC_DQBUF, &b) < 0) {
                if (errno == EAGAIN) {
                    c->timeout = 150;
                    continue;
                }
                report("video DQBUF");
                env->status = -1;
                return -1;
            }
            index = (int)b.index;
            ts = (uint32_t)b.timestamp.tv_sec;
            c->nextIndex = (b.index + 1) % CAPTURE_BUFFERS;
            c->lastIndex = index;
            dequeued = true;
            if (capture_lock == 0)
                set_capture_lock_status(1);
            c->timeout = 150;
        } else if (r == 0) {
            // No signal: the newest picture again at the nominal rate, with a fresh time.
            c->timeout = (int)(1000000 / c->rate);
            index = c->lastIndex >= 0 ? c->lastIndex : (int)c->nextIndex;
            ts = hw_clock_90khz();
            if (capture_lock == 1)
                set_capture_lock_status(0);
        } else {
            report("video poll");
            env->status = -1;
            return -1;
        }
        Buffer_Handle frame = BufTab_getBuf(c->capTab, index);
        Buffer_setNumBytesUsed(frame, 2 * c->w * c->h);

        DisplayEnv *d = env->display;
        if (d && d->hToCapture) {
            int n = Fifo_getNumEntries(d->hToCapture);
            if (n < 0)
                return fail(c, "%s %d: Failed to read fifo from display thread\n", env->name, __LINE__);
            FrameMessage *m = nullptr;
            if (n > 0 && Fifo_get(d->hToCapture, (void **)&m) == Dmai_EOK && m) {
                if (d->mode == 1) {
                    m->frame = frame;
                    m->timestamp = ts;
                    m->sequence = c->seq;
                    m->flags |= FRAME_FLAG_PASSTHROUGH;
                    Buffer_setUseMask(frame, 2);
                    Fifo_put(d->hFromCapture, m);
                } else if (d->hToOutput) {
                    Fifo_put(d->hToOutput, m);
                }
            }
        }

        for (int i = 0; i < 2; i++) {
            if (take_buffer(c, i) < 0)
                return -1;
            direct_copy(c, i, frame, ts);
        }
        if (resize_pass(c, frame, ts) < 0)
            return -1;

        if (dequeued) {
            v4l2_buffer b = {};
            b.index = (uint32_t)index;
            b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            b.memory = V4L2_MEMORY_USERPTR;
            b.m.userptr = (unsigned long)c->capMem[index].virt;
            b.length = media_capture.bufSize;
            if (platform_v4l2_ioctl(media_capture.fd, VIDIOC_QBUF, &b) < 0) {
                report("video QBUF");
                env->status = -1;
                return -1;
            }
        }
        if (video_counter_request) {
            c->seq = video_counter_value;
            video_counter_request = 0;
        } else {
            c->seq++;
        }
    }
    return 0;
}

} // namespace

void set_capture_lock_status(uint32_t locked)
{
    capture_lock = locked;
    log_printf("%s: %d\n", "set_capture_lock_status", locked);
}

int capture_dbg_set_register(uint32_t reg, uint32_t value)
{
    v4l2_dbg_register r = {};
    r.match.type = V4L2_CHIP_MATCH_I2C_ADDR;
    r.match.addr = 0x5c;
    r.reg = reg;
    r.val = value;
    if (platform_v4l2_ioctl(dbg_fd, VIDIOC_DBG_S_REGISTER, &r) < 0) {
        report("VIDIOC_DBG_S_REGISTER");
        log_printf("fd=%d addr=%d val=%d\n", dbg_fd, reg, value);
        return -1;
    }
    return 0;
}

uint32_t capture_dbg_get_register(uint32_t reg)
{
    v4l2_dbg_register r = {};
    r.match.type = V4L2_CHIP_MATCH_I2C_ADDR;
    r.match.addr = 0x5c;
    r.reg = reg;
    if (platform_v4l2_ioctl(dbg_fd, VIDIOC_DBG_G_REGISTER, &r) < 0) {
        report("VIDIOC_DBG_G_REGISTER");
        log_printf("fd=%d addr=%d\n", dbg_fd, reg);
        return 0;
    }
    return (uint32_t)r.val;
}

void *captureThrFxn(void *arg)
{
    CaptureEnv *env = static_cast<CaptureEnv *>(arg);
    static Capture cap;   // the buffers live for the life of the process
    Capture *c = &cap;
    c->env = env;
    env->status = 0;
    env->spare0 = 0;
    thread_init_begin(env->name);
    int rc = start(c);
    thread_init_end(env->name);
    rendezvous_meet(env->hRendezvousInit, env->name);
    while (rc == 0 && quit_requested() == 0) {
        if (setup_pass(c) < 0)
            break;
        if (frame_loop(c) <= 0)
            break;
    }
    if (media_capture.fd >= 0) {
        int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        platform_v4l2_ioctl(media_capture.fd, VIDIOC_STREAMOFF, &type);
        media_node_close(&media_capture);
    }
    myRendezvousCleanup(env->hRendezvousCleanup, env->name);
    return nullptr;
}
