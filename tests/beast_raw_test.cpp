// The Beast and raw encodings of a frame: exact bytes with 0x1a in every
// field, the reader's round trip through a stream with damage in it, the
// 12 MHz counter against values worked out exactly by hand, the signal
// byte at the ends of its scale.
#include "sdr/beast_raw.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tools/adsb/random.h"

namespace {

std::vector<uint8_t> bytes_of(const std::string& hex) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

std::string hex_of(const uint8_t* p, int n) {
    std::string s;
    char b[3];
    for (int i = 0; i < n; i++) {
        snprintf(b, sizeof b, "%02x", p[i]);
        s += b;
    }
    return s;
}

TEST(BeastRaw, EncodesEachFieldWithItsEscapes) {
    struct Row {
        const char* frame;
        uint64_t stamp;
        uint8_t signal;
        const char* beast;
        const char* raw;
    };
    const Row rows[] = {
        // No 0x1a anywhere; the counter's bits above 48 are not sent.
        {"8d4840d6202cc371c32ce0576098", 0xFF0123456789ABULL, 0x80,
         "1a33"
         "0123456789ab"
         "80"
         "8d4840d6202cc371c32ce0576098",
         "*8D4840D6202CC371C32CE0576098;\n"},
        // 0x1a in the counter (first, middle, last byte), the signal and the frame.
        {"1a4840d61a001a", 0x1A00001A001AULL, 0x1a,
         "1a32"
         "1a1a00001a1a001a1a"
         "1a1a"
         "1a1a4840d61a1a001a1a",
         "*1A4840D61A001A;\n"},
        // Every byte 0x1a: the longest message there is.
        {"1a1a1a1a1a1a1a1a1a1a1a1a1a1a", 0x1A1A1A1A1A1AULL, 0x1a,
         "1a33"
         "1a1a1a1a1a1a1a1a1a1a1a1a"
         "1a1a"
         "1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a",
         "*1A1A1A1A1A1A1A1A1A1A1A1A1A1A;\n"},
        // Hex letters upper case in the raw line.
        {"5d4840d6a9c8f1", 0, 0,
         "1a32"
         "000000000000"
         "00"
         "5d4840d6a9c8f1",
         "*5D4840D6A9C8F1;\n"},
    };
    for (const Row& r : rows) {
        const std::vector<uint8_t> frame = bytes_of(r.frame);
        const int n = static_cast<int>(frame.size());
        uint8_t out[kBeastMaxBytes + 8];
        const int len = beast_encode(out, frame.data(), n, r.stamp, r.signal);
        EXPECT_EQ(hex_of(out, len > 0 ? len : 0), r.beast) << "frame " << r.frame;
        uint8_t line[kRawMaxBytes + 8];
        const int raw = raw_encode(line, frame.data(), n);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(line), raw > 0 ? raw : 0), r.raw)
            << "frame " << r.frame;
    }
    uint8_t out[kBeastMaxBytes];
    const uint8_t eight[8] = {};
    EXPECT_EQ(beast_encode(out, eight, 8, 0, 0), -1);
    EXPECT_EQ(raw_encode(out, eight, 8), -1);
}

