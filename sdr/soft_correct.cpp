// Soft-decision correction of long frames.
//
// The parity is linear: the syndrome of a frame with errors is the xor of
// the syndromes of its erroneous bits, and any two sets of up to two bits
// have distinct syndromes (the code's distance of 6 over 112 bits). So one
// or two errors are found anywhere by their syndrome alone. Three or four
// errors are not: many sets of three bits share a syndrome with one another.
// A demodulator's errors, however, fall on the bits it was least sure of,
// so the search for three or four is confined to the few least confident
// bits, where a set that clears the syndrome by chance is rare, and it is
// taken only when it is the only one there. The sets are met in the middle: the syndrome less one pair's leaves
// a single bit (three) or another pair (four) to look up.
#include "sdr/soft_correct.h"

#include <algorithm>
#include <bit>

#include "include/helper.h"
#include "sdr/parity.h"

namespace {

constexpr char kModule[] = "sdr/soft_correct";
constexpr int kBits = 112;
constexpr int kSmallSet = 16;  // three or four errors: among at most 16 bits
constexpr int kMaxWeak = 23;   // weak bits of a frame worth three or four flips

void flip(SoftFrame* f, int u) {
    f->bytes[u / 8] ^= static_cast<uint8_t>(0x80 >> (u % 8));
}

/// The bits of a frame ranked by confidence, near enough: confidences
/// binned in 64 steps of the largest.
struct Ranking {
    int shift;
    uint8_t count[64];
};

Ranking rank_bits(const SoftFrame& f) {
    Ranking r{};
    uint16_t top = 0;
    for (int u = 0; u < kBits; u++) top = std::max(top, f.confidence[u]);
    r.shift = std::max(0, static_cast<int>(std::bit_width(static_cast<unsigned>(top))) - 6);
    for (int u = 0; u < kBits; u++) r.count[f.confidence[u] >> r.shift]++;
    return r;
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

/// Marks the n least confident bits in `in` (the lower bins whole, then the
/// bin that reaches the count, in bit order) and lists them in bit order;
/// returns how many (n, or all 112).
int least_confident(const SoftFrame& f, const Ranking& r, int n, bool* in, uint8_t* list) {
    int bin = 0;
    for (int total = 0; bin < 64 && total + r.count[bin] < n; bin++) total += r.count[bin];
    int below = 0;
    for (int b = 0; b < bin; b++) below += r.count[b];
    int room = n - below;  // taken from `bin` in bit order
    int k = 0;
    for (int u = 0; u < kBits; u++) {
        const int b = f.confidence[u] >> r.shift;
        in[u] = b < bin || (b == bin && room-- > 0);
        if (in[u]) list[k++] = static_cast<uint8_t>(u);
    }
    return k;
}

/// The number of pairs u < v of bits in `in` whose syndromes xor to `s`
/// (0 or 1: two pairs never share a syndrome), the pair in *a, *b.
int pairs_clearing(uint32_t s, const bool* in, const uint8_t* list, int n, int* a, int* b) {
    int found = 0;
    for (int i = 0; i < n; i++) {
        const int u = list[i];
        const int32_t v = syndrome_bit(s ^ bit_syndrome(u, kLongFrameBits), kLongFrameBits);
        if (v > u && in[v]) {
            found++;
            *a = u;
            *b = v;
        }
    }
    return found;
}

/// Three bits u < v < w of `list` (bit order) whose syndromes xor to `s`:
/// the count of such sets, the last one in set[].
int triples_clearing(uint32_t s, const bool* in, const uint8_t* list, int n, int* set) {
    uint32_t syn[kSmallSet];
    for (int i = 0; i < n; i++) syn[i] = bit_syndrome(list[i], kLongFrameBits);
    int found = 0;
    for (int i = 0; i < n; i++) {
        const uint32_t si = s ^ syn[i];
        for (int j = i + 1; j < n; j++) {
            const int32_t w = syndrome_bit(si ^ syn[j], kLongFrameBits);
            if (w > list[j] && in[w]) {
                found++;
                set[0] = list[i];
                set[1] = list[j];
                set[2] = w;
            }
        }
    }
    return found;
}

/// Four bits a < b < c < d of `list` whose syndromes xor to `s`, as the
/// pair (a, b) and the pair (c, d), found in a small hash of the pairs'
/// syndromes (distinct: four bits never clear a syndrome on their own).
int quads_clearing(uint32_t s, const uint8_t* list, int n, int* set) {
    constexpr int kSlots = 256;  // over 120 pairs at most
    struct Slot {
        uint32_t syndrome;  ///< 0: empty (a pair's syndrome never is)
        uint8_t lo;
        uint8_t hi;
    };
    Slot slots[kSlots] = {};
    auto slot_of = [](uint32_t x) { return static_cast<int>((x * 0x9E3779B1U) >> 24); };
    uint32_t syn[kSmallSet];
    for (int i = 0; i < n; i++) syn[i] = bit_syndrome(list[i], kLongFrameBits);
    for (int i = 0; i < n; i++) {
        for (int j = i + 1; j < n; j++) {
            const uint32_t x = syn[i] ^ syn[j];
            int k = slot_of(x);
            while (slots[k].syndrome != 0) k = (k + 1) % kSlots;
            slots[k] = {x, list[i], list[j]};
        }
    }
    int found = 0;
    for (int i = 0; i < n; i++) {
        for (int j = i + 1; j < n; j++) {
            const uint32_t want = s ^ syn[i] ^ syn[j];
            for (int k = slot_of(want); slots[k].syndrome != 0; k = (k + 1) % kSlots) {
                if (slots[k].syndrome == want && slots[k].lo > list[j]) {
                    found++;
                    set[0] = list[i];
                    set[1] = list[j];
                    set[2] = slots[k].lo;
                    set[3] = slots[k].hi;
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
    const Ranking r = rank_bits(*f);
    bool in[kBits];
    uint8_t list[kBits];
    const int32_t single = syndrome_bit(s, kLongFrameBits);
    if (single >= 0) {
        // Nothing else within four flips clears it: one bit, or none.
        least_confident(*f, r, reach.one_bit, in, list);
        if (!in[single]) return SOFT_FIX_NONE;
        flip(f, single);
        return SOFT_FIX_ONE_BIT;
    }
    if (reach.two_bit >= 2) {
        const int n = least_confident(*f, r, reach.two_bit, in, list);
        int a = -1;
        int b = -1;
        if (pairs_clearing(s, in, list, n, &a, &b) == 1) {
            flip(f, a);
            flip(f, b);
            return SOFT_FIX_TWO_BITS;
        }
    }
    // Two errors anywhere are found above or not at all: a pair outside
    // the two_bit least confident could only share the syndrome of three
    // or four flips through a codeword of weight 5 or 6 made of it and of
    // them, which the distance rules out or makes as rare as chance.
    // A frame worth three or four flips is sure of its bits but a few:
    // one with many weak ones (below half its median confidence) is noise
    // or worse hit, and only gives chance a better hand.
    if (weak_bits(r) > kMaxWeak) return SOFT_FIX_NONE;
    int set[4];
    if (reach.three_bit >= 3) {
        const int n = least_confident(*f, r, reach.three_bit, in, list);
        const int found = triples_clearing(s, in, list, n, set);
        if (found > 1) return SOFT_FIX_NONE;
        if (found == 1) {
            for (int i = 0; i < 3; i++) flip(f, set[i]);
            return SOFT_FIX_THREE_BITS;
        }
    }
    if (reach.four_bit >= 4) {
        const int n = least_confident(*f, r, reach.four_bit, in, list);
        if (quads_clearing(s, list, n, set) == 1) {
            for (int i = 0; i < 4; i++) flip(f, set[i]);
            return SOFT_FIX_FOUR_BITS;
        }
    }
    return SOFT_FIX_NONE;
}
