#include "lib/getopt.h"

#include <gtest/gtest.h>

#include <iterator>

#include <cstring>
#include <string>
#include <vector>

#include "include/context.h"
#include "sdr/log.h"
#include "sdr/vorlix.h"

namespace {

const OptionDesc* const kTable = kOptions;
constexpr int kTableSize = static_cast<int>(std::size(kOptions));

// Mutable argv: the parser edits grouped flags in place.
struct Argv {
    explicit Argv(std::vector<std::string> args) : store(std::move(args)) {
        store.insert(store.begin(), "vorlix");
        for (auto& s : store) ptrs.push_back(s.data());
        ptrs.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(store.size()); }
    char** argv() { return ptrs.data(); }
    std::vector<std::string> store;
    std::vector<char*> ptrs;
};

// One call's result as text: "3 s=2.4M @1", "2 @1", "0 @2", "1".
std::string describe(int rc, int opt_index, int arg_index, const char* value) {
    std::string s = std::to_string(rc);
    if (rc == GETOPT_OPTION) {
        char letter = kTable[opt_index].short_opt;
        s += ' ';
        s += letter ? std::string(1, letter) : std::string("<lone>");
        if (value) s += std::string("=") + value;
    }
    if (rc != GETOPT_END) s += " @" + std::to_string(arg_index);
    return s;
}

std::vector<std::string> parse_all(std::vector<std::string> args) {
    Argv a(std::move(args));
    std::vector<std::string> out;
    my_optind = 1;
    for (int guard = 0; guard < 20; guard++) {
        int opt_index = -1, arg_index = -1;
        const char* value = "unset";
        int rc =
            my_getopt_long(a.argc(), a.argv(), &opt_index, &arg_index, kTable, kTableSize, &value);
        out.push_back(describe(rc, opt_index, arg_index, value));
        if (rc == GETOPT_END || rc == GETOPT_ERROR) break;
    }
    return out;
}

using Steps = std::vector<std::string>;

TEST(GetoptTest, FormsAndErrors) {
    struct Case {
        std::vector<std::string> args;
        Steps expected;
    } cases[] = {
        {{}, {"1"}},
        {{"-s", "2.4M"}, {"3 s=2.4M @1", "1"}},
        {{"-s2.4M"}, {"3 s=2.4M @1", "1"}},
        {{"-s=2.4M"}, {"3 s=2.4M @1", "1"}},
        {{"-s="}, {"0 @1"}},
        {{"-s"}, {"0 @1"}},
        {{"--samp_rate=2.4M", "x"}, {"3 s=2.4M @1", "2 @2", "1"}},
        {{"--samp_rate", "2.4M"}, {"3 s=2.4M @1", "1"}},
        {{"--samp_rate"}, {"0 @1"}},
        {{"--samp_rate="}, {"0 @1"}},
        {{"--samp_rate", "-5"}, {"0 @1"}},
        {{"-z", "-5"}, {"3 z=-5 @1", "1"}},
        {{"--sensitvity=-5"}, {"3 z=-5 @1", "1"}},
        {{"-Vh"}, {"3 V @1", "3 h @1", "1"}},
        {{"-hV"}, {"3 h @1", "3 V @1", "1"}},
        {{"-?"}, {"3 ? @1", "1"}},
        {{"--help"}, {"3 h @1", "1"}},
        {{"--version"}, {"3 V @1", "1"}},
        {{"--version=1"}, {"0 @1"}},
        {{"--"}, {"0 @1"}},
        {{"--tim", "5"}, {"0 @1"}},
        {{"--timex=5"}, {"0 @1"}},
        {{"-x"}, {"0 @1"}},
        {{"-"}, {"3 <lone> @1", "1"}},
        {{"a", "-w", "0", "b"}, {"2 @1", "3 w=0 @2", "2 @4", "1"}},
        {{"-w", "0", "-V"}, {"3 w=0 @1", "3 V @3", "1"}},
    };
    for (auto& c : cases) {
        std::string joined;
        for (auto& a : c.args) joined += a + " ";
        EXPECT_EQ(parse_all(c.args), c.expected) << "args: " << joined;
    }
}

TEST(GetoptTest, GroupedFlagIsRemovedInPlace) {
    Argv a({"-Vh", "f"});
    my_optind = 1;
    int opt_index = 0, arg_index = 0;
    const char* value = nullptr;
    ASSERT_EQ(
        my_getopt_long(a.argc(), a.argv(), &opt_index, &arg_index, kTable, kTableSize, &value),
        GETOPT_OPTION);
    EXPECT_STREQ(a.argv()[1], "-h");
    EXPECT_EQ(my_optind, 1);
}

// parse_args on a record holding the driver's defaults.
class ParseArgsTest : public testing::Test {
   protected:
    void SetUp() override {
        memset(static_cast<void*>(&ctx_), 0, sizeof ctx_);
        ctx_.time_interval = 30;
        ctx_.wait = 15;
        ctx_.retry = -1;
        ctx_.out_fd = 1;
        ctx_.samp_rate = 2400000;
        saved_mask_ = debug_mask;
    }
    void TearDown() override { debug_mask = saved_mask_; }
    Context* parse(std::vector<std::string> args) {
        argv_ = std::make_unique<Argv>(std::move(args));
        parse_args(&ctx_, argv_->argc(), argv_->argv());
        return &ctx_;
    }
    static Context ctx_;
    std::unique_ptr<Argv> argv_;
    int saved_mask_ = 1;
};
Context ParseArgsTest::ctx_;

// The value passes through single precision: 2345678.4 becomes 2345678.5
// and 2.0015 becomes 2.00149989, which the rounding then shows.
TEST_F(ParseArgsTest, SampleRateForms) {
    struct Case {
        std::vector<std::string> args;
        uint32_t rate;
    } cases[] = {
        {{"-s", "2.4M"}, 2400000},
        {{"-s", "2400k"}, 2400000},
        {{"-s", "2400000"}, 2400000},
        {{"--samp_rate=2.4M"}, 2400000},
        {{"-s2M"}, 2000000},
        {{"-s", "3.2M"}, 3200000},
        {{"-s", "2345678.2"}, 2345678},
        {{"-s", "2345678.6"}, 2345679},
        {{"-s", "2.4001M"}, 2400000},
        {{"-s", "2345678.4"}, 2345679},
        {{"-s", "2.0015M"}, 2001000},
        {{"-s", "2400000 Hz"}, 2400000},
        {{"-s", "2000.4k"}, 2000400},
    };
    for (auto& c : cases) {
        SetUp();
        EXPECT_EQ(parse(c.args)->samp_rate, c.rate) << c.args.back();
    }
}

TEST_F(ParseArgsTest, IntegerOptions) {
    struct Case {
        std::vector<std::string> args;
        int32_t time_interval, wait, retry;
        int32_t sens[4];
    } cases[] = {
        {{"-t", "0x10"}, 16, 15, -1, {0, 0, 0, 0}},
        {{"-t", "010"}, 8, 15, -1, {0, 0, 0, 0}},
        {{"-t", "30s", "-w", "0"}, 30, 0, -1, {0, 0, 0, 0}},
        {{"--time=3600", "--wait", "3600"}, 3600, 3600, -1, {0, 0, 0, 0}},
        {{"-r", "-1"}, 30, 15, -1, {0, 0, 0, 0}},
        {{"-r100"}, 30, 15, 100, {0, 0, 0, 0}},
        {{"-z", "-5"}, 30, 15, -1, {-5, -5, -5, -5}},
        {{"-z", "3"}, 30, 15, -1, {3, 3, 3, 3}},
        {{"-z", "1,2"}, 30, 15, -1, {1, 2, 2, 2}},
        {{"-z", "1,2,3,4,9"}, 30, 15, -1, {1, 2, 3, 4}},
        {{"-z", "20,-5x"}, 30, 15, -1, {20, -5, -5, -5}},
        {{"--sensitvity=-5"}, 30, 15, -1, {-5, -5, -5, -5}},
    };
    for (auto& c : cases) {
        SetUp();
        Context* ctx = parse(c.args);
        std::string what = c.args[0] + " " + (c.args.size() > 1 ? c.args[1] : "");
        EXPECT_EQ(ctx->time_interval, c.time_interval) << what;
        EXPECT_EQ(ctx->wait, c.wait) << what;
        EXPECT_EQ(ctx->retry, c.retry) << what;
        for (int i = 0; i < 4; i++) EXPECT_EQ(ctx->sensitvity[i], c.sens[i]) << what << " " << i;
    }
}

TEST_F(ParseArgsTest, NamesDestinationAndDebug) {
    Context* ctx = parse({"-d", "0x82", "-o", "proxy:30004", "capture.bin"});
    EXPECT_EQ(debug_mask, 0x82);
    EXPECT_STREQ(ctx->out_url, "proxy:30004");
    EXPECT_STREQ(ctx->in_name, "capture.bin");

    // -c and --classic select the classic demodulator.
    for (const char* form : {"-c", "--classic"}) {
        SetUp();
        EXPECT_EQ(parse({"x"})->classic, 0);
        SetUp();
        EXPECT_EQ(parse({form, "x"})->classic, 1) << form;
    }

    // A lone "-" replaces an earlier name and ends parsing: "b" and the
    // invalid option behind it are never examined.
    SetUp();
    ctx = parse({"a", "-", "b", "--bogus"});
    EXPECT_STREQ(ctx->in_name, "-");
}

}  // namespace
