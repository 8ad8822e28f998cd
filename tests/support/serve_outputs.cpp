#include "tests/support/serve_outputs.h"

#include <poll.h>

#include "sdr/net_out.h"

void OutputLoop::round(int wait_ms) {
    pollfd fds[kNetPollMax];
    int64_t deadline = INT64_MAX;
    const int n = net_out_poll_fill(fds, kNetPollMax, now_ms, &deadline);
    (void)poll(fds, static_cast<nfds_t>(n), wait_ms);
    net_out_poll_serve(fds, n, now_ms);
    now_ms += kNetFlushLateMs;  // every pending write is due
}

bool OutputLoop::until(const std::function<bool()>& done, int limit) {
    for (int i = 0; i < limit; i++) {
        if (done()) return true;
        round();
    }
    return done();
}
