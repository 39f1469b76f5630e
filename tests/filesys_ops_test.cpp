#include "storage/filesys.h"

#include "core/log.h"
#include "core/param.h"
#include "core/param_commit.h"
#include "core/threads.h"
#include "platform/platform.h"
#include "storage/record.h"
#include "streams/stream.h"
#include "fakeproducer.h"
#include "testutil.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

void put_file(const std::string &rel, const std::string &data)
{
    test_run("mkdir -p \"$(dirname '" + test_board_path(rel) + "')\"");
    std::ofstream(test_board_path(rel), std::ios::binary) << data;
}

std::string file_text(const std::string &rel)
{
    std::vector<uint8_t> b = test_read_file(test_board_path(rel));
    return std::string(b.begin(), b.end());
}

bool exists(const std::string &rel)
{
    struct stat st;
    return stat(test_board_path(rel).c_str(), &st) == 0;
}

std::string random_bytes(size_t n, unsigned seed)
{
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (char &c : s)
        c = (char)(gen() & 0xff);
    return s;
}

std::string options(const char *point)
{
    char o[64] = "";
    return platform_storage_mount_options(point, o, sizeof o) ? o : "(not mounted)";
}

bool logged(const std::string &text)
{
    return test_log_text().find(text) != std::string::npos;
}

// The SD card mounted as source 0; the internal medium (1) and USB (2) on request.
struct StorageOps : ::testing::Test {
    ParamBlock params{};
    void SetUp() override
    {
        platform_init();
        for (const char *f : {"/dev/mmcblk0p1", "/dev/intmem", "/dev/sda1", "/mtab", "/mount-fail", "/statfs-avail"})
            unlink(test_board_path(f).c_str());
        filesys_reset();
        put_file("/dev/mmcblk0p1", "");
        fileSysTick(&params);
        ASSERT_EQ(filesys_is_mounted(0), 1);
        log_ring_reset();
    }
    void mount(int source, const char *device)
    {
        put_file(device, "");
        filesys_set_device(source, device);
        FILESYS_LOCK();
        filesys_remount(source, "ro");
        filesys_unlock();
        ASSERT_EQ(filesys_is_mounted(source), 1);
    }
};

} // namespace

TEST_F(StorageOps, RenameRefusesAnExistingNameAndWritesOnlyInsideAWriterReference)
{
    put_file("/media/mmc/DCIM/a.ts", "AAA");
    put_file("/media/mmc/DCIM/b.ts", "BBB");
    EXPECT_EQ(filesys_rename(0, "a.ts", "b.ts"), -2);
    EXPECT_EQ(file_text("/media/mmc/DCIM/a.ts"), "AAA");
    EXPECT_EQ(file_text("/media/mmc/DCIM/b.ts"), "BBB");
    EXPECT_TRUE(logged("filesys_rename: /media/mmc/DCIM/b.ts exists"));
    EXPECT_EQ(filesys_rename(0, "a.ts", "a.ts"), 0);

    log_ring_reset();
    EXPECT_EQ(filesys_rename(0, "a.ts", "c.ts"), 0);
    EXPECT_FALSE(exists("/media/mmc/DCIM/a.ts"));
    EXPECT_EQ(file_text("/media/mmc/DCIM/c.ts"), "AAA");
    std::string log = test_log_text();
    EXPECT_NE(log.find("remount,rw"), std::string::npos);
    EXPECT_GT(log.find("remount,ro"), log.find("remount,rw"));
    EXPECT_EQ(options("/media/mmc"), "ro,usefree");

    EXPECT_EQ(filesys_rename(0, "gone.ts", "d.ts"), -1);
    EXPECT_EQ(filesys_rename(0, "c.ts", "../../escaped.ts"), -1);
    EXPECT_TRUE(logged("filesys_rename: refused name ../../escaped.ts"));
    EXPECT_EQ(file_text("/media/mmc/DCIM/c.ts"), "AAA");
    EXPECT_EQ(filesys_rename(1, "c.ts", "d.ts"), -1);   // not mounted
    EXPECT_EQ(filesys_rename(9, "c.ts", "d.ts"), -1);
    EXPECT_TRUE(logged("filesys_rename: invalid source 9"));
    EXPECT_EQ(storage_mount[0].writers, 0);
}

