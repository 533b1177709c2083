//===-- mail/Addresses.cpp - Address extraction, validity, local domains --===//
//
// stristr           case-blind substring search
// ParseAddress      the bare address of a header value: what follows "<"
//                   on the first logical line, else its first word; at
//                   most 80 characters
// IsValidAddress    not empty, no ";", not quoted at either end
// IsValidEmailAddress  an "@" with a "." after it ("*@*.*")
// IsLocalAddress    whether the address or its domain matches a plain
//                   entry of LocalDomainsEx and no "!" exclusion
//
// Diagnostics: ParseAddress logs what it found (type 0x0400) and
// IsValidEmailAddress what it refused (type 0x0004) to the main log;
// exceptions and faults go to the exception trap as "Utilities" with the
// handler's line. IsLocalAddress reports nothing when the parameters key
// or the value is missing: the address is then not local. A key that may
// only be read is read all the same.
//
// Nothing writes into the caller's strings: the first logical line of a
// header value is bounded by a pointer, not by a zero put over its CR.
//===----------------------------------------------------------------------===//
#include <cstring>

#include "logging/Trap.h"
#include "mail/Parameters.h"
#include "tmlogging.h"
#include "tmmail.h"
#include "tmregistry.h"

namespace {

const char kSourceFile[] = "Utilities";

// The longest address ParseAddress gives, and the buffer it copies through.
constexpr int kAddressMax = 80;
constexpr int kAddressBuffer = 82;

// The event log formats at most 1023 characters, so a longer text could
// not change the line.
constexpr size_t kLoggedTextMax = 1023;

// The end of the first logical line: the zero byte, or the first CR that
// does not begin a folded continuation (CR, one more character, then a
// space or a tab).
const char* LogicalLineEnd(const char* text) {
    const char* p = text;
    while (*p) {
        if (*p == '\r') {
            // p[2] is read only when p[1] is not the terminating zero.
            if (p[1] != '\0' && (p[2] == ' ' || p[2] == '\t')) {
                p += 2;
                continue;
            }
            break;
        }
        ++p;
    }
    return p;
}

// Stops an address: the end of the text, a space, ">", ",", ";", or any
// character below 0x20 as a signed value (so bytes 0x80 to 0xFF too).
bool EndsAddress(char c) {
    return c == ' ' || c == '>' || c == ',' || c == ';' || static_cast<signed char>(c) < 0x20;
}

}  // namespace

char* stristr(const char* pszHaystack, const char* pszNeedle) {
    if (!pszHaystack || !pszNeedle || !*pszHaystack) return nullptr;
    const size_t haystackLength = strlen(pszHaystack);
    const size_t needleLength = strlen(pszNeedle);
    if (needleLength > haystackLength) return nullptr;
    // No start position closer to the end than the needle is long can
    // compare equal; an empty needle matches at the first character.
    const char* last = pszHaystack + (haystackLength - (needleLength ? needleLength : 1));
    for (const char* p = pszHaystack; p <= last; ++p) {
        if (_strnicmp(p, pszNeedle, needleLength) == 0) return const_cast<char*>(p);
    }
    return nullptr;
}

void ParseAddress(char* pszText, CString& cszAddress) {
    tmc::Guarded(kSourceFile, __LINE__, [&] {
        if (!pszText) {
            cszAddress.Empty();
            return;
        }
        const char* lineEnd = LogicalLineEnd(pszText);
        const char* text = pszText;
        while (text < lineEnd && (*text == ' ' || *text == '\t')) ++text;
        const char* open = static_cast<const char*>(memchr(text, '<', static_cast<size_t>(lineEnd - text)));
        const char* from = open ? open + 1 : text;

        char* buffer = nullptr;
        tmc::GuardedReportingAllocation(kSourceFile, __LINE__, [&] { buffer = cszAddress.GetBuffer(kAddressBuffer); });
        if (buffer) {
            int n = 0;
            for (const char* p = from; p < lineEnd && n < kAddressMax && !EndsAddress(*p); ++p) buffer[n++] = *p;
            buffer[n] = '\0';
            cszAddress.ReleaseBuffer(n);
        } else {
            cszAddress.Empty();
        }

        char logged[kLoggedTextMax + 1];
        size_t length = static_cast<size_t>(lineEnd - text);
        if (length > kLoggedTextMax) length = kLoggedTextMax;
        memcpy(logged, text, length);
        logged[length] = '\0';
        CEventLog log(0);
        log.LogEvent(TM_EVENT_DEBUG, "Parsing address, got %s from %s", static_cast<const char*>(cszAddress), logged);
    });
}

int IsValidAddress(const char* pszAddress) {
    if (!pszAddress || !*pszAddress || strchr(pszAddress, ';')) return 0;
    const char first = pszAddress[0];
    const char last = pszAddress[strlen(pszAddress) - 1];
    if (first == '\'' || first == '"' || last == '\'' || last == '"') return 0;
    return 1;
}

int IsValidEmailAddress(char* pszAddress) {
    return tmc::Guarded(kSourceFile, __LINE__, 0, [&]() -> int {
        if (!pszAddress) return 0;
        char* end = nullptr;
        if (WildcardMatch(pszAddress, "*@*.*", &end)) return 1;
        CEventLog log(0);
        log.LogEvent(TM_EVENT_INFORMATION, "%s not valid email address", pszAddress);
        return 0;
    });
}

int IsLocalAddress(char* pszAddress) {
    return tmc::Guarded(kSourceFile, __LINE__, 0, [&]() -> int {
        if (!pszAddress) return 0;
        char* at = strchr(pszAddress, '@');
        // Without a domain the address is local; the registry is not read.
        if (!at) return 1;
        char* domain = at + 1;

        CRegistry reg;
        if (tmc::OpenParametersToRead(reg) != ERROR_SUCCESS) return 0;
        CStringArray entries;
        // A missing value leaves the list empty; entries read before a
        // failure are still tested.
        tmc::GuardedReportingAllocation(kSourceFile, __LINE__, [&] { reg.QueryValue("LocalDomainsEx", entries); });

        // Local when a plain entry matches and no exclusion does, in
        // whatever order the entries come.
        int result = 0;
        for (int i = 0; i < entries.GetSize(); ++i) {
            const char* entry = entries[i];
            const bool exclusion = entry[0] == '!';
            const char* pattern = exclusion ? entry + 1 : entry;
            char* end = nullptr;
            if (WildcardMatch(domain, pattern, &end) || WildcardMatch(pszAddress, pattern, &end)) {
                if (exclusion) return 0;
                result = 1;
            }
        }
        return result;
    });
}
