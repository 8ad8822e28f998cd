// vorlix-l2-dump's decoded lines and aircraft table, held against the
// synthesizer's ground truth: the frames of synthesized flights are fed as
// level-2 messages (times from the truth), as *HEX; lines or as a Beast
// stream, so that what is checked is the decoding, not the demodulator.
#include <gtest/gtest.h>
#include <poll.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "include/level2.h"
#include "sdr/adsb_check.h"
#include "sdr/beast_raw.h"
#include "sdr/net_out.h"
#include "tests/support/log_capture.h"
#include "tests/support/process.h"
#include "tests/support/serve_outputs.h"
#include "tools/adsb/encode.h"

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

std::vector<uint8_t> frame_bytes(const std::string& hex) {
    std::vector<uint8_t> b;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        b.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return b;
}

/// A Beast message of `frame` at `toa` as the service encodes it.
std::string beast_message(const std::vector<uint8_t>& frame, TimeStamp toa, int32_t level) {
    uint8_t out[kBeastMaxBytes];
    const int n = beast_encode(out, frame.data(), static_cast<int>(frame.size()),
                               beast_clock_12mhz(toa), beast_signal_from_level(level));
    return std::string(reinterpret_cast<const char*>(out), n > 0 ? static_cast<size_t>(n) : 0);
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
    EXPECT_NE(r.out.find("5D4840D6A9C8F1  parity error, not decoded"), std::string::npos) << r.out;

    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"--star", "--decode"},
                                               {"--every", "0"},
                                               {"--every", "x"},
                                               {"--site", "91,0"},
                                               {"--site", "10"},
                                               {"--site"},
                                               {"--bogus"},
                                               {"--beast-input=localhost"},
                                               {"--beast-input", "--star-input"},
                                               {"--beast-input", "127.0.0.1:1", "file"},
                                               {"a", "b"}}) {
        ProcessResult bad = dump(args, "");
        EXPECT_EQ(bad.status, 2) << args[0] << ": " << bad.err;
        EXPECT_NE(bad.err.find("usage:"), std::string::npos) << args[0];
    }

    // A directory opens but cannot be read: a failure with the reason, not
    // an empty stream read to its end.
    TempDir dir;
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{dir.path()}, {"--star-input", dir.path()}}) {
        ProcessResult bad = dump(args, "");
        EXPECT_EQ(bad.status, 2) << args[0] << ": " << bad.err;
        EXPECT_EQ(bad.err, "vorlix-l2-dump: cannot open " + dir.path() + ": Is a directory\n")
            << args[0];
    }
}

/// The rows of the last table (after its header line) without their first
/// and last times.
std::vector<std::string> table_rows(const std::string& out) {
    std::vector<std::string> rows;
    const std::vector<std::string> lines = split_lines(out);
    size_t header = lines.size();
    for (size_t i = 0; i < lines.size(); i++) {
        if (lines[i].rfind("addr ", 0) == 0) header = i;
    }
    for (size_t i = header + 1; i < lines.size(); i++) {
        std::vector<std::string> w = split_words(lines[i]);
        if (w.size() != 11) continue;
        w.resize(9);
        std::string row;
        for (const std::string& x : w) row += x + " ";
        rows.push_back(row);
    }
    return rows;
}

/// The time column of a Beast line, seconds of the 12 MHz counter.
double counter_seconds(const std::string& line) {
    return std::stod(line.substr(0, 16));
}

// A Beast stream of the same frames (0x1a in counters and frames, damage
// between messages) gives the decoded lines, star lines and table of the
// level-2 stream; its lines carry the 12 MHz counter where level-2 lines
// carry the UTC time, and the damage is reported.
TEST(L2Dump, BeastInputGivesTheLinesOfLevel2) {
    TempDir dir;
    const Truth t = synthesize(dir, {"-d", "8", "--flights", "4"});
    std::string beast;
    std::vector<double> counters;
    int damaged = 0;
    for (size_t i = 0; i < t.frames.size(); i++) {
        const TimeStamp toa = ns_to_ts(t.frames[i].lead_ns);
        beast += beast_message(frame_bytes(t.frames[i].hex), toa, static_cast<int32_t>(i % 120));
        counters.push_back(static_cast<double>(beast_clock_12mhz(toa)) / kBeastClockHz);
        if (i % 40 == 5) {
            beast += std::string(
                "\x1a\x1a\x00\x1a"
                "9junk",
                9);  // 9 bytes outside messages
            damaged++;
        }
    }
    const std::string l2 = level2_stream(t.frames);
    const ProcessResult want = dump({"--decode"}, l2);
    const ProcessResult got = dump({"--beast-input", "--decode"}, beast);
    EXPECT_EQ(got.status, 1);
    EXPECT_NE(got.err.find(std::to_string(9 * damaged) + " bytes skipped"), std::string::npos)
        << got.err;
    const std::vector<std::string> a = decoded_lines(want.out), b = split_lines(got.out);
    ASSERT_EQ(a.size(), t.frames.size());
    ASSERT_EQ(b.size(), a.size()) << got.out;
    for (size_t i = 0; i < a.size(); i++) {
        EXPECT_EQ(b[i].substr(17), a[i].substr(28)) << "frame " << i;
        EXPECT_NEAR(counter_seconds(b[i]), counters[i], 1e-7) << b[i];
    }

    const ProcessResult star = dump({"--beast-input", "--star"}, beast);
    EXPECT_EQ(star.out, star_lines(t.frames));
    const std::vector<std::string> rows = table_rows(dump({"--aircraft"}, l2).out);
    EXPECT_EQ(rows.size(), 4U);
    EXPECT_EQ(table_rows(dump({"--beast-input", "--aircraft"}, beast).out), rows);
}

