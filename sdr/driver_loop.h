// The driver's event loop: one attempt's work on the capture input and the
// destination, as a list of "when this is ready, do that" over the single
// poll() of sdr/event_loop. A whole record or block in the read-ahead
// buffer is demodulated; the link's events (a connection made, a failure,
// a sound connection) are acted on whatever the input does; a live input
// never waits for the destination, a regular file does (its input is held
// back while the destination connects or its queue is nearly full, so that
// nothing is dropped). The attempt sequence itself (open, probe, back-off)
// stays with the driver (sdr/vorlix).
#pragma once

#include <cstdint>

#include "include/context.h"
#include "sdr/time_step.h"

/// Exit status when the destination's failures used up the retry count
/// (not 0, so that a unit restarted on failure starts the service again).
inline constexpr int kExitOutputFailed = 2;

/// The driver's state across attempts (the input's format stays in
/// ctx->in_timestamped).
struct DriverState {
    int32_t reconnect_index;  ///< attempts since the last that forwarded frames; back-off exponent
    int32_t out_failures;     ///< destination failures since its last sound connection
    bool out_opened;          ///< the link opened the output in this attempt
    bool stdin_probed;        ///< a probe of standard input succeeded: its format is known
    bool live_input;          ///< the input is a pipe, FIFO, socket or character device
    bool fifo_input;          ///< the input is a named pipe
    bool rate_warned;         ///< the probe block named another rate than -s (said once)
    uint32_t requested_rate;  ///< -s as given, Hz (before the demodulator rounds it)
    bool output_down;         ///< live input: the output failed and waits for its back-off
    bool id_pending;          ///< the station id is computed when the connection is made
    bool out_exhausted;       ///< the destination's failures used up the retry count
    bool ended_by_output;     ///< the last attempt ended because its destination failed
    int64_t reconnect_at_ms;  ///< live input: monotonic ms of the next connection
    uint64_t attempt_blocks;  ///< blocks or records demodulated in this attempt
    TimeSteps steps;          ///< the time of the last block, across attempts
};

/// The one DriverState of the run.
DriverState* driver_state();

/// Puts the input, the link and the request reader into the loop (once).
void driver_loop_start(Context* ctx);

/// Waits in the loop for the probe block: copies up to `count` bytes into
/// `buf` once `count` are held or the input has ended; the bytes copied,
/// or -1 when a read failed or the watchdog ended the wait.
int driver_wait_probe(Context* ctx, uint8_t* buf, int count);

/// Opens the destination (-o). With a file input the connection is waited
/// for by holding the input back; a live input never waits. Negative when
/// the destination could not be opened.
int driver_open_output(Context* ctx);

/// Live input: the destination failed; it is closed and opened again after
/// its back-off. False when its retry count is used up.
bool driver_output_down(Context* ctx, int64_t now_ms);

/// Runs the attempt until the input ends or fails, the watchdog ends it,
/// or its destination fails (file input) or used up its retries.
/// `resumed`: standard input taken up by a later attempt (the next record
/// header is looked for first).
void driver_run(Context* ctx, bool resumed);

/// The input has ended: what is queued goes out (a connect in progress is
/// waited for, a peer that takes nothing for 30 s is given up).
void driver_drain(Context* ctx);

/// Waits `ms` in the loop (the back-off between attempts), serving every
/// descriptor that stays registered.
void driver_pause(int64_t ms);

/// Computes this station's id into uniq_id; `peer`: the proxy's address,
/// for the fallbacks when there is no default route (0: none).
void set_station_id(Context* ctx, int no_output, TimeStamp now, uint32_t peer);

/// The end of an attempt's report: the statistics of the blocks left since
/// the last report, or, when the attempt demodulated no block (an input
/// that held its probe block or less), only the throttled-line counts
/// (a report of nothing would be dated 1970/01/01).
void driver_final_report(Context* ctx);

/// The back-off after `index` failures: 2^min(index, 5) seconds.
int backoff_seconds(int32_t index);

/// The end of a statistics interval: the lines held back, the statistics
/// and aircraft reports; returns stats_report's count.
int driver_report(Context* ctx);
