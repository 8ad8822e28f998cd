// Demodulator set-up, block processing and slicing on hand-made buffers.
//
// The slicer's history is process-wide and never reset, so every test that
// slices works at a time later than all earlier tests (fresh_time()).
#include "sdr/radio.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <string>

#include "sdr/adsb_check.h"
#include "sdr/demod/classic_slice.h"
#include "sdr/demod/scan.h"
#include "sdr/demod/scan_kernels.h"
#include "sdr/demod/setup.h"
#include "sdr/demod/slice_history.h"
#include "sdr/log.h"
#include "tests/support/process.h"
#include "tests/support/radio_context.h"

namespace {

constexpr uint32_t kBaseSeconds = 1700000000U;

/// A time later than every time handed out before, in steps of an hour.
TimeStamp fresh_time() {
    static uint32_t hours = 0;
    return ts_make(kBaseSeconds + 3600U * ++hours, 0);
}

std::unique_ptr<Context> make_ctx(uint32_t rate) {
    return make_radio_context(rate);
}

/// Collects the frames the frame check hands on.
struct Seen {
    int count = 0;
    uint8_t frame[14] = {};
    TimeStamp toa = 0;
};
Seen seen;
int collect(Context*, const uint8_t* frame, int length, const FrameInfo* info) {
    seen.count++;
    memcpy(seen.frame, frame, static_cast<size_t>(length));
    seen.toa = info->toa;
    return 0;
}

/// A DF17 frame with valid parity.
void make_df17(uint8_t* f, uint32_t address) {
    const uint8_t me[7] = {0x58, 0xC3, 0x82, 0xD6, 0x90, 0xC8, 0xAC};
    f[0] = 0x8D;
    f[1] = static_cast<uint8_t>(address >> 16);
    f[2] = static_cast<uint8_t>(address >> 8);
    f[3] = static_cast<uint8_t>(address);
    memcpy(f + 4, me, 7);
    uint32_t p = adsb_parity(f, 88);
    f[11] = static_cast<uint8_t>(p >> 16);
    f[12] = static_cast<uint8_t>(p >> 8);
    f[13] = static_cast<uint8_t>(p);
}

/// Writes the pulses of `frame` as I samples of amplitude `amp` into the
/// pairs of `buf` (which must hold 127s), the first preamble pulse starting
/// at sample position `lead` (fractional); each sample integrates the
/// rectangular pulse over its interval [n - 0.5, n + 0.5).
void render_frame(uint8_t* buf, int n_pairs, uint32_t rate, double lead, const uint8_t* frame,
                  double amp) {
    const double spu = rate / 1e6;  // samples per us
    std::vector<double> on;         // pulse start times in us
    for (double t : {0.0, 1.0, 3.5, 4.5}) on.push_back(t);
    for (int u = 0; u < 112; u++) {
        bool one = frame[u / 8] & (0x80 >> (u % 8));
        on.push_back(8.0 + u + (one ? 0.0 : 0.5));
    }
    std::vector<double> acc(static_cast<size_t>(n_pairs), 0.0);
    for (double t : on) {
        double a = lead + t * spu;
        double b = a + 0.5 * spu;
        for (int n = std::max(0, static_cast<int>(a) - 1); n <= b + 1 && n < n_pairs; n++) {
            double ov = std::min(b, n + 0.5) - std::max(a, n - 0.5);
            if (ov > 0) acc[static_cast<size_t>(n)] += ov;
        }
    }
    for (int n = 0; n < n_pairs; n++) {
        long v = std::lround(127 + amp * acc[static_cast<size_t>(n)]);
        buf[2 * n] = static_cast<uint8_t>(std::clamp(v, 0L, 255L));
    }
}

/// Reads what the log stream received since `open_log`.
struct LogCapture {
    FILE* f = tmpfile();
    LogCapture() { log_stream = f; }
    ~LogCapture() {
        log_stream = nullptr;
        fclose(f);
    }
    std::string text() {
        fflush(f);
        std::string s;
        rewind(f);
        char buf[512];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
        return s;
    }
};

}  // namespace

