#include "core/log.h"

#include "core/board.h"
#include "core/proc.h"
#include "core/quit.h"
#include "core/threads.h"
#include "platform/platform_crash.h"

#include <atomic>
#include <cassert>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <execinfo.h>
#include <pthread.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

pthread_mutex_t log_mutex = PTHREAD_MUTEX_INITIALIZER;

struct LogRing {
    char data[LOG_RING_SIZE];
    uint32_t output_head;    // where the next byte goes
    uint32_t output_tail;    // first byte of the oldest line kept
    uint32_t wrap_end;       // end of the older pass while the data wraps; zeros follow it
} board;

char status_text[STATUS_LINE_SIZE];
char last_error[LAST_ERROR_SIZE];
std::atomic<log_line_hook_fn> line_hook{nullptr};
std::atomic<int> sound_crashes{0};
std::atomic<int> alarms{0};
volatile sig_atomic_t codec_hang_flag;

// The crash path must never wait for a mutex its own thread may hold.
bool lock_for_crash()
{
    for (int i = 0; i < 100; i++) {
        if (pthread_mutex_trylock(&log_mutex) == 0)
            return true;
        usleep(1000);
    }
    return false;
}

void ring_append_locked(const char *text, uint32_t length)
{
    if (length == 0)
        return;
    if (length > LOG_RING_SIZE / 2) {
        text += length - LOG_RING_SIZE / 2;
        length = LOG_RING_SIZE / 2;
    }
    if (board.output_head + length > LOG_RING_SIZE - 1) {
        memset(board.data + board.output_head, 0, LOG_RING_SIZE - board.output_head);
        // Whatever lay past the old head is gone; the older pass now ends there.
        if (board.output_tail > board.output_head || board.output_tail == 0)
            board.output_tail = length;
        board.wrap_end = board.output_head;
        board.output_head = 0;
    }
    if (board.output_tail > board.output_head && board.output_head + length >= board.output_tail) {
        uint32_t t = board.output_head + length;
        uint32_t end = board.wrap_end;
        while (t < end && board.data[t] != '\n')
            t++;
        t++;
        if (t >= end)
            t = 0;
        board.output_tail = t;
    }
    memcpy(board.data + board.output_head, text, length);
    board.output_head += length;
    assert(board.output_head != board.output_tail);
}

uint32_t ring_used_locked()
{
    if (board.output_head >= board.output_tail)
        return board.output_head - board.output_tail;
    return board.wrap_end - board.output_tail + board.output_head;
}

void write_stderr(const char *text, int len)
{
    while (len > 0) {
        ssize_t w = write(STDERR_FILENO, text, len);
        if (w <= 0)
            return;
        text += w;
        len -= (int)w;
    }
}

// Copies `length` bytes of `p` into `out` (room for `room`), each byte that may not stand in a
// line as \xNN: the ASCII controls and DEL, the C1 controls and U+2028/U+2029 in UTF-8 (a line
// break or a terminal control to some readers) and bytes that are not UTF-8. Stops before a
// character or an escape that does not fit. Gives the bytes written.
size_t escape_text(const unsigned char *p, size_t length, char *out, size_t room, bool backslash)
{
    static const char hex[] = "0123456789abcdef";
    size_t o = 0, i = 0;
    while (i < length) {
        size_t n = p[i] >= 0x80 ? utf8_char_length(p + i, length - i) : 0;
        bool c1 = n == 2 && p[i] == 0xc2 && p[i + 1] <= 0x9f;
        bool separator = n == 3 && p[i] == 0xe2 && p[i + 1] == 0x80 && (p[i + 2] == 0xa8 || p[i + 2] == 0xa9);
        if (n && !c1 && !separator) {
            if (o + n > room)
                break;
            memcpy(out + o, p + i, n);
            o += n;
            i += n;
            continue;
        }
        // C1 controls and the separators are escaped byte by byte, as bytes that are no UTF-8 are.
        unsigned c = p[i];
        if (c >= 0x20 && c < 0x7f && (c != '\\' || !backslash)) {
            if (o + 1 > room)
                break;
            out[o++] = (char)c;
        } else {
            if (o + 4 > room)
                break;
            out[o++] = '\\';
            out[o++] = 'x';
            out[o++] = hex[c >> 4];
            out[o++] = hex[c & 15];
        }
        i++;
    }
    return o;
}

