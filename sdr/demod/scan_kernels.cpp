// The block scan's per-block kernels: magnitudes and trigger bit maps.
#include "sdr/demod/scan_kernels.h"

#if VORLIX_AVX2
#include <immintrin.h>
#endif

#include "sdr/log.h"

namespace {

constexpr char kModule[] = "sdr/demod/scan_kernels";

// The cheap magnitude of every pair, indexed by its two bytes read as one
// 16-bit word in the machine's byte order: one load per pair for the
// board. Built on first need, rebuilt when the centre moves.
constinit uint8_t pair_magnitude[65536] = {};
constinit bool pair_magnitude_ready = false;
constinit Centre pair_magnitude_centre = kNominalCentre;

/// |b - c|.
inline unsigned distance(unsigned b, unsigned c) {
    return b >= c ? b - c : c - b;
}


#if VORLIX_SSE2
constexpr ScanKernels kSse2 = {16, magnitudes_sse2, trigger_bits_sse2};
#if VORLIX_AVX2
constexpr ScanKernels kAvx2 = {32, magnitudes_avx2, trigger_bits_avx2};
#endif
#else
constexpr ScanKernels kBoard = {0, magnitudes_table, nullptr};
#endif

}  // namespace

namespace scan_kernels_detail {
#if VORLIX_SSE2
constinit ScanKernels chosen = kSse2;
#else
constinit ScanKernels chosen = kBoard;
#endif
}  // namespace scan_kernels_detail

int32_t magnitudes_ref(const uint8_t* block, uint8_t* mag, int peak_end, uint8_t* peak, Centre c) {
    int32_t sum = 0;
    uint8_t top = 0;
    for (int k = 0; k < kBlockPairs; k++) {
        const unsigned m = distance(block[2 * k], c.i) + distance(block[2 * k + 1], c.q);
        mag[k] = static_cast<uint8_t>(m > 255 ? 255 : m);
        sum += mag[k];
        if (k < peak_end) top = std::max(top, mag[k]);
    }
    *peak = top;
    return sum;
}

void magnitudes_table_setup(Centre c) {
    if (pair_magnitude_ready && pair_magnitude_centre.i == c.i && pair_magnitude_centre.q == c.q)
        return;
    // The first byte of a pair (I) is the word's low byte on a little-endian
    // machine, its high byte on a big-endian one.
    constexpr bool kLittle = std::endian::native == std::endian::little;
    for (unsigned w = 0; w < 65536; w++) {
        const unsigned first = kLittle ? (w & 0xFF) : (w >> 8);
        const unsigned second = kLittle ? (w >> 8) : (w & 0xFF);
        const unsigned m = distance(first, c.i) + distance(second, c.q);
        pair_magnitude[w] = static_cast<uint8_t>(m > 255 ? 255 : m);
    }
    pair_magnitude_centre = c;
    pair_magnitude_ready = true;
}

int32_t magnitudes_table(const uint8_t* __restrict block, uint8_t* __restrict mag, int peak_end,
                         uint8_t* peak, Centre c) {
    magnitudes_table_setup(c);
    // One pass: each pair is one 16-bit load and one table entry; the sum
    // and the peak stay in registers. Pairs start at even addresses.
    const uint8_t* const pairs = static_cast<const uint8_t*>(__builtin_assume_aligned(block, 2));
    uint32_t sum = 0;
    unsigned top = 0;
    auto one = [&](int k) {
        uint16_t w;
        memcpy(&w, pairs + 2 * k, sizeof w);
        const unsigned m = pair_magnitude[w];
        mag[k] = static_cast<uint8_t>(m);
        sum += m;
        return m;
    };
    // Four pairs a step spread the loop's own instructions.
    int k = 0;
#pragma GCC unroll 4
    for (; k < peak_end; k++) {
        const unsigned m = one(k);
        top = m > top ? m : top;
    }
#pragma GCC unroll 4
    for (; k < kBlockPairs; k++) one(k);
    *peak = static_cast<uint8_t>(top);
    return static_cast<int32_t>(sum);
}

