// The listening outputs as the service runs them: the Beast binary and raw
// ports of the command line, opened once at start-up and fed with every
// frame the frame check passes.
//
// Owns nothing but the loop registration; the sockets, rings and clients
// are sdr/net_out's. Promises: without --net-bo-port and --net-ro-port
// nothing listens and ctx->frame_hook stays null, so the service runs as
// it would without this module; with them the ports are bound before the
// start-up delay and stay open across attempts, served by the one event
// loop (during the delay and the back-off too), and a port that cannot be
// bound ends the process at start-up with the system's reason.
#pragma once

#include <cstdint>

#include "include/context.h"

/// Opens the outputs ctx's options ask for (ctx->net_bo_port,
/// ctx->net_ro_port, ctx->net_bind_address), puts them into the event loop
/// and sets ctx->frame_hook. A port that cannot be listened on is a fatal
/// line ("Cannot listen on every address port 30005 for the Beast output
/// (Address already in use, 98)"), exit status 1. Call once, before the
/// start-up delay.
void outputs_start(Context* ctx);

/// The frame hook: one frame the check passed (7 or 14 bytes) out on both
/// outputs, time-stamped from `toa`, its signal byte from `level`.
void outputs_frame(Context* ctx, const uint8_t* frame, int length, TimeStamp toa, int32_t level);

/// The outputs' line in the statistics report (nothing when none is open).
void outputs_report();

/// At the end of the process: the clients are served until they have every
/// frame sent (at most a second; one that takes nothing is not waited for
/// longer), then the outputs are closed. Nothing when none is open.
void outputs_finish();
