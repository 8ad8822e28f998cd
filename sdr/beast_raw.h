// The two formats in which the listening outputs carry every accepted
// frame, and the reader of the first: pure functions on caller buffers, no
// state of their own.
//
// Beast binary: 0x1a, a type byte ('2' a 56-bit frame, '3' a 112-bit one;
// '1' is a two-byte Mode A/C reply, which this receiver never sends), a
// 6-byte big-endian time stamp (a 12 MHz counter), one signal byte and the
// frame. Every 0x1a in the time stamp, the signal byte or the frame is sent
// twice, so a 0x1a followed by anything else always starts a message.
//
// Raw: one line "*<HEX>;\n" per frame, upper-case hex digits.
//
// The time stamp is the frame's time of arrival (units of 2^-32 s since
// the epoch) counted in 12 MHz ticks, modulo 2^48 (the counter wraps every
// 23456248.06 s, about 271 days): with time-stamped input it follows the
// recorder's sample clock and never steps back, except across a restarted
// time base. It is computed exactly in 64-bit integers (the board has no
// 128-bit type): seconds and fraction apart, the fraction's ticks rounded
// to nearest (halves up).
//
// The signal byte is the frame's amplitude relative to full scale: 255 for
// an I/Q sample at the corner of the byte range, so that 20*log10(byte/255)
// reads as dBFS. beast_signal_from_level explains the scale it is taken from.
#pragma once

#include <cstdint>

#include "include/helper.h"

inline constexpr uint8_t kBeastEscape = 0x1a;
inline constexpr uint8_t kBeastTypeModeAC = '1';  ///< 2-byte Mode A/C reply (read only)
inline constexpr uint8_t kBeastTypeShort = '2';   ///< 56-bit Mode S frame
inline constexpr uint8_t kBeastTypeLong = '3';    ///< 112-bit Mode S frame
inline constexpr int kBeastStampBytes = 6;        ///< 48-bit counter, big-endian
inline constexpr int kModeSShortBytes = 7;        ///< 56 bits
inline constexpr int kModeSLongBytes = 14;        ///< 112 bits
inline constexpr int kModeACBytes = 2;

/// A Beast message at its longest: escape and type, then the time stamp,
/// the signal byte and a long frame with every byte doubled.
inline constexpr int kBeastMaxBytes = 2 + 2 * (kBeastStampBytes + 1 + kModeSLongBytes);
/// A raw line at its longest: '*', 28 hex digits, ';' and the newline.
inline constexpr int kRawMaxBytes = 1 + 2 * kModeSLongBytes + 2;
static_assert(kBeastMaxBytes == 44 && kRawMaxBytes == 31);

/// The 12 MHz counter runs modulo 2^48.
inline constexpr uint64_t kBeastClockMask = (uint64_t{1} << 48) - 1;
inline constexpr uint32_t kBeastClockHz = 12000000;

/// Bytes of a Mode S frame whose first byte is `first`: 14 when the first
/// bit (the top bit of the downlink format) is set, else 7.
constexpr int mode_s_frame_bytes(uint8_t first) {
    return (first & 0x80) != 0 ? kModeSLongBytes : kModeSShortBytes;
}

/// The 12 MHz counter of time stamp `t` (units of 2^-32 s): t * 12 MHz /
/// 2^32, to the nearest tick (halves up), modulo 2^48.
uint64_t beast_clock_12mhz(TimeStamp t);

/// The signal byte of a frame from the level the frame check receives (the
/// mean cheap magnitude |I - 127| + |Q - 127| over 12..64 us of the
/// candidate, 0..255). 0 for a level of 0 or less, 255 from level 116 on.
uint8_t beast_signal_from_level(int32_t level);

/// Writes the Beast message of `frame` (`n_bytes` 7 or 14) with counter
/// `stamp` (its low 48 bits) and `signal` to `out` (room for kBeastMaxBytes);
/// the bytes written, or -1 for another frame length (nothing written).
[[nodiscard]] int beast_encode(uint8_t* out, const uint8_t* frame, int n_bytes, uint64_t stamp,
                               uint8_t signal);

/// Writes the raw line of `frame` (`n_bytes` 7 or 14) to `out` (room for
/// kRawMaxBytes); the bytes written, or -1 for another frame length.
[[nodiscard]] int raw_encode(uint8_t* out, const uint8_t* frame, int n_bytes);

/// One Beast message as read back.
struct BeastMessage {
    uint8_t type;                    ///< kBeastTypeModeAC, kBeastTypeShort or kBeastTypeLong
    uint8_t signal;                  ///< signal byte, 0..255
    uint8_t length;                  ///< frame bytes: 2, 7 or 14
    uint64_t stamp;                  ///< 12 MHz counter, 0..2^48-1
    uint8_t frame[kModeSLongBytes];  ///< only `length` bytes are valid
};

/// The reader's state between bytes of a stream.
struct BeastReader {
    int32_t state;  ///< where in a message the next byte falls (the reader's own)
    int32_t need;   ///< bytes of time stamp, signal and frame the message carries
    int32_t have;   ///< of them received
    uint8_t type;   ///< type byte of the message being read
    uint8_t body[kBeastStampBytes + 1 + kModeSLongBytes];  ///< its unescaped bytes
    uint64_t skipped;   ///< bytes outside any message, and of messages cut short
    uint64_t messages;  ///< messages completed
};

/// Starts a reader at the beginning of a stream: bytes before the first
/// message start are skipped and counted.
void beast_reader_init(BeastReader* r);

/// Takes the next byte of the stream: 1 when it completes a message (then
/// in `*out`), else 0. A message cut short by the start of another one, an
/// unknown type and bytes between messages count in r->skipped.
int beast_read_byte(BeastReader* r, uint8_t byte, BeastMessage* out);

/// Bytes of the message being read when the stream ends there (0 between
/// messages): they count as cut off.
int beast_reader_pending(const BeastReader* r);
