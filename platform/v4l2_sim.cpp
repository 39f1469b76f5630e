// The simulated capture hardware of the PC board: a media graph with the analogue decoder, the
// CCDC with its video node, the previewer, and the memory-to-memory resizer with one input and
// two output nodes. Requests are the Linux UAPI ones; descriptors are eventfds so that fcntl
// and close behave as on the board.
#include "platform/capture_sim.h"
#include "platform/platform.h"
#include "platform/platform_internal.h"
#include "platform/resizer.h"
#include "platform/resizer_scale.h"
#include "platform/v4l2.h"
#include "platform/video_out_internal.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <linux/media.h>
#include <linux/v4l2-subdev.h>
#include <linux/videodev2.h>

namespace {

enum Node { N_MEDIA, N_CCDC, N_PRV, N_RSZ, N_DEC, N_CAP, N_RSZ_IN, N_RSZ_A, N_RSZ_B, N_COUNT };

struct Entity {
    const char *name;
    const char *path;       // "/dev/..." device file
    const char *sysname;    // "/sys/class/video4linux/<sysname>/name"
    uint32_t type;
    uint16_t pads;
    uint32_t major, minor;
};

const Entity ENTITIES[N_COUNT] = {
    {"media", "/dev/media0", nullptr, 0, 0, 251, 0},
    {"DAVINCI CCDC", "/dev/v4l-subdev0", "v4l-subdev0", MEDIA_ENT_F_V4L2_SUBDEV_UNKNOWN, 2, 81, 16},
    {"DAVINCI PREVIEWER", "/dev/v4l-subdev1", "v4l-subdev1", MEDIA_ENT_F_V4L2_SUBDEV_UNKNOWN, 2, 81, 17},
    {"DAVINCI RESIZER", "/dev/v4l-subdev2", "v4l-subdev2", MEDIA_ENT_F_V4L2_SUBDEV_UNKNOWN, 3, 81, 18},
    {"tvp5150", "/dev/v4l-subdev3", "v4l-subdev3", MEDIA_ENT_F_ATV_DECODER, 1, 81, 19},
    {"DAVINCI VIDEO CCDC output", "/dev/video0", "video0", MEDIA_ENT_F_IO_V4L, 1, 81, 0},
    {"DAVINCI VIDEO RSZ input", "/dev/video1", "video1", MEDIA_ENT_F_IO_V4L, 1, 81, 1},
    {"DAVINCI VIDEO RSZ output", "/dev/video2", "video2", MEDIA_ENT_F_IO_V4L, 1, 81, 2},
    {"DAVINCI VIDEO RSZB output", "/dev/video3", "video3", MEDIA_ENT_F_IO_V4L, 1, 81, 3},
};

struct Link {
    Node src;
    uint16_t src_pad;
    Node sink;
    uint16_t sink_pad;
    bool enabled;
};

// The CCDC feeds the previewer and the previewer the resizer at power-up; the system has to
// move both pads over to its own links.
Link links[] = {
    {N_DEC, 0, N_CCDC, 0, false},   {N_CCDC, 1, N_CAP, 0, false},  {N_CCDC, 1, N_PRV, 0, true},
    {N_PRV, 1, N_RSZ, 0, true},     {N_RSZ_IN, 0, N_RSZ, 0, false}, {N_RSZ, 1, N_RSZ_A, 0, false},
    {N_RSZ, 2, N_RSZ_B, 0, false},
};

struct SimBuf {
    unsigned long userptr;
    uint32_t length;
    uint32_t bytesused;
    uint32_t ts90k;
    uint32_t sequence;
    int state;              // 0 idle, 1 queued, 2 done
};

struct VideoNode {
    v4l2_format fmt;
    uint32_t count;
    SimBuf bufs[8];
    std::deque<uint32_t> queued, done;
    bool streaming;
};

struct Decoder {
    v4l2_std_id norm = V4L2_STD_NTSC;
    uint8_t regs[256];
    int brightness = 128, contrast = 128, saturation = 128, hue = 0;
};

struct Sim {
    std::mutex mutex;
    std::condition_variable cond;
    std::map<int, Node> fds;
    VideoNode video[N_COUNT];
    v4l2_mbus_framefmt pad_fmt[N_COUNT][3];
    Decoder dec;
    rsz_single_shot_config rsz_defaults, rsz_cfg;
    ResizerScaler scaler[2];
    // Capture schedule.
    int64_t start_ns;
    uint32_t start90k;
    int64_t next_frame;
    std::string input = "ntsc";
    int64_t input_read_ns = -1;
    std::string clip_path;      // PLATFORM_CAPTURE_CLIP; empty: the test picture
    CaptureClip *clip = nullptr;
    bool clip_failed = false;
} sim;

int64_t now_ns()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000000ll + ts.tv_nsec;
}

