// Fixed-point signal primitives of the demodulator: Q12 helpers with
// overflow checks, a cubic sine and the sin(x)/x kernel built on it, the
// preamble template, the windowed-sinc filter design, the polyphase reorder
// and the rational resampler. No floating point anywhere.
//
// Q12: an int32 with 4096 standing for 1.0. Angles are Q12 quarter turns
// (4096 = pi/2); as a 32-bit angle (2^32 = one turn) a value b is b * 2^18.
// Products are 32-bit and wrap; 16-bit results of filters saturate.
// A violated precondition ends the process ("Assertion failed in
// sdr/signal_proc line <n>").
//
// Owns nothing. Promises: the same integers on every machine.
#pragma once

#include <cstdint>

/// Longest filter any routine here accepts (14 taps x 30 branches).
inline constexpr int kMaxFilterTaps = 420;

/// (a * b) >> 12; needs clz(2|a|+1) + clz(2|b|+1) >= 31.
int32_t fx_mul(int32_t a, int32_t b);
/// (a * 4096) / b, truncated; needs clz(2|a|+1) >= 12 and b != 0.
int32_t fx_div(int32_t a, int32_t b);
/// Folds a Q12 quarter-turn angle onto -4096..4096 (the first and fourth
/// quarter turns) so that the sine keeps its value.
int32_t fx_fold(int32_t b);
/// 2^28 * (3A - A^3)/2 with A = a/4096, a in -4096..4096: the cubic sine.
int32_t fx_cub(int32_t a);
/// Q12 sin(x)/x-like kernel at b Q12 quarter turns: 4096 at 0, 2730 at
/// +-4096, 0 at +-8192.
int32_t fx_sinc(int32_t b);
/// Two-lobe pulse kernel sinc(4t) * sinc(2t) at X = 4t (t in us) in Q12:
/// 4096 at 0, 0 for |X| > 8191.
int32_t lanczos2(int32_t X);

/// Fills out[0..n-1] with the zero-mean preamble template at scale/4096
/// samples per us (values -255..255) and prints it on standard error.
void make_template(int32_t* out, int32_t scale, int n);
/// Hann-windowed sinc low-pass with cut-off `cut` (Q12 of Nyquist) and N
/// taps (N >= 1); prints the table on standard error.
void design_lowpass(int32_t cut, int16_t* h, int N);
/// High-pass counterpart: the low-pass with cut-off 4096 - cut, modulated by
/// (-1)^(i - N/2), so it passes everything above `cut`; prints the table.
void design_highpass(int32_t cut, int16_t* h, int N);
/// Reorders h (N taps, N a multiple of L, N <= 420) into L branches:
/// branch k holds taps k, k+L, k+2L, ... in order.
void polyphase_reorder(int16_t* h, int L, int N);

/// Rational resampler by L/M with a polyphase filter (N taps, reordered).
/// Output n lies at input time n*M/L (no delay). Writes at most n_out
/// values, saturated to int16; returns the number written.
int resample(const int16_t* x, int n_in, int16_t* y, int n_out, const int16_t* h, int N, int L,
             int M);
/// The number of outputs resample() writes for n_in inputs and capacity n_out.
int resample_count(int n_in, int n_out, int L, int M);
/// How many leading inputs (at most n_in) outputs 0..n of the resampler read.
int resample_inputs_needed(int n, int n_in, int N, int L, int M);
/// The same resampler on a filter in natural order, one tap at a time;
/// results are identical to resample() with the reordered filter.
int resample_direct(const int16_t* x, int n_in, int16_t* y, int n_out, const int16_t* h, int N,
                    int L, int M);
/// FIR filter with decimation by M (filter centred at N/2, no delay):
/// y[n] = sum h[t] * x[n*M + t - N/2] >> 12, saturated; returns the count.
int fir_decimate(const int16_t* x, int n_in, int16_t* y, int n_out, const int16_t* h, int N, int M);

/// The k-th smallest (k from 0) of a[0..n-1]; reorders a. Needs 0 <= k < n.
int16_t kth_smallest_i16(int16_t* a, int n, int k);
int32_t kth_smallest_i32(int32_t* a, int n, int k);

/// Division by a fixed length d (2..1024) as a multiplication and a shift:
/// with m = floor(2^32 / d) + 1, floor(x / d) = (x * m) >> 32 for every
/// 0 <= x < 2^32 / d, so for every x below 2^22. Other x take the division.
struct FixedDivisor {
    uint32_t m;
    int32_t d;
};

/// The FixedDivisor of d; needs 2 <= d <= 1024.
FixedDivisor fixed_divisor(int32_t d);

/// x / f.d, truncated toward zero, as the C division gives it.
inline int32_t divide(int32_t x, FixedDivisor f) {
    if (static_cast<uint32_t>(x) < (uint32_t{1} << 22)) {
        return static_cast<int32_t>((static_cast<uint64_t>(static_cast<uint32_t>(x)) * f.m) >> 32);
    }
    return x / f.d;
}
