// The whole link, process against process: vorlix connects to the test proxy
// on 127.0.0.1, says HELLO, forwards frames, answers sync requests, and
// reconnects after the proxy breaks the connection (with records paced on
// standard input, and with a raw file read again by the next attempt).
#include <gtest/gtest.h>
#include <time.h>

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

uint64_t now_ns() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ULL + static_cast<uint64_t>(ts.tv_nsec);
}

// The service reading quiet time-stamped records from its standard input at
// the sample pace, `seconds` of them, then the end of the input: it is then
// still reading when the proxy's requests come, however loaded the machine
// (a file of records is read in a few milliseconds). Stamped from now on, so
// that the clock comparison of the sync answer finds no drift.
ProcessResult run_paced(const TempDir& dir, const std::string& url, int retry, int seconds = 1) {
    const std::string err = dir.file("err.txt");
    ServiceProcess svc({"-w", "0", "-r", std::to_string(retry), "-o", url, "-"}, err);
    ProcessResult r;
    svc.feed(capture_probe(true));
    const uint64_t t0 = now_ns();
    const auto start = std::chrono::steady_clock::now();
    const int records = seconds * 586;
    for (int k = 0; k < records; k++) {
        std::this_thread::sleep_until(start + std::chrono::nanoseconds(k * kAirRecordNs));
        if (!svc.feed(capture_record(t0 + static_cast<uint64_t>(k) * kAirRecordNs))) break;
    }
    r.status = svc.wait();
    r.err = read_file(err);
    return r;
}

// The lines of `text` that contain `needle`.
std::vector<std::string> lines_with(const std::string& text, const std::string& needle) {
    std::vector<std::string> out;
    for (const std::string& line : split_lines(text))
        if (line.find(needle) != std::string::npos) out.push_back(line);
    return out;
}

TEST(LinkE2E, HelloFirstAndSyncRequestAnsweredWithOwnSlot) {
    TempDir dir;
    ProxyProcess proxy(dir, {"--sync", "2", "--tag", "77", "-t", "20"});
    ASSERT_GT(proxy.port(), 0);
    ProcessResult r = run_paced(dir, proxy.url(), 0);
    std::string lines = proxy.finish();
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<std::string> got = lines_with(lines, "conn 1: 20");
    ASSERT_GE(got.size(), 2U) << lines;
    EXPECT_NE(got[0].find(" L2_OP_HELLO"), std::string::npos) << lines;
    std::vector<std::string> rsp = lines_with(lines, "L2_OP_SYNC_RSP tag=77 n_slots=3 ");
    ASSERT_EQ(rsp.size(), 1U) << lines;
    // The third slot is the receiver's own id, the same as in its HELLO.
    std::string own = got[0].substr(got[0].find("Z ") + 2);
    own = own.substr(0, own.find(' '));
    EXPECT_NE(rsp[0].find("] [" + own + " "), std::string::npos) << rsp[0];
    EXPECT_NE(r.err.find("L2_SYNC_REQ from 0d14=r-proxy-fix-00000001"), std::string::npos) << r.err;
}

TEST(LinkE2E, EightSlotsAnsweredUnchanged) {
    TempDir dir;
    ProxyProcess proxy(dir, {"--sync", "8", "-t", "20"});
    ASSERT_GT(proxy.port(), 0);
    ProcessResult r = run_paced(dir, proxy.url(), 0);
    std::string lines = proxy.finish();
    EXPECT_EQ(lines_with(lines, "L2_OP_SYNC_RSP tag=66 n_slots=8 ").size(), 1U) << lines;
    EXPECT_EQ(count_of(r.err, ": L2_SYNC_REQ: all slots are occupied\n"), 1) << r.err;
}

TEST(LinkE2E, BadRequestsAreDroppedAndTheConnectionKept) {
    TempDir dir;
    ProxyProcess proxy(dir, {"--garbage", "3", "--op", "200", "--sync", "9", "-t", "20"});
    ASSERT_GT(proxy.port(), 0);
    ProcessResult r = run_paced(dir, proxy.url(), 0);
    std::string lines = proxy.finish();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(count_of(r.err, ".hunt."), 3) << r.err;
    EXPECT_EQ(count_of(r.err, "got l2-frame with unnamed op 200 (length 3), dropped"), 1);
    EXPECT_EQ(count_of(r.err, "L2_SYNC_REQ with length 114 and n_slots 9, dropped"), 1);
    EXPECT_EQ(count_of(r.err, "read_frame() failed"), 0);
    EXPECT_EQ(count_of(lines, "conn 2 open"), 0);
}

