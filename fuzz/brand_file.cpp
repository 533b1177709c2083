//===-- fuzz/brand_file.cpp - The scrambler and the brand.inf reader ------===//
//
// Input: one byte n, then a key of up to n bytes, then text.
//   - CConnMaker with that key (up to its first zero byte): Make and
//     Unmake of the text give what the plain algorithm gives, Unmake of
//     Make gives the text back (up to its first zero byte), and an empty
//     key gives empty results.
//   - COEM reads the whole input as the sandbox's brand.inf and holds what
//     a plain reader finds: the file's runs of non-blank bytes are its
//     lines, each cut to 259 bytes and unscrambled with "quillfeather";
//     lines 1-3 the strings, line 4 the number, the rest the list; loaded
//     when there are four lines.
//
//   build/fuzz/fuzz/fuzz_brand_file -dict=fuzz/dict/brand_file.dict fuzz/corpus/brand_file
//===----------------------------------------------------------------------===//
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/support/FuzzSupport.h"
#include "tmcommon.h"

namespace {

std::string PlainMake(const std::string& key, const std::string& text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    size_t i = 0;
    for (unsigned char c : text) {
        const unsigned char k0 = key[i], k1 = key[(i + 1) % key.size()];
        const unsigned char e = static_cast<unsigned char>((k0 + c) % 256) ^ k1;
        out += kHex[e >> 4];
        out += kHex[e & 15];
        i = (i + 2) % key.size();
    }
    return out;
}

// Digits as d - 0x30 when decimal, d - 0x37 otherwise; the pair's value
// cut to a byte; an unpaired last character ignored. The result as a C
// string reads it: up to its first zero byte.
std::string PlainUnmake(const std::string& key, const std::string& text) {
    auto value = [](unsigned char d) { return isdigit(d) ? d - 0x30 : d - 0x37; };
    std::string out;
    size_t i = 0;
    for (size_t k = 0; k + 1 < text.size(); k += 2) {
        const unsigned char b = static_cast<unsigned char>(16 * value(text[k]) + value(text[k + 1]));
        const unsigned char k0 = key[i], k1 = key[(i + 1) % key.size()];
        out += static_cast<char>(static_cast<unsigned char>((b ^ k1) - k0));
        i = (i + 2) % key.size();
    }
    return out.c_str();
}

struct Brand {
    std::string brand[3];
    int number = 0;
    std::vector<std::string> lines;
    bool loaded = false;
};

Brand PlainBrand(const std::string& file) {
    std::vector<std::string> tokens;
    for (size_t at = 0;;) {
        while (at < file.size() && isspace(static_cast<unsigned char>(file[at]))) ++at;
        if (at == file.size()) break;
        size_t end = at;
        while (end < file.size() && !isspace(static_cast<unsigned char>(file[end]))) ++end;
        // As "%259s" reads it into its buffer, and a C string then sees it.
        tokens.push_back(file.substr(at, std::min<size_t>(end - at, 259)).c_str());
        at = end;
    }
    Brand b;
    for (size_t i = 0; i < tokens.size(); ++i) {
        const std::string text = PlainUnmake("quillfeather", tokens[i]);
        if (i < 3) {
            b.brand[i] = text;
        } else if (i == 3) {
            errno = 0;
            char* end = nullptr;
            const long long v = strtoll(text.c_str(), &end, 10);
            if (end != text.c_str() && errno != ERANGE && v >= INT_MIN && v <= INT_MAX) b.number = static_cast<int>(v);
        } else {
            b.lines.push_back(text);
        }
    }
    b.loaded = tokens.size() >= 4;
    return b;
}

}  // namespace

void tmfuzz::FuzzOne(const uint8_t* data, size_t size) {
    if (size == 0) return;
    const size_t keyLength = std::min<size_t>(data[0], size - 1);
    const std::string key = UpToZero(data + 1, keyLength);
    const std::string text = UpToZero(data + 1 + keyLength, size - 1 - keyLength);

    CConnMaker maker(Text(key).get());
    const std::string scrambled = maker.Make(Text(text).get());
    const std::string back = maker.Unmake(Text(scrambled).get());
    const std::string raw = maker.Unmake(Text(text).get());
    if (key.empty()) {
        Check(scrambled.empty() && back.empty() && raw.empty(), "an empty key gave a result");
    } else {
        Check(scrambled == PlainMake(key, text), "Make differs from the plain algorithm");
        Check(back == text, "Unmake of Make does not give the text back");
        Check(raw == PlainUnmake(key, text), "Unmake differs from the plain algorithm");
    }

    const std::string file(reinterpret_cast<const char*>(data), size);
    const std::string path = SandboxDir() + "/brand.inf";
    FILE* fp = fopen(path.c_str(), "wb");
    if (!fp || fwrite(file.data(), 1, file.size(), fp) != file.size() || fclose(fp) != 0) Fail("cannot write brand.inf");
    const COEM brand(SandboxDir().c_str());
    const Brand plain = PlainBrand(file);
    Check(std::string(brand.m_cszBrand1) == plain.brand[0] && std::string(brand.m_cszBrand2) == plain.brand[1] &&
              std::string(brand.m_cszBrand3) == plain.brand[2],
          "COEM's strings differ from the plain reader's");
    Check(brand.m_nBrandNumber == plain.number, "COEM's number differs from the plain reader's");
    Check(brand.m_csaBrandLines.GetSize() == static_cast<int>(plain.lines.size()), "COEM's list differs from the plain reader's");
    for (int i = 0; i < brand.m_csaBrandLines.GetSize(); ++i) {
        Check(std::string(brand.m_csaBrandLines[i]) == plain.lines[i], "COEM's list differs from the plain reader's");
    }
    Check((brand.m_bLoaded != 0) == plain.loaded, "COEM's loaded flag differs from the plain reader's");
}
