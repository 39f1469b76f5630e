#include "testutil.h"

#include <cstdlib>
#include <gtest/gtest.h>
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
