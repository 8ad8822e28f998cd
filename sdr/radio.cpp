// The demodulator.
//
// Rates: every supported sample rate is locked to the 6 MHz working rate by
// L/M = 6 MHz / samp_rate (5/2 at 2.4 MS/s: 5 output samples per 2 input
// samples; 3/1 at 2.0 MS/s; 15/8 at 3.2 MS/s). Mode S chips are 0.5 us,
// that is three 6 MHz samples, so the slicer compares sample 3 of a bit with
// sample 0 of it.
//
// Buffers: `samples` and `mag` hold history_len pairs (128 us) of the
// previous block in front of the current one. The scan walks positions
// 0..4095 of the buffer, and each position looks ahead at most history_len
// samples, so every read stays below 4096 + history_len.
//
// Block processing is a funnel, cheapest rejection first: trigger (one
// compare per sample) -> data level -> preamble/data ratio -> flatness of
// the data envelope -> template correlation -> slicer -> parity.
//
// Cost: per sample there is one magnitude (branch-free, vectorisable) and a
// search for the next magnitude at the trigger threshold, a machine word of
// magnitudes at a time. The running data window and the peak are defined by
// a per-step update, but they are read only at trigger positions and at the
// block end, so they are computed there: the window by the same update from
// the last position it was known at, or afresh when that is shorter (the
// sums are exact, so both give the same value), the peak as one maximum over
// the magnitudes that entered the window during the block. The slicer
// computes only the 6 MHz samples it reads, and only the bits that the
// frame check looks at for the frame's format.
#include "sdr/radio.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cinttypes>
#include <cstring>
#include <ctime>

#include "sdr/adsb_check.h"
#include "sdr/log.h"
#include "sdr/log_limit.h"
#include "sdr/signal_proc.h"
#include "sdr/soft_slice.h"

// SSE2 (every x86-64 host) does the byte loops 16 magnitudes at a time; the
// board has no SIMD and takes the portable loops, which give the same values
// (VORLIX_SCALAR builds them on a host too).
#if defined(__SSE2__) && !defined(VORLIX_SCALAR)
#include <emmintrin.h>
#define VORLIX_SSE2 1
#endif
// Where the processor has AVX2, the per-sample loops take 32 magnitudes at a
// time. The choice is made at run time (radio_init), so one binary serves
// every x86-64 processor.
#if VORLIX_SSE2 && (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#include <immintrin.h>
#define VORLIX_AVX2 1
#endif

namespace {

constexpr char kModule[] = "sdr/radio";

constexpr uint32_t kWorkRate = 6000000;  // the slicer's rate, 6 samples per us
constexpr int kTemplateMax = 58;         // template capacity
constexpr int kFineEntries = 58;         // 9.5 us + 1 sample at 6 MHz
constexpr int32_t kFineScale = 24576;    // 6.0 samples per us, Q12
constexpr int kDataOffset = 48;          // first data bit: 8 us after the first pulse
constexpr int kBitLimit = 762;           // the slicer never reads a bit past this

constinit int16_t resample_filter[kMaxFilterTaps] = {};
constinit int32_t coarse_template[kTemplateMax] = {};
constinit int32_t fine_template[kTemplateMax] = {};
constinit SliceHistory history = {};

// Exact magnitudes by the distance of each byte from 127 (0..128): the
// magnitude depends on I^2 and Q^2 only. Built once by radio_init.
constexpr int kAbsSpan = 129;
constinit int16_t exact_table[kAbsSpan * kAbsSpan] = {};
constinit bool exact_ready = false;

// The slicer's copies of the tables, padded with zeros to lengths a
// compiler can vectorise without a remainder: each polyphase branch of the
// filter (14 taps) to 16, and the fine template to a 64-sample window for
// every shift k = -6..5 (fine_window[6 - k + i] multiplies resampled[i]).
constexpr int kBranchTaps = 14;
static_assert(kBranchPadded == 16);
constexpr int kFineWindow = 64;
alignas(16) constinit int16_t slice_filter[30][kBranchPadded] = {};
alignas(16) constinit int16_t fine_window[kFineWindow + 12] = {};  // |t| <= 255
// The coarse template for the block scan: coarse_window[16 + j] is
// coarse_template[j], zeros around it, so that the correlation at shift k is
// a 48-sample dot product of coarse_window[16 - k + i] with mag[p + i].
constexpr int kCoarseShift = 16;
constexpr int kCoarseWindow = 48;
alignas(16) constinit int16_t coarse_window[kCoarseShift + kCoarseWindow + 16] = {};

// The block-processing lengths of the rate they were computed for, and the
// two lengths the scan divides by at every trigger.
constinit uint32_t lengths_rate = 0;
constinit RadioLengths lengths = {};
constinit FixedDivisor by_len8 = {};
constinit FixedDivisor by_window = {};

uint32_t gcd(uint32_t a, uint32_t b) {
    while (b != 0) {
        uint32_t t = a % b;
        a = b;
        b = t;
    }
    return a;
}

/// Samples in x us at `rate`, rounded to nearest.
int32_t at_us(uint32_t x, uint32_t rate) {
    return static_cast<int32_t>((static_cast<uint64_t>(x) * rate + 500000) / 1000000);
}

/// The level class of a trigger: how many octaves `level` lies above half
/// the trigger level, offset by 3; negative classes count as 0.
int level_bin(int32_t trigger_level, int32_t level) {
    int b = std::countl_zero(2U * static_cast<uint32_t>(trigger_level) + 1U) -
            std::countl_zero(2U * static_cast<uint32_t>(level) + 1U) + 3;
    if (b < 0) b = 0;
    VX_ASSERT(kModule, b <= 11);
    return b;
}

#if VORLIX_SSE2
// mask_tail + r: the last 16 - r of 16 bytes set.
alignas(16) constexpr uint8_t mask_tail[32] = {
    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

/// The largest of the 16 bytes of v.
inline uint8_t max_bytes(__m128i v) {
    v = _mm_max_epu8(v, _mm_srli_si128(v, 8));
    v = _mm_max_epu8(v, _mm_srli_si128(v, 4));
    v = _mm_max_epu8(v, _mm_srli_si128(v, 2));
    v = _mm_max_epu8(v, _mm_srli_si128(v, 1));
    return static_cast<uint8_t>(_mm_cvtsi128_si32(v));
}

/// The sum of the two 64-bit lanes of v, as int32 (sums of magnitudes).
inline int32_t sum_lanes64(__m128i v) {
    return _mm_cvtsi128_si32(_mm_add_epi64(v, _mm_unpackhi_epi64(v, v)));
}

/// The sum of the four 32-bit lanes of v (wrapping) in every lane.
inline __m128i sum_lanes32(__m128i v) {
    v = _mm_add_epi32(v, _mm_shuffle_epi32(v, 0x4E));
    return _mm_add_epi32(v, _mm_shuffle_epi32(v, 0xB1));
}

/// The products of a padded filter branch (16 taps, aligned) with the 16
/// inputs at x, added in pairs in 32 bits (each pair within +-2^31) and
/// then into four lanes modulo 2^32, as the portable loop adds them.
inline __m128i branch_products(const int16_t* branch, const int16_t* x) {
    const __m128i* bv = reinterpret_cast<const __m128i*>(branch);
    const __m128i* xv = reinterpret_cast<const __m128i*>(x);
    return _mm_add_epi32(_mm_madd_epi16(_mm_load_si128(bv), _mm_loadu_si128(xv)),
                         _mm_madd_epi16(_mm_load_si128(bv + 1), _mm_loadu_si128(xv + 1)));
}
#endif

[[gnu::always_inline]] inline int32_t sum_range(const uint8_t* mag, int from, int count) {
#if VORLIX_SSE2
    if (count >= 16) {
        // Sums of absolute differences from zero, 16 bytes at a time; the
        // last 16 bytes of the range are masked to those not yet added.
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
            const __m128i m =
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(mask_tail + (count - i)));
            acc = _mm_add_epi64(acc, _mm_sad_epu8(_mm_and_si128(v, m), zero));
        }
        return sum_lanes64(acc);
    }
    int32_t s = 0;
    for (int i = 0; i < count; i++) s += mag[from + i];
    return s;
#else
    // A machine word at a time: its bytes added in 16-bit lanes, which hold
    // the sums of up to 128 words (128 x 510 < 65536); then the lanes.
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
#endif
}

