// vorlix-record as a process: its command line, raw samples on standard
// input recorded as time-stamped records (into a file, a named pipe the
// service reads, a pipe whose reader goes away), whole records only, and the
// dongle source without a dongle.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "include/context.h"
#include "include/level2.h"
#include "tests/support/air.h"
#include "tests/support/capture.h"
#include "tests/support/process.h"

namespace {

constexpr size_t kRecord = kRecordHeaderBytes + kBlockBytes;

std::string recorder() {
    return tool_path("record");
}

uint64_t le(const std::string& s, size_t at, int n) {
    uint64_t v = 0;
    for (int i = n - 1; i >= 0; i--)
        v = v << 8 | static_cast<uint8_t>(s[at + static_cast<size_t>(i)]);
    return v;
}

/// The records of a recording: their times; fails the test on a torn or
/// malformed one.
std::vector<uint64_t> record_times(const std::string& cap) {
    std::vector<uint64_t> times;
    EXPECT_GE(cap.size(), static_cast<size_t>(kBlockBytes));
    if (cap.size() < kBlockBytes) return times;
    EXPECT_EQ(le(cap, 0, 4), kCaptureMagic);
    EXPECT_EQ((cap.size() - kBlockBytes) % kRecord, 0u)
        << "torn record, " << cap.size() << " bytes";
    for (size_t at = kBlockBytes; at + kRecord <= cap.size(); at += kRecord) {
        EXPECT_EQ(le(cap, at, 4), kCaptureMagic) << "record at " << at;
        EXPECT_EQ(le(cap, at + 12, 4), static_cast<uint64_t>(kBlockBytes)) << "record at " << at;
        times.push_back(le(cap, at + 4, 8));
    }
    return times;
}

/// Raw I/Q with `blocks` blocks of clean squitters, as an SDR program writes it.
std::string air_raw(int blocks) {
    std::string raw;
    for (int k = 0; k < blocks; k++) raw += air_block(0x500000 + 16 * k);
    return raw;
}

struct Frame {
    std::string hex;
    TimeStamp toa;
};

/// The frame messages in the service's level-2 output.
std::vector<Frame> frames_of(const std::string& l2) {
    std::vector<Frame> frames;
    const uint8_t* p = reinterpret_cast<const uint8_t*>(l2.data());
    for (size_t at = 0; at + kL2HeaderBytes <= l2.size();) {
        L2Message m{};
        l2_get_header(p + at, &m);
        char hex[2 * kL2MaxBody + 1] = {};
        for (int i = 0; i < m.length && at + kL2HeaderBytes + i < l2.size(); i++)
            snprintf(hex + 2 * i, 3, "%02X", p[at + kL2HeaderBytes + static_cast<size_t>(i)]);
        frames.push_back({hex, m.time});
        at += kL2HeaderBytes + m.length;
    }
    return frames;
}

double ts_to_ns(TimeStamp t) {
    return static_cast<double>(ts_seconds(t)) * 1e9 + ts_fraction(t) * (1e9 / 4294967296.0);
}

}  // namespace

// Usage errors end with status 1 and say what is wrong; the rate takes the
// service's forms and range.
TEST(Record, CommandLine) {
    struct Row {
        std::vector<std::string> args;
        int status;
        const char* message;
    } rows[] = {
        {{"-s", "3.3M", "--stdin"}, 1, "the sample rate 3300000 Hz is outside 2000000..3200000"},
        {{"-s", "1999999", "--stdin"}, 1, "outside 2000000..3200000"},
        {{"-s", "2.4G", "--stdin"}, 1, "cannot read the sample rate 2.4G"},
        {{"--stdin", "-g", "30"}, 1, "they do not go with --stdin"},
        {{"-p", "2000"}, 1, "the correction must be a whole number in -1000..1000: 2000"},
        {{"--stdin", "-o", "a", "-o", "b"}, 1, "only one output: b"},
        {{"--stdin", "-o", "/nonexistent-dir/capture"},
         1,
         "cannot open the output /nonexistent-dir/capture"},
        {{"--stdin", "-o", "/dev/full"}, 1, "cannot write to /dev/full"},
        {{"-V"}, 0, "vorlix-record version "},
        {{"-h"}, 0, "--stdin"},  // on standard output
    };
    for (const Row& row : rows) {
        ProcessResult r = run_process(recorder(), row.args);
        std::string what = row.args[0] + " " + (row.args.size() > 1 ? row.args[1] : "");
        EXPECT_EQ(r.status, row.status) << what << "\n" << r.err;
        EXPECT_NE((r.err + r.out).find(row.message), std::string::npos) << what << "\n" << r.err;
    }
    struct Rate {
        const char* text;
        const char* probe;
    } rates[] = {{"2.4M", "2400000 S/s"},
                 {"2400k", "2400000 S/s"},
                 {"3200000", "3200000 S/s"},
                 {"2M", "2000000 S/s"}};
    for (const Rate& rate : rates) {
        ProcessResult r = run_process(recorder(), {"--stdin", "-s", rate.text}, air_raw(1));
        EXPECT_EQ(r.status, 0) << rate.text << "\n" << r.err;
        EXPECT_NE(r.out.find(rate.probe), std::string::npos) << rate.text;
        EXPECT_EQ(record_times(r.out).size(), 1u) << rate.text;
    }
}

