// vorlix-capture-synth: writes synthetic 1090 MHz captures in both input
// formats of the receiver, with a ground-truth list of the frames in them.
//
// Time base: sample n (counting from 0 after the probe block) lies at
// start + n / rate. A time-stamped record carries the instant just after its
// last sample, that is the time of the first sample of the next record.
//
// Signal: each Mode S reply is a train of 0.5 us pulses (preamble at 0, 1.0,
// 3.5 and 4.5 us, data from 8 us, one pulse per bit in the first half for a
// 1, in the second half for a 0) on a carrier with a random phase and the
// configured frequency offset. Pulse edges rise linearly over the rise time
// (50 % point at the nominal edge), and each sample integrates the envelope
// over its interval [t - T/2, t + T/2). Noise is complex Gaussian; bytes
// hold 127 + offset + value, rounded and clipped to 0..255 (a reply whose
// amplitude exceeds the room left clips, as a receiver's converter does).
//
// Centre offset (--dc): a fraction of an LSB cannot be written into one
// byte, only into the mean of many: the offset is added before the rounding,
// and the noise dithers it, so the mean byte is 127 + offset to within
// exp(-2 pi^2 sigma^2) of an LSB (below 0.01 from sigma 0.5 up). Without
// noise a fractional offset is dithered by a uniform +-0.5 LSB instead,
// which leaves the mean exact; a whole offset is then written as it is.
#include <getopt.h>

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "sdr/adsb_check.h"
#include "tools/adsb/flights.h"
#include "tools/adsb/random.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

struct Options {
    const char* output = nullptr;
    const char* truth = nullptr;
    uint32_t rate = 2400000;
    double duration = 1.0;  // seconds
    uint64_t start_ns = 1700000000000000000ULL;
    bool stamped = true;
    double noise = 0.0;  // standard deviation per component, byte units
    double dc_i = 0.0;   // added to the 127 centre of I, byte units
    double dc_q = 0.0;   // and of Q
    double freq = 0.0;   // carrier offset, Hz
    double rise = 0.1;   // us
    double df17_rate = 0.0;
    double others_rate = 0.0;
    double amp_min = 30.0;
    double amp_max = 120.0;
    int aircraft = 20;
    uint64_t seed = 1;
    bool overlap = false;
    int flights = 0;          // aircraft with flight paths
    int surface = 0;          // vehicles on the surface
    LatLon site{48.0, 11.0};  // the receiver they are placed around
};

struct Frame {
    uint8_t bytes[14];
    int n_bits;         // 56 or 112
    double lead_us;     // leading edge of the first preamble pulse after sample 0
    double amp;         // envelope amplitude, byte units
    double phase;       // carrier phase at the leading edge, radians
    std::string truth;  // flights: the values the frame encodes
};

