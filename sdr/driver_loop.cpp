// One turn of the attempt: the loop polls the input, the link and the
// request reader; then the link's events are acted on, then every whole
// record or block held is demodulated (at most the eight the buffer
// holds), each after the request that waits for it is answered with its
// time. Reading a regular file costs one poll() and one read() per eight
// records; a live input is read as it comes.
//
// Capture input (little-endian):
//   raw:          probe block, then blocks of 8192 bytes (4096 I/Q pairs)
//   time-stamped: probe block starting with the word 0x54535201, then
//                 records of 16 + 8192 bytes: magic (4), time_ns (8),
//                 length (4, always 8192), data.
#include "sdr/driver_loop.h"

#include <cinttypes>
#include <cstring>

#include "lib/routing.h"
#include "sdr/capture_input.h"
#include "sdr/event_loop.h"
#include "sdr/link.h"
#include "sdr/log.h"
#include "sdr/log_limit.h"
#include "sdr/outputs.h"
#include "sdr/radio.h"
#include "sdr/remote.h"
#include "sdr/stats.h"
#include "sdr/uniq.h"

namespace {

constexpr int kRecordBytes = kRecordHeaderBytes + kBlockBytes;  // 16 + 8192 = 8208
constexpr int kMaxBackoffShift = 5;                             // back-off at most 2^5 s
static_assert(kRecordBytes == 8208);
static_assert(kReadAheadBytes == 8 * kRecordBytes);
/// A file input is held back while its queue has less room than this:
/// more than the frames and answers of a whole buffer of records.
constexpr uint32_t kQueueMargin = 256 * 1024;

constinit DriverState drv{};

constexpr PollClient kInputClient = {input_poll_fill, input_poll_serve};

uint32_t get_le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

uint64_t get_le64(const uint8_t* p) {
    return static_cast<uint64_t>(get_le32(p)) | static_cast<uint64_t>(get_le32(p + 4)) << 32;
}

/// What one step over the input came to.
enum Step : int { kDone, kWait, kEnd };

/// The attempt's state in the loop.
struct RunState {
    bool hunting;        ///< resumed standard input: the next record header is looked for
    uint64_t skipped;    ///< bytes passed over in the hunt
    bool within;         ///< raw input: a block of this attempt came before
    TimeStamp duration;  ///< raw input: one block's duration
};
constinit RunState run{};

// ---------------------------------------------------------------------------
// The destination

/// Says why the output failed (`event` from the link, or a failed read,
/// which has said it already).
void warn_output_failed(const Context* c, int event) {
    if (event == LINK_NO_CONNECTION) {
        log_warning("Cannot %s %s (%s)\n", "open", c->out_url, "no-sock");
    } else if (c->out_broken) {
        log_warning("Cannot write to %s, output closed",
                    c->out_url != nullptr ? c->out_url : "standard output");
    }
}

/// The output failed: a file input ends the attempt (nothing more goes to
/// the output), a live input goes on. False when the attempt ends.
bool output_failed(Context* c, int event, int64_t now_ms) {
    warn_output_failed(c, event);
    c->out_broken = 1;
    if (drv.live_input && c->out_url != nullptr) return driver_output_down(c, now_ms);
    drv.out_failures++;
    drv.ended_by_output = true;
    if (c->retry >= 0 && drv.out_failures > c->retry) drv.out_exhausted = true;
    return false;
}

/// Live input: the back-off of a failed output has passed: connect again.
bool reopen_output(Context* c, int64_t now_ms) {
    drv.output_down = false;
    const int rc = link_open(c, false, now_ms);
    if (rc < 0) return output_failed(c, LINK_NO_CONNECTION, now_ms);
    drv.out_opened = true;
    if (rc > 0) remote_connected(c, timestamp_now());
    return true;
}

/// A connection was made: the station id when it waited for the
/// connection, then the HELLO.
void on_connected(Context* c) {
    const TimeStamp now = timestamp_now();
    if (drv.id_pending) {
        log_debug(2, "calc_uniq....\n");
        set_station_id(c, 0, now, peer_ipv4_address(c->out_fd));
        drv.id_pending = false;
    }
    remote_connected(c, now);  // queued: a failure shows at the first write
}

/// The link's events after a turn. False when the attempt ends.
bool link_step(Context* c, int64_t now_ms) {
    for (int event = link_take_event(); event != LINK_OK; event = link_take_event()) {
        if (event == LINK_CONNECTED) {
            on_connected(c);
        } else if (event == LINK_HEALTHY) {
            drv.out_failures = 0;
        } else if (!output_failed(c, event, now_ms)) {
            return false;
        }
    }
    if (remote_check(c, now_ms) < 0 && !output_failed(c, LINK_BROKEN, now_ms)) return false;
    if (drv.output_down && now_ms >= drv.reconnect_at_ms) return reopen_output(c, now_ms);
    return true;
}

/// A file input waits for its destination: while it connects, and while
/// its queue is nearly full.
bool held_back(const Context* c) {
    if (drv.live_input) return false;
    if (c->out_url != nullptr && c->out_fd < 0 && link_busy(c)) return true;
    return c->out_fd >= 0 && kSendQueueBytes - link_queue()->used < kQueueMargin;
}

// ---------------------------------------------------------------------------
// Reports and the time base

// The statistics interval in units of 2^-32 s.
int64_t stats_interval(const Context* c) {
    return static_cast<int64_t>(c->time_interval) << 32;
}

// Statistics check after a processed block or record: a report is due when
// more than time_interval seconds of sample time have passed since the last
// one. Accepted frames bring the attempts' back-off back to its start while
// the output is connected.
void stats_check(Context* c) {
    if (ts_diff(c->cur_time, c->last_stat_time) <= stats_interval(c)) return;
    c->last_stat_time = c->cur_time;
    if (driver_report(c) != 0 && c->out_fd >= 0) drv.reconnect_index = 0;
}

// The time of the block about to be processed against the block before it
// (`within`: of the same attempt). A step back starts a new time base, and
// the statistics interval then runs from the new time.
void follow_time(Context* c, bool within) {
    if (time_step_follow(c, &drv.steps, within) == TIME_STEP_BACK &&
        ts_diff(c->cur_time, c->last_stat_time) < 0)
        c->last_stat_time = c->cur_time;
}

// ---------------------------------------------------------------------------
// Time-stamped input

// Standard input resumed by a later attempt: the stream may stand anywhere
// in a record. Looks through the bytes held for the next header (magic and
// length 8192), keeping the last 15 when none is there yet.
Step hunt(Context* c) {
    int held = 0;
    const uint8_t* at = input_take_rest(input_held(), &held);
    input_give_back(held);
    for (int i = 0; i + kRecordHeaderBytes <= held; i++) {
        if (get_le32(at + i) == kCaptureMagic &&
            get_le32(at + i + 12) == static_cast<uint32_t>(kBlockBytes)) {
            input_skip(i);
            run.skipped += static_cast<uint64_t>(i);
            run.hunting = false;
            if (log_allowed(LINE_RECORD_SKIP))
                log_warning("file %s: skipped %" PRIu64 " bytes to the next record header",
                            c->in_name, run.skipped);
            return kDone;
        }
    }
    const int keep = held < kRecordHeaderBytes - 1 ? held : kRecordHeaderBytes - 1;
    input_skip(held - keep);
    run.skipped += static_cast<uint64_t>(held - keep);
    if (input_status() == INPUT_OPEN) return kWait;
    if (input_status() == INPUT_FAILED)
        log_warning("can't read file %s len=%d", c->in_name, input_read_error());
    const uint64_t consumed = run.skipped + static_cast<uint64_t>(keep);
    if (consumed > 0 && log_allowed(LINE_RECORD_NONE))
        log_warning("file %s: skipped %" PRIu64 " bytes, no record header before the end",
                    c->in_name, consumed);
    return kEnd;
}

// A record cut short by the end of input after `n` of its bytes.
Step short_record(const Context* c, uint64_t number, int n) {
    if (log_allowed(LINE_RECORD_CUT))
        log_warning("file %s: record %" PRIu64 " ends after %d of %d bytes", c->in_name, number, n,
                    kRecordBytes);
    return kEnd;
}

// Checks the header of a record of `n` bytes; kWait when it is sound.
Step check_header(const Context* c, const uint8_t* header, int n, uint64_t number) {
    if (n < kRecordHeaderBytes) return short_record(c, number, n);
    const uint32_t magic = get_le32(header);
    const uint32_t length = get_le32(header + 12);
    // A damaged record header: the attempt ends, and standard input, which
    // the next attempt realigns, is given the record back, so that a record
    // that begins inside it is found again.
    if (magic != kCaptureMagic) {
        input_give_back(n);
        if (log_allowed(LINE_RECORD_MAGIC))
            log_warning("file %s: record %" PRIu64 " has magic 0x%08" PRIX32 ", not 0x%08" PRIX32,
                        c->in_name, number, magic, kCaptureMagic);
        return kEnd;
    }
    if (length != static_cast<uint32_t>(kBlockBytes)) {
        input_give_back(n);
        if (log_allowed(LINE_RECORD_LENGTH))
            log_warning("file %s: record %" PRIu64 " announces %" PRIu32 " data bytes, not %d",
                        c->in_name, number, length, kBlockBytes);
        return kEnd;
    }
    if (n < kRecordBytes) return short_record(c, number, n);
    return kWait;
}

// One record, processed where it lies in the read-ahead buffer: the request
// waiting for it is answered with its time, then it is demodulated.

/// A block or record demodulated: counted for the report and the attempt,
/// and the report given when it is due.
void block_done(Context* c) {
    c->stats.n_blocks++;
    drv.attempt_blocks++;
    stats_check(c);
}
Step record_step(Context* c) {
    if (run.hunting) {
        const Step s = hunt(c);
        if (s != kDone) return s;
    }
    uint8_t* header = input_take(kRecordBytes);
    int n = kRecordBytes;
    if (header == nullptr) {
        if (input_status() == INPUT_OPEN) return kWait;
        if (input_status() == INPUT_FAILED) {
            log_warning("can't read file %s len=%d", c->in_name, input_read_error());
            return kEnd;
        }
        header = input_take_rest(kRecordBytes, &n);
        if (n == 0) return kEnd;  // end of input
    }
    const uint64_t number = c->n_records + 1;
    if (check_header(c, header, n, number) == kEnd) return kEnd;
    c->block = header + kRecordHeaderBytes;
    c->cur_time = ns_to_ts(get_le64(header + 4));
    c->n_records++;
    follow_time(c, c->n_records > 1);
    // The first report comes one interval after the attempt's first
    // record, not at it.
    if (c->n_records == 1) c->last_stat_time = c->cur_time;
    if (c->out_remote && c->process_frame(c, &c->cur_time) < 0 &&
        !output_failed(c, LINK_BROKEN, monotonic_ms()))
        return kEnd;
    const int32_t rc = process_block(c);
    if (rc < 0) {
        log_warning("Processing error (ret=%d)", static_cast<int>(rc));
        return kEnd;
    }
    block_done(c);
    return kDone;
}

// ---------------------------------------------------------------------------
// Raw input: blocks of 8192 bytes stamped from the wall clock at the start.

void raw_start(Context* c) {
    // Without a destination the station id has not been computed yet.
    if (c->out_url == nullptr) set_station_id(c, 1, timestamp_now(), 0);
    c->cur_time = timestamp_now();
    run.duration = block_duration(c->samp_rate);
    c->last_stat_time = c->cur_time - run.duration;
    run.within = false;
}

Step raw_step(Context* c) {
    uint8_t* block = input_take(kBlockBytes);
    if (block == nullptr) {
        if (input_status() == INPUT_OPEN) return kWait;
        int n = 0;
        (void)input_take_rest(kBlockBytes, &n);
        if (n > 0 && log_allowed(LINE_SHORT_READ))
            log_warning("short read on file %s len=%d", c->in_name, n);
        if (input_status() == INPUT_FAILED)
            log_warning("can't read file %s len=%d", c->in_name, input_read_error());
        return kEnd;
    }
    c->block = block;
    c->cur_time += run.duration;
    follow_time(c, run.within);
    run.within = true;
    if (process_block(c) < 0) {
        log_warning("Processing error in file '%s'.", c->in_name);
        return kEnd;
    }
    block_done(c);
    return kDone;
}

/// The whole records or blocks held; false when the attempt ends.
bool process_held(Context* c) {
    for (;;) {
        const bool back = held_back(c);
        input_pause(back);
        if (back) return true;
        const Step s = c->in_timestamped ? record_step(c) : raw_step(c);
        if (s == kEnd) return false;
        if (s == kWait) return true;
    }
}

/// A unit is held that can be processed now (the next turn does not wait).
bool work_ready(const Context* c) {
    if (held_back(c)) return false;
    const int unit = c->in_timestamped ? kRecordBytes : kBlockBytes;
    return input_held() >= unit || input_status() != INPUT_OPEN;
}

}  // namespace

