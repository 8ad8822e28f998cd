#include "lib/sample_clock.h"

#include <algorithm>
#include <cmath>

namespace {

/// Signed sample distance b - a.
double span(uint64_t a, uint64_t b) {
    return static_cast<double>(static_cast<int64_t>(b - a));
}

/// The line moved to the anchor `n` (same slope).
ClockLine line_at(const ClockLine& l, uint64_t n) {
    double f = l.frac_ns + span(l.n, n) * l.p_ns;
    double whole = std::floor(f);
    return {n, l.t_ns + static_cast<int64_t>(whole), f - whole, l.p_ns};
}

/// The line shifted by `ns` (may be negative).
void line_shift(ClockLine* l, double ns) {
    double f = l->frac_ns + ns;
    double whole = std::floor(f);
    l->t_ns += static_cast<int64_t>(whole);
    l->frac_ns = f - whole;
}

/// a - l(n) in ns.
double offset(const ClockLine& l, uint64_t n, int64_t a) {
    return static_cast<double>(a - l.t_ns) - l.frac_ns - span(l.n, n) * l.p_ns;
}

/// l(n) - m(n) in ns for the point `n`.
double line_diff(const ClockLine& l, const ClockLine& m, uint64_t n) {
    ClockLine a = line_at(l, n);
    ClockLine b = line_at(m, n);
    return static_cast<double>(a.t_ns - b.t_ns) + (a.frac_ns - b.frac_ns);
}

const ClockBin& bin_at(const SampleClock* c, int i) {
    return c->bins[(c->bin_head + i) % kClockBins];
}

void bin_push(SampleClock* c, const ClockBin& b) {
    if (c->bin_count == kClockBins) {
        c->bins[c->bin_head] = b;
        c->bin_head = (c->bin_head + 1) % kClockBins;
    } else {
        c->bins[(c->bin_head + c->bin_count) % kClockBins] = b;
        c->bin_count++;
    }
}

// A bin as a point of the fit: samples and ns from the current estimate's
// anchor, the ns against the nominal line through it.
struct FitPoint {
    double x, y;
    uint32_t segment;
};

FitPoint fit_point(const SampleClock* c, const ClockBin& b) {
    double x = span(c->est.n, b.n);
    double y = static_cast<double>(b.a_ns - c->est.t_ns) - c->est.frac_ns - x * c->p_nom;
    return {x, y, b.segment};
}

// The least-squares line through the closed bins (and the open bin while
// the current segment has no closed one): one slope, one offset per
// segment; the estimate becomes the newest segment's line.
void refit(SampleClock* c) {
    int n_points = c->bin_count + (c->segment_fitted || !c->open_valid ? 0 : 1);
    if (n_points == 0) return;
    auto point = [&](int i) {
        return i < c->bin_count ? fit_point(c, bin_at(c, i)) : fit_point(c, c->open);
    };
    // Segments are contiguous, oldest first: two passes per segment.
    double sxx = 0, sxy = 0;
    double mean_x = 0, mean_y = 0;  // of the newest segment
    for (int i = 0; i < n_points;) {
        FitPoint first = point(i);
        int j = i;
        double sx = 0, sy = 0;
        for (; j < n_points && point(j).segment == first.segment; j++) {
            FitPoint p = point(j);
            sx += p.x;
            sy += p.y;
        }
        mean_x = sx / (j - i);
        mean_y = sy / (j - i);
        for (int k = i; k < j; k++) {
            FitPoint p = point(k);
            sxx += (p.x - mean_x) * (p.x - mean_x);
            sxy += (p.x - mean_x) * (p.y - mean_y);
        }
        i = j;
    }
    // ns per sample beyond nominal; no crystal is off by more than 200 ppm.
    double b = std::clamp(sxy / (sxx + c->lambda), -2e-4 * c->p_nom, 2e-4 * c->p_nom);
    // New anchor at the newest segment's centre.
    double anchor = std::round(mean_x);
    ClockLine l = line_at({c->est.n, c->est.t_ns, c->est.frac_ns, c->p_nom},
                          c->est.n + static_cast<uint64_t>(static_cast<int64_t>(anchor)));
    line_shift(&l, mean_y + b * (anchor - mean_x));
    l.p_ns = c->p_nom + b;
    c->est = l;
}

// An arrival that fits the estimate: kept when it is its bin's earliest.
void bin_add(SampleClock* c, uint64_t n, int64_t a, double x) {
    uint64_t index = n / c->bin_samples;
    if (c->open_valid && index != c->open_index) {
        bin_push(c, c->open);
        c->open_valid = false;
        c->segment_fitted = true;
        refit(c);
        x = offset(c->est, n, a);
    }
    if (!c->open_valid || x < c->open_x) {
        c->open = {n, a, c->segment};
        c->open_x = x;
        c->open_index = index;
        c->open_valid = true;
        if (!c->segment_fitted) {
            refit(c);
            c->open_x = 0;
        }
    }
    c->normal_n = n;
}

// The arrivals held apart kept their distance at real pace: start a new
// segment at the earliest of them.
void restart(SampleClock* c) {
    ClockLine before = c->est;
    if (c->open_valid) {
        bin_push(c, c->open);
        c->open_valid = false;
    }
    c->segment++;
    c->segment_fitted = false;
    line_shift(&c->est, c->run_min_x);
    c->open = {c->run_min_n, c->run_min_a, c->segment};
    c->open_index = c->run_min_n / c->bin_samples;
    c->open_x = 0;
    c->open_valid = true;
    refit(c);
    if (!c->pending) {
        c->pending = true;
        c->pending_before = before;
        // Records already past the gap keep their times; the new base
        // starts with the next one.
        c->pending_n = c->run_gap_n > c->grid ? c->run_gap_n : c->grid;
    }
    c->restarts++;
    c->last_jump_ns = c->run_min_x;
    c->last_gap_n = c->run_gap_n;
    c->run_active = false;
    c->normal_n = c->last_n;
}

// Stamps the record ending at `end` on the line `target`.
uint64_t stamp(SampleClock* c, const ClockLine& target, uint64_t end) {
    double dn = span(c->out.n, end);
    double e = line_diff(target, c->out, c->out.n);
    // A quick loop while the rate is being learnt, a smooth one after.
    double elapsed = static_cast<double>(end) / c->rate;
    double tau = std::min(kClockTauSeconds, kClockTauStartSeconds + elapsed / 4);
    double corr = e * dn / (tau * c->rate);
    double limit = kClockMaxSlew * dn * c->p_nom;
    corr = std::clamp(corr, -limit, limit);
    // The record's duration may change by at most a nanosecond from the
    // previous record's: refits and restarts move the estimate in small
    // jumps, the records follow smoothly.
    double duration = dn * target.p_ns + corr;
    if (c->last_duration_ns > 0)
        duration = std::clamp(duration, c->last_duration_ns - kClockMaxStepNs,
                              c->last_duration_ns + kClockMaxStepNs);
    c->last_duration_ns = duration;
    ClockLine next = c->out;
    next.p_ns = 0;
    next = line_at(next, end);
    line_shift(&next, duration);
    c->out = next;
    uint64_t t = static_cast<uint64_t>(c->out.t_ns) + (c->out.frac_ns >= 0.5 ? 1 : 0);
    if (c->out_started && t <= c->last_time_ns) t = c->last_time_ns + 1;  // never back
    c->last_time_ns = t;
    return t;
}

}  // namespace

