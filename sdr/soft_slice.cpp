// The default demodulator's stages, per candidate of the block scan.
//
// 1. Fine timing: the 6 MHz template correlated from 1.5 us before the
//    candidate's start to 1.8 us after it (the classic slicer searches
//    -1..0.8 us; a wider search finds more wrong peaks than late
//    triggers), the peak refined to 1/64 of a 6 MHz sample by a parabola
//    through it and its neighbours: the bits' timing. The centroid of the
//    preamble's pulses at the sample rate (one pass over the pairs of
//    pulses, two over single ones at 2.4 MS/s and up) times a frame taken
//    (its time of arrival), and a failed squitter's second decoding.
// 2. Bits at the sample rate: a chip of 0.5 us covers 1.0 to 1.6 samples,
//    so each sample holds shares of neighbouring chips. A bit's metric is
//    sum d_n x_n, d_n the share of sample n in the bit's first chip less its
//    share in the second (a matched filter); the shares the previous chip
//    (known once the previous bit is decided) and half the next one add are
//    taken out with the amplitude from the preamble (decision feedback).
//    The metric's size is the bit's confidence. The shares repeat every
//    five bits at most; they are tabulated per rate at 64 phases a sample.
// 3. When the frame check does not take the first decoding: decodings a
//    6 MHz sample earlier and later, for formats whose parity stands on its
//    own; and when the first decoding's format is none of DF4, 5, 11, 17,
//    18, 20 and 21, 3.5 us back and on (the preamble's pulses at 0, 1.0, 3.5 and 4.5 us meet the
//    template there with two of them).
// 4. Then the parity corrects a squitter: one bit anywhere, or two of the
//    32 least confident, when exactly one such correction clears the
//    syndrome (the code's distance of 6 over 112 bits makes up to two
//    unambiguous), and only for an aircraft heard with clean parity in the
//    last kRecentSeconds.
//
// At most one decoding of a candidate reaches the frame check's commit, so
// every candidate is counted and sent once; the first decoding is committed
// (and counted as rejected) when nothing recovers it.
#include "sdr/soft_slice.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "include/level2.h"
#include "sdr/adsb_check.h"
#include "sdr/parity.h"
#include "sdr/radio.h"
#include "sdr/log.h"
#include "sdr/soft_kernels.h"