TEST_F(StorageOps, CopyMovesEveryByteToTheOtherMediumAndRefusesATakenName)
{
    mount(1, "/dev/intmem");
    std::string clip = random_bytes((3 << 20) + 12345, 1);   // several 1 MiB chunks and a tail
    put_file("/media/mmc/DCIM/clip.mp4", clip);
    EXPECT_EQ(filesys_copy(0, "clip.mp4", 0), 0) << test_log_text();
    EXPECT_EQ(file_text("/media/int/DCIM/clip.mp4"), clip);
    EXPECT_TRUE(logged("Copied " + std::to_string(clip.size()) + " bytes in "));
    EXPECT_EQ(options("/media/int"), "ro,usefree");
    EXPECT_EQ(storage_mount[1].writers, 0);

    // Back the other way the name is taken; with overwrite the copy replaces it.
    put_file("/media/int/DCIM/clip.mp4", "other");
    EXPECT_EQ(filesys_copy(1, "clip.mp4", 0), FILESYS_ERR_FILE_EXISTS);
    EXPECT_EQ(file_text("/media/mmc/DCIM/clip.mp4"), clip);
    EXPECT_STREQ(filesys_copy_strerror(FILESYS_ERR_FILE_EXISTS), "ERR_FILE_EXISTS");
    EXPECT_EQ(filesys_copy(1, "clip.mp4", 1), 0);
    EXPECT_EQ(file_text("/media/mmc/DCIM/clip.mp4"), "other");
}

TEST_F(StorageOps, CopyCountsTheTargetsFreeSpaceAndTheFileItReplaces)
{
    mount(1, "/dev/intmem");
    std::string clip = random_bytes(2 << 20, 2);
    put_file("/media/mmc/DCIM/big.ts", clip);
    // The internal medium is all but full: one block left.
    std::ofstream(test_board_path("/statfs-avail")) << "/media/int 1\n";
    EXPECT_EQ(filesys_copy(0, "big.ts", 0), FILESYS_ERR_NO_SPACE);
    EXPECT_FALSE(exists("/media/int/DCIM/big.ts"));
    EXPECT_TRUE(logged("free " + std::to_string(storage_mount[1].blockSize) + " + dst 0 < size " +
                       std::to_string(clip.size())));
    EXPECT_EQ(storage_mount[1].writers, 0);

    // An old file of the same size makes room for its replacement.
    put_file("/media/int/DCIM/big.ts", std::string(clip.size(), 'x'));
    EXPECT_EQ(filesys_copy(0, "big.ts", 1), 0) << test_log_text();
    EXPECT_EQ(file_text("/media/int/DCIM/big.ts"), clip);
}

TEST_F(StorageOps, CopyTakesOnlyTheSdCardAndTheInternalMediumAndSaysWhy)
{
    mount(2, "/dev/sda1");
    put_file("/media/ext/DCIM/usb.ts", "usb");
    for (int source : {2, 3, -1}) {
        log_ring_reset();
        EXPECT_EQ(filesys_copy(source, "usb.ts", 1), FILESYS_ERR_UNEXPECTED) << source;
        EXPECT_TRUE(logged("filesys_copy: source " + std::to_string(source) + " has no copy target")) << source;
    }
    EXPECT_STREQ(filesys_copy_strerror(FILESYS_ERR_UNEXPECTED), "ERR_unexpected");
    EXPECT_EQ(storage_mount[2].writers, 0);

    // The internal medium is not there: nothing to write to.
    put_file("/media/mmc/DCIM/x.ts", "x");
    EXPECT_EQ(filesys_copy(0, "x.ts", 0), FILESYS_ERR_FILE_WRITE);
    EXPECT_TRUE(logged("filesys_copy: src 1 not mounted"));
    mount(1, "/dev/intmem");
    log_ring_reset();
    EXPECT_EQ(filesys_copy(0, "missing.ts", 0), FILESYS_ERR_FILE_READ);
    EXPECT_TRUE(logged("file copy read: No such file or directory"));
    EXPECT_EQ(filesys_copy(0, "../x.ts", 0), FILESYS_ERR_UNEXPECTED);
    EXPECT_EQ(filesys_copy(0, "sub/../../x.ts", 0), FILESYS_ERR_UNEXPECTED);
    EXPECT_TRUE(logged("filesys_copy: refused name sub/../../x.ts"));
    EXPECT_EQ(filesys_copy(0, nullptr, 0), FILESYS_ERR_UNEXPECTED);
    // A folder is no file to copy.
    test_run("mkdir -p '" + test_board_path("/media/mmc/DCIM/folder") + "'");
    EXPECT_EQ(filesys_copy(0, "folder", 0), FILESYS_ERR_FILE_READ);
    // Unreadable: the source is a dangling link.
    ASSERT_EQ(symlink("/nowhere/at/all", test_board_path("/media/mmc/DCIM/link.ts").c_str()), 0);
    EXPECT_EQ(filesys_copy(0, "link.ts", 0), FILESYS_ERR_FILE_READ);
    EXPECT_FALSE(exists("/media/int/DCIM/link.ts"));
    EXPECT_EQ(storage_mount[1].writers, 0);
    EXPECT_EQ(options("/media/int"), "ro,usefree");
}

