// vorlix-l2-dump: prints a stream of level-2 messages (what vorlix writes to
// standard output or to a local file) as text, one line per message.
//
//   2017/07/14 02:40:00.500000Z 0a08=l-usb-mac-00446655 L2_OP_FRAME_DF17 8d4840d6...
//
// With --star only frame messages are printed, each as *<HEX>; on a line.
// With --decode every extended squitter is printed with its fields decoded:
//
//   2017/07/14 02:40:00.500000Z 4840D6 DF17 TC4  identification  KLM1023  category A0 ...
//
// Frames of other formats (DF0, 4, 5, 11, 16, 20, 21, ...) are shown with
// their address and the fields the table uses.
//
// With --aircraft a table of the aircraft heard follows at the end (and
// every N seconds of the frames' time with --every N). --star-input reads
// *<HEX>; lines instead of level-2 messages; they carry no time, so each
// frame gets the time at which its line was read. --beast-input reads a
// Beast binary stream (from the file, standard input or a TCP connection):
// its 12 MHz counter has no date, so the lines show the counter in seconds,
// and the table's times start at the wall clock of the first frame and
// follow the counter from there.
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "include/level2.h"
#include "include/uniq.h"
#include "sdr/adsb_check.h"
#include "sdr/beast_raw.h"
#include "tools/adsb/beast_time.h"
#include "tools/adsb/reply.h"
#include "tools/adsb/squitter.h"
#include "tools/adsb/tracker.h"

