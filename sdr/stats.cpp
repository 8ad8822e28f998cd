// Statistics report: blocks, CPU use, frames per downlink format, the
// detection funnel (peak -> rms -> corr -> ok), noise floor and level range,
// then the aircraft heard in the interval.
//
// CPU use is given in hundredths of a percent: (CPU time delta * 10000) /
// wall-clock delta, both in units of 2^-32 s. The product needs up to 78
// bits (a CPU time of 2^64 units times 10000), so it is formed in 128 bits
// from two 64-bit halves and divided bit by bit; the 32-bit target has no
// 128-bit integer type.
//
// The decibel figures need only the decimal logarithm of a level, an
// integer: it is computed here, so that the service does not load the
// mathematics library (about half a megabyte of resident memory) for it.
#include "sdr/stats.h"

#include <sys/resource.h>

#include <bit>
#include <cinttypes>
#include <cmath>
#include <cstring>

#include "sdr/log.h"

namespace {

constexpr char kModule[] = "sdr/stats";
constexpr double kLog10Of256 = 2.40823996531185;
constexpr int kBins = 16;
/// Formats listed in the per-format line, in this order.
constexpr int kListedFormats[] = {4, 5, 11, 17, 20, 21};

uint32_t sum_bins(const uint32_t* bins) {
    uint32_t sum = 0;
    for (int i = 0; i < kBins; i++) sum += bins[i];
    return sum;
}

uint32_t quotient_or_zero(uint32_t a, uint32_t b) {
    return b == 0 ? 0 : a / b;
}

/// Hundredths of a percent of `elapsed` spent in `cpu_delta`; 0 when no
/// wall-clock time has passed (or the clock went back).
int64_t cpu_share(TimeStamp cpu_delta, int64_t elapsed) {
    if (elapsed <= 0) return 0;
    return scaled_quotient(static_cast<int64_t>(cpu_delta), 10000U, elapsed);
}

void print_cpu_line(const DecoderStats* stats, int64_t sys, int64_t user) {
    // The time text with "_" between date and time ("2017/07/14_02:40:00Z"):
    // the year of a 32-bit seconds word has four digits.
    char when[80];
    time_text(when, sizeof(when), stats->last_candidate_toa);
    when[10] = '_';
    log_debug(DBG_STATISTICS,
              "msg stats: proc/skip:[%d/%d] sys: %" PRId64 ".%02" PRId64 "%% user: %" PRId64
              ".%02" PRId64 "%% [%s]\n",
              static_cast<int>(stats->n_blocks), static_cast<int>(stats->skipped_blocks), sys / 100,
              sys % 100, user / 100, user % 100, when);
}

void print_formats(const DecoderStats* stats) {
    for (int df : kListedFormats) {
        uint32_t received = stats->received[df];
        uint32_t rejected = stats->rejected[df];
        if (received > 0) {
            float err = 100.0f * static_cast<float>(rejected) / static_cast<float>(received);
            log_debug(DBG_STATISTICS, "[%d] %d ok:%d  err:%0.2f%%;  ", df,
                      static_cast<int>(received), static_cast<int>(received - rejected),
                      static_cast<double>(err));
        } else {
            VX_ASSERT(kModule, rejected == 0);
            log_debug(DBG_STATISTICS, "[%d] X;  ", df);
        }
    }
    log_debug(DBG_STATISTICS, "\n");
}

float percent(uint32_t part, uint32_t whole) {
    return 100.0f * static_cast<float>(part) / static_cast<float>(whole);
}

void print_trigger_table(const DecoderStats* stats) {
    log_debug(DBG_DECODE1, "trigger stats:\n");
    log_debug(DBG_DECODE1, "lvl:    peak => rms => corr => ok\n");
    for (int j = 0; j < kBins; j++) {
        uint32_t peak = stats->peak_bins[j];
        uint32_t rms = stats->rms_bins[j];
        uint32_t corr = stats->corr_bins[j];
        uint32_t ok = stats->ok_bins[j];
        if (peak == 0) continue;
        log_debug(DBG_DECODE1, "%2d: %8d => %2.0f%%", j, static_cast<int>(peak),
                  static_cast<double>(percent(rms, peak)));
        if (rms != 0) {
            log_debug(DBG_DECODE1, " => %2.0f%%", static_cast<double>(percent(corr, rms)));
        }
        if (corr != 0) {
            log_debug(DBG_DECODE1, " => %2.0f%% (%d)", static_cast<double>(percent(ok, corr)),
                      static_cast<int>(ok));
        }
        log_debug(DBG_DECODE1, "\n");
    }
}

void reset_interval(DecoderStats* stats) {
    stats->n_blocks = 0;
    stats->skipped_blocks = 0;
    for (int i = 0; i < kBins; i++) {
        stats->peak_bins[i] = 0;
        stats->rms_bins[i] = 0;
        stats->corr_bins[i] = 0;
        stats->ok_bins[i] = 0;
    }
    for (int i = 0; i < 32; i++) {
        stats->received[i] = 0;
        stats->rejected[i] = 0;
    }
    stats->candidate_level = kLevelStatsReset;
    stats->rejected_level = kLevelStatsReset;
    stats->accepted_level = kLevelStatsReset;
    stats->noise_level.min = kLevelStatsReset.min;
    stats->noise_level.max = kLevelStatsReset.max;
}

}  // namespace

