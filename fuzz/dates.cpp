//===-- fuzz/dates.cpp - Header dates against the C library ---------------===//
//
// Input: a byte that picks the machine's time zone (TZ), then the text of
// a Date header. The library's scan must give the fields and the count
// that sscanf gives; getm the month of a plain table walk; and tm_getdate
// the value that the C library's mktime gives for the scanned fields read
// as local standard time, moved by the header's zone, or 0 where the text
// does not reach the minutes, names no month, or the time leaves the
// range of a 32-bit time value.
//
//   build/fuzz/fuzz/fuzz_dates -dict=fuzz/dict/dates.dict fuzz/corpus/dates
//===----------------------------------------------------------------------===//
#include <strings.h>

#include <cctype>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "fuzz/support/FuzzSupport.h"
#include "mail/Dates.h"
#include "tmcommon.h"

namespace {

// Zones whose rules matter to mktime: none set (the machine's), fixed and
// half-hour offsets, daylight time, negative daylight time, a changed
// standard offset, a skipped day.
const char* const kZones[] = {
    nullptr, "UTC0", "CET-1CEST,M3.5.0,M10.5.0/3", "EST5EDT,M3.2.0,M11.1.0", "IST-5:30",
    "Europe/Dublin", "Australia/Lord_Howe", "Pacific/Apia",
};

void UseZone(const char* zone) {
    static const char* current = "";
    if (zone == current) return;
    current = zone;
    if (zone) setenv("TZ", zone, 1); else unsetenv("TZ");
    tzset();
}

int PlainMonth(const char* name) {
    static const char kMonths[12][4] = {"jan", "feb", "mar", "apr", "may", "jun",
                                        "jul", "aug", "sep", "oct", "nov", "dec"};
    for (int i = 0; i < 12; ++i) {
        if (strncasecmp(kMonths[i], name, 3) == 0) return i;
    }
    return -1;
}

// The zone's offset east of UTC: numeric zones read with atoi, names
// through the library's table.
int64_t ZoneOffset(const char* zone) {
    if ((zone[0] == '+' || zone[0] == '-') && isdigit(static_cast<unsigned char>(zone[1]))) {
        const int n = atoi(zone + 1);
        const int64_t offset = int64_t(n / 100) * 3600 + int64_t(n % 100) * 60;
        return zone[0] == '+' ? offset : -offset;
    }
    return tmc::HeaderZoneOffset(zone);
}

bool InRange(int64_t t) { return t >= 0 && t <= INT32_MAX; }

time_t PlainGetDate(int count, const tmc::HeaderDateFields& f) {
    if (count < 8) return 0;
    const int month = PlainMonth(f.szMonth);
    if (month < 0) return 0;
    struct tm t = {};
    t.tm_year = f.nYear > 200 ? f.nYear - 1900 : f.nYear;
    t.tm_mon = month;
    t.tm_mday = f.nDay;
    t.tm_hour = f.nHour;
    t.tm_min = f.nMinute;
    t.tm_sec = count >= 9 ? f.nSecond : 0;
    t.tm_isdst = 0;
    const int64_t local = mktime(&t);
    if (!InRange(local)) return 0;
    const int64_t value = local - ZoneOffset(count >= 10 ? f.szZone : "");
    return InRange(value) ? static_cast<time_t>(value) : 0;
}

}  // namespace

void tmfuzz::FuzzOne(const uint8_t* data, size_t size) {
    if (size == 0) return;
    UseZone(kZones[data[0] % (sizeof kZones / sizeof kZones[0])]);
    const Text text(data + 1, strnlen(reinterpret_cast<const char*>(data + 1), size - 1));

    tmc::HeaderDateFields mine, theirs;
    memset(&mine, 0xBD, sizeof mine);
    memset(&theirs, 0xBD, sizeof theirs);
    const int expected = sscanf(text.get(), "%30s %d%c%30[^- ]%c%d %d:%d:%d %30s", theirs.szWeekday,
                                &theirs.nDay, &theirs.chSeparator1, theirs.szMonth, &theirs.chSeparator2,
                                &theirs.nYear, &theirs.nHour, &theirs.nMinute, &theirs.nSecond, theirs.szZone);
    const int count = tmc::ScanHeaderDate(text.get(), &mine);
    Check(count == expected, "the scan's count differs from sscanf's");
    Check(memcmp(&mine, &theirs, sizeof mine) == 0, "the scanned fields differ from sscanf's");

    if (count >= 4) Check(getm(theirs.szMonth) == PlainMonth(theirs.szMonth), "getm differs from the table walk");
    Check(getm(text.get()) == PlainMonth(text.get()), "getm differs from the table walk");

    Check(tm_getdate(text.get()) == PlainGetDate(count, theirs), "tm_getdate differs from mktime");
}
