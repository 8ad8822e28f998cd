// The level-2 messages over socket pairs: reading requests, the frame
// filter, sync answers. Messages go through the link's queue, which
// link_service writes to the socket.
#include "sdr/remote.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "sdr/link.h"
#include "sdr/log.h"
#include "sdr/radio.h"
#include "tests/support/log_capture.h"
#include "tests/support/process.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr TimeStamp kT0 = ts_make(1500000000U, 0);  // 2017/07/14 02:40:00Z
const UniqId kOwnId = uniq_make(0x00446655, 0x080A);

// A context whose output is one end of a socket pair; the test is the peer.
class Link : public testing::Test {
   protected:
    void SetUp() override {
        signal(SIGPIPE, SIG_IGN);
        remote_reset_state();
        link_reset();
        ctx_ = std::make_unique<Context>();
        memset(ctx_.get(), 0, sizeof(Context));
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds_), 0);
        ctx_->out_fd = fds_[0];
        ctx_->out_remote = 1;
        ctx_->out_url = "127.0.0.1:30005";
        ctx_->uniq_id = kOwnId;
    }
    void TearDown() override {
        if (fds_[0] >= 0) close(fds_[0]);
        if (fds_[1] >= 0) close(fds_[1]);
    }
    void peer_send(const Bytes& b) {
        ASSERT_EQ(write(fds_[1], b.data(), b.size()), static_cast<ssize_t>(b.size()));
    }
    void peer_close() {
        close(fds_[1]);
        fds_[1] = -1;
    }
    // Everything the service has queued, written out and received.
    Bytes peer_received() {
        EXPECT_EQ(link_service(ctx(), monotonic_ms()), LINK_OK);
        Bytes out;
        int waiting = 0;
        ioctl(fds_[1], FIONREAD, &waiting);
        out.resize(static_cast<size_t>(waiting));
        if (waiting > 0) {
            EXPECT_EQ(read(fds_[1], out.data(), out.size()), waiting);
        }
        return out;
    }
    Context* ctx() { return ctx_.get(); }

    std::unique_ptr<Context> ctx_;
    int fds_[2] = {-1, -1};
};

Bytes message(uint8_t op, const Bytes& body, TimeStamp t = kT0,
              UniqId from = uniq_make(0x11223344, 0x0405)) {
    Bytes m(kL2HeaderBytes + body.size());
    l2_put_header(m.data(), t, from, op, static_cast<uint8_t>(body.size()));
    for (size_t i = 0; i < body.size(); i++) m[kL2HeaderBytes + i] = body[i];
    return m;
}

Bytes sync_request(int n_slots, uint8_t tag, TimeStamp last_slot_time) {
    SyncBody body{};
    body.tag = tag;
    body.n_slots = static_cast<uint8_t>(n_slots);
    for (int i = 0; i < n_slots && i < kSyncSlots; i++) {
        body.slots[i].uniq = uniq_make(0x1000U + static_cast<uint32_t>(i), 0x0405);
        body.slots[i].time = last_slot_time;
    }
    Bytes b(kSyncBodyBytes);
    sync_body_put(b.data(), body);
    b[1] = static_cast<uint8_t>(n_slots);
    return message(L2_OP_SYNC_REQ, b);
}

// 112-bit frames: DF17 and DF18 with given last three bytes.
Bytes frame(int df, uint32_t parity) {
    Bytes f(14, 0x42);
    f[0] = static_cast<uint8_t>(df << 3 | 5);
    f[11] = static_cast<uint8_t>(parity >> 16);
    f[12] = static_cast<uint8_t>(parity >> 8);
    f[13] = static_cast<uint8_t>(parity);
    return f;
}

int send(Context* ctx, const Bytes& f, TimeStamp toa) {
    FrameInfo info{toa};
    return send_frame(ctx, f.data(), static_cast<int>(f.size()), &info);
}

// ---- read_frame -----------------------------------------------------------

