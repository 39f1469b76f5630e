#include "core/param_table.h"
#include "core/version.h"
#include "streams/stream_state.h"

#include "core/board.h"
#include "core/log.h"
#include "core/mtd.h"
#include "core/param.h"
#include "core/proc.h"
#include "core/quit.h"
#include "core/soc.h"
#include "core/threads.h"
#include "core/util.h"
#include "platform/platform.h"
#include "platform/systime.h"
#include "services/customzip.h"
#include "services/firmware.h"
#include "storage/filesys.h"
#include "storage/record.h"
#include "services/serial.h"
#include "streaming/udp.h"
#include "streams/stream.h"
#include "video/netinput.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

volatile uint32_t video_counter_value;
volatile int video_counter_request;

// The video decoder chip's registers, through the capture code (its header's capture size
// names clash with this file's).
int capture_dbg_set_register(uint32_t reg, uint32_t value);
uint32_t capture_dbg_get_register(uint32_t reg);

namespace {

constexpr char NOT_AVAILABLE[] = "not available";
constexpr char INVALID_VALUE[] = "Invalid value";

int print(char *buf, size_t size, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
int print(char *buf, size_t size, const char *fmt, ...)
{
    if (size == 0)
        return 0;
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf, size, fmt, ap);
    va_end(ap);
    if (n < 0)
        return 0;
    return n < (int)size ? n : (int)size - 1;
}

int not_available(char *buf, size_t size)
{
    return print(buf, size, "%s", NOT_AVAILABLE);
}

// The text of a value as a bounded C string, blanks trimmed. False when it does not fit or
// holds a NUL: "45\0junk" is not 45.
bool text_copy(const char *text, size_t length, char *out, size_t size)
{
    if (!text)
        text = "", length = 0;
    if (memchr(text, 0, length))
        return false;
    while (length && isspace((unsigned char)text[length - 1]))
        length--;
    while (length && isspace((unsigned char)*text)) {
        text++;
        length--;
    }
    if (length >= size)
        return false;
    memcpy(out, text, length);
    out[length] = 0;
    return true;
}

bool text_equals(const char *text, size_t length, const char *word)
{
    char buf[32];
    return text_copy(text, length, buf, sizeof buf) && strcasecmp(buf, word) == 0;
}

enum NumberResult { NUM_OK, NUM_INVALID, NUM_OVERFLOW };

// Decimal, optionally signed; the whole text must be the number. Over-range values are
// reported, never wrapped.
NumberResult parse_decimal(const char *text, size_t length, long long *value)
{
    char buf[32];
    if (!text_copy(text, length, buf, sizeof buf) || buf[0] == 0)
        return NUM_INVALID;
    const char *p = buf;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    if (!isdigit((unsigned char)*p))
        return NUM_INVALID;
    unsigned long long v = 0;
    bool overflow = false;
    for (; isdigit((unsigned char)*p); p++) {
        v = v * 10 + (unsigned)(*p - '0');
        if (v > (unsigned long long)LLONG_MAX)
            overflow = true, v = (unsigned long long)LLONG_MAX;
    }
    if (*p)
        return NUM_INVALID;
    *value = negative ? -(long long)v : (long long)v;
    return overflow ? NUM_OVERFLOW : NUM_OK;
}

// Decimal, or hexadecimal after "0x"; unsigned 32-bit.
bool parse_u32(const char *text, size_t length, uint32_t *value)
{
    char buf[32];
    if (!text_copy(text, length, buf, sizeof buf) || buf[0] == 0 || buf[0] == '-' || buf[0] == '+')
        return false;
    int base = (buf[0] == '0' && (buf[1] == 'x' || buf[1] == 'X')) ? 16 : 10;
    const char *start = base == 16 ? buf + 2 : buf;
    if (!isxdigit((unsigned char)*start))
        return false;
    char *end = nullptr;
    errno = 0;
    unsigned long long v = strtoull(start, &end, base);
    if (*end || errno == ERANGE || v > UINT32_MAX)
        return false;
    *value = (uint32_t)v;
    return true;
}

bool parse_int(const char *text, size_t length, long long *value)
{
    return parse_decimal(text, length, value) == NUM_OK;
}

ParamBlock *blk()
{
    return get_param_block();
}

uint8_t *field_ptr(const ParamDesc *d)
{
    return reinterpret_cast<uint8_t *>(blk()) + d->offset_or_arg;
}

// The range of an integer row, clamped to what its field can hold.
void row_limits(const ParamDesc *d, long long *min, long long *max)
{
    long long lo = d->min, hi = d->max;
    if (d->type == PARAM_INTEGER && d->size > 0 && d->size < 4) {
        int bits = 8 * (int)d->size;
        long long smin = d->min < 0 ? -(1LL << (bits - 1)) : 0;
        long long smax = d->min < 0 ? (1LL << (bits - 1)) - 1 : (1LL << bits) - 1;
        lo = lo < smin ? smin : lo;
        hi = hi > smax ? smax : hi;
    } else if (d->type == PARAM_INTEGER && d->min >= 0) {
        lo = (uint32_t)d->min;
        hi = (uint32_t)d->max;
    }
    *min = lo;
    *max = hi;
}

long long read_int(const uint8_t *p, uint32_t size, bool is_signed)
{
    switch (size) {
    case 1: return is_signed ? (long long)(int8_t)p[0] : p[0];
    case 2: {
        uint16_t v;
        memcpy(&v, p, 2);
        return is_signed ? (long long)(int16_t)v : v;
    }
    case 4: {
        uint32_t v;
        memcpy(&v, p, 4);
        return is_signed ? (long long)(int32_t)v : v;
    }
    }
    return 0;
}

// Whole-width stores: readers of the live block see the old or the new value.
void write_int(uint8_t *p, uint32_t size, long long value)
{
    switch (size) {
    case 1: *p = (uint8_t)value; break;
    case 2: *reinterpret_cast<uint16_t *>(p) = (uint16_t)value; break;
    case 4: *reinterpret_cast<uint32_t *>(p) = (uint32_t)value; break;
    }
}

// Range messages are formatted per thread: the web server and the serial service set at once.
thread_local char range_message[128];

// ---- converted rows: target is the field's address ----

uint8_t *fld(uintptr_t target)
{
    return reinterpret_cast<uint8_t *>(target);
}

int get_mac(char *buf, size_t size, uintptr_t target)
{
    const uint8_t *m = fld(target);
    return print(buf, size, "%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2], m[3], m[4], m[5]);
}

const char *set_mac(const char *text, size_t length, uintptr_t target)
{
    uint8_t mac[6];
    const char *p = text ? text : "";
    const char *end = p + strnlen(p, length);
    auto blank = [&] { while (p < end && (*p == ' ' || *p == '\t')) p++; };
    for (int i = 0; i < 6; i++) {
        blank();
        unsigned v = 0;
        int digits = 0;
        while (p < end && isxdigit((unsigned char)*p)) {
            v = v * 16 + (unsigned)(isdigit((unsigned char)*p) ? *p - '0' : (tolower((unsigned char)*p) - 'a' + 10));
            if (v > 0xfff)
                v = 0xfff;
            p++;
            digits++;
        }
        if (digits == 0)
            return (p < end && *p != ':') ? "MAC address contains invalid character" : "MAC address is formed incorrectly";
        if (v > 0xff)
            return "MAC address component out of range 0-ff";
        mac[i] = (uint8_t)v;
        blank();
        if (i < 5) {
            if (p >= end)
                return "MAC address is formed incorrectly";
            if (*p != ':')
                return isxdigit((unsigned char)*p) ? "MAC address missing ':'" : "MAC address contains invalid character";
            p++;
        }
    }
    if (p < end)
        return *p == ':' ? "MAC address is formed incorrectly" : "MAC address contains invalid character";
    memcpy(fld(target), mac, 6);
    return nullptr;
}

int get_ip(char *buf, size_t size, uintptr_t target)
{
    const uint8_t *a = fld(target);
    return print(buf, size, "%d.%d.%d.%d", a[0], a[1], a[2], a[3]);
}

// Strict dotted quad: four decimal parts 0..255.
bool parse_ip(const char *text, size_t length, uint8_t out[4])
{
    char buf[20];
    if (!text_copy(text, length, buf, sizeof buf))
        return false;
    const char *p = buf;
    for (int i = 0; i < 4; i++) {
        if (!isdigit((unsigned char)*p))
            return false;
        unsigned v = 0;
        int digits = 0;
        while (isdigit((unsigned char)*p) && digits < 4) {
            v = v * 10 + (unsigned)(*p++ - '0');
            digits++;
        }
        if (v > 255 || isdigit((unsigned char)*p))
            return false;
        out[i] = (uint8_t)v;
        if (i < 3 && *p++ != '.')
            return false;
    }
    return *p == 0;
}

const char *set_ip(const char *text, size_t length, uintptr_t target)
{
    uint8_t a[4] = {};
    char probe[2];
    if (text_copy(text, length, probe, sizeof probe) && probe[0] == 0) {
        memset(fld(target), 0, 4);
        return nullptr;
    }
    if (!parse_ip(text, length, a))
        return "IP address is invalid";
    memcpy(fld(target), a, 4);
    return nullptr;
}

const char *set_mask(const char *text, size_t length, uintptr_t target)
{
    uint8_t a[4] = {};
    char probe[2];
    if (text_copy(text, length, probe, sizeof probe) && probe[0] == 0) {
        memset(fld(target), 0, 4);
        return nullptr;
    }
    if (!parse_ip(text, length, a))
        return "Netmask is formed incorrectly";
    uint32_t m = (uint32_t)a[0] << 24 | (uint32_t)a[1] << 16 | (uint32_t)a[2] << 8 | a[3];
    // Contiguous: the inverted mask plus one is a power of two (or zero for 0.0.0.0).
    uint32_t inv = ~m;
    if (m == 0xFFFFFFFFu || (inv & (inv + 1)) != 0)
        return "Netmask is formed incorrectly";
    memcpy(fld(target), a, 4);
    return nullptr;
}


int get_framerate(char *buf, size_t size, uintptr_t target)
{
    int base = framerate_base();
    int d = *fld(target) ? *fld(target) : 1;
    if (base % d == 0)
        return print(buf, size, "%d", base / d);
    char tmp[32];
    snprintf(tmp, sizeof tmp, "%.1f", (double)base / d);
    size_t n = strlen(tmp);
    if (n > 2 && strcmp(tmp + n - 2, ".0") == 0)
        tmp[n - 2] = 0;
    return print(buf, size, "%s", tmp);
}

const char *set_framerate(const char *text, size_t length, uintptr_t target)
{
    char buf[32];
    if (!text_copy(text, length, buf, sizeof buf) || buf[0] == 0)
        return INVALID_VALUE;
    char *end = nullptr;
    double v = strtod(buf, &end);
    if (*end || !std::isfinite(v))
        return INVALID_VALUE;
    int base = framerate_base();
    if (v <= 0 || v > base + v / 2)
        return INVALID_VALUE;
    // Below one frame a second the divisor would pass the capture rate itself.
    double divisor = std::floor((base + v / 2) / v);
    if (divisor < 1 || divisor > base)
        return INVALID_VALUE;
    *fld(target) = (uint8_t)divisor;
    return nullptr;
}

int get_aspect(char *buf, size_t size, uintptr_t target)
{
    static const char *const names[] = {"None", "4:3", "16:9"};
    uint8_t v = *fld(target);
    return print(buf, size, "%s", v < 3 ? names[v] : "");
}

const char *set_aspect(const char *text, size_t length, uintptr_t target)
{
    if (text_equals(text, length, "none"))
        *fld(target) = 0;
    else if (text_equals(text, length, "4:3"))
        *fld(target) = 1;
    else if (text_equals(text, length, "16:9"))
        *fld(target) = 2;
    else
        return INVALID_VALUE;
    return nullptr;
}

int get_u8(char *buf, size_t size, uintptr_t target)
{
    return print(buf, size, "%d", *fld(target));
}

const char *set_level(const char *text, size_t length, uintptr_t target)
{
    long long v;
    if (!parse_int(text, length, &v))
        return INVALID_VALUE;
    if (!((v >= 9 && v <= 13) || (v >= 20 && v <= 22) || (v >= 30 && v <= 32) || (v >= 40 && v <= 42) || v == 50))
        return INVALID_VALUE;
    *fld(target) = (uint8_t)v;
    return nullptr;
}

const char *set_profile(const char *text, size_t length, uintptr_t target)
{
    long long v;
    if (!parse_int(text, length, &v) || (v != 66 && v != 77 && v != 100))
        return INVALID_VALUE;
    *fld(target) = (uint8_t)v;
    return nullptr;
}

int get_standard(char *buf, size_t size, uintptr_t target)
{
    uint8_t v = *fld(target);
    return print(buf, size, "%s", v == 5 ? "NTSC" : v == 6 ? "PAL" : v == 0 ? "AUTO" : "NONE");
}

const char *set_standard(const char *text, size_t length, uintptr_t target)
{
    if (text_equals(text, length, "NTSC"))
        *fld(target) = 5;
    else if (text_equals(text, length, "PAL"))
        *fld(target) = 6;
    else if (text_equals(text, length, "AUTO"))
        *fld(target) = 0;
    else
        return INVALID_VALUE;
    return nullptr;
}

const char *set_display_standard(const char *text, size_t length, uintptr_t target)
{
    const char *msg = set_standard(text, length, target);
    if (!msg)
        setDisplayStandard(*fld(target));
    return msg;
}

// ---- function rows: target is the row's argument ----

pid_t telnet_pid;

const char *set_telnet(const char *text, size_t length, uintptr_t)
{
    long long v;
    if (!parse_int(text, length, &v))
        return INVALID_VALUE;
    if (telnet_pid > 0) {
        kill(telnet_pid, SIGTERM);
        telnet_pid = 0;
    }
    if (v == 1)
        telnet_pid = spawn_detached("/usr/sbin/telnetd", "-l", "/bin/sh", nullptr);
    return nullptr;
}

int get_run_status(char *buf, size_t size, uintptr_t id)
{
    StreamRunState *rs = id < STREAM_ID_COUNT ? stream_run_state_table[id] : nullptr;
    bool running = false;
    if (rs) {
        pthread_mutex_lock(&rs->mutex);
        running = !(rs->flags & RUN_STOPPED);
        pthread_mutex_unlock(&rs->mutex);
    }
    if (!running)
        return print(buf, size, "Stopped");
    if (id == UDP_STREAM1 || id == UDP_STREAM2)
        return udp_status_get((int)id - UDP_STREAM1, buf, size);
    if (id == SERIAL_STREAM)
        return serial_status_get(buf, size);
    if (id == OUTPUT_STREAM) {
        char text[sizeof decoder_status_text];
        memcpy(text, decoder_status_text, sizeof text);
        text[sizeof text - 1] = 0;
        return print(buf, size, "%s", text);
    }
    return print(buf, size, "Streaming");
}

const char *set_run_state(const char *text, size_t length, uintptr_t id)
{
    // Whole words only: a prefix such as "s" or an empty text is no command.
    if (text_equals(text, length, "start"))
        stream_set_state((int)id, STREAM_START);
    else if (text_equals(text, length, "stop"))
        stream_set_state((int)id, STREAM_STOP);
    else
        return "Invalid state";
    return nullptr;
}

int capture_width, capture_height;
void (*scale_rule)(int *width, int *height);

// The channel's size: stored, else the capture's (channel 1 through its scaling rule).
bool channel_size(int ch, int *w, int *h)
{
    const ParamVideo &v = blk()->Video[ch];
    if (v.Width && v.Height) {
        *w = v.Width;
        *h = v.Height;
        return true;
    }
    int cw = capture_width, chh = capture_height;
    if (cw <= 0 || chh <= 0 || (ch == 1 && !scale_rule))
        return false;
    if (ch == 1)
        scale_rule(&cw, &chh);
    *w = v.Width ? v.Width : cw;
    *h = v.Height ? v.Height : chh;
    return true;
}

int get_width(char *buf, size_t size, uintptr_t ch)
{
    int w, h;
    if (blk()->Video[ch].Width)
        return print(buf, size, "%d", blk()->Video[ch].Width);
    return channel_size((int)ch, &w, &h) ? print(buf, size, "%d", w) : not_available(buf, size);
}

int get_height(char *buf, size_t size, uintptr_t ch)
{
    int w, h;
    if (blk()->Video[ch].Height)
        return print(buf, size, "%d", blk()->Video[ch].Height);
    return channel_size((int)ch, &w, &h) ? print(buf, size, "%d", h) : not_available(buf, size);
}

// Sizes the encoders take: even, within their 800x600 maximum; 0 follows the capture size.
// An odd or tiny size would be stored and then fail every encoder start of the channel.
bool width_ok(long long w)
{
    return w == 0 || (w >= 160 && w <= 800 && w % 2 == 0);
}

bool height_ok(long long h)
{
    return h == 0 || (h >= 120 && h <= 600 && h % 2 == 0);
}

const char *set_width(const char *text, size_t length, uintptr_t ch)
{
    long long v;
    if (!parse_int(text, length, &v) || !width_ok(v))
        return INVALID_VALUE;
    blk()->Video[ch].Width = (uint16_t)v;
    return nullptr;
}

const char *set_height(const char *text, size_t length, uintptr_t ch)
{
    long long v;
    if (!parse_int(text, length, &v) || !height_ok(v))
        return INVALID_VALUE;
    blk()->Video[ch].Height = (uint16_t)v;
    return nullptr;
}

int get_scaled_width(char *buf, size_t size, uintptr_t ch)
{
    int w, h;
    if (!channel_size((int)ch, &w, &h))
        return not_available(buf, size);
    uint8_t ar = blk()->Video[ch].AspectRatio;
    if (ar == 1)
        w = h * 4 / 3;
    else if (ar == 2)
        w = h * 16 / 9;
    return print(buf, size, "%d", w);
}

int get_resolution(char *buf, size_t size, uintptr_t arg)
{
    const ParamVideo &v = blk()->Video[arg - 1];
    if (v.Width && v.Height)
        return print(buf, size, "%dx%d", v.Width, v.Height);
    return print(buf, size, "auto");
}

const char *set_resolution(const char *text, size_t length, uintptr_t arg)
{
    ParamVideo &v = blk()->Video[arg - 1];
    char buf[32];
    if (!text_copy(text, length, buf, sizeof buf))
        return "Invalid resolution";
    int w = 0, h = 0;
    if (strcasecmp(buf, "auto") != 0) {
        const char *p = buf;
        auto number = [&p](int *out) {
            if (!isdigit((unsigned char)*p))
                return false;
            long n = 0;
            while (isdigit((unsigned char)*p) && n < 100000)
                n = n * 10 + (*p++ - '0');
            *out = (int)n;
            return !isdigit((unsigned char)*p);
        };
        if (!number(&w) || (*p != 'x' && *p != 'X'))
            return "Invalid resolution";
        p++;
        if (!number(&h) || *p)
            return "Invalid resolution";
        if (!width_ok(w))
            return "Invalid width";
        if (!height_ok(h))
            return "Invalid height";
    }
    log_printf("%s: %d %dx%d\n", "setResolution", (int)arg, w, h);
    v.Width = (uint16_t)w;
    v.Height = (uint16_t)h;
    return nullptr;
}

int get_video_lock(char *buf, size_t size, uintptr_t)
{
    return print(buf, size, "%d", user_gpio_poll());
}

const char *set_video_counter(const char *text, size_t length, uintptr_t)
{
    long long v;
    if (!parse_int(text, length, &v) || v < 0 || v > UINT32_MAX)
        return INVALID_VALUE;
    video_counter_value = (uint32_t)v;
    video_counter_request = 1;
    return nullptr;
}

int get_display_mode(char *buf, size_t size, uintptr_t mode)
{
    return print(buf, size, "%d", displayEnv.mode == (int)mode ? 1 : 0);
}

const char *set_display_mode(const char *text, size_t length, uintptr_t mode)
{
    long long v;
    if (!parse_int(text, length, &v))
        return INVALID_VALUE;
    ParamBlock *p = blk();
    if (v) {
        p->Display.DisplayMode = (uint8_t)mode;
        displayEnv.mode = (int)mode;
    } else {
        if (p->Display.DisplayMode == mode)
            p->Display.DisplayMode = 0;
        if (displayEnv.mode == (int)mode)
            displayEnv.mode = 0;
    }
    log_printf("%s: displayEnv.mode=%d\n", mode == 2 ? "setOutputColorbars" : "setOutputPassthru", displayEnv.mode);
    return nullptr;
}

const char *set_password(const char *text, size_t length, uintptr_t n)
{
    UserSlot &u = blk()->User[n];
    size_t len = strnlen(text ? text : "", length);
    // The form shows the placeholder "password" for a password it does not know.
    if (len == 0 || (len == 8 && memcmp(text, "password", 8) == 0))
        return nullptr;
    if (len >= sizeof u.Password)
        return "Value too long";
    char tmp[sizeof u.Password] = {};
    memcpy(tmp, text, len);
    memcpy(u.Password, tmp, sizeof tmp);
    return nullptr;
}

// User names go into the program log and the access log: a line break or another control
// character in one would forge lines there. Besides the ASCII controls, the C1 controls in UTF-8
// and the Unicode line and paragraph separators break or rewrite a log line; bytes that are not
// UTF-8 are taken by some readers for Latin-1, where 0x80-0x9f are C1 controls.
const char *check_user_name(const char *text, size_t length, uintptr_t)
{
    const unsigned char *p = (const unsigned char *)text;
    size_t n = strnlen(text, length);
    for (size_t i = 0; i < n;) {
        size_t k = utf8_char_length(p + i, n - i);
        if (k == 0)
            return "Name is not UTF-8";
        unsigned c = p[i];
        if (c < 0x20 || c == 0x7f || (c == 0xc2 && p[i + 1] <= 0x9f) ||
            (c == 0xe2 && p[i + 1] == 0x80 && (p[i + 2] == 0xa8 || p[i + 2] == 0xa9)))
            return "Name holds a control character";
        i += k;
    }
    return nullptr;
}

const char *set_delete_user(const char *text, size_t length, uintptr_t n)
{
    size_t len = strnlen(text ? text : "", length);
    log_printf("%s: value=%.*s len=%d id=%d\n", "deleteUser", (int)len, text ? text : "", (int)length, (int)n);
    if (len) {
        UserSlot &u = blk()->User[n];
        memset(u.Name, 0, sizeof u.Name);
        memset(u.Password, 0, sizeof u.Password);
    }
    return nullptr;
}


int get_gpio_in(char *buf, size_t size, uintptr_t)
{
    return print(buf, size, "%d", user_gpio_read(GPIO_ALARM_IN));
}

int get_gpio_out(char *buf, size_t size, uintptr_t)
{
    return print(buf, size, "%d", gpio_alarm_out_last());
}

const char *set_gpio_out(const char *text, size_t length, uintptr_t)
{
    if (!text || strnlen(text, length) != 1 || (text[0] != '0' && text[0] != '1'))
        return INVALID_VALUE;
    if (user_gpio_write(GPIO_ALARM_OUT, text[0] - '0') != 0)
        return NOT_AVAILABLE;
    return nullptr;
}

int get_clock(char *buf, size_t size, uintptr_t)
{
    time_t now = platform_time_now();
    struct tm tm;
    localtime_r(&now, &tm);
    return print(buf, size, "%04d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                 tm.tm_hour, tm.tm_min, tm.tm_sec);
}

const char *set_clock(const char *text, size_t length, uintptr_t)
{
    size_t len = strnlen(text ? text : "", length);
    if (len != 16 && len != 19)
        return "Invalid date format";
    // "YYYY-MM-DD HH:MM" or "YYYY-MM-DD HH:MM:SS"
    static const char pattern[] = "dddd-dd-dd dd:dd:dd";
    for (size_t i = 0; i < len; i++) {
        bool ok = pattern[i] == 'd' ? isdigit((unsigned char)text[i]) : text[i] == pattern[i];
        if (!ok)
            return "Invalid date format";
    }
    auto num = [text](int at, int n) {
        int v = 0;
        for (int i = 0; i < n; i++)
            v = v * 10 + (text[at + i] - '0');
        return v;
    };
    struct tm tm = {};
    tm.tm_year = num(0, 4) - 1900;
    tm.tm_mon = num(5, 2) - 1;
    tm.tm_mday = num(8, 2);
    tm.tm_hour = num(11, 2);
    tm.tm_min = num(14, 2);
    tm.tm_sec = len == 19 ? num(17, 2) : 0;
    if (tm.tm_mon > 11 || tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_hour > 23 || tm.tm_min > 59 || tm.tm_sec > 60)
        return "Invalid date format";
    tm.tm_isdst = -1;
    time_t t = mktime(&tm);
    if (t == (time_t)-1 || platform_time_set(t) != 0)
        return "Invalid date format";
    run_command("hwclock -w -f /dev/rtc1");
    return nullptr;
}

int get_firmware_build(char *buf, size_t size, uintptr_t)
{
    return print(buf, size, "%d", FIRMWARE_BUILD);
}

int get_bootloader(char *buf, size_t size, uintptr_t)
{
    uint32_t v = bootloader_version();
    return print(buf, size, "%d.%d.%d", (int)(v >> 16 & 0xff), (int)(v >> 8 & 0xff), (int)(v & 0xff));
}

int get_serial(char *buf, size_t size, uintptr_t)
{
    return print(buf, size, "%d", (int)param_serial_number());
}

const char *set_serial(const char *text, size_t length, uintptr_t)
{
    long long v;
    if (param_serial_number() != 0)
        return "Cannot change serial number";
    if (!parse_int(text, length, &v) || v < 0 || v > 999999)
        return "Invalid serial number";
    if (factory_serial_write((uint32_t)v) != 0)
        return "Cannot change serial number";
    param_serial_number_set((uint32_t)v);
    return nullptr;
}

int get_cpu_load(char *buf, size_t size, uintptr_t)
{
    static time_t last;
    static int load;
    time_t now = time(nullptr);
    if (now - last > 1) {
        load = cpu_load_percent();
        last = now;
    }
    return print(buf, size, "%d", load);
}

uint32_t debug_addr;

int get_debug_addr(char *buf, size_t size, uintptr_t)
{
    return print(buf, size, "0x%08x", debug_addr);
}

const char *set_debug_addr(const char *text, size_t length, uintptr_t)
{
    uint32_t v;
    if (!parse_u32(text, length, &v))
        return INVALID_VALUE;
    debug_addr = v;
    return nullptr;
}

int get_debug_data(char *buf, size_t size, uintptr_t)
{
    uint32_t a = debug_addr, v;
    if (a == 0)
        v = 0;
    else if (a <= 0xffff)
        v = capture_dbg_get_register(a);   // the video decoder chip
    else if (a <= 0x2ffff) {
        int r = prtc_read_u8((int)a);
        if (r < 0)
            return not_available(buf, size);   // the bridge stayed busy
        v = (uint32_t)r;
    } else
        v = reg_read(a);
    return print(buf, size, "0x%08x", v);
}

const char *set_debug_data(const char *text, size_t length, uintptr_t)
{
    uint32_t v, a = debug_addr;
    if (!parse_u32(text, length, &v))
        return INVALID_VALUE;
    if (a == 0)
        return nullptr;
    if (a <= 0xffff) {
        capture_dbg_set_register(a, v);
        return nullptr;
    }
    if (a <= 0x2ffff) {
        if (prtc_write((int)(a & 0xff), (int)v) != 0)
            return NOT_AVAILABLE;
    } else
        reg_write(a, v);
    return nullptr;
}

const char *set_timestamp(const char *text, size_t length, uintptr_t)
{
    uint32_t v;
    if (!parse_u32(text, length, &v))
        return INVALID_VALUE;
    devmem_map();
    reg_write(PLATFORM_REG_TIMER90K, v);
    return nullptr;
}

int get_timestamp(char *buf, size_t size, uintptr_t)
{
    return print(buf, size, "%lu", (unsigned long)hw_clock_90khz());
}

const char *set_reboot(const char *text, size_t length, uintptr_t)
{
    long long v;
    if (!parse_int(text, length, &v))
        return INVALID_VALUE;
    if (v == 1) {
        // The serial thread finishes its own exchange; only main and the RTSP loop are woken.
        quit_set(QUIT_REBOOT, false);
        rtsp_control_set(RTSP_CONTROL_RELOAD_USERS);
    }
    return nullptr;
}

int get_firmware_version(char *buf, size_t size, uintptr_t)
{
    return print(buf, size, "%s", firmware_date_text());
}

int get_firmware_status(char *buf, size_t size, uintptr_t)
{
    const char *m = firmware_take_message();
    return print(buf, size, "%s", m ? m : "");
}

int get_customzip_size(char *buf, size_t size, uintptr_t)
{
    return print(buf, size, "%d", customzip_stored_size());
}

const char *set_custom_clear(const char *, size_t, uintptr_t)
{
    customzip_erase();
    return nullptr;
}

int get_recording_status(char *buf, size_t size, uintptr_t)
{
    return recording_status_text(buf, size);
}

int get_recording_storage(char *buf, size_t size, uintptr_t)
{
    return getRecordingStorage(buf, size);
}

int get_encode_status(char *buf, size_t size, uintptr_t channel)
{
    return encode_status_text((int)channel, buf, size);
}

int get_board_model(char *buf, size_t size, uintptr_t)
{
    return print(buf, size, "%d", (int)board_model);
}

int get_latency(char *buf, size_t size, uintptr_t i)
{
    return stream_latency_print((int)i, buf, size);
}

#define OFF(f) (uint32_t) offsetof(ParamBlock, f)
#define SZ(f) (uint32_t) sizeof(((ParamBlock *)nullptr)->f)
#define INT(name, f, g, lo, hi, st, r, w) {name, PARAM_INTEGER, g, lo, hi, st, SZ(f), r, w, OFF(f), nullptr, nullptr}
#define STR(name, f, g, r, w) {name, PARAM_STRING, g, 0, 0, 0, SZ(f), r, w, OFF(f), nullptr, nullptr}
// A string whose text `check` may refuse before it is stored.
#define STR_CHECKED(name, f, g, r, w, check) {name, PARAM_STRING, g, 0, 0, 0, SZ(f), r, w, OFF(f), nullptr, check}
#define CONV(name, f, g, r, w, get, set) {name, PARAM_CONVERTED, g, 0, 0, 0, SZ(f), r, w, OFF(f), get, set}
#define FUNC(name, g, r, w, arg, get, set) {name, PARAM_FUNCTION, g, 0, 0, 0, 0, r, w, arg, get, set}

} // namespace

const ParamDesc param_table[] = {
    INT("GpioAlarmEnabled", GpioAlarmEnabled, 0, 0, 1, 1, 5, 5),
    INT("GpioInTrigLevel", GpioInTrigLevel, 0, 0, 100, 1, 5, 5),
    INT("GpioOutDefault", GpioOutDefault, 0, 0, 1, 1, 5, 5),
    INT("AlarmTimeout", AlarmTimeout, 0, 0, 3600, 1, 5, 5),
    INT("VlockAlarmEnabled", VlockAlarmEnabled, 0, 0, 1, 1, 5, 5),
    INT("VlockThreshold", VlockThreshold, 0, 0, 100, 1, 5, 5),
    CONV("NetworkMACAddr", NetworkMACAddr, 30, 5, 5, get_mac, set_mac),
    INT("NetworkMode", NetworkMode, 30, 0, 2, 1, 5, 5),
    STR("NetworkHostname", NetworkHostname, 30, 5, 5),
    CONV("Net[0].Addr", Net[0].Addr, 30, 5, 5, get_ip, set_ip),
    CONV("Net[1].Addr", Net[1].Addr, 30, 5, 5, get_ip, set_ip),
    CONV("Net[0].Mask", Net[0].Mask, 30, 5, 5, get_ip, set_mask),
    CONV("Net[1].Mask", Net[1].Mask, 30, 5, 5, get_ip, set_mask),
    CONV("Net[0].Gateway", Net[0].Gateway, 30, 5, 5, get_ip, set_ip),
    CONV("Net[1].Gateway", Net[1].Gateway, 30, 5, 5, get_ip, set_ip),
    CONV("Net[0].DNS1", Net[0].DNS1, 30, 5, 5, get_ip, set_ip),
    CONV("Net[1].DNS1", Net[1].DNS1, 30, 5, 5, get_ip, set_ip),
    CONV("Net[0].DNS2", Net[0].DNS2, 30, 5, 5, get_ip, set_ip),
    CONV("Net[1].DNS2", Net[1].DNS2, 30, 5, 5, get_ip, set_ip),
    INT("NetworkSpeed", NetworkSpeed, 30, 0, 4, 1, 5, 5),
    STR("NetworkTimeServer", NetworkTimeServer, 30, 5, 5),
    FUNC("EnableTelnet", 0, 0, 5, 0, nullptr, set_telnet),
    CONV("LogUDPAddr", LogUDPAddr, 30, 5, 5, get_ip, set_ip),
    INT("NetworkDisableMDNS", NetworkDisableMDNS, 30, 0, 1, 1, 5, 5),
    INT("UDP[0].StreamID", UDP[0].StreamID, 8, 1, 5, 1, 1, 4),
    INT("UDP[1].StreamID", UDP[1].StreamID, 9, 1, 5, 1, 1, 4),
    INT("UDP[0].StartMode", UDP[0].StartMode, 8, 0, 1, 1, 1, 4),
    INT("UDP[1].StartMode", UDP[1].StartMode, 9, 0, 1, 1, 1, 4),
    INT("UDP[0].StreamMode", UDP[0].StreamMode, 8, 0, 4, 1, 1, 4),
    INT("UDP[1].StreamMode", UDP[1].StreamMode, 9, 0, 4, 1, 1, 4),
    CONV("UDP[0].Addr", UDP[0].Addr, 8, 1, 4, get_ip, set_ip),
    CONV("UDP[1].Addr", UDP[1].Addr, 9, 1, 4, get_ip, set_ip),
    INT("UDP[0].Port", UDP[0].Port, 8, 0, 65535, 1, 1, 4),
    INT("UDP[1].Port", UDP[1].Port, 9, 0, 65535, 1, 1, 4),
    INT("UDP[0].RetryTimeout", UDP[0].RetryTimeout, 8, 0, 1000000, 1, 1, 4),
    INT("UDP[1].RetryTimeout", UDP[1].RetryTimeout, 9, 0, 1000000, 1, 1, 4),
    FUNC("UDP[0].Status", 0, 1, 0, 8, get_run_status, nullptr),
    FUNC("UDP[1].Status", 0, 1, 0, 9, get_run_status, nullptr),
    FUNC("UDP[0].State", 0, 0, 1, 8, nullptr, set_run_state),
    FUNC("UDP[1].State", 0, 0, 1, 9, nullptr, set_run_state),
    INT("UDPPacketSize", UDPPacketSize, 0, 1, 1500, 1, 1, 4),
    INT("UDP_TTL", UDP_TTL, 0, 1, 255, 1, 1, 4),
    INT("UDP_DSCP_ECN", UDP_DSCP_ECN, 0, 0, 255, 1, 1, 4),
    INT("Video[0].StreamMode", Video[0].StreamMode, 1, 0, 16, 1, 1, 4),
    INT("Video[1].StreamMode", Video[1].StreamMode, 2, 0, 16, 1, 1, 4),
    FUNC("Video[0].Width", 0, 1, 4, 0, get_width, set_width),
    FUNC("Video[1].Width", 0, 1, 4, 1, get_width, set_width),
    FUNC("Video[0].ScaledWidth", 0, 1, 0, 0, get_scaled_width, nullptr),
    FUNC("Video[1].ScaledWidth", 0, 1, 0, 1, get_scaled_width, nullptr),
    FUNC("Video[0].Height", 0, 1, 4, 0, get_height, set_height),
    FUNC("Video[1].Height", 0, 1, 4, 1, get_height, set_height),
    INT("Video[0].BitRate", Video[0].BitRate, 0, 100000, 20000000, 100000, 1, 4),
    INT("Video[0].RateMode", Video[0].RateMode, 0, 0, 6, 1, 1, 4),
    INT("Video[1].RateMode", Video[1].RateMode, 0, 0, 6, 1, 1, 4),
    INT("Video[0].Interlaced", Video[0].Interlaced, 0, 0, 9, 1, 1, 4),
    INT("Video[1].Interlaced", Video[1].Interlaced, 0, 0, 9, 1, 1, 4),
    INT("Video[0].Flip", Video[0].Flip, 0, 0, 7, 1, 1, 4),
    INT("Video[1].Flip", Video[1].Flip, 0, 0, 7, 1, 1, 4),
    INT("Video[0].GOPSize", Video[0].GOPSize, 0, 1, 255, 1, 1, 4),
    INT("Video[1].GOPSize", Video[1].GOPSize, 0, 1, 255, 1, 1, 4),
    CONV("Video[0].FrameRate", Video[0].FrameRate, 0, 1, 4, get_framerate, set_framerate),
    CONV("Video[1].FrameRate", Video[1].FrameRate, 0, 1, 4, get_framerate, set_framerate),
    INT("Video[0].JPEGQuality", Video[0].JPEGQuality, 0, 2, 97, 1, 1, 4),
    INT("Video[1].JPEGQuality", Video[1].JPEGQuality, 0, 2, 97, 1, 1, 4),
    CONV("Video[0].AspectRatio", Video[0].AspectRatio, 1, 1, 4, get_aspect, set_aspect),
    CONV("Video[1].AspectRatio", Video[1].AspectRatio, 2, 1, 4, get_aspect, set_aspect),
    INT("Video[0].RTMPAudio", Video[0].RTMPAudio, 0, 0, 1, 1, 1, 4),
    INT("Video[1].RTMPAudio", Video[1].RTMPAudio, 0, 0, 1, 1, 1, 4),
    CONV("Video[0].H264Level", Video[0].H264Level, 0, 1, 4, get_u8, set_level),
    CONV("Video[1].H264Level", Video[1].H264Level, 1, 1, 4, get_u8, set_level),
    CONV("Video[0].H264Profile", Video[0].H264Profile, 0, 1, 4, get_u8, set_profile),
    CONV("Video[1].H264Profile", Video[1].H264Profile, 1, 1, 4, get_u8, set_profile),
    INT("Video[0].IntraFrameQP", Video[0].IntraFrameQP, 1, 0, 51, 1, 1, 4),
    INT("Video[1].IntraFrameQP", Video[1].IntraFrameQP, 2, 0, 51, 1, 1, 4),
    INT("Video[0].InterPFrameQP", Video[0].InterPFrameQP, 1, 0, 51, 1, 1, 4),
    INT("Video[1].InterPFrameQP", Video[1].InterPFrameQP, 2, 0, 51, 1, 1, 4),
    INT("Video[0].OSD.X", Video[0].OSD.X, 28, 0, 720, 1, 1, 4),
    INT("Video[1].OSD.X", Video[1].OSD.X, 27, 0, 720, 1, 1, 4),
    INT("Video[0].OSD.Y", Video[0].OSD.Y, 28, 0, 576, 1, 1, 4),
    INT("Video[1].OSD.Y", Video[1].OSD.Y, 27, 0, 576, 1, 1, 4),
    STR("Video[0].OSD.Message", Video[0].OSD.Message, 0, 1, 4),
    STR("Video[1].OSD.Message", Video[1].OSD.Message, 0, 1, 4),
    INT("Video[0].OSD.DateFormat", Video[0].OSD.DateFormat, 0, 0, 15, 1, 1, 4),
    INT("Video[1].OSD.DateFormat", Video[1].OSD.DateFormat, 0, 0, 15, 1, 1, 4),
    INT("Video[0].OSD.TimeFormat", Video[0].OSD.TimeFormat, 0, 0, 6, 1, 1, 4),
    INT("Video[1].OSD.TimeFormat", Video[1].OSD.TimeFormat, 0, 0, 6, 1, 1, 4),
    INT("Video[0].OSD.Transparent", Video[0].OSD.Transparent, 0, 0, 5, 1, 1, 4),
    INT("Video[1].OSD.Transparent", Video[1].OSD.Transparent, 0, 0, 5, 1, 1, 4),
    INT("Video[0].OSD.Enabled", Video[0].OSD.Enabled, 0, 0, 2, 1, 1, 4),
    INT("Video[1].OSD.Enabled", Video[1].OSD.Enabled, 0, 0, 2, 1, 1, 4),
    FUNC("Video[0].Resolution", 0, 1, 4, 1, get_resolution, set_resolution),
    FUNC("Video[1].Resolution", 0, 1, 4, 2, get_resolution, set_resolution),
    INT("Video[1].BitRate", Video[1].BitRate, 0, 100000, 6000000, 100000, 1, 4),
    INT("Audio.VolumeLeft", Audio.VolumeLeft, 0, 0, 119, 1, 1, 4),
    INT("Audio.VolumeRight", Audio.VolumeRight, 0, 0, 119, 1, 1, 4),
    INT("Audio.AGCLeft", Audio.AGCLeft, 0, 0, 1, 1, 1, 4),
    INT("Audio.AGCRight", Audio.AGCRight, 0, 0, 1, 1, 1, 4),
    INT("Audio.Input", Audio.Input, 0, 0, 1, 1, 1, 4),
    INT("Audio.OutVolumeLeft", Audio.OutVolumeLeft, 0, 0, 100, 1, 1, 4),
    INT("Audio.OutVolumeRight", Audio.OutVolumeRight, 0, 0, 100, 1, 1, 4),
    INT("Audio.Channels", Audio.Channels, 0, 1, 2, 1, 1, 4),
    INT("Audio.MonoMode", Audio.MonoMode, 0, 0, 2, 1, 1, 4),
    INT("Audio.BitRate", Audio.BitRate, 0, 32000, 512000, 16000, 1, 4),
    INT("Audio.SampleRate", Audio.SampleRate, 0, 44100, 48000, 3900, 1, 4),
    INT("Audio.Mute", Audio.Mute, 0, 0, 3, 1, 1, 4),
    CONV("Capture.Standard", Capture.Standard, 0, 1, 4, get_standard, set_standard),
    INT("Capture.Interpolate", Capture.Interpolate, 0, 0, 1, 1, 1, 4),
    INT("Capture.Brightness", Capture.Brightness, 24, 0, 255, 1, 1, 4),
    INT("Capture.Saturation", Capture.Saturation, 24, 0, 255, 1, 1, 4),
    INT("Capture.Hue", Capture.Hue, 24, -127, 127, 1, 1, 4),
    INT("Capture.Contrast", Capture.Contrast, 24, 0, 255, 1, 1, 4),
    INT("MotionVectorStream", MotionVectorStream, 0, 0, 2, 1, 1, 4),
    FUNC("VideoLock", 0, 1, 0, 0, get_video_lock, nullptr),
    FUNC("VideoCounter", 0, 0, 4, 0, nullptr, set_video_counter),
    INT("Capture_ChromaFilter", Capture_ChromaFilter, 0, 0, 7, 1, 1, 4),
    INT("Capture_LumaFilter", Capture_LumaFilter, 0, 0, 3, 1, 1, 4),
    INT("Capture_CombFilter", Capture_CombFilter, 0, 0, 3, 1, 1, 4),
    INT("Capture_AutoGain", Capture_AutoGain, 0, 0, 3, 1, 1, 4),
    INT("Capture_AutoBrightness", Capture_AutoBrightness, 0, 0, 3, 1, 1, 4),
    INT("Capture_ColorKiller", Capture_ColorKiller, 0, 0, 3, 1, 1, 4),
    INT("Display.StreamFormat", Display.StreamFormat, 3, 0, 16, 1, 1, 4),
    INT("Display.StartMode", Display.StartMode, 0, 0, 1, 1, 1, 4),
    INT("Display.DisplayMode", Display.DisplayMode, 23, 0, 6, 1, 1, 4),
    INT("Display.UDPPort", Display.UDPPort, 3, 0, 65535, 1, 1, 4),
    STR("Display.URL", Display.URL, 3, 1, 4),
    CONV("Display.Standard", Display.Standard, 0, 1, 4, get_standard, set_display_standard),
    FUNC("Display.State", 0, 0, 1, 3, nullptr, set_run_state),
    FUNC("Display.Status", 0, 1, 0, 3, get_run_status, nullptr),
    INT("Display.OSD.X", Display.OSD.X, 26, 0, 720, 1, 1, 4),
    INT("Display.OSD.Y", Display.OSD.Y, 26, 0, 576, 1, 1, 4),
    STR("Display.OSD.Message", Display.OSD.Message, 26, 1, 4),
    INT("Display.OSD.DateFormat", Display.OSD.DateFormat, 26, 0, 15, 1, 1, 4),
    INT("Display.OSD.TimeFormat", Display.OSD.TimeFormat, 26, 0, 6, 1, 1, 4),
    INT("Display.OSD.Transparent", Display.OSD.Transparent, 26, 0, 3, 1, 1, 4),
    INT("Display.OSD.Enabled", Display.OSD.Enabled, 26, 0, 2, 1, 1, 4),
    FUNC("Display.Colorbars", 0, 1, 4, 2, get_display_mode, set_display_mode),
    FUNC("Display.Passthru", 0, 1, 4, 1, get_display_mode, set_display_mode),
#define USER_NAME(n) STR_CHECKED("User[" #n "].Name", User[n].Name, 0, 5, 5, check_user_name)
    USER_NAME(0), USER_NAME(1), USER_NAME(2), USER_NAME(3), USER_NAME(4),
    USER_NAME(5), USER_NAME(6), USER_NAME(7), USER_NAME(8), USER_NAME(9),
#define USER_PERM(n, lo) INT("User[" #n "].Permission", User[n].Permission, 25, lo, 5, 1, 5, 5)
    USER_PERM(0, 1), USER_PERM(1, 1), USER_PERM(2, 1), USER_PERM(3, 1), USER_PERM(4, 1),
    USER_PERM(5, 1), USER_PERM(6, 1), USER_PERM(8, 1), USER_PERM(9, 1), USER_PERM(7, 0),
    INT("GuestPermission", GuestPermission, 25, 0, 6, 1, 5, 5),
#define USER_DEL(n) FUNC("User[" #n "].Delete", 25, 0, 5, n, nullptr, set_delete_user)
    USER_DEL(0), USER_DEL(1), USER_DEL(2), USER_DEL(3), USER_DEL(4),
    USER_DEL(5), USER_DEL(6), USER_DEL(7), USER_DEL(8), USER_DEL(9),
#define USER_PW(n) FUNC("User[" #n "].Password", 25, 0, 5, n, nullptr, set_password)
    USER_PW(0), USER_PW(1), USER_PW(2), USER_PW(3), USER_PW(4),
    USER_PW(5), USER_PW(6), USER_PW(7), USER_PW(8), USER_PW(9),
    INT("RTMP[0].StartMode", RTMP[0].StartMode, 10, 0, 1, 1, 1, 4),
    INT("RTMP[1].StartMode", RTMP[1].StartMode, 11, 0, 1, 1, 1, 4),
    STR("RTMP[0].URL", RTMP[0].URL, 0, 1, 4),
    STR("RTMP[1].URL", RTMP[1].URL, 0, 1, 4),
    FUNC("GPIO.in", 0, 3, 0, 0, get_gpio_in, nullptr),
    FUNC("GPIO.out", 0, 3, 3, 0, get_gpio_out, set_gpio_out),
    FUNC("Clock", 0, 5, 5, 0, get_clock, set_clock),
    FUNC("FirmwareVersion", 0, 5, 0, 0, get_firmware_version, nullptr),
    FUNC("FirmwareBuild", 0, 5, 0, 0, get_firmware_build, nullptr),
    FUNC("BootloaderVersion", 0, 5, 0, 0, get_bootloader, nullptr),
    FUNC("FirmwareStatus", 0, 5, 0, 0, get_firmware_status, nullptr),
    FUNC("SerialNumber", 0, 5, 5, 0, get_serial, set_serial),
    FUNC("CPULoad", 0, 1, 0, 0, get_cpu_load, nullptr),
    FUNC("DebugAddr", 0, 5, 5, 0, get_debug_addr, set_debug_addr),
    FUNC("DebugData", 0, 5, 5, 0, get_debug_data, set_debug_data),
    STR("Recording.Filename", Recording.Filename, 0, 1, 4),
    INT("Recording.Source", Recording.Source, 13, 1, 2, 1, 1, 4),
    INT("Recording.StartMode", Recording.StartMode, 13, 0, 255, 1, 1, 4),
    INT("Recording.Format", Recording.Format, 13, 0, 3, 1, 1, 4),
    INT("Recording.DurationMode", Recording.DurationMode, 13, 0, 5, 1, 1, 4),
    INT("Recording.Duration", Recording.Duration, 13, 0, 2147483647, 1, 1, 4),
    INT("Recording.Segments", Recording.Segments, 13, 1, 2147483647, 1, 1, 4),
    FUNC("Recording.Status", 0, 1, 0, 0, get_recording_status, nullptr),
    FUNC("Recording.State", 0, 0, 3, 13, nullptr, set_run_state),
    FUNC("Recording.Storage", 0, 1, 0, 0, get_recording_storage, nullptr),
    INT("Recording.SubDir", Recording.SubDir, 13, 0, 255, 1, 1, 4),
    FUNC("Encode.Status[0]", 0, 1, 0, 0, get_encode_status, nullptr),
    FUNC("Encode.Status[1]", 0, 1, 0, 1, get_encode_status, nullptr),
    INT("Serial.BaudRate", Serial.BaudRate, 15, 50, 4000000, 1, 1, 4),
    INT("Serial.Interval", Serial.Interval, 15, 1, 1000000, 1, 1, 4),
    INT("Serial.StreamID", Serial.StreamID, 15, 1, 9, 1, 1, 4),
    INT("Serial.StartMode", Serial.StartMode, 15, 0, 1, 1, 1, 4),
    FUNC("Serial.Status", 0, 1, 0, 15, get_run_status, nullptr),
    FUNC("Serial.State", 0, 0, 3, 15, nullptr, set_run_state),
    INT("Serial.TCPPort", Serial.TCPPort, 15, 0, 65535, 1, 1, 4),
    CONV("Serial_TCPAddr", Serial_TCPAddr, 15, 1, 4, get_ip, set_ip),
    INT("Serial_Parity", Serial_Parity, 15, 0, 4, 1, 1, 4),
    FUNC("Timestamp", 0, 0, 5, 0, nullptr, set_timestamp),
    FUNC("Timestamp", 0, 5, 0, 0, get_timestamp, nullptr),
    FUNC("Reboot", 0, 0, 5, 0, nullptr, set_reboot),
    FUNC("CustomClear", 0, 0, 5, 0, nullptr, set_custom_clear),
    INT("DeveloperMode", DeveloperMode, 0, 0, 1, 1, 5, 5),
    INT("RTSP_Disable", RTSP_Disable, 22, 0, 1, 1, 1, 4),
    INT("RTSP_Port", RTSP_Port, 22, 100, 65535, 1, 1, 4),
    INT("RTSP_DisableAuth", RTSP_DisableAuth, 22, 0, 1, 1, 1, 4),
    STR("RTSP_CustomStreamName", RTSP_CustomStreamName, 22, 1, 4),
    INT("RTSP_CustomStreamMode", RTSP_CustomStreamMode, 22, 0, 5, 1, 1, 4),
    FUNC("BoardModel", 0, 0, 0, 0, get_board_model, nullptr),
    FUNC("latency_ts_a", 0, 0, 0, 0, get_latency, nullptr),
    FUNC("latency_ts_b", 0, 0, 0, 1, get_latency, nullptr),
    FUNC("latency_rtsp_a", 0, 0, 0, 2, get_latency, nullptr),
    FUNC("latency_rtsp_b", 0, 0, 0, 3, get_latency, nullptr),
    FUNC("CustomZipSize", 0, 0, 0, 0, get_customzip_size, nullptr),
    {nullptr, 0, 0, 0, 0, 0, 0, 0, 0, 0, nullptr, nullptr},
};

namespace {

const ParamDesc *find_row(const char *name)
{
    if (!name)
        return nullptr;
    for (const ParamDesc *d = param_table; d->name; d++)
        if (strcasecmp(d->name, name) == 0)
            return d;
    return nullptr;
}

const ParamDesc *row_at(int index)
{
    return index >= 0 && index < param_count() ? &param_table[index] : nullptr;
}

int format_row(const ParamDesc *d, char *buf, size_t size)
{
    const uint8_t *f = field_ptr(d);
    switch (d->type) {
    case PARAM_STRING:
        return print(buf, size, "%.*s", (int)d->size, reinterpret_cast<const char *>(f));
    case PARAM_INTEGER:
        if (d->min < 0)
            return print(buf, size, "%d", (int)read_int(f, d->size, true));
        return print(buf, size, "%u", (unsigned)read_int(f, d->size, false));
    case PARAM_FLOAT: {
        float v;
        memcpy(&v, f, sizeof v);
        return print(buf, size, "%f", v);
    }
    case PARAM_CONVERTED:
        return d->get ? d->get(buf, size, reinterpret_cast<uintptr_t>(f)) : -1;
    case PARAM_FUNCTION:
        return d->get ? d->get(buf, size, d->offset_or_arg) : -1;
    }
    return -1;
}

const char *set_integer(const ParamDesc *d, const char *text, size_t length)
{
    long long lo, hi, v = 0;
    row_limits(d, &lo, &hi);
    bool is_signed = d->min < 0;
    NumberResult r = parse_decimal(text, length, &v);
    if (r == NUM_INVALID)
        return INVALID_VALUE;
    if (r == NUM_OVERFLOW || v < lo || v > hi) {
        char shown[32];
        if (r == NUM_OVERFLOW) {
            if (!text_copy(text, length, shown, sizeof shown))
                snprintf(shown, sizeof shown, "?");
        } else
            snprintf(shown, sizeof shown, "%lld", v);
        if (is_signed)
            snprintf(range_message, sizeof range_message, "Signed value out of range %s (%d-%d)", shown, (int)lo, (int)hi);
        else
            snprintf(range_message, sizeof range_message, "Unsigned value out of range %s (%u-%u)", shown, (unsigned)lo,
                     (unsigned)hi);
        return range_message;
    }
    if (d->step > 1)
        v -= (v - lo) % d->step;
    write_int(field_ptr(d), d->size, v);
    return nullptr;
}

const char *set_float(const ParamDesc *d, const char *text, size_t length)
{
    char buf[48];
    if (!text_copy(text, length, buf, sizeof buf) || !buf[0])
        return INVALID_VALUE;
    char *end = nullptr;
    float v = strtof(buf, &end), lo, hi;
    memcpy(&lo, &d->min, sizeof lo);
    memcpy(&hi, &d->max, sizeof hi);
    if (*end)
        return INVALID_VALUE;
    if (!(v >= lo && v <= hi)) {
        snprintf(range_message, sizeof range_message, "Float value out of range %f (%f-%f)", v, lo, hi);
        return range_message;
    }
    memcpy(field_ptr(d), &v, sizeof v);
    return nullptr;
}

int capture_reported_width()
{
    return __atomic_load_n(&capture_width, __ATOMIC_ACQUIRE);
}

} // namespace

int param_count()
{
    static const int count = [] {
        int n = 0;
        while (param_table[n].name)
            n++;
        return n;
    }();
    return count;
}

int param_get(const char *name, char *buf, size_t size)
{
    const ParamDesc *d = find_row(name);
    if (!d || !buf)
        return -1;
    return format_row(d, buf, size);
}

int param_getf(char *buf, size_t size, const char *fmt, ...)
{
    char name[100];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(name, sizeof name, fmt, ap);
    va_end(ap);
    return param_get(name, buf, size);
}

const char *param_set(const char *name, const char *text, size_t length)
{
    const ParamDesc *d = find_row(name);
    if (!d)
        return "No such parameter";
    if (!text)
        text = "", length = 0;
    uint8_t before[256];
    bool kept = d->group && d->size > 0 && d->size <= sizeof before;
    if (kept)
        memcpy(before, field_ptr(d), d->size);
    const char *msg = nullptr;
    // A NUL inside the value would cut it short ("%00%00" empties a user name past the
    // empty-value rule): refused whole, as the setters refuse garbage.
    if (length && memchr(text, 0, length))
        return INVALID_VALUE;
    switch (d->type) {
    case PARAM_STRING: {
        if (d->set && (msg = d->set(text, length, 0)))
            return msg;
        size_t len = strnlen(text, length);
        if (length > d->size && len > d->size)
            return "String value too long";
        if (len >= d->size)
            return "Value too long";
        // Build the whole field first: a reader never sees a half-cleared string.
        char tmp[256] = {};
        memcpy(tmp, text, len);
        memcpy(field_ptr(d), tmp, d->size);
        break;
    }
    case PARAM_INTEGER:
        msg = set_integer(d, text, length);
        break;
    case PARAM_CONVERTED:
        msg = d->set ? d->set(text, length, reinterpret_cast<uintptr_t>(field_ptr(d))) : nullptr;
        break;
    case PARAM_FUNCTION:
        msg = d->set ? d->set(text, length, d->offset_or_arg) : nullptr;
        break;
    case PARAM_FLOAT:
        msg = set_float(d, text, length);
        break;
    }
    if (msg)
        return msg;
    if ((kept && memcmp(before, field_ptr(d), d->size) != 0) || (d->size == 0 && d->group))
        param_mark_changed((int)d->group);
    return nullptr;
}

const char *param_set_text(const char *name, const char *text)
{
    return param_set(name, text, text ? strlen(text) : 0);
}

int param_limits(const char *name, int32_t *min, int32_t *max, int32_t *step)
{
    const ParamDesc *d = find_row(name);
    if (!d)
        return 0;
    long long lo = d->min, hi = d->max;
    if (d->type == PARAM_INTEGER)
        row_limits(d, &lo, &hi);
    if (min)
        *min = (int32_t)lo;
    if (max)
        *max = (int32_t)hi;
    if (step)
        *step = d->step;
    return 0;
}

int param_read_allowed(const char *name, uint32_t level)
{
    const ParamDesc *d = find_row(name);
    if (!d)
        return -1;
    return level >= d->read_level ? 1 : 0;
}

int param_write_allowed(const char *name, uint32_t level)
{
    if (level == PERM_DEMO)
        return 0;
    const ParamDesc *d = find_row(name);
    if (!d)
        return -1;
    return level >= d->write_level ? 1 : 0;
}

const char *param_name(int index)
{
    const ParamDesc *d = row_at(index);
    return d ? d->name : nullptr;
}

int param_is_function(int index)
{
    const ParamDesc *d = row_at(index);
    return d && d->type == PARAM_FUNCTION ? 1 : 0;
}

int param_format(int index, char *buf, size_t size)
{
    const ParamDesc *d = row_at(index);
    return d && buf ? format_row(d, buf, size) : -1;
}

const char *permission_name(uint32_t level)
{
    static const char *const names[] = {"None", "Stream View", "Camera Control", "Stream Control",
                                        "Stream Config", "Admin", "Demo"};
    return level <= PERM_DEMO ? names[level] : nullptr;
}

uint32_t get_permission(const char *name)
{
    for (uint32_t i = 0; i <= PERM_DEMO; i++)
        if (name && strcasecmp(name, permission_name(i)) == 0)
            return i;
    log_printf("%s: unknown permission %s\n", "get_permission", name ? name : "(null)");
    return PERM_NONE;
}

static const UserSlot *user_find(const char *user)
{
    if (!user || !user[0])
        return nullptr;
    for (const UserSlot &u : get_param_block()->User)
        if (strncmp(u.Name, user, sizeof u.Name) == 0 && strlen(user) < sizeof u.Name)
            return &u;
    return nullptr;
}

const char *user_password(const char *user)
{
    const UserSlot *u = user_find(user);
    return u ? u->Password : nullptr;
}

uint32_t user_level(const char *user)
{
    if (!user || !user[0])
        return get_param_block()->GuestPermission;
    const UserSlot *u = user_find(user);
    return u ? u->Permission : PERM_NONE;
}

bool user_has_level(const char *user, const char *level_name)
{
    return user_level(user) >= get_permission(level_name);
}

uint32_t stream_bitrate(int stream_id, int mode)
{
    const ParamBlock *p = get_param_block();
    uint64_t b;
    if (stream_id == 1)
        b = p->Video[0].BitRate;
    else if (stream_id == 2)
        b = p->Video[1].BitRate;
    else if (stream_id == 4)
        b = 0, mode = 18;
    else if (stream_id == 5)
        b = 0, mode = 17;
    else {
        log_printf("unknown streamid: %d\n", stream_id);
        b = 0;
    }
    // Audio kind and container of a stream mode: AAC 0 8 11 13 15 17, PCM 18-20; TS 0 1 8 9 19 20.
    bool aac = mode == 0 || mode == 8 || mode == 11 || mode == 13 || mode == 15 || mode == 17;
    bool pcm = mode >= 18 && mode <= 20;
    bool ts = mode == 0 || mode == 1 || mode == 8 || mode == 9 || mode == 19 || mode == 20;
    if (aac)
        b += p->Audio.BitRate;
    else if (pcm)
        b += (uint64_t)p->Audio.Channels * p->Audio.SampleRate * 16;
    if (ts)
        b += b / 188 * 8;
    return b > UINT32_MAX ? UINT32_MAX : (uint32_t)b;
}

void param_capture_size_report(int width, int height)
{
    __atomic_store_n(&capture_height, height, __ATOMIC_RELEASE);
    __atomic_store_n(&capture_width, width, __ATOMIC_RELEASE);
}

// NTSC (30) when chosen, or when detecting and the input has fewer than 576 lines; the
// frame-rate row, its setter and its option list all count from this base.
int framerate_base()
{
    uint8_t standard = blk()->Capture.Standard;
    return standard == 5 || (standard == 0 && __atomic_load_n(&capture_height, __ATOMIC_ACQUIRE) < 576) ? 30 : 25;
}

void param_set_scale_rule(void (*rule)(int *width, int *height))
{
    scale_rule = rule;
}

int getStreamResolution(int stream, int *width, int *height)
{
    if (stream != 0 && stream != 1) {
        log_printf("%s: invalid stream_idx %d\n", "getStreamResolution", stream);
        return -1;
    }
    const ParamVideo &v = get_param_block()->Video[stream];
    if (v.Width && v.Height) {
        *width = v.Width;
        *height = v.Height;
        return 0;
    }
    while (capture_reported_width() <= 0) {
        if (quit_requested())
            return -1;
        sleep_ms(100);
    }
    int w = capture_reported_width(), h = __atomic_load_n(&capture_height, __ATOMIC_ACQUIRE);
    if (stream == 1) {
        if (!scale_rule)
            return -1;
        scale_rule(&w, &h);
    }
    *width = w;
    *height = h;
    return 0;
}

const char *const *resolution_mode_table()
{
    static const char *const pal[] = {"Auto", "720x576", "704x576", "640x480", "360x288", "352x288",
                                      "320x240", "180x144", "176x144", "160x120", nullptr};
    static const char *const ntsc[] = {"Auto", "720x480", "704x480", "640x480", "360x240", "352x240",
                                       "320x240", "180x120", "176x120", "160x120", nullptr};
    return get_param_block()->Capture.Standard == 6 ? pal : ntsc;
}

void param_table_validate()
{
    ParamBlock *block = get_param_block();
    for (const ParamDesc *d = param_table; d->name; d++) {
        uint8_t *f = reinterpret_cast<uint8_t *>(block) + d->offset_or_arg;
        const uint8_t *def = reinterpret_cast<const uint8_t *>(&param_defaults) + d->offset_or_arg;
        if (d->type == PARAM_INTEGER) {
            long long lo, hi;
            row_limits(d, &lo, &hi);
            long long v = read_int(f, d->size, d->min < 0);
            if (v < lo || v > hi) {
                memcpy(f, def, d->size);
                if (d->min < 0)
                    log_printf("signed parameter %s reset to default\n", d->name);
                else
                    log_printf("unsigned parameter %s reset to default %d (%d, %d)\n", d->name, (int)v, (int)lo, (int)hi);
            }
        } else if (d->type == PARAM_FLOAT) {
            float v, lo, hi;
            memcpy(&v, f, 4);
            memcpy(&lo, &d->min, 4);
            memcpy(&hi, &d->max, 4);
            if (!(v >= lo && v <= hi)) {
                log_printf("float parameter %s reset to default %g < %g < %g\n", d->name, lo, v, hi);
                memcpy(f, def, 4);
            }
        } else if (d->type == PARAM_CONVERTED && d->get && d->set) {
            char was[100];
            uint8_t original[8];
            memcpy(original, f, d->size);
            d->get(was, sizeof was, reinterpret_cast<uintptr_t>(f));
            const char *err = d->set(was, strlen(was), reinterpret_cast<uintptr_t>(f));
            // The text only proves the value acceptable; a rounded text (a frame rate of
            // "1.2") must not move the stored value on every start.
            if (!err)
                memcpy(f, original, d->size);
            if (err) {
                char now[100];
                d->get(now, sizeof now, reinterpret_cast<uintptr_t>(def));
                bool failed = d->set(now, strlen(now), reinterpret_cast<uintptr_t>(f)) != nullptr;
                log_printf("convert parameter %s reset to default: err=%s, was=%s, %s%s\n", d->name, err, was,
                           failed ? "FAILED reset to default " : "now=", now);
            }
        } else if (d->type == PARAM_STRING) {
            if (f[0] == 0xFF) {
                f[0] = 0;
                log_printf("string parameter %s reset to empty\n", d->name);
            } else if (!memchr(f, 0, d->size)) {
                // Readers rely on the terminator inside the field.
                f[d->size - 1] = 0;
                log_printf("string parameter %s cut to its field\n", d->name);
            }
        }
    }
    // An older build stored sizes the encoders refuse; the channel would never start again.
    for (int ch = 0; ch < 2; ch++) {
        ParamVideo &v = block->Video[ch];
        if (width_ok(v.Width) && height_ok(v.Height))
            continue;
        log_printf("video size of Video[%d] %dx%d reset to default %dx%d\n", ch, v.Width, v.Height,
                   param_defaults.Video[ch].Width, param_defaults.Video[ch].Height);
        v.Width = param_defaults.Video[ch].Width;
        v.Height = param_defaults.Video[ch].Height;
    }
}
