#include "storage/filesys.h"

#include "core/log.h"
#include "core/param.h"
#include "core/proc.h"
#include "core/quit.h"
#include "core/threads.h"
#include "core/util.h"
#include "platform/platform.h"
#include "streams/stream.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <strings.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

StorageMount storage_mount[FILESYS_SOURCES];
pthread_mutex_t filesys_mutex = PTHREAD_MUTEX_INITIALIZER;

namespace {

const char *const mount_points[FILESYS_SOURCES] = {"/media/mmc", "/media/int", "/media/ext"};
constexpr char SD_DEVICE[] = "/dev/mmcblk0p1";
constexpr uint32_t FAT_MAGIC = 0x4d44;
constexpr int CMD_MAX = 99;
constexpr int MOUNT_CMD_MAX = 79;
constexpr int BUSY_RETRIES = 10;     // a device busy for good must not hold the tick for ever

const char *holder_function = "";
int holder_line;

// Under the lock.
int multi_source = -1;
int64_t multi_done, multi_total;
int autostart_countdown;
int first_tick = 1;
int first_mount = 1;
int storage_problem;

bool valid(int source)
{
    return source >= 0 && source < FILESYS_SOURCES;
}

// Where a system path lives on this platform.
struct Real {
    char path[4096];
    explicit Real(const char *p) { platform_path(p, path, sizeof path); }
};

void init_rows()
{
    memset(storage_mount, 0, sizeof storage_mount);
    snprintf(storage_mount[0].device, sizeof storage_mount[0].device, "%s", SD_DEVICE);
    for (StorageMount &r : storage_mount) {
        r.availBlocks = r.totalBlocks = -1;
        r.blockSize = -1;
    }
}

struct RowsInit {
    RowsInit() { init_rows(); }
} rows_init;

bool device_present(const StorageMount &r)
{
    if (!r.device[0])
        return false;
    struct stat st;
    return stat(Real(r.device).path, &st) == 0;
}

bool ends_with_nocase(const char *text, const char *tail)
{
    size_t n = strlen(text), t = strlen(tail);
    return n >= t && strcasecmp(text + n - t, tail) == 0;
}

} // namespace

void filesys_lock(pthread_mutex_t *mutex, int line, const char *function)
{
    if (pthread_mutex_trylock(mutex) != 0) {
        log_printf("locked line %s:%d, by %s:%d\n", function, line, holder_function, holder_line);
        pthread_mutex_lock(mutex);
    }
    holder_function = function;
    holder_line = line;
}

void filesys_unlock()
{
    pthread_mutex_unlock(&filesys_mutex);
}

int filesys_is_mounted(int source)
{
    return valid(source) && storage_mount[source].mountPath ? 1 : 0;
}

int64_t file_size(const char *path)
{
    struct stat st;
    if (!path || stat(Real(path).path, &st) != 0)
        return -1;
    return (int64_t)st.st_size;
}

int path_exists(const char *path)
{
    if (!path || !*path)
        return 0;
    size_t len = strlen(path);
    struct stat st;
    if (path[len - 1] == '/')
        return stat(Real(path).path, &st) == 0 ? 1 : 0;
    // Looked up by exact name: the FAT media match names without regard to case.
    const char *slash = strrchr(path, '/');
    std::string parent = !slash ? "." : slash == path ? "/" : std::string(path, (size_t)(slash - path));
    const char *leaf = slash ? slash + 1 : path;
    DIR *d = opendir(Real(parent.c_str()).path);
    if (!d)
        return 0;
    int found = 0;
    while (dirent *e = readdir(d)) {
        if (strcmp(e->d_name, leaf) == 0) {
            found = 1;
            break;
        }
    }
    closedir(d);
    return found;
}

int write_file(const char *path, const char *text)
{
    Real real(path);
    FILE *f = fopen(real.path, "w");
    if (!f) {
        perror(path);
        return -1;
    }
    int r = fputs(text, f);
    if (fclose(f) != 0)
        r = -1;
    return r < 0 ? -1 : r;
}

