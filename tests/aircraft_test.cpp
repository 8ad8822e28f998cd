// The aircraft table's index against a plain scan of its entries: after
// every take (new aircraft, address 0, replacements in a full table with
// runs of colliding addresses) a lookup finds exactly what a scan finds,
// and the first free entry is the scan's.
#include "sdr/aircraft.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "tests/support/air.h"
#include "tests/support/capture.h"
#include "tests/support/process.h"

namespace {

int32_t scan_find(const AircraftTable& t, uint32_t address) {
    for (int32_t i = 0; i < kAircraftEntries; i++)
        if (t.entries[i].address == address) return i;
    return -1;
}

TEST(Aircraft, IndexAgreesWithTheEntriesThroughReplacements) {
    struct Row {
        const char* name;
        uint32_t address_span;  // addresses drawn from 1..span (small spans: full table, replacements)
        int zero_every;         // every n-th take is for address 0 (0: never)
        int takes;
    } rows[] = {
        {"sparse", 0xFFFFFF, 0, 400},
        {"fills and replaces", 0xFFFFFF, 0, 3000},
        {"dense addresses", 1500, 0, 4000},
        {"address zero among them", 0xFFFFFF, 7, 3000},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        auto t = std::make_unique<AircraftTable>();
        std::mt19937 rng(17);
        std::vector<uint32_t> asked;
        for (int n = 0; n < r.takes; n++) {
            uint32_t a = 1 + rng() % r.address_span;
            if (r.zero_every > 0 && n % r.zero_every == 0) a = 0;
            if (a != 0 && aircraft_find(t.get(), a) >= 0) {
                // Heard again: its time moves, as the frame check does.
                t->entries[aircraft_find(t.get(), a)].last_seen = ts_make(1700000000U + n, 0);
                continue;
            }
            const int32_t e = aircraft_take(t.get(), a);
            ASSERT_EQ(t->entries[e].address, a) << n;
            t->entries[e].last_seen = ts_make(1700000000U + (rng() % (n + 1)), 0);
            asked.push_back(a);
            if (n % 50 != 0 && n + 1 != r.takes) continue;
            for (uint32_t q : asked) {
                if (q == 0) continue;
                ASSERT_EQ(aircraft_find(t.get(), q), scan_find(*t, q)) << n << " " << q;
            }
            const int32_t free_scan = scan_find(*t, 0);
            ASSERT_EQ(t->first_free, free_scan < 0 ? kAircraftEntries : free_scan) << n;
        }
    }
}

// The table outlives an attempt: a stream on standard input whose attempt
// ends at junk between two records goes on in the next attempt, where a
// squitter of an aircraft heard clean before, one bit wrong, is corrected
// by the default demodulator (which corrects only aircraft heard clean in
// the last minute) and sent; the classic one sends only the clean frames.
TEST(Aircraft, KeptAcrossTheAttemptsOfAStream) {
    constexpr uint64_t kT0 = 1700000000000000000ULL;
    constexpr uint32_t kFirst = 0x4B1000;
    const std::string data = capture_probe(true) + air_record(kT0, kFirst) + std::string(101, 0x55) +
                             air_record_flipped(kT0 + 2 * kAirRecordNs, kFirst + 1, 60);
    for (bool classic : {false, true}) {
        std::vector<std::string> args = {"-w", "0", "-r", "1", "-"};
        if (classic) args.insert(args.begin(), "-c");
        ProcessResult r = run_vorlix(args, data);
        SCOPED_TRACE(classic ? "classic" : "default");
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(count_of(r.err, "skipped 101 bytes to the next record header"), 1) << r.err;
        const size_t frames = kAirFramesPerBlock + (classic ? 0 : 1);
        EXPECT_EQ(r.out.size(), 34u * frames) << r.err;
        if (!classic) {
            EXPECT_EQ(count_of(r.err, "1-bit 1 "), 1) << r.err;
        }
    }
}

}  // namespace
