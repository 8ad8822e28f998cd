// The measuring tools: the synthesizer's centre offset, its replies beyond
// full scale and its rate check; the scorer's counts and its tracing of
// false frames to the reply in the air.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "include/level2.h"
#include "sdr/adsb_check.h"
#include "tests/support/process.h"

namespace {

struct Means {
    double i = 0, q = 0;
    int lo = 255, hi = 0;
};

/// The mean I and Q bytes of a raw capture after its probe block, and the
/// extremes of both.
Means means_of(const std::string& raw) {
    Means m;
    double si = 0, sq = 0;
    size_t n = 0;
    for (size_t k = kBlockBytes; k + 1 < raw.size(); k += 2, n++) {
        const int i = static_cast<uint8_t>(raw[k]), q = static_cast<uint8_t>(raw[k + 1]);
        si += i;
        sq += q;
        m.lo = std::min({m.lo, i, q});
        m.hi = std::max({m.hi, i, q});
    }
    m.i = n ? si / static_cast<double>(n) : 0;
    m.q = n ? sq / static_cast<double>(n) : 0;
    return m;
}

// A fractional centre cannot be written into a byte: it must show in the
// mean, dithered by the noise or, without noise, by the synthesizer.
TEST(CaptureSynth, CentreOffsetIsTheMeanOfTheBytes) {
    struct Row {
        const char* noise;
        const char* dc;
        double want_i, want_q, tol;
    };
    // The noise table has a mean of its own, a few hundredths of an LSB.
    const Row rows[] = {
        {"0", "0.5", 127.5, 127.5, 0.002}, {"0", "0.25:-1.75", 127.25, 125.25, 0.002},
        {"0", "8", 135, 135, 0},           {"3", "0.5", 127.5, 127.5, 0.04},
        {"6", "2:-4", 129, 123, 0.06},     {"3", "0", 127, 127, 0.04},
    };
    TempDir dir;
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string("-n ") + r.noise + " --dc " + r.dc);
        ProcessResult s = run_process(
            tool_path("capture-synth"),
            {"-F", "raw", "-d", "0.2", "-n", r.noise, "--dc", r.dc, "-o", dir.file("cap")});
        ASSERT_EQ(s.status, 0) << s.err;
        const Means m = means_of(read_file(dir.file("cap")));
        EXPECT_NEAR(m.i, r.want_i, r.tol);
        EXPECT_NEAR(m.q, r.want_q, r.tol);
    }
}

// A reply above full scale clips at 0 and 255 (its carrier turning through
// every phase), and the truth keeps its amplitude; a rate it cannot take is named with the range.
TEST(CaptureSynth, StrongRepliesClipAndBadRatesNameTheRange) {
    TempDir dir;
    ProcessResult s =
        run_process(tool_path("capture-synth"), {"-F", "raw", "-d", "0.01", "-f", "150000", "-x",
                                                 "8D4840D6202CC371C32CE0576098@100:1000", "-o",
                                                 dir.file("cap"), "-g", dir.file("truth")});
    ASSERT_EQ(s.status, 0) << s.err;
    const Means m = means_of(read_file(dir.file("cap")));
    EXPECT_EQ(m.lo, 0);
    EXPECT_EQ(m.hi, 255);
    EXPECT_NE(read_file(dir.file("truth")).find(" inf 1000.00"), std::string::npos);

    struct Row {
        const char* rate;
        const char* says;
    };
    for (const Row& r :
         {Row{"5M", "rate 5M outside 2000000..3200000"}, Row{"1999999", "outside 2000000..3200000"},
          Row{"fast", "bad rate fast: give 2000000..3200000"}}) {
        SCOPED_TRACE(r.rate);
        ProcessResult bad =
            run_process(tool_path("capture-synth"), {"-r", r.rate, "-o", dir.file("x")});
        EXPECT_EQ(bad.status, 2);
        EXPECT_NE(bad.err.find(r.says), std::string::npos) << bad.err;
    }
    EXPECT_EQ(
        run_process(tool_path("capture-synth"), {"-r", "2.4M", "-d", "0", "-o", dir.file("x")})
            .status,
        0);
}

