// Extended squitters built from the values they are to carry: the inverse
// of tools/adsb/squitter.h, for the synthesizer and for tests. Every
// function fills 14 bytes of a DF17 frame from `address` and the values
// given, parity included; values are rounded to the field's resolution and
// limited to its range.
#pragma once

#include <cstdint>

#include "tools/adsb/cpr.h"

/// Identification (type code 4 - set + 'A', so set 'A' is type code 4):
/// callsign of up to eight characters from A..Z, 0..9 and blank.
void encode_identification(uint8_t* frame, uint32_t address, const char* callsign, char set,
                           int category);

/// Airborne position with barometric altitude (type code 11; 25-ft steps up
/// to 50175 ft, 100-ft Gillham code above), or GNSS height in metres (type
/// code 20) when `gnss`.
void encode_airborne_position(uint8_t* frame, uint32_t address, LatLon pos, int altitude_ft,
                              int format, bool gnss);

/// Surface position (type code 7), movement from `speed_kt` (the code of the
/// speed step it falls in) and ground track.
void encode_surface_position(uint8_t* frame, uint32_t address, LatLon pos, double speed_kt,
                             double track_deg, int format);

/// Velocity over ground (subtype 1): east and north components in knots,
/// vertical rate in ft/min (barometric when `baro`), GNSS minus barometric
/// height in feet.
void encode_velocity(uint8_t* frame, uint32_t address, double east_kt, double north_kt,
                     int vertical_rate_fpm, bool baro, int gnss_minus_baro_ft);

/// Aircraft status (type code 28, subtype 1): emergency state and Mode A
/// code (`squawk` as four octal digits, 07700 for 7700).
void encode_aircraft_status(uint8_t* frame, uint32_t address, int emergency, int squawk);

/// Operational status (type code 31, version 2), airborne or surface.
void encode_operational_status(uint8_t* frame, uint32_t address, bool surface, int nac_p, int sil);

/// The 12-bit altitude field of an altitude in feet (Q bit set, 25-ft steps)
/// or, above 50175 ft, the 100-ft Gillham code.
uint32_t encode_altitude12(int altitude_ft);

/// The movement code whose speed step holds `speed_kt`.
int encode_movement(double speed_kt);
