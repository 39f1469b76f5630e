// The board's removable media on the PC: device nodes are files in the board directory that
// tests create and delete, mount points are board directories, and mount/umount keep a mount
// table of their own in the board directory ("mtab") so a restarted program finds its stale
// mounts there. Test hooks in the board directory: "mount-fail" holds canned failure reasons,
// one per mount attempt; "statfs-overreport" makes media mounted with "usefree" report more
// available than total blocks, as some card drivers do; "statfs-avail" holds lines of a mount
// point and a count of available blocks that its statfs reports, as a nearly full medium does.
#include "platform/platform.h"
#include "platform/platform_internal.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <vector>

namespace {

std::mutex table_mutex;

struct MountEntry {
    std::string device;
    std::string point;
    std::string options;   // as given, without "remount"
};

std::string board_file(const char *name)
{
    return std::string(platform_board_dir()) + "/" + name;
}

std::vector<MountEntry> load_table()
{
    std::vector<MountEntry> table;
    std::ifstream in(board_file("mtab"));
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        MountEntry e;
        std::string on, type, fs;
        if (words >> e.device >> on >> e.point >> type >> fs >> e.options) {
            if (e.options.size() >= 2 && e.options.front() == '(')
                e.options = e.options.substr(1, e.options.size() - 2);
            table.push_back(e);
        }
    }
    return table;
}

std::string table_text(const std::vector<MountEntry> &table)
{
    std::string text;
    for (const MountEntry &e : table)
        text += e.device + " on " + e.point + " type vfat (" + e.options + ")\n";
    return text;
}

void save_table(const std::vector<MountEntry> &table)
{
    std::string tmp = board_file("mtab.new");
    {
        std::ofstream out(tmp, std::ios::trunc);
        out << table_text(table);
    }
    rename(tmp.c_str(), board_file("mtab").c_str());
}

// The first canned failure, taken off the list.
std::string take_failure()
{
    std::string path = board_file("mount-fail");
    std::ifstream in(path);
    if (!in)
        return "";
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line))
        if (!line.empty())
            lines.push_back(line);
    in.close();
    if (lines.empty())
        return "";
    std::ofstream out(path, std::ios::trunc);
    for (size_t i = 1; i < lines.size(); i++)
        out << lines[i] << "\n";
    return lines[0];
}

std::string failure_text(const std::string &word)
{
    if (word == "busy")
        return "Device or resource busy";
    if (word == "inval")
        return "Invalid argument";
    if (word == "nomedium")
        return "No medium found";
    if (word == "nxio")
        return "No such device or address";
    return word;   // any other text is the reason itself
}

bool exists(const std::string &system_path)
{
    char real[4096];
    struct stat st;
    return stat(platform_path(system_path.c_str(), real, sizeof real), &st) == 0;
}

bool has_option(const std::string &options, const char *word)
{
    std::istringstream in(options);
    std::string o;
    while (std::getline(in, o, ','))
        if (o == word)
            return true;
    return false;
}

int mount_command(const std::vector<std::string> &words, std::string *out)
{
    std::vector<MountEntry> table = load_table();
    if (words.size() == 1) {
        *out = table_text(table);
        return 0;
    }
    std::string options, device, point;
    for (size_t i = 1; i < words.size(); i++) {
        if (words[i] == "-o" && i + 1 < words.size())
            options = words[++i];
        else if (words[i] == "2>&1")
            continue;
        else if (device.empty())
            device = words[i];
        else if (point.empty())
            point = words[i];
    }
    if (device.empty() || point.empty()) {
        *out = "mount: can't find " + device + " in /etc/fstab\n";
        return 255 << 8;
    }
    auto fail = [&](const std::string &reason) {
        *out = "mount: mounting " + device + " on " + point + " failed: " + reason + "\n";
        return 255 << 8;
    };
    bool remount = has_option(options, "remount");
    std::string kept;
    std::istringstream in(options);
    for (std::string o; std::getline(in, o, ',');)
        if (o != "remount")
            kept += (kept.empty() ? "" : ",") + o;
    std::string canned = take_failure();
    if (!canned.empty()) {
        // "inval-usefree" refuses only the option, as a card driver without it does.
        if (canned != "inval-usefree")
            return fail(failure_text(canned));
        if (has_option(options, "usefree"))
            return fail("Invalid argument");
    }
    if (!exists(device))
        return fail("No such file or directory");
    if (!exists(point))
        return fail("No such file or directory");
    for (MountEntry &e : table) {
        if (e.point != point)
            continue;
        if (!remount)
            return fail("Device or resource busy");
        e.options = kept;
        save_table(table);
        return 0;
    }
    if (remount)
        return fail("Invalid argument");
    table.push_back({device, point, kept});
    save_table(table);
    return 0;
}

int umount_command(const std::vector<std::string> &words, std::string *out)
{
    std::vector<MountEntry> table = load_table();
    std::string point = words.size() > 1 ? words[1] : "";
    for (size_t i = 0; i < table.size(); i++) {
        if (table[i].point == point || table[i].device == point) {
            table.erase(table.begin() + (long)i);
            save_table(table);
            return 0;
        }
    }
    *out = "umount: can't unmount " + point + ": Invalid argument\n";
    return 1 << 8;
}

} // namespace

bool platform_storage_command(const std::vector<std::string> &words, std::string *out, int *status)
{
    if (words.empty())
        return false;
    std::string cmd = words[0].substr(words[0].rfind('/') == std::string::npos ? 0 : words[0].rfind('/') + 1);
    std::lock_guard<std::mutex> lock(table_mutex);
    if (cmd == "mount")
        *status = mount_command(words, out);
    else if (cmd == "umount")
        *status = umount_command(words, out);
    else
        return false;
    return true;
}

std::string platform_storage_table()
{
    std::lock_guard<std::mutex> lock(table_mutex);
    return table_text(load_table());
}

int platform_statfs(const char *path, struct statfs *st)
{
    int r = statfs(path, st);
    if (r != 0)
        return r;
    {
        std::ifstream in(board_file("statfs-avail"));
        std::string point;
        unsigned long long blocks;
        while (in >> point >> blocks) {
            char real[4096];
            platform_path(point.c_str(), real, sizeof real);
            if (strncmp(path, real, strlen(real)) == 0 && path[strlen(real)] == '/') {
                st->f_bavail = std::min<unsigned long long>(blocks, st->f_blocks);
                break;
            }
        }
    }
    struct stat probe;
    if (stat(board_file("statfs-overreport").c_str(), &probe) != 0)
        return 0;
    std::lock_guard<std::mutex> lock(table_mutex);
    for (const MountEntry &e : load_table()) {
        char real[4096];
        platform_path(e.point.c_str(), real, sizeof real);
        if (has_option(e.options, "usefree") && strncmp(path, real, strlen(real)) == 0) {
            st->f_bavail = st->f_blocks + 1000;
            break;
        }
    }
    return 0;
}

int platform_storage_mount_options(const char *point, char *options, size_t size)
{
    std::lock_guard<std::mutex> lock(table_mutex);
    for (const MountEntry &e : load_table()) {
        if (e.point == point) {
            snprintf(options, size, "%s", e.options.c_str());
            return 1;
        }
    }
    return 0;
}
