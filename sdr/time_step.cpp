// Following the capture's time from block to block; a step back starts a
// new time base in the demodulator and on the link.
#include "sdr/time_step.h"

#include <cinttypes>

#include "include/helper.h"
#include "sdr/aircraft.h"
#include "sdr/demod/slice_history.h"
#include "sdr/log.h"
#include "sdr/log_limit.h"
#include "sdr/remote.h"

namespace {

/// |step| as whole seconds and milliseconds (a step may be years: no
/// product of the whole value).
void split_step(int64_t step, int64_t* seconds, int* ms) {
    const uint64_t size = step < 0 ? 0 - static_cast<uint64_t>(step) : static_cast<uint64_t>(step);
    *seconds = static_cast<int64_t>(size >> 32);
    *ms = static_cast<int>(((size & 0xFFFFFFFFU) * 1000U) >> 32);  // 0..999
}

void warn_step(RepeatingLine kind, int64_t step, TimeStamp from, TimeStamp to) {
    if (!log_allowed(kind)) return;
    int64_t seconds = 0;
    int ms = 0;
    split_step(step, &seconds, &ms);
    char before[80];
    char after[80];
    time_text(before, sizeof before, from);
    time_text(after, sizeof after, to);
    if (kind == LINE_TIME_BACK) {
        log_warning("capture time steps back by %" PRId64
                    ".%03d s (%s to %s): the time base starts again",
                    seconds, ms, before, after);
    } else {
        log_warning("capture time steps forward by %" PRId64 ".%03d s (%s to %s)", seconds, ms,
                    before, after);
    }
}

}  // namespace

void time_step_forget(TimeSteps* s) {
    s->known = 0;
}

TimeStepKind time_step_follow(Context* ctx, TimeSteps* s, bool within) {
    const TimeStamp t = ctx->cur_time;
    const TimeStamp from = s->last;
    const bool known = s->known != 0;
    s->last = t;
    s->known = 1;
    if (!known) return TIME_STEADY;
    const int64_t step = ts_diff(t, from);
    if (step < -kTimeStepLimit) {
        warn_step(LINE_TIME_BACK, step, from, t);
        slice_history_restart();
        remote_restart(ctx);
        aircraft_time_restart(&ctx->aircraft, t);
        return TIME_STEP_BACK;
    }
    if (step > kTimeStepLimit) {
        if (within) warn_step(LINE_TIME_FORWARD, step, from, t);
        return TIME_STEP_FORWARD;
    }
    return TIME_STEADY;
}