TEST_F(StorageOps, GetFileGivesEachCallerAPathOfItsOwnWhateverItsLength)
{
    std::string longname = std::string(140, 'n') + ".cfg";
    put_file("/media/mmc/" + longname, "long");
    char *a = filesys_get_file(longname.c_str());
    ASSERT_TRUE(a);
    EXPECT_EQ(std::string(a), "/media/mmc/" + longname);
    put_file("/media/mmc/short.cfg", "s");
    char *b = filesys_get_file("short.cfg");
    ASSERT_TRUE(b);
    EXPECT_STREQ(b, "/media/mmc/short.cfg");
    EXPECT_EQ(std::string(a), "/media/mmc/" + longname) << "a later call changed an earlier answer";
    free(a);
    free(b);

    // USB comes first, then the internal medium, then the SD card.
    mount(2, "/dev/sda1");
    put_file("/media/ext/short.cfg", "usb");
    char *c = filesys_get_file("short.cfg");
    ASSERT_TRUE(c);
    EXPECT_STREQ(c, "/media/ext/short.cfg");
    free(c);
    EXPECT_EQ(filesys_get_file("none.cfg"), nullptr);
    EXPECT_EQ(filesys_get_file("../short.cfg"), nullptr);
    EXPECT_EQ(filesys_get_file(nullptr), nullptr);

    char *d = filesys_get_file_on(0, "x/y.ts");
    ASSERT_TRUE(d);
    EXPECT_STREQ(d, "/media/mmc/x/y.ts");
    free(d);
    EXPECT_EQ(filesys_get_file_on(1, "y.ts"), nullptr);
    EXPECT_EQ(filesys_get_file_on(3, "y.ts"), nullptr);
    EXPECT_EQ(file_exists_on(0, "short.cfg"), 1);
    EXPECT_EQ(file_exists_on(0, "SHORT.cfg"), 0);
    EXPECT_EQ(file_exists_on(1, "short.cfg"), 0);
    EXPECT_EQ(file_exists_on(0, ".."), 0);
}

TEST_F(StorageOps, AFailedOpenForWritingGivesItsWriterReferenceBack)
{
    EXPECT_EQ(filesys_fopen(0, "no/such/folder/x.txt", "w"), nullptr);
    EXPECT_EQ(storage_mount[0].writers, 0);
    EXPECT_EQ(options("/media/mmc"), "ro,usefree");
    EXPECT_EQ(storage_mount[0].state, FILESYS_RO);

    FILE *f = filesys_fopen(0, "notes.txt", "w");
    ASSERT_TRUE(f);
    EXPECT_EQ(options("/media/mmc"), "rw,usefree");
    fputs("hello", f);
    EXPECT_EQ(filesys_fclose_w(0, f), 0);
    EXPECT_EQ(options("/media/mmc"), "ro,usefree");
    EXPECT_EQ(file_text("/media/mmc/notes.txt"), "hello");

    // Reading takes no reference.
    f = filesys_fopen(0, "notes.txt", "r");
    ASSERT_TRUE(f);
    EXPECT_EQ(storage_mount[0].writers, 0);
    EXPECT_EQ(filesys_fclose(0, f), 0);
    EXPECT_EQ(filesys_fopen(0, "missing.txt", "r"), nullptr);
    EXPECT_EQ(filesys_fopen(0, "../../../etc/passwd", "r"), nullptr);
    EXPECT_EQ(filesys_fopen(2, "notes.txt", "w"), nullptr);
    EXPECT_EQ(filesys_fopen(-4, "notes.txt", "a"), nullptr);
    EXPECT_EQ(filesys_fclose(0, nullptr), -1);
    EXPECT_EQ(storage_mount[0].writers + storage_mount[2].writers, 0);
}

