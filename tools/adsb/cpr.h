// Compact position reporting (CPR): the 17-bit latitude and longitude that
// position squitters carry, encoded and decoded.
//
// Latitude is cut into zones of 360/60 degrees (even format, 0) or 360/59
// degrees (odd format, 1); longitude, at a given latitude, into
// max(NL(lat) - format, 1) zones, where NL is the number of longitude zones
// at that latitude: 59 at the equator, 2 up to 87 degrees, 1 beyond. A
// frame carries the position inside its zones as fractions of 2^17. Surface
// positions use the same zones over 90 degrees instead of 360, four times
// finer and ambiguous by multiples of 90 degrees.
//
// Decoding needs either an even and an odd frame (global decoding) or a
// reference position within half a zone of the aircraft (local decoding):
// 180 NM airborne, 45 NM on the surface.
#pragma once

#include <cstdint>

constexpr int kCprBits = 17;
constexpr double kCprScale = 131072.0;  // 2^17

/// The CPR part of one position squitter.
struct CprFrame {
    int format;    ///< 0 even, 1 odd
    uint32_t lat;  ///< 0..131071, fraction of a latitude zone in units of 2^-17
    uint32_t lon;  ///< 0..131071, fraction of a longitude zone in units of 2^-17
};

struct LatLon {
    double lat;  ///< degrees, -90..90, north positive
    double lon;  ///< degrees, -180..<180, east positive
};

/// NL: the number of longitude zones at latitude `lat` (degrees), 1..59.
int cpr_nl(double lat);

/// The CPR form of a position, airborne or surface, in format 0 or 1.
CprFrame cpr_encode(LatLon pos, int format, bool surface);

/// Global decoding of an even and an odd frame; the position is the one of
/// the frame in `latest_format` (the newer of the two). A surface pair is
/// ambiguous by 90 degrees: `ref` (required there, ignored airborne) picks
/// the solution nearest to it. False when the two frames lie in latitude
/// bands with different NL (the aircraft crossed a band edge between them:
/// wait for the next pair) or when no reference was given for a surface pair.
bool cpr_global(CprFrame even, CprFrame odd, int latest_format, bool surface, const LatLon* ref,
                LatLon* out);

/// Local decoding against a reference position within half a zone of the
/// aircraft (180 NM airborne, 45 NM surface): always a position, right only
/// when the reference is that close.
LatLon cpr_local(CprFrame frame, bool surface, LatLon ref);

/// Great-circle distance in nautical miles.
double distance_nm(LatLon a, LatLon b);

/// The point `nm` nautical miles from `from` on the initial bearing
/// `bearing_deg` (degrees clockwise from north), on a sphere.
LatLon destination(LatLon from, double bearing_deg, double nm);
