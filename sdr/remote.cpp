// The level-2 messages. Each one is built whole (the 20-byte header and its
// body) and handed to the link's queue. The frame filter keeps the frames
// that reach the proxy in strictly increasing time order; its state, like
// the HELLO and sync ordering state, lives for the whole run.
#include "sdr/remote.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstring>

#include "include/uniq.h"
#include "sdr/link.h"
#include "sdr/log.h"
#include "sdr/log_limit.h"

namespace {

constexpr char kModule[] = "sdr/remote";

constinit L2Reader reader{};  // what the peer has sent on this connection
// The loop's reading: the peer closed or reset the connection (the read's
// result, 0 or negative), noticed as soon as the loop saw it.
constinit bool peer_gone = false;
constinit int32_t gone_result = 0;
constinit Context* bound = nullptr;

// Frame filter and ordering state: zero at start, kept across reconnections.
constinit TimeStamp last_frame_time = 0;
constinit uint32_t last_frame_parity = 0;  // last three bytes of the newest frame
constinit uint8_t last_frame_df = 0;
constinit TimeStamp last_hello_time = 0;
constinit TimeStamp last_sync_rsp_time = 0;
constinit int32_t frames_dropped = 0;  // frames the filter has dropped since start
// Frames queued since the last HELLO that found the queue empty: when there
// are any, a new time base needs a new connection.
constinit int32_t frames_since_hello = 0;

/// a later than b, the whole 64-bit values compared with the seconds signed.
bool ts_later(TimeStamp a, TimeStamp b) {
    return static_cast<int64_t>(a) > static_cast<int64_t>(b);
}

double ts_to_us(int64_t dt) {
    return static_cast<double>(dt) / 4294.967296;
}

/// Queues one whole message.
int queue_message(Context* ctx, const uint8_t* message, const char* what) {
    if (link_send(ctx, message) < 0) {
        log_warning("level-2 queue cannot take a %s message, not sent", what);
        return -1;
    }
    return 0;
}

void handle_sync_request(Context* ctx, const L2Message* msg, TimeStamp time) {
    int n_slots = msg->length >= 2 ? msg->body[1] : -1;
    if (msg->length != kSyncBodyBytes || n_slots < 1 || n_slots > kSyncSlots) {
        log_warning("L2_SYNC_REQ with length %d and n_slots %d, dropped", msg->length, n_slots);
        return;
    }
    SyncBody body = sync_body_get(msg->body);
    TimeStamp now = timestamp_now();
    int64_t drift = ts_diff(now, time);
    int64_t dt = ts_diff(time, body.slots[body.n_slots - 1].time);

    char sender[64];
    char when[80];
    uniq2str(&msg->uniq, sender, sizeof(sender));
    time_text(when, sizeof(when), time);
    log_debug(DBG_STATISTICS, "%s: L2_SYNC_REQ from %s, dt=%5.1fs\n", when, sender,
              static_cast<double>(dt) / 4294967296.0);

    if (drift < -static_cast<int64_t>(kTsOneSecond) || drift > static_cast<int64_t>(kTsOneSecond)) {
        char given[80];
        char clock[80];
        log_warning(
            "%s: L2_SYNC_REQ local given time and gettimeofday %s differs significantly "
            "dt=%5.3fms",
            time_text_hundredths(given, sizeof(given), time),
            time_text_hundredths(clock, sizeof(clock), now),
            static_cast<double>(drift) / 4294967.0);
    }
    if (body.n_slots < kSyncSlots) {
        body.slots[body.n_slots].uniq = ctx->uniq_id;
        body.slots[body.n_slots].time = time;
        body.n_slots++;
    } else {
        log_warning("%s: L2_SYNC_REQ: all slots are occupied", when);
    }
    (void)send_sync_rsp(ctx, msg, &body, time);
}

}  // namespace

void remote_reset_state() {
    last_frame_time = 0;
    last_frame_parity = 0;
    last_frame_df = 0;
    last_hello_time = 0;
    last_sync_rsp_time = 0;
    frames_dropped = 0;
    frames_since_hello = 0;
    l2_reader_clear(&reader);
    peer_gone = false;
}

