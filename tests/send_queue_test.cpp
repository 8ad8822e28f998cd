// The outgoing queue: whole messages only, in order, the oldest frames
// dropped when it is full (never a started message or the HELLO), partial
// writes resumed where they stopped, and the cut between connections.
//
// A non-blocking pipe of 4096 bytes stands for a socket whose buffer is
// full: a write of more than 4096 bytes takes what fits, the next one
// fails with EAGAIN.
#include "sdr/send_queue.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <memory>
#include <vector>

#include "include/level2.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kFrameBytes = 34;  // 20-byte header, 14-byte body
constexpr uint32_t kRingFrames = kSendQueueBytes / kFrameBytes;  // 30840

/// A frame message whose body carries `seq`.
Bytes frame_message(uint32_t seq, uint8_t op = L2_OP_FRAME_DF17) {
    Bytes m(kFrameBytes, 0);
    l2_put_header(m.data(), ts_make(1700000000, seq), uniq_make(1, 2), op, 14);
    put_be32(m.data() + kL2HeaderBytes, seq);
    return m;
}

Bytes other_message(uint8_t op, uint8_t length) {
    Bytes m(kL2HeaderBytes + length, 0x55);
    l2_put_header(m.data(), ts_make(1700000000, 0), uniq_make(1, 2), op, length);
    return m;
}

struct Pipe {
    int r = -1, w = -1;
    Pipe() {
        int p[2];
        EXPECT_EQ(pipe2(p, O_NONBLOCK), 0);
        r = p[0];
        w = p[1];
        EXPECT_EQ(fcntl(w, F_SETPIPE_SZ, 4096), 4096);
    }
    ~Pipe() {
        if (r >= 0) close(r);
        if (w >= 0) close(w);
    }
    Bytes take() {
        Bytes out(65536);
        ssize_t n = read(r, out.data(), out.size());
        out.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return out;
    }
};

/// Flushes into `p` and takes what it held until the queue is empty.
Bytes drain(SendQueue* q, Pipe* p) {
    Bytes got;
    for (int i = 0; i < 100000 && sendq_pending(q) > 0; i++) {
        uint32_t written = 0;
        EXPECT_EQ(sendq_flush(q, p->w, &written), 0);
        Bytes part = p->take();
        got.insert(got.end(), part.begin(), part.end());
    }
    return got;
}

/// The sequence numbers of the frames in a stream of whole messages; a
/// message that is not whole fails the test. Other messages give their op
/// as -op.
std::vector<int64_t> messages_in(const Bytes& stream) {
    std::vector<int64_t> out;
    size_t pos = 0;
    while (pos < stream.size()) {
        EXPECT_GE(stream.size() - pos, static_cast<size_t>(kL2HeaderBytes));
        if (stream.size() - pos < static_cast<size_t>(kL2HeaderBytes)) break;
        EXPECT_EQ(Bytes(stream.begin() + pos, stream.begin() + pos + 4), Bytes({'a', 'd', 's', '2'}))
            << "torn at " << pos;
        const uint8_t op = stream[pos + 18];
        const size_t len = kL2HeaderBytes + stream[pos + 19];
        EXPECT_LE(pos + len, stream.size());
        if (op == L2_OP_FRAME_DF17)
            out.push_back(get_be32(&stream[pos + kL2HeaderBytes]));
        else
            out.push_back(-static_cast<int64_t>(op));
        pos += len;
    }
    return out;
}

std::vector<int64_t> seq(int64_t from, int64_t to) {
    std::vector<int64_t> v;
    for (int64_t i = from; i <= to; i++) v.push_back(i);
    return v;
}

