// The copy engine on the PC: requests are checked against the contiguous-memory blocks, so a
// request that would reach outside a buffer fails as EFAULT instead of corrupting memory.
#include "platform/capture_dma.h"
#include "platform/platform.h"
#include "platform/platform_internal.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {
std::atomic<uint64_t> request_count;

// The lowest and highest byte offsets a request touches on one side.
void extent(int32_t bidx, int32_t cidx, int32_t acnt, int32_t bcnt, int32_t ccnt, int64_t *lo, int64_t *hi)
{
    int64_t corners[4] = {0, (int64_t)bidx * (bcnt - 1), (int64_t)cidx * (ccnt - 1),
                          (int64_t)bidx * (bcnt - 1) + (int64_t)cidx * (ccnt - 1)};
    *lo = corners[0];
    *hi = corners[0];
    for (int64_t c : corners) {
        *lo = c < *lo ? c : *lo;
        *hi = c > *hi ? c : *hi;
    }
    *hi += acnt;
}

uint8_t *map_side(uint32_t phys, int64_t lo, int64_t hi)
{
    int64_t start = (int64_t)phys + lo;
    if (start < 0 || start > 0xFFFFFFFFll)
        return nullptr;
    uint8_t *v = static_cast<uint8_t *>(platform_cmem_virt((uint32_t)start, (size_t)(hi - lo)));
    return v ? v - lo : nullptr;
}
} // namespace

int platform_dm365mmap_open()
{
    std::string dev = std::string(platform_board_dir()) + "/dev/dm365mmap";
    return open(dev.c_str(), O_RDWR | O_CREAT | O_SYNC | O_CLOEXEC, 0644);
}

int platform_dm365mmap_ioctl(int fd, unsigned long request, void *arg)
{
    if (fd < 0) {
        errno = EBADF;
        return -1;
    }
    if (request != DM365MMAP_IOCMEMCPY || !arg) {
        errno = EINVAL;
        return -1;
    }
    const dm365mmap_copy_request *r = static_cast<const dm365mmap_copy_request *>(arg);
    if (r->srcmode != 0 || r->dstmode != 0 || r->acnt <= 0 || r->acnt > 65535 || r->bcnt <= 0 ||
        r->bcnt > 65535 || r->ccnt <= 0 || r->ccnt > 65535) {
        errno = EINVAL;
        return -1;
    }
    int64_t slo, shi, dlo, dhi;
    extent(r->srcbidx, r->srccidx, r->acnt, r->bcnt, r->ccnt, &slo, &shi);
    extent(r->dstbidx, r->dstcidx, r->acnt, r->bcnt, r->ccnt, &dlo, &dhi);
    uint8_t *src = map_side(r->src, slo, shi);
    uint8_t *dst = map_side(r->dst, dlo, dhi);
    if (!src || !dst) {
        errno = EFAULT;
        return -1;
    }
    for (int32_t c = 0; c < r->ccnt; c++)
        for (int32_t b = 0; b < r->bcnt; b++)
            memmove(dst + (int64_t)c * r->dstcidx + (int64_t)b * r->dstbidx,
                    src + (int64_t)c * r->srccidx + (int64_t)b * r->srcbidx, (size_t)r->acnt);
    request_count++;
    return 0;
}

void platform_dm365mmap_close(int fd)
{
    if (fd >= 0)
        close(fd);
}

uint64_t platform_dm365mmap_requests()
{
    return request_count.load();
}
