// The station id of a board without a default IPv4 route, in a network
// namespace of the test's own (unshare -n, as root; skipped where that is
// not possible): the interface of the route to the proxy, else the first
// interface that is up with a hardware address, else a random id; one
// warning says which, and the service goes on.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <future>
#include <string>
#include <vector>

#include "include/level2.h"
#include "include/uniq.h"
#include "sdr/uniq.h"
#include "tests/support/capture.h"
#include "tests/support/process.h"

namespace {

// A target program as a shell command (with the emulator in front under
// cross builds).
std::string target(const std::string& program) {
    return std::string(VORLIX_EMULATOR) + " " + program;
}

int run_shell(const std::string& script) {
    int st = system(script.c_str());
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

// Root, unshare and the interfaces the cases build (bridges with fixed
// hardware addresses).
bool namespaces_possible() {
    if (geteuid() != 0) return false;
    return run_shell(
               "unshare -n sh -c 'ip link add vx0 type bridge && ip link set vx0 up' "
               ">/dev/null 2>&1") == 0;
}

// Hardware addresses of the bridges; no traffic leaves the namespace.
constexpr uint64_t kRouteHw = 0x021122334455ULL;  // b0: carries the route to the proxy
constexpr uint64_t kUpHw = 0x021122334466ULL;     // b1: up, no address (b2: down)

const char kMakeB1[] = "ip link add b1 address 02:11:22:33:44:66 type bridge && ip link set b1 up";
const char kMakeB0[] =
    "ip link add b0 address 02:11:22:33:44:55 type bridge && ip link set b0 up && "
    "ip addr add 192.0.2.1/24 dev b0";
const char kMakeB2[] = "ip link add b2 address 02:11:22:33:44:77 type bridge";

std::string mac_id_text(uint64_t hw) {
    char id[64];
    UniqId u =
        uniq_make(uniq_id_from_hw(hw), uniq_type_make(0, UNIQ_KIND_USB, UNIQ_STRATEGY_MAC, 0));
    return uniq2str(&u, id, sizeof id);
}

// The text form of the station id of the first level-2 message in `l2`.
std::string first_id_text(const std::string& l2) {
    if (l2.size() < kL2HeaderBytes) return "";
    L2Message m{};
    l2_get_header(reinterpret_cast<const uint8_t*>(l2.data()), &m);
    char id[64];
    return uniq2str(&m.uniq, id, sizeof id);
}

struct Case {
    const char* what;
    std::string setup;  // commands in the namespace before the service starts
    bool proxy;         // the proxy listens on 192.0.2.1; else -o a file
    int retry;
    std::string warning;  // the fallback's warning, once per attempt
    std::string id;       // the HELLO's station id; empty: random
};

struct Outcome {
    int status;
    std::string err, l2, proxy;
};

Outcome run_case(const Case& c, const std::string& dir, const std::string& capture) {
    const std::string vorlix = target(VORLIX_BIN);
    std::string body = "ip link set lo up && " + c.setup + " && ";
    if (c.proxy) {
        body += target(tool_path("test-proxy")) + " -b 192.0.2.1 -t 60 --port-file " + dir +
                "/port -o " + dir + "/proxy.txt & i=0; while [ ! -s " + dir +
                "/port ] && [ $i -lt 600 ]; do sleep 0.05; i=$((i+1)); done; " + vorlix +
                " -w 0 -r " + std::to_string(c.retry) + " -o 192.0.2.1:$(cat " + dir + "/port) " +
                capture + "; st=$?; wait; exit $st";
    } else {
        body +=
            vorlix + " -w 0 -r " + std::to_string(c.retry) + " -o " + dir + "/out.l2 " + capture;
    }
    std::string script = "unshare -n sh -c '" + body + "' >/dev/null 2>" + dir + "/err";
    Outcome o;
    o.status = run_shell(script);
    o.err = read_file(dir + "/err");
    if (!c.proxy) o.l2 = read_file(dir + "/out.l2");
    if (c.proxy) o.proxy = read_file(dir + "/proxy.txt");
    return o;
}

// Each run waits 10 s for a default route to appear (the run's first
// station id only): the cases run side by side.
TEST(StationId, FallbacksWithoutADefaultRoute) {
    if (!namespaces_possible()) GTEST_SKIP() << "needs root and unshare -n with bridges";
    const std::string none = "station id: no usable default route";
    const Case cases[] = {
        {"route to the proxy", std::string(kMakeB1) + " && " + kMakeB0, true, 0,
         none + "; using the hardware address of b0, the interface of the route to the proxy "
                "192.0.2.1",
         mac_id_text(kRouteHw)},
        {"first interface up", std::string(kMakeB2) + " && " + kMakeB1, false, 0,
         none + "; using the hardware address of b1, the first interface that is up",
         mac_id_text(kUpHw)},
        // Two attempts: only the first waits for a default route.
        {"random", kMakeB2, false, 1,
         none + " and no interface with a hardware address; using a random id", ""},
    };
    TempDir dir;
    std::string capture = dir.file("in.cap");
    write_file(capture, timestamped_capture(3, 1700000000000000000ULL, 1706666));
    std::vector<std::future<Outcome>> runs;
    for (size_t i = 0; i < std::size(cases); i++) {
        std::string sub = dir.file("case" + std::to_string(i));
        run_shell("mkdir -p " + sub);
        runs.push_back(std::async(std::launch::async, run_case, cases[i], sub, capture));
    }
    for (size_t i = 0; i < runs.size(); i++) {
        const Case& c = cases[i];
        Outcome o = runs[i].get();
        SCOPED_TRACE(c.what);
        EXPECT_EQ(o.status, 0) << o.err;
        EXPECT_EQ(count_of(o.err, "Fatal"), 0) << o.err;
        EXPECT_EQ(count_of(o.err, "Warning - " + c.warning + "\n"), c.retry + 1) << o.err;
        EXPECT_EQ(count_of(o.err, "Warning - premature end in /proc/net/route"), 20) << o.err;
        if (c.proxy) {
            EXPECT_NE(o.proxy.find(" " + c.id + " L2_OP_HELLO\n"), std::string::npos) << o.proxy;
        } else if (!c.id.empty()) {
            EXPECT_EQ(first_id_text(o.l2), c.id);
        } else {
            EXPECT_EQ(first_id_text(o.l2).substr(0, 15), "0a10=l-usb-rnd-") << o.err;
        }
    }
}

}  // namespace