/// The largest of mag[from .. from + count), 0 for none; count >= 16.
uint8_t max_range(const uint8_t* mag, int from, int count) {
    VX_ASSERT(kModule, count >= 16);
    const uint8_t* p = mag + from;
#if VORLIX_SSE2
    __m128i mx = _mm_setzero_si128();
    int i = 0;
    for (; i + 16 <= count; i += 16)
        mx = _mm_max_epu8(mx, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i)));
    if (i < count)
        mx = _mm_max_epu8(mx, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + count - 16)));
    return max_bytes(mx);
#else
    unsigned mx = 0;
    for (int i = 0; i < count; i++) mx = p[i] > mx ? p[i] : mx;
    return static_cast<uint8_t>(mx);
#endif
}

#if VORLIX_AVX2

/// The magnitudes of the 32 pairs at src, saturated at 255, in order.
[[gnu::target("avx2"), gnu::always_inline]] inline __m256i magnitudes32(const uint8_t* src) {
    const __m256i mid = _mm256_set1_epi8(127);
    const __m256i ones = _mm256_set1_epi8(1);
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + 32));
    const __m256i da = _mm256_sub_epi8(_mm256_max_epu8(a, mid), _mm256_min_epu8(a, mid));
    const __m256i db = _mm256_sub_epi8(_mm256_max_epu8(b, mid), _mm256_min_epu8(b, mid));
    // The two distances of a pair added into 16 bits (0..256), packed back
    // to bytes with unsigned saturation; the pack interleaves the 128-bit
    // halves, the permutation restores the order.
    const __m256i m =
        _mm256_packus_epi16(_mm256_maddubs_epi16(da, ones), _mm256_maddubs_epi16(db, ones));
    return _mm256_permute4x64_epi64(m, 0xD8);
}

/// magnitudes() with AVX2.
[[gnu::target("avx2")]] int32_t magnitudes_avx2(const uint8_t* __restrict block,
                                                uint8_t* __restrict mag, int peak_end,
                                                uint8_t* peak) {
    const __m256i zero = _mm256_setzero_si256();
    __m256i acc = zero;
    __m256i mx = zero;
    const int whole = peak_end & ~31;
    int k = 0;
    for (; k < whole; k += 32) {
        const __m256i m = magnitudes32(block + 2 * k);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(mag + k), m);
        acc = _mm256_add_epi64(acc, _mm256_sad_epu8(m, zero));
        mx = _mm256_max_epu8(mx, m);
    }
    for (; k < kBlockPairs; k += 32) {
        const __m256i m = magnitudes32(block + 2 * k);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(mag + k), m);
        acc = _mm256_add_epi64(acc, _mm256_sad_epu8(m, zero));
    }
    uint8_t top =
        max_bytes(_mm_max_epu8(_mm256_castsi256_si128(mx), _mm256_extracti128_si256(mx, 1)));
    for (int i = whole; i < peak_end; i++) top = std::max(top, mag[i]);
    *peak = top;
    const __m128i s = _mm_add_epi64(_mm256_castsi256_si128(acc), _mm256_extracti128_si256(acc, 1));
    return sum_lanes64(s);
}
#endif

