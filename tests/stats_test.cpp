#include "sdr/stats.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "sdr/adsb_check.h"
#include "sdr/log.h"
#include "tests/support/process.h"

namespace {

const TimeStamp kNow = ts_make(1700000000U, 0);

class Stats : public testing::Test {
   protected:
    void SetUp() override {
        stats = std::make_unique<DecoderStats>();
        table = std::make_unique<AircraftTable>();
        stats->candidate_level = kLevelStatsReset;
        stats->rejected_level = kLevelStatsReset;
        stats->accepted_level = kLevelStatsReset;
        stats->noise_level = kLevelStatsReset;
        stats->report_time = kNow - 10 * kTsOneSecond;
        log_file = tmpfile();
        log_stream = log_file;
        debug_mask = DBG_STATISTICS;
    }
    void TearDown() override {
        log_stream = nullptr;
        fclose(log_file);
        debug_mask = DBG_STATISTICS;
    }
    /// Everything logged since the last call.
    std::string take_log() {
        std::string s;
        fseek(log_file, 0, SEEK_SET);
        int c;
        while ((c = fgetc(log_file)) != EOF) s.push_back(static_cast<char>(c));
        fclose(log_file);
        log_file = tmpfile();
        log_stream = log_file;
        return s;
    }
    AircraftEntry* add_aircraft(uint32_t address, const char* callsign) {
        AircraftEntry* e = &table->entries[aircraft_take(table.get(), address)];
        e->last_seen = kNow;
        snprintf(e->callsign, sizeof(e->callsign), "%s", callsign);
        return e;
    }

