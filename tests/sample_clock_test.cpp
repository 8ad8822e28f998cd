// The recorder's time base on made-up arrivals: a simulated dongle whose
// crystal may be off, whose buffers arrive late by 0 to 4 ms (2 ms +/- 2 ms
// of jitter), and which may stall with or without losing samples. Every
// record time is compared with the true instant just after the record's
// last sample; the figures are printed for the record.
#include "lib/sample_clock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

namespace {

constexpr int64_t kT0 = 1700000000000000000LL;

struct Scenario {
    const char* name;
    uint32_t rate = 2400000;
    double ppm = 0;           // crystal error: positive is fast
    uint64_t buffer = 32768;  // samples per arrival (64 KiB, as the recorder asks for)
    double seconds = 300;     // of samples
    double event_at = 0;      // true time of the event, s; 0: none
    double loss_s = 0;        // samples of this long lost at event_at
    double stall_s = 0;       // arrivals held back this long, nothing lost
    double step_s = 0;        // the wall clock steps by this at event_at
    bool unpaced = false;     // arrivals 10 us apart: a file, not a live source
    uint32_t restarts = 0;    // restarts expected
};

struct Stamped {
    uint64_t first;
    uint64_t time_ns;
    double truth_ns;  // true instant after its last sample, wall clock, relative to kT0
};

struct ClockRun {
    std::vector<Stamped> records;
    std::vector<uint64_t> gaps;  // sample counts where the time base restarted
    uint64_t dropped = 0;
    uint64_t delivered = 0;
    double ppm = 0;
};

/// Feeds the scenario's arrivals to a fresh clock and collects every record.
ClockRun simulate(const Scenario& s, uint32_t seed) {
    SampleClock c;
    sample_clock_init(&c, s.rate);
    const double p_true = 1e9 / (s.rate * (1 + s.ppm * 1e-6));
    const double event_ns = s.event_at * 1e9;
    const double lost = std::floor(s.loss_s * 1e9 / p_true);
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> latency(0, 4e6);
    uint64_t gap_n = UINT64_MAX;      // samples delivered before the loss
    auto sampled = [&](uint64_t n) {  // true time after count n, before any clock step
        return (static_cast<double>(n) + (n > gap_n ? lost : 0)) * p_true;
    };
    auto wall = [&](double t) { return t + (s.step_s != 0 && t >= event_ns ? s.step_s * 1e9 : 0); };
    ClockRun run;
    auto collect = [&](bool flush) {
        ClockRecord r;
        while (sample_clock_next_record(&c, flush, &r))
            run.records.push_back(
                {r.first, r.time_ns, wall(sampled(r.first + kClockRecordSamples))});
    };
    int64_t last_a = kT0;
    const uint64_t total = static_cast<uint64_t>(s.seconds * s.rate);
    for (uint64_t n = s.buffer; n <= total; n += s.buffer) {
        if (s.loss_s > 0 && gap_n == UINT64_MAX && sampled(n) >= event_ns) gap_n = n - s.buffer;
        double t = sampled(n);
        double a = t + latency(rng);
        if (s.stall_s > 0 && t >= event_ns && t < event_ns + s.stall_s * 1e9)
            a = event_ns + s.stall_s * 1e9;
        int64_t arrival = kT0 + static_cast<int64_t>(wall(a));
        if (s.unpaced) arrival = kT0 + static_cast<int64_t>(n / s.buffer) * 10000;
        if (s.step_s >= 0) arrival = std::max(arrival, last_a);  // callbacks come in order
        last_a = arrival;
        int rc = sample_clock_arrival(&c, n, arrival);
        EXPECT_GE(rc, 0);
        if (rc == 1) run.gaps.push_back(c.last_gap_n);
        collect(false);
        run.delivered = n;
    }
    collect(true);
    run.dropped = c.dropped;
    run.ppm = sample_clock_ppm(&c);
    return run;
}

double error_ns(const Stamped& r) {
    return static_cast<double>(r.time_ns - kT0) - r.truth_ns;
}

struct Figures {
    double max_error_ns = 0;  // |time - truth|
    double step_ns = 0;       // |delta_k - delta_(k-1)|: record-to-record spread
    double rate_ns = 0;       // |delta_k - true block duration|
    double settle_s = 0;      // from `from` until |error| stays below 0.5 ms
};

/// Figures over the records whose truth lies between `from` and `to`
/// seconds; differences across a restart are left out.
Figures figures(const ClockRun& run, const Scenario& s, double from, double to = 1e9) {
    Figures f;
    const double block_true = kClockRecordSamples * 1e9 / (s.rate * (1 + s.ppm * 1e-6));
    double last_bad = from;
    for (size_t k = 2; k < run.records.size(); k++) {
        const Stamped& r = run.records[k];
        double t = r.truth_ns / 1e9;
        if (t < from || t > to) continue;
        double e = std::fabs(error_ns(r));
        if (e > 0.5e6) last_bad = t;
        f.max_error_ns = std::max(f.max_error_ns, e);
        const Stamped& p = run.records[k - 1];
        const Stamped& q = run.records[k - 2];
        bool across = false;
        for (uint64_t g : run.gaps) across |= g >= q.first && g < r.first + kClockRecordSamples;
        if (across) continue;
        double d1 = static_cast<double>(r.time_ns - p.time_ns);
        double d0 = static_cast<double>(p.time_ns - q.time_ns);
        f.step_ns = std::max(f.step_ns, std::fabs(d1 - d0));
        f.rate_ns = std::max(f.rate_ns, std::fabs(d1 - block_true));
    }
    f.settle_s = last_bad - from;
    return f;
}

void print(const char* name, const char* what, const Figures& f) {
    printf(
        "%-20s %-18s max error %6.1f us, record-to-record %5.1f ns, to true duration %6.1f ns,"
        " settled %5.2f s\n",
        name, what, f.max_error_ns / 1e3, f.step_ns, f.rate_ns, f.settle_s);
}

/// Records in order, strictly later each, back to back except for less
/// than a record dropped before each gap.
void expect_well_formed(const ClockRun& run, const char* name) {
    ASSERT_FALSE(run.records.empty()) << name;
    EXPECT_EQ(run.records[0].first, 0u) << name;
    uint64_t skipped = 0;
    for (size_t k = 1; k < run.records.size(); k++) {
        const Stamped& p = run.records[k - 1];
        const Stamped& r = run.records[k];
        ASSERT_GT(r.time_ns, p.time_ns) << name << " record " << k;
        ASSERT_GE(r.first, p.first + kClockRecordSamples) << name << " record " << k;
        ASSERT_LT(r.first, p.first + 2 * kClockRecordSamples) << name << " record " << k;
        skipped += r.first - p.first - kClockRecordSamples;
    }
    EXPECT_EQ(skipped, run.dropped) << name;
    EXPECT_LT(run.dropped, uint64_t{kClockRecordSamples} * (run.gaps.size() + 1)) << name;
    // The flush at the end takes every complete record.
    uint64_t end = run.records.back().first + kClockRecordSamples;
    EXPECT_LE(end, run.delivered) << name;
    EXPECT_LT(run.delivered - end, uint64_t{kClockRecordSamples}) << name;
}

}  // namespace

