#include "services/firmware.h"
#include "core/board.h"
#include "core/crc32.h"
#include "core/log.h"
#include "core/mtd.h"
#include "core/quit.h"
#include "platform/platform.h"
#include "streams/stream.h"
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

enum UploadPhase { PHASE_IDLE, PHASE_RECEIVING, PHASE_FLASHING };

// One update at a time: the image belongs to the state from the upload's start until the
// flash thread ends, and only the thread frees it once flashing began.
struct UploadState {
    pthread_mutex_t mutex;
    uint8_t *image;
    uint32_t received;
    uint32_t expected;
    const char *message;
    int phase;
    bool thread;                // the flash thread was started for this image
    bool streams_stopped;       // an upload stopped them: an update that fails starts them again
    uint32_t held_streams;      // what stream_stop_all returned
};

UploadState upload = {PTHREAD_MUTEX_INITIALIZER, nullptr, 0, 0, nullptr, PHASE_IDLE, false, false, 0};

uint32_t be32(const uint8_t *p)
{
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

void set_message(const char *text)
{
    pthread_mutex_lock(&upload.mutex);
    upload.message = text;
    pthread_mutex_unlock(&upload.mutex);
}

// Back to idle. An update that ends without the restart gives the streams back; under the
// mutex, so a new upload cannot stop them first and then see them started.
void reset_locked(bool restarting = false)
{
    free(upload.image);
    upload.image = nullptr;
    upload.received = 0;
    upload.expected = 0;
    upload.phase = PHASE_IDLE;
    upload.thread = false;
    if (upload.streams_stopped && !restarting)
        stream_resume_all(upload.held_streams);
    upload.streams_stopped = false;
    upload.held_streams = 0;
}

// Claims the update for a caller; false (and a log line) while another one runs.
bool claim_locked(const char *who)
{
    if (upload.phase == PHASE_IDLE)
        return true;
    log_printf("%s: another update is in progress\n", who);
    return false;
}

void yield_cpu()
{
    sched_yield();
}

// Erase, then the data, then the header last: an interrupted write leaves no valid header.
bool write_image(const uint8_t *image, uint32_t size)
{
    log_printf("%s: erasing %d bytes\n", "flash_kernel_image", (int)size);
    for (uint32_t off = 0; off < size; off += MTD_ERASE_SIZE) {
        if (mtd_erase_block(FIRMWARE_MAIN_OFFSET + off, MTD_ERASE_SIZE) != 0) {
            set_message("error erasing block");
            return false;
        }
    }
    log_printf("%s: writing %d bytes\n", "flash_kernel_image", (int)size);
    for (uint32_t off = FIRMWARE_HEADER_SIZE; off < size;) {
        uint32_t n = size - off < 4096 ? size - off : 4096;
        if (mtd_write(image + off, FIRMWARE_MAIN_OFFSET + off, n) != (ssize_t)n) {
            set_message("error writing block");
            return false;
        }
        off += n;
    }
    if (mtd_write(image, FIRMWARE_MAIN_OFFSET, FIRMWARE_HEADER_SIZE) != (ssize_t)FIRMWARE_HEADER_SIZE) {
        set_message("error writing block");
        return false;
    }
    return true;
}

// After a successful write: let the page see the message, then restart (or halt in safe boot).
void flash_done()
{
    log_printf("%s: waiting for web page to see message\n", "flash_thread");
    for (int i = 0; i < 50; i++) {
        pthread_mutex_lock(&upload.mutex);
        bool taken = upload.message == nullptr;
        pthread_mutex_unlock(&upload.mutex);
        if (taken)
            break;
        usleep(100000);   // without the mutex: the getter needs it
    }
    log_printf("%s: done\n", "flash_thread");
    quit_set(safe_boot ? QUIT_HALT : QUIT_REBOOT, true);
}

void *flash_thread(void *)
{
    pthread_mutex_lock(&upload.mutex);
    const uint8_t *image = upload.image;
    uint32_t received = upload.received, expected = upload.expected;
    pthread_mutex_unlock(&upload.mutex);
    log_printf("%s: fw total=%u fw_size=%u\n", "flash_thread", received, expected);
    // Flashing: nobody else frees or refills the buffer until the reset below.
    bool written = image && received == expected && firmware_flash_image(image, received);
    if (written)
        flash_done();
    pthread_mutex_lock(&upload.mutex);
    reset_locked(written);
    pthread_mutex_unlock(&upload.mutex);
    return nullptr;
}

// An image file's descriptor and size, refused unless it can be a whole image.
int open_image_file(const char *path, uint32_t *size)
{
    char mapped[4096];
    int fd = open(platform_path(path, mapped, sizeof mapped), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        log_printf("%s: could not open %s\n", "firmware_upload_file", path);
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_size <= FIRMWARE_HEADER_SIZE || st.st_size > FIRMWARE_MAX_SIZE) {
        log_printf("%s: %s is no image (%lld bytes)\n", "firmware_upload_file", path, (long long)st.st_size);
        close(fd);
        return -1;
    }
    *size = (uint32_t)st.st_size;
    log_printf("%s %s size %d\n", "firmware_upload_file", path, (int)*size);
    return fd;
}

} // namespace