    std::unique_ptr<DecoderStats> stats;
    std::unique_ptr<AircraftTable> table;
    FILE* log_file = nullptr;
};

TEST(LevelDb, KnownAnswers) {
    EXPECT_NEAR(level_db(32), -12.06f, 0.005f);
    EXPECT_FLOAT_EQ(level_db(256), 6.0f);
    char text[16];
    snprintf(text, sizeof(text), "%5.1f", static_cast<double>(level_db(32)));
    EXPECT_STREQ(text, "-12.1");
    snprintf(text, sizeof(text), "%5.1f", static_cast<double>(level_db(0)));
    EXPECT_STREQ(text, " -inf");
}

// The service computes the decimal logarithm itself; its decibel figures
// must be those of the C library's log10, to the last bit of the float.
TEST(LevelDb, SameAsTheCLibrary) {
    auto reference = [](int32_t level) {
        return static_cast<float>(
            20.0 * (std::log10(static_cast<double>(level)) - 2.40823996531185 + 0.3));
    };
    std::mt19937 rng(7);
    for (int64_t i = 1; i < (1 << 20) + 200000; i++) {
        int32_t level =
            i < (1 << 20) ? static_cast<int32_t>(i) : static_cast<int32_t>(rng() & 0x7FFFFFFF);
        if (level == 0) continue;
        float want = reference(level);
        ASSERT_EQ(level_db(level), want) << "level " << level;
    }
    EXPECT_EQ(level_db(INT32_MAX), reference(INT32_MAX));
    EXPECT_TRUE(std::isnan(decimal_log(-1)));
}

TEST(ScaledQuotient, MatchesWideArithmetic) {
    struct Row {
        int64_t num, den, want;
    } rows[] = {{1, 3, 3333},
                {-1, 3, -3333},
                {7, -2, -35000},
                {0, 5, 0},
                {INT64_MAX, 1, INT64_MAX},  // saturates
                {INT64_MIN, 1, INT64_MIN},
                // 70 h of CPU over 100 h: the 64-bit product would overflow.
                {70LL * 3600 << 32, 100LL * 3600 << 32, 7000}};
    for (const Row& r : rows) {
        EXPECT_EQ(scaled_quotient(r.num, 10000, r.den), r.want) << r.num << " / " << r.den;
    }
#ifdef __SIZEOF_INT128__
    std::mt19937_64 rng(42);
    for (int i = 0; i < 2000; i++) {
        int64_t num = static_cast<int64_t>(rng() >> (rng() % 64));
        int64_t den = static_cast<int64_t>(rng() >> (rng() % 64)) | 1;
        if (i & 1) num = -num;
        __int128 want = static_cast<__int128>(num) * 10000 / den;
        if (want > INT64_MAX || want < INT64_MIN) continue;
        ASSERT_EQ(scaled_quotient(num, 10000, den), static_cast<int64_t>(want))
            << num << " / " << den;
    }
#endif
}

TEST_F(Stats, FirstReportOfAnAttempt) {
    stats->peak_bins[3] = 7;  // triggers, but no candidate
    EXPECT_EQ(stats_report(stats.get(), kNow, 0), 0);
    std::string log = take_log();
    std::smatch m;
    ASSERT_TRUE(std::regex_search(
        log, m,
        std::regex(R"(^msg stats: proc/skip:\[0/0\] sys: (\d+)\.\d\d% user: (\d+)\.\d\d% )"
                   R"(\[1970/01/01_00:00:00Z\]\n)")))
        << log;
    EXPECT_NE(log.find("[4] X;  [5] X;  [11] X;  [17] X;  [20] X;  [21] X;  \n"),
              std::string::npos);
    EXPECT_NE(log.find("peaks: 7 chunks: 0 frames: 0 (0x0)\n"), std::string::npos) << log;
    EXPECT_NE(log.find("no msg received\n"), std::string::npos) << log;
    // The whole process's CPU time is taken at this report.
    struct rusage ru;
    ASSERT_EQ(getrusage(RUSAGE_SELF, &ru), 0);
    EXPECT_GT(stats->cpu_user + stats->cpu_sys, 0U);
    EXPECT_LE(stats->cpu_user, timeval_to_ts(ru.ru_utime.tv_sec, ru.ru_utime.tv_usec));
    EXPECT_EQ(stats->report_time, kNow);
}

TEST_F(Stats, FirstReportCountsOnlyTheAttemptsCpuTime) {
    // Use some CPU before the attempt starts: it must not show in the report.
    struct rusage ru;
    volatile uint32_t sink = 0;
    do {
        for (int i = 0; i < 1000000; i++) sink = sink * 1664525U + 1013904223U;
        ASSERT_EQ(getrusage(RUSAGE_SELF, &ru), 0);
    } while (ru.ru_utime.tv_sec == 0 && ru.ru_utime.tv_usec < 300000);
    stats_start(stats.get(), kNow);
    EXPECT_EQ(stats->report_time, kNow);
    EXPECT_EQ(stats->accepted_level.max, kLevelStatsReset.max);
    stats_report(stats.get(), kNow + kTsOneSecond, 0);
    std::smatch m;
    std::string log = take_log();
    ASSERT_TRUE(std::regex_search(log, m, std::regex(R"( user: (\d+)\.\d\d% )"))) << log;
    EXPECT_LT(std::stoi(m[1]), 10) << log;
}

TEST_F(Stats, CpuFiguresWithoutOverflowOrZeroDivision) {
    // 70 h of user time since the last report, 100 h of wall-clock time.
    struct rusage ru;
    ASSERT_EQ(getrusage(RUSAGE_SELF, &ru), 0);
    stats->cpu_user =
        timeval_to_ts(ru.ru_utime.tv_sec, ru.ru_utime.tv_usec) - 70ULL * 3600 * kTsOneSecond;
    stats->cpu_sys = timeval_to_ts(ru.ru_stime.tv_sec, ru.ru_stime.tv_usec);
    stats->report_time = kNow - 100ULL * 3600 * kTsOneSecond;
    stats_report(stats.get(), kNow, 0);
    EXPECT_NE(take_log().find(" user: 70.00% "), std::string::npos);
    // No time has passed, or the clock went back.
    for (TimeStamp now : {kNow, kNow - kTsOneSecond}) {
        stats->cpu_user = 0;
        stats_report(stats.get(), now, 0);
        std::string log = take_log();
        EXPECT_NE(log.find("sys: 0.00% user: 0.00% "), std::string::npos) << log;
        EXPECT_EQ(stats->report_time, now);
    }
}

TEST_F(Stats, FullReportAndReset) {
    debug_mask = DBG_STATISTICS | DBG_DECODE1;
    stats->n_blocks = 1172;
    stats->last_candidate_toa = ts_make(1700000000U, 5);
    stats->received[17] = 10;
    stats->rejected[17] = 1;
    stats->received[11] = 3;
    stats->received[0] = 4;
    stats->peak_bins[3] = 100;
    stats->rms_bins[3] = 50;
    stats->corr_bins[3] = 40;
    stats->ok_bins[3] = 10;
    stats->peak_bins[5] = 4;
    stats->ok_bins[6] = 2;  // frames: 12
    stats->noise_level = {30, 40, 256};
    stats->accepted_level = {32, 256, 800};
    stats->rejected_level = {5, 6, 7};
    EXPECT_EQ(stats_report(stats.get(), kNow, 255), 12);
    std::string log = take_log();
    // The CPU figures depend on this process; the rest is exact.
    size_t line_end = log.find('\n');
    EXPECT_NE(log.substr(0, line_end).find("proc/skip:[1172/0] "), std::string::npos);
    EXPECT_EQ(log.substr(line_end - 22, 23), "[2023/11/14_22:13:20Z]\n");
    EXPECT_EQ(log.substr(line_end + 1),
              "[4] X;  [5] X;  [11] 3 ok:3  err:0.00%;  [17] 10 ok:9  err:10.00%;  "
              "[20] X;  [21] X;  \n"
              "peaks: 104 chunks: 40 frames: 12 (2x3)\n"
              "trigger stats:\n"
              "lvl:    peak => rms => corr => ok\n"
              " 3:      100 => 50% => 80% => 25% (10)\n"
              " 5:        4 =>  0%\n"
              "noise floor: -30.0 (30 32 40) peak:6.0 (255)\n"
              "frame range: -12.1 (32) .. 6.0 (256)\n");

    // Interval counters reset; noise track and the table survive.
    auto want_record = std::make_unique<DecoderStats>();  // zeroed, padding included
    DecoderStats& want = *want_record;
    want.candidate_level = kLevelStatsReset;
    want.rejected_level = kLevelStatsReset;
    want.accepted_level = kLevelStatsReset;
    want.noise_level = {INT32_MAX, INT32_MIN, 256};
    want.last_candidate_toa = stats->last_candidate_toa;
    want.cpu_sys = stats->cpu_sys;
    want.cpu_user = stats->cpu_user;
    want.report_time = kNow;
    EXPECT_EQ(memcmp(&want, stats.get(), sizeof(want)), 0);
}

TEST_F(Stats, AircraftList) {
    AircraftEntry* named = add_aircraft(0x4CA123, "ABCD837H");
    named->level = {32, 256, 8 * 256};
    named->es_ok = 3;
    named->es_bad = 1;
    named->commb = 1;
    AircraftEntry* plain = add_aircraft(0xABCDEF, "");
    plain->es_ok = 5;
    add_aircraft(0x111111, "OLD")->last_seen = kNow - 61 * kTsOneSecond;
    table->entries[3].last_seen = kNow;  // address 0: free
    const TimeStamp since = kNow - 60 * kTsOneSecond;

    // Without the aircraft bit nothing is printed and the counters go on.
    aircraft_report(table.get(), since);
    EXPECT_EQ(take_log(), "");
    EXPECT_EQ(named->es_ok, 3);

    debug_mask = DBG_STATISTICS | DBG_DECODE2;
    aircraft_report(table.get(), since);
    EXPECT_EQ(take_log(),
              "4ca123 ABCD837H 0.00kHz (0.00) lvl[  6.0   6.0 -12.1] ex[  3/  4] cb[ 1]\n"
              "abcdef -          +0.00kHz (0.00) lvl[no sample] ex[  5/  5] cb[ 0]\n"
              "cnt:   2\n");
    EXPECT_EQ(named->es_ok + named->es_bad + named->commb + plain->es_ok, 0);
    EXPECT_EQ(named->level.max, 256);

    // Nothing heard since: no lines and no count.
    aircraft_report(table.get(), kNow + 1);
    EXPECT_EQ(take_log(), "");
}

/// Hex text of a frame of format `df` whose parity remainder is `remainder`.
std::string frame_hex(int df, std::vector<uint8_t> body, uint32_t remainder) {
    int bits = df < 16 ? 32 : 88;
    std::vector<uint8_t> f(bits / 8 + 3, 0);
    f[0] = static_cast<uint8_t>(df << 3);
    std::copy(body.begin(), body.end(), f.begin() + 1);
    uint32_t p = adsb_parity(f.data(), bits) ^ remainder;
    f[bits / 8] = static_cast<uint8_t>(p >> 16);
    f[bits / 8 + 1] = static_cast<uint8_t>(p >> 8);
    f[bits / 8 + 2] = static_cast<uint8_t>(p);
    std::string hex;
    char b[3];
    for (uint8_t v : f) {
        snprintf(b, sizeof(b), "%02X", v);
        hex += b;
    }
    return hex;
}

// A synthesized raw capture with one aircraft: a DF4 before it is known,
// its all-call, three squitters, a DF4 and a Comm-B identification.
TEST(StatsEndToEnd, ReportAndAircraftListOfASynthesizedCapture) {
    if (access(tool_path("capture-synth").c_str(), X_OK) != 0) GTEST_SKIP() << "no synthesizer";
    const std::string df11 = frame_hex(11, {0x4C, 0xA1, 0x23}, 0);
    const std::string df17 =
        frame_hex(17, {0x4C, 0xA1, 0x23, 0x58, 0x99, 0x01, 0x02, 0x03, 0x04, 0x05}, 0);
    const std::string df4 = frame_hex(4, {0, 0, 0}, 0x4CA123);
    const std::string df20 =
        frame_hex(20, {0x08, 0, 0, 0x20, 0x04, 0x20, 0xC4, 0xE3, 0x3D, 0xC8}, 0x4CA123);
    TempDir dir;
    const std::string capture = dir.file("capture.u8");
    ProcessResult synth =
        run_process(tool_path("capture-synth"),
                    {"-o", capture,           "-F", "raw",          "-d", "0.05",
                     "-x", df4 + "@500",      "-x", df11 + "@1000", "-x", df17 + "@2000",
                     "-x", df17 + "@3000:60", "-x", df4 + "@4000",  "-x", df20 + "@5000",
                     "-x", df17 + "@6000:30"});
    ASSERT_EQ(synth.status, 0) << synth.err;
    for (const char* mask : {"5", "1"}) {
        ProcessResult r = run_vorlix({"-w", "0", "-r", "0", "-d", mask, capture});
        SCOPED_TRACE(r.err);
        EXPECT_EQ(count_of(r.err,
                           "[4] 2 ok:1  err:50.00%;  [5] X;  [11] 1 ok:1  err:0.00%;  "
                           "[17] 3 ok:3  err:0.00%;  [20] 1 ok:1  err:0.00%;  [21] X;  \n"),
                  1);
        EXPECT_EQ(count_of(r.err, " frames: 5 ("), 1);
        bool listed = std::regex_search(
            r.err, std::regex(R"(\n4ca123 ABCD837H 0\.00kHz \(0\.00\) lvl\[[-. 0-9]{17}\] )"
                              R"(ex\[  3/  3\] cb\[ 1\]\ncnt:   1\n)"));
        EXPECT_EQ(listed, mask[0] == '5');
    }
}

}  // namespace