struct Squitter {
    uint8_t b[14];
};

Squitter squitter(uint32_t addr, uint8_t me0, uint8_t me6) {
    Squitter s{};
    s.b[0] = 17 << 3 | 5;
    s.b[1] = static_cast<uint8_t>(addr >> 16);
    s.b[2] = static_cast<uint8_t>(addr >> 8);
    s.b[3] = static_cast<uint8_t>(addr);
    s.b[4] = me0;
    s.b[10] = me6;
    const uint32_t p = adsb_parity(s.b, 88);
    s.b[11] = static_cast<uint8_t>(p >> 16);
    s.b[12] = static_cast<uint8_t>(p >> 8);
    s.b[13] = static_cast<uint8_t>(p);
    return s;
}

std::string hex(const Squitter& s) {
    std::string h;
    char two[3];
    for (uint8_t v : s.b) {
        snprintf(two, sizeof two, "%02X", v);
        h += two;
    }
    return h;
}

std::string l2_frame(const Squitter& s, uint32_t second, double fraction) {
    uint8_t m[kL2HeaderBytes + 14];
    const TimeStamp t = static_cast<TimeStamp>(second) << 32 |
                        static_cast<uint32_t>(std::lround(fraction * 4294967296.0));
    l2_put_header(m, t, UniqId{}, L2_OP_FRAME_DF17, 14);
    memcpy(m + kL2HeaderBytes, s.b, 14);
    return std::string(reinterpret_cast<const char*>(m), sizeof m);
}

// Found, missed, duplicated and false as the scorer counts them, the false
// frames by the bits in which they differ from the reply in the air at
// their time (none near: x), from a file and from standard input.
TEST(DemodScore, CountsAndTracesFalseFrames) {
    const Squitter a = squitter(0x4CA123, 0x58, 0x11), b = squitter(0x4CA124, 0x58, 0x22);
    const Squitter wrong_b = squitter(0x4CA124, 0x59, 0x23);  // what b was misread as
    const Squitter stray = squitter(0x123456, 0x20, 0x01);
    int apart = 0;
    for (int i = 0; i < 14; i++)
        apart += __builtin_popcount(static_cast<unsigned>(b.b[i] ^ wrong_b.b[i]));
    ASSERT_GE(apart, 6);  // the parity's distance

    TempDir dir;
    // Leading edges 1 ms and 2 ms into second 1700000000; toa 250 ns later.
    write_file(dir.file("truth"), "# hex leading_edge_ns snr_db amplitude\n" + hex(a) +
                                      " 1700000000001000000.000 20.00 60.00\n" + hex(b) +
                                      " 1700000000002000000.000 12.00 24.00\n"
                                      "5D4CA1230000A5 1700000000002050000.000 15.00 33.00\n");
    const std::string frames = l2_frame(a, 1700000000, 0.00100025) +
                               l2_frame(a, 1700000000, 0.00100030) +        // duplicated
                               l2_frame(wrong_b, 1700000000, 0.00200025) +  // false, b's bits
                               l2_frame(stray, 1700000000, 0.5);            // false, nothing near
    write_file(dir.file("frames"), frames);
    const std::string want =
        "sent 2 found 1 (50.0 %) missed 1 false 2 duplicated 1 toa_mean 250.0 "
        "toa_sd 0.0 strong 1 false_bits x:1," +
        std::to_string(apart) + ":1\n";
    ProcessResult r = run_process(tool_path("demod-score"),
                                  {dir.file("truth"), dir.file("frames"), "--strong", "18"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, want);
    ProcessResult piped =
        run_process(tool_path("demod-score"), {dir.file("truth"), "-", "--strong", "18"}, frames);
    EXPECT_EQ(piped.out, want);
}

}  // namespace
