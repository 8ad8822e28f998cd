// The statistics report and the aircraft list: blocks, CPU use, frames per
// downlink format, the detection funnel, noise floor and level range; the
// default mode's funnel and recovery lines; the aircraft heard.
//
// Owns nothing static: the counts are ctx->stats, the table ctx->aircraft.
// Promises: every interval counter is reset by the report that prints it;
// nothing is divided by zero; the decibel figures need no mathematics
// library.
#pragma once

#include <cstdint>

#include "include/context.h"
#include "sdr/aircraft.h"

/// Starts the statistics of a new attempt: clears the whole record (not the
/// aircraft table, ctx->aircraft, which the run keeps), sets the level
/// statistics to their reset values and takes `now` and the process's CPU
/// times so far as the base of the first report.
void stats_start(DecoderStats* stats, TimeStamp now);

/// Prints the interval's report, resets the interval counters and returns
/// the number of frames accepted in the interval.
int stats_report(DecoderStats* stats, TimeStamp now, int32_t peak_mag);

/// The default demodulator's lines of the report (statistics bit), then
/// their counts reset: the funnel's rejections by test since the last
/// report ("funnel: triggers N, rejected by second pulse N, data level N,
/// ratio N, flatness N, score N; sliced N, out of order N"), and the frames
/// recovered by a second decoding and by correcting one to four bits
/// ("recovered: retry N 1-bit N 2-bit N 3-bit N 4-bit N"). The classic
/// mode's report has neither line.
void recovered_report(DecoderStats* stats);

/// The default demodulator's front-end line, after the recovered line:
/// "front end: centre I 127.52 Q 127.49, magnitudes from 128 127, moved N;
/// clipped preambles N, decoded N": the running estimate of the I/Q centre,
/// the whole centre the magnitudes are measured from and the steps it took
/// in this attempt, and the candidates whose preamble clipped at full scale
/// since the last report with the frames decoded of them (many of them: the
/// gain is too high). Resets the clipped counts.
void front_report(const CentreState* centre, DecoderStats* stats);

/// Lists the aircraft seen at or after `since` (debug bit 0x04) and clears
/// their per-interval counters; does nothing without that bit.
void aircraft_report(AircraftTable* table, TimeStamp since);

/// log10(level) of an integer level, within a unit in the last place of the
/// C library's log10 (level_db's single-precision result is the same for
/// every level); -HUGE_VAL for 0, NaN for a negative level.
double decimal_log(int32_t level);

/// Level in decibels: 20 * (log10(level) - log10(256) + 0.3); 256 gives 6.0.
float level_db(int32_t level);

/// num * scale / den, truncated toward zero, without intermediate overflow;
/// saturates at the int64_t range. `den` must not be 0.
int64_t scaled_quotient(int64_t num, uint32_t scale, int64_t den);
