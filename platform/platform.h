// The seam between the system and the board. On the PC every device lives in a board
// directory; nothing outside platform/ knows which of the two it runs on.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <sys/types.h>

// Exit statuses of the simulated "reboot" and "halt" commands.
enum { PLATFORM_EXIT_REBOOT = 66, PLATFORM_EXIT_HALT = 67 };

// Reads the platform switches once and makes sure the board directory exists.
// Safe to call any number of times from any thread.
void platform_init();

// The board directory ("" never: a default is chosen), and the host interface standing for "eth0".
const char *platform_board_dir();
const char *platform_eth();
// Whether another process of this program runs on this board (on the PC: was started on the
// same board directory), so that a new start is to stop it.
bool platform_shares_board(pid_t pid);

// Maps an absolute device or system path ("/dev/mtd0", "/usr/html/index.htm") to where it lives
// on this platform. Relative paths are returned unchanged. Writes at most size bytes.
const char *platform_path(const char *path, char *out, size_t size);

// Whether the real-time scheduling policy and a negative nice value are to be used.
bool platform_realtime_allowed();
int platform_set_nice(int value);

// Shell commands the system runs. Commands that would change this machine are logged and
// answered as the board would; harmless ones run for real with absolute paths mapped.
// platform_system returns what system() returns.
int platform_system(const char *cmdline);
// Output of a command, read like popen(cmd, "r"). Close with platform_pclose.
FILE *platform_popen(const char *cmdline);
int platform_pclose(FILE *f);
// Starts a daemon that outlives the caller (getty, telnetd). Returns its pid, or negative.
pid_t platform_spawn_detached(const char *path, char *const argv[]);

// Flash ("/dev/mtd0"): positioned reads and writes; writes can only clear bits; erase sets 0xFF
// on whole erase blocks.
enum { PLATFORM_FLASH_SIZE = 16 << 20, PLATFORM_FLASH_ERASE_SIZE = 128 << 10 };
int platform_flash_open(const char *path);
ssize_t platform_flash_pread(int fd, void *buf, size_t len, uint32_t offset);
ssize_t platform_flash_pwrite(int fd, const void *buf, size_t len, uint32_t offset);
int platform_flash_erase(int fd, uint32_t offset, uint32_t len);
void platform_flash_close(int fd);
// Test hooks: the power goes after `steps` more program (256-byte page) or erase (8 KiB) steps;
// the step in progress and everything after fail with EIO. -1 restores the power.
void platform_flash_cut_after(long steps);
long platform_flash_cut_remaining();

// SoC register window. Reads of unmapped addresses are the caller's business.
int platform_regs_map();
uint32_t platform_reg_read(uint32_t phys);
void platform_reg_write(uint32_t phys, uint32_t value);
// The free-running 90 kHz counter's physical address.
enum : uint32_t { PLATFORM_REG_TIMER90K = 0x01C20810u };
// Test hook: make the 90 kHz counter read `value` now and run on from there.
void platform_clock90k_set(uint32_t value);

// "/dev/user_gpio": the three requests of the board's GPIO driver.
int platform_gpio_open();
int platform_gpio_read(int fd, uint32_t gpio, uint32_t *raw);   // raw level, active low for inputs
int platform_gpio_write(int fd, uint32_t gpio, uint32_t value);
int platform_gpio_poll_vlock(int fd);                              // 0 when video is locked
// The driver's three requests (0x4700 read, 0x4701 write with {uint32 gpio, uint32 value},
// 0x4702 video-lock poll), answered as the board's driver answers them.
int platform_gpio_ioctl(int fd, unsigned long request, void *arg);
void platform_gpio_close(int fd);
// Test hooks (also PLATFORM_GPIO_FAIL=open|all): the device is missing, or every request fails.
void platform_gpio_fail(int open_fails, int requests_fail);
// Test hook (also PLATFORM_PRTC_BUSY=1): the PRTC command register reports busy for ever.
void platform_prtc_hold_busy(int on);
// Test hooks: press or release a button (active level), read an output.
void platform_gpio_set_input(uint32_t gpio, int active);
int platform_gpio_output(uint32_t gpio);

// "/dev/watchdog".
int platform_watchdog_open();
int platform_watchdog_feed(int fd);   // the stand-in appends the monotonic time of each feed

// Removable media. Device nodes ("/dev/mmcblk0p1") and mount points ("/media/mmc") are paths
// like any other (platform_path); mount and umount go through the command runner, which keeps
// the board's mount table. statfs of a mounted medium, as the board's driver answers it.
struct statfs;
int platform_statfs(const char *path, struct statfs *st);
// Test hook: 1 and the options ("ro,usefree") when a mount point is in the mount table.
int platform_storage_mount_options(const char *point, char *options, size_t size);

// The kernel's neighbour (ARP) table on the interface standing for "eth0": 1 with the hardware
// address in mac, 0 when it is not (yet) known, -1 on error (errno set). A loopback or local
// destination counts as known, with a zero address.
int platform_arp_lookup(int sock, uint32_t addr_net, uint8_t mac[6]);
// Sends the socket's multicast through the interface standing for "eth0". 0 or -1.
int platform_set_multicast_if(int sock);

// Configuration tools and daemons started as children (ifconfig, route, udhcpc, ntpd...). On
// the PC the tools that would change this machine are logged and answered with a pid of their
// own, never run; a program inside the board directory runs for real (for tests). The child
// closes every inherited descriptor; an exec that fails ends it with status 127.
pid_t platform_spawn_child(const char *path, char *const argv[]);
// The child's wait status, or -1.
int platform_wait_child(pid_t pid);
// Signals the running children this process started whose command line begins with prefix;
// never a process of the host found by its name. Returns how many.
int platform_signal_children(const char *prefix, int sig);
// The ethtool link request on the interface standing for "eth0" (speed 10 or 100, full or half
// duplex, auto-negotiation). 0, or -1 with errno set.
int platform_ethtool_set(int speed, int full_duplex, int autoneg);
// How long IP learning listens, in seconds (a test may shorten it with PLATFORM_IPLEARN_SECONDS).
int platform_ip_learning_window();
