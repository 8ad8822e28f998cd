// The listening outputs as the service runs them: --net-bo-port and
// --net-ro-port on 127.0.0.1, clients of the test's own, the capture from a
// named pipe so that an attempt ends when the test closes its side. The
// rings, the framing and the per-client rules are net_out_test's and
// beast_raw_test's; here: the options reach the sockets, the ports outlive
// an attempt, every frame the check passes goes out once with the time
// stamp of its time of arrival, the client limit holds, and a port that
// cannot be bound ends the process at start-up.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "sdr/beast_raw.h"
#include "tests/support/air.h"
#include "tests/support/capture.h"
#include "tests/support/live.h"
#include "tests/support/process.h"

namespace {

constexpr uint64_t kT0 = 1700000000000000000ULL;
constexpr int kRecordsPerAttempt = 20;

/// A port that was free a moment ago (the service binds it next).
int free_port() {
    uint16_t port = 0;
    int fd = listen_on(0, &port);
    if (fd >= 0) close(fd);
    return port;
}

/// Connects to 127.0.0.1:port, trying again for up to 20 s while nothing listens.
int connect_local(int port) {
    for (int i = 0; i < 2000; i++) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(port));
        if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return fd;
        close(fd);
        usleep(10000);
    }
    return -1;
}

/// Everything `fd` delivers until its end of stream, for at most `limit_ms`.
std::string read_to_end(int fd, int limit_ms) {
    std::string got;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
    while (std::chrono::steady_clock::now() < until) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        char buf[4096];
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

/// Waits up to 60 s until the log at `path` holds `needle` `count` times.
bool log_has(const std::string& path, const std::string& needle, int count = 1) {
    for (int i = 0; i < 6000; i++) {
        if (count_of(read_file(path), needle) >= count) return true;
        usleep(10000);
    }
    return false;
}

/// The 12 MHz counter of a time in ns since the epoch (modulo 2^48).
uint64_t ticks_of_ns(uint64_t ns) {
    const uint64_t s = ns / 1000000000ULL;
    const uint64_t rest = ns % 1000000000ULL;
    return (s * 12000000ULL + rest * 12 / 1000) & kBeastClockMask;
}

/// One frame of the capture: its bytes and the centre of its first pulse, ns.
struct AirFrame {
    std::string bytes;
    uint64_t centre_ns;
};

/// The records of attempt `a` (each kAirFramesPerBlock squitters, the k-th
/// 1000 pairs after the first, whose first pulse starts at pair 200), and
/// their frames appended to *frames.
std::string attempt_records(int a, std::vector<AirFrame>* frames) {
    std::string s = capture_probe(true);
    for (int r = 0; r < kRecordsPerAttempt; r++) {
        const int n = a * kRecordsPerAttempt + r;
        const uint64_t t = kT0 + static_cast<uint64_t>(n) * kAirRecordNs;
        const uint32_t first = 0x300000 + static_cast<uint32_t>(kAirFramesPerBlock * n);
        s += air_record(t, first);
        for (int k = 0; k < kAirFramesPerBlock; k++) {
            // A record's time is the instant after its last pair (4096 at
            // 2.4 MS/s); pair p starts p / 2.4 us into the record, the pulse's
            // centre 0.25 us after that.
            const uint64_t pair = 200 + 1000 * static_cast<uint64_t>(k);
            frames->push_back({air_squitter(first + static_cast<uint32_t>(k)),
                               t - (4096 - pair) * 10000 / 24 + 250});
        }
    }
    return s;
}

std::string hex_of(const std::string& bytes) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string h;
    for (unsigned char c : bytes) {
        h += kHex[c >> 4];
        h += kHex[c & 15];
    }
    return h;
}

/// Writes `data` into the named pipe once the service opened it for reading.
bool write_pipe(const std::string& path, const std::string& data) {
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);  // waits for the reader
    if (fd < 0) return false;
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t w = write(fd, data.data() + done, data.size() - done);
        if (w <= 0) break;
        done += static_cast<size_t>(w);
    }
    close(fd);
    return done == data.size();
}

}  // namespace

