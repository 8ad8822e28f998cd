#include "sdr/adsb_check.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "sdr/log.h"
#include "sdr/log_limit.h"
#include "sdr/stats.h"
#include "tests/support/log_capture.h"
#include "tests/support/process.h"

namespace {

using Frame = std::array<uint8_t, 14>;

const TimeStamp kToa = ts_make(1700000000U, 0x12345678U);

/// A frame of format `df` with `body` after the DF byte; the parity field is
/// set so that the remainder equals `remainder` (0: clean; an address for
/// address/parity formats).
Frame make_frame(int df, std::vector<uint8_t> body, uint32_t remainder = 0) {
    Frame f{};
    f[0] = static_cast<uint8_t>(df << 3);
    for (size_t i = 0; i < body.size(); i++) f[1 + i] = body[i];
    bool is_short = df < 16;
    int bits = is_short ? 32 : 88;
    uint32_t field = adsb_parity(f.data(), bits) ^ remainder;
    int at = bits / 8;
    f[at] = static_cast<uint8_t>(field >> 16);
    f[at + 1] = static_cast<uint8_t>(field >> 8);
    f[at + 2] = static_cast<uint8_t>(field);
    return f;
}

Frame squitter(int df, uint32_t aa) {
    return make_frame(df, {static_cast<uint8_t>(aa >> 16), static_cast<uint8_t>(aa >> 8),
                           static_cast<uint8_t>(aa), 0x58, 0x99, 0x01, 0x02, 0x03, 0x04, 0x05});
}
Frame all_call(uint32_t aa, uint32_t code = 0) {
    return make_frame(
        11,
        {static_cast<uint8_t>(aa >> 16), static_cast<uint8_t>(aa >> 8), static_cast<uint8_t>(aa)},
        code);
}
/// DF20/DF21 with downlink request `dr` and MB bytes, addressed to `aa`.
Frame commb(int df, int dr, uint32_t aa, std::vector<uint8_t> mb = {0x10, 0, 0, 0, 0, 0, 0}) {
    std::vector<uint8_t> body = {static_cast<uint8_t>(dr << 3), 0, 0};
    body.insert(body.end(), mb.begin(), mb.end());
    return make_frame(df, body, aa);
}

struct Call {
    Frame frame;
    int length;
    TimeStamp toa;
};
std::vector<Call> calls;
int callback_result = 0;

int record_frame(Context*, const uint8_t* frame, int length, const FrameInfo* info) {
    Call c{};
    std::copy(frame, frame + 14, c.frame.begin());
    c.length = length;
    c.toa = info->toa;
    calls.push_back(c);
    return callback_result;
}

std::string read_stream(FILE* f) {
    std::string s;
    rewind(f);
    int c;
    while ((c = fgetc(f)) != EOF) s.push_back(static_cast<char>(c));
    return s;
}

class AdsbCheck : public testing::Test {
   protected:
    void SetUp() override {
        ctx = std::make_unique<Context>();
        stats_start(&ctx->stats, 0);
        ctx->trigger_level = 64;
        ctx->frame_callback = record_frame;
        calls.clear();
        callback_result = 0;
        log_file = tmpfile();
        log_stream = log_file;
        debug_mask = DBG_STATISTICS;
        log_limit_reset();
    }
    void TearDown() override {
        log_stream = nullptr;
        fclose(log_file);
        debug_mask = DBG_STATISTICS;
    }
    int32_t check(const Frame& f, TimeStamp toa = kToa, int32_t level = 40) {
        return adsb_check(ctx.get(), f.data(), toa, level);
    }
    std::string log_text() { return read_stream(log_file); }
    const AircraftEntry* entry(uint32_t aa) {
        for (const auto& e : ctx->aircraft.entries)
            if (e.address == aa) return &e;
        return nullptr;
    }