// Formats one line as it is written everywhere: the time stamp (unless raw), the message with
// whatever it holds escaped, cut to a line, and one newline of its own. Nothing here takes a lock
// or allocates: the crash path writes through it. 0 for an empty message.
int format_line(char *line, const char *fmt, va_list ap, bool stamp)
{
    char message[LOG_LINE_MAX + 1];   // escaping only widens: more could not fit in the line
    int n = vsnprintf(message, sizeof message, fmt, ap);
    if (n <= 0)
        return 0;
    size_t have = n < (int)sizeof message ? (size_t)n : sizeof message - 1;
    if (n < (int)sizeof message && message[have - 1] == '\n')
        have--;   // the line's own end
    int off = 0;
    if (stamp) {
        struct timeval tv;
        gettimeofday(&tv, nullptr);
        off = snprintf(line, LOG_LINE_MAX, "[%5ld.%06ld] ", (long)(tv.tv_sec % 100000), (long)tv.tv_usec);
    }
    off += (int)escape_text((const unsigned char *)message, have, line + off, LOG_LINE_MAX - 1 - off, false);
    line[off++] = '\n';
    line[off] = 0;
    return off;
}

int write_line(const char *line, int len)
{
    write_stderr(line, len);
    log_it(line, len);
    if (log_line_hook_fn hook = line_hook.load())
        hook(line, len);
    return len;
}

