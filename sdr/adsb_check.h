// Mode S frame check: parity per downlink format, the aircraft table, and
// the hand-off of valid extended squitters to the frame callback.
#pragma once

#include <cstdint>

#include "include/context.h"

/// The 24-bit Mode S parity (generator 0x1FFF409) over the first `n_bits`
/// data bits of `frame` (32 for a short frame, 88 for a long one), computed
/// bit by bit without a table.
uint32_t adsb_parity(const uint8_t* frame, int n_bits);

/// How many leading bytes of a frame whose first byte gives downlink format
/// `df` adsb_check reads: 1 for the formats it rejects at once, 7 for the
/// short formats, 14 for the long ones. The slicer decides no more bits.
int adsb_frame_bytes(int df);

/// Checks one candidate frame (14 bytes); returns its DF when accepted, -1
/// otherwise (failed parity, unknown address, unvalidated format, or a failed
/// frame callback). A clean DF17/DF18 whose `toa` is not ts_plausible counts
/// as rejected, is neither entered in the table nor forwarded, and is warned
/// about once per statistics interval (per value of stats.report_time).
int32_t adsb_check(Context* ctx, const uint8_t* frame, TimeStamp toa, int32_t level);
