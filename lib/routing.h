// The default-route interface lookup: which interface carries the default
// IPv4 route, and its address, netmask and hardware address.
#pragma once

#include <cstdint>

inline constexpr char kRouteTablePath[] = "/proc/net/route";
inline constexpr unsigned kRouteRetryMicros = 500000;  ///< pause between passes
inline constexpr int kRouteLineChars = 256;            ///< line buffer, plus NUL
inline constexpr int kRouteMaxLines = 100;             ///< lines per pass, at most
inline constexpr int kRouteMaxTries = 20;              ///< passes without a default route

/// Reads one line from `fd` into `buffer` (room for `size` characters and a
/// NUL); the newline is not stored, the rest of an overlong line comes with
/// the next call. Returns the characters stored (0 for an empty line and at
/// end of file), or the negative result of a failed read. `size` 0 is fatal.
int read_line(int fd, char* buffer, int size);

/// Finds the default-route interface in the routing table and reads its
/// addresses: `hw` the hardware address as a 48-bit big-endian number, `ip`
/// and `mask` the IPv4 address and netmask bytes as they lie in memory.
/// Returns 1; every failure ends the process with a fatal message.
int get_hw_address(uint64_t* hw, uint32_t* ip, uint32_t* mask);

/// get_hw_address on the routing table at `route_path`, waiting `retry_us`
/// between passes that find no default route.
int get_hw_address_from(const char* route_path, unsigned retry_us, uint64_t* hw, uint32_t* ip,
                        uint32_t* mask);