#if VORLIX_SSE2
// Bit maps of the positions whose magnitude reaches the trigger threshold:
// bit q for positions 0 .. 4098, the last the scan looks at.
constexpr int kTriggerWords = (kBlockPairs + 3 + 63) / 64;
static_assert(kTriggerWords * 64 <= kMagEntries, "the bit map reads inside mag");

/// Bit q of bits: mag[q] >= thr (1..255), for q in [0, 64 kTriggerWords).
void build_trigger_bits(uint64_t* bits, const uint8_t* mag, int32_t thr) {
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

#if VORLIX_AVX2
[[gnu::target("avx2")]] void build_trigger_bits_avx2(uint64_t* bits, const uint8_t* mag,
                                                     int32_t thr) {
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
#endif

// |b - 127| of every byte b: 0..128.
constexpr std::array<uint8_t, 256> kDistance = [] {
    std::array<uint8_t, 256> t{};
    for (int b = 0; b < 256; b++)
        t[static_cast<size_t>(b)] = static_cast<uint8_t>(b >= 127 ? b - 127 : 127 - b);
    return t;
}();

#if !VORLIX_SSE2
// The cheap magnitude of every pair, indexed by its two bytes read as one
// 16-bit word (the magnitude is symmetric in I and Q, so the byte order
// does not matter): one load per pair for the board. Built by radio_init.
constinit uint8_t pair_magnitude[65536] = {};
constinit bool pair_magnitude_ready = false;

void build_pair_magnitude() {
    for (unsigned w = 0; w < 65536; w++) {
        const unsigned m = kDistance[w & 0xFF] + kDistance[w >> 8];
        pair_magnitude[w] = static_cast<uint8_t>(m > 255 ? 255 : m);
    }
    pair_magnitude_ready = true;
}
#endif

/// The lengths of the current rate; recomputed only when the rate changes.
const RadioLengths& lengths_of(uint32_t samp_rate) {
    if (lengths_rate != samp_rate) {
        lengths = radio_lengths(samp_rate);
        lengths_rate = samp_rate;
        by_len8 = fixed_divisor(lengths.len8);
        by_window = fixed_divisor(lengths.len64 - lengths.len12);
    }
    return lengths;
}

void build_exact_table() {
    for (int a = 0; a < kAbsSpan; a++) {
        for (int b = 0; b <= a; b++) {
            // Pairs at distance a and b: (127 + a, 127 + b), symmetric in a, b.
            const int16_t m =
                exact_magnitude(static_cast<uint8_t>(127 + a), static_cast<uint8_t>(127 + b));
            exact_table[a * kAbsSpan + b] = m;
            exact_table[b * kAbsSpan + a] = m;
        }
    }
    exact_ready = true;
}

/// Cheap magnitudes of the 4096 pairs at `block` into mag[0..4095]:
/// |i| + |q|, saturated at 255 (only the clipped pair (255, 255) reaches
/// 256). Returns their sum, and the largest of mag[0..peak_end) in *peak
/// (peak_end 0..4096).
int32_t magnitudes(const uint8_t* __restrict block, uint8_t* __restrict mag, int peak_end,
                   uint8_t* peak) {
#if VORLIX_SSE2
    // |b - 127| of all 32 bytes of 16 pairs, the two of each pair added in
    // 16-bit lanes (0..256), packed back to bytes with unsigned saturation.
    const __m128i zero = _mm_setzero_si128();
    const __m128i mid = _mm_set1_epi8(127);
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
    if (whole < peak_end) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(mag + peak_end - 16));
        const __m128i m =
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(mask_tail + (peak_end - whole)));
        mx = _mm_max_epu8(mx, _mm_and_si128(v, m));
    }
    *peak = max_bytes(mx);
    return sum_lanes64(acc);
#else
    // One pass for the board, which has no vectors: each pair is one
    // 16-bit load and one table entry (built by radio_init); the sum and
    // the peak stay in registers. Pairs start at even addresses
    // (process_block checks).
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
#endif
}

/// The first index q in [from, end) with mag[q] >= thr, or end: a machine
/// word of magnitudes at a time. For thr in 1..128 a byte b reaches thr
/// exactly when bit 7 of b or of (b & 0x7F) + 128 - thr is set, and the
/// addition cannot carry into the next byte.
int find_at_least(const uint8_t* mag, int from, int end, int32_t thr) {
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
    while (q < end && mag[q] < thr) q++;
    return q;
}

// The vector routines of this processor, chosen by radio_select_vectors.
struct VectorCode {
    int width;  ///< bytes: 32 AVX2, 16 SSE2, 0 none
    int32_t (*magnitudes)(const uint8_t* block, uint8_t* mag, int peak_end, uint8_t* peak);
#if VORLIX_SSE2
    void (*trigger_bits)(uint64_t* bits, const uint8_t* mag, int32_t thr);
#endif
};
#if VORLIX_SSE2
constexpr VectorCode kSse2 = {16, magnitudes, build_trigger_bits};
#if VORLIX_AVX2
constexpr VectorCode kAvx2 = {32, magnitudes_avx2, build_trigger_bits_avx2};
#endif
constinit VectorCode vectors = kSse2;
#else
constinit VectorCode vectors = {0, magnitudes};
#endif