std::string standard_file()
{
    return std::string(platform_board_dir()) + "/video/standard";
}

// The analogue input: "ntsc", "pal", "palm" or "none"; re-read at most every 10 ms.
const std::string &input_now()
{
    int64_t t = now_ns();
    if (sim.input_read_ns >= 0 && t - sim.input_read_ns < 10000000)
        return sim.input;
    sim.input_read_ns = t;
    char word[16] = "ntsc";
    if (FILE *f = fopen(standard_file().c_str(), "r")) {
        if (fscanf(f, "%15s", word) != 1)
            strcpy(word, "ntsc");
        fclose(f);
    }
    sim.input = word;
    return sim.input;
}

bool input_is_525(const std::string &in)
{
    return in == "ntsc" || in == "palm";
}

v4l2_std_id input_std(const std::string &in)
{
    if (in == "pal")
        return V4L2_STD_PAL;
    if (in == "palm")
        return V4L2_STD_PAL_M;
    if (in == "ntsc")
        return V4L2_STD_NTSC;
    return 0;
}

// Locked when a signal is there and the decoder's standard has its line count.
bool locked()
{
    const std::string &in = input_now();
    if (in != "ntsc" && in != "pal" && in != "palm")
        return false;
    bool norm525 = (sim.dec.norm & 0xf900) != 0;
    return norm525 == input_is_525(in);
}

int64_t frame_period_ns()
{
    return input_is_525(sim.input) ? 1001000000ll / 30 : 40000000ll;
}

uint32_t frame_period_90k()
{
    return input_is_525(sim.input) ? 3003 : 3600;
}

void apply_controls(uint8_t *pic, const v4l2_pix_format &f)
{
    const Decoder &d = sim.dec;
    if (d.brightness == 128 && d.contrast == 128 && d.saturation == 128)
        return;
    for (uint32_t y = 0; y < f.height; y++) {
        uint8_t *row = pic + (size_t)y * f.bytesperline;
        for (uint32_t x = 0; x < f.width * 2; x += 2) {
            int v = row[x];
            int l = row[x + 1];
            v = 128 + (v - 128) * d.saturation / 128;
            l = 16 + (l - 16) * d.contrast / 128 + (d.brightness - 128);
            row[x] = (uint8_t)(v < 0 ? 0 : v > 255 ? 255 : v);
            row[x + 1] = (uint8_t)(l < 0 ? 0 : l > 255 ? 255 : l);
        }
    }
}

// The clip when one is set and readable, else the test picture.
void draw_picture(uint8_t *pic, const v4l2_pix_format &f, uint32_t frame)
{
    if (!sim.clip && !sim.clip_failed && !sim.clip_path.empty()) {
        sim.clip = capture_clip_open(sim.clip_path.c_str());
        sim.clip_failed = !sim.clip;
        if (sim.clip)
            platform_log("capture clip %s replaces the test picture\n", sim.clip_path.c_str());
    }
    if (sim.clip &&
        capture_clip_draw(sim.clip, pic, (int)f.width, (int)f.height, (int)f.bytesperline) == 0)
        return;
    capture_picture_draw(pic, (int)f.width, (int)f.height, (int)f.bytesperline, frame);
}

// Fills queued capture buffers with every frame due by now; frames that find no queued buffer
// are lost, as on the board.
void capture_advance()
{
    VideoNode &n = sim.video[N_CAP];
    if (!n.streaming || !locked())
        return;
    int64_t t = now_ns();
    int64_t period = frame_period_ns();
    int64_t due = (t - sim.start_ns) / period;
    if (sim.next_frame < due - (int64_t)n.queued.size() - 4)
        sim.next_frame = due - (int64_t)n.queued.size();
    for (; sim.next_frame <= due; sim.next_frame++) {
        if (n.queued.empty())
            continue;
        uint32_t i = n.queued.front();
        n.queued.pop_front();
        SimBuf &b = n.bufs[i];
        uint8_t *pic = reinterpret_cast<uint8_t *>(b.userptr);
        draw_picture(pic, n.fmt.fmt.pix, (uint32_t)sim.next_frame);
        apply_controls(pic, n.fmt.fmt.pix);
        b.bytesused = n.fmt.fmt.pix.sizeimage;
        b.ts90k = sim.start90k + (uint32_t)sim.next_frame * frame_period_90k();
        b.sequence = (uint32_t)sim.next_frame;
        b.state = 2;
        n.done.push_back(i);
    }
}

