// The ring holds whole messages back to back; each one's length is in its
// own header (byte 19, plus the 20 header bytes), so the ring needs no
// index. Removing a message other than the oldest moves the bytes in front
// of it up by its length: it is always one of the first few messages, so
// that is at most a few hundred bytes.
#include "sdr/send_queue.h"

#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "include/level2.h"

namespace {

constexpr uint32_t kMask = kSendQueueBytes - 1;
static_assert((kSendQueueBytes & kMask) == 0, "the ring size is a power of two");
static_assert(kSendQueueBytes >= 8 * kL2MaxMessage);

uint8_t byte_at(const SendQueue* q, uint32_t off) {
    return q->ring[(q->head + off) & kMask];
}

/// Length of the message that starts `off` bytes after the head.
uint32_t length_at(const SendQueue* q, uint32_t off) {
    return static_cast<uint32_t>(kL2HeaderBytes) + byte_at(q, off + 19);
}

int op_at(const SendQueue* q, uint32_t off) {
    return byte_at(q, off + 18);
}

bool is_frame_op(int op) {
    return op == L2_OP_FRAME_REST || (op >= L2_OP_FRAME_DF4_5 && op <= L2_OP_FRAME_DF21);
}

void copy_in(SendQueue* q, uint32_t pos, const uint8_t* src, uint32_t n) {
    const uint32_t first = std::min(n, kSendQueueBytes - pos);
    memcpy(q->ring + pos, src, first);
    memcpy(q->ring, src + first, n - first);
}

void count_drop(SendQueue* q, int op) {
    if (is_frame_op(op)) {
        q->dropped_frames++;
    } else {
        q->dropped_other++;
    }
}

/// Removes the message `off` bytes after the head, `len` bytes long.
void remove_at(SendQueue* q, uint32_t off, uint32_t len) {
    for (uint32_t i = off; i-- > 0;) q->ring[(q->head + i + len) & kMask] = q->ring[(q->head + i) & kMask];
    q->head = (q->head + len) & kMask;
    q->used -= len;
    q->count--;
    if (q->cut != kNoCut && off < q->cut) q->cut -= len;
}

/// Drops the oldest message that may go: one that has not started and is
/// not a HELLO. False when there is none.
bool drop_oldest(SendQueue* q) {
    uint32_t off = 0;
    for (uint32_t i = 0; i < q->count; i++) {
        const uint32_t len = length_at(q, off);
        const int op = op_at(q, off);
        const bool started = i == 0 && q->head_sent > 0;
        if (!started && op != L2_OP_HELLO) {
            count_drop(q, op);
            remove_at(q, off, len);
            return true;
        }
        off += len;
    }
    return false;
}

bool make_room(SendQueue* q, uint32_t len) {
    while (kSendQueueBytes - q->used < len) {
        if (!drop_oldest(q)) return false;
    }
    return true;
}

/// `n` bytes were written: the messages they complete leave the queue.
void consume(SendQueue* q, uint32_t n) {
    while (n > 0) {
        const uint32_t len = length_at(q, 0);
        const uint32_t rest = len - q->head_sent;
        if (n < rest) {
            q->head_sent += n;
            return;
        }
        n -= rest;
        if (is_frame_op(op_at(q, 0))) q->frames_written++;
        q->head = (q->head + len) & kMask;
        q->used -= len;
        q->count--;
        q->head_sent = 0;
        if (q->cut != kNoCut) q->cut -= len;
    }
}

}  // namespace

void sendq_clear(SendQueue* q) {
    q->head = 0;
    q->used = 0;
    q->count = 0;
    q->head_sent = 0;
    q->cut = kNoCut;
    q->dropped_frames = 0;
    q->dropped_other = 0;
    q->frames_written = 0;
}

int sendq_push(SendQueue* q, const uint8_t* message) {
    const uint32_t len = static_cast<uint32_t>(kL2HeaderBytes) + message[19];
    if (!make_room(q, len)) return -1;
    copy_in(q, (q->head + q->used) & kMask, message, len);
    q->used += len;
    q->count++;
    return 0;
}

int sendq_push_front(SendQueue* q, const uint8_t* message) {
    const uint32_t len = static_cast<uint32_t>(kL2HeaderBytes) + message[19];
    if (q->head_sent != 0 || !make_room(q, len)) return -1;
    q->head = (q->head - len) & kMask;
    copy_in(q, q->head, message, len);
    q->used += len;
    q->count++;
    if (q->cut != kNoCut) q->cut += len;
    return 0;
}

void sendq_new_connection(SendQueue* q) {
    q->head_sent = 0;
    // Keep the frames, in order; later ones move up over the removed bytes.
    const uint32_t cut = q->cut;
    uint32_t removed_before_cut = 0;
    uint32_t read = 0;
    uint32_t write = 0;
    uint32_t kept = 0;
    for (uint32_t i = 0, n = q->count; i < n; i++) {
        const uint32_t len = length_at(q, read);
        if (is_frame_op(op_at(q, read))) {
            for (uint32_t k = 0; write != read && k < len; k++)
                q->ring[(q->head + write + k) & kMask] = q->ring[(q->head + read + k) & kMask];
            write += len;
            kept++;
        } else if (cut != kNoCut && read < cut) {
            removed_before_cut += len;
        }
        read += len;
    }
    q->used = write;
    q->count = kept;
    if (cut != kNoCut) q->cut = cut - removed_before_cut;
}

int sendq_flush(SendQueue* q, int fd, uint32_t* written, bool socket) {
    *written = 0;
    for (;;) {
        const uint32_t limit = q->cut == kNoCut ? q->used : q->cut;
        const uint32_t pos = (q->head + q->head_sent) & kMask;
        const uint32_t span = std::min(limit - q->head_sent, kSendQueueBytes - pos);
        if (span == 0) return 0;
        const ssize_t n = socket ? send(fd, q->ring + pos, span, MSG_NOSIGNAL | MSG_DONTWAIT)
                                 : write(fd, q->ring + pos, span);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
            return -1;
        }
        if (n == 0) {  // no progress and no error: fail rather than spin
            errno = EIO;
            return -1;
        }
        *written += static_cast<uint32_t>(n);
        consume(q, static_cast<uint32_t>(n));
    }
}

uint32_t sendq_pending(const SendQueue* q) {
    return (q->cut == kNoCut ? q->used : q->cut) - q->head_sent;
}

int sendq_head_op(const SendQueue* q) {
    return q->count > 0 ? op_at(q, 0) : -1;
}

void sendq_set_cut(SendQueue* q) {
    if (q->cut == kNoCut) {
        q->cut = q->used;
        return;
    }
    for (uint32_t off = q->cut; off < q->used; off += length_at(q, off)) {
        count_drop(q, op_at(q, off));
        q->count--;
    }
    q->used = q->cut;
}

bool sendq_at_cut(const SendQueue* q) {
    return q->cut == 0;
}

void sendq_clear_cut(SendQueue* q) {
    q->cut = kNoCut;
}