TEST(Radio, InitValuesTable) {
    struct Row {
        uint32_t requested, rate, up, down, taps, hist;
        int coarse;
    } rows[] = {
        {2000000, 2000000, 3, 1, 42, 256, 20},  {2048000, 2000000, 3, 1, 42, 256, 20},
        {2250000, 2250000, 8, 3, 112, 288, 23}, {2400000, 2400000, 5, 2, 70, 307, 24},
        {2345678, 2400000, 5, 2, 70, 307, 24},  {2560000, 2600000, 30, 13, 420, 332, 26},
        {3000000, 3000000, 2, 1, 28, 384, 30},  {3200000, 3200000, 15, 8, 210, 409, 32},
    };
    for (const Row& r : rows) {
        Context* ctx = new Context();
        ctx->samp_rate = r.requested;
        testing::internal::CaptureStderr();
        radio_init(ctx);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(ctx->samp_rate, r.rate) << r.requested;
        EXPECT_EQ(ctx->resample_up, r.up) << r.requested;
        EXPECT_EQ(ctx->resample_down, r.down) << r.requested;
        EXPECT_EQ(ctx->filter_taps, r.taps) << r.requested;
        EXPECT_EQ(ctx->history_len, r.hist) << r.requested;
        // Printout: the 6 MHz template, the coarse template, the filter.
        EXPECT_EQ(err.rfind("\nmax 3572\n{", 0), 0U) << r.requested;
        size_t end1 = err.find("};\n");
        size_t end2 = err.find("};\n", end1 + 1);
        ASSERT_NE(end2, std::string::npos);
        EXPECT_EQ(count_of(err.substr(0, end1), ", "), 58) << r.requested;
        EXPECT_EQ(count_of(err.substr(end1, end2 - end1), ", "), r.coarse) << r.requested;
        EXPECT_EQ(err.substr(end2 + 3, 2), "\n{") << r.requested;
        EXPECT_EQ(count_of(err.substr(end2), ", "), static_cast<int>(r.taps)) << r.requested;
        delete ctx;
    }
}

TEST(Radio, LengthsTable) {
    struct Row {
        uint32_t rate;
        DemodLengths l;
    } rows[] = {
        {2000000, {2, 10, 16, 20, 24, 128, 21, 42}},
        {2400000, {2, 11, 19, 24, 29, 154, 25, 51}},
        {3200000, {3, 16, 26, 32, 38, 205, 34, 68}},
    };
    for (const Row& r : rows) {
        DemodLengths l = demod_lengths(r.rate);
        EXPECT_EQ(l.len1, r.l.len1) << r.rate;
        EXPECT_EQ(l.len5, r.l.len5) << r.rate;
        EXPECT_EQ(l.len8, r.l.len8) << r.rate;
        EXPECT_EQ(l.len10, r.l.len10) << r.rate;
        EXPECT_EQ(l.len12, r.l.len12) << r.rate;
        EXPECT_EQ(l.len64, r.l.len64) << r.rate;
        EXPECT_EQ(l.seg, r.l.seg) << r.rate;
        EXPECT_EQ(l.long_skip, r.l.long_skip) << r.rate;
    }
}

TEST(Radio, MagnitudesOfSinglePairs) {
    struct Row {
        uint8_t b0, b1;
        int32_t cheap;
        int16_t exact;
    } rows[] = {
        {127, 127, 0, 0},       {255, 127, 128, 16384}, {0, 0, 254, 22989},   {255, 0, 255, 23080},
        {255, 255, 255, 23170}, {128, 126, 2, 181},     {127, 0, 127, 16256}, {200, 100, 100, 9962},
    };
    for (const Row& r : rows) {
        uint8_t block[kBlockBytes];
        for (int k = 0; k < kBlockPairs; k++) {
            block[2 * k] = r.b0;
            block[2 * k + 1] = r.b1;
        }
        int32_t mag[kBlockPairs];
        EXPECT_EQ(block_magnitude(block, mag), r.cheap * kBlockPairs) << +r.b0 << "," << +r.b1;
        EXPECT_EQ(mag[0], r.cheap) << +r.b0 << "," << +r.b1;
        EXPECT_EQ(exact_magnitude(r.b0, r.b1), r.exact) << +r.b0 << "," << +r.b1;
    }
    // The exact magnitude stays within one of the true root for every pair.
    for (int b0 = 0; b0 < 256; b0 += 3) {
        for (int b1 = 0; b1 < 256; b1 += 5) {
            double x = std::hypot((b0 - 127) * 128.0, (b1 - 127) * 128.0);
            ASSERT_NEAR(exact_magnitude(static_cast<uint8_t>(b0), static_cast<uint8_t>(b1)), x, 1.0)
                << b0 << "," << b1;
        }
    }
}

