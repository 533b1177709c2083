//===-- mail/Wildcard.h - The wildcard matcher's engine (internal) --------===//
//
// WildcardMatch's pattern language, matched over one line of a subject:
// "*" any run, "?" one character but CR or LF (at the end of the line it
// ends the match with success), "[...]" and "[^...]" classes compared as
// signed characters, "^" a line boundary (the line's start, or a CR LF that
// it consumes), a backslash that takes the next character literally, and
// other characters compared without regard to ASCII case.
//
// How a match runs. The pattern falls into segments at each "*" that is
// not its last character (an inner star). A segment has no choice in it:
// walked from a subject position it fails, matches outright, or arrives at
// the next inner star. Each inner star tries every later position in turn
// (never the end of the line itself) for the rest of the pattern, first to
// last; the first success anywhere ends the whole match, and the result is
// 1 plus the distance the first inner star skipped.
//
// Why it is bounded. "The rest of the pattern after inner star j matches
// from some position at or after u" can only turn false as u grows, and
// depends on nothing but j and u. So one subject position per inner star,
// failFrom, records where everything is known to fail; a scan that comes
// back to that point stops there. Each (inner star, position) pair is then
// walked at most once, and a whole match costs at most (subject length + 1)
// x (pattern length + 1) pattern steps, in the same order of trials and so
// with the same result value as trying every position every time. Besides
// the steps: the subject's length, the CR LF of each line in multi-line
// mode, and one look at the literals after each inner star per line, which
// lets a scan pass over positions that cannot match (see SkipHopeless).
// Memory:
// 40 bytes per inner star, on the stack for up to kInlineLevels of
// them; it depends on the pattern only, never on the subject's length.
//
// Where `end` points. On success: where the match stopped (the line's end,
// or where a final "*" begins to absorb). On failure: where the last trial
// of the full search stops. A failed scan always tries the line's last
// character last, so that place is found by walking from there alone, see
// FailureEnd; the positions the bound skips do not change it.
//
// Case: ASCII letters only, as toupper does in the C locale; the process's
// locale never changes which domains are local.
//
// Nothing is written into the subject: a line ends at an explicit pointer,
// not at a zero byte put over its CR.
//===----------------------------------------------------------------------===//
#pragma once

#include <climits>
#include <cstddef>
#include <cstring>
#include <memory>