int remote_connected(Context* ctx, TimeStamp time) {
    l2_reader_clear(&reader);
    peer_gone = false;
    return send_hello(ctx, time);
}

void remote_restart(Context*) {
    last_frame_time = 0;
    last_frame_parity = 0;
    last_frame_df = 0;
    last_sync_rsp_time = 0;
    // The next HELLO, stamped by the wall clock, may be earlier than the
    // last one when the clock stepped back: no second warning for the step.
    last_hello_time = 0;
    // Without a frame queued since the last HELLO the frames to come
    // increase on the connection as it is: no new one is needed.
    if (frames_since_hello > 0) link_cut();
    frames_since_hello = 0;
}

int send_hello(Context* ctx, TimeStamp time) {
    char when[80];
    time_text(when, sizeof(when), time);
    // The proxy needs its HELLO on every connection: an implausible time
    // (a board whose clock is not set yet) or one that went back is reported
    // and sent all the same.
    if (!ts_plausible(time))
        log_warning("%s: HELLO time outside the time window, sent anyway", when);
    if (!ts_later(time, last_hello_time)) {
        char before[80];
        log_warning("%s: HELLO time not later than the previous HELLO at %s, sent anyway", when,
                    time_text(before, sizeof(before), last_hello_time));
    }
    last_hello_time = time;
    // Frames already waiting go out behind this HELLO: they still count.
    if (link_queue()->count == 0) frames_since_hello = 0;

    uint8_t message[kL2HeaderBytes];
    l2_put_header(message, time, ctx->uniq_id, L2_OP_HELLO, 0);
    if (link_send_first(ctx, message) < 0) {
        log_warning("level-2 queue cannot take a hello message, not sent");
        return -1;
    }
    return 0;
}

int send_frame(Context* ctx, const uint8_t* frame, int length, const FrameInfo* info) {
    VX_ASSERT(kModule, length >= 1 && length <= 14);
    TimeStamp toa = info->toa;
    char when[80];
    time_text(when, sizeof(when), toa);
    if (!ts_plausible(toa)) {
        if (log_allowed(LINE_LINK_TIME_WINDOW))
            log_warning("%s: frame time 0x%08x.%08x outside the time window, not sent", when,
                        ts_seconds(toa), ts_fraction(toa));
        return 0;
    }
    int df = frame[0] >> 3;
    uint32_t parity = 0;  // the last three bytes, the third-last most significant
    for (int i = length >= 3 ? length - 3 : 0; i < length; i++) parity = parity << 8 | frame[i];

    if (ts_later(toa, last_frame_time)) {
        int64_t dt = ts_diff(toa, last_frame_time);
        if (dt < kTs56us && log_allowed(LINE_LINK_CLOSE)) {
            log_debug(DBG_STATISTICS,
                      "%s: is NOT minimal increasing by dt=56us >= %5.2fus (df=%d->%d)\n", when,
                      ts_to_us(dt), last_frame_df, df);
        }
        // The newest frame, even if it cannot be queued below.
        last_frame_time = toa;
        last_frame_parity = parity;
        last_frame_df = static_cast<uint8_t>(df);

        uint8_t message[kL2HeaderBytes + 14];
        l2_put_header(message, toa, ctx->uniq_id, df_to_op(df), static_cast<uint8_t>(length));
        memcpy(message + kL2HeaderBytes, frame, static_cast<size_t>(length));
        frames_since_hello++;
        return queue_message(ctx, message, "frame");
    }
    frames_dropped++;
    if (parity == last_frame_parity) {
        if (log_allowed(LINE_DUPLICATE_FRAME)) log_warning("%s: DUPLICATE FRAME ", when);
    } else if (log_allowed(LINE_STEPPING_BACK)) {
        log_warning("%s: STEPPING BACK in time %+5.2fus (%d:%4d)", when,
                    ts_to_us(ts_diff(toa, last_frame_time)), static_cast<int>(ctx->stats.n_blocks),
                    frames_dropped);
    }
    return 0;
}

