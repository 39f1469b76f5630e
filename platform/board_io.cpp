// SoC register window, the 90 kHz counter, GPIO and watchdog of the simulated board.
#include "platform/platform.h"
#include "platform/platform_internal.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <unistd.h>

namespace {

constexpr uint32_t WIN_BASE = 0x01C00000u, WIN_SIZE = 0x400000u;
constexpr uint32_t SMALL_BASE = 0x14000u, SMALL_SIZE = 0x4000u;
constexpr uint32_t EMIF_BASE = 0x20000000u, EMIF_SIZE = 0x100u;

std::atomic<uint32_t> *window;   // registers read back what was written, as plain RAM
std::atomic<uint32_t> small_window[SMALL_SIZE / 4];
std::atomic<uint32_t> emif_window[EMIF_SIZE / 4];
std::once_flag map_once;
std::atomic<uint32_t> clock_offset;

// The PRTC bridge: a command and a data register in front of 256 byte-wide registers.
constexpr uint32_t PRTC_CMD = 0x01C69004u, PRTC_DATA = 0x01C69008u;
constexpr uint32_t PRTC_BUSY = 0x80000000u, PRTC_READ = 0x01000000u, PRTC_WRITE = 0x00010000u;
std::mutex prtc_mutex;
uint8_t prtc_regs[256];
int prtc_pending = -1;   // register of a write whose data comes next
std::atomic<int> prtc_busy{-1};   // -1: not yet read from the environment

bool prtc_held_busy()
{
    int b = prtc_busy.load();
    if (b < 0) {
        const char *e = getenv("PLATFORM_PRTC_BUSY");
        b = e && *e == '1';
        prtc_busy.store(b);
    }
    return b != 0;
}

std::atomic<int> gpio_fail_mode{-1};   // bit 0 open fails, bit 1 requests fail

int gpio_fail()
{
    int m = gpio_fail_mode.load();
    if (m < 0) {
        const char *e = getenv("PLATFORM_GPIO_FAIL");
        m = !e ? 0 : strcmp(e, "open") == 0 ? 1 : strcmp(e, "all") == 0 ? 3 : 0;
        gpio_fail_mode.store(m);
    }
    return m;
}

uint32_t ticks_now()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint32_t)((uint64_t)ts.tv_sec * 90000u + (uint64_t)ts.tv_nsec * 9u / 100000u);
}

std::atomic<uint32_t> *slot(uint32_t phys)
{
    if (phys >= WIN_BASE && phys - WIN_BASE < WIN_SIZE && window)
        return &window[(phys - WIN_BASE) / 4];
    if (phys >= SMALL_BASE && phys - SMALL_BASE < SMALL_SIZE)
        return &small_window[(phys - SMALL_BASE) / 4];
    if (phys >= EMIF_BASE && phys - EMIF_BASE < EMIF_SIZE)
        return &emif_window[(phys - EMIF_BASE) / 4];
    return nullptr;
}

std::string gpio_file(const char *kind, uint32_t gpio)
{
    return std::string(platform_board_dir()) + "/gpio/" + kind + std::to_string(gpio);
}

int read_int_file(const std::string &path, int dflt)
{
    FILE *f = fopen(path.c_str(), "r");
    if (!f)
        return dflt;
    int v = dflt;
    if (fscanf(f, "%d", &v) != 1)
        v = dflt;
    fclose(f);
    return v;
}

void write_int_file(const std::string &path, int v)
{
    std::string tmp = path + ".tmp";
    FILE *f = fopen(tmp.c_str(), "w");
    if (!f)
        return;
    fprintf(f, "%d\n", v);
    fclose(f);
    rename(tmp.c_str(), path.c_str());
}

} // namespace

void platform_clock_init()
{
    const char *start = getenv("PLATFORM_CLOCK90K_START");
    if (start && *start)
        platform_clock90k_set((uint32_t)strtoul(start, nullptr, 0));
}

void platform_clock90k_set(uint32_t value)
{
    clock_offset.store(value - ticks_now());
}

int platform_regs_map()
{
    std::call_once(map_once, [] { window = new std::atomic<uint32_t>[WIN_SIZE / 4](); });
    return 0;
}

uint32_t platform_reg_read(uint32_t phys)
{
    if (phys == PLATFORM_REG_TIMER90K)
        return ticks_now() + clock_offset.load(std::memory_order_relaxed);
    if (phys == PRTC_CMD && window) {
        std::lock_guard<std::mutex> lock(prtc_mutex);
        return window[(phys - WIN_BASE) / 4].load() | (prtc_held_busy() ? PRTC_BUSY : 0);
    }
    std::atomic<uint32_t> *s = slot(phys);
    return s ? s->load(std::memory_order_relaxed) : 0xDEADBEEFu;
}

