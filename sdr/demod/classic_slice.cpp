// The classic slicer: 6 samples per us, three per chip, so a bit compares
// its 6 MHz samples 3 and 0.
#include "sdr/demod/classic_slice.h"

#include "sdr/adsb_check.h"
#include "sdr/demod/setup.h"
#include "sdr/demod/slice_history.h"
#include "sdr/demod/slice_input.h"
#include "sdr/log.h"

namespace {

constexpr char kModule[] = "sdr/demod/classic_slice";
constexpr int kDataOffset = 48;  // first data bit: 8 us after the first pulse
constexpr int kBitLimit = 762;   // the slicer never reads a bit past this

}  // namespace

int32_t slice_frame(Context* ctx, int32_t start, int32_t level) {
    VX_ASSERT(kModule, start >= 0 && start < kBlockPairs);
    const uint32_t rate = ctx->samp_rate;
    const int hist = static_cast<int>(ctx->history_len);
    const int L = static_cast<int>(ctx->resample_up);
    const int M = static_cast<int>(ctx->resample_down);

    // 1. Coarse start time: cur_time is the instant just after the block's
    //    last sample, buffer index hist + 4096.
    const TimeStamp t1 = samples_to_ts(static_cast<int64_t>(start) - hist - kBlockPairs, rate);
    const TimeStamp coarse = ctx->cur_time + t1;

    // 2. Candidates must come in increasing time order.
    if (!slice_in_order(ctx, coarse)) return 0;
    slice_passed(coarse);

    // 3., 4. Exact magnitudes and their 6 MHz resampling, computed only
    //    where they are read.
    SliceInput in;
    slice_input_init(&in, ctx, start, hist);
    alignas(16) int16_t fine[kSliceResampled];
    auto make = [&](int first, int count, int stride) {
        slice_resample(&in, fine, first, count, stride);
    };

    // 5. Fine timing: the template's first pulse lies six samples after its origin.
    make(0, kFineWindow, 1);
    int32_t sums[kFineShifts];
    fine_correlations(fine, sums);
    int32_t best = 0;
    int32_t off = 0;
    for (int k = -6; k <= 5; k++) {
        const int32_t corr = sums[k + 6] / kFineEntries;
        if (corr > best) {
            best = corr;
            off = k + 6;
        }
    }
    const int32_t fine_in = off * M / L;  // the fine offset in input samples

    // 6. Time of arrival of the first preamble pulse.
    const TimeStamp t2 = samples_to_ts(off, kWorkRate);
    const TimeStamp toa = ctx->cur_time + t1 + t2;
    const int64_t rel = ts_diff(t1 + t2, 0);
    VX_ASSERT(kModule, rel >= ts_diff(samples_to_ts(-(kBlockPairs + hist), rate), 0) &&
                           rel < ts_diff(samples_to_ts(1, rate), 0));

    // 7. Bits by pulse position: a 1 has its pulse in the first half-bit.
    //    The first byte gives the format, and the format how many bytes the
    //    frame check reads; the others stay zero.
    uint8_t bits[14] = {};
    auto decide = [&](int from_bit, int to_bit) {
        int to = to_bit;
        while (to > from_bit && off + kDataOffset + 6 * (to - 1) >= kBitLimit) to--;
        if (to <= from_bit) return;
        make(off + kDataOffset + 6 * from_bit, 2 * (to - from_bit), 3);
        for (int u = from_bit; u < to; u++) {
            const int first = off + kDataOffset + 6 * u;
            if (fine[first + 3] < fine[first]) bits[u / 8] |= static_cast<uint8_t>(0x80 >> (u % 8));
        }
    };
    decide(0, 8);
    decide(8, 8 * adsb_frame_bytes(bits[0] >> 3));

    // 8, 9. Statistics and the frame check.
    level_stats_update(&ctx->stats.candidate_level, level);
    const int32_t r = adsb_check(ctx, bits, toa, level);
    ctx->stats.last_candidate_toa = toa;
    if (r < 0) return fine_in;

    // 11. Accepted frames must be at least 56 us apart.
    return fine_in + slice_accepted(ctx, start, off, toa, r);
}
