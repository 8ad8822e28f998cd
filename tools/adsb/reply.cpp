#include "tools/adsb/reply.h"

#include "sdr/adsb_check.h"
#include "tools/adsb/squitter.h"
#include "tools/adsb/text.h"

namespace {

constexpr uint32_t kInterrogatorMask = 0x7F;  // DF11: the parity leaves the interrogator code here

/// The 13 bits 20..32 of the frame: the altitude code (AC) or identity (ID).
uint32_t bits_20_32(const uint8_t* f) {
    return static_cast<uint32_t>(f[2] & 0x1F) << 8 | f[3];
}

/// A 13-bit altitude code: the M bit (bit 26, 0x40) marks metres; without
/// it the code less that bit is the 12-bit field of the squitters.
void decode_altitude13(uint32_t ac, Reply* r) {
    r->has_altitude = true;
    if (ac & 0x40) {
        r->altitude_metric = true;
        return;
    }
    const uint32_t field = (ac & 0x1F80) >> 1 | (ac & 0x3F);
    r->altitude_valid = decode_altitude12(field, &r->altitude_ft);
}

const char* format_name(int df) {
    switch (df) {
        case 0:
            return "short air-air surveillance";
        case 4:
            return "altitude reply";
        case 5:
            return "identity reply";
        case 11:
            return "all-call reply";
        case 16:
            return "long air-air surveillance";
        case 20:
            return "Comm-B altitude reply";
        case 21:
            return "Comm-B identity reply";
        default:
            return df >= 24 ? "extended length message" : nullptr;
    }
}

const char* flight_status_text(int fs) {
    static const char* const kStatus[] = {
        "airborne",   "on the ground", "alert, airborne",   "alert, on the ground",
        "alert, SPI", "SPI",           "reserved status 6", "status 7"};
    return kStatus[fs & 7];
}

std::string hex_of(const uint8_t* p, int n) {
    std::string s;
    for (int i = 0; i < n; i++) s += text_printf("%02X", p[i]);
    return s;
}

}  // namespace

Reply decode_reply(const uint8_t* f, int n_bytes) {
    Reply r{};
    r.df = f[0] >> 3;
    r.n_bytes = n_bytes;
    r.flight_status = -1;
    r.squawk = -1;
    r.parity_ok = true;
    r.length_ok = n_bytes == ((r.df & 0x10) != 0 ? 14 : 7);  // DF16 and up are long
    if (!r.length_ok) return r;
    const int data_bits = 8 * n_bytes - 24;
    const uint32_t remainder =
        adsb_parity(f, data_bits) ^ (static_cast<uint32_t>(f[n_bytes - 3]) << 16 |
                                     static_cast<uint32_t>(f[n_bytes - 2]) << 8 | f[n_bytes - 1]);
    if (r.df == 11) {
        r.address = static_cast<uint32_t>(f[1]) << 16 | static_cast<uint32_t>(f[2]) << 8 | f[3];
        r.address_in_clear = true;
        r.parity_ok = (remainder & ~kInterrogatorMask) == 0;
        r.interrogator = static_cast<int>(remainder & kInterrogatorMask);
        r.capability = f[0] & 7;
        return r;
    }
    r.address = remainder;
    if (r.df == 4 || r.df == 5 || r.df == 20 || r.df == 21) r.flight_status = f[0] & 7;
    if (r.df == 0 || r.df == 4 || r.df == 16 || r.df == 20) decode_altitude13(bits_20_32(f), &r);
    if (r.df == 5 || r.df == 21) r.squawk = decode_mode_a(bits_20_32(f));
    return r;
}

std::string reply_text(const Reply& r, const uint8_t* f) {
    if (!r.length_ok) return text_printf("DF%d  %d bytes, not decoded", r.df, r.n_bytes);
    if (!r.parity_ok) return hex_of(f, r.n_bytes) + "  parity error, not decoded";
    const char* name = format_name(r.df);
    if (name == nullptr)
        return text_printf("DF%d  ", r.df) + hex_of(f, r.n_bytes) + "  not decoded";
    std::string t = text_printf("%06X DF%-2d %s", static_cast<unsigned>(r.address), r.df, name);
    if (r.df == 11)
        t += text_printf("  capability %d  interrogator %d", r.capability, r.interrogator);
    if (r.altitude_metric) {
        t += "  alt in metres";
    } else if (r.altitude_valid) {
        t += text_printf("  alt %d ft", r.altitude_ft);
    } else if (r.has_altitude) {
        t += "  no altitude";
    }
    if (r.squawk >= 0) t += text_printf("  squawk %04o", static_cast<unsigned>(r.squawk));
    if (r.flight_status >= 0) t += text_printf("  %s", flight_status_text(r.flight_status));
    if (r.df == 20 || r.df == 21) t += "  MB " + hex_of(f + 4, 7);
    return t;
}
