// The statistics report and the aircraft list.
#pragma once

#include <cstdint>

#include "include/context.h"

/// Prints the interval's report, resets the interval counters and returns
/// the number of frames accepted in the interval.
int stats_report(DecoderStats* stats, TimeStamp now, int32_t peak_mag);

/// Lists the aircraft seen at or after `since` (debug bit 0x04).
void aircraft_report(DecoderStats* stats, TimeStamp since);
