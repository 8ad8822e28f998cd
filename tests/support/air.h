// Synthesized air traffic for process-level tests: blocks of I/Q pairs at
// 2.4 MS/s that carry clean DF17 squitters, as raw blocks or time-stamped
// records.
#pragma once

#include <cstdint>
#include <string>

/// Frames per synthesized block by default, 1000 pairs apart; at most
/// kAirMaxFramesPerBlock, 560 pairs apart (more would raise the
/// demodulator's trigger level above the pulses).
inline constexpr int kAirFramesPerBlock = 4;
inline constexpr int kAirMaxFramesPerBlock = 7;

/// A clean DF17 squitter (14 bytes) for the 24-bit `address`.
std::string air_squitter(uint32_t address);

/// One block of 8192 bytes whose k-th frame (k < `frames`) is the squitter
/// of `first_address + k`; silence around them.
std::string air_block(uint32_t first_address, int frames = kAirFramesPerBlock);

/// A time-stamped record (16-byte header, then the block).
std::string air_record(uint64_t time_ns, uint32_t first_address, int frames = kAirFramesPerBlock);

/// A time-stamped record with one frame: the squitter of `address` with
/// bit `bit` (0 = first transmitted) flipped, so that its parity fails.
std::string air_record_flipped(uint64_t time_ns, uint32_t address, int bit);

/// Nanoseconds from one record to the next at 2.4 MS/s (4096 pairs).
inline constexpr uint64_t kAirRecordNs = 1706666;
