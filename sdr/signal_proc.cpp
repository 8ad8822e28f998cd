// Fixed-point primitives. The arithmetic every routine relies on:
//  - a Q12 product of two values below 2^15.5 each fits into 31 bits, which
//    is what the clz precondition of fx_mul states;
//  - fold + cubic: phi = b * 2^18 wraps onto the circle; reflecting the
//    second and third quarter turns (bits 31 and 30 differ) leaves the sine
//    unchanged, so a cubic that is exact at 0 and +-1 quarter turn suffices;
//  - the resampler works on the L-times upsampled grid: output n sits at
//    s = n*M, and only every L-th tap meets an input sample, so the taps of
//    one polyphase branch (P = N/L of them) make one output.
#include "sdr/signal_proc.h"

#include <algorithm>
#include <bit>
#include <cstdio>

#include "sdr/log.h"

namespace {

constexpr char kModule[] = "sdr/signal_proc";

uint32_t uabs(int32_t v) {
    return v < 0 ? 0U - static_cast<uint32_t>(v) : static_cast<uint32_t>(v);
}

/// clz(2|v| + 1): the headroom test of the Q12 helpers.
int headroom(int32_t v) {
    return std::countl_zero(2U * uabs(v) + 1U);
}

/// 32-bit wrapping product.
int32_t wrap_mul(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) * static_cast<uint32_t>(b));
}

int16_t saturate16(int32_t v) {
    if (v > INT16_MAX) return INT16_MAX;
    if (v < INT16_MIN) return INT16_MIN;
    return static_cast<int16_t>(v);
}

/// One output of the filters: a wrapping 32-bit sum of products, scaled by
/// 2^-12 (arithmetic shift) and saturated to int16.
int16_t finish_sum(uint32_t acc) {
    return saturate16(static_cast<int32_t>(acc) >> 12);
}

/// The low-pass taps without printing.
void lowpass_taps(int32_t cut, int16_t* h, int N) {
    VX_ASSERT(kModule, N >= 1);
    for (int i = 0; i < N; i++) {
        int32_t b = wrap_mul(2 * i - N, cut);  // sinc centred at tap N/2
        int32_t s = fx_sinc(b);
        int32_t f = fx_div(i, N) * 4 + 4096;            // Hann phase 2*pi*i/N + quarter turn
        int32_t w = 2048 - (fx_cub(fx_fold(f)) >> 17);  // 2048 * (1 - cos), Q12
        int32_t v = fx_mul(s, w);
        h[i] = static_cast<int16_t>(fx_mul(v, 8 * cut));
    }
}

void print_filter(const int16_t* h, int N) {
    fprintf(stderr, "\n{");
    for (int i = 0; i < N; i++) fprintf(stderr, "%d, ", h[i]);
    fprintf(stderr, "};\n");
}

/// Wirth's selection: partitions around the pivot until position k holds
/// the k-th smallest value.
template <typename T>
T kth_smallest(T* a, int n, int k) {
    VX_ASSERT(kModule, n > 0 && k >= 0 && k < n);
    int lo = 0;
    int hi = n - 1;
    while (lo < hi) {
        T pivot = a[k];
        int i = lo;
        int j = hi;
        do {
            while (a[i] < pivot) i++;
            while (pivot < a[j]) j--;
            if (i <= j) {
                T t = a[i];
                a[i] = a[j];
                a[j] = t;
                i++;
                j--;
            }
        } while (i <= j);
        if (j < k) lo = i;
        if (k < i) hi = j;
    }
    return a[k];
}

}  // namespace

int32_t fx_mul(int32_t a, int32_t b) {
    VX_ASSERT(kModule, headroom(a) + headroom(b) >= 31);
    return wrap_mul(a, b) >> 12;
}

int32_t fx_div(int32_t a, int32_t b) {
    VX_ASSERT(kModule, headroom(a) >= 12);
    VX_ASSERT(kModule, b != 0);
    return wrap_mul(a, 4096) / b;
}

