// The default demodulator's error correction: a long frame whose parity
// fails is corrected by flipping some of its least confident bits, when
// exactly one such choice clears the syndrome.
//
// Owns nothing. Promises: a correction only when it is the only one within
// its reach; the caller decides whether to take it (the default slicer
// takes it only for an aircraft heard clean shortly before).
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
/// format and address.
SoftFix soft_correct(SoftFrame* f, const SoftReach& reach);
