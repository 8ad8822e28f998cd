// The block scan, shared by both demodulators: the cheap magnitudes of a
// block, the trigger level, and per trigger the funnel of tests, cheapest
// first; a trigger that passes every test is handed to the mode's slicer.
//
//   trigger: mag[p + 3] reaches the threshold (one compare per sample)
//   -> second pulse: another pulse within 5 us (default mode only)
//   -> data level: the mean over 12..64 us reaches half the threshold
//   -> ratio: the preamble is not too strong for the data
//   -> flatness: five segments of the data within steps of 5 % of its mean
//   -> correlation: the preamble template's best shift and the score of
//      ratio and correlation
//   -> slicer -> frame check
//
// Each rejection passes over what the test says cannot hold a preamble:
// a third of 64 us after a data level too low, 5/8 of 8 us after the other
// tests. What the two modes do differently is one ScanPolicy each.
//
// Buffers: ctx->samples and ctx->mag hold history_len pairs (128 us) of the
// previous block in front of the current one. The scan walks positions
// 0..4095 of the buffer, each looking ahead at most history_len samples,
// so every read stays below 4096 + history_len; the last history_len pairs
// of a block become the next one's history.
//
// Magnitudes are measured from 127 in the classic mode and from the I/Q
// centre the default mode estimates (sdr/demod/centre), taken per block.
//
// Cost: per sample one magnitude (scan_kernels, branch-free) and the
// trigger search. The running data window and the peak are defined by a
// per-step update, but they are read only at trigger positions and at the
// block end, so they are computed there: the window by the same update from
// the last position it was known at, or afresh when that is shorter (the
// sums are exact, so both give the same value), the peak as one maximum
// over the magnitudes that entered the window during the block.
//
// Owns the lengths of the rate last scanned and their divisors (static
// storage). Promises: the classic policy is the specified scan, to the bit;
// ctx->skip, window_sum, peak_mag, trigger_level and the history carry
// over from block to block exactly as the step-by-step scan would leave them.
#pragma once

#include <cstdint>

#include "include/context.h"

/// A slicer: demodulates the candidate whose first preamble pulse is at
/// `start` with data level `level`; returns input samples to pass over.
using SliceFn = int32_t (*)(Context* ctx, int32_t start, int32_t level);

/// How the trigger level follows the signal.
enum ScanLevelRule : int32_t {
    /// Six times the block's mean magnitude, one step a block (busy traffic
    /// raises it far above the noise).
    SCAN_LEVEL_MEAN = 0,
    /// Six times the mean of the noise (scan_noise_target), estimated every
    /// fourth block; taken at once at the first block of an attempt, then
    /// one step a block.
    SCAN_LEVEL_NOISE = 1,
};

/// What one mode does differently in the scan.
struct ScanPolicy {
    SliceFn slicer;           ///< where the candidates go
    ScanLevelRule level;      ///< how the trigger level follows the signal
    int32_t threshold_num;    ///< the trigger threshold: trigger_level * num / den
    int32_t threshold_den;
    bool second_pulse;        ///< a trigger needs another pulse within 5 us
    bool short_shifts;        ///< coarse shifts stop at 2.5 us (else at len8 / 2 - 1)
    int32_t score_allowance;  ///< added to the score test's bound, 0..
    bool skip_from_start;     ///< the slicer's result counts from the candidate's start
                              ///< (at least one sample); else from the trigger, at least len5
    bool track_centre;        ///< magnitudes from the estimated I/Q centre (else from 127)
};

/// The policy of the classic mode (-c) when `classic`, else of the default mode.
const ScanPolicy* scan_policy(bool classic);

/// Scans the 4096 pairs at ctx->block (an even address, behind the
/// history_len pairs of history at the head of ctx->samples wherever the
/// block lies) with `policy`; returns the sum of the slicer's results
/// (never negative).
int32_t scan_block(Context* ctx, const ScanPolicy* policy);

/// The default mode's trigger level for a block of 4096 magnitudes whose
/// sum is `total`: six times the mean magnitude of the noise, estimated from
/// the median of a sample of the block (the classic level follows the mean,
/// which busy traffic raises); at least an eighth of the classic level.
int32_t scan_noise_target(const uint8_t* mag, int32_t total);
