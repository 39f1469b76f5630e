// Shell commands. On the PC, commands that would reconfigure or stop this machine are logged
// and answered as the board answers them; harmless ones run for real inside the board directory.
#include "platform/platform.h"
#include "platform/platform_internal.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

std::mutex sim_files_mutex;
std::map<FILE *, int> sim_files;   // answered commands and their wait status

std::vector<std::string> split_words(const char *cmdline)
{
    std::vector<std::string> words;
    std::string cur;
    char quote = 0;
    bool have = false;
    for (const char *p = cmdline; *p; p++) {
        char c = *p;
        if (quote) {
            if (c == quote)
                quote = 0;
            else
                cur += c;
        } else if (c == '\'' || c == '"') {
            quote = c;
            have = true;
        } else if (c == ' ' || c == '\t' || c == '\n') {
            if (have || !cur.empty())
                words.push_back(cur);
            cur.clear();
            have = false;
        } else {
            cur += c;
        }
    }
    if (have || !cur.empty())
        words.push_back(cur);
    return words;
}

std::string base_name(const std::string &w)
{
    size_t slash = w.rfind('/');
    return slash == std::string::npos ? w : w.substr(slash + 1);
}

bool is_simulated(const std::string &cmd)
{
    static const char *const names[] = {"mount", "umount", "ifconfig", "route", "udhcpc", "ntpd",
                                        "hwclock", "telnetd", "getty", "reboot", "halt", "killall",
                                        "ethtool", "ip", "insmod", "rmmod", "swapon", "swapoff"};
    for (const char *n : names)
        if (cmd == n)
            return true;
    return false;
}

bool is_harmless(const std::string &cmd)
{
    static const char *const names[] = {"unzip", "df", "dmesg", "sync", "touch", "mkdir", "rm",
                                        "cat", "ls", "cp", "mv", "true", "echo"};
    for (const char *n : names)
        if (cmd == n)
            return true;
    return false;
}

std::string quote_word(const std::string &w)
{
    std::string q = "'";
    for (char c : w) {
        if (c == '\'')
            q += "'\\''";
        else
            q += c;
    }
    return q + "'";
}

// Absolute paths are mapped into the board directory; shell redirections stay as they are.
std::string mapped_command(const std::vector<std::string> &words)
{
    std::string out;
    for (size_t i = 0; i < words.size(); i++) {
        const std::string &w = words[i];
        if (i)
            out += ' ';
        if (w == "2>&1" || w == ">/dev/null" || w == "2>/dev/null" || w == "|" || w == ">" || w == ">>") {
            out += w;
            continue;
        }
        if (i == 0) {
            out += quote_word(base_name(w));
            continue;
        }
        char mapped[4096];
        if (!w.empty() && w[0] == '/')
            out += quote_word(platform_path(w.c_str(), mapped, sizeof mapped));
        else
            out += quote_word(w);
    }
    return out;
}

// What the board's tools print; most print nothing on success.
std::string simulated_answer(const std::vector<std::string> &words)
{
    std::string cmd = base_name(words[0]);
    if (cmd == "ifconfig" && words.size() == 2)
        return words[1] + "      Link encap:Ethernet\n";
    if (cmd == "hwclock" && words.size() == 1)
        return "Tue Dec  8 00:00:00 2026  0.000000 seconds\n";
    return "";
}

[[noreturn]] void power_off(const std::string &cmd)
{
    platform_log("%s: ending the process in place of the board\n", cmd.c_str());
    fflush(stderr);
    fflush(stdout);
    _exit(cmd == "halt" ? PLATFORM_EXIT_HALT : PLATFORM_EXIT_REBOOT);
}

// "A && B" runs B only when A succeeded; the one pipeline the system runs ("mount | grep -q
// TEXT") is answered from the mount table.
int run_words(const std::vector<std::string> &all, const char *cmdline)
{
    for (size_t i = 0; i < all.size(); i++) {
        if (all[i] != "&&")
            continue;
        std::vector<std::string> left(all.begin(), all.begin() + (long)i), right(all.begin() + (long)i + 1, all.end());
        int st = run_words(left, cmdline);
        return st != 0 ? st : run_words(right, cmdline);
    }
    std::vector<std::string> words = all;
    if (words.empty())
        return 0;
    std::string cmd = base_name(words[0]);
    for (size_t i = 0; i < words.size(); i++) {
        if (words[i] != "|")
            continue;
        if (cmd == "mount" && i == 1 && words.size() == 5 && words[2] == "grep" && words[3] == "-q") {
            platform_log("simulated: %s\n", cmdline);
            return platform_storage_table().find(words[4]) != std::string::npos ? 0 : 1 << 8;
        }
        platform_log("refused unknown command: %s\n", cmdline);
        return 127 << 8;
    }
    std::string out;
    int status;
    if (platform_storage_command(words, &out, &status)) {
        platform_log("simulated: %s\n", cmdline);
        if (!out.empty())
            fputs(out.c_str(), stderr);
        return status;
    }
    if (is_simulated(cmd)) {
        platform_log("simulated: %s\n", cmdline);
        if (cmd == "reboot" || cmd == "halt")
            power_off(cmd);
        return 0;
    }
    if (!is_harmless(cmd)) {
        platform_log("refused unknown command: %s\n", cmdline);
        return 127 << 8;
    }
    std::string real = mapped_command(words);
    return system(real.c_str());
}

} // namespace

int platform_system(const char *cmdline)
{
    platform_init();
    return run_words(split_words(cmdline ? cmdline : ""), cmdline ? cmdline : "");
}

