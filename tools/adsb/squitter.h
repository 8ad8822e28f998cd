// Extended squitters (DF17, and DF18 in its ADS-B forms) decoded into their
// fields, and the text of a decoded squitter.
//
// Bits are numbered as the message field (ME, 56 bits, bits 33..88 of the
// frame) numbers them: ME bit 1 is the first bit of the type code. Every
// field of a message is decoded as transmitted; positions stay in their CPR
// form here (tools/adsb/cpr.h and tools/adsb/tracker.h turn them into
// latitude and longitude).
#pragma once

#include <cstdint>
#include <string>

#include "tools/adsb/cpr.h"

enum class SquitterKind : uint8_t {
    kNotExtendedSquitter,  ///< a downlink format other than 17 and 18
    kNonAdsbTisb,          ///< DF18 with a control field whose ME is not in ADS-B form
    kNoPosition,           ///< type code 0: no position information
    kIdentification,       ///< type codes 1..4
    kSurfacePosition,      ///< type codes 5..8
    kAirbornePosition,     ///< type codes 9..18 (barometric), 20..22 (GNSS height)
    kVelocity,             ///< type code 19
    kTestMessage,          ///< type code 23
    kSurfaceSystemStatus,  ///< type code 24
    kReserved,             ///< type codes 25..27 and 30
    kAircraftStatus,       ///< type code 28
    kTargetState,          ///< type code 29
    kOperationalStatus,    ///< type code 31
};

struct Identification {
    char callsign[9];   ///< eight characters, trailing blanks removed, NUL-terminated
    char category_set;  ///< 'A' (type code 4) .. 'D' (type code 1)
    int category;       ///< 0..7; 0: no category information
};

struct PositionFields {
    CprFrame cpr;             ///< the CPR latitude and longitude with their format
    bool time_sync;           ///< T bit: the time of applicability is a UTC second
    int surveillance_status;  ///< 0..3, airborne only
    bool altitude_valid;      ///< an altitude is given (airborne)
    int altitude_ft;          ///< barometric altitude, or GNSS height converted to feet
    bool gnss_height;         ///< the altitude is a GNSS height (type codes 20..22)
    int movement;             ///< surface: the 7-bit movement code, 0 = no information
    bool speed_valid;         ///< surface: the movement code gives a speed
    double ground_speed_kt;   ///< surface: lower end of the movement code's speed step
    bool track_valid;         ///< surface: ground track status
    double track_deg;         ///< surface: ground track, 0..<360 in steps of 360/128
};

struct VelocityFields {
    bool ground_speed_valid;   ///< subtypes 1, 2: both components known
    double ground_speed_kt;    ///< from the east-west and north-south components
    double track_deg;          ///< 0..<360, the direction of the ground speed
    int east_kt, north_kt;     ///< components, east and north positive
    bool heading_valid;        ///< subtypes 3, 4: heading status bit
    double heading_deg;        ///< magnetic heading, steps of 360/1024
    bool airspeed_valid;       ///< subtypes 3, 4: an airspeed is given
    int airspeed_kt;           ///< knots
    bool true_airspeed;        ///< TAS when set, else IAS
    bool supersonic;           ///< subtypes 2 and 4: speeds in steps of 4 kt
    bool vertical_rate_valid;  ///< a vertical rate is given
    int vertical_rate_fpm;     ///< feet per minute, climbing positive
    bool vertical_rate_baro;   ///< source: barometric when set, else GNSS
    bool height_diff_valid;    ///< the GNSS/barometric difference is given
    int gnss_minus_baro_ft;    ///< GNSS height minus barometric altitude, feet
    int nac_v;                 ///< navigation accuracy category for velocity, 0..7
    bool intent_change;        ///< intent change flag
};

struct AircraftStatusFields {
    int emergency;  ///< subtype 1: emergency state 0..7 (0: none)
    int squawk;     ///< subtype 1: Mode A code, four octal digits (07700 for 7700); -1 none
};

struct TargetStateFields {
    bool selected_altitude_valid;
    int selected_altitude_ft;    ///< steps of 32 ft
    bool selected_altitude_fms;  ///< from the flight management system, else MCP/FCU
    bool baro_setting_valid;
    double baro_setting_hpa;  ///< 800 + steps of 0.8 hPa
    bool selected_heading_valid;
    double selected_heading_deg;  ///< steps of 180/256
    int nac_p;                    ///< 0..15
    int sil;                      ///< 0..3
    bool modes_valid;             ///< the mode bits below are set
    bool autopilot, vnav, altitude_hold, approach, lnav;
    bool tcas_operational;
};

struct OperationalStatusFields {
    int version;          ///< ADS-B version 0..7 (0, 1 and 2 are defined)
    bool nic_a;           ///< NIC supplement A (versions 1, 2)
    int nac_p;            ///< 0..15 (versions 1, 2)
    int sil;              ///< 0..3 (versions 1, 2)
    int gva;              ///< geometric vertical accuracy 0..3 (version 2, airborne)
    bool sil_per_sample;  ///< SIL supplement: per sample, else per hour (version 2)
};

struct Squitter {
    uint32_t address;  ///< 24-bit address (AA field)
    int df;            ///< downlink format 0..31
    int ca;            ///< DF17: capability; DF18: control field (CF)
    int type_code;     ///< 0..31
    int subtype;       ///< the ME bits 6..8 (fewer for some type codes)
    SquitterKind kind;
    Identification ident;
    PositionFields pos;
    VelocityFields vel;
    AircraftStatusFields status;
    TargetStateFields target;
    OperationalStatusFields op;
};

/// Decodes a 112-bit frame (14 bytes). The parity is not checked here.
Squitter decode_squitter(const uint8_t* frame);

/// The barometric altitude of a 12-bit altitude field (ME bits 9..20) in
/// feet; false when the field is 0 (no altitude) or not a valid code.
bool decode_altitude12(uint32_t field, int* feet);

/// The altitude of a Gillham (100-ft Gray) code given as its 12-bit field
/// with the Q bit clear; false for codes that stand for no altitude.
bool decode_gillham(uint32_t field, int* feet);

/// The four octal digits of a 13-bit Mode A identity field (C1 A1 C2 A2 C4
/// A4 X B1 D1 B2 D2 B4 D4), as a number whose octal digits are ABCD.
int decode_mode_a(uint32_t field);

/// The lower end of the speed step that the 7-bit surface movement code
/// stands for, in knots; false for 0 (no information) and the reserved codes
/// 125..127.
bool decode_movement(int code, double* knots);

/// The name of a squitter's kind and type code, for example "airborne
/// position" or "reserved type code 25".
std::string squitter_name(const Squitter& s);

/// The wake vortex category of an identification, for example "A3 large"
/// or "A0 no category information"; reserved codes named as such.
std::string category_text(char set, int category);

/// The fields of a decoded squitter as text (without its time), for example
/// "4840D6 DF17 TC4  identification  KLM1023  category A0 no category
/// information". Positions are shown in their CPR form; the caller appends
/// the decoded latitude and longitude.
std::string squitter_text(const Squitter& s);
