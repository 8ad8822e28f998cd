// The capture's time base: the time of every block is followed from the
// one before it, so that a clock that steps does not silence the receiver.
//
// A step back of more than a second (a recorder whose clock was set back at
// boot, or the record after one stamped far ahead) starts a new time base:
// the slicer's ordering history and the link's frame filter start again
// from the new time, the aircraft heard after it count as heard at it, and
// a TCP connection that carried frames is closed and opened again once
// they are out, so that the proxy sees a new HELLO and frames that
// increase in time on every connection. A step forward of more than a
// second between two blocks of an attempt is only reported.
//
// Owns nothing static: the caller keeps the TimeSteps record. Promises: a
// step back restarts each module that keeps times through one call of its
// own (slice_history_restart, remote_restart, aircraft_time_restart).
#pragma once

#include <cstdint>

#include "include/context.h"

/// What the time of a block did against the block before it.
enum TimeStepKind : int {
    TIME_STEP_BACK = -1,    ///< more than a second earlier: the time base starts again
    TIME_STEADY = 0,        ///< within a second, or nothing to compare with
    TIME_STEP_FORWARD = 1,  ///< more than a second later
};

/// The time followed from block to block (across attempts while the input
/// goes on).
struct TimeSteps {
    TimeStamp last;  ///< time of the last block followed (units of 2^-32 s)
    int32_t known;   ///< 1 when `last` is a time to compare with, else 0
};

/// A step is a difference of more than this (units of 2^-32 s): 1 s.
inline constexpr int64_t kTimeStepLimit = int64_t{1} << 32;

/// Forgets the last time: the next block starts a time base of its own (a
/// time-stamped file read again from its start replays its own times).
void time_step_forget(TimeSteps* s);

/// Follows ctx->cur_time, the time of the block about to be processed. A
/// step back starts a new time base (one warning naming the step); a step
/// forward is warned about when `within` (the block follows another of the
/// same attempt). Returns what the time did.
TimeStepKind time_step_follow(Context* ctx, TimeSteps* s, bool within);