// Live sources: steady, crystals off, a loss, late batches. Three seeds
// each; the bounds hold for every one.
TEST(SampleClock, LiveSources) {
    const Scenario scenarios[] = {
        {.name = "steady"},
        {.name = "80 ppm fast", .ppm = 80},
        {.name = "80 ppm slow", .ppm = -80},
        {.name = "2.0 MS/s 100 ppm", .rate = 2000000, .ppm = 100},
        {.name = "3.2 MS/s -100 ppm", .rate = 3200000, .ppm = -100},
        {.name = "odd reads", .ppm = 40, .buffer = 30001},
        {.name = "2 s lost", .ppm = 30, .event_at = 120, .loss_s = 2, .restarts = 1},
        {.name = "2 s lost, odd reads",
         .ppm = -60,
         .buffer = 30001,
         .event_at = 120,
         .loss_s = 2,
         .restarts = 1},
        {.name = "20 ms lost", .ppm = 50, .event_at = 120, .loss_s = 0.02, .restarts = 1},
        {.name = "late batch 1 s", .ppm = -30, .event_at = 120, .stall_s = 1},
        {.name = "late batch 2 s", .ppm = 70, .event_at = 120, .stall_s = 2},
    };
    for (const Scenario& s : scenarios) {
        for (uint32_t seed = 1; seed <= 3; seed++) {
            ClockRun run = simulate(s, seed);
            expect_well_formed(run, s.name);
            ASSERT_EQ(run.gaps.size(), s.restarts) << s.name << " seed " << seed;
            EXPECT_NEAR(run.ppm, s.ppm, 3) << s.name << " seed " << seed;
            Figures all = figures(run, s, 0);
            Figures steady = figures(run, s, 120);
            if (seed == 1) {
                print(s.name, "whole run", all);
                print(s.name, "after 120 s", steady);
            }
            // Within a millisecond of the wall clock from the first record on.
            EXPECT_LT(all.max_error_ns, 1e6) << s.name << " seed " << seed;
            EXPECT_LT(steady.max_error_ns, 0.5e6) << s.name << " seed " << seed;
            // Durations change by 1 ns at most, plus the rounding to whole ns.
            EXPECT_LE(all.step_ns, 2) << s.name << " seed " << seed;
            EXPECT_LE(steady.rate_ns, 40) << s.name << " seed " << seed;
            if (s.restarts) {
                // The gap is in the 0.25 s before the restart's sample count.
                ASSERT_EQ(run.gaps.size(), 1u);
                double after = s.event_at + s.loss_s;
                Figures first = figures(run, s, after, after + 1);
                if (seed == 1) print(s.name, "first second after", first);
                EXPECT_LT(first.max_error_ns, 1e6) << s.name << " seed " << seed;
                EXPECT_EQ(first.settle_s, 0) << s.name << " seed " << seed;
            }
        }
    }
}

