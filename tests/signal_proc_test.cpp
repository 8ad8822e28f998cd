// Known answers of the fixed-point primitives, and the agreement of the
// resampler variants with each other.
#include "sdr/signal_proc.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "sdr/demod/setup.h"

namespace {

/// Runs `fn` with standard error captured; returns what it printed.
template <typename Fn>
std::string capture_stderr(Fn fn) {
    testing::internal::CaptureStderr();
    fn();
    return testing::internal::GetCapturedStderr();
}

}  // namespace

TEST(SignalProc, KernelKnownAnswers) {
    struct Row {
        int32_t x;
        int32_t sinc;
        int32_t lanczos;
    } rows[] = {
        {0, 4096, 4096},    {1024, 4010, 3675}, {2048, 3754, 2502},
        {3072, 3328, 1016}, {4096, 2730, 0},    {6144, 1251, -278},
        {8192, 0, 0},       {8191, 0, 0},       {8192 + 4096, -910, 0},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(fx_sinc(r.x), r.sinc) << "x " << r.x;
        EXPECT_EQ(fx_sinc(-r.x), r.sinc) << "x " << -r.x;
        if (r.x != 8191 && r.x <= 8192) {
            EXPECT_EQ(lanczos2(r.x), r.lanczos) << "x " << r.x;
            EXPECT_EQ(lanczos2(-r.x), r.lanczos) << "x " << -r.x;
        }
    }
    // Symmetry over the whole support and nothing outside it.
    for (int32_t x = 1; x < 8192; x += 37) ASSERT_EQ(lanczos2(x), lanczos2(-x)) << x;
    EXPECT_EQ(lanczos2(8192), 0);
    EXPECT_EQ(lanczos2(-100000), 0);
}

TEST(SignalProc, FoldAndCubic) {
    struct Row {
        int32_t b;
        int32_t folded;
    } rows[] = {{0, 0},       {4096, 4096},   {8192, 0},  {-4096, -4096},
                {6144, 2048}, {12288, -4096}, {16384, 0}, {-6144, -2048}};
    for (const Row& r : rows) EXPECT_EQ(fx_fold(r.b), r.folded) << "b " << r.b;
    EXPECT_EQ(fx_cub(4096), 1 << 28);
    EXPECT_EQ(fx_cub(-4096), -(1 << 28));
    EXPECT_EQ(fx_cub(0), 0);
    EXPECT_EQ(fx_mul(-4096, 3), -3);
    EXPECT_EQ(fx_mul(-1, 1), -1);  // arithmetic shift rounds toward -infinity
    EXPECT_EQ(fx_div(-3, 2), -6144);
}

TEST(SignalProcDeath, PreconditionsEndTheProcess) {
    const char* msg = "Fatal - Assertion failed in sdr/signal_proc line [0-9]+";
    EXPECT_EXIT(fx_mul(1 << 16, 1 << 16), testing::ExitedWithCode(1), msg);
    EXPECT_EXIT(fx_div(1 << 19, 3), testing::ExitedWithCode(1), msg);
    int16_t h[8] = {};
    EXPECT_EXIT(polyphase_reorder(h, 3, 8), testing::ExitedWithCode(1), msg);
    EXPECT_EXIT(design_lowpass(100, h, 0), testing::ExitedWithCode(1), msg);
    EXPECT_EXIT(fixed_divisor(1), testing::ExitedWithCode(1), msg);
    EXPECT_EXIT(fixed_divisor(1025), testing::ExitedWithCode(1), msg);
}

TEST(SignalProc, TemplatesKnownAnswers) {
    int32_t t6[58];
    std::string out = capture_stderr([&] { make_template(t6, 24576, 58); });
    const int32_t head6[] = {-37, -37, -37, -37, -64, 68, 255, 68, -64, -37};
    for (int i = 0; i < 10; i++) EXPECT_EQ(t6[i], head6[i]) << "entry " << i;
    EXPECT_EQ(t6[57], 255);
    EXPECT_EQ(out.rfind("\nmax 3572\n{-37, -37, -37, -37, -64, 68, 255, ", 0), 0U) << out;
    EXPECT_EQ(out.substr(out.size() - 8), "255, };\n") << out;

    int32_t t24[24];
    out = capture_stderr([&] { make_template(t24, 9830, 24); });
    const int32_t head24[] = {-50, -50, 84, -50, -84, 255};
    for (int i = 0; i < 6; i++) EXPECT_EQ(t24[i], head24[i]) << "entry " << i;
    EXPECT_EQ(out.rfind("\nmax 2806\n{", 0), 0U) << out;

    // Zero mean up to truncation, largest magnitude 255, at every coarse size.
    const int32_t scales[] = {8192, 9830, 10650, 13107};
    const int counts[] = {20, 24, 26, 32};
    for (int s = 0; s < 4; s++) {
        int32_t t[58];
        capture_stderr([&] { make_template(t, scales[s], counts[s]); });
        int32_t sum = 0;
        int32_t mx = 0;
        for (int i = 0; i < counts[s]; i++) {
            sum += t[i];
            mx = std::max(mx, std::abs(t[i]));
        }
        EXPECT_EQ(mx, 255) << "scale " << scales[s];
        EXPECT_LE(std::abs(sum), counts[s]) << "scale " << scales[s];
    }

    EXPECT_EQ(capture_stderr([&] { make_template(t6, 24576, 0); }), "\nmax 1\n{};\n");
}

