// The demodulator: set-up, block processing, frame slicing; and the clock.
#pragma once

#include <cstdint>

#include "include/context.h"

/// The current wall-clock (real-time clock) time.
TimeStamp timestamp_now();

/// Locks samp_rate to the 6 MHz working rate and builds the tables; sets
/// resample_up, resample_down, filter_taps and history_len.
void radio_init(Context* ctx);

/// Processes the 4096 pairs at ctx->block; returns the sum of the slicer's
/// results (never negative).
int32_t process_block(Context* ctx);

/// Demodulates the candidate whose first preamble pulse is at `start`;
/// returns the number of input samples to pass over (never negative).
int32_t slice_frame(Context* ctx, int32_t start, int32_t level);
