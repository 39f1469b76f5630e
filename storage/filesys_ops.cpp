// Further storage file operations: space queries, single files opened, read, written, renamed,
// unlinked and copied between media, settings from a file on the medium, log saves. Each runs
// under the storage lock and holds a writer reference while it writes, like the rest of the
// storage module.
#include "storage/filesys.h"

#include "core/log.h"
#include "core/param_commit.h"
#include "core/quit.h"
#include "core/util.h"
#include "platform/platform.h"
#include "storage/record.h"

#include <cerrno>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr size_t COPY_CHUNK = 1 << 20;
constexpr size_t RECORD_NAME_COPY = 100;

struct Real {
    char path[4096];
    explicit Real(const char *p) { platform_path(p, path, sizeof path); }
};

// As perror, but into the log, where the web's log page and the UDP log see it.
void log_errno(const char *what)
{
    int e = errno;
    log_printf("%s: %s\n", what, strerror(e));
    errno = e;
}

bool valid(int source)
{
    return source >= 0 && source < FILESYS_SOURCES;
}

// A name stays inside its medium: no ".." component, nothing empty.
bool name_ok(const char *fn, const char *name)
{
    bool ok = name && *name;
    for (const char *p = name; ok && *p;) {
        const char *end = strchr(p, '/');
        size_t n = end ? (size_t)(end - p) : strlen(p);
        if (n == 2 && p[0] == '.' && p[1] == '.')
            ok = false;
        p += n + (end ? 1 : 0);
    }
    if (!ok)
        log_printf("%s: refused name %s\n", fn, name ? name : "(NULL)");
    return ok;
}

// Under the lock: "<mount>/<name>" or "<mount>/DCIM/<name>", empty when not mounted.
std::string on_medium(const char *fn, int source, const char *sub, const char *name)
{
    if (!valid(source)) {
        log_printf("%s: invalid source %d\n", fn, source);
        return "";
    }
    const char *mnt = storage_mount[source].mountPath;
    if (!mnt) {
        log_printf("%s: src %d not mounted\n", fn, source);
        return "";
    }
    std::string path = mnt;
    if (sub)
        path += std::string("/") + sub;
    return path + "/" + name;
}

double seconds_since(const timespec &t0)
{
    timespec t1;
    clock_gettime(CLOCK_MONOTONIC, &t1);
    return (double)(t1.tv_sec - t0.tv_sec) + (double)(t1.tv_nsec - t0.tv_nsec) / 1e9;
}

// The folders above path, made as needed; system paths.
bool make_parents(const std::string &path)
{
    for (size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1)) {
        std::string dir = path.substr(0, at);
        if (mkdir(Real(dir.c_str()).path, 0755) != 0 && errno != EEXIST) {
            log_errno(dir.c_str());
            return false;
        }
    }
    return true;
}

// Moves size bytes from in to out through a pipe; 0 or a copy error.
int splice_all(int in, int out, int64_t size)
{
    int pipefd[2];
    if (pipe2(pipefd, O_CLOEXEC) != 0) {
        log_errno("pipe");
        return FILESYS_ERR_UNEXPECTED;
    }
    int r = 0;
    int64_t left = size;
    while (left > 0 && r == 0) {
        if (quit_requested()) {
            r = FILESYS_ERR_CANCELLED;
            break;
        }
        ssize_t n = splice(in, nullptr, pipefd[1], nullptr, (size_t)std::min<int64_t>(left, COPY_CHUNK), SPLICE_F_MOVE);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            // The file shrank under us: the copy would be short.
            log_printf("error on read: %s\n", n < 0 ? strerror(errno) : "end of file");
            r = FILESYS_ERR_FILE_READ;
            break;
        }
        left -= n;
        while (n > 0) {
            ssize_t m = splice(pipefd[0], nullptr, out, nullptr, (size_t)n, SPLICE_F_MOVE);
            if (m < 0 && errno == EINTR)
                continue;
            if (m <= 0) {
                log_printf("error on write: %s\n", m < 0 ? strerror(errno) : "nothing written");
                r = FILESYS_ERR_FILE_WRITE;
                break;
            }
            n -= m;
        }
    }
    close(pipefd[0]);
    close(pipefd[1]);
    return r;
}

} // namespace

int getRecordFilename(char *name, size_t size, int wait_ms)
{
    char path[RECORD_NAME_COPY];
    int r = record_wait_next_file(path, sizeof path, wait_ms);
    if (!name || size == 0)
        return r;
    const char *base = "unknown";
    if (r == 0) {
        const char *slash = strrchr(path, '/');
        base = slash ? slash + 1 : path;
    }
    snprintf(name, size < RECORD_NAME_COPY ? size : RECORD_NAME_COPY, "%s", base);
    return r;
}

