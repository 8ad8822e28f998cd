// Repeating log lines: at most ten of a kind per statistics interval, the
// rest counted and reported once at the end of the interval.
#include "sdr/log_limit.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "sdr/adsb_check.h"
#include "sdr/log.h"
#include "tests/support/air.h"
#include "tests/support/log_capture.h"
#include "tests/support/process.h"

namespace {

// One kind of each channel: 13 lines allow the first 10; the report names
// the other 3 on the line's own channel and starts a fresh interval.
TEST(LogLimit, TenPerIntervalThenOneCountLine) {
    struct Case {
        RepeatingLine kind;
        int mask;            // debug mask during the interval
        bool counted;        // held-back lines are counted
        const char* on_log;  // the report's line on the log stream
        const char* on_err;  // ... on standard error
    } cases[] = {
        {LINE_STEPPING_BACK, 0, true,
         "Warning - %s: STEPPING BACK in time %+5.2fus (%d:%4d): 3 more since the last report\n",
         ""},
        {LINE_NOT_COMMB, 0, true, "",
         "df=%d, but NOT Comm-B (comm_type='%c', dr=%d): 3 more since the last report\n"},
        {LINE_LINK_CLOSE, DBG_STATISTICS, true,
         "%s: is NOT minimal increasing by dt=56us >= %5.2fus (df=%d->%d): 3 more since the last "
         "report\n",
         ""},
        // Statistics lines while the statistics bit is off are not printed,
        // so there is nothing to count.
        {LINE_LINK_CLOSE, 0, false, "", ""},
    };
    const int saved_mask = debug_mask;
    for (const Case& c : cases) {
        LogCapture log;
        debug_mask = c.mask;
        int allowed = 0;
        for (int i = 0; i < 13; i++) allowed += log_allowed(c.kind) ? 1 : 0;
        EXPECT_EQ(allowed, c.counted ? 10 : 0) << c.on_log << c.on_err;
        EXPECT_EQ(log_held_back(c.kind), c.counted ? 3U : 0U);
        std::string err = stderr_of([] { log_limit_report(); });
        EXPECT_EQ(log.text(), c.on_log);
        EXPECT_EQ(err, c.on_err);
        // A fresh interval: nothing held back, the next line is printed.
        EXPECT_EQ(stderr_of([] { log_limit_report(); }), "");
        EXPECT_EQ(log.text(), c.on_log);
        EXPECT_EQ(log_allowed(c.kind), c.counted);
    }
    debug_mask = saved_mask;
}

// ---------------------------------------------------------------------------
// Process level: floods of NOT Comm-B replies and of candidates back in time.

std::string hex(const std::string& bytes) {
    std::string s;
    char b[3];
    for (unsigned char c : bytes) {
        snprintf(b, sizeof b, "%02X", c);
        s += b;
    }
    return s;
}

// A DF21 reply to `aa` with downlink request 2 (not a Comm-B request).
std::string not_commb(uint32_t aa) {
    uint8_t f[14] = {21 << 3, 2 << 3, 0, 0, 0x10};
    uint32_t p = adsb_parity(f, 88) ^ aa;  // address/parity: the remainder is the address
    f[11] = static_cast<uint8_t>(p >> 16);
    f[12] = static_cast<uint8_t>(p >> 8);
    f[13] = static_cast<uint8_t>(p);
    return std::string(reinterpret_cast<const char*>(f), sizeof f);
}

// One statistics interval as the log shows it, per kind: the lines printed
// and the count of those held back.
struct Interval {
    int not_commb = 0, reverse = 0;
    unsigned not_commb_held = 0, reverse_held = 0;
};

// Splits a log (standard error, log stream and NOT Comm-B lines in order)
// at the statistics reports; the count lines come first in a report.
std::vector<Interval> intervals_of(const std::string& err) {
    const std::string more = " more since the last report";
    std::vector<Interval> out(1);
    for (const std::string& line : split_lines(err)) {
        size_t colon = line.rfind(": ");
        bool count_line = line.size() > more.size() &&
                          line.compare(line.size() - more.size(), more.size(), more) == 0;
        unsigned n = count_line ? static_cast<unsigned>(std::stoul(line.substr(colon + 2))) : 0;
        if (line.rfind("df=%d, but NOT Comm-B", 0) == 0 && count_line) {
            out.back().not_commb_held += n;
        } else if (line.rfind("Warning - [frame slice] reverse timing by %ld", 0) == 0 &&
                   count_line) {
            out.back().reverse_held += n;
        } else if (line.rfind("df=21, but NOT Comm-B (comm_type='T', dr=2)", 0) == 0) {
            out.back().not_commb++;
        } else if (line.rfind("Warning - [frame slice] reverse timing by -", 0) == 0) {
            out.back().reverse++;
        } else if (line.rfind("msg stats:", 0) == 0) {
            out.emplace_back();
        }
    }
    return out;
}

// A capture of 2.5 s with a known aircraft and 55 DF21 replies: 25 in the
// first statistics interval, 5 in the second, 25 in the third. Read twice
// (-r 1): the second pass's candidates all lie before the newest one of the
// first pass. No interval may show more than ten lines of a kind; one that
// held lines back shows ten and names the rest in the next report, or at
// the end of the run.
TEST(LogLimit, FloodsOfNotCommBRepliesAndReverseTiming) {
    TempDir dir;
    const uint32_t aa = 0x4CA123;
    std::vector<std::string> synth = {"-o", dir.file("flood.cap"),           "-d", "2.5",
                                      "-x", hex(air_squitter(aa)) + "@20000"};
    std::vector<double> at_ms;
    for (int k = 0; k < 25; k++) at_ms.push_back(50 + 30 * k);    // 50 .. 770 ms
    for (int k = 0; k < 5; k++) at_ms.push_back(1200 + 100 * k);  // 1.2 .. 1.6 s
    for (int k = 0; k < 25; k++) at_ms.push_back(2050 + 15 * k);  // 2.05 .. 2.41 s
    for (double ms : at_ms) {
        synth.push_back("-x");
        synth.push_back(hex(not_commb(aa)) + "@" + std::to_string(static_cast<int>(ms * 1000)));
    }
    ProcessResult s = run_process(tool_path("capture-synth"), synth);
    ASSERT_EQ(s.status, 0) << s.err;

    ProcessResult r = run_vorlix({"-w", "0", "-r", "1", "-t", "1", dir.file("flood.cap")});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<Interval> iv = intervals_of(r.err);
    int not_commb = 0, reverse = 0, held_intervals = 0;
    for (size_t i = 0; i < iv.size(); i++) {
        const Interval& v = iv[i];
        SCOPED_TRACE("interval " + std::to_string(i));
        EXPECT_LE(v.not_commb, 10);
        EXPECT_LE(v.reverse, 10);
        EXPECT_TRUE(v.not_commb_held == 0 || v.not_commb == 10) << v.not_commb;
        EXPECT_TRUE(v.reverse_held == 0 || v.reverse == 10) << v.reverse;
        not_commb += v.not_commb + static_cast<int>(v.not_commb_held);
        reverse += v.reverse + static_cast<int>(v.reverse_held);
        held_intervals += (v.not_commb_held > 0) + (v.reverse_held > 0);
    }
    // The first pass decodes every reply (strong frames); the second
    // refuses every candidate, at least one per frame.
    EXPECT_EQ(not_commb, 55) << r.err;
    EXPECT_GE(reverse, 56) << r.err;
    EXPECT_GE(held_intervals, 3) << r.err;
    // The first pass's intervals, as placed (the first report comes one
    // interval after the first record): 15 held back in the first second,
    // none in the next.
    ASSERT_GE(iv.size(), 3U) << r.err;
    EXPECT_EQ(iv[0].not_commb_held, 15U) << r.err;
    EXPECT_EQ(iv[1].not_commb, 5) << r.err;
    EXPECT_EQ(iv[1].not_commb_held, 0U) << r.err;
}

}  // namespace
