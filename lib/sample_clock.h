// The recorder's time base: the time of each capture record, the instant
// just after its last sample, from the count of samples since the start at
// the nominal rate, disciplined to the wall-clock arrival times of the
// buffers that brought the samples.
//
// Arrivals are late by a latency that is never negative (the USB transfer,
// the scheduler, an upstream program's buffering) and that jitters by
// milliseconds, so the clock follows their lower envelope: per quarter
// second of samples the earliest arrival against the current estimate (a
// "bin"), and over the last 256 bins (64 s) a least-squares line through those
// minima with one slope (the crystal's true rate, up to 100 ppm off; the
// slope is pulled towards the nominal rate while only a few seconds are
// known) and one offset per segment, a segment being the stretch since the
// last restart. The record times follow that estimate through a first-order
// loop (time constant 2 s at the start, growing to 20 s within a minute and
// a quarter; at most 1000 ppm of correction), so consecutive
// records differ by the block duration at the estimated rate and that
// difference changes by a few nanoseconds at most from record to record.
//
// Arrivals more than 8 ms off the estimate are held apart. When they keep
// that distance while coming at the pace of the samples for 0.1 s, samples
// were lost (or the wall clock stepped): the time base restarts from the
// earliest of those arrivals, at the sample count before the jump. When
// they instead catch up faster than real time (a late batch of buffers
// delivered at once after a stall), they are dropped and nothing changes.
// Records are released 0.25 s of samples after their last sample has
// arrived, so a restart is known before the records after the jump are
// stamped: the piece of record before the jump is dropped, and no record
// mixes samples from both sides of a gap. Record times never step back: a
// restart to an earlier time (a wall clock stepped back) is slewed instead.
//
// Plain record and free functions; no heap, no clock reading (the caller
// passes the arrival times, which lets tests make them up).
#pragma once

#include <cstdint>

inline constexpr int kClockBins = 256;                ///< bins of the fit: 64 s
inline constexpr int kClockRecordSamples = 4096;      ///< samples per record (8192 bytes)
inline constexpr double kClockGapNs = 8e6;            ///< arrivals this far off are held apart
inline constexpr double kClockTauSeconds = 20.0;      ///< time constant of the record loop
inline constexpr double kClockTauStartSeconds = 2.0;  ///< ... at the start, + 1 s per 4 s
inline constexpr double kClockMaxSlew = 1e-3;         ///< at most 1000 ppm of correction
inline constexpr double kClockMaxStepNs = 1.0;        ///< record durations change by 1 ns at most

/// A line of time against sample count: sample count `n` at `t_ns` +
/// `frac_ns` nanoseconds since the epoch, `p_ns` ns per sample.
struct ClockLine {
    uint64_t n;      ///< anchor: samples since the start
    int64_t t_ns;    ///< whole ns since the epoch at the anchor
    double frac_ns;  ///< fraction of a ns at the anchor, 0 <= frac < 1
    double p_ns;     ///< ns per sample
};

/// The earliest arrival of one bin.
struct ClockBin {
    uint64_t n;        ///< sample count delivered by that arrival
    int64_t a_ns;      ///< its arrival time, ns since the epoch
    uint32_t segment;  ///< segment (stretch between restarts) it belongs to
};

/// The next record to write: its samples and its time.
struct ClockRecord {
    uint64_t first;    ///< index of its first sample (since the start)
    uint64_t time_ns;  ///< the instant just after its last sample, ns since the epoch
};

struct SampleClock {
    // Fixed at start.
    uint32_t rate;          ///< nominal samples per second, > 0
    double p_nom;           ///< nominal ns per sample
    uint64_t bin_samples;   ///< samples per bin: a quarter of a second
    uint64_t hold_samples;  ///< records wait this long after their last sample: one bin
    double confirm_ns;      ///< a jump must hold this long at real pace: 0.1 s
    double lambda;          ///< weight pulling the slope to nominal, samples^2
    // Arrivals.
    bool started;       ///< an arrival has been seen
    uint64_t last_n;    ///< sample count of the latest arrival
    uint64_t normal_n;  ///< sample count of the latest arrival that fitted
    // The estimate and its bins (a ring, oldest first from `bin_head`).
    ClockLine est;
    uint32_t segment;     ///< the current segment
    bool segment_fitted;  ///< the current segment has a closed bin
    ClockBin bins[kClockBins];
    int bin_head;         ///< index of the oldest bin
    int bin_count;        ///< bins held, 0..kClockBins
    bool open_valid;      ///< the open bin holds an arrival
    uint64_t open_index;  ///< n / bin_samples of the open bin
    ClockBin open;        ///< the open bin's earliest arrival
    double open_x;        ///< its offset from the estimate, ns
    // Arrivals held apart (a run of them on one side of the estimate).
    bool run_active;
    int run_sign;           ///< +1: later than the estimate, -1: earlier
    uint64_t run_gap_n;     ///< sample count before the run (where a gap would be)
    uint64_t run_anchor_n;  ///< pace check: where it started
    int64_t run_anchor_a;
    double run_min_x;  ///< earliest offset seen in the run, ns
    uint64_t run_min_n;
    int64_t run_min_a;
    // A restart decided but not yet reached by the records.
    bool pending;
    uint64_t pending_n;        ///< first sample on the restarted time base
    ClockLine pending_before;  ///< the estimate before the restart
    // The records.
    bool out_started;
    ClockLine out;            ///< time of the end of the last record (p_ns unused)
    uint64_t grid;            ///< first sample of the next record
    uint64_t last_time_ns;    ///< time of the last record
    double last_duration_ns;  ///< duration of the last record, ns; 0: none yet
    // Counters.
    uint32_t restarts;    ///< restarts so far
    uint64_t dropped;     ///< samples dropped before gaps
    double last_jump_ns;  ///< arrivals' jump at the latest restart, ns
    uint64_t last_gap_n;  ///< sample count of the latest restart
};

/// Sets `c` up for `rate` samples per second (> 0), before any arrival.
void sample_clock_init(SampleClock* c, uint32_t rate);

/// One arrival: `samples` delivered since the start (never decreasing),
/// `arrival_ns` the wall clock just after they arrived. Returns 1 when the
/// time base restarted (see last_jump_ns and last_gap_n), 0 otherwise, -1
/// when `samples` went back.
[[nodiscard]] int sample_clock_arrival(SampleClock* c, uint64_t samples, int64_t arrival_ns);

/// The next record when it is ready: its last sample has arrived, and,
/// unless `flush` (the source has ended), 0.25 s more. Records come in
/// order, back to back except where samples before a gap are dropped.
/// Returns false when none is ready.
bool sample_clock_next_record(SampleClock* c, bool flush, ClockRecord* r);

/// The estimated rate error of the source, in ppm (positive: fast).
double sample_clock_ppm(const SampleClock* c);
