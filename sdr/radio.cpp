#include "sdr/radio.h"

#include <ctime>

namespace {
constexpr char kModule[] = "sdr/radio";
}

TimeStamp timestamp_now() {
    struct timespec now;
    int rc = clock_gettime(CLOCK_REALTIME, &now);
    VX_ASSERT(kModule, rc == 0);
    VX_ASSERT(kModule, now.tv_sec >= 0);
    return timespec_to_ts(now.tv_sec, now.tv_nsec);
}

// PLACEHOLDER, replaced by the demodulator: only the history length, which
// the buffer layout needs, is computed; no tables are built.
void radio_init(Context* ctx) {
    ctx->history_len = static_cast<uint32_t>(static_cast<uint64_t>(ctx->samp_rate) * 128 / 1000000);
}

// PLACEHOLDER, replaced by the demodulator: demodulates nothing.
int32_t process_block(Context*) { return 0; }

// PLACEHOLDER, replaced by the demodulator: demodulates nothing.
int32_t slice_frame(Context*, int32_t, int32_t) { return 0; }
