// Positions in a ring are byte counts since the output opened, modulo 2^32:
// `written` is where the next message goes, a client's `sent` the next byte
// it gets; written - sent (unsigned) is what it still has to take, never
// more than kNetRingBytes, because a message that would make it more marks
// the client to be closed instead. A client starts at `written`, which is
// always a message boundary, so it never sees a message in part.
//
// A client is closed only at the start of net_out_poll_fill or in
// net_out_poll_serve's first pass over the clients, and accepted only in
// its second pass over the listening sockets: a descriptor number closed
// and reused within one serve is never looked up by an entry of the old one.
#include "sdr/net_out.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cstring>

#include "sdr/beast_raw.h"
#include "sdr/log.h"

namespace {

constexpr uint32_t kMask = kNetRingBytes - 1;
static_assert((kNetRingBytes & kMask) == 0, "the ring size is a power of two");
static_assert(kNetMessageMax >= kBeastMaxBytes && kNetMessageMax >= kRawMaxBytes);
static_assert(kNetRingBytes >= 64 * kNetMessageMax);

constexpr int kPeerText = 56;  // "[" 45-character IPv6 text "]:65535" and the NUL
constexpr int kListenBacklog = 8;
constexpr int kAcceptsPerServe = 4;      // then the loop runs again before more
constexpr uint32_t kWriteMax = 65536;    // bytes one client is given per serve
constexpr int kReadScratch = 512;        // bytes a client sent, read and dropped per serve
constexpr int kSendBufferBytes = 32768;  // kernel buffer asked per client (it doubles it)
constexpr int kClientLines = 10;         // connect and close lines per minute and output
constexpr int kClientLineWindowMs = 60000;

/// A budget of lines: at most `burst` in each window; the rest are counted
/// and the next line printed says how many were held back.
struct Throttle {
    int64_t window_end_ms;  ///< end of the present window; 0 before the first line
    int32_t shown;          ///< lines printed in it
    uint32_t held;          ///< lines held back since the last one printed
};

struct NetClient {
    int32_t fd;            ///< -1: free slot
    uint32_t sent;         ///< ring position of the next byte to write to it
    uint32_t behind;       ///< non-zero: fell this far behind; closed at the next fill
    int64_t since_ms;      ///< monotonic ms when it was accepted
    int64_t taken_ms;      ///< last time its socket took bytes or it had none waiting
    int64_t flushed_ms;    ///< last time its pending bytes were written
    char peer[kPeerText];  ///< its address and port as text
};

struct NetOutput {
    int32_t listen_fd;      ///< -1 while closed
    int64_t rest_until_ms;  ///< the listening socket rests until then (accept failures)
    uint32_t written;       ///< ring position of the next byte published
    NetOutStats stats;
    Throttle refused_lines;
    Throttle accept_lines;
    Throttle client_lines;
    NetClient clients[kNetClientsMax];
    uint8_t ring[kNetRingBytes];
};

constinit NetOutput outputs[kNetOutKinds] = {};
// The memory of both outputs: their rings and a few hundred bytes per slot,
// the same whether one client is connected or sixteen.
static_assert(sizeof(NetClient) <= 128);
static_assert(sizeof(outputs) <= kNetOutKinds * (kNetRingBytes + 128 * kNetClientsMax + 256));
constinit bool outputs_ready = false;  // the free slots marked once

void make_ready() {
    if (outputs_ready) return;
    for (NetOutput& o : outputs) {
        o.listen_fd = -1;
        for (NetClient& c : o.clients) c.fd = -1;
    }
    outputs_ready = true;
}

/// True when a line may be printed; `*held` gets the lines held back before it.
bool throttle_pass(Throttle* t, int64_t now_ms, int32_t burst, int32_t window_ms, uint32_t* held) {
    if (t->window_end_ms == 0 || now_ms >= t->window_end_ms) {
        t->window_end_ms = now_ms + window_ms;
        t->shown = 0;
    }
    if (t->shown >= burst) {
        t->held++;
        return false;
    }
    t->shown++;
    *held = t->held;
    t->held = 0;
    return true;
}

/// " (N more held back)" for a line after held-back ones, else "".
const char* held_text(char* buf, int size, uint32_t held) {
    if (held == 0) return "";
    snprintf(buf, static_cast<size_t>(size), " (%u more held back)", held);
    return buf;
}

void peer_text(const sockaddr_storage& sa, char* out, int size) {
    char ip[INET6_ADDRSTRLEN] = "?";
    const size_t n = static_cast<size_t>(size);
    if (sa.ss_family == AF_INET) {
        const sockaddr_in* a = reinterpret_cast<const sockaddr_in*>(&sa);
        inet_ntop(AF_INET, &a->sin_addr, ip, sizeof ip);
        snprintf(out, n, "%s:%u", ip, ntohs(a->sin_port));
    } else if (sa.ss_family == AF_INET6) {
        const sockaddr_in6* a = reinterpret_cast<const sockaddr_in6*>(&sa);
        if (IN6_IS_ADDR_V4MAPPED(&a->sin6_addr)) {  // an IPv4 client of a dual-stack socket
            inet_ntop(AF_INET, a->sin6_addr.s6_addr + 12, ip, sizeof ip);
            snprintf(out, n, "%s:%u", ip, ntohs(a->sin6_port));
        } else {
            inet_ntop(AF_INET6, &a->sin6_addr, ip, sizeof ip);
            snprintf(out, n, "[%s]:%u", ip, ntohs(a->sin6_port));
        }
    } else {
        snprintf(out, n, "(address family %d)", sa.ss_family);
    }
}

bool set_int_option(int fd, int level, int name, int value) {
    return setsockopt(fd, level, name, &value, sizeof(value)) == 0;
}

/// A listening socket on `addr`: its descriptor, or -errno.
int listen_on(const sockaddr* addr, socklen_t len, bool dual_stack) {
    const int fd = socket(addr->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -errno;
    bool ok = set_int_option(fd, SOL_SOCKET, SO_REUSEADDR, 1);
    if (ok && addr->sa_family == AF_INET6)
        ok = set_int_option(fd, IPPROTO_IPV6, IPV6_V6ONLY, !dual_stack);
    if (ok) ok = bind(fd, addr, len) == 0 && listen(fd, kListenBacklog) == 0;
    if (!ok) {
        const int err = errno;
        close(fd);
        return -err;
    }
    return fd;
}

/// The listening socket for `port` on `bind_address` (null: every address).
int open_listener(uint16_t port, const char* bind_address) {
    sockaddr_in v4{};
    v4.sin_family = AF_INET;
    v4.sin_port = htons(port);
    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(port);
    if (bind_address != nullptr) {
        if (inet_pton(AF_INET, bind_address, &v4.sin_addr) == 1)
            return listen_on(reinterpret_cast<sockaddr*>(&v4), sizeof v4, false);
        if (inet_pton(AF_INET6, bind_address, &v6.sin6_addr) == 1)
            return listen_on(reinterpret_cast<sockaddr*>(&v6), sizeof v6, false);
        return -EINVAL;
    }
    // Every address: one dual-stack socket, or IPv4 alone on a system
    // without IPv6.
    v6.sin6_addr = in6addr_any;
    const int fd = listen_on(reinterpret_cast<sockaddr*>(&v6), sizeof v6, true);
    if (fd != -EAFNOSUPPORT && fd != -EADDRNOTAVAIL) return fd;
    v4.sin_addr.s_addr = htonl(INADDR_ANY);
    return listen_on(reinterpret_cast<sockaddr*>(&v4), sizeof v4, false);
}

uint16_t bound_port(int fd) {
    sockaddr_storage sa{};
    socklen_t len = sizeof sa;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) < 0) return 0;
    if (sa.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in*>(&sa)->sin_port);
    return ntohs(reinterpret_cast<sockaddr_in6*>(&sa)->sin6_port);
}

