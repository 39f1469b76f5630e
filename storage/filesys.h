// Storage sources: the SD card, internal and USB media, mounted read-only except while a
// writer holds a reference, under one lock that names its holder on contention; the 1 s tick
// that mounts and unmounts media and starts the recording after the first mount; a small file API.
#pragma once
#include <cstddef>
#include <cstdio>
#include <cstdint>
#include <pthread.h>

struct ParamBlock;

enum { FILESYS_SOURCES = 3, FILESYS_SD = 0, FILESYS_INT = 1, FILESYS_EXT = 2 };
enum { FILESYS_ITEM_MAX = 1024 };   // longest item path below a source's folder
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
// An item of a source's folder is "name" or "dir/.../name", every part a plain name (not "."
// nor ".."). Items are opened and deleted without following a link anywhere from the folder
// down, and only when they are regular files: a prepared medium cannot lead outside its folder.
bool filesys_item_valid(const char *item);
int filesys_open_folder(int source, const char *sub);   // directory fd of the folder or one below it ("")
int filesys_open_item(int source, const char *item);    // read-only fd of a regular file; -1 otherwise
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

// Further file operations (filesys_ops.cpp); nothing on a recording or streaming path uses
// them. Names are relative to the mount path (or its "DCIM" folder where said) and may not
// hold a ".." component. Returned strings and buffers are the caller's to free.
// The recorder's next file: its base name in name (at most min(size, 100) bytes with the
// terminator) when one begins within wait_ms, else "unknown"; returns the wait's result.
int getRecordFilename(char *name, size_t size, int wait_ms);
int64_t filesys_total_space(int source);          // bytes, -1 unmounted or not measured
int64_t filesys_free_space(int source);
void filesys_recalculate_free_space(int source);
int filesys_count_devices();
void unmount_all();
char *filesys_get_file_on(int source, const char *name);
char *filesys_get_file(const char *name);         // searched on sources 2, 1, 0
int file_exists_on(int source, const char *name);
// A writing mode ("w", "a" or "+") holds a writer reference until filesys_fclose_w.
FILE *filesys_fopen(int source, const char *name, const char *mode);
int filesys_fclose(int source, FILE *f);
int filesys_fclose_w(int source, FILE *f);
uint8_t *filesys_readfile(int source, const char *name, size_t *count);   // null: empty or short
int filesys_writefile(int source, const char *name, const void *data, size_t length);
int filesys_unlink(int source, const char *name);
int filesys_rename(int source, const char *from, const char *to);        // in "DCIM"; -2 taken
// Copies a "DCIM" file between the SD card (0) and the internal medium (1), either way.
enum {
    FILESYS_ERR_CANCELLED = -1,
    FILESYS_ERR_FILE_EXISTS = -2,
    FILESYS_ERR_NO_SPACE = -3,
    FILESYS_ERR_FILE_WRITE = -4,
    FILESYS_ERR_FILE_READ = -5,
    FILESYS_ERR_UNEXPECTED = -6,
};
int filesys_copy(int source, const char *name, int overwrite);   // 0 or FILESYS_ERR_*
const char *filesys_copy_strerror(int code);
int filesys_load_config_params(int source);      // "config.txt" in the mount path
int filesys_save_log();                          // to the first mounted of sources 2, 1, 0
int filesys_save_dmesg();
int filesys_wait_read_only();                    // 100 when quit came first, else 0
int filesys_all_read_only();
int filesys_problem_kind();                      // row 0 is of kind 2
int filesys_check_source(int source);            // the source, or -1
