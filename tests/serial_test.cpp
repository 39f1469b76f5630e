// The serial service's baud table and raw settings, and the board's port as the platform
// offers it: a pseudo-terminal whose master the test holds.
#include "platform/serial_port.h"
#include "services/serial.h"
#include "testutil.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <string>

namespace {

std::string read_some(int fd, size_t want)
{
    std::string got;
    char buf[256];
    while (got.size() < want) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 2000) <= 0)
            break;
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            break;
        got.append(buf, (size_t)n);
    }
    return got;
}

} // namespace

TEST(SerialBaud, TableSelectsTheLineSpeed)
{
    EXPECT_EQ(serial_baud_speed(50), (unsigned)B50);
    EXPECT_EQ(serial_baud_speed(9600), (unsigned)B9600);
    EXPECT_EQ(serial_baud_speed(115200), (unsigned)B115200);
    EXPECT_EQ(serial_baud_speed(4000000), (unsigned)B4000000);
    // 921000 selects the 921600 line; 921600 itself is not on the table.
    EXPECT_EQ(serial_baud_speed(921000), (unsigned)B921600);
    EXPECT_EQ(serial_baud_speed(921600), 0u);
    for (uint32_t off : {0u, 49u, 51u, 9601u, 4000001u, 0xFFFFFFFFu})
        EXPECT_EQ(serial_baud_speed(off), 0u) << off;
}

TEST(SerialBaud, RawModeAndParity)
{
    struct termios t = {};
    t.c_lflag = ICANON | ECHO | ISIG;
    t.c_oflag = OPOST;
    t.c_iflag = ICRNL | IXON | IGNBRK;
    t.c_cflag = CSTOPB | CRTSCTS | CS7;
    serial_make_raw(&t, 0);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_iflag & (ICRNL | IXON | IGNBRK), 0u);
    EXPECT_EQ(t.c_cflag & CSIZE, (tcflag_t)CS8);
    EXPECT_EQ(t.c_cflag & (CSTOPB | CRTSCTS | PARENB), 0u);
    EXPECT_NE(t.c_cflag & CREAD, 0u);
    EXPECT_NE(t.c_cflag & CLOCAL, 0u);
    EXPECT_EQ(t.c_cc[VMIN], 1);
    EXPECT_EQ(t.c_cc[VTIME], 1);
    const tcflag_t bits = PARENB | PARODD | CMSPAR;
    const tcflag_t want[5] = {0, PARENB | PARODD, PARENB, PARENB | PARODD | CMSPAR, PARENB | CMSPAR};
    for (int parity = 0; parity < 5; parity++) {
        serial_make_raw(&t, parity);
        EXPECT_EQ(t.c_cflag & bits, want[parity]) << parity;
    }
}

TEST(SerialPort, PtyRoundTripAndRecordedSettings)
{
    // With no port on the board the platform makes its own.
    int own = platform_serial_open("/dev/ttyS0", O_RDWR | O_NOCTTY);
    ASSERT_GE(own, 0);
    close(own);
    struct stat st;
    ASSERT_EQ(lstat(test_board_path("dev/ttyS0").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));

    // A test's own pty replaces it.
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    unlink(test_board_path("dev/ttyS0").c_str());
    ASSERT_EQ(symlink(ptsname(master), test_board_path("dev/ttyS0").c_str()), 0);

    int tty = platform_serial_open("/dev/ttyS0", O_RDWR | O_NOCTTY | O_SYNC);
    ASSERT_GE(tty, 0);
    struct termios t;
    ASSERT_EQ(tcgetattr(tty, &t), 0);
    cfsetospeed(&t, B921600);
    cfsetispeed(&t, B921600);
    serial_make_raw(&t, 1);
    ASSERT_EQ(platform_serial_tcsetattr(tty, TCSANOW, &t), 0);

    struct termios back;
    ASSERT_EQ(tcgetattr(tty, &back), 0);
    EXPECT_EQ(cfgetospeed(&back), (speed_t)B921600);
    EXPECT_EQ(back.c_lflag & ICANON, 0u);
    struct termios asked;
    ASSERT_EQ(platform_serial_last_settings(&asked), 1);
    EXPECT_EQ(asked.c_cflag & (PARENB | PARODD), (tcflag_t)(PARENB | PARODD));

    // Every byte value both ways, unchanged by the line discipline.
    std::string all;
    for (int i = 0; i < 256; i++)
        all.push_back((char)i);
    ASSERT_EQ(write(master, all.data(), all.size()), (ssize_t)all.size());
    EXPECT_EQ(read_some(tty, all.size()), all);
    ASSERT_EQ(write(tty, all.data(), all.size()), (ssize_t)all.size());
    EXPECT_EQ(read_some(master, all.size()), all);

    EXPECT_EQ(platform_serial_set_console(tty), 0);
    close(tty);
    close(master);
}
