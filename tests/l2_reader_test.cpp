// The incremental reader: bytes arrive in any pieces; a message is taken
// only when whole, the hunt for the magic consumes up to the byte that
// broke it, and a length byte of 160 is refused.
#include "sdr/l2_reader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes message(uint8_t op, uint8_t length) {
    Bytes m(kL2HeaderBytes + length);
    l2_put_header(m.data(), ts_make(1700000000, 7), uniq_make(0x11223344, 0x0405), op, length);
    for (int i = 0; i < length; i++) m[kL2HeaderBytes + i] = static_cast<uint8_t>(i + 1);
    return m;
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

/// Hands `bytes` to the reader as the reads of a socket would.
void take(L2Reader* r, const Bytes& bytes, int64_t now) {
    ASSERT_LE(static_cast<int>(bytes.size()), l2_reader_room(r));
    memcpy(r->buf + r->have, bytes.data(), bytes.size());
    l2_reader_took(r, static_cast<int>(bytes.size()), now);
}

TEST(L2Reader, PiecesGarbageAndLengths) {
    const Bytes sync = message(L2_OP_SYNC_REQ, kSyncBodyBytes);
    const Bytes hello = message(L2_OP_HELLO, 0);
    Bytes big = message(L2_OP_STAT_REQ, 0);
    big[19] = 160;
    Bytes one_byte_each;
    const struct {
        const char* name;
        std::vector<Bytes> reads;  // each followed by l2_reader_next until RF_PARTIAL
        std::vector<int> results;
    } rows[] = {
        {"whole", {sync}, {RF_OK, RF_PARTIAL}},
        {"1-byte pieces",
         [&] {
             std::vector<Bytes> v;
             for (uint8_t b : sync) v.push_back({b});
             return v;
         }(),
         [&] {
             std::vector<int> v(sync.size() - 1, RF_PARTIAL);
             v.push_back(RF_OK);
             v.push_back(RF_PARTIAL);
             return v;
         }()},
        {"garbage", {cat({{'x', 'y'}, hello})}, {RF_HUNT, RF_HUNT, RF_OK, RF_PARTIAL}},
        {"a d x", {cat({{'a', 'd', 'x'}, hello})}, {RF_HUNT, RF_OK, RF_PARTIAL}},
        {"length 160", {big}, {RF_INCONSISTENT}},
        {"two in one read", {cat({hello, sync})}, {RF_OK, RF_OK, RF_PARTIAL}},
        {"one and a half", {cat({hello, Bytes(sync.begin(), sync.begin() + 30)}),
                            Bytes(sync.begin() + 30, sync.end())},
         {RF_OK, RF_PARTIAL, RF_OK, RF_PARTIAL}},
    };
    for (const auto& row : rows) {
        L2Reader r{};
        l2_reader_clear(&r);
        std::vector<int> got;
        std::vector<uint8_t> ops;
        for (const Bytes& piece : row.reads) {
            take(&r, piece, 0);
            for (;;) {
                L2Message msg{};
                const int res = l2_reader_next(&r, &msg, 0);
                got.push_back(res);
                if (res == RF_OK) {
                    ops.push_back(msg.op);
                    EXPECT_EQ(msg.time, ts_make(1700000000, 7));
                    EXPECT_EQ(uniq_id_value(msg.uniq), 0x11223344U);
                    for (int i = 0; i < msg.length; i++) EXPECT_EQ(msg.body[i], i + 1);
                }
                if (res == RF_PARTIAL || res == RF_INCONSISTENT) break;
            }
        }
        EXPECT_EQ(got, row.results) << row.name;
    }
}

// A message that stays incomplete is told from a quiet line, with the time
// its first byte came (the caller gives up after 30 s).
TEST(L2Reader, IncompleteMessageKeepsItsStartTime) {
    const Bytes sync = message(L2_OP_SYNC_REQ, kSyncBodyBytes);
    L2Reader r{};
    l2_reader_clear(&r);
    bool in_body = true;
    EXPECT_FALSE(l2_reader_partial(&r, &in_body));
    take(&r, Bytes(sync.begin(), sync.begin() + 10), 1000);
    take(&r, Bytes(sync.begin() + 10, sync.begin() + 25), 5000);
    EXPECT_TRUE(l2_reader_partial(&r, &in_body));
    EXPECT_TRUE(in_body);
    EXPECT_EQ(r.since_ms, 1000);
    // The bytes behind a whole message count from when it was taken.
    take(&r, Bytes(sync.begin() + 25, sync.end()), 6000);
    take(&r, {'a', 'd'}, 6000);
    L2Message msg{};
    EXPECT_EQ(l2_reader_next(&r, &msg, 7000), RF_OK);
    EXPECT_TRUE(l2_reader_partial(&r, &in_body));
    EXPECT_FALSE(in_body);
    EXPECT_EQ(r.since_ms, 7000);
}

}  // namespace
