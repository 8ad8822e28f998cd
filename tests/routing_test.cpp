// The default-route lookup on prepared routing tables, and the line reader.
#include "lib/routing.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <regex>
#include <string>

#include "sdr/log.h"
#include "tests/support/log_capture.h"
#include "tests/support/process.h"

namespace {

const char kHeader[] =
    "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT"
    "                                                       \n";

std::string route(const std::string& iface, const char* dest, const char* gateway) {
    return iface + "\t" + dest + "\t" + gateway + "\t0003\t0\t0\t0\t00000000\t0\t0\t0\n";
}

TEST(ReadLine, PiecesAndEnds) {
    TempDir dir;
    std::string path = dir.file("lines");
    write_file(path, "abc\n\nabcdefg\nlast");
    int fd = open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    const struct {
        int size;
        int result;
        const char* text;
    } rows[] = {
        {256, 3, "abc"},  {256, 0, ""},   // an empty line
        {4, 4, "abcd"},   {4, 3, "efg"},  // an overlong line in pieces
        {256, 4, "last"}, {256, 0, ""},   // no newline before end of file; then end of file
        {-1, 0, ""},
    };
    for (const auto& r : rows) {
        char buf[257];
        memset(buf, 'x', sizeof(buf));
        EXPECT_EQ(read_line(fd, buf, r.size), r.result) << r.text;
        EXPECT_STREQ(buf, r.text);
    }
    close(fd);
    char buf[8];
    EXPECT_LT(read_line(fd, buf, 4), 0);  // a closed descriptor: the read fails
}

TEST(ReadLineDeathTest, SizeZeroIsAnAssertion) {
    char buf[4];
    EXPECT_EXIT(read_line(0, buf, 0), testing::ExitedWithCode(1),
                "Fatal - Assertion failed in lib/routing line");
}

TEST(Routing, LoopbackAsDefaultRoute) {
    TempDir dir;
    std::string path = dir.file("route");
    // A line that does not reach its Destination field is not the default route.
    write_file(path, std::string(kHeader) + "bogus\n" + route("eth9", "000200C0", "00000000") +
                         route("lo", "00000000", "0101A8C0") +
                         route("no-such-if", "00000000", "0201A8C0"));
    LogCapture log;
    uint64_t hw = 99;
    uint32_t ip = 0, mask = 0;
    EXPECT_EQ(get_hw_address_from(path.c_str(), kRouteMaxTries, 1000, &hw, &ip, &mask), 1);
    // 127.0.0.1 and 255.0.0.0 as their bytes lie in memory; no hardware address.
    const uint8_t* ip_bytes = reinterpret_cast<const uint8_t*>(&ip);
    const uint8_t* mask_bytes = reinterpret_cast<const uint8_t*>(&mask);
    EXPECT_EQ(ip_bytes[0], 127);
    EXPECT_EQ(ip_bytes[3], 1);
    EXPECT_EQ(mask_bytes[0], 255);
    EXPECT_EQ(mask_bytes[1], 0);
    EXPECT_EQ(hw, 0U);
    EXPECT_EQ(log.text(), "Found (1st) default route into dev lo via 0x101a8c0\n");
}

// The machine's own default-route interface, when it has one with a
// hardware address.
TEST(Routing, RealInterfaceHardwareAddress) {
    std::string table = read_file("/proc/net/route");
    std::string iface;
    for (const std::string& line : split_lines(table)) {
        char name[64];
        unsigned dest = 1;
        if (sscanf(line.c_str(), "%63s %x", name, &dest) == 2 && dest == 0) {
            iface = name;
            break;
        }
    }
    if (iface.empty()) GTEST_SKIP() << "no default route on this machine";
    std::string address = read_file("/sys/class/net/" + iface + "/address");
    unsigned b[6];
    if (sscanf(address.c_str(), "%x:%x:%x:%x:%x:%x", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5]) != 6)
        GTEST_SKIP() << iface << " has no hardware address";
    uint64_t expected = 0;
    for (unsigned v : b) expected = expected << 8 | v;

    TempDir dir;
    std::string path = dir.file("route");
    write_file(path, std::string(kHeader) + route(iface, "00000000", "010200C0"));
    uint64_t hw = 0;
    uint32_t ip = 0, mask = 0;
    EXPECT_EQ(get_hw_address_from(path.c_str(), kRouteMaxTries, 1000, &hw, &ip, &mask), 1);
    EXPECT_EQ(hw, expected) << iface;
    // Asked by name, as the fallbacks do, the interface gives the same.
    uint64_t by_name = 0;
    EXPECT_EQ(get_interface_addresses(iface.c_str(), &by_name, &ip, &mask), 1);
    EXPECT_EQ(by_name, expected) << iface;
}

int open_descriptors() {
    int n = 0;
    for (int fd = 0; fd < 1024; fd++) n += fcntl(fd, F_GETFD) != -1 ? 1 : 0;
    return n;
}

