//===-- tests/reliability/Payload.h - Values and lines that prove wholeness -===//
//
// What the crash and soak workers write, made so that a reader can tell a
// whole write from a torn, mixed or lost one:
//
//   registry values  1 byte to 96 KiB, a function of (writer, slot,
//                    sequence number): one write's value is no other's.
//   log texts        "TAG N filler TAG N": the tag and number at both ends
//                    and a filler whose length and letters follow from N,
//                    so a cut or glued line never reads as a whole one.
//
// Header-only; used by the helper programs and by the tests that read what
// they wrote.
//===----------------------------------------------------------------------===//
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>

namespace tmtest::payload {

constexpr size_t kMaxValue = 96 * 1024;

inline uint64_t Mix(uint64_t x) {
    x = (x ^ (x >> 33)) * 0xff51afd7ed558ccdULL;
    x = (x ^ (x >> 33)) * 0xc4ceb9fe1a85ec53ULL;
    return x ^ (x >> 33);
}

// A third of the values under 16 bytes, a third within one 4 KiB page, a
// third up to 96 KiB (many pages, and overflow pages in SQLite).
inline std::string MakeValue(uint32_t writer, uint32_t slot, uint32_t seq) {
    uint64_t state = Mix((uint64_t(writer) << 48) ^ (uint64_t(slot) << 32) ^ seq) | 1;
    const size_t sizes[] = {16, 4096, kMaxValue + 1};
    std::string v(1 + (state >> 8) % (sizes[state % 3] - 1), '\0');
    for (char& c : v) c = static_cast<char>(state = Mix(state));
    return v;
}

// The text of log line N of a tag: 20 to 1000 characters, under the 1023
// at which the event log cuts a line.
inline std::string LogText(const std::string& tag, uint64_t n) {
    uint64_t r = Mix(n * 0x9E3779B97F4A7C15ULL + tag.size());
    std::string filler(1 + r % 960, static_cast<char>('a' + (r >> 16) % 26));
    for (size_t i = 7; i < filler.size(); i += 8) filler[i] = static_cast<char>('0' + (i / 8 + n) % 10);
    return tag + " " + std::to_string(n) + " " + filler + " " + tag + " " + std::to_string(n);
}

// Reads "TAG N ..." back: true when the text is exactly LogText of the tag
// and number it claims.
inline bool ParseLogText(const std::string& text, std::string* tag, uint64_t* n) {
    size_t space = text.find(' ');
    if (space == std::string::npos || space == 0) return false;
    *tag = text.substr(0, space);
    *n = strtoull(text.c_str() + space + 1, nullptr, 10);
    return text == LogText(*tag, *n);
}

}  // namespace tmtest::payload
