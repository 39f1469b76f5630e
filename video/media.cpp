#include "video/media.h"

#include "core/log.h"
#include "platform/dmai.h"
#include "platform/v4l2.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>

namespace {
MediaNode make_node(const char *name, MediaNode *next, uint32_t type)
{
    MediaNode n = {};
    n.name = name;
    n.fd = -1;
    n.next = next;
    n.fmt.type = type;
    return n;
}

void report(const char *what)
{
    log_printf("%s: %s\n", what, strerror(errno));
}

// Fills every node of the chain whose name the entity carries.
void match_entities(int media_fd, MediaNode *first)
{
    media_entity_desc e = {};
    e.id = MEDIA_ENT_ID_FLAG_NEXT;
    while (platform_v4l2_ioctl(media_fd, MEDIA_IOC_ENUM_ENTITIES, &e) == 0) {
        for (MediaNode *n = first; n; n = n->next)
            if (strcmp(e.name, n->name) == 0)
                n->entity = e;
        e.id |= MEDIA_ENT_ID_FLAG_NEXT;
    }
}

// The outbound links of an entity; null after the failure was reported.
std::unique_ptr<media_link_desc[]> enum_links(int media_fd, const media_entity_desc &e)
{
    std::unique_ptr<media_link_desc[]> links(new (std::nothrow) media_link_desc[e.links ? e.links : 1]);
    std::unique_ptr<media_pad_desc[]> pads(new (std::nothrow) media_pad_desc[e.pads ? e.pads : 1]);
    if (!links || !pads) {
        log_printf("Failed to allocate links\n");
        return nullptr;
    }
    media_links_enum le = {};
    le.entity = e.id;
    le.pads = pads.get();
    le.links = links.get();
    if (platform_v4l2_ioctl(media_fd, MEDIA_IOC_ENUM_LINKS, &le) < 0) {
        report("MEDIA_IOC_ENUM_LINKS");
        return nullptr;
    }
    return links;
}

bool same_pad(const media_pad_desc &a, const media_pad_desc &b)
{
    return a.entity == b.entity && a.index == b.index;
}
} // namespace

MediaNode media_decoder = make_node("tvp5150", nullptr, 0);
MediaNode media_ccdc = make_node("DAVINCI CCDC", &media_decoder, 0);
MediaNode media_capture = make_node("DAVINCI VIDEO CCDC output", &media_ccdc, V4L2_BUF_TYPE_VIDEO_CAPTURE);
MediaNode media_rsz_input = make_node("DAVINCI VIDEO RSZ input", nullptr, V4L2_BUF_TYPE_VIDEO_OUTPUT);
MediaNode media_resizer = make_node("DAVINCI RESIZER", &media_rsz_input, 0);
MediaNode media_rsz_a = make_node("DAVINCI VIDEO RSZ output", &media_resizer, V4L2_BUF_TYPE_VIDEO_CAPTURE);
MediaNode media_rsz_b = make_node("DAVINCI VIDEO RSZB output", &media_resizer, V4L2_BUF_TYPE_VIDEO_CAPTURE);

const char *mbus_code_name(uint32_t code)
{
    switch (code) {
    case MBUS_UYVY8_2X8: return "UYVY8 2x8";
    case MBUS_YUYV8_2X8: return "YUYV8 2x8";
    case MBUS_UYVY8_1X16: return "UYVY8 1x16";
    case MBUS_YUYV8_1X16: return "YUYV8 1x16";
    case MBUS_NV12_1X20: return "NV12 1x20";
    default: return "unknown";
    }
}

int media_enable_link(int media_fd, const media_link_desc *link)
{
    if (link->flags & MEDIA_LNK_FL_ENABLED)
        return 0;
    // A pad carries one active link: release the ones that hold either end of this one.
    media_entity_desc e = {};
    e.id = MEDIA_ENT_ID_FLAG_NEXT;
    while (platform_v4l2_ioctl(media_fd, MEDIA_IOC_ENUM_ENTITIES, &e) == 0) {
        std::unique_ptr<media_link_desc[]> links = e.links ? enum_links(media_fd, e) : nullptr;
        for (int i = 0; links && i < e.links; i++) {
            media_link_desc other = links[i];
            if (!(other.flags & MEDIA_LNK_FL_ENABLED))
                continue;
            bool src = same_pad(other.source, link->source), sink = same_pad(other.sink, link->sink);
            if (src == sink)
                continue;
            other.flags &= ~MEDIA_LNK_FL_ENABLED;
            if (platform_v4l2_ioctl(media_fd, MEDIA_IOC_SETUP_LINK, &other) < 0) {
                report("MEDIA_IOC_SETUP_LINK");
                return -1;
            }
        }
        e.id |= MEDIA_ENT_ID_FLAG_NEXT;
    }
    media_link_desc want = *link;
    want.flags |= MEDIA_LNK_FL_ENABLED;
    if (platform_v4l2_ioctl(media_fd, MEDIA_IOC_SETUP_LINK, &want) < 0) {
        report("MEDIA_IOC_SETUP_LINK");
        return -1;
    }
    return 0;
}

