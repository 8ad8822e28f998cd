// The driver. Start-up (logging, command line, demodulator set-up, start-up
// delay), then attempts: each opens the input, reads the 8192-byte probe
// block that tells the format, opens the output and sends the HELLO, and
// feeds the input block by block to the demodulator until something fails;
// then the close path and an exponential back-off of 2, 4, 8, 16, 32 s.
//
// Capture input (little-endian):
//   raw:          probe block, then blocks of 8192 bytes (4096 I/Q pairs)
//   time-stamped: probe block starting with the word 0x54535201, then
//                 records of 16 + 8192 bytes: magic (4), time_ns (8),
//                 length (4, always 8192), data.
#include "sdr/vorlix.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cfloat>
#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "lib/getopt.h"
#include "lib/routing.h"
#include "sdr/capture_input.h"
#include "sdr/driver_loop.h"
#include "sdr/event_loop.h"
#include "sdr/link.h"
#include "sdr/log.h"
#include "sdr/log_limit.h"
#include "sdr/outputs.h"
#include "sdr/radio.h"
#include "sdr/remote.h"
#include "sdr/stats.h"
#include "sdr/time_step.h"
#include "sdr/uniq.h"

namespace {

constexpr char kModule[] = "sdr/vorlix";
constexpr int kCmdLineMax = 254;  // characters of cmd_line

// The run's context record; every module receives a pointer to it.
constinit Context ctx{};

// The driver's state across attempts (sdr/driver_loop).
constinit DriverState* drv = nullptr;

uint32_t get_le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// ---------------------------------------------------------------------------
// Attempts

bool input_is_stdin(const Context* c) {
    return strcmp(c->in_name, "-") == 0;
}

bool is_fifo(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode);
}

void reset_attempt(Context* c) {
    stats_start(&c->stats, timestamp_now());
    c->trigger_level = 4;
    c->cur_time = 0;
    c->last_stat_time = 0;
    c->n_records = 0;
    c->window_sum = 0;
    c->peak_mag = 0;
    c->skip = 0;
    c->noise_blocks = 0;
    c->centre = {};
    c->out_broken = 0;
    drv->output_down = false;
    drv->ended_by_output = false;
    drv->attempt_blocks = 0;
    memset(c->mag, 0, 2 * c->history_len * sizeof c->mag[0]);
}

// Ends an attempt: closes what the attempt opened (never standard input,
// never the default standard output) and counts the attempt.
void end_attempt(Context* c) {
    input_detach();
    if (!input_is_stdin(c) && c->in_fd >= 0) close(c->in_fd);
    if (drv->out_opened) link_close(c, c->out_broken != 0);
    drv->out_opened = false;
    c->in_fd = -1;
    drv->reconnect_index++;
}

// The close path of an attempt that got as far as opening the output.
void close_path(Context* c) {
    log_info("Close in_fd and ctx.out_fd");
    end_attempt(c);
}

// A live input (a pipe, FIFO, socket or character device) runs on at its
// writer's pace: a pipe holds about 13 ms of samples, and what the service
// does not read in time is lost. A regular file waits for the service.
bool is_live(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 &&
           (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode) || S_ISSOCK(st.st_mode));
}