/// The trigger search of one block. With vectors, the positions whose
/// magnitude reaches the threshold are marked in a bit map once per block,
/// so that a trigger costs a few word operations instead of a restarted
/// search; thresholds of 0 or below (everywhere) and above 255 (nowhere)
/// need no map.
struct TriggerSearch {
    const uint8_t* mag;
    int32_t thr;
#if VORLIX_SSE2
    uint64_t bits[kTriggerWords];
#endif
};

void trigger_search_init(TriggerSearch* t, const uint8_t* mag, int32_t thr) {
    t->mag = mag;
    t->thr = thr;
#if VORLIX_SSE2
    if (thr >= 1 && thr <= 255) vectors.trigger_bits(t->bits, mag, thr);
#endif
}

/// The first position q in [from, end) with mag[q] >= thr, or end.
inline int trigger_next(const TriggerSearch& t, int from, int end) {
#if VORLIX_SSE2
    if (t.thr >= 1 && t.thr <= 255) {
        int w = from >> 6;
        uint64_t word = t.bits[w] & (~uint64_t{0} << (from & 63));
        while (word == 0) {
            if (++w == kTriggerWords || 64 * w >= end) return end;
            word = t.bits[w];
        }
        return std::min(64 * w + std::countr_zero(word), end);
    }
#endif
    return find_at_least(t.mag, from, end, t.thr);
}

}  // namespace

RadioLengths radio_lengths(uint32_t samp_rate) {
    RadioLengths l;
    l.len1 = at_us(1, samp_rate);
    l.len8 = at_us(8, samp_rate);
    l.len5 = (5 * l.len8) / 8;
    l.len10 = at_us(10, samp_rate);
    l.len12 = at_us(12, samp_rate);
    l.len64 = at_us(64, samp_rate);
    l.seg = l.len64 / 6;
    l.long_skip = l.len64 / 3;
    return l;
}

void slice_history_restart() {
    history = SliceHistory{};
}

const SliceHistory* slice_history() {
    return &history;
}
const int16_t* radio_filter() {
    return resample_filter;
}
const int32_t* radio_coarse_template() {
    return coarse_template;
}
const int32_t* radio_fine_template() {
    return fine_template;
}

void radio_init(Context* ctx) {
    VX_ASSERT(kModule, ctx->samp_rate >= 2000000 && ctx->samp_rate <= 3200000);
    uint32_t g = gcd(ctx->samp_rate, kWorkRate);
    if (g < 200000) {
        // Round to a multiple of 200 kHz, whose gcd with 6 MHz is large.
        uint32_t k = (ctx->samp_rate + 100000) / 200000;
        ctx->samp_rate = (k * kWorkRate + 15) / 30;
        g = gcd(ctx->samp_rate, kWorkRate);
    }
    ctx->resample_up = (g / 2 + kWorkRate) / g;
    ctx->resample_down = (g / 2 + ctx->samp_rate) / g;
    VX_ASSERT(kModule, static_cast<uint64_t>(ctx->resample_down) * kWorkRate / ctx->resample_up ==
                           ctx->samp_rate);
    ctx->filter_taps = kBranchTaps * ctx->resample_up;
    VX_ASSERT(kModule, ctx->filter_taps <= static_cast<uint32_t>(kMaxFilterTaps));
    ctx->history_len = static_cast<uint32_t>(static_cast<uint64_t>(ctx->samp_rate) * 128 / 1000000);

    make_template(fine_template, kFineScale, kFineEntries);
    int32_t scale =
        static_cast<int32_t>((static_cast<uint64_t>(ctx->samp_rate) * 4096 + 500000) / 1000000);
    make_template(coarse_template, scale, static_cast<int>((ctx->samp_rate + 50000) / 100000));

    int32_t cut = 4096 / static_cast<int32_t>(ctx->resample_up);  // input Nyquist, Q12
    int taps = static_cast<int>(ctx->filter_taps);
    design_lowpass(cut, resample_filter, taps);
    polyphase_reorder(resample_filter, static_cast<int>(ctx->resample_up), taps);

    if (!exact_ready) build_exact_table();
    radio_select_vectors(32);
#if !VORLIX_SSE2
    if (!pair_magnitude_ready) build_pair_magnitude();
#endif
    memset(slice_filter, 0, sizeof slice_filter);
    for (int b = 0; b < static_cast<int>(ctx->resample_up); b++) {
        for (int j = 0; j < kBranchTaps; j++)
            slice_filter[b][j] = resample_filter[b * kBranchTaps + j];
    }
    for (int j = 0; j < kFineEntries; j++) {
        VX_ASSERT(kModule, fine_template[j] >= INT16_MIN && fine_template[j] <= INT16_MAX);
        fine_window[6 + j] = static_cast<int16_t>(fine_template[j]);
    }
    const RadioLengths& len = lengths_of(ctx->samp_rate);
    VX_ASSERT(kModule, len.len1 + 1 <= kCoarseShift && len.len8 / 2 - 1 <= kCoarseShift);
    VX_ASSERT(kModule, len.len10 + len.len8 / 2 - 1 <= kCoarseWindow && len.len10 <= kTemplateMax);
    memset(coarse_window, 0, sizeof coarse_window);
    for (int j = 0; j < len.len10; j++) {
        VX_ASSERT(kModule, coarse_template[j] >= -4096 && coarse_template[j] <= 4096);
        coarse_window[kCoarseShift + j] = static_cast<int16_t>(coarse_template[j]);
    }
}