bool firmware_header_check(const void *header, uint64_t total)
{
    const uint8_t *h = static_cast<const uint8_t *>(header);
    return be32(h) == FIRMWARE_MAGIC && (uint64_t)be32(h + 12) + FIRMWARE_HEADER_SIZE == total;
}

bool firmware_flash_image(const uint8_t *image, uint32_t size)
{
    if (size < FIRMWARE_HEADER_SIZE || !firmware_header_check(image, size)) {
        set_message("not a valid firmware file");
        return false;
    }
    if (size > FIRMWARE_MAX_SIZE) {
        set_message("Firmware file too large");
        return false;
    }
    set_message("Verifying image");
    uint32_t crc = crc32_yield(image + FIRMWARE_HEADER_SIZE, size - FIRMWARE_HEADER_SIZE, yield_cpu);
    if (crc != be32(image + 24)) {
        set_message("not a valid firmware file");
        return false;
    }
    uint8_t stored[FIRMWARE_HEADER_SIZE];
    if (mtd_read(stored, FIRMWARE_MAIN_OFFSET, sizeof stored) == (ssize_t)sizeof stored &&
        memcmp(stored, image, sizeof stored) == 0) {
        set_message("No update needed");
        return false;
    }
    set_message("Writing to flash");
    char path[4096];
    if (FILE *f = fopen(platform_path("/proc/sys/vm/drop_caches", path, sizeof path), "w")) {
        fputs("1", f);
        fclose(f);
    }
    gpio_blink_xled(1);
    bool ok = write_image(image, size);
    if (ok)
        set_message(safe_boot ? "Update complete, cycle power to restart" : "Restarting");
    gpio_blink_xled(0);
    return ok;
}

