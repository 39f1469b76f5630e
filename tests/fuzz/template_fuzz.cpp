// Page templates are data (a custom zip may replace any of them): arbitrary template text
// rendered over a small settings table whose values hold markup, with page files that include
// each other, a header that demands more than the guest has, and requires of every level.
#include "core/param_commit.h"
#include "platform/platform.h"
#include "web/httpd.h"
#include "web/pages.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace {

struct Fake {
    const char *name, *value;
    int read;
};
const Fake fakes[] = {
    {"Video[0].BitRate", "2000000", 1}, {"Video[0].StreamMode", "3", 1},  {"Flag", "1", 1},
    {"Status", "\"'><script>", 1},      {"NetworkHostname", "<h>", 5},      {"User[0].Name", "<u'>", 5},
    {"User[0].Permission", "3", 5},     {"GuestPermission", "2", 5},        {"Secret", "pw", 5},
};

const Fake *find(const char *name)
{
    for (const Fake &f : fakes)
        if (strcmp(f.name, name) == 0)
            return &f;
    return nullptr;
}

int fz_get(const char *name, char *buf, size_t size)
{
    const Fake *f = find(name);
    return f ? snprintf(buf, size, "%s", f->value) : -1;
}
const char *fz_set(const char *, const char *, size_t)
{
    return "read only";
}
int fz_read(const char *name, int level)
{
    const Fake *f = find(name);
    return f ? level >= f->read : -1;
}
int fz_write(const char *, int)
{
    return 0;
}
const char *fz_password(const char *)
{
    return nullptr;
}
int fz_level(const char *)
{
    return 2;
}
int fz_limits(const char *name, int32_t *min, int32_t *max, int32_t *step)
{
    if (strcmp(name, "Video[0].BitRate") == 0) {
        *min = 100000;
        *max = 20000000;
        *step = 100000;
    }
    return 0;
}

std::string board;

void remove_board()
{
    std::error_code ec;
    std::filesystem::remove_all(board, ec);
}

const ParamAccess fz_access = {fz_get, fz_set, fz_read, fz_write, fz_password, fz_level, nullptr,
                               nullptr, nullptr, nullptr, nullptr};

void put_file(const std::string &root, const char *name, const char *text)
{
    if (FILE *f = fopen((root + "/" + name).c_str(), "w")) {
        fputs(text, f);
        fclose(f);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    char dir[] = "/tmp/k7160-template-fuzz-XXXXXX";
    if (!mkdtemp(dir))
        abort();
    board = dir;
    atexit(remove_board);
    setenv("PLATFORM_BOARD_DIR", dir, 1);
    setenv("PLATFORM_HTML_SRC", "", 1);
    platform_init();
    std::string root = std::string(dir) + "/usr/html";
    put_file(root, "header.htm", "<require permission='Stream Config'><title>x</title><include src='nav_bar'>");
    put_file(root, "footer.htm", "<include src='footer.htm'>end");
    put_file(root, "a.htm", "<form action='streamA_controls'><include src='b.htm' title='B'>");
    put_file(root, "b.htm", "<title>t</title><input type='number' name='BitRate'><include src='a.htm'>");
    param_access_install(&fz_access);
    pages_set_limits(fz_limits);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    HttpRequest req = {};
    req.level = data[0] % 7;
    req.url = "/f.htm";
    std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
    UrlEntry row = {"f", text.c_str(), render_page, nullptr, 0};
    DynBuf b = {};
    b.req = &req;
    render_template(&b, &row);
    dynbuf_free(&b);
    return 0;
}
