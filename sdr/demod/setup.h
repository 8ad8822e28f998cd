// The demodulator's set-up: the sample rate locked to the 6 MHz working
// rate, the lengths the block scan works with, and the tables both
// demodulators read.
//
// Rates: L/M = 6 MHz / samp_rate, in lowest terms (5/2 at 2.4 MS/s: five
// 6 MHz samples per two input samples; 3/1 at 2.0 MS/s; 15/8 at 3.2 MS/s).
// A rate whose L would exceed 30 is rounded to a multiple of 200 kHz first.
// Mode S chips last 0.5 us, three 6 MHz samples.
//
// Owns the tables below (static storage, built by demod_setup once per
// process, read-only afterwards; radio_init runs it). Promises: every table
// is integer and the same on every machine; demod_setup prints the two
// templates and the filter on standard error, as their builders do.
#pragma once

#include <cstdint>

#include "include/context.h"
#include "sdr/demod/scan_kernels.h"
#include "sdr/signal_proc.h"

inline constexpr uint32_t kWorkRate = 6000000;  ///< the slicers' rate: 6 samples per us
inline constexpr int kTemplateMax = 58;         ///< template capacity
inline constexpr int kFineEntries = 58;         ///< 9.5 us + 1 sample at 6 MHz
inline constexpr int kBranchTaps = 14;          ///< taps of one polyphase branch
inline constexpr int kBranchPadded = 16;        ///< a branch padded with zeros for vectors
inline constexpr int kMaxBranches = 30;         ///< L at most (420 taps / 14)
inline constexpr int kFineWindow = 64;          ///< a fine correlation reads 64 samples
inline constexpr int kAbsSpan = 141;            ///< |b - c| of a byte, c within 127 +- 12: 0..140

/// Sample counts of the block scan at one rate; at(x) = (x * rate + 500000) / 10^6.
struct DemodLengths {
    int32_t len1;       ///< at(1 us)
    int32_t len5;       ///< 5 * len8 / 8
    int32_t len8;       ///< at(8 us)
    int32_t len10;      ///< at(10 us): entries of the coarse template
    int32_t len12;      ///< at(12 us)
    int32_t len64;      ///< at(64 us)
    int32_t seg;        ///< len64 / 6: one flatness segment
    int32_t long_skip;  ///< len64 / 3
};

/// The tables of the rate demod_setup last ran for.
struct DemodTables {
    int16_t filter[kMaxFilterTaps];         ///< filter_taps taps, polyphase order (Q12)
    int32_t coarse_template[kTemplateMax];  ///< len10 entries at the sample rate, -255..255
    int32_t fine_template[kTemplateMax];    ///< 58 entries at 6 MHz, -255..255
    /// Branch b of the filter: its 14 taps, then two zeros (vector loads of 16).
    alignas(16) int16_t branches[kMaxBranches][kBranchPadded];
    /// The fine template at [6, 6 + 58), zeros around it: the correlation at
    /// shift k (-6..5) multiplies fine[i] by fine_window[6 - k + i], i < 64.
    alignas(16) int16_t fine_window[kFineWindow + 12];
    /// The coarse template at [kCoarseShift, kCoarseShift + len10), zeros
    /// around it: the correlation at shift k is the 48-sample dot product of
    /// coarse_window[kCoarseShift - k + i] with mag[p + i].
    alignas(16) int16_t coarse_window[kCoarseShift + kCoarseWindow + 16];
    /// exact[a * kAbsSpan + b]: the exact magnitude of a pair whose bytes lie
    /// a and b from their centres (the magnitude depends on I^2 and Q^2
    /// only): exact_of_distances(a, b), 0..25342 (0..23170 at the nominal
    /// centre 127).
    int16_t exact[kAbsSpan * kAbsSpan];
    bool ready;  ///< true once demod_setup has run
};

/// Locks samp_rate to the 6 MHz working rate (rounding it when needed),
/// sets resample_up, resample_down, filter_taps and history_len, builds the
/// tables and picks the vector kernels. Ends the process on an inconsistency
/// (which the rates the command line accepts never give).
void demod_setup(Context* ctx);

/// The lengths of the block scan at `samp_rate`.
DemodLengths demod_lengths(uint32_t samp_rate);

/// Exact magnitude of one pair: sqrt(I^2 + Q^2) with I = (b0 - 127) * 128,
/// Q = (b1 - 127) * 128, by the integer Newton iteration; 0..23170.
int16_t exact_magnitude(uint8_t b0, uint8_t b1);

/// The same for I = a * 128, Q = b * 128 (a, b the bytes' distances from
/// their centres, 0..kAbsSpan - 1).
int16_t exact_of_distances(int32_t a, int32_t b);

namespace demod_detail {
extern DemodTables tables;  ///< written by demod_setup only
}  // namespace demod_detail

/// The tables, read-only.
inline const DemodTables& demod_tables() {
    return demod_detail::tables;
}
