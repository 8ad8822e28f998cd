// The destination of the level-2 messages: the connection to the proxy (or
// a local file, or standard output) and the queue of whole messages in front
// of it. Nothing here waits on the network unless the caller asks it to: the
// socket is non-blocking, a connect goes on while the caller works, and the
// queue is written whenever the socket takes bytes.
//
// With a live input the driver never waits: a connection that fails is
// closed, frames collect in the queue, and the next connection (after the
// back-off) sends its HELLO and then the queued frames in order. With a file
// input the driver may wait: a connect waits for its answer and a full
// queue for room, so that nothing is dropped.
#pragma once

#include <cstdint>

#include "include/context.h"
#include "sdr/client.h"
#include "sdr/event_loop.h"
#include "sdr/send_queue.h"

/// What link_service reports.
enum LinkEvent : int {
    LINK_OK = 0,              ///< nothing to do, or the queue was written as far as it went
    LINK_CONNECTED = 1,       ///< a connection was just made: send the HELLO, call again
    LINK_HEALTHY = 2,         ///< the connection carried frames for 60 s: its failures are forgotten
    LINK_BROKEN = -1,         ///< the output failed (ctx->out_broken is set); close it
    LINK_NO_CONNECTION = -2,  ///< no address could be connected
};

/// Opens ctx->out_url and sets out_fd and out_remote. A name is resolved by
/// the resolver thread (numeric addresses need none; the addresses found
/// serve the reconnections of the attempt). `wait`: the resolution is
/// waited for, and later a full queue waits for room (file input). 1 open
/// (the caller sends the HELLO), 0 resolving or connecting (the loop's calls
/// report the connection), -1 no connection.
int link_open(Context* ctx, bool wait, int64_t now_ms);

/// Once per block: follows a connect, writes what the output takes, gives
/// up an output that took no byte for 30 s while messages waited, and
/// closes and reopens the connection at a cut. Never waits.
int link_service(Context* ctx, int64_t now_ms);

/// The link's client of the event loop (bound to `ctx`): the resolver's
/// answer, the connect in progress, the queue written whenever the output
/// takes bytes, the stall limit, the cut. What it finds is taken with
/// link_take_event.
const PollClient* link_poll_client(Context* ctx);

/// The oldest event the loop's calls found (LINK_CONNECTED, LINK_HEALTHY,
/// LINK_BROKEN, LINK_NO_CONNECTION), LINK_OK when none is left.
int link_take_event();

/// A new attempt: the next link_open resolves the destination again (the
/// reconnections within an attempt reuse its addresses).
void link_forget_addresses();

/// No -o: the messages go to standard output through the queue, written
/// without blocking (a pipe or terminal is opened anew with O_NONBLOCK).
/// Sets out_fd; returns it.
int link_use_stdout(Context* ctx, int64_t now_ms);

/// Whether standard output that takes nothing for 30 s is given up (off at
/// start: a reader that pauses is waited for, or with a live input its
/// oldest frames are dropped; the driver turns it on to drain at the end of
/// a live input).
void link_stdout_limit(bool limited);

/// True while a connect is in progress or messages wait for an open output.
bool link_busy(const Context* ctx);

/// Waits at most `ms` for the connect in progress or for the output to take
/// bytes.
void link_wait(const Context* ctx, int ms);

/// Closes the output (a failed TCP connection is reset rather than left to
/// deliver what the kernel still holds); the queue is kept.
void link_close(Context* ctx, bool failed);

/// Queues a whole message; with a waiting output a full queue first waits
/// for room. 0, or -1 when it could not be queued.
int link_send(Context* ctx, const uint8_t* message);

/// Queues the HELLO of a new connection in front of everything.
int link_send_first(Context* ctx, const uint8_t* message);

/// Sets a cut behind the messages queued so far: they go out on the present
/// (or next) connection, which is then closed and opened again.
void link_cut();

/// The IPv4 address of the proxy being connected to or connected, as it
/// lies in memory; 0 without one.
uint32_t link_peer_address(const Context* ctx);

/// Adds one block's time spent on the link, in microseconds, to the figures
/// of the report.
void link_note_wait(int64_t us);

/// With a destination: the link's line of the statistics report (debug bit
/// 0x01), and one warning when frames were dropped since the last report.
void link_report(const Context* ctx);

/// The queue (its figures; tests look inside).
SendQueue* link_queue();

/// Forgets the link's state and empties the queue (does not close anything);
/// for tests.
void link_reset();
