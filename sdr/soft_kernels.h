// Small vector kernels of the default demodulator, each beside the plain
// loop it stands for (the board runs the plain loops; a test holds each
// pair equal).
#pragma once

#include <cstdint>

#if defined(__SSE2__) && !defined(VORLIX_SCALAR)
#include <emmintrin.h>
#define VORLIX_SOFT_SSE2 1
#endif

/// sum of w[i] * x[i] over i < 8, in 32 bits (each product within 2^30;
/// the sum wraps as uint32_t would).
inline int32_t dot8_scalar(const int16_t* w, const int16_t* x) {
    uint32_t acc = 0;
    for (int i = 0; i < 8; i++) acc += static_cast<uint32_t>(w[i] * x[i]);
    return static_cast<int32_t>(acc);
}

/// dot8_scalar with one multiply-add of eight 16-bit lanes where the
/// processor has SSE2; `w` and `x` may be unaligned.
inline int32_t dot8(const int16_t* w, const int16_t* x) {
#if VORLIX_SOFT_SSE2
    const __m128i p = _mm_madd_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(w)),
                                     _mm_loadu_si128(reinterpret_cast<const __m128i*>(x)));
    const __m128i s = _mm_add_epi32(p, _mm_shuffle_epi32(p, 0x4E));
    return _mm_cvtsi128_si32(_mm_add_epi32(s, _mm_shuffle_epi32(s, 0xB1)));
#else
    return dot8_scalar(w, x);
#endif
}
