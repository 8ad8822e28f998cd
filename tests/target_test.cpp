// Checks that hold on the board as on the development machine: the service
// runs (under the emulator in the cross build) and decodes synthesized
// traffic.
#include <gtest/gtest.h>

#include "tests/support/air.h"
#include "tests/support/capture.h"
#include "tests/support/process.h"

TEST(Target, DecodesSynthesizedRecords) {
    TempDir dir;
    std::string cap = capture_probe(true);
    const int records = 20;
    for (int k = 0; k < records; k++)
        cap += air_record(1700000000000000000ULL + k * kAirRecordNs, 0x400000 + 16 * k);
    write_file(dir.file("in.cap"), cap);
    ProcessResult r = run_vorlix({"-w", "0", "-r", "0", dir.file("in.cap")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.size(), 34u * records * kAirFramesPerBlock) << r.err;
}

TEST(Target, DecodesDenseSynthesizedRecords) {
    TempDir dir;
    std::string cap = capture_probe(true);
    const int records = 20;
    for (int k = 0; k < records; k++)
        cap += air_record(1700000000000000000ULL + k * kAirRecordNs, 0x400000 + 16 * k,
                          kAirMaxFramesPerBlock);
    write_file(dir.file("in.cap"), cap);
    ProcessResult r = run_vorlix({"-w", "0", "-r", "0", dir.file("in.cap")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.size(), 34u * records * kAirMaxFramesPerBlock) << r.err;
}

namespace {

/// Wraps 2.4 MS/s recordings into time-stamped records, 8192 bytes each.
std::string wrap_recordings(uint64_t first_ns) {
    std::string out;
    uint64_t t = first_ns;
    for (const std::string& f : shared_recordings("_2400k.u8")) {
        std::string data = read_file(f);
        for (size_t at = 0; at + kBlockBytes <= data.size(); at += kBlockBytes) {
            out += capture_header(t) + data.substr(at, kBlockBytes);
            t += 50000000;  // 50 ms apart, so that reports follow each other
        }
    }
    return out;
}

}  // namespace

// Decodes a time-stamped capture (synthesized records, then the shared
// recordings when they are present) in both modes and keeps the frames and
// the portable log in <build>/crosscheck/ (frames.l2 and log.txt with -c,
// frames_default.l2 and log_default.txt without), where CI compares the
// host build's files with the target build's byte for byte.
TEST(Target, CrossCheckOutput) {
    TempDir dir;
    const uint64_t t0 = 1700000000000000000ULL;
    std::string cap = capture_probe(true);
    for (int k = 0; k < 40; k++)
        cap += air_record(t0 + k * kAirRecordNs, 0x3C0000 + 16 * k, 1 + k % kAirMaxFramesPerBlock);
    cap += wrap_recordings(t0 + 40 * kAirRecordNs);
    write_file(dir.file("in.cap"), cap);
    std::string out_dir = std::string(VORLIX_TOOL_DIR) + "/crosscheck";
    ASSERT_EQ(system(("mkdir -p '" + out_dir + "'").c_str()), 0);
    for (bool classic : {true, false}) {
        std::vector<std::string> args = {"-w", "0", "-r", "0", "-t", "1", "-d", "255"};
        if (classic) args.push_back("-c");
        args.push_back(dir.file("in.cap"));
        ProcessResult r = run_vorlix(args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_GE(r.out.size(), 34u * 40);
        const std::string suffix = classic ? "" : "_default";
        write_file(out_dir + "/frames" + suffix + ".l2", r.out);
        write_file(out_dir + "/log" + suffix + ".txt", stable_log(r.err));
    }
}
