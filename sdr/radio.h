// The demodulator: set-up, block processing, frame slicing; and the clock.
#pragma once

#include <cstdint>

#include "include/context.h"

/// The slicer's memory of earlier candidates; process-wide, zero at program
/// start, kept across connection attempts (a file read again from its start
/// has its replayed candidates refused), and started again only when the
/// capture time steps back (slice_history_restart).
struct SliceHistory {
    TimeStamp prev_start_time;  ///< coarse start of the last candidate that passed the order check
    TimeStamp prev_accept_toa;  ///< time of arrival of the last accepted frame
    uint64_t prev_record;       ///< n_records at the last accepted frame
    TimeStamp prev_block_time;  ///< cur_time at the last accepted frame
    int32_t prev_offset;        ///< fine offset of the last accepted frame, 0..11 (6 MHz samples)
    int32_t prev_start;         ///< start sample of the last accepted frame, 0..4095
    int32_t prev_df;            ///< adsb_check result of the last accepted frame
};

/// Sample counts derived from the sample rate; at(x) = (x * rate + 500000) / 10^6.
struct RadioLengths {
    int32_t len1;       ///< at(1 us)
    int32_t len5;       ///< 5 * len8 / 8
    int32_t len8;       ///< at(8 us)
    int32_t len10;      ///< at(10 us): entries of the coarse template
    int32_t len12;      ///< at(12 us)
    int32_t len64;      ///< at(64 us)
    int32_t seg;        ///< len64 / 6: one flatness segment
    int32_t long_skip;  ///< len64 / 3
};

/// Locks samp_rate to the 6 MHz working rate and builds the tables; sets
/// resample_up, resample_down, filter_taps and history_len. Prints the two
/// templates and the filter on standard error.
void radio_init(Context* ctx);

/// Processes the 4096 pairs at ctx->block (an even address, behind the
/// history_len pairs of history at the head of ctx->samples wherever the
/// block lies); returns the sum of the slicer's results (never negative).
/// The last history_len pairs of the block become the next one's history.
int32_t process_block(Context* ctx);

/// The vector width in bytes the block scan uses: radio_init picks the
/// widest the processor has (32 with AVX2, else 16 with SSE2, 0 on
/// processors without vectors). Tests ask for a narrower one to check every
/// path on one machine; returns the width now in use (at most `width`,
/// except that the baseline of the build cannot be turned off).
int radio_select_vectors(int width);

/// The slicer block processing hands its candidates to.
using SliceFn = int32_t (*)(Context* ctx, int32_t start, int32_t level);

/// process_block with another slicer in place of slice_frame (tests and
/// benchmarks of the scan alone).
int32_t scan_block(Context* ctx, SliceFn slicer);

/// Demodulates the candidate whose first preamble pulse is at `start`;
/// returns the number of input samples to pass over (never negative).
int32_t slice_frame(Context* ctx, int32_t start, int32_t level);

/// Resampled samples per candidate: 128 us at 6 MHz plus one (768 at 2.4
/// MS/s), for the largest history.
inline constexpr int kSliceResampled = kMaxHistory * 30 / 13 + 1;
inline constexpr int kSliceFrontPad = 16;  ///< zeros in front of a candidate's magnitudes
inline constexpr int kBranchPadded = 16;   ///< a filter branch's 14 taps, padded
inline constexpr int kFineShifts = 12;     ///< fine-timing shifts k = -6..5

inline constexpr int kSliceInputs = kMaxHistory + 32;  ///< a candidate's inputs, at most

/// The exact magnitudes of one candidate's inputs from `start`, computed as
/// far as the resampled outputs asked for so far need them.
struct SliceInput {
    const Context* ctx;
    int32_t start;     ///< the candidate's first sample in ctx->samples, 0..4095
    int32_t count;     ///< inputs from start: history_len (128 us) for the classic slicer
    int32_t have;      ///< magnitudes computed so far
    int32_t produced;  ///< resampled outputs the inputs give (capped); later ones are 0
    alignas(16) int16_t buf[kSliceFrontPad + kSliceInputs + kBranchPadded];
};

/// Starts the magnitudes of the `count` inputs from `start` (nothing
/// computed yet); start + count must not pass the end of the block.
void slice_input_init(SliceInput* in, const Context* ctx, int32_t start, int32_t count);

/// Computes the exact magnitudes up to input `need` (at most count):
/// in->buf[kSliceFrontPad + i] for i < need.
void slice_input_need(SliceInput* in, int need);

/// The 6 MHz outputs fine[first + i * stride], i < count, exactly as
/// resample() over the candidate's whole 128 us gives them (0 beyond them).
void slice_resample(SliceInput* in, int16_t* fine, int first, int count, int stride);

/// The fine-timing correlations of fine[0..64) with the 6 MHz template at
/// shifts k = -6..5: sums[k + 6], 32-bit wrapping sums, not yet divided by
/// the template's 58 entries.
void fine_correlations(const int16_t* fine, int32_t* sums);

/// The slicer's order check: true when the candidate's coarse start time
/// lies after that of the last candidate that passed; an earlier one is
/// warned about ("[frame slice] reverse timing ..."), an equal one not.
bool slice_in_order(TimeStamp coarse);

/// Records `coarse` as the start time of the last candidate that passed.
void slice_passed(TimeStamp coarse);

/// A new time base (the capture time stepped back by more than a second):
/// the ordering history of every slicer starts again, so that the next
/// candidates are taken from the new time on.
void slice_history_restart();

/// Bookkeeping of an accepted frame (DF `r`, fine offset `off`): the debug
/// line when it follows the last one by less than 56 us, then the history.
/// Returns the frame's duration in input samples (120 us for DF > 7, else 64).
int32_t slice_accepted(Context* ctx, int32_t start, int32_t off, TimeStamp toa, int32_t r);

/// The correlation of the 6 MHz samples at[0..64) with the template whose
/// origin is at[0] (its first pulse at at[6]); a 32-bit wrapping sum.
int32_t fine_correlation(const int16_t* at);

/// The lengths of block processing at `samp_rate`.
RadioLengths radio_lengths(uint32_t samp_rate);

/// Cheap magnitudes of 4096 pairs: |b0 - 127| + |b1 - 127|, at most 255;
/// writes mag[0..4095] and returns their sum.
int32_t block_magnitude(const uint8_t* block, int32_t* mag);

/// Exact magnitude of one pair: sqrt(I^2 + Q^2) with I = (b0 - 127) * 128,
/// by the integer Newton iteration; 0..23170.
int16_t exact_magnitude(uint8_t b0, uint8_t b1);

/// Read-only views of the process-wide state (for tests and tools).
const SliceHistory* slice_history();
const int16_t* radio_filter();           ///< filter_taps taps, polyphase order
const int32_t* radio_coarse_template();  ///< len10 entries
const int32_t* radio_fine_template();    ///< 58 entries
