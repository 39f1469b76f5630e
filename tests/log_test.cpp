#include "core/log.h"

#include <algorithm>
#include <cstring>
#include <unistd.h>
#include <gtest/gtest.h>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace {

std::vector<std::string> &ring_hooked()
{
    static std::vector<std::string> lines;
    return lines;
}

std::string ring_contents()
{
    std::vector<char> buf(LOG_RING_SIZE);
    uint32_t n = log_ring_read(log_ring_tail(), buf.data(), (uint32_t)buf.size());
    return std::string(buf.data(), n);
}

void fill_lines(int count, int width)
{
    std::string body(width, 'x');
    for (int i = 0; i < count; i++)
        log_printf("line %06d %s\n", i, body.c_str());
}

} // namespace

TEST(LogRing, LinesCarryTheTimestampPrefixAndAreCut)
{
    log_ring_reset();
    log_printf("hello %d\n", 42);
    std::string s = ring_contents();
    EXPECT_TRUE(std::regex_match(s, std::regex(R"(\[[ 0-9]{5}\.[0-9]{6}\] hello 42\n)"))) << s;
    log_ring_reset();
    std::string big(1000, 'y');
    int n = log_printf("%s", big.c_str());
    EXPECT_EQ(n, 255);
    EXPECT_EQ(log_ring_used(), 255u);
    log_ring_reset();
    EXPECT_EQ(log_printf("%s", ""), 0);
    EXPECT_EQ(log_ring_used(), 0u);
}

TEST(LogRing, CutLineKeepsItsNewlineAndTheNextEntryStartsALine)
{
    log_ring_reset();
    std::string big(400, 'z');
    EXPECT_EQ(log_printf("long %s\n", big.c_str()), 255);
    log_printf("next %d\n", 7);
    log_print_raw("raw %s\n", big.c_str());
    log_printf("after raw\n");
    std::string s = ring_contents();
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < s.size()) {
        size_t nl = s.find('\n', pos);
        ASSERT_NE(nl, std::string::npos) << "unterminated tail: " << s.substr(pos);
        lines.push_back(s.substr(pos, nl + 1 - pos));
        pos = nl + 1;
    }
    ASSERT_EQ(lines.size(), 4u) << s;
    const std::regex stamp(R"(\[[ 0-9]{5}\.[0-9]{6}\] .*\n)");
    EXPECT_EQ(lines[0].size(), 255u);
    EXPECT_TRUE(std::regex_match(lines[0], stamp));
    EXPECT_TRUE(std::regex_match(lines[1], std::regex(R"(\[[ 0-9]{5}\.[0-9]{6}\] next 7\n)"))) << lines[1];
    EXPECT_EQ(lines[2].size(), 255u);
    EXPECT_EQ(lines[2].compare(0, 4, "raw "), 0);
    EXPECT_TRUE(std::regex_match(lines[3], std::regex(R"(\[[ 0-9]{5}\.[0-9]{6}\] after raw\n)"))) << lines[3];
}

TEST(LogRing, WrapKeepsWholeLinesAndNeverReturnsPadding)
{
    log_ring_reset();
    fill_lines(8000, 100);   // about 1 MiB: wraps more than once
    uint32_t used = log_ring_used();
    EXPECT_LT(used, LOG_RING_SIZE);
    EXPECT_GT(used, LOG_RING_SIZE / 2);
    std::string s = ring_contents();
    ASSERT_EQ(s.size(), used);
    EXPECT_EQ(s.find('\0'), std::string::npos) << "zero padding returned";
    ASSERT_FALSE(s.empty());
    EXPECT_EQ(s[0], '[') << "oldest kept byte is not the start of a line";
    EXPECT_EQ(s.back(), '\n');
    // The newest line is the last one written, and lines are consecutive.
    EXPECT_NE(s.find("line 007999"), std::string::npos);
    std::regex line_re(R"(line (\d{6}))");
    int prev = -1;
    for (auto it = std::sregex_iterator(s.begin(), s.end(), line_re); it != std::sregex_iterator(); ++it) {
        int n = std::stoi((*it)[1]);
        if (prev >= 0) {
            ASSERT_EQ(n, prev + 1);
        }
        prev = n;
    }
}

