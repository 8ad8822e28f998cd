// Collects everything the log functions print while it lives; starts with
// no repeating line held back.
#pragma once

#include <cstdio>
#include <functional>
#include <string>

class LogCapture {
   public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;
    /// All log text so far.
    std::string text() const;

   private:
    FILE* file_;
};

/// Runs `fn` with file descriptor 2 sent to a temporary file; returns what
/// was written there (the NOT Comm-B lines go to standard error directly).
std::string stderr_of(const std::function<void()>& fn);
