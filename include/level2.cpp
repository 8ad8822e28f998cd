#include "include/level2.h"

#include <cstdio>
#include <ctime>

char* time_text_hundredths(char* buf, size_t size, TimeStamp t) {
    time_t sec = static_cast<time_t>(ts_seconds(t));
    struct tm tm_utc;
    gmtime_r(&sec, &tm_utc);
    long long hundredths = (static_cast<long long>(ts_fraction(t) >> 24) * 100) / 256;  // 0..99
    snprintf(buf, size, "%04d/%02d/%02d %02d:%02d:%02d.%02lldZ", tm_utc.tm_year + 1900,
             tm_utc.tm_mon + 1, tm_utc.tm_mday, tm_utc.tm_hour, tm_utc.tm_min, tm_utc.tm_sec,
             hundredths);
    return buf;
}
