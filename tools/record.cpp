// vorlix-record: records 8-bit I/Q samples of the 1090 MHz band, from an
// RTL-SDR dongle (librtlsdr, asynchronous reading with the library's
// buffers) or as raw bytes on standard input, in the time-stamped capture
// format the service reads:
//
//   probe block  8192 bytes: the magic 0x54535201 (bytes 01 52 53 54), then
//                a line of text naming the recorder, the rate and the source
//   records      8208 bytes each: magic (4), time_ns (8, the instant just
//                after the record's last sample), length (4, 8192), then
//                4096 I/Q pairs; all little-endian
//
// The record times come from the sample clock (lib/sample_clock): the count
// of samples since the start at the nominal rate, disciplined to the arrival
// times of the buffers. Records are written whole: on a signal the current
// one is finished first, and a regular file that cannot take a whole record
// is cut back to the last complete one. The program ends with status 0 at the
// end of its input, when its reader goes away and on SIGINT, SIGTERM or
// SIGHUP; with status 1 on a usage error, when no device can be used, when
// the output cannot be opened or written, when the device stops, and when
// standard input (--stdin) is a time-stamped capture already.
#include <fcntl.h>
#include <getopt.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "include/context.h"
#include "lib/sample_clock.h"
#include "sdr/vorlix.h"

#ifdef VORLIX_HAVE_RTLSDR
#include <rtl-sdr.h>
#endif

#ifndef VORLIX_VERSION
#define VORLIX_VERSION "<undef>"
#endif

namespace {

constexpr int kRecordBytes = kRecordHeaderBytes + kBlockBytes;  // 16 + 8192 = 8208
constexpr size_t kChunkBytes = 65536;  // one read or one dongle buffer: 13.7 ms at 2.4 MS/s
constexpr int kDongleBuffers = 16;     // 16 x 64 KiB: 0.22 s of samples in flight
static_assert(kRecordBytes == 8208);
static_assert(kBlockPairs == kClockRecordSamples);

const char kUsage[] =
    "Usage: vorlix-record [options]\n"
    "Records 8-bit I/Q samples from an RTL-SDR dongle, or raw samples from standard\n"
    "input, as the time-stamped captures vorlix reads: an 8192-byte probe block,\n"
    "then 8208-byte records of 4096 I/Q pairs, each with the time just after its\n"
    "last sample.\n"
    "  -d, --device INDEX|SERIAL  dongle by index or serial number (default 0)\n"
    "  -f, --freq HZ              centre frequency, also 1090M (default 1090M)\n"
    "  -s, --samp_rate RATE       sample rate, 2000000..3200000, also 2400k, 2.4M\n"
    "                             (default 2.4M)\n"
    "  -g, --gain DB|auto         tuner gain in dB, the nearest the tuner offers\n"
    "                             (default auto)\n"
    "  -G, --list-gains           print the tuner's gains and exit\n"
    "  -p, --ppm PPM              frequency correction, -1000..1000 ppm (default 0)\n"
    "      --stdin                raw 8-bit I/Q from standard input instead of a dongle\n"
    "  -o, --output FILE          file or named pipe (default: standard output)\n"
    "  -t, --time SECONDS         status line every SECONDS, 0 for none (default 600)\n"
    "  -V, --version              print the version and exit\n"
    "  -h, --help                 this text\n";

__attribute__((format(printf, 1, 2))) void say(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    fputs("vorlix-record: ", stderr);
    vfprintf(stderr, fmt, ap);
    fputc('\n', stderr);
    va_end(ap);
}

[[noreturn]] __attribute__((format(printf, 1, 2))) void usage_error(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    fputs("vorlix-record: ", stderr);
    vfprintf(stderr, fmt, ap);
    fputs("\n(vorlix-record --help lists the options)\n", stderr);
    va_end(ap);
    exit(1);
}

int64_t wall_ns() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

// ---------------------------------------------------------------------------
// Options

struct Options {
    const char* device = nullptr;  // index or serial; null: index 0
    uint32_t freq = 1090000000;
    uint32_t rate = 2400000;
    bool auto_gain = true;
    double gain_db = 0;
    bool list_gains = false;
    int ppm = 0;
    bool from_stdin = false;
    const char* output = nullptr;  // null or "-": standard output
    int status_s = 600;
    bool dongle_option = false;  // an option that only a dongle takes was given
};

// A number with an optional k, M or G; false unless the whole text is used.
bool parse_scaled(const char* text, double* value) {
    char* end = nullptr;
    double v = strtod(text, &end);
    if (end == text || !std::isfinite(v)) return false;
    if (*end == 'k')
        v *= 1e3, end++;
    else if (*end == 'M')
        v *= 1e6, end++;
    else if (*end == 'G')
        v *= 1e9, end++;
    if (*end != '\0') return false;
    *value = v;
    return true;
}

long parse_long(const char* text, long lo, long hi, const char* what) {
    char* end = nullptr;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || v < lo || v > hi)
        usage_error("%s must be a whole number in %ld..%ld: %s", what, lo, hi, text);
    return v;
}