    std::unique_ptr<Context> ctx;
    FILE* log_file = nullptr;
};

TEST(AdsbParity, KnownSquitter) {
    const uint8_t frame[14] = {0x8D, 0x48, 0x40, 0xD6, 0x20, 0x2C, 0xC3,
                               0x71, 0xC3, 0x2C, 0xE0, 0x57, 0x60, 0x98};
    EXPECT_EQ(adsb_parity(frame, 88), 0x576098U);
}

TEST_F(AdsbCheck, CleanSquittersForwardedWithTheirTime) {
    for (int df : {17, 18}) {
        Frame f = squitter(df, 0x4CA123);
        calls.clear();
        ASSERT_EQ(check(f), df);
        ASSERT_EQ(calls.size(), 1U);
        EXPECT_EQ(calls[0].frame, f);
        EXPECT_EQ(calls[0].length, 14);
        EXPECT_EQ(calls[0].toa, kToa);
        EXPECT_EQ(ctx->stats.received[df], 1U);
        EXPECT_EQ(ctx->stats.rejected[df], 0U);
    }
    const AircraftEntry* e = entry(0x4CA123);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->es_ok, 2);
    EXPECT_EQ(ctx->stats.accepted_level.max, 40);
}

TEST_F(AdsbCheck, EverySingleBitFlipRejectedAndCountedOnKnownAircraft) {
    const Frame good = squitter(17, 0x4CA123);
    ASSERT_EQ(check(good), 17);
    for (int bit = 5; bit < 112; bit++) {
        Frame f = good;  // a fresh copy for every bit
        f[bit / 8] ^= static_cast<uint8_t>(0x80 >> (bit % 8));
        const AircraftEntry* e = entry(0x4CA123);
        int bad_before = e->es_bad;
        uint32_t rejected_before = ctx->stats.rejected[17];
        TimeStamp toa = kToa + static_cast<TimeStamp>(bit);
        ASSERT_EQ(check(f, toa), -1) << "bit " << bit;
        EXPECT_EQ(ctx->stats.rejected[17], rejected_before + 1) << "bit " << bit;
        bool aa_intact = bit < 8 || bit >= 32;
        EXPECT_EQ(e->es_bad, bad_before + (aa_intact ? 1 : 0)) << "bit " << bit;
        if (aa_intact) {
            EXPECT_EQ(e->last_seen, toa) << "bit " << bit;
        }
    }
    EXPECT_EQ(calls.size(), 1U);
    EXPECT_EQ(entry(0x4CA123)->es_ok, 1);
}

TEST_F(AdsbCheck, AllCallInterrogatorCodeAndAddressParityFormats) {
    ctx->classic = 1;  // the check as specified (the default mode's rules: FramesTheHookGetsByMode)
    // DF4 before the aircraft is known: rejected.
    Frame df4 = make_frame(4, {0, 0, 0}, 0xABCDEF);
    EXPECT_EQ(check(df4), -1);
    EXPECT_EQ(ctx->stats.rejected[4], 1U);
    // Remainder 0x80 is outside the interrogator code: rejected, no entry.
    EXPECT_EQ(check(all_call(0xABCDEF, 0x80)), -1);
    EXPECT_EQ(ctx->stats.rejected[11], 1U);
    EXPECT_EQ(entry(0xABCDEF), nullptr);
    // Code 127 is accepted and creates the entry.
    EXPECT_EQ(check(all_call(0xABCDEF, 0x7F), kToa, 10), 11);
    ASSERT_NE(entry(0xABCDEF), nullptr);
    EXPECT_EQ(entry(0xABCDEF)->df11_ok, 1);
    // Now the DF4 matches: not rejected, refreshes the entry, still -1.
    EXPECT_EQ(check(df4, kToa + 100, 20), -1);
    EXPECT_EQ(ctx->stats.rejected[4], 1U);
    EXPECT_EQ(entry(0xABCDEF)->last_seen, kToa + 100);
    EXPECT_EQ(ctx->stats.accepted_level.max, 20);
    // A bad all-call for the known aircraft: rejected but counted on it.
    EXPECT_EQ(check(all_call(0xABCDEF, 0x100)), -1);
    EXPECT_EQ(ctx->stats.rejected[11], 2U);
    EXPECT_EQ(entry(0xABCDEF)->df11_bad, 1);
    // Address/parity 0 is a failure even with a free entry of address 0.
    EXPECT_EQ(check(make_frame(5, {0, 0, 0}, 0)), -1);
    EXPECT_EQ(ctx->stats.rejected[5], 1U);
}

