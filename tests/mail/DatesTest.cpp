//===-- tests/mail/DatesTest.cpp - Header dates and the Date header -------===//
//
// Header dates are read as the machine's local standard time, so the cases
// run under UTC and under central European rules (UTC+1, in summer UTC+2).
// The fuzz target holds the scan against sscanf itself.
//===----------------------------------------------------------------------===//
#include <gtest/gtest.h>

#include "logging/LogFixture.h"
#include "mail/Dates.h"
#include "support/ZoneScope.h"

namespace tmtest {
namespace {

const char kCentralEurope[] = "CET-1CEST,M3.5.0,M10.5.0/3";

using DatesTest = LogTest;

TEST_F(DatesTest, HeaderDatesUnderTwoZones) {
    // The value on a machine on UTC and on one on central European time
    // (standard time all year: the header's wall clock is read as such);
    // logged: warned of as an invalid format.
    const std::string x5000(5000, 'x'), nines(5000, '9');
    struct Case { std::string text; time_t onUtc, onCet; bool logged; };
    const Case kCases[] = {
        {"Tue, 14 Mar 2000 10:20:30 +0100", 953025630, 953022030, false},
        {"Tue, 14 Mar 2000 04:20:30 EST", 953025630, 953022030, false},
        {"Tue, 14-Mar-2000 09:20:30 gmt", 953025630, 953022030, false},
        {"Tue, 14 Mar 2000 09:20", 953025600, 953022000, false},
        {"  Tue,\t14 MARCH 2000   09:20:30\tMeSz", 953018430, 953014830, false},
        {"Tue, 14 Mar 2000 06:50:30 -0230", 953025630, 953022030, false},
        {"Tue, 14 Mar 2000 09:20:30 +05:30", 953025330, 953021730, false},
        {"Tue, 14 Mar 2000 09:20:30 XYZ", 953025630, 953022030, false},
        {"Tue, 14 Mar 2000 09:20:30 EAST", 953061630, 953058030, false},
        {"Tue, 14 Mar 2000 22:20:30 NZDT", 953025630, 953022030, false},
        {"Sun, 14 Mar 99 09:20:00 GMT", 921403200, 921399600, false},
        {"Tue, 14 Mar 100 09:20:00 GMT", 953025600, 953022000, false},
        {"Tue, 14 Mar 200 09:20:00 GMT", 0, 0, false}, {"Thu, 14 Mar 04 09:20:00 GMT", 0, 0, false},
        // Summer, and the hours the daylight clock skips and repeats.
        {"Wed, 14 Jun 2000 09:20:30 GMT", 960974430, 960970830, false},
        {"Sun, 26 Mar 2000 02:30:00 GMT", 954037800, 954034200, false},
        {"Sun, 29 Oct 2000 02:30:00 GMT", 972786600, 972783000, false},
        {"Tue, 31 Feb 2000 24:00:60 GMT", 952041660, 952038060, false},
        // The ends of the range, also where the zone crosses one.
        {"Thu, 1 Jan 1970 01:00:00 GMT", 3600, 0, false}, {"Thu, 1 Jan 1970 00:30:00 +0100", 0, 0, false},
        {"Tue, 19 Jan 2038 03:14:07 GMT", 2147483647, 2147480047, false},
        {"Tue, 19 Jan 2038 03:14:08 GMT", 0, 2147480048, false},
        {"Tue, 19 Jan 2038 04:14:08 +0100", 0, 0, false},
        {"Tue, 19 Jan 2038 02:14:08 -0100", 0, 2147480048, false},
        {"Tue, 14 Mar 2000 09:20:30 +99999999999", 0, 0, false},
        // Long fields stay in theirs; numbers past a long come out as -1,
        // as sscanf and atoi leave them.
        {"Tue, 14 Mar 2000 09:20:30 " + x5000, 953025630, 953022030, false},
        {"Tue, " + nines + " Mar 2000 09:20:30 GMT", 951729630, 951726030, false},
        {"Tue, 14 Mar 2000 09:20:30 +" + nines, 953025690, 953022090, false},
        {"Tue, 14 Mar 2000 09:20:30 GMT\r\nX-Other: value", 953025630, 953022030, false},
        {"Tue, 14 Mar " + nines + " 09:20:30 GMT", 0, 0, false},
        {"Tue, 14 " + x5000 + " 2000 09:20:30 GMT", 0, 0, true}, {x5000 + " 14 Mar 2000 09:20:30 GMT", 0, 0, true},
        {"14 Mar 2000 09:20:30 +0000", 0, 0, true}, {"Tue, 14 Mar 2000 09", 0, 0, true},
        {"Tue, 14 Foo 2000 09:20:30 GMT", 0, 0, true}, {"", 0, 0, true},
    };
    for (const char* zone : {"UTC0", kCentralEurope}) {
        ZoneScope scope(zone);
        for (const Case& c : kCases) {
            const std::string label = std::string(zone) + ": " + c.text.substr(0, 60);
            const size_t before = MainLines().size();
            EXPECT_EQ(tm_getdate(c.text.c_str()), zone == kCentralEurope ? c.onCet : c.onUtc) << label;
            // The text is logged as it stands, cut to what a line holds.
            const std::vector<std::string> lines = MainLines();
            ASSERT_EQ(lines.size(), before + c.logged) << label;
            if (c.logged) {
                EXPECT_EQ(lines.back().substr(lines.back().find(" W ") + 23),
                          "Invalid format date " + c.text.substr(0, 1003)) << label;
            }
        }
    }
    EXPECT_EQ(tm_getdate(nullptr), 0);
}

TEST(DateMonthTest, MonthNames) {
    const std::pair<const char*, int> kCases[] = {
        {"Jan", 0}, {"JAN", 0}, {"January", 0}, {"feb", 1}, {"Mar", 2},  {"apr", 3},  {"May", 4},
        {"jun", 5}, {"Jul", 6}, {"aug", 7},     {"Sept", 8}, {"sep", 8}, {"Oct", 9},  {"nov", 10},
        {"DEC", 11}, {"Se", -1}, {"Ja", -1},    {"", -1},   {"Mai", -1}, {"j\0n", -1}, {nullptr, -1},
    };
    for (const auto& [name, month] : kCases) EXPECT_EQ(getm(name), month) << (name ? name : "(null)");
}

class InternetTimeTest : public ::testing::Test {
    void SetUp() override { w32::Sys().clockGettime = FixedClocks; }
    void TearDown() override { w32::ResetSysCalls(); }
};

TEST_F(InternetTimeTest, TextOffsetAndBufferSizes) {
    const time_t kWinter = 1796376736, kSummer = 1783157536;  // 4 Dec and 4 Jul 2026 09:32:16 UTC
    struct Case { const char* zone; time_t now; const char* text; };
    const Case kCases[] = {
        {"UTC0", kWinter, "Fri, 4 Dec 2026 09:32:16 +0000"},
        {kCentralEurope, kWinter, "Fri, 4 Dec 2026 10:32:16 +0100"},
        {kCentralEurope, kSummer, "Sat, 4 Jul 2026 11:32:16 +0200"},
        {"EST5EDT,M3.2.0,M11.1.0", kWinter, "Fri, 4 Dec 2026 04:32:16 -0500"},
        {"EST5EDT,M3.2.0,M11.1.0", kSummer, "Sat, 4 Jul 2026 05:32:16 -0400"},
        {"IST-5:30", kWinter, "Fri, 4 Dec 2026 15:02:16 +0530"},
        {"NST3:30NDT,M3.2.0,M11.1.0", kSummer, "Sat, 4 Jul 2026 07:02:16 -0230"},
        {"Europe/Dublin", kSummer, "Sat, 4 Jul 2026 10:32:16 +0100"},
        {"Australia/Lord_Howe", kWinter, "Fri, 4 Dec 2026 20:32:16 +1100"},
        {"Australia/Lord_Howe", kSummer, "Sat, 4 Jul 2026 20:02:16 +1030"},
        // Daylight time in a month that neither January nor July has.
        {"Africa/Casablanca", 1772366400, "Sun, 1 Mar 2026 12:00:00 +0000"},
    };
    for (const Case& c : kCases) {
        if (strchr(c.zone, '/') && !ZoneFileExists(c.zone)) continue;
        ZoneScope scope(c.zone);
        g_wallNow = c.now;
        char buffer[64];
        EXPECT_STREQ(GetInternetTimeString(buffer, sizeof buffer), c.text) << c.zone;
    }
    // A buffer too small: "<error>", and the buffer left alone.
    ZoneScope scope("UTC0");
    g_wallNow = kWinter;
    const std::string text = "Fri, 4 Dec 2026 09:32:16 +0000";
    const int n = static_cast<int>(text.size()) - 6;  // what strftime writes
    for (int size : {n + 8, n + 7, n + 6, n, 0, -1}) {
        char buffer[64];
        memset(buffer, 0xBD, sizeof buffer);
        const bool fits = size >= n + 7;
        const char* result = GetInternetTimeString(buffer, size);
        if (fits) EXPECT_EQ(result, buffer) << size; else EXPECT_STREQ(result, "<error>") << size;
        EXPECT_EQ(std::string(buffer, fits ? text.size() + 2 : 1),
                  fits ? text + '\0' + '\xBD' : std::string(1, '\xBD')) << size;
    }
    EXPECT_STREQ(GetInternetTimeString(nullptr, 64), "<error>");
}

}  // namespace
}  // namespace tmtest
