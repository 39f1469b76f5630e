#include "storage/filesys.h"

#include "core/log.h"
#include "core/param.h"
#include "platform/platform.h"
#include "streams/stream.h"
#include "testutil.h"

#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void touch(const std::string &rel)
{
    std::ofstream(test_board_path(rel)) << "";
}

std::string options(const char *point)
{
    char o[64] = "";
    return platform_storage_mount_options(point, o, sizeof o) ? o : "(not mounted)";
}

struct Storage : ::testing::Test {
    ParamBlock params{};
    void SetUp() override
    {
        platform_init();
        unlink(test_board_path("/dev/mmcblk0p1").c_str());
        unlink(test_board_path("/mtab").c_str());
        unlink(test_board_path("/mount-fail").c_str());
        unlink(test_board_path("/statfs-overreport").c_str());
        filesys_reset();
        log_ring_reset();
    }
    void insert() { touch("/dev/mmcblk0p1"); }
};

} // namespace

TEST_F(Storage, FirstTickTunesWriteBackClearsStaleMountsAndMakesMountPoints)
{
    // A mount left by an earlier run of the program, in the board's table, not the host's.
    mkdir(test_board_path("/media/mmc").c_str(), 0755);
    std::ofstream(test_board_path("/mtab")) << "/dev/mmcblk0p1 on /media/mmc type vfat (rw)\n";
    fileSysTick(&params);
    EXPECT_EQ(options("/media/mmc"), "(not mounted)");
    std::ifstream wb(test_board_path("/proc/sys/vm/dirty_writeback_centisecs"));
    std::string v;
    wb >> v;
    EXPECT_EQ(v, "50");
    struct stat st;
    EXPECT_EQ(stat(test_board_path("/media/ext").c_str(), &st), 0);
    EXPECT_NE(test_log_text().find("fileSysTick: initializing mount points 2=/media/ext dev="), std::string::npos);
}

TEST_F(Storage, InsertMountsReadOnlyAndRemovalUnmounts)
{
    fileSysTick(&params);
    EXPECT_EQ(filesys_is_mounted(0), 0);
    insert();
    fileSysTick(&params);
    ASSERT_EQ(filesys_is_mounted(0), 1);
    EXPECT_EQ(options("/media/mmc"), "ro,usefree");
    EXPECT_GT(storage_mount[0].totalBlocks, 0);
    char *dir = filesys_getdir(0);
    ASSERT_TRUE(dir);
    EXPECT_STREQ(dir, "/media/mmc/DCIM");
    free(dir);
    char text[100];
    int n = getRecordingStorage(text, sizeof text);
    EXPECT_EQ(n, (int)strlen(text));
    EXPECT_EQ(strncmp(text, "MMC: ", 5), 0) << text;
    EXPECT_NE(strstr(text, " used, "), nullptr) << text;

    unlink(test_board_path("/dev/mmcblk0p1").c_str());
    fileSysTick(&params);
    EXPECT_EQ(filesys_is_mounted(0), 0);
    EXPECT_EQ(options("/media/mmc"), "(not mounted)");
    getRecordingStorage(text, sizeof text);
    EXPECT_STREQ(text, "Not present");
    EXPECT_EQ(filesys_getdir(0), nullptr);
    EXPECT_EQ(filesys_getdir(7), nullptr);
    EXPECT_EQ(filesys_is_mounted(-1), 0);
}

TEST_F(Storage, WritersHoldTheMediumReadWriteAndRefuseItsRemovalOnce)
{
    insert();
    fileSysTick(&params);
    FILESYS_LOCK();
    filesys_writer_get(0);
    filesys_writer_get(0);
    filesys_unlock();
    EXPECT_EQ(options("/media/mmc"), "rw,usefree");
    unlink(test_board_path("/dev/mmcblk0p1").c_str());
    fileSysTick(&params);
    fileSysTick(&params);
    EXPECT_EQ(filesys_is_mounted(0), 1);
    EXPECT_EQ(test_count(test_log_text(), "can't unmount /media/mmc with 2 writers"), 1u);
    FILESYS_LOCK();
    filesys_writer_put(0);
    EXPECT_EQ(options("/media/mmc"), "rw,usefree");
    filesys_writer_put(0);
    filesys_unlock();
    // The last writer remounts read-only; the device has gone, so the row goes too.
    EXPECT_EQ(filesys_is_mounted(0), 0);
    EXPECT_EQ(options("/media/mmc"), "(not mounted)");
}

