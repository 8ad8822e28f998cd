// Big-endian fields in byte buffers, encoded and decoded byte by byte: the
// level-2 wire, the frame bytes of Mode S and the station id all keep their
// integers most significant byte first, at any alignment (a record laid over
// the bytes would load unaligned words on the board).
//
// Owns nothing; every helper is constexpr and has no failure.
#pragma once

#include <cstdint>

constexpr void put_be16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
constexpr void put_be32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}
constexpr void put_be64(uint8_t* p, uint64_t v) {
    put_be32(p, static_cast<uint32_t>(v >> 32));
    put_be32(p + 4, static_cast<uint32_t>(v));
}
constexpr uint16_t get_be16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}
/// Three bytes: a Mode S address or parity field.
constexpr uint32_t get_be24(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 16 | static_cast<uint32_t>(p[1]) << 8 | p[2];
}
constexpr uint32_t get_be32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | static_cast<uint32_t>(p[3]);
}
constexpr uint64_t get_be64(const uint8_t* p) {
    return static_cast<uint64_t>(get_be32(p)) << 32 | get_be32(p + 4);
}
