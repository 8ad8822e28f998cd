// The outgoing queue of the level-2 link: whole messages (20-byte header
// and body) back to back in a byte ring in static storage, written to the
// destination as it takes bytes. A message is never torn: once its first
// byte is written, the rest follows before any other byte. When room is
// short the oldest waiting messages that have not started are dropped and
// counted, never the HELLO that opens a connection.
//
// A cut marks a connection boundary: the messages queued before it go out
// on the present connection, which is then closed; the ones behind it wait
// for the next connection.
#pragma once

#include <cstdint>

/// 1 MiB: 30840 frame messages of 34 bytes, 10 s of 3084 frames a second
/// (a site that hears 300 aircraft at once forwards about 1500).
inline constexpr uint32_t kSendQueueBytes = 1U << 20;
inline constexpr uint32_t kNoCut = UINT32_MAX;  ///< `cut` when none is set
/// Messages other than frames (HELLOs, sync answers) whose place is kept, at
/// most; beyond that a new connection moves bytes to remove them.
inline constexpr int kSendQueueOthers = 32;
/// The op byte of a message that a dead connection left: passed over, never
/// written.
inline constexpr uint8_t kSkipOp = 0xFF;

/// Where a message other than a frame lies in the queue.
struct QueuedOther {
    uint32_t at;  ///< position (bytes ever queued, wrapping) of its first byte
    bool skip;    ///< left by a dead connection: passed over
};

struct SendQueue {
    uint32_t head;            ///< ring offset of the oldest message, 0..kSendQueueBytes-1
    uint32_t used;            ///< bytes queued, 0..kSendQueueBytes
    uint32_t count;           ///< messages queued
    uint32_t head_sent;       ///< bytes of the oldest message written; non-zero: it has started
    uint32_t cut;             ///< bytes from `head` to the cut, or kNoCut
    uint32_t dropped_frames;  ///< frames dropped for room, since the caller last cleared it
    uint32_t dropped_other;   ///< sync answers dropped for room, likewise
    uint64_t frames_written;  ///< frame messages written whole since the queue was cleared
    uint32_t head_at;         ///< position of the oldest message (bytes ever removed, wrapping)
    int32_t n_others;         ///< entries of `others`; -1: more than kSendQueueOthers
    QueuedOther others[kSendQueueOthers];  ///< the messages other than frames, oldest first
    uint8_t ring[kSendQueueBytes];
};

/// Empties the queue and its counters.
void sendq_clear(SendQueue* q);

/// Queues a whole message (its length from the header's length byte). When
/// room is short the oldest messages that may be dropped are; returns 0, or
/// -1 when nothing could make room (the message is not queued).
int sendq_push(SendQueue* q, const uint8_t* message);

/// Queues a message in front of all others (the HELLO of a new connection);
/// only while no message has started. 0, or -1 as sendq_push.
int sendq_push_front(SendQueue* q, const uint8_t* message);

/// A new connection: a message cut off by the end of the previous one is
/// sent again from its first byte, and the answers and HELLOs that belonged
/// to the previous connection are marked to be passed over, without moving
/// a byte (the queue knows where they lie; only beyond kSendQueueOthers of
/// them are the frames behind them moved up).
void sendq_new_connection(SendQueue* q);

/// Writes as much as `fd` takes without waiting, up to the cut (`socket`:
/// with send(), MSG_NOSIGNAL and MSG_DONTWAIT). 0, also when the descriptor
/// would block; -1 when a write failed (errno as it left it). `*written`
/// gets the bytes written.
int sendq_flush(SendQueue* q, int fd, uint32_t* written, bool socket = false);

/// Bytes still to be written before the cut (all bytes when there is none).
uint32_t sendq_pending(const SendQueue* q);

/// The op of the oldest message; -1 when the queue is empty.
int sendq_head_op(const SendQueue* q);

/// Sets the cut behind the messages queued so far. A cut already set stays
/// where it is; what was queued behind it is dropped and counted (it would
/// share a connection with neither side).
void sendq_set_cut(SendQueue* q);

/// True when a cut is set and everything before it is written.
bool sendq_at_cut(const SendQueue* q);

/// Removes the cut.
void sendq_clear_cut(SendQueue* q);
