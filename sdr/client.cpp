// The connection to the proxy: the socket is non-blocking from its
// creation, connect() returns at once with the connect in progress, and
// the addresses are tried in the resolver's order, each within its own
// deadline.
#include "sdr/client.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "sdr/log.h"

namespace {

constexpr int kHostMax = 62;  // characters of the host part, at most

constinit ClientConn client{};
constinit bool cached = false;             // client.addr_list holds this attempt's addresses
constinit bool local_file_opened = false;  // the first open of the run truncates

bool set_int_option(int fd, int level, int name, int value) {
    return setsockopt(fd, level, name, &value, sizeof(value)) == 0;
}

void release_addresses() {
    if (client.addr_list != nullptr) freeaddrinfo(client.addr_list);
    client.addr_list = nullptr;
    client.current = nullptr;
    client.next = nullptr;
    cached = false;
}

/// Done with the addresses of this connection: a list the attempt reuses
/// for its reconnections stays.
void done_with_addresses() {
    if (!cached) release_addresses();
}

ClientConn* open_local_file(const char* path) {
    client.remote_peer = 0;
    int flags = O_RDWR | O_CREAT | (local_file_opened ? O_APPEND : O_TRUNC);
    int fd = open(path, flags, 0644);
    if (fd < 0) log_fatal("Cannot open local file %s", path);
    local_file_opened = true;
    client.fd = fd;
    return &client;
}

/// The socket options of the connection, each fatal when refused.
void set_socket_options(int fd) {
    if (!set_int_option(fd, SOL_SOCKET, SO_KEEPALIVE, 1))
        log_fatal("Cannot enable keepalive i/o on fd %d (%s)", fd, strerror(errno));
    struct timeval receive_timeout = {kReceiveTimeoutSeconds, 0};
    if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &receive_timeout, sizeof(receive_timeout)) < 0)
        log_fatal("Cannot enable receive timeout on fd %d (%s)", fd, strerror(errno));
    if (!set_int_option(fd, IPPROTO_TCP, TCP_KEEPIDLE, 30))  // seconds of silence
        log_fatal("Cannot set time to first keepalive on fd %d (%s)", fd, strerror(errno));
    if (!set_int_option(fd, IPPROTO_TCP, TCP_KEEPINTVL, 30))  // seconds between probes
        log_fatal("Cannot set keepalive interval on fd %d (%s)", fd, strerror(errno));
    if (!set_int_option(fd, IPPROTO_TCP, TCP_KEEPCNT, 4))
        log_fatal("Cannot set number of keepalives before disconnect on fd %d (%s)", fd,
                  strerror(errno));
    if (!set_int_option(fd, IPPROTO_TCP, TCP_NODELAY, 1))
        log_fatal("Cannot set NODELY on fd %d (%s)", fd, strerror(errno));
#ifdef TCP_USER_TIMEOUT
    // Data unacknowledged for 30 s gives the connection up, as the keep-alive
    // does for a silent one; a preference where the system has it.
    (void)set_int_option(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, kUserTimeoutMs);
#endif
    // A smaller buffer is only a preference: the default works too.
    (void)set_int_option(fd, SOL_SOCKET, SO_SNDBUF, kSendBufferBytes);
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0)
        log_fatal("Cannot make fd %d non-blocking (%s)", fd, strerror(errno));
}

/// The address bytes the connect warnings print: offsets 5, 4, 3 and 2 of
/// the socket address (for IPv4 the second and first address bytes, then
/// the low and the high byte of the port).
void warn_connect(const char* what, int fd, int err) {
    const addrinfo* ai = client.current;
    const uint8_t* sa = reinterpret_cast<const uint8_t*>(ai->ai_addr);
    if (err == ETIMEDOUT) {
        log_warning("Connect timed out on fd %d 0x%02x%02x%02x%02x after %d s", fd, sa[5], sa[4],
                    sa[3], sa[2], kConnectTimeoutMs / 1000);
    } else {
        log_warning("Connect %s on fd %d 0x%02x%02x%02x%02x (%d, %s)", what, fd, sa[5], sa[4],
                    sa[3], sa[2], static_cast<int>(ai->ai_addrlen), strerror(err));
    }
}

void drop_connecting(int err) {
    warn_connect("failed", client.fd, err);
    close(client.fd);
    client.fd = -1;
    client.connecting = 0;
}

int connected() {
    client.connecting = 0;
    done_with_addresses();
    int keepalive = 0;
    socklen_t size = sizeof(keepalive);
    if (getsockopt(client.fd, SOL_SOCKET, SO_KEEPALIVE, &keepalive, &size) < 0)
        log_fatal("init_client: getsockopt (%d, SO_KEEPALIVE) failed %s (%d)\n", client.fd,
                  strerror(errno), errno);
    if (keepalive == 0)
        log_fatal("init_client: getsockopt (%d, SO_KEEPALIVE) is OFF !\n", client.fd);
    return 1;
}

}  // namespace

