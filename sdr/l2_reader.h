// The incremental reader of the level-2 link: bytes from the peer collect in
// a fixed buffer as they arrive, and a message is taken from it only when it
// is whole, so a half-received message never makes the service wait.
//
// The hunt for the magic is byte by byte: a byte that does not fit the
// magic "ads2" at its place is consumed together with the ones before it,
// and the search starts afresh after it.
#pragma once

#include <cstdint>

#include "include/level2.h"

/// Results of reading one message (read_frame in sdr/remote and
/// l2_reader_next here).
enum ReadFrameResult : int {
    RF_OK = 0,            ///< a whole message was read
    RF_NO_DATA = 1,       ///< the peer went away inside the magic or the header
    RF_NO_HEADER = 2,     ///< the peer went away before the first byte of a message
    RF_HUNT = 3,          ///< a byte did not match the magic; it was consumed
    RF_INCONSISTENT = 4,  ///< length byte of 160 or more
    RF_REOPEN = 5,        ///< the peer went away inside the body
    RF_PARTIAL = 6,       ///< the message is not whole yet; nothing consumed
};

struct L2Reader {
    uint8_t buf[kL2MaxMessage];  ///< bytes received and not yet consumed
    int32_t have;                ///< bytes in buf, 0..kL2MaxMessage
    int64_t since_ms;            ///< monotonic ms when the pending bytes began to arrive
};

/// Forgets everything received.
void l2_reader_clear(L2Reader* r);

/// Room for more bytes: the caller reads at most this many into
/// buf + have and then calls l2_reader_took.
int l2_reader_room(const L2Reader* r);

/// `n` bytes were read into the buffer at `now_ms`.
void l2_reader_took(L2Reader* r, int n, int64_t now_ms);

/// Takes the next message from the buffer: RF_OK (msg filled and consumed),
/// RF_HUNT (the bytes up to one that broke the magic consumed),
/// RF_INCONSISTENT (a length byte of 160 or more; msg holds the header),
/// or RF_PARTIAL. After a message the bytes behind it count from `now_ms`.
int l2_reader_next(L2Reader* r, L2Message* msg, int64_t now_ms);

/// True when the bytes of an incomplete message wait in the buffer; `in_body`
/// tells whether its header is complete.
bool l2_reader_partial(const L2Reader* r, bool* in_body);