void close_client(NetOutput* o, NetClient* c) {
    close(c->fd);
    c->fd = -1;
    o->stats.clients--;
}

/// A client that went away or failed: closed, with a throttled line.
void client_gone(NetOutput* o, NetClient* c, const char* why, int64_t now_ms) {
    const NetOutKind kind = static_cast<NetOutKind>(o - outputs);
    uint32_t held = 0;
    if (throttle_pass(&o->client_lines, now_ms, kClientLines, kClientLineWindowMs, &held)) {
        char more[40];
        const int64_t s = (now_ms - c->since_ms) / 1000;
        log_info("%s output: client %s %s after %lld s, %d clients left%s", net_out_name(kind),
                 c->peer, why, static_cast<long long>(s), o->stats.clients - 1,
                 held_text(more, sizeof more, held));
    }
    close_client(o, c);
}

/// Closes the clients net_out_publish marked, each with its warning.
void close_fallen_behind(int64_t now_ms) {
    for (int k = 0; k < kNetOutKinds; k++) {
        NetOutput* o = &outputs[k];
        for (NetClient& c : o->clients) {
            if (c.fd < 0 || c.behind == 0) continue;
            const int64_t idle = now_ms - c.taken_ms;
            log_warning(
                "%s output: client %s fell %u bytes behind (the ring holds %u), no bytes "
                "taken for %lld.%03lld s: closed",
                net_out_name(static_cast<NetOutKind>(k)), c.peer, c.behind, kNetRingBytes,
                static_cast<long long>(idle / 1000), static_cast<long long>(idle % 1000));
            o->stats.dropped++;
            close_client(o, &c);
        }
    }
}

