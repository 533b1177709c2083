//===-- fuzz/addresses.cpp - Address functions against plain versions -----===//
//
// The input is a header value or an address as a sender writes it. Each
// function gets it in a block of exactly its size and must leave it as it
// was, with the result its plain algorithm gives:
//   ParseAddress         the first logical line (a CR that is not the
//                        start of a folded continuation ends it), blanks
//                        skipped, after "<" if there is one, up to a stop
//                        character or 80 characters;
//   IsValidEmailAddress  an "@" with a "." after it, and the plain
//                        matcher's "*@*.*" where it can afford it;
//   IsValidAddress       not empty, no ";", no quote at either end;
//   IsLocalAddress       over a fixed LocalDomainsEx, the entries tried
//                        with the plain matcher;
//   stristr              the input split at its first zero byte into
//                        haystack and needle, a position at a time.
//===----------------------------------------------------------------------===//
#include <cctype>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/support/FuzzSupport.h"
#include "fuzz/support/ReferenceMatcher.h"
#include "tmcommon.h"

namespace {

// Plain patterns and exclusions, with a class, "?", an escaped star and a
// whole address among them; none has more than one inner star.
const char* const kLocalDomains[] = {
    "*.example.com", "!lists.example.com", "example.com", "postmaster@*", "[a-c]?.org",
    "!b*.org",       "*\\*",               "^x",          "_mail.test",
};

std::string PlainParseAddress(const std::string& text) {
    size_t lineEnd = 0;
    while (lineEnd < text.size()) {
        if (text[lineEnd] == '\r') {
            // text[size] is the terminating zero, never a blank.
            if (lineEnd + 1 < text.size() && (text[lineEnd + 2] == ' ' || text[lineEnd + 2] == '\t')) {
                lineEnd += 2;
                continue;
            }
            break;
        }
        ++lineEnd;
    }
    size_t at = 0;
    while (at < lineEnd && (text[at] == ' ' || text[at] == '\t')) ++at;
    const size_t open = text.substr(at, lineEnd - at).find('<');
    if (open != std::string::npos) at += open + 1;
    std::string address;
    for (; at < lineEnd && address.size() < 80; ++at) {
        const char c = text[at];
        if (c == ' ' || c == '>' || c == ',' || c == ';' || static_cast<signed char>(c) < 0x20) break;
        address += c;
    }
    return address;
}

bool PlainIsEmail(const std::string& address) {
    const size_t at = address.find('@');
    return at != std::string::npos && address.find('.', at + 1) != std::string::npos;
}

int PlainIsValidAddress(const std::string& address) {
    if (address.empty() || address.find(';') != std::string::npos) return 0;
    const char first = address.front(), last = address.back();
    return first == '\'' || first == '"' || last == '\'' || last == '"' ? 0 : 1;
}

bool PlainMatches(const std::string& subject, const char* pattern) {
    std::string copy = subject;
    char* end = nullptr;
    return reference::WildcardMatch(copy.data(), pattern, &end) != 0;
}

int PlainIsLocal(const std::string& address) {
    const size_t at = address.find('@');
    if (at == std::string::npos) return 1;
    const std::string domain = address.substr(at + 1);
    int result = 0;
    for (const char* entry : kLocalDomains) {
        const bool exclusion = entry[0] == '!';
        const char* pattern = exclusion ? entry + 1 : entry;
        if (PlainMatches(domain, pattern) || PlainMatches(address, pattern)) {
            if (exclusion) return 0;
            result = 1;
        }
    }
    return result;
}

// The first position where the needle stands, compared without regard to
// ASCII case; never at the haystack's terminating zero.
const char* PlainStristr(const char* haystack, const char* needle) {
    const size_t n = strlen(needle);
    for (const char* p = haystack; *p; ++p) {
        size_t i = 0;
        while (i < n && p[i] && tolower(static_cast<unsigned char>(p[i])) == tolower(static_cast<unsigned char>(needle[i]))) ++i;
        if (i == n) return p;
    }
    return nullptr;
}

void SetLocalDomains() {
    CStringArray entries;
    for (const char* entry : kLocalDomains) entries.Add(entry);
    CRegistry reg;
    if (reg.CreateKey(HKEY_LOCAL_MACHINE, TM_PARAMETERS_KEY, 0x2001F, 0) != ERROR_SUCCESS ||
        reg.SetValue("LocalDomainsEx", entries) != ERROR_SUCCESS) {
        tmfuzz::Fail("cannot store LocalDomainsEx");
    }
}

}  // namespace

void tmfuzz::FuzzOne(const uint8_t* data, size_t size) {
    static const bool ready = (SetLocalDomains(), true);
    (void)ready;
    const std::string text = UpToZero(data, size);

    Text header(text);
    CString address;
    ParseAddress(header.get(), address);
    Check(header.bytes() == Text(text).bytes(), "ParseAddress changed its text");
    Check(std::string(address) == PlainParseAddress(text), "ParseAddress differs from the plain version");

    Text email(text);
    const int valid = IsValidEmailAddress(email.get());
    Check(email.bytes() == Text(text).bytes(), "IsValidEmailAddress changed its text");
    Check(valid == (PlainIsEmail(text) ? 1 : 0), "IsValidEmailAddress: not an \"@\" with a \".\" after it");
    if (text.size() <= 256) Check(valid == (PlainMatches(text, "*@*.*") ? 1 : 0), "IsValidEmailAddress differs from the plain matcher");

    Check(IsValidAddress(Text(text).get()) == PlainIsValidAddress(text), "IsValidAddress differs from the plain version");

    if (text.size() <= 512) {
        Text local(text);
        Check(IsLocalAddress(local.get()) == PlainIsLocal(text), "IsLocalAddress differs from the plain version");
        Check(local.bytes() == Text(text).bytes(), "IsLocalAddress changed its text");
    }

    const std::string needle = text.size() < size ? UpToZero(data + text.size() + 1, size - text.size() - 1) : "";
    Text haystack(text), wanted(needle);
    const char* found = stristr(haystack.get(), wanted.get());
    const char* plain = PlainStristr(haystack.get(), wanted.get());
    Check(found == plain, "stristr differs from the plain search");
}