int media_setup_links(int media_fd, MediaNode *node)
{
    MediaNode *up = node->next;
    if (!up)
        return 0;
    if (media_setup_links(media_fd, up) < 0)
        return -1;
    if (up->entity.id == 0 || node->entity.id == 0) {
        if (up->entity.id == 0)
            log_printf("Missing source entity: %s\n", up->name);
        else
            log_printf("Missing sink entity: %s\n", node->name);
        match_entities(media_fd, node);
        return -1;
    }
    std::unique_ptr<media_link_desc[]> links = enum_links(media_fd, up->entity);
    if (!links)
        return -1;
    for (int i = 0; i < up->entity.links; i++) {
        const media_link_desc &l = links[i];
        if (l.source.entity != up->entity.id || l.sink.entity != node->entity.id)
            continue;
        if (media_enable_link(media_fd, &l) < 0)
            return -1;
        node->sinkPad = l.sink.index;
        node->sourcePad = l.source.index;
    }
    return 0;
}

int media_setup_chain(MediaNode *first)
{
    int media_fd = platform_v4l2_open("/dev/media0", O_RDWR);
    if (media_fd < 0) {
        report("open /dev/media0");
        return -1;
    }
    match_entities(media_fd, first);
    int rc = media_setup_links(media_fd, first);
    platform_v4l2_close(media_fd);
    if (rc < 0)
        return -1;
    for (int i = 0; i < 16; i++) {
        char path[20];
        snprintf(path, sizeof path, "/dev/%s%d", i < 8 ? "v4l-subdev" : "video", i & 7);
        uint32_t major, minor;
        if (platform_v4l2_devnum(path, &major, &minor) < 0)
            continue;
        uint32_t mask = i < 8 ? 0x20001 : 0x10001;
        for (MediaNode *n = first; n; n = n->next) {
            if (n->fd >= 0 || !(n->entity.type & mask) || n->entity.dev.major != major || n->entity.dev.minor != minor)
                continue;
            snprintf(n->devpath, sizeof n->devpath, "%s", path);
            n->fd = platform_v4l2_open(path, O_RDWR);
            if (n->fd < 0) {
                report(path);
                continue;
            }
            if (fcntl(n->fd, F_SETFD, FD_CLOEXEC) < 0)
                report("FD_CLOEXEC");
        }
    }
    return 0;
}

int video_input_setup(int fd, int input, v4l2_std_id *standard)
{
    int current = 0;
    if (platform_v4l2_ioctl(fd, VIDIOC_G_INPUT, &current) < 0) {
        report("VIDIOC_G_INPUT");
        log_printf("vid_fd = %d\n", fd);
        return -1;
    }
    if (platform_v4l2_ioctl(fd, VIDIOC_S_INPUT, &input) < 0) {
        report("VIDIOC_S_INPUT");
        return -1;
    }
    v4l2_input in = {};
    in.index = (uint32_t)input;
    if (platform_v4l2_ioctl(fd, VIDIOC_ENUMINPUT, &in) < 0) {
        report("VIDIOC_ENUMINPUT");
        return -1;
    }
    if (!(in.capabilities & V4L2_IN_CAP_STD))
        return 0;
    v4l2_std_id s = *standard;
    if (s == 0 && platform_v4l2_ioctl(fd, VIDIOC_G_STD, &s) < 0) {
        report("VIDIOC_G_STD");
        return -1;
    }
    if (s == V4L2_STD_525_60)
        s = V4L2_STD_NTSC;
    else if (s == V4L2_STD_625_50)
        s = V4L2_STD_PAL;
    if (platform_v4l2_ioctl(fd, VIDIOC_S_STD, &s) < 0) {
        report("VIDIOC_S_STD");
        return -1;
    }
    *standard = s;
    return 0;
}

