#include "core/param_table.h"

#include <cstdarg>
#include <cstdio>

const ParamDesc param_table[] = {
    {nullptr, 0, 0, 0, 0, 0, 0, 0, 0, 0, nullptr, nullptr},
};

int param_count()
{
    return 0;
}

int param_get(const char *, char *, size_t)
{
    return -1;
}

int param_getf(char *buf, size_t size, const char *fmt, ...)
{
    char name[100];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(name, sizeof name, fmt, ap);
    va_end(ap);
    return param_get(name, buf, size);
}

const char *param_set(const char *, const char *, size_t)
{
    return "No such parameter";
}
