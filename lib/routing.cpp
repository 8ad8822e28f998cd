#include "lib/routing.h"

#include <errno.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <bit>
#include <cstdio>
#include <cstring>

#include "sdr/log.h"

namespace {

constexpr char kModule[] = "lib/routing";
constexpr unsigned kRouteUp = 0x0001;      // RTF_UP
constexpr unsigned kRouteReject = 0x0200;  // RTF_REJECT
static_assert(IFNAMSIZ == kIfaceNameBytes);

int open_table(const char* path) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        int err = errno;
        log_warning("Cannot open %s for reading (%s, %d", path, strerror(err), err);
    }
    return fd;
}

void cannot_read(const char* path, int lines, int fields, const char* line) {
    int err = errno;
    log_warning("Cannot read %s (i==%d, n=%d, buf=%s, %s, %d).", path, lines, fields, line,
                strerror(err), err);
}

// One line of the routing table: "%s %x %x %d %d %d %d %x %d %d %d" gives
// Iface, Destination, Gateway, Flags, RefCnt, Use, Metric, Mask, MTU,
// Window and IRTT.
struct RouteEntry {
    char iface[kRouteLineChars + 1];  // the field is bounded by the line itself
    unsigned destination, gateway, flags, mask;
    int metric;
    int fields;   // fields parsed; -1 for an empty line
    bool header;  // the "Iface ..." line
};

void parse_route(const char* line, RouteEntry* r) {
    *r = RouteEntry{};
    int refcnt = 0, use = 0, mtu = 0, window = 0, irtt = 0;
    r->fields =
        sscanf(line, "%256s %x %x %x %d %d %d %x %d %d %d", r->iface, &r->destination, &r->gateway,
               &r->flags, &refcnt, &use, &r->metric, &r->mask, &mtu, &window, &irtt);
    r->header = r->fields < 11 && strcmp(r->iface, "Iface") == 0;
}

// A request naming `iface`, cut to 15 characters.
struct ifreq named_request(const char* iface) {
    struct ifreq request;
    memset(&request, 0, sizeof(request));
    size_t name_len = strnlen(iface, IFNAMSIZ - 1);
    memcpy(request.ifr_name, iface, name_len);
    request.ifr_name[name_len] = '\0';
    return request;
}

uint64_t hardware_address(const struct ifreq& request) {
    uint64_t h = 0;
    for (int i = 0; i < 6; i++) {
        h = h << 8 | static_cast<uint8_t>(request.ifr_hwaddr.sa_data[i]);  // first byte highest
    }
    return h;
}

uint32_t ipv4_of(const struct sockaddr& a) {
    struct sockaddr_in sin;
    memcpy(&sin, &a, sizeof(sin));
    return sin.sin_addr.s_addr;  // network byte order as it lies in memory
}

// Asks `iface` for its IPv4 address, netmask and hardware address, in this
// order, each stored before the next request. `need_ip`: a missing IPv4
// address or netmask is a failure (the default route's interface has one);
// otherwise they are 0 then and only the hardware address must be read.
int ask_interface(int sock, const char* iface, bool need_ip, uint64_t* hw, uint32_t* ip,
                  uint32_t* mask) {
    struct ifreq request = named_request(iface);
    if (ioctl(sock, SIOCGIFADDR, &request) < 0) {
        if (need_ip) {
            log_warning("ioctl(SIOCGIFADDR): %s (%d)", strerror(errno), errno);
            return 0;
        }
        *ip = 0;
        *mask = 0;
    } else {
        *ip = ipv4_of(request.ifr_addr);
        if (ioctl(sock, SIOCGIFNETMASK, &request) < 0) {
            if (need_ip) {
                log_warning("ioctl(SIOCGIFNETMASK): %s (%d)", strerror(errno), errno);
                return 0;
            }
            *mask = 0;
        } else {
            *mask = ipv4_of(request.ifr_netmask);
        }
    }
    if (ioctl(sock, SIOCGIFHWADDR, &request) < 0) {
        log_warning("ioctl(SIOCGIFHWADDR): %s (%d)", strerror(errno), errno);
        return 0;
    }
    *hw = hardware_address(request);
    return 1;
}

int open_socket() {
    int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0) log_warning("cannot open sock: %s (%d)", strerror(errno), errno);
    return sock;
}

int read_interface(const char* iface, bool need_ip, uint64_t* hw, uint32_t* ip, uint32_t* mask) {
    int sock = open_socket();
    if (sock < 0) return 0;
    int ok = ask_interface(sock, iface, need_ip, hw, ip, mask);
    close(sock);
    return ok;
}

void copy_name(char* out, const char* name, size_t len) {
    if (len > kIfaceNameBytes - 1) len = kIfaceNameBytes - 1;
    memcpy(out, name, len);
    out[len] = '\0';
}

}  // namespace

