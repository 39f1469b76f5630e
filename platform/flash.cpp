// The flash device as a file with NOR semantics: a write can only clear bits, an erase sets
// whole 128 KiB blocks to 0xFF. A missing erase shows as the AND of old and new data.
#include "platform/platform.h"
#include "platform/platform_internal.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {
// Read-modify-write of the AND must not interleave between threads.
std::mutex flash_io_mutex;
// Power-cut simulation: program and erase steps left before the power goes (-1: never).
// A write programs 256-byte pages, an erase clears 8 KiB sectors, one step each.
long cut_budget = -1;
constexpr uint32_t PROGRAM_PAGE = 256, ERASE_STEP = 8192;

// Takes one step; false once the power is gone.
bool step_allowed()
{
    if (cut_budget < 0)
        return true;
    if (cut_budget == 0)
        return false;
    cut_budget--;
    return true;
}
}

void platform_flash_cut_after(long steps)
{
    std::lock_guard<std::mutex> lock(flash_io_mutex);
    cut_budget = steps;
}

long platform_flash_cut_remaining()
{
    std::lock_guard<std::mutex> lock(flash_io_mutex);
    return cut_budget;
}

int platform_flash_open(const char *path)
{
    char real[4096];
    platform_path(path, real, sizeof real);
    int fd = open(real, O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_size != PLATFORM_FLASH_SIZE) {
        platform_log("flash file %s has %lld bytes, not %u: refusing it (left untouched)\n", real,
                     (long long)st.st_size, (unsigned)PLATFORM_FLASH_SIZE);
        close(fd);
        errno = ENODEV;
        return -1;
    }
    return fd;
}

ssize_t platform_flash_pread(int fd, void *buf, size_t len, uint32_t offset)
{
    if (fd < 0) {
        errno = EBADF;
        return -1;
    }
    if ((uint64_t)offset + len > PLATFORM_FLASH_SIZE) {
        if (offset >= PLATFORM_FLASH_SIZE)
            return 0;
        len = PLATFORM_FLASH_SIZE - offset;
    }
    return pread(fd, buf, len, offset);
}

ssize_t platform_flash_pwrite(int fd, const void *buf, size_t len, uint32_t offset)
{
    if (fd < 0) {
        errno = EBADF;
        return -1;
    }
    if ((uint64_t)offset + len > PLATFORM_FLASH_SIZE) {
        errno = ENOSPC;
        return -1;
    }
    std::lock_guard<std::mutex> lock(flash_io_mutex);
    std::vector<uint8_t> cur(len);
    ssize_t n = pread(fd, cur.data(), len, offset);
    if (n != (ssize_t)len)
        return -1;
    const uint8_t *src = static_cast<const uint8_t *>(buf);
    size_t done = 0;
    bool cut = false;
    while (done < len) {
        if (!step_allowed()) {
            cut = true;
            break;
        }
        size_t n = std::min<size_t>(PROGRAM_PAGE, len - done);
        for (size_t i = done; i < done + n; i++)
            cur[i] &= src[i];
        done += n;
    }
    if (done && pwrite(fd, cur.data(), done, offset) != (ssize_t)done)
        return -1;
    if (cut) {
        errno = EIO;
        return -1;
    }
    return (ssize_t)len;
}

int platform_flash_erase(int fd, uint32_t offset, uint32_t len)
{
    if (fd < 0) {
        errno = EBADF;
        return -1;
    }
    // The MTD driver refuses ranges that are not whole erase blocks.
    if (offset % PLATFORM_FLASH_ERASE_SIZE || len % PLATFORM_FLASH_ERASE_SIZE || len == 0 ||
        (uint64_t)offset + len > PLATFORM_FLASH_SIZE) {
        errno = EINVAL;
        return -1;
    }
    std::lock_guard<std::mutex> lock(flash_io_mutex);
    std::vector<uint8_t> ones(ERASE_STEP, 0xFF);
    for (uint32_t off = offset; off < offset + len; off += ERASE_STEP) {
        if (!step_allowed()) {
            errno = EIO;
            return -1;
        }
        if (pwrite(fd, ones.data(), ones.size(), off) != (ssize_t)ones.size())
            return -1;
    }
    return 0;
}

void platform_flash_close(int fd)
{
    if (fd >= 0)
        close(fd);
}
