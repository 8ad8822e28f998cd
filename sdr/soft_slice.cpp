// The default demodulator's slicer.
//
// The block scan's trigger and tests stay the cheap first stage; what
// follows runs only per candidate:
//
// 1. Fine timing as in the classic slicer (the 6 MHz template at shifts
//    -6..5 around the start), and the peak refined to 1/64 of a 6 MHz
//    sample by a parabola through the correlation at the peak and its two
//    neighbours: the time of arrival.
// 2. The 6 MHz samples of the whole frame at once (6 per bit, 3 per chip),
//    so that every retry below costs only additions.
// 3. All 112 bits decided by comparing the two chips of each bit; the
//    difference is the bit's confidence. A chip is the sum of the 6 MHz
//    samples around its centre, how many depends on the rate.
// 4. When the parity fails: the same at the neighbouring fine offsets.
// 5. When that fails too, for a long frame: the syndrome corrects one of
//    the least confident bits, or two of them, when exactly one such flip
//    clears it, and the corrected frame counts only for an aircraft heard
//    with clean parity in the last kRecentSeconds.
//
// At most one decoding of a candidate reaches the frame check's commit, so
// every candidate is counted and sent once; the first decoding is committed
// (and counted as rejected) when nothing recovers it.
#include "sdr/soft_slice.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>

#include "include/level2.h"
#include "sdr/adsb_check.h"
#include "sdr/parity.h"
#include "sdr/radio.h"

namespace {

constexpr char kModule[] = "sdr/soft_slice";

constexpr int kBits = 112;
constexpr int kDataOffset = 48;  // first data bit: 8 us after the first pulse
constexpr int kFineEntries = 58;
constexpr int kSubSteps = 64;  // time of arrival in 1/64 of a 6 MHz sample
constexpr uint32_t kSubRate = 6000000U * kSubSteps;
constexpr uint32_t kRecentSeconds = 60;

// Least confident bits tried singly and in pairs.
constexpr int kOneBitCandidates = 24;
constexpr int kTwoBitCandidates = 12;

/// The chip rule of a rate: a chip is fine[c + lo] + ... + fine[c + hi]
/// around its centre c; retries at these fine offsets after the first.
struct RateRule {
    int lo;
    int hi;
    int n_retries;
    int retries[4];
};

RateRule rule_for(uint32_t rate) {
    if (rate < 2200000) return {0, 0, 2, {-1, 1}};
    return {-1, 1, 2, {-1, 1}};
}

// The sample window the decisions read, relative to off + kDataOffset:
// chips of the largest retry shifts and widths.
constexpr int kWindowLead = 4;
constexpr int kWindowTail = 6 * (kBits - 1) + 3 + 4 + 1;

/// Decides the 112 bits from the 6 MHz samples, bit u's first chip centred
/// at fine[base + 6u] and its second three samples later.
void decide(const int16_t* fine, int base, const RateRule& rule, SoftFrame* f) {
    memset(f->bytes, 0, sizeof f->bytes);
    for (int u = 0; u < kBits; u++) {
        const int16_t* c = fine + base + 6 * u;
        int32_t one = 0;
        int32_t zero = 0;
        for (int i = rule.lo; i <= rule.hi; i++) {
            one += c[i];
            zero += c[i + 3];
        }
        const int32_t d = one - zero;
        if (d > 0) f->bytes[u / 8] |= static_cast<uint8_t>(0x80 >> (u % 8));
        const int32_t a = d < 0 ? -d : d;
        f->confidence[u] = static_cast<uint16_t>(std::min(a, 65535));
    }
}

int df_of(const SoftFrame& f) {
    return f.bytes[0] >> 3;
}

/// The parity alone passes for a format that may stand on it (cheap; the
/// table lookup follows only then): DF17/18 clean, DF11 clean up to the
/// interrogator code.
bool parity_passes(const SoftFrame& f) {
    const int df = df_of(f);
    if (df == 17 || df == 18) return parity_syndrome(f.bytes, kLongFrameBits) == 0;
    if (df == 11) return (parity_syndrome(f.bytes, kShortFrameBits) & 0xFFFF80U) == 0;
    return false;
}

/// A decoding the frame check accepts as it stands.
bool accepted(const FrameVerdict& v) {
    if (v.accepted >= 0) return true;
    // Address/parity formats that name a known aircraft refresh it.
    return v.entry >= 0 && v.df != 11 && v.df != 17 && v.df != 18;
}

/// A corrected squitter counts only for an aircraft heard with clean
/// parity shortly before.
bool heard_recently(const Context* ctx, const FrameVerdict& v, TimeStamp toa) {
    if (v.entry < 0) return false;
    const TimeStamp clean = ctx->stats.aircraft[v.entry].last_clean;
    if (clean == 0) return false;
    const int64_t age = ts_diff(toa, clean);
    return age >= -static_cast<int64_t>(kTsOneSecond) &&
           age <= static_cast<int64_t>(kRecentSeconds) * static_cast<int64_t>(kTsOneSecond);
}

/// The fine-timing peak at 1/64 sample: the parabola through the
/// correlations at the peak and its neighbours.
int32_t refine_peak(const int32_t* sums, int32_t off) {
    const int i = off;  // sums[k + 6] with off = k + 6
    if (i <= 0 || i >= kFineShifts - 1) return off * kSubSteps;
    const int64_t a = sums[i - 1];
    const int64_t b = sums[i];
    const int64_t c = sums[i + 1];
    const int64_t den = 2 * (a - 2 * b + c);  // negative at a maximum
    if (den >= 0) return off * kSubSteps;
    int64_t num = (a - c) * kSubSteps;  // delta = (a - c) / (2 (a - 2b + c)), in samples
    int64_t delta = num / den;
    delta = std::clamp<int64_t>(delta, -kSubSteps / 2, kSubSteps / 2);
    return off * kSubSteps + static_cast<int32_t>(delta);
}

}  // namespace