TEST_F(AdsbCheck, UnvalidatedFormatsOnlyCounted) {
    ctx->classic = 1;  // the default mode validates DF0 and DF16
    for (int df : {0, 16, 19, 28}) {
        Frame f = make_frame(df, {1, 2, 3});
        EXPECT_EQ(check(f), -1) << df;
        EXPECT_EQ(ctx->stats.received[df], 1U) << df;
        EXPECT_EQ(ctx->stats.rejected[df], 0U) << df;
    }
    EXPECT_EQ(ctx->stats.rejected_level.max, INT32_MIN);
    EXPECT_EQ(ctx->stats.accepted_level.max, INT32_MIN);
}

TEST_F(AdsbCheck, CommBCallsignAndNotCommBLine) {
    ASSERT_EQ(check(all_call(0x4CA123)), 11);
    EXPECT_EQ(check(commb(20, 1, 0x4CA123, {0x20, 0x04, 0x20, 0xC4, 0xE3, 0x3D, 0xC8})), 20);
    EXPECT_STREQ(entry(0x4CA123)->callsign, "ABCD837H");
    // Codes 33, 32, 2, 0, 1, 1, 1, 1: 33 and 32 are blanks, 0 is kept.
    EXPECT_EQ(check(commb(20, 4, 0x4CA123, {0x20, 0x86, 0x00, 0x80, 0x04, 0x10, 0x41})), 20);
    EXPECT_EQ(std::string(entry(0x4CA123)->callsign, 9), std::string("  B\0AAAA\0", 9));
    // A Comm-B reply of another register leaves the callsign alone.
    EXPECT_EQ(check(commb(20, 1, 0x4CA123, {0x30, 0x04, 0x20, 0xC4, 0xE3, 0x3D, 0xC8})), 20);
    EXPECT_EQ(entry(0x4CA123)->callsign[4], 'A');
    std::string err = stderr_of([&] {
        EXPECT_EQ(check(commb(21, 2, 0x4CA123)), 21);
        EXPECT_EQ(check(commb(21, 7, 0x4CA123)), 21);
    });
    EXPECT_EQ(err,
              "df=21, but NOT Comm-B (comm_type='T', dr=2)\n"
              "df=21, but NOT Comm-B (comm_type='?', dr=7)\n");
    EXPECT_EQ(entry(0x4CA123)->commb, 5);
    EXPECT_EQ(log_text(), "");
}

// The only test that sends replies without a downlink request: the run-wide
// counter starts at 0 here.
TEST_F(AdsbCheck, NoDownlinkRequestShownOnFirstAndEvery100th) {
    ASSERT_EQ(check(all_call(0x4CA123)), 11);
    Frame f = commb(20, 0, 0x4CA123);
    std::string hex;
    char b[4];
    for (uint8_t v : f) {
        snprintf(b, sizeof(b), "%02X ", v);
        hex += b;
    }
    for (int i = 0; i < 102; i++) ASSERT_EQ(check(f), 20);
    EXPECT_EQ(log_text(), "   1. df=20, no downlink request (dr=0) " + hex + "\n" +
                              " 101. df=20, no downlink request (dr=0) " + hex + "\n");
}

TEST_F(AdsbCheck, AddressZeroForwardedIntoAFreeEntry) {
    EXPECT_EQ(check(squitter(17, 0)), 17);
    EXPECT_EQ(calls.size(), 1U);
    EXPECT_EQ(ctx->aircraft.entries[0].address, 0U);
    EXPECT_EQ(ctx->aircraft.entries[0].es_ok, 1);
    // The entry stays free: the next aircraft takes it.
    EXPECT_EQ(check(all_call(0x123456)), 11);
    EXPECT_EQ(ctx->aircraft.entries[0].address, 0x123456U);
    EXPECT_EQ(ctx->aircraft.entries[0].es_ok, 0);
}

