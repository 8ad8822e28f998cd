// Extended-squitter decoding and CPR: published example frames with their
// known values, the standard's zone tables, positions at the equator, near
// the poles and across the antimeridian, and the encoder the synthesizer
// uses held against the decoder.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "sdr/adsb_check.h"
#include "tools/adsb/cpr.h"
#include "tools/adsb/encode.h"
#include "tools/adsb/squitter.h"
#include "tools/adsb/tracker.h"

namespace {

struct Frame {
    uint8_t b[14];
};

Frame from_hex(const std::string& hex) {
    Frame f{};
    for (size_t i = 0; i < 14; i++)
        f.b[i] = static_cast<uint8_t>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
    return f;
}

bool parity_ok(const Frame& f) {
    return adsb_parity(f.b, 88) == (static_cast<uint32_t>(f.b[11]) << 16 | f.b[12] << 8 | f.b[13]);
}

// Example frames from the ADS-B literature with the values published for
// them. The parity check confirms each frame was copied correctly.
TEST(SquitterDecode, PublishedFrames) {
    struct Case {
        const char* hex;
        SquitterKind kind;
        uint32_t address;
        int type_code;
        std::string text;  // the fields as squitter_text prints them
    };
    const Case kCases[] = {
        {"8D4840D6202CC371C32CE0576098", SquitterKind::kIdentification, 0x4840D6, 4,
         "4840D6 DF17 TC4  identification  KLM1023  category A0 no category information"},
        {"8D406B902015A678D4D220AA4BDA", SquitterKind::kIdentification, 0x406B90, 4,
         "406B90 DF17 TC4  identification  EZY85MH  category A0 no category information"},
        {"8D40621D58C382D690C8AC2863A7", SquitterKind::kAirbornePosition, 0x40621D, 11,
         "40621D DF17 TC11 airborne position  alt 38000 ft  cpr even 93000 51372"},
        {"8D40621D58C386435CC412692AD6", SquitterKind::kAirbornePosition, 0x40621D, 11,
         "40621D DF17 TC11 airborne position  alt 38000 ft  cpr odd 74158 50194"},
        {"8D485020994409940838175B284F", SquitterKind::kVelocity, 0x485020, 19,
         "485020 DF17 TC19 velocity over ground  ground speed 159 kt track 182.9  vertical rate "
         "-832 ft/min (GNSS)  GNSS-baro +550 ft"},
        {"8DA05F219B06B6AF189400CBC33F", SquitterKind::kVelocity, 0xA05F21, 19,
         "A05F21 DF17 TC19 airspeed and heading  TAS 375 kt heading 244.0  vertical rate -2304 "
         "ft/min (baro)"},
        {"8DA05629EA21485CBF3F8CADAEEB", SquitterKind::kTargetState, 0xA05629, 29,
         "A05629 DF17 TC29 target state  selected alt 16992 ft (MCP/FCU)  baro 1012.8 hPa  "
         "selected heading 66.8  NACp 9 SIL 3  modes autopilot VNAV LNAV TCAS"},
        {"8C4841753A9A153237AEF0F275BE", SquitterKind::kSurfacePosition, 0x484175, 7,
         "484175 DF17 TC7  surface position  speed 17 kt track 92.8  cpr odd 39195 110320"},
    };
    for (const Case& c : kCases) {
        const Frame f = from_hex(c.hex);
        ASSERT_TRUE(parity_ok(f)) << c.hex;
        const Squitter s = decode_squitter(f.b);
        EXPECT_EQ(s.kind, c.kind) << c.hex;
        EXPECT_EQ(s.address, c.address) << c.hex;
        EXPECT_EQ(s.type_code, c.type_code) << c.hex;
        EXPECT_EQ(squitter_text(s), c.text) << c.hex;
    }
    // The published velocities to two decimals.
    Squitter v = decode_squitter(from_hex("8D485020994409940838175B284F").b);
    EXPECT_NEAR(v.vel.ground_speed_kt, 159.20, 0.005);
    EXPECT_NEAR(v.vel.track_deg, 182.88, 0.005);
    EXPECT_EQ(v.vel.east_kt, -8);
    EXPECT_EQ(v.vel.north_kt, -159);
    v = decode_squitter(from_hex("8DA05F219B06B6AF189400CBC33F").b);
    EXPECT_NEAR(v.vel.heading_deg, 243.98, 0.005);
    EXPECT_EQ(v.vel.airspeed_kt, 375);
    EXPECT_TRUE(v.vel.true_airspeed);
}

// The published even/odd pairs: the position is that of the newer frame.
TEST(Cpr, PublishedPairsAndLocalDecoding) {
    struct Case {
        const char* even;
        const char* odd;
        int latest;
        double lat, lon;
    };
    const Case kCases[] = {
        {"8D40621D58C382D690C8AC2863A7", "8D40621D58C386435CC412692AD6", 0, 52.25720, 3.91937},
        {"8D40621D58C382D690C8AC2863A7", "8D40621D58C386435CC412692AD6", 1, 52.26578, 3.93891},
        {"8D40058B58C901375147EFD09357", "8D40058B58C904A87F402D3B8C59", 1, 49.81755, 6.08442},
    };
    for (const Case& c : kCases) {
        const Squitter e = decode_squitter(from_hex(c.even).b);
        const Squitter o = decode_squitter(from_hex(c.odd).b);
        ASSERT_EQ(e.pos.cpr.format, 0);
        ASSERT_EQ(o.pos.cpr.format, 1);
        LatLon p{};
        ASSERT_TRUE(cpr_global(e.pos.cpr, o.pos.cpr, c.latest, false, nullptr, &p)) << c.even;
        EXPECT_NEAR(p.lat, c.lat, 0.000005) << c.even << " latest " << c.latest;
        EXPECT_NEAR(p.lon, c.lon, 0.000005) << c.even << " latest " << c.latest;
    }
    // Local decoding of the even frame against a reference near it.
    const Squitter e = decode_squitter(from_hex("8D40621D58C382D690C8AC2863A7").b);
    const LatLon p = cpr_local(e.pos.cpr, false, {52.258, 3.918});
    EXPECT_NEAR(p.lat, 52.25720, 0.000005);
    EXPECT_NEAR(p.lon, 3.91937, 0.000005);
}

// The published surface pair with the receiver's position as reference.
TEST(Cpr, PublishedSurfacePair) {
    const Squitter e = decode_squitter(from_hex("8C4841753AAB238733C8CD4020B1").b);
    const Squitter o = decode_squitter(from_hex("8C4841753A8A35323FAEBDAC702D").b);
    ASSERT_EQ(e.kind, SquitterKind::kSurfacePosition);
    ASSERT_EQ(e.pos.cpr.format, 0);
    ASSERT_EQ(o.pos.cpr.format, 1);
    const LatLon ref{51.990, 4.375};
    LatLon p{};
    ASSERT_TRUE(cpr_global(e.pos.cpr, o.pos.cpr, 1, true, &ref, &p));
    EXPECT_NEAR(p.lat, 52.32061, 0.000005);
    EXPECT_NEAR(p.lon, 4.73473, 0.000005);
    // Without a reference the four solutions cannot be told apart.
    EXPECT_FALSE(cpr_global(e.pos.cpr, o.pos.cpr, 1, true, nullptr, &p));
}

// NL against the transition latitudes of the standard's zone table.
TEST(Cpr, LongitudeZonesAtTheTransitionLatitudes) {
    struct Case {
        double lat;
        int nl;
    };
    const Case kCases[] = {
        {0.0, 59},      {10.47047, 59}, {10.47048, 58}, {14.82817, 58},  {14.82818, 57},
        {64.26616, 26}, {64.26617, 25}, {86.53536, 3},  {86.53537, 2},   {87.0, 2},
        {87.00001, 1},  {89.99999, 1},  {90.0, 1},      {-10.47048, 58}, {-87.00001, 1},
    };
    for (const Case& c : kCases) EXPECT_EQ(cpr_nl(c.lat), c.nl) << c.lat;
}

struct Place {
    const char* where;
    LatLon pos;
};

// Places where CPR has its edge cases: zone and band edges at the equator,
// the last bands before the poles, and both sides of the antimeridian.
const std::vector<Place>& places() {
    static const std::vector<Place> kPlaces = {
        {"equator", {0.0, 0.0}},
        {"just south of the equator", {-0.00001, 12.5}},
        {"just north of the equator", {0.00001, -12.5}},
        {"8 m below the band edge 59/58", {10.4704, 33.3}},
        {"near the north pole", {86.9, 10.0}},
        {"NL 1 band", {87.5, -120.0}},
        {"at the north pole", {89.9999, 45.0}},
        {"near the south pole", {-88.2, 160.0}},
        {"antimeridian, east side", {51.0, 179.9999}},
        {"antimeridian, west side", {-51.0, -179.9999}},
        {"antimeridian, high north", {71.2, 179.98}},
        {"date line island", {-16.5, -179.95}},
    };
    return kPlaces;
}

// Encode both formats, decode globally with either as the newer one: the
// position comes back within the resolution (about 5 m airborne, 1.3 m on
// the surface in latitude, less in longitude near the poles).
TEST(Cpr, GlobalDecodingRoundTrips) {
    for (const Place& p : places()) {
        for (bool surface : {false, true}) {
            const CprFrame e = cpr_encode(p.pos, 0, surface);
            const CprFrame o = cpr_encode(p.pos, 1, surface);
            for (int latest : {0, 1}) {
                LatLon got{};
                ASSERT_TRUE(cpr_global(e, o, latest, surface, &p.pos, &got))
                    << p.where << (surface ? " surface" : " airborne");
                EXPECT_LT(distance_nm(got, p.pos), surface ? 0.002 : 0.004)
                    << p.where << (surface ? " surface" : " airborne") << " latest " << latest
                    << ": " << got.lat << " " << got.lon;
                EXPECT_GE(got.lon, -180.0);
                EXPECT_LT(got.lon, 180.0);
            }
        }
    }
}

// Local decoding against references up to just under half a zone away in
// every direction (170 NM airborne, 40 NM surface; near the poles the
// reference is kept on this side of the pole).
TEST(Cpr, LocalDecodingFromNearbyReferences) {
    for (const Place& p : places()) {
        for (bool surface : {false, true}) {
            const double nm = surface ? 40.0 : 170.0;
            for (int format : {0, 1}) {
                const CprFrame f = cpr_encode(p.pos, format, surface);
                for (double bearing = 0; bearing < 360; bearing += 45) {
                    const LatLon ref = destination(p.pos, bearing, nm);
                    if (std::fabs(ref.lat) > 89.0 && std::fabs(p.pos.lat) > 89.0) continue;
                    const LatLon got = cpr_local(f, surface, ref);
                    EXPECT_LT(distance_nm(got, p.pos), surface ? 0.002 : 0.004)
                        << p.where << (surface ? " surface" : " airborne") << " format " << format
                        << " reference at " << bearing << " deg: " << got.lat << " " << got.lon;
                }
            }
        }
    }
}

// A pair whose frames fall in latitude bands of different NL cannot be
// decoded; a reference 200 NM off gives a wrong local position (which is
// why local decoding needs one within 180 NM).
TEST(Cpr, AmbiguousCasesAreRefusedOrNeedCloseReferences) {
    const CprFrame e = cpr_encode({10.4700, 20.0}, 0, false);
    const CprFrame o = cpr_encode({10.4710, 20.0}, 1, false);
    LatLon got{};
    EXPECT_FALSE(cpr_global(e, o, 0, false, nullptr, &got));
    EXPECT_FALSE(cpr_global(e, o, 1, false, nullptr, &got));

    const LatLon pos{45.0, 7.0};
    const CprFrame f = cpr_encode(pos, 0, false);
    EXPECT_GT(distance_nm(cpr_local(f, false, destination(pos, 0, 200)), pos), 100.0);
}

TEST(SquitterDecode, AltitudeCodes) {
    int ft = 0;
    // 25-ft steps (Q bit set): the field without Q is (alt + 1000) / 25.
    struct Case {
        uint32_t field;
        int feet;
    };
    const Case kQ[] = {{0x010, -1000}, {0x011, -975}, {0xC38, 38000}, {0xFFF, 50175}};
    for (const Case& c : kQ) {
        ASSERT_TRUE(decode_altitude12(c.field, &ft)) << c.field;
        EXPECT_EQ(ft, c.feet) << c.field;
    }
    EXPECT_FALSE(decode_altitude12(0, &ft));

    // The Gillham code: every altitude from -1200 to 126700 ft in 100-ft
    // steps has exactly one code, and neighbouring altitudes differ in one
    // bit (it is a Gray code).
    std::vector<int> code_of(1280, -1);
    for (uint32_t code = 0; code < 4096; code++) {
        if (code & 0x10) continue;
        if (!decode_gillham(code, &ft)) continue;
        ASSERT_EQ((ft + 1200) % 100, 0) << code;
        ASSERT_GE(ft, -1200);
        ASSERT_LE(ft, 126700);
        const int i = (ft + 1200) / 100;
        EXPECT_EQ(code_of[i], -1) << "two codes for " << ft;
        code_of[i] = static_cast<int>(code);
    }
    for (size_t i = 0; i < code_of.size(); i++) {
        ASSERT_NE(code_of[i], -1) << "no code for " << static_cast<int>(i) * 100 - 1200;
        if (i > 0) {
            EXPECT_EQ(__builtin_popcount(code_of[i] ^ code_of[i - 1]), 1) << i;
        }
    }
    // The encoder's choice of form: 25-ft steps up to 50175 ft, Gillham above.
    for (int alt : {-1000, 0, 1025, 38000, 50175, 50200, 62300, 126700}) {
        ASSERT_TRUE(decode_altitude12(encode_altitude12(alt), &ft)) << alt;
        EXPECT_EQ(ft, alt) << alt;
        EXPECT_EQ((encode_altitude12(alt) & 0x10) != 0, alt <= 50175) << alt;
    }
}

TEST(SquitterDecode, ModeACodeAndMovement) {
    // One bit of C1 A1 C2 A2 C4 A4 X B1 D1 B2 D2 B4 D4 (bit 12 first) each.
    const int kDigit[13] = {00010, 01000, 00020, 02000, 00040, 04000, 0,
                            00100, 00001, 00200, 00002, 00400, 00004};
    for (int i = 0; i < 13; i++) EXPECT_EQ(decode_mode_a(1U << (12 - i)), kDigit[i]) << i;

    struct Case {
        int code;
        bool valid;
        double knots;
    };
    const Case kCases[] = {
        {0, false, 0},    {1, true, 0},       {2, true, 0.125},  {8, true, 0.875},
        {9, true, 1.0},   {13, true, 2.0},    {38, true, 14.5},  {39, true, 15.0},
        {93, true, 69.0}, {94, true, 70.0},   {108, true, 98.0}, {109, true, 100.0},
        {123, true, 170}, {124, true, 175.0}, {125, false, 0},   {127, false, 0}};
    for (const Case& c : kCases) {
        double kt = -1;
        EXPECT_EQ(decode_movement(c.code, &kt), c.valid) << c.code;
        if (c.valid) {
            EXPECT_DOUBLE_EQ(kt, c.knots) << c.code;
            EXPECT_EQ(encode_movement(c.knots), c.code) << c.code;
        }
    }
}

// Type codes, subtypes and control fields without a decoding are named as
// what they are, not guessed at.
TEST(SquitterDecode, UnknownAndReservedFormsAreNamed) {
    auto with_me = [](int df, int ca, int tc, int subtype) {
        Frame f{};
        f.b[0] = static_cast<uint8_t>(df << 3 | ca);
        f.b[1] = 0xAB;
        f.b[4] = static_cast<uint8_t>(tc << 3 | subtype);
        return decode_squitter(f.b);
    };
    struct Case {
        int df, ca, tc, subtype;
        const char* name;
    };
    const Case kCases[] = {
        {17, 5, 25, 0, "reserved type code 25"},
        {17, 5, 26, 0, "reserved type code 26"},
        {17, 5, 27, 0, "reserved type code 27"},
        {17, 5, 30, 0, "reserved type code 30"},
        {17, 5, 19, 0, "velocity, reserved subtype 0"},
        {17, 5, 19, 5, "velocity, reserved subtype 5"},
        {17, 5, 28, 3, "aircraft status, reserved subtype 3"},
        {17, 5, 28, 2, "ACAS resolution advisory (not decoded)"},
        {17, 5, 29, 0, "target state, version 1 form (not decoded)"},
        {17, 5, 31, 2, "operational status, reserved subtype 2"},
        {17, 5, 0, 0, "no position information"},
        {17, 5, 23, 0, "test message"},
        {17, 5, 24, 0, "surface system status (not decoded)"},
        {18, 3, 11, 0, "TIS-B coarse position (not decoded)"},
        {18, 4, 11, 0, "TIS-B/ADS-R management (not decoded)"},
        {18, 7, 11, 0, "reserved control field 7"},
        {18, 2, 11, 0, "airborne position"},
        {11, 5, 0, 0, "not an extended squitter"},
    };
    for (const Case& c : kCases) {
        EXPECT_EQ(squitter_name(with_me(c.df, c.ca, c.tc, c.subtype)), c.name)
            << "DF" << c.df << " CA" << c.ca << " TC" << c.tc << " subtype " << c.subtype;
    }
    EXPECT_EQ(category_text('B', 5), "B5 reserved");
    EXPECT_EQ(category_text('D', 3), "D3 reserved");
    EXPECT_EQ(category_text('C', 1), "C1 surface vehicle, emergency");
}

// What the synthesizer encodes, the decoder reads back (to the fields'
// resolution), with parity.
TEST(SquitterEncode, DecoderReadsBackWhatWasEncoded) {
    Frame f{};
    // Identification and operational status are checked on the flights'
    // frames in the dumper's tests; here what flights do not send: west and
    // south components, emergency codes, GNSS height, given CPR values.
    Squitter s{};
    struct Vel {
        double east, north;
        int vrate, diff;
        bool baro;
    };
    const Vel kVel[] = {{120, -300, -1600, 300, false},
                        {-8, -159, -832, 550, false},
                        {0, 450, 0, 0, true},
                        {-600, 0, 4096, -75, true}};
    for (const Vel& v : kVel) {
        encode_velocity(f.b, 0x123456, v.east, v.north, v.vrate, v.baro, v.diff);
        ASSERT_TRUE(parity_ok(f));
        s = decode_squitter(f.b);
        EXPECT_EQ(s.vel.east_kt, v.east);
        EXPECT_EQ(s.vel.north_kt, v.north);
        EXPECT_EQ(s.vel.vertical_rate_fpm, v.vrate);
        EXPECT_EQ(s.vel.vertical_rate_baro, v.baro);
        EXPECT_EQ(s.vel.gnss_minus_baro_ft, v.diff);
    }
    for (int squawk : {07700, 01200, 07500, 04561}) {
        encode_aircraft_status(f.b, 0x123456, squawk == 07700 ? 1 : 0, squawk);
        ASSERT_TRUE(parity_ok(f));
        s = decode_squitter(f.b);
        EXPECT_EQ(s.status.squawk, squawk);
        EXPECT_EQ(s.status.emergency, squawk == 07700 ? 1 : 0);
    }
    encode_airborne_position(f.b, 0x123456, {52.2572, 3.91937}, 38000, 0, false);
    ASSERT_TRUE(parity_ok(f));
    s = decode_squitter(f.b);
    EXPECT_EQ(s.pos.altitude_ft, 38000);
    EXPECT_FALSE(s.pos.gnss_height);
    EXPECT_EQ(s.pos.cpr.lat, 93000U);  // the published frame's CPR values
    EXPECT_EQ(s.pos.cpr.lon, 51372U);
    encode_airborne_position(f.b, 0x123456, {52.2572, 3.91937}, 3500, 1, true);
    s = decode_squitter(f.b);
    EXPECT_EQ(s.type_code, 20);
    EXPECT_TRUE(s.pos.gnss_height);
    EXPECT_NEAR(s.pos.altitude_ft, 3500, 2);
    encode_surface_position(f.b, 0x123456, {52.32061, 4.73473}, 17.2, 92.8, 1);
    s = decode_squitter(f.b);
    EXPECT_EQ(s.kind, SquitterKind::kSurfacePosition);
    EXPECT_DOUBLE_EQ(s.pos.ground_speed_kt, 17.0);
    EXPECT_NEAR(s.pos.track_deg, 92.8, 360.0 / 256);
}

// The order in which the tracker decodes positions: a pair within 10 s
// globally, else locally against the aircraft's last position while it is
// at most 10 minutes old, else against the site, else not at all.
TEST(Tracker, PositionSourcesInTheirOrder) {
    struct Step {
        double time;  // s
        int format;
        FixSource source;
        const char* reason;
    };
    const Step kSteps[] = {
        {0, 0, FixSource::kNone, "waiting for an odd frame"},
        {11, 1, FixSource::kNone, "waiting for an even frame"},  // 11 s apart
        {12, 0, FixSource::kGlobal, nullptr},
        {30, 1, FixSource::kLocalAircraft, nullptr},               // the even frame is 18 s old
        {629, 0, FixSource::kLocalAircraft, nullptr},              // position 599 s old
        {1300, 1, FixSource::kNone, "waiting for an even frame"},  // 671 s: too old
    };
    Tracker t{};
    const LatLon start{-33.9, 151.2};
    for (const Step& s : kSteps) {
        const LatLon pos = destination(start, 90, 0.1 * s.time / 60);  // 6 kt east
        Frame f{};
        encode_airborne_position(f.b, 0x7C0001, pos, 5000, s.format, false);
        const PositionFix fix = tracker_update(&t, decode_squitter(f.b), 1.7e9 + s.time);
        EXPECT_EQ(fix.source, s.source) << "at " << s.time;
        if (s.reason != nullptr) {
            EXPECT_STREQ(fix.reason, s.reason) << "at " << s.time;
        }
        if (fix.source != FixSource::kNone) {
            EXPECT_LT(distance_nm(fix.pos, pos), 0.004) << "at " << s.time;
        }
    }
    // With a site, the first frame of an aircraft is decoded against it.
    Tracker with_site{};
    with_site.have_site = true;
    with_site.site = destination(start, 200, 150);
    Frame f{};
    encode_airborne_position(f.b, 0x7C0002, start, 5000, 1, false);
    const PositionFix fix = tracker_update(&with_site, decode_squitter(f.b), 1.7e9);
    EXPECT_EQ(fix.source, FixSource::kLocalSite);
    EXPECT_LT(distance_nm(fix.pos, start), 0.004);
    EXPECT_EQ(with_site.aircraft.at(0x7C0002).messages, 1);
}

}  // namespace
