// A capture time that steps back starts a new time base: the frames after
// the step are forwarded again from the very next record, and a TCP proxy
// sees them on a new connection that begins with a HELLO, the frames of
// each connection increasing in time. A step forward is only reported. A
// time-stamped file read again from its start is no step: its replayed
// frames stay refused.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "include/level2.h"
#include "sdr/time_step.h"
#include "tests/support/air.h"
#include "tests/support/capture.h"
#include "tests/support/live.h"
#include "tests/support/log_capture.h"
#include "tests/support/process.h"

namespace {

constexpr uint64_t kT0 = 1700000000000000000ULL;  // 2023/11/14 22:13:20Z
constexpr uint64_t kHourNs = 3600ULL * 1000000000ULL;
constexpr uint64_t kYearNs = 365ULL * 24 * kHourNs;
constexpr char kBack[] = "Warning - capture time steps back by ";
constexpr char kForward[] = "Warning - capture time steps forward by ";

/// Records first..first+count-1 of the air traffic, record k stamped
/// base + k durations (each with its own aircraft).
std::string records(int first, int count, uint64_t base) {
    std::string s;
    for (int k = first; k < first + count; k++)
        s += air_record(base + static_cast<uint64_t>(k) * kAirRecordNs,
                        0x500000 + static_cast<uint32_t>(kAirFramesPerBlock * k));
    return s;
}

// The limit is more than a second either way; the warning's figure holds
// for steps of years; a forward step at the start of an attempt is not
// reported; a forgotten time compares with nothing.
TEST(TimeStepFollow, StepsAgainstTheBlockBefore) {
    constexpr TimeStamp kStart = ts_make(1700000000U, 0);
    constexpr int64_t kSecond = int64_t{1} << 32;
    struct Row {
        int64_t from_start;  ///< the block's time after kStart, units of 2^-32 s
        bool within;
        bool forget;  ///< time_step_forget first
        TimeStepKind kind;
        const char* warning;  ///< the line's text, empty: none
    } rows[] = {
        {0, false, false, TIME_STEADY, ""},
        {kSecond, true, false, TIME_STEADY, ""},
        {2 * kSecond + 1, true, false, TIME_STEP_FORWARD,
         "Warning - capture time steps forward by 1.000 s (2023/11/14 22:13:21Z to "
         "2023/11/14 22:13:22Z)\n"},
        {kSecond + 1, true, false, TIME_STEADY, ""},
        {-kSecond / 2, true, false, TIME_STEP_BACK,
         "Warning - capture time steps back by 1.500 s (2023/11/14 22:13:21Z to "
         "2023/11/14 22:13:19Z): the time base starts again\n"},
        {4 * kSecond, false, false, TIME_STEP_FORWARD, ""},
        {4 * kSecond - 31536000 * kSecond - kSecond / 4, false, false, TIME_STEP_BACK,
         "Warning - capture time steps back by 31536000.250 s (2023/11/14 22:13:24Z to "
         "2022/11/14 22:13:23Z): the time base starts again\n"},
        {-40 * kSecond, true, true, TIME_STEADY, ""},
    };
    auto ctx = std::make_unique<Context>();
    TimeSteps steps{};
    for (const Row& r : rows) {
        LogCapture log;
        if (r.forget) time_step_forget(&steps);
        ctx->cur_time = kStart + static_cast<TimeStamp>(r.from_start);
        EXPECT_EQ(time_step_follow(ctx.get(), &steps, r.within), r.kind) << r.from_start;
        EXPECT_EQ(log.text(), r.warning) << r.from_start;
    }
}

// A new time base: aircraft heard after the new time count as heard at it
// (the report lists the aircraft heard in its interval); the others keep
// their times.
TEST(TimeStepFollow, AircraftHeardAfterTheNewTimeCountAsHeardAtIt) {
    constexpr TimeStamp kNew = ts_make(1700000000U, 0);
    auto ctx = std::make_unique<Context>();
    const TimeStamp heard[] = {kNew + 5 * kTsOneSecond, kNew - 5 * kTsOneSecond, kNew};
    const TimeStamp after[] = {kNew, kNew - 5 * kTsOneSecond, kNew};
    for (int i = 0; i < 3; i++) {
        ASSERT_EQ(aircraft_take(&ctx->aircraft, 0x400000 + static_cast<uint32_t>(i)), i);
        ctx->aircraft.entries[i].last_seen = heard[i];
        ctx->aircraft.entries[i].last_clean = heard[2 - i];
    }
    TimeSteps steps{kNew + 3600 * kTsOneSecond, 1};
    ctx->cur_time = kNew;
    LogCapture log;
    ASSERT_EQ(time_step_follow(ctx.get(), &steps, true), TIME_STEP_BACK);
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(ctx->aircraft.entries[i].last_seen, after[i]) << i;
        EXPECT_EQ(ctx->aircraft.entries[i].last_clean, after[2 - i]) << i;
    }
}

