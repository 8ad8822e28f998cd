#include "tools/adsb/squitter.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "tools/adsb/text.h"

namespace {

/// `n` bits of the frame from bit `first` (bits numbered from 1).
uint32_t frame_bits(const uint8_t* f, int first, int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; i++) {
        const int b = first - 1 + i;
        v = v << 1 | ((f[b / 8] >> (7 - b % 8)) & 1U);
    }
    return v;
}

/// `n` bits of the message field from ME bit `first`.
uint32_t me(const uint8_t* f, int first, int n) {
    return frame_bits(f, 32 + first, n);
}

bool me_bit(const uint8_t* f, int bit) {
    return me(f, bit, 1) != 0;
}

// Six bits a character: letters from 1, blank 32, digits from 48.
constexpr char kCallsignChars[] =
    "?ABCDEFGHIJKLMNOPQRSTUVWXYZ????? ???????????????0123456789??????";
static_assert(sizeof kCallsignChars == 65);

void decode_identification(const uint8_t* f, Squitter* s) {
    Identification& id = s->ident;
    id.category_set = static_cast<char>('A' + (4 - s->type_code));
    id.category = static_cast<int>(me(f, 6, 3));
    for (int i = 0; i < 8; i++) id.callsign[i] = kCallsignChars[me(f, 9 + 6 * i, 6)];
    int len = 8;
    while (len > 0 && id.callsign[len - 1] == ' ') len--;
    id.callsign[len] = '\0';
}

void decode_cpr(const uint8_t* f, PositionFields* p) {
    p->time_sync = me_bit(f, 21);
    p->cpr.format = me_bit(f, 22) ? 1 : 0;
    p->cpr.lat = me(f, 23, 17);
    p->cpr.lon = me(f, 40, 17);
}

void decode_airborne_position(const uint8_t* f, Squitter* s) {
    PositionFields& p = s->pos;
    p.surveillance_status = static_cast<int>(me(f, 6, 2));
    const uint32_t alt = me(f, 9, 12);
    p.gnss_height = s->type_code >= 20;
    if (p.gnss_height) {
        // GNSS height above the ellipsoid in metres.
        p.altitude_valid = alt != 0;
        p.altitude_ft = static_cast<int>(std::lround(alt * 3.28084));
    } else {
        p.altitude_valid = decode_altitude12(alt, &p.altitude_ft);
    }
    decode_cpr(f, &p);
}

void decode_surface_position(const uint8_t* f, Squitter* s) {
    PositionFields& p = s->pos;
    p.movement = static_cast<int>(me(f, 6, 7));
    p.speed_valid = decode_movement(p.movement, &p.ground_speed_kt);
    p.track_valid = me_bit(f, 13);
    p.track_deg = me(f, 14, 7) * 360.0 / 128.0;
    decode_cpr(f, &p);
}

void decode_velocity(const uint8_t* f, Squitter* s) {
    VelocityFields& v = s->vel;
    const int st = s->subtype;
    if (st < 1 || st > 4) return;
    v.supersonic = st == 2 || st == 4;
    const int step = v.supersonic ? 4 : 1;
    v.intent_change = me_bit(f, 9);
    v.nac_v = static_cast<int>(me(f, 11, 3));
    if (st <= 2) {
        const int ew = static_cast<int>(me(f, 15, 10));
        const int ns = static_cast<int>(me(f, 26, 10));
        v.ground_speed_valid = ew != 0 && ns != 0;
        if (v.ground_speed_valid) {
            v.east_kt = (me_bit(f, 14) ? -1 : 1) * (ew - 1) * step;
            v.north_kt = (me_bit(f, 25) ? -1 : 1) * (ns - 1) * step;
            v.ground_speed_kt = std::hypot(v.east_kt, v.north_kt);
            double t = std::atan2(v.east_kt, v.north_kt) * 180.0 / 3.14159265358979323846;
            v.track_deg = t < 0 ? t + 360.0 : t;
        }
    } else {
        v.heading_valid = me_bit(f, 14);
        v.heading_deg = me(f, 15, 10) * 360.0 / 1024.0;
        v.true_airspeed = me_bit(f, 25);
        const int as = static_cast<int>(me(f, 26, 10));
        v.airspeed_valid = as != 0;
        v.airspeed_kt = (as - 1) * step;
    }
    v.vertical_rate_baro = me_bit(f, 36);
    const int vr = static_cast<int>(me(f, 38, 9));
    v.vertical_rate_valid = vr != 0;
    v.vertical_rate_fpm = (me_bit(f, 37) ? -1 : 1) * (vr - 1) * 64;
    const int diff = static_cast<int>(me(f, 50, 7));
    v.height_diff_valid = diff != 0;
    v.gnss_minus_baro_ft = (me_bit(f, 49) ? -1 : 1) * (diff - 1) * 25;
}