TEST(Radio, SilenceLowersTriggerToZeroAndEveryTriggerFailsTheRatio) {
    auto ctx = make_ctx(2400000);
    const int32_t expect_level[] = {3, 2, 1, 0, 0, 0};
    const uint32_t expect_bin2[] = {0, 0, 373, 0, 0, 0};      // level 1: triggers at 0, 11, .. 4092
    const uint32_t expect_bin3[] = {0, 0, 0, 372, 373, 372};  // level 0: from 7, then 3, 10
    for (int b = 0; b < 6; b++) {
        memset(ctx->block, 127, kBlockBytes);
        ctx->stats = DecoderStats{};
        EXPECT_EQ(process_block(ctx.get()), 0);
        EXPECT_EQ(ctx->trigger_level, expect_level[b]) << "block " << b;
        EXPECT_EQ(ctx->stats.peak_bins[2], expect_bin2[b]) << "block " << b;
        EXPECT_EQ(ctx->stats.peak_bins[3], expect_bin3[b]) << "block " << b;
        EXPECT_EQ(ctx->stats.rms_bins[3] + ctx->stats.rms_bins[2], 0U);
    }
}

TEST(Radio, TriggerLevelMovesOneStepPerBlock) {
    auto ctx = make_ctx(2000000);
    int32_t prev = ctx->trigger_level;
    const uint8_t fills[] = {255, 255, 255, 0, 127, 127, 200, 127};
    for (uint8_t v : fills) {
        memset(ctx->block, v, kBlockBytes);
        (void)process_block(ctx.get());
        EXPECT_LE(std::abs(ctx->trigger_level - prev), 1);
        EXPECT_GE(ctx->trigger_level, 0);
        prev = ctx->trigger_level;
    }
    EXPECT_EQ(ctx->stats.noise_level.max, 8);
}

// The default mode takes the first block's level at once (six times its
// mean magnitude, rounded), then moves one step a block as the classic mode
// does from the start of an attempt.
TEST(Radio, DefaultModeSettlesTheTriggerLevelOnTheFirstBlock) {
    struct Row {
        uint8_t fill;       // the bytes of every other pair (mirrored about 127 between)
        int32_t first;      // the default level after the first block: 6.42
                            // times the magnitude (the mean of noise whose
                            // median that is, six times)
    } rows[] = {{127, 0}, {140, 167}, {117, 128}, {200, 938}};
    for (const Row& r : rows) {
        for (bool classic : {true, false}) {
            auto ctx = make_radio_context(2400000, classic);
            // Pairs alternately `fill` and its mirror about 127: every pair
            // has the magnitude of `fill`. The default mode's centre is
            // taken as known at 127 (these blocks have no noise about any
            // centre to seed it from; a constant fill would be a DC offset).
            ctx->centre.blocks = 1;
            ctx->centre.est_i = ctx->centre.est_q = 127 * 65536;
            ctx->centre.track_i = ctx->centre.track_q = 127;
            for (int k = 0; k < kBlockPairs; k++) {
                const uint8_t b = static_cast<uint8_t>(k % 2 == 0 ? r.fill : 254 - r.fill);
                ctx->block[2 * k] = b;
                ctx->block[2 * k + 1] = b;
            }
            (void)process_block(ctx.get());
            const int32_t want = classic ? (r.first > 4 ? 5 : 3) : r.first;
            EXPECT_EQ(ctx->trigger_level, want) << int(r.fill) << (classic ? " classic" : "");
            // Then one step a block towards silence; the default mode's
            // estimate of the noise is renewed every fourth block.
            const int32_t after_first = ctx->trigger_level;
            memset(ctx->block, 127, kBlockBytes);
            for (int b = 0; b < 4; b++) (void)process_block(ctx.get());
            const int32_t steps = classic ? 4 : 1;
            EXPECT_EQ(ctx->trigger_level, std::max(0, after_first - steps));
        }
    }
}