SoftFix soft_correct(SoftFrame* f, int one_bit, int two_bit) {
    const uint32_t s = parity_syndrome(f->bytes, kLongFrameBits);
    if (s == 0) return SOFT_FIX_NONE;
    // The n least confident bits, least confident first (insertion into a
    // short sorted list).
    const int n = std::max(one_bit, two_bit);
    VX_ASSERT(kModule, n >= 0 && n <= kBits);
    int order[kBits];
    int have = 0;
    for (int u = 0; u < kBits; u++) {
        const uint16_t c = f->confidence[u];
        if (have == n && c >= f->confidence[order[n - 1]]) continue;
        int j = have < n ? have++ : n - 1;
        while (j > 0 && f->confidence[order[j - 1]] > c) {
            order[j] = order[j - 1];
            j--;
        }
        order[j] = u;
    }
    auto flip = [f](int u) { f->bytes[u / 8] ^= static_cast<uint8_t>(0x80 >> (u % 8)); };
    const int32_t single = syndrome_bit(s, kLongFrameBits);
    if (single >= 0) {
        for (int i = 0; i < std::min(one_bit, have); i++) {
            if (order[i] == single) {
                flip(single);
                return SOFT_FIX_ONE_BIT;
            }
        }
    }
    // Two bits: the code's distance makes a pair that clears the syndrome
    // unique among all pairs; the count guards it all the same.
    int found = 0;
    int pi = -1;
    int pj = -1;
    const int m = std::min(two_bit, have);
    for (int i = 0; i < m; i++) {
        const uint32_t rest = s ^ bit_syndrome(order[i], kLongFrameBits);
        for (int j = i + 1; j < m; j++) {
            if (bit_syndrome(order[j], kLongFrameBits) == rest) {
                found++;
                pi = order[i];
                pj = order[j];
            }
        }
    }
    if (found != 1) return SOFT_FIX_NONE;
    flip(pi);
    flip(pj);
    return SOFT_FIX_TWO_BITS;
}

