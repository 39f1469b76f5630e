#include "video/framecopy.h"

#include "core/log.h"
#include "platform/capture_dma.h"

#include <cerrno>
#include <cstring>
#include <new>

pthread_mutex_t copy_engine_mutex = PTHREAD_MUTEX_INITIALIZER;
const Framecopy_Attrs Framecopy_Attrs_DEFAULT = {false};

namespace {
int engine_fd = -1;

int submit(int fd, dm365mmap_copy_request *r)
{
    r->bcntrld = r->bcnt;
    r->syncmode = 1;
    pthread_mutex_lock(&copy_engine_mutex);
    int rc = platform_dm365mmap_ioctl(fd, DM365MMAP_IOCMEMCPY, r);
    pthread_mutex_unlock(&copy_engine_mutex);
    if (rc < 0) {
        log_printf("[Framecopy] Failed to execute memcpy\n");
        return -1;
    }
    return 0;
}

int bits_per_pixel(ColorSpace_Type cs)
{
    return cs == ColorSpace_UYVY ? 16 : 8;
}

// Rows of a picture with this line length that the buffer holds (4:2:0 needs half as many
// chroma rows again).
int32_t rows_in(Buffer_Handle b, ColorSpace_Type cs, int32_t line)
{
    if (line <= 0)
        return 0;
    size_t size = Buffer_getSize(b);
    return cs == ColorSpace_YUV420PSEMI ? (int32_t)(size * 2 / 3 / (size_t)line) : (int32_t)(size / (size_t)line);
}
} // namespace

int dm365mmap_open()
{
    pthread_mutex_lock(&copy_engine_mutex);
    if (engine_fd < 0)
        engine_fd = platform_dm365mmap_open();
    int fd = engine_fd;
    pthread_mutex_unlock(&copy_engine_mutex);
    return fd < 0 ? -1 : 0;
}

void dm365mmap_close()
{
    pthread_mutex_lock(&copy_engine_mutex);
    platform_dm365mmap_close(engine_fd);
    engine_fd = -1;
    pthread_mutex_unlock(&copy_engine_mutex);
}

Framecopy_Handle Framecopy_create(const Framecopy_Attrs *attrs)
{
    if (!attrs || !attrs->accel)
        return nullptr;   // the CPU fallback does not exist on this board
    Framecopy_Handle h = new (std::nothrow) Framecopy_Object{};
    if (!h)
        return nullptr;
    h->fd = platform_dm365mmap_open();
    if (h->fd < 0) {
        delete h;
        return nullptr;
    }
    h->srcColorSpace = h->dstColorSpace = ColorSpace_NOTSET;
    return h;
}

int Framecopy_config(Framecopy_Handle h, Buffer_Handle src, Buffer_Handle dst)
{
    if (!h || !src || !dst || Buffer_getType(src) != Buffer_Type_GRAPHICS || Buffer_getType(dst) != Buffer_Type_GRAPHICS)
        return Dmai_EINVAL;
    ColorSpace_Type s = BufferGfx_getColorSpace(src), d = BufferGfx_getColorSpace(dst);
    if (s != d || (s != ColorSpace_UYVY && s != ColorSpace_YUV420PSEMI && s != ColorSpace_GRAY))
        return Dmai_EINVAL;
    h->srcColorSpace = s;
    h->dstColorSpace = d;
    h->bitsPerPixel = bits_per_pixel(s);
    return Dmai_EOK;
}

int Framecopy_execute(Framecopy_Handle h, Buffer_Handle src, Buffer_Handle dst)
{
    return Framecopy_accel_execute2(h, src, dst);
}

int Framecopy_delete(Framecopy_Handle h)
{
    if (!h)
        return 0;
    platform_dm365mmap_close(h->fd);
    delete h;
    return 0;
}

