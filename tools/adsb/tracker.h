// The aircraft heard in a stream of extended squitters: what each one last
// said (callsign, altitude, position, speed, squawk), how many messages it
// sent and when, and the CPR state that turns its position squitters into
// latitude and longitude.
//
// A position is decoded, in this order of preference:
//  1. globally, from an even and an odd frame of the same kind no more than
//     10 s apart (25 s on the surface; a surface pair also needs a reference
//     to choose among its four solutions: the aircraft's last position or
//     the receiver's site);
//  2. locally, against the aircraft's own last position, while that is no
//     older than 10 minutes (at up to 1000 kt it is then within the 180 NM
//     that airborne local decoding allows; surface vehicles are far slower
//     than the 270 kt that 45 NM in 10 minutes would take);
//  3. locally, against the receiver's site (--site), which assumes that the
//     aircraft is within 180 NM (45 NM on the surface) of the receiver.
// Otherwise the frame waits for its partner.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "tools/adsb/cpr.h"
#include "tools/adsb/reply.h"
#include "tools/adsb/squitter.h"

enum class FixSource : uint8_t { kNone, kGlobal, kLocalAircraft, kLocalSite };

struct PositionFix {
    FixSource source;    ///< kNone: no position from this frame
    LatLon pos;          ///< valid unless source is kNone
    const char* reason;  ///< kNone: why not, for example "waiting for an odd frame"
};

struct Aircraft {
    uint32_t address;
    std::string callsign;  ///< empty until an identification arrived
    char category_set;     ///< 'A'..'D', 0 until an identification arrived
    int category;
    double first_seen, last_seen;  ///< s since the epoch
    long messages;                 ///< squitters and replies counted for this address
    bool altitude_valid;
    int altitude_ft;  ///< the last altitude (barometric, or GNSS height)
    bool position_valid;
    LatLon position;       ///< the last decoded position
    double position_time;  ///< when it was decoded
    bool on_ground;        ///< the last position came from a surface squitter
    bool ground_speed_valid;
    double ground_speed_kt, track_deg;
    bool airspeed_valid;  ///< an airspeed (and maybe a heading) arrived
    int airspeed_kt;
    bool true_airspeed;
    bool heading_valid;
    double heading_deg;
    int squawk;  ///< -1 until an aircraft status gave one
    // The newest CPR frame of each format.
    bool have_cpr[2];
    CprFrame cpr[2];
    double cpr_time[2];
    bool cpr_surface[2];
};

struct Tracker {
    bool have_site;
    LatLon site;  ///< the receiver's position, for local decoding
    std::map<uint32_t, Aircraft> aircraft;
    long messages;  ///< squitters and replies taken in
};

/// Takes in one squitter heard at `time` (s since the epoch); for a position
/// squitter returns how its position was decoded (source kNone otherwise).
PositionFix tracker_update(Tracker* tracker, const Squitter& s, double time);

/// Takes in a reply (any format but DF17/18) heard at `time`: a DF11 with a
/// clean parity counts as a squitter does and enters its aircraft; the
/// other formats count only for an aircraft already in the table (their
/// address is what the parity leaves) and give it their altitude or squawk.
/// True when the reply was counted.
bool tracker_reply(Tracker* tracker, const Reply& r, double time);

/// The text of a fix for a decoded line: " lat 52.25720 lon 3.91937
/// (global)", or " (no position: waiting for an odd frame)".
std::string fix_text(const PositionFix& fix);

/// The table of the aircraft heard, newest first: a title line, a header
/// line and one line per aircraft.
std::string aircraft_table(const Tracker& tracker);
