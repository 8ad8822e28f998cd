// A context record set up for the demodulator as the driver leaves it at the
// start of an attempt, for tests that drive process_block themselves.
#pragma once

#include <cstdint>
#include <memory>

#include "include/context.h"

/// radio_init at `rate` (its tables on standard error are swallowed), the
/// block placed behind the history, trigger level 4, level statistics reset;
/// the classic demodulator unless `classic` is false.
std::unique_ptr<Context> make_radio_context(uint32_t rate, bool classic = true);
