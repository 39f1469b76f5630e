// The output device "/dev/video6": standards and DV presets, format, user-pointer buffers
// queued in turn; streaming starts once every display buffer has been queued.
#include "video/display_device.h"

#include "core/log.h"
#include "core/quit.h"
#include "platform/platform.h"
#include "platform/v4l2.h"
#include "platform/video_out.h"
#include "video/display.h"
#include "video/framecopy.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <time.h>

#include <linux/videodev2.h>

namespace {

const char *const DEVICE = "/dev/video6";

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

void fill_words(uint8_t *row, int words, uint32_t w)
{
    uint32_t *p = reinterpret_cast<uint32_t *>(row);
    for (int i = 0; i < words; i++)
        p[i] = w;
}

} // namespace

DisplayStandard display_standard(int n)
{
    switch (n) {
    case 0: return {"AUTO", 0, 0, 0, 'p', 0};
    case 5: return {"NTSC", 0, 720, 480, 'i', 30};
    case 6: return {"PAL", 0, 720, 576, 'i', 25};
    case 7: return {"480P", V4L2_DV_480P59_94, 720, 480, 'p', 59};
    case 8: return {"576P", V4L2_DV_576P50, 720, 576, 'p', 50};
    case 9: return {"720P_60", V4L2_DV_720P60, 1280, 720, 'p', 60};
    case 10: return {"720P_50", V4L2_DV_720P50, 1280, 720, 'p', 50};
    case 11: return {"720P_30", V4L2_DV_720P30, 1280, 720, 'p', 30};
    case 12: return {"1080I_30", V4L2_DV_1080I30, 1920, 1080, 'i', 30};
    case 13: return {"1080I_25", V4L2_DV_1080I25, 1920, 1080, 'i', 25};
    case 14: return {"1080P_30", V4L2_DV_1080P30, 1920, 1080, 'p', 30};
    case 15: return {"1080P_25", V4L2_DV_1080P25, 1920, 1080, 'p', 25};
    case 16: return {"1080P_24", V4L2_DV_1080P24, 1920, 1080, 'p', 24};
    case 18: return {"1080P_60", V4L2_DV_1080P60, 1920, 1080, 'p', 60};
    case 19: return {"1080P_50", V4L2_DV_1080P50, 1920, 1080, 'p', 50};
    case 20: return {"1080I_60", 0, 0, 0, 'i', 0};
    default: return {"other", 0, 0, 0, 'p', 0};
    }
}

bool display_has_output_mode(int n)
{
    return n == 5 || n == 6 || display_standard(n).preset != 0;
}

int display_queue_buffer(DisplayDevice *d, Buffer_Handle b)
{
    int index = -1;
    for (int i = 0; i < BufTab_getNumBufs(d->tab); i++)
        if (BufTab_getBuf(d->tab, i) == b)
            index = i;
    v4l2_buffer vb = {};
    vb.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    vb.memory = V4L2_MEMORY_USERPTR;
    vb.index = (uint32_t)index;
    vb.bytesused = (uint32_t)Buffer_getNumBytesUsed(b);
    vb.m.userptr = (unsigned long)Buffer_getUserPtr(b);
    vb.length = (uint32_t)Buffer_getSize(b);
    if (index < 0 || platform_v4l2_ioctl(d->fd, VIDIOC_QBUF, &vb) < 0) {
        report("Display VIDIOC_QBUF");
        log_printf("vb: %d %p %d\n", index, (void *)Buffer_getUserPtr(b), (int)vb.length);
        return -1;
    }
    if (d->queued < d->count) {
        d->queued++;
        if (d->queued == d->count) {
            int type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
            if (platform_v4l2_ioctl(d->fd, VIDIOC_STREAMON, &type) < 0)
                report("Display VIDIOC_STREAMON");
            log_printf("display streamon\n");
        }
    }
    return 0;
}

int Display_delete(DisplayDevice *d)
{
    if (d->fd < 0)
        return -1;
    log_printf("%s: fd=%d\n", "Display_delete", d->fd);
    platform_v4l2_close(d->fd);
    d->fd = -1;
    return 0;
}