// The default level follows the noise under busy traffic: the median of a
// sample of the block, not the mean, which the replies raise; an eighth of
// the classic level at least (a noiseless capture has a median of 0).
TEST(Radio, DefaultLevelFollowsTheNoiseNotTheTraffic) {
    struct Row {
        int busy_percent;  // of the samples at 200 (pulses), the rest noise
        int32_t want;
    } rows[] = {{0, 45}, {20, 54}, {40, 65}, {60, 1282}};
    for (const Row& r : rows) {
        uint8_t mag[4096];
        int32_t total = 0;
        uint32_t seed = 3;
        for (int i = 0; i < 4096; i++) {
            seed = seed * 1103515245U + 12345U;
            // noise magnitudes 3..11 (mean and median 7)
            const bool busy = i % 100 < r.busy_percent;
            mag[i] = static_cast<uint8_t>(busy ? 200 : 3 + (seed >> 16) % 9);
            total += mag[i];
        }
        const int32_t classic = (6 * total + 2048) / 4096;
        EXPECT_EQ(scan_noise_target(mag, total), r.want) << r.busy_percent << " classic " << classic;
        EXPECT_GE(scan_noise_target(mag, total), classic / 8);
    }
    uint8_t quiet[4096] = {};
    quiet[100] = 255;
    EXPECT_EQ(scan_noise_target(quiet, 255), 0);
}

TEST(Radio, SkipCarriesAcrossBlocksAndWindowStaysConsistent) {
    // A skip longer than the block passes over all of it and carries the rest.
    auto ctx = make_ctx(2400000);
    memset(ctx->block, 127, kBlockBytes);
    ctx->trigger_level = 100;  // nothing triggers
    ctx->skip = kBlockPairs + 204;
    EXPECT_EQ(process_block(ctx.get()), 0);
    EXPECT_EQ(ctx->skip, 204);
    EXPECT_EQ(process_block(ctx.get()), 0);
    EXPECT_EQ(ctx->skip, 0);

    // On noise the running window always equals its definition, and the
    // history moves to the head of both buffers.
    const DemodLengths l = demod_lengths(ctx->samp_rate);
    const int hist = static_cast<int>(ctx->history_len);
    uint32_t seed = 1;
    for (int b = 0; b < 8; b++) {
        for (int i = 0; i < kBlockBytes; i++) {
            seed = seed * 1103515245U + 12345U;
            ctx->block[i] = static_cast<uint8_t>(127 + static_cast<int>((seed >> 16) % 31) - 15);
        }
        uint8_t tail[2 * 1024];
        memcpy(tail, ctx->samples + kBlockBytes, static_cast<size_t>(2 * hist));
        (void)process_block(ctx.get());
        int32_t window = 0;
        for (int i = l.len12 + 1; i <= l.len64; i++) window += ctx->mag[i];
        ASSERT_EQ(ctx->window_sum, window) << "block " << b;
        ASSERT_EQ(memcmp(tail, ctx->samples, static_cast<size_t>(2 * hist)), 0) << "block " << b;
        int32_t m0 = std::abs(tail[0] - 127) + std::abs(tail[1] - 127);
        ASSERT_EQ(ctx->mag[0], m0);
        EXPECT_GE(ctx->peak_mag, ctx->mag[l.len64]);
    }
}

