// The connection to the proxy (or a local file, or standard output): the
// destination URL taken apart, its addresses, and a TCP connect that goes
// on without waiting, address after address, each within 10 s.
#pragma once

#include <cstdint>

struct addrinfo;

/// The destination that init_client or client_start opened.
struct ClientConn {
    int32_t fd;               ///< open or connecting descriptor, -1 while none
    int32_t remote_peer;      ///< 1: TCP peer; 0: local file or standard output
    int32_t connecting;       ///< 1 while a connect is in progress on fd
    char host[64];            ///< host part of the URL, at most 62 characters
    char port[8];             ///< port part of the URL, at most 7 characters
    addrinfo* addr_list;      ///< resolver result, kept while addresses are left to try
    const addrinfo* current;  ///< the address being connected to
    const addrinfo* next;     ///< the next address to try
    const char* url;          ///< the destination as given
    int64_t deadline_ms;      ///< monotonic ms at which the connect in progress gives up
};

inline constexpr int kConnectTimeoutMs = 10000;   ///< a connect waits this long per address
inline constexpr int kStallLimitMs = 30000;       ///< no byte taken while messages wait: dead
inline constexpr int kIncompleteLimitMs = 30000;  ///< a message incomplete this long: dead
inline constexpr int kReceiveTimeoutSeconds = 30;
inline constexpr int kUserTimeoutMs = 30000;     ///< data unacknowledged this long: dead
inline constexpr int kResolveTimeoutMs = 10000;  ///< a name not resolved by then: no connection
inline constexpr int kHealthyMs = 60000;  ///< a connection that carried frames this long is sound
/// Send buffer asked of the kernel (which doubles it): about 1 s of busy
/// traffic. A stalled peer then leaves the backlog in the queue, where it
/// survives a reconnection, rather than in the kernel, where it is lost.
inline constexpr int kSendBufferBytes = 32768;

/// The monotonic clock in microseconds (and milliseconds).
int64_t monotonic_us();
int64_t monotonic_ms();

/// Starts a connect to the next address of the list: 1 connected at once,
/// 0 in progress, -1 when every address has failed (with its warning).
int client_try_next(int64_t now_ms);

/// The one connection record.
ClientConn* client_conn();

/// Frees the address list.
void client_release_addresses();

/// Done with the addresses of this connection: a list the attempt keeps
/// for its reconnections stays.
void client_done_with_addresses();

/// Whether the address list is kept for the attempt's reconnections.
void client_keep_addresses(bool keep);
bool client_addresses_kept();

/// Clears the record for a TCP peer `url` (<host>:<port>), keeping the
/// attempt's addresses; a host of 63 or more characters is fatal.
ClientConn* client_prepare_peer(const char* url);

/// Forgets everything (tests): the next local file is truncated again.
void client_reset();

/// Opens `url` (null: standard output; no ':' a local file; otherwise
/// <host>:<port>) and waits for the connect, at most 10 s per address; null
/// when a TCP destination could not be connected. A file that cannot be
/// opened or a host of 63 or more characters is fatal. The first open of a
/// file in the run truncates it, later opens append.
ClientConn* init_client(const char* url);

/// Resolves conn->host and conn->port into conn->addr_list (IPv4, stream);
/// the resolver's result code, 0 on success.
int resolve_peer(ClientConn* conn);

/// init_client without waiting: a TCP connect is left in progress
/// (`connecting` set) for client_progress. Null when no address could even
/// be tried.
ClientConn* client_start(const char* url, int64_t now_ms);

/// Follows a connect in progress, waiting at most `wait_ms` (0: looks only):
/// 1 connected, 0 still in progress (possibly on the next address), -1 no
/// address connected. A connect not answered by its deadline fails with its
/// own warning.
int client_progress(ClientConn* conn, int64_t now_ms, int wait_ms);
