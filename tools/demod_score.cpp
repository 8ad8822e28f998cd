// vorlix-demod-score: scores the frames a run of the service sent against
// the synthesizer's ground truth.
//
//   vorlix-demod-score TRUTH FRAMES [--strong DB]
//
// TRUTH is the synthesizer's -g file, FRAMES the level-2 stream the service
// wrote (standard output or -o FILE; "-" reads standard input, so that the
// service's output can be piped in; TRUTH may be a named pipe, read to its
// end first). Only extended squitters (DF17, DF18) of the truth are scored,
// since only they are sent. A sent frame is matched to the truth frame with
// the same bytes whose leading edge lies nearest to its time of arrival
// (within 100 us); each truth frame takes at most one match, a second one
// counts as duplicated, and a sent frame with no truth frame of the same
// bytes is false: sent as valid, never in the air.
//
// A false frame is traced to its origin, the reply in the air that it was
// read from: of the truth frames whose leading edge lies within 6 us of its
// time of arrival (a retry 3.5 us away included), the one whose bits differ
// least from it (a short reply compared over its 56 bits). The number of
// bits that differ is what the frame carries wrong: the bits the
// demodulator read wrongly and left, and the bits a correction flipped
// wrongly. It is not the size of the correction that made the frame (a
// correction of c bits explains at most c of them; two squitters that both
// pass the parity differ in at least 6 bits, so a false squitter of a
// squitter origin carries at least 6 - c bits read wrongly).
//
// The time of arrival marks the centre of the first preamble pulse, 0.25 us
// after the leading edge of the truth; the figures given are toa - edge in
// ns, mean and standard deviation over the matched frames whose SNR is at
// least DB (default 25), which needs a time-stamped capture.
//
// With VORLIX_SCORE_VERBOSE set, every false frame is named on standard
// error with its origin. One line of output:
//   sent N found N (P %) missed N false N duplicated N toa_mean NS toa_sd NS
//   strong N false_bits D:N,...
// A figure with nothing to measure it on (the share found of a truth
// without squitters, the time of arrival without a strong frame) is "-",
// with a note on standard error.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "include/level2.h"

