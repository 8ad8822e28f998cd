// The slice input: exact magnitudes from the set-up's table, resampled
// output by output.
#include "sdr/demod/slice_input.h"

#include <algorithm>
#include <cstring>

#include "sdr/demod/centre.h"
#include "sdr/demod/scan_kernels.h"
#include "sdr/demod/slice_kernels.h"
#include "sdr/log.h"
#include "sdr/signal_proc.h"

namespace {

constexpr char kModule[] = "sdr/demod/slice_input";
static_assert(128 + kCentreRange < kAbsSpan, "every distance from a centre has its entry");

/// Exact magnitudes of the candidate's pairs start + [have, need): the
/// history below history_len, then the block. The kBranchPadded entries
/// behind them read as 0: the padded filter reads up to two beyond the
/// last input it needs, always with a zero tap.
void slice_input_fill(SliceInput* in, int need) {
    const Context* ctx = in->ctx;
    const int16_t* const table = demod_tables().exact;
    const uint8_t* const di = in->dist_i;
    const uint8_t* const dq = in->dist_q;
    const int hist = static_cast<int>(ctx->history_len);
    const int start = in->start;
    int16_t* const exact = in->buf + kSliceFrontPad;
    const int split = std::clamp(hist - start, in->have, need);
    auto put = [&](const uint8_t* pair, int from, int to) {
        for (int i = from; i < to; i++, pair += 2) {
            exact[i] = table[di[pair[0]] * kAbsSpan + dq[pair[1]]];
        }
    };
    if (split > in->have) put(ctx->samples + 2 * (start + in->have), in->have, split);
    if (need > split) put(ctx->block + 2 * (start + split - hist), split, need);
    in->have = need;
    memset(exact + in->have, 0, sizeof(int16_t) * kBranchPadded);
}

}  // namespace

void slice_input_init(SliceInput* in, const Context* ctx, int32_t start, int32_t count) {
    VX_ASSERT(kModule, start >= 0 && start < kBlockPairs);
    VX_ASSERT(kModule, demod_tables().ready);
    const int hist = static_cast<int>(ctx->history_len);
    VX_ASSERT(kModule, count >= 0 && count <= kSliceInputs && start + count <= hist + kBlockPairs);
    const int n_out =
        static_cast<int>(static_cast<uint32_t>(hist) * ctx->resample_up / ctx->resample_down) + 1;
    VX_ASSERT(kModule, n_out <= kSliceResampled);
    in->ctx = ctx;
    in->start = start;
    in->count = count;
    in->have = 0;
    // A slicer called outside a scan (tests) reads from the nominal centre.
    in->dist_i = ctx->centre.ready ? ctx->centre.dist_i : kDistance.data();
    in->dist_q = ctx->centre.ready ? ctx->centre.dist_q : kDistance.data();
    in->produced = resample_count(count, kSliceResampled, static_cast<int>(ctx->resample_up),
                                  static_cast<int>(ctx->resample_down));
    if (count == hist) {
        in->produced = resample_count(hist, n_out, static_cast<int>(ctx->resample_up),
                                      static_cast<int>(ctx->resample_down));
    }
    // The zeros in front stand for the inputs before the first one, which
    // the filter's head reaches for the first outputs (at most 7 of them).
    memset(in->buf, 0, sizeof(int16_t) * (kSliceFrontPad + kBranchPadded));
}

int slice_clipped_bytes(const SliceInput& in, int from, int to) {
    const Context* ctx = in.ctx;
    const int hist = static_cast<int>(ctx->history_len);
    from = std::max(from, 0);
    to = std::min(to, in.count);
    int n = 0;
    for (int i = from; i < to; i++) {
        const int at = in.start + i;  // in ctx->samples: the history, then the block
        const uint8_t* pair = at < hist ? ctx->samples + 2 * at : ctx->block + 2 * (at - hist);
        n += (pair[0] == 0 || pair[0] == 255) + (pair[1] == 0 || pair[1] == 255);
    }
    return n;
}

void slice_input_need(SliceInput* in, int need) {
    VX_ASSERT(kModule, need <= in->count);
    if (need > in->have) slice_input_fill(in, need);
}

void slice_resample(SliceInput* in, int16_t* fine, int first, int count, int stride) {
    if (count <= 0) return;
    const Context* ctx = in->ctx;
    const int L = static_cast<int>(ctx->resample_up);
    const int M = static_cast<int>(ctx->resample_down);
    const int N = static_cast<int>(ctx->filter_taps);
    const int half = N / 2;
    const int produced = in->produced;
    const int need = resample_inputs_needed(first + (count - 1) * stride, in->count, N, L, M);
    if (need > in->have) slice_input_fill(in, need);
    const int16_t* const exact = in->buf + kSliceFrontPad;
    const auto& branches = demod_tables().branches;
    // Output n reads branch r = (half - n M) mod L of the filter from
    // the input ceil((n M - half) / L) = (n M - half + r) / L, which is
    // negative while the filter's head hangs before the first input
    // (n M - half >= -7 L). Both follow n by steps of stride M = qd L + rd.
    const int e = first * M - half;
    int r = (-e) % L;
    if (r < 0) r += L;
    int at = (e + r) / L;  // exact division
    const int qd = stride * M / L;
    const int rd = stride * M % L;
    auto step = [&] {
        r -= rd;
        at += qd;
        if (r < 0) {
            r += L;
            at++;
        }
    };
    int i = 0;
    if constexpr (kBranchGroup > 1) {
        // Groups of outputs while all of a group are produced: the sums wrap
        // modulo 2^32, so a group can be reduced together in any order.
        const int valid =
            first < produced ? std::min(count, (produced - first + stride - 1) / stride) : 0;
        for (; i + kBranchGroup <= valid; i += kBranchGroup) {
            const int16_t* b[kBranchGroup];
            const int16_t* x[kBranchGroup];
#pragma GCC unroll 4
            for (int g = 0; g < kBranchGroup; g++) {
                b[g] = branches[r];
                x[g] = exact + at;
                step();
            }
            int16_t out[kBranchGroup];
            branch_outputs(b, x, out);
#pragma GCC unroll 4
            for (int g = 0; g < kBranchGroup; g++) fine[first + (i + g) * stride] = out[g];
        }
    }
    for (; i < count; i++) {
        const int n = first + i * stride;
        fine[n] = n < produced ? branch_output(branches[r], exact + at) : 0;
        step();
    }
}

int32_t fine_correlation(const int16_t* at) {
    const int16_t* t = demod_tables().fine_window + 6;  // the template, zeros behind it
    uint32_t acc = 0;
    for (int i = 0; i < kFineWindow; i++) acc += static_cast<uint32_t>(at[i] * t[i]);
    return static_cast<int32_t>(acc);
}

void fine_correlations(const int16_t* fine, int32_t* sums) {
    for (int k = -6; k <= 5; k++) {
        // sum over j = max(0, -k) .. 57 of fine[k + j] * fine_template[j],
        // modulo 2^32
        const int16_t* t = demod_tables().fine_window + 6 - k;
        uint32_t acc = 0;
        for (int i = 0; i < kFineWindow; i++) acc += static_cast<uint32_t>(fine[i] * t[i]);
        sums[k + 6] = static_cast<int32_t>(acc);
    }
}