int64_t scaled_quotient(int64_t num, uint32_t scale, int64_t den) {
    bool negative = (num < 0) != (den < 0);
    uint64_t a = num < 0 ? 0 - static_cast<uint64_t>(num) : static_cast<uint64_t>(num);
    uint64_t b = den < 0 ? 0 - static_cast<uint64_t>(den) : static_cast<uint64_t>(den);
    if (b == 0) return 0;
    // a * scale as hi:lo, 128 bits.
    uint64_t low_part = (a & 0xFFFFFFFFU) * scale;
    uint64_t high_part = (a >> 32) * scale;
    uint64_t lo = low_part + (high_part << 32);
    uint64_t hi = (high_part >> 32) + (lo < low_part ? 1 : 0);
    // Restoring division, one bit at a time; the remainder stays below b.
    uint64_t q_hi = 0;
    uint64_t q_lo = 0;
    uint64_t r = 0;
    for (int i = 127; i >= 0; i--) {
        uint64_t bit = i >= 64 ? (hi >> (i - 64)) & 1U : (lo >> i) & 1U;
        bool carry = (r >> 63) != 0;
        r = r << 1 | bit;
        if (carry || r >= b) {
            r -= b;
            if (i >= 64) {
                q_hi |= 1ULL << (i - 64);
            } else {
                q_lo |= 1ULL << i;
            }
        }
    }
    if (q_hi != 0 || q_lo > static_cast<uint64_t>(INT64_MAX))
        return negative ? INT64_MIN : INT64_MAX;
    int64_t q = static_cast<int64_t>(q_lo);
    return negative ? -q : q;
}

double decimal_log(int32_t level) {
    if (level == 0) return -HUGE_VAL;
    if (level < 0) return __builtin_nan("");
    // level = m * 2^e with m in [sqrt(1/2), sqrt(2)).
    uint32_t u = static_cast<uint32_t>(level);
    int e = 31 - std::countl_zero(u);
    double m = static_cast<double>(u) / static_cast<double>(1ULL << e);
    if (m > 1.4142135623730951) {
        m *= 0.5;
        e += 1;
    }
    // ln m = 2 atanh(s) = 2 (s + s^3/3 + s^5/5 + ...), s = (m - 1) / (m + 1),
    // |s| < 0.172: eleven terms are exact to the last bit of a double.
    double s = (m - 1.0) / (m + 1.0);
    double s2 = s * s;
    double series = 1.0 / 23;
    for (int k = 21; k >= 1; k -= 2) series = 1.0 / k + s2 * series;
    double ln_m = 2.0 * s * series;
    // log10(level) = e * log10(2) + ln(m) / ln(10), log10(2) split in two
    // parts so that e * log10(2) loses nothing.
    constexpr double kLog10Of2Hi = 3.01029995663611771306e-01;
    constexpr double kLog10Of2Lo = 3.69423907715893078616e-13;
    constexpr double kInvLn10 = 4.34294481903251816668e-01;
    double z = e * kLog10Of2Lo + kInvLn10 * ln_m;
    return z + e * kLog10Of2Hi;
}

