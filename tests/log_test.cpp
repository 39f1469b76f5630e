#include "core/log.h"

#include <algorithm>
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

// A kind of line anyone can cause: a burst is written, the rest counted on one line, before the
// kind's next line or once it has gone quiet.
TEST(LogGate, BoundsAKindAndCountsWhatItHeldBack)
{
    static LogGate gate = {"test floods", 3, 60000, {}, nullptr, false};
    log_ring_reset();
    for (int i = 0; i < 50; i++)
        log_gated(&gate, "flood %d\n", i);
    log_gated(nullptr, "an admin's line\n");
    std::string s = ring_contents();
    EXPECT_NE(s.find("flood 2\n"), std::string::npos) << s;
    EXPECT_EQ(s.find("flood 3\n"), std::string::npos) << s;
    EXPECT_NE(s.find("an admin's line"), std::string::npos);
    log_gates_report();   // the period is not over
    EXPECT_EQ(ring_contents(), s);

    gate.rate.start_ms -= 60000;
    log_gated(&gate, "flood %d\n", 50);
    s = ring_contents();
    EXPECT_NE(s.find("test floods: 47 more held back\n"), std::string::npos) << s;
    EXPECT_LT(s.find("47 more held back"), s.find("flood 50")) << s;

    for (int i = 51; i < 60; i++)
        log_gated(&gate, "flood %d\n", i);
    gate.rate.start_ms -= 60000;
    log_ring_reset();
    log_gates_report();
    log_gates_report();
    s = ring_contents();
    EXPECT_EQ(s.find("test floods: 7 more held back\n"), 15u) << s;   // after the time stamp
    EXPECT_EQ(std::count(s.begin(), s.end(), '\n'), 1) << s;
}

// Everything a thread logs for one event goes, or is held back, as a whole.
TEST(LogGate, HoldsAThreadsEventWhole)
{
    static LogGate gate = {"test events", 2, 60000, {}, nullptr, false};
    static LogGate refusals = {"test refusals", 10, 60000, {}, nullptr, false};
    log_ring_reset();
    for (int i = 0; i < 20; i++) {   // silent events: answered without a line
        log_gate_begin(&gate);
        log_gate_end();
    }
    for (int i = 0; i < 5; i++) {
        log_gate_begin(&gate);
        log_gated(&refusals, "refusal %d, counted by its own gate\n", i);
        log_printf("event %d begins\n", i);
        log_gated(nullptr, "event %d ends\n", i);
        log_gate_end();
    }
    log_printf("after the events\n");
    std::string s = ring_contents();
    EXPECT_NE(s.find("event 1 ends"), std::string::npos) << s;
    EXPECT_EQ(s.find("event 2"), std::string::npos) << s;
    EXPECT_NE(s.find("after the events"), std::string::npos) << s;
    EXPECT_NE(s.find("refusal 4, counted"), std::string::npos) << s;
    gate.rate.start_ms -= 60000;
    log_gates_report();
    EXPECT_NE(ring_contents().find("test events: 3 more held back\n"), std::string::npos) << ring_contents();

    // What an event held back made ends as quietly, later and outside the event.
    for (int i = 0; i < 2; i++) {   // the new period's budget
        log_gate_begin(&gate);
        log_printf("made\n");
        log_gate_end();
    }
    log_gate_begin(&gate);
    log_printf("made in a held back event\n");
    bool made_held = log_held();
    log_gate_end();
    EXPECT_TRUE(made_held);
    EXPECT_FALSE(log_held());
    bool before = log_hold(made_held);
    log_printf("its teardown\n");
    log_hold(before);
    log_printf("the next line\n");
    s = ring_contents();
    EXPECT_NE(s.find("made\n"), std::string::npos) << s;
    EXPECT_EQ(s.find("held back event"), std::string::npos) << s;
    EXPECT_EQ(s.find("its teardown"), std::string::npos) << s;
    EXPECT_NE(s.find("the next line"), std::string::npos) << s;
}