/// Writes what the client's socket takes of its pending bytes, at most kWriteMax.
void write_client(NetOutput* o, NetClient* c, int64_t now_ms) {
    uint32_t pending = o->written - c->sent;
    if (pending == 0) return;
    if (pending > kWriteMax) pending = kWriteMax;
    const uint32_t pos = c->sent & kMask;
    const uint32_t first = pending < kNetRingBytes - pos ? pending : kNetRingBytes - pos;
    iovec iov[2] = {{o->ring + pos, first}, {o->ring, pending - first}};
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = pending > first ? 2 : 1;
    const ssize_t n = sendmsg(c->fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
        client_gone(o, c, strerror(errno), now_ms);
        return;
    }
    c->sent += static_cast<uint32_t>(n);
    c->taken_ms = now_ms;
    c->flushed_ms = now_ms;
    o->stats.bytes_sent += static_cast<uint64_t>(n);
}

/// Reads and drops what the client sent. Its end of stream is taken as
/// its going away: a client that closed while no frames flow would
/// otherwise keep its slot until the next write to it failed.
void read_client(NetOutput* o, NetClient* c, int64_t now_ms) {
    uint8_t scratch[kReadScratch];
    const ssize_t n = read(c->fd, scratch, sizeof scratch);
    if (n == 0) {
        client_gone(o, c, "closed the connection", now_ms);
    } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        client_gone(o, c, strerror(errno), now_ms);
    }
}

void serve_client(NetOutput* o, NetClient* c, short revents, int64_t now_ms) {
    if (c->behind != 0) return;  // closed, with its warning, at the next fill
    if (revents & POLLNVAL) {
        client_gone(o, c, "invalid descriptor", now_ms);
        return;
    }
    if (revents & (POLLIN | POLLERR)) {
        read_client(o, c, now_ms);
        if (c->fd < 0) return;
    }
    if (revents & POLLOUT) {
        write_client(o, c, now_ms);
        if (c->fd < 0) return;
    }
    if (revents & (POLLHUP | POLLERR)) client_gone(o, c, "closed the connection", now_ms);
}

NetClient* free_slot(NetOutput* o) {
    for (NetClient& c : o->clients) {
        if (c.fd < 0) return &c;
    }
    return nullptr;
}

