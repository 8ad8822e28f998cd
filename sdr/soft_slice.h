// The default demodulator's slicer: every candidate of the block scan is
// decided into 112 bits with a confidence each, retried at neighbouring
// fine offsets when its parity fails, and corrected by the parity where the
// correction is unambiguous and names an aircraft heard recently.
#pragma once

#include <cstdint>

#include "include/context.h"
#include "sdr/soft_correct.h"

/// Demodulates the candidate whose first preamble pulse is at `start` (as
/// slice_frame) and commits at most one decoding of it to the frame check;
/// returns the number of input samples to pass over counted from `start`
/// (never negative): a taken frame's length, at least 4.5 us after a
/// rejected candidate that read a format the air carries, else only the
/// shifts its fine timing searched.
int32_t slice_frame_soft(Context* ctx, int32_t start, int32_t level);

/// The default mode's trigger level for a block of 4096 magnitudes whose
/// sum is `total`: six times the mean magnitude of the noise, estimated from
/// the median of a sample of the block (the classic level follows the mean,
/// which busy traffic raises); at least an eighth of the classic level.
int32_t soft_trigger_target(const uint8_t* mag, int32_t total);