const char kUsage[] =
    "Usage: vorlix-capture-synth -o FILE|- [options]\n"
    "Writes a synthetic 1090 MHz capture (8-bit I/Q, byte = 127 + value) after an\n"
    "8192-byte probe block, raw or as time-stamped 8208-byte records.\n"
    "  -o, --output FILE      output file, \"-\" for standard output\n"
    "  -g, --truth FILE       ground truth: per frame its hex, the leading edge of\n"
    "                         its first preamble pulse (ns since the epoch, with\n"
    "                         fraction), its SNR in dB and its amplitude\n"
    "  -r, --rate HZ          sample rate, 2000000..3200000 (default 2400000)\n"
    "  -d, --duration S       seconds of samples after the probe block (default 1)\n"
    "  -t, --start NS         time of the first sample, ns since the epoch\n"
    "                         (default 1700000000000000000)\n"
    "  -F, --format FMT       raw or stamped (default stamped)\n"
    "  -n, --noise SIGMA      Gaussian noise, standard deviation of I and of Q in\n"
    "                         byte units (default 0)\n"
    "  -f, --freq HZ          carrier frequency offset (default 0)\n"
    "      --dc I[:Q]         centre offsets of I and Q in LSB added to 127, may be\n"
    "                         fractional (-20..20, default 0:0; one value for both):\n"
    "                         the mean byte is 127 + offset, the noise dithering the\n"
    "                         fraction (without noise a uniform +-0.5 LSB does)\n"
    "      --rise US          rise and fall time of the pulses (default 0.1)\n"
    "  -x, --frame HEX@US[:AMP]  a frame of 14 or 28 hex digits whose first\n"
    "                         preamble pulse begins US microseconds after the first\n"
    "                         sample, amplitude AMP (default 100); repeatable\n"
    "  -a, --df17 N           N random DF17 squitters per second\n"
    "  -m, --others M         M random DF4/5/11/20/21 replies per second, with\n"
    "                         parity for the generated aircraft\n"
    "  -A, --amp MIN:MAX      amplitude range of generated frames, uniform in dB\n"
    "                         (default 30:120); above 127 a reply's peaks clip at\n"
    "                         0 and 255 (a signal beyond full scale)\n"
    "  -c, --aircraft K       generated aircraft (default 20)\n"
    "  -s, --seed N           random seed (default 1)\n"
    "      --overlap          let generated frames overlap (default: 10 us apart)\n"
    "      --flights K        K aircraft on straight flight paths 5..150 NM from the\n"
    "                         site, sending identification, airborne position (even\n"
    "                         and odd), velocity, aircraft and operational status at\n"
    "                         the usual rates; amplitudes from --amp, the strongest\n"
    "                         for the nearest\n"
    "      --surface S        S vehicles moving on the surface 0.2..3 NM from the site\n"
    "                         (identification, surface position, operational status)\n"
    "      --site LAT,LON     the receiver's position in degrees (default 48,11)\n"
    "  -h, --help             this text\n"
    "SNR is the pulse power over the noise power: 20 log10(AMP / (SIGMA * sqrt 2)).\n"
    "With --flights or --surface the ground truth also lists the flights and, after\n"
    "each of their frames, the address and the values it encodes.\n";

[[noreturn]] __attribute__((format(printf, 1, 2))) void fail(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    fprintf(stderr, "vorlix-capture-synth: ");
    vfprintf(stderr, fmt, ap);
    fprintf(stderr, "\n");
    va_end(ap);
    exit(2);
}

