// Block processing against a straightforward reference: the scan exactly as
// the algorithm is written (a 32-bit magnitude array, the window and the
// peak updated at every step, a plain trigger loop), fed the same blocks,
// block after block. Both hand their candidates to the same stand-in
// slicer, which records them and returns varied skips, so that the
// comparison covers the candidates in order, the counters, the result and
// every piece of state carried to the next block.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "sdr/demod/scan.h"
#include "sdr/demod/scan_kernels.h"
#include "sdr/demod/setup.h"
#include "sdr/radio.h"
#include "tests/support/process.h"

namespace {

struct Call {
    int32_t start;
    int32_t level;
    bool operator==(const Call&) const = default;
};

std::vector<Call>* calls = nullptr;

/// Records the candidate and returns a skip between 0 and about 450
/// samples, derived from the candidate so both runs get the same answers.
int32_t stand_in_slicer(Context*, int32_t start, int32_t level) {
    calls->push_back({start, level});
    uint32_t h = static_cast<uint32_t>(start) * 2654435761U ^ static_cast<uint32_t>(level) * 40503U;
    h ^= h >> 13;
    const uint32_t kind = h % 4;
    if (kind == 0) return 0;
    if (kind == 1) return static_cast<int32_t>(h % 7);
    return static_cast<int32_t>(h % 450);
}

/// The reference scan state; mag is 32-bit here.
struct RefScan {
    uint8_t samples[kSampleBytes];
    int32_t mag[kMagEntries];
    int32_t trigger_level = 4;
    int32_t window_sum = 0;
    int32_t peak_mag = 0;
    int32_t skip = 0;
    uint32_t peak_bins[16] = {};
    uint32_t rms_bins[16] = {};
    uint32_t corr_bins[16] = {};
    LevelStats noise = kLevelStatsReset;
    FunnelStats funnel = {};  // the rejections by test, as the algorithm names them
};

int ref_bin(int32_t tl, int32_t level) {
    int b = std::countl_zero(2U * static_cast<uint32_t>(tl) + 1U) -
            std::countl_zero(2U * static_cast<uint32_t>(level) + 1U) + 3;
    return b < 0 ? 0 : b;
}

int32_t ref_sum(const int32_t* mag, int from, int count) {
    int32_t s = 0;
    for (int i = 0; i < count; i++) s += mag[from + i];
    return s;
}

/// One block, as written: the block is at samples + 2 * hist.
int32_t ref_process(RefScan* r, const Context* cfg, const int32_t* tmpl) {
    const DemodLengths len = demod_lengths(cfg->samp_rate);
    const int hist = static_cast<int>(cfg->history_len);
    const uint8_t* block = r->samples + 2 * hist;
    int32_t total = 0;
    for (int k = 0; k < kBlockPairs; k++) {
        int32_t i = block[2 * k] - 127;
        int32_t q = block[2 * k + 1] - 127;
        int32_t m = std::min(std::abs(i) + std::abs(q), 255);  // clipped pair reads as full scale
        r->mag[hist + k] = m;
        total += m;
    }
    const int32_t a = (6 * total + 2048) / 4096;
    if (a < r->trigger_level) {
        r->trigger_level--;
    } else if (a > r->trigger_level) {
        r->trigger_level++;
    }
    const int32_t tl = r->trigger_level;
    level_stats_update(&r->noise, tl);

    const int32_t win = len.len64 - len.len12;
    int p = 0;
    auto step = [&]() {
        r->window_sum += r->mag[p + 1 + len.len64] - r->mag[p + 1 + len.len12];
        r->peak_mag = std::max(r->peak_mag, r->mag[p + 1 + len.len64]);
        p++;
    };
    int32_t result = 0;
    for (;;) {
        if (p + r->skip < kBlockPairs) {
            while (r->skip > 0) {
                step();
                r->skip--;
            }
        } else {
            while (p < kBlockPairs) {
                step();
                r->skip--;
            }
        }
        if (r->skip != 0) break;
        while (p < kBlockPairs && r->mag[p + 3] < tl / 2) step();
        if (p == kBlockPairs) break;
        r->funnel.triggers++;
        const int32_t P = ref_sum(r->mag, p, len.len8) / len.len8;
        r->peak_bins[ref_bin(tl, P)]++;
        const int32_t D = r->window_sum / win;
        if (2 * D < tl / 2) {
            r->funnel.data_level++;
            r->skip = len.long_skip;
            continue;
        }
        const int b2 = ref_bin(tl, D);
        if (!((25 - cfg->sensitvity[0]) * P < 22 * D)) {
            r->funnel.ratio++;
            r->skip = len.len5;
            continue;
        }
        r->rms_bins[b2]++;
        int32_t F = 0;
        for (int s = 1; s <= 5; s++) {
            int32_t dev = (20 * ref_sum(r->mag, p + s * len.seg, len.seg)) / (D * len.seg) - 20;
            F += std::abs(dev);
        }
        if (F > 3 * cfg->sensitvity[1] + 20) {
            r->funnel.flatness++;
            r->skip = len.len5;
            continue;
        }
        int32_t best = 0;
        int32_t best_off = 0;
        for (int k = -(len.len1 + 1); k <= len.len8 / 2 - 1; k++) {
            int32_t sum = 0;
            for (int j = std::max(0, -k); j < len.len10; j++) sum += tmpl[j] * r->mag[p + k + j];
            const int32_t corr = sum / len.len10;
            if (corr > best) {
                best = corr;
                best_off = k + len.len1;
            }
        }
        if (!(2 * ((50 * P) / D - 27) - 3 * (best / D - 29) < 3 * cfg->sensitvity[2] + 50)) {
            r->funnel.score++;
            r->skip = len.len5;
            continue;
        }
        r->corr_bins[b2]++;
        r->funnel.sliced++;
        const int32_t start = std::clamp(p + best_off, 0, kBlockPairs - 1);
        const int32_t got = stand_in_slicer(nullptr, start, D);
        r->skip = std::max(got, len.len5);
        result += got;
    }
    for (int i = 0; i < hist; i++) r->mag[i] = r->mag[kBlockPairs + i];
    memmove(r->samples, r->samples + kBlockBytes, static_cast<size_t>(2 * hist));
    return result;
}

using BlockSource = std::vector<std::string>;

BlockSource random_blocks(int n, uint32_t seed) {
    std::mt19937 rng(seed);
    BlockSource out(static_cast<size_t>(n), std::string(kBlockBytes, '\0'));
    for (auto& b : out) {
        for (auto& c : b) c = static_cast<char>(rng() & 0xFF);
    }
    return out;
}

BlockSource constant_blocks(int n, uint8_t value) {
    return BlockSource(static_cast<size_t>(n), std::string(kBlockBytes, static_cast<char>(value)));
}

/// Noise around 127 with occasional bursts of pulses at random levels.
BlockSource noisy_blocks(int n, uint32_t seed, int sigma) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> noise(0.0, sigma);
    BlockSource out(static_cast<size_t>(n), std::string(kBlockBytes, '\0'));
    for (auto& b : out) {
        int burst = 0;
        int amp = 0;
        for (int k = 0; k < kBlockPairs; k++) {
            if (burst == 0 && rng() % 900 == 0) {
                burst = 20 + static_cast<int>(rng() % 300);
                amp = 10 + static_cast<int>(rng() % 110);
            }
            int on = burst > 0 && ((k / 3) % 2 == 0) ? amp : 0;
            if (burst > 0) burst--;
            for (int c = 0; c < 2; c++) {
                int v = 127 + static_cast<int>(noise(rng)) + (c == 0 ? on : -on / 2);
                b[2 * k + c] = static_cast<char>(std::clamp(v, 0, 255));
            }
        }
    }
    return out;
}