int subdev_set_pad_formats(MediaNode *node, const v4l2_mbus_framefmt *sink, const v4l2_mbus_framefmt *source)
{
    if (source) {
        MediaNode *up = node->next;
        v4l2_subdev_format f = {};
        f.which = V4L2_SUBDEV_FORMAT_ACTIVE;
        f.pad = node->sourcePad;
        f.format = *source;
        if (!up || platform_v4l2_ioctl(up->fd, VIDIOC_SUBDEV_S_FMT, &f) < 0) {
            log_printf("%s, source pad, VIDIOC_SUBDEV_S_FMT: %s\n", up ? up->name : "-", strerror(errno));
            return -1;
        }
    }
    if (sink) {
        v4l2_subdev_format f = {};
        f.which = V4L2_SUBDEV_FORMAT_ACTIVE;
        f.pad = node->sinkPad;
        f.format = *sink;
        if (platform_v4l2_ioctl(node->fd, VIDIOC_SUBDEV_S_FMT, &f) < 0) {
            log_printf("%s, sink pad, VIDIOC_SUBDEV_S_FMT: %s\n", node->name, strerror(errno));
            return -1;
        }
    }
    return 0;
}

int format_setup(MediaNode *node, uint32_t width, uint32_t height, uint32_t pixelformat, uint32_t bytesperline,
                 uint32_t field)
{
    v4l2_pix_format &p = node->fmt.fmt.pix;
    p.width = width;
    p.height = height;
    p.pixelformat = pixelformat;
    p.field = field;
    p.bytesperline = bytesperline;
    log_printf("%s: s_fmt bytesperline=%u sizeimage=%u\n", "format_setup", bytesperline, p.sizeimage);
    if (platform_v4l2_ioctl(node->fd, VIDIOC_S_FMT, &node->fmt) < 0) {
        report("VIDIOC_S_FMT");
        log_printf("fmt: %ux%u %.4s field=%u bytesperline=%u sizeimage=%u colorspace=%u\n", p.width, p.height,
                   (const char *)&p.pixelformat, p.field, p.bytesperline, p.sizeimage, p.colorspace);
        v4l2_capability cap = {};
        if (platform_v4l2_ioctl(node->fd, VIDIOC_QUERYCAP, &cap) == 0)
            log_printf("%s: %s caps=%x\n", cap.driver, cap.card, cap.capabilities);
        v4l2_fmtdesc d = {};
        d.type = node->fmt.type;
        for (; platform_v4l2_ioctl(node->fd, VIDIOC_ENUM_FMT, &d) == 0; d.index++)
            log_printf("fmt %u type=%x flags=%x %c%c%c%c %s\n", d.index, d.type, d.flags, d.pixelformat & 0xff,
                       (d.pixelformat >> 8) & 0xff, (d.pixelformat >> 16) & 0xff, d.pixelformat >> 24, d.description);
        return -1;
    }
    if (platform_v4l2_ioctl(node->fd, VIDIOC_G_FMT, &node->fmt) < 0) {
        report("VIDIOC_G_FMT");
        return -1;
    }
    bool nv12 = pixelformat == V4L2_PIX_FMT_NV12;
    uint32_t line = p.bytesperline;
    if (line == 0)
        line = (width * (nv12 ? 1 : 2) + 31) & ~31u;
    else if (bytesperline && line != bytesperline)
        log_printf("%s: driver didn't want bytesperline=%u, returned %u\n", "format_setup", bytesperline, line);
    uint32_t size = height * line;
    if (nv12)
        size = size * 3 / 2;
    if (size != p.sizeimage)
        log_printf("%s: buf_size %u disagrees with format: %ux%u bytesperline=%u sizeimage=%u\n", "format_setup",
                   size, p.width, p.height, p.bytesperline, p.sizeimage);
    if (p.width != width || p.height != height)
        log_printf("%s: %dx%d -> %dx%d %d %d\n", "format_setup", width, height, p.width, p.height, line, size);
    // The driver's own figure wins when larger: it refuses shorter buffers.
    node->bufSize = size > p.sizeimage ? size : p.sizeimage;
    return 0;
}