// Opens the input without waiting: a named pipe with no writer yet opens at
// once (non-blocking) and the loop waits for its first bytes.
void open_input(Context* c) {
    if (input_is_stdin(c)) {
        c->in_fd = 0;
    } else {
        c->in_fd = open(c->in_name, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        // A directory opens but cannot be read: it is refused as an input
        // that cannot be opened, with the system's reason.
        struct stat st;
        if (c->in_fd >= 0 && fstat(c->in_fd, &st) == 0 && S_ISDIR(st.st_mode)) {
            close(c->in_fd);
            c->in_fd = -1;
            errno = EISDIR;
        }
        if (c->in_fd < 0) {
            int err = errno;
            log_fatal("can't open file %s (%d, errno=%d (%s))\n", c->in_name, -1, err,
                      strerror(err));
        }
    }
    drv->live_input = is_live(c->in_fd);
    drv->fifo_input = is_fifo(c->in_fd);
    // Bytes read ahead from standard input stay for the next attempt
    // (standard input is never reopened); a file opened again starts afresh.
    input_attach(c->in_fd, drv->live_input, drv->fifo_input && !input_is_stdin(c),
                 input_is_stdin(c), c->in_name, monotonic_ms());
}

// After the probe's own line, one that names the input and what it held:
// `n` bytes (fewer than a probe block), or -1 with the read's `err`.
void warn_short_probe(const Context* c, int n, int err) {
    const char* name = c->in_name;
    if (n < 0) {
        log_warning("file %s: cannot be read (%s)", name, strerror(err));
    } else if (drv->live_input || input_is_stdin(c)) {
        log_warning(
            "file %s: ended after %d bytes, before the end of the %d-byte probe block "
            "a capture begins with",
            name, n, kBlockBytes);
    } else {
        log_warning(
            "file %s: %d bytes, shorter than the %d-byte probe block a capture begins "
            "with; nothing to decode",
            name, n, kBlockBytes);
    }
}

// The sample rate a recorder names in the text that follows the magic of a
// time-stamped probe block ("vorlix-record 0.1.0, 2400000 S/s, ..."): the
// number in front of the first " S/s" of that line; 0 when there is none.
uint32_t probe_rate(const uint8_t* probe, int n) {
    constexpr int kTextMax = 256;  // the line is far shorter
    const int end = std::min(n, 4 + kTextMax);
    for (int i = 4; i + 4 <= end && probe[i] != '\n' && probe[i] != '\0'; i++) {
        if (memcmp(probe + i, " S/s", 4) != 0) continue;
        uint64_t rate = 0;
        uint64_t scale = 1;
        for (int j = i - 1; j >= 4 && isdigit(probe[j]) && scale <= 1000000000; j--) {
            rate += static_cast<uint64_t>(probe[j] - '0') * scale;
            scale *= 10;
        }
        return scale > 1 && rate <= UINT32_MAX ? static_cast<uint32_t>(rate) : 0;
    }
    return 0;
}

// A capture whose probe block names another rate than the one the service
// decodes at (-s) gives few or no frames: said once in a run.
void check_recorded_rate(const Context* c, int n) {
    const uint32_t rate = probe_rate(c->scratch, n);
    if (rate == 0 || rate == drv->requested_rate || drv->rate_warned) return;
    drv->rate_warned = true;
    log_warning("file %s: recorded at %" PRIu32 " S/s (its probe block says so), but -s is %" PRIu32
                " S/s: frames are lost and mistimed; start the service with -s %" PRIu32,
                c->in_name, rate, drv->requested_rate, rate);
}

// Reads the probe block and decides the format. Standard input is probed
// only until a probe succeeds; later attempts keep its format (left in
// in_timestamped). False when nothing could be read.
bool probe_input(Context* c, bool* resumed) {
    *resumed = false;
    const bool is_stdin = input_is_stdin(c);
    if (is_stdin && drv->stdin_probed) {
        *resumed = true;
        return true;
    }
    int n = driver_wait_probe(c, c->scratch, kBlockBytes);
    if (n <= 0 && input_status() == INPUT_SILENT) return false;
    if (n <= 0) log_warning("can't read file: %d\n", n);
    if (n > 0 && n < kBlockBytes) log_warning("only read %d of %d\n", n, kBlockBytes);
    if (n < kBlockBytes) warn_short_probe(c, n, input_read_errno());
    if (n <= 0) return false;
    c->in_timestamped = (n >= 4 && get_le32(c->scratch) == kCaptureMagic) ? 1 : 0;
    if (c->in_timestamped) check_recorded_rate(c, n);
    if (is_stdin) drv->stdin_probed = true;
    return true;
}

void run_attempt(Context* c) {
    reset_attempt(c);
    open_input(c);
    bool resumed = false;
    if (!probe_input(c, &resumed)) {
        end_attempt(c);  // nothing else is open yet
        return;
    }
    // A time-stamped file opened again replays its own times from its start:
    // they are not a step of the clock, and its frames already sent stay
    // refused. Raw input (stamped from the wall clock) and a stream that
    // goes on (standard input, a pipe, a device) are followed across
    // attempts.
    if (c->in_timestamped && !input_is_stdin(c) && !drv->live_input)
        time_step_forget(&drv->steps);
    if (c->out_url == nullptr) link_use_stdout(c, monotonic_ms());
    if (c->out_url != nullptr && driver_open_output(c) < 0) {
        const bool go_on = drv->live_input && driver_output_down(c, monotonic_ms());
        if (!go_on) {
            if (!drv->out_exhausted) {
                drv->out_failures++;
                drv->ended_by_output = true;
                if (c->retry >= 0 && drv->out_failures > c->retry) drv->out_exhausted = true;
            }
            close_path(c);
            return;
        }
    }
    driver_run(c, resumed);
    // However the input ended, its last figures are reported, for both
    // formats alike, so that a run over a file ends with its report; then
    // what is queued goes out.
    driver_final_report(c);
    driver_drain(c);
    close_path(c);
}

/// The exit status once a retry count is used up: 0 after the input's
/// attempts, kExitOutputFailed when the destination's failures ended the
/// run.
int retries_used_up(const Context* c) {
    if (drv->out_exhausted) return kExitOutputFailed;
    if (c->retry >= 0 && drv->reconnect_index > c->retry)
        return drv->ended_by_output ? kExitOutputFailed : 0;
    return -1;
}

}  // namespace

