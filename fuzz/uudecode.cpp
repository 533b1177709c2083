//===-- fuzz/uudecode.cpp - UUDecodeLine against the plain reference ------===//
//
// The input, up to its first zero byte, is uuencoded text; its lines end
// after each "\n" (so "end\r\n" can stand as a line). Each line decodes to
// the count and bytes of the character-at-a-time reference, into a block
// of exactly the bytes its length character announces; the bytes a line
// leaves before it proves invalid are the reference's too. Then the
// input's first 63 bytes, uuencoded by the reference (zero values as "`"
// and as a space, with and without a line end), decode back to them.
//
//   build/fuzz/fuzz/fuzz_uudecode -dict=fuzz/dict/uudecode.dict fuzz/corpus/uudecode
//===----------------------------------------------------------------------===//
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz/support/FuzzSupport.h"
#include "fuzz/support/CodecsReference.h"
#include "tmcommon.h"

namespace {

// The bytes a line announces: its first character after white space,
// minus 32, where that lies in 1 to 95 and is not the grave accent's 64.
size_t Announced(const std::string& line) {
    size_t at = 0;
    while (at < line.size() && tmref::IsSpace(static_cast<unsigned char>(line[at]))) ++at;
    if (at == line.size()) return 0;
    const int n = static_cast<signed char>(line[at]) - 32;
    return n < 1 || n == 64 ? 0 : static_cast<size_t>(n);
}

void DecodeLine(const std::string& line) {
    const size_t n = Announced(line);
    std::unique_ptr<unsigned char[]> ours(new unsigned char[n]), ref(new unsigned char[std::max<size_t>(n, 1)]);
    memset(ours.get(), 0xBD, n);
    memset(ref.get(), 0xBD, n);
    const tmfuzz::Text text(line);
    const int count = UUDecodeLine(text.get(), ours.get());
    tmfuzz::Check(count == tmref::UUDecodeLine(line.c_str(), ref.get()), "UUDecodeLine's count differs from the reference");
    tmfuzz::Check(memcmp(ours.get(), ref.get(), n) == 0, "UUDecodeLine's bytes differ from the reference");
    tmfuzz::Check(text.bytes() == tmfuzz::Text(line).bytes(), "UUDecodeLine changed its line");
}

}  // namespace

void tmfuzz::FuzzOne(const uint8_t* data, size_t size) {
    const std::string text = UpToZero(data, size);
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        end = end == std::string::npos ? text.size() : end + 1;
        DecodeLine(text.substr(at, end - at));
        at = end;
    }
    if (text.empty()) DecodeLine(text);

    const std::string bytes(reinterpret_cast<const char*>(data), std::min<size_t>(size, 63));
    for (bool grave : {false, true}) {
        for (const char* ending : {"", "\r\n", "\n"}) {
            const std::string line = tmref::UUEncodeLine(bytes, grave) + ending;
            std::unique_ptr<unsigned char[]> out(new unsigned char[bytes.size()]);
            const Text encoded(line);
            const int count = UUDecodeLine(encoded.get(), out.get());
            Check(count == static_cast<int>(bytes.size()), "a uuencoded line does not decode to its length");
            Check(memcmp(out.get(), bytes.data(), bytes.size()) == 0, "a uuencoded line does not decode back");
        }
    }
}