TEST_F(Link, ReadFrameResults) {
    Bytes hello = message(L2_OP_HELLO, {});
    Bytes big = message(L2_OP_STAT_REQ, {});
    big[19] = 160;
    Bytes cut = message(L2_OP_STAT_REQ, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    cut.resize(25);
    // The input is all there when reading starts, then the peer closes: a
    // call reads once when what it holds is not a whole message.
    const struct {
        const char* name;
        Bytes input;
        std::vector<int> results;  // one per read_frame call
        int last_nlast;
    } rows[] = {
        {"closed", {}, {RF_NO_HEADER}, 0},
        {"stray byte",
         [&] {
             Bytes b{'x'};
             b.insert(b.end(), hello.begin(), hello.end());
             return b;
         }(),
         {RF_HUNT, RF_OK, RF_NO_HEADER},
         0},
        {"a d x",
         [&] {
             Bytes b{'a', 'd', 'x'};
             b.insert(b.end(), hello.begin(), hello.end());
             return b;
         }(),
         {RF_HUNT, RF_OK},
         -9},
        {"magic only", {'a', 'd'}, {RF_PARTIAL, RF_NO_DATA}, 0},
        {"short header", Bytes(hello.begin(), hello.begin() + 10), {RF_PARTIAL, RF_NO_DATA}, 0},
        {"length 160", big, {RF_INCONSISTENT}, 16},
        {"body cut", cut, {RF_PARTIAL, RF_REOPEN}, 0},
    };
    for (const auto& r : rows) {
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        if (!r.input.empty()) {
            ASSERT_EQ(write(pair[1], r.input.data(), r.input.size()),
                      static_cast<ssize_t>(r.input.size()));
        }
        close(pair[1]);
        remote_reset_state();
        LogCapture log;
        L2Message msg{};
        int nlast = 0;
        for (size_t i = 0; i < r.results.size(); i++) {
            EXPECT_EQ(read_frame(pair[0], &msg, &nlast, 0), r.results[i]) << r.name << " call " << i;
            if (r.results[i] == RF_OK) {
                EXPECT_EQ(msg.op, L2_OP_HELLO);
                EXPECT_EQ(msg.time, kT0);
                EXPECT_EQ(uniq_id_value(msg.uniq), 0x11223344U);
            }
        }
        EXPECT_EQ(nlast, r.last_nlast) << r.name;
        if (r.results.back() == RF_INCONSISTENT) {
            EXPECT_EQ(log.text(), "Warning - in frame ? protocol error in size 160\n");
        }
        close(pair[0]);
    }
}

// ---- process_frame --------------------------------------------------------

TEST_F(Link, NothingWaitingReturnsAtOnce) {
    LogCapture log;
    TimeStamp t = timestamp_now();
    EXPECT_EQ(process_frame(ctx(), &t), 0);
    EXPECT_EQ(log.text(), "");
}

TEST_F(Link, SyncRequestWithTwoSlotsIsAnsweredWithThree) {
    TimeStamp cur = timestamp_now();
    TimeStamp last_slot = cur - (5ULL << 31);  // 2.5 s before cur_time
    peer_send(sync_request(2, 0x5C, last_slot));
    LogCapture log;
    EXPECT_EQ(process_frame(ctx(), &cur), 0);

    Bytes rsp = peer_received();
    ASSERT_EQ(rsp.size(), 134U);
    L2Message h{};
    l2_get_header(rsp.data(), &h);
    EXPECT_EQ(Bytes(rsp.begin(), rsp.begin() + 4), Bytes({'a', 'd', 's', '2'}));
    EXPECT_EQ(h.time, cur);
    EXPECT_EQ(h.op, L2_OP_SYNC_RSP);
    EXPECT_EQ(h.length, 114);
    EXPECT_EQ(memcmp(h.uniq.bytes, kOwnId.bytes, 6), 0);
    SyncBody body = sync_body_get(rsp.data() + kL2HeaderBytes);
    EXPECT_EQ(body.tag, 0x5C);
    EXPECT_EQ(body.n_slots, 3);
    EXPECT_EQ(uniq_id_value(body.slots[0].uniq), 0x1000U);
    EXPECT_EQ(uniq_id_value(body.slots[1].uniq), 0x1001U);
    EXPECT_EQ(body.slots[1].time, last_slot);
    EXPECT_EQ(memcmp(body.slots[2].uniq.bytes, kOwnId.bytes, 6), 0);
    EXPECT_EQ(body.slots[2].time, cur);
    for (int i = kL2HeaderBytes + 2 + 3 * 14; i < 134; i++) EXPECT_EQ(rsp[i], 0);

    char when[64];
    time_text(when, sizeof(when), cur);
    EXPECT_EQ(log.text(),
              std::string(when) + ": L2_SYNC_REQ from 0504=r-sbs-sno-11223344, dt=  2.5s\n");
}

TEST_F(Link, SyncRequestWithEightSlotsIsAnsweredUnchanged) {
    TimeStamp cur = timestamp_now();
    peer_send(sync_request(8, 7, cur));
    LogCapture log;
    EXPECT_EQ(process_frame(ctx(), &cur), 0);
    Bytes rsp = peer_received();
    ASSERT_EQ(rsp.size(), 134U);
    SyncBody body = sync_body_get(rsp.data() + kL2HeaderBytes);
    EXPECT_EQ(body.n_slots, 8);
    EXPECT_EQ(uniq_id_value(body.slots[7].uniq), 0x1007U);
    EXPECT_NE(log.text().find(": L2_SYNC_REQ: all slots are occupied\n"), std::string::npos);
}

TEST_F(Link, SyncDriftWarningAndTimeOrder) {
    // cur_time 1.5 s behind the wall clock... roughly: the clock runs on, so
    // only the presence of the warning is checked, and its absence near now.
    TimeStamp cur = timestamp_now() - (3ULL << 31);
    peer_send(sync_request(1, 1, cur));
    {
        LogCapture log;
        EXPECT_EQ(process_frame(ctx(), &cur), 0);
        EXPECT_NE(log.text().find("differs significantly dt=15"), std::string::npos) << log.text();
        EXPECT_EQ(peer_received().size(), 134U);
    }
    // The same time again: not answered, both times named.
    peer_send(sync_request(1, 2, cur));
    {
        LogCapture log;
        EXPECT_EQ(process_frame(ctx(), &cur), 0);
        EXPECT_NE(log.text().find("L2_SYNC_REQ time not later than the last answer at "),
                  std::string::npos);
        EXPECT_EQ(peer_received().size(), 0U);
    }
    // A later time near the wall clock: answered, no drift warning.
    TimeStamp later = timestamp_now();
    peer_send(sync_request(1, 3, later));
    {
        LogCapture log;
        EXPECT_EQ(process_frame(ctx(), &later), 0);
        EXPECT_EQ(log.text().find("Warning"), std::string::npos) << log.text();
        EXPECT_EQ(peer_received().size(), 134U);
    }
}

TEST_F(Link, MessagesThatAreDroppedKeepTheConnection) {
    TimeStamp cur = timestamp_now();
    Bytes short_sync = message(L2_OP_SYNC_REQ, Bytes(20, 1));
    Bytes zero_slots = sync_request(0, 1, cur);
    Bytes nine_slots = sync_request(9, 1, cur);
    const struct {
        Bytes input;
        const char* log;
    } rows[] = {
        {message(L2_OP_CHALLENGE, {}), "Info - got l2-frame op L2_OP_CHALLENGE\n"},
        {message(L2_OP_HELLO, {1, 2, 3}), "Info - got l2-frame op L2_OP_HELLO\n"},
        {message(200, Bytes(159, 9)),
         "Warning - got l2-frame with unnamed op 200 (length 159), dropped\n"},
        {short_sync, "Warning - L2_SYNC_REQ with length 20 and n_slots 1, dropped\n"},
        {message(L2_OP_SYNC_REQ, {}),
         "Warning - L2_SYNC_REQ with length 0 and n_slots -1, dropped\n"},
        {zero_slots, "Warning - L2_SYNC_REQ with length 114 and n_slots 0, dropped\n"},
        {nine_slots, "Warning - L2_SYNC_REQ with length 114 and n_slots 9, dropped\n"},
        {{'x'}, ".hunt."},
    };
    for (const auto& r : rows) {
        peer_send(r.input);
        LogCapture log;
        EXPECT_EQ(process_frame(ctx(), &cur), 0);
        EXPECT_EQ(log.text(), r.log);
        EXPECT_EQ(peer_received().size(), 0U);
    }
    // Still in step: a good request after all of them is answered.
    peer_send(sync_request(1, 1, cur));
    EXPECT_EQ(process_frame(ctx(), &cur), 0);
    EXPECT_EQ(peer_received().size(), 134U);
}

TEST_F(Link, BrokenStreamEndsTheConnection) {
    Bytes big = message(L2_OP_STAT_REQ, {});
    big[19] = 160;
    peer_send(big);
    TimeStamp cur = timestamp_now();
    {
        LogCapture log;
        EXPECT_EQ(process_frame(ctx(), &cur), -1);
        EXPECT_EQ(log.text(),
                  "Warning - in frame ? protocol error in size 160\n"
                  "Warning - level-2 to 127.0.0.1:30005, inconsistence frame (nlast=16)\n"
                  "Warning - process_frame: read_frame() failed with inconsistent data\n");
    }
    remote_reset_state();  // a new connection starts with an empty reader
    peer_close();
    {
        LogCapture log;
        EXPECT_EQ(process_frame(ctx(), &cur), -1);
        EXPECT_EQ(log.text(),
                  "Warning - level-2 to 127.0.0.1:30005, no header\n"
                  "Warning - process_frame: read_frame() failed with inconsistent data\n");
    }
}

// ---- send_frame and send_hello --------------------------------------------

TEST_F(Link, HelloBytes) {
    ctx()->uniq_id = uniq_make(0x12345678, 0x080A);
    EXPECT_EQ(send_hello(ctx(), 0x59682F0080000000ULL), 0);
    Bytes expected = {0x61, 0x64, 0x73, 0x32, 0x59, 0x68, 0x2F, 0x00, 0x80, 0x00,
                      0x00, 0x00, 0x12, 0x34, 0x56, 0x78, 0x08, 0x0A, 0x09, 0x00};
    EXPECT_EQ(peer_received(), expected);

    // A clock set back, and a clock not set at all: sent with a warning.
    const TimeStamp times[] = {0x59682F0000000000ULL, ts_make(3600, 0)};
    for (TimeStamp t : times) {
        LogCapture log;
        EXPECT_EQ(send_hello(ctx(), t), 0);
        EXPECT_NE(log.text().find("sent anyway"), std::string::npos);
        EXPECT_EQ(peer_received().size(), 20U);
    }
}

TEST_F(Link, FrameFilter) {
    debug_mask = 1;
    const struct {
        const char* name;
        int df;
        uint32_t parity;
        int64_t dt;  // toa relative to kT0
        size_t sent;
        const char* log;
    } rows[] = {
        {"first", 17, 0x111111, 0, 34, ""},
        {"duplicate", 17, 0x111111, 0, 0, "Warning - 2017/07/14 02:40:00Z: DUPLICATE FRAME \n"},
        {"same time, other frame", 17, 0x222222, 0, 0,
         "Warning - 2017/07/14 02:40:00Z: STEPPING BACK in time +0.00us (0:   2)\n"},
        {"older", 18, 0x333333, -4295, 0,
         "Warning - 2017/07/14 02:39:59Z: STEPPING BACK in time -1.00us (0:   3)\n"},
        {"240519 later", 18, 0x444444, 240519, 34,
         "2017/07/14 02:40:00Z: is NOT minimal increasing by dt=56us >= 56.00us (df=17->18)\n"},
        {"240520 later", 17, 0x555555, 240519 + 240520, 34, ""},
        {"same bytes, later", 17, 0x555555, 240519 + 240520 + 1, 34,
         "2017/07/14 02:40:00Z: is NOT minimal increasing by dt=56us >=  0.00us (df=17->17)\n"},
        {"outside window", 17, 0x666666, -static_cast<int64_t>(kT0), 0,
         "Warning - 1970/01/01 00:00:00Z: frame time 0x00000000.00000000 outside the time "
         "window, not sent\n"},
    };
    for (const auto& r : rows) {
        LogCapture log;
        Bytes f = frame(r.df, r.parity);
        EXPECT_EQ(send(ctx(), f, kT0 + static_cast<uint64_t>(r.dt)), 0) << r.name;
        Bytes got = peer_received();
        EXPECT_EQ(got.size(), r.sent) << r.name;
        if (got.size() == 34) {
            EXPECT_EQ(got[18], r.df == 17 ? L2_OP_FRAME_DF17 : L2_OP_FRAME_REST) << r.name;
            EXPECT_EQ(got[19], 14);
            EXPECT_EQ(get_be64(got.data() + 4), kT0 + static_cast<uint64_t>(r.dt));
            EXPECT_EQ(Bytes(got.begin() + 20, got.end()), f);
        }
        EXPECT_EQ(log.text(), r.log) << r.name;
    }
}

TEST_F(Link, FailedWriteMarksTheOutputBroken) {
    peer_close();
    LogCapture log;
    EXPECT_EQ(send(ctx(), frame(17, 0xABCDEF), kT0), 0);  // queued
    EXPECT_EQ(link_service(ctx(), monotonic_ms()), LINK_BROKEN);
    EXPECT_EQ(ctx()->out_broken, 1);
    EXPECT_EQ(log.text(), "Warning - socket failed in write frame (Broken pipe, 32)\n");
    // Once broken, nothing more is written or read.
    EXPECT_EQ(link_service(ctx(), monotonic_ms()), LINK_BROKEN);
    TimeStamp cur = kT0;
    EXPECT_EQ(process_frame(ctx(), &cur), -1);
    EXPECT_EQ(log.text(), "Warning - socket failed in write frame (Broken pipe, 32)\n");
    // The frame stays queued for the next connection, and still counts as
    // the newest one.
    EXPECT_EQ(link_queue()->count, 1U);
    EXPECT_EQ(send(ctx(), frame(17, 0xABCDEF), kT0), 0);
    EXPECT_NE(log.text().find("DUPLICATE FRAME"), std::string::npos);
}

// A sync answer takes its place behind the frames queued before it.
TEST_F(Link, AnswersKeepTheirPlaceInTheStream) {
    TimeStamp cur = timestamp_now();
    EXPECT_EQ(send(ctx(), frame(17, 0x111111), cur - 1000000), 0);
    peer_send(sync_request(1, 5, cur));
    EXPECT_EQ(process_frame(ctx(), &cur), 0);
    EXPECT_EQ(send(ctx(), frame(17, 0x222222), cur + 1000000), 0);
    Bytes got = peer_received();
    ASSERT_EQ(got.size(), 34U + 134U + 34U);
    EXPECT_EQ(got[18], L2_OP_FRAME_DF17);
    EXPECT_EQ(got[34 + 18], L2_OP_SYNC_RSP);
    EXPECT_EQ(got[34 + 134 + 18], L2_OP_FRAME_DF17);
}

// A request in pieces is answered when it is whole; one left incomplete
// for 30 s ends the connection.
TEST_F(Link, RequestInPiecesAndIncompleteRequest) {
    TimeStamp cur = timestamp_now();
    Bytes req = sync_request(1, 5, cur);
    peer_send(Bytes(req.begin(), req.begin() + 10));
    EXPECT_EQ(process_frame(ctx(), &cur), 0);
    peer_send(Bytes(req.begin() + 10, req.end()));
    EXPECT_EQ(process_frame(ctx(), &cur), 0);
    EXPECT_EQ(peer_received().size(), 134U);

    // Ten bytes that the reader takes 30 s ago by the monotonic clock.
    peer_send(Bytes(req.begin(), req.begin() + 10));
    int nlast = 0;
    L2Message msg{};
    EXPECT_EQ(read_frame(fds_[0], &msg, &nlast, monotonic_ms() - kIncompleteLimitMs), RF_PARTIAL);
    LogCapture log;
    EXPECT_EQ(process_frame(ctx(), &cur), -1);
    EXPECT_EQ(log.text(),
              "Warning - level-2 to 127.0.0.1:30005, message incomplete for 30 s (10 bytes)\n"
              "Warning - process_frame: read_frame() failed with inconsistent data\n");
}

}  // namespace
