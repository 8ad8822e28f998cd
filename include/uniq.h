// UniqId: the six-byte station id, kept in its in-memory byte form.
//
// Bytes 0..3 hold the 32-bit `id` little-endian; bytes 4..5 the 16-bit type
// word little-endian, whose bit fields are, from the lowest bit up:
// `remote` (bit 0), `kind` (bits 1..9), `strategy` (bits 10..13) and
// `suffix` (bits 14..15). All six bytes zero means "no id".
//
// Owns the name tables of the fields. Promises: uniq2str writes at most
// `size` bytes, a terminating zero included.
#pragma once

#include <cstddef>
#include <cstdint>

struct UniqId {
    uint8_t bytes[6];  ///< id LE in 0..3, type word LE in 4..5
};
static_assert(sizeof(UniqId) == 6);

constexpr uint32_t uniq_id_value(const UniqId& u) {
    return static_cast<uint32_t>(u.bytes[0]) | static_cast<uint32_t>(u.bytes[1]) << 8 |
           static_cast<uint32_t>(u.bytes[2]) << 16 | static_cast<uint32_t>(u.bytes[3]) << 24;
}
constexpr uint16_t uniq_type_word(const UniqId& u) {
    return static_cast<uint16_t>(u.bytes[4] | u.bytes[5] << 8);
}
constexpr UniqId uniq_make(uint32_t id, uint16_t type) {
    return UniqId{{static_cast<uint8_t>(id), static_cast<uint8_t>(id >> 8),
                   static_cast<uint8_t>(id >> 16), static_cast<uint8_t>(id >> 24),
                   static_cast<uint8_t>(type), static_cast<uint8_t>(type >> 8)}};
}

/// Bit fields of the type word.
constexpr int uniq_remote(const UniqId& u) {
    return uniq_type_word(u) & 0x1;
}
constexpr int uniq_kind(const UniqId& u) {
    return (uniq_type_word(u) >> 1) & 0x1FF;
}
constexpr int uniq_strategy(const UniqId& u) {
    return (uniq_type_word(u) >> 10) & 0xF;
}
constexpr int uniq_suffix(const UniqId& u) {
    return (uniq_type_word(u) >> 14) & 0x3;
}
/// The type word from its bit fields.
constexpr uint16_t uniq_type_make(int remote, int kind, int strategy, int suffix) {
    return static_cast<uint16_t>((remote & 0x1) | (kind & 0x1FF) << 1 | (strategy & 0xF) << 10 |
                                 (suffix & 0x3) << 14);
}
constexpr bool uniq_is_zero(const UniqId& u) {
    return (u.bytes[0] | u.bytes[1] | u.bytes[2] | u.bytes[3] | u.bytes[4] | u.bytes[5]) == 0;
}

inline constexpr int kUniqKinds = 8;       ///< named kinds 0..7
inline constexpr int kUniqStrategies = 6;  ///< named strategies 0..5
inline constexpr int kUniqSuffixes = 4;    ///< suffixes 0..3

/// Kind names: 0 "undef" .. 7 "bkup".
extern const char* const uniq_kind_names[kUniqKinds];
/// Strategy names: 0 "???", 1 "sno", 2 "mac", 3 "zip", 4 "rnd", 5 "fix".
extern const char* const uniq_strategy_names[kUniqStrategies];
/// Suffix texts: "", "-1", "-2", "-3".
extern const char* const uniq_suffix_texts[kUniqSuffixes];

enum : int {
    UNIQ_KIND_USB = 5,
    UNIQ_STRATEGY_SNO = 1,
    UNIQ_STRATEGY_MAC = 2,
    UNIQ_STRATEGY_RND = 4,
};

/// Writes the text form of `uniqid` into `buffer` (printf-style truncation at
/// `size`) and returns `buffer`: "0a08=l-usb-mac-00445655"; the all-zero id
/// is "--" and seven blanks, right-aligned in 23 characters. A kind or
/// strategy without a name is shown as numbers ("0a20=l-16-2-0-00000001"),
/// a kind without a name also with a warning.
char* uniq2str(const UniqId* uniqid, char* buffer, size_t size);