namespace {

void usage(FILE* f) {
    fprintf(f,
            "usage: vorlix-l2-dump [options] [FILE|-]\n"
            "Reads level-2 messages from FILE (default: standard input) and prints one line\n"
            "per message: UTC time with microseconds, station id, op name, body in hex.\n"
            "  -s, --star        print only frames, as *8D4840D6202CC371C32CE0576098;\n"
            "  -d, --decode      print every extended squitter with its fields decoded:\n"
            "                    address, format, type code, callsign, altitude, position,\n"
            "                    speeds, status; other frames with their address (from\n"
            "                    the parity but for DF11), altitude or squawk (other\n"
            "                    messages as without it)\n"
            "  -a, --aircraft    at the end, a table of the aircraft heard\n"
            "  -e, --every N     also print the table every N seconds of the frames' time\n"
            "                    (implies --aircraft)\n"
            "  -i, --star-input  read *HEX; lines (14 or 28 hex digits) instead of level-2\n"
            "                    messages; each frame is timed when its line is read;\n"
            "                    decoded unless --star or --aircraft is given\n"
            "  -b, --beast-input [HOST:PORT]  read a Beast binary stream instead, from\n"
            "                    FILE, standard input or a connection to HOST:PORT (the\n"
            "                    service's Beast output); lines show its 12 MHz counter in\n"
            "                    seconds where a UTC time would be (a counter has no\n"
            "                    date); the table's and --every's times start at the wall\n"
            "                    clock when the first frame arrives and follow the counter\n"
            "      --site LAT,LON  the receiver's position in degrees (north and east\n"
            "                    positive), for positions from single frames and for\n"
            "                    surface positions\n"
            "  -h, --help        this text\n"
            "Exit status: 0 for a clean stream, 1 when bytes or lines had to be skipped or\n"
            "the last message is cut off, 2 for a usage, open or connect error.\n");
}

struct Options {
    bool star = false;
    bool decode = false;
    bool aircraft = false;
    double every = 0;  // s; 0: only at the end
    bool star_input = false;
    bool beast_input = false;
    const char* peer = nullptr;  // --beast-input HOST:PORT
    bool have_site = false;
    LatLon site{};
    const char* path = nullptr;
};

/// A buffered reader over a descriptor, counting the offset.
struct Input {
    int fd;
    uint8_t buf[65536];
    size_t have;
    size_t pos;
    long long offset;
    int error;  // errno of a failed read (which ends the input), else 0
};

/// The next byte, or -1 at end of input.
int next_byte(Input* in) {
    if (in->pos == in->have) {
        ssize_t n;
        do {
            n = read(in->fd, in->buf, sizeof(in->buf));
        } while (n < 0 && errno == EINTR);
        if (n < 0) in->error = errno;
        if (n <= 0) return -1;
        in->have = static_cast<size_t>(n);
        in->pos = 0;
    }
    in->offset++;
    return in->buf[in->pos++];
}

bool read_bytes(Input* in, uint8_t* out, int count) {
    for (int i = 0; i < count; i++) {
        int c = next_byte(in);
        if (c < 0) return false;
        out[i] = static_cast<uint8_t>(c);
    }
    return true;
}

/// One line without its line end; false at the end of input with nothing read.
bool read_line(Input* in, std::string* line) {
    line->clear();
    for (;;) {
        int c = next_byte(in);
        if (c < 0) return !line->empty();
        if (c == '\n') return true;
        line->push_back(static_cast<char>(c));
    }
}

bool is_frame_op(int op) {
    return op == L2_OP_FRAME_REST || (op >= 12 && op <= 16);
}

/// The UTC time with microseconds, "2017/07/14 02:40:00.500000Z".
std::string utc_text(TimeStamp t) {
    time_t sec = static_cast<time_t>(ts_seconds(t));
    struct tm tm_utc;
    gmtime_r(&sec, &tm_utc);
    unsigned long long us = (static_cast<unsigned long long>(ts_fraction(t)) * 1000000ULL) >> 32;
    char buf[48];
    snprintf(buf, sizeof buf, "%04d/%02d/%02d %02d:%02d:%02d.%06lluZ", tm_utc.tm_year + 1900,
             tm_utc.tm_mon + 1, tm_utc.tm_mday, tm_utc.tm_hour, tm_utc.tm_min, tm_utc.tm_sec, us);
    return buf;
}

void print_time(TimeStamp t) {
    fputs(utc_text(t).c_str(), stdout);
}

double ts_to_seconds(TimeStamp t) {
    return ts_seconds(t) + ts_fraction(t) / 4294967296.0;
}

void print_star(const uint8_t* body, int length) {
    putchar('*');
    for (int i = 0; i < length; i++) printf("%02X", body[i]);
    printf(";\n");
}

void print_message(const L2Message& m) {
    char id[64];
    print_time(m.time);
    const char* name = l2_op_name(m.op);
    if (name) {
        printf(" %s %s", uniq2str(&m.uniq, id, sizeof(id)), name);
    } else {
        printf(" %s op%d", uniq2str(&m.uniq, id, sizeof(id)), m.op);
    }
    if ((m.op == L2_OP_SYNC_REQ || m.op == L2_OP_SYNC_RSP) && m.length == kSyncBodyBytes) {
        SyncBody b = sync_body_get(m.body);
        printf(" tag=%u n_slots=%u", b.tag, b.n_slots);
        int used = b.n_slots < kSyncSlots ? b.n_slots : kSyncSlots;
        for (int i = 0; i < used; i++) {
            printf(" [%s ", uniq2str(&b.slots[i].uniq, id, sizeof(id)));
            print_time(b.slots[i].time);
            printf("]");
        }
    } else if (m.length > 0) {
        putchar(' ');
        for (int i = 0; i < m.length; i++) printf("%02x", m.body[i]);
    }
    putchar('\n');
}

/// The frames of the stream, decoded and tracked.
struct Dumper {
    Options opt;
    Tracker tracker;
    double next_table;  // s; 0 until the first frame
    long parity_errors;
    long reply_parity_errors;  // DF11
    long bad_lines;
};

void print_table(Dumper* d) {
    fputs(aircraft_table(d->tracker).c_str(), stdout);
    fflush(stdout);
}

/// A frame other than an extended squitter: its decoded line and the tracker.
void take_reply(Dumper* d, const uint8_t* body, int length, double t, const std::string& when) {
    const Reply r = decode_reply(body, length);
    if (r.length_ok && !r.parity_ok) d->reply_parity_errors++;
    tracker_reply(&d->tracker, r, t);
    if (d->opt.decode) printf("%s %s\n", when.c_str(), reply_text(r, body).c_str());
}

/// A frame of `length` bytes heard at `time`, with `when` the text of its
/// time column: the table when one is due, then the decoded line (with
/// --decode) and the tracker.
void take_frame(Dumper* d, const uint8_t* body, int length, TimeStamp time,
                const std::string& when) {
    const double t = ts_to_seconds(time);
    if (d->opt.every > 0) {
        if (d->next_table == 0) d->next_table = t + d->opt.every;
        if (t >= d->next_table) {
            print_table(d);
            // The next one N seconds on; after a long gap in the stream, N
            // seconds from now.
            d->next_table += d->opt.every;
            if (d->next_table <= t) d->next_table = t + d->opt.every;
        }
    }
    if (d->opt.star) print_star(body, length);
    const int df = body[0] >> 3;
    const bool extended = length == 14 && (df == 17 || df == 18);
    if (!extended) {
        take_reply(d, body, length, t, when);
        return;
    }
    const uint32_t parity = static_cast<uint32_t>(body[11]) << 16 | body[12] << 8 | body[13];
    if (adsb_parity(body, 88) != parity) {
        d->parity_errors++;
        if (d->opt.decode) {
            printf("%s ", when.c_str());
            for (int i = 0; i < length; i++) printf("%02X", body[i]);
            printf("  parity error, not decoded\n");
        }
        return;
    }
    const Squitter s = decode_squitter(body);
    const PositionFix fix = tracker_update(&d->tracker, s, t);
    if (d->opt.decode) {
        printf("%s %s", when.c_str(), squitter_text(s).c_str());
        if (s.kind == SquitterKind::kAirbornePosition || s.kind == SquitterKind::kSurfacePosition) {
            fputs(fix_text(fix).c_str(), stdout);
        }
        putchar('\n');
    }
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

/// A *HEX; line (blanks and a carriage return around it allowed) into
/// `frame`; the number of bytes, or 0 when the line is not of that form.
int parse_star_line(const std::string& line, uint8_t* frame) {
    size_t a = 0, b = line.size();
    while (a < b && (line[a] == ' ' || line[a] == '\t')) a++;
    while (b > a && (line[b - 1] == ' ' || line[b - 1] == '\t' || line[b - 1] == '\r')) b--;
    if (b - a < 2 || line[a] != '*' || line[b - 1] != ';') return 0;
    const size_t digits = b - a - 2;
    if (digits != 14 && digits != 28) return 0;
    for (size_t i = 0; i < digits; i += 2) {
        const int hi = hex_value(line[a + 1 + i]), lo = hex_value(line[a + 2 + i]);
        if (hi < 0 || lo < 0) return 0;
        frame[i / 2] = static_cast<uint8_t>(hi << 4 | lo);
    }
    return static_cast<int>(digits / 2);
}

TimeStamp now_ts() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return timespec_to_ts(ts.tv_sec, ts.tv_nsec);
}

/// *HEX; lines: every frame timed when its line is read.
int run_star_input(Dumper* d, Input* in) {
    std::string line;
    long number = 0;
    while (read_line(in, &line)) {
        number++;
        uint8_t frame[14] = {};
        const int n = parse_star_line(line, frame);
        if (n > 0) {
            const TimeStamp now = now_ts();
            take_frame(d, frame, n, now, utc_text(now));
        } else if (line.find_first_not_of(" \t\r") != std::string::npos) {
            if (d->bad_lines++ < 10) {
                fprintf(stderr, "vorlix-l2-dump: line %ld is not a *HEX; frame: %.60s\n", number,
                        line.c_str());
            }
        }
    }
    if (d->bad_lines > 0) {
        fprintf(stderr, "vorlix-l2-dump: %ld lines skipped\n", d->bad_lines);
        return 1;
    }
    return 0;
}

/// Level-2 messages: hunts for the magic, reads header and body.
int run_level2(Dumper* d, Input* in) {
    int status = 0;
    long long skipped = 0;
    const bool plain = !d->opt.star && !d->opt.decode && !d->opt.aircraft;
    for (;;) {
        // Hunt for the magic.
        int matched = 0;
        uint8_t header[kL2HeaderBytes];
        while (matched < 4) {
            int c = next_byte(in);
            if (c < 0) break;
            if (c == kL2Magic[matched]) {
                header[matched++] = static_cast<uint8_t>(c);
            } else if (c == kL2Magic[0]) {  // "ads2" overlaps itself only at its start
                skipped += matched;
                header[0] = static_cast<uint8_t>(c);
                matched = 1;
            } else {
                skipped += matched + 1;
                matched = 0;
            }
        }
        if (matched < 4) {
            skipped += matched;
            break;
        }
        L2Message m{};
        if (!read_bytes(in, header + 4, kL2HeaderBytes - 4)) {
            fprintf(stderr, "vorlix-l2-dump: header cut off at offset %lld\n", in->offset);
            status = 1;
            break;
        }
        l2_get_header(header, &m);
        if (m.length > kL2MaxBody) {
            fprintf(stderr, "vorlix-l2-dump: length %d at offset %lld, skipped\n", m.length,
                    in->offset - kL2HeaderBytes);
            status = 1;
            continue;
        }
        if (!read_bytes(in, m.body, m.length)) {
            fprintf(stderr, "vorlix-l2-dump: body cut off at offset %lld\n", in->offset);
            status = 1;
            break;
        }
        if (plain) {
            print_message(m);
        } else if (is_frame_op(m.op) && m.length > 0) {
            take_frame(d, m.body, m.length, m.time, utc_text(m.time));
        } else if (d->opt.decode) {
            print_message(m);
        }
    }
    if (skipped > 0) {
        fprintf(stderr, "vorlix-l2-dump: %lld bytes skipped\n", skipped);
        status = 1;
    }
    return status;
}

TimeStamp seconds_to_ts(double t) {
    const double sec = std::floor(t);
    return ts_make(static_cast<uint32_t>(sec), static_cast<uint32_t>((t - sec) * 4294967296.0));
}

/// A Beast message without options: counter, signal, format, address, bytes.
void print_beast(const BeastMessage& m) {
    printf("%s sig %3u ", counter_text(m.stamp).c_str(), m.signal);
    if (m.signal > 0) {
        printf("%6.1f dBFS", 20 * std::log10(m.signal / 255.0));
    } else {
        printf("  -inf dBFS");
    }
    if (m.type == kBeastTypeModeAC) {
        printf(" Mode A/C %02x%02x\n", m.frame[0], m.frame[1]);
        return;
    }
    const int df = m.frame[0] >> 3;
    const uint32_t address =
        df == 17 || df == 18 ? get_be24(m.frame + 1) : decode_reply(m.frame, m.length).address;
    printf(" DF%-2d %06X ", df, static_cast<unsigned>(address));
    for (int i = 0; i < m.length; i++) printf("%02x", m.frame[i]);
    putchar('\n');
}

/// A Beast stream: every Mode S frame of it, timed by its counter.
int run_beast(Dumper* d, Input* in) {
    static BeastReader reader;
    beast_reader_init(&reader);
    BeastClock clock{};
    const bool plain = !d->opt.star && !d->opt.decode && !d->opt.aircraft;
    BeastMessage m;
    for (int c; (c = next_byte(in)) >= 0;) {
        if (beast_read_byte(&reader, static_cast<uint8_t>(c), &m) == 0) continue;
        const double t = beast_time(&clock, m.stamp, ts_to_seconds(now_ts()));
        if (plain) {
            print_beast(m);
        } else if (m.type != kBeastTypeModeAC) {
            take_frame(d, m.frame, m.length, seconds_to_ts(t), counter_text(m.stamp));
        }
    }
    int status = 0;
    if (beast_reader_pending(&reader) > 0) {
        fprintf(stderr, "vorlix-l2-dump: last message cut off after %d bytes\n",
                beast_reader_pending(&reader));
        status = 1;
    }
    if (reader.skipped > 0) {
        fprintf(stderr, "vorlix-l2-dump: %llu bytes skipped\n",
                static_cast<unsigned long long>(reader.skipped));
        status = 1;
    }
    return status;
}

/// A TCP connection to HOST:PORT ("[v6 address]:PORT" too); the
/// descriptor, or -1 with the reason on standard error.
int connect_to(const char* peer) {
    const char* colon = strrchr(peer, ':');
    std::string host(peer, static_cast<size_t>(colon - peer));
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    const int rc = getaddrinfo(host.c_str(), colon + 1, &hints, &list);
    if (rc != 0) {
        fprintf(stderr, "vorlix-l2-dump: cannot resolve %s: %s\n", peer, gai_strerror(rc));
        return -1;
    }
    int fd = -1, err = 0;
    for (const addrinfo* ai = list; ai != nullptr && fd < 0; ai = ai->ai_next) {
        fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd >= 0 && connect(fd, ai->ai_addr, ai->ai_addrlen) < 0) {
            err = errno;
            close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(list);
    if (fd < 0) fprintf(stderr, "vorlix-l2-dump: cannot connect to %s: %s\n", peer, strerror(err));
    return fd;
}

/// True for HOST:PORT (the port all digits).
bool is_peer(const char* text) {
    const char* colon = strrchr(text, ':');
    if (text[0] == '-' || colon == nullptr || colon == text || colon[1] == '\0') return false;
    for (const char* p = colon + 1; *p != '\0'; p++) {
        if (*p < '0' || *p > '9') return false;
    }
    return true;
}

bool parse_site(const char* text, LatLon* site) {
    char* end = nullptr;
    const double lat = strtod(text, &end);
    if (end == text || *end != ',') return false;
    const char* lon_text = end + 1;
    const double lon = strtod(lon_text, &end);
    if (end == lon_text || *end != '\0') return false;
    if (!(lat >= -90 && lat <= 90 && lon >= -180 && lon <= 180)) return false;
    *site = {lat, lon >= 180 ? lon - 360 : lon};
    return true;
}

[[noreturn]] void usage_error(const char* fmt, const char* what) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    fprintf(stderr, fmt, what);
#pragma GCC diagnostic pop
    usage(stderr);
    exit(2);
}

Options parse_options(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; i++) {
        const char* a = argv[i];
        auto value = [&]() -> const char* {
            if (i + 1 >= argc) usage_error("vorlix-l2-dump: %s needs a value\n", a);
            return argv[++i];
        };
        if (!strcmp(a, "-s") || !strcmp(a, "--star")) {
            o.star = true;
        } else if (!strcmp(a, "-d") || !strcmp(a, "--decode")) {
            o.decode = true;
        } else if (!strcmp(a, "-a") || !strcmp(a, "--aircraft")) {
            o.aircraft = true;
        } else if (!strcmp(a, "-e") || !strcmp(a, "--every")) {
            const char* v = value();
            char* end = nullptr;
            o.every = strtod(v, &end);
            if (end == v || *end != '\0' || !(o.every > 0 && o.every <= 86400)) {
                usage_error("vorlix-l2-dump: --every needs 1..86400 seconds, not %s\n", v);
            }
            o.aircraft = true;
        } else if (!strcmp(a, "-i") || !strcmp(a, "--star-input")) {
            o.star_input = true;
        } else if (!strcmp(a, "-b") || !strcmp(a, "--beast-input")) {
            o.beast_input = true;
            if (i + 1 < argc && is_peer(argv[i + 1])) o.peer = argv[++i];
        } else if (!strncmp(a, "--beast-input=", 14)) {
            o.beast_input = true;
            o.peer = a + 14;
            if (!is_peer(o.peer))
                usage_error("vorlix-l2-dump: --beast-input needs HOST:PORT, not %s\n", o.peer);
        } else if (!strcmp(a, "--site")) {
            const char* v = value();
            if (!parse_site(v, &o.site)) {
                usage_error("vorlix-l2-dump: --site needs LAT,LON in degrees, not %s\n", v);
            }
            o.have_site = true;
        } else if (!strcmp(a, "-h") || !strcmp(a, "--help")) {
            usage(stdout);
            exit(0);
        } else if (a[0] == '-' && a[1] != '\0') {
            usage_error("vorlix-l2-dump: unknown option %s\n", a);
        } else if (o.path == nullptr) {
            o.path = a;
        } else {
            usage_error("vorlix-l2-dump: more than one input: %s\n", a);
        }
    }
    if (o.star && o.decode) {
        usage_error("vorlix-l2-dump: %s\n", "--star and --decode exclude each other");
    }
    if (o.star_input && o.beast_input) {
        usage_error("vorlix-l2-dump: %s\n", "--star-input and --beast-input exclude each other");
    }
    if (o.peer != nullptr && o.path != nullptr) {
        usage_error("vorlix-l2-dump: both a connection and a file to read: %s\n", o.path);
    }
    // Star lines have no plain form: without another choice they are decoded.
    if (o.star_input && !o.star && !o.aircraft) o.decode = true;
    return o;
}

}  // namespace

