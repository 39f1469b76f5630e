// The copy engine device "/dev/dm365mmap": one request copies blocks of lines between physical
// addresses of contiguous memory.
#pragma once
#include <cstdint>

struct dm365mmap_copy_request {
    uint32_t src;
    uint32_t dst;
    int32_t srcmode;
    int32_t srcfifowidth;
    int32_t srcbidx;        // source line step
    int32_t srccidx;        // source block step
    int32_t dstmode;
    int32_t dstfifowidth;
    int32_t dstbidx;
    int32_t dstcidx;
    int32_t acnt;           // bytes per line
    int32_t bcnt;           // lines per block
    int32_t ccnt;           // blocks
    int32_t bcntrld;
    int32_t syncmode;
};
static_assert(sizeof(dm365mmap_copy_request) == 60, "15 words");

enum { DM365MMAP_IOCMEMCPY = 7 };

int platform_dm365mmap_open();
int platform_dm365mmap_ioctl(int fd, unsigned long request, void *arg);
void platform_dm365mmap_close(int fd);
// Requests executed since start, for tests.
uint64_t platform_dm365mmap_requests();
