//===-- tests/mail/WildcardTest.cpp - The bounded wildcard matcher --------===//
#include <gtest/gtest.h>
#include <cstring>
#include <random>
#include <string>

#include "mail/Wildcard.h"
#include "mail/GuardedText.h"
#include "mail/ReferenceMatcher.h"
#include "tmcommon.h"

namespace {

struct Result {
    int value;
    long end;  // offset of the end position in the subject
};

Result Library(std::string& subject, const char* pattern) {
    char* end = reinterpret_cast<char*>(0xBD);
    const int value = WildcardMatch(subject.data(), pattern, &end);
    return {value, end - subject.data()};
}

Result Reference(std::string subject, const char* pattern) {
    char* end = reinterpret_cast<char*>(0xBD);
    const int value = reference::WildcardMatch(subject.data(), pattern, &end);
    return {value, end - subject.data()};
}

// Pattern steps of the bounded matcher, counted.
struct CountSteps {
    size_t n = 0;
    void operator()(size_t k) { n += k; }
};

size_t StepsOf(const std::string& subject, const std::string& pattern) {
    CountSteps steps;
    const char* end = nullptr;
    tmc::wildcard::Match(subject.c_str(), pattern.c_str(), &end, steps);
    return steps.n;
}

std::string Printable(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c == '\r') out += "\\r";
        else if (c == '\n') out += "\\n";
        else if (c < 0x20 || c >= 0x7F) {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else out += static_cast<char>(c);
    }
    return out;
}

TEST(WildcardTest, ResultsValuesAndEnds) {
    struct Case { const char* pattern; const char* subject; int value; long end; };
    const Case kCases[] = {
        // Empty pattern, stars, and the character an inner star needs.
        {"", "", 1, 0}, {"", "a", 0, 0}, {"*", "", 1, 0}, {"*", "abc", 1, 0},
        {"*x", "", 0, 0}, {"abc*d", "abc", 0, 3}, {"a*", "a", 1, 1},
        {"a**", "a", 0, 1}, {"a**", "ab", 1, 1}, {"*x", "x", 1, 1},
        // The value: 1 + what the first inner star absorbed.
        {"*@*.*", "a@b.c", 2, 4}, {"*.example.com", "mail.example.com", 5, 16},
        {"*.example.com", "MAIL.EXAMPLE.COM", 5, 16}, {"*b*c", "aabxxc", 3, 6},
        {"*?x", "ab", 0, 2}, {"*a?", "xa", 2, 2}, {"*a?*b", "aza", 3, 3},
        // "?" takes anything but CR and LF, and ends the match at the end.
        {"X?Z", "xyz", 1, 3}, {"a?b", "a", 1, 1}, {"?x", "", 1, 0},
        {"a?c", "a\rc", 0, 1}, {"a?c", "a\nc", 0, 1}, {"*?", "a", 1, 1},
        // Classes: case counts, signed ranges, "-" and "]" as bounds.
        {"[a-c]x", "bx", 1, 2}, {"[A-D]x", "bx", 0, 0}, {"[^0-9]", "", 0, 0},
        {"[^0-9]", "5", 0, 0}, {"[^0-9]", "x", 1, 1}, {"[-a]", "a", 0, 0},
        {"[-a]", "-", 0, 0}, {"[a-]x", "x", 1, 1}, {"[a-]x", "ax", 0, 1},
        {"[\x80-\x7f]", "\xff", 1, 1}, {"[a-\xff]", "b", 0, 0}, {"[\xe9]", "\xc9", 0, 0},
        {"[]", "a", 0, 0}, {"[^]", "\r", 1, 1}, {"[^", "a", 1, 1}, {"[a-", "a", 1, 1},
        {"[a-c-e]", "d", 1, 1}, {"[*]", "*", 1, 1}, {"[*]", "a", 0, 0},
        // Backslash, "^", and literals.
        {"\\*", "*", 1, 1}, {"\\*", "x", 0, 0}, {"\\", "\\", 1, 1}, {"a\\", "a\\", 1, 2},
        {"\\a", "A", 1, 1}, {"\xe9", "\xc9", 0, 0}, {"^abc", "abc", 1, 3},
        {"*^abc*", "x\r\nabcd", 2, 6}, {"*^abc*", "xabcd", 0, 4}, {"^", "", 1, 0},
        {"a^b", "a\r\nb", 1, 4}, {"a^b", "ab", 0, 1}, {"^^a", "\r\na", 0, 0},
        {"a^", "a\r", 0, 1},
        // Negation gives exactly 0 or 1.
        {"!abc", "xyz", 1, 0}, {"!abc", "ABC", 0, 3}, {"!*b*", "abbb", 0, 2}, {"!", "", 0, 0},
        // Multi-line: each CR LF line on its own, the empty last one too.
        {"_b*", "a\r\nbc", 1, 4}, {"_b*", "a\r\nc", 0, 3}, {"_", "a\r\n", 1, 3},
        {"_", "a", 0, 0}, {"_^a", "b\r\na", 1, 4}, {"_*c", "ab\r\nxc", 2, 6},
        {"_a?", "b\r\na\rc", 0, 4}, {"__", "_", 1, 1}, {"_!", "!", 1, 1},
    };
    for (const Case& c : kCases) {
        std::string subject = c.subject;
        const std::string before = subject;
        const std::string label = "'" + Printable(c.pattern) + "' on '" + Printable(c.subject) + "'";
        const Result got = Library(subject, c.pattern);
        EXPECT_EQ(got.value, c.value) << label;
        EXPECT_EQ(got.end, c.end) << label;
        EXPECT_EQ(subject, before) << label;
        // The table itself agrees with the plain algorithm.
        const Result plain = Reference(c.subject, c.pattern);
        EXPECT_EQ(plain.value, c.value) << label << " (plain)";
        EXPECT_EQ(plain.end, c.end) << label << " (plain)";
    }
}

