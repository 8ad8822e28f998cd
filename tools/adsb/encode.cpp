#include "tools/adsb/encode.h"

#include <cmath>
#include <cstring>

#include "sdr/adsb_check.h"
#include "tools/adsb/squitter.h"

namespace {

/// Writes `n` bits of `value` into the message field from ME bit `first`.
void put_me(uint8_t* f, int first, int n, uint32_t value) {
    for (int i = 0; i < n; i++) {
        const int b = 32 + first - 1 + i;  // frame bit index from 0
        const uint8_t mask = static_cast<uint8_t>(0x80 >> (b % 8));
        if ((value >> (n - 1 - i)) & 1U) {
            f[b / 8] |= mask;
        } else {
            f[b / 8] &= static_cast<uint8_t>(~mask);
        }
    }
}

void start_frame(uint8_t* f, uint32_t address, int type_code, int subtype) {
    memset(f, 0, 14);
    f[0] = 17 << 3 | 5;  // DF17, capability 5 (level 2, airborne or on the ground)
    f[1] = static_cast<uint8_t>(address >> 16);
    f[2] = static_cast<uint8_t>(address >> 8);
    f[3] = static_cast<uint8_t>(address);
    put_me(f, 1, 5, static_cast<uint32_t>(type_code));
    put_me(f, 6, 3, static_cast<uint32_t>(subtype));
}

void finish_frame(uint8_t* f) {
    const uint32_t p = adsb_parity(f, 88);
    f[11] = static_cast<uint8_t>(p >> 16);
    f[12] = static_cast<uint8_t>(p >> 8);
    f[13] = static_cast<uint8_t>(p);
}

uint32_t clamp_u(long v, long lo, long hi) {
    return static_cast<uint32_t>(v < lo ? lo : v > hi ? hi : v);
}

/// A signed speed component or rate as a sign bit (set for negative values)
/// and the magnitude in `step`s plus 1 (0 means no information).
void put_signed(uint8_t* f, int sign_bit, int first, int n, double value, double step) {
    put_me(f, sign_bit, 1, value < 0 ? 1 : 0);
    put_me(f, first, n, clamp_u(std::lround(std::fabs(value) / step) + 1, 1, (1L << n) - 1));
}

void put_cpr(uint8_t* f, LatLon pos, int format, bool surface) {
    const CprFrame c = cpr_encode(pos, format, surface);
    put_me(f, 21, 1, 0);
    put_me(f, 22, 1, static_cast<uint32_t>(format));
    put_me(f, 23, 17, c.lat);
    put_me(f, 40, 17, c.lon);
}

int char_code(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A' + 1;
    if (c >= '0' && c <= '9') return c - '0' + 48;
    return 32;  // blank, also for anything else
}

}  // namespace

uint32_t encode_altitude12(int altitude_ft) {
    if (altitude_ft <= 50175) {
        const uint32_t n = clamp_u(std::lround((altitude_ft + 1000) / 25.0), 0, 2047);
        return (n >> 4) << 5 | 0x10 | (n & 0xF);
    }
    // The Gillham code of the nearest 100 ft: searched among the 2048 codes.
    const int want = static_cast<int>(std::lround(altitude_ft / 100.0)) * 100;
    for (uint32_t code = 0; code < 4096; code++) {
        int ft = 0;
        if (!(code & 0x10) && decode_gillham(code, &ft) && ft == want) return code;
    }
    return 0;
}

int encode_movement(double speed_kt) {
    for (int code = 124; code >= 1; code--) {
        double base = 0;
        if (decode_movement(code, &base) && speed_kt >= base) return code;
    }
    return 1;
}

void encode_identification(uint8_t* frame, uint32_t address, const char* callsign, char set,
                           int category) {
    start_frame(frame, address, 4 - (set - 'A'), category);
    const size_t len = strlen(callsign);
    for (int i = 0; i < 8; i++) {
        put_me(frame, 9 + 6 * i, 6,
               static_cast<uint32_t>(char_code(static_cast<size_t>(i) < len ? callsign[i] : ' ')));
    }
    finish_frame(frame);
}

void encode_airborne_position(uint8_t* frame, uint32_t address, LatLon pos, int altitude_ft,
                              int format, bool gnss) {
    start_frame(frame, address, gnss ? 20 : 11, 0);
    const uint32_t alt = gnss ? clamp_u(std::lround(altitude_ft / 3.28084), 1, 4095)
                              : encode_altitude12(altitude_ft);
    put_me(frame, 9, 12, alt);
    put_cpr(frame, pos, format, false);
    finish_frame(frame);
}

void encode_surface_position(uint8_t* frame, uint32_t address, LatLon pos, double speed_kt,
                             double track_deg, int format) {
    start_frame(frame, address, 7, 0);
    put_me(frame, 6, 7, static_cast<uint32_t>(encode_movement(speed_kt)));
    put_me(frame, 13, 1, 1);
    put_me(frame, 14, 7, static_cast<uint32_t>(std::lround(track_deg * 128.0 / 360.0)) & 127U);
    put_cpr(frame, pos, format, true);
    finish_frame(frame);
}

void encode_velocity(uint8_t* frame, uint32_t address, double east_kt, double north_kt,
                     int vertical_rate_fpm, bool baro, int gnss_minus_baro_ft) {
    start_frame(frame, address, 19, 1);
    put_me(frame, 11, 3, 2);                       // NACv 2: better than 3 m/s
    put_signed(frame, 14, 15, 10, east_kt, 1.0);   // sign bits: west, south, down,
    put_signed(frame, 25, 26, 10, north_kt, 1.0);  // GNSS below barometric
    put_me(frame, 36, 1, baro ? 1 : 0);
    put_signed(frame, 37, 38, 9, vertical_rate_fpm, 64.0);
    put_signed(frame, 49, 50, 7, gnss_minus_baro_ft, 25.0);
    finish_frame(frame);
}

void encode_aircraft_status(uint8_t* frame, uint32_t address, int emergency, int squawk) {
    start_frame(frame, address, 28, 1);
    put_me(frame, 9, 3, static_cast<uint32_t>(emergency & 7));
    // Digits ABCD into C1 A1 C2 A2 C4 A4 X B1 D1 B2 D2 B4 D4.
    const int a = squawk >> 9 & 7, b = squawk >> 6 & 7, c = squawk >> 3 & 7, d = squawk & 7;
    const int bits[13] = {c & 1, a & 1, c >> 1 & 1, a >> 1 & 1, c >> 2 & 1, a >> 2 & 1, 0,
                          b & 1, d & 1, b >> 1 & 1, d >> 1 & 1, b >> 2 & 1, d >> 2 & 1};
    for (int i = 0; i < 13; i++) put_me(frame, 12 + i, 1, static_cast<uint32_t>(bits[i]));
    finish_frame(frame);
}

void encode_operational_status(uint8_t* frame, uint32_t address, bool surface, int nac_p, int sil) {
    start_frame(frame, address, 31, surface ? 1 : 0);
    put_me(frame, 41, 3, 2);  // version 2
    put_me(frame, 45, 4, static_cast<uint32_t>(nac_p & 15));
    if (!surface) put_me(frame, 49, 2, 2);  // GVA 2: 45 m or better
    put_me(frame, 51, 2, static_cast<uint32_t>(sil & 3));
    put_me(frame, 55, 1, 0);  // SIL per hour
    finish_frame(frame);
}