DriverState* driver_state() {
    return &drv;
}

void driver_loop_start(Context* c) {
    (void)event_loop_add(&kInputClient);
    (void)event_loop_add(link_poll_client(c));
    (void)event_loop_add(remote_poll_client(c));
}

void set_station_id(Context* c, int no_output, TimeStamp now, uint32_t peer) {
    calc_uniq(&c->uniq_result, 0, 0, 0, no_output, now, peer);
    memcpy(c->uniq_id.bytes, c->uniq_result.bytes, sizeof c->uniq_id.bytes);
}

int backoff_seconds(int32_t index) {
    return 1 << (index < kMaxBackoffShift ? index : kMaxBackoffShift);
}

int driver_report(Context* c) {
    log_limit_report();
    log_lost_report();
    const int accepted = stats_report(&c->stats, timestamp_now(), c->peak_mag);
    link_report(c);
    outputs_report();
    c->peak_mag = 0;
    if (!c->classic) {
        recovered_report(&c->stats);
        front_report(&c->centre, &c->stats);
    }
    aircraft_report(&c->aircraft, c->cur_time - static_cast<uint64_t>(stats_interval(c)));
    return accepted;
}

void driver_final_report(Context* c) {
    if (drv.attempt_blocks > 0) {
        driver_report(c);
        return;
    }
    log_limit_report();
    log_lost_report();
}

