// The default demodulator's bits at the sample rate: a chip of 0.5 us
// covers 1.0 to 1.6 samples, so each sample holds shares of neighbouring
// chips. A bit's metric is sum d_n x_n, d_n the share of sample n in the
// bit's first chip less its share in the second (a matched filter); the
// shares the previous chip (known once the previous bit is decided) and
// half the next one add are taken out with the amplitude from the preamble
// (decision feedback). The metric's size is the bit's confidence. The
// shares repeat every five bits at most; they are tabulated per rate at 64
// phases of a sample.
//
// A preamble beyond full scale is not linear: a sample with a fifth of an
// on chip already clips. Its bits keep the matched filter but take the
// thresholds from a clipped model (a sample's level linear in its share of
// the chips that are on, up to the level inside the pulses), with the
// previous chip known and the next one on or off alike.
//
// Owns the table of the bits' shapes (static storage, built at the first
// candidate of a rate). Promises: integer only; the same bits and
// confidences with and without vectors.
#pragma once

#include <cstdint>

inline constexpr int kFrameBits = 112;  ///< bits of a long frame
inline constexpr int kBitWindow = 8;    ///< samples a bit meets, at most (5 at 3.2 MS/s)
inline constexpr int kClipModels = 6;   ///< plan_bits' models: linear, then five clipped ones

/// One decoding of a candidate: the bits and, per bit, how far apart its
/// two chips were (0 = no telling).
struct SoftFrame {
    uint8_t bytes[14];
    uint16_t confidence[kFrameBits];
};

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

/// How to decide the bits of a frame whose first preamble pulse is centred
/// at a given position: the bits' weights, which repeat after `period` bits
/// (a whole number of samples, `step`), and the amplitude.
struct BitPlan {
    int period;  ///< 1..5
    int step;    ///< samples per period
    int32_t amp; ///< pulse amplitude above the quiet level
    BitWeights w[5];
};

/// Plans the bits of the frame whose first preamble pulse is centred at
/// `pulse` (1/256 sample after x[0]); false when its samples would lie
/// outside x[0..n_max), or it has no amplitude. x must hold the preamble
/// and the quiet gap after it (8 us from the pulse). For a preamble that
/// clipped at full scale (`clip_model` 1 .. kClipModels - 1; 0 the linear
/// decisions) the decisions' thresholds come from a clipped model: a
/// sample's level linear in its share of the chips that are on, at most the
/// level inside the pulses; the slope from the pulses' edges (model 1,
/// within 1.25 to 2 times that level) or 2, 1.5, 3, 4 times it (models 2..5).
bool plan_bits(const int16_t* x, int n_max, uint32_t rate, int64_t pulse, int clip_model,
               BitPlan* plan);

/// The first sample after the bits before `to_bit` (what x must hold).
int plan_end(const BitPlan& plan, int to_bit);

/// Decides bits from_bit..to_bit-1 (multiples of 8) by their weights (a
/// matched filter at the sample rate) with decision feedback: the previous
/// chip is known once the previous bit is decided (the chip before bit 0 is
/// the quiet gap). The confidence is the metric's size. Decoding from bit 0
/// clears the frame's bytes first.
void decide_bits(const int16_t* x, const BitPlan& plan, int from_bit, int to_bit, SoftFrame* f);