int64_t filesys_total_space(int source)
{
    if (!valid(source))
        return -1;
    FILESYS_LOCK();
    const StorageMount &r = storage_mount[source];
    int64_t v = r.mountPath && r.totalBlocks >= 0 && r.blockSize > 0 ? r.totalBlocks * r.blockSize : -1;
    filesys_unlock();
    return v;
}

int64_t filesys_free_space(int source)
{
    if (!valid(source))
        return -1;
    FILESYS_LOCK();
    const StorageMount &r = storage_mount[source];
    int64_t v = r.mountPath && r.availBlocks >= 0 && r.blockSize > 0 ? r.availBlocks * r.blockSize : -1;
    filesys_unlock();
    return v;
}

void filesys_recalculate_free_space(int source)
{
    FILESYS_LOCK();
    calculate_free_space(source);
    filesys_unlock();
}

int filesys_count_devices()
{
    log_printf("%s: %d\n", "filesys_count_devices", 0);
    return 0;
}

void unmount_all()
{
    FILESYS_LOCK();
    for (int i = 0; i < FILESYS_SOURCES; i++)
        filesys_unmount(i);
    filesys_unlock();
}

char *filesys_get_file_on(int source, const char *name)
{
    if (!name_ok("filesys_get_file_on", name))
        return nullptr;
    FILESYS_LOCK();
    std::string path = on_medium("filesys_get_file_on", source, nullptr, name);
    filesys_unlock();
    return path.empty() ? nullptr : strdup(path.c_str());
}

char *filesys_get_file(const char *name)
{
    if (!name_ok("filesys_get_file", name))
        return nullptr;
    char *found = nullptr;
    FILESYS_LOCK();
    for (int i = FILESYS_SOURCES - 1; i >= 0 && !found; i--) {
        const StorageMount &r = storage_mount[i];
        if (!r.mountPath || r.state == FILESYS_BUSY)
            continue;
        std::string path = std::string(r.mountPath) + "/" + name;
        if (path_exists(path.c_str()))
            found = strdup(path.c_str());
    }
    filesys_unlock();
    return found;
}

int file_exists_on(int source, const char *name)
{
    if (!name_ok("file_exists_on", name))
        return 0;
    FILESYS_LOCK();
    std::string path = on_medium("file_exists_on", source, nullptr, name);
    int r = path.empty() ? 0 : path_exists(path.c_str());
    filesys_unlock();
    return r;
}

FILE *filesys_fopen(int source, const char *name, const char *mode)
{
    if (!mode || !name_ok("filesys_fopen", name))
        return nullptr;
    bool writing = strpbrk(mode, "wa+") != nullptr;
    FILESYS_LOCK();
    std::string path = on_medium("filesys_fopen", source, nullptr, name);
    FILE *f = nullptr;
    if (!path.empty()) {
        if (writing)
            filesys_writer_get(source);
        f = fopen(Real(path.c_str()).path, mode);
        if (!f) {
            log_errno(path.c_str());
            // Nobody will close it: the medium goes back to read-only now.
            if (writing)
                filesys_writer_put(source);
        }
    }
    filesys_unlock();
    return f;
}

int filesys_fclose(int source, FILE *f)
{
    if (!f)
        return -1;
    FILESYS_LOCK();
    int r = fclose(f);
    filesys_unlock();
    if (r != 0)
        log_errno("fclose");
    if (!valid(source)) {
        log_printf("%s: invalid source %d\n", "filesys_fclose", source);
        return -1;
    }
    return r == 0 ? 0 : -1;
}

int filesys_fclose_w(int source, FILE *f)
{
    if (!f)
        return -1;
    FILESYS_LOCK();
    int r = fclose(f);
    if (r != 0)
        log_errno("fclose");   // data still buffered is lost
    if (valid(source))
        filesys_writer_put(source);
    else
        log_printf("%s: invalid source %d\n", "filesys_fclose_w", source);
    filesys_unlock();
    return r == 0 && valid(source) ? 0 : -1;
}

uint8_t *filesys_readfile(int source, const char *name, size_t *count)
{
    if (count)
        *count = 0;
    if (!name_ok("filesys_readfile", name))
        return nullptr;
    FILESYS_LOCK();
    std::string path = on_medium("filesys_readfile", source, nullptr, name);
    uint8_t *data = nullptr;
    size_t got = 0;
    int fd = path.empty() ? -1 : open(Real(path.c_str()).path, O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (!path.empty() && fd < 0) {
        log_errno(path.c_str());
    } else if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        log_printf("%s: %s is not a file\n", "filesys_readfile", path.c_str());
    } else if (fd >= 0 && st.st_size > 0) {
        size_t size = (size_t)st.st_size;
        data = static_cast<uint8_t *>(malloc(size));
        if (!data)
            log_printf("%s: no memory for %zu bytes of %s\n", "filesys_readfile", size, path.c_str());
        while (data && got < size) {
            ssize_t n = read(fd, data + got, size - got);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                log_printf("%s: %s: read %zu of %zu bytes: %s\n", "filesys_readfile", path.c_str(), got, size,
                           n < 0 ? strerror(errno) : "end of file");
                free(data);
                data = nullptr;
                got = 0;
            } else {
                got += (size_t)n;
            }
        }
    }
    if (fd >= 0)
        close(fd);
    filesys_unlock();
    if (count)
        *count = got;
    return data;
}

