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
#include "sdr/link.h"
#include "sdr/log.h"
#include "sdr/log_limit.h"
#include "sdr/radio.h"
#include "sdr/remote.h"
#include "sdr/stats.h"
#include "sdr/time_step.h"
#include "sdr/uniq.h"

#ifndef VORLIX_VERSION
#define VORLIX_VERSION "<undef>"
#endif

constinit const char* prog_name = "";

// Sample rate: "2400000", "2400k", "2.4M". The value goes through single
// precision; the M form has kilohertz resolution.
int samp_rate_from_text(const char* text, uint32_t* rate, double* hz_out) {
    char* end = nullptr;
    double d = strtod(text, &end);
    // Narrowing a double beyond the float range is undefined: such a value
    // is out of range anyway, so keep it as it is.
    double v = std::fabs(d) > FLT_MAX ? d : static_cast<double>(static_cast<float>(d));
    double hz;
    switch (*end) {
        case '\0':
        case ' ':
        case '\t':
            hz = std::trunc(v + 0.5);
            break;
        case 'k':
            hz = std::trunc(v * 1000.0 + 0.5);
            break;
        case 'M':
            hz = std::trunc(v * 1000.0 + 0.5) * 1000.0;
            break;
        default:
            return kSampRateFormat;
    }
    if (end == text) return kSampRateFormat;
    *hz_out = hz;
    // The range is checked before the conversion to an integer, so that no
    // value (negative, huge, not a number) can wrap into the range.
    if (!(hz >= 2000000.0 && hz <= 3200000.0)) return kSampRateRange;
    *rate = static_cast<uint32_t>(hz);
    return 0;
}