struct StepCase {
    const char* name;
    bool on_stdin;        ///< the capture through a pipe (a live input), else a file
    std::string capture;  ///< probe block and records
    int retry;
    int frames;           ///< frames expected out
    std::string back;     ///< the step-back warning's figure, empty: none
    int forward;          ///< step-forward warnings
    std::vector<int> per_connection;  ///< frames on each connection with a proxy
};

void PrintTo(const StepCase& c, std::ostream* os) {
    *os << c.name;
}

std::vector<StepCase> step_cases() {
    const std::string probe = capture_probe(true);
    // One record a year ahead among records 0..8 (the recorder's clock
    // glitched once).
    const std::string glitch = probe + records(0, 4, kT0) + records(4, 1, kT0 + kYearNs) +
                               records(5, 4, kT0);
    // The clock set back by an hour after record 3.
    const std::string back = probe + records(0, 4, kT0 + kHourNs) + records(4, 5, kT0);
    // A stream that goes on: a damaged record ends the first attempt, the
    // next one finds the records after it, an hour earlier.
    const std::string resumed = probe + records(0, 4, kT0 + kHourNs) +
                                capture_record(kT0, kBlockBytes, 0x54535200) + records(5, 4, kT0);
    // A file read twice: its second pass replays its own times.
    const std::string replay = probe + records(0, 4, kT0);
    const int f = kAirFramesPerBlock;
    return {
        {"YearAheadFile", false, glitch, 0, 9 * f, "31535999.998 s", 1, {5 * f, 4 * f}},
        {"YearAheadStdin", true, glitch, 0, 9 * f, "31535999.998 s", 1, {5 * f, 4 * f}},
        {"HourBackFile", false, back, 0, 9 * f, "3599.998 s", 0, {4 * f, 5 * f}},
        {"HourBackStdin", true, back, 0, 9 * f, "3599.998 s", 0, {4 * f, 5 * f}},
        // Each attempt has its own connection; the step comes first on the
        // second and needs no other.
        {"HourBackAcrossAttemptsOfAStream", true, resumed, 1, 8 * f, "3599.996 s", 0,
         {4 * f, 4 * f}},
        {"FileReadAgainIsNoStep", false, replay, 1, 4 * f, "", 0, {4 * f, 0}},
    };
}

class TimeStep : public testing::TestWithParam<StepCase> {};

/// Runs the service on the case's capture (a file in `dir`, or standard
/// input) with `args` in front.
ProcessResult run_case(const StepCase& c, const TempDir& dir, std::vector<std::string> args) {
    args.insert(args.end(), {"-w", "0", "-r", std::to_string(c.retry)});
    if (c.on_stdin) {
        args.push_back("-");
        return run_vorlix(args, c.capture);
    }
    write_file(dir.file("in.cap"), c.capture);
    args.push_back(dir.file("in.cap"));
    return run_vorlix(args);
}

/// All the frames out, the step named once, nothing refused on the way
/// (the replayed file aside).
void expect_forwarded(const StepCase& c, const ProcessResult& r) {
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.size(), 34u * static_cast<size_t>(c.frames)) << r.err;
    EXPECT_EQ(count_of(r.err, kBack), c.back.empty() ? 0 : 1) << r.err;
    EXPECT_EQ(count_of(r.err, kForward), c.forward) << r.err;
    if (c.back.empty()) return;
    EXPECT_EQ(count_of(r.err, kBack + c.back), 1) << r.err;
    EXPECT_EQ(count_of(r.err, "reverse timing"), 0) << r.err;
    EXPECT_EQ(count_of(r.err, "STEPPING BACK"), 0) << r.err;
    EXPECT_EQ(count_of(r.err, "DUPLICATE FRAME"), 0) << r.err;
}

