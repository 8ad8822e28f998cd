// The block scan: magnitudes, the trigger level, the funnel of tests per
// trigger, the carry-over of the history.
#include "sdr/demod/scan.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "sdr/demod/centre.h"
#include "sdr/demod/classic_slice.h"
#include "sdr/demod/scan_kernels.h"
#include "sdr/demod/setup.h"
#include "sdr/demod/soft_slice.h"
#include "sdr/log.h"
#include "sdr/signal_proc.h"

namespace {

constexpr char kModule[] = "sdr/demod/scan";

/// The specified scan.
constexpr ScanPolicy kClassic = {
    .slicer = slice_frame,
    .level = SCAN_LEVEL_MEAN,
    .threshold_num = 1,
    .threshold_den = 2,
    .second_pulse = false,
    .short_shifts = false,
    .score_allowance = 0,
    .skip_from_start = false,
    .track_centre = false,
};

/// The default mode's slicer looks further around a candidate and lets the
/// parity decide: the scan triggers at 7/16 of the level instead of 1/2
/// and asks for a second pulse instead; its coarse shifts stop short of
/// 3.5 us, where the preamble's last two pulses meet the template's first
/// two (the slicer searches from 1.5 us before the start on); the score may
/// be 20 higher; the slicer decides how far to pass over a rejected
/// candidate, counted from its start.
constexpr ScanPolicy kDefault = {
    .slicer = slice_frame_soft,
    .level = SCAN_LEVEL_NOISE,
    .threshold_num = 7,
    .threshold_den = 16,
    .second_pulse = true,
    .short_shifts = true,
    .score_allowance = 20,
    .skip_from_start = true,
    .track_centre = true,
};

/// The lengths of one rate and the two the scan divides by at every trigger.
struct RateLengths {
    uint32_t rate;
    DemodLengths len;
    FixedDivisor by_len8;    ///< the preamble level's divisor
    FixedDivisor by_window;  ///< the data level's: len64 - len12
    int32_t shift_2_5us;     ///< 2.5 us in samples, rounded
};
constinit RateLengths lengths = {};

// The funnel's steps below are forced inline into scan_block's loop, so
// that the loop costs what it would as one function.

/// The lengths of the current rate; recomputed only when the rate changes.
const RateLengths& lengths_of(uint32_t samp_rate) {
    if (lengths.rate != samp_rate) {
        lengths.len = demod_lengths(samp_rate);
        lengths.by_len8 = fixed_divisor(lengths.len.len8);
        lengths.by_window = fixed_divisor(lengths.len.len64 - lengths.len.len12);
        lengths.shift_2_5us = static_cast<int32_t>((5ULL * samp_rate / 1000000 + 1) / 2);
        lengths.rate = samp_rate;
    }
    return lengths;
}

/// The level class of a trigger: how many octaves `level` lies above half
/// the trigger level, offset by 3; negative classes count as 0.
[[gnu::always_inline]] inline int level_bin(int32_t trigger_level, int32_t level) {
    int b = std::countl_zero(2U * static_cast<uint32_t>(trigger_level) + 1U) -
            std::countl_zero(2U * static_cast<uint32_t>(level) + 1U) + 3;
    if (b < 0) b = 0;
    VX_ASSERT(kModule, b <= 11);
    return b;
}

/// The block's trigger level: one step towards the policy's target, or the
/// target itself at the first block of an attempt when the policy settles.
int32_t follow_level(Context* ctx, const ScanPolicy& pol, const uint8_t* block_mag,
                     int32_t total) {
    int32_t target = (6 * total + 2048) / 4096;  // six times the mean magnitude
    bool settle = false;
    if (pol.level == SCAN_LEVEL_NOISE) {
        // The noise moves slowly: estimated every fourth block; the
        // attempt's first block sets the level at once instead of climbing
        // from 4 one step per block (deaf after every reconnection).
        constexpr int32_t kNoiseEvery = 4;
        settle = ctx->noise_blocks == 0;
        if (ctx->noise_blocks % kNoiseEvery == 0) {
            ctx->noise_target = scan_noise_target(block_mag, total);
        }
        target = ctx->noise_target;
        ctx->noise_blocks = ctx->noise_blocks % kNoiseEvery + 1;
    }
    if (settle) {
        ctx->trigger_level = target;
    } else if (target < ctx->trigger_level) {
        ctx->trigger_level--;
    } else if (target > ctx->trigger_level) {
        ctx->trigger_level++;
    }
    return ctx->trigger_level;
}

/// One block's scan: the policy, the lengths, and the running data window.
struct Scan {
    Context* ctx;
    const ScanPolicy* pol;
    const RateLengths* rl;
    const uint8_t* mag;
    int32_t tl;         ///< the block's trigger level
    int32_t threshold;  ///< the trigger threshold
    int32_t win_len;    ///< len64 - len12
    int32_t offset;     ///< what the carried window_sum adds to the window's definition
    int32_t window;     ///< the window at wpos
    int wpos;
    int k_last;         ///< the last coarse shift
    CoarseTemplate coarse;
    TriggerSearch trigger;
};

/// What the tests learn of one trigger at position p.
struct Trigger {
    int p;
    int32_t pre;       ///< preamble level: the mean over 8 us from p
    int32_t data;      ///< data level: the mean over 12..64 us after p
    int b2;            ///< the data level's class
    int32_t best;      ///< the best coarse correlation
    int32_t best_off;  ///< the first preamble pulse at p + best_off
};

/// The data window at `at`: the sum of mag[at+len12+1 .. at+len64] plus the
/// carried offset, by steps from the last position it was known at or afresh.
[[gnu::always_inline]] inline int32_t window_at(Scan* s, int at) {
    const DemodLengths& len = s->rl->len;
    // A step costs about as much as 16 magnitudes of a fresh sum.
    if (4 * (at - s->wpos) < s->win_len / 4) {
        for (int q = s->wpos; q < at; q++)
            s->window += s->mag[q + 1 + len.len64] - s->mag[q + 1 + len.len12];
    } else {
        s->window = s->offset + sum_range(s->mag, at + len.len12 + 1, s->win_len);
    }
    s->wpos = at;
    return s->window;
}

/// Passes over the pending skip; false when it reaches past the block (the
/// rest carries into the next one).
[[gnu::always_inline]] inline bool pass_skip(Context* ctx, int* p) {
    if (*p + ctx->skip < kBlockPairs) {
        *p += ctx->skip;
        ctx->skip = 0;
    } else {
        ctx->skip -= kBlockPairs - *p;
        *p = kBlockPairs;
    }
    VX_ASSERT(kModule, ctx->skip >= 0);
    return ctx->skip == 0;
}

/// The second-pulse test: a preamble has another pulse within 5 us of the
/// one that triggered (a lower threshold lets noise through otherwise).
[[gnu::always_inline]] inline bool second_pulse_passes(const Scan& s, int p) {
    const int end = p + 3 + s.rl->len.len5;
    return s.threshold <= 0 || trigger_next(s.trigger, p + 4, end) != end;
}

/// The preamble level over 8 us, counted by its class.
[[gnu::always_inline]] inline int32_t preamble_level(const Scan& s, int p) {
    const int32_t pre = divide(sum_range(s.mag, p, s.rl->len.len8), s.rl->by_len8);
    s.ctx->stats.peak_bins[level_bin(s.tl, pre)]++;
    return pre;
}

/// The data-level test: the mean over 12..64 us reaches half the threshold.
[[gnu::always_inline]] inline bool data_level_passes(Scan* s, Trigger* t) {
    t->data = divide(window_at(s, t->p), s->rl->by_window);
    return 2 * t->data >= s->threshold;
}

/// The ratio test: the preamble is not too strong for the data after it.
[[gnu::always_inline]] inline bool ratio_passes(const Scan& s, const Trigger& t) {
    return (25 - s.ctx->sensitvity[0]) * t.pre < 22 * t.data;
}

/// The flatness test: five segments of the data, each its mean in steps of
/// 5 % of the data level less 100 %, add up to at most 20 steps.
[[gnu::always_inline]] inline bool flatness_passes(const Scan& s, const Trigger& t) {
    VX_ASSERT(kModule, t.data > 0);
    const int32_t seg = s.rl->len.seg;
    int32_t flat = 0;
    for (int sgm = 1; sgm <= 5; sgm++) {
        const int32_t seg_sum = sum_range(s.mag, t.p + sgm * seg, seg);
        VX_ASSERT(kModule, seg_sum >= 0);
        const int32_t dev = (20 * seg_sum) / (t.data * seg) - 20;
        flat += dev < 0 ? -dev : dev;
    }
    return flat <= 3 * s.ctx->sensitvity[1] + 20;
}

/// The correlation test: the template's best shift (the earliest of equal
/// maxima; none positive leaves the offset 0), then the score of ratio and
/// correlation.
[[gnu::always_inline]] inline bool correlation_passes(const Scan& s, Trigger* t) {
    const DemodLengths& len = s.rl->len;
    const int k_first = -(len.len1 + 1);
    int32_t sums[2 * kCoarseShift + 1];
    coarse_sums(s.mag + t->p, s.coarse, k_first, s.k_last, sums);
    t->best = 0;
    t->best_off = 0;
    for (int k = k_first; k <= s.k_last; k++) {
        const int32_t corr = sums[k - k_first] / len.len10;
        if (corr > t->best) {
            t->best = corr;
            t->best_off = k + len.len1;
        }
    }
    return 2 * ((50 * t->pre) / t->data - 27) - 3 * (t->best / t->data - 29) <
           3 * s.ctx->sensitvity[2] + 50 + s.pol->score_allowance;
}

/// Hands the candidate to the slicer from its first preamble pulse and sets
/// the skip after it; returns the slicer's result.
[[gnu::always_inline]] inline int32_t slice_candidate(Scan* s, const Trigger& t) {
    Context* const ctx = s->ctx;
    const int32_t start = std::clamp(t.p + t.best_off, 0, kBlockPairs - 1);
    ctx->stats.funnel.sliced++;
    ctx->window_sum = s->window;
    const int32_t r = s->pol->slicer(ctx, start, t.data);
    ctx->skip = s->pol->skip_from_start ? std::max(1, start - t.p + r)
                                        : std::max(r, s->rl->len.len5);
    return r;
}

/// A trigger the funnel lets go: counted by the test that rejected it, and
/// `skip` samples passed over.
[[gnu::always_inline]] inline void reject(Context* ctx, uint32_t* count, int32_t skip) {
    (*count)++;
    ctx->skip = skip;
}

/// The start of a block: the magnitudes of the new block behind the
/// history, the trigger level, the data window and the trigger search.
/// Returns the largest new magnitude that enters the window in the block.
uint8_t scan_begin(Scan* s, Context* ctx, const ScanPolicy* policy) {
    VX_ASSERT(kModule, ctx->block != nullptr && reinterpret_cast<uintptr_t>(ctx->block) % 2 == 0);
    const RateLengths& rl = lengths_of(ctx->samp_rate);
    const DemodLengths& len = rl.len;
    const int hist = static_cast<int>(ctx->history_len);
    uint8_t* const mag = ctx->mag;

    // The block's peak takes in every magnitude that enters the window
    // while p walks 0..4096: mag[len64+1 .. len64+4096], that is the
    // history from len64 + 1 (scan_end) and the new magnitudes up to
    // len64 + 4096 - hist.
    const int peak_new = len.len64 + 1 + kBlockPairs - hist;
    uint8_t peak_fused = 0;
    const Centre centre =
        policy->track_centre ? centre_track(&ctx->centre, ctx->block) : kNominalCentre;
    centre_use(&ctx->centre, centre);
    const int32_t total =
        scan_kernels().magnitudes(ctx->block, mag + hist, peak_new, &peak_fused, centre);
    const int32_t tl = follow_level(ctx, *policy, mag + hist, total);
    level_stats_update(&ctx->stats.noise_level, tl);

    // The window at p is the sum of mag[p+len12+1 .. p+len64] plus whatever
    // offset the carried window_sum had at p = 0 (none, unless the caller
    // set it otherwise).
    s->ctx = ctx;
    s->pol = policy;
    s->rl = &rl;
    s->mag = mag;
    s->tl = tl;
    s->threshold = tl * policy->threshold_num / policy->threshold_den;
    s->win_len = len.len64 - len.len12;
    s->offset = ctx->window_sum - sum_range(mag, len.len12 + 1, s->win_len);
    s->window = ctx->window_sum;
    s->wpos = 0;
    s->k_last =
        policy->short_shifts ? std::min(len.len8 / 2 - 1, rl.shift_2_5us) : len.len8 / 2 - 1;
    s->coarse = {demod_tables().coarse_template, len.len10, demod_tables().coarse_window};
    trigger_search_init(&s->trigger, mag, s->threshold);
    return peak_fused;
}

/// The end of a block: the window and the peak carried on, the last
/// history_len samples moved to the head of the buffers.
void scan_end(Scan* s, uint8_t peak_fused) {
    Context* const ctx = s->ctx;
    const DemodLengths& len = s->rl->len;
    const int hist = static_cast<int>(ctx->history_len);
    uint8_t* const mag = ctx->mag;
    ctx->window_sum = window_at(s, kBlockPairs);
    ctx->peak_mag = std::max<int32_t>(
        ctx->peak_mag, std::max(peak_fused, max_range(mag, len.len64 + 1, hist - len.len64 - 1)));
    memmove(mag, mag + kBlockPairs, static_cast<size_t>(hist) * sizeof(mag[0]));
    memmove(ctx->samples, ctx->block + kBlockBytes - 2 * hist, static_cast<size_t>(2 * hist));
}

}  // namespace

