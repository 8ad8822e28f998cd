// The ring holds whole messages back to back; each one's length is in its
// own header (byte 19, plus the 20 header bytes), so the ring needs no
// index for its frames. Removing a message other than the oldest moves the
// bytes in front of it up by its length: it is always one of the first few
// messages, so that is at most a few hundred bytes. The few messages other
// than frames are listed by position, so that a new connection can mark
// those of the dead one (their op byte becomes kSkipOp) in a few steps, and
// a write stops in front of a marked one, which then leaves unwritten.
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

/// Notes a message other than a frame at position `at` (`front`: before
/// every other).
void note_other(SendQueue* q, uint32_t at, bool front) {
    if (q->n_others < 0) return;
    if (q->n_others == kSendQueueOthers) {
        q->n_others = -1;  // too many to follow: the next connection moves bytes
        return;
    }
    if (front) {
        for (int i = q->n_others; i > 0; i--) q->others[i] = q->others[i - 1];
        q->others[0] = QueuedOther{at, false};
    } else {
        q->others[q->n_others] = QueuedOther{at, false};
    }
    q->n_others++;
}

/// Forgets the entries of messages that left (before the head) or were
/// dropped behind position `end`.
void forget_others(SendQueue* q, uint32_t end) {
    if (q->n_others <= 0) return;
    int k = 0;
    for (int i = 0; i < q->n_others; i++) {
        const uint32_t rel = q->others[i].at - q->head_at;
        if (rel < end - q->head_at) q->others[k++] = q->others[i];
    }
    q->n_others = k;
}

void copy_in(SendQueue* q, uint32_t pos, const uint8_t* src, uint32_t n) {
    const uint32_t first = std::min(n, kSendQueueBytes - pos);
    memcpy(q->ring + pos, src, first);
    memcpy(q->ring, src + first, n - first);
}

void count_drop(SendQueue* q, int op) {
    if (op == kSkipOp) return;  // a dead connection's: not a loss
    if (is_frame_op(op)) {
        q->dropped_frames++;
    } else {
        q->dropped_other++;
    }
}

/// Removes the message `off` bytes after the head, `len` bytes long.
void remove_at(SendQueue* q, uint32_t off, uint32_t len) {
    for (uint32_t i = off; i-- > 0;) q->ring[(q->head + i + len) & kMask] = q->ring[(q->head + i) & kMask];
    if (q->n_others > 0) {
        // The messages in front of it move up by its length; it goes.
        int k = 0;
        for (int i = 0; i < q->n_others; i++) {
            const uint32_t rel = q->others[i].at - q->head_at;
            if (rel == off) continue;
            QueuedOther o = q->others[i];
            if (rel < off) o.at += len;
            q->others[k++] = o;
        }
        q->n_others = k;
    }
    q->head_at += len;
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
        q->head_at += len;
        forget_others(q, q->head_at + q->used - len);
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
    q->head_at = 0;
    q->n_others = 0;
}

int sendq_push(SendQueue* q, const uint8_t* message) {
    const uint32_t len = static_cast<uint32_t>(kL2HeaderBytes) + message[19];
    if (!make_room(q, len)) return -1;
    copy_in(q, (q->head + q->used) & kMask, message, len);
    if (!is_frame_op(message[18])) note_other(q, q->head_at + q->used, false);
    q->used += len;
    q->count++;
    return 0;
}

int sendq_push_front(SendQueue* q, const uint8_t* message) {
    const uint32_t len = static_cast<uint32_t>(kL2HeaderBytes) + message[19];
    if (q->head_sent != 0 || !make_room(q, len)) return -1;
    q->head = (q->head - len) & kMask;
    q->head_at -= len;
    copy_in(q, q->head, message, len);
    if (!is_frame_op(message[18])) note_other(q, q->head_at, true);
    q->used += len;
    q->count++;
    if (q->cut != kNoCut) q->cut += len;
    return 0;
}

void sendq_new_connection(SendQueue* q) {
    q->head_sent = 0;
    if (q->n_others >= 0) {
        // Marked where they lie: nothing moves.
        for (int i = 0; i < q->n_others; i++) {
            q->ring[(q->head + (q->others[i].at - q->head_at) + 18) & kMask] = kSkipOp;
            q->others[i].skip = true;
        }
        return;
    }
    // More than the list holds: keep the frames, in order; later ones move
    // up over the removed bytes.
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
    q->n_others = 0;
    if (cut != kNoCut) q->cut = cut - removed_before_cut;
}

namespace {

/// Bytes from the head to the first message marked to be passed over
/// (UINT32_MAX when none is).
uint32_t next_skip(const SendQueue* q) {
    for (int i = 0; i < q->n_others; i++)
        if (q->others[i].skip) return q->others[i].at - q->head_at;
    return UINT32_MAX;
}

/// Takes the marked message at the head out unwritten.
void pass_over(SendQueue* q) {
    const uint32_t len = length_at(q, 0);
    q->head_at += len;
    q->head = (q->head + len) & kMask;
    q->used -= len;
    q->count--;
    if (q->cut != kNoCut) q->cut -= len;
    forget_others(q, q->head_at + q->used);
}

}  // namespace

int sendq_flush(SendQueue* q, int fd, uint32_t* written, bool socket) {
    *written = 0;
    for (;;) {
        uint32_t limit = q->cut == kNoCut ? q->used : q->cut;
        const uint32_t skip = next_skip(q);
        if (skip == 0 && limit > 0) {
            pass_over(q);
            continue;
        }
        if (skip < limit) limit = skip;
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
    forget_others(q, q->head_at + q->used);
}

bool sendq_at_cut(const SendQueue* q) {
    return q->cut == 0;
}

void sendq_clear_cut(SendQueue* q) {
    q->cut = kNoCut;
}
