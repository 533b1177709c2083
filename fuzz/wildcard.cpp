//===-- fuzz/wildcard.cpp - The bounded matcher against the plain one -----===//
//
// Input: pattern, a zero byte, subject. Both matchers must give the same
// result, result value and end position, and leave the subject as it was.
// Inputs are kept short: the plain algorithm's cost grows like the subject
// length to the power of the number of stars.
//===----------------------------------------------------------------------===//
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tests/mail/ReferenceMatcher.h"
#include "tmcommon.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    const char* zero = static_cast<const char*>(memchr(text, 0, size));
    if (!zero) return 0;
    std::string pattern(text, zero);
    std::string subject(zero + 1, text + size);
    subject.resize(strnlen(subject.c_str(), subject.size()));
    if (pattern.size() > 24 || subject.size() > 24) return 0;
    size_t stars = 0;
    for (char c : pattern) stars += c == '*';
    if (stars > 6) return 0;

    std::string plainSubject = subject;
    char* plainEnd = nullptr;
    const int plain = reference::WildcardMatch(plainSubject.data(), pattern.c_str(), &plainEnd);
    std::string ourSubject = subject;
    char* ourEnd = nullptr;
    const int ours = WildcardMatch(ourSubject.data(), pattern.c_str(), &ourEnd);
    if (ours != plain || ourEnd - ourSubject.data() != plainEnd - plainSubject.data() || ourSubject != subject) abort();
    return 0;
}