int write_system_line(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
int write_system_line(const char *fmt, ...)
{
    char line[LOG_LINE_MAX + 1];
    va_list ap;
    va_start(ap, fmt);
    int len = format_line(line, fmt, ap, true);
    va_end(ap);
    return len ? write_line(line, len) : 0;
}

// The budget of each client that caused lines lately. Users are few (only an Admin makes them)
// and every client without credentials shares one origin, so a small table holds them; when it
// is full the one unused longest gives way, its count written first.
enum { ORIGIN_SLOTS = 16, ORIGIN_REPORT_DELAY_MS = 5000, ORIGIN_REPORT_MS = 60000 };
struct OriginBudget {
    LogOrigin origin;          // kind LOG_ORIGIN_SYSTEM: free
    int64_t credit_ms;         // LOG_ORIGIN_LINE_MS per line, earned with time up to the burst
    int64_t credit_at;
    int64_t window_start;
    unsigned in_window;
    unsigned held;             // held back since the last count written
    int64_t first_held_ms;
    int64_t reported_ms;       // the last count written
    int64_t used_ms;
};
pthread_mutex_t origin_mutex = PTHREAD_MUTEX_INITIALIZER;
OriginBudget origin_budgets[ORIGIN_SLOTS];
std::atomic<int64_t (*)()> origin_clock{nullptr};
thread_local LogOrigin thread_origin;   // zero: the system

int64_t origin_now()
{
    int64_t (*clock)() = origin_clock.load();
    return clock ? clock() : monotonic_ms();
}

bool same_origin(const LogOrigin &a, const LogOrigin &b)
{
    bool named_a = a.kind == LOG_ORIGIN_USER || a.kind == LOG_ORIGIN_ADMIN;
    bool named_b = b.kind == LOG_ORIGIN_USER || b.kind == LOG_ORIGIN_ADMIN;
    return named_a == named_b && (!named_a || strcmp(a.user, b.user) == 0);
}

void origin_name(const LogOrigin &o, char *out, size_t size)
{
    if (o.kind == LOG_ORIGIN_ANONYMOUS)
        snprintf(out, size, "clients without credentials");
    else
        snprintf(out, size, "user %s", o.user);
}

// Locked: the count of `b`, when there is one, into `line` (empty when none); the slot's count
// starts again.
void take_count_locked(OriginBudget *b, int64_t now, char *line, size_t size)
{
    line[0] = 0;
    if (!b->held)
        return;
    char name[64];
    origin_name(b->origin, name, sizeof name);
    snprintf(line, size, "%s: %u lines held back\n", name, b->held);
    b->held = 0;
    b->reported_ms = now;
}

// Whether a line of `o` may be written now; a count of a slot that gave way lands in `evicted`.
bool origin_pass(const LogOrigin &o, char *evicted, size_t size)
{
    evicted[0] = 0;
    pthread_mutex_lock(&origin_mutex);
    int64_t now = origin_now();
    OriginBudget *b = nullptr, *oldest = nullptr;
    for (OriginBudget &s : origin_budgets) {
        bool free = s.origin.kind == LOG_ORIGIN_SYSTEM;
        if (!free && same_origin(s.origin, o)) {
            b = &s;
            break;
        }
        if (oldest && oldest->origin.kind == LOG_ORIGIN_SYSTEM)
            continue;
        if (!oldest || free || s.used_ms < oldest->used_ms)
            oldest = &s;
    }
    if (!b) {
        b = oldest;
        take_count_locked(b, now, evicted, size);
        *b = OriginBudget();
        b->origin = o;
        b->credit_ms = (int64_t)LOG_ORIGIN_BURST * LOG_ORIGIN_LINE_MS;
        b->credit_at = now;
        b->reported_ms = now - ORIGIN_REPORT_MS;
    }
    b->used_ms = now;
    b->credit_ms += now - b->credit_at;
    b->credit_at = now;
    if (b->credit_ms > (int64_t)LOG_ORIGIN_BURST * LOG_ORIGIN_LINE_MS)
        b->credit_ms = (int64_t)LOG_ORIGIN_BURST * LOG_ORIGIN_LINE_MS;
    if (now - b->window_start >= LOG_ORIGIN_WINDOW_MS) {
        b->window_start = now;
        b->in_window = 0;
    }
    bool pass = b->in_window < LOG_ORIGIN_WINDOW_LINES && b->credit_ms >= LOG_ORIGIN_LINE_MS;
    if (pass) {
        b->in_window++;
        b->credit_ms -= LOG_ORIGIN_LINE_MS;
    } else if (b->held++ == 0) {
        b->first_held_ms = now;
    }
    pthread_mutex_unlock(&origin_mutex);
    return pass;
}

void print_backtrace()
{
    void *frames[20];
    int n = backtrace(frames, 20);
    for (int i = 1; i < n; i++) {
        Dl_info info;
        const char *sym = "";
        if (dladdr(frames[i], &info) && info.dli_sname)
            sym = info.dli_sname;
        log_print_raw("%d: %p %s\n", i, frames[i], sym);
    }
}

} // namespace

void log_init()
{
    // The mutex is statically initialised; kept as the start-up step main calls.
}

void log_set_line_hook(log_line_hook_fn hook)
{
    line_hook.store(hook);
}

void log_it(const char *text, size_t length)
{
    pthread_mutex_lock(&log_mutex);
    ring_append_locked(text, length > (size_t)LOG_RING_SIZE ? (uint32_t)LOG_RING_SIZE : (uint32_t)length);
    pthread_mutex_unlock(&log_mutex);
}

int log_printf(const char *fmt, ...)
{
    const LogOrigin &o = thread_origin;
    if (o.kind != LOG_ORIGIN_SYSTEM && o.kind != LOG_ORIGIN_ADMIN) {
        char evicted[LOG_LINE_MAX + 1];
        bool pass = origin_pass(o, evicted, sizeof evicted);
        if (evicted[0])
            write_system_line("%s", evicted);
        if (!pass)
            return 0;
    }
    char line[LOG_LINE_MAX + 1];
    va_list ap;
    va_start(ap, fmt);
    int len = format_line(line, fmt, ap, true);
    va_end(ap);
    return len ? write_line(line, len) : 0;
}

LogText log_text_n(const char *text, size_t length)
{
    LogText t;
    size_t o = escape_text((const unsigned char *)text, length, t.text, sizeof t.text - 1, true);
    t.text[o] = 0;
    return t;
}

LogText log_text(const char *text)
{
    if (!text)
        return log_text_n("(null)", 6);
    return log_text_n(text, strlen(text));
}

