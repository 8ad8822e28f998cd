// The default slicer's stages, per candidate of the block scan:
//
// 1. Fine timing: the 6 MHz template correlated from 1.5 us before the
//    candidate's start to 1.8 us after it (the classic slicer searches
//    -1..0.8 us; a wider search finds more wrong peaks than late
//    triggers), on to 3.5 us when the best lies at an end; the peak refined
//    (soft_timing) times the bits.
// 2. Bits at the sample rate with decision feedback and a confidence per
//    bit (soft_bits), as many as the format read in the first byte has.
// 3. When the frame check does not take the first decoding: a squitter
//    decoded again timed by the preamble's centroid; decodings a 6 MHz
//    sample earlier and later, for formats whose parity stands on its own;
//    and when the first decoding's format is none of DF4, 5, 11, 17, 18, 20
//    and 21, 3.5 us back and on (the preamble's pulses at 0, 1.0, 3.5 and
//    4.5 us meet the template there with two of them).
// 4. Then the parity corrects a squitter (soft_correct), taken for an
//    aircraft heard with clean parity in the last kRecentSeconds
//    (heard_recently(); a corrected frame never renews that time), in busy
//    traffic only when the bits it flipped were doubtful enough (soft_doubt
//    against kBusyGate, looser when a second decoding corrects to the same
//    frame); for an aircraft not heard so, only one bit of a DF17 that a
//    second decoding agrees with (kColdGate). Beyond two real errors a
//    correction may be wrong; these gates are what keeps that rare
//    (measured, not promised).
// 5. A candidate whose preamble clips at full scale (the samples are not
//    linear in the signal) is decided by the clipped model of soft_bits;
//    when that fails, stages 2 to 4 again with its other slopes, then with
//    the linear decisions.
//
// At most one decoding of a candidate reaches the frame check's commit, so
// every candidate is counted and sent once; the first decoding is committed
// (and counted as rejected) when nothing recovers it.
#include "sdr/demod/soft_slice.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#include "sdr/adsb_check.h"
#include "sdr/demod/setup.h"
#include "sdr/demod/slice_history.h"
#include "sdr/demod/slice_input.h"
#include "sdr/demod/soft_bits.h"
#include "sdr/demod/soft_correct.h"
#include "sdr/demod/soft_timing.h"
#include "sdr/log.h"
#include "sdr/parity.h"

namespace {

constexpr char kModule[] = "sdr/demod/soft_slice";

constexpr int kBits = kFrameBits;
constexpr int kClippedBytes = 2;  // bytes at full scale that make a preamble clipped
constexpr int kClipRetries[] = {2, 3, 4, 5, 0};  // clipped models tried after model 1
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

// Least confident bits tried singly, in pairs, threes and fours.
constexpr SoftReach kReach = {112, 32, 16, 12};

/// Retries at these fine offsets (6 MHz samples) after the first decoding.
constexpr int kRetries[] = {-1, 1};

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

/// A corrected squitter counts only for an aircraft heard with clean
/// parity shortly before.
bool heard_recently(const Context* ctx, const FrameVerdict& v, TimeStamp toa) {
    if (v.entry < 0) return false;
    const TimeStamp clean = ctx->aircraft.entries[v.entry].last_clean;
    if (clean == 0) return false;
    const int64_t age = ts_diff(toa, clean);
    return age >= -static_cast<int64_t>(kTsOneSecond) &&
           age <= static_cast<int64_t>(kRecentSeconds) * static_cast<int64_t>(kTsOneSecond);
}

/// The traffic the frame check takes: frames accepted per second, counted
/// over windows of a quarter second (the last whole window's count; 0 at
/// the start and after a gap or a step back in time). Process-wide, as the
/// slice history: one input is decoded at a time.
struct TakenRate {
    TimeStamp window;    ///< start of the window counted now
    int32_t count;       ///< frames accepted in it so far
    int32_t per_second;  ///< of the window before, 0 for none
};
constinit TakenRate taken_rate = {};
constexpr TimeStamp kRateWindow = kTsOneSecond / 4;

void count_accepted(TimeStamp toa) {
    TakenRate* t = &taken_rate;
    const int64_t age = ts_diff(toa, t->window);
    if (age < 0 || age >= 2 * static_cast<int64_t>(kRateWindow)) {
        *t = {toa, 0, 0};
    } else if (age >= static_cast<int64_t>(kRateWindow)) {
        t->per_second = t->count * static_cast<int32_t>(kTsOneSecond / kRateWindow);
        t->window += kRateWindow;
        t->count = 0;
    }
    t->count++;
}

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
    bool clipped;    ///< the preamble clipped at full scale
    int clip_model;  ///< the decisions' model: 0 linear, else clipped (plan_bits)
    SliceInput in;
    alignas(16) int16_t fine[kSliceResampled];
};

