// Arbitrary configuration files through the reader: long lines, odd separators, no newline.
#include "core/param_commit.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

int fz_get(const char *, char *, size_t)
{
    return -1;
}
const char *fz_set(const char *name, const char *text, size_t length)
{
    // The reader promises a terminated name and a value of the given length.
    if (strlen(name) > 40 || length > 100 || strlen(text) != length)
        abort();
    return length % 2 ? "odd" : nullptr;
}
const ParamAccess fz_access = {fz_get, fz_set, nullptr, nullptr, nullptr, nullptr, nullptr,
                               nullptr, nullptr, nullptr, nullptr};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static char path[] = "/tmp/k7160-param-fuzz-XXXXXX";
    static int fd = mkstemp(path);
    if (fd < 0)
        return 0;
    param_access_install(&fz_access);
    if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != (ssize_t)size)
        return 0;
    param_load_file(path);
    return 0;
}
