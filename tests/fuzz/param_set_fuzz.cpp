// Any text into any settable row: refused or stored, never a crash or a field overrun.
#include "core/param.h"
#include "core/param_table.h"

#include <cstdlib>
#include <cstring>
#include <strings.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool ready = [] {
        setenv("PLATFORM_BOARD_DIR", "/tmp/k7160-fuzz-param", 0);
        memcpy(&param_block, &param_defaults, sizeof param_block);
        return true;
    }();
    (void)ready;
    if (size < 1)
        return 0;
    int index = data[0] % param_count();
    const char *name = param_name(index);
    // Rows that act on the process or raw hardware rather than on settings.
    static const char *const skip[] = {"Reboot", "DebugData", "DebugAddr", "EnableTelnet", "Clock", "SerialNumber"};
    for (const char *s : skip)
        if (strcasecmp(name, s) == 0)
            return 0;
    const char *text = reinterpret_cast<const char *>(data + 1);
    param_set(name, text, size - 1);
    char buf[256];
    param_format(index, buf, sizeof buf);
    param_get(name, buf, sizeof buf);
    return 0;
}