TEST_F(StorageOps, WholeFilesAreReadAndWrittenOrRefusedWithAReason)
{
    std::string data = random_bytes(100000, 3);
    EXPECT_EQ(filesys_writefile(0, "blob.bin", data.data(), data.size()), 0);
    EXPECT_EQ(options("/media/mmc"), "ro,usefree");
    size_t n = 1;
    uint8_t *back = filesys_readfile(0, "blob.bin", &n);
    ASSERT_TRUE(back);
    EXPECT_EQ(n, data.size());
    EXPECT_EQ(std::string((char *)back, n), data);
    free(back);

    put_file("/media/mmc/empty.bin", "");
    EXPECT_EQ(filesys_readfile(0, "empty.bin", &n), nullptr);
    EXPECT_EQ(n, 0u);
    log_ring_reset();
    EXPECT_EQ(filesys_readfile(0, "DCIM", &n), nullptr);   // the tick's folder, not a file
    test_run("mkdir -p '" + test_board_path("/media/mmc/dir") + "'");
    EXPECT_EQ(filesys_readfile(0, "dir", &n), nullptr);
    EXPECT_TRUE(logged("filesys_readfile: /media/mmc/dir is not a file"));
    EXPECT_EQ(filesys_readfile(0, "missing.bin", &n), nullptr);
    EXPECT_TRUE(logged("/media/mmc/missing.bin: No such file or directory"));
    EXPECT_EQ(filesys_readfile(1, "blob.bin", &n), nullptr);
    EXPECT_TRUE(logged("filesys_readfile: src 1 not mounted"));
    EXPECT_EQ(filesys_readfile(7, "blob.bin", &n), nullptr);
    EXPECT_TRUE(logged("filesys_readfile: invalid source 7"));
    EXPECT_EQ(filesys_readfile(0, "a/../blob.bin", &n), nullptr);
    ASSERT_EQ(symlink("/nowhere/at/all", test_board_path("/media/mmc/dangling.bin").c_str()), 0);
    log_ring_reset();
    EXPECT_EQ(filesys_readfile(0, "dangling.bin", &n), nullptr);
    EXPECT_TRUE(logged("/media/mmc/dangling.bin: No such file or directory"));

    EXPECT_EQ(filesys_writefile(0, "no/folder/x.bin", "x", 1), -1);
    EXPECT_EQ(filesys_writefile(0, "..", "x", 1), -1);
    EXPECT_EQ(filesys_writefile(5, "x.bin", "x", 1), -1);
    EXPECT_EQ(storage_mount[0].writers, 0);
    EXPECT_EQ(options("/media/mmc"), "ro,usefree");

    log_ring_reset();
    EXPECT_EQ(filesys_unlink(0, "blob.bin"), 0);
    EXPECT_FALSE(exists("/media/mmc/blob.bin"));
    std::string log = test_log_text();
    EXPECT_NE(log.find("remount,rw"), std::string::npos);
    EXPECT_GT(log.find("remount,ro"), log.find("remount,rw"));
    EXPECT_EQ(filesys_unlink(0, "blob.bin"), -1);
    EXPECT_EQ(filesys_unlink(0, "../mmc/empty.bin"), -1);
    EXPECT_TRUE(exists("/media/mmc/empty.bin"));
    EXPECT_EQ(filesys_unlink(3, "empty.bin"), -1);
    EXPECT_EQ(storage_mount[0].writers, 0);
}

TEST_F(StorageOps, SpaceQueriesAndStateTests)
{
    int64_t total = filesys_total_space(0), avail = filesys_free_space(0);
    EXPECT_GT(total, 0);
    EXPECT_GE(avail, 0);
    EXPECT_LE(avail, total);
    EXPECT_EQ(filesys_total_space(1), -1);
    EXPECT_EQ(filesys_free_space(2), -1);
    EXPECT_EQ(filesys_free_space(-1), -1);
    std::ofstream(test_board_path("/statfs-avail")) << "/media/mmc 3\n";
    filesys_recalculate_free_space(0);
    EXPECT_EQ(filesys_free_space(0), 3 * (int64_t)storage_mount[0].blockSize);
    filesys_recalculate_free_space(4);

    EXPECT_EQ(filesys_count_devices(), 0);
    EXPECT_TRUE(logged("filesys_count_devices: 0\n"));
    EXPECT_EQ(filesys_check_source(2), 2);
    EXPECT_EQ(filesys_check_source(3), -1);
    EXPECT_EQ(filesys_check_source(-1), -1);
    EXPECT_EQ(filesys_problem_kind(), 0);
    storage_mount[0].kind = 2;
    EXPECT_EQ(filesys_problem_kind(), 1);

    EXPECT_EQ(filesys_all_read_only(), 1);
    EXPECT_EQ(filesys_wait_read_only(), 0);
    FILESYS_LOCK();
    filesys_writer_get(0);
    filesys_unlock();
    EXPECT_EQ(filesys_all_read_only(), 0);
    // The writer goes away meanwhile: the wait ends.
    std::thread writer([] {
        usleep(300000);
        FILESYS_LOCK();
        filesys_writer_put(0);
        filesys_unlock();
    });
    EXPECT_EQ(filesys_wait_read_only(), 0);
    writer.join();
    EXPECT_EQ(filesys_all_read_only(), 1);

    mount(2, "/dev/sda1");
    unmount_all();
    EXPECT_EQ(filesys_is_mounted(0) + filesys_is_mounted(2), 0);
    EXPECT_EQ(options("/media/ext"), "(not mounted)");
}