bool link_on(Node src, Node sink)
{
    for (const Link &l : links)
        if (l.src == src && l.sink == sink)
            return l.enabled;
    return false;
}

bool same_size(const v4l2_mbus_framefmt &a, const v4l2_mbus_framefmt &b)
{
    return a.width == b.width && a.height == b.height && a.code == b.code;
}

int fail(int e)
{
    errno = e;
    return -1;
}

bool is_video(Node n)
{
    return n == N_CAP || n == N_RSZ_IN || n == N_RSZ_A || n == N_RSZ_B;
}

uint32_t expected_type(Node n)
{
    return n == N_RSZ_IN ? V4L2_BUF_TYPE_VIDEO_OUTPUT : V4L2_BUF_TYPE_VIDEO_CAPTURE;
}

// --- media controller ---
int media_ioctl(unsigned long req, void *arg)
{
    if (req == MEDIA_IOC_ENUM_ENTITIES) {
        media_entity_desc *d = static_cast<media_entity_desc *>(arg);
        uint32_t id = d->id;
        uint32_t want = (id & MEDIA_ENT_ID_FLAG_NEXT) ? (id & ~MEDIA_ENT_ID_FLAG_NEXT) + 1 : id;
        if (want < 1 || want >= N_COUNT)
            return fail(EINVAL);
        const Entity &e = ENTITIES[want];
        memset(d, 0, sizeof *d);
        d->id = want;
        snprintf(d->name, sizeof d->name, "%s", e.name);
        d->type = e.type;
        d->pads = e.pads;
        for (const Link &l : links)
            d->links += l.src == (Node)want;
        d->dev.major = e.major;
        d->dev.minor = e.minor;
        return 0;
    }
    if (req == MEDIA_IOC_ENUM_LINKS) {
        media_links_enum *le = static_cast<media_links_enum *>(arg);
        if (le->entity < 1 || le->entity >= N_COUNT)
            return fail(EINVAL);
        if (le->pads)
            for (uint16_t p = 0; p < ENTITIES[le->entity].pads; p++) {
                media_pad_desc &pd = le->pads[p];
                memset(&pd, 0, sizeof pd);
                pd.entity = le->entity;
                pd.index = p;
                bool source = (le->entity == N_DEC || le->entity == N_RSZ_IN) ? true
                              : is_video((Node)le->entity)                     ? false
                                                                                : p > 0;
                pd.flags = source ? MEDIA_PAD_FL_SOURCE : MEDIA_PAD_FL_SINK;
            }
        if (le->links) {
            int k = 0;
            for (const Link &l : links) {
                if (l.src != (Node)le->entity)
                    continue;
                media_link_desc &ld = le->links[k++];
                memset(&ld, 0, sizeof ld);
                ld.source.entity = l.src;
                ld.source.index = l.src_pad;
                ld.source.flags = MEDIA_PAD_FL_SOURCE;
                ld.sink.entity = l.sink;
                ld.sink.index = l.sink_pad;
                ld.sink.flags = MEDIA_PAD_FL_SINK;
                ld.flags = l.enabled ? MEDIA_LNK_FL_ENABLED : 0;
            }
        }
        return 0;
    }
    if (req == MEDIA_IOC_SETUP_LINK) {
        media_link_desc *ld = static_cast<media_link_desc *>(arg);
        for (Link &l : links) {
            if ((uint32_t)l.src != ld->source.entity || l.src_pad != ld->source.index ||
                (uint32_t)l.sink != ld->sink.entity || l.sink_pad != ld->sink.index)
                continue;
            bool on = ld->flags & MEDIA_LNK_FL_ENABLED;
            if (on && !l.enabled) {
                // One active link per pad: the other link on a shared pad must go first.
                for (const Link &o : links)
                    if (&o != &l && o.enabled &&
                        ((o.src == l.src && o.src_pad == l.src_pad) || (o.sink == l.sink && o.sink_pad == l.sink_pad)))
                        return fail(EBUSY);
            }
            if (!on && (sim.video[l.sink].streaming || sim.video[l.src].streaming))
                return fail(EBUSY);
            l.enabled = on;
            return 0;
        }
        return fail(EINVAL);
    }
    return fail(ENOTTY);
}