std::vector<int64_t> concat(std::vector<int64_t> a, const std::vector<int64_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class Queue : public testing::Test {
   protected:
    void SetUp() override {
        signal(SIGPIPE, SIG_IGN);
        q_ = std::make_unique<SendQueue>();
        sendq_clear(q_.get());
    }
    void push_frames(uint32_t from, uint32_t to) {
        for (uint32_t i = from; i <= to; i++) ASSERT_EQ(sendq_push(q(), frame_message(i).data()), 0);
    }
    SendQueue* q() { return q_.get(); }
    std::unique_ptr<SendQueue> q_;
};

TEST_F(Queue, FullQueueDropsTheOldestFrames) {
    push_frames(1, kRingFrames);
    EXPECT_EQ(q()->dropped_frames, 0U);
    push_frames(kRingFrames + 1, kRingFrames + 10);
    EXPECT_EQ(q()->dropped_frames, 10U);
    EXPECT_EQ(q()->count, kRingFrames);
    Pipe p;
    EXPECT_EQ(messages_in(drain(q(), &p)), seq(11, kRingFrames + 10));
    EXPECT_EQ(q()->used, 0U);
}

// 4096 bytes go out: 120 whole frames and 16 bytes of the 121st, which
// then finishes before anything else, whole.
TEST_F(Queue, MessageCutByEagainIsResumedWhole) {
    push_frames(1, 200);
    Pipe p;
    uint32_t written = 0;
    EXPECT_EQ(sendq_flush(q(), p.w, &written), 0);
    EXPECT_EQ(written, 4096U);
    EXPECT_EQ(q()->head_sent, 16U);
    EXPECT_EQ(sendq_pending(q()), 80 * kFrameBytes - 16);
    EXPECT_EQ(sendq_flush(q(), p.w, &written), 0);  // full: nothing, no error
    EXPECT_EQ(written, 0U);
    Bytes got = p.take();
    Bytes rest = drain(q(), &p);
    got.insert(got.end(), rest.begin(), rest.end());
    EXPECT_EQ(messages_in(got), seq(1, 200));
}

TEST_F(Queue, NeverDropsAStartedMessageOrTheHello) {
    // Started: the 121st frame has 16 bytes out when room runs short.
    push_frames(1, kRingFrames);
    Pipe p;
    uint32_t written = 0;
    EXPECT_EQ(sendq_flush(q(), p.w, &written), 0);
    Bytes got = p.take();
    push_frames(kRingFrames + 1, kRingFrames + 200);  // 120 fit, 80 drop
    EXPECT_EQ(q()->dropped_frames, 80U);
    Bytes rest = drain(q(), &p);
    got.insert(got.end(), rest.begin(), rest.end());
    EXPECT_EQ(messages_in(got), concat(seq(1, 121), seq(202, kRingFrames + 200)));

    // The HELLO of a connection stays first however full the queue gets.
    sendq_clear(q());
    sendq_new_connection(q());
    ASSERT_EQ(sendq_push_front(q(), other_message(L2_OP_HELLO, 0).data()), 0);
    push_frames(1, kRingFrames + 5);
    EXPECT_EQ(sendq_head_op(q()), L2_OP_HELLO);
    EXPECT_EQ(q()->dropped_frames, 6U);
    EXPECT_EQ(messages_in(drain(q(), &p)), concat({-L2_OP_HELLO}, seq(7, kRingFrames + 5)));
}

// A sync answer waits in its place; dropped like a frame when it is the
// oldest, counted apart.
TEST_F(Queue, AnswersKeepTheirPlaceAndAreCountedApart) {
    push_frames(1, 2);
    ASSERT_EQ(sendq_push(q(), other_message(L2_OP_SYNC_RSP, kSyncBodyBytes).data()), 0);
    push_frames(3, 4);
    Pipe p;
    EXPECT_EQ(messages_in(drain(q(), &p)), concat({1, 2, -L2_OP_SYNC_RSP}, {3, 4}));

    ASSERT_EQ(sendq_push(q(), other_message(L2_OP_SYNC_RSP, kSyncBodyBytes).data()), 0);
    push_frames(1, kRingFrames);  // room runs short at the last frames: the answer goes
    EXPECT_EQ(q()->dropped_other, 1U);
    EXPECT_EQ(q()->dropped_frames, 0U);
    EXPECT_EQ(messages_in(drain(q(), &p)), seq(1, kRingFrames));
}

// A new connection: the frame cut off by the old one is sent again whole;
// the HELLO and the answers of the old connection are gone.
TEST_F(Queue, NewConnectionResendsTheCutFrameAndDropsOldAnswers) {
    ASSERT_EQ(sendq_push(q(), other_message(L2_OP_HELLO, 0).data()), 0);
    push_frames(1, 150);
    ASSERT_EQ(sendq_push(q(), other_message(L2_OP_SYNC_RSP, kSyncBodyBytes).data()), 0);
    push_frames(151, 160);
    Pipe p;
    uint32_t written = 0;
    EXPECT_EQ(sendq_flush(q(), p.w, &written), 0);  // HELLO, frames 1..119, part of 120
    EXPECT_EQ(written, 4096U);
    EXPECT_EQ(q()->head_sent, 30U);
    (void)p.take();  // lost with the old connection
    sendq_new_connection(q());
    EXPECT_EQ(q()->head_sent, 0U);
    EXPECT_EQ(q()->dropped_other, 0U);  // removed, not dropped for room
    EXPECT_EQ(messages_in(drain(q(), &p)), seq(120, 160));
}

TEST_F(Queue, CutSeparatesConnections) {
    push_frames(1, 5);
    sendq_set_cut(q());
    push_frames(6, 8);
    Pipe p;
    EXPECT_FALSE(sendq_at_cut(q()));
    EXPECT_EQ(messages_in(drain(q(), &p)), seq(1, 5));  // stops at the cut
    EXPECT_TRUE(sendq_at_cut(q()));
    // The next connection's HELLO goes in front of what follows the cut.
    sendq_clear_cut(q());
    sendq_new_connection(q());
    ASSERT_EQ(sendq_push_front(q(), other_message(L2_OP_HELLO, 0).data()), 0);
    EXPECT_EQ(messages_in(drain(q(), &p)), concat({-L2_OP_HELLO}, seq(6, 8)));

    // A cut not yet reached: a HELLO in front of it moves it; a second cut
    // drops what is queued between the two.
    push_frames(1, 3);
    sendq_set_cut(q());
    push_frames(4, 6);
    sendq_set_cut(q());
    EXPECT_EQ(q()->dropped_frames, 3U);
    push_frames(7, 7);
    sendq_new_connection(q());
    ASSERT_EQ(sendq_push_front(q(), other_message(L2_OP_HELLO, 0).data()), 0);
    EXPECT_EQ(messages_in(drain(q(), &p)), concat({-L2_OP_HELLO}, seq(1, 3)));
    EXPECT_TRUE(sendq_at_cut(q()));
}

TEST_F(Queue, FailedWriteKeepsTheMessages) {
    push_frames(1, 3);
    Pipe p;
    close(p.r);
    p.r = -1;
    uint32_t written = 7;
    EXPECT_EQ(sendq_flush(q(), p.w, &written), -1);
    EXPECT_EQ(errno, EPIPE);
    EXPECT_EQ(written, 0U);
    EXPECT_EQ(q()->count, 3U);
}

}  // namespace