int firmware_upload_init(const void *chunk, size_t size)
{
    const uint8_t *c = static_cast<const uint8_t *>(chunk);
    pthread_mutex_lock(&upload.mutex);
    int rc = -1;
    if (!claim_locked("firmware_upload_init")) {
        rc = FIRMWARE_BUSY;
    } else if (size == 0) {
    } else if (size < FIRMWARE_HEADER_SIZE) {
        upload.message = "firmware file too small";
    } else if (be32(c) != FIRMWARE_MAGIC) {
        upload.message = "not a valid firmware file";
    } else {
        // Counted in 64 bits: a data size near 2^32 must not wrap to a tiny image.
        uint64_t expected = (uint64_t)be32(c + 12) + FIRMWARE_HEADER_SIZE;
        char name[33];
        memcpy(name, c + 32, 32);
        name[32] = 0;
        for (char *p = name; *p; p++)
            if ((unsigned char)*p < 0x20 || (unsigned char)*p >= 0x7f)
                *p = '?';
        log_printf("%s: initial size=%u fw_size=%u name=%s\n", "firmware_upload_init", (unsigned)size,
                   (unsigned)(expected > UINT32_MAX ? UINT32_MAX : expected), name);
        if (expected > FIRMWARE_MAX_SIZE) {
            upload.message = "firmware file too large";
        } else if (!(upload.image = static_cast<uint8_t *>(malloc(expected)))) {
            upload.message = "out of memory";
            upload.expected = 0;
        } else {
            upload.expected = (uint32_t)expected;
            upload.received = 0;
            upload.phase = PHASE_RECEIVING;
            upload.message = "uploading";
            // The board's CPU and memory go to the upload; a refused header stops nothing.
            upload.held_streams = stream_stop_all();
            upload.streams_stopped = true;
            rc = 0;
        }
    }
    pthread_mutex_unlock(&upload.mutex);
    return rc;
}

int firmware_upload_data(const void *chunk, size_t size)
{
    const uint8_t *c = static_cast<const uint8_t *>(chunk);
    pthread_mutex_lock(&upload.mutex);
    if (upload.phase != PHASE_RECEIVING) {
        pthread_mutex_unlock(&upload.mutex);
        return 0;
    }
    if ((uint64_t)upload.received + size > upload.expected) {
        uint8_t b[4] = {0, 0, 0, 0};
        memcpy(b, c, size < 4 ? size : 4);
        log_printf("oversized packet: fw_len=%u fw_size=%u size=%u  %x=%02x%02x%02x%02x\n", upload.received,
                   upload.expected, (unsigned)size, 0, b[0], b[1], b[2], b[3]);
        size = upload.expected - upload.received;
    }
    memcpy(upload.image + upload.received, c, size);
    upload.received += (uint32_t)size;
    bool start = size != 0 && upload.received == upload.expected;
    if (start) {
        log_printf("upload_finish: fw_len=%u fw_size=%u size=%u\n", upload.received, upload.expected,
                   (unsigned)size);
        upload.phase = PHASE_FLASHING;
    }
    pthread_mutex_unlock(&upload.mutex);
    if (start)
        firmware_start_flash();
    return 0;
}

int firmware_start_flash()
{
    // One thread per complete image: a thread on an upload still arriving would reset it.
    pthread_mutex_lock(&upload.mutex);
    bool complete = upload.phase == PHASE_FLASHING && upload.image && !upload.thread;
    upload.thread = upload.thread || complete;
    pthread_mutex_unlock(&upload.mutex);
    if (!complete)
        return -1;
    pthread_t t;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    int rc = -1;
    if (platform_realtime_allowed()) {
        sched_param sp = {};
        sp.sched_priority = sched_get_priority_min(SCHED_FIFO);
        pthread_attr_setinheritsched(&attr, PTHREAD_EXPLICIT_SCHED);
        pthread_attr_setschedpolicy(&attr, SCHED_FIFO);
        pthread_attr_setschedparam(&attr, &sp);
        rc = pthread_create(&t, &attr, flash_thread, nullptr);
    }
    if (rc != 0) {   // real-time refused: normal scheduling
        pthread_attr_destroy(&attr);
        pthread_attr_init(&attr);
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        rc = pthread_create(&t, &attr, flash_thread, nullptr);
    }
    pthread_attr_destroy(&attr);
    pthread_mutex_lock(&upload.mutex);
    if (rc == 0) {
        if (upload.message && strcmp(upload.message, "uploading") == 0)
            upload.message = "Verifying image";
    } else {
        errno = rc;
        perror("pthread_create");
        upload.message = "failed to start update";
        reset_locked();
    }
    pthread_mutex_unlock(&upload.mutex);
    return rc == 0 ? 0 : -1;
}