// Random patterns over the language's own characters with CR and LF, and
// subjects over letters, CR LF, the special characters and high bytes.
class RandomInputs {
public:
    explicit RandomInputs(unsigned seed) : rng_(seed) {}

    std::string Pattern(size_t maxLength) {
        static const char kChars[] = "**??[[]]^^\\-abA\r\n\xe9!_z";
        std::string p;
        const unsigned mode = Uniform(8);
        if (mode == 0) p += '!';
        if (mode == 1) p += '_';
        const size_t n = Uniform(static_cast<unsigned>(maxLength) + 1);
        for (size_t i = 0; i < n; ++i) p += kChars[Uniform(sizeof kChars - 1)];
        return p;
    }

    std::string Subject(size_t maxLength) {
        static const char kChars[] = "aaAbBz-^*[]\\\r\n\xe9\x80";
        std::string s;
        const size_t n = Uniform(static_cast<unsigned>(maxLength) + 1);
        while (s.size() < n) {
            if (Uniform(6) == 0) s += "\r\n";
            else s += kChars[Uniform(sizeof kChars - 1)];
        }
        return s;
    }

    unsigned Uniform(unsigned n) { return std::uniform_int_distribution<unsigned>(0, n - 1)(rng_); }

private:
    std::mt19937 rng_;
};

TEST(WildcardTest, SameAsThePlainAlgorithmOnRandomInputs) {
    struct Round { unsigned seed; int count; size_t subjectMax; size_t patternMax; };
    const Round kRounds[] = {
        {1, 120000, 10, 10},  // dense in specials: modes, classes, stars
        {2, 60000, 24, 8},    // longer subjects
        {3, 20000, 6, 24},    // long patterns, many stars
    };
    for (const Round& round : kRounds) {
        RandomInputs random(round.seed);
        int differences = 0, matches = 0;
        for (int i = 0; i < round.count && differences < 10; ++i) {
            const std::string pattern = random.Pattern(round.patternMax);
            std::string subject = random.Subject(round.subjectMax);
            const std::string before = subject;
            const Result plain = Reference(subject, pattern.c_str());
            const Result got = Library(subject, pattern.c_str());
            matches += plain.value != 0;
            if (got.value != plain.value || got.end != plain.end || subject != before) {
                ++differences;
                ADD_FAILURE() << "seed " << round.seed << " case " << i << ": '" << Printable(pattern)
                              << "' on '" << Printable(before) << "': value " << got.value << " end "
                              << got.end << ", the plain algorithm " << plain.value << " end " << plain.end;
            }
        }
        // Both outcomes are well represented, or the comparison proves little.
        EXPECT_GT(matches, round.count / 20) << "seed " << round.seed;
        EXPECT_LT(matches, round.count * 19 / 20) << "seed " << round.seed;
    }
}

TEST(WildcardTest, StepsStayWithinTheBound) {
    // (subject length + 1) x (pattern length + 1) pattern steps, on inputs
    // that make the plain algorithm explode and on random ones.
    struct Case { std::string pattern; std::string subject; };
    const std::string as(1000, 'a');
    const std::string lines = [] {
        std::string s;
        for (int i = 0; i < 200; ++i) s += "aaaa\r\n";
        return s;
    }();
    const Case kCases[] = {
        {"*a*a*a*a*a*b", std::string(160, 'a')}, {"*a*a*a*a*a*b", as},
        {"!*a*a*a*a*a*b", as}, {"_*a*a*a*a*a*b", lines},
        {"*[a-c]*[^x]*?*a*\\a*^*b", as}, {"*?*?*?*?*?*?*?*?*?*?*?*?*?*?*?*?*?*?*?*?b", as},
        {std::string(40, '*') + "b", as}, {"*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*", std::string(30, 'a')},
        {"*^*^*^*^b", [] { std::string s; for (int i = 0; i < 300; ++i) s += "\r\n"; return s; }()},
        // Short subjects, where each star's own steps count most.
        {"**********a", "b"}, {"****a", "b"}, {"*abc", ""}, {"*a*b*c*d", "a"},
    };
    for (const Case& c : kCases) {
        const size_t bound = (c.subject.size() + 1) * (c.pattern.size() + 1);
        EXPECT_LE(StepsOf(c.subject, c.pattern), bound) << c.pattern;
    }
    RandomInputs random(7);
    for (int i = 0; i < 20000; ++i) {
        const std::string pattern = random.Pattern(16);
        const std::string subject = random.Subject(40);
        const size_t bound = (subject.size() + 1) * (pattern.size() + 1);
        ASSERT_LE(StepsOf(subject, pattern), bound) << Printable(pattern) << " on " << Printable(subject);
    }
}

