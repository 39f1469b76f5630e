#include "core/mtd.h"
#include "platform/platform.h"
#include "web/accesslog.h"
#include "testutil.h"

#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

class AccessLog : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform_init();
        ASSERT_EQ(mtd_open(), 0);
        ASSERT_EQ(mtd_erase_block(ACCESS_LOG_OFFSET, 2 * ACCESS_LOG_PAGE_SIZE), 0);
        access_log_scan();
        ASSERT_TRUE(access_log_ready());
    }
};

std::vector<std::string> listing(int count, uint32_t mask = 0x7fffffff)
{
    std::vector<std::string> lines;
    char *text = get_user_data_log(count, mask);
    if (!text)
        return lines;
    for (char *save = nullptr, *l = strtok_r(text, "\n", &save); l; l = strtok_r(nullptr, "\n", &save))
        lines.emplace_back(l);
    free(text);
    return lines;
}

void add_many(int n, const char *user = "admin")
{
    for (int i = 0; i < n; i++)
        ASSERT_EQ(access_log_add(ACCESS_LOG_CAT_LOGIN, user, ACCESS_EVENT_LOGIN), 0);
}

AccessLogRecord read_record(int page, int index)
{
    AccessLogRecord r;
    mtd_read(&r, ACCESS_LOG_OFFSET + page * ACCESS_LOG_PAGE_SIZE + index * ACCESS_LOG_RECORD_SIZE, sizeof r);
    return r;
}

} // namespace

TEST_F(AccessLog, ListsNewestFirstWithNumberDateUserAndEvent)
{
    ASSERT_EQ(access_log_add(ACCESS_LOG_CAT_LOGIN, "alice", ACCESS_EVENT_LOGIN), 0);
    ASSERT_EQ(access_log_add(ACCESS_LOG_CAT_LOGIN, nullptr, ACCESS_EVENT_LOGOUT), 0);
    ASSERT_EQ(access_log_add(ACCESS_LOG_CAT_USER, "bob", ACCESS_EVENT_USER_CREATED), 0);
    auto lines = listing(100);
    ASSERT_EQ(lines.size(), 3u);
    // "001 2026-Dec-08 20:51:40 bob                 USER CREATED"
    EXPECT_EQ(lines[0].substr(0, 4), "001 ");
    EXPECT_EQ(lines[0][8], '-');
    EXPECT_EQ(lines[0].substr(25), "bob                 USER CREATED");
    EXPECT_EQ(lines[1].substr(25), "Guest               LOGOUT");
    EXPECT_EQ(lines[2].substr(0, 4), "003 ");
    EXPECT_EQ(lines[2].substr(25), "alice               LOGIN");
    // The mask selects categories; numbering counts printed lines only.
    auto users = listing(100, ACCESS_LOG_CAT_USER);
    ASSERT_EQ(users.size(), 1u);
    EXPECT_EQ(users[0].substr(0, 4), "001 ");
}

TEST_F(AccessLog, LongUserNameStoredAsTwentyListedAsNineteen)
{
    ASSERT_EQ(access_log_add(ACCESS_LOG_CAT_LOGIN, "abcdefghijklmnopqrstuvwxy", ACCESS_EVENT_LOGIN), 0);
    AccessLogRecord r = read_record(0, 0);
    EXPECT_EQ(r.category, 64u);
    EXPECT_EQ(r.event, 6u);
    EXPECT_EQ(std::string(r.user, 20), "abcdefghijklmnopqrst");
    auto lines = listing(1);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].substr(25), "abcdefghijklmnopqrs LOGIN");
}

TEST_F(AccessLog, ListingStopsAtTheStartOfAPageInUse)
{
    add_many(10);
    EXPECT_EQ(listing(100).size(), 10u);
    EXPECT_EQ(listing(4).size(), 4u);
}

TEST_F(AccessLog, FullPageSwitchesAndListingContinuesOnTheFullPage)
{
    add_many(ACCESS_LOG_RECORDS - 1, "old");
    ASSERT_EQ(access_log_add(ACCESS_LOG_CAT_LOGIN, "last", ACCESS_EVENT_LOGOUT), 0);
    EXPECT_EQ(access_log_current_page(), 1);
    EXPECT_EQ(access_log_current_index(), 0);
    EXPECT_EQ(access_log_page_state(0), PAGE_FULL);
    auto lines = listing(3);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].substr(25), "last                LOGOUT");   // record 2047 of page 0
    add_many(2, "new");
    lines = listing(100);
    ASSERT_EQ(lines.size(), 100u);
    EXPECT_EQ(lines[0].substr(25), "new                 LOGIN");
    EXPECT_EQ(lines[2].substr(25), "last                LOGOUT");
}

