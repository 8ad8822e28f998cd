// The interface lookups behind the station id: which interface carries the
// default IPv4 route (or the route to a given address, or is simply up), and
// its IPv4 address, netmask and hardware address. Failures are reported as
// warnings and returned; the caller decides what to fall back to.
#pragma once

#include <cstdint>

inline constexpr char kRouteTablePath[] = "/proc/net/route";
inline constexpr char kDeviceListPath[] = "/proc/net/dev";
inline constexpr unsigned kRouteRetryMicros = 500000;  ///< pause between passes
inline constexpr int kRouteLineChars = 256;            ///< line buffer, plus NUL
inline constexpr int kRouteMaxLines = 100;             ///< lines per pass, at most
inline constexpr int kRouteMaxTries = 20;              ///< passes without a default route
inline constexpr int kIfaceNameBytes = 16;             ///< an interface name: 15 characters and NUL

/// Reads one line from `fd` into `buffer` (room for `size` characters and a
/// NUL); the newline is not stored, the rest of an overlong line comes with
/// the next call. Returns the characters stored (0 for an empty line and at
/// end of file), or the negative result of a failed read. `size` 0 is fatal.
int read_line(int fd, char* buffer, int size);

/// Finds the default-route interface in the routing table and reads its
/// addresses: `hw` the hardware address as a 48-bit big-endian number, `ip`
/// and `mask` the IPv4 address and netmask bytes as they lie in memory.
/// Waits up to kRouteMaxTries passes for a default route to appear. Returns
/// 1, or 0 when there is none or the table or the interface cannot be read
/// (each reported as a warning).
int get_hw_address(uint64_t* hw, uint32_t* ip, uint32_t* mask);

/// get_hw_address on the routing table at `route_path`, waiting `retry_us`
/// after each of up to `tries` passes that find no default route (0: one
/// pass, no waiting).
int get_hw_address_from(const char* route_path, int tries, unsigned retry_us, uint64_t* hw,
                        uint32_t* ip, uint32_t* mask);

/// The interface of the most specific route in the table at `route_path`
/// that covers `dest` (an IPv4 address as it lies in memory): the longest
/// mask, then the lowest metric, then the first line. Writes its name to
/// `iface` (kIfaceNameBytes) and returns 1; 0 when no route covers `dest`
/// or the table cannot be read.
int find_route_interface(const char* route_path, uint32_t dest, char* iface);

/// The first interface listed in `dev_path` (the format of /proc/net/dev)
/// that is up, is not a loopback and has a hardware address. Writes its
/// name to `iface` (kIfaceNameBytes) and returns 1; 0 when there is none.
int find_up_interface(const char* dev_path, char* iface);

/// The addresses of interface `iface`: `hw` as get_hw_address gives it,
/// `ip` and `mask` 0 when the interface has no IPv4 address. Returns 1, or
/// 0 when the interface cannot be asked (reported as a warning).
int get_interface_addresses(const char* iface, uint64_t* hw, uint32_t* ip, uint32_t* mask);

/// The IPv4 address of the peer of the connected socket `fd`, as it lies in
/// memory; 0 when `fd` is not a connected IPv4 socket.
uint32_t peer_ipv4_address(int fd);
