// The connection and the outgoing queue. The socket is non-blocking from
// its creation: connect() returns at once with the connect in progress,
// and every write takes what the socket's buffer has room for. Messages are
// written from the queue only, so a message is always written whole before
// the next one begins, even across many partial writes.
#include "sdr/link.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "include/level2.h"
#include "lib/routing.h"
#include "sdr/client.h"
#include "sdr/log.h"
#include "sdr/resolver.h"

namespace {

enum Phase : int32_t { kClosed, kConnecting, kOpen, kResolving };

constexpr int kMaxEvents = 4;

struct LinkState {
    int32_t phase;          ///< kClosed: no connection of the link's own (standard output
                            ///< without -o, or between connections)
    bool wait;              ///< file input: full queue and connect wait
    bool owns_fd;           ///< out_fd was opened here
    bool is_socket;         ///< out_fd is a TCP socket: written with MSG_NOSIGNAL
    bool healthy_said;      ///< LINK_HEALTHY reported for this connection
    int64_t progress_ms;    ///< last time the output took bytes or had none to take
    int64_t opened_ms;      ///< when the connection was made
    uint64_t frames_at_open;  ///< the queue's frames written when it was made
    int64_t resolve_deadline_ms;  ///< a resolution not answered by then fails
    int64_t wait_us_max;    ///< longest link work of one turn since the last report
    int64_t wait_us_run;    ///< longest since start
    int32_t n_events;       ///< events for link_take_event, oldest first
    int32_t events[kMaxEvents];
};

constinit LinkState state{};
constinit Context* bound = nullptr;  // the context of the loop's calls
constinit bool stdout_is_socket = false;
constinit bool stdout_limited = false;  // standard output's stall limit applies (link_stdout_limit)

/// A destination that takes nothing for 30 s is given up; standard output
/// is waited for (a file input) or its oldest frames dropped (a live one),
/// unless the driver asks for the limit.
bool stall_limited(const Context* ctx) {
    return ctx->out_url != nullptr || stdout_limited;
}
constinit SendQueue queue{};
// The connection record of sdr/client.
ClientConn& cl() {
    return *client_conn();
}

/// Writes what the output takes and watches for a stalled peer. -1 when
/// the output failed.
int flush(Context* ctx, int64_t now_ms) {
    uint32_t written = 0;
    if (sendq_flush(&queue, ctx->out_fd, &written, state.is_socket) < 0) {
        const int err = errno;
        const int op = sendq_head_op(&queue);
        const char* what = op == L2_OP_HELLO      ? "hello"
                           : op == L2_OP_SYNC_RSP ? "sync-rsp"
                                                  : "frame";
        log_warning("socket failed in write %s (%s, %d)", what, strerror(err), err);
        ctx->out_broken = 1;
        return -1;
    }
    if (written > 0 || sendq_pending(&queue) == 0) {
        state.progress_ms = now_ms;
    } else if (stall_limited(ctx) && now_ms - state.progress_ms >= kStallLimitMs) {
        log_warning("level-2 to %s took no bytes for %d s, %u messages waiting",
                    ctx->out_url != nullptr ? ctx->out_url : "standard output",
                    kStallLimitMs / 1000, queue.count);
        ctx->out_broken = 1;
        return -1;
    }
    return 0;
}

void opened(Context* ctx, int64_t now_ms) {
    ctx->out_fd = cl().fd;
    state.phase = kOpen;
    state.progress_ms = now_ms;
    state.opened_ms = now_ms;
    state.is_socket = cl().remote_peer != 0;
    state.healthy_said = false;
    state.frames_at_open = queue.frames_written;
    // A cut with nothing in front of it has nothing left to separate.
    if (sendq_at_cut(&queue)) sendq_clear_cut(&queue);
    sendq_new_connection(&queue);
}

}  // namespace

