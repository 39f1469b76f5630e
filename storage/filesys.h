// Storage sources: the SD card, internal and USB media, mounted read-only except while a
// writer holds a reference, under one lock that names its holder on contention; the 1 s tick
// that mounts and unmounts media and starts the recording after the first mount; a small file API.
#pragma once
#include <cstddef>
#include <cstdint>
#include <pthread.h>

struct ParamBlock;

enum { FILESYS_SOURCES = 3, FILESYS_SD = 0, FILESYS_INT = 1, FILESYS_EXT = 2 };
enum : uint8_t { FILESYS_RO = 0, FILESYS_RW = 1, FILESYS_BUSY = 2 };

struct StorageMount {
    char device[20];            // block device node; rows 1 and 2 have none
    const char *mountPath;      // the row's mount point while mounted, else null
    uint8_t state;              // FILESYS_RO, FILESYS_RW, FILESYS_BUSY (mount running or failed)
    uint8_t kind;               // 2: "No such device or address" is a storage fault
    uint8_t spare;
    uint8_t unmountReported;    // the refused unmount was logged
    uint8_t fat;                // the file system reports the FAT magic
    int64_t availBlocks;        // -1 = not measured
    int64_t totalBlocks;
    int32_t blockSize;
    int32_t writers;
};

extern StorageMount storage_mount[FILESYS_SOURCES];
extern pthread_mutex_t filesys_mutex;

// Takes the lock; when it is held, logs who holds it first.
void filesys_lock(pthread_mutex_t *mutex, int line, const char *function);
void filesys_unlock();
#define FILESYS_LOCK() filesys_lock(&filesys_mutex, __LINE__, __func__)

// No lock.
int filesys_is_mounted(int source);
int64_t file_size(const char *path);
int path_exists(const char *path);
int write_file(const char *path, const char *text);
void set_fd_flags(int fd, int flags);

// Take the lock themselves.
char *filesys_getdir(int source);                 // "<mount>/DCIM", freed by the caller
int filesys_delete(int source, const char *name);
void filesys_multi_start(int source, int64_t total);
void filesys_multi_finish(int source);
int filesys_save_log_to(int source, int what);    // 0 "log.txt", 1 "dmesg.txt"
void fileSysTick(ParamBlock *params);
void fileSysDone();

// Called with the lock held.
void filesys_writer_get(int source);
void filesys_writer_put(int source);
void filesys_remount(int source, const char *mode);  // "ro" or "rw"; drops the lock meanwhile
void filesys_unmount(int source);
void calculate_free_space(int source);               // drops the lock meanwhile

// Parameter getters: the printed length.
int getRecordingStorage(char *buf, size_t size);
int encode_status_text(int channel, char *buf, size_t size);

int filesys_storage_problem();
// Names the device of a row that nothing else names (internal and USB media); tests use it.
void filesys_set_device(int source, const char *device);
// Back to the state at process start (tests).
void filesys_reset();
