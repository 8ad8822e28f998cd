// vorlix-demod-score: scores the frames a run of the service sent against
// the synthesizer's ground truth.
//
//   vorlix-demod-score TRUTH FRAMES [--strong DB]
//
// TRUTH is the synthesizer's -g file, FRAMES the level-2 stream the service
// wrote (standard output or -o FILE). Only extended squitters (DF17, DF18)
// of the truth are scored, since only they are sent. A sent frame is
// matched to the truth frame with the same bytes whose leading edge lies
// nearest to its time of arrival (within 100 us); each truth frame takes at
// most one match, a second one counts as duplicated, and a sent frame with
// no truth frame of the same bytes is false.
//
// The time of arrival marks the centre of the first preamble pulse, 0.25 us
// after the leading edge of the truth; the figures given are toa - edge in
// ns, mean and standard deviation over the matched frames whose SNR is at
// least DB (default 25), which needs a time-stamped capture.
//
// With VORLIX_SCORE_VERBOSE set, every false frame is named on standard
// error. One line of output:
//   sent N found N (P %) missed N false N duplicated N toa_mean NS toa_sd NS strong N
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "include/level2.h"

namespace {

// Times are kept in ns after a base second (the first truth frame's), so
// that a double holds them to a fraction of a ns.
constinit long long base_s = -1;

struct TruthFrame {
    double edge_ns;  // leading edge, ns after base_s
    double snr_db;
    bool matched = false;
};

[[noreturn]] void fail(const char* what, const char* arg) {
    fprintf(stderr, "vorlix-demod-score: %s %s\n", what, arg);
    exit(2);
}

std::map<std::string, std::vector<TruthFrame>> read_truth(const char* path, int* n_squitters) {
    FILE* f = fopen(path, "r");
    if (!f) fail("cannot open", path);
    std::map<std::string, std::vector<TruthFrame>> truth;
    char line[256];
    *n_squitters = 0;
    while (fgets(line, sizeof line, f)) {
        if (line[0] == '#') continue;
        char hex[64];
        char edge[64];
        char snr[32];
        if (sscanf(line, "%63s %63s %31s", hex, edge, snr) != 3) continue;
        if (strlen(hex) != 28) continue;
        const int df = static_cast<int>(strtol(std::string(hex, 2).c_str(), nullptr, 16)) >> 3;
        if (df != 17 && df != 18) continue;
        TruthFrame t;
        char* frac = nullptr;
        const unsigned long long whole = strtoull(edge, &frac, 10);
        if (base_s < 0) base_s = static_cast<long long>(whole / 1000000000ULL);
        t.edge_ns = static_cast<double>(static_cast<long long>(whole) - base_s * 1000000000LL) +
                    (*frac == '.' ? strtod(frac, nullptr) : 0.0);
        t.snr_db = strcmp(snr, "inf") == 0 ? 1e9 : strtod(snr, nullptr);
        truth[hex].push_back(t);
        ++*n_squitters;
    }
    fclose(f);
    return truth;
}

}  // namespace

const char kUsage[] =
    "Usage: vorlix-demod-score TRUTH FRAMES [--strong DB]\n"
    "Scores the extended squitters a run of vorlix sent (FRAMES, its level-2\n"
    "output) against the ground truth of vorlix-capture-synth (TRUTH, its -g file).\n"
    "  --strong DB    time of arrival over the frames of at least DB dB (default 25)\n"
    "  -h, --help     this text\n"
    "One line: sent N found N (P %) missed N false N duplicated N toa_mean NS\n"
    "toa_sd NS strong N. With VORLIX_SCORE_VERBOSE set, false frames are named on\n"
    "standard error.\n";

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
    auto truth = read_truth(argv[1], &sent);

    FILE* f = fopen(argv[2], "rb");
    if (!f) fail("cannot open", argv[2]);
    std::vector<uint8_t> bytes;
    uint8_t buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) bytes.insert(bytes.end(), buf, buf + n);
    fclose(f);

    int found = 0, dup = 0, false_frames = 0, strong = 0;
    double sum = 0, sum2 = 0;
    for (size_t pos = 0; pos + kL2HeaderBytes <= bytes.size();) {
        if (memcmp(bytes.data() + pos, kL2Magic, 4) != 0) {
            pos++;
            continue;
        }
        L2Message m{};
        l2_get_header(bytes.data() + pos, &m);
        pos += kL2HeaderBytes + m.length;
        if (m.op != L2_OP_FRAME_DF17 || m.length != 14 || pos > bytes.size()) continue;
        char hex[29];
        for (int i = 0; i < 14; i++)
            snprintf(hex + 2 * i, 3, "%02X", bytes[pos - 14 + static_cast<size_t>(i)]);
        const double toa_ns = static_cast<double>(static_cast<long long>(ts_seconds(m.time)) - base_s) * 1e9 +
                              static_cast<double>(ts_fraction(m.time)) * 1e9 / 4294967296.0;
        auto it = truth.find(hex);
        if (it == truth.end()) {
            false_frames++;
            if (verbose) fprintf(stderr, "false: %s at %.0f ns\n", hex, toa_ns);
            continue;
        }
        TruthFrame* best = nullptr;
        for (TruthFrame& t : it->second) {
            if (std::fabs(toa_ns - t.edge_ns) > 100000) continue;
            if (!best || std::fabs(toa_ns - t.edge_ns) < std::fabs(toa_ns - best->edge_ns))
                best = &t;
        }
        if (!best) {
            false_frames++;
            if (verbose) fprintf(stderr, "false (time): %s at %.0f ns\n", hex, toa_ns);
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
    const double sd = strong > 1 ? std::sqrt(std::max(0.0, (sum2 - strong * mean * mean) / (strong - 1))) : 0;
    printf("sent %d found %d (%.1f %%) missed %d false %d duplicated %d toa_mean %.1f toa_sd %.1f "
           "strong %d\n",
           sent, found, sent ? 100.0 * found / sent : 0.0, sent - found, false_frames, dup, mean,
           sd, strong);
    return 0;
}
