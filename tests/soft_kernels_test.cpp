// The default demodulator's kernel: bit_dot against its plain loop.
#include <gtest/gtest.h>

#include <random>

#include "sdr/demod/soft_kernels.h"

namespace {

TEST(SoftKernels, BitDotEqualsItsLoop) {
    std::mt19937 rng(1);
    alignas(16) int16_t buf[40];
    for (int t = 0; t < 5000; t++) {
        for (int16_t& v : buf) v = static_cast<int16_t>(rng());
        const int n = t % 9;  // samples the bit meets; its weights are zero from n on
        const int16_t* w = buf + t % 8;
        const int16_t* x = buf + 16 + t % 11;
        int16_t weights[8] = {};
        for (int i = 0; i < n; i++) {
            weights[i] = t % 3 == 0 ? static_cast<int16_t>(static_cast<int>(rng() % 513) - 256) : w[i];
        }
        EXPECT_EQ(bit_dot(weights, x, n), bit_dot_ref(weights, x, n)) << t;
#if VORLIX_SSE2
        EXPECT_EQ(dot8_sse2(w, x), bit_dot_ref(w, x, 8)) << t;
#endif
    }
}

}  // namespace
