#include "tools/adsb/text.h"

#include <cstdarg>
#include <cstdio>

std::string text_printf(const char* fmt, ...) {
    char buf[256];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return buf;
}