/// A raw capture from the synthesizer, without its probe block.
BlockSource synthesized_blocks(uint32_t rate, const std::string& seed) {
    TempDir dir;
    ProcessResult r =
        run_process(tool_path("capture-synth"),
                    {"-r", std::to_string(rate), "-F", "raw", "-d", "0.25", "-n", "6", "-a", "300",
                     "-m", "600", "-A", "6:160", "--overlap", "-s", seed, "-o", dir.file("cap")});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string bytes = read_file(dir.file("cap"));
    BlockSource out;
    for (size_t pos = kBlockBytes; pos + kBlockBytes <= bytes.size(); pos += kBlockBytes) {
        out.push_back(bytes.substr(pos, kBlockBytes));
    }
    return out;
}

struct ScanCase {
    std::string name;
    uint32_t rate;
    std::vector<int32_t> sensitivity;
    BlockSource blocks;
};

/// Runs the case with the vector width `width`. Odd blocks are processed
/// where they lie in a buffer of their own, as the driver does with its
/// read buffer, even ones behind the history in samples.
void compare_runs(const ScanCase& c, int width) {
    auto ctx = std::make_unique<Context>();
    memset(ctx.get(), 0, sizeof(Context));
    ctx->samp_rate = c.rate;
    ctx->classic = 1;  // the reference is the classic funnel
    radio_init(ctx.get());
    scan_kernels_select(width);
    ScanPolicy policy = *scan_policy(true);  // the reference is the classic funnel
    policy.slicer = stand_in_slicer;
    std::vector<uint8_t> outside(kBlockBytes + 64);
    for (int i = 0; i < 4; i++) ctx->sensitvity[i] = c.sensitivity[static_cast<size_t>(i)];
    ctx->block = ctx->samples + 2 * ctx->history_len;
    ctx->trigger_level = 4;
    ctx->stats.noise_level = kLevelStatsReset;
    auto ref = std::make_unique<RefScan>();
    memset(ref->samples, 0, sizeof ref->samples);
    memset(ref->mag, 0, sizeof ref->mag);
    const int hist = static_cast<int>(ctx->history_len);

    std::vector<Call> got_calls;
    std::vector<Call> want_calls;
    for (size_t n = 0; n < c.blocks.size(); n++) {
        SCOPED_TRACE(c.name + " width " + std::to_string(width) + " block " + std::to_string(n));
        // Pairs start at even addresses; beyond that, no load may count on alignment.
        ctx->block = n % 2 == 0 ? ctx->samples + 2 * hist : outside.data() + 34;
        memcpy(ctx->block, c.blocks[n].data(), kBlockBytes);
        memcpy(ref->samples + 2 * hist, c.blocks[n].data(), kBlockBytes);
        if (n % 7 == 6) {  // a statistics report clears the peak
            ctx->peak_mag = 0;
            ref->peak_mag = 0;
        }
        calls = &got_calls;
        const int32_t got = scan_block(ctx.get(), &policy);
        calls = &want_calls;
        const int32_t want = ref_process(ref.get(), ctx.get(), demod_tables().coarse_template);
        calls = nullptr;

        ASSERT_EQ(got, want);
        ASSERT_EQ(got_calls, want_calls);
        ASSERT_EQ(ctx->trigger_level, ref->trigger_level);
        ASSERT_EQ(ctx->window_sum, ref->window_sum);
        ASSERT_EQ(ctx->peak_mag, ref->peak_mag);
        ASSERT_EQ(ctx->skip, ref->skip);
        for (int i = 0; i < hist; i++) ASSERT_EQ(ctx->mag[i], ref->mag[i]) << "mag " << i;
        ASSERT_EQ(memcmp(ctx->samples, ref->samples, static_cast<size_t>(2 * hist)), 0);
        for (int b = 0; b < 16; b++) {
            ASSERT_EQ(ctx->stats.peak_bins[b], ref->peak_bins[b]) << "peak bin " << b;
            ASSERT_EQ(ctx->stats.rms_bins[b], ref->rms_bins[b]) << "rms bin " << b;
            ASSERT_EQ(ctx->stats.corr_bins[b], ref->corr_bins[b]) << "corr bin " << b;
        }
        ASSERT_EQ(memcmp(&ctx->stats.noise_level, &ref->noise, sizeof ref->noise), 0);
        const FunnelStats& f = ctx->stats.funnel;
        const FunnelStats& g = ref->funnel;
        ASSERT_EQ(f.triggers, g.triggers);
        ASSERT_EQ(f.second_pulse, 0U);
        ASSERT_EQ(f.data_level, g.data_level);
        ASSERT_EQ(f.ratio, g.ratio);
        ASSERT_EQ(f.flatness, g.flatness);
        ASSERT_EQ(f.score, g.score);
        ASSERT_EQ(f.sliced, g.sliced);
    }
    // Inputs with signal must exercise the funnel, not just pass through it.
    if (c.name.rfind("silent", 0) != 0 && c.name.rfind("clipped", 0) != 0) {
        EXPECT_FALSE(want_calls.empty()) << c.name;
    }
}