const int16_t* exact_of(const Candidate& c) {
    return slice_exact(c.in);
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
    if (!plan_bits(exact_of(*c), c->in.count, c->rate, pulse, c->clip_model, plan)) {
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
    const int bits = near_squitter(df) ? kBits : 8 * adsb_frame_bytes_all(df);
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

/// How far a correction may be doubted (soft_doubt, % of the frame's median
/// confidence) to be taken on its own, and when another decoding of the
/// candidate corrects to the same frame; by the bits flipped.
struct FixGate {
    int32_t alone;
    int32_t agreed;
};
/// In busy traffic (kBusyRate frames taken a second or more) most frames
/// overlap another reply, and a frame with many errors cleared by chance
/// is what every wrong squitter measured there was: the most confident bit
/// they flipped lay at 45 to 151 % of the median in one bit, 28 to 74 % in
/// two, 30 to 43 % in three and 23 to 43 % in four (a second decoding
/// agreeing at 45 % in one bit, 57 % and more in two, 35 % and more in
/// three or four), that of most right corrections below 20 %. Four bits
/// are not taken there. In quieter traffic no wrong squitter was measured
/// with no such limit, and any limit cost frames.
constexpr int32_t kBusyRate = 600;
constexpr int32_t kAny = INT32_MAX;
constexpr FixGate kBusyGate[] = {{0, 0}, {40, 40}, {20, 45}, {25, 30}, {-1, -1}};
constexpr FixGate kQuietGate[] = {{0, 0}, {kAny, kAny}, {kAny, kAny}, {kAny, kAny}, {kAny, kAny}};
/// One bit of a DF17 from an aircraft not heard clean recently (a cold
/// start): only when a second decoding agrees.
constexpr FixGate kColdGate = {-1, 50};

/// Another decoding of the candidate (one of `others`, not `src`) decided
/// as a squitter in full whose correction gives `fixed` too.
bool second_agrees(const SoftFrame* const* others, int n, const SoftFrame& src,
                   const uint8_t* fixed) {
    for (int i = 0; i < n; i++) {
        const SoftFrame* o = others[i];
        if (o == nullptr || o == &src) continue;
        SoftFrame copy = *o;
        soft_correct(&copy, kReach);
        if (memcmp(copy.bytes, fixed, sizeof copy.bytes) == 0) return true;
    }
    return false;
}

/// What became of a decoding's correction.
enum class Correction { kNone, kTaken, kDoubted };

/// Corrects a squitter (the format's bits included) and takes it when its
/// doubt passes the gate: for an aircraft heard clean recently the gate of
/// its size, else only one bit of a DF17 with a second decoding agreeing.
/// Counts the fix; the verdict says the frame was corrected. kDoubted: a
/// correction the gate refused.
Correction correct_squitter(Candidate* c, const SoftFrame& src, const SoftFrame* const* others,
                            int n_others, SoftFrame* out, FrameVerdict* v, TimeStamp when) {
    if (!near_squitter(df_of(src))) return Correction::kNone;
    *out = src;
    const SoftFix fix = soft_correct(out, kReach);
    const int fixed = df_of(*out);
    if (fix == SOFT_FIX_NONE || (fixed != 17 && fixed != 18)) return Correction::kNone;
    *v = adsb_validate(c->ctx, out->bytes);
    if (v->accepted < 0) return Correction::kNone;
    const bool recent = heard_recently(c->ctx, *v, when);
    if (!recent && (fix != SOFT_FIX_ONE_BIT || fixed != 17)) return Correction::kNone;
    const FixGate* table = taken_rate.per_second >= kBusyRate ? kBusyGate : kQuietGate;
    const FixGate gate = recent ? table[fix] : kColdGate;
    const int32_t doubt = soft_doubt(src, out->bytes);
    if (doubt > gate.alone &&
        (doubt > gate.agreed || !second_agrees(others, n_others, src, out->bytes))) {
        return Correction::kDoubted;
    }
    v->corrected = fix;
    RecoveredStats& r = c->ctx->stats.recovered;
    uint32_t* by_fix[] = {nullptr, &r.one_bit, &r.two_bit, &r.three_bit, &r.four_bit};
    (*by_fix[fix])++;
    return Correction::kTaken;
}

/// The decoding of the candidate to commit: the first one when the frame
/// check takes it; else one at a neighbouring offset, 3.5 us back or on
/// (two of the preamble's pulses match the template there), or a
/// corrected one; else the first one, to be counted as rejected.
const SoftFrame* choose(Candidate* c, SoftFrame* frames, FrameVerdict* v, TimeStamp when) {
    SoftFrame& first = frames[0];
    decode_at(c, c->centre, &first);
    *v = adsb_validate(c->ctx, first.bytes);
    if (adsb_taken(*v)) return &first;
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
    // The decodings decided in full as squitters, each corrected in turn;
    // the others are the second decodings a correction may agree with.
    const SoftFrame* full[4];
    int n = 0;
    if (near_squitter(df0)) full[n++] = &first;
    if (centred != nullptr && (df_of(*centred) == 17 || df_of(*centred) == 18)) full[n++] = centred;
    for (int i = 0; i < 2; i++) {
        SoftFrame& f = frames[1 + i];
        if (df_of(f) == 17 || df_of(f) == 18) full[n++] = &f;  // decided in full above
    }
    // A correction the gate refused ends the search: another decoding of
    // the same samples would only be another draw at clearing it by chance.
    for (int i = 0; i < n; i++) {
        const Correction got = correct_squitter(c, *full[i], full, n, &frames[3], v, when);
        if (got == Correction::kTaken) return &frames[3];
        if (got == Correction::kDoubted) break;
    }
    *v = v_first;
    return &first;
}

/// A clipped candidate that the first model did not read: the other
/// slopes of the clipped model, then the linear decisions (a preamble that
/// barely clipped), each from the candidate's first timing. Returns the
/// decoding to commit (a taken one in frames[0], else `first` unchanged).
const SoftFrame* choose_clipped(Candidate* c, SoftFrame* frames, FrameVerdict* v, TimeStamp when,
                                const SoftFrame* first) {
    const Candidate timing = *c;
    for (int model : kClipRetries) {
        SoftFrame other[5];
        FrameVerdict v_other;
        c->clip_model = model;
        const SoftFrame* got = choose(c, other, &v_other, when);
        if (adsb_taken(v_other)) {
            frames[0] = *got;
            *v = v_other;
            c->clip_model = timing.clip_model;
            return &frames[0];
        }
        c->off = timing.off;
        c->peak = timing.peak;
        c->centre = timing.centre;
    }
    c->clip_model = timing.clip_model;
    return first;
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
    if (!slice_in_order(ctx, coarse)) return 0;

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
    // A preamble beyond full scale (a near aircraft, a gain too high) is
    // decided by the clipped model; counted for the report, with the frames
    // decoded of such candidates.
    const int pulse_at = static_cast<int>(c.centre / 256);
    c.clipped =
        slice_clipped_bytes(c.in, pulse_at - 1, pulse_at + static_cast<int>(rate * 5 / 1000000)) >=
        kClippedBytes;
    ctx->stats.clipped += c.clipped;
    c.clip_model = c.clipped ? 1 : 0;

    const TimeStamp t1 = samples_to_ts(static_cast<int64_t>(c.from) - hist - kBlockPairs, rate);
    SoftFrame frames[5];
    FrameVerdict verdict;
    const TimeStamp when = ctx->cur_time + t1 + samples_to_ts(c.peak, kSubRate);
    const SoftFrame* chosen = choose(&c, frames, &verdict, when);
    if (c.clipped && !adsb_taken(verdict)) chosen = choose_clipped(&c, frames, &verdict, when, chosen);
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
    ctx->stats.clipped_ok += c.clipped;
    slice_accepted(ctx, start, c.off, toa, r);
    count_accepted(toa);
    // A short reply lasts 64 us: a frame may follow it at once (the
    // classic slicer passes over 120 us after every format above 7).
    const uint32_t frame_us = adsb_frame_bytes(r) == 7 ? 64 : 120;
    return fine_in + static_cast<int32_t>(static_cast<uint64_t>(frame_us) * rate / 1000000);
}
