// The level-2 wire format: header and sync body bytes, op table, time text.
#include "include/level2.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

std::string hex(const uint8_t* p, int n) {
    std::string s;
    char b[4];
    for (int i = 0; i < n; i++) {
        snprintf(b, sizeof(b), "%02x", p[i]);
        s += b;
    }
    return s;
}

TEST(Level2, HelloHeaderIsExactToTheByte) {
    // 1500000000.5 s from station 0x12345678 of kind usb, local, strategy mac.
    uint8_t out[kL2HeaderBytes];
    l2_put_header(out, 0x59682F0080000000ULL, uniq_make(0x12345678, 0x080A), L2_OP_HELLO, 0);
    EXPECT_EQ(hex(out, kL2HeaderBytes),
              "616473325968"
              "2f0080000000"
              "12345678080a"
              "0900");

    L2Message msg{};
    l2_get_header(out, &msg);
    EXPECT_EQ(msg.time, 0x59682F0080000000ULL);
    EXPECT_EQ(uniq_id_value(msg.uniq), 0x12345678U);
    EXPECT_EQ(uniq_type_word(msg.uniq), 0x080A);
    // In memory the type word is little-endian: bytes 0x0A 0x08.
    EXPECT_EQ(msg.uniq.bytes[4], 0x0A);
    EXPECT_EQ(msg.uniq.bytes[5], 0x08);
    EXPECT_EQ(msg.op, L2_OP_HELLO);
    EXPECT_EQ(msg.length, 0);
}

TEST(Level2, DownlinkFormatToOp) {
    for (int df = 0; df < 32; df++) {
        int expected = L2_OP_FRAME_REST;
        if (df == 4 || df == 5) expected = L2_OP_FRAME_DF4_5;
        if (df == 11) expected = L2_OP_FRAME_DF11;
        if (df == 17) expected = L2_OP_FRAME_DF17;
        if (df == 20) expected = L2_OP_FRAME_DF20;
        if (df == 21) expected = L2_OP_FRAME_DF21;
        EXPECT_EQ(df_to_op(df), expected) << "DF" << df;
    }
    EXPECT_EQ(df_to_op(-1), L2_OP_FRAME_REST);
    EXPECT_EQ(df_to_op(255), L2_OP_FRAME_REST);
}

TEST(Level2, OpNames) {
    const struct {
        int op;
        const char* name;
    } rows[] = {{0, "L2_OP_FRAME_REST"}, {5, "L2_OP_SYNC_REQ"},   {6, "L2_OP_SYNC_RSP"},
                {9, "L2_OP_HELLO"},      {10, "L2_OP_CHALLENGE"}, {14, "L2_OP_FRAME_DF17"},
                {16, "L2_OP_FRAME_DF21"}};
    for (const auto& r : rows) EXPECT_STREQ(l2_op_name(r.op), r.name) << r.op;
    EXPECT_EQ(l2_op_name(17), nullptr);
    EXPECT_EQ(l2_op_name(255), nullptr);
    EXPECT_EQ(l2_op_name(-1), nullptr);
}

TEST(Level2, SyncBodyWithThreeSlots) {
    SyncBody body{};
    body.tag = 0xA5;
    body.n_slots = 3;
    for (int i = 0; i < 3; i++) {
        body.slots[i].uniq = uniq_make(0x01020304U + static_cast<uint32_t>(i), 0x0405);
        body.slots[i].time = 0x5A000000F0000000ULL + static_cast<uint64_t>(i);
    }
    // A stale slot past n_slots must not travel.
    body.slots[3].uniq = uniq_make(0xFFFFFFFF, 0xFFFF);
    uint8_t out[kSyncBodyBytes];
    memset(out, 0xEE, sizeof(out));
    sync_body_put(out, body);
    EXPECT_EQ(out[0], 0xA5);
    EXPECT_EQ(out[1], 3);
    EXPECT_EQ(hex(out + 2, 14),
              "010203040405"
              "5a000000f0000000");
    EXPECT_EQ(hex(out + 30, 14),
              "010203060405"
              "5a000000f0000002");
    for (int i = 44; i < kSyncBodyBytes; i++) EXPECT_EQ(out[i], 0) << "offset " << i;

    SyncBody back = sync_body_get(out);
    EXPECT_EQ(back.tag, 0xA5);
    EXPECT_EQ(back.n_slots, 3);
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(uniq_id_value(back.slots[i].uniq), 0x01020304U + static_cast<uint32_t>(i));
        EXPECT_EQ(uniq_type_word(back.slots[i].uniq), 0x0405);
        EXPECT_EQ(back.slots[i].time, body.slots[i].time);
    }
    EXPECT_TRUE(uniq_is_zero(back.slots[3].uniq));
    EXPECT_EQ(back.slots[3].time, 0U);
}

TEST(Level2, SyncBodyDecodeNeverPassesEightSlots) {
    uint8_t in[kSyncBodyBytes];
    memset(in, 0x11, sizeof(in));
    in[1] = 200;  // n_slots from the peer, out of range
    SyncBody body = sync_body_get(in);
    EXPECT_EQ(body.n_slots, 200);
    EXPECT_EQ(body.slots[7].time, 0x1111111111111111ULL);
}

TEST(Level2, TimeTextWithHundredths) {
    const struct {
        TimeStamp t;
        const char* text;
    } rows[] = {
        {ts_make(1500000000U, 0), "2017/07/14 02:40:00.00Z"},
        {ts_make(1500000000U, 0x80000000U), "2017/07/14 02:40:00.50Z"},
        {ts_make(1500000000U, 0xFFFFFFFFU), "2017/07/14 02:40:00.99Z"},
        {ts_make(1500000000U, 0x02FFFFFFU), "2017/07/14 02:40:00.00Z"},  // top byte 2: 200/256
        {ts_make(1500000000U, 0x03000000U), "2017/07/14 02:40:00.01Z"},  // top byte 3: 300/256
        {ts_make(1293833801U, 0x40000000U), "2010/12/31 22:16:41.25Z"},
    };
    for (const auto& r : rows) {
        char buf[64];
        EXPECT_STREQ(time_text_hundredths(buf, sizeof(buf), r.t), r.text) << std::hex << r.t;
    }
}

}  // namespace
