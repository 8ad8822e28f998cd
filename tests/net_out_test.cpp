// The listening outputs over real sockets on 127.0.0.1 (ports the system
// picks): a client that stops reading is dropped while the others get every
// byte, the client limit with its throttled warning, and ports that cannot
// be listened on reported with their reason.
#include "sdr/net_out.h"

#include <arpa/inet.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "sdr/beast_raw.h"
#include "tests/support/log_capture.h"
#include "tests/support/serve_outputs.h"

namespace {

int connect_loopback(uint16_t port, int receive_buffer = 0) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (receive_buffer > 0) {
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << strerror(errno);
    return fd;
}

uint16_t local_port(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

/// Appends what `fd` has without waiting; false once it reached its end
/// (or failed).
bool drain(int fd, std::string* into) {
    char buf[65536];
    for (;;) {
        const ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) {
            into->append(buf, static_cast<size_t>(n));
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return true;
        } else {
            return false;
        }
    }
}

/// A long frame that names message `i`.
void frame_of(uint32_t i, uint8_t* frame) {
    for (int k = 0; k < kModeSLongBytes; k++) frame[k] = static_cast<uint8_t>(i >> (8 * (k % 4)));
    frame[0] = 0x8d;
}

class NetOut : public ::testing::Test {
   protected:
    void SetUp() override { net_out_close_all(); }
    void TearDown() override { net_out_close_all(); }
    LogCapture log;
    OutputLoop loop;
};

// Two clients that read (one of them sends bytes too) get every message in
// order; a third that never reads is closed
// once it falls behind the ring, with one warning naming it, after having
// received a prefix of the stream.
TEST_F(NetOut, StalledClientDroppedWhileOthersGetEveryByte) {
    ASSERT_EQ(net_out_open(NET_OUT_BEAST, 0, "127.0.0.1"), 0);
    const uint16_t port = net_out_stats(NET_OUT_BEAST).port;
    ASSERT_NE(port, 0);
    const int a = connect_loopback(port);
    const int b = connect_loopback(port);
    const int stalled = connect_loopback(port, 4096);
    ASSERT_EQ(send(a, "hello\r\n", 7, 0), 7);
    ASSERT_TRUE(loop.until([] { return net_out_stats(NET_OUT_BEAST).clients == 3; }));

    std::string want, got_a, got_b;
    uint32_t i = 0;
    for (int round = 0; round < 250; round++) {
        for (int k = 0; k < 200; k++, i++) {
            uint8_t frame[kModeSLongBytes];
            frame_of(i, frame);
            const TimeStamp toa = ts_make(1700000000U + i / 1000, i * 4294967U);
            net_out_frame(frame, kModeSLongBytes, toa, static_cast<int32_t>(i % 256));
            uint8_t msg[kBeastMaxBytes];
            const int n = beast_encode(msg, frame, kModeSLongBytes, beast_clock_12mhz(toa),
                                       beast_signal_from_level(static_cast<int32_t>(i % 256)));
            want.append(reinterpret_cast<char*>(msg), static_cast<size_t>(n));
        }
        const std::string chatter(600, 'x');  // more than one read takes
        ASSERT_EQ(send(a, chatter.data(), chatter.size(), 0), 600);
        loop.round();
        ASSERT_TRUE(drain(a, &got_a));
        ASSERT_TRUE(drain(b, &got_b));
    }
    ASSERT_TRUE(loop.until([&] {
        drain(a, &got_a);
        drain(b, &got_b);
        return got_a.size() >= want.size() && got_b.size() >= want.size();
    }));
    EXPECT_TRUE(got_a == want) << got_a.size() << " of " << want.size() << " bytes";
    EXPECT_TRUE(got_b == want) << got_b.size() << " of " << want.size() << " bytes";

    const NetOutStats s = net_out_stats(NET_OUT_BEAST);
    EXPECT_EQ(s.clients, 2);
    EXPECT_EQ(s.dropped, 1U);
    const std::string text = log.text();
    const std::string named =
        "Warning - Beast output: client 127.0.0.1:" + std::to_string(local_port(stalled)) +
        " fell ";
    const size_t at = text.find(named);
    ASSERT_NE(at, std::string::npos) << text;
    EXPECT_EQ(text.find(" fell ", at + named.size()), std::string::npos)
        << "warned twice: " << text;
    const unsigned long behind = std::stoul(text.substr(at + named.size()));
    EXPECT_GT(behind, kNetRingBytes - kBeastMaxBytes) << text;
    EXPECT_LE(behind, kNetRingBytes) << text;
    EXPECT_NE(text.find(" bytes behind (the ring holds 262144), no bytes taken for "),
              std::string::npos)
        << text;

    // What the stalled client received before it was closed: the start of
    // the stream, then its end.
    std::string got_stalled;
    pollfd p = {stalled, POLLIN, 0};
    while (poll(&p, 1, 10000) > 0 && drain(stalled, &got_stalled)) {
    }
    EXPECT_LT(got_stalled.size(), want.size());
    EXPECT_TRUE(want.compare(0, got_stalled.size(), got_stalled) == 0);
    close(a);
    close(b);
    close(stalled);
}

// Sixteen clients are served; the seventeenth is closed at once with a
// warning, and further ones within 10 s only counted, the next warning
// saying how many were held back. A client that leaves frees its slot.
TEST_F(NetOut, SixteenClientsAndOneRefused) {
    ASSERT_EQ(net_out_open(NET_OUT_RAW, 0, nullptr), 0);  // every address
    const uint16_t port = net_out_stats(NET_OUT_RAW).port;
    std::vector<int> fds;
    for (int k = 0; k <= kNetClientsMax; k++) {
        fds.push_back(connect_loopback(port));
        ASSERT_TRUE(loop.until([&] {
            const NetOutStats s = net_out_stats(NET_OUT_RAW);
            return s.accepted + s.refused == static_cast<uint32_t>(k + 1);
        }));
    }
    NetOutStats s = net_out_stats(NET_OUT_RAW);
    EXPECT_EQ(s.clients, kNetClientsMax);
    EXPECT_EQ(s.refused, 1U);
    const std::string refused =
        "Warning - raw output: client 127.0.0.1:" + std::to_string(local_port(fds.back())) +
        " refused, 16 clients connected already\n";
    EXPECT_NE(log.text().find(refused), std::string::npos) << log.text();

    const uint8_t frame[kModeSShortBytes] = {0x5d, 0x48, 0x40, 0xd6, 0xa9, 0xc8, 0xf1};
    net_out_frame(frame, kModeSShortBytes, ts_make(1700000000U, 0), 50);
    for (int k = 0; k <= kNetClientsMax; k++) {
        std::string got;
        bool open = true;
        ASSERT_TRUE(loop.until([&] {
            open = drain(fds[static_cast<size_t>(k)], &got);
            return !open || got.size() >= 17;
        })) << "client "
            << k;
        if (k < kNetClientsMax) {
            EXPECT_EQ(got, "*5D4840D6A9C8F1;\n") << "client " << k;
        } else {
            EXPECT_FALSE(open) << "the refused client got " << got;
        }
    }

    // One more a second later: counted, not warned about; another 10 s
    // after the warning: warned about, with the one held back.
    const int quiet = connect_loopback(port);
    loop.now_ms += 1000;
    ASSERT_TRUE(loop.until([] { return net_out_stats(NET_OUT_RAW).refused == 2; }));
    EXPECT_EQ(log.text().find(std::to_string(local_port(quiet)) + " refused"), std::string::npos);
    loop.now_ms += kNetWarnEveryMs;
    const int loud = connect_loopback(port);
    ASSERT_TRUE(loop.until([] { return net_out_stats(NET_OUT_RAW).refused == 3; }));
    EXPECT_NE(log.text().find(std::to_string(local_port(loud)) +
                              " refused, 16 clients connected already (1 more held back)"),
              std::string::npos)
        << log.text();

    close(fds[0]);
    ASSERT_TRUE(
        loop.until([] { return net_out_stats(NET_OUT_RAW).clients == kNetClientsMax - 1; }));
    const int next = connect_loopback(port);
    ASSERT_TRUE(loop.until([] { return net_out_stats(NET_OUT_RAW).clients == kNetClientsMax; }));
    s = net_out_stats(NET_OUT_RAW);
    EXPECT_EQ(s.refused, 3U);
    EXPECT_EQ(s.accepted, static_cast<uint32_t>(kNetClientsMax + 1));
    for (size_t k = 1; k < fds.size(); k++) close(fds[k]);
    close(quiet);
    close(loud);
    close(next);
}

// A port another socket listens on, and addresses that are no numeric
// address, are refused with their reason; an output opens once.
TEST_F(NetOut, PortsThatCannotBeListenedOnAreReported) {
    const int taken = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(taken, 1), 0);
    const uint16_t port = local_port(taken);
    struct Row {
        const char* address;
        uint16_t port;
        int result;
    } rows[] = {
        {"127.0.0.1", port, -EADDRINUSE},
        {nullptr, port, -EADDRINUSE},  // every address includes 127.0.0.1
        {"localhost", 0, -EINVAL},     // no name is resolved
        {"127.0.0.256", 0, -EINVAL},
        {"", 0, -EINVAL},
    };
    for (const Row& r : rows) {
        const int got = net_out_open(NET_OUT_BEAST, r.port, r.address);
        EXPECT_EQ(got, r.result) << (r.address ? r.address : "(every address)") << " port "
                                 << r.port << ": " << strerror(-got);
        EXPECT_FALSE(net_out_is_open(NET_OUT_BEAST));
        net_out_close(NET_OUT_BEAST);
    }
    EXPECT_STREQ(strerror(EADDRINUSE), "Address already in use");
    ASSERT_EQ(net_out_open(NET_OUT_BEAST, 0, "127.0.0.1"), 0);
    EXPECT_EQ(net_out_open(NET_OUT_BEAST, 0, "127.0.0.1"), -EBUSY);
    EXPECT_EQ(net_out_open(NET_OUT_RAW, net_out_stats(NET_OUT_BEAST).port, "127.0.0.1"),
              -EADDRINUSE);
    close(taken);
}

