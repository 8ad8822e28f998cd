// One libFuzzer program per target: VORLIX_FUZZ_TARGET names the entry
// function of tests/support/fuzz_entries. The program is linked with
// --wrap=exit, so that an exit inside the target comes back here: allowed for
// the statuses the target lists (the option parser's usage exit, the driver's
// end of retries), a finding for every other.
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tests/support/fuzz_entries.h"

extern "C" [[noreturn]] void __real_exit(int status);

namespace {

jmp_buf g_jump;
volatile int g_armed = 0;
volatile int g_status = 0;

const FuzzTarget* find_target() {
    for (int i = 0; i < kFuzzTargetCount; i++)
        if (strcmp(kFuzzTargets[i].name, VORLIX_FUZZ_TARGET) == 0) return &kFuzzTargets[i];
    abort();
}

}  // namespace

extern "C" [[noreturn]] void __wrap_exit(int status) {
    if (g_armed) {
        g_armed = 0;
        g_status = status;
        longjmp(g_jump, 1);
    }
    __real_exit(status);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const FuzzTarget* target = find_target();
    if (setjmp(g_jump) == 0) {
        g_armed = 1;
        target->entry(data, size);
        g_armed = 0;
    } else if (g_status < 0 || g_status > 31 || !(target->exit_statuses & (1U << g_status))) {
        fprintf(stderr, "fuzz target %s exited with status %d\n", target->name, g_status);
        abort();
    }
    return 0;
}
