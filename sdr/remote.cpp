// The level-2 link. Every message leaves through one write_all call: the
// 20-byte header and its body together. The frame filter keeps the frames
// that reach the proxy in strictly increasing time order; its state, like
// the HELLO and sync ordering state, lives for the whole run.
#include "sdr/remote.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "include/uniq.h"
#include "sdr/log_limit.h"
#include "sdr/radio.h"

namespace {

constexpr char kModule[] = "sdr/remote";
constexpr int kHostMax = 62;  // characters of the host part, at most

constinit ClientConn client{};
constinit bool local_file_opened = false;  // the first open of the run truncates

// Frame filter and ordering state: zero at start, kept across reconnections.
constinit TimeStamp last_frame_time = 0;
constinit uint32_t last_frame_parity = 0;  // last three bytes of the newest frame
constinit uint8_t last_frame_df = 0;
constinit TimeStamp last_hello_time = 0;
constinit TimeStamp last_sync_rsp_time = 0;
constinit int32_t frames_dropped = 0;  // frames the filter has dropped since start

/// a later than b, the whole 64-bit values compared with the seconds signed.
bool ts_later(TimeStamp a, TimeStamp b) {
    return static_cast<int64_t>(a) > static_cast<int64_t>(b);
}

double ts_to_us(int64_t dt) {
    return static_cast<double>(dt) / 4294.967296;
}

bool set_int_option(int fd, int level, int name, int value) {
    return setsockopt(fd, level, name, &value, sizeof(value)) == 0;
}

void release_addresses() {
    if (client.addr_list != nullptr) freeaddrinfo(client.addr_list);
    client.addr_list = nullptr;
}

ClientConn* open_local_file(const char* path) {
    client.remote_peer = 0;
    int flags = O_RDWR | O_CREAT | (local_file_opened ? O_APPEND : O_TRUNC);
    int fd = open(path, flags, 0644);
    if (fd < 0) log_fatal("Cannot open local file %s", path);
    local_file_opened = true;
    client.fd = fd;
    return &client;
}

/// Writes one whole message; on failure logs "socket failed in write <what>"
/// and marks the output broken.
int write_message(Context* ctx, const uint8_t* message, int count, const char* what) {
    if (write_all(ctx->out_fd, message, count) < 0) {
        int err = errno;
        log_warning("socket failed in write %s (%s, %d)", what, strerror(err), err);
        ctx->out_broken = 1;
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
    local_file_opened = false;
}

int resolve_peer(ClientConn* conn) {
    struct addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = 0;
    hints.ai_flags = 0;
    conn->addr_list = nullptr;
    return getaddrinfo(conn->host, conn->port, &hints, &conn->addr_list);
}

ClientConn* init_client(const char* url) {
    release_addresses();
    memset(&client, 0, sizeof(client));
    client.fd = -1;
    client.remote_peer = 1;

    if (url == nullptr) {
        log_info("Set client file descriptor = 1");
        client.fd = 1;
        client.remote_peer = 0;
        return &client;
    }
    const char* colon = strchr(url, ':');
    if (colon == nullptr) return open_local_file(url);

    size_t host_len = static_cast<size_t>(colon - url);
    if (host_len > kHostMax) log_fatal("sorry, cannot process url %s (host part is too long)", url);
    memcpy(client.host, url, host_len);
    client.host[host_len] = '\0';
    strncpy(client.port, colon + 1, sizeof(client.port));
    client.port[sizeof(client.port) - 1] = '\0';  // at most 7 characters remain

    int rc = resolve_peer(&client);
    if (rc != 0) {
        log_warning("getaddrinfo (%s, %s, ...): %s", client.host, client.port, gai_strerror(rc));
        client.addr_list = nullptr;
    }

    bool connected = false;
    for (const addrinfo* ai = client.addr_list; ai != nullptr; ai = ai->ai_next) {
        client.fd = socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
        if (client.fd < 0) continue;
        int fd = client.fd;
        if (!set_int_option(fd, SOL_SOCKET, SO_KEEPALIVE, 1))
            log_fatal("Cannot enable keepalive i/o on fd %d (%s)", fd, strerror(errno));
        struct timeval receive_timeout = {kReceiveTimeoutSeconds, 0};
        if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &receive_timeout, sizeof(receive_timeout)) < 0)
            log_fatal("Cannot enable receive timeout on fd %d (%s)", fd, strerror(errno));
        if (!set_int_option(fd, IPPROTO_TCP, TCP_KEEPIDLE, 30))  // seconds of silence
            log_fatal("Cannot set time to first keepalive on fd %d (%s)", fd, strerror(errno));
        if (!set_int_option(fd, IPPROTO_TCP, TCP_KEEPINTVL, 30))  // seconds between probes
            log_fatal("Cannot set keepalive interval on fd %d (%s)", fd, strerror(errno));
        if (!set_int_option(fd, IPPROTO_TCP, TCP_KEEPCNT, 4))
            log_fatal("Cannot set number of keepalives before disconnect on fd %d (%s)", fd,
                      strerror(errno));
        if (!set_int_option(fd, IPPROTO_TCP, TCP_NODELAY, 1))
            log_fatal("Cannot set NODELY on fd %d (%s)", fd, strerror(errno));
        // A peer that stops reading must not hold a write for ever.
        struct timeval send_timeout = {kSendTimeoutSeconds, 0};
        if (setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &send_timeout, sizeof(send_timeout)) < 0)
            log_fatal("Cannot enable send timeout on fd %d (%s)", fd, strerror(errno));