// The wall clock steps: forward it is a restart like a loss; back, the
// records may not follow at once (never a step back) and slew at the
// correction limit instead.
TEST(SampleClock, WallClockSteps) {
    {
        Scenario s{.name = "clock +1 s", .ppm = 20, .event_at = 100, .step_s = 1};
        ClockRun run = simulate(s, 4);
        expect_well_formed(run, s.name);
        EXPECT_EQ(run.gaps.size(), 1u);
        EXPECT_LT(figures(run, s, 100.5).max_error_ns, 1e6);
    }
    {
        Scenario s{.name = "clock -1 s", .ppm = -20, .event_at = 100, .step_s = -1};
        ClockRun run = simulate(s, 5);
        expect_well_formed(run, s.name);
        EXPECT_EQ(run.gaps.size(), 1u);
        const double block = kClockRecordSamples * 1e9 / (s.rate * (1 + s.ppm * 1e-6));
        double first_error = 0, last_error = 0;
        for (size_t k = 1; k < run.records.size(); k++) {
            const Stamped& r = run.records[k];
            if (r.truth_ns < 101e9) continue;
            double d = static_cast<double>(r.time_ns - run.records[k - 1].time_ns);
            ASSERT_GT(d, block * (1 - 1.1e-3)) << "record " << k;
            ASSERT_LT(d, block * (1 + 1e-4)) << "record " << k;
            if (first_error == 0) first_error = error_ns(r);
            last_error = error_ns(r);
        }
        // About 1 s ahead after the step, 1 ms less every second after.
        EXPECT_GT(first_error, 0.9e9);
        EXPECT_NEAR(first_error - last_error, 199 * 1e6, 10e6);
    }
}

// A file on standard input comes much faster than real time: no restart,
// records at the nominal block duration from the first arrival on.
TEST(SampleClock, UnpacedInput) {
    Scenario s{.name = "unpaced", .seconds = 60, .unpaced = true};
    ClockRun run = simulate(s, 6);
    expect_well_formed(run, s.name);
    EXPECT_EQ(run.gaps.size(), 0u);
    const double block = kClockRecordSamples * 1e9 / s.rate;
    for (size_t k = 1; k < run.records.size(); k++) {
        double d = static_cast<double>(run.records[k].time_ns - run.records[k - 1].time_ns);
        ASSERT_NEAR(d, block, 1.0) << "record " << k;
    }
    // The first quarter second of arrivals says the reading started about
    // 0.25 s before the first arrival (each came only 10 us after the last).
    double first = static_cast<double>(static_cast<int64_t>(run.records[0].time_ns - kT0));
    EXPECT_LT(first, 0);
    EXPECT_GT(first, -0.3e9);
}

TEST(SampleClock, ArrivalsInOrderOnly) {
    SampleClock c;
    sample_clock_init(&c, 2400000);
    ClockRecord r;
    EXPECT_FALSE(sample_clock_next_record(&c, true, &r));  // nothing arrived yet
    EXPECT_EQ(sample_clock_arrival(&c, 10000, kT0), 0);
    EXPECT_EQ(sample_clock_arrival(&c, 10000, kT0 + 1000), 0);  // no new samples
    EXPECT_EQ(sample_clock_arrival(&c, 9999, kT0 + 2000), -1);
    // Only complete records are released, and only with the hold unless flushed.
    EXPECT_FALSE(sample_clock_next_record(&c, false, &r));
    ASSERT_TRUE(sample_clock_next_record(&c, true, &r));
    EXPECT_EQ(r.first, 0u);
    ASSERT_TRUE(sample_clock_next_record(&c, true, &r));
    EXPECT_EQ(r.first, 4096u);
    EXPECT_FALSE(sample_clock_next_record(&c, true, &r));
}