int buffer_setup(MediaNode *node, const CmemBuffer *bufs, uint32_t count)
{
    v4l2_requestbuffers req = {};
    req.count = count;
    req.type = node->fmt.type;
    req.memory = V4L2_MEMORY_USERPTR;
    if (platform_v4l2_ioctl(node->fd, VIDIOC_REQBUFS, &req) < 0) {
        report("VIDIOC_REQBUFS");
        return -1;
    }
    if (req.count != count) {
        log_printf("%d buffers not supported by %s device, req.count=%d\n", count, node->name, req.count);
        return -1;
    }
    node->bufCount = req.count;
    if (!bufs)
        return 0;
    for (uint32_t i = 0; i < count; i++) {
        v4l2_buffer b = {};
        b.index = i;
        b.type = node->fmt.type;
        b.memory = V4L2_MEMORY_USERPTR;
        b.m.userptr = (unsigned long)bufs[i].virt;
        b.length = node->bufSize;
        if (platform_v4l2_ioctl(node->fd, VIDIOC_QBUF, &b) < 0) {
            report("VIDIOC_QBUF");
            log_printf("QBUF: %s index=%d length=%d userptr=%lx\n", strerror(errno), i, b.length, b.m.userptr);
            return -1;
        }
    }
    return 0;
}

void rsz_set_output_spec(int output, rsz_output_spec *o, const ResizeOutputSpec *spec, int flip, const ResizeCrop *crop)
{
    if (!spec) {
        o->enable = 0;
        return;
    }
    o->enable = 1;
    o->pix_fmt = spec->pixelformat == V4L2_PIX_FMT_NV12 ? RSZ_PIX_FMT_NV12 : RSZ_PIX_FMT_UYVY;
    o->h_flip = (flip >> 1) & 1;
    o->v_flip = flip & 1;
    o->width = spec->width;
    o->height = spec->height;
    o->h_typ_y = o->h_typ_c = o->v_typ_y = o->v_typ_c = 1;
    o->en_down_scale = (flip & 0x3c) != 0;
    if (o->en_down_scale)
        o->h_avg_size = o->v_avg_size = 0;
    o->line_length = spec->lineLength;
    if (crop) {
        o->crop_x = crop->x;
        o->crop_y = crop->y;
        o->crop_width = crop->width;
        o->crop_height = crop->height;
    }
    log_printf("%s: %dx%d (%d) crop %d,%d %dx%d\n", "rsz_set_output_spec", spec->width, spec->height,
               spec->lineLength, o->crop_x, o->crop_y, o->crop_width, o->crop_height);
}

int rsz_setup(int fd, const ResizeInputSpec *in, const ResizeOutputSpec *a, const ResizeOutputSpec *b, int flipA,
              int flipB, int interpolate)
{
    static bool first = true;
    rsz_channel_config req = {};
    if (first) {
        if (platform_v4l2_ioctl(fd, RSZ_S_CONFIG, &req) < 0) {
            report("failed to set default configuration in resizer");
            return -1;
        }
        first = false;
    }
    rsz_single_shot_config cfg;
    memset(&cfg, 0, sizeof cfg);
    req.len = sizeof cfg;
    req.config = &cfg;
    if (platform_v4l2_ioctl(fd, RSZ_G_CONFIG, &req) < 0) {
        report("failed to get resizer channel configuration");
        return -1;
    }
    int i = interpolate ? 1 : 0;
    bool nv12 = in->pixelformat == V4L2_PIX_FMT_NV12;
    // A pitch of 0 means the packed line of the input picture.
    uint32_t pitch = in->bytesperline ? in->bytesperline : (in->width * (nv12 ? 1 : 2) + 31) & ~31u;
    cfg.image_width = in->width;
    cfg.image_height = in->height >> i;
    cfg.line_pitch = pitch << i;
    cfg.line_pitch_c = 0;
    cfg.ppln = in->width + 8;
    cfg.lpfr = (in->height >> i << i) + 10;
    uint32_t pixels = in->width * in->height;
    int m = pixels < 37632 ? 26 : pixels < 86400 ? 16 : pixels < 337920 ? 14 : 12;
    if (i)
        m += 5;
    cfg.clk_div_n = 1;
    cfg.clk_div_m = (uint8_t)m;
    log_printf("%s: clk_div = %d:%d\n", "rsz_setup", 1, m);
    cfg.chroma_sample_even = 0;
    cfg.pix_fmt = nv12 ? RSZ_PIX_FMT_NV12 : RSZ_PIX_FMT_UYVY;
    rsz_set_output_spec(1, &cfg.output1, a, flipA, nullptr);
    rsz_set_output_spec(2, &cfg.output2, b, flipB, nullptr);
    const rsz_output_spec *outs[2] = {&cfg.output1, &cfg.output2};
    for (int k = 0; k < 2; k++) {
        const rsz_output_spec &o = *outs[k];
        uint32_t max = (k == 0 ? 2176u : 1088u) >> (o.en_down_scale ? 1 : 0);
        if (o.enable && o.width > max)
            log_printf("WARNING: resize output%d width %d > max %d (downscale=%d)\n", k + 1, o.width, max,
                       o.en_down_scale);
    }
    req.oper_mode = 0;
    req.len = sizeof cfg;
    req.config = &cfg;
    if (platform_v4l2_ioctl(fd, RSZ_S_CONFIG, &req) < 0) {
        report("failed to set configuration in resizer");
        return -1;
    }
    return 0;
}

