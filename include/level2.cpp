#include "include/level2.h"

#include <cstdio>
#include <cstring>

char* time_text_hundredths(char* buf, size_t size, TimeStamp t) {
    int hundredths = static_cast<int>((ts_fraction(t) >> 24) * 100 / 256);  // 0..99
    // The whole-second text with its closing "Z" replaced by ".hhZ".
    size_t n = strlen(time_text(buf, size, t));
    if (n > 0) snprintf(buf + n - 1, size - (n - 1), ".%02dZ", hundredths);
    return buf;
}
