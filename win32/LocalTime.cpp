//===-- win32/LocalTime.cpp - Local standard time as mktime gives it -----===//
//
// LocalStandardTime answers what mktime returns for broken-down fields
// read as local standard time (tm_isdst 0), without mktime's cost: a lock
// on every call and, with TZ unset, a look at /etc/localtime. For such
// fields mktime only takes off the zone's standard offset, which stays put
// for years at a time; so the offset is kept per zone (value of TZ) and per
// stretch of about a year, once the zone's transitions around the stretch,
// probed with localtime_r, show that mktime would use exactly that offset
// there. mktime itself answers everything else: zones with leap seconds,
// stretches in which the standard offset changes or daylight time lasts
// long, dates far outside 1970 .. 2038.
//
// Zones: a change of TZ is seen at once; with TZ unset, a replaced
// /etc/localtime within a second (mktime rereads it then too).
//===----------------------------------------------------------------------===//
#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "Layer.h"

namespace {

constexpr int64_t kDay = 86400;
// 2038-01-19 03:14:07 UTC, the last second a 32-bit time value holds.
constexpr int64_t kLatestTime = INT32_MAX;

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

// How glibc's mktime finds the time for fields with tm_isdst 0: it steps
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

}  // namespace

namespace w32 {

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

}  // namespace w32