Options parse_options(int argc, char** argv) {
    enum { kStdin = 256 };
    static const struct option kLong[] = {{"device", required_argument, nullptr, 'd'},
                                          {"freq", required_argument, nullptr, 'f'},
                                          {"samp_rate", required_argument, nullptr, 's'},
                                          {"gain", required_argument, nullptr, 'g'},
                                          {"list-gains", no_argument, nullptr, 'G'},
                                          {"ppm", required_argument, nullptr, 'p'},
                                          {"stdin", no_argument, nullptr, kStdin},
                                          {"output", required_argument, nullptr, 'o'},
                                          {"time", required_argument, nullptr, 't'},
                                          {"version", no_argument, nullptr, 'V'},
                                          {"help", no_argument, nullptr, 'h'},
                                          {nullptr, 0, nullptr, 0}};
    Options o;
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, ":d:f:s:g:Gp:o:t:Vh", kLong, nullptr)) != -1) {
        switch (c) {
            case 'd':
                o.device = optarg;
                o.dongle_option = true;
                break;
            case 'f': {
                double hz = 0;
                if (!parse_scaled(optarg, &hz) || hz < 1 || hz > 4294967295.0)
                    usage_error("the frequency must be 1..4294967295 Hz, also 1090M: %s", optarg);
                o.freq = static_cast<uint32_t>(std::llround(hz));
                o.dongle_option = true;
                break;
            }
            case 's': {
                double hz = 0;
                int rc = samp_rate_from_text(optarg, &o.rate, &hz);
                if (rc == kSampRateFormat) usage_error("cannot read the sample rate %s", optarg);
                if (rc == kSampRateRange)
                    usage_error("the sample rate %.0f Hz is outside 2000000..3200000", hz);
                break;
            }
            case 'g':
                if (strcmp(optarg, "auto") == 0) {
                    o.auto_gain = true;
                } else {
                    char* end = nullptr;
                    o.gain_db = strtod(optarg, &end);
                    if (end == optarg || *end != '\0' || !(o.gain_db >= -10 && o.gain_db <= 100))
                        usage_error("the gain must be auto or a value in dB: %s", optarg);
                    o.auto_gain = false;
                }
                o.dongle_option = true;
                break;
            case 'G':
                o.list_gains = true;
                o.dongle_option = true;
                break;
            case 'p':
                o.ppm = static_cast<int>(parse_long(optarg, -1000, 1000, "the correction"));
                o.dongle_option = true;
                break;
            case kStdin:
                o.from_stdin = true;
                break;
            case 'o':
                if (o.output) usage_error("only one output: %s", optarg);
                o.output = optarg;
                break;
            case 't':
                o.status_s = static_cast<int>(parse_long(optarg, 0, 86400, "the status interval"));
                break;
            case 'V':
                fprintf(stderr, "vorlix-record version %s\n", VORLIX_VERSION);
                exit(0);
            case 'h':
                fputs(kUsage, stdout);
                exit(0);
            case ':':
                usage_error("%s needs a value", argv[optind - 1]);
            default:
                usage_error("unknown option %s", argv[optind - 1]);
        }
    }
    if (optind < argc) usage_error("unexpected argument %s", argv[optind]);
    if (o.from_stdin && o.dongle_option)
        usage_error("-d, -f, -g, -G and -p set up a dongle; they do not go with --stdin");
    return o;
}

