// Any two names from a medium: the link text carries only URL-safe bytes and decodes back to the
// name, and the natural order is a consistent order (antisymmetric, equal only for equal digits).
#include "web/files.h"

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const uint8_t *split = static_cast<const uint8_t *>(memchr(data, 0, size));
    std::string a(reinterpret_cast<const char *>(data), split ? (size_t)(split - data) : size);
    std::string b = split ? std::string(reinterpret_cast<const char *>(split + 1), size - (size_t)(split + 1 - data))
                          : std::string();
    b = b.substr(0, strlen(b.c_str()));

    char link[4096];
    size_t n = files_url_encode(a.c_str(), link, sizeof link);
    if (n != strlen(link))
        abort();
    std::string decoded;
    for (size_t i = 0; i < n; i++) {
        unsigned char c = (unsigned char)link[i];
        if (c == '%') {
            if (i + 2 >= n)
                abort();
            decoded += (char)strtol(std::string(link + i + 1, 2).c_str(), nullptr, 16);
            i += 2;
        } else if (isalnum(c) || strchr("-_.~/", c)) {
            decoded += (char)c;
        } else {
            abort();
        }
    }
    if (a.size() * 3 < sizeof link && decoded != a)
        abort();

    int ab = files_natural_compare(a.c_str(), b.c_str()), ba = files_natural_compare(b.c_str(), a.c_str());
    if (ab != -ba || (a == b && ab != 0))
        abort();
    return 0;
}