void decode_aircraft_status(const uint8_t* f, Squitter* s) {
    s->status.squawk = -1;
    if (s->subtype != 1) return;
    s->status.emergency = static_cast<int>(me(f, 9, 3));
    s->status.squawk = decode_mode_a(me(f, 12, 13));
}

void decode_target_state(const uint8_t* f, Squitter* s) {
    TargetStateFields& t = s->target;
    if (s->subtype != 1) return;
    t.selected_altitude_fms = me_bit(f, 9);
    const int alt = static_cast<int>(me(f, 10, 11));
    t.selected_altitude_valid = alt != 0;
    t.selected_altitude_ft = (alt - 1) * 32;
    const int baro = static_cast<int>(me(f, 21, 9));
    t.baro_setting_valid = baro != 0;
    t.baro_setting_hpa = 800.0 + (baro - 1) * 0.8;
    t.selected_heading_valid = me_bit(f, 30);
    t.selected_heading_deg = me(f, 31, 9) * 180.0 / 256.0;
    t.nac_p = static_cast<int>(me(f, 40, 4));
    t.sil = static_cast<int>(me(f, 45, 2));
    t.modes_valid = me_bit(f, 47);
    t.autopilot = me_bit(f, 48);
    t.vnav = me_bit(f, 49);
    t.altitude_hold = me_bit(f, 50);
    t.approach = me_bit(f, 52);
    t.tcas_operational = me_bit(f, 53);
    t.lnav = me_bit(f, 54);
}

void decode_operational_status(const uint8_t* f, Squitter* s) {
    OperationalStatusFields& o = s->op;
    o.version = static_cast<int>(me(f, 41, 3));
    if (o.version == 0) return;  // version 0 has another layout from bit 41 on
    o.nic_a = me_bit(f, 44);
    o.nac_p = static_cast<int>(me(f, 45, 4));
    o.gva = s->subtype == 0 ? static_cast<int>(me(f, 49, 2)) : 0;
    o.sil = static_cast<int>(me(f, 51, 2));
    o.sil_per_sample = me_bit(f, 55);
}

const char* const kEmergencies[8] = {
    "no emergency",      "general emergency",     "lifeguard/medical", "minimum fuel",
    "no communications", "unlawful interference", "downed aircraft",   "reserved emergency code 7"};

std::string position_text(const Squitter& s) {
    const PositionFields& p = s.pos;
    std::string t;
    if (s.kind == SquitterKind::kAirbornePosition) {
        if (!p.altitude_valid) {
            t = "alt none";
        } else {
            t = text_printf(p.gnss_height ? "GNSS height %d ft" : "alt %d ft", p.altitude_ft);
        }
    } else {
        t = p.speed_valid ? text_printf("speed %.3g kt", p.ground_speed_kt)
                          : std::string(p.movement == 0 ? "speed none" : "speed reserved");
        t += p.track_valid ? text_printf(" track %.1f", p.track_deg) : std::string(" track none");
    }
    t += text_printf("  cpr %s %u %u", p.cpr.format ? "odd" : "even", p.cpr.lat, p.cpr.lon);
    return t;
}