int Framecopy_accel_execute2(Framecopy_Handle h, Buffer_Handle src, Buffer_Handle dst)
{
    if (!h || !src || !dst || h->bitsPerPixel == 0)
        return -1;
    BufferGfx_Dimensions sd, dd;
    BufferGfx_getDimensions(src, &sd);
    BufferGfx_getDimensions(dst, &dd);
    ColorSpace_Type scs = BufferGfx_getColorSpace(src), dcs = BufferGfx_getColorSpace(dst);
    int32_t b = h->bitsPerPixel / 8;
    bool planar = scs == ColorSpace_YUV420PSEMI;
    if (sd.x < 0 || sd.y < 0 || dd.x < 0 || dd.y < 0 || sd.lineLength <= 0 || dd.lineLength <= 0)
        return -1;
    // A 4:2:0 or UYVY pixel pair shares its chroma: windows start on an even column.
    if (planar || scs == ColorSpace_UYVY) {
        sd.x &= ~1;
        dd.x &= ~1;
    }
    // Clip to the destination window and to both buffers, so no request writes past a buffer.
    int32_t w = sd.width, hgt = sd.height;
    w = w < dd.width - dd.x ? w : dd.width - dd.x;
    w = w < dd.lineLength / b - dd.x ? w : dd.lineLength / b - dd.x;
    w = w < sd.lineLength / b - sd.x ? w : sd.lineLength / b - sd.x;
    hgt = hgt < dd.height - dd.y ? hgt : dd.height - dd.y;
    hgt = hgt < rows_in(dst, scs, dd.lineLength) - dd.y ? hgt : rows_in(dst, scs, dd.lineLength) - dd.y;
    hgt = hgt < rows_in(src, scs, sd.lineLength) - sd.y ? hgt : rows_in(src, scs, sd.lineLength) - sd.y;
    if (planar)
        hgt &= ~1;
    if (w <= 0 || hgt <= 0)
        return -1;
    uint32_t sp = Buffer_getPhysicalPtr(src), dp = Buffer_getPhysicalPtr(dst);
    dm365mmap_copy_request r = {};
    r.src = sp + (uint32_t)(sd.y * sd.lineLength + sd.x * b);
    r.dst = dp + (uint32_t)(dd.y * dd.lineLength + dd.x * b);
    r.srcbidx = sd.lineLength;
    r.dstbidx = dd.lineLength;
    r.acnt = w * b;
    r.bcnt = hgt;
    r.ccnt = 1;
    if (submit(h->fd, &r) < 0)
        return -1;
    if (planar) {
        // Chroma rows are half the luma rows; an odd window row starts in the chroma row above.
        r = {};
        r.src = sp + (uint32_t)(sd.lineLength * sd.height + sd.y / 2 * sd.lineLength + sd.x * b);
        r.dst = dp + (uint32_t)(dd.lineLength * dd.height + dd.y / 2 * dd.lineLength + dd.x * b);
        r.srcbidx = sd.lineLength;
        r.dstbidx = dd.lineLength;
        r.acnt = w * b;
        r.bcnt = hgt / 2;
        r.ccnt = 1;
        if (submit(h->fd, &r) < 0)
            return -1;
    }
    size_t used = dcs != ColorSpace_YUV420PSEMI ? (size_t)dd.width * dd.height * b : (size_t)dd.width * dd.height * 3 / 2;
    Buffer_setNumBytesUsed(dst, used);
    return 0;
}

int copy_engine_fill_lines(Framecopy_Handle h, const BufferGfx_Dimensions *dim, const void *src, void *dst)
{
    if (!h || !dim || dim->width <= 0 || dim->height <= 0)
        return -1;
    int valid_s = 0, valid_d = 0;
    uint32_t sp = Memory_getBufferPhysicalAddress(src, (size_t)dim->width, &valid_s);
    uint32_t dp = Memory_getBufferPhysicalAddress(dst, (size_t)dim->width, &valid_d);
    if (!valid_s || !valid_d)
        return -1;
    dm365mmap_copy_request r = {};
    r.src = sp;
    r.dst = dp;
    r.srcbidx = 0;
    r.dstbidx = dim->lineLength;
    if (src < dst) {
        // Filling downwards from the source line: start at the far end so the source is read
        // before any line that might cover it.
        r.dst = dp + (uint32_t)((dim->height - 1) * dim->lineLength);
        r.dstbidx = -dim->lineLength;
    }
    r.acnt = dim->width;
    r.bcnt = dim->height;
    r.ccnt = 1;
    return submit(h->fd, &r);
}

int copy_engine_memcpy(uint32_t src_phys, uint32_t dst_phys, uint32_t len)
{
    if (len == 0)
        return 0;
    pthread_mutex_lock(&copy_engine_mutex);
    int fd = engine_fd;
    pthread_mutex_unlock(&copy_engine_mutex);
    if (fd < 0)
        return -1;
    dm365mmap_copy_request r = {};
    r.src = src_phys;
    r.dst = dst_phys;
    r.ccnt = 1;
    if (len <= 65535) {
        r.acnt = (int32_t)len;
        r.bcnt = 1;
        return submit(fd, &r);
    }
    r.acnt = 16384;
    r.bcnt = (int32_t)(len / 16384);
    r.srcbidx = r.dstbidx = 16384;
    if (submit(fd, &r) < 0)
        return -1;
    uint32_t done = len / 16384 * 16384;
    if (done == len)
        return 0;
    // The tail that does not make a whole line.
    r = {};
    r.src = src_phys + done;
    r.dst = dst_phys + done;
    r.acnt = (int32_t)(len - done);
    r.bcnt = 1;
    r.ccnt = 1;
    return submit(fd, &r);
}

int copy_engine_copy_lines(Framecopy_Handle h, const BufferGfx_Dimensions *dim, const void *src, void *dst)
{
    if (!h || !dim || dim->width <= 0 || dim->height <= 0)
        return -1;
    size_t span = (size_t)(dim->height - 1) * dim->lineLength + dim->width;
    int vs = 0, vd = 0;
    uint32_t sp = Memory_getBufferPhysicalAddress(src, span, &vs);
    uint32_t dp = Memory_getBufferPhysicalAddress(dst, span, &vd);
    if (!vs || !vd)
        return -1;
    dm365mmap_copy_request r = {};
    r.src = sp;
    r.dst = dp;
    r.srcbidx = r.dstbidx = dim->lineLength;
    if (src < dst) {
        uint32_t last = (uint32_t)((dim->height - 1) * dim->lineLength);
        r.src += last;
        r.dst += last;
        r.srcbidx = r.dstbidx = -dim->lineLength;
    }
    r.acnt = dim->width;
    r.bcnt = dim->height;
    r.ccnt = 1;
    return submit(h->fd, &r);
}
