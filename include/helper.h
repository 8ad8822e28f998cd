// The time base: TimeStamp, a 32.32 fixed-point time, its conversions from
// clock readings, nanoseconds and sample counts, and the reading of the
// real-time clock. The high word counts whole seconds since the Unix epoch
// (UTC), the low word the binary fraction of a second (units of 2^-32 s:
// 1 us is about 4295 units, 56 us is 240520).
//
// Owns nothing but constants. Promises: every conversion is integer-only and
// the same on every platform; a violated precondition ends the process with
// "Assertion failed in ./include/helper line <n>" (through the log, which
// include/helper.cpp calls; this header needs nothing of it).
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>

using TimeStamp = uint64_t;

inline constexpr char kHelperModule[] = "./include/helper";
inline constexpr uint64_t kNsPerSecond = 1000000000ULL;
inline constexpr TimeStamp kTsOneSecond = 1ULL << 32;
/// 56 us in units of 2^-32 s: the shortest gap between two frames.
inline constexpr int64_t kTs56us = 240520;

constexpr TimeStamp ts_make(uint32_t sec, uint32_t frac) {
    return (static_cast<uint64_t>(sec) << 32) | frac;
}
constexpr uint32_t ts_seconds(TimeStamp t) { return static_cast<uint32_t>(t >> 32); }
constexpr uint32_t ts_fraction(TimeStamp t) { return static_cast<uint32_t>(t); }
/// Signed difference a - b of two time stamps, in units of 2^-32 s.
constexpr int64_t ts_diff(TimeStamp a, TimeStamp b) { return static_cast<int64_t>(a - b); }

/// Ends the process: "Assertion failed in ./include/helper line `line`".
[[noreturn]] void time_base_check_failed(int line);

/// sec * 2^32 + (ns * 2^32) / 10^9, ns below 10^9.
inline TimeStamp timespec_to_ts(int64_t sec, int64_t ns) {
    if (ns >= static_cast<int64_t>(kNsPerSecond)) [[unlikely]]
        time_base_check_failed(__LINE__);
    uint64_t frac = (static_cast<uint64_t>(ns) << 32) / kNsPerSecond;
    return (static_cast<uint64_t>(sec) << 32) + frac;
}

/// sec * 2^32 + us * 4295 (4295 stands for 2^32 / 10^6, so 999993 us and
/// more carry into the seconds).
inline TimeStamp timeval_to_ts(int64_t sec, int64_t us) {
    return (static_cast<uint64_t>(sec) << 32) + static_cast<uint64_t>(us) * 4295U;
}

/// Nanoseconds since the epoch; the seconds keep their low 32 bits.
constexpr TimeStamp ns_to_ts(uint64_t ns) {
    uint64_t sec = ns / kNsPerSecond;
    uint64_t rest = ns % kNsPerSecond;
    return (static_cast<uint64_t>(static_cast<uint32_t>(sec)) << 32) + (rest << 32) / kNsPerSecond;
}

/// The duration of 4096 samples at `rate` samples per second. The
/// nanoseconds are truncated, so a block lasts slightly less than 4096/rate.
inline TimeStamp block_duration(uint32_t rate) {
    int64_t sec = 4096 / static_cast<int64_t>(rate);
    int64_t ns = ((4096 - sec * rate) * static_cast<int64_t>(kNsPerSecond)) / rate;
    while (ns < 0) {
        ns += kNsPerSecond;
        sec -= 1;
    }
    return timespec_to_ts(sec, ns);
}

/// `d` samples at `rate` samples per second as a (signed) time stamp: the
/// seconds and nanoseconds truncated toward zero, the nanoseconds then made
/// non-negative.
TimeStamp samples_to_ts(int64_t d, uint32_t rate);

/// The current wall-clock (real-time clock) time; the clock must be readable
/// and after the epoch (else the process ends).
TimeStamp timestamp_now();

/// The whole seconds of `t` in UTC as "%04d/%02d/%02d %02d:%02d:%02dZ".
/// `buf` must hold at least 24 bytes for the years this program sees.
inline char* time_text(char* buf, size_t size, TimeStamp t) {
    time_t sec = static_cast<time_t>(ts_seconds(t));
    struct tm tm_utc;
    gmtime_r(&sec, &tm_utc);
    snprintf(buf, size, "%04d/%02d/%02d %02d:%02d:%02dZ", tm_utc.tm_year + 1900,
             tm_utc.tm_mon + 1, tm_utc.tm_mday, tm_utc.tm_hour, tm_utc.tm_min, tm_utc.tm_sec);
    return buf;
}

/// The time window in which a time stamp is plausible: later than
/// 1293833800 s (2010-12-31 22:16:40 UTC) and a seconds word that is
/// non-negative as a signed 32-bit value. The frame check and the link use it
/// alike.
inline constexpr TimeStamp kTsWindowLow = ts_make(1293833800U, 0);
constexpr bool ts_plausible(TimeStamp t) {
    return t > kTsWindowLow && ts_seconds(t) <= 0x7FFFFFFFU;
}
