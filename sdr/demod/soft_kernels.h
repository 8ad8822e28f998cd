// The default demodulator's kernel, beside its plain reference: the
// weighted sum of the samples one bit meets (at most eight), a dot product
// of 16-bit weights with 16-bit samples.
//
// Owns nothing. Promises: every version gives bit_dot_ref's value to the
// bit; a test holds them equal.
#pragma once

#include <cstdint>

#include "sdr/demod/simd.h"

/// sum of w[i] * x[i] over i < n (n <= 8), in 32 bits (each product within
/// 2^30; the sum wraps as uint32_t would).
inline int32_t bit_dot_ref(const int16_t* w, const int16_t* x, int n) {
    uint32_t acc = 0;
    for (int i = 0; i < n; i++) acc += static_cast<uint32_t>(w[i] * x[i]);
    return static_cast<int32_t>(acc);
}

#if VORLIX_SSE2
/// All eight products in one multiply-add of eight 16-bit lanes; `w` and
/// `x` may be unaligned.
inline int32_t dot8_sse2(const int16_t* w, const int16_t* x) {
    const __m128i p = _mm_madd_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(w)),
                                     _mm_loadu_si128(reinterpret_cast<const __m128i*>(x)));
    const __m128i s = _mm_add_epi32(p, _mm_shuffle_epi32(p, 0x4E));
    return _mm_cvtsi128_si32(_mm_add_epi32(s, _mm_shuffle_epi32(s, 0xB1)));
}
#endif

/// bit_dot_ref for weights that are zero from n on (eight of them are
/// read): with vectors all eight cost one multiply-add, zeros included; the
/// board multiplies only the n samples the bit meets.
inline int32_t bit_dot(const int16_t* w, const int16_t* x, int n) {
#if VORLIX_SSE2
    (void)n;
    return dot8_sse2(w, x);
#else
    return bit_dot_ref(w, x, n);
#endif
}