void trigger_bits_ref(uint64_t* bits, const uint8_t* mag, int32_t thr) {
    for (int w = 0; w < kTriggerWords; w++) {
        uint64_t word = 0;
        for (int b = 0; b < 64; b++) {
            if (mag[64 * w + b] >= thr) word |= uint64_t{1} << b;
        }
        bits[w] = word;
    }
}

#if VORLIX_SSE2
int32_t magnitudes_sse2(const uint8_t* __restrict block, uint8_t* __restrict mag, int peak_end,
                        uint8_t* peak, Centre c) {
    // |b - centre| of all 32 bytes of 16 pairs (the I centre in the low byte
    // of each 16-bit lane, where a pair's first byte lies), the two of each
    // pair added in 16-bit lanes (0..278), packed back to bytes with
    // unsigned saturation.
    const __m128i zero = _mm_setzero_si128();
    const __m128i mid = _mm_set1_epi16(static_cast<int16_t>(c.i | c.q << 8));
    const __m128i low = _mm_set1_epi16(0x00FF);
    __m128i acc = zero;
    __m128i mx = zero;
    auto one = [&](int k) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 2 * k));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 2 * k + 16));
        const __m128i da = _mm_sub_epi8(_mm_max_epu8(a, mid), _mm_min_epu8(a, mid));
        const __m128i db = _mm_sub_epi8(_mm_max_epu8(b, mid), _mm_min_epu8(b, mid));
        const __m128i sa = _mm_add_epi16(_mm_and_si128(da, low), _mm_srli_epi16(da, 8));
        const __m128i sb = _mm_add_epi16(_mm_and_si128(db, low), _mm_srli_epi16(db, 8));
        const __m128i m = _mm_packus_epi16(sa, sb);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(mag + k), m);
        acc = _mm_add_epi64(acc, _mm_sad_epu8(m, zero));
        return m;
    };
    // The peak over whole groups of 16 below peak_end, the rest afterwards;
    // two groups per step where they fit.
    const int whole = peak_end & ~15;
    int k = 0;
    for (; k + 32 <= whole; k += 32) {
        const __m128i m0 = one(k);
        const __m128i m1 = one(k + 16);
        mx = _mm_max_epu8(_mm_max_epu8(m0, m1), mx);
    }
    for (; k < whole; k += 16) mx = _mm_max_epu8(one(k), mx);
    for (; k + 32 <= kBlockPairs; k += 32) {
        one(k);
        one(k + 16);
    }
    for (; k < kBlockPairs; k += 16) one(k);
    uint8_t top = max_bytes_sse2(mx);
    if (whole < peak_end && peak_end >= 16) {
        // The last 16 below peak_end, masked to those not yet taken in.
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(mag + peak_end - 16));
        const __m128i m =
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(kMaskTail + (peak_end - whole)));
        top = std::max(top, max_bytes_sse2(_mm_and_si128(v, m)));
    } else {
        for (int i = whole; i < peak_end; i++) top = std::max(top, mag[i]);
    }
    *peak = top;
    return sum_lanes64_sse2(acc);
}

void trigger_bits_sse2(uint64_t* bits, const uint8_t* mag, int32_t thr) {
    const __m128i t = _mm_set1_epi8(static_cast<char>(thr));
    for (int w = 0; w < kTriggerWords; w++) {
        uint64_t word = 0;
        for (int c = 0; c < 4; c++) {
            const __m128i v =
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(mag + 64 * w + 16 * c));
            const unsigned hit =
                static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_max_epu8(v, t), v)));
            word |= static_cast<uint64_t>(hit) << (16 * c);
        }
        bits[w] = word;
    }
}
#endif

