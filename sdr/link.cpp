// The connection and the outgoing queue. The socket is non-blocking from
// its creation: connect() returns at once with the connect in progress,
// and every write takes what the socket's buffer has room for. Messages are
// written from the queue only, so a message is always written whole before
// the next one begins, even across many partial writes.
#include "sdr/link.h"

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

#include "include/level2.h"
#include "lib/routing.h"
#include "sdr/log.h"

namespace {

constexpr int kHostMax = 62;  // characters of the host part, at most

enum Phase : int32_t { kClosed, kConnecting, kOpen };

struct LinkState {
    int32_t phase;          ///< kClosed: no connection of the link's own (standard output
                            ///< without -o, or between connections)
    bool wait;              ///< file input: full queue and connect wait
    bool owns_fd;           ///< out_fd was opened here
    int64_t progress_ms;    ///< last time the output took bytes or had none to take
    int64_t wait_us_max;    ///< longest link work of one block since the last report
    int64_t wait_us_run;    ///< longest since start
};

constinit ClientConn client{};
constinit LinkState state{};
constinit SendQueue queue{};
constinit bool local_file_opened = false;  // the first open of the run truncates

bool set_int_option(int fd, int level, int name, int value) {
    return setsockopt(fd, level, name, &value, sizeof(value)) == 0;
}

void release_addresses() {
    if (client.addr_list != nullptr) freeaddrinfo(client.addr_list);
    client.addr_list = nullptr;
    client.current = nullptr;
    client.next = nullptr;
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
    release_addresses();
    int keepalive = 0;
    socklen_t size = sizeof(keepalive);
    if (getsockopt(client.fd, SOL_SOCKET, SO_KEEPALIVE, &keepalive, &size) < 0)
        log_fatal("init_client: getsockopt (%d, SO_KEEPALIVE) failed %s (%d)\n", client.fd,
                  strerror(errno), errno);
    if (keepalive == 0)
        log_fatal("init_client: getsockopt (%d, SO_KEEPALIVE) is OFF !\n", client.fd);
    return 1;
}

/// Starts a connect to the next address: 1 connected at once, 0 in
/// progress, -1 when every address has failed.
int try_next(int64_t now_ms) {
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
    release_addresses();
    return -1;
}

/// Writes what the output takes and watches for a stalled peer. -1 when
/// the output failed.
int flush(Context* ctx, int64_t now_ms) {
    uint32_t written = 0;
    if (sendq_flush(&queue, ctx->out_fd, &written) < 0) {
        const int err = errno;
        const int op = sendq_head_op(&queue);
        const char* what = op == L2_OP_HELLO      ? "hello"
                           : op == L2_OP_SYNC_RSP ? "sync-rsp"
                                                  : "frame";
        log_warning("socket failed in write %s (%s, %d)", what, strerror(err), err);
        ctx->out_broken = 1;
        return -1;
    }
    if (written > 0 || sendq_pending(&queue) == 0) {
        state.progress_ms = now_ms;
    } else if (now_ms - state.progress_ms >= kStallLimitMs) {
        log_warning("level-2 to %s took no bytes for %d s, %u messages waiting",
                    ctx->out_url != nullptr ? ctx->out_url : "standard output",
                    kStallLimitMs / 1000, queue.count);
        ctx->out_broken = 1;
        return -1;
    }
    return 0;
}

void opened(Context* ctx, int64_t now_ms) {
    ctx->out_fd = client.fd;
    state.phase = kOpen;
    state.progress_ms = now_ms;
    // A cut with nothing in front of it has nothing left to separate.
    if (sendq_at_cut(&queue)) sendq_clear_cut(&queue);
    sendq_new_connection(&queue);
}

}  // namespace

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
    return try_next(now_ms) < 0 ? nullptr : &client;
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
    return try_next(now_ms);
}

ClientConn* init_client(const char* url) {
    ClientConn* c = client_start(url, monotonic_ms());
    while (c != nullptr && c->connecting) {
        int64_t now = monotonic_ms();
        if (client_progress(c, now, static_cast<int>(c->deadline_ms - now)) < 0) return nullptr;
    }
    return c;
}

int link_open(Context* ctx, bool wait, int64_t now_ms) {
    state.phase = kClosed;
    state.wait = wait;
    ClientConn* c = wait ? init_client(ctx->out_url) : client_start(ctx->out_url, now_ms);
    if (c == nullptr) {
        ctx->out_fd = -1;
        return -1;
    }
    state.owns_fd = true;
    ctx->out_remote = c->remote_peer;
    if (c->connecting) {
        ctx->out_fd = -1;
        state.phase = kConnecting;
        return 0;
    }
    opened(ctx, wait ? monotonic_ms() : now_ms);
    return 1;
}

