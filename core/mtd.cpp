#include "core/mtd.h"

#include "core/log.h"
#include "platform/platform.h"

#include <cerrno>
#include <cstdio>
#include <pthread.h>

namespace {
int mtd_fd = -1;
uint32_t bl_version;
// Reads and writes use positioned I/O; the mutex keeps an erase and a write from interleaving
// with another thread's read of the same block.
pthread_mutex_t flash_mutex = PTHREAD_MUTEX_INITIALIZER;
} // namespace

int mtd_open()
{
    pthread_mutex_lock(&flash_mutex);
    if (mtd_fd < 0) {
        mtd_fd = platform_flash_open("/dev/mtd0");
        if (mtd_fd < 0)
            perror("open /dev/mtd0");
    }
    int fd = mtd_fd;
    pthread_mutex_unlock(&flash_mutex);
    if (fd < 0)
        return -1;
    uint32_t word = 0;
    if (mtd_read(&word, MTD_BOOTLOADER_OFFSET, sizeof word) == (ssize_t)sizeof word)
        bl_version = word == 0xE3A0C000u ? 0x10000u : word;
    return 0;
}

bool mtd_is_open()
{
    return mtd_fd >= 0;
}

ssize_t mtd_read(void *buffer, uint32_t offset, size_t length)
{
    pthread_mutex_lock(&flash_mutex);
    ssize_t n = platform_flash_pread(mtd_fd, buffer, length, offset);
    pthread_mutex_unlock(&flash_mutex);
    return n;
}

ssize_t mtd_write(const void *data, uint32_t offset, size_t length)
{
    pthread_mutex_lock(&flash_mutex);
    ssize_t n = platform_flash_pwrite(mtd_fd, data, length, offset);
    pthread_mutex_unlock(&flash_mutex);
    if (n < 0) {
        perror("write");
        log_printf("%s: write returned %d  offset=%u len=%zu\n", "mtd_write", (int)n, offset, length);
    } else if ((size_t)n != length) {
        log_printf("%s: write returned %d  offset=%u len=%zu\n", "mtd_write", (int)n, offset, length);
        return -1;
    }
    return n;
}

int mtd_erase_block(uint32_t offset, uint32_t length)
{
    uint32_t start = offset & ~(MTD_ERASE_SIZE - 1);
    uint32_t len = (length + (offset % MTD_ERASE_SIZE) + MTD_ERASE_SIZE - 1) & ~(MTD_ERASE_SIZE - 1);
    pthread_mutex_lock(&flash_mutex);
    int r = platform_flash_erase(mtd_fd, start, len);
    pthread_mutex_unlock(&flash_mutex);
    if (r != 0)
        log_printf("%s: ioctl MEMERASE returned %d  offset=%u\n", "mtd_erase_block", r, offset);
    return r;
}

void mtd_close()
{
    pthread_mutex_lock(&flash_mutex);
    platform_flash_close(mtd_fd);
    mtd_fd = -1;
    pthread_mutex_unlock(&flash_mutex);
}

uint32_t bootloader_version()
{
    return bl_version;
}

int mtd_read_factory(uint32_t words[4])
{
    return mtd_read(words, MTD_FACTORY_OFFSET, 16) == 16 ? 0 : -1;
}

int factory_serial_write(uint32_t serial)
{
    return mtd_write(&serial, MTD_SERIAL_OFFSET, 4) == 4 ? 0 : -1;
}

int factory_word_write(uint32_t value)
{
    return mtd_write(&value, MTD_FACTORY_WORD_OFFSET, 4) == 4 ? 0 : -1;
}

uint32_t factory_word_read()
{
    uint32_t v = 0;
    if (mtd_read(&v, MTD_FACTORY_WORD_OFFSET, 4) != 4 || v == 0xFFFFFFFFu)
        return 0;
    return v;
}
