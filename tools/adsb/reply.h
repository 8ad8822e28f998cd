// Mode S frames other than extended squitters, as the Beast and raw outputs
// carry them: surveillance replies (DF0, 4, 5, 16), all-call replies (DF11),
// Comm-B replies (DF20, 21) and extended-length messages (DF24..31),
// decoded into their address and the fields the aircraft table uses.
//
// Only DF11 (and DF17/18) carry the address in clear with a parity of its
// own. The others overlay the address on the parity: what the parity leaves
// is the address when the frame arrived intact, and any value when it did
// not, so such an address means something only for an aircraft already
// heard (the receiver sends these formats only for aircraft it heard
// recently).
#pragma once

#include <cstdint>
#include <string>

struct Reply {
    int df;                 ///< downlink format 0..31
    int n_bytes;            ///< 7 or 14
    bool length_ok;         ///< n_bytes is the format's length (a long format has 14)
    uint32_t address;       ///< 24-bit address: in clear (DF11) or what the parity leaves
    bool address_in_clear;  ///< DF11: the address field, checked by its own parity
    bool parity_ok;         ///< DF11: the parity leaves only an interrogator code; others true
    int interrogator;       ///< DF11: the interrogator code the parity leaves, 0..127
    int capability;         ///< DF11: CA, 0..7
    int flight_status;      ///< DF4, 5, 20, 21: FS 0..7; -1 for other formats
    bool has_altitude;      ///< DF0, 4, 16, 20: an altitude code is carried
    bool altitude_valid;    ///< the code gives an altitude in feet
    bool altitude_metric;   ///< the code is in metres (M bit), not decoded
    int altitude_ft;        ///< valid when altitude_valid
    int squawk;             ///< DF5, 21: Mode A code, four octal digits as a number; -1 otherwise
};

/// Decodes the frame (`n_bytes` 7 or 14) of any format but DF17/18.
Reply decode_reply(const uint8_t* frame, int n_bytes);

/// The fields of a reply as text (without its time), for example
/// "4840D6 DF4  altitude reply  alt 36000 ft  airborne"; a DF11 with a
/// failed parity and a frame of the wrong length name that instead.
std::string reply_text(const Reply& r, const uint8_t* frame);