void set_fd_flags(int fd, int flags)
{
    int cur = fcntl(fd, F_GETFL);
    if (cur < 0) {
        perror("F_GETFL");
        return;
    }
    int next = flags < 0 ? (cur & flags) : (cur | flags);
    if (fcntl(fd, F_SETFL, next) < 0)
        perror("F_SETFL");
}

char *filesys_getdir(int source)
{
    if (!valid(source))
        return nullptr;
    FILESYS_LOCK();
    const char *mnt = storage_mount[source].mountPath;
    char *dir = nullptr;
    if (!mnt)
        log_printf("%s: source=%d i=%d mnt=(NULL) sub=%s\n", "filesys_getdir", source, source, "DCIM");
    else if (asprintf(&dir, "%s/%s", mnt, "DCIM") < 0)
        dir = nullptr;
    filesys_unlock();
    return dir;
}

void filesys_writer_get(int source)
{
    if (!valid(source))
        return;
    if (storage_mount[source].writers == 0)
        filesys_remount(source, "rw");
    storage_mount[source].writers++;
}

void filesys_writer_put(int source)
{
    if (!valid(source))
        return;
    StorageMount &r = storage_mount[source];
    if (r.writers <= 0) {
        log_printf("%s: source %d has no writer\n", "filesys_writer_put", source);
        return;
    }
    if (r.writers-- == 1)
        filesys_remount(source, "ro");
}

bool filesys_item_valid(const char *item)
{
    if (!item || !*item || strlen(item) > FILESYS_ITEM_MAX)
        return false;
    for (const char *p = item;;) {
        const char *slash = strchr(p, '/');
        size_t n = slash ? (size_t)(slash - p) : strlen(p);
        if (n == 0 || n > NAME_MAX || (n == 1 && p[0] == '.') || (n == 2 && p[0] == '.' && p[1] == '.'))
            return false;
        if (!slash)
            return true;
        p = slash + 1;
    }
}

