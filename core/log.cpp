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

int vformat_line(char *line, size_t size, const char *fmt, va_list ap, bool stamp, int *message_len)
{
    int off = 0;
    *message_len = 0;
    if (stamp) {
        struct timeval tv;
        gettimeofday(&tv, nullptr);
        off = snprintf(line, size, "[%5ld.%06ld] ", (long)(tv.tv_sec % 100000), (long)tv.tv_usec);
    }
    int n = vsnprintf(line + off, size - off, fmt, ap);
    if (n < 0)
        return off;
    *message_len = n;
    int len = off + n;
    if (len <= (int)size - 1)
        return len;
    // A cut line still ends its line, so the next entry starts on its own with its stamp
    // and the ring keeps whole lines.
    len = (int)size - 1;
    line[len - 1] = '\n';
    return len;
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

// What the gates hold back: one lock for all, the list the report walks.
pthread_mutex_t gate_mutex = PTHREAD_MUTEX_INITIALIZER;
LogGate *gate_list;
// This thread's event: whether it is written is decided at its first line, so that events that
// write nothing neither use the budget nor count as held back.
thread_local LogGate *thread_gate;
thread_local bool thread_quiet;   // this thread's event is held back
thread_local bool thread_hold;    // lines of a record made in a held back event

// A gate's own lines are written also inside a held back event.
void print_anyway(const char *text)
{
    bool quiet = thread_quiet, hold = thread_hold;
    LogGate *undecided = thread_gate;
    thread_quiet = thread_hold = false;
    thread_gate = nullptr;
    log_printf("%s", text);
    thread_quiet = quiet;
    thread_hold = hold;
    thread_gate = undecided;
}

// Locked: whether one more of the gate's kind may be written; the count held back before it is
// written first.
bool gate_pass_locked(LogGate *g)
{
    if (!g->listed) {
        g->listed = true;
        g->next = gate_list;
        gate_list = g;
    }
    unsigned held;
    if (!rate_gate_open(&g->rate, g->lines ? g->lines : (unsigned)LOG_GATE_LINES,
                        g->period_ms ? g->period_ms : (int)LOG_GATE_PERIOD_MS, &held))
        return false;
    if (held) {
        char line[LOG_LINE_MAX + 1];
        snprintf(line, sizeof line, "%s: %u more held back\n", g->kind, held);
        print_anyway(line);
    }
    return true;
}

// UTF-8 length of the character at `p` (at most `n` bytes), 0 when its bytes are not UTF-8.
size_t utf8_length(const unsigned char *p, size_t n)
{
    unsigned c = p[0];
    size_t len;
    unsigned lo = 0x80, hi = 0xbf;   // the second byte's range
    if (c >= 0xc2 && c <= 0xdf)
        len = 2;
    else if (c >= 0xe0 && c <= 0xef) {
        len = 3;
        if (c == 0xe0)
            lo = 0xa0;
        else if (c == 0xed)
            hi = 0x9f;   // no surrogates
    } else if (c >= 0xf0 && c <= 0xf4) {
        len = 4;
        if (c == 0xf0)
            lo = 0x90;
        else if (c == 0xf4)
            hi = 0x8f;
    } else
        return 0;
    if (n < len || p[1] < lo || p[1] > hi)
        return 0;
    for (size_t i = 2; i < len; i++)
        if ((p[i] & 0xc0) != 0x80)
            return 0;
    return len;
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
    if (thread_hold)
        return 0;
    if (LogGate *g = thread_gate) {
        thread_gate = nullptr;
        pthread_mutex_lock(&gate_mutex);
        thread_quiet = !gate_pass_locked(g);
        pthread_mutex_unlock(&gate_mutex);
    }
    if (thread_quiet)
        return 0;
    char line[LOG_LINE_MAX + 1];
    va_list ap;
    va_start(ap, fmt);
    int message_len;
    int len = vformat_line(line, sizeof line, fmt, ap, true, &message_len);
    va_end(ap);
    if (message_len <= 0)
        return 0;
    write_stderr(line, len);
    log_it(line, len);
    if (log_line_hook_fn hook = line_hook.load())
        hook(line, len);
    return len;
}

LogText log_text_n(const char *text, size_t length)
{
    static const char hex[] = "0123456789abcdef";
    LogText t;
    const unsigned char *p = (const unsigned char *)text;
    size_t o = 0, room = sizeof t.text - 1;
    size_t i = 0;
    while (i < length) {
        size_t n = p[i] >= 0x80 ? utf8_length(p + i, length - i) : 0;
        bool c1 = n == 2 && p[i] == 0xc2 && p[i + 1] <= 0x9f;
        bool separator = n == 3 && p[i] == 0xe2 && p[i + 1] == 0x80 && (p[i + 2] == 0xa8 || p[i + 2] == 0xa9);
        if (n && !c1 && !separator) {
            if (o + n > room)
                break;
            memcpy(t.text + o, p + i, n);
            o += n;
            i += n;
            continue;
        }
        // C1 controls and the separators are escaped byte by byte, as bytes that are no UTF-8 are.
        unsigned c = p[i];
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            if (o + 1 > room)
                break;
            t.text[o++] = (char)c;
        } else {
            if (o + 4 > room)
                break;
            t.text[o++] = '\\';
            t.text[o++] = 'x';
            t.text[o++] = hex[c >> 4];
            t.text[o++] = hex[c & 15];
        }
        i++;
    }
    t.text[o] = 0;
    return t;
}

LogText log_text(const char *text)
{
    if (!text)
        return log_text_n("(null)", 6);
    return log_text_n(text, strlen(text));
}

int log_gated(LogGate *gate, const char *fmt, ...)
{
    if (thread_quiet && !gate)
        return 0;
    pthread_mutex_lock(&gate_mutex);
    bool pass = !gate || gate_pass_locked(gate);
    pthread_mutex_unlock(&gate_mutex);
    if (!pass)
        return 0;
    char line[LOG_LINE_MAX + 1];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    if (!gate)
        return log_printf("%s", line);
    print_anyway(line);
    return 1;
}

void log_gate_begin(LogGate *gate)
{
    thread_gate = gate;
    thread_quiet = false;
}

void log_gate_end()
{
    thread_gate = nullptr;
    thread_quiet = false;
}

bool log_held()
{
    return thread_quiet || thread_hold;
}

bool log_hold(bool held)
{
    bool before = thread_hold;
    thread_hold = held;
    return before;
}

void log_gates_report()
{
    pthread_mutex_lock(&gate_mutex);
    for (LogGate *g = gate_list; g; g = g->next) {
        int period = g->period_ms ? g->period_ms : (int)LOG_GATE_PERIOD_MS;
        if (rate_gate_due(&g->rate, period)) {
            log_printf("%s: %u more held back\n", g->kind, g->rate.held);
            g->rate.held = 0;
        }
    }
    pthread_mutex_unlock(&gate_mutex);
}

int log_print_raw(const char *fmt, ...)
{
    char line[LOG_LINE_MAX + 1];
    va_list ap;
    va_start(ap, fmt);
    int message_len;
    int len = vformat_line(line, sizeof line, fmt, ap, false, &message_len);
    va_end(ap);
    if (message_len <= 0)
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
    puts(msg);
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
    log_print_raw("%s", regs);
    log_print_raw("si_addr=%p si_code=%08x\n\n\n\n", info ? info->si_addr : nullptr,
                  info ? (unsigned)info->si_code : 0u);
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
