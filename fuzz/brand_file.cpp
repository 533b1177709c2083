//===-- fuzz/brand_file.cpp - The scrambler and the brand.inf reader ------===//
//
// Input: one byte n, then a key of up to n bytes, then text. Checks that
// Make then Unmake gives the text back (up to its first zero byte), that
// Unmake of the raw text never writes past its result, and that COEM
// reads the whole input as a brand.inf without overrunning its line
// buffer. Build with the "fuzz" preset; run
//   build/fuzz/fuzz/fuzz_brand_file -max_total_time=60
//===----------------------------------------------------------------------===//
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tmcommon.h"

namespace {

const std::string& FuzzDir() {
    static const std::string dir = [] {
        char templ[] = "/tmp/tmfuzz.XXXXXX";
        const char* made = mkdtemp(templ);
        if (!made) abort();
        return std::string(made);
    }();
    return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    size_t keyLength = std::min<size_t>(data[0], size - 1);
    std::string key(reinterpret_cast<const char*>(data + 1), keyLength);
    std::string text(reinterpret_cast<const char*>(data + 1 + keyLength), size - 1 - keyLength);
    key = key.c_str();  // as a C string: up to the first zero byte
    std::string plain = text.c_str();

    CConnMaker maker(key.c_str());
    std::string scrambled = maker.Make(plain.c_str());
    std::string back = maker.Unmake(scrambled.c_str());
    if (!key.empty() && back != plain) abort();
    if (key.empty() && (!scrambled.empty() || !back.empty())) abort();
    maker.Unmake(plain.c_str());

    std::string path = FuzzDir() + "/brand.inf";
    FILE* fp = fopen(path.c_str(), "wb");
    if (!fp) return 0;
    fwrite(data, 1, size, fp);
    fclose(fp);
    COEM brand(FuzzDir().c_str());
    if (brand.m_cszBrand1.GetLength() > 129 || brand.m_cszBrand2.GetLength() > 129 ||
        brand.m_cszBrand3.GetLength() > 129) {
        abort();
    }
    for (int i = 0; i < brand.m_csaBrandLines.GetSize(); ++i) {
        if (brand.m_csaBrandLines[i].GetLength() > 129) abort();
    }
    return 0;
}
