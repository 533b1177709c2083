//===-- mail/Dates.cpp - Mail header dates and the Date header's text -----===//
//
// tm_getdate turns the value of a Date header ("Tue, 14 Mar 2000 10:20:30
// +0100", "Tue, 14-Mar-2000 10:20:30 GMT") into a time value: the
// wall-clock fields are read as the machine's local standard time and then
// moved by the header's own zone, so the value is the true instant only on
// a machine whose standard time is UTC. getm finds a month by its first
// three letters. GetInternetTimeString formats the current local time with
// its offset from UTC for a Date header.
//
// The wall clock is read as local standard time through the layer's
// LocalStandardTime, which gives what mktime would at a fraction of its
// cost.
//
// Diagnostics: a text that does not reach the minutes, or whose month is
// not a month name, is logged as the warning "Invalid format date %s".
// Limits: each text field of the scan takes at most 30 characters. Times
// keep the range 1970-01-01 00:00:00 .. 2038-01-19 03:14:07 UTC; a date
// that mktime cannot place inside it, or that the header's zone moves out
// of it, gives 0.
//===----------------------------------------------------------------------===//
#include "mail/Dates.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "Layer.h"
#include "logging/Trap.h"
#include "tmlogging.h"
#include "tmmail.h"

namespace {

const char kSourceFile[] = "Utilities";

// 2038-01-19 03:14:07 UTC, the last second a 32-bit time value holds.
constexpr int64_t kLatestTime = INT32_MAX;

bool InTimeRange(int64_t t) { return t >= 0 && t <= kLatestTime; }

//===-- The scan of a header date ----------------------------------------===//

// White space as isspace() has it in the "C" locale.
inline bool IsScanSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
inline bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// A decimal number with an optional sign, read as strtol reads it (held at
// the limits of a 64-bit long) and stored into an int as sscanf's %d and
// atoi store it: its low 32 bits. p ends after the digits.
int ReadDecimal(const char*& p) {
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    uint64_t magnitude = 0;
    for (; IsDigit(*p); ++p) {
        unsigned digit = static_cast<unsigned>(*p - '0');
        magnitude = magnitude > (UINT64_MAX - digit) / 10 ? UINT64_MAX : magnitude * 10 + digit;
    }
    int64_t value;
    if (!negative) {
        value = magnitude > static_cast<uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(magnitude);
    } else {
        value = magnitude >= (uint64_t(1) << 63) ? INT64_MIN : -static_cast<int64_t>(magnitude);
    }
    return static_cast<int>(value);
}

// "%d": white space, a sign, at least one digit. False where the scan ends.
bool ScanNumber(const char*& p, int* value) {
    while (IsScanSpace(*p)) ++p;
    const char* digits = (*p == '+' || *p == '-') ? p + 1 : p;
    if (!IsDigit(*digits)) return false;
    *value = ReadDecimal(p);
    return true;
}

// "%30s": white space, then 1 to 30 characters up to the next white space.
bool ScanWord(const char*& p, char* out) {
    while (IsScanSpace(*p)) ++p;
    if (!*p) return false;
    int n = 0;
    while (n < 30 && *p && !IsScanSpace(*p)) out[n++] = *p++;
    out[n] = '\0';
    return true;
}

// "%30[^- ]": 1 to 30 characters up to a '-' or a space, no white space
// skipped first.
bool ScanMonth(const char*& p, char* out) {
    int n = 0;
    while (n < 30 && *p && *p != '-' && *p != ' ') out[n++] = *p++;
    if (n == 0) return false;
    out[n] = '\0';
    return true;
}

//===-- Zones of the header ----------------------------------------------===//

struct NamedZone {
    const char* pszName;
    int nHours;  // east of UTC
};

// Daylight-saving names carry their daylight offset; "EAST" stands at -10.
const NamedZone kZones[50] = {
    {"GMT", 0},   {"UC", 0},    {"UTC", 0},   {"WET", 0},   {"WAT", -1},
    {"AT", -2},   {"AST", -4},  {"EST", -5},  {"CST", -6},  {"MST", -7},
    {"PST", -8},  {"YST", -9},  {"AHST", -10}, {"CAT", -10}, {"HST", -10},
    {"EAST", -10}, {"NT", -11}, {"IDWL", -12}, {"CET", 1},  {"FWT", 1},
    {"MET", 1},   {"MEWT", 1},  {"SWT", 1},   {"EET", 2},   {"BT", 3},
    {"ZP4", 4},   {"ZP5", 5},   {"ZP6", 6},   {"WAST", 7},  {"CCT", 8},
    {"JST", 9},   {"GST", 10},  {"IDLE", 12}, {"NZST", 12}, {"NZT", 12},
    {"BST", 1},   {"ADT", -3},  {"EDT", -4},  {"CDT", -5},  {"MDT", -6},
    {"PDT", -7},  {"YDT", -8},  {"HDT", -9},  {"MEST", 2},  {"MESZ", 2},
    {"SST", 2},   {"FST", 2},   {"WADT", 8},  {"EADT", 11}, {"NZDT", 13},
};

const char kWeekdayNames[7][4] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char kMonthNames[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

}  // namespace

namespace tmc {

int ScanHeaderDate(const char* p, HeaderDateFields* f) {
    if (!ScanWord(p, f->szWeekday)) return -1;
    int count = 1;
    if (!ScanNumber(p, &f->nDay)) return count;
    ++count;
    if (!*p) return count;
    f->chSeparator1 = *p++;
    ++count;
    if (!ScanMonth(p, f->szMonth)) return count;
    ++count;
    if (!*p) return count;
    f->chSeparator2 = *p++;
    ++count;
    if (!ScanNumber(p, &f->nYear)) return count;
    ++count;
    if (!ScanNumber(p, &f->nHour)) return count;
    ++count;
    if (*p != ':') return count;
    ++p;
    if (!ScanNumber(p, &f->nMinute)) return count;
    ++count;
    if (*p != ':') return count;
    ++p;
    if (!ScanNumber(p, &f->nSecond)) return count;
    ++count;
    if (!ScanWord(p, f->szZone)) return count;
    return count + 1;
}

int64_t HeaderZoneOffset(const char* pszZone) {
    if ((pszZone[0] == '+' || pszZone[0] == '-') && IsDigit(pszZone[1])) {
        const char* digits = pszZone + 1;
        int n = ReadDecimal(digits);
        int64_t offset = int64_t(n / 100) * 3600 + int64_t(n % 100) * 60;
        return pszZone[0] == '+' ? offset : -offset;
    }
    for (const NamedZone& zone : kZones) {
        if (_stricmp(zone.pszName, pszZone) == 0) return int64_t(zone.nHours) * 3600;
    }
    return 0;
}

}  // namespace tmc

int getm(const char* pszMonth) {
    static const char kMonths[13][4] = {"jan", "feb", "mar", "apr", "may", "jun", "jul",
                                        "aug", "sep", "oct", "nov", "dec", ""};
    if (!pszMonth) return -1;
    for (int i = 0; kMonths[i][0]; ++i) {
        if (_strnicmp(kMonths[i], pszMonth, 3) == 0) return i;
    }
    return -1;
}

time_t tm_getdate(const char* pszDate) {
    if (!pszDate) return 0;
    return tmc::Guarded(kSourceFile, __LINE__, static_cast<time_t>(0), [&]() -> time_t {
        tmc::HeaderDateFields f;
        f.nSecond = 0;
        f.szZone[0] = '\0';
        int count = tmc::ScanHeaderDate(pszDate, &f);
        // A month name that is none of the twelve would reach mktime as
        // month -1, December of the year before: refused like a text that
        // stops short.
        int month = count >= 8 ? getm(f.szMonth) : -1;
        if (month < 0) {
            CEventLog log(0);
            log.LogEvent(TM_EVENT_WARNING, "Invalid format date %s", pszDate);
            return 0;
        }
        int year = f.nYear > 200 ? f.nYear - 1900 : f.nYear;
        int64_t t = w32::LocalStandardTime(year, month, f.nDay, f.nHour, f.nMinute, f.nSecond);
        if (!InTimeRange(t)) return 0;
        // A zone east of UTC moves the time back. A zone that carries the
        // time out of the range would wrap a 32-bit value: 0 instead.
        t -= tmc::HeaderZoneOffset(f.szZone);
        if (!InTimeRange(t)) return 0;
        return static_cast<time_t>(t);
    });
}

const char* GetInternetTimeString(char* pszBuffer, int nSize) {
    static const char kError[] = "<error>";
    TIME_ZONE_INFORMATION tzi;
    GetTimeZoneInformation(&tzi);
    struct tm local;
    if (!pszBuffer || !CTime::GetCurrentTime().GetLocalTm(&local)) return kError;
    char text[96];
    int n = snprintf(text, sizeof text, "%s, %d %s %d %02d:%02d:%02d", kWeekdayNames[local.tm_wday],
                     local.tm_mday, kMonthNames[local.tm_mon], local.tm_year + 1900, local.tm_hour,
                     local.tm_min, local.tm_sec);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof text) return kError;
    // The bias counts the minutes that UTC is ahead of local time.
    long offset = tzi.Bias + (local.tm_isdst != 0 ? tzi.DaylightBias : 0);
    char sign = '+';
    if (offset > 0) {
        sign = '-';
    } else {
        offset = -offset;
    }
    int total = n + snprintf(text + n, sizeof text - n, " %c%02ld%02ld", sign, offset / 60, offset % 60);
    if (static_cast<int64_t>(n) + 6 >= nSize || total >= nSize) return kError;
    memcpy(pszBuffer, text, static_cast<size_t>(total) + 1);
    return pszBuffer;
}
