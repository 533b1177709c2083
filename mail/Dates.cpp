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
// Speed: mktime takes a lock and, with TZ unset, looks at the zone file on
// every call. For a header date all it adds to the wall-clock seconds is
// the zone's standard offset, which stays put for years at a time. So the
// offset is kept per zone and per stretch of about a year, once the zone's
// transitions around that stretch show that mktime would use exactly that
// offset there; mktime itself answers everything else (zones with leap
// seconds, stretches where the standard offset changes, long daylight
// periods, dates far outside the representable range).
//
// Diagnostics: a text that does not reach the minutes, or whose month is
// not a month name, is logged as the warning "Invalid format date %s".
// Limits: each text field of the scan takes at most 30 characters. Times
// keep the range 1970-01-01 00:00:00 .. 2038-01-19 03:14:07 UTC; a date
// that mktime cannot place inside it, or that the header's zone moves out
// of it, gives 0. Changes of TZ are followed at once, a replaced zone file
// of the machine (TZ unset) within a second.
//===----------------------------------------------------------------------===//
#include "mail/Dates.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "Layer.h"
#include "logging/Trap.h"
#include "tmlogging.h"
#include "tmmail.h"

namespace {

const char kSourceFile[] = "Utilities";

constexpr int64_t kDay = 86400;
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

//===-- Local standard time ----------------------------------------------===//

// Days from 1970-01-01 to the given day of the proleptic Gregorian
// calendar; nDay may lie outside the month and counts on linearly.
int64_t DaysFromCivil(int64_t nYear, int nMonth /* 1..12 */, int64_t nDay) {
    nYear -= nMonth <= 2;
    const int64_t era = (nYear >= 0 ? nYear : nYear - 399) / 400;
    const int64_t yearOfEra = nYear - era * 400;
    const int64_t dayOfYear = (153 * (nMonth + (nMonth > 2 ? -3 : 9)) + 2) / 5 + nDay - 1;
    const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

// The cache covers wall-clock seconds (fields read as if they were UTC)
// from three days before 1970 to three days after the end of the range,
// in buckets of 2^25 seconds (about 388 days).
constexpr int kBucketShift = 25;
constexpr int64_t kFirstCached = -3 * kDay;
constexpr int64_t kLastCached = kLatestTime + 3 * kDay;
constexpr int kBucketCount = static_cast<int>(((kLastCached - kFirstCached) >> kBucketShift) + 1);
constexpr int64_t kNotKnown = INT64_MIN;
constexpr int64_t kAskMktime = INT64_MIN + 1;
constexpr size_t kMaxZones = 32;

// How mktime (glibc) finds the time for fields with tm_isdst 0: it steps
// t <- wall - offset(t) from a guess near the wall clock until it meets
// the fields, and when it meets them in daylight time it looks for the
// nearest standard time at steps of kStride seconds around and takes that
// offset. So where every standard moment near a bucket has the one offset
// S, every daylight moment the one offset D, and each daylight period the
// bucket can meet is short and has standard time of at least one stride
// beside it, mktime gives wall - S for the whole bucket: in a gap of the
// clock it oscillates between wall - S and wall - D and stops on wall - S.
constexpr int64_t kStride = 601200;
constexpr int64_t kNearMargin = 2 * kDay;      // where the steps can land
constexpr int64_t kScanMargin = 400 * kDay;    // what the search can reach
constexpr int64_t kLongestDaylight = 300 * kDay;
// Zones change at most once within this step (no offset of any zone's
// history lasted less than a week).
constexpr int64_t kScanStep = 6 * 3600;

struct ZoneState {
    long nOffset;  // seconds east of UTC
    bool bDaylight;
    bool operator==(const ZoneState& other) const {
        return nOffset == other.nOffset && bDaylight == other.bDaylight;
    }
};

// The zone at instant t; false where localtime fails or its fields are
// not the linear wall clock of t (a zone with leap seconds).
bool ProbeZone(int64_t t, ZoneState* state) {
    time_t instant = static_cast<time_t>(t);
    struct tm tm;
    if (!localtime_r(&instant, &tm)) return false;
    int64_t wall = DaysFromCivil(tm.tm_year + int64_t(1900), tm.tm_mon + 1, tm.tm_mday) * kDay +
                   tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec;
    if (wall != t + tm.tm_gmtoff) return false;
    state->nOffset = tm.tm_gmtoff;
    state->bDaylight = tm.tm_isdst > 0;
    return true;
}

struct ZoneRun {
    int64_t nStart;
    ZoneState state;
};

// The standard offset that mktime adds for every wall-clock second of the
// bucket, or kAskMktime where that cannot be shown. Runs with the zone of
// the C library set up for the current TZ.
int64_t AnalyseBucket(int bucket) {
    const int64_t first = kFirstCached + (int64_t(bucket) << kBucketShift);
    const int64_t last = first + (int64_t(1) << kBucketShift) - 1;
    const int64_t nearBegin = first - kNearMargin, nearEnd = last + kNearMargin;
    const int64_t scanBegin = first - kScanMargin, scanEnd = last + kScanMargin;

    std::vector<ZoneRun> runs;
    ZoneState current;
    if (!ProbeZone(scanBegin, &current)) return kAskMktime;
    runs.push_back({scanBegin, current});
    for (int64_t t = scanBegin; t < scanEnd;) {
        int64_t next = std::min(t + kScanStep, scanEnd);
        ZoneState state;
        if (!ProbeZone(next, &state)) return kAskMktime;
        if (!(state == current)) {
            int64_t low = t, high = next;
            while (high - low > 1) {
                int64_t middle = low + (high - low) / 2;
                ZoneState probe;
                if (!ProbeZone(middle, &probe)) return kAskMktime;
                if (probe == current) {
                    low = middle;
                } else if (probe == state) {
                    high = middle;
                } else {
                    return kAskMktime;  // a third state within one step
                }
            }
            runs.push_back({high, state});
            current = state;
        }
        t = next;
    }

    bool haveStandard = false, haveDaylight = false;
    long standard = 0, daylight = 0;
    for (const ZoneRun& run : runs) {
        bool& have = run.state.bDaylight ? haveDaylight : haveStandard;
        long& offset = run.state.bDaylight ? daylight : standard;
        if (have && offset != run.state.nOffset) return kAskMktime;
        have = true;
        offset = run.state.nOffset;
    }
    if (!haveStandard) return kAskMktime;

    // Daylight periods that the steps can land in: inside the scan, short,
    // with a standard period of a stride or more on one side. The first
    // and last runs are cut by the scan, so their lengths are lower bounds.
    const size_t count = runs.size();
    auto runEnd = [&](size_t i) { return i + 1 < count ? runs[i + 1].nStart : scanEnd + 1; };
    for (size_t i = 0; i < count; ++i) {
        if (!runs[i].state.bDaylight) continue;
        if (runEnd(i) <= nearBegin || runs[i].nStart > nearEnd) continue;
        if (i == 0 || i + 1 == count) return kAskMktime;
        if (runEnd(i) - runs[i].nStart > kLongestDaylight) return kAskMktime;
        int64_t before = runs[i].nStart - runs[i - 1].nStart;
        int64_t after = runEnd(i + 1) - runs[i + 1].nStart;
        if (before < kStride && after < kStride) return kAskMktime;
    }

    // A second opinion from mktime at the bucket's ends and around each
    // change of the zone inside it.
    auto agrees = [&](int64_t wall) {
        if (wall < first || wall > last) return true;
        time_t asUtc = static_cast<time_t>(wall);
        struct tm fields;
        if (!gmtime_r(&asUtc, &fields)) return false;
        fields.tm_isdst = 0;
        return static_cast<int64_t>(mktime(&fields)) == wall - standard;
    };
    if (!agrees(first) || !agrees(first + (last - first) / 2) || !agrees(last)) return kAskMktime;
    static const int64_t kAround[] = {-7201, -3601, -3600, -1801, -1, 0, 1, 1800, 3599, 3600, 7200};
    for (size_t i = 1; i < count; ++i) {
        for (long offset : {standard, daylight, runs[i - 1].state.nOffset}) {
            for (int64_t delta : kAround) {
                if (!agrees(runs[i].nStart + offset + delta)) return kAskMktime;
            }
        }
    }
    return standard;
}

// The offsets found for one value of TZ (or for TZ unset). Never freed:
// readers hold them without a lock.
struct ZoneCache {
    ZoneCache(const char* pszTz) : bTzSet(pszTz != nullptr), tz(pszTz ? pszTz : "") {
        for (auto& offset : offsets) offset.store(kNotKnown, std::memory_order_relaxed);
    }
    bool Matches(const char* pszTz) const {
        return pszTz ? bTzSet && tz == pszTz : !bTzSet;
    }

    const bool bTzSet;
    const std::string tz;
    std::atomic<int64_t> offsets[kBucketCount];
    // With TZ unset: the stamp of the zone file the offsets were found
    // with, and the second it was last compared.
    std::atomic<uint64_t> stamp{0};
    std::atomic<int64_t> checkedAt{INT64_MIN};
};

struct ZoneCaches {
    std::mutex lock;
    std::vector<ZoneCache*> all;
    std::atomic<ZoneCache*> current{nullptr};
};

ZoneCaches& Caches() {
    // Left in place at exit: a date may still be read while the process
    // ends.
    static ZoneCaches* caches = new ZoneCaches;
    return *caches;
}

// With TZ unset mktime rereads /etc/localtime when the file has been
// replaced; the machine's zone is compared with the file at most once a
// second, and its offsets are found anew after a change.
void FollowZoneFile(ZoneCaches& caches, ZoneCache* zone) {
    const int64_t now = w32::CurrentTime();
    if (zone->checkedAt.load(std::memory_order_relaxed) == now) return;
    zone->checkedAt.store(now, std::memory_order_relaxed);
    const uint64_t stamp = w32::LocalZoneFileStamp();
    if (zone->stamp.load(std::memory_order_acquire) == stamp) return;
    std::lock_guard<std::mutex> guard(caches.lock);
    if (zone->stamp.load(std::memory_order_relaxed) == stamp) return;
    for (auto& offset : zone->offsets) offset.store(kNotKnown, std::memory_order_relaxed);
    zone->stamp.store(stamp, std::memory_order_release);
}

int64_t CachedStandardOffset(int bucket) {
    ZoneCaches& caches = Caches();
    const char* tz = getenv("TZ");
    ZoneCache* zone = caches.current.load(std::memory_order_acquire);
    if (!zone || !zone->Matches(tz)) {
        std::lock_guard<std::mutex> guard(caches.lock);
        zone = nullptr;
        for (ZoneCache* each : caches.all) {
            if (each->Matches(tz)) {
                zone = each;
                break;
            }
        }
        if (!zone) {
            if (caches.all.size() >= kMaxZones) return kAskMktime;
            zone = new ZoneCache(tz);
            caches.all.push_back(zone);
        }
        caches.current.store(zone, std::memory_order_release);
    }
    if (!zone->bTzSet) FollowZoneFile(caches, zone);
    int64_t offset = zone->offsets[bucket].load(std::memory_order_acquire);
    if (offset != kNotKnown) return offset;
    std::lock_guard<std::mutex> guard(caches.lock);
    offset = zone->offsets[bucket].load(std::memory_order_relaxed);
    if (offset == kNotKnown) {
        // localtime_r works with the zone last set up; mktime would set it
        // up from TZ first.
        tzset();
        offset = AnalyseBucket(bucket);
        zone->offsets[bucket].store(offset, std::memory_order_release);
    }
    return offset;
}

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

int64_t LocalStandardTime(int nYear, int nMonth, int nDay, int nHour, int nMinute, int nSecond) {
    // mktime works with the seconds held to 0..59 and adds the rest at the
    // end, so the zone is looked up for the wall clock without them.
    const int second = std::clamp(nSecond, 0, 59);
    const int64_t year = int64_t(nYear) + nMonth / 12 - (nMonth % 12 < 0);
    const int month = (nMonth % 12 + 12) % 12;
    const int64_t wall = (DaysFromCivil(year + 1900, month + 1, 1) + nDay - 1) * kDay +
                         int64_t(nHour) * 3600 + int64_t(nMinute) * 60 + second;
    if (wall >= kFirstCached && wall <= kLastCached) {
        int64_t offset = CachedStandardOffset(static_cast<int>((wall - kFirstCached) >> kBucketShift));
        if (offset != kAskMktime) return wall - offset + (int64_t(nSecond) - second);
    }
    struct tm fields = {};
    fields.tm_year = nYear;
    fields.tm_mon = nMonth;
    fields.tm_mday = nDay;
    fields.tm_hour = nHour;
    fields.tm_min = nMinute;
    fields.tm_sec = nSecond;
    fields.tm_isdst = 0;
    return static_cast<int64_t>(mktime(&fields));
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
        int64_t t = tmc::LocalStandardTime(year, month, f.nDay, f.nHour, f.nMinute, f.nSecond);
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
    time_t now = w32::CurrentTime();
    struct tm local;
    if (!pszBuffer || !localtime_r(&now, &local)) return kError;
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
