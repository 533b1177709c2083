//===-- mail/Wildcard.cpp - WildcardMatch and its helpers -----------------===//
//
// WildcardMatch(subject, pattern, end): "!" first inverts the match (the
// result is then exactly 0 or 1), "_" first matches each CR LF line on its
// own; otherwise the whole subject is matched. A match gives 1 plus the
// characters that the first inner "*" absorbed. The engine and the reason
// its cost is bounded are described in mail/Wildcard.h.
//
// Diagnostics: an exception or a machine fault in a match is reported
// through the exception trap (source file "Utilities") and the match
// fails. A NULL subject or pattern does not match; a NULL end is allowed.
// The subject is only read, never written, so it is never left changed.
//===----------------------------------------------------------------------===//
#include "mail/Wildcard.h"

#include "logging/Trap.h"
#include "tmmail.h"

namespace {

const char kSourceFile[] = "Utilities";

// Stores a position for callers that asked for one.
void StoreEnd(char** ppszEnd, const char* end) {
    if (ppszEnd) *ppszEnd = const_cast<char*>(end);
}

}  // namespace

int WildcardMatch(char* pszSubject, const char* pszPattern, char** ppszEnd) {
    return tmc::Guarded(kSourceFile, __LINE__, 0, [&]() -> int {
        if (!pszSubject || !pszPattern) return 0;
        tmc::wildcard::NoSteps steps;
        const char* end = pszSubject;
        const int result = tmc::wildcard::Match(pszSubject, pszPattern, &end, steps);
        StoreEnd(ppszEnd, end);
        return result;
    });
}

namespace tmc {

int MatchPattern(char* pszSubject, const char* pszPattern, char** ppszEnd, const char* pszLineStart,
                 const char* pszLineEnd) {
    return Guarded(kSourceFile, __LINE__, 0, [&]() -> int {
        if (!pszSubject || !pszPattern) return 0;
        wildcard::NoSteps steps;
        const wildcard::Line line{pszLineStart, pszLineEnd};
        const char* end = pszSubject;
        const int result = wildcard::MatchAt(pszSubject, pszPattern, line, &end, steps);
        StoreEnd(ppszEnd, end);
        return result;
    });
}

int ScanForMatch(char* pszSubject, const char* pszPattern, char** ppszEnd, const char* pszLineStart,
                 const char* pszLineEnd) {
    return Guarded(kSourceFile, __LINE__, -1, [&]() -> int {
        if (!pszSubject || !pszPattern) return -1;
        wildcard::NoSteps steps;
        const wildcard::Line line{pszLineStart, pszLineEnd};
        const char* end = nullptr;
        const int result = wildcard::ScanAt(pszSubject, pszPattern, line, &end, steps);
        if (end) StoreEnd(ppszEnd, end);
        return result;
    });
}

}  // namespace tmc
