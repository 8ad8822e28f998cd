// The I/Q centre of the default demodulator: a running mean of the I and
// of the Q bytes, followed slowly (a time constant of 1024 blocks, 1.7 s at
// 2.4 MS/s), and the whole centre the magnitudes of a block are measured
// from, which moves one step at a time and only when the estimate lies
// more than 3/4 LSB from it (a dongle's 127.5 does not flip it to and fro).
//
// The estimate is seeded from the first block of an attempt (the median of
// its bytes, then twice the mean of the bytes within 16 LSB of it), then
// takes every 64th pair of each block, of them the bytes within 16 LSB of
// the estimate (the noise about the centre: replies lie mostly beyond,
// and do not draw it off even when they all have the same phase), as the
// mean of the blocks so far while they are fewer than 1024 (but weighing
// the seed as 64 blocks), then as a running mean. The whole centre stays
// within 127 +- 12.
//
// Owns the CentreState's fields (ctx->centre). Promises: integer only, the
// same on every machine; the distance tables change only when the whole
// centre does, never per block.
#pragma once

#include <cstdint>

#include "include/context.h"
#include "sdr/demod/scan_kernels.h"

inline constexpr int32_t kCentreRange = 12;   ///< the whole centre: 127 - 12 .. 127 + 12
inline constexpr int kCentreShift = 10;       ///< time constant 2^10 blocks
inline constexpr int kCentreStride = 64;      ///< every 64th pair of a block is taken
inline constexpr uint32_t kCentreFirstBlocks = 64;  ///< the seed weighs as 64 blocks
inline constexpr int kCentreWindow = 16;      ///< bytes within 16 LSB of the estimate are taken
inline constexpr int32_t kCentreHysteresis = 3 * 65536 / 4;  ///< 3/4 LSB

/// Follows the estimate with the block of 4096 pairs at `block` and returns
/// the whole centre it settled on (the first block of an attempt seeds it).
Centre centre_track(CentreState* c, const uint8_t* block);

/// Measures the current block from `centre`: the distance tables are
/// rebuilt when it differs from the last one.
void centre_use(CentreState* c, Centre centre);
