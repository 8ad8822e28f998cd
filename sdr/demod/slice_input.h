// The slice input, shared by both slicers: the exact magnitudes of one
// candidate's pairs and their resampling to 6 MHz, computed only as far as
// the outputs a slicer asks for need them, and the fine correlations of the
// 6 MHz samples with the preamble template.
//
// 6 MHz output n lies at input time n * M / L after the candidate's first
// input (no delay): the polyphase resampler of signal_proc with the set-up's
// filter, computed output by output (slice_kernels).
//
// Owns nothing beyond the SliceInput a slicer keeps on its stack. Promises:
// every output equals what resample() gives over the candidate's whole
// 128 us, whichever outputs were asked for first and in what order.
#pragma once

#include <cstdint>

#include "include/context.h"
#include "sdr/demod/setup.h"

/// Resampled samples per candidate: 128 us at 6 MHz plus one (768 at 2.4
/// MS/s), for the largest history.
inline constexpr int kSliceResampled = kMaxHistory * 30 / 13 + 1;
inline constexpr int kSliceFrontPad = 16;   ///< zeros in front of a candidate's magnitudes
inline constexpr int kFineShifts = 12;      ///< fine-timing shifts k = -6..5
inline constexpr int kSliceInputs = kMaxHistory + 32;  ///< a candidate's inputs, at most

/// The exact magnitudes of one candidate's inputs from `start`, computed as
/// far as the resampled outputs asked for so far need them.
struct SliceInput {
    const Context* ctx;
    int32_t start;     ///< the candidate's first sample in ctx->samples, 0..4095
    int32_t count;     ///< inputs from start: history_len (128 us) for the classic slicer
    int32_t have;      ///< magnitudes computed so far
    int32_t produced;  ///< resampled outputs the inputs give (capped); later ones are 0
    const uint8_t* dist_i;  ///< |b - centre| of the I bytes (ctx->centre, 127 before a scan)
    const uint8_t* dist_q;  ///< of the Q bytes
    alignas(16) int16_t buf[kSliceFrontPad + kSliceInputs + kBranchPadded];
};

/// Starts the magnitudes of the `count` inputs from `start` (nothing
/// computed yet); start + count must not pass the end of the block.
void slice_input_init(SliceInput* in, const Context* ctx, int32_t start, int32_t count);

/// Computes the exact magnitudes up to input `need` (at most count):
/// in->buf[kSliceFrontPad + i] for i < need.
void slice_input_need(SliceInput* in, int need);

/// How many bytes of the inputs [from, to) from the candidate's start lie
/// at full scale (0 or 255): a preamble that clips is not linear.
int slice_clipped_bytes(const SliceInput& in, int from, int to);

/// The exact magnitudes computed so far: [0, in->have).
inline const int16_t* slice_exact(const SliceInput& in) {
    return in.buf + kSliceFrontPad;
}

/// The 6 MHz outputs fine[first + i * stride], i < count, exactly as
/// resample() over the candidate's whole 128 us gives them (0 beyond them).
void slice_resample(SliceInput* in, int16_t* fine, int first, int count, int stride);

/// The fine-timing correlations of fine[0..64) with the 6 MHz template at
/// shifts k = -6..5: sums[k + 6], 32-bit wrapping sums, not yet divided by
/// the template's 58 entries.
void fine_correlations(const int16_t* fine, int32_t* sums);

/// The correlation of the 6 MHz samples at[0..64) with the template whose
/// origin is at[0] (its first pulse at at[6]); a 32-bit wrapping sum.
int32_t fine_correlation(const int16_t* at);
