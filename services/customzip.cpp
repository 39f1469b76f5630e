#include "services/customzip.h"
#include "core/log.h"
#include "core/mtd.h"
#include "platform/platform.h"
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

int stored_size = -1;

const char ZIP_FILE[] = "/custom.zip";
const char LISTING[] = "/usr/html/customzip.txt";
const char WEB_ROOT[] = "/usr/html";
const char UNPACK_DIR[] = "/custom.unzip";

std::string mapped(const char *path)
{
    char out[4096];
    return platform_path(path, out, sizeof out);
}

// unzip with its arguments as such, no shell; stdout to `out` (or nowhere). The wait status.
int run_unzip(const char *const args[], const char *out)
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
    if (rc != 0)
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

} // namespace

int customzip_stored_size()
{
    return stored_size;
}

int customzip_load()
{
    int32_t length = -1;
    if (mtd_read(&length, CUSTOMZIP_OFFSET, sizeof length) != (ssize_t)sizeof length)
        return -1;
    stored_size = length;
    if (length <= 0)
        return 0;
    if ((uint32_t)length > CUSTOMZIP_BLOCK - 4) {
        log_printf("customzip: stored length %d beyond the block\n", length);
        return -1;
    }
    std::string zip = mapped(ZIP_FILE);
    FILE *f = fopen(zip.c_str(), "wb");
    if (!f) {
        log_printf("customzip failed to open file\n");
        return -1;
    }
    char *data = static_cast<char *>(malloc(length));
    if (!data) {
        log_printf("customzip_load failed to allocate memory size=%d\n", length);
        fclose(f);
        return -1;
    }
    size_t written = 0;
    if (mtd_read(data, CUSTOMZIP_OFFSET + 4, length) == length)
        written = fwrite(data, 1, length, f);
    free(data);
    fclose(f);
    log_printf("customzip size=%d rc=%d\n", length, (int)written);
    if ((int32_t)written != length) {
        unlink(zip.c_str());
        return -1;
    }
    std::string listing = mapped(LISTING);
    web_root = mapped(WEB_ROOT);
    mkdir(web_root.c_str(), 0755);
    const char *list_args[] = {"unzip", "-l", zip.c_str(), nullptr};
    int rc = run_unzip(list_args, listing.c_str());
    unpack_root = mapped(UNPACK_DIR);
    remove_tree(unpack_root);
    if (mkdir(unpack_root.c_str(), 0700) == 0) {
        const char *args[] = {"unzip", "-o", "-qq", zip.c_str(), "-d", unpack_root.c_str(), nullptr};
        run_unzip(args, nullptr);
        nftw(unpack_root.c_str(), copy_entry, 16, FTW_PHYS);
        remove_tree(unpack_root);
    }
    unlink(zip.c_str());
    return rc;
}

int customzip_save(const void *data, size_t size)
{
    if (size > CUSTOMZIP_BLOCK || size < 4)
        return -1;
    int32_t length;
    memcpy(&length, data, sizeof length);
    if (length < 0 || (size_t)length != size - 4) {
        log_printf("%s: size is invalid %u != %u\n", "customzip_save", (unsigned)length, (unsigned)(size - 4));
        return -1;
    }
    customzip_erase();
    log_printf("%s: size=%u\n", "customzip_save", (unsigned)size);
    if (mtd_write(data, CUSTOMZIP_OFFSET, size) != (ssize_t)size) {
        log_printf("%s: flash write failed\n", "customzip_save");
        customzip_load();
        return -1;
    }
    return customzip_load();
}

void customzip_erase()
{
    mtd_erase_block(CUSTOMZIP_OFFSET, CUSTOMZIP_BLOCK);
    unlink(mapped(LISTING).c_str());
    stored_size = -1;
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
