// The aircraft table of the frame check: the aircraft heard, by their
// 24-bit address, with what the report lists of them. An aircraft enters
// through a frame whose parity stands on its own (DF11, DF17, DF18);
// address/parity frames (DF4, 5, 20, 21, 24..27) are accepted only for an
// address found here, and the default demodulator corrects a squitter only
// for an aircraft heard here with clean parity shortly before.
//
// 512 entries in table order (the report lists them in it; a new address
// takes the first free entry, and in a full table the one heard least
// recently), and an index beside them: an open-addressing hash of the
// addresses in use (1024 slots, 6 KiB, linear probing), so that a lookup
// reads a slot or two instead of scanning the 36 KiB of entries.
//
// Owns nothing static: the table is ctx->aircraft, which lives for the
// whole run and is not cleared when an attempt starts (the statistics are),
// so a reconnection keeps the aircraft heard. Promises: an entry's address
// changes only through aircraft_take, and the index always agrees with the
// entries; a zero-filled table is an empty one.
#pragma once

#include <cstdint>

#include "include/helper.h"
#include "include/level_stats.h"

inline constexpr int kAircraftEntries = 512;
inline constexpr int kAircraftSlots = 1024;  ///< index slots: at most half of them in use

/// One aircraft of the table.
struct AircraftEntry {
    uint32_t address;      ///< 24-bit ICAO address; 0 marks a free entry
    LevelStats level;      ///< levels of the frames attributed to it
    int32_t df11_ok;       ///< all-call replies, clean parity
    int32_t df11_bad;      ///< all-call replies, failed parity
    int32_t es_ok;         ///< extended squitters, clean parity
    int32_t es_bad;        ///< extended squitters, failed parity
    int32_t commb;         ///< DF20/DF21 replies attributed to it
    char callsign[9];      ///< eight characters and NUL; all zero until known
    TimeStamp last_seen;   ///< time of arrival of its latest frame
    int32_t freq_offset;   ///< tenths; never written, printed by the report
    int32_t freq_spread;   ///< tenths; never written, printed by the report
    TimeStamp last_clean;  ///< time of arrival of its latest DF11/17/18 with clean parity
};

struct AircraftTable {
    AircraftEntry entries[kAircraftEntries];  ///< in table order; read and update freely,
                                              ///< but the address only through aircraft_take
    uint32_t keys[kAircraftSlots];   ///< the index: an address in use, 0 for an empty slot
    uint16_t slots[kAircraftSlots];  ///< the entry of keys[s]
    int32_t first_free;  ///< the lowest entry whose address is 0; kAircraftEntries: none
};
static_assert(sizeof(AircraftEntry) == 72, "the entry as the frame check's table holds it");

/// The entry of `address` (not 0), or -1 when it is not in the table.
int32_t aircraft_find(const AircraftTable* t, uint32_t address);

/// Takes an entry for `address`, which must not be in the table: the first
/// free entry, else the one heard least recently (the smallest last_seen,
/// seconds signed; the first of equal times). The entry is cleared, its
/// level statistics reset and its address set; address 0 leaves it free.
/// Returns the entry.
int32_t aircraft_take(AircraftTable* t, uint32_t address);

/// A new time base at `now` (the capture time stepped back): aircraft heard
/// or heard clean after it count as heard then, so that the report and the
/// correction's recency follow the new time.
void aircraft_time_restart(AircraftTable* t, TimeStamp now);

/// Empties the table.
void aircraft_clear(AircraftTable* t);
