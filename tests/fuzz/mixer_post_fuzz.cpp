// Posted mixer fields from arbitrary bytes: the name up to the first '=', the value after it
// (not NUL-terminated, as the form parser hands it over), then the page into a buffer whose size
// the first byte chooses.
#include "audio/mixer.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    size_t pageSize = data[0];
    const char *text = reinterpret_cast<const char *>(data + 1);
    size_t n = size - 1;
    const char *eq = static_cast<const char *>(memchr(text, '=', n));
    std::string name(text, eq ? (size_t)(eq - text) : n);
    // an exact-size copy of the value, so any read past it shows under ASan
    std::vector<char> value(eq ? text + n - (eq + 1) : 0);
    if (!value.empty())
        memcpy(value.data(), eq + 1, value.size());
    mixer_setting_apply(name.c_str(), value.data(), value.size());
    std::vector<char> page(pageSize ? pageSize : 1);
    size_t len = mixer_page_render(page.data(), pageSize);
    if (pageSize && (len >= pageSize || page[len] != 0))
        __builtin_trap();
    return 0;
}
