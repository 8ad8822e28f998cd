// The default demodulator's slicer: every candidate of the block scan is
// decided into 112 bits with a confidence each, retried at neighbouring
// fine offsets when its parity fails, and corrected by the parity where the
// correction is unambiguous and names an aircraft heard recently.
#pragma once

#include <cstdint>

#include "include/context.h"

/// Demodulates the candidate whose first preamble pulse is at `start` (as
/// slice_frame) and commits at most one decoding of it to the frame check;
/// returns the number of input samples to pass over (never negative).
int32_t slice_frame_soft(Context* ctx, int32_t start, int32_t level);

/// One decoding of a candidate: the bits and, per bit, how far apart its
/// two chips were (0 = no telling).
struct SoftFrame {
    uint8_t bytes[14];
    uint16_t confidence[112];
};

/// How a failed frame was corrected.
enum SoftFix : int { SOFT_FIX_NONE = 0, SOFT_FIX_ONE_BIT = 1, SOFT_FIX_TWO_BITS = 2 };

/// Corrects a long frame whose parity fails by flipping one of its
/// `one_bit` least confident bits, or two of its `two_bit` least confident
/// ones, when exactly one such flip clears the syndrome; changes the bytes
/// and returns what it did, SOFT_FIX_NONE (bytes unchanged) otherwise.
/// The caller still has to check the result's format and address.
SoftFix soft_correct(SoftFrame* f, int one_bit, int two_bit);
