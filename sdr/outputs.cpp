// The listening outputs of the command line (sdr/net_out does the work).
#include "sdr/outputs.h"

#include <cstring>

#include "sdr/client.h"
#include "sdr/event_loop.h"
#include "sdr/log.h"
#include "sdr/net_out.h"

namespace {

/// At the end of the process, the longest the clients are given to take
/// what is still waiting for them.
constexpr int64_t kFinishMs = 1000;

constexpr PollClient kOutputsClient = {net_out_poll_fill, net_out_poll_serve};

void open_output(NetOutKind kind, uint16_t port, const char* bind_address) {
    const int r = net_out_open(kind, port, bind_address);
    if (r < 0) {
        log_fatal("Cannot listen on %s port %u for the %s output (%s, %d)",
                  bind_address != nullptr ? bind_address : "every address",
                  static_cast<unsigned>(port), net_out_name(kind), strerror(-r), -r);
    }
    log_info("%s output: listening on %s port %u", net_out_name(kind),
             bind_address != nullptr ? bind_address : "every address",
             static_cast<unsigned>(port));
}

}  // namespace

void outputs_start(Context* ctx) {
    if (ctx->net_bo_port == 0 && ctx->net_ro_port == 0) return;
    if (ctx->net_bo_port != 0) open_output(NET_OUT_BEAST, ctx->net_bo_port, ctx->net_bind_address);
    if (ctx->net_ro_port != 0) open_output(NET_OUT_RAW, ctx->net_ro_port, ctx->net_bind_address);
    (void)event_loop_add(&kOutputsClient);
    ctx->frame_hook = outputs_frame;
}

void outputs_frame(Context* ctx, const uint8_t* frame, int length, TimeStamp toa, int32_t level) {
    (void)ctx;
    net_out_frame(frame, length, toa, level);
}

void outputs_report() {
    net_out_report();
}

void outputs_finish() {
    if (!net_out_is_open(NET_OUT_BEAST) && !net_out_is_open(NET_OUT_RAW)) return;
    const int64_t until = monotonic_ms() + kFinishMs;
    while (net_out_unsent() != 0 && monotonic_ms() < until) event_loop_turn(until);
    net_out_close_all();
}
