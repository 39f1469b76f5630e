// Checks the benches' server CPU counting against a process that starts and ends threads as it
// serves, as a server's pool does (tests/e2e/bench_cpu_test.sh).
//   burn SECONDS: a long-lived thread "reader" runs a third of the time throughout (left out);
//     meanwhile a new thread "serve" every 20 ms runs 10 ms of CPU and ends, so most begin and end
//     between two looks; prints "serve START END NS" per such thread (wall clock, its own CPU).
//   measure PID COUNTER FILTER SECONDS: server_cpu.h's figures over SECONDS, as a client takes
//     them, then "T0 T1".
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <pthread.h>
#include <string>
#include <thread>
#include <vector>

#include "server_cpu.h"

namespace {

double wall()
{
    timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

long long thread_ns()
{
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

void spin(long long ns)
{
    for (long long end = thread_ns() + ns; thread_ns() < end;) {
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 3 && std::string(argv[1]) == "burn") {
        double until = wall() + atof(argv[2]);
        std::atomic<bool> done{false};
        std::thread reader([&] {
            pthread_setname_np(pthread_self(), "reader");
            while (!done) {
                spin(5000000);
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        });
        std::mutex m;
        std::vector<std::thread> serving;
        std::string lines;
        while (wall() < until) {
            serving.emplace_back([&] {
                pthread_setname_np(pthread_self(), "serve");
                double start = wall();
                spin(10000000);
                long long ns = thread_ns();
                char line[96];
                snprintf(line, sizeof line, "serve %.6f %.6f %lld\n", start, wall(), ns);
                std::lock_guard<std::mutex> lock(m);
                lines += line;
            });
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        for (auto &t : serving)
            t.join();
        done = true;
        reader.join();
        fputs(lines.c_str(), stdout);
        return 0;
    }
    if (argc == 6 && std::string(argv[1]) == "measure") {
        ServerCpu s;
        s.pid = atoi(argv[2]);
        s.counter = argv[3];
        s.filter = argv[4];
        double t0 = wall(), end = t0 + atof(argv[5]);
        server_cpu_start(s, t0);
        while (wall() < end) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            server_cpu_look(s, wall());
        }
        server_cpu_look(s, wall(), true);
        server_cpu_print(s);
        printf("\n%.6f %.6f\n", t0, wall());
        return 0;
    }
    fprintf(stderr, "usage: %s burn SECONDS | measure PID COUNTER FILTER SECONDS\n", argv[0]);
    return 2;
}
