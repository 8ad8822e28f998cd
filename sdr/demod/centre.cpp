// The I/Q centre: seed, running mean, the whole centre with hysteresis.
#include "sdr/demod/centre.h"

#include <algorithm>

namespace {

/// The seed: the median of the means of the block's 16 runs of 256 pairs
/// (a strong frame draws one or two of them off, not the median), 1/65536
/// LSB.
int32_t seed_of(const uint8_t* block, int axis) {
    constexpr int kRuns = 16;
    constexpr int kRun = kBlockPairs / kRuns;
    int32_t mean[kRuns];
    for (int r = 0; r < kRuns; r++) {
        int32_t sum = 0;
        for (int k = r * kRun; k < (r + 1) * kRun; k++) sum += block[2 * k + axis];
        mean[r] = sum * (65536 / kRun);
        // Insertion: mean[0..r] in order.
        for (int j = r; j > 0 && mean[j - 1] > mean[j]; j--) std::swap(mean[j - 1], mean[j]);
    }
    return (mean[kRuns / 2 - 1] + mean[kRuns / 2]) / 2;
}

/// est moved towards the block's mean `x` by 1/n of the difference, rounded.
int32_t towards(int32_t est, int32_t x, int32_t n) {
    const int32_t d = x - est;
    return est + (d >= 0 ? (d + n / 2) / n : -((-d + n / 2) / n));
}

/// The whole centre for `est`: unchanged while the estimate lies within the
/// hysteresis of it, else one step towards it; within 127 +- kCentreRange.
uint8_t follow(uint8_t whole, int32_t est) {
    const int32_t at = static_cast<int32_t>(whole) * 65536;
    int32_t w = whole;
    if (est > at + kCentreHysteresis) w++;
    if (est < at - kCentreHysteresis) w--;
    return static_cast<uint8_t>(std::clamp(w, 127 - kCentreRange, 127 + kCentreRange));
}

/// The whole centre nearest `est`, within range.
uint8_t nearest(int32_t est) {
    return static_cast<uint8_t>(
        std::clamp((est + 32768) >> 16, 127 - kCentreRange, 127 + kCentreRange));
}

}  // namespace

Centre centre_track(CentreState* c, const uint8_t* block) {
    if (c->blocks == 0) {
        c->est_i = seed_of(block, 0);
        c->est_q = seed_of(block, 1);
        c->track_i = nearest(c->est_i);
        c->track_q = nearest(c->est_q);
    } else {
        // 64 pairs: their sums are the block's means in 1/64 LSB. The
        // mean of the blocks so far while they are few (at least 64: one
        // block with a strong frame barely moves it), then a running mean.
        int32_t si = 0;
        int32_t sq = 0;
        for (int k = 0; k < kBlockPairs; k += kCentreStride) {
            si += block[2 * k];
            sq += block[2 * k + 1];
        }
        static_assert(kBlockPairs / kCentreStride == 64, "the sums are means in 1/64");
        const int32_t n = static_cast<int32_t>(
            std::clamp<uint32_t>(c->blocks + 1, kCentreFirstBlocks, 1U << kCentreShift));
        c->est_i = towards(c->est_i, si * 1024, n);
        c->est_q = towards(c->est_q, sq * 1024, n);
        const uint8_t ti = follow(c->track_i, c->est_i);
        const uint8_t tq = follow(c->track_q, c->est_q);
        c->moves += (ti != c->track_i) + (tq != c->track_q);
        c->track_i = ti;
        c->track_q = tq;
    }
    c->blocks++;
    return {c->track_i, c->track_q};
}

void centre_use(CentreState* c, Centre centre) {
    if (c->ready && c->use_i == centre.i && c->use_q == centre.q) return;
    for (int b = 0; b < 256; b++) {
        c->dist_i[b] = static_cast<uint8_t>(b >= centre.i ? b - centre.i : centre.i - b);
        c->dist_q[b] = static_cast<uint8_t>(b >= centre.q ? b - centre.q : centre.q - b);
    }
    c->use_i = centre.i;
    c->use_q = centre.q;
    c->ready = 1;
}
