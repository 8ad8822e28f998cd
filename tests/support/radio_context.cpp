#include "tests/support/radio_context.h"

#include <gtest/gtest.h>

#include "sdr/radio.h"

std::unique_ptr<Context> make_radio_context(uint32_t rate, bool classic) {
    auto ctx = std::make_unique<Context>();
    ctx->samp_rate = rate;
    ctx->classic = classic ? 1 : 0;
    testing::internal::CaptureStderr();
    radio_init(ctx.get());
    testing::internal::GetCapturedStderr();
    ctx->block = ctx->samples + 2 * ctx->history_len;
    ctx->trigger_level = 4;
    ctx->stats.noise_level = kLevelStatsReset;
    ctx->stats.candidate_level = kLevelStatsReset;
    return ctx;
}
