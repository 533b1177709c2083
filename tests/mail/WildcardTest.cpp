//===-- tests/mail/WildcardTest.cpp - The bounded wildcard matcher --------===//
#include <gtest/gtest.h>

#include "mail/GuardedText.h"
#include "../../fuzz/support/ReferenceMatcher.h"
#include "mail/Wildcard.h"
#include "tmcommon.h"

namespace {

using ::testing::PrintToString;

struct Result {
    int value;
    long end;  // offset of the end position in the subject; -1: the subject was changed
    bool operator==(const Result&) const = default;
};
void PrintTo(const Result& r, std::ostream* os) { *os << "value " << r.value << " end " << r.end; }

template <class Matcher>
Result Run(Matcher match, std::string subject, const std::string& pattern) {
    const std::string before = subject;
    char* end = reinterpret_cast<char*>(0xBD);
    const int value = match(subject.data(), pattern.c_str(), &end);
    return {value, subject == before ? end - subject.data() : -1};
}
Result Library(const std::string& s, const std::string& p) { return Run(WildcardMatch, s, p); }
Result Plain(const std::string& s, const std::string& p) { return Run(reference::WildcardMatch, s, p); }

TEST(WildcardTest, ResultsValuesAndEnds) {
    struct Case { const char* pattern; const char* subject; Result want; };
    const Case kCases[] = {
        // Empty pattern, stars, and the character an inner star needs.
        {"", "", {1, 0}}, {"", "a", {0, 0}}, {"*", "", {1, 0}}, {"*", "abc", {1, 0}}, {"*x", "", {0, 0}},
        {"abc*d", "abc", {0, 3}}, {"a**", "a", {0, 1}}, {"a**", "ab", {1, 1}}, {"*x", "x", {1, 1}},
        // The value: 1 + what the first inner star absorbed.
        {"*@*.*", "a@b.c", {2, 4}}, {"*.example.com", "MAIL.EXAMPLE.COM", {5, 16}}, {"*b*c", "aabxxc", {3, 6}},
        {"*?x", "ab", {0, 2}}, {"*a?*b", "aza", {3, 3}},
        // "?" takes anything but CR and LF, and ends the match at the end.
        {"X?Z", "xyz", {1, 3}}, {"a?b", "a", {1, 1}}, {"a?c", "a\rc", {0, 1}}, {"a?c", "a\nc", {0, 1}},
        // Classes: case counts, signed ranges, "-" and "]" as bounds.
        {"[a-c]x", "bx", {1, 2}}, {"[A-D]x", "bx", {0, 0}}, {"[^0-9]", "", {0, 0}}, {"[^0-9]", "5", {0, 0}},
        {"[-a]", "a", {0, 0}}, {"[a-]x", "x", {1, 1}}, {"[a-]x", "ax", {0, 1}}, {"[\x80-\x7f]", "\xff", {1, 1}},
        {"[a-\xff]", "b", {0, 0}}, {"[\xe9]", "\xc9", {0, 0}}, {"[^]", "\r", {1, 1}}, {"[^", "a", {1, 1}},
        {"[a-", "a", {1, 1}}, {"[a-c-e]", "d", {1, 1}}, {"[*]", "a", {0, 0}},
        // Backslash, "^", literals.
        {"\\*", "*", {1, 1}}, {"\\*", "x", {0, 0}}, {"a\\", "a\\", {1, 2}}, {"\xe9", "\xc9", {0, 0}},
        {"^abc", "abc", {1, 3}}, {"*^abc*", "x\r\nabcd", {2, 6}}, {"*^abc*", "xabcd", {0, 4}},
        {"a^b", "ab", {0, 1}}, {"^^a", "\r\na", {0, 0}}, {"a^", "a\r", {0, 1}},
        // Negation gives exactly 0 or 1.
        {"!abc", "xyz", {1, 0}}, {"!abc", "ABC", {0, 3}}, {"!*b*", "abbb", {0, 2}},
        // Multi-line: each CR LF line on its own, the empty last one too.
        {"_b*", "a\r\nbc", {1, 4}}, {"_b*", "a\r\nc", {0, 3}}, {"_", "a\r\n", {1, 3}}, {"_", "a", {0, 0}},
        {"_^a", "b\r\na", {1, 4}}, {"_*c", "ab\r\nxc", {2, 6}}, {"_a?", "b\r\na\rc", {0, 4}}, {"_!", "!", {1, 1}},
    };
    for (const Case& c : kCases) {
        const std::string label = PrintToString(c.pattern) + " on " + PrintToString(c.subject);
        EXPECT_EQ(Library(c.subject, c.pattern), c.want) << label;
        EXPECT_EQ(Plain(c.subject, c.pattern), c.want) << label << " (the plain algorithm)";
    }
    char subject[] = "abc", *end = nullptr;
    EXPECT_EQ(WildcardMatch(subject, "abc", nullptr), 1);  // end may be left out
    EXPECT_EQ(WildcardMatch(nullptr, "!x", &end), 0);
    EXPECT_EQ(WildcardMatch(subject, nullptr, &end), 0);
}

TEST(WildcardTest, StepsStayWithinTheBound) {
    auto within = [](const std::string& subject, const std::string& pattern) {
        struct CountSteps {
            size_t n = 0;
            void operator()(size_t k) { n += k; }
        } steps;
        const char* end = nullptr;
        tmc::wildcard::Match(subject.c_str(), pattern.c_str(), &end, steps);
        return steps.n <= (subject.size() + 1) * (pattern.size() + 1);
    };
    // Inputs that make the plain algorithm explode, and short subjects,
    // where each star's own steps count most.
    std::string as(1000, 'a'), crlfs;
    for (int i = 0; i < 200; ++i) crlfs += "aa\r\n";
    const std::pair<std::string, std::string> kCases[] = {
        {"*a*a*a*a*a*b", as}, {"!*a*a*a*a*a*b", as}, {"_*a*a*a*a*a*b", crlfs}, {"*[a-c]*[^x]*?*a*\\a*^*b", as},
        {"*?*?*?*?*?*?*?*?*?*?*?*?*?*?*?*?*?*?*?*?b", as}, {std::string(40, '*') + "b", as},
        {"*^*^*^*^b", crlfs}, {"**********a", "b"}, {"****a", "b"}, {"*abc", ""}, {"*a*b*c*d", "a"},
    };
    for (const auto& [pattern, subject] : kCases) EXPECT_TRUE(within(subject, pattern)) << pattern;
}

TEST(WildcardTest, DeepPatternsAndLongSubjects) {
    // More inner stars than the matcher keeps on its stack.
    std::string deep;
    for (int i = 0; i < 20; ++i) deep += "*x";
    const std::pair<std::string, std::string> kCases[] = {
        {deep + "y", std::string(20, 'x') + "y"}, {deep + "y", std::string(18, 'x') + "y"},
        {deep, "a" + std::string(25, 'x')}, {std::string(24, '*') + "?", "abc"}, {"_" + deep, "xx\r\n" + std::string(21, 'x')},
    };
    for (const auto& [pattern, subject] : kCases) EXPECT_EQ(Library(subject, pattern), Plain(subject, pattern)) << pattern;
    // A sender's megabyte against a pattern the plain way would never finish.
    std::string huge(1 << 20, 'a');
    EXPECT_EQ(Library(huge, "*a*a*a*a*a*b"), (Result{0, 1 << 20}));
    huge.back() = 'b';
    EXPECT_EQ(Library(huge, "*a*a*a*a*a*b").value, 1);
}

TEST(WildcardTest, NeverWritesTheSubjectNorReadsPastEitherString) {
    // A fault would be trapped and the match fail: each case expects success.
    tmtest::GuardedText subjects, patterns;
    const std::pair<const char*, const char*> kCases[] = {
        {"_b*", "a\r\nbc"}, {"_b", "a\r\nb\r\n"}, {"_", "a\r\n"}, {"*^abc*", "x\r\nabc"}, {"!a^", "a\r"},
        {"[a-", "a"}, {"[^", "\r"}, {"a\\", "a\\"}, {"*?", "ab"}, {"!*[", "x"}, {"*@*.*", "a@b.c"},
    };
    for (const auto& [pattern, subject] : kCases) {
        char* end = nullptr;
        EXPECT_NE(WildcardMatch(subjects.Place(subject), patterns.Place(pattern), &end), 0) << pattern;
    }
}

}  // namespace