const ScanPolicy* scan_policy(bool classic) {
    return classic ? &kClassic : &kDefault;
}

int32_t scan_block(Context* ctx, const ScanPolicy* policy) {
    Scan s;
    const uint8_t peak_fused = scan_begin(&s, ctx, policy);
    const DemodLengths& len = s.rl->len;
    DecoderStats* const st = &ctx->stats;
    FunnelStats* const f = &st->funnel;
    int32_t result = 0;
    int p = 0;
    while (pass_skip(ctx, &p)) {
        // The next position whose mag[p+3] reaches the threshold.
        p = trigger_next(s.trigger, p + 3, kBlockPairs + 3) - 3;
        VX_ASSERT(kModule, p <= kBlockPairs);
        if (p == kBlockPairs) break;
        f->triggers++;
        if (policy->second_pulse && !second_pulse_passes(s, p)) {
            reject(ctx, &f->second_pulse, len.len5);  // the next trigger lies beyond
            continue;
        }
        Trigger t{};
        t.p = p;
        t.pre = preamble_level(s, p);
        if (!data_level_passes(&s, &t)) {
            reject(ctx, &f->data_level, len.long_skip);
            continue;
        }
        t.b2 = level_bin(s.tl, t.data);
        if (!ratio_passes(s, t)) {
            reject(ctx, &f->ratio, len.len5);
            continue;
        }
        st->rms_bins[t.b2]++;
        if (!flatness_passes(s, t)) {
            reject(ctx, &f->flatness, len.len5);
            continue;
        }
        if (!correlation_passes(s, &t)) {
            reject(ctx, &f->score, len.len5);
            continue;
        }
        st->corr_bins[t.b2]++;
        result += slice_candidate(&s, t);
    }
    scan_end(&s, peak_fused);
    return result;
}

int32_t scan_noise_target(const uint8_t* mag, int32_t total) {
    // Every 32nd magnitude: 128 of the block's 4096 (the level moves by one
    // step a block towards the estimate, which smooths its noise).
    constexpr int kStride = 32;
    constexpr int kCount = 4096 / kStride;
    uint8_t hist[256] = {};
    for (int i = 0; i < 4096; i += kStride) hist[mag[i]]++;
    int below = 0;
    int b = 0;
    while (below + hist[b] <= kCount / 2) below += hist[b++];
    // The median with the samples of its value spread over [b - 1/2, b + 1/2),
    // in 1/256; the mean of noise magnitudes |I| + |Q| is 1.07 times it, and
    // the level six times that: 6.42 = 1644 / 256.
    const int32_t median = b * 256 - 128 + (kCount / 2 - below) * 256 / hist[b];
    const int32_t noise = static_cast<int32_t>((static_cast<int64_t>(median) * 1644 + 32768) >> 16);
    const int32_t classic = (6 * total + 2048) / 4096;
    return std::max(noise, classic / 8);
}
