#include "services/customzip.h"
#include "core/log.h"
#include "core/mtd.h"
#include "platform/platform.h"
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <pthread.h>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

std::atomic<int> stored_size{-1};
// Saves run on a worker of the web server, the load at start and the erase elsewhere: one at a time.
pthread_mutex_t zip_mutex = PTHREAD_MUTEX_INITIALIZER;

const char ZIP_FILE[] = "/custom.zip";
const char LISTING[] = "/usr/html/customzip.txt";
const char WEB_ROOT[] = "/usr/html";
const char UNPACK_DIR[] = "/custom.unzip";

std::string mapped(const char *path)
{
    char out[4096];
    return platform_path(path, out, sizeof out);
}

// Starts unzip with its arguments as such, no shell; stdout to `out` (or nowhere). -1 when it
// cannot start.
pid_t spawn_unzip(const char *const args[], const char *out)
{
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, out ? out : "/dev/null", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::string line = "unzip";
    for (int i = 1; args[i]; i++)
        line += std::string(" ") + args[i];
    log_printf("%s\n", line.c_str());
    pid_t pid;
    int rc = posix_spawnp(&pid, "unzip", &fa, nullptr, const_cast<char *const *>(args), environ);
    posix_spawn_file_actions_destroy(&fa);
    return rc == 0 ? pid : -1;
}

// The wait status.
int run_unzip(const char *const args[], const char *out)
{
    pid_t pid = spawn_unzip(args, out);
    if (pid < 0)
        return -1;
    int status = -1;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

int remove_entry(const char *path, const struct stat *, int, struct FTW *)
{
    return remove(path);
}

std::string unpack_root;
std::string web_root;

// Copies what unzip extracted into the web root: plain files and directories only, so a link
// in the archive cannot expose or overwrite anything outside it.
int copy_entry(const char *path, const struct stat *st, int type, struct FTW *)
{
    std::string rel = path + unpack_root.size();
    if (rel.empty())
        return 0;
    std::string target = web_root + rel;
    if (type == FTW_D) {
        struct stat ts;
        if (lstat(target.c_str(), &ts) == 0 && !S_ISDIR(ts.st_mode))
            unlink(target.c_str());
        mkdir(target.c_str(), 0755);
        return 0;
    }
    if (type != FTW_F || !S_ISREG(st->st_mode)) {
        log_printf("customzip: %s skipped (not a plain file)\n", rel.c_str());
        return 0;
    }
    int in = open(path, O_RDONLY);
    if (in < 0)
        return 0;
    unlink(target.c_str());   // a link left in the web root is replaced, never followed
    int out = open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0644);
    if (out >= 0) {
        char buf[8192];
        ssize_t n;
        while ((n = read(in, buf, sizeof buf)) > 0)
            if (write(out, buf, n) != n)
                break;
        close(out);
    }
    close(in);
    return 0;
}

