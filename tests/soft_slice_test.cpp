// The default demodulator's correction and kernels: soft_correct on frames
// with known errors and confidences, dot8 against its plain loop.
#include "sdr/soft_slice.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "sdr/parity.h"
#include "sdr/soft_kernels.h"
#include "tests/support/air.h"

namespace {

void flip(uint8_t* f, int bit) {
    f[bit / 8] ^= static_cast<uint8_t>(0x80 >> (bit % 8));
}

/// A clean squitter with every bit confident (1000) except `weak`, which
/// get confidence 10 + their index in the list.
SoftFrame frame_with(const std::vector<int>& weak) {
    SoftFrame f;
    const std::string s = air_squitter(0x4840D6);
    memcpy(f.bytes, s.data(), 14);
    for (uint16_t& c : f.confidence) c = 1000;
    for (size_t i = 0; i < weak.size(); i++) {
        f.confidence[weak[i]] = static_cast<uint16_t>(10 + i);
    }
    return f;
}

TEST(SoftCorrect, SingleErrorsAnywhere) {
    const SoftFrame clean = frame_with({});
    for (int bit = 0; bit < 112; bit++) {
        SoftFrame f = frame_with({});
        flip(f.bytes, bit);
        ASSERT_EQ(soft_correct(&f, 112, 32), SOFT_FIX_ONE_BIT) << bit;
        EXPECT_EQ(memcmp(f.bytes, clean.bytes, 14), 0) << bit;
        // Limited to the least confident bits: a confident bit stays.
        SoftFrame g = frame_with({(bit + 1) % 112});
        flip(g.bytes, bit);
        EXPECT_EQ(soft_correct(&g, 1, 0), SOFT_FIX_NONE) << bit;
        EXPECT_NE(memcmp(g.bytes, clean.bytes, 14), 0) << bit;
    }
}

TEST(SoftCorrect, TwoErrorsAmongTheLeastConfident) {
    const SoftFrame clean = frame_with({});
    std::mt19937 rng(11);
    for (int t = 0; t < 300; t++) {
        const int a = static_cast<int>(rng() % 112);
        const int b = static_cast<int>((a + 1 + rng() % 111) % 112);
        std::vector<int> weak;
        for (int k = 0; k < 30; k++) weak.push_back(static_cast<int>(rng() % 112));
        weak[static_cast<size_t>(rng() % 30)] = a;
        weak[static_cast<size_t>(rng() % 30)] = b;
        SoftFrame f = frame_with(weak);
        const bool both = f.confidence[a] < 1000 && f.confidence[b] < 1000;
        int distinct = 0;
        for (uint16_t c : f.confidence) distinct += c < 1000;
        flip(f.bytes, a);
        flip(f.bytes, b);
        // Exactly the weak bits are the `distinct` least confident.
        const SoftFix fix = soft_correct(&f, 112, distinct);
        if (both) {
            EXPECT_EQ(fix, SOFT_FIX_TWO_BITS) << a << " " << b;
            EXPECT_EQ(memcmp(f.bytes, clean.bytes, 14), 0) << a << " " << b;
        } else {
            // One of them was overwritten in the list: confident, not tried.
            EXPECT_EQ(fix, SOFT_FIX_NONE) << a << " " << b;
        }
    }
}

TEST(SoftCorrect, ThreeErrorsAreNeverCorrected) {
    std::mt19937 rng(5);
    for (int t = 0; t < 500; t++) {
        int bits[3];
        for (int& b : bits) b = static_cast<int>(rng() % 112);
        if (bits[0] == bits[1] || bits[1] == bits[2] || bits[0] == bits[2]) continue;
        SoftFrame f = frame_with({bits[0], bits[1], bits[2]});
        for (int b : bits) flip(f.bytes, b);
        uint8_t before[14];
        memcpy(before, f.bytes, 14);
        EXPECT_EQ(soft_correct(&f, 112, 112), SOFT_FIX_NONE);
        EXPECT_EQ(memcmp(f.bytes, before, 14), 0);
    }
    // A clean frame needs nothing.
    SoftFrame f = frame_with({});
    EXPECT_EQ(soft_correct(&f, 112, 32), SOFT_FIX_NONE);
}

TEST(SoftKernels, Dot8EqualsItsLoop) {
    std::mt19937 rng(1);
    alignas(16) int16_t buf[40];
    for (int t = 0; t < 5000; t++) {
        for (int16_t& v : buf) v = static_cast<int16_t>(rng());
        if (t % 3 == 0) {
            for (int i = 0; i < 8; i++) buf[i] = static_cast<int16_t>(static_cast<int>(rng() % 513) - 256);
        }
        const int16_t* w = buf + t % 8;
        const int16_t* x = buf + 16 + t % 11;
        EXPECT_EQ(dot8(w, x), dot8_scalar(w, x)) << t;
    }
}

}  // namespace