void upload_finish()
{
    pthread_mutex_lock(&upload.mutex);
    if (upload.phase == PHASE_FLASHING) {
        // the flash thread gives the verdict and frees the image
    } else if (upload.phase == PHASE_RECEIVING) {
        log_printf("%s: fw_len=%u fw_size=%u\n", "upload_finish", upload.received, upload.expected);
        reset_locked();
        upload.message = "Firmware image truncated";
    } else if (!upload.message) {
        upload.message = "Firmware upload failed";
    }
    pthread_mutex_unlock(&upload.mutex);
}

bool firmware_upload_active()
{
    pthread_mutex_lock(&upload.mutex);
    bool active = upload.phase != PHASE_IDLE;
    pthread_mutex_unlock(&upload.mutex);
    return active;
}

const char *firmware_take_message()
{
    pthread_mutex_lock(&upload.mutex);
    const char *m = upload.message;
    upload.message = nullptr;
    pthread_mutex_unlock(&upload.mutex);
    return m;
}

uint32_t firmware_image_time()
{
    uint8_t t[4] = {0xff, 0xff, 0xff, 0xff};
    mtd_read(t, FIRMWARE_MAIN_OFFSET + 8, 4);
    if (be32(t) == 0xffffffffu || safe_boot) {
        memset(t, 0xff, 4);
        mtd_read(t, FIRMWARE_SAFE_OFFSET + 8, 4);
    }
    return be32(t);
}

const char *firmware_date_text()
{
    static char text[64] = "Firmware invalid";
    time_t when = (time_t)firmware_image_time();
    struct tm tm;
    if (localtime_r(&when, &tm))
        snprintf(text, sizeof text, "%04d %02d%02d %02d%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                 tm.tm_hour, tm.tm_min);
    return text;
}

int firmware_flash_file(const char *path)
{
    uint32_t size = 0;
    int fd = open_image_file(path, &size);
    if (fd < 0)
        return -1;
    uint8_t *image = static_cast<uint8_t *>(malloc(size));
    bool read_whole = image && pread(fd, image, size, 0) == (ssize_t)size;
    close(fd);
    pthread_mutex_lock(&upload.mutex);
    bool claimed = read_whole && claim_locked("firmware_flash_file");
    if (claimed) {
        upload.image = image;
        upload.expected = upload.received = size;
        upload.phase = PHASE_FLASHING;
        upload.message = "uploading";
    }
    pthread_mutex_unlock(&upload.mutex);
    if (!claimed) {
        free(image);
        return -1;
    }
    return firmware_start_flash();
}

int firmware_upload_file(const char *path)
{
    uint32_t size = 0;
    int fd = open_image_file(path, &size);
    if (fd < 0)
        return -1;
    void *map = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    uint8_t *image = nullptr;
    if (map != MAP_FAILED) {
        log_printf("mmap %p %p\n", map, (void *)((char *)map + size));
        image = static_cast<uint8_t *>(map);
    } else {
        map = nullptr;
        image = static_cast<uint8_t *>(malloc(size));
        if (image && pread(fd, image, size, 0) != (ssize_t)size) {
            free(image);
            image = nullptr;
        }
    }
    close(fd);
    pthread_mutex_lock(&upload.mutex);
    // The caller owns the image; the state only says that an update runs.
    bool claimed = image && claim_locked("firmware_upload_file");
    if (claimed)
        upload.phase = PHASE_FLASHING;
    pthread_mutex_unlock(&upload.mutex);
    bool ok = false;
    if (claimed) {
        ok = firmware_flash_image(image, size);
        pthread_mutex_lock(&upload.mutex);
        const char *final_message = upload.message;
        pthread_mutex_unlock(&upload.mutex);
        printf("%s\n", final_message ? final_message : "");
        if (ok)
            flash_done();
        pthread_mutex_lock(&upload.mutex);
        upload.phase = PHASE_IDLE;
        pthread_mutex_unlock(&upload.mutex);
    }
    if (map)
        munmap(map, size);
    else
        free(image);
    return ok ? 0 : -1;
}