// --- decoder, CCDC and resizer subdevices ---
int subdev_ioctl(Node n, unsigned long req, void *arg)
{
    if (req == VIDIOC_SUBDEV_S_FMT || req == VIDIOC_SUBDEV_G_FMT) {
        v4l2_subdev_format *f = static_cast<v4l2_subdev_format *>(arg);
        if (f->pad >= ENTITIES[n].pads)
            return fail(EINVAL);
        if (req == VIDIOC_SUBDEV_G_FMT) {
            f->format = sim.pad_fmt[n][f->pad];
            return 0;
        }
        if (n == N_DEC) {
            // The decoder's output is fixed by its standard.
            f->format.width = 720;
            f->format.height = (sim.dec.norm & 0xf900) ? 480 : 576;
        }
        sim.pad_fmt[n][f->pad] = f->format;
        return 0;
    }
    if (n == N_DEC && (req == VIDIOC_DBG_G_REGISTER || req == VIDIOC_DBG_S_REGISTER)) {
        v4l2_dbg_register *r = static_cast<v4l2_dbg_register *>(arg);
        if (r->match.type != V4L2_CHIP_MATCH_I2C_ADDR || r->match.addr != 0x5c || r->reg > 0xff)
            return fail(EINVAL);
        if (req == VIDIOC_DBG_G_REGISTER) {
            r->val = sim.dec.regs[r->reg];
            r->size = 1;
        } else {
            sim.dec.regs[r->reg] = (uint8_t)r->val;
        }
        return 0;
    }
    if (n == N_RSZ && (req == RSZ_S_CONFIG || req == RSZ_G_CONFIG)) {
        rsz_channel_config *c = static_cast<rsz_channel_config *>(arg);
        // A resizer that has stopped answering, as after a VPSS lock-up.
        if (access((std::string(platform_board_dir()) + "/video/resizer_fault").c_str(), F_OK) == 0)
            return fail(EIO);
        if (c->oper_mode != 0)
            return fail(EINVAL);
        if (req == RSZ_S_CONFIG && c->len == 0) {
            sim.rsz_cfg = sim.rsz_defaults;
            return 0;
        }
        if (c->len != sizeof(rsz_single_shot_config) || !c->config)
            return fail(EINVAL);
        if (req == RSZ_G_CONFIG) {
            memcpy(c->config, &sim.rsz_cfg, sizeof sim.rsz_cfg);
            return 0;
        }
        rsz_single_shot_config cfg;
        memcpy(&cfg, c->config, sizeof cfg);
        if (cfg.image_width < 16 || cfg.image_height < 2 || cfg.image_width > 4096 || cfg.image_height > 4096 ||
            cfg.line_pitch < cfg.image_width * 2 || cfg.clk_div_n == 0 || cfg.clk_div_m == 0)
            return fail(EINVAL);
        for (const rsz_output_spec *o : {&cfg.output1, &cfg.output2})
            if (o->enable && (o->width < 2 || o->height < 2 || o->width > 2176 || o->height > 4096 ||
                              o->line_length < (o->pix_fmt == RSZ_PIX_FMT_NV12 ? 1u : 2u) * o->width))
                return fail(EINVAL);
        sim.rsz_cfg = cfg;
        return 0;
    }
    return fail(ENOTTY);
}

int video_s_fmt(Node n, v4l2_format *f)
{
    if (f->type != expected_type(n))
        return fail(EINVAL);
    v4l2_pix_format &p = f->fmt.pix;
    bool nv12 = p.pixelformat == V4L2_PIX_FMT_NV12;
    if (!nv12 && p.pixelformat != V4L2_PIX_FMT_UYVY)
        return fail(EINVAL);
    if (n == N_CAP && nv12)
        return fail(EINVAL);
    if (p.width < 2 || p.height < 2)
        return fail(EINVAL);
    uint32_t maxw = n == N_CAP ? 720 : 2176, maxh = n == N_CAP ? 576 : 2048;
    p.width = (p.width > maxw ? maxw : p.width) & ~1u;
    p.height = p.height > maxh ? maxh : p.height;
    uint32_t min_line = (p.width * (nv12 ? 1 : 2) + 31) & ~31u;
    if (p.bytesperline < min_line || n != N_RSZ_IN)
        p.bytesperline = p.bytesperline < min_line ? min_line : p.bytesperline;
    p.sizeimage = p.bytesperline * p.height;
    if (nv12)
        p.sizeimage += p.bytesperline * ((p.height + 1) / 2);
    if (sim.video[n].streaming)
        return fail(EBUSY);
    sim.video[n].fmt = *f;
    return 0;
}

