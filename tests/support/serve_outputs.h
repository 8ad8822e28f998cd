// The listening outputs served as the event loop serves them, for tests
// that talk to them over sockets: the test keeps the clock, which moves
// kNetFlushLateMs a round so that every client's write is due.
#pragma once

#include <cstdint>
#include <functional>

struct OutputLoop {
    int64_t now_ms = 5000000;  ///< the clock the outputs are given, ms

    /// One round: the outputs' descriptors polled for at most `wait_ms`
    /// (real time), their events served.
    void round(int wait_ms = 2);

    /// Rounds until `done` holds, at most `limit` of them; whether it held.
    bool until(const std::function<bool()>& done, int limit = 2000);
};
