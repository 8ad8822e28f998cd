// This station's unique id, and the table of known stations.
//
// Owns the table of known stations (nick_list, constant). Promises:
// an id is always produced (a random one when nothing else gives one).
#pragma once

#include <cstdint>

#include "include/helper.h"
#include "include/uniq.h"

/// Works out this station's id (serial number, hardware address or random);
/// fills `out` and returns it. The hardware address is the default-route
/// interface's; when that gives none, the interface of the route to `peer`
/// (the proxy's IPv4 address as it lies in memory; 0: none), then the first
/// interface that is up with a hardware address, each with a warning naming
/// it; else the id is random, with a warning. Only the run's first call
/// waits for a default route to appear.
UniqId* calc_uniq(UniqId* out, uint32_t usb_vendor, uint32_t usb_product, uint32_t serial,
                  int no_output, TimeStamp now, uint32_t peer = 0);

/// The id of the serial-number strategy: (vendor XOR product) << 16 | low 16
/// bits of `serial`.
uint32_t uniq_id_from_serial(uint32_t usb_vendor, uint32_t usb_product, uint32_t serial);
/// The id of the hardware-address strategy: the first three address bytes
/// in the top three bytes, the last three added to the low three, mod 2^32.
uint32_t uniq_id_from_hw(uint64_t hw);

/// One known station.
struct NickEntry {
    UniqId uniq;       ///< station id; all zero ends the table
    const char* nick;  ///< nickname, 1..4 characters
    double latitude;   ///< degrees; -1.0: not given
    double longitude;  ///< degrees; -1.0: not given
    double altitude;   ///< metres; -1.0: not given
    int32_t flags;     ///< 0 in most records
};

inline constexpr int kNickListSize = 200;  ///< records, terminator included

/// The station table (site data), ended by an all-zero id.
extern const NickEntry nick_list[kNickListSize];
/// Records in nick_list, set by init_nick.
extern int32_t nick_count;

/// Counts nick_list and logs "init_nick: used nicks %d/%d"; fatal when the
/// table has no terminator.
void init_nick();
/// Counts the records of `table` (room for `capacity`) before its first
/// all-zero id and logs the count; fatal when there is none. Returns the count.
int32_t init_nick_table(const NickEntry* table, int capacity);