// With no descriptor left, a waiting client cannot be accepted and the
// listening socket stays ready: it rests for a second (out of the poll
// set, a deadline instead) with one warning, then the client is taken.
TEST_F(NetOut, AcceptWithoutDescriptorsRestsTheListeningSocket) {
    ASSERT_EQ(net_out_open(NET_OUT_BEAST, 0, "127.0.0.1"), 0);
    const int client = socket(AF_INET, SOCK_STREAM, 0);
    // While no descriptor is left, the sanitizers cannot look up the
    // fixture's type: the rounds use a plain copy of its loop.
    OutputLoop bare = loop;
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    const int lowest = dup(0);  // the next descriptor the system would give
    close(lowest);
    rlimit none = saved;
    none.rlim_cur = static_cast<rlim_t>(lowest);
    if (setrlimit(RLIMIT_NOFILE, &none) != 0) GTEST_SKIP() << "cannot lower the descriptor limit";
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(net_out_stats(NET_OUT_BEAST).port);
    const int connected = connect(client, reinterpret_cast<sockaddr*>(&a), sizeof a);
    for (int k = 0; k < 3; k++) bare.round();
    pollfd fds[kNetPollMax];
    int64_t deadline = INT64_MAX;
    const int n = net_out_poll_fill(fds, kNetPollMax, bare.now_ms, &deadline);
    setrlimit(RLIMIT_NOFILE, &saved);
    loop = bare;
    ASSERT_EQ(connected, 0) << strerror(errno);
    EXPECT_EQ(n, 0) << "the listening socket is polled while it cannot accept";
    EXPECT_GT(deadline, loop.now_ms);
    EXPECT_LE(deadline, loop.now_ms + kNetAcceptRestMs);
    const std::string warning = std::string("Warning - Beast output: cannot accept a client (") +
                                strerror(EMFILE) + ", " + std::to_string(EMFILE) +
                                "), trying again in 1000 ms\n";
    EXPECT_EQ(log.text(), warning);
    EXPECT_EQ(net_out_stats(NET_OUT_BEAST).accepted, 0U);
    loop.now_ms = deadline;
    EXPECT_TRUE(loop.until([] { return net_out_stats(NET_OUT_BEAST).clients == 1; }));
    close(client);
}

}  // namespace
