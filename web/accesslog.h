// Logins, logouts and user creation, kept in two flash erase blocks so they survive restarts.
#pragma once
#include <cstdint>

enum : uint32_t {
    ACCESS_LOG_OFFSET = 0x820000,           // page 0; page 1 follows one erase block later
    ACCESS_LOG_PAGE_SIZE = 0x20000,
    ACCESS_LOG_RECORD_SIZE = 64,
    ACCESS_LOG_RECORDS = ACCESS_LOG_PAGE_SIZE / ACCESS_LOG_RECORD_SIZE,   // 2048 a page
    ACCESS_LOG_CAT_USER = 32,
    ACCESS_LOG_CAT_LOGIN = 64,
};

enum AccessLogEvent : uint32_t {
    ACCESS_EVENT_UNDEFINED, ACCESS_EVENT_RESOURCE, ACCESS_EVENT_ERROR, ACCESS_EVENT_ALARM,
    ACCESS_EVENT_STREAM_CONTROL, ACCESS_EVENT_USER_CREATED, ACCESS_EVENT_LOGIN, ACCESS_EVENT_LOGOUT,
};

enum AccessPageState { PAGE_EMPTY = 0, PAGE_IN_USE = 1, PAGE_FULL = 2, PAGE_BAD = 3 };

// The 64-byte flash record. Bytes 32..63 stay erased, except in a record that stands for repeats
// held back: there they hold the mark and the count (and its complement, so that what an older
// writer left in them is not taken for one).
enum : uint32_t { ACCESS_LOG_HELD_MARK = 0x444c4548 };   // "HELD"
struct AccessLogRecord {
    uint32_t category;      // erased flash reads 0xFFFFFFFF
    uint32_t time;          // seconds since 1970, UTC
    char user[20];          // not terminated when 20 long
    uint32_t event;
    uint32_t held_mark, held, held_check;
    uint8_t spare[20];
};
static_assert(sizeof(AccessLogRecord) == ACCESS_LOG_RECORD_SIZE);

// 0 written (also when the log is not ready), 1 record not written whole, -1 page switch failed.
int access_log_add(uint32_t category, const char *user, uint32_t event);
// A record standing for `held` records of this kind that were not written one by one; the
// listing shows the count after the event's name.
int access_log_add_held(uint32_t category, const char *user, uint32_t event, uint32_t held);
// The newest `count` records whose category has a bit of `mask`, newest first; owned by the
// caller (free()); null when the log is empty, not ready or unreadable.
char *get_user_data_log(int count, uint32_t mask);
void erasePage(int page);
// Erases the pages that hold records (a blank one is not erased again) and starts again at the
// first record. 0, or -1 when an erase failed.
int access_log_clear();
// Whether no record is written in either page.
bool access_log_empty();
// Finds the current page and index from the flash and makes the log ready. Returns whether it
// had to erase anything.
bool access_log_scan();

// For tests and the web pages.
bool access_log_ready();
int access_log_current_page();
int access_log_current_index();
int access_log_page_state(int page);
