// The default demodulator's bit shapes, plans and decisions.
#include "sdr/demod/soft_bits.h"

#include <algorithm>
#include <cstring>

#include "sdr/demod/soft_kernels.h"
#include "sdr/log.h"

namespace {

constexpr char kModule[] = "sdr/demod/soft_bits";

/// The overlap of sample n, which covers [n - 1/2, n + 1/2), with
/// [from, from + len); positions and result in 1/256 of a sample.
int32_t overlap(int n, int64_t from, int64_t len) {
    const int64_t a = std::max<int64_t>(from, n * 256 - 128);
    const int64_t b = std::min<int64_t>(from + len, n * 256 + 128);
    return b > a ? static_cast<int32_t>(b - a) : 0;
}

/// The unscaled weights of one bit whose first chip starts `chip` (1/256
/// sample) after sample 0: d, mid and prev before the amplitude (mid and
/// prev in Q16).
struct BitShape {
    int32_t first;
    int32_t n;
    int16_t d[kBitWindow];
    int32_t mid;
    int32_t prev;
    // Each sample's shares (1/256 of a sample) in the bit's first and second
    // chip, the next one and the previous one: the clipped model's input.
    int16_t s1[kBitWindow];
    int16_t s2[kBitWindow];
    int16_t s_next[kBitWindow];
    int16_t s_prev[kBitWindow];
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
        w.s1[i] = static_cast<int16_t>(s1);
        w.s2[i] = static_cast<int16_t>(s2);
        w.s_next[i] = static_cast<int16_t>(overlap(n, chip + 2 * len, len));
        w.s_prev[i] = static_cast<int16_t>(overlap(n, chip - len, len));
        mid += static_cast<int64_t>(w.d[i]) * (s1 + s2 + overlap(n, chip + 2 * len, len)) / 2;
        prev += static_cast<int64_t>(w.d[i]) * overlap(n, chip - len, len);
    }
    w.mid = static_cast<int32_t>(mid);
    w.prev = static_cast<int32_t>(prev);
    return w;
}

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

/// The level of a clipped preamble: `top` its samples' mean well inside the
/// pulses (what full scale leaves of them), `lin` the linear amplitude the
/// samples at the pulses' edges show (a sample with a small share of a pulse
/// is not yet clipped). Exact-magnitude units.
struct ClipLevel {
    int32_t top;
    int32_t lin;
};

/// A sample's magnitude in the clipped model: linear in its share `e` of
/// chips that are on (1/256 sample), at most `top`.
int32_t clipped_level(const ClipLevel& c, int32_t e) {
    return static_cast<int32_t>(std::min<int64_t>(static_cast<int64_t>(c.lin) * e / 256, c.top));
}

/// The clipped preamble's levels from the samples pre_lo..pre_hi, its
/// pulses at 0, 1, 3.5 and 4.5 us from `lead` (1/256 sample).
ClipLevel clip_level(const int16_t* x, int pre_lo, int pre_hi, int64_t lead, int64_t chip,
                     int model) {
    int64_t top = 0;
    int top_n = 0;
    for (int n = pre_lo; n <= pre_hi; n++) {
        int32_t e = 0;
        for (int k : {0, 2, 7, 9}) e += overlap(n, lead + k * chip, chip);
        if (e >= 192) {
            top += x[n];
            top_n++;
        }
    }
    ClipLevel c;
    c.top = top_n > 0 ? static_cast<int32_t>(top / top_n) : 0;
    // The edges: samples with a small share and a level well below the top.
    int32_t est[16];
    int m = 0;
    for (int n = pre_lo; n <= pre_hi && m < 16; n++) {
        int32_t e = 0;
        for (int k : {0, 2, 7, 9}) e += overlap(n, lead + k * chip, chip);
        if (e >= 16 && e <= 200 && x[n] * 4 < c.top * 3) est[m++] = x[n] * 256 / e;
    }
    std::sort(est, est + m);
    // Model 1: the edges' slope, 1.25 to 2 times the top; models 2 to 5:
    // 2, 1.5, 3 and 4 times the top (eighths by model).
    constexpr int32_t kSlope8[kClipModels] = {0, 16, 16, 12, 24, 32};
    c.lin = model == 1 && m > 0 ? std::clamp(est[m / 2], c.top * 5 / 4, 2 * c.top)
                                : c.top * kSlope8[model] / 8;
    return c;
}

/// mid and prev of one bit in the clipped model: the metric's threshold
/// halfway between the two hypotheses, the next chip on or off alike, with
/// the previous chip off (mid) and on (mid + prev).
void clipped_weights(const BitShape& b, const ClipLevel& c, int32_t* mid, int32_t* prev) {
    int64_t off = 0;
    int64_t on = 0;
    for (int i = 0; i < b.n; i++) {
        for (int p = 0; p < 2; p++) {
            const int32_t sp = p ? b.s_prev[i] : 0;
            int64_t sum = 0;
            for (int nx = 0; nx < 2; nx++) {
                const int32_t sn = nx ? b.s_next[i] : 0;
                sum += clipped_level(c, b.s1[i] + sp + sn) + clipped_level(c, b.s2[i] + sp + sn);
            }
            (p ? on : off) += b.d[i] * sum / 4;
        }
    }
    *mid = static_cast<int32_t>(off);
    *prev = static_cast<int32_t>(on - off);
}

}  // namespace

bool plan_bits(const int16_t* x, int n_max, uint32_t rate, int64_t pulse, int clip_model,
               BitPlan* plan) {
    VX_ASSERT(kModule, clip_model >= 0 && clip_model < kClipModels);
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
    const bool clipped = clip_model != 0;
    const ClipLevel clip =
        clipped ? clip_level(x, pre_lo, pre_hi, lead, chip, clip_model) : ClipLevel{};
    for (int p = 0; p < t.period; p++) {
        BitWeights& w = plan->w[p];
        w.first = whole + row[p].first;
        w.n = row[p].n;
        memcpy(w.d, row[p].d, sizeof w.d);
        if (clipped && clip.top > 0) {
            clipped_weights(row[p], clip, &w.mid, &w.prev);
        } else {
            w.mid = static_cast<int32_t>((static_cast<int64_t>(row[p].mid) * plan->amp) >> 8);
            w.prev = static_cast<int32_t>((static_cast<int64_t>(row[p].prev) * plan->amp) >> 8);
        }
        w.mid_on = w.mid + w.prev;
    }
    const BitWeights& tail = plan->w[(kFrameBits - 1) % plan->period];
    return plan->w[0].first >= 0 &&
           tail.first + tail.n + plan->step * ((kFrameBits - 1) / plan->period) <= n_max;
}

int plan_end(const BitPlan& plan, int to_bit) {
    const int u = to_bit - 1;
    const BitWeights& w = plan.w[u % plan.period];
    return w.first + w.n + plan.step * (u / plan.period);
}

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
            // Q8, |m| < 8 * 256 * 23170
            const int32_t m = bit_dot(b.d, s, b.n) - (prev_on ? b.mid_on : b.mid);
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