// Messages rich in 0x1a, with damage between them, fed byte by byte:
// every intact message comes back whole, and exactly the damage counts as
// skipped.
TEST(BeastRaw, ReaderRoundTripThroughDamage) {
    Rng rng{22};
    struct Sent {
        std::vector<uint8_t> frame;
        uint64_t stamp;
        uint8_t signal;
    };
    std::vector<Sent> sent;
    std::vector<uint8_t> stream = {0x00, 0x33, 0x1a, 0x1a, 0x44};  // before the first: 5 skipped
    uint64_t damage = 5;
    for (int i = 0; i < 400; i++) {
        Sent s;
        const int n = i % 3 == 0 ? kModeSShortBytes : kModeSLongBytes;
        for (int k = 0; k < n; k++) {
            // Half the bytes 0x1a, so that escapes meet every field and each other.
            s.frame.push_back(rng.below(2) ? kBeastEscape : static_cast<uint8_t>(rng.next()));
        }
        s.stamp = rng.below(2) ? 0x1A1A1A1A1A1AULL ^ (rng.next() & 0xFF00FF00FFULL)
                               : rng.next() & kBeastClockMask;
        s.signal = rng.below(2) ? kBeastEscape : static_cast<uint8_t>(rng.next());
        uint8_t out[kBeastMaxBytes];
        const int len = beast_encode(out, s.frame.data(), n, s.stamp, s.signal);
        ASSERT_GT(len, 0);
        if (i % 50 == 7) {
            // A message cut short: its first 9 bytes (no escape left open),
            // then the next message starts.
            uint8_t cut[kBeastMaxBytes];
            const int cut_len = beast_encode(cut, s.frame.data(), n, 0x010203040506ULL, 1);
            ASSERT_GT(cut_len, 9);
            stream.insert(stream.end(), cut, cut + 9);
            damage += 9;
        } else if (i % 50 == 13) {
            // An unknown type and its bytes: skipped up to the next message.
            const uint8_t unknown[] = {kBeastEscape, '9', 1, 2, 3};
            stream.insert(stream.end(), unknown, unknown + 5);
            damage += 5;
        }
        stream.insert(stream.end(), out, out + len);
        sent.push_back(s);
    }
    BeastReader reader;
    beast_reader_init(&reader);
    std::vector<BeastMessage> got;
    for (uint8_t b : stream) {
        BeastMessage m;
        if (beast_read_byte(&reader, b, &m)) got.push_back(m);
    }
    EXPECT_EQ(beast_reader_pending(&reader), 0);
    EXPECT_EQ(reader.skipped, damage);
    ASSERT_EQ(got.size(), sent.size());
    for (size_t i = 0; i < sent.size(); i++) {
        const Sent& s = sent[i];
        const BeastMessage& m = got[i];
        const std::string what = "message " + std::to_string(i) + " frame " +
                                 hex_of(s.frame.data(), static_cast<int>(s.frame.size()));
        EXPECT_EQ(m.type, s.frame.size() == 7 ? kBeastTypeShort : kBeastTypeLong) << what;
        EXPECT_EQ(m.stamp, s.stamp) << what;
        EXPECT_EQ(m.signal, s.signal) << what;
        ASSERT_EQ(m.length, s.frame.size()) << what;
        EXPECT_EQ(hex_of(m.frame, m.length), hex_of(s.frame.data(), m.length)) << what;
    }
    // A stream that ends inside a message, just after an escape byte.
    const uint8_t tail[] = {kBeastEscape, kBeastTypeShort, 1, 2, kBeastEscape};
    BeastMessage m;
    for (uint8_t b : tail) EXPECT_EQ(beast_read_byte(&reader, b, &m), 0);
    EXPECT_EQ(beast_reader_pending(&reader), 5);
}

// The counter of (seconds, fraction) against t * 12e6 / 2^32 worked out in
// exact integers: the fraction's ticks to nearest with halves up, a
// fraction near 1 carrying into the next second, seconds near 2^32, and
// counts across 2^48.
TEST(BeastRaw, TwelveMegahertzCounterIsExact) {
    struct Row {
        uint32_t sec, frac;
        uint64_t ticks;
    };
    const Row rows[] = {
        {0, 0, 0},
        {0, 178, 0},                 // 0.497 of a tick
        {0, 179, 1},                 // 0.500 12
        {0, 1U << 23, 23438},        // 23437.5 exactly: half up
        {0, (1U << 23) - 1, 23437},  // 23437.497
        {0, 0xFFFFFE9AU, 11999999},  // 11999999.49
        {0, 0xFFFFFFFFU, 12000000},  // 11999999.997: as the next second
        {1, 0, 12000000},
        {1700000000U, 0x80000000U, 133801682832768ULL},
        {23456248U, 0, 281474976000000ULL},           // 710656 ticks short of 2^48
        {23456248U, 254353510U, 281474976710655ULL},  // 2^48 - 1
        {23456248U, 254353511U, 0},                   // 2^48: wraps to 0
        {46912497U, 0, 10578688ULL},                  // past the second wrap
        {0xFFFFFFFFU, 0, 29686801949952ULL},
        {0xFFFFFFFFU, 0xFFFFFFFFU, 29686813949952ULL},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(beast_clock_12mhz(ts_make(r.sec, r.frac)), r.ticks)
            << "seconds " << r.sec << " fraction " << r.frac;
    }
}

// Signal bytes from the frame check's level: 0 for no level, rounding at
// the low end, the largest value below saturation and saturation up to the
// largest level (no overflow).
TEST(BeastRaw, SignalByteFromLevel) {
    const int32_t levels[] = {INT32_MIN, -1, 0, 1, 65, 115, 116, 255, INT32_MAX};
    const uint8_t bytes[] = {0, 0, 0, 2, 144, 254, 255, 255, 255};
    for (size_t i = 0; i < sizeof levels / sizeof levels[0]; i++) {
        EXPECT_EQ(beast_signal_from_level(levels[i]), bytes[i]) << "level " << levels[i];
    }
}

}  // namespace
