#include "tools/adsb/beast_time.h"

#include <algorithm>
#include <cstdio>

#include "sdr/beast_raw.h"

double beast_time(BeastClock* c, uint64_t ticks, double wall) {
    if (!c->started) {
        c->started = true;
        c->time = wall;
    } else {
        const uint64_t step = (ticks - c->last) & kBeastClockMask;
        if (step > (kBeastClockMask >> 1)) {  // back, modulo 2^48
            c->time = std::max(c->time, wall);
        } else {
            c->time += static_cast<double>(step) / kBeastClockHz;
        }
    }
    c->last = ticks;
    return c->time;
}

std::string counter_text(uint64_t ticks) {
    char buf[32];
    snprintf(buf, sizeof buf, "%8llu.%07llu",
             static_cast<unsigned long long>(ticks / kBeastClockHz),
             static_cast<unsigned long long>(ticks % kBeastClockHz * 10 / 12));
    return buf;
}
