// Builders for capture input: the probe block, raw blocks and time-stamped
// records (16-byte little-endian header: magic, time_ns, length; then data).
#pragma once

#include <cstdint>
#include <string>

#include "include/context.h"

/// 8192 bytes; starts with the record magic when `timestamped`, the rest is `fill`.
std::string capture_probe(bool timestamped, uint8_t fill = 0x7F);

/// One raw block: 8192 bytes of `fill` (0x7F: silence around mid-scale).
std::string capture_block(uint8_t fill = 0x7F);

/// A record header with the given fields.
std::string capture_header(uint64_t time_ns, uint32_t length = kBlockBytes,
                           uint32_t magic = kCaptureMagic);

/// A header followed by `data` (one silent block when `data` is empty). The
/// header's `length` is written as given, whatever the data's size.
std::string capture_record(uint64_t time_ns, uint32_t length = kBlockBytes,
                           uint32_t magic = kCaptureMagic, const std::string& data = {});

/// A raw capture: the probe block and `blocks` silent blocks.
std::string raw_capture(int blocks);

/// A time-stamped capture: the probe block and `records` silent records,
/// the first at `first_ns`, each later one `step_ns` after the one before.
std::string timestamped_capture(int records, uint64_t first_ns, uint64_t step_ns);

/// Appends little-endian fields.
void append_le32(std::string* s, uint32_t v);
void append_le64(std::string* s, uint64_t v);
