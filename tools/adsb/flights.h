// Synthetic air traffic for the synthesizer: aircraft with an address, a
// callsign, a squawk and a straight flight path (or vehicles moving on the
// surface near the receiver), and the extended squitters they send, at the
// rates real transponders use:
//   airborne position   every 0.4..0.6 s, even and odd in turn
//   velocity            every 0.4..0.6 s (surface: none, the position has it)
//   identification      every 4.8..5.2 s
//   operational status  every 2.4..2.6 s
//   aircraft status     every 4.8..5.2 s (the squawk)
// Each squitter comes with a ground-truth text of the values it encodes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/adsb/cpr.h"

struct Flight {
    uint32_t address;
    char callsign[9];
    char category_set;  ///< 'A' aircraft, 'C' surface vehicles
    int category;
    int squawk;          ///< four octal digits
    bool surface;        ///< a vehicle on the surface
    LatLon start;        ///< position at the start of the capture
    double track_deg;    ///< constant initial bearing
    double speed_kt;     ///< ground speed
    double altitude_ft;  ///< at the start (airborne)
    int vertical_rate_fpm;
    double distance_nm;  ///< from the site at the start
};

enum class FlightMessageKind : uint8_t {
    kIdentification,
    kPosition,
    kVelocity,
    kOperationalStatus,
    kAircraftStatus
};

struct ScheduledMessage {
    double time_s;  ///< nominal time after the first sample
    int flight;     ///< index into the flights
    FlightMessageKind kind;
    int format;  ///< positions: 0 even, 1 odd
};

/// `airborne` aircraft 5..150 NM and `surface` vehicles 0.2..3 NM from
/// `site`, drawn from `seed`.
std::vector<Flight> make_flights(int airborne, int surface, LatLon site, uint64_t seed);

/// The squitters the flights send in `duration_s` seconds, in time order.
std::vector<ScheduledMessage> schedule_messages(const std::vector<Flight>& flights,
                                                double duration_s, uint64_t seed);

/// Where the flight is `time_s` seconds after the start, and its altitude.
LatLon flight_position(const Flight& f, double time_s, double* altitude_ft);

/// Builds the squitter of `m` as sent `time_s` seconds after the start
/// (its actual time, which may differ a little from the scheduled one);
/// returns the ground truth of what it encodes, for example
/// "4840D6 pos even 52.257202 3.919373 38000".
std::string encode_message(const Flight& f, const ScheduledMessage& m, double time_s,
                           uint8_t* frame);

/// One line about a flight for the ground truth's head: "4840D6 KLM1023
/// A3 squawk 1234 ...".
std::string flight_text(const Flight& f);