int video_streamon(Node n)
{
    VideoNode &v = sim.video[n];
    if (v.count == 0)
        return fail(EINVAL);
    if (n == N_CAP) {
        if (!link_on(N_DEC, N_CCDC) || !link_on(N_CCDC, N_CAP))
            return fail(EPIPE);
        const v4l2_mbus_framefmt &ccdc_src = sim.pad_fmt[N_CCDC][1];
        if (!same_size(sim.pad_fmt[N_DEC][0], sim.pad_fmt[N_CCDC][0]) || ccdc_src.width != v.fmt.fmt.pix.width ||
            ccdc_src.height != v.fmt.fmt.pix.height)
            return fail(EPIPE);
        sim.start_ns = now_ns();
        sim.start90k = platform_reg_read(PLATFORM_REG_TIMER90K);
        sim.next_frame = 0;
    } else if ((n == N_RSZ_IN && !link_on(N_RSZ_IN, N_RSZ)) || (n == N_RSZ_A && !link_on(N_RSZ, N_RSZ_A)) ||
               (n == N_RSZ_B && !link_on(N_RSZ, N_RSZ_B))) {
        return fail(EPIPE);
    }
    v.streaming = true;
    return 0;
}

void video_streamoff(Node n)
{
    VideoNode &v = sim.video[n];
    v.streaming = false;
    v.queued.clear();
    v.done.clear();
    for (SimBuf &b : v.bufs)
        b.state = 0;
    sim.cond.notify_all();
}

// One resize: the queued input into the queued buffer of every enabled output.
void resizer_run()
{
    VideoNode &in = sim.video[N_RSZ_IN];
    if (!in.streaming || in.queued.empty())
        return;
    const rsz_single_shot_config &c = sim.rsz_cfg;
    SimBuf &ib = in.bufs[in.queued.front()];
    const rsz_output_spec *outs[2] = {&c.output1, &c.output2};
    Node nodes[2] = {N_RSZ_A, N_RSZ_B};
    bool input_ok = (uint64_t)c.line_pitch * (c.image_height - 1) + c.image_width * 2 <= ib.length &&
                    c.pix_fmt == RSZ_PIX_FMT_UYVY;
    for (int k = 0; k < 2 && input_ok; k++) {
        VideoNode &o = sim.video[nodes[k]];
        const rsz_output_spec &s = *outs[k];
        if (!s.enable || !o.streaming || o.queued.empty())
            continue;
        SimBuf &ob = o.bufs[o.queued.front()];
        bool nv12 = s.pix_fmt == RSZ_PIX_FMT_NV12;
        uint64_t need = (uint64_t)s.line_length * s.height + (nv12 ? (uint64_t)s.line_length * ((s.height + 1) / 2) : 0);
        if (need > ob.length)
            continue;   // the driver refuses to write past the buffer: nothing comes out
        if (resizer_scale(&sim.scaler[k], reinterpret_cast<const uint8_t *>(ib.userptr), c.image_width,
                          c.image_height, c.line_pitch, reinterpret_cast<uint8_t *>(ob.userptr), s.width, s.height,
                          s.line_length, nv12, s.h_flip, s.v_flip) != 0)
            continue;
        o.queued.pop_front();
        ob.bytesused = (uint32_t)need;
        ob.ts90k = ib.ts90k;
        ob.state = 2;
        for (uint32_t i = 0; i < o.count; i++)
            if (&o.bufs[i] == &ob)
                o.done.push_back(i);
    }
    uint32_t i = in.queued.front();
    in.queued.pop_front();
    in.bufs[i].state = 2;
    in.done.push_back(i);
}