TEST(ScanReference, MatchesTheStepByStepScan) {
    const std::vector<int32_t> zero = {0, 0, 0, 0};
    std::vector<ScanCase> cases;
    for (uint32_t rate : {2000000U, 2400000U, 3200000U}) {
        const std::string r = std::to_string(rate);
        cases.push_back({"random_" + r, rate, zero, random_blocks(12, rate)});
        cases.push_back({"silent_" + r, rate, zero, constant_blocks(8, 127)});
        cases.push_back({"flat127_then_noise_" + r, rate, zero, constant_blocks(6, 127)});
        BlockSource tail = noisy_blocks(10, rate + 1, 6);
        cases.back().blocks.insert(cases.back().blocks.end(), tail.begin(), tail.end());
        cases.push_back({"clipped_" + r, rate, zero, constant_blocks(4, 255)});
        cases.push_back({"noisy_" + r, rate, zero, noisy_blocks(60, rate, 6)});
        cases.push_back({"quiet_" + r, rate, {2, -3, 4, 0}, noisy_blocks(40, rate + 7, 2)});
        cases.push_back({"loose_" + r, rate, {10, 20, 20, 0}, noisy_blocks(40, rate + 9, 9)});
        cases.push_back({"synthesized_" + r, rate, zero, synthesized_blocks(rate, "21")});
        cases.push_back(
            {"strict_synth_" + r, rate, {-5, -5, -5, -5}, synthesized_blocks(rate, "22")});
    }
    // Every vector width this machine has (on the board only the portable
    // loops): the widths it lacks fall back to the next narrower one.
    std::vector<int> widths;
    for (int w : {0, 16, 32}) {
        const int got = scan_kernels_select(w);
        if (std::find(widths.begin(), widths.end(), got) == widths.end()) widths.push_back(got);
    }
    for (int width : widths) {
        for (const ScanCase& c : cases) {
            compare_runs(c, width);
            if (HasFatalFailure()) break;
        }
        if (HasFatalFailure()) break;
    }
    scan_kernels_select(32);
}

