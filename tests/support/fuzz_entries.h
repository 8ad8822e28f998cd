// The fuzz targets' entry functions. The libFuzzer programs under fuzz/ call
// them for every generated input; the corpus replay test calls them for every
// file under fuzz/corpus/<target>/. Each returns 0; a fault shows as a crash,
// a sanitizer report, or an exit with a status the target does not allow.
// Standard output and error are the caller's to silence.
#pragma once

#include <cstddef>
#include <cstdint>

/// The capture reader: `data` is the whole input (probe block, raw blocks or
/// time-stamped records), run through one attempt of the driver, which may
/// end the process with status 0 when its retry count is used up.
int fuzz_capture(const uint8_t* data, size_t size);

/// The level-2 reader: `data` is what the proxy sends; process_frame runs
/// until the stream ends. Sync responses go back on the same socket.
int fuzz_level2(const uint8_t* data, size_t size);

/// The option parser: `data` split at NUL bytes into arguments, parsed by
/// my_getopt_long until it reports the end or an error. Never exits.
int fuzz_getopt(const uint8_t* data, size_t size);

/// The driver's parse step on the same arguments. print_usage and -V end the
/// process (status 1 or 0); callers must expect that.
int fuzz_parse_args(const uint8_t* data, size_t size);

/// The frame check: `data` cut into 26-byte pieces, each a 14-byte frame, a
/// 32-bit level and a 64-bit time of arrival (little-endian), checked in
/// order against one aircraft table.
int fuzz_adsb_check(const uint8_t* data, size_t size);

/// Target names (the corpus directory names) and their entry functions.
struct FuzzTarget {
    const char* name;
    int (*entry)(const uint8_t* data, size_t size);
    unsigned exit_statuses;  ///< bit s set: the entry may end the process with status s
};
extern const FuzzTarget kFuzzTargets[];
extern const int kFuzzTargetCount;
