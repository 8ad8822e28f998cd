// The block scan's kernels, each beside its plain reference (a loop as
// simple as the definition), which a test holds every other version equal
// to: the cheap magnitudes of a block, the trigger search, sums and maxima
// of magnitudes over a range, and the coarse correlations at every shift.
//
// The versions: SSE2 (every x86-64 host), AVX2 (chosen at run time where
// the processor has it), and the board's, which has no vectors: a machine
// word of magnitudes at a time, or a table of every pair's magnitude.
// Per-block kernels go through ScanKernels, picked once; per-trigger
// kernels are inline and chosen by the build.
//
// Owns the chosen kernels and the board's pair table (static storage).
// Promises: every version gives the same values, to the bit, for any input.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#include "include/context.h"
#include "sdr/demod/simd.h"

// ---- Cheap magnitudes of a block (per block) ----

/// |b - 127| of every byte b: 0..128.
inline constexpr std::array<uint8_t, 256> kDistance = [] {
    std::array<uint8_t, 256> t{};
    for (int b = 0; b < 256; b++)
        t[static_cast<size_t>(b)] = static_cast<uint8_t>(b >= 127 ? b - 127 : 127 - b);
    return t;
}();

/// The whole centre of the I and the Q bytes the magnitudes are measured from.
struct Centre {
    uint8_t i;
    uint8_t q;
};
inline constexpr Centre kNominalCentre = {127, 127};

/// The magnitudes of the 4096 pairs at `block` into mag[0..4095]:
/// |b0 - c.i| + |b1 - c.q|, saturated at 255 (at the nominal centre only the
/// clipped pair (255, 255) reaches 256). Returns their sum, and the largest
/// of mag[0..peak_end) in *peak (peak_end 0..4096). The block starts at an
/// even address.
using MagnitudesFn = int32_t (*)(const uint8_t* block, uint8_t* mag, int peak_end, uint8_t* peak,
                                 Centre c);

int32_t magnitudes_ref(const uint8_t* block, uint8_t* mag, int peak_end, uint8_t* peak, Centre c);
/// The board's: one 16-bit load and one entry of the pair table per pair;
/// the table is rebuilt when the centre differs from the one it holds
/// (magnitudes_table_setup), which the centre's hysteresis makes rare.
int32_t magnitudes_table(const uint8_t* block, uint8_t* mag, int peak_end, uint8_t* peak,
                         Centre c);
/// Builds the pair table for centre c (64 KiB; nothing when it holds c).
void magnitudes_table_setup(Centre c = kNominalCentre);
#if VORLIX_SSE2
int32_t magnitudes_sse2(const uint8_t* block, uint8_t* mag, int peak_end, uint8_t* peak, Centre c);
#endif
#if VORLIX_AVX2
int32_t magnitudes_avx2(const uint8_t* block, uint8_t* mag, int peak_end, uint8_t* peak, Centre c);
#endif

// ---- The trigger search ----

/// Bit maps of the positions whose magnitude reaches the trigger threshold:
/// bit q for positions 0 .. 4098, the last the scan looks at.
inline constexpr int kTriggerWords = (kBlockPairs + 3 + 63) / 64;
static_assert(kTriggerWords * 64 <= kMagEntries, "the bit map reads inside mag");

/// Bit q of bits: mag[q] >= thr (1..255), for q in [0, 64 kTriggerWords) (per block).
using TriggerBitsFn = void (*)(uint64_t* bits, const uint8_t* mag, int32_t thr);

void trigger_bits_ref(uint64_t* bits, const uint8_t* mag, int32_t thr);
#if VORLIX_SSE2
void trigger_bits_sse2(uint64_t* bits, const uint8_t* mag, int32_t thr);
#endif
#if VORLIX_AVX2
void trigger_bits_avx2(uint64_t* bits, const uint8_t* mag, int32_t thr);
#endif

