#include <gtest/gtest.h>

#include <random>

#include "include/helper.h"

TEST(TimeBase, ConversionsKnownAnswers) {
    EXPECT_EQ(ns_to_ts(1500000000500000000ULL), ts_make(1500000000U, 0x80000000U));
    EXPECT_EQ(timeval_to_ts(100, 999999), ts_make(101, 28409));
    EXPECT_EQ(timespec_to_ts(100, 999999999), ts_make(100, 0xFFFFFFFBU));
}

TEST(TimeBase, BlockDurationTable) {
    struct Row {
        uint32_t rate;
        uint32_t frac;
    } rows[] = {{2000000, 8796093}, {2400000, 7330074}, {3200000, 5497558}};
    for (const auto& r : rows) {
        EXPECT_EQ(block_duration(r.rate), ts_make(0, r.frac)) << "rate " << r.rate;
    }
}

TEST(TimeBaseDeath, NanosecondsOutOfRange) {
    EXPECT_EXIT(timespec_to_ts(1, 1000000000), testing::ExitedWithCode(1),
                "Fatal - Assertion failed in ./include/helper line [0-9]+");
}

// Random values: ns_to_ts agrees with timespec_to_ts, loses less than one
// nanosecond, and keeps the order of its inputs.
TEST(TimeBase, NanosecondRoundTripsOnRandomValues) {
    std::mt19937_64 rng(20240601);
    for (int i = 0; i < 100000; i++) {
        uint64_t ns = rng() % (uint64_t{0xFFFFFFFF} * kNsPerSecond);
        TimeStamp t = ns_to_ts(ns);
        ASSERT_EQ(t, timespec_to_ts(static_cast<int64_t>(ns / kNsPerSecond),
                                    static_cast<int64_t>(ns % kNsPerSecond)))
            << "ns " << ns;
        ASSERT_EQ(ts_seconds(t), ns / kNsPerSecond) << "ns " << ns;
        // Back to nanoseconds, rounding up: the truncation lost less than 1 ns.
        uint64_t back = (uint64_t{ts_fraction(t)} * kNsPerSecond + 0xFFFFFFFFU) >> 32;
        ASSERT_EQ(back, ns % kNsPerSecond) << "ns " << ns;
        uint64_t later = ns + rng() % 3;
        ASSERT_LE(t, ns_to_ts(later)) << "ns " << ns << " later " << later;
    }
}

// timeval_to_ts uses 4295 for 2^32 / 10^6 (4294.967): at most 0.0327 units
// too much per microsecond, never too little.
TEST(TimeBase, MicrosecondsOnRandomValues) {
    std::mt19937_64 rng(7);
    for (int i = 0; i < 100000; i++) {
        int64_t sec = static_cast<int64_t>(rng() % 0x7FFFFFFF);
        int64_t us = static_cast<int64_t>(rng() % 1000000);
        TimeStamp exact = timespec_to_ts(sec, us * 1000);
        TimeStamp approx = timeval_to_ts(sec, us);
        ASSERT_GE(approx, exact) << sec << " " << us;
        ASSERT_LE(approx - exact, static_cast<uint64_t>(us) / 30 + 1) << sec << " " << us;
    }
}

// Every supported rate: the block lasts the truncated nanoseconds of
// 4096 / rate, a little less than the exact duration.
TEST(TimeBase, BlockDurationAtEveryKilohertz) {
    for (uint32_t rate = 2000000; rate <= 3200000; rate += 1000) {
        int64_t ns = int64_t{4096} * static_cast<int64_t>(kNsPerSecond) / rate;
        TimeStamp d = block_duration(rate);
        ASSERT_EQ(d, timespec_to_ts(0, ns)) << "rate " << rate;
        // d * rate < 4096 s, in units of 2^-32 s.
        ASSERT_LT(d * rate, uint64_t{4096} << 32) << "rate " << rate;
    }
}
