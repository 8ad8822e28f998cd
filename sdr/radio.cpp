// The demodulator's entry points: the set-up and the scan of a block with
// the mode's policy.
#include "sdr/radio.h"

#include "sdr/demod/scan.h"
#include "sdr/demod/setup.h"

void radio_init(Context* ctx) {
    demod_setup(ctx);
}

int32_t process_block(Context* ctx) {
    return scan_block(ctx, scan_policy(ctx->classic != 0));
}
