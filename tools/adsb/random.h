// The synthesizer's random numbers: splitmix64, small, fast and good enough
// for noise and traffic, and the same on every platform.
#pragma once

#include <cstdint>

struct Rng {
    uint64_t s;  ///< the state; any value is a seed
    uint64_t next() {
        uint64_t z = (s += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    /// Uniform in [0, 1).
    double uniform() { return static_cast<double>(next() >> 11) * (1.0 / 9007199254740992.0); }
    /// Uniform in [lo, hi).
    double range(double lo, double hi) { return lo + (hi - lo) * uniform(); }
    /// 0..n-1.
    uint32_t below(uint32_t n) { return static_cast<uint32_t>(uniform() * n); }
};