int32_t block_magnitude(const uint8_t* block, int32_t* mag) {
#if !VORLIX_SSE2
    if (!pair_magnitude_ready) build_pair_magnitude();  // radio_init may not have run
#endif
    // Any address: the block scan's loops want pairs at even addresses.
    alignas(16) uint8_t pairs[kBlockBytes];
    memcpy(pairs, block, sizeof pairs);
    uint8_t bytes[kBlockPairs];
    uint8_t peak = 0;
    const int32_t sum = magnitudes(pairs, bytes, 0, &peak);
    for (int k = 0; k < kBlockPairs; k++) mag[k] = bytes[k];
    return sum;
}

int32_t process_block(Context* ctx) {
    return scan_block(ctx, ctx->classic ? slice_frame : slice_frame_soft);
}

int32_t scan_block(Context* ctx, SliceFn slicer) {
    VX_ASSERT(kModule, ctx->block != nullptr && reinterpret_cast<uintptr_t>(ctx->block) % 2 == 0);
    const RadioLengths& len = lengths_of(ctx->samp_rate);
    const int hist = static_cast<int>(ctx->history_len);
    uint8_t* const mag = ctx->mag;
    DecoderStats* const st = &ctx->stats;

    // 1. Magnitudes of the new block behind the history. The block's peak
    //    takes in every magnitude that enters the window while p walks
    //    0..4096: mag[len64+1 .. len64+4096], that is the history from
    //    len64 + 1 and the new magnitudes up to len64 + 4096 - hist.
    const int peak_new = len.len64 + 1 + kBlockPairs - hist;
    uint8_t peak_fused = 0;
    const int32_t total = vectors.magnitudes(ctx->block, mag + hist, peak_new, &peak_fused);

    // 2. The trigger level follows six times the mean magnitude, one step per block.
    int32_t target = (6 * total + 2048) / 4096;
    bool settle = false;
    if (!ctx->classic) {
        // The default mode follows the noise instead, estimated every
        // fourth block (it moves slowly), and takes the level of the
        // attempt's first block at once instead of climbing from 4 one step
        // per block (deaf for the first blocks after every reconnection).
        constexpr int32_t kNoiseEvery = 4;
        settle = ctx->noise_blocks == 0;
        if (ctx->noise_blocks % kNoiseEvery == 0) {
            ctx->noise_target = soft_trigger_target(mag + hist, total);
        }
        target = ctx->noise_target;
        ctx->noise_blocks = ctx->noise_blocks % kNoiseEvery + 1;
    }
    if (settle) {
        ctx->trigger_level = target;
    } else if (target < ctx->trigger_level) {
        ctx->trigger_level--;
    } else if (target > ctx->trigger_level) {
        ctx->trigger_level++;
    }
    const int32_t tl = ctx->trigger_level;
    level_stats_update(&st->noise_level, tl);

    // 4. Scan. The window at p is the sum of mag[p+len12+1 .. p+len64] plus
    //    whatever offset the carried window_sum had at p = 0 (none, unless
    //    the caller set it otherwise); `window` holds it at position `wpos`.
    const int32_t win_len = len.len64 - len.len12;
    const int32_t offset = ctx->window_sum - sum_range(mag, len.len12 + 1, win_len);
    int32_t window = ctx->window_sum;
    int wpos = 0;
    auto window_at = [&](int at) {
        // A step costs about as much as 16 magnitudes of a fresh sum.
        if (4 * (at - wpos) < win_len / 4) {
            for (int q = wpos; q < at; q++)
                window += mag[q + 1 + len.len64] - mag[q + 1 + len.len12];
        } else {
            window = offset + sum_range(mag, at + len.len12 + 1, win_len);
        }
        wpos = at;
        return window;
    };
    // The default mode triggers at 7/16 of the level instead of 1/2: its
    // slicer looks further around a candidate and lets the parity decide.
    const int32_t threshold = ctx->classic ? tl / 2 : tl * 7 / 16;
    TriggerSearch trigger;
    trigger_search_init(&trigger, mag, threshold);
    int32_t result = 0;
    int p = 0;
    for (;;) {
        // 4.1 Pass over the pending skip; the rest carries into the next block.
        if (p + ctx->skip < kBlockPairs) {
            p += ctx->skip;
            ctx->skip = 0;
        } else {
            ctx->skip -= kBlockPairs - p;
            p = kBlockPairs;
        }
        VX_ASSERT(kModule, ctx->skip >= 0);
        if (ctx->skip != 0) break;

        // 4.2 Trigger search: the next position whose mag[p+3] reaches the threshold.
        p = trigger_next(trigger, p + 3, kBlockPairs + 3) - 3;
        VX_ASSERT(kModule, p <= kBlockPairs);
        if (p == kBlockPairs) break;
        // The default mode's lower threshold lets noise through: a preamble
        // has another pulse within 5 us of the one that triggered.
        if (!ctx->classic && threshold > 0 &&
            trigger_next(trigger, p + 4, p + 3 + len.len5) == p + 3 + len.len5) {
            ctx->skip = len.len5;  // the next trigger lies beyond
            continue;
        }

        // 4.3 Preamble level.
        const int32_t pre = divide(sum_range(mag, p, len.len8), by_len8);
        st->peak_bins[level_bin(tl, pre)]++;

        // 4.4 Data level over 12..64 us.
        const int32_t data = divide(window_at(p), by_window);
        if (2 * data < threshold) {
            ctx->skip = len.long_skip;
            continue;
        }
        const int b2 = level_bin(tl, data);

        // 4.6 Preamble/data ratio.
        if (!((25 - ctx->sensitvity[0]) * pre < 22 * data)) {
            ctx->skip = len.len5;
            continue;
        }
        st->rms_bins[b2]++;

        // 4.8 Flatness: five segments of the data, each in steps of 5 % of D.
        VX_ASSERT(kModule, data > 0);
        int32_t flat = 0;
        for (int sgm = 1; sgm <= 5; sgm++) {
            int32_t seg_sum = sum_range(mag, p + sgm * len.seg, len.seg);
            VX_ASSERT(kModule, seg_sum >= 0);
            int32_t dev = (20 * seg_sum) / (data * len.seg) - 20;
            flat += dev < 0 ? -dev : dev;
        }
        if (flat > 3 * ctx->sensitvity[1] + 20) {
            ctx->skip = len.len5;
            continue;
        }

        // 4.9 Correlation with the preamble template at the sample rate.
        int32_t best = 0;
        // The default mode's slicer searches from 1 us before the start
        // on; it stops the shifts short of 3.5 us, where the preamble's
        // last two pulses meet the template's first two.
        const int32_t shift_2_5us = static_cast<int32_t>((5ULL * ctx->samp_rate / 1000000 + 1) / 2);
        const int k_last = ctx->classic ? len.len8 / 2 - 1 : std::min(len.len8 / 2 - 1, shift_2_5us);
        int32_t best_off = 0;
#if VORLIX_SSE2
        // mag[p .. p + 48) as 16-bit values; products of at most 255 * 4096
        // in pairs, so the 32-bit sums are exact.
        __m128i mv[kCoarseWindow / 8];
        for (int c = 0; c < kCoarseWindow / 16; c++) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(mag + p + 16 * c));
            mv[2 * c] = _mm_unpacklo_epi8(v, _mm_setzero_si128());
            mv[2 * c + 1] = _mm_unpackhi_epi8(v, _mm_setzero_si128());
        }
