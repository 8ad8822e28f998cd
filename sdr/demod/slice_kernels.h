// The slice input's kernel, beside its plain reference: one 6 MHz output
// of the polyphase resampler, the dot product of a filter branch (14 taps,
// padded to 16 with zeros) with the 14 inputs it covers, shifted to Q0 and
// clamped to 16 bits. With SSE2, four outputs at a time share one reduction.
//
// Owns nothing. Promises: every version gives branch_output_ref's values to
// the bit (the sums wrap modulo 2^32 alike; the saturating pack is the clamp).
#pragma once

#include <algorithm>
#include <cstdint>

#include "sdr/demod/simd.h"

/// (sum of branch[j] * x[j] over j < 14, modulo 2^32) >> 12, clamped to int16.
inline int16_t branch_output_ref(const int16_t* branch, const int16_t* x) {
    uint32_t acc = 0;
    for (int j = 0; j < 14; j++) acc += static_cast<uint32_t>(branch[j] * x[j]);
    const int32_t v = static_cast<int32_t>(acc) >> 12;
    return static_cast<int16_t>(std::clamp<int32_t>(v, INT16_MIN, INT16_MAX));
}

#if VORLIX_SSE2
/// The products of a padded branch (16 taps, 16-byte aligned) with the 16
/// inputs at x (any alignment; the last two meet zero taps), added in pairs
/// in 32 bits (each pair within +-2^31) and then into four lanes.
inline __m128i branch_products_sse2(const int16_t* branch, const int16_t* x) {
    const __m128i* bv = reinterpret_cast<const __m128i*>(branch);
    const __m128i* xv = reinterpret_cast<const __m128i*>(x);
    return _mm_add_epi32(_mm_madd_epi16(_mm_load_si128(bv), _mm_loadu_si128(xv)),
                         _mm_madd_epi16(_mm_load_si128(bv + 1), _mm_loadu_si128(xv + 1)));
}

inline int16_t branch_output_sse2(const int16_t* branch, const int16_t* x) {
    __m128i acc = branch_products_sse2(branch, x);
    acc = _mm_add_epi32(acc, _mm_shuffle_epi32(acc, 0x4E));
    acc = _mm_add_epi32(acc, _mm_shuffle_epi32(acc, 0xB1));
    acc = _mm_packs_epi32(_mm_srai_epi32(acc, 12), acc);
    return static_cast<int16_t>(_mm_cvtsi128_si32(acc));
}

/// Four outputs: out[g] = branch_output(branch[g], x[g]), reduced together.
inline void branch_outputs4_sse2(const int16_t* const* branch, const int16_t* const* x,
                                 int16_t* out) {
    __m128i s[4];
#pragma GCC unroll 4
    for (int g = 0; g < 4; g++) s[g] = branch_products_sse2(branch[g], x[g]);
    const __m128i a = _mm_add_epi32(_mm_unpacklo_epi32(s[0], s[1]), _mm_unpackhi_epi32(s[0], s[1]));
    const __m128i b = _mm_add_epi32(_mm_unpacklo_epi32(s[2], s[3]), _mm_unpackhi_epi32(s[2], s[3]));
    __m128i v = _mm_add_epi32(_mm_unpacklo_epi64(a, b), _mm_unpackhi_epi64(a, b));
    v = _mm_packs_epi32(_mm_srai_epi32(v, 12), v);
    out[0] = static_cast<int16_t>(_mm_extract_epi16(v, 0));
    out[1] = static_cast<int16_t>(_mm_extract_epi16(v, 1));
    out[2] = static_cast<int16_t>(_mm_extract_epi16(v, 2));
    out[3] = static_cast<int16_t>(_mm_extract_epi16(v, 3));
}
#endif

/// One output, as the build computes it. The branch is padded to 16 taps
/// and 16-byte aligned; x[14] and x[15] are read (they meet zero taps).
inline int16_t branch_output(const int16_t* branch, const int16_t* x) {
#if VORLIX_SSE2
    return branch_output_sse2(branch, x);
#else
    return branch_output_ref(branch, x);
#endif
}

/// Outputs that share one reduction: 4 with SSE2, else 1.
#if VORLIX_SSE2
inline constexpr int kBranchGroup = 4;
#else
inline constexpr int kBranchGroup = 1;
#endif

/// kBranchGroup outputs: out[g] = branch_output(branch[g], x[g]).
inline void branch_outputs(const int16_t* const* branch, const int16_t* const* x, int16_t* out) {
#if VORLIX_SSE2
    branch_outputs4_sse2(branch, x, out);
#else
    for (int g = 0; g < kBranchGroup; g++) out[g] = branch_output_ref(branch[g], x[g]);
#endif
}