// ---------------------------------------------------------------------------
// Signals: the first SIGINT, SIGTERM or SIGHUP asks to stop after the current
// record; a second one ends the program at once.

volatile sig_atomic_t g_stop = 0;

void on_stop_signal(int sig) {
    if (g_stop) _exit(128 + sig);
    g_stop = sig;
}

void install_signals() {
    signal(SIGPIPE, SIG_IGN);  // a reader that goes away shows as EPIPE
    signal(SIGXFSZ, SIG_IGN);  // a file size limit shows as EFBIG
    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no restart: a blocked read or write returns
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &sa, nullptr);
}

// ---------------------------------------------------------------------------
// Output: whole records only.

enum WriteResult { kWritten = 0, kReaderGone = 1, kWriteFailed = 2 };

struct Output {
    int fd = 1;
    const char* name = "standard output";
    bool regular = false;  // a regular file: cut back on a failed write
    uint64_t offset = 0;   // bytes of whole blocks and records written
};

int open_output(const Options& o, Output* out) {
    if (o.output && strcmp(o.output, "-") != 0) {
        out->name = o.output;
        // A named pipe opens once its reader is there (the service's next
        // attempt); a signal meanwhile ends the wait.
        int fd = open(o.output, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) {
            if (errno == EINTR && g_stop) return 1;
            say("cannot open the output %s: %s", o.output, strerror(errno));
            return -1;
        }
        out->fd = fd;
    }
    struct stat st;
    if (fstat(out->fd, &st) == 0) {
        out->regular = S_ISREG(st.st_mode);
#ifdef F_SETPIPE_SZ
        // A larger pipe rides out a reader that is busy for a moment.
        if (S_ISFIFO(st.st_mode)) fcntl(out->fd, F_SETPIPE_SZ, 1 << 20);
#endif
    }
    return 0;
}

// Writes all of `data`; a signal does not cut a record short.
WriteResult write_whole(Output* out, const uint8_t* data, size_t len) {
    size_t done = 0;
    while (done < len) {
        ssize_t w = write(out->fd, data + done, len - done);
        if (w > 0) {
            done += static_cast<size_t>(w);
        } else if (w < 0 && errno == EINTR) {
            continue;
        } else {
            int err = w < 0 ? errno : ENOSPC;
            if (err == EPIPE) return kReaderGone;
            say("cannot write to %s: %s", out->name, strerror(err));
            if (out->regular && done > 0 &&
                ftruncate(out->fd, static_cast<off_t>(out->offset)) != 0)
                say("cannot cut %s back to its last whole record: %s", out->name, strerror(errno));
            return kWriteFailed;
        }
    }
    out->offset += len;
    return kWritten;
}