#endif
        for (int k = -(len.len1 + 1); k <= k_last; k++) {
#if VORLIX_SSE2
            const int16_t* t = coarse_window + kCoarseShift - k;
            __m128i sum = _mm_setzero_si128();
            for (int c = 0; c < kCoarseWindow / 8; c++) {
                const __m128i tv = _mm_loadu_si128(reinterpret_cast<const __m128i*>(t + 8 * c));
                sum = _mm_add_epi32(sum, _mm_madd_epi16(mv[c], tv));
            }
            const int32_t corr = _mm_cvtsi128_si32(sum_lanes32(sum)) / len.len10;
#else
            const int j0 = std::max(0, -k);
            uint32_t acc = 0;
            for (int j = j0; j < len.len10; j++) {
                acc += static_cast<uint32_t>(coarse_template[j]) * mag[p + k + j];
            }
            const int32_t corr = static_cast<int32_t>(acc) / len.len10;
#endif
            if (corr > best) {
                best = corr;
                best_off = k + len.len1;
            }
        }

        // 4.10 Score of ratio and correlation.
        //      The default mode allows 20 more: its slicer searches wider
        //      and lets the parity decide.
        if (!(2 * ((50 * pre) / data - 27) - 3 * (best / data - 29) <
              3 * ctx->sensitvity[2] + 50 + (ctx->classic ? 0 : 20))) {
            ctx->skip = len.len5;
            continue;
        }
        st->corr_bins[b2]++;

        // 4.12 Slice from the first preamble pulse.
        const int32_t start = std::clamp(p + best_off, 0, kBlockPairs - 1);
        ctx->window_sum = window;
        // The default slicer decides how far to pass over a rejected
        // candidate itself, counted from the start.
        const int32_t r = slicer(ctx, start, data);
        ctx->skip = ctx->classic ? std::max(r, len.len5) : std::max(1, start - p + r);
        result += r;
    }
    ctx->window_sum = window_at(kBlockPairs);
    ctx->peak_mag = std::max<int32_t>(
        ctx->peak_mag, std::max(peak_fused, max_range(mag, len.len64 + 1, hist - len.len64 - 1)));

    // 5. Carry the last history_len samples over to the head of the buffers.
    memmove(mag, mag + kBlockPairs, static_cast<size_t>(hist) * sizeof(mag[0]));
    memmove(ctx->samples, ctx->block + kBlockBytes - 2 * hist, static_cast<size_t>(2 * hist));
    return result;
}

int16_t exact_magnitude(uint8_t b0, uint8_t b1) {
    const int32_t i = (b0 - 127) * 128;  // -16256 .. 16384
    const int32_t q = (b1 - 127) * 128;
    const uint32_t x = static_cast<uint32_t>(i * i + q * q);  // 0 or 16384 .. 2^29
    if (x == 0) return 0;
    // Newton's method from a shift estimate; the result is the first
    // iterate that does not decrease.
    const int bits = std::bit_width(x);
    uint32_t g = x >> std::max(bits / 2 - 1, 0);
    if (g == 0) return 0;
    for (;;) {
        const uint32_t y = (x / g + g) / 2;
        if (y == 0) return 0;
        if (y >= g) return static_cast<int16_t>(y);
        g = y;
    }
}

