#include "lib/routing.h"

#include <errno.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "sdr/log.h"

namespace {

constexpr char kModule[] = "lib/routing";

int open_route_table(const char* path) {
    int fd = open(path, O_RDONLY);
    if (fd < 0) log_fatal("Cannot open %s for reading (%s, %d", path, strerror(errno), errno);
    return fd;
}

[[noreturn]] void cannot_read(const char* path, int lines, int fields, const char* line) {
    int err = errno;
    log_fatal("Cannot read %s (i==%d, n=%d, buf=%s, %s, %d).", path, lines, fields, line,
              strerror(err), err);
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
    return get_hw_address_from(kRouteTablePath, kRouteRetryMicros, hw, ip, mask);
}

int get_hw_address_from(const char* route_path, unsigned retry_us, uint64_t* hw, uint32_t* ip,
                        uint32_t* mask) {
    *hw = 0;
    *ip = 0;

    char line[kRouteLineChars + 1];
    char iface[kRouteLineChars + 1];  // the field is bounded by the line itself
    unsigned destination = 0, gateway = 0, route_mask = 0;
    int flags = 0, refcnt = 0, use = 0, metric = 0, mtu = 0, window = 0, irtt = 0;

    int fd = open_route_table(route_path);
    int lines = 0;
    int tries = 0;
    for (;;) {
        int got = read_line(fd, line, kRouteLineChars);
        if (got < 0) {
            int err = errno;
            log_warning("read %s failed with %s (%d)", route_path, strerror(err), err);
            errno = err;
            cannot_read(route_path, lines, got, line);
        }
        if (got == 0) {
            // End of the table without a default route: wait for one to appear.
            tries++;
            if (tries > kRouteMaxTries) cannot_read(route_path, lines, 0, "");
            log_warning("premature end in %s -- no default route found (try==%d, lines=%d)",
                        route_path, tries, lines);
            usleep(retry_us);
            close(fd);
            fd = open_route_table(route_path);
            lines = 0;
            continue;
        }
        lines++;
        iface[0] = '\0';
        int fields =
            sscanf(line, "%256s %x %x %d %d %d %d %x %d %d %d", iface, &destination, &gateway,
                   &flags, &refcnt, &use, &metric, &route_mask, &mtu, &window, &irtt);
        bool header = fields < 11 && strcmp(iface, "Iface") == 0;
        // A line that does not parse as far as its Destination is no default route.
        if (!header && fields >= 2 && destination == 0) break;
        if (lines == kRouteMaxLines) cannot_read(route_path, lines, fields, line);
    }

    log_debug(DBG_STATISTICS, "Found (1st) default route into dev %s via 0x%x\n", iface, gateway);
    close(fd);

    int sock = socket(AF_INET, SOCK_DGRAM, 0);
    if (sock < 0) log_fatal("cannot open sock: %s (%d)", strerror(errno), errno);

    struct ifreq request;
    memset(&request, 0, sizeof(request));
    // The request names the interface in at most 15 characters.
    static_assert(IFNAMSIZ == 16);
    size_t name_len = strnlen(iface, IFNAMSIZ - 1);
    memcpy(request.ifr_name, iface, name_len);
    request.ifr_name[name_len] = '\0';

    if (ioctl(sock, SIOCGIFADDR, &request) < 0)
        log_fatal("ioctl(SIOCGIFADDR): %s (%d)", strerror(errno), errno);
    {
        struct sockaddr_in sin;
        memcpy(&sin, &request.ifr_addr, sizeof(sin));
        *ip = sin.sin_addr.s_addr;  // network byte order as it lies in memory
    }
    if (ioctl(sock, SIOCGIFNETMASK, &request) < 0)
        log_fatal("ioctl(SIOCGIFNETMASK): %s (%d)", strerror(errno), errno);
    {
        struct sockaddr_in sin;
        memcpy(&sin, &request.ifr_netmask, sizeof(sin));
        *mask = sin.sin_addr.s_addr;
    }
    if (ioctl(sock, SIOCGIFHWADDR, &request) < 0)
        log_fatal("ioctl(SIOCGIFHWADDR): %s (%d)", strerror(errno), errno);
    uint64_t h = 0;
    for (int i = 0; i < 6; i++) {
        h = h << 8 | static_cast<uint8_t>(request.ifr_hwaddr.sa_data[i]);  // first byte highest
    }
    *hw = h;
    close(sock);
    return 1;
}
