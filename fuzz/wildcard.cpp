//===-- fuzz/wildcard.cpp - The bounded matcher against the plain one -----===//
//
// Input: a mode byte, the pattern, a zero byte, the subject. The mode puts
// "!" (negation) or "_" (multi-line) in front of the pattern, or leaves it
// as it is (mode characters may then come from the input itself).
//
// Every input: the library's matcher, with subject and pattern in blocks
// of exactly their size, leaves the subject as it was and stays within
// its bound of (subject length + 1) x (pattern length + 1) pattern steps.
// Inputs the plain algorithm can afford (its cost grows like the subject
// length to the power of the number of stars): result, result value and
// end position are those of the plain algorithm.
//
//   build/fuzz/fuzz/fuzz_wildcard -dict=fuzz/dict/wildcard.dict fuzz/corpus/wildcard
//===----------------------------------------------------------------------===//
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz/support/FuzzSupport.h"
#include "mail/Wildcard.h"
#include "fuzz/support/ReferenceMatcher.h"
#include "tmcommon.h"

namespace {

struct CountSteps {
    size_t n = 0;
    void operator()(size_t k) { n += k; }
};

// Whether the plain algorithm's trials, about (subject + 1) to the power
// of the stars, stay below a bound that keeps a run short.
bool PlainCanAfford(const std::string& pattern, size_t subjectLength) {
    double trials = 1;
    for (char c : pattern) {
        if (c == '*' && (trials *= static_cast<double>(subjectLength + 1)) > 2e5) return false;
    }
    return pattern.size() <= 64 && subjectLength <= 64;
}

}  // namespace

void tmfuzz::FuzzOne(const uint8_t* data, size_t size) {
    if (size < 2) return;
    const char* text = reinterpret_cast<const char*>(data + 1);
    const char* zero = static_cast<const char*>(memchr(text, 0, size - 1));
    if (!zero) return;
    static const char* const kModes[] = {"", "!", "_"};
    const std::string pattern = kModes[data[0] % 3] + std::string(text, zero);
    const std::string subject = UpToZero(zero + 1, text + size - 1 - (zero + 1));

    Text ours(subject), ourPattern(pattern);
    char* ourEnd = nullptr;
    const int result = WildcardMatch(ours.get(), ourPattern.get(), &ourEnd);
    Check(ours.bytes() == Text(subject).bytes(), "the matcher changed the subject");
    Check(ourEnd >= ours.get() && ourEnd <= ours.get() + ours.length(), "end lies outside the subject");

    CountSteps steps;
    const char* engineEnd = nullptr;
    const int engine = tmc::wildcard::Match(ours.get(), ourPattern.get(), &engineEnd, steps);
    Check(engine == result && engineEnd == ourEnd, "WildcardMatch and its engine disagree");
    Check(steps.n <= (subject.size() + 1) * (pattern.size() + 1), "more pattern steps than the bound");

    if (!PlainCanAfford(pattern, subject.size())) return;
    std::string plainSubject = subject;
    char* plainEnd = nullptr;
    const int plain = reference::WildcardMatch(plainSubject.data(), pattern.c_str(), &plainEnd);
    Check(result == plain, "result differs from the plain algorithm");
    Check(ourEnd - ours.get() == plainEnd - plainSubject.data(), "end differs from the plain algorithm");
}