FixedDivisor fixed_divisor(int32_t d) {
    VX_ASSERT(kModule, d >= 2 && d <= 1024);
    return {static_cast<uint32_t>((uint64_t{1} << 32) / static_cast<uint32_t>(d)) + 1U, d};
}

int32_t fx_fold(int32_t b) {
    uint32_t phi = static_cast<uint32_t>(b) << 18;  // 2^32 = one turn
    if (((phi >> 31) ^ (phi >> 30)) & 1U) phi = 0x80000000U - phi;
    return static_cast<int32_t>(phi) >> 18;  // -4096..4096
}

int32_t fx_cub(int32_t a) {
    VX_ASSERT(kModule, a >= -4096 && a <= 4096);
    return a * (98304 - ((a * a) >> 9));  // |result| <= 2^28
}

int32_t fx_sinc(int32_t b) {
    if (b == 0) return 4096;
    int32_t a = fx_fold(b);
    int32_t v = 98304 - ((a * a) >> 9);  // 2^16 .. 3 * 2^15
    int32_t q = fx_div(v, b);
    return wrap_mul(a, q) / 98304;
}

int32_t lanczos2(int32_t X) {
    if (X == 0) return 4096;
    if (X < -8191 || X > 8191) return 0;
    return fx_mul(fx_sinc(2 * X), fx_sinc(X));
}

void make_template(int32_t* out, int32_t scale, int n) {
    // Pulse times in Q12 us: the four preamble pulses and the second half of
    // the first data bit; the origin lies 1 us before the first pulse.
    static constexpr int32_t kPulses[] = {4096, 8192, 18432, 22528, 38912};
    VX_ASSERT(kModule, n >= 0 && n <= 1024);
    int32_t tmp[1024];
    for (int i = 0; i < n; i++) tmp[i] = 0;
    for (int32_t t : kPulses) {
        int32_t pos = fx_mul(t, scale);  // pulse position in samples, Q12
        for (int i = 0; i < n; i++) {
            int32_t x = i * 4096 - pos;
            int32_t X = fx_div(2 * x, scale >> 1);  // quarter us, Q12
            tmp[i] += lanczos2(X);
        }
    }
    int32_t mx = 1;
    if (n > 0) {
        int32_t sum = 0;
        for (int i = 0; i < n; i++) sum += tmp[i];
        int32_t mean = sum / n;
        int32_t largest = 0;
        for (int i = 0; i < n; i++) {
            tmp[i] -= mean;
            int32_t m = tmp[i] < 0 ? -tmp[i] : tmp[i];
            if (m > largest) largest = m;
        }
        mx = largest + 1;
    }
    for (int i = 0; i < n; i++) out[i] = fx_div(tmp[i], 16 * mx);  // tmp * 256 / mx
    fprintf(stderr, "\nmax %d\n", mx);
    fprintf(stderr, "{");
    for (int i = 0; i < n; i++) fprintf(stderr, "%d, ", out[i]);
    fprintf(stderr, "};\n");
}

void design_lowpass(int32_t cut, int16_t* h, int N) {
    lowpass_taps(cut, h, N);
    print_filter(h, N);
}

void design_highpass(int32_t cut, int16_t* h, int N) {
    lowpass_taps(4096 - cut, h, N);
    for (int i = 0; i < N; i++) {
        if ((i - N / 2) & 1) h[i] = static_cast<int16_t>(-h[i]);
    }
    print_filter(h, N);
}

void polyphase_reorder(int16_t* h, int L, int N) {
    VX_ASSERT(kModule, L >= 1 && N >= 0 && N <= kMaxFilterTaps && N % L == 0);
    int16_t copy[kMaxFilterTaps];
    for (int i = 0; i < N; i++) copy[i] = h[i];
    const int P = N / L;
    for (int i = 0; i < N; i++) h[(i % L) * P + i / L] = copy[i];
}