TEST_F(Storage, DeleteOnAReadOnlyMediumIsReadWriteOnlyAroundTheUnlink)
{
    insert();
    fileSysTick(&params);
    mkdir(test_board_path("/media/mmc/DCIM").c_str(), 0755);
    touch("/media/mmc/DCIM/old.ts");
    log_ring_reset();
    EXPECT_EQ(filesys_delete(0, "old.ts"), 0);
    EXPECT_EQ(file_size("/media/mmc/DCIM/old.ts"), -1);
    std::string log = test_log_text();
    size_t rw = log.find("remount,rw"), ro = log.find("remount,ro");
    EXPECT_NE(rw, std::string::npos);
    EXPECT_GT(ro, rw);
    EXPECT_EQ(options("/media/mmc"), "ro,usefree");
    EXPECT_EQ(filesys_delete(0, "old.ts"), -1);
    EXPECT_EQ(filesys_delete(3, "old.ts"), -1);
}

TEST_F(Storage, MultiFileOperationsHoldOneWriterForTheirSource)
{
    insert();
    fileSysTick(&params);
    filesys_multi_start(0, 5000);
    EXPECT_EQ(storage_mount[0].writers, 1);
    filesys_multi_start(0, 9000);   // a second start changes nothing
    EXPECT_EQ(storage_mount[0].writers, 1);
    filesys_multi_finish(1);        // another source's finish changes nothing
    EXPECT_EQ(storage_mount[0].writers, 1);
    EXPECT_EQ(options("/media/mmc"), "rw,usefree");
    filesys_multi_finish(0);
    EXPECT_EQ(storage_mount[0].writers, 0);
    EXPECT_EQ(options("/media/mmc"), "ro,usefree");
}

TEST_F(Storage, StartModeStartsTheRecordingAfterTheFirstMount)
{
    StreamRunState rs{};
    stream_register(&rs, nullptr, RECORD_STREAM);
    params.Recording.StartMode = 3;
    insert();
    fileSysTick(&params);   // mounts: the countdown is 4, and this tick counts one off
    for (int i = 0; i < 2; i++) {
        EXPECT_EQ(stream_get_state_by_id(RECORD_STREAM), 0) << "tick " << i;
        fileSysTick(&params);
    }
    EXPECT_EQ(stream_get_state_by_id(RECORD_STREAM), 0);
    fileSysTick(&params);
    EXPECT_EQ(stream_get_state_by_id(RECORD_STREAM), 1) << "StartMode 3 starts 3 ticks after the mount";
    stream_register(nullptr, nullptr, RECORD_STREAM);
}

TEST_F(Storage, CannedMountFailures)
{
    // Busy twice, then the mount goes through in the same tick.
    std::ofstream(test_board_path("/mount-fail")) << "busy\nbusy\n";
    insert();
    fileSysTick(&params);
    EXPECT_EQ(filesys_is_mounted(0), 1);
    EXPECT_EQ(test_count(test_log_text(), "Filesystem busy, retrying..."), 2u);

    // An unknown option is dropped; without it too the file system is unsupported.
    unlink(test_board_path("/dev/mmcblk0p1").c_str());
    fileSysTick(&params);
    std::ofstream(test_board_path("/mount-fail")) << "inval\ninval\n";
    insert();
    log_ring_reset();
    fileSysTick(&params);
    EXPECT_EQ(filesys_is_mounted(0), 0);
    EXPECT_EQ(storage_mount[0].state, FILESYS_BUSY);
    std::string log = test_log_text();
    EXPECT_NE(log.find("mount -o ro /dev/mmcblk0p1 /media/mmc 2>&1 (rw=2)"), std::string::npos);
    EXPECT_NE(log.find("Unsupported filesystem type"), std::string::npos);
    fileSysTick(&params);   // the next tick tries again and succeeds
    EXPECT_EQ(filesys_is_mounted(0), 1);

    // A fault on a row of kind 2 is a storage problem.
    unlink(test_board_path("/dev/mmcblk0p1").c_str());
    fileSysTick(&params);
    storage_mount[0].kind = 2;
    std::ofstream(test_board_path("/mount-fail")) << "nxio\n";
    insert();
    fileSysTick(&params);
    EXPECT_EQ(filesys_storage_problem(), 1);
    EXPECT_NE(test_log_text().find("Filesys storage problem detected"), std::string::npos);
}

TEST_F(Storage, OverReportedFreeSpaceRemountsWithoutUsefree)
{
    touch("/statfs-overreport");
    insert();
    fileSysTick(&params);
    ASSERT_EQ(filesys_is_mounted(0), 1);
    EXPECT_EQ(options("/media/mmc"), "ro");
    EXPECT_LE(storage_mount[0].availBlocks, storage_mount[0].totalBlocks);
}

TEST_F(Storage, RowsOneAndTwoMountOnlyWhenNamed)
{
    fileSysTick(&params);
    touch("/dev/sda1");
    FILESYS_LOCK();
    filesys_remount(2, "ro");   // no device name: nothing happens
    EXPECT_EQ(filesys_is_mounted(2), 0);
    filesys_unlock();
    filesys_set_device(2, "/dev/sda1");
    FILESYS_LOCK();
    filesys_remount(2, "ro");
    filesys_unlock();
    EXPECT_EQ(filesys_is_mounted(2), 1);
    char text[100];
    getRecordingStorage(text, sizeof text);
    EXPECT_EQ(strncmp(text, "USB: ", 5), 0) << text;
    unlink(test_board_path("/dev/sda1").c_str());
    fileSysTick(&params);   // a mounted row 2 is watched too
    EXPECT_EQ(filesys_is_mounted(2), 0);
}

