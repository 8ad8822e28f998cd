// The connection: init_client and its non-blocking connect, and the link's
// life over a loopback listener (connect in the background, a peer that
// stops taking bytes, a restart between two connections).
#include "sdr/link.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "include/level2.h"
#include "sdr/remote.h"
#include "tests/support/log_capture.h"
#include "tests/support/process.h"

namespace {

int listen_loopback(int* port, int backlog = 4) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    EXPECT_EQ(bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
    EXPECT_EQ(listen(s, backlog), 0);
    socklen_t len = sizeof(a);
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    *port = ntohs(a.sin_port);
    return s;
}

TEST(InitClient, ConnectsToLoopbackWithItsOptions) {
    int port = 0;
    int s = listen_loopback(&port);
    std::string url = "127.0.0.1:" + std::to_string(port);
    ClientConn* c = init_client(url.c_str());
    ASSERT_NE(c, nullptr);
    EXPECT_GE(c->fd, 3);
    EXPECT_EQ(c->remote_peer, 1);
    EXPECT_STREQ(c->host, "127.0.0.1");
    EXPECT_EQ(c->port, std::to_string(port));
    EXPECT_EQ(c->addr_list, nullptr);  // released
    int peer = accept(s, nullptr, nullptr);
    EXPECT_GE(peer, 0);

    const struct {
        int level, name, value;
    } options[] = {{SOL_SOCKET, SO_KEEPALIVE, 1},
                   {IPPROTO_TCP, TCP_KEEPIDLE, 30},
                   {IPPROTO_TCP, TCP_KEEPINTVL, 30},
                   {IPPROTO_TCP, TCP_KEEPCNT, 4},
                   {IPPROTO_TCP, TCP_NODELAY, 1}};
    for (const auto& o : options) {
        int v = -1;
        socklen_t len = sizeof(v);
        ASSERT_EQ(getsockopt(c->fd, o.level, o.name, &v, &len), 0);
        EXPECT_EQ(v != 0, o.value != 0) << o.name;
        if (o.name != SO_KEEPALIVE && o.name != TCP_NODELAY) {
            EXPECT_EQ(v, o.value) << o.name;
        }
    }
    timeval tv{};
    socklen_t len = sizeof(tv);
    ASSERT_EQ(getsockopt(c->fd, SOL_SOCKET, SO_RCVTIMEO, &tv, &len), 0);
    EXPECT_EQ(tv.tv_sec, 30);
    EXPECT_NE(fcntl(c->fd, F_GETFL) & O_NONBLOCK, 0);
    close(c->fd);
    close(peer);
    close(s);
}

TEST(InitClient, RefusedAndUnresolvable) {
    int port = 0;
    int s = listen_loopback(&port);
    close(s);  // nobody listens there now
    std::string url = "127.0.0.1:" + std::to_string(port);
    {
        LogCapture log;
        EXPECT_EQ(init_client(url.c_str()), nullptr);
        // User-mode emulation hands the host's error number through the
        // socket's error option untranslated: only the board's own text
        // is checked there.
        char expect[128];
        snprintf(expect, sizeof(expect), "0x007f%02x%02x (16, %s", port & 0xFF, port >> 8,
                 std::string(VORLIX_EMULATOR).empty() ? "Connection refused)\n" : "");
        EXPECT_NE(log.text().find(expect), std::string::npos) << log.text();
        EXPECT_NE(log.text().find("Warning - Connect failed on all instances of " + url),
                  std::string::npos);
    }
    // A host of 62 characters is accepted; the port text is cut to 7
    // characters (an unknown service: no name look-up happens).
    std::string host(62, 'h');
    std::string long_url = host + ":nosuchservice";
    {
        LogCapture log;
        EXPECT_EQ(init_client(long_url.c_str()), nullptr);
        EXPECT_NE(log.text().find("Warning - getaddrinfo (" + host + ", nosuchs, ...): "),
                  std::string::npos)
            << log.text();
    }
}

TEST(InitClientDeathTest, HostOfSixtyThreeCharacters) {
    std::string url = std::string(63, 'h') + ":1";
    EXPECT_EXIT(init_client(url.c_str()), testing::ExitedWithCode(1),
                "Fatal - sorry, cannot process url h+:1 \\(host part is too long\\)");
}

TEST(InitClient, LocalFileAndStandardOutput) {
    link_reset();
    TempDir dir;
    std::string path = dir.file("out.l2");
    write_file(path, "old contents");
    ClientConn* c = init_client(path.c_str());
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->remote_peer, 0);
    ASSERT_EQ(write(c->fd, "one", 3), 3);
    close(c->fd);
    EXPECT_EQ(read_file(path), "one");  // the first open of the run truncates
    c = init_client(path.c_str());
    ASSERT_EQ(write(c->fd, "two", 3), 3);
    close(c->fd);
    EXPECT_EQ(read_file(path), "onetwo");  // a reopen appends