namespace {

// The folder as a directory fd; the folder itself may not be a link (the mount point is ours).
int open_folder_fd(int source)
{
    char *dir = filesys_getdir(source);
    if (!dir)
        return -1;
    char *slash = strrchr(dir, '/');
    int fd = -1;
    if (slash) {
        *slash = 0;
        int parent = open(Real(dir).path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (parent >= 0) {
            fd = openat(parent, slash + 1, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            close(parent);
        }
    }
    free(dir);
    return fd;
}

// Opens the item's directories from the folder down, following no link; returns the last
// one's fd and points *leaf at the name inside it.
int walk_to_leaf(int source, const char *item, const char **leaf)
{
    if (!filesys_item_valid(item))
        return -1;
    int fd = open_folder_fd(source);
    for (const char *p = item; fd >= 0;) {
        const char *slash = strchr(p, '/');
        if (!slash) {
            *leaf = p;
            return fd;
        }
        std::string part(p, (size_t)(slash - p));
        int next = openat(fd, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        close(fd);
        fd = next;
        p = slash + 1;
    }
    return -1;
}

} // namespace

int filesys_open_folder(int source, const char *sub)
{
    if (!valid(source) || !sub)
        return -1;
    if (!*sub)
        return open_folder_fd(source);
    const char *leaf = nullptr;
    int dir = walk_to_leaf(source, sub, &leaf);
    if (dir < 0)
        return -1;
    int fd = openat(dir, leaf, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    close(dir);
    return fd;
}

int filesys_open_item(int source, const char *item)
{
    const char *leaf = nullptr;
    int dir = valid(source) ? walk_to_leaf(source, item, &leaf) : -1;
    if (dir < 0)
        return -1;
    // Non-blocking, so a FIFO on the medium cannot hold the opener.
    int fd = openat(dir, leaf, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    close(dir);
    struct stat st;
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        close(fd);
        errno = EINVAL;
        return -1;
    }
    if (fd >= 0)
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

int filesys_delete(int source, const char *name)
{
    if (!valid(source) || !name)
        return -1;
    const char *leaf = nullptr;
    int dir = walk_to_leaf(source, name, &leaf);
    if (dir < 0) {
        log_printf("%s: %s: no such item\n", "filesys_delete", name);
        return -1;
    }
    FILESYS_LOCK();
    bool in_multi = multi_source == source;
    if (!in_multi)
        filesys_writer_get(source);
    else if (multi_total)
        multi_done += 1000;
    struct stat st;
    int r = -1;
    if (fstatat(dir, leaf, &st, AT_SYMLINK_NOFOLLOW) != 0)
        perror("unlink");
    else if (!S_ISREG(st.st_mode))
        log_printf("%s: %s: not a file\n", "filesys_delete", name);
    else if ((r = unlinkat(dir, leaf, 0)) != 0)
        perror("unlink");
    if (!in_multi)
        filesys_writer_put(source);
    filesys_unlock();
    close(dir);
    return r == 0 ? 0 : -1;
}

void filesys_multi_start(int source, int64_t total)
{
    if (!valid(source))
        return;
    FILESYS_LOCK();
    if (multi_source < 0) {
        multi_source = source;
        multi_done = 0;
        multi_total = total / 1000;
        filesys_writer_get(source);
    }
    filesys_unlock();
}

void filesys_multi_finish(int source)
{
    if (!valid(source))
        return;
    FILESYS_LOCK();
    if (multi_source == source) {
        multi_source = -1;
        filesys_writer_put(source);
    }
    filesys_unlock();
}

void filesys_unmount(int source)
{
    if (!valid(source))
        return;
    StorageMount &r = storage_mount[source];
    if (!r.mountPath)
        return;
    if (r.writers >= 1) {
        if (!r.unmountReported)
            log_printf("can't unmount %s with %d writers\n", r.mountPath, r.writers);
        r.unmountReported = 1;
        return;
    }
    run_command("umount %s", r.mountPath);
    log_printf("unmounted %s (i=%d fs=%d)\n", r.mountPath, source, source);
    r.state = FILESYS_RO;
    r.mountPath = nullptr;
}

void calculate_free_space(int source)
{
    if (!valid(source) || !storage_mount[source].mountPath)
        return;
    char where[256];
    snprintf(where, sizeof where, "%s/.", storage_mount[source].mountPath);
    filesys_unlock();
    struct statfs st;
    int r = platform_statfs(Real(where).path, &st);
    if (r != 0)
        perror("statfs");
    FILESYS_LOCK();
    StorageMount &row = storage_mount[source];
    if (r != 0 || !row.mountPath)
        return;
    row.fat = (uint32_t)st.f_type == FAT_MAGIC ? 1 : 0;
    row.blockSize = (int32_t)st.f_bsize;
    row.totalBlocks = (int64_t)st.f_blocks;
    row.availBlocks = (int64_t)st.f_bavail;
    log_printf("%s: bsize=%d bavail=%lld fstype=%x\n", "calculate_free_space", row.blockSize,
               (long long)row.availBlocks, (unsigned)st.f_type);
}

void filesys_remount(int source, const char *mode)
{
    if (!valid(source) || !mode)
        return;
    StorageMount &r = storage_mount[source];
    int rw = strcmp(mode, "rw") == 0;
    if (r.mountPath && (r.state == rw || r.state == FILESYS_BUSY))
        return;
    char opts[32];
    snprintf(opts, sizeof opts, "%s%s", r.mountPath ? "remount," : "", mode);
    const char *extra = ",usefree";
    int busy = 0;
    for (;;) {
        if (!device_present(r)) {
            filesys_unmount(source);
            return;
        }
        char cmd[MOUNT_CMD_MAX + 1];
        int n = snprintf(cmd, sizeof cmd, "mount -o %s%s %s %s 2>&1", opts, extra, r.device, mount_points[source]);
        if (n < 0 || n > MOUNT_CMD_MAX) {
            log_printf("%s: mount command too long for %s\n", "filesys_remount", r.device);
            return;
        }
        log_printf("%s (rw=%d)\n", cmd, r.state);
        r.state = FILESYS_BUSY;
        filesys_unlock();
        char last[MOUNT_CMD_MAX + 1] = "";
        int status = -1;
        if (FILE *p = platform_popen(cmd)) {
            // The reason is at the end of the line, past the device and mount point.
            char *line = nullptr;
            size_t cap = 0;
            ssize_t len;
            while ((len = getline(&line, &cap, p)) > 0)
                snprintf(last, sizeof last, "%s", len > MOUNT_CMD_MAX ? line + len - MOUNT_CMD_MAX : line);
            free(line);
            status = platform_pclose(p);
        }
        FILESYS_LOCK();
        if (status == 0) {
            r.mountPath = mount_points[source];
            r.unmountReported = 0;
            r.state = (uint8_t)rw;
            if (rw)
                return;
            r.availBlocks = r.totalBlocks = -1;
            r.blockSize = -1;
            calculate_free_space(source);
            // Some card drivers report free space past the size under "usefree".
            if (r.mountPath && r.availBlocks > r.totalBlocks && *extra) {
                run_command("umount %s", mount_points[source]);
                r.state = FILESYS_RO;
                r.mountPath = nullptr;
                extra = "";
                snprintf(opts, sizeof opts, "%s", mode);
                continue;
            }
            return;
        }
        log_printf("ret=%d %s\n", status, last);
        if (ends_with_nocase(last, "failed: No such device or address\n") && r.kind == 2) {
            log_printf("Filesys storage problem detected\n");
            storage_problem = 1;
            return;
        }
        if (ends_with_nocase(last, "failed: Invalid argument\n")) {
            if (*extra) {
                extra = "";
                continue;
            }
            log_printf("Unsupported filesystem type\n");
            return;
        }
        if (ends_with_nocase(last, "failed: Device or resource busy\n")) {
            log_printf("Filesystem busy, retrying...\n");
            filesys_unlock();
            sleep_ms(1000);
            FILESYS_LOCK();
            if (quit_requested() || ++busy >= BUSY_RETRIES)
                return;
            continue;
        }
        if (ends_with_nocase(last, "failed: No medium found\n"))
            filesys_unmount(source);
        return;
    }
}

int filesys_save_log_to(int source, int what)
{
    if (what != 0 && what != 1)
        return -1;
    FILESYS_LOCK();
    if (!valid(source) || !storage_mount[source].mountPath) {
        log_printf("%s: src %d not mounted\n", "filesys_save_log_to", source);
        filesys_unlock();
        return -1;
    }
    const char *mnt = storage_mount[source].mountPath;
    filesys_writer_get(source);
    int r;
    if (what == 0) {
        char path[256];
        snprintf(path, sizeof path, "%s/log.txt", mnt);
        r = log_ring_dump(Real(path).path);
    } else {
        r = run_command("dmesg > %s/dmesg.txt", mnt);
    }
    filesys_writer_put(source);
    filesys_unlock();
    return r;
}

void fileSysTick(ParamBlock *params)
{
    FILESYS_LOCK();
    if (first_tick) {
        first_tick = 0;
        // Recordings reach the medium within about a second.
        write_file("/proc/sys/vm/dirty_writeback_centisecs", "50");
        write_file("/proc/sys/vm/dirty_expire_centisecs", "100");
        for (int i = 0; i < FILESYS_SOURCES; i++) {
            struct stat st;
            if (stat(Real(mount_points[i]).path, &st) == 0) {
                // Stale mounts of an earlier run; bounded in case umount keeps failing.
                for (int n = 0; n < 8; n++)
                    if (run_command("mount | grep -q \"on %s\" && umount %s", mount_points[i], mount_points[i]) != 0)
                        break;
            } else {
                log_printf("%s: initializing mount points %d=%s dev=%s\n", "fileSysTick", i, mount_points[i],
                           storage_mount[i].device);
                run_command("mkdir -p %s", mount_points[i]);
            }
        }
    }
    for (int i = 0; i < FILESYS_SOURCES; i++) {
        StorageMount &r = storage_mount[i];
        if (i > 0 && !r.mountPath)
            continue;
        bool present = device_present(r);
        if (!present && r.mountPath) {
            filesys_unmount(i);
        } else if (present && !r.mountPath) {
            filesys_remount(i, "ro");
            if (r.mountPath && first_mount) {
                first_mount = 0;
                int mode = params ? params->Recording.StartMode : 0;
                if (mode == 1)
                    autostart_countdown = 1;
                else if (mode > 1)
                    autostart_countdown = mode + 1;
            }
        }
    }
    if (autostart_countdown > 0 && --autostart_countdown == 0 && stream_get_state_by_id(RECORD_STREAM) == 0)
        stream_set_state_by_id(RECORD_STREAM, STREAM_START);
    filesys_unlock();
}

void fileSysDone()
{
    run_command("sync");
    FILESYS_LOCK();
    for (StorageMount &r : storage_mount) {
        if (!r.mountPath)
            continue;
        run_command("umount %s", r.mountPath);
        log_printf("unmounted %s\n", r.mountPath);
        r.mountPath = nullptr;
        r.state = FILESYS_RO;
    }
    filesys_unlock();
}

int getRecordingStorage(char *buf, size_t size)
{
    if (!buf || size == 0)
        return 0;
    int source = -1;
    const char *mnt = nullptr;
    FILESYS_LOCK();
    for (int i = 0; i < FILESYS_SOURCES && source < 0; i++)
        if (storage_mount[i].mountPath)
            source = i, mnt = storage_mount[i].mountPath;
    filesys_unlock();
    if (source < 0) {
        snprintf(buf, size, "Not present");
        return (int)strlen(buf);
    }
    char cmd[CMD_MAX + 1];
    snprintf(cmd, sizeof cmd, "df -h %s", mnt);
    char lines[2][256] = {"", ""};
    FILE *p = platform_popen(cmd);
    if (p) {
        for (char *line : {lines[0], lines[1]})
            if (!fgets(line, sizeof lines[0], p))
                break;
        while (fgetc(p) != EOF) {
        }
        platform_pclose(p);
    }
    // df pads its columns with runs of blanks.
    const char *field[6] = {};
    int count = 0;
    for (char *save = nullptr, *tok = strtok_r(lines[1], " \t\n", &save); tok && count < 6;
         tok = strtok_r(nullptr, " \t\n", &save))
        field[count++] = tok;
    int n;
    if (count < 5) {
        log_printf("%s: unexpected df output: %s", "getRecordingStorage", lines[1][0] ? lines[1] : "(none)\n");
        n = snprintf(buf, size, "%s: unknown", source == 0 ? "MMC" : "USB");
    } else {
        n = snprintf(buf, size, "%s: %s (%s) used, %s available", source == 0 ? "MMC" : "USB", field[2], field[4],
                     field[3]);
    }
    return n < 0 ? 0 : n >= (int)size ? (int)size - 1 : n;
}

int encode_status_text(int channel, char *buf, size_t size)
{
    if (!buf || size == 0)
        return 0;
    channel = channel < 0 ? 0 : channel > 1 ? 1 : channel;
    VideoEnv *env = video_env_get(channel);
    int n = env ? snprintf(buf, size, "Encode[%d], frames: %d, status: %d, alarm_count: %d", channel,
                           (int)env->frameCount, env->status, alarm_count())
                : snprintf(buf, size, "Encode[NULL]");
    return n < 0 ? 0 : n >= (int)size ? (int)size - 1 : n;
}

int filesys_storage_problem()
{
    return storage_problem;
}

void filesys_set_device(int source, const char *device)
{
    if (!valid(source))
        return;
    FILESYS_LOCK();
    snprintf(storage_mount[source].device, sizeof storage_mount[source].device, "%s", device ? device : "");
    filesys_unlock();
}

void filesys_reset()
{
    FILESYS_LOCK();
    init_rows();
    multi_source = -1;
    multi_done = multi_total = 0;
    autostart_countdown = 0;
    first_tick = 1;
    first_mount = 1;
    storage_problem = 0;
    filesys_unlock();
}
