// Collects everything the log functions print while it lives; starts with
// no repeating line held back.
#pragma once

#include <cstdio>
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