/// The per-block kernels in use.
struct ScanKernels {
    int width;                   ///< bytes: 32 AVX2, 16 SSE2, 0 none
    MagnitudesFn magnitudes;     ///< the block's magnitudes
    TriggerBitsFn trigger_bits;  ///< null: the trigger search goes a word at a time
};

namespace scan_kernels_detail {
extern ScanKernels chosen;  ///< written by scan_kernels_select only
}  // namespace scan_kernels_detail

inline const ScanKernels& scan_kernels() {
    return scan_kernels_detail::chosen;
}

/// Builds what the kernels in use need (the board's pair table, where there
/// are no vectors) and picks the widest vectors the processor has.
/// demod_setup calls it.
void scan_kernels_setup();

/// Picks the kernels of vector width `width` in bytes (32 AVX2, 16 SSE2, 0
/// none) or the widest below it that the processor has; the baseline of the
/// build cannot be turned off (SSE2 on x86-64). Returns the width now in
/// use. Tests use it to check every path on one machine.
int scan_kernels_select(int width);

/// Cheap magnitudes of 4096 pairs at any address, with the kernels in use:
/// writes mag[0..4095] and returns their sum.
int32_t block_magnitude(const uint8_t* block, int32_t* mag);

/// The first index q in [from, end) with mag[q] >= thr, or end.
inline int find_at_least_ref(const uint8_t* mag, int from, int end, int32_t thr) {
    int q = from;
    while (q < end && mag[q] < thr) q++;
    return q;
}

/// find_at_least_ref a machine word of magnitudes at a time. For thr in
/// 1..128 a byte b reaches thr exactly when bit 7 of b or of
/// (b & 0x7F) + 128 - thr is set, and the addition cannot carry into the
/// next byte.
inline int find_at_least_words(const uint8_t* mag, int from, int end, int32_t thr) {
    if (thr <= 0) return from;
    if (thr > 255) return end;
    int q = from;
    if constexpr (std::endian::native == std::endian::little) {
        if (thr <= 128) {
            using Word = uintptr_t;
            constexpr Word kOnes = ~Word{0} / 255;  // 0x0101...
            constexpr Word kLow7 = kOnes * 0x7F;
            constexpr Word kHigh = kOnes * 0x80;
            const Word add = kOnes * static_cast<Word>(128 - thr);
            while (q + static_cast<int>(sizeof(Word)) <= end) {
                Word w;
                memcpy(&w, mag + q, sizeof w);
                const Word hit = (((w & kLow7) + add) | w) & kHigh;
                if (hit != 0) return q + std::countr_zero(hit) / 8;
                q += static_cast<int>(sizeof(Word));
            }
        }
    }
    return find_at_least_ref(mag, q, end, thr);
}

/// The trigger search of one block. With vectors the positions whose
/// magnitude reaches the threshold are marked in a bit map once per block,
/// so that a trigger costs a few word operations instead of a restarted
/// search; thresholds of 0 or below (everywhere) and above 255 (nowhere)
/// need no map, nor does the board, which searches a word at a time.
struct TriggerSearch {
    const uint8_t* mag;
    int32_t thr;
    bool mapped;  ///< bits holds the map
    uint64_t bits[kTriggerWords];
};

inline void trigger_search_init(TriggerSearch* t, const uint8_t* mag, int32_t thr) {
    t->mag = mag;
    t->thr = thr;
    t->mapped = scan_kernels().trigger_bits != nullptr && thr >= 1 && thr <= 255;
    if (t->mapped) scan_kernels().trigger_bits(t->bits, mag, thr);
}

/// The first position q in [from, end) with mag[q] >= thr, or end.
inline int trigger_next(const TriggerSearch& t, int from, int end) {
    if (t.mapped) {
        int w = from >> 6;
        uint64_t word = t.bits[w] & (~uint64_t{0} << (from & 63));
        while (word == 0) {
            if (++w == kTriggerWords || 64 * w >= end) return end;
            word = t.bits[w];
        }
        return std::min(64 * w + std::countr_zero(word), end);
    }
    return find_at_least_words(t.mag, from, end, t.thr);
}