TEST(LogRing, ReadSizeEqualToTheWrappedTailPart)
{
    log_ring_reset();
    fill_lines(6000, 100);
    uint32_t head = log_ring_head(), tail = log_ring_tail();
    ASSERT_LT(head, tail) << "expected wrapped data";
    std::string all = ring_contents();
    size_t first_part = all.size() - head;
    std::vector<char> buf(first_part);
    uint32_t n = log_ring_read(tail, buf.data(), (uint32_t)first_part);
    EXPECT_EQ(n, first_part);
    EXPECT_EQ(std::string(buf.data(), n), all.substr(0, first_part));
    log_printf("still usable\n");
    EXPECT_NE(ring_contents().find("still usable"), std::string::npos);
}

TEST(LogRing, DumpWritesOldestFirst)
{
    log_ring_reset();
    fill_lines(6000, 100);
    char path[] = "/tmp/k7160-logdump-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    ASSERT_EQ(log_ring_dump(path), 0);
    FILE *f = fopen(path, "rb");
    std::string dumped;
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0)
        dumped.append(chunk, n);
    fclose(f);
    unlink(path);
    EXPECT_EQ(dumped, ring_contents());
}

TEST(LastError, KeepsMessageAndStatusLine)
{
    set_status_line("capturing %s", "NTSC");
    set_last_error(1, "%s %d: Failed to open codec engine %s\n", "videoA", 12, "encode");
    EXPECT_STREQ(last_error_text(), "videoA 12: Failed to open codec engine encode\ncapturing NTSC");
    std::string longer(300, 'z');
    set_status_line("%s", longer.c_str());
    EXPECT_EQ(strlen(status_line()), 79u);
}

