// The default-route lookup on prepared routing tables, and the line reader.
#include "lib/routing.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
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
    EXPECT_EQ(get_hw_address_from(path.c_str(), 1000, &hw, &ip, &mask), 1);
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
    EXPECT_EQ(get_hw_address_from(path.c_str(), 1000, &hw, &ip, &mask), 1);
    EXPECT_EQ(hw, expected) << iface;
}

TEST(RoutingDeathTest, NoDefaultRouteAfterTwentyTries) {
    TempDir dir;
    std::string path = dir.file("route");
    write_file(path, std::string(kHeader) + route("eth0", "000200C0", "00000000"));
    uint64_t hw;
    uint32_t ip, mask;
    std::string p = path;
    EXPECT_EXIT(get_hw_address_from(p.c_str(), 1000, &hw, &ip, &mask), testing::ExitedWithCode(1),
                "Warning - premature end in .*route -- no default route found \\(try==1, "
                "lines=2\\).*try==20, lines=2\\)\nFatal - Cannot read .*route \\(i==2, n=0, "
                "buf=, ");
}

TEST(RoutingDeathTest, HundredLinesWithoutDefaultRoute) {
    TempDir dir;
    std::string path = dir.file("route");
    std::string table = kHeader;
    for (int i = 0; i < 120; i++) table += route("eth0", "000200C0", "00000000");
    write_file(path, table);
    uint64_t hw;
    uint32_t ip, mask;
    std::string p = path;
    EXPECT_EXIT(get_hw_address_from(p.c_str(), 1000, &hw, &ip, &mask), testing::ExitedWithCode(1),
                "Fatal - Cannot read .*route \\(i==100, n=11, buf=eth0\t000200C0");
}

TEST(RoutingDeathTest, MissingTableAndUnknownInterface) {
    TempDir dir;
    std::string missing = dir.file("none");
    uint64_t hw;
    uint32_t ip, mask;
    EXPECT_EXIT(get_hw_address_from(missing.c_str(), 1000, &hw, &ip, &mask),
                testing::ExitedWithCode(1), "Fatal - Cannot open .*none for reading \\(");
    std::string path = dir.file("route");
    // A name of 16 or more characters is cut to 15 for the request.
    write_file(path, std::string(kHeader) + route("abcdefghijklmnopqrstuvwxyz", "00000000", "0"));
    EXPECT_EXIT(get_hw_address_from(path.c_str(), 1000, &hw, &ip, &mask),
                testing::ExitedWithCode(1),
                "dev abcdefghijklmnopqrstuvwxyz via 0x0\nFatal - ioctl\\(SIOCGIFADDR\\): ");
}

}  // namespace