void slice_input_init(SliceInput* in, const Context* ctx, int32_t start, int32_t count) {
    VX_ASSERT(kModule, start >= 0 && start < kBlockPairs);
    VX_ASSERT(kModule, exact_ready);
    const int hist = static_cast<int>(ctx->history_len);
    VX_ASSERT(kModule, count >= 0 && count <= kSliceInputs && start + count <= hist + kBlockPairs);
    const int n_out =
        static_cast<int>(static_cast<uint32_t>(hist) * ctx->resample_up / ctx->resample_down) + 1;
    VX_ASSERT(kModule, n_out <= kSliceResampled);
    in->ctx = ctx;
    in->start = start;
    in->count = count;
    in->have = 0;
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

namespace {

/// Exact magnitudes of the candidate's pairs start + [have, need): the
/// history below history_len, then the block. The kBranchPadded entries
/// behind them read as 0: the padded filter reads up to two beyond the
/// last input it needs, always with a zero tap.
void slice_input_fill(SliceInput* in, int need) {
    const Context* ctx = in->ctx;
    const int hist = static_cast<int>(ctx->history_len);
    const int start = in->start;
    int16_t* const exact = in->buf + kSliceFrontPad;
    const int split = std::clamp(hist - start, in->have, need);
    auto put = [&](const uint8_t* pair, int from, int to) {
        for (int i = from; i < to; i++, pair += 2) {
            exact[i] = exact_table[kDistance[pair[0]] * kAbsSpan + kDistance[pair[1]]];
        }
    };
    if (split > in->have) put(ctx->samples + 2 * (start + in->have), in->have, split);
    if (need > split) put(ctx->block + 2 * (start + split - hist), split, need);
    in->have = need;
    memset(exact + in->have, 0, sizeof(int16_t) * kBranchPadded);
}

}  // namespace

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
#if VORLIX_SSE2
    // Four outputs at a time while all four are produced: the sums
    // wrap modulo 2^32, so the four can be reduced together in any
    // order; the signed saturating pack is the clamp to 16 bits.
    const int valid =
        first < produced ? std::min(count, (produced - first + stride - 1) / stride) : 0;
    for (; i + 4 <= valid; i += 4) {
        __m128i s[4];
        for (__m128i& sum : s) {
            sum = branch_products(slice_filter[r], exact + at);
            step();
        }
        const __m128i a =
            _mm_add_epi32(_mm_unpacklo_epi32(s[0], s[1]), _mm_unpackhi_epi32(s[0], s[1]));
        const __m128i b =
            _mm_add_epi32(_mm_unpacklo_epi32(s[2], s[3]), _mm_unpackhi_epi32(s[2], s[3]));
        __m128i v = _mm_add_epi32(_mm_unpacklo_epi64(a, b), _mm_unpackhi_epi64(a, b));
        v = _mm_packs_epi32(_mm_srai_epi32(v, 12), v);
        const int n = first + i * stride;
        fine[n] = static_cast<int16_t>(_mm_extract_epi16(v, 0));
        fine[n + stride] = static_cast<int16_t>(_mm_extract_epi16(v, 1));
        fine[n + 2 * stride] = static_cast<int16_t>(_mm_extract_epi16(v, 2));
        fine[n + 3 * stride] = static_cast<int16_t>(_mm_extract_epi16(v, 3));
    }
#endif
    for (; i < count; i++) {
        const int n = first + i * stride;
        if (n < produced) {
            const int16_t* branch = slice_filter[r];
            const int16_t* x = exact + at;
#if VORLIX_SSE2
            __m128i acc = sum_lanes32(branch_products(branch, x));
            acc = _mm_packs_epi32(_mm_srai_epi32(acc, 12), acc);
            fine[n] = static_cast<int16_t>(_mm_cvtsi128_si32(acc));
#else
            // The last two taps of each padded branch are zero.
            uint32_t acc = 0;
            for (int j = 0; j < kBranchTaps; j++) acc += static_cast<uint32_t>(branch[j] * x[j]);
            const int32_t v = static_cast<int32_t>(acc) >> 12;
            fine[n] = static_cast<int16_t>(std::clamp<int32_t>(v, INT16_MIN, INT16_MAX));
#endif
        } else {
            fine[n] = 0;
        }
        step();
    }
}

int32_t fine_correlation(const int16_t* at) {
    const int16_t* t = fine_window + 6;  // the template, zeros behind it
    uint32_t acc = 0;
    for (int i = 0; i < kFineWindow; i++) acc += static_cast<uint32_t>(at[i] * t[i]);
    return static_cast<int32_t>(acc);
}

void fine_correlations(const int16_t* fine, int32_t* sums) {
    for (int k = -6; k <= 5; k++) {
        // sum over j = max(0, -k) .. 57 of fine[k + j] * fine_template[j],
        // modulo 2^32
        const int16_t* t = fine_window + 6 - k;
        uint32_t acc = 0;
        for (int i = 0; i < kFineWindow; i++) acc += static_cast<uint32_t>(fine[i] * t[i]);
        sums[k + 6] = static_cast<int32_t>(acc);
    }
}

bool slice_in_order(TimeStamp coarse) {
    const int64_t order = ts_diff(coarse, history.prev_start_time);
    if (order == 0) return false;
    if (order < 0) {
        if (log_allowed(LINE_REVERSE_TIMING))
            log_warning("[frame slice] reverse timing by %" PRId64 "us, %" PRId64 "ms, %" PRId64
                        "s",
                        static_cast<int64_t>((order + 2147) / 4295),
                        static_cast<int64_t>((order + 2147483) / 4294967),
                        static_cast<int64_t>((order + (int64_t{1} << 31)) / (int64_t{1} << 32)));
        return false;
    }
    return true;
}