namespace {

constexpr char kModule[] = "sdr/vorlix";
constexpr int kRecordBytes = kRecordHeaderBytes + kBlockBytes;  // 16 + 8192 = 8208
constexpr int kCmdLineMax = 254;                                // characters of cmd_line
constexpr int kMaxBackoffShift = 5;                             // back-off at most 2^5 s
static_assert(kRecordBytes == 8208);

// The option table; the closing entry matches the lone "-".
constexpr int kNoptions = static_cast<int>(std::size(kOptions));

constexpr char kDebugBits[] =
    "bits: phase=0x80, lex=0x40, yacc=0x20, cnst=0x10, decode3=0x8, decode2=0x4, "
    "decode1=0x2, statistics=0x1";

// The run's context record; every module receives a pointer to it.
constinit Context ctx{};

// The driver's own state across attempts (the input's format stays in
// ctx.in_timestamped).
struct DriverState {
    int32_t reconnect_index;  ///< attempts made; back-off exponent
    bool out_opened;          ///< the link opened the output in this attempt
    bool stdin_probed;        ///< a probe of standard input succeeded: its format is known
    bool live_input;          ///< the input is a pipe, FIFO, socket or character device
    bool rate_warned;         ///< the probe block named another rate than -s (said once)
    uint32_t requested_rate;  ///< -s as given, Hz (before the demodulator rounds it)
    bool output_down;         ///< live input: the output failed and waits for its back-off
    int64_t reconnect_at_ms;  ///< live input: monotonic ms of the next connection
    TimeSteps steps;          ///< the time of the last block, across attempts
};
constinit DriverState drv{};

uint32_t get_le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

uint64_t get_le64(const uint8_t* p) {
    return static_cast<uint64_t>(get_le32(p)) | static_cast<uint64_t>(get_le32(p + 4)) << 32;
}

void on_sigpipe(int) {
    log_warning("manually ignore SIGPIPE\n");
}

// ---------------------------------------------------------------------------
// Command line

// Integer with the base taken from the text (0x.. hexadecimal, 0.. octal);
// trailing characters are accepted. False when no digits were converted.
bool parse_int(const char* text, long* value) {
    char* end = nullptr;
    long v = strtol(text, &end, 0);
    if (end == text) return false;
    *value = v;
    return true;
}

uint32_t parse_samp_rate(const char* text) {
    uint32_t rate = 0;
    double hz = 0;
    int rc = samp_rate_from_text(text, &rate, &hz);
    if (rc == kSampRateFormat) print_usage("Cannot set samp_rate: %s (format error)\n", text);
    if (rc == kSampRateRange)
        print_usage("Cannot set samp_rate: %.0fHz (out of range)\n", hz + 0.0);
    return rate;
}

void parse_sensitivity(Context* c, const char* text) {
    const char* p = text;
    for (int i = 0; i < 4; i++) {
        char* end = nullptr;
        long v = strtol(p, &end, 0);
        if (end == p || v < -5 || v > 20) print_usage("Cannot set sensitvity[%d]: %s\n", i, p);
        c->sensitvity[i] = static_cast<int32_t>(v);
        if (*end == ',') {
            p = end + 1;  // after the fourth value the rest is ignored
            continue;
        }
        for (int j = i + 1; j < 4; j++) c->sensitvity[j] = static_cast<int32_t>(v);
        break;
    }
}

// An integer option: `syntax` when no digits were converted, `range` when
// outside lo..hi; both take the value text.
int32_t parse_ranged(const char* text, long lo, long hi, const char* syntax, const char* range) {
    long v = 0;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    if (!parse_int(text, &v)) print_usage(syntax, text);
    if (v < lo || v > hi) print_usage(range, text);
#pragma GCC diagnostic pop
    return static_cast<int32_t>(v);
}

// A TCP destination <host>:<port> (`colon` at its first colon): a host
// before the colon, and a port after it that is a decimal number 1..65535
// (which getaddrinfo would otherwise take modulo 65536) or a service name.
// Anything else is a command-line error.
void check_destination(const char* url, const char* colon) {
    const char* port = colon + 1;
    if (colon == url)
        print_usage("Cannot use destination url %s (no host before the colon)\n", url);
    if (*port == '\0') {
        print_usage("Cannot use destination url %s (no port after the colon; give <host>:<port>)\n",
                    url);
    }
    if (isalpha(static_cast<unsigned char>(*port))) {
        for (const char* p = port; *p != '\0'; p++) {
            if (!isalnum(static_cast<unsigned char>(*p)) && *p != '-' && *p != '_')
                print_usage("Cannot use destination url %s (port %s is not a service name)\n", url,
                            port);
        }
        return;
    }
    long value = 0;
    for (const char* p = port; *p != '\0'; p++) {
        if (!isdigit(static_cast<unsigned char>(*p)))
            print_usage("Cannot use destination url %s (port %s is not a number)\n", url, port);
        if (value <= 65535) value = value * 10 + (*p - '0');
    }
    if (value < 1 || value > 65535)
        print_usage("Cannot use destination url %s (port %s is outside 1..65535)\n", url, port);
}

}  // namespace

void print_usage(const char* fmt, ...) {
    if (fmt != nullptr) {
        fprintf(stderr, "%s: ", prog_name);
        va_list ap;
        va_start(ap, fmt);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
        vfprintf(stderr, fmt, ap);
#pragma GCC diagnostic pop
        va_end(ap);
        fputc('\n', stderr);
    }
    fprintf(stderr, "usage: %s [-d<level>] [-V] [-t <sec>] [-w <sec] -o <dest-url>  <file name>\n",
            prog_name);
    fputs("       -d<pattern> set debug pattern (bitwise or)\n", stderr);
    fprintf(stderr, "                   %s\n", kDebugBits);
    fputs("       -l | --logfile <file>\n", stderr);
    fputs("                   log to this file instead of stderr\n", stderr);
    fputs(
        "       -o | --output <dest-url>, connect to this destination proxy-url which is defined "
        "by <host>:<port>\n",
        stderr);
    fputs(
        "       -r | --retry <count>, number of retries on IO error (default: -1 - infinite) "
        "(range: -1 .. 100)\n",
        stderr);
    fputs("       -s | --samp_rate <Sp/s>\n", stderr);
    fputs("                   sampling rate. (default 2.4M).\n", stderr);
    fputs("                   range: 2M to 3.2M\n", stderr);
    fputs("       -t | --time <sec>\n", stderr);
    fputs(
        "                   statistical timing interval in seconds (default 30s.)  (range: 1 .. "
        "3600)\n",
        stderr);
    fputs("       -w | --wait <sec>\n", stderr);
    fputs("                   wait <sec> seconds before starting the service (default 15s)\n",
          stderr);
    fputs("       -z | --sensitvity\n", stderr);
    fputs("                   frame detection sensitvity (-5 .. 10) default to 0\n", stderr);
    fputs("       -c | --classic\n", stderr);
    // clang-format off: the line is compared by users' scripts as one piece
    fputs("                   decode with the classic single-pass demodulator (no phase search, no error correction)\n", stderr);
    // clang-format on
    fputs("       <file name> file to be parsed\n", stderr);
    fputs("       -V | --version \n", stderr);
    fprintf(stderr, "                   show %s version information and exit\n", prog_name);
    fputs("       -h | --help \n", stderr);
    fputs("       -? | --help \n", stderr);
    fflush(stderr);
    exit(1);
}