int driver_wait_probe(Context* c, uint8_t* buf, int count) {
    (void)c;
    for (;;) {
        const uint8_t* at = input_take(count);
        if (at != nullptr) {
            memcpy(buf, at, static_cast<size_t>(count));
            return count;
        }
        if (input_status() == INPUT_FAILED || input_status() == INPUT_SILENT) return -1;
        if (input_status() == INPUT_END) {
            int n = 0;
            at = input_take_rest(count, &n);
            memcpy(buf, at, static_cast<size_t>(n));
            return n;
        }
        event_loop_turn(kNoDeadline);
    }
}

int driver_open_output(Context* c) {
    const bool wait = !drv.live_input;
    link_forget_addresses();
    const int rc = link_open(c, false, monotonic_ms());
    drv.id_pending = wait;
    if (!wait) {
        // Frames are queued with the id before the connection is made.
        log_debug(2, "calc_uniq....\n");
        set_station_id(c, 0, timestamp_now(), link_peer_address(c));
    }
    if (rc < 0) {
        log_warning("Cannot %s %s (%s)\n", "open", c->out_url, "no-sock");
        return -1;
    }
    drv.out_opened = true;
    if (rc == 0) return 0;  // resolving or connecting: the loop reports the connection
    if (c->out_fd < 3) {
        log_warning("Cannot %s %s (%s)\n", "connect to", c->out_url,
                    c->out_remote ? "remote" : "local");
        return -1;
    }
    (void)link_take_event();
    on_connected(c);
    return 0;
}

