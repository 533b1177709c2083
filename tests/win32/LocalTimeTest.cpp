//===-- tests/win32/LocalTimeTest.cpp - Local standard time, as mktime ---===//
//
// LocalStandardTime must give exactly what mktime gives, in every zone and
// for fields far outside their ranges; it is held against mktime itself.
//===----------------------------------------------------------------------===//
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <random>
#include <thread>
#include <vector>

#include "Layer.h"
#include "support/ZoneScope.h"

namespace tmtest {
namespace {

int64_t Mktime(int year, int month, int day, int hour, int minute, int second) {
    struct tm fields = {};
    fields.tm_year = year, fields.tm_mon = month, fields.tm_mday = day;
    fields.tm_hour = hour, fields.tm_min = minute, fields.tm_sec = second;
    return mktime(&fields);
}

// Zones whose histories matter to mktime: negative daylight time (Dublin),
// half-hour daylight time and a changed standard offset (Lord Howe),
// standard offsets changed and changed back (Moscow 2011, 2014), a skipped
// day (Apia 2011), daylight time in one month (Casablanca), leap seconds.
// Every zone comes twice in turn: offsets kept for one are never used for
// another.
TEST(LocalStandardTimeTest, EqualsMktimeInManyZones) {
    std::vector<const char*> zones = {nullptr, "UTC0", "CET-1CEST,M3.5.0,M10.5.0/3", "EST5EDT,M3.2.0,M11.1.0",
                                      "NST3:30NDT,M3.2.0,M11.1.0"};
    for (const char* name : {"Asia/Kolkata", "Europe/Dublin", "Australia/Lord_Howe", "Europe/Moscow", "Pacific/Apia",
                             "Africa/Casablanca", "America/Sao_Paulo", "right/UTC"}) {
        if (ZoneFileExists(name)) zones.push_back(name);
    }
    std::mt19937 random(77);
    auto pick = [&](int low, int high) { return low + int(random() % unsigned(high - low + 1)); };
    for (int round = 0; round < 2; ++round) {
        for (const char* zone : zones) {
            ZoneScope scope(zone);
            int mismatches = 0;
            for (int i = 0; i < 20000 && mismatches < 5; ++i) {
                int f[6] = {pick(66, 140), pick(0, 11), pick(0, 32), pick(-1, 24), pick(-1, 60), pick(0, 59)};
                switch (i % 16) {  // one field far out
                    case 0: f[5] = pick(-100, 200); break;
                    case 1: f[5] = i % 32 ? INT_MAX - pick(0, 5) : INT_MIN + pick(0, 5); break;
                    case 2: f[3] = pick(-100000, 100000); break;
                    case 3: f[2] = pick(-5000, 5000); break;
                    case 4: f[1] = pick(-40, 40); break;
                    case 5: f[0] = pick(-2000, 2000); break;
                }
                const int64_t mine = w32::LocalStandardTime(f[0], f[1], f[2], f[3], f[4], f[5]);
                const int64_t expected = Mktime(f[0], f[1], f[2], f[3], f[4], f[5]);
                if (mine != expected && ++mismatches) {
                    ADD_FAILURE() << (zone ? zone : "(TZ unset)") << ": " << f[0] << "-" << f[1] << "-" << f[2] << " "
                                  << f[3] << ":" << f[4] << ":" << f[5] << " gives " << mine << ", mktime " << expected;
                }
            }
        }
    }
}

TEST(LocalStandardTimeTest, ThreadsShareTheOffsetsTheyFind) {
    // A zone no other test uses, so that the threads find its offsets at once.
    ZoneScope scope("XST-1XDT,M3.5.0,M10.5.0/3");
    std::vector<int64_t> expected;
    for (int year = 66; year < 140; ++year) expected.push_back(Mktime(year, year % 12, 10, 0, 0, 0));
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (size_t i = 0; i < expected.size(); ++i) {
                const int year = 66 + int((i + t * 17) % expected.size());
                wrong += w32::LocalStandardTime(year, year % 12, 10, 0, 0, 0) != expected[year - 66];
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(wrong, 0);
}

}  // namespace
}  // namespace tmtest
