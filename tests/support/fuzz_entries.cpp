#include "tests/support/fuzz_entries.h"

#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "include/context.h"
#include "lib/getopt.h"
#include "sdr/adsb_check.h"
#include "sdr/log.h"
#include "sdr/link.h"
#include "sdr/remote.h"
#include "sdr/vorlix.h"

// The harness keeps its buffers in static storage: the parse-args target may
// leave through exit (which the fuzz programs turn into a jump back), and
// nothing on the heap may be left behind when that happens.
namespace {

constexpr int kMaxArgs = 32;
constexpr size_t kArgArena = 2048;

char g_arena[kArgArena];
char* g_argv[kMaxArgs + 2];
Context g_ctx;

/// Splits `data` at NUL bytes into at most kMaxArgs arguments after argv[0].
int make_argv(const uint8_t* data, size_t size) {
    static constexpr char kProg[] = "vorlix";
    memcpy(g_arena, kProg, sizeof kProg);
    size_t used = sizeof kProg;
    int argc = 0;
    g_argv[argc++] = g_arena;
    size_t n = size < kArgArena - used - 1 ? size : kArgArena - used - 1;
    if (n > 0) {
        memcpy(g_arena + used, data, n);
        g_arena[used + n] = '\0';
        size_t pos = used;
        while (pos <= used + n && argc <= kMaxArgs) {
            g_argv[argc++] = g_arena + pos;
            pos += strlen(g_arena + pos) + 1;
        }
    }
    g_argv[argc] = nullptr;
    return argc;
}

void reset_context(Context* ctx) {
    memset(ctx, 0, sizeof *ctx);
    ctx->stats.candidate_level = kLevelStatsReset;
    ctx->stats.rejected_level = kLevelStatsReset;
    ctx->stats.accepted_level = kLevelStatsReset;
    ctx->stats.noise_level = kLevelStatsReset;
    ctx->samp_rate = 2400000;
    ctx->time_interval = 30;
    ctx->retry = -1;
    ctx->wait = 15;
    ctx->in_fd = -1;
    ctx->out_fd = 1;
}

/// The frame callback of the frame-check target: only clean DF17/DF18
/// frames of 14 bytes with a plausible time may arrive here.
int check_forwarded(Context*, const uint8_t* frame, int length, const FrameInfo* info) {
    int df = frame[0] >> 3;
    uint32_t pi = static_cast<uint32_t>(frame[11]) << 16 | frame[12] << 8 | frame[13];
    if (length != 14 || (df != 17 && df != 18) || adsb_parity(frame, 88) != pi ||
        !ts_plausible(info->toa))
        abort();
    return 0;
}

uint64_t get_le(const uint8_t* p, int n) {
    uint64_t v = 0;
    for (int i = n - 1; i >= 0; i--) v = v << 8 | p[i];
    return v;
}

}  // namespace

int fuzz_capture(const uint8_t* data, size_t size) {
    // The input becomes an anonymous in-memory file that the driver opens by
    // its /proc name, as it would open a capture file; one attempt, no wait.
    // The driver may leave through exit (retry count used up), so the file
    // of the previous input is closed here rather than after the call.
    static int fd = -1;
    if (fd >= 0) close(fd);
    fd = memfd_create("capture", MFD_CLOEXEC);
    if (fd < 0) abort();
    size_t done = 0;
    while (done < size) {
        ssize_t w = write(fd, data + done, size - done);
        if (w <= 0) abort();
        done += static_cast<size_t>(w);
    }
    static char name[64];
    snprintf(name, sizeof name, "/proc/self/fd/%d", fd);
    static char a0[] = "vorlix", a1[] = "-w", a2[] = "0", a3[] = "-r", a4[] = "0";
    static char* argv[] = {a0, a1, a2, a3, a4, name, nullptr};
    vorlix_main(6, argv);
    return 0;
}