int filesys_writefile(int source, const char *name, const void *data, size_t length)
{
    if ((!data && length) || !name_ok("filesys_writefile", name))
        return -1;
    FILESYS_LOCK();
    std::string path = on_medium("filesys_writefile", source, nullptr, name);
    int r = -1;
    if (!path.empty()) {
        filesys_writer_get(source);
        FILE *f = fopen(Real(path.c_str()).path, "w");
        if (!f) {
            log_errno(path.c_str());
        } else {
            size_t n = length ? fwrite(data, 1, length, f) : 0;
            int c = fclose(f);
            if (n == length && c == 0)
                r = 0;
            else
                log_printf("%s: %s: wrote %zu of %zu bytes\n", "filesys_writefile", path.c_str(), n, length);
        }
        filesys_writer_put(source);
    }
    filesys_unlock();
    return r;
}

int filesys_unlink(int source, const char *name)
{
    if (!name_ok("filesys_unlink", name))
        return -1;
    FILESYS_LOCK();
    std::string path = on_medium("filesys_unlink", source, nullptr, name);
    int r = -1;
    if (!path.empty()) {
        filesys_writer_get(source);
        r = unlink(Real(path.c_str()).path);
        if (r != 0)
            log_errno(path.c_str());
        filesys_writer_put(source);
    }
    filesys_unlock();
    return r == 0 ? 0 : -1;
}

int filesys_rename(int source, const char *from, const char *to)
{
    if (!name_ok("filesys_rename", from) || !name_ok("filesys_rename", to))
        return -1;
    if (strcmp(from, to) == 0)
        return 0;
    FILESYS_LOCK();
    std::string old_path = on_medium("filesys_rename", source, "DCIM", from);
    std::string new_path = on_medium("filesys_rename", source, "DCIM", to);
    int r = -1;
    if (!old_path.empty() && path_exists(new_path.c_str())) {
        log_printf("%s: %s exists\n", "filesys_rename", new_path.c_str());
        r = -2;
    } else if (!old_path.empty()) {
        filesys_writer_get(source);
        r = rename(Real(old_path.c_str()).path, Real(new_path.c_str()).path);
        if (r != 0) {
            log_errno(old_path.c_str());
            r = -1;
        }
        filesys_writer_put(source);
    }
    filesys_unlock();
    return r;
}

const char *filesys_copy_strerror(int code)
{
    switch (code) {
    case 0:
        return "OK";
    case FILESYS_ERR_CANCELLED:
        return "ERR_CANCELLED";
    case FILESYS_ERR_NO_SPACE:
        return "ERR_NO_SPACE";
    case FILESYS_ERR_FILE_EXISTS:
        return "ERR_FILE_EXISTS";
    case FILESYS_ERR_FILE_WRITE:
        return "ERR_FILE_WRITE";
    case FILESYS_ERR_FILE_READ:
        return "ERR_FILE_READ";
    default:
        return "ERR_unexpected";
    }
}

