// The listening outputs: the Beast binary and the raw *HEX; streams, each
// on a TCP port of its own, served to whoever connects.
//
// Owns, per output, the listening socket, a broadcast ring of
// kNetRingBytes in static storage and up to kNetClientsMax clients, each
// with nothing but its descriptor and its read position in the ring:
// memory does not grow with clients or traffic. A frame published goes
// into the ring once and reaches every client as its socket takes bytes;
// a client that falls behind the ring's oldest data (it stopped reading)
// is closed with one warning naming it and how far behind it was. A client
// connects at any time and receives the messages published from then on,
// whole ones only. What clients send is read and thrown away; a client's
// end of stream (it closed, or shut its sending side down) closes it.
//
// Promises: nothing here waits. Every socket is non-blocking and
// close-on-exec; a write takes what the socket has room for, so no client
// can slow the caller or the other clients. The descriptors are served
// through net_out_poll_fill and net_out_poll_serve from the caller's one
// poll(). No heap; lines that could repeat (clients refused beyond the
// limit, accept errors, clients coming and going) are throttled.
#pragma once

#include <cstdint>

#include "include/helper.h"

struct pollfd;

enum NetOutKind : int {
    NET_OUT_BEAST = 0,  ///< Beast binary
    NET_OUT_RAW = 1,    ///< raw *HEX; lines
    kNetOutKinds = 2,
};

/// 256 KiB per output: about 6000 Beast messages of a long frame (44 bytes
/// at most), several seconds at the busiest sites.
inline constexpr uint32_t kNetRingBytes = 1U << 18;
/// Clients per output at once; one more is closed as soon as it is accepted.
inline constexpr int kNetClientsMax = 16;
/// Poll entries the outputs can ask for: each listening socket and its clients.
inline constexpr int kNetPollMax = kNetOutKinds * (1 + kNetClientsMax);
/// The longest message net_out_publish takes.
inline constexpr uint32_t kNetMessageMax = 64;
/// A client's pending bytes are written at most this often, unless a
/// quarter of the ring waits: fewer, larger writes (at 1000 frames a
/// second, 20 writes of 50 messages instead of 1000 of one). A write that
/// is due waits for the loop's next turn, which the input brings every few
/// milliseconds, and wakes the loop itself only kNetFlushLateMs after the
/// last one (the input paused): the clients cost no turns of their own.
inline constexpr int kNetFlushMs = 50;
inline constexpr int kNetFlushLateMs = 100;
inline constexpr uint32_t kNetFlushBytes = kNetRingBytes / 4;
/// After an accept failed for want of descriptors or memory, the listening
/// socket rests this long (it would otherwise be ready at once, for ever).
inline constexpr int kNetAcceptRestMs = 1000;
/// Throttled lines: warnings of one kind at most once in this interval.
inline constexpr int kNetWarnEveryMs = 10000;

/// The figures of one output since it was opened.
struct NetOutStats {
    uint16_t port;        ///< the port listened on, 0 while closed
    int32_t clients;      ///< connected now, 0..kNetClientsMax
    uint32_t accepted;    ///< clients accepted
    uint32_t refused;     ///< clients closed at once for the limit
    uint32_t dropped;     ///< clients closed for falling behind
    uint32_t messages;    ///< messages published while a client was connected
    uint64_t bytes_sent;  ///< bytes written to clients, all of them together
};

/// The output's name in log lines: "Beast" or "raw".
const char* net_out_name(NetOutKind kind);

/// Listens on `port` (1..65535; 0 lets the system pick one, for tests) for
/// output `kind`: on every address (IPv6 and IPv4 where the system has
/// both), or only on `bind_address` when it is not null (a numeric IPv4 or
/// IPv6 address; no name is resolved). 0, or -errno when no socket could be
/// listened on (-EADDRINUSE when the port is taken, -EINVAL for an address
/// that is not numeric, -EBUSY when the output is open already).
[[nodiscard]] int net_out_open(NetOutKind kind, uint16_t port, const char* bind_address);

/// True while output `kind` listens.
bool net_out_is_open(NetOutKind kind);

/// Closes the output's clients and its listening socket; its figures stay
/// until it is opened again.
void net_out_close(NetOutKind kind);

/// Closes both outputs.
void net_out_close_all();

/// Appends `len` bytes (one whole message, 1..kNetMessageMax) for every
/// client of `kind`; nothing when it has none. A client whose unsent bytes
/// the message would overwrite is marked to be closed at the next
/// net_out_poll_fill (and gets nothing more).
void net_out_publish(NetOutKind kind, const uint8_t* message, uint32_t len);

/// The hook of the frame check: one accepted frame (`n_bytes` 7 or 14, its
/// time of arrival and the level the check received) encoded and published
/// on each output that has clients. Costs nothing more than two tests when
/// nobody is connected.
void net_out_frame(const uint8_t* frame, int n_bytes, TimeStamp toa, int32_t level);

/// Appends the outputs' descriptors to fds[0..max): the listening sockets
/// (except one resting after an accept failure) for POLLIN, the clients
/// for POLLIN and, when bytes wait and their write is due, POLLOUT. Returns
/// how many were appended; lowers *next_deadline_ms (monotonic ms) to the
/// next time one of them needs serving without an event. Closes the
/// clients marked by net_out_publish first.
int net_out_poll_fill(pollfd* fds, int max, int64_t now_ms, int64_t* next_deadline_ms);

/// Handles the revents of the `n` entries net_out_poll_fill appended, in
/// the same order: writes to clients, reads and discards what they sent,
/// closes those that went away, accepts new ones.
void net_out_poll_serve(const pollfd* fds, int n, int64_t now_ms);

/// The most bytes any client of either output still waits for (0: every
/// client has all that was published; clients marked to be closed do not
/// count).
uint32_t net_out_unsent();

/// The figures of output `kind`.
NetOutStats net_out_stats(NetOutKind kind);

/// One line for the statistics report (debug bit 0x01) when an output is
/// open: its port, clients, messages and the clients refused and dropped.
void net_out_report();
