// Table-driven Mode S parity and the syndromes of bit errors, for the frame
// check and the error correction of the default demodulator.
//
// Owns its tables (constant, built at compile time). Promises: the same
// parity as the bit-by-bit adsb_parity for every frame.
#pragma once

#include <cstdint>

inline constexpr int kLongFrameBits = 112;
inline constexpr int kShortFrameBits = 56;

/// The 24-bit Mode S parity (generator 0x1FFF409) over the first `n_bits`
/// data bits of `frame`, a multiple of 8 (32 or 88): a byte at a time
/// from a 256-entry table; equal to adsb_parity.
uint32_t parity_bytes(const uint8_t* frame, int n_bits);

/// The syndrome of a frame of `frame_bits` (56 or 112): its computed parity
/// xor its 24-bit parity field; 0 for a clean frame.
uint32_t parity_syndrome(const uint8_t* frame, int frame_bits);

/// The syndrome that an error in bit `bit` (0 = first transmitted) of a
/// frame of `frame_bits` adds: errors add their syndromes by xor.
uint32_t bit_syndrome(int bit, int frame_bits);

/// The bit of a frame of `frame_bits` whose single error gives syndrome `s`,
/// or -1 when no single error does.
int32_t syndrome_bit(uint32_t s, int frame_bits);
