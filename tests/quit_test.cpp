#include "core/log.h"
#include "core/quit.h"

#include <csignal>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

// Each case runs in a child: the quit state never returns to 0 once set.
template <typename F> int in_child(F f)
{
    pid_t pid = fork();
    if (pid == 0) {
        f();
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
}

TEST(Quit, WaiterNeverMissesAWakeUp)
{
    int status = in_child([] {
        std::thread setter([] { quit_set(QUIT_QUIT, false); });
        // A long deadline: only a missed wake-up would make this time out.
        int v = quit_wait(20000);
        setter.join();
        _exit(v == QUIT_QUIT ? 0 : 1);
    });
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(Quit, SignalIsRecordedThenActedOnByTheNextPoll)
{
    int status = in_child([] {
        signal(SIGTERM, global_quit_handler);
        raise(SIGTERM);
        if (quit_requested() != QUIT_QUIT)
            _exit(1);
        if (global_quit.rtsp_control != RTSP_CONTROL_RELOAD_USERS)
            _exit(2);
        _exit(0);
    });
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(Quit, RebootIsNotWeakenedByALaterQuit)
{
    int status = in_child([] {
        quit_set(QUIT_REBOOT, false);
        quit_set(QUIT_QUIT, true);
        _exit(quit_requested() == QUIT_REBOOT ? 0 : 1);
    });
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(CrashHandler, ReportsAndAbortsInsteadOfReturningIntoTheFault)
{
    int status = in_child([] {
        quit_set(QUIT_QUIT, false);   // skip the ten-second pause
        struct sigaction sa = {};
        sa.sa_sigaction = crash_handler;
        sa.sa_flags = SA_SIGINFO;
        sigaction(SIGSEGV, &sa, nullptr);
        raise(SIGSEGV);
        _exit(0);   // reached only if the handler returned
    });
    ASSERT_TRUE(WIFSIGNALED(status)) << "handler returned";
    EXPECT_EQ(WTERMSIG(status), SIGABRT);
}