TEST_F(StorageOps, ConfigurationFromTheMediumIsApplied)
{
    ParamBlock *p = get_param_block();
    *p = param_defaults;
    p->Video[0].GOPSize = 30;
    put_file("/media/mmc/config.txt", "# settings for the field\r\nVideo[0].GOPSize = 45 \r\nNoSuchSetting = 1\n");
    EXPECT_EQ(filesys_load_config_params(0), 0);
    EXPECT_EQ(p->Video[0].GOPSize, 45);
    EXPECT_TRUE(logged("can't set 'NoSuchSetting' to '1'"));
    EXPECT_EQ(filesys_load_config_params(1), -1);
    EXPECT_EQ(filesys_load_config_params(-2), -1);
    unlink(test_board_path("/media/mmc/config.txt").c_str());
    log_ring_reset();
    EXPECT_EQ(filesys_load_config_params(0), -1);
    EXPECT_TRUE(logged("filesys_load_config_params: can't read /media/mmc/config.txt"));
}

TEST_F(StorageOps, LogAndDmesgGoToTheFirstOfUsbInternalAndSd)
{
    EXPECT_GE(filesys_save_log(), 0);
    EXPECT_TRUE(exists("/media/mmc/log.txt"));
    mount(2, "/dev/sda1");
    EXPECT_GE(filesys_save_log(), 0);
    EXPECT_TRUE(exists("/media/ext/log.txt"));
    filesys_save_dmesg();   // dmesg itself may be refused here; the file is made either way
    EXPECT_TRUE(exists("/media/ext/dmesg.txt"));
    EXPECT_FALSE(exists("/media/mmc/dmesg.txt"));
    EXPECT_EQ(options("/media/ext"), "ro,usefree");
    unmount_all();
    EXPECT_EQ(filesys_save_log(), -1);
    EXPECT_EQ(filesys_save_dmesg(), -1);
    EXPECT_TRUE(logged("filesys_save_dmesg: no storage mounted"));
}

// The recorder itself over the fake producer names the file it begins.
TEST_F(StorageOps, RecordFilenameIsTheSegmentTheRecorderBeginsMeanwhile)
{
    char name[100] = "";
    EXPECT_EQ(getRecordFilename(name, sizeof name, 200), ETIMEDOUT);
    EXPECT_STREQ(name, "unknown");
    char small[4];
    getRecordFilename(small, sizeof small, 10);
    EXPECT_STREQ(small, "unk");

    ParamBlock *p = get_param_block();
    *p = param_defaults;
    p->Video[0].Width = 320;
    p->Video[0].Height = 240;
    snprintf(p->Recording.Filename, sizeof p->Recording.Filename, "seg^c.ts");
    p->Recording.Format = 0;
    recordEnv = {};
    recordEnv.name = "record";
    recordEnv.params = p;
    recordEnv.runStateId = RECORD_STREAM;
    pthread_t t{};
    ASSERT_EQ(pthread_create(&t, nullptr, recordThrFxn, &recordEnv), 0);
    pthread_detach(t);
    for (int i = 0; i < 100 && stream_get_state_by_id(RECORD_STREAM) < 0; i++)
        usleep(10000);
    FakeProducer *fp = fakeproducer_start();
    ASSERT_TRUE(fp);

    int result = -1;
    std::thread waiter([&] { result = getRecordFilename(name, sizeof name, 5000); });
    usleep(200000);   // the waiter is waiting before the run starts
    stream_set_state_by_id(RECORD_STREAM, STREAM_START);
    waiter.join();
    EXPECT_EQ(result, 0);
    EXPECT_STREQ(name, "seg1.ts");
    stream_set_state_by_id(RECORD_STREAM, STREAM_STOP);
    for (int i = 0; i < 500 && !logged("rw 0 0 0"); i++)
        usleep(20000);
    EXPECT_TRUE(logged("rw 0 0 0")) << test_log_text();
    // Nothing begins now: "unknown" after the wait.
    EXPECT_EQ(getRecordFilename(name, sizeof name, 300), ETIMEDOUT);
    EXPECT_STREQ(name, "unknown");
    fakeproducer_stop(fp);
}