TEST(SignalProc, LowpassKnownAnswers) {
    int16_t h[70];
    std::string out = capture_stderr([&] { design_lowpass(819, h, 70); });
    const int16_t head[] = {0, 0, 1, 6, 6, -2};
    for (int i = 0; i < 6; i++) EXPECT_EQ(h[i], head[i]) << "tap " << i;
    EXPECT_EQ(h[35], 6552);
    EXPECT_EQ(out.rfind("\n{0, 0, 1, 6, 6, -2, ", 0), 0U) << out;
    EXPECT_EQ(out.substr(out.size() - 5), ", };\n") << out;
    // Each polyphase branch sums to about 8 * cut.
    polyphase_reorder(h, 5, 70);
    for (int b = 0; b < 5; b++) {
        int sum = 0;
        for (int j = 0; j < 14; j++) sum += h[b * 14 + j];
        EXPECT_NEAR(sum, 8 * 819, 8 * 819 / 20) << "branch " << b;
    }
}

TEST(SignalProc, HighpassBlocksDirectCurrent) {
    int16_t lp[42];
    int16_t hp[42];
    capture_stderr([&] {
        design_lowpass(1365, lp, 42);
        design_highpass(4096 - 1365, hp, 42);
    });
    int dc = 0;
    for (int i = 0; i < 42; i++) {
        EXPECT_EQ(std::abs(hp[i]), std::abs(lp[i])) << "tap " << i;
        dc += hp[i];
    }
    EXPECT_LT(std::abs(dc), 32768 / 50);  // against a pass-band gain of 8.0
}

TEST(SignalProc, PolyphaseReorder) {
    int16_t h[12];
    for (int i = 0; i < 12; i++) h[i] = static_cast<int16_t>(i);
    polyphase_reorder(h, 3, 12);
    const int16_t expect[] = {0, 3, 6, 9, 1, 4, 7, 10, 2, 5, 8, 11};
    for (int i = 0; i < 12; i++) EXPECT_EQ(h[i], expect[i]) << i;
}

TEST(SignalProc, ResampleCountsAndVariantsAgree) {
    struct Row {
        int L, M, n_in;
        int expect;
    } rows[] = {{5, 2, 307, 768}, {3, 1, 256, 768}, {15, 8, 409, 767}, {30, 13, 332, 767},
                {8, 3, 288, 768}, {2, 1, 384, 768}, {5, 2, 0, 0}};
    std::mt19937 rng(7);
    for (const Row& r : rows) {
        const int N = 14 * r.L;
        std::vector<int16_t> h(N), poly(N);
        capture_stderr([&] { design_lowpass(4096 / r.L, h.data(), N); });
        poly = h;
        polyphase_reorder(poly.data(), r.L, N);
        std::vector<int16_t> x(std::max(r.n_in, 1));
        for (auto& v : x) v = static_cast<int16_t>(rng() % 23171);
        const int n_out = r.n_in * r.L / r.M + 1;
        std::vector<int16_t> y1(n_out + 1, -1), y2(n_out + 1, -1);
        int c1 = resample(x.data(), r.n_in, y1.data(), n_out, poly.data(), N, r.L, r.M);
        int c2 = resample_direct(x.data(), r.n_in, y2.data(), n_out, h.data(), N, r.L, r.M);
        EXPECT_EQ(c1, r.expect) << "L/M " << r.L << "/" << r.M;
        EXPECT_EQ(c2, c1);
        EXPECT_EQ(y1, y2) << "L/M " << r.L << "/" << r.M;
        EXPECT_EQ(y1[n_out], -1) << "wrote past n_out";
    }
}

