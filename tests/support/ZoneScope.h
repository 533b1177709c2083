//===-- tests/support/ZoneScope.h - A time zone and the clocks for tests --===//
#pragma once

#include <cstdlib>
#include <ctime>
#include <string>

#include "SysCalls.h"
#include "support/TestSupport.h"

namespace tmtest {

// Sets TZ (nullptr: unset) for a scope and puts the old value back.
class ZoneScope {
public:
    explicit ZoneScope(const char* tz) : hadTz_(getenv("TZ") != nullptr), old_(hadTz_ ? getenv("TZ") : "") { Set(tz); }
    ~ZoneScope() { Set(hadTz_ ? old_.c_str() : nullptr); }

private:
    static void Set(const char* tz) {
        tz ? setenv("TZ", tz, 1) : unsetenv("TZ");
        tzset();
    }
    bool hadTz_;
    std::string old_;
};

inline bool ZoneFileExists(const char* name) {
    return FileExists(std::string("/usr/share/zoneinfo/") + name);
}

// The layer's clocks while a test sets them: the calendar time and the
// millisecond tick count.
inline time_t g_wallNow = 0;
inline uint64_t g_tickMs = 0;

inline int FixedClocks(clockid_t clock, struct timespec* ts) {
    if (clock == CLOCK_REALTIME) {
        *ts = {g_wallNow, 0};
    } else if (clock == CLOCK_MONOTONIC) {
        *ts = {static_cast<time_t>(g_tickMs / 1000), static_cast<long>(g_tickMs % 1000) * 1000000};
    } else {
        return clock_gettime(clock, ts);
    }
    return 0;
}

}  // namespace tmtest