void remove_tree(const std::string &dir)
{
    nftw(dir.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

uint64_t tree_total;
int add_size(const char *, const struct stat *st, int type, struct FTW *)
{
    if (type == FTW_F)
        tree_total += (uint64_t)st->st_size;
    return 0;
}

uint64_t tree_bytes(const std::string &dir)
{
    tree_total = 0;
    nftw(dir.c_str(), add_size, 16, FTW_PHYS);
    return tree_total;
}

// Why unzip did not unpack an archive cleanly, by its exit status; the text is the upload's answer.
struct UnzipFailure {
    int status;
    const char *why;
};
#define ZIP_REFUSED "customzip: archive refused: "
const UnzipFailure unzip_failures[] = {
    {1, ZIP_REFUSED "unzip warns about it (empty, or entries it would not unpack as named)\n"},
    {2, ZIP_REFUSED "it is damaged\n"},
    {3, ZIP_REFUSED "it is damaged\n"},
    {9, ZIP_REFUSED "it is truncated or not a zip archive\n"},
    {50, ZIP_REFUSED "no room to unpack it\n"},
    {51, ZIP_REFUSED "it ends before its last entry\n"},
    {81, ZIP_REFUSED "unzip cannot unpack its compression or encryption\n"},
    {82, ZIP_REFUSED "it is encrypted\n"},
    {-1, ZIP_REFUSED "unzip could not unpack it\n"},
};

const char *unzip_failure(int status)
{
    for (const UnzipFailure &f : unzip_failures)
        if (f.status == status)
            return f.why;
    return unzip_failures[sizeof unzip_failures / sizeof unzip_failures[0] - 1].why;
}

// Unpacks into the staging folder, but stops unzip once it has written more than the web root
// takes: an archive's directory may understate what its entries inflate to. An archive unzip
// does not unpack cleanly gives CUSTOMZIP_DAMAGED and its reason in `why`.
int unzip_bounded(const std::string &zip, const char **why)
{
    const char *args[] = {"unzip", "-o", "-qq", zip.c_str(), "-d", unpack_root.c_str(), nullptr};
    pid_t pid = spawn_unzip(args, nullptr);
    if (pid < 0)
        return -1;
    struct rlimit file_limit = {CUSTOMZIP_MAX_UNPACKED, CUSTOMZIP_MAX_UNPACKED};
    prlimit(pid, RLIMIT_FSIZE, &file_limit, nullptr);
    int status = 0;
    bool over = false;
    for (;;) {
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid || (r < 0 && errno != EINTR))
            break;
        if (!over && tree_bytes(unpack_root) > CUSTOMZIP_MAX_UNPACKED) {
            over = true;
            kill(pid, SIGKILL);
            continue;
        }
        usleep(20000);
    }
    if (over || (WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ) ||
        tree_bytes(unpack_root) > CUSTOMZIP_MAX_UNPACKED) {
        log_printf("customzip: unpacking stopped beyond %u bytes, more than the web root takes\n",
                   (unsigned)CUSTOMZIP_MAX_UNPACKED);
        return CUSTOMZIP_REFUSED;
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return 0;
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    *why = unzip_failure(code);
    const char *reason = *why + strlen(ZIP_REFUSED);
    if (WIFEXITED(status))
        log_printf("customzip: unzip exit status %d: %s\n", code, reason);
    else
        log_printf("customzip: unzip ended by signal %d: %s\n", WTERMSIG(status), reason);
    return CUSTOMZIP_DAMAGED;
}

// Puts the archive into the temporary file and unpacks it into the staging folder; nothing in
// the web root changes yet. 0, -1, CUSTOMZIP_REFUSED or CUSTOMZIP_DAMAGED (the reason in `why`);
// the caller ends with unstage().
int stage(const char *archive, int32_t length, const char **why)
{
    if (customzip_check(archive, (size_t)length) != 0)
        return CUSTOMZIP_REFUSED;
    std::string zip = mapped(ZIP_FILE);
    FILE *f = fopen(zip.c_str(), "wb");
    if (!f) {
        log_printf("customzip failed to open file\n");
        return -1;
    }
    size_t written = fwrite(archive, 1, (size_t)length, f);
    fclose(f);
    log_printf("customzip size=%d rc=%d\n", length, (int)written);
    if ((int32_t)written != length)
        return -1;
    web_root = mapped(WEB_ROOT);
    mkdir(web_root.c_str(), 0755);
    unpack_root = mapped(UNPACK_DIR);
    remove_tree(unpack_root);
    if (mkdir(unpack_root.c_str(), 0700) != 0)
        return -1;
    return unzip_bounded(zip, why);
}

// The staged archive goes live: listed, and its files copied over the web root.
int install()
{
    std::string zip = mapped(ZIP_FILE), listing = mapped(LISTING);
    const char *list_args[] = {"unzip", "-l", zip.c_str(), nullptr};
    int rc = run_unzip(list_args, listing.c_str());
    nftw(unpack_root.c_str(), copy_entry, 16, FTW_PHYS);
    return rc;
}

void unstage()
{
    remove_tree(mapped(UNPACK_DIR));
    unlink(mapped(ZIP_FILE).c_str());
}

uint16_t le16(const uint8_t *p)
{
    return (uint16_t)(p[0] | p[1] << 8);
}

uint32_t le32(const uint8_t *p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

} // namespace

int customzip_stored_size()
{
    return stored_size;
}

int customzip_check(const void *zip, size_t size)
{
    const uint8_t *z = static_cast<const uint8_t *>(zip);
    // The end record: the last "PK\5\6" with room for its 22 bytes.
    size_t end = size;
    for (size_t i = size >= 22 ? size - 22 + 1 : 0; i-- > 0;) {
        if (le32(z + i) == 0x06054b50u) {
            end = i;
            break;
        }
    }
    if (end == size)
        return 0;   // no directory: unzip finds nothing to unpack either
    uint64_t bytes = 0;
    uint32_t entries = 0;
    size_t pos = le32(z + end + 16);
    // Each entry as unzip sees it; an entry claiming the 64-bit sizes counts as too large.
    while (pos + 46 <= end && le32(z + pos) == 0x02014b50u) {
        uint32_t unpacked = le32(z + pos + 24);
        bytes += unpacked == 0xFFFFFFFFu ? (uint64_t)CUSTOMZIP_MAX_UNPACKED + 1 : unpacked;
        entries++;
        pos += 46 + (size_t)le16(z + pos + 28) + le16(z + pos + 30) + le16(z + pos + 32);
    }
    entries = std::max<uint32_t>(entries, le16(z + end + 10));
    if (bytes > CUSTOMZIP_MAX_UNPACKED || entries > CUSTOMZIP_MAX_ENTRIES) {
        log_printf("customzip: archive unpacks to %llu bytes in %u files, more than the web root takes "
                   "(%u bytes, %u files)\n",
                   (unsigned long long)bytes, entries, (unsigned)CUSTOMZIP_MAX_UNPACKED,
                   (unsigned)CUSTOMZIP_MAX_ENTRIES);
        return CUSTOMZIP_REFUSED;
    }
    struct statvfs vfs;
    std::string root = mapped(WEB_ROOT);
    if (statvfs(root.c_str(), &vfs) == 0 && (uint64_t)vfs.f_bavail * vfs.f_frsize < bytes) {
        log_printf("customzip: archive unpacks to %llu bytes, the web root has room for %llu\n",
                   (unsigned long long)bytes, (unsigned long long)vfs.f_bavail * vfs.f_frsize);
        return CUSTOMZIP_REFUSED;
    }
    return 0;
}

int customzip_load()
{
    pthread_mutex_lock(&zip_mutex);
    int32_t length = -1;
    int rc = 0;
    char *data = nullptr;
    const char *why = nullptr;
    if (mtd_read(&length, CUSTOMZIP_OFFSET, sizeof length) != (ssize_t)sizeof length) {
        rc = -1;
    } else if ((stored_size = length) <= 0) {
        rc = 0;
    } else if ((uint32_t)length > CUSTOMZIP_BLOCK - 4) {
        log_printf("customzip: stored length %d beyond the block\n", length);
        rc = -1;
    } else if (!(data = static_cast<char *>(malloc(length)))) {
        log_printf("customzip_load failed to allocate memory size=%d\n", length);
        rc = -1;
    } else if (mtd_read(data, CUSTOMZIP_OFFSET + 4, length) != length) {
        rc = -1;
    } else if ((rc = stage(data, length, &why)) == 0) {
        rc = install();
    } else if (rc == CUSTOMZIP_REFUSED) {
        log_printf("customzip: stored archive left packed\n");
    } else if (rc == CUSTOMZIP_DAMAGED) {
        // Stored by an older build, which took it: what unzip unpacked is served as before.
        log_printf("customzip: the stored archive does not unpack cleanly; serving what it unpacked\n");
        rc = install();
    }
    unstage();
    free(data);
    pthread_mutex_unlock(&zip_mutex);
    return rc;
}

int customzip_save(const void *data, size_t size, const char **why)
{
    const char *reason = nullptr;
    if (size > CUSTOMZIP_BLOCK || size < 4)
        return -1;
    int32_t length;
    memcpy(&length, data, sizeof length);
    if (length < 0 || (size_t)length != size - 4) {
        log_printf("%s: size is invalid %u != %u\n", "customzip_save", (unsigned)length, (unsigned)(size - 4));
        return -1;
    }
    // Unpacked before the flash is touched: an archive the web root can't take, or one unzip
    // can't unpack cleanly, leaves the stored one in place.
    pthread_mutex_lock(&zip_mutex);
    int rc = stage(static_cast<const char *>(data) + 4, length, &reason);
    if (rc == CUSTOMZIP_DAMAGED)
        log_printf("%s", reason);
    if (why)
        *why = reason;
    if (rc == 0) {
        mtd_erase_block(CUSTOMZIP_OFFSET, CUSTOMZIP_BLOCK);
        log_printf("%s: size=%u\n", "customzip_save", (unsigned)size);
        if (mtd_write(data, CUSTOMZIP_OFFSET, size) != (ssize_t)size) {
            log_printf("%s: flash write failed\n", "customzip_save");
            stored_size = -1;
            rc = -1;
        } else {
            stored_size = length;
            rc = install();
        }
    }
    unstage();
    pthread_mutex_unlock(&zip_mutex);
    return rc;
}

void customzip_erase()
{
    pthread_mutex_lock(&zip_mutex);
    mtd_erase_block(CUSTOMZIP_OFFSET, CUSTOMZIP_BLOCK);
    unlink(mapped(LISTING).c_str());
    stored_size = -1;
    pthread_mutex_unlock(&zip_mutex);
}

int customzip_store_file(const char *path)
{
    if (!path)
        return 3;
    FILE *f = fopen(mapped(path).c_str(), "rb");
    if (!f)
        return 3;
    fseek(f, 0, SEEK_END);
    long size = ftell(f);
    fseek(f, 0, SEEK_SET);
    if (size < 0) {
        fclose(f);
        return 3;
    }
    if (size >= (long)(CUSTOMZIP_BLOCK - 4)) {
        fclose(f);
        return 2;
    }
    unlink(mapped("/usr/html/config.txt").c_str());
    if (size == 0) {
        fclose(f);
        customzip_erase();
        return 1;
    }
    char *block = static_cast<char *>(malloc(size + 4));
    if (!block || fread(block + 4, 1, size, f) != (size_t)size) {
        free(block);
        fclose(f);
        return 3;
    }
    fclose(f);
    int32_t length = (int32_t)size;
    memcpy(block, &length, 4);
    int rc = customzip_save(block, size + 4);
    free(block);
    return rc < 0 ? 3 : 0;
}