        if (connect(fd, ai->ai_addr, ai->ai_addrlen) == 0 || errno == EINPROGRESS) {
            connected = true;
            break;
        }
        int err = errno;
        const uint8_t* sa = reinterpret_cast<const uint8_t*>(ai->ai_addr);
        log_warning("Connect failed on fd %d 0x%02x%02x%02x%02x (%d, %s)", fd, sa[5], sa[4], sa[3],
                    sa[2], static_cast<int>(ai->ai_addrlen), strerror(err));
        close(fd);
        client.fd = -1;
    }
    release_addresses();

    if (!connected) {
        log_warning("Connect failed on all instances of %s", url);
        if (client.fd >= 0) close(client.fd);
        client.fd = -1;
        return nullptr;
    }

    int keepalive = 0;
    socklen_t size = sizeof(keepalive);
    if (getsockopt(client.fd, SOL_SOCKET, SO_KEEPALIVE, &keepalive, &size) < 0)
        log_fatal("init_client: getsockopt (%d, SO_KEEPALIVE) failed %s (%d)\n", client.fd,
                  strerror(errno), errno);
    if (keepalive == 0)
        log_fatal("init_client: getsockopt (%d, SO_KEEPALIVE) is OFF !\n", client.fd);
    return &client;
}

int write_all(int fd, const uint8_t* buffer, int count) {
    // One deadline per message: a write that the send time-out cut short
    // returns what the peer took so far, and a fresh time-out for every rest
    // would let a peer that reads a few bytes now and then hold the service
    // for ever. A short write once the deadline has passed fails the message.
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    int done = 0;
    while (done < count) {
        ssize_t n = write(fd, buffer + done, static_cast<size_t>(count - done));
        if (n < 0) return static_cast<int>(n);
        if (n == 0) {
            // No progress and no error: fail rather than spin.
            errno = EIO;
            return -1;
        }
        done += static_cast<int>(n);
        if (done < count) {
            struct timespec now;
            clock_gettime(CLOCK_MONOTONIC, &now);
            if (now.tv_sec - start.tv_sec >= kSendTimeoutSeconds) {
                errno = ETIMEDOUT;
                return -1;
            }
        }
    }
    return done;
}

int send_hello(Context* ctx, TimeStamp time) {
    if (ctx->out_broken) return -1;
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

    uint8_t message[kL2HeaderBytes];
    l2_put_header(message, time, ctx->uniq_id, L2_OP_HELLO, 0);
    return write_message(ctx, message, kL2HeaderBytes, "hello");
}

