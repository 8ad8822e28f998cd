// The level-2 messages: the HELLO, the frames with their time-order filter,
// the sync answers, and the incoming requests. Every outgoing message goes
// into the link's queue (sdr/link) whole; incoming bytes collect in the
// incremental reader (sdr/l2_reader) until a message is whole.
#pragma once

#include <cstdint>

#include "include/context.h"
#include "include/level2.h"
#include "sdr/event_loop.h"
#include "sdr/l2_reader.h"

/// A new connection: the reader starts empty and the HELLO at `time` goes
/// out before anything else. 0, or -1 when it could not be queued.
int remote_connected(Context* ctx, TimeStamp time);

/// Queues the HELLO in front of everything; 0, or -1 when it could not be
/// queued. A HELLO outside the time window or not later than the previous
/// one is sent with a warning.
int send_hello(Context* ctx, TimeStamp time);

/// The frame callback: 0 when queued or filtered, -1 when it could not be
/// queued.
int send_frame(Context* ctx, const uint8_t* frame, int length, const FrameInfo* info);

/// Handles at most one waiting message from the peer, never waiting for
/// one: 0, or -1 when the peer went away, sent a length byte of 160 or more,
/// left a message incomplete for 30 s, or the output is broken.
int process_frame(Context* ctx, const TimeStamp* time);

/// The reading side's client of the event loop (bound to `ctx`): while the
/// output is a TCP peer, its bytes are read as they come (until the socket
/// has no more or the reader is full), and a close or reset is seen at once,
/// whatever the input does.
const PollClient* remote_poll_client(Context* ctx);

/// process_frame on what the loop has read, reading nothing itself (the
/// driver's per-record call: no system call per record).
int process_buffered_frame(Context* ctx, const TimeStamp* time);

/// After each turn: -1, after the warnings of process_frame, when the peer
/// has closed or reset the connection or left a message incomplete for
/// 30 s; 0 otherwise. A whole request waits for the next record.
int remote_check(Context* ctx, int64_t now_ms);

/// Takes the next message: from what the reader holds, else after one read
/// of what `fd` has now. One of RF_OK..RF_PARTIAL; `nlast` gets the result
/// of that read (16 for RF_INCONSISTENT, -9 when none was made).
int read_frame(int fd, L2Message* msg, int* nlast, int64_t now_ms);

/// Answers a sync request with `body` (own slot already added) at `time`;
/// 0, also when the answer is withheld (time outside the window or not later
/// than the previous answer, with a warning), -1 when it could not be queued.
int send_sync_rsp(Context* ctx, const L2Message* request, const SyncBody* body, TimeStamp time);

/// Starts the link afresh on a new time base: the frame filter and the
/// order of the sync answers and of the HELLOs start again, and the connection is closed and
/// opened again (a new HELLO) once the messages queued so far are out, so
/// that the frames on each connection keep increasing in time. The input
/// goes on meanwhile.
void remote_restart(Context* ctx);

/// Clears the filter and ordering state, which the service keeps for the
/// whole run, and the reader; for tests.
void remote_reset_state();