std::string velocity_text(const Squitter& s) {
    const VelocityFields& v = s.vel;
    if (s.subtype < 1 || s.subtype > 4) return "";
    std::string t;
    if (s.subtype <= 2) {
        t = v.ground_speed_valid
                ? text_printf("ground speed %.0f kt track %.1f", v.ground_speed_kt, v.track_deg)
                : std::string("ground speed none");
    } else {
        t = v.airspeed_valid
                ? text_printf("%s %d kt", v.true_airspeed ? "TAS" : "IAS", v.airspeed_kt)
                : text_printf("%s none", v.true_airspeed ? "TAS" : "IAS");
        t += v.heading_valid ? text_printf(" heading %.1f", v.heading_deg)
                             : std::string(" heading none");
    }
    t += v.vertical_rate_valid ? text_printf("  vertical rate %+d ft/min (%s)", v.vertical_rate_fpm,
                                             v.vertical_rate_baro ? "baro" : "GNSS")
                               : std::string("  vertical rate none");
    if (v.height_diff_valid) t += text_printf("  GNSS-baro %+d ft", v.gnss_minus_baro_ft);
    return t;
}

std::string target_text(const TargetStateFields& t) {
    std::string r = t.selected_altitude_valid
                        ? text_printf("selected alt %d ft (%s)", t.selected_altitude_ft,
                                      t.selected_altitude_fms ? "FMS" : "MCP/FCU")
                        : std::string("selected alt none");
    r += t.baro_setting_valid ? text_printf("  baro %.1f hPa", t.baro_setting_hpa)
                              : std::string("  baro none");
    r += t.selected_heading_valid ? text_printf("  selected heading %.1f", t.selected_heading_deg)
                                  : std::string("  selected heading none");
    r += text_printf("  NACp %d SIL %d", t.nac_p, t.sil);
    if (t.modes_valid) {
        r += "  modes";
        if (t.autopilot) r += " autopilot";
        if (t.vnav) r += " VNAV";
        if (t.altitude_hold) r += " alt-hold";
        if (t.approach) r += " approach";
        if (t.lnav) r += " LNAV";
        if (t.tcas_operational) r += " TCAS";
    }
    return r;
}

}  // namespace

bool decode_altitude12(uint32_t field, int* feet) {
    if (field == 0) return false;
    if (field & 0x10) {  // Q bit: 25-ft steps, the 11 other bits as one number
        const int n = static_cast<int>((field >> 5) << 4 | (field & 0xF));
        *feet = n * 25 - 1000;
        return true;
    }
    return decode_gillham(field, feet);
}

bool decode_gillham(uint32_t field, int* feet) {
    // The field: C1 A1 C2 A2 C4 A4 B1 Q B2 D2 B4 D4 (D1 is never used).
    auto bit = [field](int i) { return (field >> i) & 1U; };
    const uint32_t c1 = bit(11), a1 = bit(10), c2 = bit(9), a2 = bit(8), c4 = bit(7), a4 = bit(6);
    const uint32_t b1 = bit(5), b2 = bit(3), d2 = bit(2), b4 = bit(1), d4 = bit(0);
    // 500-ft steps: a Gray code over D2 D4 A1 A2 A4 B1 B2 B4.
    uint32_t gray = d2 << 7 | d4 << 6 | a1 << 5 | a2 << 4 | a4 << 3 | b1 << 2 | b2 << 1 | b4;
    uint32_t n500 = 0;
    for (; gray != 0; gray >>= 1) n500 ^= gray;
    // 100-ft steps: C1 C2 C4 run 001 011 010 110 100, reversed in odd 500-ft steps.
    int n100;
    switch (c1 << 2 | c2 << 1 | c4) {
        case 1:
            n100 = 1;
            break;
        case 3:
            n100 = 2;
            break;
        case 2:
            n100 = 3;
            break;
        case 6:
            n100 = 4;
            break;
        case 4:
            n100 = 5;
            break;
        default:
            return false;
    }
    if (n500 & 1) n100 = 6 - n100;
    *feet = static_cast<int>(n500) * 500 + n100 * 100 - 1300;
    return true;
}

int decode_mode_a(uint32_t field) {
    auto bit = [field](int i) { return static_cast<int>((field >> i) & 1U); };
    // C1 A1 C2 A2 C4 A4 X B1 D1 B2 D2 B4 D4, bit 12 first.
    const int a = bit(7) << 2 | bit(9) << 1 | bit(11);
    const int b = bit(1) << 2 | bit(3) << 1 | bit(5);
    const int c = bit(8) << 2 | bit(10) << 1 | bit(12);
    const int d = bit(0) << 2 | bit(2) << 1 | bit(4);
    return a << 9 | b << 6 | c << 3 | d;
}