void slice_passed(TimeStamp coarse) {
    history.prev_start_time = coarse;
}

int32_t slice_accepted(Context* ctx, int32_t start, int32_t off, TimeStamp toa, int32_t r) {
    const int64_t dt = ts_diff(toa, history.prev_accept_toa);
    if (dt < kTs56us && log_allowed(LINE_SLICE_CLOSE)) {
        char when[256];
        time_text(when, sizeof when, toa);
        log_debug(DBG_STATISTICS,
                  "%s: is NOT minimal increasing by dt=56us >= %5.2fus (df=%d->%d) -- #%llu "
                  "last_#%llu, frame_start=%d last_s=%d, recv_t=%lld, last_t=%lld, bufoffs=%d, "
                  "last_bo=%d\n",
                  when, static_cast<double>(dt) / 4294.967296, history.prev_df, r,
                  static_cast<unsigned long long>(ctx->n_records),
                  static_cast<unsigned long long>(history.prev_record), off, history.prev_offset,
                  static_cast<long long>(ctx->cur_time),
                  static_cast<long long>(history.prev_block_time), start, history.prev_start);
    }
    history.prev_record = ctx->n_records;
    history.prev_start = start;
    history.prev_block_time = ctx->cur_time;
    history.prev_accept_toa = toa;
    history.prev_offset = off;
    history.prev_df = r;
    const int32_t duration_us = r > 7 ? 120 : 64;
    return static_cast<int32_t>(static_cast<uint64_t>(duration_us) * ctx->samp_rate / 1000000);
}

int32_t slice_frame(Context* ctx, int32_t start, int32_t level) {
    VX_ASSERT(kModule, start >= 0 && start < kBlockPairs);
    const uint32_t rate = ctx->samp_rate;
    const int hist = static_cast<int>(ctx->history_len);
    const int L = static_cast<int>(ctx->resample_up);
    const int M = static_cast<int>(ctx->resample_down);

    // 1. Coarse start time: cur_time is the instant just after the block's
    //    last sample, buffer index hist + 4096.
    const TimeStamp t1 = samples_to_ts(static_cast<int64_t>(start) - hist - kBlockPairs, rate);
    const TimeStamp coarse = ctx->cur_time + t1;

    // 2. Candidates must come in increasing time order.
    if (!slice_in_order(coarse)) return 0;
    history.prev_start_time = coarse;

    // 3., 4. Exact magnitudes and their 6 MHz resampling, computed only
    //    where they are read.
    SliceInput in;
    slice_input_init(&in, ctx, start, hist);
    alignas(16) int16_t fine[kSliceResampled];
    auto make = [&](int first, int count, int stride) {
        slice_resample(&in, fine, first, count, stride);
    };

    // 5. Fine timing: the template's first pulse lies six samples after its origin.
    make(0, kFineWindow, 1);
    int32_t sums[kFineShifts];
    fine_correlations(fine, sums);
    int32_t best = 0;
    int32_t off = 0;
    for (int k = -6; k <= 5; k++) {
        const int32_t corr = sums[k + 6] / kFineEntries;
        if (corr > best) {
            best = corr;
            off = k + 6;
        }
    }
    const int32_t fine_in = off * M / L;  // the fine offset in input samples

    // 6. Time of arrival of the first preamble pulse.
    const TimeStamp t2 = samples_to_ts(off, kWorkRate);
    const TimeStamp toa = ctx->cur_time + t1 + t2;
    const int64_t rel = ts_diff(t1 + t2, 0);
    VX_ASSERT(kModule, rel >= ts_diff(samples_to_ts(-(kBlockPairs + hist), rate), 0) &&
                           rel < ts_diff(samples_to_ts(1, rate), 0));

    // 7. Bits by pulse position: a 1 has its pulse in the first half-bit.
    //    The first byte gives the format, and the format how many bytes the
    //    frame check reads; the others stay zero.
    uint8_t bits[14] = {};
    auto decide = [&](int from_bit, int to_bit) {
        int to = to_bit;
        while (to > from_bit && off + kDataOffset + 6 * (to - 1) >= kBitLimit) to--;
        if (to <= from_bit) return;
        make(off + kDataOffset + 6 * from_bit, 2 * (to - from_bit), 3);
        for (int u = from_bit; u < to; u++) {
            const int first = off + kDataOffset + 6 * u;
            if (fine[first + 3] < fine[first]) bits[u / 8] |= static_cast<uint8_t>(0x80 >> (u % 8));
        }
    };
    decide(0, 8);
    decide(8, 8 * adsb_frame_bytes(bits[0] >> 3));

    // 8, 9. Statistics and the frame check.
    level_stats_update(&ctx->stats.candidate_level, level);
    const int32_t r = adsb_check(ctx, bits, toa, level);
    ctx->stats.last_candidate_toa = toa;
    if (r < 0) return fine_in;

    // 11. Accepted frames must be at least 56 us apart.
    return fine_in + slice_accepted(ctx, start, off, toa, r);
}

int radio_select_vectors(int width) {
#if VORLIX_AVX2
    vectors = width >= 32 && __builtin_cpu_supports("avx2") ? kAvx2 : kSse2;
#endif
    (void)width;
    return vectors.width;
}
