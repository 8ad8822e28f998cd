// Lines that can repeat once per candidate or per frame: each kind is
// printed up to kLinesPerInterval times in a statistics interval; further
// ones are only counted, and the next statistics report prints, for every
// kind that was held back, one line on the same channel as the line itself:
//
//   <the line's format>: <count> more since the last report
//
// A call site asks before it prints:
//   if (log_allowed(LINE_STEPPING_BACK)) log_warning("%s: STEPPING BACK ...", ...);
#pragma once

#include <cstdint>

/// Where a kind's lines go.
enum LineChannel : uint8_t {
    LINE_TO_STDERR,      ///< straight to standard error, whatever the log stream
    LINE_TO_WARNING,     ///< log_warning
    LINE_TO_STATISTICS,  ///< log_debug under the statistics bit (not counted while it is off)
};

/// The kinds: name, channel, and the line's format as the count line shows it.
#define VORLIX_REPEATING_LINES(X)                                                                  \
    X(LINE_NOT_COMMB, LINE_TO_STDERR, "df=%d, but NOT Comm-B (comm_type='%c', dr=%d)")             \
    X(LINE_REVERSE_TIMING, LINE_TO_WARNING, "[frame slice] reverse timing by %ldus, %ldms, %lds")  \
    X(LINE_SLICE_CLOSE, LINE_TO_STATISTICS,                                                        \
      "%s: is NOT minimal increasing by dt=56us >= %5.2fus (df=%d->%d) -- #%llu last_#%llu, "      \
      "frame_start=%d last_s=%d, recv_t=%lld, last_t=%lld, bufoffs=%d, last_bo=%d")                \
    X(LINE_CHECK_TIME_WINDOW, LINE_TO_WARNING,                                                     \
      "df=%d from %06x: time of arrival %s (0x%08x.%08x) outside the plausible window, frame "     \
      "dropped")                                                                                   \
    X(LINE_LINK_TIME_WINDOW, LINE_TO_WARNING,                                                      \
      "%s: frame time 0x%08x.%08x outside the time window, not sent")                              \
    X(LINE_LINK_CLOSE, LINE_TO_STATISTICS,                                                         \
      "%s: is NOT minimal increasing by dt=56us >= %5.2fus (df=%d->%d)")                           \
    X(LINE_DUPLICATE_FRAME, LINE_TO_WARNING, "%s: DUPLICATE FRAME ")                               \
    X(LINE_STEPPING_BACK, LINE_TO_WARNING, "%s: STEPPING BACK in time %+5.2fus (%d:%4d)")          \
    X(LINE_SHORT_READ, LINE_TO_WARNING, "short read on file %s len=%d")                            \
    X(LINE_RECORD_MAGIC, LINE_TO_WARNING, "file %s: record %llu has magic 0x%08X, not 0x%08X")     \
    X(LINE_RECORD_LENGTH, LINE_TO_WARNING, "file %s: record %llu announces %u data bytes, not %d") \
    X(LINE_RECORD_CUT, LINE_TO_WARNING, "file %s: record %llu ends after %d of %d bytes")          \
    X(LINE_RECORD_SKIP, LINE_TO_WARNING, "file %s: skipped %llu bytes to the next record header")  \
    X(LINE_RECORD_NONE, LINE_TO_WARNING,                                                           \
      "file %s: skipped %llu bytes, no record header before the end")                             \
    X(LINE_TIME_BACK, LINE_TO_WARNING,                                                             \
      "capture time steps back by %lld.%03d s (%s to %s): the time base starts again")             \
    X(LINE_TIME_FORWARD, LINE_TO_WARNING, "capture time steps forward by %lld.%03d s (%s to %s)")

enum RepeatingLine : uint8_t {
#define VORLIX_LINE_NAME(name, channel, format) name,
    VORLIX_REPEATING_LINES(VORLIX_LINE_NAME)
#undef VORLIX_LINE_NAME
        kRepeatingLines
};

/// Lines of one kind printed in a statistics interval, at most.
inline constexpr uint32_t kLinesPerInterval = 10;

/// Counts one line of `kind`; true when it is to be printed (the first
/// kLinesPerInterval of the interval), false when it is only counted. A
/// statistics line while the statistics bit is off is neither.
[[nodiscard]] bool log_allowed(RepeatingLine kind);

/// Lines of `kind` held back since the last report.
uint32_t log_held_back(RepeatingLine kind);

/// The end of a statistics interval: "<format>: %u more since the last
/// report" for every kind with lines held back, then a fresh interval.
void log_limit_report();

/// Forgets every count without printing (a fresh start, as at program start).
void log_limit_reset();