LogOrigin log_origin_client(const char *user, bool admin)
{
    LogOrigin o = {};
    bool named = user && *user;
    o.kind = admin ? LOG_ORIGIN_ADMIN : named ? LOG_ORIGIN_USER : LOG_ORIGIN_ANONYMOUS;
    if (named)
        snprintf(o.user, sizeof o.user, "%s", user);
    return o;
}

LogOrigin log_origin()
{
    return thread_origin;
}

LogOrigin log_origin_swap(const LogOrigin &origin)
{
    LogOrigin before = thread_origin;
    thread_origin = origin;
    return before;
}

void log_origins_report()
{
    char lines[ORIGIN_SLOTS][LOG_LINE_MAX + 1];
    int count = 0;
    pthread_mutex_lock(&origin_mutex);
    int64_t now = origin_now();
    for (OriginBudget &b : origin_budgets)
        if (b.held && now - b.first_held_ms >= ORIGIN_REPORT_DELAY_MS && now - b.reported_ms >= ORIGIN_REPORT_MS)
            take_count_locked(&b, now, lines[count++], sizeof lines[0]);
    pthread_mutex_unlock(&origin_mutex);
    for (int i = 0; i < count; i++)
        write_system_line("%s", lines[i]);
}

void log_set_clock(int64_t (*now_ms)())
{
    pthread_mutex_lock(&origin_mutex);
    origin_clock.store(now_ms);
    memset(origin_budgets, 0, sizeof origin_budgets);
    pthread_mutex_unlock(&origin_mutex);
}

int log_print_raw(const char *fmt, ...)
{
    char line[LOG_LINE_MAX + 1];
    va_list ap;
    va_start(ap, fmt);
    int len = format_line(line, fmt, ap, false);
    va_end(ap);
    if (len == 0)
        return 0;
    write_stderr(line, len);
    if (lock_for_crash()) {
        ring_append_locked(line, len);
        pthread_mutex_unlock(&log_mutex);
    }
    return len;
}

int log_error(const char *fmt, ...)
{
    char msg[LAST_ERROR_SIZE];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(msg, sizeof msg, fmt, ap);
    va_end(ap);
    if (n < 0)
        return n;
    set_last_error(2, "%s", msg);
    puts(log_text(msg).text);   // the console takes no control byte from here either
    fflush(stdout);
    user_gpio_write(GPIO_LED_ERROR, 1);
    return n;
}

void set_last_error(int level, const char *fmt, ...)
{
    if (level == 0)
        return;
    char msg[LAST_ERROR_SIZE];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(msg, sizeof msg, fmt, ap);
    va_end(ap);
    if (level > 1)
        log_printf("%s", msg);
    size_t n = strlen(msg);
    memcpy(last_error, msg, n + 1);
    strncat(last_error, status_text, sizeof last_error - 1 - n);
}

void set_status_line(const char *fmt, ...)
{
    char text[STATUS_LINE_SIZE];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    memcpy(status_text, text, sizeof text);
}

const char *status_line() { return status_text; }
const char *last_error_text() { return last_error; }

void print_status_line()
{
    printf("%s\n", last_error[0] ? last_error : status_text);
    fflush(stdout);
}

void exitHandler()
{
    printf("exitHandler\n");
    print_status_line();
}

int format_into(char *buf, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int n = vsprintf(buf, fmt, ap);
    va_end(ap);
    return n;
}

uint32_t log_ring_read(uint32_t position, char *buffer, uint32_t size)
{
    uint32_t copied = 0;
    pthread_mutex_lock(&log_mutex);
    if (position >= LOG_RING_SIZE)
        position = board.output_tail;
    if (board.output_head < position) {
        // The data wraps: the older pass ends at wrap_end, never at the zero padding.
        uint32_t end = board.wrap_end;
        if (position < end) {
            uint32_t n = end - position;
            if (n > size)
                n = size;
            memcpy(buffer, board.data + position, n);
            copied = n;
        }
        uint32_t n = board.output_head;
        if (n > size - copied)
            n = size - copied;
        memcpy(buffer + copied, board.data, n);
        copied += n;
    } else {
        uint32_t n = board.output_head - position;
        if (n > size)
            n = size;
        memcpy(buffer, board.data + position, n);
        copied = n;
    }
    pthread_mutex_unlock(&log_mutex);
    return copied;
}