namespace {

void push_event(int event) {
    if (state.n_events < kMaxEvents) state.events[state.n_events++] = event;
}

/// Starts connecting to the addresses in cl().addr_list: 1 open, 0
/// connecting, -1 none connected.
int connect_listed(Context* ctx, int64_t now_ms) {
    cl().next = cl().addr_list;
    if (client_try_next(now_ms) < 0) {
        ctx->out_fd = -1;
        state.phase = kClosed;
        return -1;
    }
    state.owns_fd = true;
    if (cl().connecting) {
        state.phase = kConnecting;
        return 0;
    }
    opened(ctx, now_ms);
    return 1;
}

/// A TCP destination: the addresses of this attempt, a numeric address,
/// or a question to the resolver thread (kResolving until it answers).
int open_peer(Context* ctx, int64_t now_ms) {
    if (cl().addr_list == nullptr) {
        addrinfo* list = nullptr;
        if (resolver_numeric(cl().host, cl().port, &list) == 0) {
            cl().addr_list = list;
            client_keep_addresses(true);
        } else {
            if (resolver_ask(cl().host, cl().port) < 0) {
                // No thread: the question is asked here.
                const int rc = resolve_peer(&cl());
                if (rc != 0) {
                    log_warning("getaddrinfo (%s, %s, ...): %s", cl().host, cl().port,
                                gai_strerror(rc));
                    cl().addr_list = nullptr;
                }
                client_keep_addresses(cl().addr_list != nullptr);
                return connect_listed(ctx, now_ms);
            }
            state.phase = kResolving;
            state.resolve_deadline_ms = now_ms + kResolveTimeoutMs;
            return 0;
        }
    }
    return connect_listed(ctx, now_ms);
}

/// The resolver answered (or its time ran out): connect, or fail.
void resolved(Context* ctx, int64_t now_ms, bool timed_out) {
    int rc = 0;
    addrinfo* list = nullptr;
    if (timed_out) {
        log_warning("getaddrinfo (%s, %s, ...): no answer within %d s", cl().host, cl().port,
                    kResolveTimeoutMs / 1000);
        state.phase = kClosed;
        push_event(LINK_NO_CONNECTION);
        return;
    }
    if (!resolver_take(&rc, &list)) return;
    if (rc != 0) {
        log_warning("getaddrinfo (%s, %s, ...): %s", cl().host, cl().port, gai_strerror(rc));
        list = nullptr;
    }
    cl().addr_list = list;
    client_keep_addresses(list != nullptr);
    const int r = connect_listed(ctx, now_ms);
    if (r != 0) push_event(r > 0 ? LINK_CONNECTED : LINK_NO_CONNECTION);
}

/// A connection that carried frames for a minute is sound: its failures
/// are forgotten.
void check_healthy(int64_t now_ms) {
    if (state.phase != kOpen || !cl().remote_peer || state.healthy_said) return;
    if (now_ms - state.opened_ms < kHealthyMs || queue.frames_written == state.frames_at_open)
        return;
    state.healthy_said = true;
    push_event(LINK_HEALTHY);
}

/// Everything in front of a cut is out: a new connection for the rest.
void reopen_at_cut(Context* ctx, int64_t now_ms) {
    sendq_clear_cut(&queue);
    if (state.phase != kOpen || !cl().remote_peer) return;
    link_close(ctx, false);
    const int r = link_open(ctx, state.wait, now_ms);
    if (r < 0) push_event(LINK_NO_CONNECTION);
    if (r > 0) push_event(LINK_CONNECTED);
}

/// The connect in progress: 1 made, 0 still going, -1 failed.
void follow_connect(Context* ctx, int64_t now_ms) {
    const int r = client_progress(&cl(), now_ms, 0);
    if (r == 0) return;
    if (r < 0) {
        state.phase = kClosed;
        push_event(LINK_NO_CONNECTION);
        return;
    }
    opened(ctx, now_ms);
    push_event(LINK_CONNECTED);
}

/// Writes what the output takes (`writable`: poll said so) and watches for
/// a stalled peer; at a cut, the connection is made anew.
void serve_open(Context* ctx, int64_t now_ms, bool writable) {
    if (ctx->out_fd < 0) return;
    if (ctx->out_broken) return;
    if (writable) {
        if (flush(ctx, now_ms) < 0) {
            push_event(LINK_BROKEN);
            return;
        }
    } else if (sendq_pending(&queue) > 0 && stall_limited(ctx) &&
               now_ms - state.progress_ms >= kStallLimitMs) {
        // Nothing taken for the limit: flush tries once more and says so.
        if (flush(ctx, now_ms) < 0) {
            push_event(LINK_BROKEN);
            return;
        }
    } else if (sendq_pending(&queue) == 0) {
        state.progress_ms = now_ms;
    }
    if (sendq_at_cut(&queue)) reopen_at_cut(ctx, now_ms);
    check_healthy(now_ms);
}

int link_fill(pollfd* fds, int max, int64_t now_ms, int64_t* deadline_ms) {
    Context* ctx = bound;
    if (ctx == nullptr || max < 1) return 0;
    (void)now_ms;
    auto lower = [deadline_ms](int64_t t) {
        if (t < *deadline_ms) *deadline_ms = t;
    };
    if (state.phase == kResolving) {
        lower(state.resolve_deadline_ms);
        fds[0] = pollfd{resolver_fd(), POLLIN, 0};
        return 1;
    }
    if (state.phase == kConnecting) {
        lower(cl().deadline_ms);
        fds[0] = pollfd{cl().fd, POLLOUT, 0};
        return 1;
    }
    if (ctx->out_fd < 0 || ctx->out_broken) return 0;
    if (state.phase == kOpen && cl().remote_peer && !state.healthy_said &&
        queue.frames_written != state.frames_at_open)
        lower(state.opened_ms + kHealthyMs);
    if (sendq_pending(&queue) == 0 && !sendq_at_cut(&queue)) return 0;
    if (stall_limited(ctx)) lower(state.progress_ms + kStallLimitMs);
    fds[0] = pollfd{ctx->out_fd, POLLOUT, 0};
    return 1;
}

void link_serve(const pollfd* fds, int n, int64_t now_ms) {
    Context* ctx = bound;
    if (ctx == nullptr) return;
    const int64_t start_us = monotonic_us();
    const short revents = n > 0 ? fds[0].revents : 0;
    if (state.phase == kResolving) {
        if (revents != 0) resolved(ctx, now_ms, false);
        else if (now_ms >= state.resolve_deadline_ms) resolved(ctx, now_ms, true);
    } else if (state.phase == kConnecting) {
        if (revents != 0 || now_ms >= cl().deadline_ms) follow_connect(ctx, now_ms);
    } else {
        serve_open(ctx, now_ms, (revents & (POLLOUT | POLLERR | POLLHUP)) != 0);
    }
    if (revents != 0) link_note_wait(monotonic_us() - start_us);
}

constexpr PollClient kLinkClient = {link_fill, link_serve};

}  // namespace