TEST_F(AccessLog, SecondPageFullErasesTheFirstAndWrapsBack)
{
    add_many(2 * ACCESS_LOG_RECORDS);
    EXPECT_EQ(access_log_current_page(), 0);
    EXPECT_EQ(access_log_current_index(), 0);
    EXPECT_EQ(read_record(0, 0).category, 0xFFFFFFFFu);
    EXPECT_EQ(listing(100).size(), 100u);
}

TEST_F(AccessLog, ClearEmptiesTheListingAndWritingStartsAgainAtTheFirstRecord)
{
    add_many(30);
    ASSERT_EQ(access_log_clear(), 0);
    EXPECT_TRUE(listing(100).empty());
    ASSERT_EQ(access_log_add(ACCESS_LOG_CAT_LOGIN, "after", ACCESS_EVENT_LOGIN), 0);
    // Only the new record: the listing never walks into the erased records behind it.
    auto lines = listing(100);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].substr(25), "after               LOGIN");
    EXPECT_EQ(read_record(0, 0).category, 64u);
}

TEST_F(AccessLog, ScanAfterRestartFindsThePosition)
{
    add_many(ACCESS_LOG_RECORDS + 5);
    EXPECT_FALSE(access_log_scan());
    EXPECT_EQ(access_log_current_page(), 1);
    EXPECT_EQ(access_log_current_index(), 5);
    EXPECT_EQ(listing(10).size(), 10u);
}

TEST_F(AccessLog, ScanErasesAPageWithAGap)
{
    add_many(3);
    AccessLogRecord r = {};
    r.category = 64;
    ASSERT_EQ(mtd_write(&r, ACCESS_LOG_OFFSET + 10 * ACCESS_LOG_RECORD_SIZE, sizeof r), (ssize_t)sizeof r);
    EXPECT_TRUE(access_log_scan());
    EXPECT_EQ(access_log_page_state(0), PAGE_EMPTY);
    EXPECT_TRUE(listing(100).empty());
}

// Each erase wears the part: a blank page is not erased again (an erase is 16 power-cut steps).
TEST_F(AccessLog, ClearErasesOnlyThePagesThatHoldRecords)
{
    const long steps = 1000000;
    platform_flash_cut_after(steps);
    for (int i = 0; i < 10; i++)
        ASSERT_EQ(access_log_clear(), 0);
    EXPECT_EQ(steps - platform_flash_cut_remaining(), 0);
    EXPECT_TRUE(access_log_empty());
    add_many(3);
    EXPECT_FALSE(access_log_empty());
    ASSERT_EQ(access_log_clear(), 0);
    EXPECT_EQ(steps - platform_flash_cut_remaining(), 3 + 16);
    add_many(ACCESS_LOG_RECORDS + 1);   // page 0 full (page 1 erased when it filled), page 1 in use
    long before = platform_flash_cut_remaining();
    ASSERT_EQ(access_log_clear(), 0);
    EXPECT_EQ(before - platform_flash_cut_remaining(), 2 * 16);
    platform_flash_cut_after(-1);
    EXPECT_TRUE(listing(100).empty());
    EXPECT_FALSE(access_log_scan());   // nothing left behind for the scan to mend
}

// A record standing for repeats lists its count; the spare bytes an older writer left are no count.
TEST_F(AccessLog, ARecordOfRepeatsListsItsCount)
{
    ASSERT_EQ(access_log_add_held(ACCESS_LOG_CAT_LOGIN, "viewer", ACCESS_EVENT_LOGOUT, 4999), 0);
    AccessLogRecord r;
    memset(&r, 0, sizeof r);
    r.category = ACCESS_LOG_CAT_LOGIN;
    strcpy(r.user, "old");
    r.event = ACCESS_EVENT_LOGIN;
    r.held_mark = ACCESS_LOG_HELD_MARK;
    r.held = 12;
    ASSERT_EQ(mtd_write(&r, ACCESS_LOG_OFFSET + ACCESS_LOG_RECORD_SIZE, sizeof r), (ssize_t)sizeof r);
    ASSERT_FALSE(access_log_scan());
    auto lines = listing(100);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].substr(25), "old                 LOGIN");
    EXPECT_EQ(lines[1].substr(25), "viewer              LOGOUT (4999 repeats held back)");
}
