// Every test process gets a board directory of its own, removed at exit.
#pragma once
#include <string>

const std::string &test_board_dir();
// Absolute path inside the test's board directory.
std::string test_board_path(const std::string &rel);