void platform_reg_write(uint32_t phys, uint32_t value)
{
    if (phys == PLATFORM_REG_TIMER90K) {   // the counter is writable on the board
        platform_clock90k_set(value);
        return;
    }
    std::atomic<uint32_t> *s = slot(phys);
    if (!s)
        return;
    if (phys == PRTC_CMD || phys == PRTC_DATA) {
        std::lock_guard<std::mutex> lock(prtc_mutex);
        if (phys == PRTC_CMD) {
            if (value & PRTC_READ) {
                window[(PRTC_DATA - WIN_BASE) / 4].store(prtc_regs[value & 0xFF]);
                prtc_pending = -1;
            } else if (value & PRTC_WRITE) {
                prtc_pending = (int)(value & 0xFF);
            }
            s->store(value & ~PRTC_BUSY);
        } else {
            if (prtc_pending >= 0)
                prtc_regs[prtc_pending] = (uint8_t)value;
            prtc_pending = -1;
            s->store(value);
        }
        return;
    }
    s->store(value, std::memory_order_relaxed);
}

void platform_prtc_hold_busy(int on)
{
    prtc_busy.store(on ? 1 : 0);
}

// GPIO: inputs are files gpio/in<N> holding 1 while the input is active (gpio/pulse<N>, levels
// for the next reads, goes first); outputs are mirrored into gpio/out<N>. The driver hands out
// raw levels, active low, as the board's does.
int platform_gpio_open()
{
    if (gpio_fail() & 1) {
        errno = ENOENT;
        return -1;
    }
    std::string dev = std::string(platform_board_dir()) + "/gpio";
    return open(dev.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

int platform_gpio_read(int fd, uint32_t gpio, uint32_t *raw)
{
    if (fd < 0) {
        errno = EBADF;
        return -1;
    }
    std::string out = gpio_file("out", gpio);
    if (access(out.c_str(), F_OK) == 0) {
        *raw = (uint32_t)(1 - (read_int_file(out, 0) ? 1 : 0));
        return 0;
    }
    // A pulse<N> file lists the levels ('0' or '1') the next reads see, one a read, so a test's
    // pulse is bounded by reads rather than by a wall clock that a busy machine stretches.
    std::string pulse = gpio_file("pulse", gpio);
    if (FILE *f = fopen(pulse.c_str(), "r")) {
        char levels[64] = "";
        size_t n = fread(levels, 1, sizeof levels - 1, f);
        fclose(f);
        levels[n] = 0;
        size_t len = strspn(levels, "01");
        if (len > 0) {
            if (len > 1) {
                std::string tmp = pulse + ".tmp";
                if (FILE *w = fopen(tmp.c_str(), "w")) {
                    fwrite(levels + 1, 1, len - 1, w);
                    fclose(w);
                    rename(tmp.c_str(), pulse.c_str());
                }
            } else {
                unlink(pulse.c_str());
            }
            *raw = levels[0] == '1' ? 0 : 1;
            return 0;
        }
    }
    int active = read_int_file(gpio_file("in", gpio), 0);
    *raw = active ? 0 : 1;
    return 0;
}

int platform_gpio_write(int fd, uint32_t gpio, uint32_t value)
{
    if (fd < 0) {
        errno = EBADF;
        return -1;
    }
    write_int_file(gpio_file("out", gpio), value ? 1 : 0);
    return 0;
}

int platform_gpio_poll_vlock(int fd)
{
    if (fd < 0) {
        errno = EBADF;
        return -1;
    }
    // Video lock follows the simulated decoder: locked unless the board says "none".
    std::string std_file = std::string(platform_board_dir()) + "/video/standard";
    FILE *f = fopen(std_file.c_str(), "r");
    char word[16] = "";
    if (f) {
        if (fscanf(f, "%15s", word) != 1)
            word[0] = 0;
        fclose(f);
    }
    return strcmp(word, "none") == 0 ? -1 : 0;
}

int platform_gpio_ioctl(int fd, unsigned long request, void *arg)
{
    if (gpio_fail() & 2) {
        errno = EIO;
        return -1;
    }
    uint32_t *a = static_cast<uint32_t *>(arg);   // {gpio, value}
    switch (request) {
    case 0x4700:
        if (!a) {
            errno = EFAULT;
            return -1;
        }
        return platform_gpio_read(fd, a[0], &a[1]);
    case 0x4701:
        if (!a) {
            errno = EFAULT;
            return -1;
        }
        return platform_gpio_write(fd, a[0], a[1]);
    case 0x4702:
        return platform_gpio_poll_vlock(fd);
    default:
        errno = ENOTTY;
        return -1;
    }
}

void platform_gpio_fail(int open_fails, int requests_fail)
{
    gpio_fail_mode.store((open_fails ? 1 : 0) | (requests_fail ? 2 : 0));
}

void platform_gpio_close(int fd)
{
    if (fd >= 0)
        close(fd);
}

void platform_gpio_set_input(uint32_t gpio, int active)
{
    write_int_file(gpio_file("in", gpio), active ? 1 : 0);
}

int platform_gpio_output(uint32_t gpio)
{
    return read_int_file(gpio_file("out", gpio), 0);
}

int platform_watchdog_open()
{
    std::string dev = std::string(platform_board_dir()) + "/dev/watchdog";
    return open(dev.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
}

int platform_watchdog_feed(int fd)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    char line[32];
    int n = snprintf(line, sizeof line, "%ld.%03ld\n", (long)ts.tv_sec, ts.tv_nsec / 1000000);
    return write(fd, line, n) == n ? 0 : -1;
}