TEST(Radio, SliceFindsFineOffsetAndReturnsSamplesToPass) {
    // The first pulse centred on 6 MHz sample `off` after `start`: the slicer
    // must find that offset, time the frame by it and return off*M/L input
    // samples, plus the frame's 120 us when the check accepts it.
    for (uint32_t rate : {2400000U, 2000000U, 3200000U}) {
        auto ctx = make_ctx(rate);
        ctx->frame_callback = collect;
        const int hist = static_cast<int>(ctx->history_len);
        const double per6 = rate / 6e6;  // input samples per 6 MHz sample
        const int32_t start = 1000;
        for (int off = 0; off < 12; off++) {
            int found = off;  // the offset found for the good frame
            for (bool good : {true, false}) {
                uint8_t frame[14];
                make_df17(frame, 0x4840D6);
                if (!good) frame[6] ^= 0x10;
                memset(ctx->samples, 127, sizeof ctx->samples);
                const double lead = start + off * per6 - 0.25 * rate / 1e6;
                render_frame(ctx->samples, hist + kBlockPairs, rate, lead, frame, 90);
                ctx->cur_time = fresh_time();
                seen = Seen{};
                const int32_t r = slice_frame(ctx.get(), start, 50);
                const TimeStamp coarse = ctx->cur_time + samples_to_ts(start - hist - 4096, rate);
                // The offset found; exact at 2.4 MS/s, within one 6 MHz
                // sample at the other rates.
                if (good) found = slice_history()->prev_offset;
                if (rate == 2400000) {
                    EXPECT_EQ(found, off);
                }
                EXPECT_LE(std::abs(found - off), 1) << rate << " off " << off;
                const int32_t fine_in = found * static_cast<int32_t>(ctx->resample_down) /
                                        static_cast<int32_t>(ctx->resample_up);
                const int32_t dur = static_cast<int32_t>(120ULL * rate / 1000000);
                EXPECT_EQ(r, good ? fine_in + dur : fine_in) << rate << " off " << off;
                EXPECT_EQ(seen.count, good ? 1 : 0) << rate << " off " << off;
                if (!good || seen.count != 1) continue;
                EXPECT_EQ(memcmp(seen.frame, frame, 14), 0);
                EXPECT_EQ(seen.toa, coarse + samples_to_ts(found, 6000000)) << rate << " " << off;
                EXPECT_EQ(slice_history()->prev_start, start);
            }
        }
    }
}

TEST(Radio, SliceOrderingAndCloseFramesAreReported) {
    auto ctx = make_ctx(2400000);
    ctx->frame_callback = collect;
    const int hist = static_cast<int>(ctx->history_len);
    uint8_t frame[14];
    make_df17(frame, 0xABCDEF);
    memset(ctx->samples, 127, sizeof ctx->samples);
    render_frame(ctx->samples, hist + kBlockPairs, 2400000, 500 + 2.0 - 0.6, frame, 90);
    const TimeStamp base = fresh_time();
    debug_mask = DBG_STATISTICS;
    LogCapture log;

    // The first accepted frame of this hour is far from the previous one.
    ctx->cur_time = base;
    ctx->n_records = 7;
    EXPECT_EQ(slice_frame(ctx.get(), 500, 50), 2 + 288);
    EXPECT_EQ(log.text(), "");

    // The same frame 10 us later: accepted, but less than 56 us apart.
    const TimeStamp later = base + 42950;  // about 10 us
    ctx->cur_time = later;
    ctx->n_records = 9;
    seen = Seen{};
    EXPECT_EQ(slice_frame(ctx.get(), 500, 50), 2 + 288);
    EXPECT_EQ(seen.count, 1);
    char when[64];
    time_text(when, sizeof when, seen.toa);
    char expect[512];
    snprintf(expect, sizeof expect,
             "%s: is NOT minimal increasing by dt=56us >= %5.2fus (df=17->17) -- #9 last_#7, "
             "frame_start=5 last_s=5, recv_t=%lld, last_t=%lld, bufoffs=500, last_bo=500\n",
             when, 42950 / 4294.967296, static_cast<long long>(later),
             static_cast<long long>(base));
    EXPECT_EQ(log.text(), expect);

    // The same start time again: dropped silently.
    EXPECT_EQ(slice_frame(ctx.get(), 500, 50), 0);
    EXPECT_EQ(log.text(), expect);

    // An earlier start: dropped with a warning naming the step back.
    ctx->cur_time = later - 3 * kTsOneSecond - 4294967 * 5;  // 3 s 5 ms back
    EXPECT_EQ(slice_frame(ctx.get(), 500, 50), 0);
    EXPECT_EQ(ctx->stats.funnel.out_of_order, 2U);  // the same start and the earlier one
    EXPECT_EQ(log.text(), std::string(expect) +
                              "Warning - [frame slice] reverse timing by -3004976us, "
                              "-3004ms, -2s\n");
    EXPECT_EQ(slice_history()->prev_start_time, later + samples_to_ts(500 - hist - 4096, 2400000));

    // 56 us and more after the last accepted frame: nothing is written.
    ctx->cur_time = later + kTs56us;
    EXPECT_EQ(slice_frame(ctx.get(), 500, 50), 2 + 288);
    debug_mask = 1;
    EXPECT_EQ(count_of(log.text(), "NOT minimal"), 1);
}