TEST(WildcardTest, DeepStarPatternsAndLongSubjects) {
    // More inner stars than the matcher keeps on its stack.
    struct Case { std::string pattern; std::string subject; };
    std::string deep;
    for (int i = 0; i < 20; ++i) deep += "*x";
    const Case kCases[] = {
        {deep + "y", std::string(20, 'x') + "y"},
        {deep + "y", std::string(18, 'x') + "y"},
        {deep, "a" + std::string(25, 'x')},
        {std::string(24, '*') + "?", "abc"},
        {"_" + deep, "xx\r\n" + std::string(21, 'x')},
    };
    for (const Case& c : kCases) {
        std::string subject = c.subject;
        const Result plain = Reference(c.subject, c.pattern.c_str());
        const Result got = Library(subject, c.pattern.c_str());
        EXPECT_EQ(got.value, plain.value) << c.pattern << " on " << c.subject;
        EXPECT_EQ(got.end, plain.end) << c.pattern << " on " << c.subject;
    }
    // A sender's megabyte against a pattern that would never finish the
    // plain way: the answer comes, and is right.
    std::string huge(1 << 20, 'a');
    EXPECT_EQ(Library(huge, "*a*a*a*a*a*b").value, 0);
    EXPECT_EQ(Library(huge, "*a*a*a*a*a*b").end, static_cast<long>(huge.size()));
    huge.back() = 'b';
    EXPECT_EQ(Library(huge, "*a*a*a*a*a*b").value, 1);
}

TEST(WildcardTest, InternalHelpersFollowTheAlgorithm) {
    struct Case { const char* pattern; const char* subject; long from; int scan; long end; };
    // ScanForMatch never tries the end of the subject itself, and leaves
    // `end` alone when it starts there.
    const Case kCases[] = {
        {"b", "aab", 0, 2, 3}, {"", "ab", 0, -1, 1}, {"x", "ab", 0, -1, 1},
        {"b", "ab", 2, -1, -1}, {"b?z", "ab", 0, 1, 2}, {"*", "ab", 1, 0, 1},
    };
    for (const Case& c : kCases) {
        std::string subject = c.subject;
        char* start = subject.data();
        char* sentinel = reinterpret_cast<char*>(0xBD);
        char* end = sentinel;
        const int got = tmc::ScanForMatch(start + c.from, c.pattern, &end, start, start + subject.size());
        EXPECT_EQ(got, c.scan) << c.pattern << " on " << c.subject;
        EXPECT_EQ(end == sentinel ? -1 : end - start, c.end) << c.pattern << " on " << c.subject;
    }
    // MatchPattern over part of a subject: the line ends where it is told.
    std::string text = "ab\r\ncd";
    char* end = nullptr;
    EXPECT_EQ(tmc::MatchPattern(text.data(), "*b", &end, text.data(), text.data() + 2), 2);
    EXPECT_EQ(end, text.data() + 2);
    EXPECT_EQ(tmc::MatchPattern(text.data() + 4, "^cd", &end, text.data() + 4, text.data() + 6), 1);
}

TEST(WildcardTest, NullArgumentsDoNotMatch) {
    char subject[] = "abc";
    EXPECT_EQ(WildcardMatch(subject, "abc", nullptr), 1);  // end may be left out
    char* end = nullptr;
    EXPECT_EQ(WildcardMatch(nullptr, "*", &end), 0);
    EXPECT_EQ(WildcardMatch(subject, nullptr, &end), 0);
    EXPECT_EQ(WildcardMatch(nullptr, "!x", &end), 0);
}

TEST(WildcardTest, NeverWritesTheSubjectNorReadsPastEitherString) {
    tmtest::GuardedText subjects, patterns;
    struct Case { const char* pattern; const char* subject; int value; };
    const Case kCases[] = {
        {"_b*", "a\r\nbc", 1}, {"_b", "a\r\nb\r\n", 1}, {"_", "a\r\n", 1}, {"*^abc*", "x\r\nabc", 2},
        {"!a^", "a\r", 1}, {"[a-", "a", 1}, {"[^", "\r", 1}, {"a\\", "a\\", 1}, {"*?", "ab", 2},
        {"!*[", "x", 1}, {"*@*.*", "a@b.c", 2},
    };
    for (const Case& c : kCases) {
        char* subject = subjects.Place(c.subject);
        const char* pattern = patterns.Place(c.pattern);
        char* end = nullptr;
        EXPECT_EQ(WildcardMatch(subject, pattern, &end), c.value) << c.pattern << " on " << Printable(c.subject);
    }
}

}  // namespace
