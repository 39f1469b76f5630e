#include "web/accesslog.h"

#include "core/log.h"
#include "core/mtd.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <pthread.h>

namespace {

const char *const event_names[] = {"UNDEFINED", "RESOURCE ACCESS", "ERROR", "ALARM",
                                   "STREAM CONTROL", "USER CREATED", "LOGIN", "LOGOUT"};
const char *const month_names[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

struct AccessLog {
    int ready;
    int page_state[2];
    int page;
    int index;              // next record to write on `page`
};
AccessLog alog;
// The web thread is the writer; the lock keeps a listing from reading a half-switched page.
pthread_mutex_t alog_mutex = PTHREAD_MUTEX_INITIALIZER;

uint32_t record_offset(int page, int index)
{
    return ACCESS_LOG_OFFSET + (uint32_t)page * ACCESS_LOG_PAGE_SIZE + (uint32_t)index * ACCESS_LOG_RECORD_SIZE;
}

void erase_page_locked(int page)
{
    if (page != 0 && page != 1)
        return;
    if (mtd_erase_block((65 + page) * ACCESS_LOG_PAGE_SIZE, ACCESS_LOG_PAGE_SIZE) != 0) {
        log_printf("%s: block erase failed for page %d\n", "erasePage", page);
        alog.page_state[page] = PAGE_BAD;
    } else {
        alog.page_state[page] = PAGE_EMPTY;
    }
}

bool record_erased(const AccessLogRecord &r)
{
    return r.category == 0xFFFFFFFFu;
}

} // namespace

int access_log_add(uint32_t category, const char *user, uint32_t event)
{
    return access_log_add_held(category, user, event, 0);
}

int access_log_add_held(uint32_t category, const char *user, uint32_t event, uint32_t held)
{
    pthread_mutex_lock(&alog_mutex);
    if (!alog.ready) {
        pthread_mutex_unlock(&alog_mutex);
        return 0;
    }
    AccessLogRecord r;
    memset(&r, 0xFF, sizeof r);   // untouched bytes stay erased
    r.category = category;
    r.time = (uint32_t)time(nullptr);
    memset(r.user, 0, sizeof r.user);
    strncpy(r.user, user && *user ? user : "Guest", sizeof r.user);
    r.event = event;
    if (held) {
        r.held_mark = ACCESS_LOG_HELD_MARK;
        r.held = held;
        r.held_check = ~held;
    }
    // The other bytes go out as 0xFF, which leaves them erased. A write cut short has written
    // some bits all the same: the page is no longer blank for a clear.
    alog.page_state[alog.page] = PAGE_IN_USE;
    if (mtd_write(&r, record_offset(alog.page, alog.index), sizeof r) != (ssize_t)sizeof r) {
        pthread_mutex_unlock(&alog_mutex);
        return 1;
    }
    if (++alog.index >= (int)ACCESS_LOG_RECORDS) {
        alog.page_state[alog.page] = PAGE_FULL;
        int other = alog.page ^ 1;
        erase_page_locked(other);
        if (alog.page_state[other] == PAGE_BAD) {
            alog.ready = 0;
            pthread_mutex_unlock(&alog_mutex);
            return -1;
        }
        alog.index = 0;
        alog.page = other;
    }
    pthread_mutex_unlock(&alog_mutex);
    return 0;
}

char *get_user_data_log(int count, uint32_t mask)
{
    if (count <= 0)
        return nullptr;
    pthread_mutex_lock(&alog_mutex);
    if (!alog.ready || (alog.page_state[0] == PAGE_EMPTY && alog.page_state[1] == PAGE_EMPTY)) {
        pthread_mutex_unlock(&alog_mutex);
        return nullptr;
    }
    size_t cap = (size_t)count * 112;
    char *text = static_cast<char *>(malloc(cap));
    if (!text) {
        log_printf("get_user_data_log: malloc failed\n");
        pthread_mutex_unlock(&alog_mutex);
        return nullptr;
    }
    text[0] = 0;
    size_t len = 0;
    int page = alog.page;
    int index = alog.index - 1;
    if (index < 0) {
        page ^= 1;
        index = ACCESS_LOG_RECORDS - 1;
        if (alog.page_state[page] != PAGE_FULL)
            count = 0;
    }
    int line = 0;
    for (int n = 0; n < count; n++) {
        AccessLogRecord r;
        if (mtd_read(&r, record_offset(page, index), sizeof r) != (ssize_t)sizeof r) {
            free(text);
            pthread_mutex_unlock(&alog_mutex);
            return nullptr;
        }
        // An erased record ends the history: nothing older was written after it.
        if (record_erased(r))
            break;
        if (r.category & mask) {
            time_t t = r.time;
            struct tm tm;
            localtime_r(&t, &tm);
            char name[20];
            memcpy(name, r.user, 19);
            name[19] = 0;
            const char *event = r.event < 8 ? event_names[r.event] : event_names[0];
            char held[40] = "";
            if (r.held_mark == ACCESS_LOG_HELD_MARK && r.held_check == ~r.held)
                snprintf(held, sizeof held, " (%u repeats held back)", r.held);
            int w = snprintf(text + len, cap - len, "%03d %.4d-%s-%.2d %.2d:%.2d:%.2d %-19s %s%s\n", ++line,
                             tm.tm_year + 1900, month_names[tm.tm_mon % 12], tm.tm_mday, tm.tm_hour, tm.tm_min,
                             tm.tm_sec, name, event, held);
            if (w < 0 || (size_t)w >= cap - len)
                break;
            len += (size_t)w;
        }
        if (--index < 0) {
            page ^= 1;
            index = ACCESS_LOG_RECORDS - 1;
            if (alog.page_state[page] != PAGE_FULL)
                break;
        }
    }
    pthread_mutex_unlock(&alog_mutex);
    return text;
}

void erasePage(int page)
{
    pthread_mutex_lock(&alog_mutex);
    erase_page_locked(page);
    pthread_mutex_unlock(&alog_mutex);
}

int access_log_clear()
{
    pthread_mutex_lock(&alog_mutex);
    // Each erase wears the part: a page known blank stays as it is.
    for (int p = 0; p < 2; p++)
        if (alog.page_state[p] != PAGE_EMPTY)
            erase_page_locked(p);
    // Start again at the beginning: an old position would leave erased records behind the
    // writer that the listing would walk into.
    alog.page = 0;
    alog.index = 0;
    int rc = 0;
    if (alog.page_state[0] == PAGE_BAD || alog.page_state[1] == PAGE_BAD) {
        alog.ready = 0;
        rc = -1;
    }
    pthread_mutex_unlock(&alog_mutex);
    return rc;
}

bool access_log_empty()
{
    pthread_mutex_lock(&alog_mutex);
    bool empty = alog.page_state[0] == PAGE_EMPTY && alog.page_state[1] == PAGE_EMPTY;
    pthread_mutex_unlock(&alog_mutex);
    return empty;
}

bool access_log_scan()
{
    pthread_mutex_lock(&alog_mutex);
    bool erased = false;
    int free_index[2] = {0, 0};
    static AccessLogRecord buf[ACCESS_LOG_RECORDS];
    for (int p = 0; p < 2; p++) {
        if (mtd_read(buf, record_offset(p, 0), sizeof buf) != (ssize_t)sizeof buf) {
            erase_page_locked(p);
            erased = true;
            continue;
        }
        if (record_erased(buf[0])) {
            alog.page_state[p] = PAGE_EMPTY;
            for (int k = 1; k < (int)ACCESS_LOG_RECORDS; k++) {
                if (!record_erased(buf[k])) {
                    erase_page_locked(p);
                    erased = true;
                    break;
                }
            }
            continue;
        }
        alog.page_state[p] = PAGE_FULL;
        free_index[p] = ACCESS_LOG_RECORDS;
        for (int k = 1; k < (int)ACCESS_LOG_RECORDS; k++) {
            if (record_erased(buf[k])) {
                if (alog.page_state[p] == PAGE_FULL) {
                    alog.page_state[p] = PAGE_IN_USE;
                    free_index[p] = k;
                }
            } else if (alog.page_state[p] == PAGE_IN_USE) {
                erase_page_locked(p);   // a gap: the page is not a log we wrote
                erased = true;
                free_index[p] = 0;
                break;
            }
        }
    }
    int s0 = alog.page_state[0], s1 = alog.page_state[1];
    if ((s0 == PAGE_FULL && s1 == PAGE_FULL) || (s0 == PAGE_IN_USE && s1 == PAGE_IN_USE)) {
        erase_page_locked(0);
        erase_page_locked(1);
        erased = true;
        s0 = s1 = PAGE_EMPTY;
    }
    if (s0 == PAGE_IN_USE) {
        alog.page = 0, alog.index = free_index[0];
    } else if (s1 == PAGE_IN_USE) {
        alog.page = 1, alog.index = free_index[1];
    } else if (s0 == PAGE_FULL) {
        // The writer erases the other page when one fills; finish that step.
        if (s1 != PAGE_EMPTY) {
            erase_page_locked(1);
            erased = true;
        }
        alog.page = 1, alog.index = 0;
    } else if (s1 == PAGE_FULL) {
        if (s0 != PAGE_EMPTY) {
            erase_page_locked(0);
            erased = true;
        }
        alog.page = 0, alog.index = 0;
    } else {
        alog.page = 0, alog.index = 0;
    }
    alog.ready = alog.page_state[0] != PAGE_BAD && alog.page_state[1] != PAGE_BAD;
    pthread_mutex_unlock(&alog_mutex);
    return erased;
}

bool access_log_ready()
{
    return alog.ready != 0;
}

int access_log_current_page()
{
    return alog.page;
}

int access_log_current_index()
{
    return alog.index;
}

int access_log_page_state(int page)
{
    return page == 0 || page == 1 ? alog.page_state[page] : -1;
}