namespace {

// Times are kept in ns after a base second (the first truth frame's), so
// that a double holds them to a fraction of a ns over days.
constinit long long base_s = -1;

/// One frame of the truth, any format; about 32 bytes, so that the truth of
/// an hour of dense traffic (11 million frames) fits in memory.
struct TruthFrame {
    double edge_ns;  // leading edge, ns after base_s
    float snr_db;
    float amp;
    uint8_t bytes[14];
    uint8_t n_bits;  // 56 or 112
    bool matched = false;
};

int df_of(const uint8_t* b) {
    return b[0] >> 3;
}

[[noreturn]] void fail(const char* what, const char* arg) {
    fprintf(stderr, "vorlix-demod-score: %s %s: %s\n", what, arg, strerror(errno));
    exit(2);
}

bool parse_hex(const char* hex, size_t n, uint8_t* out) {
    for (size_t i = 0; i < n; i += 2) {
        char pair[3] = {hex[i], hex[i + 1], 0};
        char* end = nullptr;
        const long v = strtol(pair, &end, 16);
        if (*end != '\0') return false;
        out[i / 2] = static_cast<uint8_t>(v);
    }
    return true;
}

/// Every frame of the truth in time order; `n_squitters` counts the DF17
/// and DF18 among them.
std::vector<TruthFrame> read_truth(const char* path, int* n_squitters) {
    FILE* f = fopen(path, "r");
    if (!f) fail("cannot open", path);
    std::vector<TruthFrame> truth;
    char line[512];
    *n_squitters = 0;
    while (fgets(line, sizeof line, f)) {
        if (line[0] == '#') continue;
        char hex[64];
        char edge[64];
        char snr[32];
        double amp = 0;
        const int got = sscanf(line, "%63s %63s %31s %lf", hex, edge, snr, &amp);
        if (got < 3) continue;
        const size_t len = strlen(hex);
        TruthFrame t{};
        if ((len != 28 && len != 14) || !parse_hex(hex, len, t.bytes)) continue;
        t.n_bits = static_cast<uint8_t>(len * 4);
        char* frac = nullptr;
        const unsigned long long whole = strtoull(edge, &frac, 10);
        if (base_s < 0) base_s = static_cast<long long>(whole / 1000000000ULL);
        t.edge_ns = static_cast<double>(static_cast<long long>(whole) - base_s * 1000000000LL) +
                    (*frac == '.' ? strtod(frac, nullptr) : 0.0);
        t.snr_db = strcmp(snr, "inf") == 0 ? 1e9f : static_cast<float>(strtod(snr, nullptr));
        t.amp = got == 4 ? static_cast<float>(amp) : 0.0f;
        const int df = df_of(t.bytes);
        if (len == 28 && (df == 17 || df == 18)) ++*n_squitters;
        truth.push_back(t);
    }
    if (ferror(f)) fail("cannot read", path);
    fclose(f);
    std::stable_sort(truth.begin(), truth.end(), [](const TruthFrame& a, const TruthFrame& b) {
        return a.edge_ns < b.edge_ns;
    });
    return truth;
}

/// Indices of the truth's squitters ordered by bytes, then time.
std::vector<uint32_t> squitter_index(const std::vector<TruthFrame>& truth) {
    std::vector<uint32_t> idx;
    for (uint32_t i = 0; i < truth.size(); i++) {
        const int df = df_of(truth[i].bytes);
        if (truth[i].n_bits == 112 && (df == 17 || df == 18)) idx.push_back(i);
    }
    std::sort(idx.begin(), idx.end(), [&](uint32_t a, uint32_t b) {
        const int c = memcmp(truth[a].bytes, truth[b].bytes, 14);
        return c != 0 ? c < 0 : truth[a].edge_ns < truth[b].edge_ns;
    });
    return idx;
}

int bits_apart(const uint8_t* a, const uint8_t* b, int n_bytes) {
    int d = 0;
    for (int i = 0; i < n_bytes; i++) d += __builtin_popcount(static_cast<unsigned>(a[i] ^ b[i]));
    return d;
}

/// The fields of a 112-bit frame in which `a` and `b` differ: f (format
/// and capability, bits 1..8), a (address, 9..32), m (message, 33..88),
/// p (parity, 89..112).
std::string fields_apart(const uint8_t* a, const uint8_t* b) {
    auto differs = [&](int from, int to) {
        for (int i = from; i < to; i++)
            if (a[i] != b[i]) return true;
        return false;
    };
    std::string s;
    if (differs(0, 1)) s += 'f';
    if (differs(1, 4)) s += 'a';
    if (differs(4, 11)) s += 'm';
    if (differs(11, 14)) s += 'p';
    return s;
}

std::string hex_of(const uint8_t* b, int n_bytes) {
    std::string s;
    char two[3];
    for (int i = 0; i < n_bytes; i++) {
        snprintf(two, sizeof two, "%02X", b[i]);
        s += two;
    }
    return s;
}

/// The origin of a false frame sent at `toa_ns` (see the head comment);
/// -1 when no truth frame lies near; `bits` the bits that differ.
long origin_of(const std::vector<TruthFrame>& truth, const uint8_t* sent, double toa_ns,
               int* bits) {
    constexpr double kReach = 6000;
    auto lo = std::lower_bound(truth.begin(), truth.end(), toa_ns - kReach,
                               [](const TruthFrame& t, double v) { return t.edge_ns < v; });
    long best = -1;
    for (auto it = lo; it != truth.end() && it->edge_ns <= toa_ns + kReach; ++it) {
        const int d = bits_apart(it->bytes, sent, it->n_bits / 8);
        const double dt = std::fabs(it->edge_ns + 250 - toa_ns);
        if (best < 0 || d < *bits ||
            (d == *bits &&
             dt < std::fabs(truth[static_cast<size_t>(best)].edge_ns + 250 - toa_ns))) {
            best = it - truth.begin();
            *bits = d;
        }
    }
    return best;
}

/// For the verbose report: the strongest other frame in the air during
/// `o` (its start relative to o's, its level relative to o's).
std::string overlapped_by(const std::vector<TruthFrame>& truth, size_t o) {
    const TruthFrame& f = truth[o];
    const double end = f.edge_ns + (8 + f.n_bits) * 1000.0;
    const TruthFrame* best = nullptr;
    auto lo = std::lower_bound(truth.begin(), truth.end(), f.edge_ns - 120000.0,
                               [](const TruthFrame& t, double v) { return t.edge_ns < v; });
    for (auto it = lo; it != truth.end() && it->edge_ns < end; ++it) {
        if (static_cast<size_t>(it - truth.begin()) == o) continue;
        if (it->edge_ns + (8 + it->n_bits) * 1000.0 <= f.edge_ns) continue;
        if (!best || it->amp > best->amp) best = &*it;
    }
    if (!best) return "alone";
    char s[96];
    snprintf(s, sizeof s, "overlapped by DF%d at %+.1f us, %+.1f dB", df_of(best->bytes),
             (best->edge_ns - f.edge_ns) / 1000.0,
             best->amp > 0 && f.amp > 0 ? 20 * std::log10(best->amp / f.amp) : 0.0);
    return s;
}

/// Notes on standard error for the figures printed as "-" (nothing to
/// measure them on) and for inputs that cannot be what was meant.
void explain_unmeasured(char** argv, int sent, int messages, int found, int false_frames,
                        int strong, double strong_db) {
    if (sent == 0)
        fprintf(stderr,
                "vorlix-demod-score: %s holds no extended squitter (is it the -g file of "
                "vorlix-capture-synth?)\n",
                argv[1]);
    if (messages == 0)
        fprintf(stderr,
                "vorlix-demod-score: %s holds no level-2 message (is it what vorlix wrote, with "
                "or without -o?)\n",
                argv[2]);
    if (found == 0 && false_frames > 0)
        fprintf(stderr,
                "vorlix-demod-score: none of the %d frames sent matches the truth in its bytes "
                "and its time (within 100 us): the truth of another capture, or a raw capture, "
                "whose frames carry the time they were decoded at\n",
                false_frames);
    if (found > 0 && strong == 0)
        fprintf(stderr,
                "vorlix-demod-score: no strong frame found: none of the %d frames found has "
                "%.1f dB or more, so no time of arrival was measured (--strong sets the "
                "threshold)\n",
                found, strong_db);
}

}  // namespace

