// The classic slicer (-c): one decision per candidate from the 6 MHz
// resampled magnitudes, no retry, no correction.
//
// From the candidate's start it takes 128 us of exact magnitudes, resamples
// them to 6 MHz, finds the first preamble pulse by correlation with the
// 6 MHz template at shifts -1..0.8 us, times the frame by it and decides
// each bit by comparing its two chips (a 1 has its pulse in the first).
//
// Owns nothing (the order history is slice_history's). Promises: the
// arithmetic of the classic demodulator, which stays exactly as it is.
#pragma once

#include <cstdint>

#include "include/context.h"

/// Demodulates the candidate whose first preamble pulse is at `start`
/// (0..4095 in ctx->samples) with data level `level`, hands it to the
/// frame check; returns the number of input samples to pass over (never
/// negative): the fine offset, plus the frame's duration when accepted.
int32_t slice_frame(Context* ctx, int32_t start, int32_t level);