// Frames to standard output, with either demodulator.
TEST_P(TimeStep, FramesAfterTheStepAreForwarded) {
    const StepCase& c = GetParam();
    for (const std::vector<std::string>& mode : {std::vector<std::string>{}, {"-c"}}) {
        SCOPED_TRACE(mode.empty() ? "default demodulator" : "classic demodulator");
        TempDir dir;
        expect_forwarded(c, run_case(c, dir, mode));
    }
}

// With a proxy: one connection more for the step, each beginning with a
// HELLO and carrying whole messages whose frames increase in time.
TEST_P(TimeStep, ProxySeesANewConnectionWithIncreasingFrames) {
    const StepCase& c = GetParam();
    TempDir dir;
    const int connections = static_cast<int>(c.per_connection.size());
    ProxyProcess proxy(dir, {"--times", "-t", "30", "-c", std::to_string(connections)});
    ASSERT_GT(proxy.port(), 0);
    ProcessResult r = run_case(c, dir, {"-o", proxy.url()});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string out = proxy.finish();

    std::map<int, std::vector<const Line*>> by_conn;
    const std::vector<Line> lines = parse_lines(out);
    for (const Line& l : lines) {
        EXPECT_EQ(l.text.find("garbage byte"), std::string::npos) << l.text;
        EXPECT_EQ(l.text.find("unfinished message"), std::string::npos) << l.text;
        if (l.message) by_conn[l.conn].push_back(&l);
    }
    ASSERT_EQ(by_conn.size(), c.per_connection.size()) << out << r.err;
    int k = 0;
    for (const auto& [conn, msgs] : by_conn) {
        ASSERT_FALSE(msgs.empty());
        EXPECT_EQ(msgs[0]->op, "L2_OP_HELLO") << "connection " << conn;
        int frames = 0;
        int64_t last = 0;
        for (const Line* l : msgs) {
            if (!is_frame(*l)) continue;
            EXPECT_GT(l->time_ns, last) << "connection " << conn << ": " << l->text;
            last = l->time_ns;
            frames++;
        }
        EXPECT_EQ(frames, c.per_connection[static_cast<size_t>(k++)]) << "connection " << conn;
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, TimeStep, testing::ValuesIn(step_cases()),
                         [](const testing::TestParamInfo<StepCase>& i) { return i.param.name; });

// Raw input is stamped from the wall clock at the start of each attempt. A
// file processed faster than real time leaves the time of its last block
// ahead of the clock, so the next attempt starts seconds back: a new time
// base, and the second pass's first frames are forwarded like the first's.
TEST(TimeStepRaw, RawFileReadAgainFasterThanRealTime) {
    // 8 s of samples, frames in the first and the last block: read in far
    // less than the 5 s it takes (with the 2 s back-off) for the clock to
    // pass the first pass's end, also in the sanitizer build or emulated.
    constexpr int kBlocks = 8 * 2400000 / 4096;
    std::string cap = std::string(kBlockBytes, static_cast<char>(127));
    cap += air_block(0x600000);
    for (int k = 2; k < kBlocks; k++) cap += std::string(kBlockBytes, static_cast<char>(127));
    cap += air_block(0x600010);
    TempDir dir;
    write_file(dir.file("in.raw"), cap);
    const auto start = std::chrono::steady_clock::now();
    ProcessResult r = run_vorlix({"-w", "0", "-r", "1", "-d", "0", dir.file("in.raw")});
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(r.status, 0) << r.err;
    // Both passes and the back-off within 6 s: the first pass took less
    // than 4 s, so the second starts at least 2 s before its end.
    if (took >= std::chrono::seconds(6)) GTEST_SKIP() << "the passes took 6 s or more";
    EXPECT_EQ(count_of(r.err, kBack), 1) << r.err;
    EXPECT_EQ(r.out.size(), 34u * 4 * kAirFramesPerBlock) << r.err;
}

}  // namespace