TEST_F(Storage, DoneUnmountsEveryMountedRow)
{
    insert();
    fileSysTick(&params);
    fileSysDone();
    EXPECT_EQ(filesys_is_mounted(0), 0);
    EXPECT_EQ(options("/media/mmc"), "(not mounted)");
    EXPECT_NE(test_log_text().find("unmounted /media/mmc\n"), std::string::npos);
}

TEST_F(Storage, SaveLogWritesInsideAWriterReference)
{
    EXPECT_EQ(filesys_save_log_to(0, 0), -1);
    insert();
    fileSysTick(&params);
    EXPECT_EQ(filesys_save_log_to(0, 0) >= 0, true);
    EXPECT_GT(file_size("/media/mmc/log.txt"), 0);
    EXPECT_EQ(filesys_save_log_to(0, 2), -1);
    EXPECT_EQ(options("/media/mmc"), "ro,usefree");
}

TEST(StoragePaths, PathExistsLooksUpExactNames)
{
    platform_init();
    mkdir(test_board_path("/media/p").c_str(), 0755);
    touch("/media/p/Clip.ts");
    EXPECT_EQ(path_exists("/media/p/Clip.ts"), 1);
    EXPECT_EQ(path_exists("/media/p/clip.ts"), 0);
    EXPECT_EQ(path_exists("/media/p/"), 1);
    EXPECT_EQ(path_exists("/media/q/"), 0);
    EXPECT_EQ(path_exists(""), 0);
    EXPECT_EQ(path_exists(nullptr), 0);
    touch("/toplevel");
    EXPECT_EQ(path_exists("/toplevel"), 1);   // the only "/" is the first: "/" is listed
    char cwd[4096];
    ASSERT_TRUE(getcwd(cwd, sizeof cwd));
    ASSERT_EQ(chdir(test_board_path("/media/p").c_str()), 0);
    EXPECT_EQ(path_exists("Clip.ts"), 1);     // a bare name is looked up in "."
    EXPECT_EQ(chdir(cwd), 0);
    EXPECT_EQ(file_size("/media/p/none"), -1);
}

TEST(StorageStatus, EncodeStatusClampsTheChannel)
{
    char text[100];
    int n = encode_status_text(5, text, sizeof text);
    EXPECT_EQ(n, (int)strlen(text));
    EXPECT_EQ(strncmp(text, "Encode[1], frames: ", 19), 0) << text;
    encode_status_text(-3, text, sizeof text);
    EXPECT_EQ(strncmp(text, "Encode[0], ", 11), 0) << text;
}

TEST_F(Storage, OddMountAndDfOutputIsLoggedNotTrusted)
{
    std::ofstream(test_board_path("/mount-fail")) << "something nobody expects \x01\x02 failed:\n";
    insert();
    fileSysTick(&params);
    EXPECT_EQ(filesys_is_mounted(0), 0);
    EXPECT_NE(test_log_text().find("ret=65280 "), std::string::npos) << test_log_text();
    // What the tool wrote is kept, its control bytes escaped by the log.
    EXPECT_NE(test_log_text().find("something nobody expects \\x01\\x02 failed:"), std::string::npos) << test_log_text();
    // A long device name pushes the reason past 79 characters: it is still recognised.
    unlink(test_board_path("/dev/mmcblk0p1").c_str());
    touch("/dev/mmcblk0p1extra");
    filesys_set_device(0, "/dev/mmcblk0p1extra");
    std::ofstream(test_board_path("/mount-fail")) << "busy\n";
    fileSysTick(&params);
    EXPECT_NE(test_log_text().find("Filesystem busy, retrying..."), std::string::npos);
    ASSERT_EQ(filesys_is_mounted(0), 1);
    fileSysDone();
    filesys_set_device(0, "/dev/mmcblk0p1");
    unlink(test_board_path("/dev/mmcblk0p1extra").c_str());
    insert();
    fileSysTick(&params);
    ASSERT_EQ(filesys_is_mounted(0), 1);
    // The mount point vanishes under df: its answer has no second line.
    ASSERT_EQ(rename(test_board_path("/media/mmc").c_str(), test_board_path("/media/mmc.away").c_str()), 0);
    char text[100];
    int n = getRecordingStorage(text, sizeof text);
    EXPECT_STREQ(text, "MMC: unknown");
    EXPECT_EQ(n, (int)strlen(text));
    EXPECT_NE(test_log_text().find("getRecordingStorage: unexpected df output"), std::string::npos);
    ASSERT_EQ(rename(test_board_path("/media/mmc.away").c_str(), test_board_path("/media/mmc").c_str()), 0);
}