int main(int argc, char** argv) {
    static Dumper d;
    d.opt = parse_options(argc, argv);
    d.tracker.have_site = d.opt.have_site;
    d.tracker.site = d.opt.site;
    static Input in;
    in.fd = 0;
    const char* path = d.opt.path;
    if (d.opt.peer != nullptr) {
        in.fd = connect_to(d.opt.peer);
        if (in.fd < 0) return 2;
    } else if (path != nullptr && strcmp(path, "-") != 0) {
        in.fd = open(path, O_RDONLY);
        struct stat st;
        // A directory opens but cannot be read.
        if (in.fd >= 0 && fstat(in.fd, &st) == 0 && S_ISDIR(st.st_mode)) {
            close(in.fd);
            in.fd = -1;
            errno = EISDIR;
        }
        if (in.fd < 0) {
            fprintf(stderr, "vorlix-l2-dump: cannot open %s: %s\n", path, strerror(errno));
            return 2;
        }
    }
    int status = d.opt.star_input    ? run_star_input(&d, &in)
                 : d.opt.beast_input ? run_beast(&d, &in)
                                     : run_level2(&d, &in);
    if (in.error != 0) {
        fprintf(stderr, "vorlix-l2-dump: cannot read %s: %s (what was read before is shown)\n",
                d.opt.peer != nullptr                      ? d.opt.peer
                : path != nullptr && strcmp(path, "-") != 0 ? path
                                                            : "standard input",
                strerror(in.error));
        status = 2;
    }
    if (d.opt.aircraft) print_table(&d);
    fflush(stdout);
    if (d.parity_errors > 0) {
        fprintf(stderr, "vorlix-l2-dump: %ld extended squitters failed the parity check\n",
                d.parity_errors);
    }
    if (d.reply_parity_errors > 0) {
        fprintf(stderr, "vorlix-l2-dump: %ld all-call replies failed the parity check\n",
                d.reply_parity_errors);
    }
    return status;
}