// What a client chose can neither begin a line of its own nor reach the reader's terminal as a
// control: every such byte is written as \xNN, text in UTF-8 stays readable.
TEST(LogText, EscapesWhatCouldForgeOrControlALine)
{
    const struct {
        std::string in, out;
    } cases[] = {
        {"/a%0ab", "/a%0ab"},
        {"x\n[ 1.000000] forged\r", "x\\x0a[ 1.000000] forged\\x0d"},
        {"evil\x1b[2J\b\b\x7f", "evil\\x1b[2J\\x08\\x08\\x7f"},
        {"a\\x0ab", "a\\x5cx0ab"},                                  // a typed escape stays told apart
        {"n\xc2\x85" "e\xc2\x9b" "x", "n\\xc2\\x85e\\xc2\\x9bx"},    // C1 controls in UTF-8
        {"l\xe2\x80\xa8m\xe2\x80\xa9", "l\\xe2\\x80\\xa8m\\xe2\\x80\\xa9"},
        {"raw\x85\x9b\xe9", "raw\\x85\\x9b\\xe9"},                   // not UTF-8
        {"\xc0\x8a\xed\xa0\x80\xe2\x82", "\\xc0\\x8a\\xed\\xa0\\x80\\xe2\\x82"},   // overlong, surrogate, cut
        {"caf\xc3\xa9 \xe2\x82\xac \xe2\x80\x94 \xf0\x9f\x8e\xa5", "caf\xc3\xa9 \xe2\x82\xac \xe2\x80\x94 \xf0\x9f\x8e\xa5"},
        {std::string("a\0b", 3), "a\\x00b"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(log_text_n(c.in.data(), c.in.size()).text, c.out) << c.in;
    EXPECT_STREQ(log_text(nullptr).text, "(null)");

    // Long texts are cut to a line, never inside an escape or a character.
    std::string newlines(200, '\n');
    std::string cut = log_text(newlines.c_str()).text;
    EXPECT_EQ(cut.size(), 252u);
    EXPECT_EQ(cut.substr(cut.size() - 4), "\\x0a");
    std::string euros;
    for (int i = 0; i < 100; i++)
        euros += "\xe2\x82\xac";
    EXPECT_EQ(strlen(log_text(euros.c_str()).text), 255u);

    log_ring_reset();
    log_printf("resource %s not found\n", log_text("/x\n[ 1.0] root logged in").text);
    std::string s = ring_contents();
    EXPECT_EQ(std::count(s.begin(), s.end(), '\n'), 1) << s;
}

// Whatever a caller passes, a line holds no control byte but its own end, and a cut line ends in
// one newline, never inside an escape; text log_text already escaped is not escaped again.
TEST(LogWriter, EscapesEveryLineWhoeverWroteIt)
{
    log_ring_reset();
    log_set_line_hook([](const char *line, int length) { ring_hooked().emplace_back(line, length); });
    ring_hooked().clear();
    log_printf("name %s set\n", "a\nb\rc\td\x1b[2J\x07\x08\x7f" "e\xc2\x85" "f\xc2\x9b" "g\xe2\x80\xa8h\x85\x9b" "caf\xc3\xa9");
    log_printf("no newline of its own %d", 1);
    log_print_raw("raw\n\n\n");
    set_last_error(2, "error\nwith a break");
    log_printf("%s", log_text("typed \\x0a and a real\n").text);
    std::string cut(300, '\n');
    log_printf("cut %s", cut.c_str());
    log_set_line_hook(nullptr);
    std::string s = ring_contents();
    std::vector<std::string> lines;
    for (size_t pos = 0, nl; (nl = s.find('\n', pos)) != std::string::npos; pos = nl + 1)
        lines.push_back(s.substr(pos, nl - pos));
    ASSERT_EQ(lines.size(), 6u) << s;
    EXPECT_EQ(s.back(), '\n');
    for (const std::string &line : lines)
        for (unsigned char c : line)
            EXPECT_TRUE(c >= 0x20 && c != 0x7f) << line;
    EXPECT_EQ(lines[0].substr(lines[0].find("name")),
              "name a\\x0ab\\x0dc\\x09d\\x1b[2J\\x07\\x08\\x7fe\\xc2\\x85f\\xc2\\x9bg\\xe2\\x80\\xa8h\\x85\\x9bcaf\xc3\xa9 set");
    EXPECT_NE(lines[1].find("no newline of its own 1"), std::string::npos);
    EXPECT_EQ(lines[2], "raw\\x0a\\x0a");
    EXPECT_NE(lines[3].find("error\\x0awith a break"), std::string::npos) << lines[3];
    EXPECT_NE(lines[4].find("typed \\x5cx0a and a real\\x0a"), std::string::npos) << lines[4];
    EXPECT_GE(lines[5].size(), 250u);
    EXPECT_LE(lines[5].size(), 254u);
    EXPECT_EQ(lines[5].substr(lines[5].size() - 4), "\\x0a") << lines[5];
    // The console and the UDP log get the same lines as the ring.
    ASSERT_EQ(ring_hooked().size(), 5u);   // the raw line goes to the console and the ring only
    EXPECT_EQ(ring_hooked()[0], lines[0] + "\n");
}

namespace {

int64_t fake_now_ms = 1000000;
int64_t fake_clock() { return fake_now_ms; }

size_t count_of(const std::string &s, const std::string &what)
{
    size_t n = 0;
    for (size_t pos = 0; (pos = s.find(what, pos)) != std::string::npos; pos += what.size())
        n++;
    return n;
}

struct OriginFixture : ::testing::Test {
    void SetUp() override
    {
        log_ring_reset();
        log_set_clock(fake_clock);
    }
    void TearDown() override
    {
        log_origin_swap(LogOrigin{});
        log_set_clock(nullptr);
    }
};

} // namespace

// A flood of one client gets a few lines a second, a burst over the long term; the system, an
// Admin and other clients are not held back with it, and what was held back is counted.
TEST_F(OriginFixture, BudgetsLinesByWhoCausedThem)
{
    LogOrigin anonymous = log_origin_client(nullptr, false);
    LogOrigin viewer = log_origin_client("viewer", false);
    LogOrigin admin = log_origin_client("boss", true);
    log_origin_swap(anonymous);
    for (int i = 0; i < LOG_ORIGIN_WINDOW_LINES + 50; i++)
        log_printf("anonymous %d\n", i);
    log_origin_swap(admin);
    for (int i = 0; i < 100; i++)
        log_printf("admin %d\n", i);
    log_origin_swap(viewer);
    log_printf("viewer 0\n");
    log_origin_swap(LogOrigin{});
    log_printf("system 0\n");
    std::string s = ring_contents();
    EXPECT_EQ(count_of(s, "] anonymous "), (size_t)LOG_ORIGIN_WINDOW_LINES) << s;
    EXPECT_EQ(count_of(s, "] admin "), 100u);
    EXPECT_NE(s.find("viewer 0"), std::string::npos);
    EXPECT_NE(s.find("system 0"), std::string::npos);

    // Window by window a flood gets the rest of its burst, then a line in each LOG_ORIGIN_LINE_MS.
    log_origin_swap(anonymous);
    for (int second = 1; second < 200; second++) {
        fake_now_ms += 1000;
        for (int i = 0; i < 20; i++)
            log_printf("anonymous at %d\n", second);
    }
    log_origin_swap(LogOrigin{});
    s = ring_contents();
    size_t written = count_of(s, "] anonymous");
    EXPECT_GE(written, (size_t)LOG_ORIGIN_BURST + 199 * 1000 / LOG_ORIGIN_LINE_MS - 1);
    EXPECT_LE(written, (size_t)LOG_ORIGIN_BURST + 199 * 1000 / LOG_ORIGIN_LINE_MS + 1);

    // The count comes once the client has been held back a while, and at most once a minute.
    log_origins_report();
    s = ring_contents();
    size_t held = LOG_ORIGIN_WINDOW_LINES + 50 + 199 * 20 - written;
    EXPECT_NE(s.find("clients without credentials: " + std::to_string(held) + " lines held back\n"), std::string::npos) << s;
    log_origin_swap(anonymous);
    for (int i = 0; i < 50; i++)
        log_printf("anonymous after the count\n");
    log_origin_swap(LogOrigin{});
    fake_now_ms += 10000;
    log_origins_report();
    EXPECT_EQ(count_of(ring_contents(), "lines held back"), 1u);
    fake_now_ms += 60000;
    log_origins_report();
    log_origins_report();
    EXPECT_EQ(count_of(ring_contents(), "lines held back"), 2u);
}

// Three clients without credentials a second, each request writing two lines, for 30 minutes,
// beside a Stream View user doing the same: the Admin's line from before stays in the ring.
TEST_F(OriginFixture, TrickleOfHalfAnHourLeavesTheRingItsOlderLines)
{
    log_origin_swap(log_origin_client("boss", true));
    log_printf("post_create_user_func: user keeper created in slot 2 with level Admin\n");
    LogOrigin anonymous = log_origin_client(nullptr, false);
    LogOrigin viewer = log_origin_client("viewer", false);
    std::string pad(120, 'p');
    for (int second = 0; second < 1800; second++) {
        fake_now_ms += 1000;
        for (int i = 0; i < 3; i++) {
            log_origin_swap(anonymous);
            log_printf("rtsp: malformed request from 127.0.0.1 %s\n", pad.c_str());
            log_printf("rtsp: connection from 127.0.0.1 closed, 1 session(s) ended %s\n", pad.c_str());
            log_origin_swap(viewer);
            log_printf("resource /missing.htm not found %s\n", pad.c_str());
        }
        log_origin_swap(LogOrigin{});
        log_origins_report();
    }
    std::string s = ring_contents();
    EXPECT_NE(s.find("user keeper created"), std::string::npos);
    EXPECT_LT(log_ring_used(), LOG_RING_SIZE / 2);
    EXPECT_GE(count_of(s, "clients without credentials: "), 25u);
    EXPECT_GE(count_of(s, "user viewer: "), 25u);
}

// Lines written while another thread serves a different client are charged to that one.
TEST_F(OriginFixture, OriginBelongsToTheThread)
{
    LogOrigin before = log_origin_swap(log_origin_client("alice", false));
    EXPECT_EQ(before.kind, LOG_ORIGIN_SYSTEM);
    std::thread other([] {
        EXPECT_EQ(log_origin().kind, LOG_ORIGIN_SYSTEM);
        for (int i = 0; i < 20; i++)
            log_printf("other thread %d\n", i);
    });
    other.join();
    for (int i = 0; i < LOG_ORIGIN_WINDOW_LINES + 10; i++)
        log_printf("alice %d\n", i);
    EXPECT_STREQ(log_origin().user, "alice");
    std::string s = ring_contents();
    EXPECT_EQ(count_of(s, "other thread"), 20u);
    EXPECT_EQ(count_of(s, "] alice"), (size_t)LOG_ORIGIN_WINDOW_LINES);
}

// More clients than the table holds: the one unused longest gives way, its count written first.
TEST_F(OriginFixture, ClientThatGivesWayHasItsCountWritten)
{
    log_origin_swap(log_origin_client("first", false));
    for (int i = 0; i < LOG_ORIGIN_WINDOW_LINES + 5; i++)
        log_printf("first %d\n", i);
    for (int u = 0; u < 20; u++) {
        fake_now_ms += 10;
        std::string name = "user" + std::to_string(u);
        log_origin_swap(log_origin_client(name.c_str(), false));
        log_printf("%s\n", name.c_str());
    }
    log_origin_swap(LogOrigin{});
    std::string s = ring_contents();
    EXPECT_NE(s.find("user first: 5 lines held back\n"), std::string::npos) << s;
    EXPECT_EQ(count_of(s, "lines held back"), 1u) << s;
    EXPECT_NE(s.find("] user19\n"), std::string::npos);
}