int32_t slice_frame_soft(Context* ctx, int32_t start, int32_t level) {
    VX_ASSERT(kModule, start >= 0 && start < kBlockPairs);
    const uint32_t rate = ctx->samp_rate;
    const int hist = static_cast<int>(ctx->history_len);
    const int L = static_cast<int>(ctx->resample_up);
    const int M = static_cast<int>(ctx->resample_down);

    // Coarse start time and the order check; the history learns of the
    // candidate once it is decoded.
    const TimeStamp t1 = samples_to_ts(static_cast<int64_t>(start) - hist - kBlockPairs, rate);
    const TimeStamp coarse = ctx->cur_time + t1;
    if (!slice_in_order(coarse)) return 0;

    SliceInput in;
    slice_input_init(&in, ctx, start);
    alignas(16) int16_t fine[kSliceResampled];
    slice_resample(&in, fine, 0, 64, 1);
    int32_t sums[kFineShifts];
    fine_correlations(fine, sums);
    int32_t best = 0;
    int32_t off = 0;
    for (int k = 0; k < kFineShifts; k++) {
        const int32_t corr = sums[k] / kFineEntries;
        if (corr > best) {
            best = corr;
            off = k;
        }
    }
    const int32_t fine_in = off * M / L;
    const TimeStamp toa = ctx->cur_time + t1 + samples_to_ts(refine_peak(sums, off), kSubRate);

    // The frame's 6 MHz samples, from the earliest chip any retry reads.
    const RateRule rule = rule_for(rate);
    const int base = off + kDataOffset;
    const int first = base - kWindowLead;
    static_assert(11 + kDataOffset + kWindowTail <= kSliceResampled);
    slice_resample(&in, fine, first, kWindowLead + kWindowTail, 1);

    SoftFrame frame;
    decide(fine, base, rule, &frame);
    FrameVerdict verdict = adsb_validate(ctx, frame.bytes);
    SoftFrame* chosen = &frame;
    SoftFrame retry;
    if (!accepted(verdict)) {
        // Neighbouring fine offsets.
        for (int t = 0; t < rule.n_retries; t++) {
            decide(fine, base + rule.retries[t], rule, &retry);
            if (!parity_passes(retry)) continue;
            const FrameVerdict v = adsb_validate(ctx, retry.bytes);
            if (v.accepted < 0) continue;
            if (v.df == 11 && v.entry < 0) continue;  // no new aircraft from a retry
            verdict = v;
            chosen = &retry;
            ctx->stats.recovered.retry++;
            break;
        }
    }
    if (chosen == &frame && !accepted(verdict)) {
        // Parity correction of a squitter, the format's bits included.
        const int df = df_of(frame);
        if (std::popcount(static_cast<unsigned>(df ^ 17)) <= 2 ||
            std::popcount(static_cast<unsigned>(df ^ 18)) <= 2) {
            retry = frame;
            const SoftFix fix = soft_correct(&retry, kOneBitCandidates, kTwoBitCandidates);
            const int fixed_df = df_of(retry);
            if (fix != SOFT_FIX_NONE && (fixed_df == 17 || fixed_df == 18)) {
                const FrameVerdict v = adsb_validate(ctx, retry.bytes);
                if (v.accepted >= 0 && heard_recently(ctx, v, toa)) {
                    verdict = v;
                    chosen = &retry;
                    if (fix == SOFT_FIX_ONE_BIT) {
                        ctx->stats.recovered.one_bit++;
                    } else {
                        ctx->stats.recovered.two_bit++;
                    }
                }
            }
        }
    }

    slice_passed(coarse);
    level_stats_update(&ctx->stats.candidate_level, level);
    const int32_t r = adsb_commit(ctx, chosen->bytes, &verdict, toa, level);
    ctx->stats.last_candidate_toa = toa;
    if (r < 0) return fine_in;
    return fine_in + slice_accepted(ctx, start, off, toa, r);
}