namespace {

/// The result for a peer that has gone, by what of a message was left.
int gone_result_code() {
    bool in_body = false;
    if (!l2_reader_partial(&reader, &in_body)) return RF_NO_HEADER;
    return in_body ? RF_REOPEN : RF_NO_DATA;
}

/// read_frame; `may_read`: one read of the socket when no message is whole
/// (else only what the loop has read is looked at).
int next_frame(int fd, L2Message* msg, int* nlast, int64_t now_ms, bool may_read) {
    *nlast = -9;
    int result = l2_reader_next(&reader, msg, now_ms);
    if (result == RF_PARTIAL && !may_read && peer_gone) {
        *nlast = gone_result;
        return gone_result_code();
    }
    if (result == RF_PARTIAL && may_read) {
        const ssize_t n = recv(fd, reader.buf + reader.have,
                               static_cast<size_t>(l2_reader_room(&reader)), MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            return RF_PARTIAL;
        *nlast = static_cast<int>(n);
        if (n <= 0) return gone_result_code();  // closed by the peer, or failed
        l2_reader_took(&reader, static_cast<int>(n), now_ms);
        result = l2_reader_next(&reader, msg, now_ms);
    }
    if (result == RF_INCONSISTENT) {
        *nlast = kL2HeaderBytes - 4;  // the header after the magic
        log_warning("in frame ? protocol error in size %d", msg->length);
    }
    return result;
}

/// What process_frame does with read_frame's result: 0, or -1 (the
/// connection is to be closed) after its warnings.
int handle_result(Context* ctx, int result, const L2Message* msg, int nlast, int64_t now,
                  const TimeStamp* time);

/// The peer's bytes as the loop finds them readable: read until the socket
/// has no more or the reader is full; a close or reset is kept for
/// remote_check.
void receive(int fd, bool hung_up, int64_t now_ms) {
    while (!peer_gone && l2_reader_room(&reader) > 0) {
        const ssize_t n = recv(fd, reader.buf + reader.have,
                               static_cast<size_t>(l2_reader_room(&reader)), MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        if (n <= 0) {
            peer_gone = true;
            gone_result = static_cast<int32_t>(n);
            return;
        }
        l2_reader_took(&reader, static_cast<int>(n), now_ms);
    }
    // Shut down or reset with bytes left unread: gone all the same.
    if (hung_up && !peer_gone) {
        peer_gone = true;
        gone_result = 0;
    }
}

int remote_fill(pollfd* fds, int max, int64_t, int64_t* deadline_ms) {
    const Context* ctx = bound;
    if (ctx == nullptr || max < 1 || ctx->out_fd < 0 || !ctx->out_remote || peer_gone ||
        ctx->out_broken)
        return 0;
    if (reader.have > 0 && reader.since_ms + kIncompleteLimitMs < *deadline_ms)
        *deadline_ms = reader.since_ms + kIncompleteLimitMs;
    short events = POLLRDHUP;
    if (l2_reader_room(&reader) > 0) events |= POLLIN;
    fds[0] = pollfd{ctx->out_fd, events, 0};
    return 1;
}

void remote_serve(const pollfd* fds, int n, int64_t now_ms) {
    if (bound == nullptr || n < 1 || fds[0].revents == 0) return;
    receive(fds[0].fd, (fds[0].revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0, now_ms);
}

constexpr PollClient kRemoteClient = {remote_fill, remote_serve};

}  // namespace

int read_frame(int fd, L2Message* msg, int* nlast, int64_t now_ms) {
    return next_frame(fd, msg, nlast, now_ms, true);
}

const PollClient* remote_poll_client(Context* ctx) {
    bound = ctx;
    return &kRemoteClient;
}

int process_buffered_frame(Context* ctx, const TimeStamp* time) {
    if (ctx->out_fd < 0) return 0;
    if (ctx->out_broken) return -1;
    const int64_t now = monotonic_ms();
    L2Message msg;
    int nlast = -9;
    const int result = next_frame(ctx->out_fd, &msg, &nlast, now, false);
    return handle_result(ctx, result, &msg, nlast, now, time);
}

int remote_check(Context* ctx, int64_t now_ms) {
    if (ctx->out_fd < 0 || !ctx->out_remote || ctx->out_broken) return 0;
    if (!peer_gone && (reader.have == 0 || now_ms - reader.since_ms < kIncompleteLimitMs))
        return 0;
    // Whole messages still held are read first (they wait for a record);
    // the peer's end or the limit is what the driver acts on.
    const int result = peer_gone ? gone_result_code() : RF_PARTIAL;
    L2Message msg{};
    return handle_result(ctx, result, &msg, peer_gone ? gone_result : -9, now_ms, nullptr);
}

int send_sync_rsp(Context* ctx, const L2Message* request, const SyncBody* body, TimeStamp time) {
    VX_ASSERT(kModule, body->n_slots <= kSyncSlots);
    if (!ts_plausible(time)) {
        char when[80];
        log_warning("%s: L2_SYNC_REQ time 0x%08x.%08x outside the time window, not answered",
                    time_text(when, sizeof(when), time), ts_seconds(time), ts_fraction(time));
        return 0;
    }
    if (!ts_later(time, last_sync_rsp_time)) {
        char when[80];
        char before[80];
        log_warning("%s: L2_SYNC_REQ time not later than the last answer at %s, not answered",
                    time_text_hundredths(when, sizeof(when), time),
                    time_text_hundredths(before, sizeof(before), last_sync_rsp_time));
        return 0;
    }
    last_sync_rsp_time = time;

    uint8_t message[kSyncMessageBytes];
    l2_put_header(message, time, ctx->uniq_id, L2_OP_SYNC_RSP, kSyncBodyBytes);
    SyncBody answer = *body;
    answer.tag = request->body[0];
    sync_body_put(message + kL2HeaderBytes, answer);
    return queue_message(ctx, message, "sync-rsp");
}

int process_frame(Context* ctx, const TimeStamp* time) {
    const int fd = ctx->out_fd;
    if (fd < 0) return 0;  // between connections: nothing to read
    if (ctx->out_broken) return -1;
    const int64_t now = monotonic_ms();
    L2Message msg;
    int nlast = -9;
    const int result = read_frame(fd, &msg, &nlast, now);
    return handle_result(ctx, result, &msg, nlast, now, time);
}

namespace {

int handle_result(Context* ctx, int result, const L2Message* msg, int nlast, int64_t now,
                  const TimeStamp* time) {
    const char* url = ctx->out_url ? ctx->out_url : "(null)";
    switch (result) {
        case RF_NO_HEADER:
            log_warning("level-2 to %s, no header", url);
            break;
        case RF_NO_DATA:
            log_warning("level-2 to %s, no data", url);
            break;
        case RF_INCONSISTENT:
            log_warning("level-2 to %s, inconsistence frame (nlast=%d)", url, nlast);
            break;
        case RF_REOPEN:
            log_warning("level-2 to %s, reopen? (nlast=%d)", url, nlast);
            break;
        case RF_HUNT:
            log_debug(DBG_STATISTICS, ".hunt.");
            return 0;
        case RF_PARTIAL:
            // Nothing, or part of a message: it is taken when it is whole.
            if (reader.have == 0 || now - reader.since_ms < kIncompleteLimitMs) return 0;
            log_warning("level-2 to %s, message incomplete for %d s (%d bytes)", url,
                        kIncompleteLimitMs / 1000, static_cast<int>(reader.have));
            break;
        default:  // RF_OK
            if (msg->op == L2_OP_SYNC_REQ) {
                handle_sync_request(ctx, msg, *time);
            } else if (const char* name = l2_op_name(msg->op)) {
                log_info("got l2-frame op %s", name);
            } else {
                log_warning("got l2-frame with unnamed op %d (length %d), dropped", msg->op,
                            msg->length);
            }
            return 0;
    }
    log_warning("process_frame: read_frame() failed with inconsistent data");
    return -1;
}

}  // namespace
