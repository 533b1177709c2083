//===-- fuzz/support/CodecsReference.h - The codecs a character at a time -===//
//
// A plain implementation of the base64 and uuencode algorithms, step by
// step and byte by byte, without tables or blocks: the yardstick that the
// library's bulk loops are held to by the tests and the fuzz target.
//===----------------------------------------------------------------------===//
#pragma once

#include <cstring>
#include <string>
#include <vector>

namespace tmref {

inline const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// A character's base64 value, or -1 for every other byte ('=' included).
inline int Value(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// Group by group; the bytes missing from a final group count as zero.
inline std::string Encode(const unsigned char* src, size_t n) {
    std::string out;
    for (size_t i = 0; i < n; i += 3) {
        unsigned b0 = src[i], b1 = i + 1 < n ? src[i + 1] : 0, b2 = i + 2 < n ? src[i + 2] : 0;
        out += kAlphabet[b0 >> 2];
        out += kAlphabet[(b0 & 3) << 4 | b1 >> 4];
        out += i + 1 < n ? kAlphabet[(b1 & 15) << 2 | b2 >> 6] : '=';
        out += i + 2 < n ? kAlphabet[b2 & 63] : '=';
    }
    return out;
}

inline std::string Encode(const std::string& bytes) {
    return Encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

// What MimeEncode writes for a file's content: 48 bytes a line, each line
// ended by "\n".
inline std::string EncodeLines(const std::string& bytes) {
    std::string out;
    for (size_t at = 0; at < bytes.size(); at += 48) out += Encode(bytes.substr(at, 48)) + "\n";
    return out;
}

// Four values at a time, each found by skipping invalid characters; the
// first missing value ends the decoding.
inline int DecodeLine(const char* text, unsigned char* out) {
    size_t len = strlen(text), i = 0;
    int count = 0;
    for (;;) {
        int v[4];
        for (int& value : v) {
            value = -1;
            while (i < len && value < 0) value = Value(static_cast<unsigned char>(text[i++]));
        }
        if (v[0] < 0 || v[1] < 0) break;
        out[count++] = static_cast<unsigned char>(v[0] * 4 + v[1] / 16);
        if (v[2] < 0) break;
        out[count++] = static_cast<unsigned char>(v[1] * 16 + v[2] / 4);
        if (v[3] < 0) break;
        out[count++] = static_cast<unsigned char>(v[2] * 64 + v[3]);
    }
    out[count] = '\0';
    return count;
}

// Valid characters of carry and line joined; the last (count mod 4) go
// back to the carry, the rest is decoded.
inline int DecodeLineEx(const char* line, unsigned char* out, char* carry) {
    std::string work;
    for (const char* p : {static_cast<const char*>(carry), line}) {
        for (; *p; ++p) {
            if (Value(static_cast<unsigned char>(*p)) >= 0) work += *p;
        }
    }
    size_t rest = work.size() % 4;
    strcpy(carry, work.substr(work.size() - rest).c_str());
    work.resize(work.size() - rest);
    return DecodeLine(work.c_str(), out);
}

// White space as isspace has it in the "C" locale.
inline bool IsSpace(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

inline int UUDecodeLine(const char* line, unsigned char* out) {
    const char* p = line;
    while (IsSpace(static_cast<unsigned char>(*p))) ++p;
    if (*p == '\0') return 0;
    if (strcmp(p, "end\r\n") == 0) return 0;
    int n = static_cast<signed char>(*p) - 32;
    if (n < 1 || n == 64) n = 0;
    ++p;
    int written = 0;
    while (written < n) {
        for (int k = 0; k < 4; ++k) {
            if (p[k] == '\0') return 0;
        }
        unsigned char c0 = static_cast<unsigned char>(p[0] - 32), c1 = static_cast<unsigned char>(p[1] - 32);
        unsigned char c2 = static_cast<unsigned char>(p[2] - 32), c3 = static_cast<unsigned char>(p[3] - 32);
        p += 4;
        if (c0 > 64 || c1 > 64) break;
        out[written++] = static_cast<unsigned char>(c0 * 4 + (c1 & 63) / 16);
        if (written == n) break;
        if (c2 > 64) break;
        out[written++] = static_cast<unsigned char>((c1 & 63) * 16 + (c2 & 63) / 4);
        if (written == n) break;
        if (c3 > 64) break;
        out[written++] = static_cast<unsigned char>((c2 & 63) * 64 + (c3 & 63));
    }
    if (written < n) return 0;
    while (IsSpace(static_cast<unsigned char>(*p))) ++p;
    return *p == '\0' ? n : 0;
}

// A uuencoded line for up to 63 bytes: the length character, then groups
// of four; zero values as the grave accent or as the space.
inline std::string UUEncodeLine(const std::string& bytes, bool graveForZero) {
    auto ch = [&](unsigned v) { return static_cast<char>(v == 0 && graveForZero ? '`' : v + 32); };
    std::string line(1, ch(static_cast<unsigned>(bytes.size())));
    for (size_t i = 0; i < bytes.size(); i += 3) {
        unsigned b0 = static_cast<unsigned char>(bytes[i]);
        unsigned b1 = i + 1 < bytes.size() ? static_cast<unsigned char>(bytes[i + 1]) : 0;
        unsigned b2 = i + 2 < bytes.size() ? static_cast<unsigned char>(bytes[i + 2]) : 0;
        line += ch(b0 >> 2);
        line += ch((b0 & 3) << 4 | b1 >> 4);
        line += ch((b1 & 15) << 2 | b2 >> 6);
        line += ch(b2 & 63);
    }
    return line;
}

}  // namespace tmref
