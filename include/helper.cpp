// The time base's functions that are not inline: the clock and the
// conversion of sample counts, and the report of a violated precondition.
#include "include/helper.h"

#include "sdr/log.h"

void time_base_check_failed(int line) {
    log_fatal("Assertion failed in %s line %d", kHelperModule, line);
}

TimeStamp samples_to_ts(int64_t d, uint32_t rate) {
    int64_t sec = d / rate;
    int64_t ns = (d % rate) * static_cast<int64_t>(kNsPerSecond) / rate;
    while (ns < 0) {
        ns += kNsPerSecond;
        sec -= 1;
    }
    return timespec_to_ts(sec, ns);
}

TimeStamp timestamp_now() {
    struct timespec now;
    int rc = clock_gettime(CLOCK_REALTIME, &now);
    VX_ASSERT(kHelperModule, rc == 0);
    VX_ASSERT(kHelperModule, now.tv_sec >= 0);
    return timespec_to_ts(now.tv_sec, now.tv_nsec);
}
