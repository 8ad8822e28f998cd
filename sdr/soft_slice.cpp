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
#ifdef VORLIX_TRACE
#include <cstdio>
#endif
#include <cstdio>

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
constexpr int kPreambleShift = 21;  // 3.5 us at 6 MHz
// Samples before the start, at 6 MHz: the 3.5 us back of a retry, its
// neighbours and the template's six samples before its first pulse.
constexpr int kLead = 6 + kPreambleShift + 7;
constexpr int kSearchShifts = 24;  // fine shifts -6..17 around the start
constexpr int kSearchLast = 17;
constexpr int kFineWindow = 64;    // a correlation reads 64 samples
constexpr int kPairPasses = 2;     // centroid passes over pairs of pulses
constexpr int kPulsePasses = 2;    // then over single pulses

// Least confident bits tried singly and in pairs.
constexpr int kOneBitCandidates = 112;  // a single error anywhere
constexpr int kTwoBitCandidates = 32;

/// Retries at these fine offsets (6 MHz samples) after the first decoding.
constexpr int kRetries[] = {-1, 1};

// The sample window the decisions read, relative to off + kDataOffset:
// chips of the largest retry shifts and widths.
constexpr int kWindowLead = 4;
constexpr int kWindowTail = 6 * (kBits - 1) + 3 + 4 + 1;

/// Decides the 112 bits from the 6 MHz samples, bit u's first chip centred
/// at fine[base + 6u] and its second three samples later.
void decide(const int16_t* fine, int base, SoftFrame* f) {
    memset(f->bytes, 0, sizeof f->bytes);
    for (int u = 0; u < kBits; u++) {
        const int16_t* c = fine + base + 6 * u;
        int32_t one = 0;
        int32_t zero = 0;
        // The chip's centre sample counts twice, its neighbours once.
        one = c[-1] + 2 * c[0] + c[1];
        zero = c[2] + 2 * c[3] + c[4];
        const int32_t d = one - zero;
        if (d > 0) f->bytes[u / 8] |= static_cast<uint8_t>(0x80 >> (u % 8));
        const int32_t a = d < 0 ? -d : d;
        f->confidence[u] = static_cast<uint16_t>(std::min(a, 65535));
    }
}

