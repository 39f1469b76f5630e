#include "core/proc.h"

#include "core/log.h"
#include "core/quit.h"
#include "platform/platform.h"
#include "services/network.h"

#include <cctype>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

int read_cmdline(const char *pid, char *buf, size_t size)
{
    char path[300];
    snprintf(path, sizeof path, "/proc/%s/cmdline", pid);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    ssize_t n = read(fd, buf, size - 1);
    close(fd);
    if (n <= 0)
        return -1;
    buf[n] = 0;   // the first argument ends at its own NUL
    return 0;
}

bool cmdline_matches(const char *cmd, const char *pattern)
{
    if (pattern[0] == '^')
        return strncmp(cmd, pattern + 1, strlen(pattern + 1)) == 0;
    return strstr(cmd, pattern) != nullptr;
}

// The program under its installed name, its bare name, or a development build of it.
bool is_instance(const char *cmd)
{
    if (cmdline_matches(cmd, "^/usr/bin/k7160") || cmdline_matches(cmd, "^k7160"))
        return true;
    const char *slash = strrchr(cmd, '/');
    return slash && strcmp(slash + 1, "k7160") == 0;
}

std::vector<pid_t> other_instances()
{
    std::vector<pid_t> pids;
    DIR *d = opendir("/proc");
    if (!d)
        return pids;
    pid_t self = getpid();
    while (struct dirent *e = readdir(d)) {
        if (!isdigit((unsigned char)e->d_name[0]))
            continue;
        pid_t pid = (pid_t)atoi(e->d_name);
        if (pid == self)
            continue;
        char cmd[257];
        // Another board's appliance is not an older instance of this one.
        if (read_cmdline(e->d_name, cmd, sizeof cmd) == 0 && is_instance(cmd) && platform_shares_board(pid))
            pids.push_back(pid);
    }
    closedir(d);
    return pids;
}

} // namespace

int kill_by_cmdline(const char *pattern, int sig)
{
    DIR *d = opendir("/proc");
    if (!d)
        return -1;
    pid_t self = getpid();
    int found = -1;
    while (struct dirent *e = readdir(d)) {
        if (!isdigit((unsigned char)e->d_name[0]))
            continue;
        char cmd[257];
        if (read_cmdline(e->d_name, cmd, sizeof cmd) != 0 || !cmdline_matches(cmd, pattern))
            continue;
        pid_t pid = (pid_t)atoi(e->d_name);
        if (sig == 0) {
            found = pid;
            break;
        }
        if (pid == self)
            continue;
        log_printf("killing pid %d %s\n", pid, cmd);
        kill(pid, sig);
        waitpid(pid, nullptr, 0);
        found = pid;
        break;
    }
    closedir(d);
    return found;
}

pid_t spawn_detached(const char *path, ...)
{
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(path));
    char line[512];
    int off = snprintf(line, sizeof line, "cmd: %s", path);
    va_list ap;
    va_start(ap, path);
    while (const char *arg = va_arg(ap, const char *)) {
        argv.push_back(const_cast<char *>(arg));
        if (off < (int)sizeof line)
            off += snprintf(line + off, sizeof line - off, " %s", arg);
    }
    va_end(ap);
    argv.push_back(nullptr);
    log_printf("%s\n", line);
    return platform_spawn_detached(path, argv.data());
}

int run_command(const char *fmt, ...)
{
    char cmd[100];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(cmd, sizeof cmd, fmt, ap);
    va_end(ap);
    // A cut command could act on another path than the one meant.
    if (n < 0 || n >= (int)sizeof cmd) {
        log_printf("%s: command of %d characters refused: %s...\n", "run_command", n, cmd);
        return -1;
    }
    int r = platform_system(cmd);
    if (r == -1)
        return -1;
    return WIFEXITED(r) ? WEXITSTATUS(r) : -1;
}

void stop_old_instance()
{
    // The probe leaves out this process: a start under the installed name must not leave
    // "/rebooting" behind when nothing else runs.
    std::vector<pid_t> pids = other_instances();
    if (pids.empty())
        return;
    char path[4096];
    int fd = open(platform_path("/rebooting", path, sizeof path), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0)
        close(fd);
    while (!pids.empty()) {
        for (pid_t pid : pids) {
            log_printf("killing pid %d %s\n", pid, "k7160");
            kill(pid, SIGINT);
        }
        sleep(1);
        pids = other_instances();
    }
}

void shutdown_system()
{
    stop_network_services();
    run_command("sync");
    int q = quit_requested_nolock();
    if (q == QUIT_HALT) {
        run_command("halt");
    } else if (q == QUIT_REBOOT) {
        run_command("touch /rebooting");
        run_command("reboot");
    }
}
