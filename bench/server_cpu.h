// A server's CPU time over a bench client's window: the run time of its threads in nanoseconds
// from /proc/PID/task/TID/schedstat (/proc/PID/stat counts 10 ms ticks, as coarse as a quiet
// server's whole figure over a run), shared by the HTTP and RTSP clients.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <map>
#include <string>

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

// Run time (ns) of every thread of pid that the filter counts, by thread id.
inline std::map<int, unsigned long long> thread_cpu_ns(int pid, const std::string &filter)
{
    std::map<int, unsigned long long> out;
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
        if (!thread_counted(comm, filter))
            continue;
        snprintf(file, sizeof file, "/proc/%d/task/%d/schedstat", pid, tid);
        f = fopen(file, "r");
        unsigned long long ns = 0;
        if (f && fscanf(f, "%llu", &ns) == 1)
            out[tid] = ns;
        if (f)
            fclose(f);
    }
    closedir(d);
    return out;
}

// The counted threads of one server over a window. Threads are looked at twice a second: one
// begun counts from zero; one that ends within the window takes what it ran after the last look
// with it, so the figure is short and the bench must not use it (NAME_gone says how many did).
struct ServerCpu {
    int pid = 0;
    std::string filter;
    std::map<int, unsigned long long> atStart, seen, atEnd;
    bool ended = false;
    double nextLook = 0;
};

inline void server_cpu_start(ServerCpu &s, double now)
{
    s.seen = s.atStart = thread_cpu_ns(s.pid, s.filter);
    s.nextLook = now + 0.5;
}

// At every turn of the client's loop; `last` at the window's end.
inline void server_cpu_look(ServerCpu &s, double now, bool last = false)
{
    if (s.ended || (!last && now < s.nextLook))
        return;
    std::map<int, unsigned long long> look = thread_cpu_ns(s.pid, s.filter);
    for (const auto &th : look)
        s.seen[th.first] = th.second;
    s.nextLook = now + 0.5;
    if (last) {
        s.atEnd = look;
        s.ended = true;
    }
}

// " NAME_cpu_ns=N NAME_count=N NAME_gone=N" for the window (closed by a last look): the run time,
// the threads counted and those of them that ended inside it.
inline void server_cpu_print(const ServerCpu &s, const char *name)
{
    const std::map<int, unsigned long long> &atEnd = s.atEnd;
    unsigned long long ns = 0;
    int gone = 0;
    for (const auto &th : s.seen) {
        auto before = s.atStart.find(th.first);
        ns += th.second - (before == s.atStart.end() ? 0 : before->second);
        gone += atEnd.count(th.first) == 0;
    }
    printf(" %s_cpu_ns=%llu %s_count=%zu %s_gone=%d", name, ns, name, s.seen.size(), name, gone);
}