int vorlix_main(int argc, char** argv) {
    Context* c = &ctx;
    drv = driver_state();
    *drv = DriverState{};
    log_stream = stderr;
    srandom(static_cast<unsigned>(time(nullptr)));
    prog_name = (argc > 0 && argv[0] != nullptr) ? argv[0] : "";

    // argv joined by blanks, at most 254 characters.
    int pos = 0;
    bool blank = false;
    for (int i = 0; i < argc && pos < kCmdLineMax; i++) {
        for (const char* p = argv[i]; *p != '\0' && pos < kCmdLineMax; p++) c->cmd_line[pos++] = *p;
        blank = pos < kCmdLineMax;
        if (blank) c->cmd_line[pos++] = ' ';
    }
    if (blank) pos--;
    c->cmd_line[pos] = '\0';

    // Groups 1 to 8 start at zero, then the defaults.
    memset(static_cast<void*>(c), 0, offsetof(Context, scratch));
    c->time_interval = 30;
    c->wait = 15;
    c->retry = -1;
    c->out_fd = 1;
    c->samp_rate = 2400000;
    c->process_frame = process_buffered_frame;  // what the loop has read
    c->frame_callback = send_frame;

    log_debug(1, "%s\n", c->cmd_line);
    // SIGPIPE sets a flag; the loop logs it.
    event_loop_signals();

    parse_args(c, argc, argv);
    if (c->in_name == nullptr) log_fatal("Missing file\n");

    drv->requested_rate = c->samp_rate;
    radio_init(c);
    VX_ASSERT(kModule, c->history_len >= 8 && c->history_len <= kMaxHistory);
    c->block = c->samples + 2 * c->history_len;
    log_debug(2, "Sampling rate: %5.3fMHz, Resampling: %d/%d\n", c->samp_rate / 1000000.0,
              static_cast<int>(c->resample_up), static_cast<int>(c->resample_down));

    struct timeval tv;
    gettimeofday(&tv, nullptr);
    char date[80];  // room for any year gmtime_r can give
    time_text(date, sizeof date, timeval_to_ts(tv.tv_sec, tv.tv_usec));
    log_debug(1, "%s: Delay %ds ", date, static_cast<int>(c->wait));
    outputs_start(c);  // the listening ports, before the delay
    driver_loop_start(c);
    for (int i = 0; i < c->wait; i++) {
        driver_pause(1000);
        log_debug(1, ".");
    }
    log_debug(1, "\n");

    drv->reconnect_index = 0;
    c->in_fd = -1;
    for (;;) {
        const int status = retries_used_up(c);
        if (status >= 0) {
            log_limit_report();  // the lines held back since the last report
            if (status != 0)
                log_info("the destination failed %d times in a row: retry count used up, exit "
                         "status %d",
                         static_cast<int>(drv->out_failures), status);
            outputs_finish();  // the last frames to the clients of the outputs
            event_loop_note_signals();
            log_lost_report();
            return status;
        }
        VX_ASSERT(kModule, c->in_fd == -1);
        log_debug(2, "reconnect delay index=%d\n", static_cast<int>(drv->reconnect_index));
        if (drv->reconnect_index > 0) {
            const int seconds = backoff_seconds(drv->reconnect_index);
            log_info("next attempt in %d s", seconds);
            driver_pause(1000LL * seconds);
        }
        run_attempt(c);
    }
}
