#include "sdr/uniq.h"

#include <cstdlib>
#include <cstring>

#include "lib/routing.h"
#include "sdr/log.h"

namespace {

constexpr char kModule[] = "sdr/uniq";

UniqId make_own(uint32_t id, int strategy) {
    // Every id made here is local, of kind "usb", without suffix.
    return uniq_make(id, uniq_type_make(0, UNIQ_KIND_USB, strategy, 0));
}

// The run's first station id waits for a default route to appear (a board
// whose network comes up after the service starts); later ones look once,
// so that a board without one does not wait at every connection.
constinit bool default_route_waited = false;

// The hardware address of the default-route interface; 0 when there is
// none (`*routed`: whether the default route and its interface were read).
uint64_t default_route_hw(bool* routed) {
    uint64_t hw = 0;
    uint32_t ip = 0, mask = 0;
    const int tries = default_route_waited ? 0 : kRouteMaxTries;
    default_route_waited = true;
    *routed = get_hw_address_from(kRouteTablePath, tries, kRouteRetryMicros, &hw, &ip, &mask) != 0;
    if (!*routed) return 0;
    log_debug(DBG_STATISTICS, "get_hw_address: ip: 0x%x mask: 0x%x --> 0x%lx\n", ip, mask,
              static_cast<unsigned long>(hw & 0xFFFFFFFFU));
    return hw;
}

// The hardware address of `iface`; 0 when it has none or cannot be asked.
uint64_t interface_hw(const char* iface) {
    uint64_t hw = 0;
    uint32_t ip = 0, mask = 0;
    return get_interface_addresses(iface, &hw, &ip, &mask) ? hw : 0;
}

// When the default route gives no hardware address: the interface of the
// route to the proxy, then the first interface that is up with one; one
// warning saying which was used, or that the id will be random (0).
uint64_t fallback_hw(bool routed, uint32_t peer) {
    const char* why =
        routed ? "the default-route interface has no hardware address" : "no usable default route";
    char iface[kIfaceNameBytes];
    if (peer != 0 && find_route_interface(kRouteTablePath, peer, iface)) {
        uint64_t hw = interface_hw(iface);
        if (hw != 0) {
            uint8_t a[4];
            memcpy(a, &peer, sizeof a);  // network order: the first byte first
            log_warning(
                "station id: %s; using the hardware address of %s, the interface of the route "
                "to the proxy %u.%u.%u.%u",
                why, iface, a[0], a[1], a[2], a[3]);
            return hw;
        }
    }
    if (find_up_interface(kDeviceListPath, iface)) {
        uint64_t hw = interface_hw(iface);
        if (hw != 0) {
            log_warning(
                "station id: %s; using the hardware address of %s, the first interface that is "
                "up",
                why, iface);
            return hw;
        }
    }
    log_warning("station id: %s and no interface with a hardware address; using a random id", why);
    return 0;
}

}  // namespace

// Site data: the stations this installation knows. The first entries are
// EXAMPLES of the form only, not real stations; replace them with the site's
// own list.
constinit const NickEntry nick_list[kNickListSize] = {
    {uniq_make(0x00445655, uniq_type_make(0, UNIQ_KIND_USB, UNIQ_STRATEGY_MAC, 0)), "ex1", -1.0,
     -1.0, -1.0, 0},  // example
    {uniq_make(0x00445655, uniq_type_make(1, UNIQ_KIND_USB, UNIQ_STRATEGY_MAC, 0)), "ex1", -1.0,
     -1.0, -1.0, 0},  // example: the same id seen as remote
    {uniq_make(0x23E2000B, uniq_type_make(0, UNIQ_KIND_USB, UNIQ_STRATEGY_SNO, 0)), "ex2", 48.0,
     11.0, 520.0, 0},  // example
    {uniq_make(0x00000001, uniq_type_make(1, 2, UNIQ_STRATEGY_SNO, 0)), "ex3", -1.0, -1.0, -1.0,
     0},  // example
    // the all-zero id ends the table
};

constinit int32_t nick_count = 0;

uint32_t uniq_id_from_serial(uint32_t usb_vendor, uint32_t usb_product, uint32_t serial) {
    return (usb_vendor ^ usb_product) << 16 | (serial & 0xFFFFU);
}

uint32_t uniq_id_from_hw(uint64_t hw) {
    uint32_t high = static_cast<uint32_t>(hw >> 24) << 8;  // bytes 0..2 in the top three bytes
    uint32_t low = static_cast<uint32_t>(hw & 0xFFFFFFU);  // bytes 3..5, added with carries
    return high + low;                                     // wraps mod 2^32
}

UniqId* calc_uniq(UniqId* out, uint32_t usb_vendor, uint32_t usb_product, uint32_t serial,
                  int no_output, TimeStamp now, uint32_t peer) {
    char when[80];
    char text[64];
    time_text(when, sizeof(when), now);

    if (!no_output) {
        if (usb_vendor != 0 && usb_product != 0 && serial > 10) {
            VX_ASSERT(kModule, usb_vendor <= 0xFFFE && usb_product <= 0xFFFE);
            VX_ASSERT(kModule, serial != 0xFFFFFFFFU);
            VX_ASSERT(kModule, (usb_vendor == 0x0BDA && usb_product == 0x2832) ||
                                   (usb_vendor == 0x0BDA && usb_product == 0x2838) ||
                                   (usb_vendor == 0x0CCD && usb_product == 0x00D3));
            UniqId u =
                make_own(uniq_id_from_serial(usb_vendor, usb_product, serial), UNIQ_STRATEGY_SNO);
            log_debug(DBG_STATISTICS, "%s: Successfully generated uniqid by serial-number: {%s}\n",
                      when, uniq2str(&u, text, sizeof(text)));
            *out = u;
            return out;
        }
        bool routed = false;
        uint64_t hw = default_route_hw(&routed);
        if (hw == 0) hw = fallback_hw(routed, peer);
        if (hw != 0) {
            UniqId u = make_own(uniq_id_from_hw(hw), UNIQ_STRATEGY_MAC);
            log_debug(DBG_STATISTICS, "%s: Successfully generated uniqid by hwaddr: {%s}\n", when,
                      uniq2str(&u, text, sizeof(text)));
            *out = u;
            return out;
        }
    }
    UniqId u = make_own(static_cast<uint32_t>(random()), UNIQ_STRATEGY_RND);
    log_debug(DBG_STATISTICS,
              "%s: Dynamic strategies failed! Use random and untrusted uniqid: {%s}\n", when,
              uniq2str(&u, text, sizeof(text)));
    *out = u;
    return out;
}

int32_t init_nick_table(const NickEntry* table, int capacity) {
    for (int i = 0; i < capacity; i++) {
        if (uniq_is_zero(table[i].uniq)) {
            log_debug(DBG_STATISTICS, "init_nick: used nicks %d/%d\n", i, capacity);
            return i;
        }
    }
    log_fatal("Please resize nick_list array (size %d is too small)", capacity);
}

void init_nick() {
    nick_count = init_nick_table(nick_list, kNickListSize);
}
