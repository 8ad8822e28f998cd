// The command line of the service: the option table, the usage text and
// parse_args, which fills the context record from argv.
//
// Owns prog_name. Promises: every value is checked here, and a bad one ends
// the process through print_usage with a line that names it; nothing is
// opened or bound (the log file aside: -l opens it at once), so that the
// start-up decides what to do with the values.
#include "sdr/command_line.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cctype>
#include <cfloat>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "sdr/log.h"

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

constexpr char kModule[] = "sdr/command_line";

// The option table; the closing entry matches the lone "-".
constexpr int kNoptions = static_cast<int>(std::size(kOptions));

constexpr char kDebugBits[] =
    "bits: phase=0x80, lex=0x40, yacc=0x20, cnst=0x10, decode3=0x8, decode2=0x4, "
    "decode1=0x2, statistics=0x1";

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

// --net-bo-port, --net-ro-port: a port to listen on, 1..65535.
uint16_t parse_port(const char* text, const char* output) {
    const uint16_t port = listen_port_from_text(text);
    if (port == 0)
        print_usage("Cannot listen for the %s output on port '%s' (give a port 1 .. 65535)\n",
                    output, text);
    return port;
}

// --net-bind-address: a numeric address, as the outputs resolve no names.
const char* parse_bind_address(const char* text) {
    in6_addr a6;
    in_addr a4;
    if (inet_pton(AF_INET, text, &a4) != 1 && inet_pton(AF_INET6, text, &a6) != 1)
        print_usage("Cannot listen on address '%s' (give a numeric IPv4 or IPv6 address)\n",
                    text);
    return text;
}

}  // namespace

uint16_t listen_port_from_text(const char* text) {
    uint32_t value = 0;
    if (*text == '\0') return 0;
    for (const char* p = text; *p != '\0'; p++) {
        if (!isdigit(static_cast<unsigned char>(*p))) return 0;
        value = value * 10 + static_cast<uint32_t>(*p - '0');
        if (value > 65535) return 0;
    }
    return static_cast<uint16_t>(value);
}

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
    fputs("       --net-bo-port <port>\n", stderr);
    fputs("                   serve the frames as a Beast binary stream on this TCP port (1 .. 65535)\n",
          stderr);
    fputs("       --net-ro-port <port>\n", stderr);
    fputs("                   serve the frames as raw *HEX; lines on this TCP port (1 .. 65535)\n",
          stderr);
    fputs("       --net-bind-address <address>\n", stderr);
    fputs("                   listen on this numeric IPv4 or IPv6 address only (default: every address)\n",
          stderr);
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
            case kOptNetBoPort:
                c->net_bo_port = parse_port(value, "Beast");
                break;
            case kOptNetRoPort:
                c->net_ro_port = parse_port(value, "raw");
                break;
            case kOptNetBindAddress:
                c->net_bind_address = parse_bind_address(value);
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