void parse_args(Context* c, int argc, char** argv) {
    my_optind = 1;
    for (;;) {
        int opt_index = 0;
        int arg_index = 0;
        const char* value = nullptr;
        int rc = my_getopt_long(argc, argv, &opt_index, &arg_index, kOptions, kNoptions, &value);
        if (rc == GETOPT_END) return;
        if (rc == GETOPT_ERROR) print_usage("Syntax error on command line (%s)\n", argv[arg_index]);
        if (rc == GETOPT_NONOPT) {
            if (c->in_name != nullptr) print_usage("\nMore than one file specified.\n");
            c->in_name = argv[arg_index];
            continue;
        }
        switch (kOptions[opt_index].short_opt) {
            case 's':
                c->samp_rate = parse_samp_rate(value);
                break;
            case 'z':
                parse_sensitivity(c, value);
                break;
            case 't':
                c->time_interval = parse_ranged(value, 1, 3600, "Cannot set time interval to %s\n",
                                                "time interval is out of range: %s\n");
                break;
            case 'w':
                c->wait = parse_ranged(value, 0, 3600, "Cannot set wait service delay to %s\n",
                                       "startup delay is out of range: %s\n");
                break;
            case 'r':
                c->retry = parse_ranged(value, -1, 100, "Cannot set retry count to %s\n",
                                        "retry count is out of range (-1 .. 100): %s\n");
                break;
            case 'd':
                debug_mask = parse_ranged(value, 0, 255, "Cannot convert debug level: %s\n",
                                          "Cannot convert debug level: %s\n");
                break;
            case 'o':
                if (c->out_url != nullptr)
                    print_usage("Cannot support multiple destination urls: %s\n", value);
                if (value[0] == '\0') print_usage("Cannot support empty destination url\n");
                if (const char* colon = strchr(value, ':')) check_destination(value, colon);
                c->out_url = value;
                break;
            case 'l': {
                FILE* f = fopen(value, "a");
                if (f == nullptr) print_usage("Cannot open logfile: %s\n", value);
                log_stream = f;  // an earlier log file stays open
                break;
            }
            case 'c':
                c->classic = 1;
                break;
            case 'V':
                fprintf(stderr, "%s version %s\n", prog_name, VORLIX_VERSION);
                fflush(stderr);
                exit(0);
            case 'h':
            case '?':
                print_usage(nullptr);
            case 0:
                c->in_name = "-";  // nothing after a lone "-" is examined
                return;
            default:
                VX_ASSERT(kModule, false);
        }
    }
}