namespace tmc {

// MatchPattern: the pattern matched from subject position pszSubject over
// the line [pszLineStart, pszLineEnd). 0 for no match, else 1 plus the
// characters absorbed by the first inner "*". Stores the end position.
int MatchPattern(char* pszSubject, const char* pszPattern, char** ppszEnd, const char* pszLineStart,
                 const char* pszLineEnd);

// ScanForMatch: the first position from pszSubject on, before the line's
// end, where MatchPattern succeeds, as a distance from pszSubject; -1 if
// none (at once, leaving *ppszEnd alone, when pszSubject is the line's end).
int ScanForMatch(char* pszSubject, const char* pszPattern, char** ppszEnd, const char* pszLineStart,
                 const char* pszLineEnd);

namespace wildcard {

// toupper of the C locale, for every byte.
struct UpperTable {
    unsigned char map[256];
    constexpr UpperTable() : map() {
        for (int c = 0; c < 256; ++c) map[c] = static_cast<unsigned char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    }
};
inline constexpr UpperTable kUpper{};

inline bool SameLetter(char a, char b) {
    return kUpper.map[static_cast<unsigned char>(a)] == kUpper.map[static_cast<unsigned char>(b)];
}

// The characters that begin an element other than a plain literal.
struct MetaTable {
    bool map[256];
    constexpr MetaTable() : map() {
        for (unsigned char c : {'\0', '*', '?', '[', '\\', '^'}) map[c] = true;
    }
};
inline constexpr MetaTable kMeta{};

// n characters of the subject against n plain literals of a pattern.
inline bool SameText(const char* s, const char* p, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (!SameLetter(s[i], p[i])) return false;
    }
    return true;
}

// The span a match runs over. Positions are pointers into the subject.
struct Line {
    const char* start;  // where "^" matches without consuming
    const char* end;    // the subject's zero byte, or the CR of the line's CR LF
};

enum class Stop : unsigned char { kFail, kMatch, kStar };

struct Walk {
    Stop stop;
    const char* pattern;  // kStar: the inner "*"
    const char* subject;  // where the walk stopped
};

// Step counters: the library counts nothing; the tests count pattern
// steps to check the bound.
struct NoSteps {
    void operator()(size_t) const noexcept {}
};

// Walks one segment from subject position s: pattern elements up to the
// end of the pattern or an inner "*". Never reads the subject at or past
// line.end, nor the pattern past its zero byte.
template <class Steps>
[[gnu::always_inline]] inline Walk WalkSegment(const char* p, const char* s, const Line& line, Steps& steps) {
    const char* const lineStart = line.start;
    const char* const lineEnd = line.end;
    for (;;) {
        if (!kMeta.map[static_cast<unsigned char>(*p)]) {
            // The common element first: a character compared without
            // regard to case.
            steps(1);
            if (s == lineEnd || !SameLetter(*s, *p)) return {Stop::kFail, p, s};
            ++s;
            ++p;
            continue;
        }
        switch (*p) {
            case '\0':
                steps(1);
                return {s == lineEnd ? Stop::kMatch : Stop::kFail, p, s};
            case '*':
                steps(1);
                // A final "*" absorbs the rest, whatever it holds.
                return {p[1] == '\0' ? Stop::kMatch : Stop::kStar, p, s};
            case '?':
                steps(1);
                // At the end of the line "?" ends the whole match, whatever
                // pattern follows it.
                if (s == lineEnd) return {Stop::kMatch, p, s};
                if (*s == '\r' || *s == '\n') return {Stop::kFail, p, s};
                ++s;
                ++p;
                break;
            case '[': {
                if (s == lineEnd) {
                    steps(1);
                    return {Stop::kFail, p, s};
                }
                const char* q = p + 1;
                bool negated = false;
                if (*q == '^') {
                    negated = true;
                    ++q;
                }
                // Classes compare signed characters: bytes 0x80 to 0xFF rank
                // below ASCII. The first range starts above every character.
                const int x = static_cast<signed char>(*s);
                int previous = 256;
                bool in = false;
                for (;;) {
                    const char k = *q;
                    if (k == '\0') break;  // the pattern's end closes the class
                    ++q;
                    if (k == ']') break;
                    if (k == '-') {
                        if (*q == '\0') break;
                        // Whatever follows is the bound, "]" included.
                        const int high = static_cast<signed char>(*q++);
                        if (previous <= x && x <= high) in = true;
                        previous = high;
                    } else {
                        if (k == *s) in = true;
                        previous = static_cast<signed char>(k);
                    }
                }
                steps(static_cast<size_t>(q - p));
                if (in == negated) return {Stop::kFail, p, s};
                ++s;
                p = q;
                break;
            }
            case '^':
                steps(1);
                if (s == lineStart) {
                    ++p;
                } else if (lineEnd - s >= 2 && s[0] == '\r' && s[1] == '\n') {
                    s += 2;
                    ++p;
                } else {
                    return {Stop::kFail, p, s};
                }
                break;
            default:  // a backslash: the next character literally; a final
                      // backslash is itself
                if (p[1] != '\0') ++p;
                steps(1);
                if (s == lineEnd || !SameLetter(*s, *p)) return {Stop::kFail, p, s};
                ++s;
                ++p;
                break;
        }
    }
}

// One inner star's scan in progress.
struct Level {
    const char* pattern;   // the pattern after the star
    const char* start;     // first position of the scan in progress
    const char* at;        // the position being tried
    const char* failFrom;  // every position from here to the line's end fails
    int first;             // the pattern's first character when it is a plain
                           // literal (upper case), else -1
    int tail;              // when the pattern is nothing but plain literals:
                           // their number, else -1
};

// What a scan can know of its pattern before trying a position.
// Read once per line and inner star; not counted in the steps.
inline void Prepare(Level& level) {
    const char* p = level.pattern;
    while (!kMeta.map[static_cast<unsigned char>(*p)]) ++p;
    level.first = p == level.pattern ? -1 : kUpper.map[static_cast<unsigned char>(*level.pattern)];
    level.tail = *p == '\0' ? static_cast<int>(p - level.pattern) : -1;
}

// Moves `at` to the first position before `limit` where the level's
// pattern could match; every position passed over would fail at once.
// Plain literals up to the end of the pattern fit in one place only: where
// they end with the line (a trial earlier stops short of the end, a later
// one runs out of line). Otherwise a position must hold the first literal.
template <class Steps>
inline const char* SkipHopeless(const Level& level, const char* lineEnd, Steps& steps) {
    const char* at = level.at;
    const char* const limit = level.failFrom;
    if (level.tail >= 0) {
        const char* only = lineEnd - level.tail;
        steps(1);
        return only < at ? limit : (only < limit ? only : limit);
    }
    const int first = level.first;
    const char* found;
    if (first >= 'A' && first <= 'Z') {
        found = at;
        while (found < limit && kUpper.map[static_cast<unsigned char>(*found)] != first) ++found;
    } else {
        found = static_cast<const char*>(memchr(at, first, static_cast<size_t>(limit - at)));
        if (!found) found = limit;
    }
    steps(static_cast<size_t>(found - at));
    return found;
}

inline constexpr size_t kInlineLevels = 16;

// The scan of the inner star whose rest of the pattern is `pattern`, from
// `from` (before the line's end): the distance to the first position where
// the rest matches, with *matchEnd where that match stopped; -1 if none.
template <class Steps>
ptrdiff_t Search(const char* from, const char* pattern, const Line& line, const char** matchEnd,
                 Steps& steps) {
    Level inlineLevels[kInlineLevels];
    std::unique_ptr<Level[]> heapLevels;
    Level* levels = inlineLevels;
    size_t capacity = kInlineLevels;
    size_t known = 1;  // levels reached so far; their failFrom stays valid
    size_t depth = 0;
    levels[0] = {pattern, from, from, line.end, -1, -1};
    Prepare(levels[0]);
    for (;;) {
        Level& level = levels[depth];
        if ((level.first >= 0 || level.tail >= 0) && level.at < level.failFrom) {
            level.at = SkipHopeless(level, line.end, steps);
            if (level.tail >= 0 && level.at < level.failFrom) {
                // The one place where plain literals can end with the line:
                // they match there, or nothing from here on does.
                steps(static_cast<size_t>(level.tail));
                if (SameText(level.at, level.pattern, static_cast<size_t>(level.tail))) {
                    *matchEnd = line.end;
                    return levels[0].at - levels[0].start;
                }
                level.at = level.failFrom;
            }
        }
        if (level.at >= level.failFrom) {
            // Nothing from start on matches: remember it for later scans.
            level.failFrom = level.start;
            if (depth == 0) return -1;
            ++levels[--depth].at;
            continue;
        }
        const Walk walk = WalkSegment(level.pattern, level.at, line, steps);
        if (walk.stop == Stop::kFail) {
            ++level.at;
            continue;
        }
        if (walk.stop == Stop::kMatch) {
            *matchEnd = walk.subject;
            return levels[0].at - levels[0].start;
        }
        if (depth + 1 == known) {
            if (known == capacity) {
                // Deeper than the stack array: one level per inner star of
                // the pattern, at most.
                std::unique_ptr<Level[]> grown(new Level[capacity * 2]);
                memcpy(grown.get(), levels, capacity * sizeof(Level));
                heapLevels = std::move(grown);
                levels = heapLevels.get();
                capacity *= 2;
            }
            levels[known] = {walk.pattern + 1, nullptr, nullptr, line.end, -1, -1};
            Prepare(levels[known++]);
        }
        Level& next = levels[depth + 1];
        if (walk.subject >= next.failFrom) {
            // Known to fail from here on (this includes the line's end,
            // where a scan gives up at once).
            ++levels[depth].at;
            continue;
        }
        next.start = next.at = walk.subject;
        ++depth;
    }
}

// Where a failed search of `pattern` leaves `end`: every scan tries the
// line's last character last, so the last trial walks from there; it may
// reach further inner stars, whose scans again end with that character.
template <class Steps>
const char* FailureEnd(const char* pattern, const Line& line, Steps& steps) {
    for (;;) {
        const Walk walk = WalkSegment(pattern, line.end - 1, line, steps);
        if (walk.stop != Stop::kStar || walk.subject == line.end) return walk.subject;
        pattern = walk.pattern + 1;
    }
}

// MatchPattern without its handler.
template <class Steps>
int MatchAt(const char* s, const char* pattern, const Line& line, const char** end, Steps& steps) {
    const Walk walk = WalkSegment(pattern, s, line, steps);
    if (walk.stop != Stop::kStar) {
        *end = walk.subject;
        return walk.stop == Stop::kMatch ? 1 : 0;
    }
    if (walk.subject == line.end) {
        // An inner star needs a character after it.
        *end = walk.subject;
        return 0;
    }
    const char* matchEnd = nullptr;
    const ptrdiff_t skipped = Search(walk.subject, walk.pattern + 1, line, &matchEnd, steps);
    if (skipped < 0) {
        *end = FailureEnd(walk.pattern + 1, line, steps);
        return 0;
    }
    *end = matchEnd;
    return skipped < INT_MAX ? static_cast<int>(skipped) + 1 : INT_MAX;
}

// ScanForMatch without its handler.
template <class Steps>
int ScanAt(const char* s, const char* pattern, const Line& line, const char** end, Steps& steps) {
    if (s == line.end) return -1;
    const char* matchEnd = nullptr;
    const ptrdiff_t skipped = Search(s, pattern, line, &matchEnd, steps);
    if (skipped < 0) {
        *end = FailureEnd(pattern, line, steps);
        return -1;
    }
    *end = matchEnd;
    return skipped < INT_MAX ? static_cast<int>(skipped) : INT_MAX;
}

// WildcardMatch without its handler: the "!" and "_" modes, then the match.
template <class Steps>
int Match(const char* subject, const char* pattern, const char** end, Steps& steps) {
    const char* const subjectEnd = subject + strlen(subject);
    if (pattern[0] == '!') {
        const Line whole{subject, subjectEnd};
        return MatchAt(subject, pattern + 1, whole, end, steps) == 0 ? 1 : 0;
    }
    if (pattern[0] == '_') {
        // Each line on its own, the last one (after the last CR LF,
        // perhaps empty) too; the first line that matches decides.
        const char* lineStart = subject;
        for (;;) {
            const char* crlf = strstr(lineStart, "\r\n");
            const Line line{lineStart, crlf ? crlf : subjectEnd};
            const int result = MatchAt(lineStart, pattern + 1, line, end, steps);
            if (result != 0 || !crlf) return result;
            lineStart = crlf + 2;
        }
    }
    const Line whole{subject, subjectEnd};
    return MatchAt(subject, pattern, whole, end, steps);
}

}  // namespace wildcard
}  // namespace tmc
