// The service's one event loop: a single poll() over every descriptor the
// service serves (the capture input, the link to the proxy and the requests
// it sends, and any module that registers itself), its time-out the nearest
// deadline of those modules. Nothing in a turn blocks: each module reads or
// writes only what poll() said its descriptor takes, and says how long the
// loop may sleep.
//
// A module joins the loop with a PollClient: two calls that the loop makes
// on every turn, so that the poll set is built from fixed arrays with no
// knowledge of the modules' insides:
//
//   fill(fds, max, now_ms, &deadline_ms)  appends up to `max` pollfd entries
//                                         (events set, revents 0), returns
//                                         how many; lowers *deadline_ms to
//                                         its next deadline (monotonic ms)
//   serve(fds, n, now_ms)                 handles the revents of the n
//                                         entries it appended, in the same
//                                         order; called on every turn, also
//                                         with n == 0, so that it can act on
//                                         its deadlines
//
// The same descriptor may appear in the entries of two clients (the link
// writes to the proxy's socket, the request reader reads from it).
//
// Signals: SIGPIPE only sets a flag (a broken stream then shows as a
// failed write, and socket writes carry MSG_NOSIGNAL); the turn logs the
// warning once per signal, never from inside the handler.
#pragma once

#include <poll.h>

#include <cstdint>

inline constexpr int kLoopClients = 8;       ///< clients registered at once, at most
inline constexpr int kLoopDescriptors = 64;  ///< entries of one poll set, at most
inline constexpr int64_t kNoDeadline = INT64_MAX;

struct PollClient {
    int (*fill)(pollfd* fds, int max, int64_t now_ms, int64_t* deadline_ms);
    void (*serve)(const pollfd* fds, int n, int64_t now_ms);
};

/// Registers `client` (kept by pointer; static storage). 0, or -1 when the
/// table is full. A client already registered is not added twice.
int event_loop_add(const PollClient* client);

/// Removes `client`; nothing when it is not registered.
void event_loop_remove(const PollClient* client);

/// One turn: builds the poll set from every client, waits at most until
/// the nearest of the clients' deadlines and `deadline_ms` (0: does not
/// wait), serves every client, then logs a SIGPIPE that came since the last
/// turn. Returns the number of entries with events (0 after a time-out or
/// an interrupted poll).
int event_loop_turn(int64_t deadline_ms);

/// Installs the SIGPIPE handler (a flag only; interrupted calls restart).
void event_loop_signals();

/// Logs "manually ignore SIGPIPE\n" once when a SIGPIPE came since the last
/// call (the turn calls it; the driver also before it ends).
void event_loop_note_signals();

/// System calls the loop made (poll) since start; for the figures.
uint64_t event_loop_polls();
