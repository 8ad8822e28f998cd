// The default demodulator's kernels: dot8 against its plain loop.
#include <gtest/gtest.h>

#include <random>

#include "sdr/soft_kernels.h"

namespace {

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