/// DF4 (`df` 4, with an altitude) or DF5 (a squawk) from `address`, its
/// address in the parity.
std::vector<uint8_t> surveillance_reply(int df, uint32_t address, int altitude_ft, int squawk) {
    uint32_t code = 0;  // the 13 bits 20..32
    if (df == 4) {
        const uint32_t field = encode_altitude12(altitude_ft);  // without the M bit
        code = (field & 0xFC0) << 1 | (field & 0x3F);
    } else {
        // The identity's 13 bits as the aircraft status squitter carries
        // them (frame bits 44..56).
        uint8_t status[14];
        encode_aircraft_status(status, address, 0, squawk);
        for (int b = 43; b < 56; b++) code = code << 1 | ((status[b / 8] >> (7 - b % 8)) & 1U);
    }
    std::vector<uint8_t> f = {static_cast<uint8_t>(df << 3),
                              0,
                              static_cast<uint8_t>(code >> 8),
                              static_cast<uint8_t>(code),
                              0,
                              0,
                              0};
    const uint32_t ap = adsb_parity(f.data(), 32) ^ address;
    f[4] = static_cast<uint8_t>(ap >> 16);
    f[5] = static_cast<uint8_t>(ap >> 8);
    f[6] = static_cast<uint8_t>(ap);
    return f;
}

// The whole way from the service's Beast output: the companion connects to
// the listening port, every frame published reaches it and is decoded as
// from level-2 input; replies are shown with their address and counted in
// the table for the aircraft already heard.
TEST(L2Dump, BeastInputFromTheBeastOutput) {
    LogCapture log;
    TempDir dir;
    const Truth t = synthesize(dir, {"-d", "4", "--flights", "2"});
    net_out_close_all();
    ASSERT_EQ(net_out_open(NET_OUT_BEAST, 0, "127.0.0.1"), 0);
    const std::string peer = "127.0.0.1:" + std::to_string(net_out_stats(NET_OUT_BEAST).port);
    ProcessResult got;
    std::thread tool([&] { got = dump({"--beast-input", peer, "--decode", "--aircraft"}, ""); });
    OutputLoop loop;
    const bool connected =
        loop.until([] { return net_out_stats(NET_OUT_BEAST).clients == 1; }, 60000);

    const uint32_t known =
        static_cast<uint32_t>(std::stoul(t.callsign.begin()->first, nullptr, 16));
    std::vector<uint8_t> all_call = {0x5d,
                                     static_cast<uint8_t>(known >> 16),
                                     static_cast<uint8_t>(known >> 8),
                                     static_cast<uint8_t>(known),
                                     0,
                                     0,
                                     0};
    const uint32_t pi = adsb_parity(all_call.data(), 32);  // interrogator code 0
    all_call[4] = static_cast<uint8_t>(pi >> 16);
    all_call[5] = static_cast<uint8_t>(pi >> 8);
    all_call[6] = static_cast<uint8_t>(pi);
    std::vector<std::vector<uint8_t>> frames;
    for (const TruthFrame& f : t.frames) frames.push_back(frame_bytes(f.hex));
    frames.push_back(all_call);
    frames.push_back(surveillance_reply(4, known, 36000, 0));
    frames.push_back(surveillance_reply(5, 0xABCDEF, 0, 01234));  // never heard: not counted
    uint64_t bytes = 0;
    for (size_t i = 0; i < frames.size(); i++) {
        const TimeStamp toa = i < t.frames.size()
                                  ? ns_to_ts(t.frames[i].lead_ns)
                                  : ns_to_ts(t.frames.back().lead_ns) + kTsOneSecond;
        bytes += beast_message(frames[i], toa, 60).size();
        net_out_frame(frames[i].data(), static_cast<int>(frames[i].size()), toa, 60);
    }
    EXPECT_TRUE(loop.until([&] { return net_out_stats(NET_OUT_BEAST).bytes_sent == bytes; }));
    net_out_close_all();
    tool.join();
    ASSERT_TRUE(connected) << log.text();
    ASSERT_EQ(got.status, 0) << got.err;

    const ProcessResult want = dump({"--decode", "--aircraft"}, level2_stream(t.frames));
    const std::vector<std::string> a = decoded_lines(want.out), b = split_lines(got.out);
    ASSERT_EQ(a.size(), t.frames.size());
    ASSERT_GE(b.size(), a.size() + 3) << got.out;
    for (size_t i = 0; i < a.size(); i++) EXPECT_EQ(b[i].substr(17), a[i].substr(28)) << i;
    char address[8];
    snprintf(address, sizeof address, "%06X", known);
    EXPECT_EQ(b[a.size()].substr(17),
              std::string(address) + " DF11 all-call reply  capability 5  interrogator 0");
    EXPECT_EQ(b[a.size() + 1].substr(17),
              std::string(address) + " DF4  altitude reply  alt 36000 ft  airborne");
    EXPECT_EQ(b[a.size() + 2].substr(17), "ABCDEF DF5  identity reply  squawk 1234  airborne");

    std::vector<std::string> rows = table_rows(want.out);
    ASSERT_EQ(rows.size(), 2U);
    for (std::string& row : rows) {
        if (row.rfind(address, 0) != 0) continue;
        // The replies: two more messages, the altitude of the last one.
        std::vector<std::string> w = split_words(row);
        w[3] = "36000";
        w[8] = std::to_string(std::stol(w[8]) + 2);
        row.clear();
        for (const std::string& x : w) row += x + " ";
    }
    std::vector<std::string> got_rows = table_rows(got.out);
    std::sort(rows.begin(), rows.end());
    std::sort(got_rows.begin(), got_rows.end());
    EXPECT_EQ(got_rows, rows) << got.out;
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