int resample(const int16_t* x, int n_in, int16_t* y, int n_out, const int16_t* h, int N, int L,
             int M) {
    VX_ASSERT(kModule, L >= 1 && M >= 1 && N >= L && N % L == 0);
    VX_ASSERT(kModule, n_in >= 0 && n_out >= 0);
    const int P = N / L;  // taps per branch
    const int half = N / 2;
    const int64_t total = std::min(static_cast<int64_t>(n_out) * M, static_cast<int64_t>(n_in) * L);
    const int step = M % L;
    int phi = half % L;  // branch (half - s) mod L, kept incrementally
    int n = 0;
    for (int64_t s64 = 0; s64 < total; s64 += M, n++) {
        const int s = static_cast<int>(s64);
        const int16_t* branch = h + phi * P;
        uint32_t acc = 0;
        if (s < half) {
            const int o = (half - s) / L;
            VX_ASSERT(kModule, o < P);
            const int end = std::min(P, n_in);
            for (int j = o; j < end; j++) acc += static_cast<uint32_t>(branch[j] * x[j - o]);
        } else {
            const int i0 = (s - half + L - 1) / L;
            VX_ASSERT(kModule, i0 < n_in);
            const int end = std::min(P, n_in - i0);
            for (int j = 0; j < end; j++) acc += static_cast<uint32_t>(branch[j] * x[i0 + j]);
        }
        y[n] = finish_sum(acc);
        phi = (phi + L - step) % L;
    }
    return n;
}

int resample_count(int n_in, int n_out, int L, int M) {
    const int64_t total = std::min(static_cast<int64_t>(n_out) * M, static_cast<int64_t>(n_in) * L);
    return total <= 0 ? 0 : static_cast<int>((total + M - 1) / M);
}

int resample_inputs_needed(int n, int n_in, int N, int L, int M) {
    const int need = (n * M - N / 2) / L + N / L + 1;
    return std::clamp(need, 0, n_in);
}

int resample_direct(const int16_t* x, int n_in, int16_t* y, int n_out, const int16_t* h, int N,
                    int L, int M) {
    VX_ASSERT(kModule, L >= 1 && M >= 1 && N >= 1);
    VX_ASSERT(kModule, n_in >= 0 && n_out >= 0);
    const int half = N / 2;
    const int64_t total = std::min(static_cast<int64_t>(n_out) * M, static_cast<int64_t>(n_in) * L);
    int n = 0;
    for (int64_t s = 0; s < total; s += M, n++) {
        // Tap t meets the upsampled sample s + t - half, an input sample when
        // that index is a multiple of L.
        uint32_t acc = 0;
        for (int t = 0; t < N; t++) {
            int64_t u = s + t - half;
            if (u < 0 || u % L != 0 || u / L >= n_in) continue;
            acc += static_cast<uint32_t>(h[t] * x[u / L]);
        }
        y[n] = finish_sum(acc);
    }
    return n;
}

int fir_decimate(const int16_t* x, int n_in, int16_t* y, int n_out, const int16_t* h, int N,
                 int M) {
    VX_ASSERT(kModule, M >= 1 && N >= 1 && n_in >= 0 && n_out >= 0);
    const int half = N / 2;
    int n = 0;
    for (int64_t s = 0; s < n_in && n < n_out; s += M, n++) {
        uint32_t acc = 0;
        for (int t = 0; t < N; t++) {
            int64_t u = s + t - half;
            if (u >= 0 && u < n_in) acc += static_cast<uint32_t>(h[t] * x[u]);
        }
        y[n] = finish_sum(acc);
    }
    return n;
}

int16_t kth_smallest_i16(int16_t* a, int n, int k) {
    return kth_smallest(a, n, k);
}

int32_t kth_smallest_i32(int32_t* a, int n, int k) {
    return kth_smallest(a, n, k);
}