int link_service(Context* ctx, int64_t now_ms) {
    if (state.phase == kConnecting) {
        const int r = client_progress(&client, now_ms, 0);
        if (r == 0) return LINK_OK;
        if (r < 0) {
            state.phase = kClosed;
            return LINK_NO_CONNECTION;
        }
        opened(ctx, now_ms);
        return LINK_CONNECTED;
    }
    if (ctx->out_fd < 0) return LINK_OK;  // between connections: messages wait
    if (ctx->out_broken || flush(ctx, now_ms) < 0) return LINK_BROKEN;
    if (!sendq_at_cut(&queue)) return LINK_OK;
    sendq_clear_cut(&queue);
    if (state.phase != kOpen || !client.remote_peer) return LINK_OK;
    // Everything in front of the cut is out: a new connection for the rest.
    link_close(ctx, false);
    const int r = link_open(ctx, state.wait, now_ms);
    if (r < 0) return LINK_NO_CONNECTION;
    return r > 0 ? LINK_CONNECTED : LINK_OK;
}

bool link_busy(const Context* ctx) {
    return state.phase == kConnecting || (ctx->out_fd >= 0 && sendq_pending(&queue) > 0);
}

void link_wait(const Context* ctx, int ms) {
    const int fd = state.phase == kConnecting ? client.fd : ctx->out_fd;
    if (fd < 0) return;
    pollfd p = {fd, POLLOUT, 0};
    (void)poll(&p, 1, ms);
}

void link_close(Context* ctx, bool failed) {
    const int fd = state.phase == kConnecting ? client.fd : ctx->out_fd;
    if (state.owns_fd && fd >= 0) {
        if (failed && client.remote_peer) {
            // Reset: what the kernel still holds for a failed peer is lost
            // anyway, and the socket goes at once instead of lingering.
            struct linger reset = {1, 0};
            setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
        }
        close(fd);
    }
    if (state.owns_fd) ctx->out_fd = -1;
    release_addresses();
    client.fd = -1;
    client.connecting = 0;
    state.owns_fd = false;
    state.phase = kClosed;
}

int link_send(Context* ctx, const uint8_t* message) {
    const uint32_t len = static_cast<uint32_t>(kL2HeaderBytes) + message[19];
    // A file input waits for room rather than drop: its samples do not run away.
    while (state.wait && state.phase == kOpen && !ctx->out_broken &&
           kSendQueueBytes - queue.used < len) {
        if (flush(ctx, monotonic_ms()) < 0) break;
        if (kSendQueueBytes - queue.used < len) link_wait(ctx, 1000);
    }
    return sendq_push(&queue, message);
}

int link_send_first(Context*, const uint8_t* message) {
    return sendq_push_front(&queue, message);
}

void link_cut() {
    sendq_set_cut(&queue);
}

uint32_t link_peer_address(const Context* ctx) {
    const addrinfo* ai = client.current;
    if (client.connecting && ai != nullptr && ai->ai_family == AF_INET)
        return reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr.s_addr;
    return ctx->out_fd >= 0 && client.remote_peer ? peer_ipv4_address(ctx->out_fd) : 0;
}

void link_note_wait(int64_t us) {
    if (us > state.wait_us_max) state.wait_us_max = us;
    if (us > state.wait_us_run) state.wait_us_run = us;
}

void link_report(const Context* ctx) {
    if (ctx->out_url == nullptr) return;
    if (queue.dropped_frames > 0 || queue.dropped_other > 0) {
        log_warning("level-2 to %s: queue full, %u frames and %u answers dropped since the last "
                    "report",
                    ctx->out_url, queue.dropped_frames, queue.dropped_other);
    }
    static constexpr const char* kPhaseNames[] = {"closed", "connecting", "open"};
    log_debug(DBG_STATISTICS,
              "link: %s, %u messages waiting (%u bytes), %u frames dropped, longest wait "
              "%lld.%03lld ms (%lld.%03lld ms since start)\n",
              kPhaseNames[state.phase], queue.count, queue.used, queue.dropped_frames,
              static_cast<long long>(state.wait_us_max / 1000),
              static_cast<long long>(state.wait_us_max % 1000),
              static_cast<long long>(state.wait_us_run / 1000),
              static_cast<long long>(state.wait_us_run % 1000));
    queue.dropped_frames = 0;
    queue.dropped_other = 0;
    state.wait_us_max = 0;
}

SendQueue* link_queue() {
    return &queue;
}

void link_reset() {
    release_addresses();
    memset(&client, 0, sizeof(client));
    client.fd = -1;
    state = LinkState{};
    sendq_clear(&queue);
    local_file_opened = false;
}
