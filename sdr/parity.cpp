// Table-driven Mode S parity.
//
// The parity is the remainder of the data bits times x^24 divided by the
// generator 0x1FFF409, the register starting at zero. A byte at a time: the
// register's top byte xor the next data byte indexes a table of the
// remainders of that byte times x^24; the register shifts by eight.
//
// The code is linear: the syndrome of a frame with errors is the xor of the
// syndromes of its single-bit errors. A data bit's syndrome is the parity
// of a frame holding only that bit; an error in the parity field itself
// shows as that bit of the field. For frames of 112 bits and less, the 112
// single-bit syndromes are distinct and non-zero, so a syndrome names at
// most one single-bit error; a small hash finds it.
#include "sdr/parity.h"

#include <array>

namespace {

constexpr uint32_t kGenerator = 0xFFF409;  // the low 24 bits of 0x1FFF409

constexpr std::array<uint32_t, 256> make_byte_table() {
    std::array<uint32_t, 256> t{};
    for (uint32_t b = 0; b < 256; b++) {
        uint32_t r = b << 16;  // 24-bit register
        for (int i = 0; i < 8; i++) r = (r & 0x800000U) ? ((r << 1) ^ kGenerator) & 0xFFFFFFU : r << 1;
        t[b] = r;
    }
    return t;
}
constexpr std::array<uint32_t, 256> kByteTable = make_byte_table();

constexpr uint32_t table_parity(const uint8_t* frame, int n_bytes) {
    uint32_t r = 0;
    for (int i = 0; i < n_bytes; i++) r = ((r << 8) & 0xFFFFFFU) ^ kByteTable[(r >> 16) ^ frame[i]];
    return r;
}

/// The syndromes of the single-bit errors of a long frame; a short frame's
/// bit b has the syndrome of the long frame's bit b + 56 (the remainder
/// depends only on the distance of the bit from the frame's end). A hash
/// of 256 slots finds a syndrome's bit: the top byte of the syndrome times
/// a large odd number picks the first slot, and the next slots follow.
constexpr int kSlots = 256;
struct SyndromeTable {
    uint32_t by_bit[kLongFrameBits];
    uint32_t sorted[kLongFrameBits];  ///< syndrome << 8 | bit, ascending (for the check below)
    uint32_t slot[kSlots];            ///< syndrome << 8 | bit, 0 for an empty slot
};

constexpr int first_slot(uint32_t s) {
    return static_cast<int>((s * 0x9E3779B1U) >> 24);
}

constexpr SyndromeTable make_syndromes() {
    SyndromeTable t{};
    for (int bit = 0; bit < kLongFrameBits; bit++) {
        if (bit < kLongFrameBits - 24) {
            uint8_t f[11] = {};
            f[bit / 8] = static_cast<uint8_t>(0x80 >> (bit % 8));
            t.by_bit[bit] = table_parity(f, 11);
        } else {
            t.by_bit[bit] = 1U << (kLongFrameBits - 1 - bit);
        }
        t.sorted[bit] = t.by_bit[bit] << 8 | static_cast<uint32_t>(bit);
    }
    for (int i = 1; i < kLongFrameBits; i++) {  // insertion sort, at compile time
        const uint32_t v = t.sorted[i];
        int j = i - 1;
        for (; j >= 0 && t.sorted[j] > v; j--) t.sorted[j + 1] = t.sorted[j];
        t.sorted[j + 1] = v;
    }
    for (int bit = 0; bit < kLongFrameBits; bit++) {
        int k = first_slot(t.by_bit[bit]);
        while (t.slot[k] != 0) k = (k + 1) % kSlots;
        t.slot[k] = t.by_bit[bit] << 8 | static_cast<uint32_t>(bit);
    }
    return t;
}
constexpr SyndromeTable kSyndromes = make_syndromes();

constexpr bool syndromes_distinct() {
    for (int i = 1; i < kLongFrameBits; i++) {
        if ((kSyndromes.sorted[i] >> 8) == (kSyndromes.sorted[i - 1] >> 8)) return false;
    }
    return (kSyndromes.sorted[0] >> 8) != 0;
}
static_assert(syndromes_distinct(), "single-bit errors must have distinct syndromes");

}  // namespace

uint32_t parity_bytes(const uint8_t* frame, int n_bits) {
    return table_parity(frame, n_bits / 8);
}

uint32_t parity_syndrome(const uint8_t* frame, int frame_bits) {
    const int k = (frame_bits - 24) / 8;
    const uint32_t field = static_cast<uint32_t>(frame[k]) << 16 |
                           static_cast<uint32_t>(frame[k + 1]) << 8 | frame[k + 2];
    return table_parity(frame, k) ^ field;
}

uint32_t bit_syndrome(int bit, int frame_bits) {
    return kSyndromes.by_bit[bit + kLongFrameBits - frame_bits];
}

int32_t syndrome_bit(uint32_t s, int frame_bits) {
    if (s == 0 || s > 0xFFFFFFU) return -1;
    for (int k = first_slot(s);; k = (k + 1) % kSlots) {
        const uint32_t e = kSyndromes.slot[k];
        if (e == 0) return -1;
        if ((e >> 8) == s) {
            const int bit = static_cast<int>(e & 0xFF) - (kLongFrameBits - frame_bits);
            return bit >= 0 ? bit : -1;
        }
    }
}
