#include "core/proc.h"
#include "platform/platform.h"
#include "testutil.h"

#include <csignal>
#include <cstdio>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

TEST(Commands, MachineChangingCommandsAreAnsweredNotRun)
{
    platform_init();
    EXPECT_EQ(run_command("ifconfig eth0 192.168.24.53 netmask 255.255.0.0"), 0);
    EXPECT_EQ(run_command("route add default gw 192.168.0.1"), 0);
    EXPECT_EQ(run_command("udhcpc -i eth0 -q"), 0);
    FILE *f = platform_popen("hwclock -w -f /dev/rtc1");
    ASSERT_TRUE(f);
    EXPECT_EQ(platform_pclose(f), 0);
}

TEST(Commands, MountAndUmountKeepTheBoardsMountTable)
{
    platform_init();
    // Neither the device nor the mount point exists yet: mount says so as the board's does.
    FILE *f = platform_popen("mount -o ro /dev/mmcblk9p1 /media/card 2>&1");
    ASSERT_TRUE(f);
    char line[256] = "";
    ASSERT_TRUE(fgets(line, sizeof line, f));
    EXPECT_STREQ(line, "mount: mounting /dev/mmcblk9p1 on /media/card failed: No such file or directory\n");
    EXPECT_NE(platform_pclose(f), 0);

    FILE *dev = fopen(test_board_path("/dev/mmcblk9p1").c_str(), "w");
    ASSERT_TRUE(dev);
    fclose(dev);
    ASSERT_EQ(run_command("mkdir -p /media/card"), 0);
    EXPECT_EQ(run_command("mount -o ro,usefree /dev/mmcblk9p1 /media/card"), 0);
    char opts[64];
    ASSERT_EQ(platform_storage_mount_options("/media/card", opts, sizeof opts), 1);
    EXPECT_STREQ(opts, "ro,usefree");
    EXPECT_NE(run_command("mount -o ro /dev/mmcblk9p1 /media/card"), 0) << "mounted twice";
    EXPECT_EQ(run_command("mount -o remount,rw /dev/mmcblk9p1 /media/card"), 0);
    platform_storage_mount_options("/media/card", opts, sizeof opts);
    EXPECT_STREQ(opts, "rw");
    // The one pipeline the storage code runs is answered from the table.
    EXPECT_EQ(run_command("mount | grep -q \"on /media/card\" && umount /media/card"), 0);
    EXPECT_EQ(platform_storage_mount_options("/media/card", opts, sizeof opts), 0);
    EXPECT_NE(run_command("mount | grep -q \"on /media/card\" && umount /media/card"), 0);
    EXPECT_NE(run_command("umount /media/card"), 0);
}

TEST(Commands, OverLongCommandsAreRefusedNotCut)
{
    std::string path = "/media/" + std::string(120, 'x');
    EXPECT_EQ(run_command("mkdir -p %s", path.c_str()), -1);
    struct stat st;
    EXPECT_NE(stat(test_board_path(path.substr(0, 90)).c_str(), &st), 0) << "the cut command ran";
}

TEST(Commands, HarmlessCommandsRunInsideTheBoardDirectory)
{
    EXPECT_EQ(run_command("mkdir -p /media/test/dir"), 0);
    struct stat st;
    EXPECT_EQ(stat(test_board_path("/media/test/dir").c_str(), &st), 0);
    EXPECT_EQ(run_command("touch /rebooting"), 0);
    EXPECT_EQ(stat(test_board_path("/rebooting").c_str(), &st), 0);
    FILE *f = platform_popen("df -h /media");
    ASSERT_TRUE(f);
    char line[256] = "";
    EXPECT_TRUE(fgets(line, sizeof line, f));
    platform_pclose(f);
}

TEST(Commands, UnknownCommandsAreRefused)
{
    EXPECT_NE(run_command("wget http://192.168.0.1/"), 0);
}

TEST(Commands, RebootAndHaltEndTheProcessWithTheirOwnStatus)
{
    for (auto [cmd, want] : {std::pair{"reboot", (int)PLATFORM_EXIT_REBOOT}, std::pair{"halt", (int)PLATFORM_EXIT_HALT}}) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            run_command("%s", cmd);
            _exit(0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), want) << cmd;
    }
}

TEST(Processes, KillByCmdlineFindsAndSignalsAChildByItsName)
{
    char name[64];
    snprintf(name, sizeof name, "k7160-test-sleeper-%d", (int)getpid());
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        execl("/bin/sleep", name, "30", (char *)nullptr);
        _exit(127);
    }
    char pattern[80];
    snprintf(pattern, sizeof pattern, "^%s", name);
    pid_t found = -1;
    for (int i = 0; i < 200 && found < 0; i++) {   // until the exec has happened
        found = kill_by_cmdline(pattern, 0);
        if (found < 0)
            usleep(10000);
    }
    EXPECT_EQ(found, child);
    EXPECT_EQ(kill_by_cmdline(pattern, SIGTERM), child);   // signals and reaps it
    EXPECT_EQ(kill(child, 0), -1);
    EXPECT_EQ(kill_by_cmdline("no-such-process-name-xyz", 0), -1);
}