    LogCapture log;
    c = init_client(nullptr);
    EXPECT_EQ(c->fd, 1);
    EXPECT_EQ(c->remote_peer, 0);
    EXPECT_EQ(log.text(), "Info - Set client file descriptor = 1\n");
}

TEST(InitClientDeathTest, LocalFileThatCannotBeOpened) {
    EXPECT_EXIT(init_client("/nonexistent-dir/out.l2"), testing::ExitedWithCode(1),
                "Fatal - Cannot open local file /nonexistent-dir/out.l2");
}

// A listener whose backlog is full never answers a connect: the SYN is
// dropped. The connect fails on its deadline as a connect failure, with its
// own warning. The start is put 9.5 s in the past so that the real wait is
// half a second.
TEST(InitClient, UnansweredConnectFailsAtItsDeadline) {
    int port = 0;
    int s = listen_loopback(&port, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    std::vector<int> fillers;
    for (int i = 0; i < 3; i++) {
        int f = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        (void)connect(f, reinterpret_cast<sockaddr*>(&a), sizeof(a));
        fillers.push_back(f);
    }
    usleep(200000);  // the fillers take the backlog
    link_reset();
    std::string url = "127.0.0.1:" + std::to_string(port);
    LogCapture log;
    const int64_t start = monotonic_ms();
    ClientConn* c = client_start(url.c_str(), start - (kConnectTimeoutMs - 500));
    ASSERT_NE(c, nullptr);
    ASSERT_EQ(c->connecting, 1);
    // Looking only, before the deadline: still in progress.
    EXPECT_EQ(client_progress(c, start, 0), 0);
    int r = 0;
    while ((r = client_progress(c, monotonic_ms(), 1000)) == 0) {
    }
    const int64_t took = monotonic_ms() - start;
    EXPECT_EQ(r, -1);
    EXPECT_LT(took, 5000);
    EXPECT_NE(log.text().find("Warning - Connect timed out on fd "), std::string::npos) << log.text();
    EXPECT_NE(log.text().find(" after 10 s\nWarning - Connect failed on all instances of " + url),
              std::string::npos)
        << log.text();
    for (int f : fillers) close(f);
    close(s);
}

// The link over a loopback connection, as the driver runs it with a live
// input: connected in the background, the HELLO first, frames written as the
// socket takes them.
class LiveLinkState : public testing::Test {
   protected:
    void SetUp() override {
        signal(SIGPIPE, SIG_IGN);
        link_reset();
        remote_reset_state();
        ctx_ = std::make_unique<Context>();
        memset(ctx_.get(), 0, sizeof(Context));
        ls_ = listen_loopback(&port_, 4);
        url_ = "127.0.0.1:" + std::to_string(port_);
        ctx_->out_url = url_.c_str();
        ctx_->out_fd = -1;
        ctx_->uniq_id = uniq_make(0x00446655, 0x080A);
    }
    void TearDown() override {
        link_close(ctx_.get(), false);
        close(ls_);
    }
    /// Opens without waiting and serves the link until it reports the
    /// connection (the HELLO is then queued); the peer's end.
    int connect_peer() {
        int r = link_open(ctx(), false, monotonic_ms());
        EXPECT_GE(r, 0);
        for (int i = 0; r == 0 && i < 1000; i++) {
            usleep(1000);
            r = link_service(ctx(), monotonic_ms());
        }
        EXPECT_EQ(r, LINK_CONNECTED);
        EXPECT_EQ(remote_connected(ctx(), ts_make(1700000000, 0)), 0);
        pollfd p{ls_, POLLIN, 0};
        EXPECT_EQ(poll(&p, 1, 5000), 1);
        return accept(ls_, nullptr, nullptr);
    }
    /// Queues a DF17 frame `after` units of 2^-32 s after a fixed time.
    int send(uint64_t after, uint32_t parity) {
        uint8_t f[14] = {0x8D, 0x12, 0x34, 0x56};
        f[11] = static_cast<uint8_t>(parity >> 16);
        f[12] = static_cast<uint8_t>(parity >> 8);
        f[13] = static_cast<uint8_t>(parity);
        FrameInfo info{ts_make(1700000001, 0) + after};
        return send_frame(ctx(), f, 14, &info);
    }
    Context* ctx() { return ctx_.get(); }
    std::unique_ptr<Context> ctx_;
    int ls_ = -1;
    int port_ = 0;
    std::string url_;
};

/// The ops and time fractions of the messages that arrive on `fd` within
/// half a second, and whether the stream ended.
std::vector<std::pair<int, uint32_t>> arrived(int fd, bool* ended) {
    std::vector<uint8_t> data;
    *ended = false;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 500) <= 0) break;
        uint8_t buf[4096];
        ssize_t n = read(fd, buf, sizeof(buf));
        if (n <= 0) {
            *ended = true;
            break;
        }
        data.insert(data.end(), buf, buf + n);
    }
    std::vector<std::pair<int, uint32_t>> out;
    for (size_t pos = 0; pos + kL2HeaderBytes <= data.size(); pos += kL2HeaderBytes + data[pos + 19])
        out.push_back({data[pos + 18], get_be32(&data[pos + 8])});
    return out;
}

