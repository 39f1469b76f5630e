// Process utilities: older instances, daemons, configuration tools, the last step of the process.
#pragma once
#include <sys/types.h>

int kill_by_cmdline(const char *pattern, int sig);
pid_t spawn_detached(const char *path, ...);   // arguments, then a null end
// Runs a configuration tool and waits for it; returns its exit status or -1.
int run_command(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void stop_old_instance();
void shutdown_system();
