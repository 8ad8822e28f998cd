// The default slicer: every candidate of the block scan is decided into 112
// bits with a confidence each, decoded again at its preamble's centroid and
// at neighbouring fine offsets when its parity fails, and corrected by the
// parity: a squitter of an aircraft heard with clean parity recently, or
// (one bit of a DF17) of one not heard so when a second decoding agrees;
// in busy traffic only when the bits flipped were doubtful enough. At most
// two real errors are corrected to the frame sent; beyond that a
// correction may be wrong, which these gates make rare (measured on
// dense synthetic traffic, not guaranteed).
//
// Owns nothing of its own between candidates (the bit shapes are
// soft_bits', the order history slice_history's). Promises: at most one
// decoding of a candidate reaches the frame check's commit (adsb_commit),
// so every candidate is counted once and a frame is sent at most once.
#pragma once

#include <cstdint>

#include "include/context.h"

/// Demodulates the candidate whose first preamble pulse is at `start` (as
/// slice_frame) and commits at most one decoding of it to the frame check;
/// returns the number of input samples to pass over counted from `start`
/// (never negative): a taken frame's length, at least 4.5 us after a
/// rejected candidate that read a format the air carries, else only the
/// shifts its fine timing searched.
int32_t slice_frame_soft(Context* ctx, int32_t start, int32_t level);