TEST(Radio, CoarseTimeOfTheLastStart) {
    // start 4095 at 2.4 MHz lies 308 samples (128.3 us) before cur_time.
    EXPECT_EQ(samples_to_ts(4095 - 307 - 4096, 2400000),
              ts_make(0xFFFFFFFFU, static_cast<uint32_t>((999871667ULL << 32) / 1000000000)));
    EXPECT_EQ(samples_to_ts(-2400000, 2400000), 0ULL - kTsOneSecond);
    EXPECT_EQ(samples_to_ts(5, 6000000), timespec_to_ts(0, 833));
}

namespace {

/// Lays a preamble-like magnitude pattern whose template origin is at buffer
/// index `origin` (possibly outside the buffer): the coarse template's
/// positive part over a floor of 5, then a flat data level of 80 for 200
/// samples, silence elsewhere. Writes both `mag` (the history part) and the
/// raw pairs, so that block processing recomputes the same magnitudes.
void lay_pattern(Context* ctx, int origin) {
    const int hist = static_cast<int>(ctx->history_len);
    const int len10 = demod_lengths(ctx->samp_rate).len10;
    const int32_t* tmpl = demod_tables().coarse_template;
    memset(ctx->samples, 127, sizeof ctx->samples);
    memset(ctx->mag, 0, sizeof ctx->mag);
    for (int i = 0; i < hist + kBlockPairs; i++) {
        int j = i - origin;
        int32_t m = 0;
        if (j >= 0 && j < len10) m = 5 + std::max(0, tmpl[j] / 2);
        if (j >= len10 && j < len10 + 200) m = 80;
        ctx->samples[2 * i] = static_cast<uint8_t>(127 + m);
        if (i < hist) ctx->mag[i] = m;
    }
    // The running data window of position 0, as the previous block left it.
    const DemodLengths l = demod_lengths(ctx->samp_rate);
    ctx->window_sum = 0;
    for (int i = l.len12 + 1; i <= l.len64; i++) ctx->window_sum += ctx->mag[i];
}

/// The start the slicer saw for the only candidate, from its coarse time.
int32_t sliced_start(const Context* ctx) {
    const int hist = static_cast<int>(ctx->history_len);
    for (int s = 0; s < kBlockPairs; s++) {
        if (ctx->cur_time + samples_to_ts(s - hist - 4096, ctx->samp_rate) ==
            slice_history()->prev_start_time)
            return s;
    }
    return -1;
}

}  // namespace

TEST(Radio, CandidateStartIsClampedToTheScanRange) {
    // The first candidate's start is pinned through the ordering check: a
    // slice at `mark` just before the block makes a candidate at an earlier
    // start warn, one at the same start vanish silently.
    struct Row {
        int origin;
        int32_t start;
    } rows[] = {
        {-3, 0},       // best_off -1 at position 0 would start at -1
        {100, 102},    // an ordinary candidate: origin + 1 us
        {4096, 4095},  // position 4093 + best_off 5 would start at 4098
    };
    for (const Row& r : rows) {
        for (int32_t mark : {r.start, r.start + 1}) {
            if (mark > 4095) continue;
            auto ctx = make_ctx(2400000);
            lay_pattern(ctx.get(), r.origin);
            ctx->trigger_level = 10;  // silence brings it to 9, threshold 4
            ctx->cur_time = fresh_time();
            LogCapture log;
            (void)slice_frame(ctx.get(), mark, 50);
            (void)process_block(ctx.get());
            const int warned = count_of(log.text(), "reverse timing");
            EXPECT_EQ(warned, mark == r.start ? 0 : 1) << "origin " << r.origin;
            uint32_t sliced = 0;
            for (uint32_t c : ctx->stats.corr_bins) sliced += c;
            EXPECT_GE(sliced, 1U) << "origin " << r.origin;
            if (r.start == 4095) {
                EXPECT_EQ(sliced_start(ctx.get()), 4095);
            }
        }
    }
}
