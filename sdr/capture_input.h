// The capture input: its descriptor, the read-ahead buffer in front of it
// and the watchdog of a live input. Bytes are read only when the event loop
// finds the descriptor readable, one read() per readiness, never waiting;
// records and blocks are handed out where they lie in the buffer once they
// are whole, so a pipe that delivers a record in pieces, or pauses in the
// middle of one, never makes the service wait.
//
// The watchdog (live inputs: a pipe, a named pipe, a character device, a
// socket): after 10 s without a byte one warning with the time since the
// last byte, then one a minute; after 60 s without a byte in the attempt,
// the attempt ends (the driver's close path opens the input again, so a
// wedged recorder behind a named pipe is started again by its unit). A
// named pipe that has no writer yet says so once.
#pragma once

#include <poll.h>

#include <cstdint>

inline constexpr int kReadAheadRecords = 8;
/// 8 records of 16 + 8192 bytes: one read() for eight records.
inline constexpr int kReadAheadBytes = kReadAheadRecords * (16 + 8192);
inline constexpr int kWatchdogWarnMs = 10000;    ///< first warning after this silence
inline constexpr int kWatchdogRepeatMs = 60000;  ///< then one warning a minute
inline constexpr int kWatchdogEndMs = 60000;     ///< silence in an attempt that ends it
inline constexpr int kFifoNoticeMs = 1000;       ///< a named pipe silent this long: "waiting"

/// What the input has come to.
enum InputStatus : int {
    INPUT_OPEN = 0,     ///< bytes may come
    INPUT_END = 1,      ///< the end of input was read (the bytes held stay)
    INPUT_FAILED = -1,  ///< a read failed (input_read_error has its result)
    INPUT_SILENT = -2,  ///< the watchdog ended the attempt
};

/// Starts an attempt on `fd`. `live`: the watchdog runs; `fifo`: a named
/// pipe (it may have no writer yet); `keep`: the bytes held stay (standard
/// input goes on where it was), else the buffer starts empty. `name` is
/// kept by pointer for the log lines.
void input_attach(int fd, bool live, bool fifo, bool keep, const char* name, int64_t now_ms);

/// Ends the attempt's use of the descriptor (it is not closed here).
void input_detach();

/// The loop's calls: POLLIN while the buffer has room and input_pause is
/// off; the watchdog's deadline.
int input_poll_fill(pollfd* fds, int max, int64_t now_ms, int64_t* deadline_ms);
void input_poll_serve(const pollfd* fds, int n, int64_t now_ms);

/// While paused the loop does not read (the driver holds a file input back
/// while its output cannot take more).
void input_pause(bool paused);

/// The next `count` bytes (at most kReadAheadBytes), where they lie
/// together in the buffer, valid until the next call; null while fewer are
/// held. An even count is handed out at an even address.
uint8_t* input_take(int count);

/// Bytes held and not handed out.
int input_held();

/// Hands out up to `count` bytes held (fewer when fewer are held) without
/// waiting for more; *n gets how many. For the end of input.
uint8_t* input_take_rest(int count, int* n);

/// Puts back the last `count` bytes handed out (right after the take).
void input_give_back(int count);

/// Drops the first `count` bytes held (a realignment's hunt).
void input_skip(int count);

/// Where the input stands; INPUT_FAILED with input_read_error's result.
int input_status();
int input_read_error();
/// The errno of that failed read.
int input_read_errno();

/// A byte arrived since input_attach (the probe block's first one, say).
bool input_has_received();

/// Forgets every byte held (a file about to be opened again).
void input_discard();
