//===-- fuzz/support/ReferenceMatcher.h - The matcher's plain algorithm ---===//
//
// WildcardMatch as the algorithm reads step by step: every inner "*" tries
// each later position in turn by recursion, MatchPattern stores the
// subject position through `end` on entry and after each character it
// consumes, and multi-line mode puts a zero over each line's CR for the
// length of the match. Its cost grows like the subject length to the power
// of the number of stars: the tests, the fuzz target and the benchmark
// hold the library's bounded matcher against it, on short inputs.
//===----------------------------------------------------------------------===//
#pragma once

#include <cctype>
#include <cstring>

namespace reference {

int MatchPattern(char* s, const char* p, char** end, char* lineStart);

inline int ScanForMatch(char* s, const char* p, char** end, char* lineStart) {
    for (char* t = s; *t != '\0'; ++t) {
        if (MatchPattern(t, p, end, lineStart) != 0) return static_cast<int>(t - s);
    }
    return -1;
}

inline int MatchPattern(char* s, const char* p, char** end, char* lineStart) {
    *end = s;
    for (;;) {
        char c = *p;
        if (c == '\0') return *s == '\0' ? 1 : 0;
        if (c == '*') return p[1] == '\0' ? 1 : 1 + ScanForMatch(s, p + 1, end, lineStart);
        if (c == '?') {
            if (*s == '\0') return 1;
            if (*s == '\r' || *s == '\n') return 0;
            *end = ++s;
            ++p;
            continue;
        }
        if (c == '[') {
            bool negated = *++p == '^', in = false;
            if (negated) ++p;
            int previous = 256;
            const int x = static_cast<signed char>(*s);
            while (*p != '\0') {
                const char k = *p++;
                if (k == ']') break;
                if (k == '-') {
                    if (*p == '\0') break;
                    const int high = static_cast<signed char>(*p++);
                    in = in || (previous <= x && x <= high);
                    previous = high;
                } else {
                    in = in || static_cast<signed char>(k) == x;
                    previous = static_cast<signed char>(k);
                }
            }
            if (*s == '\0' || in == negated) return 0;
            *end = ++s;
            continue;
        }
        if (c == '^') {
            if (s == lineStart) {
                ++p;
                continue;
            }
            if (s[0] != '\r' || s[1] != '\n') return 0;
            *end = s += 2;
            ++p;
            continue;
        }
        if (c == '\\' && p[1] != '\0') c = *++p;
        if (*s != c && toupper(static_cast<unsigned char>(*s)) != toupper(static_cast<unsigned char>(c))) return 0;
        *end = ++s;
        ++p;
    }
}

inline int WildcardMatch(char* subject, const char* pattern, char** end) {
    if (pattern[0] == '!') return MatchPattern(subject, pattern + 1, end, subject) == 0 ? 1 : 0;
    if (pattern[0] != '_') return MatchPattern(subject, pattern, end, subject);
    for (char* line = subject;; ) {
        char* crlf = strstr(line, "\r\n");
        if (crlf) *crlf = '\0';
        const int result = MatchPattern(line, pattern + 1, end, line);
        if (crlf) *crlf = '\r';
        if (result != 0 || !crlf) return result;
        line = crlf + 2;
    }
}

}  // namespace reference
