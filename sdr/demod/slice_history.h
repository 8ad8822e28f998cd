// The slicers' memory of earlier candidates: candidates must come in
// increasing time order, and an accepted frame closer than 56 us to the
// previous one is reported (the shortest gap between two replies).
//
// Owns the SliceHistory (process-wide, zero at program start, kept across
// connection attempts so that a file read again from its start has its
// replayed candidates refused; started again only when the capture time
// steps back, slice_history_restart). Promises: both slicers keep it alike.
#pragma once

#include <cstdint>

#include "include/context.h"

struct SliceHistory {
    TimeStamp prev_start_time;  ///< coarse start of the last candidate that passed the order check
    TimeStamp prev_accept_toa;  ///< time of arrival of the last accepted frame
    uint64_t prev_record;       ///< n_records at the last accepted frame
    TimeStamp prev_block_time;  ///< cur_time at the last accepted frame
    int32_t prev_offset;        ///< fine offset of the last accepted frame, 0..11 (6 MHz samples)
    int32_t prev_start;         ///< start sample of the last accepted frame, 0..4095
    int32_t prev_df;            ///< adsb_check result of the last accepted frame
};

/// The order check: true when the candidate's coarse start time lies after
/// that of the last candidate that passed; an earlier one is warned about
/// ("[frame slice] reverse timing ..."), an equal one not; both are
/// counted in ctx->stats.funnel.out_of_order.
bool slice_in_order(Context* ctx, TimeStamp coarse);

/// Records `coarse` as the start time of the last candidate that passed.
void slice_passed(TimeStamp coarse);

/// Bookkeeping of an accepted frame (DF `r`, fine offset `off`): the debug
/// line when it follows the last one by less than 56 us, then the history.
/// Returns the frame's duration in input samples (120 us for DF > 7, else 64).
int32_t slice_accepted(Context* ctx, int32_t start, int32_t off, TimeStamp toa, int32_t r);

/// A new time base (the capture time stepped back by more than a second):
/// the history starts again, so that the next candidates are taken from the
/// new time on.
void slice_history_restart();

/// The history, read-only (tests and tools).
const SliceHistory* slice_history();