int link_use_stdout(Context* ctx, int64_t now_ms) {
    static constinit int stdout_fd = -1;
    if (stdout_fd < 0) {
        // A pipe or a terminal is opened anew, non-blocking, so that a reader
        // that stops never stops the service (the flag set on descriptor 1
        // itself would change it for every other holder, the shell
        // included); a regular file never blocks; a socket takes
        // MSG_DONTWAIT.
        struct stat st;
        stdout_fd = 1;
        if (fstat(1, &st) == 0 && (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode))) {
            const int fd = open("/proc/self/fd/1", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd >= 0) stdout_fd = fd;
        }
        stdout_is_socket = fstat(1, &st) == 0 && S_ISSOCK(st.st_mode);
    }
    ctx->out_fd = stdout_fd;
    state.is_socket = stdout_is_socket;
    state.progress_ms = now_ms;
    return stdout_fd;
}

void link_stdout_limit(bool limited) {
    stdout_limited = limited;
}

const PollClient* link_poll_client(Context* ctx) {
    bound = ctx;
    return &kLinkClient;
}

int link_take_event() {
    if (state.n_events == 0) return LINK_OK;
    const int event = state.events[0];
    for (int i = 1; i < state.n_events; i++) state.events[i - 1] = state.events[i];
    state.n_events--;
    return event;
}

void link_forget_addresses() {
    if (state.phase == kClosed) client_release_addresses();
    client_keep_addresses(false);
}

int link_open(Context* ctx, bool wait, int64_t now_ms) {
    state.phase = kClosed;
    state.wait = wait;
    state.n_events = 0;
    if (ctx->out_url == nullptr || strchr(ctx->out_url, ':') == nullptr) {
        ClientConn* c = client_start(ctx->out_url, now_ms);
        state.owns_fd = ctx->out_url != nullptr;
        ctx->out_remote = c->remote_peer;
        opened(ctx, now_ms);
        return 1;
    }
    // A TCP peer: the addresses of this attempt are kept for its
    // reconnections.
    (void)client_prepare_peer(ctx->out_url);
    ctx->out_remote = 1;
    ctx->out_fd = -1;
    const int r = open_peer(ctx, now_ms);
    if (r > 0 || state.phase != kResolving) return r;
    if (!wait) return 0;
    // Waiting callers (tests, the synchronous API) wait for the answer.
    while (state.phase == kResolving) {
        pollfd p = {resolver_fd(), POLLIN, 0};
        (void)poll(&p, 1, 100);
        link_serve(&p, 1, monotonic_ms());
    }
    return link_take_event() == LINK_CONNECTED ? 1 : (state.phase == kConnecting ? 0 : -1);
}