int video_ioctl(Node n, int fd, unsigned long req, void *arg)
{
    VideoNode &v = sim.video[n];
    switch (req) {
    case VIDIOC_QUERYCAP: {
        v4l2_capability *c = static_cast<v4l2_capability *>(arg);
        memset(c, 0, sizeof *c);
        snprintf((char *)c->driver, sizeof c->driver, "%s", n == N_CAP ? "vpfe-capture" : "davinci-resizer");
        snprintf((char *)c->card, sizeof c->card, "%s", ENTITIES[n].name);
        c->capabilities = (n == N_RSZ_IN ? V4L2_CAP_VIDEO_OUTPUT : V4L2_CAP_VIDEO_CAPTURE) | V4L2_CAP_STREAMING;
        c->device_caps = c->capabilities;
        return 0;
    }
    case VIDIOC_ENUM_FMT: {
        v4l2_fmtdesc *d = static_cast<v4l2_fmtdesc *>(arg);
        static const uint32_t cap_fmts[] = {V4L2_PIX_FMT_UYVY};
        static const uint32_t rsz_fmts[] = {V4L2_PIX_FMT_UYVY, V4L2_PIX_FMT_NV12};
        uint32_t count = n == N_CAP ? 1 : 2;
        if (d->index >= count || d->type != expected_type(n))
            return fail(EINVAL);
        d->pixelformat = n == N_CAP ? cap_fmts[d->index] : rsz_fmts[d->index];
        d->flags = 0;
        snprintf((char *)d->description, sizeof d->description, "%s", d->pixelformat == V4L2_PIX_FMT_NV12 ? "NV12" : "UYVY");
        return 0;
    }
    case VIDIOC_S_FMT:
        return video_s_fmt(n, static_cast<v4l2_format *>(arg));
    case VIDIOC_G_FMT: {
        v4l2_format *f = static_cast<v4l2_format *>(arg);
        if (f->type != expected_type(n))
            return fail(EINVAL);
        if (v.fmt.type == 0) {
            memset(&f->fmt, 0, sizeof f->fmt);
            return 0;
        }
        *f = v.fmt;
        return 0;
    }
    case VIDIOC_REQBUFS: {
        v4l2_requestbuffers *r = static_cast<v4l2_requestbuffers *>(arg);
        if (r->type != expected_type(n) || r->memory != V4L2_MEMORY_USERPTR)
            return fail(EINVAL);
        if (v.streaming)
            return fail(EBUSY);
        v.count = r->count > 8 ? 8 : r->count;
        r->count = v.count;
        v.queued.clear();
        v.done.clear();
        for (SimBuf &b : v.bufs)
            b = {};
        return 0;
    }
    case VIDIOC_QBUF: {
        v4l2_buffer *b = static_cast<v4l2_buffer *>(arg);
        if (b->type != expected_type(n) || b->memory != V4L2_MEMORY_USERPTR || b->index >= v.count ||
            v.bufs[b->index].state == 1 || !b->m.userptr || b->length < v.fmt.fmt.pix.sizeimage)
            return fail(EINVAL);
        if (n == N_RSZ_IN && b->bytesused > b->length)
            return fail(EINVAL);
        SimBuf &s = v.bufs[b->index];
        s = {};
        s.userptr = b->m.userptr;
        s.length = b->length;
        s.bytesused = b->bytesused;
        s.state = 1;
        if (n == N_RSZ_IN)
            s.ts90k = (uint32_t)b->timestamp.tv_sec;
        v.queued.push_back(b->index);
        sim.cond.notify_all();
        return 0;
    }
    case VIDIOC_DQBUF: {
        v4l2_buffer *b = static_cast<v4l2_buffer *>(arg);
        if (b->type != expected_type(n) || b->memory != V4L2_MEMORY_USERPTR)
            return fail(EINVAL);
        if (!v.streaming)
            return fail(EINVAL);
        if (n == N_CAP)
            capture_advance();
        else
            resizer_run();
        if (v.done.empty())
            return fail(EAGAIN);
        uint32_t i = v.done.front();
        v.done.pop_front();
        SimBuf &s = v.bufs[i];
        s.state = 0;
        b->index = i;
        b->m.userptr = s.userptr;
        b->length = s.length;
        b->bytesused = s.bytesused;
        b->sequence = s.sequence;
        b->field = V4L2_FIELD_NONE;
        b->flags = 0;
        // The capture driver of this board puts the 90 kHz clock into the seconds word.
        b->timestamp.tv_sec = s.ts90k;
        b->timestamp.tv_usec = 0;
        return 0;
    }
    case VIDIOC_STREAMON:
    case VIDIOC_STREAMOFF: {
        int type = *static_cast<int *>(arg);
        if ((uint32_t)type != expected_type(n))
            return fail(EINVAL);
        if (req == VIDIOC_STREAMOFF) {
            video_streamoff(n);
            return 0;
        }
        return video_streamon(n);
    }
    default:
        break;
    }
    if (n != N_CAP)
        return fail(ENOTTY);
    // The capture node passes input, standard and control requests on to the decoder.
    switch (req) {
    case VIDIOC_G_INPUT:
        *static_cast<int *>(arg) = 0;
        return 0;
    case VIDIOC_S_INPUT:
        return *static_cast<int *>(arg) == 0 ? 0 : fail(EINVAL);
    case VIDIOC_ENUMINPUT: {
        v4l2_input *in = static_cast<v4l2_input *>(arg);
        if (in->index != 0)
            return fail(EINVAL);
        uint32_t index = in->index;
        memset(in, 0, sizeof *in);
        in->index = index;
        snprintf((char *)in->name, sizeof in->name, "Composite");
        in->type = V4L2_INPUT_TYPE_CAMERA;
        in->std = V4L2_STD_ALL;
        in->capabilities = V4L2_IN_CAP_STD;
        in->status = locked() ? 0 : V4L2_IN_ST_NO_SIGNAL;
        return 0;
    }
    case VIDIOC_G_STD: {
        // An auto-detecting decoder: it reports the input it sees, or its set standard without one.
        v4l2_std_id detected = input_std(input_now());
        *static_cast<v4l2_std_id *>(arg) = detected ? detected : sim.dec.norm;
        return 0;
    }
    case VIDIOC_S_STD: {
        v4l2_std_id s = *static_cast<v4l2_std_id *>(arg);
        if (v.streaming)
            return fail(EBUSY);
        if ((s & V4L2_STD_ALL) == 0)
            return fail(EINVAL);
        sim.dec.norm = s;
        return 0;
    }
    case VIDIOC_G_CTRL:
    case VIDIOC_S_CTRL: {
        v4l2_control *c = static_cast<v4l2_control *>(arg);
        int *slot = c->id == V4L2_CID_BRIGHTNESS   ? &sim.dec.brightness
                    : c->id == V4L2_CID_CONTRAST   ? &sim.dec.contrast
                    : c->id == V4L2_CID_SATURATION ? &sim.dec.saturation
                    : c->id == V4L2_CID_HUE        ? &sim.dec.hue
                                                   : nullptr;
        if (!slot)
            return fail(EINVAL);
        if (req == VIDIOC_G_CTRL) {
            c->value = *slot;
            return 0;
        }
        int lo = c->id == V4L2_CID_HUE ? -128 : 0, hi = c->id == V4L2_CID_HUE ? 127 : 255;
        if (c->value < lo || c->value > hi)
            return fail(ERANGE);
        *slot = c->value;
        return 0;
    }
    default:
        return fail(ENOTTY);
    }
}

