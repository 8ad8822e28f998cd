// The time of frames read from a Beast stream. Its 12 MHz counter has no
// date (a receiver may count from its power-on; this receiver counts from
// the epoch, modulo 2^48), so a frame's time for the aircraft table is the
// wall clock when the stream's first frame arrived, carried on by the
// counter from there. A counter that steps back (another time base, or
// another receiver) starts again from the wall clock, never before the
// last frame's time.
#pragma once

#include <cstdint>
#include <string>

struct BeastClock {
    bool started;   ///< a frame was timed
    uint64_t last;  ///< its counter, ticks of 1/12 us
    double time;    ///< its time, s since the epoch
};

/// The time of a frame with counter `ticks` that arrives at `wall` (s since
/// the epoch).
double beast_time(BeastClock* clock, uint64_t ticks, double wall);

/// A counter in seconds to 0.1 us, 16 characters: "23456247.9999999".
std::string counter_text(uint64_t ticks);
