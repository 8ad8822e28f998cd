// The aircraft table and its index. The index is an open-addressing hash
// with linear probing: an address's home slot is the top 10 bits of its
// product with 2^32 / phi; a lookup probes from there to the address or an
// empty slot. An address leaves the index only when its entry is taken for
// another one, by backward-shift deletion (the following run of slots
// moves up where it may, so no probe ever meets a hole).
#include "sdr/aircraft.h"

#include <cstring>

#include "sdr/log.h"

namespace {

constexpr char kModule[] = "sdr/aircraft";
constexpr int kSlotMask = kAircraftSlots - 1;
static_assert((kAircraftSlots & kSlotMask) == 0 && kAircraftSlots >= 2 * kAircraftEntries);

int home(uint32_t address) {
    return static_cast<int>((address * 2654435769U) >> 22);  // 10 bits
}

/// The slot that holds `address`, or the empty slot where it would go.
int probe(const AircraftTable* t, uint32_t address) {
    int s = home(address);
    while (t->keys[s] != 0 && t->keys[s] != address) s = (s + 1) & kSlotMask;
    return s;
}

void index_insert(AircraftTable* t, uint32_t address, int32_t entry) {
    const int s = probe(t, address);
    VX_ASSERT(kModule, t->keys[s] == 0);
    t->keys[s] = address;
    t->slots[s] = static_cast<uint16_t>(entry);
}

void index_remove(AircraftTable* t, uint32_t address) {
    int hole = probe(t, address);
    VX_ASSERT(kModule, t->keys[hole] == address);
    // Moves every later key of the run whose home does not lie in
    // (hole, its slot] into the hole.
    for (int s = (hole + 1) & kSlotMask; t->keys[s] != 0; s = (s + 1) & kSlotMask) {
        const int h = home(t->keys[s]);
        const bool stays = hole < s ? (h > hole && h <= s) : (h > hole || h <= s);
        if (stays) continue;
        t->keys[hole] = t->keys[s];
        t->slots[hole] = t->slots[s];
        hole = s;
    }
    t->keys[hole] = 0;
    t->slots[hole] = 0;
}

/// The entry heard least recently: the smallest last_seen in signed 64-bit
/// order (seconds signed, fraction unsigned), the first of equal times.
int32_t least_recent(const AircraftTable* t) {
    int32_t best = 0;
    for (int32_t i = 1; i < kAircraftEntries; i++) {
        if (static_cast<int64_t>(t->entries[i].last_seen) <
            static_cast<int64_t>(t->entries[best].last_seen)) {
            best = i;
        }
    }
    return best;
}

}  // namespace

int32_t aircraft_find(const AircraftTable* t, uint32_t address) {
    if (address == 0) return -1;
    const int s = probe(t, address);
    return t->keys[s] == 0 ? -1 : t->slots[s];
}

int32_t aircraft_take(AircraftTable* t, uint32_t address) {
    VX_ASSERT(kModule, aircraft_find(t, address) < 0);
    int32_t i = t->first_free;
    if (i >= kAircraftEntries) {
        i = least_recent(t);
        index_remove(t, t->entries[i].address);
    }
    AircraftEntry* e = &t->entries[i];
    memset(e, 0, sizeof *e);
    e->address = address;
    e->level = kLevelStatsReset;
    if (address == 0) {
        // Stays free: the lowest free one, as no entry before it is.
        t->first_free = i;
        return i;
    }
    index_insert(t, address, i);
    if (i == t->first_free) {
        int32_t next = i + 1;
        while (next < kAircraftEntries && t->entries[next].address != 0) next++;
        t->first_free = next;
    }
    return i;
}

void aircraft_time_restart(AircraftTable* t, TimeStamp now) {
    for (AircraftEntry& e : t->entries) {
        if (e.address == 0) continue;
        if (ts_diff(e.last_seen, now) > 0) e.last_seen = now;
        if (ts_diff(e.last_clean, now) > 0) e.last_clean = now;
    }
}

void aircraft_clear(AircraftTable* t) {
    memset(t, 0, sizeof *t);
}
