// Table-driven parity and the syndromes of bit errors, held against the
// bit-by-bit parity of the frame check.
#include "sdr/parity.h"

#include <gtest/gtest.h>

#include <random>
#include <set>

#include "sdr/adsb_check.h"

namespace {

void flip(uint8_t* f, int bit) {
    f[bit / 8] ^= static_cast<uint8_t>(0x80 >> (bit % 8));
}

TEST(Parity, TableEqualsBitByBit) {
    std::mt19937 rng(7);
    for (int i = 0; i < 2000; i++) {
        uint8_t f[14];
        for (uint8_t& b : f) b = static_cast<uint8_t>(rng());
        EXPECT_EQ(parity_bytes(f, 88), adsb_parity(f, 88)) << i;
        EXPECT_EQ(parity_bytes(f, 32), adsb_parity(f, 32)) << i;
    }
    // A known squitter: its parity field is its parity.
    const uint8_t known[14] = {0x8D, 0x48, 0x40, 0xD6, 0x20, 0x2C, 0xC3,
                               0x71, 0xC3, 0x2C, 0xE0, 0x57, 0x60, 0x98};
    EXPECT_EQ(parity_syndrome(known, kLongFrameBits), 0U);
}

TEST(Parity, EveryBitErrorHasItsSyndrome) {
    for (int n : {kShortFrameBits, kLongFrameBits}) {
        std::set<uint32_t> seen;
        for (int bit = 0; bit < n; bit++) {
            uint8_t f[14] = {0x8D, 0x12, 0x34, 0x56, 0x99, 0x00, 0x42};
            const uint32_t p = parity_bytes(f, n - 24);
            const int k = (n - 24) / 8;
            f[k] = static_cast<uint8_t>(p >> 16);
            f[k + 1] = static_cast<uint8_t>(p >> 8);
            f[k + 2] = static_cast<uint8_t>(p);
            ASSERT_EQ(parity_syndrome(f, n), 0U);
            flip(f, bit);
            const uint32_t s = parity_syndrome(f, n);
            EXPECT_EQ(s, bit_syndrome(bit, n)) << n << " bit " << bit;
            EXPECT_EQ(syndrome_bit(s, n), bit) << n << " bit " << bit;
            EXPECT_TRUE(seen.insert(s).second) << n << " bit " << bit;
        }
    }
    EXPECT_EQ(syndrome_bit(0, kLongFrameBits), -1);
    EXPECT_EQ(syndrome_bit(0x1000000, kLongFrameBits), -1);
    // A long frame's first data bit has a syndrome no short frame's bit has.
    EXPECT_EQ(syndrome_bit(bit_syndrome(0, kLongFrameBits), kShortFrameBits), -1);
}

// The code's distance is at least 6 over 112 bits: no two patterns of one
// or two errors share a syndrome, so a correction of up to two bits is
// unambiguous and never turns a three-bit error into another frame.
TEST(Parity, OneAndTwoBitSyndromesAreDistinct) {
    std::set<uint32_t> seen;
    for (int i = 0; i < kLongFrameBits; i++) {
        ASSERT_TRUE(seen.insert(bit_syndrome(i, kLongFrameBits)).second);
        for (int j = i + 1; j < kLongFrameBits; j++) {
            const uint32_t s = bit_syndrome(i, kLongFrameBits) ^ bit_syndrome(j, kLongFrameBits);
            ASSERT_NE(s, 0U);
            ASSERT_TRUE(seen.insert(s).second) << i << " " << j;
        }
    }
    // Three errors never look like one or two.
    std::mt19937 rng(3);
    for (int t = 0; t < 20000; t++) {
        const int a = static_cast<int>(rng() % 112);
        const int b = static_cast<int>(rng() % 112);
        const int c = static_cast<int>(rng() % 112);
        if (a == b || b == c || a == c) continue;
        const uint32_t s = bit_syndrome(a, kLongFrameBits) ^ bit_syndrome(b, kLongFrameBits) ^
                           bit_syndrome(c, kLongFrameBits);
        EXPECT_EQ(seen.count(s), 0U) << a << " " << b << " " << c;
    }
}

}  // namespace
