#include "sdr/log_limit.h"

#include <cstdio>

#include "sdr/log.h"

namespace {

struct LineKind {
    LineChannel channel;
    const char* format;  ///< the line's format, shown in its count line
};

constexpr LineKind kKinds[kRepeatingLines] = {
#define VORLIX_LINE_KIND(name, channel, format) {channel, format},
    VORLIX_REPEATING_LINES(VORLIX_LINE_KIND)
#undef VORLIX_LINE_KIND
};

struct LineCount {
    uint32_t shown;  ///< printed in this interval, 0..kLinesPerInterval
    uint32_t held;   ///< held back in this interval (saturates)
};

constinit LineCount counts[kRepeatingLines] = {};

bool statistics_off() {
    return (debug_mask & DBG_STATISTICS) == 0;
}

}  // namespace

bool log_allowed(RepeatingLine kind) {
    if (kKinds[kind].channel == LINE_TO_STATISTICS && statistics_off()) return false;
    LineCount* c = &counts[kind];
    if (c->shown < kLinesPerInterval) {
        c->shown++;
        return true;
    }
    if (c->held != UINT32_MAX) c->held++;
    return false;
}

uint32_t log_held_back(RepeatingLine kind) {
    return counts[kind].held;
}

void log_limit_report() {
    for (int k = 0; k < kRepeatingLines; k++) {
        const uint32_t held = counts[k].held;
        counts[k] = LineCount{};
        if (held == 0) continue;
        const char* format = kKinds[k].format;
        switch (kKinds[k].channel) {
            case LINE_TO_STDERR:
                fprintf(stderr, "%s: %u more since the last report\n", format, held);
                fflush(stderr);
                break;
            case LINE_TO_WARNING:
                log_warning("%s: %u more since the last report", format, held);
                break;
            case LINE_TO_STATISTICS:
                log_debug(DBG_STATISTICS, "%s: %u more since the last report\n", format, held);
                break;
        }
    }
}

void log_limit_reset() {
    for (LineCount& c : counts) c = LineCount{};
}
