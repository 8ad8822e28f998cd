// The demodulator as the driver sees it: set up once, then one call per
// block. Both demodulators share the block scan (sdr/demod/scan); the
// classic one (-c) slices each candidate once (sdr/demod/classic_slice),
// the default one decodes again and corrects (sdr/demod/soft_slice).
//
// Owns nothing itself: the tables are sdr/demod/setup's, the scan's state
// is in the context record. Promises: the classic mode's output is the
// specified demodulator's, to the bit, on every machine.
#pragma once

#include <cstdint>

#include "include/context.h"

/// Locks samp_rate to the 6 MHz working rate and builds the tables; sets
/// resample_up, resample_down, filter_taps and history_len. Prints the two
/// templates and the filter on standard error.
void radio_init(Context* ctx);

/// Processes the 4096 pairs at ctx->block (an even address, behind the
/// history_len pairs of history at the head of ctx->samples wherever the
/// block lies) with the demodulator ctx->classic names; returns the sum of
/// the slicer's results (never negative). The last history_len pairs of the
/// block become the next one's history.
int32_t process_block(Context* ctx);