namespace {

// A full queue whose answers lie among the frames: a new connection marks
// the answers where they lie and moves no byte of the frames (a reconnect
// must not move a megabyte on the sample path); the frames then go out in
// order, the answers not at all.
TEST_F(Queue, NewConnectionMovesNoFrameBytes) {
    ASSERT_EQ(sendq_push(q(), other_message(L2_OP_HELLO, 0).data()), 0);
    const uint32_t per = (kRingFrames - 200) / kSendQueueOthers;
    uint32_t next = 1;
    for (int i = 1; i < kSendQueueOthers; i++) {
        push_frames(next, next + per - 1);
        next += per;
        ASSERT_EQ(sendq_push(q(), other_message(L2_OP_SYNC_RSP, kSyncBodyBytes).data()), 0);
    }
    push_frames(next, next + 9);
    next += 10;
    const Bytes before(q()->ring, q()->ring + kSendQueueBytes);
    sendq_new_connection(q());
    uint32_t changed = 0;
    for (uint32_t i = 0; i < kSendQueueBytes; i++) changed += q()->ring[i] != before[i];
    EXPECT_EQ(changed, static_cast<uint32_t>(kSendQueueOthers));  // one op byte each
    Pipe p;
    EXPECT_EQ(messages_in(drain(q(), &p)), seq(1, next - 1));
    EXPECT_EQ(q()->dropped_other, 0U);
}

}  // namespace