void put_le(uint8_t* p, uint64_t v, int n) {
    for (int i = 0; i < n; i++) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

WriteResult write_probe(Output* out, const Options& o) {
    uint8_t probe[kBlockBytes] = {};
    put_le(probe, kCaptureMagic, 4);
    char source[64] = "standard input";
    if (!o.from_stdin) snprintf(source, sizeof source, "RTL-SDR at %" PRIu32 " Hz", o.freq);
    snprintf(reinterpret_cast<char*>(probe + 4), sizeof probe - 4,
             "vorlix-record %s, %" PRIu32 " S/s, %s\n", VORLIX_VERSION, o.rate, source);
    return write_whole(out, probe, sizeof probe);
}

// ---------------------------------------------------------------------------
// The recorder: samples into a ring, the sample clock, records out.

struct Recorder {
    Options opt;
    Output out;
    SampleClock clock;
    std::vector<uint8_t> ring;  // bytes [received - size, received) of the input
    uint64_t received = 0;      // bytes since the start
    uint64_t records = 0;
    int64_t next_status_ns = 0;
    int64_t quiet_until_ns = 0;  // restart warnings: at most one per 10 s
    uint32_t unreported_restarts = 0;
    WriteResult result = kWritten;
    uint8_t record[kRecordBytes];

    void init(const Options& o) {
        opt = o;
        sample_clock_init(&clock, o.rate);
        // The clock holds records back one bin; the ring keeps that, the
        // record being cut, and one more chunk.
        size_t bytes = 2 * (clock.hold_samples + 2 * kClockRecordSamples) + 2 * kChunkBytes;
        ring.assign(bytes, 0);
    }

    /// Where the next bytes of input go, and how many fit there in one piece.
    uint8_t* tail(size_t* room) {
        size_t at = static_cast<size_t>(received % ring.size());
        *room = std::min(ring.size() - at, kChunkBytes);
        return ring.data() + at;
    }

    /// Copies `len` bytes of input into the ring (at most one chunk).
    void put(const uint8_t* data, size_t len) {
        while (len > 0) {
            size_t room = 0;
            uint8_t* p = tail(&room);
            size_t n = std::min(room, len);
            memcpy(p, data, n);
            received += n;
            data += n;
            len -= n;
        }
    }

    void note_restart(int64_t now) {
        if (now < quiet_until_ns) {
            unreported_restarts++;
            return;
        }
        char more[64] = "";
        if (unreported_restarts)
            snprintf(more, sizeof more, " (%" PRIu32 " more since the last warning)",
                     unreported_restarts);
        say("warning: arrivals jumped %+.3f ms against the sample count (samples lost or the "
            "wall clock stepped): time base restarted at sample %" PRIu64 "%s",
            clock.last_jump_ns / 1e6, clock.last_gap_n, more);
        unreported_restarts = 0;
        quiet_until_ns = now + 10000000000LL;
    }

    void status(int64_t now) {
        if (opt.status_s <= 0) return;
        if (next_status_ns == 0) next_status_ns = now + opt.status_s * 1000000000LL;
        if (now < next_status_ns) return;
        next_status_ns += opt.status_s * 1000000000LL;
        if (next_status_ns < now) next_status_ns = now + opt.status_s * 1000000000LL;
        say("%" PRIu64 " records, source rate %+.2f ppm, %" PRIu32 " gaps, %" PRIu64
            " samples dropped",
            records, sample_clock_ppm(&clock), clock.restarts, clock.dropped);
    }

    /// Writes the records that are ready; false once the output is done.
    bool drain(bool flush) {
        ClockRecord r;
        while (result == kWritten && sample_clock_next_record(&clock, flush, &r)) {
            put_le(record, kCaptureMagic, 4);
            put_le(record + 4, r.time_ns, 8);
            put_le(record + 12, kBlockBytes, 4);
            uint64_t from = 2 * r.first;
            if (from + ring.size() < received) {
                say("internal error: samples of record %" PRIu64 " overwritten", records);
                result = kWriteFailed;
                break;
            }
            size_t at = static_cast<size_t>(from % ring.size());
            size_t first_part = std::min(ring.size() - at, static_cast<size_t>(kBlockBytes));
            memcpy(record + kRecordHeaderBytes, ring.data() + at, first_part);
            memcpy(record + kRecordHeaderBytes + first_part, ring.data(), kBlockBytes - first_part);
            result = write_whole(&out, record, sizeof record);
            if (result == kWritten) records++;
        }
        return result == kWritten;
    }

    /// New bytes are in the ring (see tail and put): they arrived at `now`.
    bool arrived(int64_t now) {
        int rc = sample_clock_arrival(&clock, received / 2, now);
        if (rc == 1) note_restart(now);
        status(now);
        return drain(false);
    }

    /// The closing line: what was recorded, the gaps, and the samples that
    /// are in no record (before gaps, in a last incomplete block).
    void report(const char* why) {
        if (unreported_restarts)
            say("%" PRIu32 " more time base restarts since the last warning", unreported_restarts);
        uint64_t samples = records * kBlockPairs;
        say("%s: %" PRIu64 " samples recorded in %" PRIu64 " records, %" PRIu32 " gaps, %" PRIu64
            " samples not recorded",
            why, samples, records, clock.restarts, received / 2 - samples);
    }
};

/// Status at the end: 0 for an end of input, a reader gone or a signal.
int finish(Recorder* rec, const char* why, bool flush) {
    if (flush) rec->drain(true);
    if (rec->result == kReaderGone) {
        rec->report("output closed");
        return 0;
    }
    rec->report(rec->result == kWriteFailed ? "output failed" : why);
    return rec->result == kWriteFailed ? 1 : 0;
}

// ---------------------------------------------------------------------------
// Source: raw 8-bit I/Q on standard input.

int run_stdin(Recorder* rec) {
    for (;;) {
        if (g_stop) return finish(rec, "stopped by signal", true);
        size_t room = 0;
        uint8_t* p = rec->tail(&room);
        ssize_t n = read(0, p, room);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            say("cannot read standard input: %s", strerror(errno));
            rec->drain(true);
            rec->report("input failed");
            return 1;
        }
        if (n == 0) return finish(rec, "end of input", true);
        rec->received += static_cast<uint64_t>(n);
        if (!rec->arrived(wall_ns())) return finish(rec, "", false);
    }
}