namespace {

constexpr char kModule[] = "sdr/soft_slice";

constexpr int kBits = 112;
constexpr int kFineEntries = 58;  // the 6 MHz template
constexpr int kSubSteps = 64;  // time of arrival in 1/64 of a 6 MHz sample
constexpr uint32_t kSubRate = 6000000U * kSubSteps;
constexpr uint32_t kRecentSeconds = 60;
constexpr int kPreambleShift = 21;  // 3.5 us at 6 MHz
// Samples before the start, at 6 MHz: the 3.5 us back of a retry, its
// neighbours and the template's six samples before its first pulse.
constexpr int kLead = 6 + kPreambleShift + 7;
constexpr int kSearchFirst = -9;  // fine shifts -9..11 around the start (-1.5..1.8 us)
constexpr int kSearchLast = 11;
constexpr int kWideFirst = -21;   // beyond an end: on to -21 or 23 (-3.5 or 3.8 us)
constexpr int kWideLast = 23;
constexpr int kFineWindow = 64;    // a correlation reads 64 samples
constexpr int kPairPasses = 1;     // centroid passes over pairs of pulses
constexpr int kPulsePasses = 2;    // then over single pulses

// Least confident bits tried singly, in pairs, threes and fours.
constexpr SoftReach kReach = {112, 32, 16, 12};

/// Retries at these fine offsets (6 MHz samples) after the first decoding.
constexpr int kRetries[] = {-1, 1};

/// The overlap of sample n, which covers [n - 1/2, n + 1/2), with
/// [from, from + len); positions and result in 1/256 of a sample.
int32_t overlap(int n, int64_t from, int64_t len) {
    const int64_t a = std::max<int64_t>(from, n * 256 - 128);
    const int64_t b = std::min<int64_t>(from + len, n * 256 + 128);
    return b > a ? static_cast<int32_t>(b - a) : 0;
}

constexpr int kBitWindow = 8;  // samples a bit meets, at most (5 at 3.2 MS/s)

/// The weights of one bit whose first chip starts `chip` (1/256 sample)
/// after sample 0: with d_n the share of sample n in the first chip minus
/// its share in the second, the bit's metric is sum d_n x_n less the
/// amplitude times the shares that the hypotheses' midpoint, half of the
/// next chip and (when it is on) the previous chip give to that sum.
struct BitWeights {
    int32_t first;  ///< first sample of the window
    int32_t n;      ///< samples in the window, at most kBitWindow
    int16_t d[kBitWindow];  ///< Q8, |d| <= 256; zero from n on
    int32_t mid;    ///< amplitude * sum d (s1 + s2 + s_next) / 2, Q8
    int32_t prev;   ///< amplitude * sum d s_prev, Q8
    int32_t mid_on; ///< mid + prev: what a previous chip that is on takes out
};
// With vectors the eight weights cost one multiply-add, zeros included;
// the board multiplies only the samples the bit meets. Same result.
#if VORLIX_SOFT_SSE2
constexpr bool kWideMultiply = true;
#else
constexpr bool kWideMultiply = false;
#endif

/// The unscaled weights of one bit whose first chip starts `chip` (1/256
/// sample) after sample 0: d, mid and prev before the amplitude (mid and
/// prev in Q16).
struct BitShape {
    int32_t first;
    int32_t n;
    int16_t d[kBitWindow];
    int32_t mid;
    int32_t prev;
};

BitShape bit_shape(int64_t chip, int64_t len) {
    BitShape w{};
    // The samples that meet the bit's two chips.
    w.first = static_cast<int32_t>((chip + 128 + 256 * 4) / 256) - 4;
    const int32_t last = static_cast<int32_t>((chip + 2 * len + 127) / 256);
    w.n = std::min<int32_t>(kBitWindow, last - w.first + 1);
    int64_t mid = 0;
    int64_t prev = 0;
    for (int i = 0; i < w.n; i++) {
        const int n = w.first + i;
        const int32_t s1 = overlap(n, chip, len);
        const int32_t s2 = overlap(n, chip + len, len);
        w.d[i] = static_cast<int16_t>(s1 - s2);
        mid += static_cast<int64_t>(w.d[i]) * (s1 + s2 + overlap(n, chip + 2 * len, len)) / 2;
        prev += static_cast<int64_t>(w.d[i]) * overlap(n, chip - len, len);
    }
    w.mid = static_cast<int32_t>(mid);
    w.prev = static_cast<int32_t>(prev);
    return w;
}

/// How to decide the bits of a frame whose first preamble pulse is centred
/// at a given position: the bits' weights, which repeat after `period` bits
/// (a whole number of samples, `step`), and the amplitude.
struct BitPlan {
    int period;  ///< 1..5
    int step;    ///< samples per period
    int32_t amp; ///< pulse amplitude above the quiet level
    BitWeights w[5];
};

/// The bits' shapes at one rate for the data's first chip starting at each
/// 1/64 of a sample (built at the first candidate of a rate).
constexpr int kPhases = 64;
struct ShapeTable {
    uint32_t rate;
    int period;
    int step;
    BitShape shape[kPhases][5];
};
constinit ShapeTable shapes = {};

const ShapeTable& shapes_for(uint32_t rate) {
    if (shapes.rate == rate) return shapes;
    const int64_t chip = static_cast<int64_t>(rate) * 128 / 1000000;  // 0.5 us, Q8
    // 5 bits are a whole number of samples at every multiple of 200 kHz.
    shapes.period = 1;
    while (shapes.period < 5 && (shapes.period * static_cast<int64_t>(rate)) % 1000000 != 0) {
        shapes.period++;
    }
    shapes.step = static_cast<int>(static_cast<int64_t>(rate) * shapes.period / 1000000);
    for (int q = 0; q < kPhases; q++) {
        for (int p = 0; p < shapes.period; p++) {
            const int64_t at = q * (256 / kPhases) + static_cast<int64_t>(rate) * 256 * p / 1000000;
            shapes.shape[q][p] = bit_shape(at, chip);
        }
    }
    shapes.rate = rate;
    return shapes;
}

/// Plans the bits of the frame whose first preamble pulse is centred at
/// `pulse` (1/256 sample after x[0]); false when its samples would lie
/// outside x[0..n_max), or it has no amplitude. x must hold the preamble
/// and the quiet gap after it (8 us from the pulse).
bool plan_bits(const int16_t* x, int n_max, uint32_t rate, int64_t pulse, BitPlan* plan) {
    const int64_t chip = static_cast<int64_t>(rate) * 128 / 1000000;  // 0.5 us, Q8
    const int64_t lead = pulse - chip / 2;                                // leading edge
    // The quiet level from the gap 5.5..7.5 us after the leading edge; the
    // amplitude from the four pulses' samples above it.
    const int gap_lo = static_cast<int>((lead + 11 * chip + 255) / 256);
    const int gap_hi = static_cast<int>((lead + 15 * chip) / 256);
    const int pre_lo = static_cast<int>((lead - chip / 2 + 255) / 256);
    const int pre_hi = static_cast<int>((lead + 11 * chip) / 256);
    if (pre_lo < 0 || gap_hi < gap_lo) return false;
    int32_t gap = 0;
    for (int n = gap_lo; n <= gap_hi; n++) gap += x[n];
    int32_t pre = 0;
    for (int n = pre_lo; n <= pre_hi; n++) pre += x[n];
    const int64_t above = static_cast<int64_t>(pre) * 256 -
                          static_cast<int64_t>(gap) * 256 * (pre_hi - pre_lo + 1) / (gap_hi - gap_lo + 1);
    plan->amp = static_cast<int32_t>(std::max<int64_t>(0, above / (4 * chip)));
    if (plan->amp == 0) return false;
    // Data chip 0 starts 8 us after the leading edge.
    const int64_t data = lead + 16 * chip;
    const ShapeTable& t = shapes_for(rate);
    plan->period = t.period;
    plan->step = t.step;
    const int whole = static_cast<int>(data >> 8);
    const BitShape* row = t.shape[(data & 255) / (256 / kPhases)];
    for (int p = 0; p < t.period; p++) {
        BitWeights& w = plan->w[p];
        w.first = whole + row[p].first;
        w.n = row[p].n;
        memcpy(w.d, row[p].d, sizeof w.d);
        w.mid = static_cast<int32_t>((static_cast<int64_t>(row[p].mid) * plan->amp) >> 8);
        w.prev = static_cast<int32_t>((static_cast<int64_t>(row[p].prev) * plan->amp) >> 8);
        w.mid_on = w.mid + w.prev;
    }
    const BitWeights& tail = plan->w[(kBits - 1) % plan->period];
    return plan->w[0].first >= 0 &&
           tail.first + tail.n + plan->step * ((kBits - 1) / plan->period) <= n_max;
}

/// The first sample after the bits before `to_bit` (what x must hold).
int plan_end(const BitPlan& plan, int to_bit) {
    const int u = to_bit - 1;
    const BitWeights& w = plan.w[u % plan.period];
    return w.first + w.n + plan.step * (u / plan.period);
}

/// Decides bits from_bit..to_bit-1 by their weights (a matched filter at
/// the sample rate) with decision feedback: the previous chip is known
/// once the previous bit is decided (the chip before bit 0 is the quiet
/// gap). The confidence is the metric's size.
void decide_bits(const int16_t* x, const BitPlan& plan, int from_bit, int to_bit, SoftFrame* f) {
    VX_ASSERT(kModule, from_bit % 8 == 0 && to_bit % 8 == 0);
    if (from_bit == 0) memset(f->bytes, 0, sizeof f->bytes);
    bool prev_on = from_bit > 0 && !(f->bytes[from_bit / 8 - 1] & 1);
    int p = from_bit % plan.period;
    const int16_t* base = x + plan.step * (from_bit / plan.period);
    // A byte at a time: its bits gathered in a register.
    for (int byte = from_bit / 8; byte < to_bit / 8; byte++) {
        unsigned bits = 0;
        uint16_t* conf = f->confidence + 8 * byte;
        for (int k = 0; k < 8; k++) {
            const BitWeights& b = plan.w[p];
            const int16_t* s = base + b.first;
            int32_t m;  // Q8, |m| < 8 * 256 * 23170
            if constexpr (kWideMultiply) {
                m = dot8(b.d, s);  // the zeros from n on included
            } else {
                m = 0;
                for (int i = 0; i < b.n; i++) m += b.d[i] * s[i];
            }
            m -= prev_on ? b.mid_on : b.mid;
            const bool one = m > 0;
            bits = bits << 1 | (one ? 1U : 0U);
            const uint32_t a = static_cast<uint32_t>(m < 0 ? -m : m) >> 8;
            conf[k] = static_cast<uint16_t>(a < 65535 ? a : 65535);
            prev_on = !one;  // the second chip of this bit
            if (++p == plan.period) {
                p = 0;
                base += plan.step;
            }
        }
        f->bytes[byte] = static_cast<uint8_t>(bits);
    }
}

int df_of(const SoftFrame& f) {
    return f.bytes[0] >> 3;
}

/// A format the frame check knows, which the air carries.
bool aired_format(int df) {
    return df == 4 || df == 5 || df == 11 || df == 17 || df == 18 || df == 20 || df == 21;
}

/// A downlink format that one bit error or none makes of a squitter's.
bool near_squitter(int df) {
    return std::popcount(static_cast<unsigned>(df ^ 17)) <= 1 ||
           std::popcount(static_cast<unsigned>(df ^ 18)) <= 1;
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
    return moment / mass;
}

/// The time of arrival: the preamble's centroid, the windows placed first
/// by `guess` (the fine peak, 1/256 of a sample after x[0]), then by the
/// estimate before.
int64_t toa_centre(const int16_t* x, int n_have, uint32_t rate, int64_t guess) {
    const int pulse_passes = rate < 2200000 ? 0 : kPulsePasses;
    const int half_tenths = rate < 2800000 ? 5 : 6;
    int64_t centre = guess;
    for (int i = 0; i < kPairPasses + pulse_passes; i++) {
        centre = preamble_centre(x, n_have, rate, centre, i < kPairPasses, half_tenths);
    }
    // The fine peak lies within a 6 MHz sample of the pulse; a centroid
    // further away was drawn off by noise or another frame: the peak stays.
    const int64_t limit = tenths_q8(25, rate) / 10;  // 0.25 us
    return centre >= guess - limit && centre <= guess + limit ? centre : guess;
}

}  // namespace

