#include "tools/adsb/flights.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "tools/adsb/encode.h"
#include "tools/adsb/random.h"
#include "tools/adsb/text.h"

namespace {

constexpr const char* kAirlines[] = {"KLM", "DLH", "BAW", "AFR", "EZY", "RYR", "SAS", "AUA",
                                     "IBE", "SWR", "TAP", "FIN", "UAE", "QTR", "THY", "LOT"};

constexpr double kPi = 3.14159265358979323846;

struct Period {
    FlightMessageKind kind;
    double lo, hi;  // s between two messages
    bool airborne, surface;
};
constexpr Period kPeriods[] = {
    {FlightMessageKind::kPosition, 0.4, 0.6, true, true},
    {FlightMessageKind::kVelocity, 0.4, 0.6, true, false},
    {FlightMessageKind::kIdentification, 4.8, 5.2, true, true},
    {FlightMessageKind::kOperationalStatus, 2.4, 2.6, true, true},
    {FlightMessageKind::kAircraftStatus, 4.8, 5.2, true, false},
};

/// At most eight characters.
void set_callsign(Flight* f, const std::string& text) {
    snprintf(f->callsign, sizeof f->callsign, "%.8s", text.c_str());
}

}  // namespace

std::vector<Flight> make_flights(int airborne, int surface, LatLon site, uint64_t seed) {
    Rng rng{seed * 0xD1B54A32D192ED03ULL + 0x8BB84B93962EACC9ULL};
    std::vector<Flight> out;
    for (int i = 0; i < airborne + surface; i++) {
        Flight f{};
        f.surface = i >= airborne;
        // Distinct addresses, none of them 0.
        bool fresh;
        do {
            f.address = 1 + rng.below(0xFFFFFE);
            fresh = std::none_of(out.begin(), out.end(),
                                 [&](const Flight& g) { return g.address == f.address; });
        } while (!fresh);
        const double bearing = rng.range(0, 360);
        if (f.surface) {
            set_callsign(&f, text_printf("OPS%d", 1 + static_cast<int>(rng.below(99))));
            f.category_set = 'C';
            f.category = 1 + static_cast<int>(rng.below(2));  // emergency or service vehicle
            f.distance_nm = rng.range(0.2, 3.0);
            f.speed_kt = std::round(rng.range(3, 30));
            f.squawk = 0;
        } else {
            set_callsign(&f, text_printf("%s%d", kAirlines[rng.below(16)],
                                         1 + static_cast<int>(rng.below(9999))));
            f.category_set = 'A';
            static const int kCategories[] = {1, 2, 3, 3, 3, 5};
            f.category = kCategories[rng.below(6)];
            f.distance_nm = rng.range(5, 150);
            f.speed_kt = std::round(rng.range(180, 490));
            f.altitude_ft = 25 * std::round(rng.range(3000, 41000) / 25);
            const int climb = static_cast<int>(rng.below(3));  // level, climbing, descending
            f.vertical_rate_fpm =
                climb == 0 ? 0 : (climb == 1 ? 1 : -1) * 64 * (8 + static_cast<int>(rng.below(32)));
            // Four octal digits, never one of the emergency codes 7500, 7600, 7700.
            do {
                f.squawk = static_cast<int>(rng.below(010000));
            } while (f.squawk == 07500 || f.squawk == 07600 || f.squawk == 07700);
        }
        f.start = destination(site, bearing, f.distance_nm);
        f.track_deg = std::round(rng.range(0, 360) * 10) / 10;
        out.push_back(f);
    }
    return out;
}

