#include "tools/adsb/cpr.h"

#include <cmath>

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int kNz = 15;                      // latitude zones per quadrant
constexpr double kEarthRadiusNm = 3440.065;  // mean radius

/// x modulo y, always in [0, y).
double cpr_mod(double x, double y) {
    double r = x - y * std::floor(x / y);
    return r >= y ? 0.0 : r;
}

/// Longitude in [-180, 180).
double wrap_lon(double lon) {
    return cpr_mod(lon + 180.0, 360.0) - 180.0;
}

/// Latitude zone size in degrees: 360 (or 90 surface) over 60 or 59.
double zone_lat(int format, bool surface) {
    return (surface ? 90.0 : 360.0) / (4 * kNz - format);
}

/// Longitude zones at latitude `lat` for `format`.
int zones_lon(double lat, int format) {
    int n = cpr_nl(lat) - format;
    return n > 1 ? n : 1;
}

double zone_lon(double lat, int format, bool surface) {
    return (surface ? 90.0 : 360.0) / zones_lon(lat, format);
}

/// The angle from a to b, -180..180.
double lon_gap(double a, double b) {
    return wrap_lon(b - a);
}

}  // namespace

int cpr_nl(double lat) {
    const double a = std::fabs(lat);
    if (a == 0.0) return 59;
    if (a == 87.0) return 2;
    if (a > 87.0) return 1;
    const double c = std::cos(kPi / 180.0 * a);
    const double x = 1.0 - (1.0 - std::cos(kPi / (2 * kNz))) / (c * c);
    return static_cast<int>(std::floor(2 * kPi / std::acos(x)));
}

CprFrame cpr_encode(LatLon pos, int format, bool surface) {
    const double dlat = zone_lat(format, surface);
    const double yz = std::floor(kCprScale * cpr_mod(pos.lat, dlat) / dlat + 0.5);
    // The latitude as the receiver will decode it picks the longitude zones.
    const double rlat = dlat * (yz / kCprScale + std::floor(pos.lat / dlat));
    const double dlon = zone_lon(rlat, format, surface);
    const double xz = std::floor(kCprScale * cpr_mod(pos.lon, dlon) / dlon + 0.5);
    const uint32_t mask = (1U << kCprBits) - 1;
    return {format, static_cast<uint32_t>(yz) & mask, static_cast<uint32_t>(xz) & mask};
}

bool cpr_global(CprFrame even, CprFrame odd, int latest_format, bool surface, const LatLon* ref,
                LatLon* out) {
    if (surface && ref == nullptr) return false;
    const double lat0 = even.lat / kCprScale, lat1 = odd.lat / kCprScale;
    const double lon0 = even.lon / kCprScale, lon1 = odd.lon / kCprScale;
    // Latitude zone index from the difference of the two fractions.
    const double j = std::floor(59 * lat0 - 60 * lat1 + 0.5);
    double rlat0 = zone_lat(0, surface) * (cpr_mod(j, 60) + lat0);
    double rlat1 = zone_lat(1, surface) * (cpr_mod(j, 59) + lat1);
    if (surface) {
        // 0..90 degrees: the northern solution; the southern one is 90 lower.
        if (std::fabs(rlat0 - 90 - ref->lat) < std::fabs(rlat0 - ref->lat)) rlat0 -= 90;
        if (std::fabs(rlat1 - 90 - ref->lat) < std::fabs(rlat1 - ref->lat)) rlat1 -= 90;
    } else {
        if (rlat0 >= 270) rlat0 -= 360;
        if (rlat1 >= 270) rlat1 -= 360;
    }
    if (std::fabs(rlat0) > 90 || std::fabs(rlat1) > 90) return false;
    if (cpr_nl(rlat0) != cpr_nl(rlat1)) return false;
    const double rlat = latest_format == 0 ? rlat0 : rlat1;
    const int nl = cpr_nl(rlat);
    const int ni = zones_lon(rlat, latest_format);
    const double m = std::floor(lon0 * (nl - 1) - lon1 * nl + 0.5);
    const double frac = latest_format == 0 ? lon0 : lon1;
    const double span = surface ? 90.0 : 360.0;
    double rlon = span / ni * (cpr_mod(m, ni) + frac);
    if (surface) {
        // One of four solutions 90 degrees apart: the nearest to the reference.
        double best = rlon;
        for (int k = 1; k < 4; k++) {
            const double cand = rlon + 90.0 * k;
            if (std::fabs(lon_gap(ref->lon, cand)) < std::fabs(lon_gap(ref->lon, best)))
                best = cand;
        }
        rlon = best;
    }
    *out = {rlat, wrap_lon(rlon)};
    return true;
}

LatLon cpr_local(CprFrame frame, bool surface, LatLon ref) {
    const double dlat = zone_lat(frame.format, surface);
    const double fy = frame.lat / kCprScale, fx = frame.lon / kCprScale;
    const double j =
        std::floor(ref.lat / dlat) + std::floor(0.5 + cpr_mod(ref.lat, dlat) / dlat - fy);
    const double rlat = dlat * (j + fy);
    const double dlon = zone_lon(rlat, frame.format, surface);
    const double m =
        std::floor(ref.lon / dlon) + std::floor(0.5 + cpr_mod(ref.lon, dlon) / dlon - fx);
    return {rlat, wrap_lon(dlon * (m + fx))};
}

double distance_nm(LatLon a, LatLon b) {
    const double r = kPi / 180.0;
    const double dlat = (b.lat - a.lat) * r, dlon = (b.lon - a.lon) * r;
    const double h =
        std::sin(dlat / 2) * std::sin(dlat / 2) +
        std::cos(a.lat * r) * std::cos(b.lat * r) * std::sin(dlon / 2) * std::sin(dlon / 2);
    return 2 * kEarthRadiusNm * std::asin(std::sqrt(std::fmin(1.0, h)));
}

LatLon destination(LatLon from, double bearing_deg, double nm) {
    const double r = kPi / 180.0;
    const double d = nm / kEarthRadiusNm, b = bearing_deg * r;
    const double lat1 = from.lat * r, lon1 = from.lon * r;
    const double lat2 =
        std::asin(std::sin(lat1) * std::cos(d) + std::cos(lat1) * std::sin(d) * std::cos(b));
    const double lon2 = lon1 + std::atan2(std::sin(b) * std::sin(d) * std::cos(lat1),
                                          std::cos(d) - std::sin(lat1) * std::sin(lat2));
    return {lat2 / r, wrap_lon(lon2 / r)};
}