bool decode_movement(int code, double* knots) {
    // Steps: 1 stopped; 2..8 by 1/8 kt from 0.125; 9..12 by 1/4 from 1;
    // 13..38 by 1/2 from 2; 39..93 by 1 from 15; 94..108 by 2 from 70;
    // 109..123 by 5 from 100; 124 175 kt or more.
    struct Band {
        int first, last;
        double base, step;
    };
    static const Band kBands[] = {
        {1, 1, 0.0, 0.0},    {2, 8, 0.125, 0.125}, {9, 12, 1.0, 0.25},     {13, 38, 2.0, 0.5},
        {39, 93, 15.0, 1.0}, {94, 108, 70.0, 2.0}, {109, 123, 100.0, 5.0}, {124, 124, 175.0, 0.0}};
    for (const Band& b : kBands) {
        if (code >= b.first && code <= b.last) {
            *knots = b.base + (code - b.first) * b.step;
            return true;
        }
    }
    return false;
}

Squitter decode_squitter(const uint8_t* frame) {
    Squitter s{};
    s.df = frame[0] >> 3;
    s.ca = frame[0] & 7;
    s.address = frame_bits(frame, 9, 24);
    s.type_code = static_cast<int>(me(frame, 1, 5));
    s.subtype = static_cast<int>(me(frame, 6, 3));
    if (s.df != 17 && s.df != 18) {
        s.kind = SquitterKind::kNotExtendedSquitter;
        return s;
    }
    // DF18 control fields 3 (coarse TIS-B), 4 (management) and 7 (reserved)
    // carry no ADS-B message field.
    if (s.df == 18 && (s.ca == 3 || s.ca == 4 || s.ca == 7)) {
        s.kind = SquitterKind::kNonAdsbTisb;
        return s;
    }
    const int tc = s.type_code;
    if (tc == 0) {
        s.kind = SquitterKind::kNoPosition;
        s.pos.altitude_valid = decode_altitude12(me(frame, 9, 12), &s.pos.altitude_ft);
    } else if (tc <= 4) {
        s.kind = SquitterKind::kIdentification;
        decode_identification(frame, &s);
    } else if (tc <= 8) {
        s.kind = SquitterKind::kSurfacePosition;
        decode_surface_position(frame, &s);
    } else if (tc <= 18 || (tc >= 20 && tc <= 22)) {
        s.kind = SquitterKind::kAirbornePosition;
        decode_airborne_position(frame, &s);
    } else if (tc == 19) {
        s.kind = SquitterKind::kVelocity;
        decode_velocity(frame, &s);
    } else if (tc == 23) {
        s.kind = SquitterKind::kTestMessage;
    } else if (tc == 24) {
        s.kind = SquitterKind::kSurfaceSystemStatus;
    } else if (tc == 28) {
        s.kind = SquitterKind::kAircraftStatus;
        decode_aircraft_status(frame, &s);
    } else if (tc == 29) {
        s.kind = SquitterKind::kTargetState;
        s.subtype = static_cast<int>(me(frame, 6, 2));
        decode_target_state(frame, &s);
    } else if (tc == 31) {
        s.kind = SquitterKind::kOperationalStatus;
        decode_operational_status(frame, &s);
    } else {
        s.kind = SquitterKind::kReserved;  // 25..27, 30
    }
    return s;
}

std::string category_text(char set, int category) {
    static const char* const kNames[4][8] = {
        {"no category information", "light (below 15500 lb)", "small (15500 to 75000 lb)",
         "large (75000 to 300000 lb)", "high vortex large", "heavy (above 300000 lb)",
         "high performance", "rotorcraft"},
        {"no category information", "glider or sailplane", "lighter than air",
         "parachutist or skydiver", "ultralight, hang glider or paraglider", "reserved",
         "unmanned aerial vehicle", "space vehicle"},
        {"no category information", "surface vehicle, emergency", "surface vehicle, service",
         "point obstacle", "cluster obstacle", "line obstacle", "reserved", "reserved"},
        {"no category information", "reserved", "reserved", "reserved", "reserved", "reserved",
         "reserved", "reserved"}};
    if (set < 'A' || set > 'D' || category < 0 || category > 7) return "invalid category";
    return text_printf("%c%d %s", set, category, kNames[set - 'A'][category]);
}

