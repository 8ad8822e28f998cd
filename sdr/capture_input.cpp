// The read-ahead buffer: `pos` is the next byte to hand out, `end` the end
// of what was read. Records and blocks are handed out where they lie, not
// copied: the buffer holds eight whole records, so once a file's records
// line up with it (after the first refill) every record lies whole in it,
// and raw blocks move 128 bytes per refill. The demodulator wants its I/Q
// pairs at an even address, so an even count is always handed out at an
// even offset: only a realignment, which drops bytes one at a time, can
// leave the next record at an odd offset, and then the bytes held move down
// once (at most 64 KiB) and every later record lies even again.
#include "sdr/capture_input.h"

#include <errno.h>
#include <unistd.h>

#include <cstring>

#include "sdr/log.h"

namespace {

constexpr char kModule[] = "sdr/capture_input";

struct InputState {
    int32_t fd;            ///< -1 while detached
    int32_t pos;           ///< next byte to hand out, 0..end
    int32_t end;           ///< bytes held, 0..kReadAheadBytes
    int32_t status;        ///< InputStatus
    int32_t read_error;    ///< the failed read's result
    int32_t read_errno;    ///< and its errno
    bool live;             ///< the watchdog runs
    bool fifo;             ///< a named pipe: it may have no writer yet
    bool paused;           ///< the driver holds the input back
    bool received;         ///< a byte came since the attach
    bool fifo_noted;       ///< "waiting for a writer" said in this attempt
    const char* name;      ///< for the log lines
    int64_t attached_ms;   ///< monotonic ms of the attach
    int64_t last_byte_ms;  ///< monotonic ms of the last byte (or of the first attach)
    int64_t next_warn_ms;  ///< silence (ms since the last byte) of the next warning
};
constinit InputState in{-1,    0,     0,     INPUT_OPEN, 0,       0, false, false,
                        false, false, false, nullptr,    0, -1, kWatchdogWarnMs};

alignas(64) constinit uint8_t data[kReadAheadBytes]{};

/// Moves the bytes held to the front of the buffer.
void compact() {
    if (in.pos == 0) return;
    memmove(data, data + in.pos, static_cast<size_t>(in.end - in.pos));
    in.end -= in.pos;
    in.pos = 0;
}

int64_t silence_start() {
    return in.last_byte_ms > in.attached_ms ? in.last_byte_ms : in.attached_ms;
}

void read_some(int64_t now_ms) {
    if (in.end == kReadAheadBytes) compact();
    if (in.end == kReadAheadBytes) return;
    ssize_t got;
    do {
        got = read(in.fd, data + in.end, sizeof data - static_cast<size_t>(in.end));
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) return;
        in.status = INPUT_FAILED;
        in.read_error = static_cast<int32_t>(got);
        in.read_errno = errno;
        return;
    }
    if (got == 0) {
        in.status = INPUT_END;
        return;
    }
    in.end += static_cast<int32_t>(got);
    in.received = true;
    in.last_byte_ms = now_ms;
    in.next_warn_ms = kWatchdogWarnMs;
}

void watch(int64_t now_ms) {
    if (!in.live || in.status != INPUT_OPEN) return;
    if (in.fifo && !in.received && !in.fifo_noted && now_ms - in.attached_ms >= kFifoNoticeMs) {
        log_info("waiting for a writer on %s (a named pipe)", in.name);
        in.fifo_noted = true;
    }
    const int64_t quiet = now_ms - in.last_byte_ms;
    const char* why = in.fifo && !in.received ? " (no writer has written yet)" : "";
    if (now_ms - silence_start() >= kWatchdogEndMs) {
        log_warning("no input from %s for %lld s%s: the attempt ends", in.name,
                    static_cast<long long>(quiet / 1000), why);
        in.status = INPUT_SILENT;
        return;
    }
    if (quiet >= in.next_warn_ms) {
        log_warning("no input from %s for %lld s%s", in.name, static_cast<long long>(quiet / 1000),
                    why);
        while (in.next_warn_ms <= quiet) in.next_warn_ms += kWatchdogRepeatMs;
    }
}

}  // namespace

void input_attach(int fd, bool live, bool fifo, bool keep, const char* name, int64_t now_ms) {
    if (!keep) input_discard();
    in.fd = fd;
    in.status = INPUT_OPEN;
    in.read_error = 0;
    in.read_errno = 0;
    in.live = live;
    in.fifo = fifo;
    in.paused = false;
    in.received = false;
    in.fifo_noted = false;
    in.name = name;
    in.attached_ms = now_ms;
    if (in.last_byte_ms < 0) in.last_byte_ms = now_ms;
    // The warnings go on from where the silence stands.
    const int64_t quiet = now_ms - in.last_byte_ms;
    in.next_warn_ms = kWatchdogWarnMs;
    while (in.next_warn_ms <= quiet) in.next_warn_ms += kWatchdogRepeatMs;
}

void input_detach() {
    in.fd = -1;
}

int input_poll_fill(pollfd* fds, int max, int64_t now_ms, int64_t* deadline_ms) {
    if (in.fd < 0 || in.status != INPUT_OPEN) return 0;
    if (in.live) {
        int64_t next = in.last_byte_ms + in.next_warn_ms;
        const int64_t end = silence_start() + kWatchdogEndMs;
        if (end < next) next = end;
        if (in.fifo && !in.fifo_noted && !in.received && in.attached_ms + kFifoNoticeMs < next)
            next = in.attached_ms + kFifoNoticeMs;
        if (next < *deadline_ms) *deadline_ms = next;
    }
    (void)now_ms;
    if (in.paused || max < 1 || (in.pos == 0 && in.end == kReadAheadBytes)) return 0;
    fds[0] = pollfd{in.fd, POLLIN, 0};
    return 1;
}

void input_poll_serve(const pollfd* fds, int n, int64_t now_ms) {
    if (in.fd < 0) return;
    if (n > 0 && (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) read_some(now_ms);
    watch(now_ms);
}

void input_pause(bool paused) {
    in.paused = paused;
}

uint8_t* input_take(int count) {
    VX_ASSERT(kModule, count > 0 && count <= kReadAheadBytes);
    if (in.end - in.pos < count) {
        // Room behind the bytes held for the rest of this piece.
        if (kReadAheadBytes - in.pos < count) compact();
        return nullptr;
    }
    if (in.pos % 2 != 0 && count % 2 == 0) compact();
    uint8_t* at = data + in.pos;
    in.pos += count;
    return at;
}

int input_held() {
    return in.end - in.pos;
}

uint8_t* input_take_rest(int count, int* n) {
    *n = input_held() < count ? input_held() : count;
    uint8_t* at = data + in.pos;
    in.pos += *n;
    return at;
}

void input_give_back(int count) {
    VX_ASSERT(kModule, count >= 0 && count <= in.pos);
    in.pos -= count;
}

void input_skip(int count) {
    VX_ASSERT(kModule, count >= 0 && count <= input_held());
    in.pos += count;
}

int input_status() {
    return in.status;
}

int input_read_error() {
    return in.read_error;
}

int input_read_errno() {
    return in.read_errno;
}

bool input_has_received() {
    return in.received;
}

void input_discard() {
    in.pos = 0;
    in.end = 0;
}
