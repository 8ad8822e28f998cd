// The default demodulator's error correction: a long frame whose parity
// fails is corrected by flipping some of its least confident bits, when
// exactly one such choice within reach clears the syndrome.
//
// Owns nothing. Guarantees only this: a frame with at most two real errors
// (within reach) is corrected to the frame sent, since no other set of up
// to two bits shares their syndrome (the code's distance of 6). A frame
// with three or more real errors (noise, or another reply overlapping it)
// may be "corrected" to a frame never sent, in one to four bits, whenever
// a set within reach clears its syndrome by chance; the sets searched are
// few against the 2^24 syndromes, so this is rare, not impossible. How
// rare, and what the caller must add to keep wrong frames out (the
// default slicer: an aircraft heard clean shortly before, soft_doubt, a
// second decoding agreeing), is measured, not promised here.
#pragma once

#include <cstdint>

#include "sdr/demod/soft_bits.h"

/// How a failed frame was corrected: the number of bits flipped.
enum SoftFix : int {
    SOFT_FIX_NONE = 0,
    SOFT_FIX_ONE_BIT = 1,
    SOFT_FIX_TWO_BITS = 2,
    SOFT_FIX_THREE_BITS = 3,
    SOFT_FIX_FOUR_BITS = 4,
};

/// How far the correction looks: one error among the `one_bit` least
/// confident bits, two among the `two_bit`, three among the `three_bit`,
/// four among the `four_bit` least confident (0: that many errors are not
/// tried; at most 112, 112, 16 and 16).
struct SoftReach {
    int one_bit;
    int two_bit;
    int three_bit;
    int four_bit;
};

/// Corrects a long frame whose parity fails by the fewest flips within
/// `reach` that clear the syndrome, when exactly one choice of that many
/// does. Changes the bytes and returns what it did, SOFT_FIX_NONE
/// (bytes unchanged) otherwise. The caller still has to check the result's
/// format and address, and whether to trust it (see the head comment).
SoftFix soft_correct(SoftFrame* f, const SoftReach& reach);

/// How much a correction is to be doubted: the largest confidence among
/// the bits in which `fixed` (14 bytes) differs from the frame as
/// `decided`, over the median confidence of its 112 bits, in %. A real
/// error is a bit decided with little confidence; a set that cleared the
/// syndrome by chance often takes a bit decided nearly as surely as the
/// rest. 0 when nothing differs.
int32_t soft_doubt(const SoftFrame& decided, const uint8_t* fixed);
