// Board directory, path mapping and the command runner of the simulated board.
#include "platform/platform.h"
#include "platform/capture_sim.h"
#include "platform/platform_internal.h"

#include "core/log.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

std::once_flag init_once;
std::string board_dir;
std::string eth_name;
bool realtime = false;

// Factory words of a new simulated board.
constexpr uint32_t SIM_BOARD_MODEL = 7160;
constexpr uint32_t SIM_SERIAL = 100123;
constexpr uint32_t SIM_BOOTLOADER = 0xE3A0C000u; // an old loader: reads as version 1.0.0

bool is_dir(const std::string &p)
{
    struct stat st;
    return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int make_dirs(const std::string &p)
{
    std::string cur;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = p.find('/', pos + 1);
        cur = p.substr(0, pos);
        if (cur.empty() || is_dir(cur))
            continue;
        if (mkdir(cur.c_str(), 0755) != 0 && errno != EEXIST)
            return -1;
    }
    return 0;
}

void create_flash(const std::string &path)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (fd < 0) {
        platform_log("cannot create flash file %s: %s\n", path.c_str(), strerror(errno));
        return;
    }
    std::vector<uint8_t> block(PLATFORM_FLASH_ERASE_SIZE, 0xFF);
    for (uint32_t off = 0; off < PLATFORM_FLASH_SIZE; off += PLATFORM_FLASH_ERASE_SIZE) {
        std::fill(block.begin(), block.end(), 0xFF);
        if (off == 0) {
            memcpy(&block[256], &SIM_BOOTLOADER, 4);
            uint32_t factory[4] = {SIM_BOARD_MODEL, 0, 0xFFFFFFFFu, SIM_SERIAL};
            memcpy(&block[0x1fff0], factory, sizeof factory);
        }
        if (write(fd, block.data(), block.size()) != (ssize_t)block.size()) {
            platform_log("cannot write flash file %s: %s\n", path.c_str(), strerror(errno));
            break;
        }
    }
    close(fd);
    platform_log("created flash %s (%u bytes, model %u, serial %u)\n", path.c_str(),
                 (unsigned)PLATFORM_FLASH_SIZE, SIM_BOARD_MODEL, SIM_SERIAL);
}

// The web pages are data beside the program: the board's web root gets every page of the
// source tree it lacks or holds in an older copy (an edited page shows on the next start); a
// page from a custom zip is unpacked after this, so it still wins.
// PLATFORM_HTML_SRC names another source; set empty, nothing is copied.
void seed_pages(const std::string &from, const std::string &to)
{
    DIR *d = opendir(from.c_str());
    if (!d)
        return;
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        std::string src = from + "/" + e->d_name, dst = to + "/" + e->d_name;
        struct stat st, dt;
        if (stat(src.c_str(), &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode)) {
            if (!is_dir(dst) && mkdir(dst.c_str(), 0755) != 0)
                continue;
            seed_pages(src, dst);
            continue;
        }
        if (!S_ISREG(st.st_mode))
            continue;
        if (lstat(dst.c_str(), &dt) == 0 && (!S_ISREG(dt.st_mode) || dt.st_mtime >= st.st_mtime))
            continue;
        std::string tmp = dst + ".seed";
        unlink(tmp.c_str());
        int in = open(src.c_str(), O_RDONLY | O_CLOEXEC);
        int out = in < 0 ? -1 : open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        char buf[8192];
        ssize_t n = 0;
        while (out >= 0 && (n = read(in, buf, sizeof buf)) > 0)
            if (write(out, buf, (size_t)n) != n) {
                n = -1;
                break;
            }
        if (out >= 0) {
            close(out);
            // A half copy never replaces a page: the next start tries again.
            if (n < 0 || rename(tmp.c_str(), dst.c_str()) != 0) {
                platform_log("cannot copy page %s: %s\n", dst.c_str(), strerror(errno));
                unlink(tmp.c_str());
            }
        }
        if (in >= 0)
            close(in);
    }
    closedir(d);
}

