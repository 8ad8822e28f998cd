// The slicers' order check and the record of accepted frames.
#include "sdr/demod/slice_history.h"

#include <cinttypes>

#include "sdr/log.h"
#include "sdr/log_limit.h"

namespace {

constinit SliceHistory history = {};

}  // namespace

bool slice_in_order(Context* ctx, TimeStamp coarse) {
    const int64_t order = ts_diff(coarse, history.prev_start_time);
    if (order > 0) return true;
    ctx->stats.funnel.out_of_order++;
    if (order < 0 && log_allowed(LINE_REVERSE_TIMING)) {
        log_warning("[frame slice] reverse timing by %" PRId64 "us, %" PRId64 "ms, %" PRId64 "s",
                    static_cast<int64_t>((order + 2147) / 4295),
                    static_cast<int64_t>((order + 2147483) / 4294967),
                    static_cast<int64_t>((order + (int64_t{1} << 31)) / (int64_t{1} << 32)));
    }
    return false;
}

void slice_passed(TimeStamp coarse) {
    history.prev_start_time = coarse;
}

int32_t slice_accepted(Context* ctx, int32_t start, int32_t off, TimeStamp toa, int32_t r) {
    const int64_t dt = ts_diff(toa, history.prev_accept_toa);
    if (dt < kTs56us && log_allowed(LINE_SLICE_CLOSE)) {
        char when[256];
        time_text(when, sizeof when, toa);
        log_debug(DBG_STATISTICS,
                  "%s: is NOT minimal increasing by dt=56us >= %5.2fus (df=%d->%d) -- #%llu "
                  "last_#%llu, frame_start=%d last_s=%d, recv_t=%lld, last_t=%lld, bufoffs=%d, "
                  "last_bo=%d\n",
                  when, static_cast<double>(dt) / 4294.967296, history.prev_df, r,
                  static_cast<unsigned long long>(ctx->n_records),
                  static_cast<unsigned long long>(history.prev_record), off, history.prev_offset,
                  static_cast<long long>(ctx->cur_time),
                  static_cast<long long>(history.prev_block_time), start, history.prev_start);
    }
    history.prev_record = ctx->n_records;
    history.prev_start = start;
    history.prev_block_time = ctx->cur_time;
    history.prev_accept_toa = toa;
    history.prev_offset = off;
    history.prev_df = r;
    const int32_t duration_us = r > 7 ? 120 : 64;
    return static_cast<int32_t>(static_cast<uint64_t>(duration_us) * ctx->samp_rate / 1000000);
}

void slice_history_restart() {
    history = SliceHistory{};
}

const SliceHistory* slice_history() {
    return &history;
}