uint32_t log_ring_head()
{
    pthread_mutex_lock(&log_mutex);
    uint32_t v = board.output_head;
    pthread_mutex_unlock(&log_mutex);
    return v;
}

uint32_t log_ring_tail()
{
    pthread_mutex_lock(&log_mutex);
    uint32_t v = board.output_tail;
    pthread_mutex_unlock(&log_mutex);
    return v;
}

uint32_t log_ring_used()
{
    pthread_mutex_lock(&log_mutex);
    uint32_t v = ring_used_locked();
    pthread_mutex_unlock(&log_mutex);
    return v;
}

int log_ring_dump(const char *path)
{
    FILE *f = fopen(path, "wb");
    if (!f)
        return -1;
    pthread_mutex_lock(&log_mutex);
    if (board.output_head < board.output_tail) {
        fwrite(board.data + board.output_tail, 1, board.wrap_end - board.output_tail, f);
        fwrite(board.data, 1, board.output_head, f);
    } else {
        fwrite(board.data + board.output_tail, 1, board.output_head - board.output_tail, f);
    }
    pthread_mutex_unlock(&log_mutex);
    return fclose(f) == 0 ? 0 : -1;
}

void log_ring_reset()
{
    pthread_mutex_lock(&log_mutex);
    memset(&board, 0, sizeof board);
    pthread_mutex_unlock(&log_mutex);
}

void crash_handler(int sig, siginfo_t *info, void *context)
{
    const char *name = sig == SIGSEGV ? "Segmentation fault"
                       : sig == SIGBUS ? "Bus error"
                       : sig == SIGABRT ? "Aborted"
                       : sig == SIGFPE ? "Floating point exception"
                                       : "other\n";
    const char *thread = current_thread_name();
    if (strcmp(thread, "sound") == 0 && platform_crash_resume_sound(context)) {
        if (sound_crashes.fetch_add(1) == 0)
            log_print_raw("sound thread mp3 encoder SegFault\n");
        return;
    }
    log_print_raw("%s: %s thread (%s)\n", name, thread, status_text);
    char regs[512];
    platform_crash_format_registers(context, regs, sizeof regs);
    // One line each: the writer escapes a line break inside a line.
    for (const char *p = regs; *p;) {
        const char *end = strchr(p, '\n');
        int n = end ? (int)(end - p) : (int)strlen(p);
        log_print_raw("%.*s\n", n, p);
        p += n + (end ? 1 : 0);
    }
    log_print_raw("si_addr=%p si_code=%08x\n", info ? info->si_addr : nullptr, info ? (unsigned)info->si_code : 0u);
    print_backtrace();
    // Returning would run the faulting instruction again: end here instead.
    if (!quit_requested_nolock())
        sleep(10);
    signal(SIGABRT, SIG_DFL);
    abort();
}

void bus_error_handler(int sig)
{
    user_gpio_write(GPIO_LED_CRASH, 1);
    log_print_raw("Segfault Handler: %s thread\n", current_thread_name());
    log_print_raw("Backtrace:  (%s)\n", status_text);
    print_backtrace();
    log_print_raw(sig == SIGSEGV ? "Segmentation fault\n" : sig == SIGBUS ? "Bus error\n" : "Aborted\n");
    print_status_line();
    shutdown_system();
    _exit(1);
}

void alarm_handler(int)
{
    codec_hang_flag = 1;
    alarms.fetch_add(1);
}

void codec_hang_check()
{
    if (!codec_hang_flag)
        return;
    codec_hang_flag = 0;
    log_printf("[stat]Alarm signal! the codec appears to be hung\n");
    log_printf("video and capture: %s\n", last_error);
    log_printf("capture: %s\n", status_text);
}

int sound_thread_crashes() { return sound_crashes.load(); }
int alarm_count() { return alarms.load(); }