void take_client(NetOutput* o, int fd, const sockaddr_storage& sa, int64_t now_ms) {
    const NetOutKind kind = static_cast<NetOutKind>(o - outputs);
    char peer[kPeerText];
    peer_text(sa, peer, sizeof peer);
    char more[40];
    uint32_t held = 0;
    NetClient* c = free_slot(o);
    if (c == nullptr) {
        close(fd);
        o->stats.refused++;
        if (throttle_pass(&o->refused_lines, now_ms, 1, kNetWarnEveryMs, &held)) {
            log_warning("%s output: client %s refused, %d clients connected already%s",
                        net_out_name(kind), peer, kNetClientsMax,
                        held_text(more, sizeof more, held));
        }
        return;
    }
    // A smaller kernel buffer is only a preference: a client that stops
    // reading then shows in the ring soon, instead of holding megabytes.
    (void)set_int_option(fd, SOL_SOCKET, SO_SNDBUF, kSendBufferBytes);
    (void)set_int_option(fd, IPPROTO_TCP, TCP_NODELAY, 1);  // writes are batched already
    *c = NetClient{fd, o->written, 0, now_ms, now_ms, now_ms, {}};
    memcpy(c->peer, peer, sizeof peer);
    o->stats.clients++;
    o->stats.accepted++;
    if (throttle_pass(&o->client_lines, now_ms, kClientLines, kClientLineWindowMs, &held)) {
        log_info("%s output: client %s connected, %d of %d%s", net_out_name(kind), peer,
                 o->stats.clients, kNetClientsMax, held_text(more, sizeof more, held));
    }
}

void accept_clients(NetOutput* o, int64_t now_ms) {
    for (int i = 0; i < kAcceptsPerServe; i++) {
        sockaddr_storage sa{};
        socklen_t len = sizeof sa;
        const int fd = accept4(o->listen_fd, reinterpret_cast<sockaddr*>(&sa), &len,
                               SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            take_client(o, fd, sa, now_ms);
            continue;
        }
        const int err = errno;
        if (err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM) {
            // The connection waits in the backlog and the socket stays ready:
            // rest rather than spin.
            o->rest_until_ms = now_ms + kNetAcceptRestMs;
            uint32_t held = 0;
            if (throttle_pass(&o->accept_lines, now_ms, 1, kNetWarnEveryMs, &held)) {
                char more[40];
                log_warning("%s output: cannot accept a client (%s, %d), trying again in %d ms%s",
                            net_out_name(static_cast<NetOutKind>(o - outputs)), strerror(err), err,
                            kNetAcceptRestMs, held_text(more, sizeof more, held));
            }
        }
        return;  // EAGAIN: none left; others (a client that gave up) end this round too
    }
}

/// The client and output a descriptor belongs to, or null.
NetClient* find_client(int fd, NetOutput** owner) {
    for (NetOutput& o : outputs) {
        for (NetClient& c : o.clients) {
            if (c.fd == fd && fd >= 0) {
                *owner = &o;
                return &c;
            }
        }
    }
    return nullptr;
}

}  // namespace

const char* net_out_name(NetOutKind kind) {
    return kind == NET_OUT_BEAST ? "Beast" : "raw";
}

int net_out_open(NetOutKind kind, uint16_t port, const char* bind_address) {
    make_ready();
    NetOutput* o = &outputs[kind];
    if (o->listen_fd >= 0) return -EBUSY;
    const int fd = open_listener(port, bind_address);
    if (fd < 0) return fd;
    o->listen_fd = fd;
    o->rest_until_ms = 0;
    o->written = 0;
    o->stats = NetOutStats{};
    o->stats.port = bound_port(fd);
    o->refused_lines = Throttle{};
    o->accept_lines = Throttle{};
    o->client_lines = Throttle{};
    return 0;
}

bool net_out_is_open(NetOutKind kind) {
    return outputs_ready && outputs[kind].listen_fd >= 0;
}

void net_out_close(NetOutKind kind) {
    make_ready();
    NetOutput* o = &outputs[kind];
    for (NetClient& c : o->clients) {
        if (c.fd >= 0) close_client(o, &c);
    }
    if (o->listen_fd >= 0) close(o->listen_fd);
    o->listen_fd = -1;
    o->stats.port = 0;
}

void net_out_close_all() {
    for (int k = 0; k < kNetOutKinds; k++) net_out_close(static_cast<NetOutKind>(k));
}

void net_out_publish(NetOutKind kind, const uint8_t* message, uint32_t len) {
    NetOutput* o = &outputs[kind];
    if (!outputs_ready || o->stats.clients == 0 || len == 0 || len > kNetMessageMax) return;
    for (NetClient& c : o->clients) {
        if (c.fd < 0 || c.behind != 0) continue;
        const uint32_t unsent = o->written - c.sent;
        if (unsent + len > kNetRingBytes) c.behind = unsent;  // these bytes would be overwritten
    }
    const uint32_t pos = o->written & kMask;
    const uint32_t first = len < kNetRingBytes - pos ? len : kNetRingBytes - pos;
    memcpy(o->ring + pos, message, first);
    memcpy(o->ring, message + first, len - first);
    o->written += len;
    o->stats.messages++;
}

