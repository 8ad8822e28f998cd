#include "sdr/log.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "tests/support/process.h"

namespace {

// Log output into a temporary file, read back without closing it: what is
// there was flushed by the call itself.
class LogTest : public testing::Test {
   protected:
    void SetUp() override {
        path_ = dir_.file("log");
        file_ = fopen(path_.c_str(), "a");
        ASSERT_NE(file_, nullptr);
        saved_stream_ = log_stream;
        saved_mask_ = debug_mask;
        log_stream = file_;
    }
    void TearDown() override {
        log_stream = saved_stream_;
        debug_mask = saved_mask_;
        fclose(file_);
    }
    std::string text() const { return read_file(path_); }

    TempDir dir_;
    std::string path_;
    FILE* file_ = nullptr;
    FILE* saved_stream_ = nullptr;
    int saved_mask_ = 1;
};

TEST_F(LogTest, DebugMaskGates) {
    struct Case {
        int debug_mask, call_mask;
        bool printed;
    } cases[] = {
        {1, 1, true},       {0, 1, false},       {0x02, 1, false}, {0x03, 2, true},
        {0xFF, 0x80, true}, {0x7F, 0x80, false}, {0, 0xFF, false},
    };
    for (const auto& c : cases) {
        debug_mask = c.debug_mask;
        size_t before = text().size();
        int n = log_debug(c.call_mask, "a%db", 42);
        EXPECT_EQ(n, c.printed ? 4 : 0) << c.debug_mask << " " << c.call_mask;
        EXPECT_EQ(text().size() - before, c.printed ? 4U : 0U) << c.debug_mask;
    }
    EXPECT_EQ(text(), "a42ba42ba42b");
}

TEST_F(LogTest, HexLines) {
    const uint8_t bytes[] = {0x01, 0xAB, 0xFF};
    debug_mask = 0x02;
    log_hex(0x02, bytes, 3, "%02X ");
    log_hex(0x02, bytes, 0, "%02X ");
    log_hex(0x01, bytes, 3, "%02X ");  // gated off
    EXPECT_EQ(text(), "01 AB FF \n\n");
}

TEST_F(LogTest, SeveritiesIgnoreTheMask) {
    debug_mask = 0;
    log_info("value %d", 7);
    log_warning("manually ignore SIGPIPE\n");
    EXPECT_EQ(text(), "Info - value 7\nWarning - manually ignore SIGPIPE\n\n");
}

TEST_F(LogTest, LongMessagesAreCut) {
    std::string long_text(2000, 'x');
    long_text[1021] = 'y';
    long_text[1022] = 'z';
    log_warning("%s", long_text.c_str());
    EXPECT_EQ(text(), "Warning - " + long_text.substr(0, 1022) + "\n");
    // Exactly 1022 characters stay whole; debug output is never cut.
    std::string exact(1022, 'q');
    debug_mask = 1;
    size_t before = text().size();
    log_info("%s", exact.c_str());
    log_debug(1, "%s", long_text.c_str());
    EXPECT_EQ(text().substr(before), "Info - " + exact + "\n" + long_text);
}

TEST(LogDeathTest, FatalAndAssertionEndTheProcess) {
    EXPECT_EXIT(
        {
            log_stream = stderr;
            log_fatal("boom %d\n", 5);
        },
        testing::ExitedWithCode(1), "^Fatal - boom 5\n\n$");
    EXPECT_EXIT(
        {
            log_stream = stderr;
            int three = 3;
            VX_ASSERT("sdr/vorlix", three == 4);
        },
        testing::ExitedWithCode(1), "^Fatal - Assertion failed in sdr/vorlix line [0-9]+\n$");
}

}  // namespace
