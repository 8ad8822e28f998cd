// The level-2 link to the proxy: connection, outgoing and incoming messages.
#pragma once

#include <cstdint>

#include "include/context.h"
#include "include/level2.h"

struct addrinfo;

/// The destination that init_client opened.
struct ClientConn {
    int32_t fd;           ///< open descriptor, -1 while none
    int32_t remote_peer;  ///< 1: TCP peer; 0: local file or standard output
    char host[64];        ///< host part of the URL, at most 62 characters
    char port[8];         ///< port part of the URL, at most 7 characters
    addrinfo* addr_list;  ///< resolver result; released before init_client returns
};

/// Results of read_frame.
enum ReadFrameResult : int {
    RF_OK = 0,            ///< a whole message was read
    RF_NO_DATA = 1,       ///< the rest of the magic or of the header did not arrive
    RF_NO_HEADER = 2,     ///< the first byte of a header could not be read
    RF_HUNT = 3,          ///< a byte did not match the magic; it was consumed
    RF_INCONSISTENT = 4,  ///< length byte of 160 or more
    RF_REOPEN = 5,        ///< the body could not be read
};

inline constexpr int kSendTimeoutSeconds = 30;     ///< a write waits at most this long
inline constexpr int kReceiveTimeoutSeconds = 30;  ///< a read waits at most this long
inline constexpr int kReadAttempts = 4;            ///< read calls per read_exact

/// Opens the destination `url` (null: standard output; no ':' a local file;
/// otherwise <host>:<port>); null when a TCP destination could not be
/// connected. A file that cannot be opened or a host of 63 or more
/// characters is fatal. The first open of a file in the run truncates it,
/// later opens append.
ClientConn* init_client(const char* url);

/// Resolves conn->host and conn->port into conn->addr_list (IPv4, stream);
/// the resolver's result code, 0 on success.
int resolve_peer(ClientConn* conn);

/// Writes `count` bytes, continuing after partial writes; negative when a
/// write fails (errno as it left it), otherwise non-negative.
int write_all(int fd, const uint8_t* buffer, int count);

/// Sends the HELLO; 0, or -1 when the write failed or the output is broken.
/// A HELLO outside the time window or not later than the previous one is
/// sent with a warning.
int send_hello(Context* ctx, TimeStamp time);

/// The frame callback: 0 when sent or filtered, -1 when the write failed
/// (this marks ctx->out_broken) or the output was already broken.
int send_frame(Context* ctx, const uint8_t* frame, int length, const FrameInfo* info);

/// Handles at most one waiting message from the peer; -1 when reading failed
/// or the output is broken.
int process_frame(Context* ctx, const TimeStamp* time);

/// Reads `count` (at least 1) bytes in at most four read calls; `count`, or
/// 0 or negative when reading failed (after four short reads errno is
/// ETIMEDOUT).
int read_exact(int fd, uint8_t* buffer, int count);

/// Reads one message into `msg`: one of RF_OK..RF_REOPEN; `nlast` gets the
/// result of the last read_exact (-9 before the first).
int read_frame(int fd, L2Message* msg, int* nlast);

/// Answers a sync request with `body` (own slot already added) at `time`;
/// 0, also when the answer is withheld (time outside the window or not later
/// than the previous answer, with a warning), -1 when the write failed.
int send_sync_rsp(Context* ctx, const L2Message* request, const SyncBody* body, TimeStamp time);

/// Clears the link's filter and ordering state, which the service keeps for
/// the whole run; for tests only.
void remote_reset_state();