void prepare_board()
{
    const char *dir = getenv("PLATFORM_BOARD_DIR");
    board_dir = (dir && *dir) ? dir : "/tmp/k7160-board";
    while (board_dir.size() > 1 && board_dir.back() == '/')
        board_dir.pop_back();
    const char *eth = getenv("PLATFORM_ETH");
    eth_name = (eth && *eth) ? eth : "lo";
    const char *rt = getenv("PLATFORM_REALTIME");
    realtime = rt && *rt == '1';

    struct stat st;
    if (stat(board_dir.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) {
        std::string aside = board_dir + ".corrupt." + std::to_string((long)time(nullptr));
        platform_log("board directory %s is not a directory; moved it to %s and recreating\n",
                     board_dir.c_str(), aside.c_str());
        rename(board_dir.c_str(), aside.c_str());
    }
    bool fresh = !is_dir(board_dir);
    if (fresh)
        platform_log("creating board directory %s\n", board_dir.c_str());
    static const char *const subdirs[] = {"", "/dev", "/gpio", "/usr/html", "/tmp", "/media", "/var/log",
                                         "/proc/sys/vm"};
    for (const char *sub : subdirs) {
        std::string p = board_dir + sub;
        if (!is_dir(p)) {
            if (*sub && !fresh)
                platform_log("board directory lacks %s; recreating it\n", sub);
            if (make_dirs(p) != 0)
                platform_log("cannot create %s: %s\n", p.c_str(), strerror(errno));
        }
    }
    std::string flash = board_dir + "/dev/mtd0";
    if (access(flash.c_str(), F_OK) != 0)
        create_flash(flash);
    const char *pages = getenv("PLATFORM_HTML_SRC");
#ifdef K7160_HTML_SRC
    if (!pages)
        pages = K7160_HTML_SRC;
#endif
    if (pages && *pages)
        seed_pages(pages, board_dir + "/usr/html");
    platform_clock_init();
    platform_capture_board_init(board_dir.c_str());
}

} // namespace

void platform_log(const char *fmt, ...)
{
    char line[512];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    if (n <= 0)
        return;
    // What the stand-ins print carries settings a client chose (a time server, a host name): no
    // control byte of theirs reaches the console.
    size_t len = strnlen(line, sizeof line);
    if (len && line[len - 1] == '\n')
        len--;
    fprintf(stderr, "platform: %s\n", log_text_n(line, len).text);
}

void platform_init()
{
    std::call_once(init_once, prepare_board);
}

const char *platform_board_dir()
{
    platform_init();
    return board_dir.c_str();
}

namespace {

// The board directory a process was started with, resolved; empty when it cannot be read.
std::string board_dir_of(pid_t pid)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/environ", (int)pid);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return "";
    std::string env;
    char buf[4096];
    ssize_t n;
    while (env.size() < (1u << 20) && (n = read(fd, buf, sizeof buf)) > 0)
        env.append(buf, (size_t)n);
    close(fd);
    std::string dir = "/tmp/k7160-board";
    static const char key[] = "PLATFORM_BOARD_DIR=";
    for (size_t at = 0; at < env.size();) {
        size_t end = env.find('\0', at);
        if (end == std::string::npos)
            end = env.size();
        if (env.compare(at, sizeof key - 1, key) == 0 && end > at + sizeof key - 1)
            dir = env.substr(at + sizeof key - 1, end - at - (sizeof key - 1));
        at = end + 1;
    }
    if (dir[0] != '/')
        dir = "/proc/" + std::to_string((int)pid) + "/cwd/" + dir;
    char real[PATH_MAX];
    if (realpath(dir.c_str(), real))
        return real;
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    return dir;
}

} // namespace

bool platform_shares_board(pid_t pid)
{
    platform_init();
    // On the PC every appliance has a board directory of its own; only one started on ours is
    // an older instance of us. One we may not look at is somebody else's.
    std::string theirs = board_dir_of(pid);
    if (theirs.empty())
        return false;
    char real[PATH_MAX];
    std::string ours = realpath(board_dir.c_str(), real) ? std::string(real) : board_dir;
    return theirs == ours;
}

const char *platform_eth()
{
    platform_init();
    return eth_name.c_str();
}

const char *platform_path(const char *path, char *out, size_t size)
{
    platform_init();
    // The kernel's tuning files under /proc/sys are the board's; the rest of /proc is the host's.
    if (!path || path[0] != '/' || strncmp(path, board_dir.c_str(), board_dir.size()) == 0 ||
        (strncmp(path, "/proc/", 6) == 0 && strncmp(path, "/proc/sys/", 10) != 0) ||
        strcmp(path, "/dev/null") == 0)
        snprintf(out, size, "%s", path ? path : "");
    else
        snprintf(out, size, "%s%s", board_dir.c_str(), path);
    return out;
}

bool platform_realtime_allowed()
{
    platform_init();
    return realtime;
}

int platform_set_nice(int value)
{
    if (!platform_realtime_allowed())
        return 0;
    return setpriority(PRIO_PROCESS, 0, value);
}