TEST_F(AdsbCheck, CallbackFailureKeepsTheEntryButReturnsMinusOne) {
    callback_result = -1;
    EXPECT_EQ(check(squitter(17, 0x4CA123)), -1);
    ASSERT_NE(entry(0x4CA123), nullptr);
    EXPECT_EQ(entry(0x4CA123)->es_ok, 0);
    EXPECT_EQ(ctx->stats.accepted_level.max, 40);
    EXPECT_EQ(ctx->stats.rejected[17], 0U);
}

TEST_F(AdsbCheck, FullTableReplacesTheLeastRecentlyHeard) {
    // Entry i heard at kToa + i; entry 0 heard again later, so entry 1 is
    // the least recently heard and gives way to the 513th address.
    for (uint32_t i = 0; i < 512; i++) ASSERT_EQ(check(all_call(0x100000 + i), kToa + i), 11);
    ASSERT_EQ(check(all_call(0x100000), kToa + 1000), 11);
    ASSERT_EQ(check(all_call(0xEEEEEE), kToa + 2000), 11);
    EXPECT_EQ(ctx->aircraft.entries[1].address, 0xEEEEEEU);
    EXPECT_EQ(ctx->aircraft.entries[1].df11_ok, 1);
    EXPECT_EQ(ctx->aircraft.entries[0].address, 0x100000U);
    // The active aircraft keep their entries: the next new address takes
    // entry 2, not the entry just taken.
    ASSERT_EQ(check(all_call(0xDDDDDD), kToa + 2001), 11);
    EXPECT_EQ(ctx->aircraft.entries[2].address, 0xDDDDDDU);
    EXPECT_EQ(ctx->aircraft.entries[1].address, 0xEEEEEEU);
    // The replaced aircraft are gone, the others still found.
    EXPECT_EQ(aircraft_find(&ctx->aircraft, 0x100001), -1);
    EXPECT_EQ(aircraft_find(&ctx->aircraft, 0x100002), -1);
    EXPECT_EQ(aircraft_find(&ctx->aircraft, 0x100003), 3);
    EXPECT_EQ(aircraft_find(&ctx->aircraft, 0xEEEEEE), 1);
    // With every time equal, the first entry in table order is replaced.
    for (auto& e : ctx->aircraft.entries) e.last_seen = 0;
    ASSERT_EQ(check(all_call(0xBBBBBB), 0), 11);
    EXPECT_EQ(ctx->aircraft.entries[0].address, 0xBBBBBBU);
    EXPECT_EQ(aircraft_find(&ctx->aircraft, 0x100000), -1);
}

TEST_F(AdsbCheck, LevelClasses) {
    struct Row {
        int32_t trigger, level;
        int bin;
    } rows[] = {{4, 1, 0},  {4, 4, 2},  {4, 7, 2},   {4, 200, 7},
                {16, 2, 0}, {16, 0, 0}, {1, 255, 9}, {0, 0x7FFFFFFF, 15}};
    for (const Row& r : rows) {
        ctx->trigger_level = r.trigger;
        std::array<uint32_t, 16> before;
        std::copy(std::begin(ctx->stats.ok_bins), std::end(ctx->stats.ok_bins), before.begin());
        ASSERT_EQ(check(all_call(0x4CA123), kToa, r.level), 11);
        for (int j = 0; j < 16; j++) {
            EXPECT_EQ(ctx->stats.ok_bins[j], before[j] + (j == r.bin ? 1 : 0))
                << "trigger " << r.trigger << " level " << r.level << " bin " << j;
        }
    }
}

