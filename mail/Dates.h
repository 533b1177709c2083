//===-- mail/Dates.h - Header date scanning and local standard time -------===//
//
// Internal pieces of the date functions, open to the tests and benchmarks:
// the scan of a Date header's text, held against the C library's sscanf,
// and the offset of the header's zone.
//===----------------------------------------------------------------------===//
#pragma once

#include <cstdint>

namespace tmc {

// The ten fields of a Date header's text, in the order they are read. A
// field that the scan does not reach keeps what it held before.
struct HeaderDateFields {
    char szWeekday[31];
    int nDay;
    char chSeparator1;
    char szMonth[31];
    char chSeparator2;
    int nYear;
    int nHour;
    int nMinute;
    int nSecond;
    char szZone[31];
};

// Scans pszText exactly as the C library's
//   sscanf(pszText, "%30s %d%c%30[^- ]%c%d %d:%d:%d %30s", ...)
// does in the "C" locale, into the fields in that order, and returns the
// same count (-1 for a text that is empty or only white space). Numbers
// too large for an int come out as sscanf leaves them. Never writes more
// than 30 characters and a terminator into a text field.
int ScanHeaderDate(const char* pszText, HeaderDateFields* pFields);

// The zone field of a header date as seconds east of UTC: "+hhmm"/"-hhmm"
// (any digits after the sign), a name of the zone table, else 0.
int64_t HeaderZoneOffset(const char* pszZone);

}  // namespace tmc