void sample_clock_init(SampleClock* c, uint32_t rate) {
    *c = SampleClock{};
    c->rate = rate;
    c->p_nom = 1e9 / rate;
    c->bin_samples = rate >= 4 ? rate / 4 : 1;
    // The first record then waits until the first bin has closed, so that
    // it starts on an estimate made of a quarter second of arrivals.
    c->hold_samples = c->bin_samples;
    c->confirm_ns = 1e8;
    // The slope's prior: nominal, give or take 100 ppm, against bin minima
    // that scatter by about 0.2 ms: (2e5 ns / (1e-4 * p_nom))^2 = 4 rate^2.
    c->lambda = 4.0 * rate * rate;
}

namespace {

// Arrivals more than kClockGapNs off the estimate begin a run, held apart.
void run_start(SampleClock* c, uint64_t n, int64_t a, double x) {
    c->run_active = true;
    c->run_sign = x > 0 ? 1 : -1;
    c->run_gap_n = c->normal_n;
    c->run_anchor_n = n;
    c->run_anchor_a = a;
    c->run_min_x = x;
    c->run_min_n = n;
    c->run_min_a = a;
}

// One more arrival of a run: 1 when the run kept its distance at real pace
// (the time base restarted), 0 while it goes on, -1 when the arrival is back
// near the estimate (the run was a late batch and is dropped).
int run_step(SampleClock* c, uint64_t n, int64_t a, double x) {
    if (x * c->run_sign <= kClockGapNs) {
        c->run_active = false;
        return -1;
    }
    if (x < c->run_min_x) {
        c->run_min_x = x;
        c->run_min_n = n;
        c->run_min_a = a;
    }
    double sample_ns = span(c->run_anchor_n, n) * c->p_nom;
    if (sample_ns < c->confirm_ns) return 0;
    // At real pace the wall clock moved as the samples did; a late batch
    // drains much faster: look again over the next stretch.
    if (static_cast<double>(a - c->run_anchor_a) >= 0.5 * sample_ns) {
        restart(c);
        return 1;
    }
    c->run_anchor_n = n;
    c->run_anchor_a = a;
    return 0;
}

}  // namespace