namespace {

// ---------------------------------------------------------------------------
// Attempts

bool input_is_stdin(const Context* c) {
    return strcmp(c->in_name, "-") == 0;
}

// The input is read ahead about 64 KiB at a time, one read() for eight
// records instead of one or two per record (fewer, larger reads cost the
// kernel less). Records and blocks are handed out where they lie in the
// buffer, not copied: the buffer holds eight whole records, so once a
// file's records line up with it (after the first refill) every record
// lies whole in it, and raw blocks move 128 bytes per refill. The
// demodulator wants its I/Q pairs at an even address, so an even count is
// always handed out at an even offset: only a realignment, which takes
// bytes one at a time, can leave the next record at an odd offset, and then
// the bytes held move down once (at most 64 KiB) and every later record
// lies even again. Bytes read ahead from standard input stay here for the
// next attempt (standard input is never reopened); a file opened again
// starts afresh.
constexpr int kReadAhead = 8 * kRecordBytes;
struct ReadAhead {
    int32_t pos;  ///< next byte to hand out, 0..end
    int32_t end;  ///< bytes held, 0..kReadAhead
    alignas(64) uint8_t data[kReadAhead];
};
constinit ReadAhead ahead{};

// Hands out the next `count` bytes (at most kReadAhead) where they lie
// together in the buffer, valid until the next call, reading until they
// are in, the input ends or a read fails: a pipe delivers a block in
// pieces. *n: the bytes handed out (fewer than count only at the end of
// input), or -1 when a read failed (nothing is handed out then). The end
// of input is not remembered: a later call reads again.
uint8_t* ahead_take(int fd, int count, int* n) {
    VX_ASSERT(kModule, count > 0 && count <= kReadAhead);
    *n = count;
    const bool misaligned = ahead.pos % 2 != 0 && count % 2 == 0;
    if (ahead.end - ahead.pos < count || misaligned) {
        if (ahead.pos > 0) {
            memmove(ahead.data, ahead.data + ahead.pos, static_cast<size_t>(ahead.end - ahead.pos));
            ahead.end -= ahead.pos;
            ahead.pos = 0;
        }
        while (ahead.end < count) {
            ssize_t got = read(fd, ahead.data + ahead.end, sizeof ahead.data - ahead.end);
            if (got < 0) {
                if (errno == EINTR) continue;
                *n = -1;
                return ahead.data;
            }
            if (got == 0) break;
            ahead.end += static_cast<int32_t>(got);
        }
        *n = std::min(count, static_cast<int>(ahead.end));
    }
    uint8_t* at = ahead.data + ahead.pos;
    ahead.pos += *n;
    return at;
}

// ahead_take, copied into `buf`. Returns the bytes copied, or -1 when a
// read failed.
int read_full(int fd, uint8_t* buf, int count) {
    int n = 0;
    const uint8_t* at = ahead_take(fd, count, &n);
    if (n > 0) memcpy(buf, at, static_cast<size_t>(n));
    return n;
}

// Puts back the last `count` bytes handed out, so that the next take hands
// them out again (valid right after the take that handed them out).
void ahead_give_back(int count) {
    VX_ASSERT(kModule, count >= 0 && count <= ahead.pos);
    ahead.pos -= count;
}

// Forgets the bytes read ahead (the input is about to be opened again).
void discard_read_ahead() {
    ahead.pos = 0;
    ahead.end = 0;
}

void sleep_seconds(unsigned seconds) {
    while (seconds > 0) seconds = sleep(seconds);
}

/// The back-off after `index` attempts: 2^min(index, 5) seconds.
int backoff_seconds(int32_t index) {
    return 1 << (index < kMaxBackoffShift ? index : kMaxBackoffShift);
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
    c->out_broken = 0;
    drv.output_down = false;
    memset(c->mag, 0, 2 * c->history_len * sizeof c->mag[0]);
}

// Ends an attempt: closes what the attempt opened (never standard input,
// never the default standard output) and counts the attempt.
void end_attempt(Context* c) {
    if (!input_is_stdin(c) && c->in_fd >= 0) close(c->in_fd);
    if (drv.out_opened) link_close(c, c->out_broken != 0);
    drv.out_opened = false;
    c->in_fd = -1;
    drv.reconnect_index++;
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

void open_input(Context* c) {
    if (input_is_stdin(c)) {
        c->in_fd = 0;
    } else {
        discard_read_ahead();
        c->in_fd = open(c->in_name, O_RDONLY | O_CLOEXEC);
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
    drv.live_input = is_live(c->in_fd);
}

// After the probe's own line, one that names the input and what it held:
// `n` bytes (fewer than a probe block), or -1 with the read's `err`.
void warn_short_probe(const Context* c, int n, int err) {
    const char* name = c->in_name;
    if (n < 0) {
        log_warning("file %s: cannot be read (%s)", name, strerror(err));
    } else if (drv.live_input || input_is_stdin(c)) {
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
    if (rate == 0 || rate == drv.requested_rate || drv.rate_warned) return;
    drv.rate_warned = true;
    log_warning("file %s: recorded at %" PRIu32 " S/s (its probe block says so), but -s is %" PRIu32
                " S/s: frames are lost and mistimed; start the service with -s %" PRIu32,
                c->in_name, rate, drv.requested_rate, rate);
}

// Reads the probe block and decides the format. Standard input is probed
// only until a probe succeeds; later attempts keep its format (left in
// in_timestamped). False when nothing could be read.
bool probe_input(Context* c, bool* resumed) {
    *resumed = false;
    const bool is_stdin = input_is_stdin(c);
    if (is_stdin && drv.stdin_probed) {
        *resumed = true;
        return true;
    }
    int n = read_full(c->in_fd, c->scratch, kBlockBytes);
    const int err = errno;
    if (n <= 0) log_warning("can't read file: %d\n", n);
    if (n > 0 && n < kBlockBytes) log_warning("only read %d of %d\n", n, kBlockBytes);
    if (n < kBlockBytes) warn_short_probe(c, n, err);
    if (n <= 0) return false;
    c->in_timestamped = (n >= 4 && get_le32(c->scratch) == kCaptureMagic) ? 1 : 0;
    if (c->in_timestamped) check_recorded_rate(c, n);
    if (is_stdin) drv.stdin_probed = true;
    return true;
}

// Computes this station's id into uniq_id; `peer`: the proxy's address, for
// the fallbacks when there is no default route (0: none).
void set_station_id(Context* c, int no_output, TimeStamp now, uint32_t peer) {
    calc_uniq(&c->uniq_result, 0, 0, 0, no_output, now, peer);
    memcpy(c->uniq_id.bytes, c->uniq_result.bytes, sizeof c->uniq_id.bytes);
}

// Opens the destination. With a file input the connect is waited for, then
// the station id is computed and the HELLO sent. A live input never waits:
// the id is computed as soon as the connect is under way (frames are queued
// with it before the connection is made), and link_service reports the
// connection, which then gets its HELLO. Negative when the destination
// could not be opened.
int open_output(Context* c) {
    const bool wait = !drv.live_input;
    const int rc = link_open(c, wait, monotonic_ms());
    if (!wait) {
        log_debug(2, "calc_uniq....\n");
        set_station_id(c, 0, timestamp_now(), link_peer_address(c));
    }
    if (rc < 0) {
        log_warning("Cannot %s %s (%s)\n", "open", c->out_url, "no-sock");
        return -1;
    }
    drv.out_opened = true;
    if (rc == 0) return 0;  // connecting
    if (c->out_fd < 3) {
        log_warning("Cannot %s %s (%s)\n", "connect to", c->out_url,
                    c->out_remote ? "remote" : "local");
        return -1;
    }
    TimeStamp now = timestamp_now();
    if (wait) {
        log_debug(2, "calc_uniq....\n");
        set_station_id(c, 0, now, peer_ipv4_address(c->out_fd));
    }
    remote_connected(c, now);  // queued: a failure shows at the first write
    return 0;
}

// Live input: the output failed or could not be connected. It is closed
// and opened again after the back-off, while the input goes on and frames
// wait in the link's queue. False when the retry count is used up: the
// attempt ends.
bool output_down(Context* c, int64_t now_ms) {
    link_close(c, true);
    drv.out_opened = false;
    c->out_broken = 0;
    drv.reconnect_index++;
    if (c->retry >= 0 && drv.reconnect_index > c->retry) return false;
    const int seconds = backoff_seconds(drv.reconnect_index);
    drv.output_down = true;
    drv.reconnect_at_ms = now_ms + 1000LL * seconds;
    log_info("Close ctx.out_fd, input kept open; next connection to %s in %d s", c->out_url,
             seconds);
    return true;
}

// Says why the output failed (`event` from link_service, or a failed read,
// which has said it already).
void warn_output_failed(const Context* c, int event) {
    if (event == LINK_NO_CONNECTION) {
        log_warning("Cannot %s %s (%s)\n", "open", c->out_url, "no-sock");
    } else if (c->out_broken) {
        log_warning("Cannot write to %s, output closed",
                    c->out_url != nullptr ? c->out_url : "standard output");
    }
}

// The output failed: a file input ends the attempt (nothing more goes to
// the output), a live input goes on.
bool output_failed(Context* c, int event, int64_t now_ms) {
    warn_output_failed(c, event);
    c->out_broken = 1;
    return drv.live_input && output_down(c, now_ms);
}

// Live input: the back-off of a failed output has passed: connect again.
bool reopen_output(Context* c, int64_t now_ms) {
    drv.output_down = false;
    const int rc = link_open(c, false, now_ms);
    if (rc < 0) return output_failed(c, LINK_NO_CONNECTION, now_ms);
    drv.out_opened = true;
    if (rc > 0) remote_connected(c, timestamp_now());
    return true;
}

// The link's share of a block or record, before it is demodulated: a
// waiting request is read (time-stamped input with a TCP destination, so
// that its answer carries the record's time), the queue is written as far
// as the output takes it and a connect in progress is followed; a live
// input reopens a failed output once its back-off has passed. The time it
// takes is the time the sample path spent on the network. False when the
// attempt ends.
bool serve_link(Context* c) {
    const int64_t start_us = monotonic_us();
    const int64_t now = start_us / 1000;
    int event = LINK_OK;
    if (c->in_timestamped && c->out_remote && c->process_frame(c, &c->cur_time) < 0)
        event = LINK_BROKEN;
    while (event == LINK_OK && (event = link_service(c, now)) == LINK_CONNECTED) {
        remote_connected(c, timestamp_now());
        event = LINK_OK;
    }
    bool go_on = true;
    if (event < 0) {
        go_on = output_failed(c, event, now);
    } else if (drv.output_down && now >= drv.reconnect_at_ms) {
        go_on = reopen_output(c, now);
    }
    link_note_wait(monotonic_us() - start_us);
    return go_on;
}

// The input has ended: what is queued goes out before the close path (a
// connect in progress is waited for, a peer that takes nothing for 30 s is
// given up). With the output down the frames stay queued for the next
// attempt.
void drain_output(Context* c) {
    while (!c->out_broken) {
        const int event = link_service(c, monotonic_ms());
        if (event == LINK_CONNECTED) {
            remote_connected(c, timestamp_now());
            continue;
        }
        if (event < 0) {
            warn_output_failed(c, event);  // the close path follows
            return;
        }
        if (!link_busy(c)) return;
        link_wait(c, 1000);
    }
}

// The statistics interval in units of 2^-32 s.
int64_t stats_interval(const Context* c) {
    return static_cast<int64_t>(c->time_interval) << 32;
}

// The end of a statistics interval: the count of the lines held back in
// it, the statistics and aircraft reports; returns stats_report's count.
int report(Context* c) {
    log_limit_report();
    const int accepted = stats_report(&c->stats, timestamp_now(), c->peak_mag);
    link_report(c);
    c->peak_mag = 0;
    if (!c->classic) recovered_report(&c->stats);
    aircraft_report(&c->stats, c->cur_time - static_cast<uint64_t>(stats_interval(c)));
    return accepted;
}

// Statistics check after a processed block or record: a report is due when
// more than time_interval seconds of sample time have passed since the last
// one. Returns true when a report was made, with stats_report's count.
bool stats_check(Context* c, int* accepted) {
    if (ts_diff(c->cur_time, c->last_stat_time) <= stats_interval(c)) return false;
    c->last_stat_time = c->cur_time;
    *accepted = report(c);
    return true;
}

// The time of the block about to be processed against the block before it
// (`within`: of the same attempt). A step back starts a new time base
// (sdr/time_step), and the statistics interval then runs from the new time.
void follow_time(Context* c, bool within) {
    if (time_step_follow(c, &drv.steps, within) == TIME_STEP_BACK &&
        ts_diff(c->cur_time, c->last_stat_time) < 0)
        c->last_stat_time = c->cur_time;
}

// Standard input resumed by a later attempt: the stream may stand anywhere
// in a record. Looks for the next header (magic and length 8192) and leaves
// it in `header`; false at the end of input or on a read error.
bool realign(Context* c, uint8_t* header) {
    int n = read_full(c->in_fd, header, kRecordHeaderBytes);
    uint64_t consumed = n > 0 ? static_cast<uint64_t>(n) : 0;
    bool found = false;
    if (n == kRecordHeaderBytes) {
        for (;;) {
            if (get_le32(header) == kCaptureMagic &&
                get_le32(header + 12) == static_cast<uint32_t>(kBlockBytes)) {
                found = true;
                break;
            }
            memmove(header, header + 1, kRecordHeaderBytes - 1);
            n = read_full(c->in_fd, header + kRecordHeaderBytes - 1, 1);
            if (n != 1) break;
            consumed++;
        }
    }
    if (n < 0) log_warning("can't read file %s len=%d", c->in_name, n);
    if (found) {
        if (log_allowed(LINE_RECORD_SKIP))
            log_warning("file %s: skipped %" PRIu64 " bytes to the next record header", c->in_name,
                        consumed - kRecordHeaderBytes);
    } else if (consumed > 0 && log_allowed(LINE_RECORD_NONE)) {
        log_warning("file %s: skipped %" PRIu64 " bytes, no record header before the end",
                    c->in_name, consumed);
    }
    return found;
}

// A record cut short by the end of input after `n` of its bytes.
void warn_short_record(const Context* c, uint64_t number, int n) {
    if (!log_allowed(LINE_RECORD_CUT)) return;
    log_warning("file %s: record %" PRIu64 " ends after %d of %d bytes", c->in_name, number, n,
                kRecordBytes);
}

// Time-stamped input: one record per block, processed where it lies in the
// read-ahead buffer (after a realignment, the first header is the one found).
void record_loop(Context* c, bool resumed) {
    uint8_t pending[kRecordHeaderBytes];
    bool have_pending = false;
    if (resumed) {
        if (!realign(c, pending)) return;
        have_pending = true;
    }
    for (;;) {
        uint8_t* header = pending;
        int n = 0;
        if (have_pending) {
            c->block = ahead_take(c->in_fd, kBlockBytes, &n);
            if (n >= 0) n += kRecordHeaderBytes;
            have_pending = false;
        } else {
            header = ahead_take(c->in_fd, kRecordBytes, &n);
            c->block = header + kRecordHeaderBytes;
        }
        const uint64_t number = c->n_records + 1;
        if (n == 0) return;  // end of input
        if (n < 0) {
            log_warning("can't read file %s len=%d", c->in_name, n);
            return;
        }
        if (n < kRecordHeaderBytes) return warn_short_record(c, number, n);
        const uint32_t magic = get_le32(header);
        const uint64_t time_ns = get_le64(header + 4);
        const uint32_t length = get_le32(header + 12);
        // A damaged record header: the attempt ends, and standard input,
        // which the next attempt realigns, is given the record back, so
        // that a record that begins inside it is found again.
        if (magic != kCaptureMagic) {
            ahead_give_back(n);
            if (log_allowed(LINE_RECORD_MAGIC))
                log_warning("file %s: record %" PRIu64 " has magic 0x%08" PRIX32
                            ", not 0x%08" PRIX32,
                            c->in_name, number, magic, kCaptureMagic);
            return;
        }
        if (length != static_cast<uint32_t>(kBlockBytes)) {
            ahead_give_back(n);
            if (log_allowed(LINE_RECORD_LENGTH))
                log_warning("file %s: record %" PRIu64 " announces %" PRIu32 " data bytes, not %d",
                            c->in_name, number, length, kBlockBytes);
            return;
        }
        if (n < kRecordBytes) return warn_short_record(c, number, n);
        c->cur_time = ns_to_ts(time_ns);
        c->n_records++;
        follow_time(c, c->n_records > 1);
        // The first report comes one interval after the attempt's first
        // record, not at it.
        if (c->n_records == 1) c->last_stat_time = c->cur_time;
        if (!serve_link(c)) return;
        int32_t rc = process_block(c);
        if (rc < 0) {
            log_warning("Processing error (ret=%d)", static_cast<int>(rc));
            return;
        }
        c->stats.n_blocks++;
        int accepted = 0;
        // Accepted frames bring the back-off back to its start while the
        // output is connected.
        if (stats_check(c, &accepted) && accepted != 0 && c->out_fd >= 0)
            drv.reconnect_index = 0;
    }
}

// Raw input: blocks of 8192 bytes stamped from the wall clock at the start.
// Without a destination the station id has not been computed yet.
void raw_loop(Context* c) {
    if (c->out_url == nullptr) set_station_id(c, 1, timestamp_now(), 0);
    c->cur_time = timestamp_now();
    const TimeStamp duration = block_duration(c->samp_rate);
    c->last_stat_time = c->cur_time - duration;

    for (bool within = false;; within = true) {
        int n = 0;
        c->block = ahead_take(c->in_fd, kBlockBytes, &n);
        if (n == kBlockBytes) {
            c->cur_time += duration;
            follow_time(c, within);
            if (!serve_link(c)) break;
            if (process_block(c) < 0) {
                log_warning("Processing error in file '%s'.", c->in_name);
                break;
            }
            c->stats.n_blocks++;
            int accepted = 0;
            stats_check(c, &accepted);
            continue;
        }
        if (n > 0 && log_allowed(LINE_SHORT_READ))
            log_warning("short read on file %s len=%d", c->in_name, n);
        if (n < 0) log_warning("can't read file %s len=%d", c->in_name, n);
        break;
    }
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
    if (c->in_timestamped && !input_is_stdin(c) && !drv.live_input)
        time_step_forget(&drv.steps);
    if (c->out_url != nullptr && open_output(c) < 0 &&
        !(drv.live_input && output_down(c, monotonic_ms()))) {
        close_path(c);
        return;
    }
    if (c->in_timestamped)
        record_loop(c, resumed);
    else
        raw_loop(c);
    // However the input ended, its last figures are reported, for both
    // formats alike, so that a run over a file ends with its report; then
    // what is queued goes out.
    report(c);
    drain_output(c);
    close_path(c);
}

}  // namespace

int vorlix_main(int argc, char** argv) {
    Context* c = &ctx;
    drv = DriverState{};
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
    c->process_frame = process_frame;
    c->frame_callback = send_frame;

    log_debug(1, "%s\n", c->cmd_line);
    // The handler stays installed and interrupted reads are restarted
    // (signal() promises neither on every C library).
    struct sigaction pipe_action {};
    pipe_action.sa_handler = on_sigpipe;
    pipe_action.sa_flags = SA_RESTART;
    sigemptyset(&pipe_action.sa_mask);
    sigaction(SIGPIPE, &pipe_action, nullptr);

    parse_args(c, argc, argv);
    if (c->in_name == nullptr) log_fatal("Missing file\n");

    drv.requested_rate = c->samp_rate;
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
    for (int i = 0; i < c->wait; i++) {
        sleep_seconds(1);
        log_debug(1, ".");
    }
    log_debug(1, "\n");

    drv.reconnect_index = 0;
    c->in_fd = -1;
    for (;;) {
        if (c->retry >= 0 && drv.reconnect_index > c->retry) {
            log_limit_report();  // the lines held back since the last report
            return 0;
        }
        VX_ASSERT(kModule, c->in_fd == -1);
        log_debug(2, "reconnect delay index=%d\n", static_cast<int>(drv.reconnect_index));
        if (drv.reconnect_index > 0) sleep_seconds(backoff_seconds(drv.reconnect_index));
        run_attempt(c);
    }
}
