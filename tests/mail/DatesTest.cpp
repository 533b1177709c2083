//===-- tests/mail/DatesTest.cpp - Header dates and the Date header -------===//
//
// Header dates are read as the machine's local standard time, so the cases
// run under UTC and under central European rules (standard time UTC+1,
// daylight time UTC+2). The scan and the local standard time are held
// against sscanf and mktime themselves, over many random inputs and zones.
//===----------------------------------------------------------------------===//
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "logging/LogFixture.h"
#include "mail/Dates.h"
#include "support/TestSupport.h"
#include "tmcommon.h"

namespace tmtest {
namespace {

const char kCentralEurope[] = "CET-1CEST,M3.5.0,M10.5.0/3";

// Sets TZ (nullptr: unset) for a scope and puts the old value back.
class ZoneScope {
public:
    explicit ZoneScope(const char* tz) {
        const char* old = getenv("TZ");
        hadTz_ = old != nullptr;
        if (old) oldTz_ = old;
        if (tz) {
            setenv("TZ", tz, 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }
    ~ZoneScope() {
        if (hadTz_) {
            setenv("TZ", oldTz_.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }

private:
    bool hadTz_ = false;
    std::string oldTz_;
};

bool ZoneFileExists(const char* name) {
    return FileExists(std::string("/usr/share/zoneinfo/") + name);
}

class DatesTest : public LogTest {
protected:
    // Lines of today's main log that report an invalid date.
    std::vector<std::string> InvalidDateLines() const {
        std::vector<std::string> found;
        for (const std::string& line : MainLines()) {
            if (line.find("Invalid format date") != std::string::npos) found.push_back(line);
        }
        return found;
    }
};

TEST_F(DatesTest, HeaderDatesUnderTwoZones) {
    // onUtc: the value on a machine whose standard time is UTC; onCet: on
    // one at UTC+1 in winter and UTC+2 in summer (the header's wall clock
    // is read as standard time all year). logged: an invalid format.
    struct Case { const char* text; time_t onUtc; time_t onCet; bool logged; };
    const Case kCases[] = {
        {"Tue, 14 Mar 2000 10:20:30 +0100", 953025630, 953022030, false},
        {"Tue, 14 Mar 2000 09:20:30 +0000", 953025630, 953022030, false},
        {"Tue, 14 Mar 2000 04:20:30 EST", 953025630, 953022030, false},
        {"Tue, 14-Mar-2000 09:20:30 gmt", 953025630, 953022030, false},
        {"Tue, 14 Mar 2000 09:20", 953025600, 953022000, false},
        {"Tue, 14 Mar 2000 09:20:00", 953025600, 953022000, false},
        {"  Tue,\t14 MARCH 2000   09:20:30\tMeSz", 953018430, 953014830, false},
        {"Tue, 14 Mar 2000 14:50:30 +0530", 953025630, 953022030, false},
        {"Tue, 14 Mar 2000 06:50:30 -0230", 953025630, 953022030, false},
        {"Tue, 14 Mar 2000 09:20:30 +5", 953025330, 953021730, false},
        {"Tue, 14 Mar 2000 09:20:30 +05:30", 953025330, 953021730, false},
        {"Tue, 14 Mar 2000 09:20:30 XYZ", 953025630, 953022030, false},
        {"Tue, 14 Mar 2000 09:20:30 +", 953025630, 953022030, false},
        {"Tue, 14 Mar 2000 09:20:30 EAST", 953061630, 953058030, false},
        {"Tue, 14 Mar 2000 22:20:30 NZDT", 953025630, 953022030, false},
        {"Sun, 14 Mar 99 09:20:00 GMT", 921403200, 921399600, false},
        {"Sun, 14 Mar 1999 09:20:00 GMT", 921403200, 921399600, false},
        {"Tue, 14 Mar 100 09:20:00 GMT", 953025600, 953022000, false},
        {"Tue, 14 Mar 200 09:20:00 GMT", 0, 0, false},
        {"Tue, 14 Mar 201 09:20:00 GMT", 0, 0, false},
        // Summer, and the hours that the daylight clock skips and repeats:
        // standard time regardless.
        {"Wed, 14 Jun 2000 09:20:30 GMT", 960974430, 960970830, false},
        {"Sun, 26 Mar 2000 02:30:00 GMT", 954037800, 954034200, false},
        {"Sun, 29 Oct 2000 02:30:00 GMT", 972786600, 972783000, false},
        // Fields past their ranges count on, as mktime does.
        {"Tue, 31 Feb 2000 24:00:60 GMT", 952041660, 952038060, false},
        // The ends of the range.
        {"Thu, 1 Jan 1970 00:00:00 GMT", 0, 0, false},
        {"Thu, 1 Jan 1970 01:00:00 GMT", 3600, 0, false},
        {"Fri, 2 Jan 1970 00:00:00 GMT", 86400, 82800, false},
        {"Thu, 1 Jan 1970 00:30:00 +0100", 0, 0, false},
        {"Tue, 19 Jan 2038 03:14:07 GMT", 2147483647, 2147480047, false},
        {"Tue, 19 Jan 2038 03:14:08 GMT", 0, 2147480048, false},
        {"Tue, 19 Jan 2038 04:14:08 +0100", 0, 0, false},
        {"Tue, 19 Jan 2038 02:14:08 -0100", 0, 2147480048, false},
        {"Mon, 1 Jan 1900 00:00:00 GMT", 0, 0, false},
        {"Thu, 14 Mar 04 09:20:00 GMT", 0, 0, false},
        {"Tue, 14 Mar 2000 09:20:30 +99999999999", 0, 0, false},
        // Not dates.
        {"14 Mar 2000 09:20:30 +0000", 0, 0, true},
        {"Tue, 14 Mar 2000 09", 0, 0, true},
        {"Tue, 14 Mar 2000", 0, 0, true},
        {"Tue, 14 Foo 2000 09:20:30 GMT", 0, 0, true},
        {"Tue, 14 Ma 2000 09:20:30 GMT", 0, 0, true},
        {"", 0, 0, true},
    };
    for (const char* zone : {"UTC0", kCentralEurope}) {
        ZoneScope scope(zone);
        const bool cet = zone == kCentralEurope;
        for (const Case& c : kCases) {
            size_t before = InvalidDateLines().size();
            EXPECT_EQ(tm_getdate(c.text), cet ? c.onCet : c.onUtc) << zone << ": " << c.text;
            std::vector<std::string> lines = InvalidDateLines();
            EXPECT_EQ(lines.size(), before + (c.logged ? 1 : 0)) << zone << ": " << c.text;
            if (c.logged && lines.size() > before) {
                const std::string& line = lines.back();
                EXPECT_NE(line.find(" W "), std::string::npos) << line;
                EXPECT_EQ(line.substr(line.size() - strlen(c.text)), c.text) << line;
            }
        }
    }
    EXPECT_EQ(tm_getdate(nullptr), 0);
}

TEST_F(DatesTest, LongAndHostileTextsStayInTheirFields) {
    ZoneScope scope("UTC0");
    const std::string longWord(5000, 'x');
    const std::string longDigits(5000, '9');
    struct Case { std::string text; time_t value; };
    const Case kCases[] = {
        {longWord, 0},
        {"Tue, 14 " + longWord + " 2000 09:20:30 GMT", 0},
        {longWord + " 14 Mar 2000 09:20:30 GMT", 0},
        {"Tue, 14 Mar 2000 09:20:30 " + longWord, 953025630},
        {"Tue, 14 Mar " + longDigits + " 09:20:30 GMT", 0},
        // Numbers past a long are held at its limit and cut to an int, as
        // sscanf and atoi leave them: -1 here.
        {"Tue, " + longDigits + " Mar 2000 09:20:30 GMT", 951729630},
        {"Tue, 14 Mar 2000 09:20:30 +" + longDigits, 953025690},
        {"Tue, 14 Mar 2000 09:20:30 -" + longDigits, 953025570},
        {std::string("Tue, 14 Mar 2000 09:20:30 GMT\r\nX-Other: value"), 953025630},
        {std::string("Tue, 14 Mar 2000 09:20:30 \xff\xfe"), 953025630},
    };
    for (const Case& c : kCases) {
        EXPECT_EQ(tm_getdate(c.text.c_str()), c.value) << c.text.substr(0, 60);
    }
    // The log line of a long text is cut, not overrun.
    for (const std::string& line : InvalidDateLines()) EXPECT_LT(line.size(), 1100u);
}

TEST(DateMonthTest, MonthNames) {
    struct Case { const char* name; int month; };
    const Case kCases[] = {
        {"Jan", 0}, {"JAN", 0}, {"January", 0}, {"feb", 1}, {"Mar", 2},  {"apr", 3},
        {"May", 4}, {"jun", 5}, {"Jul", 6},     {"aug", 7}, {"Sept", 8}, {"sep", 8},
        {"Oct", 9}, {"nov", 10}, {"DEC", 11},   {"Se", -1}, {"Ja", -1},  {"", -1},
        {"Mai", -1}, {"xyz", -1}, {"j\0n", -1},
    };
    for (const Case& c : kCases) EXPECT_EQ(getm(c.name), c.month) << c.name;
    EXPECT_EQ(getm(nullptr), -1);
}

TEST(DateScanTest, ScanMatchesTheCLibrary) {
    const char* kFormat = "%30s %d%c%30[^- ]%c%d %d:%d:%d %30s";
    const char kAlphabet[] = "0123456789 -:+abcMarJunGMT,\t\x80";
    std::mt19937 random(20260104);
    auto piece = [&](std::string& text) {
        switch (random() % 8) {
            case 0: text += std::string(random() % 40, 'a' + random() % 26); break;
            case 1: text += std::to_string(random()) + std::to_string(random()); break;
            case 2: text += "Tue, 14 Mar 2000 09:20:30 +0100"; break;
            case 3: text += "99999999999999999999"; break;
            case 4: text += "-9223372036854775808"; break;
            default: text += kAlphabet[random() % (sizeof kAlphabet - 1)];
        }
    };
    for (int i = 0; i < 200000; ++i) {
        std::string text;
        int pieces = 1 + random() % 12;
        for (int p = 0; p < pieces; ++p) piece(text);
        // Half the texts are a real date with one piece changed.
        if (i % 2) {
            text = "Tue, 14-Mar-2000 09:20:30 GMT";
            text[random() % text.size()] = kAlphabet[random() % (sizeof kAlphabet - 1)];
            if (random() % 2) text.insert(random() % text.size(), std::to_string(random()));
        }
        tmc::HeaderDateFields mine, theirs;
        memset(&mine, 0xBD, sizeof mine);
        memset(&theirs, 0xBD, sizeof theirs);
        int expected = sscanf(text.c_str(), kFormat, theirs.szWeekday, &theirs.nDay,
                              &theirs.chSeparator1, theirs.szMonth, &theirs.chSeparator2,
                              &theirs.nYear, &theirs.nHour, &theirs.nMinute, &theirs.nSecond,
                              theirs.szZone);
        int count = tmc::ScanHeaderDate(text.c_str(), &mine);
        ASSERT_EQ(count, expected) << "'" << text << "'";
        ASSERT_EQ(memcmp(&mine, &theirs, sizeof mine), 0) << "'" << text << "'";
    }
}

// Time zones with the histories that matter to mktime: none, plain
// daylight rules, negative daylight time (Dublin), half-hour daylight time
// (Lord Howe), changes of the standard offset (Moscow 2011 and 2014,
// Kolkata in the 1940s), a skipped day (Apia 2011), daylight time during a
// month only (Casablanca), and leap seconds.
std::vector<const char*> TestZones() {
    std::vector<const char*> zones = {nullptr, "UTC0", kCentralEurope, "EST5EDT,M3.2.0,M11.1.0",
                                      "IST-5:30", "NST3:30NDT,M3.2.0,M11.1.0"};
    for (const char* name : {"Europe/Berlin", "America/New_York", "Asia/Kolkata", "Europe/Dublin",
                             "Australia/Lord_Howe", "Europe/Moscow", "Pacific/Apia",
                             "Africa/Casablanca", "America/Sao_Paulo", "Asia/Tehran",
                             "right/UTC"}) {
        if (ZoneFileExists(name)) zones.push_back(name);
    }
    return zones;
}

TEST(LocalStandardTimeTest, EqualsMktimeInManyZones) {
    std::mt19937 random(77);
    auto pick = [&](int low, int high) {
        return low + static_cast<int>(random() % static_cast<unsigned>(high - low + 1));
    };
    for (const char* zone : TestZones()) {
        ZoneScope scope(zone);
        int mismatches = 0;
        for (int i = 0; i < 40000 && mismatches < 5; ++i) {
            int year = pick(66, 140), month = pick(0, 11), day = pick(0, 32);
            int hour = pick(-1, 24), minute = pick(-1, 60), second = pick(0, 59);
            switch (i % 16) {
                case 0: second = pick(-100, 200); break;
                case 1: second = i % 32 ? INT_MAX - pick(0, 5) : INT_MIN + pick(0, 5); break;
                case 2: hour = pick(-100000, 100000); break;
                case 3: day = pick(-5000, 5000); break;
                case 4: month = pick(-40, 40); break;
                case 5: year = pick(-2000, 2000); break;
                case 6: hour = pick(0, 3); minute = pick(0, 59); break;  // near changes of clocks
            }
            struct tm fields = {};
            fields.tm_year = year;
            fields.tm_mon = month;
            fields.tm_mday = day;
            fields.tm_hour = hour;
            fields.tm_min = minute;
            fields.tm_sec = second;
            fields.tm_isdst = 0;
            int64_t mine = tmc::LocalStandardTime(year, month, day, hour, minute, second);
            int64_t expected = mktime(&fields);
            if (mine != expected) {
                ++mismatches;
                ADD_FAILURE() << (zone ? zone : "(TZ unset)") << ": " << year << "-" << month << "-"
                              << day << " " << hour << ":" << minute << ":" << second << " gives "
                              << mine << ", mktime " << expected;
            }
        }
    }
}

TEST(LocalStandardTimeTest, FollowsChangesOfTz) {
    // 2000-03-14 09:20:30 read as standard time in three zones in turn,
    // twice, so that a cache kept for one zone is never used for another.
    struct Case { const char* zone; int64_t value; };
    const Case kCases[] = {
        {"UTC0", 953025630}, {kCentralEurope, 953022030}, {"IST-5:30", 953005830},
        {"UTC0", 953025630}, {kCentralEurope, 953022030}, {"IST-5:30", 953005830},
    };
    for (const Case& c : kCases) {
        ZoneScope scope(c.zone);
        EXPECT_EQ(tmc::LocalStandardTime(100, 2, 14, 9, 20, 30), c.value) << c.zone;
    }
}

TEST(DateZoneTest, ZoneOffsets) {
    struct Case { const char* zone; int64_t offset; };
    const Case kCases[] = {
        {"", 0},         {"+0100", 3600},   {"-0500", -18000}, {"+0530", 19800}, {"+5", 300},
        {"-0000", 0},    {"+1", 60},        {"+0199", 3600 + 99 * 60},         {"+01x", 60},
        {"+x100", 0},    {"GMT", 0},        {"pst", -28800},  {"EAST", -36000}, {"NZDT", 46800},
        {"IDWL", -43200}, {"mesz", 7200},   {"ZP6", 21600},   {"XYZ", 0},       {"ESTX", 0},
    };
    for (const Case& c : kCases) EXPECT_EQ(tmc::HeaderZoneOffset(c.zone), c.offset) << c.zone;
}

//===-- The Date header's text --------------------------------------------===//

time_t g_now = 0;
int FixedClock(clockid_t clock, struct timespec* ts) {
    if (clock != CLOCK_REALTIME) return clock_gettime(clock, ts);
    ts->tv_sec = g_now;
    ts->tv_nsec = 0;
    return 0;
}

class InternetTimeTest : public ::testing::Test {
protected:
    void SetUp() override { w32::Sys().clockGettime = FixedClock; }
    void TearDown() override { w32::ResetSysCalls(); }
};

TEST_F(InternetTimeTest, TextAndOffsetInZones) {
    const time_t kWinter = 1796376736;  // 2026-12-04 09:32:16 UTC
    const time_t kSummer = 1783157536;  // 2026-07-04 09:32:16 UTC
    const time_t kMarch = 1772366400;   // 2026-03-01 12:00:00 UTC
    struct Case { const char* zone; time_t now; const char* text; };
    const Case kCases[] = {
        {"UTC0", kWinter, "Fri, 4 Dec 2026 09:32:16 +0000"},
        {kCentralEurope, kWinter, "Fri, 4 Dec 2026 10:32:16 +0100"},
        {kCentralEurope, kSummer, "Sat, 4 Jul 2026 11:32:16 +0200"},
        {"EST5EDT,M3.2.0,M11.1.0", kWinter, "Fri, 4 Dec 2026 04:32:16 -0500"},
        {"EST5EDT,M3.2.0,M11.1.0", kSummer, "Sat, 4 Jul 2026 05:32:16 -0400"},
        {"IST-5:30", kWinter, "Fri, 4 Dec 2026 15:02:16 +0530"},
        {"NST3:30NDT,M3.2.0,M11.1.0", kWinter, "Fri, 4 Dec 2026 06:02:16 -0330"},
        {"NST3:30NDT,M3.2.0,M11.1.0", kSummer, "Sat, 4 Jul 2026 07:02:16 -0230"},
        {"Europe/Berlin", kWinter, "Fri, 4 Dec 2026 10:32:16 +0100"},
        {"Europe/Berlin", kSummer, "Sat, 4 Jul 2026 11:32:16 +0200"},
        {"America/New_York", kWinter, "Fri, 4 Dec 2026 04:32:16 -0500"},
        {"America/New_York", kSummer, "Sat, 4 Jul 2026 05:32:16 -0400"},
        {"Asia/Kolkata", kSummer, "Sat, 4 Jul 2026 15:02:16 +0530"},
        {"Europe/Dublin", kWinter, "Fri, 4 Dec 2026 09:32:16 +0000"},
        {"Europe/Dublin", kSummer, "Sat, 4 Jul 2026 10:32:16 +0100"},
        {"Australia/Lord_Howe", kWinter, "Fri, 4 Dec 2026 20:32:16 +1100"},
        {"Australia/Lord_Howe", kSummer, "Sat, 4 Jul 2026 20:02:16 +1030"},
        // Daylight time in a month that neither January nor July has.
        {"Africa/Casablanca", kMarch, "Sun, 1 Mar 2026 12:00:00 +0000"},
        {"Africa/Casablanca", kSummer, "Sat, 4 Jul 2026 10:32:16 +0100"},
    };
    for (const Case& c : kCases) {
        if (strchr(c.zone, '/') && !ZoneFileExists(c.zone)) continue;
        ZoneScope scope(c.zone);
        g_now = c.now;
        char buffer[64];
        memset(buffer, 0xBD, sizeof buffer);
        EXPECT_STREQ(GetInternetTimeString(buffer, sizeof buffer), c.text) << c.zone;
    }
}

TEST_F(InternetTimeTest, BufferSizes) {
    ZoneScope scope("UTC0");
    g_now = 1796376736;
    const std::string text = "Fri, 4 Dec 2026 09:32:16 +0000";
    const int n = static_cast<int>(text.size()) - 6;  // the date without the offset
    struct Case { int size; bool fits; };
    const Case kCases[] = {{n + 7, true}, {n + 8, true}, {n + 6, false}, {n, false}, {1, false},
                           {0, false},    {-1, false}};
    for (const Case& c : kCases) {
        char buffer[64];
        memset(buffer, 0xBD, sizeof buffer);
        const char* result = GetInternetTimeString(buffer, c.size);
        if (c.fits) {
            EXPECT_EQ(result, buffer) << c.size;
            EXPECT_EQ(std::string(buffer), text) << c.size;
        } else {
            EXPECT_STREQ(result, "<error>") << c.size;
            EXPECT_EQ(static_cast<unsigned char>(buffer[0]), 0xBD) << c.size;
        }
        EXPECT_EQ(static_cast<unsigned char>(buffer[c.fits ? c.size : 0]), 0xBD) << c.size;
    }
    EXPECT_STREQ(GetInternetTimeString(nullptr, 64), "<error>");
}

}  // namespace
}  // namespace tmtest