int client_try_next(int64_t now_ms) {
    while (client.next != nullptr) {
        const addrinfo* ai = client.next;
        client.next = ai->ai_next;
        client.current = ai;
        client.fd = socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
        if (client.fd < 0) continue;
        set_socket_options(client.fd);
        if (connect(client.fd, ai->ai_addr, ai->ai_addrlen) == 0) return connected();
        if (errno == EINPROGRESS) {
            client.connecting = 1;
            client.deadline_ms = now_ms + kConnectTimeoutMs;
            return 0;
        }
        drop_connecting(errno);
    }
    log_warning("Connect failed on all instances of %s", client.url);
    done_with_addresses();
    return -1;
}

int64_t monotonic_us() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

int64_t monotonic_ms() {
    return monotonic_us() / 1000;
}

int resolve_peer(ClientConn* conn) {
    struct addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = 0;
    hints.ai_flags = 0;
    conn->addr_list = nullptr;
    return getaddrinfo(conn->host, conn->port, &hints, &conn->addr_list);
}

ClientConn* client_start(const char* url, int64_t now_ms) {
    release_addresses();
    memset(&client, 0, sizeof(client));
    client.fd = -1;
    client.remote_peer = 1;
    client.url = url;

    if (url == nullptr) {
        log_info("Set client file descriptor = 1");
        client.fd = 1;
        client.remote_peer = 0;
        return &client;
    }
    const char* colon = strchr(url, ':');
    if (colon == nullptr) return open_local_file(url);

    size_t host_len = static_cast<size_t>(colon - url);
    if (host_len > kHostMax) log_fatal("sorry, cannot process url %s (host part is too long)", url);
    memcpy(client.host, url, host_len);
    client.host[host_len] = '\0';
    strncpy(client.port, colon + 1, sizeof(client.port));
    client.port[sizeof(client.port) - 1] = '\0';  // at most 7 characters remain

    int rc = resolve_peer(&client);
    if (rc != 0) {
        log_warning("getaddrinfo (%s, %s, ...): %s", client.host, client.port, gai_strerror(rc));
        client.addr_list = nullptr;
    }
    client.next = client.addr_list;
    return client_try_next(now_ms) < 0 ? nullptr : &client;
}

int client_progress(ClientConn* conn, int64_t now_ms, int wait_ms) {
    if (!conn->connecting) return conn->fd >= 0 ? 1 : -1;
    int64_t left = conn->deadline_ms - now_ms;
    int timeout = static_cast<int>(left < wait_ms ? left : wait_ms);
    if (timeout < 0) timeout = 0;
    pollfd p = {conn->fd, POLLOUT, 0};
    int n = poll(&p, 1, timeout);
    if (timeout > 0) now_ms = monotonic_ms();
    if (n > 0) {
        int err = 0;
        socklen_t size = sizeof(err);
        if (getsockopt(conn->fd, SOL_SOCKET, SO_ERROR, &err, &size) < 0) err = errno;
        if (err == 0) return connected();
        drop_connecting(err);
    } else if (n < 0 && errno != EINTR) {
        drop_connecting(errno);
    } else if (now_ms < conn->deadline_ms) {
        return 0;
    } else {
        drop_connecting(ETIMEDOUT);
    }
    return client_try_next(now_ms);
}

ClientConn* init_client(const char* url) {
    ClientConn* c = client_start(url, monotonic_ms());
    while (c != nullptr && c->connecting) {
        int64_t now = monotonic_ms();
        if (client_progress(c, now, static_cast<int>(c->deadline_ms - now)) < 0) return nullptr;
    }
    return c;
}

ClientConn* client_conn() {
    return &client;
}

void client_release_addresses() {
    release_addresses();
}

void client_done_with_addresses() {
    done_with_addresses();
}

void client_keep_addresses(bool keep) {
    cached = keep;
}

bool client_addresses_kept() {
    return cached;
}

ClientConn* client_prepare_peer(const char* url) {
    addrinfo* keep = cached ? client.addr_list : nullptr;
    if (!cached) release_addresses();
    memset(&client, 0, sizeof(client));
    client.fd = -1;
    client.remote_peer = 1;
    client.url = url;
    client.addr_list = keep;
    const char* colon = strchr(url, ':');
    const size_t host_len = static_cast<size_t>(colon - url);
    if (host_len > kHostMax) log_fatal("sorry, cannot process url %s (host part is too long)", url);
    memcpy(client.host, url, host_len);
    client.host[host_len] = '\0';
    strncpy(client.port, colon + 1, sizeof(client.port));
    client.port[sizeof(client.port) - 1] = '\0';  // at most 7 characters remain
    return &client;
}

void client_reset() {
    release_addresses();
    memset(&client, 0, sizeof(client));
    client.fd = -1;
    local_file_opened = false;
}