std::string squitter_name(const Squitter& s) {
    switch (s.kind) {
        case SquitterKind::kNotExtendedSquitter:
            return "not an extended squitter";
        case SquitterKind::kNonAdsbTisb:
            return s.ca == 3   ? "TIS-B coarse position (not decoded)"
                   : s.ca == 4 ? "TIS-B/ADS-R management (not decoded)"
                               : "reserved control field 7";
        case SquitterKind::kNoPosition:
            return "no position information";
        case SquitterKind::kIdentification:
            return "identification";
        case SquitterKind::kSurfacePosition:
            return "surface position";
        case SquitterKind::kAirbornePosition:
            return "airborne position";
        case SquitterKind::kVelocity:
            if (s.subtype == 1 || s.subtype == 2) return "velocity over ground";
            if (s.subtype == 3 || s.subtype == 4) return "airspeed and heading";
            return text_printf("velocity, reserved subtype %d", s.subtype);
        case SquitterKind::kTestMessage:
            return "test message";
        case SquitterKind::kSurfaceSystemStatus:
            return "surface system status (not decoded)";
        case SquitterKind::kAircraftStatus:
            if (s.subtype == 1) return "aircraft status";
            if (s.subtype == 2) return "ACAS resolution advisory (not decoded)";
            return text_printf("aircraft status, reserved subtype %d", s.subtype);
        case SquitterKind::kTargetState:
            if (s.subtype == 1) return "target state";
            if (s.subtype == 0) return "target state, version 1 form (not decoded)";
            return text_printf("target state, reserved subtype %d", s.subtype);
        case SquitterKind::kOperationalStatus:
            if (s.subtype == 0) return "operational status, airborne";
            if (s.subtype == 1) return "operational status, surface";
            return text_printf("operational status, reserved subtype %d", s.subtype);
        case SquitterKind::kReserved:
            return text_printf("reserved type code %d", s.type_code);
    }
    return "?";
}

std::string squitter_text(const Squitter& s) {
    std::string t = text_printf("%06X DF%d", static_cast<unsigned>(s.address), s.df);
    if (s.kind == SquitterKind::kNotExtendedSquitter) return t + "  " + squitter_name(s);
    if (s.df == 18) t += text_printf(" CF%d", s.ca);
    if (s.kind == SquitterKind::kNonAdsbTisb) return t + "  " + squitter_name(s);
    t += text_printf(" TC%-2d %s", s.type_code, squitter_name(s).c_str());
    std::string fields;
    switch (s.kind) {
        case SquitterKind::kIdentification:
            fields =
                text_printf("%s  category %s", s.ident.callsign[0] ? s.ident.callsign : "(none)",
                            category_text(s.ident.category_set, s.ident.category).c_str());
            break;
        case SquitterKind::kNoPosition:
            if (s.pos.altitude_valid) fields = text_printf("alt %d ft", s.pos.altitude_ft);
            break;
        case SquitterKind::kSurfacePosition:
        case SquitterKind::kAirbornePosition:
            fields = position_text(s);
            break;
        case SquitterKind::kVelocity:
            fields = velocity_text(s);
            break;
        case SquitterKind::kAircraftStatus:
            if (s.subtype == 1) {
                fields = text_printf("squawk %04o  %s", static_cast<unsigned>(s.status.squawk),
                                     kEmergencies[s.status.emergency]);
            }
            break;
        case SquitterKind::kTargetState:
            if (s.subtype == 1) fields = target_text(s.target);
            break;
        case SquitterKind::kOperationalStatus:
            if (s.subtype <= 1) {
                fields = s.op.version == 0
                             ? std::string("version 0")
                             : text_printf("version %d  NIC-A %d NACp %d SIL %d%s", s.op.version,
                                           s.op.nic_a, s.op.nac_p, s.op.sil,
                                           s.op.version >= 2
                                               ? (s.op.sil_per_sample ? " per sample" : " per hour")
                                               : "");
                if (s.op.version >= 2 && s.subtype == 0) fields += text_printf(" GVA %d", s.op.gva);
            }
            break;
        default:
            break;
    }
    return fields.empty() ? t : t + "  " + fields;
}