float level_db(int32_t level) {
    return static_cast<float>(20.0 * (decimal_log(level) - kLog10Of256 + 0.3));
}

namespace {

// The process's own system and user CPU time.
void cpu_times(TimeStamp* sys_time, TimeStamp* user_time) {
    struct rusage usage;
    int rc = getrusage(RUSAGE_SELF, &usage);
    VX_ASSERT(kModule, rc == 0);
    *sys_time = timeval_to_ts(usage.ru_stime.tv_sec, usage.ru_stime.tv_usec);
    *user_time = timeval_to_ts(usage.ru_utime.tv_sec, usage.ru_utime.tv_usec);
}

}  // namespace

void stats_start(DecoderStats* stats, TimeStamp now) {
    memset(stats, 0, sizeof *stats);
    stats->report_time = now;
    stats->candidate_level = kLevelStatsReset;
    stats->rejected_level = kLevelStatsReset;
    stats->accepted_level = kLevelStatsReset;
    stats->noise_level = kLevelStatsReset;
    // The first report relates the CPU time used in this attempt to the
    // time since it began, not the whole process's CPU time.
    cpu_times(&stats->cpu_sys, &stats->cpu_user);
}

int stats_report(DecoderStats* stats, TimeStamp now, int32_t peak_mag) {
    TimeStamp sys_time;
    TimeStamp user_time;
    cpu_times(&sys_time, &user_time);
    int64_t elapsed = ts_diff(now, stats->report_time);
    int64_t sys = cpu_share(sys_time - stats->cpu_sys, elapsed);
    int64_t user = cpu_share(user_time - stats->cpu_user, elapsed);
    stats->cpu_sys = sys_time;
    stats->cpu_user = user_time;
    stats->report_time = now;

    print_cpu_line(stats, sys, user);
    print_formats(stats);

    uint32_t peaks = sum_bins(stats->peak_bins);
    uint32_t chunks = sum_bins(stats->corr_bins);
    uint32_t frames = sum_bins(stats->ok_bins);
    log_debug(DBG_STATISTICS, "peaks: %d chunks: %d frames: %d (%dx%d)\n", static_cast<int>(peaks),
              static_cast<int>(chunks), static_cast<int>(frames),
              static_cast<int>(quotient_or_zero(peaks, chunks)),
              static_cast<int>(quotient_or_zero(chunks, frames)));

    print_trigger_table(stats);

    const LevelStats& noise = stats->noise_level;
    log_debug(DBG_STATISTICS, "noise floor: %0.1f (%d %d %d) peak:%0.1f (%d)\n",
              static_cast<double>(level_db(noise.track) - 36.0f), noise.min, noise.track >> 3,
              noise.max, static_cast<double>(level_db(peak_mag)), peak_mag);

    const LevelStats& acc = stats->accepted_level;
    if (acc.max == kLevelStatsReset.max) {
        log_debug(DBG_STATISTICS, "no msg received\n");
    } else {
        log_debug(DBG_STATISTICS, "frame range: %0.1f (%d) .. %0.1f (%d)\n",
                  static_cast<double>(level_db(acc.min)), acc.min,
                  static_cast<double>(level_db(acc.max)), acc.max);
    }

    reset_interval(stats);
    return static_cast<int>(frames);
}

