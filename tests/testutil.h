// Every test process gets a board directory of its own, removed at exit.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

const std::string &test_board_dir();
// Absolute path inside the test's board directory.
std::string test_board_path(const std::string &rel);

// Runs a shell command and returns what it printed on standard output; *status gets pclose's
// result (-1 when it could not start).
std::string test_run(const std::string &cmd, int *status = nullptr);
std::vector<uint8_t> test_read_file(const std::string &path);
// Decodes a file with ffmpeg and returns one hash per decoded picture. Any complaint from
// ffmpeg, or a failing exit, fails the calling test.
std::vector<std::string> ffmpeg_frame_hashes(const std::string &path, const char *format);
// "num_units_in_tick/time_scale" of the first SPS in an H.264 file, as ffmpeg's header trace
// reads it ("-" for a field that is absent).
std::string h264_sps_timing(const std::string &path, const char *format);
// ffprobe's r_frame_rate of the first video stream, e.g. "30000/1001".
std::string ffprobe_frame_rate(const std::string &path, const char *format);

// The whole program log ring as it stands.
std::string test_log_text();
// How often `what` occurs in `text`.
size_t test_count(const std::string &text, const std::string &what);

// H.264 access units of an Annex B stream with one slice per picture: each ends where the unit
// after its slice begins.
std::vector<std::vector<uint8_t>> test_split_access_units(const std::vector<uint8_t> &d);