FILE *platform_popen(const char *cmdline)
{
    platform_init();
    std::vector<std::string> words = split_words(cmdline ? cmdline : "");
    if (words.empty())
        return nullptr;
    std::string cmd = base_name(words[0]);
    std::string answer;
    int status = 0;
    bool storage = platform_storage_command(words, &answer, &status);
    if (storage || is_simulated(cmd) || !is_harmless(cmd)) {
        if (storage || is_simulated(cmd))
            platform_log("simulated: %s\n", cmdline);
        else
            platform_log("refused unknown command: %s\n", cmdline);
        if (cmd == "reboot" || cmd == "halt")
            power_off(cmd);
        FILE *f = tmpfile();
        if (!f)
            return nullptr;
        if (!storage)
            answer = is_simulated(cmd) ? simulated_answer(words) : "sh: not found\n";
        fwrite(answer.data(), 1, answer.size(), f);
        rewind(f);
        std::lock_guard<std::mutex> lock(sim_files_mutex);
        sim_files[f] = storage ? status : is_simulated(cmd) ? 0 : 127 << 8;
        return f;
    }
    std::string real = mapped_command(words);
    return popen(real.c_str(), "r");
}

int platform_pclose(FILE *f)
{
    if (!f)
        return -1;
    {
        std::lock_guard<std::mutex> lock(sim_files_mutex);
        auto it = sim_files.find(f);
        if (it != sim_files.end()) {
            int status = it->second;
            sim_files.erase(it);
            fclose(f);
            return status;
        }
    }
    return pclose(f);
}

pid_t platform_spawn_detached(const char *path, char *const argv[])
{
    std::string line = path ? path : "";
    for (int i = 1; argv && argv[i]; i++)
        line += std::string(" ") + argv[i];
    platform_log("simulated: not starting daemon %s\n", line.c_str());
    return 0;
}

namespace {
struct Child {
    pid_t pid;
    std::string cmdline;
    bool running;      // a daemon left running (simulated children exit at once otherwise)
};
std::mutex children_mutex;
std::vector<Child> children;
pid_t next_fake_pid = 4000000;   // above any real pid, so nothing real is ever signalled

bool is_daemon(const std::string &cmd)
{
    return cmd == "udhcpc" || cmd == "ntpd";
}

// Every descriptor but the standard three, whatever its number.
void close_inherited()
{
    if (syscall(SYS_close_range, 3u, ~0u, 0u) == 0)
        return;
    long max = sysconf(_SC_OPEN_MAX);
    for (long fd = 3; fd < max; fd++)
        close((int)fd);
}
} // namespace

pid_t platform_spawn_child(const char *path, char *const argv[])
{
    platform_init();
    std::string line = path ? path : "";
    for (int i = 1; argv && argv[i]; i++)
        line += std::string(" ") + argv[i];
    std::string cmd = base_name(path ? path : "");
    if (is_simulated(cmd)) {
        platform_log("simulated: %s\n", line.c_str());
        std::lock_guard<std::mutex> lock(children_mutex);
        pid_t pid = next_fake_pid++;
        children.push_back({pid, line, is_daemon(cmd)});
        return pid;
    }
    // Only programs a test placed in the board directory run for real.
    char mapped[4096];
    platform_path(path ? path : "", mapped, sizeof mapped);
    if (!path || path[0] != '/' || access(mapped, F_OK) != 0) {
        platform_log("refused unknown command: %s\n", line.c_str());
        return -1;
    }
    pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        close_inherited();
        execv(mapped, argv);
        _exit(127);
    }
    std::lock_guard<std::mutex> lock(children_mutex);
    children.push_back({pid, line, false});
    return pid;
}

int platform_wait_child(pid_t pid)
{
    if (pid <= 0)
        return -1;
    {
        std::lock_guard<std::mutex> lock(children_mutex);
        for (size_t i = 0; i < children.size(); i++) {
            if (children[i].pid != pid || pid < 4000000)
                continue;
            // A simulated tool has done its work; a simulated daemon keeps running.
            if (!children[i].running)
                children.erase(children.begin() + (long)i);
            return 0;
        }
    }
    int status = 0;
    if (waitpid(pid, &status, 0) < 0)
        return -1;
    std::lock_guard<std::mutex> lock(children_mutex);
    for (size_t i = 0; i < children.size(); i++)
        if (children[i].pid == pid) {
            children.erase(children.begin() + (long)i);
            break;
        }
    return status;
}

int platform_signal_children(const char *prefix, int sig)
{
    std::vector<pid_t> real;
    int n = 0;
    {
        std::lock_guard<std::mutex> lock(children_mutex);
        for (size_t i = 0; i < children.size();) {
            Child &c = children[i];
            if (c.cmdline.compare(0, strlen(prefix), prefix) != 0) {
                i++;
                continue;
            }
            n++;
            if (c.pid >= 4000000) {
                platform_log("simulated: signal %d to %s\n", sig, c.cmdline.c_str());
                if (sig == SIGTERM || sig == SIGKILL) {
                    children.erase(children.begin() + (long)i);
                    continue;
                }
            } else {
                real.push_back(c.pid);
            }
            i++;
        }
    }
    for (pid_t pid : real)
        kill(pid, sig);
    return n;
}

int platform_ethtool_set(int speed, int full_duplex, int autoneg)
{
    platform_log("simulated: ethtool eth0 speed %d duplex %s autoneg %s\n", speed, full_duplex ? "full" : "half",
                 autoneg ? "on" : "off");
    return 0;
}

int platform_ip_learning_window()
{
    const char *v = getenv("PLATFORM_IPLEARN_SECONDS");
    int s = v ? atoi(v) : 0;
    return s > 0 ? s : 300;
}