TEST(SignalProc, ResampleSaturatesInsteadOfWrapping) {
    // A full-scale magnitude through the 2.4 MS/s filter (gain 1.6) exceeds
    // the int16 range: it must read as the largest value, not wrap negative.
    int16_t h[70];
    capture_stderr([&] { design_lowpass(819, h, 70); });
    polyphase_reorder(h, 5, 70);
    int16_t x[307];
    for (auto& v : x) v = 23170;
    int16_t y[768];
    ASSERT_EQ(resample(x, 307, y, 768, h, 70, 5, 2), 768);
    for (int n = 20; n < 740; n++) ASSERT_EQ(y[n], 32767) << n;
    for (auto& v : x) v = -23170;
    resample(x, 307, y, 768, h, 70, 5, 2);
    for (int n = 20; n < 740; n++) ASSERT_EQ(y[n], -32768) << n;
    // A moderate value passes with the branch gain, unchanged by saturation.
    for (auto& v : x) v = 1000;
    resample(x, 307, y, 768, h, 70, 5, 2);
    for (int n = 20; n < 740; n++) ASSERT_NEAR(y[n], 1600, 100) << n;
}

TEST(SignalProc, DecimatingFirMatchesResamplerAtL1) {
    int16_t h[28];
    capture_stderr([&] { design_lowpass(2048, h, 28); });
    std::mt19937 rng(3);
    int16_t x[200];
    for (auto& v : x) v = static_cast<int16_t>(rng() % 20000) - 10000;
    int16_t y1[100], y2[100];
    int c1 = fir_decimate(x, 200, y1, 100, h, 28, 2);
    int c2 = resample(x, 200, y2, 100, h, 28, 1, 2);
    ASSERT_EQ(c1, 100);
    ASSERT_EQ(c2, 100);
    for (int i = 0; i < 100; i++) EXPECT_EQ(y1[i], y2[i]) << i;
}

TEST(SignalProc, KthSmallest) {
    std::mt19937 rng(11);
    for (int n : {1, 2, 7, 64, 301}) {
        std::vector<int32_t> a(n);
        for (auto& v : a) v = static_cast<int32_t>(rng() % 50) - 25;  // with repeats
        std::vector<int32_t> sorted = a;
        std::sort(sorted.begin(), sorted.end());
        for (int k = 0; k < n; k += std::max(1, n / 9)) {
            std::vector<int32_t> w = a;
            EXPECT_EQ(kth_smallest_i32(w.data(), n, k), sorted[k]) << n << " " << k;
            std::vector<int16_t> w16(a.begin(), a.end());
            EXPECT_EQ(kth_smallest_i16(w16.data(), n, k), sorted[k]) << n << " " << k;
        }
    }
}

TEST(SignalProc, FixedDivisorDividesExactly) {
    auto check = [](int32_t x, FixedDivisor f) {
        if (divide(x, f) != x / f.d) {
            ADD_FAILURE() << x << " / " << f.d << ": " << divide(x, f) << ", not " << x / f.d;
            return false;
        }
        return true;
    };
    // Every length the scan divides by (preamble and data window at 2.0,
    // 2.4 and 3.2 MS/s), every dividend below 2^22.
    std::vector<int32_t> lengths;
    for (uint32_t rate : {2000000U, 2400000U, 3200000U}) {
        const DemodLengths l = demod_lengths(rate);
        lengths.push_back(l.len8);
        lengths.push_back(l.len64 - l.len12);
    }
    for (int32_t d : lengths) {
        const FixedDivisor f = fixed_divisor(d);
        for (int32_t x = 0; x < (1 << 22); x++) {
            if (!check(x, f)) return;
        }
    }
    // Every divisor: the dividends on both sides of each multiple, and
    // those the multiplication does not take (negative, 2^22 and beyond).
    std::mt19937 rng(5);
    for (int32_t d = 2; d <= 1024; d++) {
        const FixedDivisor f = fixed_divisor(d);
        for (int32_t k = d; k <= (1 << 22); k += d) {
            if (!check(k - 1, f) || !check(k, f)) return;
        }
        for (int32_t x : {-1, -d, -d - 1, (1 << 22) - 1, 1 << 22, INT32_MAX, INT32_MIN}) {
            if (!check(x, f)) return;
        }
        for (int i = 0; i < 64; i++) {
            if (!check(static_cast<int32_t>(rng()), f)) return;
        }
    }
}
