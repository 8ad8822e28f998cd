// Damaged and hostile capture input, end to end: none of it may crash the
// service or stop it; each case ends the attempt with its warning and the
// next attempt follows the driver's rules.
#include <gtest/gtest.h>

#include <future>
#include <random>
#include <vector>

#include "tests/support/air.h"
#include "tests/support/capture.h"
#include "tests/support/process.h"

namespace {

constexpr uint64_t kT0 = 1700000000000000000ULL;
constexpr char kClose[] = "Info - Close in_fd and ctx.out_fd";

std::string random_bytes(size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(gen());
    return s;
}

std::string air_records(int first, int count) {
    std::string s;
    for (int k = first; k < first + count; k++)
        s += air_record(kT0 + static_cast<uint64_t>(k) * kAirRecordNs,
                        0x200000 + static_cast<uint32_t>(kAirFramesPerBlock * k));
    return s;
}

}  // namespace

// Random bytes, as raw input and behind a time-stamped probe: two attempts
// each, no fatal message, the service ends when its retries are used up.
TEST(BadInput, RandomBytesNeverStopTheService) {
    struct Case {
        const char* what;
        std::string data;
        const char* warning;
    } cases[] = {
        {"raw", random_bytes(10 * kBlockBytes + 77, 1), "short read on file"},
        {"time-stamped", capture_probe(true) + random_bytes(5 * kBlockBytes, 2), "has magic 0x"},
    };
    TempDir dir;
    for (const auto& c : cases) {
        write_file(dir.file("in.cap"), c.data);
        ProcessResult r = run_vorlix({"-w", "0", "-r", "1", dir.file("in.cap")});
        EXPECT_EQ(r.status, 0) << c.what << "\n" << r.err;
        EXPECT_EQ(count_of(r.err, "Fatal"), 0) << c.what << "\n" << r.err;
        EXPECT_EQ(count_of(r.err, c.warning), 2) << c.what << "\n" << r.err;
        EXPECT_EQ(count_of(r.err, kClose), 2) << c.what;
    }
}

// The "reverse timing" lines a log accounts for: those printed and those
// held back (at most ten of a kind are printed in a statistics interval, the
// next report counts the rest).
int reverse_timing(const std::string& err) {
    const std::string more = " more since the last report";
    int n = 0;
    for (const std::string& line : split_lines(err)) {
        if (line.find("reverse timing") == std::string::npos) continue;
        const bool held = line.size() > more.size() &&
                          line.compare(line.size() - more.size(), more.size(), more) == 0;
        n += held ? std::stoi(line.substr(line.rfind(": ") + 2)) : 1;
    }
    return n;
}

// A damaged record in the middle of a time-stamped file ends each attempt
// there; the next attempt reads the file again from its start, and the
// frames before the damage, already sent, are not sent a second time.
TEST(BadInput, DamagedRecordInTheMiddleOfAFile) {
    struct Case {
        const char* what;
        std::string damage;
    } cases[] = {
        {"bad magic", capture_record(kT0 + 3 * kAirRecordNs, kBlockBytes, 0x54535200)},
        {"length 0", capture_record(kT0 + 3 * kAirRecordNs, 0)},
        {"length 0xFFFFFFFF", capture_record(kT0 + 3 * kAirRecordNs, 0xFFFFFFFFU)},
    };
    TempDir dir;
    for (const auto& c : cases) {
        write_file(dir.file("in.cap"),
                   capture_probe(true) + air_records(0, 3) + c.damage + air_records(4, 3));
        ProcessResult r = run_vorlix({"-w", "0", "-r", "1", dir.file("in.cap")});
        EXPECT_EQ(r.status, 0) << c.what;
        EXPECT_EQ(count_of(r.err, "Warning - file " + dir.file("in.cap") + ": record 4 "), 2)
            << c.what << "\n"
            << r.err;
        EXPECT_EQ(r.out.size(), 34u * 3 * kAirFramesPerBlock) << c.what << "\n" << r.err;
        // The second pass's candidates lie before the newest one sliced: the
        // slicer reports each of them (at least one per frame) as going back
        // in time.
        EXPECT_GE(reverse_timing(r.err), 3 * kAirFramesPerBlock) << c.what;
    }
}

// A regular raw file is read again from its start after its end; raw input
// is stamped from the wall clock, so the second pass's frames are new.
TEST(BadInput, RawFileIsReadAgainAfterItsEnd) {
    TempDir dir;
    std::string cap = std::string(kBlockBytes, static_cast<char>(127));
    for (uint32_t k = 0; k < 3; k++) cap += air_block(0x300000 + 8 * k);
    write_file(dir.file("in.raw"), cap);
    ProcessResult r = run_vorlix({"-w", "0", "-r", "1", dir.file("in.raw")});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(count_of(r.err, kClose), 2) << r.err;
    EXPECT_EQ(r.out.size(), 2 * 34u * 3 * kAirFramesPerBlock) << r.err;
}

// Junk between two records of a time-stamped stream on standard input: the
// attempt that meets it ends, the next one realigns on the record after it.
// An odd gap leaves that record at an odd offset in the read buffer, where
// the demodulator must not be handed it; no record after the gap is lost.
// (Each run waits out a back-off of 2 s or more: the gaps run side by side.)
TEST(BadInput, OddGapInAStreamOnStandardInput) {
    constexpr int kAfter = 3;  // records after the gap
    const size_t gaps[] = {1, 101, 8207};
    std::vector<std::future<ProcessResult>> runs;
    for (size_t gap : gaps) {
        std::string data = capture_probe(true) + air_records(0, 1) + std::string(gap, 0x55) +
                           air_records(2, kAfter);
        runs.push_back(std::async(std::launch::async, [data] {
            return run_vorlix({"-d", "0", "-w", "0", "-r", "1", "-"}, data);
        }));
    }
    for (size_t i = 0; i < runs.size(); i++) {
        const size_t gap = gaps[i];
        ProcessResult r = runs[i].get();
        EXPECT_EQ(r.status, 0) << "gap " << gap << "\n" << r.err;
        EXPECT_EQ(count_of(r.err, "Fatal"), 0) << "gap " << gap << "\n" << r.err;
        EXPECT_EQ(count_of(r.err, "skipped " + std::to_string(gap) + " bytes to the next record"),
                  1)
            << "gap " << gap << "\n"
            << r.err;
        EXPECT_EQ(r.out.size(), 34u * (1 + kAfter) * kAirFramesPerBlock) << "gap " << gap;
    }
}
