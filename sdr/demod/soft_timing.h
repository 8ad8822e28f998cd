// The default demodulator's timing: the fine-timing peak refined to 1/64
// of a 6 MHz sample by a parabola through it and its neighbours (the bits'
// timing), and the time of arrival from the centroid of the preamble's
// pulses at the sample rate (one pass over the pairs of pulses, two over
// single ones at 2.4 MS/s and up).
//
// Owns nothing. Promises: integer only; positions in fixed point as named
// (1/64 of a 6 MHz sample, 1/256 of an input sample).
#pragma once

#include <cstdint>

inline constexpr int kSubSteps = 64;  ///< the fine peak in 1/64 of a 6 MHz sample

/// The fine-timing peak at 1/64 sample: the parabola through the
/// correlations at the peak `off` and its neighbours (near[0..2]); off * 64
/// when they make no maximum.
int32_t refine_peak(const int32_t* near, int32_t off);

/// The time of arrival: the centre of the first preamble pulse in 1/256 of
/// an input sample after x[0] (x[0..n_have) the exact magnitudes at `rate`),
/// from the preamble's centroid, its windows placed first by `guess` (the
/// fine peak, same units), then by the estimate before; `guess` itself when
/// the centroid lies more than 0.25 us from it (drawn off by noise or
/// another frame) or the windows leave the samples.
int64_t toa_centre(const int16_t* x, int n_have, uint32_t rate, int64_t guess);