// A port another socket holds: the fatal line with the system's reason and
// status 1, before the start-up delay (-w 30 would otherwise pass first).
TEST(Outputs, PortInUseIsFatalAtStartUp) {
    uint16_t port = 0;
    const int holder = listen_on(0, &port);
    ASSERT_GE(holder, 0);
    const std::string reason =
        std::string(" (") + strerror(EADDRINUSE) + ", " + std::to_string(EADDRINUSE) + ")\n";
    const std::string p = std::to_string(port);
    struct Row {
        std::vector<std::string> args;
        std::string fatal;
    } rows[] = {
        {{"--net-bo-port", p},
         "Fatal - Cannot listen on every address port " + p + " for the Beast output" + reason},
        {{"--net-bind-address", "127.0.0.1", "--net-bo-port", std::to_string(free_port()),
          "--net-ro-port", p},
         "Fatal - Cannot listen on 127.0.0.1 port " + p + " for the raw output" + reason},
    };
    for (const Row& row : rows) {
        std::vector<std::string> args = {"-w", "30"};
        args.insert(args.end(), row.args.begin(), row.args.end());
        args.push_back("/dev/null");
        const ProcessResult r = run_vorlix(args);
        EXPECT_EQ(r.status, 1) << row.fatal << r.err;
        EXPECT_EQ(count_of(r.err, row.fatal), 1) << row.fatal << r.err;
    }
    close(holder);
}

// Two attempts over a named pipe, the clients connected before the first:
// every frame of both attempts reaches each of 16 Beast clients and the raw
// client once, in order, the Beast time stamp within 0.5 us of the frame's
// true time (and rising); a 17th Beast client is closed at once. Real
// time: the 2 s back-off between the attempts.
TEST(Outputs, BothOutputsAcrossAnAttemptsEnd) {
    TempDir dir;
    const std::string pipe_path = dir.file("capture");
    ASSERT_EQ(mkfifo(pipe_path.c_str(), 0600), 0);
    const int bo = free_port();
    const int ro = free_port();
    const std::string log = dir.file("log");
    ServiceProcess svc({"-w", "0", "-r", "1", "--net-bind-address", "127.0.0.1", "--net-bo-port",
                        std::to_string(bo), "--net-ro-port", std::to_string(ro), pipe_path},
                       log);
    std::vector<int> beast;
    for (int i = 0; i < 16; i++) {
        beast.push_back(connect_local(bo));
        ASSERT_GE(beast.back(), 0) << i << "\n" << read_file(log);
    }
    const int refused = connect_local(bo);
    ASSERT_GE(refused, 0);
    // Its end of stream says the 16 before it are accepted (in their order).
    EXPECT_EQ(read_to_end(refused, 20000), "");
    close(refused);
    EXPECT_TRUE(log_has(log, "refused, 16 clients connected already")) << read_file(log);
    const int raw = connect_local(ro);
    ASSERT_GE(raw, 0);
    ASSERT_TRUE(log_has(log, "raw output: client 127.0.0.1:")) << read_file(log);

    std::vector<AirFrame> frames;
    for (int a = 0; a < 2; a++) {
        ASSERT_TRUE(write_pipe(pipe_path, attempt_records(a, &frames))) << a;
        // The next writer must meet the next attempt's reader, not this one.
        ASSERT_TRUE(log_has(log, "Info - Close in_fd and ctx.out_fd", a + 1)) << read_file(log);
    }
    EXPECT_EQ(svc.wait(), 0) << read_file(log);
    EXPECT_EQ(count_of(read_file(log), "refused, 16 clients connected already"), 1);

    std::string raw_expected;
    for (const AirFrame& f : frames) {
        raw_expected += '*';
        raw_expected += hex_of(f.bytes);
        raw_expected += ";\n";
    }
    EXPECT_EQ(read_to_end(raw, 20000), raw_expected);
    close(raw);

    const std::string first = read_to_end(beast[0], 20000);
    BeastReader reader;
    beast_reader_init(&reader);
    std::vector<BeastMessage> got;
    for (unsigned char c : first) {
        BeastMessage m;
        if (beast_read_byte(&reader, c, &m) == 1) got.push_back(m);
    }
    EXPECT_EQ(reader.skipped, 0U);
    ASSERT_EQ(got.size(), frames.size());
    for (size_t i = 0; i < got.size(); i++) {
        const BeastMessage& m = got[i];
        ASSERT_EQ(std::string(reinterpret_cast<const char*>(m.frame), m.length), frames[i].bytes)
            << i;
        EXPECT_EQ(m.type, kBeastTypeLong) << i;
        const int64_t off =
            static_cast<int64_t>((m.stamp - ticks_of_ns(frames[i].centre_ns)) & kBeastClockMask);
        const int64_t diff = off >= (int64_t{1} << 47) ? off - (int64_t{1} << 48) : off;
        EXPECT_LE(diff < 0 ? -diff : diff, 6) << "frame " << i << ": stamp - true time " << diff;
        if (i > 0) {
            EXPECT_GT(m.stamp, got[i - 1].stamp) << i;
        }
    }
    for (size_t c = 1; c < beast.size(); c++) {
        EXPECT_EQ(read_to_end(beast[c], 20000), first) << "client " << c;
        close(beast[c]);
    }
    close(beast[0]);
}