// ---------------------------------------------------------------------------
// Source: an RTL-SDR dongle.

#ifdef VORLIX_HAVE_RTLSDR

void list_devices(uint32_t count) {
    for (uint32_t i = 0; i < count; i++) {
        char vendor[256] = "", product[256] = "", serial[256] = "";
        rtlsdr_get_device_usb_strings(i, vendor, product, serial);
        fprintf(stderr, "  %" PRIu32 ": %s %s %s, serial %s\n", i, rtlsdr_get_device_name(i),
                vendor, product, serial);
    }
}

/// The index of the dongle `which` names (an index, else a serial number);
/// -1 with the devices listed when there is none.
int find_device(const char* which) {
    uint32_t count = rtlsdr_get_device_count();
    if (count == 0) {
        say("no RTL-SDR device found");
        return -1;
    }
    if (!which) return 0;
    char* end = nullptr;
    unsigned long index = strtoul(which, &end, 10);
    if (end != which && *end == '\0' && index < count) return static_cast<int>(index);
    int by_serial = rtlsdr_get_index_by_serial(which);
    if (by_serial >= 0) return by_serial;
    say("no RTL-SDR device with index or serial %s; found:", which);
    list_devices(count);
    return -1;
}

/// The tuner's gains in tenths of a dB.
std::vector<int> tuner_gains(rtlsdr_dev_t* dev) {
    int n = rtlsdr_get_tuner_gains(dev, nullptr);
    std::vector<int> gains(n > 0 ? static_cast<size_t>(n) : 0);
    if (n > 0 && rtlsdr_get_tuner_gains(dev, gains.data()) != n) gains.clear();
    return gains;
}

int set_gain(rtlsdr_dev_t* dev, const Options& o) {
    if (o.auto_gain) {
        if (rtlsdr_set_tuner_gain_mode(dev, 0) < 0) {
            say("the tuner refused automatic gain");
            return -1;
        }
        say("tuner gain: automatic");
        return 0;
    }
    int want = static_cast<int>(std::lround(o.gain_db * 10));  // tenths of a dB
    int gain = -1;
    for (int g : tuner_gains(dev))
        if (gain < 0 || std::abs(g - want) < std::abs(gain - want)) gain = g;
    if (gain < 0) gain = want;
    if (rtlsdr_set_tuner_gain_mode(dev, 1) < 0 || rtlsdr_set_tuner_gain(dev, gain) < 0) {
        say("the tuner refused the gain %.1f dB", gain / 10.0);
        return -1;
    }
    say("tuner gain: %.1f dB", gain / 10.0);
    return 0;
}

int set_up(rtlsdr_dev_t* dev, const Options& o) {
    if (rtlsdr_set_sample_rate(dev, o.rate) < 0) {
        say("the device refused the sample rate %" PRIu32 " Hz", o.rate);
        return -1;
    }
    if (rtlsdr_set_center_freq(dev, o.freq) < 0) {
        say("the device refused the centre frequency %" PRIu32 " Hz", o.freq);
        return -1;
    }
    if (o.ppm != 0 && rtlsdr_set_freq_correction(dev, o.ppm) < 0) {
        say("the device refused the frequency correction %d ppm", o.ppm);
        return -1;
    }
    if (set_gain(dev, o) < 0) return -1;
    if (rtlsdr_reset_buffer(dev) < 0) {
        say("cannot reset the device's buffer");
        return -1;
    }
    return 0;
}