// Every way the lookup fails is reported as warnings and returned as 0,
// with no descriptor left open: the caller falls back.
TEST(Routing, FailuresAreReportedAndReturned) {
    TempDir dir;
    std::string hundred = kHeader;
    for (int i = 0; i < 120; i++) hundred += route("eth0", "000200C0", "00000000");
    const struct {
        const char* what;
        std::string table;  // empty: no table at all
        int tries;
        const char* log;  // regular expression for the whole log
    } cases[] = {
        {"no default route, 20 tries", std::string(kHeader) + route("eth0", "000200C0", "0"), 20,
         "Warning - premature end in .*route -- no default route found \\(try==1, lines=2\\)\n"
         "(.*\n){18}"
         "Warning - premature end in .*route -- no default route found \\(try==20, lines=2\\)\n"
         "Warning - Cannot read .*route \\(i==2, n=0, buf=, Success, 0\\)\\.\n"},
        {"no default route, one pass", std::string(kHeader) + route("eth0", "000200C0", "0"), 0,
         "Warning - Cannot read .*route \\(i==2, n=0, buf=, Success, 0\\)\\.\n"},
        {"an empty table", kHeader, 0, "Warning - Cannot read .*route \\(i==1, n=0, buf=, .*\n"},
        {"100 lines without a default route", hundred, 20,
         "Warning - Cannot read .*route \\(i==100, n=11, buf=eth0\t000200C0.*\n"},
        {"no table", "", 20, "Warning - Cannot open .*none for reading \\(.*\n"},
        // A name of 16 or more characters is cut to 15 for the request.
        {"unknown interface",
         std::string(kHeader) + route("abcdefghijklmnopqrstuvwxyz", "00000000", "0"), 20,
         "Found \\(1st\\) default route into dev abcdefghijklmnopqrstuvwxyz via 0x0\n"
         "Warning - ioctl\\(SIOCGIFADDR\\): .*\n"},
    };
    for (const auto& c : cases) {
        std::string path = dir.file(c.table.empty() ? "none" : "route");
        if (!c.table.empty()) write_file(path, c.table);
        LogCapture log;
        const int before = open_descriptors();
        uint64_t hw = 99;
        uint32_t ip = 99, mask = 0;
        EXPECT_EQ(get_hw_address_from(path.c_str(), c.tries, 100, &hw, &ip, &mask), 0) << c.what;
        EXPECT_EQ(hw, 0U) << c.what;
        EXPECT_EQ(ip, 0U) << c.what;
        EXPECT_TRUE(std::regex_match(log.text(), std::regex(c.log))) << c.what << "\n"
                                                                     << log.text();
        EXPECT_EQ(open_descriptors(), before) << c.what;
    }
}

// The interface of the most specific route to an address: the longest
// mask, then the lowest metric, then the first line.
TEST(Routing, RouteToAnAddress) {
    auto line = [](const char* iface, const char* dest, const char* mask, int metric,
                   const char* flags = "0001") {
        return std::string(iface) + "\t" + dest + "\t00000000\t" + flags + "\t0\t0\t" +
               std::to_string(metric) + "\t" + mask + "\t0\t0\t0\n";
    };
    TempDir dir;
    std::string path = dir.file("route");
    write_file(path, std::string(kHeader) + "bogus\n" +
                         line("wide0", "0000000A", "000000FF", 0) +  // 10.0.0.0/8
                         line("net1", "0002000A", "00FFFFFF", 5) +   // 10.0.2.0/24, metric 5
                         line("net2", "0002000A", "00FFFFFF", 1) +   // the same, metric 1
                         line("net3", "0002000A", "00FFFFFF", 1) +   // the same again
                         line("host0", "0702000A", "FFFFFFFF", 9) +  // 10.0.2.7/32
                         line("gone0", "0000A8C0", "0000FFFF", 0, "0201") +  // rejected
                         line("down0", "0001A8C0", "00FFFFFF", 0, "0000"));  // not up
    const struct {
        uint8_t dest[4];
        const char* iface;  // nullptr: no route
    } rows[] = {
        {{10, 0, 2, 7}, "host0"},    {{10, 0, 2, 8}, "net2"},     {{10, 9, 9, 9}, "wide0"},
        {{192, 168, 1, 1}, nullptr}, {{192, 168, 5, 5}, nullptr}, {{127, 0, 0, 1}, nullptr},
    };
    for (const auto& r : rows) {
        uint32_t dest;
        memcpy(&dest, r.dest, sizeof dest);
        char iface[kIfaceNameBytes] = "unset";
        int found = find_route_interface(path.c_str(), dest, iface);
        EXPECT_EQ(found, r.iface ? 1 : 0) << int(r.dest[0]) << "." << int(r.dest[3]);
        EXPECT_STREQ(r.iface ? iface : "unset", r.iface ? r.iface : "unset");
    }
}

}  // namespace
