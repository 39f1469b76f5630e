#include "testutil.h"
#include "streams/annexb.h"

#include "core/log.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <mutex>
#include <string>

namespace {

std::string board;

class BoardEnvironment : public ::testing::Environment {
public:
    void SetUp() override { test_board_dir(); }
    void TearDown() override
    {
        if (!board.empty() && getenv("K7160_KEEP_BOARD") == nullptr) {
            std::string cmd = "rm -rf '" + board + "'";
            if (system(cmd.c_str()) != 0) {
                // leaving a temporary folder behind is harmless
            }
        }
    }
};

const ::testing::Environment *const board_env = ::testing::AddGlobalTestEnvironment(new BoardEnvironment);

} // namespace

const std::string &test_board_dir()
{
    if (board.empty()) {
        char tmpl[] = "/tmp/k7160-test-XXXXXX";
        char *dir = mkdtemp(tmpl);
        if (!dir)
            abort();
        board = std::string(dir) + "/board";
        setenv("PLATFORM_BOARD_DIR", board.c_str(), 1);
    }
    return board;
}

std::string test_board_path(const std::string &rel)
{
    return test_board_dir() + (rel.empty() || rel[0] == '/' ? "" : "/") + rel;
}

std::string test_run(const std::string &cmd, int *status)
{
    std::string out;
    FILE *p = popen(cmd.c_str(), "r");
    if (!p) {
        if (status)
            *status = -1;
        return out;
    }
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    int st = pclose(p);
    if (status)
        *status = st;
    return out;
}

std::vector<uint8_t> test_read_file(const std::string &path)
{
    std::vector<uint8_t> d;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        return d;
    uint8_t buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        d.insert(d.end(), buf, buf + n);
    fclose(f);
    return d;
}

std::vector<std::string> ffmpeg_frame_hashes(const std::string &path, const char *format)
{
    int status;
    std::string out = test_run(std::string("ffmpeg -nostdin -v error -xerror -f ") + format + " -i " + path +
                                   " -fps_mode passthrough -f framemd5 - 2>&1",
                               &status);
    EXPECT_EQ(status, 0) << out;
    std::vector<std::string> hashes;
    size_t start = 0;
    while (start < out.size()) {
        size_t end = out.find('\n', start);
        if (end == std::string::npos)
            end = out.size();
        std::string line = out.substr(start, end - start);
        start = end + 1;
        if (line.empty() || line[0] == '#')
            continue;
        // "stream, dts, pts, duration, size, hash"; anything else is ffmpeg complaining
        if (std::count(line.begin(), line.end(), ',') != 5) {
            ADD_FAILURE() << "ffmpeg: " << line;
            continue;
        }
        hashes.push_back(line.substr(line.rfind(',') + 1));
    }
    return hashes;
}

std::string h264_sps_timing(const std::string &path, const char *format)
{
    std::string out = test_run(std::string("ffmpeg -nostdin -v trace -f ") + format + " -i " + path +
                               " -c copy -bsf:v trace_headers -frames:v 1 -f null - 2>&1");
    auto value = [&](const char *name) -> std::string {
        size_t p = out.find(std::string(" ") + name + " ");
        if (p == std::string::npos)
            return "-";
        size_t eq = out.find("= ", p);
        size_t nl = out.find('\n', eq);
        return eq == std::string::npos ? "-" : out.substr(eq + 2, nl - eq - 2);
    };
    return value("num_units_in_tick") + "/" + value("time_scale");
}

std::string ffprobe_frame_rate(const std::string &path, const char *format)
{
    int status;
    std::string out = test_run(std::string("ffprobe -v error -f ") + format +
                                   " -select_streams v:0 -show_entries stream=r_frame_rate -of csv=p=0 " + path,
                               &status);
    EXPECT_EQ(status, 0) << out;
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r'))
        out.pop_back();
    return out;
}

std::string test_log_text()
{
    // Tests poll the log in tight loops: no fresh half-megabyte buffer per call.
    static std::mutex lock;
    static char buf[LOG_RING_SIZE];
    std::lock_guard<std::mutex> hold(lock);
    uint32_t n = log_ring_read(log_ring_tail(), buf, sizeof buf);
    return std::string(buf, n);
}

size_t test_count(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

std::vector<std::vector<uint8_t>> test_split_access_units(const std::vector<uint8_t> &d)
{
    std::vector<std::vector<uint8_t>> units;
    size_t start = 0;
    bool have_slice = false;
    for (size_t i = annexb_find_start_code(d.data(), d.size(), 0); i + 3 < d.size();
         i = annexb_find_start_code(d.data(), d.size(), i + 3)) {
        size_t code = annexb_code_begin(d.data(), 0, i);
        int type = d[i + 3] & 0x1F;
        if (have_slice && code > start) {
            units.emplace_back(d.begin() + start, d.begin() + code);
            start = code;
            have_slice = false;
        }
        if (type == 1 || type == 5)
            have_slice = true;
    }
    units.emplace_back(d.begin() + start, d.end());
    return units;
}
