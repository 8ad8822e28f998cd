// Soft-decision correction of long frames.
//
// The parity is linear: the syndrome of a frame with errors is the xor of
// the syndromes of its erroneous bits, and any two sets of up to two bits
// have distinct syndromes (the code's distance of 6 over 112 bits). So one
// or two errors are found anywhere by their syndrome alone, and when a
// frame has at most two errors the set found is theirs. When it has more,
// the one or two bits found are any set that shares their syndrome: a
// wrong frame. Three or four errors are not found by the syndrome alone:
// many sets of three bits share a syndrome with one another. A
// demodulator's errors, however, fall on the bits it was least sure of,
// so the search for three or four is confined to the few least confident
// bits, where a set that clears the syndrome by chance is rare, and it is
// taken only when it is the only one there. The sets are met in the
// middle: the syndrome less one pair's leaves a single bit (three) or
// another pair (four) to look up. A frame with many errors (overlapped by
// another reply at a like level, most often) can still be cleared by
// chance in one to four bits; the level and weak-bit tests here and the
// caller's (soft_doubt, a second decoding) make that rare, as measured on
// dense synthetic traffic, not impossible.
#include "sdr/demod/soft_correct.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "sdr/log.h"
#include "sdr/parity.h"

namespace {

constexpr char kModule[] = "sdr/demod/soft_correct";
constexpr int kBits = 112;
constexpr int kSmallSet = 16;  // three or four errors: among at most 16 bits
constexpr int kMaxWeak = 23;   // weak bits of a frame worth three or four flips
// The largest quarter's median confidence over the smallest's, in %, of a
// frame corrected in two bits, and in three or four.
constexpr int kMaxSwingTwo = 250;
constexpr int kMaxSwingMore = 170;

void flip(SoftFrame* f, int u) {
    f->bytes[u / 8] ^= static_cast<uint8_t>(0x80 >> (u % 8));
}

/// The bits of a frame ranked by confidence, near enough: confidences
/// binned in 64 steps of the largest, a lower bin first, bit order within
/// a bin (a counting sort).
struct Ranking {
    uint8_t count[64];     ///< bits per bin
    uint8_t order[kBits];  ///< order[k]: the bit of rank k
    uint8_t rank[kBits];   ///< rank[u]: the rank of bit u
};

void rank_bits(const SoftFrame& f, Ranking* r) {
    uint16_t top = 0;
    for (int u = 0; u < kBits; u++) top = std::max(top, f.confidence[u]);
    const int shift = std::max(0, static_cast<int>(std::bit_width(static_cast<unsigned>(top))) - 6);
    uint8_t bin[kBits];
    memset(r->count, 0, sizeof r->count);
    for (int u = 0; u < kBits; u++) {
        bin[u] = static_cast<uint8_t>(f.confidence[u] >> shift);
        r->count[bin[u]]++;
    }
    uint8_t next[64];
    for (int b = 0, at = 0; b < 64; b++) {
        next[b] = static_cast<uint8_t>(at);
        at += r->count[b];
    }
    for (int u = 0; u < kBits; u++) {
        const uint8_t k = next[bin[u]]++;
        r->order[k] = static_cast<uint8_t>(u);
        r->rank[u] = k;
    }
}

/// The bits whose confidence lies below half the median's, near enough
/// (by the bins).
int weak_bits(const Ranking& r) {
    int median = 0;
    for (int total = 0; median < 64 && total + r.count[median] < kBits / 2; median++) {
        total += r.count[median];
    }
    int weak = 0;
    for (int b = 0; b < (median + 1) / 2; b++) weak += r.count[b];
    return weak;
}

/// Whether the frame came in at one level: the median confidences of its
/// four quarters (28 bits each) lie within `swing` % of one another. A
/// reply that starts inside the frame, stronger or as strong, raises or
/// scatters the confidences from its start on; its bits, decided with
/// confidence, are errors beyond any count the parity or the ranking
/// assumes, and a set of flips that clears the syndrome is chance.
bool steady_level(const SoftFrame& f, int swing) {
    constexpr int kQuarter = kBits / 4;
    uint16_t lo = UINT16_MAX;
    uint16_t hi = 0;
    for (int q = 0; q < 4; q++) {
        uint16_t c[kQuarter];
        memcpy(c, f.confidence + q * kQuarter, sizeof c);
        std::nth_element(c, c + kQuarter / 2, c + kQuarter);
        lo = std::min(lo, c[kQuarter / 2]);
        hi = std::max(hi, c[kQuarter / 2]);
    }
    return hi * 100 <= lo * swing;
}

/// The bit whose single error has syndrome `s`, when its rank lies in
/// (after, n); else -1.
inline int ranked_bit(const Ranking& r, uint32_t s, int after, int n) {
    const int32_t u = syndrome_bit(s, kLongFrameBits);
    return u >= 0 && r.rank[u] > after && r.rank[u] < n ? u : -1;
}

/// Pairs of ranks i < j < n whose bits' syndromes xor to `s`: the count (0
/// or 1: two pairs never share a syndrome), the pair in set[].
int pairs_clearing(const Ranking& r, uint32_t s, int n, int* set) {
    int found = 0;
    for (int i = 0; i < n; i++) {
        const int v = ranked_bit(r, s ^ bit_syndrome(r.order[i], kLongFrameBits), i, n);
        if (v >= 0) {
            found++;
            set[0] = r.order[i];
            set[1] = v;
        }
    }
    return found;
}

/// Three ranks i < j < k < n whose bits' syndromes xor to `s`: the count,
/// the last set in set[].
int triples_clearing(const Ranking& r, uint32_t s, int n, int* set) {
    uint32_t syn[kSmallSet];
    for (int i = 0; i < n; i++) syn[i] = bit_syndrome(r.order[i], kLongFrameBits);
    int found = 0;
    for (int i = 0; i < n; i++) {
        for (int j = i + 1; j < n; j++) {
            const int w = ranked_bit(r, s ^ syn[i] ^ syn[j], j, n);
            if (w >= 0) {
                found++;
                set[0] = r.order[i];
                set[1] = r.order[j];
                set[2] = w;
            }
        }
    }
    return found;
}

/// Four ranks a < b < c < d < n whose bits' syndromes xor to `s`, as the
/// pair (a, b) and the pair (c, d), found in a small hash of the pairs'
/// syndromes (distinct: four bits never clear a syndrome on their own).
int quads_clearing(const Ranking& r, uint32_t s, int n, int* set) {
    constexpr int kSlots = 256;  // over 120 pairs at most
    uint32_t key[kSlots];        // 0: empty (a pair's syndrome never is)
    uint8_t lo[kSlots];
    uint8_t hi[kSlots];
    memset(key, 0, sizeof key);
    auto slot_of = [](uint32_t x) { return static_cast<int>((x * 0x9E3779B1U) >> 24); };
    uint32_t syn[kSmallSet];
    for (int i = 0; i < n; i++) syn[i] = bit_syndrome(r.order[i], kLongFrameBits);
    for (int i = 0; i < n; i++) {
        for (int j = i + 1; j < n; j++) {
            int k = slot_of(syn[i] ^ syn[j]);
            while (key[k] != 0) k = (k + 1) % kSlots;
            key[k] = syn[i] ^ syn[j];
            lo[k] = static_cast<uint8_t>(i);
            hi[k] = static_cast<uint8_t>(j);
        }
    }
    int found = 0;
    for (int i = 0; i < n; i++) {
        for (int j = i + 1; j < n; j++) {
            const uint32_t want = s ^ syn[i] ^ syn[j];
            for (int k = slot_of(want); key[k] != 0; k = (k + 1) % kSlots) {
                if (key[k] == want && lo[k] > j) {
                    found++;
                    set[0] = r.order[i];
                    set[1] = r.order[j];
                    set[2] = r.order[lo[k]];
                    set[3] = r.order[hi[k]];
                }
            }
        }
    }
    return found;
}

}  // namespace

