// Station id: text form, the id strategies, the station table check.
#include "sdr/uniq.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "sdr/log.h"
#include "tests/support/log_capture.h"

namespace {

std::string text_of(const UniqId& u) {
    char buf[64];
    return uniq2str(&u, buf, sizeof(buf));
}

TEST(Uniq, TextForm) {
    const struct {
        UniqId uniq;
        const char* text;
    } rows[] = {
        {uniq_make(0x00445655, 0x080A), "0a08=l-usb-mac-00445655"},
        {uniq_make(0x23E2000B, 0x040A), "0a04=l-usb-sno-23e2000b"},
        {uniq_make(0x0000002A, 0x100A), "0a10=l-usb-rnd-0000002a"},
        {UniqId{{0x44, 0x33, 0x22, 0x11, 0x05, 0x04}}, "0504=r-sbs-sno-11223344"},
        {uniq_make(1, uniq_type_make(1, 7, 5, 3)), "0fd4=r-bkup-fix-3-00000001"},
        {uniq_make(1, uniq_type_make(0, 0, 0, 1)), "0040=l-undef-?\?\?-1-00000001"},
        {UniqId{}, "              --       "},
        // No names for these: the numbers.
        {uniq_make(0xDEADBEEF, uniq_type_make(0, 5, 6, 0)), "0a18=l-5-6-0-deadbeef"},
        {uniq_make(0xDEADBEEF, uniq_type_make(0, 5, 15, 0)), "0a3c=l-5-15-0-deadbeef"},
    };
    for (const auto& r : rows) EXPECT_EQ(text_of(r.uniq), r.text);
}

TEST(Uniq, KindWithoutNameWarnsAndShowsNumbers) {
    LogCapture log;
    UniqId u = uniq_make(0x01020304, uniq_type_make(1, 511, 2, 2));
    EXPECT_EQ(text_of(u), "ff8b=r-511-2-2-01020304");
    EXPECT_EQ(log.text(), "Warning - uniq2str: ff8b=r-511-2-2-01020304\n");
}

TEST(Uniq, TextIsCutAtTheBufferSize) {
    UniqId u = uniq_make(0x00445655, 0x080A);
    char buf[8];
    memset(buf, 'x', sizeof(buf));
    uniq2str(&u, buf, sizeof(buf));
    EXPECT_STREQ(buf, "0a08=l-");
}

TEST(Uniq, IdFormulas) {
    EXPECT_EQ(uniq_id_from_serial(0x0BDA, 0x2838, 11), 0x23E2000BU);
    EXPECT_EQ(uniq_id_from_serial(0x0CCD, 0x00D3, 0x12345678), 0x0C1E5678U);
    // 00:11:22:33:44:55: 0x00112200 + 0x334455 = 0x00446655 (0x2200 + 0x4455 = 0x6655).
    EXPECT_EQ(uniq_id_from_hw(0x001122334455ULL), 0x00446655U);
    // The low half is added with carries, modulo 2^32.
    EXPECT_EQ(uniq_id_from_hw(0xFFFFFFFFFFFFULL), 0x00FFFEFFU);
    EXPECT_EQ(uniq_id_from_hw(0x000000FFFFFFULL), 0x00FFFFFFU);
}

TEST(Uniq, SerialNumberStrategy) {
    LogCapture log;
    UniqId u{};
    TimeStamp now = ts_make(1500000000U, 0x80000000U);
    EXPECT_EQ(calc_uniq(&u, 0x0BDA, 0x2838, 11, 0, now), &u);
    EXPECT_EQ(text_of(u), "0a04=l-usb-sno-23e2000b");
    EXPECT_EQ(log.text(),
              "2017/07/14 02:40:00Z: Successfully generated uniqid by serial-number: "
              "{0a04=l-usb-sno-23e2000b}\n");
}

TEST(Uniq, NoOutputGivesRandomId) {
    LogCapture log;
    srandom(1234);
    uint32_t expected = static_cast<uint32_t>(random());
    srandom(1234);
    UniqId u{};
    // Vendor, product and serial would do, but without output they are not tried.
    calc_uniq(&u, 0x0BDA, 0x2838, 11, 1, ts_make(1500000000U, 0));
    EXPECT_EQ(uniq_id_value(u), expected);
    EXPECT_EQ(uniq_type_word(u), 0x100A);
    EXPECT_NE(log.text().find("Dynamic strategies failed! Use random and untrusted uniqid: {0a10="),
              std::string::npos);
}

TEST(UniqDeathTest, SerialStrategyRejectsUnknownSticks) {
    UniqId u{};
    EXPECT_EXIT(calc_uniq(&u, 0x1234, 0x5678, 100, 0, ts_make(1500000000U, 0)),
                testing::ExitedWithCode(1), "Fatal - Assertion failed in sdr/uniq line");
    EXPECT_EXIT(calc_uniq(&u, 0x0BDA, 0x2838, 0xFFFFFFFFU, 0, ts_make(1500000000U, 0)),
                testing::ExitedWithCode(1), "Fatal - Assertion failed in sdr/uniq line");
}

TEST(Uniq, StationTableCount) {
    const NickEntry table[5] = {
        {uniq_make(1, 0x080A), "a", -1.0, -1.0, -1.0, 0},
        {uniq_make(1, 0x080B), "a", -1.0, -1.0, -1.0, 0},
        {uniq_make(0, 0x0001), "b", -1.0, -1.0, -1.0, 0},  // id 0 but not all zero
    };
    LogCapture log;
    EXPECT_EQ(init_nick_table(table, 5), 3);
    EXPECT_EQ(log.text(), "init_nick: used nicks 3/5\n");

    init_nick();
    EXPECT_GT(nick_count, 0);
    EXPECT_LT(nick_count, kNickListSize);
}

TEST(UniqDeathTest, StationTableWithoutEnd) {
    const NickEntry table[2] = {
        {uniq_make(1, 0x080A), "a", -1.0, -1.0, -1.0, 0},
        {uniq_make(2, 0x080A), "b", -1.0, -1.0, -1.0, 0},
    };
    EXPECT_EXIT(init_nick_table(table, 2), testing::ExitedWithCode(1),
                "Fatal - Please resize nick_list array \\(size 2 is too small\\)");
}

}  // namespace