struct DongleRun {
    Recorder* rec;
    rtlsdr_dev_t* dev;
    bool done;
};

void on_buffer(unsigned char* buf, uint32_t len, void* ctx) {
    DongleRun* run = static_cast<DongleRun*>(ctx);
    if (run->done) return;
    int64_t now = wall_ns();
    for (uint32_t at = 0; at < len && !run->done;) {
        size_t n = std::min<size_t>(len - at, kChunkBytes);
        run->rec->put(buf + at, n);
        at += static_cast<uint32_t>(n);
        if (!run->rec->arrived(now)) run->done = true;
    }
    if (g_stop) run->done = true;
    if (run->done) rtlsdr_cancel_async(run->dev);
}

int list_gains(rtlsdr_dev_t* dev) {
    std::vector<int> gains = tuner_gains(dev);
    if (gains.empty()) {
        say("the tuner lists no gains");
        return 1;
    }
    for (int g : gains) printf("%.1f\n", g / 10.0);
    return 0;
}

int run_dongle(Recorder* rec) {
    const Options& o = rec->opt;
    int index = find_device(o.device);
    if (index < 0) return 1;
    rtlsdr_dev_t* dev = nullptr;
    if (rtlsdr_open(&dev, static_cast<uint32_t>(index)) < 0 || !dev) {
        say("cannot open RTL-SDR device %d (in use, or no permission on its USB device)", index);
        return 1;
    }
    say("device %d: %s", index, rtlsdr_get_device_name(static_cast<uint32_t>(index)));
    int status = 1;
    if (o.list_gains) {
        status = list_gains(dev);
    } else if (set_up(dev, o) == 0) {
        int rc = open_output(o, &rec->out);
        if (rc != 0) {
            status = rc < 0 ? 1 : finish(rec, "stopped by signal", false);
        } else if ((rec->result = write_probe(&rec->out, o)) != kWritten) {
            status = finish(rec, "", false);
        } else {
            DongleRun run{rec, dev, false};
            rc = rtlsdr_read_async(dev, on_buffer, &run, kDongleBuffers, kChunkBytes);
            if (g_stop) {
                status = finish(rec, "stopped by signal", true);
            } else if (run.done) {
                status = finish(rec, "", false);
            } else {
                say("the device stopped delivering samples (%d)", rc);
                finish(rec, "device stopped", true);
                status = 1;
            }
        }
    }
    rtlsdr_close(dev);
    return status;
}

#else

int run_dongle(Recorder*) {
    say("built without librtlsdr: only --stdin is available");
    return 1;
}

#endif

}  // namespace

// The first bytes of standard input, kept in the ring (the next read's
// arrival covers them). Input that begins with the capture magic is a
// time-stamped capture already: recorded again, its probe block and record
// headers would become samples. False (with the reason said) for that.
bool take_first_bytes(Recorder* rec) {
    uint8_t first[4];
    size_t have = 0;
    while (have < sizeof first) {
        ssize_t n = read(0, first + have, sizeof first - have);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // the loop meets the end or the error again
        have += static_cast<size_t>(n);
    }
    const uint32_t word = static_cast<uint32_t>(first[0]) | static_cast<uint32_t>(first[1]) << 8 |
                          static_cast<uint32_t>(first[2]) << 16 |
                          static_cast<uint32_t>(first[3]) << 24;
    if (have == sizeof first && word == kCaptureMagic) {
        say("standard input begins with the bytes 01 52 53 54 of a time-stamped capture's probe "
            "block: it is a capture already, not raw samples; give it to vorlix itself "
            "(vorlix FILE, or vorlix - to read it from standard input)");
        return false;
    }
    rec->put(first, have);
    return true;
}

int main(int argc, char** argv) {
    Options o = parse_options(argc, argv);
    install_signals();
    static Recorder rec;
    rec.init(o);
    if (!o.from_stdin) return run_dongle(&rec);
    if (!take_first_bytes(&rec)) return 1;
    int rc = open_output(o, &rec.out);
    if (rc < 0) return 1;
    if (rc > 0) return finish(&rec, "stopped by signal", false);
    if ((rec.result = write_probe(&rec.out, o)) != kWritten) return finish(&rec, "", false);
    return run_stdin(&rec);
}
