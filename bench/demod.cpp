// Demodulator benchmarks: process_block on synthesized traffic at three
// rates, a quiet band, random bytes and all-127; slice_frame per candidate;
// adsb_check per frame. Captures come from vorlix-capture-synth (next to
// this program in the build tree) into a temporary file; the real
// recordings in ../shared/data are used too when present.
//
//   build/bench_demod [--benchmark_filter=...]
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "sdr/adsb_check.h"
#include "sdr/demod/classic_slice.h"
#include "sdr/demod/scan.h"
#include "sdr/demod/scan_kernels.h"
#include "sdr/radio.h"

namespace {

std::string self_dir;

/// Raw capture bytes after the probe block, from the synthesizer.
std::vector<uint8_t> synthesize(uint32_t rate, const std::string& args) {
    char path[] = "/tmp/vorlix-bench-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0) return {};
    close(fd);
    const std::string cmd = self_dir + "/vorlix-capture-synth -F raw -r " + std::to_string(rate) +
                            " " + args + " -o " + path + " 2>/dev/null";
    std::vector<uint8_t> out;
    if (system(cmd.c_str()) == 0) {
        FILE* f = fopen(path, "rb");
        if (f != nullptr) {
            fseek(f, kBlockBytes, SEEK_SET);
            uint8_t buf[kBlockBytes];
            while (fread(buf, 1, kBlockBytes, f) == kBlockBytes)
                out.insert(out.end(), buf, buf + kBlockBytes);
            fclose(f);
        }
    }
    unlink(path);
    return out;
}

/// Traffic like a receiver's: noise with mean |I|+|Q| near 9.6, 200 DF17
/// and 400 other replies per second over 26 dB of amplitudes.
std::vector<uint8_t> traffic(uint32_t rate) {
    return synthesize(rate, "-d 2 -n 6 -a 200 -m 400 -A 8:150 -s 5");
}

int null_callback(Context*, const uint8_t*, int, const FrameInfo*) {
    return 0;
}

/// A demodulator context; `width` picks the vector code (32 AVX2, 16 SSE2,
/// where the processor has them; see scan_kernels_select).
struct Demod {
    std::unique_ptr<Context> ctx = std::make_unique<Context>();
    explicit Demod(uint32_t rate, int width = 32) {
        memset(ctx.get(), 0, sizeof(Context));
        ctx->samp_rate = rate;
        radio_init(ctx.get());
        scan_kernels_select(width);
        ctx->block = ctx->samples + 2 * ctx->history_len;
        ctx->trigger_level = 4;
        ctx->stats.noise_level = kLevelStatsReset;
        ctx->frame_callback = null_callback;
        ctx->cur_time = timespec_to_ts(1700000000, 0);
    }
    /// The block where it lies, as the driver hands out its read buffer.
    void block(const uint8_t* data) {
        ctx->block = const_cast<uint8_t*>(data);
        ctx->cur_time += block_duration(ctx->samp_rate);
        benchmark::DoNotOptimize(process_block(ctx.get()));
    }
};

/// process_block over `data` in a loop, after one pass to settle the trigger level.
void run_blocks(benchmark::State& state, uint32_t rate, const std::vector<uint8_t>& data,
                int width = 32) {
    if (data.size() < kBlockBytes) {
        state.SkipWithError("no capture (vorlix-capture-synth missing?)");
        return;
    }
    Demod d(rate, width);
    state.counters["width"] = scan_kernels_select(width);
    const size_t blocks = data.size() / kBlockBytes;
    for (size_t i = 0; i < blocks; i++) d.block(&data[i * kBlockBytes]);
    size_t i = 0;
    for (auto _ : state) {
        d.block(&data[i * kBlockBytes]);
        if (++i == blocks) i = 0;
    }
    state.SetItemsProcessed(state.iterations() * kBlockPairs);  // samples
    state.counters["MS/s"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * kBlockPairs / 1e6, benchmark::Counter::kIsRate);
}

void BM_ProcessBlockTraffic(benchmark::State& state) {
    const uint32_t rate = static_cast<uint32_t>(state.range(0));
    static std::vector<uint8_t> cache[3];
    std::vector<uint8_t>& data = cache[rate == 2000000 ? 0 : rate == 2400000 ? 1 : 2];
    if (data.empty()) data = traffic(rate);
    run_blocks(state, rate, data, static_cast<int>(state.range(1)));
}
BENCHMARK(BM_ProcessBlockTraffic)->ArgsProduct({{2000000, 2400000, 3200000}, {16, 32}});

void BM_ProcessBlockQuiet(benchmark::State& state) {
    static std::vector<uint8_t> data = synthesize(2400000, "-d 1 -n 2 -s 6");
    run_blocks(state, 2400000, data, static_cast<int>(state.range(0)));
}
BENCHMARK(BM_ProcessBlockQuiet)->Arg(16)->Arg(32);

void BM_ProcessBlockRandomBytes(benchmark::State& state) {
    std::vector<uint8_t> data(64 * kBlockBytes);
    std::mt19937 rng(3);
    for (auto& b : data) b = static_cast<uint8_t>(rng());
    run_blocks(state, 2400000, data);
}
BENCHMARK(BM_ProcessBlockRandomBytes);

void BM_ProcessBlockAll127(benchmark::State& state) {
    std::vector<uint8_t> data(8 * kBlockBytes, 127);
    run_blocks(state, 2400000, data);
}
BENCHMARK(BM_ProcessBlockAll127);

/// A real recording from ../shared/data, looped (skipped when absent).
void BM_ProcessBlockRecording(benchmark::State& state) {
    static std::vector<uint8_t> data;
    if (data.empty()) {
        // Every 2.4 MS/s recording (name ending in _2400k.u8), one after another.
        std::string dir = __FILE__;
        dir = dir.substr(0, dir.rfind('/')) + "/../../shared/data";
        if (getenv("VORLIX_DATA") != nullptr) dir = getenv("VORLIX_DATA");
        DIR* d = opendir(dir.c_str());
        while (d != nullptr) {
            const dirent* e = readdir(d);
            if (e == nullptr) break;
            const std::string name = e->d_name;
            const std::string suffix = "_2400k.u8";
            if (name.size() <= suffix.size() ||
                name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
                continue;
            }
            FILE* f = fopen((dir + "/" + name).c_str(), "rb");
            if (f == nullptr) continue;
            uint8_t buf[kBlockBytes];
            while (fread(buf, 1, kBlockBytes, f) == kBlockBytes)
                data.insert(data.end(), buf, buf + kBlockBytes);
            fclose(f);
        }
        if (d != nullptr) closedir(d);
    }
    if (data.empty()) {
        state.SkipWithError("no recording in ../shared/data");
        return;
    }
    run_blocks(state, 2400000, data);
}
BENCHMARK(BM_ProcessBlockRecording);

/// slice_frame per candidate: the candidates block processing finds in
/// traffic, replayed with times that keep increasing.
void BM_SliceFrame(benchmark::State& state) {
    static std::vector<uint8_t> data = traffic(2400000);
    if (data.empty()) {
        state.SkipWithError("no capture");
        return;
    }
    struct Cand {
        size_t block;
        int32_t start;
        int32_t level;
    };
    static std::vector<Cand>* found = nullptr;
    std::vector<Cand> cands;
    found = &cands;
    static size_t current = 0;
    Demod d(2400000);
    const size_t blocks = data.size() / kBlockBytes;
    for (size_t i = 0; i < blocks; i++) {
        current = i;
        memcpy(d.ctx->block, &data[i * kBlockBytes], kBlockBytes);
        ScanPolicy policy = *scan_policy(true);
        policy.slicer = [](Context*, int32_t start, int32_t level) -> int32_t {
            found->push_back({current, start, level});
            return 0;
        };
        scan_block(d.ctx.get(), &policy);
    }
    if (cands.empty()) {
        state.SkipWithError("no candidates");
        return;
    }
    // Replay: each candidate's block is placed in the buffer with its history.
    const int hist = static_cast<int>(d.ctx->history_len);
    size_t i = 0;
    for (auto _ : state) {
        const Cand& c = cands[i];
        state.PauseTiming();
        uint8_t* s = d.ctx->samples;
        if (c.block > 0) {
            memcpy(s, &data[c.block * kBlockBytes - 2 * static_cast<size_t>(hist)],
                   static_cast<size_t>(2 * hist));
        }
        memcpy(d.ctx->block, &data[c.block * kBlockBytes], kBlockBytes);
        d.ctx->cur_time += block_duration(2400000);
        state.ResumeTiming();
        benchmark::DoNotOptimize(slice_frame(d.ctx.get(), c.start, c.level));
        if (++i == cands.size()) i = 0;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SliceFrame);

/// adsb_check per frame: a mix of valid squitters and damaged frames.
void BM_AdsbCheck(benchmark::State& state) {
    Demod d(2400000);
    std::mt19937 rng(9);
    std::vector<std::array<uint8_t, 14>> frames(512);
    for (auto& f : frames) {
        for (auto& b : f) b = static_cast<uint8_t>(rng());
        if (rng() % 2 == 0) {
            f[0] = static_cast<uint8_t>(17 << 3 | 5);
            uint32_t p = adsb_parity(f.data(), 88);
            f[11] = static_cast<uint8_t>(p >> 16);
            f[12] = static_cast<uint8_t>(p >> 8);
            f[13] = static_cast<uint8_t>(p);
        }
    }
    const TimeStamp now = timestamp_now();
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(adsb_check(d.ctx.get(), frames[i].data(), now, 50));
        i = (i + 1) % frames.size();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AdsbCheck);

}  // namespace

int main(int argc, char** argv) {
    std::string self = argv[0];
    self_dir = self.find('/') == std::string::npos ? "." : self.substr(0, self.rfind('/'));
    // The demodulator's tables and the frame check's messages go to
    // standard error; the figures go to standard output.
    if (freopen("/dev/null", "w", stderr) == nullptr) return 1;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