int read_line(int fd, char* buffer, int size) {
    VX_ASSERT(kModule, size != 0);
    if (size < 0) {
        buffer[0] = '\0';
        return 0;
    }
    int n = 0;
    while (n < size) {
        char c;
        ssize_t r = read(fd, &c, 1);
        if (r < 0) {
            buffer[n] = '\0';
            return static_cast<int>(r);
        }
        if (r == 0 || c == '\n') break;
        buffer[n++] = c;
    }
    buffer[n] = '\0';
    return n;
}

int get_hw_address(uint64_t* hw, uint32_t* ip, uint32_t* mask) {
    return get_hw_address_from(kRouteTablePath, kRouteMaxTries, kRouteRetryMicros, hw, ip, mask);
}

int get_hw_address_from(const char* route_path, int tries, unsigned retry_us, uint64_t* hw,
                        uint32_t* ip, uint32_t* mask) {
    *hw = 0;
    *ip = 0;

    char line[kRouteLineChars + 1];
    RouteEntry route;
    int fd = open_table(route_path);
    if (fd < 0) return 0;
    int lines = 0;
    int passes = 0;
    errno = 0;  // the end of the table is no system error: its report shows 0
    for (;;) {
        int got = read_line(fd, line, kRouteLineChars);
        if (got < 0) {
            int err = errno;
            log_warning("read %s failed with %s (%d)", route_path, strerror(err), err);
            errno = err;
            cannot_read(route_path, lines, got, line);
            close(fd);
            return 0;
        }
        if (got == 0) {
            // End of the table without a default route: wait for one to appear.
            passes++;
            if (passes > tries) {
                cannot_read(route_path, lines, 0, "");
                close(fd);
                return 0;
            }
            log_warning("premature end in %s -- no default route found (try==%d, lines=%d)",
                        route_path, passes, lines);
            usleep(retry_us);
            close(fd);
            fd = open_table(route_path);
            if (fd < 0) return 0;
            lines = 0;
            errno = 0;
            continue;
        }
        lines++;
        parse_route(line, &route);
        // A line that does not parse as far as its Destination is no default route.
        if (!route.header && route.fields >= 2 && route.destination == 0) break;
        if (lines == kRouteMaxLines) {
            cannot_read(route_path, lines, route.fields, line);
            close(fd);
            return 0;
        }
    }

    log_debug(DBG_STATISTICS, "Found (1st) default route into dev %s via 0x%x\n", route.iface,
              route.gateway);
    close(fd);
    return read_interface(route.iface, true, hw, ip, mask);
}

int find_route_interface(const char* route_path, uint32_t dest, char* iface) {
    int fd = open_table(route_path);
    if (fd < 0) return 0;
    char line[kRouteLineChars + 1];
    RouteEntry route;
    int best_bits = -1;
    int best_metric = 0;
    while (read_line(fd, line, kRouteLineChars) > 0) {
        parse_route(line, &route);
        if (route.header || route.fields < 8) continue;
        if ((route.flags & kRouteUp) == 0 || (route.flags & kRouteReject) != 0) continue;
        if ((dest & route.mask) != route.destination) continue;
        const int bits = std::popcount(route.mask);
        if (bits > best_bits || (bits == best_bits && route.metric < best_metric)) {
            best_bits = bits;
            best_metric = route.metric;
            copy_name(iface, route.iface, strlen(route.iface));
        }
    }
    close(fd);
    return best_bits >= 0 ? 1 : 0;
}

int find_up_interface(const char* dev_path, char* iface) {
    int fd = open_table(dev_path);
    if (fd < 0) return 0;
    int sock = open_socket();
    if (sock < 0) {
        close(fd);
        return 0;
    }
    char line[kRouteLineChars + 1];
    int found = 0;
    // "  name: counters..." after two header lines without a colon.
    while (!found && read_line(fd, line, kRouteLineChars) > 0) {
        const char* colon = strchr(line, ':');
        if (colon == nullptr) continue;
        const char* name = line;
        while (name < colon && *name == ' ') name++;
        const size_t len = static_cast<size_t>(colon - name);
        if (len == 0 || len >= kIfaceNameBytes) continue;
        char candidate[kIfaceNameBytes];
        copy_name(candidate, name, len);
        struct ifreq request = named_request(candidate);
        if (ioctl(sock, SIOCGIFFLAGS, &request) < 0) continue;
        if ((request.ifr_flags & IFF_UP) == 0 || (request.ifr_flags & IFF_LOOPBACK) != 0) continue;
        if (ioctl(sock, SIOCGIFHWADDR, &request) < 0 || hardware_address(request) == 0) continue;
        copy_name(iface, candidate, len);
        found = 1;
    }
    close(sock);
    close(fd);
    return found;
}

int get_interface_addresses(const char* iface, uint64_t* hw, uint32_t* ip, uint32_t* mask) {
    *hw = 0;
    return read_interface(iface, false, hw, ip, mask);
}

uint32_t peer_ipv4_address(int fd) {
    struct sockaddr_in peer;
    socklen_t len = sizeof(peer);
    memset(&peer, 0, sizeof(peer));
    if (getpeername(fd, reinterpret_cast<struct sockaddr*>(&peer), &len) < 0) return 0;
    if (peer.sin_family != AF_INET) return 0;
    return peer.sin_addr.s_addr;
}