TEST(LinkE2E, OversizedLengthEndsTheConnectionAndTheReceiverReconnects) {
    TempDir dir;
    ProxyProcess proxy(dir, {"-c", "2", "--oversize", "--fault-conn", "1", "--sync", "1", "-t", "20"});
    ASSERT_GT(proxy.port(), 0);
    // The back-off of 2 s passes while the input goes on.
    ProcessResult r = run_paced(dir, proxy.url(), 1, 4);
    std::string lines = proxy.finish();
    // The proxy took two connections and then refused the next: the
    // destination's failures used up the retry count (status 2).
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_EQ(count_of(r.err, "Warning - in frame ? protocol error in size 160\n"), 1) << r.err;
    EXPECT_EQ(count_of(r.err, "inconsistence frame (nlast=16)"), 1);
    EXPECT_EQ(count_of(lines, "conn 2 open"), 1) << lines;
    EXPECT_EQ(lines_with(lines, "conn 2: 20").size() >= 2, true) << lines;
    EXPECT_EQ(lines_with(lines, "conn 2: 20")[0].find("L2_OP_HELLO") != std::string::npos, true);
    EXPECT_EQ(lines_with(lines, "conn 2: ").size() >= 1, true);
    EXPECT_EQ(lines_with(lines, "L2_OP_SYNC_RSP").size(), 1U) << lines;  // only on conn 2
}

TEST(LinkE2E, CutMessageEndsTheConnection) {
    TempDir dir;
    ProxyProcess proxy(dir, {"--cut", "-t", "20"});
    ASSERT_GT(proxy.port(), 0);
    ProcessResult r = run_paced(dir, proxy.url(), 0);
    proxy.finish();
    EXPECT_EQ(r.status, 2);  // the one failure the retry count allows
    EXPECT_EQ(
        count_of(r.err, "Warning - process_frame: read_frame() failed with inconsistent data"), 1)
        << r.err;
}

// Raw input with real frames: the proxy hangs up after the HELLO; the
// output is marked broken (by a failed write or by the reading side seeing
// the end), and the receiver reconnects and goes on sending.
TEST(LinkE2E, BrokenOutputWithRawInputReconnects) {
    std::vector<std::string> recordings = shared_recordings("_2000k.u8");
    if (recordings.empty()) GTEST_SKIP() << "no 2.0 MS/s recording";
    const std::string& rec = recordings.front();
    TempDir dir;
    std::string input = dir.file("modes1.raw");
    // Probe block first; the recording forty times over (about 14 M samples),
    // so that frames are still being written when the proxy hangs up, however
    // late the proxy gets to run.
    std::string capture(8192, '\x7f');
    const std::string samples = read_file(rec);
    for (int i = 0; i < 40; i++) capture += samples;
    write_file(input, capture);
    ProxyProcess proxy(dir, {"-c", "2", "--close-after", "1", "--fault-conn", "1", "-t", "20"});
    ASSERT_GT(proxy.port(), 0);
    ProcessResult r = run_vorlix({"-w", "0", "-r", "1", "-s", "2000000", "-o", proxy.url(), input});
    std::string lines = proxy.finish();
    EXPECT_EQ(r.status, 0) << r.err;
    // The hang-up shows at the next write or at once by the reading side.
    EXPECT_GE(count_of(r.err, "Warning - socket failed in write frame (") +
                  count_of(r.err, "Warning - level-2 to " + proxy.url() + ", no header"),
              1)
        << r.err;
    EXPECT_EQ(count_of(lines, "conn 2 open"), 1) << lines;
    EXPECT_GE(lines_with(lines, "conn 2: 20").size(), 100U) << lines;
    EXPECT_NE(lines_with(lines, "conn 2: 20")[0].find("L2_OP_HELLO"), std::string::npos);
    EXPECT_GE(lines_with(lines, "L2_OP_FRAME_DF17 8").size(), 100U);
}

}  // namespace