void reset_decoder_regs()
{
    memset(sim.dec.regs, 0, sizeof sim.dec.regs);
    sim.dec.regs[0x01] = 0x15;
    sim.dec.regs[0x06] = 0x10;
    sim.dec.regs[0x0e] = 0x00;
    sim.dec.regs[0x1a] = 0x0c;
    sim.dec.regs[0x1b] = 0x14;
}

struct SimInit {
    SimInit()
    {
        reset_decoder_regs();
        rsz_single_shot_config &d = sim.rsz_defaults;
        memset(&d, 0, sizeof d);
        d.clk_div_n = 1;
        d.clk_div_m = 1;
        d.pix_fmt = RSZ_PIX_FMT_UYVY;
        d.image_width = 720;
        d.image_height = 480;
        d.line_pitch = 1440;
        for (uint32_t &w : d.driver_private)
            w = 0x5a5a5a5a;
        sim.rsz_cfg = d;
    }
} sim_init;

} // namespace

void platform_capture_board_init(const char *board_dir)
{
    std::string board = board_dir;
    const char *clip = getenv("PLATFORM_CAPTURE_CLIP");
    sim.clip_path = clip ? clip : "";
    mkdir((board + "/video").c_str(), 0755);
    mkdir((board + "/sys").c_str(), 0755);
    mkdir((board + "/sys/class").c_str(), 0755);
    mkdir((board + "/sys/class/video4linux").c_str(), 0755);
    for (const Entity &e : ENTITIES) {
        std::string dev = board + e.path;
        if (access(dev.c_str(), F_OK) != 0)
            if (FILE *f = fopen(dev.c_str(), "w"))
                fclose(f);
        if (!e.sysname)
            continue;
        std::string dir = board + "/sys/class/video4linux/" + e.sysname;
        mkdir(dir.c_str(), 0755);
        if (FILE *f = fopen((dir + "/name").c_str(), "w")) {
            fprintf(f, "%s\n", e.name);
            fclose(f);
        }
    }
    video_out_board_init(board_dir);
}