double parse_double(const char* s, const char* what) {
    char* end = nullptr;
    double v = strtod(s, &end);
    if (end == s || *end != '\0' || !std::isfinite(v)) fail("bad %s", what);
    return v;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

Frame parse_frame(const char* arg) {
    Frame f{};
    std::string s(arg);
    size_t at = s.find('@');
    if (at == std::string::npos) fail("frame needs HEX@US: %s", arg);
    std::string hex = s.substr(0, at);
    if (hex.size() != 14 && hex.size() != 28) fail("frame needs 14 or 28 hex digits: %s", arg);
    for (size_t i = 0; i < hex.size(); i += 2) {
        int hi = hex_digit(hex[i]);
        int lo = hex_digit(hex[i + 1]);
        if (hi < 0 || lo < 0) fail("bad hex digit: %s", arg);
        f.bytes[i / 2] = static_cast<uint8_t>(hi << 4 | lo);
    }
    f.n_bits = static_cast<int>(hex.size()) * 4;
    std::string rest = s.substr(at + 1);
    size_t colon = rest.find(':');
    f.lead_us = parse_double(rest.substr(0, colon).c_str(), "frame time");
    f.amp = colon == std::string::npos ? 100.0
                                       : parse_double(rest.substr(colon + 1).c_str(), "amplitude");
    return f;
}

void put_parity(uint8_t* f, int n_bits, uint32_t overlay) {
    uint32_t p = adsb_parity(f, n_bits - 24) ^ overlay;
    int k = (n_bits - 24) / 8;
    f[k] = static_cast<uint8_t>(p >> 16);
    f[k + 1] = static_cast<uint8_t>(p >> 8);
    f[k + 2] = static_cast<uint8_t>(p);
}

void make_df17(Frame* f, uint32_t addr, Rng* rng) {
    f->n_bits = 112;
    f->bytes[0] = 17 << 3 | 5;
    f->bytes[1] = static_cast<uint8_t>(addr >> 16);
    f->bytes[2] = static_cast<uint8_t>(addr >> 8);
    f->bytes[3] = static_cast<uint8_t>(addr);
    for (int i = 4; i < 11; i++) f->bytes[i] = static_cast<uint8_t>(rng->next());
    f->bytes[4] =
        static_cast<uint8_t>((1 + rng->below(22)) << 3 | (f->bytes[4] & 7));  // type 1..22
    put_parity(f->bytes, 112, 0);
}

void make_other(Frame* f, uint32_t addr, Rng* rng) {
    static const int kFormats[] = {4, 5, 11, 20, 21};
    int df = kFormats[rng->below(5)];
    f->n_bits = df >= 16 ? 112 : 56;
    for (int i = 0; i < 14; i++) f->bytes[i] = static_cast<uint8_t>(rng->next());
    if (f->n_bits == 56) memset(f->bytes + 7, 0, 7);
    f->bytes[0] = static_cast<uint8_t>(df << 3 | (f->bytes[0] & 7));
    if (df == 11) {
        // All-call reply: the address in clear, parity with interrogator 0.
        f->bytes[0] = 11 << 3 | 5;
        f->bytes[1] = static_cast<uint8_t>(addr >> 16);
        f->bytes[2] = static_cast<uint8_t>(addr >> 8);
        f->bytes[3] = static_cast<uint8_t>(addr);
        put_parity(f->bytes, 56, 0);
    } else {
        put_parity(f->bytes, f->n_bits, addr);  // address/parity
    }
}

/// Integral of a pulse edge that rises from 0 to 1 over [a - r/2, a + r/2].
double ramp_integral(double t, double a, double r) {
    double lo = a - r / 2;
    if (t <= lo) return 0.0;
    if (t >= a + r / 2) return t - a;
    return (t - lo) * (t - lo) / (2 * r);
}

/// Integral of a unit pulse from a to b (50 % points) up to t.
double pulse_integral(double t, double a, double b, double r) {
    if (r <= 0) return std::max(0.0, t - a) - std::max(0.0, t - b);
    return ramp_integral(t, a, r) - ramp_integral(t, b, r);
}

/// The envelope of `f` per sample from `first`, in byte units.
std::vector<float> render_envelope(const Frame& f, double rate, double rise_us, int64_t* first) {
    const double spu = rate / 1e6;  // samples per us
    std::vector<double> starts = {0.0, 1.0, 3.5, 4.5};
    for (int u = 0; u < f.n_bits; u++) {
        bool one = f.bytes[u / 8] & (0x80 >> (u % 8));
        starts.push_back(8.0 + u + (one ? 0.0 : 0.5));
    }
    const double t_first = f.lead_us - rise_us;
    const double t_last = f.lead_us + 8.5 + f.n_bits + rise_us;
    *first = static_cast<int64_t>(std::floor(t_first * spu - 1));
    const int64_t last = static_cast<int64_t>(std::ceil(t_last * spu + 1));
    std::vector<float> env(static_cast<size_t>(last - *first + 1), 0.0f);
    const double r = rise_us * spu;  // rise in samples
    for (double s : starts) {
        const double a = (f.lead_us + s) * spu;  // in samples
        const double b = a + 0.5 * spu;
        const int64_t n0 = static_cast<int64_t>(std::floor(a - r / 2 - 0.5));
        const int64_t n1 = static_cast<int64_t>(std::ceil(b + r / 2 + 0.5));
        for (int64_t n = n0; n <= n1; n++) {
            double v = pulse_integral(n + 0.5, a, b, r) - pulse_integral(n - 0.5, a, b, r);
            if (v > 0) env[static_cast<size_t>(n - *first)] += static_cast<float>(v * f.amp);
        }
    }
    return env;
}

void put_le(uint8_t* p, uint64_t v, int n) {
    for (int i = 0; i < n; i++) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Long options without a letter.
enum { kOptFlights = 256, kOptSurface, kOptSite, kOptDc };

/// A sample rate in Hz: digits with an optional k or M (2400000, 2400k,
/// 2.4M); fails naming the range when it is no such number or outside it.
uint32_t parse_rate(const char* arg) {
    char* end = nullptr;
    double v = strtod(arg, &end);
    if (end != arg && (*end == 'k' || *end == 'K')) {
        v *= 1e3;
        end++;
    } else if (end != arg && *end == 'M') {
        v *= 1e6;
        end++;
    }
    if (end == arg || *end != '\0' || !std::isfinite(v))
        fail("bad rate %s: give 2000000..3200000 Hz (also 2400k, 2.4M)", arg);
    if (v < 2000000 || v > 3200000) fail("rate %s outside 2000000..3200000 Hz (2.0M..3.2M)", arg);
    return static_cast<uint32_t>(std::lround(v));
}

/// --dc I[:Q]: the two centre offsets (one value sets both).
void parse_dc(const char* arg, Options* o) {
    const char* colon = strchr(arg, ':');
    if (colon) {
        o->dc_i = parse_double(std::string(arg, static_cast<size_t>(colon - arg)).c_str(),
                               "centre offset");
        o->dc_q = parse_double(colon + 1, "centre offset");
    } else {
        o->dc_i = o->dc_q = parse_double(arg, "centre offset");
    }
    if (std::fabs(o->dc_i) > 20 || std::fabs(o->dc_q) > 20)
        fail("centre offset %s outside -20..20 LSB", arg);
}

LatLon parse_site(const char* arg) {
    const char* comma = strchr(arg, ',');
    if (!comma) fail("site needs LAT,LON: %s", arg);
    const double lat =
        parse_double(std::string(arg, static_cast<size_t>(comma - arg)).c_str(), "latitude");
    const double lon = parse_double(comma + 1, "longitude");
    if (lat < -90 || lat > 90 || lon < -180 || lon > 180) fail("site outside the globe: %s", arg);
    return {lat, lon};
}

Options parse_options(int argc, char** argv, std::vector<Frame>* frames) {
    Options o;
    static const struct option kLong[] = {{"output", required_argument, nullptr, 'o'},
                                          {"truth", required_argument, nullptr, 'g'},
                                          {"rate", required_argument, nullptr, 'r'},
                                          {"duration", required_argument, nullptr, 'd'},
                                          {"start", required_argument, nullptr, 't'},
                                          {"format", required_argument, nullptr, 'F'},
                                          {"noise", required_argument, nullptr, 'n'},
                                          {"freq", required_argument, nullptr, 'f'},
                                          {"rise", required_argument, nullptr, 'R'},
                                          {"frame", required_argument, nullptr, 'x'},
                                          {"df17", required_argument, nullptr, 'a'},
                                          {"others", required_argument, nullptr, 'm'},
                                          {"amp", required_argument, nullptr, 'A'},
                                          {"aircraft", required_argument, nullptr, 'c'},
                                          {"seed", required_argument, nullptr, 's'},
                                          {"overlap", no_argument, nullptr, 'O'},
                                          {"help", no_argument, nullptr, 'h'},
                                          {"flights", required_argument, nullptr, kOptFlights},
                                          {"surface", required_argument, nullptr, kOptSurface},
                                          {"site", required_argument, nullptr, kOptSite},
                                          {"dc", required_argument, nullptr, kOptDc},
                                          {nullptr, 0, nullptr, 0}};
    int c;
    while ((c = getopt_long(argc, argv, "o:g:r:d:t:F:n:f:x:a:m:A:c:s:h", kLong, nullptr)) != -1) {
        switch (c) {
            case 'o':
                o.output = optarg;
                break;
            case 'g':
                o.truth = optarg;
                break;
            case 'r':
                o.rate = parse_rate(optarg);
                break;
            case 'd':
                o.duration = parse_double(optarg, "duration");
                break;
            case 't':
                o.start_ns = strtoull(optarg, nullptr, 10);
                break;
            case 'F':
                if (strcmp(optarg, "raw") == 0) {
                    o.stamped = false;
                } else if (strcmp(optarg, "stamped") == 0) {
                    o.stamped = true;
                } else {
                    fail("format must be raw or stamped: %s", optarg);
                }
                break;
            case 'n':
                o.noise = parse_double(optarg, "noise");
                break;
            case 'f':
                o.freq = parse_double(optarg, "frequency");
                break;
            case 'R':
                o.rise = parse_double(optarg, "rise time");
                break;
            case 'x':
                frames->push_back(parse_frame(optarg));
                break;
            case 'a':
                o.df17_rate = parse_double(optarg, "df17 rate");
                break;
            case 'm':
                o.others_rate = parse_double(optarg, "others rate");
                break;
            case 'A': {
                const char* colon = strchr(optarg, ':');
                if (!colon) fail("amplitude range needs MIN:MAX: %s", optarg);
                o.amp_min = parse_double(
                    std::string(optarg, static_cast<size_t>(colon - optarg)).c_str(), "amplitude");
                o.amp_max = parse_double(colon + 1, "amplitude");
                if (o.amp_min <= 0 || o.amp_max < o.amp_min) fail("bad amplitude range %s", optarg);
                break;
            }
            case 'c':
                o.aircraft = static_cast<int>(parse_double(optarg, "aircraft"));
                break;
            case 's':
                o.seed = strtoull(optarg, nullptr, 10);
                break;
            case 'O':
                o.overlap = true;
                break;
            case kOptFlights:
                o.flights = static_cast<int>(parse_double(optarg, "flights"));
                if (o.flights < 0 || o.flights > 1000) fail("flights must be 0..1000: %s", optarg);
                break;
            case kOptSurface:
                o.surface = static_cast<int>(parse_double(optarg, "surface vehicles"));
                if (o.surface < 0 || o.surface > 1000) fail("surface must be 0..1000: %s", optarg);
                break;
            case kOptSite:
                o.site = parse_site(optarg);
                break;
            case kOptDc:
                parse_dc(optarg, &o);
                break;
            case 'h':
                fputs(kUsage, stdout);
                exit(0);
            default:
                fputs(kUsage, stderr);
                exit(2);
        }
    }
    if (optind != argc) fail("unexpected argument %s", argv[optind]);
    if (!o.output) fail("%s", "no output given (-o FILE or -o -)");
    if (o.duration < 0 || o.noise < 0 || o.rise < 0 || o.rise > 0.4 || o.aircraft < 1)
        fail("%s", "negative duration or noise, rise outside 0..0.4 us, or no aircraft");
    return o;
}

/// Adds generated traffic; keeps generated frames 10 us apart from all others
/// unless overlap is allowed.
void generate_traffic(const Options& o, Rng* rng, std::vector<Frame>* frames) {
    std::vector<uint32_t> addrs;
    for (int i = 0; i < o.aircraft; i++) addrs.push_back(1 + rng->below(0xFFFFFE));
    const double span_us = o.duration * 1e6 - 140.0;
    if (span_us <= 0) return;
    const long n17 = std::lround(o.df17_rate * o.duration);
    const long nother = std::lround(o.others_rate * o.duration);
    // The times taken, needed only to keep frames apart (an hour of dense
    // overlapping traffic would hold millions).
    std::set<double> taken;
    if (!o.overlap)
        for (const Frame& f : *frames) taken.insert(f.lead_us);
    const double lo_db = 20 * std::log10(o.amp_min);
    const double hi_db = 20 * std::log10(o.amp_max);
    long skipped = 0;
    for (long i = 0; i < n17 + nother; i++) {
        Frame f{};
        uint32_t addr = addrs[rng->below(static_cast<uint32_t>(addrs.size()))];
        if (i < n17) {
            make_df17(&f, addr, rng);
        } else {
            make_other(&f, addr, rng);
        }
        f.amp = std::pow(10.0, (lo_db + (hi_db - lo_db) * rng->uniform()) / 20);
        bool placed = false;
        for (int attempt = 0; attempt < 100 && !placed; attempt++) {
            f.lead_us = 2.0 + span_us * rng->uniform();
            if (o.overlap) {
                placed = true;
                break;
            }
            // Longest frame 120 us plus 10 us of quiet on either side.
            auto it = taken.lower_bound(f.lead_us - 130.0);
            placed = it == taken.end() || *it > f.lead_us + 130.0;
        }
        if (!placed) {
            skipped++;
            continue;
        }
        if (!o.overlap) taken.insert(f.lead_us);
        frames->push_back(f);
    }
    if (skipped) fprintf(stderr, "vorlix-capture-synth: %ld frames found no room\n", skipped);
}

/// The frames of the flights (--flights, --surface): each scheduled squitter
/// at the first free time from its nominal one on (150 us steps, unless
/// frames may overlap), encoded for where the flight is at that time, with
/// an amplitude by distance (the nearest flight the strongest) and 1 dB of
/// scatter.
void generate_flights(const Options& o, std::vector<Frame>* frames, std::vector<Flight>* flights) {
    *flights = make_flights(o.flights, o.surface, o.site, o.seed);
    if (flights->empty()) return;
    const double span_us = o.duration * 1e6 - 140.0;
    // The times taken, needed only to keep frames apart (an hour of dense
    // overlapping traffic would hold millions).
    std::set<double> taken;
    if (!o.overlap)
        for (const Frame& f : *frames) taken.insert(f.lead_us);
    Rng rng{o.seed * 0x94D049BB133111EBULL + 3};
    const double lo_db = 20 * std::log10(o.amp_min);
    const double hi_db = 20 * std::log10(o.amp_max);
    double nearest = 1e9, farthest = 0;
    for (const Flight& f : *flights) {
        nearest = std::min(nearest, f.distance_nm);
        farthest = std::max(farthest, f.distance_nm);
    }
    long skipped = 0;
    for (const ScheduledMessage& m : schedule_messages(*flights, o.duration, o.seed)) {
        Frame f{};
        f.n_bits = 112;
        f.lead_us = 2.0 + m.time_s * 1e6;
        for (int attempt = 0; !o.overlap && attempt < 100; attempt++) {
            auto it = taken.lower_bound(f.lead_us - 130.0);
            if (it == taken.end() || *it > f.lead_us + 130.0) break;
            f.lead_us = *it + 150.0;
        }
        if (f.lead_us > span_us) {
            skipped++;
            continue;
        }
        if (!o.overlap) taken.insert(f.lead_us);
        const Flight& fl = (*flights)[static_cast<size_t>(m.flight)];
        f.truth = encode_message(fl, m, (f.lead_us - 2.0) * 1e-6, f.bytes);
        const double share = farthest > nearest
                                 ? std::log(fl.distance_nm / nearest) / std::log(farthest / nearest)
                                 : 0.0;
        const double db = hi_db - (hi_db - lo_db) * share + (rng.uniform() - 0.5);
        f.amp = std::pow(10.0, std::clamp(db, lo_db, hi_db) / 20);
        frames->push_back(f);
    }
    if (skipped)
        fprintf(stderr, "vorlix-capture-synth: %ld flight frames found no room\n", skipped);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<Frame> frames;
    const Options o = parse_options(argc, argv, &frames);
    Rng rng{o.seed * 0x2545F4914F6CDD1DULL + 1};
    generate_traffic(o, &rng, &frames);
    std::vector<Flight> flights;
    generate_flights(o, &frames, &flights);
    for (Frame& f : frames) f.phase = 2 * kPi * rng.uniform();
    std::sort(frames.begin(), frames.end(),
              [](const Frame& a, const Frame& b) { return a.lead_us < b.lead_us; });

    FILE* out = strcmp(o.output, "-") == 0 ? stdout : fopen(o.output, "wb");
    if (!out) fail("cannot open %s", o.output);
    static char out_buf[1 << 20];
    setvbuf(out, out_buf, _IOFBF, sizeof out_buf);

    const double centre_i = 127.0 + o.dc_i;
    const double centre_q = 127.0 + o.dc_q;
    // Noise tables: 65536 Gaussian values, as floats and as finished bytes
    // of I and of Q (centred on 127 + offset). Without noise a fractional
    // offset takes a uniform dither of +-0.5 LSB in their place.
    static float gauss[65536];
    static uint8_t noise_i[65536];
    static uint8_t noise_q[65536];
    const bool dither =
        o.noise == 0 && (o.dc_i != std::floor(o.dc_i) || o.dc_q != std::floor(o.dc_q));
    const bool noisy = o.noise > 0 || dither;
    double noise_mean = 0;  // the table's own, a few hundredths of an LSB
    std::mt19937_64 table_rng(o.seed);
    std::normal_distribution<float> normal(0.0f, 1.0f);
    for (int i = 0; i < 65536; i++) {
        gauss[i] = dither ? static_cast<float>((i + 0.5) / 65536.0 - 0.5)
                          : normal(table_rng) * static_cast<float>(o.noise);
        noise_i[i] = static_cast<uint8_t>(std::clamp(std::lround(centre_i + gauss[i]), 0L, 255L));
        noise_q[i] = static_cast<uint8_t>(std::clamp(std::lround(centre_q + gauss[i]), 0L, 255L));
        noise_mean += gauss[i] / 65536.0;
    }

    if (o.truth) {
        FILE* t = fopen(o.truth, "w");
        if (!t) fail("cannot open %s", o.truth);
        fprintf(t, "# hex leading_edge_ns snr_db amplitude\n");
        if (o.dc_i != 0 || o.dc_q != 0)
            fprintf(t, "# centre I %.3f Q %.3f (the noise's own mean included)\n",
                    centre_i + noise_mean, centre_q + noise_mean);
        if (!flights.empty()) {
            fprintf(t,
                    "# flights: %d airborne, %d surface; after a flight's frame: address, then\n"
                    "#   ident CALLSIGN CATEGORY | pos even|odd LAT LON ALT_FT |\n"
                    "#   surface even|odd LAT LON SPEED_KT TRACK | vel SPEED_KT TRACK VRATE_FPM |\n"
                    "#   status SQUAWK | opstatus VERSION NACP SIL\n",
                    o.flights, o.surface);
            for (const Flight& f : flights) fprintf(t, "# flight %s\n", flight_text(f).c_str());
        }
        for (const Frame& f : frames) {
            for (int i = 0; i < f.n_bits / 8; i++) fprintf(t, "%02X", f.bytes[i]);
            double off_ns = f.lead_us * 1000.0;
            double whole = std::floor(off_ns);
            fprintf(t, " %" PRIu64 ".%03d", o.start_ns + static_cast<uint64_t>(whole),
                    static_cast<int>((off_ns - whole) * 1000.0));
            if (o.noise > 0) {
                fprintf(t, " %.2f", 20 * std::log10(f.amp / (o.noise * std::sqrt(2.0))));
            } else {
                fprintf(t, " inf");
            }
            fprintf(t, " %.2f", f.amp);
            if (!f.truth.empty()) fprintf(t, " %s", f.truth.c_str());
            fprintf(t, "\n");
        }
        fclose(t);
    }

    uint8_t block[16 + kBlockBytes];
    uint8_t* data = block + 16;
    // The probe block.
    memset(data, o.stamped ? 0 : 127, kBlockBytes);
    if (o.stamped) put_le(data, kCaptureMagic, 4);
    fwrite(data, 1, kBlockBytes, out);

    const int64_t n_blocks = static_cast<int64_t>(std::ceil(o.duration * o.rate / kBlockPairs));
    const double spu = o.rate / 1e6;
    std::vector<float> sig_i(kBlockPairs), sig_q(kBlockPairs);
    std::vector<uint8_t> touched(kBlockPairs);
    struct Active {
        size_t frame;
        int64_t first;
        std::vector<float> env;
    };
    std::vector<Active> active;
    size_t next = 0;
    for (int64_t b = 0; b < n_blocks; b++) {
        const int64_t s0 = b * kBlockPairs;
        const int64_t s1 = s0 + kBlockPairs;
        if (noisy) {
            for (int k = 0; k < kBlockBytes; k += 4) {
                uint64_t r = rng.next();
                data[k] = noise_i[r & 0xFFFF];
                data[k + 1] = noise_q[(r >> 16) & 0xFFFF];
                data[k + 2] = noise_i[(r >> 32) & 0xFFFF];
                data[k + 3] = noise_q[r >> 48];
            }
        } else {
            for (int k = 0; k < kBlockBytes; k += 2) {
                data[k] = noise_i[0];
                data[k + 1] = noise_q[0];
            }
        }
        // Frames that begin before the end of this block become active.
        while (next < frames.size() && (frames[next].lead_us - 1.0) * spu < s1) {
            Active a{next, 0, {}};
            a.env = render_envelope(frames[next], o.rate, o.rise, &a.first);
            active.push_back(std::move(a));
            next++;
        }
        std::fill(touched.begin(), touched.end(), 0);
        for (const Active& a : active) {
            const Frame& f = frames[a.frame];
            const int64_t lo = std::max(a.first, s0);
            const int64_t hi = std::min(a.first + static_cast<int64_t>(a.env.size()), s1);
            for (int64_t n = lo; n < hi; n++) {
                const float e = a.env[static_cast<size_t>(n - a.first)];
                const size_t k = static_cast<size_t>(n - s0);
                if (!touched[k]) {
                    sig_i[k] = 0;
                    sig_q[k] = 0;
                    touched[k] = 1;
                }
                if (e == 0) continue;
                const double t_us = n / spu - f.lead_us;
                const double ph = f.phase + 2 * kPi * o.freq * t_us * 1e-6;
                sig_i[k] += e * static_cast<float>(std::cos(ph));
                sig_q[k] += e * static_cast<float>(std::sin(ph));
            }
        }
        for (int k = 0; k < kBlockPairs; k++) {
            if (!touched[static_cast<size_t>(k)]) continue;
            const uint64_t r = rng.next();
            const double vi = centre_i + sig_i[static_cast<size_t>(k)] + gauss[r & 0xFFFF];
            const double vq = centre_q + sig_q[static_cast<size_t>(k)] + gauss[(r >> 16) & 0xFFFF];
            data[2 * k] = static_cast<uint8_t>(std::clamp(std::lround(vi), 0L, 255L));
            data[2 * k + 1] = static_cast<uint8_t>(std::clamp(std::lround(vq), 0L, 255L));
        }
        active.erase(std::remove_if(active.begin(), active.end(),
                                    [&](const Active& a) {
                                        return a.first + static_cast<int64_t>(a.env.size()) <= s1;
                                    }),
                     active.end());
        if (o.stamped) {
            // The instant just after the record's last sample.
            const uint64_t whole = static_cast<uint64_t>(s1) / o.rate;
            const uint64_t part = static_cast<uint64_t>(s1) % o.rate;
            const uint64_t end_ns =
                o.start_ns + whole * 1000000000ULL + part * 1000000000ULL / o.rate;
            put_le(block, kCaptureMagic, 4);
            put_le(block + 4, end_ns, 8);
            put_le(block + 12, kBlockBytes, 4);
            fwrite(block, 1, sizeof block, out);
        } else {
            fwrite(data, 1, kBlockBytes, out);
        }
    }
    if (fflush(out) != 0 || (out != stdout && fclose(out) != 0)) fail("cannot write %s", o.output);
    return 0;
}
