// The service's event loop against faults provoked from outside, process
// against process: an input that pauses after its first record still gets
// its connection's HELLO, and a proxy that closes the connection is noticed
// and connected to again while the input stays paused; a log stream whose
// reader went away (`2>&1 | head -c 100`) stops neither the decoding nor
// the end of the run; a reader of standard output that stops reading never
// stops the service from reading its input.
//
// These run in real time: the back-off and the pace of a live feed are
// what they are about. Each case takes well under 30 s.
#include <gtest/gtest.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/air.h"
#include "tests/support/capture.h"
#include "tests/support/live.h"
#include "tests/support/process.h"

namespace {

using Clock = std::chrono::steady_clock;

/// Waits until the proxy has written a line containing `needle`; false
/// when it did not within `limit` seconds.
bool wait_for(const ProxyProcess& proxy, const std::string& needle, int limit) {
    const auto deadline = Clock::now() + std::chrono::seconds(limit);
    while (proxy.lines().find(needle) == std::string::npos) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

const Line* find_line(const std::vector<Line>& lines, const std::string& needle) {
    for (const Line& l : lines)
        if (l.text.find(needle) != std::string::npos) return &l;
    return nullptr;
}

/// The first message of connection `conn`, or null.
const Line* first_message(const std::vector<Line>& lines, int conn) {
    for (const Line& l : lines)
        if (l.message && l.conn == conn) return &l;
    return nullptr;
}

// The input sends its probe block and one record, then nothing: the HELLO
// goes out when the connection is made; the proxy closes the connection
// after a second, the service notices at once (no record comes to show
// it) and connects again after its back-off of 2 s, with a new HELLO.
TEST(EventLoop, PausedInputGetsItsHelloAndItsReconnection) {
    TempDir dir;
    ProxyProcess proxy(dir, {"--times", "-c", "2", "--close-every", "1", "-t", "25"});
    ASSERT_GT(proxy.port(), 0);
    const std::string err_path = dir.file("err.txt");
    ServiceProcess svc({"-w", "0", "-r", "3", "-o", proxy.url(), "-"}, err_path);
    ASSERT_TRUE(svc.feed(capture_probe(true) + capture_record(realtime_ns())));

    ASSERT_TRUE(wait_for(proxy, "conn 2: ", 20)) << proxy.lines() << read_file(err_path);
    const std::vector<Line> lines = parse_lines(proxy.lines());
    const std::string err = read_file(err_path);
    const Line* hello1 = first_message(lines, 1);
    const Line* closed = find_line(lines, "conn 1 closed");
    const Line* open2 = find_line(lines, "conn 2 open");
    const Line* hello2 = first_message(lines, 2);
    ASSERT_NE(hello1, nullptr) << proxy.lines();
    ASSERT_NE(closed, nullptr) << proxy.lines();
    ASSERT_NE(open2, nullptr) << proxy.lines();
    ASSERT_NE(hello2, nullptr) << proxy.lines();
    EXPECT_EQ(hello1->op, "L2_OP_HELLO");
    EXPECT_EQ(hello2->op, "L2_OP_HELLO");
    EXPECT_LT(hello1->t, closed->t);
    // Noticed when it happened, then the back-off of 2 s.
    EXPECT_NE(err.find("Warning - level-2 to " + proxy.url() + ", no header"), std::string::npos)
        << err;
    EXPECT_NE(err.find("next connection to " + proxy.url() + " in 2 s"), std::string::npos) << err;
    EXPECT_GE(open2->t - closed->t, 1.5);
    EXPECT_LE(open2->t - closed->t, 4.0);
}

// The log's reader goes away after 100 bytes: the service goes on decoding,
// writes every frame to -o and ends with status 0, as without the pipe.
TEST(EventLoop, LogStreamWhoseReaderWentAway) {
    TempDir dir;
    const std::string cap = dir.file("cap");
    ProcessResult synth = run_process(tool_path("capture-synth"),
                                      {"-o", cap, "-d", "3", "--flights", "6", "-s", "5"});
    ASSERT_EQ(synth.status, 0) << synth.err;
    const std::string emulator = VORLIX_EMULATOR;
    const std::string prog = emulator + (emulator.empty() ? "" : " ") + VORLIX_BIN;
    ProcessResult direct = run_vorlix({"-w", "0", "-r", "0", "-o", dir.file("direct"), cap});
    ASSERT_EQ(direct.status, 0);
    const std::string script = "cd '" + dir.path() + "' && " + prog + " -w 0 -r 0 -o piped '" +
                               cap + "' 2>&1 >/dev/null | head -c 100 >/dev/null; echo " +
                               "${PIPESTATUS[0]} >status";
    const auto start = Clock::now();
    RunOptions shell;
    shell.native = true;  // the shell is the host's; the service inside has the emulator
    ProcessResult r = run_process_with("/bin/bash", {"-c", script}, shell);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(60));
    EXPECT_EQ(read_file(dir.file("status")), "0\n");
    const std::string a = read_file(dir.file("direct"));
    const std::string b = read_file(dir.file("piped"));
    ASSERT_GT(a.size(), 200U);
    // The same messages after the HELLO (whose time is the wall clock's).
    EXPECT_EQ(b.size(), a.size());
    EXPECT_EQ(b.substr(20), a.substr(20));
}

// Without -o the frames go to standard output; its reader stops reading.
// The input is read at its pace all the same, the oldest frames are
// dropped when the queue is full, and the report says so.
TEST(EventLoop, StandardOutputReaderThatStops) {
    TempDir dir;
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    const std::string err_path = dir.file("err.txt");
    {
        ServiceProcess svc({"-w", "0", "-r", "0", "-t", "2", "-"}, err_path, out[1]);
        close(out[1]);
        std::vector<std::string> blocks;
        for (int i = 0; i < 16; i++)
            blocks.push_back(air_block(0x300000 + 8 * i, kAirMaxFramesPerBlock));
        ASSERT_TRUE(svc.feed(capture_probe(true)));
        const int64_t t0 = realtime_ns();
        const auto start = Clock::now();
        int64_t max_lag_us = 0;
        // 7 frames a record, 586 records a second: the 1 MiB queue is full
        // after about 8 s.
        for (int64_t k = 0; k < 586 * 14; k++) {
            const auto due = start + std::chrono::nanoseconds(k * kAirRecordNs);
            std::this_thread::sleep_until(due);
            ASSERT_TRUE(svc.feed(capture_header(static_cast<uint64_t>(t0 + k * kAirRecordNs)) +
                                 blocks[static_cast<size_t>(k % 16)]));
            const int64_t lag =
                std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - due).count();
            if (lag > max_lag_us) max_lag_us = lag;
        }
        printf("feeder at most %.1f ms behind\n", max_lag_us / 1000.0);
        EXPECT_LE(max_lag_us, 250000) << "the service stopped reading its input";
        svc.close_input();
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        while (read_file(err_path).find("frames dropped since") == std::string::npos &&
               Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    close(out[0]);
    const std::string err = read_file(err_path);
    EXPECT_NE(err.find("Warning - level-2 to standard output: queue full, "), std::string::npos)
        << err;
}

}  // namespace
