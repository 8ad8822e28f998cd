// The default demodulator's fine peak and preamble centroid.
#include "sdr/demod/soft_timing.h"

#include <algorithm>

namespace {

constexpr int kPairPasses = 1;   // centroid passes over pairs of pulses
constexpr int kPulsePasses = 2;  // then over single pulses

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

}  // namespace

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