void net_out_frame(const uint8_t* frame, int n_bytes, TimeStamp toa, int32_t level) {
    if (!outputs_ready) return;
    if (outputs[NET_OUT_BEAST].stats.clients > 0) {
        uint8_t msg[kBeastMaxBytes];
        const int n = beast_encode(msg, frame, n_bytes, beast_clock_12mhz(toa),
                                   beast_signal_from_level(level));
        if (n > 0) net_out_publish(NET_OUT_BEAST, msg, static_cast<uint32_t>(n));
    }
    if (outputs[NET_OUT_RAW].stats.clients > 0) {
        uint8_t line[kRawMaxBytes];
        const int n = raw_encode(line, frame, n_bytes);
        if (n > 0) net_out_publish(NET_OUT_RAW, line, static_cast<uint32_t>(n));
    }
}

int net_out_poll_fill(pollfd* fds, int max, int64_t now_ms, int64_t* next_deadline_ms) {
    if (!outputs_ready) return 0;
    close_fallen_behind(now_ms);
    int n = 0;
    for (NetOutput& o : outputs) {
        if (o.listen_fd < 0) continue;
        if (now_ms < o.rest_until_ms) {
            if (o.rest_until_ms < *next_deadline_ms) *next_deadline_ms = o.rest_until_ms;
        } else if (n < max) {
            fds[n++] = pollfd{o.listen_fd, POLLIN, 0};
        }
        for (NetClient& c : o.clients) {
            if (c.fd < 0 || n >= max) continue;
            const uint32_t pending = o.written - c.sent;
            short events = POLLIN;
            if (pending == 0) {
                c.taken_ms = now_ms;  // nothing waits: it is not stalled
            } else if (pending >= kNetFlushBytes || now_ms - c.flushed_ms >= kNetFlushMs) {
                events |= POLLOUT;
            }
            if (pending != 0 && (events & POLLOUT) == 0 &&
                c.flushed_ms + kNetFlushLateMs < *next_deadline_ms) {
                *next_deadline_ms = c.flushed_ms + kNetFlushLateMs;
            }
            fds[n++] = pollfd{c.fd, events, 0};
        }
    }
    return n;
}

void net_out_poll_serve(const pollfd* fds, int n, int64_t now_ms) {
    if (!outputs_ready) return;
    for (int i = 0; i < n; i++) {
        NetOutput* o = nullptr;
        NetClient* c = find_client(fds[i].fd, &o);
        if (c != nullptr && fds[i].revents != 0) serve_client(o, c, fds[i].revents, now_ms);
    }
    for (int i = 0; i < n; i++) {
        if ((fds[i].revents & POLLIN) == 0) continue;
        for (NetOutput& o : outputs) {
            if (o.listen_fd >= 0 && o.listen_fd == fds[i].fd) accept_clients(&o, now_ms);
        }
    }
}

uint32_t net_out_unsent() {
    if (!outputs_ready) return 0;
    uint32_t most = 0;
    for (const NetOutput& o : outputs) {
        for (const NetClient& c : o.clients) {
            if (c.fd < 0 || c.behind != 0) continue;
            const uint32_t pending = o.written - c.sent;
            if (pending > most) most = pending;
        }
    }
    return most;
}

NetOutStats net_out_stats(NetOutKind kind) {
    return outputs[kind].stats;
}

void net_out_report() {
    if (!outputs_ready) return;
    for (int k = 0; k < kNetOutKinds; k++) {
        const NetOutput& o = outputs[k];
        if (o.listen_fd < 0) continue;
        const NetOutStats& s = o.stats;
        log_debug(DBG_STATISTICS,
                  "%s output: port %u, %d clients, %u messages, %llu bytes sent, %u clients "
                  "accepted, %u refused, %u dropped for falling behind\n",
                  net_out_name(static_cast<NetOutKind>(k)), s.port, s.clients, s.messages,
                  static_cast<unsigned long long>(s.bytes_sent), s.accepted, s.refused, s.dropped);
    }
}