int fuzz_level2(const uint8_t* data, size_t size) {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) abort();
    // The whole stream is queued, then the sending side is shut, so every
    // read ends at the end of the data instead of waiting.
    size_t done = 0;
    while (done < size) {
        ssize_t w = write(sv[1], data + done, size - done);
        if (w <= 0) abort();
        done += static_cast<size_t>(w);
    }
    shutdown(sv[1], SHUT_WR);

    remote_reset_state();
    link_reset();  // the answers are queued, never written here
    reset_context(&g_ctx);
    g_ctx.out_fd = sv[0];
    g_ctx.out_remote = 1;
    g_ctx.out_url = "127.0.0.1:30004";
    g_ctx.in_timestamped = 1;
    g_ctx.uniq_id = uniq_make(0x00445655, uniq_type_make(0, 5, 2, 0));
    g_ctx.cur_time = ts_make(1700000000, 0);
    // One call per capture record in the service; a message per call at
    // most, so the number of calls is bounded by the stream's length.
    for (size_t i = 0; i <= size + 1; i++) {
        if (process_frame(&g_ctx, &g_ctx.cur_time) < 0) break;
        g_ctx.cur_time += kTsOneSecond / 64;
    }
    close(sv[0]);
    close(sv[1]);
    return 0;
}

namespace {

constexpr int kOptionCount = static_cast<int>(std::size(kOptions));

bool inside_argv(const char* p, int argc) {
    for (int i = 0; i < argc; i++) {
        size_t len = strlen(g_argv[i]);
        if (p >= g_argv[i] && p <= g_argv[i] + len) return true;
    }
    return false;
}

}  // namespace

int fuzz_getopt(const uint8_t* data, size_t size) {
    int argc = make_argv(data, size);
    my_optind = 1;
    // Every call examines an argument or removes one letter of a group, so
    // the arguments' total length bounds the number of calls.
    for (size_t calls = 0;; calls++) {
        if (calls > kArgArena + kMaxArgs) abort();
        int opt_index = -1, arg_index = -1;
        const char* optarg = nullptr;
        int r =
            my_getopt_long(argc, g_argv, &opt_index, &arg_index, kOptions, kOptionCount, &optarg);
        if (r == GETOPT_END || r == GETOPT_ERROR) break;
        if (arg_index < 1 || arg_index >= argc) abort();
        if (r == GETOPT_OPTION) {
            if (opt_index < 0 || opt_index >= kOptionCount) abort();
            if (optarg && !inside_argv(optarg, argc)) abort();
            if (kOptions[opt_index].has_arg && !optarg) abort();
        } else if (r != GETOPT_NONOPT) {
            abort();
        }
        if (my_optind < 1 || my_optind > argc) abort();
    }
    return 0;
}

int fuzz_parse_args(const uint8_t* data, size_t size) {
    int argc = make_argv(data, size);
    // -l would create files named by the fuzzer, also inside a group of
    // flags ("-cl NAME"): no argument with an 'l' among its option letters.
    for (int i = 1; i < argc; i++) {
        const char* a = g_argv[i];
        if (a[0] != '-') continue;
        if (a[1] == '-' ? a[2] == 'l' : strchr(a + 1, 'l') != nullptr) return 0;
    }
    reset_context(&g_ctx);
    debug_mask = 1;
    parse_args(&g_ctx, argc, g_argv);
    if (g_ctx.samp_rate < 2000000 || g_ctx.samp_rate > 3200000) abort();
    if (g_ctx.time_interval < 1 || g_ctx.time_interval > 3600) abort();
    if (g_ctx.wait < 0 || g_ctx.wait > 3600) abort();
    if (g_ctx.retry < -1 || g_ctx.retry > 100) abort();
    for (int32_t s : g_ctx.sensitvity)
        if (s < -5 || s > 20) abort();
    return 0;
}

int fuzz_adsb_check(const uint8_t* data, size_t size) {
    constexpr size_t kPiece = 26;
    reset_context(&g_ctx);
    g_ctx.frame_callback = check_forwarded;
    for (size_t off = 0; off + kPiece <= size; off += kPiece) {
        const uint8_t* p = data + off;
        int32_t level = static_cast<int32_t>(get_le(p + 14, 4));
        TimeStamp toa = get_le(p + 18, 8);
        int32_t r = adsb_check(&g_ctx, p, toa, level);
        if (r != -1 && (r < 0 || r > 31 || r != (p[0] >> 3))) abort();
    }
    return 0;
}

const FuzzTarget kFuzzTargets[] = {
    {"capture", fuzz_capture, 1U << 0}, {"level2", fuzz_level2, 0},
    {"getopt", fuzz_getopt, 0},         {"parse_args", fuzz_parse_args, 1U << 0 | 1U << 1},
    {"adsb_check", fuzz_adsb_check, 0},
};
const int kFuzzTargetCount = sizeof kFuzzTargets / sizeof kFuzzTargets[0];