int link_service(Context* ctx, int64_t now_ms) {
    bound = ctx;
    if (state.phase != kResolving && state.phase != kConnecting && ctx->out_fd >= 0 &&
        ctx->out_broken)
        return LINK_BROKEN;
    if (state.phase == kResolving || state.phase == kConnecting) {
        pollfd p = {state.phase == kResolving ? resolver_fd() : cl().fd,
                    static_cast<short>(state.phase == kResolving ? POLLIN : POLLOUT), 0};
        (void)poll(&p, 1, 0);
        link_serve(&p, 1, now_ms);
    } else {
        serve_open(ctx, now_ms, true);
    }
    int event = link_take_event();
    if (event == LINK_HEALTHY) event = link_take_event();
    return event;
}

bool link_busy(const Context* ctx) {
    return state.phase == kConnecting || state.phase == kResolving || (ctx->out_fd >= 0 && sendq_pending(&queue) > 0);
}

void link_wait(const Context* ctx, int ms) {
    if (state.phase == kResolving) {
        pollfd p = {resolver_fd(), POLLIN, 0};
        (void)poll(&p, 1, ms);
        return;
    }
    const int fd = state.phase == kConnecting ? cl().fd : ctx->out_fd;
    if (fd < 0) return;
    pollfd p = {fd, POLLOUT, 0};
    (void)poll(&p, 1, ms);
}

void link_close(Context* ctx, bool failed) {
    state.n_events = 0;
    const int fd = state.phase == kConnecting ? cl().fd : state.phase == kResolving ? -1 : ctx->out_fd;
    if (state.owns_fd && fd >= 0) {
        if (failed && cl().remote_peer) {
            // Reset: what the kernel still holds for a failed peer is lost
            // anyway, and the socket goes at once instead of lingering.
            struct linger reset = {1, 0};
            setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
        }
        close(fd);
    }
    if (state.owns_fd) ctx->out_fd = -1;
    client_done_with_addresses();
    cl().fd = -1;
    cl().connecting = 0;
    state.owns_fd = false;
    state.phase = kClosed;
}

int link_send(Context* ctx, const uint8_t* message) {
    const uint32_t len = static_cast<uint32_t>(kL2HeaderBytes) + message[19];
    // A file input waits for room rather than drop: its samples do not run away.
    while (state.wait && state.phase == kOpen && !ctx->out_broken &&
           kSendQueueBytes - queue.used < len) {
        if (flush(ctx, monotonic_ms()) < 0) break;
        if (kSendQueueBytes - queue.used < len) link_wait(ctx, 1000);
    }
    return sendq_push(&queue, message);
}

int link_send_first(Context*, const uint8_t* message) {
    return sendq_push_front(&queue, message);
}

void link_cut() {
    sendq_set_cut(&queue);
}

uint32_t link_peer_address(const Context* ctx) {
    const addrinfo* ai = cl().current;
    if (cl().connecting && ai != nullptr && ai->ai_family == AF_INET)
        return reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr.s_addr;
    return ctx->out_fd >= 0 && cl().remote_peer ? peer_ipv4_address(ctx->out_fd) : 0;
}

void link_note_wait(int64_t us) {
    if (us > state.wait_us_max) state.wait_us_max = us;
    if (us > state.wait_us_run) state.wait_us_run = us;
}

void link_report(const Context* ctx) {
    if (queue.dropped_frames > 0 || queue.dropped_other > 0) {
        log_warning("level-2 to %s: queue full, %u frames and %u answers dropped since the last "
                    "report",
                    ctx->out_url != nullptr ? ctx->out_url : "standard output",
                    queue.dropped_frames, queue.dropped_other);
    }
    if (ctx->out_url == nullptr) {  // standard output: no line of its own
        queue.dropped_frames = 0;
        queue.dropped_other = 0;
        return;
    }
    static constexpr const char* kPhaseNames[] = {"closed", "connecting", "open", "resolving"};
    log_debug(DBG_STATISTICS,
              "link: %s, %u messages waiting (%u bytes), %u frames dropped, longest wait "
              "%lld.%03lld ms (%lld.%03lld ms since start)\n",
              kPhaseNames[state.phase], queue.count, queue.used, queue.dropped_frames,
              static_cast<long long>(state.wait_us_max / 1000),
              static_cast<long long>(state.wait_us_max % 1000),
              static_cast<long long>(state.wait_us_run / 1000),
              static_cast<long long>(state.wait_us_run % 1000));
    queue.dropped_frames = 0;
    queue.dropped_other = 0;
    state.wait_us_max = 0;
}

SendQueue* link_queue() {
    return &queue;
}

void link_reset() {
    client_reset();
    bound = nullptr;
    state = LinkState{};
    sendq_clear(&queue);
}