void aircraft_report(AircraftTable* table, TimeStamp since) {
    if ((debug_mask & DBG_DECODE2) == 0) return;
    int count = 0;
    for (AircraftEntry& e : table->entries) {
        if (e.address == 0) continue;
        if (static_cast<int64_t>(e.last_seen) < static_cast<int64_t>(since)) continue;
        count++;
        double offset = e.freq_offset / 10.0;
        double spread = e.freq_spread / 10.0;
        if (e.callsign[0] != '\0') {
            log_debug(DBG_DECODE2, "%06x %8s %3.2fkHz (%4.2f) lvl", e.address, e.callsign, offset,
                      spread);
        } else {
            log_debug(DBG_DECODE2, "%06x -        %+7.2fkHz (%4.2f) lvl", e.address, offset,
                      spread);
        }
        if (e.level.max == kLevelStatsReset.max) {
            log_debug(0xFFFF, "[no sample]");
        } else {
            log_debug(0xFFFF, "[%5.1f %5.1f %5.1f]", static_cast<double>(level_db(e.level.max)),
                      static_cast<double>(level_db(e.level.track >> 3)),
                      static_cast<double>(level_db(e.level.min)));
        }
        log_debug(
            DBG_DECODE2, " ex[%3d/%3d] cb[%2d]\n", e.es_ok,
            static_cast<int32_t>(static_cast<uint32_t>(e.es_ok) + static_cast<uint32_t>(e.es_bad)),
            e.commb);
        e.es_ok = 0;
        e.es_bad = 0;
        e.commb = 0;
    }
    if (count > 0) log_debug(DBG_STATISTICS, "cnt: %3d\n", count);
}

void recovered_report(DecoderStats* stats) {
    const FunnelStats& f = stats->funnel;
    log_debug(DBG_STATISTICS,
              "funnel: triggers %u, rejected by second pulse %u, data level %u, ratio %u, "
              "flatness %u, score %u; sliced %u, out of order %u\n",
              static_cast<unsigned>(f.triggers), static_cast<unsigned>(f.second_pulse),
              static_cast<unsigned>(f.data_level), static_cast<unsigned>(f.ratio),
              static_cast<unsigned>(f.flatness), static_cast<unsigned>(f.score),
              static_cast<unsigned>(f.sliced), static_cast<unsigned>(f.out_of_order));
    stats->funnel = {};
    const RecoveredStats& r = stats->recovered;
    log_debug(DBG_STATISTICS, "recovered: retry %u 1-bit %u 2-bit %u 3-bit %u 4-bit %u\n",
              static_cast<unsigned>(r.retry), static_cast<unsigned>(r.one_bit),
              static_cast<unsigned>(r.two_bit), static_cast<unsigned>(r.three_bit),
              static_cast<unsigned>(r.four_bit));
    stats->recovered = {};
}

void front_report(const CentreState* centre, DecoderStats* stats) {
    auto fixed2 = [](int32_t est, int32_t* whole, int32_t* frac) {
        const int32_t h = (static_cast<int64_t>(est) * 100 + 32768) >> 16;
        *whole = h / 100;
        *frac = h % 100;
    };
    int32_t wi, fi, wq, fq;
    fixed2(centre->est_i, &wi, &fi);
    fixed2(centre->est_q, &wq, &fq);
    log_debug(DBG_STATISTICS,
              "front end: centre I %d.%02d Q %d.%02d, magnitudes from %u %u, moved %u; "
              "clipped preambles %u, decoded %u\n",
              wi, fi, wq, fq, static_cast<unsigned>(centre->use_i),
              static_cast<unsigned>(centre->use_q), static_cast<unsigned>(centre->moves),
              static_cast<unsigned>(stats->clipped), static_cast<unsigned>(stats->clipped_ok));
    stats->clipped = 0;
    stats->clipped_ok = 0;
}
