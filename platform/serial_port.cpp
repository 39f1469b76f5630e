#include "platform/serial_port.h"

#include "platform/platform.h"
#include "platform/platform_internal.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace {
std::mutex serial_mutex;
struct termios last_settings;
bool have_settings;
int own_master = -1;   // the pseudo-terminal made here when the board has no port; kept open

// A port of our own: the slave of a fresh pseudo-terminal linked at the mapped path.
void make_own_port(const char *mapped)
{
    if (own_master >= 0)
        return;
    int m = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m < 0)
        return;
    if (grantpt(m) != 0 || unlockpt(m) != 0) {
        close(m);
        return;
    }
    const char *slave = ptsname(m);
    char dir[4096];
    snprintf(dir, sizeof dir, "%s", mapped);
    char *slash = strrchr(dir, '/');
    if (slash) {
        *slash = 0;
        mkdir(dir, 0755);
    }
    if (!slave || symlink(slave, mapped) != 0) {
        close(m);
        return;
    }
    platform_log("serial: no port on the board, made %s -> %s\n", mapped, slave);
    own_master = m;
}
} // namespace

int platform_serial_open(const char *path, int flags)
{
    char mapped[4096];
    platform_path(path, mapped, sizeof mapped);
    {
        std::lock_guard<std::mutex> lock(serial_mutex);
        struct stat st;
        if (lstat(mapped, &st) != 0 && errno == ENOENT)
            make_own_port(mapped);
    }
    return open(mapped, flags | O_CLOEXEC);
}

int platform_serial_tcsetattr(int fd, int action, const struct termios *t)
{
    {
        std::lock_guard<std::mutex> lock(serial_mutex);
        last_settings = *t;
        have_settings = true;
    }
    // A pty drops the parity bits, so what was asked for is logged where tests can see it.
    static const char *const parity[] = {"none", "even", "odd", "odd", "none", "space", "mark", "mark"};
    const tcflag_t c = t->c_cflag;
    int k = ((c & PARENB) ? 1 : 0) | ((c & PARODD) ? 2 : 0) | ((c & CMSPAR) ? 4 : 0);
    platform_log("serial: settings speed=%u parity=%s\n", (unsigned)cfgetospeed(t), (c & PARENB) ? parity[k] : "none");
    return tcsetattr(fd, action, t);
}

int platform_serial_set_console(int fd)
{
    // On the PC this would take the host's console away.
    platform_log("simulated: TIOCCONS on serial port fd %d\n", fd);
    return 0;
}

int platform_serial_last_settings(struct termios *t)
{
    std::lock_guard<std::mutex> lock(serial_mutex);
    if (!have_settings)
        return 0;
    *t = last_settings;
    return 1;
}
