#include "tests/support/air.h"

#include <cmath>

#include "include/context.h"
#include "sdr/adsb_check.h"

namespace {

constexpr double kSamplesPerUs = 2.4;
constexpr double kAmplitude = 110.0;
constexpr int kFirstFrame = 200;  // pair of the first frame's first pulse

/// Adds the pulses of `frame` (preamble 0, 1, 3.5, 4.5 us; data from 8 us,
/// a half-microsecond pulse per bit) to `acc`, starting at pair `lead`; each
/// pair integrates the pulse over its own interval.
void add_pulses(double* acc, int n_pairs, double lead, const uint8_t* frame) {
    double starts[4 + 112];
    int n = 0;
    for (double t : {0.0, 1.0, 3.5, 4.5}) starts[n++] = t;
    for (int bit = 0; bit < 112; bit++) {
        bool one = frame[bit / 8] & (0x80 >> (bit % 8));
        starts[n++] = 8.0 + bit + (one ? 0.0 : 0.5);
    }
    for (int i = 0; i < n; i++) {
        double a = lead + starts[i] * kSamplesPerUs;
        double b = a + 0.5 * kSamplesPerUs;
        for (int p = static_cast<int>(a) - 1; p <= static_cast<int>(b) + 1; p++) {
            if (p < 0 || p >= n_pairs) continue;
            double lo = a > p - 0.5 ? a : p - 0.5;
            double hi = b < p + 0.5 ? b : p + 0.5;
            if (hi > lo) acc[p] += hi - lo;
        }
    }
}

}  // namespace

std::string air_squitter(uint32_t address) {
    uint8_t f[14] = {0x8D,
                     static_cast<uint8_t>(address >> 16),
                     static_cast<uint8_t>(address >> 8),
                     static_cast<uint8_t>(address),
                     0x58,
                     0xC3,
                     0x82,
                     0xD6,
                     0x90,
                     0xC8,
                     0xAC};
    uint32_t p = adsb_parity(f, 88);
    f[11] = static_cast<uint8_t>(p >> 16);
    f[12] = static_cast<uint8_t>(p >> 8);
    f[13] = static_cast<uint8_t>(p);
    return std::string(reinterpret_cast<const char*>(f), sizeof f);
}

namespace {

/// The block of the squitters of first_address + k, k < frames; bit
/// `flip` of the first one flipped (-1: none).
std::string block_of(uint32_t first_address, int frames, int flip) {
    static double acc[kBlockPairs];
    for (double& a : acc) a = 0.0;
    if (frames > kAirMaxFramesPerBlock) frames = kAirMaxFramesPerBlock;
    const int spacing = frames <= kAirFramesPerBlock ? 1000 : 560;  // pairs between frames
    for (int k = 0; k < frames; k++) {
        std::string f = air_squitter(first_address + static_cast<uint32_t>(k));
        if (k == 0 && flip >= 0) {
            f[static_cast<size_t>(flip / 8)] ^= static_cast<char>(0x80 >> (flip % 8));
        }
        add_pulses(acc, kBlockPairs, kFirstFrame + k * spacing,
                   reinterpret_cast<const uint8_t*>(f.data()));
    }
    std::string block(kBlockBytes, static_cast<char>(127));
    for (int p = 0; p < kBlockPairs; p++) {
        long v = std::lround(127.0 + kAmplitude * acc[p]);
        block[2 * p] = static_cast<char>(v > 255 ? 255 : v);
    }
    return block;
}

std::string record_header(uint64_t time_ns) {
    std::string r;
    for (int i = 0; i < 4; i++) r.push_back(static_cast<char>(kCaptureMagic >> (8 * i)));
    for (int i = 0; i < 8; i++) r.push_back(static_cast<char>(time_ns >> (8 * i)));
    for (int i = 0; i < 4; i++) r.push_back(static_cast<char>(kBlockBytes >> (8 * i)));
    return r;
}

}  // namespace

std::string air_block(uint32_t first_address, int frames) {
    return block_of(first_address, frames, -1);
}

std::string air_record_flipped(uint64_t time_ns, uint32_t address, int bit) {
    return record_header(time_ns) + block_of(address, 1, bit);
}

std::string air_record(uint64_t time_ns, uint32_t first_address, int frames) {
    return record_header(time_ns) + air_block(first_address, frames);
}
