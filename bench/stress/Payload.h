//===-- bench/stress/Payload.h - Values and lines that prove wholeness ----===//
//
// What the crash and soak workers write, made so that a reader can tell a
// whole write from a torn, mixed or lost one:
//
//   registry values  1 byte to 96 KiB, a function of (writer, slot,
//                    sequence number). From 16 bytes on they open with a
//                    header: length, sequence number, writer and slot,
//                    and a checksum of everything else, so that a value
//                    also proves itself whole without knowing which write
//                    it came from.
//   log texts        "TAG N filler TAG N": the tag and number at both ends
//                    and a filler whose length and letters follow from N,
//                    so a cut or glued line never reads as a whole one.
//
// Header-only; used by the helper programs and by the tests that read what
// they wrote.
//===----------------------------------------------------------------------===//
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace tmtest::payload {

constexpr size_t kMaxValue = 96 * 1024;
constexpr size_t kHeader = 16;

inline uint64_t Mix(uint64_t x) {
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    x ^= x >> 33;
    x *= 0xc4ceb9fe1a85ec53ULL;
    x ^= x >> 33;
    return x;
}

inline uint32_t Checksum(const unsigned char* p, size_t n) {
    uint32_t h = 2166136261u;
    for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 16777619u;
    return h;
}

inline void Put32(unsigned char* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

inline uint32_t Get32(const unsigned char* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// A third of the values are under 16 bytes, a third under 4 KiB (one
// page), a third up to 96 KiB (many pages, and overflow pages in SQLite).
inline size_t ValueLength(uint32_t writer, uint32_t slot, uint32_t seq) {
    uint64_t r = Mix((uint64_t(writer) << 56) ^ (uint64_t(slot) << 40) ^ seq ^ 0x5bd1e995);
    switch (r % 3) {
        case 0: return 1 + (r >> 8) % (kHeader - 1);
        case 1: return kHeader + (r >> 8) % (4096 - kHeader);
        default: return 4096 + (r >> 8) % (kMaxValue - 4096 + 1);
    }
}

inline std::string MakeValue(uint32_t writer, uint32_t slot, uint32_t seq) {
    const size_t n = ValueLength(writer, slot, seq);
    std::string v(n, '\0');
    unsigned char* p = reinterpret_cast<unsigned char*>(v.data());
    uint64_t state = Mix((uint64_t(writer) << 48) ^ (uint64_t(slot) << 32) ^ seq) | 1;
    for (size_t i = 0; i < n; ++i) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        p[i] = static_cast<unsigned char>(state);
    }
    if (n >= kHeader) {
        Put32(p, static_cast<uint32_t>(n));
        Put32(p + 4, seq);
        Put32(p + 8, writer << 16 | (slot & 0xFFFF));
        Put32(p + 12, Checksum(p + kHeader, n - kHeader) ^ static_cast<uint32_t>(n) ^ seq);
    }
    return v;
}

// True when a value of 16 bytes or more is whole by its own header.
inline bool SelfConsistent(const std::string& v) {
    if (v.size() < kHeader) return false;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(v.data());
    uint32_t n = Get32(p), seq = Get32(p + 4);
    return n == v.size() && Get32(p + 12) == (Checksum(p + kHeader, n - kHeader) ^ n ^ seq);
}

// The text of log line N of a tag: 20 to 1000 characters. Lines of more
// than 1023 characters would be cut by the event log itself.
inline std::string LogText(const std::string& tag, uint64_t n) {
    uint64_t r = Mix(n * 0x9E3779B97F4A7C15ULL + tag.size());
    size_t fill = 1 + r % 960;
    std::string filler(fill, static_cast<char>('a' + (r >> 16) % 26));
    for (size_t i = 7; i < fill; i += 8) filler[i] = static_cast<char>('0' + (i / 8 + n) % 10);
    return tag + " " + std::to_string(n) + " " + filler + " " + tag + " " + std::to_string(n);
}

// Reads "TAG N ..." back: the tag and number a text claims, and whether
// the text is exactly LogText of them.
inline bool ParseLogText(const std::string& text, std::string* tag, uint64_t* n) {
    size_t space = text.find(' ');
    if (space == std::string::npos || space == 0) return false;
    *tag = text.substr(0, space);
    char* end = nullptr;
    *n = strtoull(text.c_str() + space + 1, &end, 10);
    if (end == text.c_str() + space + 1 || *end != ' ') return false;
    return text == LogText(*tag, *n);
}

}  // namespace tmtest::payload