// Built with librtlsdr, on a machine without a dongle: the dongle source and
// the gain list say so and end with status 1.
TEST(Record, NoDongle) {
    if (!VORLIX_RECORD_HAS_RTLSDR) GTEST_SKIP() << "built without librtlsdr";
    for (auto args : {std::vector<std::string>{}, {"-G"}, {"-d", "00000001", "-g", "40"}}) {
        ProcessResult r = run_process(recorder(), args);
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_NE(r.err.find("vorlix-record: no RTL-SDR device found"), std::string::npos) << r.err;
        EXPECT_TRUE(r.out.empty());
    }
}

// A synthesized raw capture fed through a pipe at the pace of a real
// dongle, because the times come from when the samples arrive: the records
// advance by the block duration and follow the feed, and the service
// decodes from the recording exactly the frames it decodes from the raw
// capture, at the times the feed gave them. Three seconds of signal; the
// bounds leave room for a loaded machine (a stalled feed is a late batch to
// the recorder, which it rides out).
TEST(Record, StdinAtRealPace) {
    TempDir dir;
    const uint32_t rate = 2400000;
    const uint64_t synth_start = 1600000000000000000ULL;
    ProcessResult s = run_process(
        tool_path("capture-synth"),
        {"-F", "raw", "-r", std::to_string(rate), "-d", "3", "-a", "40", "-n", "4", "-A", "60:120",
         "-t", std::to_string(synth_start), "-o", dir.file("raw.cap"), "-g", dir.file("truth")});
    ASSERT_EQ(s.status, 0) << s.err;
    std::string raw = read_file(dir.file("raw.cap"));
    ASSERT_GT(raw.size(), static_cast<size_t>(kBlockBytes));

    RunOptions feed;
    feed.input = raw.substr(kBlockBytes);  // the samples after the probe block
    feed.pace_chunk = 16384;               // 3.4 ms of samples a write
    feed.pace_bytes_per_s = 2.0 * rate;
    int64_t t0 = 0;
    feed.pace_start_ns = &t0;
    ProcessResult r =
        run_process_with(recorder(), {"--stdin", "-t", "0", "-o", dir.file("rec.cap")}, feed);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.find("warning"), std::string::npos) << r.err;

    // Every whole block recorded, nothing dropped, in order.
    std::vector<uint64_t> times = record_times(read_file(dir.file("rec.cap")));
    const size_t blocks = feed.input.size() / kBlockBytes;
    ASSERT_EQ(times.size(), blocks);
    const double block_ns = kBlockPairs * 1e9 / rate;
    double worst_step = 0, worst_feed = 0;
    for (size_t k = 0; k < times.size(); k++) {
        // The instant after the record's last sample, as the feed paced it.
        double fed = static_cast<double>(t0) + (k + 1) * block_ns;
        worst_feed = std::max(worst_feed, std::fabs(static_cast<double>(times[k]) - fed));
        if (k == 0) continue;
        ASSERT_GT(times[k], times[k - 1]);
        worst_step = std::max(worst_step,
                              std::fabs(static_cast<double>(times[k] - times[k - 1]) - block_ns));
    }
    printf("records %zu: record-to-record within %.1f ns of %.1f ns, within %.3f ms of the feed\n",
           times.size(), worst_step, block_ns, worst_feed / 1e6);
    EXPECT_LT(worst_step, 1.3e-3 * block_ns);  // rate estimate and correction limits
    EXPECT_LT(worst_feed, 20e6);

    // The same frames from the raw capture and from the recording.
    ProcessResult from_raw = run_vorlix({"-w", "0", "-r", "0", dir.file("raw.cap")});
    ProcessResult from_rec = run_vorlix({"-w", "0", "-r", "0", dir.file("rec.cap")});
    ASSERT_EQ(from_raw.status, 0) << from_raw.err;
    ASSERT_EQ(from_rec.status, 0) << from_rec.err;
    std::vector<Frame> a = frames_of(from_raw.out), b = frames_of(from_rec.out);
    ASSERT_GE(a.size(), 60u) << from_raw.err;
    ASSERT_EQ(a.size(), b.size());
    for (size_t i = 0; i < a.size(); i++) ASSERT_EQ(a[i].hex, b[i].hex) << "frame " << i;

    // Their times of arrival: the feed's time of each frame's leading edge.
    std::map<std::string, double> lead;  // ns after the first sample
    for (const std::string& line : split_lines(read_file(dir.file("truth")))) {
        unsigned long long whole = 0;
        char hex[40];
        if (line.empty() || line[0] == '#') continue;
        if (sscanf(line.c_str(), "%39s %llu", hex, &whole) == 2)
            lead[hex] = static_cast<double>(whole - synth_start);
    }
    // Strong frames: all decoded but those in the last, incomplete block.
    EXPECT_GE(b.size() + 2, lead.size());
    double lo = 1e18, hi = -1e18;
    for (const Frame& f : b) {
        ASSERT_EQ(lead.count(f.hex), 1u) << f.hex;
        double off = ts_to_ns(f.toa) - (static_cast<double>(t0) + lead[f.hex]);
        lo = std::min(lo, off);
        hi = std::max(hi, off);
    }
    printf("frames %zu: time of arrival minus the feed's time %.3f .. %.3f ms\n", b.size(),
           lo / 1e6, hi / 1e6);
    EXPECT_GT(lo, -20e6);
    EXPECT_LT(hi, 20e6);
    EXPECT_LT(hi - lo, 2e6);  // one consistent time base over the whole feed
}

