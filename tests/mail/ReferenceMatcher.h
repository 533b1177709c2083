//===-- tests/mail/ReferenceMatcher.h - The matcher's plain algorithm -----===//
//
// WildcardMatch as the algorithm reads step by step: every inner "*" tries
// each later position in turn by recursion, MatchPattern stores the
// subject position through `end` on entry and after each character it
// consumes, and multi-line mode puts a zero over each line's CR for the
// length of the match. Its cost grows like the subject length to the power
// of the number of stars: the tests and the benchmark hold the library's
// bounded matcher against it, on short inputs.
//===----------------------------------------------------------------------===//
#pragma once

#include <cctype>
#include <cstring>

namespace reference {

int MatchPattern(char* s, const char* p, char** end, char* lineStart);

inline int ScanForMatch(char* s, const char* p, char** end, char* lineStart) {
    if (*s == '\0') return -1;
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
        if (c == '*') {
            if (p[1] == '\0') return 1;
            return 1 + ScanForMatch(s, p + 1, end, lineStart);
        }
        if (c == '?') {
            if (*s == '\0') return 1;
            if (*s == '\r' || *s == '\n') return 0;
            ++s;
            *end = s;
            ++p;
            continue;
        }
        if (c == '[') {
            ++p;
            bool negated = false;
            if (*p == '^') {
                negated = true;
                ++p;
            }
            int previous = 256;
            bool in = false;
            const int x = static_cast<signed char>(*s);
            for (;;) {
                const char k = *p;
                if (k == '\0') break;
                if (k == ']') {
                    ++p;
                    break;
                }
                if (k == '-') {
                    ++p;
                    if (*p == '\0') break;
                    const int high = static_cast<signed char>(*p);
                    ++p;
                    if (previous <= x && x <= high) in = true;
                    previous = high;
                } else {
                    if (static_cast<signed char>(k) == x) in = true;
                    previous = static_cast<signed char>(k);
                    ++p;
                }
            }
            if (*s == '\0') return 0;
            if (in == negated) return 0;
            ++s;
            *end = s;
            continue;
        }
        if (c == '^') {
            if (s == lineStart) {
                ++p;
                continue;
            }
            if (s[0] == '\r' && s[1] == '\n') {
                s += 2;
                *end = s;
                ++p;
                continue;
            }
            return 0;
        }
        if (c == '\\' && p[1] != '\0') {
            ++p;
            c = *p;
        }
        if (*s == c || toupper(static_cast<unsigned char>(*s)) == toupper(static_cast<unsigned char>(c))) {
            ++s;
            *end = s;
            ++p;
            continue;
        }
        return 0;
    }
}

inline int WildcardMatch(char* subject, const char* pattern, char** end) {
    if (pattern[0] == '!') return MatchPattern(subject, pattern + 1, end, subject) == 0 ? 1 : 0;
    if (pattern[0] == '_') {
        char* line = subject;
        for (;;) {
            char* crlf = strstr(line, "\r\n");
            if (crlf) *crlf = '\0';
            const int result = MatchPattern(line, pattern + 1, end, line);
            if (crlf) *crlf = '\r';
            if (result != 0) return result;
            if (!crlf) return 0;
            line = crlf + 2;
        }
    }
    return MatchPattern(subject, pattern, end, subject);
}

}  // namespace reference
