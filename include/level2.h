// The level-2 wire format: a 20-byte header, then a body of at most 159
// bytes. Every integer on the wire is big-endian and is encoded and decoded
// byte by byte (never by laying a record over the bytes: unaligned on MIPS).
//
//   offset  size  field
//    0       4    magic "ads2"
//    4       4    time, whole seconds
//    8       4    time, fraction (units of 2^-32 s)
//   12       4    station id
//   16       2    station type word
//   18       1    op
//   19       1    body length, 0..159
//
// Owns nothing. Promises: what the encoders write the decoders read back
// field for field.
#pragma once

#include <cstddef>
#include <cstdint>

#include "include/bytes.h"
#include "include/helper.h"
#include "include/uniq.h"

// One list, three outputs: the op codes, their names and their count.
#define L2_OP_LIST(X)        \
    X(L2_OP_FRAME_REST)      \
    X(L2_OP_STAT_REQ)        \
    X(L2_OP_STAT_RSP)        \
    X(L2_OP_FILTER_REQ)      \
    X(L2_OP_FILTER_RSP)      \
    X(L2_OP_SYNC_REQ)        \
    X(L2_OP_SYNC_RSP)        \
    X(L2_OP_FILTER_UNIQ_REQ) \
    X(L2_OP_REST_UNIQ_REQ)   \
    X(L2_OP_HELLO)           \
    X(L2_OP_CHALLENGE)       \
    X(L2_OP_RESPONSE)        \
    X(L2_OP_FRAME_DF4_5)     \
    X(L2_OP_FRAME_DF11)      \
    X(L2_OP_FRAME_DF17)      \
    X(L2_OP_FRAME_DF20)      \
    X(L2_OP_FRAME_DF21)

#define L2_OP_ENUM_ENTRY(name) name,
enum L2Op : int { L2_OP_LIST(L2_OP_ENUM_ENTRY) L2_OP_COUNT };
#undef L2_OP_ENUM_ENTRY

#define L2_OP_NAME_ENTRY(name) #name,
/// The op names exactly as logged, indexed by op code.
inline constexpr const char* l2_op_names[] = {L2_OP_LIST(L2_OP_NAME_ENTRY)};
#undef L2_OP_NAME_ENTRY
static_assert(L2_OP_COUNT == 17);
static_assert(sizeof(l2_op_names) / sizeof(l2_op_names[0]) == L2_OP_COUNT);

/// The name of `op`, or null for codes 17..255, which have none.
constexpr const char* l2_op_name(int op) {
    return op >= 0 && op < L2_OP_COUNT ? l2_op_names[op] : nullptr;
}

inline constexpr uint8_t kL2Magic[4] = {0x61, 0x64, 0x73, 0x32};  // "ads2"
inline constexpr int kL2HeaderBytes = 20;  // 4 magic + 8 time + 6 id + op + length
inline constexpr int kL2MaxBody = 159;     // a length byte of 160 or more is a framing error
inline constexpr int kL2MaxMessage = kL2HeaderBytes + kL2MaxBody;  // 179
inline constexpr int kSyncSlots = 8;
inline constexpr int kSyncSlotBytes = 14;  // 4 id + 2 type word + 8 time
inline constexpr int kSyncBodyBytes = 2 + kSyncSlots * kSyncSlotBytes;     // 114
inline constexpr int kSyncMessageBytes = kL2HeaderBytes + kSyncBodyBytes;  // 134
static_assert(kL2MaxMessage == 179 && kSyncBodyBytes == 114 && kSyncMessageBytes == 134);

/// A received message in host form.
struct L2Message {
    TimeStamp time;            ///< sender's time stamp
    UniqId uniq;               ///< sender's station id, in-memory form
    uint8_t op;                ///< op code, 0..255 (names for 0..16)
    uint8_t length;            ///< body bytes, 0..159
    uint8_t body[kL2MaxBody];  ///< only `length` bytes are valid
};