int32_t soft_trigger_target(const uint8_t* mag, int32_t total) {
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

namespace {

/// One candidate on its way through the stages.
struct Candidate {
    Context* ctx;
    uint32_t rate;
    int L;
    int M;
    int E;       ///< input samples from `from` to the start
    int from;    ///< the first input sample, in ctx->samples
    int lead;    ///< 6 MHz samples from `from` to the start
    int fine_lo;  ///< fine[fine_lo, fine_hi) computed
    int fine_hi;
    int32_t off;   ///< the fine peak: the first preamble pulse at fine[off]
    int32_t best;  ///< the correlation there, over 58
    int32_t peak;  ///< the fine peak, 1/64 of a 6 MHz sample after `from`
    int64_t centre;  ///< the first pulse's centre, 1/256 of an input sample after `from`
    SliceInput in;
    alignas(16) int16_t fine[kSliceResampled];
};

const int16_t* exact_of(const Candidate& c) {
    return c.in.buf + kSliceFrontPad;
}

/// Makes the inputs reach 9 us past `pulse`: the preamble and the quiet gap.
void through_gap(Candidate* c, int64_t pulse) {
    const int need = static_cast<int>(pulse / 256 + c->rate * 9 / 1000000);
    slice_input_need(&c->in, std::clamp(need, 0, c->in.count));
}

/// Makes fine[lo, hi) computed (clipped to the array), extending the range
/// computed so far.
void ensure_fine(Candidate* c, int lo, int hi) {
    lo = std::max(lo, 0);
    hi = std::min(hi, kSliceResampled);
    if (c->fine_hi <= c->fine_lo) {
        slice_resample(&c->in, c->fine, lo, hi - lo, 1);
        c->fine_lo = lo;
        c->fine_hi = std::max(lo, hi);
        return;
    }
    if (lo < c->fine_lo) {
        slice_resample(&c->in, c->fine, lo, c->fine_lo - lo, 1);
        c->fine_lo = lo;
    }
    if (hi > c->fine_hi) {
        slice_resample(&c->in, c->fine, c->fine_hi, hi - c->fine_hi, 1);
        c->fine_hi = hi;
    }
}

/// The fine correlation with the template's first pulse at fine[at]
/// (its origin six samples before); 0 where the origin would lie before
/// the first sample.
int32_t corr_at(Candidate* c, int at) {
    if (at - 6 < 0) return 0;
    ensure_fine(c, at - 6, at - 6 + kFineWindow);
    return fine_correlation(c->fine + at - 6);
}

/// Fine timing: the template's first pulse at fine[off] for off from 1.5 us
/// before the start (a trigger late on a later pulse) to 1.8 us after it,
/// and on to 3.5 us either way when the best lies at an end (a trigger
/// early on noise before the preamble, or late on its third pulse).
void fine_search(Candidate* c) {
    constexpr int kSpan = kWideLast - kWideFirst + 1;
    int32_t sums[kSpan + 2];  // sums[i]: shift lead + kWideFirst - 1 + i
    const int s0 = c->lead + kWideFirst - 1;
    const int lo = kSearchFirst - kWideFirst + 1;
    const int hi = kSearchLast - kWideFirst + 1;
    c->best = 0;
    int i_best = lo;
    // Every other shift first (the correlation's peak is three samples
    // wide), then the neighbours of the best of them.
    auto every_other = [&](int from, int to) {
        ensure_fine(c, s0 + std::min(from, to) - 1 - 6, s0 + std::max(from, to) + 1 - 6 + kFineWindow);
        const int step = from <= to ? 2 : -2;
        for (int i = from; step > 0 ? i <= to : i >= to; i += step) {
            sums[i] = corr_at(c, s0 + i);
            if (sums[i] / kFineEntries > c->best) {
                c->best = sums[i] / kFineEntries;
                i_best = i;
            }
        }
    };
    every_other(lo, hi);
    if (i_best == hi) {
        every_other(hi + 2, kSpan);
    } else if (i_best == lo) {
        every_other(lo - 2, 1);
    }
    sums[i_best - 1] = corr_at(c, s0 + i_best - 1);
    sums[i_best + 1] = corr_at(c, s0 + i_best + 1);
    for (int i : {i_best - 1, i_best + 1}) {
        if (i >= 1 && i <= kSpan && sums[i] / kFineEntries > c->best) {
            c->best = sums[i] / kFineEntries;
            i_best = i;
        }
    }
    // A best moved to a neighbour has the odd shifts on both sides.
    c->off = s0 + i_best;
    c->peak = refine_peak(sums + i_best - 1, c->off);
    c->centre = static_cast<int64_t>(c->peak) * 4 * c->M / c->L;
}

/// Plans the frame whose first pulse is centred at `pulse` (1/256 sample
/// after `from`) and decides its format's bits; false when no frame fits
/// there (the frame then all zero).
bool decode_format(Candidate* c, int64_t pulse, BitPlan* plan, SoftFrame* f) {
    through_gap(c, pulse);
    if (!plan_bits(exact_of(*c), c->in.count, c->rate, pulse, plan)) {
        memset(f, 0, sizeof *f);
        return false;
    }
    slice_input_need(&c->in, plan_end(*plan, 8));
    decide_bits(exact_of(*c), *plan, 0, 8, f);
    return true;
}

/// Decides the rest of a frame whose format is decided: as many bits as
/// the format has (none for a format the frame check only counts, all 112
/// for one within a bit of a squitter's, for the correction). The bits not
/// decided have no confidence.
void decode_rest(Candidate* c, const BitPlan& plan, SoftFrame* f) {
    const int df = df_of(*f);
    const int bits = near_squitter(df) ? kBits : 8 * adsb_frame_bytes(df);
    if (bits > 8) {
        slice_input_need(&c->in, plan_end(plan, bits));
        decide_bits(exact_of(*c), plan, 8, bits, f);
    }
    for (int u = bits; u < kBits; u++) f->confidence[u] = 0;
}

/// decode_format and decode_rest.
bool decode_at(Candidate* c, int64_t pulse, SoftFrame* f) {
    BitPlan plan;
    if (!decode_format(c, pulse, &plan, f)) return false;
    decode_rest(c, plan, f);
    return true;
}

/// A decoding at another position is taken only for a format whose parity
/// stands on its own, and a DF11 only for a known aircraft.
bool retry_passes(Candidate* c, int64_t pulse, SoftFrame* f, FrameVerdict* v) {
    BitPlan plan;
    if (!decode_format(c, pulse, &plan, f)) return false;
    const int df = df_of(*f);
    if (df != 11 && df != 17 && df != 18) {
        for (int u = 8; u < kBits; u++) f->confidence[u] = 0;
        return false;
    }
    decode_rest(c, plan, f);
    if (!parity_passes(*f)) return false;
    *v = adsb_validate(c->ctx, f->bytes);
    return v->accepted >= 0 && !(v->df == 11 && v->entry < 0);
}

/// Corrects a squitter (the format's bits included) that names an aircraft
/// heard recently; counts the fix.
bool correct_squitter(Candidate* c, const SoftFrame& src, SoftFrame* out, FrameVerdict* v,
                      TimeStamp when) {
    if (!near_squitter(df_of(src))) return false;
    *out = src;
    const SoftFix fix = soft_correct(out, kReach);
    const int fixed = df_of(*out);
    if (fix == SOFT_FIX_NONE || (fixed != 17 && fixed != 18)) return false;
    *v = adsb_validate(c->ctx, out->bytes);
    if (v->accepted < 0 || !heard_recently(c->ctx, *v, when)) return false;
    RecoveredStats& r = c->ctx->stats.recovered;
    uint32_t* by_fix[] = {nullptr, &r.one_bit, &r.two_bit, &r.three_bit, &r.four_bit};
    (*by_fix[fix])++;
    return true;
}

/// The decoding of the candidate to commit: the first one when the frame
/// check takes it; else one at a neighbouring offset, 3.5 us back or on
/// (two of the preamble's pulses match the template there), or a
/// corrected one; else the first one, to be counted as rejected.
const SoftFrame* choose(Candidate* c, SoftFrame* frames, FrameVerdict* v, TimeStamp when) {
    SoftFrame& first = frames[0];
    decode_at(c, c->centre, &first);
    *v = adsb_validate(c->ctx, first.bytes);
    if (accepted(*v)) return &first;
    const FrameVerdict v_first = *v;
    const int df0 = df_of(first);
    // A squitter timed by the fine peak failed: the preamble's centroid
    // (computed only here and for the frames taken) may time its bits
    // better.
    SoftFrame* centred = nullptr;
    if (near_squitter(df0)) {
        through_gap(c, c->centre);
        const int64_t centre = toa_centre(exact_of(*c), c->in.have, c->rate, c->centre);
        if (centre != c->centre) {
            centred = &frames[4];
            if (retry_passes(c, centre, centred, v)) {
                c->ctx->stats.recovered.retry++;
                return centred;
            }
        }
    }
    const int64_t step = 256 * c->M / c->L;  // a 6 MHz sample, 1/256 of an input sample
    for (int i = 0; i < 2; i++) {
        if (retry_passes(c, c->centre + step * kRetries[i], &frames[1 + i], v)) {
            c->ctx->stats.recovered.retry++;
            return &frames[1 + i];
        }
    }
    // A decoding 3.5 us off reads the format from other bits: only a first
    // decoding of none of the formats the check knows looks there.
    for (int sign = -1; sign <= 1 && !aired_format(df0); sign += 2) {
        const int at = c->off + sign * kPreambleShift;
        if (at - 7 < 0 || at + 1 - 6 + kFineWindow > kSliceResampled) continue;
        int32_t other[3];
        for (int j = 0; j < 3; j++) other[j] = corr_at(c, at - 1 + j);
        if (other[1] / kFineEntries * 4 < c->best * 3) continue;
        const int32_t moved = refine_peak(other, at);
        const int64_t centre = static_cast<int64_t>(moved) * 4 * c->M / c->L;
        if (retry_passes(c, centre, &frames[3], v)) {
            c->ctx->stats.recovered.retry++;
            c->off = at;
            c->peak = moved;
            c->centre = centre;
            return &frames[3];
        }
    }
    if (correct_squitter(c, first, &frames[3], v, when)) return &frames[3];
    if (centred != nullptr && (df_of(*centred) == 17 || df_of(*centred) == 18) &&
        correct_squitter(c, *centred, &frames[3], v, when)) {
        return &frames[3];
    }
    for (int i = 0; i < 2; i++) {
        SoftFrame& f = frames[1 + i];
        if (df_of(f) != 17 && df_of(f) != 18) continue;  // decided in full above
        if (correct_squitter(c, f, &frames[3], v, when)) return &frames[3];
    }
    *v = v_first;
    return &first;
}

}  // namespace

int32_t slice_frame_soft(Context* ctx, int32_t start, int32_t level) {
    VX_ASSERT(kModule, start >= 0 && start < kBlockPairs);
    const uint32_t rate = ctx->samp_rate;
    const int hist = static_cast<int>(ctx->history_len);

    // Coarse start time and the order check; the history learns of the
    // candidate once it is decoded.
    const TimeStamp coarse =
        ctx->cur_time + samples_to_ts(static_cast<int64_t>(start) - hist - kBlockPairs, rate);
    if (!slice_in_order(coarse)) return 0;

    // The inputs from `from`, kLead 6 MHz samples before the start, to the
    // end of the start's 128 us; fine[i] lies at from + i M / L.
    Candidate c;
    c.ctx = ctx;
    c.rate = rate;
    c.L = static_cast<int>(ctx->resample_up);
    c.M = static_cast<int>(ctx->resample_down);
    c.E = std::min(start, (kLead * c.M + c.L - 1) / c.L);
    c.from = start - c.E;
    c.lead = c.E * c.L / c.M;
    slice_input_init(&c.in, ctx, c.from, hist + c.E);
    c.fine_lo = 0;
    c.fine_hi = 0;
    fine_search(&c);

    const TimeStamp t1 = samples_to_ts(static_cast<int64_t>(c.from) - hist - kBlockPairs, rate);
    SoftFrame frames[5];
    FrameVerdict verdict;
    const SoftFrame* chosen =
        choose(&c, frames, &verdict, ctx->cur_time + t1 + samples_to_ts(c.peak, kSubRate));
    // The time of arrival from the preamble's centroid for a squitter the
    // check takes, which is sent with it; another frame's (counted, or
    // entered in the table) stays at the fine peak.
    if (verdict.accepted == 17 || verdict.accepted == 18) {
        through_gap(&c, c.centre);
        c.centre = toa_centre(exact_of(c), c.in.have, rate, c.centre);
    }
    const TimeStamp toa = ctx->cur_time + t1 + samples_to_ts(c.centre, rate * 256U);

    slice_passed(coarse);
    level_stats_update(&ctx->stats.candidate_level, level);
    const int32_t r = adsb_commit(ctx, chosen->bytes, &verdict, toa, level);
    ctx->stats.last_candidate_toa = toa;
    // Samples to pass over from the start, never negative: the fine offset
    // and the frame when it was accepted.
    const int32_t fine_in = std::max(0, c.off * c.M / c.L - c.E);
    if (r < 0) {
        // A rejected candidate that read a format the air carries: 4.5 us,
        // the preamble's first three pulses (which would trigger again),
        // and no more (a preamble may follow just behind a misread). When
        // no such format was read there (noise, most likely a spike just
        // before a preamble that triggered with its first pulse), only the
        // shifts searched, so that the preamble after it still triggers.
        const int32_t searched = std::max(2, (c.lead + kSearchLast) * c.M / c.L - c.E);
        const int32_t pulses = static_cast<int32_t>(rate * 9ULL / 2000000);
        return std::max(fine_in, aired_format(df_of(frames[0])) ? pulses : searched);
    }
    slice_accepted(ctx, start, c.off, toa, r);
    // A short reply lasts 64 us: a frame may follow it at once (the
    // classic slicer passes over 120 us after every format above 7).
    const uint32_t frame_us = adsb_frame_bytes(r) == 7 ? 64 : 120;
    return fine_in + static_cast<int32_t>(static_cast<uint64_t>(frame_us) * rate / 1000000);
}