int sample_clock_arrival(SampleClock* c, uint64_t samples, int64_t arrival_ns) {
    if (c->started && samples < c->last_n) return -1;
    if (c->started && samples == c->last_n) return 0;
    if (!c->started) {
        c->started = true;
        c->est = {samples, arrival_ns, 0.0, c->p_nom};
        c->last_n = samples;
        bin_add(c, samples, arrival_ns, 0.0);
        return 0;
    }
    c->last_n = samples;
    double x = offset(c->est, samples, arrival_ns);
    if (c->run_active) {
        int rc = run_step(c, samples, arrival_ns, x);
        if (rc >= 0) return rc;
    }
    // Earlier than a young estimate is a better floor, not a jump.
    bool early_ok = !c->segment_fitted && x < 0;
    if (std::fabs(x) <= kClockGapNs || early_ok) {
        bin_add(c, samples, arrival_ns, x);
    } else {
        run_start(c, samples, arrival_ns, x);
    }
    return 0;
}

bool sample_clock_next_record(SampleClock* c, bool flush, ClockRecord* r) {
    if (!c->started) return false;
    uint64_t limit =
        flush ? c->last_n : (c->last_n > c->hold_samples ? c->last_n - c->hold_samples : 0);
    uint64_t first = c->grid;
    bool restart_here = c->pending && first + kClockRecordSamples > c->pending_n;
    if (restart_here && first < c->pending_n) first = c->pending_n;
    uint64_t end = first + kClockRecordSamples;
    if (end > limit) return false;
    if (restart_here) {
        // The new base at the gap; never earlier than the old one there.
        ClockLine fresh = line_at(c->est, first);
        if (c->out_started) {
            ClockLine old = c->out;
            old.p_ns = c->pending_before.p_ns;
            old = line_at(old, first);
            if (line_diff(fresh, old, first) < 0) fresh = old;
        }
        c->out = fresh;
        c->out_started = true;
        c->dropped += first - c->grid;
        c->pending = false;
    }
    const ClockLine& target = c->pending ? c->pending_before : c->est;
    if (!c->out_started) c->out = line_at(target, first);
    r->first = first;
    r->time_ns = stamp(c, target, end);
    c->out_started = true;
    c->grid = end;
    return true;
}

double sample_clock_ppm(const SampleClock* c) {
    return (c->p_nom / c->est.p_ns - 1.0) * 1e6;
}
