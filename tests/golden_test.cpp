// Golden outputs: time-stamped captures synthesized with fixed seeds are
// decoded by the service without -o (times from the capture, station id
// zero); the frames on standard output and the log, without the CPU figures
// and the wall-clock delay line, must stay byte for byte what they were.
// Every capture is decoded twice: with -c (the classic demodulator,
// tests/golden/<case>.txt) and in the default mode
// (tests/golden/<case>.default.txt).
//
// Each file holds the capture's hash, the sizes and hashes of
// both outputs and the statistics lines in clear (for a readable diff).
// VORLIX_GOLDEN_UPDATE=1 rewrites the files from the current build.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/process.h"

namespace {

struct GoldenCase {
    const char* name;
    std::vector<std::string> synth;  // synthesizer arguments (besides -o)
    std::vector<std::string> args;   // service arguments before the file name
};

uint64_t fnv1a(const std::string& s) {
    uint64_t h = 0xcbf29ce484222325ULL;
    for (unsigned char c : s) {
        h ^= c;
        h *= 0x100000001b3ULL;
    }
    return h;
}

/// The statistics lines of a log, kept in clear in the golden file.
std::string report_lines(const std::string& log) {
    static const char* kPrefixes[] = {"msg stats",   "[",           "peaks",
                                      "noise floor", "frame range", "no msg",
                                      "funnel",      "recovered",
                                      "front end"};
    std::string out;
    for (const std::string& line : split_lines(log)) {
        for (const char* p : kPrefixes) {
            if (line.rfind(p, 0) == 0) {
                out += "| " + line + "\n";
                break;
            }
        }
    }
    return out;
}

std::string summary(const std::string& capture, const std::string& out, const std::string& log) {
    char head[256];
    snprintf(head, sizeof head,
             "capture %zu %016" PRIx64 "\nstdout %zu %016" PRIx64 "\nlog %zu %016" PRIx64 "\n",
             capture.size(), fnv1a(capture), out.size(), fnv1a(out), log.size(), fnv1a(log));
    return head + report_lines(log);
}

const std::vector<GoldenCase>& cases() {
    // Seeds, start times and traffic are fixed; each case is about two
    // seconds of signal so that the statistics report runs twice (-t 1).
    static const std::vector<GoldenCase> kCases = {
        {"traffic_2400k",
         {"-r", "2400000", "-d", "2.2", "-n", "6", "-a", "200", "-m", "400", "-A", "8:150", "-c",
          "30", "-s", "11", "-t", "1700000000000000000"},
         {"-t", "1"}},
        {"traffic_2000k",
         {"-r", "2000000", "-d", "2.2", "-n", "5", "-a", "200", "-m", "400", "-A", "8:150", "-c",
          "30", "-s", "12", "-t", "1700000100000000000"},
         {"-t", "1", "-s", "2000000"}},
        {"traffic_3200k",
         {"-r", "3200000", "-d", "2.2", "-n", "7", "-a", "200", "-m", "400", "-A", "8:150", "-c",
          "30", "-s", "13", "-t", "1700000200000000000"},
         {"-t", "1", "-s", "3200000"}},
        {"overlap_2400k_debug",
         {"-r",  "2400000", "-d",    "1.2", "-n",     "4",         "-a",
          "600", "-m",      "1500",  "-A",  "20:160", "--overlap", "-c",
          "8",   "-f",      "30000", "-s",  "14",     "-t",        "1700000300000000000"},
         {"-t", "1", "-d", "0x1f", "-z", "2,3,-2"}},
        {"quiet_2400k",
         {"-r", "2400000", "-d", "1.2", "-n", "2", "-a", "20", "-A", "10:40", "-s", "15", "-t",
          "1700000400000000000"},
         {"-t", "1"}},
        {"flat127_2400k",
         {"-r", "2400000", "-d", "1.2", "-s", "16", "-t", "1700000500000000000"},
         {"-t", "1"}},
    };
    return kCases;
}

struct GoldenRun {
    GoldenCase c;
    bool classic;
};

std::vector<GoldenRun> runs() {
    std::vector<GoldenRun> out;
    for (const GoldenCase& c : cases()) {
        out.push_back({c, true});
        out.push_back({c, false});
    }
    return out;
}

class Golden : public ::testing::TestWithParam<GoldenRun> {};

TEST_P(Golden, OutputsStayByteIdentical) {
    const GoldenCase& c = GetParam().c;
    const bool classic = GetParam().classic;
    TempDir dir;
    std::vector<std::string> synth = c.synth;
    synth.insert(synth.end(), {"-o", dir.file("cap")});
    ProcessResult s = run_process(tool_path("capture-synth"), synth);
    ASSERT_EQ(s.status, 0) << s.err;
    const std::string capture = read_file(dir.file("cap"));

    std::vector<std::string> args = {"-w", "0", "-r", "0"};
    if (classic) args.push_back("-c");
    args.insert(args.end(), c.args.begin(), c.args.end());
    args.push_back(dir.file("cap"));
    ProcessResult r = run_vorlix(args);
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string got = summary(capture, r.out, stable_log(r.err));

    const std::string path = std::string(VORLIX_SOURCE_DIR) + "/tests/golden/" + c.name +
                             (classic ? ".txt" : ".default.txt");
    const char* update = getenv("VORLIX_GOLDEN_UPDATE");
    if (update != nullptr && update[0] == '1') {
        write_file(path, got);
        GTEST_SKIP() << "rewrote " << path;
    }
    const std::string want = read_file(path);
    ASSERT_FALSE(want.empty()) << "no golden file " << path;
    // The capture itself comes from floating-point noise; a platform whose
    // mathematics library rounds differently synthesizes another capture.
    if (want.substr(0, want.find('\n')) != got.substr(0, got.find('\n'))) {
        GTEST_SKIP() << "the synthesizer made a different capture on this platform";
    }
    EXPECT_EQ(got, want) << "frames or log changed; the full log was:\n" << stable_log(r.err);
}

INSTANTIATE_TEST_SUITE_P(Captures, Golden, ::testing::ValuesIn(runs()), [](const auto& p) {
    return std::string(p.param.c.name) + (p.param.classic ? "_classic" : "_default");
});

}  // namespace