// ---- Sums and maxima over a range (per trigger) ----

inline int32_t sum_range_ref(const uint8_t* mag, int from, int count) {
    int32_t s = 0;
    for (int i = 0; i < count; i++) s += mag[from + i];
    return s;
}

/// A machine word at a time: its bytes added in 16-bit lanes, which hold
/// the sums of up to 128 words (128 x 510 < 65536); then the lanes.
inline int32_t sum_range_words(const uint8_t* mag, int from, int count) {
    using Word = uintptr_t;
    constexpr int kWordBytes = static_cast<int>(sizeof(Word));
    constexpr Word kLow = ~Word{0} / 0xFFFF * 0xFF;  // 0x00FF00FF...
    const uint8_t* p = mag + from;
    int32_t s = 0;
    int i = 0;
    while (i + kWordBytes <= count) {
        const int stop = std::min(count, i + 128 * kWordBytes);
        Word lanes = 0;
        for (; i + kWordBytes <= stop; i += kWordBytes) {
            Word w;
            memcpy(&w, p + i, sizeof w);
            lanes += (w & kLow) + ((w >> 8) & kLow);
        }
        for (; lanes != 0; lanes >>= 16) s += static_cast<int32_t>(lanes & 0xFFFF);
    }
    for (; i < count; i++) s += p[i];
    return s;
}

#if VORLIX_SSE2
/// mask_tail + r: the last 16 - r of 16 bytes set.
alignas(16) inline constexpr uint8_t kMaskTail[32] = {
    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

/// The largest of the 16 bytes of v.
inline uint8_t max_bytes_sse2(__m128i v) {
    v = _mm_max_epu8(v, _mm_srli_si128(v, 8));
    v = _mm_max_epu8(v, _mm_srli_si128(v, 4));
    v = _mm_max_epu8(v, _mm_srli_si128(v, 2));
    v = _mm_max_epu8(v, _mm_srli_si128(v, 1));
    return static_cast<uint8_t>(_mm_cvtsi128_si32(v));
}

/// The sum of the two 64-bit lanes of v, as int32 (sums of magnitudes).
inline int32_t sum_lanes64_sse2(__m128i v) {
    return _mm_cvtsi128_si32(_mm_add_epi64(v, _mm_unpackhi_epi64(v, v)));
}

/// Sums of absolute differences from zero, 16 bytes at a time; the last 16
/// bytes of the range are masked to those not yet added.
[[gnu::always_inline]] inline int32_t sum_range_sse2(const uint8_t* mag, int from, int count) {
    if (count < 16) return sum_range_ref(mag, from, count);
    const uint8_t* p = mag + from;
    const __m128i zero = _mm_setzero_si128();
    __m128i acc = zero;
    int i = 0;
    for (; i + 16 <= count; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        acc = _mm_add_epi64(acc, _mm_sad_epu8(v, zero));
    }
    if (i < count) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + count - 16));
        const __m128i m = _mm_loadu_si128(reinterpret_cast<const __m128i*>(kMaskTail + (count - i)));
        acc = _mm_add_epi64(acc, _mm_sad_epu8(_mm_and_si128(v, m), zero));
    }
    return sum_lanes64_sse2(acc);
}
#endif

/// The sum of mag[from .. from + count).
[[gnu::always_inline]] inline int32_t sum_range(const uint8_t* mag, int from, int count) {
#if VORLIX_SSE2
    return sum_range_sse2(mag, from, count);
#else
    return sum_range_words(mag, from, count);
#endif
}

/// The largest of mag[from .. from + count), 0 for none.
inline uint8_t max_range_ref(const uint8_t* mag, int from, int count) {
    unsigned mx = 0;
    for (int i = 0; i < count; i++) mx = mag[from + i] > mx ? mag[from + i] : mx;
    return static_cast<uint8_t>(mx);
}