#if VORLIX_AVX2
namespace {

/// The magnitudes of the 32 pairs at src, saturated at 255, in order.
[[gnu::target("avx2"), gnu::always_inline]] inline __m256i magnitudes32(const uint8_t* src,
                                                                        __m256i mid) {
    const __m256i ones = _mm256_set1_epi8(1);
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + 32));
    const __m256i da = _mm256_sub_epi8(_mm256_max_epu8(a, mid), _mm256_min_epu8(a, mid));
    const __m256i db = _mm256_sub_epi8(_mm256_max_epu8(b, mid), _mm256_min_epu8(b, mid));
    // The two distances of a pair added into 16 bits (0..278), packed back
    // to bytes with unsigned saturation; the pack interleaves the 128-bit
    // halves, the permutation restores the order.
    const __m256i m =
        _mm256_packus_epi16(_mm256_maddubs_epi16(da, ones), _mm256_maddubs_epi16(db, ones));
    return _mm256_permute4x64_epi64(m, 0xD8);
}

}  // namespace

[[gnu::target("avx2")]] int32_t magnitudes_avx2(const uint8_t* __restrict block,
                                                uint8_t* __restrict mag, int peak_end,
                                                uint8_t* peak, Centre c) {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i mid = _mm256_set1_epi16(static_cast<int16_t>(c.i | c.q << 8));
    __m256i acc = zero;
    __m256i mx = zero;
    const int whole = peak_end & ~31;
    int k = 0;
    for (; k < whole; k += 32) {
        const __m256i m = magnitudes32(block + 2 * k, mid);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(mag + k), m);
        acc = _mm256_add_epi64(acc, _mm256_sad_epu8(m, zero));
        mx = _mm256_max_epu8(mx, m);
    }
    for (; k < kBlockPairs; k += 32) {
        const __m256i m = magnitudes32(block + 2 * k, mid);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(mag + k), m);
        acc = _mm256_add_epi64(acc, _mm256_sad_epu8(m, zero));
    }
    uint8_t top =
        max_bytes_sse2(_mm_max_epu8(_mm256_castsi256_si128(mx), _mm256_extracti128_si256(mx, 1)));
    for (int i = whole; i < peak_end; i++) top = std::max(top, mag[i]);
    *peak = top;
    const __m128i s = _mm_add_epi64(_mm256_castsi256_si128(acc), _mm256_extracti128_si256(acc, 1));
    return sum_lanes64_sse2(s);
}

[[gnu::target("avx2")]] void trigger_bits_avx2(uint64_t* bits, const uint8_t* mag, int32_t thr) {
    const __m256i t = _mm256_set1_epi8(static_cast<char>(thr));
    for (int w = 0; w < kTriggerWords; w++) {
        const __m256i v0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(mag + 64 * w));
        const __m256i v1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(mag + 64 * w + 32));
        const uint32_t lo = static_cast<uint32_t>(
            _mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_max_epu8(v0, t), v0)));
        const uint32_t hi = static_cast<uint32_t>(
            _mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_max_epu8(v1, t), v1)));
        bits[w] = static_cast<uint64_t>(hi) << 32 | lo;
    }
}
#endif

void scan_kernels_setup() {
    if (scan_kernels().magnitudes == magnitudes_table) magnitudes_table_setup();
    scan_kernels_select(32);
}

int scan_kernels_select(int width) {
#if VORLIX_AVX2
    scan_kernels_detail::chosen = width >= 32 && __builtin_cpu_supports("avx2") ? kAvx2 : kSse2;
#endif
    (void)width;
    return scan_kernels_detail::chosen.width;
}

int32_t block_magnitude(const uint8_t* block, int32_t* mag) {
    // Any address: the kernels want pairs at even addresses.
    alignas(16) uint8_t pairs[kBlockBytes];
    memcpy(pairs, block, sizeof pairs);
    uint8_t bytes[kBlockPairs];
    uint8_t peak = 0;
    const int32_t sum = scan_kernels().magnitudes(pairs, bytes, 0, &peak, kNominalCentre);
    VX_ASSERT(kModule, peak == 0);
    for (int k = 0; k < kBlockPairs; k++) mag[k] = bytes[k];
    return sum;
}