const char kUsage[] =
    "Usage: vorlix-demod-score TRUTH FRAMES [--strong DB]\n"
    "Scores the extended squitters a run of vorlix sent (FRAMES, its level-2\n"
    "output, \"-\" for standard input) against the ground truth of\n"
    "vorlix-capture-synth (TRUTH, its -g file or a named pipe it writes).\n"
    "  --strong DB    time of arrival over the frames of at least DB dB (default 25)\n"
    "  -h, --help     this text\n"
    "One line: sent N found N (P %) missed N false N duplicated N toa_mean NS\n"
    "toa_sd NS strong N false_bits D:N,... (the false frames by the number of bits\n"
    "in which they differ from the reply they were read from, x: none near, - no\n"
    "false frame). A figure with nothing to measure it on (the share found of a\n"
    "truth without squitters, the time of arrival without a strong frame) is \"-\",\n"
    "with a note on standard error. With VORLIX_SCORE_VERBOSE set, false frames are\n"
    "named on standard error with that reply.\n";

int main(int argc, char** argv) {
    if (argc == 2 && (strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--help") == 0)) {
        fputs(kUsage, stdout);
        return 0;
    }
    if (argc != 3 && !(argc == 5 && strcmp(argv[3], "--strong") == 0)) {
        fputs(kUsage, stderr);
        return 2;
    }
    const double strong_db = argc == 5 ? strtod(argv[4], nullptr) : 25.0;
    const bool verbose = getenv("VORLIX_SCORE_VERBOSE") != nullptr;
    int sent = 0;
    std::vector<TruthFrame> truth = read_truth(argv[1], &sent);
    const std::vector<uint32_t> by_bytes = squitter_index(truth);

    const bool from_stdin = strcmp(argv[2], "-") == 0;
    FILE* f = from_stdin ? stdin : fopen(argv[2], "rb");
    if (!f) fail("cannot open", argv[2]);
    std::vector<uint8_t> bytes;
    static uint8_t buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) bytes.insert(bytes.end(), buf, buf + n);
    if (ferror(f)) fail("cannot read", argv[2]);
    if (!from_stdin) fclose(f);

    int found = 0, dup = 0, false_frames = 0, strong = 0, messages = 0;
    std::map<int, int> false_by_bits;  // -1: no truth frame near
    double sum = 0, sum2 = 0;
    for (size_t pos = 0; pos + kL2HeaderBytes <= bytes.size();) {
        if (memcmp(bytes.data() + pos, kL2Magic, 4) != 0) {
            pos++;
            continue;
        }
        L2Message m{};
        l2_get_header(bytes.data() + pos, &m);
        messages++;
        pos += kL2HeaderBytes + m.length;
        if (m.op != L2_OP_FRAME_DF17 || m.length != 14 || pos > bytes.size()) continue;
        const uint8_t* frame = bytes.data() + pos - 14;
        const double toa_ns =
            static_cast<double>(static_cast<long long>(ts_seconds(m.time)) - base_s) * 1e9 +
            static_cast<double>(ts_fraction(m.time)) * 1e9 / 4294967296.0;
        auto first = std::lower_bound(
            by_bytes.begin(), by_bytes.end(), frame,
            [&](uint32_t a, const uint8_t* b) { return memcmp(truth[a].bytes, b, 14) < 0; });
        auto last = first;
        while (last != by_bytes.end() && memcmp(truth[*last].bytes, frame, 14) == 0) ++last;
        TruthFrame* best = nullptr;
        for (auto it = first; it != last; ++it) {
            TruthFrame& t = truth[*it];
            if (std::fabs(toa_ns - t.edge_ns) > 100000) continue;
            if (!best || std::fabs(toa_ns - t.edge_ns) < std::fabs(toa_ns - best->edge_ns))
                best = &t;
        }
        if (!best) {
            false_frames++;
            int bits = 0;
            const long o = origin_of(truth, frame, toa_ns, &bits);
            false_by_bits[o < 0 ? -1 : bits]++;
            if (verbose) {
                fprintf(stderr, "false: %s at %u.%09.0f s%s", hex_of(frame, 14).c_str(),
                        ts_seconds(m.time),
                        std::min(999999999.0, std::floor(ts_fraction(m.time) * 1e9 / 4294967296.0)),
                        first != last ? " (its bytes aired, far in time)" : "");
                if (o < 0) {
                    fprintf(stderr, ", no reply in the air within 6 us\n");
                } else {
                    const TruthFrame& t = truth[static_cast<size_t>(o)];
                    fprintf(stderr,
                            ", from %s (DF%d, %.1f dB, toa %+.0f ns): %d bits apart%s%s, %s\n",
                            hex_of(t.bytes, t.n_bits / 8).c_str(), df_of(t.bytes), t.snr_db,
                            toa_ns - t.edge_ns - 250, bits, t.n_bits == 112 ? " in " : " of 56",
                            t.n_bits == 112 ? fields_apart(t.bytes, frame).c_str() : "",
                            overlapped_by(truth, static_cast<size_t>(o)).c_str());
                }
            }
            continue;
        }
        if (best->matched) {
            dup++;
            continue;
        }
        best->matched = true;
        found++;
        if (best->snr_db >= strong_db) {
            const double d = toa_ns - best->edge_ns;
            sum += d;
            sum2 += d * d;
            strong++;
        }
    }
    const double mean = strong ? sum / strong : 0;
    const double sd =
        strong > 1 ? std::sqrt(std::max(0.0, (sum2 - strong * mean * mean) / (strong - 1))) : 0;
    std::string by_bits;
    for (const auto& [bits, count] : false_by_bits) {
        if (!by_bits.empty()) by_bits += ',';
        by_bits +=
            (bits < 0 ? std::string("x") : std::to_string(bits)) + ':' + std::to_string(count);
    }
    char share[32] = "-";
    char mean_text[32] = "-";
    char sd_text[32] = "-";
    if (sent > 0) snprintf(share, sizeof share, "%.1f", 100.0 * found / sent);
    if (strong > 0) {
        snprintf(mean_text, sizeof mean_text, "%.1f", mean);
        snprintf(sd_text, sizeof sd_text, "%.1f", sd);
    }
    printf(
        "sent %d found %d (%s %%) missed %d false %d duplicated %d toa_mean %s toa_sd %s "
        "strong %d false_bits %s\n",
        sent, found, share, sent - found, false_frames, dup, mean_text, sd_text, strong,
        by_bits.empty() ? "-" : by_bits.c_str());
    explain_unmeasured(argv, sent, messages, found, false_frames, strong, strong_db);
    return 0;
}