/// One station and its time in a sync body.
struct SyncSlot {
    UniqId uniq;     ///< station id, in-memory form
    TimeStamp time;  ///< the station's time
};

/// A sync request or response body in host form.
struct SyncBody {
    uint8_t tag;                 ///< opaque, answered unchanged
    uint8_t n_slots;             ///< used slots, 0..8
    SyncSlot slots[kSyncSlots];  ///< slots from n_slots on are zero
};

/// A station id on the wire: the id, then the type word, both big-endian.
constexpr void put_uniq(uint8_t* p, const UniqId& u) {
    put_be32(p, uniq_id_value(u));
    put_be16(p + 4, uniq_type_word(u));
}
constexpr UniqId get_uniq(const uint8_t* p) {
    return uniq_make(get_be32(p), get_be16(p + 4));
}

/// Writes the 20-byte header at `out`.
constexpr void l2_put_header(uint8_t* out, TimeStamp time, const UniqId& uniq, uint8_t op,
                             uint8_t length) {
    for (int i = 0; i < 4; i++) out[i] = kL2Magic[i];
    put_be64(out + 4, time);
    put_uniq(out + 12, uniq);
    out[18] = op;
    out[19] = length;
}

/// Decodes bytes 4..19 of a header (time, station id, op, length) into `msg`;
/// the magic is the reader's business.
constexpr void l2_get_header(const uint8_t* in, L2Message* msg) {
    msg->time = get_be64(in + 4);
    msg->uniq = get_uniq(in + 12);
    msg->op = in[18];
    msg->length = in[19];
}

/// The frame op of downlink format `df` (DF4..DF21 by table, others op 0).
constexpr uint8_t df_to_op(int df) {
    constexpr uint8_t table[18] = {L2_OP_FRAME_DF4_5,
                                   L2_OP_FRAME_DF4_5,
                                   0,
                                   0,
                                   0,
                                   0,
                                   0,
                                   L2_OP_FRAME_DF11,  // DF4..11
                                   0,
                                   0,
                                   0,
                                   0,
                                   0,
                                   L2_OP_FRAME_DF17,
                                   0,
                                   0,  // DF12..19
                                   L2_OP_FRAME_DF20,
                                   L2_OP_FRAME_DF21};  // DF20..21
    return df >= 4 && df <= 21 ? table[df - 4] : static_cast<uint8_t>(L2_OP_FRAME_REST);
}

/// Writes the 114-byte body; slots from n_slots on (n_slots at most 8) are
/// zero bytes.
constexpr void sync_body_put(uint8_t* out, const SyncBody& body) {
    out[0] = body.tag;
    out[1] = body.n_slots;
    for (int i = 0; i < kSyncSlots; i++) {
        uint8_t* s = out + 2 + i * kSyncSlotBytes;
        if (i < body.n_slots) {
            put_uniq(s, body.slots[i].uniq);
            put_be64(s + 6, body.slots[i].time);
        } else {
            for (int k = 0; k < kSyncSlotBytes; k++) s[k] = 0;
        }
    }
}

/// Decodes a 114-byte body: tag and n_slots as they are, the first
/// min(n_slots, 8) slots, all other slots zero.
constexpr SyncBody sync_body_get(const uint8_t* in) {
    SyncBody body{};
    body.tag = in[0];
    body.n_slots = in[1];
    int used = body.n_slots < kSyncSlots ? body.n_slots : kSyncSlots;
    for (int i = 0; i < used; i++) {
        const uint8_t* s = in + 2 + i * kSyncSlotBytes;
        body.slots[i].uniq = get_uniq(s);
        body.slots[i].time = get_be64(s + 6);
    }
    return body;
}

/// The time text with hundredths, "2017/07/14 02:40:00.50Z": the hundredths
/// are the top 8 bits of the fraction times 100, divided by 256. `buf` must
/// hold at least 27 bytes.
char* time_text_hundredths(char* buf, size_t size, TimeStamp t);
