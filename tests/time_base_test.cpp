#include <gtest/gtest.h>

#include "include/helper.h"

TEST(TimeBase, ConversionsKnownAnswers) {
    EXPECT_EQ(ns_to_ts(1500000000500000000ULL), ts_make(1500000000U, 0x80000000U));
    EXPECT_EQ(timeval_to_ts(100, 999999), ts_make(101, 28409));
    EXPECT_EQ(timespec_to_ts(100, 999999999), ts_make(100, 0xFFFFFFFBU));
}

TEST(TimeBase, BlockDurationTable) {
    struct Row { uint32_t rate; uint32_t frac; } rows[] = {
        {2000000, 8796093}, {2400000, 7330074}, {3200000, 5497558}};
    for (const auto& r : rows) {
        EXPECT_EQ(block_duration(r.rate), ts_make(0, r.frac)) << "rate " << r.rate;
    }
}

TEST(TimeBaseDeath, NanosecondsOutOfRange) {
    EXPECT_EXIT(timespec_to_ts(1, 1000000000), testing::ExitedWithCode(1),
                "Fatal - Assertion failed in ./include/helper line [0-9]+");
}