// The usual pairing: the recorder writes into a named pipe that the service
// reads; at the end of the recording the service's input ends.
TEST(Record, NamedPipeToService) {
    TempDir dir;
    std::string fifo = dir.file("capture");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int blocks = 40;
    ProcessResult service;
    std::thread reader([&] { service = run_vorlix({"-w", "0", "-r", "0", fifo}); });
    ProcessResult r = run_process(recorder(), {"--stdin", "-o", fifo}, air_raw(blocks));
    // Should the recorder have failed before opening the pipe, the service
    // would wait in its open for ever: open and close it once.
    int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    if (fd >= 0) close(fd);
    reader.join();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("end of input: 163840 samples recorded in 40 records, 0 gaps"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(service.status, 0) << service.err;
    EXPECT_EQ(service.out.size(), 34u * blocks * kAirFramesPerBlock) << service.err;
}

// A reader that goes away ends the recorder with status 0 and its report.
TEST(Record, ReaderGoesAway) {
    RunOptions opt;
    opt.input = air_raw(500);  // 1.7 s of samples, fed as fast as it is read
    opt.out_limit = kBlockBytes + 3 * kRecord + 100;
    ProcessResult r = run_process_with(recorder(), {"--stdin"}, opt);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("vorlix-record: output closed: "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(" gaps, "), std::string::npos) << r.err;
}

// SIGTERM while records flow: the one being written is finished, those
// held back are written too, and the recording ends on a whole record.
TEST(Record, SignalEndsOnWholeRecord) {
    RunOptions opt;
    opt.input = air_raw(1000);
    opt.signal_after = kBlockBytes + 20 * kRecord + 1;
    ProcessResult r = run_process_with(recorder(), {"--stdin"}, opt);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("vorlix-record: stopped by signal: "), std::string::npos) << r.err;
    std::vector<uint64_t> times = record_times(r.out);
    EXPECT_GT(times.size(), 20u);
    EXPECT_LT(times.size(), 1000u);
}

// A regular file that cannot take the next record whole (here a file size
// limit) is cut back to its last whole record; the recorder fails.
TEST(Record, FullFileCutBackToWholeRecords) {
    TempDir dir;
    std::string out = dir.file("rec.cap");
    RunOptions opt;
    opt.native = true;  // the shell sets the limit, then runs the recorder
    opt.input = air_raw(400);
    std::string emulator = VORLIX_EMULATOR;
    ProcessResult r = run_process_with(
        "/bin/sh",
        {"-c", "ulimit -f 64 && exec " + emulator + " " + recorder() + " --stdin -o " + out}, opt);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("cannot write to " + out), std::string::npos) << r.err;
    std::string cap = read_file(out);
    EXPECT_EQ(cap.size(), kBlockBytes + 2 * kRecord);  // 64 blocks of 512 bytes hold two
    EXPECT_EQ(record_times(cap).size(), 2u);
}
