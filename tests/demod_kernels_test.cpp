// The demodulator's kernels against their plain references: every vector
// version this machine has and the board's word and table versions (which
// build and run here too) must give the same values, bit for bit, on
// random input and on the edges (saturation, thresholds at the ends of the
// byte range, ranges that do not fill a vector).
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "sdr/demod/scan_kernels.h"
#include "sdr/demod/setup.h"
#include "sdr/demod/slice_kernels.h"
#include "tests/support/radio_context.h"

namespace {

#if VORLIX_AVX2
bool have_avx2() {
    return __builtin_cpu_supports("avx2");
}
#endif

/// Blocks of pairs: random bytes, every byte one value, and random values
/// near the ends and the middle of the byte range.
std::vector<std::vector<uint8_t>> test_blocks() {
    std::mt19937 rng(5);
    std::vector<std::vector<uint8_t>> out;
    for (int fill : {0, 127, 128, 255}) out.emplace_back(kBlockBytes, static_cast<uint8_t>(fill));
    for (int kind = 0; kind < 4; kind++) {
        std::vector<uint8_t> b(kBlockBytes);
        for (uint8_t& v : b) {
            const uint8_t r = static_cast<uint8_t>(rng());
            v = kind == 0 ? r : kind == 1 ? static_cast<uint8_t>(r % 4 == 0 ? 255 : r % 4 == 1 ? 0 : r)
                                          : static_cast<uint8_t>(127 + static_cast<int>(r % 9) - 4);
        }
        out.push_back(b);
    }
    return out;
}

TEST(DemodKernels, BlockMagnitudesAndTriggerMaps) {
    magnitudes_table_setup();
    struct Version {
        const char* name;
        MagnitudesFn magnitudes;
        TriggerBitsFn trigger_bits;  // null: none of that kind
    };
    std::vector<Version> versions = {{"table", magnitudes_table, nullptr}};
#if VORLIX_SSE2
    versions.push_back({"sse2", magnitudes_sse2, trigger_bits_sse2});
#endif
#if VORLIX_AVX2
    if (have_avx2()) versions.push_back({"avx2", magnitudes_avx2, trigger_bits_avx2});
#endif
    int block_no = 0;
    for (const std::vector<uint8_t>& block : test_blocks()) {
        // Centres in either direction, I and Q apart (a kernel that swaps
        // them or keeps 127 fails), back to the nominal one (the board's
        // table rebuilt), and the extremes (sums of distances past 255).
        for (Centre c : {Centre{127, 127}, Centre{128, 127}, Centre{120, 133}, Centre{127, 127},
                         Centre{115, 139}, Centre{139, 115}}) {
            for (int peak_end : {0, 1, 15, 16, 17, 31, 33, 3851, 4095, 4096}) {
                alignas(16) uint8_t want[kMagEntries] = {};
                uint8_t want_peak = 0;
                const int32_t want_sum = magnitudes_ref(block.data(), want, peak_end, &want_peak, c);
                for (const Version& v : versions) {
                    alignas(16) uint8_t got[kMagEntries] = {};
                    uint8_t got_peak = 0;
                    const int32_t got_sum = v.magnitudes(block.data(), got, peak_end, &got_peak, c);
                    const std::string row = std::string(v.name) + " block " +
                                            std::to_string(block_no) + " end " +
                                            std::to_string(peak_end) + " centre " +
                                            std::to_string(c.i) + ":" + std::to_string(c.q);
                    ASSERT_EQ(got_sum, want_sum) << row;
                    ASSERT_EQ(got_peak, want_peak) << row;
                    ASSERT_EQ(memcmp(got, want, kBlockPairs), 0) << row;
                }
            }
        }
        // The trigger maps of the magnitudes, thresholds over the byte range.
        alignas(16) uint8_t mag[kMagEntries] = {};
        uint8_t peak = 0;
        (void)magnitudes_ref(block.data(), mag, 0, &peak, kNominalCentre);
        for (int32_t thr : {1, 2, 7, 64, 127, 128, 129, 200, 254, 255}) {
            uint64_t want[kTriggerWords];
            trigger_bits_ref(want, mag, thr);
            for (const Version& v : versions) {
                if (v.trigger_bits == nullptr) continue;
                uint64_t got[kTriggerWords];
                v.trigger_bits(got, mag, thr);
                ASSERT_EQ(memcmp(got, want, sizeof want), 0) << v.name << " thr " << thr;
            }
        }
        block_no++;
    }
}

TEST(DemodKernels, SumsMaximaSearchesAndCorrelations) {
    std::mt19937 rng(9);
    alignas(16) uint8_t mag[kMagEntries];
    for (uint8_t& m : mag) {
        const uint32_t r = rng();
        m = static_cast<uint8_t>(r % 16 == 0 ? 255 : r % 16 == 1 ? 0 : (r >> 8) % 40);
    }
    for (int t = 0; t < 4000; t++) {
        const int count = static_cast<int>(rng() % 1100);
        const int from = static_cast<int>(rng() % static_cast<uint32_t>(kMagEntries - count));
        const int32_t sum = sum_range_ref(mag, from, count);
        ASSERT_EQ(sum_range_words(mag, from, count), sum) << from << "+" << count;
        ASSERT_EQ(sum_range(mag, from, count), sum) << from << "+" << count;
        if (count >= 16) {
            ASSERT_EQ(max_range(mag, from, count), max_range_ref(mag, from, count));
        }
        const int end = from + count;
        const int32_t thr = static_cast<int32_t>(rng() % 260) - 2;
        ASSERT_EQ(find_at_least_words(mag, from, end, thr), find_at_least_ref(mag, from, end, thr))
            << from << ".." << end << " thr " << thr;
    }
    // Coarse correlations with the template of each rate, at the shifts the scan uses.
    for (uint32_t rate : {2000000U, 2400000U, 3200000U}) {
        auto ctx = make_radio_context(rate);
        const DemodLengths len = demod_lengths(rate);
        const CoarseTemplate tmpl = {demod_tables().coarse_template, len.len10,
                                     demod_tables().coarse_window};
        const int k_first = -(len.len1 + 1);
        const int k_last = len.len8 / 2 - 1;
        for (int p = 0; p < 3000; p += 7) {
            int32_t want[2 * kCoarseShift + 1];
            int32_t got[2 * kCoarseShift + 1];
            coarse_sums_ref(mag + p, tmpl, k_first, k_last, want);
            coarse_sums(mag + p, tmpl, k_first, k_last, got);
            for (int k = k_first; k <= k_last; k++)
                ASSERT_EQ(got[k - k_first], want[k - k_first]) << rate << " p " << p << " k " << k;
        }
    }
}

TEST(DemodKernels, ResamplerBranchOutputs) {
    std::mt19937 rng(13);
    alignas(16) int16_t branches[4][kBranchPadded];
    alignas(16) int16_t x[64];
    for (int t = 0; t < 20000; t++) {
        for (auto& b : branches) {
            for (int j = 0; j < kBranchPadded; j++) {
                // Filter taps within +-8192 mostly, now and then full scale;
                // the padding is zero.
                const int16_t v = static_cast<int16_t>(t % 5 == 0 ? rng() : rng() % 16384);
                b[j] = j < kBranchTaps ? static_cast<int16_t>(t % 5 == 0 ? v : v - 8192) : 0;
            }
        }
        for (int16_t& v : x) v = static_cast<int16_t>(t % 3 == 0 ? rng() : rng() % 23171);
        const int16_t* b[4] = {branches[0], branches[1], branches[2], branches[3]};
        const int16_t* in[4] = {x + t % 7, x + 8 + t % 11, x + 20 + t % 5, x + 33 + t % 13};
        int16_t out[kBranchGroup];
        branch_outputs(b, in, out);
        for (int g = 0; g < 4; g++) {
            const int16_t want = branch_output_ref(b[g], in[g]);
            ASSERT_EQ(branch_output(b[g], in[g]), want) << t << " " << g;
            if (g < kBranchGroup) {
                ASSERT_EQ(out[g], want) << t << " " << g;
            }
        }
    }
}

}  // namespace
