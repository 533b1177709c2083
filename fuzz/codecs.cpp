//===-- fuzz/codecs.cpp - The codecs against the plain reference ----------===//
//
// Any input, as base64 text and as a uuencoded line, through each set of
// block loops this machine runs: counts, output bytes and carries must be
// those of the character-at-a-time reference, and encoding the decoded
// bytes must decode back to them.
// Run: build/fuzz/fuzz/fuzz_codecs -max_len=4096
//===----------------------------------------------------------------------===//
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "mail/CodecKernels.h"
#include "tests/mail/CodecsReference.h"
#include "tmcommon.h"

namespace {

void Check(bool ok) {
    if (!ok) abort();
}

void RunOnce(const std::string& text, size_t split) {
    std::vector<unsigned char> ref(text.size() + 8), out(text.size() + 8);
    int count = tmref::DecodeLine(text.c_str(), ref.data());
    Check(MimeDecodeLine(text.c_str(), out.data()) == count);
    Check(memcmp(ref.data(), out.data(), count + 1) == 0);

    // Two lines through the carry.
    std::string first = text.substr(0, split), second = text.substr(split);
    char carry[8] = "", refCarry[8] = "";
    for (const std::string* line : {&first, &second}) {
        int refCount = tmref::DecodeLineEx(line->c_str(), ref.data(), refCarry);
        Check(MimeDecodeLineEx(line->c_str(), out.data(), carry) == refCount);
        Check(memcmp(ref.data(), out.data(), refCount + 1) == 0);
        Check(strcmp(carry, refCarry) == 0);
    }

    unsigned char uuRef[96], uuOut[96];
    memset(uuRef, 0xBD, sizeof uuRef);
    memset(uuOut, 0xBD, sizeof uuOut);
    std::string line = text.substr(0, 200);
    Check(UUDecodeLine(line.c_str(), uuOut) == tmref::UUDecodeLine(line.c_str(), uuRef));
    Check(memcmp(uuRef, uuOut, sizeof uuRef) == 0);

    std::vector<char> encoded(count / 3 * 4 + 8);
    MimeEncodeStr(reinterpret_cast<const char*>(out.data()), encoded.data(), count);
    Check(std::string(encoded.data()) == tmref::Encode(out.data(), count));
    Check(MimeDecodeLine(encoded.data(), ref.data()) == count);
    Check(memcmp(ref.data(), out.data(), count) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    // The first byte places the split between the two lines.
    std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    text = text.c_str();  // a C string ends at its first NUL
    size_t split = text.empty() ? 0 : data[0] % (text.size() + 1);
    RunOnce(text, split);
    if (const tmc::codecs::Kernels* avx2 = tmc::codecs::Avx2Kernels()) {
        tmc::codecs::UseKernels(&tmc::codecs::kScalarKernels);
        RunOnce(text, split);
        tmc::codecs::UseKernels(avx2);
        RunOnce(text, split);
        tmc::codecs::UseKernels(nullptr);
    }
    return 0;
}