// The default policy's funnel on traffic: every trigger is either rejected
// by exactly one test or handed to the slicer, the second-pulse test comes
// before the preamble level is counted, and the slicer sees every
// candidate counted as sliced.
TEST(ScanReference, DefaultFunnelCountsEveryTrigger) {
    for (uint32_t rate : {2000000U, 2400000U, 3200000U}) {
        auto ctx = std::make_unique<Context>();
        memset(ctx.get(), 0, sizeof(Context));
        ctx->samp_rate = rate;
        testing::internal::CaptureStderr();
        radio_init(ctx.get());
        testing::internal::GetCapturedStderr();
        ctx->stats.noise_level = kLevelStatsReset;
        ScanPolicy policy = *scan_policy(false);
        policy.slicer = stand_in_slicer;
        std::vector<Call> got;
        calls = &got;
        for (const std::string& b : synthesized_blocks(rate, "23")) {
            ctx->block = ctx->samples + 2 * ctx->history_len;
            memcpy(ctx->block, b.data(), kBlockBytes);
            (void)scan_block(ctx.get(), &policy);
        }
        calls = nullptr;
        const FunnelStats& f = ctx->stats.funnel;
        uint32_t peaks = 0;
        for (uint32_t v : ctx->stats.peak_bins) peaks += v;
        SCOPED_TRACE(rate);
        EXPECT_GT(f.second_pulse, 0U);
        EXPECT_GT(f.sliced, 0U);
        EXPECT_EQ(f.triggers,
                  f.second_pulse + f.data_level + f.ratio + f.flatness + f.score + f.sliced);
        EXPECT_EQ(peaks, f.triggers - f.second_pulse);
        EXPECT_EQ(f.sliced, got.size());
    }
}

}  // namespace
