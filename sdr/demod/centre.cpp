// The I/Q centre: seed, running mean, the whole centre with hysteresis.
#include "sdr/demod/centre.h"

#include <algorithm>

namespace {

/// The mean of the bytes of histogram `hist` within kCentreWindow of
/// `around`, 1/65536 LSB; `around` itself (as a whole LSB) when none is.
int32_t window_mean(const uint16_t* hist, int around) {
    int64_t sum = 0;
    int64_t count = 0;
    for (int v = std::max(0, around - kCentreWindow); v <= std::min(255, around + kCentreWindow); v++) {
        sum += static_cast<int64_t>(hist[v]) * v;
        count += hist[v];
    }
    return count > 0 ? static_cast<int32_t>(sum * 65536 / count) : around * 65536;
}

/// The seed: the median of the block's bytes on one axis, then twice the
/// mean of the bytes within kCentreWindow of the last estimate, 1/65536 LSB.
/// Replies lie mostly beyond the window (their bytes do not draw the seed
/// off, even when they all have the same phase); the noise lies within it.
int32_t seed_of(const uint8_t* block, int axis) {
    uint16_t hist[256] = {};
    for (int k = 0; k < kBlockPairs; k++) hist[block[2 * k + axis]]++;
    int below = 0;
    int v = 0;
    while (below + hist[v] <= kBlockPairs / 2) below += hist[v++];
    int32_t est = v * 65536;
    for (int pass = 0; pass < 2; pass++) est = window_mean(hist, (est + 32768) >> 16);
    return est;
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
        // Every 64th pair; of them the bytes within kCentreWindow of the
        // estimate (the noise about the centre, not the replies), their
        // mean moved towards by 1/n: the mean of the blocks so far while
        // they are few (at least 64: one block barely moves it), then a
        // running mean.
        const int ci = (c->est_i + 32768) >> 16;
        const int cq = (c->est_q + 32768) >> 16;
        int32_t si = 0, ni = 0, sq = 0, nq = 0;
        for (int k = 0; k < kBlockPairs; k += kCentreStride) {
            const int bi = block[2 * k];
            const int bq = block[2 * k + 1];
            const bool in_i = bi >= ci - kCentreWindow && bi <= ci + kCentreWindow;
            const bool in_q = bq >= cq - kCentreWindow && bq <= cq + kCentreWindow;
            si += in_i ? bi : 0;
            ni += in_i;
            sq += in_q ? bq : 0;
            nq += in_q;
        }
        const int32_t n = static_cast<int32_t>(
            std::clamp<uint32_t>(c->blocks + 1, kCentreFirstBlocks, 1U << kCentreShift));
        if (ni > 0) c->est_i = towards(c->est_i, si * 65536 / ni, n);
        if (nq > 0) c->est_q = towards(c->est_q, sq * 65536 / nq, n);
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