TEST_F(AdsbCheck, ImplausibleSquitterTimeDroppedWithAWarning) {
    struct Row {
        TimeStamp toa;
        bool plausible;
    } rows[] = {{ts_make(1293833800U, 0), false}, {ts_make(1293833800U, 1), true},
                {ts_make(1609459199U, 0), true},  {ts_make(0x7FFFFFFFU, 0xFFFFFFFFU), true},
                {ts_make(0x80000000U, 0), false}, {0, false}};
    uint32_t expected_rejected = 0;
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << std::hex << r.toa);
        calls.clear();
        int32_t got = check(squitter(17, 0x4CA123), r.toa, 50);
        if (r.plausible) {
            EXPECT_EQ(got, 17) << std::hex << r.toa;
            EXPECT_EQ(calls.size(), 1U);
        } else {
            expected_rejected++;
            EXPECT_EQ(got, -1) << std::hex << r.toa;
            EXPECT_TRUE(calls.empty());
            if (expected_rejected == 1) {
                EXPECT_EQ(entry(0x4CA123), nullptr);
                EXPECT_EQ(ctx->stats.accepted_level.max, INT32_MIN);
            }
        }
        EXPECT_EQ(ctx->stats.rejected[17], expected_rejected);
    }
    EXPECT_EQ(entry(0x4CA123)->es_ok, 3);
    EXPECT_EQ(ctx->stats.rejected_level.max, 50);
    std::string log = log_text();
    EXPECT_EQ(count_of(log, "Warning - "), 3) << log;
    EXPECT_NE(log.find("Warning - df=17 from 4ca123: time of arrival 2010/12/31 22:16:40Z "
                       "(0x4d1e5648.00000000) outside the plausible window, frame dropped\n"),
              std::string::npos)
        << log;
}

}  // namespace

namespace {

struct Hooked {
    int df;
    int length;
    TimeStamp toa;
};
std::vector<Hooked> hooked;

void record_hook(Context*, const uint8_t* frame, int length, TimeStamp toa, int32_t) {
    hooked.push_back({frame[0] >> 3, length, toa});
}

}  // namespace

// What the frame hook (the listening outputs) gets, by mode: the default
// mode's stricter rules for replies and for the table, the classic mode's
// check as specified. Each row starts from an empty table; the hook is
// looked at for the row's last frame only.
TEST_F(AdsbCheck, FramesTheHookGetsByMode) {
    constexpr uint32_t kAa = 0x4CA123;
    const TimeStamp s = kTsOneSecond;
    struct Step {
        Frame frame;
        TimeStamp at;
    };
    const Frame es = squitter(17, kAa);
    const Frame df4 = make_frame(4, {0x10, 0x20, 0x30}, kAa);
    struct Row {
        const char* what;
        int classic;
        std::vector<Step> steps;  // the last one is looked at
        int32_t result;           // adsb_check's result for it
        int length;               // 0: not hooked
        bool entry;               // kAa in the table afterwards
    } rows[] = {
        {"DF11 code 0 enters", 0, {{all_call(kAa), kToa}}, 11, 7, true},
        {"DF11 code 5 unknown", 0, {{all_call(kAa, 5), kToa}}, -1, 0, false},
        {"DF11 code 5 unknown, classic", 1, {{all_call(kAa, 5), kToa}}, 11, 7, true},
        {"DF11 code 5 known", 0, {{all_call(kAa), kToa}, {all_call(kAa, 5), kToa + s}}, 11, 7,
         true},
        {"code 5 renews no clean time",
         0,
         {{all_call(kAa), kToa}, {all_call(kAa, 5), kToa + 30 * s}, {df4, kToa + 61 * s}},
         -1,
         0,
         true},
        {"DF4 within 60 s", 0, {{es, kToa}, {df4, kToa + 60 * s}}, -1, 7, true},
        {"DF4 after 61 s", 0, {{es, kToa}, {df4, kToa + 61 * s}}, -1, 0, true},
        {"DF4 after 600 s, classic", 1, {{es, kToa}, {df4, kToa + 600 * s}}, -1, 7, true},
        {"DF4 of an aircraft not heard", 0, {{df4, kToa}}, -1, 0, false},
        {"DF20 after 61 s", 0, {{es, kToa}, {commb(20, 0, kAa), kToa + 61 * s}}, -1, 0, true},
        {"DF21", 0, {{es, kToa}, {commb(21, 1, kAa), kToa + s}}, 21, 14, true},
        {"DF0", 0, {{es, kToa}, {make_frame(0, {1, 2, 3}, kAa), kToa + s}}, -1, 7, true},
        {"DF16", 0, {{es, kToa}, {make_frame(16, {1, 2, 3}, kAa), kToa + s}}, -1, 14, true},
        {"DF0, classic", 1, {{es, kToa}, {make_frame(0, {1, 2, 3}, kAa), kToa + s}}, -1, 0, true},
        {"DF24", 0, {{es, kToa}, {make_frame(24, {1, 2, 3}, kAa), kToa + s}}, -1, 0, true},
        {"DF24, classic", 1, {{es, kToa}, {make_frame(24, {1, 2, 3}, kAa), kToa + s}}, -1, 0, true},
        {"DF17", 0, {{es, kToa}}, 17, 14, true},
        {"DF17 bad parity", 0, {{squitter(17, kAa), kToa}, {make_frame(17, {0x4C}, 1), kToa}}, -1,
         0, true},
        {"DF17 implausible time", 0, {{es, ts_make(1000, 0)}}, -1, 0, false},
    };
    TearDown();
    for (const Row& r : rows) {
        SetUp();
        ctx->classic = r.classic;
        ctx->frame_hook = record_hook;
        int32_t got = 0;
        for (const Step& st : r.steps) {
            hooked.clear();
            got = check(st.frame, st.at);
        }
        EXPECT_EQ(got, r.result) << r.what;
        ASSERT_EQ(hooked.size(), r.length != 0 ? 1U : 0U) << r.what;
        if (r.length != 0) {
            EXPECT_EQ(hooked[0].df, r.steps.back().frame[0] >> 3) << r.what;
            EXPECT_EQ(hooked[0].length, r.length) << r.what;
            EXPECT_EQ(hooked[0].toa, r.steps.back().at) << r.what;
        }
        EXPECT_EQ(entry(kAa) != nullptr, r.entry) << r.what;
        TearDown();
    }
    SetUp();
    // The hook does not depend on the level-2 callback's result.
    ctx->frame_hook = record_hook;
    callback_result = -1;
    hooked.clear();
    EXPECT_EQ(check(es), -1);
    EXPECT_EQ(hooked.size(), 1U);
}