bool driver_output_down(Context* c, int64_t now_ms) {
    link_close(c, true);
    drv.out_opened = false;
    c->out_broken = 0;
    drv.out_failures++;
    if (c->retry >= 0 && drv.out_failures > c->retry) {
        drv.out_exhausted = true;
        drv.ended_by_output = true;
        log_info("Close ctx.out_fd: %d failures of %s in a row use up the retry count",
                 static_cast<int>(drv.out_failures), c->out_url);
        return false;
    }
    const int seconds = backoff_seconds(drv.out_failures);
    drv.output_down = true;
    drv.reconnect_at_ms = now_ms + 1000LL * seconds;
    log_info("Close ctx.out_fd, input kept open; next connection to %s in %d s", c->out_url,
             seconds);
    return true;
}

void driver_run(Context* c, bool resumed) {
    run = RunState{};
    run.hunting = resumed;
    if (!c->in_timestamped) raw_start(c);
    for (;;) {
        const int64_t deadline = work_ready(c)     ? 0
                                 : drv.output_down ? drv.reconnect_at_ms
                                                   : kNoDeadline;
        event_loop_turn(deadline);
        if (!link_step(c, monotonic_ms())) return;
        if (input_status() == INPUT_SILENT) return;
        if (!process_held(c)) return;
    }
}

void driver_drain(Context* c) {
    input_pause(true);
    // A live input's end is not held up for ever by a reader of standard
    // output that stopped.
    link_stdout_limit(drv.live_input);
    while (!c->out_broken && !drv.output_down && link_busy(c)) {
        event_loop_turn(kNoDeadline);
        const int64_t now = monotonic_ms();
        for (int event = link_take_event(); event != LINK_OK; event = link_take_event()) {
            if (event == LINK_CONNECTED) {
                on_connected(c);
            } else if (event < 0) {
                warn_output_failed(c, event);  // the close path follows
                c->out_broken = 1;
            }
        }
        if (c->out_broken || remote_check(c, now) < 0) {
            c->out_broken = 1;
            break;
        }
    }
    link_stdout_limit(false);
}

void driver_pause(int64_t ms) {
    const int64_t until = monotonic_ms() + ms;
    while (monotonic_ms() < until) event_loop_turn(until);
}
