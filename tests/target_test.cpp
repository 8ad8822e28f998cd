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
