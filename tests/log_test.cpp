#include "core/log.h"

#include <cstring>
#include <unistd.h>
#include <gtest/gtest.h>
#include <regex>
#include <string>
#include <vector>

namespace {

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