int filesys_copy(int source, const char *name, int overwrite)
{
    // Only the SD card and the internal medium pair up.
    if (source != FILESYS_SD && source != FILESYS_INT) {
        log_printf("%s: source %d has no copy target\n", "filesys_copy", source);
        return FILESYS_ERR_UNEXPECTED;
    }
    if (!name_ok("filesys_copy", name))
        return FILESYS_ERR_UNEXPECTED;
    int target = source ^ 1;
    timespec t0;
    clock_gettime(CLOCK_MONOTONIC, &t0);

    FILESYS_LOCK();
    std::string from = on_medium("filesys_copy", source, "DCIM", name);
    std::string to = on_medium("filesys_copy", target, "DCIM", name);
    if (from.empty() || to.empty()) {
        filesys_unlock();
        return from.empty() ? FILESYS_ERR_FILE_READ : FILESYS_ERR_FILE_WRITE;
    }
    int in = open(Real(from.c_str()).path, O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (in < 0 || fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (in < 0)
            log_errno("file copy read");
        else
            log_printf("%s: %s is not a file\n", "filesys_copy", from.c_str());
        if (in >= 0)
            close(in);
        filesys_unlock();
        return FILESYS_ERR_FILE_READ;
    }
    int64_t size = st.st_size;
    int64_t old = path_exists(to.c_str()) ? file_size(to.c_str()) : -1;
    if (old >= 0 && !overwrite) {
        log_printf("%s: %s exists\n", "filesys_copy", to.c_str());
        close(in);
        filesys_unlock();
        return FILESYS_ERR_FILE_EXISTS;
    }
    // Recordings have used space since the mount measured it.
    calculate_free_space(target);
    int64_t avail = storage_mount[target].mountPath && storage_mount[target].availBlocks >= 0 &&
                            storage_mount[target].blockSize > 0
                        ? storage_mount[target].availBlocks * storage_mount[target].blockSize
                        : -1;
    if (!storage_mount[target].mountPath) {
        log_printf("%s: src %d not mounted\n", "filesys_copy", target);
        close(in);
        filesys_unlock();
        return FILESYS_ERR_FILE_WRITE;
    }
    int64_t dst = old > 0 ? old : 0;
    if (avail >= 0 && avail + dst < size) {
        log_printf("free %lld + dst %lld < size %lld\n", (long long)avail, (long long)dst, (long long)size);
        close(in);
        filesys_unlock();
        return FILESYS_ERR_NO_SPACE;
    }
    // The writer reference also keeps the target mounted while the lock is let go below.
    filesys_writer_get(target);
    int out = make_parents(to) ? open(Real(to.c_str()).path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644) : -1;
    if (out < 0)
        log_errno("file copy write");
    filesys_unlock();

    // The data moves without the lock: the web server's tick and the recorder go on meanwhile.
    int r = out < 0 ? FILESYS_ERR_FILE_WRITE : splice_all(in, out, size);
    if (out >= 0 && r == 0 && fdatasync(out) != 0) {
        log_errno("file copy write");
        r = FILESYS_ERR_FILE_WRITE;
    }
    if (out >= 0 && close(out) != 0 && r == 0) {
        log_errno("file copy write");
        r = FILESYS_ERR_FILE_WRITE;
    }
    close(in);
    // A partial copy would pass for the recording itself.
    if (out >= 0 && r != 0 && unlink(Real(to.c_str()).path) != 0)
        log_errno(to.c_str());

    FILESYS_LOCK();
    filesys_writer_put(target);
    filesys_unlock();
    if (r != 0) {
        log_printf("%s: %s: %s\n", "filesys_copy", from.c_str(), filesys_copy_strerror(r));
        return r;
    }
    double secs = seconds_since(t0);
    log_printf("Copied %lld bytes in %gs, %g MBps\n", (long long)size, secs,
               secs > 0 ? (double)size / 1e6 / secs : 0.0);
    return 0;
}

int filesys_load_config_params(int source)
{
    FILESYS_LOCK();
    std::string path = on_medium("filesys_load_config_params", source, nullptr, "config.txt");
    filesys_unlock();
    if (path.empty())
        return -1;
    // Read without the storage lock: the settings writes may reach code that takes it.
    int r = param_load_file(Real(path.c_str()).path);
    if (r < 0)
        log_printf("%s: can't read %s\n", "filesys_load_config_params", path.c_str());
    return r;
}

namespace {

int save_to_first(int what)
{
    int source = -1;
    FILESYS_LOCK();
    for (int i = FILESYS_SOURCES - 1; i >= 0 && source < 0; i--)
        if (storage_mount[i].mountPath)
            source = i;
    filesys_unlock();
    if (source < 0) {
        log_printf("%s: no storage mounted\n", what ? "filesys_save_dmesg" : "filesys_save_log");
        return -1;
    }
    return filesys_save_log_to(source, what);
}

} // namespace

int filesys_save_log()
{
    return save_to_first(0);
}

int filesys_save_dmesg()
{
    return save_to_first(1);
}

int filesys_all_read_only()
{
    FILESYS_LOCK();
    int r = storage_mount[0].state == FILESYS_RO && storage_mount[1].state == FILESYS_RO &&
                    storage_mount[2].state == FILESYS_RO
                ? 1
                : 0;
    filesys_unlock();
    return r;
}

int filesys_wait_read_only()
{
    for (;;) {
        FILESYS_LOCK();
        bool rw = false;
        for (const StorageMount &r : storage_mount)
            rw = rw || r.state == FILESYS_RW;
        filesys_unlock();
        if (!rw)
            return 0;
        if (quit_requested())
            return 100;
        sleep_ms(100);
    }
}

int filesys_problem_kind()
{
    FILESYS_LOCK();
    int r = storage_mount[0].kind == 2 ? 1 : 0;
    filesys_unlock();
    return r;
}

int filesys_check_source(int source)
{
    return valid(source) ? source : -1;
}