int display_device_create(DisplayDevice *d, int std, int cs, int32_t width, int32_t height, int32_t line)
{
    const DisplayStandard s = display_standard(std);
    for (;;) {
        int fd = platform_v4l2_open(DEVICE, O_RDWR);
        if (fd < 0) {
            report(DEVICE);
            return -1;
        }
        if (fcntl(fd, F_SETFD, FD_CLOEXEC) < 0)
            report("FD_CLOEXEC");
        v4l2_capability cap = {};
        if (platform_v4l2_ioctl(fd, VIDIOC_QUERYCAP, &cap) < 0)
            report("VIDIOC_QUERYCAP");
        log_printf("%s: %s %s %x\n", DEVICE, (const char *)cap.card, (const char *)cap.driver, cap.capabilities);
        if (!(cap.capabilities & V4L2_CAP_VIDEO_OUTPUT)) {
            log_printf("%s is not a video output device!\n", DEVICE);
            platform_v4l2_close(fd);
            return -1;
        }
        for (uint32_t i = 0;; i++) {
            v4l2_output o = {};
            o.index = i;
            if (platform_v4l2_ioctl(fd, VIDIOC_ENUMOUTPUT, &o) < 0)
                break;
            log_printf("output %d, name %s, caps %x\n", i, (const char *)o.name, o.capabilities);
        }
        log_printf("%s: output index=%d videoStd=%d fd=%d\n", "Display_create", 0, std, fd);
        int index = 0;
        bool retry = platform_v4l2_ioctl(fd, VIDIOC_S_OUTPUT, &index) < 0;
        if (retry)
            report("VIDIOC_S_OUTPUT");
        if (!retry && (std == 5 || std == 6)) {
            v4l2_std_id id = std == 5 ? 0xb000 : 0xff;
            log_printf("videoStd=%d v4l2_std_id=0x%llx\n", std, (unsigned long long)id);
            if (platform_v4l2_ioctl(fd, VIDIOC_S_STD, &id) < 0)
                report("VIDIOC_S_STD");
        } else if (!retry) {
            log_printf("videoStd=%d dv_preset=%d %dx%d%c%d\n", std, s.preset, s.width, s.height, s.scan, s.rate);
            v4l2_dv_preset cur = {};
            if (platform_v4l2_ioctl(fd, VIDIOC_G_DV_PRESET, &cur) < 0)
                report("VIDIOC_G_DV_PRESET");
            if (cur.preset != s.preset) {
                v4l2_dv_preset want = {};
                want.preset = s.preset;
                if (platform_v4l2_ioctl(fd, VIDIOC_S_DV_PRESET, &want) < 0) {
                    report("VIDIOC_S_DV_PRESET");
                    platform_v4l2_close(fd);
                    return -1;
                }
            }
        }
        if (!retry) {
            v4l2_format f = {};
            f.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
            if (platform_v4l2_ioctl(fd, VIDIOC_G_FMT, &f) < 0) {
                report("VIDIOC_G_FMT");
                platform_v4l2_close(fd);
                return -1;
            }
            v4l2_pix_format &p = f.fmt.pix;
            p.width = (uint32_t)width;
            p.height = (uint32_t)height;
            p.bytesperline = ((uint32_t)line + 31) & ~31u;
            if (cs == ColorSpace_UYVY) {
                p.pixelformat = V4L2_PIX_FMT_UYVY;
                p.sizeimage = p.height * p.bytesperline;
            } else {
                p.pixelformat = V4L2_PIX_FMT_NV12;
                p.sizeimage = p.height * p.bytesperline * 3 / 2;
            }
            p.field = s.scan == 'i' ? V4L2_FIELD_INTERLACED : V4L2_FIELD_NONE;
            log_printf("display S_FMT %dx%d %d %s field=%d sizeimage=%d\n", p.width, p.height, p.bytesperline,
                       cs == ColorSpace_UYVY ? "UYVY" : "NV12", p.field, p.sizeimage);
            if (platform_v4l2_ioctl(fd, VIDIOC_S_FMT, &f) < 0) {
                report("VIDIOC_S_FMT");
                platform_v4l2_close(fd);
                return -1;
            }
            v4l2_requestbuffers r = {};
            r.count = (uint32_t)d->count;
            r.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
            r.memory = V4L2_MEMORY_USERPTR;
            retry = platform_v4l2_ioctl(fd, VIDIOC_REQBUFS, &r) < 0;
            if (retry)
                report("VIDIOC_REQBUFS");
        }
        if (!retry) {
            d->fd = fd;
            d->queued = 0;
            return 0;
        }
        platform_v4l2_close(fd);
        if (!sleep_ms(100))
            return -1;
    }
}

int Frame_blackFill(Framecopy_Object *copy, Buffer_Handle buf)
{
    BufferGfx_Dimensions dim;
    BufferGfx_getDimensions(buf, &dim);
    uint8_t *p = Buffer_getUserPtr(buf);
    if (!p || dim.height <= 0 || dim.lineLength <= 0)
        return -1;
    switch (BufferGfx_getColorSpace(buf)) {
    case ColorSpace_UYVY:
        for (int32_t y = 0; y < dim.height; y++)
            fill_words(p + (size_t)y * dim.lineLength, dim.width / 2, 0x00800080);
        return 0;
    case ColorSpace_GRAY: {
        memset(p, 0, (size_t)dim.width);
        BufferGfx_Dimensions fill = {0, 0, dim.width, dim.height - 1, dim.lineLength};
        return dim.height > 1 ? copy_engine_fill_lines(copy, &fill, p, p + dim.lineLength) : 0;
    }
    case ColorSpace_YUV420PSEMI:
        memset(p, 0, (size_t)dim.height * dim.lineLength);
        memset(p + (size_t)dim.height * dim.lineLength, 128, (size_t)((dim.height - 1) / 2 + 1) * dim.lineLength);
        return 0;
    default:
        log_printf("%s: unknown colorspace %d\n", "Frame_blackFill", BufferGfx_getColorSpace(buf));
        return -1;
    }
}

const char *display_standard_name(int standard)
{
    return display_standard(standard).name;
}