int send_frame(Context* ctx, const uint8_t* frame, int length, const FrameInfo* info) {
    VX_ASSERT(kModule, length >= 1 && length <= 14);
    if (ctx->out_broken) return -1;
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
        // The newest frame, even if its write fails below.
        last_frame_time = toa;
        last_frame_parity = parity;
        last_frame_df = static_cast<uint8_t>(df);

        uint8_t message[kL2HeaderBytes + 14];
        l2_put_header(message, toa, ctx->uniq_id, df_to_op(df), static_cast<uint8_t>(length));
        memcpy(message + kL2HeaderBytes, frame, static_cast<size_t>(length));
        return write_message(ctx, message, kL2HeaderBytes + length, "frame");
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

int read_exact(int fd, uint8_t* buffer, int count) {
    int total = 0;
    for (int attempt = 0; attempt < kReadAttempts; attempt++) {
        errno = 0;
        ssize_t n = read(fd, buffer + total, static_cast<size_t>(count - total));
        if (n > 0) {
            total += static_cast<int>(n);
            if (total >= count) return count;
            continue;
        }
        // Closed by the peer (0, no error), interrupted, or the receive
        // time-out ran out: this attempt is spent.
        if (errno == 0 || errno == EINTR || errno == EAGAIN) continue;
        return static_cast<int>(n);
    }
    errno = ETIMEDOUT;
    return -1;
}

int read_frame(int fd, L2Message* msg, int* nlast) {
    *nlast = -9;
    uint8_t header[kL2HeaderBytes];
    int n = read_exact(fd, header, 1);
    *nlast = n;
    if (n != 1) return RF_NO_HEADER;
    if (header[0] != kL2Magic[0]) return RF_HUNT;
    for (int i = 1; i < 4; i++) {
        n = read_exact(fd, header + i, 1);
        *nlast = n;
        if (n != 1) return RF_NO_DATA;
        if (header[i] != kL2Magic[i]) return RF_HUNT;  // the byte is consumed
    }
    n = read_exact(fd, header + 4, kL2HeaderBytes - 4);
    *nlast = n;
    if (n != kL2HeaderBytes - 4) return RF_NO_DATA;
    l2_get_header(header, msg);
    if (msg->length > kL2MaxBody) {
        log_warning("in frame ? protocol error in size %d", msg->length);
        return RF_INCONSISTENT;
    }
    if (msg->length != 0) {
        n = read_exact(fd, msg->body, msg->length);
        *nlast = n;
        if (n <= 0) return RF_REOPEN;
    }
    return RF_OK;
}

int send_sync_rsp(Context* ctx, const L2Message* request, const SyncBody* body, TimeStamp time) {
    VX_ASSERT(kModule, body->n_slots <= kSyncSlots);
    if (ctx->out_broken) return -1;
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
    return write_message(ctx, message, kSyncMessageBytes, "sync-rsp");
}

int process_frame(Context* ctx, const TimeStamp* time) {
    int fd = ctx->out_fd;
    VX_ASSERT(kModule, fd > 0 && fd < FD_SETSIZE);
    if (ctx->out_broken) return -1;

    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(fd, &readable);
    struct timeval no_wait = {0, 0};
    int ret = select(fd + 1, &readable, nullptr, nullptr, &no_wait);
    if (ret < 0) {
        int err = errno;
        if (err == EINTR || err == EAGAIN) return 0;
        if (err == ECHILD) {
            log_warning("select() failed with ret=%d and errno=%d (%s)", -1, err, strerror(err));
            return 0;
        }
        log_fatal("select() failed with ret=%d and errno=%d (%s)", -1, err, strerror(err));
    }
    if (ret == 0 || !FD_ISSET(fd, &readable)) return 0;

    L2Message msg;
    int nlast = -9;
    int result = read_frame(fd, &msg, &nlast);
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
        default:  // RF_OK
            if (msg.op == L2_OP_SYNC_REQ) {
                handle_sync_request(ctx, &msg, *time);
            } else if (const char* name = l2_op_name(msg.op)) {
                log_info("got l2-frame op %s", name);
            } else {
                log_warning("got l2-frame with unnamed op %d (length %d), dropped", msg.op,
                            msg.length);
            }
            return 0;
    }
    log_warning("process_frame: read_frame() failed with inconsistent data");
    return -1;
}
