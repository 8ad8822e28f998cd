// The 12 MHz counter: t = s * 2^32 + f, so t * 12e6 / 2^32 = s * 12e6 +
// f * 12e6 / 2^32 with s * 12e6 an integer. Both products stay below
// 2^32 * 12e6 < 2^56, and so does their sum: 64-bit arithmetic is exact.
// Only the fraction's ticks are rounded; a fraction that rounds up to
// 12e6 ticks carries into the next second's count, which is the same value.
//
// The signal byte: a Mode S reply is a train of 0.5 us pulses, one per
// 1 us bit, so over the data its envelope is on half the time. The cheap
// magnitude |I| + |Q| of a carrier of amplitude R averages 4R/pi over the
// carrier's phase (it lies between R and R * sqrt(2)). The level the
// frame check receives, the mean cheap magnitude over 12..64 us of the
// candidate, is therefore about R * 2/pi, and R about level * pi/2 (the
// synthesizer's frames of amplitude 20..120 in byte units give levels of
// 0.62..0.72 times their amplitude). Full scale is an I/Q sample at the
// corner of the byte range, of amplitude 128 * sqrt(2) = 181.02, which is
// to read as 255:
//
//   byte = R * 255 / 181.02 = level * (pi/2) * 255 / 181.02 = level * 2.2128
//
// in Q9: level * 1133 / 512, rounded, at most 255. Noise in the gaps between
// the pulses adds to the level, so a frame near the noise floor reads up to
// about 2 dB high; a level that saturates (strong frames) reads 255.
#include "sdr/beast_raw.h"

#include "include/level2.h"

namespace {

constexpr uint64_t kHalfFraction = uint64_t{1} << 31;
constexpr uint32_t kSignalQ9 = 1133;      // (pi/2) * 255 / (128 * sqrt(2)) = 2.21276, times 512
constexpr int32_t kSignalLevelMax = 115;  // 115 * 1133 / 512 = 254.5 rounds to 254; 116 saturates
constexpr char kHexDigits[] = "0123456789ABCDEF";

enum ReaderState : int32_t {
    kBetween,  ///< outside a message: waiting for 0x1a
    kType,     ///< after a 0x1a that may start a message
    kBody,     ///< reading time stamp, signal and frame
    kEscape,   ///< after a 0x1a inside a message: a second one, or the start of the next message
};

/// Bytes of time stamp, signal and frame of message type `type`; 0 for a
/// type this reader does not know.
int32_t body_bytes(uint8_t type) {
    switch (type) {
        case kBeastTypeModeAC:
            return kBeastStampBytes + 1 + kModeACBytes;
        case kBeastTypeShort:
            return kBeastStampBytes + 1 + kModeSShortBytes;
        case kBeastTypeLong:
            return kBeastStampBytes + 1 + kModeSLongBytes;
        default:
            return 0;
    }
}

/// Appends `b`, twice when it is the escape byte.
uint8_t* put_escaped(uint8_t* p, uint8_t b) {
    *p++ = b;
    if (b == kBeastEscape) *p++ = b;
    return p;
}

/// A 0x1a, then `type`: starts a message, or counts both bytes as skipped.
void start_message(BeastReader* r, uint8_t type) {
    r->need = body_bytes(type);
    if (r->need == 0) {
        r->skipped += 2;
        r->state = kBetween;
        return;
    }
    r->type = type;
    r->have = 0;
    r->state = kBody;
}

/// One unescaped byte of the message; 1 when it was the last.
int take(BeastReader* r, uint8_t byte, BeastMessage* out) {
    r->body[r->have++] = byte;
    if (r->have < r->need) {
        r->state = kBody;
        return 0;
    }
    const uint8_t* b = r->body;
    out->type = r->type;
    out->stamp = static_cast<uint64_t>(get_be16(b)) << 32 | get_be32(b + 2);
    out->signal = b[kBeastStampBytes];
    int n = r->need - kBeastStampBytes - 1;  // 2, 7 or 14
    if (n > kModeSLongBytes) n = kModeSLongBytes;
    out->length = static_cast<uint8_t>(n);
    for (int i = 0; i < n; i++) out->frame[i] = b[kBeastStampBytes + 1 + i];
    r->messages++;
    r->state = kBetween;
    return 1;
}

}  // namespace

uint64_t beast_clock_12mhz(TimeStamp t) {
    const uint64_t whole = static_cast<uint64_t>(ts_seconds(t)) * kBeastClockHz;  // < 2^56
    const uint64_t part = (static_cast<uint64_t>(ts_fraction(t)) * kBeastClockHz + kHalfFraction) >>
                          32;  // 0..12e6 ticks
    return (whole + part) & kBeastClockMask;
}

uint8_t beast_signal_from_level(int32_t level) {
    if (level <= 0) return 0;
    if (level > kSignalLevelMax) return 255;
    return static_cast<uint8_t>((static_cast<uint32_t>(level) * kSignalQ9 + 256) >> 9);
}

int beast_encode(uint8_t* out, const uint8_t* frame, int n_bytes, uint64_t stamp, uint8_t signal) {
    if (n_bytes != kModeSShortBytes && n_bytes != kModeSLongBytes) return -1;
    uint8_t* p = out;
    *p++ = kBeastEscape;
    *p++ = n_bytes == kModeSLongBytes ? kBeastTypeLong : kBeastTypeShort;
    for (int shift = 40; shift >= 0; shift -= 8)
        p = put_escaped(p, static_cast<uint8_t>(stamp >> shift));
    p = put_escaped(p, signal);
    for (int i = 0; i < n_bytes; i++) p = put_escaped(p, frame[i]);
    return static_cast<int>(p - out);
}

int raw_encode(uint8_t* out, const uint8_t* frame, int n_bytes) {
    if (n_bytes != kModeSShortBytes && n_bytes != kModeSLongBytes) return -1;
    uint8_t* p = out;
    *p++ = '*';
    for (int i = 0; i < n_bytes; i++) {
        *p++ = static_cast<uint8_t>(kHexDigits[frame[i] >> 4]);
        *p++ = static_cast<uint8_t>(kHexDigits[frame[i] & 0x0F]);
    }
    *p++ = ';';
    *p++ = '\n';
    return static_cast<int>(p - out);
}

void beast_reader_init(BeastReader* r) {
    *r = BeastReader{};
    r->state = kBetween;
}

int beast_read_byte(BeastReader* r, uint8_t byte, BeastMessage* out) {
    switch (r->state) {
        case kBetween:
            if (byte == kBeastEscape) {
                r->state = kType;
            } else {
                r->skipped++;
            }
            return 0;
        case kType:
            if (byte == kBeastEscape) {  // a doubled 0x1a: data of a message not seen
                r->skipped += 2;
                r->state = kBetween;
            } else {
                start_message(r, byte);
            }
            return 0;
        case kBody:
            if (byte == kBeastEscape) {
                r->state = kEscape;
                return 0;
            }
            return take(r, byte, out);
        default:  // kEscape
            if (byte == kBeastEscape) return take(r, byte, out);
            // A lone 0x1a: the message was cut short and another one starts.
            r->skipped += static_cast<uint64_t>(2 + r->have);
            start_message(r, byte);
            return 0;
    }
}

int beast_reader_pending(const BeastReader* r) {
    switch (r->state) {
        case kType:
            return 1;
        case kBody:
            return 2 + r->have;
        case kEscape:
            return 3 + r->have;
        default:
            return 0;
    }
}