int resize_chain_setup(MediaNode *input, MediaNode *resizer, MediaNode *outA, MediaNode *outB,
                       const v4l2_mbus_framefmt *inFmt, const v4l2_mbus_framefmt *aFmt, const v4l2_mbus_framefmt *bFmt,
                       const ResizeOutputSpec *a, const ResizeOutputSpec *b, int flipA, int flipB, int interpolate)
{
    const v4l2_pix_format &cur = input->fmt.fmt.pix;
    ResizeInputSpec in = {cur.width, cur.height, cur.pixelformat, cur.field, cur.bytesperline};
    if (in.width == 0 || in.height == 0)   // never set up: the picture the sink pad will get
        in = {inFmt->width, inFmt->height, V4L2_PIX_FMT_UYVY, V4L2_FIELD_NONE, 0};
    if (rsz_setup(resizer->fd, &in, a, b, flipA, flipB, interpolate) < 0) {
        log_printf("rsz setup failed\n");
        return -1;
    }
    if (subdev_set_pad_formats(resizer, inFmt, nullptr) < 0) {
        log_printf("subdev setup rsz failed\n");
        return -1;
    }
    if (subdev_set_pad_formats(outA, nullptr, aFmt) < 0) {
        log_printf("subdev setup rsza failed\n");
        return -1;
    }
    if (subdev_set_pad_formats(outB, nullptr, bFmt) < 0) {
        log_printf("subdev setup rszb failed\n");
        return -1;
    }
    if (format_setup(input, inFmt->width, inFmt->height, V4L2_PIX_FMT_UYVY, cur.bytesperline, V4L2_FIELD_NONE) < 0) {
        log_printf("format setup rsz_in failed\n");
        return -1;
    }
    if (format_setup(outA, a->width, a->height, V4L2_PIX_FMT_NV12, 0, V4L2_FIELD_NONE) < 0) {
        log_printf("format setup rsz_out failed\n");
        return -1;
    }
    if (format_setup(outB, b->width, b->height, V4L2_PIX_FMT_NV12, 0, V4L2_FIELD_NONE) < 0) {
        log_printf("format setup rszb_out failed\n");
        return -1;
    }
    if (buffer_setup(input, nullptr, 1) < 0) {
        log_printf("buffer setup rsz_out failed\n");
        return -1;
    }
    if (buffer_setup(outA, nullptr, 1) < 0) {
        log_printf("buffer setup rsz_out failed\n");
        return -1;
    }
    if (buffer_setup(outB, nullptr, 1) < 0) {
        log_printf("buffer setup rszb_out failed\n");
        return -1;
    }
    return 0;
}

int cmem_alloc_buffers(uint32_t size, CmemBuffer *bufs, int count)
{
    CMEM_AllocParams p = CMEM_DEFAULTPARAMS;
    p.flags = 0;
    p.alignment = 32;
    for (int i = 0; i < count; i++) {
        bufs[i].virt = static_cast<uint8_t *>(CMEM_alloc(size, &p));
        if (!bufs[i].virt)
            return -1;
        bufs[i].phys = CMEM_getPhys(bufs[i].virt);
    }
    return 0;
}

void media_node_close(MediaNode *node)
{
    if (node->fd < 0)
        return;
    if (node->bufCount) {
        v4l2_requestbuffers req = {};
        req.type = node->fmt.type;
        req.memory = V4L2_MEMORY_USERPTR;
        if (platform_v4l2_ioctl(node->fd, VIDIOC_REQBUFS, &req) < 0)
            report("VIDIOC_REQBUFS");
        node->bufCount = 0;
    }
    if (platform_v4l2_close(node->fd) < 0)
        report("close");
    node->fd = -1;
}