// The "heard with clean parity" time admits the default slicer's
// corrections of an aircraft's squitters: only a frame whose parity passed
// as decoded over all 24 bits renews it, never a corrected one (which
// would admit the next correction on its own) nor an all-call whose
// interrogator code any 17-bit check passes.
TEST_F(AdsbCheck, OnlyFramesCleanAsDecodedRenewTheCleanTime) {
    constexpr uint32_t kAa = 0x4840D6;
    ASSERT_EQ(check(squitter(17, kAa)), 17);
    struct Row {
        const char* what;
        Frame frame;
        int32_t corrected;
        int32_t want;  // the commit's result
        bool renews;
    } rows[] = {
        {"DF17 corrected in 1 bit", squitter(17, kAa), 1, 17, false},
        {"DF18 corrected in 4 bits", squitter(18, kAa), 4, 18, false},
        {"DF11 with code 5", all_call(kAa, 5), 0, 11, false},
        {"DF11 with code 0", all_call(kAa, 0), 0, 11, true},
        {"DF18 as decoded", squitter(18, kAa), 0, 18, true},
        {"DF17 as decoded", squitter(17, kAa), 0, 17, true},
    };
    TimeStamp t = kToa;
    for (const Row& r : rows) {
        t += kTsOneSecond;
        const TimeStamp clean_before = entry(kAa)->last_clean;
        FrameVerdict v = adsb_validate(ctx.get(), r.frame.data());
        v.corrected = r.corrected;
        EXPECT_EQ(adsb_commit(ctx.get(), r.frame.data(), &v, t, 40), r.want) << r.what;
        EXPECT_EQ(entry(kAa)->last_seen, t) << r.what;
        EXPECT_EQ(entry(kAa)->last_clean, r.renews ? t : clean_before) << r.what;
    }
    // A corrected squitter of an aircraft not yet in the table enters it,
    // not heard clean.
    const Frame other = squitter(17, 0x3C6586);
    FrameVerdict v = adsb_validate(ctx.get(), other.data());
    v.corrected = 1;
    EXPECT_EQ(adsb_commit(ctx.get(), other.data(), &v, t, 40), 17);
    ASSERT_NE(entry(0x3C6586), nullptr);
    EXPECT_EQ(entry(0x3C6586)->last_clean, 0U);
}
