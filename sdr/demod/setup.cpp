// The demodulator's set-up: the rate, the filter, the templates and the
// tables derived from them for the kernels.
#include "sdr/demod/setup.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "sdr/demod/scan_kernels.h"
#include "sdr/log.h"

namespace demod_detail {
constinit DemodTables tables = {};
}  // namespace demod_detail

namespace {

constexpr char kModule[] = "sdr/demod/setup";
constexpr int32_t kFineScale = 24576;  // 6.0 samples per us, Q12

uint32_t gcd(uint32_t a, uint32_t b) {
    while (b != 0) {
        uint32_t t = a % b;
        a = b;
        b = t;
    }
    return a;
}

/// Samples in x us at `rate`, rounded to nearest.
int32_t at_us(uint32_t x, uint32_t rate) {
    return static_cast<int32_t>((static_cast<uint64_t>(x) * rate + 500000) / 1000000);
}

/// L, M, the taps and the history of the rate; the rate rounded to a
/// multiple of 200 kHz when its gcd with 6 MHz is small.
void lock_rate(Context* ctx) {
    VX_ASSERT(kModule, ctx->samp_rate >= 2000000 && ctx->samp_rate <= 3200000);
    uint32_t g = gcd(ctx->samp_rate, kWorkRate);
    if (g < 200000) {
        uint32_t k = (ctx->samp_rate + 100000) / 200000;
        ctx->samp_rate = (k * kWorkRate + 15) / 30;
        g = gcd(ctx->samp_rate, kWorkRate);
    }
    ctx->resample_up = (g / 2 + kWorkRate) / g;
    ctx->resample_down = (g / 2 + ctx->samp_rate) / g;
    VX_ASSERT(kModule, static_cast<uint64_t>(ctx->resample_down) * kWorkRate / ctx->resample_up ==
                           ctx->samp_rate);
    ctx->filter_taps = kBranchTaps * ctx->resample_up;
    VX_ASSERT(kModule, ctx->filter_taps <= static_cast<uint32_t>(kMaxFilterTaps));
    ctx->history_len = static_cast<uint32_t>(static_cast<uint64_t>(ctx->samp_rate) * 128 / 1000000);
}

void build_exact_table(DemodTables* t) {
    for (int a = 0; a < kAbsSpan; a++) {
        for (int b = 0; b <= a; b++) {
            // Pairs at distance a and b from their centres, symmetric in a, b.
            const int16_t m = exact_of_distances(a, b);
            t->exact[a * kAbsSpan + b] = m;
            t->exact[b * kAbsSpan + a] = m;
        }
    }
}

/// The kernels' copies of the filter and the templates, padded with zeros
/// to lengths a vector loop takes without a remainder.
void build_padded(DemodTables* t, const Context* ctx) {
    memset(t->branches, 0, sizeof t->branches);
    for (int b = 0; b < static_cast<int>(ctx->resample_up); b++) {
        for (int j = 0; j < kBranchTaps; j++) t->branches[b][j] = t->filter[b * kBranchTaps + j];
    }
    memset(t->fine_window, 0, sizeof t->fine_window);
    for (int j = 0; j < kFineEntries; j++) {
        VX_ASSERT(kModule, t->fine_template[j] >= INT16_MIN && t->fine_template[j] <= INT16_MAX);
        t->fine_window[6 + j] = static_cast<int16_t>(t->fine_template[j]);
    }
    const DemodLengths len = demod_lengths(ctx->samp_rate);
    VX_ASSERT(kModule, len.len1 + 1 <= kCoarseShift && len.len8 / 2 - 1 <= kCoarseShift);
    VX_ASSERT(kModule, len.len10 + len.len8 / 2 - 1 <= kCoarseWindow && len.len10 <= kTemplateMax);
    memset(t->coarse_window, 0, sizeof t->coarse_window);
    for (int j = 0; j < len.len10; j++) {
        VX_ASSERT(kModule, t->coarse_template[j] >= -4096 && t->coarse_template[j] <= 4096);
        t->coarse_window[kCoarseShift + j] = static_cast<int16_t>(t->coarse_template[j]);
    }
}

}  // namespace

DemodLengths demod_lengths(uint32_t samp_rate) {
    DemodLengths l;
    l.len1 = at_us(1, samp_rate);
    l.len8 = at_us(8, samp_rate);
    l.len5 = (5 * l.len8) / 8;
    l.len10 = at_us(10, samp_rate);
    l.len12 = at_us(12, samp_rate);
    l.len64 = at_us(64, samp_rate);
    l.seg = l.len64 / 6;
    l.long_skip = l.len64 / 3;
    return l;
}

int16_t exact_magnitude(uint8_t b0, uint8_t b1) {
    return exact_of_distances(b0 - 127, b1 - 127);  // squared: the sign does not matter
}

int16_t exact_of_distances(int32_t a, int32_t b) {
    const int32_t i = a * 128;  // |i| <= 140 * 128
    const int32_t q = b * 128;
    const uint32_t x = static_cast<uint32_t>(i * i + q * q);  // 0 or 16384 .. 6.5 * 10^8
    if (x == 0) return 0;
    // Newton's method from a shift estimate; the result is the first
    // iterate that does not decrease.
    const int bits = std::bit_width(x);
    uint32_t g = x >> std::max(bits / 2 - 1, 0);
    if (g == 0) return 0;
    for (;;) {
        const uint32_t y = (x / g + g) / 2;
        if (y == 0) return 0;
        if (y >= g) return static_cast<int16_t>(y);
        g = y;
    }
}

void demod_setup(Context* ctx) {
    DemodTables* const t = &demod_detail::tables;
    lock_rate(ctx);

    make_template(t->fine_template, kFineScale, kFineEntries);
    int32_t scale =
        static_cast<int32_t>((static_cast<uint64_t>(ctx->samp_rate) * 4096 + 500000) / 1000000);
    make_template(t->coarse_template, scale, static_cast<int>((ctx->samp_rate + 50000) / 100000));

    int32_t cut = 4096 / static_cast<int32_t>(ctx->resample_up);  // input Nyquist, Q12
    int taps = static_cast<int>(ctx->filter_taps);
    design_lowpass(cut, t->filter, taps);
    polyphase_reorder(t->filter, static_cast<int>(ctx->resample_up), taps);

    if (!t->ready) build_exact_table(t);
    build_padded(t, ctx);
    scan_kernels_setup();
    t->ready = true;
}