std::vector<ScheduledMessage> schedule_messages(const std::vector<Flight>& flights,
                                                double duration_s, uint64_t seed) {
    Rng rng{seed * 0x9FB21C651E98DF25ULL + 0x2545F4914F6CDD1DULL};
    std::vector<ScheduledMessage> out;
    for (size_t i = 0; i < flights.size(); i++) {
        for (const Period& p : kPeriods) {
            if (flights[i].surface ? !p.surface : !p.airborne) continue;
            int format = static_cast<int>(rng.below(2));
            for (double t = rng.range(0, p.hi); t < duration_s; t += rng.range(p.lo, p.hi)) {
                out.push_back({t, static_cast<int>(i), p.kind, format});
                format ^= 1;
            }
        }
    }
    std::stable_sort(
        out.begin(), out.end(),
        [](const ScheduledMessage& a, const ScheduledMessage& b) { return a.time_s < b.time_s; });
    return out;
}

LatLon flight_position(const Flight& f, double time_s, double* altitude_ft) {
    *altitude_ft = f.altitude_ft + f.vertical_rate_fpm * time_s / 60.0;
    return destination(f.start, f.track_deg, f.speed_kt * time_s / 3600.0);
}

std::string encode_message(const Flight& f, const ScheduledMessage& m, double time_s,
                           uint8_t* frame) {
    const std::string addr = text_printf("%06X", static_cast<unsigned>(f.address));
    switch (m.kind) {
        case FlightMessageKind::kIdentification:
            encode_identification(frame, f.address, f.callsign, f.category_set, f.category);
            return text_printf("%s ident %s %c%d", addr.c_str(), f.callsign, f.category_set,
                               f.category);
        case FlightMessageKind::kPosition: {
            double alt = 0;
            const LatLon p = flight_position(f, time_s, &alt);
            const char* fmt = m.format ? "odd" : "even";
            if (f.surface) {
                encode_surface_position(frame, f.address, p, f.speed_kt, f.track_deg, m.format);
                return text_printf("%s surface %s %.6f %.6f %.0f %.1f", addr.c_str(), fmt, p.lat,
                                   p.lon, f.speed_kt, f.track_deg);
            }
            const int alt_ft = static_cast<int>(std::lround(alt / 25) * 25);
            encode_airborne_position(frame, f.address, p, alt_ft, m.format, false);
            return text_printf("%s pos %s %.6f %.6f %d", addr.c_str(), fmt, p.lat, p.lon, alt_ft);
        }
        case FlightMessageKind::kVelocity: {
            const double east = std::round(f.speed_kt * std::sin(f.track_deg * kPi / 180));
            const double north = std::round(f.speed_kt * std::cos(f.track_deg * kPi / 180));
            encode_velocity(frame, f.address, east, north, f.vertical_rate_fpm, true, 0);
            return text_printf("%s vel %.1f %.1f %d", addr.c_str(), std::hypot(east, north),
                               std::fmod(std::atan2(east, north) * 180 / kPi + 360, 360),
                               f.vertical_rate_fpm);
        }
        case FlightMessageKind::kOperationalStatus:
            encode_operational_status(frame, f.address, f.surface, 9, 3);
            return text_printf("%s opstatus 2 9 3", addr.c_str());
        case FlightMessageKind::kAircraftStatus:
            encode_aircraft_status(frame, f.address, 0, f.squawk);
            return text_printf("%s status %04o", addr.c_str(), static_cast<unsigned>(f.squawk));
    }
    return addr;
}

std::string flight_text(const Flight& f) {
    if (f.surface) {
        return text_printf("%06X %s %c%d surface %.6f %.6f speed %.0f track %.1f distance %.1f",
                           static_cast<unsigned>(f.address), f.callsign, f.category_set, f.category,
                           f.start.lat, f.start.lon, f.speed_kt, f.track_deg, f.distance_nm);
    }
    return text_printf(
        "%06X %s %c%d squawk %04o start %.6f %.6f alt %.0f speed %.0f track %.1f "
        "vrate %d distance %.1f",
        static_cast<unsigned>(f.address), f.callsign, f.category_set, f.category,
        static_cast<unsigned>(f.squawk), f.start.lat, f.start.lon, f.altitude_ft, f.speed_kt,
        f.track_deg, f.vertical_rate_fpm, f.distance_nm);
}
