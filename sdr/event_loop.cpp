// A turn builds the poll set afresh from the registered clients (a few
// entries: nothing to keep in step), waits, and serves them in order.
#include "sdr/event_loop.h"

#include <errno.h>
#include <signal.h>

#include <cstring>

#include "sdr/client.h"
#include "sdr/log.h"

namespace {

constexpr char kModule[] = "sdr/event_loop";

struct LoopState {
    const PollClient* clients[kLoopClients];
    int32_t n_clients;
    uint64_t polls;
};
constinit LoopState loop{};

// Counted by the handler, compared by the loop: a SIGPIPE raised while the
// warning itself is written (to a log stream that is gone) is taken as part
// of the same event.
volatile sig_atomic_t sigpipe_count = 0;
constinit sig_atomic_t sigpipe_seen = 0;

void on_sigpipe(int) {
    sigpipe_count = sigpipe_count + 1;
}

}  // namespace

int event_loop_add(const PollClient* client) {
    for (int i = 0; i < loop.n_clients; i++)
        if (loop.clients[i] == client) return 0;
    if (loop.n_clients >= kLoopClients) return -1;
    loop.clients[loop.n_clients++] = client;
    return 0;
}

void event_loop_remove(const PollClient* client) {
    for (int i = 0; i < loop.n_clients; i++) {
        if (loop.clients[i] != client) continue;
        for (int j = i + 1; j < loop.n_clients; j++) loop.clients[j - 1] = loop.clients[j];
        loop.n_clients--;
        return;
    }
}

int event_loop_turn(int64_t deadline_ms) {
    pollfd fds[kLoopDescriptors];
    int first[kLoopClients + 1];
    int64_t now = monotonic_ms();
    int64_t deadline = deadline_ms;
    int n = 0;
    for (int i = 0; i < loop.n_clients; i++) {
        first[i] = n;
        const int got = loop.clients[i]->fill(fds + n, kLoopDescriptors - n, now, &deadline);
        VX_ASSERT(kModule, got >= 0 && got <= kLoopDescriptors - n);
        n += got;
    }
    first[loop.n_clients] = n;
    int64_t wait = deadline <= now ? 0 : deadline - now;
    if (wait > 60000) wait = 60000;  // a turn at least once a minute
    loop.polls++;
    int ready = poll(fds, static_cast<nfds_t>(n), static_cast<int>(wait));
    if (ready < 0) {
        if (errno != EINTR) log_fatal("poll() failed (%s, %d)", strerror(errno), errno);
        ready = 0;
        for (int i = 0; i < n; i++) fds[i].revents = 0;
    }
    if (wait > 0) now = monotonic_ms();
    // A client removed while serving (the driver ends an attempt) shifts
    // the table: serve from a copy.
    const PollClient* clients[kLoopClients];
    const int n_clients = loop.n_clients;
    for (int i = 0; i < n_clients; i++) clients[i] = loop.clients[i];
    for (int i = 0; i < n_clients; i++)
        clients[i]->serve(fds + first[i], first[i + 1] - first[i], now);
    event_loop_note_signals();
    return ready;
}

void event_loop_signals() {
    struct sigaction action {};
    action.sa_handler = on_sigpipe;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGPIPE, &action, nullptr);
}

void event_loop_note_signals() {
    if (sigpipe_count == sigpipe_seen) return;
    log_warning("manually ignore SIGPIPE\n");
    sigpipe_seen = sigpipe_count;
}

uint64_t event_loop_polls() {
    return loop.polls;
}