TEST_F(LiveLinkState, RestartSendsTheOldFramesThenANewConnection) {
    int first = connect_peer();
    ASSERT_GE(first, 0);
    EXPECT_EQ(send(2000, 0x111111), 0);
    EXPECT_EQ(send(3000, 0x222222), 0);
    // A new time base: the filter starts again, so an earlier frame passes,
    // and it goes out on a new connection after its HELLO.
    remote_restart(ctx());
    EXPECT_EQ(send(1000, 0x333333), 0);
    int r = LINK_OK;
    for (int i = 0; i < 1000 && (r = link_service(ctx(), monotonic_ms())) == LINK_OK; i++)
        usleep(1000);
    ASSERT_EQ(r, LINK_CONNECTED);
    EXPECT_EQ(remote_connected(ctx(), ts_make(1700000002, 0)), 0);
    EXPECT_EQ(link_service(ctx(), monotonic_ms()), LINK_OK);
    pollfd p{ls_, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 5000), 1);
    int second = accept(ls_, nullptr, nullptr);
    bool ended = false;
    using M = std::vector<std::pair<int, uint32_t>>;
    EXPECT_EQ(arrived(first, &ended),
              (M{{L2_OP_HELLO, 0}, {L2_OP_FRAME_DF17, 2000}, {L2_OP_FRAME_DF17, 3000}}));
    EXPECT_TRUE(ended);
    EXPECT_EQ(arrived(second, &ended), (M{{L2_OP_HELLO, 0}, {L2_OP_FRAME_DF17, 1000}}));
    EXPECT_FALSE(ended);
    close(first);
    close(second);
}

// A peer that takes no byte for 30 s (by the clock handed in) while
// messages wait is given up; one that is merely idle is not.
TEST_F(LiveLinkState, PeerThatTakesNothingFor30sIsGivenUp) {
    int peer = connect_peer();
    ASSERT_GE(peer, 0);
    const int64_t t = monotonic_ms();
    EXPECT_EQ(link_service(ctx(), t), LINK_OK);  // the HELLO goes
    EXPECT_EQ(link_service(ctx(), t + 60000), LINK_OK);  // idle: nothing waits
    // Fill the socket: the peer reads nothing.
    const int64_t stalled = t + 60000;
    uint64_t k = 0;
    for (int round = 0; round < 1000 && sendq_pending(link_queue()) == 0; round++) {
        for (int i = 0; i < 200; i++, k++) ASSERT_EQ(send(k * 300000, static_cast<uint32_t>(k)), 0);
        ASSERT_EQ(link_service(ctx(), stalled), LINK_OK);
    }
    ASSERT_GT(sendq_pending(link_queue()), 0U);
    // One call a (handed-in) second, with more frames each time: the first
    // failure comes 30 s after the last call that wrote anything (the
    // kernel takes more for a while as the peer's receive buffer fills).
    LogCapture log;
    int64_t last_progress = stalled;
    int64_t broken_at = 0;
    for (int i = 1; i <= 90 && broken_at == 0; i++) {
        for (int j = 0; j < 1000; j++, k++) ASSERT_EQ(send(k * 300000, static_cast<uint32_t>(k)), 0);
        const uint32_t before = link_queue()->used;
        usleep(5000);
        const int r = link_service(ctx(), stalled + 1000LL * i);
        if (r == LINK_BROKEN) broken_at = stalled + 1000LL * i;
        else if (link_queue()->used != before) last_progress = stalled + 1000LL * i;
    }
    EXPECT_EQ(broken_at - last_progress, kStallLimitMs);
    EXPECT_EQ(ctx()->out_broken, 1);
    EXPECT_NE(log.text().find("Warning - level-2 to " + url_ + " took no bytes for 30 s, "),
              std::string::npos)
        << log.text();
    close(peer);
}

}  // namespace
