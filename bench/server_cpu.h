// A server's CPU time over a bench client's window, shared by the HTTP and RTSP clients. The
// whole comes from a counter that keeps every thread that ever ran, so that threads a server
// starts and ends as it serves (a pool's workers, a session's thread) are in it: the cgroup the
// bench put the server in (v1 cpuacct.usage in ns, v2 cpu.stat usage_usec), else the process's
// own totals in /proc/PID/stat (clock ticks; ended threads and reaped children included). From it
// the threads the bench leaves out on purpose (an encoder, a file reader: long-lived threads the
// THREADS filter does not name) are taken away, each from its own schedstat in nanoseconds.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <map>
#include <string>
#include <unistd.h>

// Whether a thread named `comm` is counted under a THREADS filter ("rtp", "!reader,!other"; empty
// counts every thread).
inline bool thread_counted(const std::string &comm, const std::string &filter)
{
    bool anyInclude = false, included = false;
    size_t start = 0;
    while (start <= filter.size()) {
        size_t end = filter.find(',', start);
        if (end == std::string::npos)
            end = filter.size();
        std::string prefix = filter.substr(start, end - start);
        bool exclude = !prefix.empty() && prefix[0] == '!';
        if (exclude)
            prefix.erase(0, 1);
        if (!prefix.empty()) {
            bool match = comm.compare(0, prefix.size(), prefix) == 0;
            if (exclude && match)
                return false;
            if (!exclude) {
                anyInclude = true;
                included |= match;
            }
        }
        start = end + 1;
    }
    return !anyInclude || included;
}

// Run time (ns) of every thread of pid, by thread id, and whether the filter counts it as serving.
struct ThreadLook {
    unsigned long long ns;
    bool serving;
};
inline std::map<int, ThreadLook> thread_look(int pid, const std::string &filter)
{
    std::map<int, ThreadLook> out;
    char path[96];
    snprintf(path, sizeof path, "/proc/%d/task", pid);
    DIR *d = opendir(path);
    if (!d)
        return out;
    while (struct dirent *e = readdir(d)) {
        int tid = atoi(e->d_name);
        if (tid <= 0)
            continue;
        char comm[64] = "", file[128];
        snprintf(file, sizeof file, "/proc/%d/task/%d/comm", pid, tid);
        FILE *f = fopen(file, "r");
        if (!f)
            continue;
        if (!fgets(comm, sizeof comm, f))
            comm[0] = 0;
        fclose(f);
        comm[strcspn(comm, "\n")] = 0;
        snprintf(file, sizeof file, "/proc/%d/task/%d/schedstat", pid, tid);
        f = fopen(file, "r");
        unsigned long long ns = 0;
        if (f && fscanf(f, "%llu", &ns) == 1)
            out[tid] = {ns, thread_counted(comm, filter)};
        if (f)
            fclose(f);
    }
    closedir(d);
    return out;
}

// The counter's value in ns: "…/cpuacct.usage", "…/cpu.stat" or "/proc/PID/stat".
inline unsigned long long cpu_counter_ns(const std::string &counter)
{
    FILE *f = fopen(counter.c_str(), "r");
    if (!f)
        return 0;
    char buf[1024];
    size_t n = fread(buf, 1, sizeof buf - 1, f);
    fclose(f);
    buf[n] = 0;
    if (counter.size() >= 8 && counter.compare(counter.size() - 8, 8, "cpu.stat") == 0) {
        const char *u = strstr(buf, "usage_usec ");
        return u ? strtoull(u + 11, nullptr, 10) * 1000 : 0;
    }
    if (counter.compare(0, 6, "/proc/") == 0) {
        // utime stime cutime cstime, after the name (which may hold spaces).
        const char *p = strrchr(buf, ')');
        unsigned long long ticks = 0;
        for (int field = 3; p && field <= 17; field++) {
            p = strchr(p + 1, ' ');
            if (p && field >= 14)
                ticks += strtoull(p + 1, nullptr, 10);
        }
        return ticks * (1000000000ull / (unsigned long long)sysconf(_SC_CLK_TCK));
    }
    return strtoull(buf, nullptr, 10);
}

// One server over a window. The left-out threads are looked at every 0.1 s: one that ends
// inside the window takes what it ran after the last look into the serving figure (left_out_gone
// says how many did; the bench leaves out long-lived threads only).
struct ServerCpu {
    int pid = 0;
    std::string counter;   // empty: /proc/PID/stat
    std::string filter;    // the serving threads; the others are left out
    unsigned long long total0 = 0, total1 = 0;
    std::map<int, ThreadLook> atStart, seen, atEnd;
    bool ended = false;
    double nextLook = 0;
};

inline void server_cpu_start(ServerCpu &s, double now)
{
    if (s.counter.empty())
        s.counter = "/proc/" + std::to_string(s.pid) + "/stat";
    s.seen = s.atStart = thread_look(s.pid, s.filter);
    s.total0 = cpu_counter_ns(s.counter);
    s.nextLook = now + 0.1;
}

// At every turn of the client's loop; `last` at the window's end.
inline void server_cpu_look(ServerCpu &s, double now, bool last = false)
{
    if (s.ended || (!last && now < s.nextLook))
        return;
    std::map<int, ThreadLook> look = thread_look(s.pid, s.filter);
    for (const auto &th : look)
        s.seen[th.first] = th.second;
    s.nextLook = now + 0.1;
    if (last) {
        s.total1 = cpu_counter_ns(s.counter);
        s.atEnd = look;
        s.ended = true;
    }
}

// " process_cpu_ns=N threads_cpu_ns=N left_out_ns=N left_out_threads=N left_out_gone=N
// serving_gone=N" for the window (closed by a last look): the whole, the serving part, the threads
// left out, and the serving threads seen that ended inside it (their time is in the figure).
inline void server_cpu_print(const ServerCpu &s)
{
    unsigned long long out = 0;
    int leftOut = 0, gone = 0, servingGone = 0;
    for (const auto &th : s.seen) {
        bool ended = s.atEnd.count(th.first) == 0;
        if (th.second.serving) {
            servingGone += ended;
            continue;
        }
        auto before = s.atStart.find(th.first);
        out += th.second.ns - (before == s.atStart.end() ? 0 : before->second.ns);
        leftOut++;
        gone += ended;
    }
    unsigned long long total = s.total1 - s.total0;
    printf(" process_cpu_ns=%llu threads_cpu_ns=%llu left_out_ns=%llu left_out_threads=%d left_out_gone=%d serving_gone=%d", total,
           total > out ? total - out : 0, out, leftOut, gone, servingGone);
}