/// Decides the 112 bits at 2.0 MS/s, where a chip is one input sample, from
/// the exact magnitudes x (x[i] at from + i) with decision feedback: the
/// chips' edges lie a fraction phi of a sample before the sample edges, so
/// sample n holds (1 - phi) of its chip and phi of the next. For bit u
/// (chips a, 1 - a) the samples before, at and after its first chip
/// differ between a = 1 and a = 0 by A phi, A (1 - 2 phi) and -A (1 - phi);
/// weighing them so, with the known previous chip's share taken out and
/// the unknown next one's taken as half, gives the decision. `pulse` is the
/// first preamble pulse's centre in 1/192 of a sample after `from`.
void decide_one_sample(const int16_t* x, int n_have, int32_t pulse, SoftFrame* f) {
    constexpr int kQ = 192;  // sub-sample units
    memset(f->bytes, 0, sizeof f->bytes);
    // Data chip 0 starts 8 us (16 samples) after the pulse's leading edge.
    const int32_t chip0 = pulse - kQ / 2 + 16 * kQ;
    const int n0 = (chip0 + kQ / 2 + kQ - 1) / kQ;  // first sample starting inside chip 0
    const int32_t phi = n0 * kQ - kQ / 2 - chip0;    // 0..191
    if (n0 - 6 < 0 || n0 + 2 * kBits + 1 > n_have) {
        memset(f->confidence, 0, sizeof f->confidence);
        return;
    }
    // Amplitude: twice the data's mean above the quiet gap before it.
    int32_t gap = 0;
    for (int n = n0 - 5; n <= n0 - 2; n++) gap += x[n];
    int32_t data = 0;
    for (int n = n0; n < n0 + 2 * kBits; n++) data += x[n];
    const int32_t amp = std::max(0, 2 * (data / (2 * kBits) - gap / 4));
    const int32_t w_prev = phi;             // Q192
    const int32_t w_mid = kQ - 2 * phi;
    const int32_t w_next = kQ - phi;
    const int32_t feedback = static_cast<int32_t>(
        static_cast<int64_t>(amp) * phi * (kQ - phi) / (2 * kQ));  // A phi (1 - phi) / 2, Q192
    int prev = 0;  // the chip before bit 0 is the quiet gap
    for (int u = 0; u < kBits; u++) {
        const int n = n0 + 2 * u;
        const int64_t m = static_cast<int64_t>(w_prev) * x[n - 1] +
                          static_cast<int64_t>(w_mid) * x[n] -
                          static_cast<int64_t>(w_next) * x[n + 1] + (prev ? -feedback : feedback);
        const bool one = m > 0;
        if (one) f->bytes[u / 8] |= static_cast<uint8_t>(0x80 >> (u % 8));
        const int64_t a = (m < 0 ? -m : m) / kQ;
        f->confidence[u] = static_cast<uint16_t>(std::min<int64_t>(a, 65535));
        prev = one ? 0 : 1;  // the second chip of this bit
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
/// correlations at the peak `off` and its neighbours (near[0..2]).
int32_t refine_peak(const int32_t* near, int32_t off) {
    const int64_t a = near[0];
    const int64_t b = near[1];
    const int64_t c = near[2];
    const int64_t den = 2 * (a - 2 * b + c);  // negative at a maximum
    if (den >= 0) return off * kSubSteps;
    // delta = (a - c) / (2 (a - 2b + c)) samples
    const int64_t delta = std::clamp<int64_t>((a - c) * kSubSteps / den, -kSubSteps / 2, kSubSteps / 2);
    return off * kSubSteps + static_cast<int32_t>(delta);
}

/// Input samples in `tenths` of a microsecond at `rate`, in 1/256 sample.
int64_t tenths_q8(int tenths, uint32_t rate) {
    return static_cast<int64_t>(tenths) * rate * 256 / 10000000;
}

/// The centre of the first preamble pulse in 1/256 of an input sample
/// after x[0], from the centroids of the four preamble pulses above the
/// quiet level that follows them. A sample integrates the envelope over its
/// own period, so the samples' centroid is the envelope's (the sampling of
/// a pulse whose spectrum vanishes at the multiples of the rate loses no
/// first moment). Each pulse is weighed within 0.5 us of where `guess`
/// (same units) expects it, edge samples by the share of them inside, so
/// that the noise has short arms; the pulses lie 0, 1.0, 3.5 and 4.5 us
/// after the first. Returns `guess` when the windows leave the samples or
/// hold no energy.
int64_t preamble_centre(const int16_t* x, int n_have, uint32_t rate, int64_t guess, bool wide,
                        int half_tenths) {
    static constexpr int kPulseTenths[4] = {0, 10, 35, 45};
    const int64_t half = tenths_q8(half_tenths, rate);
    const int q_lo = static_cast<int>((guess + tenths_q8(58, rate) + 255) / 256);  // quiet gap
    const int q_hi = static_cast<int>((guess + tenths_q8(72, rate)) / 256);
    if (guess < 0 || q_hi >= n_have || q_hi < q_lo) return guess;
    int32_t quiet = 0;
    for (int n = q_lo; n <= q_hi; n++) quiet += x[n];
    const int64_t floor_q = (static_cast<int64_t>(quiet) * 256) / (q_hi - q_lo + 1);  // Q8
    int64_t mass = 0;
    int64_t moment = 0;  // Q16 (position Q8 times value Q8)
    // Sample n covers [n - 1/2, n + 1/2); its share of [lo, hi), Q8.
    auto add = [&](int64_t lo, int64_t hi, int64_t shift) {
        // Windows are clipped to the samples (x[0] is the earliest).
        for (int n = static_cast<int>(std::max<int64_t>(0, (lo + 128) / 256));
             n * 256 - 128 < hi && n < n_have; n++) {
            const int64_t a = std::max<int64_t>(lo, n * 256 - 128);
            const int64_t b = std::min<int64_t>(hi, n * 256 + 128);
            if (b <= a) continue;
            const int64_t v = (static_cast<int64_t>(x[n]) * 256 - floor_q) * (b - a) / 256;
            mass += v;
            moment += v * (n * 256 - shift);
        }
    };
    if (wide) {
        // Whole samples over each pair of pulses and the quiet around it:
        // exact for any pulse shape, the window's edges lying where there
        // is no signal; pulses 1 and 2 average 0.5 us after the first,
        // pulses 3 and 4 4.0 us.
        constexpr int margin = 35;  // 0.01 us beyond the pulses' nominal edges
        const int kPairs[2][3] = {{-25 - margin, 125 + margin, 50}, {325 - margin, 475 + margin, 400}};  // from, to, mean (0.01 us)
        for (const auto& pair : kPairs) {
            const int64_t mean = tenths_q8(pair[2], rate) / 10;
            const int first = static_cast<int>(std::max<int64_t>(0, (guess + tenths_q8(pair[0], rate) / 10 + 255) / 256));
            const int last = static_cast<int>(std::min<int64_t>(n_have - 1, (guess + tenths_q8(pair[1], rate) / 10) / 256));
            for (int n = first; n <= last; n++) {
                const int64_t v = static_cast<int64_t>(x[n]) * 256 - floor_q;
                mass += v;
                moment += v * (n * 256 - mean);
            }
        }
    } else {
        for (int p = 0; p < 4; p++) {
            const int64_t shift = tenths_q8(kPulseTenths[p], rate);
            add(guess + shift - half, guess + shift + half, shift);
        }
    }
    if (mass <= 0) return guess;
    // A weak frame's centroid may wander with the noise: it moves the
    // estimate by at most a quarter of a microsecond.
    const int64_t limit = tenths_q8(25, rate) / 10;
    return std::clamp(moment / mass, guess - limit, guess + limit);
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
    const TimeStamp coarse =
        ctx->cur_time + samples_to_ts(static_cast<int64_t>(start) - hist - kBlockPairs, rate);
    if (!slice_in_order(coarse)) return 0;

    // The samples from `from`, E input samples (kLead at 6 MHz) before the
    // start, to the end of the start's 128 us; fine[i] lies at
    // from + i M / L, the start at fine[lead].
    const int E = std::min(start, (kLead * M + L - 1) / L);
    const int from = start - E;
    const int lead = E * L / M;
    SliceInput in;
    slice_input_init(&in, ctx, from, hist + E);
    alignas(16) int16_t fine[kSliceResampled];
    slice_resample(&in, fine, 0, lead + kSearchLast + kFineWindow - 6 + 1, 1);

    // Fine timing: the template's first pulse at fine[off], off from 1 us
    // before the start (a trigger late on the second pulse) to 2.8 us after.
    int32_t sums[kSearchShifts + 2];  // sums[i]: shift lead - 7 + i
    const int s0 = lead - 7;
    for (int i = 0; i < kSearchShifts + 2; i++) {
        const int at = s0 + i - 6;
        sums[i] = at >= 0 ? fine_correlation(fine + at) : 0;
    }
    int32_t best = 0;
    int i_best = 1;
    for (int i = 1; i <= kSearchShifts; i++) {
        const int32_t corr = sums[i] / kFineEntries;
        if (corr > best) {
            best = corr;
            i_best = i;
        }
    }
    int32_t off = s0 + i_best;
    const TimeStamp t1 = samples_to_ts(static_cast<int64_t>(from) - hist - kBlockPairs, rate);
    int32_t peak = refine_peak(sums + i_best - 1, off);  // 1/64 of a 6 MHz sample after `from`

    // The frame's 6 MHz samples, for the chips of every retry below.
    const int last = std::min(kSliceResampled, off + kDataOffset + kWindowTail + kPreambleShift);
    const int computed = lead + kSearchLast + kFineWindow - 6 + 1;
    slice_resample(&in, fine, computed, last - computed, 1);
    const int16_t* const exact = in.buf + kSliceFrontPad;
    const bool one_sample = L == 3 * M;  // 2.0 MS/s: a chip per sample
    auto decode = [&](int at, int32_t pulse, SoftFrame* f) {
        if (one_sample) {
            decide_one_sample(exact, in.have, pulse, f);
        } else {
            decide(fine, at + kDataOffset, f);
        }
    };

    SoftFrame frame;
    decode(off, peak, &frame);
    FrameVerdict verdict = adsb_validate(ctx, frame.bytes);
    SoftFrame* chosen = &frame;
    SoftFrame retry;
    auto take_retry = [&]() {
        if (!parity_passes(retry)) return false;
        const FrameVerdict v = adsb_validate(ctx, retry.bytes);
        if (v.accepted < 0 || (v.df == 11 && v.entry < 0)) return false;  // no new aircraft
        verdict = v;
        chosen = &retry;
        ctx->stats.recovered.retry++;
        return true;
    };
    if (!accepted(verdict)) {
        // Neighbouring fine offsets.
        for (int t : kRetries) {
            if (chosen != &frame) break;
            decode(off + t, peak + kSubSteps * t, &retry);
            take_retry();
        }
        // The preamble's pulses at 0, 1.0, 3.5 and 4.5 us match the
        // template 3.5 us early or late with two of them: the frame may
        // start 3.5 us on or back.
        for (int sign = 1; sign >= -1 && chosen == &frame; sign -= 2) {
            const int at = off + sign * kPreambleShift;
            if (at - 7 < 0 || at + 1 + kDataOffset + kWindowTail > last) continue;
            int32_t other[3];
            for (int j = 0; j < 3; j++) other[j] = fine_correlation(fine + at - 7 + j);
            if (other[1] / kFineEntries * 4 < best * 3) continue;
            const int32_t moved = refine_peak(other, at);
            decode(at, moved, &retry);
            if (take_retry()) {
                off = at;
                peak = moved;
            }
        }
    }
    // Parity correction of a squitter, the format's bits included: the
    // first decoding, then those at the neighbouring offsets.
    auto try_correct = [&](const SoftFrame& src) {
        const int df = df_of(src);
        if (std::popcount(static_cast<unsigned>(df ^ 17)) > 2 &&
            std::popcount(static_cast<unsigned>(df ^ 18)) > 2) {
            return false;
        }
        retry = src;
        const SoftFix fix = soft_correct(&retry, kOneBitCandidates, kTwoBitCandidates);
        const int fixed_df = df_of(retry);
        if (fix == SOFT_FIX_NONE || (fixed_df != 17 && fixed_df != 18)) return false;
        const FrameVerdict v = adsb_validate(ctx, retry.bytes);
        const TimeStamp when = ctx->cur_time + t1 + samples_to_ts(peak, kSubRate);
        if (v.accepted < 0 || !heard_recently(ctx, v, when)) return false;
        verdict = v;
        chosen = &retry;
        if (fix == SOFT_FIX_ONE_BIT) {
            ctx->stats.recovered.one_bit++;
        } else {
            ctx->stats.recovered.two_bit++;
        }
        return true;
    };
    if (chosen == &frame && !accepted(verdict) && !try_correct(frame)) {

        SoftFrame shifted;
        for (int t : kRetries) {
            decode(off + t, peak + kSubSteps * t, &shifted);
            if (try_correct(shifted)) break;
        }
    }

    // Time of arrival: the preamble's centroid, the windows placed first
    // by the fine peak, then by the previous estimate.
    int64_t centre = static_cast<int64_t>(peak) * 4 * M / L;  // 1/256 of an input sample
    const int pulse_passes = rate < 2200000 ? 0 : kPulsePasses;
    const int half_tenths = rate < 2800000 ? 5 : 6;
    for (int i = 0; i < kPairPasses + pulse_passes; i++) {
        centre = preamble_centre(exact, in.have, rate, centre, i < kPairPasses, half_tenths);
    }
    const TimeStamp toa = ctx->cur_time + t1 + samples_to_ts(centre, rate * 256U);

#ifdef VORLIX_TRACE
    fprintf(stderr, "CAND %u.%09llu start %d from %d off %d df %d acc %d best %d lvl %d fix %d cur %llu\n", ts_seconds(toa),
            (unsigned long long)(((uint64_t)ts_fraction(toa) * 1000000000ULL) >> 32), start, from, off,
            df_of(*chosen), verdict.accepted, best, level, chosen == &frame ? 0 : 1, (unsigned long long)ctx->cur_time);
#endif
    slice_passed(coarse);
    level_stats_update(&ctx->stats.candidate_level, level);
    const int32_t r = adsb_commit(ctx, chosen->bytes, &verdict, toa, level);
    ctx->stats.last_candidate_toa = toa;
    // Samples to pass over from the start, never negative: the fine offset
    // (as the classic slicer), and the frame when it was accepted.
    const int32_t fine_in = std::max(0, off * M / L - E);
    if (r < 0) return fine_in;
    return fine_in + slice_accepted(ctx, start, off, toa, r);
}