int platform_capture_set_input(const char *standard)
{
    std::string path = standard_file(), tmp = path + ".tmp";
    FILE *f = fopen(tmp.c_str(), "w");
    if (!f)
        return -1;
    fprintf(f, "%s\n", standard);
    fclose(f);
    if (rename(tmp.c_str(), path.c_str()) != 0)
        return -1;
    std::lock_guard<std::mutex> lock(sim.mutex);
    sim.input_read_ns = -1;
    sim.cond.notify_all();
    return 0;
}

int platform_v4l2_devnum(const char *path, uint32_t *major, uint32_t *minor)
{
    for (const Entity &e : ENTITIES)
        if (path && strcmp(path, e.path) == 0) {
            *major = e.major;
            *minor = e.minor;
            return 0;
        }
    errno = ENOENT;
    return -1;
}

int platform_v4l2_open(const char *path, int flags)
{
    if (video_out_path(path))
        return video_out_open(path, flags);
    for (int n = 0; n < N_COUNT; n++)
        if (path && strcmp(path, ENTITIES[n].path) == 0) {
            int fd = eventfd(0, 0);
            if (fd < 0)
                return -1;
            std::lock_guard<std::mutex> lock(sim.mutex);
            sim.fds[fd] = (Node)n;
            if (is_video((Node)n) && sim.video[n].fmt.type == 0)
                sim.video[n].fmt.type = expected_type((Node)n);
            return fd;
        }
    errno = ENOENT;
    return -1;
}

int platform_v4l2_ioctl(int fd, unsigned long request, void *arg)
{
    if (!arg)
        return fail(EFAULT);
    if (video_out_fd(fd))
        return video_out_ioctl(fd, request, arg);
    std::lock_guard<std::mutex> lock(sim.mutex);
    auto it = sim.fds.find(fd);
    if (it == sim.fds.end())
        return fail(EBADF);
    Node n = it->second;
    if (n == N_MEDIA)
        return media_ioctl(request, arg);
    if (is_video(n))
        return video_ioctl(n, fd, request, arg);
    return subdev_ioctl(n, request, arg);
}

int platform_v4l2_poll(int fd, int timeout_ms)
{
    if (video_out_fd(fd))
        return video_out_poll(fd, timeout_ms);
    std::unique_lock<std::mutex> lock(sim.mutex);
    auto it = sim.fds.find(fd);
    if (it == sim.fds.end())
        return fail(EBADF);
    Node n = it->second;
    if (!is_video(n))
        return fail(EINVAL);
    int64_t deadline = now_ns() + (int64_t)timeout_ms * 1000000ll;
    for (;;) {
        if (n == N_CAP)
            capture_advance();
        else
            resizer_run();
        if (!sim.video[n].done.empty())
            return 1;
        int64_t t = now_ns();
        if (t >= deadline || !sim.video[n].streaming)
            return 0;
        // Wake for the next frame, and at least every 10 ms to follow the input switch.
        int64_t wait = deadline - t;
        if (n == N_CAP && locked()) {
            int64_t period = frame_period_ns();
            int64_t next = sim.start_ns + sim.next_frame * period;
            wait = next - t < wait ? next - t : wait;
        }
        wait = wait > 10000000 ? 10000000 : wait < 100000 ? 100000 : wait;
        sim.cond.wait_for(lock, std::chrono::nanoseconds(wait));
    }
}

int platform_v4l2_close(int fd)
{
    if (video_out_fd(fd))
        return video_out_close(fd);
    {
        std::lock_guard<std::mutex> lock(sim.mutex);
        auto it = sim.fds.find(fd);
        if (it == sim.fds.end())
            return fail(EBADF);
        Node n = it->second;
        sim.fds.erase(it);
        bool still_open = false;
        for (const auto &[other, node] : sim.fds)
            still_open |= node == n;
        if (is_video(n) && !still_open) {
            video_streamoff(n);
            sim.video[n].count = 0;
        }
    }
    return close(fd);
}