SoftFix soft_correct(SoftFrame* f, const SoftReach& reach) {
    VX_ASSERT(kModule, reach.one_bit >= 0 && reach.one_bit <= kBits && reach.two_bit >= 0 &&
                           reach.two_bit <= kBits && reach.three_bit >= 0 &&
                           reach.three_bit <= kSmallSet && reach.four_bit >= 0 &&
                           reach.four_bit <= kSmallSet);
    const uint32_t s = parity_syndrome(f->bytes, kLongFrameBits);
    if (s == 0) return SOFT_FIX_NONE;
    Ranking r;
    rank_bits(*f, &r);
    int set[4];
    SoftFix fix = SOFT_FIX_NONE;
    const int32_t single = syndrome_bit(s, kLongFrameBits);
    if (single >= 0) {
        // Nothing else within four flips clears it: one bit, or none.
        if (r.rank[single] >= reach.one_bit) return SOFT_FIX_NONE;
        set[0] = single;
        fix = SOFT_FIX_ONE_BIT;
    } else if (pairs_clearing(r, s, reach.two_bit, set) == 1) {
        // The sent frame as long as there are at most two errors: not in a
        // frame overlapped by another reply, which has more.
        if (!steady_level(*f, kMaxSwingTwo)) return SOFT_FIX_NONE;
        fix = SOFT_FIX_TWO_BITS;
    } else if (weak_bits(r) <= kMaxWeak && steady_level(*f, kMaxSwingMore)) {
        // Two errors anywhere are found above or not at all: a pair outside
        // the two_bit least confident could only share the syndrome of
        // three or four flips through a codeword of weight 5 or 6 made of it
        // and of them, which the distance rules out or makes as rare as
        // chance. A frame worth three or four flips is sure of its bits but
        // a few: one with many weak ones (below half its median confidence)
        // is noise or worse hit, and only gives chance a better hand; so
        // does one whose level changes within it (overlapped by another
        // reply).
        const int three = reach.three_bit >= 3 ? triples_clearing(r, s, reach.three_bit, set) : 0;
        if (three == 1) {
            fix = SOFT_FIX_THREE_BITS;
        } else if (three == 0 && reach.four_bit >= 4 &&
                   quads_clearing(r, s, reach.four_bit, set) == 1) {
            fix = SOFT_FIX_FOUR_BITS;
        }
    }
    for (int i = 0; i < fix; i++) flip(f, set[i]);
    return fix;
}

int32_t soft_doubt(const SoftFrame& decided, const uint8_t* fixed) {
    VX_ASSERT(kModule, fixed != nullptr);
    uint16_t c[kBits];
    memcpy(c, decided.confidence, sizeof c);
    std::nth_element(c, c + kBits / 2, c + kBits);
    const uint16_t upper = c[kBits / 2];
    const uint16_t lower = *std::max_element(c, c + kBits / 2);
    const int32_t median = std::max(1, (lower + upper) / 2);
    int32_t most = 0;
    for (int u = 0; u < kBits; u++) {
        const uint8_t mask = static_cast<uint8_t>(0x80 >> (u % 8));
        if (((decided.bytes[u / 8] ^ fixed[u / 8]) & mask) != 0) {
            most = std::max<int32_t>(most, decided.confidence[u]);
        }
    }
    return most * 100 / median;
}
