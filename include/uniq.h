// UniqId: the six-byte station id, kept in its in-memory byte form.
//
// Bytes 0..3 hold the 32-bit `id` little-endian; bytes 4..5 the 16-bit type
// word little-endian, whose bit fields are, from the lowest bit up:
// `remote` (bit 0), `kind` (bits 1..9), `strategy` (bits 10..13) and
// `suffix` (bits 14..15). All six bytes zero means "no id".
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
