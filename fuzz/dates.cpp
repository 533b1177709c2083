//===-- fuzz/dates.cpp - Header dates from arbitrary bytes ----------------===//
//
// Scans the input as a Date header's text both with the library's scan and
// with sscanf and stops on any difference; then reads it with tm_getdate,
// whose result must stay in the representable range.
//===----------------------------------------------------------------------===//
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "mail/Dates.h"
#include "tmcommon.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    text = text.c_str();  // up to the first NUL, as a C string is
    tmc::HeaderDateFields mine, theirs;
    memset(&mine, 0xBD, sizeof mine);
    memset(&theirs, 0xBD, sizeof theirs);
    int expected = sscanf(text.c_str(), "%30s %d%c%30[^- ]%c%d %d:%d:%d %30s", theirs.szWeekday,
                          &theirs.nDay, &theirs.chSeparator1, theirs.szMonth, &theirs.chSeparator2,
                          &theirs.nYear, &theirs.nHour, &theirs.nMinute, &theirs.nSecond, theirs.szZone);
    int count = tmc::ScanHeaderDate(text.c_str(), &mine);
    if (count != expected || memcmp(&mine, &theirs, sizeof mine) != 0) abort();
    time_t value = tm_getdate(text.c_str());
    if (value < 0 || value > INT32_MAX) abort();
    return 0;
}
