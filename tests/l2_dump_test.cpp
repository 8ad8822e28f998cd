// vorlix-l2-dump's decoded lines and aircraft table, held against the
// synthesizer's ground truth: the frames of synthesized flights are fed as
// level-2 messages (times from the truth) or as *HEX; lines, so that what
// is checked is the decoding, not the demodulator.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "include/level2.h"
#include "tests/support/process.h"

namespace {

constexpr uint64_t kStartNs = 1700000000000000000ULL;

struct TruthFrame {
    std::string hex;
    uint64_t lead_ns;
    std::vector<std::string> values;  // address, kind, values (flight frames only)
};

struct Truth {
    std::vector<TruthFrame> frames;
    std::map<std::string, std::string> callsign;  // address -> callsign
};

/// Synthesizes flights (no noise; only the ground truth is used) and reads
/// the truth file.
Truth synthesize(const TempDir& dir, std::vector<std::string> args) {
    args.insert(args.end(),
                {"-o", dir.file("cap"), "-g", dir.file("truth"), "-t", std::to_string(kStartNs)});
    ProcessResult r = run_process(tool_path("capture-synth"), args);
    EXPECT_EQ(r.status, 0) << r.err;
    Truth t;
    for (const std::string& line : split_lines(read_file(dir.file("truth")))) {
        std::vector<std::string> w = split_words(line);
        if (w.size() >= 4 && w[0] == "#" && w[1] == "flight") t.callsign[w[2]] = w[3];
        if (line.empty() || line[0] == '#' || w.size() < 4) continue;
        TruthFrame f;
        f.hex = w[0];
        f.lead_ns = std::stoull(w[1].substr(0, w[1].find('.')));
        f.values.assign(w.begin() + 4, w.end());
        t.frames.push_back(f);
    }
    return t;
}

/// The frames as level-2 messages stamped with their truth times.
std::string level2_stream(const std::vector<TruthFrame>& frames) {
    std::string out;
    for (const TruthFrame& f : frames) {
        uint8_t msg[kL2HeaderBytes + 14];
        const int n = static_cast<int>(f.hex.size() / 2);
        l2_put_header(msg, ns_to_ts(f.lead_ns), uniq_make(0, 0), df_to_op(17),
                      static_cast<uint8_t>(n));
        for (int i = 0; i < n; i++) {
            msg[kL2HeaderBytes + i] = static_cast<uint8_t>(
                std::stoul(f.hex.substr(2 * static_cast<size_t>(i), 2), nullptr, 16));
        }
        out.append(reinterpret_cast<const char*>(msg), static_cast<size_t>(kL2HeaderBytes + n));
    }
    return out;
}

std::string star_lines(const std::vector<TruthFrame>& frames) {
    std::string out;
    for (const TruthFrame& f : frames) out += "*" + f.hex + ";\n";
    return out;
}

ProcessResult dump(const std::vector<std::string>& args, const std::string& input) {
    return run_process(tool_path("l2-dump"), args, input);
}

/// The number after `key` in `line` (words), NAN when absent.
double after(const std::vector<std::string>& w, const std::string& key, size_t skip = 1) {
    for (size_t i = 0; i + skip < w.size(); i++) {
        if (w[i] == key) return std::stod(w[i + skip]);
    }
    return NAN;
}

/// The word after `key`, empty when absent.
std::string word_after(const std::vector<std::string>& w, const std::string& key) {
    for (size_t i = 0; i + 1 < w.size(); i++) {
        if (w[i] == key) return w[i + 1];
    }
    return "";
}

/// The decoded lines of a dump that belong to frames (time, date first).
std::vector<std::string> decoded_lines(const std::string& out) {
    std::vector<std::string> lines;
    for (const std::string& l : split_lines(out)) {
        if (l.size() > 28 && l[4] == '/' && l[26] == 'Z') lines.push_back(l);
    }
    return lines;
}

// Every decoded line carries the values its frame encodes: callsign,
// altitude, latitude and longitude (to CPR resolution, once a pair or the
// site gives a position), speed, track, vertical rate, squawk.
TEST(L2Dump, DecodedLinesCarryTheEncodedValues) {
    TempDir dir;
    // Flights around a site near the antimeridian, surface vehicles with it.
    const Truth t =
        synthesize(dir, {"-d", "12", "--flights", "6", "--surface", "2", "--site", "-17.7,179.9"});
    ASSERT_GT(t.frames.size(), 200U);
    ProcessResult r = dump({"--decode", "--site", "-17.7,179.9"}, level2_stream(t.frames));
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<std::string> lines = decoded_lines(r.out);
    ASSERT_EQ(lines.size(), t.frames.size());
    int positions = 0, surface = 0;
    for (size_t i = 0; i < lines.size(); i++) {
        const std::vector<std::string>& v = t.frames[i].values;
        const std::vector<std::string> w = split_words(lines[i]);
        const std::string what = t.frames[i].hex + ": " + lines[i];
        ASSERT_GE(v.size(), 2U) << what;
        ASSERT_EQ(w[2], v[0]) << what;  // the address
        if (v[1] == "ident") {
            EXPECT_EQ(w[6], v[2]) << what;
            EXPECT_EQ(w[8], v[3]) << what;
        } else if (v[1] == "pos" || v[1] == "surface") {
            const bool on_ground = v[1] == "surface";
            if (!on_ground) {
                EXPECT_EQ(after(w, "alt"), std::stod(v[5])) << what;
            } else {
                EXPECT_NEAR(after(w, "speed"), std::stod(v[5]), 0.5) << what;
                EXPECT_NEAR(after(w, "track"), std::stod(v[6]), 360.0 / 256) << what;
            }
            EXPECT_EQ(word_after(w, "cpr"), v[2]) << what;
            const double lat = after(w, "lat"), lon = after(w, "lon");
            ASSERT_FALSE(std::isnan(lat)) << "no position: " << what;
            EXPECT_NEAR(lat, std::stod(v[3]), 0.0001) << what;
            EXPECT_NEAR(lon, std::stod(v[4]), 0.0001) << what;
            positions++;
            surface += on_ground;
        } else if (v[1] == "vel") {
            EXPECT_NEAR(after(w, "speed"), std::stod(v[2]), 0.5) << what;
            EXPECT_NEAR(after(w, "track"), std::stod(v[3]), 0.06) << what;
            EXPECT_EQ(after(w, "rate"), std::stod(v[4])) << what;
        } else if (v[1] == "status") {
            EXPECT_EQ(word_after(w, "squawk"), v[2]) << what;
        } else if (v[1] == "opstatus") {
            EXPECT_EQ(after(w, "version"), std::stod(v[2])) << what;
            EXPECT_EQ(after(w, "NACp"), std::stod(v[3])) << what;
        }
    }
    EXPECT_GT(positions, 100);
    EXPECT_GT(surface, 20);
}

// The table after the input: one row per aircraft, newest first, with the
// last values the truth gives for it and the number of its frames.
TEST(L2Dump, AircraftTableShowsTheKnownAircraft) {
    TempDir dir;
    const Truth t = synthesize(dir, {"-d", "11", "--flights", "7", "--site", "69.9,25.5"});
    ProcessResult r = dump({"--aircraft"}, level2_stream(t.frames));
    ASSERT_EQ(r.status, 0) << r.err;
    struct Last {
        long frames = 0;
        uint64_t last_ns = 0;
        std::vector<std::string> pos, status;
    };
    std::map<std::string, Last> want;
    for (const TruthFrame& f : t.frames) {
        Last& l = want[f.values[0]];
        l.frames++;
        l.last_ns = f.lead_ns;
        if (f.values[1] == "pos") l.pos = f.values;
        if (f.values[1] == "status") l.status = f.values;
    }
    ASSERT_EQ(want.size(), 7U);
    const std::vector<std::string> lines = split_lines(r.out);
    ASSERT_GE(lines.size(), 2 + want.size()) << r.out;
    EXPECT_EQ(lines[0].rfind("aircraft: 7, messages: " + std::to_string(t.frames.size()) + ",", 0),
              0U)
        << lines[0];
    EXPECT_EQ(split_words(lines[1])[0], "addr");
    uint64_t previous = UINT64_MAX;
    for (size_t i = 2; i < 2 + want.size(); i++) {
        const std::vector<std::string> w = split_words(lines[i]);
        ASSERT_EQ(w.size(), 11U) << lines[i];
        ASSERT_EQ(want.count(w[0]), 1U) << lines[i];
        const Last& l = want[w[0]];
        EXPECT_LE(l.last_ns, previous) << "not newest first: " << lines[i];
        previous = l.last_ns;
        EXPECT_EQ(w[1], t.callsign.at(w[0])) << lines[i];
        EXPECT_EQ(w[2], l.status.at(2)) << lines[i];
        EXPECT_EQ(w[3], l.pos.at(5)) << lines[i];
        EXPECT_NEAR(std::stod(w[4]), std::stod(l.pos.at(3)), 0.0001) << lines[i];
        EXPECT_NEAR(std::stod(w[5]), std::stod(l.pos.at(4)), 0.0001) << lines[i];
        EXPECT_EQ(std::stol(w[8]), l.frames) << lines[i];
    }
}

// The whole way: a synthesized capture with strong signals in noise,
// demodulated by the service, its frames tabled: every aircraft of the
// truth with its callsign and squawk.
TEST(L2Dump, ServiceFramesGiveTheTable) {
    TempDir dir;
    const Truth t = synthesize(dir, {"-d", "6", "--flights", "5", "-n", "4", "-A", "80:120"});
    ProcessResult v = run_vorlix({"-w", "0", "-r", "0", "-d", "0", dir.file("cap")});
    ASSERT_EQ(v.status, 0) << v.err;
    ProcessResult r = dump({"--aircraft"}, v.out);
    ASSERT_EQ(r.status, 0) << r.err;
    std::map<std::string, std::string> squawk;
    for (const TruthFrame& f : t.frames) {
        if (f.values[1] == "status") squawk[f.values[0]] = f.values[2];
    }
    const std::vector<std::string> lines = split_lines(r.out);
    ASSERT_EQ(lines.size(), 2 + t.callsign.size()) << r.out;
    for (size_t i = 2; i < lines.size(); i++) {
        const std::vector<std::string> w = split_words(lines[i]);
        ASSERT_EQ(t.callsign.count(w[0]), 1U) << lines[i];
        EXPECT_EQ(w[1], t.callsign.at(w[0])) << lines[i];
        EXPECT_EQ(w[2], squawk[w[0]]) << lines[i];
    }
}

// *HEX; lines written with --star read back with --star-input: the same
// lines, and the same decoded fields (only the times differ: star lines
// carry none).
TEST(L2Dump, StarInputRoundTrip) {
    TempDir dir;
    const Truth t = synthesize(dir, {"-d", "6", "--flights", "3"});
    const std::string l2 = level2_stream(t.frames);
    ProcessResult star = dump({"--star"}, l2);
    ASSERT_EQ(star.status, 0) << star.err;
    EXPECT_EQ(star.out, star_lines(t.frames));
    ProcessResult again = dump({"--star-input", "--star"}, star.out);
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(again.out, star.out);

    ProcessResult from_l2 = dump({"--decode"}, l2);
    ProcessResult from_star = dump({"--star-input"}, star.out);
    ASSERT_EQ(from_star.status, 0) << from_star.err;
    const std::vector<std::string> a = decoded_lines(from_l2.out), b = decoded_lines(from_star.out);
    ASSERT_EQ(a.size(), t.frames.size());
    ASSERT_EQ(b.size(), a.size());
    for (size_t i = 0; i < a.size(); i++) EXPECT_EQ(a[i].substr(28), b[i].substr(28));
}

// --every N: a table whenever N seconds of frame time have passed, then
// the final one; each lists the aircraft heard until then.
TEST(L2Dump, TablesEveryNSecondsOfFrameTime) {
    TempDir dir;
    const Truth t = synthesize(dir, {"-d", "12.5", "--flights", "2"});
    // A third aircraft that appears after 9 s: its frames, shifted.
    TempDir dir2;
    Truth late = synthesize(dir2, {"-d", "3", "--flights", "1", "-s", "7"});
    std::vector<TruthFrame> frames = t.frames;
    for (TruthFrame f : late.frames) {
        f.lead_ns += 9000000000ULL;
        frames.push_back(f);
    }
    std::stable_sort(frames.begin(), frames.end(), [](const TruthFrame& x, const TruthFrame& y) {
        return x.lead_ns < y.lead_ns;
    });
    ProcessResult r = dump({"--every", "4"}, level2_stream(frames));
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> titles;
    for (const std::string& l : split_lines(r.out)) {
        if (l.rfind("aircraft: ", 0) == 0) titles.push_back(l.substr(0, 12));
    }
    // At 4 and 8 s two aircraft, at 12 s and at the end three.
    EXPECT_EQ(titles, std::vector<std::string>(
                          {"aircraft: 2,", "aircraft: 2,", "aircraft: 3,", "aircraft: 3,"}))
        << r.out;
}

// Input that is not what it should be: bad star lines are reported and
// skipped (exit status 1), a frame that fails the parity check is named and
// kept out of the table, options that cannot work are refused.
TEST(L2Dump, BadInputAndBadOptions) {
    const std::string good = "*8D4840D6202CC371C32CE0576098;\n";
    const std::string damaged = "*8D4840D6202CC371C32CE0576099;\n";
    ProcessResult r =
        dump({"--star-input", "--aircraft"},
             good + "garbage\n*8D4840;\n\r\n" + damaged + "*8D4840D6202CC371C32CE05760XX;\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("line 2 is not a *HEX; frame: garbage"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("3 lines skipped"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("1 extended squitters failed the parity check"), std::string::npos)
        << r.err;
    EXPECT_NE(r.out.find("aircraft: 1, messages: 1,"), std::string::npos) << r.out;

    r = dump({"--star-input", "--decode"}, damaged + "*5D4840D6A9C8F1;\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("8D4840D6202CC371C32CE0576099  parity error, not decoded"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("DF11  not an extended squitter"), std::string::npos) << r.out;

    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"--star", "--decode"},
                                               {"--every", "0"},
                                               {"--every", "x"},
                                               {"--site", "91,0"},
                                               {"--site", "10"},
                                               {"--site"},
                                               {"--bogus"},
                                               {"a", "b"}}) {
        ProcessResult bad = dump(args, "");
        EXPECT_EQ(bad.status, 2) << args[0] << ": " << bad.err;
        EXPECT_NE(bad.err.find("usage:"), std::string::npos) << args[0];
    }
}

// Surface positions need a reference for their 90-degree ambiguity: without
// --site they wait (and say why), with it they decode.
TEST(L2Dump, SurfacePositionsNeedTheSite) {
    TempDir dir;
    const Truth t = synthesize(dir, {"-d", "4", "--surface", "2", "--site", "-33.9,18.6"});
    ProcessResult r = dump({"--decode"}, level2_stream(t.frames));
    EXPECT_NE(r.out.find("(no position: a surface position needs a reference (--site))"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find(" lat "), std::string::npos) << r.out;
    r = dump({"--decode", "--aircraft", "--site", "-33.9,18.6"}, level2_stream(t.frames));
    EXPECT_NE(r.out.find("(global)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" gnd "), std::string::npos) << r.out;
}

}  // namespace
