// Logging: one stream, a debug bit pattern and three severities.
//
// Everything the program prints goes through here, except the usage text
// and the version line of the command line. Every call writes its text at
// once with one write(); a write that fails (a log reader that went away)
// is counted and dropped, and logging never fails its caller.
#pragma once

#include <cstdint>
#include <cstdio>

/// Debug bits of `debug_mask`.
enum : int {
    DBG_STATISTICS = 0x01,
    DBG_DECODE1 = 0x02,
    DBG_DECODE2 = 0x04,
    DBG_DECODE3 = 0x08,
    DBG_CNST = 0x10,
    DBG_YACC = 0x20,
    DBG_LEX = 0x40,
    DBG_PHASE = 0x80,
};

/// The stream all log output goes to; null stands for standard error.
extern FILE* log_stream;
/// Debug bit pattern, 0..255; 1 (statistics) at start.
extern int debug_mask;

/// Prints the text exactly as formatted when `mask & debug_mask` is non-zero;
/// returns the number of characters printed, 0 when gated off.
int log_debug(int mask, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
/// Prints each byte through `fmt` (one argument, the byte value), then a newline.
void log_hex(int mask, const uint8_t* bytes, int count, const char* fmt);
/// Prints "Fatal - %s\n" and ends the process with status 1.
[[noreturn]] void log_fatal(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
/// Prints "Warning - %s\n".
void log_warning(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
/// Prints "Info - %s\n".
void log_info(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

/// A line that cannot be written is counted and dropped, never retried:
/// when any were, one warning says how many (the statistics report calls
/// it, so the next report that can be written tells); nothing otherwise.
void log_lost_report();
/// Lines dropped since the last warning about them.
uint32_t log_lost_lines();

/// The internal consistency check: a failure reports the module's source path
/// and the line through log_fatal, which ends the process with status 1.
#define VX_ASSERT(module, cond)                                              \
    do {                                                                     \
        if (!(cond)) [[unlikely]]                                            \
            log_fatal("Assertion failed in %s line %d", (module), __LINE__); \
    } while (0)