#if VORLIX_SSE2
/// max_range_ref for count >= 16.
inline uint8_t max_range_sse2(const uint8_t* mag, int from, int count) {
    const uint8_t* p = mag + from;
    __m128i mx = _mm_setzero_si128();
    int i = 0;
    for (; i + 16 <= count; i += 16)
        mx = _mm_max_epu8(mx, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i)));
    if (i < count)
        mx = _mm_max_epu8(mx, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + count - 16)));
    return max_bytes_sse2(mx);
}
#endif

/// The largest of mag[from .. from + count); count >= 16.
inline uint8_t max_range(const uint8_t* mag, int from, int count) {
#if VORLIX_SSE2
    return max_range_sse2(mag, from, count);
#else
    return max_range_ref(mag, from, count);
#endif
}

// ---- Coarse correlations (per candidate that passed the flatness test) ----

inline constexpr int kCoarseShift = 16;   ///< window[kCoarseShift + j]: template entry j
inline constexpr int kCoarseWindow = 48;  ///< a correlation reads 48 magnitudes

/// The preamble template at the sample rate, in the two forms the versions read.
struct CoarseTemplate {
    const int32_t* entries;  ///< len10 entries
    int32_t len10;
    const int16_t* window;   ///< padded: entry j at window[kCoarseShift + j], zeros around it
};

/// sums[k - k_first] for k = k_first .. k_last (-16 .. 16): the sum over j =
/// max(0, -k) .. len10 - 1 of entries[j] * at[k + j], modulo 2^32. Reads
/// at[0 .. kCoarseWindow); len10 + k_last must not exceed kCoarseWindow.
inline void coarse_sums_ref(const uint8_t* at, const CoarseTemplate& t, int k_first, int k_last,
                            int32_t* sums) {
    for (int k = k_first; k <= k_last; k++) {
        const int j0 = std::max(0, -k);
        uint32_t acc = 0;
        for (int j = j0; j < t.len10; j++) acc += static_cast<uint32_t>(t.entries[j]) * at[k + j];
        sums[k - k_first] = static_cast<int32_t>(acc);
    }
}

#if VORLIX_SSE2
/// at[0 .. kCoarseWindow) as 16-bit values against the padded window: products of at
/// most 255 * 4096 in pairs, so the 32-bit sums are exact.
inline void coarse_sums_sse2(const uint8_t* at, const CoarseTemplate& t, int k_first, int k_last,
                             int32_t* sums) {
    __m128i mv[kCoarseWindow / 8];
    for (int c = 0; c < kCoarseWindow / 16; c++) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + 16 * c));
        mv[2 * c] = _mm_unpacklo_epi8(v, _mm_setzero_si128());
        mv[2 * c + 1] = _mm_unpackhi_epi8(v, _mm_setzero_si128());
    }
    for (int k = k_first; k <= k_last; k++) {
        const int16_t* w = t.window + kCoarseShift - k;
        __m128i sum = _mm_setzero_si128();
        for (int c = 0; c < kCoarseWindow / 8; c++) {
            const __m128i tv = _mm_loadu_si128(reinterpret_cast<const __m128i*>(w + 8 * c));
            sum = _mm_add_epi32(sum, _mm_madd_epi16(mv[c], tv));
        }
        sum = _mm_add_epi32(sum, _mm_shuffle_epi32(sum, 0x4E));
        sum = _mm_add_epi32(sum, _mm_shuffle_epi32(sum, 0xB1));
        sums[k - k_first] = _mm_cvtsi128_si32(sum);
    }
}
#endif

inline void coarse_sums(const uint8_t* at, const CoarseTemplate& t, int k_first, int k_last,
                        int32_t* sums) {
#if VORLIX_SSE2
    coarse_sums_sse2(at, t, k_first, k_last, sums);
#else
    coarse_sums_ref(at, t, k_first, k_last, sums);
#endif
}
